// The proxies through which another process uses the client's objects
// (platform/com/DualProxy.h): the object model's remotable interfaces and
// the class that makes their proxies, served by this library's
// DllGetClassObject.
#pragma once

#include <string>

#include "platform/win/Errors.h"
#include "platform/win/Guid.h"

namespace outlook {

// The class of the object model's proxies: {3F2A9D10-6C47-4E8B-A1D5-92E7C04B7A18}.
inline constexpr CLSID CLSID_OutlookProxies{
    0x3F2A9D10, 0x6C47, 0x4E8B, {0xA1, 0xD5, 0x92, 0xE7, 0xC0, 0x4B, 0x7A, 0x18}};

// Registers the proxies of _Application, _NameSpace, _Store, MAPIFolder,
// _Folders, _Rules, _Rule, _RuleConditions, _TextRuleCondition,
// _RuleActions and _MoveOrCopyRuleAction as made by library (the Windows
// path of this library). Other interfaces of the object model are not
// remotable. The registry's errors.
HRESULT RegisterProxies(const std::wstring& library);

}  // namespace outlook
