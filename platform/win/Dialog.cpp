// The dialog manager.
#include "platform/win/Dialog.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <unordered_map>

#include "platform/win/Bitmap.h"
#include "platform/win/CommonControls.h"
#include "platform/win/ControlSupport.h"
#include "platform/win/Font.h"
#include "platform/win/Keys.h"
#include "platform/win/MessageBox.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Mutex.h"
#include "platform/win/Paint.h"
#include "platform/win/Resources.h"
#include "platform/win/Text.h"
#include "platform/win/Threads.h"

namespace win {
namespace {

// Offsets of the fixed headers.
constexpr std::size_t kExSignatureOffset = 2;  // DLGTEMPLATEEX: u16 dlgVer, u16 0xFFFF
constexpr WORD kExSignature = 0xFFFF;
constexpr std::size_t kMaxIndirectTemplate = 1 << 20;  // bound for templates given by pointer

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Ok() const { return m_ok; }
    std::size_t Pos() const { return m_pos; }
    bool Need(std::size_t n) {
        if (m_ok && m_pos <= m_size && m_size - m_pos >= n)
            return true;
        m_ok = false;
        return false;
    }
    WORD U16() {
        if (!Need(2))
            return 0;
        WORD v = static_cast<WORD>(m_data[m_pos] | (m_data[m_pos + 1] << 8));
        m_pos += 2;
        return v;
    }
    DWORD U32() {
        DWORD low = U16();
        DWORD high = U16();
        return low | (high << 16);
    }
    short S16() { return static_cast<short>(U16()); }
    BYTE U8() {
        if (!Need(1))
            return 0;
        return m_data[m_pos++];
    }
    // NUL-terminated UTF-16 text.
    std::wstring Text() {
        std::u16string units;
        while (m_ok) {
            WORD u = U16();
            if (!m_ok || u == 0)
                break;
            units.push_back(static_cast<char16_t>(u));
        }
        return FromUtf16(units);
    }
    // A name-or-ordinal field: 0x0000 none, 0xFFFF then an ordinal, or text.
    void NameOrOrdinal(std::wstring& text, WORD& ordinal, bool* isOrdinal = nullptr) {
        if (!Need(2))
            return;
        WORD first = static_cast<WORD>(m_data[m_pos] | (m_data[m_pos + 1] << 8));
        if (first == 0x0000) {
            m_pos += 2;
        } else if (first == 0xFFFF) {
            m_pos += 2;
            ordinal = U16();
            if (isOrdinal)
                *isOrdinal = true;
        } else {
            text = Text();
        }
    }
    void Align4() {
        std::size_t aligned = (m_pos + 3) & ~std::size_t{3};
        if (aligned > m_size) {
            m_ok = false;
            return;
        }
        m_pos = aligned;
    }
    void Bytes(std::size_t n, std::vector<std::uint8_t>& out) {
        if (!Need(n))
            return;
        out.assign(m_data + m_pos, m_data + m_pos + n);
        m_pos += n;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

std::wstring ClassOfAtom(WORD atom) {
    switch (atom) {
        case 0x0080:
            return WC_BUTTONW;
        case 0x0081:
            return WC_EDITW;
        case 0x0082:
            return WC_STATICW;
        case 0x0083:
            return WC_LISTBOXW;
        case 0x0084:
            return L"ScrollBar";
        case 0x0085:
            return WC_COMBOBOXW;
        default:
            return L"#" + std::to_wstring(atom);
    }
}

struct DialogRecord {
    bool modal = false;
    bool ended = false;
    INT_PTR result = 0;
    int baseX = 8;
    int baseY = 16;
    WORD defId = 0;
    // The template's font, made by the dialog manager and freed with the
    // dialog (null without DS_SETFONT).
    HFONT font = nullptr;
};

struct DialogTable {
    Mutex mutex;
    std::unordered_map<HWND, DialogRecord> dialogs GUARDED_BY(mutex);
    std::function<void(const ModalDialogCall&)> handler GUARDED_BY(mutex);
    std::vector<ModalDialogCall> calls GUARDED_BY(mutex);
};
// Leaked on purpose: dialogs may be destroyed after static destructors ran.
DialogTable& Dialogs() {
    static auto* table = new DialogTable;
    return *table;
}

bool FindRecord(HWND dialog, DialogRecord* out) {
    DialogTable& t = Dialogs();
    MutexLock lock(t.mutex);
    auto it = t.dialogs.find(dialog);
    if (it == t.dialogs.end())
        return false;
    if (out)
        *out = it->second;
    return true;
}

std::vector<HWND> ChildrenOf(HWND parent) {
    std::vector<HWND> out;
    for (HWND w = GetWindow(parent, GW_CHILD); w; w = GetWindow(w, GW_HWNDNEXT))
        out.push_back(w);
    return out;
}

// Keeps the caller's last error across calls that may set it on the way.
class KeepLastError {
public:
    KeepLastError() : m_saved(GetLastError()) {}
    ~KeepLastError() { SetLastError(m_saved); }

private:
    DWORD m_saved;
};

HWND CreateFromTemplate(HINSTANCE instance, const std::uint8_t* data, std::size_t size, HWND owner,
                        DLGPROC proc, LPARAM param, bool modal) {
    RegisterControlClasses();
    DialogTemplate t;
    if (!data || !ParseDialogTemplate(data, size, t)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    if (owner && !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    DialogRecord record;
    record.modal = modal;
    if (t.style & DS_SETFONT) {
        // The base units are the template font's: its average letter width
        // and its height, as the dialog manager measures them.
        const int pt = t.pointSize ? t.pointSize : 8;
        const POINT units = DialogBaseUnits(t.face, pt, t.weight, t.italic);
        record.baseX = units.x;
        record.baseY = units.y;
        LOGFONTW font{};
        font.lfHeight = -((pt * 96 + 36) / 72);
        font.lfWeight = t.weight ? t.weight : FW_NORMAL;
        font.lfItalic = t.italic ? 1 : 0;
        font.lfCharSet = t.charset;
        t.face.copy(font.lfFaceName, LF_FACESIZE - 1);
        KeepLastError keep;
        record.font = CreateFontIndirectW(&font);
    }
    RECT rc{t.x, t.y, t.x + t.cx, t.y + t.cy};
    rc.left = rc.left * record.baseX / 4;
    rc.right = rc.right * record.baseX / 4;
    rc.top = rc.top * record.baseY / 8;
    rc.bottom = rc.bottom * record.baseY / 8;
    int width = rc.right - rc.left;
    int height = rc.bottom - rc.top;
    int x = rc.left;
    int y = rc.top;
    if ((t.style & DS_CENTER) && !(t.style & WS_CHILD)) {
        RECT screen{};
        GetWindowRect(GetDesktopWindow(), &screen);
        x = (screen.right - screen.left - width) / 2;
        y = (screen.bottom - screen.top - height) / 2;
    }
    DWORD exStyle = t.exStyle | ((t.style & DS_MODALFRAME) ? WS_EX_DLGMODALFRAME : 0);
    const WCHAR* cls = WC_DIALOG;
    if (!t.className.empty())
        cls = t.className.c_str();
    else if (t.classOrdinal)
        cls = MAKEINTATOM(t.classOrdinal);
    HWND dialog = CreateWindowExW(exStyle, cls, t.title.c_str(), t.style & ~WS_VISIBLE, x, y, width,
                                  height, owner, nullptr, instance, nullptr);
    if (!dialog) {
        if (record.font) {
            KeepLastError keep;
            DeleteObject(record.font);
        }
        return nullptr;
    }
    {
        DialogTable& table = Dialogs();
        MutexLock lock(table.mutex);
        table.dialogs[dialog] = record;
    }
    {
        KeepLastError keep;
        SetWindowLongPtrW(dialog, DWLP_DLGPROC, reinterpret_cast<LONG_PTR>(proc));
    }
    for (const auto& item : t.items) {
        RECT r{item.x, item.y, item.x + item.cx, item.y + item.cy};
        MapDialogRect(dialog, &r);
        const WCHAR* text = item.hasTextOrdinal ? nullptr : item.text.c_str();
        HWND control = CreateWindowExW(
            item.exStyle, item.className.c_str(), text, item.style | WS_CHILD, r.left, r.top,
            r.right - r.left, r.bottom - r.top, dialog,
            reinterpret_cast<HMENU>(static_cast<std::uintptr_t>(item.id)), instance,
            item.creationData.empty() ? nullptr
                                      : const_cast<std::uint8_t*>(item.creationData.data()));
        if (!control) {
            if (t.style & DS_NOFAILCREATE)
                continue;
            DWORD error = GetLastError();
            DestroyWindow(dialog);
            SetLastError(error);
            return nullptr;
        }
        if (record.font) {
            KeepLastError keep;
            SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(record.font), FALSE);
        }
        // A picture static names its image by the resource id in its text.
        if (item.hasTextOrdinal && controls::IsClass(control, WC_STATICW)) {
            KeepLastError keep;
            DWORD type = item.style & SS_TYPEMASK;
            if (type == SS_ICON) {
                if (HICON icon = LoadIconW(instance, MAKEINTRESOURCEW(item.textOrdinal)))
                    SendMessageW(control, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
            } else if (type == SS_BITMAP) {
                if (HBITMAP bitmap = LoadBitmapW(instance, MAKEINTRESOURCEW(item.textOrdinal)))
                    SendMessageW(control, STM_SETIMAGE, IMAGE_BITMAP,
                                 reinterpret_cast<LPARAM>(bitmap));
            }
        }
    }
    if (t.style & DS_SETFONT)
        SendMessageW(dialog, WM_SETFONT, reinterpret_cast<WPARAM>(record.font), FALSE);
    HWND first = GetNextDlgTabItem(dialog, nullptr, FALSE);
    LRESULT focus = SendMessageW(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), param);
    if (!IsWindow(dialog)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (focus && first && IsWindow(first))
        SetFocus(first);
    DialogRecord now;
    if ((t.style & WS_VISIBLE) && !modal && FindRecord(dialog, &now) && !now.ended)
        ShowWindow(dialog, SW_SHOWNORMAL);
    return dialog;
}

const std::uint8_t* TemplateOf(HINSTANCE instance, const WCHAR* name, std::size_t* size) {
    HRSRC res = FindResourceW(instance, name, RT_DIALOG);
    if (!res)
        return nullptr;
    HGLOBAL data = LoadResource(instance, res);
    *size = SizeofResource(instance, res);
    return static_cast<const std::uint8_t*>(LockResource(data));
}

bool Ended(HWND dialog, INT_PTR* result) {
    DialogRecord r;
    if (!FindRecord(dialog, &r) || !r.ended)
        return false;
    if (result)
        *result = r.result;
    return true;
}

INT_PTR RunModal(HINSTANCE instance, const std::uint8_t* data, std::size_t size, HWND owner,
                 DLGPROC proc, LPARAM param) {
    if (owner && !IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    HWND top = owner ? GetAncestor(owner, GA_ROOT) : nullptr;
    if (!top)
        top = owner;
    if (top == GetDesktopWindow())
        top = nullptr;
    HWND dialog = CreateFromTemplate(instance, data, size, top, proc, param, true);
    if (!dialog)
        return -1;
    bool disabledOwner = false;
    INT_PTR result = 0;
    if (!Ended(dialog, nullptr)) {
        if (top && IsWindowEnabled(top)) {
            EnableWindow(top, FALSE);
            disabledOwner = true;
        }
        ShowWindow(dialog, SW_SHOWNORMAL);
    }
    ModalDialogCall call;
    call.dialog = dialog;
    call.owner = top;
    call.threadId = GetCurrentThreadId();
    {
        WCHAR caption[256] = {};
        GetWindowTextW(dialog, caption, 256);
        call.caption = caption;
    }
    std::function<void(const ModalDialogCall&)> handler;
    std::size_t callIndex = 0;
    {
        DialogTable& t = Dialogs();
        MutexLock lock(t.mutex);
        handler = t.handler;
        callIndex = t.calls.size();
        t.calls.push_back(call);
    }
    if (IsWindow(dialog) && !Ended(dialog, nullptr)) {
        if (handler) {
            handler(call);
        } else {
            std::fprintf(stderr, "DialogBox: %s\n", ToUtf8(call.caption).c_str());
            HWND cancel = GetDlgItem(dialog, IDCANCEL);
            SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(cancel));
            if (IsWindow(dialog) && !Ended(dialog, nullptr))
                EndDialog(dialog, IDCANCEL);
        }
    }
    bool quit = false;
    WPARAM quitCode = 0;
    while (IsWindow(dialog) && !Ended(dialog, &result)) {
        MSG msg;
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            quit = true;
            quitCode = msg.wParam;
            break;
        }
        if (got == -1)
            break;
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    if (quit)
        result = 0;
    if (disabledOwner && IsWindow(top))
        EnableWindow(top, TRUE);
    if (IsWindow(dialog)) {
        ShowWindow(dialog, SW_HIDE);
        DestroyWindow(dialog);
    }
    if (quit)
        PostQuitMessage(static_cast<int>(quitCode));
    {
        DialogTable& t = Dialogs();
        MutexLock lock(t.mutex);
        if (callIndex < t.calls.size())
            t.calls[callIndex].result = result;
    }
    return result;
}

bool ReturnsProcResult(UINT msg) {
    return (msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC) || msg == WM_INITDIALOG ||
           msg == 0x0039 /* WM_COMPAREITEM */ || msg == 0x002E /* WM_VKEYTOITEM */ ||
           msg == 0x002F /* WM_CHARTOITEM */ || msg == 0x0037 /* WM_QUERYDRAGICON */;
}

// The default button: DM_SETDEFID's id, else the first BS_DEFPUSHBUTTON.
WORD DefaultId(HWND dialog) {
    DialogRecord r;
    if (FindRecord(dialog, &r) && r.defId)
        return r.defId;
    for (HWND w : ChildrenOf(dialog))
        if (controls::IsClass(w, WC_BUTTONW) &&
            (controls::StyleOf(w) & BS_TYPEMASK) == BS_DEFPUSHBUTTON)
            return static_cast<WORD>(GetDlgCtrlID(w));
    return 0;
}

bool TabCandidate(HWND w) {
    DWORD style = controls::StyleOf(w);
    return (style & WS_TABSTOP) && (style & WS_VISIBLE) && !(style & WS_DISABLED);
}

// Sends a button's command as a click from the keyboard would, unless the
// button exists and is disabled.
bool PressButton(HWND dialog, int id) {
    KeepLastError keep;
    HWND button = GetDlgItem(dialog, id);
    if (button && !IsWindowEnabled(button))
        return false;
    SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
    return true;
}

}  // namespace

bool ParseDialogTemplate(const std::uint8_t* data, std::size_t size, DialogTemplate& out) {
    out = DialogTemplate{};
    Reader r(data, size);
    if (size >= 4 && data[kExSignatureOffset] == 0xFF && data[kExSignatureOffset + 1] == 0xFF) {
        WORD version = r.U16();
        WORD signature = r.U16();
        if (version != 1 || signature != kExSignature)
            return false;
        out.extended = true;
        out.helpId = r.U32();
        out.exStyle = r.U32();
        out.style = r.U32();
    } else {
        out.style = r.U32();
        out.exStyle = r.U32();
    }
    WORD count = r.U16();
    out.x = r.S16();
    out.y = r.S16();
    out.cx = r.S16();
    out.cy = r.S16();
    r.NameOrOrdinal(out.menu, out.menuOrdinal);
    r.NameOrOrdinal(out.className, out.classOrdinal);
    WORD titleOrdinal = 0;
    r.NameOrOrdinal(out.title, titleOrdinal);
    if (out.style & DS_SETFONT) {
        out.pointSize = r.U16();
        if (out.extended) {
            out.weight = r.U16();
            out.italic = r.U8() != 0;
            out.charset = r.U8();
        }
        out.face = r.Text();
    }
    for (WORD i = 0; i < count && r.Ok(); ++i) {
        r.Align4();
        DialogItemTemplate item;
        if (out.extended) {
            item.helpId = r.U32();
            item.exStyle = r.U32();
            item.style = r.U32();
        } else {
            item.style = r.U32();
            item.exStyle = r.U32();
        }
        item.x = r.S16();
        item.y = r.S16();
        item.cx = r.S16();
        item.cy = r.S16();
        item.id = out.extended ? r.U32() : r.U16();
        WORD classAtom = 0;
        bool atom = false;
        r.NameOrOrdinal(item.className, classAtom, &atom);
        if (atom)
            item.className = ClassOfAtom(classAtom);
        r.NameOrOrdinal(item.text, item.textOrdinal, &item.hasTextOrdinal);
        WORD extra = r.U16();
        if (extra) {
            // The classic layout counts the size word itself; the extended
            // one counts only the data that follows.
            std::size_t n = out.extended ? extra : (extra >= 2 ? extra - 2u : 0u);
            r.Bytes(n, item.creationData);
        }
        if (r.Ok())
            out.items.push_back(std::move(item));
    }
    return r.Ok();
}

void SetModalDialogHandler(std::function<void(const ModalDialogCall&)> handler) {
    DialogTable& t = Dialogs();
    MutexLock lock(t.mutex);
    t.handler = std::move(handler);
}

std::vector<ModalDialogCall> ModalDialogCalls() {
    DialogTable& t = Dialogs();
    MutexLock lock(t.mutex);
    return t.calls;
}

void ClearModalDialogCalls() {
    DialogTable& t = Dialogs();
    MutexLock lock(t.mutex);
    t.calls.clear();
}

bool DialogEnded(HWND dialog, INT_PTR* result) {
    return Ended(dialog, result);
}

}  // namespace win

HWND CreateDialogParamW(HINSTANCE instance, const WCHAR* name, HWND owner, DLGPROC proc,
                        LPARAM param) {
    std::size_t size = 0;
    const std::uint8_t* data = win::TemplateOf(instance, name, &size);
    if (!data)
        return nullptr;
    return win::CreateFromTemplate(instance, data, size, owner, proc, param, false);
}

HWND CreateDialogIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner,
                                DLGPROC proc, LPARAM param) {
    return win::CreateFromTemplate(instance, reinterpret_cast<const std::uint8_t*>(dialogTemplate),
                                   win::kMaxIndirectTemplate, owner, proc, param, false);
}

INT_PTR DialogBoxParamW(HINSTANCE instance, const WCHAR* name, HWND owner, DLGPROC proc,
                        LPARAM param) {
    std::size_t size = 0;
    const std::uint8_t* data = win::TemplateOf(instance, name, &size);
    if (!data)
        return -1;
    return win::RunModal(instance, data, size, owner, proc, param);
}

INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, LPCDLGTEMPLATEW dialogTemplate, HWND owner,
                                DLGPROC proc, LPARAM param) {
    return win::RunModal(instance, reinterpret_cast<const std::uint8_t*>(dialogTemplate),
                         win::kMaxIndirectTemplate, owner, proc, param);
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    bool modal = false;
    {
        win::DialogTable& t = win::Dialogs();
        win::MutexLock lock(t.mutex);
        auto it = t.dialogs.find(dialog);
        if (it == t.dialogs.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        it->second.ended = true;
        it->second.result = result;
        modal = it->second.modal;
    }
    if (modal)
        PostMessageW(dialog, WM_NULL, 0, 0);  // wakes a modal loop waiting for input
    else
        ShowWindow(dialog, SW_HIDE);
    return TRUE;
}

LRESULT DefDlgProcW(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
    DLGPROC proc = nullptr;
    {
        win::KeepLastError keep;
        proc = reinterpret_cast<DLGPROC>(GetWindowLongPtrW(dialog, DWLP_DLGPROC));
        if (proc)
            SetWindowLongPtrW(dialog, DWLP_MSGRESULT, 0);
    }
    if (proc) {
        INT_PTR handled = proc(dialog, msg, wParam, lParam);
        if (handled) {
            if (win::ReturnsProcResult(msg))
                return handled;
            win::KeepLastError keep;
            return GetWindowLongPtrW(dialog, DWLP_MSGRESULT);
        }
    }
    switch (msg) {
        case WM_INITDIALOG:
        case WM_CTLCOLORMSGBOX:
        case WM_CTLCOLOREDIT:
        case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN:
        case WM_CTLCOLORDLG:
        case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC:
            return 0;
        case WM_CLOSE: {
            win::KeepLastError keep;
            HWND cancel = GetDlgItem(dialog, IDCANCEL);
            PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(cancel));
            return 0;
        }
        case WM_SETFOCUS:
            if (HWND first = GetNextDlgTabItem(dialog, nullptr, FALSE))
                SetFocus(first);
            return 0;
        case DM_GETDEFID: {
            WORD id = win::DefaultId(dialog);
            return id ? MAKELRESULT(id, DC_HASDEFID) : 0;
        }
        case DM_SETDEFID: {
            win::DialogTable& t = win::Dialogs();
            win::MutexLock lock(t.mutex);
            auto it = t.dialogs.find(dialog);
            if (it != t.dialogs.end())
                it->second.defId = static_cast<WORD>(wParam);
            return TRUE;
        }
        case WM_NEXTDLGCTL: {
            HWND target = lParam ? reinterpret_cast<HWND>(wParam)
                                 : GetNextDlgTabItem(dialog, GetFocus(), wParam != 0);
            if (target && IsChild(dialog, target))
                SetFocus(target);
            return 0;
        }
        case WM_ERASEBKGND: {
            // The dialog procedure names the background brush; without one
            // the dialog face colour.
            auto brush = reinterpret_cast<HBRUSH>(
                SendMessageW(dialog, WM_CTLCOLORDLG, wParam, reinterpret_cast<LPARAM>(dialog)));
            if (!brush)
                brush = GetSysColorBrush(COLOR_BTNFACE);
            RECT client{};
            GetClientRect(dialog, &client);
            FillRect(reinterpret_cast<HDC>(wParam), &client, brush);
            return TRUE;
        }
        case WM_NCDESTROY: {
            HFONT font = nullptr;
            {
                win::DialogTable& t = win::Dialogs();
                win::MutexLock lock(t.mutex);
                auto it = t.dialogs.find(dialog);
                if (it != t.dialogs.end())
                    font = it->second.font;
                t.dialogs.erase(dialog);
            }
            if (font) {
                win::KeepLastError keep;
                DeleteObject(font);
            }
            return DefWindowProcW(dialog, msg, wParam, lParam);
        }
        default:
            return DefWindowProcW(dialog, msg, wParam, lParam);
    }
}

BOOL IsDialogMessageW(HWND dialog, MSG* msg) {
    if (!msg || !dialog || !IsWindow(dialog))
        return FALSE;
    if (msg->hwnd != dialog && !IsChild(dialog, msg->hwnd))
        return FALSE;
    if (msg->message == WM_KEYDOWN) {
        LRESULT code = msg->hwnd ? SendMessageW(msg->hwnd, WM_GETDLGCODE, msg->wParam,
                                                reinterpret_cast<LPARAM>(msg))
                                 : 0;
        switch (static_cast<WORD>(msg->wParam)) {
            case VK_TAB:
                if (code & (DLGC_WANTTAB | DLGC_WANTALLKEYS))
                    break;
                if (HWND next = GetNextDlgTabItem(dialog, GetFocus(), FALSE))
                    SetFocus(next);
                return TRUE;
            case VK_RETURN: {
                if (code & DLGC_WANTALLKEYS)
                    break;
                LRESULT def = SendMessageW(dialog, DM_GETDEFID, 0, 0);
                int id = HIWORD(static_cast<DWORD>(def)) == DC_HASDEFID ? LOWORD(def) : IDOK;
                win::PressButton(dialog, id);
                return TRUE;
            }
            case VK_ESCAPE:
                if (code & DLGC_WANTALLKEYS)
                    break;
                win::PressButton(dialog, IDCANCEL);
                return TRUE;
            default:
                break;
        }
    }
    TranslateMessage(msg);
    DispatchMessageW(msg);
    return TRUE;
}

HWND GetNextDlgTabItem(HWND dialog, HWND control, BOOL previous) {
    std::vector<HWND> children = win::ChildrenOf(dialog);
    if (children.empty())
        return nullptr;
    if (previous)
        std::reverse(children.begin(), children.end());
    auto at = std::find(children.begin(), children.end(), control);
    std::size_t n = children.size();
    std::size_t start =
        at == children.end() ? n - 1 : static_cast<std::size_t>(at - children.begin());
    for (std::size_t k = 1; k <= n; ++k) {
        HWND w = children[(start + k) % n];
        if (win::TabCandidate(w))
            return w;
    }
    return nullptr;
}

HWND GetNextDlgGroupItem(HWND dialog, HWND control, BOOL previous) {
    std::vector<HWND> children = win::ChildrenOf(dialog);
    auto at = std::find(children.begin(), children.end(), control);
    if (at == children.end())
        return nullptr;
    // The group: from the WS_GROUP child at or before control to the one
    // before the next WS_GROUP child.
    std::size_t index = static_cast<std::size_t>(at - children.begin());
    std::size_t first = index;
    while (first > 0 && !(win::controls::StyleOf(children[first]) & WS_GROUP))
        --first;
    std::size_t last = index + 1;
    while (last < children.size() && !(win::controls::StyleOf(children[last]) & WS_GROUP))
        ++last;
    std::vector<HWND> group(children.begin() + static_cast<std::ptrdiff_t>(first),
                            children.begin() + static_cast<std::ptrdiff_t>(last));
    if (previous)
        std::reverse(group.begin(), group.end());
    std::size_t n = group.size();
    std::size_t start =
        static_cast<std::size_t>(std::find(group.begin(), group.end(), control) - group.begin());
    for (std::size_t k = 1; k <= n; ++k) {
        HWND w = group[(start + k) % n];
        DWORD style = win::controls::StyleOf(w);
        if ((style & WS_VISIBLE) && !(style & WS_DISABLED))
            return w;
    }
    return control;
}

BOOL MapDialogRect(HWND dialog, RECT* rect) {
    win::DialogRecord r;
    if (!win::FindRecord(dialog, &r)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!rect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    rect->left = rect->left * r.baseX / 4;
    rect->right = rect->right * r.baseX / 4;
    rect->top = rect->top * r.baseY / 8;
    rect->bottom = rect->bottom * r.baseY / 8;
    return TRUE;
}

LONG GetDialogBaseUnits() {
    return static_cast<LONG>(MAKELONG(8, 16));
}

BOOL SetDlgItemInt(HWND dialog, int id, UINT value, BOOL isSigned) {
    std::wstring text =
        isSigned ? std::to_wstring(static_cast<INT>(value)) : std::to_wstring(value);
    return SetDlgItemTextW(dialog, id, text.c_str());
}

UINT GetDlgItemInt(HWND dialog, int id, BOOL* translated, BOOL isSigned) {
    if (translated)
        *translated = FALSE;
    HWND item = GetDlgItem(dialog, id);
    if (!item)
        return 0;
    int len = GetWindowTextLengthW(item);
    std::wstring text(static_cast<std::size_t>(len) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(item, text.data(), len + 1)));
    std::size_t i = 0;
    while (i < text.size() && (text[i] == L' ' || text[i] == L'\t'))
        ++i;
    bool negative = false;
    if (isSigned && i < text.size() && text[i] == L'-') {
        negative = true;
        ++i;
    }
    unsigned long long value = 0;
    std::size_t digits = 0;
    for (; i < text.size() && text[i] >= L'0' && text[i] <= L'9'; ++i, ++digits) {
        value = value * 10 + static_cast<unsigned>(text[i] - L'0');
        if (value > 0xFFFFFFFFull)
            return 0;
    }
    if (digits == 0)
        return 0;
    if (isSigned) {
        if ((!negative && value > 0x7FFFFFFFull) || (negative && value > 0x80000000ull))
            return 0;
    }
    if (translated)
        *translated = TRUE;
    return negative ? static_cast<UINT>(-static_cast<long long>(value)) : static_cast<UINT>(value);
}

BOOL CheckDlgButton(HWND dialog, int id, UINT check) {
    HWND item = GetDlgItem(dialog, id);
    if (!item)
        return FALSE;
    SendMessageW(item, BM_SETCHECK, check, 0);
    return TRUE;
}

UINT IsDlgButtonChecked(HWND dialog, int id) {
    HWND item = GetDlgItem(dialog, id);
    return item ? static_cast<UINT>(SendMessageW(item, BM_GETCHECK, 0, 0)) : 0;
}

BOOL CheckRadioButton(HWND dialog, int first, int last, int check) {
    bool found = false;
    for (int id = first; id <= last; ++id) {
        win::KeepLastError keep;
        if (HWND item = GetDlgItem(dialog, id)) {
            SendMessageW(item, BM_SETCHECK, id == check ? BST_CHECKED : BST_UNCHECKED, 0);
            found = found || id == check;
        }
    }
    return found ? TRUE : FALSE;
}
