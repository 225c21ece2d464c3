#include "Quillmere/exchange/BasicSync.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/Settings.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/QueueChange.h"
#include "Quillmere/exchange/SendQueues.h"
#include "Quillmere/resources/LoadString.h"
#include "Quillmere/tracking/SyncId.h"
#include "Quillmere/ui/BasicSyncQuestion.h"
#include "Quillmere/ui/Progress.h"
#include "platform/com/Bstr.h"
#include "platform/outlook/Outlook.h"
#include "platform/win/Clock.h"
#include "platform/win/Dialog.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Resources.h"
#include "platform/win/Shell.h"
#include "platform/win/Window.h"

namespace {

constexpr UINT kCaptionStringId = 1213;
constexpr UINT kQuestionStringId = 1222;
constexpr UINT kProgressPrefixStringId = 1233;
constexpr LONG kOpenFlags = 16;
constexpr DWORD kThreadWaitStep = 2000;
constexpr INT_PTR kAnswerYes = 1;
constexpr wchar_t kHelperFolderProgId[] = L"QuillmereRDOx.QMRMAPIFolder";

QueueSyncMessageFn g_queueSyncMessage = nullptr;

HRESULT Queue(CSyncEngine* engine, VARIANT* syncId, CFolderObj* folder, bool formFlag) {
    QueueSyncMessageFn queue = g_queueSyncMessage ? g_queueSyncMessage : &QueueSyncMessage;
    return queue(engine, engine->Session(), engine->Utils(), syncId, folder, formFlag);
}

// What BasicSync needs of the folder's Outlook side.
struct OutlookSide {
    std::wstring name;
    OlItemType defaultItemType = olMailItem;
};

OutlookSide ReadOutlookFolder(CFolderObj* folder, QMRMAPIFolder* helperFolder) {
    OutlookSide side;
    CComQIPtr<MAPIFolder> outlookFolder(static_cast<IUnknown*>(folder->Folder()));
    CComBSTR name;
    if (outlookFolder) {
        OlItemType type = olMailItem;
        if (SUCCEEDED(outlookFolder->get_DefaultItemType(&type)))
            side.defaultItemType = type;
        outlookFolder->get_Name(&name);
    }
    if (!name && helperFolder)
        helperFolder->GetName(&name);
    if (name)
        side.name = std::wstring(name);
    return side;
}

// The top-level window titled like Outlook's active explorer, or null.
HWND ExplorerWindow(CSyncEngine* engine) {
    _NameSpace* nameSpace = engine->Outlook() ? engine->Outlook()->NameSpace() : nullptr;
    CComPtr<_Application> application;
    CComPtr<_Explorer> explorer;
    CComBSTR caption;
    if (!nameSpace || FAILED(nameSpace->get_Application(&application)) || !application ||
        FAILED(application->ActiveExplorer(&explorer)) || !explorer ||
        FAILED(explorer->get_Caption(&caption)) || !caption)
        return nullptr;
    return FindWindowW(nullptr, caption);
}

// Asks whether to transfer the folder now. True on YES, with onlyNewItems
// read from the check box.
bool AskUser(CSyncEngine* engine, const OutlookSide& side, bool& onlyNewItems) {
    const LCID language = GetConfiguredLCID();
    std::wstring caption;
    LoadString(AddinResourceModule(), kCaptionStringId, language, caption);
    ui::CCBasicSyncQuestion question;
    question.SetMessage(kQuestionStringId, caption + side.name);
    question.m_language = LANGIDFROMLCID(language);
    if (side.defaultItemType == olAppointmentItem)
        question.EnableOnlyNewItems();
    if (question.DoModal(ExplorerWindow(engine)) != kAnswerYes) {
        WriteDebugLog("BS:cancel");
        return false;
    }
    WriteDebugLog("BS:onlyFutureItems");
    onlyNewItems = question.m_onlyNewItems;
    return true;
}

// Lets the progress window handle what waits for it (the close box among
// it), as its repaint. False once the window is closed: gone, hidden or
// ended.
bool RepaintProgress(ui::CProgress& progress) {
    HWND window = progress.m_hWnd;
    if (!window || !IsWindow(window))
        return false;
    MSG msg;
    while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));  // the outer loop's, not ours
            break;
        }
        if (!IsDialogMessageW(window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    INT_PTR result = 0;
    return IsWindow(window) && IsWindowVisible(window) && !win::DialogEnded(window, &result);
}

DATE LocalNow() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    DATE date = 0;
    SystemTimeToVariantTime(&now, &date);
    return date;
}

// Whether an appointment lies wholly in the past (its end, else its start,
// before now). Items that can't tell are sent.
bool IsPastAppointment(QMRMessage* item) {
    CComQIPtr<QMRAppointment> appointment(static_cast<IUnknown*>(item));
    DATE date = 0;
    return appointment && SUCCEEDED(appointment->GetDate(&date)) && date < LocalNow();
}

// An ordinary store's item goes to the sender's queue by its sync id.
void QueueItem(CSyncEngine* engine, CFolderObj* folder, QMRMessage* message,
               QMRSafeMailItem* safeMail) {
    WriteDebugLog("BS:Add2SenderList");
    QMRMAPIUtils* utils = engine->Utils();
    std::wstring syncIdText;
    HRESULT hr = safeMail ? safeMail->PutItem(message) : E_POINTER;
    if (SUCCEEDED(hr))
        hr = GetSyncID_AS_PR_SEARCH_KEY(engine, utils, safeMail, syncIdText, false);
    if (!LogIfFailed(hr, "BS:GetSyncID") || !utils)
        return;
    CComBSTR text(syncIdText.c_str());
    CComVariant syncId;
    if (!LogIfFailed(utils->TextToBinary(text, &syncId), "BS:TextToBinary"))
        return;
    LogIfFailed(Queue(engine, &syncId, folder, false), "BS:QueueSyncMessage");
}

// An Exchange item's basic-sync mark goes up by one; the change scan sends it.
void MarkExchangeItem(CSyncEngine* engine, QMRMessage* message) {
    WriteDebugLog("BS:ExchangeMarkAsBS");
    QMRMAPIUtils* utils = engine->Utils();
    ULONG tag = 0;
    HRESULT hr = utils ? GetNamedPropertyTag(utils, message, kQuillmerePropertySet, kBasicIdName,
                                             kPropTypeLong, true, tag)
                       : E_POINTER;
    if (!LogIfFailed(hr, "BS:GetIDsFromNames"))
        return;
    CComVariant value;
    LONG mark = 0;
    if (SUCCEEDED(utils->HrGetOneProp(message, tag, &value)) && value.vt == VT_I4)
        mark = value.lVal;
    hr = utils->HrSetOneProp(message, tag, CComVariant(mark + 1, VT_I4), VARIANT_FALSE);
    if (!LogIfFailed(hr, "BS:HrSetOneProp"))
        return;
    if (LogIfFailed(message->Save(), "BS:Save"))
        WriteDebugLog("BS:ExchangeMarkAsBS::OK");
}

// Item index of the folder's items, handed on as the folder's kind asks.
void TransferItem(CSyncEngine* engine, CFolderObj* folder, QMRItems* items, LONG index,
                  bool onlyNewAppointments, const CComBSTR& storeId, QMRSafeMailItem* safeMail) {
    CComPtr<QMRMessage> item;
    HRESULT hr = items->Item(index, &item);
    if (FAILED(hr) || !item) {
        LogHResult(hr, "BS:NO Item");
        return;
    }
    if (onlyNewAppointments && IsPastAppointment(item))
        return;
    CComBSTR entryId;
    item->GetEntryID(&entryId);
    WriteDebugLog("BS:ItemFromID");
    CComPtr<QMRMessage> message;
    hr = engine->Session()->GetMessageFromID(entryId, storeId, CComVariant(kOpenFlags, VT_I4),
                                             &message);
    WriteDebugLog("BS:haveMail");
    if (hr != S_OK) {
        LogHResult(hr, "BS:NoItemFromID");
        return;
    }
    if (!message) {
        LogHResult(hr, "BS:item=NULL");
        return;
    }
    if (folder->IsExchange())
        MarkExchangeItem(engine, message);
    else
        QueueItem(engine, folder, message, safeMail);
}

std::wstring ProgressText(const std::wstring& prefix, DWORD start, DWORD count, DWORD done) {
    // Unsigned 32-bit arithmetic, as the tooltip-sized estimate needs no more.
    DWORD elapsed = (GetTickCount() - start) / 1000;
    DWORD remaining = (count - done) * elapsed / done;
    DWORD percent = done * 100 / count;
    wchar_t tail[64];
    if (remaining < 60)
        std::swprintf(tail, 64, L" %d%%", static_cast<int>(percent));
    else
        std::swprintf(tail, 64, L" %d%% ( %d min )", static_cast<int>(percent),
                      static_cast<int>(remaining / 60));
    return prefix + tail;
}

// Stops the exchange threads and waits, repainting between the waits, until
// none runs. StopFlag is set again after every wait, as a thread that was
// just starting may have cleared nothing but counted itself in.
void StopExchangeThreads(ui::CProgress& progress) {
    StopFlag = true;
    WriteDebugLog("BS:CheckIfBS");
    Sleep(kThreadWaitStep);
    while (GetRunningThreadCount() > 0) {
        RepaintProgress(progress);
        Sleep(kThreadWaitStep);
        StopFlag = true;
    }
}

// Message classes compare without regard to case: Outlook writes the form
// descriptions' class in mixed case.
bool IsFormDescriptionClass(const std::wstring& messageClass) {
    const std::wstring expected = kFormDescriptionClass;
    return messageClass.size() == expected.size() &&
           std::equal(messageClass.begin(), messageClass.end(), expected.begin(),
                      [](wchar_t a, wchar_t b) {
                          auto upper = [](wchar_t c) {
                              return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - 32) : c;
                          };
                          return upper(a) == upper(b);
                      });
}

}  // namespace

void SetQueueSyncMessageForTesting(QueueSyncMessageFn fn) {
    g_queueSyncMessage = fn;
}

void BasicSync(CSyncEngine* engine, CFolderObj* folder) {
    if (!engine || !folder)
        return;
    // The sent count starts afresh with the folder's Start, which the
    // configuration loading runs right after this call.
    if (folder->Kind() != CFolderObj::kSharedFolder)
        return;
    QMRRDOSession* session = engine->Session();
    CComPtr<QMRMAPIFolder> helperFolder;
    CComBSTR entryId(folder->Sink()->m_entryId.c_str());
    CComBSTR storeId(folder->Sink()->m_storeId.c_str());
    HRESULT hr = session ? session->GetFolderFromID(entryId, storeId,
                                                    CComVariant(kOpenFlags, VT_I4), &helperFolder)
                         : E_POINTER;
    if (FAILED(hr) || !helperFolder) {
        LogHResult(hr, "BasicSync:no folder 2 basicsync");
        return;
    }
    const OutlookSide side = ReadOutlookFolder(folder, helperFolder);
    CComPtr<QMRItems> items;
    hr = helperFolder->GetItems(&items);
    if (FAILED(hr)) {
        LogHResult(hr, "BasicSync:Items()=FAILED");
        return;
    }
    if (!items) {
        LogHResult(hr, "BasicSync:Items()=NULL");
        return;
    }
    LONG count = 0;
    items->GetCount(&count);
    count = std::max<LONG>(count, 0);

    bool onlyNewItems = false;
    if (!AskUser(engine, side, onlyNewItems))
        return;

    ui::CProgress progress;
    progress.Create(GetDesktopWindow());
    ShowWindow(progress.m_hWnd, SW_SHOW);
    progress.SetRange(static_cast<WORD>(std::min<LONG>(count, 0xFFFF)));
    std::wstring prefix;
    LoadString(AddinResourceModule(), kProgressPrefixStringId, GetConfiguredLCID(), prefix);
    progress.SetText(side.name);
    const DWORD start = GetTickCount();
    StopExchangeThreads(progress);

    const bool onlyNewAppointments = onlyNewItems && side.defaultItemType == olAppointmentItem;
    CComPtr<QMRSafeMailItem> safeMail;
    if (!folder->IsExchange())
        CreateSafeMailItem(engine, &safeMail);
    // A progress window that could not be made is no reason to stop: only a
    // window the user closed ends the transfer early.
    const bool withProgress = progress.m_hWnd != nullptr;
    for (LONG i = 1; i <= count; ++i) {
        progress.SetPos(i);
        if (withProgress && !RepaintProgress(progress))
            break;  // the user closed the window
        TransferItem(engine, folder, items, i, onlyNewAppointments, storeId, safeMail);
        progress.SetText(
            ProgressText(prefix, start, static_cast<DWORD>(count), static_cast<DWORD>(i)));
    }

    progress.DestroyWindow();
    items.Release();
    ProcessHiddenItem(engine, folder);
    WriteDebugLog("BS:End");
    // The request was cleared when it was read: from here on the queue file
    // is the transfer's only record.
    PersistSendQueues(engine->Utils());
    StartThreads(engine);
}

void ProcessHiddenItem(CSyncEngine* engine, CFolderObj* folder) {
    if (!engine || !folder)
        return;
    CComPtr<QMRMAPIFolder> helperFolder;
    if (FAILED(CreateHelperObject(kHelperFolderProgId, IID_QMRMAPIFolder,
                                  reinterpret_cast<void**>(&helperFolder))) ||
        !helperFolder) {
        ReportHelperLibraryNotRegistered(engine);
        return;
    }
    CComQIPtr<MAPIFolder> outlookFolder(static_cast<IUnknown*>(folder->Folder()));
    CComPtr<IUnknown> mapiObject;
    HRESULT hr = outlookFolder ? outlookFolder->get_MAPIOBJECT(&mapiObject) : E_POINTER;
    if (SUCCEEDED(hr))
        hr = helperFolder->PutMAPIOBJECT(mapiObject);
    CComPtr<QMRItems> hidden;
    if (SUCCEEDED(hr))
        hr = helperFolder->GetHiddenItems(&hidden);
    if (FAILED(hr) || !hidden) {
        LogHResult(hr, "processHiddenItem");
        return;
    }
    LONG count = 0;
    hidden->GetCount(&count);
    for (LONG i = 1; i <= count; ++i) {
        CComPtr<QMRMessage> item;
        if (FAILED(hidden->Item(i, &item)) || !item)
            continue;
        if (DebugSwitch.load()) {
            CComBSTR subject;
            item->GetSubject(&subject);
            WriteDebugLogValue("ProcessHiddenItem:",
                               subject && subject.Length() > 0 ? subject.m_str : L"<no subject>");
        }
        CComBSTR messageClass;
        if (FAILED(item->GetMessageClass(&messageClass)) || !messageClass ||
            !IsFormDescriptionClass(std::wstring(messageClass)))
            continue;
        CComVariant searchKey;
        hr = item->GetFields(CComVariant(static_cast<LONG>(kTagSearchKey), VT_I4), &searchKey);
        if (FAILED(hr)) {
            LogHResult(hr, "processHiddenItem");
            continue;
        }
        CComVariant copy(searchKey);
        LogIfFailed(Queue(engine, &copy, folder, true), "processHiddenItem");
    }
}
