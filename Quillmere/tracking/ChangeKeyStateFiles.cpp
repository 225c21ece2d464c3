#include "Quillmere/tracking/ChangeKeyStateFiles.h"

#include "Quillmere/tracking/ExchangeStateFilesFormat.h"
#include "platform/win/Crt.h"

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

}  // namespace changekeys
