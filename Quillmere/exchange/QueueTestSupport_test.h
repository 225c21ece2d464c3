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
#include "Quillmere/core/AddinTestSupport_test.h"
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

class QueueTest : public rdo::testing::RdoTest, public addintest::TempFiles {
protected:
    static constexpr LONG kOutbox = 4;
    static constexpr LONG kInbox = 6;
    static constexpr ULONG kPrSearchKey = addintest::kTagSearchKey;
    static constexpr ULONG kPrSensitivity = 0x00360003;
    static constexpr ULONG kPrDisplayToW = 0x0E04001F;

    void SetUp() override {
        win::SetVirtualClockForTesting(true);
        RdoTest::SetUp();
        InitializeAddinLocks();
        logs::ResetForTesting();
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return 1; });
        ASSERT_NO_FATAL_FAILURE(StartLogs());
        m_profiles.Add(MakeProfile());
        ASSERT_EQ(addintest::RegisterHelperLibrary(), S_OK);
        auto outlook = std::make_unique<fakes::FakeOutlook>();
        m_outlook = outlook.get();
        ASSERT_NO_FATAL_FAILURE(addintest::MakeEngine(std::move(outlook), m_temp, m_engine));
        m_engine->SetSettingsTextPath(m_temp + L"Quillmere_settings.txt");
        addintest::MakeProcessEngine(m_engine.get(), m_temp);
        ASSERT_EQ(CreateMAPIUtils(m_engine.get(), &m_utils), S_OK);
        ASSERT_EQ(Session()->GetDefaultFolder(kInbox, &m_inbox), S_OK);
        ASSERT_NO_FATAL_FAILURE(addintest::FolderIds(m_inbox, m_inboxId, m_storeId));
    }

    void TearDown() override {
        MailSenderList.Clear();
        DelMailSenderList.Clear();
        ResetQueueFilesForTesting();
        g_pEngine = nullptr;
        m_inbox.Release();
        m_utils.Release();
        m_engine.reset();
        addintest::ResetProcessState();
        RdoTest::TearDown();
    }

    QMRRDOSession* Session() const { return m_engine->Session(); }

    // A shared folder entry over the Inbox, started, owned by the engine's
    // table.
    CFolderObj* AddInboxFolder(const std::wstring& shareName = L"Team",
                               const std::wstring& password = L"secret") {
        auto folder = addintest::NewFolderObject(m_inboxId, m_storeId, shareName);
        folder->Sink()->m_shareName = shareName;
        folder->m_password = password;
        CFolderObj* raw = addintest::StartInTable(*m_engine, std::move(folder));
        EXPECT_NE(raw, nullptr);
        return raw;
    }

    // A saved message in folder (the Inbox by default).
    CComPtr<QMRMessage> NewMessage(const wchar_t* subject,
                                   const wchar_t* messageClass = L"IPM.Note",
                                   QMRMAPIFolder* folder = nullptr) {
        return addintest::SaveNewMessage(folder ? folder : m_inbox.p, subject, messageClass);
    }

    static void SetField(QMRMessage* message, const VARIANT& property, const VARIANT& value) {
        EXPECT_EQ(message->SetFields(property, value), S_OK);
    }
    static void SetTag(QMRMessage* message, ULONG tag, const VARIANT& value) {
        SetField(message, CComVariant(static_cast<LONG>(tag)), value);
    }

    static CComVariant SearchKey(QMRMessage* message) { return addintest::SearchKeyOf(message); }
    std::wstring SearchKeyText(QMRMessage* message) {
        return addintest::FieldText(m_utils, message, kPrSearchKey);
    }

    fakes::FakeOutlook* m_outlook = nullptr;
    std::unique_ptr<CSyncEngine> m_engine;
    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRMAPIFolder> m_inbox;
    std::wstring m_inboxId;
    std::wstring m_storeId;
};
