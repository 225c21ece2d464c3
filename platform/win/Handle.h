// Kernel handles: one process-wide table shared by threads, events and files.
//
// A HANDLE names a HandleObject; CloseHandle drops the table's reference and
// the object lives on while a call still uses it. Each kind (thread, event,
// file, find) derives from HandleObject in its own file. Thread-safe.
#pragma once

#include <memory>

#include "platform/win/Types.h"

using HANDLE = void*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr DWORD INFINITE = 0xFFFFFFFF;
constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;

namespace win {

class HandleObject {
public:
    virtual ~HandleObject() = default;
    // Waits until the object is signalled (threads: ended; events: set) or
    // the timeout passes. The timeout is in platform-clock milliseconds.
    // Returns WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED (not waitable).
    virtual DWORD Wait(DWORD timeoutMs) { return WAIT_FAILED; }
};

// Enters an object into the table; never returns null or INVALID_HANDLE_VALUE.
HANDLE RegisterHandle(std::shared_ptr<HandleObject> object);
// The object of a handle, or null when the handle is not open.
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);
// Typed lookup: null when the handle is not open or names another kind.
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Removes the handle from the table; false when it was not open.
bool UnregisterHandle(HANDLE handle);

}  // namespace win

// Closes any kernel handle. FALSE with ERROR_INVALID_HANDLE when not open.
BOOL CloseHandle(HANDLE handle);
// Waits for a thread or event handle; see HandleObject::Wait.
DWORD WaitForSingleObject(HANDLE handle, DWORD timeoutMs);
