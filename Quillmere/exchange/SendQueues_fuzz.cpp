// libFuzzer target: the two queue-file readers on arbitrary bytes (both
// readers read the same bytes). Whatever they take must survive a write and
// a second read: after one write and read, another write and read gives the
// same records again, so a queue carried over two restarts loses nothing.
// The sync ids go through the helper library's own text conversion.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/exchange/SendQueues.h"
#include "platform/com/Com.h"
#include "platform/rdo/RdoUtils.h"
#include "platform/win/Environment.h"
#include "platform/win/Paths.h"

namespace {

namespace fs = std::filesystem;

struct Scratch {
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "qmqueue-fuzz-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        root = mkdtemp(buffer.data()) != nullptr ? buffer.data() : "/tmp/qmqueue-fuzz";
        fs::create_directories(root + "/user/drive_c/data");
        win::SetUserDirectory(root + "/user");
        InitializeAddinLocks();
        CoInitialize(nullptr);
        utils = com::Make<rdo::RdoUtils>();
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    std::string root;
    CComPtr<QMRMAPIUtils> utils;
    const std::wstring mailPath = L"C:\\data\\Fuzz.mailsenddata.ids";
    const std::wstring deletionPath = L"C:\\data\\Fuzz.delmailsenddata.ids";
};

Scratch& Dirs() {
    static Scratch scratch;
    return scratch;
}

void WriteBytes(const std::wstring& path, const std::uint8_t* data, std::size_t size) {
    std::ofstream out(*win::HostPath(path), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::wstring Text(BSTR text) {
    return text ? std::wstring(text, SysStringLen(text)) : std::wstring();
}

// The queued sync-mail records as the file writes them.
std::vector<std::vector<std::wstring>> MailRecords() {
    std::vector<std::vector<std::wstring>> records;
    MailSenderList.ForEach(
        [&](const CMail2Send& record) {
            CComBSTR store, folder, idText;
            CComVariant id;
            record.GetStoreEntryID(&store);
            record.GetFolderEntryID(&folder);
            record.GetSyncID(&id);
            Dirs().utils->BinaryToText(id, &idText);
            wchar_t share[CMail2Send::kTextSize];
            wchar_t password[CMail2Send::kTextSize];
            record.GetShareName(share, CMail2Send::kTextSize);
            record.GetPassword(password, CMail2Send::kTextSize);
            records.push_back({Text(store), Text(folder), Text(idText), share, password});
            return true;
        },
        false);
    return records;
}

std::vector<std::vector<std::wstring>> DeletionRecords() {
    std::vector<std::vector<std::wstring>> records;
    DelMailSenderList.ForEach(
        [&](const CDelMail2Send& record) {
            CComBSTR id;
            record.GetSyncID(&id);
            records.push_back({Text(id), record.GetShareName()});
            return true;
        },
        false);
    return records;
}

// Writes the queue and reads it back.
void MailCycle() {
    SaveMailData2Disk(nullptr, Dirs().utils, Dirs().mailPath.c_str(), true);
    LoadMailDataFromDisk(nullptr, Dirs().utils, Dirs().mailPath.c_str());
}

void DeletionCycle() {
    SaveDelMailData2Disk(nullptr, Dirs().deletionPath.c_str(), true);
    LoadDelMailDataFromDisk(nullptr, Dirs().deletionPath.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Scratch& dirs = Dirs();
    WriteBytes(dirs.mailPath, data, size);
    WriteBytes(dirs.deletionPath, data, size);
    LoadMailDataFromDisk(nullptr, dirs.utils, dirs.mailPath.c_str());
    LoadDelMailDataFromDisk(nullptr, dirs.deletionPath.c_str());

    MailCycle();
    auto mails = MailRecords();
    MailCycle();
    if (MailRecords() != mails)
        std::abort();

    DeletionCycle();
    auto deletions = DeletionRecords();
    DeletionCycle();
    if (DeletionRecords() != deletions)
        std::abort();

    MailSenderList.Clear();
    DelMailSenderList.Clear();
    return 0;
}
