// The COM registration of the add-in's property pages. Each page registers
// itself from its registration script (a "REGISTRY" resource of this
// library), as a control: besides its ProgIDs and in-process server it names
// its toolbox bitmap and its OLE status bits. Any thread.
#pragma once

#include <string>

#include "platform/win/Types.h"

namespace ui {

// Resource type and ids of the pages' registration scripts.
inline constexpr const wchar_t* kRegistryResourceType = L"REGISTRY";
constexpr WORD kExtProppageRegistryScript = 130;
constexpr WORD kQuillmerePropPageRegistryScript = 1119;
// The pages' toolbox bitmaps, which the scripts name as "%MODULE%, 129" and
// "%MODULE%, 118".
constexpr WORD kExtProppageToolboxBitmap = 129;
constexpr WORD kQuillmerePropPageToolboxBitmap = 118;

// The OLE status bits the pages' scripts register as %OLEMISC% (decimal):
// OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE | OLEMISC_INSIDEOUT |
// OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST. The last is why
// Outlook gives a page its client site before it creates the page's window.
constexpr DWORD kPageMiscStatus = 0x1 | 0x10 | 0x80 | 0x100 | 0x20000;

// Applies (doRegister) or takes back the registration script scriptId with
// %MODULE% = modulePath (the add-in module's Windows path) and %OLEMISC% =
// kPageMiscStatus. S_OK; the registrar's errors otherwise (the script
// missing from the module: the resource calls' error as an HRESULT).
HRESULT UpdatePageRegistry(WORD scriptId, bool doRegister, const std::wstring& modulePath);

}  // namespace ui
