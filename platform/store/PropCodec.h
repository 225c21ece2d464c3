// The byte form in which the store keeps property bags, recipient rows,
// attachments and embedded messages in its database (columns of type BLOB).
// Private to the store engine.
//
// All numbers little-endian.
//   bag        := u32 count, count x (u32 tag, value)   ascending tags
//   value by the tag's type:
//     integers (PT_SHORT, PT_LONG, PT_LONGLONG, PT_CURRENCY, PT_SYSTIME,
//               PT_ERROR)          i64
//     PT_BOOLEAN                   u8 (0 / 1)
//     PT_FLOAT, PT_DOUBLE, PT_APPTIME   IEEE double as u64
//     PT_STRING8, PT_BINARY        u32 length, bytes
//     PT_UNICODE                   u32 length, length x u32 code unit
//     PT_CLSID                     16 bytes (GuidToBytes)
//     PT_MV_<t>                    u32 count, count x the value of <t>
//     PT_NULL, PT_OBJECT           nothing
//   rows       := u32 count, count x bag
//   attachments:= u32 count, count x (bag, u32 length, data, u8 embedded,
//                 [content])
//   content    := bag, u32 count, count x (u16 id, named), rows, attachments
//   named      := 16-byte GUID, u32 kind, i32 id, u32 length, length x u32
// Values of other types are not kept (a bag never holds them).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/mapi/MessageContent.h"
#include "platform/mapi/PropertyBag.h"

namespace store::codec {

using mapi::Bytes;

// Embedded messages nest at most this deep (an attachment of the message
// itself is depth 1); deeper ones are refused on save and on decode, so a
// damaged blob cannot drive the decoder's recursion without bound.
constexpr int kMaxEmbeddingDepth = 16;
// The deepest nesting of embedded messages among attachments (0: none).
int EmbeddingDepth(const std::vector<mapi::AttachmentContent>& attachments);

Bytes EncodeBag(const mapi::PropertyBag& bag);
Bytes EncodeRows(const std::vector<mapi::PropertyBag>& rows);
Bytes EncodeAttachments(const std::vector<mapi::AttachmentContent>& attachments);

// False for damaged input (truncated, bad counts, unknown types, trailing
// bytes); the output is then unspecified.
bool DecodeBag(const std::uint8_t* data, std::size_t size, mapi::PropertyBag* out);
bool DecodeRows(const std::uint8_t* data, std::size_t size, std::vector<mapi::PropertyBag>* out);
bool DecodeAttachments(const std::uint8_t* data, std::size_t size,
                       std::vector<mapi::AttachmentContent>* out);

// Decodes only the values of the given ids (PT_UNSPECIFIED matching), for
// table columns; faster than a whole bag. Same failures as DecodeBag.
bool DecodeSelected(const std::uint8_t* data, std::size_t size, const std::vector<ULONG>& tags,
                    mapi::PropertyBag* out);

}  // namespace store::codec
