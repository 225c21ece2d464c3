// Client rules: the collection the object model hands out, their storage in
// the store, and their use on arriving mails.
//
// Storage: one hidden message of class "IPM.RuleOrganizer" among the
// associated contents of the store's Inbox (of its top folder when it has no
// Inbox), its PR_BODY a text of one record per line, fields separated by
// TAB, with "\\", "\t", "\n" and "\r" escaped:
//   QMRULES<TAB>1                                  first line: format version
//   rule<TAB>name<TAB>enabled 0|1<TAB>type 0|1      starts a rule
//   text<TAB>subject|body|bodyorsubject<TAB>enabled<TAB>text...
//   move<TAB>enabled<TAB>folder entry id (hex)     also "copy"
// Lines of unknown kinds are skipped, so a later version may add some.
#include "platform/mapi/PropTags.h"
#include "platform/outlook/ObjectModel.h"
#include "platform/store/ContentsTable.h"

namespace outlook {
namespace impl {
namespace {

constexpr const wchar_t* kRulesClass = L"IPM.RuleOrganizer";

std::wstring Escape(std::wstring_view text) {
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
            case L'\\':
                out += L"\\\\";
                break;
            case L'\t':
                out += L"\\t";
                break;
            case L'\n':
                out += L"\\n";
                break;
            case L'\r':
                out += L"\\r";
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

std::wstring Unescape(std::wstring_view text) {
    std::wstring out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'\\' && i + 1 < text.size()) {
            wchar_t c = text[++i];
            out.push_back(c == L't' ? L'\t' : c == L'n' ? L'\n' : c == L'r' ? L'\r' : c);
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::vector<std::wstring> SplitFields(std::wstring_view line) {
    std::vector<std::wstring> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t tab = line.find(L'\t', start);
        fields.push_back(
            Unescape(line.substr(start, tab == std::wstring_view::npos ? tab : tab - start)));
        if (tab == std::wstring_view::npos)
            return fields;
        start = tab + 1;
    }
}

std::wstring Serialize(const std::vector<RuleData>& rules) {
    std::wstring text = L"QMRULES\t1\n";
    auto condition = [&](const wchar_t* field, const TextCondition& c) {
        text += L"text\t";
        text += field;
        text += c.enabled ? L"\t1" : L"\t0";
        for (const auto& t : c.texts)
            text += L"\t" + Escape(t);
        text += L"\n";
    };
    for (const auto& r : rules) {
        text += L"rule\t" + Escape(r.name) + (r.enabled ? L"\t1\t" : L"\t0\t") +
                std::to_wstring(static_cast<LONG>(r.type)) + L"\n";
        condition(L"subject", r.subject);
        condition(L"body", r.body);
        condition(L"bodyorsubject", r.bodyOrSubject);
        text += std::wstring(L"move\t") + (r.moveEnabled ? L"1\t" : L"0\t") +
                BytesToHex(r.moveFolder) + L"\n";
        text += std::wstring(L"copy\t") + (r.copyEnabled ? L"1\t" : L"0\t") +
                BytesToHex(r.copyFolder) + L"\n";
    }
    return text;
}

std::vector<RuleData> Parse(std::wstring_view text) {
    std::vector<RuleData> rules;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring_view::npos)
            end = text.size();
        auto f = SplitFields(text.substr(start, end - start));
        start = end + 1;
        if (f[0] == L"rule" && f.size() >= 4) {
            RuleData r;
            r.name = f[1];
            r.enabled = f[2] == L"1";
            r.type = f[3] == L"1" ? olRuleSend : olRuleReceive;
            rules.push_back(std::move(r));
        } else if (rules.empty()) {
            continue;
        } else if (f[0] == L"text" && f.size() >= 3) {
            TextCondition* c = f[1] == L"subject"         ? &rules.back().subject
                               : f[1] == L"body"          ? &rules.back().body
                               : f[1] == L"bodyorsubject" ? &rules.back().bodyOrSubject
                                                          : nullptr;
            if (c) {
                c->enabled = f[2] == L"1";
                c->texts.assign(f.begin() + 3, f.end());
            }
        } else if ((f[0] == L"move" || f[0] == L"copy") && f.size() >= 3) {
            bool enabled = f[1] == L"1";
            Bytes folder = HexToBytes(f[2]).value_or(Bytes());
            if (f[0] == L"move") {
                rules.back().moveEnabled = enabled;
                rules.back().moveFolder = std::move(folder);
            } else {
                rules.back().copyEnabled = enabled;
                rules.back().copyFolder = std::move(folder);
            }
        }
    }
    return rules;
}

HRESULT RulesFolder(store::Session& session, store::Folder* folder) {
    HRESULT hr = session.GetDefaultFolder(store::DefaultFolder::Inbox, folder);
    if (hr == MAPI_E_NOT_FOUND)
        hr = session.GetRootFolder(folder);
    return hr;
}

// The rules message's entry id; empty (S_OK) when the store has none yet.
HRESULT FindRulesMessage(const store::Folder& folder, Bytes* entryId) {
    entryId->clear();
    store::ContentsTable table(folder, true);
    HRESULT hr = table.SetColumns({mapi::PR_ENTRYID, mapi::PR_MESSAGE_CLASS});
    ULONG count = 0;
    if (SUCCEEDED(hr))
        hr = table.GetRowCount(&count);
    if (FAILED(hr) || count == 0)
        return hr;
    std::vector<store::TableRow> rows;
    hr = table.QueryRows(static_cast<LONG>(count), &rows);
    for (const auto& row : rows) {
        if (row.size() == 2 && row[0].value.Bin() && row[1].value.Wide() &&
            *row[1].value.Wide() == kRulesClass) {
            *entryId = *row[0].value.Bin();
            break;
        }
    }
    return hr;
}

}  // namespace

HRESULT LoadRules(store::Session& session, std::vector<RuleData>* rules) {
    rules->clear();
    store::Folder folder;
    HRESULT hr = RulesFolder(session, &folder);
    Bytes entryId;
    if (SUCCEEDED(hr))
        hr = FindRulesMessage(folder, &entryId);
    if (FAILED(hr) || entryId.empty())
        return hr;
    std::unique_ptr<store::Message> message;
    hr = session.OpenMessage(entryId, &message);
    if (FAILED(hr))
        return hr;
    *rules = Parse(message->Props().GetText(mapi::PR_BODY).value_or(L""));
    return S_OK;
}

HRESULT SaveRules(store::Session& session, const std::vector<RuleData>& rules) {
    store::Folder folder;
    HRESULT hr = RulesFolder(session, &folder);
    Bytes entryId;
    if (SUCCEEDED(hr))
        hr = FindRulesMessage(folder, &entryId);
    if (FAILED(hr))
        return hr;
    std::unique_ptr<store::Message> message;
    hr = entryId.empty() ? folder.CreateMessage(true, &message)
                         : session.OpenMessage(entryId, &message);
    if (FAILED(hr))
        return hr;
    message->SetProp(mapi::PR_MESSAGE_CLASS, mapi::PropValue::Unicode(kRulesClass));
    message->SetProp(mapi::PR_BODY, mapi::PropValue::Unicode(Serialize(rules)));
    return message->Save();
}

bool RuleMatches(const RuleData& rule, const std::wstring& subject, const std::wstring& body) {
    if (!rule.enabled || rule.type != olRuleReceive)
        return false;
    auto holds = [](const TextCondition& c, std::initializer_list<const std::wstring*> fields) {
        for (const auto& t : c.texts) {
            for (const std::wstring* f : fields) {
                if (!t.empty() && ContainsNoCase(*f, t))
                    return true;
            }
        }
        return false;
    };
    bool any = false;
    if (rule.subject.enabled) {
        any = true;
        if (!holds(rule.subject, {&subject}))
            return false;
    }
    if (rule.body.enabled) {
        any = true;
        if (!holds(rule.body, {&body}))
            return false;
    }
    if (rule.bodyOrSubject.enabled) {
        any = true;
        if (!holds(rule.bodyOrSubject, {&subject, &body}))
            return false;
    }
    // A rule without any condition would file every mail; the rules this
    // platform builds always carry one, so such a rule is taken as unfinished.
    return any;
}

// --- COM objects --------------------------------------------------------------------

namespace {

// One rule's data, shared by the rule object and its conditions and actions.
// Guarded by the model's mutex.
struct RuleState {
    RuleData data;
};

enum class ConditionField { Subject, Body, BodyOrSubject };

constexpr NameId kTextConditionNames[] = {{L"Enabled", dispid::kEnabled},
                                          {L"Text", dispid::kText},
                                          {L"ConditionType", dispid::kConditionType}};

class TextConditionObject final : public com::ComObject<TextConditionObject, _TextRuleCondition> {
public:
    TextConditionObject(std::shared_ptr<Model> model, std::shared_ptr<RuleState> rule,
                        ConditionField field)
        : m_model(std::move(model)), m_rule(std::move(rule)), m_field(field) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kTextConditionNames)

    HRESULT get_Enabled(VARIANT_BOOL* enabled) override {
        if (!enabled)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        *enabled = Condition().enabled ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT put_Enabled(VARIANT_BOOL enabled) override {
        std::lock_guard lock(m_model->mutex);
        Condition().enabled = enabled != VARIANT_FALSE;
        return S_OK;
    }
    HRESULT get_Text(VARIANT* texts) override {
        if (!texts)
            return E_POINTER;
        VariantInit(texts);
        std::lock_guard lock(m_model->mutex);
        const auto& list = Condition().texts;
        SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(list.size()));
        if (!array)
            return E_OUTOFMEMORY;
        for (LONG i = 0; i < static_cast<LONG>(list.size()); ++i) {
            CComVariant item{std::wstring_view(list[i])};
            SafeArrayPutElement(array, &i, &item);
        }
        texts->vt = VT_ARRAY | VT_VARIANT;
        texts->parray = array;
        return S_OK;
    }
    HRESULT put_Text(VARIANT texts) override {
        std::vector<std::wstring> list;
        if (texts.vt == VT_BSTR) {
            list.emplace_back(texts.bstrVal ? texts.bstrVal : L"");
        } else if ((texts.vt & VT_ARRAY) && texts.parray && SafeArrayGetDim(texts.parray) == 1) {
            VARTYPE element = 0;
            LONG low = 0, high = -1;
            SafeArrayGetVartype(texts.parray, &element);
            SafeArrayGetLBound(texts.parray, 1, &low);
            SafeArrayGetUBound(texts.parray, 1, &high);
            for (LONG i = low; i <= high; ++i) {
                if (element == VT_BSTR) {
                    CComBSTR text;
                    if (FAILED(SafeArrayGetElement(texts.parray, &i, &text)))
                        return E_INVALIDARG;
                    list.emplace_back(text.View());
                } else if (element == VT_VARIANT) {
                    CComVariant item;
                    if (FAILED(SafeArrayGetElement(texts.parray, &i, &item)) || item.vt != VT_BSTR)
                        return E_INVALIDARG;
                    list.emplace_back(item.bstrVal ? item.bstrVal : L"");
                } else {
                    return E_INVALIDARG;
                }
            }
        } else {
            return E_INVALIDARG;
        }
        if (list.empty())
            return E_INVALIDARG;
        for (const auto& t : list) {
            if (t.empty())
                return E_INVALIDARG;
        }
        std::lock_guard lock(m_model->mutex);
        Condition().texts = std::move(list);
        return S_OK;
    }
    HRESULT get_ConditionType(OlRuleConditionType* type) override {
        if (!type)
            return E_POINTER;
        *type = m_field == ConditionField::Subject ? olConditionSubject
                : m_field == ConditionField::Body  ? olConditionBody
                                                   : olConditionBodyOrSubject;
        return S_OK;
    }

private:
    TextCondition& Condition() {
        return m_field == ConditionField::Subject ? m_rule->data.subject
               : m_field == ConditionField::Body  ? m_rule->data.body
                                                  : m_rule->data.bodyOrSubject;
    }
    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result) {
        if (IsPut(flags)) {
            const VARIANT* value = args.Value();
            if (!value)
                return DISP_E_BADPARAMCOUNT;
            if (id == dispid::kEnabled) {
                CComVariant b;
                if (FAILED(VariantChangeType(&b, value, 0, VT_BOOL)))
                    return DISP_E_TYPEMISMATCH;
                return put_Enabled(b.boolVal);
            }
            if (id == dispid::kText)
                return put_Text(*value);
            return DISP_E_MEMBERNOTFOUND;
        }
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        if (id == dispid::kEnabled) {
            VARIANT_BOOL v = VARIANT_FALSE;
            HRESULT hr = get_Enabled(&v);
            return ResultBool(result, hr, v);
        }
        if (id == dispid::kText) {
            VARIANT v;
            HRESULT hr = get_Text(&v);
            return ResultVariant(result, hr, &v);
        }
        if (id == dispid::kConditionType) {
            OlRuleConditionType v = olConditionSubject;
            HRESULT hr = get_ConditionType(&v);
            return ResultLong(result, hr, v);
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    std::shared_ptr<Model> m_model;
    std::shared_ptr<RuleState> m_rule;
    ConditionField m_field;
};

constexpr NameId kConditionsNames[] = {{L"Subject", dispid::kSubjectCondition},
                                       {L"Body", dispid::kBodyCondition},
                                       {L"BodyOrSubject", dispid::kBodyOrSubjectCondition}};

class ConditionsObject final : public com::ComObject<ConditionsObject, _RuleConditions> {
public:
    ConditionsObject(std::shared_ptr<Model> model, std::shared_ptr<RuleState> rule)
        : m_model(std::move(model)), m_rule(std::move(rule)) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kConditionsNames)
    HRESULT get_Subject(_TextRuleCondition** c) override {
        return Make(ConditionField::Subject, c);
    }
    HRESULT get_Body(_TextRuleCondition** c) override { return Make(ConditionField::Body, c); }
    HRESULT get_BodyOrSubject(_TextRuleCondition** c) override {
        return Make(ConditionField::BodyOrSubject, c);
    }

private:
    HRESULT Make(ConditionField field, _TextRuleCondition** out) {
        if (!out)
            return E_POINTER;
        *out = com::Make<TextConditionObject, _TextRuleCondition>(m_model, m_rule, field).Detach();
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs&, VARIANT* result) {
        if (!IsGet(flags) || id < dispid::kSubjectCondition || id > dispid::kBodyOrSubjectCondition)
            return DISP_E_MEMBERNOTFOUND;
        _TextRuleCondition* v = nullptr;
        HRESULT hr = Make(static_cast<ConditionField>(id - dispid::kSubjectCondition), &v);
        return ResultDispatch(result, hr, v);
    }
    std::shared_ptr<Model> m_model;
    std::shared_ptr<RuleState> m_rule;
};

constexpr NameId kActionNames[] = {{L"Enabled", dispid::kEnabled},
                                   {L"Folder", dispid::kFolder},
                                   {L"ActionType", dispid::kActionType}};

class MoveActionObject final : public com::ComObject<MoveActionObject, _MoveOrCopyRuleAction> {
public:
    MoveActionObject(std::shared_ptr<Model> model, std::size_t storeIndex,
                     std::shared_ptr<RuleState> rule, bool copy)
        : m_model(std::move(model)), m_index(storeIndex), m_rule(std::move(rule)), m_copy(copy) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kActionNames)

    HRESULT get_Enabled(VARIANT_BOOL* enabled) override {
        if (!enabled)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        *enabled = Enabled() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT put_Enabled(VARIANT_BOOL enabled) override {
        std::lock_guard lock(m_model->mutex);
        Enabled() = enabled != VARIANT_FALSE;
        return S_OK;
    }
    HRESULT get_Folder(MAPIFolder** folder) override {
        if (!folder)
            return E_POINTER;
        *folder = nullptr;
        std::lock_guard lock(m_model->mutex);
        if (Target().empty())
            return S_OK;
        StoreEntry& s = m_model->stores[m_index];
        store::Folder f;
        HRESULT hr = s.session->OpenFolder(Target(), &f);
        return FAILED(hr) ? hr : m_model->MakeFolder(s, f, folder);
    }
    HRESULT put_Folder(MAPIFolder* folder) override {
        GUID storeGuid{};
        Bytes entryId;
        if (!FolderLocation(folder, &storeGuid, &entryId))
            return E_INVALIDARG;
        std::lock_guard lock(m_model->mutex);
        // A rule files mails within its own store only.
        if (storeGuid != m_model->stores[m_index].guid)
            return E_INVALIDARG;
        Target() = std::move(entryId);
        return S_OK;
    }
    HRESULT get_ActionType(OlRuleActionType* type) override {
        if (!type)
            return E_POINTER;
        *type = m_copy ? olRuleActionCopyToFolder : olRuleActionMoveToFolder;
        return S_OK;
    }

private:
    bool& Enabled() { return m_copy ? m_rule->data.copyEnabled : m_rule->data.moveEnabled; }
    Bytes& Target() { return m_copy ? m_rule->data.copyFolder : m_rule->data.moveFolder; }

    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result) {
        if (IsPut(flags)) {
            const VARIANT* value = args.Value();
            if (!value)
                return DISP_E_BADPARAMCOUNT;
            if (id == dispid::kEnabled) {
                CComVariant b;
                if (FAILED(VariantChangeType(&b, value, 0, VT_BOOL)))
                    return DISP_E_TYPEMISMATCH;
                return put_Enabled(b.boolVal);
            }
            if (id == dispid::kFolder && value->vt == VT_DISPATCH) {
                MAPIFolderPtr folder(static_cast<IUnknown*>(value->pdispVal));
                return put_Folder(folder);
            }
            return DISP_E_MEMBERNOTFOUND;
        }
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        if (id == dispid::kEnabled) {
            VARIANT_BOOL v = VARIANT_FALSE;
            HRESULT hr = get_Enabled(&v);
            return ResultBool(result, hr, v);
        }
        if (id == dispid::kFolder) {
            MAPIFolder* v = nullptr;
            const HRESULT got = get_Folder(&v);
            return ResultDispatch(result, got, v);
        }
        if (id == dispid::kActionType) {
            OlRuleActionType v = olRuleActionMoveToFolder;
            HRESULT hr = get_ActionType(&v);
            return ResultLong(result, hr, v);
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    std::shared_ptr<Model> m_model;
    std::size_t m_index;
    std::shared_ptr<RuleState> m_rule;
    bool m_copy;
};

constexpr NameId kActionsNames[] = {{L"MoveToFolder", dispid::kMoveToFolder},
                                    {L"CopyToFolder", dispid::kCopyToFolder}};

class ActionsObject final : public com::ComObject<ActionsObject, _RuleActions> {
public:
    ActionsObject(std::shared_ptr<Model> model, std::size_t storeIndex,
                  std::shared_ptr<RuleState> rule)
        : m_model(std::move(model)), m_index(storeIndex), m_rule(std::move(rule)) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kActionsNames)
    HRESULT get_MoveToFolder(_MoveOrCopyRuleAction** a) override { return Make(false, a); }
    HRESULT get_CopyToFolder(_MoveOrCopyRuleAction** a) override { return Make(true, a); }

private:
    HRESULT Make(bool copy, _MoveOrCopyRuleAction** out) {
        if (!out)
            return E_POINTER;
        *out = com::Make<MoveActionObject, _MoveOrCopyRuleAction>(m_model, m_index, m_rule, copy)
                   .Detach();
        return *out ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs&, VARIANT* result) {
        if (!IsGet(flags) || (id != dispid::kMoveToFolder && id != dispid::kCopyToFolder))
            return DISP_E_MEMBERNOTFOUND;
        _MoveOrCopyRuleAction* v = nullptr;
        HRESULT hr = Make(id == dispid::kCopyToFolder, &v);
        return ResultDispatch(result, hr, v);
    }
    std::shared_ptr<Model> m_model;
    std::size_t m_index;
    std::shared_ptr<RuleState> m_rule;
};

constexpr NameId kRuleNames[] = {{L"Name", dispid::kRuleName},
                                 {L"Enabled", dispid::kEnabled},
                                 {L"RuleType", dispid::kRuleType},
                                 {L"Conditions", dispid::kConditions},
                                 {L"Actions", dispid::kActions}};

class RuleObject final : public com::ComObject<RuleObject, _Rule> {
public:
    RuleObject(std::shared_ptr<Model> model, std::size_t storeIndex,
               std::shared_ptr<RuleState> state)
        : m_model(std::move(model)), m_index(storeIndex), m_state(std::move(state)) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kRuleNames)

    HRESULT get_Name(BSTR* name) override {
        if (!name)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        *name = SysAllocStringLen(m_state->data.name.data(),
                                  static_cast<UINT>(m_state->data.name.size()));
        return *name ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT put_Name(BSTR name) override {
        std::lock_guard lock(m_model->mutex);
        m_state->data.name = name ? name : L"";
        return S_OK;
    }
    HRESULT get_Enabled(VARIANT_BOOL* enabled) override {
        if (!enabled)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        *enabled = m_state->data.enabled ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT put_Enabled(VARIANT_BOOL enabled) override {
        std::lock_guard lock(m_model->mutex);
        m_state->data.enabled = enabled != VARIANT_FALSE;
        return S_OK;
    }
    HRESULT get_RuleType(OlRuleType* type) override {
        if (!type)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        *type = m_state->data.type;
        return S_OK;
    }
    HRESULT get_Conditions(_RuleConditions** conditions) override {
        if (!conditions)
            return E_POINTER;
        *conditions = com::Make<ConditionsObject, _RuleConditions>(m_model, m_state).Detach();
        return *conditions ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT get_Actions(_RuleActions** actions) override {
        if (!actions)
            return E_POINTER;
        *actions = com::Make<ActionsObject, _RuleActions>(m_model, m_index, m_state).Detach();
        return *actions ? S_OK : E_OUTOFMEMORY;
    }
    const std::shared_ptr<RuleState>& State() const { return m_state; }

private:
    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result) {
        if (IsPut(flags)) {
            const VARIANT* value = args.Value();
            if (id == dispid::kRuleName) {
                CComBSTR name;
                HRESULT hr = ArgText(value, name);
                return FAILED(hr) ? hr : put_Name(name);
            }
            if (id == dispid::kEnabled && value) {
                CComVariant b;
                if (FAILED(VariantChangeType(&b, value, 0, VT_BOOL)))
                    return DISP_E_TYPEMISMATCH;
                return put_Enabled(b.boolVal);
            }
            return DISP_E_MEMBERNOTFOUND;
        }
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        switch (id) {
            case dispid::kRuleName: {
                BSTR v = nullptr;
                const HRESULT got = get_Name(&v);
                return ResultText(result, got, v);
            }
            case dispid::kEnabled: {
                VARIANT_BOOL v = VARIANT_FALSE;
                HRESULT hr = get_Enabled(&v);
                return ResultBool(result, hr, v);
            }
            case dispid::kRuleType: {
                OlRuleType v = olRuleReceive;
                HRESULT hr = get_RuleType(&v);
                return ResultLong(result, hr, v);
            }
            case dispid::kConditions: {
                _RuleConditions* v = nullptr;
                const HRESULT got = get_Conditions(&v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kActions: {
                _RuleActions* v = nullptr;
                const HRESULT got = get_Actions(&v);
                return ResultDispatch(result, got, v);
            }
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    std::shared_ptr<Model> m_model;
    std::size_t m_index;
    std::shared_ptr<RuleState> m_state;
};

constexpr NameId kRulesNames[] = {{L"Count", dispid::kCount},
                                  {L"Item", dispid::kItem},
                                  {L"Remove", dispid::kRemove},
                                  {L"Create", dispid::kCreateRule},
                                  {L"Save", dispid::kSave}};

class RulesObject final : public com::ComObject<RulesObject, _Rules> {
public:
    RulesObject(std::shared_ptr<Model> model, std::size_t storeIndex)
        : m_model(std::move(model)), m_index(storeIndex) {}
    QM_OUTLOOK_DISPATCH_MEMBERS(kRulesNames)

    HRESULT Load() {
        std::lock_guard lock(m_model->mutex);
        std::vector<RuleData> rules;
        HRESULT hr = LoadRules(*m_model->stores[m_index].session, &rules);
        for (auto& r : rules) {
            auto state = std::make_shared<RuleState>();
            state->data = std::move(r);
            m_rules.push_back(std::move(state));
        }
        return hr;
    }

    HRESULT get_Count(LONG* count) override {
        if (!count)
            return E_POINTER;
        std::lock_guard lock(m_model->mutex);
        *count = static_cast<LONG>(m_rules.size());
        return S_OK;
    }
    HRESULT Item(VARIANT index, _Rule** rule) override {
        if (!rule)
            return E_POINTER;
        *rule = nullptr;
        std::lock_guard lock(m_model->mutex);
        std::size_t position = 0;
        HRESULT hr = Position(index, &position);
        if (FAILED(hr))
            return hr;
        *rule = com::Make<RuleObject, _Rule>(m_model, m_index, m_rules[position]).Detach();
        return *rule ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT Remove(VARIANT index) override {
        std::lock_guard lock(m_model->mutex);
        std::size_t position = 0;
        HRESULT hr = Position(index, &position);
        if (SUCCEEDED(hr))
            m_rules.erase(m_rules.begin() + static_cast<std::ptrdiff_t>(position));
        return hr;
    }
    HRESULT Create(BSTR name, OlRuleType type, _Rule** rule) override {
        if (!rule)
            return E_POINTER;
        *rule = nullptr;
        if (type != olRuleReceive && type != olRuleSend)
            return E_INVALIDARG;
        auto state = std::make_shared<RuleState>();
        state->data.name = name ? name : L"";
        state->data.type = type;
        std::lock_guard lock(m_model->mutex);
        m_rules.push_back(state);
        *rule = com::Make<RuleObject, _Rule>(m_model, m_index, state).Detach();
        return *rule ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT Save(VARIANT) override {
        std::lock_guard lock(m_model->mutex);
        std::vector<RuleData> rules;
        for (const auto& r : m_rules)
            rules.push_back(r->data);
        return SaveRules(*m_model->stores[m_index].session, rules);
    }

private:
    // Callers hold the model's mutex.
    HRESULT Position(const VARIANT& index, std::size_t* position) {
        if (index.vt == VT_BSTR) {
            for (std::size_t i = 0; i < m_rules.size(); ++i) {
                if (m_rules[i]->data.name == (index.bstrVal ? index.bstrVal : L"")) {
                    *position = i;
                    return S_OK;
                }
            }
            return DISP_E_BADINDEX;
        }
        LONG number = 0;
        if (FAILED(ArgLong(&index, &number)))
            return DISP_E_TYPEMISMATCH;
        if (number < 1 || static_cast<std::size_t>(number) > m_rules.size())
            return DISP_E_BADINDEX;
        *position = static_cast<std::size_t>(number - 1);
        return S_OK;
    }

    HRESULT InvokeMember(DISPID id, WORD flags, const InvokeArgs& args, VARIANT* result) {
        if (!IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        switch (id) {
            case dispid::kCount: {
                LONG v = 0;
                HRESULT hr = get_Count(&v);
                return ResultLong(result, hr, v);
            }
            case dispid::kItem: {
                if (!args.At(0))
                    return DISP_E_BADPARAMCOUNT;
                _Rule* v = nullptr;
                const HRESULT got = Item(*args.At(0), &v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kRemove:
                return args.At(0) ? Remove(*args.At(0)) : DISP_E_BADPARAMCOUNT;
            case dispid::kCreateRule: {
                CComBSTR name;
                LONG type = 0;
                if (HRESULT hr = ArgText(args.At(0), name); FAILED(hr))
                    return hr;
                if (HRESULT hr = ArgLong(args.At(1), &type); FAILED(hr))
                    return hr;
                _Rule* v = nullptr;
                const HRESULT got = Create(name, static_cast<OlRuleType>(type), &v);
                return ResultDispatch(result, got, v);
            }
            case dispid::kSave:
                return Save(MissingArgument());
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    std::shared_ptr<Model> m_model;
    std::size_t m_index;
    std::vector<std::shared_ptr<RuleState>> m_rules;  // guarded by m_model->mutex
};

}  // namespace

HRESULT CreateRules(const std::shared_ptr<Model>& model, std::size_t storeIndex, _Rules** out) {
    auto rules = com::Make<RulesObject>(model, storeIndex);
    if (!rules)
        return E_OUTOFMEMORY;
    HRESULT hr = rules->Load();
    if (FAILED(hr))
        return hr;
    *out = static_cast<_Rules*>(rules.Detach());
    return S_OK;
}

}  // namespace impl

HRESULT OutlookApplication::FindRuleTarget(const std::wstring& subject, const std::wstring& body,
                                           store::Bytes* targetFolder) {
    if (!targetFolder)
        return E_POINTER;
    targetFolder->clear();
    std::lock_guard lock(m_model->mutex.Unchecked());
    std::vector<impl::RuleData> rules;
    HRESULT hr = impl::LoadRules(*m_model->DefaultStore().session, &rules);
    if (FAILED(hr))
        return hr;
    for (const auto& rule : rules) {
        if (rule.moveEnabled && !rule.moveFolder.empty() &&
            impl::RuleMatches(rule, subject, body)) {
            *targetFolder = rule.moveFolder;
            return S_OK;
        }
    }
    return S_FALSE;
}

HRESULT OutlookApplication::ApplyRules(const store::Bytes& mailEntryId,
                                       store::Bytes* targetFolder) {
    std::lock_guard lock(m_model->mutex.Unchecked());
    store::Session& session = *m_model->DefaultStore().session;
    std::unique_ptr<store::Message> mail;
    HRESULT hr = session.OpenMessage(mailEntryId, &mail);
    if (FAILED(hr))
        return hr;
    store::Bytes target;
    hr = FindRuleTarget(mail->Props().GetText(mapi::PR_SUBJECT).value_or(L""),
                        mail->Props().GetText(mapi::PR_BODY).value_or(L""), &target);
    if (hr != S_OK)
        return hr;
    store::Folder folder;
    hr = session.OpenFolder(target, &folder);
    if (SUCCEEDED(hr))
        hr = mail->MoveTo(folder);
    if (SUCCEEDED(hr) && targetFolder)
        *targetFolder = target;
    return FAILED(hr) ? hr : S_OK;
}

}  // namespace outlook
