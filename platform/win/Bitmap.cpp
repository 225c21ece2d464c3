#include "platform/win/Bitmap.h"

#include <map>
#include <memory>

#include "platform/win/Gdi.h"
#include "platform/win/Mutex.h"
#include "platform/win/Resources.h"

namespace win {
namespace {

constexpr std::size_t kCoreHeaderSize = 12;
constexpr std::size_t kInfoHeaderSize = 40;
constexpr int kMaxBitmapSide = 0x8000;

struct BitmapTable {
    Mutex mutex;
    std::map<std::uintptr_t, BitmapInfo> bitmaps GUARDED_BY(mutex);
    std::uintptr_t next GUARDED_BY(mutex) = 0xB170000;
};
BitmapTable& Bitmaps() {
    static auto* table = new BitmapTable;
    return *table;
}

std::uint32_t U32At(const std::uint8_t* p, std::size_t at) {
    return static_cast<std::uint32_t>(p[at]) | (static_cast<std::uint32_t>(p[at + 1]) << 8) |
           (static_cast<std::uint32_t>(p[at + 2]) << 16) |
           (static_cast<std::uint32_t>(p[at + 3]) << 24);
}
std::uint16_t U16At(const std::uint8_t* p, std::size_t at) {
    return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}

HBITMAP Insert(const BitmapInfo& info) {
    BitmapTable& t = Bitmaps();
    MutexLock lock(t.mutex);
    std::uintptr_t handle = t.next;
    t.next += 4;
    t.bitmaps[handle] = info;
    return reinterpret_cast<HBITMAP>(handle);
}

}  // namespace

std::optional<BitmapInfo> DescribeBitmap(HBITMAP bitmap) {
    BitmapTable& t = Bitmaps();
    MutexLock lock(t.mutex);
    auto it = t.bitmaps.find(reinterpret_cast<std::uintptr_t>(bitmap));
    if (it == t.bitmaps.end())
        return std::nullopt;
    return it->second;
}

}  // namespace win

HBITMAP LoadBitmapW(HINSTANCE instance, const WCHAR* name) {
    HRSRC res = FindResourceW(instance, name, RT_BITMAP);
    if (!res)
        return nullptr;
    const auto* p = static_cast<const std::uint8_t*>(LockResource(LoadResource(instance, res)));
    std::size_t size = SizeofResource(instance, res);
    win::BitmapInfo info;
    info.module = instance;
    if (p && size >= 4 && win::U32At(p, 0) == win::kCoreHeaderSize &&
        size >= win::kCoreHeaderSize) {
        info.width = win::U16At(p, 4);
        info.height = win::U16At(p, 6);
        info.bitCount = win::U16At(p, 10);
    } else if (p && size >= win::kInfoHeaderSize && win::U32At(p, 0) >= win::kInfoHeaderSize) {
        info.width = static_cast<std::int32_t>(win::U32At(p, 4));
        auto height = static_cast<std::int32_t>(win::U32At(p, 8));
        info.height = height < 0 ? -height : height;  // top-down bitmaps
        info.bitCount = win::U16At(p, 14);
    }
    if (info.width <= 0 || info.height <= 0 || info.width > win::kMaxBitmapSide ||
        info.height > win::kMaxBitmapSide) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    return win::Insert(info);
}

HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitCount, const void*) {
    if (width <= 0 || height <= 0 || width > win::kMaxBitmapSide || height > win::kMaxBitmapSide ||
        planes == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    win::BitmapInfo info;
    info.width = width;
    info.height = height;
    info.bitCount = static_cast<int>(bitCount);
    return win::Insert(info);
}

BOOL DeleteObject(HGDIOBJ object) {
    if (win::DeleteBrush(object))
        return TRUE;
    win::BitmapTable& t = win::Bitmaps();
    win::MutexLock lock(t.mutex);
    if (t.bitmaps.erase(reinterpret_cast<std::uintptr_t>(object)) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

int GetObjectW(HGDIOBJ object, int size, void* out) {
    auto info = win::DescribeBitmap(static_cast<HBITMAP>(object));
    if (!info)
        return 0;
    if (!out)
        return static_cast<int>(sizeof(BITMAP));
    if (size < static_cast<int>(sizeof(BITMAP)))
        return 0;
    BITMAP bm{};
    bm.bmWidth = info->width;
    bm.bmHeight = info->height;
    bm.bmPlanes = 1;
    bm.bmBitsPixel = static_cast<WORD>(info->bitCount);
    bm.bmWidthBytes = ((info->width * info->bitCount + 15) / 16) * 2;
    *static_cast<BITMAP*>(out) = bm;
    return static_cast<int>(sizeof(BITMAP));
}
