// The object model stand-in as the host process drives it: one
// OutlookApplication per client process, over the stores of one profile.
// The host hands its _Application to the add-ins, raises the client's own
// events (NewMail, Reminder, OptionsPagesAdd, Quit) from its UI thread, opens
// inspectors on items and files arriving mails by the store's rules.
//
// Item events (ItemAdd, ItemChange, ItemRemove on every _Items that sinks
// are advised on) come from the store's change notifications: any session,
// any thread of the process, the object model's own writes included. They
// are always delivered through the UiDispatcher, i.e. on the UI thread.
//
// Threading: every method may be called from any thread unless it says
// "UI thread". Not copyable.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/outlook/MapiObjects.h"
#include "platform/outlook/Outlook.h"
#include "platform/outlook/UiDispatcher.h"

namespace outlook {

namespace impl {
class Model;
}

struct ApplicationOptions {
    MapiProfileInfo profile;
    // _Application::Version.
    std::wstring version = L"14.0.0.7015";
    // The main window's caption; empty: the client runs without an explorer.
    std::wstring explorerCaption = L"Inbox - Microsoft Outlook";
    // Required: where events are raised.
    std::shared_ptr<UiDispatcher> ui;
};

class OutlookApplication {
public:
    // Opens a session on every store of the profile (store::Session::Open)
    // on the calling thread. E_INVALIDARG without a dispatcher, without
    // stores or without exactly one default store; the store's errors
    // (MAPI_E_NOT_FOUND for a missing file ...). On failure *out is null.
    static HRESULT Create(const ApplicationOptions& options,
                          std::unique_ptr<OutlookApplication>* out);
    // The profile part of the options from a profile description file
    // (platform/store/Profile.h): its name, the file itself, and its stores
    // (relative files resolved against the file's directory) with the
    // default one marked. Errors of store::Profile::Load; E_INVALIDARG for a
    // profile without stores.
    static HRESULT ProfileFromFile(const std::string& profilePath, MapiProfileInfo* out);
    // Stops the item events (waits for a change notification being turned
    // into one on another thread) and lets go of the objects' host. Objects
    // still held elsewhere stay callable; get_Application then gives E_FAIL.
    ~OutlookApplication();
    OutlookApplication(const OutlookApplication&) = delete;
    OutlookApplication& operator=(const OutlookApplication&) = delete;

    // The application object (a new reference).
    _ApplicationPtr Application() const;
    _NameSpacePtr NameSpace() const;

    // --- The client's events: UI thread, synchronous ---------------------------
    void FireNewMail();
    // item: the item whose reminder fell due.
    void FireReminder(IDispatch* item);
    // The Options dialog opens: sinks add their pages to pages.
    void FireOptionsPagesAdd(PropertyPages* pages);
    // A folder's Properties dialog opens.
    void FireFolderOptionsPagesAdd(PropertyPages* pages, MAPIFolder* folder);
    // The client closes: Quit is raised (once; later calls do nothing).
    void FireQuit();
    // Called (on the UI thread, after Quit was raised) when _Application::Quit
    // was asked for, so that the host ends its loop.
    void SetQuitHandler(std::function<void()> handler);

    // --- Inspector --------------------------------------------------------------
    // Shows item in the active inspector (replacing one that is open).
    // E_INVALIDARG for null.
    HRESULT OpenInspector(IDispatch* item, const std::wstring& caption);
    void CloseInspector();
    // The item of a saved message by entry id text, in any store of the
    // profile; MAPI_E_NOT_FOUND.
    HRESULT GetItemFromID(const std::wstring& entryId, IDispatch** item);

    // --- Office add-ins -----------------------------------------------------------
    // Registers an add-in record (COMAddIns); onConnectChange runs (on the
    // calling thread of put_Connect) with the new state when an add-in sets
    // its Connect property to a different value. The record is returned.
    COMAddInPtr AddComAddIn(const std::wstring& progId, const std::wstring& description,
                            std::function<void(bool connect)> onConnectChange);

    // --- Rules ----------------------------------------------------------------------
    // The folder (entry id) that the default store's saved rules file a mail
    // with this subject and body into: the first enabled rule of type
    // receive whose enabled conditions all hold and which has an enabled
    // move action with a folder. S_OK with the target, S_FALSE (target
    // empty) when no rule applies.
    HRESULT FindRuleTarget(const std::wstring& subject, const std::wstring& body,
                           store::Bytes* targetFolder);
    // Applies the rules to an arriving mail of the default store: moves it
    // into the target folder. S_OK moved (*targetFolder set when not null),
    // S_FALSE no rule applies, MAPI_E_NOT_FOUND no such mail or folder.
    HRESULT ApplyRules(const store::Bytes& mailEntryId, store::Bytes* targetFolder);

    // Internal state shared with the objects of this library.
    const std::shared_ptr<impl::Model>& GetModel() const { return m_model; }

private:
    explicit OutlookApplication(std::shared_ptr<impl::Model> model);
    std::shared_ptr<impl::Model> m_model;
};

// --- Outlook's thread -------------------------------------------------------------

// Outlook's object model belongs to the client's UI thread (here: the thread
// that created the OutlookApplication, where its events are raised). The
// stand-in serves a call from any thread all the same, so that a program
// that calls it from elsewhere goes unnoticed unless it looks: observer
// (null: none) is told, before the call is served, of every call of an object
// of the model that reaches the application's state from another thread,
// with that thread's id. A test sets one that fails it. Process-wide; set it
// while no call is being made. Calls that other processes make through the
// running object (RunningApplication) are served on a thread of their
// connection and are told as well.
void SetForeignThreadCallObserver(std::function<void(DWORD threadId)> observer);

// --- "Outlook.Application" as a class ------------------------------------------

// Registers "Outlook.Application" as the client's installation leaves it:
// the ProgIDs "Outlook.Application" and "Outlook.Application.<major version
// of version>" for CLSID_OutlookApplication, with serverPath (the client
// program) as its local server, and the proxies of the object model's
// interfaces that other processes reach (_Application, _NameSpace, _Store,
// MAPIFolder, _Folders and the rule interfaces) as served by proxyLibrary,
// this library (DualProxy.h). The errors of the registry.
HRESULT RegisterApplicationClass(const std::wstring& version,
                                 const std::wstring& serverPath = L"P:\\outlook-host.exe",
                                 const std::wstring& proxyLibrary = L"P:\\QuillmereOutlook.dll");

// What the running client does while it runs: its class factory, which
// hands every local-server activation the one application object, is
// registered with the machine's class table, and the application object is
// the active object of "Outlook.Application" (LocalServer.h). Another
// process's CoCreateInstance(CLSID_OutlookApplication, CLSCTX_LOCAL_SERVER)
// and GetActiveObject then reach this client. The class object itself
// offers IClassFactory only, so a CoGetClassObject asked for _Application
// gives E_NOINTERFACE. Revoked by the destructor, which waits for the calls
// other processes are making.
class RunningApplication {
public:
    // S_OK; CO_E_OBJISREG when another process of the machine runs a client.
    static HRESULT Register(_Application* application, std::unique_ptr<RunningApplication>* out);
    ~RunningApplication();
    RunningApplication(const RunningApplication&) = delete;
    RunningApplication& operator=(const RunningApplication&) = delete;

private:
    RunningApplication(DWORD classCookie, DWORD activeCookie)
        : m_classCookie(classCookie), m_activeCookie(activeCookie) {}
    DWORD m_classCookie;
    DWORD m_activeCookie;
};

// --- Dialog pieces the host builds ----------------------------------------------

// The PropertyPages collection of one opening of a dialog, recording what
// the handlers added.
struct PageEntry {
    CComVariant page;  // VT_BSTR ProgID or the page object
    std::wstring title;
};
class PropertyPageList;
// A new, empty collection (a new reference) and its C++ view (valid while
// the collection is held).
CComPtr<PropertyPages> CreatePropertyPages(PropertyPageList** view);
class PropertyPageList {
public:
    virtual ~PropertyPageList() = default;
    virtual std::vector<PageEntry> Entries() const = 0;
};

// A page site that calls onStatusChange (may be empty) at each OnStatusChange.
// It is also the client site a page control is given through
// IOleObject::SetClientSite (QueryInterface for IOleClientSite), as the
// client's dialogs hand it to each page they show.
CComPtr<PropertyPageSite> CreatePropertyPageSite(std::function<void()> onStatusChange);

}  // namespace outlook
