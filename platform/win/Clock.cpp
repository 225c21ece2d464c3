#include "platform/win/Clock.h"

#include <sched.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/win/ClockWait.h"
#include "platform/win/Errors.h"
#include "platform/win/Handle.h"
#include "platform/win/Mutex.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr ULONGLONG kTicksPerMs = 10000;  // FILETIME units (100 ns) per ms
constexpr ULONGLONG kTicksPerSecond = 10000000;
constexpr LONGLONG kSecondsPerDay = 86400;
// Days from 1601-01-01 (the FILETIME epoch) to 1970-01-01 (the Unix epoch).
constexpr LONGLONG kDaysFrom1601To1970 = 134774;
constexpr ULONGLONG kFileTimeMax = 0x7FFFFFFFFFFFFFFFull;

// Serialises the clock's state; the hooks rebase it so that the platform
// time reached so far stays continuous. On the virtual clock the state also
// says which counted threads wait in the current round of wakes (see
// ClockWait.h): a round ends with every wake and every move of time, and
// each waiter that is still waiting blocks again in the next one, so "every
// counted thread waits" means "every counted thread has blocked since the
// last wake". Lookers (WaitForCondition) are also woken alone, by a look,
// once every counted thread waits and some thread other than them has run
// since their last look.
class ProcessClock {
public:
    ProcessClock() {
        m_scale = ScaleFromEnvironment();
        m_realBase = SteadyClock::now();
        m_platformBaseNs = 0;
        timespec wall{};
        clock_gettime(CLOCK_REALTIME, &wall);
        m_wallStart = static_cast<ULONGLONG>(
            (static_cast<LONGLONG>(wall.tv_sec) + kDaysFrom1601To1970 * kSecondsPerDay) *
                static_cast<LONGLONG>(kTicksPerSecond) +
            wall.tv_nsec / 100);
        m_tickStart = TickStartFromEnvironment();
    }

    double Scale() {
        win::MutexLock lock(m_mutex);
        return m_scale;
    }

    // Platform nanoseconds since the clock started.
    LONGLONG PlatformNs() {
        win::MutexLock lock(m_mutex);
        return PlatformNsLocked();
    }

    ULONGLONG Tick64() {
        win::MutexLock lock(m_mutex);
        return m_tickStart + static_cast<ULONGLONG>(PlatformNsLocked() / 1000000);
    }

    ULONGLONG WallFileTime() {
        win::MutexLock lock(m_mutex);
        return m_wallStart + static_cast<ULONGLONG>(PlatformNsLocked() / 100);
    }

    void SetScale(double scale) {
        win::MutexLock lock(m_mutex);
        m_platformBaseNs = PlatformNsLocked();
        m_realBase = SteadyClock::now();
        m_scale = scale > 0 ? scale : 1.0;
    }

    void SetTick(ULONGLONG tick) {
        win::MutexLock lock(m_mutex);
        m_tickStart = tick - static_cast<ULONGLONG>(PlatformNsLocked() / 1000000);
    }

    // ---- Virtual time

    bool VirtualOn() const { return m_virtualOn.load(); }
    ULONGLONG Round() const { return m_round.load(); }

    void SetVirtual(bool on) {
        win::MutexLock lock(m_mutex);
        if (on == m_virtualOn.load())
            return;
        if (on) {
            constexpr LONGLONG kMs = 1000000;
            m_virtualNs = (PlatformNsLocked() + kMs - 1) / kMs * kMs;
            m_virtualOn = true;
        } else {
            m_platformBaseNs = m_virtualNs;
            m_realBase = SteadyClock::now();
            m_virtualOn = false;
        }
        EndRoundLocked();
    }

    void Count() {
        win::MutexLock lock(m_mutex);
        ++m_counted;
    }

    void Uncount() {
        win::MutexLock lock(m_mutex);
        --m_counted;
        m_looked = false;  // it ran up to its end
        MoveOnLocked();
    }

    // True when it returns for a look (lookWhenIdle only).
    bool Block(ULONGLONG ticket, LONGLONG deadlineNs, bool counted, bool lookWhenIdle,
               bool firstLook) {
        win::MutexLock lock(m_mutex);
        if (!m_virtualOn.load() || m_round.load() != ticket || deadlineNs <= m_virtualNs)
            return false;
        const ULONGLONG look = m_look;
        if (counted) {
            ++m_waiting;
            if (lookWhenIdle) {
                ++m_lookers;
                m_earliestLookerNs = std::min(m_earliestLookerNs, deadlineNs);
                if (firstLook)
                    m_looked = false;  // this looker has not looked yet
            } else {
                m_earliestNs = std::min(m_earliestNs, deadlineNs);
                m_looked = false;  // it ran up to this wait
            }
            MoveOnLocked();
        }
        auto waiting = [&]() NO_THREAD_SAFETY_ANALYSIS {
            return m_round.load() == ticket && !(lookWhenIdle && m_look != look);
        };
        // The round stalls when it neither ends nor moves for the report's
        // span; a look (which wakes every waiter) is no end of it.
        constexpr auto kStallReport = std::chrono::seconds(30);
        const auto blockedAt = SteadyClock::now();
        while (waiting()) {
            lock.WaitFor(m_changed, kStallReport);
            if (waiting() && m_stallReported != ticket &&
                SteadyClock::now() - blockedAt >= kStallReport) {
                m_stallReported = ticket;
                ReportStallLocked();
            }
        }
        return m_round.load() == ticket;
    }

    void Wake() {
        if (!m_virtualOn.load())
            return;
        win::MutexLock lock(m_mutex);
        EndRoundLocked();
    }

private:
    static double ScaleFromEnvironment() {
        const char* v = std::getenv("QUILLMERE_TIME_SCALE");
        if (!v || !*v)
            return 1.0;
        char* end = nullptr;
        double scale = std::strtod(v, &end);
        if (end == v || !(scale > 0) || !std::isfinite(scale))
            return 1.0;
        return scale;
    }

    static ULONGLONG TickStartFromEnvironment() {
        const char* v = std::getenv("QUILLMERE_TICK_START");
        if (v && *v) {
            int base = 10;
            const char* digits = v;
            if (v[0] == '0' && (v[1] == 'x' || v[1] == 'X')) {
                base = 16;
                digits = v + 2;
            }
            char* end = nullptr;
            ULONGLONG tick = std::strtoull(digits, &end, base);
            if (end != digits && *end == '\0')
                return tick;
        }
        // As on the platform: milliseconds since the machine started.
        timespec up{};
        clock_gettime(CLOCK_MONOTONIC, &up);
        return static_cast<ULONGLONG>(up.tv_sec) * 1000 +
               static_cast<ULONGLONG>(up.tv_nsec / 1000000);
    }

    LONGLONG PlatformNsLocked() REQUIRES(m_mutex) {
        if (m_virtualOn.load())
            return m_virtualNs;
        auto real =
            std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now() - m_realBase)
                .count();
        return m_platformBaseNs + static_cast<LONGLONG>(static_cast<double>(real) * m_scale);
    }

    // Ends the round: every blocked waiter returns and looks again.
    void EndRoundLocked() REQUIRES(m_mutex) {
        m_round.fetch_add(1);
        m_waiting = 0;
        m_lookers = 0;
        m_earliestNs = win::kNoDeadlineNs;
        m_earliestLookerNs = win::kNoDeadlineNs;
        m_looked = false;
        m_changed.notify_all();
    }

    // Once every counted thread waits: first a look of the lookers (when
    // there are any and another thread ran since their last look), then
    // time jumps to the earliest deadline.
    void MoveOnLocked() REQUIRES(m_mutex) {
        if (!m_virtualOn.load() || m_waiting == 0 || m_waiting < m_counted)
            return;
        if (m_lookers > 0 && !m_looked) {
            ++m_look;
            m_waiting -= m_lookers;
            m_lookers = 0;
            m_earliestLookerNs = win::kNoDeadlineNs;
            m_looked = true;
            m_changed.notify_all();
            return;
        }
        const LONGLONG earliest = std::min(m_earliestNs, m_earliestLookerNs);
        if (earliest == win::kNoDeadlineNs)
            return;
        m_virtualNs = std::max(m_virtualNs, earliest);
        EndRoundLocked();
    }

    void ReportStallLocked() REQUIRES(m_mutex) {
        if (m_waiting >= m_counted &&
            std::min(m_earliestNs, m_earliestLookerNs) == win::kNoDeadlineNs) {
            std::fprintf(stderr,
                         "virtual clock: all %d counted threads wait without a deadline for 30 "
                         "real seconds\n",
                         m_counted);
        } else {
            std::fprintf(stderr,
                         "virtual clock: %d of %d counted threads have not waited on the "
                         "platform for 30 real seconds (blocked outside it?)\n",
                         m_counted - m_waiting, m_counted);
        }
    }

    win::Mutex m_mutex;
    double m_scale GUARDED_BY(m_mutex) = 1.0;
    SteadyClock::time_point m_realBase GUARDED_BY(m_mutex);
    LONGLONG m_platformBaseNs GUARDED_BY(m_mutex) = 0;
    ULONGLONG m_wallStart = 0;  // FILETIME of the start; set once
    ULONGLONG m_tickStart GUARDED_BY(m_mutex) = 0;

    // Written under m_mutex; read without it by the fast paths.
    std::atomic<bool> m_virtualOn{false};
    std::atomic<ULONGLONG> m_round{1};
    LONGLONG m_virtualNs GUARDED_BY(m_mutex) = 0;
    int m_counted GUARDED_BY(m_mutex) = 0;
    int m_waiting GUARDED_BY(m_mutex) = 0;  // counted threads blocked in this round
    int m_lookers GUARDED_BY(m_mutex) = 0;  // of them, WaitForCondition's
    // The earliest deadlines of the other waiters and of the lookers.
    LONGLONG m_earliestNs GUARDED_BY(m_mutex) = win::kNoDeadlineNs;
    LONGLONG m_earliestLookerNs GUARDED_BY(m_mutex) = win::kNoDeadlineNs;
    ULONGLONG m_look GUARDED_BY(m_mutex) = 0;  // counts the looks
    // The lookers have looked since any other counted thread last ran.
    bool m_looked GUARDED_BY(m_mutex) = false;
    ULONGLONG m_stallReported GUARDED_BY(m_mutex) = 0;
    std::condition_variable m_changed;
};

// Never destroyed: detached threads may still wait while the process exits.
ProcessClock& Clock() {
    static ProcessClock* clock = new ProcessClock;
    return *clock;
}

// Whether the calling thread is counted (Clock.h), and why.
enum class Membership : unsigned char { kNone, kStarted, kByWait, kEnded };
thread_local Membership t_membership = Membership::kNone;

// Gives back the count of a thread counted at its first wait when it ends.
struct CountedByWait {
    void Arm() {}
    ~CountedByWait() {
        t_membership = Membership::kEnded;
        Clock().Uncount();
    }
};
thread_local CountedByWait t_countedByWait;

void CountCallingThread() {
    if (t_membership != Membership::kNone)
        return;
    Clock().Count();
    t_membership = Membership::kByWait;
    t_countedByWait.Arm();  // constructs it, so that its destructor runs at the thread's end
}

// --- Calendar arithmetic (proleptic Gregorian, days relative to 1970-01-01).

bool IsLeapYear(LONGLONG y) {
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(LONGLONG y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeapYear(y) ? 29 : kDays[m - 1];
}

LONGLONG DaysFromCivil(LONGLONG y, unsigned m, unsigned d) {
    y -= m <= 2;
    const LONGLONG era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<LONGLONG>(doe) - 719468;
}

void CivilFromDays(LONGLONG z, LONGLONG* y, unsigned* m, unsigned* d) {
    z += 719468;
    const LONGLONG era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<LONGLONG>(yoe) + era * 400 + (*m <= 2);
}

// 0 = Sunday, for days relative to 1970-01-01 (a Thursday).
WORD DayOfWeek(LONGLONG days) {
    LONGLONG w = (days + 4) % 7;
    return static_cast<WORD>(w < 0 ? w + 7 : w);
}

bool ValidFields(const SYSTEMTIME& st, LONGLONG minYear, LONGLONG maxYear) {
    return st.wYear >= minYear && st.wYear <= maxYear && st.wMonth >= 1 && st.wMonth <= 12 &&
           st.wDay >= 1 && st.wDay <= DaysInMonth(st.wYear, st.wMonth) && st.wHour < 24 &&
           st.wMinute < 60 && st.wSecond < 60 && st.wMilliseconds < 1000;
}

// Days since 1970 and seconds of the day -> SYSTEMTIME.
void FillSystemTime(LONGLONG days, LONGLONG secondOfDay, WORD ms, SYSTEMTIME* st) {
    LONGLONG y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(days, &y, &m, &d);
    st->wYear = static_cast<WORD>(y);
    st->wMonth = static_cast<WORD>(m);
    st->wDay = static_cast<WORD>(d);
    st->wDayOfWeek = DayOfWeek(days);
    st->wHour = static_cast<WORD>(secondOfDay / 3600);
    st->wMinute = static_cast<WORD>(secondOfDay / 60 % 60);
    st->wSecond = static_cast<WORD>(secondOfDay % 60);
    st->wMilliseconds = ms;
}

void FileTimeValueToSystemTime(ULONGLONG v, SYSTEMTIME* st) {
    const ULONGLONG seconds = v / kTicksPerSecond;
    const WORD ms = static_cast<WORD>(v % kTicksPerSecond / kTicksPerMs);
    const LONGLONG days = static_cast<LONGLONG>(seconds / kSecondsPerDay) - kDaysFrom1601To1970;
    FillSystemTime(days, static_cast<LONGLONG>(seconds % kSecondsPerDay), ms, st);
}

ULONGLONG SystemTimeToFileTimeValue(const SYSTEMTIME& st) {
    const LONGLONG days = DaysFromCivil(st.wYear, st.wMonth, st.wDay) + kDaysFrom1601To1970;
    const LONGLONG seconds = days * kSecondsPerDay + st.wHour * 3600 + st.wMinute * 60 + st.wSecond;
    return static_cast<ULONGLONG>(seconds) * kTicksPerSecond + st.wMilliseconds * kTicksPerMs;
}

// The host time zone's offset from UTC now, in FILETIME units.
LONGLONG LocalOffsetNow() {
    const ULONGLONG now = Clock().WallFileTime();
    const time_t unixSeconds = static_cast<time_t>(static_cast<LONGLONG>(now / kTicksPerSecond) -
                                                   kDaysFrom1601To1970 * kSecondsPerDay);
    tm local{};
    localtime_r(&unixSeconds, &local);
    return static_cast<LONGLONG>(local.tm_gmtoff) * static_cast<LONGLONG>(kTicksPerSecond);
}

bool ShiftFileTime(const FILETIME* in, LONGLONG delta, FILETIME* out) {
    if (!in || !out) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const ULONGLONG v = win::FileTimeToUInt64(*in);
    if ((delta < 0 && v < static_cast<ULONGLONG>(-delta)) ||
        (delta > 0 && v + static_cast<ULONGLONG>(delta) < v)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    *out = win::UInt64ToFileTime(v + static_cast<ULONGLONG>(delta));
    return true;
}

// OLE dates: 1899-12-30 relative to 1970-01-01, and the supported range.
constexpr LONGLONG kDateEpochDays = -25569;
constexpr double kDateMin = -657434.0;  // 0100-01-01
constexpr double kDateMax = 2958466.0;  // 10000-01-01, exclusive

}  // namespace

namespace win {

double TimeScale() {
    return Clock().Scale();
}

std::chrono::nanoseconds PlatformMsToReal(ULONGLONG ms) {
    const double ns = static_cast<double>(ms) * 1e6 / TimeScale();
    // Far beyond any wait that can end; keeps time_point arithmetic finite.
    constexpr double kMaxNs = 1e17;
    return std::chrono::nanoseconds(static_cast<LONGLONG>(ns < kMaxNs ? ns : kMaxNs));
}

ULONGLONG NowPlatformMs() {
    return static_cast<ULONGLONG>(Clock().PlatformNs() / 1000000);
}

PlatformDeadline::PlatformDeadline(DWORD timeoutMs)
    : m_deadlineNs(Clock().PlatformNs() + static_cast<LONGLONG>(timeoutMs) * 1000000),
      m_infinite(timeoutMs == INFINITE) {}

bool PlatformDeadline::Passed() const {
    return !m_infinite && Clock().PlatformNs() >= m_deadlineNs;
}

std::chrono::nanoseconds PlatformDeadline::RemainingSlice() const {
    constexpr std::chrono::nanoseconds kMaxSlice = std::chrono::milliseconds(100);
    if (m_infinite)
        return kMaxSlice;
    const LONGLONG left = m_deadlineNs - Clock().PlatformNs();
    if (left <= 0)
        return std::chrono::nanoseconds(0);
    const double real = static_cast<double>(left) / Clock().Scale();
    // Rounded up, so that a slice never ends just short of the deadline.
    const auto slice = std::chrono::nanoseconds(static_cast<LONGLONG>(real) + 1);
    return slice < kMaxSlice ? slice : kMaxSlice;
}

LONGLONG PlatformDeadline::AtNs() const {
    return m_infinite ? kNoDeadlineNs : m_deadlineNs;
}

void SetTimeScaleForTesting(double scale) {
    Clock().SetScale(scale);
}

void SetTickCountForTesting(ULONGLONG tick) {
    Clock().SetTick(tick);
}

void SetVirtualClockForTesting(bool on) {
    if (on)
        CountCallingThread();
    Clock().SetVirtual(on);
}

bool VirtualClockOn() {
    return Clock().VirtualOn();
}

bool WaitForCondition(const std::function<bool()>& condition, DWORD timeoutMs) {
    constexpr auto kRealPoll = std::chrono::milliseconds(1);
    const PlatformDeadline deadline(timeoutMs);
    // On the virtual clock the condition is asked only at an idle moment,
    // when every other counted thread waits.
    bool idle = false, looked = false;
    for (;;) {
        const ULONGLONG ticket = TakeClockTicket();
        const bool virtualClock = VirtualClockOn();
        if ((idle || !virtualClock) && condition())
            return true;
        if (deadline.Passed())
            return false;
        looked = looked || idle;
        if (virtualClock)
            idle = BlockOnClock(ticket, deadline.AtNs(), true, !looked);
        else
            std::this_thread::sleep_for(
                std::min<std::chrono::nanoseconds>(deadline.RemainingSlice(), kRealPoll));
    }
}

ULONGLONG TakeClockTicket() {
    CountCallingThread();
    return Clock().Round();
}

bool BlockOnClock(ULONGLONG ticket, LONGLONG deadlineNs, bool lookWhenIdle, bool firstLook) {
    const bool counted =
        t_membership == Membership::kStarted || t_membership == Membership::kByWait;
    return Clock().Block(ticket, deadlineNs, counted, lookWhenIdle, firstLook);
}

void WakeClockWaiters() {
    Clock().Wake();
}

void CountStartingThread() {
    Clock().Count();
}

void GiveBackStartingThreadCount() {
    Clock().Uncount();
}

void AdoptStartingThreadCount() {
    t_membership = Membership::kStarted;
}

void UncountThread() {
    t_membership = Membership::kEnded;
    Clock().Uncount();
}

}  // namespace win

DWORD GetTickCount() {
    return static_cast<DWORD>(Clock().Tick64());
}

ULONGLONG GetTickCount64() {
    return Clock().Tick64();
}

void Sleep(DWORD ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    const win::PlatformDeadline deadline(ms);
    for (;;) {
        const ULONGLONG ticket = win::TakeClockTicket();
        if (deadline.Passed())
            return;
        if (win::VirtualClockOn())
            win::BlockOnClock(ticket, deadline.AtNs());
        else
            std::this_thread::sleep_for(deadline.RemainingSlice());
    }
}

void GetSystemTimeAsFileTime(FILETIME* ft) {
    *ft = win::UInt64ToFileTime(Clock().WallFileTime());
}

void GetSystemTime(SYSTEMTIME* st) {
    FileTimeValueToSystemTime(Clock().WallFileTime(), st);
}

void GetLocalTime(SYSTEMTIME* st) {
    const ULONGLONG now = Clock().WallFileTime();
    const time_t unixSeconds = static_cast<time_t>(static_cast<LONGLONG>(now / kTicksPerSecond) -
                                                   kDaysFrom1601To1970 * kSecondsPerDay);
    tm local{};
    localtime_r(&unixSeconds, &local);
    const LONGLONG offset = static_cast<LONGLONG>(local.tm_gmtoff) * kTicksPerSecond;
    FileTimeValueToSystemTime(static_cast<ULONGLONG>(static_cast<LONGLONG>(now) + offset), st);
}

BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft) {
    if (!st || !ft || !ValidFields(*st, 1601, 30827)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *ft = win::UInt64ToFileTime(SystemTimeToFileTimeValue(*st));
    return TRUE;
}

BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st) {
    if (!ft || !st || win::FileTimeToUInt64(*ft) > kFileTimeMax) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    FileTimeValueToSystemTime(win::FileTimeToUInt64(*ft), st);
    return TRUE;
}

BOOL FileTimeToLocalFileTime(const FILETIME* utc, FILETIME* local) {
    return ShiftFileTime(utc, LocalOffsetNow(), local) ? TRUE : FALSE;
}

BOOL LocalFileTimeToFileTime(const FILETIME* local, FILETIME* utc) {
    return ShiftFileTime(local, -LocalOffsetNow(), utc) ? TRUE : FALSE;
}

LONG CompareFileTime(const FILETIME* a, const FILETIME* b) {
    const ULONGLONG x = win::FileTimeToUInt64(*a), y = win::FileTimeToUInt64(*b);
    return x < y ? -1 : x > y ? 1 : 0;
}

INT SystemTimeToVariantTime(const SYSTEMTIME* st, DATE* date) {
    if (!st || !date)
        return FALSE;
    SYSTEMTIME probe = *st;
    probe.wMilliseconds = 0;
    if (!ValidFields(probe, 100, 9999))
        return FALSE;
    const LONGLONG days = DaysFromCivil(st->wYear, st->wMonth, st->wDay) - kDateEpochDays;
    const double fraction =
        static_cast<double>(st->wHour * 3600 + st->wMinute * 60 + st->wSecond) / kSecondsPerDay;
    // Before the epoch the day counts backwards but the time of day still
    // counts forwards from midnight, so the fraction is subtracted.
    *date = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
    return TRUE;
}

INT VariantTimeToSystemTime(DATE date, SYSTEMTIME* st) {
    if (!st || !(date >= kDateMin) || !(date < kDateMax))
        return FALSE;
    double whole = std::trunc(date);
    LONGLONG seconds = std::llround(std::fabs(date - whole) * kSecondsPerDay);
    LONGLONG days = static_cast<LONGLONG>(whole);
    if (seconds >= kSecondsPerDay) {
        // Rounded up to the next midnight: the next day, whichever the sign.
        seconds -= kSecondsPerDay;
        days += 1;
    }
    days += kDateEpochDays;
    LONGLONG y = 0;
    unsigned m = 0, d = 0;
    CivilFromDays(days, &y, &m, &d);
    if (y > 9999)
        return FALSE;
    FillSystemTime(days, seconds, 0, st);
    return TRUE;
}

BOOL FileTimeToDosDateTime(const FILETIME* ft, WORD* dosDate, WORD* dosTime) {
    SYSTEMTIME st{};
    if (!ft || !dosDate || !dosTime || !FileTimeToSystemTime(ft, &st) || st.wYear < 1980 ||
        st.wYear > 2107) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *dosDate = static_cast<WORD>(((st.wYear - 1980) << 9) | (st.wMonth << 5) | st.wDay);
    *dosTime = static_cast<WORD>((st.wHour << 11) | (st.wMinute << 5) | (st.wSecond / 2));
    return TRUE;
}

BOOL DosDateTimeToFileTime(WORD dosDate, WORD dosTime, FILETIME* ft) {
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(1980 + (dosDate >> 9));
    st.wMonth = static_cast<WORD>((dosDate >> 5) & 0x0F);
    st.wDay = static_cast<WORD>(dosDate & 0x1F);
    st.wHour = static_cast<WORD>(dosTime >> 11);
    st.wMinute = static_cast<WORD>((dosTime >> 5) & 0x3F);
    st.wSecond = static_cast<WORD>((dosTime & 0x1F) * 2);
    if (!ft || !ValidFields(st, 1980, 2107)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *ft = win::UInt64ToFileTime(SystemTimeToFileTimeValue(st));
    return TRUE;
}
