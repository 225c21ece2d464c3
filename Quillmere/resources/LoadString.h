// The add-in's localised texts: one entry of its string tables in a language.
//
// Every text the add-in shows, and the fixed texts of the mails it writes,
// come from the string tables compiled into the add-in module (strings_*.rc):
// a neutral English table and German, Spanish and French ones.
#pragma once

#include <string>

#include "platform/win/Module.h"
#include "platform/win/Types.h"

// Fetches string `id` from the string tables of `module` in `language`.
// Only the language identifier (low 16 bits) of the LCID counts: a language
// whose primary language has a table is served from that table whatever its
// sublanguage (0x0C07, German of Austria, finds the German table); every
// other language is served from the neutral (English) table.
// Returns true with `text` replaced by the entry. Returns false, leaving
// `text` as it was, when the block of the id, the entry or its text is
// missing or empty, or the block is damaged (an entry that would pass the
// end of its resource counts as missing). Callable from any thread.
bool LoadString(HMODULE module, UINT id, LCID language, std::wstring& text);

// Entry `index` (0 to 15) of a string-table block of `size` bytes: the
// entries are a 16-bit length and that many UTF-16 units each, without
// terminator. Same result and bounds rules as LoadString.
bool StringFromBlock(const BYTE* block, DWORD size, UINT index, std::wstring& text);

// The module that carries the add-in's string tables and version resource:
// the one this library is linked into (the add-in module; a test program in
// unit tests). Null when it cannot be determined.
HMODULE AddinResourceModule();
