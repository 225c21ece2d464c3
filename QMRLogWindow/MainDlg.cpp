#include "QMRLogWindow/MainDlg.h"

#include <algorithm>
#include <cstring>

#include "QMRLogWindow/QMRLogWindowModule.h"
#include "QMRLogWindow/QMRLogWindowResources.h"
#include "platform/win/CommonDialog.h"
#include "platform/win/Controls.h"
#include "platform/win/Crt.h"
#include "platform/win/Files.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Paths.h"
#include "platform/win/Resources.h"
#include "platform/win/ScrollBar.h"
#include "platform/win/Text.h"
#include "platform/win/Timer.h"

namespace {

constexpr WCHAR kDebugLogName[] = L"Quillmere_debug.log";
constexpr WCHAR kErrorLogName[] = L"Quillmere_error.log";
constexpr WCHAR kSaveFilter[] = L"Logdatein (*.txt)\0*.txt\0";
constexpr WCHAR kSaveExtension[] = L"txt";
// The save dialog's file-name buffers, in characters.
constexpr DWORD kSaveNameChars = 255;

bool EndsLine(const std::wstring& piece) {
    return !piece.empty() && piece.back() == L'\n';
}

// A piece read from a text-mode stream ends in a bare line feed; the edit
// control breaks lines at CR LF.
std::wstring ForEdit(std::wstring text) {
    if (EndsLine(text) && (text.size() < 2 || text[text.size() - 2] != L'\r'))
        text.insert(text.size() - 1, 1, L'\r');
    return text;
}

}  // namespace

CMainDlg::~CMainDlg() {
    if (m_hWnd && IsWindow(m_hWnd))
        DestroyWindow(m_hWnd);
}

DLGPROC CMainDlg::GetDialogProc() {
    return &CMainDlg::DialogProc;
}

void CMainDlg::OnFinalMessage(HWND) {}

bool CMainDlg::CreateActiveXControls(UINT) {
    return true;
}

HWND CMainDlg::Create(HWND owner, HINSTANCE resourceModule) {
    if (!resourceModule)
        resourceModule = CQMRLogWindowModule::ResourceModule();
    if (!CreateActiveXControls(IDD_MAINDLG))
        return nullptr;
    HWND hwnd = CreateDialogParamW(resourceModule, MAKEINTRESOURCEW(IDD_MAINDLG), owner,
                                   GetDialogProc(), reinterpret_cast<LPARAM>(this));
    if (!hwnd)
        m_hWnd = nullptr;
    return hwnd;
}

INT_PTR CMainDlg::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    CMainDlg* self = nullptr;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CMainDlg*>(lParam);
        SetWindowLongPtrW(hwnd, DWLP_USER, lParam);
        self->m_hWnd = hwnd;
    } else {
        self = reinterpret_cast<CMainDlg*>(GetWindowLongPtrW(hwnd, DWLP_USER));
    }
    if (!self)
        return FALSE;
    if (msg == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, DWLP_USER, 0);
        self->m_hWnd = nullptr;
        self->m_edit = nullptr;
        self->OnFinalMessage(hwnd);
        return FALSE;
    }
    LRESULT result = 0;
    if (!self->ProcessWindowMessage(hwnd, msg, wParam, lParam, &result))
        return FALSE;
    if (msg == WM_INITDIALOG)
        return static_cast<INT_PTR>(result);
    SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, result);
    return TRUE;
}

bool CMainDlg::ProcessWindowMessage(HWND, UINT msg, WPARAM wParam, LPARAM, LRESULT* result) {
    switch (msg) {
        case WM_INITDIALOG:
            *result = OnInitDialog();
            return true;
        case WM_COMMAND:
            // Only the two buttons: IDCANCEL (Esc, the close command) is
            // left to the default, so the window stays until "OK".
            if (HIWORD(wParam) != BN_CLICKED)
                return false;
            if (LOWORD(wParam) == IDOK) {
                OnOk();
                *result = 0;
                return true;
            }
            if (LOWORD(wParam) == IDC_SAVELOG) {
                OnSaveLog();
                *result = 0;
                return true;
            }
            return false;
        case WM_TIMER:
            if (wParam != kReloadTimerId)
                return false;
            ReloadLog();
            *result = 0;
            return true;
        default:
            return false;
    }
}

LRESULT CMainDlg::OnInitDialog() {
    m_edit = GetDlgItem(m_hWnd, IDC_LOGTEXT);
    SendMessageW(m_edit, EM_LIMITTEXT, kTextLimit, 0);
    ReloadLog();
    SetTimer(m_hWnd, kReloadTimerId, kReloadPeriodMs, nullptr);
    CenterWindow();
    return TRUE;
}

void CMainDlg::OnOk() {
    DestroyWindow(m_hWnd);
    PostQuitMessage(0);
}

void CMainDlg::CenterWindow() {
    // No owner: the middle of the screen.
    RECT window{};
    RECT screen{};
    GetWindowRect(m_hWnd, &window);
    GetWindowRect(GetDesktopWindow(), &screen);
    int width = window.right - window.left;
    int height = window.bottom - window.top;
    int x = screen.left + (screen.right - screen.left - width) / 2;
    int y = screen.top + (screen.bottom - screen.top - height) / 2;
    SetWindowPos(m_hWnd, nullptr, x < screen.left ? screen.left : x,
                 y < screen.top ? screen.top : y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::wstring CMainDlg::LogPath() const {
    WCHAR temp[MAX_PATH] = {};
    DWORD length = GetTempPathW(MAX_PATH, temp);
    // 0 is a failure; a length of MAX_PATH or more is the size a longer
    // path would need, with nothing copied.
    if (length == 0 || length >= MAX_PATH)
        return L"";
    return std::wstring(temp, length) + (m_mode == LogMode::Error ? kErrorLogName : kDebugLogName);
}

const WCHAR* CMainDlg::ProposedSaveName() const {
    return m_mode == LogMode::Error ? L"QuillmereErrorLog.txt" : L"QuillmereDebugLog.txt";
}

bool CMainDlg::ViewAtBottom() const {
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_ALL;
    if (!GetScrollInfo(m_edit, SB_VERT, &si))
        return true;  // no scroll bar to be away from the bottom with
    return si.nPos + static_cast<int>(si.nPage) >= si.nMax;
}

bool CMainDlg::ReadPieces(std::vector<std::wstring>* pieces) const {
    std::wstring path = LogPath();
    if (path.empty())
        return false;
    CrtFile* file = _wfopen(path.c_str(), L"rt");
    if (!file)
        return false;
    char buffer[kMaxPiece + 1];
    while (fgets(buffer, sizeof buffer, file))
        pieces->push_back(win::FromAnsi(std::string_view(buffer, std::strlen(buffer))));
    fclose(file);
    return true;
}

bool CMainDlg::StillShown(const std::vector<std::wstring>& pieces) const {
    std::size_t needed = m_shown.size() + (m_shownTail.empty() ? 0 : 1);
    if (pieces.size() < needed)
        return false;
    if (!std::equal(m_shown.begin(), m_shown.end(), pieces.begin()))
        return false;
    return m_shownTail.empty() || pieces[m_shown.size()].starts_with(m_shownTail);
}

void CMainDlg::ClearText() {
    SendMessageW(m_edit, EM_SETSEL, 0, -1);
    SendMessageW(m_edit, WM_CLEAR, 0, 0);
    m_shown.clear();
    m_shownTail.clear();
}

bool CMainDlg::AppendText(const std::wstring& text) {
    if (text.empty())
        return true;
    auto before = static_cast<std::size_t>(GetWindowTextLengthW(m_edit));
    SendMessageW(m_edit, EM_SETSEL, before, before);
    SendMessageW(m_edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
    return static_cast<std::size_t>(GetWindowTextLengthW(m_edit)) == before + text.size();
}

void CMainDlg::AppendNewPieces(const std::vector<std::wstring>& pieces) {
    for (std::size_t i = m_shown.size(); i < pieces.size(); ++i) {
        const std::wstring& piece = pieces[i];
        // The shown start of this line is not shown again.
        std::wstring rest = piece.substr(m_shownTail.size());
        // A piece without a line break is a line still being written unless
        // more follows it or it is a full piece of a longer line.
        bool whole = EndsLine(piece) || i + 1 < pieces.size() ||
                     piece.size() >= static_cast<std::size_t>(kMaxPiece);
        if (!AppendText(ForEdit(rest)))
            break;  // the edit is full: nothing more is counted as shown
        if (whole) {
            m_shown.push_back(piece);
            m_shownTail.clear();
        } else {
            m_shownTail = piece;
        }
    }
    SendMessageW(m_edit, EM_SETSEL, static_cast<WPARAM>(-1), 0);
    SendMessageW(m_edit, EM_SCROLLCARET, 0, 0);
}

void CMainDlg::ReloadLog() {
    KillTimer(m_hWnd, kReloadTimerId);
    bool atBottom = ViewAtBottom();
    std::vector<std::wstring> pieces;
    if (ReadPieces(&pieces)) {
        // A log that no longer begins with what is shown was replaced
        // (rotated to a shorter file): start again.
        if (!StillShown(pieces))
            ClearText();
        SetFocus(m_edit);
        if (atBottom)
            AppendNewPieces(pieces);
    }
    SetTimer(m_hWnd, kReloadTimerId, kReloadPeriodMs, nullptr);
}

void CMainDlg::OnSaveLog() {
    WCHAR file[kSaveNameChars] = {};
    WCHAR title[kSaveNameChars] = {};
    std::wstring proposed = ProposedSaveName();
    proposed.copy(file, kSaveNameChars - 1);
    WCHAR desktop[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(m_hWnd, CSIDL_DESKTOP, nullptr, SHGFP_TYPE_CURRENT, desktop)))
        desktop[0] = L'\0';

    OPENFILENAMEW ofn{};
    ofn.lStructSize = sizeof ofn;
    ofn.hwndOwner = m_hWnd;
    ofn.lpstrFilter = kSaveFilter;
    ofn.nFilterIndex = 1;
    ofn.lpstrFile = file;
    ofn.nMaxFile = kSaveNameChars;
    ofn.lpstrFileTitle = title;
    ofn.nMaxFileTitle = kSaveNameChars;
    ofn.lpstrInitialDir = desktop[0] ? desktop : nullptr;
    ofn.lpstrDefExt = kSaveExtension;
    ofn.Flags = OFN_CREATEPROMPT | OFN_HIDEREADONLY;
    if (!GetSaveFileNameW(&ofn))
        return;
    std::wstring source = LogPath();
    if (!source.empty())
        CopyFileW(source.c_str(), file, FALSE);
}
