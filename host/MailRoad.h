// The mail road between profiles, for one host: the process's mail
// transport (QMRSafeMailItem::Send hands each mail to SubmitMail, which
// writes it as Internet mail into the Maildir of every recipient address in
// the post office; the helper library then files the sender's copy in Sent
// Items, or deletes it when delete-after-submit is set), and the filing of
// arriving mail (File, the Watcher's callback): into the Inbox of the
// profile's default store, then moved where the profile's rules say, then
// onFiled runs (the host raises NewMail on its UI thread).
//
// Threading: SubmitMail on the sending thread; File on the polling thread
// (calls are serialised by the watcher and by a lock of this object, which
// owns one store session for them). SetApplication before the first File.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/UserDirectory.h"
#include "platform/rdo/MailTransport.h"
#include "platform/store/Session.h"
#include "platform/transport/PostOffice.h"
#include "platform/transport/Watcher.h"

namespace outlook {
class OutlookApplication;
struct StoreLocation;
}  // namespace outlook

namespace host {

class MailRoad final : public rdo::IMailTransport {
public:
    // onFiled(entry id of the filed mail, folder it ended in) after each
    // filing; log gets one line per event. Both may be empty.
    MailRoad(transport::PostOffice postOffice, HostProfile profile,
             std::function<void(const store::Bytes& mail, const store::Bytes& folder)> onFiled,
             std::function<void(const std::string&)> log);

    // Rules are applied through app (may stay null: no rules). app must
    // outlive the filing (the host stops the watcher first).
    void SetApplication(outlook::OutlookApplication* app);

    // S_OK when at least one recipient got a copy (a non-delivery report
    // naming the others, "Undeliverable: <subject>", is filed into the
    // sender's Inbox); MAPI_E_NO_RECIPIENTS; the writer's failure or that of
    // the delivery when nobody got a copy; E_FAIL when the profile has no
    // account address. A failure leaves the mail submitted in the Outbox.
    HRESULT SubmitMail(const rdo::SubmittedMail& mail) override;

    // Files one arriving message. kFiled; kFailed when the store is busy or
    // cannot be opened (offered again later); kRejected when the content
    // can never be stored.
    transport::FileResult File(const transport::IncomingMessage& message);

    const transport::PostOffice& PostOffice() const { return m_postOffice; }

private:
    void FileNonDeliveryReport(const mapi::MessageContent& mail,
                               const std::vector<const transport::DeliveryResult*>& failed);
    const outlook::StoreLocation* DefaultStore() const;

    const transport::PostOffice m_postOffice;
    const HostProfile m_profile;
    const std::function<void(const store::Bytes&, const store::Bytes&)> m_onFiled;
    const std::function<void(const std::string&)> m_log;

    std::mutex m_lock;
    outlook::OutlookApplication* m_app = nullptr;  // guarded by m_lock
    std::unique_ptr<store::Session> m_session;     // guarded by m_lock
};

}  // namespace host
