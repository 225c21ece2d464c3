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
#include "Quillmere/core/AddinTestSupport_test.h"
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

// The helper library's own class-object entry point, found by SetUp.
inline addintest::GetClassObjectFn g_getClassObject = nullptr;

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
    const CLSID* clsid = addintest::HelperClassOfProgId(progId);
    if (!clsid || !g_getClassObject)
        return REGDB_E_CLASSNOTREG;
    return addintest::CreateFromClassObject(g_getClassObject, *clsid, iid, out);
}

class ExchangeFolderTest : public rdo::testing::RdoTest, public addintest::TempFiles {
protected:
    static constexpr ULONG kTagSourceKey = 0x65E00102;
    static constexpr ULONG kTagChangeKey = 0x65E20102;
    static constexpr ULONG kTagSearchKey = 0x300B0102;

    void SetUp() override {
        win::SetVirtualClockForTesting(true);
        RdoTest::SetUp();
        InitializeAddinLocks();
        logs::ResetForTesting();
        ASSERT_NO_FATAL_FAILURE(StartLogs());
        m_data = m_temp;
        rdo::ProfileDescription profile = MakeProfile(L"Ann", store::StoreKind::ExchangeMailbox);
        profile.connectionMode = kQmrConnectionOnline;
        m_profiles.Add(profile);

        g_getClassObject = addintest::HelperClassObject();
        ASSERT_NE(g_getClassObject, nullptr);
        SetHelperObjectCreatorForTesting(&CreateByProgId);

        ClearRecorder();
        ExchangeScanHooks hooks;
        hooks.queueSyncMessage = &RecordSync;
        hooks.queueDeleteMessage = &RecordDelete;
        hooks.scanStarted = &RecordScan;
        SetExchangeScanHooksForTesting(hooks);

        ASSERT_NO_FATAL_FAILURE(addintest::MakeEngine(nullptr, m_temp, m_engine));
        m_engine->SetDataPaths(m_data);
        g_pEngine = m_engine.get();

        ASSERT_NO_FATAL_FAILURE(addintest::OpenHelperSession(m_session, m_utils, m_inbox));
        ASSERT_NO_FATAL_FAILURE(addintest::FolderIds(m_inbox, m_entryId, m_storeId));
        ASSERT_NO_FATAL_FAILURE(addintest::CreateRegistryKey(FolderKeyPath()));
    }

    void TearDown() override {
        store::ClearFaults();
        m_folder.reset();
        ReleaseLock();
        g_pEngine = nullptr;
        m_engine.reset();
        SetExchangeScanHooksForTesting({});
        SetHelperObjectCreatorForTesting(nullptr);
        m_inbox.Release();
        m_utils.Release();
        m_session.Release();
        logs::ResetForTesting();
        DeleteAddinLocks();
        RdoTest::TearDown();
        win::SetVirtualClockForTesting(false);
    }

    std::wstring FolderKeyPath() const { return addintest::FolderKeyPath(m_entryId); }

    // A new folder object for the Inbox (a restart is a new object).
    std::unique_ptr<CFolderObj> MakeFolder() {
        auto folder = addintest::NewFolderObject(m_entryId, m_storeId, L"Team",
                                                 CFolderObj::kSharedFolder, true);
        folder->Sink()->m_shareName = L"Team";
        return folder;
    }

    CComPtr<QMRMessage> AddItem(const wchar_t* subject) {
        return addintest::SaveNewMessage(m_inbox, subject);
    }
    void ChangeItem(QMRMessage* message, const wchar_t* subject) {
        EXPECT_EQ(message->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(message->Save(), S_OK);
    }
    std::wstring KeyText(QMRMessage* message, ULONG tag) {
        return addintest::FieldText(m_utils, message, tag);
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
