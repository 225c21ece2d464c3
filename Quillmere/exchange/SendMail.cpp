#include "Quillmere/exchange/SendMail.h"

#include <algorithm>
#include <atomic>
#include <cstdio>

#include "Quillmere/cabinet/Compress.h"
#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/MeetingAttendees.h"
#include "Quillmere/exchange/PacketMails.h"
#include "Quillmere/exchange/SyncMailFormat.h"
#include "Quillmere/resources/LoadString.h"
#include "Quillmere/tracking/Categories.h"
#include "platform/com/Variant.h"
#include "platform/win/Clock.h"
#include "platform/win/Registry.h"
#include "platform/win/Text.h"

namespace {

constexpr LONG kOutboxFolder = 4;
constexpr ULONG PR_SEARCH_KEY = 0x300B0102;
constexpr ULONG PR_BODY_W = 0x1000001F;
constexpr ULONG PR_SUBJECT_W = 0x0037001F;
// The Outbox search walks at most this many items.
constexpr LONG kOutboxSearchLimit = 20;
// Above this many waiting mails a mail is parked instead of left in the
// Outbox, and the status text shows the long progress form.
constexpr LONG kManyWaitingMails = 10;
// The recipient text is logged up to this many characters.
constexpr std::size_t kLoggedRecipients = 260;
// The cabinet the way every partner reads it: UTC times, UTF-8 names, one
// part, the fixed set id, LZX with a 2^21 window.
constexpr DWORD kNoSplit = 0x7FFFFFFF;
constexpr USHORT kCabinetSetId = 23364;
constexpr TCOMP kCabinetCompression = 0x1503;
// String-table entries of the progress texts.
constexpr UINT kProductNameId = 1214;
constexpr UINT kItemsLeftId = 1234;
constexpr UINT kCompressingId = 1263;
constexpr UINT kCompressTitleId = 1264;
constexpr UINT kMinutesLeftId = 1268;
// The balloon icon of the packing notification: none.
constexpr LONG kBalloonNone = 0;

// Process-wide: the mails SaveMail handled and the tick of the first one,
// the base of the estimate of the minutes left.
std::atomic<LONG> g_handledMails{0};
std::atomic<DWORD> g_estimateStart{0};

std::wstring Text(UINT id) {
    std::wstring text;
    LoadString(AddinResourceModule(), id, g_UILanguage.load(), text);
    return text;
}

std::wstring LowerCase(const std::wstring& text) {
    std::wstring lower = text;
    if (!lower.empty())
        CharLowerBuffW(lower.data(), static_cast<DWORD>(lower.size()));
    return lower;
}

// The password as the cabinet key: the thread's 8-bit code page.
std::string AnsiKey(const std::wstring& password) {
    if (password.empty())
        return {};
    int size = WideCharToMultiByte(CP_THREAD_ACP, 0, password.c_str(),
                                   static_cast<int>(password.size()), nullptr, 0, nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string key(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_THREAD_ACP, 0, password.c_str(), static_cast<int>(password.size()),
                        key.data(), size, nullptr, nullptr);
    return key;
}

// Packs the item file into the cabinet under the name partners look for.
// The cabinet file is complete only after CleanUp, so a failing CleanUp
// counts as a failed pack: a cut cabinet must not be attached.
HRESULT PackItemFile(CSyncEngine* engine, const std::wstring& password) {
    try {
        Cabinet::CCompress writer;
        std::string key = AnsiKey(password);
        writer.Cipher().SetKey(reinterpret_cast<const BYTE*>(key.data()),
                               static_cast<DWORD>(key.size()));
        writer.AllocateBuffer();
        if (!writer.CreateFCIContext(engine->CabinetPath().c_str(), TRUE, TRUE, kNoSplit,
                                     kCabinetSetId, 0)) {
            LogHResult(E_FAIL, "SSM::FCI");
            return E_FAIL;
        }
        BOOL added = writer.AddFile(engine->ShareFilePath().c_str(), syncmail::kAttachedItemName,
                                    kCabinetCompression);
        if (!added)
            LogHResult(E_FAIL, "SSM::AddFile2Cab");
        if (!writer.CleanUp() && added) {
            LogHResult(E_FAIL, "SSM::FCI");
            return E_FAIL;
        }
        return added ? S_OK : E_FAIL;
    } catch (const char* what) {
        LogHResult(E_OUTOFMEMORY, what);
        return E_OUTOFMEMORY;
    }
}

HRESULT AttachCabinet(CSyncEngine* engine, QMRAttachments* attachments) {
    if (!attachments) {
        LogHResult(E_FAIL, "no attatchement ptr");
        return E_FAIL;
    }
    CComBSTR source(engine->CabinetPath());
    CComPtr<QMRAttachment> attachment;
    HRESULT hr = attachments->Add(source, CComVariant(LONG(1)), CComVariant(LONG(1)),
                                  CComVariant(source.View()), &attachment);
    if (FAILED(hr))
        LogHResult(hr, "AddAttatchment");
    return hr;
}

void LogEndOfBuild(HRESULT hr) {
    if (!DebugSwitch.load())
        return;
    if (SUCCEEDED(hr))
        WriteDebugLog("sendSyncMessage::END");
    else
        LogHResult(hr, "sendSyncMessage failed");
}

// The progress shown while many mails are parked: how many wait and about
// how many minutes are left at the pace seen since the first mail.
std::wstring LongProgressText(QMRMessage* item, LONG waitingMails) {
    std::wstring subject;
    if (item) {
        CComVariant value;
        if (SUCCEEDED(item->GetFields(CComVariant(static_cast<LONG>(PR_SUBJECT_W)), &value)) &&
            value.vt == VT_BSTR && value.bstrVal)
            subject = value.bstrVal;
    }
    LONG handled = g_handledMails.load();
    DWORD elapsed = GetTickCount() - g_estimateStart.load();
    unsigned long long minutes = handled > 0 ? static_cast<unsigned long long>(elapsed) /
                                                   static_cast<unsigned>(handled) *
                                                   static_cast<unsigned>(waitingMails) / 60000ULL
                                             : 0ULL;
    return Text(kProductNameId) + L" ( " + Text(kCompressingId) + L" )\nSubject: " + subject +
           L"\n" + Text(kItemsLeftId) + L": " + std::to_wstring(waitingMails) + L" mails / " +
           Text(kMinutesLeftId) + L": " + std::to_wstring(minutes);
}

}  // namespace

bool haveMyMailUserPropertyOutbox(QMRSafeMailItem* safeMail, bool& remove,
                                  std::wstring& syncIdText) {
    remove = false;
    syncIdText.clear();
    if (!safeMail)
        return false;
    CComBSTR body;
    HRESULT hr = safeMail->GetBody(&body);
    if (FAILED(hr))
        LogHResult(hr, "haveMyMailUserProperty=>no Body");
    if (!body || body.Length() == 0) {
        CComVariant value;
        if (SUCCEEDED(safeMail->GetFields(CComVariant(static_cast<LONG>(PR_BODY_W)), &value)) &&
            value.vt == VT_BSTR && value.bstrVal && SysStringLen(value.bstrVal) > 0) {
            WriteDebugLog("GetSharedFolderFromMessage=>no Body:FallBack2C1");
            body = value.bstrVal;
        }
    }
    std::wstring_view text = body.View();
    bool syncFlag = text.find(syncmail::kSyncMailFlag) != std::wstring_view::npos;
    bool deletionFlag = !syncFlag && text.find(syncmail::kDeletionFlag) != std::wstring_view::npos;
    if (!syncFlag && !deletionFlag)
        return false;
    remove = deletionFlag;
    syncmail::SyncMailMarkers markers = syncmail::ReadSyncMailMarkers(text);
    if (markers.kind == syncmail::SyncMailKind::kNone) {
        LogHResult(0, "haveMyMailUserProperty0>no Body, no SyncId");
        return false;
    }
    syncIdText = markers.syncIdText;
    WriteDebugLogValue("haveMyMailUserProperty:got:", syncIdText.c_str());
    return true;
}

bool FindMailInOutbox(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                      const std::wstring& syncIdText) {
    (void)utils;
    if (!session)
        return false;
    CComPtr<QMRMAPIFolder> outbox;
    if (!LogIfFailed(session->GetDefaultFolder(kOutboxFolder, &outbox), "fMiOBox:getOutfolder") ||
        !outbox)
        return false;
    CComPtr<QMRSafeMailItem> safeMail;
    if (FAILED(CreateSafeMailItem(engine, &safeMail)) || !safeMail)
        return false;
    CComPtr<QMRItems> items;
    LONG count = 0;
    if (!LogIfFailed(outbox->GetItems(&items), "fMiOBox:getItems") || !items ||
        !LogIfFailed(items->GetCount(&count), "fMiOBox:getCount"))
        return false;
    if (count >= kOutboxSearchLimit) {
        WriteDebugLog("fMiOBox:too many items in outbox");
        return false;
    }
    CComPtr<QMRMessage> found;
    CComPtr<QMRMessage> message;
    for (HRESULT hr = items->GetFirst(&message); SUCCEEDED(hr) && message;
         hr = items->GetNext(&message)) {
        bool remove = false;
        std::wstring id;
        if (SUCCEEDED(safeMail->PutItem(message)) &&
            haveMyMailUserPropertyOutbox(safeMail, remove, id) && !remove && id == syncIdText) {
            found = message;
            break;
        }
        message.Release();
    }
    if (!found)
        return false;
    // A mail the re-check has not submitted yet has nothing to take back
    // (MAPI_E_NOT_IN_QUEUE); it is replaced all the same, or both mails
    // would leave and the older one could overtake the newer.
    HRESULT hr = found->AbortSubmit();
    if (FAILED(hr) && hr != MAPI_E_NOT_IN_QUEUE) {
        LogHResult(hr, "fMiOBox:AbortSubmit");
        return false;
    }
    if (!LogIfFailed(found->Delete(0), "fMiOBox:Delete"))
        return false;
    WriteDebugLog("fMiOBox:mail was stopped");
    return true;
}

std::vector<std::wstring> GetFolderUsers(const std::wstring& folderEntryId, bool* unreadable) {
    std::vector<std::wstring> users;
    if (unreadable)
        *unreadable = false;
    std::wstring path = std::wstring(kFoldersKeyPath) + L"\\" + folderEntryId + L"\\Users";
    HKEY key = nullptr;
    LSTATUS opened = RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key);
    if (opened != ERROR_SUCCESS) {
        if (opened != ERROR_FILE_NOT_FOUND && opened != ERROR_PATH_NOT_FOUND) {
            if (unreadable)
                *unreadable = true;
            std::string line =
                "registry unreadable, partners unknown: HKEY_CURRENT_USER\\" + win::ToAnsi(path);
            LogHResult(HRESULT_FROM_WIN32(static_cast<DWORD>(opened)), line.c_str());
        }
        return users;
    }
    auto add = [&](const wchar_t* name, DWORD size) {
        std::wstring user(name, size);
        if (!user.empty() && std::find(users.begin(), users.end(), user) == users.end())
            users.push_back(std::move(user));
    };
    wchar_t name[MAX_PATH];
    for (DWORD i = 0;; ++i) {
        DWORD size = MAX_PATH;
        LSTATUS status = RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA)
            continue;  // no address is that long; skip it rather than cut it
        if (status != ERROR_SUCCESS)
            break;
        add(name, size);
    }
    // The registry layout also knows a partner as a value named by the
    // address; such a key is read alike, so that a sync mail and the
    // deletion notice of its item reach the same partners.
    for (DWORD i = 0;; ++i) {
        DWORD size = MAX_PATH;
        LSTATUS status = RegEnumValueW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            break;
        add(name, size);
    }
    RegCloseKey(key);
    return users;
}

bool GetShareRecipients(CSyncEngine* engine, const std::wstring& folderEntryId,
                        const std::vector<std::wstring>* categories, std::wstring& recipients,
                        const std::vector<std::wstring>* attendees, bool* unreadable) {
    recipients.clear();
    bool added = false;
    for (const std::wstring& user : GetFolderUsers(folderEntryId, unreadable)) {
        if (categories) {
            std::vector<std::wstring> linked;
            LoadUserCategories(engine, linked, user.c_str());
            bool qualifies = linked.empty();
            for (const std::wstring& category : linked) {
                WriteDebugLogValue("Cat4ThisUser", category.c_str());
                for (const std::wstring& own : *categories)
                    if (own == category)
                        qualifies = true;
            }
            if (!qualifies)
                continue;
        }
        if (attendees &&
            std::find(attendees->begin(), attendees->end(), LowerCase(user)) != attendees->end()) {
            WriteDebugLogValue("Don't sent2User which is meetingrecipient", user.c_str());
            continue;
        }
        recipients += user;
        recipients += L';';
        added = true;
    }
    WriteDebugLogValue("user list:", recipients.substr(0, kLoggedRecipients).c_str());
    return added;
}

LONG SendMail::HandledCount() {
    return g_handledMails.load();
}

HRESULT SendMail::SaveMail(CSyncEngine* engine, QMRRDOSession* session, QMRMessage* mail,
                           QMRSafeMailItem* safeMail, QMRMessage* item,
                           const std::wstring& recipients, LONG waitingMails, bool many) {
    (void)safeMail;
    if (!engine || !mail)
        return E_POINTER;
    if (g_handledMails.fetch_add(1) == 0)
        g_estimateStart = GetTickCount();
    HRESULT hr = mail->Save();
    if (FAILED(hr))
        return hr;
    if (waitingMails <= kManyWaitingMails && !many && !engine->m_packEveryTime.load()) {
        WriteDebugLog("SendMail::SaveMail");
        return S_OK;
    }

    const bool deletionNotice = item == nullptr;
    if (deletionNotice || waitingMails <= kManyWaitingMails) {
        if (waitingMails > 0)
            engine->SetStatusText(L" ( " + std::to_wstring(waitingMails) + L" mails)");
        else if (!deletionNotice)
            engine->SetStatusText(L"");
    } else {
        std::wstring progress = LongProgressText(item, waitingMails);
        engine->SetStatusText(progress);
        ThrottledPackingNotification(engine, Text(kCompressTitleId), progress, kBalloonNone);
    }

    // A mail that can't be parked stays in the Outbox and leaves singly.
    if (SUCCEEDED(saveMailInSpecialOutbox(engine, mail, recipients, session)))
        WriteDebugLog("SaveSpecialMail saved");
    else
        WriteDebugLog("SaveSpecialMail FAILED");
    return S_OK;
}

HRESULT WriteMailBody(CSyncEngine* engine, QMRSafeMailItem* safeMail, const std::wstring& body) {
    CComBSTR text(body);
    if (!text)
        return E_OUTOFMEMORY;
    auto byPutBody = [&] { return safeMail->PutBody(text); };
    auto byFields = [&] {
        return safeMail->SetFields(CComVariant(static_cast<LONG>(PR_BODY_W)), CComVariant(text));
    };
    HRESULT hr = engine->IsModernMode() ? byPutBody() : byFields();
    if (FAILED(hr))
        hr = engine->IsModernMode() ? byFields() : byPutBody();
    return hr;
}

HRESULT SendSyncMessage(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                        QMRMessage* item, BSTR folderEntryId, const std::wstring& password,
                        const std::wstring& shareName, bool formFlag, LONG waitingMails,
                        bool many) {
    CComBSTR folderId;
    folderId.Attach(folderEntryId);
    if (!item) {
        LogHResult(E_FAIL, "Syncitem == NULL");
        return E_FAIL;
    }
    if (!engine || !session || !utils)
        return E_POINTER;
    std::wstring body = Text(syncmail::kIntroStringId);
    engine->SetSyncState(kSyncStateSending);

    // The sync id text names the item in the body and finds an older mail.
    CComVariant searchKey;
    HRESULT hr = item->GetFields(CComVariant(static_cast<LONG>(PR_SEARCH_KEY)), &searchKey);
    CComBSTR syncId;
    if (SUCCEEDED(hr))
        hr = utils->BinaryToText(searchKey, &syncId);
    if (FAILED(hr) || !syncId) {
        LogHResult(hr, "SendSyncMessage::no SyncID");
        return FAILED(hr) ? hr : E_FAIL;
    }
    const std::wstring syncIdText(syncId.View());
    FindMailInOutbox(engine, session, utils, syncIdText);

    CComPtr<QMRMAPIFolder> outbox;
    CComPtr<QMRItems> items;
    CComPtr<QMRMessage> mail;
    hr = session->GetDefaultFolder(kOutboxFolder, &outbox);
    if (SUCCEEDED(hr))
        hr = outbox->GetItems(&items);
    if (SUCCEEDED(hr))
        hr = items->Add(CComVariant(syncmail::kMessageClass), &mail);
    if (FAILED(hr) || !mail) {
        LogHResult(hr, "SendSyncMessage::mail not created");
        return FAILED(hr) ? hr : E_FAIL;
    }
    WriteDebugLog("SendSyncMessage::new Mail added");
    CComPtr<QMRSafeMailItem> safeMail;
    hr = CreateSafeMailItem(engine, &safeMail);
    if (FAILED(hr))
        return hr;
    safeMail->PutItem(mail);

    OutboxLockHolder outboxLock;
    hr = item->SaveAs(CComBSTR(engine->ShareFilePath()), CComVariant());
    if (FAILED(hr)) {
        LogHResult(hr, "SendSyncMessage::.syn Speichern fehlgeschlagen");
        LogEndOfBuild(hr);
        return hr;
    }

    std::vector<std::wstring> categories;
    GetKeywords(utils, item, categories);
    // The attendees of this item: a meeting never goes to a partner who
    // attends it, and no other item's meeting decides this one's partners.
    const std::vector<std::wstring> attendees = GetMeetingAttendees(session, item);
    std::wstring recipients;
    bool unreadable = false;
    if (!GetShareRecipients(engine, std::wstring(folderId.View()), &categories, recipients,
                            &attendees, &unreadable)) {
        WriteDebugLog("SendSyncMessage::Userlist is empty, Mail can't be sent");
        mail->Delete(0);
        const HRESULT hr = unreadable ? kPartnersUnreadable : E_FAIL;
        LogEndOfBuild(hr);
        return hr;
    }

    LogIfFailed(mail->PutTo(CComBSTR(recipients)), "SendSyncMessage::put_To");
    if (auto from = engine->SpecialSender(); from && !from->empty())
        LogIfFailed(mail->PutSentOnBehalfOfName(CComBSTR(*from)), "put_SentOnBehalfOfName");
    mail->PutDeleteAfterSubmit(VARIANT_FALSE);
    hr = mail->Save();
    LogIfFailed(hr, "SendSyncMessage::Save");
    CComPtr<QMRAttachments> attachments;
    mail->GetAttachments(&attachments);

    // A mail that can't carry its cabinet still leaves: the partner reports
    // the missing attachment to its user instead of never hearing of the
    // change.
    hr = PackItemFile(engine, password);
    if (SUCCEEDED(hr))
        hr = AttachCabinet(engine, attachments);
    // The logs are ANSI text: the context goes there in the ANSI code page.
    static const std::string kIconContext = win::ToAnsi(L"Icon ändern");
    HRESULT wrapped = SUCCEEDED(hr) ? safeMail->PutItem(mail) : hr;
    if (SUCCEEDED(wrapped)) {
        LogIfFailed(safeMail->SetFields(CComVariant(static_cast<LONG>(syncmail::PR_ICON_INDEX)),
                                        CComVariant(syncmail::kIconIndex)),
                    kIconContext.c_str());
    } else {
        LogHResult(wrapped, "put_Item((IDispatch*)mailItem)");
        LogHResult(wrapped, kIconContext.c_str());
    }

    syncmail::SyncMailTime time = syncmail::MakeSyncMailTime();
    hr = mail->SetMailTime(time.value);
    if (SUCCEEDED(hr))
        hr = mail->PutSubject(CComBSTR(syncmail::BuildSyncMailSubject(time.text, false, L"")));
    // The item's subject in the debug form only adds to a mail that is
    // being built; reading it never decides whether the mail leaves.
    bool debugSwitch = DebugSwitch.load();
    std::wstring itemSubject;
    if (debugSwitch) {
        CComBSTR subject;
        HRESULT subjectHr = item->GetSubject(&subject);
        if (FAILED(subjectHr)) {
            WriteDebugLog("sendSyncMessage::without Subject");
            debugSwitch = false;
        } else {
            itemSubject = subject.View();
            WriteDebugLogValue("sendSyncMessage::", itemSubject.c_str());
            if (SUCCEEDED(hr))
                hr = mail->PutSubject(
                    CComBSTR(syncmail::BuildSyncMailSubject(time.text, true, itemSubject)));
        }
    }
    if (FAILED(hr))
        LogHResult(hr, "could not create new mail");

    if (shareName.empty())
        LogHResult(0, "sendSyncMessage::NO SHARENAME");
    body = syncmail::BuildSyncMailBody(body, debugSwitch, itemSubject, shareName, syncIdText,
                                       formFlag);
    if (SUCCEEDED(hr))
        hr = WriteMailBody(engine, safeMail, body);
    if (FAILED(hr)) {
        LogHResult(hr, "could not add any Body!");
        // Without its marker subject or body the mail would lie in the
        // Outbox for ever: the re-check never sends it.
        mail->Delete(0);
        LogEndOfBuild(hr);
        return hr;
    }

    mail->ResolveRecipients(-1, nullptr);
    CComPtr<QMRRecipients> mailRecipients;
    VARIANT_BOOL resolved = VARIANT_FALSE;
    if (SUCCEEDED(safeMail->GetRecipients(&mailRecipients)) && mailRecipients)
        mailRecipients->ResolveAll(&resolved);

    hr = SendMail::SaveMail(engine, session, mail, safeMail, item, recipients, waitingMails, many);
    LogEndOfBuild(hr);
    return hr;
}
