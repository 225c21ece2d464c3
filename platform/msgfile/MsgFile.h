// Outlook message files (.msg): a message's properties, recipients,
// attachments and embedded messages in a compound file.
//
// Writing produces Unicode message files: the top level's
// PR_STORE_SUPPORT_MASK carries STORE_UNICODE_OK, texts are kept in the
// value types the content holds (PT_UNICODE as UTF-16LE, PT_STRING8 bytes
// as given, which are in the message's code page, PR_MESSAGE_CODEPAGE or
// PR_INTERNET_CPID). Named properties are renumbered for the file: each
// distinct (property set, name or id) of the message and all its embedded
// messages gets one file id from 0x8000 up, in the named-property mapping
// storage.
//
// Reading gives the ids of the file together with what each one names
// (MessageContent::named per message level, holding only the names that
// level uses), so that the caller maps named properties by name into its
// store. A property id >= 0x8000 that the file does not name is dropped:
// it means nothing outside the store that wrote it.
//
// Free functions; no shared state, callable from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/mapi/MessageContent.h"
#include "platform/msgfile/CompoundFile.h"
#include "platform/win/Errors.h"

namespace msgfile {

// Class id of a message file's root storage.
inline constexpr GUID kMsgFileClsid{
    0x00020D0B, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Most recipients and most attachments one message of a file may hold.
constexpr std::size_t kMaxRecipients = 2048;
constexpr std::size_t kMaxAttachments = 2048;
// Largest message file ReadMsgFile loads.
constexpr std::uint64_t kMaxMsgFileSize = std::uint64_t{1} << 30;

// Writes message to *out (cleared first). S_OK;
// MAPI_E_INVALID_PARAMETER for a value whose kept form does not fit its type,
// an id >= 0x8000 that message.named (or an embedded message's) does not
// name, or a property of a type a message file cannot hold;
// MAPI_E_TOO_BIG for more than kMaxRecipients recipients or kMaxAttachments
// attachments in one message, more than 0x7FFF distinct names, or embedding
// nested too deep.
HRESULT WriteMsg(const mapi::MessageContent& message, Bytes* out);

// Reads a message file. S_OK; MAPI_E_CORRUPT_DATA when data is no compound
// file, is damaged (see ReadCompoundFile), or a message, recipient or
// attachment storage lacks its property stream; E_INVALIDARG for a null
// message. *message is cleared first and left empty on failure.
HRESULT ReadMsg(const std::uint8_t* data, std::size_t size, mapi::MessageContent* message);
inline HRESULT ReadMsg(const Bytes& data, mapi::MessageContent* message) {
    return ReadMsg(data.data(), data.size(), message);
}

// The same through a host file path. WriteMsgFile replaces the file whole
// (written beside it and renamed into place) and fails with
// MAPI_E_DISK_ERROR when it cannot; ReadMsgFile fails with MAPI_E_NOT_FOUND
// for a missing file, MAPI_E_NO_ACCESS for one it may not open,
// MAPI_E_TOO_BIG above kMaxMsgFileSize, MAPI_E_DISK_ERROR for a failed read.
HRESULT WriteMsgFile(const std::string& hostPath, const mapi::MessageContent& message);
HRESULT ReadMsgFile(const std::string& hostPath, mapi::MessageContent* message);

// The code page of a message's 8-bit texts: PR_MESSAGE_CODEPAGE, else
// PR_INTERNET_CPID, else 1252.
UINT MessageCodePage(const mapi::MessageContent& message);

// The text of property id in bag whatever its width: PT_UNICODE as it is,
// PT_STRING8 decoded from codePage (as 1252 when the platform has no
// conversion for it). nullopt when the id is absent or holds no text.
std::optional<std::wstring> GetAnyText(const mapi::PropertyBag& bag, ULONG id, UINT codePage);

// The CRC-32 that names a string property's mapping stream in the named
// property storage (over the name's UTF-16LE bytes).
std::uint32_t NameCrc32(const std::uint8_t* data, std::size_t size);

}  // namespace msgfile
