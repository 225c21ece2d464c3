#include "platform/transport/Watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/win/Event.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"

namespace transport {

namespace {

// Holds flock(LOCK_EX) on a Maildir's lock file for one pass.
class MaildirLock {
public:
    explicit MaildirLock(const std::string& maildir) {
        std::string path = maildir + "/.lock";
        m_fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
        m_error = m_fd < 0 ? errno : 0;
        if (m_fd >= 0 && flock(m_fd, LOCK_EX) != 0) {
            m_error = errno;
            close(m_fd);
            m_fd = -1;
        }
    }
    ~MaildirLock() {
        if (m_fd >= 0) {
            flock(m_fd, LOCK_UN);
            close(m_fd);
        }
    }
    MaildirLock(const MaildirLock&) = delete;
    MaildirLock& operator=(const MaildirLock&) = delete;
    bool Held() const { return m_fd >= 0; }
    int Error() const { return m_error; }

private:
    int m_fd = -1;
    int m_error = 0;
};

std::vector<std::string> ListNames(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        return names;
    }
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') {
            names.emplace_back(e->d_name);
        }
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Reads a regular file of at most maxSize bytes, refusing links. False with
// *reason; *quarantine tells whether the file itself is at fault.
bool ReadMessageFile(const std::string& path, std::size_t maxSize, std::string* bytes,
                     std::string* reason, bool* quarantine) {
    *quarantine = false;
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) {
        *reason = std::string("cannot stat: ") + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *reason = "a directory";
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        *reason = "not a regular file";
        *quarantine = true;
        return false;
    }
    if (static_cast<std::size_t>(st.st_size) > maxSize) {
        *reason = "message of " + std::to_string(st.st_size) + " bytes is larger than " +
                  std::to_string(maxSize);
        *quarantine = true;
        return false;
    }
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        *reason = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    bytes->clear();
    char buffer[65536];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            *reason = std::string("cannot read: ") + std::strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0) {
            break;
        }
        bytes->append(buffer, static_cast<std::size_t>(n));
        if (bytes->size() > maxSize) {
            *reason = "message grew larger than " + std::to_string(maxSize);
            *quarantine = true;
            close(fd);
            return false;
        }
    }
    close(fd);
    return true;
}

}  // namespace

Watcher::Watcher(PostOffice postOffice, std::vector<std::wstring> addresses, FileCallback callback,
                 ParseOptions options)
    : m_postOffice(std::move(postOffice)),
      m_addresses(std::move(addresses)),
      m_callback(std::move(callback)),
      m_options(options) {}

Watcher::~Watcher() {
    Stop();
}

int Watcher::Poll() {
    win::MutexLock lock(m_pollLock);
    m_filedThisPass = 0;
    for (const std::wstring& address : m_addresses) {
        PollAddress(address);
    }
    return m_filedThisPass;
}

void Watcher::PollAddress(const std::wstring& address) {
    std::string maildir;
    std::string error;
    if (FAILED(m_postOffice.EnsureMaildir(address, &maildir, &error))) {
        if (m_loggedAddresses.insert(address).second) {
            std::fprintf(stderr, "transport: not watching %s: %s\n", win::ToUtf8(address).c_str(),
                         error.c_str());
        }
        return;
    }
    MaildirLock maildirLock(maildir);
    if (!maildirLock.Held()) {
        // Without the lock a second watcher could file the same message; a
        // Maildir whose lock file cannot be made cannot be filed from anyway.
        if (m_loggedAddresses.insert(address).second) {
            std::fprintf(stderr, "transport: cannot lock %s/.lock: %s\n", maildir.c_str(),
                         std::strerror(maildirLock.Error()));
        }
        return;
    }
    for (const std::string& name : ListNames(maildir + "/new")) {
        OfferFile(address, maildir, name);
    }
}

void Watcher::OfferFile(const std::wstring& address, const std::string& maildir,
                        const std::string& name) {
    std::string path = maildir + "/new/" + name;
    std::string bytes;
    std::string reason;
    bool quarantine = false;
    if (!ReadMessageFile(path, m_options.maxSize, &bytes, &reason, &quarantine)) {
        if (quarantine) {
            Quarantine(maildir, name, reason);
        } else if (reason != "a directory" && m_loggedFailures.insert(path).second) {
            std::fprintf(stderr, "transport: cannot read %s: %s\n", path.c_str(), reason.c_str());
        }
        return;
    }
    mapi::MessageContent content;
    if (FAILED(ParseMime(bytes, m_options, &content, &reason))) {
        Quarantine(maildir, name, reason);
        return;
    }
    FileResult result = m_callback(IncomingMessage{address, name, bytes, content});
    if (result == FileResult::kRejected) {
        Quarantine(maildir, name, "refused by the receiver");
        return;
    }
    if (result == FileResult::kFailed) {
        ++m_counts.failed;
        if (m_loggedFailures.insert(path).second) {
            std::fprintf(stderr, "transport: could not file %s; it is offered again\n",
                         path.c_str());
        }
        return;
    }
    ++m_counts.filed;
    ++m_filedThisPass;
    m_loggedFailures.erase(path);
    std::string curPath = maildir + "/cur/" + name + ":2,";
    if (rename(path.c_str(), curPath.c_str()) != 0) {
        // Left in new/, it would be filed twice: remove the delivered copy,
        // the message is in the receiver's store now.
        std::fprintf(stderr, "transport: cannot move %s to cur/: %s; removed\n", path.c_str(),
                     std::strerror(errno));
        unlink(path.c_str());
    }
}

void Watcher::Quarantine(const std::string& maildir, const std::string& name,
                         const std::string& reason) {
    std::string from = maildir + "/new/" + name;
    std::string to = maildir + "/quarantine/" + name;
    if (rename(from.c_str(), to.c_str()) != 0) {
        if (m_loggedFailures.insert(from).second) {
            std::fprintf(stderr, "transport: cannot quarantine %s (%s): %s; left in new/\n",
                         from.c_str(), reason.c_str(), std::strerror(errno));
        }
        return;
    }
    ++m_counts.quarantined;
    m_loggedFailures.erase(from);
    std::fprintf(stderr, "transport: quarantined %s: %s\n", to.c_str(), reason.c_str());
}

HRESULT Watcher::Start(DWORD periodMs) {
    if (m_thread != nullptr) {
        return E_UNEXPECTED;
    }
    m_periodMs = periodMs;
    m_stop = false;
    m_wake = CreateEventW(nullptr, FALSE, FALSE);
    std::uintptr_t thread = _beginthreadex(nullptr, 0, &Watcher::ThreadMain, this, 0, nullptr);
    if (thread == 0) {
        CloseHandle(m_wake);
        m_wake = nullptr;
        return E_FAIL;
    }
    m_thread = reinterpret_cast<HANDLE>(thread);
    return S_OK;
}

void Watcher::Wake() {
    if (m_wake != nullptr) {
        SetEvent(m_wake);
    }
}

void Watcher::Stop() {
    if (m_thread == nullptr) {
        return;
    }
    m_stop = true;
    SetEvent(m_wake);
    WaitForSingleObject(m_thread, INFINITE);
    CloseHandle(m_thread);
    CloseHandle(m_wake);
    m_thread = nullptr;
    m_wake = nullptr;
}

WatcherCounts Watcher::Counts() {
    win::MutexLock lock(m_pollLock);
    return m_counts;
}

unsigned Watcher::ThreadMain(void* self) {
    auto* watcher = static_cast<Watcher*>(self);
    while (!watcher->m_stop) {
        watcher->Poll();
        if (watcher->m_stop) {
            break;
        }
        WaitForSingleObject(watcher->m_wake, watcher->m_periodMs);
    }
    return 0;
}

}  // namespace transport
