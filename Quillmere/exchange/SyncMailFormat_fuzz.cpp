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

// Whether text, written between its open and close markers, holds a marker
// or forms one with them: a name beginning "lf" makes ":lf" with "lf:", an
// id ending ":form" makes ":form:" with ":id". The partner misreads such a
// text, as it would any marker in it.
bool MisreadBetween(const std::wstring& open, const std::wstring& text, const std::wstring& close) {
    const std::wstring written = open + text + close;
    return HoldsMarker(written.substr(1, written.size() - 2));
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
    if (MisreadBetween(syncmail::kShareNameOpen, markers.shareName, syncmail::kShareNameClose) ||
        MisreadBetween(syncmail::kSyncIdOpen, markers.syncIdText, syncmail::kSyncIdClose))
        return 0;
    const std::wstring again = syncmail::BuildSyncMailBody(L"intro", false, L"", markers.shareName,
                                                           markers.syncIdText, markers.formFlag);
    const syncmail::SyncMailMarkers reread = syncmail::ReadSyncMailMarkers(again);
    if (reread.kind != syncmail::SyncMailKind::kSyncMail || reread.shareName != markers.shareName ||
        reread.formFlag != markers.formFlag)
        std::abort();
    return 0;
}
