// Watches the Maildirs of a set of addresses in a post office and hands each
// newly delivered message, read, to a callback that files it (the host puts
// it into the profile's Inbox and raises NewMail).
//
// For each message in new/ (in name order, which is delivery order):
//   - it is read and parsed (MimeParser.h); a message that cannot be read as
//     mail, or that the callback refuses for good, is moved to quarantine/
//     with a line on stderr naming the file and the reason. It is never
//     deleted.
//   - the callback returns kFiled: the message moves to cur/ (name + ":2,",
//     kept as the record of what was filed). Order matters: it is filed
//     first and moved after, so a crash in between files it again on the
//     next start (at least once) rather than losing it.
//   - kFailed: it stays in new/ and is offered again on the next poll; the
//     first failure of each file is logged on stderr.
// Entries of new/ that are not regular files (symbolic links among them)
// are quarantined without being opened. Each Maildir is locked (flock on
// "<maildir>/.lock") for the time of one pass, so two watchers of one
// address, in this process or another, never file a message twice.
//
// Threading: Poll() runs on the calling thread; Start() runs polls on a
// thread of its own. Polls never overlap (one lock), and the callback is
// called from whichever thread polls, one message at a time. The callback
// must not call Stop() or Poll() of its own watcher.
#pragma once

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/mapi/MessageContent.h"
#include "platform/transport/MimeParser.h"
#include "platform/transport/PostOffice.h"
#include "platform/win/Handle.h"
#include "platform/win/Mutex.h"

namespace transport {

// One message offered to the callback. The references live for the call.
struct IncomingMessage {
    const std::wstring& address;          // the watched address it came to
    const std::string& fileName;          // its name in new/
    const std::string& bytes;             // the message as delivered
    const mapi::MessageContent& content;  // as parsed
};

enum class FileResult {
    kFiled,    // filed; the message moves to cur/
    kFailed,   // not filed this time (busy store, ...); offered again later
    kRejected  // can never be filed; the message moves to quarantine/
};

using FileCallback = std::function<FileResult(const IncomingMessage&)>;

// What the watcher did so far (all polls together).
struct WatcherCounts {
    int filed = 0;
    int failed = 0;
    int quarantined = 0;
};

class Watcher {
public:
    // Watches addresses of postOffice; each address's Maildir is created on
    // the first poll when missing (an unsafe address is logged and skipped).
    Watcher(PostOffice postOffice, std::vector<std::wstring> addresses, FileCallback callback,
            ParseOptions options = {});
    // Stops the polling thread first.
    ~Watcher();
    Watcher(const Watcher&) = delete;
    Watcher& operator=(const Watcher&) = delete;

    // One pass over every address now, on the calling thread; waits while
    // another pass runs. Returns the number of messages filed by this pass.
    int Poll();

    // Starts a thread that polls at once and then every periodMs ms of the
    // platform clock (so the period follows QUILLMERE_TIME_SCALE).
    // E_UNEXPECTED when already started, E_FAIL when no thread could be
    // started; S_OK otherwise.
    HRESULT Start(DWORD periodMs);
    // Makes the polling thread poll now instead of at the end of its period.
    void Wake();
    // Ends the polling thread and waits for it (a pass in progress is
    // finished). No callback runs after Stop returns. Harmless when not
    // started.
    void Stop();

    WatcherCounts Counts();

private:
    static unsigned ThreadMain(void* self);
    void PollAddress(const std::wstring& address) REQUIRES(m_pollLock);
    void OfferFile(const std::wstring& address, const std::string& maildir, const std::string& name)
        REQUIRES(m_pollLock);
    void Quarantine(const std::string& maildir, const std::string& name, const std::string& reason)
        REQUIRES(m_pollLock);

    const PostOffice m_postOffice;
    const std::vector<std::wstring> m_addresses;
    const FileCallback m_callback;
    const ParseOptions m_options;

    win::Mutex m_pollLock;
    WatcherCounts m_counts GUARDED_BY(m_pollLock);
    int m_filedThisPass GUARDED_BY(m_pollLock) = 0;
    // Files whose failure was logged already ("<maildir>/new/<name>").
    std::set<std::string> m_loggedFailures GUARDED_BY(m_pollLock);
    std::set<std::wstring> m_loggedAddresses GUARDED_BY(m_pollLock);

    // Owned by the thread that calls Start and Stop.
    HANDLE m_thread = nullptr;
    HANDLE m_wake = nullptr;
    DWORD m_periodMs = 0;
    std::atomic<bool> m_stop{false};
};

}  // namespace transport
