#include "Quillmere/exchange/SendQueues.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "Quillmere/core/DebugLog.h"
#include "platform/com/ComError.h"
#include "platform/win/Crt.h"
#include "platform/win/Text.h"

CMailSenderList MailSenderList(SendQueueLock);
CDelMailSenderList DelMailSenderList(DeleteQueueLock);

namespace {

// One whole line of a text-mode stream without its LFs, however long it is:
// the writer puts up to five fields of unbounded length on one line, and a
// line read in pieces would come back as several broken records. false at
// the end of the file with nothing read.
bool ReadLine(CrtFile* file, std::string& line) {
    line.clear();
    char buffer[1024];
    bool any = false;
    while (fgets(buffer, static_cast<int>(sizeof buffer), file)) {
        any = true;
        std::string_view piece(buffer);
        bool ends = !piece.empty() && piece.back() == '\n';
        for (char c : piece)
            if (c != '\n')
                line += c;
        if (ends)
            break;
    }
    return any;
}

// Splits at the first fieldCount - 1 semicolons; the last field keeps the
// rest of the line, so that a password or a share name that holds a ';'
// comes back whole. Missing fields are empty.
std::vector<std::wstring> SplitFields(const std::string& line, std::size_t fieldCount) {
    std::vector<std::wstring> fields;
    std::size_t start = 0;
    while (fields.size() + 1 < fieldCount) {
        std::size_t at = line.find(';', start);
        if (at == std::string::npos)
            break;
        fields.push_back(win::FromAnsi(std::string_view(line).substr(start, at - start)));
        start = at + 1;
    }
    fields.push_back(win::FromAnsi(std::string_view(line).substr(std::min(start, line.size()))));
    fields.resize(fieldCount);
    return fields;
}

// Owns a BSTR for one scope.
struct BstrHolder {
    BSTR p = nullptr;
    ~BstrHolder() { SysFreeString(p); }
    std::wstring Text() const { return p ? std::wstring(p, SysStringLen(p)) : std::wstring(); }
};

// The file line of one sync-mail record, or false when a field can't be read.
bool MailRecordLine(const CMail2Send& record, QMRMAPIUtils* utils, std::wstring& line) {
    BstrHolder folder, store, idText;
    if (FAILED(record.GetFolderEntryID(&folder.p)) || FAILED(record.GetStoreEntryID(&store.p)))
        return false;
    CComVariant id;
    if (FAILED(record.GetSyncID(&id)))
        return false;
    wchar_t password[CMail2Send::kTextSize];
    wchar_t shareName[CMail2Send::kTextSize];
    record.GetPassword(password, CMail2Send::kTextSize);
    record.GetShareName(shareName, CMail2Send::kTextSize);
    if (FAILED(utils->BinaryToText(id, &idText.p)))
        return false;
    line = store.Text() + L";" + folder.Text() + L";" + idText.Text() + L";" + shareName + L";" +
           password + L"\n";
    return true;
}

}  // namespace

std::wstring QueueFilePath(const std::wstring& dataDirectory, const std::wstring& profileName,
                           const wchar_t* suffix) {
    return dataDirectory + profileName + (suffix ? suffix : L"");
}

void SaveMailData2Disk(CSyncEngine*, QMRMAPIUtils* utils, const wchar_t* path, bool final) {
    if (!utils) {
        LogHResult(0, "SaveMailData2Disk:thread_mutils=NULL");
        return;
    }
    CrtFile* file = path ? _wfopen(path, L"w") : nullptr;
    if (!file) {
        LogHResult(0, "SaveMailSendData");
        return;
    }
    WriteDebugLog("SaveMailSendData to HD");
    MailSenderList.ForEach(
        [&](const CMail2Send& record) {
            std::wstring line;
            if (!MailRecordLine(record, utils, line))
                return false;
            fputws(line.c_str(), file);
            return true;
        },
        final);
    fclose(file);
}

std::size_t LoadMailDataFromDisk(CSyncEngine*, QMRMAPIUtils* utils, const wchar_t* path) {
    if (!utils || !path)
        return 0;
    CrtFile* file = _wfopen(path, L"r");
    if (!file)
        return 0;
    WriteDebugLog("MailSendData from HD");
    std::size_t added = 0;
    std::string line;
    while (ReadLine(file, line)) {
        // store entry id; folder entry id; sync id text; share name; password
        std::vector<std::wstring> f = SplitFields(line, 5);
        if (f[0].empty() || f[1].empty())
            continue;
        CComBSTR idText(f[2].c_str());
        CComVariant id;
        if (FAILED(utils->TextToBinary(idText, &id))) {
            // A sync id that can't be turned back names no item: the record
            // could never be built into a mail.
            WriteDebugLog("1 elem could not be added");
            continue;
        }
        std::unique_ptr<CMail2Send> record;
        try {
            CComBSTR folder(f[1].c_str());
            CComBSTR store(f[0].c_str());
            record = std::make_unique<CMail2Send>(&id, folder, store, f[4].c_str(), f[3].c_str(),
                                                  CMail2Send::kTextSize, CMail2Send::kTextSize, 0);
        } catch (const std::exception&) {
            record.reset();
        }
        if (record && MailSenderList.Append(std::move(record)))
            ++added;
        else
            WriteDebugLog("1 elem could not be added");
    }
    WriteDebugLog("LoadBGSyncData=>ready");
    fclose(file);
    _wremove(path);
    return added;
}

void SaveDelMailData2Disk(CSyncEngine*, const wchar_t* path, bool final) {
    CrtFile* file = path ? _wfopen(path, L"w") : nullptr;
    if (!file) {
        WriteDebugLog("SaveDelMailSendData::no file");
        return;
    }
    WriteDebugLog("SaveDelMailSendData to HD");
    DelMailSenderList.ForEach(
        [&](const CDelMail2Send& record) {
            BstrHolder id;
            if (FAILED(record.GetSyncID(&id.p)))
                return false;
            std::wstring line = id.Text() + L";" + record.GetShareName() + L"\n";
            fputws(line.c_str(), file);
            return true;
        },
        final);
    fclose(file);
}

std::size_t LoadDelMailDataFromDisk(CSyncEngine*, const wchar_t* path) {
    if (!path)
        return 0;
    CrtFile* file = _wfopen(path, L"r");
    if (!file)
        return 0;
    WriteDebugLog("DelMailSendData from HD");
    std::size_t added = 0;
    std::string line;
    while (ReadLine(file, line)) {
        // sync id text; share name
        std::vector<std::wstring> f = SplitFields(line, 2);
        if (f[0].empty())
            continue;
        std::unique_ptr<CDelMail2Send> record;
        try {
            BSTR id = SysAllocString(f[0].c_str());
            if (id)
                record = std::make_unique<CDelMail2Send>(id, std::move(f[1]));
        } catch (const std::exception&) {
            record.reset();
        }
        if (record && DelMailSenderList.Append(std::move(record)))
            ++added;
        else
            WriteDebugLog("1 elem could not be added");
    }
    WriteDebugLog("LoadDelMailSendData=>ready");
    fclose(file);
    _wremove(path);
    return added;
}
