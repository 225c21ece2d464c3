// Runs one test of the current test binary in a child process with extra
// environment variables, for behaviour that the platform fixes once per
// process (clock start, default locale). Test code only.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace win::testing {

// Name of the variable that marks the child run; child tests skip without it.
inline constexpr const char* kChildMarker = "QM_TEST_CHILD";

inline bool IsChildRun() {
    return std::getenv(kChildMarker) != nullptr;
}

// Runs "<self> --gtest_filter=<filter>" with env added (NAME=VALUE) and the
// child marker set; returns the wait status of the child (test it with
// WIFEXITED, WTERMSIG...), or -1 when the child could not be started.
inline int RunChildTestStatus(const std::string& filter, const std::vector<std::string>& env) {
    // The given variables replace inherited ones of the same name.
    auto overridden = [&env](const std::string& var) {
        for (const auto& v : env) {
            if (var.compare(0, v.find('=') + 1, v, 0, v.find('=') + 1) == 0)
                return true;
        }
        return false;
    };
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) {
        if (!overridden(*e))
            vars.emplace_back(*e);
    }
    for (const auto& v : env)
        vars.push_back(v);
    vars.push_back(std::string(kChildMarker) + "=1");
    std::vector<char*> envp;
    for (auto& v : vars)
        envp.push_back(v.data());
    envp.push_back(nullptr);

    std::string self = "/proc/self/exe";
    std::string filterArg = "--gtest_filter=" + filter;
    char* argv[] = {self.data(), filterArg.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()) != 0)
        return -1;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return status;
}

// The same; the exit status (0 = the child test passed), or -1 when the child
// could not be started or did not exit by itself.
inline int RunChildTest(const std::string& filter, const std::vector<std::string>& env) {
    int status = RunChildTestStatus(filter, env);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace win::testing
