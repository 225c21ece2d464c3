#include "platform/rdo/RdoSafeItem.h"

#include <filesystem>

#include "platform/rdo/MailTransport.h"
#include "platform/rdo/RdoTestSupport.h"

namespace rdo::testing {
namespace {

using namespace mapi;

// Records what it is given; fails on request.
class RecordingTransport final : public IMailTransport {
public:
    HRESULT SubmitMail(const SubmittedMail& mail) override {
        if (FAILED(failWith))
            return failWith;
        mails.push_back(mail);
        return S_OK;
    }
    std::vector<SubmittedMail> mails;
    HRESULT failWith = S_OK;
};

class RdoSafeItemTest : public RdoTest {
protected:
    void SetUp() override {
        RdoTest::SetUp();
        m_profiles.Add(MakeProfile());
        m_transport = std::make_shared<RecordingTransport>();
        SetMailTransport(m_transport);
        ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, m_session), S_OK);
        ASSERT_EQ(Logon(m_session), S_OK);
        ASSERT_EQ(Create(CLSID_QMRSafeMailItem, IID_QMRSafeMailItem, m_safe), S_OK);
    }
    void TearDown() override {
        SetMailTransport(nullptr);
        m_safe.Release();
        m_session.Release();
        RdoTest::TearDown();
    }
    LONG CountIn(LONG folderType) {
        CComPtr<QMRMAPIFolder> folder;
        EXPECT_EQ(m_session->GetDefaultFolder(folderType, &folder), S_OK);
        CComPtr<QMRItems> items;
        EXPECT_EQ(folder->GetItems(&items), S_OK);
        LONG count = -1;
        EXPECT_EQ(items->GetCount(&count), S_OK);
        return count;
    }
    // A sync mail in the Outbox, as the builders leave it.
    CComPtr<QMRMessage> OutboxMail(const wchar_t* to, bool deleteAfterSubmit = false) {
        CComPtr<QMRMAPIFolder> outbox;
        EXPECT_EQ(m_session->GetDefaultFolder(4, &outbox), S_OK);
        CComPtr<QMRItems> items;
        EXPECT_EQ(outbox->GetItems(&items), S_OK);
        CComPtr<QMRMessage> mail;
        EXPECT_EQ(items->Add(CComVariant(L"IPM.Note"), &mail), S_OK);
        EXPECT_EQ(mail->PutSubject(CComBSTR(L">-Quillmere-< 10.12.2026 10:11:12")), S_OK);
        if (to) {
            EXPECT_EQ(mail->PutTo(CComBSTR(to)), S_OK);
        }
        EXPECT_EQ(mail->PutDeleteAfterSubmit(deleteAfterSubmit ? VARIANT_TRUE : VARIANT_FALSE),
                  S_OK);
        EXPECT_EQ(mail->Save(), S_OK);
        return mail;
    }

    std::shared_ptr<RecordingTransport> m_transport;
    CComPtr<QMRRDOSession> m_session;
    CComPtr<QMRSafeMailItem> m_safe;
};

TEST_F(RdoSafeItemTest, SendHandsTheMailToTheTransportExactlyOnce) {
    CComPtr<QMRMessage> mail = OutboxMail(L"Bert Brown");
    ASSERT_EQ(m_safe->PutItem(mail), S_OK);
    ASSERT_EQ(m_safe->SetFields(CComVariant(LONG(PR_ICON_INDEX)), CComVariant(LONG(0x202))), S_OK);
    ASSERT_EQ(m_safe->PutBody(CComBSTR(L"share:Team:share id:0A0B:id")), S_OK);
    CComPtr<QMRRecipients> recipients;
    ASSERT_EQ(m_safe->GetRecipients(&recipients), S_OK);
    VARIANT_BOOL all = VARIANT_FALSE;
    ASSERT_EQ(recipients->ResolveAll(&all), S_OK);
    ASSERT_EQ(m_safe->Send(), S_OK);

    ASSERT_EQ(m_transport->mails.size(), 1u);
    const SubmittedMail& sent = m_transport->mails[0];
    EXPECT_EQ(sent.profileName, L"Ann");
    EXPECT_EQ(sent.content.props.GetText(PR_SUBJECT).value_or(L""),
              L">-Quillmere-< 10.12.2026 10:11:12");
    EXPECT_EQ(sent.content.props.GetText(PR_BODY).value_or(L""), L"share:Team:share id:0A0B:id");
    EXPECT_EQ(sent.content.props.GetInteger(PR_ICON_INDEX).value_or(0), 0x202);
    ASSERT_EQ(sent.content.recipients.size(), 1u);
    EXPECT_EQ(sent.content.recipients[0].GetText(PR_SMTP_ADDRESS).value_or(L""),
              L"bert@example.org");
    EXPECT_EQ(CountIn(4), 0);
    EXPECT_EQ(CountIn(5), 1);

    // The mail has left: sending it again hands nothing on.
    EXPECT_EQ(m_safe->Send(), MAPI_E_NOT_FOUND);
    EXPECT_EQ(m_transport->mails.size(), 1u);
}

TEST_F(RdoSafeItemTest, DeleteAfterSubmitKeepsNoCopy) {
    ASSERT_EQ(m_safe->PutItem(OutboxMail(L"dora@example.org", true)), S_OK);
    ASSERT_EQ(m_safe->Send(), S_OK);
    EXPECT_EQ(m_transport->mails.size(), 1u);
    EXPECT_EQ(CountIn(4), 0);
    EXPECT_EQ(CountIn(5), 0);
}

TEST_F(RdoSafeItemTest, MailWithoutRecipientsIsNotSubmitted) {
    CComPtr<QMRMessage> mail = OutboxMail(nullptr);
    ASSERT_EQ(m_safe->PutItem(mail), S_OK);
    EXPECT_EQ(m_safe->Send(), MAPI_E_NO_RECIPIENTS);
    VARIANT_BOOL submitted = VARIANT_TRUE;
    ASSERT_EQ(mail->GetSubmitted(&submitted), S_OK);
    EXPECT_EQ(submitted, VARIANT_FALSE);
    EXPECT_TRUE(m_transport->mails.empty());
    EXPECT_EQ(CountIn(4), 1);
}

TEST_F(RdoSafeItemTest, FailedHandOverLeavesTheMailUnsentInTheOutbox) {
    m_transport->failWith = MAPI_E_NETWORK_ERROR;
    CComPtr<QMRMessage> mail = OutboxMail(L"dora@example.org");
    ASSERT_EQ(m_safe->PutItem(mail), S_OK);
    EXPECT_EQ(m_safe->Send(), MAPI_E_NETWORK_ERROR);
    VARIANT_BOOL submitted = VARIANT_TRUE;
    ASSERT_EQ(mail->GetSubmitted(&submitted), S_OK);
    EXPECT_EQ(submitted, VARIANT_FALSE);
    EXPECT_EQ(CountIn(4), 1);
    EXPECT_TRUE(m_transport->mails.empty());
    // The next attempt sends it.
    m_transport->failWith = S_OK;
    EXPECT_EQ(m_safe->Send(), S_OK);
    EXPECT_EQ(m_transport->mails.size(), 1u);
    EXPECT_EQ(CountIn(4), 0);
}

TEST_F(RdoSafeItemTest, WithoutATransportTheMailWaitsSubmitted) {
    SetMailTransport(nullptr);
    CComPtr<QMRMessage> mail = OutboxMail(L"dora@example.org");
    ASSERT_EQ(m_safe->PutItem(mail), S_OK);
    ASSERT_EQ(m_safe->Send(), S_OK);
    VARIANT_BOOL submitted = VARIANT_FALSE;
    ASSERT_EQ(mail->GetSubmitted(&submitted), S_OK);
    EXPECT_EQ(submitted, VARIANT_TRUE);
    // Submitted mail is not submitted twice; a stopped submission may be sent again.
    EXPECT_EQ(m_safe->Send(), MAPI_E_SUBMITTED);
    ASSERT_EQ(mail->AbortSubmit(), S_OK);
    ASSERT_EQ(mail->GetSubmitted(&submitted), S_OK);
    EXPECT_EQ(submitted, VARIANT_FALSE);
    EXPECT_EQ(mail->AbortSubmit(), MAPI_E_NOT_IN_QUEUE);
    EXPECT_EQ(CountIn(4), 1);
}

TEST_F(RdoSafeItemTest, AccountChosenForTheMailTravelsWithIt) {
    CComPtr<QMRAccounts> accounts;
    ASSERT_EQ(m_session->GetAccounts(&accounts), S_OK);
    CComPtr<QMRAccountList> list;
    ASSERT_EQ(accounts->GetOrder(2, &list), S_OK);
    CComPtr<QMRAccount> home;
    ASSERT_EQ(list->Item(2, &home), S_OK);
    CComPtr<QMRMessage> mail = OutboxMail(L"dora@example.org");
    ASSERT_EQ(mail->PutAccount(home), S_OK);
    EXPECT_EQ(mail->PutAccount(m_session), E_INVALIDARG);
    ASSERT_EQ(mail->Save(), S_OK);
    ASSERT_EQ(m_safe->PutItem(mail), S_OK);
    ASSERT_EQ(m_safe->Send(), S_OK);
    ASSERT_EQ(m_transport->mails.size(), 1u);
    EXPECT_EQ(m_transport->mails[0].content.props.GetText(PR_SENDER_EMAIL_ADDRESS).value_or(L""),
              L"ann@home.example");
}

// The sync-mail builders work on the wrapped mail through the safe item:
// its fields, its body and its recipients are the mail's, and SaveAs writes
// the mail as it is as a message file.
TEST_F(RdoSafeItemTest, SafeItemReadsAndWritesItsMailAndSavesItAsAMessageFile) {
    CComPtr<QMRMessage> mail = OutboxMail(L"dora@example.org; Bert Brown");
    ASSERT_EQ(mail->ResolveRecipients(0, nullptr), S_OK);
    ASSERT_EQ(m_safe->PutItem(mail), S_OK);
    CComPtr<QMRMessage> wrapped;
    ASSERT_EQ(m_safe->GetItem(&wrapped), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(wrapped), static_cast<IUnknown*>(mail));

    ASSERT_EQ(m_safe->SetFields(CComVariant(LONG(PR_SUBJECT)), CComVariant(L"through the item")),
              S_OK);
    ASSERT_EQ(m_safe->PutBody(CComBSTR(L"share:Team:share")), S_OK);
    CComVariant subject;
    ASSERT_EQ(m_safe->GetFields(CComVariant(LONG(PR_SUBJECT)), &subject), S_OK);
    EXPECT_STREQ(subject.bstrVal, L"through the item");
    CComBSTR body, mailSubject;
    ASSERT_EQ(m_safe->GetBody(&body), S_OK);
    EXPECT_TRUE(body == L"share:Team:share");
    ASSERT_EQ(mail->GetSubject(&mailSubject), S_OK);
    EXPECT_TRUE(mailSubject == L"through the item");

    CComPtr<QMRRecipients> recipients;
    ASSERT_EQ(m_safe->GetRecipients(&recipients), S_OK);
    LONG count = 0;
    ASSERT_EQ(recipients->GetCount(&count), S_OK);
    ASSERT_EQ(count, 2);
    CComPtr<QMRRecipient> second;
    ASSERT_EQ(recipients->Item(2, &second), S_OK);
    CComBSTR address;
    ASSERT_EQ(second->GetAddress(&address), S_OK);
    EXPECT_TRUE(address == L"bert@example.org");

    std::filesystem::create_directories(m_machine.DriveC() + "/temp");
    ASSERT_EQ(m_safe->SaveAs(CComBSTR(L"C:\\temp\\share.syn"), CComVariant(LONG(3))), S_OK);
    EXPECT_EQ(m_safe->SaveAs(CComBSTR(L"C:\\temp\\share.txt"), CComVariant(LONG(1))), E_INVALIDARG);
    CComPtr<QMRMessage> file;
    ASSERT_EQ(
        m_session->GetMessageFromMsgFile(CComBSTR(L"C:\\temp\\share.syn"), VARIANT_FALSE, &file),
        S_OK);
    CComBSTR fileSubject, fileBody;
    ASSERT_EQ(file->GetSubject(&fileSubject), S_OK);
    EXPECT_TRUE(fileSubject == L"through the item");
    ASSERT_EQ(file->GetBody(&fileBody), S_OK);
    EXPECT_TRUE(fileBody == L"share:Team:share");
    CComPtr<QMRRecipients> fileRecipients;
    ASSERT_EQ(file->GetRecipients(&fileRecipients), S_OK);
    ASSERT_EQ(fileRecipients->GetCount(&count), S_OK);
    EXPECT_EQ(count, 2);
}

TEST_F(RdoSafeItemTest, SafeItemsNeedAnItemAndRefuseOthers) {
    CComBSTR body;
    EXPECT_EQ(m_safe->GetBody(&body), MAPI_E_NOT_INITIALIZED);
    EXPECT_EQ(m_safe->Send(), MAPI_E_NOT_INITIALIZED);
    EXPECT_EQ(m_safe->PutItem(m_session), E_INVALIDARG);
    CComPtr<QMRSafeJournalItem> journal;
    ASSERT_EQ(Create(CLSID_QMRSafeJournalItem, IID_QMRSafeJournalItem, journal), S_OK);
    CComPtr<QMRMAPIFolder> folder;
    ASSERT_EQ(m_session->GetDefaultFolder(11, &folder), S_OK);
    CComPtr<QMRItems> items;
    ASSERT_EQ(folder->GetItems(&items), S_OK);
    CComPtr<QMRMessage> entry;
    ASSERT_EQ(items->Add(CComVariant(L"IPM.Activity"), &entry), S_OK);
    ASSERT_EQ(journal->PutItem(entry), S_OK);
    ASSERT_EQ(journal->PutBody(CComBSTR(L"imported")), S_OK);
    CComBSTR written;
    ASSERT_EQ(entry->GetBody(&written), S_OK);
    EXPECT_TRUE(written == L"imported");
}

}  // namespace
}  // namespace rdo::testing
