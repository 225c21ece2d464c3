// Feeds arbitrary bytes to the decoders of the store's property blobs (as a
// damaged database would hand them over); what decodes is encoded again and
// must decode and encode to the same bytes (compared as bytes, since a NaN
// never equals itself as a value).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/store/PropCodec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace store::codec;
    mapi::PropertyBag bag;
    if (DecodeBag(data, size, &bag)) {
        const auto again = EncodeBag(bag);
        mapi::PropertyBag reread;
        if (!DecodeBag(again.data(), again.size(), &reread) || EncodeBag(reread) != again) {
            std::abort();
        }
    }
    DecodeSelected(data, size, {mapi::PR_SUBJECT, mapi::PR_MESSAGE_FLAGS}, &bag);
    std::vector<mapi::PropertyBag> rows;
    DecodeRows(data, size, &rows);
    std::vector<mapi::AttachmentContent> attachments;
    if (DecodeAttachments(data, size, &attachments)) {
        const auto again = EncodeAttachments(attachments);
        std::vector<mapi::AttachmentContent> reread;
        if (!DecodeAttachments(again.data(), again.size(), &reread) ||
            EncodeAttachments(reread) != again) {
            std::abort();
        }
    }
    return 0;
}
