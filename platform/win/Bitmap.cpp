#include "platform/win/Bitmap.h"

#include <map>
#include <memory>

#include "platform/win/Font.h"
#include "platform/win/Gdi.h"
#include "platform/win/Mutex.h"
#include "platform/win/PaintSupport.h"
#include "platform/win/Resources.h"

namespace win {
namespace {

constexpr std::size_t kCoreHeaderSize = 12;
constexpr std::size_t kInfoHeaderSize = 40;
constexpr int kMaxBitmapSide = 0x8000;
// Bitmaps decoded into pixels at most this large (an image list's strip or
// a dialog's picture); larger ones keep their size but no pixels.
constexpr long long kMaxDecodedPixels = 16LL * 1024 * 1024;
constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiBitfields = 3;

struct BitmapRecord {
    BitmapInfo info;
    std::shared_ptr<paint::Pixels> pixels;
};

struct BitmapTable {
    Mutex mutex;
    std::map<std::uintptr_t, BitmapRecord> bitmaps GUARDED_BY(mutex);
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

HBITMAP Insert(const BitmapInfo& info, std::shared_ptr<paint::Pixels> pixels) {
    BitmapTable& t = Bitmaps();
    MutexLock lock(t.mutex);
    std::uintptr_t handle = t.next;
    t.next += 4;
    t.bitmaps[handle] = BitmapRecord{info, std::move(pixels)};
    return reinterpret_cast<HBITMAP>(handle);
}

std::shared_ptr<paint::Pixels> NewPixels(int width, int height) {
    if (static_cast<long long>(width) * height > kMaxDecodedPixels)
        return nullptr;
    return std::make_shared<paint::Pixels>(width, height, 0xFF000000u);
}

// One channel of a bit-field pixel scaled to 8 bits.
std::uint32_t Channel(std::uint32_t value, std::uint32_t mask) {
    if (mask == 0)
        return 0;
    int shift = 0;
    while (!((mask >> shift) & 1))
        ++shift;
    std::uint32_t max = mask >> shift;
    return ((value & mask) >> shift) * 255 / max;
}

std::uint32_t Argb(std::uint32_t a, std::uint32_t r, std::uint32_t g, std::uint32_t b) {
    // Premultiplied, as cairo keeps it.
    r = r * a / 255;
    g = g * a / 255;
    b = b * a / 255;
    return (a << 24) | (r << 16) | (g << 8) | b;
}

}  // namespace

namespace paint {

bool DecodeDib(const std::uint8_t* p, std::size_t size, int rows, bool useAlpha, Pixels& out,
               std::size_t* used) {
    if (!p || size < 4)
        return false;
    const std::uint32_t headerSize = U32At(p, 0);
    int width = 0, height = 0, bitCount = 0;
    std::uint32_t compression = kBiRgb, colours = 0;
    std::size_t paletteEntry = 4;
    bool topDown = false;
    if (headerSize == kCoreHeaderSize && size >= kCoreHeaderSize) {
        width = U16At(p, 4);
        height = U16At(p, 6);
        bitCount = U16At(p, 10);
        paletteEntry = 3;
    } else if (headerSize >= kInfoHeaderSize && size >= kInfoHeaderSize) {
        width = static_cast<std::int32_t>(U32At(p, 4));
        height = static_cast<std::int32_t>(U32At(p, 8));
        topDown = height < 0;
        if (topDown)
            height = -height;
        bitCount = U16At(p, 14);
        compression = U32At(p, 16);
        colours = U32At(p, 32);
    } else {
        return false;
    }
    if (width <= 0 || height <= 0 || width > kMaxBitmapSide || height > kMaxBitmapSide)
        return false;
    if (compression != kBiRgb &&
        !(compression == kBiBitfields && (bitCount == 16 || bitCount == 32)))
        return false;
    if (bitCount != 1 && bitCount != 4 && bitCount != 8 && bitCount != 16 && bitCount != 24 &&
        bitCount != 32)
        return false;
    std::size_t at = headerSize;
    std::uint32_t masks[3] = {0x00FF0000, 0x0000FF00, 0x000000FF};
    if (bitCount == 16)
        masks[0] = 0x7C00, masks[1] = 0x03E0, masks[2] = 0x001F;
    if (compression == kBiBitfields) {
        // A 40-byte header is followed by the masks; a longer one holds them.
        std::size_t from = headerSize == kInfoHeaderSize ? at : 40;
        if (size < from + 12)
            return false;
        for (int i = 0; i < 3; ++i)
            masks[i] = U32At(p, from + 4 * static_cast<std::size_t>(i));
        if (headerSize == kInfoHeaderSize)
            at += 12;
    }
    std::vector<std::uint32_t> palette;
    if (bitCount <= 8) {
        std::size_t count = colours ? colours : (1u << bitCount);
        count = std::min<std::size_t>(count, 256);
        for (std::size_t i = 0; i < count && at + paletteEntry <= size; ++i, at += paletteEntry)
            palette.push_back(Argb(255, p[at + 2], p[at + 1], p[at]));
        palette.resize(std::size_t{1} << bitCount, Argb(255, 0, 0, 0));
    }
    const int colourRows = rows > 0 ? std::min(rows, height) : height;
    if (static_cast<long long>(width) * colourRows > kMaxDecodedPixels)
        return false;
    out = Pixels(width, colourRows, 0xFF000000u);
    const std::size_t stride = ((static_cast<std::size_t>(width) * bitCount + 31) / 32) * 4;
    for (int row = 0; row < colourRows; ++row) {
        // Bottom-up rows unless the height was negative.
        const int y = topDown ? row : colourRows - 1 - row;
        const std::size_t start = at + static_cast<std::size_t>(row) * stride;
        if (start + stride > size)
            break;
        const std::uint8_t* r = p + start;
        for (int x = 0; x < width; ++x) {
            std::uint32_t pixel = 0xFF000000u;
            switch (bitCount) {
                case 1:
                    pixel = palette[(r[x / 8] >> (7 - x % 8)) & 1];
                    break;
                case 4:
                    pixel = palette[(r[x / 2] >> (x % 2 ? 0 : 4)) & 0xF];
                    break;
                case 8:
                    pixel = palette[r[x]];
                    break;
                case 16: {
                    std::uint32_t v = U16At(r, static_cast<std::size_t>(x) * 2);
                    pixel =
                        Argb(255, Channel(v, masks[0]), Channel(v, masks[1]), Channel(v, masks[2]));
                    break;
                }
                case 24: {
                    const std::uint8_t* q = r + static_cast<std::size_t>(x) * 3;
                    pixel = Argb(255, q[2], q[1], q[0]);
                    break;
                }
                case 32: {
                    std::uint32_t v = U32At(r, static_cast<std::size_t>(x) * 4);
                    std::uint32_t a = useAlpha ? (v >> 24) : 255;
                    pixel = compression == kBiBitfields
                                ? Argb(a, Channel(v, masks[0]), Channel(v, masks[1]),
                                       Channel(v, masks[2]))
                                : Argb(a, (v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
                    break;
                }
            }
            out.data[static_cast<std::size_t>(y) * static_cast<std::size_t>(width) +
                     static_cast<std::size_t>(x)] = pixel;
        }
    }
    if (used)
        *used = at + static_cast<std::size_t>(height) * stride;
    return true;
}

std::shared_ptr<Pixels> BitmapPixels(HBITMAP bitmap) {
    BitmapTable& t = Bitmaps();
    MutexLock lock(t.mutex);
    auto it = t.bitmaps.find(reinterpret_cast<std::uintptr_t>(bitmap));
    return it == t.bitmaps.end() ? nullptr : it->second.pixels;
}

}  // namespace paint

std::optional<BitmapInfo> DescribeBitmap(HBITMAP bitmap) {
    BitmapTable& t = Bitmaps();
    MutexLock lock(t.mutex);
    auto it = t.bitmaps.find(reinterpret_cast<std::uintptr_t>(bitmap));
    if (it == t.bitmaps.end())
        return std::nullopt;
    return it->second.info;
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
    // A layout the decoder does not know keeps its size with black pixels.
    auto pixels = win::NewPixels(info.width, info.height);
    if (pixels) {
        win::paint::Pixels decoded;
        if (win::paint::DecodeDib(p, size, 0, false, decoded))
            *pixels = std::move(decoded);
    }
    return win::Insert(info, std::move(pixels));
}

HBITMAP CreateBitmap(int width, int height, UINT planes, UINT bitCount, const void* bits) {
    if (width <= 0 || height <= 0 || width > win::kMaxBitmapSide || height > win::kMaxBitmapSide ||
        planes == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    win::BitmapInfo info;
    info.width = width;
    info.height = height;
    info.bitCount = static_cast<int>(bitCount);
    auto pixels = win::NewPixels(width, height);
    // 32-bit bits are taken as the platform lays them out: BGRX rows,
    // top-down for a bitmap made this way.
    if (pixels && bits && bitCount == 32) {
        const auto* p = static_cast<const std::uint8_t*>(bits);
        for (std::size_t i = 0; i < pixels->data.size(); ++i)
            pixels->data[i] = 0xFF000000u | (static_cast<std::uint32_t>(p[4 * i + 2]) << 16) |
                              (static_cast<std::uint32_t>(p[4 * i + 1]) << 8) | p[4 * i];
    }
    return win::Insert(info, std::move(pixels));
}

BOOL DeleteObject(HGDIOBJ object) {
    if (win::DeleteBrush(object) || win::DeleteFont(object))
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
