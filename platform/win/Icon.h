// Icons: handles that name an icon of a module's resources, or one of the
// system's stock icons. Nothing is decoded or drawn; a handle only tells
// which icon it is (win::DescribeIcon), which is what the notification area
// and dialogs record. Thread-safe.
#pragma once

#include <optional>
#include <string>

#include "platform/win/Handle.h"
#include "platform/win/Module.h"
#include "platform/win/Resources.h"
#include "platform/win/Window.h"

// Stock icons (LoadIconW with a null instance).
inline const WCHAR* const IDI_APPLICATION = MAKEINTRESOURCEW(32512);
inline const WCHAR* const IDI_HAND = MAKEINTRESOURCEW(32513);
inline const WCHAR* const IDI_QUESTION = MAKEINTRESOURCEW(32514);
inline const WCHAR* const IDI_EXCLAMATION = MAKEINTRESOURCEW(32515);
inline const WCHAR* const IDI_ASTERISK = MAKEINTRESOURCEW(32516);
inline const WCHAR* const IDI_WINLOGO = MAKEINTRESOURCEW(32517);
inline const WCHAR* const IDI_SHIELD = MAKEINTRESOURCEW(32518);
inline const WCHAR* const IDI_WARNING = IDI_EXCLAMATION;
inline const WCHAR* const IDI_ERROR = IDI_HAND;
inline const WCHAR* const IDI_INFORMATION = IDI_ASTERISK;

// LoadImageW.
constexpr UINT IMAGE_BITMAP = 0;
constexpr UINT IMAGE_ICON = 1;
constexpr UINT IMAGE_CURSOR = 2;
constexpr UINT LR_DEFAULTCOLOR = 0x00000000;
constexpr UINT LR_LOADFROMFILE = 0x00000010;
constexpr UINT LR_DEFAULTSIZE = 0x00000040;
constexpr UINT LR_SHARED = 0x00008000;

// The icon name of module (an ordinal by MAKEINTRESOURCEW, a text name or
// "#123"). When the module has icon groups (RT_GROUP_ICON) the name must be
// one of them; a module without any icon resources accepts every name, so
// that a module whose resource script carries no icons still runs. The
// handle is shared: every load of the same icon gives the same handle, and
// it lives as long as the process. A null instance loads a stock icon
// (IDI_*). Null with ERROR_RESOURCE_NAME_NOT_FOUND, ERROR_MOD_NOT_FOUND, or
// ERROR_INVALID_PARAMETER (null name, unknown stock icon).
HICON LoadIconW(HINSTANCE instance, const WCHAR* name);
// IMAGE_ICON as LoadIconW, but a new handle each time unless LR_SHARED (the
// caller destroys it with DestroyIcon); cx, cy are recorded. IMAGE_BITMAP,
// IMAGE_CURSOR and LR_LOADFROMFILE fail with ERROR_NOT_SUPPORTED.
HANDLE LoadImageW(HINSTANCE instance, const WCHAR* name, UINT type, int cx, int cy, UINT flags);
// Frees an icon of LoadImageW without LR_SHARED. A shared icon stays valid
// (TRUE, nothing is freed). FALSE with ERROR_INVALID_HANDLE (ERROR_INVALID_CURSOR_HANDLE
// is not distinguished).
BOOL DestroyIcon(HICON icon);

namespace win {

struct IconInfo {
    HMODULE module = nullptr;  // null for stock icons
    bool isOrdinal = true;
    WORD id = 0;        // when isOrdinal
    std::wstring name;  // when !isOrdinal (as given)
    bool shared = true;
    bool fromResource = false;  // the module has this icon group
    int cx = 0;
    int cy = 0;
};

// What an icon handle names; nullopt for a value that is no live icon.
std::optional<IconInfo> DescribeIcon(HICON icon);

}  // namespace win
