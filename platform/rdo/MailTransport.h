// Where submitted mail goes: QMRSafeMailItem::Send hands each mail, once, to
// the process's mail transport (the host installs one that delivers between
// profiles; tests install a recording one). Without a transport a sent mail
// stays submitted in its Outbox.
//
// Threading: SubmitMail is called on the sending thread (the owner thread of
// the safe item), under no lock of this library; it must not call back into
// the helper objects of that send. SetMailTransport / GetMailTransport from
// any thread.
#pragma once

#include <memory>
#include <string>

#include "platform/mapi/MessageContent.h"
#include "platform/win/Errors.h"

namespace rdo {

struct SubmittedMail {
    std::wstring profileName;
    // The sending store and the mail's entry id in it.
    mapi::Bytes storeEntryId;
    mapi::Bytes entryId;
    // The whole mail (named properties with their names), recipients resolved.
    mapi::MessageContent content;
};

class IMailTransport {
public:
    virtual ~IMailTransport() = default;
    // S_OK once the transport has taken the mail; after a failure the mail
    // is left unsubmitted in the Outbox (the safe item's Send returns it).
    virtual HRESULT SubmitMail(const SubmittedMail& mail) = 0;
};

// Replaces the process's transport (null removes it).
void SetMailTransport(std::shared_ptr<IMailTransport> transport);
std::shared_ptr<IMailTransport> GetMailTransport();

}  // namespace rdo
