// The add-in's two companion programs as they meet a running stand-in
// Outlook of another process. The rule helper reaches the profile that runs
// (not the first of the user directory), the rule it plants files sync
// mails there, a second run replaces it, and the add-in starts it at its
// first start under Outlook 2010. The log viewer is started by the Options
// page's links and closed from outlook-host through its window.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>

#include "host/HostProcess.h"
#include "host/HostTestSupport.h"

extern char** environ;

namespace {

using host::HostProcess;
using host::testing::ReadFile;
using host::testing::TempRoot;
using host::testing::WriteFile;

constexpr const char* kProgram = QM_BINARY_DIR "/bin/outlook-host";
constexpr unsigned kLimitMs = 60000;  // platform ms

const std::string kPlanted =
    "\t{QUILLMERE}\treceive\n"
    "  subject contains \">-Quillmere-<\" or \"QMRX$BASICSYNCPACKET:\"\n"
    "  moves to Quillmere\n";

// Runs the helper program for the user directory, as the add-in would
// start it there (it inherits the environment: the same machine).
int RunHelper(const std::string& userDirectory) {
    std::string program = QM_BINARY_DIR "/bin/RulePlanterx64";
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
        std::string v = *e;
        if (v.rfind("QUILLMERE_USER_DIR=", 0) != 0)
            vars.push_back(v);
    }
    vars.push_back("QUILLMERE_USER_DIR=" + userDirectory);
    std::vector<char*> envp;
    for (auto& v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);
    char* argv[] = {program.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, envp.data()) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits until the host's process ended by itself (a Quit through the
// object model); its exit status, -1 when it did not end.
int EndedByItself(HostProcess& user) {
    return user.WaitForExit(kLimitMs);
}

// The add-in's debug log in the user's temporary directory.
std::string DebugLog(const std::string& userDirectory) {
    std::error_code ec;
    for (const auto& user :
         std::filesystem::directory_iterator(userDirectory + "/drive_c/Users", ec)) {
        std::string log = user.path().string() + "/AppData/Local/Temp/Quillmere_debug.log";
        if (std::filesystem::exists(log))
            return ReadFile(log);
    }
    return {};
}

class RuleHelperTest : public ::testing::Test {
protected:
    std::string Ok(HostProcess& user, const std::vector<std::string>& args) {
        host::CommandResult r = user.Command(args);
        EXPECT_TRUE(r.ok) << args[0] << ": " << r.text;
        return r.text;
    }
    TempRoot m_root;
    std::string m_postOffice = m_root.Path() + "/postoffice";
};

TEST_F(RuleHelperTest, PlantsItsRuleInTheRunningProfileWhichFilesSyncMailsAndReplacesItAgain) {
    HostProcess zed(kProgram, m_root.Path() + "/zed");
    ASSERT_TRUE(zed.Init(L"Alpha", L"alpha@example.org"));  // first by name, not run
    ASSERT_TRUE(zed.Init(L"Zed", L"zed@example.org"));
    ASSERT_TRUE(zed.Start(m_postOffice, L"Zed")) << zed.Output();
    Ok(zed, {"folder", "", "Old"});
    Ok(zed, {"rule", "{QUILLMERE}", "--subject-contains", "old marker", "--move-to", "Old"});

    ASSERT_EQ(RunHelper(zed.UserDirectory()), 0);
    EXPECT_EQ(EndedByItself(zed), 0) << "the helper quits the Outlook it worked on\n"
                                     << zed.Output();
    EXPECT_NE(zed.Output().find("  Quit\n"), std::string::npos) << zed.Output();

    ASSERT_TRUE(zed.Start(m_postOffice, L"Zed")) << zed.Output();
    EXPECT_EQ(Ok(zed, {"rules"}), "1" + kPlanted) << "the old rule replaced by one new";
    EXPECT_NE(Ok(zed, {"list"}).find("\nQuillmere (0)\n"), std::string::npos);
    // The running host files arriving sync mails by it; others stay in the Inbox.
    HostProcess sam(kProgram, m_root.Path() + "/sam");
    ASSERT_TRUE(sam.Init(L"Sam", L"sam@example.org"));
    ASSERT_TRUE(sam.Start(m_postOffice)) << sam.Output();
    Ok(sam, {"send", "--to", "zed@example.org", "--subject", ">-Quillmere-< 10.12.2026 09:30:00"});
    Ok(sam, {"send", "--to", "zed@example.org", "--subject", "QMRX$BASICSYNCPACKET:sam"});
    Ok(sam, {"send", "--to", "zed@example.org", "--subject", "Lunch?"});
    EXPECT_TRUE(zed.WaitFor({"list", "Inbox"}, "Lunch?", kLimitMs));
    EXPECT_TRUE(zed.WaitFor({"list", "Quillmere"}, "QMRX$BASICSYNCPACKET:sam", kLimitMs));
    std::string filed = Ok(zed, {"list", "Quillmere"});
    EXPECT_NE(filed.find(">-Quillmere-< 10.12.2026"), std::string::npos) << filed;
    EXPECT_EQ(Ok(zed, {"list", "Inbox"}).find("Quillmere"), std::string::npos);
    EXPECT_EQ(sam.Stop(), 0);

    // A second run replaces its own rule and keeps the others.
    Ok(zed, {"rule", "Newsletters", "--subject-contains", "[news]", "--move-to", "Old"});
    ASSERT_EQ(RunHelper(zed.UserDirectory()), 0);
    EXPECT_EQ(EndedByItself(zed), 0) << zed.Output();
    ASSERT_TRUE(zed.Start(m_postOffice, L"Zed")) << zed.Output();
    std::string rules = Ok(zed, {"rules"});
    EXPECT_EQ(rules,
              "1\tNewsletters\treceive\n  subject contains \"[news]\"\n  moves to Old\n"
              "2" +
                  kPlanted);
    std::string folders = Ok(zed, {"list"});
    EXPECT_EQ(folders.find("Quillmere ("), folders.rfind("Quillmere (")) << "one folder\n"
                                                                         << folders;
    EXPECT_EQ(zed.Stop(), 0);

    // The profile that did not run is untouched.
    ASSERT_TRUE(zed.Start(m_postOffice, L"Alpha")) << zed.Output();
    EXPECT_EQ(Ok(zed, {"rules"}), "");
    EXPECT_EQ(Ok(zed, {"list"}).find("Quillmere"), std::string::npos);
    EXPECT_EQ(zed.Stop(), 0);
}

// As the add-in starts it: at its first start with a Config key, under the
// host's default Outlook 2010, it plants the rule and closes Outlook; the
// next start runs on. Under Outlook 2016 it is started too but leaves
// Outlook alone.
TEST_F(RuleHelperTest, TheAddInStartsItOnceAndUnderOutlook2010ItPlantsTheRuleAndQuits) {
    const std::string reg = m_root.Path() + "/debug.reg";
    WriteFile(reg,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_CURRENT_USER\\Software\\Brindlecast\\Quillmere\\Config]\r\n"
              "\"debug\"=dword:00000001\r\n");
    const struct {
        const wchar_t* version;  // empty: the host's default
        bool plants;
    } cases[] = {{L"", true}, {L"16.0.0.0", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plants ? "the default version" : "Outlook 2016");
        HostProcess ann(kProgram, m_root.Path() + (c.plants ? "/ann" : "/ben"));
        std::string out;
        std::vector<std::string> init = {"init", ann.UserDirectory(), "--profile",
                                         "Ann",  "--address",         "ann@example.org"};
        if (*c.version) {
            init.push_back("--version");
            init.push_back("16.0.0.0");
        }
        ASSERT_EQ(ann.RunTool(init, &out), 0) << out;
        ASSERT_EQ(ann.RunTool({"regedit", ann.UserDirectory(), reg}, &out), 0) << out;
        ASSERT_EQ(ann.RunTool({"install", ann.UserDirectory()}, &out), 0) << out;
        ASSERT_TRUE(ann.Start(m_postOffice)) << ann.Output();
        if (c.plants) {
            EXPECT_EQ(EndedByItself(ann), 0) << ann.Output();
            ASSERT_TRUE(ann.Start(m_postOffice)) << ann.Output();
            EXPECT_EQ(Ok(ann, {"rules"}), "1" + kPlanted);
        } else {
            EXPECT_TRUE(host::WaitUntil(
                [&] {
                    return DebugLog(ann.UserDirectory()).find("IF (Outlook > 11) RuleCreated") !=
                           std::string::npos;
                },
                kLimitMs, std::chrono::seconds(30)))
                << "the add-in started the helper";
            // Run again by hand, to its end: it leaves an Outlook 2016 alone.
            EXPECT_EQ(RunHelper(ann.UserDirectory()), 0);
        }
        // Started again (or still running), the add-in starts the helper no
        // more: the host stays, and its engine starts.
        EXPECT_TRUE(ann.WaitFor({"options"}, "Quillmere.ExtProppage", kLimitMs));
        EXPECT_TRUE(ann.Running());
        EXPECT_EQ(Ok(ann, {"rules"}), c.plants ? "1" + kPlanted : "");
        EXPECT_EQ(ann.Stop(), 0) << ann.Output();
    }
}

TEST(LogViewerTest, TheOptionsPagesLinksStartItAndOutlookHostClosesIt) {
    TempRoot root;
    HostProcess ann(kProgram, root.Path() + "/ann");
    ASSERT_TRUE(ann.Init(L"Ann", L"ann@example.org"));
    const std::string reg = root.Path() + "/config.reg";
    // Debug log on; the rule helper counts as started already (it would
    // close this Outlook 2010).
    WriteFile(reg,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_CURRENT_USER\\Software\\Brindlecast\\Quillmere\\Config]\r\n"
              "\"debug\"=dword:00000001\r\n\"rulecreator_was_set\"=dword:00000001\r\n");
    std::string out;
    ASSERT_EQ(ann.RunTool({"regedit", ann.UserDirectory(), reg}, &out), 0) << out;
    ASSERT_EQ(ann.RunTool({"install", ann.UserDirectory()}, &out), 0) << out;
    ASSERT_TRUE(ann.Start(root.Path() + "/postoffice")) << ann.Output();
    auto viewers = [&] {
        std::string listed;
        ann.RunTool({"viewer", ann.UserDirectory()}, &listed);
        std::size_t n = 0;
        for (std::size_t at = listed.find("log viewer \""); at != std::string::npos;
             at = listed.find("log viewer \"", at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(viewers(), 0u);

    // The error log's link, then the debug log's (enabled while the debug
    // log is on).
    host::CommandResult clicked = ann.Command({"options", "--click", "320"});
    EXPECT_TRUE(clicked.ok) << clicked.text;
    EXPECT_NE(clicked.text.find("  clicked 320\n"), std::string::npos) << clicked.text;
    EXPECT_TRUE(
        host::WaitUntil([&] { return viewers() == 1; }, kLimitMs, std::chrono::seconds(30)));
    clicked = ann.Command({"options", "--click", "319"});
    EXPECT_TRUE(clicked.ok) << clicked.text;
    EXPECT_TRUE(
        host::WaitUntil([&] { return viewers() == 2; }, kLimitMs, std::chrono::seconds(30)));

    ASSERT_EQ(ann.RunTool({"viewer", ann.UserDirectory(), "--close"}, &out), 0) << out;
    EXPECT_NE(out.find("  its OK pressed\n"), std::string::npos) << out;
    EXPECT_TRUE(host::WaitUntil([&] { return viewers() == 0; }, kLimitMs, std::chrono::seconds(30)))
        << "closed by their OK";

    // With the debug log off the debug log's link takes no click.
    ASSERT_TRUE(ann.Command({"options", "--set", "debug=0", "--apply"}).ok);
    clicked = ann.Command({"options", "--click", "319"});
    EXPECT_FALSE(clicked.ok);
    EXPECT_NE(clicked.text.find("  cannot click (disabled) 319\n"), std::string::npos)
        << clicked.text;
    EXPECT_EQ(ann.Stop(), 0) << ann.Output();
}

}  // namespace
