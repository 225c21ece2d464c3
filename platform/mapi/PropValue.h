// One MAPI property value: its property type and the value in the C++ form
// that type is kept in.
//
//   PT_SHORT, PT_LONG, PT_LONGLONG, PT_CURRENCY (scaled by 10000),
//   PT_SYSTIME (FILETIME as 100-ns ticks since 1601), PT_ERROR (SCODE)
//                                   -> std::int64_t
//   PT_BOOLEAN                      -> bool
//   PT_FLOAT, PT_DOUBLE, PT_APPTIME -> double
//   PT_STRING8                      -> std::string (bytes in the message's code page)
//   PT_UNICODE                      -> std::wstring
//   PT_BINARY                       -> Bytes
//   PT_CLSID                        -> GUID
//   PT_MV_<t>                       -> std::vector of the form of <t>
//   PT_NULL, PT_OBJECT              -> no value (an object is opened, not read)
//
// Value type; not synchronised (one thread at a time, or copies).
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "platform/mapi/PropTags.h"
#include "platform/win/Guid.h"
#include "platform/win/Types.h"

namespace mapi {

using Bytes = std::vector<std::uint8_t>;

class PropValue {
public:
    using Value =
        std::variant<std::monostate, std::int64_t, bool, double, std::string, std::wstring, Bytes,
                     GUID, std::vector<std::int64_t>, std::vector<double>, std::vector<std::string>,
                     std::vector<std::wstring>, std::vector<Bytes>, std::vector<GUID>>;

    // PT_NULL.
    PropValue() = default;

    static PropValue Short(std::int16_t v) { return PropValue(PT_SHORT, std::int64_t{v}); }
    static PropValue Long(std::int32_t v) { return PropValue(PT_LONG, std::int64_t{v}); }
    static PropValue LongLong(std::int64_t v) { return PropValue(PT_LONGLONG, v); }
    static PropValue Currency(std::int64_t scaled) { return PropValue(PT_CURRENCY, scaled); }
    static PropValue SysTime(std::uint64_t fileTime) {
        return PropValue(PT_SYSTIME, static_cast<std::int64_t>(fileTime));
    }
    static PropValue Error(SCODE code) { return PropValue(PT_ERROR, std::int64_t{code}); }
    static PropValue Boolean(bool v) { return PropValue(PT_BOOLEAN, v); }
    static PropValue Float(float v) { return PropValue(PT_FLOAT, double{v}); }
    static PropValue Double(double v) { return PropValue(PT_DOUBLE, v); }
    static PropValue AppTime(double v) { return PropValue(PT_APPTIME, v); }
    static PropValue String8(std::string v) { return PropValue(PT_STRING8, std::move(v)); }
    static PropValue Unicode(std::wstring v) { return PropValue(PT_UNICODE, std::move(v)); }
    static PropValue Binary(Bytes v) { return PropValue(PT_BINARY, std::move(v)); }
    static PropValue Clsid(const GUID& v) { return PropValue(PT_CLSID, v); }
    static PropValue Object() { return PropValue(PT_OBJECT, std::monostate{}); }

    // Multi-valued. `baseType` is the single-valued type (PT_LONG, not PT_MV_LONG);
    // it must fit the element type (integer types for int64, and so on).
    static PropValue MvInteger(ULONG baseType, std::vector<std::int64_t> v) {
        return PropValue(MV_FLAG | baseType, std::move(v));
    }
    static PropValue MvLong(const std::vector<std::int32_t>& v) {
        return MvInteger(PT_LONG, std::vector<std::int64_t>(v.begin(), v.end()));
    }
    static PropValue MvDouble(ULONG baseType, std::vector<double> v) {
        return PropValue(MV_FLAG | baseType, std::move(v));
    }
    static PropValue MvString8(std::vector<std::string> v) {
        return PropValue(PT_MV_STRING8, std::move(v));
    }
    static PropValue MvUnicode(std::vector<std::wstring> v) {
        return PropValue(PT_MV_UNICODE, std::move(v));
    }
    static PropValue MvBinary(std::vector<Bytes> v) {
        return PropValue(PT_MV_BINARY, std::move(v));
    }
    static PropValue MvClsid(std::vector<GUID> v) { return PropValue(PT_MV_CLSID, std::move(v)); }

    // The property type (the low word of a tag).
    ULONG Type() const { return m_type; }
    const Value& Raw() const { return m_value; }

    // Typed views: null when the value is kept in another form.
    const std::int64_t* Integer() const { return std::get_if<std::int64_t>(&m_value); }
    const bool* Bool() const { return std::get_if<bool>(&m_value); }
    const double* Real() const { return std::get_if<double>(&m_value); }
    const std::string* Str8() const { return std::get_if<std::string>(&m_value); }
    const std::wstring* Wide() const { return std::get_if<std::wstring>(&m_value); }
    const Bytes* Bin() const { return std::get_if<Bytes>(&m_value); }
    const GUID* Guid() const { return std::get_if<GUID>(&m_value); }
    const std::vector<std::int64_t>* MvIntegers() const {
        return std::get_if<std::vector<std::int64_t>>(&m_value);
    }
    const std::vector<double>* MvReals() const {
        return std::get_if<std::vector<double>>(&m_value);
    }
    const std::vector<std::string>* MvStr8() const {
        return std::get_if<std::vector<std::string>>(&m_value);
    }
    const std::vector<std::wstring>* MvWide() const {
        return std::get_if<std::vector<std::wstring>>(&m_value);
    }
    const std::vector<Bytes>* MvBin() const { return std::get_if<std::vector<Bytes>>(&m_value); }
    const std::vector<GUID>* MvGuids() const { return std::get_if<std::vector<GUID>>(&m_value); }

    // True when the kept form is the one Type() calls for (always true for
    // values made by the factories above with fitting arguments).
    bool IsWellFormed() const;

    friend bool operator==(const PropValue&, const PropValue&) = default;

private:
    PropValue(ULONG type, Value v) : m_type(type), m_value(std::move(v)) {}

    ULONG m_type = PT_NULL;
    Value m_value;
};

// Which kept form a property type uses: the index into PropValue::Value, or
// -1 for types that are not kept as values (unknown types included).
int ValueIndexForType(ULONG type);

}  // namespace mapi
