#include "platform/win/Timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "platform/win/Clock.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/VirtualClockTestSupport.h"
#include "platform/win/WindowTestSupport.h"

namespace {

using win::testing::Log;

constexpr const wchar_t* kClass = L"QmTimerTest";

// On the virtual clock: every tick below comes exactly at its due time.
class TimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::testing::EnsureClass(kClass, win::testing::LoggingProc);
        Log().Clear();
        m_hwnd = CreateWindowExW(0, kClass, L"", WS_CHILD, 0, 0, 1, 1, GetDesktopWindow(), nullptr,
                                 nullptr, nullptr);
        ASSERT_NE(m_hwnd, nullptr);
    }
    void TearDown() override { DestroyWindow(m_hwnd); }
    std::size_t Ticks(WPARAM id) {
        std::size_t n = 0;
        for (const auto& e : Log().Of(WM_TIMER))
            if (e.wParam == id)
                ++n;
        return n;
    }
    // Pumps until done (at most a platform minute); false when it never held.
    static bool PumpUntil(const std::function<bool()>& done) {
        return win::PumpMessagesUntil(done, 60000);
    }
    // Pumps for platformMs platform milliseconds.
    static void PumpFor(DWORD platformMs) {
        win::PumpMessagesUntil([] { return false; }, platformMs);
    }
    win::testing::VirtualClock m_clock;
    HWND m_hwnd = nullptr;
};

TEST_F(TimerTest, ATimerSetFromAnotherThreadFiresOnTheOwnersThreadAtItsDueTime) {
    ULONGLONG armedAt = 0;
    std::thread([&] {
        armedAt = win::NowPlatformMs();
        EXPECT_EQ(SetTimer(m_hwnd, 1, 3000, nullptr), 1u);
    }).join();
    ASSERT_TRUE(PumpUntil([&] { return Ticks(1) > 0; }));
    EXPECT_EQ(win::NowPlatformMs() - armedAt, 3000u);
    auto ticks = Log().Of(WM_TIMER);
    ASSERT_EQ(ticks.size(), 1u);
    EXPECT_EQ(ticks[0].hwnd, m_hwnd);
    EXPECT_EQ(ticks[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(ticks[0].lParam, 0);
}

TEST_F(TimerTest, KillTimerStopsIt) {
    const ULONGLONG start = win::NowPlatformMs();
    SetTimer(m_hwnd, 1, 1000, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return Ticks(1) >= 2; }));
    EXPECT_EQ(win::NowPlatformMs() - start, 2000u);
    std::thread([&] { EXPECT_TRUE(KillTimer(m_hwnd, 1)); }).join();
    PumpFor(10000);
    EXPECT_EQ(Ticks(1), 2u);
    EXPECT_FALSE(KillTimer(m_hwnd, 1));
}

TEST_F(TimerTest, ReArmingReplacesThePeriodAndKeepsItsCadence) {
    std::vector<ULONGLONG> at;
    const ULONGLONG start = win::NowPlatformMs();
    SetTimer(m_hwnd, 1, 100000, nullptr);
    SetTimer(m_hwnd, 1, 3000, nullptr);
    ASSERT_TRUE(PumpUntil([&] {
        if (Ticks(1) > at.size())
            at.push_back(win::NowPlatformMs() - start);
        return at.size() >= 4;
    }));
    // One timer of the new period, not two: no tick of the long one.
    EXPECT_EQ(at, (std::vector<ULONGLONG>{3000, 6000, 9000, 12000}));
    EXPECT_EQ(Ticks(1), 4u);
    KillTimer(m_hwnd, 1);
}

TEST_F(TimerTest, ADueTimerIsQueuedOnceHoweverLongItWaits) {
    SetTimer(m_hwnd, 1, 1000, nullptr);
    Sleep(20500);  // 20 periods pass unread
    MSG msg;
    int timers = 0;
    while (PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE))
        ++timers;
    EXPECT_EQ(timers, 1);
    // The missed periods are dropped: the next tick is a whole period after
    // the read, not at the next multiple of the period.
    const ULONGLONG read = win::NowPlatformMs();
    ASSERT_TRUE(PumpUntil([&] { return Ticks(1) == 1; }));
    EXPECT_EQ(win::NowPlatformMs() - read, 1000u);
    KillTimer(m_hwnd, 1);
}

TEST_F(TimerTest, PostedMessagesComeBeforeDueTimers) {
    SetTimer(m_hwnd, 1, USER_TIMER_MINIMUM, nullptr);
    Sleep(100);
    PostMessageW(m_hwnd, WM_APP, 0, 0);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_APP);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_TIMER);
    // Left in place, the timer is still due.
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_TIMER);
    KillTimer(m_hwnd, 1);
}

std::atomic<int> g_procCalls{0};
HWND g_procHwnd = nullptr;
UINT_PTR g_procId = 0;
DWORD g_procTick = 0;
void CountingProc(HWND hwnd, UINT msg, UINT_PTR id, DWORD tick) {
    EXPECT_EQ(msg, WM_TIMER);
    g_procHwnd = hwnd;
    g_procId = id;
    g_procTick = tick;
    ++g_procCalls;
}

TEST_F(TimerTest, ATimerProcedureIsCalledInsteadOfTheWindowProcedure) {
    g_procCalls = 0;
    const DWORD armed = GetTickCount();
    SetTimer(m_hwnd, 9, 500, &CountingProc);
    ASSERT_TRUE(PumpUntil([] { return g_procCalls > 0; }));
    EXPECT_EQ(g_procHwnd, m_hwnd);
    EXPECT_EQ(g_procId, 9u);
    EXPECT_EQ(g_procTick - armed, 500u) << "the procedure is given the tick count";
    EXPECT_EQ(Ticks(9), 0u);
    KillTimer(m_hwnd, 9);
}

TEST_F(TimerTest, ThreadTimersGetTheirOwnIds) {
    g_procCalls = 0;
    const DWORD armed = GetTickCount();
    UINT_PTR first = SetTimer(nullptr, 0, 500, &CountingProc);
    UINT_PTR second = SetTimer(nullptr, 0, 600, &CountingProc);
    ASSERT_NE(first, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(SetTimer(nullptr, first, 700, &CountingProc), first);  // re-arms, same id
    ASSERT_TRUE(PumpUntil([] { return g_procCalls > 0; }));
    EXPECT_EQ(g_procHwnd, nullptr);
    EXPECT_EQ(g_procId, second) << "the re-armed first timer comes later";
    EXPECT_EQ(g_procTick - armed, 600u);
    EXPECT_TRUE(KillTimer(nullptr, first));
    EXPECT_TRUE(KillTimer(nullptr, second));
    EXPECT_FALSE(KillTimer(nullptr, first));
}

TEST_F(TimerTest, TimersOfAGoneWindowGoWithIt) {
    HWND other =
        CreateWindowExW(0, kClass, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    SetTimer(other, 1, USER_TIMER_MINIMUM, nullptr);
    Sleep(100);
    DestroyWindow(other);
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE));
    EXPECT_EQ(SetTimer(other, 1, 1000, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(KillTimer(other, 1));
}

// A heartbeat as the add-in keeps one: timer 1 re-armed at a longer period
// from its own tick, and re-armed at a shorter one from another thread.
std::vector<ULONGLONG> g_beats;
LRESULT HeartbeatProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_TIMER && wParam == 1) {
        g_beats.push_back(win::NowPlatformMs());
        KillTimer(hwnd, 1);
        SetTimer(hwnd, 1, 10000, nullptr);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

TEST_F(TimerTest, AHeartbeatReArmedFromItsTickAndFromAWorker) {
    win::testing::EnsureClass(L"QmHeartbeat", HeartbeatProc);
    HWND beat = CreateWindowExW(0, L"QmHeartbeat", L"", 0x56000000, 0, 0, 0, 0, GetDesktopWindow(),
                                nullptr, nullptr, nullptr);
    ASSERT_NE(beat, nullptr);
    ShowWindow(beat, SW_HIDE);
    g_beats.clear();
    const ULONGLONG start = win::NowPlatformMs();
    SetTimer(beat, 1, 3000, nullptr);
    ASSERT_TRUE(PumpUntil([] { return g_beats.size() >= 3; }));
    // The first period, then the longer one counted from each tick.
    EXPECT_EQ(g_beats, (std::vector<ULONGLONG>{start + 3000, start + 13000, start + 23000}));
    // A worker shortens the next beat (as a new mail does), 4 s into the
    // period.
    ULONGLONG rearmed = 0;
    win::testing::PlatformThread worker([&] {
        Sleep(4000);
        KillTimer(beat, 1);
        rearmed = win::NowPlatformMs();
        SetTimer(beat, 1, 100, nullptr);
    });
    ASSERT_TRUE(PumpUntil([] { return g_beats.size() >= 4; }));
    EXPECT_EQ(rearmed, start + 27000);
    EXPECT_EQ(g_beats[3], rearmed + 100);
    worker.Join();
    DestroyWindow(beat);
}

// On the real clock: a loop waiting for a timer armed at scale 1, a real
// minute away, follows a scale raised while it waits. It notices within one
// wait slice (100 real ms); the bound below only tells that from a wait that
// kept the old scale (a real minute).
TEST(TimerRealClockTest, AWaitingLoopFollowsAScaleChangedWhileItWaits) {
    win::testing::EnsureClass(kClass, win::testing::LoggingProc);
    HWND hwnd =
        CreateWindowExW(0, kClass, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    const ULONGLONG armed = win::NowPlatformMs();
    SetTimer(hwnd, 1, 60000, nullptr);
    std::thread speeder([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        win::SetTimeScaleForTesting(1000);
    });
    auto start = std::chrono::steady_clock::now();
    MSG msg;
    ASSERT_GT(GetMessageW(&msg, hwnd, WM_TIMER, WM_TIMER), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_GE(win::NowPlatformMs() - armed, 60000u);
    speeder.join();
    win::SetTimeScaleForTesting(1);
    DestroyWindow(hwnd);
}

}  // namespace
