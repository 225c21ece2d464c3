// Named properties: a property set GUID with either a numeric id (MNID_ID)
// or a name (MNID_STRING). Stores and message files map each to a property
// id of 0x8000 or above of their own, so a named property must always travel
// with its name and be mapped again on arrival, never by its raw id.
#pragma once

#include <compare>
#include <string>

#include "platform/win/Guid.h"
#include "platform/win/Types.h"

namespace mapi {

constexpr ULONG MNID_ID = 0;
constexpr ULONG MNID_STRING = 1;

namespace detail {
// The sets below share Data2..Data4; only Data1 differs.
constexpr GUID OleGuid(DWORD data1) {
    return GUID{data1, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
}
}  // namespace detail

inline constexpr GUID PS_MAPI = detail::OleGuid(0x00020328);
inline constexpr GUID PS_PUBLIC_STRINGS = detail::OleGuid(0x00020329);
inline constexpr GUID PS_INTERNET_HEADERS = detail::OleGuid(0x00020386);
inline constexpr GUID PSETID_Appointment = detail::OleGuid(0x00062002);
inline constexpr GUID PSETID_Task = detail::OleGuid(0x00062003);
inline constexpr GUID PSETID_Address = detail::OleGuid(0x00062004);
inline constexpr GUID PSETID_Common = detail::OleGuid(0x00062008);
inline constexpr GUID PSETID_Log = detail::OleGuid(0x0006200A);
inline constexpr GUID PSETID_Note = detail::OleGuid(0x0006200E);

// Value type. For MNID_ID only `id` is meaningful and `name` is empty; for
// MNID_STRING only `name` is (id 0). Names compare exactly (case matters),
// as a store maps them.
struct NamedProperty {
    GUID guid{};
    ULONG kind = MNID_ID;
    LONG id = 0;
    std::wstring name;

    static NamedProperty ById(const GUID& set, LONG numericId) {
        return NamedProperty{set, MNID_ID, numericId, {}};
    }
    static NamedProperty ByName(const GUID& set, std::wstring propertyName) {
        return NamedProperty{set, MNID_STRING, 0, std::move(propertyName)};
    }
    bool IsString() const { return kind == MNID_STRING; }

    friend bool operator==(const NamedProperty&, const NamedProperty&) = default;
    friend auto operator<=>(const NamedProperty& a, const NamedProperty& b) {
        if (auto c = a.guid <=> b.guid; c != 0) {
            return c;
        }
        if (auto c = a.kind <=> b.kind; c != 0) {
            return c;
        }
        if (auto c = a.id <=> b.id; c != 0) {
            return c;
        }
        return a.name.compare(b.name) <=> 0;
    }
};

// The categories of an item: "Keywords" in PS_PUBLIC_STRINGS, PT_MV_STRING8.
inline NamedProperty KeywordsProperty() {
    return NamedProperty::ByName(PS_PUBLIC_STRINGS, L"Keywords");
}

}  // namespace mapi
