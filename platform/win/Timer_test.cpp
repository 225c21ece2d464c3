#include "platform/win/Timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/win/Clock.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/WindowTestSupport.h"

namespace {

using win::testing::Log;
using win::testing::PumpUntil;

constexpr const wchar_t* kClass = L"QmTimerTest";

// Platform ms pass 1000 times as fast as real ones: a 3000 ms timer falls
// due after 3 real ms.
constexpr double kScale = 1000;

class TimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::testing::EnsureClass(kClass, win::testing::LoggingProc);
        win::SetTimeScaleForTesting(kScale);
        Log().Clear();
        m_hwnd = CreateWindowExW(0, kClass, L"", WS_CHILD, 0, 0, 1, 1, GetDesktopWindow(), nullptr,
                                 nullptr, nullptr);
        ASSERT_NE(m_hwnd, nullptr);
    }
    void TearDown() override {
        DestroyWindow(m_hwnd);
        win::SetTimeScaleForTesting(1);
    }
    std::size_t Ticks(WPARAM id) {
        std::size_t n = 0;
        for (const auto& e : Log().Of(WM_TIMER))
            if (e.wParam == id)
                ++n;
        return n;
    }
    // Pumps for platformMs platform milliseconds.
    void PumpFor(ULONGLONG platformMs) {
        ULONGLONG end = win::NowPlatformMs() + platformMs;
        PumpUntil([end] { return win::NowPlatformMs() >= end; });
    }
    HWND m_hwnd = nullptr;
};

TEST_F(TimerTest, ATimerSetFromAnotherThreadFiresOnTheOwnersThreadAtTheScaledTime) {
    ULONGLONG armedAt = 0;
    auto realStart = std::chrono::steady_clock::now();
    std::thread([&] {
        armedAt = win::NowPlatformMs();
        EXPECT_EQ(SetTimer(m_hwnd, 1, 3000, nullptr), 1u);
    }).join();
    ASSERT_TRUE(PumpUntil([&] { return Ticks(1) > 0; }));
    ULONGLONG firedAt = win::NowPlatformMs();
    auto real = std::chrono::steady_clock::now() - realStart;
    EXPECT_GE(firedAt - armedAt, 3000u);
    EXPECT_LT(real, std::chrono::seconds(2));  // 3 real ms are due; 3 real s would be unscaled
    auto ticks = Log().Of(WM_TIMER);
    EXPECT_EQ(ticks[0].hwnd, m_hwnd);
    EXPECT_EQ(ticks[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(ticks[0].lParam, 0);
}

TEST_F(TimerTest, KillTimerStopsIt) {
    SetTimer(m_hwnd, 1, 1000, nullptr);
    ASSERT_TRUE(PumpUntil([&] { return Ticks(1) >= 2; }));
    std::thread([&] { EXPECT_TRUE(KillTimer(m_hwnd, 1)); }).join();
    std::size_t before = Ticks(1);
    PumpFor(10000);
    EXPECT_EQ(Ticks(1), before);
    EXPECT_FALSE(KillTimer(m_hwnd, 1));
}

TEST_F(TimerTest, ReArmingReplacesThePeriod) {
    // A slower scale here, so that a busy machine's scheduling delays stay
    // well inside the bounds: 3000 ms are 30 real ms, 100000 ms one second.
    win::SetTimeScaleForTesting(100);
    std::vector<ULONGLONG> at;
    ULONGLONG start = win::NowPlatformMs();
    SetTimer(m_hwnd, 1, 100000, nullptr);
    SetTimer(m_hwnd, 1, 3000, nullptr);
    ASSERT_TRUE(PumpUntil([&] {
        if (Ticks(1) > at.size())
            at.push_back(win::NowPlatformMs());
        return at.size() >= 4;
    }));
    // The long period is gone: the first tick comes after about 3000 ms.
    EXPECT_GE(at[0] - start, 3000u);
    EXPECT_LT(at[0] - start, 50000u);
    // One timer, not two: tick i comes no sooner than i + 1 periods after
    // the re-arm (the timer keeps its cadence; a late tick doesn't shift it).
    for (std::size_t i = 0; i < at.size(); ++i)
        EXPECT_GE(at[i] - start, 3000u * (i + 1)) << i;
}

TEST_F(TimerTest, ADueTimerIsQueuedOnceHoweverLongItWaits) {
    SetTimer(m_hwnd, 1, 1000, nullptr);
    Sleep(20000);  // 20 periods pass unread
    MSG msg;
    int timers = 0;
    while (PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE))
        ++timers;
    EXPECT_EQ(timers, 1);
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
void CountingProc(HWND hwnd, UINT msg, UINT_PTR id, DWORD tick) {
    EXPECT_EQ(msg, WM_TIMER);
    g_procHwnd = hwnd;
    g_procId = id;
    ++g_procCalls;
}

TEST_F(TimerTest, ATimerProcedureIsCalledInsteadOfTheWindowProcedure) {
    g_procCalls = 0;
    SetTimer(m_hwnd, 9, 500, &CountingProc);
    ASSERT_TRUE(PumpUntil([] { return g_procCalls > 0; }));
    EXPECT_EQ(g_procHwnd, m_hwnd);
    EXPECT_EQ(g_procId, 9u);
    EXPECT_EQ(Ticks(9), 0u);
    KillTimer(m_hwnd, 9);
}

TEST_F(TimerTest, ThreadTimersGetTheirOwnIds) {
    g_procCalls = 0;
    UINT_PTR first = SetTimer(nullptr, 0, 500, &CountingProc);
    UINT_PTR second = SetTimer(nullptr, 0, 500, &CountingProc);
    ASSERT_NE(first, 0u);
    EXPECT_NE(first, second);
    EXPECT_EQ(SetTimer(nullptr, first, 700, &CountingProc), first);  // re-arms, same id
    ASSERT_TRUE(PumpUntil([] { return g_procCalls > 0; }));
    EXPECT_EQ(g_procHwnd, nullptr);
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

TEST_F(TimerTest, AWaitingLoopFollowsAScaleChangedWhileItWaits) {
    // Armed at scale 1, the timer is a real minute away; the loop blocks in
    // its wait when the scale goes up, and must notice within a slice.
    win::SetTimeScaleForTesting(1);
    SetTimer(m_hwnd, 1, 60000, nullptr);
    std::thread speeder([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        win::SetTimeScaleForTesting(kScale);
    });
    auto start = std::chrono::steady_clock::now();
    MSG msg;
    ASSERT_GT(GetMessageW(&msg, m_hwnd, WM_TIMER, WM_TIMER), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    speeder.join();
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
    // 3000 ms are 150 real ms: the bounds below hold on a busy machine.
    win::SetTimeScaleForTesting(20);
    g_beats.clear();
    ULONGLONG start = win::NowPlatformMs();
    SetTimer(beat, 1, 3000, nullptr);
    ASSERT_TRUE(PumpUntil([] { return g_beats.size() >= 3; }));
    EXPECT_GE(g_beats[0] - start, 3000u);
    EXPECT_LT(g_beats[0] - start, 10000u);  // the first period, not the later one
    EXPECT_GE(g_beats[1] - g_beats[0], 10000u);
    EXPECT_GE(g_beats[2] - g_beats[1], 10000u);
    // A worker shortens the next beat (as a new mail does).
    ULONGLONG rearmed = 0;
    std::thread([&] {
        KillTimer(beat, 1);
        rearmed = win::NowPlatformMs();
        SetTimer(beat, 1, 100, nullptr);
    }).join();
    ASSERT_TRUE(PumpUntil([] { return g_beats.size() >= 4; }));
    EXPECT_LT(g_beats[3] - rearmed, 5000u);
    DestroyWindow(beat);
}

}  // namespace
