// The control socket of a running host: a Unix stream socket
// "<user directory>/outlook-host.sock" through which a person or a script
// acts as the host's user, and the lock "<user directory>/outlook-host.lock"
// (flock, held for the host's life) that keeps a second host off the same
// user directory.
//
// Wire form, one command per connection: the client writes the argument
// count and then each argument as "<byte length>\n<bytes>" (counts in
// decimal followed by '\n'); the server answers "0\n" (done), "1\n"
// (refused) or "2\n" (bad arguments) followed by the answer text, and closes. A client silent for
// 10 s of platform time is dropped; a client waits 120 s of platform time
// for its answer.
//
// Threading: ControlServer accepts on a thread of its own and calls its
// handler there, one connection at a time. SendCommand from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host/HostCommands.h"
#include "platform/win/Errors.h"

namespace host {

std::string ControlSocketPath(const std::string& userDirectory);

// The user directory held by this process while the object lives.
class UserDirectoryLock {
public:
    // S_OK; HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION) with *error naming the other
    // host's process when another host holds it; E_FAIL when the lock file
    // cannot be made.
    static HRESULT Acquire(const std::string& userDirectory,
                           std::unique_ptr<UserDirectoryLock>* out, std::string* error);
    ~UserDirectoryLock();
    UserDirectoryLock(const UserDirectoryLock&) = delete;
    UserDirectoryLock& operator=(const UserDirectoryLock&) = delete;

private:
    explicit UserDirectoryLock(int fd) : m_fd(fd) {}
    int m_fd;
};

class ControlServer {
public:
    using Handler = std::function<CommandResult(const std::vector<std::string>& args)>;
    ~ControlServer();
    // Binds the socket (replacing a stale one: the caller holds the user
    // directory lock) and starts accepting. S_OK; E_FAIL with *error.
    HRESULT Start(const std::string& userDirectory, Handler handler, std::string* error);
    // Stops accepting, removes the socket file; waits for the thread. A
    // command being answered is finished first. Harmless when not started.
    void Stop();

private:
    void Serve();
    std::string m_path;
    int m_listen = -1;
    Handler m_handler;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

// Sends one command to the host of userDirectory and reads its answer.
// S_OK (result->ok tells whether the host did it); MAPI_E_NOT_FOUND with
// *error when no host runs for the user directory; E_FAIL when the
// connection broke.
HRESULT SendCommand(const std::string& userDirectory, const std::vector<std::string>& args,
                    CommandResult* result, std::string* error);

}  // namespace host
