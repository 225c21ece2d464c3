// Power management: the per-thread execution state that keeps the machine
// (or the display) from sleeping while the thread works. The stand-in has no
// machine to keep awake; it records the states so that tests can see them.
// Thread-safe.
#pragma once

#include "platform/win/Types.h"

using EXECUTION_STATE = DWORD;
constexpr EXECUTION_STATE ES_SYSTEM_REQUIRED = 0x00000001;
constexpr EXECUTION_STATE ES_DISPLAY_REQUIRED = 0x00000002;
constexpr EXECUTION_STATE ES_USER_PRESENT = 0x00000004;
constexpr EXECUTION_STATE ES_AWAYMODE_REQUIRED = 0x00000040;
constexpr EXECUTION_STATE ES_CONTINUOUS = 0x80000000;

// With ES_CONTINUOUS the flags become the calling thread's state until its
// next call with ES_CONTINUOUS or its end; without it the call only resets
// the idle timers and leaves the state as it is. Returns the previous state
// (a thread starts at ES_CONTINUOUS), or 0 for invalid flags: unknown bits,
// ES_USER_PRESENT, or ES_AWAYMODE_REQUIRED without ES_CONTINUOUS.
EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags);

namespace win {

// The union of the requirement bits (without ES_CONTINUOUS) of all threads
// that hold a continuous state now: what would keep the machine awake.
EXECUTION_STATE ProcessExecutionStateForTesting();

}  // namespace win
