#include "Quillmere/core/DebugLog.h"

#include <cstdarg>

#include <cstdio>
#include <string>

#include "platform/win/Clock.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Crt.h"
#include "platform/win/Files.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"

std::atomic<bool> DebugSwitch{false};

namespace {

constexpr size_t kMaxLine = 256;  // the report line's buffer, NUL included
constexpr wchar_t kDebugLogName[] = L"Quillmere_debug.log";
constexpr int kKeptLogs = 5;

struct HResultNameEntry {
    std::uint32_t code;
    const char* name;
};

constexpr HResultNameEntry kNames[] = {
    {0x80004002, "MAPI_E_INTERFACE_NOT_SUPPORTED"},
    {0x80004005, "MAPI_E_CALL_FAILED"},
    {0x80040102, "MAPI_E_NO_SUPPORT"},
    {0x80040103, "MAPI_E_BAD_CHARWIDTH"},
    {0x80040105, "MAPI_E_STRING_TOO_LONG"},
    {0x80040106, "MAPI_E_UNKNOWN_FLAGS"},
    {0x80040107, "MAPI_E_INVALID_ENTRYID"},
    {0x80040108, "MAPI_E_INVALID_OBJECT"},
    {0x80040109, "MAPI_E_OBJECT_CHANGED"},
    {0x8004010A, "MAPI_E_OBJECT_DELETED"},
    {0x8004010B, "MAPI_E_BUSY"},
    {0x8004010D, "MAPI_E_NOT_ENOUGH_DISK"},
    {0x8004010E, "MAPI_E_NOT_ENOUGH_RESOURCES"},
    {0x8004010F, "MAPI_E_NOT_FOUND"},
    {0x80040110, "MAPI_E_VERSION"},
    {0x80040111, "MAPI_E_LOGON_FAILED"},
    {0x80040112, "MAPI_E_SESSION_LIMIT"},
    {0x80040113, "MAPI_E_USER_CANCEL"},
    {0x80040114, "MAPI_E_UNABLE_TO_ABORT"},
    {0x80040115, "MAPI_E_NETWORK_ERROR"},
    {0x80040116, "MAPI_E_DISK_ERROR"},
    {0x80040117, "MAPI_E_TOO_COMPLEX"},
    {0x80040118, "MAPI_E_BAD_COLUMN"},
    {0x80040119, "MAPI_E_EXTENDED_ERROR"},
    {0x8004011A, "MAPI_E_COMPUTED"},
    {0x8004011B, "MAPI_E_CORRUPT_DATA"},
    {0x8004011C, "MAPI_E_UNCONFIGURED"},
    {0x8004011D, "MAPI_E_FAILONEPROVIDER"},
    {0x8004011E, "MAPI_E_UNKNOWN_CPID"},
    {0x8004011F, "MAPI_E_UNKNOWN_LCID"},
    {0x80040120, "MAPI_E_PASSWORD_CHANGE_REQUIRED"},
    {0x80040121, "MAPI_E_PASSWORD_EXPIRED"},
    {0x80040122, "MAPI_E_INVALID_WORKSTATION_ACCOUNT"},
    {0x80040123, "MAPI_E_INVALID_ACCESS_TIME"},
    {0x80040124, "MAPI_E_ACCOUNT_DISABLED"},
    {0x80040200, "MAPI_E_END_OF_SESSION"},
    {0x80040201, "MAPI_E_UNKNOWN_ENTRYID"},
    {0x80040202, "MAPI_E_MISSING_REQUIRED_COLUMN"},
    {0x80040301, "MAPI_E_BAD_VALUE"},
    {0x80040302, "MAPI_E_INVALID_TYPE"},
    {0x80040303, "MAPI_E_TYPE_NO_SUPPORT"},
    {0x80040304, "MAPI_E_UNEXPECTED_TYPE"},
    {0x80040305, "MAPI_E_TOO_BIG"},
    {0x80040306, "MAPI_E_DECLINE_COPY"},
    {0x80040307, "MAPI_E_UNEXPECTED_ID"},
    {0x80040400, "MAPI_E_UNABLE_TO_COMPLETE"},
    {0x80040401, "MAPI_E_TIMEOUT"},
    {0x80040402, "MAPI_E_TABLE_EMPTY"},
    {0x80040403, "MAPI_E_TABLE_TOO_BIG"},
    {0x80040405, "MAPI_E_INVALID_BOOKMARK"},
    {0x80040500, "MAPI_E_WAIT"},
    {0x80040501, "MAPI_E_CANCEL"},
    {0x80040502, "MAPI_E_NOT_ME"},
    {0x80040600, "MAPI_E_CORRUPT_STORE"},
    {0x80040601, "MAPI_E_NOT_IN_QUEUE"},
    {0x80040602, "MAPI_E_NO_SUPPRESS"},
    {0x80040604, "MAPI_E_COLLISION"},
    {0x80040605, "MAPI_E_NOT_INITIALIZED"},
    {0x80040606, "MAPI_E_NON_STANDARD"},
    {0x80040607, "MAPI_E_NO_RECIPIENTS"},
    {0x80040608, "MAPI_E_SUBMITTED"},
    {0x80040609, "MAPI_E_HAS_FOLDERS"},
    {0x8004060A, "MAPI_E_HAS_MESSAGES"},
    {0x8004060B, "MAPI_E_FOLDER_CYCLE"},
    {0x8004060C, "MAPI_E_STORE_FULL"},
    {0x80040700, "MAPI_E_AMBIGUOUS_RECIP"},
    {0x80070057, "MAPI_E_INVALID_PARAMETER"},
    {0x8007000E, "MAPI_E_NOT_ENOUGH_MEMORY"},
    {0x80070005, "MAPI_E_NO_ACCESS"},
};
static_assert(sizeof kNames / sizeof kNames[0] == 69);

// The process-wide log state. Only ever touched under g_lock.
CriticalSection g_lock;
std::wstring g_debugLogPath GUARDED_BY(g_lock);
std::wstring g_errorLogPath GUARDED_BY(g_lock);
bool g_headerPending GUARDED_BY(g_lock) = true;
// Whether the previous debug-log write ended its line. It starts set, so
// that the first line of a process gets its time and thread prefix even when
// the first write leaves the line open (WriteDebugLogValue).
bool g_lineEnded GUARDED_BY(g_lock) = true;
bool g_firstReport GUARDED_BY(g_lock) = true;
bool g_errorLogEnabled GUARDED_BY(g_lock) = true;

std::wstring CheckedPath(const wchar_t* path) {
    if (!path)
        return std::wstring();
    std::wstring p = path;
    return p.size() < static_cast<size_t>(MAX_PATH) ? p : std::wstring();
}

// Writes the header ("%s" of the local date and time in the user's default
// format, date then time).
void WriteHeader(CrtFile* file) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t date[80] = L"";
    wchar_t time[80] = L"";
    GetDateFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, date, 80);
    GetTimeFormatW(LOCALE_USER_DEFAULT, 0, &now, nullptr, time, 80);
    std::string stamp = win::ToAnsi(std::wstring(date) + L" " + time);
    fputs(" ------------------------------- ", file);
    fputs(stamp.c_str(), file);
    fputs(" ------------------------------- \n\n", file);
}

void WriteLinePrefix(CrtFile* file) {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "%02u:%02u:%02u|%d|-> ", now.wHour, now.wMinute,
                  now.wSecond, static_cast<int>(GetCurrentThreadId()));
    fputs(prefix, file);
}

void AppendDebugLogLocked(const char* text, bool newline) REQUIRES(g_lock) {
    if (!DebugSwitch || !text || g_debugLogPath.empty())
        return;
    CrtFile* file = _wfopen(g_debugLogPath.c_str(), L"a+");
    if (!file)
        return;
    if (g_headerPending) {
        WriteHeader(file);
        g_headerPending = false;
    }
    if (g_lineEnded)
        WriteLinePrefix(file);
    fputs(text, file);
    fputs(newline ? "\n" : " ", file);
    fclose(file);
    g_lineEnded = newline;
}

void AppendFile(const std::wstring& path, const char* text) {
    if (path.empty())
        return;
    if (CrtFile* file = _wfopen(path.c_str(), L"a+")) {
        fputs(text, file);
        fclose(file);
    }
}

std::wstring Joined(const wchar_t* dir, const wchar_t* name) {
    return std::wstring(dir ? dir : L"") + name;
}

std::wstring RotatedName(const wchar_t* dir, int n) {
    return Joined(dir, (L"Quillmere_debug-" + std::to_wstring(n) + L".log").c_str());
}

void ReplaceIfPresent(const std::wstring& from, const std::wstring& to) {
    if (GetFileAttributesW(from.c_str()) == INVALID_FILE_ATTRIBUTES)
        return;
    MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
}

// A report is one line of each log: the line breaks some contexts begin
// with are left out, and one inside becomes a blank.
std::string OneLine(const char* text) {
    std::string line;
    bool pendingBlank = false;
    for (const char* c = text; *c; ++c) {
        if (*c == '\r' || *c == '\n') {
            pendingBlank = !line.empty();
            continue;
        }
        if (pendingBlank)
            line += ' ';
        pendingBlank = false;
        line += *c;
    }
    return line;
}

}  // namespace

void SetDebugLogPath(const wchar_t* path) {
    CriticalSectionLock lock(g_lock);
    g_debugLogPath = CheckedPath(path);
}

void SetErrorLogPath(const wchar_t* path) {
    CriticalSectionLock lock(g_lock);
    g_errorLogPath = CheckedPath(path);
}

void AppendDebugLog(const char* text, bool newline) {
    CriticalSectionLock lock(g_lock);
    AppendDebugLogLocked(text, newline);
}

void AppendDebugLog(const wchar_t* text, bool newline) {
    if (!text)
        return;
    AppendDebugLog(win::ToAnsi(text).c_str(), newline);
}

void WriteDebugLog(const char* text) {
    AppendDebugLog(text, true);
}

void WriteDebugLog(const wchar_t* text) {
    AppendDebugLog(text, true);
}

void WriteDebugLogFormat(const char* format, ...) {
    if (!DebugSwitch.load() || !format)
        return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (size >= 0) {
        std::string line(static_cast<std::size_t>(size) + 1, '\0');
        std::vsnprintf(line.data(), line.size(), format, again);
        line.resize(static_cast<std::size_t>(size));
        WriteDebugLog(line.c_str());
    }
    va_end(again);
}

void WriteDebugLogValue(const char* text, const wchar_t* value) {
    // Both halves under one hold of the lock, so that no other thread's line
    // lands between the text and its value.
    CriticalSectionLock lock(g_lock);
    AppendDebugLogLocked(text, false);
    AppendDebugLogLocked(win::ToAnsi(value ? value : L"").c_str(), true);
}

void WriteDebugLogValue(const wchar_t* text, const wchar_t* value) {
    if (!text) {
        WriteDebugLogValue(static_cast<const char*>(nullptr), value);
        return;
    }
    WriteDebugLogValue(win::ToAnsi(text).c_str(), value);
}

const char* HResultName(HRESULT hr) {
    auto code = static_cast<std::uint32_t>(hr);
    for (const auto& entry : kNames)
        if (entry.code == code)
            return entry.name;
    return nullptr;
}

void LogHResult(HRESULT hr, const char* context) {
    // Taken first: the file calls below may change it.
    DWORD lastError = GetLastError();
    const std::string oneLine = OneLine(context ? context : "");
    context = oneLine.c_str();
    CriticalSectionLock lock(g_lock);
    char line[kMaxLine];
    // The first report of a process is a plain note (the engine's "START")
    // and stands alone; a failure reported before that note keeps its code,
    // or the error log would hold nothing of what went wrong.
    if (g_firstReport && hr == S_OK) {
        std::snprintf(line, sizeof line, "%s", context);
    } else if (const char* name = HResultName(hr)) {
        std::snprintf(line, sizeof line, "ERROR: %s: %s", context, name);
    } else {
        std::snprintf(line, sizeof line, "ERROR: %s: 0x%x GetLastError: %d", context,
                      static_cast<unsigned>(hr), static_cast<int>(lastError));
    }
    g_firstReport = false;
    AppendDebugLogLocked(line, true);
    if (!g_errorLogEnabled || g_errorLogPath.empty())
        return;
    CrtFile* file = _wfopen(g_errorLogPath.c_str(), L"a+");
    if (!file)
        return;  // this line is lost; the next report tries again
    bool ok = fputs(line, file) >= 0 && fputs("\n", file) >= 0;
    ok = fclose(file) == 0 && ok;
    // A stream that fails while writing stands for the platform's exception:
    // the error log is given up for the rest of the process.
    if (!ok)
        g_errorLogEnabled = false;
}

bool LogIfFailed(HRESULT hr, const char* context) {
    if (SUCCEEDED(hr))
        return true;
    LogHResult(hr, context);
    return false;
}

void AppendSettingsText(const ISettingsTextOwner* engine, const char* text) {
    if (!engine || !text)
        return;
    const wchar_t* path = engine->GetSettingsTextPath();
    AppendFile(CheckedPath(path), text);
}

void AppendSettingsText(const ISettingsTextOwner* engine, const wchar_t* text) {
    if (!text)
        return;
    AppendSettingsText(engine, win::ToAnsi(text).c_str());
}

void RotateDebugLogs(const wchar_t* tempDir) {
    for (int n = kKeptLogs - 1; n >= 1; --n)
        ReplaceIfPresent(RotatedName(tempDir, n), RotatedName(tempDir, n + 1));
    std::wstring current = Joined(tempDir, kDebugLogName);
    ReplaceIfPresent(current, RotatedName(tempDir, 1));
    if (GetFileAttributesW(current.c_str()) != INVALID_FILE_ATTRIBUTES)
        DeleteFileW(current.c_str());
}

namespace logs {
void ResetForTesting() {
    CriticalSectionLock lock(g_lock);
    g_debugLogPath.clear();
    g_errorLogPath.clear();
    g_headerPending = true;
    g_lineEnded = true;
    g_firstReport = true;
    g_errorLogEnabled = true;
    DebugSwitch = false;
}
}  // namespace logs
