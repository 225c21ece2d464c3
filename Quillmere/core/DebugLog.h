// The add-in's three text files in the temporary directory: the debug log
// ("Quillmere_debug.log", written only while DebugSwitch is on, rotated at
// every start to "Quillmere_debug-1.log" .. "-5"), the error log
// ("Quillmere_error.log", every failure report) and the settings text
// ("Quillmere_settings.txt", the summary of the loaded configuration).
//
// All three are narrow ANSI text (Windows-1252; wide text is converted with
// '?' for what it can't hold) written through the runtime's text-mode streams,
// so "\n" reaches the disk as CR LF. Every call opens its file with "a+",
// writes and closes it: no handle is held between calls, and the log viewer
// can follow the files while they grow.
//
// Threads: every call may come from any thread. Each call runs under one
// process-wide lock, so the lines of different threads interleave only at the
// granularity of a call and the session header is written exactly once.
// Every failure is silent: a file that can't be opened loses that line.
#pragma once

#include <atomic>

#include "platform/win/Errors.h"
#include "platform/win/Types.h"

// The debug-log switch: set from the Config value "debug" (= 1) at start-up
// and by every configuration load, cleared by the engine's destruction.
// Any thread may read it; the add-in's start-up and configuration code set it.
extern std::atomic<bool> DebugSwitch;

// Paths of the debug log and the error log (full Windows paths, at most
// MAX_PATH - 1 characters; a longer path is refused and leaves that log
// unwritten rather than writing to a cut-off path). Null or empty: the log
// has no file. Set by the start-up before the first report.
void SetDebugLogPath(const wchar_t* path);
void SetErrorLogPath(const wchar_t* path);

// Appends text to the debug log, when DebugSwitch is on and text isn't null.
// The first write of the process begins with the session header
// (" --- <local date and time> --- " and a blank line); a write that starts a
// line begins with the local time, the thread id and an arrow
// ("%H:%M:%S|%d|-> "). newline: end the line after text ("\n"), else write a
// blank and let the next call go on with the same line.
void AppendDebugLog(const char* text, bool newline);
void AppendDebugLog(const wchar_t* text, bool newline);

// One whole debug-log line: AppendDebugLog(text, true).
void WriteDebugLog(const char* text);
void WriteDebugLog(const wchar_t* text);

// One debug-log line of a text, a blank and a value (a BSTR; null writes the
// text and the blank only).
void WriteDebugLogValue(const char* text, const wchar_t* value);
void WriteDebugLogValue(const wchar_t* text, const wchar_t* value);

// One debug-log line formatted like printf from a narrow format (wide texts
// are passed through win::ToAnsi, as the log is ANSI). Nothing is formatted
// while DebugSwitch is off.
void WriteDebugLogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The failure report. The first report of the process, when it is a note
// (hr 0), is the context alone; every other report reads "ERROR: <context>:
// <name of hr>" (the MAPI names of the standard codes) or, for a code
// without a name, "ERROR: <context>: 0x<hr in lower-case hex> GetLastError:
// <the calling thread's last error>". The line
// (at most 255 characters) goes to the debug log (as WriteDebugLog) and, with
// no prefix, to the error log; a failing write to the error log switches the
// error log off for the rest of the process. hr 0 serves for plain notes.
// A null context counts as empty; its line breaks are not written (leading
// ones are left out, others become one blank), so each report is one line.
void LogHResult(HRESULT hr, const char* context);

// true when hr is a success; else LogHResult(hr, context) and false.
bool LogIfFailed(HRESULT hr, const char* context);

// The name LogHResult gives a code ("MAPI_E_NOT_FOUND"), or null.
const char* HResultName(HRESULT hr);

// What AppendSettingsText needs of the engine: the path of its settings
// text. The engine (CSyncEngine) provides it; tests provide their own.
class ISettingsTextOwner {
public:
    // A full Windows path, or null/empty when there is none. Called on the
    // thread of AppendSettingsText.
    virtual const wchar_t* GetSettingsTextPath() const = 0;

protected:
    ~ISettingsTextOwner() = default;
};

// Appends text unchanged (the caller supplies any "\n") to the engine's
// settings text. Nothing for a null engine, a null text or a failing open.
void AppendSettingsText(const ISettingsTextOwner* engine, const char* text);
void AppendSettingsText(const ISettingsTextOwner* engine, const wchar_t* text);

// The rotation at start-up, before the first debug-log write: in tempDir (a
// Windows directory path with its trailing backslash, as GetTempPathW gives
// it) "Quillmere_debug-4.log" replaces "-5", -3 replaces -4, -2 replaces -3,
// -1 replaces -2 and "Quillmere_debug.log" replaces -1 (missing files are
// skipped); then "Quillmere_debug.log" is deleted if it is still there.
void RotateDebugLogs(const wchar_t* tempDir);

namespace logs {
// Puts the process-wide log state back to its start (header pending, first
// report, error log enabled, no paths, DebugSwitch off). For tests only.
void ResetForTesting();
}  // namespace logs
