// Threads as the C runtime and the kernel start them, thread ids and
// thread-local storage slots.
//
// A thread handle is a kernel handle (Handle.h): WaitForSingleObject returns
// WAIT_OBJECT_0 once the thread has ended, which includes the destructors of
// its thread_local objects; CloseHandle drops the handle, not the thread.
// Threads run detached on the host; a process that returns from main while
// threads run ends them, as on the platform. All calls are thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win/Handle.h"
#include "platform/win/Types.h"

constexpr DWORD STILL_ACTIVE = 259;
constexpr DWORD CREATE_SUSPENDED = 0x00000004;
constexpr DWORD TLS_OUT_OF_INDEXES = 0xFFFFFFFF;

// Starts start(arg) on a new thread. stackSize 0 = the default; initflag 0
// or CREATE_SUSPENDED (the thread waits for ResumeThread). *threadId (may be
// null) receives the new thread's id. Returns the thread's handle, which the
// caller closes with CloseHandle; 0 on failure with errno set (EAGAIN: no
// resources, EINVAL: null start or unknown initflag).
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned (*start)(void*),
                              void* arg, unsigned initflag, unsigned* threadId);
// Ends the calling thread with exitCode, from any depth of its call stack.
// The stack is unwound (destructors of locals run; unlike the platform, which
// skips them) and thread_local objects are destroyed. The unwinding is the
// host's forced unwind: a catch (...) on the way must rethrow, and no
// noexcept function may be on the stack. Called on a thread the runtime did
// not start, it ends that thread too.
[[noreturn]] void _endthreadex(unsigned exitCode);

// Starts start(arg) on a new thread whose handle closes itself when the
// thread ends (so the returned value may already be invalid when the caller
// sees it, as on the platform). Returns (uintptr_t)-1 on failure.
std::uintptr_t _beginthread(void (*start)(void*), unsigned stackSize, void* arg);
// Ends the calling thread (exit code 0); see _endthreadex.
[[noreturn]] void _endthread();

// The kernel form of _beginthreadex. Null on failure with
// ERROR_NOT_ENOUGH_MEMORY or ERROR_INVALID_PARAMETER.
using LPTHREAD_START_ROUTINE = DWORD (*)(void*);
HANDLE CreateThread(void* security, std::size_t stackSize, LPTHREAD_START_ROUTINE start,
                    void* param, DWORD flags, DWORD* threadId);
[[noreturn]] void ExitThread(DWORD exitCode);
// Lets a suspended thread run. Returns the previous suspend count (1 for a
// thread started suspended, 0 when it was running), (DWORD)-1 with
// ERROR_INVALID_HANDLE for a handle that is not a thread.
DWORD ResumeThread(HANDLE thread);

// STILL_ACTIVE while the thread runs, then its exit code. FALSE with
// ERROR_INVALID_HANDLE for a handle that is not a thread.
BOOL GetExitCodeThread(HANDLE thread, DWORD* exitCode);
// The host's id of the calling thread (gettid); unique among running threads.
DWORD GetCurrentThreadId();
// The host's process id.
DWORD GetCurrentProcessId();

// Thread-local slots: every thread sees its own value of a slot, null until
// it sets one. TlsAlloc returns TLS_OUT_OF_INDEXES with
// ERROR_NO_MORE_ITEMS when all slots are taken. Calls with a slot that is not
// allocated fail (FALSE / null) with ERROR_INVALID_PARAMETER; TlsGetValue
// sets the last error to ERROR_SUCCESS when it succeeds, so that a null
// value can be told from a failure. A freed slot that is allocated again
// starts null on every thread.
DWORD TlsAlloc();
BOOL TlsFree(DWORD index);
void* TlsGetValue(DWORD index);
BOOL TlsSetValue(DWORD index, void* value);
