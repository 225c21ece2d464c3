// outlook-host: the stand-in mail client process for one profile of one user
// directory, and the commands a person or a script uses on it.
//
//   outlook-host init USERDIR --profile NAME --address ADDR [--exchange] [--version V]
//   outlook-host run USERDIR [--profile NAME] [--postoffice DIR]
//   outlook-host install USERDIR [--profile NAME] [--module FILE] [--progid ID] [--clsid {GUID}]
//   outlook-host regedit USERDIR FILE.reg
//   outlook-host viewer USERDIR [--close]            (the user's log viewer windows)
//   outlook-host <command> USERDIR [arguments]      (a running host's user acts; see below)
//   outlook-host help | --help | -h                  (the usage, on standard output)
//
// The commands of a running host are those of HostCommands.h (list, add,
// change, delete, show, open, send, folder, rule, rules, watch, unwatch,
// options, props, picture, tray, log, quit); their answer is printed. Exit
// status, for every command: 0 done; 1 refused or failed (the reason on
// standard error: no such folder, a page that refuses a value, a profile
// that does not exist ...); 2 bad arguments (an unknown command or option, a
// missing or malformed value), or no host runs for the user directory.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "host/AddInLoader.h"
#include "host/ControlSocket.h"
#include "host/ErrorText.h"
#include "host/HostCommands.h"
#include "host/OutlookHost.h"
#include "host/UserDirectory.h"
#include "platform/com/Com.h"
#include "platform/rdo/Server.h"
#include "platform/win/Controls.h"
#include "platform/win/CrashPoints.h"
#include "platform/win/Environment.h"
#include "platform/win/Guid.h"
#include "platform/win/MessageBox.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Module.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"
#include "platform/win/Window.h"

namespace fs = std::filesystem;

namespace {

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage =
    "usage: outlook-host init USERDIR --profile NAME --address ADDR [--exchange] [--version V]\n"
    "       outlook-host run USERDIR [--profile NAME] [--postoffice DIR]\n"
    "       outlook-host install USERDIR [--profile NAME] [--module FILE] [--progid ID] [--clsid "
    "{...}]\n"
    "       outlook-host regedit USERDIR FILE.reg\n"
    "       outlook-host viewer USERDIR [--close]   (the log viewers the add-in started; --close "
    "presses their OK)\n"
    "  and, while `run` runs, as that host's user:\n"
    "       outlook-host list USERDIR [FOLDER [--ids]]\n"
    "       outlook-host add USERDIR FOLDER --subject S [--body B] [--class C]\n"
    "       outlook-host change USERDIR FOLDER N [--subject S] [--body B]\n"
    "       outlook-host delete USERDIR FOLDER N\n"
    "       outlook-host show USERDIR FOLDER N\n"
    "       outlook-host open USERDIR FOLDER N\n"
    "       outlook-host send USERDIR --to ADDR[;ADDR] [--subject S] [--body B] [--attach "
    "FILE]...\n"
    "       outlook-host folder USERDIR PARENT NAME\n"
    "       outlook-host rule USERDIR NAME --subject-contains TEXT --move-to FOLDER\n"
    "       outlook-host rules USERDIR\n"
    "       outlook-host watch|unwatch USERDIR FOLDER\n"
    "       outlook-host options USERDIR [--set NAME=VALUE]... [--click ID]... [--apply] [--answer "
    "BUTTON]\n"
    "       outlook-host props USERDIR FOLDER [--set NAME=VALUE]... [--click ID]... [--apply] "
    "[--answer BUTTON]\n"
    "       outlook-host picture USERDIR options|progress|logviewer FILE.png [--hover ID] "
    "[--errorlog]\n"
    "       outlook-host picture USERDIR props FOLDER FILE.png [--hover ID]\n"
    "       outlook-host tray USERDIR [--double-click]   (double-clicking the add-in's icon "
    "pauses or resumes it)\n"
    "       outlook-host log USERDIR\n"
    "       outlook-host quit USERDIR [--crash-at POINT]\n"
    "  exit status: 0 done, 1 refused or failed, 2 bad arguments or no host runs\n";

int Usage(const std::string& why) {
    std::fprintf(stderr, "outlook-host: %s\n%s", why.c_str(), kUsage);
    return kExitUsage;
}

// --name value options; flags take none. false with *error for anything else.
bool Options(const std::vector<std::string>& args, const std::vector<std::string>& valued,
             const std::vector<std::string>& flags, std::map<std::string, std::string>* out,
             std::string* error) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string name = a.rfind("--", 0) == 0 ? a.substr(2) : "";
        if (std::find(flags.begin(), flags.end(), name) != flags.end()) {
            (*out)[name] = "1";
        } else if (std::find(valued.begin(), valued.end(), name) != valued.end()) {
            if (i + 1 >= args.size()) {
                // Appended rather than "option " + a: GCC 12 warns falsely (-Wrestrict)
                // on that concatenation here.
                *error = "option ";
                error->append(a).append(" needs a value");
                return false;
            }
            (*out)[name] = args[++i];
        } else {
            *error = "unexpected argument \"" + a + "\"";
            return false;
        }
    }
    return true;
}

int Init(const std::string& userDir, const std::vector<std::string>& args) {
    std::map<std::string, std::string> o;
    std::string error;
    if (!Options(args, {"profile", "address", "version"}, {"exchange"}, &o, &error))
        return Usage(error);
    if (!o.count("profile") || !o.count("address"))
        return Usage("init needs --profile NAME and --address ADDR");
    host::ProfileInit init;
    init.profileName = win::FromUtf8(o["profile"]);
    init.address = win::FromUtf8(o["address"]);
    init.exchange = o.count("exchange") != 0;
    if (o.count("version"))
        init.version = win::FromUtf8(o["version"]);
    HRESULT hr = host::InitProfile(userDir, init, &error);
    if (FAILED(hr)) {
        std::fprintf(stderr, "outlook-host init: %s\n", error.c_str());
        // A name or address that can't be is a bad argument; an existing
        // profile or a disk that fails a refusal.
        return hr == E_INVALIDARG ? kExitUsage : kExitRefused;
    }
    std::printf("profile %s (%s) made in %s\n", o["profile"].c_str(), o["address"].c_str(),
                userDir.c_str());
    return 0;
}

std::atomic<bool> g_signalled{false};
void OnSignal(int) {
    g_signalled = true;
}

int Run(const std::string& userDir, const std::vector<std::string>& args) {
    std::map<std::string, std::string> o;
    std::string error;
    if (!Options(args, {"profile", "postoffice"}, {}, &o, &error))
        return Usage(error);
    if (!host::IsUserDirectory(userDir)) {
        std::fprintf(stderr, "outlook-host run: %s is no user directory (make one with init)\n",
                     userDir.c_str());
        return kExitRefused;
    }
    // The post office is made here when missing; a path that can't be a
    // directory stops the start (mail would neither leave nor arrive).
    std::string postOffice;
    if (o.count("postoffice")) {
        postOffice = fs::absolute(o["postoffice"]).lexically_normal().string();
        std::error_code ec;
        fs::create_directories(postOffice, ec);
        if (!fs::is_directory(postOffice, ec)) {
            std::fprintf(
                stderr, "outlook-host run: the post office %s cannot be a directory (%s)\n",
                postOffice.c_str(),
                fs::exists(postOffice, ec) ? "a file of that name exists" : "it cannot be created");
            return kExitUsage;
        }
    }
    std::unique_ptr<host::UserDirectoryLock> lock;
    if (FAILED(host::UserDirectoryLock::Acquire(userDir, &lock, &error))) {
        std::fprintf(stderr, "outlook-host run: %s\n", error.c_str());
        return kExitRefused;
    }
    host::HostOptions options;
    options.userDirectory = userDir;
    options.profileName = win::FromUtf8(o["profile"]);
    options.postOffice = postOffice;
    // The helper library comes with the machine: registered on first use,
    // before any add-in starts and asks for its objects.
    win::SetUserDirectory(userDir);
    CoInitialize(nullptr);
    CLSID helper{};
    if (FAILED(CLSIDFromProgID(L"QuillmereRDOx.QMRRDOSession", &helper)))
        DllRegisterServer();
    CoUninitialize();
    std::unique_ptr<host::OutlookHost> outlook;
    HRESULT hr = host::OutlookHost::Start(options, &outlook, &error);
    if (FAILED(hr)) {
        std::fprintf(stderr, "outlook-host run: %s\n", error.c_str());
        return kExitRefused;
    }
    host::HostCommands commands(*outlook);
    std::atomic<bool> quitAsked{false};
    std::string crashAtQuit;  // written before quitAsked is set, read after
    host::ControlServer server;
    hr = server.Start(
        userDir,
        [&](const std::vector<std::string>& a) {
            host::CommandResult result{false, "the client has ended\n"};
            outlook->RunOnUi([&] { result = commands.Execute(a); });
            if (result.quit) {
                crashAtQuit = result.crashAtQuit;
                quitAsked = true;
            }
            if (!result.ok && !result.text.empty() && result.text.back() != '\n')
                result.text += "\n";
            return result;
        },
        &error);
    if (FAILED(hr)) {
        std::fprintf(stderr, "outlook-host run: %s\n", error.c_str());
        outlook->RunOnUi([&] { commands.ReleaseAll(); });
        outlook->Quit();
        return kExitRefused;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::printf("outlook-host: profile %s of %s runs (pid %d); control socket %s\n",
                win::ToUtf8(outlook->Profile().mapi.profileName).c_str(), userDir.c_str(),
                static_cast<int>(::getpid()), host::ControlSocketPath(userDir).c_str());
    std::fflush(stdout);
    while (!quitAsked && !g_signalled && !outlook->Ended())
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    server.Stop();
    outlook->RunOnUi([&] { commands.ReleaseAll(); });
    if (!crashAtQuit.empty())
        win::ArmCrashPoint(crashAtQuit);
    outlook->Quit();
    for (const auto& line : outlook->EventLog())
        std::printf("  %s\n", line.c_str());
    std::printf("outlook-host: profile %s ended\n",
                win::ToUtf8(outlook->Profile().mapi.profileName).c_str());
    return 0;
}

// Registers the add-in module's COM classes and puts its ProgID on the
// profile's add-in list.
int Install(const std::string& userDir, const std::vector<std::string>& args) {
    std::map<std::string, std::string> o;
    std::string error;
    if (!Options(args, {"profile", "module", "progid", "clsid"}, {}, &o, &error))
        return Usage(error);
    host::HostProfile profile;
    if (FAILED(host::LoadHostProfile(userDir, win::FromUtf8(o["profile"]), &profile, &error))) {
        std::fprintf(stderr, "outlook-host install: %s\n", error.c_str());
        return kExitRefused;
    }
    win::SetUserDirectory(userDir);
    std::string module = o.count("module") ? fs::absolute(o["module"]).string()
                                           : win::InstallDirectory() + "/libQuillmere.so";
    std::wstring progId = win::FromUtf8(o.count("progid") ? o["progid"] : "Quillmere.Connect");
    HMODULE lib = LoadLibraryW(win::WindowsPath(module).c_str());
    if (!lib) {
        std::fprintf(stderr, "outlook-host install: cannot load %s\n", module.c_str());
        return kExitRefused;
    }
    CoInitialize(nullptr);
    // Through void (*)(), which GCC takes as matching every function type: FARPROC
    // itself is cast to the entry point's real type, as on the platform.
    auto reg = reinterpret_cast<DllRegisterServerFn>(
        reinterpret_cast<void (*)()>(GetProcAddress(lib, "DllRegisterServer")));
    HRESULT hr = E_NOTIMPL;
    if (reg) {
        hr = reg();
    } else if (o.count("clsid")) {
        // A module without self-registration: the class its documentation names.
        com::ServerRegistration registration;
        hr = CLSIDFromString(win::FromUtf8(o["clsid"]).c_str(), &registration.clsid);
        registration.progId = progId;
        registration.description = progId;
        registration.serverPath = win::WindowsPath(module);
        if (SUCCEEDED(hr))
            hr = com::RegisterServer(registration);
    }
    CLSID clsid{};
    if (SUCCEEDED(hr) && FAILED(CLSIDFromProgID(progId.c_str(), &clsid)))
        hr = REGDB_E_CLASSNOTREG;
    if (SUCCEEDED(hr))
        hr = host::AddInLoader::AddToList(profile.mapi.profileName, progId, progId);
    CoUninitialize();
    if (FAILED(hr)) {
        std::fprintf(stderr, "outlook-host install: %s: %s: %s\n", module.c_str(),
                     reg || o.count("clsid")
                         ? "the registration failed"
                         : "the module exports no DllRegisterServer (name its class with --clsid)",
                     host::ErrorText(hr).c_str());
        return kExitRefused;
    }
    std::printf("installed %s (%s) for profile %s\n", win::ToUtf8(progId).c_str(), module.c_str(),
                win::ToUtf8(profile.mapi.profileName).c_str());
    return 0;
}

// Imports a registry file into the user's hives, as "regedit /s FILE" does
// (the registry of a user directory is the host's, not the machine's).
int RegEdit(const std::string& userDir, const std::vector<std::string>& args) {
    if (args.size() != 1)
        return Usage("regedit needs one .reg file");
    // Into the registry of a user directory only, as install and run: a
    // mistyped path must not grow a registry of its own.
    if (!host::IsUserDirectory(userDir)) {
        std::fprintf(stderr, "outlook-host regedit: %s is no user directory (make one with init)\n",
                     userDir.c_str());
        return kExitRefused;
    }
    win::SetUserDirectory(userDir);
    LSTATUS status = win::ImportRegFile(fs::absolute(args[0]).string());
    if (status != ERROR_SUCCESS) {
        std::fprintf(stderr, "outlook-host regedit: %s could not be imported (error %ld)\n",
                     args[0].c_str(), static_cast<long>(status));
        return kExitRefused;
    }
    std::printf("imported %s\n", args[0].c_str());
    return 0;
}

// The log viewer windows of the user's programs (the add-in's Options page
// starts the viewer from the host), found and closed as any program of the
// machine would: by their window, through the platform. Closing presses
// the window's "OK", the one way its user ends it.
int Viewer(const std::string& userDir, const std::vector<std::string>& args) {
    std::map<std::string, std::string> o;
    std::string error;
    if (!Options(args, {}, {"close"}, &o, &error))
        return Usage(error);
    if (!host::IsUserDirectory(userDir)) {
        std::fprintf(stderr, "outlook-host viewer: %s is no user directory (make one with init)\n",
                     userDir.c_str());
        return kExitRefused;
    }
    win::SetUserDirectory(userDir);
    constexpr const wchar_t* kDialogClass = L"#32770";
    constexpr const wchar_t* kViewerCaption = L"Logging";
    int found = 0;
    for (HWND window = FindWindowW(kDialogClass, kViewerCaption); window;
         window = FindWindowExW(nullptr, window, kDialogClass, kViewerCaption)) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        ++found;
        std::printf("log viewer \"Logging\" of process %lu\n", static_cast<unsigned long>(process));
        if (o.count("close")) {
            BOOL pressed = PostMessageW(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            std::printf(pressed ? "  its OK pressed\n" : "  cannot be reached\n");
        }
    }
    if (found == 0) {
        std::fprintf(o.count("close") ? stderr : stdout, "no log viewer runs for %s\n",
                     userDir.c_str());
        return o.count("close") ? kExitRefused : 0;
    }
    return 0;
}

int Client(const std::string& command, const std::string& userDir,
           const std::vector<std::string>& args) {
    std::vector<std::string> all{command};
    for (const auto& a : args) {
        // File names are the caller's; the host runs elsewhere.
        all.push_back(a);
    }
    if (command == "send") {
        for (std::size_t i = 1; i + 1 < all.size(); ++i) {
            if (all[i] == "--attach")
                all[i + 1] = fs::absolute(all[i + 1]).string();
        }
    }
    if (command == "picture") {
        // The picture's file: the last argument that is no option value.
        for (std::size_t i = all.size(); i-- > 1;) {
            if (all[i].rfind("--", 0) != 0 &&
                (i < 2 || all[i - 1].rfind("--", 0) != 0 || all[i - 1] == "--errorlog")) {
                all[i] = fs::absolute(all[i]).string();
                break;
            }
        }
    }
    host::CommandResult result;
    std::string error;
    if (FAILED(host::SendCommand(userDir, all, &result, &error))) {
        std::fprintf(stderr, "outlook-host %s: %s\n", command.c_str(), error.c_str());
        return kExitUsage;
    }
    std::fputs(result.text.c_str(), result.ok ? stdout : stderr);
    return result.ok ? 0 : result.badArguments ? kExitUsage : kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h" ||
                      std::string(argv[1]) == "help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 3)
        return Usage(argc < 2 ? "no command" : "no user directory");
    std::string command = argv[1];
    std::string userDir = fs::absolute(argv[2]).lexically_normal().string();
    while (userDir.size() > 1 && userDir.back() == '/')
        userDir.pop_back();
    std::vector<std::string> args(argv + 3, argv + argc);
    if (command == "init")
        return Init(userDir, args);
    if (command == "run")
        return Run(userDir, args);
    if (command == "install")
        return Install(userDir, args);
    if (command == "regedit")
        return RegEdit(userDir, args);
    if (command == "viewer")
        return Viewer(userDir, args);
    static const char* const kClientCommands[] = {
        "list",  "add",   "change",  "delete",  "show",  "open",    "send", "folder", "rule",
        "rules", "watch", "unwatch", "options", "props", "picture", "tray", "log",    "quit"};
    for (const char* c : kClientCommands) {
        if (command == c)
            return Client(command, userDir, args);
    }
    return Usage("unknown command \"" + command + "\"");
}
