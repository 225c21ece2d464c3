// The application, its name space, windows and add-in records, and the
// host's side of them (OutlookApplication).
#include "platform/outlook/ObjectModel.h"
#include "platform/store/Profile.h"

namespace outlook {
namespace impl {
namespace {

HRESULT TextOut(BSTR* out, std::wstring_view text) {
    if (!out)
        return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

template <class I>
HRESULT CopyOut(I* value, I** out) {
    if (!out)
        return E_POINTER;
    *out = value;
    if (!value)
        return E_FAIL;
    value->AddRef();
    return S_OK;
}

// --- The profile's MAPI session ---------------------------------------------------

class MapiSessionObject final : public com::ComObject<MapiSessionObject, IQmMapiSession> {
public:
    explicit MapiSessionObject(std::shared_ptr<Model> model) : m_model(std::move(model)) {}
    HRESULT GetProfileInfo(MapiProfileInfo* info) override {
        if (!info)
            return E_POINTER;
        *info = m_model->options.profile;
        return S_OK;
    }

private:
    std::shared_ptr<Model> m_model;
};

// --- Windows -------------------------------------------------------------------

constexpr NameId kWindowNames[] = {
    {L"Caption", dispid::kCaption},
    {L"CurrentItem", dispid::kCurrentItem},
};

class ExplorerObject final : public com::ComObject<ExplorerObject, _Explorer> {
public:
    explicit ExplorerObject(std::wstring caption) : m_caption(std::move(caption)) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kWindowNames)
    HRESULT get_Caption(BSTR* caption) override { return TextOut(caption, m_caption); }

private:
    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs&, VARIANT* result) {
        if (!IsGet(flags) || id != dispid::kCaption)
            return DISP_E_MEMBERNOTFOUND;
        BSTR v = nullptr;
        const HRESULT got = get_Caption(&v);
        return ResultText(result, got, v);
    }
    std::wstring m_caption;
};

class InspectorObject final : public com::ComObject<InspectorObject, _Inspector> {
public:
    InspectorObject(IDispatch* item, std::wstring caption)
        : m_item(item), m_caption(std::move(caption)) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kWindowNames)
    HRESULT get_CurrentItem(IDispatch** item) override { return CopyOut(m_item.p, item); }
    HRESULT get_Caption(BSTR* caption) override { return TextOut(caption, m_caption); }

private:
    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs&, VARIANT* result) {
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        if (id == dispid::kCaption) {
            BSTR v = nullptr;
            const HRESULT got = get_Caption(&v);
            return ResultText(result, got, v);
        }
        if (id == dispid::kCurrentItem) {
            IDispatch* v = nullptr;
            const HRESULT got = get_CurrentItem(&v);
            return ResultDispatch(result, got, v);
        }
        return DISP_E_MEMBERNOTFOUND;
    }
    CComPtr<IDispatch> m_item;
    std::wstring m_caption;
};

// --- Office add-in records -----------------------------------------------------------

constexpr NameId kAddInNames[] = {
    {L"Connect", dispid::kConnect},
    {L"ProgId", 0x0003},
    {L"Description", 0x0000},
};

}  // namespace

class COMAddInObject final : public com::ComObject<COMAddInObject, COMAddIn> {
public:
    COMAddInObject(std::wstring progId, std::wstring description,
                   std::function<void(bool)> onConnectChange)
        : m_progId(std::move(progId)),
          m_description(std::move(description)),
          m_onConnectChange(std::move(onConnectChange)) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kAddInNames)

    HRESULT get_Description(BSTR* description) override {
        return TextOut(description, m_description);
    }
    HRESULT get_ProgId(BSTR* progId) override { return TextOut(progId, m_progId); }
    HRESULT get_Guid(BSTR* guid) override { return TextOut(guid, L""); }
    HRESULT get_Connect(VARIANT_BOOL* connected) override {
        if (!connected)
            return E_POINTER;
        win::MutexLock lock(m_mutex);
        *connected = m_connected ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT put_Connect(VARIANT_BOOL connect) override {
        bool changed;
        {
            win::MutexLock lock(m_mutex);
            changed = m_connected != (connect != VARIANT_FALSE);
            m_connected = connect != VARIANT_FALSE;
        }
        // Outside the lock: the host may call back into the add-in.
        if (changed && m_onConnectChange)
            m_onConnectChange(connect != VARIANT_FALSE);
        return S_OK;
    }
    HRESULT get_Object(IDispatch** object) override {
        if (!object)
            return E_POINTER;
        win::MutexLock lock(m_mutex);
        *object = m_object;
        if (*object)
            (*object)->AddRef();
        return S_OK;
    }
    HRESULT put_Object(IDispatch* object) override {
        win::MutexLock lock(m_mutex);
        m_object = object;
        return S_OK;
    }
    const std::wstring& ProgId() const { return m_progId; }

private:
    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result) {
        if (id == dispid::kConnect && IsPut(flags)) {
            CComVariant value;
            if (!args.Value() || FAILED(VariantChangeType(&value, args.Value(), 0, VT_BOOL)))
                return DISP_E_TYPEMISMATCH;
            return put_Connect(value.boolVal);
        }
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        BSTR text = nullptr;
        switch (id) {
            case dispid::kConnect: {
                VARIANT_BOOL v = VARIANT_FALSE;
                HRESULT hr = get_Connect(&v);
                return ResultBool(result, hr, v);
            }
            case 0x0003: {
                const HRESULT got = get_ProgId(&text);
                return ResultText(result, got, text);
            }
            case 0x0000: {
                const HRESULT got = get_Description(&text);
                return ResultText(result, got, text);
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    const std::wstring m_progId, m_description;
    const std::function<void(bool)> m_onConnectChange;
    win::Mutex m_mutex;
    bool m_connected GUARDED_BY(m_mutex) = true;
    CComPtr<IDispatch> m_object GUARDED_BY(m_mutex);
};

namespace {

constexpr NameId kAddInsNames[] = {{L"Count", dispid::kCount}, {L"Item", 0x0000}};

class COMAddInsObject final : public com::ComObject<COMAddInsObject, COMAddIns> {
public:
    explicit COMAddInsObject(std::shared_ptr<Model> model) : m_model(std::move(model)) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kAddInsNames)
    HRESULT get_Count(LONG* count) override {
        if (!count)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        *count = static_cast<LONG>(m_model->addIns.size());
        return S_OK;
    }
    HRESULT Item(VARIANT* index, COMAddIn** addIn) override {
        if (!addIn || !index)
            return E_POINTER;
        *addIn = nullptr;
        std::lock_guard lock(m_model->mutex);
        if (index->vt == VT_BSTR) {
            for (auto& a : m_model->addIns) {
                CComBSTR progId;
                a->get_ProgId(&progId);
                if (EqualsNoCase(progId.View(), index->bstrVal ? index->bstrVal : L""))
                    return CopyOut(a.p, addIn);
            }
            return DISP_E_BADINDEX;
        }
        LONG number = 0;
        if (FAILED(ArgLong(index, &number)))
            return DISP_E_TYPEMISMATCH;
        if (number < 1 || static_cast<std::size_t>(number) > m_model->addIns.size())
            return DISP_E_BADINDEX;
        return CopyOut(m_model->addIns[number - 1].p, addIn);
    }

private:
    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result) {
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        if (id == dispid::kCount) {
            LONG v = 0;
            HRESULT hr = get_Count(&v);
            return ResultLong(result, hr, v);
        }
        if (id == 0x0000 && args.At(0)) {
            VARIANT index = *args.At(0);
            COMAddIn* v = nullptr;
            const HRESULT got = Item(&index, &v);
            return ResultDispatch(result, got, v);
        }
        return DISP_E_MEMBERNOTFOUND;
    }
    std::shared_ptr<Model> m_model;
};

// --- Name space -----------------------------------------------------------------------

constexpr NameId kNameSpaceNames[] = {
    {L"Application", dispid::kApplication},
    {L"Parent", dispid::kParent},
    {L"Class", dispid::kClass},
    {L"Session", dispid::kSession},
    {L"MAPIOBJECT", dispid::kMAPIOBJECT},
    {L"GetDefaultFolder", dispid::kGetDefaultFolder},
    {L"GetFolderFromID", dispid::kGetFolderFromID},
    {L"DefaultStore", dispid::kDefaultStore},
    {L"CurrentProfileName", dispid::kCurrentProfileName},
};
constexpr LONG kOlNamespaceClass = 1;

}  // namespace

class NameSpaceObject final
    : public com::ComObject<NameSpaceObject, _NameSpace, IConnectionPointContainer> {
public:
    explicit NameSpaceObject(std::weak_ptr<Model> model)
        : m_model(std::move(model)), m_events(this, IID_NameSpaceEvents) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kNameSpaceNames)

    HRESULT get_Application(_Application** application) override {
        auto m = Lock();
        if (!m)
            return application ? (*application = nullptr, E_FAIL) : E_POINTER;
        std::lock_guard lock(m->mutex);
        return CopyOut(m->application.p, application);
    }
    HRESULT get_CurrentProfileName(BSTR* name) override {
        auto m = Lock();
        return m ? TextOut(name, m->options.profile.profileName) : E_FAIL;
    }
    HRESULT GetDefaultFolder(OlDefaultFolders folderType, MAPIFolder** folder) override {
        if (!folder)
            return E_POINTER;
        *folder = nullptr;
        auto m = Lock();
        if (!m)
            return E_FAIL;
        bool known = false;
        for (store::DefaultFolder role : store::AllDefaultFolders())
            known = known || static_cast<LONG>(role) == folderType;
        if (!known)
            return E_INVALIDARG;
        std::lock_guard lock(m->mutex);
        store::Folder f;
        HRESULT hr = m->DefaultStore().session->GetDefaultFolder(
            static_cast<store::DefaultFolder>(folderType), &f);
        return FAILED(hr) ? hr : m->MakeFolder(m->DefaultStore(), f, folder);
    }
    HRESULT GetFolderFromID(BSTR entryId, VARIANT storeId, MAPIFolder** folder) override {
        if (!folder)
            return E_POINTER;
        *folder = nullptr;
        auto m = Lock();
        if (!m)
            return E_FAIL;
        auto id = HexToBytes(entryId ? entryId : L"");
        if (!id)
            return E_INVALIDARG;
        std::lock_guard lock(m->mutex);
        StoreEntry* s = nullptr;
        if (storeId.vt == VT_BSTR && storeId.bstrVal && *storeId.bstrVal) {
            auto storeBytes = HexToBytes(storeId.bstrVal);
            if (!storeBytes)
                return E_INVALIDARG;
            s = m->StoreByEntryId(*storeBytes);
        } else if (storeId.vt == VT_EMPTY || IsMissingArgument(storeId) || storeId.vt == VT_BSTR) {
            s = m->StoreOfObject(*id);
            if (!s && !store::ParseEntryId(*id))
                return MAPI_E_INVALID_ENTRYID;
        } else {
            return DISP_E_TYPEMISMATCH;
        }
        if (!s)
            return MAPI_E_NOT_FOUND;
        store::Folder f;
        HRESULT hr = s->session->OpenFolder(*id, &f);
        return FAILED(hr) ? hr : m->MakeFolder(*s, f, folder);
    }
    HRESULT get_DefaultStore(_Store** store) override {
        if (!store)
            return E_POINTER;
        *store = nullptr;
        auto m = Lock();
        if (!m)
            return E_FAIL;
        std::lock_guard lock(m->mutex);
        return m->MakeStore(m->DefaultStore(), store);
    }
    HRESULT get_MAPIOBJECT(IUnknown** mapiSession) override {
        if (!mapiSession)
            return E_POINTER;
        *mapiSession = nullptr;
        auto m = Lock();
        if (!m)
            return E_FAIL;
        auto session = com::Make<MapiSessionObject, IQmMapiSession>(m);
        if (!session)
            return E_OUTOFMEMORY;
        *mapiSession = session.Detach();
        return S_OK;
    }

    HRESULT FindConnectionPoint(REFIID eventInterface, IConnectionPoint** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (eventInterface != IID_NameSpaceEvents)
            return CONNECT_E_NOCONNECTION;
        *out = &m_events;
        m_events.AddRef();
        return S_OK;
    }
    com::ConnectionPoint& Events() { return m_events; }

private:
    // The name space is kept by the model, so it refers back only weakly.
    std::shared_ptr<Model> Lock() { return m_model.lock(); }

    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result) {
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        switch (id) {
            case dispid::kApplication:
            case dispid::kParent: {
                _Application* v = nullptr;
                const HRESULT got = get_Application(&v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kSession:
                AddRef();
                return ResultDispatch(result, S_OK, static_cast<_NameSpace*>(this));
            case dispid::kClass:
                return ResultLong(result, S_OK, kOlNamespaceClass);
            case dispid::kMAPIOBJECT: {
                IUnknown* v = nullptr;
                const HRESULT got = get_MAPIOBJECT(&v);
                return ResultUnknown(result, got, v);
            }
            case dispid::kGetDefaultFolder: {
                LONG type = 0;
                if (HRESULT hr = ArgLong(args.At(0), &type); FAILED(hr))
                    return hr;
                MAPIFolder* v = nullptr;
                const HRESULT got = GetDefaultFolder(static_cast<OlDefaultFolders>(type), &v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kGetFolderFromID: {
                CComBSTR entryId;
                if (HRESULT hr = ArgText(args.At(0), entryId); FAILED(hr))
                    return hr;
                VARIANT storeId = args.At(1) ? *args.At(1) : VARIANT(MissingArgument());
                MAPIFolder* v = nullptr;
                const HRESULT got = GetFolderFromID(entryId, storeId, &v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kDefaultStore: {
                _Store* v = nullptr;
                const HRESULT got = get_DefaultStore(&v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kCurrentProfileName: {
                BSTR v = nullptr;
                const HRESULT got = get_CurrentProfileName(&v);
                return ResultText(result, got, v);
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    std::weak_ptr<Model> m_model;
    com::ConnectionPoint m_events;
};

namespace {
constexpr NameId kApplicationNames[] = {
    {L"Application", dispid::kApplication},
    {L"Parent", dispid::kParent},
    {L"Class", dispid::kClass},
    {L"Session", dispid::kSession},
    {L"Version", dispid::kVersion},
    {L"GetNamespace", dispid::kGetNamespace},
    {L"ActiveInspector", dispid::kActiveInspector},
    {L"ActiveExplorer", dispid::kActiveExplorer},
    {L"CreateItem", dispid::kCreateItem},
    {L"Quit", dispid::kQuit},
    {L"COMAddIns", dispid::kCOMAddIns},
};
constexpr LONG kOlApplicationClass = 0;
}  // namespace

class ApplicationObject final
    : public com::ComObject<ApplicationObject, _Application, IConnectionPointContainer> {
public:
    explicit ApplicationObject(std::weak_ptr<Model> model)
        : m_model(std::move(model)), m_events(this, IID_ApplicationEvents_11) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kApplicationNames)

    HRESULT get_Application(_Application** application) override {
        return CopyOut(static_cast<_Application*>(this), application);
    }
    HRESULT get_Session(_NameSpace** nameSpace) override {
        auto m = m_model.lock();
        if (!m)
            return nameSpace ? (*nameSpace = nullptr, E_FAIL) : E_POINTER;
        std::lock_guard lock(m->mutex);
        return CopyOut(m->nameSpace.p, nameSpace);
    }
    HRESULT get_Version(BSTR* version) override {
        auto m = m_model.lock();
        return m ? TextOut(version, m->options.version) : E_FAIL;
    }
    HRESULT GetNamespace(BSTR type, _NameSpace** nameSpace) override {
        if (!nameSpace)
            return E_POINTER;
        *nameSpace = nullptr;
        if (!EqualsNoCase(type ? type : L"", L"MAPI"))
            return E_INVALIDARG;
        return get_Session(nameSpace);
    }
    HRESULT ActiveInspector(_Inspector** inspector) override {
        if (!inspector)
            return E_POINTER;
        *inspector = nullptr;
        auto m = m_model.lock();
        if (!m)
            return E_FAIL;
        std::lock_guard lock(m->mutex);
        if (!m->inspectorItem)
            return S_OK;
        auto window =
            com::Make<InspectorObject, _Inspector>(m->inspectorItem.p, m->inspectorCaption);
        *inspector = window.Detach();
        return *inspector ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT ActiveExplorer(_Explorer** explorer) override {
        if (!explorer)
            return E_POINTER;
        *explorer = nullptr;
        auto m = m_model.lock();
        if (!m)
            return E_FAIL;
        if (m->options.explorerCaption.empty())
            return S_OK;
        auto window = com::Make<ExplorerObject, _Explorer>(m->options.explorerCaption);
        *explorer = window.Detach();
        return *explorer ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT CreateItem(OlItemType type, IDispatch** item) override {
        if (!item)
            return E_POINTER;
        *item = nullptr;
        auto role = DefaultFolderOfItemType(type);
        auto m = m_model.lock();
        if (!m)
            return E_FAIL;
        if (!role)
            return E_INVALIDARG;
        std::lock_guard lock(m->mutex);
        store::Folder folder;
        HRESULT hr = m->DefaultStore().session->GetDefaultFolder(*role, &folder);
        if (FAILED(hr))
            return hr;
        return CreateNewItem(m, m->defaultStore, folder, MessageClassOfItemType(type), item);
    }
    HRESULT Quit() override {
        auto m = m_model.lock();
        if (!m)
            return E_FAIL;
        // Raised on the UI thread like every event; the host ends its loop after.
        std::weak_ptr<Model> weak = m;
        CComPtr<ApplicationObject> self(this);
        m->options.ui->Post([weak, self] {
            self->RaiseQuit();
            if (auto model = weak.lock()) {
                std::function<void()> handler;
                {
                    std::lock_guard lock(model->mutex);
                    handler = model->quitHandler;
                }
                if (handler)
                    handler();
            }
        });
        return S_OK;
    }
    HRESULT get_COMAddIns(COMAddIns** addIns) override {
        if (!addIns)
            return E_POINTER;
        *addIns = nullptr;
        auto m = m_model.lock();
        if (!m)
            return E_FAIL;
        auto list = com::Make<COMAddInsObject, COMAddIns>(m);
        *addIns = list.Detach();
        return *addIns ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT FindConnectionPoint(REFIID eventInterface, IConnectionPoint** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (eventInterface != IID_ApplicationEvents_11)
            return CONNECT_E_NOCONNECTION;
        *out = &m_events;
        m_events.AddRef();
        return S_OK;
    }
    com::ConnectionPoint& Events() { return m_events; }

    // Raises Quit once.
    void RaiseQuit() {
        auto m = m_model.lock();
        if (m) {
            std::lock_guard lock(m->mutex);
            if (m->quitRaised)
                return;
            m->quitRaised = true;
        }
        m_events.Fire(dispid::kEventQuit);
    }

private:
    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result) {
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        switch (id) {
            case dispid::kApplication:
            case dispid::kParent:
                AddRef();
                return ResultDispatch(result, S_OK, static_cast<_Application*>(this));
            case dispid::kClass:
                return ResultLong(result, S_OK, kOlApplicationClass);
            case dispid::kSession: {
                _NameSpace* v = nullptr;
                const HRESULT got = get_Session(&v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kVersion: {
                BSTR v = nullptr;
                const HRESULT got = get_Version(&v);
                return ResultText(result, got, v);
            }
            case dispid::kGetNamespace: {
                CComBSTR type;
                if (HRESULT hr = ArgText(args.At(0), type); FAILED(hr))
                    return hr;
                _NameSpace* v = nullptr;
                const HRESULT got = GetNamespace(type, &v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kActiveInspector: {
                _Inspector* v = nullptr;
                const HRESULT got = ActiveInspector(&v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kActiveExplorer: {
                _Explorer* v = nullptr;
                const HRESULT got = ActiveExplorer(&v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kCreateItem: {
                LONG type = 0;
                if (HRESULT hr = ArgLong(args.At(0), &type); FAILED(hr))
                    return hr;
                IDispatch* v = nullptr;
                const HRESULT got = CreateItem(static_cast<OlItemType>(type), &v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kQuit:
                return Quit();
            case dispid::kCOMAddIns: {
                COMAddIns* v = nullptr;
                const HRESULT got = get_COMAddIns(&v);
                return ResultDispatch(result, got, v);
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    std::weak_ptr<Model> m_model;
    com::ConnectionPoint m_events;
};

}  // namespace impl

// --- OutlookApplication -----------------------------------------------------------------

using impl::ApplicationObject;
using impl::NameSpaceObject;

HRESULT OutlookApplication::Create(const ApplicationOptions& options,
                                   std::unique_ptr<OutlookApplication>* out) {
    if (!out)
        return E_POINTER;
    out->reset();
    if (!options.ui || options.profile.stores.empty())
        return E_INVALIDARG;
    auto model = std::make_shared<impl::Model>(options);
    model->mutex.uiThread = GetCurrentThreadId();
    std::size_t defaults = 0;
    for (std::size_t i = 0; i < options.profile.stores.size(); ++i) {
        const StoreLocation& location = options.profile.stores[i];
        impl::StoreEntry entry;
        entry.path = location.hostPath;
        entry.isDefault = location.isDefault;
        HRESULT hr = store::Session::Open(location.hostPath, &entry.session);
        if (SUCCEEDED(hr))
            hr = store::Session::Open(location.hostPath, &entry.observerSession);
        if (FAILED(hr))
            return hr;
        entry.guid = entry.session->Info().storeGuid;
        entry.entryId = entry.session->Info().entryId;
        if (location.isDefault) {
            model->defaultStore = i;
            ++defaults;
        }
        model->stores.push_back(std::move(entry));
    }
    if (defaults != 1)
        return E_INVALIDARG;
    model->application = com::Make<ApplicationObject, _Application>(model);
    model->nameSpace = com::Make<NameSpaceObject, _NameSpace>(model);
    if (!model->application || !model->nameSpace)
        return E_OUTOFMEMORY;
    model->StartEvents();
    out->reset(new OutlookApplication(std::move(model)));
    return S_OK;
}

HRESULT OutlookApplication::ProfileFromFile(const std::string& profilePath, MapiProfileInfo* out) {
    if (!out)
        return E_POINTER;
    *out = MapiProfileInfo();
    store::Profile profile;
    HRESULT hr = store::Profile::Load(profilePath, &profile);
    if (FAILED(hr))
        return hr;
    const store::ProfileStore* defaultStore = profile.DefaultStore();
    if (!defaultStore)
        return E_INVALIDARG;
    out->profileName = profile.name;
    out->profilePath = profilePath;
    for (const auto& s : profile.stores)
        out->stores.push_back({store::Profile::StorePath(profilePath, s), &s == defaultStore});
    return S_OK;
}

OutlookApplication::OutlookApplication(std::shared_ptr<impl::Model> model)
    : m_model(std::move(model)) {}

OutlookApplication::~OutlookApplication() {
    m_model->StopEvents();
    // Drop the references outside the lock: their destruction may run
    // sinks' Release.
    CComPtr<_Application> application;
    CComPtr<_NameSpace> nameSpace;
    CComPtr<IDispatch> inspectorItem;
    std::vector<CComPtr<COMAddIn>> addIns;
    {
        std::lock_guard lock(m_model->mutex.Unchecked());
        application = std::move(m_model->application);
        nameSpace = std::move(m_model->nameSpace);
        inspectorItem = std::move(m_model->inspectorItem);
        addIns = std::move(m_model->addIns);
        m_model->quitHandler = nullptr;
    }
}

_ApplicationPtr OutlookApplication::Application() const {
    std::lock_guard lock(m_model->mutex.Unchecked());
    return _ApplicationPtr(m_model->application.p);
}

_NameSpacePtr OutlookApplication::NameSpace() const {
    std::lock_guard lock(m_model->mutex.Unchecked());
    return _NameSpacePtr(m_model->nameSpace.p);
}

namespace {
ApplicationObject* AppOf(impl::Model& model) {
    return static_cast<ApplicationObject*>(model.application.p);
}
NameSpaceObject* NameSpaceOf(impl::Model& model) {
    return static_cast<NameSpaceObject*>(model.nameSpace.p);
}
}  // namespace

void OutlookApplication::FireNewMail() {
    AppOf(*m_model)->Events().Fire(dispid::kEventNewMail);
}

void OutlookApplication::FireReminder(IDispatch* item) {
    CComVariant arg(item);
    AppOf(*m_model)->Events().Fire(dispid::kEventReminder, &arg, 1);
}

void OutlookApplication::FireOptionsPagesAdd(PropertyPages* pages) {
    CComVariant arg(static_cast<IDispatch*>(pages));
    AppOf(*m_model)->Events().Fire(dispid::kEventOptionsPagesAdd, &arg, 1);
}

void OutlookApplication::FireFolderOptionsPagesAdd(PropertyPages* pages, MAPIFolder* folder) {
    CComVariant args[2] = {CComVariant(static_cast<IDispatch*>(pages)),
                           CComVariant(static_cast<IDispatch*>(folder))};
    NameSpaceOf(*m_model)->Events().Fire(dispid::kEventFolderOptionsPagesAdd, args, 2);
}

void OutlookApplication::FireQuit() {
    AppOf(*m_model)->RaiseQuit();
}

void OutlookApplication::SetQuitHandler(std::function<void()> handler) {
    std::lock_guard lock(m_model->mutex.Unchecked());
    m_model->quitHandler = std::move(handler);
}

HRESULT OutlookApplication::OpenInspector(IDispatch* item, const std::wstring& caption) {
    if (!item)
        return E_INVALIDARG;
    std::lock_guard lock(m_model->mutex.Unchecked());
    m_model->inspectorItem = item;
    m_model->inspectorCaption = caption;
    return S_OK;
}

void OutlookApplication::CloseInspector() {
    CComPtr<IDispatch> item;
    std::lock_guard lock(m_model->mutex.Unchecked());
    item = std::move(m_model->inspectorItem);
}

HRESULT OutlookApplication::GetItemFromID(const std::wstring& entryId, IDispatch** item) {
    if (!item)
        return E_POINTER;
    *item = nullptr;
    auto id = impl::HexToBytes(entryId);
    if (!id)
        return E_INVALIDARG;
    std::lock_guard lock(m_model->mutex.Unchecked());
    return m_model->OpenItem(*id, item);
}

COMAddInPtr OutlookApplication::AddComAddIn(const std::wstring& progId,
                                            const std::wstring& description,
                                            std::function<void(bool connect)> onConnectChange) {
    auto record =
        com::Make<impl::COMAddInObject, COMAddIn>(progId, description, std::move(onConnectChange));
    std::lock_guard lock(m_model->mutex.Unchecked());
    m_model->addIns.push_back(record);
    return COMAddInPtr(record.p);
}

}  // namespace outlook
