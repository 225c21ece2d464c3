#include "platform/transport/PostOffice.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <set>
#include <thread>

#include "platform/transport/MimeParser.h"
#include "platform/transport/TransportTestSupport.h"
#include "platform/win/Text.h"

namespace transport {
namespace {

using testing::ListDir;
using testing::ReadFile;

const MailAddress kAlice{L"Alice", L"alice@example.org"};

class PostOfficeTest : public ::testing::Test {
protected:
    testing::TempDir m_dir;
    PostOffice m_office{m_dir.Path() + "/po"};

    std::string Maildir(const std::string& address) { return m_office.Root() + "/" + address; }
};

TEST_F(PostOfficeTest, UnsafeAddressesAreRefused) {
    const std::wstring refused[] = {
        L"",
        L"../../etc@x",
        L"a/b@example.org",
        L"a\\b@example.org",
        std::wstring(L"a\0b@example.org", 15),
        L".hidden@example.org",
        L"a..b@example.org",
        L"x@..",
        L"nobody",
        L"@example.org",
        L"user@",
        L"a b@example.org",
        L"a\tb@example.org",
        L"a\nb@example.org",
        L"a:b@example.org",
        L"<a@example.org>",
        L"a@b@c;d",
        std::wstring(250, L'a') + L"@x.org",
    };
    for (const std::wstring& address : refused) {
        std::string dir;
        std::string error;
        EXPECT_EQ(m_office.MaildirOf(address, &dir, &error), E_INVALIDARG) << win::ToUtf8(address);
        EXPECT_FALSE(error.empty());
        std::vector<DeliveryResult> results;
        EXPECT_EQ(m_office.Deliver("From: a@b\r\n\r\nx", {address}, &results), E_INVALIDARG);
    }
    EXPECT_TRUE(ListDir(m_office.Root()).empty()) << "nothing was created for them";
}

TEST_F(PostOfficeTest, AddressesNameLowerCaseMaildirs) {
    std::string dir;
    ASSERT_EQ(m_office.MaildirOf(L"Alice.Adler@Example.ORG", &dir), S_OK);
    EXPECT_EQ(dir, m_office.Root() + "/alice.adler@example.org");
    ASSERT_EQ(m_office.MaildirOf(L"J\u00DCRGEN@example.de", &dir), S_OK);
    EXPECT_EQ(dir, m_office.Root() + "/j\xC3\xBCrgen@example.de");
    ASSERT_EQ(m_office.EnsureMaildir(L"Bob@Example.org", &dir), S_OK);
    EXPECT_EQ(ListDir(dir), (std::vector<std::string>{"cur", "new", "quarantine", "tmp"}));
}

TEST_F(PostOfficeTest, DeliversOneWholeCopyToEachMaildir) {
    std::string message = "From: a@example.org\r\nSubject: s\r\n\r\nbody\r\n";
    std::vector<DeliveryResult> results;
    ASSERT_EQ(
        m_office.Deliver(message, {L"Bob@example.org", L"carol@example.org", L"BOB@EXAMPLE.ORG"},
                         &results),
        S_OK);
    ASSERT_EQ(results.size(), 2u) << "one copy per address, whatever its case";
    for (const char* address : {"bob@example.org", "carol@example.org"}) {
        EXPECT_TRUE(ListDir(Maildir(address) + "/tmp").empty());
        std::vector<std::string> names = ListDir(Maildir(address) + "/new");
        ASSERT_EQ(names.size(), 1u);
        std::string bytes = ReadFile(Maildir(address) + "/new/" + names[0]);
        EXPECT_EQ(bytes.rfind("Delivered-To: " + std::string(address) + "\r\nReceived: ", 0), 0u);
        EXPECT_EQ(bytes.substr(bytes.size() - message.size()), message);
    }
    EXPECT_EQ(results[0].path, Maildir("bob@example.org") + "/new/" +
                                   ListDir(Maildir("bob@example.org") + "/new")[0]);
    EXPECT_NE(results[0].path.substr(results[0].path.rfind('/')),
              results[1].path.substr(results[1].path.rfind('/')))
        << "every delivery has its own name";
}

TEST_F(PostOfficeTest, OneBadAddressDoesNotStopTheOthers) {
    std::vector<DeliveryResult> results;
    EXPECT_EQ(m_office.Deliver("From: a@b\r\n\r\nx", {L"../evil@x", L"good@example.org"}, &results),
              E_INVALIDARG);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].hr, E_INVALIDARG);
    EXPECT_TRUE(results[0].path.empty());
    EXPECT_EQ(results[1].hr, S_OK);
    EXPECT_EQ(ListDir(Maildir("good@example.org") + "/new").size(), 1u);
    EXPECT_EQ(m_office.Deliver("x", {}, &results), MAPI_E_NO_RECIPIENTS);
}

TEST_F(PostOfficeTest, BrokenMaildirIsReportedNotHidden) {
    std::string dir;
    ASSERT_EQ(m_office.EnsureMaildir(L"broken@example.org", &dir), S_OK);
    ASSERT_EQ(rmdir((dir + "/tmp").c_str()), 0);
    testing::WriteFile(dir + "/tmp", "not a directory");
    std::vector<DeliveryResult> results;
    EXPECT_TRUE(FAILED(m_office.Deliver("From: a@b\r\n\r\nx", {L"broken@example.org"}, &results)));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_TRUE(FAILED(results[0].hr));
    EXPECT_NE(results[0].error.find("tmp"), std::string::npos) << results[0].error;
    EXPECT_TRUE(ListDir(dir + "/new").empty());
}

TEST_F(PostOfficeTest, SubmitExpandsToCcAndBccAndKeepsBccOffTheWire) {
    mapi::MessageContent m = testing::SyncLikeMail();
    m.recipients.push_back(testing::Recipient(mapi::MAPI_CC, L"Carol", L"carol@example.org"));
    m.recipients.push_back(testing::Recipient(mapi::MAPI_BCC, L"Eve", L"Eve@Example.org"));
    m.recipients.push_back(testing::Recipient(mapi::MAPI_CC, L"Bob again", L"BOB@example.org"));
    SubmitResult result;
    ASSERT_EQ(m_office.Submit(m, kAlice, &result), S_OK);
    ASSERT_EQ(result.recipients.size(), 3u);
    EXPECT_TRUE(result.keepSentCopy);
    EXPECT_NE(result.submitTime, 0u);
    for (const char* address : {"bob@example.org", "carol@example.org", "eve@example.org"}) {
        std::vector<std::string> names = ListDir(Maildir(address) + "/new");
        ASSERT_EQ(names.size(), 1u) << address;
        std::string bytes = ReadFile(Maildir(address) + "/new/" + names[0]);
        std::string headers = bytes.substr(0, bytes.find("\r\n\r\n"));
        EXPECT_EQ(headers.find("Eve"), std::string::npos) << "no Bcc field in any copy";
        mapi::MessageContent got;
        ASSERT_EQ(ParseMime(bytes, ParseOptions{}, &got), S_OK);
        EXPECT_EQ(got.props.GetText(mapi::PR_BODY), m.props.GetText(mapi::PR_BODY));
        EXPECT_EQ(got.props.GetText(mapi::PR_INTERNET_MESSAGE_ID), win::FromUtf8(result.messageId));
        EXPECT_EQ(got.props.GetInteger(mapi::PR_CLIENT_SUBMIT_TIME),
                  static_cast<LONGLONG>(result.submitTime / 10000000 * 10000000));
        EXPECT_EQ(got.props.GetText(mapi::PR_SENDER_EMAIL_ADDRESS), L"alice@example.org");
        EXPECT_EQ(got.attachments.at(0).data, m.attachments[0].data);
    }
}

TEST_F(PostOfficeTest, SubmitHonoursDeleteAfterSubmitAndNeedsRecipients) {
    mapi::MessageContent m = testing::SyncLikeMail();
    m.props.Set(mapi::PR_DELETE_AFTER_SUBMIT, mapi::PropValue::Boolean(true));
    SubmitResult result;
    ASSERT_EQ(m_office.Submit(m, kAlice, &result), S_OK);
    EXPECT_FALSE(result.keepSentCopy);

    m.recipients.clear();
    EXPECT_EQ(m_office.Submit(m, kAlice, &result), MAPI_E_NO_RECIPIENTS);
    EXPECT_TRUE(result.recipients.empty());
    EXPECT_EQ(m_office.Submit(testing::SyncLikeMail(), MailAddress{}, &result),
              MAPI_E_INVALID_PARAMETER)
        << "no sender, nothing delivered";
    EXPECT_EQ(ListDir(Maildir("bob@example.org") + "/new").size(), 1u);
}

// A reader that lists new/ while large messages are delivered never sees a
// file that is not whole.
TEST_F(PostOfficeTest, ReadersNeverSeeHalfMessages) {
    std::string message = "From: a@example.org\r\n\r\n" + std::string(512 * 1024, 'm');
    std::string dir;
    ASSERT_EQ(m_office.EnsureMaildir(L"big@example.org", &dir), S_OK);
    std::atomic<bool> done{false};
    std::atomic<int> checks{0};
    std::atomic<int> partial{0};
    // The reader lists new/ once more after the last delivery, so it has
    // looked at every message at least once however the threads ran.
    std::thread reader([&] {
        for (bool last = false; !last;) {
            last = done;
            for (const std::string& name : ListDir(dir + "/new")) {
                std::string bytes = ReadFile(dir + "/new/" + name);
                if (bytes.size() < message.size() ||
                    bytes.compare(bytes.size() - message.size(), message.size(), message) != 0) {
                    ++partial;
                }
                ++checks;
            }
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                std::vector<DeliveryResult> results;
                EXPECT_EQ(m_office.Deliver(message, {L"big@example.org"}, &results), S_OK);
            }
        });
    }
    for (auto& t : writers) {
        t.join();
    }
    done = true;
    reader.join();
    EXPECT_EQ(partial, 0);
    EXPECT_GE(checks, 20);
    EXPECT_EQ(ListDir(dir + "/new").size(), 20u) << "concurrent deliveries never collide";
    EXPECT_TRUE(ListDir(dir + "/tmp").empty());
}

TEST(MaildirName, UniqueAndInDeliveryOrder) {
    std::set<std::string> names;
    std::string previous;
    for (int i = 0; i < 1000; ++i) {
        std::string name = NewMaildirName();
        EXPECT_EQ(name.find('/'), std::string::npos);
        EXPECT_GE(name, previous);
        previous = name;
        names.insert(name);
    }
    EXPECT_EQ(names.size(), 1000u);
}

}  // namespace
}  // namespace transport
