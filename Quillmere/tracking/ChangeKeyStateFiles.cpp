#include "Quillmere/tracking/ChangeKeyStateFiles.h"

#include <cwctype>

#include "Quillmere/core/StateFileWriter.h"
#include "Quillmere/tracking/ExchangeStateFilesFormat.h"
#include "platform/win/Crt.h"
#include "platform/win/Files.h"

namespace changekeys {

bool ReadStateFilePairs(CrtFile* keys, CrtFile* values, std::vector<ChangeKeyEntry>& pairs) {
    pairs.clear();
    // The end-of-file states as taken after the last pair read. A piece ends
    // at end of file only when its line had no line end, so a file whose
    // lines all end sets neither and reading simply stops at the shorter.
    bool keysAtEnd = false;
    bool valuesAtEnd = false;
    ChangeKeyEntry entry;
    while (exchangestate::ReadLinePiece(keys, kStateLineBytes, entry.key) &&
           exchangestate::ReadLinePiece(values, kStateLineBytes, entry.value)) {
        pairs.push_back(entry);
        keysAtEnd = feof(keys) != 0;
        valuesAtEnd = feof(values) != 0;
        if (keysAtEnd && valuesAtEnd)
            break;
    }
    return keysAtEnd == valuesAtEnd;
}

void WriteStateFilePair(CrtFile* keys, CrtFile* values, const ChangeKeyEntry& entry) {
    fputws(entry.key.c_str(), keys);
    fputs("\n", keys);
    fputws(entry.value.c_str(), values);
    fputs("\n", values);
}

bool WriteStateFiles(const std::wstring& keysPath, const std::wstring& valuesPath,
                     const std::vector<ChangeKeyEntry>& entries) {
    // Order matters: the new values file exists before the new keys file,
    // and goes into place only once both are whole; a new keys file alone
    // therefore always completes a pair.
    CStateFileWriter values(valuesPath, L"w");
    if (!values.Stream())
        return false;
    CStateFileWriter keys(keysPath, L"w");
    if (!keys.Stream())
        return false;
    for (const ChangeKeyEntry& entry : entries)
        WriteStateFilePair(keys.Stream(), values.Stream(), entry);
    if (!values.Finish() || !keys.Finish() || !values.Commit())
        return false;
    // From here on the new keys file completes the pair: it stays on disk
    // even when its rename fails, for the next read to finish.
    keys.KeepNewFile();
    return MoveFileExW(CStateFileWriter::NewPath(keysPath).c_str(), keysPath.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
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
