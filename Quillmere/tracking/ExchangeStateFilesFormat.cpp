#include "Quillmere/tracking/ExchangeStateFilesFormat.h"

#include <new>

#include "platform/win/Text.h"

namespace exchangestate {

namespace {

constexpr char32_t kHighFirst = 0xD800;
constexpr char32_t kHighLast = 0xDBFF;
constexpr char32_t kLowFirst = 0xDC00;
constexpr char32_t kLowLast = 0xDFFF;
constexpr std::size_t kUnitBytes = 2;

char32_t UnitAt(const std::uint8_t* data, std::size_t index) {
    const std::uint8_t* at = data + index * kUnitBytes;
    return static_cast<char32_t>(at[0]) | (static_cast<char32_t>(at[1]) << 8);
}

bool IsHigh(char32_t unit) {
    return unit >= kHighFirst && unit <= kHighLast;
}
bool IsLow(char32_t unit) {
    return unit >= kLowFirst && unit <= kLowLast;
}

}  // namespace

std::wstring StateTextFromBytes(const std::uint8_t* data, std::size_t size) {
    const std::size_t units = size / kUnitBytes;
    std::wstring text;
    text.reserve(units);
    for (std::size_t i = 0; i < units; ++i) {
        char32_t unit = UnitAt(data, i);
        if (IsHigh(unit) && i + 1 < units && IsLow(UnitAt(data, i + 1))) {
            char32_t low = UnitAt(data, ++i);
            unit = 0x10000 + ((unit - kHighFirst) << 10) + (low - kLowFirst);
        }
        text.push_back(static_cast<wchar_t>(unit));
    }
    return text;
}

std::vector<std::uint8_t> StateTextBytes(std::wstring_view text) {
    // Surrogate values pass the encoder unchanged, so an unpaired unit read
    // by StateTextFromBytes is written back as it was.
    return win::ToUtf16Le(text);
}

StateReadResult ReadStateText(CrtFile* file, std::wstring& text, std::size_t& missingUnits) {
    if (fseek(file, 0, SEEK_END) != 0)
        return StateReadResult::kNoSize;
    long size = ftell(file);
    if (size < 0 || fseek(file, 0, SEEK_SET) != 0)
        return StateReadResult::kNoSize;
    const std::size_t units = static_cast<std::size_t>(size) / kUnitBytes;
    std::vector<std::uint8_t> bytes;
    try {
        bytes.resize(units * kUnitBytes);
    } catch (const std::bad_alloc&) {
        return StateReadResult::kNoMemory;
    }
    std::size_t read = units ? fread(bytes.data(), kUnitBytes, units, file) : 0;
    if (read < units) {
        missingUnits = units - read;
        return StateReadResult::kShortRead;
    }
    text = StateTextFromBytes(bytes.data(), bytes.size());
    return StateReadResult::kRead;
}

bool ReadLinePiece(CrtFile* file, int limitBytes, std::wstring& piece) {
    std::vector<char> buffer(static_cast<std::size_t>(limitBytes), '\0');
    if (!fgets(buffer.data(), limitBytes, file))
        return false;
    // The piece is a C string: a NUL byte ends it, as it ends the runtime's
    // conversion of the buffer.
    std::wstring text = win::FromAnsi(std::string_view(buffer.data()));
    piece.clear();
    for (wchar_t c : text) {
        if (c != L'\n')
            piece.push_back(c);
    }
    return true;
}

void SplitFields(std::wstring_view line, std::wstring& key, std::wstring& value) {
    key.clear();
    value.clear();
    int taken = 0;
    std::size_t start = 0;
    while (start <= line.size() && taken < 2) {
        std::size_t end = line.find(L';', start);
        if (end == std::wstring_view::npos)
            end = line.size();
        if (end > start) {
            (taken == 0 ? key : value) = std::wstring(line.substr(start, end - start));
            ++taken;
        }
        start = end + 1;
    }
}

std::wstring FieldLine(std::wstring_view key, std::wstring_view value) {
    std::wstring line;
    line.reserve(key.size() + value.size() + 2);
    line.append(key).append(L";").append(value).append(L"\n");
    return line;
}

}  // namespace exchangestate
