#include "host/OutlookHost.h"

#include <atomic>

#include "host/AddInLoader.h"
#include "host/MailRoad.h"
#include "platform/com/Com.h"
#include "platform/mapi/NamedProperty.h"
#include "platform/mapi/PropTags.h"
#include "platform/store/Message.h"
#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/Event.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"
#include "platform/win/Timer.h"
#include "platform/win/WindowPicture.h"

namespace host {

namespace {

constexpr UINT_PTR kReminderTimerId = 0x5157;

// The host of this process (one at a time), for the reminder timer.
std::atomic<OutlookHost*> g_host{nullptr};

std::wstring HexOf(const store::Bytes& bytes) {
    std::wstring text;
    for (BYTE b : bytes) {
        text.push_back(L"0123456789ABCDEF"[b >> 4]);
        text.push_back(L"0123456789ABCDEF"[b & 15]);
    }
    return text;
}

// PidLidReminderSignalTime of the common named property set.
const mapi::NamedProperty& ReminderSignalTime() {
    static const mapi::NamedProperty name = mapi::NamedProperty::ById(mapi::PSETID_Common, 0x8560);
    return name;
}

}  // namespace

// What the UI thread tells Start: set done once result (and, on failure,
// *error) are in.
struct OutlookHost::StartReport {
    OutlookHost* host;
    HANDLE done;
    HRESULT result;
    std::string* error;
};

HRESULT OutlookHost::Start(const HostOptions& options, std::unique_ptr<OutlookHost>* out,
                           std::string* error) {
    std::string ignored;
    if (!error)
        error = &ignored;
    out->reset();
    OutlookHost* expected = nullptr;
    std::unique_ptr<OutlookHost> host(new OutlookHost());
    if (!g_host.compare_exchange_strong(expected, host.get())) {
        *error = "this process runs a host already";
        return E_UNEXPECTED;
    }
    host->m_options = options;
    win::SetUserDirectory(options.userDirectory);
    HRESULT hr =
        LoadHostProfile(options.userDirectory, options.profileName, &host->m_profile, error);
    if (FAILED(hr)) {
        g_host = nullptr;
        return hr;
    }
    host->m_endedEvent = CreateEventW(nullptr, TRUE, FALSE);
    StartReport start{host.get(), CreateEventW(nullptr, TRUE, FALSE), E_FAIL, error};
    host->m_thread = CreateThread(nullptr, 0, &OutlookHost::UiThreadMain, &start, 0, nullptr);
    if (host->m_thread)
        WaitForSingleObject(start.done, INFINITE);
    CloseHandle(start.done);
    if (!host->m_thread || FAILED(start.result)) {
        if (host->m_thread) {
            WaitForSingleObject(host->m_thread, INFINITE);
            CloseHandle(host->m_thread);
            host->m_thread = nullptr;
        } else {
            *error = "the UI thread cannot be started";
            start.result = E_OUTOFMEMORY;
        }
        host->m_quitDone = true;
        g_host = nullptr;
        return start.result;
    }
    *out = std::move(host);
    return S_OK;
}

OutlookHost::~OutlookHost() {
    if (m_thread) {
        Quit();
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
    }
    if (m_endedEvent)
        CloseHandle(m_endedEvent);
    OutlookHost* self = this;
    g_host.compare_exchange_strong(self, nullptr);
}

DWORD OutlookHost::UiThreadMain(void* start) {
    auto* report = static_cast<StartReport*>(start);
    report->host->UiThread(report);
    return 0;
}

void OutlookHost::UiThread(StartReport* start) {
    m_uiThreadId = GetCurrentThreadId();
    // The host's screen keeps a picture of each dialog as it closes, for
    // `outlook-host picture` (a basic synchronisation's progress window).
    win::KeepPicturesOfClosingWindows(true);
    // start lives until done is set: nothing of it is touched afterwards.
    auto report = [start](HRESULT hr, const std::string& why) {
        start->result = hr;
        if (FAILED(hr))
            *start->error = why;
        SetEvent(start->done);
    };
    CoInitialize(nullptr);
    m_ui = outlook::WindowUiDispatcher::Create();
    HRESULT hr = m_ui ? S_OK : E_FAIL;
    if (SUCCEEDED(hr)) {
        outlook::ApplicationOptions appOptions;
        appOptions.profile = m_profile.mapi;
        appOptions.version = m_profile.version;
        appOptions.ui = m_ui;
        hr = outlook::OutlookApplication::Create(appOptions, &m_app);
    }
    if (FAILED(hr)) {
        m_app.reset();
        m_ui.reset();
        CoUninitialize();
        report(hr, "the profile's stores cannot be opened");
        return;
    }
    m_app->SetQuitHandler([this] { QuitOnUi(); });
    // As the client's installation and start leave it: "Outlook.Application"
    // registered, and this client the one that other programs of the user
    // (the add-in's rule helper) reach through it, before any add-in starts
    // them.
    if (FAILED(outlook::RegisterApplicationClass(m_profile.version)))
        Log("\"Outlook.Application\" could not be registered");
    if (FAILED(outlook::RunningApplication::Register(m_app->Application(), &m_running)))
        Log("another client of this user directory is \"Outlook.Application\"");

    if (!m_options.postOffice.empty()) {
        m_road = std::make_shared<MailRoad>(
            transport::PostOffice(m_options.postOffice), m_profile,
            [this](const store::Bytes&, const store::Bytes&) {
                PostToUi([this] {
                    Log("NewMail");
                    if (m_app)
                        m_app->FireNewMail();
                });
            },
            [this](const std::string& line) { Log(line); });
        m_road->SetApplication(m_app.get());
        rdo::SetMailTransport(m_road);
        std::shared_ptr<MailRoad> road = m_road;
        m_watcher = std::make_unique<transport::Watcher>(
            road->PostOffice(), m_profile.addresses,
            [road](const transport::IncomingMessage& m) { return road->File(m); });
        m_watcher->Start(m_options.mailPollMs);
    }
    m_addIns = std::make_unique<AddInLoader>(m_app.get(), [this](const std::string& l) { Log(l); });
    if (m_options.loadAddIns)
        m_addIns->LoadAll(m_profile.mapi.profileName);
    SetTimer(m_ui->Window(), kReminderTimerId, m_options.reminderPollMs,
             &OutlookHost::ReminderTimer);
    Log("started profile " + win::ToUtf8(m_profile.mapi.profileName));
    report(S_OK, "");

    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    QuitOnUi();  // a WM_QUIT from elsewhere still closes the client properly
    KillTimer(m_ui->Window(), kReminderTimerId);
    m_app.reset();
    std::shared_ptr<outlook::WindowUiDispatcher> ui;
    {
        std::lock_guard lock(m_stateLock);
        m_ended = true;
        ui = std::move(m_ui);
    }
    SetEvent(m_endedEvent);
    ui.reset();  // drops what was posted after the loop ended
    CoUninitialize();
}

void OutlookHost::QuitOnUi() {
    if (m_quitDone)
        return;
    m_quitDone = true;
    // Other programs lose the client first: nothing reaches it while it
    // closes.
    m_running.reset();
    Log("Quit");
    m_app->FireQuit();
    m_addIns->DisconnectAll();
    if (m_watcher)
        m_watcher->Stop();
    m_watcher.reset();
    if (m_road) {
        if (rdo::GetMailTransport() == m_road)
            rdo::SetMailTransport(nullptr);
        m_road->SetApplication(nullptr);
    }
    m_addIns.reset();
    PostQuitMessage(0);
}

bool OutlookHost::RunOnUi(const std::function<void()>& task) {
    if (GetCurrentThreadId() == m_uiThreadId) {
        task();
        return true;
    }
    // Set by the task once it ran; the UI thread's end is the other way the
    // wait ends (a task posted too late is dropped).
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE);
    {
        std::lock_guard lock(m_stateLock);
        if (m_ended || !m_ui) {
            CloseHandle(done);
            return false;
        }
        m_ui->Post([&task, done] {
            task();
            SetEvent(done);
        });
    }
    // Once the loop has ended a task not run yet never runs: it is dropped
    // with the dispatcher.
    HANDLE ends[] = {done, m_endedEvent};
    MsgWaitForMultipleObjects(2, ends, FALSE, INFINITE, 0);
    const bool ran = WaitForSingleObject(done, 0) == WAIT_OBJECT_0;
    CloseHandle(done);
    return ran;
}

void OutlookHost::PostToUi(std::function<void()> task) {
    std::lock_guard lock(m_stateLock);
    if (!m_ended && m_ui)
        m_ui->Post(std::move(task));
}

void OutlookHost::Quit() {
    RunOnUi([this] { QuitOnUi(); });
    WaitForEnd();
}

void OutlookHost::WaitForEnd() {
    WaitForSingleObject(m_endedEvent, INFINITE);
}

bool OutlookHost::Ended() {
    std::lock_guard lock(m_stateLock);
    return m_ended;
}

int OutlookHost::PollMail() {
    int filed = 0;
    RunOnUi([&] {
        // The watcher belongs to the UI thread; polling here keeps it alive.
        if (m_watcher)
            filed = m_watcher->Poll();
    });
    return filed;
}

void OutlookHost::ReminderTimer(HWND, UINT, UINT_PTR, DWORD) {
    if (OutlookHost* host = g_host.load())
        host->CheckReminders();
}

void OutlookHost::CheckReminders() {
    if (!m_app || m_quitDone)
        return;
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    for (const auto& location : m_profile.mapi.stores) {
        std::unique_ptr<store::Session> session;
        if (FAILED(store::Session::Open(location.hostPath, &session)))
            continue;
        std::vector<store::Bytes> due;
        if (FAILED(session->GetRemindersDue(win::FileTimeToUInt64(now), &due)))
            continue;
        for (const store::Bytes& id : due) {
            std::unique_ptr<store::Message> message;
            if (FAILED(session->OpenMessage(id, &message)))
                continue;
            const mapi::PropValue* signal = message->GetNamed(ReminderSignalTime());
            LONGLONG when = signal && signal->Integer() ? *signal->Integer() : 0;
            bool raised = false;
            for (const auto& [rid, rwhen] : m_remindersRaised)
                raised = raised || (rid == id && rwhen == when);
            if (raised)
                continue;
            m_remindersRaised.emplace_back(id, when);
            CComPtr<IDispatch> item;
            if (FAILED(m_app->GetItemFromID(HexOf(id), &item)))
                continue;
            const mapi::PropValue* subject = message->Props().Find(mapi::PR_SUBJECT);
            Log("Reminder " + (subject && subject->Wide() ? win::ToUtf8(*subject->Wide()) : ""));
            m_app->FireReminder(item);
        }
    }
}

void OutlookHost::Log(const std::string& line) {
    std::lock_guard lock(m_stateLock);
    m_eventLog.push_back(line);
}

HostEventLog OutlookHost::EventLog() {
    std::lock_guard lock(m_stateLock);
    return m_eventLog;
}

}  // namespace host
