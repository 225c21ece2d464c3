#include "host/WindowPictures.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "host/HostDialog.h"
#include "platform/com/Com.h"
#include "platform/win/Environment.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Mouse.h"
#include "platform/win/Paths.h"
#include "platform/win/Shell.h"
#include "platform/win/Text.h"
#include "platform/win/UserInput.h"
#include "platform/win/WindowPicture.h"

namespace host {
namespace {

bool FileExists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

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
        HWND pageWindow = dialog.Show(page);
        if (!pageWindow) {
            dialog.Close();
            continue;
        }
        if (request.hoverControl) {
            HWND control = GetDlgItem(pageWindow, request.hoverControl);
            if (!control) {
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
        dialog.Close();
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
