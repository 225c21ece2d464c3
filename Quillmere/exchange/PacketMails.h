// Packet mails: during a burst the built sync mails are parked as message
// files in a packet directory and leave together, one packet mail per set of
// recipients; arriving packet mails are turned back into single sync mails.
#pragma once

#include <string>

#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

class CSyncEngine;

// Parks one built mail (in the Outbox) as a message file below the data
// directory, deletes it from the Outbox when saved, and raises the engine's
// parked-mail counter. Sender threads.
void saveMailInSpecialOutbox(CSyncEngine* engine, QMRMessage* mail, const std::wstring& recipients);
// Sends one packet mail per recipient directory of the current profile.
void sendPackedBasicSyncMSG(CSyncEngine* engine, QMRRDOSession* session);
// Unpacks the packet mails in the folder "Quillmere" into single sync mails.
// The importer's session and utilities.
void ProcessBasicSyncItems(CSyncEngine* engine, QMRRDOSession* session, QMRMAPIUtils* utils);
// Leaves the notification pending at most once every 5 minutes.
void ThrottledPackingNotification(CSyncEngine* engine, const std::wstring& title,
                                  const std::wstring& text, LONG kind);
