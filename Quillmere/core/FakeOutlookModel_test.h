// Test doubles of Outlook's object model for the core's unit tests: folders
// with subfolders, the namespace's default folders, the application's
// inspector and items answering EntryID / Parent / Name by DISPID.
#pragma once

#include <string>
#include <vector>

#include "Quillmere/core/FakeHelperLibrary_test.h"
#include "platform/outlook/Outlook.h"

namespace fakes {

class FakeOlFolders;

class FakeOlFolder final : public FakeDispatch<FakeOlFolder, MAPIFolder> {
public:
    std::wstring entryId, storeId, name;
    OlItemType defaultItemType = olMailItem;
    FakeOlFolder* parent = nullptr;  // not owned: parents hold their children
    CComPtr<FakeOlFolders> folders;

    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (!result)
            return E_POINTER;
        if (id == outlook::dispid::kEntryID)
            return CComVariant(entryId).Detach(result);
        if (id == outlook::dispid::kName)
            return CComVariant(name).Detach(result);
        return static_cast<HRESULT>(0x80020003);
    }
    HRESULT get_Application(_Application** a) override { return *a = nullptr, E_NOTIMPL; }
    HRESULT get_Parent(IDispatch** p) override {
        *p = nullptr;
        if (!parent)
            return MAPI_E_NOT_FOUND;
        *p = static_cast<MAPIFolder*>(parent);
        (*p)->AddRef();
        return S_OK;
    }
    HRESULT get_EntryID(BSTR* v) override { return OutText(entryId, v); }
    HRESULT get_StoreID(BSTR* v) override { return OutText(storeId, v); }
    HRESULT get_Name(BSTR* v) override { return OutText(name, v); }
    HRESULT put_Name(BSTR v) override { return name = v ? v : L"", S_OK; }
    HRESULT get_Folders(_Folders** f) override;
    HRESULT get_Items(_Items** i) override { return *i = nullptr, E_NOTIMPL; }
    HRESULT get_DefaultItemType(OlItemType* t) override { return *t = defaultItemType, S_OK; }
    HRESULT get_DefaultMessageClass(BSTR* v) override { return OutText(L"IPM.Note", v); }
    HRESULT get_Store(_Store** s) override { return *s = nullptr, E_NOTIMPL; }
    HRESULT Delete() override { return E_NOTIMPL; }
    HRESULT get_MAPIOBJECT(IUnknown** o) override { return *o = nullptr, E_NOTIMPL; }
};

class FakeOlFolders final : public FakeDispatch<FakeOlFolders, _Folders> {
public:
    std::vector<CComPtr<FakeOlFolder>> folders;
    HRESULT addResult = S_OK;
    int adds = 0;
    HRESULT get_Parent(IDispatch** p) override { return *p = nullptr, E_NOTIMPL; }
    HRESULT get_Count(LONG* c) override { return *c = static_cast<LONG>(folders.size()), S_OK; }
    HRESULT Item(VARIANT index, MAPIFolder** f) override {
        *f = nullptr;
        if (index.vt != VT_I4 || index.lVal < 1 || index.lVal > static_cast<LONG>(folders.size()))
            return static_cast<HRESULT>(0x8002000B);
        return Give(folders[index.lVal - 1], f);
    }
    HRESULT Add(BSTR name, VARIANT, MAPIFolder** f) override {
        *f = nullptr;
        if (FAILED(addResult))
            return addResult;
        ++adds;
        auto folder = com::Make<FakeOlFolder>();
        folder->name = name ? name : L"";
        folders.push_back(folder);
        return Give(folder, f);
    }
};

inline HRESULT FakeOlFolder::get_Folders(_Folders** f) {
    *f = nullptr;
    return folders ? Give(folders, f) : MAPI_E_NOT_FOUND;
}

// The namespace with its default folders (by OlDefaultFolders number).
class FakeOlNamespace final : public FakeDispatch<FakeOlNamespace, _NameSpace> {
public:
    std::map<LONG, CComPtr<FakeOlFolder>> defaults;
    HRESULT get_Application(_Application** a) override { return *a = nullptr, E_NOTIMPL; }
    HRESULT get_CurrentProfileName(BSTR* v) override { return OutText(L"Outlook", v); }
    HRESULT GetDefaultFolder(OlDefaultFolders type, MAPIFolder** f) override {
        *f = nullptr;
        auto it = defaults.find(type);
        return it == defaults.end() ? MAPI_E_NOT_FOUND : Give(it->second, f);
    }
    HRESULT GetFolderFromID(BSTR, VARIANT, MAPIFolder** f) override {
        return *f = nullptr, MAPI_E_NOT_FOUND;
    }
    HRESULT get_DefaultStore(_Store** s) override { return *s = nullptr, E_NOTIMPL; }
    HRESULT get_MAPIOBJECT(IUnknown** o) override { return *o = nullptr, E_NOTIMPL; }
};

// An item: EntryID and Parent by DISPID (entryId empty: EntryID is no BSTR).
class FakeOlItem final : public FakeDispatch<FakeOlItem, IDispatch> {
public:
    std::wstring entryId;
    CComPtr<FakeOlFolder> parent;
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (!result)
            return E_POINTER;
        if (id == outlook::dispid::kEntryID)
            return entryId.empty() ? CComVariant().Detach(result)
                                   : CComVariant(entryId).Detach(result);
        if (id == outlook::dispid::kParent && parent)
            return CComVariant(static_cast<IDispatch*>(static_cast<MAPIFolder*>(parent.p)))
                .Detach(result);
        return static_cast<HRESULT>(0x80020003);
    }
};

class FakeInspector final : public FakeDispatch<FakeInspector, _Inspector> {
public:
    CComPtr<FakeOlItem> item;
    HRESULT get_CurrentItem(IDispatch** i) override { return *i = nullptr, Give(item, i); }
    HRESULT get_Caption(BSTR* v) override { return OutText(L"", v); }
};

class FakeApplication final : public FakeDispatch<FakeApplication, _Application> {
public:
    CComPtr<FakeInspector> inspector;
    std::wstring version = L"16.0.0.1";
    HRESULT get_Application(_Application** a) override { return *a = nullptr, E_NOTIMPL; }
    HRESULT get_Session(_NameSpace** n) override { return *n = nullptr, E_NOTIMPL; }
    HRESULT get_Version(BSTR* v) override { return OutText(version, v); }
    HRESULT GetNamespace(BSTR, _NameSpace** n) override { return *n = nullptr, E_NOTIMPL; }
    HRESULT ActiveInspector(_Inspector** i) override {
        *i = nullptr;
        return inspector ? Give(inspector, i) : S_OK;
    }
    HRESULT ActiveExplorer(_Explorer** e) override { return *e = nullptr, S_OK; }
    HRESULT CreateItem(OlItemType, IDispatch** i) override { return *i = nullptr, E_NOTIMPL; }
    HRESULT Quit() override { return S_OK; }
    HRESULT get_COMAddIns(COMAddIns** a) override { return *a = nullptr, E_NOTIMPL; }
};

}  // namespace fakes
