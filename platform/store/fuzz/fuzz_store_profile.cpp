// Feeds arbitrary text to the profile description parser; a description that
// parses is written again and must parse back equal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/store/Profile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    store::Profile profile;
    if (FAILED(store::Profile::Parse(std::string(reinterpret_cast<const char*>(data), size),
                                     &profile))) {
        return 0;
    }
    store::Profile again;
    if (FAILED(store::Profile::Parse(profile.Text(), &again)) || again.Text() != profile.Text()) {
        std::abort();
    }
    return 0;
}
