#include "platform/rdo/MailTransport.h"

#include <mutex>

namespace rdo {
namespace {

std::mutex g_transportLock;
std::shared_ptr<IMailTransport> g_transport;

}  // namespace

void SetMailTransport(std::shared_ptr<IMailTransport> transport) {
    std::lock_guard<std::mutex> lock(g_transportLock);
    g_transport = std::move(transport);
}

std::shared_ptr<IMailTransport> GetMailTransport() {
    std::lock_guard<std::mutex> lock(g_transportLock);
    return g_transport;
}

}  // namespace rdo
