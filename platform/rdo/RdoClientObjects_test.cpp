// The mail client's MAPI objects (what its name space, folders and items give
// as MAPIOBJECT) as the helper library takes them, and profiles read from the
// user directory's description files.
#include <filesystem>

#include "platform/com/ComObject.h"
#include "platform/outlook/MapiObjects.h"
#include "platform/rdo/RdoTestSupport.h"
#include "platform/store/Folder.h"
#include "platform/store/Message.h"
#include "platform/store/Profile.h"

namespace rdo::testing {
namespace {

using namespace mapi;

class FakeClientSession final : public com::ComObject<FakeClientSession, IQmMapiSession> {
public:
    explicit FakeClientSession(outlook::MapiProfileInfo info) : m_info(std::move(info)) {}
    HRESULT GetProfileInfo(outlook::MapiProfileInfo* info) override {
        *info = m_info;
        return S_OK;
    }

private:
    outlook::MapiProfileInfo m_info;
};

class FakeClientFolder final : public com::ComObject<FakeClientFolder, IQmMapiFolder> {
public:
    FakeClientFolder(std::string path, store::Bytes id)
        : m_path(std::move(path)), m_id(std::move(id)) {}
    HRESULT GetFolderLocation(std::string* path, store::Bytes* id) override {
        *path = m_path;
        *id = m_id;
        return S_OK;
    }

private:
    std::string m_path;
    store::Bytes m_id;
};

// An item of the object model: its message lives here, lent per call.
class FakeClientItem final : public com::ComObject<FakeClientItem, IQmMapiMessage> {
public:
    FakeClientItem(std::string path, std::unique_ptr<store::Message> message)
        : m_path(std::move(path)), m_message(std::move(message)) {}
    HRESULT GetMessageLocation(std::string* path, store::Bytes* id) override {
        *path = m_path;
        *id = m_message->EntryId();
        return S_OK;
    }
    HRESULT AccessMessage(const std::function<HRESULT(store::Message&)>& access) override {
        ++accesses;
        return access(*m_message);
    }
    store::Message& Message() { return *m_message; }
    int accesses = 0;

private:
    std::string m_path;
    std::unique_ptr<store::Message> m_message;
};

class RdoClientObjectsTest : public RdoTest {
protected:
    void SetUp() override {
        RdoTest::SetUp();
        // No provider: profiles come from the user directory's files.
        SetProfileProvider(nullptr);
        std::filesystem::create_directories(m_machine.User() + "/profiles/Ann");
        m_profilePath = store::Profile::FileFor(m_machine.User(), L"Ann");
        store::Profile profile;
        profile.name = L"Ann";
        store::ProfileStore s;
        s.file = "ann.qms";
        s.displayName = L"Personal Folders";
        s.isDefault = true;
        profile.stores.push_back(s);
        profile.accounts.push_back({L"Ann Work", 7, L"ann@work.example", 1});
        profile.connectionMode = 800;
        ASSERT_EQ(profile.Save(m_profilePath), S_OK);
        ASSERT_EQ(profile.CreateMissingStores(m_profilePath), S_OK);
        m_storePath = store::Profile::StorePath(m_profilePath, profile.stores[0]);
        ASSERT_EQ(store::Session::Open(m_storePath, &m_direct), S_OK);
        ASSERT_EQ(m_direct->GetDefaultFolder(store::DefaultFolder::Inbox, &m_inbox), S_OK);
        ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, m_session), S_OK);
        ASSERT_EQ(Create(CLSID_QMRMAPIUtils, IID_QMRMAPIUtils, m_utils), S_OK);
    }
    void TearDown() override {
        m_utils.Release();
        m_session.Release();
        m_direct.reset();
        RdoTest::TearDown();
    }

    std::string m_profilePath;
    std::string m_storePath;
    std::unique_ptr<store::Session> m_direct;
    store::Folder m_inbox;
    CComPtr<QMRRDOSession> m_session;
    CComPtr<QMRMAPIUtils> m_utils;
};

TEST_F(RdoClientObjectsTest, LogOnReadsTheProfileFileAfreshEachTime) {
    ASSERT_EQ(Logon(m_session), S_OK);
    CComBSTR name;
    ASSERT_EQ(m_session->GetProfileName(&name), S_OK);
    EXPECT_TRUE(name == L"Ann");
    LONG mode = 0;
    ASSERT_EQ(m_session->GetConnectionMode(&mode), S_OK);
    EXPECT_EQ(mode, 800);
    ASSERT_EQ(store::Profile::SetConnectionMode(m_profilePath, 300), S_OK);
    ASSERT_EQ(m_session->GetConnectionMode(&mode), S_OK);
    EXPECT_EQ(mode, 300);
}

TEST_F(RdoClientObjectsTest, SessionAttachesToTheMailClientsSession) {
    outlook::MapiProfileInfo info{L"Ann", m_profilePath, {{m_storePath, true}}};
    auto client = com::Make<FakeClientSession, IQmMapiSession>(info);
    ASSERT_EQ(m_session->PutMAPIOBJECT(client), S_OK);
    CComPtr<QMRMAPIFolder> inbox;
    ASSERT_EQ(m_session->GetDefaultFolder(6, &inbox), S_OK);
    CComPtr<QMRAccounts> accounts;
    ASSERT_EQ(m_session->GetAccounts(&accounts), S_OK);
    LONG count = 0;
    ASSERT_EQ(accounts->GetCount(&count), S_OK);
    EXPECT_EQ(count, 1);
    // Without a description file the stores alone still serve.
    outlook::MapiProfileInfo bare{L"Ann", "", {{m_storePath, true}}};
    CComPtr<QMRRDOSession> other;
    ASSERT_EQ(Create(CLSID_QMRRDOSession, IID_QMRRDOSession, other), S_OK);
    ASSERT_EQ(other->PutMAPIOBJECT(com::Make<FakeClientSession, IQmMapiSession>(bare)), S_OK);
    CComPtr<QMRMAPIFolder> outbox;
    EXPECT_EQ(other->GetDefaultFolder(4, &outbox), S_OK);
}

TEST_F(RdoClientObjectsTest, FolderOfTheMailClientIsWrapped) {
    CComPtr<QMRMAPIFolder> folder;
    ASSERT_EQ(Create(CLSID_QMRMAPIFolder, IID_QMRMAPIFolder, folder), S_OK);
    auto client = com::Make<FakeClientFolder, IQmMapiFolder>(m_storePath, m_inbox.EntryId());
    ASSERT_EQ(folder->PutMAPIOBJECT(client), S_OK);
    CComBSTR name;
    ASSERT_EQ(folder->GetName(&name), S_OK);
    EXPECT_TRUE(name == L"Inbox");
    CComVariant count;
    ASSERT_EQ(m_utils->HrGetOneProp(client, PR_CONTENT_COUNT, &count), S_OK);
    EXPECT_EQ(count.lVal, 0);
}

TEST_F(RdoClientObjectsTest, ItemOfTheMailClientIsWorkedOnInPlace) {
    std::unique_ptr<store::Message> message;
    ASSERT_EQ(m_inbox.CreateMessage(false, &message), S_OK);
    message->SetProp(PR_MESSAGE_CLASS, PropValue::Unicode(L"IPM.Activity"));
    auto item = com::Make<FakeClientItem>(m_storePath, std::move(message));
    CComPtr<IUnknown> asUnknown(item->GetUnknown());

    // A property set and saved through the utilities lands in the item's own
    // message (unsaved changes of the client included).
    item->Message().SetProp(PR_SUBJECT, PropValue::Unicode(L"journal entry"));
    ASSERT_EQ(m_utils->HrSetOneProp(asUnknown, PR_SENSITIVITY, CComVariant(LONG(2)), VARIANT_TRUE),
              S_OK);
    EXPECT_TRUE(item->Message().IsSaved());
    EXPECT_EQ(item->Message().Props().GetInteger(PR_SENSITIVITY).value_or(0), 2);
    std::unique_ptr<store::Message> stored;
    ASSERT_EQ(m_direct->OpenMessage(item->Message().EntryId(), &stored), S_OK);
    EXPECT_EQ(stored->Props().GetText(PR_SUBJECT).value_or(L""), L"journal entry");

    CComPtr<QMRSafeJournalItem> journal;
    ASSERT_EQ(Create(CLSID_QMRSafeJournalItem, IID_QMRSafeJournalItem, journal), S_OK);
    ASSERT_EQ(journal->PutItem(asUnknown), S_OK);
    int before = item->accesses;
    ASSERT_EQ(journal->PutBody(CComBSTR(L"from the safe item")), S_OK);
    EXPECT_GT(item->accesses, before);
    EXPECT_EQ(item->Message().Props().GetText(PR_BODY).value_or(L""), L"from the safe item");
    CComPtr<QMRMessage> none;
    EXPECT_EQ(journal->GetItem(&none), MAPI_E_NO_SUPPORT);
}

}  // namespace
}  // namespace rdo::testing
