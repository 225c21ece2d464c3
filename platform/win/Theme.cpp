#include "platform/win/Theme.h"

#include <atomic>
#include <map>

#include "platform/win/Mutex.h"

namespace win {
namespace {

constexpr HRESULT kSOk = 0;
constexpr HRESULT kEHandle = static_cast<HRESULT>(0x80070006);

struct TextureTable {
    Mutex mutex;
    std::map<HWND, DWORD> flags GUARDED_BY(mutex);
};
TextureTable& Textures() {
    static auto* table = new TextureTable;
    return *table;
}

std::atomic<bool> g_themedForTesting{false};

}  // namespace

DWORD ThemeDialogTextureFlags(HWND hwnd) {
    TextureTable& t = Textures();
    MutexLock lock(t.mutex);
    auto it = t.flags.find(hwnd);
    return it == t.flags.end() ? 0 : it->second;
}

void SetAppThemedForTesting(bool themed) {
    g_themedForTesting = themed;
}

}  // namespace win

BOOL IsAppThemed() {
    return win::g_themedForTesting.load() ? TRUE : FALSE;
}

BOOL IsThemeActive() {
    return win::g_themedForTesting.load() ? TRUE : FALSE;
}

HRESULT EnableThemeDialogTexture(HWND hwnd, DWORD flags) {
    if (!IsWindow(hwnd))
        return win::kEHandle;
    win::TextureTable& t = win::Textures();
    win::MutexLock lock(t.mutex);
    t.flags[hwnd] = flags;
    return win::kSOk;
}
