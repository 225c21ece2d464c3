#include "Quillmere/core/CoreTestSupport_test.h"
#include "Quillmere/core/FakeOutlookModel_test.h"

namespace {

using fakes::FakeFolder;
using fakes::FakeFolders;
using fakes::FakeOlFolder;
using fakes::FakeOlFolders;

class AddinFolderTest : public coretest::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        auto& session = coretest::Session();
        m_root = com::Make<FakeFolder>();
        m_root->folders = com::Make<FakeFolders>();
        m_inbox = com::Make<FakeFolder>();
        m_inbox->name = L"Inbox";
        m_inbox->parent = m_root;
        m_root->folders->folders.push_back(m_inbox);
        session->defaultInbox = m_inbox;
        m_utils = com::Make<fakes::FakeUtils>();
        m_engine->SetUtils(m_utils);
    }
    FakeFolder* AddSibling(const std::wstring& name) {
        auto folder = com::Make<FakeFolder>();
        folder->name = name;
        m_root->folders->folders.push_back(folder);
        return folder;
    }

    CComPtr<FakeFolder> m_root;
    CComPtr<FakeFolder> m_inbox;
    CComPtr<fakes::FakeUtils> m_utils;
};

TEST_F(AddinFolderTest, CreatedOnceWithTheExtendedFolderFlags) {
    AddSibling(L"Calendar");
    CComPtr<QMRMAPIFolder> first;
    ASSERT_EQ(m_engine->FindOrCreateAddinFolderOfSession(&first), S_OK);
    ASSERT_EQ(m_root->folders->adds, 1);
    FakeFolder* created = m_root->folders->folders.back();
    EXPECT_EQ(created->name, L"Quillmere");
    EXPECT_EQ(created->binaryFields[0x36DA0102],
              (std::vector<BYTE>{0x01, 0x04, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_NE(DebugLog().find("Quillmere folder created"), std::string::npos);

    CComPtr<QMRMAPIFolder> second;
    ASSERT_EQ(m_engine->FindOrCreateAddinFolderOfSession(&second), S_OK);
    EXPECT_EQ(m_root->folders->adds, 1) << "the second call finds the first one's folder";
    EXPECT_EQ(static_cast<QMRMAPIFolder*>(second), static_cast<QMRMAPIFolder*>(first));
}

TEST_F(AddinFolderTest, ExistingFolderIsFound) {
    FakeFolder* existing = AddSibling(L"Quillmere");
    CComPtr<QMRMAPIFolder> folder;
    ASSERT_EQ(m_engine->FindOrCreateAddinFolder(coretest::Session(), m_utils, &folder), S_OK);
    EXPECT_EQ(static_cast<QMRMAPIFolder*>(folder), static_cast<QMRMAPIFolder*>(existing));
    EXPECT_EQ(m_root->folders->adds, 0);
}

TEST_F(AddinFolderTest, LowerCaseNameIsNotTheAddinFolder) {
    AddSibling(L"quillmere");
    CComPtr<QMRMAPIFolder> folder;
    // The comparison under the user's locale tells the case apart, and the
    // store refuses a second folder of that name: no folder.
    EXPECT_EQ(m_engine->FindOrCreateAddinFolderOfSession(&folder),
              static_cast<HRESULT>(0x80040604));
    EXPECT_EQ(folder, nullptr);
}

TEST_F(AddinFolderTest, MissingInboxGivesItsError) {
    coretest::Session()->defaultInbox.Release();
    CComPtr<QMRMAPIFolder> folder;
    EXPECT_EQ(m_engine->FindOrCreateAddinFolderOfSession(&folder), MAPI_E_NOT_FOUND);
    EXPECT_EQ(folder, nullptr);
}

class OutlookAddinFolderTest : public coretest::CoreTest {
protected:
    void SetUp() override {
        CoreTest::SetUp();
        auto outlook = std::make_unique<fakes::FakeOutlook>();
        m_nameSpace = com::Make<fakes::FakeOlNamespace>();
        outlook->nameSpace = m_nameSpace;
        g_pEngine = nullptr;
        m_engine = std::make_unique<CSyncEngine>(std::move(outlook),
                                                 (m_temp + L"Quillmere_debug.log").c_str());
        g_pEngine = m_engine.get();
        DebugSwitch = true;  // the replaced engine's destruction switched it off
        m_root = com::Make<FakeOlFolder>();
        m_root->folders = com::Make<FakeOlFolders>();
        auto inbox = com::Make<FakeOlFolder>();
        inbox->name = L"Inbox";
        inbox->parent = m_root;
        m_root->folders->folders.push_back(inbox);
        m_nameSpace->defaults[olFolderInbox] = inbox;
    }
    CComPtr<fakes::FakeOlNamespace> m_nameSpace;
    CComPtr<FakeOlFolder> m_root;
};

TEST_F(OutlookAddinFolderTest, FoundOrCreatedWithoutFlags) {
    CComPtr<MAPIFolder> folder;
    ASSERT_EQ(m_engine->GetAddinFolder(&folder), S_OK);
    EXPECT_EQ(m_root->folders->adds, 1);
    CComPtr<MAPIFolder> again;
    ASSERT_EQ(m_engine->GetAddinFolder(&again), S_OK);
    EXPECT_EQ(m_root->folders->adds, 1);
    EXPECT_EQ(static_cast<MAPIFolder*>(again), static_cast<MAPIFolder*>(folder));
}

TEST_F(OutlookAddinFolderTest, FailureIsLogged) {
    m_root->folders->addResult = MAPI_E_NO_ACCESS;
    CComPtr<MAPIFolder> folder;
    EXPECT_EQ(m_engine->GetAddinFolder(&folder), MAPI_E_NO_ACCESS);
    EXPECT_NE(DebugLog().find("no Quillmere folder found"), std::string::npos);
}

struct StoreCase {
    const char* name;
    LONG kind;
    std::vector<BYTE> provider;
    OlItemType itemType;
    bool kind6, cloudA, cloudB;
};

std::vector<BYTE> Hex(const char* text) {
    std::vector<BYTE> bytes;
    for (const char* p = text; p[0] && p[1]; p += 2)
        bytes.push_back(static_cast<BYTE>(std::stoi(std::string(p, 2), nullptr, 16)));
    return bytes;
}

class StoreTestsTest : public coretest::CoreTest,
                       public ::testing::WithParamInterface<StoreCase> {};

TEST_P(StoreTestsTest, StoreKindAndICloudProviders) {
    const StoreCase& c = GetParam();
    auto& session = coretest::Session();
    auto store = com::Make<fakes::FakeStore>();
    store->entryId = L"ST01";
    store->kind = c.kind;
    store->provider = c.provider;
    session->stores->stores.push_back(store);
    auto helperFolder = com::Make<FakeFolder>();
    helperFolder->store = store;
    session->foldersById[L"F001"] = helperFolder;
    m_engine->SetUtils(com::Make<fakes::FakeUtils>());

    auto folder = com::Make<FakeOlFolder>();
    folder->entryId = L"F001";
    folder->storeId = L"ST01";
    folder->defaultItemType = c.itemType;
    CComBSTR id(L"F001");
    EXPECT_EQ(m_engine->IsFolderStoreKind6(folder), c.kind6);
    EXPECT_EQ(m_engine->IsFolderInICloudStoreA(folder, id), c.cloudA);
    EXPECT_EQ(m_engine->IsFolderInICloudStoreB(folder, id), c.cloudB);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StoreTestsTest,
    ::testing::Values(StoreCase{"Personal", 2, {}, olContactItem, false, false, false},
                      StoreCase{"KindSix", 6, {}, olMailItem, true, false, false},
                      StoreCase{"ICloudContacts", 2, Hex("975C4FC305EB4BBBB1992A7570EC7CF9"),
                                olContactItem, false, true, false},
                      StoreCase{"ICloudCalendar", 2, Hex("975C4FC305EB4BBBB1992A7570EC7CF9"),
                                olAppointmentItem, false, false, false},
                      StoreCase{"SecondICloud", 6, Hex("425DC1A925AC47B5A636EEF64AD9B6B4"),
                                olMailItem, true, false, true},
                      StoreCase{"OtherProvider", 2, Hex("00112233445566778899AABBCCDDEEFF"),
                                olContactItem, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AddinFolderTest, StoreWithoutProviderIsNoICloudStoreAndIsReported) {
    auto& session = coretest::Session();
    auto store = com::Make<fakes::FakeStore>();
    store->entryId = L"ST01";
    session->stores->stores.push_back(store);
    auto helperFolder = com::Make<FakeFolder>();
    helperFolder->store = store;
    session->foldersById[L"F001"] = helperFolder;
    auto folder = com::Make<FakeOlFolder>();
    folder->storeId = L"ST01";
    folder->defaultItemType = olContactItem;
    CComBSTR id(L"F001");
    EXPECT_FALSE(m_engine->IsFolderInICloudStoreA(folder, id));
    EXPECT_FALSE(m_engine->IsFolderInICloudStoreB(folder, id));
    EXPECT_NE(ErrorLog().find("ERROR: No PR_MDB_PROVIDER: MAPI_E_NOT_FOUND"), std::string::npos);
}

TEST_F(AddinFolderTest, StoreTestsWithoutSessionAreFalse) {
    coretest::Session().Release();
    g_pEngine = nullptr;
    m_engine = std::make_unique<CSyncEngine>(std::make_unique<fakes::FakeOutlook>(), nullptr);
    g_pEngine = m_engine.get();
    auto folder = com::Make<FakeOlFolder>();
    CComBSTR id(L"F001");
    EXPECT_FALSE(m_engine->IsFolderStoreKind6(folder));
    EXPECT_FALSE(m_engine->IsFolderInICloudStoreA(folder, id));
    EXPECT_FALSE(m_engine->IsFolderInICloudStoreB(folder, id));
}

}  // namespace
