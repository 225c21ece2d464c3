// Layout of the cabinet container: header, folder entries, file entries and
// data blocks, with named offsets and little-endian field helpers. Both the
// writer (Fci.cpp) and the reader (Fdi.cpp) go through these; no structure is
// ever laid over a buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cabinet {

// Fixed part of the header.
constexpr std::size_t kHeaderSignature = 0;     // "MSCF"
constexpr std::size_t kHeaderCabinetSize = 8;   // u32 size of this cabinet file
constexpr std::size_t kHeaderFilesOffset = 16;  // u32 offset of the first file entry
constexpr std::size_t kHeaderVersionMinor = 24;
constexpr std::size_t kHeaderVersionMajor = 25;
constexpr std::size_t kHeaderFolderCount = 26;   // u16
constexpr std::size_t kHeaderFileCount = 28;     // u16
constexpr std::size_t kHeaderFlags = 30;         // u16
constexpr std::size_t kHeaderSetId = 32;         // u16
constexpr std::size_t kHeaderCabinetIndex = 34;  // u16
constexpr std::size_t kHeaderSize = 36;
// Present with kFlagReservePresent: u16 header reserve, u8 folder reserve,
// u8 data reserve, then the header reserve bytes.
constexpr std::size_t kReserveFieldsSize = 4;

constexpr std::uint16_t kFlagPrevCabinet = 0x0001;
constexpr std::uint16_t kFlagNextCabinet = 0x0002;
constexpr std::uint16_t kFlagReservePresent = 0x0004;

constexpr std::uint8_t kVersionMinor = 3;
constexpr std::uint8_t kVersionMajor = 1;

constexpr std::size_t kMaxHeaderReserve = 60000;
constexpr std::size_t kMaxFolderReserve = 255;
constexpr std::size_t kMaxDataReserve = 255;
// Strings (file names, cabinet and disk names) hold at most this many bytes
// before their terminating zero.
constexpr std::size_t kMaxStringLength = 255;

// Folder entry.
constexpr std::size_t kFolderDataOffset = 0;   // u32 offset of the first data block
constexpr std::size_t kFolderBlockCount = 4;   // u16 data blocks in this cabinet
constexpr std::size_t kFolderCompression = 6;  // u16 compression type word
constexpr std::size_t kFolderSize = 8;

// File entry, followed by the zero-terminated name.
constexpr std::size_t kFileSize = 0;          // u32 uncompressed size
constexpr std::size_t kFileFolderOffset = 4;  // u32 offset within the uncompressed folder
constexpr std::size_t kFileFolderIndex = 8;   // u16 folder index or kFolderContinued*
constexpr std::size_t kFileDate = 10;
constexpr std::size_t kFileTime = 12;
constexpr std::size_t kFileAttributes = 14;
constexpr std::size_t kFileEntrySize = 16;

constexpr std::uint16_t kFolderContinuedFromPrev = 0xFFFD;
constexpr std::uint16_t kFolderContinuedToNext = 0xFFFE;
constexpr std::uint16_t kFolderContinuedPrevAndNext = 0xFFFF;

// Data block header, followed by the data reserve and the compressed bytes.
constexpr std::size_t kDataChecksum = 0;      // u32, 0 = not computed
constexpr std::size_t kDataCompressed = 4;    // u16 compressed bytes in this cabinet
constexpr std::size_t kDataUncompressed = 6;  // u16; 0 when the block continues in the next cabinet
constexpr std::size_t kDataHeaderSize = 8;

// Uncompressed size of a folder, kept below 2^31 so that every offset into it
// is a valid signed 32-bit value.
constexpr std::uint32_t kMaxFolderUncompressed = 0x7FFF8000;

inline std::uint16_t GetU16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t GetU32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void PutU16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void PutU32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// The cabinet checksum: XOR of the little-endian 32-bit words of the data,
// seeded; the 1 to 3 trailing bytes form a last word with the first of them
// in the highest position used (not little-endian).
std::uint32_t Checksum(const std::uint8_t* data, std::size_t n, std::uint32_t seed);

// Checksum of a data block as stored in its header: over the compressed bytes
// first, then over the two size fields and the data reserve (header bytes 4..).
std::uint32_t BlockChecksum(const std::uint8_t* headerFrom4, std::size_t headerLen,
                            const std::uint8_t* data, std::size_t n);

}  // namespace cabinet
