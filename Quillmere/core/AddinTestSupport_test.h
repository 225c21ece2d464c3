// The pieces the add-in's fixtures share: a throw-away user directory (with
// a profile laid by outlook-host when asked), the real helper library
// registered or asked for objects through its own class factory, the
// add-in's logs in the user's temp directory, an engine made the
// process-wide one and taken down again, folder objects in its table, and the
// registry keys of a synchronised folder. Test code only.
//
// The functions that check with ASSERT_* return void: a fixture calls them
// through ASSERT_NO_FATAL_FAILURE so that its SetUp stops where the failed
// step is, as it would with the checks written out.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/OutlookAccess.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/com/Com.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/store/Session.h"
#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"

namespace addintest {

inline constexpr const wchar_t* kHelperLibrary = L"P:\\QuillmereRDO.dll";
inline constexpr ULONG kTagSearchKey = 0x300B0102;

// ---- Waiting -------------------------------------------------------------

// How long a test waits for what it expects, in platform ms: on the virtual
// clock (where the add-in's fixtures run) the limit passes only in platform
// time, so it is load-independent; it is long enough for every timed step of
// the add-in (the longest wait a test expects is a few platform minutes).
inline constexpr DWORD kWaitLimitMs = 30 * 60 * 1000;

// Waits until condition holds (at the first platform moment it does, see
// win::WaitForCondition) or limitMs pass; its last answer.
template <class F>
bool WaitFor(F condition, DWORD limitMs = kWaitLimitMs) {
    return win::WaitForCondition(condition, limitMs);
}

// ---- The machine ---------------------------------------------------------

// A new directory /tmp/<name>_XXXXXX in dir, made the user directory, with
// the build's bin as the install directory. With hostInitArgs outlook-host
// init first lays a profile in it (e.g. "--profile Ann --address a@b"): the
// directory becomes the user's only after the profile is there.
inline void UseNewMachine(const std::string& name, std::string& dir,
                          const char* hostInitArgs = nullptr) {
    std::string pattern = "/tmp/" + name + "_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
    if (hostInitArgs) {
        std::string init = std::string(QM_BINARY_DIR "/bin/outlook-host init ") + dir + " " +
                           hostInitArgs + " >/dev/null";
        ASSERT_EQ(std::system(init.c_str()), 0);
    }
    win::SetUserDirectory(dir);
    win::SetInstallDirectory(QM_BINARY_DIR "/bin");
}

// Puts back what the add-in's fixtures change process-wide, once the engine
// and its threads are gone: StopFlag down, the clock back on real time at its
// normal pace, message boxes shown again, the add-in's locks deleted (they go
// last, as in the Quit handler) and the logs back at their start.
inline void ResetProcessState() {
    StopFlag = false;
    win::SetVirtualClockForTesting(false);
    win::SetTimeScaleForTesting(1);
    win::SetMessageBoxHandler({});
    DeleteAddinLocks();
    logs::ResetForTesting();
}

// ---- The helper library --------------------------------------------------

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);

// Registers the helper library by its own DllRegisterServer, as its
// installer does; E_FAIL when the library or the entry point is missing.
inline HRESULT RegisterHelperLibrary() {
    HMODULE rdo = LoadLibraryW(kHelperLibrary);
    if (!rdo)
        return E_FAIL;
    auto registerServer = reinterpret_cast<DllRegisterServerFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(rdo, "DllRegisterServer")));
    if (!registerServer)
        return E_FAIL;
    return registerServer();
}

// COM for the test's thread, then the helper library registered.
inline void StartComWithHelperLibrary() {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    ASSERT_EQ(RegisterHelperLibrary(), S_OK);
}

// The helper library's own class-object entry point, or null when the
// library can't be loaded. A test that links the add-in core has a
// DllGetClassObject of its own (the add-in's), so the library's is asked by
// module.
inline GetClassObjectFn HelperClassObject() {
    HMODULE rdo = LoadLibraryW(kHelperLibrary);
    if (!rdo)
        return nullptr;
    return reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(rdo, "DllGetClassObject")));
}

// An object from the class factory that getClassObject hands out for clsid;
// E_FAIL without an entry point.
inline HRESULT CreateFromClassObject(GetClassObjectFn getClassObject, REFCLSID clsid, REFIID iid,
                                     void** out) {
    if (!getClassObject)
        return E_FAIL;
    CComPtr<IClassFactory> factory;
    HRESULT hr = getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(nullptr, iid, out);
}

// An object of the helper library from its own class factory (no
// registration needed).
template <class I>
HRESULT CreateHelperObject(REFCLSID clsid, REFIID iid, CComPtr<I>& out) {
    return CreateFromClassObject(HelperClassObject(), clsid, iid, reinterpret_cast<void**>(&out));
}

// An object of the helper library as the add-in reaches it: the library
// registered by its own DllRegisterServer, the object created through the
// class registration.
template <class I>
HRESULT CreateRegisteredHelperObject(REFCLSID clsid, REFIID iid, CComPtr<I>& out) {
    if (FAILED(RegisterHelperLibrary()))
        return E_FAIL;
    return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid,
                            reinterpret_cast<void**>(&out));
}

// The class of a helper object the add-in creates by ProgID (its session,
// utilities and tables), or null.
inline const CLSID* HelperClassOfProgId(const wchar_t* progId) {
    const std::wstring name(progId);
    if (name == L"QuillmereRDOx.QMRRDOSession")
        return &CLSID_QMRRDOSession;
    if (name == L"QuillmereRDOx.QMRMAPIUtils")
        return &CLSID_QMRMAPIUtils;
    if (name == L"QuillmereRDOx.QMRMAPITable")
        return &CLSID_QMRMAPITable;
    return nullptr;
}

// A creator for SetHelperObjectCreatorForTesting that refuses every object,
// as an unregistered helper library does.
inline HRESULT RefuseHelperObject(const wchar_t*, REFIID, void** out) {
    *out = nullptr;
    return REGDB_E_CLASSNOTREG;
}

// Logs session on to the default profile.
inline HRESULT LogOnDefault(QMRRDOSession* session) {
    CComVariant none;
    return session->Logon(none, none, none, none, none, none);
}

// A helper session of the library's own logged on to the default profile,
// the library's utilities, and the session's Inbox.
inline void OpenHelperSession(CComPtr<QMRRDOSession>& session, CComPtr<QMRMAPIUtils>& utils,
                              CComPtr<QMRMAPIFolder>& inbox) {
    ASSERT_EQ(CreateHelperObject(CLSID_QMRRDOSession, IID_QMRRDOSession, session), S_OK);
    ASSERT_EQ(LogOnDefault(session), S_OK);
    ASSERT_EQ(CreateHelperObject(CLSID_QMRMAPIUtils, IID_QMRMAPIUtils, utils), S_OK);
    ASSERT_EQ(session->GetDefaultFolder(6, &inbox), S_OK);
}

// The library's utilities and a session logged on to the default profile,
// both created as the add-in creates them: through the class registration.
inline void OpenRegisteredHelperSession(CComPtr<QMRMAPIUtils>& utils,
                                        CComPtr<QMRRDOSession>& session) {
    ASSERT_EQ(CreateRegisteredHelperObject(CLSID_QMRMAPIUtils, IID_QMRMAPIUtils, utils), S_OK);
    ASSERT_EQ(CreateRegisteredHelperObject(CLSID_QMRRDOSession, IID_QMRRDOSession, session), S_OK);
    ASSERT_EQ(LogOnDefault(session), S_OK);
}

// ---- Items through the helper library ------------------------------------

// A new message of that class in folder with subject (and body when given),
// saved.
inline CComPtr<QMRMessage> SaveNewMessage(QMRMAPIFolder* folder, const std::wstring& subject,
                                          const wchar_t* messageClass = L"IPM.Note",
                                          const wchar_t* body = nullptr) {
    CComPtr<QMRItems> items;
    EXPECT_EQ(folder->GetItems(&items), S_OK);
    CComPtr<QMRMessage> message;
    EXPECT_EQ(items->Add(CComVariant(messageClass), &message), S_OK);
    EXPECT_EQ(message->PutSubject(CComBSTR(subject.c_str())), S_OK);
    if (body) {
        EXPECT_EQ(message->PutBody(CComBSTR(body)), S_OK);
    }
    EXPECT_EQ(message->Save(), S_OK);
    return message;
}

// The value of a property of message.
inline CComVariant FieldOf(QMRMessage* message, ULONG tag) {
    CComVariant value;
    EXPECT_EQ(message->GetFields(CComVariant(static_cast<LONG>(tag)), &value), S_OK);
    return value;
}
// The search key, which the add-in uses as the item's sync id.
inline CComVariant SearchKeyOf(QMRMessage* message) {
    return FieldOf(message, kTagSearchKey);
}
// A binary property of message as text, through utils.
inline std::wstring FieldText(QMRMAPIUtils* utils, QMRMessage* message, ULONG tag) {
    CComBSTR text;
    EXPECT_EQ(utils->BinaryToText(FieldOf(message, tag), &text), S_OK);
    return std::wstring(text.View());
}

// The entry and store ids of folder.
inline void FolderIds(QMRMAPIFolder* folder, std::wstring& entryId, std::wstring& storeId) {
    CComBSTR entry, store;
    ASSERT_EQ(folder->GetEntryID(&entry), S_OK);
    ASSERT_EQ(folder->GetStoreID(&store), S_OK);
    entryId = std::wstring(entry.View());
    storeId = std::wstring(store.View());
}

// ---- The object model stand-in -------------------------------------------

// A personal store "Personal Folders" made in dir (mailbox.qst) and the
// object model stand-in over a profile "Outlook" with that store, as an old
// Outlook that is ready at once (no log-on thread); its events are queued for
// ui.
inline void OpenOutlookOverNewStore(const std::string& dir,
                                    const std::shared_ptr<outlook::QueuedUiDispatcher>& ui,
                                    std::unique_ptr<outlook::OutlookApplication>& app) {
    std::string storePath = dir + "/mailbox.qst";
    store::StoreOptions storeOptions;
    storeOptions.displayName = L"Personal Folders";
    std::unique_ptr<store::Session> session;
    ASSERT_EQ(store::Session::Create(storePath, storeOptions, &session), S_OK);
    session.reset();
    outlook::ApplicationOptions options;
    options.profile.profileName = L"Outlook";
    options.profile.stores.push_back({storePath, true});
    options.version = L"10.0.6626";
    options.ui = ui;
    ASSERT_EQ(outlook::OutlookApplication::Create(options, &app), S_OK);
}

// ---- The engine ----------------------------------------------------------

// An engine over outlook with its debug log in temp; it must have made its
// helper session.
inline void MakeEngine(std::unique_ptr<core::IOutlookAccess> outlook, const std::wstring& temp,
                       std::unique_ptr<CSyncEngine>& engine) {
    engine =
        std::make_unique<CSyncEngine>(std::move(outlook), (temp + L"Quillmere_debug.log").c_str());
    ASSERT_NE(engine->Session(), nullptr);
}

// engine with its data in dataDirectory, the debug log on, made the
// process-wide engine.
inline void MakeProcessEngine(CSyncEngine* engine, const std::wstring& dataDirectory) {
    engine->SetDataPaths(dataDirectory);
    DebugSwitch = true;
    g_pEngine = engine;
}

// Raises StopFlag and waits until every thread of the add-in has ended, then
// puts the Exchange thread procedures back.
inline void StopAddinThreads() {
    StopFlag = true;
    EXPECT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
    SetExchangeThreadProcs({});
}

// The process-wide engine cleared before engine is destroyed.
inline void DestroyEngine(std::unique_ptr<CSyncEngine>& engine) {
    g_pEngine = nullptr;
    engine.reset();
}

// A folder object without an Outlook folder over the folder with those ids,
// shared under share.
inline std::unique_ptr<CFolderObj> NewFolderObject(const std::wstring& entryId,
                                                   const std::wstring& storeId,
                                                   const std::wstring& share,
                                                   LONG kind = CFolderObj::kSharedFolder,
                                                   bool exchange = false) {
    auto folder = std::make_unique<CFolderObj>(nullptr, kind, exchange, entryId, storeId);
    folder->m_shareName = share;
    return folder;
}

// Starts folder and appends it to the engine's table, which then owns it;
// null (the folder destroyed) when the table refused it.
inline CFolderObj* StartInTable(CSyncEngine& engine, std::unique_ptr<CFolderObj> folder) {
    folder->Start();
    if (!engine.AppendFolder(folder.get()))
        return nullptr;
    return folder.release();
}

// ---- The registry --------------------------------------------------------

// Creates the key (and the keys above it) under HKEY_CURRENT_USER.
inline void CreateRegistryKey(const std::wstring& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// A text value, with its terminating null.
inline void SetRegistryText(HKEY key, const wchar_t* name, const std::wstring& text) {
    RegSetValueExW(key, name, 0, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * 2));
}

// The key of a synchronised folder.
inline std::wstring FolderKeyPath(const std::wstring& entryId) {
    return std::wstring(kFoldersKeyPath) + L"\\" + entryId;
}

// Creates (or opens) the key of a synchronised folder into key; the caller
// closes it.
inline void CreateFolderKey(const std::wstring& entryId, HKEY& key) {
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, FolderKeyPath(entryId).c_str(), 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
}

// A synchronised folder as the configuration lists it: its key with the
// store id and the share name.
inline void WriteFolderKey(const std::wstring& entryId, const std::wstring& storeId,
                           const std::wstring& share) {
    HKEY key = nullptr;
    ASSERT_NO_FATAL_FAILURE(CreateFolderKey(entryId, key));
    SetRegistryText(key, L"SID", storeId);
    SetRegistryText(key, L"ShareName", share);
    RegCloseKey(key);
}

// A partner of the synchronised folder: a subkey of its Users key.
inline void AddFolderUser(const std::wstring& entryId, const std::wstring& address) {
    CreateRegistryKey(FolderKeyPath(entryId) + L"\\Users\\" + address);
}

// ---- The add-in's files --------------------------------------------------

// The bytes of a file by its Windows path; empty when it can't be read.
inline std::string ReadHostFile(const std::wstring& windowsPath) {
    auto path = win::HostPath(windowsPath);
    if (!path)
        return {};
    std::ifstream in(*path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// The add-in's files in the user's temp directory, m_temp: its error and
// debug logs and its data. A fixture takes this in beside its test base and
// calls StartLogs in its SetUp.
class TempFiles {
protected:
    // m_temp from the platform, and the error log there begun with a report
    // of its own: the first report of a process is the bare context, so the
    // reports under test are whole lines.
    void StartLogs() {
        ASSERT_NO_FATAL_FAILURE(FindTempDirectory());
        StartErrorLog();
    }
    void FindTempDirectory() {
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
    }
    void StartErrorLog() {
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
        LogHResult(0, "first");
    }

    // A file of the temp directory by name.
    std::string Read(const std::wstring& name) const { return ReadHostFile(m_temp + name); }
    std::string DebugLog() const { return Read(L"Quillmere_debug.log"); }
    std::string ErrorLog() const { return Read(L"Quillmere_error.log"); }
    bool DebugLogHas(const std::string& text) const {
        return DebugLog().find(text) != std::string::npos;
    }
    bool ErrorLogHas(const std::string& text) const {
        return ErrorLog().find(text) != std::string::npos;
    }

    std::wstring m_temp;
};

// ---- A profile laid by outlook-host --------------------------------------

// A machine of its own with the profile "Ann" (one personal store, the
// address ann@example.org) laid by outlook-host init, the add-in's locks and
// logs, COM, the real helper library registered, the error log started and
// the process on the virtual clock. A derived fixture makes m_engine after
// this SetUp; its TearDown stops the add-in's threads and destroys the engine
// before it calls this one.
class HostProfileTest : public ::testing::Test, public TempFiles {
protected:
    explicit HostProfileTest(const char* name) : m_name(name) {}

    void SetUp() override {
        win::SetVirtualClockForTesting(true);
        ASSERT_NO_FATAL_FAILURE(
            UseNewMachine(m_name, m_dir, "--profile Ann --address ann@example.org"));
        InitializeAddinLocks();
        logs::ResetForTesting();
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return 1; });
        ASSERT_NO_FATAL_FAILURE(StartComWithHelperLibrary());
        ASSERT_NO_FATAL_FAILURE(StartLogs());
    }
    void TearDown() override {
        CoUninitialize();
        ResetProcessState();
        std::filesystem::remove_all(m_dir);
    }

    template <class F>
    static bool WaitFor(F condition) {
        return addintest::WaitFor(condition);
    }

    const char* m_name;
    std::string m_dir;
    std::unique_ptr<CSyncEngine> m_engine;
};

}  // namespace addintest
