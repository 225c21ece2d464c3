#include "platform/win/ImageList.h"

#include <map>
#include <memory>
#include <vector>

#include "platform/win/Mutex.h"
#include "platform/win/PaintSupport.h"

namespace win {
namespace {

struct ImageListRecord {
    int cx = 0;
    int cy = 0;
    UINT flags = 0;
    COLORREF mask = 0;
    std::vector<std::shared_ptr<paint::Pixels>> images;
};

struct ImageListTable {
    Mutex mutex;
    std::map<std::uintptr_t, ImageListRecord> lists GUARDED_BY(mutex);
    std::uintptr_t next GUARDED_BY(mutex) = 0x1A60000;
};
ImageListTable& Lists() {
    static auto* table = new ImageListTable;
    return *table;
}

std::uint32_t Rgb(std::uint32_t argb) {
    return argb & 0x00FFFFFFu;
}
std::uint32_t ArgbOf(COLORREF colour) {
    return ((colour & 0xFF) << 16) | (colour & 0xFF00) | ((colour >> 16) & 0xFF);
}

int AddStrip(HIMAGELIST list, HBITMAP image, const COLORREF* maskColour, HBITMAP maskBitmap) {
    auto info = DescribeBitmap(image);
    if (!info)
        return -1;
    auto pixels = paint::BitmapPixels(image);
    auto maskPixels = maskBitmap ? paint::BitmapPixels(maskBitmap) : nullptr;
    ImageListTable& t = Lists();
    MutexLock lock(t.mutex);
    auto it = t.lists.find(reinterpret_cast<std::uintptr_t>(list));
    if (it == t.lists.end())
        return -1;
    ImageListRecord& r = it->second;
    int added = info->width / r.cx;
    if (added <= 0)
        return -1;
    const bool masked = (r.flags & ILC_MASK) != 0;
    const std::uint32_t key = maskColour ? ArgbOf(*maskColour) : 0;
    int first = static_cast<int>(r.images.size());
    for (int i = 0; i < added; ++i) {
        auto one = std::make_shared<paint::Pixels>(r.cx, r.cy, 0u);
        for (int y = 0; y < r.cy; ++y) {
            for (int x = 0; x < r.cx; ++x) {
                const int sx = i * r.cx + x;
                if (!pixels || y >= pixels->height || sx >= pixels->width)
                    continue;
                std::uint32_t p = pixels->At(sx, y);
                bool clear = false;
                if (masked && maskColour)
                    clear = Rgb(p) == key;
                else if (masked && maskPixels && y < maskPixels->height && sx < maskPixels->width)
                    clear = Rgb(maskPixels->At(sx, y)) != 0;  // set mask bits: transparent
                one->data[static_cast<std::size_t>(y) * static_cast<std::size_t>(r.cx) +
                          static_cast<std::size_t>(x)] = clear ? 0u : p;
            }
        }
        r.images.push_back(std::move(one));
    }
    if (maskColour)
        r.mask = *maskColour;
    return first;
}

}  // namespace

bool DescribeImageList(HIMAGELIST list, UINT* flags, COLORREF* maskColour) {
    ImageListTable& t = Lists();
    MutexLock lock(t.mutex);
    auto it = t.lists.find(reinterpret_cast<std::uintptr_t>(list));
    if (it == t.lists.end())
        return false;
    if (flags)
        *flags = it->second.flags;
    if (maskColour)
        *maskColour = it->second.mask;
    return true;
}

}  // namespace win

HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int, int) {
    if (cx <= 0 || cy <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    win::ImageListTable& t = win::Lists();
    win::MutexLock lock(t.mutex);
    std::uintptr_t handle = t.next;
    t.next += 4;
    win::ImageListRecord record;
    record.cx = cx;
    record.cy = cy;
    record.flags = flags;
    t.lists[handle] = std::move(record);
    return reinterpret_cast<HIMAGELIST>(handle);
}

BOOL ImageList_Destroy(HIMAGELIST list) {
    win::ImageListTable& t = win::Lists();
    win::MutexLock lock(t.mutex);
    return t.lists.erase(reinterpret_cast<std::uintptr_t>(list)) ? TRUE : FALSE;
}

int ImageList_Add(HIMAGELIST list, HBITMAP image, HBITMAP mask) {
    return win::AddStrip(list, image, nullptr, mask);
}

int ImageList_AddMasked(HIMAGELIST list, HBITMAP image, COLORREF mask) {
    return win::AddStrip(list, image, &mask, nullptr);
}

BOOL ImageList_Remove(HIMAGELIST list, int index) {
    win::ImageListTable& t = win::Lists();
    win::MutexLock lock(t.mutex);
    auto it = t.lists.find(reinterpret_cast<std::uintptr_t>(list));
    if (it == t.lists.end())
        return FALSE;
    auto& images = it->second.images;
    if (index == -1) {
        images.clear();
        return TRUE;
    }
    if (index < 0 || index >= static_cast<int>(images.size()))
        return FALSE;
    images.erase(images.begin() + index);
    return TRUE;
}

int ImageList_GetImageCount(HIMAGELIST list) {
    win::ImageListTable& t = win::Lists();
    win::MutexLock lock(t.mutex);
    auto it = t.lists.find(reinterpret_cast<std::uintptr_t>(list));
    return it == t.lists.end() ? 0 : static_cast<int>(it->second.images.size());
}

BOOL ImageList_GetIconSize(HIMAGELIST list, int* cx, int* cy) {
    win::ImageListTable& t = win::Lists();
    win::MutexLock lock(t.mutex);
    auto it = t.lists.find(reinterpret_cast<std::uintptr_t>(list));
    if (it == t.lists.end() || !cx || !cy)
        return FALSE;
    *cx = it->second.cx;
    *cy = it->second.cy;
    return TRUE;
}

BOOL ImageList_Draw(HIMAGELIST list, int index, HDC dc, int x, int y, UINT) {
    std::shared_ptr<win::paint::Pixels> image;
    {
        win::ImageListTable& t = win::Lists();
        win::MutexLock lock(t.mutex);
        auto it = t.lists.find(reinterpret_cast<std::uintptr_t>(list));
        if (it == t.lists.end() || index < 0 || index >= static_cast<int>(it->second.images.size()))
            return FALSE;
        image = it->second.images[static_cast<std::size_t>(index)];
    }
    if (!win::DescribeDC(dc))
        return FALSE;
    win::paint::Canvas canvas(dc);
    if (!canvas)
        return TRUE;
    win::paint::Pixels copy = *image;
    cairo_surface_t* surface = win::paint::SurfaceOver(copy);
    cairo_set_source_surface(canvas.Cr(), surface, x, y);
    cairo_paint(canvas.Cr());
    cairo_surface_destroy(surface);
    return TRUE;
}
