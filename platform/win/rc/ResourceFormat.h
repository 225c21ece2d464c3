// The layout of a module's resource section, shared by the resource compiler
// (which writes it) and the resource calls of platform/win (which read it).
// doc/resource_format.md describes the format as a whole; each constant here
// names one field of it. All fields are little-endian; nothing is ever read or
// written by overlaying a struct.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace win::rsrc {

// The ELF section that holds the blobs of one module. The linker concatenates
// the sections of every object that carries resources, so a module's section
// is a sequence of blobs, each aligned to kBlobAlignment, with zero bytes
// allowed between them (alignment, sanitizer red zones).
inline constexpr std::string_view kSectionName = ".qmrsrc";
inline constexpr std::size_t kBlobAlignment = 16;

// Blob header.
inline constexpr std::uint32_t kBlobMagic = 0x53524D51;  // "QMRS"
inline constexpr std::uint16_t kFormatVersion = 1;
inline constexpr std::size_t kHdrMagic = 0x00;       // u32
inline constexpr std::size_t kHdrVersion = 0x04;     // u16
inline constexpr std::size_t kHdrHeaderSize = 0x06;  // u16, = kHeaderSize
inline constexpr std::size_t kHdrEntryCount = 0x08;  // u32
inline constexpr std::size_t kHdrBlobSize = 0x0C;    // u32, whole blob, multiple of 16
inline constexpr std::size_t kHeaderSize = 0x10;

// Directory entry, kEntrySize bytes each, right after the header.
inline constexpr std::size_t kEntType = 0x00;        // u32, see kNameIsString
inline constexpr std::size_t kEntName = 0x04;        // u32, see kNameIsString
inline constexpr std::size_t kEntLanguage = 0x08;    // u16, LANGID
inline constexpr std::size_t kEntReserved = 0x0A;    // u16, 0
inline constexpr std::size_t kEntDataOffset = 0x0C;  // u32, from the blob start
inline constexpr std::size_t kEntDataSize = 0x10;    // u32
inline constexpr std::size_t kEntrySize = 0x14;

// A type or name field is an ordinal (at most 0xFFFF) or, with this bit set,
// the offset from the blob start of a counted name: u16 length in UTF-16
// units, then the units, upper-cased (names compare case-insensitively).
inline constexpr std::uint32_t kNameIsString = 0x80000000u;

// Each resource's data starts on a 4-byte boundary of the blob, as the
// 32-bit alignment inside version resources is counted from their start.
inline constexpr std::size_t kDataAlignment = 4;

inline std::uint16_t ReadU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t ReadU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::uint64_t ReadU64(const std::uint8_t* p) {
    return static_cast<std::uint64_t>(ReadU32(p)) |
           (static_cast<std::uint64_t>(ReadU32(p + 4)) << 32);
}
inline void AppendU16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void AppendU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    AppendU16(out, static_cast<std::uint16_t>(v));
    AppendU16(out, static_cast<std::uint16_t>(v >> 16));
}
inline void PutU16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    PutU16(out, at, static_cast<std::uint16_t>(v));
    PutU16(out, at + 2, static_cast<std::uint16_t>(v >> 16));
}
inline void PadTo(std::vector<std::uint8_t>& out, std::size_t alignment) {
    while (out.size() % alignment != 0)
        out.push_back(0);
}

}  // namespace win::rsrc

namespace win::rsrc {

// Resource types the stand-in knows by number (the platform's ordinals).
inline constexpr std::uint16_t kTypeBitmap = 2;
inline constexpr std::uint16_t kTypeIcon = 3;
inline constexpr std::uint16_t kTypeDialog = 5;
inline constexpr std::uint16_t kTypeGroupIcon = 14;
inline constexpr std::uint16_t kTypeRcData = 10;
inline constexpr std::uint16_t kTypeString = 6;
inline constexpr std::uint16_t kTypeVersion = 16;

// String tables: ids are grouped in blocks of 16; block n (the resource's
// name) holds ids (n - 1) * 16 to (n - 1) * 16 + 15, each entry a u16 length
// in UTF-16 units followed by the units, no terminator; 0 = no string.
inline constexpr std::uint32_t kStringsPerBlock = 16;

// Version resources (VS_VERSIONINFO): every node is u16 wLength (bytes, the
// node and its children, without trailing padding), u16 wValueLength (bytes
// for binary values, UTF-16 units with the terminator for text values), u16
// wType (1 text, 0 binary), the NUL-terminated UTF-16 key, padding to 32 bits,
// the value, then the children, each starting on a 32-bit boundary. Offsets
// and alignment are counted from the start of the resource.
inline constexpr std::size_t kVerNodeLength = 0x00;
inline constexpr std::size_t kVerNodeValueLength = 0x02;
inline constexpr std::size_t kVerNodeType = 0x04;
inline constexpr std::size_t kVerNodeKey = 0x06;
inline constexpr std::uint16_t kVerTypeBinary = 0;
inline constexpr std::uint16_t kVerTypeText = 1;
inline constexpr std::u16string_view kVerRootKey = u"VS_VERSION_INFO";

// VS_FIXEDFILEINFO, the root node's value.
inline constexpr std::uint32_t kFixedSignature = 0xFEEF04BD;
inline constexpr std::uint32_t kFixedStrucVersion = 0x00010000;
inline constexpr std::size_t kFixSignature = 0;
inline constexpr std::size_t kFixStrucVersion = 4;
inline constexpr std::size_t kFixFileVersionMS = 8;
inline constexpr std::size_t kFixFileVersionLS = 12;
inline constexpr std::size_t kFixProductVersionMS = 16;
inline constexpr std::size_t kFixProductVersionLS = 20;
inline constexpr std::size_t kFixFileFlagsMask = 24;
inline constexpr std::size_t kFixFileFlags = 28;
inline constexpr std::size_t kFixFileOS = 32;
inline constexpr std::size_t kFixFileType = 36;
inline constexpr std::size_t kFixFileSubtype = 40;
inline constexpr std::size_t kFixFileDateMS = 44;
inline constexpr std::size_t kFixFileDateLS = 48;
inline constexpr std::size_t kFixedSize = 52;

}  // namespace win::rsrc
