#include "platform/msgfile/CompoundFile.h"

#include <algorithm>
#include <limits>

#include "platform/msgfile/LittleEndian.h"
#include "platform/msgfile/Utf16.h"
#include "platform/win/Errors.h"

namespace msgfile {

namespace {

// Header fields (offsets into the first 512 bytes).
constexpr std::uint8_t kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::size_t kHdrSignature = 0;
constexpr std::size_t kHdrMinorVersion = 24;
constexpr std::size_t kHdrMajorVersion = 26;
constexpr std::size_t kHdrByteOrder = 28;
constexpr std::size_t kHdrSectorShift = 30;
constexpr std::size_t kHdrMiniSectorShift = 32;
constexpr std::size_t kHdrDirSectorCount = 40;
constexpr std::size_t kHdrFatSectorCount = 44;
constexpr std::size_t kHdrFirstDirSector = 48;
constexpr std::size_t kHdrTransaction = 52;
constexpr std::size_t kHdrMiniCutoff = 56;
constexpr std::size_t kHdrFirstMiniFatSector = 60;
constexpr std::size_t kHdrMiniFatSectorCount = 64;
constexpr std::size_t kHdrFirstDifatSector = 68;
constexpr std::size_t kHdrDifatSectorCount = 72;
constexpr std::size_t kHdrDifat = 76;
constexpr std::size_t kHeaderDifatSlots = 109;
constexpr std::size_t kHeaderSize = 512;

constexpr std::uint16_t kMinorVersion = 0x003E;
constexpr std::uint16_t kMajorVersion3 = 3;
constexpr std::uint16_t kMajorVersion4 = 4;
constexpr std::uint16_t kByteOrderMark = 0xFFFE;
constexpr std::uint16_t kSectorShift3 = 9;
constexpr std::uint16_t kSectorShift4 = 12;
constexpr std::uint16_t kMiniSectorShift = 6;
constexpr std::size_t kSectorSize = 512;
constexpr std::size_t kMiniSectorSize = 64;
constexpr std::uint32_t kMiniStreamCutoff = 4096;

// Sector numbers with a meaning of their own.
constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFA;
constexpr std::uint32_t kDifSect = 0xFFFFFFFC;
constexpr std::uint32_t kFatSect = 0xFFFFFFFD;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFreeSect = 0xFFFFFFFF;
constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

// Directory entry fields (128 bytes each).
constexpr std::size_t kDirEntrySize = 128;
constexpr std::size_t kDeName = 0;
constexpr std::size_t kDeNameLength = 64;
constexpr std::size_t kDeType = 66;
constexpr std::size_t kDeColor = 67;
constexpr std::size_t kDeLeft = 68;
constexpr std::size_t kDeRight = 72;
constexpr std::size_t kDeChild = 76;
constexpr std::size_t kDeClsid = 80;
constexpr std::size_t kDeStartSector = 116;
constexpr std::size_t kDeStreamSize = 120;
constexpr std::size_t kMaxNameUnits = 31;

constexpr std::uint8_t kTypeUnused = 0;
constexpr std::uint8_t kTypeStorage = 1;
constexpr std::uint8_t kTypeStream = 2;
constexpr std::uint8_t kTypeRoot = 5;
constexpr std::uint8_t kRed = 0;
constexpr std::uint8_t kBlack = 1;

std::uint32_t UpperUnit(std::uint32_t u) {
    if (u >= 'a' && u <= 'z') {
        return u - 0x20;
    }
    if (u >= 0xE0 && u <= 0xFE && u != 0xF7) {
        return u - 0x20;
    }
    return u;
}

std::vector<std::uint16_t> NameUnits(std::wstring_view name) {
    Bytes b = EncodeUtf16Le(name);
    std::vector<std::uint16_t> units(b.size() / 2);
    for (std::size_t i = 0; i < units.size(); ++i) {
        units[i] = le::Get16(&b[2 * i]);
    }
    return units;
}

// ---------------------------------------------------------------- writing

struct DirSlot {
    const CfbNode* node = nullptr;
    std::uint32_t left = kNoStream;
    std::uint32_t right = kNoStream;
    std::uint32_t child = kNoStream;
    std::uint8_t color = kBlack;
    std::uint32_t start = kEndOfChain;
    std::uint64_t size = 0;
};

class Writer {
public:
    HRESULT Write(const CfbNode& root, Bytes* out);

private:
    HRESULT Flatten(const CfbNode& storage, std::uint32_t slot, int depth);
    // Links the sorted sibling slots ids[lo, hi) into a balanced tree and
    // returns its root; nodes on the deepest level of an incomplete tree are
    // red, all others black, which keeps every path's black count equal.
    std::uint32_t BuildTree(const std::vector<std::uint32_t>& ids, std::size_t lo, std::size_t hi,
                            int depth, int redDepth);
    void LayOut();
    void Emit(Bytes* out);

    Bytes& Sector(std::uint32_t index) { return m_sectors[index]; }

    std::vector<DirSlot> m_slots;
    std::vector<std::uint32_t> m_fat;
    std::vector<std::uint32_t> m_miniFat;
    Bytes m_miniStream;
    std::vector<Bytes> m_sectors;
    std::vector<std::uint32_t> m_fatSectors;
    std::vector<std::uint32_t> m_difatSectors;
    std::uint32_t m_firstDirSector = kEndOfChain;
    std::uint32_t m_firstMiniFatSector = kEndOfChain;
    std::uint32_t m_miniFatSectorCount = 0;
};

int TreeHeight(std::size_t n) {
    int h = 0;
    while (n > 0) {
        ++h;
        n /= 2;
    }
    return h;
}

std::uint32_t Writer::BuildTree(const std::vector<std::uint32_t>& ids, std::size_t lo,
                                std::size_t hi, int depth, int redDepth) {
    if (lo >= hi) {
        return kNoStream;
    }
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::uint32_t id = ids[mid];
    m_slots[id].left = BuildTree(ids, lo, mid, depth + 1, redDepth);
    m_slots[id].right = BuildTree(ids, mid + 1, hi, depth + 1, redDepth);
    m_slots[id].color = depth == redDepth ? kRed : kBlack;
    return id;
}

HRESULT Writer::Flatten(const CfbNode& storage, std::uint32_t slot, int depth) {
    if (depth > kMaxStorageDepth) {
        return E_INVALIDARG;
    }
    std::vector<std::uint32_t> ids;
    for (const CfbNode& child : storage.children) {
        if (Utf16Length(child.name) > kMaxNameUnits || child.name.empty()) {
            return E_INVALIDARG;
        }
        if (m_slots.size() >= kMaxRegSect) {
            return E_INVALIDARG;
        }
        ids.push_back(static_cast<std::uint32_t>(m_slots.size()));
        DirSlot s;
        s.node = &child;
        m_slots.push_back(s);
    }
    std::sort(ids.begin(), ids.end(), [this](std::uint32_t a, std::uint32_t b) {
        return CompareEntryNames(m_slots[a].node->name, m_slots[b].node->name) < 0;
    });
    for (std::size_t i = 1; i < ids.size(); ++i) {
        if (CompareEntryNames(m_slots[ids[i - 1]].node->name, m_slots[ids[i]].node->name) == 0) {
            return E_INVALIDARG;
        }
    }
    // A tree of n nodes built by halving is complete down to the level
    // above its deepest; that level is only full when n + 1 is a power of 2.
    const int height = TreeHeight(ids.size());
    const bool perfect = ((ids.size() + 1) & ids.size()) == 0;
    const int redDepth = perfect ? -1 : height - 1;
    m_slots[slot].child = BuildTree(ids, 0, ids.size(), 0, redDepth);
    for (std::uint32_t id : ids) {
        if (m_slots[id].node->IsStorage()) {
            HRESULT hr = Flatten(*m_slots[id].node, id, depth + 1);
            if (FAILED(hr)) {
                return hr;
            }
        }
    }
    return S_OK;
}

std::uint32_t SectorsFor(std::uint64_t bytes, std::size_t unit) {
    return static_cast<std::uint32_t>((bytes + unit - 1) / unit);
}

void Writer::LayOut() {
    // Order of the sectors: big streams, mini stream, mini FAT, directory,
    // FAT, DIFAT. Chains are contiguous, so each chain is start..start+n-1.
    auto appendChain = [this](std::uint32_t count) {
        const auto start = static_cast<std::uint32_t>(m_sectors.size());
        for (std::uint32_t i = 0; i < count; ++i) {
            m_sectors.emplace_back(kSectorSize, 0);
            m_fat.push_back(i + 1 == count ? kEndOfChain : start + i + 1);
        }
        return count == 0 ? kEndOfChain : start;
    };

    for (std::size_t i = 1; i < m_slots.size(); ++i) {
        DirSlot& s = m_slots[i];
        if (!s.node->IsStream() || s.node->data.empty()) {
            continue;
        }
        const Bytes& data = s.node->data;
        s.size = data.size();
        if (data.size() < kMiniStreamCutoff) {
            const auto first = static_cast<std::uint32_t>(m_miniFat.size());
            const std::uint32_t count = SectorsFor(data.size(), kMiniSectorSize);
            for (std::uint32_t k = 0; k < count; ++k) {
                m_miniFat.push_back(k + 1 == count ? kEndOfChain : first + k + 1);
            }
            s.start = first;
            m_miniStream.insert(m_miniStream.end(), data.begin(), data.end());
            m_miniStream.resize(static_cast<std::size_t>(first + count) * kMiniSectorSize, 0);
        } else {
            const std::uint32_t count = SectorsFor(data.size(), kSectorSize);
            s.start = appendChain(count);
            for (std::uint32_t k = 0; k < count; ++k) {
                const std::size_t from = static_cast<std::size_t>(k) * kSectorSize;
                const std::size_t n = std::min(kSectorSize, data.size() - from);
                std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(from), n,
                            Sector(s.start + k).begin());
            }
        }
    }

    // The root entry holds the mini stream.
    m_slots[0].size = m_miniStream.size();
    m_slots[0].start = appendChain(SectorsFor(m_miniStream.size(), kSectorSize));
    for (std::size_t k = 0; k < m_miniStream.size(); k += kSectorSize) {
        std::copy_n(m_miniStream.begin() + static_cast<std::ptrdiff_t>(k),
                    std::min(kSectorSize, m_miniStream.size() - k),
                    Sector(m_slots[0].start + static_cast<std::uint32_t>(k / kSectorSize)).begin());
    }

    m_miniFatSectorCount = SectorsFor(m_miniFat.size() * 4, kSectorSize);
    m_firstMiniFatSector = appendChain(m_miniFatSectorCount);
    for (std::size_t k = 0; k < m_miniFat.size(); ++k) {
        le::Put32(
            &Sector(m_firstMiniFatSector + static_cast<std::uint32_t>(k / 128))[(k % 128) * 4],
            m_miniFat[k]);
    }
    for (std::size_t k = m_miniFat.size(); k < std::size_t{m_miniFatSectorCount} * 128; ++k) {
        le::Put32(
            &Sector(m_firstMiniFatSector + static_cast<std::uint32_t>(k / 128))[(k % 128) * 4],
            kFreeSect);
    }

    const std::uint32_t dirSectors = SectorsFor(m_slots.size() * kDirEntrySize, kSectorSize);
    m_firstDirSector = appendChain(dirSectors);

    // The FAT covers every sector, its own and the DIFAT's included.
    const auto used = static_cast<std::uint32_t>(m_sectors.size());
    std::uint32_t fatCount = 0;
    std::uint32_t difatCount = 0;
    for (;;) {
        const std::uint32_t total = used + fatCount + difatCount;
        const std::uint32_t needFat = SectorsFor(total, 128);
        const std::uint32_t needDifat =
            needFat > kHeaderDifatSlots ? SectorsFor(needFat - kHeaderDifatSlots, 127) : 0;
        if (needFat == fatCount && needDifat == difatCount) {
            break;
        }
        fatCount = needFat;
        difatCount = needDifat;
    }
    for (std::uint32_t i = 0; i < fatCount; ++i) {
        m_fatSectors.push_back(static_cast<std::uint32_t>(m_sectors.size()));
        m_sectors.emplace_back(kSectorSize, 0);
        m_fat.push_back(kFatSect);
    }
    for (std::uint32_t i = 0; i < difatCount; ++i) {
        m_difatSectors.push_back(static_cast<std::uint32_t>(m_sectors.size()));
        m_sectors.emplace_back(kSectorSize, 0);
        m_fat.push_back(kDifSect);
    }
    m_fat.resize(std::size_t{fatCount} * 128, kFreeSect);
    for (std::size_t k = 0; k < m_fat.size(); ++k) {
        le::Put32(&Sector(m_fatSectors[k / 128])[(k % 128) * 4], m_fat[k]);
    }
    // DIFAT sectors: 127 FAT sector numbers each, then the next DIFAT sector.
    for (std::uint32_t d = 0; d < difatCount; ++d) {
        Bytes& sec = Sector(m_difatSectors[d]);
        for (std::size_t k = 0; k < 127; ++k) {
            const std::size_t fatIndex = kHeaderDifatSlots + d * 127 + k;
            le::Put32(&sec[k * 4],
                      fatIndex < m_fatSectors.size() ? m_fatSectors[fatIndex] : kFreeSect);
        }
        le::Put32(&sec[127 * 4], d + 1 < difatCount ? m_difatSectors[d + 1] : kEndOfChain);
    }

    // Directory entries; unused ones stay empty with no siblings.
    for (std::uint32_t k = 0; k < dirSectors * 4; ++k) {
        std::uint8_t* e = &Sector(m_firstDirSector + k / 4)[(k % 4) * kDirEntrySize];
        if (k >= m_slots.size()) {
            le::Put32(e + kDeLeft, kNoStream);
            le::Put32(e + kDeRight, kNoStream);
            le::Put32(e + kDeChild, kNoStream);
            continue;
        }
        const DirSlot& s = m_slots[k];
        const std::wstring name = k == 0 ? std::wstring(L"Root Entry") : s.node->name;
        Bytes units = EncodeUtf16Le(name);
        std::copy(units.begin(), units.end(), e + kDeName);
        le::Put16(e + kDeNameLength, static_cast<std::uint16_t>(units.size() + 2));
        e[kDeType] = k == 0 ? kTypeRoot : (s.node->IsStorage() ? kTypeStorage : kTypeStream);
        e[kDeColor] = k == 0 ? kBlack : s.color;
        le::Put32(e + kDeLeft, s.left);
        le::Put32(e + kDeRight, s.right);
        le::Put32(e + kDeChild, s.node->IsStorage() ? s.child : kNoStream);
        if (s.node->IsStorage()) {
            auto clsid = win::GuidToBytes(s.node->clsid);
            std::copy(clsid.begin(), clsid.end(), e + kDeClsid);
        }
        const bool holdsData = k == 0 || s.node->IsStream();
        le::Put32(e + kDeStartSector, holdsData ? s.start : 0);
        le::Put64(e + kDeStreamSize, holdsData ? s.size : 0);
    }
}

void Writer::Emit(Bytes* out) {
    out->assign(kHeaderSize + m_sectors.size() * kSectorSize, 0);
    std::uint8_t* h = out->data();
    std::copy(std::begin(kSignature), std::end(kSignature), h + kHdrSignature);
    le::Put16(h + kHdrMinorVersion, kMinorVersion);
    le::Put16(h + kHdrMajorVersion, kMajorVersion3);
    le::Put16(h + kHdrByteOrder, kByteOrderMark);
    le::Put16(h + kHdrSectorShift, kSectorShift3);
    le::Put16(h + kHdrMiniSectorShift, kMiniSectorShift);
    le::Put32(h + kHdrDirSectorCount, 0);  // always 0 in version 3
    le::Put32(h + kHdrFatSectorCount, static_cast<std::uint32_t>(m_fatSectors.size()));
    le::Put32(h + kHdrFirstDirSector, m_firstDirSector);
    le::Put32(h + kHdrTransaction, 0);
    le::Put32(h + kHdrMiniCutoff, kMiniStreamCutoff);
    le::Put32(h + kHdrFirstMiniFatSector, m_firstMiniFatSector);
    le::Put32(h + kHdrMiniFatSectorCount, m_miniFatSectorCount);
    le::Put32(h + kHdrFirstDifatSector, m_difatSectors.empty() ? kEndOfChain : m_difatSectors[0]);
    le::Put32(h + kHdrDifatSectorCount, static_cast<std::uint32_t>(m_difatSectors.size()));
    for (std::size_t k = 0; k < kHeaderDifatSlots; ++k) {
        le::Put32(h + kHdrDifat + 4 * k, k < m_fatSectors.size() ? m_fatSectors[k] : kFreeSect);
    }
    for (std::size_t s = 0; s < m_sectors.size(); ++s) {
        std::copy(m_sectors[s].begin(), m_sectors[s].end(), h + kHeaderSize + s * kSectorSize);
    }
}

HRESULT Writer::Write(const CfbNode& root, Bytes* out) {
    if (!root.IsStorage()) {
        return E_INVALIDARG;
    }
    DirSlot rootSlot;
    rootSlot.node = &root;
    m_slots.push_back(rootSlot);
    HRESULT hr = Flatten(root, 0, 0);
    if (FAILED(hr)) {
        return hr;
    }
    // Sector numbers must stay below the special values.
    std::uint64_t bytes = m_slots.size() * kDirEntrySize;
    for (const DirSlot& s : m_slots) {
        if (s.node->IsStream()) {
            bytes += s.node->data.size() + kSectorSize;
        }
    }
    if (bytes / kSectorSize >= std::uint64_t{kMaxRegSect} / 2) {
        return E_INVALIDARG;
    }
    LayOut();
    Emit(out);
    return S_OK;
}

// ---------------------------------------------------------------- reading

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    HRESULT Read(CfbNode* root);

private:
    struct Entry {
        std::wstring name;
        std::uint8_t type = kTypeUnused;
        std::uint32_t left = kNoStream;
        std::uint32_t right = kNoStream;
        std::uint32_t child = kNoStream;
        GUID clsid{};
        std::uint32_t start = kEndOfChain;
        std::uint64_t size = 0;
    };

    HRESULT ReadHeader();
    HRESULT ReadFat();
    // Follows a chain of regular sectors from start, marking each sector
    // owned; fails on a cycle, a sector owned already or out of range.
    // maxSectors bounds the chain (it may end earlier).
    HRESULT FollowChain(std::uint32_t start, std::uint64_t maxSectors,
                        std::vector<std::uint32_t>* chain);
    HRESULT ReadChainBytes(std::uint32_t start, std::uint64_t size, Bytes* out);
    HRESULT ReadDirectory();
    HRESULT ReadMiniStream();
    HRESULT ReadStreamData(const Entry& e, Bytes* out);
    HRESULT BuildStorage(std::uint32_t entryIndex, CfbNode* node, int depth);
    void CopySector(std::uint32_t sector, std::uint8_t* dst) const;

    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_sectorSize = kSectorSize;
    std::uint16_t m_major = kMajorVersion3;
    std::uint32_t m_sectorCount = 0;
    std::vector<std::uint32_t> m_fat;
    std::vector<bool> m_owned;
    std::vector<std::uint32_t> m_miniFat;
    std::vector<bool> m_miniOwned;
    Bytes m_miniStream;
    std::vector<Entry> m_entries;
    std::vector<bool> m_entryUsed;
    std::uint32_t m_fatSectorCount = 0;
    std::uint32_t m_firstDir = kEndOfChain;
    std::uint32_t m_firstMiniFat = kEndOfChain;
    std::uint32_t m_miniFatCount = 0;
    std::uint32_t m_firstDifat = kEndOfChain;
    std::uint32_t m_difatCount = 0;
};

void Reader::CopySector(std::uint32_t sector, std::uint8_t* dst) const {
    // A partial last sector reads as zeros past the end of the file.
    const std::size_t offset = (std::size_t{sector} + 1) * m_sectorSize;
    const std::size_t avail = offset < m_size ? std::min(m_sectorSize, m_size - offset) : 0;
    std::copy_n(m_data + offset, avail, dst);
    std::fill(dst + avail, dst + m_sectorSize, std::uint8_t{0});
}

HRESULT Reader::ReadHeader() {
    if (m_size < kHeaderSize || !std::equal(std::begin(kSignature), std::end(kSignature), m_data)) {
        return MAPI_E_CORRUPT_DATA;
    }
    const std::uint8_t* h = m_data;
    m_major = le::Get16(h + kHdrMajorVersion);
    const std::uint16_t shift = le::Get16(h + kHdrSectorShift);
    if (le::Get16(h + kHdrByteOrder) != kByteOrderMark ||
        le::Get16(h + kHdrMiniSectorShift) != kMiniSectorShift) {
        return MAPI_E_CORRUPT_DATA;
    }
    if (m_major == kMajorVersion3 && shift == kSectorShift3) {
        m_sectorSize = kSectorSize;
    } else if (m_major == kMajorVersion4 && shift == kSectorShift4) {
        m_sectorSize = std::size_t{1} << kSectorShift4;
    } else {
        return MAPI_E_CORRUPT_DATA;
    }
    if (m_size < m_sectorSize) {
        return MAPI_E_CORRUPT_DATA;
    }
    const std::size_t sectors = (m_size - m_sectorSize + m_sectorSize - 1) / m_sectorSize;
    if (sectors >= kMaxRegSect) {
        return MAPI_E_CORRUPT_DATA;
    }
    m_sectorCount = static_cast<std::uint32_t>(sectors);
    m_fatSectorCount = le::Get32(h + kHdrFatSectorCount);
    m_firstDir = le::Get32(h + kHdrFirstDirSector);
    m_firstMiniFat = le::Get32(h + kHdrFirstMiniFatSector);
    m_miniFatCount = le::Get32(h + kHdrMiniFatSectorCount);
    m_firstDifat = le::Get32(h + kHdrFirstDifatSector);
    m_difatCount = le::Get32(h + kHdrDifatSectorCount);
    if (m_fatSectorCount > m_sectorCount || m_difatCount > m_sectorCount ||
        m_miniFatCount > m_sectorCount) {
        return MAPI_E_CORRUPT_DATA;
    }
    m_owned.assign(m_sectorCount, false);
    return S_OK;
}

HRESULT Reader::ReadFat() {
    std::vector<std::uint32_t> fatSectors;
    for (std::size_t k = 0; k < kHeaderDifatSlots && fatSectors.size() < m_fatSectorCount; ++k) {
        const std::uint32_t s = le::Get32(m_data + kHdrDifat + 4 * k);
        if (s == kFreeSect) {
            break;
        }
        fatSectors.push_back(s);
    }
    const std::size_t perDifat = m_sectorSize / 4 - 1;
    std::uint32_t next = m_firstDifat;
    Bytes buf(m_sectorSize);
    for (std::uint32_t d = 0; d < m_difatCount && fatSectors.size() < m_fatSectorCount; ++d) {
        if (next >= m_sectorCount || m_owned[next]) {
            return MAPI_E_CORRUPT_DATA;
        }
        m_owned[next] = true;
        CopySector(next, buf.data());
        for (std::size_t k = 0; k < perDifat && fatSectors.size() < m_fatSectorCount; ++k) {
            const std::uint32_t s = le::Get32(&buf[4 * k]);
            if (s == kFreeSect) {
                continue;
            }
            fatSectors.push_back(s);
        }
        next = le::Get32(&buf[4 * perDifat]);
    }
    if (fatSectors.empty()) {
        return MAPI_E_CORRUPT_DATA;
    }
    m_fat.resize(fatSectors.size() * (m_sectorSize / 4));
    for (std::size_t i = 0; i < fatSectors.size(); ++i) {
        const std::uint32_t s = fatSectors[i];
        if (s >= m_sectorCount || m_owned[s]) {
            return MAPI_E_CORRUPT_DATA;
        }
        m_owned[s] = true;
        CopySector(s, buf.data());
        for (std::size_t k = 0; k < m_sectorSize / 4; ++k) {
            m_fat[i * (m_sectorSize / 4) + k] = le::Get32(&buf[4 * k]);
        }
    }
    return S_OK;
}

HRESULT Reader::FollowChain(std::uint32_t start, std::uint64_t maxSectors,
                            std::vector<std::uint32_t>* chain) {
    chain->clear();
    std::uint32_t s = start;
    while (s != kEndOfChain) {
        if (chain->size() >= maxSectors) {
            // Longer than needed: the rest is not ours to read.
            break;
        }
        if (s >= m_sectorCount || s >= m_fat.size() || m_owned[s]) {
            return MAPI_E_CORRUPT_DATA;
        }
        m_owned[s] = true;
        chain->push_back(s);
        s = m_fat[s];
    }
    return S_OK;
}

HRESULT Reader::ReadChainBytes(std::uint32_t start, std::uint64_t size, Bytes* out) {
    if (size > m_size) {
        return MAPI_E_CORRUPT_DATA;
    }
    const std::uint64_t need = (size + m_sectorSize - 1) / m_sectorSize;
    std::vector<std::uint32_t> chain;
    HRESULT hr = FollowChain(start, need, &chain);
    if (FAILED(hr)) {
        return hr;
    }
    if (chain.size() < need) {
        return MAPI_E_CORRUPT_DATA;
    }
    out->assign(chain.size() * m_sectorSize, 0);
    for (std::size_t i = 0; i < chain.size(); ++i) {
        CopySector(chain[i], out->data() + i * m_sectorSize);
    }
    out->resize(static_cast<std::size_t>(size));
    return S_OK;
}

HRESULT Reader::ReadDirectory() {
    std::vector<std::uint32_t> chain;
    HRESULT hr = FollowChain(m_firstDir, m_sectorCount, &chain);
    if (FAILED(hr)) {
        return hr;
    }
    if (chain.empty()) {
        return MAPI_E_CORRUPT_DATA;
    }
    Bytes buf(m_sectorSize);
    for (std::uint32_t s : chain) {
        CopySector(s, buf.data());
        for (std::size_t off = 0; off + kDirEntrySize <= m_sectorSize; off += kDirEntrySize) {
            const std::uint8_t* e = &buf[off];
            Entry entry;
            entry.type = e[kDeType];
            if (entry.type == kTypeStorage || entry.type == kTypeStream ||
                entry.type == kTypeRoot) {
                std::size_t nameBytes = std::min<std::size_t>(le::Get16(e + kDeNameLength), 64);
                entry.name = DecodeUtf16Le(e + kDeName, nameBytes);
                entry.left = le::Get32(e + kDeLeft);
                entry.right = le::Get32(e + kDeRight);
                entry.child = le::Get32(e + kDeChild);
                entry.clsid = win::GuidFromBytes(e + kDeClsid);
                entry.start = le::Get32(e + kDeStartSector);
                entry.size = le::Get64(e + kDeStreamSize);
                if (m_major == kMajorVersion3) {
                    // Version 3 files may hold garbage in the high half.
                    entry.size &= 0xFFFFFFFFu;
                }
            } else {
                entry.type = kTypeUnused;
            }
            m_entries.push_back(std::move(entry));
        }
    }
    if (m_entries[0].type != kTypeRoot) {
        return MAPI_E_CORRUPT_DATA;
    }
    m_entryUsed.assign(m_entries.size(), false);
    return S_OK;
}

HRESULT Reader::ReadMiniStream() {
    const Entry& root = m_entries[0];
    if (root.size == 0) {
        return S_OK;
    }
    HRESULT hr = ReadChainBytes(root.start, root.size, &m_miniStream);
    if (FAILED(hr)) {
        return hr;
    }
    std::vector<std::uint32_t> chain;
    hr = FollowChain(m_firstMiniFat, m_miniFatCount, &chain);
    if (FAILED(hr)) {
        return hr;
    }
    Bytes buf(m_sectorSize);
    for (std::uint32_t s : chain) {
        CopySector(s, buf.data());
        for (std::size_t k = 0; k < m_sectorSize / 4; ++k) {
            m_miniFat.push_back(le::Get32(&buf[4 * k]));
        }
    }
    m_miniOwned.assign(m_miniFat.size(), false);
    return S_OK;
}

HRESULT Reader::ReadStreamData(const Entry& e, Bytes* out) {
    out->clear();
    if (e.size == 0) {
        return S_OK;
    }
    if (e.size >= kMiniStreamCutoff) {
        return ReadChainBytes(e.start, e.size, out);
    }
    const std::uint64_t need = (e.size + kMiniSectorSize - 1) / kMiniSectorSize;
    const std::size_t miniSectors = m_miniStream.size() / kMiniSectorSize;
    out->reserve(static_cast<std::size_t>(need * kMiniSectorSize));
    std::uint32_t s = e.start;
    for (std::uint64_t i = 0; i < need; ++i) {
        if (s >= m_miniFat.size() || s >= miniSectors || m_miniOwned[s]) {
            return MAPI_E_CORRUPT_DATA;
        }
        m_miniOwned[s] = true;
        const auto* from = m_miniStream.data() + std::size_t{s} * kMiniSectorSize;
        out->insert(out->end(), from, from + kMiniSectorSize);
        s = m_miniFat[s];
    }
    out->resize(static_cast<std::size_t>(e.size));
    return S_OK;
}

HRESULT Reader::BuildStorage(std::uint32_t entryIndex, CfbNode* node, int depth) {
    if (depth > kMaxStorageDepth) {
        return MAPI_E_CORRUPT_DATA;
    }
    const Entry& self = m_entries[entryIndex];
    node->kind = CfbNode::Kind::Storage;
    node->name = self.name;
    node->clsid = self.clsid;
    // Walk the sibling tree without recursion; every entry is visited once
    // in the whole file, so a cycle anywhere shows up as a second visit.
    std::vector<std::uint32_t> pending;
    if (self.child != kNoStream) {
        pending.push_back(self.child);
    }
    while (!pending.empty()) {
        const std::uint32_t id = pending.back();
        pending.pop_back();
        if (id >= m_entries.size() || m_entryUsed[id] || id == 0) {
            return MAPI_E_CORRUPT_DATA;
        }
        m_entryUsed[id] = true;
        const Entry& e = m_entries[id];
        if (e.type != kTypeStorage && e.type != kTypeStream) {
            return MAPI_E_CORRUPT_DATA;
        }
        if (e.left != kNoStream) {
            pending.push_back(e.left);
        }
        if (e.right != kNoStream) {
            pending.push_back(e.right);
        }
        CfbNode child;
        if (e.type == kTypeStorage) {
            HRESULT hr = BuildStorage(id, &child, depth + 1);
            if (FAILED(hr)) {
                return hr;
            }
        } else {
            child.kind = CfbNode::Kind::Stream;
            child.name = e.name;
            HRESULT hr = ReadStreamData(e, &child.data);
            if (FAILED(hr)) {
                return hr;
            }
        }
        node->children.push_back(std::move(child));
    }
    return S_OK;
}

HRESULT Reader::Read(CfbNode* root) {
    HRESULT hr = ReadHeader();
    if (SUCCEEDED(hr)) {
        hr = ReadFat();
    }
    if (SUCCEEDED(hr)) {
        hr = ReadDirectory();
    }
    if (SUCCEEDED(hr)) {
        hr = ReadMiniStream();
    }
    if (SUCCEEDED(hr)) {
        m_entryUsed[0] = true;
        hr = BuildStorage(0, root, 0);
    }
    return hr;
}

}  // namespace

const CfbNode* CfbNode::Find(std::wstring_view childName) const {
    for (const CfbNode& c : children) {
        if (c.name.size() == childName.size() && CompareEntryNames(c.name, childName) == 0) {
            return &c;
        }
    }
    return nullptr;
}

CfbNode& CfbNode::AddStorage(std::wstring childName, const GUID& childClsid) {
    children.push_back(MakeStorage(std::move(childName), childClsid));
    return children.back();
}

CfbNode& CfbNode::AddStream(std::wstring childName, Bytes content) {
    children.push_back(MakeStream(std::move(childName), std::move(content)));
    return children.back();
}

int CompareEntryNames(std::wstring_view a, std::wstring_view b) {
    const bool bmp = std::all_of(a.begin(), a.end(), [](wchar_t c) { return c <= 0xFFFF; }) &&
                     std::all_of(b.begin(), b.end(), [](wchar_t c) { return c <= 0xFFFF; });
    if (bmp) {
        if (a.size() != b.size()) {
            return a.size() < b.size() ? -1 : 1;
        }
        for (std::size_t i = 0; i < a.size(); ++i) {
            const std::uint32_t x = UpperUnit(static_cast<std::uint32_t>(a[i]));
            const std::uint32_t y = UpperUnit(static_cast<std::uint32_t>(b[i]));
            if (x != y) {
                return x < y ? -1 : 1;
            }
        }
        return 0;
    }
    const auto ua = NameUnits(a);
    const auto ub = NameUnits(b);
    if (ua.size() != ub.size()) {
        return ua.size() < ub.size() ? -1 : 1;
    }
    for (std::size_t i = 0; i < ua.size(); ++i) {
        const std::uint32_t x = UpperUnit(ua[i]);
        const std::uint32_t y = UpperUnit(ub[i]);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    return 0;
}

std::wstring FoldEntryName(std::wstring_view name) {
    std::wstring out(name);
    for (wchar_t& c : out) {
        if (static_cast<std::uint32_t>(c) <= 0xFFFF) {
            c = static_cast<wchar_t>(UpperUnit(static_cast<std::uint32_t>(c)));
        }
    }
    return out;
}

HRESULT WriteCompoundFile(const CfbNode& root, Bytes* out) {
    if (out == nullptr) {
        return E_INVALIDARG;
    }
    out->clear();
    Writer w;
    return w.Write(root, out);
}

HRESULT ReadCompoundFile(const std::uint8_t* data, std::size_t size, CfbNode* root) {
    if (root == nullptr || (data == nullptr && size != 0)) {
        return E_INVALIDARG;
    }
    *root = CfbNode{};
    Reader r(data, size);
    HRESULT hr = r.Read(root);
    if (FAILED(hr)) {
        *root = CfbNode{};
    }
    return hr;
}

}  // namespace msgfile
