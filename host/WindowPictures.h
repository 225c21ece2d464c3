// `outlook-host picture`: PNG pictures of the windows a user of the host
// sees (WindowPicture.h draws them):
//
//   - a dialog's page (the Options dialog or a folder's Properties dialog):
//     the host's dialog frame with the page an add-in added, shown in its
//     tab as the client shows it (the page control's DoVerb), optionally
//     with the pointer resting on one of the page's controls until its
//     tooltip shows;
//   - the progress window of a basic synchronisation, as it was when it
//     closed (the host keeps pictures of closing dialogs), or as it is now
//     when one is open;
//   - the log viewer's window: QMRLogWindow started from the install
//     directory as the Options page starts it, asked for a picture through
//     its environment (QUILLMERE_WINDOW_PICTURE), and ended once it wrote
//     the file.
//
// Threading: the host's UI thread (HostCommands runs there).
#pragma once

#include <string>

#include "platform/outlook/OutlookApplication.h"
#include "platform/win/Types.h"

namespace host {

struct PagePictureRequest {
    std::wstring dialogCaption;  // "Options", "Tasks Properties"
    std::wstring progId;         // the page wanted; "" = the first that shows
    int hoverControl = 0;        // a control id of the page; 0 = none
    std::string path;            // the PNG file (host path)
};

// Shows the pages of list as the client's dialog would and saves the
// picture; true with *what saying which page, false with *error.
bool SavePagePicture(outlook::PropertyPageList* list, const PagePictureRequest& request,
                     std::string* what, std::string* error);

// The newest progress window (one with a progress bar) open now or pictured
// as it closed; false with *error when this host showed none.
bool SaveProgressPicture(const std::string& path, std::string* error);

// The log viewer on the debug log (or the error log), after it has shown
// the log for afterMs platform ms; false with *error when it can't be
// started or writes no picture within realTimeoutSeconds.
bool SaveLogViewerPicture(const std::string& path, bool errorLog, DWORD afterMs,
                          int realTimeoutSeconds, std::string* error);

}  // namespace host
