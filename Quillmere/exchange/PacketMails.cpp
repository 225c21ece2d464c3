#include "Quillmere/exchange/PacketMails.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/SendMail.h"
#include "Quillmere/exchange/SyncMailFormat.h"
#include "Quillmere/resources/LoadString.h"
#include "Quillmere/tracking/ItemLookup.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/win/Clock.h"
#include "platform/win/CriticalSection.h"
#include "platform/win/Files.h"
#include "platform/win/Paths.h"

namespace {

constexpr LONG kOutboxFolder = 4;
constexpr LONG kAttachByValue = 1;
constexpr LONG kOpenFlags = 16;
constexpr wchar_t kSafeMailItemProgId[] = L"QuillmereRDOx.QMRSafeMailItem";
// The one file every unpacked attachment passes through.
constexpr wchar_t kUnpackFileName[] = L"sync.msg";
// A mail being parked, until it is whole.
constexpr wchar_t kPartialSuffix[] = L".part";
// clang-format off
constexpr char kNotDeletedText[] = "basicSyncProcessDirectory::Attachment could not be deleted=>TO FAST, but will be done later together with folder";
// clang-format on

// The profile name read last from a session of its own thread: parking on a
// sender thread cannot ask the engine's session (helper objects refuse calls
// from other threads), so it uses the name the sender read at its start.
CriticalSection g_profileLock;
std::wstring g_lastProfileName GUARDED_BY(g_profileLock);

void RememberProfileName(const std::wstring& name) {
    CriticalSectionLock lock(g_profileLock);
    g_lastProfileName = name;
}

std::wstring LastProfileName() {
    CriticalSectionLock lock(g_profileLock);
    return g_lastProfileName;
}

// The session's profile name; empty when it has none or can't be asked.
std::wstring ProfileNameOf(QMRRDOSession* session, HRESULT* result) {
    CComBSTR name;
    HRESULT hr = session ? session->GetProfileName(&name) : E_POINTER;
    if (result)
        *result = hr;
    if (FAILED(hr) || !name)
        return {};
    return std::wstring(name);
}

std::wstring ProfileDirectory(CSyncEngine* engine, const std::wstring& profileName) {
    return engine->DataDirectory() + PacketDirectoryName(profileName.empty()
                                                             ? std::wstring(kPacketFallbackProfile)
                                                             : profileName);
}

bool CreateDirectoryIfMissing(const std::wstring& path) {
    if (CreateDirectoryW(path.c_str(), nullptr))
        return true;
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteDebugTick(const char* text, DWORD tick) {
    WriteDebugLogValue(text, std::to_wstring(tick).c_str());
}

void WriteDebugElapsed(const char* format, DWORD start) {
    if (!DebugSwitch.load())
        return;
    char line[96];
    std::snprintf(line, sizeof line, format, static_cast<int>(GetTickCount() - start));
    WriteDebugLog(line);
}

struct DirectoryEntry {
    std::wstring name;
    bool isDirectory = false;
};

// The entries of a listing of pattern; false when it gives no handle.
bool ListDirectory(const std::wstring& pattern, std::vector<DirectoryEntry>& entries) {
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    do {
        entries.push_back(
            {data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return true;
}

// A new packet mail in the session's Outbox, addressed and dated; its
// attachments collection in *attachments. Nothing is saved yet.
HRESULT CreatePacketMail(CSyncEngine* engine, QMRRDOSession* session,
                         const std::wstring& recipients, const syncmail::SyncMailTime& time,
                         QMRSafeMailItem* safeMail, CComPtr<QMRMessage>& mail,
                         CComPtr<QMRAttachments>& attachments) {
    CComPtr<QMRMAPIFolder> outbox;
    CComPtr<QMRItems> items;
    HRESULT hr = session->GetDefaultFolder(kOutboxFolder, &outbox);
    if (SUCCEEDED(hr))
        hr = outbox->GetItems(&items);
    if (SUCCEEDED(hr)) {
        hr = items->Add(CComVariant(syncmail::kMessageClass), &mail);
        if (FAILED(hr) || !mail) {
            LogHResult(hr, "mail not created");
            return FAILED(hr) ? hr : E_FAIL;
        }
    }
    if (FAILED(hr))
        return hr;
    if (FAILED(hr = safeMail->PutItem(mail)))
        return hr;
    CComBSTR to(recipients.c_str());
    if (FAILED(hr = mail->PutTo(to)))
        return hr;
    if (auto from = engine->SpecialSender(); from && !from->empty()) {
        CComBSTR sender(from->c_str());
        if (FAILED(hr = mail->PutSentOnBehalfOfName(sender)))
            return hr;
    }
    if (FAILED(hr = mail->SetMailTime(time.value)))
        return hr;
    if (FAILED(hr = mail->PutDeleteAfterSubmit(VARIANT_FALSE)))
        return hr;
    hr = mail->GetAttachments(&attachments);
    if (SUCCEEDED(hr) && !attachments)
        hr = E_POINTER;
    return hr;
}

// Marks, addresses and writes the packet, then saves it in the Outbox.
HRESULT FinishPacketMail(CSyncEngine* engine, QMRMessage* mail, QMRSafeMailItem* safeMail,
                         const syncmail::SyncMailTime& time, const std::wstring& body) {
    LogIfFailed(safeMail->SetFields(CComVariant(static_cast<LONG>(syncmail::PR_ICON_INDEX), VT_I4),
                                    CComVariant(syncmail::kIconIndex, VT_I4)),
                "basicSyncProcessDirectory::Icon");
    CComBSTR subject(syncmail::BuildPacketSubject(time.text).c_str());
    HRESULT hr = mail->PutSubject(subject);
    if (FAILED(hr))
        return hr;
    mail->ResolveRecipients(-1, nullptr);
    CComPtr<QMRRecipients> mailRecipients;
    if (SUCCEEDED(safeMail->GetRecipients(&mailRecipients)) && mailRecipients)
        mailRecipients->ResolveAll(nullptr);
    if (FAILED(hr = WriteMailBody(engine, safeMail, body)))
        return hr;
    return mail->Save();
}

// One packet from the files of directory: attaches up to the limit, saves
// the mail, then deletes the attached files. Returns whether further files
// wait (the limit was reached and this packet was saved).
bool ProcessDirectoryOnce(CSyncEngine* engine, QMRRDOSession* session,
                          const std::wstring& directory, const std::wstring& recipients) {
    std::wstring intro;
    LoadString(AddinResourceModule(), syncmail::kIntroStringId, g_UILanguage.load(), intro);
    std::vector<DirectoryEntry> entries;
    if (!ListDirectory(directory + L"\\*.msg", entries))
        WriteDebugLog("basicSyncProcessDirectory::InvalidHandle");

    CComPtr<QMRSafeMailItem> safeMail;
    CComPtr<QMRMessage> mail;
    CComPtr<QMRAttachments> attachments;
    syncmail::SyncMailTime time = syncmail::MakeSyncMailTime();
    HRESULT hr = CreateHelperObject(kSafeMailItemProgId, IID_QMRSafeMailItem,
                                    reinterpret_cast<void**>(&safeMail));
    if (SUCCEEDED(hr) && session)
        hr = CreatePacketMail(engine, session, recipients, time, safeMail, mail, attachments);
    else if (SUCCEEDED(hr))
        hr = E_POINTER;
    if (FAILED(hr)) {
        LogHResult(hr, "basicSyncProcessDirectory=>problem on create mail");
        return false;
    }

    std::vector<std::wstring> attached;
    bool limitReached = false;
    LONG counter = static_cast<LONG>(std::min<DWORD>(engine->m_packetCount.load(), 0x7FFFFFFF));
    for (const DirectoryEntry& entry : entries) {
        if (entry.isDirectory)
            continue;
        WriteDebugLog(entry.name.c_str());
        std::wstring path = directory + L"\\" + entry.name;
        CComBSTR source(path.c_str());
        CComPtr<QMRAttachment> attachment;
        HRESULT added = attachments->Add(source, CComVariant(kAttachByValue, VT_I4), CComVariant(),
                                         CComVariant(), &attachment);
        if (FAILED(added))
            LogHResult(added, "basicSyncProcessDirectory::Attachment could not be added");
        else
            attached.push_back(path);
        if (counter < 1) {
            limitReached = true;
            break;
        }
        --counter;
    }
    if (attached.empty())
        return false;  // the unsaved mail goes with its last reference

    hr = FinishPacketMail(engine, mail, safeMail, time, intro);
    if (FAILED(hr)) {
        // The parked files stay for the next packet.
        LogHResult(hr, "basicSyncProcessDirectory::Error on send Mail");
        return false;
    }
    for (const std::wstring& path : attached) {
        if (!DeleteFileW(path.c_str()))
            LogHResult(HRESULT_FROM_WIN32(GetLastError()), kNotDeletedText);
    }
    return limitReached;
}

// Every recipient directory of one profile directory.
void SendProfileDirectory(CSyncEngine* engine, QMRRDOSession* session,
                          const std::wstring& profileDirectory) {
    if (!SetCurrentDirectoryW(profileDirectory.c_str()))
        return;
    std::vector<DirectoryEntry> entries;
    if (!ListDirectory(profileDirectory + L"\\*.*", entries)) {
        WriteDebugLog("sendPacket::InvalidHandle or nothing to send");
        return;
    }
    for (const DirectoryEntry& entry : entries) {
        if (!entry.isDirectory || entry.name == L"." || entry.name == L"..")
            continue;
        basicSyncProcessDirectory(engine, session, profileDirectory + L"\\" + entry.name,
                                  RecipientsFromPacketDirectoryName(entry.name));
    }
}

bool NeedsEscape(wchar_t c) {
    return c < 0x20 || c == L'\\' || c == L'/' || c == L':' || c == L'*' || c == L'?' ||
           c == L'"' || c == L'<' || c == L'>' || c == L'|' || c == L'%';
}

int HexValue(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    return -1;
}

}  // namespace

std::wstring PacketDirectoryName(const std::wstring& text) {
    std::size_t keepEnd = text.find_last_not_of(L". ");
    std::size_t trailingFrom = keepEnd == std::wstring::npos ? 0 : keepEnd + 1;
    std::wstring name;
    for (std::size_t i = 0; i < text.size(); ++i) {
        wchar_t c = text[i];
        if (NeedsEscape(c) || i >= trailingFrom) {
            wchar_t escape[8];
            std::swprintf(escape, 8, L"%%%02X", static_cast<unsigned>(c) & 0xFF);
            // Units above 0xFF never need escaping: only ASCII is refused.
            name += escape;
        } else {
            name += c;
        }
    }
    return name;
}

std::wstring RecipientsFromPacketDirectoryName(const std::wstring& name) {
    std::wstring text;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == L'%' && i + 2 < name.size() && HexValue(name[i + 1]) >= 0 &&
            HexValue(name[i + 2]) >= 0) {
            text += static_cast<wchar_t>(HexValue(name[i + 1]) * 16 + HexValue(name[i + 2]));
            i += 2;
        } else {
            text += name[i];
        }
    }
    return text;
}

HRESULT saveMailInSpecialOutbox(CSyncEngine* engine, QMRMessage* mail,
                                const std::wstring& recipients, QMRRDOSession* session) {
    const DWORD start = GetTickCount();
    WriteDebugTick("saveMailInSpecialOutbox=>start", start);
    if (!engine)
        return E_POINTER;
    HRESULT hr = E_INVALIDARG;
    if (mail && !recipients.empty()) {
        std::wstring profile = ProfileNameOf(session, nullptr);
        if (profile.empty()) {
            HRESULT asked = S_OK;
            profile = ProfileNameOf(engine->Session(), &asked);
            // The engine's session answers on Outlook's thread only.
            if (FAILED(asked))
                profile = LastProfileName();
        }
        std::wstring profileDirectory = ProfileDirectory(engine, profile);
        std::wstring directory = profileDirectory + L"\\" + PacketDirectoryName(recipients);
        hr = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        if (CreateDirectoryIfMissing(profileDirectory) && CreateDirectoryIfMissing(directory)) {
            // Two mails parked within one millisecond must not share a file.
            DWORD stamp = GetTickCount();
            std::wstring path;
            do {
                path = directory + L"\\" + std::to_wstring(stamp++) + L".msg";
            } while (FileExists(path));
            // Written under another name and renamed when whole: a file cut
            // by a crash must not travel in a packet (the mail still waits in
            // the Outbox then and leaves on its own).
            const std::wstring partial = path + kPartialSuffix;
            CComBSTR target(partial.c_str());
            CComVariant format(kQmrFormatMsg, VT_I4);
            CComPtr<QMRSafeMailItem> safeMail;
            if (SUCCEEDED(CreateHelperObject(kSafeMailItemProgId, IID_QMRSafeMailItem,
                                             reinterpret_cast<void**>(&safeMail))) &&
                safeMail) {
                hr = safeMail->PutItem(mail);
                if (SUCCEEDED(hr))
                    hr = safeMail->SaveAs(target, format);
            } else {
                LogHResult(0, "saveMailInSpecialOutbox=>2.Chance");
                hr = mail->SaveAs(target, format);
            }
            if (SUCCEEDED(hr) &&
                !MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_WRITE_THROUGH))
                hr = HRESULT_FROM_WIN32(GetLastError());
            // Order matters: the mail leaves the Outbox only once its parked
            // copy is in place.
            if (SUCCEEDED(hr))
                hr = mail->Delete(0);
            else
                DeleteFileW(partial.c_str());
        }
    }
    engine->m_parkedMailCounter.fetch_add(1);
    WriteDebugElapsed("saveMailInSpecialOutbox = %d msec", start);
    return hr;
}

void sendPackedBasicSyncMSG(CSyncEngine* engine, QMRRDOSession* session) {
    const DWORD start = GetTickCount();
    WriteDebugTick("sendPackedBasicSyncMSG=>start", start);
    if (!engine)
        return;
    std::wstring profile;
    if (!session) {
        WriteDebugLog("sendPacket::No Session to ask Profilename");
    } else {
        HRESULT asked = S_OK;
        profile = ProfileNameOf(session, &asked);
        if (SUCCEEDED(asked))
            RememberProfileName(profile);
        if (profile.empty())
            WriteDebugLog("sendPacket::No Profilename");
    }
    std::wstring profileDirectory = ProfileDirectory(engine, profile);
    SendProfileDirectory(engine, session, profileDirectory);
    // Mails parked while no profile name could be read wait in the fallback
    // directory; they belong to this process's profile as well.
    std::wstring fallback = ProfileDirectory(engine, L"");
    if (fallback != profileDirectory)
        SendProfileDirectory(engine, session, fallback);
    WriteDebugElapsed("sendPackedBasicSyncMSG = %d msec", start);
}

void basicSyncProcessDirectory(CSyncEngine* engine, QMRRDOSession* session,
                               const std::wstring& directory, const std::wstring& recipients) {
    const DWORD start = GetTickCount();
    WriteDebugTick("basicSyncProcessDirectory=>start", start);
    if (!engine)
        return;
    // Each round takes at most the limit; it goes on while files are left and
    // the last packet was saved (a failed save would take the same files
    // again and again).
    while (ProcessDirectoryOnce(engine, session, directory, recipients)) {
    }
    WriteDebugElapsed("basicSyncProcessDirectory = %d msec", start);
}

void ProcessBasicSyncItems(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils) {
    WriteDebugLog("pBSItems::Start");
    if (!engine)
        return;
    std::vector<std::wstring> entryIds;
    CComPtr<QMRMAPIFolder> folder;
    HRESULT hr = engine->FindOrCreateAddinFolder(session, utils, &folder);
    CComBSTR storeId;
    if (hr == S_OK && folder) {
        hr = GetItems(engine, entryIds, folder, true, true);
        if (FAILED(hr))
            LogHResult(hr, "pBSItems::GetInBoxItems (BASICSYNCSUBJECT) failed");
        else if (FAILED(hr = folder->GetStoreID(&storeId)))
            LogHResult(hr, "pBSItems::no storeid");
    }
    if (hr == S_OK && folder && session) {
        SetCurrentDirectoryW(engine->DataDirectory().c_str());
        engine->SetSyncState(kSyncStateImporting);
        const std::wstring path = engine->DataDirectory() + kUnpackFileName;
        CComBSTR pathText(path.c_str());
        for (auto id = entryIds.rbegin(); id != entryIds.rend(); ++id) {
            CComPtr<QMRMessage> packet;
            CComBSTR entryId(id->c_str());
            HRESULT opened = session->GetMessageFromID(entryId, storeId,
                                                       CComVariant(kOpenFlags, VT_I4), &packet);
            if (FAILED(opened) || !packet) {
                LogHResult(opened, "pBSItems::no basicsyncitem");
                continue;
            }
            CComPtr<QMRAttachments> attachments;
            LONG count = 0;
            HRESULT listed = packet->GetAttachments(&attachments);
            if (SUCCEEDED(listed) && attachments)
                listed = attachments->GetCount(&count);
            if (FAILED(listed) || !attachments) {
                LogHResult(listed, "pBSItems::No attachements");
                continue;
            }
            CComPtr<QMRItems> items;
            HRESULT itemsResult = folder->GetItems(&items);
            for (LONG i = 1; i <= count && SUCCEEDED(itemsResult) && items; ++i) {
                CComPtr<QMRAttachment> attachment;
                HRESULT step = attachments->Item(i, &attachment);
                if (SUCCEEDED(step) && attachment)
                    step = attachment->SaveAsFile(pathText);
                if (FAILED(step) || !attachment) {
                    LogHResult(step, "pBSItems::No attachements");
                    continue;
                }
                CComPtr<QMRMessage> single;
                step = items->Add(CComVariant(syncmail::kMessageClass), &single);
                if (SUCCEEDED(step) && single)
                    step = single->PutReminderSet(VARIANT_FALSE);
                if (SUCCEEDED(step) && single)
                    step = single->Import(pathText, kQmrFormatMsg);
                if (FAILED(step) || !single) {
                    WriteDebugLog(path.c_str());
                    LogHResult(step, "pBSItems::ImportBasicSyncMessage failed");
                } else if (FAILED(step = single->Save())) {
                    LogHResult(step, "pBSItems::Save ImportBasicSyncMessage");
                }
                DeleteFileW(path.c_str());
            }
            if (FAILED(itemsResult))
                LogHResult(itemsResult, "pBSItems::ImportBasicSyncMessage failed");
            LogIfFailed(packet->Delete(0), "pBSItems::Delete");
        }
        engine->ChangeSyncState(kSyncStateIdle, kSyncStateImporting);
    }
    if (DebugSwitch.load()) {
        char line[64];
        std::snprintf(line, sizeof line, "pBSItems:: %d Items (BASICSYNCSUBJECT)",
                      static_cast<int>(entryIds.size()));
        WriteDebugLog(line);
        WriteDebugLog("pBSItems::End");
    }
}

void ThrottledPackingNotification(CSyncEngine* engine, const std::wstring& title,
                                  const std::wstring& text, LONG kind) {
    // The interval is measured as an unsigned difference from its start, so
    // it stays right across the wrap of the tick count after 49.7 days.
    static std::atomic<DWORD> intervalStart{GetTickCount()};
    const DWORD now = GetTickCount();
    DWORD since = intervalStart.load();
    if (now - since <= kPackingNotificationInterval)
        return;
    if (!intervalStart.compare_exchange_strong(since, now))
        return;  // another thread notified just now
    if (engine)
        engine->SetPendingNotification(title, text, kind);
}
