// The post office: one directory shared by every user of the machine, with
// one Maildir per mail address. Mail between profiles travels only through
// it: the sending side writes a message into each recipient's Maildir, the
// receiving side's Watcher (Watcher.h) files what arrives.
//
// Layout:
//   <root>/<address in lower case>/tmp/         messages being written
//   <root>/<address in lower case>/new/         delivered, not yet filed
//   <root>/<address in lower case>/cur/         filed (kept as a record)
//   <root>/<address in lower case>/quarantine/  could not be read; kept
// A message file is named "<seconds>.M<microseconds>P<pid>Q<count>.<host>"
// (the Maildir rule: real time, process, per-process count, host), so names
// never collide between processes and sort by delivery time.
//
// Delivery is atomic: the file is written whole and synced in tmp/, then
// linked into new/ and unlinked from tmp/, so a reader of new/ never sees a
// partial message. Each copy gets a "Delivered-To:" and a "Received:" field
// (with the delivery time of the platform clock) in front of the message.
//
// The object holds only the root path: copies are cheap and every call is
// thread-safe; concurrent processes are safe by the Maildir rules.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/mapi/MessageContent.h"
#include "platform/transport/MimeHeaders.h"
#include "platform/win/Errors.h"

namespace transport {

// The result of delivering to one address.
struct DeliveryResult {
    std::wstring address;  // as given
    HRESULT hr = S_OK;     // S_OK, or why this address got no copy
    std::string error;     // one line, empty on success
    std::string path;      // the delivered file in new/, empty on failure
};

// The result of Submit.
struct SubmitResult {
    // One entry per distinct envelope address (To, Cc and Bcc together,
    // compared case-insensitively), in the order they first appear.
    std::vector<DeliveryResult> recipients;
    // The Date and Message-ID the copies carry, so that the sender's copy in
    // Sent Items can be stamped alike (UTC FILETIME; "<...>").
    ULONGLONG submitTime = 0;
    std::string messageId;
    // False when the message asks to be deleted after submission
    // (PR_DELETE_AFTER_SUBMIT): the caller then keeps no copy in Sent Items.
    bool keepSentCopy = true;
};

class PostOffice {
public:
    // root: a host directory path; it is created on first delivery.
    explicit PostOffice(std::string root);

    const std::string& Root() const { return m_root; }

    // The Maildir directory of address: root + "/" + the address in lower
    // case. E_INVALIDARG with *error set (error may be null) when the address
    // cannot name a directory safely: empty, longer than 254 characters,
    // without '@' between a local part and a domain, or holding '/', '\\',
    // "..", a leading '.', white space, control characters (NUL among them)
    // or any of <>,;:"()[]. No file system access.
    HRESULT MaildirOf(std::wstring_view address, std::string* dir,
                      std::string* error = nullptr) const;
    // MaildirOf, then creates the Maildir with tmp/, new/, cur/ and
    // quarantine/ (and the root) as needed. S_OK; E_INVALIDARG as above;
    // HRESULT_FROM_WIN32 of the failing system error otherwise.
    HRESULT EnsureMaildir(std::wstring_view address, std::string* dir = nullptr,
                          std::string* error = nullptr) const;

    // Delivers message (the bytes of one Internet mail) to each address in
    // envelope; an address given twice (in any case) gets one copy. Every
    // address gets its own result; the call returns S_OK when all succeeded,
    // MAPI_E_NO_RECIPIENTS for an empty envelope, else the first failure.
    // Unknown addresses get a new Maildir.
    HRESULT Deliver(std::string_view message, const std::vector<std::wstring>& envelope,
                    std::vector<DeliveryResult>* results) const;

    // The sending side's entry point: writes message as Internet mail (see
    // MimeWriter.h) from the account sender, and delivers it to every To, Cc
    // and Bcc address of the message (RecipientsOf). S_OK when every
    // recipient got its copy; MAPI_E_NO_RECIPIENTS when the message has no
    // recipient address; the writer's failure when it cannot be written
    // (nothing delivered then); else the first delivery failure (the other
    // recipients still got theirs; see result->recipients). Filing the
    // sender's copy is the caller's (result->keepSentCopy).
    HRESULT Submit(const mapi::MessageContent& message, const MailAddress& sender,
                   SubmitResult* result) const;

private:
    HRESULT DeliverOne(std::string_view message, std::wstring_view address,
                       DeliveryResult* result) const;

    std::string m_root;
};

// A new Maildir file name (see the layout above). Thread-safe.
std::string NewMaildirName();

}  // namespace transport
