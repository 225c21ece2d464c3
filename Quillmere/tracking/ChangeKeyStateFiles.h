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

#include <string>
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
// The same into a packed list (the duplicates of a damaged file kept).
bool ReadStateFilePairs(CrtFile* keys, CrtFile* values, ChangeKeyList& pairs);

// Writes one entry as a line of each file (streams opened "w"): the key and
// "\n" to keys, the value and "\n" to values.
void WriteStateFilePair(CrtFile* keys, CrtFile* values, const ChangeKeyEntry& entry);

// Replaces both files whole with the entries, in an order that a crash can't
// tear (see StateFileWriter.h): the new values file is made first, then the
// new keys file; once both are whole on the disk the values file is renamed
// into place, then the keys file. Order matters: a "<keys>.new" without a
// "<values>.new" beside it can only be a write cut between its two renames,
// which RecoverInterruptedWrite completes. False when a file could not be written;
// the old pair stays then (or, cut between the renames, is completed by the
// next read).
bool WriteStateFiles(const std::wstring& keysPath, const std::wstring& valuesPath,
                     const std::vector<ChangeKeyEntry>& entries);
bool WriteStateFiles(const std::wstring& keysPath, const std::wstring& valuesPath,
                     const ChangeKeyList& entries);

// Before a read: a write cut between its two renames is completed (its keys
// file renamed into place); one cut earlier is discarded (the old pair
// counts). True when a cut write was found.
bool RecoverInterruptedWrite(const std::wstring& keysPath, const std::wstring& valuesPath);

// What a damaged pair of files can still be trusted with.
// A key is a sync id text: hexadecimal digits, at least two.
bool IsSyncIdText(const std::wstring& key);
// A value is a change key text (hexadecimal, more than 12 characters), a
// modification stamp (12 decimal digits) or one of the markers.
bool IsStateValue(const std::wstring& value);
// A marker that makes the folder check take the next difference as the
// add-in's own (or adopt it): CHANGED, NEWITEM, REMINDR and DETECT.
bool IsAbsorbingMarker(const std::wstring& value);

}  // namespace changekeys
