// Process-wide state of the cabinet classes: the thread-local slot through
// which the reader's library callbacks find their reader, the writers'
// instance counter, and the loaded cabinet library.
#pragma once

#include "platform/win/Module.h"
#include "platform/win/Types.h"

namespace Cabinet {

// Allocates the reader's thread-local slot (once; later calls keep it) and sets
// the writers' instance counter to 0. Runs when the module loads; callable
// again from the module's start-up. Returns FALSE when no slot is available.
BOOL InitCabinetTlsIndex();
// The slot, or TLS_OUT_OF_INDEXES when none could be allocated.
DWORD CabinetTlsIndex();
// Atomically increments the writers' instance counter and returns the new
// value (the first writer of a process is number 1).
DWORD NextCompressInstance();
// The cabinet library of that name, loaded on its first use and kept loaded
// for the rest of the process, so that each writer and reader binds it
// without loading and unloading it again; null when it cannot be loaded
// (not remembered: a later call tries again). Thread-safe.
HMODULE CabinetLibrary(const wchar_t* name);

}  // namespace Cabinet
