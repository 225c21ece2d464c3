// Fuzz target: the registry file reader, on arbitrary bytes. Whatever parses
// (without removal lines) must survive a write and a second parse unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/win/RegFile.h"

namespace {

bool HasRemovals(const std::vector<win::regfile::Section>& sections) {
    for (const auto& s : sections) {
        if (s.remove) return true;
        for (const auto& e : s.entries) {
            if (e.remove) return true;
        }
    }
    return false;
}

bool SameContent(const std::vector<win::regfile::Section>& a,
                 const std::vector<win::regfile::Section>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (a[i].path != b[i].path || a[i].entries.size() != b[i].entries.size()) return false;
        for (std::size_t k = 0; k < a[i].entries.size(); ++k) {
            const auto& x = a[i].entries[k];
            const auto& y = b[i].entries[k];
            if (x.name != y.name || x.type != y.type || x.data != y.data) return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<BYTE> bytes(data, data + size);
    std::vector<win::regfile::Section> sections;
    win::regfile::ParseError error;
    if (!win::regfile::Parse(bytes, sections, error) || HasRemovals(sections)) return 0;
    std::vector<win::regfile::Section> again;
    if (!win::regfile::Parse(win::regfile::Write(sections), again, error) ||
        !SameContent(sections, again)) {
        std::abort();
    }
    return 0;
}
