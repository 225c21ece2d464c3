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
#include "Quillmere/tracking/TextModeModel_fuzz.h"
#include "platform/win/Crt.h"
#include "platform/win/Environment.h"
#include "platform/win/Text.h"

namespace {

using fuzzmodel::Check;
using fuzzmodel::WriteFile;

constexpr const wchar_t* kKeys = L"C:\\0011.keys.ids";
constexpr const wchar_t* kValues = L"C:\\0011.values.ids";
constexpr std::size_t kMostPieceBytes = changekeys::kStateLineBytes - 1;

// The pairs of the model and whether the files agree.
bool ModelPairs(const std::vector<fuzzmodel::Piece>& keys,
                const std::vector<fuzzmodel::Piece>& values, std::vector<ChangeKeyEntry>& pairs) {
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
        ModelPairs(fuzzmodel::TextModePieces(keysData, keysSize, kMostPieceBytes),
                   fuzzmodel::TextModePieces(valuesData, valuesSize, kMostPieceBytes), expected);
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
