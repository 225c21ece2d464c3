// The test API over host processes: user directories with profiles made in a
// temporary directory, one outlook-host process per user on a shared post
// office, the user's actions through the control socket, waits bounded in
// simulated time, and the end of the processes.
//
//   HostProcess alice(program, root + "/alice");
//   alice.Init(L"Alice", L"alice@example.org");
//   alice.Start(root + "/postoffice");
//   alice.Command({"send", "--to", "bob@example.org", "--subject", "Hi"});
//   bob.WaitFor({"list", "Inbox"}, "Hi", 20000);
//   alice.Stop();
//
// The process inherits the environment (QUILLMERE_TIME_SCALE among it), so
// its clock runs at the test's scale, on real time. A wait on the process
// (Start, WaitFor, Stop) ends as soon as what it waits for is there; it
// gives up only once its platform limit and kHostHangBound of real time have
// passed. The platform limit alone can't tell a hang: the host's real work
// under a loaded machine stretches any platform span. So the real bound is
// one only a hang reaches, and tests check the times the events carry, not
// how long the wait took.
//
// Threading: one thread uses an object at a time.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "host/HostCommands.h"
#include "platform/win/Errors.h"

namespace host {

class HostProcess {
public:
    // program: the outlook-host executable.
    HostProcess(std::string program, std::string userDirectory);
    // Stops a running process (quit, then kill after a bounded wait).
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    const std::string& UserDirectory() const { return m_userDirectory; }

    // Runs `outlook-host ARGS...` to its end; its exit status, and its
    // output (stdout and stderr) in *output when not null.
    int RunTool(const std::vector<std::string>& args, std::string* output = nullptr) const;
    // outlook-host init for a profile of this user directory. True on success.
    bool Init(const std::wstring& profileName, const std::wstring& address, bool exchange = false);

    // Starts `outlook-host run` and waits (at most limitMs) until its
    // control socket answers. False when the process ended or never answered.
    bool Start(const std::string& postOffice, const std::wstring& profileName = L"",
               unsigned limitMs = 30000);
    bool Running();
    // Variables (NAME=VALUE) that every later Start puts over the inherited
    // environment (QUILLMERE_CRASH_AT, for one).
    void SetEnvironment(std::vector<std::string> variables) {
        m_environment = std::move(variables);
    }
    // Ends the running process at once with SIGKILL, as a crash would, and
    // reaps it. False when none was running.
    bool Kill();
    // Waits (at most limitMs) for the process to end by itself, e.g. at an
    // armed crash point. True when it ended; *killed (optional) tells whether
    // SIGKILL ended it.
    bool WaitForEnd(unsigned limitMs, bool* killed = nullptr);
    // One command as the user; result.ok false with the reason when the
    // host refused or could not be reached.
    CommandResult Command(const std::vector<std::string>& args);
    // Repeats the command until its answer contains text (or, with absent,
    // no longer contains it) or limitMs have passed. True when it did.
    bool WaitFor(const std::vector<std::string>& args, const std::string& text, unsigned limitMs,
                 bool absent = false);
    // quit, then waits for the process (at most limitMs, else it is
    // killed). The exit status (-1 when killed or not started).
    int Stop(unsigned limitMs = 30000);
    // Waits (at most limitMs) for the process to end by itself, without
    // asking it (another program quit the client). Its exit status; -1 when
    // it still runs (it is left running) or was never started.
    int WaitForExit(unsigned limitMs = 30000);
    // What the process wrote (stdout and stderr) so far.
    std::string Output() const;

private:
    std::string m_program;
    std::string m_userDirectory;
    pid_t m_pid = -1;
    int m_exitStatus = -1;  // of the last process, once it was reaped
    std::string m_outputFile;
    std::vector<std::string> m_environment;
};

// How long a wait on a host process lasts at least, in real time: far more
// than the real work behind any step of a host takes on a loaded machine
// (with every core busy several times over, one step of a host was seen to
// take 40 real seconds and its quit more than 60).
inline constexpr std::chrono::seconds kHostHangBound{180};

// Repeats condition until it holds, or until limitMs of platform time and at
// least realFloor of real time have passed; its last answer.
bool WaitUntil(const std::function<bool()>& condition, ULONGLONG limitMs,
               std::chrono::milliseconds realFloor = kHostHangBound);

}  // namespace host
