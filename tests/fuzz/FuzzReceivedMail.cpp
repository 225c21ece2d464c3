// libFuzzer target: what the receiving side reads of a partner's mail, on
// arbitrary text (the bytes as UTF-16LE, as a mail body arrives):
// - the import's body reader (ReadMailUserProperty) must agree with the
//   sync-mail format's own reader on every body both accept, and hand out
//   only text taken from the body;
// - the share-name reader of the import (ShareNameFromBody) gives a part of
//   the body without a closing marker in it;
// - the same text taken as a recipients text names exactly one packet
//   directory inside its profile directory and reads back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Quillmere/exchange/PacketMails.h"
#include "Quillmere/exchange/ProcessSyncItems.h"
#include "Quillmere/exchange/SyncMailFormat.h"
#include "Quillmere/tracking/ItemLookup.h"
#include "platform/win/Text.h"

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

void CheckBodyReader(const std::wstring& body) {
    bool remove = true;
    std::wstring syncId = L"stale";
    const MailUserProperty read = ReadMailUserProperty(body, remove, syncId);
    const syncmail::SyncMailMarkers markers = syncmail::ReadSyncMailMarkers(body);
    const bool isSyncMail = body.find(syncmail::kSyncMailFlag) != std::wstring::npos;
    const bool isNotice = body.find(syncmail::kDeletionFlag) != std::wstring::npos;
    if (read == MailUserProperty::kNone) {
        Check(!isSyncMail && !isNotice && !remove && syncId.empty());
        Check(markers.kind == syncmail::SyncMailKind::kNone);
        return;
    }
    Check(remove == !isSyncMail);
    Check(syncId.size() <= body.size());
    if (read == MailUserProperty::kIncomplete) {
        Check(markers.kind == syncmail::SyncMailKind::kNone);
        return;
    }
    Check(markers.kind ==
          (remove ? syncmail::SyncMailKind::kDeletionNotice : syncmail::SyncMailKind::kSyncMail));
    Check(markers.syncIdText == syncId);
}

void CheckShareName(const std::wstring& body) {
    const std::wstring share = ShareNameFromBody(body);
    Check(body.find(share) != std::wstring::npos);
    Check(share.find(syncmail::kShareNameClose) == std::wstring::npos);
}

void CheckPacketDirectoryName(const std::wstring& recipients) {
    const std::wstring name = PacketDirectoryName(recipients);
    for (wchar_t c : name)
        Check(c >= 0x20 && std::wstring(L"\\/:*?\"<>|").find(c) == std::wstring::npos);
    Check(name != L"." && name != L"..");
    Check(name.empty() || (name.back() != L'.' && name.back() != L' '));
    Check(RecipientsFromPacketDirectoryName(name) == recipients);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring text = win::FromUtf16Le(data, size);
    CheckBodyReader(text);
    CheckShareName(text);
    CheckPacketDirectoryName(text);
    return 0;
}
