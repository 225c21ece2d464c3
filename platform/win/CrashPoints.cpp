#include "platform/win/CrashPoints.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace win {

namespace {

constexpr const char* kKindNames[] = {"write", "rename", "delete", "registry", "commit"};
constexpr int kKindCount = sizeof kKindNames / sizeof kKindNames[0];
constexpr int kAnyKind = -1;

struct Stage {
    int kind = kAnyKind;
    std::string text;
    long remaining = 0;  // matching steps until this stage is reached
};

// The stages of a point, in order; the last one kills.
struct Armed {
    std::vector<Stage> stages;
    std::size_t current = 0;
    bool Active() const { return current < stages.size(); }
};

std::mutex g_mutex;
Armed g_armed;          // guarded by g_mutex
int g_logFd = -1;       // guarded by g_mutex
long g_stepNumber = 0;  // guarded by g_mutex
// Fast path: whether any step needs looking at.
std::atomic<bool> g_active{false};
std::once_flag g_environmentRead;

bool ParseStage(std::string_view point, Stage& out) {
    out = Stage{};
    long count = 1;
    if (std::size_t hash = point.rfind('#'); hash != std::string_view::npos) {
        std::string digits(point.substr(hash + 1));
        char* end = nullptr;
        count = std::strtol(digits.c_str(), &end, 10);
        if (digits.empty() || *end != '\0' || count < 1)
            return false;
        point = point.substr(0, hash);
    }
    std::string_view kind = point;
    if (std::size_t colon = point.find(':'); colon != std::string_view::npos) {
        kind = point.substr(0, colon);
        out.text = std::string(point.substr(colon + 1));
    }
    out.kind = -2;
    if (kind == "*")
        out.kind = kAnyKind;
    for (int i = 0; i < kKindCount; ++i)
        if (kind == kKindNames[i])
            out.kind = i;
    out.remaining = count;
    return out.kind != -2;
}

bool Parse(std::string_view point, Armed& out) {
    out = Armed{};
    for (;;) {
        std::size_t next = point.find('>');
        Stage stage;
        if (!ParseStage(point.substr(0, next), stage))
            return false;
        out.stages.push_back(stage);
        if (next == std::string_view::npos)
            return true;
        point = point.substr(next + 1);
    }
}

void ReadEnvironment() {
    std::lock_guard lock(g_mutex);
    if (const char* point = std::getenv("QUILLMERE_CRASH_AT"); point && *point) {
        if (!Parse(point, g_armed)) {
            std::fprintf(stderr, "QUILLMERE_CRASH_AT: no crash point: %s\n", point);
            g_armed = Armed{};
        }
    }
    if (const char* file = std::getenv("QUILLMERE_CRASH_STEPS"); file && *file)
        g_logFd = ::open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    g_active = g_armed.Active() || g_logFd >= 0;
}

std::string_view LastComponent(std::string_view path) {
    std::size_t slash = path.find_last_of("/\\");
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void Count(CrashStep kind, std::string_view path) {
    std::string_view name = LastComponent(path);
    std::lock_guard lock(g_mutex);
    const int k = static_cast<int>(kind);
    ++g_stepNumber;
    if (g_logFd >= 0) {
        std::string line = std::to_string(g_stepNumber) + " " + kKindNames[k] + " ";
        line.append(name);
        line += "\n";
        // One write per line: the file is shared with nothing else, and a
        // line must be on disk before the step it names may kill us.
        [[maybe_unused]] ssize_t written = ::write(g_logFd, line.data(), line.size());
    }
    if (!g_armed.Active())
        return;
    Stage& stage = g_armed.stages[g_armed.current];
    if ((stage.kind != kAnyKind && stage.kind != k) ||
        name.find(stage.text) == std::string_view::npos)
        return;
    if (--stage.remaining > 0)
        return;
    // An earlier stage only starts the count of the next one.
    if (++g_armed.current < g_armed.stages.size())
        return;
    ::kill(::getpid(), SIGKILL);
    // SIGKILL can't be caught; the process is gone before this returns.
    for (;;)
        ::pause();
}

}  // namespace

const char* CrashStepName(CrashStep kind) {
    return kKindNames[static_cast<int>(kind)];
}

void CountCrashStep(CrashStep kind, std::string_view name) {
    std::call_once(g_environmentRead, ReadEnvironment);
    if (!g_active.load(std::memory_order_relaxed))
        return;
    Count(kind, name);
}

void CountCrashWrite(int descriptor) {
    std::call_once(g_environmentRead, ReadEnvironment);
    if (!g_active.load(std::memory_order_relaxed))
        return;
    char path[4096];
    std::string link = "/proc/self/fd/" + std::to_string(descriptor);
    ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
    Count(CrashStep::kWrite, std::string_view(path, n > 0 ? static_cast<std::size_t>(n) : 0));
}

bool ArmCrashPoint(std::string_view point) {
    std::call_once(g_environmentRead, ReadEnvironment);
    std::lock_guard lock(g_mutex);
    Armed armed;
    bool ok = point.empty() || Parse(point, armed);
    g_armed = ok ? armed : Armed{};
    g_active = g_armed.Active() || g_logFd >= 0;
    return ok;
}

}  // namespace win
