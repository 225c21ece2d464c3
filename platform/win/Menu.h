// Menus: handles holding items (command id, text, flags, sub-menu), menus
// loaded from a module's MENU resources, and popup menus tracked at the
// cursor. Headless: TrackPopupMenu is answered by a handler that the host or
// a test installs (as message boxes are), else it is dismissed (no command).
// Thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/win/Mouse.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

// Item flags (AppendMenuW, MENU resources).
constexpr UINT MF_STRING = 0x0000;
constexpr UINT MF_BYCOMMAND = 0x0000;
constexpr UINT MF_GRAYED = 0x0001;
constexpr UINT MF_DISABLED = 0x0002;
constexpr UINT MF_CHECKED = 0x0008;
constexpr UINT MF_POPUP = 0x0010;
constexpr UINT MF_MENUBARBREAK = 0x0020;
constexpr UINT MF_MENUBREAK = 0x0040;
constexpr UINT MF_END = 0x0080;  // last item of a level, in resources only
constexpr UINT MF_BYPOSITION = 0x0400;
constexpr UINT MF_SEPARATOR = 0x0800;
constexpr UINT MF_DEFAULT = 0x1000;

// TrackPopupMenu flags.
constexpr UINT TPM_LEFTBUTTON = 0x0000;
constexpr UINT TPM_LEFTALIGN = 0x0000;
constexpr UINT TPM_TOPALIGN = 0x0000;
constexpr UINT TPM_RIGHTBUTTON = 0x0002;
constexpr UINT TPM_CENTERALIGN = 0x0004;
constexpr UINT TPM_RIGHTALIGN = 0x0008;
constexpr UINT TPM_VCENTERALIGN = 0x0010;
constexpr UINT TPM_BOTTOMALIGN = 0x0020;
constexpr UINT TPM_NONOTIFY = 0x0080;
constexpr UINT TPM_RETURNCMD = 0x0100;

constexpr DWORD ERROR_INVALID_MENU_HANDLE = 1401;

HMENU CreateMenu();
HMENU CreatePopupMenu();
// Appends an item: idOrSubMenu is the command id, or with MF_POPUP the
// sub-menu (which the menu then owns). FALSE with ERROR_INVALID_MENU_HANDLE.
BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR idOrSubMenu, const WCHAR* text);
// Frees the menu and its sub-menus. FALSE with ERROR_INVALID_MENU_HANDLE.
BOOL DestroyMenu(HMENU menu);
// The sub-menu at a position, null when that item has none.
HMENU GetSubMenu(HMENU menu, int position);
// -1 with ERROR_INVALID_MENU_HANDLE.
int GetMenuItemCount(HMENU menu);
// The command id at a position; (UINT)-1 for a sub-menu, a bad position or
// menu.
UINT GetMenuItemID(HMENU menu, int position);

// Loads MENU resource name of the module (the platform's menu template:
// a header of two zero WORDs, then items of flags WORD, id WORD unless
// MF_POPUP, NUL-terminated UTF-16 text, a popup's items following it up to
// the one with MF_END). A module without any MENU resources gives a menu
// with one empty popup, so that code written for a menu resource still
// runs. Null with ERROR_RESOURCE_NAME_NOT_FOUND (or the other errors of
// FindResourceW), ERROR_INVALID_DATA for a damaged template. The caller
// frees it with DestroyMenu.
HMENU LoadMenuW(HINSTANCE instance, const WCHAR* name);

// Shows a popup menu and waits for the choice. With TPM_RETURNCMD returns the
// chosen command id (0: dismissed); else returns TRUE when a command was
// chosen, and posts WM_COMMAND (wParam = the id) to owner, FALSE when
// dismissed. FALSE with ERROR_INVALID_MENU_HANDLE or
// ERROR_INVALID_WINDOW_HANDLE.
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                    const RECT* rect);

namespace win {

struct MenuItem {
    UINT flags = 0;
    UINT id = 0;
    std::wstring text;
    std::vector<MenuItem> subItems;  // MF_POPUP
};

struct PopupMenuCall {
    HMENU menu = nullptr;
    std::vector<MenuItem> items;
    UINT flags = 0;
    POINT point{};
    HWND owner = nullptr;
    DWORD threadId = 0;
};

// Installs the answer to popup menus: returns the command id chosen, 0 to
// dismiss. Empty function: every menu is dismissed. Called on the thread
// that tracks the menu, outside any lock.
void SetPopupMenuHandler(std::function<UINT(const PopupMenuCall&)> handler);
// LoadMenuW's reader over template bytes, for templates that don't come
// from a module. Reads never go past size.
HMENU LoadMenuFromTemplate(const std::uint8_t* data, std::size_t size);
// The items of a menu (a copy), empty for a bad handle.
std::vector<MenuItem> MenuItems(HMENU menu);

}  // namespace win
