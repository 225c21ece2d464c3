#include "platform/win/Version.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "platform/win/Errors.h"
#include "platform/win/Mutex.h"
#include "platform/win/ResourceImage.h"
#include "platform/win/Text.h"
#include "platform/win/rc/ResourceFormat.h"

namespace {

using win::rsrc::ReadU16;
using win::rsrc::ReadU32;

// One node of a version tree, located within [begin, begin + length).
struct VersionNode {
    const std::uint8_t* begin = nullptr;
    std::uint16_t length = 0;
    std::uint16_t valueLength = 0;
    std::uint16_t type = 0;
    std::u16string key;
    const std::uint8_t* value = nullptr;
    std::size_t valueBytes = 0;  // bytes of the value that lie within the node
    const std::uint8_t* children = nullptr;
};

std::size_t Align4(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}

// Decodes the node at offset `at` of a block whose bytes are [block, block +
// limit); false when the node or its key would pass its own length or the limit.
bool ReadNode(const std::uint8_t* block, std::size_t at, std::size_t limit, VersionNode& node) {
    if (at + 6 > limit)
        return false;
    node = VersionNode{};
    node.begin = block + at;
    node.length = ReadU16(block + at + win::rsrc::kVerNodeLength);
    node.valueLength = ReadU16(block + at + win::rsrc::kVerNodeValueLength);
    node.type = ReadU16(block + at + win::rsrc::kVerNodeType);
    if (node.length < 6 || at + node.length > limit)
        return false;
    const std::size_t end = at + node.length;
    std::size_t p = at + win::rsrc::kVerNodeKey;
    for (;;) {
        if (p + 2 > end)
            return false;
        char16_t c = ReadU16(block + p);
        p += 2;
        if (c == 0)
            break;
        node.key.push_back(c);
    }
    p = Align4(p);
    const std::size_t wanted =
        node.type == win::rsrc::kVerTypeText ? 2u * node.valueLength : node.valueLength;
    const std::size_t valueStart = std::min(p, end);
    node.value = block + valueStart;
    node.valueBytes = std::min(wanted, end - valueStart);
    node.children = block + std::min(Align4(valueStart + wanted), end);
    return true;
}

bool KeyEquals(const std::u16string& key, std::u16string_view want) {
    if (key.size() != want.size())
        return false;
    for (std::size_t i = 0; i < key.size(); ++i) {
        auto fold = [](char16_t c) {
            return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
        };
        if (fold(key[i]) != fold(want[i]))
            return false;
    }
    return true;
}

// Decoded copies handed out by VerQueryValueW; one per distinct value, kept
// for the life of the process.
struct InternTable {
    win::Mutex mutex;
    std::set<std::wstring> texts GUARDED_BY(mutex);
    std::map<std::array<DWORD, 13>, std::unique_ptr<VS_FIXEDFILEINFO>> fixed GUARDED_BY(mutex);
};

InternTable& Interned() {
    static InternTable* table = new InternTable();
    return *table;
}

const std::wstring* InternText(std::wstring text) {
    InternTable& t = Interned();
    win::MutexLock lock(t.mutex);
    return &*t.texts.insert(std::move(text)).first;
}

const VS_FIXEDFILEINFO* InternFixed(const std::uint8_t* p) {
    std::array<DWORD, 13> f{};
    for (std::size_t i = 0; i < f.size(); ++i)
        f[i] = ReadU32(p + 4 * i);
    InternTable& t = Interned();
    win::MutexLock lock(t.mutex);
    auto& slot = t.fixed[f];
    if (!slot) {
        slot = std::make_unique<VS_FIXEDFILEINFO>(VS_FIXEDFILEINFO{
            f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11], f[12]});
    }
    return slot.get();
}

// The version resource of a file.
const win::ResourceEntry* VersionEntry(const WCHAR* fileName, DWORD* error) {
    std::uint32_t e = 0;
    auto image = win::ResourceImageOfPath(fileName, &e);
    if (!image) {
        *error = e;
        return nullptr;
    }
    if (image->Empty()) {
        *error = ERROR_RESOURCE_DATA_NOT_FOUND;
        return nullptr;
    }
    // Version resources are looked up in the neutral language, as the platform does.
    const win::ResourceEntry* entry =
        image->Find(win::ResourceName{false, win::rsrc::kTypeVersion, {}},
                    win::ResourceName{false, 1, {}}, 0, &e);
    if (!entry) {
        // A version resource under another name still counts (the first one).
        for (const auto& other : image->Entries()) {
            if (!other.type.isString && other.type.ordinal == win::rsrc::kTypeVersion) {
                entry = &other;
                break;
            }
        }
    }
    if (!entry || entry->size < 6) {
        *error = ERROR_RESOURCE_TYPE_NOT_FOUND;
        return nullptr;
    }
    return entry;
}

}  // namespace

DWORD GetFileVersionInfoSizeW(const WCHAR* fileName, DWORD* handle) {
    if (handle)
        *handle = 0;
    DWORD error = 0;
    const win::ResourceEntry* entry = VersionEntry(fileName, &error);
    if (!entry) {
        SetLastError(error);
        return 0;
    }
    return entry->size;
}

BOOL GetFileVersionInfoW(const WCHAR* fileName, DWORD handle, DWORD size, void* data) {
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD error = 0;
    const win::ResourceEntry* entry = VersionEntry(fileName, &error);
    if (!entry) {
        SetLastError(error);
        return FALSE;
    }
    if (size < 6) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    const DWORD copied = std::min(size, entry->size);
    auto* out = static_cast<std::uint8_t*>(data);
    std::memcpy(out, entry->data, copied);
    // A cut copy records its own length, so that a walk stays inside it.
    const std::uint16_t rootLength = ReadU16(out + win::rsrc::kVerNodeLength);
    if (rootLength > copied) {
        out[win::rsrc::kVerNodeLength] = static_cast<std::uint8_t>(copied & 0xFF);
        out[win::rsrc::kVerNodeLength + 1] = static_cast<std::uint8_t>((copied >> 8) & 0xFF);
    }
    return TRUE;
}

BOOL VerQueryValueW(const void* block, const WCHAR* subBlock, void** buffer, UINT* length) {
    if (!block || !subBlock || !buffer || !length)
        return FALSE;
    const auto* bytes = static_cast<const std::uint8_t*>(block);
    // The root's own length bounds every read below.
    const std::size_t limit = ReadU16(bytes + win::rsrc::kVerNodeLength);
    VersionNode node;
    if (!ReadNode(bytes, 0, limit, node))
        return FALSE;
    const bool isRoot = [&] {
        for (const WCHAR* p = subBlock; *p; ++p) {
            if (*p != L'\\')
                return false;
        }
        return true;
    }();

    std::wstring_view path(subBlock);
    while (!path.empty()) {
        const std::size_t start = path.find_first_not_of(L'\\');
        if (start == std::wstring_view::npos)
            break;
        path.remove_prefix(start);
        const std::size_t stop = std::min(path.find(L'\\'), path.size());
        const std::u16string want = win::ToUtf16(path.substr(0, stop));
        path.remove_prefix(stop);
        // Children start after the value, each on a 32-bit boundary.
        const std::size_t nodeEnd = static_cast<std::size_t>(node.begin - bytes) + node.length;
        std::size_t at = static_cast<std::size_t>(node.children - bytes);
        bool found = false;
        while (at < nodeEnd) {
            VersionNode child;
            if (!ReadNode(bytes, at, nodeEnd, child))
                return FALSE;
            if (KeyEquals(child.key, want)) {
                node = child;
                found = true;
                break;
            }
            at = Align4(at + child.length);
        }
        if (!found)
            return FALSE;
    }

    if (isRoot) {
        if (node.valueBytes < win::rsrc::kFixedSize ||
            ReadU32(node.value + win::rsrc::kFixSignature) != win::rsrc::kFixedSignature)
            return FALSE;
        *buffer = const_cast<VS_FIXEDFILEINFO*>(InternFixed(node.value));
        *length = sizeof(VS_FIXEDFILEINFO);
        return TRUE;
    }
    if (node.valueLength == 0 || node.valueBytes == 0)
        return FALSE;
    if (node.type == win::rsrc::kVerTypeText) {
        std::wstring text = win::FromUtf16Le(node.value, node.valueBytes);
        const std::size_t nul = text.find(L'\0');
        if (nul != std::wstring::npos)
            text.resize(nul);
        const std::wstring* copy = InternText(std::move(text));
        *buffer = const_cast<WCHAR*>(copy->c_str());
        *length = static_cast<UINT>(copy->size() + 1);
        return TRUE;
    }
    *buffer = const_cast<std::uint8_t*>(node.value);
    *length = static_cast<UINT>(node.valueBytes);
    return TRUE;
}
