#include "platform/win/CriticalSection.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "platform/win/VirtualClockTestSupport.h"

namespace {

// The two forms share one contract; each test runs against both.
struct LockOps {
    const char* name;
    std::function<void()> enter;
    std::function<bool()> tryEnter;
    std::function<void()> leave;
};

class CriticalSectionTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        InitializeCriticalSection(&m_win32);
        if (GetParam() == 0) {
            m_ops = {"CriticalSection", [this]() NO_THREAD_SAFETY_ANALYSIS { m_cs.Enter(); },
                     [this]() NO_THREAD_SAFETY_ANALYSIS { return m_cs.TryEnter(); },
                     [this]() NO_THREAD_SAFETY_ANALYSIS { m_cs.Leave(); }};
        } else {
            m_ops = {"CRITICAL_SECTION",
                     [this]() NO_THREAD_SAFETY_ANALYSIS { EnterCriticalSection(&m_win32); },
                     [this]() NO_THREAD_SAFETY_ANALYSIS {
                         return TryEnterCriticalSection(&m_win32) != FALSE;
                     },
                     [this]() NO_THREAD_SAFETY_ANALYSIS { LeaveCriticalSection(&m_win32); }};
        }
    }
    void TearDown() override { DeleteCriticalSection(&m_win32); }

    bool TryEnterFromOtherThread() {
        bool got = false;
        std::thread([&] {
            got = m_ops.tryEnter();
            if (got)
                m_ops.leave();
        }).join();
        return got;
    }

    CriticalSection m_cs;
    CRITICAL_SECTION m_win32{};
    LockOps m_ops;
};

TEST_P(CriticalSectionTest, OwnerReentersAndOthersWaitUntilTheLastLeave) {
    m_ops.enter();
    m_ops.enter();
    EXPECT_TRUE(m_ops.tryEnter()) << "the owner's TryEnter succeeds";
    EXPECT_FALSE(TryEnterFromOtherThread());
    m_ops.leave();
    m_ops.leave();
    EXPECT_FALSE(TryEnterFromOtherThread()) << "still held once";
    m_ops.leave();
    EXPECT_TRUE(TryEnterFromOtherThread());
}

TEST_P(CriticalSectionTest, EnterBlocksUntilTheOwnerLeaves) {
    m_ops.enter();
    std::atomic<bool> entered{false};
    std::thread other([&] {
        m_ops.enter();
        entered = true;
        m_ops.leave();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());
    m_ops.leave();
    other.join();
    EXPECT_TRUE(entered.load());
}

// On the virtual clock a thread waiting to enter waits on the platform:
// time passes while it waits, and the owner's last Leave lets it in at that
// very moment.
TEST_P(CriticalSectionTest, AWaitingEnterLetsTimePassAndEntersAtTheLeave) {
    win::testing::VirtualClock clock;
    win::testing::Timeline timeline;
    m_ops.enter();
    {
        win::testing::PlatformThread other([&] {
            m_ops.enter();
            timeline.Note("entered");
            m_ops.leave();
        });
        Sleep(5000);
        timeline.Note("leaving");
        m_ops.leave();
        Sleep(1);
    }
    EXPECT_EQ(timeline.Entries(),
              (std::vector<win::testing::Timeline::Entry>{{5000, "leaving"}, {5000, "entered"}}));
}

TEST_P(CriticalSectionTest, SerialisesIncrementsOfManyThreads) {
    long counter = 0;  // deliberately not atomic
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                m_ops.enter();
                const long seen = counter;
                std::atomic_signal_fence(std::memory_order_seq_cst);
                counter = seen + 1;
                m_ops.leave();
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 80000);
}

INSTANTIATE_TEST_SUITE_P(BothForms, CriticalSectionTest, ::testing::Values(0, 1),
                         [](const auto& info) { return info.param == 0 ? "Class" : "Win32"; });

TEST(CriticalSectionLockTest, HoldsForItsScope) {
    CriticalSection cs;
    auto otherCanEnter = [&cs] {
        bool got = false;
        std::thread([&]() NO_THREAD_SAFETY_ANALYSIS {
            got = cs.TryEnter();
            if (got)
                cs.Leave();
        }).join();
        return got;
    };
    {
        CriticalSectionLock lock(cs);
        EXPECT_FALSE(otherCanEnter());
    }
    EXPECT_TRUE(otherCanEnter());
}

TEST(CriticalSectionWin32Test, CanBeInitialisedAgainAfterDelete) {
    CRITICAL_SECTION cs{};
    ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&cs, 4000));
    EnterCriticalSection(&cs);
    LeaveCriticalSection(&cs);
    DeleteCriticalSection(&cs);
    EXPECT_EQ(cs.m_impl, nullptr);
    InitializeCriticalSection(&cs);
    if (TryEnterCriticalSection(&cs)) {
        LeaveCriticalSection(&cs);
    } else {
        ADD_FAILURE() << "a fresh lock must be free";
    }
    DeleteCriticalSection(&cs);
}

}  // namespace
