#include "host/WindowPictures.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/com/Com.h"
#include "platform/com/ComObject.h"
#include "platform/com/OleObject.h"
#include "platform/win/Controls.h"
#include "platform/win/Environment.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Mouse.h"
#include "platform/win/Paint.h"
#include "platform/win/Paths.h"
#include "platform/win/Shell.h"
#include "platform/win/Text.h"
#include "platform/win/UserInput.h"
#include "platform/win/WindowPicture.h"

namespace host {
namespace {

// The host's dialog: a frame with the tab that holds a page and the
// dialog's buttons under it, the tab as wide as a mail client's dialog
// gives its pages.
constexpr int kTabWidth = 400;
constexpr int kTabHeight = 510;
constexpr int kMargin = 7;
constexpr int kButtonRow = 34;
constexpr int kButtonWidth = 75;
constexpr int kButtonHeight = 23;
constexpr const wchar_t* kFrameClass = L"QuillmereHostDialogFrame";

void RegisterFrameClass() {
    static const bool registered = [] {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;
        wc.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<std::intptr_t>(COLOR_BTNFACE + 1));
        wc.lpszClassName = kFrameClass;
        return RegisterClassExW(&wc) != 0;
    }();
    (void)registered;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// The dialog frame with the page shown in its tab; destroyed with the
// object (the page's window goes with it).
class HostDialog {
public:
    explicit HostDialog(const std::wstring& caption) {
        RegisterFrameClass();
        const int width = kTabWidth + 2 * kMargin;
        const int height = kMargin + kTabHeight + kButtonRow;
        m_frame = CreateWindowExW(WS_EX_DLGMODALFRAME, kFrameClass, caption.c_str(),
                                  WS_POPUP | WS_CAPTION | WS_SYSMENU, 80, 60, width, height,
                                  nullptr, nullptr, nullptr, nullptr);
        m_tab =
            CreateWindowExW(WS_EX_CONTROLPARENT, kFrameClass, L"", WS_CHILD | WS_VISIBLE, kMargin,
                            kMargin, kTabWidth, kTabHeight, m_frame, nullptr, nullptr, nullptr);
        const wchar_t* labels[] = {L"OK", L"Cancel", L"Apply"};
        for (int i = 0; i < 3; ++i) {
            const int x = width - kMargin - (3 - i) * (kButtonWidth + 6) + 6;
            m_buttons[i] = CreateWindowExW(
                0, WC_BUTTONW, labels[i],
                WS_CHILD | WS_VISIBLE | (i == 0 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON), x,
                kMargin + kTabHeight + (kButtonRow - kButtonHeight) / 2, kButtonWidth,
                kButtonHeight, m_frame, reinterpret_cast<HMENU>(static_cast<std::intptr_t>(i + 1)),
                nullptr, nullptr);
            SendMessageW(m_buttons[i], WM_SETFONT,
                         reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)), FALSE);
        }
        // Apply is enabled once a page reports a change.
        EnableWindow(m_buttons[2], FALSE);
        ShowWindow(m_frame, SW_SHOWNOACTIVATE);
    }
    ~HostDialog() {
        if (m_frame && IsWindow(m_frame))
            DestroyWindow(m_frame);
    }
    HostDialog(const HostDialog&) = delete;
    HostDialog& operator=(const HostDialog&) = delete;

    bool Valid() const { return m_frame && m_tab; }
    HWND Frame() const { return m_frame; }
    HWND Tab() const { return m_tab; }
    void ApplyEnabled(bool enabled) { EnableWindow(m_buttons[2], enabled ? TRUE : FALSE); }

private:
    HWND m_frame = nullptr;
    HWND m_tab = nullptr;
    HWND m_buttons[3] = {};
};

}  // namespace

bool SavePagePicture(outlook::PropertyPageList* list, const PagePictureRequest& request,
                     std::string* what, std::string* error) {
    HostDialog dialog(request.dialogCaption);
    if (!dialog.Valid()) {
        *error = "cannot make the dialog window";
        return false;
    }
    for (const auto& entry : list->Entries()) {
        const bool byProgId = entry.page.vt == VT_BSTR && entry.page.bstrVal;
        const std::wstring progId = byProgId ? std::wstring(entry.page.bstrVal) : L"";
        if (!request.progId.empty() && progId != request.progId)
            continue;
        CComPtr<IUnknown> page;
        if (byProgId) {
            CLSID clsid{};
            if (FAILED(CLSIDFromProgID(entry.page.bstrVal, &clsid)) ||
                FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                        reinterpret_cast<void**>(&page))))
                continue;
        } else if ((entry.page.vt == VT_DISPATCH || entry.page.vt == VT_UNKNOWN) &&
                   entry.page.punkVal) {
            page = entry.page.punkVal;
        }
        CComQIPtr<IOleObject> embedded(page);
        if (!embedded)
            continue;
        // As the client's dialog does, Apply follows the page's dirty flag
        // whenever the page reports a change of status.
        CComQIPtr<PropertyPage> pageView(page);
        CComPtr<PropertyPageSite> site = outlook::CreatePropertyPageSite([&dialog, &pageView] {
            VARIANT_BOOL dirty = VARIANT_FALSE;
            if (pageView)
                pageView->get_Dirty(&dirty);
            dialog.ApplyEnabled(dirty != VARIANT_FALSE);
        });
        embedded->SetClientSite(CComQIPtr<IOleClientSite>(site));
        RECT position{0, 0, kTabWidth, kTabHeight};
        const HRESULT shown = embedded->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0,
                                               dialog.Tab(), &position);
        HWND pageWindow = GetWindow(dialog.Tab(), GW_CHILD);
        if (FAILED(shown) || !pageWindow) {
            embedded->SetClientSite(nullptr);
            continue;
        }
        SetWindowTextW(dialog.Frame(), request.dialogCaption.c_str());
        if (request.hoverControl) {
            HWND control = GetDlgItem(pageWindow, request.hoverControl);
            if (!control) {
                embedded->SetClientSite(nullptr);
                *error = "the page has no control " + std::to_string(request.hoverControl);
                return false;
            }
            // The pointer rests on the control until a tooltip would show.
            win::MovePointerTo(control);
            win::WaitWhileMessagesRun(GetDoubleClickTime() + 100);
        }
        const win::Picture picture = win::MakeWindowPicture(dialog.Frame());
        if (request.hoverControl)
            win::MovePointerTo(dialog.Frame(), 2, 2);
        embedded->SetClientSite(nullptr);
        if (!win::SavePicture(picture, request.path)) {
            *error = "cannot write " + request.path;
            return false;
        }
        *what = (byProgId ? win::ToUtf8(progId) : std::string("(page object)")) + " \"" +
                win::ToUtf8(entry.title) + "\", " + std::to_string(picture.width) + " x " +
                std::to_string(picture.height);
        return true;
    }
    *error = request.progId.empty() ? "no page of the dialog shows a window"
                                    : "no page " + win::ToUtf8(request.progId) + " in the dialog";
    return false;
}

bool SaveProgressPicture(const std::string& path, std::string* error) {
    win::Picture picture;
    // One open now comes first.
    for (HWND w = GetWindow(GetDesktopWindow(), GW_CHILD); w && picture.Empty();
         w = GetWindow(w, GW_HWNDNEXT))
        if (IsWindowVisible(w) && FindWindowExW(w, nullptr, L"msctls_progress32", nullptr))
            picture = win::MakeWindowPicture(w);
    if (picture.Empty()) {
        const auto closed = win::ClosedWindowPictures();
        for (auto it = closed.rbegin(); it != closed.rend() && picture.Empty(); ++it)
            for (const std::wstring& cls : it->childClasses)
                if (cls == L"msctls_progress32")
                    picture = it->picture;
    }
    if (picture.Empty()) {
        *error = "this host has shown no progress window (a basic synchronisation shows one)";
        return false;
    }
    if (!win::SavePicture(picture, path)) {
        *error = "cannot write " + path;
        return false;
    }
    return true;
}

bool SaveLogViewerPicture(const std::string& path, bool errorLog, DWORD afterMs,
                          int realTimeoutSeconds, std::string* error) {
    std::remove(path.c_str());
    win::ScopedChildEnvironment environment(
        {"QUILLMERE_WINDOW_PICTURE=" + path,
         "QUILLMERE_WINDOW_PICTURE_AFTER=" + std::to_string(afterMs)});
    const std::wstring directory = win::WindowsPath(win::InstallDirectory());
    const auto result = reinterpret_cast<std::intptr_t>(
        ShellExecuteW(nullptr, L"open", L"QMRLogWindow.exe", errorLog ? L"errorlog" : L"",
                      directory.c_str(), SW_SHOWNORMAL));
    const int pid = environment.LastProcessId();
    if (result <= 32 || pid <= 0) {
        *error = "cannot start the log viewer QMRLogWindow in " + win::InstallDirectory() +
                 " (shell result " + std::to_string(result) + ")";
        return false;
    }
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(realTimeoutSeconds);
    while (!FileExists(path) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The viewer ends only by its OK button; the picture taken, it is ended.
    kill(pid, SIGTERM);
    if (!FileExists(path)) {
        *error =
            "the log viewer wrote no picture within " + std::to_string(realTimeoutSeconds) + " s";
        return false;
    }
    return true;
}

}  // namespace host
