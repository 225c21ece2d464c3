#include "Quillmere/exchange/SendQueues.h"

#include <algorithm>
#include <cwchar>
#include <exception>
#include <vector>

#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/StateFileWriter.h"
#include "platform/com/ComError.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Crt.h"
#include "platform/win/Text.h"

CMailSenderList MailSenderList(SendQueueLock);
CDelMailSenderList DelMailSenderList(DeleteQueueLock);

namespace {

// The line that opens a queue file whose fields are escaped (after the
// UTF-8 mark, when there is one). It is no record: a reader that doesn't
// know it skips it for its missing folder entry id.
constexpr std::string_view kEscapedMark = "#escaped";

// In an escaped file '%' stands as "%25" and ';' as "%3B" in every field,
// so that a ';' in any field, not only in the last, survives. A '%' that
// starts neither is kept as it is.
std::wstring EscapeField(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text)
        out += c == L'%' ? L"%25" : c == L';' ? L"%3B" : std::wstring(1, c);
    return out;
}

std::wstring UnescapeField(const std::wstring& text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && text.compare(i, 3, L"%25") == 0) {
            out += L'%';
            i += 2;
        } else if (text[i] == L'%' && text.compare(i, 3, L"%3B") == 0) {
            out += L';';
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// Splits at the first fieldCount - 1 semicolons; the last field keeps the
// rest of the line, so that a password that holds a ';' comes back whole
// from a file without escapes. Missing fields are empty.
std::vector<std::wstring> SplitFields(const std::string& line, std::size_t fieldCount, bool utf8,
                                      bool escaped) {
    auto decode = [utf8, escaped](std::string_view bytes) {
        std::wstring text = utf8 ? win::FromUtf8(bytes) : win::FromAnsi(bytes);
        return escaped ? UnescapeField(text) : text;
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
void ReadQueueLines(CrtFile* file, std::size_t fieldCount, Handle handle, bool* damaged = nullptr) {
    std::string line;
    bool tooLong = false;
    bool first = true;
    bool utf8 = false;
    bool escaped = false;
    while (ReadLine(file, line, &tooLong)) {
        if (first) {
            first = false;
            if (line.rfind(kUtf8Mark, 0) == 0) {
                utf8 = true;
                line.erase(0, kUtf8Mark.size());
            }
            if (!tooLong && line == kEscapedMark) {
                escaped = true;
                continue;
            }
        }
        if (tooLong) {
            WriteDebugLog("1 elem could not be added");
            if (damaged)
                *damaged = true;
            continue;
        }
        handle(SplitFields(line, fieldCount, utf8, escaped));
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
    std::wstring idText = record.SyncIdText();
    if (idText.empty()) {
        CComVariant id;
        if (!utils || FAILED(record.GetSyncID(&id)) || !SyncIdText(id, utils, idText))
            return false;
    }
    wchar_t password[CMail2Send::kTextSize];
    wchar_t shareName[CMail2Send::kTextSize];
    record.GetPassword(password, CMail2Send::kTextSize);
    record.GetShareName(shareName, CMail2Send::kTextSize);
    fields = {store.Text(), folder.Text(), idText, shareName, password};
    return true;
}

// Writes the records' lines (fields joined by ';', each line ending in "\n",
// which the text-mode stream writes as CR LF): ANSI, or UTF-8 behind its
// mark when some field needs it; escaped behind its mark when a field before
// the last holds a ';' (a share name), which would move the fields behind
// it. Files without such a field are the plain form, byte for byte.
void WriteQueueLines(CrtFile* file, const std::vector<std::vector<std::wstring>>& records) {
    bool utf8 = false;
    bool escaped = false;
    for (const auto& fields : records)
        for (std::size_t i = 0; i < fields.size(); ++i) {
            utf8 = utf8 || NeedsUtf8(fields[i]);
            escaped =
                escaped || (i + 1 < fields.size() && fields[i].find(L';') != std::wstring::npos);
        }
    if (utf8)
        fputs(std::string(kUtf8Mark).c_str(), file);
    if (escaped)
        fputs((std::string(kEscapedMark) + "\n").c_str(), file);
    for (const auto& fields : records) {
        std::wstring line;
        for (std::size_t i = 0; i < fields.size(); ++i)
            line += (i ? L";" : L"") + (escaped ? EscapeField(fields[i]) : fields[i]);
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

// One queue's file and what it holds against memory (see Durability in
// SendQueues.h). The lock is held across each read or write of the file, and
// is taken before the queue's own lock, never inside it.
struct QueueFileMirror {
    CriticalSection lock;
    std::wstring path GUARDED_BY(lock);
    // The file holds records that memory lacks: from the start of the process
    // and from a stop of the sender until the sender's next read of the file.
    bool fileAhead GUARDED_BY(lock) = true;
    // The queue's Generation when the file was written last (none yet).
    std::uint64_t writtenGeneration GUARDED_BY(lock) = ~std::uint64_t{0};
};

QueueFileMirror g_mailMirror;
QueueFileMirror g_deletionMirror;

// Reports a queue file with unusable lines once per read.
void ReportDamagedQueueFile(const wchar_t* path) {
    std::wstring name(path);
    std::size_t slash = name.find_last_of(L"\\/");
    std::string line = "damaged queue file, unusable lines skipped: " +
                       win::ToAnsi(slash == std::wstring::npos ? name : name.substr(slash + 1));
    LogHResult(0, line.c_str());
}

// The fields of each line of the file at path (none when it can't be read).
std::vector<std::vector<std::wstring>> ReadQueueFile(const std::wstring& path,
                                                     std::size_t fieldCount) {
    std::vector<std::vector<std::wstring>> lines;
    if (CrtFile* file = _wfopen(path.c_str(), L"r")) {
        ReadQueueLines(file, fieldCount,
                       [&](std::vector<std::wstring> f) { lines.push_back(std::move(f)); });
        fclose(file);
    }
    return lines;
}

// Writes the queue's file whole: the records it holds ahead of memory (kept
// as they are), then memory's, as fields(record, out) reads them (false ends
// the file there). With handOver, the queued records written leave memory
// afterwards: the file is their record now. False when the file could not be
// written; nothing changed then.
template <class Queue, class Fields>
bool WriteQueueFile(QueueFileMirror& mirror, const std::wstring& path, Queue& queue,
                    std::size_t fieldCount, Fields fields, bool handOver) REQUIRES(mirror.lock) {
    std::vector<std::vector<std::wstring>> records;
    if (mirror.fileAhead)
        records = ReadQueueFile(path, fieldCount);
    std::size_t written = 0;
    bool leased = false;
    std::uint64_t generation = 0;
    queue.ForEach(
        [&](const auto& record) {
            std::vector<std::wstring> line;
            if (!fields(record, line))
                return false;
            records.push_back(std::move(line));
            ++written;
            return true;
        },
        false, &leased, &generation);
    if (leased && written > 0)
        --written;  // the leased record is not among the queued ones
    CStateFileWriter file(path, L"w");
    if (!file.Stream())
        return false;
    WriteQueueLines(file.Stream(), records);
    if (!file.Commit())
        return false;
    mirror.writtenGeneration = generation;
    if (handOver)
        queue.DropFront(written);
    return true;
}

bool MailFields(const CMail2Send& record, QMRMAPIUtils* utils, std::vector<std::wstring>& out) {
    return MailRecordFields(record, utils, out);
}

bool DeletionFields(const CDelMail2Send& record, std::vector<std::wstring>& out) {
    BstrHolder id;
    if (FAILED(record.GetSyncID(&id.p)))
        return false;
    out = {id.Text(), record.GetShareName()};
    return true;
}

constexpr std::size_t kMailFields = 5;
constexpr std::size_t kDeletionFields = 2;

}  // namespace

std::wstring QueueFilePath(const std::wstring& dataDirectory, const std::wstring& profileName,
                           const wchar_t* suffix) {
    return dataDirectory + profileName + (suffix ? suffix : L"");
}

void SetQueueFilePaths(const std::wstring& mailQueuePath, const std::wstring& deletionQueuePath) {
    {
        CriticalSectionLock lock(g_mailMirror.lock);
        g_mailMirror.path = mailQueuePath;
    }
    CriticalSectionLock lock(g_deletionMirror.lock);
    g_deletionMirror.path = deletionQueuePath;
}

void ResetQueueFilesForTesting() {
    for (QueueFileMirror* mirror : {&g_mailMirror, &g_deletionMirror}) {
        CriticalSectionLock lock(mirror->lock);
        mirror->path.clear();
        mirror->fileAhead = true;
        mirror->writtenGeneration = ~std::uint64_t{0};
    }
}

void PersistSendQueues(QMRMAPIUtils* utils) {
    {
        CriticalSectionLock lock(g_mailMirror.lock);
        if (!g_mailMirror.path.empty() &&
            MailSenderList.Generation() != g_mailMirror.writtenGeneration &&
            !WriteQueueFile(
                g_mailMirror, g_mailMirror.path, MailSenderList, kMailFields,
                [utils](const CMail2Send& r, auto& out) { return MailFields(r, utils, out); },
                g_mailMirror.fileAhead))
            LogHResult(0, "SaveMailSendData");
    }
    CriticalSectionLock lock(g_deletionMirror.lock);
    if (!g_deletionMirror.path.empty() &&
        DelMailSenderList.Generation() != g_deletionMirror.writtenGeneration &&
        !WriteQueueFile(g_deletionMirror, g_deletionMirror.path, DelMailSenderList, kDeletionFields,
                        DeletionFields, g_deletionMirror.fileAhead))
        WriteDebugLog("SaveDelMailSendData::no file");
}

void SaveMailData2Disk(CSyncEngine*, QMRMAPIUtils* utils, const wchar_t* path, bool final) {
    if (!utils) {
        LogHResult(0, "SaveMailData2Disk:thread_mutils=NULL");
        return;
    }
    if (!path) {
        LogHResult(0, "SaveMailSendData");
        return;
    }
    CriticalSectionLock lock(g_mailMirror.lock);
    g_mailMirror.path = path;
    const bool handOver = final || g_mailMirror.fileAhead;
    if (!WriteQueueFile(
            g_mailMirror, path, MailSenderList, kMailFields,
            [utils](const CMail2Send& r, auto& out) { return MailFields(r, utils, out); },
            handOver)) {
        LogHResult(0, "SaveMailSendData");
        return;
    }
    WriteDebugLog("SaveMailSendData to HD");
    if (final) {
        // Records whose fields could not be read go with the rest, as the
        // stop empties the queue.
        MailSenderList.Clear();
        g_mailMirror.fileAhead = true;
    }
}

std::size_t LoadMailDataFromDisk(CSyncEngine*, QMRMAPIUtils* utils, const wchar_t* path) {
    if (!utils || !path)
        return 0;
    WriteDebugLog("MailSendData from HD");
    CriticalSectionLock lock(g_mailMirror.lock);
    g_mailMirror.path = path;
    std::size_t added = 0;
    bool damaged = false;
    // A file that mirrors the queue holds nothing memory lacks.
    CrtFile* file = g_mailMirror.fileAhead ? _wfopen(path, L"r") : nullptr;
    if (file) {
        // store entry id; folder entry id; sync id text; share name; password
        ReadQueueLines(
            file, kMailFields,
            [&](std::vector<std::wstring> f) {
                if (f[0].empty() || f[1].empty()) {
                    damaged = true;
                    return;
                }
                CComVariant id;
                if (FAILED(utils->TextToBinary(CComBSTR(f[2].c_str()), &id))) {
                    // A sync id that can't be turned back names no item: the
                    // record could never be built into a mail.
                    WriteDebugLog("1 elem could not be added");
                    damaged = true;
                    return;
                }
                if (AppendReadRecord(MailSenderList, [&] {
                        auto record = std::make_unique<CMail2Send>(
                            &id, CComBSTR(f[1].c_str()), CComBSTR(f[0].c_str()), f[4].c_str(),
                            f[3].c_str(), CMail2Send::kTextSize, CMail2Send::kTextSize, 0);
                        record->SetSyncIdText(f[2]);
                        return record;
                    }))
                    ++added;
            },
            &damaged);
        fclose(file);
    }
    if (damaged)
        ReportDamagedQueueFile(path);
    // Memory holds what the file held: the file mirrors it from now on.
    g_mailMirror.fileAhead = false;
    // Also without a file: every start of the sender shows its load.
    WriteDebugLog("LoadBGSyncData=>ready");
    return added;
}

void SaveDelMailData2Disk(CSyncEngine*, const wchar_t* path, bool final) {
    if (!path) {
        WriteDebugLog("SaveDelMailSendData::no file");
        return;
    }
    CriticalSectionLock lock(g_deletionMirror.lock);
    g_deletionMirror.path = path;
    const bool handOver = final || g_deletionMirror.fileAhead;
    if (!WriteQueueFile(g_deletionMirror, path, DelMailSenderList, kDeletionFields, DeletionFields,
                        handOver)) {
        WriteDebugLog("SaveDelMailSendData::no file");
        return;
    }
    WriteDebugLog("SaveDelMailSendData to HD");
    if (final) {
        DelMailSenderList.Clear();
        g_deletionMirror.fileAhead = true;
    }
}

std::size_t LoadDelMailDataFromDisk(CSyncEngine*, const wchar_t* path) {
    if (!path)
        return 0;
    WriteDebugLog("DelMailSendData from HD");
    CriticalSectionLock lock(g_deletionMirror.lock);
    g_deletionMirror.path = path;
    std::size_t added = 0;
    bool damaged = false;
    CrtFile* file = g_deletionMirror.fileAhead ? _wfopen(path, L"r") : nullptr;
    if (file) {
        // sync id text; share name
        ReadQueueLines(
            file, kDeletionFields,
            [&](std::vector<std::wstring> f) {
                if (f[0].empty()) {
                    damaged = true;
                    return;
                }
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
            },
            &damaged);
        fclose(file);
    }
    if (damaged)
        ReportDamagedQueueFile(path);
    g_deletionMirror.fileAhead = false;
    WriteDebugLog("LoadDelMailSendData=>ready");
    return added;
}
