#include "Quillmere/tracking/ItemLookup.h"

#include "Quillmere/core/DebugLog.h"
#include "Quillmere/tracking/SyncId.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"

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
    HRESULT hr = folder->GetItems(&items);
    if (FAILED(hr) || !items) {
        if (SUCCEEDED(hr))
            hr = E_FAIL;
        LogHResult(hr, "GetEntryIDFromPR_SEARCH_KEY::ItemsIsNULL");
        return hr;
    }
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
    HRESULT hr = folder->GetItems(&items);
    if (FAILED(hr) || !items) {
        if (SUCCEEDED(hr))
            hr = E_FAIL;
        LogHResult(hr, "GIE::GetItems");
        return hr;
    }
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
            const std::size_t error = text.find(L"ERROR");
            if (error == std::wstring::npos || error == 0) {
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
