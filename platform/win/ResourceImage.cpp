#include "platform/win/ResourceImage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <tuple>

#include "platform/win/Errors.h"
#include "platform/win/Mutex.h"
#include "platform/win/rc/ResourceFormat.h"

namespace win {
namespace {

using rsrc::ReadU16;
using rsrc::ReadU32;
using rsrc::ReadU64;

// ELF64 header fields.
constexpr std::size_t kElfIdentClass = 4;    // 2 = 64-bit
constexpr std::size_t kElfIdentData = 5;     // 1 = little-endian
constexpr std::size_t kElfShOff = 0x28;      // u64
constexpr std::size_t kElfShEntSize = 0x3A;  // u16
constexpr std::size_t kElfShNum = 0x3C;      // u16
constexpr std::size_t kElfShStrNdx = 0x3E;   // u16
constexpr std::size_t kElfHeaderSize = 0x40;
// ELF64 section header fields.
constexpr std::size_t kShName = 0x00;    // u32, offset into the name table
constexpr std::size_t kShType = 0x04;    // u32
constexpr std::size_t kShLink = 0x28;    // u32
constexpr std::size_t kShOffset = 0x18;  // u64
constexpr std::size_t kShSize = 0x20;    // u64
constexpr std::size_t kShMinEntSize = 0x40;
constexpr std::uint32_t kShtNoBits = 8;
constexpr std::uint16_t kShnXIndex = 0xFFFF;
// Bounds that keep a hostile file from making us allocate without limit.
constexpr std::uint64_t kMaxSectionCount = 1u << 16;
constexpr std::uint64_t kMaxSectionSize = 256u << 20;

class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Reads exactly size bytes at offset; false on a short read or an error.
bool ReadAt(int fd, std::uint64_t offset, std::size_t size, std::vector<std::uint8_t>& out) {
    out.resize(size);
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = ::pread(fd, out.data() + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// True when [offset, offset + size) lies within a file of fileSize bytes.
bool InFile(std::uint64_t offset, std::uint64_t size, std::uint64_t fileSize) {
    return offset <= fileSize && size <= fileSize - offset;
}

std::uint16_t LanguageOf(std::uint16_t primary, std::uint16_t sub) {
    return static_cast<std::uint16_t>((sub << 10) | primary);
}

using FileIdentity = std::tuple<dev_t, ino_t, off_t, long, long>;

struct ImageCache {
    struct Cached {
        FileIdentity identity;
        std::shared_ptr<const ResourceImage> image;
    };
    Mutex mutex;
    std::map<std::string, Cached> images GUARDED_BY(mutex);
    // Superseded images stay alive: HRSRC and HGLOBAL values may still point into them.
    std::vector<std::shared_ptr<const ResourceImage>> retired GUARDED_BY(mutex);
};

// Never destroyed: modules may look up resources while the process exits.
ImageCache& Cache() {
    static ImageCache* cache = new ImageCache();
    return *cache;
}

}  // namespace

struct ResourceImage::WideCache {
    Mutex mutex;
    std::map<const std::uint8_t*, std::unique_ptr<std::wstring>> copies GUARDED_BY(mutex);
};

bool ReadElfSection(const std::string& hostPath, std::string_view sectionName,
                    std::vector<std::uint8_t>& bytes, std::uint32_t* error) {
    auto fail = [&](std::uint32_t code) {
        *error = code;
        bytes.clear();
        return false;
    };
    Fd fd(::open(hostPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0)
        return fail(Win32ErrorFromErrno(errno));
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return fail(ERROR_BAD_FORMAT);
    const auto fileSize = static_cast<std::uint64_t>(st.st_size);

    std::vector<std::uint8_t> hdr;
    if (!ReadAt(fd.get(), 0, kElfHeaderSize, hdr))
        return fail(ERROR_BAD_FORMAT);
    if (hdr[0] != 0x7F || hdr[1] != 'E' || hdr[2] != 'L' || hdr[3] != 'F' ||
        hdr[kElfIdentClass] != 2 || hdr[kElfIdentData] != 1)
        return fail(ERROR_BAD_FORMAT);
    const std::uint64_t shOff = ReadU64(&hdr[kElfShOff]);
    const std::uint16_t shEntSize = ReadU16(&hdr[kElfShEntSize]);
    std::uint64_t shNum = ReadU16(&hdr[kElfShNum]);
    std::uint32_t shStrNdx = ReadU16(&hdr[kElfShStrNdx]);
    if (shOff == 0)
        return fail(ERROR_RESOURCE_DATA_NOT_FOUND);  // no section headers
    if (shEntSize < kShMinEntSize)
        return fail(ERROR_BAD_FORMAT);

    std::vector<std::uint8_t> sh0;
    if (!InFile(shOff, shEntSize, fileSize) || !ReadAt(fd.get(), shOff, shEntSize, sh0))
        return fail(ERROR_BAD_FORMAT);
    // Extended numbering: counts that do not fit the header live in section 0.
    if (shNum == 0)
        shNum = ReadU64(&sh0[kShSize]);
    if (shStrNdx == kShnXIndex)
        shStrNdx = ReadU32(&sh0[kShLink]);
    if (shNum == 0 || shNum > kMaxSectionCount || shStrNdx >= shNum)
        return fail(ERROR_BAD_FORMAT);
    std::vector<std::uint8_t> table;
    if (!InFile(shOff, shNum * shEntSize, fileSize) ||
        !ReadAt(fd.get(), shOff, static_cast<std::size_t>(shNum * shEntSize), table))
        return fail(ERROR_BAD_FORMAT);
    auto header = [&](std::uint64_t i) { return &table[static_cast<std::size_t>(i * shEntSize)]; };

    const std::uint8_t* strHdr = header(shStrNdx);
    const std::uint64_t strOff = ReadU64(strHdr + kShOffset);
    const std::uint64_t strSize = ReadU64(strHdr + kShSize);
    std::vector<std::uint8_t> names;
    if (ReadU32(strHdr + kShType) == kShtNoBits || strSize > kMaxSectionSize ||
        !InFile(strOff, strSize, fileSize) ||
        !ReadAt(fd.get(), strOff, static_cast<std::size_t>(strSize), names))
        return fail(ERROR_BAD_FORMAT);

    for (std::uint64_t i = 1; i < shNum; ++i) {
        const std::uint8_t* sh = header(i);
        const std::uint32_t nameOff = ReadU32(sh + kShName);
        if (nameOff >= names.size())
            continue;
        std::size_t end = nameOff;
        while (end < names.size() && names[end] != 0)
            ++end;
        if (end == names.size())
            continue;  // unterminated name: not ours
        std::string_view name(reinterpret_cast<const char*>(&names[nameOff]), end - nameOff);
        if (name != sectionName)
            continue;
        const std::uint64_t off = ReadU64(sh + kShOffset);
        const std::uint64_t size = ReadU64(sh + kShSize);
        if (ReadU32(sh + kShType) == kShtNoBits || size > kMaxSectionSize ||
            !InFile(off, size, fileSize))
            return fail(ERROR_RESOURCE_DATA_NOT_FOUND);  // a truncated file counts as missing
        if (!ReadAt(fd.get(), off, static_cast<std::size_t>(size), bytes))
            return fail(ERROR_RESOURCE_DATA_NOT_FOUND);
        return true;
    }
    return fail(ERROR_RESOURCE_DATA_NOT_FOUND);
}

std::shared_ptr<const ResourceImage> ResourceImage::FromSection(std::vector<std::uint8_t> bytes) {
    std::shared_ptr<ResourceImage> image(new ResourceImage());
    image->m_wide = std::make_shared<WideCache>();
    image->m_bytes = std::move(bytes);
    if (!image->Parse()) {
        image->m_entries.clear();
        image->m_bytes.clear();
    }
    return image;
}

bool ResourceImage::Parse() {
    const std::uint8_t* base = m_bytes.data();
    const std::uint64_t total = m_bytes.size();
    std::uint64_t pos = 0;
    while (pos + 4 <= total) {
        const std::uint32_t magic = ReadU32(base + pos);
        if (magic == 0) {  // padding between the blobs of several objects
            pos += 4;
            continue;
        }
        if (magic != rsrc::kBlobMagic || pos + rsrc::kHeaderSize > total)
            return false;
        const std::uint8_t* blob = base + pos;
        const std::uint16_t headerSize = ReadU16(blob + rsrc::kHdrHeaderSize);
        const std::uint64_t count = ReadU32(blob + rsrc::kHdrEntryCount);
        const std::uint64_t blobSize = ReadU32(blob + rsrc::kHdrBlobSize);
        if (ReadU16(blob + rsrc::kHdrVersion) != rsrc::kFormatVersion ||
            headerSize < rsrc::kHeaderSize || blobSize > total - pos ||
            headerSize + count * rsrc::kEntrySize > blobSize)
            return false;
        // A name field: an ordinal, or a counted name inside the blob.
        auto readName = [&](std::uint32_t field, ResourceName& out) {
            if ((field & rsrc::kNameIsString) == 0) {
                if (field > 0xFFFF)
                    return false;
                out = ResourceName{false, static_cast<std::uint16_t>(field), {}};
                return true;
            }
            const std::uint64_t off = field & ~rsrc::kNameIsString;
            if (off + 2 > blobSize)
                return false;
            const std::uint64_t len = ReadU16(blob + off);
            if (off + 2 + 2 * len > blobSize)
                return false;
            out = ResourceName{true, 0, {}};
            for (std::uint64_t k = 0; k < len; ++k)
                out.text.push_back(static_cast<char16_t>(ReadU16(blob + off + 2 + 2 * k)));
            return true;
        };
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint8_t* e = blob + headerSize + i * rsrc::kEntrySize;
            ResourceEntry entry;
            if (!readName(ReadU32(e + rsrc::kEntType), entry.type) ||
                !readName(ReadU32(e + rsrc::kEntName), entry.name))
                return false;
            entry.language = ReadU16(e + rsrc::kEntLanguage);
            const std::uint64_t off = ReadU32(e + rsrc::kEntDataOffset);
            const std::uint64_t size = ReadU32(e + rsrc::kEntDataSize);
            if (off > blobSize || size > blobSize - off)
                return false;
            entry.data = blob + off;
            entry.size = static_cast<std::uint32_t>(size);
            m_entries.push_back(std::move(entry));
        }
        pos += blobSize;
    }
    return true;
}

const ResourceEntry* ResourceImage::Find(const ResourceName& type, const ResourceName& name,
                                         std::uint16_t language, std::uint32_t* error) const {
    std::vector<const ResourceEntry*> candidates;
    bool typeFound = false;
    for (const auto& e : m_entries) {
        if (!(e.type == type))
            continue;
        typeFound = true;
        if (e.name == name)
            candidates.push_back(&e);
    }
    if (candidates.empty()) {
        *error = typeFound ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND;
        return nullptr;
    }
    auto exact = [&](std::uint16_t lang) -> const ResourceEntry* {
        for (const auto* c : candidates) {
            if (c->language == lang)
                return c;
        }
        return nullptr;
    };
    const std::uint16_t primary = language & 0x3FF;
    const std::uint16_t order[] = {language, LanguageOf(primary, 0)};
    for (std::uint16_t lang : order) {
        if (const auto* c = exact(lang))
            return c;
    }
    // Any sublanguage of the primary language, the lowest first.
    const ResourceEntry* best = nullptr;
    for (const auto* c : candidates) {
        if ((c->language & 0x3FF) == primary && (!best || c->language < best->language))
            best = c;
    }
    if (best)
        return best;
    for (std::uint16_t lang : {LanguageOf(0, 0), LanguageOf(0, 1), LanguageOf(0, 2)}) {
        if (const auto* c = exact(lang))
            return c;
    }
    for (const auto* c : candidates) {
        if (!best || c->language < best->language)
            best = c;
    }
    return best;
}

const std::wstring& ResourceImage::WideCopy(const std::uint8_t* units, std::uint32_t count) const {
    MutexLock lock(m_wide->mutex);
    auto& slot = m_wide->copies[units];
    if (!slot) {
        auto text = std::make_unique<std::wstring>();
        for (std::uint32_t i = 0; i < count; ++i) {
            char32_t c = ReadU16(units + 2 * i);
            if (c >= 0xD800 && c < 0xDC00 && i + 1 < count) {
                char32_t d = ReadU16(units + 2 * (i + 1));
                if (d >= 0xDC00 && d < 0xE000) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
                    ++i;
                }
            }
            text->push_back(static_cast<wchar_t>(c));
        }
        slot = std::move(text);
    }
    return *slot;
}

std::shared_ptr<const ResourceImage> ResourceImageOfFile(const std::string& hostPath,
                                                         std::uint32_t* error) {
    ImageCache& c = Cache();
    struct stat st {};
    if (::stat(hostPath.c_str(), &st) != 0) {
        *error = Win32ErrorFromErrno(errno);
        return nullptr;
    }
    FileIdentity identity{st.st_dev, st.st_ino, st.st_size, static_cast<long>(st.st_mtim.tv_sec),
                          st.st_mtim.tv_nsec};
    {
        MutexLock lock(c.mutex);
        auto it = c.images.find(hostPath);
        if (it != c.images.end() && it->second.identity == identity)
            return it->second.image;
    }
    std::vector<std::uint8_t> bytes;
    std::uint32_t readError = 0;
    if (!ReadElfSection(hostPath, rsrc::kSectionName, bytes, &readError) &&
        readError != ERROR_RESOURCE_DATA_NOT_FOUND) {
        *error = readError;
        return nullptr;
    }
    auto image = ResourceImage::FromSection(std::move(bytes));
    MutexLock lock(c.mutex);
    auto& slot = c.images[hostPath];
    if (slot.image)
        c.retired.push_back(slot.image);
    slot = ImageCache::Cached{identity, image};
    return image;
}

}  // namespace win
