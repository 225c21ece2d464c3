// Fuzz target: the reader of an ordinary folder's change-key state files on
// arbitrary bytes, through real files and the runtime's streams.
// Input: the keys file's length as 2 little-endian bytes (cut to what
// follows), the keys file's bytes, then the values file's bytes.
// Properties checked:
//  - the pairs read, and whether the files agree, are those of a plain model
//    of the runtime's text mode (CR LF read as LF, a Ctrl-Z ends the data)
//    cut by fgets, where a piece ends at end of file when it is shorter than
//    the limit and has no line end; each key and value is without "\n" and
//    within the limit;
//  - pairs read that fit a line of their own, written again, read back as
//    the same pairs with the files agreeing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "Quillmere/tracking/ChangeKeyStateFiles.h"
#include "platform/win/Crt.h"
#include "platform/win/Environment.h"
#include "platform/win/Text.h"

namespace {

constexpr const wchar_t* kKeys = L"C:\\0011.keys.ids";
constexpr const wchar_t* kValues = L"C:\\0011.values.ids";
constexpr std::size_t kMostPieceBytes = changekeys::kStateLineBytes - 1;

void Check(bool condition) {
    if (!condition)
        std::abort();
}

bool WriteFile(const wchar_t* path, const std::uint8_t* data, std::size_t size) {
    CrtFile* file = _wfopen(path, L"wb");
    if (!file)
        return false;
    bool whole = size == 0 || fwrite(data, 1, size, file) == size;
    return fclose(file) == 0 && whole;
}

struct ModelPiece {
    std::wstring text;
    bool atEnd;  // fgets met the end of the data while reading it
};

// The pieces fgets hands out for the bytes of a text-mode file.
std::vector<ModelPiece> ModelPieces(const std::uint8_t* data, std::size_t size) {
    std::string text;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0x1A)
            break;
        if (data[i] == '\r' && i + 1 < size && data[i + 1] == '\n')
            continue;
        text.push_back(static_cast<char>(data[i]));
    }
    std::vector<ModelPiece> pieces;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        std::size_t take = end == std::string::npos ? text.size() - at : end - at + 1;
        if (take > kMostPieceBytes)
            take = kMostPieceBytes;
        std::string raw = text.substr(at, take);
        at += take;
        ModelPiece piece{{}, raw.back() != '\n' && take < kMostPieceBytes};
        for (wchar_t c : win::FromAnsi(raw.substr(0, raw.find('\0')))) {
            if (c != L'\n')
                piece.text.push_back(c);
        }
        pieces.push_back(piece);
    }
    return pieces;
}

// The pairs of the model and whether the files agree.
bool ModelPairs(const std::vector<ModelPiece>& keys, const std::vector<ModelPiece>& values,
                std::vector<ChangeKeyEntry>& pairs) {
    bool keysAtEnd = false;
    bool valuesAtEnd = false;
    for (std::size_t i = 0; i < keys.size() && i < values.size(); ++i) {
        pairs.push_back({keys[i].text, values[i].text});
        keysAtEnd = keys[i].atEnd;
        valuesAtEnd = values[i].atEnd;
        if (keysAtEnd && valuesAtEnd)
            break;
    }
    return keysAtEnd == valuesAtEnd;
}

bool ReadPairs(std::vector<ChangeKeyEntry>& pairs) {
    CrtFile* keys = _wfopen(kKeys, L"r");
    CrtFile* values = _wfopen(kValues, L"r");
    Check(keys != nullptr && values != nullptr);
    bool agree = changekeys::ReadStateFilePairs(keys, values, pairs);
    fclose(keys);
    fclose(values);
    return agree;
}

// A text that a line of its own gives back unchanged: no Ctrl-Z (which
// would end the data), room for the line end within the limit.
bool FitsALine(const std::wstring& text) {
    return text.size() < kMostPieceBytes && text.find(wchar_t{0x1A}) == std::wstring::npos;
}

void CheckRoundTrip(const std::vector<ChangeKeyEntry>& pairs) {
    for (const ChangeKeyEntry& pair : pairs) {
        if (!FitsALine(pair.key) || !FitsALine(pair.value))
            return;
    }
    CrtFile* keys = _wfopen(kKeys, L"w");
    CrtFile* values = _wfopen(kValues, L"w");
    Check(keys != nullptr && values != nullptr);
    for (const ChangeKeyEntry& pair : pairs)
        changekeys::WriteStateFilePair(keys, values, pair);
    fclose(keys);
    fclose(values);
    std::vector<ChangeKeyEntry> back;
    Check(ReadPairs(back));
    Check(back == pairs);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static bool once = [] {
        char dir[] = "/tmp/qm_fuzz_change_keys_XXXXXX";
        Check(mkdtemp(dir) != nullptr);
        std::filesystem::create_directories(std::string(dir) + "/drive_c");
        win::SetUserDirectory(dir);
        return true;
    }();
    (void)once;

    if (size < 2)
        return 0;
    std::size_t keysSize = static_cast<std::size_t>(data[0]) | (std::size_t{data[1]} << 8);
    if (keysSize > size - 2)
        keysSize = size - 2;
    const std::uint8_t* keysData = data + 2;
    const std::uint8_t* valuesData = keysData + keysSize;
    const std::size_t valuesSize = size - 2 - keysSize;
    if (!WriteFile(kKeys, keysData, keysSize) || !WriteFile(kValues, valuesData, valuesSize))
        return 0;

    std::vector<ChangeKeyEntry> pairs;
    const bool agree = ReadPairs(pairs);
    std::vector<ChangeKeyEntry> expected;
    const bool expectedAgree =
        ModelPairs(ModelPieces(keysData, keysSize), ModelPieces(valuesData, valuesSize), expected);
    Check(pairs == expected);
    Check(agree == expectedAgree);
    for (const ChangeKeyEntry& pair : pairs) {
        Check(pair.key.find(L'\n') == std::wstring::npos);
        Check(pair.value.find(L'\n') == std::wstring::npos);
        Check(pair.key.size() <= kMostPieceBytes && pair.value.size() <= kMostPieceBytes);
    }
    CheckRoundTrip(pairs);
    return 0;
}
