// Conversions at the helper library's COM boundary: property values to and
// from VARIANTs, binary values to and from their hex text, property names
// (tags and DASL names) to tags, and the time forms (FILETIME, UTC and local
// DATE).
//
// Free functions; no shared state, callable from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/com/Variant.h"
#include "platform/mapi/NamedProperty.h"
#include "platform/mapi/PropValue.h"
#include "platform/mapi/PropertyBag.h"

namespace rdo {

// Upper-case hex, two digits per byte.
std::wstring HexFromBytes(const mapi::Bytes& bytes);
// Either case; nullopt for an odd length or a non-hex character.
std::optional<mapi::Bytes> BytesFromHex(std::wstring_view text);
// The bytes of an id text; E_INVALIDARG-style nullopt as BytesFromHex. A null
// BSTR is the empty id.
std::optional<mapi::Bytes> BytesFromIdText(BSTR text);

// A text property by the tag's id in either string form: PT_UNICODE as it
// is, PT_STRING8 (message files of the 8-bit kind keep their texts so) in
// the ANSI code page, as the library hands 8-bit texts out everywhere.
// nullopt when absent or of another type.
std::optional<std::wstring> TextOf(const mapi::PropertyBag& bag, ULONG tag);

// FILETIME (100-ns units since 1601, UTC) <-> OLE DATE on the same clock.
DATE DateFromFileTime(ULONGLONG fileTime);
ULONGLONG FileTimeFromDate(DATE date);
// Local <-> UTC through the platform clock's zone.
DATE UtcDateToLocal(DATE utc);
DATE LocalDateToUtc(DATE local);

// The VARIANT form of a property value (see QuillmereRDO.h): S_OK, or
// MAPI_E_INVALID_TYPE for PT_OBJECT / PT_NULL / kinds without a form.
// PT_ERROR gives VT_ERROR with the code.
HRESULT VariantFromProp(const mapi::PropValue& value, VARIANT* out);
// A property value of the tag's type from a VARIANT (PT_UNSPECIFIED: the
// type the VARIANT suggests). MAPI_E_INVALID_TYPE when it does not fit.
HRESULT PropFromVariant(ULONG tag, const VARIANT& value, mapi::PropValue* out);

// What a field name stands for: a tag, or a named property plus a type.
struct FieldName {
    ULONG tag = 0;  // for named ones: PROP_TAG(type, 0)
    std::optional<mapi::NamedProperty> named;
};
// A VT_I4 / VT_UI4 / VT_I2 tag, or a VT_BSTR name: a tag in hex
// ("0x0037001F"), "http://schemas.microsoft.com/mapi/proptag/0x...",
// ".../mapi/id/{GUID}/0xHHHHTTTT" (or "/0xHHHH", type unspecified),
// ".../mapi/string/{GUID}/name" (type unspecified),
// "urn:schemas:httpmail:subject", "urn:schemas:httpmail:textdescription".
std::optional<FieldName> ParseFieldName(const VARIANT& name);

}  // namespace rdo
