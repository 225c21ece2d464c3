#include "platform/win/CommonDialog.h"

#include <algorithm>

#include "platform/win/Mutex.h"
#include "platform/win/Paths.h"

namespace {

struct FileDialogs {
    win::Mutex mutex;
    win::FileDialogHandler handler GUARDED_BY(mutex);
    std::vector<win::FileDialogCall> calls GUARDED_BY(mutex);
};

FileDialogs& Dialogs() {
    static FileDialogs* dialogs = new FileDialogs;
    return *dialogs;
}

thread_local DWORD t_extendedError = 0;

std::vector<std::pair<std::wstring, std::wstring>> Filters(const WCHAR* filter) {
    std::vector<std::pair<std::wstring, std::wstring>> out;
    if (!filter)
        return out;
    // Pairs of terminated texts; an empty description ends the list.
    while (*filter) {
        std::wstring description = filter;
        filter += description.size() + 1;
        std::wstring pattern = filter;
        filter += pattern.size() + 1;
        out.emplace_back(std::move(description), std::move(pattern));
    }
    return out;
}

bool IsRelative(const std::wstring& path) {
    bool drive = path.size() >= 2 && path[1] == L':';
    bool rooted = !path.empty() && (path[0] == L'\\' || path[0] == L'/');
    return !drive && !rooted;
}

std::size_t NameOffset(const std::wstring& path) {
    auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? 0 : slash + 1;
}

// The answer as the dialog turns it into a full path: relative to the
// initial folder, with the default extension when the name has none.
std::optional<std::wstring> ChosenPath(const win::FileDialogCall& call, std::wstring answer) {
    if (answer.empty())
        return std::nullopt;
    if (IsRelative(answer) && !call.initialDir.empty())
        answer = call.initialDir + L"\\" + answer;
    auto full = win::FullWindowsPath(answer);
    if (!full)
        return std::nullopt;
    std::size_t name = NameOffset(*full);
    if (name >= full->size())
        return std::nullopt;  // a folder, not a file
    if (full->find(L'.', name) == std::wstring::npos && !call.defaultExt.empty())
        *full += L"." + call.defaultExt;
    return full;
}

void Record(const win::FileDialogCall& call) {
    FileDialogs& d = Dialogs();
    win::MutexLock lock(d.mutex);
    d.calls.push_back(call);
}

BOOL Fail(win::FileDialogCall& call, DWORD error) {
    call.result.clear();
    Record(call);
    t_extendedError = error;
    return FALSE;
}

BOOL Run(LPOPENFILENAMEW ofn, bool save) {
    t_extendedError = 0;
    if (!ofn || ofn->lStructSize != sizeof(OPENFILENAMEW)) {
        t_extendedError = CDERR_STRUCTSIZE;
        return FALSE;
    }
    win::FileDialogCall call;
    call.save = save;
    call.owner = ofn->hwndOwner;
    call.filters = Filters(ofn->lpstrFilter);
    call.filterIndex = ofn->nFilterIndex;
    if (ofn->lpstrFile && ofn->nMaxFile)
        call.fileName.assign(ofn->lpstrFile,
                             std::find(ofn->lpstrFile, ofn->lpstrFile + ofn->nMaxFile, L'\0'));
    call.initialDir = ofn->lpstrInitialDir ? ofn->lpstrInitialDir : L"";
    while (call.initialDir.size() > 3 && call.initialDir.back() == L'\\')
        call.initialDir.pop_back();
    call.title = ofn->lpstrTitle ? ofn->lpstrTitle : L"";
    call.defaultExt = ofn->lpstrDefExt ? ofn->lpstrDefExt : L"";
    call.flags = ofn->Flags;
    call.maxFile = ofn->nMaxFile;
    call.maxFileTitle = ofn->lpstrFileTitle ? ofn->nMaxFileTitle : 0;
    if (call.owner && !IsWindow(call.owner))
        return Fail(call, CDERR_DIALOGFAILURE);
    if (!ofn->lpstrFile || ofn->nMaxFile == 0)
        return Fail(call, CDERR_INITIALIZATION);

    win::FileDialogHandler handler;
    {
        FileDialogs& d = Dialogs();
        win::MutexLock lock(d.mutex);
        handler = d.handler;
    }
    std::optional<std::wstring> answer;
    if (handler) {
        bool disabled = call.owner && IsWindowEnabled(call.owner);
        if (disabled)
            EnableWindow(call.owner, FALSE);
        call.ownerDisabled = call.owner && !IsWindowEnabled(call.owner);
        answer = handler(call);
        if (disabled && IsWindow(call.owner))
            EnableWindow(call.owner, TRUE);
    }
    if (!answer)
        return Fail(call, 0);
    auto path = ChosenPath(call, *answer);
    if (!path)
        return Fail(call, FNERR_INVALIDFILENAME);
    if (path->size() + 1 > ofn->nMaxFile) {
        ofn->lpstrFile[0] = static_cast<WCHAR>(path->size() + 1);
        return Fail(call, FNERR_BUFFERTOOSMALL);
    }
    std::copy(path->begin(), path->end(), ofn->lpstrFile);
    ofn->lpstrFile[path->size()] = L'\0';
    std::size_t name = NameOffset(*path);
    ofn->nFileOffset = static_cast<WORD>(name);
    auto dot = path->rfind(L'.');
    ofn->nFileExtension =
        dot != std::wstring::npos && dot >= name ? static_cast<WORD>(dot + 1) : WORD{0};
    if (ofn->lpstrFileTitle && ofn->nMaxFileTitle) {
        std::wstring title = path->substr(name);
        if (title.size() + 1 <= ofn->nMaxFileTitle) {
            std::copy(title.begin(), title.end(), ofn->lpstrFileTitle);
            ofn->lpstrFileTitle[title.size()] = L'\0';
        }
    }
    call.result = *path;
    Record(call);
    return TRUE;
}

}  // namespace

BOOL GetSaveFileNameW(LPOPENFILENAMEW ofn) {
    return Run(ofn, true);
}

BOOL GetOpenFileNameW(LPOPENFILENAMEW ofn) {
    return Run(ofn, false);
}

DWORD CommDlgExtendedError() {
    return t_extendedError;
}

namespace win {

void SetFileDialogHandler(FileDialogHandler handler) {
    FileDialogs& d = Dialogs();
    MutexLock lock(d.mutex);
    d.handler = std::move(handler);
}

std::vector<FileDialogCall> FileDialogCalls() {
    FileDialogs& d = Dialogs();
    MutexLock lock(d.mutex);
    return d.calls;
}

void ClearFileDialogCalls() {
    FileDialogs& d = Dialogs();
    MutexLock lock(d.mutex);
    d.calls.clear();
}

}  // namespace win
