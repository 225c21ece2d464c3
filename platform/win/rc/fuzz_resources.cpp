// Fuzz target for the readers of module resources: the resource section's
// blobs and directory, the string-table walk of LoadStringW and the version
// tree walk of VerQueryValueW. The input is a resource section's bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/win/ResourceImage.h"
#include "platform/win/Version.h"
#include "platform/win/rc/ResourceFormat.h"

namespace {

// Walks every entry of a string block, as LoadStringW does, within its bytes.
void WalkStrings(const win::ResourceEntry& e, const win::ResourceImage& image) {
    std::uint32_t pos = 0;
    for (std::uint32_t i = 0; i < win::rsrc::kStringsPerBlock && e.size - pos >= 2; ++i) {
        const std::uint32_t len = win::rsrc::ReadU16(e.data + pos);
        pos += 2;
        if (len * 2u > e.size - pos)
            break;
        image.WideCopy(e.data + pos, len);
        pos += len * 2u;
    }
}

// Queries a version tree the way callers do, on a copy whose root length is
// cut to the bytes present (as GetFileVersionInfoW leaves it).
void QueryVersion(const std::uint8_t* data, std::size_t size) {
    if (size < 6 || size > 0xFFFF)
        return;
    std::vector<std::uint8_t> block(data, data + size);
    if (win::rsrc::ReadU16(block.data()) > size) {
        block[0] = static_cast<std::uint8_t>(size);
        block[1] = static_cast<std::uint8_t>(size >> 8);
    }
    void* value = nullptr;
    UINT len = 0;
    for (const wchar_t* path : {L"\\", L"\\StringFileInfo\\040904b0\\FileVersion",
                                L"\\VarFileInfo\\Translation", L"\\StringFileInfo"}) {
        VerQueryValueW(block.data(), path, &value, &len);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto image = win::ResourceImage::FromSection(std::vector<std::uint8_t>(data, data + size));
    for (const auto& e : image->Entries()) {
        if (!e.type.isString && e.type.ordinal == win::rsrc::kTypeString)
            WalkStrings(e, *image);
        if (!e.type.isString && e.type.ordinal == win::rsrc::kTypeVersion)
            QueryVersion(e.data, e.size);
    }
    std::uint32_t error = 0;
    image->Find(win::ResourceName{false, win::rsrc::kTypeString, {}},
                win::ResourceName{false, 1, {}}, 0x0C07, &error);
    QueryVersion(data, size);
    return 0;
}
