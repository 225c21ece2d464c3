// The stand-in mail client for one profile of one user directory, in the
// calling process: a UI thread with its message loop, the object model over
// the profile's stores (item events, NewMail, Reminder, OptionsPagesAdd,
// Quit raised on that thread), the add-ins registered for the profile
// (AddInLoader.h), and, with a post office, the mail road between profiles:
// submitted mail leaves through the post office (MailRoad.h) and mail that
// arrives in the Maildirs of the profile's accounts is filed into its Inbox
// (or where a rule moves it), followed by NewMail.
//
// The add-in keeps process-wide state and the user directory is the
// process's (win::SetUserDirectory), so a process runs at most one host;
// Start refuses a second one while the first runs.
//
// Threading: Start, RunOnUi, Quit, WaitForEnd and the destructor from any
// thread but the UI thread (RunOnUi from the UI thread runs inline). What
// RunOnUi runs may use Application() and the other UI-thread members. The UI
// thread is a platform thread and every wait for it a platform wait, so that
// a test on the virtual clock (platform/win/Clock.h) can wait for it while
// the client's timers and the add-in's polls run on.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/UserDirectory.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/outlook/WindowUiDispatcher.h"
#include "platform/win/Handle.h"

namespace transport {
class Watcher;
}

namespace host {

class AddInLoader;
class MailRoad;

struct HostOptions {
    // Made the process's user directory.
    std::string userDirectory;
    // "" = the user directory's first profile by name.
    std::wstring profileName;
    // The shared post office directory; empty: no mail leaves or arrives.
    std::string postOffice;
    // Platform ms between two looks into the Maildirs (QUILLMERE_TIME_SCALE applies).
    DWORD mailPollMs = 1000;
    // Platform ms between two looks for reminders that fell due.
    DWORD reminderPollMs = 1000;
    // Load and connect the add-ins registered for the profile.
    bool loadAddIns = true;
};

// One line of what the host did, for `outlook-host log` and tests
// ("NewMail", "Reminder <subject>", "add-in Quillmere.Connect connected" ...).
using HostEventLog = std::vector<std::string>;

class OutlookHost {
public:
    // Starts the UI thread and waits until the client runs (add-ins
    // connected). S_OK; E_UNEXPECTED when this process runs a host already;
    // MAPI_E_NOT_FOUND for a missing profile; the object model's errors;
    // *error (may be null) says why in one line.
    static HRESULT Start(const HostOptions& options, std::unique_ptr<OutlookHost>* out,
                         std::string* error = nullptr);
    // Quit (when not done yet) and waits for the UI thread.
    ~OutlookHost();
    OutlookHost(const OutlookHost&) = delete;
    OutlookHost& operator=(const OutlookHost&) = delete;

    // Runs task on the UI thread and waits for it. False (task not run)
    // when the UI thread has ended.
    bool RunOnUi(const std::function<void()>& task);
    // Posts task to the UI thread without waiting (dropped after the end).
    void PostToUi(std::function<void()> task);

    // Closes the client as the user does: Quit is raised on the UI thread
    // (the add-ins' handlers may wait there as long as they need), the
    // add-ins are disconnected and released, the mail road stops and the
    // UI thread ends. Returns when it has ended. Harmless when done.
    void Quit();
    // Waits until the UI thread has ended (a quit command, or an add-in's
    // _Application::Quit).
    void WaitForEnd();
    bool Ended();

    // One pass over the Maildirs now, on the calling thread; the number of
    // mails filed. 0 without a post office.
    int PollMail();
    // Raises Reminder for every item whose reminder fell due and was not
    // raised yet (UI thread).
    void CheckReminders();

    // UI thread only.
    outlook::OutlookApplication* Application() { return m_app.get(); }
    const HostProfile& Profile() const { return m_profile; }
    const HostOptions& Options() const { return m_options; }
    DWORD UiThreadId() const { return m_uiThreadId; }
    AddInLoader* AddIns() { return m_addIns.get(); }

    // Any thread.
    void Log(const std::string& line);
    HostEventLog EventLog();

private:
    struct StartReport;
    OutlookHost() = default;
    static DWORD UiThreadMain(void* start);
    void UiThread(StartReport* start);
    void QuitOnUi();
    static void ReminderTimer(HWND, UINT, UINT_PTR, DWORD);

    HostOptions m_options;
    HostProfile m_profile;
    HANDLE m_thread = nullptr;  // the UI thread
    DWORD m_uiThreadId = 0;
    std::shared_ptr<outlook::WindowUiDispatcher> m_ui;
    std::unique_ptr<outlook::OutlookApplication> m_app;
    std::unique_ptr<outlook::RunningApplication> m_running;  // UI thread
    std::unique_ptr<AddInLoader> m_addIns;
    std::shared_ptr<MailRoad> m_road;
    std::unique_ptr<transport::Watcher> m_watcher;
    // Reminders raised already: entry id + signal time (UI thread).
    std::vector<std::pair<store::Bytes, LONGLONG>> m_remindersRaised;
    bool m_quitDone = false;  // UI thread

    std::mutex m_stateLock;
    // Manual-reset, set once the UI thread's loop has ended.
    HANDLE m_endedEvent = nullptr;
    bool m_ended = false;     // guarded by m_stateLock
    HostEventLog m_eventLog;  // guarded by m_stateLock
};

}  // namespace host
