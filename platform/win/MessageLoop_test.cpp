#include "platform/win/MessageLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "platform/win/Clock.h"
#include "platform/win/Event.h"
#include "platform/win/Threads.h"
#include "platform/win/Timer.h"
#include "platform/win/VirtualClockTestSupport.h"
#include "platform/win/WindowTestSupport.h"

namespace {

using win::testing::Log;

constexpr const wchar_t* kClass = L"QmLoopTest";
constexpr UINT kQuitAfter = WM_APP + 999;
constexpr UINT kAsk = WM_APP + 1;
constexpr UINT kAskBack = WM_APP + 2;

HWND g_peer = nullptr;  // the window that kAsk asks back

LRESULT LoopProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    Log().Add(hwnd, msg, wParam, lParam);
    switch (msg) {
        case kQuitAfter:
            PostQuitMessage(static_cast<int>(wParam));
            return 0;
        case kAsk:
            // Answer with the peer's answer: a send back to the thread that is
            // waiting for this very reply.
            if (g_peer)
                return 100 + SendMessageW(g_peer, kAskBack, wParam, 0);
            return static_cast<LRESULT>(wParam) * 2;
        case kAskBack:
            return static_cast<LRESULT>(wParam) + 1;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

HWND MakeWindow() {
    return CreateWindowExW(0, kClass, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                           nullptr);
}

// Runs the thread's loop until WM_QUIT; returns the exit code.
int RunLoop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

// A thread with a window and a message loop, ended by posting kQuitAfter.
class LoopThread {
public:
    LoopThread() {
        m_thread = std::thread([this] {
            m_hwnd = MakeWindow();
            m_threadId = GetCurrentThreadId();
            m_ready = true;
            m_exitCode = RunLoop();
            DestroyWindow(m_hwnd);
        });
        while (!m_ready)
            std::this_thread::yield();
    }
    ~LoopThread() {
        PostMessageW(m_hwnd, kQuitAfter, 0, 0);
        m_thread.join();
    }
    HWND Hwnd() const { return m_hwnd; }
    DWORD ThreadId() const { return m_threadId; }

private:
    std::thread m_thread;
    std::atomic<bool> m_ready{false};
    HWND m_hwnd = nullptr;
    DWORD m_threadId = 0;
    int m_exitCode = 0;
};

class MessageLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        win::testing::EnsureClass(kClass, LoopProc);
        Log().Clear();
        g_peer = nullptr;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }
};

TEST_F(MessageLoopTest, MessagesPostedFromAnotherThreadArriveInOrderOnTheOwnersThread) {
    HWND hwnd = MakeWindow();
    constexpr int kCount = 200;
    std::thread poster([hwnd] {
        for (int i = 0; i < kCount; ++i)
            ASSERT_TRUE(PostMessageW(hwnd, WM_APP, i, -i));
        PostMessageW(hwnd, kQuitAfter, 7, 0);
    });
    EXPECT_EQ(RunLoop(), 7);
    poster.join();
    auto got = Log().Of(WM_APP);
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kCount));
    for (int i = 0; i < kCount; ++i) {
        EXPECT_EQ(got[i].wParam, static_cast<WPARAM>(i));
        EXPECT_EQ(got[i].lParam, -i);
        EXPECT_EQ(got[i].threadId, GetCurrentThreadId());
    }
    DestroyWindow(hwnd);
}

TEST_F(MessageLoopTest, SendToAnotherThreadRunsThereAndReturnsTheResult) {
    LoopThread owner;
    EXPECT_EQ(SendMessageW(owner.Hwnd(), kAsk, 21, 0), 42);
    auto asked = Log().Of(kAsk);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].threadId, owner.ThreadId());
    EXPECT_NE(asked[0].threadId, GetCurrentThreadId());
}

TEST_F(MessageLoopTest, SendBackWhileWaitingForAReplyDoesNotDeadlock) {
    HWND mine = MakeWindow();
    g_peer = mine;
    LoopThread owner;
    win::testing::Watchdog watchdog("SendMessageW deadlocked");
    // owner's procedure sends kAskBack to our window while we wait for it.
    EXPECT_EQ(SendMessageW(owner.Hwnd(), kAsk, 5, 0), 106);
    auto back = Log().Of(kAskBack);
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0].threadId, GetCurrentThreadId());
    g_peer = nullptr;
    DestroyWindow(mine);
}

TEST_F(MessageLoopTest, CrossThreadWindowTextIsSetByTheOwner) {
    LoopThread owner;
    ASSERT_TRUE(SetWindowTextW(owner.Hwnd(), L"Quillmere"));
    wchar_t buffer[16];
    EXPECT_EQ(GetWindowTextW(owner.Hwnd(), buffer, 16), 9);
    EXPECT_STREQ(buffer, L"Quillmere");
    auto sets = Log().Of(WM_SETTEXT);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].threadId, owner.ThreadId());
}

TEST_F(MessageLoopTest, SendToAThreadThatEndsWithoutReadingReturnsZero) {
    std::atomic<HWND> hwnd{nullptr};
    std::atomic<bool> go{false};
    std::thread owner([&] {
        hwnd = MakeWindow();
        while (!go)
            std::this_thread::yield();
        // Ends without reading its queue and without destroying its window.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    });
    while (!hwnd)
        std::this_thread::yield();
    go = true;
    win::testing::Watchdog watchdog("SendMessageW to an ended thread hangs");
    EXPECT_EQ(SendMessageW(hwnd, kAsk, 3, 0), 0);
    owner.join();
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_TRUE(Log().Of(kAsk).empty());
}

TEST_F(MessageLoopTest, PeekFiltersByWindowAndRangeAndCanLeaveTheMessage) {
    HWND a = MakeWindow();
    HWND b = MakeWindow();
    PostMessageW(a, WM_APP + 10, 1, 0);
    PostMessageW(b, WM_APP + 20, 2, 0);
    PostThreadMessageW(GetCurrentThreadId(), WM_APP + 30, 3, 0);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, b, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, WM_APP + 20);
    ASSERT_TRUE(PeekMessageW(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_APP + 30);
    EXPECT_EQ(msg.hwnd, nullptr);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_APP + 11, WM_APP + 19, PM_REMOVE));
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_APP + 15, WM_APP + 25, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, b);
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.hwnd, a);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(GetMessageW(&msg, reinterpret_cast<HWND>(0x7FFF0000), 0, 0), -1);
    DestroyWindow(a);
    DestroyWindow(b);
}

TEST_F(MessageLoopTest, QuitComesAfterThePostedMessages) {
    HWND hwnd = MakeWindow();
    PostQuitMessage(3);
    PostMessageW(hwnd, WM_APP, 0, 0);
    MSG msg;
    ASSERT_EQ(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    EXPECT_EQ(msg.message, WM_APP);
    // WM_QUIT passes any filter.
    ASSERT_EQ(GetMessageW(&msg, hwnd, WM_APP + 100, WM_APP + 100), FALSE);
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wParam, 3u);
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    DestroyWindow(hwnd);
}

TEST_F(MessageLoopTest, PostingToAGoneWindowFailsAndItsQueuedMessagesGoWithIt) {
    HWND hwnd = MakeWindow();
    PostMessageW(hwnd, WM_APP, 0, 0);
    DestroyWindow(hwnd);
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_FALSE(PostMessageW(hwnd, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_EQ(SendMessageW(hwnd, WM_APP, 0, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(PostThreadMessageW(0x7FFFFFF0, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
}

TEST_F(MessageLoopTest, AFullQueueRefusesMorePosts) {
    HWND hwnd = MakeWindow();
    for (DWORD i = 0; i < kMaxPostedMessages; ++i)
        ASSERT_TRUE(PostMessageW(hwnd, WM_APP, i, 0));
    EXPECT_FALSE(PostMessageW(hwnd, WM_APP, 0, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    DestroyWindow(hwnd);
    EXPECT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0));
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

int g_forgedCalls = 0;
void ForgedTarget(HWND, UINT, UINT_PTR, DWORD) {
    ++g_forgedCalls;
}

TEST_F(MessageLoopTest, AForgedTimerMessageDoesNotCallItsAddress) {
    g_forgedCalls = 0;
    HWND hwnd = MakeWindow();
    PostMessageW(hwnd, WM_TIMER, 1, reinterpret_cast<LPARAM>(&ForgedTarget));
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE));
    DispatchMessageW(&msg);
    EXPECT_EQ(g_forgedCalls, 0);
    // The same procedure as a real timer's is called.
    SetTimer(hwnd, 1, USER_TIMER_MINIMUM, &ForgedTarget);
    DispatchMessageW(&msg);
    EXPECT_EQ(g_forgedCalls, 1);
    DestroyWindow(hwnd);
}

TEST_F(MessageLoopTest, DispatchRefusesWindowsOfOtherThreads) {
    LoopThread owner;
    MSG msg{};
    msg.hwnd = owner.Hwnd();
    msg.message = WM_APP;
    EXPECT_EQ(DispatchMessageW(&msg), 0);
    EXPECT_EQ(GetLastError(), ERROR_WINDOW_OF_OTHER_THREAD);
    EXPECT_TRUE(Log().Of(WM_APP).empty());
}

TEST_F(MessageLoopTest, MsgWaitWakesForHandlesMessagesAndTimeouts) {
    win::testing::VirtualClock clock;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE);
    HANDLE handles[] = {event};
    ULONGLONG start = win::NowPlatformMs();
    EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, FALSE, 200, QS_ALLINPUT), WAIT_TIMEOUT);
    EXPECT_EQ(win::NowPlatformMs() - start, 200u);
    {
        // Set, posted to and timed from other threads: each ends the wait at
        // that moment.
        win::testing::PlatformThread setter([event] {
            Sleep(300);
            SetEvent(event);
        });
        start = win::NowPlatformMs();
        EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, FALSE, 10000, QS_ALLINPUT), WAIT_OBJECT_0);
        EXPECT_EQ(win::NowPlatformMs() - start, 300u);
    }
    ResetEvent(event);
    {
        const DWORD self = GetCurrentThreadId();
        win::testing::PlatformThread poster([self] {
            Sleep(400);
            PostThreadMessageW(self, WM_APP, 0, 0);
        });
        start = win::NowPlatformMs();
        EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, FALSE, 10000, QS_ALLINPUT),
                  WAIT_OBJECT_0 + 1);
        EXPECT_EQ(win::NowPlatformMs() - start, 400u);
        MSG msg;
        EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
    }
    const UINT_PTR timer = SetTimer(nullptr, 0, 700, nullptr);
    start = win::NowPlatformMs();
    EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, FALSE, 10000, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(win::NowPlatformMs() - start, 700u) << "a timer falls due";
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 1000, 0), WAIT_TIMEOUT)
        << "without a wake mask the due timer does not end the wait";
    KillTimer(nullptr, timer);
    SetEvent(event);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, QS_ALLINPUT), WAIT_OBJECT_0);
    ResetEvent(event);
    PostThreadMessageW(GetCurrentThreadId(), WM_APP, 0, 0);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, QS_ALLINPUT),
              WAIT_OBJECT_0 + 1);
    HANDLE bad[] = {reinterpret_cast<HANDLE>(0x7FFF0000)};
    EXPECT_EQ(MsgWaitForMultipleObjects(1, bad, FALSE, 0, QS_ALLINPUT), WAIT_FAILED);
    CloseHandle(event);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

TEST_F(MessageLoopTest, WaitMessageReturnsWhenAnotherThreadPosts) {
    win::testing::VirtualClock clock;
    DWORD self = GetCurrentThreadId();
    const ULONGLONG start = win::NowPlatformMs();
    win::testing::PlatformThread poster([self] {
        Sleep(10);
        PostThreadMessageW(self, WM_APP, 0, 0);
    });
    EXPECT_TRUE(WaitMessage());
    EXPECT_EQ(win::NowPlatformMs() - start, 10u);
    MSG msg;
    EXPECT_TRUE(PeekMessageW(&msg, nullptr, WM_APP, WM_APP, PM_REMOVE));
}

// A send waits on the platform: time passes while the owner takes it.
TEST_F(MessageLoopTest, ASendWaitsInPlatformTimeForTheOwnersAnswer) {
    win::testing::VirtualClock clock;
    std::atomic<HWND> hwnd{nullptr};
    win::testing::PlatformThread owner([&] {
        hwnd = MakeWindow();
        Sleep(2500);  // busy elsewhere before it reads its queue
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0)
            DispatchMessageW(&msg);
        DestroyWindow(hwnd);
    });
    ASSERT_TRUE(win::WaitForCondition([&] { return hwnd.load() != nullptr; }, 1000));
    const ULONGLONG start = win::NowPlatformMs();
    EXPECT_EQ(SendMessageW(hwnd, kAsk, 4, 0), 8);
    EXPECT_EQ(win::NowPlatformMs() - start, 2500u);
    PostMessageW(hwnd, kQuitAfter, 0, 0);
}

TEST_F(MessageLoopTest, ManyThreadsPostingSendingAndArmingTimersLoseNothing) {
    // On the virtual clock the pump's limit passes only when no thread can
    // make progress: it tells a lost message, whatever the machine's load.
    win::testing::VirtualClock clock;
    HWND hwnd = MakeWindow();
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> finished{0};
    std::atomic<int> wrongAnswers{0};
    // Platform threads: counted from their start, so the pump can't give up
    // before they have begun.
    std::vector<std::unique_ptr<win::testing::PlatformThread>> workers;
    win::testing::Watchdog watchdog("concurrent senders deadlocked");
    for (int t = 0; t < kThreads; ++t) {
        workers.push_back(std::make_unique<win::testing::PlatformThread>([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                PostMessageW(hwnd, WM_APP, static_cast<WPARAM>(t), i);
                if (SendMessageW(hwnd, kAsk, static_cast<WPARAM>(i), 0) != 2 * i)
                    ++wrongAnswers;
                SetTimer(hwnd, 100 + t, USER_TIMER_MINIMUM, nullptr);
                if (i % 3 == 0)
                    KillTimer(hwnd, 100 + t);
            }
            KillTimer(hwnd, 100 + t);
            ++finished;
        }));
    }
    EXPECT_TRUE(win::PumpMessagesUntil(
        [&] {
            return finished == kThreads &&
                   Log().Of(WM_APP).size() == static_cast<std::size_t>(kThreads * kRounds);
        },
        60000));
    workers.clear();
    EXPECT_EQ(wrongAnswers, 0);
    // Each thread's posts arrive in its own order.
    std::vector<LPARAM> next(kThreads, 0);
    for (const auto& e : Log().Of(WM_APP)) {
        EXPECT_EQ(e.lParam, next[e.wParam]);
        next[e.wParam] = e.lParam + 1;
    }
    DestroyWindow(hwnd);
}

}  // namespace
