#include "platform/transport/Watcher.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "platform/transport/TransportTestSupport.h"
#include "platform/win/Clock.h"
#include "platform/win/VirtualClockTestSupport.h"

namespace transport {
namespace {

using testing::ListDir;

const MailAddress kAlice{L"Alice", L"alice@example.org"};

// Records what it is given; answers with a result chosen per test.
class FakeInbox {
public:
    FileCallback Callback() {
        return [this](const IncomingMessage& m) {
            std::lock_guard lock(m_mutex);
            m_seen.push_back(
                {m.address, m.fileName, m.content.props.GetText(mapi::PR_SUBJECT).value_or(L"")});
            return m_answer;
        };
    }
    void Answer(FileResult r) {
        std::lock_guard lock(m_mutex);
        m_answer = r;
    }
    struct Seen {
        std::wstring address;
        std::string fileName;
        std::wstring subject;
    };
    std::vector<Seen> SeenSoFar() {
        std::lock_guard lock(m_mutex);
        return m_seen;
    }

private:
    std::mutex m_mutex;
    std::vector<Seen> m_seen;
    FileResult m_answer = FileResult::kFiled;
};

class WatcherTest : public ::testing::Test {
protected:
    testing::TempDir m_dir;
    PostOffice m_office{m_dir.Path() + "/po"};
    FakeInbox m_inbox;

    std::string Maildir(const std::string& a) { return m_office.Root() + "/" + a; }

    void Send(const std::wstring& subject, std::vector<std::wstring> to) {
        mapi::MessageContent m = testing::SyncLikeMail();
        m.props.Set(mapi::PR_SUBJECT, mapi::PropValue::Unicode(subject));
        m.recipients.clear();
        for (const std::wstring& a : to) {
            m.recipients.push_back(testing::Recipient(mapi::MAPI_TO, a, a));
        }
        SubmitResult result;
        ASSERT_EQ(m_office.Submit(m, kAlice, &result), S_OK);
    }
};

TEST_F(WatcherTest, EachMessageIsFiledExactlyOnceAndMovesToCur) {
    Send(L"one", {L"bob@example.org", L"carol@example.org"});
    Send(L"two", {L"bob@example.org"});
    Watcher watcher(m_office, {L"bob@example.org", L"Carol@example.org"}, m_inbox.Callback());
    EXPECT_EQ(watcher.Poll(), 3);
    EXPECT_EQ(watcher.Poll(), 0);
    auto seen = m_inbox.SeenSoFar();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].address, L"bob@example.org");
    EXPECT_EQ(seen[0].subject, L"one") << "delivery order";
    EXPECT_EQ(seen[1].subject, L"two");
    EXPECT_EQ(seen[2].address, L"Carol@example.org");
    EXPECT_TRUE(ListDir(Maildir("bob@example.org") + "/new").empty());
    std::vector<std::string> cur = ListDir(Maildir("bob@example.org") + "/cur");
    ASSERT_EQ(cur.size(), 2u);
    EXPECT_EQ(cur[0], seen[0].fileName + ":2,");
    EXPECT_EQ(watcher.Counts().filed, 3);
}

TEST_F(WatcherTest, GarbageGoesToQuarantineWithALogLineAndStays) {
    std::string dir;
    ASSERT_EQ(m_office.EnsureMaildir(L"bob@example.org", &dir), S_OK);
    mapi::Bytes noise = testing::RandomBytes(1, 3000);
    testing::WriteFile(dir + "/new/1.garbage", std::string(noise.begin(), noise.end()));
    testing::WriteFile(dir + "/new/2.nofrom", "Subject: x\r\n\r\nbody");
    Send(L"good", {L"bob@example.org"});
    Watcher watcher(m_office, {L"bob@example.org"}, m_inbox.Callback());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(watcher.Poll(), 1);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("quarantined " + dir +
                       "/quarantine/1.garbage: header line 1 is not a header field"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("quarantine/2.nofrom: no From header field"), std::string::npos) << log;
    ASSERT_EQ(m_inbox.SeenSoFar().size(), 1u) << "the callback never sees garbage";
    EXPECT_EQ(ListDir(dir + "/quarantine"), (std::vector<std::string>{"1.garbage", "2.nofrom"}));
    EXPECT_EQ(testing::ReadFile(dir + "/quarantine/1.garbage"),
              std::string(noise.begin(), noise.end()));
    watcher.Poll();
    EXPECT_EQ(ListDir(dir + "/quarantine").size(), 2u) << "kept for good";
    EXPECT_EQ(watcher.Counts().quarantined, 2);
}

TEST_F(WatcherTest, FailedFilingIsOfferedAgainAndRejectedIsQuarantined) {
    Send(L"retry me", {L"bob@example.org"});
    Watcher watcher(m_office, {L"bob@example.org"}, m_inbox.Callback());
    m_inbox.Answer(FileResult::kFailed);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(watcher.Poll(), 0);
    EXPECT_EQ(watcher.Poll(), 0);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(log.find("could not file"), log.rfind("could not file")) << "logged once: " << log;
    EXPECT_EQ(ListDir(Maildir("bob@example.org") + "/new").size(), 1u);
    m_inbox.Answer(FileResult::kFiled);
    EXPECT_EQ(watcher.Poll(), 1);
    EXPECT_EQ(m_inbox.SeenSoFar().size(), 3u);

    Send(L"refused", {L"bob@example.org"});
    m_inbox.Answer(FileResult::kRejected);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(watcher.Poll(), 0);
    log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("refused by the receiver"), std::string::npos);
    EXPECT_EQ(ListDir(Maildir("bob@example.org") + "/quarantine").size(), 1u);
    EXPECT_TRUE(ListDir(Maildir("bob@example.org") + "/new").empty());
}

TEST_F(WatcherTest, LinksInNewAreQuarantinedUnread) {
    std::string dir;
    ASSERT_EQ(m_office.EnsureMaildir(L"bob@example.org", &dir), S_OK);
    std::string secret = m_dir.Path() + "/secret";
    const std::string content = "From: a@b\r\nSubject: private\r\n\r\nkey";
    testing::WriteFile(secret, content);
    ASSERT_EQ(symlink(secret.c_str(), (dir + "/new/link").c_str()), 0);
    Watcher watcher(m_office, {L"bob@example.org"}, m_inbox.Callback());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(watcher.Poll(), 0);
    std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(log.find("not a regular file"), std::string::npos) << log;
    EXPECT_TRUE(m_inbox.SeenSoFar().empty());
    EXPECT_EQ(ListDir(dir + "/quarantine"), std::vector<std::string>{"link"});
    EXPECT_EQ(testing::ReadFile(secret), content) << "the target is untouched";
}

TEST_F(WatcherTest, UnsafeWatchedAddressIsSkippedWithALogLine) {
    Watcher watcher(m_office, {L"../../x@y", L"bob@example.org"}, m_inbox.Callback());
    Send(L"hi", {L"bob@example.org"});
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(watcher.Poll(), 1);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("not watching ../../x@y"),
              std::string::npos);
}

TEST_F(WatcherTest, TwoWatchersOfOneAddressNeverFileTwice) {
    for (int i = 0; i < 30; ++i) {
        Send(L"m" + std::to_wstring(i), {L"bob@example.org"});
    }
    FakeInbox other;
    Watcher a(m_office, {L"bob@example.org"}, m_inbox.Callback());
    Watcher b(m_office, {L"bob@example.org"}, other.Callback());
    std::thread ta([&] {
        for (int i = 0; i < 20; ++i) {
            a.Poll();
        }
    });
    std::thread tb([&] {
        for (int i = 0; i < 20; ++i) {
            b.Poll();
        }
    });
    ta.join();
    tb.join();
    std::map<std::string, int> count;
    for (const auto& s : m_inbox.SeenSoFar()) {
        ++count[s.fileName];
    }
    for (const auto& s : other.SeenSoFar()) {
        ++count[s.fileName];
    }
    EXPECT_EQ(count.size(), 30u);
    for (const auto& [name, n] : count) {
        EXPECT_EQ(n, 1) << name;
    }
}

// On the virtual clock: the polls come exactly at the period's ends.
TEST_F(WatcherTest, PollingThreadFollowsThePlatformClock) {
    win::testing::VirtualClock clock;
    auto seen = [&](std::size_t n) {
        return win::WaitForCondition([&] { return m_inbox.SeenSoFar().size() == n; }, 3600000);
    };
    Watcher watcher(m_office, {L"bob@example.org"}, m_inbox.Callback());
    const ULONGLONG start = win::NowPlatformMs();
    ASSERT_EQ(watcher.Start(600000), S_OK);  // ten platform minutes
    EXPECT_EQ(watcher.Start(600000), E_UNEXPECTED);
    ASSERT_TRUE(win::WaitForCondition(
        [&] { return ListDir(Maildir("bob@example.org")).size() >= 4; }, 1000))
        << "the first poll makes the Maildir";
    EXPECT_EQ(win::NowPlatformMs(), start) << "the first poll runs at once";
    Send(L"later", {L"bob@example.org"});
    ASSERT_TRUE(seen(1));
    EXPECT_EQ(win::NowPlatformMs() - start, 600000u) << "at the period's end, not before";
    Send(L"woken", {L"bob@example.org"});
    const ULONGLONG woken = win::NowPlatformMs();
    watcher.Wake();
    ASSERT_TRUE(seen(2));
    EXPECT_EQ(win::NowPlatformMs(), woken) << "Wake polls at once";
    watcher.Stop();

    ASSERT_EQ(watcher.Start(1000), S_OK);
    const ULONGLONG restarted = win::NowPlatformMs();
    Sleep(500);
    Send(L"soon", {L"bob@example.org"});
    ASSERT_TRUE(seen(3));
    EXPECT_EQ(win::NowPlatformMs() - restarted, 1000u);
    watcher.Stop();
    Send(L"after stop", {L"bob@example.org"});
    Sleep(10000);
    EXPECT_EQ(m_inbox.SeenSoFar().size(), 3u) << "no callback after Stop";
    EXPECT_EQ(ListDir(Maildir("bob@example.org") + "/new").size(), 1u);
}

}  // namespace
}  // namespace transport
