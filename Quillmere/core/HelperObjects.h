// Helper-library objects created by ProgID, the common failure path when the
// library is missing, and the module's version text.
//
// The factories run on any thread that initialised COM (worker threads each
// create their own objects: helper objects never pass between threads). On
// failure they call ReportHelperLibraryNotRegistered, which shows a message
// box on the calling thread and disconnects the add-in.
#pragma once

#include <string>

#include "platform/com/Unknown.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;

// Each: S_OK with *out holding the new object's reference for the caller;
// on failure *out is null, ReportHelperLibraryNotRegistered has run and the
// failing HRESULT of CLSIDFromProgID / CoCreateInstance is returned.
HRESULT CreateMAPIUtils(CSyncEngine* engine, QMRMAPIUtils** out);
HRESULT CreateSafeMailItem(CSyncEngine* engine, QMRSafeMailItem** out);
HRESULT CreateSafeJournalItem(CSyncEngine* engine, QMRSafeJournalItem** out);
HRESULT CreateMAPITable(CSyncEngine* engine, QMRMAPITable** out);

// A helper session ("QuillmereRDOx.QMRRDOSession"), not logged on. A
// failure is reported as "no session Interface" (no message box).
HRESULT CreateHelperSession(QMRRDOSession** out);

// The session set-up of an exchange thread: a new helper session of the
// calling thread, attached to the engine's MAPI session object (taken on
// Outlook's thread when the engine made its session, so no helper object
// crosses threads), else logged on by itself ("MAPIOBJECT failed"). A failed
// try is reported ("session Connectiontimeout" for 0x80040401, else "no
// session"), sets the state code to 4 and is retried every 10 s until it
// succeeds or StopFlag is set; then null. *created (may be null) tells
// whether a session object could be created at all; without one the call
// returns null at once. The calling worker thread, COM initialised.
CComPtr<QMRRDOSession> AttachExchangeThreadSession(CSyncEngine* engine, bool* created = nullptr);

// The error-log line "QuillmereRDO.dll may be not registered" (each call, any
// thread); then, once per engine, the report: a message box without owner
// (text string 1214, caption string 1223, UI language) and COMAddIn.Connect
// := false, so that Outlook disconnects the add-in. The report is shown on
// Outlook's thread from its message loop (posted to the engine's heartbeat
// window), never inside the failing call: the calls fail on the exchange
// threads too, which must not show windows nor use Outlook's objects, and
// on Outlook's thread in the middle of the engine's start, which the
// disconnection would tear down. Without a heartbeat window (or an engine)
// it is shown at once on the calling thread.
void ReportHelperLibraryNotRegistered(CSyncEngine* engine);

// The report itself: the message box, then COMAddIn.Connect := false (which
// may disconnect and shut the add-in down before it returns). Outlook's
// thread; run by the heartbeat window for ReportHelperLibraryNotRegistered.
void ShowHelperLibraryNotRegistered();

// The add-in module's file version as "%d.%d.%d" (major, minor, build) into
// buffer (size characters with the terminator); "" when it can't be read.
void GetModuleVersionString(CSyncEngine* engine, wchar_t* buffer, std::size_t size);
