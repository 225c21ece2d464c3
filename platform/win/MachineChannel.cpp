#include "platform/win/MachineChannel.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <mutex>
#include <thread>

#include "platform/win/Clock.h"
#include "platform/win/Environment.h"

namespace win::machine {
namespace {

constexpr const char kNamePrefix[] = "quillmere:";

// FNV-1a over the canonical user directory: the machine's part of every
// service name (the socket name has room for about a hundred bytes only).
std::string MachineKey() {
    std::error_code error;
    std::filesystem::path dir = std::filesystem::weakly_canonical(UserDirectory(), error);
    std::string text = error ? UserDirectory() : dir.string();
    std::uint64_t hash = 1469598103934665603ull;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

std::string SocketName(const std::string& service) {
    return std::string(kNamePrefix) + MachineKey() + ":" + service;
}

// The abstract address of name (a leading NUL, no terminator); its length.
bool Address(const std::string& name, sockaddr_un* address, socklen_t* length) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path + 1, name.data(), name.size());
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::recv(fd, data, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

Connection::~Connection() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Connection::Send(const std::string& frame) {
    if (m_fd < 0 || frame.size() > kMaxFrameBytes)
        return false;
    char length[4];
    for (int i = 0; i < 4; ++i)
        length[i] = static_cast<char>((frame.size() >> (8 * i)) & 0xFF);
    return WriteAll(m_fd, length, 4) && WriteAll(m_fd, frame.data(), frame.size());
}

bool Connection::Receive(std::string* frame) {
    frame->clear();
    unsigned char length[4];
    if (m_fd < 0 || !ReadAll(m_fd, reinterpret_cast<char*>(length), 4))
        return false;
    std::size_t size = static_cast<std::size_t>(length[0]) | (std::size_t{length[1]} << 8) |
                       (std::size_t{length[2]} << 16) | (std::size_t{length[3]} << 24);
    if (size > kMaxFrameBytes)
        return false;
    frame->resize(size);
    return ReadAll(m_fd, frame->data(), size);
}

void Connection::SetReceiveLimit(unsigned long long platformMs, unsigned long long realFloorMs) {
    timeval limit{};
    if (platformMs > 0) {
        auto real = std::max(std::chrono::duration_cast<std::chrono::microseconds>(
                                 PlatformMsToReal(static_cast<ULONGLONG>(platformMs))),
                             std::chrono::microseconds(realFloorMs * 1000));
        limit.tv_sec = static_cast<time_t>(real.count() / 1000000);
        limit.tv_usec = static_cast<suseconds_t>(real.count() % 1000000);
        if (limit.tv_sec == 0 && limit.tv_usec == 0)
            limit.tv_usec = 1000;
    }
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

void Connection::Shutdown() {
    if (m_fd >= 0)
        ::shutdown(m_fd, SHUT_RDWR);
}

std::unique_ptr<Connection> Connect(const std::string& service) {
    sockaddr_un address{};
    socklen_t length = 0;
    if (!Address(SocketName(service), &address, &length))
        return nullptr;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<Connection>(new Connection(fd));
}

// Shared by the listener object and its threads: the accepting thread and
// each connection's thread hold it until they end.
struct Listener::State {
    int listenFd = -1;
    Handler handler;
    std::thread acceptor;
    std::mutex mutex;
    bool stopping = false;  // guarded by mutex
    struct Open {
        Connection* connection;
        std::thread thread;
    };
    std::list<Open> open;  // guarded by mutex
    // Threads whose connection ended, joined by the next accept or the stop.
    std::vector<std::thread> finished;  // guarded by mutex

    void Serve(const std::shared_ptr<State>& self) {
        for (;;) {
            int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return;  // the listening socket was shut down
            }
            std::vector<std::thread> done;
            std::lock_guard lock(mutex);
            done.swap(finished);
            for (auto& t : done)
                t.join();  // ended already: only its resources are collected
            if (stopping) {
                ::close(fd);
                return;
            }
            auto* connection = new Connection(fd);
            open.push_back(Open{connection, {}});
            auto it = std::prev(open.end());
            it->thread = std::thread([self, connection, it] {
                self->handler(*connection);
                std::lock_guard lock(self->mutex);
                delete connection;
                if (!self->stopping) {
                    self->finished.push_back(std::move(it->thread));
                    self->open.erase(it);
                }
            });
        }
    }
};

std::unique_ptr<Listener> Listener::Open(const std::string& service, Handler handler) {
    sockaddr_un address{};
    socklen_t length = 0;
    if (!Address(SocketName(service), &address, &length))
        return nullptr;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) < 0 || ::listen(fd, 16) < 0) {
        ::close(fd);
        return nullptr;
    }
    auto state = std::make_shared<State>();
    state->listenFd = fd;
    state->handler = std::move(handler);
    state->acceptor = std::thread([state] { state->Serve(state); });
    return std::unique_ptr<Listener>(new Listener(state));
}

Listener::~Listener() {
    State& s = *m_state;
    {
        std::lock_guard lock(s.mutex);
        s.stopping = true;
        for (auto& o : s.open)
            o.connection->Shutdown();
    }
    ::shutdown(s.listenFd, SHUT_RDWR);
    s.acceptor.join();
    ::close(s.listenFd);
    // No connection is added or removed once stopping is set: the threads
    // can be joined without the lock (a handler takes it on its way out).
    for (auto& o : s.open)
        o.thread.join();
    for (auto& t : s.finished)
        t.join();
    s.open.clear();
    s.finished.clear();
}

std::vector<std::string> Services(const std::string& prefix) {
    // The kernel lists every bound Unix socket; abstract names begin with '@'.
    const std::string wanted = "@" + SocketName(prefix);
    std::vector<std::string> names;
    std::ifstream table("/proc/net/unix");
    for (std::string line; std::getline(table, line);) {
        std::size_t at = line.find(wanted);
        if (at == std::string::npos || line.find(' ', at) != std::string::npos)
            continue;
        // The service's name after the machine's part.
        std::string name = line.substr(at + 1 + SocketName("").size());
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    return names;
}

}  // namespace win::machine
