#include "Quillmere/exchange/MailSender.h"

#include <cstdio>
#include <memory>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/exchange/ExchangeThreadFrame.h"
#include "Quillmere/exchange/Mail2Send.h"
#include "Quillmere/exchange/PacketMails.h"
#include "Quillmere/exchange/QueueChange.h"
#include "Quillmere/exchange/SendMail.h"
#include "Quillmere/exchange/SendQueues.h"
#include "platform/com/Com.h"
#include "platform/com/Variant.h"
#include "platform/win/Clock.h"
#include "platform/win/Threads.h"

namespace {

// The folder and the item are opened with best access, as the helper
// library names it.
constexpr LONG kOpenFlags = 0x10;
// Queue totals (both queues) from which the sender counts as in a burst.
constexpr std::size_t kBurstMails = 5;
// Waits of the loop (platform ms).
constexpr DWORD kIdleMs = 1000;
constexpr DWORD kTrickleMs = 5000;
constexpr DWORD kBetweenCountsMs = 5;
constexpr DWORD kQueueSaveIntervalMs = 60000;
// The wait before a mail whose partners could not be read is tried again.
constexpr DWORD kUnreadableSettingsRetryMs = 60000;
// Long waits are cut into steps so that the stop is seen soon.
constexpr DWORD kWaitStepMs = 100;

void WaitUnlessStopped(DWORD ms) {
    while (ms > 0 && !StopFlag.load()) {
        DWORD step = ms < kWaitStepMs ? ms : kWaitStepMs;
        Sleep(step);
        ms -= step;
    }
}

// Wrap-safe: whether the tick count has reached deadline.
bool Reached(DWORD now, DWORD deadline) {
    return static_cast<LONG>(now - deadline) >= 0;
}

std::wstring MailQueuePath(CSyncEngine* engine, QMRRDOSession* session) {
    CComBSTR profile;
    if (!session || FAILED(session->GetProfileName(&profile)) || !profile)
        return {};
    return QueueFilePath(engine->DataDirectory(), std::wstring(profile), kMailQueueFileSuffix);
}

// What the sender takes out of one record before the record is destroyed.
struct TakenRecord {
    CComBSTR folderEntryId;
    CComBSTR storeEntryId;
    CComVariant syncId;
    bool formFlag = false;
    std::wstring password;
    std::wstring shareName;
};

bool ReadRecord(const CMail2Send& record, TakenRecord& out) {
    if (FAILED(record.GetFolderEntryID(&out.folderEntryId)) ||
        FAILED(record.GetStoreEntryID(&out.storeEntryId)) || FAILED(record.GetSyncID(&out.syncId)))
        return false;
    out.formFlag = record.GetFormFlag() != 0;
    wchar_t text[CMail2Send::kTextSize];
    record.GetPassword(text, CMail2Send::kTextSize);
    out.password = text;
    record.GetShareName(text, CMail2Send::kTextSize);
    out.shareName = text;
    return true;
}

// Opens the record's item (through its folder) with best access; null when
// the folder or the item can no longer be opened (moved or deleted: the
// deletion scan reports that on its own).
CComPtr<QMRMessage> OpenRecordItem(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                                   const TakenRecord& record) {
    CComVariant flags(kOpenFlags);
    CComPtr<QMRMAPIFolder> folder;
    HRESULT hr =
        session->GetFolderFromID(record.folderEntryId, record.storeEntryId, flags, &folder);
    if (FAILED(hr) || !folder) {
        LogHResult(hr, "MailSendThread::GetFolderFromID");
        return nullptr;
    }
    bool found = false;
    std::wstring entryId;
    hr = FindQueuedItem(engine, session, utils, folder, record.syncId, record.formFlag, found,
                        entryId);
    if (FAILED(hr) || !found) {
        LogHResult(hr, "MailSendThread::item not found");
        return nullptr;
    }
    CComPtr<QMRMessage> item;
    hr = session->GetMessageFromID(CComBSTR(entryId.c_str()), record.storeEntryId, flags, &item);
    if (FAILED(hr) || !item) {
        LogHResult(hr, "MailSendThread::GetMessageFromID");
        return nullptr;
    }
    return item;
}

// Builds the sync mail of one taken record. A record whose item can't be
// opened reaches the builder without it, which reports "Syncitem == NULL"
// and drops it. The builder's result.
HRESULT SendRecord(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                   TakenRecord& record, std::size_t queued, LONG total, bool many) {
    CComPtr<QMRMessage> item = OpenRecordItem(engine, session, utils, record);
    char line[64];
    std::snprintf(line, sizeof line, "Mail from list: %d", static_cast<int>(queued));
    WriteDebugLog(line);
    // A record taken just as the stop came is dropped: the stop must not
    // wait for a whole build.
    if (StopFlag.load())
        return S_OK;
    return SendSyncMessage(engine, session, utils, item, record.folderEntryId.Copy(),
                           record.password, record.shareName, record.formFlag, total, many);
}

void SendPackets(CSyncEngine* engine, QMRRDOSession* session, DWORD* deadline) {
    sendPackedBasicSyncMSG(engine, session);
    engine->m_parkedMailCounter = 0;
    *deadline = GetTickCount() + engine->m_packetTime.load() * 1000;
}

void RunLoop(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
             const std::wstring& queuePath) {
    DWORD deadline = GetTickCount() + engine->m_packetTime.load() * 1000;
    if (session)
        sendPackedBasicSyncMSG(engine, session);
    DWORD lastSave = GetTickCount();
    bool many = false;
    while (!StopFlag.load()) {
        if (engine->m_stopped.load() || !session || !utils) {
            WaitUnlessStopped(kIdleMs);
            continue;
        }
        std::size_t queued = MailSenderList.Count();
        Sleep(kBetweenCountsMs);
        std::size_t total = queued + DelMailSenderList.Count();

        if (total >= kBurstMails) {
            many = true;
        } else if (many && total == 0) {
            // The burst is over: what it parked leaves now.
            many = false;
            SendPackets(engine, session, &deadline);
            continue;
        } else {
            WaitUnlessStopped(kTrickleMs);
        }

        if (engine->m_parkedMailCounter.load() >= static_cast<LONG>(engine->m_packetCount.load())) {
            WriteDebugLog("Collected Mails > bs_collect_count");
            SendPackets(engine, session, &deadline);
            continue;
        }
        if (Reached(GetTickCount(), deadline)) {
            WriteDebugLog("Time > bs_collect_time");
            SendPackets(engine, session, &deadline);
            continue;
        }
        if (queued == 0) {
            // The queue ran dry: the file need not list the mails that left.
            PersistSendQueues(utils);
            WaitUnlessStopped(kIdleMs);
            engine->ChangeSyncState(kSyncStateIdle, kSyncStateSending);
            continue;
        }
        if (GetTickCount() - lastSave > kQueueSaveIntervalMs) {
            lastSave = GetTickCount();
            if (!queuePath.empty())
                SaveMailData2Disk(engine, utils, queuePath.c_str(), false);
            continue;
        }

        // Leased, not taken: the queue file keeps listing the record until
        // its mail is in the Outbox or parked.
        bool busy = false;
        CMailSenderList::Lease head = MailSenderList.TryTakeLease(&busy);
        if (!head)
            continue;
        TakenRecord record;
        if (ReadRecord(*head, record) &&
            SendRecord(engine, session, utils, record, queued, static_cast<LONG>(total), many) ==
                kPartnersUnreadable) {
            // The registry can't be read (a damaged hive): the change stays
            // queued, and is tried again a while later.
            head.ReturnToQueue();
            WaitUnlessStopped(kUnreadableSettingsRetryMs);
        }
    }
}

}  // namespace

unsigned MailSendThread(void*) {
    BeginExchangeThread("MailSendThread");
    CSyncEngine* engine = g_pEngine.load();
    CComPtr<QMRRDOSession> session;
    CComPtr<QMRMAPIUtils> utils;
    std::wstring queuePath;
    if (engine)
        session = AttachExchangeThreadSession(engine);
    if (engine && session && !StopFlag.load()) {
        CreateMAPIUtils(engine, &utils);
        queuePath = MailQueuePath(engine, session);
        if (!queuePath.empty())
            LoadMailDataFromDisk(engine, utils, queuePath.c_str());
    }
    if (engine)
        RunLoop(engine, session, utils, queuePath);

    // What is still queued goes to the queue file; without utilities the
    // save reports that it can't write and the list stays.
    if (!queuePath.empty())
        SaveMailData2Disk(engine, utils, queuePath.c_str(), true);
    if (utils)
        utils->Cleanup();
    utils.Release();
    session.Release();
    EndExchangeThread("MailSendThread");
    return 0;
}

void AddMailSendThread(ExchangeThreadProcs& procs) {
    procs.mailSendThread = MailSendThread;
}
