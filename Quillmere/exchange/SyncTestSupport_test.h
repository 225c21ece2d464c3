// A fixture for the receiving side's tests: the real helper library
// (registered), two profiles made in the test — "Ann", opened by the object
// model stand-in and the engine, whose Contacts folder is shared as "Team"
// with the password "pw", and "Bert", a partner whose items are packed into
// sync mails exactly as a sending add-in packs them.
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Quillmere/cabinet/Compress.h"
#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/AddinTestSupport_test.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/OutlookNamespaceAccess.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/exchange/SyncMailFormat.h"
#include "Quillmere/resources/LoadString.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/win/Clock.h"
#include "platform/win/Files.h"
#include "platform/win/MessageBox.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace synctest {

constexpr LONG kContactsFolder = 10;
constexpr LONG kJournalFolder = 11;
constexpr LONG kInboxFolder = 6;
constexpr LONG kNotesFolder = 12;
constexpr ULONG kTagSearchKey = 0x300B0102;
constexpr ULONG kTagHtml = 0x10130102;

struct MailOptions {
    // Name of the cabinet file and of the attachment; null: no attachment.
    const wchar_t* attachmentName = L"sync.zuf";
    // Cut the cabinet in half before attaching it.
    bool damageCabinet = false;
    // The item file's name in the cabinet, and a second file packed beside
    // it under extraStoredName (null: none).
    const wchar_t* storedName = L"sync.msg";
    const wchar_t* extraStoredName = nullptr;
    // Packed as the item file instead of the item's message file.
    const char* itemFileBytes = nullptr;
    // How long ago the mail arrived.
    double ageDays = 0;
    // The sync id text the body names; null: the item's own.
    const wchar_t* bodySyncId = nullptr;
};

class ImportTest : public rdo::testing::RdoTest, public addintest::TempFiles {
protected:
    void SetUp() override {
        // The folder threads of the shares poll: on the virtual clock their
        // waits take no real time.
        win::SetVirtualClockForTesting(true);
        RdoTest::SetUp();
        InitializeAddinLocks();
        logs::ResetForTesting();
        win::SetMessageBoxHandler([](const win::MessageBoxCall&) { return 1; });
        ASSERT_EQ(addintest::RegisterHelperLibrary(), S_OK);
        ASSERT_NO_FATAL_FAILURE(FindTempDirectory());
        CreateDirectoryW(m_temp.c_str(), nullptr);
        StartErrorLog();

        rdo::ProfileDescription ann = MakeProfile(L"Ann");
        rdo::ProfileDescription bert = MakeProfile(L"Bert");
        const std::string annStore = ann.stores.front().hostPath;
        m_profiles.Add(ann);
        m_profiles.Add(bert, false);

        outlook::ApplicationOptions options;
        options.profile.profileName = L"Ann";
        options.profile.stores.push_back({annStore, true});
        options.version = L"10.0.6626";  // ready at once
        options.ui = m_ui;
        ASSERT_EQ(outlook::OutlookApplication::Create(options, &m_app), S_OK);
        ASSERT_NO_FATAL_FAILURE(addintest::MakeEngine(
            std::make_unique<COutlookNamespaceAccess>(m_app->NameSpace()), m_temp, m_engine));
        addintest::MakeProcessEngine(m_engine.get(), m_temp);
        ASSERT_EQ(CreateMAPIUtils(m_engine.get(), &m_utils), S_OK);

        ASSERT_EQ(CreateHelperSession(&m_bert), S_OK);
        ASSERT_EQ(m_bert->Logon(CComVariant(L"Bert"), CComVariant(), CComVariant(), CComVariant(),
                                CComVariant(), CComVariant()),
                  S_OK);
        AddShare(L"Team", L"pw");
        CreateDirectoryW(L"C:\\out", nullptr);
    }

    void TearDown() override {
        addintest::StopAddinThreads();
        g_pEngine = nullptr;
        m_bert.Release();
        m_utils.Release();
        m_engine.reset();
        m_app.reset();
        DebugSwitch = false;
        ResetQueueFilesForTesting();
        addintest::ResetProcessState();
        RdoTest::TearDown();
    }

    template <class F>
    static bool WaitFor(F condition) {
        return addintest::WaitFor(condition);
    }

    // Shares one of Ann's default folders (her Contacts unless told) once
    // more under that name.
    void AddShare(const wchar_t* share, const wchar_t* password, LONG kind = kContactsFolder) {
        CComPtr<QMRMAPIFolder> folder = DefaultFolder(m_engine->Session(), kind);
        ASSERT_TRUE(folder);
        std::wstring entryId, storeId;
        ASSERT_NO_FATAL_FAILURE(addintest::FolderIds(folder, entryId, storeId));
        auto object = addintest::NewFolderObject(entryId, storeId, share);
        object->m_password = password;
        ASSERT_NE(addintest::StartInTable(*m_engine, std::move(object)), nullptr);
    }

    CComPtr<QMRMAPIFolder> DefaultFolder(QMRRDOSession* session, LONG kind) {
        CComPtr<QMRMAPIFolder> folder;
        EXPECT_EQ(session->GetDefaultFolder(kind, &folder), S_OK);
        return folder;
    }
    CComPtr<QMRMAPIFolder> TargetFolder() {
        return DefaultFolder(m_engine->Session(), kContactsFolder);
    }
    CComPtr<QMRMAPIFolder> JournalFolder() {
        return DefaultFolder(m_engine->Session(), kJournalFolder);
    }
    CComPtr<QMRMAPIFolder> InboxFolder() {
        return DefaultFolder(m_engine->Session(), kInboxFolder);
    }
    CComPtr<QMRMAPIFolder> AddinFolder() {
        CComPtr<QMRMAPIFolder> folder;
        EXPECT_EQ(m_engine->FindOrCreateAddinFolder(m_engine->Session(), m_utils, &folder), S_OK);
        return folder;
    }

    static CComPtr<QMRMessage> NewItem(QMRMAPIFolder* folder, const wchar_t* messageClass,
                                       const wchar_t* subject) {
        return addintest::SaveNewMessage(folder, subject, messageClass);
    }
    CComPtr<QMRMessage> AnnItem(const wchar_t* subject) {
        return NewItem(TargetFolder(), L"IPM.Contact", subject);
    }
    CComPtr<QMRMessage> BertItem(const wchar_t* subject) {
        return NewItem(DefaultFolder(m_bert, kContactsFolder), L"IPM.Contact", subject);
    }

    static LONG FolderCount(QMRMAPIFolder* folder) {
        CComPtr<QMRItems> items;
        LONG count = -1;
        if (folder && SUCCEEDED(folder->GetItems(&items)) && items)
            items->GetCount(&count);
        return count;
    }
    static CComPtr<QMRMessage> FolderItem(QMRMAPIFolder* folder, LONG index) {
        CComPtr<QMRItems> items;
        CComPtr<QMRMessage> item;
        if (folder && SUCCEEDED(folder->GetItems(&items)) && items)
            items->Item(index, &item);
        return item;
    }
    static void ClearFolder(QMRMAPIFolder* folder) {
        for (LONG n = FolderCount(folder); n > 0; --n)
            FolderItem(folder, n)->Delete(0);
    }
    void ClearTarget() { ClearFolder(TargetFolder()); }
    CComPtr<QMRMessage> TargetItem(LONG index) { return FolderItem(TargetFolder(), index); }
    std::vector<std::wstring> TargetSubjects() {
        std::vector<std::wstring> subjects;
        CComPtr<QMRMAPIFolder> folder = TargetFolder();
        for (LONG i = 1; i <= FolderCount(folder); ++i)
            subjects.push_back(Subject(FolderItem(folder, i)));
        return subjects;
    }

    static std::wstring Subject(QMRMessage* message) {
        CComBSTR subject;
        if (message)
            message->GetSubject(&subject);
        return subject ? std::wstring(subject) : std::wstring();
    }
    static std::wstring EntryId(QMRMessage* message) {
        CComBSTR id;
        message->GetEntryID(&id);
        return id ? std::wstring(id) : std::wstring();
    }
    static std::wstring Html(QMRMessage* message) {
        CComVariant value;
        message->GetFields(CComVariant(static_cast<LONG>(kTagHtml), VT_I4), &value);
        if (value.vt != (VT_ARRAY | VT_UI1) || !value.parray)
            return {};
        const auto* data = static_cast<const char*>(value.parray->pvData);
        return win::FromUtf8(std::string(data, data + value.parray->rgsabound[0].cElements));
    }
    static CComVariant SearchKey(QMRMessage* message) { return addintest::SearchKeyOf(message); }
    std::wstring SyncIdText(QMRMessage* message) {
        return addintest::FieldText(m_utils, message, kTagSearchKey);
    }
    static void CopySyncId(QMRMessage* from, QMRMessage* to) {
        ASSERT_EQ(
            to->SetFields(CComVariant(static_cast<LONG>(kTagSearchKey), VT_I4), SearchKey(from)),
            S_OK);
        ASSERT_EQ(to->Save(), S_OK);
    }

    static std::wstring UiText(UINT id) {
        std::wstring text;
        EXPECT_TRUE(LoadString(AddinResourceModule(), id, g_UILanguage.load(), text)) << id;
        return text;
    }
    static DATE LocalNow() {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        DATE value = 0;
        SystemTimeToVariantTime(&now, &value);
        return value;
    }

    // A sync mail of item, as a partner sharing it as share with that password
    // sends it, arrived in folder.
    void PutSyncMail(QMRMAPIFolder* folder, QMRMessage* item, const std::wstring& share,
                     const std::wstring& password, const MailOptions& options = {}) {
        const std::wstring msgPath = L"C:\\out\\sync.msg";
        DeleteFileW(msgPath.c_str());
        ASSERT_EQ(item->SaveAs(CComBSTR(msgPath.c_str()),
                               CComVariant(static_cast<LONG>(kQmrFormatMsg), VT_I4)),
                  S_OK);
        if (options.itemFileBytes)
            std::ofstream(*win::HostPath(msgPath), std::ios::binary | std::ios::trunc)
                << options.itemFileBytes;
        std::wstring cabinetPath;
        if (options.attachmentName) {
            cabinetPath = std::wstring(L"C:\\out\\") + options.attachmentName;
            DeleteFileW(cabinetPath.c_str());
            Cabinet::CCompress writer;
            std::string key = win::ToAnsi(password);
            writer.Cipher().SetKey(reinterpret_cast<const BYTE*>(key.data()),
                                   static_cast<DWORD>(key.size()));
            writer.AllocateBuffer();
            ASSERT_TRUE(
                writer.CreateFCIContext(cabinetPath.c_str(), TRUE, TRUE, 0x7FFFFFFF, 23364, 0));
            ASSERT_TRUE(
                writer.AddFile(msgPath.c_str(), options.storedName, TCOMPfromLZXWindow(21)));
            if (options.extraStoredName) {
                ASSERT_TRUE(writer.AddFile(msgPath.c_str(), options.extraStoredName,
                                           TCOMPfromLZXWindow(21)));
            }
            ASSERT_TRUE(writer.CleanUp()) << win::ToUtf8(writer.GetLastErrorText());
            if (options.damageCabinet) {
                std::string host = *win::HostPath(cabinetPath);
                struct stat st {};
                ASSERT_EQ(stat(host.c_str(), &st), 0);
                ASSERT_EQ(truncate(host.c_str(), st.st_size / 2), 0);
            }
        }
        CComPtr<QMRItems> items;
        ASSERT_EQ(folder->GetItems(&items), S_OK);
        CComPtr<QMRMessage> mail;
        ASSERT_EQ(items->Add(CComVariant(syncmail::kMessageClass), &mail), S_OK);
        syncmail::SyncMailTime time = syncmail::MakeSyncMailTime();
        ASSERT_EQ(mail->PutSubject(
                      CComBSTR(syncmail::BuildSyncMailSubject(time.text, false, L"").c_str())),
                  S_OK);
        ASSERT_EQ(mail->PutBody(CComBSTR(
                      syncmail::BuildSyncMailBody(
                          UiText(1220), false, L"", share,
                          options.bodySyncId ? options.bodySyncId : SyncIdText(item), false)
                          .c_str())),
                  S_OK);
        if (options.attachmentName) {
            CComPtr<QMRAttachments> attachments;
            ASSERT_EQ(mail->GetAttachments(&attachments), S_OK);
            CComPtr<QMRAttachment> attachment;
            ASSERT_EQ(attachments->Add(CComBSTR(cabinetPath.c_str()),
                                       CComVariant(static_cast<LONG>(1), VT_I4), CComVariant(),
                                       CComVariant(options.attachmentName), &attachment),
                      S_OK);
        }
        ASSERT_EQ(mail->SetMailTime(LocalNow() - options.ageDays), S_OK);
        ASSERT_EQ(mail->Save(), S_OK);
    }

    // A deletion notice of the item with that sync id of share, arrived in folder.
    void PutDeletionNotice(QMRMAPIFolder* folder, const std::wstring& syncIdText,
                           const std::wstring& share) {
        CComPtr<QMRItems> items;
        ASSERT_EQ(folder->GetItems(&items), S_OK);
        CComPtr<QMRMessage> mail;
        ASSERT_EQ(items->Add(CComVariant(syncmail::kMessageClass), &mail), S_OK);
        syncmail::SyncMailTime time = syncmail::MakeSyncMailTime();
        ASSERT_EQ(
            mail->PutSubject(CComBSTR(syncmail::BuildDeletionNoticeSubject(time.text).c_str())),
            S_OK);
        ASSERT_EQ(mail->PutBody(CComBSTR(
                      syncmail::BuildDeletionNoticeBody(UiText(1220), share, syncIdText).c_str())),
                  S_OK);
        ASSERT_EQ(mail->SetMailTime(LocalNow()), S_OK);
        ASSERT_EQ(mail->Save(), S_OK);
    }

    // How often text stands in the error log.
    std::size_t ErrorLogCount(const std::string& text) const {
        const std::string log = ErrorLog();
        std::size_t count = 0;
        for (std::size_t at = log.find(text); at != std::string::npos;
             at = log.find(text, at + text.size()))
            ++count;
        return count;
    }

    static bool HostFileExists(const std::wstring& windowsPath) {
        auto host = win::HostPath(windowsPath);
        struct stat st {};
        return host && stat(host->c_str(), &st) == 0;
    }

    std::shared_ptr<outlook::QueuedUiDispatcher> m_ui =
        std::make_shared<outlook::QueuedUiDispatcher>();
    std::unique_ptr<outlook::OutlookApplication> m_app;
    std::unique_ptr<CSyncEngine> m_engine;
    CComPtr<QMRMAPIUtils> m_utils;
    CComPtr<QMRRDOSession> m_bert;
};

}  // namespace synctest
