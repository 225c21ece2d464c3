#include "platform/rdo/RdoFolder.h"

#include <cwctype>
#include <set>

#include "platform/outlook/MapiObjects.h"
#include "platform/rdo/MapiObject.h"
#include "platform/rdo/PropVariant.h"
#include "platform/rdo/RdoMessage.h"
#include "platform/store/Message.h"
#include "platform/store/Session.h"
#include "platform/win/Text.h"

namespace rdo {
using namespace mapi;
namespace {

std::wstring View(BSTR text) {
    return std::wstring(text ? text : L"", SysStringLen(text));
}

std::optional<store::DefaultFolder> RoleOf(LONG folderType) {
    for (store::DefaultFolder role : store::AllDefaultFolders()) {
        if (static_cast<LONG>(role) == folderType)
            return role;
    }
    return std::nullopt;
}

HRESULT OpenDefault(const std::shared_ptr<SessionContext>& context, store::Session* session,
                    LONG folderType, QMRMAPIFolder** folder) {
    auto role = RoleOf(folderType);
    if (!role)
        return E_INVALIDARG;
    store::Folder found;
    HRESULT hr = session->GetDefaultFolder(*role, &found);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoFolder>(context, found), folder);
}

// Tags of SetColumns / Sort: one integer, or an array of them (directly or in
// VARIANTs).
bool TagsOf(const VARIANT& value, std::vector<ULONG>* tags) {
    tags->clear();
    CComVariant single;
    if (!(value.vt & VT_ARRAY)) {
        if (FAILED(VariantChangeType(&single, &value, 0, VT_UI4)))
            return false;
        tags->push_back(single.ulVal);
        return true;
    }
    SAFEARRAY* array = value.parray;
    if (!array || SafeArrayGetDim(array) != 1)
        return false;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(array, 1, &lower);
    SafeArrayGetUBound(array, 1, &upper);
    VARTYPE type = value.vt & VT_TYPEMASK;
    for (LONG i = lower; i <= upper; ++i) {
        if (type == VT_UI4 || type == VT_I4) {
            ULONG tag = 0;
            if (FAILED(SafeArrayGetElement(array, &i, &tag)))
                return false;
            tags->push_back(tag);
        } else if (type == VT_VARIANT) {
            CComVariant element, asTag;
            if (FAILED(SafeArrayGetElement(array, &i, &element)) ||
                FAILED(VariantChangeType(&asTag, &element, 0, VT_UI4)))
                return false;
            tags->push_back(asTag.ulVal);
        } else {
            return false;
        }
    }
    return true;
}

bool DescendingOf(const VARIANT& value) {
    if (value.vt == VT_EMPTY || IsMissingArgument(value))
        return false;
    CComVariant asLong;
    if (FAILED(VariantChangeType(&asLong, &value, 0, VT_I4)))
        return false;
    return asLong.lVal != 0;
}

// A "SELECT <columns> FROM <folder> WHERE <condition>" query gives its
// condition; any other text is taken as a filter as it stands.
std::wstring FilterOfQuery(const std::wstring& text) {
    std::wstring lower = win::ToLower(text);
    std::size_t first = lower.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos || lower.compare(first, 6, L"select") != 0)
        return text;
    bool inSingle = false, inDouble = false;
    for (std::size_t i = first; i + 5 <= lower.size(); ++i) {
        wchar_t c = lower[i];
        if (c == L'\'' && !inDouble)
            inSingle = !inSingle;
        else if (c == L'"' && !inSingle)
            inDouble = !inDouble;
        else if (!inSingle && !inDouble && lower.compare(i, 5, L"where") == 0 &&
                 (i == 0 || iswspace(lower[i - 1]) || lower[i - 1] == L'"') &&
                 (i + 5 == lower.size() || iswspace(lower[i + 5]) || lower[i + 5] == L'(' ||
                  lower[i + 5] == L'"'))
            return text.substr(i + 5);
    }
    return text;
}

// The mail client's short property names ("subject", "[Subject]") outside
// quotes become the DASL name the store's filters know.
std::wstring WithDaslNames(const std::wstring& filter) {
    static const std::wstring kSubject = L"\"urn:schemas:httpmail:subject\"";
    auto isNameChar = [](wchar_t c) { return iswalnum(c) || c == L':' || c == L'/' || c == L'_'; };
    std::wstring out;
    bool inSingle = false, inDouble = false;
    for (std::size_t i = 0; i < filter.size(); ++i) {
        wchar_t c = filter[i];
        if (c == L'\'' && !inDouble)
            inSingle = !inSingle;
        else if (c == L'"' && !inSingle)
            inDouble = !inDouble;
        if (!inSingle && !inDouble && (c == L'[' || c == L's' || c == L'S')) {
            // Only a name's first letter can start one: the rest is compared
            // without copying the text.
            auto startsHere = [&](std::wstring_view name) {
                if (filter.size() - i < name.size())
                    return false;
                for (std::size_t k = 0; k < name.size(); ++k)
                    if (static_cast<wchar_t>(towlower(filter[i + k])) != name[k])
                        return false;
                return true;
            };
            bool before = i == 0 || !isNameChar(filter[i - 1]);
            if (before && startsHere(L"[subject]")) {
                out += kSubject;
                i += 8;
                continue;
            }
            if (before && startsHere(L"subject") &&
                (i + 7 == filter.size() || !isNameChar(filter[i + 7]))) {
                out += kSubject;
                i += 6;
                continue;
            }
        }
        out.push_back(c);
    }
    return out;
}

std::optional<ULONG> SortTagOf(const std::wstring& property) {
    std::wstring lower = win::ToLower(property);
    if (lower == L"[subject]")
        return PR_SUBJECT;
    if (lower == L"[lastmodificationtime]")
        return PR_LAST_MODIFICATION_TIME;
    if (lower == L"[creationtime]")
        return PR_CREATION_TIME;
    if (lower == L"[receivedtime]")
        return PR_MESSAGE_DELIVERY_TIME;
    CComVariant name(property);
    auto field = ParseFieldName(name);
    if (!field || field->named)
        return std::nullopt;
    return field->tag;
}

}  // namespace

HRESULT OpenMapiFolder(IUnknown* mapiObject, std::shared_ptr<SessionContext>* context,
                       store::Folder* folder) {
    if (RdoFolder* other = ImplOf<RdoFolder>(mapiObject)) {
        if (!other->OnOwnerThread())
            return RPC_E_WRONG_THREAD;
        if (other->StoreFolder().IsNull())
            return MAPI_E_NOT_INITIALIZED;
        *context = other->Context();
        *folder = other->StoreFolder();
        return S_OK;
    }
    CComPtr<IQmMapiFolder> clientFolder;
    if (mapiObject && SUCCEEDED(mapiObject->QueryInterface(
                          IID_IQmMapiFolder, reinterpret_cast<void**>(&clientFolder)))) {
        // A folder of the mail client: named by its store file.
        std::string storePath;
        store::Bytes entryId;
        HRESULT hr = clientFolder->GetFolderLocation(&storePath, &entryId);
        if (FAILED(hr))
            return hr;
        hr = SessionContext::ForStorePath(storePath, context);
        if (FAILED(hr))
            return hr;
        store::Session* session = nullptr;
        hr = (*context)->StoreAt(storePath, &session);
        if (FAILED(hr))
            return hr;
        return session->OpenFolder(entryId, folder);
    }
    const MapiIdentity* identity = MapiIdentityOf(mapiObject);
    if (!identity || identity->kind != MapiObjectKind::Folder)
        return E_INVALIDARG;
    HRESULT hr = SessionContext::ForThread(SourceOf(*identity), context);
    if (FAILED(hr))
        return hr;
    store::Session* session = nullptr;
    hr = identity->storeEntryId.empty()
             ? (*context)->StoreOfEntryId(identity->entryId, &session)
             : (*context)->StoreByEntryId(identity->storeEntryId, &session);
    if (FAILED(hr))
        return hr;
    return session->OpenFolder(identity->entryId, folder);
}

// --- RdoStore ------------------------------------------------------------------

HRESULT RdoStore::GetEntryID(BSTR* entryId) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(HexFromBytes(m_session->Info().entryId), entryId);
}

HRESULT RdoStore::GetName(BSTR* name) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(m_session->Info().displayName, name);
}

HRESULT RdoStore::GetStoreKind(LONG* kind) {
    RDO_OWNER_THREAD_ONLY();
    if (!kind)
        return E_POINTER;
    *kind = static_cast<LONG>(m_session->Info().kind);
    return S_OK;
}

HRESULT RdoStore::GetDefaultFolder(LONG folderType, QMRMAPIFolder** folder) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(folder))
        return E_POINTER;
    return OpenDefault(m_context, m_session, folderType, folder);
}

HRESULT RdoStore::GetRootFolder(QMRMAPIFolder** folder) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(folder))
        return E_POINTER;
    store::Folder root;
    HRESULT hr = m_session->GetRootFolder(&root);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoFolder>(m_context, root), folder);
}

HRESULT RdoStore::ReadProp(ULONG tag, PropValue* value) {
    PropertyBag props = m_session->StoreProps();
    const PropValue* found = props.Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag)));
    if (!found)
        return MAPI_E_NOT_FOUND;
    *value = *found;
    return S_OK;
}

HRESULT RdoStore::WriteProp(ULONG, const PropValue&, bool) {
    return MAPI_E_NO_SUPPORT;
}

HRESULT RdoStore::NamedId(const NamedProperty& name, bool create, USHORT* id) {
    *id = m_session->IdOfName(name, create);
    return *id ? S_OK : (create ? MAPI_E_NOT_ENOUGH_RESOURCES : S_FALSE);
}

HRESULT RdoStore::GetFields(ULONG tag, VARIANT* value) {
    RDO_OWNER_THREAD_ONLY();
    if (!value)
        return E_POINTER;
    VariantInit(value);
    PropValue found;
    HRESULT hr = ReadProp(tag, &found);
    if (FAILED(hr))
        return hr;
    return VariantFromProp(found, value);
}

HRESULT RdoStore::GetMAPIOBJECT(IUnknown** mapiObject) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(mapiObject))
        return E_POINTER;
    return CreateMapiObject(IdentityIn(*m_context, static_cast<int>(MapiObjectKind::Store),
                                       m_session->Info().entryId, {}),
                            mapiObject);
}

HRESULT RdoStores::GetCount(LONG* count) {
    RDO_OWNER_THREAD_ONLY();
    if (!count)
        return E_POINTER;
    *count = 0;
    std::vector<store::Session*> stores;
    HRESULT hr = m_context->Stores(&stores);
    *count = static_cast<LONG>(stores.size());
    return hr;
}

HRESULT RdoStores::Item(LONG index, QMRRDOStore** result) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(result))
        return E_POINTER;
    std::vector<store::Session*> stores;
    HRESULT hr = m_context->Stores(&stores);
    if (FAILED(hr))
        return hr;
    if (index < 1 || static_cast<std::size_t>(index) > stores.size())
        return DISP_E_BADINDEX;
    return PutObject(com::Make<RdoStore>(m_context, stores[index - 1]), result);
}

HRESULT RdoStores::GetDefaultStore(QMRRDOStore** result) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(result))
        return E_POINTER;
    store::Session* session = nullptr;
    HRESULT hr = m_context->DefaultStore(&session);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoStore>(m_context, session), result);
}

// --- RdoFolder -----------------------------------------------------------------

#define RDO_FOLDER_GIVEN()                 \
    do {                                   \
        if (m_folder.IsNull())             \
            return MAPI_E_NOT_INITIALIZED; \
    } while (0)

HRESULT RdoFolder::GetMAPIOBJECT(IUnknown** mapiObject) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(mapiObject))
        return E_POINTER;
    RDO_FOLDER_GIVEN();
    return CreateMapiObject(IdentityIn(*m_context, static_cast<int>(MapiObjectKind::Folder),
                                       m_folder.GetSession()->Info().entryId, m_folder.EntryId()),
                            mapiObject);
}

HRESULT RdoFolder::PutMAPIOBJECT(IUnknown* mapiObject) {
    RDO_OWNER_THREAD_ONLY();
    std::shared_ptr<SessionContext> context;
    store::Folder folder;
    HRESULT hr = OpenMapiFolder(mapiObject, &context, &folder);
    if (FAILED(hr))
        return hr;
    m_context = std::move(context);
    m_folder = folder;
    return S_OK;
}

HRESULT RdoFolder::GetEntryID(BSTR* entryId) {
    RDO_OWNER_THREAD_ONLY();
    if (m_folder.IsNull()) {
        PutText(L"", entryId);
        return MAPI_E_NOT_INITIALIZED;
    }
    return PutText(HexFromBytes(m_folder.EntryId()), entryId);
}

HRESULT RdoFolder::GetStoreID(BSTR* storeId) {
    RDO_OWNER_THREAD_ONLY();
    if (m_folder.IsNull()) {
        PutText(L"", storeId);
        return MAPI_E_NOT_INITIALIZED;
    }
    return PutText(HexFromBytes(m_folder.GetSession()->Info().entryId), storeId);
}

HRESULT RdoFolder::GetName(BSTR* name) {
    RDO_OWNER_THREAD_ONLY();
    std::wstring text;
    HRESULT hr = m_folder.IsNull() ? MAPI_E_NOT_INITIALIZED : m_folder.GetName(&text);
    HRESULT put = PutText(text, name);
    return FAILED(hr) ? hr : put;
}

HRESULT RdoFolder::GetStore(QMRRDOStore** result) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(result))
        return E_POINTER;
    RDO_FOLDER_GIVEN();
    return PutObject(com::Make<RdoStore>(m_context, m_folder.GetSession()), result);
}

HRESULT RdoFolder::GetParent(QMRMAPIFolder** parent) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(parent))
        return E_POINTER;
    RDO_FOLDER_GIVEN();
    store::Folder up;
    HRESULT hr = m_folder.GetParent(&up);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoFolder>(m_context, up), parent);
}

HRESULT RdoFolder::GetFolders(QMRFolders** folders) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(folders))
        return E_POINTER;
    RDO_FOLDER_GIVEN();
    return PutObject(com::Make<RdoFolders>(m_context, m_folder), folders);
}

HRESULT RdoFolder::Items(bool associated, QMRItems** items) {
    if (!ClearOut(items))
        return E_POINTER;
    RDO_FOLDER_GIVEN();
    // Reading the count proves the folder is still there.
    ULONG count = 0;
    HRESULT hr = m_folder.GetContentCount(associated, &count);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoItems>(m_context, m_folder, associated), items);
}

HRESULT RdoFolder::GetItems(QMRItems** items) {
    RDO_OWNER_THREAD_ONLY();
    return Items(false, items);
}

HRESULT RdoFolder::GetHiddenItems(QMRItems** items) {
    RDO_OWNER_THREAD_ONLY();
    return Items(true, items);
}

HRESULT RdoFolder::GetSynchronizer(QMRSynchronizer** synchronizer) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(synchronizer))
        return E_POINTER;
    RDO_FOLDER_GIVEN();
    std::unique_ptr<store::Synchronizer> made;
    HRESULT hr = m_folder.GetSynchronizer(&made);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoSynchronizer>(m_context, m_folder, std::move(made)),
                     synchronizer);
}

HRESULT RdoFolder::ReadProp(ULONG tag, PropValue* value) {
    RDO_FOLDER_GIVEN();
    PropertyBag props;
    HRESULT hr = m_folder.GetProps(&props);
    if (FAILED(hr))
        return hr;
    const PropValue* found = props.Find(PROP_TAG(PT_UNSPECIFIED, PROP_ID(tag)));
    if (!found)
        return MAPI_E_NOT_FOUND;
    *value = *found;
    return S_OK;
}

HRESULT RdoFolder::WriteProp(ULONG tag, const PropValue& value, bool) {
    RDO_FOLDER_GIVEN();
    PropertyBag props;
    props.Set(tag, value);
    return m_folder.SetProps(props);
}

HRESULT RdoFolder::NamedId(const NamedProperty& name, bool create, USHORT* id) {
    RDO_FOLDER_GIVEN();
    *id = m_folder.GetSession()->IdOfName(name, create);
    return *id ? S_OK : (create ? MAPI_E_NOT_ENOUGH_RESOURCES : S_FALSE);
}

HRESULT RdoFolder::GetFields(ULONG tag, VARIANT* value) {
    RDO_OWNER_THREAD_ONLY();
    if (!value)
        return E_POINTER;
    VariantInit(value);
    PropValue found;
    HRESULT hr = ReadProp(tag, &found);
    if (FAILED(hr))
        return hr;
    return VariantFromProp(found, value);
}

HRESULT RdoFolder::SetFields(ULONG tag, VARIANT value) {
    RDO_OWNER_THREAD_ONLY();
    PropValue converted;
    HRESULT hr = PropFromVariant(tag, value, &converted);
    if (FAILED(hr))
        return hr;
    return WriteProp(tag, converted, true);
}

// --- RdoFolders ----------------------------------------------------------------

HRESULT RdoFolders::GetCount(LONG* count) {
    RDO_OWNER_THREAD_ONLY();
    if (!count)
        return E_POINTER;
    std::vector<store::Folder> children;
    HRESULT hr = m_parent.GetSubfolders(&children);
    *count = static_cast<LONG>(children.size());
    return hr;
}

HRESULT RdoFolders::Item(VARIANT index, QMRMAPIFolder** folder) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(folder))
        return E_POINTER;
    store::Folder found;
    if (index.vt == VT_BSTR) {
        HRESULT hr = m_parent.FindSubfolder(View(index.bstrVal), &found);
        if (FAILED(hr))
            return hr;
    } else {
        CComVariant asLong;
        if (FAILED(VariantChangeType(&asLong, &index, 0, VT_I4)))
            return E_INVALIDARG;
        std::vector<store::Folder> children;
        HRESULT hr = m_parent.GetSubfolders(&children);
        if (FAILED(hr))
            return hr;
        if (asLong.lVal < 1 || static_cast<std::size_t>(asLong.lVal) > children.size())
            return DISP_E_BADINDEX;
        found = children[asLong.lVal - 1];
    }
    return PutObject(com::Make<RdoFolder>(m_context, found), folder);
}

HRESULT RdoFolders::Add(BSTR name, QMRMAPIFolder** folder) {
    RDO_OWNER_THREAD_ONLY();
    if (folder)
        *folder = nullptr;
    std::wstring containerClass;
    m_parent.GetContainerClass(&containerClass);
    if (containerClass.empty())
        containerClass = L"IPF.Note";
    store::Folder made;
    HRESULT hr = m_parent.CreateSubfolder(View(name), containerClass, &made);
    if (FAILED(hr) || !folder)
        return hr;
    return PutObject(com::Make<RdoFolder>(m_context, made), folder);
}

// --- RdoItems ------------------------------------------------------------------

HRESULT RdoItems::Refresh() {
    std::unique_ptr<store::ContentsTable> table;
    HRESULT hr = m_folder.GetContentsTable(m_associated, &table);
    if (FAILED(hr))
        return hr;
    if (FAILED(hr = table->SetColumns({PR_ENTRYID})) || FAILED(hr = table->SortTable({m_sort})))
        return hr;
    m_order.clear();
    for (;;) {
        std::vector<store::TableRow> rows;
        hr = table->QueryRows(500, &rows);
        if (FAILED(hr))
            return hr;
        if (rows.empty())
            break;
        for (const store::TableRow& row : rows) {
            if (!row.empty() && row.front().value.Bin())
                m_order.push_back(*row.front().value.Bin());
        }
    }
    m_orderRead = true;
    return S_OK;
}

HRESULT RdoItems::Open(const store::Bytes& entryId, QMRMessage** message) {
    std::unique_ptr<store::Message> opened;
    HRESULT hr = m_folder.GetSession()->OpenMessage(entryId, &opened);
    if (hr == MAPI_E_NOT_FOUND)
        return S_FALSE;
    if (FAILED(hr))
        return hr;
    return PutObject(MakeStoreMessage(m_context, std::move(opened)), message);
}

HRESULT RdoItems::GetCount(LONG* count) {
    RDO_OWNER_THREAD_ONLY();
    if (!count)
        return E_POINTER;
    *count = 0;
    // The folder keeps its count; the order is read only by a walk.
    ULONG n = 0;
    HRESULT hr = m_folder.GetContentCount(m_associated, &n);
    *count = static_cast<LONG>(n);
    return hr;
}

HRESULT RdoItems::Item(LONG index, QMRMessage** message) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(message))
        return E_POINTER;
    if (!m_orderRead || index < 1 || static_cast<std::size_t>(index) > m_order.size()) {
        HRESULT hr = Refresh();
        if (FAILED(hr))
            return hr;
    }
    if (index < 1 || static_cast<std::size_t>(index) > m_order.size())
        return DISP_E_BADINDEX;
    HRESULT hr = Open(m_order[index - 1], message);
    return hr == S_FALSE ? MAPI_E_NOT_FOUND : hr;
}

HRESULT RdoItems::GetFirst(QMRMessage** message) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(message))
        return E_POINTER;
    HRESULT hr = Refresh();
    if (FAILED(hr))
        return hr;
    m_walk = 0;
    return GetNext(message);
}

HRESULT RdoItems::GetNext(QMRMessage** message) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(message))
        return E_POINTER;
    while (m_walk < m_order.size()) {
        HRESULT hr = Open(m_order[m_walk++], message);
        if (hr != S_FALSE)
            return hr;  // a message vanished since the walk began is passed over
    }
    return S_OK;
}

HRESULT RdoItems::Add(VARIANT messageClass, QMRMessage** message) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(message))
        return E_POINTER;
    std::wstring cls = L"IPM.Note";
    if (messageClass.vt == VT_BSTR && SysStringLen(messageClass.bstrVal) > 0)
        cls = View(messageClass.bstrVal);
    else if (messageClass.vt != VT_EMPTY && !IsMissingArgument(messageClass))
        return E_INVALIDARG;
    std::unique_ptr<store::Message> made;
    HRESULT hr = m_folder.CreateMessage(m_associated, &made);
    if (FAILED(hr))
        return hr;
    made->SetProp(PR_MESSAGE_CLASS, PropValue::Unicode(cls));
    return PutObject(MakeStoreMessage(m_context, std::move(made)), message);
}

HRESULT RdoItems::Find(BSTR filter, QMRMessage** message) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(message))
        return E_POINTER;
    m_found.clear();
    m_nextFound = 0;
    m_searched = false;
    HRESULT hr = m_folder.Find(WithDaslNames(FilterOfQuery(View(filter))), m_associated, &m_found);
    if (FAILED(hr))
        return hr;
    if (m_sortSet) {
        // The matches come in the order set by Sort, as the walk does.
        if (FAILED(hr = Refresh()))
            return hr;
        std::set<store::Bytes> matched(m_found.begin(), m_found.end());
        m_found.clear();
        for (const store::Bytes& id : m_order)
            if (matched.count(id))
                m_found.push_back(id);
    }
    m_searched = true;
    return FindNext(message);
}

HRESULT RdoItems::FindNext(QMRMessage** message) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(message))
        return E_POINTER;
    if (!m_searched)
        return MAPI_E_NOT_INITIALIZED;
    while (m_nextFound < m_found.size()) {
        HRESULT hr = Open(m_found[m_nextFound++], message);
        if (hr != S_FALSE)
            return hr;
    }
    return S_OK;
}

HRESULT RdoItems::Sort(BSTR property, VARIANT_BOOL descending) {
    RDO_OWNER_THREAD_ONLY();
    auto tag = SortTagOf(View(property));
    if (!tag)
        return E_INVALIDARG;
    m_sort = store::SortOrder{*tag, descending != VARIANT_FALSE};
    m_sortSet = true;
    m_orderRead = false;
    m_walk = 0;
    return S_OK;
}

HRESULT RdoItems::GetMAPITable(QMRMAPITable** table) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(table))
        return E_POINTER;
    std::unique_ptr<store::ContentsTable> contents;
    HRESULT hr = m_folder.GetContentsTable(m_associated, &contents);
    if (FAILED(hr))
        return hr;
    return PutObject(com::Make<RdoTable>(m_context, std::move(contents)), table);
}

// --- RdoTable ------------------------------------------------------------------

#define RDO_TABLE_GIVEN()                  \
    do {                                   \
        if (!m_table)                      \
            return MAPI_E_NOT_INITIALIZED; \
    } while (0)

HRESULT RdoTable::PutItem(IUnknown* source) {
    RDO_OWNER_THREAD_ONLY();
    std::shared_ptr<SessionContext> context;
    store::Folder folder;
    bool associated = false;
    if (RdoItems* items = ImplOf<RdoItems>(source)) {
        if (!items->OnOwnerThread())
            return RPC_E_WRONG_THREAD;
        context = items->Context();
        folder = items->StoreFolder();
        associated = items->Associated();
    } else {
        HRESULT hr = OpenMapiFolder(source, &context, &folder);
        if (FAILED(hr))
            return hr;
    }
    std::unique_ptr<store::ContentsTable> table;
    HRESULT hr = folder.GetContentsTable(associated, &table);
    if (FAILED(hr))
        return hr;
    m_context = std::move(context);
    m_table = std::move(table);
    return m_table->SetColumns(m_columns);
}

HRESULT RdoTable::SetColumns(VARIANT columns) {
    RDO_OWNER_THREAD_ONLY();
    RDO_TABLE_GIVEN();
    std::vector<ULONG> tags;
    if (!TagsOf(columns, &tags) || tags.empty())
        return E_INVALIDARG;
    HRESULT hr = m_table->SetColumns(tags);
    if (FAILED(hr))
        return hr;
    m_columns = tags;
    return m_table->SeekRow(store::SeekOrigin::Beginning, 0, nullptr);
}

HRESULT RdoTable::Sort(VARIANT columns, VARIANT descending) {
    RDO_OWNER_THREAD_ONLY();
    RDO_TABLE_GIVEN();
    std::vector<ULONG> tags;
    if (!TagsOf(columns, &tags) || tags.empty())
        return E_INVALIDARG;
    bool down = DescendingOf(descending);
    std::vector<store::SortOrder> order;
    for (ULONG tag : tags)
        order.push_back(store::SortOrder{tag, down});
    return m_table->SortTable(order);
}

HRESULT RdoTable::GetRowCount(LONG* count) {
    RDO_OWNER_THREAD_ONLY();
    if (!count)
        return E_POINTER;
    *count = 0;
    RDO_TABLE_GIVEN();
    ULONG rows = 0;
    HRESULT hr = m_table->GetRowCount(&rows);
    *count = static_cast<LONG>(rows);
    return hr;
}

HRESULT RdoTable::GoToFirst() {
    RDO_OWNER_THREAD_ONLY();
    RDO_TABLE_GIVEN();
    return m_table->SeekRow(store::SeekOrigin::Beginning, 0, nullptr);
}

HRESULT RdoTable::GetRows(LONG count, VARIANT* rows) {
    RDO_OWNER_THREAD_ONLY();
    if (!rows)
        return E_POINTER;
    VariantInit(rows);
    RDO_TABLE_GIVEN();
    if (count < 1)
        return E_INVALIDARG;
    std::vector<store::TableRow> read;
    HRESULT hr = m_table->QueryRows(count, &read);
    if (FAILED(hr) || read.empty())
        return hr;
    // The cells are made in place in the arrays' own storage, so that each
    // value is built once and never copied.
    SAFEARRAY* outer = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(read.size()));
    VARIANT* rowValues = nullptr;
    if (!outer || FAILED(SafeArrayAccessData(outer, reinterpret_cast<void**>(&rowValues)))) {
        if (outer)
            SafeArrayDestroy(outer);
        return E_OUTOFMEMORY;
    }
    hr = S_OK;
    for (std::size_t r = 0; r < read.size() && SUCCEEDED(hr); ++r) {
        const store::TableRow& row = read[r];
        SAFEARRAY* inner = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(row.size()));
        VARIANT* cells = nullptr;
        if (!inner || FAILED(SafeArrayAccessData(inner, reinterpret_cast<void**>(&cells)))) {
            if (inner)
                SafeArrayDestroy(inner);
            hr = E_OUTOFMEMORY;
            break;
        }
        for (std::size_t c = 0; c < row.size(); ++c) {
            // A property the message lacks stays empty, as a missing column.
            if (row[c].value.Type() != PT_ERROR)
                VariantFromProp(row[c].value, &cells[c]);
        }
        SafeArrayUnaccessData(inner);
        rowValues[r].vt = VT_ARRAY | VT_VARIANT;
        rowValues[r].parray = inner;
    }
    SafeArrayUnaccessData(outer);
    if (FAILED(hr)) {
        SafeArrayDestroy(outer);
        return hr;
    }
    rows->vt = VT_ARRAY | VT_VARIANT;
    rows->parray = outer;
    return S_OK;
}

HRESULT RdoTable::SeekRow(LONG row) {
    RDO_OWNER_THREAD_ONLY();
    RDO_TABLE_GIVEN();
    if (row < 0)
        return E_INVALIDARG;
    return m_table->SeekRow(store::SeekOrigin::Beginning, row, nullptr);
}

// --- Synchronizer --------------------------------------------------------------

HRESULT RdoSynchronizer::GetDifferingItems(BSTR state, QMRDifferingItems** items) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(items))
        return E_POINTER;
    store::DifferingItems found;
    // State texts are ASCII (the store's own form); anything else is unusable.
    std::wstring text = View(state);
    std::string narrow;
    for (wchar_t c : text) {
        if (c > 0x7F)
            return E_INVALIDARG;
        narrow.push_back(static_cast<char>(c));
    }
    HRESULT hr = m_synchronizer->GetDifferingItems(narrow, &found);
    if (FAILED(hr))
        return hr;
    return PutObject(
        com::Make<RdoDifferingItems>(m_context, m_folder.GetSession(), std::move(found)), items);
}

HRESULT RdoDifferingItems::GetCount(LONG* count) {
    RDO_OWNER_THREAD_ONLY();
    if (!count)
        return E_POINTER;
    *count = static_cast<LONG>(m_items.items.size());
    return S_OK;
}

HRESULT RdoDifferingItems::Item(LONG index, QMRDifferingItem** item) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(item))
        return E_POINTER;
    if (index < 1 || static_cast<std::size_t>(index) > m_items.items.size())
        return DISP_E_BADINDEX;
    return PutObject(com::Make<RdoDifferingItem>(m_context, m_session, m_items.items[index - 1]),
                     item);
}

HRESULT RdoDifferingItems::GetSyncData(BSTR* state) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(std::wstring(m_items.newState.begin(), m_items.newState.end()), state);
}

HRESULT RdoDifferingItem::GetSourceKey(BSTR* sourceKey) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(HexFromBytes(m_item.sourceKey), sourceKey);
}

HRESULT RdoDifferingItem::GetChangeKind(LONG* kind) {
    RDO_OWNER_THREAD_ONLY();
    if (!kind)
        return E_POINTER;
    *kind = static_cast<LONG>(m_item.kind);
    return S_OK;
}

HRESULT RdoDifferingItem::GetChangeKey(BSTR* changeKey) {
    RDO_OWNER_THREAD_ONLY();
    return PutText(HexFromBytes(m_item.changeKey), changeKey);
}

HRESULT RdoDifferingItem::GetIsNew(VARIANT_BOOL* isNew) {
    RDO_OWNER_THREAD_ONLY();
    if (!isNew)
        return E_POINTER;
    *isNew = m_item.isNew ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

HRESULT RdoDifferingItem::GetLastModificationTime(VARIANT* time) {
    RDO_OWNER_THREAD_ONLY();
    if (!time)
        return E_POINTER;
    VariantInit(time);
    if (m_item.kind == store::ChangeKind::Deleted || m_item.lastModificationTime == 0)
        return MAPI_E_NOT_FOUND;
    time->vt = VT_DATE;
    time->date = DateFromFileTime(m_item.lastModificationTime);
    return S_OK;
}

HRESULT RdoDifferingItem::GetMessage(QMRMessage** message) {
    RDO_OWNER_THREAD_ONLY();
    if (!ClearOut(message))
        return E_POINTER;
    if (m_item.entryId.empty())
        return MAPI_E_NOT_FOUND;
    std::unique_ptr<store::Message> opened;
    HRESULT hr = m_session->OpenMessage(m_item.entryId, &opened);
    if (FAILED(hr))
        return hr;
    return PutObject(MakeStoreMessage(m_context, std::move(opened)), message);
}

}  // namespace rdo
