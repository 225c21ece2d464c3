// The two state files that keep an ordinary store's folder's change-key list
// between a save and the next load (names and when they are written:
// ChangeKeyList.h, CItemsEvents::LoadFolderList and WritechangeKeylist2File):
//
//   <EntryID>.keys.ids    one sync id text a line
//   <EntryID>.values.ids  one value a line; line i belongs to line i of the keys
//
// Both are written through text-mode streams with fputws (ANSI, '?' for a
// character the code page lacks; each "\n" as CR LF on disk). They are read
// with fgets in pieces of at most kStateLineBytes - 1 bytes: a longer line
// comes back in pieces, each taken as a line of its own, so the pairs after
// it shift. A piece is ANSI, cut at its first NUL byte, with every "\n"
// removed (a CR without its LF stays).
//
// These readers see whatever is on disk (files cut short, damaged or edited
// by hand), so they accept any bytes. Threads: any; a stream is used by one
// thread at a time.
#pragma once

#include <vector>

#include "Quillmere/tracking/ChangeKeyList.h"

class CrtFile;

namespace changekeys {

// fgets limit of both files (bytes, terminator included).
inline constexpr int kStateLineBytes = 512;

// Reads the pairs of the two files (streams opened "r" at their start): a
// piece of the keys file, then one of the values file, until either has none
// left or both are at their end after a pair. pairs receives every pair read,
// in file order.
// Returns false when the files disagree: after the last pair read exactly
// one of them was at its end (its last line had no line end while the other
// went on). A file that merely holds more lines than the other is read up
// to the shorter one and is no disagreement.
bool ReadStateFilePairs(CrtFile* keys, CrtFile* values, std::vector<ChangeKeyEntry>& pairs);

// Writes one entry as a line of each file (streams opened "w"): the key and
// "\n" to keys, the value and "\n" to values.
void WriteStateFilePair(CrtFile* keys, CrtFile* values, const ChangeKeyEntry& entry);

}  // namespace changekeys
