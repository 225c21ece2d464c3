// The process clock: tick counts, sleeping, wall-clock time and the
// platform's time representations (SYSTEMTIME, FILETIME, OLE DATE, MS-DOS).
//
// One clock per process (this library is loaded once), started at its first
// use. It runs at a scale read once from QUILLMERE_TIME_SCALE (default 1;
// 60 makes a platform minute pass in one real second):
//   platform ms since start = real ms since start * scale
//   tick count              = QUILLMERE_TICK_START (decimal or 0x hex, default
//                             the host's uptime in ms) + platform ms
//   wall clock              = real UTC time at start + platform ms
// Every timed call of the stand-ins (Sleep, waits, timers) measures its
// timeout in platform ms. All calls are thread-safe.
//
// A test can put the process on virtual time instead (SetVirtualClockForTesting
// below): platform time then stands still while any counted thread runs and
// jumps to the earliest deadline once every counted thread waits in a
// platform call, so what a test sees at each platform moment does not depend
// on how busy the machine is. Processes (hosts, the demo) keep the scaled
// real clock.
#pragma once

#include <chrono>
#include <functional>

#include "platform/win/Types.h"

struct SYSTEMTIME {
    WORD wYear;
    WORD wMonth;      // 1 = January
    WORD wDayOfWeek;  // 0 = Sunday
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
};
using LPSYSTEMTIME = SYSTEMTIME*;

// 100-ns intervals since 1601-01-01 00:00 UTC (or local time, for the
// "local file times" below), split in two 32-bit halves.
struct FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
};
using LPFILETIME = FILETIME*;

// Milliseconds since the tick start; wraps to 0 after 2^32 - 1 (49.7 days),
// so elapsed times must be computed by unsigned subtraction.
DWORD GetTickCount();
ULONGLONG GetTickCount64();
// Suspends the calling thread for ms platform milliseconds (ms / scale real
// ms; a scale changed meanwhile applies to the rest). Sleep(0) gives up the
// rest of the time slice (and lets no time pass on the virtual clock);
// Sleep(INFINITE) never returns.
void Sleep(DWORD ms);

// Current time as UTC or as local time (host time zone, localtime_r).
void GetSystemTime(SYSTEMTIME* st);
void GetLocalTime(SYSTEMTIME* st);
void GetSystemTimeAsFileTime(FILETIME* ft);

// FALSE with ERROR_INVALID_PARAMETER when a field is out of range (month,
// day of that month, hour, minute, second, ms; years 1601 to 30827). The
// day of week is ignored on input and computed on output.
BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);
// FALSE with ERROR_INVALID_PARAMETER when the value is at or above 2^63.
BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);
// UTC <-> local, with the host time zone's offset now (including daylight
// saving time if it is in effect now), as the platform documents for these
// two calls. FALSE with ERROR_INVALID_PARAMETER on overflow.
BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local);
BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc);
// -1 when a is earlier than b, 0 when equal, 1 when later.
LONG CompareFileTime(const FILETIME* a, const FILETIME* b);

// OLE automation dates: days since 1899-12-30 00:00; the fraction is the time
// of day. Before 1899-12-30 the integer part counts days backwards and the
// fraction still counts forwards from midnight (-1.25 = 1899-12-29 06:00).
// Both return 0 (FALSE) for dates outside 100-01-01 to 9999-12-31 or invalid
// fields. SystemTimeToVariantTime ignores milliseconds, as the platform
// does; VariantTimeToSystemTime rounds to the nearest second.
INT SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* date);
INT VariantTimeToSystemTime(DATE date, SYSTEMTIME* st);

// MS-DOS date (bits 15-9 year since 1980, 8-5 month, 4-0 day) and time (bits
// 15-11 hour, 10-5 minute, 4-0 seconds / 2). FileTimeToDosDateTime fails
// with ERROR_INVALID_PARAMETER outside 1980-01-01 to 2107-12-31; seconds are
// truncated to even. DosDateTimeToFileTime fails on invalid fields.
BOOL FileTimeToDosDateTime(const FILETIME* ft, WORD* dosDate, WORD* dosTime);
BOOL DosDateTimeToFileTime(WORD dosDate, WORD dosTime, FILETIME* ft);

namespace win {

// The clock's scale (platform ms per real ms).
double TimeScale();
// A platform-ms span as the real duration to wait (ms / scale).
std::chrono::nanoseconds PlatformMsToReal(ULONGLONG ms);
// Platform ms elapsed since the clock started (not wrapped, not offset by
// the tick start).
ULONGLONG NowPlatformMs();

// A point on the platform clock, for waits that must follow the clock's
// scale even when a test changes it while the wait runs: callers wait in
// slices of RemainingSlice() until Passed(). Any thread; not shared.
class PlatformDeadline {
public:
    // timeoutMs platform ms from now; INFINITE never passes.
    explicit PlatformDeadline(DWORD timeoutMs);
    bool Infinite() const { return m_infinite; }
    bool Passed() const;
    // Platform ns since the clock started at which it passes; LLONG_MAX for
    // INFINITE.
    LONGLONG AtNs() const;
    // Real time until the deadline at the current scale, at most 100 ms
    // (so that a new scale takes effect within that time); zero once passed.
    std::chrono::nanoseconds RemainingSlice() const;

private:
    LONGLONG m_deadlineNs = 0;  // platform ns since the clock started
    bool m_infinite = false;
};

// Test hooks. Both keep the clock continuous: the platform time reached so
// far is kept, only what follows runs at the new scale / from the new tick.
void SetTimeScaleForTesting(double scale);
// Makes GetTickCount64() return tick now and count on from it.
void SetTickCountForTesting(ULONGLONG tick);

// ---- Virtual time (tests) ------------------------------------------------
//
// On the virtual clock, platform time moves only when every counted thread
// waits in one of the platform's waits: Sleep, WaitForSingleObject (events,
// threads), MsgWaitForMultipleObjects, GetMessageW, WaitMessage, SendMessageW
// to another thread's window (modal loops wait in GetMessageW),
// EnterCriticalSection / CriticalSection::Enter on a held lock, a thread
// started suspended, and the two test waits below. It then jumps at once to
// the earliest deadline among them: a timeout, a Sleep's end, the due time of
// a timer of a thread waiting for messages. Nothing else moves it; the
// scale does not apply.
//
// Counted threads: the thread that turned the virtual clock on; a thread
// started by _beginthreadex, _beginthread or CreateThread, from its creation
// (before it first runs) to its end; any other thread (std::thread, the test
// framework's) from its first platform wait to its end. A counted thread
// that is not in a platform wait counts as running, wherever it is blocked
// (std::mutex, std::thread::join, a socket, SQLite): time stands still until
// it is back in a platform wait or has ended. So a test holds time still
// simply by working on a counted thread, and must wait for other counted
// threads only through platform waits, or it waits for ever. Threads that
// never waited on the platform are not waited for.
//
// A call that can end a wait (SetEvent, ResumeThread, a thread's end,
// PostMessageW, PostThreadMessageW, PostQuitMessage, SendMessageW,
// SetTimer, KillTimer, LeaveCriticalSection with a waiter) makes every
// waiting thread runnable before it returns: time does not move on until
// each of them has looked at its condition again and waits anew. A woken
// thread is never passed by time it did not wait for.
//
// When every counted thread waits without a deadline nothing happens until
// a thread that is not counted wakes one; after 30 real seconds of that, the
// clock says so once on stderr (it does not end the wait).
//
// Turning the virtual clock on keeps the platform time reached (rounded up to
// a whole ms) and counts the calling thread; turning it off lets the real
// clock run on from the virtual time reached. Switch while no other platform
// thread is busy (a test's SetUp and TearDown): a thread in the middle of a
// real wait notices the switch within 100 real ms.
void SetVirtualClockForTesting(bool on);
bool VirtualClockOn();

// Waits until condition() holds (true) or timeoutMs platform ms have passed
// (false). On the virtual clock the condition is asked only at idle moments,
// when every other counted thread waits, before time moves on (the first
// comes as soon as they all wait at the moment of the call): the call
// returns at the first platform moment at which the condition holds, with
// every thread woken at that moment settled, so what it sees does not
// depend on how the threads were scheduled. On the real clock it is asked
// every real millisecond. condition runs on the calling thread.
bool WaitForCondition(const std::function<bool()>& condition, DWORD timeoutMs);

// FILETIME <-> one 64-bit count of 100-ns intervals.
inline ULONGLONG FileTimeToUInt64(const FILETIME& ft) {
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME UInt64ToFileTime(ULONGLONG v) {
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

}  // namespace win
