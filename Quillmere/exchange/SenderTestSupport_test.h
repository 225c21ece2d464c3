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

class SenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/qm_mailsender_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
        std::string init = std::string(QM_BINARY_DIR "/bin/outlook-host init ") + m_dir +
                           " --profile Ann --address ann@example.org >/dev/null";
        ASSERT_EQ(std::system(init.c_str()), 0);
        win::SetUserDirectory(m_dir);
        win::SetInstallDirectory(QM_BINARY_DIR "/bin");
        InitializeAddinLocks();
        logs::ResetForTesting();
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return 1; });
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        HMODULE rdo = LoadLibraryW(L"P:\\QuillmereRDO.dll");
        ASSERT_NE(rdo, nullptr);
        auto registerServer =
            reinterpret_cast<DllRegisterServerFn>(GetProcAddress(rdo, "DllRegisterServer"));
        ASSERT_NE(registerServer, nullptr);
        ASSERT_EQ(registerServer(), S_OK);

        wchar_t temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        m_temp = temp;
        SetErrorLogPath((m_temp + L"Quillmere_error.log").c_str());
        LogHResult(0, "first");
        win::SetTimeScaleForTesting(1000);
        m_engine = std::make_unique<CSyncEngine>(std::make_unique<fakes::FakeOutlook>(),
                                                 (m_temp + L"Quillmere_debug.log").c_str());
        ASSERT_NE(m_engine->Session(), nullptr);
        m_engine->SetDataPaths(m_temp);
        DebugSwitch = true;
        g_pEngine = m_engine.get();
        CComPtr<QMRMAPIUtils> utils;
        ASSERT_EQ(CreateMAPIUtils(m_engine.get(), &utils), S_OK);
        m_engine->SetUtils(utils);

        ASSERT_EQ(m_engine->Session()->GetDefaultFolder(6, &m_inbox), S_OK);
        CComBSTR entryId, storeId;
        ASSERT_EQ(m_inbox->GetEntryID(&entryId), S_OK);
        ASSERT_EQ(m_inbox->GetStoreID(&storeId), S_OK);
        m_folderId = std::wstring(entryId);
        m_storeId = std::wstring(storeId);
        AddUser(m_folderId, L"bert@example.org");
    }

    void TearDown() override {
        StopFlag = true;
        EXPECT_TRUE(WaitFor([] { return GetRunningThreadCount() == 0; }));
        SetExchangeThreadProcs({});
        MailSenderList.Clear();
        DelMailSenderList.Clear();
        m_inbox.Release();
        g_pEngine = nullptr;
        m_engine.reset();
        StopFlag = false;
        DebugSwitch = false;
        win::SetTimeScaleForTesting(1);
        win::SetMessageBoxHandler({});
        CoUninitialize();
        DeleteAddinLocks();
        logs::ResetForTesting();
        fs::remove_all(m_dir);
    }

    static void CreateKey(const std::wstring& path) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void AddUser(const std::wstring& entryId, const std::wstring& address) {
        CreateKey(std::wstring(kFoldersKeyPath) + L"\\" + entryId + L"\\Users\\" + address);
    }
    static void LinkCategory(const std::wstring& address, const std::wstring& category) {
        CreateKey(L"Software\\Brindlecast\\Quillmere\\UserCategories\\" + address + L"\\" +
                  category);
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

    CComVariant SearchKey(QMRMessage* item) {
        CComVariant value;
        EXPECT_EQ(item->GetFields(CComVariant(LONG(0x300B0102)), &value), S_OK);
        return value;
    }
    std::wstring SyncIdText(QMRMessage* item) {
        CComBSTR text;
        EXPECT_EQ(m_engine->Utils()->BinaryToText(SearchKey(item), &text), S_OK);
        return std::wstring(text);
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

    // Waits up to 10 real seconds.
    template <class F>
    static bool WaitFor(F condition) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!condition() && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return condition();
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
    std::size_t DebugLogCount(const std::string& text) {
        std::string log = Read(L"Quillmere_debug.log");
        std::size_t count = 0;
        for (std::size_t at = log.find(text); at != std::string::npos;
             at = log.find(text, at + text.size()))
            ++count;
        return count;
    }
    std::string HostPath(const std::wstring& windowsPath) { return *win::HostPath(windowsPath); }

    std::string m_dir;
    std::wstring m_temp;
    std::unique_ptr<CSyncEngine> m_engine;
    CComPtr<QMRMAPIFolder> m_inbox;
    std::wstring m_folderId;
    std::wstring m_storeId;
};

}  // namespace sendertest
