// Incremental change synchronisation of one folder (the Exchange kinds only):
// from a state text, the normal messages new, changed and deleted since that
// state, and the state that covers them.
//
// State texts are opaque to callers: "QMS1-" followed by hex digits of the
// store GUID, the folder id and the change number they reach. The empty text
// is the initial state (every message present is new). A state of another
// store or folder, a malformed one, or one beyond the store's latest change
// is unusable.
//
// Threading: as its Session, which must outlive the synchronizer.
#pragma once

#include <string>
#include <vector>

#include "platform/store/Folder.h"
#include "platform/store/StoreTypes.h"

namespace store {

// As the product reads a differing item's change kind.
enum class ChangeKind : LONG {
    NewOrChanged = 0,  // IsNew tells which
    Deleted = 1,       // deleted or moved out of the folder
    ReadState = 2,     // only the read flag changed (this store reports such
                       // saves as NewOrChanged; the value is reserved)
};

struct DifferingItem {
    Bytes sourceKey;
    ChangeKind kind = ChangeKind::NewOrChanged;
    // New since the state (created, or moved in, after it).
    bool isNew = false;
    // Empty for deletions.
    Bytes changeKey;
    // Open it with Session::OpenMessage; empty for deletions.
    Bytes entryId;
    // PR_LAST_MODIFICATION_TIME (FILETIME as 100-ns units); 0 for deletions.
    ULONGLONG lastModificationTime = 0;
};

struct DifferingItems {
    // In change order (oldest change first).
    std::vector<DifferingItem> items;
    // The state after these items: asking with it reports nothing until the
    // folder changes again.
    std::string newState;
};

class Synchronizer {
public:
    explicit Synchronizer(Folder folder) : m_folder(folder) {}

    // The differences since state, read in one snapshot of the store.
    // E_INVALIDARG (0x80070057) for an unusable state; MAPI_E_NO_SUPPORT
    // (0x80040102) in a store without incremental change synchronisation;
    // the Synchronize fault when one is set (e.g. MAPI_E_NETWORK_ERROR,
    // 0x80040115); MAPI_E_NOT_FOUND when the folder is gone.
    HRESULT GetDifferingItems(const std::string& state, DifferingItems* out);

private:
    Folder m_folder;
};

}  // namespace store
