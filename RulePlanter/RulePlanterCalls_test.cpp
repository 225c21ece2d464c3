// The rule helper's calls into Outlook, against recording doubles of the
// object model: the order of the members it calls, and what a failing call
// leaves undone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <set>
#include <string>
#include <vector>

#include "RulePlanter/RulePlanter.h"
#include "platform/com/Com.h"
#include "platform/com/ComObject.h"
#include "platform/win/TestMachine.h"

namespace {

// Every call the doubles receive, in order, as "Object.Member argument";
// a call listed in failing is recorded and answers E_FAIL.
struct Journal {
    std::vector<std::wstring> calls;
    std::set<std::wstring> failing;

    bool Fails(const std::wstring& call) {
        calls.push_back(call);
        return failing.count(call) > 0;
    }
    bool Called(const std::wstring& call) const {
        return std::find(calls.begin(), calls.end(), call) != calls.end();
    }
};

template <class Derived, class... Interfaces>
class Double : public com::ComObject<Derived, Interfaces...> {
public:
    explicit Double(Journal* journal) : m_journal(journal) {}
    HRESULT GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }

protected:
    bool Fails(const std::wstring& call) { return m_journal->Fails(call); }
    Journal* m_journal;
};

template <class I, class T>
HRESULT Give(T* object, I** out) {
    *out = object;
    if (object)
        object->AddRef();
    return S_OK;
}

std::wstring IndexText(const VARIANT& index) {
    return index.vt == VT_I4 ? std::to_wstring(index.lVal) : L"(not a 32-bit integer)";
}

std::wstring Flag(VARIANT_BOOL value) {
    return value == VARIANT_TRUE ? L"true" : L"false";
}

// --- Folders -----------------------------------------------------------------

class FakeFolder;

class FakeFolders final : public Double<FakeFolders, _Folders> {
public:
    FakeFolders(Journal* journal, FakeFolder* owner) : Double(journal), m_owner(owner) {}
    HRESULT get_Parent(IDispatch** parent) override;
    HRESULT get_Count(LONG* count) override;
    HRESULT Item(VARIANT index, MAPIFolder** folder) override;
    HRESULT Add(BSTR name, VARIANT type, MAPIFolder** folder) override;

    std::vector<CComPtr<FakeFolder>> m_children;

private:
    std::wstring Prefix() const;
    FakeFolder* m_owner;  // owns this
};

class FakeFolder final : public Double<FakeFolder, MAPIFolder> {
public:
    FakeFolder(Journal* journal, std::wstring name, FakeFolder* parent)
        : Double(journal), m_name(std::move(name)), m_parent(parent) {
        m_folders = com::Make<FakeFolders>(journal, this);
    }
    ~FakeFolder() override { m_folders->m_children.clear(); }

    HRESULT QueryInterface(REFIID iid, void** out) override {
        if (iid == IID_MAPIFolder && Fails(m_name + L".QueryInterface MAPIFolder")) {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        return ComObject::QueryInterface(iid, out);
    }
    HRESULT get_Application(_Application** a) override {
        *a = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_Parent(IDispatch** parent) override {
        *parent = nullptr;
        if (Fails(m_name + L".Parent"))
            return E_FAIL;
        return Give(static_cast<IDispatch*>(m_parent), parent);
    }
    HRESULT get_EntryID(BSTR* id) override {
        *id = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_StoreID(BSTR* id) override {
        *id = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_Name(BSTR* name) override {
        *name = nullptr;
        if (Fails(m_name + L".Name"))
            return E_FAIL;
        *name = SysAllocString(m_name.c_str());
        return S_OK;
    }
    HRESULT put_Name(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Folders(_Folders** folders) override {
        *folders = nullptr;
        if (Fails(m_name + L".Folders"))
            return E_FAIL;
        return Give(m_folders.p, folders);
    }
    HRESULT get_Items(_Items** items) override {
        *items = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_DefaultItemType(OlItemType*) override { return E_NOTIMPL; }
    HRESULT get_DefaultMessageClass(BSTR* c) override {
        *c = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_Store(_Store** s) override {
        *s = nullptr;
        return E_NOTIMPL;
    }
    HRESULT Delete() override {
        if (Fails(m_name + L".Delete"))
            return E_FAIL;
        CComPtr<FakeFolder> self(this);  // alive until the call returns
        std::erase_if(m_parent->m_folders->m_children,
                      [this](const CComPtr<FakeFolder>& f) { return f.p == this; });
        return S_OK;
    }
    HRESULT get_MAPIOBJECT(IUnknown** o) override {
        *o = nullptr;
        return E_NOTIMPL;
    }

    FakeFolder* AddChild(const std::wstring& name) {
        m_folders->m_children.push_back(com::Make<FakeFolder>(m_journal, name, this));
        return m_folders->m_children.back();
    }
    std::vector<std::wstring> ChildNames() const {
        std::vector<std::wstring> names;
        for (const auto& child : m_folders->m_children)
            names.push_back(child->m_name);
        return names;
    }

    std::wstring m_name;
    FakeFolder* m_parent;  // not owned; null for the root
    CComPtr<FakeFolders> m_folders;
};

std::wstring FakeFolders::Prefix() const {
    return m_owner->m_name + L".Folders.";
}

HRESULT FakeFolders::get_Parent(IDispatch** parent) {
    return Give(static_cast<IDispatch*>(m_owner), parent);
}

HRESULT FakeFolders::get_Count(LONG* count) {
    *count = 0;
    if (Fails(Prefix() + L"Count"))
        return E_FAIL;
    *count = static_cast<LONG>(m_children.size());
    return S_OK;
}

HRESULT FakeFolders::Item(VARIANT index, MAPIFolder** folder) {
    *folder = nullptr;
    if (Fails(Prefix() + L"Item " + IndexText(index)))
        return E_FAIL;
    if (index.vt != VT_I4 || index.lVal < 1 || index.lVal > static_cast<LONG>(m_children.size()))
        return DISP_E_BADINDEX;
    return Give(static_cast<MAPIFolder*>(m_children[index.lVal - 1].p), folder);
}

HRESULT FakeFolders::Add(BSTR name, VARIANT type, MAPIFolder** folder) {
    *folder = nullptr;
    std::wstring call = Prefix() + L"Add " + name;
    if (!IsMissingArgument(type))
        call += L" (with a folder type)";
    if (Fails(call))
        return E_FAIL;
    return Give(static_cast<MAPIFolder*>(m_owner->AddChild(name)), folder);
}

// --- Rules -------------------------------------------------------------------

class FakeTextCondition final : public Double<FakeTextCondition, _TextRuleCondition> {
public:
    using Double::Double;
    HRESULT get_Enabled(VARIANT_BOOL* e) override {
        *e = m_enabled ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT put_Enabled(VARIANT_BOOL e) override {
        if (Fails(L"Subject.Enabled " + Flag(e)))
            return E_FAIL;
        m_enabled = e == VARIANT_TRUE;
        return S_OK;
    }
    HRESULT get_Text(VARIANT*) override { return E_NOTIMPL; }
    // Records the texts of an array of strings, joined by "|".
    HRESULT put_Text(VARIANT texts) override {
        std::vector<std::wstring> list;
        std::wstring joined;
        if (texts.vt == (VT_ARRAY | VT_BSTR)) {
            LONG low = 0, high = -1;
            SafeArrayGetLBound(texts.parray, 1, &low);
            SafeArrayGetUBound(texts.parray, 1, &high);
            for (LONG i = low; i <= high; ++i) {
                CComBSTR text;
                SafeArrayGetElement(texts.parray, &i, &text.m_str);
                list.emplace_back(text.View());
                joined += (i == low ? L"" : L"|") + list.back();
            }
        } else {
            joined = L"(not an array of strings)";
        }
        if (Fails(L"Subject.Text " + joined))
            return E_FAIL;
        m_texts = list;
        return S_OK;
    }
    HRESULT get_ConditionType(OlRuleConditionType*) override { return E_NOTIMPL; }

    bool m_enabled = false;
    std::vector<std::wstring> m_texts;
};

class FakeConditions final : public Double<FakeConditions, _RuleConditions> {
public:
    explicit FakeConditions(Journal* journal)
        : Double(journal), m_subject(com::Make<FakeTextCondition>(journal)) {}
    HRESULT get_Subject(_TextRuleCondition** c) override {
        *c = nullptr;
        return Fails(L"Conditions.Subject") ? E_FAIL : Give(m_subject.p, c);
    }
    HRESULT get_Body(_TextRuleCondition** c) override {
        *c = nullptr;
        Fails(L"Conditions.Body");
        return E_NOTIMPL;
    }
    HRESULT get_BodyOrSubject(_TextRuleCondition** c) override {
        *c = nullptr;
        Fails(L"Conditions.BodyOrSubject");
        return E_NOTIMPL;
    }
    CComPtr<FakeTextCondition> m_subject;
};

class FakeMoveAction final : public Double<FakeMoveAction, _MoveOrCopyRuleAction> {
public:
    using Double::Double;
    HRESULT get_Enabled(VARIANT_BOOL* e) override {
        *e = m_enabled ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT put_Enabled(VARIANT_BOOL e) override {
        if (Fails(L"Move.Enabled " + Flag(e)))
            return E_FAIL;
        m_enabled = e == VARIANT_TRUE;
        return S_OK;
    }
    HRESULT get_Folder(MAPIFolder** f) override { return Give(m_folder.p, f); }
    HRESULT put_Folder(MAPIFolder* folder) override {
        auto* fake = static_cast<FakeFolder*>(folder);
        if (Fails(L"Move.Folder " + (fake ? fake->m_name : L"(none)")))
            return E_FAIL;
        m_folder = folder;
        return S_OK;
    }
    HRESULT get_ActionType(OlRuleActionType*) override { return E_NOTIMPL; }

    bool m_enabled = false;
    CComPtr<MAPIFolder> m_folder;
};

class FakeActions final : public Double<FakeActions, _RuleActions> {
public:
    explicit FakeActions(Journal* journal)
        : Double(journal), m_move(com::Make<FakeMoveAction>(journal)) {}
    HRESULT get_MoveToFolder(_MoveOrCopyRuleAction** a) override {
        *a = nullptr;
        return Fails(L"Actions.MoveToFolder") ? E_FAIL : Give(m_move.p, a);
    }
    HRESULT get_CopyToFolder(_MoveOrCopyRuleAction** a) override {
        *a = nullptr;
        Fails(L"Actions.CopyToFolder");
        return E_NOTIMPL;
    }
    CComPtr<FakeMoveAction> m_move;
};

class FakeRule final : public Double<FakeRule, _Rule> {
public:
    FakeRule(Journal* journal, std::wstring name, OlRuleType type)
        : Double(journal),
          m_name(std::move(name)),
          m_type(type),
          m_conditions(com::Make<FakeConditions>(journal)),
          m_actions(com::Make<FakeActions>(journal)) {}
    HRESULT get_Name(BSTR* name) override {
        *name = nullptr;
        if (Fails(L"Rule.Name"))
            return E_FAIL;
        *name = SysAllocString(m_name.c_str());
        return S_OK;
    }
    HRESULT put_Name(BSTR) override { return E_NOTIMPL; }
    HRESULT get_Enabled(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT put_Enabled(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT get_RuleType(OlRuleType* type) override {
        *type = m_type;
        return S_OK;
    }
    HRESULT get_Conditions(_RuleConditions** c) override {
        *c = nullptr;
        return Fails(L"Rule.Conditions") ? E_FAIL : Give(m_conditions.p, c);
    }
    HRESULT get_Actions(_RuleActions** a) override {
        *a = nullptr;
        return Fails(L"Rule.Actions") ? E_FAIL : Give(m_actions.p, a);
    }

    std::wstring m_name;
    OlRuleType m_type;
    CComPtr<FakeConditions> m_conditions;
    CComPtr<FakeActions> m_actions;
};

class FakeRules final : public Double<FakeRules, _Rules> {
public:
    using Double::Double;
    HRESULT get_Count(LONG* count) override {
        *count = 0;
        if (Fails(L"Rules.Count"))
            return E_FAIL;
        *count = static_cast<LONG>(m_rules.size());
        return S_OK;
    }
    HRESULT Item(VARIANT index, _Rule** rule) override {
        *rule = nullptr;
        if (Fails(L"Rules.Item " + IndexText(index)))
            return E_FAIL;
        if (index.vt != VT_I4 || index.lVal < 1 || index.lVal > static_cast<LONG>(m_rules.size()))
            return DISP_E_BADINDEX;
        return Give(m_rules[index.lVal - 1].p, rule);
    }
    HRESULT Remove(VARIANT index) override {
        if (Fails(L"Rules.Remove " + IndexText(index)))
            return E_FAIL;
        if (index.vt != VT_I4 || index.lVal < 1 || index.lVal > static_cast<LONG>(m_rules.size()))
            return DISP_E_BADINDEX;
        m_rules.erase(m_rules.begin() + (index.lVal - 1));
        return S_OK;
    }
    HRESULT Create(BSTR name, OlRuleType type, _Rule** rule) override {
        *rule = nullptr;
        if (Fails(L"Rules.Create " + std::wstring(name) + L" " + std::to_wstring(type)))
            return E_FAIL;
        m_rules.push_back(com::Make<FakeRule>(m_journal, name, type));
        return Give(m_rules.back().p, rule);
    }
    HRESULT Save(VARIANT) override {
        if (Fails(L"Rules.Save"))
            return E_FAIL;
        m_saved = m_rules;
        return S_OK;
    }

    void AddSaved(const std::wstring& name) {
        m_rules.push_back(com::Make<FakeRule>(m_journal, name, olRuleReceive));
        m_saved = m_rules;
    }
    std::vector<std::wstring> SavedNames() const {
        std::vector<std::wstring> names;
        for (const auto& rule : m_saved)
            names.push_back(rule->m_name);
        return names;
    }

    std::vector<CComPtr<FakeRule>> m_rules;  // the collection as the program changes it
    std::vector<CComPtr<FakeRule>> m_saved;  // what the store holds
};

// --- Store, name space, application ----------------------------------------------------

class FakeStore final : public Double<FakeStore, _Store> {
public:
    explicit FakeStore(Journal* journal)
        : Double(journal), m_rules(com::Make<FakeRules>(journal)) {}
    HRESULT get_StoreID(BSTR* s) override {
        *s = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_DisplayName(BSTR* s) override {
        *s = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetRootFolder(MAPIFolder** f) override {
        *f = nullptr;
        Fails(L"GetRootFolder");
        return E_NOTIMPL;
    }
    HRESULT GetRules(_Rules** rules) override {
        *rules = nullptr;
        return Fails(L"GetRules") ? E_FAIL : Give(m_rules.p, rules);
    }
    CComPtr<FakeRules> m_rules;
};

class FakeNameSpace final : public Double<FakeNameSpace, _NameSpace> {
public:
    explicit FakeNameSpace(Journal* journal)
        : Double(journal),
          m_store(com::Make<FakeStore>(journal)),
          m_root(com::Make<FakeFolder>(journal, L"Root", nullptr)) {
        m_inbox = m_root->AddChild(L"Inbox");
    }
    HRESULT get_Application(_Application** a) override {
        *a = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_CurrentProfileName(BSTR* n) override {
        *n = nullptr;
        return E_NOTIMPL;
    }
    HRESULT GetDefaultFolder(OlDefaultFolders type, MAPIFolder** folder) override {
        *folder = nullptr;
        if (Fails(L"GetDefaultFolder " + std::to_wstring(type)))
            return E_FAIL;
        return type == olFolderInbox ? Give(static_cast<MAPIFolder*>(m_inbox), folder)
                                     : MAPI_E_NOT_FOUND;
    }
    HRESULT GetFolderFromID(BSTR, VARIANT, MAPIFolder** f) override {
        *f = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_DefaultStore(_Store** store) override {
        *store = nullptr;
        return Fails(L"DefaultStore") ? E_FAIL : Give(m_store.p, store);
    }
    HRESULT get_MAPIOBJECT(IUnknown** o) override {
        *o = nullptr;
        return E_NOTIMPL;
    }

    CComPtr<FakeStore> m_store;
    CComPtr<FakeFolder> m_root;
    FakeFolder* m_inbox = nullptr;  // a child of m_root
};

class FakeApplication final : public Double<FakeApplication, _Application> {
public:
    explicit FakeApplication(Journal* journal)
        : Double(journal), m_nameSpace(com::Make<FakeNameSpace>(journal)) {}
    HRESULT get_Application(_Application** a) override { return Give(this, a); }
    HRESULT get_Session(_NameSpace** n) override {
        *n = nullptr;
        return E_NOTIMPL;
    }
    HRESULT get_Version(BSTR* version) override {
        *version = nullptr;
        if (Fails(L"Version"))
            return E_FAIL;
        *version = SysAllocString(m_version.c_str());
        return S_OK;
    }
    HRESULT GetNamespace(BSTR type, _NameSpace** nameSpace) override {
        *nameSpace = nullptr;
        return Fails(L"GetNamespace " + std::wstring(type)) ? E_FAIL
                                                            : Give(m_nameSpace.p, nameSpace);
    }
    HRESULT ActiveInspector(_Inspector** i) override {
        *i = nullptr;
        return E_NOTIMPL;
    }
    HRESULT ActiveExplorer(_Explorer** e) override {
        *e = nullptr;
        return E_NOTIMPL;
    }
    HRESULT CreateItem(OlItemType, IDispatch** i) override {
        *i = nullptr;
        return E_NOTIMPL;
    }
    HRESULT Quit() override { return Fails(L"Quit") ? E_FAIL : S_OK; }
    HRESULT get_COMAddIns(COMAddIns** a) override {
        *a = nullptr;
        return E_NOTIMPL;
    }

    std::wstring m_version = L"14.0.0.7015";
    CComPtr<FakeNameSpace> m_nameSpace;
};

class RulePlanterCallsTest : public ::testing::Test {
protected:
    void SetUp() override {
        CoInitialize(nullptr);
        m_app = com::Make<FakeApplication>(&m_journal);
    }
    void TearDown() override {
        m_app.Release();
        CoUninitialize();
    }
    FakeRules& Rules() { return *m_app->m_nameSpace->m_store->m_rules; }
    FakeFolder& Root() { return *m_app->m_nameSpace->m_root; }

    Journal m_journal;
    CComPtr<FakeApplication> m_app;
};

const std::vector<std::wstring> kOpening = {L"Version", L"GetNamespace MAPI", L"DefaultStore",
                                            L"GetRules"};

std::vector<std::wstring> Join(std::vector<std::wstring> a, const std::vector<std::wstring>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(RulePlanterCallsTest, CreateModeCallsOutlookInItsOrder) {
    Rules().AddSaved(L"Junk");
    Rules().AddSaved(L"{QUILLMERE}");
    Rules().AddSaved(L"{quillmere}");
    Root().AddChild(L"quillmere");
    Root().AddChild(L"Quillmere");
    Root().AddChild(L"Quillmere");  // only the first of equal names counts

    ruleplanter::RunOnOutlook(m_app, L"");

    EXPECT_EQ(m_journal.calls,
              Join(kOpening, {
                                 L"Rules.Count",
                                 // The old rules, from the last down, so that a
                                 // removal never moves a rule still to be read.
                                 L"Rules.Item 3",
                                 L"Rule.Name",
                                 L"Rules.Item 2",
                                 L"Rule.Name",
                                 L"Rules.Remove 2",
                                 L"Rules.Save",
                                 L"Rules.Item 1",
                                 L"Rule.Name",
                                 L"Rules.Create {QUILLMERE} 0",
                                 L"Rule.Conditions",
                                 L"Conditions.Subject",
                                 L"Subject.Enabled true",
                                 L"Subject.Text >-Quillmere-<|QMRX$BASICSYNCPACKET:",
                                 L"Rule.Actions",
                                 L"Actions.MoveToFolder",
                                 L"GetDefaultFolder 6",
                                 L"Inbox.Parent",
                                 L"Root.QueryInterface MAPIFolder",
                                 L"Root.Folders",
                                 L"Root.Folders.Count",
                                 L"Root.Folders.Item 1",
                                 L"Inbox.Name",
                                 L"Root.Folders.Item 2",
                                 L"quillmere.Name",
                                 L"Root.Folders.Item 3",
                                 L"Quillmere.Name",
                                 L"Move.Folder Quillmere",
                                 L"Move.Enabled true",
                                 L"Rules.Save",
                                 L"Quit",
                             }));
    EXPECT_EQ(Rules().SavedNames(),
              (std::vector<std::wstring>{L"Junk", L"{quillmere}", L"{QUILLMERE}"}));
    const FakeRule& planted = *Rules().m_saved.back();
    EXPECT_EQ(planted.m_type, olRuleReceive);
    EXPECT_TRUE(planted.m_conditions->m_subject->m_enabled);
    EXPECT_TRUE(planted.m_actions->m_move->m_enabled);
    EXPECT_EQ(planted.m_actions->m_move->m_folder.p,
              static_cast<MAPIFolder*>(Root().m_folders->m_children[2].p))
        << "the first folder named exactly \"Quillmere\"";
    EXPECT_EQ(Root().ChildNames(),
              (std::vector<std::wstring>{L"Inbox", L"quillmere", L"Quillmere", L"Quillmere"}));
}

TEST_F(RulePlanterCallsTest, RemoveModeCreatesAMissingFolderAndDeletesIt) {
    Rules().AddSaved(L"{QUILLMERE}");

    ruleplanter::RunOnOutlook(m_app, L"remove");

    EXPECT_EQ(m_journal.calls, Join(kOpening, {
                                                  L"Rules.Count",
                                                  L"Rules.Item 1",
                                                  L"Rule.Name",
                                                  L"Rules.Remove 1",
                                                  L"Rules.Save",
                                                  L"GetDefaultFolder 6",
                                                  L"Inbox.Parent",
                                                  L"Root.QueryInterface MAPIFolder",
                                                  L"Root.Folders",
                                                  L"Root.Folders.Count",
                                                  L"Root.Folders.Item 1",
                                                  L"Inbox.Name",
                                                  L"Root.Folders.Add Quillmere",
                                                  L"Quillmere.Delete",
                                                  L"Quit",
                                              }));
    EXPECT_TRUE(Rules().SavedNames().empty());
    EXPECT_EQ(Root().ChildNames(), std::vector<std::wstring>{L"Inbox"});
}

// Each failing Outlook call ends only the branch that needed its result;
// Outlook is quit all the same (unless its version could not be read).
TEST_F(RulePlanterCallsTest, AFailingCallEndsTheBranchThatNeededIt) {
    const std::wstring kOld = L"{QUILLMERE}", kJunk = L"Junk";
    const struct Case {
        const wchar_t* failing;
        const wchar_t* commandLine;
        std::vector<std::wstring> saved;  // the rules the store holds afterwards
        bool folder;                      // "Quillmere" exists afterwards
        bool quit;
    } cases[] = {
        {L"Version", L"", {kOld, kJunk}, false, false},
        {L"GetNamespace MAPI", L"", {kOld, kJunk}, false, true},
        {L"DefaultStore", L"", {kOld, kJunk}, false, true},
        {L"GetRules", L"", {kOld, kJunk}, false, true},
        // Without the old rules' count none is removed; the new one is still made.
        {L"Rules.Count", L"", {kOld, kJunk, kOld}, true, true},
        {L"Rules.Item 1", L"", {kOld, kJunk, kOld}, true, true},
        {L"Rule.Name", L"", {kOld, kJunk, kOld}, true, true},
        {L"Rules.Remove 1", L"", {kOld, kJunk, kOld}, true, true},
        {L"Rules.Create {QUILLMERE} 0", L"", {kJunk}, false, true},
        {L"Rule.Conditions", L"", {kJunk}, false, true},
        {L"Conditions.Subject", L"", {kJunk}, false, true},
        {L"Subject.Enabled true", L"", {kJunk}, false, true},
        {L"Subject.Text >-Quillmere-<|QMRX$BASICSYNCPACKET:", L"", {kJunk}, false, true},
        {L"Rule.Actions", L"", {kJunk}, false, true},
        {L"Actions.MoveToFolder", L"", {kJunk}, false, true},
        {L"GetDefaultFolder 6", L"", {kJunk}, false, true},
        {L"Inbox.Parent", L"", {kJunk}, false, true},
        {L"Root.QueryInterface MAPIFolder", L"", {kJunk}, false, true},
        {L"Root.Folders", L"", {kJunk}, false, true},
        {L"Root.Folders.Count", L"", {kJunk}, false, true},
        {L"Root.Folders.Add Quillmere", L"", {kJunk}, false, true},
        {L"Move.Folder Quillmere", L"", {kJunk}, true, true},
        {L"Move.Enabled true", L"", {kJunk}, true, true},
        {L"Rules.Save", L"", {kOld, kJunk}, true, true},
        {L"GetRules", L"remove", {kOld, kJunk}, false, true},
        {L"GetDefaultFolder 6", L"remove", {kJunk}, false, true},
        {L"Root.Folders.Add Quillmere", L"remove", {kJunk}, false, true},
        {L"Quillmere.Delete", L"remove", {kJunk}, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "failing " << std::string(c.failing, c.failing + wcslen(c.failing))
                     << (*c.commandLine ? " in remove mode" : ""));
        m_app = com::Make<FakeApplication>(&m_journal);
        m_journal = Journal{};
        m_journal.failing = {c.failing};
        Rules().AddSaved(kOld);
        Rules().AddSaved(kJunk);

        ruleplanter::RunOnOutlook(m_app, c.commandLine);

        EXPECT_TRUE(m_journal.Called(c.failing)) << "the failing call was made";
        EXPECT_EQ(Rules().SavedNames(), c.saved);
        const std::vector<std::wstring> folders = Root().ChildNames();
        EXPECT_EQ(std::count(folders.begin(), folders.end(), L"Quillmere"), c.folder ? 1 : 0);
        EXPECT_EQ(m_journal.Called(L"Quit"), c.quit);
        if (std::wstring(c.commandLine) == L"remove") {
            EXPECT_FALSE(m_journal.Called(L"Rules.Create {QUILLMERE} 0"));
        }
    }
}

TEST_F(RulePlanterCallsTest, AnUnsupportedVersionIsOnlyAskedItsVersion) {
    for (const wchar_t* version : {L"11.0.8313", L"15.0", L"16.0.4266", L"", L"1.0"}) {
        SCOPED_TRACE(testing::Message() << std::string(version, version + wcslen(version)));
        m_journal = Journal{};
        m_app->m_version = version;
        Rules().AddSaved(L"{QUILLMERE}");
        ruleplanter::RunOnOutlook(m_app, L"");
        EXPECT_EQ(m_journal.calls, std::vector<std::wstring>{L"Version"});
    }
}

TEST(RulePlanterOutlook, WithoutTheOutlookClassThereIsNoApplication) {
    win::testing::TestMachine machine;  // a registry without Outlook's class
    CoInitialize(nullptr);
    _Application* app = reinterpret_cast<_Application*>(0x1);
    EXPECT_EQ(ruleplanter::GetOutlookApplication(&app), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(app, nullptr);
    CoUninitialize();
}

}  // namespace
