// A fixture for the Exchange change tracking over the real helper library:
// a profile with one Exchange mailbox made in the test, an engine attached to
// it, the Inbox as the synchronised folder "Team", and a recorder in place of
// the queueing of a change.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/tracking/ExchangeFolderThread.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/store/Faults.h"
#include "platform/win/Clock.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Power.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace exchangetest {

using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
inline GetClassObjectFn g_getClassObject = nullptr;

// What the scans handed over, in order; filled on the scanning thread.
struct Recorder {
    std::mutex lock;
    std::vector<std::wstring> queued;   // sync id texts of QueueSyncMessage
    std::vector<std::wstring> deleted;  // sync id texts of QueueDeleteMessage
    std::vector<std::wstring> deletedShares;
    std::vector<EXECUTION_STATE> statesWhileQueueing;
    std::vector<DWORD> scanTicks;
};
inline Recorder g_recorder;

inline HRESULT RecordSync(CSyncEngine*, QMRRDOSession*, QMRMAPIUtils* utils, VARIANT* syncId,
                          CFolderObj*, bool) {
    CComBSTR text;
    utils->BinaryToText(*syncId, &text);
    VariantClear(syncId);
    std::lock_guard<std::mutex> hold(g_recorder.lock);
    g_recorder.queued.emplace_back(text.View());
    g_recorder.statesWhileQueueing.push_back(win::ProcessExecutionStateForTesting());
    return S_OK;
}
inline HRESULT RecordDelete(CSyncEngine*, BSTR syncIdText, const std::wstring& shareName) {
    std::lock_guard<std::mutex> hold(g_recorder.lock);
    g_recorder.deleted.emplace_back(syncIdText ? syncIdText : L"");
    g_recorder.deletedShares.push_back(shareName);
    SysFreeString(syncIdText);
    return S_OK;
}
inline void RecordScan(CFolderObj*) {
    std::lock_guard<std::mutex> hold(g_recorder.lock);
    g_recorder.scanTicks.push_back(GetTickCount());
}

// Helper objects by ProgID, answered by the helper library's class factory.
inline HRESULT CreateByProgId(const wchar_t* progId, REFIID iid, void** out) {
    const CLSID* clsid = nullptr;
    if (std::wstring(progId) == L"QuillmereRDOx.QMRRDOSession")
        clsid = &CLSID_QMRRDOSession;
    else if (std::wstring(progId) == L"QuillmereRDOx.QMRMAPIUtils")
        clsid = &CLSID_QMRMAPIUtils;
    else if (std::wstring(progId) == L"QuillmereRDOx.QMRMAPITable")
        clsid = &CLSID_QMRMAPITable;
    if (!clsid || !g_getClassObject)
        return REGDB_E_CLASSNOTREG;
    CComPtr<IClassFactory> factory;
    HRESULT hr = g_getClassObject(*clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(nullptr, iid, out);
}

class ExchangeFolderTest : public rdo::testing::RdoTest {
protected:
    static constexpr ULONG kTagSourceKey = 0x65E00102;
    static constexpr ULONG kTagChangeKey = 0x65E20102;
    static constexpr ULONG kTagSearchKey = 0x300B0102;

    template <class I>
    HRESULT CreateObject(REFCLSID clsid, REFIID iid, CComPtr<I>& out) {
        CComPtr<IClassFactory> factory;
        HRESULT hr = g_getClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        if (FAILED(hr))
            return hr;
        return factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&out));
    }

    void SetUp() override {
        RdoTest::SetUp();
        // Fast enough that a folder thread notices its end within 50 ms.
        win::SetTimeScaleForTesting(20);
        InitializeAddinLocks();
        logs::ResetForTesting();
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
        m_data = m_temp;
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
        LogHResult(0, "first");
        rdo::ProfileDescription profile = MakeProfile(L"Ann", store::StoreKind::ExchangeMailbox);
        profile.connectionMode = kQmrConnectionOnline;
        m_profiles.Add(profile);

        HMODULE rdo = LoadLibraryW(L"P:\\QuillmereRDO.dll");
        ASSERT_NE(rdo, nullptr);
        g_getClassObject =
            reinterpret_cast<GetClassObjectFn>(GetProcAddress(rdo, "DllGetClassObject"));
        ASSERT_NE(g_getClassObject, nullptr);
        SetHelperObjectCreatorForTesting(&CreateByProgId);

        {
            std::lock_guard<std::mutex> hold(g_recorder.lock);
            g_recorder.queued.clear();
            g_recorder.deleted.clear();
            g_recorder.deletedShares.clear();
            g_recorder.statesWhileQueueing.clear();
            g_recorder.scanTicks.clear();
        }
        ExchangeScanHooks hooks;
        hooks.queueSyncMessage = &RecordSync;
        hooks.queueDeleteMessage = &RecordDelete;
        hooks.scanStarted = &RecordScan;
        SetExchangeScanHooksForTesting(hooks);

        m_engine =
            std::make_unique<CSyncEngine>(nullptr, (m_temp + L"Quillmere_debug.log").c_str());
        ASSERT_NE(m_engine->Session(), nullptr);
        m_engine->SetDataPaths(m_data);
        g_pEngine = m_engine.get();

        ASSERT_EQ(CreateObject(CLSID_QMRRDOSession, IID_QMRRDOSession, m_session), S_OK);
        ASSERT_EQ(Logon(m_session), S_OK);
        ASSERT_EQ(CreateObject(CLSID_QMRMAPIUtils, IID_QMRMAPIUtils, m_utils), S_OK);
        ASSERT_EQ(m_session->GetDefaultFolder(6, &m_inbox), S_OK);
        CComBSTR entryId, storeId;
        ASSERT_EQ(m_inbox->GetEntryID(&entryId), S_OK);
        ASSERT_EQ(m_inbox->GetStoreID(&storeId), S_OK);
        m_entryId = entryId.View();
        m_storeId = storeId.View();
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, FolderKeyPath().c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    void TearDown() override {
        store::ClearFaults();
        m_folder.reset();
        ReleaseLock();
        g_pEngine = nullptr;
        m_engine.reset();
        SetExchangeScanHooksForTesting({});
        SetHelperObjectCreatorForTesting(nullptr);
        win::SetTimeScaleForTesting(1);
        m_inbox.Release();
        m_utils.Release();
        m_session.Release();
        logs::ResetForTesting();
        DeleteAddinLocks();
        RdoTest::TearDown();
    }

    std::wstring FolderKeyPath() const { return std::wstring(kFoldersKeyPath) + L"\\" + m_entryId; }

    // A new folder object for the Inbox (a restart is a new object).
    std::unique_ptr<CFolderObj> MakeFolder() {
        auto folder = std::make_unique<CFolderObj>(nullptr, CFolderObj::kSharedFolder, true,
                                                   m_entryId, m_storeId);
        folder->m_shareName = L"Team";
        folder->Sink()->m_shareName = L"Team";
        return folder;
    }

    CComPtr<QMRMessage> AddItem(const wchar_t* subject) {
        CComPtr<QMRItems> items;
        EXPECT_EQ(m_inbox->GetItems(&items), S_OK);
        CComPtr<QMRMessage> message;
        EXPECT_EQ(items->Add(CComVariant(L"IPM.Note"), &message), S_OK);
        EXPECT_EQ(message->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(message->Save(), S_OK);
        return message;
    }
    void ChangeItem(QMRMessage* message, const wchar_t* subject) {
        EXPECT_EQ(message->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(message->Save(), S_OK);
    }
    std::wstring KeyText(QMRMessage* message, ULONG tag) {
        CComVariant value;
        EXPECT_EQ(message->GetFields(CComVariant(static_cast<LONG>(tag)), &value), S_OK);
        CComBSTR text;
        EXPECT_EQ(m_utils->BinaryToText(value, &text), S_OK);
        return std::wstring(text.View());
    }
    std::wstring SyncId(QMRMessage* message) { return KeyText(message, kTagSearchKey); }

    // The host path of a state file of the folder.
    std::string StateFile(const wchar_t* suffix) {
        return *win::HostPath(m_data + m_entryId + suffix);
    }
    std::string ReadBytes(const wchar_t* suffix) {
        std::ifstream in(StateFile(suffix), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool FileExists(const wchar_t* suffix) { return std::ifstream(StateFile(suffix)).good(); }
    void WriteBytes(const wchar_t* suffix, const std::string& bytes) {
        std::ofstream(StateFile(suffix), std::ios::binary) << bytes;
    }
    void RemoveFile(const wchar_t* suffix) { std::remove(StateFile(suffix).c_str()); }

    // LastFolderSyncTime as stored, or -1 when there is none.
    double StoredLastSyncTime() {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, FolderKeyPath().c_str(), 0, KEY_READ, &key) !=
            ERROR_SUCCESS)
            return -1;
        BYTE bytes[8] = {};
        DWORD type = 0, size = sizeof bytes;
        LSTATUS status = RegQueryValueExW(key, L"LastFolderSyncTime", nullptr, &type, bytes, &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS || type != REG_BINARY || size != 8)
            return -1;
        double value = 0;
        std::memcpy(&value, bytes, sizeof value);
        return value;
    }
    void StoreLastSyncTime(double value) {
        HKEY key = nullptr;
        ASSERT_EQ(
            RegOpenKeyExW(HKEY_CURRENT_USER, FolderKeyPath().c_str(), 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
        BYTE bytes[8];
        std::memcpy(bytes, &value, sizeof bytes);
        ASSERT_EQ(RegSetValueExW(key, L"LastFolderSyncTime", 0, REG_BINARY, bytes, 8),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }

    std::vector<std::wstring> Queued() {
        std::lock_guard<std::mutex> hold(g_recorder.lock);
        return g_recorder.queued;
    }
    std::vector<std::wstring> Deleted() {
        std::lock_guard<std::mutex> hold(g_recorder.lock);
        return g_recorder.deleted;
    }
    void ClearRecorder() {
        std::lock_guard<std::mutex> hold(g_recorder.lock);
        g_recorder.queued.clear();
        g_recorder.deleted.clear();
        g_recorder.deletedShares.clear();
        g_recorder.statesWhileQueueing.clear();
        g_recorder.scanTicks.clear();
    }

    // A started folder whose first load ran (the baseline: a reset scan),
    // scanned from the test's thread. FolderCheckLock is held by the test so
    // that the folder's own thread never scans meanwhile.
    CFolderObj* StartedFolder() NO_THREAD_SAFETY_ANALYSIS {
        EnterCriticalSection(&FolderCheckLock);
        m_holdsLock = true;
        m_folder = MakeFolder();
        m_folder->Start();
        return m_folder.get();
    }
    void ReleaseLock() NO_THREAD_SAFETY_ANALYSIS {
        if (m_holdsLock) {
            m_holdsLock = false;
            LeaveCriticalSection(&FolderCheckLock);
        }
    }

    std::string ErrorLog() {
        std::ifstream in(*win::HostPath(m_temp + L"Quillmere_error.log"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    std::wstring m_temp;
    std::wstring m_data;
    std::wstring m_entryId;
    std::wstring m_storeId;
    std::unique_ptr<CSyncEngine> m_engine;
    CComPtr<QMRRDOSession> m_session;
    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRMAPIFolder> m_inbox;
    std::unique_ptr<CFolderObj> m_folder;
    bool m_holdsLock = false;
};

}  // namespace exchangetest
