#include "Quillmere/core/HiddenWindow.h"

#include <atomic>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/OutlookThread.h"
#include "Quillmere/core/SyncEngine.h"
#include "platform/win/Clock.h"
#include "platform/win/Module.h"
#include "platform/win/Shell.h"

namespace {

constexpr DWORD kHeartbeatStyle =
    0x56000000;  // WS_CHILD|WS_VISIBLE|WS_CLIPSIBLINGS|WS_CLIPCHILDREN
constexpr const wchar_t* kClassName = L"QuillmereHeartbeatWindow";

RecheckOutboxProc g_recheckOutbox = nullptr;

// Process-wide, as the heartbeat runs once per process. Written by the
// heartbeat's window thread; atomic because DueTime and ResetForTesting are
// called from other threads while it ticks.
std::atomic<bool> g_sawFirstTick = false;
std::atomic<DWORD> g_dueTime = 0;
std::atomic<bool> g_startPending = true;

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<const WCHAR*>(&g_recheckOutbox), &module);
    return module;
}

bool RegisterHeartbeatClass(HINSTANCE instance) {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExW(instance, kClassName, &existing))
        return true;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = CHiddenWindow::ProcessWindowMessage;
    wc.hInstance = instance;
    wc.lpszClassName = kClassName;
    return RegisterClassExW(&wc) != 0;
}

}  // namespace

void SetRecheckOutboxProc(RecheckOutboxProc proc) {
    g_recheckOutbox = proc;
}

namespace heartbeat {
DWORD DueTime() {
    return g_dueTime;
}
void ResetForTesting() {
    g_sawFirstTick = false;
    g_dueTime = 0;
    g_startPending = true;
}
}  // namespace heartbeat

CHiddenWindow::~CHiddenWindow() {
    Destroy();
}

bool CHiddenWindow::Create() {
    if (m_hwnd)
        return true;
    HINSTANCE instance = ThisModule();
    if (!RegisterHeartbeatClass(instance))
        return false;
    m_hwnd = CreateWindowExW(0, kClassName, L"", kHeartbeatStyle, 0, 0, 0, 0, GetDesktopWindow(),
                             nullptr, instance, this);
    if (!m_hwnd)
        return false;
    ShowWindow(m_hwnd, SW_HIDE);
    return true;
}

void CHiddenWindow::Destroy() {
    if (!m_hwnd)
        return;
    Stop();
    DestroyWindow(m_hwnd);
    m_hwnd = nullptr;
}

void CHiddenWindow::Arm(UINT periodMs) const {
    if (m_hwnd)
        SetTimer(m_hwnd, kHeartbeatTimerId, periodMs, nullptr);
}

void CHiddenWindow::Stop() const {
    if (m_hwnd)
        KillTimer(m_hwnd, kHeartbeatTimerId);
}

void CHiddenWindow::OnHeartbeatTick(DWORD now) {
    if (!g_sawFirstTick) {
        g_sawFirstTick = true;
        g_dueTime = now + kHeartbeatRecheckInterval;
    }
    CSyncEngine* engine = g_pEngine.load();
    if (!engine || engine->m_stopped.load() || !engine->IsReady())
        return;
    if (g_startPending) {
        g_startPending = false;
        engine->Start();
        StartThreads(engine);
    } else if (TickPassed(now, g_dueTime.load()) || engine->m_fastTick.load()) {
        g_dueTime = now + kHeartbeatRecheckInterval;
        Stop();
        if (!engine->m_stopped.load() && !engine->m_fastTick.load() && g_recheckOutbox)
            g_recheckOutbox(engine);
        Arm(kHeartbeatDuePeriod);
    }
    engine->m_fastTick = false;
}

LRESULT CHiddenWindow::ProcessWindowMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_NCCREATE) {
        auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    } else if (msg == WM_TIMER) {
        if (auto* self = reinterpret_cast<CHiddenWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA)))
            self->OnHeartbeatTick(GetTickCount());
        return 0;
    } else if (msg == kHeartbeatRunOnOutlookThread) {
        RunOutlookThreadQueue();
        return 0;
    } else if (msg == kHeartbeatReportHelperLibrary) {
        // Last thing here: the report may disconnect the add-in, which
        // destroys this window.
        ShowHelperLibraryNotRegistered();
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}
