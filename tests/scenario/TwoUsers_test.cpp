// Two users on one machine, each with an outlook-host process, one post
// office between them.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <set>

#include "host/ControlSocket.h"
#include "host/HostProcess.h"
#include "host/HostTestSupport.h"
#include "platform/mapi/PropTags.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/Session.h"
#include "platform/transport/MimeWriter.h"

namespace {

using host::HostProcess;
using host::testing::ReadFile;
using host::testing::TempRoot;
using host::testing::WriteFile;

constexpr const char* kProgram = QM_BINARY_DIR "/bin/outlook-host";
constexpr unsigned kLimitMs = 60000;  // platform ms; real time is this / the scale

class TwoUsersTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_postOffice = m_root.Path() + "/postoffice";
        ASSERT_TRUE(m_alice.Init(L"Alice", L"alice@example.org"));
        ASSERT_TRUE(m_bob.Init(L"Bob", L"bob@example.org", true));
        // Bob's client runs the test add-in, which writes each event it hears,
        // and whether it came on the client's UI thread, to a file.
        std::string out;
        ASSERT_EQ(m_bob.RunTool(
                      {"install", m_bob.UserDirectory(), "--module",
                       QM_BINARY_DIR "/bin/libQmHostTestAddIn.so", "--progid", "QmHost.TestAddIn"},
                      &out),
                  0)
            << out;
        m_addInLog = m_root.Path() + "/bob-addin.log";
        ::setenv("QMHOST_TEST_ADDIN_LOG", m_addInLog.c_str(), 1);
        ASSERT_TRUE(m_alice.Start(m_postOffice)) << m_alice.Output();
        ASSERT_TRUE(m_bob.Start(m_postOffice)) << m_bob.Output();
    }
    void TearDown() override {
        EXPECT_EQ(m_alice.Stop(), 0) << m_alice.Output();
        EXPECT_EQ(m_bob.Stop(), 0) << m_bob.Output();
        ::unsetenv("QMHOST_TEST_ADDIN_LOG");
    }
    std::string Ok(HostProcess& user, const std::vector<std::string>& args) {
        host::CommandResult r = user.Command(args);
        EXPECT_TRUE(r.ok) << args[0] << ": " << r.text;
        return r.text;
    }

    TempRoot m_root;
    std::string m_postOffice;
    std::string m_addInLog;
    HostProcess m_alice{kProgram, m_root.Path() + "/alice"};
    HostProcess m_bob{kProgram, m_root.Path() + "/bob"};
};

TEST_F(TwoUsersTest, MailWithAttachmentArrivesIntactAndRaisesNewMail) {
    std::string bytes;
    for (int i = 0; i < 70000; ++i)
        bytes.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    std::string file = m_root.Path() + "/figures.xlsx";
    WriteFile(file, bytes);
    Ok(m_alice, {"send", "--to", "bob@example.org", "--subject", "Figures for Q3", "--body",
                 "Here they are.\r\nAlice\r\n", "--attach", file});

    ASSERT_TRUE(m_bob.WaitFor({"list", "Inbox"}, "Figures for Q3", kLimitMs));
    EXPECT_TRUE(m_bob.WaitFor({"log"}, "NewMail", kLimitMs));
    // The add-in in Bob's client heard NewMail, on the client's UI thread.
    EXPECT_TRUE(host::WaitUntil(
        [&] { return ReadFile(m_addInLog).find("NewMail\n") != std::string::npos; }, kLimitMs))
        << ReadFile(m_addInLog);
    EXPECT_EQ(ReadFile(m_addInLog).find("off the UI thread"), std::string::npos)
        << ReadFile(m_addInLog);
    EXPECT_NE(Ok(m_alice, {"list", "Sent Items"}).find("Figures for Q3"), std::string::npos);
    EXPECT_EQ(Ok(m_alice, {"list", "Outbox"}), "");
    std::string shown = Ok(m_bob, {"show", "Inbox", "1"});
    EXPECT_NE(shown.find("To: bob@example.org"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Attachment: figures.xlsx (70000 bytes)"), std::string::npos) << shown;

    // Bob's store, read on its own, holds the very bytes.
    std::unique_ptr<store::Session> session;
    ASSERT_EQ(store::Session::Open(m_bob.UserDirectory() + "/profiles/Bob/mailbox.qms", &session),
              S_OK);
    store::Folder inbox;
    ASSERT_EQ(session->GetDefaultFolder(store::DefaultFolder::Inbox, &inbox), S_OK);
    ULONG count = 0;
    ASSERT_EQ(inbox.GetContentCount(false, &count), S_OK);
    EXPECT_EQ(count, 1u);
    // "1<TAB>subject<TAB>entry id" names the mail.
    std::string line = Ok(m_bob, {"list", "Inbox"});
    std::string hex = line.substr(line.rfind('\t') + 1);
    hex = hex.substr(0, hex.find('\n'));
    store::Bytes id;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        id.push_back(static_cast<BYTE>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    std::unique_ptr<store::Message> mail;
    ASSERT_EQ(session->OpenMessage(id, &mail), S_OK);
    EXPECT_EQ(transport::PropText(mail->Props(), mapi::PR_SUBJECT).value_or(L""),
              L"Figures for Q3");
    EXPECT_EQ(transport::PropText(mail->Props(), mapi::PR_BODY).value_or(L""),
              L"Here they are.\r\nAlice\r\n");
    ASSERT_EQ(mail->Attachments().size(), 1u);
    EXPECT_EQ(transport::PropText(mail->Attachments()[0].props, mapi::PR_ATTACH_LONG_FILENAME)
                  .value_or(L""),
              L"figures.xlsx");
    EXPECT_EQ(std::string(mail->Attachments()[0].data.begin(), mail->Attachments()[0].data.end()),
              bytes);
    ASSERT_EQ(mail->Recipients().size(), 1u);
    EXPECT_EQ(transport::PropText(mail->Recipients()[0], mapi::PR_SMTP_ADDRESS).value_or(L""),
              L"bob@example.org");
    EXPECT_EQ(mail->Recipients()[0].GetInteger(mapi::PR_RECIPIENT_TYPE), mapi::MAPI_TO);
}

TEST_F(TwoUsersTest, ItemEventsFollowOutlookHostCommandsUntilUnwatched) {
    Ok(m_bob, {"watch", "Tasks"});
    Ok(m_bob, {"add", "Tasks", "--subject", "Water the plants"});
    Ok(m_bob, {"change", "Tasks", "1", "--subject", "Water the plants daily"});
    Ok(m_bob, {"delete", "Tasks", "1"});
    EXPECT_TRUE(m_bob.WaitFor({"log"}, "ItemRemove Tasks", kLimitMs));
    std::string log = Ok(m_bob, {"log"});
    EXPECT_NE(log.find("ItemAdd Tasks: Water the plants"), std::string::npos) << log;
    EXPECT_NE(log.find("ItemChange Tasks: Water the plants daily"), std::string::npos) << log;

    Ok(m_bob, {"unwatch", "Tasks"});
    Ok(m_bob, {"add", "Tasks", "--subject", "unheard"});
    Ok(m_bob, {"watch", "Inbox"});
    Ok(m_bob, {"add", "Inbox", "--subject", "heard"});
    ASSERT_TRUE(m_bob.WaitFor({"log"}, "ItemAdd Inbox: heard", kLimitMs));
    EXPECT_EQ(Ok(m_bob, {"log"}).find("unheard"), std::string::npos);
}

TEST_F(TwoUsersTest, RuleFilesMatchingMailIntoItsFolder) {
    Ok(m_bob, {"folder", "", "Projects"});
    Ok(m_bob, {"rule", "Projects", "--subject-contains", "[proj]", "--move-to", "Projects"});
    Ok(m_alice, {"send", "--to", "bob@example.org", "--subject", "[PROJ] kick-off"});
    Ok(m_alice, {"send", "--to", "bob@example.org", "--subject", "lunch?"});
    ASSERT_TRUE(m_bob.WaitFor({"list", "Inbox"}, "lunch?", kLimitMs));
    ASSERT_TRUE(m_bob.WaitFor({"list", "Projects"}, "[PROJ] kick-off", kLimitMs));
    EXPECT_EQ(Ok(m_bob, {"list", "Inbox"}).find("kick-off"), std::string::npos);
}

TEST_F(TwoUsersTest, ClearErrorsForBadUse) {
    std::string out;
    // A second host on a user directory that is held.
    EXPECT_EQ(m_alice.RunTool({"run", m_alice.UserDirectory()}, &out), 1);
    EXPECT_NE(out.find("in use by another running outlook-host"), std::string::npos) << out;
    // A profile that does not exist (the message names the ones there are).
    HostProcess carol(kProgram, m_root.Path() + "/carol");
    ASSERT_TRUE(carol.Init(L"Carol", L"carol@example.org"));
    EXPECT_EQ(carol.RunTool({"run", carol.UserDirectory(), "--profile", "Work"}, &out), 1);
    EXPECT_NE(out.find("no profile \"Work\""), std::string::npos) << out;
    EXPECT_NE(out.find("Carol"), std::string::npos) << out;
    // Commands when no host runs, bad arguments, unknown folders and items.
    EXPECT_EQ(carol.RunTool({"list", carol.UserDirectory()}, &out), 2);
    EXPECT_NE(out.find("no outlook-host runs"), std::string::npos) << out;
    EXPECT_EQ(carol.RunTool({"init", carol.UserDirectory(), "--profile", "X"}, &out), 2);
    EXPECT_EQ(carol.RunTool({"frobnicate", carol.UserDirectory()}, &out), 2);
    EXPECT_FALSE(m_alice.Command({"list", "Nowhere"}).ok);
    // A client that connects and says nothing does not keep the others waiting.
    {
        int silent = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = host::ControlSocketPath(m_alice.UserDirectory());
        std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
        ASSERT_EQ(::connect(silent, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_TRUE(m_alice.Command({"list", "Inbox"}).ok);
        ::close(silent);
    }
    EXPECT_FALSE(m_alice.Command({"show", "Inbox", "7"}).ok);
    EXPECT_FALSE(m_alice.Command({"add", "Inbox", "--colour", "red"}).ok);
    EXPECT_EQ(carol.RunTool({"init", carol.UserDirectory(), "--profile", "Carol", "--address",
                             "carol@example.org"},
                            &out),
              1);
    EXPECT_NE(out.find("exists already"), std::string::npos) << out;
}

// The commands of a README code line: words split at blanks, "..." and
// '...' kept whole, a trailing "# comment" dropped.
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;
    char quote = 0;
    for (char c : line) {
        if (quote) {
            if (c == quote)
                quote = 0;
            else
                word += c;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (c == ' ') {
            if (inWord)
                words.push_back(word);
            word.clear();
            inWord = false;
        } else if (c == '#' && !inWord) {
            break;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord)
        words.push_back(word);
    return words;
}

// The README's "Running the stand-in Outlook by hand", done as a new user
// does it: every outlook-host line of its code blocks, in order, through the
// outlook-host program (the two `run` lines as the two terminals' hosts),
// with the README's /tmp paths in a directory of the test's own. Each must
// succeed, the mail must arrive, and what the commands show must be so.
TEST(ReadmeTest, HandCommandsOfTheReadmeWorkOnTwoProfilesInTwoTerminals) {
    std::ifstream readme(QM_SOURCE_DIR "/README.md");
    ASSERT_TRUE(readme) << "README.md";
    std::vector<std::vector<std::string>> lines;
    bool inSection = false, inCode = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("#", 0) == 0 && !inCode)
            inSection = line.find("Running the stand-in Outlook by hand") != std::string::npos;
        else if (inSection && line.rfind("```", 0) == 0)
            inCode = !inCode;
        else if (inSection && inCode && line.rfind("outlook-host ", 0) == 0)
            lines.push_back(Words(line.substr(std::strlen("outlook-host "))));
    }
    ASSERT_GE(lines.size(), 10u) << "the README's hand commands were not found";

    TempRoot root;
    const std::map<std::string, std::string> paths = {{"/tmp/alice", root.Path() + "/alice"},
                                                      {"/tmp/bob", root.Path() + "/bob"},
                                                      {"/tmp/postoffice", root.Path() + "/po"},
                                                      {"notes.txt", root.Path() + "/notes.txt"}};
    WriteFile(root.Path() + "/notes.txt", "Notes for Bob\r\n");
    std::map<std::string, std::unique_ptr<HostProcess>> hosts;
    for (const auto& [from, to] : paths) {
        if (from != "/tmp/postoffice" && from != "notes.txt")
            hosts[to] = std::make_unique<HostProcess>(kProgram, to);
    }
    std::set<std::string> used;
    for (std::vector<std::string> words : lines) {
        for (auto& w : words) {
            auto it = paths.find(w);
            if (it != paths.end())
                w = it->second;
        }
        std::string shown;
        for (const auto& w : words)
            shown += w + " ";
        SCOPED_TRACE("outlook-host " + shown);
        ASSERT_GE(words.size(), 2u);
        ASSERT_TRUE(hosts.count(words[1])) << "a user directory of the README";
        HostProcess& user = *hosts[words[1]];
        used.insert(words[0]);
        if (words[0] == "run") {
            ASSERT_EQ(words.size(), 4u);
            ASSERT_EQ(words[2], "--postoffice");
            ASSERT_TRUE(user.Start(words[3])) << user.Output();
            continue;
        }
        if (words[0] == "quit") {
            EXPECT_EQ(user.RunTool(words), 0);
            EXPECT_EQ(user.Stop(), 0) << user.Output();
            continue;
        }
        std::string out;
        if (words[0] == "props" || words[0] == "viewer") {
            // What the README says comes once the add-in has started (its
            // folder page), or once the program has shown its window (the
            // log viewer): a user tries again until it is there.
            EXPECT_TRUE(host::WaitUntil([&] { return user.RunTool(words, &out) == 0; }, kLimitMs,
                                        std::chrono::seconds(30)))
                << out;
        } else {
            EXPECT_EQ(user.RunTool(words, &out), 0) << out;
        }
        if (words[0] == "send") {
            // The user waits for the mail before looking at Bob's folders.
            EXPECT_TRUE(hosts[root.Path() + "/bob"]->WaitFor({"list", "Inbox"}, "Hello", kLimitMs));
        }
        if (words[0] == "list" && words.size() == 2) {
            EXPECT_NE(out.find("Inbox (1)"), std::string::npos) << out;
        }
        if (words[0] == "show") {
            EXPECT_NE(out.find("Attachment: notes.txt (15 bytes)"), std::string::npos) << out;
        }
        if (words[0] == "log") {
            EXPECT_NE(out.find("NewMail"), std::string::npos) << out;
        }
    }
    for (const char* command : {"init",    "install", "run",    "send", "list",  "show",  "add",
                                "change",  "delete",  "folder", "rule", "rules", "watch", "open",
                                "options", "viewer",  "props",  "tray", "log",   "quit"})
        EXPECT_TRUE(used.count(command)) << command << " is not in the README";
    // The README quits Bob's client; Alice's is still there to be quit.
    EXPECT_FALSE(hosts[root.Path() + "/bob"]->Running());
    EXPECT_EQ(hosts[root.Path() + "/alice"]->Stop(), 0);
}

TEST(HostInstallTest, InstalledAddInIsLoadedConnectedAndReleasedAfterQuit) {
    TempRoot root;
    HostProcess user(kProgram, root.Path() + "/dora");
    ASSERT_TRUE(user.Init(L"Dora", L"dora@example.org"));
    ASSERT_TRUE(user.Init(L"Dora Home", L"dora@home.example"));
    std::string out;
    // Installed for the second profile only.
    ASSERT_EQ(
        user.RunTool({"install", user.UserDirectory(), "--profile", "Dora Home", "--module",
                      QM_BINARY_DIR "/bin/libQmHostTestAddIn.so", "--progid", "QmHost.TestAddIn"},
                     &out),
        0)
        << out;
    EXPECT_NE(user.RunTool({"install", user.UserDirectory(), "--module",
                            QM_BINARY_DIR "/bin/no-such-module.so"},
                           &out),
              0);
    EXPECT_NE(out.find("cannot load"), std::string::npos) << out;

    ASSERT_TRUE(user.Start(root.Path() + "/postoffice", L"Dora"));
    EXPECT_EQ(user.Command({"log"}).text.find("QmHost.TestAddIn"), std::string::npos);
    host::CommandResult noPages = user.Command({"options"});
    EXPECT_FALSE(noPages.ok);
    EXPECT_EQ(noPages.text,
              "no add-in added a page to the Options dialog (is an add-in installed for this "
              "profile?)\n");
    EXPECT_EQ(user.Stop(), 0);

    ASSERT_TRUE(user.Start(root.Path() + "/postoffice", L"Dora Home"));
    EXPECT_NE(user.Command({"log"}).text.find("add-in QmHost.TestAddIn connected"),
              std::string::npos);
    EXPECT_EQ(user.Command({"options"}).text, "QmHost.TestPage\tTest\n");
    EXPECT_EQ(user.Command({"options", "--set", "Text=hello", "--apply"}).text,
              "QmHost.TestPage\tTest\n  Text = hello\n  status changed\n  applied\n");
    host::CommandResult unknownField = user.Command({"options", "--set", "Colour=red"});
    EXPECT_FALSE(unknownField.ok);
    EXPECT_EQ(unknownField.text, "QmHost.TestPage\tTest\nno page has a field Colour\n");
    EXPECT_EQ(user.Command({"options", "--apply"}).text,
              "QmHost.TestPage\tTest\n  nothing to apply\n");
    EXPECT_TRUE(user.Command({"folder", "", "Shared"}).ok);
    EXPECT_EQ(user.Command({"props", "Shared", "--set", "Text=team", "--apply"}).text,
              "QmHost.TestPage\tTest folder\n  Text = team\n  status changed\n  applied\n");
    EXPECT_EQ(user.Stop(), 0);
    std::string output = user.Output();
    std::size_t quit = output.find("  Quit\n");
    ASSERT_NE(quit, std::string::npos) << output;
    EXPECT_NE(output.find("add-in QmHost.TestAddIn released", quit), std::string::npos) << output;
}

TEST(HostInstallTest, ModuleWithoutSelfRegistrationNeedsItsClassAndAFailingAddInIsSkipped) {
    TempRoot root;
    HostProcess user(kProgram, root.Path() + "/finn");
    ASSERT_TRUE(user.Init(L"Finn", L"finn@example.org"));
    const std::string module = QM_BINARY_DIR "/bin/libQmComTestServer.so";
    std::string out;
    EXPECT_EQ(user.RunTool({"install", user.UserDirectory(), "--module", module, "--progid",
                            "QmTest.Greeter"},
                           &out),
              1);
    EXPECT_NE(out.find("exports no DllRegisterServer"), std::string::npos) << out;
    // Its class is no add-in: it is registered and listed, but cannot be connected.
    ASSERT_EQ(user.RunTool({"install", user.UserDirectory(), "--module", module, "--progid",
                            "QmTest.Greeter", "--clsid", "{6E1F4C2A-3B5D-4E7F-8A9B-0C1D2E3F4A5B}"},
                           &out),
              0)
        << out;
    ASSERT_TRUE(user.Start(root.Path() + "/postoffice"));
    std::string log = user.Command({"log"}).text;
    EXPECT_NE(log.find("add-in QmTest.Greeter cannot be created: 0x80004002"), std::string::npos)
        << log;
    EXPECT_TRUE(user.Command({"list", "Inbox"}).ok);
    EXPECT_EQ(user.Stop(), 0);
}

}  // namespace
