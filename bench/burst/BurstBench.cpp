// Times a burst through the whole road: bob (an Exchange mailbox) adds N
// tasks to a shared Tasks folder while his add-in is paused, resumes it, and
// the clock runs until alice (personal folders) holds all N. Two
// outlook-host processes on one post office, the debug logs off.
//
//   burst_bench [items] [reference install directory]
//
// With a reference install directory (the bin/ directory of another build:
// its add-in, helper library and Cabinet.dll), the same burst runs with that
// add-in and with this build's in turn, A B A B ..., and the figures are
// printed side by side with their ratio. items defaults to 1000. The clock
// runs at QUILLMERE_TIME_SCALE (default 40): the real time of a run is the
// add-in's own work plus its waits at that scale.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host/HostProcess.h"
#include "platform/win/Clock.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr const char* kProgram = QM_BINARY_DIR "/bin/outlook-host";
constexpr int kRounds = 3;
// Platform ms any one step may take at most.
constexpr unsigned kLimitMs = 24000000;

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The number of items "list Tasks" answers.
int TaskCount(host::HostProcess& user) {
    host::CommandResult r = user.Command({"list", "Tasks"});
    if (!r.ok)
        return -1;
    return static_cast<int>(std::count(r.text.begin(), r.text.end(), '\n'));
}

// The add-in's data directory of a user directory (there is one Windows user).
std::string DataDirectory(const std::string& userDirectory) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(userDirectory + "/drive_c/Users", ec))
        return (entry.path() / "AppData" / "Local" / "Quillmere").string();
    return {};
}

bool HasStateFile(const std::string& directory, const std::string& suffix) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(directory, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            return true;
    }
    return false;
}

struct User {
    std::string name;
    std::string address;
    bool exchange;
    std::unique_ptr<host::HostProcess> process;
};

bool Fail(const char* what) {
    std::fprintf(stderr, "burst_bench: %s\n", what);
    return false;
}

// One burst with the add-in of installDirectory; its seconds in *seconds.
bool RunBurst(const std::string& installDirectory, int items, double* seconds) {
    char pattern[] = "/tmp/qm-burst-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made)
        return Fail("no scratch directory");
    const std::string root = made;
    const std::string postOffice = root + "/postoffice";
    const std::string regFile = root + "/quillmere.reg";
    WriteText(regFile,
              "Windows Registry Editor Version 5.00\r\n\r\n"
              "[HKEY_CURRENT_USER\\Software\\Brindlecast\\Quillmere\\Config]\r\n"
              "\"rulecreator_was_set\"=dword:00000001\r\n");
    User alice{"Alice", "alice@example.org", false, nullptr};
    User bob{"Bob", "bob@example.org", true, nullptr};
    bool ok = true;
    for (User* user : {&alice, &bob}) {
        user->process = std::make_unique<host::HostProcess>(kProgram, root + "/" + user->name);
        host::HostProcess& p = *user->process;
        p.SetEnvironment({"QUILLMERE_INSTALL_DIR=" + installDirectory});
        std::wstring profile(user->name.begin(), user->name.end());
        std::wstring address(user->address.begin(), user->address.end());
        ok = ok && p.Init(profile, address, user->exchange) &&
             p.RunTool({"regedit", p.UserDirectory(), regFile}) == 0 &&
             p.RunTool({"install", p.UserDirectory()}) == 0 && p.Start(postOffice, L"", kLimitMs);
    }
    if (!ok)
        return Fail("the hosts did not start");
    for (User* user : {&alice, &bob}) {
        const std::string partner = user == &bob ? alice.address : bob.address;
        host::CommandResult r = user->process->Command(
            {"props", "Tasks", "--set", "used=1", "--set", "ShareName=Team", "--set", "Password=pw",
             "--set", "Users=" + partner, "--apply"});
        ok = ok && r.ok;
    }
    // bob's first scan saved the folder's baseline.
    const std::string bobData = DataDirectory(bob.process->UserDirectory());
    ok = ok && host::WaitUntil([&] { return HasStateFile(bobData, ".syncdata.ids"); }, kLimitMs,
                               std::chrono::seconds(30));
    if (!ok)
        return Fail("the folder was not shared");

    ok = bob.process->Command({"tray", "--double-click"}).ok;  // pause
    for (int i = 1; ok && i <= items; ++i)
        ok = bob.process->Command({"add", "Tasks", "--subject", "Burst " + std::to_string(i)}).ok;
    const auto start = Clock::now();
    ok = ok && bob.process->Command({"tray", "--double-click"}).ok;  // resume
    ok = ok && host::WaitUntil(
                   [&] {
                       std::this_thread::sleep_for(std::chrono::milliseconds(200));
                       return TaskCount(*alice.process) == items;
                   },
                   kLimitMs, std::chrono::seconds(600));
    *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (User* user : {&alice, &bob})
        user->process->Stop(kLimitMs);
    fs::remove_all(root);
    return ok || Fail("the burst did not arrive whole");
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const int items = argc > 1 ? std::atoi(argv[1]) : 1000;
    const std::string reference = argc > 2 ? argv[2] : "";
    const std::string current = QM_BINARY_DIR "/bin";
    if (items < 1 || (!reference.empty() && !Exists(reference + "/libQuillmere.so"))) {
        std::fprintf(stderr, "usage: burst_bench [items] [reference install directory]\n");
        return 2;
    }
    // Before the first use of the clock, which reads it once; the hosts
    // inherit it.
    ::setenv("QUILLMERE_TIME_SCALE", "40", 0);
    std::printf("burst of %d tasks, Exchange to personal folders, time scale %s\n", items,
                std::getenv("QUILLMERE_TIME_SCALE"));
    std::vector<double> ours, theirs;
    for (int round = 1; round <= kRounds; ++round) {
        double seconds = 0;
        if (!reference.empty()) {
            if (!RunBurst(reference, items, &seconds))
                return 1;
            theirs.push_back(seconds);
            std::printf("round %d  reference %7.2f s\n", round, seconds);
        }
        if (!RunBurst(current, items, &seconds))
            return 1;
        ours.push_back(seconds);
        std::printf("round %d  this build %7.2f s\n", round, seconds);
        std::fflush(stdout);
    }
    std::printf("median: this build %.2f s", Median(ours));
    if (!theirs.empty())
        std::printf(", reference %.2f s, ratio %.3f", Median(theirs),
                    Median(ours) / Median(theirs));
    std::printf("\n");
    return 0;
}
