#include "host/HostProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/ControlSocket.h"
#include "platform/win/Clock.h"
#include "platform/win/Text.h"

extern char** environ;

namespace host {

namespace {

// Real time between two looks; short against every limit the tests use.
constexpr auto kPollInterval = std::chrono::milliseconds(5);

bool WaitForProcess(const std::function<bool()>& condition, unsigned limitMs) {
    return WaitUntil(condition, limitMs, kHostHangBound);
}

// The inherited environment with variables (NAME=VALUE) put over it.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& variables) {
    std::vector<std::string> all;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& v : variables)
            replaced = replaced || entry.compare(0, v.find('=') + 1, v, 0, v.find('=') + 1) == 0;
        if (!replaced)
            all.push_back(entry);
    }
    all.insert(all.end(), variables.begin(), variables.end());
    return all;
}

pid_t Spawn(const std::string& program, const std::vector<std::string>& args,
            const std::string& outputFile, const std::vector<std::string>& variables = {}) {
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    // Made before the fork: the child may only make async-signal-safe calls.
    std::vector<std::string> environment = EnvironmentWith(variables);
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // A test that is killed at its time limit takes its hosts with it, so
        // none of them lingers on the machine (holding its user directory).
        // The signal follows the forking thread: tests start hosts from their
        // main thread.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        int fd = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::close(fd);
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

bool WaitUntil(const std::function<bool()>& condition, ULONGLONG limitMs,
               std::chrono::milliseconds realFloor) {
    const auto realEnd = std::chrono::steady_clock::now() + realFloor;
    const ULONGLONG end = GetTickCount64() + limitMs;
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount64() >= end && std::chrono::steady_clock::now() >= realEnd)
            return condition();
        std::this_thread::sleep_for(kPollInterval);
    }
}

HostProcess::HostProcess(std::string program, std::string userDirectory)
    : m_program(std::move(program)), m_userDirectory(std::move(userDirectory)) {
    m_outputFile = m_userDirectory + ".host-output.txt";
}

HostProcess::~HostProcess() {
    if (m_pid > 0)
        Stop();
}

int HostProcess::RunTool(const std::vector<std::string>& args, std::string* output) const {
    std::string file = m_userDirectory + ".tool-output.txt";
    ::unlink(file.c_str());
    pid_t pid = Spawn(m_program, args, file);
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return -1;
    if (output)
        *output = ReadAll(file);
    ::unlink(file.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HostProcess::Init(const std::wstring& profileName, const std::wstring& address,
                       bool exchange) {
    std::vector<std::string> args{"init",      m_userDirectory,
                                  "--profile", win::ToUtf8(profileName),
                                  "--address", win::ToUtf8(address)};
    if (exchange)
        args.push_back("--exchange");
    return RunTool(args) == 0;
}

bool HostProcess::Start(const std::string& postOffice, const std::wstring& profileName,
                        unsigned limitMs) {
    std::vector<std::string> args{"run", m_userDirectory, "--postoffice", postOffice};
    if (!profileName.empty()) {
        args.push_back("--profile");
        args.push_back(win::ToUtf8(profileName));
    }
    m_exitStatus = -1;
    m_pid = Spawn(m_program, args, m_outputFile, m_environment);
    if (m_pid < 0)
        return false;
    return WaitForProcess(
               [&] {
                   if (!Running())
                       return true;
                   CommandResult r;
                   std::string error;
                   return SUCCEEDED(SendCommand(m_userDirectory, {"log"}, &r, &error)) && r.ok;
               },
               limitMs) &&
           Running();
}

bool HostProcess::Running() {
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_pid = -1;
        m_exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

int HostProcess::WaitForExit(unsigned limitMs) {
    if (m_pid <= 0)
        return m_exitStatus;
    if (!WaitForProcess([&] { return !Running(); }, limitMs))
        return -1;
    return m_exitStatus;
}

CommandResult HostProcess::Command(const std::vector<std::string>& args) {
    CommandResult r;
    std::string error;
    if (FAILED(SendCommand(m_userDirectory, args, &r, &error)))
        return CommandResult{false, error};
    return r;
}

bool HostProcess::WaitFor(const std::vector<std::string>& args, const std::string& text,
                          unsigned limitMs, bool absent) {
    return WaitForProcess(
        [&] {
            CommandResult r = Command(args);
            bool has = r.text.find(text) != std::string::npos;
            return r.ok && has != absent;
        },
        limitMs);
}

int HostProcess::Stop(unsigned limitMs) {
    if (m_pid <= 0)
        return -1;
    Command({"quit"});
    int status = 0;
    bool ended =
        WaitForProcess([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, limitMs);
    if (!ended) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
        m_pid = -1;
        return -1;
    }
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HostProcess::Kill() {
    if (!Running())
        return false;
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_pid = -1;
    return true;
}

bool HostProcess::WaitForEnd(unsigned limitMs, bool* killed) {
    if (killed)
        *killed = false;
    if (m_pid <= 0)
        return false;
    int status = 0;
    if (!WaitForProcess([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, limitMs))
        return false;
    m_pid = -1;
    if (killed)
        *killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    return true;
}

std::string HostProcess::Output() const {
    return ReadAll(m_outputFile);
}

}  // namespace host
