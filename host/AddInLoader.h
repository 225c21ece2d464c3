// The add-ins of one profile, as the client loads them at start-up.
//
// The profile's add-in list is a registry key of the user (written by
// `outlook-host install`, or by a test):
//   HKEY_CURRENT_USER\Software\Microsoft\Office\Outlook\Profiles\<profile>\Addins\<ProgID>
//     LoadBehavior  REG_DWORD  3 = load at start-up (bit 0 connected, bit 1 at start-up)
//     FriendlyName  REG_SZ     shown as the add-in's description
// Each entry whose LoadBehavior has bits 0 and 1 set is created by ProgID
// (CLSIDFromProgID, CoCreateInstance; the class's own COM registration under
// HKEY_CLASSES_ROOT), given a COMAddIn record and connected with
// OnConnection(application, ext_cm_Startup, record, custom array), then
// told OnStartupComplete. An add-in that cannot be created or whose
// OnConnection fails is logged and released; the others still load.
//
// An add-in that sets its record's Connect to false (COMAddIn.Connect =
// False, as Office documents it) is disconnected at once, on the thread of
// that call (the UI thread): OnDisconnection(ext_dm_UserClosed), logged
// "add-in <ProgID> disconnected"; it gets no OnBeginShutdown nor a second
// OnDisconnection at quit. The object itself is released with the others
// when the client quits (it may be in the middle of the call that set the
// property).
//
// Threading: UI thread only (the add-ins are apartment objects of it).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/outlook/OutlookApplication.h"

namespace host {

class AddInLoader {
public:
    AddInLoader(outlook::OutlookApplication* app, std::function<void(const std::string&)> log);
    // Disconnects what is still connected.
    ~AddInLoader();
    AddInLoader(const AddInLoader&) = delete;
    AddInLoader& operator=(const AddInLoader&) = delete;

    // The key of the profile's add-in list, under HKEY_CURRENT_USER.
    static std::wstring ListKey(const std::wstring& profileName);
    // Writes the list entry (LoadBehavior 3). The registry's error as an HRESULT.
    static HRESULT AddToList(const std::wstring& profileName, const std::wstring& progId,
                             const std::wstring& friendlyName);

    // Loads every entry of the list that loads at start-up. Returns how
    // many are connected.
    int LoadAll(const std::wstring& profileName);
    // Loads one add-in. S_OK; the error of CLSIDFromProgID, CoCreateInstance,
    // E_NOINTERFACE (no _IDTExtensibility2) or OnConnection.
    HRESULT Load(const std::wstring& progId, const std::wstring& description);
    // OnBeginShutdown, OnDisconnection(ext_dm_HostShutdown) and the release
    // of each connected add-in, in loading order; then the release of those
    // that disconnected themselves.
    void DisconnectAll();
    // ProgIDs of the connected add-ins.
    std::vector<std::wstring> Connected() const;

private:
    struct Entry {
        std::wstring progId;
        CComPtr<_IDTExtensibility2> addIn;
        COMAddInPtr record;
    };
    // The record's Connect went to false: disconnects that add-in.
    void OnDisconnectedByAddIn(const std::wstring& progId);

    outlook::OutlookApplication* m_app;
    std::function<void(const std::string&)> m_log;
    std::vector<Entry> m_entries;
    // Disconnected by their own Connect = false, released at DisconnectAll.
    std::vector<Entry> m_disconnected;
    // What the records' callbacks reach; reset first by the destructor, so
    // that a record that outlives the loader calls nothing.
    std::shared_ptr<AddInLoader*> m_self = std::make_shared<AddInLoader*>(this);
};

}  // namespace host
