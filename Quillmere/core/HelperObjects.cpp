#include "Quillmere/core/HelperObjects.h"

#include <cstdio>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/DebugLog.h"
#include "Quillmere/core/HiddenWindow.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/resources/LoadString.h"
#include "platform/com/Dispatch.h"
#include "platform/win/Clock.h"
#include "platform/win/MessageBox.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Module.h"
#include "platform/win/Version.h"

namespace {

// COMAddIn.Connect (Office's dispatch id of the property).
constexpr DISPID kDispidComAddInConnect = 0x0006;

// The helper library's answer when the log-on timed out.
constexpr HRESULT kSessionTimeout = static_cast<HRESULT>(0x80040401);
constexpr DWORD kSessionRetryMs = 10000;
constexpr DWORD kStopPollMs = 100;

template <class T>
HRESULT CreateOrReport(CSyncEngine* engine, const wchar_t* progId, REFIID iid, T** out) {
    HRESULT hr = CreateHelperObject(progId, iid, reinterpret_cast<void**>(out));
    if (FAILED(hr))
        ReportHelperLibraryNotRegistered(engine);
    return hr;
}

}  // namespace

HRESULT CreateMAPIUtils(CSyncEngine* engine, QMRMAPIUtils** out) {
    return CreateOrReport(engine, L"QuillmereRDOx.QMRMAPIUtils", IID_QMRMAPIUtils, out);
}

HRESULT CreateSafeMailItem(CSyncEngine* engine, QMRSafeMailItem** out) {
    return CreateOrReport(engine, L"QuillmereRDOx.QMRSafeMailItem", IID_QMRSafeMailItem, out);
}

HRESULT CreateSafeJournalItem(CSyncEngine* engine, QMRSafeJournalItem** out) {
    return CreateOrReport(engine, L"QuillmereRDOx.QMRSafeJournalItem", IID_QMRSafeJournalItem, out);
}

HRESULT CreateMAPITable(CSyncEngine* engine, QMRMAPITable** out) {
    return CreateOrReport(engine, L"QuillmereRDOx.QMRMAPITable", IID_QMRMAPITable, out);
}

CComPtr<QMRRDOSession> AttachExchangeThreadSession(CSyncEngine* engine, bool* created) {
    if (created)
        *created = false;
    CComPtr<QMRRDOSession> session;
    if (!engine || FAILED(CreateHelperSession(&session)) || !session)
        return nullptr;
    if (created)
        *created = true;
    while (!StopFlag.load()) {
        session->ClearOption(0);
        HRESULT hr = E_POINTER;
        if (IUnknown* shared = engine->MapiSessionObject())
            hr = session->PutMAPIOBJECT(shared);
        if (FAILED(hr)) {
            LogHResult(hr, "MAPIOBJECT failed");
            CComVariant empty[6];
            hr = session->Logon(empty[0], empty[1], empty[2], empty[3], empty[4], empty[5]);
        }
        if (SUCCEEDED(hr))
            return session;
        LogHResult(hr, hr == kSessionTimeout ? "session Connectiontimeout" : "no session");
        WriteDebugLog("Try enter Session again in 10s");
        engine->SetSyncState(kSyncStateOffline);
        for (DWORD waited = 0; waited < kSessionRetryMs && !StopFlag.load(); waited += kStopPollMs)
            Sleep(kStopPollMs);
    }
    return nullptr;
}

void ReportHelperLibraryNotRegistered(CSyncEngine* engine) {
    LogHResult(0, "QuillmereRDO.dll may be not registered");
    if (engine && engine->m_helperLibraryReported.exchange(true))
        return;
    HWND heartbeat = engine ? engine->HeartbeatWindow() : nullptr;
    if (heartbeat && PostMessageW(heartbeat, kHeartbeatReportHelperLibrary, 0, 0))
        return;
    ShowHelperLibraryNotRegistered();
}

void ShowHelperLibraryNotRegistered() {
    std::wstring text;
    std::wstring caption;
    LCID language = g_UILanguage.load();
    LoadString(AddinResourceModule(), 1214, language, text);
    LoadString(AddinResourceModule(), 1223, language, caption);
    MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_OK);
    if (IDispatch* comAddIn = GetAddinCOMAddIn()) {
        CComVariant disconnect(false);
        com::PutProperty(comAddIn, kDispidComAddInConnect, disconnect);
        comAddIn->Release();
    }
}

void GetModuleVersionString(CSyncEngine* /*engine*/, wchar_t* buffer, std::size_t size) {
    if (!buffer || size == 0)
        return;
    buffer[0] = L'\0';
    wchar_t path[MAX_PATH] = L"";
    HMODULE module = AddinResourceModule();
    if (!module || GetModuleFileNameW(module, path, MAX_PATH) == 0)
        return;
    DWORD handle = 0;
    DWORD infoSize = GetFileVersionInfoSizeW(path, &handle);
    if (infoSize == 0)
        return;
    std::vector<BYTE> block(infoSize);
    if (!GetFileVersionInfoW(path, 0, infoSize, block.data()))
        return;
    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", &value, &length) || length < sizeof(VS_FIXEDFILEINFO))
        return;
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(value);
    std::swprintf(buffer, size, L"%d.%d.%d", static_cast<int>(HIWORD(info->dwFileVersionMS)),
                  static_cast<int>(LOWORD(info->dwFileVersionMS)),
                  static_cast<int>(HIWORD(info->dwFileVersionLS)));
}
