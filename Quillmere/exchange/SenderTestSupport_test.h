// A fixture for the sync-mail builder and sender tests: a profile made with
// outlook-host init (user Ann), the real helper library, an engine over a
// fake Outlook namespace, and one synchronised folder ("Team", the Inbox,
// partner bert@example.org) whose items the tests queue.
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
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/AddinTestSupport_test.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FakeHelperLibrary_test.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/Mail2Send.h"
#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/tracking/Categories.h"
#include "platform/com/Com.h"
#include "platform/com/SafeArray.h"
#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace sendertest {

namespace fs = std::filesystem;

class SenderTest : public addintest::HostProfileTest {
protected:
    SenderTest() : HostProfileTest("qm_mailsender") {}

    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(HostProfileTest::SetUp());
        ASSERT_NO_FATAL_FAILURE(
            addintest::MakeEngine(std::make_unique<fakes::FakeOutlook>(), m_temp, m_engine));
        addintest::MakeProcessEngine(m_engine.get(), m_temp);
        CComPtr<QMRMAPIUtils> utils;
        ASSERT_EQ(CreateMAPIUtils(m_engine.get(), &utils), S_OK);
        m_engine->SetUtils(utils);

        ASSERT_EQ(m_engine->Session()->GetDefaultFolder(6, &m_inbox), S_OK);
        ASSERT_NO_FATAL_FAILURE(addintest::FolderIds(m_inbox, m_folderId, m_storeId));
        addintest::AddFolderUser(m_folderId, L"bert@example.org");
    }

    void TearDown() override {
        addintest::StopAddinThreads();
        MailSenderList.Clear();
        DelMailSenderList.Clear();
        ResetQueueFilesForTesting();
        m_inbox.Release();
        addintest::DestroyEngine(m_engine);
        DebugSwitch = false;
        HostProfileTest::TearDown();
    }

    static void LinkCategory(const std::wstring& address, const std::wstring& category) {
        addintest::CreateRegistryKey(L"Software\\Brindlecast\\Quillmere\\UserCategories\\" +
                                     address + L"\\" + category);
    }

    // A saved item of the shared folder, with categories when given.
    CComPtr<QMRMessage> NewItem(const std::wstring& subject,
                                const std::vector<std::wstring>& categories = {}) {
        CComPtr<QMRItems> items;
        EXPECT_EQ(m_inbox->GetItems(&items), S_OK);
        CComPtr<QMRMessage> item;
        EXPECT_EQ(items->Add(CComVariant(L"IPM.Note"), &item), S_OK);
        EXPECT_EQ(item->PutSubject(CComBSTR(subject)), S_OK);
        EXPECT_EQ(item->PutBody(CComBSTR(L"Body of " + subject)), S_OK);
        if (!categories.empty()) {
            ULONG tag = 0;
            EXPECT_EQ(
                m_engine->Utils()->GetIDsFromNames(item, CComBSTR(categories::kPublicStrings),
                                                   CComVariant(L"Keywords"), VARIANT_TRUE, &tag),
                S_OK);
            CComVariant list;
            list.vt = VT_ARRAY | VT_VARIANT;
            list.parray =
                SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(categories.size()));
            for (LONG i = 0; i < static_cast<LONG>(categories.size()); ++i) {
                CComVariant e(categories[static_cast<std::size_t>(i)].c_str());
                SafeArrayPutElement(list.parray, &i, &e);
            }
            EXPECT_EQ(item->SetFields(
                          CComVariant(static_cast<LONG>(tag | categories::kTypeMvString8)), list),
                      S_OK);
        }
        EXPECT_EQ(item->Save(), S_OK);
        return item;
    }

    CComVariant SearchKey(QMRMessage* item) { return addintest::SearchKeyOf(item); }
    std::wstring SyncIdText(QMRMessage* item) {
        return addintest::FieldText(m_engine->Utils(), item, addintest::kTagSearchKey);
    }

    // Queues a record of item the way the queueing of a change does.
    void Queue(QMRMessage* item, const std::wstring& password = L"",
               const std::wstring& share = L"Team", BYTE formFlag = 0) {
        CComVariant key = SearchKey(item);
        QueueSearchKey(key, password, share, formFlag);
    }
    void QueueSearchKey(CComVariant key, const std::wstring& password = L"",
                        const std::wstring& share = L"Team", BYTE formFlag = 0,
                        const std::wstring& folderId = L"") {
        CComBSTR folder(folderId.empty() ? m_folderId : folderId);
        CComBSTR store(m_storeId);
        ASSERT_TRUE(MailSenderList.Append(
            std::make_unique<CMail2Send>(&key, folder, store, password.c_str(), share.c_str(),
                                         password.size() + 1, share.size() + 1, formFlag)));
    }

    CComPtr<QMRItems> OutboxItems() {
        CComPtr<QMRMAPIFolder> outbox;
        CComPtr<QMRItems> items;
        if (SUCCEEDED(m_engine->Session()->GetDefaultFolder(4, &outbox)))
            outbox->GetItems(&items);
        return items;
    }
    LONG OutboxCount() {
        LONG count = -1;
        if (CComPtr<QMRItems> items = OutboxItems())
            items->GetCount(&count);
        return count;
    }
    CComPtr<QMRMessage> OutboxItem(LONG index) {
        CComPtr<QMRMessage> message;
        if (CComPtr<QMRItems> items = OutboxItems())
            items->Item(index, &message);
        return message;
    }
    // Puts count plain mails into the Outbox.
    void FillOutbox(int count) {
        CComPtr<QMRItems> items = OutboxItems();
        ASSERT_NE(items, nullptr);
        for (int i = 0; i < count; ++i) {
            CComPtr<QMRMessage> mail;
            ASSERT_EQ(items->Add(CComVariant(L"IPM.Note"), &mail), S_OK);
            ASSERT_EQ(mail->PutSubject(CComBSTR(L"filler " + std::to_wstring(i))), S_OK);
            ASSERT_EQ(mail->Save(), S_OK);
        }
    }

    std::size_t DebugLogCount(const std::string& text) {
        std::string log = Read(L"Quillmere_debug.log");
        std::size_t count = 0;
        for (std::size_t at = log.find(text); at != std::string::npos;
             at = log.find(text, at + text.size()))
            ++count;
        return count;
    }
    std::string HostPath(const std::wstring& windowsPath) { return *win::HostPath(windowsPath); }

    CComPtr<QMRMAPIFolder> m_inbox;
    std::wstring m_folderId;
    std::wstring m_storeId;
};

}  // namespace sendertest
