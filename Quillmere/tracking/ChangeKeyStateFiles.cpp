#include "Quillmere/tracking/ChangeKeyStateFiles.h"

#include <cwctype>

#include "Quillmere/core/StateFileWriter.h"
#include "Quillmere/tracking/ExchangeStateFilesFormat.h"
#include "platform/win/Crt.h"
#include "platform/win/Files.h"

namespace changekeys {

namespace {

// Reads pairs as ReadStateFilePairs says, handing each to add(key, value).
template <class Add>
bool ReadPairs(CrtFile* keys, CrtFile* values, Add add) {
    // The end-of-file states as taken after the last pair read. A piece ends
    // at end of file only when its line had no line end, so a file whose
    // lines all end sets neither and reading simply stops at the shorter.
    bool keysAtEnd = false;
    bool valuesAtEnd = false;
    ChangeKeyEntry entry;
    while (exchangestate::ReadLinePiece(keys, kStateLineBytes, entry.key) &&
           exchangestate::ReadLinePiece(values, kStateLineBytes, entry.value)) {
        add(entry);
        keysAtEnd = feof(keys) != 0;
        valuesAtEnd = feof(values) != 0;
        if (keysAtEnd && valuesAtEnd)
            break;
    }
    return keysAtEnd == valuesAtEnd;
}

template <class Each>
bool WriteFiles(const std::wstring& keysPath, const std::wstring& valuesPath, Each each) {
    // Order matters: the new values file exists before the new keys file,
    // and goes into place only once both are whole; a new keys file alone
    // therefore always completes a pair.
    CStateFileWriter values(valuesPath, L"w");
    if (!values.Stream())
        return false;
    CStateFileWriter keys(keysPath, L"w");
    if (!keys.Stream())
        return false;
    each(keys.Stream(), values.Stream());
    if (!values.Finish() || !keys.Finish() || !values.Commit())
        return false;
    // From here on the new keys file completes the pair: it stays on disk
    // even when its rename fails, for the next read to finish.
    keys.KeepNewFile();
    return MoveFileExW(CStateFileWriter::NewPath(keysPath).c_str(), keysPath.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
}

}  // namespace

bool ReadStateFilePairs(CrtFile* keys, CrtFile* values, std::vector<ChangeKeyEntry>& pairs) {
    pairs.clear();
    return ReadPairs(keys, values, [&](const ChangeKeyEntry& entry) { pairs.push_back(entry); });
}

bool ReadStateFilePairs(CrtFile* keys, CrtFile* values, ChangeKeyList& pairs) {
    pairs.Clear();
    return ReadPairs(keys, values,
                     [&](const ChangeKeyEntry& entry) { pairs.Append(entry.key, entry.value); });
}

void WriteStateFilePair(CrtFile* keys, CrtFile* values, const ChangeKeyEntry& entry) {
    fputws(entry.key.c_str(), keys);
    fputs("\n", keys);
    fputws(entry.value.c_str(), values);
    fputs("\n", values);
}

bool WriteStateFiles(const std::wstring& keysPath, const std::wstring& valuesPath,
                     const std::vector<ChangeKeyEntry>& entries) {
    return WriteFiles(keysPath, valuesPath, [&](CrtFile* keys, CrtFile* values) {
        for (const ChangeKeyEntry& entry : entries)
            WriteStateFilePair(keys, values, entry);
    });
}

bool WriteStateFiles(const std::wstring& keysPath, const std::wstring& valuesPath,
                     const ChangeKeyList& entries) {
    return WriteFiles(keysPath, valuesPath, [&](CrtFile* keys, CrtFile* values) {
        for (std::size_t i = 0; i < entries.Size(); ++i)
            WriteStateFilePair(keys, values, entries.At(i));
    });
}

bool RecoverInterruptedWrite(const std::wstring& keysPath, const std::wstring& valuesPath) {
    const std::wstring newKeys = CStateFileWriter::NewPath(keysPath);
    const std::wstring newValues = CStateFileWriter::NewPath(valuesPath);
    const bool keysLeft = GetFileAttributesW(newKeys.c_str()) != INVALID_FILE_ATTRIBUTES;
    const bool valuesLeft = GetFileAttributesW(newValues.c_str()) != INVALID_FILE_ATTRIBUTES;
    if (keysLeft && !valuesLeft) {
        MoveFileExW(newKeys.c_str(), keysPath.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        return true;
    }
    // Cut before its first rename: the old pair is whole.
    if (keysLeft)
        DeleteFileW(newKeys.c_str());
    if (valuesLeft)
        DeleteFileW(newValues.c_str());
    return keysLeft || valuesLeft;
}

namespace {

bool AllOf(const std::wstring& text, int (*test)(wint_t)) {
    for (wchar_t c : text)
        if (!test(static_cast<wint_t>(c)))
            return false;
    return true;
}

int IsHexDigit(wint_t c) {
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

int IsDecimalDigit(wint_t c) {
    return c >= L'0' && c <= L'9';
}

}  // namespace

bool IsSyncIdText(const std::wstring& key) {
    return key.size() >= 2 && AllOf(key, IsHexDigit);
}

bool IsAbsorbingMarker(const std::wstring& value) {
    return value == kMarkerChanged || value == kMarkerNewItem || value == kMarkerReminder ||
           value == kMarkerDetect;
}

bool IsStateValue(const std::wstring& value) {
    if (value.size() > kTimeStampLength)
        return AllOf(value, IsHexDigit);
    if (value.size() == kTimeStampLength)
        return AllOf(value, IsDecimalDigit);
    return IsAbsorbingMarker(value) || value == kMarkerHotmail;
}

}  // namespace changekeys
