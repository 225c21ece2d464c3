// Filling in the Quillmere add-in's pages by field name, as a person does
// it with the mouse and the keyboard: a switch is clicked when it is not as
// wanted, a text field is selected and typed over, a partner address or
// filter category is typed and added with ">>" (or, given as "-NAME",
// chosen in its list and removed with "<<"), an account is chosen from its
// list. The field names are those of the add-in's registry values
// (README, "Sharing a folder by hand"). Test support of the host: the
// add-in itself knows no field names; this file knows its pages'
// templates (their control ids).
//
// Threading: the UI thread, on the page's window shown in a HostDialog.
#pragma once

#include <string>

#include "platform/win/Types.h"
#include "platform/win/Window.h"

namespace host {

// Whether the page of that ProgID is one this driver fills in, and whether
// it has a field of that name (names compared without regard to case).
bool DrivesPage(const std::wstring& progId);
bool PageHasField(const std::wstring& progId, const std::wstring& name);

// Sets the field on the page's window. S_OK; DISP_E_UNKNOWNNAME for a name
// the page lacks; E_INVALIDARG when the page does not take the value (a
// disabled control, an account not in the list, an address ">>" refuses,
// a "-NAME" not in the list).
HRESULT SetPageField(HWND page, const std::wstring& progId, const std::wstring& name,
                     const std::wstring& value);

}  // namespace host
