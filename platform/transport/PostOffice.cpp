#include "platform/transport/PostOffice.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/transport/MimeWriter.h"
#include "platform/win/Clock.h"
#include "platform/win/Text.h"

namespace transport {

namespace {

constexpr std::size_t kMaxAddressLength = 254;
constexpr const char* kSubdirectories[] = {"tmp", "new", "cur", "quarantine"};
// A fresh name is tried again this often when new/ already holds it (a clock
// set back, a reused pid).
constexpr int kNameAttempts = 8;

std::atomic<unsigned> g_deliveries{0};

HRESULT FromErrno(int err) {
    return HRESULT_FROM_WIN32(Win32ErrorFromErrno(err));
}

HRESULT Fail(DeliveryResult* result, HRESULT hr, std::string error) {
    result->hr = hr;
    result->error = std::move(error);
    return hr;
}

std::string HostNameForFiles() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    // Maildir: '/' and ':' in the host name are written as octal escapes.
    std::string out;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '/') {
            out += "\\057";
        } else if (*p == ':') {
            out += "\\072";
        } else {
            out += *p;
        }
    }
    return out;
}

bool MakeDirectory(const std::string& path, std::string* error, HRESULT* hr) {
    if (mkdir(path.c_str(), 0777) == 0 || errno == EEXIST) {
        struct stat st {};
        if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            return true;
        }
        errno = ENOTDIR;
    }
    int err = errno;
    *hr = FromErrno(err);
    if (error != nullptr) {
        *error = "cannot create " + path + ": " + std::strerror(err);
    }
    return false;
}

bool MakeDirectories(const std::string& path, std::string* error, HRESULT* hr) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        struct stat st {};
        if (stat(prefix.c_str(), &st) != 0 && !MakeDirectory(prefix, error, hr)) {
            return false;
        }
    }
    return MakeDirectory(path, error, hr);
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string TraceFields(std::wstring_view address) {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    std::string addr = win::ToUtf8(win::ToLower(address));
    return "Delivered-To: " + addr + "\r\nReceived: by " + HostNameForFiles() +
           " (Quillmere post office) for <" + addr + ">; " +
           FormatMailDate(win::FileTimeToUInt64(now)) + "\r\n";
}

// The Message-ID the writer chose, read back from its header section.
std::string MessageIdOf(const std::string& mail) {
    std::size_t end = mail.find("\r\n\r\n");
    std::size_t at = mail.find("\r\nMessage-ID: ");
    if (at == std::string::npos || at > end) {
        return {};
    }
    at += 14;
    return mail.substr(at, mail.find("\r\n", at) - at);
}

}  // namespace

std::string NewMaildirName() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    char text[96];
    // The counter is zero-padded so that names of one process sort in delivery
    // order even when two deliveries fall into the same microsecond.
    std::snprintf(text, sizeof text, "%lld.M%06ldP%dQ%010u.", static_cast<long long>(ts.tv_sec),
                  ts.tv_nsec / 1000, static_cast<int>(getpid()), ++g_deliveries);
    return text + HostNameForFiles();
}

PostOffice::PostOffice(std::string root) : m_root(std::move(root)) {
    while (m_root.size() > 1 && m_root.back() == '/') {
        m_root.pop_back();
    }
}

HRESULT PostOffice::MaildirOf(std::wstring_view address, std::string* dir,
                              std::string* error) const {
    auto refuse = [&](const char* why) {
        if (error != nullptr) {
            *error = "address \"" + win::ToUtf8(address) + "\" refused: " + why;
        }
        return E_INVALIDARG;
    };
    if (address.empty()) {
        return refuse("empty");
    }
    if (address.size() > kMaxAddressLength) {
        return refuse("too long");
    }
    for (wchar_t c : address) {
        if (c < 0x20 || c == 0x7F || c == L' ' || c == L'\t' || (c >= 0x80 && c < 0xA0)) {
            return refuse("control character or white space");
        }
        if (std::wstring_view(L"/\\<>,;:\"()[]").find(c) != std::wstring_view::npos) {
            return refuse("character not allowed in a Maildir name");
        }
    }
    if (address.find(L"..") != std::wstring_view::npos || address.front() == L'.') {
        return refuse("dot sequence not allowed");
    }
    std::size_t at = address.rfind(L'@');
    if (at == std::wstring_view::npos || at == 0 || at + 1 == address.size()) {
        return refuse("not of the form local@domain");
    }
    *dir = m_root + "/" + win::ToUtf8(win::ToLower(address));
    return S_OK;
}

HRESULT PostOffice::EnsureMaildir(std::wstring_view address, std::string* dir,
                                  std::string* error) const {
    std::string maildir;
    HRESULT hr = MaildirOf(address, &maildir, error);
    if (FAILED(hr)) {
        return hr;
    }
    if (!MakeDirectories(maildir, error, &hr)) {
        return hr;
    }
    for (const char* sub : kSubdirectories) {
        if (!MakeDirectory(maildir + "/" + sub, error, &hr)) {
            return hr;
        }
    }
    if (dir != nullptr) {
        *dir = std::move(maildir);
    }
    return S_OK;
}

HRESULT PostOffice::DeliverOne(std::string_view message, std::wstring_view address,
                               DeliveryResult* result) const {
    result->address = std::wstring(address);
    std::string maildir;
    std::string error;
    HRESULT hr = EnsureMaildir(address, &maildir, &error);
    if (FAILED(hr)) {
        return Fail(result, hr, error);
    }
    std::string trace = TraceFields(address);
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::string name = NewMaildirName();
        std::string tmpPath = maildir + "/tmp/" + name;
        std::string newPath = maildir + "/new/" + name;
        int fd = open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            if (errno == EEXIST) {
                continue;
            }
            int err = errno;
            return Fail(result, FromErrno(err),
                        "cannot create " + tmpPath + ": " + std::strerror(err));
        }
        bool written = WriteAll(fd, trace) && WriteAll(fd, message) && fsync(fd) == 0;
        int err = errno;
        if (close(fd) != 0 && written) {
            written = false;
            err = errno;
        }
        if (!written) {
            unlink(tmpPath.c_str());
            return Fail(result, FromErrno(err),
                        "cannot write " + tmpPath + ": " + std::strerror(err));
        }
        // Order matters: the message appears in new/ only once it is whole;
        // link() never replaces a file that is already there.
        if (link(tmpPath.c_str(), newPath.c_str()) != 0) {
            err = errno;
            unlink(tmpPath.c_str());
            if (err == EEXIST) {
                continue;
            }
            return Fail(result, FromErrno(err),
                        "cannot move into " + newPath + ": " + std::strerror(err));
        }
        unlink(tmpPath.c_str());
        result->hr = S_OK;
        result->error.clear();
        result->path = newPath;
        return S_OK;
    }
    return Fail(result, HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), "no unique file name in " + maildir);
}

HRESULT PostOffice::Deliver(std::string_view message, const std::vector<std::wstring>& envelope,
                            std::vector<DeliveryResult>* results) const {
    results->clear();
    std::vector<std::wstring> seen;
    HRESULT first = S_OK;
    for (const std::wstring& address : envelope) {
        std::wstring key = win::ToLower(address);
        bool duplicate = false;
        for (const std::wstring& s : seen) {
            duplicate = duplicate || s == key;
        }
        if (duplicate) {
            continue;
        }
        seen.push_back(key);
        DeliveryResult result;
        HRESULT hr = DeliverOne(message, address, &result);
        if (FAILED(hr) && SUCCEEDED(first)) {
            first = hr;
        }
        results->push_back(std::move(result));
    }
    if (results->empty()) {
        return MAPI_E_NO_RECIPIENTS;
    }
    return first;
}

HRESULT PostOffice::Submit(const mapi::MessageContent& message, const MailAddress& sender,
                           SubmitResult* result) const {
    *result = SubmitResult{};
    result->keepSentCopy = !message.props.GetBool(mapi::PR_DELETE_AFTER_SUBMIT).value_or(false);
    std::vector<std::wstring> envelope;
    for (const RecipientAddress& r : RecipientsOf(message)) {
        envelope.push_back(r.mailbox.address);
    }
    if (envelope.empty()) {
        return MAPI_E_NO_RECIPIENTS;
    }
    if (auto submit = message.props.GetInteger(mapi::PR_CLIENT_SUBMIT_TIME)) {
        result->submitTime = static_cast<ULONGLONG>(*submit);
    } else {
        FILETIME now{};
        GetSystemTimeAsFileTime(&now);
        result->submitTime = win::FileTimeToUInt64(now);
    }
    WriteOptions options;
    options.sender = sender;
    options.date = result->submitTime;
    options.messageId =
        win::ToUtf8(PropText(message.props, mapi::PR_INTERNET_MESSAGE_ID).value_or(L""));
    if (options.messageId.empty()) {
        options.messageId = NewMessageId(sender.address);
    }
    result->messageId = options.messageId;
    std::string bytes;
    std::string error;
    HRESULT hr = WriteMime(message, options, &bytes, &error);
    if (FAILED(hr)) {
        std::fprintf(stderr, "transport: cannot write the message: %s\n", error.c_str());
        return hr;
    }
    result->messageId = MessageIdOf(bytes);
    return Deliver(bytes, envelope, &result->recipients);
}

}  // namespace transport
