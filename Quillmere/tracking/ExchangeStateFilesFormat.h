// The byte layout of an Exchange folder's state files in the data directory
// (the files themselves, their names and when they are written: FolderObj.h,
// "Exchange state files"):
//
//   <EntryID>.syncdata.ids       the ICS state text: its UTF-16LE units, no
//                                byte-order mark, no terminator, nothing else
//   <EntryID>.cache.ids          source key ";" change key (or "REMINDER")
//   <EntryID>.insync.ids         one sync id text a line
//   <EntryID>.sync2sourcetbl.ids sync id ";" source key
//
// The three text files are written through a text-mode stream with fputws
// (ANSI, each "\n" as CR LF on disk) and read with fgets in pieces of at most
// the line limit less one byte: a longer line comes back in pieces, each
// taken as a line of its own. A piece is ANSI, cut at its first NUL byte,
// with every "\n" removed. Its fields are the non-empty runs between ";":
// the first is the key, the second the value, more are ignored.
//
// These readers see whatever is on disk (a file damaged, cut short or
// written by hand), so they accept any bytes and never fail on content.
// Threads: any; a stream is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win/Crt.h"

namespace exchangestate {

// fgets limits (bytes, terminator included) of the text files.
inline constexpr int kCacheLineBytes = 1024;      // ".cache.ids" and ".insync.ids"
inline constexpr int kSid2SourceLineBytes = 500;  // ".sync2sourcetbl.ids"

// The state text of ".syncdata.ids" bytes: the whole 2-byte little-endian
// units in order (an odd last byte is ignored). A surrogate pair becomes one
// character; a surrogate unit that pairs with nothing is kept as that value,
// so that StateTextBytes gives back exactly the units read. NUL units stay
// in the text.
std::wstring StateTextFromBytes(const std::uint8_t* data, std::size_t size);
// The bytes of ".syncdata.ids" for a state text (what StateTextFromBytes
// reads back unchanged).
std::vector<std::uint8_t> StateTextBytes(std::wstring_view text);

enum class StateReadResult {
    kRead,       // text holds the whole file
    kShortRead,  // fewer units arrived than the size promised (missingUnits)
    kNoMemory,   // no buffer for the file's size
    kNoSize,     // the size could not be taken (seek or tell failed)
};
// Reads a ".syncdata.ids" stream opened "rb" from its start: the size by
// seeking to the end, then the whole file in one read of 2-byte units.
// text is set only on kRead; missingUnits only on kShortRead.
StateReadResult ReadStateText(CrtFile* file, std::wstring& text, std::size_t& missingUnits);

// The next piece of a text stream opened "r" (at most limitBytes - 1 bytes,
// up to and including a "\n"), as described above; false at the end of the
// file or on a read error. limitBytes: 2 or more.
bool ReadLinePiece(CrtFile* file, int limitBytes, std::wstring& piece);

// The first two non-empty ";"-separated fields of a piece (empty when
// missing; value is empty whenever key is).
void SplitFields(std::wstring_view line, std::wstring& key, std::wstring& value);

// One line of ".cache.ids" or ".sync2sourcetbl.ids" as it is handed to
// fputws: key ";" value "\n".
std::wstring FieldLine(std::wstring_view key, std::wstring_view value);

}  // namespace exchangestate
