#include "Quillmere/tracking/ImportJournal.h"

#include <string>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/OutlookThread.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/resources/LoadString.h"
#include "Quillmere/tracking/Categories.h"
#include "Quillmere/tracking/ItemLookup.h"
#include "Quillmere/tracking/SyncId.h"
#include "platform/com/Bstr.h"
#include "platform/com/Variant.h"
#include "platform/outlook/Outlook.h"

CComPtr<QMRMessage> ItemExist(CSyncEngine* engine, const VARIANT& syncId, QMRMAPIFolder* folder,
                              QMRRDOSession* session, QMRMAPIUtils* utils) {
    CComPtr<QMRMessage> result;
    if (syncId.vt == VT_EMPTY || syncId.vt == VT_ERROR) {
        WriteDebugLog("ItemExist=>NoSearchKey");
        return result;
    }
    if (!folder || !session)
        return result;
    CComBSTR storeId;
    folder->GetStoreID(&storeId);
    bool found = false;
    std::wstring entryId;
    HRESULT hr =
        GetEntryIDFromPR_SEARCH_KEY(engine, session, utils, found, entryId, folder, syncId);
    if (FAILED(hr) || !found || entryId.empty())
        return result;
    CComVariant noFlags;
    const VARIANT flags = engine ? engine->OpenFlags() : static_cast<const VARIANT&>(noFlags);
    if (FAILED(hr =
                   session->GetMessageFromID(CComBSTR(entryId.c_str()), storeId, flags, &result))) {
        LogHResult(hr, "ItemExist");
        result.Release();
    }
    return result;
}

namespace {

constexpr ULONG kTagIconIndex = 0x10800003;
constexpr LONG kIconNew = 0x603;
constexpr LONG kIconDeleted = 0x601;
constexpr LONG kIconChanged = 0x602;
constexpr UINT kTextNew = 1251;
constexpr UINT kTextDeleted = 1250;
constexpr UINT kTextChanged = 1249;

// The one-element category list as a PT_MV_STRING8 value.
HRESULT CategoryList(CComVariant& out) {
    out.Clear();
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 1);
    if (!array)
        return E_OUTOFMEMORY;
    LONG index = 0;
    CComVariant element(kJournalCategory);
    HRESULT hr = SafeArrayPutElement(array, &index, &element);
    if (FAILED(hr)) {
        SafeArrayDestroy(array);
        return hr;
    }
    out.vt = VT_ARRAY | VT_VARIANT;
    out.parray = array;
    return S_OK;
}

// Saves item as the debug copy `name` of the data directory and attaches the
// file to the journal entry's message.
void KeepDebugCopy(CSyncEngine* engine, QMRMessage* item, QMRMessage* entry, const wchar_t* name,
                   const char* saveFailure, const char* attachFailure) {
    if (!item)
        return;
    CComBSTR path((engine->DataDirectory() + name).c_str());
    if (FAILED(item->SaveAs(path, CComVariant(static_cast<LONG>(kQmrFormatMsg))))) {
        WriteDebugLog(saveFailure);
        return;
    }
    CComPtr<QMRAttachments> attachments;
    CComPtr<QMRAttachment> attachment;
    if (!entry || FAILED(entry->GetAttachments(&attachments)) || !attachments ||
        FAILED(attachments->Add(path, CComVariant(static_cast<LONG>(1), VT_I4), CComVariant(),
                                CComVariant(name), &attachment)))
        WriteDebugLog(attachFailure);
}

}  // namespace

HRESULT TotalDebugging(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils,
                       const std::wstring& firstText, const std::wstring& secondText, bool newItem,
                       bool deletedItem, QMRMessage* incoming, QMRMessage* existing) {
    if (!engine)
        return E_POINTER;
    if (!engine->m_journal.load())
        return S_FALSE;
    if (!utils)
        return E_POINTER;
    CComPtr<QMRSafeJournalItem> safeItem;
    HRESULT hr = CreateSafeJournalItem(engine, &safeItem);
    if (FAILED(hr))
        return hr;
    _NameSpace* nameSpace = engine->Outlook() ? engine->Outlook()->NameSpace() : nullptr;
    if (!nameSpace) {
        LogHResult(E_POINTER, "TotalDebugging::CreateItem");
        return E_POINTER;
    }
    // The item is made by Outlook's object model, on Outlook's thread; the
    // importer does not wait for it past a stop (Outlook's thread may be the
    // one waiting for the importer to end).
    CComPtr<IDispatch> item;
    hr = E_ABORT;
    RunOnOutlookThread(
        engine,
        [&] {
            CComPtr<_Application> application;
            hr = nameSpace->get_Application(&application);
            if (SUCCEEDED(hr) && !application)
                hr = E_POINTER;
            if (SUCCEEDED(hr))
                hr = application->CreateItem(olJournalItem, &item);
            if (SUCCEEDED(hr) && !item)
                hr = E_POINTER;
        },
        [] { return StopFlag.load(); });
    if (SUCCEEDED(hr))
        hr = safeItem->PutItem(item);
    CComQIPtr<_JournalItem> journal(item);
    if (SUCCEEDED(hr) && !journal)
        hr = E_NOINTERFACE;
    if (FAILED(hr)) {
        LogHResult(hr, "TotalDebugging::CreateItem");
        return hr;
    }

    CComBSTR subject((firstText + L" <= " + secondText).c_str());
    hr = E_ABORT;
    RunOnOutlookThread(
        engine,
        [&] {
            hr = journal->put_Subject(subject);
            if (SUCCEEDED(hr))
                hr = journal->Save();
        },
        [] { return StopFlag.load(); });
    if (FAILED(hr)) {
        LogHResult(hr, "TotalDebugging::Save");
        return hr;
    }

    const LONG icon = newItem ? kIconNew : deletedItem ? kIconDeleted : kIconChanged;
    const UINT textId = newItem ? kTextNew : deletedItem ? kTextDeleted : kTextChanged;
    LogIfFailed(safeItem->SetFields(CComVariant(static_cast<LONG>(kTagIconIndex)),
                                    CComVariant(icon, VT_I4)),
                "TotalDebugging::PR_ICON_INDEX");
    std::wstring text;
    LoadString(AddinResourceModule(), textId, g_UILanguage.load(), text);
    HRESULT bodyHr = E_ABORT;
    RunOnOutlookThread(
        engine, [&] { bodyHr = journal->put_Body(CComBSTR(text.c_str())); },
        [] { return StopFlag.load(); });
    LogIfFailed(bodyHr, "TotalDebugging::Body");

    // The categories go in before the debug copies: the copies are attached
    // through the helper library to the saved entry, and a later save of the
    // Outlook item must not write over them.
    ULONG tag = 0;
    CComVariant categories;
    hr = GetNamedPropertyTag(utils, safeItem, categories::kPublicStrings, categories::kKeywordsName,
                             categories::kTypeMvString8, true, tag);
    if (SUCCEEDED(hr))
        hr = CategoryList(categories);
    if (SUCCEEDED(hr))
        hr = utils->HrSetOneProp(safeItem, tag, categories, VARIANT_FALSE);
    LogIfFailed(hr, "TotalDebugging::Categories");
    hr = E_ABORT;
    RunOnOutlookThread(
        engine, [&] { hr = journal->Save(); }, [] { return StopFlag.load(); });
    if (FAILED(hr)) {
        LogHResult(hr, "TotalDebugging::Save");
        return hr;
    }

    if (engine->m_totalDebugging.load() && (incoming || existing)) {
        CComPtr<QMRMessage> entry;
        if (session)
            IDispatchToIMessageItem(session, utils, entry, item);
        KeepDebugCopy(engine, incoming, entry, kDebugIncomingName,
                      "TotalDebugging::Failed42SaveIncoming",
                      "TotalDebugging::Failed4IncomingItem");
        KeepDebugCopy(engine, existing, entry, kDebugExistingName,
                      "TotalDebugging::Failed42SaveExisting",
                      "TotelDebugging::Failed4ExistingItem");
        if (entry)
            LogIfFailed(entry->Save(), "TotalDebugging::Save");
    }
    return S_OK;
}
