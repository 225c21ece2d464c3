// Items collections with their events, and the item objects.
#include "platform/mapi/NamedProperty.h"
#include "platform/mapi/PropTags.h"
#include "platform/outlook/ObjectModel.h"
#include "platform/store/ContentsTable.h"
#include "platform/win/Clock.h"
#include "platform/win/Text.h"

namespace outlook::impl {
namespace {

HRESULT TextOut(BSTR* out, std::wstring_view text) {
    if (!out)
        return E_POINTER;
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

// Named properties of the item kinds.
const mapi::NamedProperty kStartWhole = mapi::NamedProperty::ById(mapi::PSETID_Appointment, 0x820D);
const mapi::NamedProperty kEndWhole = mapi::NamedProperty::ById(mapi::PSETID_Appointment, 0x820E);
const mapi::NamedProperty kStateFlags = mapi::NamedProperty::ById(mapi::PSETID_Appointment, 0x8217);
const mapi::NamedProperty kRecurring = mapi::NamedProperty::ById(mapi::PSETID_Appointment, 0x8223);
const mapi::NamedProperty kLogType = mapi::NamedProperty::ById(mapi::PSETID_Log, 0x8700);

// UTC FILETIME count <-> local DATE.
DATE LocalDateOf(ULONGLONG fileTime) {
    FILETIME utc = win::UInt64ToFileTime(fileTime), local{};
    SYSTEMTIME st{};
    DATE date = 0;
    if (FileTimeToLocalFileTime(&utc, &local) && FileTimeToSystemTime(&local, &st))
        SystemTimeToVariantTime(&st, &date);
    return date;
}
bool FileTimeOfLocalDate(DATE date, ULONGLONG* fileTime) {
    SYSTEMTIME st{};
    FILETIME local{}, utc{};
    if (!VariantTimeToSystemTime(date, &st) || !SystemTimeToFileTime(&st, &local) ||
        !LocalFileTimeToFileTime(&local, &utc))
        return false;
    *fileTime = win::FileTimeToUInt64(utc);
    return true;
}

std::vector<std::wstring> SplitCategories(std::wstring_view text) {
    std::vector<std::wstring> parts;
    std::wstring current;
    auto flush = [&] {
        std::size_t b = current.find_first_not_of(L' ');
        std::size_t e = current.find_last_not_of(L' ');
        if (b != std::wstring::npos)
            parts.push_back(current.substr(b, e - b + 1));
        current.clear();
    };
    for (wchar_t c : text) {
        if (c == L',' || c == L';')
            flush();
        else
            current.push_back(c);
    }
    flush();
    return parts;
}

// --- Item -------------------------------------------------------------------------

constexpr NameId kItemNames[] = {
    {L"Application", dispid::kApplication},
    {L"Parent", dispid::kParent},
    {L"Class", dispid::kClass},
    {L"Session", dispid::kSession},
    {L"EntryID", dispid::kEntryID},
    {L"MessageClass", dispid::kMessageClass},
    {L"Subject", dispid::kSubject},
    {L"Body", dispid::kBody},
    {L"HTMLBody", dispid::kHTMLBody},
    {L"Categories", dispid::kCategories},
    {L"Save", dispid::kSave},
    {L"Delete", dispid::kDelete},
    {L"MAPIOBJECT", dispid::kMAPIOBJECT},
    {L"Start", dispid::kStart},
    {L"End", dispid::kEnd},
    {L"MeetingStatus", dispid::kMeetingStatus},
    {L"IsRecurring", dispid::kIsRecurring},
    {L"Type", dispid::kType},
};

// OlObjectClass values of the kinds.
constexpr LONG kClassMail = 43, kClassAppointment = 26, kClassJournal = 42;

class ItemObject final
    : public com::ComObject<ItemObject, _MailItem, _AppointmentItem, _JournalItem, IQmMapiMessage> {
public:
    ItemObject(std::shared_ptr<Model> model, std::size_t index,
               std::unique_ptr<store::Message> message)
        : m_model(std::move(model)), m_index(index), m_message(std::move(message)) {}

    QM_OUTLOOK_DISPATCH_MEMBERS(kItemNames)

    // Each item answers for the interface of its kind only (a mail item
    // is no _AppointmentItem), as the platform's item classes do.
    HRESULT QueryInterface(REFIID iid, void** out) override {
        ItemKind kind = Kind();
        if ((iid == IID__MailItem && kind != ItemKind::Mail && kind != ItemKind::Other) ||
            (iid == IID__AppointmentItem && kind != ItemKind::Appointment) ||
            (iid == IID__JournalItem && kind != ItemKind::Journal)) {
            if (out)
                *out = nullptr;
            return E_NOINTERFACE;
        }
        return ComObject::QueryInterface(iid, out);
    }

    HRESULT get_Application(_Application** application) override {
        if (!application)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        *application = m_model->application.p;
        if (!*application)
            return E_FAIL;
        (*application)->AddRef();
        return S_OK;
    }
    HRESULT get_Parent(IDispatch** parent) override {
        if (!parent)
            return E_POINTER;
        *parent = nullptr;
        std::lock_guard lock(m_model->mutex);
        store::Folder folder;
        HRESULT hr = Entry().session->OpenFolder(m_message->FolderEntryId(), &folder);
        if (FAILED(hr))
            return hr;
        MAPIFolder* f = nullptr;
        hr = m_model->MakeFolder(Entry(), folder, &f);
        *parent = f;
        return hr;
    }
    HRESULT get_EntryID(BSTR* entryId) override {
        std::lock_guard lock(m_model->mutex);
        return TextOut(entryId, BytesToHex(m_message->EntryId()));
    }
    HRESULT get_MessageClass(BSTR* v) override { return GetText(mapi::PR_MESSAGE_CLASS, v); }
    HRESULT put_MessageClass(BSTR v) override { return PutText(mapi::PR_MESSAGE_CLASS, v); }
    HRESULT get_Subject(BSTR* v) override { return GetText(mapi::PR_SUBJECT, v); }
    HRESULT put_Subject(BSTR v) override { return PutText(mapi::PR_SUBJECT, v); }
    HRESULT get_Body(BSTR* v) override { return GetText(mapi::PR_BODY, v); }
    HRESULT put_Body(BSTR v) override { return PutText(mapi::PR_BODY, v); }
    HRESULT get_HTMLBody(BSTR* html) override {
        std::lock_guard lock(m_model->mutex);
        auto bytes = m_message->Props().GetBinary(mapi::PR_HTML);
        std::wstring text;
        if (bytes)
            text = win::FromUtf8(
                std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
        return TextOut(html, text);
    }
    HRESULT put_HTMLBody(BSTR html) override {
        std::lock_guard lock(m_model->mutex);
        std::string utf8 = win::ToUtf8(html ? html : L"");
        m_message->SetProp(mapi::PR_HTML, mapi::PropValue::Binary(Bytes(utf8.begin(), utf8.end())));
        return S_OK;
    }
    HRESULT get_Categories(BSTR* categories) override {
        std::lock_guard lock(m_model->mutex);
        std::wstring joined;
        if (const mapi::PropValue* v = m_message->GetNamed(mapi::KeywordsProperty())) {
            std::vector<std::wstring> names;
            if (v->MvWide())
                names = *v->MvWide();
            else if (v->MvStr8())
                for (const auto& s : *v->MvStr8())
                    names.push_back(win::FromAnsi(s));
            for (const auto& n : names) {
                if (!joined.empty())
                    joined += L", ";
                joined += n;
            }
        }
        return TextOut(categories, joined);
    }
    HRESULT put_Categories(BSTR categories) override {
        std::lock_guard lock(m_model->mutex);
        auto names = SplitCategories(categories ? categories : L"");
        if (names.empty()) {
            USHORT id = m_message->GetSession().IdOfName(mapi::KeywordsProperty(), false);
            if (id != 0)
                m_message->DeleteProp(mapi::PROP_TAG(mapi::PT_MV_UNICODE, id));
            return S_OK;
        }
        return m_message->SetNamed(mapi::KeywordsProperty(), mapi::PropValue::MvUnicode(names))
                   ? S_OK
                   : MAPI_E_NOT_ENOUGH_RESOURCES;
    }
    HRESULT Save() override {
        std::lock_guard lock(m_model->mutex);
        return m_message->Save();
    }
    HRESULT Delete() override {
        std::lock_guard lock(m_model->mutex);
        return m_message->Delete();
    }
    HRESULT get_MAPIOBJECT(IUnknown** mapiMessage) override {
        if (!mapiMessage)
            return E_POINTER;
        *mapiMessage = static_cast<IQmMapiMessage*>(this);
        AddRef();
        return S_OK;
    }

    // _AppointmentItem
    HRESULT get_Start(DATE* start) override { return GetDate(kStartWhole, start); }
    HRESULT put_Start(DATE start) override { return PutDate(kStartWhole, start); }
    HRESULT get_End(DATE* end) override { return GetDate(kEndWhole, end); }
    HRESULT put_End(DATE end) override { return PutDate(kEndWhole, end); }
    HRESULT get_MeetingStatus(OlMeetingStatus* status) override {
        if (!status)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        const mapi::PropValue* v = m_message->GetNamed(kStateFlags);
        *status = static_cast<OlMeetingStatus>(v && v->Integer() ? (*v->Integer() & 7) : 0);
        return S_OK;
    }
    HRESULT put_MeetingStatus(OlMeetingStatus status) override {
        std::lock_guard lock(m_model->mutex);
        return m_message->SetNamed(kStateFlags, mapi::PropValue::Long(status))
                   ? S_OK
                   : MAPI_E_NOT_ENOUGH_RESOURCES;
    }
    HRESULT get_IsRecurring(VARIANT_BOOL* recurring) override {
        if (!recurring)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        const mapi::PropValue* v = m_message->GetNamed(kRecurring);
        *recurring = (v && v->Bool() && *v->Bool()) ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    // _JournalItem
    HRESULT get_Type(BSTR* type) override {
        std::lock_guard lock(m_model->mutex);
        const mapi::PropValue* v = m_message->GetNamed(kLogType);
        return TextOut(type, v && v->Wide() ? *v->Wide() : std::wstring());
    }
    HRESULT put_Type(BSTR type) override {
        std::lock_guard lock(m_model->mutex);
        return m_message->SetNamed(kLogType, mapi::PropValue::Unicode(type ? type : L""))
                   ? S_OK
                   : MAPI_E_NOT_ENOUGH_RESOURCES;
    }

    // IQmMapiMessage
    HRESULT GetMessageLocation(std::string* storeHostPath, Bytes* entryId) override {
        if (!storeHostPath || !entryId)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        *storeHostPath = Entry().path;
        *entryId = m_message->EntryId();
        return S_OK;
    }
    HRESULT AccessMessage(const std::function<HRESULT(store::Message&)>& access) override {
        std::lock_guard lock(m_model->mutex);
        return access(*m_message);
    }

private:
    StoreEntry& Entry() { return m_model->stores[m_index]; }
    ItemKind Kind() {
        std::lock_guard lock(m_model->mutex);
        return KindOfMessageClass(m_message->Props().GetText(mapi::PR_MESSAGE_CLASS).value_or(L""));
    }

    HRESULT GetText(ULONG tag, BSTR* out) {
        std::lock_guard lock(m_model->mutex);
        auto text = m_message->Props().GetText(tag);
        if (!text) {
            if (auto ansi = m_message->Props().GetString8(tag))
                text = win::FromAnsi(*ansi);
        }
        return TextOut(out, text.value_or(L""));
    }
    HRESULT PutText(ULONG tag, BSTR value) {
        std::lock_guard lock(m_model->mutex);
        m_message->DeleteProp(mapi::PROP_TAG(mapi::PT_STRING8, mapi::PROP_ID(tag)));
        m_message->SetProp(tag, mapi::PropValue::Unicode(value ? value : L""));
        return S_OK;
    }
    HRESULT GetDate(const mapi::NamedProperty& name, DATE* out) {
        if (!out)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        const mapi::PropValue* v = m_message->GetNamed(name);
        *out = (v && v->Integer()) ? LocalDateOf(static_cast<ULONGLONG>(*v->Integer())) : 0;
        return S_OK;
    }
    HRESULT PutDate(const mapi::NamedProperty& name, DATE value) {
        ULONGLONG fileTime = 0;
        if (!FileTimeOfLocalDate(value, &fileTime))
            return E_INVALIDARG;
        std::lock_guard lock(m_model->mutex);
        return m_message->SetNamed(name, mapi::PropValue::SysTime(fileTime))
                   ? S_OK
                   : MAPI_E_NOT_ENOUGH_RESOURCES;
    }

    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result);

    std::shared_ptr<Model> m_model;
    std::size_t m_index;
    std::unique_ptr<store::Message> m_message;  // guarded by m_model->mutex
};

HRESULT ItemObject::InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result) {
    ItemKind kind = Kind();
    bool appointment = kind == ItemKind::Appointment, journal = kind == ItemKind::Journal;
    if (IsPut(flags)) {
        const VARIANT* value = args.Value();
        CComBSTR text;
        switch (id) {
            case dispid::kSubject:
            case dispid::kBody:
            case dispid::kHTMLBody:
            case dispid::kCategories:
            case dispid::kMessageClass: {
                HRESULT hr = ArgText(value, text);
                if (FAILED(hr))
                    return hr;
                if (id == dispid::kSubject)
                    return put_Subject(text);
                if (id == dispid::kBody)
                    return put_Body(text);
                if (id == dispid::kHTMLBody)
                    return put_HTMLBody(text);
                if (id == dispid::kCategories)
                    return put_Categories(text);
                return put_MessageClass(text);
            }
            case dispid::kType:
                if (!journal)
                    break;
                if (HRESULT hr = ArgText(value, text); FAILED(hr))
                    return hr;
                return put_Type(text);
            case dispid::kMeetingStatus: {
                LONG status = 0;
                if (!appointment)
                    break;
                if (HRESULT hr = ArgLong(value, &status); FAILED(hr))
                    return hr;
                return put_MeetingStatus(static_cast<OlMeetingStatus>(status));
            }
            case dispid::kStart:
            case dispid::kEnd: {
                if (!appointment)
                    break;
                CComVariant date;
                if (!value || FAILED(VariantChangeType(&date, value, 0, VT_DATE)))
                    return DISP_E_TYPEMISMATCH;
                return id == dispid::kStart ? put_Start(date.date) : put_End(date.date);
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }
    if (!IsGet(flags))
        return DISP_E_MEMBERNOTFOUND;
    BSTR text = nullptr;
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
            return ResultLong(result, S_OK,
                              appointment ? kClassAppointment
                              : journal   ? kClassJournal
                                          : kClassMail);
        case dispid::kEntryID: {
            const HRESULT got = get_EntryID(&text);
            return ResultText(result, got, text);
        }
        case dispid::kMessageClass: {
            const HRESULT got = get_MessageClass(&text);
            return ResultText(result, got, text);
        }
        case dispid::kSubject: {
            const HRESULT got = get_Subject(&text);
            return ResultText(result, got, text);
        }
        case dispid::kBody: {
            const HRESULT got = get_Body(&text);
            return ResultText(result, got, text);
        }
        case dispid::kHTMLBody: {
            const HRESULT got = get_HTMLBody(&text);
            return ResultText(result, got, text);
        }
        case dispid::kCategories: {
            const HRESULT got = get_Categories(&text);
            return ResultText(result, got, text);
        }
        case dispid::kSave:
            return Save();
        case dispid::kDelete:
            return Delete();
        case dispid::kMAPIOBJECT: {
            IUnknown* v = nullptr;
            const HRESULT got = get_MAPIOBJECT(&v);
            return ResultUnknown(result, got, v);
        }
        case dispid::kStart:
        case dispid::kEnd: {
            if (!appointment)
                break;
            DATE v = 0;
            HRESULT hr = id == dispid::kStart ? get_Start(&v) : get_End(&v);
            return ResultDate(result, hr, v);
        }
        case dispid::kMeetingStatus: {
            if (!appointment)
                break;
            OlMeetingStatus v = olNonMeeting;
            HRESULT hr = get_MeetingStatus(&v);
            return ResultLong(result, hr, v);
        }
        case dispid::kIsRecurring: {
            if (!appointment)
                break;
            VARIANT_BOOL v = VARIANT_FALSE;
            HRESULT hr = get_IsRecurring(&v);
            return ResultBool(result, hr, v);
        }
        case dispid::kType:
            if (!journal)
                break;
            const HRESULT got = get_Type(&text);
            return ResultText(result, got, text);
    }
    return DISP_E_MEMBERNOTFOUND;
}

// --- _Items -------------------------------------------------------------------------

constexpr NameId kItemsNames[] = {
    {L"Parent", dispid::kParent},
    {L"Count", dispid::kCount},
    {L"Item", dispid::kItem},
    {L"Add", dispid::kAdd},
};

class ItemsObject final : public com::ComObject<ItemsObject, _Items, IConnectionPointContainer> {
public:
    ItemsObject(std::shared_ptr<Model> model, std::size_t index, store::Folder folder)
        : m_model(std::move(model)), m_index(index), m_folder(folder) {}
    ~ItemsObject() override {
        if (m_source) {
            m_source->alive = false;
            m_model->RemoveSource(m_source.get());
        }
    }
    // Registers with the hub; separate from the constructor because the
    // source keeps a pointer to this object as its connection point owner.
    void Start() {
        m_source = std::make_shared<ItemsEventSource>(static_cast<IConnectionPointContainer*>(this),
                                                      m_model, Entry().guid, m_folder.EntryId());
        m_model->AddSource(m_source);
    }

    QM_OUTLOOK_DISPATCH_MEMBERS(kItemsNames)

    HRESULT get_Parent(IDispatch** parent) override {
        if (!parent)
            return E_POINTER;
        *parent = nullptr;
        std::lock_guard lock(m_model->mutex);
        MAPIFolder* f = nullptr;
        HRESULT hr = m_model->MakeFolder(Entry(), m_folder, &f);
        *parent = f;
        return hr;
    }
    HRESULT get_Count(LONG* count) override {
        if (!count)
            return E_POINTER;
        *count = 0;
        std::lock_guard lock(m_model->mutex);
        ULONG n = 0;
        HRESULT hr = m_folder.GetContentCount(false, &n);
        *count = static_cast<LONG>(n);
        return hr;
    }
    HRESULT Item(VARIANT index, IDispatch** item) override {
        if (!item)
            return E_POINTER;
        *item = nullptr;
        LONG number = 0;
        if (FAILED(ArgLong(&index, &number)))
            return DISP_E_TYPEMISMATCH;
        std::lock_guard lock(m_model->mutex);
        std::vector<Bytes> ids;
        HRESULT hr = EntryIds(&ids);
        if (FAILED(hr))
            return hr;
        if (number < 1 || static_cast<std::size_t>(number) > ids.size())
            return DISP_E_BADINDEX;
        return m_model->OpenItem(ids[number - 1], item);
    }
    HRESULT Add(VARIANT type, IDispatch** item) override {
        if (!item)
            return E_POINTER;
        *item = nullptr;
        std::wstring messageClass;
        std::lock_guard lock(m_model->mutex);
        if (type.vt == VT_BSTR) {
            messageClass = type.bstrVal ? type.bstrVal : L"";
        } else if (type.vt == VT_EMPTY || IsMissingArgument(type)) {
            std::wstring containerClass;
            HRESULT hr = m_folder.GetContainerClass(&containerClass);
            if (FAILED(hr))
                return hr;
            messageClass = MessageClassOfItemType(ItemTypeOfContainerClass(containerClass));
        } else {
            LONG number = 0;
            if (FAILED(ArgLong(&type, &number)) || number < olMailItem ||
                number > olDistributionListItem)
                return E_INVALIDARG;
            messageClass = MessageClassOfItemType(static_cast<OlItemType>(number));
        }
        if (messageClass.empty())
            return E_INVALIDARG;
        return CreateNewItem(m_model, m_index, m_folder, messageClass, item);
    }

    HRESULT FindConnectionPoint(REFIID eventInterface, IConnectionPoint** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (eventInterface != IID_ItemsEvents || !m_source)
            return CONNECT_E_NOCONNECTION;
        *out = &m_source->point;
        (*out)->AddRef();
        return S_OK;
    }

private:
    StoreEntry& Entry() { return m_model->stores[m_index]; }

    // The items' entry ids in creation order.
    HRESULT EntryIds(std::vector<Bytes>* ids) {
        store::ContentsTable table(m_folder, false);
        HRESULT hr = table.SetColumns({mapi::PR_ENTRYID});
        if (SUCCEEDED(hr))
            hr = table.SortTable({{mapi::PR_CREATION_TIME, false}});
        ULONG count = 0;
        if (SUCCEEDED(hr))
            hr = table.GetRowCount(&count);
        if (FAILED(hr) || count == 0)
            return hr;
        std::vector<store::TableRow> rows;
        hr = table.QueryRows(static_cast<LONG>(count), &rows);
        for (const auto& row : rows) {
            if (!row.empty() && row[0].value.Bin())
                ids->push_back(*row[0].value.Bin());
        }
        return hr;
    }

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
                IDispatch* v = nullptr;
                const HRESULT got = Item(*args.At(0), &v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kAdd: {
                VARIANT type = args.At(0) ? *args.At(0) : VARIANT(MissingArgument());
                IDispatch* v = nullptr;
                const HRESULT got = Add(type, &v);
                return ResultDispatch(result, got, v);
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    std::shared_ptr<Model> m_model;
    std::size_t m_index;
    store::Folder m_folder;
    std::shared_ptr<ItemsEventSource> m_source;
};

}  // namespace

HRESULT Model::MakeItem(StoreEntry& store, std::unique_ptr<store::Message> message,
                        IDispatch** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    auto object = com::Make<ItemObject>(shared_from_this(), IndexOf(shared_from_this(), store),
                                        std::move(message));
    if (!object)
        return E_OUTOFMEMORY;
    // The IDispatch of the item's own kind.
    return object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(out));
}

HRESULT CreateItems(const std::shared_ptr<Model>& model, std::size_t storeIndex,
                    const store::Folder& folder, _Items** out) {
    auto object = com::Make<ItemsObject>(model, storeIndex, folder);
    if (!object)
        return E_OUTOFMEMORY;
    object->Start();
    *out = static_cast<_Items*>(object.Detach());
    return S_OK;
}

HRESULT CreateNewItem(const std::shared_ptr<Model>& model, std::size_t storeIndex,
                      const store::Folder& folder, const std::wstring& messageClass,
                      IDispatch** out) {
    store::Folder target = folder;
    std::unique_ptr<store::Message> message;
    HRESULT hr = target.CreateMessage(false, &message);
    if (FAILED(hr))
        return hr;
    message->SetProp(mapi::PR_MESSAGE_CLASS, mapi::PropValue::Unicode(messageClass));
    return model->MakeItem(model->stores[storeIndex], std::move(message), out);
}

}  // namespace outlook::impl
