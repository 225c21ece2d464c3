// quillmere-cabinet-demo: the add-in's cabinet path on its own, for one user
// directory, the way the add-in runs it at start-up and when a change leaves
// or arrives: registry settings, logs, an item packed into the encrypted
// cabinet for a partner's mail directory and unpacked there.
//
//   quillmere-cabinet-demo init USERDIR --address ADDR --partner ADDR --share NAME [--password PW]
//   quillmere-cabinet-demo send USERDIR --postoffice DIR --subject TEXT --body TEXT
//   quillmere-cabinet-demo receive USERDIR --postoffice DIR
//
// "send" starts the add-in's logs, saves an item as a message file, packs it
// as "sync.msg" into the cabinet "sync.zuf" (Blowfish-encrypted with the
// folder's password) and drops the cabinet into the partner's mail directory
// of the post office. "receive" starts the logs, unpacks every cabinet that
// waits for the user, and prints the item it carries.
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Quillmere/cabinet/Compress.h"
#include "Quillmere/cabinet/Extract.h"
#include "Quillmere/core/DebugLog.h"
#include "platform/mapi/PropTags.h"
#include "platform/msgfile/MsgFile.h"
#include "platform/win/Environment.h"
#include "platform/win/Files.h"
#include "platform/win/Paths.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace fs = std::filesystem;

namespace {

constexpr const wchar_t* kRoot = L"Software\\Brindlecast\\Quillmere";
// The folder entry id that "init" shares; the real one comes from the store.
constexpr const wchar_t* kFolderId = L"0000000038A1BB1005E5101AA1BB08002B2A56C20001";

struct Args {
    std::string command, userDir;
    std::map<std::string, std::string> options;
};

bool ParseArgs(int argc, char** argv, Args& args) {
    if (argc < 3)
        return false;
    args.command = argv[1];
    args.userDir = fs::absolute(argv[2]).string();
    for (int i = 3; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key.rfind("--", 0) != 0)
            return false;
        args.options[key.substr(2)] = argv[i + 1];
    }
    return true;
}

std::wstring Wide(const std::string& s) {
    return win::FromUtf8(s);
}

LSTATUS SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
    return RegSetValueExW(key, name, 0, REG_SZ, value.c_str(),
                          static_cast<DWORD>((value.size() + 1) * 2));
}

std::wstring ReadString(HKEY key, const wchar_t* name) {
    wchar_t buffer[261] = {};
    DWORD bytes = (sizeof(buffer) / sizeof(buffer[0]) - 1) * 2;
    DWORD type = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, buffer, &bytes) != ERROR_SUCCESS)
        return L"";
    return buffer;
}

int Init(const Args& a) {
    fs::create_directories(a.userDir + "/drive_c");
    HKEY config = nullptr, folder = nullptr, users = nullptr;
    std::wstring root = kRoot;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, (root + L"\\Config").c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &config, nullptr) != ERROR_SUCCESS) {
        std::fprintf(stderr, "quillmere-cabinet-demo: cannot write the registry of %s\n",
                     a.userDir.c_str());
        return 1;
    }
    DWORD one = 1;
    RegSetValueExW(config, L"debug", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
    SetString(config, L"Address", Wide(a.options.at("address")));
    RegCloseKey(config);
    RegCreateKeyExW(HKEY_CURRENT_USER, (root + L"\\Folders\\" + kFolderId).c_str(), 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &folder, nullptr);
    RegSetValueExW(folder, L"used", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), 4);
    SetString(folder, L"ShareName", Wide(a.options.at("share")));
    auto pw = a.options.find("password");
    SetString(folder, L"Password", pw == a.options.end() ? L"" : Wide(pw->second));
    RegCreateKeyExW(folder, L"Users", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &users, nullptr);
    SetString(users, Wide(a.options.at("partner")).c_str(), L"");
    RegCloseKey(users);
    RegCloseKey(folder);
    std::printf("initialised %s\n", a.userDir.c_str());
    return 0;
}

// The logs as the add-in starts them: rotation, paths, the debug switch.
std::wstring StartLogs() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    RotateDebugLogs(temp);
    std::wstring dir = temp;
    SetDebugLogPath((dir + L"Quillmere_debug.log").c_str());
    SetErrorLogPath((dir + L"Quillmere_error.log").c_str());
    DeleteFileW((dir + L"Quillmere_error.log").c_str());
    HKEY config = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(kRoot) + L"\\Config").c_str(), 0, 0x2001F,
                      &config) == ERROR_SUCCESS) {
        DWORD value = 0, size = 4, type = 0;
        if (RegQueryValueExW(config, L"debug", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                             &size) == ERROR_SUCCESS) {
            DebugSwitch = value == 1;
        }
        RegCloseKey(config);
    }
    LogHResult(0, "START");
    return dir;
}

struct FolderSettings {
    std::wstring share, password, partner;
};

FolderSettings ReadFolder() {
    FolderSettings s;
    HKEY folder = nullptr;
    std::wstring path = std::wstring(kRoot) + L"\\Folders\\" + kFolderId;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &folder) != ERROR_SUCCESS) {
        return s;
    }
    s.share = ReadString(folder, L"ShareName");
    s.password = ReadString(folder, L"Password");
    HKEY users = nullptr;
    if (RegOpenKeyExW(folder, L"Users", 0, KEY_READ, &users) == ERROR_SUCCESS) {
        wchar_t name[261];
        DWORD length = 260;
        if (RegEnumValueW(users, 0, name, &length, nullptr, nullptr, static_cast<BYTE*>(nullptr),
                          nullptr) == ERROR_SUCCESS) {
            s.partner = name;
        }
        RegCloseKey(users);
    }
    RegCloseKey(folder);
    return s;
}

std::string MailDirOf(const std::string& postOffice, const std::wstring& address) {
    return postOffice + "/" + win::ToUtf8(address) + "/new";
}

int Send(const Args& a) {
    std::wstring temp = StartLogs();
    FolderSettings folder = ReadFolder();
    WriteDebugLogValue("send item of share", folder.share.c_str());
    mapi::MessageContent item;
    item.props.Set(mapi::PR_MESSAGE_CLASS, mapi::PropValue::Unicode(L"IPM.Note"));
    item.props.Set(mapi::PR_SUBJECT, mapi::PropValue::Unicode(Wide(a.options.at("subject"))));
    item.props.Set(mapi::PR_BODY, mapi::PropValue::Unicode(Wide(a.options.at("body"))));
    std::wstring syn = temp + L"share.syn", zuf = temp + L"sync.zuf";
    if (FAILED(msgfile::WriteMsgFile(*win::HostPath(syn), item))) {
        LogHResult(E_FAIL, "saving the item failed");
        return 1;
    }
    Cabinet::CCompress writer;
    std::string key = win::ToAnsi(folder.password);
    writer.Cipher().SetKey(reinterpret_cast<const BYTE*>(key.data()),
                           static_cast<DWORD>(key.size()));
    writer.AllocateBuffer();
    if (!writer.CreateFCIContext(zuf.c_str(), FALSE, FALSE, 0x7FFFFFFF, 0, 0) ||
        !writer.AddFile(syn.c_str(), L"sync.msg", 0x1503) || !writer.CleanUp()) {
        WriteDebugLogValue("cabinet failed:", writer.GetLastErrorText());
        return 1;
    }
    std::string box = MailDirOf(a.options.at("postoffice"), folder.partner);
    fs::create_directories(box);
    std::string target = box + "/" + std::to_string(GetTickCount()) + ".zuf";
    fs::copy_file(*win::HostPath(zuf), target, fs::copy_options::overwrite_existing);
    WriteDebugLogValue("sync mail for", folder.partner.c_str());
    std::printf("packed \"%s\" for %s (%ju bytes, %s)\n", a.options.at("subject").c_str(),
                win::ToUtf8(folder.partner).c_str(),
                static_cast<std::uintmax_t>(fs::file_size(target)),
                folder.password.empty() ? "plain" : "encrypted");
    return 0;
}

int Receive(const Args& a) {
    std::wstring temp = StartLogs();
    FolderSettings folder = ReadFolder();
    HKEY config = nullptr;
    RegOpenKeyExW(HKEY_CURRENT_USER, (std::wstring(kRoot) + L"\\Config").c_str(), 0, KEY_READ,
                  &config);
    std::wstring address = ReadString(config, L"Address");
    RegCloseKey(config);
    std::string box = MailDirOf(a.options.at("postoffice"), address);
    if (!fs::exists(box)) {
        std::printf("no mail for %s\n", win::ToUtf8(address).c_str());
        return 0;
    }
    for (const auto& entry : fs::directory_iterator(box)) {
        std::wstring cab = win::WindowsPath(entry.path().string());
        std::wstring target = temp + L"EXT\\";
        CreateDirectoryW(target.c_str(), nullptr);
        Cabinet::CExtract reader;
        std::string key = win::ToAnsi(folder.password);
        reader.Cipher().SetKey(reinterpret_cast<const BYTE*>(key.data()),
                               static_cast<DWORD>(key.size()));
        reader.AllocateBuffer();
        if (!reader.CreateFDIContext() || !reader.ExtractFile(cab.c_str(), target.c_str(), 0)) {
            WriteDebugLogValue("extract failed:", reader.GetLastErrorText());
            std::printf("could not unpack %s: %s\n", entry.path().filename().c_str(),
                        win::ToUtf8(reader.GetLastErrorText()).c_str());
            reader.CleanUp();
            continue;
        }
        reader.CleanUp();
        mapi::MessageContent item;
        if (FAILED(msgfile::ReadMsgFile(*win::HostPath(target + L"sync.msg"), &item))) {
            LogHResult(E_FAIL, "reading sync.msg failed");
            continue;
        }
        const std::wstring* subject = item.props.Find(mapi::PR_SUBJECT)->Wide();
        const std::wstring* body = item.props.Find(mapi::PR_BODY)->Wide();
        WriteDebugLogValue("received item:", subject->c_str());
        std::printf("received into share \"%s\": \"%s\" / \"%s\"\n",
                    win::ToUtf8(folder.share).c_str(), win::ToUtf8(*subject).c_str(),
                    win::ToUtf8(*body).c_str());
        fs::remove(entry.path());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (!ParseArgs(argc, argv, args) ||
        (args.command != "init" && args.command != "send" && args.command != "receive")) {
        std::fprintf(
            stderr,
            "usage: quillmere-cabinet-demo init USERDIR --address A --partner B --share NAME "
            "[--password PW]\n"
            "       quillmere-cabinet-demo send USERDIR --postoffice DIR --subject S --body B\n"
            "       quillmere-cabinet-demo receive USERDIR --postoffice DIR\n");
        return 2;
    }
    win::SetUserDirectory(args.userDir);
    try {
        if (args.command == "init")
            return Init(args);
        if (args.command == "send")
            return Send(args);
        return Receive(args);
    } catch (const std::out_of_range&) {
        std::fprintf(stderr, "quillmere-cabinet-demo %s: a required option is missing\n",
                     args.command.c_str());
        return 2;
    }
}
