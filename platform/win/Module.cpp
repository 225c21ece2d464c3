#include "platform/win/Module.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/win/Environment.h"
#include "platform/win/Errors.h"
#include "platform/win/Mutex.h"
#include "platform/win/Paths.h"

// The fuzz build keeps every module mapped after FreeLibrary: the fuzzer
// holds pointers into each instrumented module's coverage counters for the
// whole run, and an unmapped module would take them away under it.
#ifdef QM_KEEP_MODULES_LOADED
constexpr int kExtraOpenFlags = RTLD_NODELETE;
#else
constexpr int kExtraOpenFlags = 0;
#endif
namespace win {
namespace {

struct Loaded {
    void* dlHandle = nullptr;
    int count = 0;  // references counted by LoadLibrary / GetModuleHandleEx
};

Mutex g_mutex;
std::map<const void*, Loaded> g_loaded GUARDED_BY(g_mutex);

std::wstring Lower(std::wstring s) {
    for (auto& c : s)
        c = (c >= L'A' && c <= L'Z') ? c + 32 : c;
    return s;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string DirectoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ExecutablePath() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    buf[n] = 0;
    return buf;
}

// The mapping address of the object that contains addr, or null.
HMODULE BaseOfAddress(const void* addr) {
    Dl_info info{};
    if (!addr || !dladdr(addr, &info) || !info.dli_fbase)
        return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

HMODULE BaseOfHandle(void* dlHandle) {
    link_map* map = nullptr;
    if (dlinfo(dlHandle, RTLD_DI_LINKMAP, &map) != 0 || !map)
        return nullptr;
    return BaseOfAddress(map->l_ld);
}

struct PhdrSearch {
    std::string wantedBase;  // host file name, or empty for the executable
    const void* firstSegment = nullptr;
};

// Runs under the loader's write lock: it must not call back into the loader
// (dladdr takes the load lock, which a concurrent dlopen holds while it waits
// for the write lock), so it only notes an address inside the object.
int VisitObject(dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<PhdrSearch*>(data);
    bool isMain = !info->dlpi_name || !*info->dlpi_name;
    bool matches = search->wantedBase.empty()
                       ? isMain
                       : !isMain && BaseName(info->dlpi_name) == search->wantedBase;
    if (!matches)
        return 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD) {
            search->firstSegment =
                reinterpret_cast<const void*>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr);
            break;
        }
    }
    return search->firstSegment ? 1 : 0;
}

HMODULE FindLoaded(const std::string& hostBaseName) {
    PhdrSearch search{hostBaseName, nullptr};
    dl_iterate_phdr(VisitObject, &search);
    return BaseOfAddress(search.firstSegment);
}

HMODULE Executable() {
    return FindLoaded(std::string());
}

bool IsModule(HMODULE module) {
    return module && BaseOfAddress(module) == module;
}

// The Windows file name of a host module file: "libX.so" -> "X.dll", the
// executable "X" -> "X.exe".
std::wstring WindowsModuleName(const std::string& hostBase, bool executable) {
    std::string name = hostBase;
    if (executable) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".exe") != 0)
            name += ".exe";
        return PathFromUtf8(name);
    }
    auto so = name.find(".so");
    if (so != std::string::npos)
        name = name.substr(0, so);
    if (name.rfind("lib", 0) == 0 && name.size() > 3)
        name = name.substr(3);
    return PathFromUtf8(name + ".dll");
}

HMODULE Load(const WCHAR* fileName, const void* caller) {
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::wstring name(fileName);
    std::vector<std::string> candidates;
    if (name.find_first_of(L"\\/:") != std::wstring::npos) {
        auto full = FullWindowsPath(name);
        if (!full) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        auto slash = full->rfind(L'\\');
        auto dir = HostPath(full->substr(0, slash + 1));
        if (dir) {
            std::string d = dir->back() == '/' ? *dir : *dir + "/";
            candidates.push_back(d + HostModuleFileName(full->substr(slash + 1)));
        }
    } else {
        std::string file = HostModuleFileName(name);
        if (auto path = HostPathOfModule(BaseOfAddress(caller))) {
            candidates.push_back(DirectoryOf(*path) + "/" + file);
        }
        candidates.push_back(InstallDirectory() + "/" + file);
    }
    for (const auto& path : candidates) {
        if (!FileExists(path))
            continue;
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | kExtraOpenFlags);
        if (!handle) {
            SetLastError(ERROR_BAD_FORMAT);
            return nullptr;
        }
        HMODULE base = BaseOfHandle(handle);
        if (!base) {
            dlclose(handle);
            SetLastError(ERROR_BAD_FORMAT);
            return nullptr;
        }
        win::MutexLock lock(g_mutex);
        Loaded& entry = g_loaded[base];
        if (entry.count > 0) {
            dlclose(handle);  // one dynamic-linker reference per module is enough
        } else {
            entry.dlHandle = handle;
        }
        ++entry.count;
        return base;
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD CopyName(const std::wstring& name, WCHAR* buffer, DWORD size) {
    if (!buffer || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (name.size() + 1 > size) {
        std::memcpy(buffer, name.data(), (size - 1) * sizeof(WCHAR));
        buffer[size - 1] = 0;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    std::memcpy(buffer, name.data(), name.size() * sizeof(WCHAR));
    buffer[name.size()] = 0;
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(name.size());
}

}  // namespace

std::string HostModuleFileName(const std::wstring& windowsName) {
    std::wstring name = windowsName;
    auto slash = name.find_last_of(L"\\/");
    if (slash != std::wstring::npos)
        name = name.substr(slash + 1);
    std::wstring lower = Lower(name);
    auto endsWith = [&](const wchar_t* ext) {
        std::size_t n = std::wcslen(ext);
        return lower.size() > n && lower.compare(lower.size() - n, n, ext) == 0;
    };
    if (endsWith(L".dll"))
        return "lib" + PathToUtf8(name.substr(0, name.size() - 4)) + ".so";
    if (endsWith(L".exe"))
        return PathToUtf8(name.substr(0, name.size() - 4));
    if (name.find(L'.') == std::wstring::npos)
        return "lib" + PathToUtf8(name) + ".so";
    return PathToUtf8(name);
}

std::optional<std::string> HostPathOfModule(HMODULE module) {
    HMODULE exe = Executable();
    if (!module || module == exe) {
        std::string path = ExecutablePath();
        if (path.empty())
            return std::nullopt;
        return path;
    }
    Dl_info info{};
    if (!dladdr(module, &info) || info.dli_fbase != module || !info.dli_fname)
        return std::nullopt;
    std::string path = info.dli_fname;
    if (!path.empty() && path[0] != '/') {
        char buf[PATH_MAX];
        if (realpath(path.c_str(), buf))
            path = buf;
    }
    return path;
}

}  // namespace win

HMODULE LoadLibraryW(const WCHAR* fileName) {
    return win::Load(fileName, __builtin_extract_return_addr(__builtin_return_address(0)));
}

HMODULE LoadLibraryExW(const WCHAR* fileName, HANDLE file, DWORD flags) {
    return win::Load(fileName, __builtin_extract_return_addr(__builtin_return_address(0)));
}

BOOL FreeLibrary(HMODULE module) {
    void* toClose = nullptr;
    {
        win::MutexLock lock(win::g_mutex);
        auto it = win::g_loaded.find(module);
        if (it != win::g_loaded.end()) {
            if (--it->second.count == 0) {
                toClose = it->second.dlHandle;
                win::g_loaded.erase(it);
            }
        } else if (!win::IsModule(module)) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
    }
    if (toClose)
        dlclose(toClose);
    return TRUE;
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
    if (!module)
        module = win::Executable();
    if (!win::IsModule(module)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (!procName || reinterpret_cast<std::uintptr_t>(procName) < 0x10000) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    void* symbol = nullptr;
    if (module == win::Executable()) {
        void* self = dlopen(nullptr, RTLD_LAZY);
        symbol = self ? dlsym(self, procName) : nullptr;
        if (self)
            dlclose(self);
    } else {
        auto path = win::HostPathOfModule(module);
        void* handle = path ? dlopen(path->c_str(), RTLD_LAZY | RTLD_NOLOAD) : nullptr;
        if (!handle) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        symbol = dlsym(handle, procName);
        dlclose(handle);
    }
    if (!symbol) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(symbol);
}

HMODULE GetModuleHandleW(const WCHAR* moduleName) {
    HMODULE found =
        moduleName ? win::FindLoaded(win::HostModuleFileName(moduleName)) : win::Executable();
    if (!found)
        SetLastError(ERROR_MOD_NOT_FOUND);
    return found;
}

BOOL GetModuleHandleExW(DWORD flags, const WCHAR* moduleName, HMODULE* module) {
    if (!module) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *module = nullptr;
    HMODULE found = (flags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS)
                        ? win::BaseOfAddress(moduleName)
                        : GetModuleHandleW(moduleName);
    if (!found) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    if (!(flags & (GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT | GET_MODULE_HANDLE_EX_FLAG_PIN)) &&
        found != win::Executable()) {
        auto path = win::HostPathOfModule(found);
        void* handle = path ? dlopen(path->c_str(), RTLD_NOW | RTLD_NOLOAD) : nullptr;
        if (handle) {
            win::MutexLock lock(win::g_mutex);
            win::Loaded& entry = win::g_loaded[found];
            if (entry.count > 0) {
                dlclose(handle);
            } else {
                entry.dlHandle = handle;
            }
            ++entry.count;
        }
    }
    *module = found;
    return TRUE;
}

DWORD GetModuleFileNameW(HMODULE module, WCHAR* fileName, DWORD size) {
    bool executable = !module || module == win::Executable();
    if (!executable && !win::IsModule(module)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    auto path = win::HostPathOfModule(module);
    if (!path) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    std::wstring dir = win::WindowsPath(win::DirectoryOf(*path));
    if (dir.empty() || dir.back() != L'\\')
        dir += L'\\';
    return win::CopyName(dir + win::WindowsModuleName(win::BaseName(*path), executable), fileName,
                         size);
}
