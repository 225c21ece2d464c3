// A fixture for the change-key list and own-change tests: the real helper
// library over a store made in the test (with change keys, or with
// modification times only), an engine without a helper session of its own,
// one synchronised folder (the Inbox) in its table, and a recorder in place
// of the queueing so that each test sees exactly what a check handed over.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/ItemsEvents.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/tracking/ChangeKeyList.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/store/Session.h"
#include "platform/win/Clock.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"

namespace changekeys::testing {

// What the checks handed to the queueing, in order.
struct QueueRecorder {
    std::vector<std::wstring> synced;
    std::vector<std::pair<std::wstring, std::wstring>> deleted;  // sync id, share name
    HRESULT syncResult = S_OK;
};
inline QueueRecorder& Recorded() {
    static QueueRecorder recorder;
    return recorder;
}

inline std::wstring HexText(const std::vector<BYTE>& bytes) {
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (BYTE b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

inline HRESULT RecordSync(CSyncEngine*, QMRRDOSession*, QMRMAPIUtils*, VARIANT* syncId, CFolderObj*,
                          bool) {
    std::vector<BYTE> bytes;
    EXPECT_TRUE(BinaryFromVariant(*syncId, bytes));
    Recorded().synced.push_back(HexText(bytes));
    VariantClear(syncId);
    return Recorded().syncResult;
}

inline HRESULT RecordDelete(CSyncEngine*, BSTR syncIdText, const std::wstring& shareName) {
    Recorded().deleted.emplace_back(syncIdText ? syncIdText : L"", shareName);
    SysFreeString(syncIdText);
    return S_OK;
}

class ChangeKeyTest : public rdo::testing::RdoTest {
protected:
    // Set by a derived fixture before SetUp runs.
    store::ChangeTracking m_tracking = store::ChangeTracking::ChangeKeys;

    template <class I>
    HRESULT Create(REFCLSID clsid, REFIID iid, CComPtr<I>& out) {
        using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, void**);
        // The add-in core linked into this test has a class-object entry
        // point of its own: ask the helper library's.
        HMODULE rdo = LoadLibraryW(L"P:\\QuillmereRDO.dll");
        if (!rdo)
            return E_FAIL;
        auto get = reinterpret_cast<GetClassObjectFn>(GetProcAddress(rdo, "DllGetClassObject"));
        if (!get)
            return E_FAIL;
        CComPtr<IClassFactory> factory;
        HRESULT hr = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
        if (FAILED(hr))
            return hr;
        return factory->CreateInstance(nullptr, iid, reinterpret_cast<void**>(&out));
    }

    void SetUp() override {
        RdoTest::SetUp();
        InitializeAddinLocks();
        win::SetTimeScaleForTesting(100);
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
        logs::ResetForTesting();
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
        LogHResult(0, "first");

        rdo::ProfileDescription profile = MakeProfile();
        store::StoreOptions options;
        options.kind = store::StoreKind::PersonalUnicode;
        options.tracking = m_tracking;
        options.displayName = L"Personal Folders";
        const std::string path = m_machine.User() + "/changekeys.qms";
        std::unique_ptr<store::Session> made;
        ASSERT_EQ(store::Session::Create(path, options, &made), S_OK);
        made.reset();
        profile.stores = {{path, true}};
        m_profiles.Add(profile);

        ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, m_session), S_OK);
        ASSERT_EQ(Logon(m_session), S_OK);
        ASSERT_EQ(Create(CLSID_QMRMAPIUtils, IID_QMRMAPIUtils, m_utils), S_OK);
        ASSERT_EQ(m_session->GetDefaultFolder(6, &m_inbox), S_OK);
        SetHelperObjectCreatorForTesting([](const wchar_t*, REFIID, void** out) -> HRESULT {
            return *out = nullptr, REGDB_E_CLASSNOTREG;
        });
        m_engine = std::make_unique<CSyncEngine>(nullptr, nullptr);
        m_engine->SetDataPaths(m_temp);
        // The engine took the debug-log path it was given (none).
        SetDebugLogPath((m_temp + L"Quillmere_debug.log").c_str());
        DebugSwitch = true;
        g_pEngine = m_engine.get();

        CComBSTR entryId, storeId;
        ASSERT_EQ(m_inbox->GetEntryID(&entryId), S_OK);
        ASSERT_EQ(m_inbox->GetStoreID(&storeId), S_OK);
        m_entryId = std::wstring(entryId);
        auto folder = std::make_unique<CFolderObj>(nullptr, CFolderObj::kSharedFolder, false,
                                                   m_entryId, std::wstring(storeId));
        folder->m_shareName = L"Team";
        folder->m_password = L"secret";
        folder->m_category = L"Shared";
        folder->Start();
        m_folder = folder.get();
        ASSERT_TRUE(m_engine->AppendFolder(folder.release()));

        Recorded() = QueueRecorder();
        SetChangeQueueProcsForTesting({&RecordSync, &RecordDelete});
        ResetFirstFolderCheckForTesting();
    }

    void TearDown() override {
        SetChangeQueueProcsForTesting({});
        SetActiveReminderProc(nullptr);
        m_engine.reset();
        g_pEngine = nullptr;
        SetHelperObjectCreatorForTesting(nullptr);
        m_inbox.Release();
        m_utils.Release();
        m_session.Release();
        logs::ResetForTesting();
        DeleteAddinLocks();
        win::SetTimeScaleForTesting(1);
        RdoTest::TearDown();
    }

    CItemsEvents& Sink() { return *m_folder->Sink(); }

    CComPtr<QMRMessage> NewItem(const wchar_t* subject) {
        CComPtr<QMRItems> items;
        EXPECT_EQ(m_inbox->GetItems(&items), S_OK);
        CComPtr<QMRMessage> message;
        EXPECT_EQ(items->Add(CComVariant(L"IPM.Note"), &message), S_OK);
        EXPECT_EQ(message->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(message->Save(), S_OK);
        return message;
    }
    // A save two platform seconds later than the last, so that a stamp of
    // second resolution moves too.
    void Edit(QMRMessage* message, const wchar_t* subject) {
        Sleep(2000);
        EXPECT_EQ(message->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(message->Save(), S_OK);
    }
    std::wstring SyncIdOf(QMRMessage* message) {
        CComVariant key;
        EXPECT_EQ(message->GetFields(CComVariant(LONG(0x300B0102)), &key), S_OK);
        std::vector<BYTE> bytes;
        EXPECT_TRUE(BinaryFromVariant(key, bytes));
        return HexText(bytes);
    }
    // The listed value of a key, or "<absent>".
    std::wstring ValueOf(const std::wstring& key) {
        for (const ChangeKeyEntry& entry : Sink().ChangeKeylistEntries())
            if (entry.key == key)
                return entry.value;
        return L"<absent>";
    }

    std::string HostFile(const std::wstring& windowsPath) {
        std::ifstream in(*win::HostPath(windowsPath), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool HostFileExists(const std::wstring& windowsPath) {
        std::ifstream in(*win::HostPath(windowsPath), std::ios::binary);
        return in.good();
    }
    void WriteHostFile(const std::wstring& windowsPath, const std::string& bytes) {
        std::ofstream out(*win::HostPath(windowsPath), std::ios::binary);
        out << bytes;
    }
    std::wstring KeysPath() { return m_temp + m_entryId + L".keys.ids"; }
    std::wstring ValuesPath() { return m_temp + m_entryId + L".values.ids"; }
    std::string ErrorLog() { return HostFile(m_temp + L"Quillmere_error.log"); }
    std::string DebugLog() { return HostFile(m_temp + L"Quillmere_debug.log"); }

    std::wstring m_temp;
    std::wstring m_entryId;
    CComPtr<QMRRDOSession> m_session;
    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRMAPIFolder> m_inbox;
    std::unique_ptr<CSyncEngine> m_engine;
    CFolderObj* m_folder = nullptr;  // owned by the engine's table
};

}  // namespace changekeys::testing
