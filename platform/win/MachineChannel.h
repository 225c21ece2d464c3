// What crosses between the processes of one stand-in machine (one user
// directory): a process offers a service under a name, and any other process
// of the same user directory reaches it, as the platform's local RPC reaches
// the processes of one machine. COM's local servers (platform/com
// LocalServer.h) and window messages to other processes' windows
// (WindowService.cpp) travel this way.
//
// A service is a Unix stream socket in the abstract namespace, named by a
// hash of the canonical user directory and the service name: it needs no
// file, and it is gone the moment its process ends, however it ends (a host
// killed with SIGKILL leaves nothing stale behind). Sockets are not inherited
// by started programs.
//
// A connection carries frames: a 32-bit little-endian length, then that
// many bytes. Each side sends a request and waits for its answer; what a
// frame holds is the service's business.
//
// Threading: a Listener accepts on a thread of its own and runs its handler
// on one thread per connection. A Connection is used by one thread at a time.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace win::machine {

// Frames larger than this are refused (the connection is dropped).
constexpr std::size_t kMaxFrameBytes = 64u << 20;

class Connection {
public:
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // False when the peer is gone or the frame too large.
    bool Send(const std::string& frame);
    // False when the peer closed, the connection broke, or a wait for the
    // answer outlasted the connection's limit (SetReceiveLimit).
    bool Receive(std::string* frame);
    // A request and its answer.
    bool Call(const std::string& request, std::string* answer) {
        return Send(request) && Receive(answer);
    }
    // How long Receive waits, in platform ms, but at least realFloorMs of
    // real time (0: without end).
    void SetReceiveLimit(unsigned long long platformMs, unsigned long long realFloorMs);
    // Ends the connection for both sides; a Receive that waits returns false.
    // Any thread.
    void Shutdown();

private:
    friend class Listener;
    friend std::unique_ptr<Connection> Connect(const std::string& service);
    explicit Connection(int fd) : m_fd(fd) {}
    int m_fd;
};

// The service of this name in the process's user directory; null when no
// process offers it.
std::unique_ptr<Connection> Connect(const std::string& service);

class Listener {
public:
    // Runs for one connection, on a thread of its own, until it returns;
    // the connection is closed then.
    using Handler = std::function<void(Connection& connection)>;

    // Offers the service. Null when another process of the user directory
    // offers it already, or the socket can't be made.
    static std::unique_ptr<Listener> Open(const std::string& service, Handler handler);
    // Stops accepting, shuts every open connection down and waits for their
    // handlers to return.
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

private:
    struct State;
    explicit Listener(std::shared_ptr<State> state) : m_state(std::move(state)) {}
    std::shared_ptr<State> m_state;
};

// The names of the services that the user directory's processes offer now
// and that begin with prefix.
std::vector<std::string> Services(const std::string& prefix);

}  // namespace win::machine
