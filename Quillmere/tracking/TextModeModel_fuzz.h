// Shared by the state-file fuzz targets: a plain model of how the runtime's
// text mode and fgets hand a file's bytes to the readers, to check them
// against, and the small steps every such target takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/win/Crt.h"
#include "platform/win/Text.h"

namespace fuzzmodel {

// A failed property ends the run with a finding.
inline void Check(bool condition) {
    if (!condition)
        std::abort();
}

// The bytes as a whole file at path (binary). False when it can't be written.
inline bool WriteFile(const wchar_t* path, const std::uint8_t* data, std::size_t size) {
    CrtFile* file = _wfopen(path, L"wb");
    if (!file)
        return false;
    bool whole = size == 0 || fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && whole;
}

struct Piece {
    std::wstring text;  // without "\n", cut at a NUL, as ANSI text
    bool atEnd;         // fgets met the end of the data while reading it
};

// The pieces fgets hands out, at most mostBytes bytes each, for the bytes of
// a text-mode file: CR LF is read as LF and a Ctrl-Z ends the data.
inline std::vector<Piece> TextModePieces(const std::uint8_t* data, std::size_t size,
                                         std::size_t mostBytes) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0x1A)
            break;
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n')
            continue;
        text.push_back(static_cast<char>(data[i]));
    }
    std::vector<Piece> pieces;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        std::size_t take = end == std::string::npos ? text.size() - at : end - at + 1;
        if (take > mostBytes)
            take = mostBytes;
        std::string raw = text.substr(at, take);
        at += take;
        Piece piece{{}, raw.back() != '\n' && take < mostBytes};
        for (wchar_t c : win::FromAnsi(raw.substr(0, raw.find('\0')))) {
            if (c != L'\n')
                piece.text.push_back(c);
        }
        pieces.push_back(piece);
    }
    return pieces;
}

}  // namespace fuzzmodel
