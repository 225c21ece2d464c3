// The add-in's tab in the Properties dialog of an Outlook folder
// ("Quillmere.QuillmerePropPage"): whether the folder is synchronised or an
// alternate inbox, its share name and password, its partners, its own
// category, the item filters and the category filter, and a request for a
// basic synchronisation.
//
// The page serves the folder of the latest folder Properties event
// (GetLatestPropertiesFolder), reads that folder's key under
// "Software\Brindlecast\Quillmere\Folders" when its window is created and
// writes it back in Apply, which then makes the running add-in reload its
// configuration (RestartThreads).
//
// Outlook creates one page per opening of the dialog by ProgID, gives it its
// client site, lets it create its window and drives it through
// PropertyPage. Everything runs on Outlook's user-interface thread.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "Quillmere/ui/AutoCombo.h"
#include "Quillmere/ui/BmpBtn.h"
#include "Quillmere/ui/DialogWindow.h"
#include "Quillmere/ui/PageBackground.h"
#include "platform/com/ComObject.h"
#include "platform/com/OleObject.h"
#include "platform/com/Variant.h"
#include "platform/outlook/Outlook.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/ImageList.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Registry.h"
#include "platform/win/Types.h"

namespace ui {

namespace folderpage {

// Dialog template and control ids of the page.
constexpr WORD kTemplate = 1120;
constexpr int kVersionText = 255;
constexpr int kLayoutLine = 303;
constexpr int kSyncFolderCheck = 1221;
constexpr int kPageIcon = 297;
constexpr int kAlternateInboxCheck = 1223;
constexpr int kShareNameLabel = 251;
constexpr int kShareNameEdit = 1219;
constexpr int kPasswordLabel = 252;
constexpr int kPasswordEdit = 1222;
constexpr int kVersionCheckCheck = 1224;
constexpr int kBasicSyncCheck = 1227;
constexpr int kRecipientsLabel = 257;
constexpr int kUserCombo = 1215;
constexpr int kAddUserButton = 1216;
constexpr int kRemoveUserButton = 1218;
constexpr int kUserList = 1217;
constexpr int kAddressBookButton = 1220;
constexpr int kCategoryLabel = 253;
constexpr int kCategoryCombo = 1225;
constexpr int kSecondLine = -1;
constexpr int kFilterLabel = 254;
constexpr int kDontSyncPrivateCheck = 276;
constexpr int kSyncOnlyPrivateCheck = 279;
constexpr int kDontSyncMeetingsCheck = 277;
constexpr int kDontSyncHolidaysCheck = 278;
constexpr int kFilterCombo = 273;
constexpr int kAddFilterButton = 274;
constexpr int kRemoveFilterButton = 275;
constexpr int kFilterList = 272;
// A control id the page answers (with nothing) though the template has none.
constexpr int kUnusedCommand = 265;

}  // namespace folderpage

// {73F8E19A-3DEB-4c4d-BE07-31B1EDA8E25B}
inline constexpr CLSID CLSID_QuillmerePropPage{
    0x73F8E19A, 0x3DEB, 0x4C4D, {0xBE, 0x07, 0x31, 0xB1, 0xED, 0xA8, 0xE2, 0x5B}};

// What the page needs of the running add-in. The page's default reaches the
// engine of g_pEngine at every call; tests hand their own. UI thread only.
class IFolderPageEngine {
public:
    virtual ~IFolderPageEngine() = default;
    // False when no engine runs: the page then offers no categories, Apply
    // deletes no state files and restarts nothing.
    virtual bool Exists() = 0;
    // The engine's helper session (may be null; not AddRef'd).
    virtual QMRRDOSession* Session() = 0;
    // The add-in's directory and the data directory, each ending in a
    // backslash ("" without engine).
    virtual std::wstring ModuleDirectory() = 0;
    virtual std::wstring DataDirectory() = 0;
    // The add-in module's version text ("%d.%d.%d"; "" when unreadable).
    virtual std::wstring ModuleVersion() = 0;
    // Stops and frees every synchronised folder and loads the configuration
    // again (the exchange threads keep running).
    virtual void RestartThreads() = 0;
};

// The engine of g_pEngine, looked up at every call.
std::unique_ptr<IFolderPageEngine> MakeRunningFolderPageEngine();

class CQuillmerePropPage final
    : public com::ComObject<CQuillmerePropPage, PropertyPage, IOleObject>,
      public DialogWindow {
public:
    CQuillmerePropPage();
    ~CQuillmerePropPage() override;

    // PropertyPage. GetPageInfo: E_POINTER for a null out pointer, else
    // E_NOTIMPL. get_Dirty: the dirty flag (E_POINTER for null); S_OK.
    // Apply: writes or resets the folder's configuration (below); S_OK, or
    // S_FALSE when the administrator locked the folder settings. The dirty
    // flag stays as it is.
    HRESULT GetPageInfo(BSTR* helpFile, LONG* helpContext) override;
    HRESULT get_Dirty(VARIANT_BOOL* dirty) override;
    HRESULT Apply() override;

    // IDispatch: the page's fields by the names of the registry values they
    // stand for, set as a person would set them. Check boxes ("used",
    // "ISALTERNATEINBOX", "USEVERSIONCHECK", "BASICSYNC",
    // "DONT_SYNC_PRIV_ITEMS", "SYNC_ONLY_PRIV_ITEMS", "DONT_SYNC_BSP_ITEMS",
    // "DONT_SYNC_HOLIDAY_ITEMS") take "1" or "0" and are clicked when they
    // differ; "ShareName", "Password" and "Categorie" replace the field's
    // text; "Users" and "CategoriesFilter" type the text into the combo box
    // and press ">>" (a text "-name" selects that entry and presses "<<").
    // A put creates the page's window (hidden, without parent) when it has
    // none. A get gives the field's text ("1"/"0" for a check box; the list
    // entries joined by ";" for the two lists). DISP_E_UNKNOWNNAME /
    // DISP_E_MEMBERNOTFOUND for other names, DISP_E_TYPEMISMATCH for a value
    // that is no text, E_INVALIDARG when a control refuses the input (it is
    // disabled, the button is not enabled, the entry is missing).
    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(REFIID reserved, OLECHAR** names, UINT count, LCID lcid,
                          DISPID* ids) override;
    HRESULT Invoke(DISPID id, REFIID reserved, LCID lcid, WORD flags, DISPPARAMS* params,
                   VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr) override;

    // IOleObject: Outlook hands the page control its client site before the
    // window exists. Keeps the site and the site's PropertyPageSite (null
    // when it has none) in place of earlier ones; dirty flag :=
    // VARIANT_FALSE. S_OK. GetClientSite: the kept site; E_FAIL without one.
    HRESULT SetClientSite(IOleClientSite* site) override;
    HRESULT GetClientSite(IOleClientSite** site) override;

    // Creates the page's window as a child of parent (null: a hidden child
    // of the desktop, and the controls stay where the template put them).
    // Null when it exists already or cannot be made.
    HWND CreatePage(HWND parent);
    // Replaces the engine access (tests); the page owns it.
    void SetEngineAccess(std::unique_ptr<IFolderPageEngine> engine);

    // The keyboard hook of the page: the key-downs that Outlook's dialog
    // hands to the page before it dispatches them. True consumes the
    // message: Return aimed at the partner combo box or the filter combo
    // box, Delete aimed at the partner list or the filter list (each also
    // runs the matching ">>" or "<<" when that button is enabled).
    bool PreTranslateAccelerator(MSG* msg);

    bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                              LRESULT& result) override;

    // Handlers of the message map.
    void OnInitDialog();
    void OnHelp();
    LRESULT OnCtlColor(HDC dc, HWND control);
    void OnSyncFolderClicked();
    void OnAlternateInboxClicked();
    void OnDontSyncPrivateClicked();
    void OnSyncOnlyPrivateClicked();
    void OnUserSelChange();
    void OnAddUser();
    void OnRemoveUser();
    void OnChooseSyncRecipient();
    void OnUserListSelChange();
    void OnUserListDblClk();
    void OnUserListSelCancel();
    void OnUserListKillFocus();
    void OnFilterCategoryEditChange();
    void OnFilterCategorySelEndOk();
    void OnAddFilterCategory();
    void OnRemoveFilterCategory();
    void OnFilterListSelChange();
    void OnFilterListSelCancel();
    void OnFilterListKillFocus();

    // Enables the controls of a synchronised folder (enable) or those of a
    // folder that isn't one, as the folder's kind allows.
    void EnableSyncControls(bool enable);
    // The partner addresses of every configured folder, once each.
    void FillKnownUsersCombo();

    // Folder kinds from the folder's DefaultMessageClass (upper-cased;
    // false when it can't be read).
    bool IsMailFolder() const;
    bool IsCalendarFolder() const;
    bool IsNoteClassFolder() const;
    bool IsTaskFolder() const;

    bool IsAdminLocked() const { return m_adminLocked; }
    // The bitmap button attached to control id (1220, 1216, 1218, 274,
    // 275), null for any other id. For inspection.
    const CBmpBtn* BitmapButton(int id) const;

    // Dirty flag := VARIANT_TRUE, then tells the page site.
    void MarkDirty();
    void NotifySite();

    CComVariant m_dirty;
    CComPtr<IOleClientSite> m_clientSite;
    CComPtr<PropertyPageSite> m_pageSite;

private:
    // Apply's three outcomes.
    bool ShareNameClashes(HKEY folders, const std::wstring& entryId, const std::wstring& typed);
    void ResetFolder(const std::wstring& entryId);
    void WriteFolder(const std::wstring& entryId, const std::wstring& storeId,
                     const std::wstring& folderName, const std::wstring& profile);

    void ReadFolderKey(const std::wstring& entryId);
    void ReadAdminLock();
    void FillCategories();
    void AttachButtons();
    void KeepPrivateFiltersExclusive();
    HWND Item(int id) const;
    bool Checked(int id) const;
    std::wstring MessageClass() const;
    bool SetField(DISPID id, const std::wstring& value);
    std::wstring GetField(DISPID id) const;

    CAutoCombo m_userCombo;
    CAutoCombo m_categoryCombo;
    CAutoCombo m_filterCombo;
    CBmpBtn m_addressBookButton;
    CBmpBtn m_addUserButton;
    CBmpBtn m_removeUserButton;
    CBmpBtn m_addFilterButton;
    CBmpBtn m_removeFilterButton;
    // The buttons' one image list, shared by all five; the page frees it.
    HIMAGELIST m_buttonImages = nullptr;
    // The parent tab (the window that Outlook gives the page) and its
    // captured background.
    PageBackground m_background;
    bool m_adminLocked = false;
    std::unique_ptr<IFolderPageEngine> m_engine;
};

// Adds "Quillmere.QuillmerePropPage" to the add-in module's creatable
// classes (done once by a static initialiser of this library; callable
// again).
void RegisterQuillmerePropPage();

}  // namespace ui
