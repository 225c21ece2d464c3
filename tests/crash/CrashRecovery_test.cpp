// A host killed at any moment loses no change: users share Tasks through the
// add-in, one user's outlook-host is killed with SIGKILL at a point that
// matters (right after an edit, while a burst is queued, parked or packed,
// while its state is saved, during an import, during Quit), started again,
// and every change must reach the partners, each item exactly once. The
// same with the add-in's state files damaged between two runs.
//
// Points are hit exactly, not by timing: a crash point of the stand-ins
// (platform/win/CrashPoints.h, armed through outlook-host's crash-at) kills
// the process just before the named step, e.g. the first write of a
// ".syncdata.ids" after the edit. "Right after" an edit is a kill the test
// sends as soon as the edit's command returned.
//
// Waits are bounded in platform time; the clock runs at the scale the test
// is registered with.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "host/HostProcess.h"
#include "host/HostTestSupport.h"
#include "host/SyncUserTestSupport.h"

namespace {

namespace fs = std::filesystem;
using host::testing::kRoadMs;
using host::testing::ReadFile;
using host::testing::SyncUser;
using host::testing::WriteFile;

constexpr const char* kShare = "Team";
constexpr const char* kPassword = "s3cret";

class CrashRecoveryTest : public host::testing::SyncUsersTest {
protected:
    // Starts the users and shares Tasks among them: bob with every other
    // user, the others with bob. Returns once each folder thread took its
    // first look.
    void ShareTasks(std::vector<SyncUser*> users) {
        for (SyncUser* user : users)
            ASSERT_NO_FATAL_FAILURE(Start(*user));
        std::string others;
        for (SyncUser* user : users)
            if (user != &m_bob)
                others += (others.empty() ? "" : ";") + user->Address();
        for (SyncUser* user : users)
            user->Share("Tasks", kShare, kPassword, user == &m_bob ? others : m_bob.Address());
        for (SyncUser* user : users) {
            ASSERT_NO_FATAL_FAILURE(user->WaitUntilTracking());
            // The first scan's state is on disk: no save of it is under way
            // when a test arms a crash point.
            if (user->IsExchange()) {
                ASSERT_TRUE(host::testing::WaitUntil(
                    [&] { return !user->StateFile(".syncdata.ids").empty(); }, kRoadMs));
            }
        }
    }
    // bob adds the tasks and each partner holds them; the partners' folder
    // checks have taken them up as the add-in's own (so that a partner's
    // edit afterwards is an edit of a known item).
    void Seed(const std::vector<std::string>& subjects, std::vector<SyncUser*> partners) {
        for (const std::string& subject : subjects)
            m_bob.Ok({"add", "Tasks", "--subject", subject});
        for (SyncUser* partner : partners) {
            ASSERT_TRUE(partner->WaitForSubjects("Tasks", subjects)) << partner->Name();
            if (!partner->IsExchange()) {
                ASSERT_TRUE(host::testing::WaitUntil(
                    [&] { return SavedWithoutMarkers(*partner, subjects.size()); }, kRoadMs))
                    << partner->Name() << "'s list was not saved";
            }
        }
    }
    // Whether the change-key list on disk holds count values and no marker:
    // the imports were taken up as known and that was saved. (An edit made
    // while that save is under way and cut by a crash would be taken for the
    // import's own write: the marker on disk can't tell the two apart.)
    static bool SavedWithoutMarkers(SyncUser& user, std::size_t count) {
        std::string file = user.StateFile(".values.ids");
        if (file.empty())
            return false;
        std::string values = ReadFile(file);
        if (host::testing::CountOccurrences(values, "\r\n") != static_cast<int>(count))
            return false;
        for (const char* marker : {"NEWITEM", "CHANGED", "REMINDR", "DETECT", "HOTMAL"})
            if (values.find(marker) != std::string::npos)
                return false;
        return true;
    }

    // Arms the crash point, runs the action and expects the host to be
    // killed by it; then starts the host again.
    void CrashAt(SyncUser& user, const std::string& point, const std::function<void()>& action) {
        user.Ok({"crash-at", point});
        action();
        bool killed = false;
        ASSERT_TRUE(user.Process().WaitForEnd(kRoadMs, &killed))
            << user.Name() << " was not killed at " << point;
        ASSERT_TRUE(killed) << user.Name() << " ended by itself";
        ASSERT_NO_FATAL_FAILURE(Restart(user));
    }
    void KillRightAfter(SyncUser& user, const std::function<void()>& action) {
        action();
        ASSERT_TRUE(user.Process().Kill());
        ASSERT_NO_FATAL_FAILURE(Restart(user));
    }
    void Restart(SyncUser& user) { ASSERT_TRUE(user.Restart(m_postOffice)) << user.Name(); }

    // Every user's Tasks hold exactly these subjects, each once.
    void ExpectEverywhere(const std::vector<std::string>& subjects, std::vector<SyncUser*> users) {
        for (SyncUser* user : users)
            EXPECT_TRUE(user->WaitForSubjects("Tasks", subjects)) << user->Name() << " holds:\n"
                                                                  << user->Ok({"list", "Tasks"});
    }

    // Adds the tasks while bob's add-in is paused (a left double-click on
    // its tray icon), so that the scan after the pause finds them together.
    // With a crash point, it is armed once the tasks are in, as the add-in
    // resumes: the adds' own commits don't count towards it.
    void AddBurst(const std::vector<std::string>& subjects, const std::string& crashPoint = "") {
        std::string paused = m_bob.Ok({"tray", "--double-click"});
        ASSERT_NE(paused.find("double-clicked"), std::string::npos) << paused;
        for (const std::string& subject : subjects)
            m_bob.Ok({"add", "Tasks", "--subject", subject});
        auto resume = [&] { m_bob.Ok({"tray", "--double-click"}); };
        if (crashPoint.empty())
            resume();
        else
            ASSERT_NO_FATAL_FAILURE(CrashAt(m_bob, crashPoint, resume));
    }

    static std::vector<std::string> Numbered(const std::string& stem, int count) {
        std::vector<std::string> out;
        for (int i = 1; i <= count; ++i)
            out.push_back(stem + " " + std::to_string(i));
        return out;
    }
};

// --- Exchange (bob) ---------------------------------------------------------

// The scan that queued a burst saves its state: killed there, the burst is
// still sent once the host runs again.
TEST_F(CrashRecoveryTest, ExchangeBurstSurvivesAKillWhileTheScanSavesItsState) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    const std::vector<std::string> burst = Numbered("Burst", 30);
    ASSERT_NO_FATAL_FAILURE(AddBurst(burst, "write:.syncdata.ids"));
    ExpectEverywhere(burst, {&m_alice, &m_bob});
}

// Killed as the first packet mail of a burst is saved and its parked mails
// are deleted: the packet, the mails still queued and those parked after it
// all arrive, each item once, at both partners.
TEST_F(CrashRecoveryTest, ExchangeBurstSurvivesAKillWhileAPacketMailIsBuilt) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob, &m_carol}));
    const std::vector<std::string> burst = Numbered("Packet", 45);
    ASSERT_NO_FATAL_FAILURE(AddBurst(burst, "delete:.msg"));
    ExpectEverywhere(burst, {&m_alice, &m_carol, &m_bob});
}

// Killed while the sender builds the burst's mails one by one, after the
// scan that queued them saved its state.
TEST_F(CrashRecoveryTest, ExchangeBurstSurvivesAKillWhileItsMailsAreBuilt) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    const std::vector<std::string> burst = Numbered("Mail", 45);
    ASSERT_NO_FATAL_FAILURE(AddBurst(burst, "write:.syncdata.ids>commit#10"));
    ExpectEverywhere(burst, {&m_alice, &m_bob});
}

TEST_F(CrashRecoveryTest, ExchangeEditsSurviveAKillRightAfterThem) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    ASSERT_NO_FATAL_FAILURE(Seed({"Order paper", "Call Ann"}, {&m_alice}));
    ASSERT_NO_FATAL_FAILURE(KillRightAfter(m_bob, [&] {
        m_bob.Ok({"change", "Tasks", m_bob.Index("Tasks", "Order paper"), "--subject",
                  "Order paper (done)"});
    }));
    ExpectEverywhere({"Call Ann", "Order paper (done)"}, {&m_alice, &m_bob});
    ASSERT_NO_FATAL_FAILURE(KillRightAfter(m_bob, [&] {
        m_bob.Ok({"delete", "Tasks", m_bob.Index("Tasks", "Call Ann")});
    }));
    ExpectEverywhere({"Order paper (done)"}, {&m_alice, &m_bob});
    ASSERT_NO_FATAL_FAILURE(KillRightAfter(m_bob, [&] {
        m_bob.Ok({"add", "Tasks", "--subject", "Book room"});
    }));
    ExpectEverywhere({"Book room", "Order paper (done)"}, {&m_alice, &m_bob});
}

// Killed when the scan that queued the edit, the deletion or the addition
// saves its state.
TEST_F(CrashRecoveryTest, ExchangeEditsSurviveAKillWhileTheScanSavesItsState) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    ASSERT_NO_FATAL_FAILURE(Seed({"Order paper", "Call Ann"}, {&m_alice}));
    ASSERT_NO_FATAL_FAILURE(CrashAt(m_bob, "write:.syncdata.ids", [&] {
        m_bob.Ok({"change", "Tasks", m_bob.Index("Tasks", "Order paper"), "--subject",
                  "Order paper (done)"});
    }));
    ExpectEverywhere({"Call Ann", "Order paper (done)"}, {&m_alice, &m_bob});
    ASSERT_NO_FATAL_FAILURE(CrashAt(m_bob, "write:.syncdata.ids", [&] {
        m_bob.Ok({"delete", "Tasks", m_bob.Index("Tasks", "Call Ann")});
    }));
    ExpectEverywhere({"Order paper (done)"}, {&m_alice, &m_bob});
    ASSERT_NO_FATAL_FAILURE(CrashAt(m_bob, "write:.syncdata.ids", [&] {
        m_bob.Ok({"add", "Tasks", "--subject", "Book room"});
    }));
    ExpectEverywhere({"Book room", "Order paper (done)"}, {&m_alice, &m_bob});
}

// --- Personal Folders with change keys (alice) -------------------------------

TEST_F(CrashRecoveryTest, PersonalFoldersEditsSurviveAKillRightAfterThem) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    ASSERT_NO_FATAL_FAILURE(Seed({"Order paper", "Call Ann"}, {&m_alice}));
    ASSERT_NO_FATAL_FAILURE(KillRightAfter(m_alice, [&] {
        m_alice.Ok({"change", "Tasks", m_alice.Index("Tasks", "Order paper"), "--subject",
                    "Order paper (done)"});
    }));
    ExpectEverywhere({"Call Ann", "Order paper (done)"}, {&m_alice, &m_bob});
    ASSERT_NO_FATAL_FAILURE(KillRightAfter(m_alice, [&] {
        m_alice.Ok({"delete", "Tasks", m_alice.Index("Tasks", "Call Ann")});
    }));
    ExpectEverywhere({"Order paper (done)"}, {&m_alice, &m_bob});
}

// The first check after an edit of a change-key store only notes the new key
// (the edit goes out at the next check): killed between the two.
TEST_F(CrashRecoveryTest, PersonalFoldersEditSurvivesAKillBetweenItsTwoChecks) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    ASSERT_NO_FATAL_FAILURE(Seed({"Order paper"}, {&m_alice}));
    ASSERT_NO_FATAL_FAILURE(KillRightAfter(m_alice, [&] {
        m_alice.Ok({"change", "Tasks", "1", "--subject", "Order paper (done)"});
        ASSERT_TRUE(m_alice.WaitForLog("Quillmere_debug.log", "CHECK CHANGES::NO SEND", kRoadMs));
    }));
    ExpectEverywhere({"Order paper (done)"}, {&m_alice, &m_bob});
}

// Killed when the check that queued the edit (or the deletion pass that
// queued the notice) saves the change-key list.
TEST_F(CrashRecoveryTest, PersonalFoldersEditsSurviveAKillWhileTheListIsSaved) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    ASSERT_NO_FATAL_FAILURE(Seed({"Order paper", "Call Ann"}, {&m_alice}));
    ASSERT_NO_FATAL_FAILURE(CrashAt(m_alice, "write:.keys.ids", [&] {
        m_alice.Ok({"change", "Tasks", m_alice.Index("Tasks", "Order paper"), "--subject",
                    "Order paper (done)"});
    }));
    ExpectEverywhere({"Call Ann", "Order paper (done)"}, {&m_alice, &m_bob});
    ASSERT_NO_FATAL_FAILURE(CrashAt(m_alice, "write:.keys.ids", [&] {
        m_alice.Ok({"delete", "Tasks", m_alice.Index("Tasks", "Call Ann")});
    }));
    ExpectEverywhere({"Order paper (done)"}, {&m_alice, &m_bob});
}

// --- Import and Quit ------------------------------------------------------------

// The receiver is killed in the middle of importing a burst, at the tenth
// mail: each mail's item is written from the message file extracted for it
// ("sync.msg") and saved once, filled, then the mail is marked processed and
// deleted. (An item saved empty before it is filled would, cut there, reach
// every partner as an extra empty task.)
TEST_F(CrashRecoveryTest, ImportSurvivesAKillInTheMiddle) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    struct Case {
        const char* name;
        const char* point;
    };
    const std::vector<Case> cases = {
        {"before its item is made", "write:sync.msg#10>commit#1"},
        {"before its mail is marked processed", "write:sync.msg#10>commit#2"},
    };
    std::vector<std::string> expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> burst = Numbered(std::string("Import ") + c.name, 20);
        ASSERT_NO_FATAL_FAILURE(CrashAt(m_alice, c.point, [&] {
            for (const std::string& subject : burst)
                m_bob.Ok({"add", "Tasks", "--subject", subject});
        }));
        expected.insert(expected.end(), burst.begin(), burst.end());
        ExpectEverywhere(expected, {&m_alice, &m_bob});
    }
}

// Killed while Quit writes what is still queued.
TEST_F(CrashRecoveryTest, QueuedBurstSurvivesAKillDuringQuit) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    const std::vector<std::string> burst = Numbered("Quit", 30);
    ASSERT_NO_FATAL_FAILURE(AddBurst(burst));
    ASSERT_TRUE(m_bob.WaitForLogCount("Quillmere_debug.log", "Mail added2MailSenderList", 30));
    // Armed as Quit begins: the sender's own saves before it don't count.
    host::CommandResult r =
        m_bob.Process().Command({"quit", "--crash-at", "write:.mailsenddata.ids"});
    ASSERT_TRUE(r.ok) << r.text;
    bool killed = false;
    ASSERT_TRUE(m_bob.Process().WaitForEnd(kRoadMs, &killed)) << "Bob was not killed in Quit";
    ASSERT_TRUE(killed) << "Bob ended by itself";
    ASSERT_NO_FATAL_FAILURE(Restart(m_bob));
    ExpectEverywhere(burst, {&m_alice, &m_bob});
}

// An edit made just before Outlook quits leaves with the next run.
TEST_F(CrashRecoveryTest, EditRightBeforeQuitLeavesWithTheNextRun) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    ASSERT_NO_FATAL_FAILURE(Seed({"Order paper"}, {&m_alice}));
    m_alice.Ok({"change", "Tasks", "1", "--subject", "Order paper (done)"});
    ASSERT_EQ(m_alice.Stop(), 0);
    ASSERT_NO_FATAL_FAILURE(Restart(m_alice));
    ExpectEverywhere({"Order paper (done)"}, {&m_alice, &m_bob});
}

// --- Damaged state -------------------------------------------------------------

// bob's ICS state is damaged after an addition that no scan saw yet: the
// error log names the file, the folder is reset, and the addition is sent.
TEST_F(CrashRecoveryTest, DamagedExchangeStateIsReportedAndLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    ASSERT_NO_FATAL_FAILURE(Seed({"Order paper"}, {&m_alice}));
    struct Damage {
        const char* name;
        std::function<std::string(const std::string&)> apply;
    };
    const std::vector<Damage> damages = {
        {"garbled", [](const std::string& bytes) { return std::string(bytes.size(), 'x'); }},
        {"cut short", [](const std::string& bytes) { return bytes.substr(0, bytes.size() / 2); }},
    };
    std::vector<std::string> expected = {"Order paper"};
    for (const Damage& damage : damages) {
        const std::string subject = std::string("Added before damage, ") + damage.name;
        m_bob.Ok({"add", "Tasks", "--subject", subject});
        ASSERT_TRUE(m_bob.Process().Kill());
        std::string file = m_bob.StateFile(".syncdata.ids");
        ASSERT_FALSE(file.empty());
        WriteFile(file, damage.apply(ReadFile(file)));
        ASSERT_NO_FATAL_FAILURE(Restart(m_bob));
        expected.push_back(subject);
        std::sort(expected.begin(), expected.end());
        ExpectEverywhere(expected, {&m_alice, &m_bob});
        EXPECT_TRUE(
            m_bob.WaitForLog("Quillmere_error.log", fs::path(file).filename().string(), kRoadMs))
            << damage.name << ": " << m_bob.Log("Quillmere_error.log");
    }
}

// alice's change-key files are cut short or garbled after an edit that no
// check saw yet: the error log names the file and the edit is sent.
TEST_F(CrashRecoveryTest, DamagedChangeKeyFilesAreReportedAndLoseNothing) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    ASSERT_NO_FATAL_FAILURE(Seed({"Order paper", "Call Ann", "Book room"}, {&m_alice}));
    struct Damage {
        const char* suffix;
        std::function<std::string(const std::string&)> apply;
    };
    const std::vector<Damage> damages = {
        // The last line loses its end: the files no longer agree.
        {".keys.ids", [](const std::string& bytes) { return bytes.substr(0, bytes.size() - 2); }},
        // Every value unreadable.
        {".values.ids",
         [](const std::string& bytes) {
             std::string out = bytes;
             for (char& c : out)
                 if (c != '\r' && c != '\n')
                     c = '\x7f';
             return out;
         }},
    };
    std::vector<std::string> expected = {"Book room", "Call Ann", "Order paper"};
    for (const Damage& damage : damages) {
        const std::string before = expected.front();
        const std::string after = before + " +";
        // The list on disk is whole and holds no resend still to go; with the
        // add-in paused, no check can see the edit before the kill.
        ASSERT_TRUE(host::testing::WaitUntil(
            [&] { return SavedWithoutMarkers(m_alice, expected.size()); }, kRoadMs));
        std::string paused = m_alice.Ok({"tray", "--double-click"});
        ASSERT_NE(paused.find("double-clicked"), std::string::npos) << paused;
        m_alice.Ok({"change", "Tasks", m_alice.Index("Tasks", before), "--subject", after});
        ASSERT_TRUE(m_alice.Process().Kill());
        std::string file = m_alice.StateFile(damage.suffix);
        ASSERT_FALSE(file.empty()) << damage.suffix;
        WriteFile(file, damage.apply(ReadFile(file)));
        ASSERT_NO_FATAL_FAILURE(Restart(m_alice));
        expected.front() = after;
        std::sort(expected.begin(), expected.end());
        ExpectEverywhere(expected, {&m_alice, &m_bob});
        EXPECT_TRUE(
            m_alice.WaitForLog("Quillmere_error.log", fs::path(file).filename().string(), kRoadMs))
            << damage.suffix << ": " << m_alice.Log("Quillmere_error.log");
    }
}

// bob's registry hive is damaged while the add-in runs: the partners of the
// share can't be read, which the error log says, naming the key; the change
// waits in the queue instead of being dropped, and leaves once the hive is
// repaired. alice's change reaches bob meanwhile.
TEST_F(CrashRecoveryTest, RegistryHiveDamagedWhileRunningIsReportedAndLosesNothing) {
    ASSERT_NO_FATAL_FAILURE(ShareTasks({&m_alice, &m_bob}));
    ASSERT_NO_FATAL_FAILURE(Seed({"Order paper"}, {&m_alice}));
    const std::string hive = m_bob.Process().UserDirectory() + "/registry/HKEY_CURRENT_USER.reg";
    const std::string good = ReadFile(hive);
    // A hive file is UTF-16LE text; a key line without its bracket breaks it.
    std::string broken = "\xFF\xFE";
    for (char c : std::string("Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\r\n"))
        broken += std::string{c, '\0'};
    WriteFile(hive, broken);

    m_bob.Ok({"add", "Tasks", "--subject", "Added while damaged"});
    m_alice.Ok({"change", "Tasks", "1", "--subject", "Order paper (done)"});
    EXPECT_TRUE(m_bob.WaitForLog(
        "Quillmere_error.log",
        "registry unreadable, partners unknown: HKEY_CURRENT_USER\\Software\\Brindlecast", kRoadMs))
        << m_bob.Log("Quillmere_error.log");
    EXPECT_TRUE(m_bob.WaitForSubjects("Tasks", {"Added while damaged", "Order paper (done)"}));

    WriteFile(hive, good);
    ExpectEverywhere({"Added while damaged", "Order paper (done)"}, {&m_alice, &m_bob});
}

}  // namespace
