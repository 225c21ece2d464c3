// FDI: lists and extracts the files of a cabinet (and of the cabinets it
// continues into) through the caller's callbacks.
//
// Every count, offset and size read from a cabinet is checked before use, all
// loops are bounded by what the file holds (blocks, entries, cabinets of a
// set with strictly increasing indexes), and every failure ends FDICopy with
// an FDIERROR in the context's ERF. Reads are at most kReadChunk bytes, so a
// read callback that transforms the stream (the add-in decrypts it) works on
// bounded spans.
//
// A folder that continues into the next cabinet is followed there while a
// file needs its data; the decoder's position is kept in the context, so that
// the caller's FDICopy on that next cabinet (the usual way through a set)
// carries on with the files that begin there.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/cabinet/CabFormat.h"
#include "platform/cabinet/Codec.h"
#include "platform/cabinet/fdi.h"

namespace cabinet {
namespace {

constexpr std::uint32_t kFdiMagic = 0x46444921;  // "FDI!"
constexpr std::size_t kReadChunk = 32768;
constexpr int kSeekSet = 0;
constexpr std::size_t kMaxAssembledBlock = 65535 + 32768;
constexpr int kMaxFolderRestarts = 64;
constexpr int kMaxNextCabinetTries = 8;
constexpr std::size_t kNameBuffer = 256;

struct FolderEntry {
    std::uint32_t dataOffset;
    std::uint16_t blocks;
    std::uint16_t tcomp;
};

struct FileEntry {
    std::string name;
    std::uint32_t size;
    std::uint32_t uoff;
    std::uint16_t folder;
    std::uint16_t date;
    std::uint16_t time;
    std::uint16_t attribs;
};

struct CabHeader {
    std::uint32_t size = 0;
    std::uint32_t filesOffset = 0;
    std::uint16_t folderCount = 0;
    std::uint16_t fileCount = 0;
    std::uint16_t flags = 0;
    std::uint16_t setId = 0;
    std::uint16_t index = 0;
    std::uint16_t reserveHeader = 0;
    std::uint8_t reserveFolder = 0;
    std::uint8_t reserveData = 0;
    std::vector<std::uint8_t> headerReserve;
    std::string prevCab, prevDisk, nextCab, nextDisk;
    std::vector<FolderEntry> folders;
    std::vector<FileEntry> files;
};

class Fdi;

// Sequential reads of one cabinet handle with an exact position.
class CabReader {
public:
    CabReader(Fdi& fdi, INT_PTR hf) : m_fdi(fdi), m_hf(hf) {}
    bool Seek(std::uint64_t pos);
    bool Read(std::uint8_t* p, std::size_t n);
    bool ReadString(std::string& s);
    // Reads the next n bytes in reads of up to kReadChunk, for Read and
    // ReadString to take from; the handle then stands n bytes on, so that
    // reading past them goes on from the file where the bytes end. False
    // (the handle moved back, nothing held) when the file has fewer bytes,
    // so that the caller reads as before and fails where the file does.
    bool Prefetch(std::size_t n);
    INT_PTR Handle() const { return m_hf; }

private:
    Fdi& m_fdi;
    INT_PTR m_hf;
    std::uint64_t m_pos = 0;
    bool m_known = false;
    // Prefetched bytes: held[next..] are the file's bytes from m_pos on.
    std::vector<std::uint8_t> m_held;
    std::size_t m_next = 0;
};

// Decoding position in one folder, possibly already in a later cabinet.
struct Cursor {
    bool valid = false;
    // The cabinet whose data is being read: the header, its handle (owned
    // unless it is the handle of the FDICopy call) and its path.
    std::unique_ptr<CabHeader> cab;
    INT_PTR hf = -1;
    bool ownsHandle = false;
    std::string path;
    std::size_t folder = 0;  // index in cab->folders
    std::uint16_t tcomp = 0;
    std::size_t block = 0;       // next block of that folder in that cabinet
    std::uint64_t readPos = 0;   // file offset of that block
    std::uint64_t position = 0;  // folder offset of out[outPos]
    std::unique_ptr<BlockDecompressor> decoder;
    std::vector<std::uint8_t> out;
    std::size_t outLen = 0;
    std::size_t outPos = 0;
    // Identity of the folder in the cabinet the FDICopy started with.
    const CabHeader* origin = nullptr;
    std::size_t originFolder = 0;
};

class Fdi {
public:
    std::uint32_t magic = kFdiMagic;
    PFNALLOC alloc;
    PFNFREE free;
    PFNOPEN open;
    PFNREAD read;
    PFNWRITE write;
    PFNCLOSE close;
    PFNSEEK seek;
    PERF erf;

    bool IsCabinet(INT_PTR hf, PFDICABINETINFO info);
    bool Copy(const char* cabinet, const char* path, PFNFDINOTIFY notify, PFNFDIDECRYPT decrypt,
              void* user);
    void DropResume() { CloseCursor(m_resume); }

    bool Fail(FDIERROR e) {
        erf->erfOper = e;
        erf->erfType = 0;
        erf->fError = TRUE;
        return false;
    }

private:
    FDIERROR ParseHeader(CabReader& r, CabHeader& h, bool full);
    bool BeginCabinet(INT_PTR hf, const std::string& cabPath, CabHeader& cab);
    bool ProcessFile(const CabHeader& cab, INT_PTR hf, const std::string& cabPath,
                     const FileEntry& file);
    bool CopyFile(const CabHeader& cab, INT_PTR mainHf, const std::string& path, std::size_t folder,
                  const FileEntry& file, INT_PTR out);
    bool StartFolder(const CabHeader& cab, INT_PTR mainHf, const std::string& path,
                     std::size_t folder);
    bool NextBlock();
    bool MoveToNextCabinet();
    void CloseCursor(Cursor& c);
    bool Notify(FDINOTIFICATIONTYPE type, FDINOTIFICATION& n, INT_PTR& result);

    PFNFDINOTIFY m_notify = nullptr;
    PFNFDIDECRYPT m_decrypt = nullptr;
    void* m_user = nullptr;
    Cursor m_cursor;
    Cursor m_resume;  // left by the last FDICopy in the next cabinet of a set
    int m_restarts = 0;
    std::vector<std::uint8_t> m_block;
};

bool CabReader::Seek(std::uint64_t pos) {
    if (m_known && pos == m_pos) {
        return true;
    }
    m_held.clear();
    m_next = 0;
    if (pos > 0x7FFFFFFF ||
        m_fdi.seek(m_hf, static_cast<LONG>(pos), kSeekSet) != static_cast<LONG>(pos)) {
        return false;
    }
    m_pos = pos;
    m_known = true;
    return true;
}

bool CabReader::Read(std::uint8_t* p, std::size_t n) {
    if (m_next < m_held.size()) {
        std::size_t take = std::min(n, m_held.size() - m_next);
        std::memcpy(p, m_held.data() + m_next, take);
        m_next += take;
        m_pos += take;
        p += take;
        n -= take;
    }
    while (n > 0) {
        UINT want = static_cast<UINT>(std::min(n, kReadChunk));
        UINT got = m_fdi.read(m_hf, p, want);
        if (got != want) {
            return false;
        }
        p += got;
        n -= got;
        m_pos += got;
    }
    return true;
}

bool CabReader::Prefetch(std::size_t n) {
    const std::uint64_t start = m_pos;
    std::vector<std::uint8_t> bytes(n);
    m_held.clear();
    m_next = 0;
    if (Read(bytes.data(), n)) {
        m_held = std::move(bytes);
        m_pos = start;
        return true;
    }
    // Where a failed read left the handle is unknown: move it back.
    m_known = false;
    if (!Seek(start)) {
        m_pos = start;
    }
    return false;
}

bool CabReader::ReadString(std::string& s) {
    s.clear();
    for (std::size_t i = 0; i <= kMaxStringLength; ++i) {
        std::uint8_t c;
        if (!Read(&c, 1)) {
            return false;
        }
        if (c == 0) {
            return true;
        }
        s.push_back(static_cast<char>(c));
    }
    return false;
}

FDIERROR Fdi::ParseHeader(CabReader& r, CabHeader& h, bool full) {
    std::uint8_t b[kHeaderSize];
    if (!r.Read(b, 4) || std::memcmp(b, "MSCF", 4) != 0) {
        return FDIERROR_NOT_A_CABINET;
    }
    if (!r.Read(b + 4, kHeaderSize - 4)) {
        return FDIERROR_CORRUPT_CABINET;
    }
    if (b[kHeaderVersionMajor] != kVersionMajor || b[kHeaderVersionMinor] != kVersionMinor) {
        return FDIERROR_UNKNOWN_CABINET_VERSION;
    }
    h.size = GetU32(b + kHeaderCabinetSize);
    h.filesOffset = GetU32(b + kHeaderFilesOffset);
    h.folderCount = GetU16(b + kHeaderFolderCount);
    h.fileCount = GetU16(b + kHeaderFileCount);
    h.flags = GetU16(b + kHeaderFlags);
    h.setId = GetU16(b + kHeaderSetId);
    h.index = GetU16(b + kHeaderCabinetIndex);
    if (h.flags & kFlagReservePresent) {
        std::uint8_t res[kReserveFieldsSize];
        if (!r.Read(res, sizeof(res))) {
            return FDIERROR_CORRUPT_CABINET;
        }
        h.reserveHeader = GetU16(res);
        h.reserveFolder = res[2];
        h.reserveData = res[3];
        if (h.reserveHeader > kMaxHeaderReserve) {
            return FDIERROR_CORRUPT_CABINET;
        }
        h.headerReserve.resize(h.reserveHeader);
        if (!r.Read(h.headerReserve.data(), h.headerReserve.size())) {
            return FDIERROR_CORRUPT_CABINET;
        }
    }
    if (!full) {
        return FDIERROR_NONE;
    }
    if ((h.flags & kFlagPrevCabinet) && (!r.ReadString(h.prevCab) || !r.ReadString(h.prevDisk))) {
        return FDIERROR_CORRUPT_CABINET;
    }
    if ((h.flags & kFlagNextCabinet) && (!r.ReadString(h.nextCab) || !r.ReadString(h.nextDisk))) {
        return FDIERROR_CORRUPT_CABINET;
    }
    if (h.folderCount == 0 || h.fileCount == 0) {
        return FDIERROR_CORRUPT_CABINET;
    }
    std::vector<std::uint8_t> e(kFolderSize + h.reserveFolder);
    for (std::size_t i = 0; i < h.folderCount; ++i) {
        if (!r.Read(e.data(), e.size())) {
            return FDIERROR_CORRUPT_CABINET;
        }
        h.folders.push_back({GetU32(e.data() + kFolderDataOffset),
                             GetU16(e.data() + kFolderBlockCount),
                             GetU16(e.data() + kFolderCompression)});
    }
    if (!r.Seek(h.filesOffset)) {
        return FDIERROR_CORRUPT_CABINET;
    }
    // The file entries usually fill the space up to the first folder's data:
    // read that in one go rather than each name a byte at a time through the
    // read callback (which decrypts a whole cipher block for every call).
    std::uint64_t entriesEnd = h.size;
    for (const FolderEntry& folder : h.folders) {
        if (folder.dataOffset > h.filesOffset) {
            entriesEnd = std::min<std::uint64_t>(entriesEnd, folder.dataOffset);
        }
    }
    const std::uint64_t entriesMax =
        static_cast<std::uint64_t>(h.fileCount) * (kFileEntrySize + kMaxStringLength + 1);
    if (entriesEnd > h.filesOffset) {
        r.Prefetch(static_cast<std::size_t>(std::min(entriesEnd - h.filesOffset, entriesMax)));
    }
    for (std::size_t i = 0; i < h.fileCount; ++i) {
        std::uint8_t f[kFileEntrySize];
        FileEntry entry;
        if (!r.Read(f, sizeof(f)) || !r.ReadString(entry.name)) {
            return FDIERROR_CORRUPT_CABINET;
        }
        entry.size = GetU32(f + kFileSize);
        entry.uoff = GetU32(f + kFileFolderOffset);
        entry.folder = GetU16(f + kFileFolderIndex);
        entry.date = GetU16(f + kFileDate);
        entry.time = GetU16(f + kFileTime);
        entry.attribs = GetU16(f + kFileAttributes);
        h.files.push_back(std::move(entry));
    }
    return FDIERROR_NONE;
}

// Decodes one UTF-8 sequence strictly (shortest form, no surrogates, at most
// U+10FFFF); returns its length or 0.
std::size_t Utf8Sequence(const std::string& s, std::size_t i, std::uint32_t& cp) {
    auto byte = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
    std::uint8_t c = byte(i);
    std::size_t len;
    if (c < 0x80) {
        cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) {
        return 0;
    }
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) {
            return 0;
        }
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0;
    }
    return len;
}

// UTF-8 names are handed on with every byte that is not part of a strictly
// valid sequence replaced by U+FFFD: a lenient decoder in the caller could
// otherwise turn an overlong form into a separator or a dot.
std::string RepairUtf8(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size();) {
        std::uint32_t cp;
        std::size_t n = Utf8Sequence(name, i, cp);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(name, i, n);
            i += n;
        }
    }
    return out;
}

bool SupportedType(std::uint16_t tcomp) {
    switch (tcomp & tcompMASK_TYPE) {
        case tcompTYPE_NONE:
        case tcompTYPE_MSZIP:
            return true;
        case tcompTYPE_LZX: {
            int window = LZXWindowFromTCOMP(tcomp);
            return window >= 15 && window <= 21;
        }
        default:
            return false;
    }
}

bool Fdi::Notify(FDINOTIFICATIONTYPE type, FDINOTIFICATION& n, INT_PTR& result) {
    n.pv = m_user;
    result = m_notify(type, &n);
    if (result == -1) {
        return Fail(FDIERROR_USER_ABORT);
    }
    return true;
}

void Fdi::CloseCursor(Cursor& c) {
    if (c.ownsHandle && c.hf != -1) {
        close(c.hf);
    }
    c = Cursor();
}

bool Fdi::IsCabinet(INT_PTR hf, PFDICABINETINFO info) {
    CabReader r(*this, hf);
    CabHeader h;
    FDIERROR e = ParseHeader(r, h, false);
    if (e != FDIERROR_NONE) {
        return Fail(e);
    }
    if (info) {
        info->cbCabinet = static_cast<LONG>(h.size);
        info->cFolders = h.folderCount;
        info->cFiles = h.fileCount;
        info->setID = h.setId;
        info->iCabinet = h.index;
        info->fReserve = (h.flags & kFlagReservePresent) ? TRUE : FALSE;
        info->hasprev = (h.flags & kFlagPrevCabinet) ? TRUE : FALSE;
        info->hasnext = (h.flags & kFlagNextCabinet) ? TRUE : FALSE;
    }
    return true;
}

bool Fdi::StartFolder(const CabHeader& cab, INT_PTR mainHf, const std::string& path,
                      std::size_t folder) {
    if (++m_restarts > kMaxFolderRestarts) {
        return Fail(FDIERROR_CORRUPT_CABINET);
    }
    CloseCursor(m_cursor);
    const FolderEntry& f = cab.folders[folder];
    Cursor& c = m_cursor;
    c.cab = std::make_unique<CabHeader>(cab);
    c.hf = mainHf;
    c.ownsHandle = false;
    c.path = path;
    c.folder = folder;
    c.tcomp = f.tcomp;
    c.block = 0;
    c.readPos = f.dataOffset;
    c.position = 0;
    c.out.assign(kMaxBlockUncompressed, 0);
    c.origin = &cab;
    c.originFolder = folder;
    switch (f.tcomp & tcompMASK_TYPE) {
        case tcompTYPE_NONE:
            break;
        case tcompTYPE_MSZIP:
            c.decoder = CreateMszipDecompressor();
            if (!c.decoder) {
                return Fail(FDIERROR_ALLOC_FAIL);
            }
            break;
        case tcompTYPE_LZX:
            c.decoder = CreateLzxDecompressor(LZXWindowFromTCOMP(f.tcomp));
            if (!c.decoder) {
                return Fail(FDIERROR_BAD_COMPR_TYPE);
            }
            break;
        default:
            return Fail(FDIERROR_BAD_COMPR_TYPE);
    }
    c.valid = true;
    if (m_decrypt) {
        FDIDECRYPT d{};
        d.fdidt = fdidtNEW_FOLDER;
        d.pvUser = m_user;
        d.folder.pFolderReserve = nullptr;
        d.folder.cbFolderReserve = cab.reserveFolder;
        d.folder.iFolder = static_cast<USHORT>(folder);
        if (m_decrypt(&d) == -1) {
            return Fail(FDIERROR_USER_ABORT);
        }
    }
    return true;
}

bool Fdi::MoveToNextCabinet() {
    Cursor& c = m_cursor;
    const CabHeader& cur = *c.cab;
    if (!(cur.flags & kFlagNextCabinet) || c.folder + 1 != cur.folders.size() ||
        cur.index == 0xFFFF) {
        return Fail(FDIERROR_CORRUPT_CABINET);
    }
    char name[kNameBuffer] = {};
    char disk[kNameBuffer] = {};
    char path[kNameBuffer] = {};
    std::memcpy(name, cur.nextCab.data(), std::min(cur.nextCab.size(), kNameBuffer - 1));
    std::memcpy(disk, cur.nextDisk.data(), std::min(cur.nextDisk.size(), kNameBuffer - 1));
    std::memcpy(path, c.path.data(), std::min(c.path.size(), kNameBuffer - 1));
    FDIERROR last = FDIERROR_NONE;
    for (int attempt = 0; attempt < kMaxNextCabinetTries; ++attempt) {
        FDINOTIFICATION n{};
        n.psz1 = name;
        n.psz2 = disk;
        n.psz3 = path;
        n.setID = cur.setId;
        n.iCabinet = static_cast<USHORT>(cur.index + 1);
        n.fdie = last;
        INT_PTR result;
        if (!Notify(fdintNEXT_CABINET, n, result)) {
            return false;
        }
        name[kNameBuffer - 1] = path[kNameBuffer - 1] = '\0';
        std::string full = std::string(path) + name;
        INT_PTR hf = open(full.data(), kCab_O_BINARY | kCab_O_RDONLY | kCab_O_SEQUENTIAL,
                          kCab_S_IREAD | kCab_S_IWRITE);
        if (hf == -1) {
            last = FDIERROR_CABINET_NOT_FOUND;
            continue;
        }
        auto next = std::make_unique<CabHeader>();
        CabReader r(*this, hf);
        FDIERROR e = ParseHeader(r, *next, true);
        if (e == FDIERROR_NONE && (next->setId != cur.setId || next->index != cur.index + 1)) {
            e = FDIERROR_WRONG_CABINET;
        }
        if (e == FDIERROR_NONE &&
            (next->reserveHeader != cur.reserveHeader || next->reserveFolder != cur.reserveFolder ||
             next->reserveData != cur.reserveData)) {
            e = FDIERROR_RESERVE_MISMATCH;
        }
        if (e == FDIERROR_NONE && (next->folders[0].tcomp != c.tcomp)) {
            e = FDIERROR_CORRUPT_CABINET;
        }
        if (e != FDIERROR_NONE) {
            close(hf);
            last = e;
            continue;
        }
        if (c.ownsHandle) {
            close(c.hf);
        }
        c.hf = hf;
        c.ownsHandle = true;
        c.path = path;
        c.cab = std::move(next);
        c.folder = 0;
        c.block = 0;
        c.readPos = c.cab->folders[0].dataOffset;
        if (m_decrypt) {
            FDIDECRYPT d{};
            d.fdidt = fdidtNEW_CABINET;
            d.pvUser = m_user;
            d.cabinet.pHeaderReserve = c.cab->headerReserve.data();
            d.cabinet.cbHeaderReserve = c.cab->reserveHeader;
            d.cabinet.setID = c.cab->setId;
            d.cabinet.iCabinet = c.cab->index;
            if (m_decrypt(&d) == -1) {
                return Fail(FDIERROR_USER_ABORT);
            }
        }
        return true;
    }
    return Fail(last);
}

// Reads the next whole block (joining the pieces of a block split across
// cabinets) and decodes it into the cursor's output.
bool Fdi::NextBlock() {
    Cursor& c = m_cursor;
    m_block.clear();
    std::vector<std::uint8_t> head;
    for (;;) {
        if (c.block >= c.cab->folders[c.folder].blocks) {
            if (!MoveToNextCabinet()) {
                return false;
            }
            continue;
        }
        head.assign(kDataHeaderSize + c.cab->reserveData, 0);
        CabReader r(*this, c.hf);
        if (!r.Seek(c.readPos) || !r.Read(head.data(), head.size())) {
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        std::uint32_t sum = GetU32(head.data() + kDataChecksum);
        std::uint16_t cbData = GetU16(head.data() + kDataCompressed);
        std::uint16_t cbUncomp = GetU16(head.data() + kDataUncompressed);
        if (m_block.size() + cbData > kMaxAssembledBlock || cbUncomp > kMaxBlockUncompressed) {
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        std::size_t at = m_block.size();
        m_block.resize(at + cbData);
        if (!r.Read(m_block.data() + at, cbData)) {
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        // Writers differ on whether the data reserve is summed; either is sound.
        if (sum != 0 &&
            sum != BlockChecksum(head.data() + kDataCompressed, head.size() - kDataCompressed,
                                 m_block.data() + at, cbData) &&
            sum != BlockChecksum(head.data() + kDataCompressed, 4, m_block.data() + at, cbData)) {
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        if (m_decrypt) {
            FDIDECRYPT d{};
            d.fdidt = fdidtDECRYPT;
            d.pvUser = m_user;
            d.decrypt.pDataReserve = head.data() + kDataHeaderSize;
            d.decrypt.cbDataReserve = c.cab->reserveData;
            d.decrypt.pbData = m_block.data() + at;
            d.decrypt.cbData = cbData;
            d.decrypt.fSplit = cbUncomp == 0 ? TRUE : FALSE;
            d.decrypt.cbPartial = static_cast<USHORT>(at);
            if (m_decrypt(&d) == -1) {
                return Fail(FDIERROR_USER_ABORT);
            }
        }
        c.readPos += head.size() + cbData;
        ++c.block;
        if (cbUncomp == 0) {
            continue;  // a first piece: the block goes on in the next cabinet
        }
        if (!c.decoder) {
            if (m_block.size() != cbUncomp) {
                return Fail(FDIERROR_MDI_FAIL);
            }
            std::memcpy(c.out.data(), m_block.data(), cbUncomp);
        } else if (!c.decoder->DecompressBlock(m_block.data(), m_block.size(), c.out.data(),
                                               cbUncomp)) {
            return Fail(FDIERROR_MDI_FAIL);
        }
        c.outLen = cbUncomp;
        c.outPos = 0;
        return true;
    }
}

bool Fdi::CopyFile(const CabHeader& cab, INT_PTR mainHf, const std::string& path,
                   std::size_t folder, const FileEntry& file, INT_PTR out) {
    Cursor& c = m_cursor;
    bool sameFolder = c.valid && c.origin == &cab && c.originFolder == folder;
    if (!sameFolder || c.position > file.uoff) {
        bool continued = false;
        for (const FileEntry& f : cab.files) {
            continued |=
                f.folder == kFolderContinuedFromPrev || f.folder == kFolderContinuedPrevAndNext;
        }
        if (folder == 0 && continued) {
            // The folder began in the previous cabinet and the decoder state
            // from there is gone.
            return Fail(FDIERROR_CORRUPT_CABINET);
        }
        if (!StartFolder(cab, mainHf, path, folder)) {
            return false;
        }
    }
    std::uint64_t end = static_cast<std::uint64_t>(file.uoff) + file.size;
    while (c.position < end) {
        if (c.outPos == c.outLen && !NextBlock()) {
            return false;
        }
        std::size_t avail = c.outLen - c.outPos;
        if (c.position < file.uoff) {
            std::size_t skip =
                static_cast<std::size_t>(std::min<std::uint64_t>(avail, file.uoff - c.position));
            c.outPos += skip;
            c.position += skip;
            continue;
        }
        std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(avail, end - c.position));
        UINT n = static_cast<UINT>(take);
        if (write(out, c.out.data() + c.outPos, n) != n) {
            return Fail(FDIERROR_TARGET_FILE);
        }
        c.outPos += take;
        c.position += take;
    }
    return true;
}

// Reads the cabinet's header and entries, takes over a cursor that the
// previous call left in this cabinet, and tells the caller about it.
bool Fdi::BeginCabinet(INT_PTR hf, const std::string& cabPath, CabHeader& cab) {
    CabReader r(*this, hf);
    FDIERROR e = ParseHeader(r, cab, true);
    if (e != FDIERROR_NONE) {
        return Fail(e);
    }
    if (m_resume.valid && m_resume.cab->setId == cab.setId && m_resume.cab->index == cab.index &&
        (cab.flags & kFlagPrevCabinet)) {
        m_cursor = std::move(m_resume);
        m_resume = Cursor();
        m_cursor.origin = &cab;
        m_cursor.originFolder = 0;
    } else {
        DropResume();
    }
    if (m_decrypt) {
        FDIDECRYPT d{};
        d.fdidt = fdidtNEW_CABINET;
        d.pvUser = m_user;
        d.cabinet.pHeaderReserve = cab.headerReserve.data();
        d.cabinet.cbHeaderReserve = cab.reserveHeader;
        d.cabinet.setID = cab.setId;
        d.cabinet.iCabinet = cab.index;
        if (m_decrypt(&d) == -1) {
            return Fail(FDIERROR_USER_ABORT);
        }
    }
    char next[kNameBuffer] = {}, nextDisk[kNameBuffer] = {}, pathBuf[kNameBuffer] = {};
    std::memcpy(next, cab.nextCab.data(), std::min(cab.nextCab.size(), kNameBuffer - 1));
    std::memcpy(nextDisk, cab.nextDisk.data(), std::min(cab.nextDisk.size(), kNameBuffer - 1));
    std::memcpy(pathBuf, cabPath.data(), std::min(cabPath.size(), kNameBuffer - 1));
    FDINOTIFICATION info{};
    info.psz1 = next;
    info.psz2 = nextDisk;
    info.psz3 = pathBuf;
    info.setID = cab.setId;
    info.iCabinet = cab.index;
    INT_PTR result;
    return Notify(fdintCABINET_INFO, info, result);
}

// One file entry: a partial file is only reported; any other is offered to
// the caller, extracted into the handle it returns and handed back to close.
bool Fdi::ProcessFile(const CabHeader& cab, INT_PTR hf, const std::string& cabPath,
                      const FileEntry& file) {
    // Repaired names can grow; the buffer holds any of them.
    std::string shown = (file.attribs & _A_NAME_IS_UTF) ? RepairUtf8(file.name) : file.name;
    std::vector<char> name(shown.begin(), shown.end());
    name.push_back('\0');
    FDINOTIFICATION n{};
    n.psz1 = name.data();
    n.cb = static_cast<LONG>(file.size);
    n.date = file.date;
    n.time = file.time;
    n.attribs = file.attribs;
    n.setID = cab.setId;
    n.iCabinet = cab.index;
    INT_PTR result;
    if (file.folder == kFolderContinuedFromPrev || file.folder == kFolderContinuedPrevAndNext) {
        char prev[kNameBuffer] = {}, prevDisk[kNameBuffer] = {};
        std::memcpy(prev, cab.prevCab.data(), std::min(cab.prevCab.size(), kNameBuffer - 1));
        std::memcpy(prevDisk, cab.prevDisk.data(), std::min(cab.prevDisk.size(), kNameBuffer - 1));
        n.psz2 = prev;
        n.psz3 = prevDisk;
        return Notify(fdintPARTIAL_FILE, n, result);
    }
    std::size_t folder =
        file.folder == kFolderContinuedToNext ? cab.folders.size() - 1 : file.folder;
    // Stored names reach the caller as they are, as from the platform's
    // library: the caller joins them to its target and must keep them inside.
    // An empty name is no file entry at all.
    if (folder >= cab.folders.size() || shown.empty()) {
        return Fail(FDIERROR_CORRUPT_CABINET);
    }
    if (!SupportedType(cab.folders[folder].tcomp)) {
        return Fail(FDIERROR_BAD_COMPR_TYPE);
    }
    n.iFolder = static_cast<USHORT>(folder);
    if (!Notify(fdintCOPY_FILE, n, result)) {
        return false;
    }
    if (result == 0) {
        return true;  // skipped
    }
    INT_PTR out = result;
    if (!CopyFile(cab, hf, cabPath, folder, file, out)) {
        return false;
    }
    FDINOTIFICATION done{};
    done.psz1 = name.data();
    done.hf = out;
    done.date = file.date;
    done.time = file.time;
    done.attribs = file.attribs;
    done.cb = (file.attribs & _A_EXEC) ? 1 : 0;
    done.setID = cab.setId;
    done.iCabinet = cab.index;
    done.iFolder = static_cast<USHORT>(folder);
    if (!Notify(fdintCLOSE_FILE_INFO, done, result)) {
        return false;
    }
    return result != 0 || Fail(FDIERROR_TARGET_FILE);
}

bool Fdi::Copy(const char* cabinet, const char* path, PFNFDINOTIFY notify, PFNFDIDECRYPT decrypt,
               void* user) {
    m_notify = notify;
    m_decrypt = decrypt;
    m_user = user;
    m_restarts = 0;
    std::string cabPath = path ? path : "";
    std::string full = cabPath + (cabinet ? cabinet : "");
    INT_PTR hf = open(full.data(), kCab_O_BINARY | kCab_O_RDONLY | kCab_O_SEQUENTIAL,
                      kCab_S_IREAD | kCab_S_IWRITE);
    if (hf == -1) {
        DropResume();
        return Fail(FDIERROR_CABINET_NOT_FOUND);
    }
    CabHeader cab;
    bool ok = BeginCabinet(hf, cabPath, cab);
    for (std::size_t i = 0; ok && i < cab.files.size(); ++i) {
        ok = ProcessFile(cab, hf, cabPath, cab.files[i]);
    }
    if (ok) {
        FDINOTIFICATION en{};
        en.iFolder = static_cast<USHORT>(cab.folders.size());
        en.setID = cab.setId;
        en.iCabinet = cab.index;
        INT_PTR result;
        ok = Notify(fdintENUMERATE, en, result);
    }
    // A cursor that went on into a later cabinet is kept for the caller's
    // FDICopy on that cabinet; otherwise it is done with.
    if (ok && m_cursor.valid && m_cursor.ownsHandle) {
        m_resume = std::move(m_cursor);
        m_cursor = Cursor();
        m_resume.origin = nullptr;
    } else {
        CloseCursor(m_cursor);
        if (!ok) {
            DropResume();
        }
    }
    close(hf);
    return ok;
}

Fdi* FromHandle(HFDI h) {
    Fdi* fdi = static_cast<Fdi*>(h);
    if (!fdi || fdi->magic != kFdiMagic) {
        return nullptr;
    }
    return fdi;
}

}  // namespace
}  // namespace cabinet

using cabinet::Fdi;

extern "C" {

HFDI FDICreate(PFNALLOC pfnalloc, PFNFREE pfnfree, PFNOPEN pfnopen, PFNREAD pfnread,
               PFNWRITE pfnwrite, PFNCLOSE pfnclose, PFNSEEK pfnseek, int cpuType, PERF perf) {
    if (!perf) {
        return nullptr;
    }
    perf->erfOper = FDIERROR_NONE;
    perf->erfType = 0;
    perf->fError = FALSE;
    if (!pfnalloc || !pfnfree || !pfnopen || !pfnread || !pfnwrite || !pfnclose || !pfnseek) {
        perf->erfOper = FDIERROR_ALLOC_FAIL;
        perf->fError = TRUE;
        return nullptr;
    }
    void* mem = pfnalloc(sizeof(Fdi));
    if (!mem) {
        perf->erfOper = FDIERROR_ALLOC_FAIL;
        perf->fError = TRUE;
        return nullptr;
    }
    Fdi* fdi = new (mem) Fdi();
    fdi->alloc = pfnalloc;
    fdi->free = pfnfree;
    fdi->open = pfnopen;
    fdi->read = pfnread;
    fdi->write = pfnwrite;
    fdi->close = pfnclose;
    fdi->seek = pfnseek;
    fdi->erf = perf;
    return fdi;
}

BOOL FDIIsCabinet(HFDI hfdi, INT_PTR hf, PFDICABINETINFO pfdici) {
    Fdi* fdi = cabinet::FromHandle(hfdi);
    if (!fdi) {
        return FALSE;
    }
    return fdi->IsCabinet(hf, pfdici) ? TRUE : FALSE;
}

BOOL FDICopy(HFDI hfdi, char* pszCabinet, char* pszCabPath, int flags, PFNFDINOTIFY pfnfdin,
             PFNFDIDECRYPT pfnfdid, void* pvUser) {
    Fdi* fdi = cabinet::FromHandle(hfdi);
    if (!fdi) {
        return FALSE;
    }
    if (!pfnfdin) {
        return fdi->Fail(FDIERROR_USER_ABORT) ? TRUE : FALSE;
    }
    return fdi->Copy(pszCabinet, pszCabPath, pfnfdin, pfnfdid, pvUser) ? TRUE : FALSE;
}

BOOL FDIDestroy(HFDI hfdi) {
    Fdi* fdi = cabinet::FromHandle(hfdi);
    if (!fdi) {
        return FALSE;
    }
    PFNFREE freeFn = fdi->free;
    fdi->DropResume();
    fdi->magic = 0;
    fdi->~Fdi();
    freeFn(fdi);
    return TRUE;
}

}  // extern "C"
