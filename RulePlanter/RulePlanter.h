// The rule helper: sets up the running Outlook for the add-in. It replaces
// the client rules named "{QUILLMERE}" of the default store by one receive
// rule that moves arriving sync mails and packet mails into the folder
// "Quillmere" beside the Inbox, then quits Outlook. With the command line
// "remove" it deletes that folder instead of creating the rule. It works
// only under Outlook 12, 13 and 14 and only through Outlook's object model.
//
// Every failing Outlook call ends the branch that needed its result; nothing
// is reported and the program's result does not reflect it.
//
// Threading: one thread. RulePlanterMain initialises COM on it (single-
// threaded apartment); the step functions expect it initialised.
#pragma once

#include <string>

#include "platform/outlook/Outlook.h"

namespace ruleplanter {

constexpr const wchar_t* kRuleName = L"{QUILLMERE}";
// The subject marker of sync mails and deletion notices, and the subject
// prefix of packet mails: the rule's condition texts, in this order.
constexpr const wchar_t* kSyncMailMarker = L">-Quillmere-<";
constexpr const wchar_t* kPacketMailPrefix = L"QMRX$BASICSYNCPACKET:";
// The folder the add-in's inbox import reads, beside the Inbox; 8-bit text,
// widened through the thread's code page where it is compared.
constexpr const char* kSyncFolderName = "Quillmere";
// The whole command line that selects remove mode (case-sensitive).
constexpr const wchar_t* kRemoveArgument = L"remove";

// The whole program with the command line after the program name; returns
// the COM executable module's result, which becomes the exit code.
int RulePlanterMain(const std::wstring& commandLine);

// --- Steps -----------------------------------------------------------------

// The running Outlook's application object (a new reference in *app): the
// class object of "Outlook.Application" asked for _Application in any
// context, else a new instance as a local server. That call's HRESULT; *app
// is null on failure.
HRESULT GetOutlookApplication(_Application** app);

// The work on the running Outlook: nothing unless its Version is one of
// IsSupportedVersion's (Outlook then keeps running); otherwise the default
// store's old rules are removed, the rule is created (or, for the command
// line "remove", the sync folder deleted), and Outlook is asked to quit
// whatever of that failed.
void RunOnOutlook(_Application* app, const std::wstring& commandLine);

// Whether the version text begins with "12.", "13." or "14.".
bool IsSupportedVersion(const std::wstring& version);

// Removes every rule named "{QUILLMERE}" and saves the rules after each
// removal. Indices that can't be read are skipped. The walk goes from the
// last rule down so that a removal never moves a rule that is still to be
// looked at.
void RemoveOldRules(_Rules* rules);

// Creates the receive rule "{QUILLMERE}": its subject condition with the two
// texts, its move action to the sync folder (found or created), and saves
// the rules. S_OK saved; otherwise the first failing call's HRESULT (the
// rules are not saved then).
HRESULT CreateSyncRule(_NameSpace* nameSpace, _Rules* rules);

// Finds or creates the sync folder and deletes it. The first failing call's HRESULT.
HRESULT DeleteSyncFolder(_NameSpace* nameSpace);

// The folder "Quillmere" among the sub-folders of the Inbox's parent (the
// store's root); created there when none has that name (compared
// case-sensitively in the user's default locale). *folder is the caller's
// reference; null and the failing call's HRESULT when there is none.
HRESULT GetOrCreateSyncFolder(_NameSpace* nameSpace, MAPIFolder** folder);

}  // namespace ruleplanter
