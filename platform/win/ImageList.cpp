#include "platform/win/ImageList.h"

#include <map>

#include "platform/win/Mutex.h"

namespace win {
namespace {

struct ImageListRecord {
    int cx = 0;
    int cy = 0;
    UINT flags = 0;
    int count = 0;
    COLORREF mask = 0;
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

int AddStrip(HIMAGELIST list, HBITMAP image, const COLORREF* mask) {
    auto info = DescribeBitmap(image);
    if (!info)
        return -1;
    ImageListTable& t = Lists();
    MutexLock lock(t.mutex);
    auto it = t.lists.find(reinterpret_cast<std::uintptr_t>(list));
    if (it == t.lists.end())
        return -1;
    int added = info->width / it->second.cx;
    if (added <= 0)
        return -1;
    int first = it->second.count;
    it->second.count += added;
    if (mask)
        it->second.mask = *mask;
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
    t.lists[handle] = win::ImageListRecord{cx, cy, flags, 0, 0};
    return reinterpret_cast<HIMAGELIST>(handle);
}

BOOL ImageList_Destroy(HIMAGELIST list) {
    win::ImageListTable& t = win::Lists();
    win::MutexLock lock(t.mutex);
    return t.lists.erase(reinterpret_cast<std::uintptr_t>(list)) ? TRUE : FALSE;
}

int ImageList_Add(HIMAGELIST list, HBITMAP image, HBITMAP) {
    return win::AddStrip(list, image, nullptr);
}

int ImageList_AddMasked(HIMAGELIST list, HBITMAP image, COLORREF mask) {
    return win::AddStrip(list, image, &mask);
}

BOOL ImageList_Remove(HIMAGELIST list, int index) {
    win::ImageListTable& t = win::Lists();
    win::MutexLock lock(t.mutex);
    auto it = t.lists.find(reinterpret_cast<std::uintptr_t>(list));
    if (it == t.lists.end())
        return FALSE;
    if (index == -1) {
        it->second.count = 0;
        return TRUE;
    }
    if (index < 0 || index >= it->second.count)
        return FALSE;
    --it->second.count;
    return TRUE;
}

int ImageList_GetImageCount(HIMAGELIST list) {
    win::ImageListTable& t = win::Lists();
    win::MutexLock lock(t.mutex);
    auto it = t.lists.find(reinterpret_cast<std::uintptr_t>(list));
    return it == t.lists.end() ? 0 : it->second.count;
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
