#include "platform/win/Clock.h"

#include <gtest/gtest.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/win/Errors.h"
#include "platform/win/Event.h"
#include "platform/win/TestChildProcess.h"
#include "platform/win/Threads.h"
#include "platform/win/VirtualClockTestSupport.h"

namespace {

using RealClock = std::chrono::steady_clock;

double RealMsSince(RealClock::time_point start) {
    return std::chrono::duration<double, std::milli>(RealClock::now() - start).count();
}

SYSTEMTIME Make(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    st.wMilliseconds = ms;
    return st;
}

bool SameFields(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay && a.wHour == b.wHour &&
           a.wMinute == b.wMinute && a.wSecond == b.wSecond && a.wMilliseconds == b.wMilliseconds;
}

class ClockTest : public ::testing::Test {
protected:
    void TearDown() override { win::SetTimeScaleForTesting(1.0); }
};

// Brackets a platform-time reading with real-time ones: the platform ms read
// lie between scale * the real times around them, whatever the machine
// does in between, since both come from one steady clock.
struct Reading {
    RealClock::time_point before;
    ULONGLONG platformMs;
    RealClock::time_point after;
};
Reading Read() {
    Reading r;
    r.before = RealClock::now();
    r.platformMs = win::NowPlatformMs();
    r.after = RealClock::now();
    return r;
}
double RealMsBetween(RealClock::time_point a, RealClock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}
// Platform ms elapsed from a to b must be scale times the real ms elapsed:
// at least the real span inside the brackets, at most the span around them
// (1 ms for the whole-ms readings).
void ExpectScaled(const Reading& a, const Reading& b, double scale) {
    const double platform = static_cast<double>(b.platformMs - a.platformMs);
    EXPECT_GE(platform, RealMsBetween(a.after, b.before) * scale - 1);
    EXPECT_LE(platform, RealMsBetween(a.before, b.after) * scale + 1);
}

TEST_F(ClockTest, SleepAtHighScaleRunsThePlatformClockAtTheScale) {
    win::SetTimeScaleForTesting(60000.0);
    const Reading before = Read();
    Sleep(60000);
    const Reading after = Read();
    EXPECT_GE(after.platformMs - before.platformMs, 60000u);
    EXPECT_GE(RealMsBetween(before.before, after.after), 1.0) << "60000 platform ms are 1 real ms";
    ExpectScaled(before, after, 60000.0);
}

TEST_F(ClockTest, SleepAtScaleOneTakesRealTime) {
    const DWORD before = GetTickCount();
    const auto start = RealClock::now();
    Sleep(30);
    EXPECT_GE(RealMsSince(start), 29.0);
    EXPECT_GE(GetTickCount() - before, 29u);
}

TEST_F(ClockTest, ASleepFollowsAScaleChangeMadeWhileItRuns) {
    std::atomic<ULONGLONG> wokeAt{0};
    const ULONGLONG start = win::NowPlatformMs();
    HANDLE sleeper = reinterpret_cast<HANDLE>(_beginthreadex(
        nullptr, 0,
        [](void* p) -> unsigned {
            Sleep(600000);  // ten platform minutes, at scale 1 ten real ones
            static_cast<std::atomic<ULONGLONG>*>(p)->store(win::NowPlatformMs());
            return 0;
        },
        &wokeAt, 0, nullptr));
    ASSERT_NE(sleeper, nullptr);
    win::SetTimeScaleForTesting(1e4);
    // 300000 platform s at the new scale are 30 real seconds: only a sleep
    // that kept the old scale for its remaining ten real minutes misses them.
    EXPECT_EQ(WaitForSingleObject(sleeper, 300000000), WAIT_OBJECT_0);
    EXPECT_GE(wokeAt.load(), start + 600000);
    CloseHandle(sleeper);
}

TEST_F(ClockTest, ScaleChangeKeepsPlatformTimeContinuous) {
    win::SetTimeScaleForTesting(1000.0);
    const Reading before = Read();
    win::SetTimeScaleForTesting(1.0);
    const Reading after = Read();
    EXPECT_GE(after.platformMs, before.platformMs);
    // No jump: at most what the real time between the readings gives at the
    // faster of the two scales.
    EXPECT_LE(static_cast<double>(after.platformMs - before.platformMs),
              RealMsBetween(before.before, after.after) * 1000.0 + 1);
}

TEST_F(ClockTest, PlatformMsToRealDividesByScale) {
    win::SetTimeScaleForTesting(60.0);
    EXPECT_EQ(win::PlatformMsToReal(60000), std::chrono::seconds(1));
    EXPECT_DOUBLE_EQ(win::TimeScale(), 60.0);
}

// ---- The virtual clock

class VirtualClockTest : public ::testing::Test {
protected:
    win::testing::VirtualClock m_clock;
    win::testing::Timeline m_timeline;
};

using Entries = std::vector<win::testing::Timeline::Entry>;

TEST_F(VirtualClockTest, ASleepEndsExactlyAtItsDeadlineAndMovesEveryClockAlike) {
    const DWORD tick = GetTickCount();
    FILETIME wallBefore{}, wallAfter{};
    GetSystemTimeAsFileTime(&wallBefore);
    Sleep(3600 * 1000);  // one platform hour
    GetSystemTimeAsFileTime(&wallAfter);
    EXPECT_EQ(m_timeline.Elapsed(), 3600000u);
    EXPECT_EQ(GetTickCount() - tick, 3600000u);
    EXPECT_EQ(win::FileTimeToUInt64(wallAfter) - win::FileTimeToUInt64(wallBefore),
              3600ull * 10000000);
}

TEST_F(VirtualClockTest, TimeStandsStillWhileACountedThreadWorks) {
    const ULONGLONG start = win::NowPlatformMs();
    // Real time passes on this (counted, running) thread; platform time not.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(win::NowPlatformMs(), start);
    Sleep(0);
    EXPECT_EQ(win::NowPlatformMs(), start) << "Sleep(0) lets no time pass";
    win::SetTimeScaleForTesting(1e6);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(win::NowPlatformMs(), start) << "the scale does not apply";
    win::SetTimeScaleForTesting(1.0);
}

TEST_F(VirtualClockTest, SleepersWakeInDeadlineOrderAtTheirDeadlines) {
    {
        win::testing::PlatformThread late([&] {
            Sleep(2500);
            m_timeline.Note("late");
        });
        win::testing::PlatformThread early([&] {
            Sleep(1000);
            m_timeline.Note("early");
            Sleep(1000);
            m_timeline.Note("early again");
        });
        Sleep(1500);
        m_timeline.Note("main");
    }
    m_timeline.Note("joined");
    EXPECT_EQ(m_timeline.Entries(), (Entries{{1000, "early"},
                                             {1500, "main"},
                                             {2000, "early again"},
                                             {2500, "late"},
                                             {2500, "joined"}}));
}

// The thread that SetEvent wakes counts as running from the SetEvent on: the
// setter's next sleep must not let time jump past the woken thread.
TEST_F(VirtualClockTest, AWokenThreadIsNotPassedByTimeItDidNotWaitFor) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE);
    {
        win::testing::PlatformThread waiter([&] {
            const DWORD result = WaitForSingleObject(event, 10000);
            m_timeline.Note(result == WAIT_OBJECT_0 ? "woken" : "timed out");
        });
        win::testing::PlatformThread setter([&] {
            Sleep(100);
            SetEvent(event);
            Sleep(5000);
            m_timeline.Note("setter done");
        });
    }
    EXPECT_EQ(m_timeline.Entries(), (Entries{{100, "woken"}, {5100, "setter done"}}));
    CloseHandle(event);
}

// A thread that is not a platform thread counts from its first platform
// wait: after it, its real work holds time still.
TEST_F(VirtualClockTest, AnOtherThreadCountsFromItsFirstPlatformWait) {
    HANDLE never = CreateEventW(nullptr, TRUE, FALSE);
    std::atomic<bool> counted{false}, finished{false};
    std::thread other([&] {
        WaitForSingleObject(never, 0);  // its first platform wait
        counted = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // real work
        finished = true;
    });
    while (!counted.load())
        std::this_thread::yield();
    Sleep(1000);
    EXPECT_TRUE(finished.load()) << "the jump to 1000 waited for the counted thread";
    EXPECT_EQ(m_timeline.Elapsed(), 1000u);
    other.join();
    CloseHandle(never);
}

TEST_F(VirtualClockTest, WaitForConditionReturnsAtTheFirstMomentItHolds) {
    std::atomic<int> stage{0};
    {
        win::testing::PlatformThread worker([&] {
            Sleep(3000);
            stage = 1;  // no platform call tells of it
            Sleep(7000);
            stage = 2;
        });
        EXPECT_TRUE(win::WaitForCondition([&] { return stage.load() == 1; }, 60000));
        EXPECT_EQ(m_timeline.Elapsed(), 3000u);
        EXPECT_FALSE(win::WaitForCondition([&] { return stage.load() == 3; }, 60000));
        EXPECT_EQ(m_timeline.Elapsed(), 63000u);
    }
    EXPECT_EQ(stage.load(), 2);
}

// The condition is asked only when every other counted thread waits: a wake
// in the middle of another thread's work shows the work done, not half of it.
TEST_F(VirtualClockTest, WaitForConditionSeesOtherThreadsSettled) {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE);
    std::atomic<bool> first{false}, second{false};
    {
        win::testing::PlatformThread worker([&] {
            Sleep(100);
            first = true;
            SetEvent(event);  // wakes every waiter of the process
            std::this_thread::sleep_for(std::chrono::milliseconds(20));  // real work
            second = true;
            Sleep(100);
        });
        ASSERT_TRUE(win::WaitForCondition([&] { return first.load(); }, 60000));
        EXPECT_TRUE(second.load());
        EXPECT_EQ(m_timeline.Elapsed(), 100u);
        // A new wait looks at once, though nothing ran since the last look.
        EXPECT_TRUE(win::WaitForCondition([&] { return second.load(); }, 60000));
        EXPECT_EQ(m_timeline.Elapsed(), 100u);
    }
    CloseHandle(event);
}

TEST_F(VirtualClockTest, TickCountWrapsAndUnsignedElapsedSurvivesIt) {
    win::SetTickCountForTesting(0xFFFFFFFFull - 100);
    const DWORD before = GetTickCount();
    Sleep(500);
    const DWORD after = GetTickCount();
    EXPECT_LT(after, before) << "the 32-bit count must have wrapped";
    EXPECT_EQ(static_cast<DWORD>(after - before), 500u);
    EXPECT_GT(GetTickCount64(), 0xFFFFFFFFull);
}

TEST(VirtualClockSwitchTest, TimeIsContinuousAcrossTheSwitches) {
    const ULONGLONG real = win::NowPlatformMs();
    win::SetVirtualClockForTesting(true);
    EXPECT_TRUE(win::VirtualClockOn());
    const ULONGLONG virtualStart = win::NowPlatformMs();
    EXPECT_GE(virtualStart, real);
    Sleep(100000);
    EXPECT_EQ(win::NowPlatformMs(), virtualStart + 100000);
    win::SetVirtualClockForTesting(false);
    EXPECT_FALSE(win::VirtualClockOn());
    EXPECT_GE(win::NowPlatformMs(), virtualStart + 100000) << "the real clock runs on from there";
}

TEST_F(ClockTest, LocalTimeFollowsTheHostTimeZone) {
    setenv("TZ", "QMT-02", 1);  // two hours east of UTC, no daylight saving
    tzset();
    SYSTEMTIME utc{}, local{};
    GetSystemTime(&utc);
    GetLocalTime(&local);
    FILETIME u{}, l{};
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &u));
    ASSERT_TRUE(SystemTimeToFileTime(&local, &l));
    const double hours = (static_cast<double>(win::FileTimeToUInt64(l)) -
                          static_cast<double>(win::FileTimeToUInt64(u))) /
                         36e9;
    EXPECT_NEAR(hours, 2.0, 0.01);

    FILETIME converted{}, back{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&u, &converted));
    EXPECT_EQ(win::FileTimeToUInt64(converted) - win::FileTimeToUInt64(u), 2ull * 36000000000);
    ASSERT_TRUE(LocalFileTimeToFileTime(&converted, &back));
    EXPECT_EQ(win::FileTimeToUInt64(back), win::FileTimeToUInt64(u));
    unsetenv("TZ");
    tzset();
}

TEST(FileTimeTest, KnownValues) {
    struct Case {
        SYSTEMTIME st;
        ULONGLONG value;
        WORD dayOfWeek;
    } cases[] = {
        {Make(1601, 1, 1), 0, 1},
        {Make(1970, 1, 1), 116444736000000000ull, 4},
        {Make(2000, 2, 29, 12, 34, 56, 789), 125963012967890000ull, 2},
        {Make(2026, 12, 10, 8, 0, 0), 134413632000000000ull, 4},
    };
    for (const auto& c : cases) {
        FILETIME ft{};
        ASSERT_TRUE(SystemTimeToFileTime(&c.st, &ft)) << c.st.wYear;
        EXPECT_EQ(win::FileTimeToUInt64(ft), c.value) << c.st.wYear;
        SYSTEMTIME back{};
        ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
        EXPECT_TRUE(SameFields(back, c.st)) << c.st.wYear;
        EXPECT_EQ(back.wDayOfWeek, c.dayOfWeek) << c.st.wYear;
    }
}

TEST(FileTimeTest, InvalidFieldsAreRejected) {
    const SYSTEMTIME bad[] = {Make(2023, 2, 29),    Make(2024, 13, 1),
                              Make(1600, 12, 31),   Make(2024, 1, 0),
                              Make(2024, 1, 1, 24), Make(2024, 1, 1, 0, 60),
                              Make(2024, 4, 31),    Make(2024, 1, 1, 0, 0, 0, 1000)};
    for (const auto& st : bad) {
        FILETIME ft{};
        SetLastError(0);
        EXPECT_FALSE(SystemTimeToFileTime(&st, &ft)) << st.wYear << "-" << st.wMonth;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    const FILETIME tooLarge = win::UInt64ToFileTime(0x8000000000000000ull);
    SYSTEMTIME st{};
    EXPECT_FALSE(FileTimeToSystemTime(&tooLarge, &st));
}

TEST(FileTimeTest, CompareFileTimeOrders) {
    const FILETIME a = win::UInt64ToFileTime(5), b = win::UInt64ToFileTime(0x100000000ull);
    EXPECT_EQ(CompareFileTime(&a, &b), -1);
    EXPECT_EQ(CompareFileTime(&b, &a), 1);
    EXPECT_EQ(CompareFileTime(&a, &a), 0);
}

TEST(VariantTimeTest, KnownDatesBothWays) {
    struct Case {
        SYSTEMTIME st;
        DATE date;
    } cases[] = {
        {Make(1899, 12, 30), 0.0},      {Make(2000, 1, 1), 36526.0},
        {Make(1900, 1, 1), 2.0},        {Make(1899, 12, 30, 12), 0.5},
        {Make(1899, 12, 29, 6), -1.25}, {Make(1899, 12, 28, 18), -2.75},
        {Make(1800, 1, 1), -36522.0},   {Make(9999, 12, 31), 2958465.0},
        {Make(100, 1, 1), -657434.0},   {Make(2026, 3, 5, 18), 46086.75},
        {Make(1899, 12, 29, 0), -1.0},
    };
    for (const auto& c : cases) {
        DATE date = 99;
        ASSERT_TRUE(SystemTimeToVariantTime(&c.st, &date)) << c.date;
        EXPECT_DOUBLE_EQ(date, c.date);
        SYSTEMTIME back{};
        ASSERT_TRUE(VariantTimeToSystemTime(c.date, &back)) << c.date;
        EXPECT_TRUE(SameFields(back, c.st)) << c.date << " gave " << back.wYear << "-"
                                            << back.wMonth << "-" << back.wDay << " " << back.wHour;
    }
}

TEST(VariantTimeTest, RoundTripsEverySecondOfSampledDays) {
    for (WORD year : {1650, 1899, 1900, 1970, 2024}) {
        for (int second = 0; second < 86400; second += 7) {
            const SYSTEMTIME st =
                Make(year, 12, 30, static_cast<WORD>(second / 3600),
                     static_cast<WORD>(second / 60 % 60), static_cast<WORD>(second % 60));
            DATE date = 0;
            ASSERT_TRUE(SystemTimeToVariantTime(&st, &date));
            SYSTEMTIME back{};
            ASSERT_TRUE(VariantTimeToSystemTime(date, &back));
            ASSERT_TRUE(SameFields(back, st)) << year << " " << second;
        }
    }
}

TEST(VariantTimeTest, RoundsToTheNearestSecondAndRejectsOutOfRange) {
    SYSTEMTIME st{};
    ASSERT_TRUE(VariantTimeToSystemTime(1.0 - 0.1 / 86400, &st));
    EXPECT_TRUE(SameFields(st, Make(1899, 12, 31)));
    ASSERT_TRUE(VariantTimeToSystemTime(-0.5, &st));
    EXPECT_TRUE(SameFields(st, Make(1899, 12, 30, 12)));

    EXPECT_FALSE(VariantTimeToSystemTime(2958466.0, &st));
    EXPECT_FALSE(VariantTimeToSystemTime(-657435.0, &st));
    DATE date = 0;
    const SYSTEMTIME early = Make(99, 12, 31), invalid = Make(2023, 2, 29);
    EXPECT_FALSE(SystemTimeToVariantTime(&early, &date));
    EXPECT_FALSE(SystemTimeToVariantTime(&invalid, &date));
    const SYSTEMTIME withMs = Make(2000, 1, 1, 0, 0, 0, 999);
    ASSERT_TRUE(SystemTimeToVariantTime(&withMs, &date));
    EXPECT_DOUBLE_EQ(date, 36526.0) << "milliseconds are ignored";
}

TEST(DosTimeTest, PacksFieldsAndTruncatesToEvenSeconds) {
    const SYSTEMTIME st = Make(2026, 12, 10, 13, 45, 31);
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    WORD date = 0, time = 0;
    ASSERT_TRUE(FileTimeToDosDateTime(&ft, &date, &time));
    EXPECT_EQ(date, (46 << 9) | (12 << 5) | 10);
    EXPECT_EQ(time, (13 << 11) | (45 << 5) | 15);
    FILETIME back{};
    ASSERT_TRUE(DosDateTimeToFileTime(date, time, &back));
    SYSTEMTIME sb{};
    ASSERT_TRUE(FileTimeToSystemTime(&back, &sb));
    EXPECT_TRUE(SameFields(sb, Make(2026, 12, 10, 13, 45, 30)));
}

TEST(DosTimeTest, RangeAndFieldErrors) {
    const SYSTEMTIME early = Make(1979, 12, 31, 23, 59, 58);
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&early, &ft));
    WORD date = 0, time = 0;
    EXPECT_FALSE(FileTimeToDosDateTime(&ft, &date, &time));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(DosDateTimeToFileTime((1 << 5) | 0, 0, &ft)) << "day 0";
    EXPECT_FALSE(DosDateTimeToFileTime((13 << 5) | 1, 0, &ft)) << "month 13";
    EXPECT_FALSE(DosDateTimeToFileTime((1 << 5) | 1, 24 << 11, &ft)) << "hour 24";
    EXPECT_TRUE(DosDateTimeToFileTime((1 << 5) | 1, 0, &ft));
    EXPECT_EQ(win::FileTimeToUInt64(ft), 119600064000000000ull) << "1980-01-01";
}

// Child runs: the environment is read once per process.
TEST(ClockChild, TickStartsAtTheConfiguredValue) {
    if (!win::testing::IsChildRun())
        GTEST_SKIP() << "runs as a child of ClockProcess";
    const ULONGLONG expected = std::strtoull(std::getenv("QM_EXPECT_TICK"), nullptr, 10);
    const ULONGLONG tick = GetTickCount64();
    ASSERT_GE(tick, expected);
    ASSERT_LT(tick, expected + 10000);
}

TEST(ClockChild, ScaleComesFromTheEnvironment) {
    if (!win::testing::IsChildRun())
        GTEST_SKIP() << "runs as a child of ClockProcess";
    ASSERT_DOUBLE_EQ(win::TimeScale(), 60000.0);
    const Reading before = Read();
    Sleep(60000);
    const Reading after = Read();
    ExpectScaled(before, after, 60000.0);
}

TEST(ClockProcess, TickStartIsReadAsHexOrDecimal) {
    if (win::testing::IsChildRun())
        GTEST_SKIP();
    EXPECT_EQ(win::testing::RunChildTest(
                  "ClockChild.TickStartsAtTheConfiguredValue",
                  {"QUILLMERE_TICK_START=0xFFFFF000", "QM_EXPECT_TICK=4294963200"}),
              0);
    EXPECT_EQ(win::testing::RunChildTest(
                  "ClockChild.TickStartsAtTheConfiguredValue",
                  {"QUILLMERE_TICK_START=4294967000", "QM_EXPECT_TICK=4294967000"}),
              0);
}

// A fresh clock starts at the host's time (scaled sleeps in this process
// have moved the parent's wall clock ahead on purpose).
TEST(ClockChild, WallClockStartsAtTheHostTime) {
    if (!win::testing::IsChildRun())
        GTEST_SKIP() << "runs as a child of ClockProcess";
    // At scale 1 the platform's wall clock is the host's: between two host
    // readings around it (the whole-second host reading rounds down).
    timespec before{}, now{};
    clock_gettime(CLOCK_REALTIME, &before);
    FILETIME ft{};
    GetSystemTimeAsFileTime(&ft);
    clock_gettime(CLOCK_REALTIME, &now);
    const double platformSeconds = static_cast<double>(win::FileTimeToUInt64(ft)) / 1e7;
    ASSERT_GE(platformSeconds, static_cast<double>(before.tv_sec) + 11644473600.0);
    ASSERT_LE(platformSeconds, static_cast<double>(now.tv_sec + 1) + 11644473600.0);
    SYSTEMTIME st{};
    GetSystemTime(&st);
    const time_t t = now.tv_sec;
    tm utc{};
    gmtime_r(&t, &utc);
    ASSERT_EQ(st.wYear, utc.tm_year + 1900);
    ASSERT_EQ(st.wMonth, utc.tm_mon + 1);
    ASSERT_EQ(st.wDayOfWeek, utc.tm_wday);
}

TEST(ClockProcess, WallClockStartsAtTheHostTime) {
    if (win::testing::IsChildRun())
        GTEST_SKIP();
    EXPECT_EQ(win::testing::RunChildTest("ClockChild.WallClockStartsAtTheHostTime", {}), 0);
}

TEST(ClockProcess, TimeScaleIsReadFromTheEnvironment) {
    if (win::testing::IsChildRun())
        GTEST_SKIP();
    EXPECT_EQ(win::testing::RunChildTest("ClockChild.ScaleComesFromTheEnvironment",
                                         {"QUILLMERE_TIME_SCALE=60000"}),
              0);
}

}  // namespace
