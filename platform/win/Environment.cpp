#include "platform/win/Environment.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <vector>

namespace win {
namespace {

std::mutex g_mutex;
std::string g_userDir;
std::string g_installDir;
std::vector<EnvironmentListener> g_listeners;

std::string Trimmed(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

std::string DefaultUserDirectory() {
    if (const char* v = std::getenv("QUILLMERE_USER_DIR"); v && *v) return Trimmed(v);
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.quillmere/user";
}

std::string DefaultInstallDirectory() {
    if (const char* v = std::getenv("QUILLMERE_INSTALL_DIR"); v && *v) return Trimmed(v);
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&DefaultInstallDirectory), &info) && info.dli_fname) {
        std::string path = info.dli_fname;
        auto slash = path.rfind('/');
        if (slash != std::string::npos) return path.substr(0, slash);
    }
    return ".";
}

void Notify() {
    std::vector<EnvironmentListener> copy;
    {
        std::lock_guard lock(g_mutex);
        copy = g_listeners;
    }
    for (auto l : copy) l();
}

}  // namespace

std::string UserDirectory() {
    std::lock_guard lock(g_mutex);
    if (g_userDir.empty()) g_userDir = DefaultUserDirectory();
    return g_userDir;
}

void SetUserDirectory(const std::string& hostPath) {
    {
        std::lock_guard lock(g_mutex);
        g_userDir = Trimmed(hostPath);
    }
    Notify();
}

std::string InstallDirectory() {
    std::lock_guard lock(g_mutex);
    if (g_installDir.empty()) g_installDir = DefaultInstallDirectory();
    return g_installDir;
}

void SetInstallDirectory(const std::string& hostPath) {
    {
        std::lock_guard lock(g_mutex);
        g_installDir = Trimmed(hostPath);
    }
    Notify();
}

void AddEnvironmentListener(EnvironmentListener listener) {
    std::lock_guard lock(g_mutex);
    g_listeners.push_back(listener);
}

}  // namespace win
