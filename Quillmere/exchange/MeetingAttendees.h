// A meeting's attendee list: the lower-case e-mail addresses of the people an
// item invites. The queueing of a change reads an item's meeting data to
// leave cancelled meetings at home; the sync-mail builder reads the attendee
// list of the very item it sends, so that no partner who attends that meeting
// gets it, whatever was queued after it.
//
// Threads: any thread, with that thread's own helper session and item.
#pragma once

#include <string>
#include <vector>

#include "platform/com/Variant.h"
#include "platform/rdo/QuillmereRDO.h"
#include "platform/win/Types.h"

// The value as an integer when it is one (a text holding a whole decimal
// number, blanks around it allowed, counts too).
bool MeetingValueAsInteger(const VARIANT& value, LONG& out);

// The display-to text (PR_DISPLAY_TO_W) of item when item is a meeting with
// attendees: the text is not empty and the meeting status
// ("urn:schemas:calendar:meetingstatus") reads as an integer 1, 3 or 5, or as
// a value that is neither empty nor an integer. Empty for any other item.
std::wstring MeetingDisplayTo(QMRMessage* item);

// The attendee list of item (empty when MeetingDisplayTo is): each part of
// the display-to text between semicolons, trimmed and lower-cased; a part
// holding an '@' is taken as it is, any other is resolved to its address
// through session's address book (debug line "Resolved Attendee to:"; a part
// that can't be resolved is left out with "Try to resolve Attendee =>
// ResolveName %s" or "... => GetAddressFromAttendee"; no address book:
// "no addressbook to resolve attendee").
std::vector<std::wstring> GetMeetingAttendees(QMRRDOSession* session, QMRMessage* item);
