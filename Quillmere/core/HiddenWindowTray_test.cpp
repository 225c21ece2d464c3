#include "Quillmere/core/HiddenWindowTray.h"

#include "Quillmere/core/CoreTestSupport_test.h"
#include "Quillmere/core/HiddenWindow.h"
#include "platform/win/Icon.h"
#include "platform/win/Menu.h"

namespace {

class TrayTest : public coretest::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        tray::ResetForTesting();
        m_tray.CreateAtConnection();
        ASSERT_NE(m_tray.PopupWindow(), nullptr);
    }
    void TearDown() override {
        m_tray.SetVisible(false);
        CoreTest::TearDown();
    }

    win::TrayIcon Icon() {
        auto icon = win::FindTrayIcon(m_tray.PopupWindow(), kTrayIconId);
        EXPECT_TRUE(icon.has_value());
        return icon.value_or(win::TrayIcon{});
    }
    UINT IconResource() {
        auto info = win::DescribeIcon(Icon().icon);
        return info ? info->id : 0;
    }

    CHiddenWindowTray m_tray;
};

TEST_F(TrayTest, ConnectionShowsTheIdleIcon) {
    win::TrayIcon icon = Icon();
    EXPECT_EQ(icon.tip, L"Quillmere");
    EXPECT_EQ(icon.callbackMessage, 1224u);
    EXPECT_EQ(IconResource(), kIconIdle);
    EXPECT_TRUE(m_tray.IsVisible());
    EXPECT_TRUE(m_tray.IconTimerOn());
    EXPECT_EQ(m_tray.IconTimerPeriod(), 3000u);
    EXPECT_EQ(win::TrayIcons().size(), 1u) << "one icon, one popup window";
}

TEST_F(TrayTest, BusyStateAnimatesFrom280ThenCycles281To291) {
    m_engine->SetSyncState(kSyncStateSending);
    std::vector<UINT> frames;
    for (int i = 0; i < 14; ++i) {
        m_tray.OnIconTimer();
        frames.push_back(IconResource());
    }
    std::vector<UINT> expected = {280, 281, 282, 283, 284, 285, 286,
                                  287, 288, 289, 290, 291, 281, 282};
    EXPECT_EQ(frames, expected);
    EXPECT_EQ(m_tray.IconTimerPeriod(), kTrayBusyPeriod);
    EXPECT_EQ(Icon().tip, L"Quillmere");
}

struct StateCase {
    LONG state;
    const wchar_t* status;
    const wchar_t* tooltip;
    UINT icon;
    UINT period;
};

TEST_F(TrayTest, TooltipAndIconFollowTheState) {
    const StateCase cases[] = {
        {kSyncStateImporting, L"", L"-> Quillmere <-", 280, 200},
        {kSyncStateChangeQueued, L"x", L"<- Quillmere ->", 280, 200},
        {kSyncStateSending, L" 3 of 9", L"Quillmere 3 of 9", 280, 200},
        {kSyncStateOffline, L" 3 of 9", L"Quillmere: Exchange Offline", 277, 2000},
        {kSyncStateIdle, L"", L"Quillmere", 274, 2000},
        {kSyncStateExchangeStateRejected, L"", L"Quillmere", 274, 2000},
    };
    for (const StateCase& c : cases) {
        tray::ResetForTesting();
        m_engine->SetSyncState(c.state);
        m_engine->SetStatusText(c.status);
        m_tray.OnIconTimer();
        EXPECT_EQ(Icon().tip, c.tooltip) << c.state;
        EXPECT_EQ(IconResource(), c.icon) << c.state;
        EXPECT_EQ(m_tray.IconTimerPeriod(), c.period) << c.state;
    }
}

TEST_F(TrayTest, LongTooltipIsCutTo63Characters) {
    m_engine->SetSyncState(kSyncStateSending);
    m_engine->SetStatusText(std::wstring(100, L'x'));
    m_tray.OnIconTimer();
    EXPECT_EQ(Icon().tip, L"Quillmere" + std::wstring(54, L'x'));
}

TEST_F(TrayTest, TwoNotificationsBetweenTicksShowOnlyTheLater) {
    m_engine->m_desktopNotification = true;
    m_engine->QueueDesktopNotification(L"Lunch", L"team", 1, L"Calendar");
    m_engine->QueueDesktopNotification(L"Dinner", L"team", 2, L"Calendar");
    m_tray.OnIconTimer();
    m_tray.OnIconTimer();
    std::vector<win::TrayBalloon> balloons = Icon().balloons;
    ASSERT_EQ(balloons.size(), 1u);
    EXPECT_EQ(balloons[0].title, L"Quillmere CHANGED");
    EXPECT_EQ(balloons[0].text, L"team: Calendar Dinner");
    EXPECT_EQ(balloons[0].infoFlags, NIIF_INFO | NIIF_NOSOUND);
    EXPECT_EQ(balloons[0].timeoutMs, 10000u);
}

TEST_F(TrayTest, BasicSyncWarningsAndErrorsShowNothing) {
    m_engine->m_desktopNotification = true;
    for (LONG kind : {6, 7}) {
        m_engine->QueueDesktopNotification(L"Lunch", L"team", 1, L"Calendar");
        m_engine->QueueDesktopNotification(L"x", L"y", kind, L"z");
        m_tray.OnIconTimer();
    }
    EXPECT_TRUE(Icon().balloons.empty());
}

TEST_F(TrayTest, StoppedFreezesTheIconAndKeepsTheNotification) {
    m_engine->SetPendingNotification(L"Title", L"Text", 1);
    m_engine->m_stopped = true;
    m_tray.SetIcon(kIconStopped);
    m_engine->SetSyncState(kSyncStateSending);
    m_tray.OnIconTimer();
    EXPECT_EQ(IconResource(), kIconStopped);
    EXPECT_TRUE(Icon().balloons.empty());
    m_engine->m_stopped = false;
    m_tray.OnIconTimer();
    EXPECT_EQ(Icon().balloons.size(), 1u);
}

TEST_F(TrayTest, LeftDoubleClickTogglesStopped) {
    // The icon timer would redraw the running state meanwhile.
    m_tray.SetIconTimer(false, 0);
    ASSERT_TRUE(win::SimulateTrayMouse(m_tray.PopupWindow(), kTrayIconId, WM_LBUTTONDBLCLK));
    ASSERT_TRUE(PumpUntil([&] { return m_engine->m_stopped.load(); }));
    EXPECT_EQ(Icon().tip, L"QMRX Start");
    EXPECT_EQ(IconResource(), kIconStopped);
    EXPECT_NE(DebugLog().find("QMRX has stopped"), std::string::npos);

    ASSERT_TRUE(win::SimulateTrayMouse(m_tray.PopupWindow(), kTrayIconId, WM_LBUTTONDBLCLK));
    ASSERT_TRUE(PumpUntil([&] { return !m_engine->m_stopped.load(); }));
    EXPECT_EQ(Icon().tip, L"Quillmere Stop");
    EXPECT_EQ(IconResource(), kIconIdle);
}

TEST_F(TrayTest, ContextMenuAtTheCursorGivesTheChosenCommand) {
    SetCursorPos(40, 30);
    std::vector<win::PopupMenuCall> calls;
    UINT answer = 42;
    win::SetPopupMenuHandler([&](const win::PopupMenuCall& call) {
        calls.push_back(call);
        return answer;
    });
    EXPECT_EQ(m_tray.ShowContextMenu(1), 42u);
    answer = 0;
    EXPECT_EQ(m_tray.ShowContextMenu(1), 0u) << "dismissed";
    win::SetPopupMenuHandler({});
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].flags, TPM_RETURNCMD | TPM_RIGHTBUTTON);
    EXPECT_EQ(calls[0].point.x, 40);
    EXPECT_EQ(calls[0].point.y, 30);
    EXPECT_EQ(calls[0].owner, m_tray.PopupWindow());
    EXPECT_EQ(GetForegroundWindow(), m_tray.PopupWindow());
}

int g_rechecks = 0;

TEST_F(TrayTest, RightDoubleClickRearmsTheHeartbeatAndSkipsThatRecheck) {
    heartbeat::ResetForTesting();
    g_rechecks = 0;
    SetRecheckOutboxProc([](CSyncEngine*) { ++g_rechecks; });
    CHiddenWindow heartbeatWindow;
    ASSERT_TRUE(heartbeatWindow.Create());
    m_engine->SetHeartbeatWindow(heartbeatWindow.Handle());
    // The start has run: the next ticks only re-check.
    heartbeatWindow.OnHeartbeatTick(GetTickCount());
    ASSERT_TRUE(m_engine->IsStarted());
    DWORD dueBefore = heartbeat::DueTime();

    Sleep(7000);
    DWORD clicked = GetTickCount();
    ASSERT_TRUE(win::SimulateTrayMouse(m_tray.PopupWindow(), kTrayIconId, WM_RBUTTONDBLCLK));
    ASSERT_TRUE(PumpUntil([&] { return DebugLog().find("rdblclick tray") != std::string::npos; }));
    EXPECT_EQ(GetTickCount(), clicked) << "the click is handled at once";
    // The heartbeat (it had no timer before the click) fires 100 ms later;
    // the tick restarts the 120-s period from there without a re-check, and
    // re-arms at 10 s.
    ASSERT_TRUE(PumpUntil([&] { return heartbeat::DueTime() != dueBefore; }));
    EXPECT_EQ(GetTickCount() - clicked, kHeartbeatFastPeriod);
    EXPECT_EQ(heartbeat::DueTime(), clicked + kHeartbeatFastPeriod + kHeartbeatRecheckInterval);
    EXPECT_FALSE(m_engine->m_fastTick.load());
    EXPECT_EQ(g_rechecks, 0);
    // Then the 10-s period: the next tick 10 s after the fast one.
    const DWORD due = heartbeat::DueTime();
    PumpUntil([] { return false; }, kHeartbeatDuePeriod * 12 + 1);
    EXPECT_EQ(heartbeat::DueTime(), due) << "12 ticks of 10 s reach the deadline, not past it";
    EXPECT_EQ(g_rechecks, 0);
    ASSERT_TRUE(PumpUntil([] { return g_rechecks == 1; }));
    EXPECT_EQ(GetTickCount() - clicked, kHeartbeatFastPeriod + kHeartbeatDuePeriod * 13);
    SetRecheckOutboxProc(nullptr);
}

}  // namespace
