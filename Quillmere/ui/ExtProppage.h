// The add-in's tab in Outlook's Options dialog ("Quillmere.ExtProppage"):
// the mail account used for sending, the four switches (debug log, journal
// tracking, desktop notifications, reminder removal), the links between
// partner addresses and categories, an overview of the synchronised folders
// and the two links that start the log viewer.
//
// Outlook creates one page per opening of its Options dialog by ProgID,
// gives it its client site, lets it create its window and drives it through
// PropertyPage. Everything runs on Outlook's user-interface thread.
#pragma once

#include <memory>
#include <string>

#include "Quillmere/ui/BmpBtn.h"
#include "Quillmere/ui/PropertyPageControl.h"
#include "platform/com/Variant.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

namespace ui {

// Dialog template and control ids of the page.
constexpr WORD kExtProppageTemplate = 131;
constexpr int kFirstSeparator = 304;
constexpr int kPageIconStatic = 305;
constexpr int kAccountCombo = 306;
constexpr int kAccountLabel = 307;
constexpr int kDebugCheck = 308;
constexpr int kJournalCheck = 309;
constexpr int kDesktopNotificationCheck = 310;
constexpr int kRemoveRemindersCheck = 311;
constexpr int kCategorySeparator = 313;
constexpr int kAddressCombo = 312;
constexpr int kCategoryCombo = 314;
constexpr int kAddCategoryButton = 315;
constexpr int kRemoveCategoryButton = 316;
constexpr int kLinkedCategoriesList = 317;
constexpr int kCategoriesLabel = 318;
constexpr int kDebugLogLink = 319;
constexpr int kErrorLogLink = 320;
constexpr int kLogSeparator = 321;
constexpr int kOverviewSeparator = 323;
constexpr int kOverviewList = 322;
constexpr int kOverviewLabel = 324;

// {21FDC5EE-4798-4CAB-B259-41ABA75F8F0F}
inline constexpr CLSID CLSID_ExtProppage{
    0x21FDC5EE, 0x4798, 0x4CAB, {0xB2, 0x59, 0x41, 0xAB, 0xA7, 0x5F, 0x8F, 0x0F}};

// What the page needs of the running add-in besides what every page needs.
// Without an engine (Exists false) the page reads and writes no profile
// settings and Apply writes nothing. UI thread only.
class IExtProppageEngine : public IPageEngine {
public:
    virtual void SetMailAccountIndex(LONG index) = 0;
    virtual void SetSwitches(bool journal, bool desktopNotification, bool removeReminder) = 0;
};

// The engine of g_pEngine, looked up at every call.
std::unique_ptr<IExtProppageEngine> MakeRunningEngineAccess();

// PropertyPage (GetPageInfo, get_Dirty), IOleObject (SetClientSite,
// GetClientSite), CreatePage, SetEngineAccess, OnCtlColor, MarkDirty and
// NotifySite are the page control's (PropertyPageControl.h).
class CExtProppage final : public CPropertyPageControl<CExtProppage, IExtProppageEngine> {
public:
    CExtProppage();
    ~CExtProppage() override;

    // PropertyPage. Apply: writes the account and the switches (below);
    // always S_OK and the dirty flag stays as it is.
    HRESULT Apply() override;

    bool ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam,
                              LRESULT& result) override;

    // Handlers of the message map.
    void OnInitDialog();
    void OnAccountSelChange();
    void OnSwitchClicked(int id);
    void OnMailOrCategoryChange();
    void OnAddCategory();
    void OnRemoveCategory();
    void OnMappingSelChange();
    void OnOpenDebugLog();
    void OnOpenErrorLog();

    void FillAccounts();
    void FillMailAddresses();
    void FillCategories();
    void FillConfigOverview();
    void LoadUserCategories();
    void SaveUserCategories();

    // The bitmap button attached to control id (">>" 315, "<<" 316), null
    // for any other id. For inspection.
    const CBmpBtn* BitmapButton(int id) const;

private:
    void AttachButtons();
    void ReadSwitches();
    void SetTexts();
    void OpenLogViewer(const wchar_t* parameters);

    // ">>" and "<<" of the category links, attached for the page's
    // lifetime; they share the page control's image list.
    CBmpBtn m_addButton;
    CBmpBtn m_removeButton;
};

// Adds "Quillmere.ExtProppage" to the add-in module's creatable classes
// (done once by a static initialiser of this library; callable again).
void RegisterExtProppage();

}  // namespace ui
