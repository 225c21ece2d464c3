// Test helpers for the dialog and control tests: dialog templates written
// field by field in the platform's layout, and a dialog procedure that
// records the notifications its controls send.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win/CommonControls.h"
#include "platform/win/Dialog.h"
#include "platform/win/UserInput.h"

namespace win::testing {

// A DLGTEMPLATEEX (or, with classic, a DLGTEMPLATE) with its items.
class TemplateWriter {
public:
    struct Item {
        std::wstring className;  // empty: by atom
        WORD atom = 0;
        std::wstring text;
        DWORD id = 0;
        DWORD style = 0;
        DWORD exStyle = 0;
        short x = 0, y = 0, cx = 10, cy = 10;
    };

    TemplateWriter(DWORD style, short cx, short cy, std::wstring title = L"Test")
        : m_style(style), m_cx(cx), m_cy(cy), m_title(std::move(title)) {}
    TemplateWriter& Classic() {
        m_classic = true;
        return *this;
    }
    TemplateWriter& Font(WORD points, std::wstring face) {
        m_style |= DS_SETFONT;
        m_points = points;
        m_face = std::move(face);
        return *this;
    }
    TemplateWriter& Add(WORD atom, DWORD id, std::wstring text, DWORD style, short x = 0,
                        short y = 0, short cx = 10, short cy = 10) {
        m_items.push_back(
            Item{{}, atom, std::move(text), id, style | WS_CHILD | WS_VISIBLE, 0, x, y, cx, cy});
        return *this;
    }
    TemplateWriter& Add(std::wstring className, DWORD id, std::wstring text, DWORD style,
                        short x = 0, short y = 0, short cx = 10, short cy = 10) {
        m_items.push_back(Item{std::move(className), 0, std::move(text), id,
                               style | WS_CHILD | WS_VISIBLE, 0, x, y, cx, cy});
        return *this;
    }

    std::vector<std::uint8_t> Bytes() const {
        std::vector<std::uint8_t> b;
        if (m_classic) {
            U32(b, m_style);
            U32(b, 0);
        } else {
            U16(b, 1);
            U16(b, 0xFFFF);
            U32(b, 0);  // help id
            U32(b, 0);  // extended style
            U32(b, m_style);
        }
        U16(b, static_cast<WORD>(m_items.size()));
        U16(b, 0);
        U16(b, 0);
        U16(b, static_cast<WORD>(m_cx));
        U16(b, static_cast<WORD>(m_cy));
        U16(b, 0);  // no menu
        U16(b, 0);  // the dialog class
        Text(b, m_title);
        if (m_style & DS_SETFONT) {
            U16(b, m_points);
            if (!m_classic) {
                U16(b, 400);
                b.push_back(0);
                b.push_back(1);
            }
            Text(b, m_face);
        }
        for (const Item& item : m_items) {
            while (b.size() % 4)
                b.push_back(0);
            if (m_classic) {
                U32(b, item.style);
                U32(b, item.exStyle);
            } else {
                U32(b, 0);
                U32(b, item.exStyle);
                U32(b, item.style);
            }
            U16(b, static_cast<WORD>(item.x));
            U16(b, static_cast<WORD>(item.y));
            U16(b, static_cast<WORD>(item.cx));
            U16(b, static_cast<WORD>(item.cy));
            if (m_classic)
                U16(b, static_cast<WORD>(item.id));
            else
                U32(b, item.id);
            if (item.className.empty()) {
                U16(b, 0xFFFF);
                U16(b, item.atom);
            } else {
                Text(b, item.className);
            }
            Text(b, item.text);
            U16(b, 0);  // no creation data
        }
        return b;
    }

private:
    static void U16(std::vector<std::uint8_t>& b, WORD v) {
        b.push_back(static_cast<std::uint8_t>(v & 0xFF));
        b.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    static void U32(std::vector<std::uint8_t>& b, DWORD v) {
        U16(b, static_cast<WORD>(v & 0xFFFF));
        U16(b, static_cast<WORD>(v >> 16));
    }
    static void Text(std::vector<std::uint8_t>& b, const std::wstring& s) {
        for (wchar_t c : s)
            U16(b, static_cast<WORD>(c));
        U16(b, 0);
    }

    DWORD m_style;
    short m_cx, m_cy;
    std::wstring m_title;
    bool m_classic = false;
    WORD m_points = 0;
    std::wstring m_face;
    std::vector<Item> m_items;
};

constexpr WORD kButtonAtom = 0x80;
constexpr WORD kEditAtom = 0x81;
constexpr WORD kStaticAtom = 0x82;
constexpr WORD kListBoxAtom = 0x83;
constexpr WORD kComboBoxAtom = 0x85;

// One notification as the dialog procedure heard it.
struct Heard {
    UINT message;  // WM_COMMAND or WM_NOTIFY
    int id;
    UINT code;
    std::wstring text;  // the sender's window text at that moment
};

// What the recording dialog procedure saw; one per test (tests run on one
// thread).
struct DialogRecorder {
    std::vector<Heard> heard;
    LPARAM initParam = 0;
    int initCount = 0;
    INT_PTR initAnswer = TRUE;
    std::vector<NMLINK> links;
    LRESULT ctlColorBrush = 0;
    // Ends the dialog with the command id on IDOK / IDCANCEL.
    bool endOnOkCancel = true;

    std::vector<UINT> CodesOf(int id) const {
        std::vector<UINT> out;
        for (const auto& h : heard)
            if (h.id == id)
                out.push_back(h.code);
        return out;
    }
};

inline DialogRecorder*& CurrentRecorder() {
    static DialogRecorder* recorder = nullptr;
    return recorder;
}

inline INT_PTR RecordingDialogProc(HWND dialog, UINT msg, WPARAM wParam, LPARAM lParam) {
    DialogRecorder* r = CurrentRecorder();
    if (!r)
        return FALSE;
    switch (msg) {
        case WM_INITDIALOG:
            r->initParam = lParam;
            ++r->initCount;
            return r->initAnswer;
        case WM_COMMAND: {
            auto from = reinterpret_cast<HWND>(lParam);
            WCHAR text[256] = {};
            if (from)
                GetWindowTextW(from, text, 256);
            r->heard.push_back({WM_COMMAND, LOWORD(wParam), HIWORD(wParam), text});
            if (r->endOnOkCancel && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
                EndDialog(dialog, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        }
        case WM_NOTIFY: {
            auto* hdr = reinterpret_cast<const NMHDR*>(lParam);
            r->heard.push_back({WM_NOTIFY, static_cast<int>(hdr->idFrom), hdr->code, L""});
            if (hdr->code == NM_CLICK)
                r->links.push_back(*reinterpret_cast<const NMLINK*>(lParam));
            return TRUE;
        }
        case WM_CTLCOLORSTATIC:
        case WM_CTLCOLORDLG:
            return r->ctlColorBrush;
        default:
            return FALSE;
    }
}

// A modeless dialog with the recording procedure, destroyed at scope end.
class TestDialog {
public:
    TestDialog(const TemplateWriter& writer, DialogRecorder& recorder, LPARAM param = 0)
        : m_bytes(writer.Bytes()) {
        CurrentRecorder() = &recorder;
        m_hwnd =
            CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(m_bytes.data()),
                                       nullptr, RecordingDialogProc, param);
        EXPECT_NE(m_hwnd, nullptr) << GetLastError();
    }
    ~TestDialog() {
        if (m_hwnd && IsWindow(m_hwnd))
            DestroyWindow(m_hwnd);
        CurrentRecorder() = nullptr;
    }
    HWND hwnd() const { return m_hwnd; }
    HWND Item(int id) const { return GetDlgItem(m_hwnd, id); }

private:
    std::vector<std::uint8_t> m_bytes;
    HWND m_hwnd = nullptr;
};

inline std::wstring TextOf(HWND hwnd) {
    WCHAR buffer[1024] = {};
    GetWindowTextW(hwnd, buffer, 1024);
    return buffer;
}

}  // namespace win::testing
