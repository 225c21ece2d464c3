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
#include "Quillmere/ui/PropertyPageControl.h"
#include "platform/com/Variant.h"
#include "platform/rdo/QuillmereRDO.h"
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

// What the page needs of the running add-in besides what every page needs.
// Without an engine (Exists false) the page offers no categories, Apply
// deletes no state files and restarts nothing. UI thread only.
class IFolderPageEngine : public IPageEngine {
public:
    // The data directory, ending in a backslash ("" without engine).
    virtual std::wstring DataDirectory() = 0;
    // The add-in module's version text ("%d.%d.%d"; "" when unreadable).
    virtual std::wstring ModuleVersion() = 0;
    // Stops and frees every synchronised folder and loads the configuration
    // again (the exchange threads keep running).
    virtual void RestartThreads() = 0;
};

// The engine of g_pEngine, looked up at every call.
std::unique_ptr<IFolderPageEngine> MakeRunningFolderPageEngine();

// PropertyPage (GetPageInfo, get_Dirty), IOleObject (SetClientSite,
// GetClientSite), CreatePage (under the desktop the controls stay where the
// template put them), SetEngineAccess, OnCtlColor, MarkDirty and NotifySite
// are the page control's (PropertyPageControl.h).
class CQuillmerePropPage final
    : public CPropertyPageControl<CQuillmerePropPage, IFolderPageEngine> {
public:
    CQuillmerePropPage();
    ~CQuillmerePropPage() override;

    // PropertyPage. Apply: writes or resets the folder's configuration
    // (below); S_OK, or S_FALSE when the administrator locked the folder
    // settings. The dirty flag stays as it is.
    HRESULT Apply() override;

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
    void OnSyncFolderClicked();
    void OnAlternateInboxClicked();
    void OnDontSyncPrivateClicked();
    void OnSyncOnlyPrivateClicked();
    void OnUserSelChange();
    void OnAddUser();
    // Shows the error message and returns true when text holds a backslash,
    // which can't stand in a registry key name.
    bool RefusedKeyName(const std::wstring& text);
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

    CAutoCombo m_userCombo;
    CAutoCombo m_categoryCombo;
    CAutoCombo m_filterCombo;
    CBmpBtn m_addressBookButton;
    CBmpBtn m_addUserButton;
    CBmpBtn m_removeUserButton;
    CBmpBtn m_addFilterButton;
    CBmpBtn m_removeFilterButton;
    bool m_adminLocked = false;
};

// Adds "Quillmere.QuillmerePropPage" to the add-in module's creatable
// classes (done once by a static initialiser of this library; callable
// again).
void RegisterQuillmerePropPage();

}  // namespace ui
