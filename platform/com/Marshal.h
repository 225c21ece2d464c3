// The wire form of calls between processes (LocalServer.h): requests,
// answers and the values they carry, written and read field by field in
// little-endian order. Internal to platform/com.
//
// Every request begins with its operation byte; every answer with the
// call's HRESULT (32 bits). Fields:
//   text     32-bit count of characters, then each as 32 bits
//   guid     Data1 (32), Data2 (16), Data3 (16), Data4 (8 bytes)
//   object   64-bit id of an object the serving process exported on this
//            connection; 0 is null
//   variant  16-bit VARTYPE, then by type: nothing (EMPTY, NULL), 8 bits
//            (I1, UI1), 16 (I2, UI2, BOOL), 32 (I4, UI4, INT, UINT, ERROR,
//            R4 as its bits), 64 (I8, UI8, R8 and DATE as their bits), text
//            (BSTR; 0xFFFFFFFF for a null BSTR), object (UNKNOWN, DISPATCH);
//            an ARRAY of one dimension: its lower bound (32), its count (32)
//            and each element as a variant of the element type (VARIANT
//            elements as whole variants)
//
// Requests (the operation, then its fields) and their answers (after the HRESULT):
//   1 GetClassObject  clsid, iid                      -> object
//   2 GetActiveObject clsid                           -> object
//   3 QueryInterface  object, iid                     -> nothing
//   4 GetIDsOfNames   object, count, texts, lcid      -> count, DISPIDs (32 each)
//   5 Invoke          object, DISPID, lcid, flags (16), count, variants
//                     (rgvarg order), named count, named DISPIDs
//                                                     -> variant result, argErr (32),
//                                                        exception scode (32) and text
//   6 CreateInstance  object (a class factory), iid   -> object
//   7 Release         object, count of references     -> nothing
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/com/Dispatch.h"
#include "platform/com/Unknown.h"
#include "platform/com/Variant.h"

namespace com::marshal {

enum class Op : std::uint8_t {
    GetClassObject = 1,
    GetActiveObject = 2,
    QueryInterface = 3,
    GetIDsOfNames = 4,
    Invoke = 5,
    CreateInstance = 6,
    Release = 7,
};

// How a side turns the interface pointers of a variant into object ids and
// back. ToId: the id for an object (false when it can't be sent); FromId:
// a new reference for an id (null for 0; false for an unknown id).
struct ObjectCodec {
    std::function<bool(IUnknown* object, std::uint64_t* id)> toId;
    std::function<bool(std::uint64_t id, IUnknown** object)> fromId;
};

class Writer {
public:
    void U8(std::uint8_t v) { m_bytes.push_back(static_cast<char>(v)); }
    void U16(std::uint16_t v);
    void U32(std::uint32_t v);
    void U64(std::uint64_t v);
    void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
    void Guid(const GUID& g);
    void Text(std::wstring_view text);
    void NullableText(const wchar_t* text, std::size_t length);
    // DISP_E_BADVARTYPE for a type the wire does not carry; the codec's
    // refusal of an object as E_NOTIMPL.
    HRESULT Variant(const VARIANT& v, const ObjectCodec& codec);
    const std::string& Bytes() const { return m_bytes; }

private:
    std::string m_bytes;
};

// Reads what a Writer wrote; any read past the end or of a malformed field
// makes Ok() false for good, and the reads after it give zeros.
class Reader {
public:
    explicit Reader(const std::string& bytes) : m_bytes(bytes) {}
    std::uint8_t U8();
    std::uint16_t U16();
    std::uint32_t U32();
    std::uint64_t U64();
    std::int32_t I32() { return static_cast<std::int32_t>(U32()); }
    GUID Guid();
    std::wstring Text();
    // Into an empty variant the caller owns (cleared again on failure).
    bool Variant(VARIANT* out, const ObjectCodec& codec);
    bool Ok() const { return m_ok; }
    bool AtEnd() const { return m_pos == m_bytes.size(); }

private:
    bool Take(std::size_t n);
    bool VariantOfType(VARTYPE vt, VARIANT* out, const ObjectCodec& codec, int depth);
    const std::string& m_bytes;
    std::size_t m_pos = 0;
    bool m_ok = true;
};

}  // namespace com::marshal
