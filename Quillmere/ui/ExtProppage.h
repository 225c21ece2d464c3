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
#include "Quillmere/ui/DialogWindow.h"
#include "Quillmere/ui/PageBackground.h"
#include "platform/com/ComObject.h"
#include "platform/com/OleObject.h"
#include "platform/com/Variant.h"
#include "platform/outlook/Outlook.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Gdi.h"
#include "platform/win/ImageList.h"
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

// What the page needs of the running add-in. The page's default reaches the
// engine of g_pEngine; tests hand their own. UI thread only.
class IExtProppageEngine {
public:
    virtual ~IExtProppageEngine() = default;
    // False when no engine runs (the page then reads and writes no
    // profile settings and Apply writes nothing).
    virtual bool Exists() = 0;
    // The helper session (may be null; not AddRef'd).
    virtual QMRRDOSession* Session() = 0;
    // The add-in's directory, ending in a backslash.
    virtual std::wstring ModuleDirectory() = 0;
    virtual void SetMailAccountIndex(LONG index) = 0;
    virtual void SetSwitches(bool journal, bool desktopNotification, bool removeReminder) = 0;
};

// The engine of g_pEngine, looked up at every call.
std::unique_ptr<IExtProppageEngine> MakeRunningEngineAccess();

class CExtProppage final : public com::ComObject<CExtProppage, PropertyPage, IOleObject>,
                           public DialogWindow {
public:
    CExtProppage();
    ~CExtProppage() override;

    // PropertyPage. GetPageInfo: E_POINTER for a null out pointer, else
    // E_NOTIMPL. get_Dirty: the dirty flag (E_POINTER for null); S_OK.
    // Apply: writes the account and the switches (below); always S_OK and
    // the dirty flag stays as it is.
    HRESULT GetPageInfo(BSTR* helpFile, LONG* helpContext) override;
    HRESULT get_Dirty(VARIANT_BOOL* dirty) override;
    HRESULT Apply() override;

    // IDispatch: the page's fields by name, set as a person would set them
    // ("debug", "journal", "desktopnotification", "removereminder": "1" or
    // "0"; "account": the text of an entry of the account list). A put
    // creates the page's window (hidden, without parent) when it has none.
    // DISP_E_UNKNOWNNAME / DISP_E_MEMBERNOTFOUND for other names,
    // DISP_E_TYPEMISMATCH for a value that is no text.
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

    // Creates the page's window as a child of parent (null: a hidden
    // child of the desktop). Null when it exists already or cannot be made.
    HWND CreatePage(HWND parent);
    // Replaces the engine access (tests); the page owns it.
    void SetEngineAccess(std::unique_ptr<IExtProppageEngine> engine);

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
    // WM_CTLCOLORDLG / WM_CTLCOLORSTATIC: the captured tab background when
    // themed, else 0 (the default colours).
    LRESULT OnCtlColor(HDC dc, HWND control);

    void FillAccounts();
    void FillMailAddresses();
    void FillCategories();
    void FillConfigOverview();
    void LoadUserCategories();
    void SaveUserCategories();

    // The bitmap button attached to control id (">>" 315, "<<" 316), null
    // for any other id. For inspection.
    const CBmpBtn* BitmapButton(int id) const;

    // Dirty flag := VARIANT_TRUE, then tells the page site.
    void MarkDirty();
    void NotifySite();

    CComVariant m_dirty;
    CComPtr<IOleClientSite> m_clientSite;
    CComPtr<PropertyPageSite> m_pageSite;

private:
    void AttachButtons();
    void ReadSwitches();
    void SetTexts();
    void OpenLogViewer(const wchar_t* parameters);

    // ">>" and "<<" of the category links, attached for the page's
    // lifetime, and the image list they share (the page frees it).
    CBmpBtn m_addButton;
    CBmpBtn m_removeButton;
    HIMAGELIST m_buttonImages = nullptr;
    // The parent tab (the window that Outlook gives the page) and its
    // captured background.
    PageBackground m_background;
    std::unique_ptr<IExtProppageEngine> m_engine;
};

// Adds "Quillmere.ExtProppage" to the add-in module's creatable classes
// (done once by a static initialiser of this library; callable again).
void RegisterExtProppage();

}  // namespace ui
