// Crash points: the steps at which a process's state reaches the disk, counted
// so that a test can have the process killed (SIGKILL, as a power cut or the
// task manager's "End task" would end it) just before one chosen step, and
// can list the steps of a whole run to choose from.
//
// The stand-ins count a step before they carry it out:
//   write     one write of bytes to a file (WriteFile, _write, a stream's
//             buffer going out at a fill, fflush or fclose); named by the
//             file's name
//   rename    MoveFileW / MoveFileExW / _wrename; named by the target's name
//   delete    DeleteFileW / _wremove; named by the file's name
//   registry  a registry hive written to its file; named by the hive's file
//             name ("HKEY_CURRENT_USER.reg")
//   commit    a message store transaction committed (platform/store); named
//             by the store's file name
// A name is the last component of the host path.
//
// A crash point is one stage KIND[:TEXT][#N], or several joined by ">": KIND
// one of the names above or "*" for every kind; the step's name must contain
// TEXT (case-sensitive; no TEXT matches every name); the N-th matching step
// (1 when omitted) reaches the stage. Counting starts at the arming for the
// first stage and when the stage before is reached for the others; reaching
// the last stage kills the process, just before that step. Examples:
//   rename:.syncdata.ids      before the first rename onto a ".syncdata.ids"
//   commit#12                 before the twelfth store commit
//   write:.syncdata.ids>commit#10
//                             before the tenth store commit after the first
//                             write to a ".syncdata.ids"
//
// Environment (read at the first counted step):
//   QUILLMERE_CRASH_AT=POINT    armed from the start of the process
//   QUILLMERE_CRASH_STEPS=FILE  every counted step is appended to FILE as one
//                               line "<number> <kind> <name>", numbered from 1
//                               across all kinds, before the step is carried
//                               out (so the killed step is the file's last line)
//
// Test tooling only: nothing arms a crash point unless a test asks for it,
// and an unarmed count costs two atomic loads. Thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace win {

enum class CrashStep { kWrite, kRename, kDelete, kRegistry, kCommit };

// Counts one step about to happen; kills the process when it is the armed
// one. name: the host path or name of what the step writes (only its last
// component counts).
void CountCrashStep(CrashStep kind, std::string_view name);
// The same for a write to an open descriptor (its path is looked up only
// while a crash point is armed or steps are logged).
void CountCrashWrite(int descriptor);

// Arms point (replacing what was armed; counting starts now); "" disarms.
// False, leaving nothing armed, for a point that can't be parsed.
bool ArmCrashPoint(std::string_view point);

// The kind's name as a point writes it ("write", "rename", ...).
const char* CrashStepName(CrashStep kind);

}  // namespace win
