// Message files written by Outlook itself import into a store message and
// keep what our file reader (checked against an independent reader in the
// message-file tests) finds in them: subject, body, recipients, attachments.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/mapi/PropTags.h"
#include "platform/msgfile/MsgFile.h"
#include "platform/rdo/RdoTestSupport.h"

namespace rdo::testing {
namespace {

namespace fs = std::filesystem;

class RdoMessageFilesTest : public RdoTest {
protected:
    void SetUp() override {
        RdoTest::SetUp();
        m_profiles.Add(MakeProfile(L"Ann"));
        ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, m_session), S_OK);
        ASSERT_EQ(Logon(m_session), S_OK);
        fs::create_directories(m_machine.DriveC() + "/temp");
    }
    void TearDown() override {
        m_session.Release();
        RdoTest::TearDown();
    }
    CComPtr<QMRMessage> NewInInbox() {
        CComPtr<QMRMAPIFolder> inbox;
        EXPECT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
        CComPtr<QMRItems> items;
        EXPECT_EQ(inbox->GetItems(&items), S_OK);
        CComPtr<QMRMessage> m;
        EXPECT_EQ(items->Add(CComVariant(L"IPM.Note"), &m), S_OK);
        return m;
    }
    static std::string ReadHost(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }

    CComPtr<QMRRDOSession> m_session;
};

TEST_F(RdoMessageFilesTest, OutlookWrittenFilesImportIntoAStoreMessage) {
    int checked = 0;
    for (const auto& entry : fs::directory_iterator(QM_TESTDATA_DIR "/msg")) {
        if (entry.path().extension() != ".msg")
            continue;
        std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        mapi::MessageContent expected;
        ASSERT_EQ(msgfile::ReadMsgFile(entry.path().string(), &expected), S_OK);
        UINT cp = msgfile::MessageCodePage(expected);

        fs::copy_file(entry.path(), m_machine.DriveC() + "/temp/in.msg",
                      fs::copy_options::overwrite_existing);
        CComPtr<QMRMessage> mail = NewInInbox();
        ASSERT_EQ(mail->Import(CComBSTR(L"C:\\temp\\in.msg"), 3), S_OK);
        ASSERT_EQ(mail->Save(), S_OK);
        CComBSTR id, store;
        ASSERT_EQ(mail->GetEntryID(&id), S_OK);
        ASSERT_EQ(mail->GetStoreID(&store), S_OK);
        CComPtr<QMRMessage> again;
        ASSERT_EQ(m_session->GetMessageFromID(id, store, CComVariant(LONG(0x10)), &again), S_OK);

        CComBSTR subject, body;
        ASSERT_EQ(again->GetSubject(&subject), S_OK);
        EXPECT_EQ(
            std::wstring(subject.View()),
            msgfile::GetAnyText(expected.props, mapi::PROP_ID(mapi::PR_SUBJECT), cp).value_or(L""));
        ASSERT_EQ(again->GetBody(&body), S_OK);
        EXPECT_EQ(
            std::wstring(body.View()),
            msgfile::GetAnyText(expected.props, mapi::PROP_ID(mapi::PR_BODY), cp).value_or(L""));

        CComPtr<QMRRecipients> recipients;
        ASSERT_EQ(again->GetRecipients(&recipients), S_OK);
        LONG recipientCount = 0;
        ASSERT_EQ(recipients->GetCount(&recipientCount), S_OK);
        ASSERT_EQ(recipientCount, static_cast<LONG>(expected.recipients.size()));
        for (LONG i = 0; i < recipientCount; ++i) {
            const mapi::PropertyBag& want = expected.recipients[static_cast<size_t>(i)];
            CComPtr<QMRRecipient> recipient;
            ASSERT_EQ(recipients->Item(i + 1, &recipient), S_OK);
            CComBSTR name, address;
            ASSERT_EQ(recipient->GetName(&name), S_OK);
            ASSERT_EQ(recipient->GetAddress(&address), S_OK);
            EXPECT_EQ(
                std::wstring(name.View()),
                msgfile::GetAnyText(want, mapi::PROP_ID(mapi::PR_DISPLAY_NAME), cp).value_or(L""))
                << "recipient " << i;
            std::optional<std::wstring> smtp =
                msgfile::GetAnyText(want, mapi::PROP_ID(mapi::PR_SMTP_ADDRESS), cp);
            EXPECT_EQ(std::wstring(address.View()),
                      smtp ? *smtp
                           : msgfile::GetAnyText(want, mapi::PROP_ID(mapi::PR_EMAIL_ADDRESS), cp)
                                 .value_or(L""))
                << "recipient " << i;
        }

        CComPtr<QMRAttachments> attachments;
        ASSERT_EQ(again->GetAttachments(&attachments), S_OK);
        LONG attachmentCount = 0;
        ASSERT_EQ(attachments->GetCount(&attachmentCount), S_OK);
        ASSERT_EQ(attachmentCount, static_cast<LONG>(expected.attachments.size()));
        for (LONG i = 0; i < attachmentCount; ++i) {
            const mapi::AttachmentContent& want = expected.attachments[static_cast<size_t>(i)];
            if (want.embedded)
                continue;  // an attached message has no bytes of its own
            CComPtr<QMRAttachment> attachment;
            ASSERT_EQ(attachments->Item(i + 1, &attachment), S_OK);
            CComBSTR fileName;
            ASSERT_EQ(attachment->GetFileName(&fileName), S_OK);
            std::optional<std::wstring> longName =
                msgfile::GetAnyText(want.props, mapi::PROP_ID(mapi::PR_ATTACH_LONG_FILENAME), cp);
            EXPECT_EQ(std::wstring(fileName.View()),
                      longName ? *longName
                               : msgfile::GetAnyText(want.props,
                                                     mapi::PROP_ID(mapi::PR_ATTACH_FILENAME), cp)
                                     .value_or(L""))
                << "attachment " << i;
            ASSERT_EQ(attachment->SaveAsFile(CComBSTR(L"C:\\temp\\att.bin")), S_OK);
            std::string bytes = ReadHost(m_machine.DriveC() + "/temp/att.bin");
            EXPECT_EQ(bytes, std::string(want.data.begin(), want.data.end())) << "attachment " << i;
        }
        ++checked;
    }
    EXPECT_GE(checked, 13);
}

}  // namespace
}  // namespace rdo::testing
