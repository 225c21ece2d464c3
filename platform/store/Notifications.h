// Change notifications: every committed change to a folder or message made
// through any Session of this process is reported to the observers advised
// here (the mail client stand-in turns them into item events on its UI
// thread).
//
// Ordering and threading: observers are called on the thread that committed
// the change, after the commit, with no store lock held, once per changed
// object per commit, in the order of the changes within that commit. An
// observer may call into the store (its own sessions) and may advise or
// unadvise observers. Changes made by other processes are not reported.
#pragma once

#include <functional>

#include "platform/store/StoreTypes.h"

namespace store {

enum class ChangeEvent : LONG {
    Added = 1,     // created, copied in, or moved in
    Modified = 2,  // saved again, submitted, renamed
    Removed = 3,   // deleted, or moved out
};

struct ChangeNotification {
    ChangeEvent event = ChangeEvent::Modified;
    ObjectType objectType = ObjectType::Message;
    GUID storeGuid{};
    // The folder the object is in (for Removed after a move: the folder it
    // left; for a folder: its parent folder, empty for the top folder).
    Bytes folderEntryId;
    // The message's or the folder's own entry id.
    Bytes entryId;
    // True for hidden (associated) messages.
    bool associated = false;
};

using ChangeObserver = std::function<void(const ChangeNotification&)>;

// Registers observer; returns its cookie (never 0). Any thread.
ULONG AdviseChanges(ChangeObserver observer);
// Unregisters the cookie's observer. When this returns, no call of that
// observer is running on another thread and none will start (a call on the
// calling thread itself, i.e. Unadvise from inside the observer, is allowed
// and finishes normally). An observer must therefore never wait for the
// thread that unadvises it. Unknown cookies are ignored. Any thread.
void UnadviseChanges(ULONG cookie);

}  // namespace store
