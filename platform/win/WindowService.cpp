#include "platform/win/WindowService.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win/MachineChannel.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Threads.h"

namespace win {
// Window.cpp's parts that the service uses: this process's top-level
// windows only, and a handle value no window of the process has.
HWND FindLocalTopLevelWindow(HWND after, const WCHAR* className, const WCHAR* windowName);
HWND NewWindowHandle();
bool IsLocalTopLevelWindow(HWND hwnd);
}  // namespace win

namespace win::foreign {
namespace {

constexpr const char kServicePrefix[] = "windows:";
// How long (platform ms) a caller waits for another process's answer, and
// its real floor.
constexpr unsigned long long kAnswerLimitMs = 60000;
constexpr unsigned long long kAnswerRealFloorMs = 10000;

// Frames of the service: an operation letter, then fields; numbers
// little-endian, texts as a 32-bit count and 32-bit characters, optional
// texts behind a byte 0 (absent) or 1.
//   'F' class?, text?, after (64)      -> window (64, 0: none), thread id (32)
//   'P' window (64), msg (32), wParam (64), lParam (64) -> result (32), last error (32)
//   'S' the same                       -> result (64)
//   'I' window (64)                    -> exists (8)
class Frame {
public:
    void U8(std::uint8_t v) { m_bytes.push_back(static_cast<char>(v)); }
    void U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            U8(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    void U64(std::uint64_t v) {
        U32(static_cast<std::uint32_t>(v));
        U32(static_cast<std::uint32_t>(v >> 32));
    }
    void Text(const WCHAR* text) {
        U8(text ? 1 : 0);
        if (!text)
            return;
        std::wstring t(text);
        U32(static_cast<std::uint32_t>(t.size()));
        for (wchar_t c : t)
            U32(static_cast<std::uint32_t>(c));
    }
    const std::string& Bytes() const { return m_bytes; }

private:
    std::string m_bytes;
};

class Fields {
public:
    explicit Fields(const std::string& bytes) : m_bytes(bytes) {}
    std::uint8_t U8() {
        if (m_pos >= m_bytes.size()) {
            m_ok = false;
            return 0;
        }
        return static_cast<std::uint8_t>(m_bytes[m_pos++]);
    }
    std::uint32_t U32() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i)
            v |= static_cast<std::uint32_t>(U8()) << (8 * i);
        return v;
    }
    std::uint64_t U64() {
        std::uint64_t low = U32();
        return low | (static_cast<std::uint64_t>(U32()) << 32);
    }
    // False for an absent text.
    bool Text(std::wstring* text) {
        if (U8() == 0)
            return false;
        std::uint32_t count = U32();
        if (count > (m_bytes.size() - std::min(m_pos, m_bytes.size())) / 4) {
            m_ok = false;
            return false;
        }
        text->clear();
        for (std::uint32_t i = 0; i < count; ++i)
            text->push_back(static_cast<wchar_t>(U32()));
        return m_ok;
    }
    bool Ok() const { return m_ok; }

private:
    const std::string& m_bytes;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

HWND AsWindow(std::uint64_t value) {
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
}
std::uint64_t AsNumber(HWND hwnd) {
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(hwnd));
}

// A top-level window of this process, for another process's call.
bool IsOwnTopLevel(HWND hwnd) {
    return hwnd && IsLocalTopLevelWindow(hwnd);
}

// The answer to a request, and what to do once it is sent: a posted
// message is queued after its answer left, for the message may end the
// process (a window whose "OK" closes its program) before an answer sent
// after it would have left.
std::string Answer(const std::string& request, std::function<void()>* after) {
    Fields in(request);
    Frame out;
    switch (in.U8()) {
        case 'F': {
            std::wstring className, windowName;
            bool hasClass = in.Text(&className);
            bool hasName = in.Text(&windowName);
            HWND after = AsWindow(in.U64());
            if (!in.Ok())
                return {};
            HWND found = FindLocalTopLevelWindow(IsOwnTopLevel(after) ? after : nullptr,
                                                 hasClass ? className.c_str() : nullptr,
                                                 hasName ? windowName.c_str() : nullptr);
            out.U64(AsNumber(found));
            out.U32(found ? GetWindowThreadProcessId(found, nullptr) : 0);
            break;
        }
        case 'P':
        case 'S': {
            const bool send = request[0] == 'S';
            HWND hwnd = AsWindow(in.U64());
            UINT msg = in.U32();
            auto wParam = static_cast<WPARAM>(in.U64());
            auto lParam = static_cast<LPARAM>(in.U64());
            if (!in.Ok())
                return {};
            if (!IsOwnTopLevel(hwnd)) {
                out.U32(0);
                out.U32(ERROR_INVALID_WINDOW_HANDLE);
                break;
            }
            if (send) {
                out.U64(static_cast<std::uint64_t>(SendMessageW(hwnd, msg, wParam, lParam)));
            } else {
                out.U32(TRUE);
                out.U32(0);
                *after = [=] { PostMessageW(hwnd, msg, wParam, lParam); };
            }
            break;
        }
        case 'I': {
            HWND hwnd = AsWindow(in.U64());
            if (!in.Ok())
                return {};
            out.U8(IsOwnTopLevel(hwnd) ? 1 : 0);
            break;
        }
        default:
            return {};
    }
    return out.Bytes();
}

void Serve(machine::Connection& connection) {
    std::string request;
    while (connection.Receive(&request)) {
        std::function<void()> after;
        std::string answer = Answer(request, &after);
        if (answer.empty() || !connection.Send(answer))
            return;
        if (after)
            after();
    }
}

struct Alias {
    DWORD processId;
    std::uint64_t window;
    DWORD threadId;
};

// Leaked on purpose: windows may be looked at from static destructors.
struct State {
    std::mutex mutex;
    std::unique_ptr<machine::Listener> listener;               // guarded by mutex
    std::map<HWND, Alias> aliases;                             // guarded by mutex
    std::map<std::pair<DWORD, std::uint64_t>, HWND> byRemote;  // guarded by mutex
};

State& TheState() {
    static State* state = new State();
    return *state;
}

std::string ServiceOf(DWORD processId) {
    return kServicePrefix + std::to_string(processId);
}

bool Call(DWORD processId, const Frame& request, std::string* answer) {
    std::unique_ptr<machine::Connection> connection = machine::Connect(ServiceOf(processId));
    if (!connection)
        return false;
    connection->SetReceiveLimit(kAnswerLimitMs, kAnswerRealFloorMs);
    return connection->Call(request.Bytes(), answer);
}

bool AliasOf(HWND alias, Alias* out) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    auto it = s.aliases.find(alias);
    if (it == s.aliases.end())
        return false;
    *out = it->second;
    return true;
}

HWND MakeAlias(DWORD processId, std::uint64_t window, DWORD threadId) {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    auto it = s.byRemote.find({processId, window});
    if (it != s.byRemote.end())
        return it->second;
    HWND alias = NewWindowHandle();
    s.aliases[alias] = Alias{processId, window, threadId};
    s.byRemote[{processId, window}] = alias;
    return alias;
}

// The other processes that offer their windows, in the order of their ids.
std::vector<DWORD> OtherProcesses() {
    std::vector<DWORD> ids;
    const DWORD self = GetCurrentProcessId();
    for (const std::string& name : machine::Services(kServicePrefix)) {
        char* end = nullptr;
        unsigned long id = std::strtoul(name.c_str() + sizeof kServicePrefix - 1, &end, 10);
        if (*end == '\0' && id != 0 && id != self)
            ids.push_back(static_cast<DWORD>(id));
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace

void PublishWindows() {
    State& s = TheState();
    std::lock_guard lock(s.mutex);
    if (!s.listener)
        s.listener = machine::Listener::Open(ServiceOf(GetCurrentProcessId()), &Serve);
}

HWND Find(const WCHAR* className, const WCHAR* windowName, HWND after) {
    if (className && (reinterpret_cast<std::uintptr_t>(className) >> 16) == 0)
        return nullptr;  // an atom names a class of this process only
    Alias start{};
    bool resume = after && AliasOf(after, &start);
    for (DWORD processId : OtherProcesses()) {
        if (resume && processId < start.processId)
            continue;
        Frame request;
        request.U8('F');
        request.Text(className);
        request.Text(windowName);
        request.U64(resume && processId == start.processId ? start.window : 0);
        std::string answer;
        if (!Call(processId, request, &answer))
            continue;
        Fields in(answer);
        std::uint64_t window = in.U64();
        DWORD threadId = in.U32();
        if (in.Ok() && window != 0)
            return MakeAlias(processId, window, threadId);
    }
    return nullptr;
}

bool IsAlias(HWND hwnd) {
    Alias ignored{};
    return AliasOf(hwnd, &ignored);
}

BOOL Post(HWND alias, UINT msg, WPARAM wParam, LPARAM lParam) {
    Alias a{};
    if (!AliasOf(alias, &a)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    Frame request;
    request.U8('P');
    request.U64(a.window);
    request.U32(msg);
    request.U64(static_cast<std::uint64_t>(wParam));
    request.U64(static_cast<std::uint64_t>(lParam));
    std::string answer;
    if (!Call(a.processId, request, &answer)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);  // its process is gone
        return FALSE;
    }
    Fields in(answer);
    BOOL posted = static_cast<BOOL>(in.U32());
    DWORD error = in.U32();
    if (!in.Ok() || !posted) {
        SetLastError(in.Ok() ? error : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return TRUE;
}

LRESULT Send(HWND alias, UINT msg, WPARAM wParam, LPARAM lParam) {
    Alias a{};
    if (!AliasOf(alias, &a)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    Frame request;
    request.U8('S');
    request.U64(a.window);
    request.U32(msg);
    request.U64(static_cast<std::uint64_t>(wParam));
    request.U64(static_cast<std::uint64_t>(lParam));
    std::string answer;
    if (!Call(a.processId, request, &answer))
        return 0;
    Fields in(answer);
    std::uint64_t result = in.U64();
    return in.Ok() ? static_cast<LRESULT>(result) : 0;
}

BOOL Exists(HWND alias) {
    Alias a{};
    if (!AliasOf(alias, &a))
        return FALSE;
    Frame request;
    request.U8('I');
    request.U64(a.window);
    std::string answer;
    if (!Call(a.processId, request, &answer))
        return FALSE;
    Fields in(answer);
    return in.U8() == 1 && in.Ok() ? TRUE : FALSE;
}

DWORD ThreadAndProcess(HWND alias, DWORD* processId) {
    Alias a{};
    if (!AliasOf(alias, &a))
        return 0;
    if (processId)
        *processId = a.processId;
    return a.threadId;
}

}  // namespace win::foreign
