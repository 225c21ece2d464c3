#include "host/HostCommands.h"

#include <atomic>
#include <thread>

#include "host/HostTestSupport.h"
#include "host/OutlookHost.h"
#include "platform/com/ConnectionPoint.h"
#include "platform/win/Environment.h"
#include "platform/win/ShellNotify.h"
#include "platform/win/Window.h"

namespace host::testing {
namespace {

constexpr UINT kTrayMessage = WM_USER + 77;
std::atomic<int> g_doubleClicks{0};

LRESULT TrayWindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == kTrayMessage && lParam == 0x0203)  // WM_LBUTTONDBLCLK
        ++g_doubleClicks;
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

class HostCommandsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The client runs in this process on the virtual clock.
        win::SetVirtualClockForTesting(true);
        win::SetInstallDirectory(QM_BINARY_DIR "/bin");
        m_user = m_root.Path() + "/erin";
        std::string error;
        ProfileInit init;
        init.profileName = L"Erin";
        init.address = L"erin@example.org";
        ASSERT_EQ(InitProfile(m_user, init, &error), S_OK) << error;
        HostOptions options;
        options.userDirectory = m_user;
        ASSERT_EQ(OutlookHost::Start(options, &m_host, &error), S_OK) << error;
        m_commands = std::make_unique<HostCommands>(*m_host);
    }
    void TearDown() override {
        m_host->RunOnUi([&] { m_commands->ReleaseAll(); });
        m_host.reset();
        m_commands.reset();
        win::SetVirtualClockForTesting(false);
    }
    CommandResult Run(const std::vector<std::string>& args) {
        CommandResult r{false, "not run"};
        m_host->RunOnUi([&] { r = m_commands->Execute(args); });
        return r;
    }

    TempRoot m_root;
    std::string m_user;
    std::unique_ptr<OutlookHost> m_host;
    std::unique_ptr<HostCommands> m_commands;
};

TEST_F(HostCommandsTest, ItemsAreAddedListedShownChangedAndDeletedByFolderPath) {
    ASSERT_TRUE(Run({"folder", "Inbox", "Projects"}).ok);
    CommandResult added = Run({"add", "Inbox/Projects", "--subject", "Plan", "--body", "Step 1"});
    ASSERT_TRUE(added.ok) << added.text;
    const std::string said = "added Plan (IPM.Note) as item 1 of Inbox/Projects, entry id ";
    ASSERT_EQ(added.text.rfind(said, 0), 0u) << added.text;
    const std::string entryId = added.text.substr(said.size());
    EXPECT_EQ(entryId.size(), 65u) << "the entry id as hex and a line end";
    EXPECT_EQ(Run({"list"}).text.find("Inbox (0)\n  Projects (1)\n"), 0u) << Run({"list"}).text;
    std::string listed = Run({"list", "Inbox/Projects"}).text;
    EXPECT_EQ(listed, "1\tPlan\t" + entryId);
    // A second item says its own place.
    EXPECT_EQ(Run({"add", "Inbox/Projects", "--subject", "Budget"})
                  .text.find("added Budget (IPM.Note) as item 2 of Inbox/Projects, entry id "),
              0u);
    ASSERT_TRUE(Run({"delete", "Inbox/Projects", "2"}).ok);
    std::string shown = Run({"show", "Inbox/Projects", "1"}).text;
    EXPECT_NE(shown.find("Subject: Plan\nClass: IPM.Note\n"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\nStep 1\n"), std::string::npos) << shown;
    ASSERT_TRUE(Run({"change", "Inbox/Projects", "1", "--body", "Step 2"}).ok);
    EXPECT_NE(Run({"show", "Inbox/Projects", "1"}).text.find("\nStep 2\n"), std::string::npos);
    ASSERT_TRUE(Run({"delete", "Inbox/Projects", "1"}).ok);
    EXPECT_EQ(Run({"list", "Inbox/Projects"}).text, "");
}

// Items of every kind go through the same commands (an appointment's
// interface is not a mail item's).
TEST_F(HostCommandsTest, EveryItemKindIsAddedShownChangedAndDeleted) {
    struct Case {
        const char* folder;
        const char* messageClass;
    };
    for (const Case& c : {Case{"Calendar", "IPM.Appointment"}, Case{"Contacts", "IPM.Contact"},
                          Case{"Tasks", "IPM.Task"}, Case{"Notes", "IPM.StickyNote"}}) {
        SCOPED_TRACE(c.folder);
        ASSERT_TRUE(Run({"add", c.folder, "--subject", "First", "--body", "Text", "--class",
                         c.messageClass})
                        .ok);
        std::string shown = Run({"show", c.folder, "1"}).text;
        EXPECT_NE(shown.find(std::string("Class: ") + c.messageClass + "\n"), std::string::npos)
            << shown;
        EXPECT_NE(shown.find("\nText\n"), std::string::npos) << shown;
        ASSERT_TRUE(Run({"change", c.folder, "1", "--subject", "Second"}).ok);
        EXPECT_NE(Run({"list", c.folder}).text.find("1\tSecond\t"), std::string::npos);
        ASSERT_TRUE(Run({"delete", c.folder, "1"}).ok);
        EXPECT_EQ(Run({"list", c.folder}).text, "");
    }
}

// Changes made by the host's commands (add, change, delete, as the user runs
// them through `outlook-host`) reach an advised Items collection as
// ItemAdd, ItemChange and ItemRemove on the UI thread; once unadvised it
// hears nothing more.
TEST_F(HostCommandsTest, ItemEventsOfCommandChangesArriveOnTheUiThreadUntilUnadvised) {
    std::thread::id uiThread;
    CComPtr<RecordingSink> sink(new RecordingSink());
    _ItemsPtr items;
    DWORD cookie = 0;
    ASSERT_TRUE(m_host->RunOnUi([&] {
        uiThread = std::this_thread::get_id();
        items = m_host->Application()->NameSpace()->GetDefaultFolder(olFolderTasks)->GetItems();
        EXPECT_EQ(com::Advise(items, IID_ItemsEvents, static_cast<IDispatch*>(sink), &cookie),
                  S_OK);
    }));
    ASSERT_TRUE(Run({"add", "Tasks", "--subject", "Water the plants"}).ok);
    ASSERT_TRUE(Run({"change", "Tasks", "1", "--subject", "Water the plants daily"}).ok);
    ASSERT_TRUE(Run({"delete", "Tasks", "1"}).ok);
    ASSERT_TRUE(
        WaitUntil([&] { return sink->Count(outlook::dispid::kEventItemRemove) == 1; }, 5000));
    std::vector<RecordingSink::Event> events = sink->Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].id, outlook::dispid::kEventItemAdd);
    EXPECT_EQ(events[0].subject, L"Water the plants");
    EXPECT_EQ(events[1].id, outlook::dispid::kEventItemChange);
    EXPECT_EQ(events[1].subject, L"Water the plants daily");
    EXPECT_EQ(events[2].id, outlook::dispid::kEventItemRemove);
    for (const auto& e : events)
        EXPECT_EQ(e.thread, uiThread);

    m_host->RunOnUi([&] { EXPECT_EQ(com::Unadvise(items, IID_ItemsEvents, cookie), S_OK); });
    ASSERT_TRUE(Run({"add", "Tasks", "--subject", "unheard"}).ok);
    ASSERT_TRUE(Run({"change", "Tasks", "1", "--subject", "still unheard"}).ok);
    // Let any notification reach the UI thread before looking.
    Sleep(300);
    m_host->RunOnUi([] {});
    EXPECT_EQ(sink->Events().size(), 3u);
    m_host->RunOnUi([&] { items.Release(); });
}

TEST_F(HostCommandsTest, WrongUseIsRefusedWithAReason) {
    const struct {
        std::vector<std::string> args;
        const char* reason;
    } cases[] = {
        {{"list", "Nowhere"}, "no folder \"Nowhere\""},
        {{"show", "Inbox", "1"}, "no item 1 in the folder (it has 0)"},
        {{"show", "Inbox", "x"}, "no item x"},
        {{"change", "Inbox", "1"}, "usage: change"},
        {{"add", "Inbox", "--subject"}, "option --subject needs a value"},
        {{"add", "Inbox", "--colour", "red"}, "unknown option --colour"},
        {{"send", "--subject", "no recipient"}, "usage: send"},
        {{"send", "--to", "a@example.org"}, "runs without a post office"},
        {{"rule", "R", "--subject-contains", "x", "--move-to", "Nowhere"}, "no folder"},
        {{"unwatch", "Inbox"}, "is not watched"},
        {{"frob"}, "unknown command \"frob\""},
    };
    for (const auto& c : cases) {
        CommandResult r = Run(c.args);
        EXPECT_FALSE(r.ok) << c.args[0];
        EXPECT_NE(r.text.find(c.reason), std::string::npos) << c.args[0] << ": " << r.text;
    }
}

TEST_F(HostCommandsTest, OpenShowsTheItemInTheActiveInspector) {
    ASSERT_TRUE(Run({"add", "Tasks", "--subject", "Pay rent"}).ok);
    ASSERT_TRUE(Run({"open", "Tasks", "1"}).ok);
    std::wstring subject, caption;
    m_host->RunOnUi([&] {
        _InspectorPtr inspector = m_host->Application()->Application()->ActiveInspector();
        ASSERT_TRUE(inspector);
        caption = inspector->GetCaption().View();
        _MailItemPtr item(inspector->GetCurrentItem());
        subject = item->GetSubject().View();
    });
    EXPECT_EQ(subject, L"Pay rent");
    EXPECT_EQ(caption, L"Pay rent - Message");
}

TEST_F(HostCommandsTest, TrayDoubleClicksEachVisibleIcon) {
    HWND window = nullptr;
    m_host->RunOnUi([&] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = &TrayWindowProc;
        wc.lpszClassName = L"QmHostTrayTest";
        RegisterClassExW(&wc);
        window = CreateWindowExW(0, L"QmHostTrayTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 nullptr, nullptr);
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof data;
        data.hWnd = window;
        data.uID = 5;
        data.uFlags = NIF_MESSAGE | NIF_TIP;
        data.uCallbackMessage = kTrayMessage;
        wcscpy(data.szTip, L"Test icon");
        EXPECT_TRUE(Shell_NotifyIconW(NIM_ADD, &data));
    });
    ASSERT_NE(window, nullptr);
    CommandResult r = Run({"tray", "--double-click"});
    EXPECT_NE(r.text.find("icon 5\tTest icon\n  double-clicked\n"), std::string::npos) << r.text;
    // The click is a posted message: it arrives through the UI thread's loop.
    EXPECT_TRUE(WaitUntil([] { return g_doubleClicks == 1; }, 5000));
    m_host->RunOnUi([&] {
        NOTIFYICONDATAW data{};
        data.cbSize = sizeof data;
        data.hWnd = window;
        data.uID = 5;
        Shell_NotifyIconW(NIM_DELETE, &data);
        DestroyWindow(window);
    });
}

}  // namespace
}  // namespace host::testing
