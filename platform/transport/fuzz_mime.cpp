// Feeds arbitrary bytes to the mail parser. A message that reads is written
// again and must read back with the same body and the same bytes in its
// file attachments (writing may add nesting, so a rewrite that passes the
// nesting or part limits is allowed to be refused as too complex).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/transport/MimeParser.h"
#include "platform/transport/MimeWriter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    transport::ParseOptions options;
    options.maxSize = 1u << 20;
    options.deliveryTime = 0;
    mapi::MessageContent message;
    if (FAILED(transport::ParseMime(bytes, options, &message))) {
        return 0;
    }
    std::string again;
    if (FAILED(transport::WriteMime(message, transport::WriteOptions{}, &again))) {
        return 0;  // a From without an address
    }
    options.maxSize = again.size();
    mapi::MessageContent reread;
    HRESULT hr = transport::ParseMime(again, options, &reread);
    if (hr == MAPI_E_TOO_COMPLEX) {
        return 0;
    }
    if (FAILED(hr) || reread.props.GetText(mapi::PR_BODY) != message.props.GetText(mapi::PR_BODY) ||
        reread.props.GetText(mapi::PR_SUBJECT) != message.props.GetText(mapi::PR_SUBJECT) ||
        reread.attachments.size() != message.attachments.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < message.attachments.size(); ++i) {
        const mapi::AttachmentContent& a = message.attachments[i];
        const mapi::AttachmentContent& b = reread.attachments[i];
        if (!a.embedded && !b.embedded && a.data != b.data) {
            std::abort();
        }
    }
    return 0;
}
