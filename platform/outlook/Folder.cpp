// Stores, folders and folder collections of the object model.
#include "platform/mapi/PropTags.h"
#include "platform/outlook/ObjectModel.h"

namespace outlook::impl {
namespace {

HRESULT CopyApplication(Model& model, _Application** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!model.application)
        return E_FAIL;  // the host has let go of the client
    *out = model.application.p;
    (*out)->AddRef();
    return S_OK;
}

HRESULT TextOut(BSTR* out, std::wstring_view text) {
    if (!out)
        return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// --- _Store ---------------------------------------------------------------------

constexpr NameId kStoreNames[] = {
    {L"Application", dispid::kApplication},
    {L"Parent", dispid::kParent},
    {L"StoreID", dispid::kStoreID},
    {L"DisplayName", dispid::kName},
    {L"GetRootFolder", dispid::kGetRootFolder},
    {L"GetRules", dispid::kGetRules},
};

class StoreObject final : public com::ComObject<StoreObject, _Store> {
public:
    StoreObject(std::shared_ptr<Model> model, std::size_t index)
        : m_model(std::move(model)), m_index(index) {}

    QM_OUTLOOK_DISPATCH_MEMBERS(kStoreNames)

    HRESULT get_StoreID(BSTR* storeId) override {
        std::lock_guard lock(m_model->mutex);
        return TextOut(storeId, BytesToHex(Entry().entryId));
    }
    HRESULT get_DisplayName(BSTR* name) override {
        std::lock_guard lock(m_model->mutex);
        return TextOut(name, Entry().session->Info().displayName);
    }
    HRESULT GetRootFolder(MAPIFolder** folder) override {
        if (!folder)
            return E_POINTER;
        *folder = nullptr;
        std::lock_guard lock(m_model->mutex);
        store::Folder root;
        HRESULT hr = Entry().session->GetRootFolder(&root);
        return FAILED(hr) ? hr : m_model->MakeFolder(Entry(), root, folder);
    }
    HRESULT GetRules(_Rules** rules) override {
        if (!rules)
            return E_POINTER;
        *rules = nullptr;
        return CreateRules(m_model, m_index, rules);
    }

private:
    StoreEntry& Entry() { return m_model->stores[m_index]; }

    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs&, VARIANT* result) {
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        switch (id) {
            case dispid::kApplication:
            case dispid::kParent: {
                _Application* app = nullptr;
                HRESULT hr = CopyApplication(*m_model, &app);
                return ResultDispatch(result, hr, app);
            }
            case dispid::kStoreID: {
                BSTR v = nullptr;
                const HRESULT got = get_StoreID(&v);
                return ResultText(result, got, v);
            }
            case dispid::kName: {
                BSTR v = nullptr;
                const HRESULT got = get_DisplayName(&v);
                return ResultText(result, got, v);
            }
            case dispid::kGetRootFolder: {
                MAPIFolder* f = nullptr;
                const HRESULT got = GetRootFolder(&f);
                return ResultDispatch(result, got, f);
            }
            case dispid::kGetRules: {
                _Rules* r = nullptr;
                const HRESULT got = GetRules(&r);
                return ResultDispatch(result, got, r);
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    std::shared_ptr<Model> m_model;
    std::size_t m_index;
};

// --- MAPIFolder -----------------------------------------------------------------

constexpr NameId kFolderNames[] = {
    {L"Application", dispid::kApplication},
    {L"Parent", dispid::kParent},
    {L"Class", dispid::kClass},
    {L"Session", dispid::kSession},
    {L"EntryID", dispid::kEntryID},
    {L"StoreID", dispid::kStoreID},
    {L"Name", dispid::kName},
    {L"Folders", dispid::kFolders},
    {L"Items", dispid::kItems},
    {L"DefaultItemType", dispid::kDefaultItemType},
    {L"DefaultMessageClass", dispid::kDefaultMessageClass},
    {L"Delete", dispid::kDelete},
    {L"MAPIOBJECT", dispid::kMAPIOBJECT},
    {L"Store", dispid::kStore},
};
constexpr LONG kOlFolderClass = 2;  // OlObjectClass olFolder

class FolderObject final : public com::ComObject<FolderObject, MAPIFolder, IQmMapiFolder> {
public:
    FolderObject(std::shared_ptr<Model> model, std::size_t index, store::Folder folder)
        : m_model(std::move(model)),
          m_index(index),
          m_folder(folder),
          m_entryId(folder.EntryId()) {}

    QM_OUTLOOK_DISPATCH_MEMBERS(kFolderNames)

    HRESULT get_Application(_Application** application) override {
        std::lock_guard lock(m_model->mutex);
        return CopyApplication(*m_model, application);
    }
    HRESULT get_Parent(IDispatch** parent) override {
        if (!parent)
            return E_POINTER;
        *parent = nullptr;
        std::lock_guard lock(m_model->mutex);
        store::Folder up;
        HRESULT hr = m_folder.GetParent(&up);
        if (hr == MAPI_E_NOT_FOUND) {
            // The top folder of a store: its parent is the name space, when
            // the folder itself still exists.
            std::wstring name;
            if (FAILED(hr = m_folder.GetName(&name)))
                return hr;
            if (!m_model->nameSpace)
                return E_FAIL;
            *parent = m_model->nameSpace.p;
            (*parent)->AddRef();
            return S_OK;
        }
        if (FAILED(hr))
            return hr;
        MAPIFolder* f = nullptr;
        hr = m_model->MakeFolder(Entry(), up, &f);
        *parent = f;
        return hr;
    }
    HRESULT get_EntryID(BSTR* entryId) override { return TextOut(entryId, BytesToHex(m_entryId)); }
    HRESULT get_StoreID(BSTR* storeId) override {
        return TextOut(storeId, BytesToHex(Entry().entryId));
    }
    HRESULT get_Name(BSTR* name) override {
        if (!name)
            return E_POINTER;
        *name = nullptr;
        std::lock_guard lock(m_model->mutex);
        std::wstring text;
        HRESULT hr = m_folder.GetName(&text);
        return FAILED(hr) ? hr : TextOut(name, text);
    }
    HRESULT put_Name(BSTR name) override {
        std::lock_guard lock(m_model->mutex);
        return m_folder.Rename(std::wstring(name ? name : L""));
    }
    HRESULT get_Folders(_Folders** folders) override {
        if (!folders)
            return E_POINTER;
        *folders = nullptr;
        std::lock_guard lock(m_model->mutex);
        return CreateFolders(m_model, m_index, m_folder, folders);
    }
    HRESULT get_Items(_Items** items) override {
        if (!items)
            return E_POINTER;
        *items = nullptr;
        std::lock_guard lock(m_model->mutex);
        std::wstring name;
        HRESULT hr = m_folder.GetName(&name);  // a vanished folder has no items
        return FAILED(hr) ? hr : CreateItems(m_model, m_index, m_folder, items);
    }
    HRESULT get_DefaultItemType(OlItemType* type) override {
        if (!type)
            return E_POINTER;
        *type = olMailItem;
        std::lock_guard lock(m_model->mutex);
        std::wstring containerClass;
        HRESULT hr = m_folder.GetContainerClass(&containerClass);
        if (SUCCEEDED(hr))
            *type = ItemTypeOfContainerClass(containerClass);
        return hr;
    }
    HRESULT get_DefaultMessageClass(BSTR* messageClass) override {
        if (!messageClass)
            return E_POINTER;
        *messageClass = nullptr;
        OlItemType type = olMailItem;
        HRESULT hr = get_DefaultItemType(&type);
        return FAILED(hr) ? hr : TextOut(messageClass, MessageClassOfItemType(type));
    }
    HRESULT get_Store(_Store** store) override {
        if (!store)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        return m_model->MakeStore(Entry(), store);
    }
    HRESULT Delete() override {
        std::lock_guard lock(m_model->mutex);
        // The client keeps its default folders.
        std::optional<store::DefaultFolder> role;
        HRESULT hr = m_folder.GetRole(&role);
        if (FAILED(hr))
            return hr;
        return role ? MAPI_E_NO_ACCESS : m_folder.Delete();
    }
    HRESULT get_MAPIOBJECT(IUnknown** mapiFolder) override {
        if (!mapiFolder)
            return E_POINTER;
        *mapiFolder = static_cast<IQmMapiFolder*>(this);
        AddRef();
        return S_OK;
    }

    HRESULT GetFolderLocation(std::string* storeHostPath, Bytes* entryId) override {
        if (!storeHostPath || !entryId)
            return E_POINTER;
        *storeHostPath = Entry().path;
        *entryId = m_entryId;
        return S_OK;
    }

    const Bytes& EntryId() const { return m_entryId; }
    const GUID& StoreGuid() const { return m_model->stores[m_index].guid; }

private:
    StoreEntry& Entry() { return m_model->stores[m_index]; }

    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result) {
        if (IsPut(flags)) {
            if (id != dispid::kName)
                return DISP_E_MEMBERNOTFOUND;
            CComBSTR name;
            HRESULT hr = ArgText(args.Value(), name);
            return FAILED(hr) ? hr : put_Name(name);
        }
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        switch (id) {
            case dispid::kApplication: {
                _Application* v = nullptr;
                const HRESULT got = get_Application(&v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kSession: {
                std::lock_guard lock(m_model->mutex);
                IDispatch* v = m_model->nameSpace.p;
                if (v)
                    v->AddRef();
                return ResultDispatch(result, v ? S_OK : E_FAIL, v);
            }
            case dispid::kParent: {
                IDispatch* v = nullptr;
                const HRESULT got = get_Parent(&v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kClass:
                return ResultLong(result, S_OK, kOlFolderClass);
            case dispid::kEntryID: {
                BSTR v = nullptr;
                const HRESULT got = get_EntryID(&v);
                return ResultText(result, got, v);
            }
            case dispid::kStoreID: {
                BSTR v = nullptr;
                const HRESULT got = get_StoreID(&v);
                return ResultText(result, got, v);
            }
            case dispid::kName: {
                BSTR v = nullptr;
                const HRESULT got = get_Name(&v);
                return ResultText(result, got, v);
            }
            case dispid::kFolders: {
                _Folders* v = nullptr;
                const HRESULT got = get_Folders(&v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kItems: {
                _Items* v = nullptr;
                const HRESULT got = get_Items(&v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kDefaultItemType: {
                OlItemType v = olMailItem;
                HRESULT hr = get_DefaultItemType(&v);
                return ResultLong(result, hr, v);
            }
            case dispid::kDefaultMessageClass: {
                BSTR v = nullptr;
                const HRESULT got = get_DefaultMessageClass(&v);
                return ResultText(result, got, v);
            }
            case dispid::kDelete:
                return Delete();
            case dispid::kMAPIOBJECT: {
                IUnknown* v = nullptr;
                const HRESULT got = get_MAPIOBJECT(&v);
                return ResultUnknown(result, got, v);
            }
            case dispid::kStore: {
                _Store* v = nullptr;
                const HRESULT got = get_Store(&v);
                return ResultDispatch(result, got, v);
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    std::shared_ptr<Model> m_model;
    std::size_t m_index;
    store::Folder m_folder;
    Bytes m_entryId;
};

// --- _Folders -----------------------------------------------------------------

constexpr NameId kFoldersNames[] = {
    {L"Parent", dispid::kParent},
    {L"Count", dispid::kCount},
    {L"Item", dispid::kItem},
    {L"Add", dispid::kAdd},
};

class FoldersObject final : public com::ComObject<FoldersObject, _Folders> {
public:
    FoldersObject(std::shared_ptr<Model> model, std::size_t index, store::Folder parent)
        : m_model(std::move(model)), m_index(index), m_parent(parent) {}

    QM_OUTLOOK_DISPATCH_MEMBERS(kFoldersNames)

    HRESULT get_Parent(IDispatch** parent) override {
        if (!parent)
            return E_POINTER;
        *parent = nullptr;
        std::lock_guard lock(m_model->mutex);
        MAPIFolder* f = nullptr;
        HRESULT hr = m_model->MakeFolder(Entry(), m_parent, &f);
        *parent = f;
        return hr;
    }
    HRESULT get_Count(LONG* count) override {
        if (!count)
            return E_POINTER;
        *count = 0;
        std::lock_guard lock(m_model->mutex);
        std::vector<store::Folder> subfolders;
        HRESULT hr = m_parent.GetSubfolders(&subfolders);
        if (SUCCEEDED(hr))
            *count = static_cast<LONG>(subfolders.size());
        return hr;
    }
    HRESULT Item(VARIANT index, MAPIFolder** folder) override {
        if (!folder)
            return E_POINTER;
        *folder = nullptr;
        std::lock_guard lock(m_model->mutex);
        store::Folder found;
        HRESULT hr;
        if (index.vt == VT_BSTR) {
            hr = m_parent.FindSubfolder(std::wstring(index.bstrVal ? index.bstrVal : L""), &found);
        } else {
            LONG number = 0;
            if (FAILED(ArgLong(&index, &number)))
                return DISP_E_TYPEMISMATCH;
            std::vector<store::Folder> subfolders;
            hr = m_parent.GetSubfolders(&subfolders);
            if (FAILED(hr))
                return hr;
            if (number < 1 || static_cast<std::size_t>(number) > subfolders.size())
                return DISP_E_BADINDEX;
            found = subfolders[number - 1];
        }
        return FAILED(hr) ? hr : m_model->MakeFolder(Entry(), found, folder);
    }
    HRESULT Add(BSTR name, VARIANT type, MAPIFolder** folder) override {
        if (!folder)
            return E_POINTER;
        *folder = nullptr;
        std::lock_guard lock(m_model->mutex);
        std::wstring containerClass;
        HRESULT hr = S_OK;
        if (type.vt == VT_EMPTY || IsMissingArgument(type)) {
            hr = m_parent.GetContainerClass(&containerClass);
            if (FAILED(hr))
                return hr;
            if (containerClass.empty())
                containerClass = L"IPF.Note";
        } else {
            LONG number = 0;
            if (FAILED(ArgLong(&type, &number)))
                return DISP_E_TYPEMISMATCH;
            bool known = false;
            for (store::DefaultFolder role : store::AllDefaultFolders()) {
                if (static_cast<LONG>(role) == number) {
                    containerClass = store::DefaultFolderClass(role);
                    known = true;
                }
            }
            if (!known)
                return E_INVALIDARG;
        }
        store::Folder created;
        hr = m_parent.CreateSubfolder(std::wstring(name ? name : L""), containerClass, &created);
        return FAILED(hr) ? hr : m_model->MakeFolder(Entry(), created, folder);
    }

private:
    StoreEntry& Entry() { return m_model->stores[m_index]; }

    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result) {
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        switch (id) {
            case dispid::kParent: {
                IDispatch* v = nullptr;
                const HRESULT got = get_Parent(&v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kCount: {
                LONG v = 0;
                HRESULT hr = get_Count(&v);
                return ResultLong(result, hr, v);
            }
            case dispid::kItem: {
                if (!args.At(0))
                    return DISP_E_BADPARAMCOUNT;
                MAPIFolder* v = nullptr;
                const HRESULT got = Item(*args.At(0), &v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kAdd: {
                CComBSTR name;
                HRESULT hr = ArgText(args.At(0), name);
                if (FAILED(hr))
                    return hr;
                VARIANT type = args.At(1) ? *args.At(1) : VARIANT(MissingArgument());
                MAPIFolder* v = nullptr;
                const HRESULT got = Add(name, type, &v);
                return ResultDispatch(result, got, v);
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    std::shared_ptr<Model> m_model;
    std::size_t m_index;
    store::Folder m_parent;
};

}  // namespace

HRESULT Model::MakeFolder(StoreEntry& store, const store::Folder& folder, MAPIFolder** out) {
    if (!out)
        return E_POINTER;
    auto object = com::Make<FolderObject, MAPIFolder>(shared_from_this(),
                                                      IndexOf(shared_from_this(), store), folder);
    if (!object)
        return E_OUTOFMEMORY;
    *out = object.Detach();
    return S_OK;
}

HRESULT Model::MakeStore(StoreEntry& store, _Store** out) {
    if (!out)
        return E_POINTER;
    auto object =
        com::Make<StoreObject, _Store>(shared_from_this(), IndexOf(shared_from_this(), store));
    if (!object)
        return E_OUTOFMEMORY;
    *out = object.Detach();
    return S_OK;
}

HRESULT CreateFolders(const std::shared_ptr<Model>& model, std::size_t storeIndex,
                      const store::Folder& parent, _Folders** out) {
    auto object = com::Make<FoldersObject, _Folders>(model, storeIndex, parent);
    if (!object)
        return E_OUTOFMEMORY;
    *out = object.Detach();
    return S_OK;
}

bool FolderLocation(MAPIFolder* folder, GUID* storeGuid, Bytes* entryId) {
    if (!folder)
        return false;
    CComPtr<IQmMapiFolder> mapi;
    if (FAILED(folder->QueryInterface(IID_IQmMapiFolder, reinterpret_cast<void**>(&mapi))))
        return false;
    std::string path;
    if (FAILED(mapi->GetFolderLocation(&path, entryId)))
        return false;
    auto parts = store::ParseEntryId(*entryId);
    if (!parts)
        return false;
    *storeGuid = parts->storeGuid;
    return true;
}

}  // namespace outlook::impl
