// The change-key list's records: kept apart from the folder check so that
// the state files' readers (and their fuzz target) link without the add-in.
#include "Quillmere/tracking/ChangeKeyList.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::uint32_t kEmptySlot = 0xFFFFFFFFu;
constexpr unsigned char kWideEscape = 0x80;
// Replaced records are dropped when they exceed both the live bytes and this.
constexpr std::size_t kCompactAfterBytes = 64 * 1024;

void AppendLength(std::string& out, std::size_t n) {
    do {
        unsigned char b = n & 0x7F;
        n >>= 7;
        out.push_back(static_cast<char>(n != 0 ? (b | 0x80) : b));
    } while (n != 0);
}

// Reads a length written by AppendLength at *at and moves *at past it.
std::size_t ReadLength(std::string_view bytes, std::size_t* at) {
    std::size_t n = 0;
    for (int shift = 0;; shift += 7) {
        const auto b = static_cast<unsigned char>(bytes[(*at)++]);
        n |= std::size_t{b & 0x7Fu} << shift;
        if ((b & 0x80) == 0)
            return n;
    }
}

int HexDigitValue(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// Sync ids and change keys are binary as upper-case hexadecimal text.
bool IsPackableHex(const std::wstring& text) {
    if (text.empty() || text.size() % 2 != 0)
        return false;
    for (wchar_t c : text) {
        if (HexDigitValue(c) < 0)
            return false;
    }
    return true;
}

// A text as one field: a length whose low bit says how the body is kept,
// then the body. Hexadecimal text (bit set; the length counts characters)
// keeps two digits a byte; any other text (the length counts bytes) keeps a
// character below 0x80 as one byte and any other as the escape byte and its
// four bytes. Each text has exactly one field, so fields compare as texts do.
void AppendField(std::string& out, const std::wstring& text) {
    if (IsPackableHex(text)) {
        AppendLength(out, (text.size() << 1) | 1);
        for (std::size_t i = 0; i < text.size(); i += 2)
            out.push_back(
                static_cast<char>((HexDigitValue(text[i]) << 4) | HexDigitValue(text[i + 1])));
        return;
    }
    std::size_t body = 0;
    for (wchar_t c : text)
        body += static_cast<std::uint32_t>(c) < kWideEscape ? 1 : 5;
    AppendLength(out, body << 1);
    for (wchar_t c : text) {
        const auto code = static_cast<std::uint32_t>(c);
        if (code < kWideEscape) {
            out.push_back(static_cast<char>(code));
            continue;
        }
        out.push_back(static_cast<char>(kWideEscape));
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<char>((code >> shift) & 0xFF));
    }
}

// Bytes of the field at `at`, its length included.
std::size_t FieldSize(std::string_view bytes, std::size_t at) {
    std::size_t body = at;
    const std::size_t n = ReadLength(bytes, &body);
    return body - at + ((n & 1) != 0 ? (n >> 1) / 2 : (n >> 1));
}

// Bytes of the record (key and value field) at `at`.
std::size_t RecordSize(std::string_view bytes, std::size_t at) {
    const std::size_t key = FieldSize(bytes, at);
    return key + FieldSize(bytes, at + key);
}

std::wstring DecodeField(std::string_view field) {
    std::size_t at = 0;
    const std::size_t n = ReadLength(field, &at);
    std::wstring text;
    if ((n & 1) != 0) {
        static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
        text.reserve(n >> 1);
        for (; at < field.size(); ++at) {
            const auto b = static_cast<unsigned char>(field[at]);
            text.push_back(kDigits[b >> 4]);
            text.push_back(kDigits[b & 0x0F]);
        }
        return text;
    }
    text.reserve(n >> 1);
    for (; at < field.size(); ++at) {
        const auto b = static_cast<unsigned char>(field[at]);
        if (b != kWideEscape) {
            text.push_back(static_cast<wchar_t>(b));
            continue;
        }
        std::uint32_t code = 0;
        for (int k = 0; k < 4; ++k)
            code |= std::uint32_t{static_cast<unsigned char>(field[at + 1 + k])} << (8 * k);
        text.push_back(static_cast<wchar_t>(code));
        at += 4;
    }
    return text;
}

std::size_t HashBytes(std::string_view bytes) {
    std::uint64_t h = 1469598103934665603ull;  // FNV-1a
    for (char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h ^ (h >> 29));
}

std::string Encoded(const std::wstring& text) {
    std::string out;
    out.reserve(text.size() + 2);
    AppendField(out, text);
    return out;
}

}  // namespace

void ChangeKeyList::Clear() {
    m_arena.clear();
    m_arena.shrink_to_fit();
    m_records.clear();
    m_records.shrink_to_fit();
    m_slots.clear();
    m_slots.shrink_to_fit();
    m_deadBytes = 0;
}

std::uint32_t ChangeKeyList::AddRecord(std::string_view key, std::string_view value) {
    const std::size_t offset = m_arena.size();
    if (offset + key.size() + value.size() > kEmptySlot)
        throw std::length_error("change-key list beyond 4 GiB");
    m_arena.append(key);
    m_arena.append(value);
    return static_cast<std::uint32_t>(offset);
}

std::string_view ChangeKeyList::KeyBytes(std::size_t index) const {
    const std::size_t at = m_records[index];
    return std::string_view(m_arena).substr(at, FieldSize(m_arena, at));
}

std::string_view ChangeKeyList::ValueBytes(std::size_t index) const {
    const std::size_t at = m_records[index] + FieldSize(m_arena, m_records[index]);
    return std::string_view(m_arena).substr(at, FieldSize(m_arena, at));
}

std::size_t ChangeKeyList::FindEncoded(std::string_view key) const {
    if (m_slots.empty())
        return npos;
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t slot = HashBytes(key) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t entry = m_slots[slot];
        if (entry == kEmptySlot)
            return npos;
        if (KeyBytes(entry) == key)
            return entry;
    }
}

void ChangeKeyList::IndexEntry(std::size_t index) {
    // At most half full, so probes stay short and always end.
    if ((m_records.size()) * 2 > m_slots.size()) {
        std::size_t capacity = m_slots.empty() ? 16 : m_slots.size();
        while (capacity < m_records.size() * 2)
            capacity *= 2;
        if (capacity != m_slots.size()) {
            m_slots.assign(capacity, kEmptySlot);
            for (std::size_t i = 0; i < index; ++i)
                IndexEntry(i);
        }
    }
    const std::string_view key = KeyBytes(index);
    const std::size_t mask = m_slots.size() - 1;
    for (std::size_t slot = HashBytes(key) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t entry = m_slots[slot];
        if (entry == kEmptySlot) {
            m_slots[slot] = static_cast<std::uint32_t>(index);
            return;
        }
        if (KeyBytes(entry) == key)
            return;  // the first entry of the key stays the one found
    }
}

void ChangeKeyList::Reindex() {
    m_slots.clear();
    for (std::size_t i = 0; i < m_records.size(); ++i)
        IndexEntry(i);
}

void ChangeKeyList::CompactIfWasteful() {
    if (m_deadBytes < kCompactAfterBytes || m_deadBytes < m_arena.size() - m_deadBytes)
        return;
    std::string packed;
    packed.reserve(m_arena.size() - m_deadBytes);
    for (std::size_t i = 0; i < m_records.size(); ++i) {
        const std::size_t size = RecordSize(m_arena, m_records[i]);
        const auto moved = static_cast<std::uint32_t>(packed.size());
        packed.append(m_arena, m_records[i], size);
        m_records[i] = moved;
    }
    m_arena = std::move(packed);
    m_deadBytes = 0;
}

void ChangeKeyList::Append(const std::wstring& key, const std::wstring& value) {
    m_records.push_back(AddRecord(Encoded(key), Encoded(value)));
    IndexEntry(m_records.size() - 1);
}

std::size_t ChangeKeyList::Find(const std::wstring& key) const {
    return FindEncoded(Encoded(key));
}

ChangeKeyEntry ChangeKeyList::At(std::size_t index) const {
    return {Key(index), Value(index)};
}

std::wstring ChangeKeyList::Key(std::size_t index) const {
    return DecodeField(KeyBytes(index));
}

std::wstring ChangeKeyList::Value(std::size_t index) const {
    return DecodeField(ValueBytes(index));
}

void ChangeKeyList::SetValue(std::size_t index, const std::wstring& value) {
    const std::string encoded = Encoded(value);
    if (ValueBytes(index) == encoded)
        return;
    const std::string key(KeyBytes(index));
    m_deadBytes += RecordSize(m_arena, m_records[index]);
    m_records[index] = AddRecord(key, encoded);
    CompactIfWasteful();
}

void ChangeKeyList::SetKey(std::size_t index, const std::wstring& key) {
    const std::string value(ValueBytes(index));
    m_deadBytes += RecordSize(m_arena, m_records[index]);
    m_records[index] = AddRecord(Encoded(key), value);
    CompactIfWasteful();
    Reindex();
}

bool ChangeKeyList::RemoveFirst(const std::wstring& key) {
    std::size_t index = Find(key);
    if (index == npos)
        return false;
    RemoveAt(index);
    return true;
}

void ChangeKeyList::RemoveAt(std::size_t index) {
    m_deadBytes += RecordSize(m_arena, m_records[index]);
    m_records.erase(m_records.begin() + static_cast<std::ptrdiff_t>(index));
    CompactIfWasteful();
    Reindex();
}

std::vector<ChangeKeyEntry> ChangeKeyList::Entries() const {
    std::vector<ChangeKeyEntry> entries;
    entries.reserve(m_records.size());
    for (std::size_t i = 0; i < m_records.size(); ++i)
        entries.push_back(At(i));
    return entries;
}
