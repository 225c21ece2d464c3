#include "Quillmere/exchange/ProcessSyncItems.h"

#include <cstdio>
#include <iterator>
#include <string_view>
#include <vector>

#include "Quillmere/cabinet/Extract.h"
#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/ItemsEvents.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/DelMailSender.h"
#include "Quillmere/exchange/SyncMailFormat.h"
#include "Quillmere/resources/LoadString.h"
#include "Quillmere/tracking/ImportJournal.h"
#include "Quillmere/tracking/ItemFilters.h"
#include "Quillmere/tracking/ItemLookup.h"
#include "Quillmere/tracking/OwnChanges.h"
#include "Quillmere/tracking/SyncId.h"
#include "platform/com/Bstr.h"
#include "platform/com/ComError.h"
#include "platform/com/Variant.h"
#include "platform/win/Clock.h"
#include "platform/win/Files.h"
#include "platform/win/Paths.h"
#include "platform/win/Text.h"

namespace {

constexpr ULONG PR_BODY_W = 0x1000001F;
constexpr ULONG PR_SENSITIVITY = 0x00360003;
constexpr ULONG PR_SEARCH_KEY = 0x300B0102;
constexpr LONG kSensitivityPrivate = 2;
constexpr LONG kBestAccess = 16;
constexpr LONG kImportanceHigh = 2;
// A failed mail older than this many days is deleted by the next retry.
constexpr double kFailedMailLifetimeDays = 3.0;
// FolderCheckLock is polled every 10 ms; a note is written every minute.
constexpr DWORD kLockPollMs = 10;
constexpr int kLockTriesPerNote = 601;

constexpr wchar_t kExtractionDirectoryName[] = L"EXT\\";
// The received cabinet, in the data directory beside the sender's "sync.zuf"
// and outside the extraction directory, so that no file it carries can
// overwrite it while it is read.
constexpr wchar_t kReceivedCabinetName[] = L"sync-in.zuf";
constexpr wchar_t kOldAttachmentName[] = L"sync.huf";
constexpr wchar_t kZipMark[] = L".zip";
constexpr wchar_t kNoSubject[] = L"<no subject>";

constexpr UINT kHelpIntro = 1281;
constexpr UINT kHelpNoShare = 1280;
constexpr UINT kHelpWizard = 1282;
constexpr UINT kHelpPassword = 1283;
constexpr UINT kHelpZipped = 1284;

// Desktop notification kinds of CSyncEngine::QueueDesktopNotification.
constexpr LONG kNotifyDeleted = 0;
constexpr LONG kNotifyNew = 1;
constexpr LONG kNotifyChanged = 2;

bool Contains(std::wstring_view text, std::wstring_view part) {
    return text.find(part) != std::wstring_view::npos;
}

std::wstring Text(const BSTR text) {
    return text ? std::wstring(text) : std::wstring();
}

std::wstring UiString(UINT id) {
    std::wstring text;
    LoadString(AddinResourceModule(), id, g_UILanguage.load(), text);
    return text;
}

// Removes the first occurrence of c (at most once).
void RemoveFirst(std::wstring& text, wchar_t c) {
    std::size_t at = text.find(c);
    if (at != std::wstring::npos)
        text.erase(at, 1);
}

// The local time now as a DATE.
DATE LocalNow() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    DATE value = 0;
    SystemTimeToVariantTime(&now, &value);
    return value;
}

// The target of a mail: the synchronised folder of its share name, copied
// out of the table so that nothing of the table is used after its lock.
struct Target {
    bool found = false;
    std::wstring entryId;
    std::wstring storeId;
    std::wstring password;
};

Target FindTargetOfShare(CSyncEngine* engine, const std::wstring& shareName) {
    Target target;
    EnterCriticalSection(&FolderTableLock);
    const DWORD count = engine->GetFolderCount();
    for (DWORD i = 0; i < count; ++i) {
        CFolderObj* folder = engine->GetFolderEntry(i, true);
        if (!folder || folder->Kind() != CFolderObj::kSharedFolder || !folder->Sink() ||
            folder->m_shareName != shareName)
            continue;
        target.found = true;
        target.entryId = folder->Sink()->m_entryId;
        target.storeId = folder->Sink()->m_storeId;
        target.password = folder->m_password;
        break;
    }
    LeaveCriticalSection(&FolderTableLock);
    return target;
}

// An Outlook-style view of a helper-library mail for the share-name reader,
// which asks for the mail's Body and HTMLBody by their dispatch ids.
class MailBodyView final : public IDispatch {
public:
    explicit MailBodyView(QMRMessage* mail) : m_mail(mail) {}
    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (iid != IID_IUnknown && iid != IID_IDispatch)
            return E_NOINTERFACE;
        *out = static_cast<IDispatch*>(this);
        AddRef();
        return S_OK;
    }
    // Lives on the caller's stack for one call; the counts only balance.
    ULONG AddRef() override { return ++m_refs; }
    ULONG Release() override { return --m_refs; }
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count)
            *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info)
            *info = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override {
        return DISP_E_UNKNOWNNAME;
    }
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (!result)
            return E_POINTER;
        VariantInit(result);
        if (id != outlook::dispid::kBody)
            return DISP_E_MEMBERNOTFOUND;
        CComBSTR body;
        HRESULT hr = m_mail->GetBody(&body);
        if (FAILED(hr))
            return hr;
        result->vt = VT_BSTR;
        result->bstrVal = body.Detach();
        if (!result->bstrVal)
            result->bstrVal = SysAllocString(L"");
        return S_OK;
    }

private:
    QMRMessage* m_mail;
    ULONG m_refs = 1;
};

// Everything one pass shares between its mails.
struct Pass {
    CSyncEngine* engine;
    QMRRDOSession* session;
    QMRMAPIUtils* utils;
    std::wstring extractionDirectory;
    std::wstring messagePath;
    std::wstring cabinetPath;
};

// One mail's state between its steps.
struct Mail {
    QMRMessage* message = nullptr;
    bool remove = false;
    std::wstring syncIdText;
    CComVariant syncId;
    std::wstring shareName;
    int error = 0;
    HRESULT result = S_OK;
};

// Deletes the files left in the extraction directory: a cabinet may carry
// more than the item's file, and nothing of one mail may stay for the next
// one or pile up over many.
void ClearExtractionDirectory(const std::wstring& directory) {
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW((directory + L"*.*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::wstring> files;
    do {
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            files.push_back(directory + data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    for (const std::wstring& file : files)
        DeleteFileW(file.c_str());
}

// Unpacks the cabinet (already saved to the cabinet path) with the folder's
// password into the extraction directory. false with the reader's error text
// logged when it fails.
bool ExtractCabinet(const Pass& pass, const std::wstring& password) {
    bool ok = false;
    std::wstring errorText;
    try {
        Cabinet::CExtract reader;
        std::string key = win::ToAnsi(password);
        reader.Cipher().SetKey(reinterpret_cast<const BYTE*>(key.data()),
                               static_cast<DWORD>(key.size()));
        reader.AllocateBuffer();
        ok = reader.CreateFDIContext() &&
             reader.ExtractFile(pass.cabinetPath.c_str(), pass.extractionDirectory.c_str(), 0);
        if (!ok && reader.GetLastErrorText())
            errorText = reader.GetLastErrorText();
        reader.CleanUp();
    } catch (const char* thrown) {
        ok = false;
        errorText = win::FromAnsi(thrown ? thrown : "");
    }
    if (!ok) {
        LogHResult(E_FAIL, "Extrract failed");
        WriteDebugLog(errorText.c_str());
    }
    return ok;
}

// The attachment that should carry the item: the first named "sync.zuf" (by
// file name, else display name), else the last one, with the name read last.
void FindCandidate(Mail& mail, CComPtr<QMRAttachment>& candidate, std::wstring& candidateName,
                   bool& nameFailed) {
    CComPtr<QMRAttachments> attachments;
    HRESULT hr = mail.message->GetAttachments(&attachments);
    LONG count = 0;
    if (FAILED(hr) || !attachments)
        LogHResult(hr, "pSI::No attachements");
    else
        attachments->GetCount(&count);
    if (count <= 0) {
        if (!mail.remove) {
            mail.error = kImportNoAttachment;
            mail.result = E_FAIL;
        }
        WriteDebugLog("pSI::is removemail");
        return;
    }
    for (LONG i = 1; i <= count; ++i) {
        CComPtr<QMRAttachment> attachment;
        hr = attachments->Item(i, &attachment);
        if (FAILED(hr) || !attachment) {
            LogHResult(hr, "pSI:GetAttachement");
            continue;
        }
        CComBSTR name;
        hr = attachment->GetFileName(&name);
        nameFailed = FAILED(hr);
        if (Text(name) != syncmail::kAttachmentName) {
            name.Empty();
            hr = attachment->GetDisplayName(&name);
            nameFailed = FAILED(hr);
        }
        candidate = attachment;
        candidateName = Text(name);
        if (!nameFailed && candidateName == syncmail::kAttachmentName) {
            WriteDebugLog("pSI:: OK we have the attachement");
            return;
        }
    }
}

// Writes the mail's sync id as the item's search key (not saved). The body's
// id alone names the item: it finds the item here, it is what deletion
// notices and the own-change registration use, and what the partners know
// the item by. An enclosed file whose own search key differs must not give
// the item another name, or the next mail of it would add a second item.
void KeepSyncId(const Pass& pass, const Mail& mail, QMRMessage* item) {
    LogIfFailed(pass.utils->HrSetOneProp(item, PR_SEARCH_KEY, mail.syncId, VARIANT_FALSE),
                "pSI::SyncId");
}

// Imports the item of the message file onto the target folder's item of the
// same sync id, creating it when there is none.
void ImportItem(const Pass& pass, Mail& mail, const Target& target, QMRMAPIFolder* folder,
                QMRMessage* incoming, const std::wstring& sender, const std::wstring& folderName) {
    if (!incoming) {
        if (mail.error == 0)
            mail.error = kImportCannotOpenItem;
        mail.result = E_FAIL;
        return;
    }
    CComPtr<QMRItems> items;
    HRESULT hr = folder->GetItems(&items);
    WriteDebugLog("pSI::check Item (new/del)");
    if (FAILED(hr) || !items) {
        LogHResult(hr, "pSI::GetItems");
        mail.result = FAILED(hr) ? hr : E_FAIL;
        return;
    }
    CComBSTR messageClass;
    incoming->GetMessageClass(&messageClass);
    const int kind = GetItemKindFromMessageClass(Text(messageClass));
    {
        char line[64];
        std::snprintf(line, sizeof line, "pSI::mclass of incoming item is: %d", kind);
        WriteDebugLog(line);
    }
    if (kind == kItemKindFormDescription) {
        mail.result = ImportHiddenFormItem(pass.engine, pass.session, pass.utils, incoming, folder,
                                           mail.syncId);
        return;
    }

    CComPtr<QMRMessage> item =
        ItemExist(pass.engine, mail.syncId, folder, pass.session, pass.utils);
    bool created = false;
    if (!item) {
        hr = items->Add(CComVariant(messageClass.m_str ? messageClass.m_str : L""), &item);
        if (FAILED(hr) || !item) {
            LogHResult(hr, "pSI::CreateItem");
            mail.result = FAILED(hr) ? hr : E_FAIL;
            return;
        }
        if (pass.engine->m_importAsPrivate.load())
            pass.utils->HrSetOneProp(item, PR_SENSITIVITY, CComVariant(kSensitivityPrivate, VT_I4),
                                     VARIANT_FALSE);
        item->PutReminderSet(VARIANT_FALSE);
        // A new item is first saved filled (below): saved empty here, a host
        // killed before the filling save would leave an empty item that the
        // folder's next check sends to every partner, beside the real one the
        // mail's retry makes.
        WriteDebugLog("pSI::NEUer Eintrag, eines noch nicht existierenden Items");
        created = true;
    } else {
        WriteDebugLog("pSI:is overwrite");
    }

    if (pass.engine->m_journal.load() || pass.engine->m_desktopNotification.load()) {
        CComBSTR subjectText;
        incoming->GetSubject(&subjectText);
        std::wstring subject = Text(subjectText);
        if (subject.empty())
            subject = kNoSubject;
        TotalDebugging(pass.engine, pass.session, pass.utils, subject, sender, created, false,
                       incoming, item);
        pass.engine->QueueDesktopNotification(subject, folderName,
                                              created ? kNotifyNew : kNotifyChanged, sender);
    }

    LONG version = -1;
    if (FAILED(hr = GetSyncVersion(pass.engine, pass.utils, incoming, version)))
        LogHResult(hr, "pSI:GetSyncVersion");

    // The sending side never writes a version below -1, so every mail is
    // imported; a mail with such a version would have been overtaken by a
    // later one of the same item.
    if (version <= -2) {
        WriteDebugLog("Mail ignored (eine 2. Mail hatte sich vorgedrängelt)");
        if (created && FAILED(hr = item->Save())) {
            LogHResult(hr, "pSI::Save Item");
            mail.result = hr;
            return;
        }
    } else {
        hr = item->Import(CComBSTR(pass.messagePath.c_str()), kQmrFormatMsg);
        if (FAILED(hr)) {
            LogHResult(hr, "pSI::Import");
            mail.result = hr;
            // Never saved, the new item does not exist; the mail is retried.
            if (created)
                return;
        } else {
            WriteDebugLog("pSI::change one Item successfully");
            if (pass.engine->m_removeReminder.load())
                LogIfFailed(item->PutReminderSet(VARIANT_FALSE), "pSI:RemoveReminder");
            // The imported file carries the sender's sensitivity; a new item
            // is made private after it, or the setting would never hold.
            if (created && pass.engine->m_importAsPrivate.load())
                pass.utils->HrSetOneProp(item, PR_SENSITIVITY,
                                         CComVariant(kSensitivityPrivate, VT_I4), VARIANT_FALSE);
            // The imported file carries its own search key, which may differ
            // from the id the mail names the item by.
            KeepSyncId(pass, mail, item);
        }
        HRESULT saved = item->Save();
        if (FAILED(saved)) {
            LogHResult(saved, "pSI::Save");
            mail.result = saved;
        }
    }

    // The write is the add-in's own: registered before FolderCheckLock is
    // left, so the folder's next check absorbs it instead of sending it back.
    SelfModifiedItem(pass.engine, pass.session, pass.utils, target.entryId,
                     SysAllocString(mail.syncIdText.c_str()));
}

// Deletes the target folder's item named by a deletion notice. A meeting is
// never deleted.
void DeleteItem(const Pass& pass, Mail& mail, const Target& target, QMRMAPIFolder* folder,
                const std::wstring& sender, const std::wstring& folderName) {
    WriteDebugLog("pSI::it's removemail");
    bool found = false;
    std::wstring entryId;
    HRESULT hr = GetEntryIDFromPR_SEARCH_KEY(pass.engine, pass.session, pass.utils, found, entryId,
                                             folder, mail.syncId);
    if (FAILED(hr) || !found || entryId.empty()) {
        mail.error = kImportNoDeletedItem;
        if (FAILED(hr))
            mail.result = hr;
        return;
    }
    CComPtr<QMRMessage> item;
    hr = pass.session->GetMessageFromID(CComBSTR(entryId.c_str()), CComBSTR(target.storeId.c_str()),
                                        CComVariant(kBestAccess, VT_I4), &item);
    if (FAILED(hr) || !item) {
        WriteDebugLog("pSI::got no interface for message to delete");
        mail.error = kImportNoDeletedItem;
        return;
    }
    bool meeting = false;
    try {
        meeting = IsMeetingItem(pass.engine, item);
    } catch (const _com_error& error) {
        LogHResult(error.Error(), "pSI::IsMeetingItem");
        mail.result = error.Error();
        return;
    }
    if (meeting) {
        WriteDebugLog("pSI::Don't Delete Meetings!");
        return;
    }
    WriteDebugLog("pSI::Item2Del");
    if (pass.engine->m_journal.load() || pass.engine->m_desktopNotification.load()) {
        CComBSTR subjectText;
        item->GetSubject(&subjectText);
        std::wstring subject = Text(subjectText);
        if (subject.empty())
            subject = kNoSubject;
        TotalDebugging(pass.engine, pass.session, pass.utils, subject, sender, false, true, nullptr,
                       item);
        pass.engine->QueueDesktopNotification(subject, folderName, kNotifyDeleted, sender);
    }
    hr = item->Delete(0);
    if (FAILED(hr)) {
        LogHResult(hr, "pSI::Delete");
        mail.result = hr;
        return;
    }
    // The folder's deletion scan must not report the item back.
    RemoveFromChangeList(pass.engine, SysAllocString(mail.syncIdText.c_str()), mail.shareName);
}

// Steps from the sync id on: finds the target, unpacks the item and applies
// it. Leaves the outcome in mail.result and mail.error.
void ApplyMail(const Pass& pass, Mail& mail) {
    // An empty id names no item: it would add a new one for every mail.
    HRESULT hr = mail.syncIdText.empty()
                     ? E_INVALIDARG
                     : pass.utils->TextToBinary(CComBSTR(mail.syncIdText.c_str()), &mail.syncId);
    if (FAILED(hr)) {
        LogHResult(hr, "pSI::Str2Arr");
        WriteDebugLogValue("pSI::SyncIDFailed:", mail.syncIdText.c_str());
        mail.error = kImportNoSyncId;
        mail.result = hr;
        return;
    }

    CComPtr<QMRAttachment> candidate;
    std::wstring candidateName;
    bool nameFailed = false;
    FindCandidate(mail, candidate, candidateName, nameFailed);

    Target target;
    if (SUCCEEDED(mail.result)) {
        MailBodyView view(mail.message);
        hr = GSFFMSG(pass.engine, pass.utils, mail.shareName, &view);
        if (FAILED(hr)) {
            LogHResult(hr, "pSI::NOSHARENAME");
            mail.error = kImportNoShareName;
            mail.result = hr;
        } else if (mail.shareName.empty()) {
            LogHResult(0, "pSI::SharedFolder is NULL");
        } else {
            target = FindTargetOfShare(pass.engine, mail.shareName);
        }
    }
    if (!target.found) {
        LogHResult(0, "pSI::folderobject is NULL");
        mail.result = E_FAIL;
        if (mail.error == 0)
            mail.error = kImportNoTarget;
        return;
    }

    CComPtr<QMRMAPIFolder> folder;
    hr = pass.session->GetFolderFromID(CComBSTR(target.entryId.c_str()),
                                       CComBSTR(target.storeId.c_str()),
                                       CComVariant(kBestAccess, VT_I4), &folder);
    if (FAILED(hr)) {
        LogHResult(hr, "pSI::GetFolderFromID");
        mail.result = hr;
        return;
    }
    if (!folder)
        return;
    CComBSTR senderText, folderNameText;
    mail.message->GetSenderName(&senderText);
    folder->GetName(&folderNameText);
    const std::wstring sender = Text(senderText);
    const std::wstring folderName = Text(folderNameText);

    CComPtr<QMRMessage> incoming;
    if (!candidate) {
        mail.error = kImportNoAttachment;
    } else {
        if (nameFailed)
            LogHResult(E_FAIL, "pSI::getFileneme?");
        const bool isCabinet = !nameFailed && candidateName == syncmail::kAttachmentName;
        if (isCabinet) {
            // A stale cabinet of an earlier mail must never be taken for
            // this one's: it goes before the save, and a failed save stops.
            DeleteFileW(pass.cabinetPath.c_str());
            hr = candidate->SaveAsFile(CComBSTR(pass.cabinetPath.c_str()));
            DeleteFileW(pass.messagePath.c_str());
            if (FAILED(hr)) {
                LogHResult(hr, "pSI::Save2File");
                mail.result = hr;
                return;
            }
            if (!ExtractCabinet(pass, target.password))
                mail.error = kImportPassword;
            if (mail.error == 0) {
                hr = pass.session->GetMessageFromMsgFile(CComBSTR(pass.messagePath.c_str()),
                                                         VARIANT_FALSE, &incoming);
                if (FAILED(hr)) {
                    LogHResult(hr, "\nCan't import MSG");
                    mail.error = kImportCannotOpenItem;
                } else if (!incoming) {
                    LogHResult(0, "\nEvtl. Falsches Passwort");
                    mail.error = kImportPassword;
                    mail.result = E_FAIL;
                }
            }
        } else if (candidateName == kOldAttachmentName) {
            LogHResult(0, "\nAttachment is coming from old version, please update your partner");
            WriteDebugLog(candidateName.c_str());
            mail.error = kImportWrongVersion;
        } else {
            // clang-format off
            // The logs are ANSI text: the context goes there in the ANSI
            // code page.
            static const std::string kZippedContext = win::ToAnsi(L"\nAttachment was changed or is not included (Packprogramm für Anhänge aktiv ?)!!");
            if (Contains(candidateName, kZipMark)) {
                LogHResult(0, kZippedContext.c_str());
                mail.error = kImportAttachmentZipped;
            } else {
                LogHResult(0, "\nAttachment was changed or is not included (Antivirus Software oder AddIn das Anlagen zippt)!!");
                mail.error = kImportFileNameChanged;
            }
            // clang-format on
            WriteDebugLog(candidateName.c_str());
            if (mail.result == S_OK)
                mail.result = E_FAIL;
        }
    }

    WriteDebugLog("pSI::i know the target");
    if (FAILED(mail.result))
        return;
    if (mail.remove)
        DeleteItem(pass, mail, target, folder, sender, folderName);
    else
        ImportItem(pass, mail, target, folder, incoming, sender, folderName);
}

// Saves and deletes a mail under a final subject.
void DeleteWithSubject(QMRMessage* message, const wchar_t* subject) {
    if (!message) {
        LogHResult(0, "could not delete rdomail");
        return;
    }
    if (SUCCEEDED(message->PutSubject(CComBSTR(subject))))
        message->Save();
    if (FAILED(message->Delete(0)))
        LogHResult(0, "could not delete inboxitem");
}

// Annotates a failed mail once, or deletes it once it is three days old.
void MarkFailed(QMRMAPIUtils* utils, const Mail& mail) {
    QMRMessage* message = mail.message;
    DATE stamp = 0;
    if (FAILED(message->GetTimeStamp(&stamp)))
        return;
    if (stamp + kFailedMailLifetimeDays < LocalNow()) {
        DeleteWithSubject(message, syncmail::kFailedExpiredSubject);
        return;
    }
    CComBSTR subject;
    message->GetSubject(&subject);
    if (syncmail::HasErrorMark(Text(subject)))
        return;
    const std::wstring help = FailedMailHelpText(mail.error, mail.shareName);
    message->PutSubject(CComBSTR(syncmail::BuildFailedSubject(mail.error).c_str()));
    CComVariant body;
    HRESULT hr = utils->HrGetOneProp(message, PR_BODY_W, &body);
    if (FAILED(hr)) {
        LogHResult(hr, "No Body4ErrorMail");
    } else if (body.vt == VT_BSTR) {
        // The old body is the sender's plain text: it is shown, not obeyed.
        const std::wstring text = help + HtmlEscape(Text(body.bstrVal));
        std::wstring html;
        html.reserve(text.size() + text.size() / 8);
        for (std::size_t i = 0; i < text.size(); ++i) {
            html += text[i];
            if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
                html += L"\n<br>";
                ++i;
            }
        }
        message->PutHTMLBody(CComBSTR(html.c_str()));
    }
    message->PutUnRead(VARIANT_FALSE);
    message->PutImportance(kImportanceHigh);
    LogIfFailed(message->Save(), "pSI::Save ErrorMail");
}

// Takes FolderCheckLock by polling; false (lock not taken) once StopFlag is
// set.
bool EnterFolderCheckLock() TRY_ACQUIRE(true, FolderCheckLock) {
    int tries = 0;
    while (!TryEnterCriticalSection(&FolderCheckLock)) {
        if (StopFlag.load())
            return false;
        Sleep(kLockPollMs);
        if (++tries >= kLockTriesPerNote) {
            WriteDebugLog("waiting for entering Inbox folder since 1 Min.!!! ");
            tries = 0;
        }
    }
    return true;
}

}  // namespace

std::wstring HtmlEscape(std::wstring_view text) {
    std::wstring escaped;
    escaped.reserve(text.size());
    for (wchar_t c : text) {
        switch (c) {
            case L'&':
                escaped += L"&amp;";
                break;
            case L'<':
                escaped += L"&lt;";
                break;
            case L'>':
                escaped += L"&gt;";
                break;
            case L'"':
                escaped += L"&quot;";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::wstring FailedMailHelpText(int reason, const std::wstring& shareName) {
    const std::wstring breaks = L"\r\n\r\n\r\n\r\n";
    switch (reason) {
        case kImportNoTarget: {
            // The share name is the sender's text: it must not end the link's
            // attribute or open markup of its own.
            const std::wstring share = HtmlEscape(shareName);
            std::wstring noShare = UiString(kHelpNoShare);
            if (std::size_t at = noShare.find(L"%s"); at != std::wstring::npos)
                noShare.replace(at, 2, share);
            return UiString(kHelpIntro) + noShare + L"\r\n" + UiString(kHelpWizard) +
                   L"<br><a href=\"" + kSharingWizardAddress + share +
                   L"\">Quillmere Wizard<a><br>" + breaks;
        }
        case kImportPassword:
            return UiString(kHelpIntro) + UiString(kHelpPassword) + breaks;
        case kImportAttachmentZipped:
            return UiString(kHelpIntro) + UiString(kHelpZipped) + breaks;
        default:
            return {};
    }
}

MailUserProperty ReadMailUserProperty(std::wstring_view body, bool& remove,
                                      std::wstring& syncIdText) {
    remove = false;
    syncIdText.clear();
    if (Contains(body, syncmail::kSyncMailFlag))
        remove = false;
    else if (Contains(body, syncmail::kDeletionFlag))
        remove = true;
    else
        return MailUserProperty::kNone;

    const std::size_t idOpen = body.find(syncmail::kSyncIdOpen);
    const std::size_t idClose = body.find(syncmail::kSyncIdClose);
    const bool complete = Contains(body, syncmail::kShareNameOpen) &&
                          Contains(body, syncmail::kShareNameClose) &&
                          idOpen != std::wstring_view::npos && idClose != std::wstring_view::npos;
    const std::size_t idStart =
        idOpen == std::wstring_view::npos ? idOpen : idOpen + std::size(syncmail::kSyncIdOpen) - 1;
    if (idStart != std::wstring_view::npos && idClose != std::wstring_view::npos &&
        idClose >= idStart) {
        syncIdText = body.substr(idStart, idClose - idStart);
        // Each removal looks for its character in what the one before left,
        // so that a text holding them in any order loses exactly these three.
        RemoveFirst(syncIdText, L'\n');
        RemoveFirst(syncIdText, L'\r');
        RemoveFirst(syncIdText, L' ');
    }
    return complete ? MailUserProperty::kComplete : MailUserProperty::kIncomplete;
}

namespace {

// haveMyMailUserProperty with what it found of the markers.
MailUserProperty ReadReceivedMail(QMRMAPIUtils* utils, QMRMessage* message, bool& remove,
                                  std::wstring& syncIdText) {
    remove = false;
    syncIdText.clear();
    if (!message)
        return MailUserProperty::kNone;
    CComBSTR bodyText;
    HRESULT hr = message->GetBody(&bodyText);
    if (FAILED(hr))
        LogHResult(hr, "haveMyMailUserProperty=>no Body");
    std::wstring body = Text(bodyText);
    if (body.empty() && utils) {
        CComVariant value;
        hr = utils->HrGetOneProp(message, PR_BODY_W, &value);
        if (FAILED(hr)) {
            LogHResult(hr, "haveMyMailUserProperty=>no Body2");
        } else if (value.vt == VT_BSTR && value.bstrVal && value.bstrVal[0]) {
            WriteDebugLog("GetSharedFolderFromMessage=>no Body:FallBack2C1");
            body = value.bstrVal;
        }
    }
    const MailUserProperty read = ReadMailUserProperty(body, remove, syncIdText);
    if (read == MailUserProperty::kIncomplete)
        LogHResult(0, "haveMyMailUserProperty0>no Body, no SyncId");
    return read;
}

}  // namespace

bool haveMyMailUserProperty(CSyncEngine*, QMRMAPIUtils* utils, QMRMessage* message, bool& remove,
                            std::wstring& syncIdText) {
    return ReadReceivedMail(utils, message, remove, syncIdText) == MailUserProperty::kComplete;
}

void ProcessSyncItems(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                      bool includeFailed) {
    WriteDebugLog("pSI::Start");
    if (!engine || !session || !utils)
        return;
    // The folder is reached through this thread's own session: helper
    // objects of Outlook's thread must not be used here.
    CComPtr<QMRMAPIFolder> addinFolder;
    if (engine->FindOrCreateAddinFolder(session, utils, &addinFolder) != S_OK || !addinFolder)
        return;
    std::vector<std::wstring> entryIds;
    HRESULT listed = GetItems(engine, entryIds, addinFolder, false, includeFailed);
    if (FAILED(listed))
        LogHResult(listed, "pSI::GetInBoxItems (SUBJECT) failed");
    CComBSTR storeId;
    HRESULT stored = addinFolder->GetStoreID(&storeId);
    if (FAILED(stored))
        LogHResult(stored, "pSI::no storeid");
    if (FAILED(listed) || FAILED(stored) || entryIds.empty())
        return;

    SetCurrentDirectoryW(engine->DataDirectory().c_str());
    if (!EnterFolderCheckLock())
        return;
    engine->SetSyncState(kSyncStateImporting);
    Pass pass{engine, session, utils, engine->DataDirectory() + kExtractionDirectoryName, {}, {}};
    pass.messagePath = pass.extractionDirectory + syncmail::kAttachedItemName;
    // Not the engine's cabinet path: the sender threads build their cabinets
    // there while this pass runs.
    pass.cabinetPath = engine->DataDirectory() + kReceivedCabinetName;
    CreateDirectoryW(pass.extractionDirectory.c_str(), nullptr);

    for (std::size_t i = entryIds.size(); i-- > 0 && !StopFlag.load();) {
        Sleep(10);
        CComBSTR entryId(entryIds[i].c_str());
        CComPtr<QMRMessage> message;
        HRESULT hr =
            session->GetMessageFromID(entryId, storeId, CComVariant(kBestAccess, VT_I4), &message);
        if (FAILED(hr) || !message) {
            WriteDebugLog("pSI::try again");
            message.Release();
            hr = session->GetMessageFromID(entryId, storeId, CComVariant(), &message);
        }
        if (FAILED(hr) || !message) {
            LogHResult(hr, "pSI::no item");
            continue;
        }
        Mail mail;
        mail.message = message;
        const MailUserProperty read =
            ReadReceivedMail(utils, message, mail.remove, mail.syncIdText);
        if (read == MailUserProperty::kNone)
            continue;
        if (read == MailUserProperty::kIncomplete) {
            // Marked once, or it would lie here unmarked for ever and be
            // read and reported by every pass.
            mail.error = mail.syncIdText.empty() ? kImportNoSyncId : kImportNoShareName;
            mail.result = E_FAIL;
            MarkFailed(utils, mail);
            continue;
        }
        WriteDebugLog("pSI:: OK is a Quillmeremail");
        ApplyMail(pass, mail);
        DeleteFileW(pass.messagePath.c_str());
        DeleteFileW(pass.cabinetPath.c_str());
        ClearExtractionDirectory(pass.extractionDirectory);
        if (SUCCEEDED(mail.result))
            DeleteWithSubject(message, syncmail::kProcessedSubject);
        else
            MarkFailed(utils, mail);
    }

    engine->ChangeSyncState(kSyncStateIdle, kSyncStateImporting);
    LeaveCriticalSection(&FolderCheckLock);
}
