// The text format of registry files as regedit imports and exports them
// ("Windows Registry Editor Version 5.00").
//
// Reading accepts what regedit accepts of the forms below; writing produces
// exactly what regedit's export produces for the same data:
//   - UTF-16LE with a byte order mark, lines ended by CR LF; on read also
//     UTF-8 (with or without a BOM) and lone LF line ends;
//   - the header line, a blank line, then one section per key: the full path
//     in brackets ("[HKEY_CURRENT_USER\Software\X]"), its values, a blank line;
//   - "name"="text" (REG_SZ, with \\ and \" as the only escapes), @ for the
//     default value, dword:0000001f, hex:01,02 (REG_BINARY), hex(N): for every
//     other type (2 = REG_EXPAND_SZ, 7 = REG_MULTI_SZ, b = REG_QWORD, 0 =
//     REG_NONE), whose bytes are the value's stored bytes (UTF-16LE for the
//     string types, as the platform stores them);
//   - hex data wrapped as regedit wraps it: after the comma that takes a line
//     past 76 characters comes "\" and the next line starts with two blanks;
//     on read any line of hex data ending in "\" continues on the next line;
//   - on read only: "[-path]" removes a key and its subtree, "name"=- removes
//     a value, lines starting with ";" are comments, "REGEDIT4" is accepted as
//     a header (its data taken as bytes, no code page conversion).
// A REG_SZ whose bytes can't be written as a quoted text that reads back to
// the same bytes (no terminating NUL, an inner NUL, a line break, an odd
// length) is written as hex(1): so that every value survives a round trip.
//
// Text inside this module is UTF-16 code units (std::u16string): the file's
// own units, so nothing is lost between file and hive. Pure functions, no I/O;
// thread-safe.
#pragma once

#include <string>
#include <vector>

#include "platform/win/Types.h"

namespace win::regfile {

struct Entry {
    std::u16string name;  // empty = the default value ("@")
    bool remove = false;  // "name"=-
    DWORD type = 0;
    std::vector<BYTE> data;  // the value's stored bytes
    int line = 0;            // 1-based line of the entry, for diagnostics
};

struct Section {
    std::u16string path;  // full path including the root name, no brackets
    bool remove = false;  // "[-path]"
    std::vector<Entry> entries;
    int line = 0;
};

struct ParseError {
    int line = 0;  // 1-based; 0 = the file as a whole (encoding)
    std::string message;
};

// Parses a whole file. Returns false and fills error at the first defect; the
// sections parsed so far are then incomplete and must not be applied.
bool Parse(const std::vector<BYTE>& bytes, std::vector<Section>& sections, ParseError& error);

// Writes sections (in the order given; remove flags are ignored) as regedit's
// export does: BOM, header, one block per section. Returns the file bytes.
std::vector<BYTE> Write(const std::vector<Section>& sections);

// The single value line of an entry, without the line end, continuation
// breaks included ("\\\r\n  "). Exposed for tests.
std::u16string FormatEntry(const Entry& entry);

// Name conversions between the platform's wide text and UTF-16 (surrogate
// pairs for characters above U+FFFF; unpaired surrogates kept as they are).
std::u16string ToU16(const std::wstring& text);
std::wstring FromU16(const std::u16string& text);

}  // namespace win::regfile
