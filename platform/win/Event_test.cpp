#include "platform/win/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/win/Clock.h"
#include "platform/win/Errors.h"
#include "platform/win/Threads.h"

namespace {

using RealClock = std::chrono::steady_clock;

double RealMsSince(RealClock::time_point start) {
    return std::chrono::duration<double, std::milli>(RealClock::now() - start).count();
}

class EventTest : public ::testing::Test {
protected:
    void TearDown() override {
        for (HANDLE h : m_handles)
            CloseHandle(h);
        win::SetTimeScaleForTesting(1.0);
    }
    HANDLE Make(BOOL manual, BOOL initial, const wchar_t* name = nullptr) {
        HANDLE h = CreateEventW(nullptr, manual, initial, name);
        m_handles.push_back(h);
        return h;
    }
    std::vector<HANDLE> m_handles;
};

TEST_F(EventTest, ManualResetStaysSignalledUntilReset) {
    HANDLE e = Make(TRUE, FALSE);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(Make(TRUE, TRUE), 0), WAIT_OBJECT_0) << "initially set";
}

TEST_F(EventTest, AutoResetReleasesOneWaitAndResets) {
    HANDLE e = Make(FALSE, TRUE);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    SetEvent(e);
    SetEvent(e);  // setting a set event does not count twice
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
}

TEST_F(EventTest, AutoResetWakesExactlyOneOfTwoWaiters) {
    HANDLE e = Make(FALSE, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 2; ++i) {
        waiters.emplace_back([&] {
            if (WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0)
                ++woken;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(e);
    const auto deadline = RealClock::now() + std::chrono::seconds(5);
    while (woken.load() == 0 && RealClock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a second wake would show
    EXPECT_EQ(woken.load(), 1);
    SetEvent(e);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
}

TEST_F(EventTest, ManualResetWakesAllWaiters) {
    HANDLE e = Make(TRUE, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            if (WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0)
                ++woken;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SetEvent(e);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken.load(), 3);
}

TEST_F(EventTest, TimeoutsRunOnThePlatformClock) {
    HANDLE e = Make(TRUE, FALSE);
    win::SetTimeScaleForTesting(10000.0);
    const ULONGLONG platformStart = win::NowPlatformMs();
    auto start = RealClock::now();
    EXPECT_EQ(WaitForSingleObject(e, 60000), WAIT_TIMEOUT);  // a platform minute, 6 ms real
    const double realMs = RealMsSince(start);
    EXPECT_GE(realMs, 5.0);
    EXPECT_LT(realMs, 500.0);
    EXPECT_GE(win::NowPlatformMs() - platformStart, 60000u);

    win::SetTimeScaleForTesting(1.0);
    start = RealClock::now();
    EXPECT_EQ(WaitForSingleObject(e, 30), WAIT_TIMEOUT);
    EXPECT_GE(RealMsSince(start), 29.0);
}

TEST_F(EventTest, AWaitFollowsAScaleChangeMadeWhileItRuns) {
    HANDLE e = Make(TRUE, FALSE);
    DWORD result = 0;
    const auto start = RealClock::now();
    std::thread waiter([&] { result = WaitForSingleObject(e, 600000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    win::SetTimeScaleForTesting(1e6);
    waiter.join();
    EXPECT_EQ(result, WAIT_TIMEOUT);
    EXPECT_LT(RealMsSince(start), 2000.0);
}

TEST_F(EventTest, SetFromAnotherThreadEndsAWaitEarly) {
    HANDLE e = Make(FALSE, FALSE);
    std::thread setter([e] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        SetEvent(e);
    });
    const auto start = RealClock::now();
    EXPECT_EQ(WaitForSingleObject(e, 10000), WAIT_OBJECT_0);
    EXPECT_LT(RealMsSince(start), 5000.0);
    setter.join();
}

TEST_F(EventTest, NamedEventsAreSharedWhileOpen) {
    HANDLE a = Make(TRUE, FALSE, L"QuillmereTestEvent");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE b = CreateEventW(nullptr, FALSE, TRUE, L"QuillmereTestEvent");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    ASSERT_NE(a, b);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT)
        << "the flags of the second call are ignored";
    SetEvent(a);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    CloseHandle(b);
    CloseHandle(a);
    m_handles.clear();

    HANDLE c = Make(FALSE, FALSE, L"QuillmereTestEvent");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "a fresh event once every handle is closed";
    EXPECT_EQ(WaitForSingleObject(c, 0), WAIT_TIMEOUT);
}

TEST_F(EventTest, CallsOnOtherHandlesFail) {
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    CloseHandle(e);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(e));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ResetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_FAILED);

    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(
        nullptr, 0, [](void*) -> unsigned { return 0; }, nullptr, 0, nullptr));
    ASSERT_NE(thread, nullptr);
    SetLastError(0);
    EXPECT_FALSE(SetEvent(thread)) << "a thread handle is not an event";
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
}

}  // namespace
