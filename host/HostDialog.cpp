#include "host/HostDialog.h"

#include "platform/outlook/OutlookApplication.h"
#include "platform/win/Controls.h"
#include "platform/win/Font.h"
#include "platform/win/MessageLoop.h"
#include "platform/win/Paint.h"

namespace host {
namespace {

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

}  // namespace

HostDialog::HostDialog(const std::wstring& caption) {
    RegisterFrameClass();
    const int width = kTabWidth + 2 * kMargin;
    const int height = kMargin + kTabHeight + kButtonRow;
    m_frame = CreateWindowExW(WS_EX_DLGMODALFRAME, kFrameClass, caption.c_str(),
                              WS_POPUP | WS_CAPTION | WS_SYSMENU, 80, 60, width, height, nullptr,
                              nullptr, nullptr, nullptr);
    if (!m_frame)
        return;
    m_tab = CreateWindowExW(WS_EX_CONTROLPARENT, kFrameClass, L"", WS_CHILD | WS_VISIBLE, kMargin,
                            kMargin, kTabWidth, kTabHeight, m_frame, nullptr, nullptr, nullptr);
    const wchar_t* labels[] = {L"OK", L"Cancel", L"Apply"};
    for (int i = 0; i < 3; ++i) {
        const int x = width - kMargin - (3 - i) * (kButtonWidth + 6) + 6;
        HWND button = CreateWindowExW(
            0, WC_BUTTONW, labels[i],
            WS_CHILD | WS_VISIBLE | (i == 0 ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON), x,
            kMargin + kTabHeight + (kButtonRow - kButtonHeight) / 2, kButtonWidth, kButtonHeight,
            m_frame, reinterpret_cast<HMENU>(static_cast<std::intptr_t>(i + 1)), nullptr, nullptr);
        SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                     FALSE);
        if (i == 2)
            m_apply = button;
    }
    EnableWindow(m_apply, FALSE);
    ShowWindow(m_frame, SW_SHOWNOACTIVATE);
}

HostDialog::~HostDialog() {
    Close();
    if (m_frame && IsWindow(m_frame)) {
        // Hidden first: the host keeps pictures of the add-in's dialogs as
        // they close, not of its own frame.
        ShowWindow(m_frame, SW_HIDE);
        DestroyWindow(m_frame);
    }
}

HWND HostDialog::Show(IUnknown* page) {
    Close();
    m_embedded = page;
    m_page = page;
    if (!m_embedded || !Valid())
        return nullptr;
    // As the client's dialog does, Apply follows the page's dirty flag
    // whenever the page reports a change of status.
    CComPtr<PropertyPageSite> site = outlook::CreatePropertyPageSite([this] {
        ++m_statusChanges;
        VARIANT_BOOL dirty = VARIANT_FALSE;
        if (m_page)
            m_page->get_Dirty(&dirty);
        if (m_apply && IsWindow(m_apply))
            EnableWindow(m_apply, dirty != VARIANT_FALSE);
    });
    m_embedded->SetClientSite(CComQIPtr<IOleClientSite>(site));
    RECT position{0, 0, kTabWidth, kTabHeight};
    if (FAILED(m_embedded->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, nullptr, 0, m_tab, &position)))
        return nullptr;
    return GetWindow(m_tab, GW_CHILD);
}

void HostDialog::Close() {
    if (m_embedded)
        m_embedded->SetClientSite(nullptr);
    m_embedded.Release();
    m_page.Release();
}

}  // namespace host
