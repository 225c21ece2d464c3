// CConnect: the add-in object that Outlook's add-in mechanism creates
// ("Quillmere.Connect") and connects. Its connection performs the whole
// start-up; its Outlook event handlers add the two property pages, hand
// new-mail and reminder events to the engine and perform the whole shut-down
// on Outlook's Quit event, or on the disconnection when it comes first (the
// add-in disconnects itself when the helper library is missing); the
// shut-down runs once.
//
// Threads: everything here runs on Outlook's thread (the thread that created
// the object; the event sinks are called there too).
#pragma once

#include <string>

#include "Quillmere/core/HiddenWindow.h"
#include "Quillmere/core/HiddenWindowTray.h"
#include "platform/com/ComObject.h"
#include "platform/outlook/Outlook.h"

// {5A67B082-2C38-4cb3-B098-56736AADF9DC}
inline constexpr CLSID CLSID_Connect{
    0x5A67B082, 0x2C38, 0x4cb3, {0xB0, 0x98, 0x56, 0x73, 0x6A, 0xAD, 0xF9, 0xDC}};

constexpr DWORD kSinkNotAdvised = 0xFEFEFEFE;

class CConnect;

// One row of the sink map: which handler an event of a sink calls.
struct SinkMapEntry {
    int sink;  // 1: ApplicationEvents_11 on the Application, 2: NameSpaceEvents on the namespace
    const IID* eventInterface;
    DISPID dispid;
    void (*handler)(CConnect& self, DISPPARAMS* params);
};

// What the shut-down and the reminder handler need of the change tracking
// and the sync-mail exchange, registered by them; until they are, no mail
// is pending and a reminder changes nothing.
struct ConnectHooks {
    // Queued sync mails + queued deletion notices (each read under its lock).
    LONG (*pendingMailCount)() = nullptr;
    // Registers the reminder update of item (an Outlook item with a sync id)
    // as the add-in's own change in every synchronised folder.
    void (*registerReminder)(CSyncEngine* engine, IDispatch* item) = nullptr;
    // Sets the engine's shutdown flag and StopFlag and clears the run flag of
    // the running folder entries; the default does just that.
    void (*initiateShutdown)(CSyncEngine* engine) = nullptr;
};
void SetConnectHooks(const ConnectHooks& hooks);

class CConnect final : public com::ComObject<CConnect, _IDTExtensibility2> {
public:
    // Creates the heartbeat window (hidden) and the tray icon ("Quillmere",
    // icon 274, visible, icon timer at 3000 ms).
    CConnect();
    ~CConnect() override;

    // IDispatch: no type information; calls by DISPID are not offered.
    HRESULT GetTypeInfoCount(UINT* count) override;
    HRESULT GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT GetIDsOfNames(REFIID, OLECHAR**, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    HRESULT Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return static_cast<HRESULT>(0x80020003);  // DISP_E_MEMBERNOTFOUND
    }

    // _IDTExtensibility2. OnConnection: the start-up; S_OK, or the failing
    // HRESULT of getting the namespace (E_POINTER without an _Application)
    // or of advising a sink. OnDisconnection, in any mode: the shut-down of
    // the Quit handler unless it ran already (Outlook disconnects the add-in
    // on its own COMAddIn.Connect = false with ext_dm_UserClosed, and no
    // Quit comes to it then; at Outlook's exit the disconnection follows the
    // Quit and does nothing); S_OK. The others do nothing and return S_OK.
    HRESULT OnConnection(IDispatch* application, ext_ConnectMode mode, IDispatch* addInInst,
                         SAFEARRAY** custom) override;
    HRESULT OnDisconnection(ext_DisconnectMode mode, SAFEARRAY** custom) override;
    HRESULT OnAddInsUpdate(SAFEARRAY**) override { return S_OK; }
    HRESULT OnStartupComplete(SAFEARRAY**) override { return S_OK; }
    HRESULT OnBeginShutdown(SAFEARRAY**) override { return S_OK; }

    // The event handlers (sink map below).
    void OnOptionsPagesAdd(IDispatch* pages);
    void OnFolderOptionsPagesAdd(IDispatch* pages, IDispatch* folder);
    void OnNewMail();
    void OnReminder(IDispatch* item);
    // The whole shut-down, once per connection (a later call, or the
    // disconnection after it, does nothing).
    void OnQuit();

    // The sink map, built once on first use.
    static const SinkMapEntry* _GetSinkMap();

    CHiddenWindow& Heartbeat() { return m_heartbeat; }
    CHiddenWindowTray& Tray() { return m_tray; }
    DWORD ApplicationCookie() const { return m_appCookie; }
    DWORD NamespaceCookie() const { return m_nsCookie; }

private:
    class EventSink;

    void ShutDown();
    void PrepareDirectories();
    void ReadConfigAtStart();
    HRESULT AdviseSinks();
    void UnadviseSinks();
    bool IsExcludedFolder(MAPIFolder* folder, const CComBSTR& entryId);

    CComPtr<EventSink> m_appSink;
    CComPtr<EventSink> m_nsSink;
    DWORD m_appCookie = kSinkNotAdvised;
    DWORD m_nsCookie = kSinkNotAdvised;
    // Set as the connection initialises the locks; cleared by the shut-down.
    bool m_connected = false;
    CHiddenWindow m_heartbeat;
    CHiddenWindowTray m_tray;
    std::wstring m_productWord = L"Quillmere";
    CComPtr<_Application> m_application;
    CComPtr<_NameSpace> m_nameSpace;
    std::wstring m_moduleDirectory;
    std::wstring m_tempDirectory;
    std::wstring m_ruleHelperPath;
};
