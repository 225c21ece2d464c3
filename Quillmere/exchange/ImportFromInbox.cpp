#include "Quillmere/exchange/ImportFromInbox.h"

#include <cstdio>
#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/ItemsEvents.h"
#include "Quillmere/exchange/ExchangeThreadFrame.h"
#include "Quillmere/exchange/PacketMails.h"
#include "Quillmere/exchange/ProcessSyncItems.h"
#include "Quillmere/tracking/ItemLookup.h"
#include "platform/com/Com.h"
#include "platform/com/Variant.h"
#include "platform/win/Clock.h"
#include "platform/win/Threads.h"

namespace {

constexpr LONG kInboxFolder = 6;
constexpr LONG kBestAccess = 16;
constexpr DWORD kMinuteMs = 60000;
constexpr DWORD kCycleMs = 1000;

// The main pass: the Inbox's mails into "Quillmere", then unpack and import.
void RunMainPass(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                 const CComBSTR& inboxId, const CComBSTR& inboxStoreId) {
    CComBSTR entryId(inboxId);
    CComBSTR storeId(inboxStoreId);
    MoveInboxSyncMailsToAddinFolder(engine, session, utils, entryId, storeId);
    ProcessBasicSyncItems(engine, session, utils);
    ProcessSyncItems(engine, session, utils, false);
}

}  // namespace

void RunAlternatePass(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils) {
    for (DWORD index = 0;; ++index) {
        CComBSTR entryId, storeId;
        {
            // Held while it is read: a reload may free the entry meanwhile.
            FolderUse folder = engine->UseFolderEntry(index, false, "RunAlternatePass");
            if (!folder)
                break;
            if (folder->Kind() != CFolderObj::kAlternateInbox || !folder->Sink())
                continue;
            entryId = folder->Sink()->m_entryId.c_str();
            storeId = folder->Sink()->m_storeId.c_str();
        }
        MoveInboxSyncMailsToAddinFolder(engine, session, utils, entryId, storeId);
        char line[64];
        std::snprintf(line, sizeof line, "Alternativer Posteingang id: %d",
                      static_cast<int>(index + 1));
        WriteDebugLog(line);
    }
    ProcessBasicSyncItems(engine, session, utils);
    ProcessSyncItems(engine, session, utils, false);
}

ImportCycle PlanImportCycle(DWORD minute, bool minuteTurned, bool inboxRequest,
                            bool alternateRequest) {
    ImportCycle cycle;
    if (minute % 10 == 0) {
        // Once, at the turn: every cycle of the minute would take each
        // failed mail up again and report it again, sixty times a minute.
        cycle.retryFailed = minuteTurned;
        return cycle;
    }
    cycle.mainInbox = inboxRequest || (minute % 2 == 0 && minuteTurned);
    cycle.alternate = alternateRequest || (minute % 3 == 0 && minuteTurned);
    return cycle;
}

HRESULT MoveInboxSyncMailsToAddinFolder(CSyncEngine* engine, QMRRDOSession* session,
                                        QMRMAPIUtils* utils, BSTR folderEntryId,
                                        BSTR folderStoreId) {
    if (!engine || !session)
        return E_POINTER;
    CComPtr<QMRMAPIFolder> source;
    HRESULT hr = session->GetFolderFromID(folderEntryId, folderStoreId,
                                          CComVariant(kBestAccess, VT_I4), &source);
    if (SUCCEEDED(hr) && !source)
        hr = E_FAIL;
    if (!LogIfFailed(hr, "cISM2PF:inbox"))
        return hr;
    CComPtr<QMRMAPIFolder> addinFolder;
    hr = engine->FindOrCreateAddinFolder(session, utils, &addinFolder);
    if (SUCCEEDED(hr) && !addinFolder)
        hr = E_FAIL;
    if (!LogIfFailed(hr, "cISM2PF:GetQMRInbox"))
        return hr;

    std::vector<std::wstring> entryIds;
    hr = GetItems(engine, entryIds, source, true, true);
    if (SUCCEEDED(hr))
        hr = GetItems(engine, entryIds, source, false, true);
    if (!LogIfFailed(hr, "cISM2PF:InboxItems"))
        return hr;

    for (std::size_t i = entryIds.size(); i-- > 0;) {
        CComBSTR entryId(entryIds[i].c_str());
        CComPtr<QMRMessage> mail;
        HRESULT opened = session->GetMessageFromID(entryId, folderStoreId,
                                                   CComVariant(kBestAccess, VT_I4), &mail);
        if (!mail) {
            opened = session->GetMessageFromID(entryId, folderStoreId, CComVariant(), &mail);
            if (SUCCEEDED(opened) && !mail)
                opened = E_FAIL;
        }
        if (!LogIfFailed(opened, "cISM2PF:GetElem"))
            continue;
        CComPtr<QMRMessage> moved;
        LogIfFailed(mail->Move(addinFolder, &moved), "cISM2PF:Move");
    }
    return S_OK;
}

unsigned ImportFromInboxThread(void*) {
    BeginExchangeThread("ImportFromInboxThread");
    CSyncEngine* engine = g_pEngine.load();
    CComPtr<QMRRDOSession> session;
    CComPtr<QMRMAPIUtils> utils;
    if (engine)
        session = AttachExchangeThreadSession(engine);
    if (session)
        CreateMAPIUtils(engine, &utils);

    // The first cycle counts as the turn of a minute.
    DWORD lastMinute = GetTickCount() - (kMinuteMs + 1);
    DWORD minute = 0;

    CComBSTR inboxId, inboxStoreId;
    HRESULT hr = E_POINTER;
    if (session && utils) {
        CComPtr<QMRMAPIFolder> inbox;
        hr = session->GetDefaultFolder(kInboxFolder, &inbox);
        if (SUCCEEDED(hr) && !inbox)
            hr = E_FAIL;
        if (LogIfFailed(hr, "IMPINBThread:GetInbox")) {
            hr = inbox->GetStoreID(&inboxStoreId);
            if (LogIfFailed(hr, "IMPINBThread:GetSid"))
                hr = inbox->GetEntryID(&inboxId);
        }
    }
    if (LogIfFailed(hr, "IMPINBThread:Failed2Start")) {
        while (!StopFlag.load()) {
            // Elapsed time in unsigned arithmetic, so that the wrap of the
            // tick count after 49.7 days is one more minute, not a burst.
            const DWORD now = GetTickCount();
            const bool turned = now - lastMinute > kMinuteMs;
            if (turned) {
                lastMinute = GetTickCount();
                ++minute;
            }
            Sleep(kCycleMs);
            const ImportCycle cycle =
                PlanImportCycle(minute, turned, engine->m_mainInboxRequest.load(),
                                engine->m_alternateInboxRequest.load());
            if (cycle.retryFailed) {
                ProcessBasicSyncItems(engine, session, utils);
                ProcessSyncItems(engine, session, utils, true);
                continue;
            }
            if (cycle.mainInbox) {
                RunMainPass(engine, session, utils, inboxId, inboxStoreId);
                engine->m_mainInboxRequest = false;
            }
            if (cycle.alternate) {
                RunAlternatePass(engine, session, utils);
                engine->m_alternateInboxRequest = false;
            }
        }
    }

    // Everything of the helper library is let go before the counter drops:
    // the Quit handler may tear the add-in down as soon as it reads 0.
    session.Release();
    if (utils)
        utils->Cleanup();
    utils.Release();
    EndExchangeThread("ImportFromInboxThread");
    return 0;
}

void AddImportFromInboxThread(ExchangeThreadProcs& procs) {
    procs.importFromInboxThread = ImportFromInboxThread;
}
