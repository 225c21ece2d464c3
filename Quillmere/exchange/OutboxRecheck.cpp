#include "Quillmere/exchange/OutboxRecheck.h"

#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/HiddenWindow.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/com/Bstr.h"
#include "platform/win/Clock.h"
#include "platform/win/Timer.h"

namespace {

constexpr LONG kOutboxFolder = 4;
constexpr LONG kSendingOrder = 2;
// The configured mail-account number that means "the default account".
constexpr LONG kDefaultAccount = -1;
// The folder threads are given this long to see their cleared run flags
// before their objects are destroyed.
constexpr DWORD kRestartGraceMs = 2000;

// Sync mails and packet mails, by subject.
constexpr const wchar_t* kOutboxFilter =
    L"subject like '>-Quillmere-<%' or subject like 'QMRX$BASICSYNCPACKET%'";

// The account of the session whose number is accountNumber; null when the
// default account is configured, or when no account has that number (the
// mails then keep their own account).
CComPtr<QMRAccount> ChooseAccount(QMRRDOSession* session, LONG accountNumber) {
    if (accountNumber == kDefaultAccount)
        return nullptr;
    CComPtr<QMRAccounts> accounts;
    if (!LogIfFailed(session->GetAccounts(&accounts), "RecheckOutbox::getAccounts") || !accounts)
        return nullptr;
    LONG count = 0;
    if (!LogIfFailed(accounts->GetCount(&count), "RecheckOutbox::AccCount"))
        return nullptr;
    CComPtr<QMRAccountList> list;
    if (!LogIfFailed(accounts->GetOrder(kSendingOrder, &list), "RecheckOutbox::getOrder") || !list)
        return nullptr;
    for (LONG position = 1; position <= count; ++position) {
        CComPtr<QMRAccount> account;
        if (!LogIfFailed(list->Item(position, &account), "RecheckOutbox::getAccount") || !account)
            continue;
        CComBSTR name;
        if (!LogIfFailed(account->Name(&name), "RecheckOutbox::getName"))
            continue;
        LONG number = 0;
        if (SUCCEEDED(account->ID(&number)) && number == accountNumber)
            return account;
    }
    return nullptr;
}

// Submits one found mail unless it is submitted already.
void SendOne(QMRMessage* mail, QMRAccount* account, QMRSafeMailItem* safeMail) {
    VARIANT_BOOL submitted = VARIANT_FALSE;
    if (SUCCEEDED(mail->GetSubmitted(&submitted)) && submitted != VARIANT_FALSE)
        return;
    if (account)
        LogIfFailed(mail->PutAccount(account), "PutAccount");
    HRESULT hr = safeMail->PutItem(mail);
    if (FAILED(hr)) {
        // Sending now would send whatever the safe item wrapped before.
        LogHResult(hr, "RecheckOutbox::Send");
        return;
    }
    CComBSTR subject;
    mail->GetSubject(&subject);
    WriteDebugLogValue("RecheckOutbox:Sending",
                       subject ? static_cast<const wchar_t*>(subject) : L"");
    LogIfFailed(safeMail->Send(), "Failed To ReSend");
}

// The pass over the Outbox; runs with OutboxLock held.
void SendWaitingMails(QMRMAPIFolder* outbox, QMRAccount* account, QMRSafeMailItem* safeMail) {
    CComPtr<QMRItems> items;
    if (!LogIfFailed(outbox->GetItems(&items), "RecheckOutbox::GetItems") || !items)
        return;
    LONG count = 0;
    if (FAILED(items->GetCount(&count)) || count < 1)
        return;
    CComPtr<QMRMessage> mail;
    HRESULT hr = items->Find(CComBSTR(kOutboxFilter), &mail);
    if (!LogIfFailed(hr, "Find"))
        return;
    while (mail) {
        SendOne(mail, account, safeMail);
        mail.Release();
        if (!LogIfFailed(items->FindNext(&mail), "FindNext"))
            break;
    }
}

}  // namespace

void RecheckOutbox(CSyncEngine* engine, QMRRDOSession* session) {
    if (!engine || !session)
        return;
    CComPtr<QMRMAPIFolder> outbox;
    if (!LogIfFailed(session->GetDefaultFolder(kOutboxFolder, &outbox), "RecheckOutbox::Outbox") ||
        !outbox)
        return;
    CComPtr<QMRAccount> account = ChooseAccount(session, engine->GetMailAccountIndex());
    CComPtr<QMRSafeMailItem> safeMail;
    if (FAILED(CreateSafeMailItem(engine, &safeMail)) || !safeMail)
        return;
    // Never wait: a sender thread holds the lock while it builds a mail,
    // and Outlook's thread must not block on it. The next heartbeat retries.
    if (!TryEnterCriticalSection(&OutboxLock))
        return;
    SendWaitingMails(outbox, account, safeMail);
    LeaveCriticalSection(&OutboxLock);
}

bool RestartThreads(CSyncEngine* engine) {
    if (!engine)
        return true;
    HWND heartbeat = engine->HeartbeatWindow();
    if (heartbeat)
        KillTimer(heartbeat, kHeartbeatTimerId);
    WriteDebugLog("---Optionsdialog - Restart Threads---");
    EnterCriticalSection(&FolderTableLock);
    for (DWORD i = 0;; ++i) {
        CFolderObj* folder = engine->GetFolderEntry(i, true);
        if (!folder)
            break;
        folder->Stop();
    }
    LeaveCriticalSection(&FolderTableLock);
    Sleep(kRestartGraceMs);
    // The table lock is taken only for each removal: a destructor waits for
    // its folder thread, which may itself look the table up.
    while (CFolderObj* folder = engine->RemoveFirstFolder())
        delete folder;
    WriteDebugLog("---Optionsdialog - Settings changed---");
    LoadSettings(engine, true);
    if (heartbeat)
        SetTimer(heartbeat, kHeartbeatTimerId, kHeartbeatDuePeriod, nullptr);
    return true;
}

void InitiateShutdown(CSyncEngine* engine) {
    if (!engine) {
        StopFlag = true;
        return;
    }
    engine->m_shutdown = true;
    WriteDebugLog("Shutdown initiated");
    StopFlag = true;
    // Every entry, also those past one that is stopped already: a folder
    // thread left running could queue a change after the senders wrote
    // their queue files, and that change would be lost.
    for (DWORD i = 0;; ++i) {
        CFolderObj* folder = engine->GetFolderEntry(i, true);
        if (!folder)
            break;
        folder->Stop();
    }
}
