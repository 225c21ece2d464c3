// The whole road of a change, as users see it: several users, each with a
// stand-in Outlook process that has the Quillmere add-in installed, on one
// post office. They share a folder through the add-in's folder Properties
// page and then work in it; their partners' folders follow.
//
// Every process runs the real add-in module with its own threads; the test
// only acts as the users (outlook-host commands) and looks at folders, the
// post office and the add-ins' logs. Waits are bounded in platform time; the
// clock runs at the scale the test is registered with.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "host/HostProcess.h"
#include "host/HostTestSupport.h"
#include "host/SyncUserTestSupport.h"

namespace {

namespace fs = std::filesystem;
using host::testing::CountOccurrences;
using host::testing::kRoadMs;
using host::testing::ReadFile;
using host::testing::SyncUser;

class SyncRoadTest : public host::testing::SyncUsersTest {
protected:
    // alice and bob started, sharing their Tasks as "Team" with each other
    // under the passwords given, and both tracking.
    void StartSharingTasks(const char* alicePassword, const char* bobPassword) {
        ASSERT_NO_FATAL_FAILURE(Start(m_alice));
        ASSERT_NO_FATAL_FAILURE(Start(m_bob));
        m_alice.Share("Tasks", "Team", alicePassword, "bob@example.org");
        m_bob.Share("Tasks", "Team", bobPassword, "alice@example.org");
        ASSERT_NO_FATAL_FAILURE(m_alice.WaitUntilTracking());
        ASSERT_NO_FATAL_FAILURE(m_bob.WaitUntilTracking());
    }
    // The post office's copies of what reached address.
    std::vector<std::string> Delivered(const std::string& address) {
        std::vector<std::string> mails;
        std::error_code ec;
        for (const char* box : {"new", "cur"})
            for (const auto& e :
                 fs::directory_iterator(m_postOffice + "/" + address + "/" + box, ec))
                mails.push_back(ReadFile(e.path().string()));
        return mails;
    }
};

// Exchange to personal folders and back: a new task, its change and its
// deletion each reach the partner; the sync mails are encrypted cabinets and
// leave nothing behind in the receiver's inbox.
TEST_F(SyncRoadTest, NewChangedAndDeletedTasksReachThePartner) {
    ASSERT_NO_FATAL_FAILURE(StartSharingTasks("s3cret", "s3cret"));

    m_bob.Ok({"add", "Tasks", "--subject", "Order printer paper", "--body", "Two boxes, A4."});
    ASSERT_TRUE(m_alice.WaitFor({"list", "Tasks"}, "Order printer paper"));
    std::string shown = m_alice.Ok({"show", "Tasks", "1"});
    EXPECT_NE(shown.find("Class: IPM.Task"), std::string::npos) << shown;
    EXPECT_NE(shown.find("Two boxes, A4."), std::string::npos) << shown;
    // What crossed the post office: a marked mail with the encrypted cabinet.
    std::vector<std::string> mails = Delivered("alice@example.org");
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_NE(mails[0].find("Subject: >-Quillmere-<"), std::string::npos);
    EXPECT_NE(mails[0].find("filename=\"sync.zuf\""), std::string::npos);
    EXPECT_NE(mails[0].find("Q1JZU"), std::string::npos) << "cabinet not encrypted (\"CRYP\")";
    EXPECT_EQ(mails[0].find("Two boxes"), std::string::npos) << "item text travelled in clear";
    // Processed sync mails are gone from the receiver's folders.
    EXPECT_TRUE(m_alice.WaitFor({"list", "Quillmere"}, ">-Quillmere-<", true));
    EXPECT_EQ(m_alice.Ok({"list", "Inbox"}), "");

    // alice's folder check takes the import as known before she edits (an
    // edit within the same second would be taken for the import's own write).
    ASSERT_TRUE(
        m_alice.WaitForLog("Quillmere_debug.log", "NEWITEM is updated with normal ID", kRoadMs));
    m_alice.Ok({"change", "Tasks", "1", "--subject", "Order printer paper (done)"});
    ASSERT_TRUE(m_bob.WaitFor({"list", "Tasks"}, "Order printer paper (done)"));
    EXPECT_EQ(host::testing::CountOccurrences(m_bob.Ok({"list", "Tasks"}), "Order printer paper"),
              1);

    m_bob.Ok({"delete", "Tasks", "1"});
    ASSERT_TRUE(m_alice.WaitFor({"list", "Tasks"}, "Order printer paper", true));
    // Neither side sent anyone's own import back: bob's folder holds one
    // deleted task and nothing came back.
    EXPECT_EQ(m_bob.Ok({"list", "Tasks"}), "");
}

// An item created in a folder reaches the partner without a later edit, from
// personal folders (a store with change keys, where a new item waits one
// check) and from Exchange, once each and without coming back.
TEST_F(SyncRoadTest, CreatedItemsTravelOnceFromBothStoreKinds) {
    ASSERT_NO_FATAL_FAILURE(StartSharingTasks("s3cret", "s3cret"));

    m_alice.Ok({"add", "Tasks", "--subject", "Call the printer shop"});
    ASSERT_TRUE(m_bob.WaitFor({"list", "Tasks"}, "Call the printer shop"))
        << m_alice.Ok({"list", "Tasks"});
    m_bob.Ok({"add", "Tasks", "--subject", "Book the meeting room"});
    ASSERT_TRUE(m_alice.WaitFor({"list", "Tasks"}, "Book the meeting room"));

    // A last change from each side travels behind any echo of the imports.
    ASSERT_TRUE(
        m_alice.WaitForLog("Quillmere_debug.log", "NEWITEM is updated with normal ID", kRoadMs));
    ASSERT_NE(m_alice.Ok({"show", "Tasks", "1"}).find("Call the printer shop"), std::string::npos);
    m_alice.Ok({"change", "Tasks", "1", "--subject", "Call the printer shop (toner)"});
    ASSERT_TRUE(m_bob.WaitFor({"list", "Tasks"}, "Call the printer shop (toner)"));
    EXPECT_EQ(Delivered("bob@example.org").size(), 2u);
    EXPECT_EQ(Delivered("alice@example.org").size(), 1u);
    for (SyncUser* user : {&m_alice, &m_bob}) {
        const std::string list = user->Ok({"list", "Tasks"});
        EXPECT_EQ(host::testing::CountOccurrences(list, "Call the printer shop"), 1) << list;
        EXPECT_EQ(host::testing::CountOccurrences(list, "Book the meeting room"), 1) << list;
    }
}

// A burst of changes leaves as packet mails and every item arrives once; the
// partners of a share may be several.
TEST_F(SyncRoadTest, BurstTravelsAsPacketMailsToEveryPartner) {
    ASSERT_NO_FATAL_FAILURE(Start(m_alice));
    ASSERT_NO_FATAL_FAILURE(Start(m_bob));
    ASSERT_NO_FATAL_FAILURE(Start(m_carol));
    m_bob.Share("Calendar", "Office", "", "alice@example.org;carol@example.org");
    m_alice.Share("Calendar", "Office", "", "bob@example.org");
    m_carol.Share("Calendar", "Office", "", "bob@example.org");
    ASSERT_NO_FATAL_FAILURE(m_bob.WaitUntilTracking());
    ASSERT_NO_FATAL_FAILURE(m_alice.WaitUntilTracking());
    ASSERT_NO_FATAL_FAILURE(m_carol.WaitUntilTracking());

    constexpr int kItems = 14;
    for (int i = 1; i <= kItems; ++i)
        m_bob.Ok({"add", "Calendar", "--subject", "Shift " + std::to_string(i), "--class",
                  "IPM.Appointment"});
    for (SyncUser* partner : {&m_alice, &m_carol}) {
        ASSERT_TRUE(host::WaitUntil(
            [&] {
                return host::testing::CountOccurrences(partner->Ok({"list", "Calendar"}),
                                                       "\tShift ") == kItems;
            },
            kRoadMs))
            << partner->Name() << ": " << partner->Ok({"list", "Calendar"});
        std::string shown = partner->Ok({"show", "Calendar", "1"});
        EXPECT_NE(shown.find("Class: IPM.Appointment"), std::string::npos) << shown;
    }
    std::string sent = m_bob.Ok({"list", "Sent Items"});
    EXPECT_NE(sent.find("QMRX$BASICSYNCPACKET:"), std::string::npos) << sent;
    EXPECT_NE(m_bob.Log("Quillmere_debug.log").find("sendPackedBasicSyncMSG"), std::string::npos);

    // The partners hold each item once, and nothing travelled back to bob.
    EXPECT_EQ(host::testing::CountOccurrences(m_bob.Ok({"list", "Calendar"}), "\tShift "), kItems);
    EXPECT_TRUE(Delivered("bob@example.org").empty());
}

// A folder shared with its items: the basic synchronisation, confirmed in
// its question, sends what the folder held, and the partner gets each item.
TEST_F(SyncRoadTest, BasicSynchronisationSendsTheWholeFolder) {
    ASSERT_NO_FATAL_FAILURE(Start(m_alice));
    ASSERT_NO_FATAL_FAILURE(Start(m_bob));
    const std::vector<std::string> names = {"Ann Archer", "Ben Baker", "Cleo Cole"};
    for (const std::string& name : names)
        m_alice.Ok({"add", "Contacts", "--subject", name, "--class", "IPM.Contact"});
    m_bob.Share("Contacts", "Friends", "pw", "alice@example.org");
    ASSERT_NO_FATAL_FAILURE(m_bob.WaitUntilTracking());

    std::string answer =
        m_alice.Ok({"props", "Contacts", "--set", "used=1", "--set", "ShareName=Friends", "--set",
                    "Password=pw", "--set", "Users=bob@example.org", "--set", "BASICSYNC=1",
                    "--apply", "--answer", "ok"});
    EXPECT_NE(answer.find("answered \"Basic synchronization:Contacts\""), std::string::npos)
        << answer;
    // An arriving item is saved empty before its content is imported into
    // it: the folder is complete when every name is there.
    auto complete = [&](const std::string& contacts) {
        for (const std::string& name : names)
            if (contacts.find("\t" + name + "\t") == std::string::npos)
                return false;
        return true;
    };
    ASSERT_TRUE(host::WaitUntil(
        [&] {
            return complete(m_bob.Ok({"list", "Contacts"}));
        },
        kRoadMs))
        << m_bob.Ok({"list", "Contacts"});
    EXPECT_EQ(host::testing::CountOccurrences(m_bob.Ok({"list", "Contacts"}), "\n"), 3);
}

// A meeting request travels like an appointment while meetings are not left
// out, but a deletion never removes a meeting on the partner's side: the
// appointment goes, the meeting request stays.
TEST_F(SyncRoadTest, DeletionNoticeRemovesTheAppointmentButNeverTheMeeting) {
    ASSERT_NO_FATAL_FAILURE(Start(m_alice));
    ASSERT_NO_FATAL_FAILURE(Start(m_bob));
    std::string answer =
        m_bob.Ok({"props", "Calendar", "--set", "used=1", "--set", "ShareName=Office", "--set",
                  "Users=alice@example.org", "--set", "DONT_SYNC_BSP_ITEMS=0", "--apply"});
    EXPECT_NE(answer.find("applied"), std::string::npos) << answer;
    m_alice.Share("Calendar", "Office", "", "bob@example.org");
    ASSERT_NO_FATAL_FAILURE(m_bob.WaitUntilTracking());
    ASSERT_NO_FATAL_FAILURE(m_alice.WaitUntilTracking());

    m_bob.Ok({"add", "Calendar", "--subject", "Standup", "--class", "IPM.Appointment"});
    m_bob.Ok({"add", "Calendar", "--subject", "Board meeting", "--class",
              "IPM.Schedule.Meeting.Request"});
    ASSERT_TRUE(host::WaitUntil(
        [&] {
            std::string calendar = m_alice.Ok({"list", "Calendar"});
            return calendar.find("\tStandup\t") != std::string::npos &&
                   calendar.find("\tBoard meeting\t") != std::string::npos;
        },
        kRoadMs))
        << m_alice.Ok({"list", "Calendar"});

    m_bob.Ok({"delete", "Calendar", "1"});
    m_bob.Ok({"delete", "Calendar", "1"});
    EXPECT_EQ(m_bob.Ok({"list", "Calendar"}), "");
    ASSERT_TRUE(m_alice.WaitFor({"list", "Calendar"}, "\tStandup\t", true));
    ASSERT_TRUE(m_alice.WaitForLog("Quillmere_debug.log", "pSI::Don't Delete Meetings!", kRoadMs));
    // Both notices were processed, not left failed.
    ASSERT_TRUE(m_alice.WaitFor({"list", "Quillmere"}, ">-Quillmere-<", true))
        << m_alice.Ok({"list", "Quillmere"});
    std::string calendar = m_alice.Ok({"list", "Calendar"});
    EXPECT_EQ(CountOccurrences(calendar, "\tBoard meeting\t"), 1) << calendar;
    EXPECT_EQ(CountOccurrences(calendar, "\n"), 1) << calendar;
}

// A partner with another password cannot open the cabinet: the mail is
// marked as failed once and the folder stays as it was.
TEST_F(SyncRoadTest, MailUnderAnotherPasswordIsMarkedFailedAndNotApplied) {
    ASSERT_NO_FATAL_FAILURE(StartSharingTasks("right", "wrong"));

    m_bob.Ok({"add", "Tasks", "--subject", "Secret plan"});
    ASSERT_TRUE(m_alice.WaitFor({"list", "Quillmere"}, " ERROR:"))
        << m_alice.Ok({"list", "Quillmere"}) << m_alice.Log("Quillmere_error.log");
    EXPECT_EQ(m_alice.Ok({"list", "Tasks"}), "");
    EXPECT_EQ(host::testing::CountOccurrences(m_alice.Ok({"list", "Quillmere"}), " ERROR:"), 1);
}

}  // namespace
