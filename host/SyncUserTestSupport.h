// One user of the synchronisation tests: a user directory with a profile,
// the Quillmere add-in installed with the settings of a .reg file, and the
// outlook-host process, driven as the user through its commands; the add-in's
// logs and state files as the user's machine holds them. Test code only.
//
// Waits are bounded in platform time (the clock runs at the test's scale).
// Threading: one thread uses an object at a time.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "host/HostProcess.h"
#include "host/HostTestSupport.h"

namespace host::testing {

inline constexpr const char* kOutlookHostProgram = QM_BINARY_DIR "/bin/outlook-host";
// Platform ms: the road of one change passes a folder check (at most two
// minutes), a sender turn, the outbox re-check (two minutes) and an import
// pass (two minutes); a burst waits for its packet too. The bound leaves
// room for a loaded machine (three sanitized hosts beside other tests): the
// waits end as soon as the road is done.
inline constexpr unsigned kRoadMs = 2400000;

// How often part occurs in text.
inline int CountOccurrences(const std::string& text, const std::string& part) {
    int count = 0;
    std::size_t at = 0;
    while ((at = text.find(part, at)) != std::string::npos) {
        ++count;
        at += part.size();
    }
    return count;
}

class SyncUser {
public:
    SyncUser(const std::string& root, std::string name, std::string address, bool exchange)
        : m_name(std::move(name)),
          m_address(std::move(address)),
          m_exchange(exchange),
          m_process(kOutlookHostProgram, root + "/" + m_name) {}

    // Makes the user directory and profile, imports regFile, installs the
    // add-in and runs the host until the add-in's engine started.
    ::testing::AssertionResult Start(const std::string& postOffice, const std::string& regFile) {
        std::wstring profile(m_name.begin(), m_name.end());
        std::wstring address(m_address.begin(), m_address.end());
        if (!m_process.Init(profile, address, m_exchange))
            return ::testing::AssertionFailure() << "init " << m_name;
        std::string output;
        if (m_process.RunTool({"regedit", m_process.UserDirectory(), regFile}, &output) != 0)
            return ::testing::AssertionFailure() << "regedit: " << output;
        if (m_process.RunTool({"install", m_process.UserDirectory()}, &output) != 0)
            return ::testing::AssertionFailure() << "install: " << output;
        return Restart(postOffice);
    }
    // Runs the host of a user directory made before, until the add-in's
    // engine started (its first report, "START", opens the error log).
    ::testing::AssertionResult Restart(const std::string& postOffice) {
        if (!m_process.Start(postOffice, L"", kRoadMs))
            return ::testing::AssertionFailure() << "run: " << m_process.Output();
        if (!WaitForLog("Quillmere_error.log", "START", kRoadMs))
            return ::testing::AssertionFailure() << m_name << "'s add-in did not start";
        return ::testing::AssertionSuccess();
    }
    int Stop() { return m_process.Stop(kRoadMs); }

    std::string Ok(const std::vector<std::string>& args) {
        host::CommandResult r = m_process.Command(args);
        EXPECT_TRUE(r.ok) << m_name << " " << args[0] << ": " << r.text;
        return r.text;
    }
    bool WaitFor(const std::vector<std::string>& args, const std::string& text,
                 bool absent = false) {
        return m_process.WaitFor(args, text, kRoadMs, absent);
    }

    // Shares folder as shareName with the partners through the page.
    void Share(const std::string& folder, const std::string& shareName, const std::string& password,
               const std::string& partners) {
        std::string answer =
            Ok({"props", folder, "--set", "used=1", "--set", "ShareName=" + shareName, "--set",
                "Password=" + password, "--set", "Users=" + partners, "--apply"});
        EXPECT_NE(answer.find("applied"), std::string::npos) << answer;
    }
    // Waits until the folder thread of a newly shared folder took its first
    // look: what the folder holds then is known, later items are changes.
    void WaitUntilTracking() {
        const char* mark = m_exchange ? "RCI::Reset this folder" : "Thread is running for";
        ASSERT_TRUE(WaitForLog("Quillmere_debug.log", mark, kRoadMs)) << m_name;
    }

    // The subjects of a folder's items, sorted ("list" answers a line
    // "N<TAB>subject<TAB>entry id" per item).
    std::vector<std::string> Subjects(const std::string& folder) {
        std::vector<std::string> subjects;
        host::CommandResult r = m_process.Command({"list", folder});
        std::size_t at = 0;
        while (r.ok && at < r.text.size()) {
            std::size_t end = r.text.find('\n', at);
            std::string line = r.text.substr(at, end == std::string::npos ? end : end - at);
            at = end == std::string::npos ? r.text.size() : end + 1;
            std::size_t tab = line.find('\t');
            if (tab == std::string::npos)
                continue;
            subjects.push_back(line.substr(tab + 1, line.find('\t', tab + 1) - tab - 1));
        }
        std::sort(subjects.begin(), subjects.end());
        return subjects;
    }
    // Waits until the folder holds exactly these subjects, each as often as
    // listed.
    bool WaitForSubjects(const std::string& folder, std::vector<std::string> expected) {
        std::sort(expected.begin(), expected.end());
        return host::testing::WaitUntil([&] { return Subjects(folder) == expected; }, kRoadMs);
    }
    // The item number of the first item with that subject ("0" when none).
    std::string Index(const std::string& folder, const std::string& subject) {
        std::string list = Ok({"list", folder});
        std::size_t at = list.find("\t" + subject + "\t");
        if (at == std::string::npos)
            return "0";
        std::size_t start = list.rfind('\n', at);
        start = start == std::string::npos ? 0 : start + 1;
        return list.substr(start, at - start);
    }

    // A log file of the add-in in the user's temporary directory ("" when
    // there is none yet).
    std::string Log(const std::string& file) const {
        std::string path = UserFile("AppData/Local/Temp/" + file);
        return path.empty() ? std::string() : ReadFile(path);
    }
    bool WaitForLog(const std::string& file, const std::string& text, unsigned limitMs) {
        return WaitUntil([&] { return Log(file).find(text) != std::string::npos; }, limitMs);
    }
    bool WaitForLogCount(const std::string& file, const std::string& text, int count) {
        return WaitUntil([&] { return CountOccurrences(Log(file), text) >= count; }, kRoadMs);
    }
    // The host path of the add-in's state file in its data directory whose
    // name ends in suffix ("" when there is none).
    std::string StateFile(const std::string& suffix) const {
        std::string directory = UserFile("AppData/Local/Quillmere");
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(directory, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.size() >= suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                return entry.path().string();
        }
        return {};
    }

    const std::string& Name() const { return m_name; }
    const std::string& Address() const { return m_address; }
    bool IsExchange() const { return m_exchange; }
    HostProcess& Process() { return m_process; }

private:
    // The host path of a file below the Windows user's profile directory
    // ("" when it does not exist).
    std::string UserFile(const std::string& below) const {
        std::error_code ec;
        std::filesystem::path users =
            std::filesystem::path(m_process.UserDirectory()) / "drive_c" / "Users";
        for (const auto& entry : std::filesystem::directory_iterator(users, ec)) {
            std::filesystem::path path = entry.path() / below;
            if (std::filesystem::exists(path))
                return path.string();
        }
        return {};
    }

    std::string m_name;
    std::string m_address;
    bool m_exchange;
    HostProcess m_process;
};

// A fixture of three users on one post office (alice and carol on personal
// folders, bob on Exchange), with the add-in's debug log on and the rule
// helper not wanted. The users a test started are stopped at its end, each
// expected to end cleanly.
class SyncUsersTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_postOffice = m_root.Path() + "/postoffice";
        m_regFile = m_root.Path() + "/quillmere.reg";
        WriteFile(m_regFile,
                  "Windows Registry Editor Version 5.00\r\n\r\n"
                  "[HKEY_CURRENT_USER\\Software\\Brindlecast\\Quillmere\\Config]\r\n"
                  "\"debug\"=dword:00000001\r\n"
                  "\"rulecreator_was_set\"=dword:00000001\r\n");
    }
    void TearDown() override {
        for (SyncUser* user : m_started)
            EXPECT_EQ(user->Stop(), 0) << user->Name() << ": " << user->Process().Output();
    }
    void Start(SyncUser& user) {
        ASSERT_TRUE(user.Start(m_postOffice, m_regFile)) << user.Name();
        m_started.push_back(&user);
    }

    TempRoot m_root;
    std::string m_postOffice;
    std::string m_regFile;
    std::vector<SyncUser*> m_started;
    SyncUser m_alice{m_root.Path(), "Alice", "alice@example.org", false};
    SyncUser m_bob{m_root.Path(), "Bob", "bob@example.org", true};
    SyncUser m_carol{m_root.Path(), "Carol", "carol@example.org", false};
};

}  // namespace host::testing
