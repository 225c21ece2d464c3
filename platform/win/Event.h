// Event kernel objects. An event handle is waitable with
// WaitForSingleObject (Handle.h); timeouts are in platform ms.
//
// Manual-reset events stay signalled until ResetEvent and release every
// waiter; auto-reset events release one waiter and reset themselves as it
// returns. All calls are thread-safe.
#pragma once

#include "platform/win/Handle.h"
#include "platform/win/Types.h"

// Creates an event, initially signalled when initialState is nonzero. A name
// (may be null) makes the event process-wide by that name (case-sensitive):
// while a handle to it is open, creating it again returns a new handle to the
// same event, ignores the two flags and sets ERROR_ALREADY_EXISTS (otherwise
// the last error is ERROR_SUCCESS). The caller closes the handle. Never
// fails.
HANDLE CreateEventW(void* security, BOOL manualReset, BOOL initialState,
                    const wchar_t* name = nullptr);
// FALSE with ERROR_INVALID_HANDLE when the handle is not an open event.
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
