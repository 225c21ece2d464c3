#include "Quillmere/tracking/ItemLookup.h"

#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/tracking/SyncId.h"
#include "platform/com/Bstr.h"
#include "platform/com/Dispatch.h"
#include "platform/com/Variant.h"
#include "platform/outlook/Outlook.h"

namespace {

struct KindByClass {
    const wchar_t* classText;
    int kind;
};

// The order matters: the first contained text decides.
constexpr KindByClass kKindsByClass[] = {
    {L"IPM.APPOINTMENT", kItemKindAppointment},
    {L"IPM.TASK", kItemKindTask},
    {L"IPM.CONTACT", kItemKindContact},
    {L"IPM.STICKYNOTE", kItemKindNote},
    {L"IPM.VOICENOTES", kItemKindNote},
    {L"IPM.INKNOTES", kItemKindNote},
    {L"IPM.NOTE", kItemKindMail},
    {L"IPM.POST", kItemKindMail},
    {L"IPM.ACTIVITY", kItemKindJournal},
    {L"IPM.DISTLIST", kItemKindDistList},
    {L"IPM.MICROSOFT.FOLDERDESIGN.FORMSDESCRIPTION", kItemKindFormDescription},
};

constexpr const wchar_t* kSearchKeyDaslName =
    L"\"http://schemas.microsoft.com/mapi/proptag/0x300B0102\"";

std::wstring AsciiUpper(const std::wstring& text) {
    std::wstring out = text;
    for (wchar_t& c : out)
        if (c >= L'a' && c <= L'z')
            c = wchar_t(c - L'a' + L'A');
    return out;
}

std::wstring Text(BSTR b) {
    return b ? std::wstring(b) : std::wstring();
}

// The items collection of folder (not null). A failure, or a success
// without a collection (E_FAIL), is reported with context and returned.
HRESULT FolderItems(QMRMAPIFolder* folder, const char* context, CComPtr<QMRItems>& items) {
    HRESULT hr = folder->GetItems(&items);
    if (SUCCEEDED(hr) && !items)
        hr = E_FAIL;
    if (FAILED(hr))
        LogHResult(hr, context);
    return hr;
}

}  // namespace

int GetItemKindFromMessageClass(const std::wstring& messageClass) {
    const std::wstring upper = AsciiUpper(messageClass);
    for (const KindByClass& entry : kKindsByClass)
        if (upper.find(entry.classText) != std::wstring::npos)
            return entry.kind;
    return kItemKindMail;
}

HRESULT GetEntryIDFromPR_SEARCH_KEY(CSyncEngine*, QMRRDOSession*, QMRMAPIUtils* utils, bool& found,
                                    std::wstring& entryId, QMRMAPIFolder* folder,
                                    const VARIANT& syncId) {
    found = false;
    entryId.clear();
    if (!folder) {
        LogHResult(0, "GetEntryIDFromPR_SEARCH_KEY::Parameter RdoFolder=NULL");
        return E_FAIL;
    }
    if (syncId.vt == VT_BSTR) {
        LogHResult(E_FAIL, "GetEntryIDFromPR_SEARCH_KEY::Parameter falsch");
        return E_FAIL;
    }
    if (!utils)
        return E_POINTER;
    CComPtr<QMRItems> items;
    HRESULT hr = FolderItems(folder, "GetEntryIDFromPR_SEARCH_KEY::ItemsIsNULL", items);
    if (FAILED(hr))
        return hr;
    CComBSTR syncIdText;
    hr = utils->BinaryToText(syncId, &syncIdText);
    if (FAILED(hr) || !syncIdText) {
        if (SUCCEEDED(hr))
            hr = E_FAIL;
        LogHResult(hr, "GetEntryIDFromPR_SEARCH_KEY::Arr2Str");
        return hr;
    }
    // The search key text is hexadecimal, so it needs no quoting of its own.
    CComBSTR folderId;
    folder->GetEntryID(&folderId);
    const std::wstring query = std::wstring(L"SELECT \"DAV:id\", ") + kSearchKeyDaslName +
                               L" FROM \"" + Text(folderId) + L"\" WHERE " + kSearchKeyDaslName +
                               L" = '" + Text(syncIdText) + L"'";
    CComPtr<QMRMessage> message;
    hr = items->Find(CComBSTR(query.c_str()), &message);
    if (FAILED(hr)) {
        LogHResult(hr, "GetEntryIDFromPR_SEARCH_KEY::FindBySearchId");
        return E_FAIL;
    }
    if (message) {
        CComBSTR id;
        hr = message->GetEntryID(&id);
        if (FAILED(hr)) {
            LogHResult(hr, "GetEntryIDFromPR_SEARCH_KEY::GetId");
            return hr;
        }
        entryId = Text(id);
        found = true;
        if (entryId.empty())
            LogHResult(0, "GetEntryIDFromPR_SEARCH_KEY:EID=NULL");
    }
    return hr;
}

HRESULT GetItems(CSyncEngine*, std::vector<std::wstring>& entryIds, QMRMAPIFolder* folder,
                 bool packets, bool includeErrorMarked) {
    const wchar_t* prefix = packets ? kPacketMailSubjectPrefix : kSyncMailSubjectPrefix;
    if (!folder) {
        LogHResult(E_POINTER, "GIE::GetItems");
        return E_POINTER;
    }
    CComPtr<QMRItems> items;
    HRESULT hr = FolderItems(folder, "GIE::GetItems", items);
    if (FAILED(hr))
        return hr;
    if (!packets)
        items->Sort(CComBSTR(L"[Subject]"), VARIANT_TRUE);
    const std::wstring filter =
        std::wstring(L"\"urn:schemas:httpmail:subject\" like '") + prefix + L"%'";
    CComPtr<QMRMessage> message;
    hr = items->Find(CComBSTR(filter.c_str()), &message);
    if (FAILED(hr)) {
        LogHResult(hr, "GIE::DASL search failed");
        return hr;
    }
    while (message) {
        CComBSTR subject, id;
        HRESULT step = message->GetSubject(&subject);
        if (FAILED(step)) {
            LogHResult(step, "GIE::no subject");
            hr = step;
        } else if (FAILED(step = message->GetEntryID(&id))) {
            LogHResult(step, "GIE::no entryID");
            hr = step;
        } else {
            const std::wstring text = Text(subject);
            // Failed mails carry "ERROR" after the subject's first character.
            if (text.find(L"ERROR", 1) == std::wstring::npos) {
                entryIds.push_back(Text(id));
            } else {
                WriteDebugLogValue("GIE::", subject);
                if (includeErrorMarked)
                    entryIds.push_back(Text(id));
            }
        }
        message.Release();
        step = items->FindNext(&message);
        if (FAILED(step)) {
            hr = step;
            break;
        }
    }
    return hr;
}

std::wstring ShareNameFromBody(const std::wstring& body) {
    const std::size_t start = body.find(L"lf:");
    if (start == std::wstring::npos)
        return L"";
    const std::size_t end = body.find(L":lf", start + 3);
    if (end == std::wstring::npos)
        return L"";
    return body.substr(start + 3, end - (start + 3));
}

namespace {

constexpr ULONG kTagBody = 0x1000001F;  // PR_BODY, PT_UNICODE

// A string property of an Outlook item; S_FALSE when it is no text.
HRESULT TextProperty(IDispatch* item, DISPID id, std::wstring& text) {
    text.clear();
    CComVariant value;
    HRESULT hr = com::GetProperty(item, id, &value);
    if (FAILED(hr))
        return hr;
    if (value.vt != VT_BSTR)
        return S_FALSE;
    text = Text(value.bstrVal);
    return hr;
}

}  // namespace

HRESULT GSFFMSG(CSyncEngine*, QMRMAPIUtils* utils, std::wstring& shareName, IDispatch* mail) {
    shareName.clear();
    WriteDebugLog("GSFFMSG=>Start");
    if (!mail)
        return E_POINTER;
    std::wstring body;
    HRESULT hr = TextProperty(mail, outlook::dispid::kBody, body);
    if (FAILED(hr))
        LogHResult(hr, "GSFFMSG=>no Body");
    if (body.empty() && utils) {
        CComVariant value;
        hr = utils->HrGetOneProp(mail, kTagBody, &value);
        if (FAILED(hr)) {
            LogHResult(hr, "GSFFMSG=>no PR_BODY");
        } else if (value.vt == VT_BSTR) {
            WriteDebugLog("GSFFMSG=>no Body:FallBack2C1");
            body = Text(value.bstrVal);
        }
    }
    if (body.empty()) {
        std::wstring html;
        hr = TextProperty(mail, outlook::dispid::kHTMLBody, html);
        LogHResult(0, "GSFFMSG=>no Body:NULL");
        if (html.empty())
            LogHResult(0, "GSFFMSG=>no HTMLBody:NULL");
        WriteDebugLog("GSFFMSG=>End");
        return hr;
    }
    shareName = ShareNameFromBody(body);
    if (DebugSwitch) {
        if (shareName.empty())
            LogHResult(hr, "GSFFMSG=>ShareName is NULL");
        else
            WriteDebugLogValue("GSFFMSG:", shareName.c_str());
    }
    WriteDebugLog("GSFFMSG=>End");
    return hr;
}

HRESULT IDispatchToIMessageItem(QMRRDOSession* session, QMRMAPIUtils* utils,
                                CComPtr<QMRMessage>& message, IDispatch* item) {
    message.Release();
    WriteDebugLog("IDispatchToIMessageItem");
    if (!utils) {
        LogHResult(0, "mutils NULL");
        return E_POINTER;
    }
    if (!item || !session)
        return E_POINTER;
    CComVariant entryId, parent, storeId;
    HRESULT hr = com::GetProperty(item, outlook::dispid::kEntryID, &entryId);
    if (SUCCEEDED(hr))
        hr = com::GetProperty(item, outlook::dispid::kParent, &parent);
    if (SUCCEEDED(hr) && parent.vt == VT_DISPATCH && parent.pdispVal) {
        if (DebugSwitch) {
            std::wstring name;
            TextProperty(parent.pdispVal, outlook::dispid::kName, name);
            WriteDebugLogValue("Foldername of changed Item is:", name.c_str());
        }
        hr = com::GetProperty(parent.pdispVal, outlook::dispid::kStoreID, &storeId);
    }
    if (SUCCEEDED(hr) && entryId.vt == VT_BSTR && storeId.vt == VT_BSTR) {
        hr = session->GetMessageFromID(entryId.bstrVal, storeId.bstrVal, CComVariant(), &message);
        if (FAILED(hr))
            message.Release();
    } else if (SUCCEEDED(hr)) {
        hr = E_FAIL;
    }
    WriteDebugLog("IDispatchToIMessageItem:End");
    return hr;
}

HRESULT IDispatchToIMessageItem(CSyncEngine* engine, CComPtr<QMRMessage>& message,
                                IDispatch* item) {
    if (!engine) {
        message.Release();
        WriteDebugLog("IDispatchToIMessageItem");
        LogHResult(0, "mutils NULL");
        return E_POINTER;
    }
    return IDispatchToIMessageItem(engine->Session(), engine->Utils(), message, item);
}
