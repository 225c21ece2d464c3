// Fuzz target: the readers of an Exchange folder's state files on arbitrary
// bytes, through real files and the runtime's streams. Properties checked:
//  - ".syncdata.ids": the state text read gives back exactly the file's
//    whole 2-byte units when written again, and reading the file through
//    a stream gives the same text as decoding its bytes;
//  - text files: the pieces read with either line limit are those of a
//    plain model of the runtime's text mode (CR LF read as LF, a Ctrl-Z ends
//    the data) cut by fgets, each without "\n" and within the limit; the
//    fields of a piece hold no ";", and a value only comes with a key;
//  - a key and value read from a piece and written as a line of their own
//    read back as the same key and value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "Quillmere/tracking/ExchangeStateFilesFormat.h"
#include "Quillmere/tracking/TextModeModel_fuzz.h"
#include "platform/win/Crt.h"
#include "platform/win/Environment.h"
#include "platform/win/Text.h"

namespace {

using fuzzmodel::Check;
using fuzzmodel::WriteFile;

constexpr const wchar_t* kFile = L"C:\\state.ids";
constexpr const wchar_t* kLineFile = L"C:\\line.ids";

// The pieces fgets hands out for the bytes of a text-mode file, as the
// readers turn them into wide text.
std::vector<std::wstring> ModelPieces(const std::uint8_t* data, std::size_t size, int limit) {
    std::vector<std::wstring> pieces;
    for (fuzzmodel::Piece& piece :
         fuzzmodel::TextModePieces(data, size, static_cast<std::size_t>(limit - 1)))
        pieces.push_back(std::move(piece.text));
    return pieces;
}

std::vector<std::wstring> ReadPieces(const wchar_t* path, int limit) {
    std::vector<std::wstring> pieces;
    CrtFile* file = _wfopen(path, L"r");
    Check(file != nullptr);
    std::wstring piece;
    while (exchangestate::ReadLinePiece(file, limit, piece))
        pieces.push_back(piece);
    fclose(file);
    return pieces;
}

// Characters that a line of its own keeps as they are.
bool Plain(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c == L'\r' || c == L'\n' || c == 0x1A || c == L';')
            return false;
    }
    return true;
}

// Checks the fields of a piece; with writeBack, also their round trip
// through a line of their own. True when the round trip ran.
bool CheckFields(const std::wstring& piece, int limit, bool writeBack) {
    std::wstring key, value;
    exchangestate::SplitFields(piece, key, value);
    Check(key.find(L';') == std::wstring::npos && value.find(L';') == std::wstring::npos);
    Check(!key.empty() || value.empty());
    if (!writeBack || key.empty() || !Plain(key) || !Plain(value))
        return false;
    std::wstring line = exchangestate::FieldLine(key, value);
    if (line.size() + 1 > static_cast<std::size_t>(limit - 1))
        return false;
    CrtFile* file = _wfopen(kLineFile, L"w");
    Check(file != nullptr);
    fputws(line.c_str(), file);
    fclose(file);
    std::vector<std::wstring> back = ReadPieces(kLineFile, limit);
    Check(back.size() == 1);
    std::wstring key2, value2;
    exchangestate::SplitFields(back[0], key2, value2);
    Check(key2 == key && value2 == value);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool once = [] {
        char dir[] = "/tmp/qm_fuzz_state_XXXXXX";
        Check(mkdtemp(dir) != nullptr);
        std::filesystem::create_directories(std::string(dir) + "/drive_c");
        win::SetUserDirectory(dir);
        return true;
    }();
    (void)once;

    std::wstring state = exchangestate::StateTextFromBytes(data, size);
    std::vector<std::uint8_t> again = exchangestate::StateTextBytes(state);
    Check(again.size() == size - size % 2);
    Check(std::equal(again.begin(), again.end(), data));

    if (!WriteFile(kFile, data, size))
        return 0;
    CrtFile* file = _wfopen(kFile, L"rb");
    Check(file != nullptr);
    std::wstring read;
    std::size_t missing = 0;
    Check(exchangestate::ReadStateText(file, read, missing) ==
          exchangestate::StateReadResult::kRead);
    fclose(file);
    Check(read == state);

    for (int limit : {exchangestate::kCacheLineBytes, exchangestate::kSid2SourceLineBytes}) {
        std::vector<std::wstring> pieces = ReadPieces(kFile, limit);
        Check(pieces == ModelPieces(data, size, limit));
        // One round trip an input keeps the run fast; the fuzzer varies which.
        bool writeBack = true;
        for (const std::wstring& piece : pieces) {
            Check(piece.find(L'\n') == std::wstring::npos);
            Check(piece.size() <= static_cast<std::size_t>(limit - 1));
            if (CheckFields(piece, limit, writeBack))
                writeBack = false;
        }
    }
    return 0;
}
