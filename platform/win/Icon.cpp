#include "platform/win/Icon.h"

#include <cstdlib>
#include <map>
#include <tuple>
#include <unordered_map>

#include "platform/win/Errors.h"
#include "platform/win/Mutex.h"
#include "platform/win/PaintSupport.h"
#include "platform/win/Text.h"

namespace win {
namespace {

struct IconTable {
    Mutex mutex;
    std::unordered_map<std::uintptr_t, IconInfo> icons GUARDED_BY(mutex);
    // Shared icons by (module, ordinal or upper-cased name).
    std::map<std::tuple<HMODULE, WORD, std::wstring>, HICON> shared GUARDED_BY(mutex);
    // Icon handles are never reused within a process.
    std::uintptr_t next GUARDED_BY(mutex) = 0x30010;
};
IconTable& Table() {
    static IconTable* table = new IconTable;
    return *table;
}

bool IsOrdinal(const WCHAR* name) {
    return (reinterpret_cast<std::uintptr_t>(name) >> 16) == 0;
}

// Describes the icon a load asks for; false with the last error set when
// the module can't give it.
bool Resolve(HINSTANCE instance, const WCHAR* name, IconInfo* info) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    info->module = instance;
    info->isOrdinal = IsOrdinal(name);
    if (info->isOrdinal)
        info->id = static_cast<WORD>(reinterpret_cast<std::uintptr_t>(name));
    else
        info->name = name;
    if (!instance) {
        // Stock icons: ordinals 32512 to 32518.
        if (!info->isOrdinal || info->id < 32512 || info->id > 32518) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        return true;
    }
    HRSRC found = FindResourceW(instance, name, RT_GROUP_ICON);
    if (found) {
        info->fromResource = true;
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_RESOURCE_TYPE_NOT_FOUND || error == ERROR_RESOURCE_DATA_NOT_FOUND)
        return true;  // the module carries no icons at all: accept the name
    return false;
}

HICON Register(IconTable& t, const IconInfo& info) REQUIRES(t.mutex) {
    auto icon = reinterpret_cast<HICON>(t.next);
    t.next += 4;
    t.icons.emplace(reinterpret_cast<std::uintptr_t>(icon), info);
    return icon;
}

HICON Load(HINSTANCE instance, const WCHAR* name, bool shared, int cx, int cy) {
    IconInfo info;
    if (!Resolve(instance, name, &info))
        return nullptr;
    info.shared = shared;
    info.cx = cx;
    info.cy = cy;
    IconTable& t = Table();
    MutexLock lock(t.mutex);
    if (!shared)
        return Register(t, info);
    std::wstring key = info.name;
    CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    auto k = std::make_tuple(info.module, info.id, key);
    auto it = t.shared.find(k);
    if (it != t.shared.end())
        return it->second;
    HICON icon = Register(t, info);
    t.shared.emplace(k, icon);
    return icon;
}

}  // namespace

std::optional<IconInfo> DescribeIcon(HICON icon) {
    IconTable& t = Table();
    MutexLock lock(t.mutex);
    auto it = t.icons.find(reinterpret_cast<std::uintptr_t>(icon));
    if (it == t.icons.end())
        return std::nullopt;
    return it->second;
}

}  // namespace win

HICON LoadIconW(HINSTANCE instance, const WCHAR* name) {
    return win::Load(instance, name, true, 0, 0);
}

HANDLE LoadImageW(HINSTANCE instance, const WCHAR* name, UINT type, int cx, int cy, UINT flags) {
    if (type != IMAGE_ICON || (flags & LR_LOADFROMFILE)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return win::Load(instance, name, (flags & LR_SHARED) != 0, cx, cy);
}

BOOL DestroyIcon(HICON icon) {
    win::IconTable& t = win::Table();
    win::MutexLock lock(t.mutex);
    auto it = t.icons.find(reinterpret_cast<std::uintptr_t>(icon));
    if (it == t.icons.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!it->second.shared)
        t.icons.erase(it);
    return TRUE;
}

namespace win::paint {

std::shared_ptr<Pixels> IconPixels(HICON icon, int size) {
    auto info = DescribeIcon(icon);
    if (!info || !info->module || !info->fromResource)
        return nullptr;
    const WCHAR* name = info->isOrdinal ? MAKEINTRESOURCEW(info->id) : info->name.c_str();
    HRSRC group = FindResourceW(info->module, name, RT_GROUP_ICON);
    if (!group)
        return nullptr;
    const auto* g =
        static_cast<const std::uint8_t*>(LockResource(LoadResource(info->module, group)));
    const std::size_t groupSize = SizeofResource(info->module, group);
    if (!g || groupSize < 6)
        return nullptr;
    const int want = size > 0 ? size : (info->cx > 0 ? info->cx : 32);
    const std::size_t count = static_cast<std::size_t>(g[4] | (g[5] << 8));
    int bestId = -1, bestScore = 1 << 30;
    for (std::size_t i = 0; i < count && 6 + 14 * (i + 1) <= groupSize; ++i) {
        const std::uint8_t* e = g + 6 + 14 * i;
        const int side = e[0] ? e[0] : 256;
        const int bits = e[6] | (e[7] << 8);
        const int score = std::abs(side - want) * 64 - bits;
        if (score < bestScore) {
            bestScore = score;
            bestId = e[12] | (e[13] << 8);
        }
    }
    if (bestId < 0)
        return nullptr;
    HRSRC image = FindResourceW(info->module, MAKEINTRESOURCEW(bestId), RT_ICON);
    if (!image)
        return nullptr;
    const auto* p =
        static_cast<const std::uint8_t*>(LockResource(LoadResource(info->module, image)));
    const std::size_t imageSize = SizeofResource(info->module, image);
    if (!p || imageSize < 40)
        return nullptr;
    // The image's header counts the AND mask's rows too: the colour rows are
    // the upper half.
    const int headerHeight = static_cast<int>(static_cast<std::int32_t>(
        p[8] | (p[9] << 8) | (p[10] << 16) | (static_cast<std::uint32_t>(p[11]) << 24)));
    const int rows = std::abs(headerHeight) / 2;
    const int bitCount = p[14] | (p[15] << 8);
    auto out = std::make_shared<Pixels>();
    std::size_t used = 0;
    if (!DecodeDib(p, imageSize, rows, bitCount == 32, *out, &used))
        return nullptr;
    if (bitCount < 32) {
        // The AND mask: set bits are transparent. Its rows follow the
        // colour rows, bottom-up, 1 bit a pixel, padded to 32 bits; the
        // decoder counted the whole header height, so step back to them.
        const std::size_t xorStride =
            ((static_cast<std::size_t>(out->width) * static_cast<std::size_t>(bitCount) + 31) /
             32) *
            4;
        const std::size_t andStride = ((static_cast<std::size_t>(out->width) + 31) / 32) * 4;
        const std::size_t maskAt = used -
                                   static_cast<std::size_t>(std::abs(headerHeight)) * xorStride +
                                   static_cast<std::size_t>(rows) * xorStride;
        for (int row = 0; row < rows; ++row) {
            const std::size_t start = maskAt + static_cast<std::size_t>(row) * andStride;
            if (start + andStride > imageSize)
                break;
            const int y = rows - 1 - row;
            for (int x = 0; x < out->width; ++x)
                if ((p[start + static_cast<std::size_t>(x) / 8] >> (7 - x % 8)) & 1)
                    out->data[static_cast<std::size_t>(y) * static_cast<std::size_t>(out->width) +
                              static_cast<std::size_t>(x)] = 0;
        }
    }
    return out;
}

}  // namespace win::paint
