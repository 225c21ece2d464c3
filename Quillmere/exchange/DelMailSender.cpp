#include "Quillmere/exchange/DelMailSender.h"

#include <algorithm>
#include <cstdio>
#include <memory>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/ItemsEvents.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/exchange/Mail2Send.h"
#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/exchange/SyncMailFormat.h"
#include "Quillmere/resources/LoadString.h"
#include "platform/com/Com.h"
#include "platform/com/Variant.h"
#include "platform/win/Clock.h"
#include "platform/win/Registry.h"
#include "platform/win/Threads.h"

namespace {

constexpr LONG kOutboxFolder = 4;
constexpr ULONG PR_BODY_W = 0x1000001F;
// The share name is copied into a buffer of this many characters (with the
// terminator). A longer name is not cut: a cut name could match another
// share's folder, so such a notice is dropped as not found instead.
constexpr std::size_t kShareNameBufferSize = 256;
// Queue totals at which the sender counts as being in a burst.
constexpr std::size_t kManyMails = 5;
constexpr LONG kManyWaitingMails = 10;

class OutboxLockHolder {
public:
    OutboxLockHolder() { EnterCriticalSection(&OutboxLock); }
    ~OutboxLockHolder() { LeaveCriticalSection(&OutboxLock); }
    OutboxLockHolder(const OutboxLockHolder&) = delete;
    OutboxLockHolder& operator=(const OutboxLockHolder&) = delete;
};

// The first folder of the table (running entries, in order) whose share
// name equals shareName exactly.
CFolderObj* FindFolderOfShare(CSyncEngine* engine, const std::wstring& shareName) {
    for (DWORD i = 0;; ++i) {
        CFolderObj* folder = engine->GetFolderEntry(i, false);
        if (!folder)
            return nullptr;
        if (folder->Kind() == CFolderObj::kSharedFolder && folder->m_shareName == shareName &&
            folder->Sink())
            return folder;
    }
}

// The recipient text of a notice: every partner address followed by ';'.
bool ShareRecipients(const std::wstring& folderEntryId, std::wstring& recipients) {
    recipients.clear();
    for (const std::wstring& user : GetDeletionNoticeUsers(folderEntryId)) {
        recipients += user;
        recipients += L';';
    }
    WriteDebugLogValue("user list:", recipients.substr(0, 260).c_str());
    return !recipients.empty();
}

// Writes the body the way the running Outlook takes it best; the other way
// is the fallback.
HRESULT WriteBody(CSyncEngine* engine, QMRSafeMailItem* safeMail, const std::wstring& body) {
    CComBSTR text(body.c_str());
    if (!text)
        return E_OUTOFMEMORY;
    CComVariant tag(static_cast<LONG>(PR_BODY_W), VT_I4);
    CComVariant value(text);
    auto byPutBody = [&] { return safeMail->PutBody(text); };
    auto byFields = [&] { return safeMail->SetFields(tag, value); };
    HRESULT hr = engine->IsModernMode() ? byPutBody() : byFields();
    if (FAILED(hr))
        hr = engine->IsModernMode() ? byFields() : byPutBody();
    return hr;
}

// Saves a finished notice. It stays in the Outbox, where the outbox re-check
// sends it; in a burst the tooltip shows how many mails wait.
HRESULT SaveNotice(CSyncEngine* engine, QMRMessage* mail, LONG waitingMails, bool many) {
    HRESULT hr = mail->Save();
    if (FAILED(hr))
        return hr;
    if (waitingMails <= kManyWaitingMails && !many && !engine->m_packEveryTime.load()) {
        WriteDebugLog("SendMail::SaveMail");
        return S_OK;
    }
    if (waitingMails > 0)
        engine->SetStatusText(L" ( " + std::to_wstring(waitingMails) + L" mails)");
    WriteDebugLog("SendMail::SaveMail");
    return S_OK;
}

HRESULT BuildNotice(CSyncEngine* engine, QMRRDOSession* session, QMRMessage* mail,
                    QMRSafeMailItem* safeMail, const std::wstring& shareName,
                    const std::wstring& syncIdText, const std::wstring& intro) {
    HRESULT hr = mail->PutDeleteAfterSubmit(VARIANT_FALSE);
    if (FAILED(hr))
        return hr;
    CFolderObj* entry = FindFolderOfShare(engine, shareName);
    if (!entry) {
        LogHResult(0, "Sharename from Deleted message not found");
        return E_FAIL;
    }
    const std::wstring folderEntryId = entry->Sink()->m_entryId;
    const std::wstring storeEntryId = entry->Sink()->m_storeId;
    CComPtr<QMRMAPIFolder> folder;
    CComBSTR folderId(folderEntryId.c_str());
    CComBSTR storeId(storeEntryId.c_str());
    hr = session->GetFolderFromID(folderId, storeId, engine->OpenFlags(), &folder);
    if (FAILED(hr)) {
        LogHResult(hr, "GetFolderFromID");
        return hr;
    }
    std::wstring recipients;
    if (!ShareRecipients(folderEntryId, recipients)) {
        LogHResult(0, "UserList empty");
        return E_FAIL;
    }
    CComBSTR to(recipients.c_str());
    if (!to) {
        LogHResult(0, "UserList error");
        return E_OUTOFMEMORY;
    }
    hr = mail->PutTo(to);
    if (FAILED(hr)) {
        LogHResult(hr, "\nput_To()");
        return hr;
    }
    if (auto from = engine->SpecialSender(); from && !from->empty()) {
        CComBSTR sender(from->c_str());
        LogIfFailed(mail->PutSentOnBehalfOfName(sender), "put_SentOnBehalfOfName");
    }
    hr = mail->Save();
    if (FAILED(hr))
        return hr;
    hr = safeMail->PutItem(mail);
    if (FAILED(hr))
        return hr;
    LogIfFailed(safeMail->SetFields(CComVariant(static_cast<LONG>(syncmail::PR_ICON_INDEX), VT_I4),
                                    CComVariant(syncmail::kIconIndex, VT_I4)),
                "SetFields PR_ICON_INDEX");

    syncmail::SyncMailTime time = syncmail::MakeSyncMailTime();
    hr = mail->SetMailTime(time.value);
    if (FAILED(hr))
        return hr;
    CComBSTR subject(syncmail::BuildDeletionNoticeSubject(time.text).c_str());
    hr = mail->PutSubject(subject);
    if (FAILED(hr))
        return hr;
    hr = WriteBody(engine, safeMail,
                   syncmail::BuildDeletionNoticeBody(intro, shareName, syncIdText));
    if (FAILED(hr)) {
        LogHResult(hr, "could not add any Body!");
        return hr;
    }
    mail->ResolveRecipients(-1, nullptr);
    VARIANT_BOOL resolved = VARIANT_FALSE;
    CComPtr<QMRRecipients> mailRecipients;
    if (SUCCEEDED(safeMail->GetRecipients(&mailRecipients)) && mailRecipients &&
        SUCCEEDED(mailRecipients->ResolveAll(&resolved)) && resolved != VARIANT_FALSE)
        WriteDebugLog("MailRecipients::resolved");
    else
        WriteDebugLog("MailRecipients::Not resolved");
    return S_OK;
}

std::wstring DeletionQueuePath(CSyncEngine* engine, QMRRDOSession* session) {
    CComBSTR profile;
    if (FAILED(session->GetProfileName(&profile)) || !profile)
        return {};
    return QueueFilePath(engine->DataDirectory(), std::wstring(profile), kDelMailQueueFileSuffix);
}

}  // namespace

std::vector<std::wstring> GetDeletionNoticeUsers(const std::wstring& folderEntryId) {
    std::vector<std::wstring> users;
    std::wstring path = std::wstring(kFoldersKeyPath) + L"\\" + folderEntryId + L"\\Users";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return users;
    auto add = [&](const wchar_t* name) {
        if (name[0] != L'\0' && std::find(users.begin(), users.end(), name) == users.end())
            users.emplace_back(name);
    };
    wchar_t name[MAX_PATH];
    for (DWORD i = 0;; ++i) {
        DWORD size = MAX_PATH;
        LSTATUS status = RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            break;
        add(name);
    }
    for (DWORD i = 0;; ++i) {
        DWORD size = MAX_PATH;
        LSTATUS status = RegEnumValueW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            break;
        add(name);
    }
    RegCloseKey(key);
    return users;
}

HRESULT sendDelMessage(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                       const std::wstring& shareName, BSTR syncIdText, LONG waitingMails,
                       bool many) {
    (void)utils;
    WriteDebugLog("sendDelMessage");
    if (!engine || !session)
        return E_POINTER;
    std::wstring intro;
    LoadString(AddinResourceModule(), syncmail::kIntroStringId, g_UILanguage.load(), intro);
    const std::wstring syncId = syncIdText ? std::wstring(syncIdText) : std::wstring();

    CComPtr<QMRSafeMailItem> safeMail;
    HRESULT hr = CreateSafeMailItem(engine, &safeMail);
    if (FAILED(hr)) {
        WriteDebugLog("sendDelMessage failed");
        return hr;
    }
    CComPtr<QMRMAPIFolder> outbox;
    CComPtr<QMRItems> items;
    CComPtr<QMRMessage> mail;
    {
        OutboxLockHolder outboxLock;
        hr = session->GetDefaultFolder(kOutboxFolder, &outbox);
        if (!LogIfFailed(hr, "getOutfolder")) {
        } else if (hr = outbox->GetItems(&items); !LogIfFailed(hr, "getItems")) {
        } else if (hr = items->Add(CComVariant(syncmail::kMessageClass), &mail);
                   !LogIfFailed(hr, "AddItem")) {
        } else {
            hr = BuildNotice(engine, session, mail, safeMail, shareName, syncId, intro);
            if (SUCCEEDED(hr))
                hr = SaveNotice(engine, mail, waitingMails,
                                many || waitingMails > kManyWaitingMails);
            // A notice that failed half-way would otherwise stay in the
            // Outbox as a mail without markers or partners.
            if (FAILED(hr) && mail)
                mail->Delete(0);
        }
    }
    WriteDebugLog(SUCCEEDED(hr) ? "sendDelMessage OK" : "sendDelMessage failed");
    return hr;
}

unsigned DelMailSendThread(void*) {
    IncrementRunningThreadCount();
    {
        char line[96];
        std::snprintf(line, sizeof line, "Thread DelMailSendThread: %d / %d started",
                      static_cast<int>(GetRunningThreadCount()),
                      static_cast<int>(GetCurrentThreadId()));
        WriteDebugLog(line);
    }
    CSyncEngine* engine = g_pEngine.load();
    CoInitialize(nullptr);
    bool created = false;
    CComPtr<QMRRDOSession> session;
    if (engine)
        session = AttachExchangeThreadSession(engine, &created);
    if (!engine || !created) {
        LogHResult(E_FAIL, "DeleteMailSenderThreaD");
        CoUninitialize();
        DecrementRunningThreadCount();
        return 0;
    }
    CComPtr<QMRMAPIUtils> utils;
    if (session)
        CreateMAPIUtils(engine, &utils);

    std::wstring queuePath = session ? DeletionQueuePath(engine, session) : std::wstring();
    if (!queuePath.empty()) {
        WriteDebugLog("DelMailSendData from HD");
        LoadDelMailDataFromDisk(engine, queuePath.c_str());
        WriteDebugLog("LoadDelMailSendData=>ready");
    }

    bool many = false;
    while (!StopFlag.load()) {
        Sleep(10);
        if (engine->m_stopped.load() || !session || !utils) {
            Sleep(1000);
            continue;
        }
        std::size_t deletions = DelMailSenderList.Count();
        std::size_t total = deletions + MailSenderList.Count();
        if (total >= kManyMails)
            many = true;
        else if (total == 0)
            many = false;
        if (deletions == 0) {
            for (int waited = 0; waited < 3000 && !StopFlag.load(); waited += 100)
                Sleep(100);
            continue;
        }
        std::unique_ptr<CDelMail2Send> record = DelMailSenderList.Take();
        if (!record)
            continue;
        std::wstring shareName = record->GetShareName();
        CComBSTR syncId;
        if (FAILED(record->GetSyncID(&syncId)) || shareName.size() >= kShareNameBufferSize) {
            if (shareName.size() >= kShareNameBufferSize)
                LogHResult(0, "Sharename from Deleted message not found");
            continue;
        }
        sendDelMessage(engine, session, utils, shareName, syncId, static_cast<LONG>(total), many);
    }

    if (!queuePath.empty()) {
        WriteDebugLog("SaveDelMailSendData to HD");
        SaveDelMailData2Disk(engine, queuePath.c_str(), true);
    }
    utils.Release();
    session.Release();
    CoUninitialize();
    DecrementRunningThreadCount();
    {
        char line[64];
        std::snprintf(line, sizeof line, "Thread DelMailSendThread endet (%d)",
                      static_cast<int>(GetRunningThreadCount()));
        WriteDebugLog(line);
    }
    return 0;
}

void AddDelMailSendThread(ExchangeThreadProcs& procs) {
    procs.delMailSendThread = DelMailSendThread;
}
