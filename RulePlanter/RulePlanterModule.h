// The rule helper's COM executable module: the standard start of a COM
// executable over a module that offers no classes. Its registration switches
// write or take back the module's AppID from registration script
// IDR_RULEPLANTER; without a switch the module has nothing to serve and its
// start returns at once.
//
// Threading: one thread; the caller has initialised COM on it.
#pragma once

#include <string>

#include "platform/win/Errors.h"
#include "platform/win/Module.h"
#include "platform/win/Types.h"

class CRulePlanterModule {
public:
    // The AppID handed to the registration script as %APPID%.
    static constexpr const wchar_t* kAppId = L"{8085C61D-C8F3-43CC-9503-EDFE8BDD1321}";
    // The type library the module declares (it holds no types).
    static constexpr const wchar_t* kTypeLibName = L"RulePlanterLib";
    // How long a server would wait after its last object went before it
    // ends, and the pause between its checks. A module without classes never
    // serves, so they take effect nowhere; kept for the module's contract.
    static constexpr DWORD kTimeOut = 5000;
    static constexpr DWORD kPause = 1000;

    // The standard start with the command line after the program name.
    // A registration switch ("-" or "/" and "RegServer", "UnregServer",
    // "RegServerPerUser" or "UnregServerPerUser", case-insensitive, as a
    // whole word) gives the outcome of that registration (S_OK or the
    // registrar's HRESULT). Otherwise S_OK at once.
    HRESULT WinMain(const std::wstring& commandLine);

    // False when a switch was handled (*result: its outcome); true when the
    // module should run its server.
    bool ParseCommandLine(const std::wstring& commandLine, HRESULT* result);

    // The AppID keys of the registration script, written or taken back, in
    // HKEY_CLASSES_ROOT, or per user in HKEY_CURRENT_USER\Software\Classes.
    HRESULT RegisterAppId();
    HRESULT UnregisterAppId();
    // The module's classes and type library: none here, so S_OK (the COM
    // stand-in keeps no type library registrations).
    HRESULT RegisterServer();
    HRESULT UnregisterServer();

    // The application-id hook: runs the registration script with %APPID%
    // and %MODULE% (this module's Windows path) replaced.
    HRESULT UpdateRegistryAppId(bool doRegister);

    void SetPerUserRegistration(bool perUser) { m_perUser = perUser; }
    bool PerUserRegistration() const { return m_perUser; }

    // The module that carries the rule helper's resources (the program, or
    // a test program that links the same code).
    static HMODULE ResourceModule();

private:
    bool m_perUser = false;
};
