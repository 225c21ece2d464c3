// QuillmereRDO.dll: the MAPI helper library as its clients include it (the
// library's type library in C++ form). Objects are created by ProgID
// ("QuillmereRDOx.<kind>", CLSIDFromProgID then CoCreateInstance with
// CLSCTX_INPROC_SERVER and the kind's IID); every other object is handed out
// by the methods below.
//
// COM rules throughout: [in] BSTRs, VARIANTs and interfaces stay the caller's;
// [out] BSTRs, VARIANTs and interface pointers become the caller's (free with
// SysFreeString / VariantClear / Release). An [out] pointer is set (to null,
// an empty text or VT_EMPTY) even when the call fails. A null [out] pointer
// gives E_POINTER.
//
// Threading: every object belongs to the thread that created it. A call from
// any other thread answers RPC_E_WRONG_THREAD and does nothing, so objects
// must never pass between threads; each thread creates its own session (and
// attaches it to the shared MAPI session through GetMAPIOBJECT/PutMAPIOBJECT).
//
// Errors common to every method that reaches the store:
//   MAPI_E_NOT_FOUND (0x8004010F)         the object (or its store) vanished
//   MAPI_E_FAILONEPROVIDER (0x8004011D)   the store's server is unreachable
//   MAPI_E_NOT_INITIALIZED (0x80040605)   the session is not logged on, or an
//                                         object was never given its item
//   MAPI_E_DISK_ERROR, MAPI_E_BUSY, MAPI_E_CORRUPT_STORE  from the store
//   RPC_E_WRONG_THREAD (0x8001010E)       called from another thread
//
// Entry ids, store ids, search keys, source keys and change keys travel as
// text: the bytes as upper-case hexadecimal, two digits per byte
// (QMRMAPIUtils::BinaryToText). Id texts are accepted in either case.
// Property tags are the 32-bit MAPI tags (type in the low word). Binary
// property values travel as VT_ARRAY | VT_UI1, times as VT_DATE (UTC unless
// said otherwise), PT_MV_STRING8 / PT_MV_UNICODE as VT_ARRAY | VT_VARIANT of
// VT_BSTR elements.
#pragma once

#include "platform/com/Dispatch.h"
#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"

struct QMRRDOSession;
struct QMRRDOStore;
struct QMRRDOStores;
struct QMRMAPIFolder;
struct QMRFolders;
struct QMRItems;
struct QMRMessage;
struct QMRAppointment;
struct QMRMeetingItem;
struct QMRAttachments;
struct QMRAttachment;
struct QMRRecipients;
struct QMRRecipient;
struct QMRAddressBook;
struct QMRAddressEntry;
struct QMRAccounts;
struct QMRAccountList;
struct QMRAccount;
struct QMRCategories;
struct QMRCategory;
struct QMRSynchronizer;
struct QMRDifferingItems;
struct QMRDifferingItem;
struct QMRMAPITable;
struct QMRMAPIUtils;
struct QMRSafeMailItem;
struct QMRSafeJournalItem;

// --- Interface ids --------------------------------------------------------
inline constexpr IID IID_QMRRDOSession{
    0xE54C5168, 0xAA8C, 0x405F, {0x9C, 0x14, 0xA4, 0x03, 0x73, 0x02, 0xBD, 0x9D}};
inline constexpr IID IID_QMRMAPIUtils{
    0xD45B0772, 0x5801, 0x4E61, {0x9C, 0xBA, 0x84, 0x12, 0x05, 0x57, 0xA4, 0xD7}};
inline constexpr IID IID_QMRSafeMailItem{
    0x0A95BE2D, 0x1543, 0x46BE, {0xAD, 0x6D, 0x18, 0x65, 0x30, 0x34, 0xBF, 0x87}};
inline constexpr IID IID_QMRSafeJournalItem{
    0xE3EC74BB, 0x5522, 0x462D, {0xA0, 0x0F, 0x27, 0x28, 0xC5, 0x3F, 0xCA, 0x04}};
inline constexpr IID IID_QMRMAPITable{
    0x6CCD925E, 0xE833, 0x4BE3, {0xA6, 0x2E, 0xD3, 0xC8, 0x83, 0x8C, 0x5D, 0x6D}};
inline constexpr IID IID_QMRMAPIFolder{
    0x31CE2164, 0x4D5C, 0x4508, {0xBC, 0xA7, 0xB1, 0x0E, 0x11, 0xD0, 0x8E, 0x6B}};
inline constexpr IID IID_QMRAppointment{
    0x4959BA11, 0xF9D0, 0x4E57, {0xAA, 0x7E, 0x12, 0x56, 0x36, 0xEE, 0xE4, 0x4A}};
inline constexpr IID IID_QMRMeetingItem{
    0x19C7D2A9, 0xDCF8, 0x4459, {0xA1, 0x42, 0x11, 0xAC, 0x87, 0x39, 0x79, 0x17}};
inline constexpr IID IID_QMRRDOStore{
    0xC4A6B914, 0x19B1, 0x4941, {0xB8, 0x62, 0x64, 0x40, 0xC7, 0x7F, 0xF8, 0x60}};
inline constexpr IID IID_QMRRDOStores{
    0x88BC1F06, 0x5FBB, 0x4564, {0x8C, 0x62, 0x40, 0x5F, 0x15, 0xCD, 0xE4, 0xDE}};
inline constexpr IID IID_QMRFolders{
    0xE14974CF, 0xC094, 0x4B41, {0x83, 0xEB, 0x19, 0xD6, 0x7B, 0xD5, 0xDA, 0x7A}};
inline constexpr IID IID_QMRItems{
    0xC64CC731, 0x531C, 0x454D, {0xB3, 0x49, 0x51, 0xD4, 0xD7, 0xAB, 0x9C, 0x31}};
inline constexpr IID IID_QMRMessage{
    0xFC801075, 0xB58C, 0x43A7, {0x87, 0x4A, 0x16, 0x7B, 0xC0, 0x17, 0xDC, 0xBC}};
inline constexpr IID IID_QMRAttachments{
    0x35E48241, 0x268B, 0x47A3, {0x93, 0x27, 0x15, 0x82, 0x00, 0x42, 0xE4, 0x27}};
inline constexpr IID IID_QMRAttachment{
    0x68EFC84D, 0x3729, 0x4006, {0xA8, 0x35, 0xBB, 0x51, 0x79, 0x2A, 0x49, 0x08}};
inline constexpr IID IID_QMRRecipients{
    0xA1CE1EBD, 0x603A, 0x4027, {0xBD, 0x2E, 0x2A, 0x66, 0xD5, 0x8C, 0x2B, 0x80}};
inline constexpr IID IID_QMRRecipient{
    0x8421B869, 0x7C42, 0x4654, {0x85, 0xE3, 0x4A, 0xEE, 0x26, 0x80, 0x7A, 0xD4}};
inline constexpr IID IID_QMRAddressBook{
    0xD8C2225C, 0xB8AA, 0x406B, {0xA3, 0x2E, 0x16, 0xC5, 0x8E, 0x6D, 0x5E, 0x05}};
inline constexpr IID IID_QMRAddressEntry{
    0x55ABC586, 0xABD5, 0x455E, {0x9A, 0x75, 0x39, 0x15, 0x31, 0x1F, 0xF8, 0xF6}};
inline constexpr IID IID_QMRAccounts{
    0x52D9AF28, 0x86E6, 0x46A6, {0xAC, 0xFD, 0xEE, 0x24, 0xC9, 0xB0, 0x6F, 0x93}};
inline constexpr IID IID_QMRAccountList{
    0x2686CEBD, 0xCA8C, 0x4A53, {0xBB, 0x64, 0xD0, 0xE3, 0x5B, 0x8F, 0x9A, 0xE9}};
inline constexpr IID IID_QMRAccount{
    0x246088CE, 0x3F6F, 0x4506, {0xA2, 0xAA, 0x17, 0x01, 0x3A, 0x4D, 0xE4, 0xC4}};
inline constexpr IID IID_QMRCategories{
    0x6265BCC4, 0x171F, 0x4FC5, {0xB3, 0xB9, 0x85, 0x27, 0x2D, 0xF5, 0xF2, 0x5E}};
inline constexpr IID IID_QMRCategory{
    0xCA7DEEF9, 0xFA83, 0x4B21, {0x8C, 0x20, 0xA0, 0x13, 0x12, 0x09, 0xF5, 0xD5}};
inline constexpr IID IID_QMRSynchronizer{
    0xD9E88882, 0xF95E, 0x4A8C, {0x9E, 0xC9, 0xB0, 0x6E, 0xAB, 0x67, 0x9B, 0x3D}};
inline constexpr IID IID_QMRDifferingItems{
    0x5C086269, 0xFC79, 0x4F31, {0x83, 0xAE, 0x3C, 0xD5, 0xD9, 0x41, 0x3C, 0x78}};
inline constexpr IID IID_QMRDifferingItem{
    0x0093948D, 0x58AD, 0x482E, {0xA6, 0x39, 0xF2, 0x92, 0xB9, 0x09, 0x90, 0x96}};

// --- Classes of the creatable kinds ----------------------------------------
// ProgIDs: "QuillmereRDOx.QMRRDOSession", "QuillmereRDOx.QMRMAPIUtils",
// "QuillmereRDOx.QMRSafeMailItem", "QuillmereRDOx.QMRSafeJournalItem",
// "QuillmereRDOx.QMRMAPITable", "QuillmereRDOx.QMRMAPIFolder".
inline constexpr CLSID CLSID_QMRRDOSession{
    0xB3CF2FDB, 0x232B, 0x4BB0, {0xA5, 0x78, 0xA9, 0xB9, 0xC0, 0x93, 0x2B, 0xD6}};
inline constexpr CLSID CLSID_QMRMAPIUtils{
    0xE8FEE841, 0xEBA0, 0x4402, {0xB5, 0xAA, 0xFF, 0x96, 0x6C, 0xED, 0x65, 0xE6}};
inline constexpr CLSID CLSID_QMRSafeMailItem{
    0x99AF7A36, 0xE38B, 0x4ACC, {0xAE, 0x2E, 0xC9, 0x93, 0x1D, 0x7A, 0xA8, 0x5B}};
inline constexpr CLSID CLSID_QMRSafeJournalItem{
    0x69F9552D, 0xF02C, 0x41BA, {0x81, 0x3B, 0xF6, 0xE8, 0xAF, 0x10, 0xA8, 0xF9}};
inline constexpr CLSID CLSID_QMRMAPITable{
    0x7E166D0F, 0xFEE2, 0x41AD, {0x92, 0xEC, 0x95, 0x3F, 0xB9, 0x34, 0xB0, 0x58}};
inline constexpr CLSID CLSID_QMRMAPIFolder{
    0x0B1CDDB0, 0xF6F5, 0x43C9, {0x96, 0x06, 0x0B, 0xF0, 0x00, 0x70, 0x6B, 0x75}};

// Open flags of GetFolderFromID / GetMessageFromID / GetStoreFromID (VT_I4 or
// VT_UI4; empty or missing means 0). MAPI_BEST_ACCESS 0x10 opens for writing
// where allowed; 0x200 (MAPI_NO_CACHE) is accepted and has no effect here.
constexpr LONG kQmrOpenBestAccess = 0x10;
constexpr LONG kQmrOpenNoCache = 0x200;

// Connection modes (QMRRDOSession::GetConnectionMode), as the mail client's
// exchange connection modes: 0 no Exchange, 100..400 offline/disconnected
// kinds (200 offline, 300 cached offline, 400 disconnected), 500..700
// cached modes, 800 online.
constexpr LONG kQmrConnectionNoExchange = 0;
constexpr LONG kQmrConnectionOffline = 200;
constexpr LONG kQmrConnectionCachedConnected = 600;
constexpr LONG kQmrConnectionOnline = 800;

// Change kinds of QMRDifferingItem::GetChangeKind.
constexpr LONG kQmrChangeNewOrChanged = 0;  // GetIsNew tells which
constexpr LONG kQmrChangeDeleted = 1;
constexpr LONG kQmrChangeReadState = 2;

// Formats of SaveAs / Import.
constexpr LONG kQmrFormatMsg = 3;  // Outlook message file (Unicode)

// --- Session ----------------------------------------------------------------

// A MAPI session on one mail profile. A new session is not logged on: Logon
// opens the profile's stores itself; PutMAPIOBJECT attaches to a session
// that is open already (Outlook's namespace MAPIOBJECT, DISPID 0xF100, or
// another helper session's GetMAPIOBJECT), sharing its profile.
struct QMRRDOSession : IDispatch {
    // Logs on to a profile (the user directory's profile description files,
    // or the profile provider a host or test installs, rdo/Profile.h).
    // profileName: VT_BSTR names a profile, empty / missing / "" takes the
    // default profile (QUILLMERE_PROFILE, else the first); the other arguments
    // (password, showDialog, newSession, parentWindow, noMailbox) are
    // accepted and ignored. S_OK (also when logged on already);
    // MAPI_E_TIMEOUT (0x80040401) when the log-on timed out;
    // MAPI_E_LOGON_FAILED when there is no such profile or its stores
    // cannot be opened.
    virtual HRESULT Logon(VARIANT profileName, VARIANT password, VARIANT showDialog,
                          VARIANT newSession, VARIANT parentWindow, VARIANT noMailbox) = 0;
    // Ends the log-on or the attachment: the session's own calls fail with
    // MAPI_E_NOT_INITIALIZED until the next Logon / PutMAPIOBJECT. Objects
    // handed out before keep working until released. S_OK also when not
    // logged on.
    virtual HRESULT Logoff() = 0;
    virtual HRESULT GetLoggedOn(VARIANT_BOOL* loggedOn) = 0;
    // The MAPI session object (the profile's session, the same kind the
    // namespace hands out); MAPI_E_NOT_INITIALIZED when not logged on.
    virtual HRESULT GetMAPIOBJECT(IUnknown** mapiSession) = 0;
    // Attaches to mapiSession: the mail client's session (its name space's
    // MAPIOBJECT) or another helper session's GetMAPIOBJECT. E_INVALIDARG
    // when it is null or no MAPI session of this platform;
    // MAPI_E_LOGON_FAILED when its profile cannot be read.
    virtual HRESULT PutMAPIOBJECT(IUnknown* mapiSession) = 0;
    // Options of the real library's security prompts; accepted, no effect.
    virtual HRESULT ClearOption(LONG option) = 0;

    virtual HRESULT GetProfileName(BSTR* name) = 0;
    // As the profile describes it now (it may change while the session runs).
    virtual HRESULT GetConnectionMode(LONG* mode) = 0;
    // The Exchange server version text, e.g. "14.0.0.0"; "" without Exchange.
    virtual HRESULT GetExchangeVersion(BSTR* version) = 0;

    // A default folder of the default store (4 Outbox, 6 Inbox, and the
    // other numbers of the mail client: 3, 5, 9, 10, 11, 12, 13, 16).
    // MAPI_E_NOT_FOUND when the store has no such folder; E_INVALIDARG for
    // an unknown number.
    virtual HRESULT GetDefaultFolder(LONG folderType, QMRMAPIFolder** folder) = 0;
    // Opens a folder by its entry id text in the store of storeId (null or
    // "" searches every store of the profile). flags: see kQmrOpen*.
    // MAPI_E_INVALID_ENTRYID for an id text that is no hex or no folder id;
    // MAPI_E_NOT_FOUND for a vanished folder or store;
    // MAPI_E_FAILONEPROVIDER when the store's server is unreachable.
    virtual HRESULT GetFolderFromID(BSTR entryId, BSTR storeId, VARIANT flags,
                                    QMRMAPIFolder** folder) = 0;
    // As GetFolderFromID, for a message (normal or hidden).
    virtual HRESULT GetMessageFromID(BSTR entryId, BSTR storeId, VARIANT flags,
                                     QMRMessage** message) = 0;
    // A store of the profile by its entry id text. Errors as GetFolderFromID.
    virtual HRESULT GetStoreFromID(BSTR storeId, VARIANT flags, QMRRDOStore** store) = 0;
    virtual HRESULT GetStores(QMRRDOStores** stores) = 0;
    virtual HRESULT GetAccounts(QMRAccounts** accounts) = 0;
    virtual HRESULT GetCategories(QMRCategories** categories) = 0;
    virtual HRESULT GetAddressBook(QMRAddressBook** addressBook) = 0;
    // A message read from an Outlook message file, detached from every store
    // (Save writes the file back). createNew: a new empty message when the
    // file does not exist. MAPI_E_NOT_FOUND for a missing file (without
    // createNew), MAPI_E_CORRUPT_DATA for a file that is no message file.
    virtual HRESULT GetMessageFromMsgFile(BSTR path, VARIANT_BOOL createNew,
                                          QMRMessage** message) = 0;

protected:
    ~QMRRDOSession() = default;
};

// --- Stores -----------------------------------------------------------------

struct QMRRDOStore : IDispatch {
    virtual HRESULT GetEntryID(BSTR* entryId) = 0;
    virtual HRESULT GetName(BSTR* name) = 0;
    // 1 personal (ANSI), 2 personal (Unicode), 3 Exchange mailbox, 4 Exchange
    // mailbox of another user, 5 Exchange public folders, 6 other.
    virtual HRESULT GetStoreKind(LONG* kind) = 0;
    // As QMRRDOSession::GetDefaultFolder, in this store.
    virtual HRESULT GetDefaultFolder(LONG folderType, QMRMAPIFolder** folder) = 0;
    virtual HRESULT GetRootFolder(QMRMAPIFolder** folder) = 0;
    // One store property (PR_MDB_PROVIDER, PR_DISPLAY_NAME ...) in the VARIANT
    // forms of the file comment; MAPI_E_NOT_FOUND when the store has none.
    virtual HRESULT GetFields(ULONG tag, VARIANT* value) = 0;
    virtual HRESULT GetMAPIOBJECT(IUnknown** mapiObject) = 0;

protected:
    ~QMRRDOStore() = default;
};

struct QMRRDOStores : IDispatch {
    virtual HRESULT GetCount(LONG* count) = 0;
    // index from 1 in the profile's order; DISP_E_BADINDEX outside 1..count.
    virtual HRESULT Item(LONG index, QMRRDOStore** store) = 0;
    virtual HRESULT GetDefaultStore(QMRRDOStore** store) = 0;

protected:
    ~QMRRDOStores() = default;
};

// --- Folders ----------------------------------------------------------------

// A folder. Created by ProgID it is empty until PutMAPIOBJECT gives it a
// folder (the MAPIOBJECT of an Outlook folder, or another folder's
// GetMAPIOBJECT); until then its calls fail with MAPI_E_NOT_INITIALIZED.
struct QMRMAPIFolder : IDispatch {
    virtual HRESULT GetMAPIOBJECT(IUnknown** mapiObject) = 0;
    // E_INVALIDARG when mapiObject is no folder of this platform.
    virtual HRESULT PutMAPIOBJECT(IUnknown* mapiObject) = 0;
    virtual HRESULT GetEntryID(BSTR* entryId) = 0;
    virtual HRESULT GetStoreID(BSTR* storeId) = 0;
    virtual HRESULT GetName(BSTR* name) = 0;
    virtual HRESULT GetStore(QMRRDOStore** store) = 0;
    // MAPI_E_NOT_FOUND for the top folder.
    virtual HRESULT GetParent(QMRMAPIFolder** parent) = 0;
    virtual HRESULT GetFolders(QMRFolders** folders) = 0;
    // The normal messages, and the hidden (associated) ones.
    virtual HRESULT GetItems(QMRItems** items) = 0;
    virtual HRESULT GetHiddenItems(QMRItems** items) = 0;
    // The incremental change synchronizer. MAPI_E_NO_SUPPORT (0x80040102) in
    // a store without incremental change synchronisation.
    virtual HRESULT GetSynchronizer(QMRSynchronizer** synchronizer) = 0;
    // One folder property by tag (VARIANT forms of the file comment);
    // MAPI_E_NOT_FOUND when absent. SetFields writes it at once.
    virtual HRESULT GetFields(ULONG tag, VARIANT* value) = 0;
    virtual HRESULT SetFields(ULONG tag, VARIANT value) = 0;

protected:
    ~QMRMAPIFolder() = default;
};

struct QMRFolders : IDispatch {
    virtual HRESULT GetCount(LONG* count) = 0;
    // index: VT_I4 from 1 (DISP_E_BADINDEX outside), or VT_BSTR a name
    // (case-insensitive; MAPI_E_NOT_FOUND).
    virtual HRESULT Item(VARIANT index, QMRMAPIFolder** folder) = 0;
    // A new subfolder; MAPI_E_COLLISION when one of that name exists.
    virtual HRESULT Add(BSTR name, QMRMAPIFolder** folder) = 0;

protected:
    ~QMRFolders() = default;
};

// --- Items ------------------------------------------------------------------

// The messages of a folder (normal or hidden), in the order set by Sort
// (default: creation order).
struct QMRItems : IDispatch {
    virtual HRESULT GetCount(LONG* count) = 0;
    // index from 1; DISP_E_BADINDEX outside 1..count.
    virtual HRESULT Item(LONG index, QMRMessage** message) = 0;
    // Walk in order; null (and S_OK) past the last one.
    virtual HRESULT GetFirst(QMRMessage** message) = 0;
    virtual HRESULT GetNext(QMRMessage** message) = 0;
    // A new, unsaved message of that class (VT_BSTR, e.g. "IPM.Note";
    // empty or missing: "IPM.Note"). It exists in the store from its Save.
    virtual HRESULT Add(VARIANT messageClass, QMRMessage** message) = 0;
    // The first message matching a DASL filter; a "SELECT ... FROM ... WHERE"
    // query is accepted too (its condition is the filter). Null (and S_OK)
    // when none matches. E_INVALIDARG / MAPI_E_TOO_COMPLEX for a filter the
    // store does not understand.
    virtual HRESULT Find(BSTR filter, QMRMessage** message) = 0;
    // Matches come in the order set by Sort (creation order without one).
    // The next match of the last Find; null (and S_OK) when none is left.
    // MAPI_E_NOT_INITIALIZED without a Find before.
    virtual HRESULT FindNext(QMRMessage** message) = 0;
    // Orders Item/GetFirst/GetNext by one property: a tag text ("0x30080040"),
    // a proptag DASL name, or "[Subject]", "[LastModificationTime]",
    // "[CreationTime]", "[ReceivedTime]". E_INVALIDARG for others.
    virtual HRESULT Sort(BSTR property, VARIANT_BOOL descending) = 0;
    // A contents table over these messages.
    virtual HRESULT GetMAPITable(QMRMAPITable** table) = 0;

protected:
    ~QMRItems() = default;
};

// A contents table: rows of chosen columns read in batches from a cursor.
// Created by ProgID it is empty until PutItem gives it its messages.
struct QMRMAPITable : IDispatch {
    // source: a QMRItems, a QMRMAPIFolder (its normal messages) or the
    // MAPIOBJECT of a folder. E_INVALIDARG otherwise.
    virtual HRESULT PutItem(IUnknown* source) = 0;
    // columns: VT_ARRAY of VT_UI4 / VT_I4 tags (or of VARIANTs holding them),
    // or one VT_I4/VT_UI4 tag. E_INVALIDARG for an empty set. Moves the cursor
    // to the first row.
    virtual HRESULT SetColumns(VARIANT columns) = 0;
    // columns: one tag or an array as SetColumns; descending: VT_BOOL, or
    // VT_I4 / VT_I2 where 1 (non-zero) means descending. Moves to the first row.
    virtual HRESULT Sort(VARIANT columns, VARIANT descending) = 0;
    virtual HRESULT GetRowCount(LONG* count) = 0;
    virtual HRESULT GoToFirst() = 0;
    // Up to count rows from the cursor, advancing it: VT_ARRAY | VT_VARIANT
    // (one element per row), each row VT_ARRAY | VT_VARIANT with one value per
    // column in column order (VT_EMPTY where the message lacks the property).
    // At the end: VT_EMPTY and S_OK. E_INVALIDARG for count < 1.
    virtual HRESULT GetRows(LONG count, VARIANT* rows) = 0;
    // Moves the cursor to row (0-based, from the first row, clamped to the
    // row count).
    virtual HRESULT SeekRow(LONG row) = 0;

protected:
    ~QMRMAPITable() = default;
};

// --- Messages ---------------------------------------------------------------

// A message of a store (or of a message file). Changes stay in memory until
// Save. Field accessors take a tag (VT_I4 / VT_UI4; PT_UNSPECIFIED takes the
// stored type) or a DASL name (VT_BSTR, the forms of Items::Find).
struct QMRMessage : IDispatch {
    virtual HRESULT GetMAPIOBJECT(IUnknown** mapiObject) = 0;
    // "" for a message that was never saved.
    virtual HRESULT GetEntryID(BSTR* entryId) = 0;
    virtual HRESULT GetStoreID(BSTR* storeId) = 0;
    virtual HRESULT GetParent(QMRMAPIFolder** folder) = 0;
    // MAPI_E_NOT_FOUND (value VT_EMPTY) when the message lacks the property.
    virtual HRESULT GetFields(VARIANT property, VARIANT* value) = 0;
    // VT_EMPTY value deletes the property. MAPI_E_INVALID_TYPE when the
    // value does not fit the tag's type.
    virtual HRESULT SetFields(VARIANT property, VARIANT value) = 0;

    virtual HRESULT GetMessageClass(BSTR* messageClass) = 0;
    virtual HRESULT PutMessageClass(BSTR messageClass) = 0;
    virtual HRESULT GetSubject(BSTR* subject) = 0;
    virtual HRESULT PutSubject(BSTR subject) = 0;
    virtual HRESULT GetBody(BSTR* body) = 0;
    virtual HRESULT PutBody(BSTR body) = 0;
    virtual HRESULT PutHTMLBody(BSTR html) = 0;
    virtual HRESULT GetSenderName(BSTR* name) = 0;
    // The recipients' display names joined by "; " (PR_DISPLAY_TO).
    virtual HRESULT GetTo(BSTR* to) = 0;
    // Replaces the To recipients by the names or addresses of a text
    // separated by ';' (unresolved until ResolveRecipients).
    virtual HRESULT PutTo(BSTR to) = 0;
    virtual HRESULT PutSentOnBehalfOfName(BSTR name) = 0;
    // Delivery time (PR_MESSAGE_DELIVERY_TIME), else PR_CLIENT_SUBMIT_TIME,
    // else creation time, as local DATE. MAPI_E_NOT_FOUND when none is set.
    virtual HRESULT GetTimeStamp(DATE* localTime) = 0;
    // Sets the mail's time (sent, delivery and client-submit) from a local DATE.
    virtual HRESULT SetMailTime(DATE localTime) = 0;
    virtual HRESULT PutUnRead(VARIANT_BOOL unread) = 0;
    // 0 low, 1 normal, 2 high; E_INVALIDARG otherwise.
    virtual HRESULT PutImportance(LONG importance) = 0;
    virtual HRESULT PutReminderSet(VARIANT_BOOL set) = 0;
    virtual HRESULT PutDeleteAfterSubmit(VARIANT_BOOL deleteAfterSubmit) = 0;
    // account: a QMRAccount of this session's profile; E_INVALIDARG otherwise.
    virtual HRESULT PutAccount(IUnknown* account) = 0;
    virtual HRESULT GetSubmitted(VARIANT_BOOL* submitted) = 0;
    // MAPI_E_NOT_IN_QUEUE when the message is not submitted.
    virtual HRESULT AbortSubmit() = 0;

    virtual HRESULT GetAttachments(QMRAttachments** attachments) = 0;
    virtual HRESULT GetRecipients(QMRRecipients** recipients) = 0;
    // Resolves every recipient against the profile's address book; names
    // with an '@' that match nothing become SMTP addresses. showDialog is
    // accepted and ignored (no dialog is shown). allResolved may be null.
    // S_OK when all resolved, else MAPI_E_NOT_FOUND (nothing is lost).
    virtual HRESULT ResolveRecipients(LONG showDialog, VARIANT_BOOL* allResolved) = 0;

    // Writes the message to its store (or its message file).
    virtual HRESULT Save() = 0;
    // Deletes the message; flags accepted (0: hard delete). Further calls
    // fail with MAPI_E_NOT_FOUND.
    virtual HRESULT Delete(LONG flags) = 0;
    // Moves the saved message into folder (same store) and returns it there.
    // E_INVALIDARG for a folder of another store.
    virtual HRESULT Move(QMRMAPIFolder* folder, QMRMessage** moved) = 0;
    // Writes the message as it is in memory to an Outlook message file
    // (Windows path). type: empty / missing or kQmrFormatMsg; E_INVALIDARG
    // for other types. MAPI_E_DISK_ERROR when the file cannot be written.
    virtual HRESULT SaveAs(BSTR path, VARIANT type) = 0;
    // Replaces properties, named properties, recipients and attachments by
    // those of a message file (the store keeps the message's identity:
    // entry id, source key). Not saved until Save. type: kQmrFormatMsg;
    // E_INVALIDARG otherwise. MAPI_E_NOT_FOUND / MAPI_E_CORRUPT_DATA for a
    // missing or damaged file.
    virtual HRESULT Import(BSTR path, LONG type) = 0;

protected:
    ~QMRMessage() = default;
};

// Meeting states as Outlook's MeetingStatus gives them: the bits of
// PidLidAppointmentStateFlags (meeting 1, received 2, cancelled 4).
inline constexpr LONG kQmrNonMeeting = 0;
inline constexpr LONG kQmrMeeting = 1;
inline constexpr LONG kQmrMeetingReceived = 3;
inline constexpr LONG kQmrMeetingCanceled = 5;
inline constexpr LONG kQmrMeetingReceivedAndCanceled = 7;

// Extra view of an appointment message (QueryInterface of a QMRMessage whose
// class is "IPM.Appointment" or begins with "IPM.Appointment."; E_NOINTERFACE
// for other messages).
struct QMRAppointment : IDispatch {
    // The end of the appointment (PidLidAppointmentEndWhole), else its start,
    // as local DATE. MAPI_E_NOT_FOUND when it has neither.
    virtual HRESULT GetDate(DATE* localTime) = 0;
    // kQmrNonMeeting for a plain appointment; for a meeting its state
    // (kQmrMeeting, kQmrMeetingReceived, kQmrMeetingCanceled,
    // kQmrMeetingReceivedAndCanceled), from PidLidAppointmentStateFlags.
    virtual HRESULT GetMeetingStatus(LONG* status) = 0;

protected:
    ~QMRAppointment() = default;
};

// Extra view of a meeting message: a request, a response or a cancellation
// that a meeting's organiser or attendee sent (QueryInterface of a
// QMRMessage whose class is "IPM.Schedule.Meeting" or begins with
// "IPM.Schedule.Meeting.", such as "IPM.Schedule.Meeting.Request",
// ".Resp.Pos", ".Resp.Neg", ".Resp.Tent" and ".Canceled"; E_NOINTERFACE for
// other messages). Class names compare without regard to case.
struct QMRMeetingItem : IDispatch {
    // The state of the meeting the message belongs to, as
    // QMRAppointment::GetMeetingStatus gives it; never kQmrNonMeeting, as
    // every such message belongs to a meeting.
    virtual HRESULT GetMeetingStatus(LONG* status) = 0;

protected:
    ~QMRMeetingItem() = default;
};

struct QMRAttachments : IDispatch {
    virtual HRESULT GetCount(LONG* count) = 0;
    // index from 1; DISP_E_BADINDEX outside 1..count.
    virtual HRESULT Item(LONG index, QMRAttachment** attachment) = 0;
    // Adds the file source (Windows path) by value (type 1, empty or
    // missing); position (VT_I4 from 1, empty: at the end) and displayName
    // (VT_BSTR, empty: the file's name) are optional. The file is read now.
    // MAPI_E_NOT_FOUND for a missing file, E_INVALIDARG for another type.
    virtual HRESULT Add(BSTR source, VARIANT type, VARIANT position, VARIANT displayName,
                        QMRAttachment** attachment) = 0;

protected:
    ~QMRAttachments() = default;
};

struct QMRAttachment : IDispatch {
    // PR_ATTACH_LONG_FILENAME, else PR_ATTACH_FILENAME.
    virtual HRESULT GetFileName(BSTR* name) = 0;
    virtual HRESULT GetDisplayName(BSTR* name) = 0;
    // Writes the data to a file (Windows path; an embedded message as a
    // message file). MAPI_E_DISK_ERROR when it cannot be written.
    virtual HRESULT SaveAsFile(BSTR path) = 0;

protected:
    ~QMRAttachment() = default;
};

struct QMRRecipients : IDispatch {
    virtual HRESULT GetCount(LONG* count) = 0;
    virtual HRESULT Item(LONG index, QMRRecipient** recipient) = 0;
    // A new To recipient by name or address (unresolved).
    virtual HRESULT Add(BSTR name, QMRRecipient** recipient) = 0;
    // As QMRMessage::ResolveRecipients. allResolved may be null.
    virtual HRESULT ResolveAll(VARIANT_BOOL* allResolved) = 0;

protected:
    ~QMRRecipients() = default;
};

struct QMRRecipient : IDispatch {
    virtual HRESULT GetName(BSTR* name) = 0;
    virtual HRESULT GetAddress(BSTR* address) = 0;
    virtual HRESULT GetResolved(VARIANT_BOOL* resolved) = 0;

protected:
    ~QMRRecipient() = default;
};

// --- Address book, accounts, categories --------------------------------------

struct QMRAddressBook : IDispatch {
    // The entry whose name or address equals name (case-insensitive), else
    // a one-off SMTP entry for a name with an '@'. MAPI_E_NOT_FOUND otherwise.
    virtual HRESULT ResolveName(BSTR name, QMRAddressEntry** entry) = 0;

protected:
    ~QMRAddressBook() = default;
};

struct QMRAddressEntry : IDispatch {
    virtual HRESULT GetName(BSTR* name) = 0;
    // The e-mail address ("anna@example.org").
    virtual HRESULT GetAddressText(BSTR* address) = 0;
    virtual HRESULT GetAddressType(BSTR* type) = 0;

protected:
    ~QMRAddressEntry() = default;
};

struct QMRAccounts : IDispatch {
    virtual HRESULT GetCount(LONG* count) = 0;
    // The accounts in the profile's order (kind 2: sending order; kinds 0
    // and 1 give the same list). E_INVALIDARG for other kinds.
    virtual HRESULT GetOrder(LONG kind, QMRAccountList** list) = 0;

protected:
    ~QMRAccounts() = default;
};

struct QMRAccountList : IDispatch {
    virtual HRESULT Count(LONG* count) = 0;
    // index from 1; DISP_E_BADINDEX outside 1..count.
    virtual HRESULT Item(LONG index, QMRAccount** account) = 0;

protected:
    ~QMRAccountList() = default;
};

struct QMRAccount : IDispatch {
    virtual HRESULT Name(BSTR* name) = 0;
    // The account's stable number in its profile.
    virtual HRESULT ID(LONG* id) = 0;

protected:
    ~QMRAccount() = default;
};

struct QMRCategories : IDispatch {
    virtual HRESULT Count(LONG* count) = 0;
    // index: VT_I4 / VT_I2 from 1 (DISP_E_BADINDEX outside), or VT_BSTR a
    // name (MAPI_E_NOT_FOUND).
    virtual HRESULT Item(VARIANT index, QMRCategory** category) = 0;

protected:
    ~QMRCategories() = default;
};

struct QMRCategory : IDispatch {
    virtual HRESULT Name(BSTR* name) = 0;

protected:
    ~QMRCategory() = default;
};

// --- Incremental change synchronisation --------------------------------------

struct QMRSynchronizer : IDispatch {
    // The folder's messages new, changed or deleted since state ("" or null:
    // the initial state, everything present is new). E_INVALIDARG
    // (0x80070057) for an unusable state; MAPI_E_NETWORK_ERROR (0x80040115)
    // when the server cannot be reached; MAPI_E_NO_SUPPORT (0x80040102).
    virtual HRESULT GetDifferingItems(BSTR state, QMRDifferingItems** items) = 0;

protected:
    ~QMRSynchronizer() = default;
};

struct QMRDifferingItems : IDispatch {
    virtual HRESULT GetCount(LONG* count) = 0;
    // index from 1, oldest change first; DISP_E_BADINDEX outside 1..count.
    virtual HRESULT Item(LONG index, QMRDifferingItem** item) = 0;
    // The state text after these items, for the next GetDifferingItems.
    virtual HRESULT GetSyncData(BSTR* state) = 0;

protected:
    ~QMRDifferingItems() = default;
};

struct QMRDifferingItem : IDispatch {
    virtual HRESULT GetSourceKey(BSTR* sourceKey) = 0;
    // kQmrChangeNewOrChanged, kQmrChangeDeleted, kQmrChangeReadState.
    virtual HRESULT GetChangeKind(LONG* kind) = 0;
    // "" for a deletion.
    virtual HRESULT GetChangeKey(BSTR* changeKey) = 0;
    virtual HRESULT GetIsNew(VARIANT_BOOL* isNew) = 0;
    // VT_DATE, UTC (pass it through QMRMAPIUtils::ConvertModificationTime).
    // MAPI_E_NOT_FOUND for a deletion.
    virtual HRESULT GetLastModificationTime(VARIANT* time) = 0;
    // The message as it is now; MAPI_E_NOT_FOUND for a deletion or when it
    // vanished since.
    virtual HRESULT GetMessage(QMRMessage** message) = 0;

protected:
    ~QMRDifferingItem() = default;
};

// --- Utilities --------------------------------------------------------------

// Property access on any object of this library (message, folder, store,
// safe item) and on the MAPIOBJECT of Outlook items and folders.
struct QMRMAPIUtils : IDispatch {
    // One property in the VARIANT forms of the file comment. MAPI_E_NOT_FOUND
    // (value VT_EMPTY) when absent; E_INVALIDARG for an object this library
    // cannot reach.
    virtual HRESULT HrGetOneProp(IUnknown* object, ULONG tag, VARIANT* value) = 0;
    // Sets one property; with save the object is saved at once (a message)
    // or the change is written (a folder). MAPI_E_INVALID_TYPE when the value
    // does not fit the tag's type.
    virtual HRESULT HrSetOneProp(IUnknown* object, ULONG tag, VARIANT value, VARIANT_BOOL save) = 0;
    // The tag (type PT_UNSPECIFIED: combine it with a type) of a named
    // property in object's store. propertySet: "{GUID}" text; name: VT_BSTR
    // a name, VT_I4 a numeric id. Without create an unmapped name gives the
    // tag 0 and MAPI_W_ERRORS_RETURNED (0x00040380, a success code, as the
    // platform's call reports names it could not map). E_INVALIDARG for a
    // malformed set text or an empty name.
    virtual HRESULT GetIDsFromNames(IUnknown* object, BSTR propertySet, VARIANT name,
                                    VARIANT_BOOL create, ULONG* tag) = 0;
    // Whether two entry id texts name the same object. E_INVALIDARG for a
    // text that is no hex.
    virtual HRESULT CompareEntryIDs(BSTR entryId1, BSTR entryId2, VARIANT_BOOL* same) = 0;
    // binary: VT_ARRAY | VT_UI1 -> upper-case hex text; E_INVALIDARG for other types.
    virtual HRESULT BinaryToText(VARIANT binary, BSTR* text) = 0;
    // The exact inverse: hex text (either case) -> VT_ARRAY | VT_UI1.
    // E_INVALIDARG for an odd length or a character that is no hex digit.
    virtual HRESULT TextToBinary(BSTR text, VARIANT* binary) = 0;
    // A UTC time (VT_DATE, or VT_R8) as local DATE. E_INVALIDARG otherwise.
    virtual HRESULT ConvertModificationTime(VARIANT utcTime, DATE* localTime) = 0;
    // The address book's pick dialog (modal; answered through the platform's
    // message-box hook or a test's hook). Arguments as the real library's
    // (all optional): recipients, title, oneAddress, forceResolution,
    // recipientLists, toLabel, ccLabel, bccLabel, parentWindow. The chosen
    // recipients; null with MAPI_E_USER_CANCEL when cancelled.
    virtual HRESULT AddressBookDialog(VARIANT recipients, VARIANT title, VARIANT oneAddress,
                                      VARIANT forceResolution, VARIANT recipientLists,
                                      VARIANT toLabel, VARIANT ccLabel, VARIANT bccLabel,
                                      VARIANT parentWindow, QMRRecipients** chosen) = 0;
    // The library's version text, e.g. "5.0.0.1".
    virtual HRESULT GetVersion(BSTR* version) = 0;
    // Frees the calling thread's cached helper state; call once as a thread
    // ends. S_OK.
    virtual HRESULT Cleanup() = 0;

protected:
    ~QMRMAPIUtils() = default;
};

// --- Safe items -------------------------------------------------------------

// Wraps a mail (a QMRMessage, or an Outlook mail item: its MAPIOBJECT is
// used, and every call works on the item's own message under the object
// model's lock) for reading, writing and sending. Send is the only call of
// the library that submits a mail. GetItem and GetRecipients answer
// MAPI_E_NO_SUPPORT for an Outlook item (use the item's own recipients).
struct QMRSafeMailItem : IDispatch {
    // E_INVALIDARG when item is neither.
    virtual HRESULT PutItem(IUnknown* item) = 0;
    virtual HRESULT GetItem(QMRMessage** message) = 0;
    // As QMRMessage::GetFields / SetFields on the wrapped mail.
    virtual HRESULT GetFields(VARIANT property, VARIANT* value) = 0;
    virtual HRESULT SetFields(VARIANT property, VARIANT value) = 0;
    virtual HRESULT GetBody(BSTR* body) = 0;
    virtual HRESULT PutBody(BSTR body) = 0;
    virtual HRESULT GetRecipients(QMRRecipients** recipients) = 0;
    // As QMRMessage::SaveAs.
    virtual HRESULT SaveAs(BSTR path, VARIANT type) = 0;
    // Saves and submits the mail: it is handed to the process's mail
    // transport once (rdo/MailTransport.h), then deleted
    // (PR_DELETE_AFTER_SUBMIT) or moved to Sent Items; the wrapped message is
    // gone afterwards (MAPI_E_NOT_FOUND). MAPI_E_NO_RECIPIENTS without
    // recipients (nothing is submitted); MAPI_E_SUBMITTED when it is
    // submitted already. Without a transport the mail stays submitted in the
    // Outbox (S_OK); a transport's failure is returned and the mail is left
    // in the Outbox unsubmitted, to be sent again.
    virtual HRESULT Send() = 0;

protected:
    ~QMRSafeMailItem() = default;
};

// The same for a journal entry (an Outlook journal item or a QMRMessage of
// class "IPM.Activity").
struct QMRSafeJournalItem : IDispatch {
    virtual HRESULT PutItem(IUnknown* item) = 0;
    virtual HRESULT GetItem(QMRMessage** message) = 0;
    virtual HRESULT GetFields(VARIANT property, VARIANT* value) = 0;
    virtual HRESULT SetFields(VARIANT property, VARIANT value) = 0;
    virtual HRESULT GetBody(BSTR* body) = 0;
    virtual HRESULT PutBody(BSTR body) = 0;
    virtual HRESULT SaveAs(BSTR path, VARIANT type) = 0;

protected:
    ~QMRSafeJournalItem() = default;
};

QM_DECLARE_IID(QMRRDOSession, IID_QMRRDOSession);
QM_DECLARE_IID(QMRRDOStore, IID_QMRRDOStore);
QM_DECLARE_IID(QMRRDOStores, IID_QMRRDOStores);
QM_DECLARE_IID(QMRMAPIFolder, IID_QMRMAPIFolder);
QM_DECLARE_IID(QMRFolders, IID_QMRFolders);
QM_DECLARE_IID(QMRItems, IID_QMRItems);
QM_DECLARE_IID(QMRMAPITable, IID_QMRMAPITable);
QM_DECLARE_IID(QMRMessage, IID_QMRMessage);
QM_DECLARE_IID(QMRAppointment, IID_QMRAppointment);
QM_DECLARE_IID(QMRMeetingItem, IID_QMRMeetingItem);
QM_DECLARE_IID(QMRAttachments, IID_QMRAttachments);
QM_DECLARE_IID(QMRAttachment, IID_QMRAttachment);
QM_DECLARE_IID(QMRRecipients, IID_QMRRecipients);
QM_DECLARE_IID(QMRRecipient, IID_QMRRecipient);
QM_DECLARE_IID(QMRAddressBook, IID_QMRAddressBook);
QM_DECLARE_IID(QMRAddressEntry, IID_QMRAddressEntry);
QM_DECLARE_IID(QMRAccounts, IID_QMRAccounts);
QM_DECLARE_IID(QMRAccountList, IID_QMRAccountList);
QM_DECLARE_IID(QMRAccount, IID_QMRAccount);
QM_DECLARE_IID(QMRCategories, IID_QMRCategories);
QM_DECLARE_IID(QMRCategory, IID_QMRCategory);
QM_DECLARE_IID(QMRSynchronizer, IID_QMRSynchronizer);
QM_DECLARE_IID(QMRDifferingItems, IID_QMRDifferingItems);
QM_DECLARE_IID(QMRDifferingItem, IID_QMRDifferingItem);
QM_DECLARE_IID(QMRMAPIUtils, IID_QMRMAPIUtils);
QM_DECLARE_IID(QMRSafeMailItem, IID_QMRSafeMailItem);
QM_DECLARE_IID(QMRSafeJournalItem, IID_QMRSafeJournalItem);
