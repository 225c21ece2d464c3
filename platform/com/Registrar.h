// The registrar of a COM module (ATL's registrar object): applies a
// registration script (the text of a "REGISTRY" resource) to the registry,
// or takes it back. Every module of the system that registers itself from a
// script uses this one.
//
// Script language, as the platform's registrar reads it:
//   root      HKCR | HKCU | HKLM (or the HKEY_... long names), then { keys }
//   key       [ForceRemove | NoRemove | Delete] name [= type value] [{ keys and values }]
//   value     val name = type value
//   type      s (REG_SZ), d (REG_DWORD, decimal or 0x hex), b (REG_BINARY,
//             hex digits), m (REG_MULTI_SZ, texts separated by \0)
// Names and values are bare words or '...' (a quote inside doubled: '').
// Tokens are separated by white space ("a=b" is one word, "a = b" three).
// Keywords are case-insensitive. Before parsing, every %NAME% is replaced
// by its replacement (names case-insensitive) and %% becomes %.
//
// Registering creates the keys and writes the values (ForceRemove first
// removes the key's whole tree; Delete removes the key and creates nothing).
// Unregistering removes every key of the script with its subtree, except
// NoRemove keys and keys that hold a NoRemove key, which stay and only lose
// the values and keys the script names below them; Delete keys are left alone.
//
// Per-user registration sends HKCR to HKEY_CURRENT_USER\Software\Classes,
// which is where the platform keeps a user's own classes.
//
// The whole script is parsed before the registry is touched: a script that
// can't be parsed changes nothing. Not thread-safe; one registrar per caller.
#pragma once

#include <map>
#include <string>

#include "platform/win/Errors.h"
#include "platform/win/Module.h"
#include "platform/win/Types.h"

namespace com {

class Registrar {
public:
    // %name% in a script becomes value. A name given again replaces the value.
    void AddReplacement(const std::wstring& name, const std::wstring& value);
    void SetPerUser(bool perUser) { m_perUser = perUser; }

    // S_OK; DISP_E_EXCEPTION for a script that can't be parsed or names an
    // unknown replacement (nothing changed); the registry's errors as
    // HRESULT_FROM_WIN32 (the keys written before the failing one stay).
    HRESULT StringRegister(const std::wstring& script);
    HRESULT StringUnregister(const std::wstring& script);

    // The same with the script of resource id of the given type in module
    // (text in the ANSI code page, or UTF-16LE after a byte-order mark).
    // HRESULT_FROM_WIN32(GetLastError()) of the resource calls when the
    // module has no such resource.
    HRESULT ResourceRegister(HMODULE module, WORD id, const WCHAR* type);
    HRESULT ResourceUnregister(HMODULE module, WORD id, const WCHAR* type);

    // The script text of a module resource; false when it is missing.
    static bool LoadScript(HMODULE module, WORD id, const WCHAR* type, std::wstring* script);

private:
    HRESULT Apply(const std::wstring& script, bool doRegister);
    HRESULT Replace(const std::wstring& script, std::wstring* out) const;

    std::map<std::wstring, std::wstring> m_replacements;  // upper-cased names
    bool m_perUser = false;
};

}  // namespace com
