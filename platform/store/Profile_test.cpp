#include "platform/store/Profile.h"

#include <gtest/gtest.h>

#include <fstream>

#include "platform/store/Faults.h"
#include "platform/store/StoreTestSupport.h"

namespace store {
namespace {

using testing::TempDir;

void Write(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

Profile Sample() {
    Profile p;
    p.name = L"Anna \u00C5berg";
    p.connectionMode = 800;
    p.exchangeVersion = L"15.1.2507";
    p.stores.push_back({"mailbox.qms", StoreKind::ExchangeMailbox, ChangeTracking::Incremental,
                        Bytes(16, 0x11), L"Mailbox - Anna", true});
    p.stores.push_back({"/abs/archive.qms", StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys,
                        Bytes(16, 0x22), L"Archive", false});
    p.accounts.push_back({L"Work", 7, L"anna@example.org", 1});
    p.accounts.push_back({L"Home", 3, L"anna@home.example", 2});
    p.categories = {L"Red", L"Quillmere-Journal"};
    p.addressBook.push_back({L"Bob", L"bob@example.org", L"SMTP", {0xB0, 0x0B}});
    return p;
}

TEST(Profile, SaveAndLoadRoundTrip) {
    TempDir dir;
    const std::string path = dir.File("profile.ini");
    const Profile p = Sample();
    ASSERT_EQ(p.Save(path), S_OK);
    Profile back;
    ASSERT_EQ(Profile::Load(path, &back), S_OK);
    EXPECT_EQ(back.name, p.name);
    EXPECT_EQ(back.connectionMode, 800);
    EXPECT_EQ(back.exchangeVersion, p.exchangeVersion);
    ASSERT_EQ(back.stores.size(), 2u);
    EXPECT_EQ(back.stores[0].file, "mailbox.qms");
    EXPECT_EQ(back.stores[0].kind, StoreKind::ExchangeMailbox);
    EXPECT_EQ(back.stores[0].tracking, ChangeTracking::Incremental);
    EXPECT_EQ(back.stores[0].providerId, Bytes(16, 0x11));
    EXPECT_EQ(back.stores[0].displayName, L"Mailbox - Anna");
    EXPECT_TRUE(back.stores[0].isDefault);
    EXPECT_FALSE(back.stores[1].isDefault);
    ASSERT_EQ(back.accounts.size(), 2u);
    EXPECT_EQ(back.accounts[0].name, L"Work");
    EXPECT_EQ(back.accounts[0].id, 7);
    EXPECT_EQ(back.accounts[1].address, L"anna@home.example");
    EXPECT_EQ(back.categories, p.categories);
    ASSERT_EQ(back.addressBook.size(), 1u);
    EXPECT_EQ(back.addressBook[0].entryId, (Bytes{0xB0, 0x0B}));
    EXPECT_EQ(Profile::StorePath(path, back.stores[0]), dir.File("mailbox.qms"));
    EXPECT_EQ(Profile::StorePath(path, back.stores[1]), "/abs/archive.qms");
    EXPECT_EQ(back.DefaultStore(), &back.stores[0]);
}

TEST(Profile, HandWrittenFileWithCommentsAndOrder) {
    TempDir dir;
    const std::string path = dir.File("profile.ini");
    Write(path,
          "\xEF\xBB\xBF; written by hand\n"
          "[Profile]\r\nName = Test\r\n\n"
          "[Account]\nName=Second\nId=2\nOrder=5\n"
          "[Account]\nName=First\nId=1\nOrder=1\n"
          "[Store]\nFile=a.qms\n"
          "[Store]\nFile=b.qms\nKind=1\nTracking=2\n");
    Profile p;
    ASSERT_EQ(Profile::Load(path, &p), S_OK);
    EXPECT_EQ(p.name, L"Test");
    ASSERT_EQ(p.accounts.size(), 2u);
    EXPECT_EQ(p.accounts[0].name, L"First");
    EXPECT_EQ(p.connectionMode, 0);
    EXPECT_TRUE(p.exchangeVersion.empty());
    ASSERT_NE(p.DefaultStore(), nullptr);
    EXPECT_EQ(p.DefaultStore()->file, "a.qms");  // none marked: the first
    EXPECT_EQ(p.stores[1].kind, StoreKind::PersonalAnsi);
    EXPECT_EQ(p.stores[1].tracking, ChangeTracking::ModificationTime);
}

TEST(Profile, MalformedFilesNameTheirLine) {
    TempDir dir;
    const std::string path = dir.File("bad.ini");
    struct Case {
        std::string text;
        int line;
    };
    const std::vector<Case> cases = {
        {"[Profile]\nName=x\nnonsense\n", 3},
        {"[Profile\n", 1},
        {"[Unknown]\n", 1},
        {"[Profile]\nColour=blue\n", 2},
        {"Name=before any section\n", 1},
        {"[Store]\nFile=a\nKind=7\n", 3},
        {"[Store]\nFile=a\nProviderId=0011\n", 3},
        {"[Store]\nFile=a\nTracking=x\n", 3},
        {"[Profile]\nConnectionMode=99999999999\n", 2},
        {"[Profile]\n[Profile]\n", 2},
        {"[Store]\nFile=a\nDefault=1\n[Store]\nFile=b\nDefault=1\n", 0},
        {"[Store]\nKind=1\n", 0},
    };
    for (const auto& k : cases) {
        Write(path, k.text);
        Profile p;
        int line = -1;
        EXPECT_EQ(Profile::Load(path, &p, &line), MAPI_E_CORRUPT_DATA) << k.text;
        EXPECT_EQ(line, k.line) << k.text;
    }
    Profile p;
    EXPECT_EQ(Profile::Load(dir.File("missing.ini"), &p), MAPI_E_NOT_FOUND);
}

TEST(Profile, TextsThatWouldBreakTheFileAreRefused) {
    TempDir dir;
    const std::string path = dir.File("profile.ini");
    ASSERT_EQ(Sample().Save(path), S_OK);
    Profile injected = Sample();
    injected.categories.push_back(L"Red\n[Store]\nFile=/etc/evil");
    EXPECT_EQ(injected.Save(path), E_INVALIDARG);
    Profile padded = Sample();
    padded.accounts[0].address = L" anna@example.org";
    EXPECT_EQ(padded.Save(path), E_INVALIDARG);
    Profile back;
    ASSERT_EQ(Profile::Load(path, &back), S_OK);  // the old file is untouched
    EXPECT_EQ(back.stores.size(), 2u);
    EXPECT_EQ(back.categories, Sample().categories);
}

TEST(Profile, SettingsChangeWhileRunningAndStoresAreCreated) {
    TempDir dir;
    const std::string path = dir.File("profile.ini");
    Profile p = Sample();
    p.stores.pop_back();  // keep the relative one only
    ASSERT_EQ(p.Save(path), S_OK);
    ASSERT_EQ(Profile::SetConnectionMode(path, 300), S_OK);
    ASSERT_EQ(Profile::SetExchangeVersion(path, L""), S_OK);
    Profile back;
    ASSERT_EQ(Profile::Load(path, &back), S_OK);
    EXPECT_EQ(back.connectionMode, 300);
    EXPECT_TRUE(back.exchangeVersion.empty());
    EXPECT_EQ(back.accounts.size(), 2u);  // the rest is untouched

    ASSERT_EQ(back.CreateMissingStores(path), S_OK);
    std::unique_ptr<Session> s;
    ASSERT_EQ(Session::Open(Profile::StorePath(path, back.stores[0]), &s), S_OK);
    EXPECT_EQ(s->Info().kind, StoreKind::ExchangeMailbox);
    EXPECT_EQ(s->Info().displayName, L"Mailbox - Anna");
    EXPECT_EQ(s->Info().providerId, Bytes(16, 0x11));
    const GUID first = s->Info().storeGuid;
    ASSERT_EQ(back.CreateMissingStores(path), S_OK);  // an existing store is kept
    ASSERT_EQ(Session::Open(Profile::StorePath(path, back.stores[0]), &s), S_OK);
    EXPECT_EQ(s->Info().storeGuid, first);
    EXPECT_EQ(Profile::FileFor("/u", L"Default"), "/u/profiles/Default/profile.ini");
}

TEST(Profile, StoresOpenByAnyEntryIdOfTheirs) {
    TempDir dir;
    const std::string path = dir.File("profile.ini");
    Profile p;
    p.stores.push_back({"one.qms", StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys,
                        Bytes(16, 1), L"One", true});
    p.stores.push_back({"two.qms", StoreKind::ExchangeMailbox, ChangeTracking::Incremental,
                        Bytes(16, 2), L"Two", false});
    ASSERT_EQ(p.Save(path), S_OK);
    ASSERT_EQ(p.CreateMissingStores(path), S_OK);
    std::unique_ptr<Session> two;
    ASSERT_EQ(Session::Open(Profile::StorePath(path, p.stores[1]), &two), S_OK);
    Folder inbox = testing::DefaultFolderOf(*two, DefaultFolder::Inbox);

    std::unique_ptr<Session> opened;
    ASSERT_EQ(p.OpenStoreById(path, two->Info().entryId, &opened), S_OK);
    EXPECT_EQ(opened->Info().displayName, L"Two");
    ASSERT_EQ(p.OpenStoreById(path, inbox.EntryId(), &opened), S_OK);
    EXPECT_EQ(opened->Info().storeGuid, two->Info().storeGuid);
    EXPECT_EQ(p.OpenStoreById(path, MakeEntryId(win::NewGuid(), ObjectType::Store, 0), &opened),
              MAPI_E_NOT_FOUND);
    EXPECT_EQ(opened, nullptr);
    EXPECT_EQ(p.OpenStoreById(path, Bytes{1, 2}, &opened), MAPI_E_INVALID_ENTRYID);
    SetFault(FaultSite::OpenObject, MAPI_E_FAILONEPROVIDER, &two->Info().storeGuid);
    EXPECT_EQ(p.OpenStoreById(path, two->Info().entryId, &opened), MAPI_E_FAILONEPROVIDER);
    ClearFaults();
}

}  // namespace
}  // namespace store
