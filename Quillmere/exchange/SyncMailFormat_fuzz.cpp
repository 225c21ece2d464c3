// libFuzzer target: the reader of received sync-mail bodies on arbitrary
// text (the bytes as UTF-16LE, as a mail body arrives). A body the reader
// accepts gives texts that lie inside it; a sync mail built from the texts
// it read is read back with the same share name whenever that name holds no
// marker of its own (nor forms one with the markers around it).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "Quillmere/exchange/SyncMailFormat.h"
#include "platform/win/Text.h"

namespace {

bool HoldsMarker(const std::wstring& text) {
    for (const wchar_t* marker :
         {syncmail::kShareNameOpen, syncmail::kShareNameClose, syncmail::kSyncIdOpen,
          syncmail::kSyncIdClose, syncmail::kSyncMailFlag, syncmail::kDeletionFlag,
          syncmail::kFormMarker})
        if (text.find(marker) != std::wstring::npos)
            return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring body = win::FromUtf16Le(data, size);
    const syncmail::SyncMailMarkers markers = syncmail::ReadSyncMailMarkers(body);
    if (markers.kind == syncmail::SyncMailKind::kNone) {
        if (!markers.shareName.empty() || !markers.syncIdText.empty())
            std::abort();
        return 0;
    }
    if (body.find(markers.shareName) == std::wstring::npos ||
        markers.syncIdText.size() > body.size())
        std::abort();
    // A name that begins with "lf" forms ":lf" with the opening marker in
    // front of it: the partner misreads it, as it would any marker in it.
    if (HoldsMarker(markers.shareName) || HoldsMarker(markers.syncIdText) ||
        markers.shareName.rfind(L"lf", 0) == 0)
        return 0;
    const std::wstring again = syncmail::BuildSyncMailBody(L"intro", false, L"", markers.shareName,
                                                           markers.syncIdText, markers.formFlag);
    const syncmail::SyncMailMarkers reread = syncmail::ReadSyncMailMarkers(again);
    if (reread.kind != syncmail::SyncMailKind::kSyncMail || reread.shareName != markers.shareName ||
        reread.formFlag != markers.formFlag)
        std::abort();
    return 0;
}
