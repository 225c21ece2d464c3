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
#include "Quillmere/core/AddinTestSupport_test.h"
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

class ChangeKeyTest : public rdo::testing::RdoTest, public addintest::TempFiles {
protected:
    // Set by a derived fixture before SetUp runs.
    store::ChangeTracking m_tracking = store::ChangeTracking::ChangeKeys;

    void SetUp() override {
        win::SetVirtualClockForTesting(true);
        RdoTest::SetUp();
        InitializeAddinLocks();
        logs::ResetForTesting();
        ASSERT_NO_FATAL_FAILURE(StartLogs());

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

        ASSERT_NO_FATAL_FAILURE(addintest::OpenHelperSession(m_session, m_utils, m_inbox));
        SetHelperObjectCreatorForTesting(&addintest::RefuseHelperObject);
        m_engine = std::make_unique<CSyncEngine>(nullptr, nullptr);
        // The engine took the debug-log path it was given (none).
        SetDebugLogPath((m_temp + L"Quillmere_debug.log").c_str());
        addintest::MakeProcessEngine(m_engine.get(), m_temp);

        std::wstring storeId;
        ASSERT_NO_FATAL_FAILURE(addintest::FolderIds(m_inbox, m_entryId, storeId));
        auto folder = addintest::NewFolderObject(m_entryId, storeId, L"Team");
        folder->m_password = L"secret";
        folder->m_category = L"Shared";
        m_folder = addintest::StartInTable(*m_engine, std::move(folder));
        ASSERT_NE(m_folder, nullptr);

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
        RdoTest::TearDown();
        win::SetVirtualClockForTesting(false);
    }

    CItemsEvents& Sink() { return *m_folder->Sink(); }

    CComPtr<QMRMessage> NewItem(const wchar_t* subject) {
        return addintest::SaveNewMessage(m_inbox, subject);
    }
    // A save two platform seconds later than the last, so that a stamp of
    // second resolution moves too.
    void Edit(QMRMessage* message, const wchar_t* subject) {
        Sleep(2000);
        EXPECT_EQ(message->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(message->Save(), S_OK);
    }
    std::wstring SyncIdOf(QMRMessage* message) {
        std::vector<BYTE> bytes;
        EXPECT_TRUE(BinaryFromVariant(addintest::SearchKeyOf(message), bytes));
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
        return addintest::ReadHostFile(windowsPath);
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

    std::wstring m_entryId;
    CComPtr<QMRRDOSession> m_session;
    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRMAPIFolder> m_inbox;
    std::unique_ptr<CSyncEngine> m_engine;
    CFolderObj* m_folder = nullptr;  // owned by the engine's table
};

}  // namespace changekeys::testing
