// Test doubles of the helper library (a session with its stores and folders,
// the utilities) and of Outlook's namespace, for the core's unit tests.
// Each fake records what the code under test asked and answers from plain
// fields that the test sets.
#pragma once

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <map>
#include <string>
#include <vector>

#include "Quillmere/core/OutlookAccess.h"
#include "platform/com/ComObject.h"
#include "platform/rdo/QuillmereRDO.h"

namespace fakes {

// IDispatch methods answered E_NOTIMPL: the core never calls them on these.
template <class Derived, class... Interfaces>
class FakeDispatch : public com::ComObject<Derived, Interfaces...> {
public:
    HRESULT GetTypeInfoCount(UINT* count) override {
        if (count)
            *count = 0;
        return E_NOTIMPL;
    }
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

inline HRESULT OutText(const std::wstring& text, BSTR* out) {
    if (!out)
        return E_POINTER;
    *out = SysAllocString(text.c_str());
    return S_OK;
}

// Hands out an object through an [out] interface pointer with a reference.
template <class I, class T>
HRESULT Give(const CComPtr<T>& object, I** out) {
    *out = object.p;
    if (!object)
        return E_POINTER;
    object->AddRef();
    return S_OK;
}

class FakeStore;

class FakeFolders;

class FakeFolder final : public FakeDispatch<FakeFolder, QMRMAPIFolder> {
public:
    std::wstring entryId, storeId, name;
    FakeFolder* parent = nullptr;  // not owned: parents hold their children
    CComPtr<FakeFolders> folders;
    CComPtr<FakeStore> store;
    std::map<ULONG, std::vector<BYTE>> binaryFields;
    HRESULT GetMAPIOBJECT(IUnknown** o) override { return *o = nullptr, E_NOTIMPL; }
    HRESULT PutMAPIOBJECT(IUnknown*) override { return E_NOTIMPL; }
    HRESULT GetEntryID(BSTR* v) override { return OutText(entryId, v); }
    HRESULT GetStoreID(BSTR* v) override { return OutText(storeId, v); }
    HRESULT GetName(BSTR* v) override { return OutText(name, v); }
    HRESULT GetStore(QMRRDOStore** s) override;
    HRESULT GetParent(QMRMAPIFolder** p) override {
        *p = nullptr;
        return parent ? Give(CComPtr<FakeFolder>(parent), p) : MAPI_E_NOT_FOUND;
    }
    HRESULT GetFolders(QMRFolders** f) override;
    HRESULT GetItems(QMRItems** i) override { return *i = nullptr, E_NOTIMPL; }
    HRESULT GetHiddenItems(QMRItems** i) override { return *i = nullptr, E_NOTIMPL; }
    HRESULT GetSynchronizer(QMRSynchronizer** s) override { return *s = nullptr, E_NOTIMPL; }
    HRESULT GetFields(ULONG, VARIANT*) override { return E_NOTIMPL; }
    HRESULT SetFields(ULONG tag, VARIANT value) override {
        std::vector<BYTE> bytes;
        if (!BinaryFromVariant(value, bytes))
            return MAPI_E_INVALID_TYPE;
        binaryFields[tag] = bytes;
        return S_OK;
    }
};

// Subfolders; Add refuses a name that exists (case-insensitive), as a store does.
class FakeFolders final : public FakeDispatch<FakeFolders, QMRFolders> {
public:
    std::vector<CComPtr<FakeFolder>> folders;
    int adds = 0;
    HRESULT GetCount(LONG* c) override { return *c = static_cast<LONG>(folders.size()), S_OK; }
    HRESULT Item(VARIANT index, QMRMAPIFolder** f) override {
        *f = nullptr;
        if (index.vt != VT_I4 || index.lVal < 1 || index.lVal > static_cast<LONG>(folders.size()))
            return static_cast<HRESULT>(0x8002000B);
        return Give(folders[index.lVal - 1], f);
    }
    HRESULT Add(BSTR name, QMRMAPIFolder** f) override {
        *f = nullptr;
        std::wstring wanted = name ? name : L"";
        for (auto& folder : folders) {
            std::wstring have = folder->name;
            if (have.size() == wanted.size() &&
                std::equal(have.begin(), have.end(), wanted.begin(),
                           [](wchar_t a, wchar_t b) { return towlower(a) == towlower(b); }))
                return static_cast<HRESULT>(0x80040604);
        }
        ++adds;
        auto folder = com::Make<FakeFolder>();
        folder->name = wanted;
        folders.push_back(folder);
        return Give(folder, f);
    }
};

inline HRESULT FakeFolder::GetFolders(QMRFolders** f) {
    *f = nullptr;
    return folders ? Give(folders, f) : MAPI_E_NOT_FOUND;
}

class FakeStore final : public FakeDispatch<FakeStore, QMRRDOStore> {
public:
    std::wstring entryId, name;
    LONG kind = 2;
    CComPtr<FakeFolder> inbox;  // null: the store has no Inbox
    HRESULT GetEntryID(BSTR* v) override { return OutText(entryId, v); }
    HRESULT GetName(BSTR* v) override { return OutText(name, v); }
    HRESULT GetStoreKind(LONG* k) override { return *k = kind, S_OK; }
    HRESULT GetDefaultFolder(LONG type, QMRMAPIFolder** f) override {
        *f = nullptr;
        if (type != 6 || !inbox)
            return MAPI_E_NOT_FOUND;
        return Give(inbox, f);
    }
    HRESULT GetRootFolder(QMRMAPIFolder** f) override { return *f = nullptr, E_NOTIMPL; }
    HRESULT GetFields(ULONG, VARIANT*) override { return MAPI_E_NOT_FOUND; }
    HRESULT GetMAPIOBJECT(IUnknown** o) override { return *o = nullptr, E_NOTIMPL; }
    std::vector<BYTE> provider;  // PR_MDB_PROVIDER; empty: the store has none
};

inline HRESULT FakeFolder::GetStore(QMRRDOStore** s) {
    *s = nullptr;
    return store ? Give(store, s) : MAPI_E_NOT_FOUND;
}

class FakeStores final : public FakeDispatch<FakeStores, QMRRDOStores> {
public:
    std::vector<CComPtr<FakeStore>> stores;
    size_t defaultIndex = 0;
    HRESULT GetCount(LONG* c) override { return *c = static_cast<LONG>(stores.size()), S_OK; }
    HRESULT Item(LONG i, QMRRDOStore** s) override {
        *s = nullptr;
        if (i < 1 || i > static_cast<LONG>(stores.size()))
            return static_cast<HRESULT>(0x8002000B);
        return Give(stores[i - 1], s);
    }
    HRESULT GetDefaultStore(QMRRDOStore** s) override {
        *s = nullptr;
        if (defaultIndex >= stores.size())
            return MAPI_E_NOT_FOUND;
        return Give(stores[defaultIndex], s);
    }
};

class FakeSession final : public FakeDispatch<FakeSession, QMRRDOSession> {
public:
    std::wstring profileName = L"Outlook";
    std::atomic<LONG> connectionMode{0};
    std::wstring exchangeVersion;
    HRESULT putMapiObjectResult = S_OK;
    // Logon answers these in turn, then the last one for every further call.
    std::vector<HRESULT> logonResults{S_OK};
    std::atomic<int> logonCalls{0};
    std::atomic<int> logoffCalls{0};
    int putMapiObjectCalls = 0;
    CComPtr<FakeStores> stores = com::Make<FakeStores>();
    CComPtr<FakeFolder> defaultInbox;
    std::atomic<HRESULT> getFolderFromIdResult{S_OK};

    FakeStore* FindStore(const std::wstring& id) {
        for (auto& s : stores->stores)
            if (s->entryId == id)
                return s;
        return nullptr;
    }

    HRESULT Logon(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT) override {
        HRESULT hr = logonResults[std::min<size_t>(logonCalls.load(), logonResults.size() - 1)];
        ++logonCalls;
        return hr;
    }
    HRESULT Logoff() override { return ++logoffCalls, S_OK; }
    HRESULT GetLoggedOn(VARIANT_BOOL* v) override { return *v = VARIANT_TRUE, S_OK; }
    HRESULT GetMAPIOBJECT(IUnknown** o) override { return *o = nullptr, E_NOTIMPL; }
    HRESULT PutMAPIOBJECT(IUnknown*) override { return ++putMapiObjectCalls, putMapiObjectResult; }
    HRESULT ClearOption(LONG) override { return S_OK; }
    HRESULT GetProfileName(BSTR* v) override { return OutText(profileName, v); }
    HRESULT GetConnectionMode(LONG* m) override { return *m = connectionMode, S_OK; }
    HRESULT GetExchangeVersion(BSTR* v) override { return OutText(exchangeVersion, v); }
    HRESULT GetDefaultFolder(LONG type, QMRMAPIFolder** f) override {
        *f = nullptr;
        if (type != 6 || !defaultInbox)
            return MAPI_E_NOT_FOUND;
        return Give(defaultInbox, f);
    }
    // Folders by entry id; an id not listed gives the default Inbox.
    std::map<std::wstring, CComPtr<FakeFolder>> foldersById;
    HRESULT GetFolderFromID(BSTR id, BSTR, VARIANT, QMRMAPIFolder** f) override {
        *f = nullptr;
        if (FAILED(getFolderFromIdResult))
            return getFolderFromIdResult;
        auto it = foldersById.find(id ? id : L"");
        if (it != foldersById.end())
            return Give(it->second, f);
        return Give(defaultInbox, f);
    }
    HRESULT GetMessageFromID(BSTR, BSTR, VARIANT, QMRMessage** m) override {
        return *m = nullptr, E_NOTIMPL;
    }
    HRESULT GetStoreFromID(BSTR id, VARIANT, QMRRDOStore** s) override {
        *s = nullptr;
        FakeStore* store = FindStore(id ? id : L"");
        if (!store)
            return MAPI_E_NOT_FOUND;
        store->AddRef();
        *s = store;
        return S_OK;
    }
    HRESULT GetStores(QMRRDOStores** s) override { return Give(stores, s); }
    HRESULT GetAccounts(QMRAccounts** a) override { return *a = nullptr, E_NOTIMPL; }
    HRESULT GetCategories(QMRCategories** c) override { return *c = nullptr, E_NOTIMPL; }
    HRESULT GetAddressBook(QMRAddressBook** a) override { return *a = nullptr, E_NOTIMPL; }
    HRESULT GetMessageFromMsgFile(BSTR, VARIANT_BOOL, QMRMessage** m) override {
        return *m = nullptr, E_NOTIMPL;
    }
};

// The utilities: hex conversions and PR_MDB_PROVIDER of a FakeStore.
class FakeUtils final : public FakeDispatch<FakeUtils, QMRMAPIUtils> {
public:
    HRESULT HrGetOneProp(IUnknown* object, ULONG tag, VARIANT* value) override {
        VariantInit(value);
        CComQIPtr<QMRRDOStore> store(object);
        auto* fake = static_cast<FakeStore*>(store.p);
        if (!fake || tag != 0x34140102 || fake->provider.empty())
            return MAPI_E_NOT_FOUND;
        CComVariant v = BinaryVariant(fake->provider.data(), fake->provider.size());
        return v.Detach(value);
    }
    HRESULT HrSetOneProp(IUnknown*, ULONG, VARIANT, VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT GetIDsFromNames(IUnknown*, BSTR, VARIANT, VARIANT_BOOL, ULONG*) override {
        return E_NOTIMPL;
    }
    HRESULT CompareEntryIDs(BSTR a, BSTR b, VARIANT_BOOL* same) override {
        *same =
            std::wstring(a ? a : L"") == std::wstring(b ? b : L"") ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    HRESULT BinaryToText(VARIANT binary, BSTR* text) override {
        std::vector<BYTE> bytes;
        if (!BinaryFromVariant(binary, bytes))
            return E_INVALIDARG;
        static const wchar_t kHex[] = L"0123456789ABCDEF";
        std::wstring out;
        for (BYTE b : bytes) {
            out += kHex[b >> 4];
            out += kHex[b & 15];
        }
        return OutText(out, text);
    }
    HRESULT TextToBinary(BSTR text, VARIANT* binary) override {
        std::wstring in = text ? text : L"";
        if (in.size() % 2)
            return E_INVALIDARG;
        std::vector<BYTE> bytes;
        for (size_t i = 0; i < in.size(); i += 2)
            bytes.push_back(static_cast<BYTE>(std::stoi(in.substr(i, 2), nullptr, 16)));
        CComVariant v = BinaryVariant(bytes.data(), bytes.size());
        return v.Detach(binary);
    }
    HRESULT ConvertModificationTime(VARIANT, DATE*) override { return E_NOTIMPL; }
    HRESULT AddressBookDialog(VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT, VARIANT,
                              VARIANT, VARIANT, QMRRecipients** r) override {
        return *r = nullptr, E_NOTIMPL;
    }
    HRESULT GetVersion(BSTR* v) override { return OutText(L"5.0.0.1", v); }
    HRESULT Cleanup() override { return S_OK; }
};

// An Outlook folder as the fake namespace hands it out.
class FakeOutlookFolder final : public FakeDispatch<FakeOutlookFolder, IDispatch> {};

// Outlook's namespace: folders by entry id (with the store id they need).
class FakeOutlook final : public core::IOutlookAccess {
public:
    struct Folder {
        std::wstring storeId;
        std::wstring name;
        LONG type = 1;
    };
    std::map<std::wstring, Folder> folders;
    std::wstring version = L"9.0.0.1234";
    HRESULT versionResult = S_OK;
    int mapiObjectCalls = 0;

    HRESULT GetFolderFromID(const std::wstring& entryId, const std::wstring& storeId,
                            core::OutlookFolder& out) override {
        auto it = folders.find(entryId);
        if (it == folders.end() || it->second.storeId != storeId)
            return MAPI_E_NOT_FOUND;
        out.folder = com::Make<FakeOutlookFolder, IDispatch>();
        out.name = it->second.name;
        out.entryId = entryId;
        out.storeId = storeId;
        return S_OK;
    }
    HRESULT GetVersion(std::wstring& v) override {
        v = version;
        return versionResult;
    }
    HRESULT GetMAPIOBJECT(IUnknown** session) override {
        ++mapiObjectCalls;
        *session = com::Make<FakeOutlookFolder, IDispatch>().Detach();
        return S_OK;
    }
    _NameSpace* NameSpace() override { return nameSpace; }
    _NameSpace* nameSpace = nullptr;
};

}  // namespace fakes
