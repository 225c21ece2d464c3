// FCI: builds cabinets (and sets of cabinets) from files read through the
// caller's callbacks.
//
// Compressed blocks go to one temporary file as they are produced; a cabinet
// file is written only when its content is final (on a split or a flush), in
// one sequential pass: header, folder entries, file entries, data. The
// cabinet handle is never sought, so a caller whose write callback transforms
// the stream (the add-in encrypts it) sees every byte exactly once, in order,
// in writes of at most kOutputChunk bytes.
//
// A cabinet that would grow beyond CCAB::cb is cut inside its last folder,
// if need be inside a data block (the first piece then records 0 uncompressed
// bytes); the folder continues as folder 0 of the next cabinet. Readers that
// join the parts of a folder expect each part to list every file of it, so
// the cabinet of a folder's first cut lists all its files, even those whose
// data lies wholly beyond the cut, and every further part the folder reaches
// lists them again (marked continued); a cut folder takes no new files: the
// next file starts a folder of its own.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "platform/cabinet/CabFormat.h"
#include "platform/cabinet/Codec.h"
#include "platform/cabinet/fci.h"

namespace cabinet {
namespace {

constexpr std::uint32_t kFciMagic = 0x46434921;  // "FCI!"
constexpr std::size_t kOutputChunk = 32768;
constexpr std::size_t kSourceChunk = 32768;
constexpr int kSeekSet = 0;
constexpr int kSeekEnd = 2;
constexpr std::uint16_t kMaxEntries = 0xFFFF;

struct BlockRec {
    std::uint64_t tempOffset;
    std::uint16_t cbData;
    std::uint16_t cbUncomp;
};

struct FolderRec {
    TCOMP tcomp = 0;
    std::vector<BlockRec> blocks;
    std::size_t nextBlock = 0;        // first block not yet wholly written to a cabinet
    std::uint32_t nextBlockDone = 0;  // bytes of blocks[nextBlock] written to earlier cabinets
    std::uint32_t uncompDone = 0;     // uncompressed end of the blocks wholly written
    std::uint32_t uncompTotal = 0;    // uncompressed end of all blocks (plus pending input)
    std::uint64_t compTotal = 0;
    bool continued = false;  // started in an earlier cabinet
    bool closed = false;
    bool sealed = false;  // cut once: takes no further files
};

struct FileRec {
    std::string name;
    std::uint32_t size = 0;
    std::uint32_t uoff = 0;
    FolderRec* folder = nullptr;
    USHORT date = 0;
    USHORT time = 0;
    USHORT attribs = 0;
    bool startedInPrev = false;
    // Its data all went to earlier cabinets; it is listed on (as continued)
    // while its folder goes on, because a reader joining the parts of a
    // folder expects every cabinet to list all the files of that folder.
    bool complete = false;
};

// What goes into one cabinet file: for each folder the blocks (or pieces of
// blocks) it holds, and the files it lists.
struct FolderPlan {
    FolderRec* folder;
    std::size_t firstBlock;
    std::uint32_t firstBlockDone;  // offset into the first block's data
    std::size_t blockEnd;          // one past the last block written whole
    std::uint32_t splitBytes;      // bytes of blocks[blockEnd] written as a first piece (0 = none)
    bool whole;                    // the folder ends in this cabinet
    std::uint32_t uncompEnd;       // uncompressed end of the blocks completed here
};

struct FilePlan {
    FileRec* file;
    std::uint16_t folderIndex;
    bool toNext;
};

class CabWriter;

class Fci {
public:
    std::uint32_t magic = kFciMagic;
    PERF erf;
    PFNFCIFILEPLACED filePlaced;
    PFNFCIALLOC alloc;
    PFNFCIFREE free;
    PFNFCIOPEN open;
    PFNFCIREAD read;
    PFNFCIWRITE write;
    PFNFCICLOSE close;
    PFNFCISEEK seek;
    PFNFCIDELETE remove;
    PFNFCIGETTEMPFILE getTemp;
    void* pv;
    CCAB ccab;

    bool Init();
    void Shutdown();
    bool AddFile(char* source, char* name, BOOL execute, PFNFCIGETNEXTCABINET next,
                 PFNFCISTATUS status, PFNFCIGETOPENINFO openInfo, TCOMP type);
    bool FlushFolder(PFNFCIGETNEXTCABINET next, PFNFCISTATUS status);
    bool FlushCabinet(bool getNext, PFNFCIGETNEXTCABINET next, PFNFCISTATUS status);

private:
    bool Fail(int oper, int err) {
        erf->erfOper = oper;
        erf->erfType = err;
        erf->fError = TRUE;
        return false;
    }
    bool Broken(int oper, int err) {
        m_broken = true;
        return Fail(oper, err);
    }

    bool OpenFolder(TCOMP type);
    bool CloseFolder(PFNFCIGETNEXTCABINET next, PFNFCISTATUS status);
    bool EmitBlock(bool last, PFNFCIGETNEXTCABINET next, PFNFCISTATUS status);
    bool TempWrite(const std::uint8_t* p, std::size_t n);
    bool TempRead(std::uint64_t offset, std::uint8_t* p, std::size_t n);

    std::size_t HeaderBytes(bool hasNext, const CCAB& nextCab) const;
    std::uint64_t EstimateSize() const;
    bool SplitIfNeeded(PFNFCIGETNEXTCABINET next, PFNFCISTATUS status);
    bool Split(PFNFCIGETNEXTCABINET next, PFNFCISTATUS status);
    bool AskNextCabinet(PFNFCIGETNEXTCABINET next, ULONG prevSize, CCAB& nextCab);
    bool PlanCut(std::uint64_t dataRoom, std::vector<FolderPlan>& plan);
    void PlanAll(std::vector<FolderPlan>& plan) const;
    std::vector<FilePlan> PlanFiles(const std::vector<FolderPlan>& plan) const;
    bool BuildDirectory(const std::vector<FolderPlan>& folders, const std::vector<FilePlan>& files,
                        bool hasNext, const CCAB& nextCab, std::vector<std::uint8_t>& head,
                        std::uint32_t& cabSize);
    bool CopyFolderData(const FolderPlan& p, CabWriter& out, PFNFCISTATUS status);
    bool WriteCabinet(const std::vector<FolderPlan>& folders, const std::vector<FilePlan>& files,
                      bool hasNext, const CCAB& nextCab, PFNFCISTATUS status);
    bool CheckAdd(const char* source, const char* name, TCOMP type);
    bool MeasureSource(INT_PTR hf, std::uint64_t& size, std::vector<std::uint8_t>& whole,
                       bool& buffered);
    bool FeedSource(INT_PTR hf, std::uint64_t size, const std::vector<std::uint8_t>& whole,
                    bool buffered, PFNFCIGETNEXTCABINET next, PFNFCISTATUS status);
    void Advance(const std::vector<FolderPlan>& folders, const std::vector<FilePlan>& files);

    bool ReserveAny() const {
        return ccab.cbReserveCFHeader != 0 || ccab.cbReserveCFFolder != 0 ||
               ccab.cbReserveCFData != 0;
    }
    std::size_t DataHeaderBytes() const { return kDataHeaderSize + ccab.cbReserveCFData; }

    bool m_broken = false;
    bool m_needNewCabinet = false;  // the last cabinet was flushed as final
    std::string m_tempName;
    INT_PTR m_temp = -1;
    std::uint64_t m_tempSize = 0;
    std::uint64_t m_tempPos = 0;

    std::vector<std::unique_ptr<FolderRec>> m_folders;  // folders not yet wholly written
    std::vector<std::unique_ptr<FileRec>> m_files;      // files not yet wholly listed
    FolderRec* m_open = nullptr;
    FileRec* m_adding = nullptr;  // the file being read: it grows, so it always crosses a cut
    std::unique_ptr<BlockCompressor> m_compressor;
    // Input not yet handed to the compressor (<= one block); the compressor
    // may hold more (HeldBytes), released when the folder closes.
    std::vector<std::uint8_t> m_pending;
    std::vector<std::uint8_t> m_blockOut;
    std::vector<CompressedBlock> m_blockSizes;

    bool m_hasPrev = false;
    std::string m_prevCab;
    std::string m_prevDisk;
};

std::size_t StrLen(const char* s, std::size_t max) {
    std::size_t n = 0;
    while (n < max && s[n] != '\0') {
        ++n;
    }
    return n;
}

std::string FixedString(const char* s, std::size_t capacity) {
    return std::string(s, StrLen(s, capacity));
}

bool Fci::Init() {
    if (ccab.cbReserveCFHeader > kMaxHeaderReserve || ccab.cbReserveCFFolder > kMaxFolderReserve ||
        ccab.cbReserveCFData > kMaxDataReserve) {
        return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);
    }
    char name[CB_MAX_FILENAME + 1] = {};
    if (!getTemp(name, CB_MAX_FILENAME, pv)) {
        return Fail(FCIERR_TEMP_FILE, 0);
    }
    m_tempName = FixedString(name, CB_MAX_FILENAME);
    int err = 0;
    m_temp = open(m_tempName.data(), kCab_O_RDWR | kCab_O_BINARY | kCab_O_CREAT | kCab_O_EXCL,
                  kCab_S_IREAD | kCab_S_IWRITE, &err, pv);
    if (m_temp == -1) {
        return Fail(FCIERR_TEMP_FILE, err);
    }
    return true;
}

void Fci::Shutdown() {
    int err = 0;
    if (m_temp != -1) {
        close(m_temp, &err, pv);
        m_temp = -1;
        remove(m_tempName.data(), &err, pv);
    }
}

bool Fci::TempWrite(const std::uint8_t* p, std::size_t n) {
    int err = 0;
    if (m_tempSize + n > 0x7FFFFFFF) {
        return Broken(FCIERR_TEMP_FILE, 0);  // beyond what the seek callback can address
    }
    if (m_tempPos != m_tempSize) {
        if (seek(m_temp, static_cast<LONG>(m_tempSize), kSeekSet, &err, pv) !=
            static_cast<LONG>(m_tempSize)) {
            return Broken(FCIERR_TEMP_FILE, err);
        }
        m_tempPos = m_tempSize;
    }
    if (n > 0 && write(m_temp, const_cast<std::uint8_t*>(p), static_cast<UINT>(n), &err, pv) !=
                     static_cast<UINT>(n)) {
        return Broken(FCIERR_TEMP_FILE, err);
    }
    m_tempSize += n;
    m_tempPos = m_tempSize;
    return true;
}

bool Fci::TempRead(std::uint64_t offset, std::uint8_t* p, std::size_t n) {
    int err = 0;
    if (m_tempPos != offset) {
        if (seek(m_temp, static_cast<LONG>(offset), kSeekSet, &err, pv) !=
            static_cast<LONG>(offset)) {
            return Broken(FCIERR_TEMP_FILE, err);
        }
        m_tempPos = offset;
    }
    if (n > 0 && read(m_temp, p, static_cast<UINT>(n), &err, pv) != static_cast<UINT>(n)) {
        return Broken(FCIERR_TEMP_FILE, err);
    }
    m_tempPos += n;
    return true;
}

class StoredCompressor : public BlockCompressor {
public:
    bool CompressBlock(const std::uint8_t* in, std::size_t n, bool,
                       std::vector<std::uint8_t>& out) override {
        out.insert(out.end(), in, in + n);
        return true;
    }
};

bool Fci::OpenFolder(TCOMP type) {
    switch (type & tcompMASK_TYPE) {
        case tcompTYPE_NONE:
            m_compressor = std::make_unique<StoredCompressor>();
            type = tcompTYPE_NONE;
            break;
        case tcompTYPE_MSZIP:
            m_compressor = CreateMszipCompressor();
            type = tcompTYPE_MSZIP;
            break;
        case tcompTYPE_LZX:
            m_compressor = CreateLzxCompressor(LZXWindowFromTCOMP(type));
            type = TCOMPfromLZXWindow(LZXWindowFromTCOMP(type));
            break;
        default:
            return Fail(FCIERR_BAD_COMPR_TYPE, 0);
    }
    if (!m_compressor) {
        return Fail(FCIERR_BAD_COMPR_TYPE, 0);
    }
    auto folder = std::make_unique<FolderRec>();
    folder->tcomp = type;
    m_open = folder.get();
    m_folders.push_back(std::move(folder));
    m_pending.clear();
    return true;
}

bool Fci::EmitBlock(bool last, PFNFCIGETNEXTCABINET next, PFNFCISTATUS status) {
    m_blockOut.clear();
    m_blockSizes.clear();
    const std::size_t taken = m_pending.size();
    if (!m_compressor->CompressBlocks(m_pending.data(), taken, last, m_blockOut, m_blockSizes)) {
        return Broken(FCIERR_MCI_FAIL, 0);
    }
    m_pending.clear();
    // Every block goes into the folder before a split may close it.
    std::size_t at = 0;
    const std::size_t first = m_open->blocks.size();
    for (const CompressedBlock& sizes : m_blockSizes) {
        if (sizes.compressed > 0xFFFF || sizes.uncompressed > kMaxBlockUncompressed ||
            (sizes.compressed == 0 && sizes.uncompressed != 0) ||
            at + sizes.compressed > m_blockOut.size()) {
            return Broken(FCIERR_MCI_FAIL, 0);
        }
        BlockRec block{m_tempSize, static_cast<std::uint16_t>(sizes.compressed),
                       static_cast<std::uint16_t>(sizes.uncompressed)};
        if (!TempWrite(m_blockOut.data() + at, sizes.compressed)) {
            return false;
        }
        at += sizes.compressed;
        m_open->blocks.push_back(block);
        m_open->compTotal += block.cbData;
    }
    if (last && m_compressor->HeldBytes() != 0) {
        return Broken(FCIERR_MCI_FAIL, 0);
    }
    for (std::size_t b = first; status && b < m_open->blocks.size(); ++b) {
        if (status(statusFile, m_open->blocks[b].cbData, m_open->blocks[b].cbUncomp, pv) == -1) {
            return Broken(FCIERR_USER_ABORT, 0);
        }
    }
    return SplitIfNeeded(next, status);
}

bool Fci::CloseFolder(PFNFCIGETNEXTCABINET next, PFNFCISTATUS status) {
    if (!m_open) {
        return true;
    }
    if ((!m_pending.empty() || m_compressor->HeldBytes() != 0) && !EmitBlock(true, next, status)) {
        return false;
    }
    if (m_open) {
        m_open->closed = true;
        m_open = nullptr;
    }
    m_compressor.reset();
    return true;
}

std::size_t Fci::HeaderBytes(bool hasNext, const CCAB& nextCab) const {
    std::size_t n = kHeaderSize;
    if (ReserveAny()) {
        n += kReserveFieldsSize + ccab.cbReserveCFHeader;
    }
    if (m_hasPrev) {
        n += m_prevCab.size() + 1 + m_prevDisk.size() + 1;
    }
    if (hasNext) {
        n += StrLen(nextCab.szCab, CB_MAX_CABINET_NAME - 1) + 1 +
             StrLen(nextCab.szDisk, CB_MAX_DISK_NAME - 1) + 1;
    }
    return n;
}

// Size of the cabinet if everything added so far went into it (pending input
// not counted), with room for next-cabinet names as long as this one's.
std::uint64_t Fci::EstimateSize() const {
    std::uint64_t n = HeaderBytes(true, ccab);
    std::size_t folders = m_folders.size();
    for (const auto& f : m_folders) {
        for (std::size_t b = f->nextBlock; b < f->blocks.size(); ++b) {
            n += DataHeaderBytes() + f->blocks[b].cbData;
        }
        n -= f->nextBlock < f->blocks.size() ? f->nextBlockDone : 0;
    }
    n += folders * (kFolderSize + ccab.cbReserveCFFolder);
    for (const auto& file : m_files) {
        n += kFileEntrySize + file->name.size() + 1;
    }
    return n;
}

bool Fci::SplitIfNeeded(PFNFCIGETNEXTCABINET next, PFNFCISTATUS status) {
    // Each split writes at least one data byte or one folder, so this ends.
    while (EstimateSize() > ccab.cb) {
        if (!Split(next, status)) {
            return false;
        }
    }
    return true;
}

bool Fci::AskNextCabinet(PFNFCIGETNEXTCABINET next, ULONG prevSize, CCAB& nextCab) {
    nextCab = ccab;
    nextCab.iCab = ccab.iCab + 1;
    if (!next || !next(&nextCab, prevSize, pv)) {
        return Broken(FCIERR_USER_ABORT, 0);
    }
    nextCab.szCab[CB_MAX_CABINET_NAME - 1] = '\0';
    nextCab.szDisk[CB_MAX_DISK_NAME - 1] = '\0';
    nextCab.szCabPath[CB_MAX_CAB_PATH - 1] = '\0';
    // The reserve sizes are fixed for a whole set: a reader refuses a set
    // whose cabinets differ in them.
    nextCab.cbReserveCFHeader = ccab.cbReserveCFHeader;
    nextCab.cbReserveCFFolder = ccab.cbReserveCFFolder;
    nextCab.cbReserveCFData = ccab.cbReserveCFData;
    nextCab.setID = ccab.setID;
    return true;
}

// Plans a cabinet holding all remaining data.
void Fci::PlanAll(std::vector<FolderPlan>& plan) const {
    for (const auto& f : m_folders) {
        // Only after CloseFolder: every folder is closed, every block complete.
        plan.push_back(
            {f.get(), f->nextBlock, f->nextBlockDone, f->blocks.size(), 0, true, f->uncompTotal});
    }
}

// Plans a cabinet whose data blocks take at most dataRoom bytes. false when
// nothing at all fits.
bool Fci::PlanCut(std::uint64_t dataRoom, std::vector<FolderPlan>& plan) {
    std::uint64_t used = 0;
    for (const auto& f : m_folders) {
        FolderPlan p{f.get(), f->nextBlock, f->nextBlockDone, f->nextBlock,
                     0,       false,        f->uncompDone};
        std::size_t b = f->nextBlock;
        std::uint32_t done = f->nextBlockDone;
        for (; b < f->blocks.size(); ++b, done = 0) {
            std::uint64_t need = DataHeaderBytes() + f->blocks[b].cbData - done;
            if (used + need > dataRoom) {
                break;
            }
            used += need;
            p.uncompEnd += f->blocks[b].cbUncomp;
        }
        p.blockEnd = b;
        bool allBlocks = b == f->blocks.size();
        if (allBlocks && f->closed) {
            p.whole = true;
            plan.push_back(p);
            continue;
        }
        if (!allBlocks && used + DataHeaderBytes() < dataRoom) {
            // Begin the next block here; the rest goes to the next cabinet.
            std::uint64_t room = dataRoom - used - DataHeaderBytes();
            p.splitBytes = static_cast<std::uint32_t>(
                std::min<std::uint64_t>(room, f->blocks[b].cbData - done - 1));
            if (p.splitBytes > 0) {
                used += DataHeaderBytes() + p.splitBytes;
            }
        }
        bool anything = p.blockEnd > p.firstBlock || p.splitBytes > 0;
        if (anything || f->continued) {
            plan.push_back(p);
        }
        break;
    }
    if (plan.empty()) {
        return false;
    }
    const FolderPlan& last = plan.back();
    return plan.size() > 1 || last.whole || last.blockEnd > last.firstBlock || last.splitBytes > 0;
}

std::vector<FilePlan> Fci::PlanFiles(const std::vector<FolderPlan>& plan) const {
    std::vector<FilePlan> out;
    for (const auto& file : m_files) {
        for (std::size_t i = 0; i < plan.size(); ++i) {
            const FolderPlan& p = plan[i];
            if (p.folder != file->folder) {
                continue;
            }
            // Every file of a folder in this cabinet is listed, even one of a
            // cut folder whose data all lies beyond the cut (the encoder may
            // hold data back until after the next file is added). A cut
            // folder takes no new files, so readers that join its parts learn
            // all of them from the cabinet of its first cut and extract them
            // on their way through the parts; a file listed first in a later
            // part would be lost, since a reader may pass the part where it
            // begins while it completes the file before it.
            const bool toNext = !p.whole && !file->complete &&
                                (file.get() == m_adding ||
                                 static_cast<std::uint64_t>(file->uoff) + file->size > p.uncompEnd);
            out.push_back({file.get(), static_cast<std::uint16_t>(i), toNext});
            break;
        }
    }
    return out;
}

bool Fci::Split(PFNFCIGETNEXTCABINET next, PFNFCISTATUS status) {
    // An open folder that no file crosses is closed rather than continued: a
    // reader only carries a folder's state into the next cabinet for files
    // marked continued.
    if (m_open && m_pending.empty() && m_compressor->HeldBytes() == 0 && !m_adding) {
        bool crossing = false;
        for (const auto& file : m_files) {
            if (file->folder == m_open &&
                static_cast<std::uint64_t>(file->uoff) + file->size > m_open->uncompTotal) {
                crossing = true;
            }
        }
        if (!crossing) {
            m_open->closed = true;
            m_open = nullptr;
            m_compressor.reset();
        }
    }
    CCAB nextCab;
    if (!AskNextCabinet(next, ccab.cb, nextCab)) {
        return false;
    }
    std::uint64_t fixed = HeaderBytes(true, nextCab);
    fixed += m_folders.size() * (kFolderSize + ccab.cbReserveCFFolder);
    for (const auto& file : m_files) {
        fixed += kFileEntrySize + file->name.size() + 1;
    }
    std::vector<FolderPlan> plan;
    if (fixed >= ccab.cb || !PlanCut(ccab.cb - fixed, plan)) {
        return Broken(FCIERR_CAB_FORMAT_LIMIT, 0);
    }
    std::vector<FilePlan> files = PlanFiles(plan);
    if (!WriteCabinet(plan, files, true, nextCab, status)) {
        return false;
    }
    Advance(plan, files);
    m_hasPrev = true;
    m_prevCab = FixedString(ccab.szCab, CB_MAX_CABINET_NAME - 1);
    m_prevDisk = FixedString(ccab.szDisk, CB_MAX_DISK_NAME - 1);
    ccab = nextCab;
    return true;
}

void Fci::Advance(const std::vector<FolderPlan>& folders, const std::vector<FilePlan>& files) {
    for (const FilePlan& fp : files) {
        fp.file->startedInPrev = true;
        fp.file->complete = !fp.toNext;
    }
    m_files.erase(std::remove_if(m_files.begin(), m_files.end(),
                                 [&](const std::unique_ptr<FileRec>& f) {
                                     for (const FilePlan& fp : files) {
                                         if (fp.file == f.get()) {
                                             return folders[fp.folderIndex].whole;
                                         }
                                     }
                                     return false;
                                 }),
                  m_files.end());
    for (const FolderPlan& p : folders) {
        FolderRec* f = p.folder;
        f->uncompDone = p.uncompEnd;
        if (p.blockEnd > p.firstBlock) {
            f->nextBlock = p.blockEnd;
            f->nextBlockDone = 0;
        }
        f->nextBlockDone += p.splitBytes;
        if (!p.whole) {
            f->continued = true;
            f->sealed = true;
        }
    }
    m_folders.erase(std::remove_if(m_folders.begin(), m_folders.end(),
                                   [&](const std::unique_ptr<FolderRec>& f) {
                                       for (const FolderPlan& p : folders) {
                                           if (p.folder == f.get()) {
                                               return p.whole;
                                           }
                                       }
                                       return false;
                                   }),
                    m_folders.end());
}

// Buffers the cabinet stream into writes of at most kOutputChunk bytes.
class CabWriter {
public:
    CabWriter(Fci& fci, INT_PTR hf) : m_fci(fci), m_hf(hf) { m_buf.reserve(kOutputChunk); }
    bool Put(const std::uint8_t* p, std::size_t n) {
        while (n > 0) {
            std::size_t take = std::min(n, kOutputChunk - m_buf.size());
            m_buf.insert(m_buf.end(), p, p + take);
            p += take;
            n -= take;
            if (m_buf.size() == kOutputChunk && !Flush()) {
                return false;
            }
        }
        return true;
    }
    bool Flush() {
        if (m_buf.empty()) {
            return true;
        }
        UINT n = static_cast<UINT>(m_buf.size());
        if (m_fci.write(m_hf, m_buf.data(), n, &m_err, m_fci.pv) != n) {
            return false;
        }
        m_buf.clear();
        return true;
    }
    int Err() const { return m_err; }

private:
    Fci& m_fci;
    INT_PTR m_hf;
    int m_err = 0;
    std::vector<std::uint8_t> m_buf;
};

void PutString(std::vector<std::uint8_t>& out, const std::string& s) {
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
}

// Lays out everything before the data blocks (header, reserve, set names,
// folder and file entries) and the cabinet's size: every offset is known
// before the first byte is written.
bool Fci::BuildDirectory(const std::vector<FolderPlan>& folders, const std::vector<FilePlan>& files,
                         bool hasNext, const CCAB& nextCab, std::vector<std::uint8_t>& head,
                         std::uint32_t& cabSize) {
    if (folders.size() > kMaxEntries || files.size() > kMaxEntries) {
        return Broken(FCIERR_CAB_FORMAT_LIMIT, 0);
    }
    head.assign(kHeaderSize, 0);
    std::uint16_t flags = 0;
    if (m_hasPrev) {
        flags |= kFlagPrevCabinet;
    }
    if (hasNext) {
        flags |= kFlagNextCabinet;
    }
    if (ReserveAny()) {
        flags |= kFlagReservePresent;
        std::uint8_t r[kReserveFieldsSize];
        PutU16(r, static_cast<std::uint16_t>(ccab.cbReserveCFHeader));
        r[2] = static_cast<std::uint8_t>(ccab.cbReserveCFFolder);
        r[3] = static_cast<std::uint8_t>(ccab.cbReserveCFData);
        head.insert(head.end(), r, r + kReserveFieldsSize);
        head.insert(head.end(), ccab.cbReserveCFHeader, 0);
    }
    if (m_hasPrev) {
        PutString(head, m_prevCab);
        PutString(head, m_prevDisk);
    }
    if (hasNext) {
        PutString(head, FixedString(nextCab.szCab, CB_MAX_CABINET_NAME - 1));
        PutString(head, FixedString(nextCab.szDisk, CB_MAX_DISK_NAME - 1));
    }
    std::size_t folderEntries = folders.size() * (kFolderSize + ccab.cbReserveCFFolder);
    std::size_t filesOffset = head.size() + folderEntries;
    std::size_t fileEntries = 0;
    for (const FilePlan& fp : files) {
        fileEntries += kFileEntrySize + fp.file->name.size() + 1;
    }
    std::uint64_t dataOffset = filesOffset + fileEntries;
    std::vector<std::uint64_t> folderData;
    std::vector<std::size_t> folderBlocks;
    std::uint64_t pos = dataOffset;
    for (const FolderPlan& p : folders) {
        folderData.push_back(pos);
        std::size_t count = p.blockEnd - p.firstBlock + (p.splitBytes > 0 ? 1 : 0);
        if (count > kMaxEntries) {
            return Broken(FCIERR_CAB_FORMAT_LIMIT, 0);
        }
        folderBlocks.push_back(count);
        std::uint32_t done = p.firstBlockDone;
        for (std::size_t b = p.firstBlock; b < p.blockEnd; ++b, done = 0) {
            pos += DataHeaderBytes() + p.folder->blocks[b].cbData - done;
        }
        if (p.splitBytes > 0) {
            pos += DataHeaderBytes() + p.splitBytes;
        }
    }
    if (pos > 0x7FFFFFFF) {
        return Broken(FCIERR_CAB_FORMAT_LIMIT, 0);
    }
    cabSize = static_cast<std::uint32_t>(pos);
    std::memcpy(head.data() + kHeaderSignature, "MSCF", 4);
    PutU32(head.data() + kHeaderCabinetSize, cabSize);
    PutU32(head.data() + kHeaderFilesOffset, static_cast<std::uint32_t>(filesOffset));
    head[kHeaderVersionMinor] = kVersionMinor;
    head[kHeaderVersionMajor] = kVersionMajor;
    PutU16(head.data() + kHeaderFolderCount, static_cast<std::uint16_t>(folders.size()));
    PutU16(head.data() + kHeaderFileCount, static_cast<std::uint16_t>(files.size()));
    PutU16(head.data() + kHeaderFlags, flags);
    PutU16(head.data() + kHeaderSetId, ccab.setID);
    PutU16(head.data() + kHeaderCabinetIndex, static_cast<std::uint16_t>(ccab.iCab));
    for (std::size_t i = 0; i < folders.size(); ++i) {
        std::uint8_t e[kFolderSize];
        PutU32(e + kFolderDataOffset, static_cast<std::uint32_t>(folderData[i]));
        PutU16(e + kFolderBlockCount, static_cast<std::uint16_t>(folderBlocks[i]));
        PutU16(e + kFolderCompression, folders[i].folder->tcomp);
        head.insert(head.end(), e, e + kFolderSize);
        head.insert(head.end(), ccab.cbReserveCFFolder, 0);
    }
    for (const FilePlan& fp : files) {
        std::uint8_t e[kFileEntrySize];
        std::uint16_t index = fp.folderIndex;
        if (fp.file->startedInPrev) {
            index = fp.toNext ? kFolderContinuedPrevAndNext : kFolderContinuedFromPrev;
        } else if (fp.toNext) {
            index = kFolderContinuedToNext;
        }
        PutU32(e + kFileSize, fp.file->size);
        PutU32(e + kFileFolderOffset, fp.file->uoff);
        PutU16(e + kFileFolderIndex, index);
        PutU16(e + kFileDate, fp.file->date);
        PutU16(e + kFileTime, fp.file->time);
        PutU16(e + kFileAttributes, fp.file->attribs);
        head.insert(head.end(), e, e + kFileEntrySize);
        PutString(head, fp.file->name);
    }
    return true;
}

// Copies a folder's blocks (or pieces of blocks) from the temporary file to
// the cabinet, each with its header and checksum.
bool Fci::CopyFolderData(const FolderPlan& p, CabWriter& out, PFNFCISTATUS status) {
    std::vector<std::uint8_t> data;
    std::vector<std::uint8_t> blockHead(DataHeaderBytes(), 0);
    std::size_t end = p.blockEnd + (p.splitBytes > 0 ? 1 : 0);
    std::uint64_t total = 0;
    for (std::size_t b = p.firstBlock; b < end; ++b) {
        total += p.folder->blocks[b].cbData;
    }
    std::uint64_t copied = 0;
    std::uint32_t done = p.firstBlockDone;
    for (std::size_t b = p.firstBlock; b < end; ++b, done = 0) {
        const BlockRec& block = p.folder->blocks[b];
        bool piece = b == p.blockEnd;
        std::uint32_t n = piece ? p.splitBytes : block.cbData - done;
        data.resize(n);
        if (!TempRead(block.tempOffset + done, data.data(), n)) {
            return false;
        }
        PutU16(blockHead.data() + kDataCompressed, static_cast<std::uint16_t>(n));
        PutU16(blockHead.data() + kDataUncompressed, piece ? 0 : block.cbUncomp);
        PutU32(blockHead.data() + kDataChecksum,
               BlockChecksum(blockHead.data() + kDataCompressed, blockHead.size() - kDataCompressed,
                             data.data(), n));
        if (!out.Put(blockHead.data(), blockHead.size()) || !out.Put(data.data(), n)) {
            return Broken(FCIERR_CAB_FILE, out.Err());
        }
        copied += n;
        if (status &&
            status(statusFolder, static_cast<ULONG>(copied), static_cast<ULONG>(total), pv) == -1) {
            return Broken(FCIERR_USER_ABORT, 0);
        }
    }
    return true;
}

bool Fci::WriteCabinet(const std::vector<FolderPlan>& folders, const std::vector<FilePlan>& files,
                       bool hasNext, const CCAB& nextCab, PFNFCISTATUS status) {
    std::vector<std::uint8_t> head;
    std::uint32_t cabSize = 0;
    if (!BuildDirectory(folders, files, hasNext, nextCab, head, cabSize)) {
        return false;
    }
    if (status && status(statusCabinet, cabSize, cabSize, pv) == -1) {
        return Broken(FCIERR_USER_ABORT, 0);
    }
    std::string path = FixedString(ccab.szCabPath, CB_MAX_CAB_PATH - 1) +
                       FixedString(ccab.szCab, CB_MAX_CABINET_NAME - 1);
    int err = 0;
    INT_PTR hf = open(path.data(), kCab_O_RDWR | kCab_O_BINARY | kCab_O_CREAT | kCab_O_TRUNC,
                      kCab_S_IREAD | kCab_S_IWRITE, &err, pv);
    if (hf == -1) {
        return Broken(FCIERR_CAB_FILE, err);
    }
    CabWriter out(*this, hf);
    bool ok = out.Put(head.data(), head.size());
    if (!ok) {
        Broken(FCIERR_CAB_FILE, out.Err());
    }
    for (std::size_t i = 0; ok && i < folders.size(); ++i) {
        ok = CopyFolderData(folders[i], out, status);
    }
    if (ok && !out.Flush()) {
        ok = Broken(FCIERR_CAB_FILE, out.Err());
    }
    if (!ok) {
        close(hf, &err, pv);  // the failure is in erf already
        return false;
    }
    if (close(hf, &err, pv) != 0) {
        return Broken(FCIERR_CAB_FILE, err);
    }
    if (filePlaced) {
        CCAB placed = ccab;
        for (const FilePlan& fp : files) {
            if (fp.file->complete) {
                continue;
            }
            if (filePlaced(&placed, fp.file->name.data(), static_cast<LONG>(fp.file->size),
                           fp.file->startedInPrev ? TRUE : FALSE, pv) == -1) {
                return Broken(FCIERR_USER_ABORT, 0);
            }
        }
    }
    return true;
}

// Checks what can be checked before the source is touched.
bool Fci::CheckAdd(const char* source, const char* name, TCOMP type) {
    if (!source || !name) {
        return Fail(FCIERR_OPEN_SRC, 0);
    }
    std::size_t nameLen = StrLen(name, CB_MAX_FILENAME);
    if (nameLen == 0 || nameLen >= CB_MAX_FILENAME) {
        return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);
    }
    TCOMP kind = type & tcompMASK_TYPE;
    if (kind != tcompTYPE_NONE && kind != tcompTYPE_MSZIP && kind != tcompTYPE_LZX) {
        return Fail(FCIERR_BAD_COMPR_TYPE, 0);
    }
    if (kind == tcompTYPE_LZX && (LZXWindowFromTCOMP(type) < 15 || LZXWindowFromTCOMP(type) > 21)) {
        return Fail(FCIERR_BAD_COMPR_TYPE, 0);
    }
    if (m_files.size() >= kMaxEntries) {
        return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);
    }
    return true;
}

// Every cabinet that lists a file records its whole size, and a cut may come
// before the file is read to its end; so the size is taken first, from the
// source when it can seek, else by reading it whole into `whole`.
bool Fci::MeasureSource(INT_PTR hf, std::uint64_t& size, std::vector<std::uint8_t>& whole,
                        bool& buffered) {
    int err = 0;
    LONG end = seek(hf, 0, kSeekEnd, &err, pv);
    if (end >= 0 && seek(hf, 0, kSeekSet, &err, pv) == 0) {
        size = static_cast<std::uint64_t>(end);
        buffered = false;
    } else {
        buffered = true;
        std::vector<std::uint8_t> chunk(kSourceChunk);
        for (;;) {
            UINT got = read(hf, chunk.data(), static_cast<UINT>(chunk.size()), &err, pv);
            if (got == static_cast<UINT>(-1) || got > chunk.size()) {
                return Fail(FCIERR_READ_SRC, err);
            }
            if (got == 0) {
                break;
            }
            if (whole.size() + got > kMaxFolderUncompressed) {
                return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);
            }
            whole.insert(whole.end(), chunk.data(), chunk.data() + got);
        }
        size = whole.size();
    }
    if (size > kMaxFolderUncompressed) {
        return Fail(FCIERR_CAB_FORMAT_LIMIT, 0);
    }
    return true;
}

// Moves the source's bytes into the open folder, one block at a time.
bool Fci::FeedSource(INT_PTR hf, std::uint64_t size, const std::vector<std::uint8_t>& whole,
                     bool buffered, PFNFCIGETNEXTCABINET next, PFNFCISTATUS status) {
    std::vector<std::uint8_t> chunk(kSourceChunk);
    std::uint64_t fed = 0;
    int err = 0;
    for (;;) {
        const std::uint8_t* data = chunk.data();
        std::size_t got;
        if (buffered) {
            got = static_cast<std::size_t>(std::min<std::uint64_t>(kSourceChunk, size - fed));
            data = whole.data() + fed;
        } else {
            UINT n = read(hf, chunk.data(), static_cast<UINT>(chunk.size()), &err, pv);
            if (n == static_cast<UINT>(-1) || n > chunk.size()) {
                return Broken(FCIERR_READ_SRC, err);
            }
            got = n;
        }
        if (got == 0) {
            break;
        }
        if (fed + got > size) {
            return Broken(FCIERR_READ_SRC, 0);  // the source grew while being read
        }
        fed += got;
        for (std::size_t off = 0; off < got;) {
            if (m_pending.size() == kMaxBlockUncompressed && !EmitBlock(false, next, status)) {
                return false;
            }
            std::size_t take =
                std::min<std::size_t>(got - off, kMaxBlockUncompressed - m_pending.size());
            m_pending.insert(m_pending.end(), data + off, data + off + take);
            off += take;
            m_open->uncompTotal += static_cast<std::uint32_t>(take);
        }
    }
    if (fed != size) {
        return Broken(FCIERR_READ_SRC, 0);  // the source shrank while being read
    }
    return true;
}

bool Fci::AddFile(char* source, char* name, BOOL execute, PFNFCIGETNEXTCABINET next,
                  PFNFCISTATUS status, PFNFCIGETOPENINFO openInfo, TCOMP type) {
    if (m_broken) {
        return false;
    }
    if (!openInfo) {
        return Fail(FCIERR_OPEN_SRC, 0);
    }
    if (!CheckAdd(source, name, type)) {
        return false;
    }
    if (m_needNewCabinet) {
        CCAB nextCab;
        if (!AskNextCabinet(next, 0, nextCab)) {
            return false;
        }
        ccab = nextCab;
        m_needNewCabinet = false;
    }

    USHORT date = 0, time = 0, attribs = 0;
    int err = 0;
    INT_PTR hf = openInfo(source, &date, &time, &attribs, &err, pv);
    if (hf == -1) {
        return Fail(FCIERR_OPEN_SRC, err);
    }
    struct SourceCloser {
        Fci& fci;
        INT_PTR hf;
        bool open = true;
        ~SourceCloser() {
            int ignored = 0;
            if (open) {
                fci.close(hf, &ignored, fci.pv);
            }
        }
    } closer{*this, hf};

    std::uint64_t size = 0;
    std::vector<std::uint8_t> whole;
    bool buffered = false;
    if (!MeasureSource(hf, size, whole, buffered)) {
        return false;
    }
    TCOMP kind = type & tcompMASK_TYPE;
    TCOMP normalized = kind == tcompTYPE_LZX ? TCOMPfromLZXWindow(LZXWindowFromTCOMP(type)) : kind;
    bool newFolder = !m_open || m_open->sealed || m_open->tcomp != normalized ||
                     m_open->compTotal >= ccab.cbFolderThresh ||
                     m_open->uncompTotal + size > kMaxFolderUncompressed;
    if (newFolder && (!CloseFolder(next, status) || !OpenFolder(type))) {
        return false;
    }

    auto file = std::make_unique<FileRec>();
    file->name.assign(name, StrLen(name, CB_MAX_FILENAME));
    file->uoff = m_open->uncompTotal;
    file->size = static_cast<std::uint32_t>(size);
    file->folder = m_open;
    file->date = date;
    file->time = time;
    file->attribs = static_cast<USHORT>(attribs | (execute ? _A_EXEC : 0));
    m_adding = file.get();
    m_files.push_back(std::move(file));
    struct AddingReset {
        FileRec*& adding;
        ~AddingReset() { adding = nullptr; }
    } addingReset{m_adding};

    if (!FeedSource(hf, size, whole, buffered, next, status)) {
        return false;
    }
    closer.open = false;
    if (close(hf, &err, pv) != 0) {
        return Broken(FCIERR_READ_SRC, err);
    }
    m_adding = nullptr;
    return SplitIfNeeded(next, status);
}

bool Fci::FlushFolder(PFNFCIGETNEXTCABINET next, PFNFCISTATUS status) {
    if (m_broken) {
        return false;
    }
    return CloseFolder(next, status);
}

bool Fci::FlushCabinet(bool getNext, PFNFCIGETNEXTCABINET next, PFNFCISTATUS status) {
    if (m_broken) {
        return false;
    }
    if (!CloseFolder(next, status) || !SplitIfNeeded(next, status)) {
        return false;
    }
    if (m_folders.empty() && m_files.empty()) {
        return true;  // nothing added since the last cabinet
    }
    CCAB nextCab;
    if (getNext && !AskNextCabinet(next, static_cast<ULONG>(EstimateSize()), nextCab)) {
        return false;
    }
    std::vector<FolderPlan> plan;
    PlanAll(plan);
    std::vector<FilePlan> files = PlanFiles(plan);
    if (!WriteCabinet(plan, files, getNext, nextCab, status)) {
        return false;
    }
    Advance(plan, files);
    m_folders.clear();
    m_files.clear();
    if (getNext) {
        m_hasPrev = true;
        m_prevCab = FixedString(ccab.szCab, CB_MAX_CABINET_NAME - 1);
        m_prevDisk = FixedString(ccab.szDisk, CB_MAX_DISK_NAME - 1);
        ccab = nextCab;
    } else {
        m_hasPrev = false;
        m_needNewCabinet = true;
    }
    return true;
}

Fci* FromHandle(HFCI h) {
    Fci* fci = static_cast<Fci*>(h);
    if (!fci || fci->magic != kFciMagic) {
        return nullptr;
    }
    return fci;
}

}  // namespace
}  // namespace cabinet

using cabinet::Fci;

extern "C" {

HFCI FCICreate(PERF perf, PFNFCIFILEPLACED pfnfcifp, PFNFCIALLOC pfna, PFNFCIFREE pfnf,
               PFNFCIOPEN pfnopen, PFNFCIREAD pfnread, PFNFCIWRITE pfnwrite, PFNFCICLOSE pfnclose,
               PFNFCISEEK pfnseek, PFNFCIDELETE pfndelete, PFNFCIGETTEMPFILE pfnfcigtf, PCCAB pccab,
               void* pv) {
    if (!perf) {
        return nullptr;
    }
    perf->erfOper = FCIERR_NONE;
    perf->erfType = 0;
    perf->fError = FALSE;
    if (!pfna || !pfnf || !pfnopen || !pfnread || !pfnwrite || !pfnclose || !pfnseek ||
        !pfndelete || !pfnfcigtf || !pccab) {
        perf->erfOper = FCIERR_ALLOC_FAIL;
        perf->fError = TRUE;
        return nullptr;
    }
    void* mem = pfna(sizeof(Fci));
    if (!mem) {
        perf->erfOper = FCIERR_ALLOC_FAIL;
        perf->fError = TRUE;
        return nullptr;
    }
    Fci* fci = new (mem) Fci();
    fci->erf = perf;
    fci->filePlaced = pfnfcifp;
    fci->alloc = pfna;
    fci->free = pfnf;
    fci->open = pfnopen;
    fci->read = pfnread;
    fci->write = pfnwrite;
    fci->close = pfnclose;
    fci->seek = pfnseek;
    fci->remove = pfndelete;
    fci->getTemp = pfnfcigtf;
    fci->pv = pv;
    fci->ccab = *pccab;
    if (!fci->Init()) {
        fci->Shutdown();
        fci->~Fci();
        pfnf(mem);
        return nullptr;
    }
    return fci;
}

BOOL FCIAddFile(HFCI hfci, char* pszSourceFile, char* pszFileName, BOOL fExecute,
                PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis, PFNFCIGETOPENINFO pfnfcigoi,
                TCOMP typeCompress) {
    Fci* fci = cabinet::FromHandle(hfci);
    if (!fci) {
        return FALSE;
    }
    return fci->AddFile(pszSourceFile, pszFileName, fExecute, pfnfcignc, pfnfcis, pfnfcigoi,
                        typeCompress)
               ? TRUE
               : FALSE;
}

BOOL FCIFlushCabinet(HFCI hfci, BOOL fGetNextCab, PFNFCIGETNEXTCABINET pfnfcignc,
                     PFNFCISTATUS pfnfcis) {
    Fci* fci = cabinet::FromHandle(hfci);
    if (!fci) {
        return FALSE;
    }
    return fci->FlushCabinet(fGetNextCab != FALSE, pfnfcignc, pfnfcis) ? TRUE : FALSE;
}

BOOL FCIFlushFolder(HFCI hfci, PFNFCIGETNEXTCABINET pfnfcignc, PFNFCISTATUS pfnfcis) {
    Fci* fci = cabinet::FromHandle(hfci);
    if (!fci) {
        return FALSE;
    }
    return fci->FlushFolder(pfnfcignc, pfnfcis) ? TRUE : FALSE;
}

BOOL FCIDestroy(HFCI hfci) {
    Fci* fci = cabinet::FromHandle(hfci);
    if (!fci) {
        return FALSE;
    }
    PFNFCIFREE freeFn = fci->free;
    fci->Shutdown();
    fci->magic = 0;
    fci->~Fci();
    freeFn(fci);
    return TRUE;
}

}  // extern "C"
