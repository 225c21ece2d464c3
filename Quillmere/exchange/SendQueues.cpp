#include "Quillmere/exchange/SendQueues.h"

#include <algorithm>
#include <cwchar>
#include <exception>
#include <vector>

#include "Quillmere/core/DebugLog.h"
#include "platform/com/ComError.h"
#include "platform/win/Crt.h"
#include "platform/win/Text.h"

CMailSenderList MailSenderList(SendQueueLock);
CDelMailSenderList DelMailSenderList(DeleteQueueLock);

namespace {

// Splits at the first fieldCount - 1 semicolons; the last field keeps the
// rest of the line, so that a password or a share name that holds a ';'
// comes back whole. Missing fields are empty.
std::vector<std::wstring> SplitFields(const std::string& line, std::size_t fieldCount, bool utf8) {
    auto decode = [utf8](std::string_view bytes) {
        return utf8 ? win::FromUtf8(bytes) : win::FromAnsi(bytes);
    };
    std::vector<std::wstring> fields;
    std::size_t start = 0;
    while (fields.size() + 1 < fieldCount) {
        std::size_t at = line.find(';', start);
        if (at == std::string::npos)
            break;
        fields.push_back(decode(std::string_view(line).substr(start, at - start)));
        start = at + 1;
    }
    fields.push_back(decode(std::string_view(line).substr(std::min(start, line.size()))));
    fields.resize(fieldCount);
    // No text the add-in writes holds a NUL; the records keep their texts
    // zero-terminated, so a field counts only up to its first NUL.
    for (std::wstring& field : fields)
        field.resize(std::wcslen(field.c_str()));
    return fields;
}

// Lines longer than this are no record the add-in writes (entry ids and a
// sync id of some hundred hex digits, a share name and a password of at most
// 259 characters): such a line is skipped whole, so that a damaged or
// hostile file costs no unbounded memory.
constexpr std::size_t kMaxLineBytes = 64 * 1024;

// One whole line of a text-mode stream without its LFs: the writer puts up
// to five fields of unbounded length on one line, and a line read in 1024-
// byte pieces would come back as several broken records. Read byte by byte,
// so that a NUL byte in a damaged file neither hides the line end behind it
// nor joins two lines. false at the end of the file with nothing read;
// *tooLong tells a line cut at kMaxLineBytes.
bool ReadLine(CrtFile* file, std::string& line, bool* tooLong) {
    line.clear();
    *tooLong = false;
    bool any = false;
    for (int c = fgetc(file); c != EOF; c = fgetc(file)) {
        any = true;
        if (c == '\n')
            break;
        if (line.size() < kMaxLineBytes)
            line += static_cast<char>(c);
        else
            *tooLong = true;
    }
    return any;
}

// The byte-order mark that opens a queue file written in UTF-8 (see
// NeedsUtf8); a file without it is ANSI text.
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

// Queue files are ANSI text. A share name or password that the ANSI code
// page can't hold would come back as '?' after a restart and name another
// share; such a file is written in UTF-8 behind a byte-order mark instead,
// which the reader tells by its first bytes. Files of ANSI-only records are
// byte for byte the plain ANSI form.
bool NeedsUtf8(std::wstring_view text) {
    return win::FromAnsi(win::ToAnsi(text)) != text;
}

// Reads the lines of a queue file, split into fieldCount fields each, and
// calls handle(fields) per line; a line that is too long is skipped.
template <class Handle>
void ReadQueueLines(CrtFile* file, std::size_t fieldCount, Handle handle) {
    std::string line;
    bool tooLong = false;
    bool first = true;
    bool utf8 = false;
    while (ReadLine(file, line, &tooLong)) {
        if (first && line.rfind(kUtf8Mark, 0) == 0) {
            utf8 = true;
            line.erase(0, kUtf8Mark.size());
        }
        first = false;
        if (tooLong) {
            WriteDebugLog("1 elem could not be added");
            continue;
        }
        handle(SplitFields(line, fieldCount, utf8));
    }
}

// Owns a BSTR for one scope.
struct BstrHolder {
    BSTR p = nullptr;
    ~BstrHolder() { SysFreeString(p); }
    std::wstring Text() const { return p ? std::wstring(p, SysStringLen(p)) : std::wstring(); }
};

// The sync id in its file form. A sync id that was queued as text (the
// record reported it) is written as that text: it is the same form, and
// refusing it would stop the file at this record and lose every record
// behind it.
bool SyncIdText(const VARIANT& id, QMRMAPIUtils* utils, std::wstring& text) {
    if (id.vt == VT_BSTR) {
        text = id.bstrVal ? std::wstring(id.bstrVal, SysStringLen(id.bstrVal)) : std::wstring();
        return true;
    }
    BstrHolder converted;
    if (FAILED(utils->BinaryToText(id, &converted.p)))
        return false;
    text = converted.Text();
    return true;
}

// The fields of one sync-mail record in file order, or false when a field
// can't be read.
bool MailRecordFields(const CMail2Send& record, QMRMAPIUtils* utils,
                      std::vector<std::wstring>& fields) {
    BstrHolder folder, store;
    if (FAILED(record.GetFolderEntryID(&folder.p)) || FAILED(record.GetStoreEntryID(&store.p)))
        return false;
    CComVariant id;
    std::wstring idText;
    if (FAILED(record.GetSyncID(&id)) || !SyncIdText(id, utils, idText))
        return false;
    wchar_t password[CMail2Send::kTextSize];
    wchar_t shareName[CMail2Send::kTextSize];
    record.GetPassword(password, CMail2Send::kTextSize);
    record.GetShareName(shareName, CMail2Send::kTextSize);
    fields = {store.Text(), folder.Text(), idText, shareName, password};
    return true;
}

// Writes the records' lines (fields joined by ';', each line ending in "\n",
// which the text-mode stream writes as CR LF): ANSI, or UTF-8 behind its
// mark when some field needs it.
void WriteQueueLines(CrtFile* file, const std::vector<std::vector<std::wstring>>& records) {
    bool utf8 = false;
    for (const auto& fields : records)
        for (const std::wstring& field : fields)
            utf8 = utf8 || NeedsUtf8(field);
    if (utf8)
        fputs(std::string(kUtf8Mark).c_str(), file);
    for (const auto& fields : records) {
        std::wstring line;
        for (std::size_t i = 0; i < fields.size(); ++i)
            line += (i ? L";" : L"") + fields[i];
        line += L"\n";
        std::string bytes = utf8 ? win::ToUtf8(line) : win::ToAnsi(line);
        fwrite(bytes.data(), 1, bytes.size(), file);
    }
}

// A record read back from a file, appended to its queue; false (and the
// debug line of the queue files) when it could not be made or appended.
template <class Queue, class Make>
bool AppendReadRecord(Queue& queue, Make make) {
    decltype(make()) record;
    try {
        record = make();
    } catch (const std::exception&) {
        record.reset();
    }
    if (record && queue.Append(std::move(record)))
        return true;
    WriteDebugLog("1 elem could not be added");
    return false;
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
    // The lines are gathered under the lock and written after it: the
    // producers need not wait for the disk.
    std::vector<std::vector<std::wstring>> records;
    MailSenderList.ForEach(
        [&](const CMail2Send& record) {
            std::vector<std::wstring> fields;
            if (!MailRecordFields(record, utils, fields))
                return false;
            records.push_back(std::move(fields));
            return true;
        },
        final);
    WriteQueueLines(file, records);
    fclose(file);
}

std::size_t LoadMailDataFromDisk(CSyncEngine*, QMRMAPIUtils* utils, const wchar_t* path) {
    if (!utils || !path)
        return 0;
    WriteDebugLog("MailSendData from HD");
    std::size_t added = 0;
    if (CrtFile* file = _wfopen(path, L"r")) {
        // store entry id; folder entry id; sync id text; share name; password
        ReadQueueLines(file, 5, [&](std::vector<std::wstring> f) {
            if (f[0].empty() || f[1].empty())
                return;
            CComVariant id;
            if (FAILED(utils->TextToBinary(CComBSTR(f[2].c_str()), &id))) {
                // A sync id that can't be turned back names no item: the
                // record could never be built into a mail.
                WriteDebugLog("1 elem could not be added");
                return;
            }
            if (AppendReadRecord(MailSenderList, [&] {
                    return std::make_unique<CMail2Send>(
                        &id, CComBSTR(f[1].c_str()), CComBSTR(f[0].c_str()), f[4].c_str(),
                        f[3].c_str(), CMail2Send::kTextSize, CMail2Send::kTextSize, 0);
                }))
                ++added;
        });
        fclose(file);
        _wremove(path);
    }
    // Also without a file: every start of the sender shows its load.
    WriteDebugLog("LoadBGSyncData=>ready");
    return added;
}

void SaveDelMailData2Disk(CSyncEngine*, const wchar_t* path, bool final) {
    CrtFile* file = path ? _wfopen(path, L"w") : nullptr;
    if (!file) {
        WriteDebugLog("SaveDelMailSendData::no file");
        return;
    }
    WriteDebugLog("SaveDelMailSendData to HD");
    std::vector<std::vector<std::wstring>> records;
    DelMailSenderList.ForEach(
        [&](const CDelMail2Send& record) {
            BstrHolder id;
            if (FAILED(record.GetSyncID(&id.p)))
                return false;
            records.push_back({id.Text(), record.GetShareName()});
            return true;
        },
        final);
    WriteQueueLines(file, records);
    fclose(file);
}

std::size_t LoadDelMailDataFromDisk(CSyncEngine*, const wchar_t* path) {
    if (!path)
        return 0;
    WriteDebugLog("DelMailSendData from HD");
    std::size_t added = 0;
    if (CrtFile* file = _wfopen(path, L"r")) {
        // sync id text; share name
        ReadQueueLines(file, 2, [&](std::vector<std::wstring> f) {
            if (f[0].empty())
                return;
            if (AppendReadRecord(DelMailSenderList, [&]() -> std::unique_ptr<CDelMail2Send> {
                    BSTR id = SysAllocString(f[0].c_str());
                    if (!id)
                        return nullptr;
                    try {
                        return std::make_unique<CDelMail2Send>(id, std::move(f[1]));
                    } catch (...) {
                        SysFreeString(id);  // never taken over
                        throw;
                    }
                }))
                ++added;
        });
        fclose(file);
        _wremove(path);
    }
    WriteDebugLog("LoadDelMailSendData=>ready");
    return added;
}
