// The helper library's session (QMRRDOSession) and the profile-wide
// collections it hands out: address book, accounts and categories. Owner
// thread only (see QuillmereRDO.h).
#pragma once

#include <memory>
#include <vector>

#include "platform/rdo/RdoContext.h"
#include "platform/rdo/RdoObject.h"

namespace rdo {

class RdoSession final : public RdoObject<RdoSession, QMRRDOSession> {
public:
    HRESULT Logon(VARIANT profileName, VARIANT password, VARIANT showDialog, VARIANT newSession,
                  VARIANT parentWindow, VARIANT noMailbox) override;
    HRESULT Logoff() override;
    HRESULT GetLoggedOn(VARIANT_BOOL* loggedOn) override;
    HRESULT GetMAPIOBJECT(IUnknown** mapiSession) override;
    HRESULT PutMAPIOBJECT(IUnknown* mapiSession) override;
    HRESULT ClearOption(LONG option) override;
    HRESULT GetProfileName(BSTR* name) override;
    HRESULT GetConnectionMode(LONG* mode) override;
    HRESULT GetExchangeVersion(BSTR* version) override;
    HRESULT GetDefaultFolder(LONG folderType, QMRMAPIFolder** folder) override;
    HRESULT GetFolderFromID(BSTR entryId, BSTR storeId, VARIANT flags,
                            QMRMAPIFolder** folder) override;
    HRESULT GetMessageFromID(BSTR entryId, BSTR storeId, VARIANT flags,
                             QMRMessage** message) override;
    HRESULT GetStoreFromID(BSTR storeId, VARIANT flags, QMRRDOStore** store) override;
    HRESULT GetStores(QMRRDOStores** stores) override;
    HRESULT GetAccounts(QMRAccounts** accounts) override;
    HRESULT GetCategories(QMRCategories** categories) override;
    HRESULT GetAddressBook(QMRAddressBook** addressBook) override;
    HRESULT GetMessageFromMsgFile(BSTR path, VARIANT_BOOL createNew, QMRMessage** message) override;

private:
    // The store named by a store id text, or (no text) the one the entry id
    // carries.
    HRESULT StoreFor(BSTR storeId, const store::Bytes& entryId, store::Session** out);

    std::shared_ptr<SessionContext> m_context;  // null while not logged on
};

class RdoAddressEntry final : public RdoObject<RdoAddressEntry, QMRAddressEntry> {
public:
    explicit RdoAddressEntry(store::AddressEntry entry) : m_entry(std::move(entry)) {}
    HRESULT GetName(BSTR* name) override;
    HRESULT GetAddressText(BSTR* address) override;
    HRESULT GetAddressType(BSTR* type) override;

private:
    store::AddressEntry m_entry;
};

class RdoAddressBook final : public RdoObject<RdoAddressBook, QMRAddressBook> {
public:
    explicit RdoAddressBook(std::shared_ptr<SessionContext> context)
        : m_context(std::move(context)) {}
    HRESULT ResolveName(BSTR name, QMRAddressEntry** entry) override;

private:
    std::shared_ptr<SessionContext> m_context;
};

class RdoAccount final : public RdoObject<RdoAccount, QMRAccount> {
public:
    explicit RdoAccount(ProfileAccount account) : m_account(std::move(account)) {}
    HRESULT Name(BSTR* name) override;
    HRESULT ID(LONG* id) override;
    const ProfileAccount& Account() const { return m_account; }

private:
    ProfileAccount m_account;
};

class RdoAccountList final : public RdoObject<RdoAccountList, QMRAccountList> {
public:
    explicit RdoAccountList(std::vector<ProfileAccount> accounts)
        : m_accounts(std::move(accounts)) {}
    HRESULT Count(LONG* count) override;
    HRESULT Item(LONG index, QMRAccount** account) override;

private:
    std::vector<ProfileAccount> m_accounts;
};

class RdoAccounts final : public RdoObject<RdoAccounts, QMRAccounts> {
public:
    explicit RdoAccounts(std::vector<ProfileAccount> accounts) : m_accounts(std::move(accounts)) {}
    HRESULT GetCount(LONG* count) override;
    HRESULT GetOrder(LONG kind, QMRAccountList** list) override;

private:
    std::vector<ProfileAccount> m_accounts;
};

class RdoCategory final : public RdoObject<RdoCategory, QMRCategory> {
public:
    explicit RdoCategory(std::wstring name) : m_name(std::move(name)) {}
    HRESULT Name(BSTR* name) override;

private:
    std::wstring m_name;
};

class RdoCategories final : public RdoObject<RdoCategories, QMRCategories> {
public:
    explicit RdoCategories(std::vector<std::wstring> names) : m_names(std::move(names)) {}
    HRESULT Count(LONG* count) override;
    HRESULT Item(VARIANT index, QMRCategory** category) override;

private:
    std::vector<std::wstring> m_names;
};

}  // namespace rdo
