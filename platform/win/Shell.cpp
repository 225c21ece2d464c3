#include "platform/win/Shell.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/win/Clock.h"
#include "platform/win/Environment.h"
#include "platform/win/Errors.h"
#include "platform/win/Module.h"
#include "platform/win/Mutex.h"
#include "platform/win/Paths.h"

extern char** environ;

namespace win {
namespace {

// The value a successful call returns; any value above 32 means success.
constexpr std::intptr_t kStarted = 42;

Mutex g_observerMutex;
std::function<void(const ShellExecuteCall&)> g_observer GUARDED_BY(g_observerMutex);
std::atomic<int> g_running{0};

bool IsExecutableFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool EndsWithExe(const std::wstring& s) {
    if (s.size() < 4)
        return false;
    std::wstring tail = s.substr(s.size() - 4);
    for (auto& c : tail)
        c = (c >= L'A' && c <= L'Z') ? c + 32 : c;
    return tail == L".exe";
}

// The host program for a Windows program path: "X.exe" is the host file
// "X", or "X.exe" when that one exists.
std::string FindProgram(const std::wstring& windowsPath) {
    auto host = HostPath(windowsPath);
    if (!host)
        return {};
    if (EndsWithExe(windowsPath)) {
        std::string bare = host->substr(0, host->size() - 4);
        if (IsExecutableFile(bare))
            return bare;
    }
    return IsExecutableFile(*host) ? *host : std::string();
}

std::string ResolveProgram(const std::wstring& file, const std::wstring& directory) {
    bool hasPath = file.find_first_of(L"\\/:") != std::wstring::npos;
    if (!hasPath && !directory.empty()) {
        if (auto p = FindProgram(directory + L"\\" + file); !p.empty())
            return p;
    }
    if (auto p = FindProgram(file); !p.empty() || hasPath)
        return p;
    return FindProgram(WindowsPath(InstallDirectory()) + L"\\" + file);
}

thread_local ScopedChildEnvironment* t_childEnvironment = nullptr;

std::string NameOf(const std::string& entry) {
    return entry.substr(0, entry.find('=') + 1);
}

}  // namespace

struct ChildEnvironmentAccess {
    static const std::vector<std::string>* Entries() {
        return t_childEnvironment ? &t_childEnvironment->m_entries : nullptr;
    }
    static void Started(int pid) {
        if (t_childEnvironment)
            t_childEnvironment->m_lastProcessId = pid;
    }
};

ScopedChildEnvironment::ScopedChildEnvironment(std::vector<std::string> entries)
    : m_entries(std::move(entries)) {
    t_childEnvironment = this;
}

ScopedChildEnvironment::~ScopedChildEnvironment() {
    if (t_childEnvironment == this)
        t_childEnvironment = nullptr;
}

namespace {

std::vector<std::string> ChildEnvironment(int showCmd) {
    static const char* const kReplaced[] = {"QUILLMERE_SHOW_CMD=", "QUILLMERE_USER_DIR=",
                                            "QUILLMERE_INSTALL_DIR=", "QUILLMERE_TIME_SCALE="};
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        bool replaced = false;
        for (const char* r : kReplaced)
            replaced |= std::strncmp(*e, r, std::strlen(r)) == 0;
        if (!replaced)
            env.emplace_back(*e);
    }
    env.push_back("QUILLMERE_SHOW_CMD=" + std::to_string(showCmd));
    env.push_back("QUILLMERE_USER_DIR=" + UserDirectory());
    env.push_back("QUILLMERE_INSTALL_DIR=" + InstallDirectory());
    // The clock's scale as this process runs it (a test may have changed it).
    char scale[32];
    std::snprintf(scale, sizeof scale, "%.17g", TimeScale());
    env.push_back(std::string("QUILLMERE_TIME_SCALE=") + scale);
    if (const auto* extra = ChildEnvironmentAccess::Entries()) {
        for (const std::string& entry : *extra) {
            const std::string name = NameOf(entry);
            std::erase_if(env, [&](const std::string& e) { return e.rfind(name, 0) == 0; });
            env.push_back(entry);
        }
    }
    return env;
}

// Starts the child; returns its pid, or -1 with the errno of the failed
// exec (reported through a pipe that the exec closes).
int Spawn(const std::string& program, const std::vector<std::string>& args,
          const std::vector<std::string>& env, const std::string& directory, int* execErrno) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : env)
        envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        *execErrno = errno;
        return -1;
    }
    pid_t pid = fork();
    if (pid < 0) {
        *execErrno = errno;
        close(fds[0]);
        close(fds[1]);
        return -1;
    }
    if (pid == 0) {
        // Child: only async-signal-safe calls until exec.
        int err = 0;
        if (chdir(directory.c_str()) != 0) {
            err = errno;
        } else {
            execve(program.c_str(), argv.data(), envp.data());
            err = errno;
        }
        ssize_t ignored = write(fds[1], &err, sizeof err);
        (void)ignored;
        _exit(127);
    }
    close(fds[1]);
    int err = 0;
    ssize_t n;
    do {
        n = read(fds[0], &err, sizeof err);
    } while (n < 0 && errno == EINTR);
    close(fds[0]);
    // Reaped on its own thread whether or not the exec worked, so no child
    // is ever left as a zombie and no one waits for it here.
    ++g_running;
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        --g_running;
    }).detach();
    if (n == sizeof err) {
        *execErrno = err;
        return -1;
    }
    return pid;
}

std::intptr_t ResultOfExecErrno(int err) {
    switch (err) {
        case ENOENT:
            return SE_ERR_FNF;
        case ENOTDIR:
            return SE_ERR_PNF;
        case ENOEXEC:
            return ERROR_BAD_FORMAT;
        case ENOMEM:
            return SE_ERR_OOM;
        default:
            return SE_ERR_ACCESSDENIED;
    }
}

std::intptr_t Execute(ShellExecuteCall& call) {
    std::wstring verb = call.verb;
    for (auto& c : verb)
        c = (c >= L'A' && c <= L'Z') ? c + 32 : c;
    if (!verb.empty() && verb != L"open")
        return SE_ERR_NOASSOC;
    if (call.file.empty())
        return SE_ERR_FNF;

    if (!call.directory.empty()) {
        auto dir = HostPath(call.directory);
        struct stat st {};
        if (!dir || stat(dir->c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return SE_ERR_PNF;
        call.hostDirectory = *dir;
    } else {
        WCHAR cwd[MAX_PATH];
        GetCurrentDirectoryW(MAX_PATH, cwd);
        auto dir = HostPath(cwd);
        struct stat st {};
        call.hostDirectory =
            dir && stat(dir->c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? *dir : "/";
    }
    call.hostProgram = ResolveProgram(call.file, call.directory);
    if (call.hostProgram.empty())
        return SE_ERR_FNF;
    if (access(call.hostProgram.c_str(), X_OK) != 0)
        return SE_ERR_ACCESSDENIED;

    call.argv.push_back(call.hostProgram);
    for (const auto& a : SplitCommandLine(call.parameters))
        call.argv.push_back(PathToUtf8(a));
    int err = 0;
    int pid = Spawn(call.hostProgram, call.argv, ChildEnvironment(call.showCmd), call.hostDirectory,
                    &err);
    if (pid < 0)
        return ResultOfExecErrno(err);
    call.processId = pid;
    ChildEnvironmentAccess::Started(pid);
    return kStarted;
}

}  // namespace

void SetShellExecuteObserver(std::function<void(const ShellExecuteCall&)> observer) {
    win::MutexLock lock(g_observerMutex);
    g_observer = std::move(observer);
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine) {
    std::vector<std::wstring> args;
    std::size_t i = 0, n = commandLine.size();
    auto blank = [](wchar_t c) { return c == L' ' || c == L'\t'; };
    while (true) {
        while (i < n && blank(commandLine[i]))
            ++i;
        if (i >= n)
            break;
        std::wstring arg;
        bool quoted = false;
        while (i < n && (quoted || !blank(commandLine[i]))) {
            wchar_t c = commandLine[i];
            if (c == L'\\') {
                std::size_t slashes = 0;
                while (i < n && commandLine[i] == L'\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && commandLine[i] == L'"') {
                    // 2n backslashes + quote: n backslashes, the quote
                    // delimits; 2n+1: n backslashes and a literal quote.
                    arg.append(slashes / 2, L'\\');
                    if (slashes % 2) {
                        arg += L'"';
                        ++i;
                    }
                } else {
                    arg.append(slashes, L'\\');
                }
                continue;
            }
            if (c == L'"') {
                if (quoted && i + 1 < n && commandLine[i + 1] == L'"') {
                    arg += L'"';  // "" inside quotes is one literal quote
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += c;
            ++i;
        }
        args.push_back(std::move(arg));
    }
    return args;
}

std::wstring JoinCommandLine(const std::vector<std::wstring>& args) {
    std::wstring line;
    for (const auto& arg : args) {
        if (!line.empty())
            line += L' ';
        if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos) {
            line += arg;
            continue;
        }
        // Quoted: backslashes before a quote (or the closing quote) double.
        line += L'"';
        std::size_t slashes = 0;
        for (wchar_t c : arg) {
            if (c == L'\\') {
                ++slashes;
                continue;
            }
            line.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
            slashes = 0;
            line += c;
        }
        line.append(slashes * 2, L'\\');
        line += L'"';
    }
    return line;
}

namespace {

// argv of this process, from the kernel's copy.
std::vector<std::string> ProcessArguments() {
    std::vector<std::string> args;
    int fd = open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return args;
    std::string all;
    char buf[4096];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        all.append(buf, static_cast<std::size_t>(n));
    close(fd);
    for (std::size_t i = 0; i < all.size();) {
        std::size_t end = all.find('\0', i);
        if (end == std::string::npos)
            end = all.size();
        args.push_back(all.substr(i, end - i));
        i = end + 1;
    }
    return args;
}

}  // namespace

std::wstring CommandLineArguments() {
    std::vector<std::string> args = ProcessArguments();
    std::vector<std::wstring> wide;
    for (std::size_t i = 1; i < args.size(); ++i)
        wide.push_back(PathFromUtf8(args[i]));
    return JoinCommandLine(wide);
}

int RunningShellChildren() {
    return g_running.load();
}

}  // namespace win

const WCHAR* GetCommandLineW() {
    static const std::wstring line = [] {
        WCHAR program[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, program, MAX_PATH);
        std::wstring all = win::JoinCommandLine({program});
        std::wstring rest = win::CommandLineArguments();
        return rest.empty() ? all : all + L" " + rest;
    }();
    return line.c_str();
}

HINSTANCE ShellExecuteW(HWND hwnd, const WCHAR* verb, const WCHAR* file, const WCHAR* parameters,
                        const WCHAR* directory, INT showCmd) {
    win::ShellExecuteCall call;
    call.verb = verb ? verb : L"";
    call.file = file ? file : L"";
    call.parameters = parameters ? parameters : L"";
    call.directory = directory ? directory : L"";
    call.showCmd = showCmd;
    call.result = win::Execute(call);
    std::function<void(const win::ShellExecuteCall&)> observer;
    {
        win::MutexLock lock(win::g_observerMutex);
        observer = win::g_observer;
    }
    if (observer)
        observer(call);
    if (call.result <= 32)
        SetLastError(static_cast<DWORD>(call.result));
    return reinterpret_cast<HINSTANCE>(call.result);
}
