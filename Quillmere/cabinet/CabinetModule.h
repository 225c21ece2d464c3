// Process-wide state of the cabinet classes: the thread-local slot through
// which the reader's library callbacks find their reader, and the writers'
// instance counter.
#pragma once

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

}  // namespace Cabinet
