// A fixture over the real helper library for the queueing and outbox tests:
// a throw-away machine with the profile "Ann" (one personal store, two
// accounts, Bert Brown in the address book), the library registered by its
// ProgIDs, an engine over a fake Outlook whose helper session is logged on
// to that profile, and the test thread's own utilities object.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FakeHelperLibrary_test.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/SendQueues.h"
#include "platform/com/Bstr.h"
#include "platform/com/Com.h"
#include "platform/com/Variant.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/win/Clock.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"

class QueueTest : public rdo::testing::RdoTest {
protected:
    static constexpr LONG kOutbox = 4;
    static constexpr LONG kInbox = 6;
    static constexpr ULONG kPrSearchKey = 0x300B0102;
    static constexpr ULONG kPrSensitivity = 0x00360003;
    static constexpr ULONG kPrDisplayToW = 0x0E04001F;

    void SetUp() override {
        RdoTest::SetUp();
        InitializeAddinLocks();
        logs::ResetForTesting();
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return 1; });
        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
        LogHResult(0, "first");
        m_profiles.Add(MakeProfile());
        HMODULE rdo = LoadLibraryW(L"P:\\QuillmereRDO.dll");
        ASSERT_NE(rdo, nullptr);
        auto registerServer =
            reinterpret_cast<DllRegisterServerFn>(GetProcAddress(rdo, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);
        win::SetTimeScaleForTesting(1000);
        auto outlook = std::make_unique<fakes::FakeOutlook>();
        m_outlook = outlook.get();
        m_engine = std::make_unique<CSyncEngine>(std::move(outlook),
                                                 (m_temp + L"Quillmere_debug.log").c_str());
        ASSERT_NE(m_engine->Session(), nullptr);
        m_engine->SetDataPaths(m_temp);
        m_engine->SetSettingsTextPath(m_temp + L"Quillmere_settings.txt");
        DebugSwitch = true;
        g_pEngine = m_engine.get();
        ASSERT_EQ(CreateMAPIUtils(m_engine.get(), &m_utils), S_OK);
        ASSERT_EQ(Session()->GetDefaultFolder(kInbox, &m_inbox), S_OK);
        CComBSTR entryId, storeId;
        ASSERT_EQ(m_inbox->GetEntryID(&entryId), S_OK);
        ASSERT_EQ(m_inbox->GetStoreID(&storeId), S_OK);
        m_inboxId = std::wstring(entryId);
        m_storeId = std::wstring(storeId);
    }

    void TearDown() override {
        MailSenderList.Clear();
        DelMailSenderList.Clear();
        g_pEngine = nullptr;
        m_inbox.Release();
        m_utils.Release();
        m_engine.reset();
        StopFlag = false;
        win::SetTimeScaleForTesting(1);
        win::SetMessageBoxHandler({});
        DeleteAddinLocks();
        logs::ResetForTesting();
        RdoTest::TearDown();
    }

    QMRRDOSession* Session() const { return m_engine->Session(); }

    // A shared folder entry over the Inbox, started, owned by the engine's
    // table.
    CFolderObj* AddInboxFolder(const std::wstring& shareName = L"Team",
                               const std::wstring& password = L"secret") {
        auto folder = std::make_unique<CFolderObj>(nullptr, CFolderObj::kSharedFolder, false,
                                                   m_inboxId, m_storeId);
        folder->m_shareName = shareName;
        folder->Sink()->m_shareName = shareName;
        folder->m_password = password;
        folder->Start();
        CFolderObj* raw = folder.get();
        EXPECT_TRUE(m_engine->AppendFolder(folder.release()));
        return raw;
    }

    // A saved message in folder (the Inbox by default).
    CComPtr<QMRMessage> NewMessage(const wchar_t* subject,
                                   const wchar_t* messageClass = L"IPM.Note",
                                   QMRMAPIFolder* folder = nullptr) {
        CComPtr<QMRItems> items;
        EXPECT_EQ((folder ? folder : m_inbox.p)->GetItems(&items), S_OK);
        CComPtr<QMRMessage> message;
        EXPECT_EQ(items->Add(CComVariant(messageClass), &message), S_OK);
        EXPECT_EQ(message->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(message->Save(), S_OK);
        return message;
    }

    static void SetField(QMRMessage* message, const VARIANT& property, const VARIANT& value) {
        EXPECT_EQ(message->SetFields(property, value), S_OK);
    }
    static void SetTag(QMRMessage* message, ULONG tag, const VARIANT& value) {
        SetField(message, CComVariant(static_cast<LONG>(tag)), value);
    }

    static CComVariant SearchKey(QMRMessage* message) {
        CComVariant value;
        EXPECT_EQ(message->GetFields(CComVariant(static_cast<LONG>(kPrSearchKey)), &value), S_OK);
        return value;
    }
    std::wstring SearchKeyText(QMRMessage* message) {
        CComBSTR text;
        EXPECT_EQ(m_utils->BinaryToText(SearchKey(message), &text), S_OK);
        return text ? std::wstring(text) : L"";
    }

    std::string Read(const std::wstring& name) {
        std::ifstream in(*win::HostPath(m_temp + name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    bool DebugLogHas(const std::string& text) {
        return Read(L"Quillmere_debug.log").find(text) != std::string::npos;
    }
    bool ErrorLogHas(const std::string& text) {
        return Read(L"Quillmere_error.log").find(text) != std::string::npos;
    }

    std::wstring m_temp;
    fakes::FakeOutlook* m_outlook = nullptr;
    std::unique_ptr<CSyncEngine> m_engine;
    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRMAPIFolder> m_inbox;
    std::wstring m_inboxId;
    std::wstring m_storeId;
};
