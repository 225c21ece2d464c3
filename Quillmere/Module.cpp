// libQuillmere.so: the add-in module. Its classes come from the subsystem
// libraries linked into it whole; the COM entry points live in core/.
//
// The core reaches the sync-mail exchange through seams (its unit tests run
// without the exchange). The module plugs the real parts in when it is
// loaded, before Outlook can create the add-in object.
#include "Quillmere/core/Connect.h"
#include "Quillmere/core/HiddenWindow.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/BasicSync.h"
#include "Quillmere/exchange/DelMailSender.h"
#include "Quillmere/exchange/ImportFromInbox.h"
#include "Quillmere/exchange/MailSender.h"
#include "Quillmere/exchange/OutboxRecheck.h"
#include "Quillmere/exchange/QueueChange.h"
#include "Quillmere/exchange/SendQueues.h"

namespace {

LONG PendingMailCount() {
    return static_cast<LONG>(MailSenderList.Count() + DelMailSenderList.Count());
}

struct AddinWiring {
    AddinWiring() {
        ExchangeThreadProcs procs;
        AddDelMailSendThread(procs);
        AddMailSendThread(procs);
        AddImportFromInboxThread(procs);
        SetExchangeThreadProcs(procs);
        SetBasicSyncProc(BasicSync);
        SetRecheckOutboxProc([](CSyncEngine* engine) { RecheckOutbox(engine, engine->Session()); });
        SetCancelSendQueueProc([] { MailSenderList.Clear(); });
        SetProfileKnownProc([](CSyncEngine* engine, const std::wstring& profile) {
            SetQueueFilePaths(
                QueueFilePath(engine->DataDirectory(), profile, kMailQueueFileSuffix),
                QueueFilePath(engine->DataDirectory(), profile, kDelMailQueueFileSuffix));
        });
        ConnectHooks hooks;
        hooks.pendingMailCount = PendingMailCount;
        hooks.registerReminder = RegisterReminder;
        hooks.initiateShutdown = InitiateShutdown;
        SetConnectHooks(hooks);
    }
};

const AddinWiring g_wiring;

}  // namespace
