// OpenedElements: the item open in Outlook's active inspector window, as the
// folder threads use it to put off a check while an item of their folder is
// being edited.
//
// Threads: built where its caller runs (Outlook's objects may be called from
// any thread; the stand-in and the platform marshal the calls).
#pragma once

#include "platform/com/Bstr.h"
#include "platform/outlook/Outlook.h"

class OpenedElements {
public:
    // Fills the record from application's ActiveInspector: the current
    // item's EntryID (DISPID 0xF01E, a BSTR) and its parent folder's EntryID.
    // Without an inspector, or when either id is no BSTR, the record stays
    // invalid. Logs "OpenedElements:Foldername is: " with the folder's name.
    explicit OpenedElements(_Application* application);

    // Copies of the item's and the folder's entry ids (the caller frees them).
    BSTR GetFirstID() const { return m_itemId.Copy(); }
    BSTR GetSecondID() const { return m_folderId.Copy(); }
    bool IsValid() const { return m_valid; }

private:
    CComBSTR m_itemId;
    CComBSTR m_folderId;
    bool m_valid = false;
};
