#include "host/ControlSocket.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "host/HostTestSupport.h"
#include "platform/win/Clock.h"

namespace host::testing {
namespace {

// Sends raw bytes, after pause (real time) from the connect, and reads the
// whole answer.
std::string Raw(const std::string& userDir, const std::string& bytes,
                std::chrono::milliseconds pause = std::chrono::milliseconds(0)) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = ControlSocketPath(userDir);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return "no connection";
    }
    std::this_thread::sleep_for(pause);
    (void)!::send(fd, bytes.data(), bytes.size(),
                  MSG_NOSIGNAL);  // a dropped client fails, not dies
    ::shutdown(fd, SHUT_WR);
    std::string answer;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        answer.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return answer;
}

class ControlSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_EQ(m_server.Start(
                      m_root.Path(),
                      [this](const std::vector<std::string>& args) {
                          m_seen.push_back(args);
                          return CommandResult{args.size() != 2,
                                               "args " + std::to_string(args.size()) + "\n"};
                      },
                      &error),
                  S_OK)
            << error;
    }
    TempRoot m_root;
    ControlServer m_server;
    std::vector<std::vector<std::string>> m_seen;
};

TEST_F(ControlSocketTest, ArgumentsArriveWholeAndTheAnswerCarriesItsStatus) {
    CommandResult r;
    std::string error;
    std::string body("line one\nline two\0with a NUL", 28);
    ASSERT_EQ(SendCommand(m_root.Path(), {"add", "Inbox", "--body", body, ""}, &r, &error), S_OK)
        << error;
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.text, "args 5\n");
    ASSERT_EQ(m_seen.size(), 1u);
    EXPECT_EQ(m_seen[0], (std::vector<std::string>{"add", "Inbox", "--body", body, ""}));
    ASSERT_EQ(SendCommand(m_root.Path(), {"show", "x"}, &r, &error), S_OK);
    EXPECT_FALSE(r.ok);
}

TEST_F(ControlSocketTest, MalformedRequestsAreRefusedWithoutReachingTheHandler) {
    const char* cases[] = {
        "",                     // nothing
        "x\n",                  // no count
        "2\n3\nabc",            // an argument missing
        "1\n9\nabc",            // an argument cut short
        "1001\n",               // too many arguments
        "1\n99999999999999\n",  // a size beyond any limit
        "1\n-1\n",              // a sign
    };
    for (const char* c : cases)
        EXPECT_EQ(Raw(m_root.Path(), c), "1\nmalformed request\n") << c;
    EXPECT_TRUE(m_seen.empty());
    EXPECT_EQ(Raw(m_root.Path(), "1\n4\nlist"), "0\nargs 1\n");
}

// A loaded machine can hold a client between its connect and its request for
// longer than the scaled silence limit: such a client is still served.
TEST_F(ControlSocketTest, AClientHeldBackBeforeItsRequestIsStillServedAtAFastClock) {
    const double scale = win::TimeScale();
    win::SetTimeScaleForTesting(1000);  // the 10 s silence limit: 10 ms real
    std::string answer = Raw(m_root.Path(), "1\n4\nlist", std::chrono::milliseconds(300));
    win::SetTimeScaleForTesting(scale);
    EXPECT_EQ(answer, "0\nargs 1\n");
}

TEST_F(ControlSocketTest, UserDirectoryIsHeldByOneHostAtATime) {
    std::unique_ptr<UserDirectoryLock> first, second;
    std::string error;
    ASSERT_EQ(UserDirectoryLock::Acquire(m_root.Path(), &first, &error), S_OK) << error;
    EXPECT_EQ(UserDirectoryLock::Acquire(m_root.Path(), &second, &error),
              HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    EXPECT_NE(error.find("in use by another running outlook-host (process " +
                         std::to_string(::getpid()) + ")"),
              std::string::npos)
        << error;
    first.reset();
    EXPECT_EQ(UserDirectoryLock::Acquire(m_root.Path(), &second, &error), S_OK);
}

TEST(ControlSocketClientTest, NoHostIsNamedAsSuch) {
    TempRoot root;
    CommandResult r;
    std::string error;
    EXPECT_EQ(SendCommand(root.Path(), {"list"}, &r, &error), MAPI_E_NOT_FOUND);
    EXPECT_NE(error.find("no outlook-host runs for"), std::string::npos) << error;
}

}  // namespace
}  // namespace host::testing
