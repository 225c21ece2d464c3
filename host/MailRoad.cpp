#include "host/MailRoad.h"

#include "platform/mapi/PropTags.h"
#include "platform/outlook/OutlookApplication.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/transport/MimeWriter.h"
#include "platform/win/Clock.h"
#include "platform/win/Text.h"

namespace host {

namespace {

std::string SubjectOf(const mapi::MessageContent& content) {
    return win::ToUtf8(transport::PropText(content.props, mapi::PR_SUBJECT).value_or(L""));
}

}  // namespace

MailRoad::MailRoad(
    transport::PostOffice postOffice, HostProfile profile,
    std::function<void(const store::Bytes& mail, const store::Bytes& folder)> onFiled,
    std::function<void(const std::string&)> log)
    : m_postOffice(std::move(postOffice)),
      m_profile(std::move(profile)),
      m_onFiled(std::move(onFiled)),
      m_log(std::move(log)) {}

void MailRoad::SetApplication(outlook::OutlookApplication* app) {
    std::lock_guard lock(m_lock);
    m_app = app;
}

HRESULT MailRoad::SubmitMail(const rdo::SubmittedMail& mail) {
    if (m_profile.description.accounts.empty() ||
        m_profile.description.accounts.front().address.empty())
        return E_FAIL;
    const store::ProfileAccount& account = m_profile.description.accounts.front();
    transport::MailAddress sender{account.name == account.address ? std::wstring() : account.name,
                                  account.address};
    transport::SubmitResult result;
    HRESULT hr = m_postOffice.Submit(mail.content, sender, &result);
    // Some recipients got their copy: the mail has left and must not stay
    // in the Outbox (sending it again would give them a second copy); the
    // sender learns of the others from a non-delivery report.
    std::vector<const transport::DeliveryResult*> failed;
    bool delivered = false;
    for (const auto& r : result.recipients) {
        if (SUCCEEDED(r.hr))
            delivered = true;
        else
            failed.push_back(&r);
    }
    if (FAILED(hr) && delivered) {
        FileNonDeliveryReport(mail.content, failed);
        hr = S_OK;
    }
    if (m_log) {
        std::string to;
        for (const auto& r : result.recipients)
            to += (to.empty() ? "" : ", ") + win::ToUtf8(r.address) +
                  (SUCCEEDED(r.hr) ? "" : " (" + r.error + ")");
        m_log("sent \"" + SubjectOf(mail.content) + "\" to " + to +
              (SUCCEEDED(hr) ? "" : " failed"));
    }
    return hr;
}

void MailRoad::FileNonDeliveryReport(const mapi::MessageContent& mail,
                                     const std::vector<const transport::DeliveryResult*>& failed) {
    std::wstring text =
        L"Your message did not reach some or all of the intended recipients.\r\n\r\n"
        L"Subject: " +
        transport::PropText(mail.props, mapi::PR_SUBJECT).value_or(L"") + L"\r\n\r\n";
    for (const auto* r : failed)
        text += L"  " + r->address + L": " + win::FromUtf8(r->error) + L"\r\n";
    std::lock_guard lock(m_lock);
    const outlook::StoreLocation* def = DefaultStore();
    std::unique_ptr<store::Session> session;  // this (sending) thread's own
    store::Folder inbox;
    std::unique_ptr<store::Message> report;
    if (!def || FAILED(store::Session::Open(def->hostPath, &session)) ||
        FAILED(session->GetDefaultFolder(store::DefaultFolder::Inbox, &inbox)) ||
        FAILED(inbox.CreateMessage(false, &report)))
        return;
    report->SetProp(mapi::PR_MESSAGE_CLASS, mapi::PropValue::Unicode(L"REPORT.IPM.Note.NDR"));
    report->SetProp(
        mapi::PR_SUBJECT,
        mapi::PropValue::Unicode(L"Undeliverable: " +
                                 transport::PropText(mail.props, mapi::PR_SUBJECT).value_or(L"")));
    report->SetProp(mapi::PR_BODY, mapi::PropValue::Unicode(text));
    report->SetProp(mapi::PR_SENDER_NAME, mapi::PropValue::Unicode(L"Mail Delivery System"));
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    report->SetProp(mapi::PR_MESSAGE_DELIVERY_TIME,
                    mapi::PropValue::SysTime(win::FileTimeToUInt64(now)));
    report->SetProp(mapi::PR_MESSAGE_FLAGS, mapi::PropValue::Long(0));
    if (SUCCEEDED(report->Save()) && m_log)
        m_log("non-delivery report for " + std::to_string(failed.size()) + " recipient(s)");
}

const outlook::StoreLocation* MailRoad::DefaultStore() const {
    const outlook::StoreLocation* def = nullptr;
    for (const auto& st : m_profile.mapi.stores) {
        if (st.isDefault || !def)
            def = &st;
    }
    return def;
}

transport::FileResult MailRoad::File(const transport::IncomingMessage& message) {
    std::lock_guard lock(m_lock);
    const outlook::StoreLocation* def = DefaultStore();
    if (!def)
        return transport::FileResult::kFailed;
    if (!m_session && FAILED(store::Session::Open(def->hostPath, &m_session)))
        return transport::FileResult::kFailed;
    store::Folder inbox;
    if (FAILED(m_session->GetDefaultFolder(store::DefaultFolder::Inbox, &inbox)))
        return transport::FileResult::kFailed;
    std::unique_ptr<store::Message> mail;
    HRESULT hr = inbox.CreateMessage(false, &mail);
    if (FAILED(hr)) {
        m_session.reset();
        return transport::FileResult::kFailed;
    }
    hr = mail->SetContent(message.content);
    if (FAILED(hr))
        return transport::FileResult::kRejected;
    hr = mail->Save();
    if (FAILED(hr)) {
        m_session.reset();  // a broken connection is opened anew next time
        return transport::FileResult::kFailed;
    }
    store::Bytes entryId = mail->EntryId();
    store::Bytes folder = inbox.EntryId();
    if (m_app) {
        store::Bytes target;
        if (m_app->ApplyRules(entryId, &target) == S_OK) {
            folder = target;
            // The move gives the mail a new entry id in its new folder;
            // the newest mail of the target is the one just moved.
        }
    }
    if (m_log) {
        m_log("received \"" + SubjectOf(message.content) + "\" for " +
              win::ToUtf8(message.address) +
              (folder == inbox.EntryId() ? "" : " (moved by a rule)"));
    }
    if (m_onFiled)
        m_onFiled(entryId, folder);
    return transport::FileResult::kFiled;
}

}  // namespace host
