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
#pragma once

#include <chrono>

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
// rest of the time slice; Sleep(INFINITE) never returns.
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

// FILETIME <-> one 64-bit count of 100-ns intervals.
inline ULONGLONG FileTimeToUInt64(const FILETIME& ft) {
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}
inline FILETIME UInt64ToFileTime(ULONGLONG v) {
    return FILETIME{static_cast<DWORD>(v), static_cast<DWORD>(v >> 32)};
}

}  // namespace win
