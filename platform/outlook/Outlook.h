// The mail client's object model as the add-in and the rule helper include
// it: Outlook's dual interfaces (and Office's add-in interfaces) in C++ form,
// with the interface ids of the published type libraries.
//
// Two forms of every member, as the type-library import of the platform
// gives them:
//   - the raw form, a virtual method that returns an HRESULT: properties as
//     get_Name(BSTR*) / put_Name(BSTR), methods as GetNamespace(BSTR,
//     _NameSpace**); each method also has the alias raw_GetNamespace;
//   - the throwing form, an inline wrapper that returns the value and raises
//     _com_error with the failing HRESULT: GetName(), PutName(text),
//     GetNamespace(L"MAPI") -> _NameSpacePtr.
// Smart pointers `<Interface>Ptr` (CComQIPtr) hold the objects.
//
// COM rules throughout: [in] BSTRs, VARIANTs and interfaces stay the
// caller's; [out] ones become the caller's. An [out] pointer is set (to null,
// an empty text or VT_EMPTY) even when the call fails; a null [out] pointer
// gives E_POINTER. Texts that the platform can return as "no value" come back
// as an empty BSTR.
//
// Late binding: every object also answers IDispatch::Invoke by DISPID for
// the members listed with each interface below (property get with
// DISPATCH_PROPERTYGET or DISPATCH_METHOD, put with DISPATCH_PROPERTYPUT);
// an unknown DISPID gives DISP_E_MEMBERNOTFOUND. GetIDsOfNames maps the
// member names (case-insensitive) to those DISPIDs. The numbers the add-in
// uses by number (EntryID, Parent, StoreID, MAPIOBJECT and the events) are
// the published ones.
//
// Threading: objects of the stand-in may be called from any thread (the real
// platform marshals such calls to the client's thread); they are internally
// synchronised. Events are raised only on the client's UI thread.
//
// Errors common to members that reach the store: MAPI_E_NOT_FOUND when the
// item or folder has vanished, MAPI_E_INVALID_ENTRYID for an id text that is
// no entry id, E_INVALIDARG for an id text that is no hexadecimal, and the
// store's own errors (platform/store/Session.h).
#pragma once

#include "platform/com/Bstr.h"
#include "platform/com/ComError.h"
#include "platform/com/Dispatch.h"
#include "platform/com/SafeArray.h"
#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"

struct _Application;
struct _NameSpace;
struct _Explorer;
struct _Inspector;
struct _Store;
struct MAPIFolder;
struct _Folders;
struct _Items;
struct _MailItem;
struct _AppointmentItem;
struct _JournalItem;
struct COMAddIn;
struct COMAddIns;
struct PropertyPages;
struct PropertyPage;
struct PropertyPageSite;
struct _Rules;
struct _Rule;
struct _RuleConditions;
struct _TextRuleCondition;
struct _RuleActions;
struct _MoveOrCopyRuleAction;

namespace outlook::detail {
constexpr GUID OutlookIid(DWORD data1) {
    return GUID{data1, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
}
}  // namespace outlook::detail

// --- Interface ids -----------------------------------------------------------

inline constexpr IID IID__Application = outlook::detail::OutlookIid(0x00063001);
inline constexpr IID IID__NameSpace = outlook::detail::OutlookIid(0x00063002);
inline constexpr IID IID__Explorer = outlook::detail::OutlookIid(0x00063003);
inline constexpr IID IID__Inspector = outlook::detail::OutlookIid(0x00063005);
inline constexpr IID IID_MAPIFolder = outlook::detail::OutlookIid(0x00063006);
inline constexpr IID IID__JournalItem = outlook::detail::OutlookIid(0x00063022);
inline constexpr IID IID__AppointmentItem = outlook::detail::OutlookIid(0x00063033);
inline constexpr IID IID__MailItem = outlook::detail::OutlookIid(0x00063034);
inline constexpr IID IID__Folders = outlook::detail::OutlookIid(0x00063040);
inline constexpr IID IID__Items = outlook::detail::OutlookIid(0x00063041);
inline constexpr IID IID_ApplicationEvents_11 = outlook::detail::OutlookIid(0x0006304E);
inline constexpr IID IID_ItemsEvents = outlook::detail::OutlookIid(0x00063077);
inline constexpr IID IID_PropertyPage = outlook::detail::OutlookIid(0x0006307E);
inline constexpr IID IID_PropertyPageSite = outlook::detail::OutlookIid(0x0006307F);
inline constexpr IID IID_PropertyPages = outlook::detail::OutlookIid(0x00063080);
inline constexpr IID IID_NameSpaceEvents = outlook::detail::OutlookIid(0x0006308C);
inline constexpr IID IID__Store = outlook::detail::OutlookIid(0x000630C7);
inline constexpr IID IID__Rules = outlook::detail::OutlookIid(0x000630CC);
inline constexpr IID IID__Rule = outlook::detail::OutlookIid(0x000630CD);
inline constexpr IID IID__RuleActions = outlook::detail::OutlookIid(0x000630CE);
inline constexpr IID IID__MoveOrCopyRuleAction = outlook::detail::OutlookIid(0x000630D0);
inline constexpr IID IID__RuleConditions = outlook::detail::OutlookIid(0x000630D8);
inline constexpr IID IID__TextRuleCondition = outlook::detail::OutlookIid(0x000630E0);
// Office's add-in objects.
inline constexpr IID IID_COMAddIns{0x000C0339, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr IID IID_COMAddIn{0x000C033A, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// The add-in designer's connection interface.
inline constexpr IID IID__IDTExtensibility2{
    0xB65AD801, 0xABAF, 0x11D0, {0xBB, 0x8B, 0x00, 0xA0, 0xC9, 0x0F, 0x27, 0x44}};
// The application's class ("Outlook.Application").
inline constexpr CLSID CLSID_OutlookApplication = outlook::detail::OutlookIid(0x0006F03A);

// --- Enumerations --------------------------------------------------------------

enum OlDefaultFolders : LONG {
    olFolderDeletedItems = 3,
    olFolderOutbox = 4,
    olFolderSentMail = 5,
    olFolderInbox = 6,
    olFolderCalendar = 9,
    olFolderContacts = 10,
    olFolderJournal = 11,
    olFolderNotes = 12,
    olFolderTasks = 13,
    olFolderDrafts = 16,
};

enum OlItemType : LONG {
    olMailItem = 0,
    olAppointmentItem = 1,
    olContactItem = 2,
    olTaskItem = 3,
    olJournalItem = 4,
    olNoteItem = 5,
    olPostItem = 6,
    olDistributionListItem = 7,
};

enum OlMeetingStatus : LONG {
    olNonMeeting = 0,
    olMeeting = 1,
    olMeetingReceived = 3,
    olMeetingCanceled = 5,
    olMeetingReceivedAndCanceled = 7,
};

enum OlRuleType : LONG {
    olRuleReceive = 0,
    olRuleSend = 1,
};

enum OlRuleConditionType : LONG {
    olConditionSubject = 2,
    olConditionBody = 13,
    olConditionBodyOrSubject = 14,
};

enum OlRuleActionType : LONG {
    olRuleActionMoveToFolder = 1,
    olRuleActionCopyToFolder = 5,
};

enum ext_ConnectMode : LONG {
    ext_cm_AfterStartup = 0,
    ext_cm_Startup = 1,
    ext_cm_External = 2,
    ext_cm_CommandLine = 3,
};

enum ext_DisconnectMode : LONG {
    ext_dm_HostShutdown = 0,
    ext_dm_UserClosed = 1,
};

// --- DISPIDs -------------------------------------------------------------------

namespace outlook::dispid {
// Members common to the objects.
constexpr DISPID kApplication = 0xF000;
constexpr DISPID kParent = 0xF001;
constexpr DISPID kClass = 0xF00A;
constexpr DISPID kSession = 0xF00B;
constexpr DISPID kEntryID = 0xF01E;
constexpr DISPID kMAPIOBJECT = 0xF100;
// Folders.
constexpr DISPID kName = 0x2102;
constexpr DISPID kFolders = 0x2103;
constexpr DISPID kItems = 0x3100;
constexpr DISPID kDefaultItemType = 0x3106;
constexpr DISPID kDefaultMessageClass = 0x3107;
constexpr DISPID kStoreID = 0x3108;
// Collections.
constexpr DISPID kCount = 0x0050;
constexpr DISPID kItem = 0x0051;
constexpr DISPID kAdd = 0x005F;
constexpr DISPID kRemove = 0x0052;
// Items.
constexpr DISPID kMessageClass = 0x001A;
constexpr DISPID kSubject = 0x0037;
constexpr DISPID kBody = 0x9100;
constexpr DISPID kHTMLBody = 0xF404;
constexpr DISPID kCategories = 0x9001;
constexpr DISPID kSave = 0xF048;
constexpr DISPID kDelete = 0xF04A;
constexpr DISPID kMeetingStatus = 0x8217;
constexpr DISPID kIsRecurring = 0x8223;
constexpr DISPID kStart = 0x820D;
constexpr DISPID kEnd = 0x820E;
constexpr DISPID kType = 0x8700;
// Application.
constexpr DISPID kVersion = 0x0116;
constexpr DISPID kGetNamespace = 0x0110;
constexpr DISPID kActiveInspector = 0x0112;
constexpr DISPID kActiveExplorer = 0x0111;
constexpr DISPID kCreateItem = 0x010A;
constexpr DISPID kQuit = 0x0113;
constexpr DISPID kCOMAddIns = 0x0118;
constexpr DISPID kCurrentItem = 0x2202;
constexpr DISPID kCaption = 0x2111;
// Name space.
constexpr DISPID kGetDefaultFolder = 0x016B;
constexpr DISPID kGetFolderFromID = 0x0170;
constexpr DISPID kDefaultStore = 0xFA8B;
constexpr DISPID kCurrentProfileName = 0xFA8C;
// Office add-in object.
constexpr DISPID kConnect = 0x0006;
// Stores (this stand-in's own numbers from here on).
constexpr DISPID kGetRootFolder = 0xFA84;
constexpr DISPID kGetRules = 0xFA85;
constexpr DISPID kStore = 0xFA8A;
// Rules, rule, conditions and actions.
constexpr DISPID kEnabled = 0xFA07;
constexpr DISPID kText = 0xFA08;
constexpr DISPID kConditionType = 0xFA09;
constexpr DISPID kSubjectCondition = 0xFA20;
constexpr DISPID kBodyCondition = 0xFA21;
constexpr DISPID kBodyOrSubjectCondition = 0xFA22;
constexpr DISPID kFolder = 0xFA30;
constexpr DISPID kActionType = 0xFA31;
constexpr DISPID kMoveToFolder = 0xFA40;
constexpr DISPID kCopyToFolder = 0xFA41;
constexpr DISPID kRuleName = 0xFA50;
constexpr DISPID kRuleType = 0xFA51;
constexpr DISPID kConditions = 0xFA52;
constexpr DISPID kActions = 0xFA53;
constexpr DISPID kCreateRule = 0xFA60;

// ApplicationEvents_11.
constexpr DISPID kEventNewMail = 0xF003;
constexpr DISPID kEventReminder = 0xF004;
constexpr DISPID kEventOptionsPagesAdd = 0xF005;
constexpr DISPID kEventQuit = 0xF007;
// NameSpaceEvents: OptionsPagesAdd(Pages, Folder).
constexpr DISPID kEventFolderOptionsPagesAdd = 0xF005;
// ItemsEvents: ItemAdd(Item), ItemChange(Item), ItemRemove().
constexpr DISPID kEventItemAdd = 0xF001;
constexpr DISPID kEventItemChange = 0xF002;
constexpr DISPID kEventItemRemove = 0xF003;
}  // namespace outlook::dispid

// --- Smart pointers ------------------------------------------------------------

#define QM_OUTLOOK_PTR(Interface) using Interface##Ptr = CComQIPtr<Interface>
QM_OUTLOOK_PTR(_Application);
QM_OUTLOOK_PTR(_NameSpace);
QM_OUTLOOK_PTR(_Explorer);
QM_OUTLOOK_PTR(_Inspector);
QM_OUTLOOK_PTR(_Store);
QM_OUTLOOK_PTR(MAPIFolder);
QM_OUTLOOK_PTR(_Folders);
QM_OUTLOOK_PTR(_Items);
QM_OUTLOOK_PTR(_MailItem);
QM_OUTLOOK_PTR(_AppointmentItem);
QM_OUTLOOK_PTR(_JournalItem);
QM_OUTLOOK_PTR(COMAddIn);
QM_OUTLOOK_PTR(COMAddIns);
QM_OUTLOOK_PTR(PropertyPages);
QM_OUTLOOK_PTR(PropertyPage);
QM_OUTLOOK_PTR(PropertyPageSite);
QM_OUTLOOK_PTR(_Rules);
QM_OUTLOOK_PTR(_Rule);
QM_OUTLOOK_PTR(_RuleConditions);
QM_OUTLOOK_PTR(_TextRuleCondition);
QM_OUTLOOK_PTR(_RuleActions);
QM_OUTLOOK_PTR(_MoveOrCopyRuleAction);
using IDispatchPtr = CComQIPtr<IDispatch>;
// IUnknown needs no QueryInterface form (CComQIPtr<IUnknown> would repeat a constructor).
using IUnknownPtr = CComPtr<IUnknown>;
#undef QM_OUTLOOK_PTR

// --- Application -----------------------------------------------------------------

// The running client. Raises ApplicationEvents_11 through its
// IConnectionPointContainer. Invoke: Application, Parent, Class, Session,
// Version, GetNamespace, ActiveInspector, ActiveExplorer, CreateItem, Quit,
// COMAddIns.
struct _Application : IDispatch {
    virtual HRESULT get_Application(_Application** application) = 0;
    virtual HRESULT get_Session(_NameSpace** nameSpace) = 0;
    // The client's version text, e.g. "14.0.0.7015" (major version first).
    virtual HRESULT get_Version(BSTR* version) = 0;
    // "MAPI" (any case) gives the one name space of the profile; any other
    // type E_INVALIDARG.
    virtual HRESULT GetNamespace(BSTR type, _NameSpace** nameSpace) = 0;
    // The window that shows an item; null (S_OK) when none is open.
    virtual HRESULT ActiveInspector(_Inspector** inspector) = 0;
    // The main window; null (S_OK) while the client runs without one.
    virtual HRESULT ActiveExplorer(_Explorer** explorer) = 0;
    // A new, unsaved item of that type in its default folder: olMailItem
    // (Drafts, "IPM.Note"), olAppointmentItem (Calendar), olContactItem,
    // olTaskItem, olJournalItem (Journal, "IPM.Activity"), olNoteItem, olPostItem.
    // MAPI_E_NOT_FOUND when the default store has no such folder;
    // E_INVALIDARG for another type. Save puts it into that folder.
    virtual HRESULT CreateItem(OlItemType type, IDispatch** item) = 0;
    // Asks the client to close: Quit is raised on the UI thread and the
    // process ends its loop afterwards. Returns at once.
    virtual HRESULT Quit() = 0;
    virtual HRESULT get_COMAddIns(COMAddIns** addIns) = 0;

    HRESULT raw_GetNamespace(BSTR type, _NameSpace** nameSpace) {
        return GetNamespace(type, nameSpace);
    }
    HRESULT raw_ActiveInspector(_Inspector** inspector) { return ActiveInspector(inspector); }
    HRESULT raw_ActiveExplorer(_Explorer** explorer) { return ActiveExplorer(explorer); }
    HRESULT raw_CreateItem(OlItemType type, IDispatch** item) { return CreateItem(type, item); }
    HRESULT raw_Quit() { return Quit(); }

    CComBSTR GetVersion();
    _NameSpacePtr GetNamespace(const OLECHAR* type);
    _InspectorPtr ActiveInspector();
    _ExplorerPtr ActiveExplorer();
    IDispatchPtr CreateItem(OlItemType type);
    COMAddInsPtr GetCOMAddIns();

protected:
    ~_Application() = default;
};

// --- Name space --------------------------------------------------------------------

// The "MAPI" name space: the profile's stores. Raises NameSpaceEvents
// through its IConnectionPointContainer. Invoke: Application, Parent,
// Class, Session, MAPIOBJECT (VT_UNKNOWN: an IQmMapiSession, MapiObjects.h),
// GetDefaultFolder, GetFolderFromID, DefaultStore, CurrentProfileName.
struct _NameSpace : IDispatch {
    virtual HRESULT get_Application(_Application** application) = 0;
    virtual HRESULT get_CurrentProfileName(BSTR* name) = 0;
    // A default folder of the default store. MAPI_E_NOT_FOUND when the
    // store has none of that role; E_INVALIDARG for an unknown number.
    virtual HRESULT GetDefaultFolder(OlDefaultFolders folderType, MAPIFolder** folder) = 0;
    // The folder named by its entry id text (hex) in the store named by
    // storeId: a VT_BSTR store entry id text, or missing / empty for "any
    // store of the profile". MAPI_E_NOT_FOUND for a vanished folder or an
    // unknown store.
    virtual HRESULT GetFolderFromID(BSTR entryId, VARIANT storeId, MAPIFolder** folder) = 0;
    virtual HRESULT get_DefaultStore(_Store** store) = 0;
    // The profile's MAPI session object (an IQmMapiSession), which the
    // helper library attaches to.
    virtual HRESULT get_MAPIOBJECT(IUnknown** mapiSession) = 0;

    HRESULT raw_GetDefaultFolder(OlDefaultFolders folderType, MAPIFolder** folder) {
        return GetDefaultFolder(folderType, folder);
    }
    HRESULT raw_GetFolderFromID(BSTR entryId, VARIANT storeId, MAPIFolder** folder) {
        return GetFolderFromID(entryId, storeId, folder);
    }

    _ApplicationPtr GetApplication();
    CComBSTR GetCurrentProfileName();
    MAPIFolderPtr GetDefaultFolder(OlDefaultFolders folderType);
    MAPIFolderPtr GetFolderFromID(const OLECHAR* entryId, const VARIANT& storeId);
    _StorePtr GetDefaultStore();
    IUnknownPtr GetMAPIOBJECT();

protected:
    ~_NameSpace() = default;
};

// --- Windows -------------------------------------------------------------------

// The main window. Invoke: Application, Parent, Caption.
struct _Explorer : IDispatch {
    virtual HRESULT get_Caption(BSTR* caption) = 0;
    CComBSTR GetCaption();

protected:
    ~_Explorer() = default;
};

// A window that shows one item. Invoke: Application, Parent, Caption, CurrentItem.
struct _Inspector : IDispatch {
    // The item shown (a mail, appointment, journal ... item).
    virtual HRESULT get_CurrentItem(IDispatch** item) = 0;
    virtual HRESULT get_Caption(BSTR* caption) = 0;
    IDispatchPtr GetCurrentItem();
    CComBSTR GetCaption();

protected:
    ~_Inspector() = default;
};

// --- Stores and folders ------------------------------------------------------------

// A store of the profile. Invoke: Application, Parent, StoreID, DisplayName.
struct _Store : IDispatch {
    // The store's entry id as hex text.
    virtual HRESULT get_StoreID(BSTR* storeId) = 0;
    virtual HRESULT get_DisplayName(BSTR* name) = 0;
    virtual HRESULT GetRootFolder(MAPIFolder** folder) = 0;
    // The store's client rules as they were last saved; changes made through
    // the collection stay in it until _Rules::Save.
    virtual HRESULT GetRules(_Rules** rules) = 0;

    HRESULT raw_GetRootFolder(MAPIFolder** folder) { return GetRootFolder(folder); }
    HRESULT raw_GetRules(_Rules** rules) { return GetRules(rules); }
    CComBSTR GetStoreID();
    CComBSTR GetDisplayName();
    MAPIFolderPtr GetRootFolder();
    _RulesPtr GetRules();

protected:
    ~_Store() = default;
};

// A folder. Invoke: Application, Parent, Class, Session, EntryID, StoreID,
// Name, Folders, Items, DefaultItemType, DefaultMessageClass, Delete,
// MAPIOBJECT (VT_UNKNOWN: an IQmMapiFolder).
struct MAPIFolder : IDispatch {
    virtual HRESULT get_Application(_Application** application) = 0;
    // The parent folder (as IDispatch of a MAPIFolder); for the top folder
    // of a store, the name space.
    virtual HRESULT get_Parent(IDispatch** parent) = 0;
    virtual HRESULT get_EntryID(BSTR* entryId) = 0;
    virtual HRESULT get_StoreID(BSTR* storeId) = 0;
    virtual HRESULT get_Name(BSTR* name) = 0;
    // Renames; MAPI_E_COLLISION when a sibling has that name.
    virtual HRESULT put_Name(BSTR name) = 0;
    virtual HRESULT get_Folders(_Folders** folders) = 0;
    virtual HRESULT get_Items(_Items** items) = 0;
    // From the container class: "IPF.Note" -> olMailItem, "IPF.Appointment"
    // -> olAppointmentItem, "IPF.Contact", "IPF.Task", "IPF.Journal",
    // "IPF.StickyNote"; any other class olMailItem.
    virtual HRESULT get_DefaultItemType(OlItemType* type) = 0;
    // "IPM.Note", "IPM.Appointment", "IPM.Contact", "IPM.Task",
    // "IPM.Activity", "IPM.StickyNote", as the default item type.
    virtual HRESULT get_DefaultMessageClass(BSTR* messageClass) = 0;
    virtual HRESULT get_Store(_Store** store) = 0;
    // Deletes the folder with its subfolders and items. MAPI_E_NO_ACCESS
    // for a store's top folder and for its default folders (Inbox ...).
    virtual HRESULT Delete() = 0;
    virtual HRESULT get_MAPIOBJECT(IUnknown** mapiFolder) = 0;

    HRESULT raw_Delete() { return Delete(); }
    _ApplicationPtr GetApplication();
    IDispatchPtr GetParent();
    CComBSTR GetEntryID();
    CComBSTR GetStoreID();
    CComBSTR GetName();
    void PutName(const OLECHAR* name);
    _FoldersPtr GetFolders();
    _ItemsPtr GetItems();
    OlItemType GetDefaultItemType();
    CComBSTR GetDefaultMessageClass();
    _StorePtr GetStore();
    IUnknownPtr GetMAPIOBJECT();

protected:
    ~MAPIFolder() = default;
};

// The direct subfolders of a folder, in creation order. Invoke: Parent,
// Count, Item, Add.
struct _Folders : IDispatch {
    virtual HRESULT get_Parent(IDispatch** parent) = 0;
    virtual HRESULT get_Count(LONG* count) = 0;
    // index: a number (VT_I2/VT_I4/...) from 1, or a folder name (VT_BSTR,
    // case-insensitive). DISP_E_BADINDEX / MAPI_E_NOT_FOUND when there is
    // no such folder.
    virtual HRESULT Item(VARIANT index, MAPIFolder** folder) = 0;
    // A new subfolder. type: missing -> the parent's item type, else an
    // OlDefaultFolders number of the item kind (olFolderCalendar ...).
    // MAPI_E_COLLISION when one of that name exists; E_INVALIDARG for an
    // empty name.
    virtual HRESULT Add(BSTR name, VARIANT type, MAPIFolder** folder) = 0;

    HRESULT raw_Item(VARIANT index, MAPIFolder** folder) { return Item(index, folder); }
    HRESULT raw_Add(BSTR name, VARIANT type, MAPIFolder** folder) {
        return Add(name, type, folder);
    }
    LONG GetCount();
    MAPIFolderPtr Item(const VARIANT& index);
    MAPIFolderPtr Add(const OLECHAR* name);

protected:
    ~_Folders() = default;
};

// The items (normal messages) of a folder, in creation order. Raises
// ItemsEvents through its IConnectionPointContainer for every change of the
// folder's items, whoever made it. An advised sink hears events only while
// the _Items object that it was advised on is alive. Invoke: Parent, Count,
// Item, Add.
struct _Items : IDispatch {
    virtual HRESULT get_Parent(IDispatch** parent) = 0;
    virtual HRESULT get_Count(LONG* count) = 0;
    // index from 1; DISP_E_BADINDEX outside 1..Count.
    virtual HRESULT Item(VARIANT index, IDispatch** item) = 0;
    // A new, unsaved item of this folder: type missing -> the folder's
    // default message class, VT_BSTR a message class, VT_I4 an OlItemType.
    virtual HRESULT Add(VARIANT type, IDispatch** item) = 0;

    HRESULT raw_Item(VARIANT index, IDispatch** item) { return Item(index, item); }
    HRESULT raw_Add(VARIANT type, IDispatch** item) { return Add(type, item); }
    LONG GetCount();
    IDispatchPtr Item(const VARIANT& index);

protected:
    ~_Items() = default;
};

// --- Items -----------------------------------------------------------------------

// Members every item kind has. An item loaded from the store keeps its own
// copy: changes stay in it until Save (last saver wins); other writers'
// changes show only in an item fetched again. Invoke: Application, Parent,
// Class, Session, EntryID, MessageClass, Subject, Body, HTMLBody,
// Categories, Save, Delete, MAPIOBJECT (VT_UNKNOWN: an IQmMapiMessage),
// and the kind's own members below.
#define QM_OUTLOOK_ITEM_MEMBERS(Self)                                                          \
    virtual HRESULT get_Application(_Application** application) = 0;                           \
    /* The folder the item is in (IDispatch of a MAPIFolder). */                               \
    virtual HRESULT get_Parent(IDispatch** parent) = 0;                                        \
    /* Empty until the first Save. */                                                          \
    virtual HRESULT get_EntryID(BSTR* entryId) = 0;                                            \
    virtual HRESULT get_MessageClass(BSTR* messageClass) = 0;                                  \
    virtual HRESULT put_MessageClass(BSTR messageClass) = 0;                                   \
    virtual HRESULT get_Subject(BSTR* subject) = 0;                                            \
    virtual HRESULT put_Subject(BSTR subject) = 0;                                             \
    virtual HRESULT get_Body(BSTR* body) = 0;                                                  \
    virtual HRESULT put_Body(BSTR body) = 0;                                                   \
    virtual HRESULT get_HTMLBody(BSTR* html) = 0;                                              \
    virtual HRESULT put_HTMLBody(BSTR html) = 0;                                               \
    /* The categories joined by ", " (the "Keywords" property); put splits at ',' and ';'. */  \
    virtual HRESULT get_Categories(BSTR* categories) = 0;                                      \
    virtual HRESULT put_Categories(BSTR categories) = 0;                                       \
    /* Writes the item into its folder (ItemAdd for the first save, ItemChange afterwards). */ \
    virtual HRESULT Save() = 0;                                                                \
    /* Deletes the saved item (ItemRemove); an unsaved one is only dropped. */                 \
    virtual HRESULT Delete() = 0;                                                              \
    virtual HRESULT get_MAPIOBJECT(IUnknown** mapiMessage) = 0;                                \
    HRESULT raw_Save() {                                                                       \
        return Save();                                                                         \
    }                                                                                          \
    HRESULT raw_Delete() {                                                                     \
        return Delete();                                                                       \
    }                                                                                          \
    CComBSTR GetEntryID() {                                                                    \
        CComBSTR v;                                                                            \
        ThrowIfFailed(get_EntryID(&v));                                                        \
        return v;                                                                              \
    }                                                                                          \
    IDispatchPtr GetParent() {                                                                 \
        IDispatchPtr v;                                                                        \
        ThrowIfFailed(get_Parent(&v));                                                         \
        return v;                                                                              \
    }                                                                                          \
    CComBSTR GetMessageClass() {                                                               \
        CComBSTR v;                                                                            \
        ThrowIfFailed(get_MessageClass(&v));                                                   \
        return v;                                                                              \
    }                                                                                          \
    CComBSTR GetSubject() {                                                                    \
        CComBSTR v;                                                                            \
        ThrowIfFailed(get_Subject(&v));                                                        \
        return v;                                                                              \
    }                                                                                          \
    void PutSubject(const OLECHAR* text) {                                                     \
        ThrowIfFailed(put_Subject(CComBSTR(text)));                                            \
    }                                                                                          \
    CComBSTR GetBody() {                                                                       \
        CComBSTR v;                                                                            \
        ThrowIfFailed(get_Body(&v));                                                           \
        return v;                                                                              \
    }                                                                                          \
    void PutBody(const OLECHAR* text) {                                                        \
        ThrowIfFailed(put_Body(CComBSTR(text)));                                               \
    }                                                                                          \
    CComBSTR GetHTMLBody() {                                                                   \
        CComBSTR v;                                                                            \
        ThrowIfFailed(get_HTMLBody(&v));                                                       \
        return v;                                                                              \
    }                                                                                          \
    void PutHTMLBody(const OLECHAR* text) {                                                    \
        ThrowIfFailed(put_HTMLBody(CComBSTR(text)));                                           \
    }                                                                                          \
    CComBSTR GetCategories() {                                                                 \
        CComBSTR v;                                                                            \
        ThrowIfFailed(get_Categories(&v));                                                     \
        return v;                                                                              \
    }                                                                                          \
    void PutCategories(const OLECHAR* text) {                                                  \
        ThrowIfFailed(put_Categories(CComBSTR(text)));                                         \
    }                                                                                          \
    IUnknownPtr GetMAPIOBJECT() {                                                              \
        IUnknownPtr v;                                                                         \
        ThrowIfFailed(get_MAPIOBJECT(&v));                                                     \
        return v;                                                                              \
    }

// A mail (also a post, a report and any class without a kind of its own).
struct _MailItem : IDispatch {
    QM_OUTLOOK_ITEM_MEMBERS(_MailItem)

protected:
    ~_MailItem() = default;
};

// An appointment or meeting. Invoke adds Start, End, MeetingStatus, IsRecurring.
struct _AppointmentItem : IDispatch {
    QM_OUTLOOK_ITEM_MEMBERS(_AppointmentItem)
    // Local DATE values of PidLidAppointmentStartWhole / EndWhole (0 when unset).
    virtual HRESULT get_Start(DATE* start) = 0;
    virtual HRESULT put_Start(DATE start) = 0;
    virtual HRESULT get_End(DATE* end) = 0;
    virtual HRESULT put_End(DATE end) = 0;
    // From PidLidAppointmentStateFlags (meeting 1, received 2, cancelled 4).
    virtual HRESULT get_MeetingStatus(OlMeetingStatus* status) = 0;
    virtual HRESULT put_MeetingStatus(OlMeetingStatus status) = 0;
    // PidLidRecurring.
    virtual HRESULT get_IsRecurring(VARIANT_BOOL* recurring) = 0;

    OlMeetingStatus GetMeetingStatus() {
        OlMeetingStatus v = olNonMeeting;
        ThrowIfFailed(get_MeetingStatus(&v));
        return v;
    }
    VARIANT_BOOL GetIsRecurring() {
        VARIANT_BOOL v = VARIANT_FALSE;
        ThrowIfFailed(get_IsRecurring(&v));
        return v;
    }

protected:
    ~_AppointmentItem() = default;
};

// A journal entry ("IPM.Activity"). Invoke adds Type.
struct _JournalItem : IDispatch {
    QM_OUTLOOK_ITEM_MEMBERS(_JournalItem)
    // The entry type text (PidLidLogType), e.g. "Task".
    virtual HRESULT get_Type(BSTR* type) = 0;
    virtual HRESULT put_Type(BSTR type) = 0;

    CComBSTR GetType() {
        CComBSTR v;
        ThrowIfFailed(get_Type(&v));
        return v;
    }
    void PutType(const OLECHAR* text) { ThrowIfFailed(put_Type(CComBSTR(text))); }

protected:
    ~_JournalItem() = default;
};
#undef QM_OUTLOOK_ITEM_MEMBERS

// --- Office add-ins ----------------------------------------------------------------

// Office's record of one add-in. Invoke: Connect, ProgId, Description.
struct COMAddIn : IDispatch {
    virtual HRESULT get_Description(BSTR* description) = 0;
    virtual HRESULT get_ProgId(BSTR* progId) = 0;
    virtual HRESULT get_Guid(BSTR* guid) = 0;
    virtual HRESULT get_Connect(VARIANT_BOOL* connected) = 0;
    // Setting false disconnects the add-in (its OnDisconnection with
    // ext_dm_UserClosed, run by the host on the UI thread); true connects it.
    virtual HRESULT put_Connect(VARIANT_BOOL connect) = 0;
    virtual HRESULT get_Object(IDispatch** object) = 0;
    virtual HRESULT put_Object(IDispatch* object) = 0;

    VARIANT_BOOL GetConnect() {
        VARIANT_BOOL v = VARIANT_FALSE;
        ThrowIfFailed(get_Connect(&v));
        return v;
    }
    void PutConnect(VARIANT_BOOL connect) { ThrowIfFailed(put_Connect(connect)); }

protected:
    ~COMAddIn() = default;
};

struct COMAddIns : IDispatch {
    virtual HRESULT get_Count(LONG* count) = 0;
    // index: a number from 1 or a ProgID text. DISP_E_BADINDEX.
    virtual HRESULT Item(VARIANT* index, COMAddIn** addIn) = 0;

protected:
    ~COMAddIns() = default;
};

// What an add-in implements for the client's add-in mechanism. All calls on
// the UI thread.
struct _IDTExtensibility2 : IDispatch {
    virtual HRESULT OnConnection(IDispatch* application, ext_ConnectMode mode, IDispatch* addInInst,
                                 SAFEARRAY** custom) = 0;
    virtual HRESULT OnDisconnection(ext_DisconnectMode mode, SAFEARRAY** custom) = 0;
    virtual HRESULT OnAddInsUpdate(SAFEARRAY** custom) = 0;
    virtual HRESULT OnStartupComplete(SAFEARRAY** custom) = 0;
    virtual HRESULT OnBeginShutdown(SAFEARRAY** custom) = 0;

protected:
    ~_IDTExtensibility2() = default;
};

// --- Property pages ------------------------------------------------------------------

// The pages of the Options or folder Properties dialog being opened; handed
// to the OptionsPagesAdd handlers, which add their pages. Invoke: Count, Add,
// Remove.
struct PropertyPages : IDispatch {
    virtual HRESULT get_Count(LONG* count) = 0;
    // page: a VT_BSTR ProgID of the page control (the dialog creates it) or
    // a VT_DISPATCH / VT_UNKNOWN page object; title: the tab caption.
    // E_INVALIDARG for another type or an empty ProgID.
    virtual HRESULT Add(VARIANT page, BSTR title) = 0;
    // index from 1; DISP_E_BADINDEX.
    virtual HRESULT Remove(VARIANT index) = 0;

    HRESULT raw_Add(VARIANT page, BSTR title) { return Add(page, title); }
    // Throwing form: the success code, or _com_error.
    HRESULT Add(const VARIANT& page, const OLECHAR* title) {
        return ThrowIfFailed(Add(VARIANT(page), CComBSTR(title).m_str));
    }

protected:
    ~PropertyPages() = default;
};

// What a page implements for the dialog. Calls on the UI thread.
struct PropertyPage : IDispatch {
    virtual HRESULT GetPageInfo(BSTR* helpFile, LONG* helpContext) = 0;
    virtual HRESULT get_Dirty(VARIANT_BOOL* dirty) = 0;
    virtual HRESULT Apply() = 0;

protected:
    ~PropertyPage() = default;
};

// The dialog's side of one page, reached from the page's client site.
struct PropertyPageSite : IDispatch {
    // The page's dirty state may have changed: the dialog reads get_Dirty
    // and enables its Apply button accordingly.
    virtual HRESULT OnStatusChange() = 0;

protected:
    ~PropertyPageSite() = default;
};

// --- Rules ---------------------------------------------------------------------------

// A store's client rules, applied in order to arriving mails. Invoke: Count,
// Item, Remove, Create, Save.
struct _Rules : IDispatch {
    virtual HRESULT get_Count(LONG* count) = 0;
    // index: a number from 1 or a rule name (case-sensitive). DISP_E_BADINDEX.
    virtual HRESULT Item(VARIANT index, _Rule** rule) = 0;
    // Removes from the collection (the later rules move down one place).
    virtual HRESULT Remove(VARIANT index) = 0;
    // Appends a new, enabled rule without conditions or actions.
    virtual HRESULT Create(BSTR name, OlRuleType type, _Rule** rule) = 0;
    // Writes the collection into the store (showProgress is ignored).
    virtual HRESULT Save(VARIANT showProgress) = 0;

    HRESULT raw_Item(VARIANT index, _Rule** rule) { return Item(index, rule); }
    HRESULT raw_Remove(VARIANT index) { return Remove(index); }
    HRESULT raw_Create(BSTR name, OlRuleType type, _Rule** rule) {
        return Create(name, type, rule);
    }
    HRESULT raw_Save(VARIANT showProgress) { return Save(showProgress); }
    LONG GetCount();
    _RulePtr Item(const VARIANT& index);
    _RulePtr Create(const OLECHAR* name, OlRuleType type);
    void Save();

protected:
    ~_Rules() = default;
};

// Invoke: Name, Enabled, RuleType, Conditions, Actions.
struct _Rule : IDispatch {
    virtual HRESULT get_Name(BSTR* name) = 0;
    virtual HRESULT put_Name(BSTR name) = 0;
    virtual HRESULT get_Enabled(VARIANT_BOOL* enabled) = 0;
    virtual HRESULT put_Enabled(VARIANT_BOOL enabled) = 0;
    virtual HRESULT get_RuleType(OlRuleType* type) = 0;
    virtual HRESULT get_Conditions(_RuleConditions** conditions) = 0;
    virtual HRESULT get_Actions(_RuleActions** actions) = 0;

    CComBSTR GetName();
    _RuleConditionsPtr GetConditions();
    _RuleActionsPtr GetActions();

protected:
    ~_Rule() = default;
};

// A rule's conditions; a rule matches when every enabled condition holds
// (and it has at least one). Invoke: Subject, Body, BodyOrSubject.
struct _RuleConditions : IDispatch {
    virtual HRESULT get_Subject(_TextRuleCondition** condition) = 0;
    virtual HRESULT get_Body(_TextRuleCondition** condition) = 0;
    virtual HRESULT get_BodyOrSubject(_TextRuleCondition** condition) = 0;

    _TextRuleConditionPtr GetSubject();

protected:
    ~_RuleConditions() = default;
};

// A text condition: holds when any of its texts occurs (case-insensitive)
// in the mail's subject, body, or either. Invoke: Enabled, Text, ConditionType.
struct _TextRuleCondition : IDispatch {
    virtual HRESULT get_Enabled(VARIANT_BOOL* enabled) = 0;
    virtual HRESULT put_Enabled(VARIANT_BOOL enabled) = 0;
    // VT_ARRAY | VT_VARIANT of VT_BSTR texts.
    virtual HRESULT get_Text(VARIANT* texts) = 0;
    // texts: VT_ARRAY of VT_BSTR or of VT_VARIANT holding VT_BSTR, or one
    // VT_BSTR. E_INVALIDARG (texts unchanged) otherwise or for an empty text.
    virtual HRESULT put_Text(VARIANT texts) = 0;
    virtual HRESULT get_ConditionType(OlRuleConditionType* type) = 0;

protected:
    ~_TextRuleCondition() = default;
};

// A rule's actions. Invoke: MoveToFolder, CopyToFolder.
struct _RuleActions : IDispatch {
    virtual HRESULT get_MoveToFolder(_MoveOrCopyRuleAction** action) = 0;
    virtual HRESULT get_CopyToFolder(_MoveOrCopyRuleAction** action) = 0;

    _MoveOrCopyRuleActionPtr GetMoveToFolder();

protected:
    ~_RuleActions() = default;
};

// Invoke: Enabled, Folder, ActionType.
struct _MoveOrCopyRuleAction : IDispatch {
    virtual HRESULT get_Enabled(VARIANT_BOOL* enabled) = 0;
    virtual HRESULT put_Enabled(VARIANT_BOOL enabled) = 0;
    // Null until a folder is set; MAPI_E_NOT_FOUND when it has vanished since.
    virtual HRESULT get_Folder(MAPIFolder** folder) = 0;
    // E_INVALIDARG for null or a folder of another store's object model.
    virtual HRESULT put_Folder(MAPIFolder* folder) = 0;
    virtual HRESULT get_ActionType(OlRuleActionType* type) = 0;

protected:
    ~_MoveOrCopyRuleAction() = default;
};

QM_DECLARE_IID(_Application, IID__Application);
QM_DECLARE_IID(_NameSpace, IID__NameSpace);
QM_DECLARE_IID(_Explorer, IID__Explorer);
QM_DECLARE_IID(_Inspector, IID__Inspector);
QM_DECLARE_IID(_Store, IID__Store);
QM_DECLARE_IID(MAPIFolder, IID_MAPIFolder);
QM_DECLARE_IID(_Folders, IID__Folders);
QM_DECLARE_IID(_Items, IID__Items);
QM_DECLARE_IID(_MailItem, IID__MailItem);
QM_DECLARE_IID(_AppointmentItem, IID__AppointmentItem);
QM_DECLARE_IID(_JournalItem, IID__JournalItem);
QM_DECLARE_IID(COMAddIn, IID_COMAddIn);
QM_DECLARE_IID(COMAddIns, IID_COMAddIns);
QM_DECLARE_IID(_IDTExtensibility2, IID__IDTExtensibility2);
QM_DECLARE_IID(PropertyPages, IID_PropertyPages);
QM_DECLARE_IID(PropertyPage, IID_PropertyPage);
QM_DECLARE_IID(PropertyPageSite, IID_PropertyPageSite);
QM_DECLARE_IID(_Rules, IID__Rules);
QM_DECLARE_IID(_Rule, IID__Rule);
QM_DECLARE_IID(_RuleConditions, IID__RuleConditions);
QM_DECLARE_IID(_TextRuleCondition, IID__TextRuleCondition);
QM_DECLARE_IID(_RuleActions, IID__RuleActions);
QM_DECLARE_IID(_MoveOrCopyRuleAction, IID__MoveOrCopyRuleAction);

// --- Throwing forms ------------------------------------------------------------------

namespace outlook::detail {
template <class T>
CComQIPtr<T> Take(T* raw) {
    CComQIPtr<T> p;
    p.Attach(raw);
    return p;
}
}  // namespace outlook::detail

#define QM_OUTLOOK_GET_TEXT(Interface, Name) \
    inline CComBSTR Interface::Get##Name() { \
        CComBSTR v;                          \
        ThrowIfFailed(get_##Name(&v));       \
        return v;                            \
    }
#define QM_OUTLOOK_GET_PTR(Interface, Name, Type) \
    inline Type##Ptr Interface::Get##Name() {     \
        Type* v = nullptr;                        \
        ThrowIfFailed(get_##Name(&v));            \
        return outlook::detail::Take(v);          \
    }

QM_OUTLOOK_GET_TEXT(_Application, Version)
QM_OUTLOOK_GET_PTR(_Application, COMAddIns, COMAddIns)
inline _NameSpacePtr _Application::GetNamespace(const OLECHAR* type) {
    _NameSpace* v = nullptr;
    ThrowIfFailed(GetNamespace(CComBSTR(type), &v));
    return outlook::detail::Take(v);
}
inline _InspectorPtr _Application::ActiveInspector() {
    _Inspector* v = nullptr;
    ThrowIfFailed(ActiveInspector(&v));
    return outlook::detail::Take(v);
}
inline _ExplorerPtr _Application::ActiveExplorer() {
    _Explorer* v = nullptr;
    ThrowIfFailed(ActiveExplorer(&v));
    return outlook::detail::Take(v);
}
inline IDispatchPtr _Application::CreateItem(OlItemType type) {
    IDispatch* v = nullptr;
    ThrowIfFailed(CreateItem(type, &v));
    return outlook::detail::Take(v);
}

QM_OUTLOOK_GET_PTR(_NameSpace, Application, _Application)
QM_OUTLOOK_GET_TEXT(_NameSpace, CurrentProfileName)
QM_OUTLOOK_GET_PTR(_NameSpace, DefaultStore, _Store)
inline IUnknownPtr _NameSpace::GetMAPIOBJECT() {
    IUnknownPtr v;
    ThrowIfFailed(get_MAPIOBJECT(&v));
    return v;
}
inline MAPIFolderPtr _NameSpace::GetDefaultFolder(OlDefaultFolders folderType) {
    MAPIFolder* v = nullptr;
    ThrowIfFailed(GetDefaultFolder(folderType, &v));
    return outlook::detail::Take(v);
}
inline MAPIFolderPtr _NameSpace::GetFolderFromID(const OLECHAR* entryId, const VARIANT& storeId) {
    MAPIFolder* v = nullptr;
    ThrowIfFailed(GetFolderFromID(CComBSTR(entryId), storeId, &v));
    return outlook::detail::Take(v);
}

QM_OUTLOOK_GET_TEXT(_Explorer, Caption)
QM_OUTLOOK_GET_TEXT(_Inspector, Caption)
QM_OUTLOOK_GET_PTR(_Inspector, CurrentItem, IDispatch)

QM_OUTLOOK_GET_TEXT(_Store, StoreID)
QM_OUTLOOK_GET_TEXT(_Store, DisplayName)
inline MAPIFolderPtr _Store::GetRootFolder() {
    MAPIFolder* v = nullptr;
    ThrowIfFailed(GetRootFolder(&v));
    return outlook::detail::Take(v);
}
inline _RulesPtr _Store::GetRules() {
    _Rules* v = nullptr;
    ThrowIfFailed(GetRules(&v));
    return outlook::detail::Take(v);
}

QM_OUTLOOK_GET_PTR(MAPIFolder, Application, _Application)
QM_OUTLOOK_GET_PTR(MAPIFolder, Parent, IDispatch)
QM_OUTLOOK_GET_TEXT(MAPIFolder, EntryID)
QM_OUTLOOK_GET_TEXT(MAPIFolder, StoreID)
QM_OUTLOOK_GET_TEXT(MAPIFolder, Name)
QM_OUTLOOK_GET_PTR(MAPIFolder, Folders, _Folders)
QM_OUTLOOK_GET_PTR(MAPIFolder, Items, _Items)
QM_OUTLOOK_GET_TEXT(MAPIFolder, DefaultMessageClass)
QM_OUTLOOK_GET_PTR(MAPIFolder, Store, _Store)
inline IUnknownPtr MAPIFolder::GetMAPIOBJECT() {
    IUnknownPtr v;
    ThrowIfFailed(get_MAPIOBJECT(&v));
    return v;
}
inline void MAPIFolder::PutName(const OLECHAR* name) {
    ThrowIfFailed(put_Name(CComBSTR(name)));
}
inline OlItemType MAPIFolder::GetDefaultItemType() {
    OlItemType v = olMailItem;
    ThrowIfFailed(get_DefaultItemType(&v));
    return v;
}

inline LONG _Folders::GetCount() {
    LONG v = 0;
    ThrowIfFailed(get_Count(&v));
    return v;
}
inline MAPIFolderPtr _Folders::Item(const VARIANT& index) {
    MAPIFolder* v = nullptr;
    ThrowIfFailed(Item(index, &v));
    return outlook::detail::Take(v);
}
inline MAPIFolderPtr _Folders::Add(const OLECHAR* name) {
    MAPIFolder* v = nullptr;
    ThrowIfFailed(Add(CComBSTR(name), MissingArgument(), &v));
    return outlook::detail::Take(v);
}

inline LONG _Items::GetCount() {
    LONG v = 0;
    ThrowIfFailed(get_Count(&v));
    return v;
}
inline IDispatchPtr _Items::Item(const VARIANT& index) {
    IDispatch* v = nullptr;
    ThrowIfFailed(Item(index, &v));
    return outlook::detail::Take(v);
}

inline LONG _Rules::GetCount() {
    LONG v = 0;
    ThrowIfFailed(get_Count(&v));
    return v;
}
inline _RulePtr _Rules::Item(const VARIANT& index) {
    _Rule* v = nullptr;
    ThrowIfFailed(Item(index, &v));
    return outlook::detail::Take(v);
}
inline _RulePtr _Rules::Create(const OLECHAR* name, OlRuleType type) {
    _Rule* v = nullptr;
    ThrowIfFailed(Create(CComBSTR(name), type, &v));
    return outlook::detail::Take(v);
}
inline void _Rules::Save() {
    ThrowIfFailed(Save(MissingArgument()));
}
QM_OUTLOOK_GET_TEXT(_Rule, Name)
QM_OUTLOOK_GET_PTR(_Rule, Conditions, _RuleConditions)
QM_OUTLOOK_GET_PTR(_Rule, Actions, _RuleActions)
QM_OUTLOOK_GET_PTR(_RuleConditions, Subject, _TextRuleCondition)
QM_OUTLOOK_GET_PTR(_RuleActions, MoveToFolder, _MoveOrCopyRuleAction)

#undef QM_OUTLOOK_GET_TEXT
#undef QM_OUTLOOK_GET_PTR
