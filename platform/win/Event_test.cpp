#include "platform/win/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/win/Clock.h"
#include "platform/win/Errors.h"
#include "platform/win/Threads.h"
#include "platform/win/VirtualClockTestSupport.h"

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

// On the virtual clock: the waiters are all waiting by the time the main
// thread's sleep ends, and all that a SetEvent wakes has settled by the
// time its next sleep ends.
TEST_F(EventTest, AutoResetWakesExactlyOneOfTwoWaiters) {
    win::testing::VirtualClock clock;
    HANDLE e = Make(FALSE, FALSE);
    std::atomic<int> woken{0};
    {
        std::vector<std::unique_ptr<win::testing::PlatformThread>> waiters;
        for (int i = 0; i < 2; ++i) {
            waiters.push_back(std::make_unique<win::testing::PlatformThread>([&] {
                if (WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0)
                    ++woken;
            }));
        }
        Sleep(100);
        EXPECT_EQ(woken.load(), 0);
        SetEvent(e);
        Sleep(100);
        EXPECT_EQ(woken.load(), 1);
        SetEvent(e);
    }
    EXPECT_EQ(woken.load(), 2);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
}

TEST_F(EventTest, ManualResetWakesAllWaiters) {
    win::testing::VirtualClock clock;
    HANDLE e = Make(TRUE, FALSE);
    std::atomic<int> woken{0};
    {
        std::vector<std::unique_ptr<win::testing::PlatformThread>> waiters;
        for (int i = 0; i < 3; ++i) {
            waiters.push_back(std::make_unique<win::testing::PlatformThread>([&] {
                if (WaitForSingleObject(e, 60000) == WAIT_OBJECT_0)
                    ++woken;
            }));
        }
        Sleep(100);
        SetEvent(e);
        Sleep(1);
        EXPECT_EQ(woken.load(), 3);
    }
}

TEST_F(EventTest, TimeoutsRunOnThePlatformClock) {
    HANDLE e = Make(TRUE, FALSE);
    {
        win::testing::VirtualClock clock;
        const ULONGLONG start = win::NowPlatformMs();
        EXPECT_EQ(WaitForSingleObject(e, 60000), WAIT_TIMEOUT);
        EXPECT_EQ(win::NowPlatformMs() - start, 60000u);
    }
    // On the real clock at scale 1 a timeout takes real time.
    const auto start = RealClock::now();
    EXPECT_EQ(WaitForSingleObject(e, 30), WAIT_TIMEOUT);
    EXPECT_GE(RealMsSince(start), 29.0);
}

// On the real clock: a wait armed at scale 1, ten real minutes from its end,
// ends soon after the scale goes up. The bound on the waiter only tells a
// wait that follows the scale (one slice, 100 real ms) from one that keeps
// the old scale (ten real minutes).
TEST_F(EventTest, AWaitFollowsAScaleChangeMadeWhileItRuns) {
    HANDLE e = Make(TRUE, FALSE);
    struct Seen {
        HANDLE event;
        DWORD result = 0;
        ULONGLONG endedAt = 0;
    } seen{e};
    const ULONGLONG start = win::NowPlatformMs();
    HANDLE waiter = reinterpret_cast<HANDLE>(_beginthreadex(
        nullptr, 0,
        [](void* p) -> unsigned {
            auto* seen = static_cast<Seen*>(p);
            seen->result = WaitForSingleObject(seen->event, 600000);
            seen->endedAt = win::NowPlatformMs();
            return 0;
        },
        &seen, 0, nullptr));
    ASSERT_NE(waiter, nullptr);
    win::SetTimeScaleForTesting(1e4);
    ASSERT_EQ(WaitForSingleObject(waiter, 300000000), WAIT_OBJECT_0);  // 30 real s
    CloseHandle(waiter);
    EXPECT_EQ(seen.result, WAIT_TIMEOUT);
    EXPECT_GE(seen.endedAt - start, 600000u);
}

TEST_F(EventTest, SetFromAnotherThreadEndsAWaitAtTheSet) {
    win::testing::VirtualClock clock;
    HANDLE e = Make(FALSE, FALSE);
    const ULONGLONG start = win::NowPlatformMs();
    win::testing::PlatformThread setter([e] {
        Sleep(10);
        SetEvent(e);
    });
    EXPECT_EQ(WaitForSingleObject(e, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(win::NowPlatformMs() - start, 10u);
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
