// Visual styles. Nothing is drawn here, so no theme is active unless a test
// turns one on (SetAppThemedForTesting) to walk a page's themed path.
// EnableThemeDialogTexture is recorded so that a test can see which windows
// asked for the tab texture. Thread-safe.
#pragma once

#include "platform/win/Types.h"
#include "platform/win/Window.h"

constexpr DWORD ETDT_DISABLE = 0x00000001;
constexpr DWORD ETDT_ENABLE = 0x00000002;
constexpr DWORD ETDT_USETABTEXTURE = 0x00000004;
constexpr DWORD ETDT_ENABLETAB = ETDT_ENABLE | ETDT_USETABTEXTURE;

// FALSE (no visual style is applied) unless a test turned styles on.
BOOL IsAppThemed();
BOOL IsThemeActive();
// S_OK for a window (the flags recorded), E_HANDLE for a bad one.
HRESULT EnableThemeDialogTexture(HWND hwnd, DWORD flags);

namespace win {

// The flags of the last EnableThemeDialogTexture for hwnd, 0 when none.
DWORD ThemeDialogTextureFlags(HWND hwnd);
// Makes IsAppThemed and IsThemeActive answer themed (process-wide) until
// turned off again. Test code only.
void SetAppThemedForTesting(bool themed);

}  // namespace win
