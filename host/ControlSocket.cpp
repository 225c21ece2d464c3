#include "host/ControlSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/win/Clock.h"

namespace host {

namespace {

constexpr std::size_t kMaxArguments = 1000;
// A client that sends nothing for this long (platform ms, and at least the
// real floor) is dropped, so one stuck connection cannot keep the user's other
// commands waiting. The floor is real time: on a loaded machine a client can
// lose the processor between its connect and its request for longer than a
// scaled clock's 10 s (250 ms at scale 40), and must not be dropped for it.
constexpr ULONGLONG kClientSilenceMs = 10000;
constexpr std::chrono::seconds kClientSilenceRealFloor{10};
// How long (platform ms) a client waits for the host's answer; at least the
// real floor, as a loaded machine stretches the host's real work behind a
// command whatever the clock's scale.
constexpr ULONGLONG kAnswerLimitMs = 120000;
constexpr std::chrono::seconds kAnswerRealFloor{30};

void SetTimeouts(int fd, ULONGLONG platformMs,
                 std::chrono::microseconds realFloor = std::chrono::microseconds(0)) {
    auto real = std::max(
        std::chrono::duration_cast<std::chrono::microseconds>(win::PlatformMsToReal(platformMs)),
        realFloor);
    timeval limit{static_cast<time_t>(real.count() / 1000000),
                  static_cast<suseconds_t>(real.count() % 1000000)};
    if (limit.tv_sec == 0 && limit.tv_usec == 0)
        limit.tv_usec = 1000;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}
constexpr std::size_t kMaxArgumentBytes = 64u << 20;

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// A buffered reader of one connection.
class Reader {
public:
    explicit Reader(int fd) : m_fd(fd) {}
    bool Byte(char* c) {
        if (m_pos == m_len) {
            ssize_t n;
            do {
                n = ::recv(m_fd, m_buffer, sizeof m_buffer, 0);
            } while (n < 0 && errno == EINTR);
            if (n <= 0)
                return false;
            m_len = static_cast<std::size_t>(n);
            m_pos = 0;
        }
        *c = m_buffer[m_pos++];
        return true;
    }
    // A decimal count ended by '\n'.
    bool Count(std::size_t* value, std::size_t limit) {
        *value = 0;
        char c = 0;
        int digits = 0;
        while (Byte(&c) && c != '\n') {
            if (c < '0' || c > '9' || ++digits > 12)
                return false;
            *value = *value * 10 + static_cast<std::size_t>(c - '0');
        }
        return c == '\n' && digits > 0 && *value <= limit;
    }
    bool Bytes(std::size_t n, std::string* out) {
        out->clear();
        out->reserve(n);
        char c = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (!Byte(&c))
                return false;
            out->push_back(c);
        }
        return true;
    }
    std::string Rest() {
        std::string rest;
        char c = 0;
        while (Byte(&c))
            rest.push_back(c);
        return rest;
    }

private:
    int m_fd;
    char m_buffer[4096];
    std::size_t m_pos = 0, m_len = 0;
};

bool Address(const std::string& path, sockaddr_un* addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path)
        return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

std::string ControlSocketPath(const std::string& userDirectory) {
    return userDirectory + "/outlook-host.sock";
}

HRESULT UserDirectoryLock::Acquire(const std::string& userDirectory,
                                   std::unique_ptr<UserDirectoryLock>* out, std::string* error) {
    std::string path = userDirectory + "/outlook-host.lock";
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return E_FAIL;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char pid[32] = {};
        ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
        std::string who = n > 0 ? std::string(pid, static_cast<std::size_t>(n)) : "?";
        while (!who.empty() && (who.back() == '\n' || who.back() == ' '))
            who.pop_back();
        ::close(fd);
        *error = "the user directory " + userDirectory +
                 " is in use by another running outlook-host (process " + who + ")";
        return HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION);
    }
    std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) == 0)
        (void)!::pwrite(fd, pid.data(), pid.size(), 0);
    out->reset(new UserDirectoryLock(fd));
    return S_OK;
}

UserDirectoryLock::~UserDirectoryLock() {
    ::close(m_fd);  // releases the flock
}

ControlServer::~ControlServer() {
    Stop();
}

HRESULT ControlServer::Start(const std::string& userDirectory, Handler handler,
                             std::string* error) {
    m_path = ControlSocketPath(userDirectory);
    sockaddr_un addr;
    if (!Address(m_path, &addr)) {
        *error = "the socket path " + m_path + " is too long for a Unix socket";
        return E_FAIL;
    }
    m_listen = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listen < 0) {
        *error = std::string("cannot make a socket: ") + std::strerror(errno);
        return E_FAIL;
    }
    ::unlink(m_path.c_str());  // a stale socket of a host that ended without cleaning up
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listen, 16) != 0) {
        *error = "cannot listen on " + m_path + ": " + std::strerror(errno);
        ::close(m_listen);
        m_listen = -1;
        return E_FAIL;
    }
    m_handler = std::move(handler);
    m_stop = false;
    m_thread = std::thread(&ControlServer::Serve, this);
    return S_OK;
}

void ControlServer::Stop() {
    if (m_listen < 0)
        return;
    m_stop = true;
    ::shutdown(m_listen, SHUT_RDWR);
    if (m_thread.joinable())
        m_thread.join();
    ::close(m_listen);
    m_listen = -1;
    ::unlink(m_path.c_str());
}

void ControlServer::Serve() {
    while (!m_stop) {
        pollfd p{m_listen, POLLIN, 0};
        int ready = ::poll(&p, 1, 100);  // real ms: only how soon Stop is noticed
        if (ready <= 0)
            continue;
        int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        SetTimeouts(fd, kClientSilenceMs, kClientSilenceRealFloor);
        Reader reader(fd);
        std::size_t count = 0;
        std::vector<std::string> args;
        bool ok = reader.Count(&count, kMaxArguments);
        for (std::size_t i = 0; ok && i < count; ++i) {
            std::size_t size = 0;
            std::string arg;
            ok = reader.Count(&size, kMaxArgumentBytes) && reader.Bytes(size, &arg);
            args.push_back(std::move(arg));
        }
        CommandResult result = ok ? m_handler(args) : CommandResult{false, "malformed request\n"};
        const char* status = result.ok ? "0\n" : result.badArguments ? "2\n" : "1\n";
        WriteAll(fd, status + result.text);
        ::close(fd);
    }
}

HRESULT SendCommand(const std::string& userDirectory, const std::vector<std::string>& args,
                    CommandResult* result, std::string* error) {
    std::string path = ControlSocketPath(userDirectory);
    sockaddr_un addr;
    if (!Address(path, &addr)) {
        *error = "the socket path " + path + " is too long";
        return E_FAIL;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("cannot make a socket: ") + std::strerror(errno);
        return E_FAIL;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        *error = "no outlook-host runs for " + userDirectory +
                 " (start one with: outlook-host run " + userDirectory + ")";
        return MAPI_E_NOT_FOUND;
    }
    SetTimeouts(fd, kAnswerLimitMs, kAnswerRealFloor);
    std::string request = std::to_string(args.size()) + "\n";
    for (const auto& a : args)
        request += std::to_string(a.size()) + "\n" + a;
    if (!WriteAll(fd, request)) {
        ::close(fd);
        *error = "the host closed the connection";
        return E_FAIL;
    }
    ::shutdown(fd, SHUT_WR);
    Reader reader(fd);
    std::string answer = reader.Rest();
    ::close(fd);
    if (answer.size() < 2 || answer[0] < '0' || answer[0] > '2' || answer[1] != '\n') {
        *error = "the host gave no answer in time (did it quit, or is it busy?)";
        return E_FAIL;
    }
    result->ok = answer[0] == '0';
    result->badArguments = answer[0] == '2';
    result->text = answer.substr(2);
    return S_OK;
}

}  // namespace host
