// Feeds arbitrary bytes to the message-file reader; a message that reads is
// written again and must read back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/msgfile/MsgFile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    mapi::MessageContent message;
    if (FAILED(msgfile::ReadMsg(data, size, &message))) {
        return 0;
    }
    msgfile::Bytes again;
    if (FAILED(msgfile::WriteMsg(message, &again))) {
        return 0;
    }
    mapi::MessageContent reread;
    if (FAILED(msgfile::ReadMsg(again, &reread))) {
        std::abort();
    }
    return 0;
}
