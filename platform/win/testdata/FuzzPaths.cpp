// Fuzz target: Windows path resolution and command-line splitting, which
// see names from outside (stored names in received cabinets, parameters).
// Properties checked, for any input:
//  - a resolved host path lies inside its drive's directory and holds no
//    "." or ".." component;
//  - resolving the normalised Windows path gives the same host path;
//  - joining split arguments and splitting again gives the same arguments.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/win/Environment.h"
#include "platform/win/Paths.h"
#include "platform/win/Shell.h"

namespace {

const std::string kUser = "/nonexistent/qm-fuzz/user";
const std::string kInstall = "/nonexistent/qm-fuzz/install";
const std::string kDriveC = kUser + "/drive_c";
const std::string kRoot = "/";

bool Inside(const std::string& path, const std::string& dir) {
    if (dir == "/")
        return !path.empty() && path[0] == '/';
    return path == dir || path.rfind(dir + "/", 0) == 0;
}

bool HasDotComponent(const std::string& path) {
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        std::string c = path.substr(i, j - i);
        if (c == "." || c == "..")
            return true;
        if (c.empty() && i != 0 && j != path.size())
            return true;  // "//"
        i = j + 1;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool once = [] {
        win::SetUserDirectory(kUser);
        win::SetInstallDirectory(kInstall);
        return true;
    }();
    (void)once;
    std::wstring text = win::PathFromUtf8(std::string(reinterpret_cast<const char*>(data), size));

    if (auto host = win::HostPath(text)) {
        auto full = win::FullWindowsPath(text);
        if (!full || full->size() < 3 || (*full)[1] != L':' || (*full)[2] != L'\\')
            std::abort();
        // Only the three default drives are mapped here.
        const std::string* dir = (*full)[0] == L'C'   ? &kDriveC
                                 : (*full)[0] == L'P' ? &kInstall
                                 : (*full)[0] == L'Z' ? &kRoot
                                                      : nullptr;
        if (!dir || !Inside(*host, *dir) || HasDotComponent(*host))
            std::abort();
        if (win::HostPath(*full) != host)
            std::abort();
    }

    auto args = win::SplitCommandLine(text);
    if (win::SplitCommandLine(win::JoinCommandLine(args)) != args)
        std::abort();
    return 0;
}
