// Small helpers that both property pages use: the texts of their controls,
// the subkey names of the registry keys they show, and what they read of the
// running add-in's session. UI thread only (the control helpers send
// messages to the page's controls).
#pragma once

#include <string>
#include <vector>

#include "Quillmere/ui/PropertyPageControl.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Registry.h"
#include "platform/win/Types.h"

namespace ui {

// The control's window text; "" when it has none.
std::wstring ControlText(HWND control);
// The text of entry index of the combo box or the list box; "" for an
// entry that isn't there or is empty.
std::wstring ComboEntry(HWND combo, LRESULT index);
std::wstring ListEntry(HWND list, LRESULT index);
// The text of the combo box's selected entry; "" without a selection.
std::wstring SelectedComboEntry(HWND combo);
// The combo box's text, or the text of its selected entry when that is
// empty (at CBN_SELCHANGE the edit part still shows the old text).
std::wstring ComboText(HWND combo);

// The subkey names of key, from index 0 until the enumeration fails (names
// of up to 259 characters).
std::vector<std::wstring> SubkeyNames(HKEY key);
// The same of parent's subkey path; none when it can't be opened.
std::vector<std::wstring> SubkeyNamesOf(HKEY parent, const std::wstring& path);
// The partner addresses of every configured folder (the subkeys of
// "Folders\<entry id>\Users" of the current user), each once, in the order
// found.
std::vector<std::wstring> KnownPartnerAddresses();

// The session's profile name; "" without a session or when it can't be read.
std::wstring ProfileName(QMRRDOSession* session);
// The names of the categories of the engine's session, in their order;
// entries that can't be read are left out, a null name counts as "". None
// without an engine, a running one or its session.
std::vector<std::wstring> CategoryNames(IPageEngine* engine);

}  // namespace ui
