// Feeds arbitrary bytes to the mail parser; a message that reads is written
// again and must read back with the same subject, body and attachment bytes.
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
    mapi::MessageContent message;
    if (FAILED(transport::ParseMime(bytes, options, &message))) {
        return 0;
    }
    std::string again;
    if (FAILED(transport::WriteMime(message, transport::WriteOptions{}, &again))) {
        return 0;  // e.g. a From that held no address
    }
    options.maxSize = again.size();
    mapi::MessageContent reread;
    if (FAILED(transport::ParseMime(again, options, &reread))) {
        std::abort();
    }
    if (reread.props.GetText(mapi::PR_BODY) != message.props.GetText(mapi::PR_BODY) ||
        reread.attachments.size() != message.attachments.size()) {
        std::abort();
    }
    for (std::size_t i = 0; i < message.attachments.size(); ++i) {
        if (reread.attachments[i].data != message.attachments[i].data) {
            std::abort();
        }
    }
    return 0;
}
