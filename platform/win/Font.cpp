#include "platform/win/Font.h"

#include <algorithm>
#include <cwchar>
#include <map>
#include <tuple>

#include "platform/win/Errors.h"
#include "platform/win/Gdi.h"
#include "platform/win/Mutex.h"
#include "platform/win/Paint.h"
#include "platform/win/PaintSupport.h"

namespace win {
namespace {

constexpr std::uintptr_t kStockGuiFont = 0xF0170000;

struct FontTable {
    Mutex mutex;
    std::map<std::uintptr_t, LOGFONTW> fonts GUARDED_BY(mutex);
    std::map<std::tuple<std::wstring, int, int, bool>, POINT> baseUnits GUARDED_BY(mutex);
    std::uintptr_t next GUARDED_BY(mutex) = 0xF0000000;
};
FontTable& Fonts() {
    static auto* table = new FontTable;
    return *table;
}

LOGFONTW FontOfDC(HDC dc) {
    auto state = DescribeDC(dc);
    return paint::FontOf(state ? static_cast<HFONT>(state->selectedFont) : nullptr);
}

}  // namespace

std::optional<LOGFONTW> DescribeFont(HFONT font) {
    if (reinterpret_cast<std::uintptr_t>(font) == kStockGuiFont)
        return paint::FontOf(nullptr);
    FontTable& t = Fonts();
    MutexLock lock(t.mutex);
    auto it = t.fonts.find(reinterpret_cast<std::uintptr_t>(font));
    if (it == t.fonts.end())
        return std::nullopt;
    return it->second;
}

bool DeleteFont(HGDIOBJ object) {
    auto value = reinterpret_cast<std::uintptr_t>(object);
    if (value == kStockGuiFont)
        return true;
    FontTable& t = Fonts();
    MutexLock lock(t.mutex);
    return t.fonts.erase(value) != 0;
}

POINT DialogBaseUnits(const std::wstring& face, int pointSize, int weight, bool italic) {
    const int points = pointSize > 0 ? pointSize : 8;
    const auto key = std::make_tuple(face, points, weight, italic);
    FontTable& t = Fonts();
    {
        MutexLock lock(t.mutex);
        auto it = t.baseUnits.find(key);
        if (it != t.baseUnits.end())
            return it->second;
    }
    LOGFONTW font{};
    font.lfHeight = -((points * 96 + 36) / 72);
    font.lfWeight = weight;
    font.lfItalic = italic ? 1 : 0;
    std::wcsncpy(font.lfFaceName, face.c_str(), LF_FACESIZE - 1);
    const SIZE letters = paint::MeasureText(
        font, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", paint::kSingleLine);
    int ascent = 0, descent = 0, average = 0;
    paint::FontMetrics(font, &ascent, &descent, &average);
    POINT units{std::max<LONG>(1, (letters.cx / 26 + 1) / 2), std::max(1, ascent + descent)};
    MutexLock lock(t.mutex);
    t.baseUnits[key] = units;
    return units;
}

}  // namespace win

HFONT CreateFontIndirectW(const LOGFONTW* font) {
    if (!font) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    win::FontTable& t = win::Fonts();
    win::MutexLock lock(t.mutex);
    std::uintptr_t handle = t.next;
    t.next += 4;
    LOGFONTW copy = *font;
    copy.lfFaceName[LF_FACESIZE - 1] = L'\0';
    t.fonts[handle] = copy;
    return reinterpret_cast<HFONT>(handle);
}

HGDIOBJ GetStockObject(int which) {
    switch (which) {
        case DEFAULT_GUI_FONT:
            return reinterpret_cast<HGDIOBJ>(win::kStockGuiFont);
        case WHITE_BRUSH:
            return win::SystemColourBrush(COLOR_WINDOW);
        default:
            return nullptr;
    }
}

BOOL GetTextMetricsW(HDC dc, TEXTMETRICW* metrics) {
    if (!metrics || !win::DescribeDC(dc))
        return FALSE;
    const LOGFONTW font = win::FontOfDC(dc);
    int ascent = 0, descent = 0, average = 0;
    win::paint::FontMetrics(font, &ascent, &descent, &average);
    *metrics = TEXTMETRICW{};
    metrics->tmAscent = ascent;
    metrics->tmDescent = descent;
    metrics->tmHeight = ascent + descent;
    metrics->tmAveCharWidth = average;
    metrics->tmMaxCharWidth = average * 2;
    metrics->tmWeight = font.lfWeight ? font.lfWeight : FW_NORMAL;
    return TRUE;
}

BOOL GetTextExtentPoint32W(HDC dc, const WCHAR* text, int count, SIZE* size) {
    if (!size || !win::DescribeDC(dc) || (!text && count > 0) || count < 0)
        return FALSE;
    *size = win::paint::MeasureText(
        win::FontOfDC(dc), std::wstring(text ? text : L"", static_cast<std::size_t>(count)),
        win::paint::kSingleLine | win::paint::kNoPrefix);
    return TRUE;
}
