// outlook-host as a tool in a script: every way of using it wrongly, or
// rightly where it must say what it did, with the exit status a script
// tests and the words a person reads.
#include <gtest/gtest.h>

#include "host/HostProcess.h"
#include "host/HostTestSupport.h"

namespace {

using host::HostProcess;
using host::testing::TempRoot;
using host::testing::WriteFile;

constexpr const char* kProgram = QM_BINARY_DIR "/bin/outlook-host";

// The exit statuses host/HostMain.cpp documents.
constexpr int kDone = 0;
constexpr int kRefused = 1;
constexpr int kBadArguments = 2;

class OutlookHostToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_plain.Init(L"Bea", L"bea@example.org"));
        ASSERT_TRUE(m_paged.Init(L"Tia", L"tia@example.org"));
        ASSERT_TRUE(m_idle.Init(L"Cid", L"cid@example.org"));
        std::string out;
        // Tia's client runs the test add-in, whose Options and folder pages
        // have one field, "Text", and no window.
        ASSERT_EQ(m_paged.RunTool(
                      {"install", m_paged.UserDirectory(), "--module",
                       QM_BINARY_DIR "/bin/libQmHostTestAddIn.so", "--progid", "QmHost.TestAddIn"},
                      &out),
                  kDone)
            << out;
        ASSERT_TRUE(m_plain.Start(m_root.Path() + "/postoffice")) << m_plain.Output();
        ASSERT_TRUE(m_paged.Start(m_root.Path() + "/postoffice")) << m_paged.Output();
        WriteFile(m_root.Path() + "/a-file", "not a directory");
        WriteFile(m_root.Path() + "/debug.reg",
                  "Windows Registry Editor Version 5.00\r\n\r\n"
                  "[HKEY_CURRENT_USER\\Software\\Brindlecast\\Quillmere\\Config]\r\n"
                  "\"debug\"=dword:00000001\r\n");
    }
    void TearDown() override {
        EXPECT_EQ(m_plain.Stop(), 0) << m_plain.Output();
        EXPECT_EQ(m_paged.Stop(), 0) << m_paged.Output();
    }

    TempRoot m_root;
    HostProcess m_plain{kProgram, m_root.Path() + "/bea"};  // runs, no add-in
    HostProcess m_paged{kProgram, m_root.Path() + "/tia"};  // runs the test add-in
    HostProcess m_idle{kProgram, m_root.Path() + "/cid"};   // made, not running
};

TEST_F(OutlookHostToolTest, EachUseEndsWithItsExitStatusAndSaysWhy) {
    const std::string bea = m_plain.UserDirectory();
    const std::string tia = m_paged.UserDirectory();
    const std::string cid = m_idle.UserDirectory();
    const std::string file = m_root.Path() + "/a-file";
    const struct {
        const char* what;
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {"--help prints the usage", {"--help"}, kDone, "usage: outlook-host init USERDIR"},
        {"-h prints the usage", {"-h"}, kDone, "usage: outlook-host init USERDIR"},
        {"help prints the usage", {"help"}, kDone, "exit status: 0 done, 1 refused or failed, 2"},
        {"the usage says a tray double-click pauses the add-in",
         {"--help"},
         kDone,
         "(double-clicking the add-in's icon pauses or resumes it)"},
        {"no command", {}, kBadArguments, "no command"},
        {"an unknown command", {"frob", bea}, kBadArguments, "unknown command \"frob\""},
        {"props before any add-in offers its page",
         {"props", bea, "Tasks", "--set", "used=1", "--apply"},
         kRefused,
         "no add-in added a page to the Properties dialog of Tasks"},
        {"props of the Inbox without an add-in",
         {"props", bea, "Inbox"},
         kRefused,
         "no add-in added a page to the Properties dialog of Inbox"},
        {"options without an add-in",
         {"options", bea},
         kRefused,
         "no add-in added a page to the Options dialog"},
        {"--set of a field no page has",
         {"options", tia, "--set", "Missing=1", "--apply"},
         kRefused,
         "no page has a field Missing"},
        {"--set of a field a page has",
         {"options", tia, "--set", "Text=hi"},
         kDone,
         "  Text = hi\n"},
        {"--click of a control no page has",
         {"options", tia, "--click", "319"},
         kRefused,
         "no page has a control 319"},
        {"--set without =",
         {"options", tia, "--set", "Text"},
         kBadArguments,
         "--set needs NAME=VALUE, not \"Text\""},
        {"--answer with no button's name",
         {"options", tia, "--answer", "maybe"},
         kBadArguments,
         "--answer takes ok, cancel, yes, no or a control id"},
        {"--click without an id",
         {"props", tia, "Tasks", "--click", "ok"},
         kBadArguments,
         "--click takes a control id"},
        {"run on a post office that is a file",
         {"run", cid, "--postoffice", file},
         kBadArguments,
         "the post office " + file + " cannot be a directory (a file of that name exists)"},
        {"run on a post office below a file",
         {"run", cid, "--postoffice", file + "/po"},
         kBadArguments,
         "cannot be a directory (it cannot be created)"},
        {"send to a name that is no address",
         {"send", bea, "--to", "nobody", "--subject", "Hello"},
         kRefused,
         "cannot address the mail: \"nobody\" is neither an e-mail address nor a name in the "
         "address book (not found (MAPI_E_NOT_FOUND, 0x8004010F))"},
        {"regedit into a directory that is no user directory",
         {"regedit", m_root.Path() + "/nobody", m_root.Path() + "/debug.reg"},
         kRefused,
         "is no user directory (make one with init)"},
        {"add says what it made",
         {"add", bea, "Tasks", "--subject", "Water the plants"},
         kDone,
         "added Water the plants (IPM.Task) as item 1 of Tasks, entry id "},
        {"add without --subject",
         {"add", bea, "Tasks", "--body", "Every day"},
         kBadArguments,
         "usage: add FOLDER --subject S [--body B] [--class C]"},
        {"an option without its value",
         {"add", bea, "Tasks", "--subject"},
         kBadArguments,
         "option --subject needs a value"},
        {"an unknown option of a host command",
         {"list", bea, "--colour", "red"},
         kBadArguments,
         "unknown option --colour for list"},
        {"a bad tray option names what a double-click does",
         {"tray", bea, "--triple-click"},
         kBadArguments,
         "pauses or resumes the add-in"},
        {"a folder that does not exist",
         {"list", bea, "Nowhere"},
         kRefused,
         "no folder \"Nowhere\""},
        {"a command when no host runs", {"list", cid}, kBadArguments, "no outlook-host runs"},
        {"init with an address that is none",
         {"init", cid, "--profile", "Other", "--address", "nope"},
         kBadArguments,
         "the address must look like name@domain"},
        {"init of a profile that exists",
         {"init", cid, "--profile", "Cid", "--address", "cid@example.org"},
         kRefused,
         "exists already"},
        {"rules of a store without rules", {"rules", bea}, kDone, ""},
        {"viewer when none runs", {"viewer", bea}, kDone, "no log viewer runs for " + bea},
        {"viewer --close when none runs",
         {"viewer", bea, "--close"},
         kRefused,
         "no log viewer runs"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out;
        EXPECT_EQ(m_plain.RunTool(c.args, &out), c.status) << out;
        EXPECT_NE(out.find(c.says), std::string::npos) << out;
    }
}

}  // namespace
