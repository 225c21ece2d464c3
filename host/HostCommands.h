// The user's actions on a running host, as the control socket carries them
// (one command with its arguments, an answer text):
//
//   list [FOLDER]                       folders with item counts, or a folder's items
//   add FOLDER --subject S [--body B] [--class C]
//                                       a new item, saved; the answer names it, its
//                                       place in the folder and its entry id
//   change FOLDER N [--subject S] [--body B]
//   delete FOLDER N
//   show FOLDER N                       fields, recipients and attachments of item N
//   open FOLDER N                       the item in the active inspector
//   send --to A[;B] [--subject S] [--body B] [--attach FILE]... [--delete-after-submit]
//                                       a mail made in the Outbox and sent through the helper
//                                       library
//   folder PARENT NAME                  a new subfolder (PARENT "" is the top folder)
//   rule NAME --subject-contains TEXT --move-to FOLDER
//                                       a receive rule of the default store, saved
//   rules                               the default store's rules: name, type, conditions,
//                                       target folder
//   watch FOLDER / unwatch FOLDER       advises / unadvises the folder's Items: each
//                                       ItemAdd/ItemChange/ItemRemove goes into the log
//   options [--set NAME=VALUE]... [--click ID]... [--apply]
//                                       opens the Options dialog: the pages added; with
//                                       --set/--click/--apply each page is created (by
//                                       ProgID) and shown in the dialog, its fields set by
//                                       name (the add-in's pages through their controls,
//                                       PageDriver.h; other pages through IDispatch), its
//                                       control ID clicked (a button or a link) and applied
//                                       when dirty
//   props FOLDER [--set NAME=VALUE]... [--click ID]... [--apply]
//                                       the same for the folder's Properties dialog;
//                                       both take --answer BUTTON (ok, cancel, yes, no
//                                       or a control id): a modal dialog that a page
//                                       shows meanwhile is answered with that button.
//                                       A dialog without pages, a field or control no
//                                       page has, and a value a page refuses fail.
//   picture options FILE [--hover ID] [--page PROGID]
//   picture props FOLDER FILE [--hover ID] [--page PROGID]
//                                       a PNG of the dialog with the page shown (the first
//                                       page with a window, or PROGID's), with --hover the
//                                       pointer resting on control ID until its tooltip shows
//   picture progress FILE               the last basic-sync progress window (as it closed)
//   picture logviewer FILE [--errorlog] the log viewer's window, started for the picture
//   tray [--double-click]               the tray icons; double-clicks each visible one
//                                       (on the add-in's icon: pauses or resumes it)
//   log                                 what the host did (NewMail, Reminder, add-ins ...)
//   crash-at POINT                      test tooling: the process is killed (SIGKILL) just
//                                       before the step POINT names (platform/win/CrashPoints.h);
//                                       "" disarms
//   quit                                closes the client (Quit) and ends the host
//
// FOLDER is a path of folder names from the top of the default store
// ("Inbox", "Inbox/Projects"); N counts items from 1 as the folder's Items do.
//
// Threading: Execute runs on the host's UI thread (it is called through
// OutlookHost::RunOnUi).
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace host {

class OutlookHost;

struct CommandResult {
    bool ok = true;
    std::string text;   // the answer, or one line saying what was wrong
    bool quit = false;  // the host is to quit after answering
    // Not done because the arguments were wrong (ok is false then).
    bool badArguments = false;
    // With quit: a crash point to arm just before Outlook's Quit is fired, so
    // that only the steps of the shut-down count towards it.
    std::string crashAtQuit;
};

class HostCommands {
public:
    explicit HostCommands(OutlookHost& host);
    // Call ReleaseAll on the UI thread first.
    ~HostCommands();
    // UI thread.
    CommandResult Execute(const std::vector<std::string>& args);
    // UI thread: unadvises what `watch` advised (before the client quits).
    void ReleaseAll();

private:
    struct Watches;
    OutlookHost& m_host;
    std::unique_ptr<Watches> m_watches;
};

}  // namespace host
