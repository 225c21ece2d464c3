#include "Quillmere/exchange/DelMailSender.h"

#include <memory>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/ItemsEvents.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/exchange/ExchangeThreadFrame.h"
#include "Quillmere/exchange/Mail2Send.h"
#include "Quillmere/exchange/SendMail.h"
#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/exchange/SyncMailFormat.h"
#include "Quillmere/resources/LoadString.h"
#include "platform/com/Com.h"
#include "platform/com/Variant.h"
#include "platform/win/Clock.h"
#include "platform/win/Threads.h"

namespace {

constexpr LONG kOutboxFolder = 4;
// Queue totals at which the sender counts as being in a burst.
constexpr std::size_t kManyMails = 5;
constexpr LONG kManyWaitingMails = 10;
// The wait (platform ms) before a notice whose partners could not be read is
// tried again.
constexpr int kUnreadableSettingsRetryMs = 60000;

// Addresses the notice to the partners of the share's folder. E_FAIL when
// no synchronised folder has that share name or the folder has no partners.
HRESULT AddressNotice(CSyncEngine* engine, QMRRDOSession* session, QMRMessage* mail,
                      const std::wstring& shareName, std::wstring& recipients) {
    std::wstring folderEntryId, storeEntryId;
    if (FAILED(engine->FindFolderByName(shareName, folderEntryId, storeEntryId))) {
        LogHResult(0, "Sharename from Deleted message not found");
        return E_FAIL;
    }
    CComPtr<QMRMAPIFolder> folder;
    HRESULT hr =
        session->GetFolderFromID(CComBSTR(folderEntryId.c_str()), CComBSTR(storeEntryId.c_str()),
                                 engine->OpenFlags(), &folder);
    if (FAILED(hr)) {
        LogHResult(hr, "GetFolderFromID");
        return hr;
    }
    // Every partner: a deletion concerns all who may hold the item, whatever
    // its categories or attendees were.
    bool unreadable = false;
    if (!GetShareRecipients(engine, folderEntryId, nullptr, recipients, nullptr, &unreadable)) {
        LogHResult(0, "UserList empty");
        return unreadable ? kPartnersUnreadable : E_FAIL;
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
    if (auto from = engine->SpecialSender(); from && !from->empty())
        LogIfFailed(mail->PutSentOnBehalfOfName(CComBSTR(from->c_str())), "put_SentOnBehalfOfName");
    return S_OK;
}

// Builds the notice in the new Outbox mail: partners, icon, time and
// subject, body, resolved recipients. The mail is saved by the caller.
HRESULT BuildNotice(CSyncEngine* engine, QMRRDOSession* session, QMRMessage* mail,
                    QMRSafeMailItem* safeMail, const std::wstring& shareName,
                    const std::wstring& syncIdText, const std::wstring& intro,
                    std::wstring& recipients) {
    HRESULT hr = mail->PutDeleteAfterSubmit(VARIANT_FALSE);
    if (SUCCEEDED(hr))
        hr = AddressNotice(engine, session, mail, shareName, recipients);
    if (SUCCEEDED(hr))
        hr = mail->Save();
    if (SUCCEEDED(hr))
        hr = safeMail->PutItem(mail);
    if (FAILED(hr))
        return hr;
    LogIfFailed(safeMail->SetFields(CComVariant(static_cast<LONG>(syncmail::PR_ICON_INDEX), VT_I4),
                                    CComVariant(syncmail::kIconIndex, VT_I4)),
                "SetFields PR_ICON_INDEX");

    syncmail::SyncMailTime time = syncmail::MakeSyncMailTime();
    hr = mail->SetMailTime(time.value);
    if (SUCCEEDED(hr))
        hr = mail->PutSubject(CComBSTR(syncmail::BuildDeletionNoticeSubject(time.text).c_str()));
    if (FAILED(hr))
        return hr;
    hr = WriteMailBody(engine, safeMail,
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
    return GetFolderUsers(folderEntryId);
}

HRESULT RemoveFromChangeList(CSyncEngine* engine, BSTR itemKey, const std::wstring& shareName) {
    CComBSTR key;
    key.Attach(itemKey);
    WriteDebugLog("RemoveFromChangeList");
    if (!engine || !key)
        return E_FAIL;
    // In table order up to the first entry that is not running (a stopped
    // entry ends the walk: the table is being rebuilt or shut down). Each
    // entry is held by a use while it is read: a reload may free it meanwhile.
    for (DWORD i = 0;; ++i) {
        FolderUse folder = engine->UseFolderEntry(i, false, "RemoveFromChangeList");
        if (!folder)
            return E_FAIL;
        CItemsEvents* sink = folder->Sink();
        if (!sink || folder->Kind() != CFolderObj::kSharedFolder ||
            folder->m_shareName != shareName)
            continue;
        if (sink->RemoveFromExchangeFolderCache(key) || sink->RemoveFromChangeKeylist(key))
            return S_OK;
    }
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
        // Held for the whole build, not only for the save: the outbox
        // re-check must never send a notice that is half written.
        OutboxLockHolder outboxLock;
        hr = session->GetDefaultFolder(kOutboxFolder, &outbox);
        if (!LogIfFailed(hr, "getOutfolder")) {
        } else if (hr = outbox->GetItems(&items); !LogIfFailed(hr, "getItems")) {
        } else if (hr = items->Add(CComVariant(syncmail::kMessageClass), &mail);
                   !LogIfFailed(hr, "AddItem")) {
        } else {
            std::wstring recipients;
            hr = BuildNotice(engine, session, mail, safeMail, shareName, syncId, intro, recipients);
            // In a burst the notice is parked for a packet mail like a sync
            // mail; more than 10 waiting mails count as a burst here too.
            if (SUCCEEDED(hr))
                hr = SendMail::SaveMail(engine, session, mail, safeMail, nullptr, recipients,
                                        waitingMails, many || waitingMails > kManyWaitingMails);
            // A notice that failed half-way would otherwise stay in the
            // Outbox as a mail without markers or partners.
            if (FAILED(hr) && mail)
                mail->Delete(0);
        }
    }
    WriteDebugLog(SUCCEEDED(hr) ? "sendDelMessage OK" : "sendDelMessage failed");
    // The item is gone for good: its folder stops tracking it, so that its
    // deletion scan does not report it again.
    if (SUCCEEDED(hr))
        RemoveFromChangeList(engine, SysAllocString(syncId.c_str()), shareName);
    return hr;
}

unsigned DelMailSendThread(void*) {
    BeginExchangeThread("DelMailSendThread");
    CSyncEngine* engine = g_pEngine.load();
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
    if (!queuePath.empty())
        LoadDelMailDataFromDisk(engine, queuePath.c_str());

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
            // The queue ran dry: the file need not list the notices that left.
            PersistSendQueues(utils);
            for (int waited = 0; waited < 3000 && !StopFlag.load(); waited += 100)
                Sleep(100);
            continue;
        }
        // Leased: the queue file keeps listing the notice until it is built.
        CDelMailSenderList::Lease record = DelMailSenderList.TakeLease();
        if (!record)
            continue;
        // The share name is taken whole, never cut: a cut name could match
        // another share's folder. A name no folder carries is dropped by
        // sendDelMessage as not found.
        std::wstring shareName = record->GetShareName();
        CComBSTR syncId;
        if (FAILED(record->GetSyncID(&syncId)))
            continue;
        if (sendDelMessage(engine, session, utils, shareName, syncId, static_cast<LONG>(total),
                           many) == kPartnersUnreadable) {
            // The registry can't be read (a damaged hive): the notice stays
            // queued, and is tried again a while later.
            record.ReturnToQueue();
            for (int waited = 0; waited < kUnreadableSettingsRetryMs && !StopFlag.load();
                 waited += 100)
                Sleep(100);
        }
    }

    if (!queuePath.empty())
        SaveDelMailData2Disk(engine, queuePath.c_str(), true);
    utils.Release();
    session.Release();
    EndExchangeThread("DelMailSendThread");
    return 0;
}

void AddDelMailSendThread(ExchangeThreadProcs& procs) {
    procs.delMailSendThread = DelMailSendThread;
}
