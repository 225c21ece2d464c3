// The client's dialog of property pages as the host shows it: a frame with
// the tab that holds a page, and OK, Cancel and Apply under it (Apply
// enabled while the page says it is dirty). The page control shows itself
// in the tab (IOleObject::DoVerb), as a mail client's dialog has it do.
// UI thread only; the frame, and the page's window in it, go with the
// object.
#pragma once

#include <string>

#include "platform/com/ComObject.h"
#include "platform/com/OleObject.h"
#include "platform/outlook/Outlook.h"
#include "platform/win/Types.h"
#include "platform/win/Window.h"

namespace host {

class HostDialog {
public:
    // The tab's size: what a mail client's dialog gives its pages.
    static constexpr int kTabWidth = 400;
    static constexpr int kTabHeight = 510;

    explicit HostDialog(const std::wstring& caption);
    ~HostDialog();
    HostDialog(const HostDialog&) = delete;
    HostDialog& operator=(const HostDialog&) = delete;

    bool Valid() const { return m_frame && m_tab; }
    HWND Frame() const { return m_frame; }

    // Gives page its client site (whose OnStatusChange sets Apply from the
    // page's dirty flag and counts the changes) and lets it show itself in
    // the tab. The page's window, or null when the page shows none (it
    // keeps the site until Close).
    HWND Show(IUnknown* page);
    // Takes the client site back from the page shown.
    void Close();
    // How many times the page reported a change of status.
    int StatusChanges() const { return m_statusChanges; }

private:
    HWND m_frame = nullptr;
    HWND m_tab = nullptr;
    HWND m_apply = nullptr;
    CComQIPtr<IOleObject> m_embedded;
    CComQIPtr<PropertyPage> m_page;
    int m_statusChanges = 0;
};

}  // namespace host
