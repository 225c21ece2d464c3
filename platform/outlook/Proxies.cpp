// The proxies of the object model's remotable interfaces: each member is an
// Invoke by its DISPID on the object of the serving process, which its
// IDispatch answers as the member's raw form would (Outlook.h).
#include "platform/outlook/Proxies.h"

#include "platform/com/ComObject.h"
#include "platform/com/DualProxy.h"
#include "platform/outlook/Outlook.h"

namespace outlook {
namespace {

namespace id = dispid;

CComVariant Long(LONG value) {
    return CComVariant(value);
}
CComVariant Text(BSTR text) {
    return CComVariant(std::wstring_view(text ? text : L"", text ? SysStringLen(text) : 0));
}

class ApplicationProxy final : public com::DualProxy<_Application> {
public:
    explicit ApplicationProxy(IDispatch* remote) : DualProxy(remote) {}
    HRESULT get_Application(_Application** v) override { return GetObject(id::kApplication, v); }
    HRESULT get_Session(_NameSpace** v) override { return GetObject(id::kSession, v); }
    HRESULT get_Version(BSTR* v) override { return GetText(id::kVersion, v); }
    HRESULT GetNamespace(BSTR type, _NameSpace** v) override {
        return GetObject(id::kGetNamespace, v, {Text(type)});
    }
    HRESULT ActiveInspector(_Inspector** v) override { return GetObject(id::kActiveInspector, v); }
    HRESULT ActiveExplorer(_Explorer** v) override { return GetObject(id::kActiveExplorer, v); }
    HRESULT CreateItem(OlItemType type, IDispatch** v) override {
        return GetObject(id::kCreateItem, v, {Long(type)});
    }
    HRESULT Quit() override { return Call(id::kQuit, {}, nullptr); }
    HRESULT get_COMAddIns(COMAddIns** v) override { return GetObject(id::kCOMAddIns, v); }
};

class NameSpaceProxy final : public com::DualProxy<_NameSpace> {
public:
    explicit NameSpaceProxy(IDispatch* remote) : DualProxy(remote) {}
    HRESULT get_Application(_Application** v) override { return GetObject(id::kApplication, v); }
    HRESULT get_CurrentProfileName(BSTR* v) override { return GetText(id::kCurrentProfileName, v); }
    HRESULT GetDefaultFolder(OlDefaultFolders type, MAPIFolder** v) override {
        return GetObject(id::kGetDefaultFolder, v, {Long(type)});
    }
    HRESULT GetFolderFromID(BSTR entryId, VARIANT storeId, MAPIFolder** v) override {
        return GetObject(id::kGetFolderFromID, v, {Text(entryId), CComVariant(storeId)});
    }
    HRESULT get_DefaultStore(_Store** v) override { return GetObject(id::kDefaultStore, v); }
    HRESULT get_MAPIOBJECT(IUnknown** v) override { return GetObject(id::kMAPIOBJECT, v); }
};

class StoreProxy final : public com::DualProxy<_Store> {
public:
    explicit StoreProxy(IDispatch* remote) : DualProxy(remote) {}
    HRESULT get_StoreID(BSTR* v) override { return GetText(id::kStoreID, v); }
    HRESULT get_DisplayName(BSTR* v) override { return GetText(id::kName, v); }
    HRESULT GetRootFolder(MAPIFolder** v) override { return GetObject(id::kGetRootFolder, v); }
    HRESULT GetRules(_Rules** v) override { return GetObject(id::kGetRules, v); }
};

class FolderProxy final : public com::DualProxy<MAPIFolder> {
public:
    explicit FolderProxy(IDispatch* remote) : DualProxy(remote) {}
    HRESULT get_Application(_Application** v) override { return GetObject(id::kApplication, v); }
    HRESULT get_Parent(IDispatch** v) override { return GetObject(id::kParent, v); }
    HRESULT get_EntryID(BSTR* v) override { return GetText(id::kEntryID, v); }
    HRESULT get_StoreID(BSTR* v) override { return GetText(id::kStoreID, v); }
    HRESULT get_Name(BSTR* v) override { return GetText(id::kName, v); }
    HRESULT put_Name(BSTR name) override { return Put(id::kName, Text(name)); }
    HRESULT get_Folders(_Folders** v) override { return GetObject(id::kFolders, v); }
    HRESULT get_Items(_Items** v) override { return GetObject(id::kItems, v); }
    HRESULT get_DefaultItemType(OlItemType* v) override {
        return GetNumber(id::kDefaultItemType, v);
    }
    HRESULT get_DefaultMessageClass(BSTR* v) override {
        return GetText(id::kDefaultMessageClass, v);
    }
    HRESULT get_Store(_Store** v) override { return GetObject(id::kStore, v); }
    HRESULT Delete() override { return Call(id::kDelete, {}, nullptr); }
    HRESULT get_MAPIOBJECT(IUnknown** v) override { return GetObject(id::kMAPIOBJECT, v); }
};

class FoldersProxy final : public com::DualProxy<_Folders> {
public:
    explicit FoldersProxy(IDispatch* remote) : DualProxy(remote) {}
    HRESULT get_Parent(IDispatch** v) override { return GetObject(id::kParent, v); }
    HRESULT get_Count(LONG* v) override { return GetNumber(id::kCount, v); }
    HRESULT Item(VARIANT index, MAPIFolder** v) override {
        return GetObject(id::kItem, v, {CComVariant(index)});
    }
    HRESULT Add(BSTR name, VARIANT type, MAPIFolder** v) override {
        return GetObject(id::kAdd, v, {Text(name), CComVariant(type)});
    }
};

class RulesProxy final : public com::DualProxy<_Rules> {
public:
    explicit RulesProxy(IDispatch* remote) : DualProxy(remote) {}
    HRESULT get_Count(LONG* v) override { return GetNumber(id::kCount, v); }
    HRESULT Item(VARIANT index, _Rule** v) override {
        return GetObject(id::kItem, v, {CComVariant(index)});
    }
    HRESULT Remove(VARIANT index) override {
        return Call(id::kRemove, {CComVariant(index)}, nullptr);
    }
    HRESULT Create(BSTR name, OlRuleType type, _Rule** v) override {
        return GetObject(id::kCreateRule, v, {Text(name), Long(type)});
    }
    HRESULT Save(VARIANT showProgress) override {
        return Call(id::kSave, {CComVariant(showProgress)}, nullptr);
    }
};

class RuleProxy final : public com::DualProxy<_Rule> {
public:
    explicit RuleProxy(IDispatch* remote) : DualProxy(remote) {}
    HRESULT get_Name(BSTR* v) override { return GetText(id::kRuleName, v); }
    HRESULT put_Name(BSTR name) override { return Put(id::kRuleName, Text(name)); }
    HRESULT get_Enabled(VARIANT_BOOL* v) override { return GetBool(id::kEnabled, v); }
    HRESULT put_Enabled(VARIANT_BOOL v) override {
        return Put(id::kEnabled, CComVariant(v != VARIANT_FALSE));
    }
    HRESULT get_RuleType(OlRuleType* v) override { return GetNumber(id::kRuleType, v); }
    HRESULT get_Conditions(_RuleConditions** v) override { return GetObject(id::kConditions, v); }
    HRESULT get_Actions(_RuleActions** v) override { return GetObject(id::kActions, v); }
};

class RuleConditionsProxy final : public com::DualProxy<_RuleConditions> {
public:
    explicit RuleConditionsProxy(IDispatch* remote) : DualProxy(remote) {}
    HRESULT get_Subject(_TextRuleCondition** v) override {
        return GetObject(id::kSubjectCondition, v);
    }
    HRESULT get_Body(_TextRuleCondition** v) override { return GetObject(id::kBodyCondition, v); }
    HRESULT get_BodyOrSubject(_TextRuleCondition** v) override {
        return GetObject(id::kBodyOrSubjectCondition, v);
    }
};

class TextConditionProxy final : public com::DualProxy<_TextRuleCondition> {
public:
    explicit TextConditionProxy(IDispatch* remote) : DualProxy(remote) {}
    HRESULT get_Enabled(VARIANT_BOOL* v) override { return GetBool(id::kEnabled, v); }
    HRESULT put_Enabled(VARIANT_BOOL v) override {
        return Put(id::kEnabled, CComVariant(v != VARIANT_FALSE));
    }
    HRESULT get_Text(VARIANT* v) override { return GetVariant(id::kText, v); }
    HRESULT put_Text(VARIANT texts) override { return Put(id::kText, texts); }
    HRESULT get_ConditionType(OlRuleConditionType* v) override {
        return GetNumber(id::kConditionType, v);
    }
};

class RuleActionsProxy final : public com::DualProxy<_RuleActions> {
public:
    explicit RuleActionsProxy(IDispatch* remote) : DualProxy(remote) {}
    HRESULT get_MoveToFolder(_MoveOrCopyRuleAction** v) override {
        return GetObject(id::kMoveToFolder, v);
    }
    HRESULT get_CopyToFolder(_MoveOrCopyRuleAction** v) override {
        return GetObject(id::kCopyToFolder, v);
    }
};

class MoveActionProxy final : public com::DualProxy<_MoveOrCopyRuleAction> {
public:
    explicit MoveActionProxy(IDispatch* remote) : DualProxy(remote) {}
    HRESULT get_Enabled(VARIANT_BOOL* v) override { return GetBool(id::kEnabled, v); }
    HRESULT put_Enabled(VARIANT_BOOL v) override {
        return Put(id::kEnabled, CComVariant(v != VARIANT_FALSE));
    }
    HRESULT get_Folder(MAPIFolder** v) override { return GetObject(id::kFolder, v); }
    HRESULT put_Folder(MAPIFolder* folder) override {
        return Put(id::kFolder, CComVariant(static_cast<IDispatch*>(folder)));
    }
    HRESULT get_ActionType(OlRuleActionType* v) override { return GetNumber(id::kActionType, v); }
};

class ProxyFactory final : public com::ComObject<ProxyFactory, IQmProxyFactory> {
public:
    HRESULT CreateProxy(IDispatch* remote, REFIID iid, void** out) override {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (!remote)
            return E_INVALIDARG;
        if (iid == IID__Application)
            return com::MakeProxy<ApplicationProxy>(remote, out);
        if (iid == IID__NameSpace)
            return com::MakeProxy<NameSpaceProxy>(remote, out);
        if (iid == IID__Store)
            return com::MakeProxy<StoreProxy>(remote, out);
        if (iid == IID_MAPIFolder)
            return com::MakeProxy<FolderProxy>(remote, out);
        if (iid == IID__Folders)
            return com::MakeProxy<FoldersProxy>(remote, out);
        if (iid == IID__Rules)
            return com::MakeProxy<RulesProxy>(remote, out);
        if (iid == IID__Rule)
            return com::MakeProxy<RuleProxy>(remote, out);
        if (iid == IID__RuleConditions)
            return com::MakeProxy<RuleConditionsProxy>(remote, out);
        if (iid == IID__TextRuleCondition)
            return com::MakeProxy<TextConditionProxy>(remote, out);
        if (iid == IID__RuleActions)
            return com::MakeProxy<RuleActionsProxy>(remote, out);
        if (iid == IID__MoveOrCopyRuleAction)
            return com::MakeProxy<MoveActionProxy>(remote, out);
        return E_NOINTERFACE;
    }
};

}  // namespace

HRESULT RegisterProxies(const std::wstring& library) {
    return com::RegisterProxyStub(CLSID_OutlookProxies, library,
                                  {{IID__Application, L"_Application"},
                                   {IID__NameSpace, L"_NameSpace"},
                                   {IID__Store, L"_Store"},
                                   {IID_MAPIFolder, L"MAPIFolder"},
                                   {IID__Folders, L"_Folders"},
                                   {IID__Rules, L"_Rules"},
                                   {IID__Rule, L"_Rule"},
                                   {IID__RuleConditions, L"_RuleConditions"},
                                   {IID__TextRuleCondition, L"_TextRuleCondition"},
                                   {IID__RuleActions, L"_RuleActions"},
                                   {IID__MoveOrCopyRuleAction, L"_MoveOrCopyRuleAction"}});
}

}  // namespace outlook

// The export every in-process server of the platform provides: here the
// class of the object model's proxies.
extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID clsid,
                                                                            REFIID iid,
                                                                            void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (clsid != outlook::CLSID_OutlookProxies)
        return CLASS_E_CLASSNOTAVAILABLE;
    auto factory = com::Make<outlook::ProxyFactory>();
    if (!factory)
        return E_OUTOFMEMORY;
    return factory->QueryInterface(iid, out);
}
