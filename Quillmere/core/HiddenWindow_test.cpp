#include "Quillmere/core/HiddenWindow.h"

#include "Quillmere/core/CoreTestSupport_test.h"

namespace {

int g_rechecks = 0;

class HeartbeatTest : public coretest::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        heartbeat::ResetForTesting();
        g_rechecks = 0;
        SetRecheckOutboxProc([](CSyncEngine*) { ++g_rechecks; });
    }
    void TearDown() override {
        SetRecheckOutboxProc(nullptr);
        CoreTest::TearDown();
    }
    CHiddenWindow m_window;
};

TEST_F(HeartbeatTest, TickWhileNotReadyDoesNothingAndKeepsTheDeadline) {
    auto outlook = std::make_unique<fakes::FakeOutlook>();
    outlook->version = L"16.0";
    coretest::Session()->connectionMode = 300;  // the log-on thread keeps waiting
    g_pEngine = nullptr;
    m_engine.reset();
    m_engine = std::make_unique<CSyncEngine>(std::move(outlook), nullptr);
    g_pEngine = m_engine.get();
    m_window.OnHeartbeatTick(1000);
    DWORD due = heartbeat::DueTime();
    EXPECT_EQ(due, 121000u);
    m_window.OnHeartbeatTick(500000);
    EXPECT_EQ(heartbeat::DueTime(), due);
    EXPECT_FALSE(m_engine->IsStarted());
    EXPECT_EQ(g_rechecks, 0);
}

TEST_F(HeartbeatTest, StartThenRecheckAtEachDeadline) {
    m_window.OnHeartbeatTick(1000);
    EXPECT_TRUE(m_engine->IsStarted());
    EXPECT_EQ(g_rechecks, 0) << "the start tick doesn't re-check";
    for (DWORD t = 4000; t <= 121000; t += 3000)
        m_window.OnHeartbeatTick(t);
    EXPECT_EQ(g_rechecks, 0) << "the deadline itself is not past";
    m_window.OnHeartbeatTick(121001);
    EXPECT_EQ(g_rechecks, 1);
    EXPECT_EQ(heartbeat::DueTime(), 241001u);
    m_window.OnHeartbeatTick(131001);
    EXPECT_EQ(g_rechecks, 1);
}

TEST_F(HeartbeatTest, WrappedTickCountComparesUnsigned) {
    const DWORD start = 0xFFFF0000u;
    m_window.OnHeartbeatTick(start);  // the start; deadline wraps past 0
    EXPECT_EQ(heartbeat::DueTime(), start + kHeartbeatRecheckInterval);
    EXPECT_LT(heartbeat::DueTime(), start);
    m_window.OnHeartbeatTick(start + 3000);
    m_window.OnHeartbeatTick(0xFFFFFFFFu);
    m_window.OnHeartbeatTick(10);
    EXPECT_EQ(g_rechecks, 0) << "a tick before the wrapped deadline is not due";
    m_window.OnHeartbeatTick(start + kHeartbeatRecheckInterval + 1);
    EXPECT_EQ(g_rechecks, 1);
}

TEST_F(HeartbeatTest, TickPassedAcrossTheWrap) {
    EXPECT_TRUE(TickPassed(5, 0xFFFFFFF0u));
    EXPECT_FALSE(TickPassed(0xFFFFFFF0u, 5));
    EXPECT_FALSE(TickPassed(100, 100));
    EXPECT_TRUE(TickPassed(101, 100));
}

TEST_F(HeartbeatTest, StoppedRunsNoStartAndNoRecheck) {
    m_engine->m_stopped = true;
    m_window.OnHeartbeatTick(1000);
    m_window.OnHeartbeatTick(200000);
    EXPECT_FALSE(m_engine->IsStarted());
    EXPECT_EQ(g_rechecks, 0);
    m_engine->m_stopped = false;
    m_window.OnHeartbeatTick(200001);
    EXPECT_TRUE(m_engine->IsStarted());
}

TEST_F(HeartbeatTest, FastTickRestartsThePeriodWithoutRecheck) {
    m_window.OnHeartbeatTick(1000);
    m_engine->m_fastTick = true;
    m_window.OnHeartbeatTick(5000);
    EXPECT_EQ(g_rechecks, 0);
    EXPECT_EQ(heartbeat::DueTime(), 125000u);
    EXPECT_FALSE(m_engine->m_fastTick.load());
}

// On the virtual clock: the start at the first 3-s tick, which also sets the
// deadline 120 s later; the 3-s period until the first tick past it (the
// 41st tick lands on the deadline itself, the 42nd is past it); then ticks
// of 10 s, of which the 13th is the first past the next deadline.
TEST_F(HeartbeatTest, TimerDrivesTheStartAndKeepsThePeriodUntilTheFirstDeadline) {
    ASSERT_TRUE(m_window.Create());
    EXPECT_FALSE(IsWindowVisible(m_window.Handle()));
    const DWORD armed = GetTickCount();
    m_window.Arm(kHeartbeatConnectPeriod);
    ASSERT_TRUE(PumpUntil([&] { return m_engine->IsStarted(); }));
    EXPECT_EQ(GetTickCount() - armed, 3000u);
    EXPECT_EQ(heartbeat::DueTime(), armed + 123000);
    std::vector<DWORD> rechecks;
    ASSERT_TRUE(PumpUntil([&] {
        if (static_cast<std::size_t>(g_rechecks) > rechecks.size())
            rechecks.push_back(GetTickCount() - armed);
        return rechecks.size() >= 2;
    }));
    EXPECT_EQ(rechecks, (std::vector<DWORD>{126000, 256000}));
    EXPECT_EQ(g_rechecks, 2);
    m_window.Destroy();
    EXPECT_FALSE(IsWindow(m_window.Handle()));
}

TEST_F(HeartbeatTest, StartWithoutHelperUtilitiesReportsTheLibrary) {
    m_window.OnHeartbeatTick(1000);
    ASSERT_TRUE(m_engine->IsStarted());
    std::vector<win::MessageBoxCall> calls = win::MessageBoxCalls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].text, L"Quillmere");
    EXPECT_EQ(calls[0].caption, L"QuillmereRDO.dll  is not correctly registered");
    EXPECT_EQ(calls[0].owner, nullptr);
    EXPECT_NE(ErrorLog().find("QuillmereRDO.dll may be not registered"), std::string::npos);
}

}  // namespace
