// The helper library's stores, folders and their contents: QMRRDOStore(s),
// QMRMAPIFolder, QMRFolders, QMRItems, QMRMAPITable and the synchronizer
// with its differing items. Owner thread only (see QuillmereRDO.h).
#pragma once

#include <memory>
#include <vector>

#include "platform/rdo/RdoContext.h"
#include "platform/rdo/RdoObject.h"
#include "platform/store/ContentsTable.h"
#include "platform/store/Folder.h"
#include "platform/store/Synchronizer.h"

namespace rdo {

class RdoStore final : public RdoObject<RdoStore, QMRRDOStore, IRdoProps> {
public:
    RdoStore(std::shared_ptr<SessionContext> context, store::Session* session)
        : m_context(std::move(context)), m_session(session) {}

    HRESULT GetEntryID(BSTR* entryId) override;
    HRESULT GetName(BSTR* name) override;
    HRESULT GetStoreKind(LONG* kind) override;
    HRESULT GetDefaultFolder(LONG folderType, QMRMAPIFolder** folder) override;
    HRESULT GetRootFolder(QMRMAPIFolder** folder) override;
    HRESULT GetFields(ULONG tag, VARIANT* value) override;
    HRESULT GetMAPIOBJECT(IUnknown** mapiObject) override;

    bool IsOwnerThread() const override { return OnOwnerThread(); }
    HRESULT ReadProp(ULONG tag, mapi::PropValue* value) override;
    HRESULT WriteProp(ULONG tag, const mapi::PropValue& value, bool save) override;
    HRESULT NamedId(const mapi::NamedProperty& name, bool create, USHORT* id) override;

private:
    std::shared_ptr<SessionContext> m_context;
    store::Session* m_session;
};

class RdoStores final : public RdoObject<RdoStores, QMRRDOStores> {
public:
    explicit RdoStores(std::shared_ptr<SessionContext> context) : m_context(std::move(context)) {}
    HRESULT GetCount(LONG* count) override;
    HRESULT Item(LONG index, QMRRDOStore** store) override;
    HRESULT GetDefaultStore(QMRRDOStore** store) override;

private:
    std::shared_ptr<SessionContext> m_context;
};

class RdoFolder final : public RdoObject<RdoFolder, QMRMAPIFolder, IRdoProps> {
public:
    // An empty folder (made by ProgID), given its folder by PutMAPIOBJECT.
    RdoFolder() = default;
    RdoFolder(std::shared_ptr<SessionContext> context, store::Folder folder)
        : m_context(std::move(context)), m_folder(folder) {}

    HRESULT GetMAPIOBJECT(IUnknown** mapiObject) override;
    HRESULT PutMAPIOBJECT(IUnknown* mapiObject) override;
    HRESULT GetEntryID(BSTR* entryId) override;
    HRESULT GetStoreID(BSTR* storeId) override;
    HRESULT GetName(BSTR* name) override;
    HRESULT GetStore(QMRRDOStore** store) override;
    HRESULT GetParent(QMRMAPIFolder** parent) override;
    HRESULT GetFolders(QMRFolders** folders) override;
    HRESULT GetItems(QMRItems** items) override;
    HRESULT GetHiddenItems(QMRItems** items) override;
    HRESULT GetSynchronizer(QMRSynchronizer** synchronizer) override;
    HRESULT GetFields(ULONG tag, VARIANT* value) override;
    HRESULT SetFields(ULONG tag, VARIANT value) override;

    bool IsOwnerThread() const override { return OnOwnerThread(); }
    HRESULT ReadProp(ULONG tag, mapi::PropValue* value) override;
    HRESULT WriteProp(ULONG tag, const mapi::PropValue& value, bool save) override;
    HRESULT NamedId(const mapi::NamedProperty& name, bool create, USHORT* id) override;

    const store::Folder& StoreFolder() const { return m_folder; }
    const std::shared_ptr<SessionContext>& Context() const { return m_context; }

private:
    HRESULT Items(bool associated, QMRItems** items);

    std::shared_ptr<SessionContext> m_context;
    store::Folder m_folder;
};

class RdoFolders final : public RdoObject<RdoFolders, QMRFolders> {
public:
    RdoFolders(std::shared_ptr<SessionContext> context, store::Folder parent)
        : m_context(std::move(context)), m_parent(parent) {}
    HRESULT GetCount(LONG* count) override;
    HRESULT Item(VARIANT index, QMRMAPIFolder** folder) override;
    HRESULT Add(BSTR name, QMRMAPIFolder** folder) override;

private:
    std::shared_ptr<SessionContext> m_context;
    store::Folder m_parent;
};

class RdoItems final : public RdoObject<RdoItems, QMRItems> {
public:
    RdoItems(std::shared_ptr<SessionContext> context, store::Folder folder, bool associated)
        : m_context(std::move(context)), m_folder(folder), m_associated(associated) {}

    HRESULT GetCount(LONG* count) override;
    HRESULT Item(LONG index, QMRMessage** message) override;
    HRESULT GetFirst(QMRMessage** message) override;
    HRESULT GetNext(QMRMessage** message) override;
    HRESULT Add(VARIANT messageClass, QMRMessage** message) override;
    HRESULT Find(BSTR filter, QMRMessage** message) override;
    HRESULT FindNext(QMRMessage** message) override;
    HRESULT Sort(BSTR property, VARIANT_BOOL descending) override;
    HRESULT GetMAPITable(QMRMAPITable** table) override;

    const store::Folder& StoreFolder() const { return m_folder; }
    bool Associated() const { return m_associated; }
    const std::shared_ptr<SessionContext>& Context() const { return m_context; }

private:
    // Reads the entry ids in the current order.
    HRESULT Refresh();
    // Opens the message of m_order[index]; S_FALSE when it vanished.
    HRESULT Open(const store::Bytes& entryId, QMRMessage** message);

    std::shared_ptr<SessionContext> m_context;
    store::Folder m_folder;
    bool m_associated;
    store::SortOrder m_sort{mapi::PR_CREATION_TIME, false};
    bool m_sortSet = false;  // Find then follows m_sort too
    std::vector<store::Bytes> m_order;
    bool m_orderRead = false;
    std::size_t m_walk = 0;
    std::vector<store::Bytes> m_found;
    std::size_t m_nextFound = 0;
    bool m_searched = false;
};

class RdoTable final : public RdoObject<RdoTable, QMRMAPITable> {
public:
    RdoTable() = default;
    RdoTable(std::shared_ptr<SessionContext> context, std::unique_ptr<store::ContentsTable> table)
        : m_context(std::move(context)), m_table(std::move(table)) {}

    HRESULT PutItem(IUnknown* source) override;
    HRESULT SetColumns(VARIANT columns) override;
    HRESULT Sort(VARIANT columns, VARIANT descending) override;
    HRESULT GetRowCount(LONG* count) override;
    HRESULT GoToFirst() override;
    HRESULT GetRows(LONG count, VARIANT* rows) override;
    HRESULT SeekRow(LONG row) override;

private:
    std::shared_ptr<SessionContext> m_context;
    std::unique_ptr<store::ContentsTable> m_table;
    std::vector<ULONG> m_columns{mapi::PR_ENTRYID, mapi::PR_LAST_MODIFICATION_TIME};
};

class RdoSynchronizer final : public RdoObject<RdoSynchronizer, QMRSynchronizer> {
public:
    RdoSynchronizer(std::shared_ptr<SessionContext> context, store::Folder folder,
                    std::unique_ptr<store::Synchronizer> synchronizer)
        : m_context(std::move(context)),
          m_folder(folder),
          m_synchronizer(std::move(synchronizer)) {}
    HRESULT GetDifferingItems(BSTR state, QMRDifferingItems** items) override;

private:
    std::shared_ptr<SessionContext> m_context;
    store::Folder m_folder;
    std::unique_ptr<store::Synchronizer> m_synchronizer;
};

class RdoDifferingItems final : public RdoObject<RdoDifferingItems, QMRDifferingItems> {
public:
    RdoDifferingItems(std::shared_ptr<SessionContext> context, store::Session* session,
                      store::DifferingItems items)
        : m_context(std::move(context)), m_session(session), m_items(std::move(items)) {}
    HRESULT GetCount(LONG* count) override;
    HRESULT Item(LONG index, QMRDifferingItem** item) override;
    HRESULT GetSyncData(BSTR* state) override;

private:
    std::shared_ptr<SessionContext> m_context;
    store::Session* m_session;
    store::DifferingItems m_items;
};

class RdoDifferingItem final : public RdoObject<RdoDifferingItem, QMRDifferingItem> {
public:
    RdoDifferingItem(std::shared_ptr<SessionContext> context, store::Session* session,
                     store::DifferingItem item)
        : m_context(std::move(context)), m_session(session), m_item(std::move(item)) {}
    HRESULT GetSourceKey(BSTR* sourceKey) override;
    HRESULT GetChangeKind(LONG* kind) override;
    HRESULT GetChangeKey(BSTR* changeKey) override;
    HRESULT GetIsNew(VARIANT_BOOL* isNew) override;
    HRESULT GetLastModificationTime(VARIANT* time) override;
    HRESULT GetMessage(QMRMessage** message) override;

private:
    std::shared_ptr<SessionContext> m_context;
    store::Session* m_session;
    store::DifferingItem m_item;
};

// Opens the folder (or message / store) a MAPI object of this platform names,
// on the calling thread. E_INVALIDARG for anything else.
HRESULT OpenMapiFolder(IUnknown* mapiObject, std::shared_ptr<SessionContext>* context,
                       store::Folder* folder);

}  // namespace rdo
