#include "platform/store/Synchronizer.h"

#include <gtest/gtest.h>

#include "platform/store/Faults.h"
#include "platform/store/StoreTestSupport.h"

namespace store {
namespace {

using namespace mapi;
using testing::AddMessage;
using testing::DefaultFolderOf;
using testing::MakeStore;
using testing::OpenStore;
using testing::TempDir;

Bytes SourceKeyOf(Session& s, const Bytes& entryId) {
    std::unique_ptr<Message> m;
    EXPECT_EQ(s.OpenMessage(entryId, &m), S_OK);
    return m ? *m->Props().GetBinary(PR_SOURCE_KEY) : Bytes();
}

class SynchronizerTest : public ::testing::Test {
protected:
    void SetUp() override {
        session = MakeStore(dir.File("mailbox.qms"), StoreKind::ExchangeMailbox,
                            ChangeTracking::Incremental);
        ASSERT_TRUE(session);
        folder = DefaultFolderOf(*session, DefaultFolder::Calendar);
        ASSERT_EQ(folder.GetSynchronizer(&sync), S_OK);
    }
    void TearDown() override { ClearFaults(); }

    DifferingItems Differences(const std::string& state) {
        DifferingItems d;
        EXPECT_EQ(sync->GetDifferingItems(state, &d), S_OK);
        return d;
    }

    TempDir dir;
    std::unique_ptr<Session> session;
    Folder folder;
    std::unique_ptr<Synchronizer> sync;
};

TEST_F(SynchronizerTest, ReportsNewChangedAndDeletedSinceAStateAndNothingAfterTheNewOne) {
    const Bytes kept = AddMessage(folder, L"kept");
    const Bytes changed = AddMessage(folder, L"changed");
    const Bytes deleted = AddMessage(folder, L"deleted");
    const Bytes movedOut = AddMessage(folder, L"moved out");
    DifferingItems initial = Differences("");
    ASSERT_EQ(initial.items.size(), 4u);
    for (const auto& item : initial.items) {
        EXPECT_TRUE(item.isNew);
        EXPECT_EQ(item.kind, ChangeKind::NewOrChanged);
    }
    const std::string state = initial.newState;
    ASSERT_FALSE(state.empty());
    EXPECT_TRUE(Differences(state).items.empty());

    // Changes through another session, as another thread would make them.
    auto other = OpenStore(dir.File("mailbox.qms"));
    const Bytes deletedKey = SourceKeyOf(*other, deleted);
    const Bytes movedKey = SourceKeyOf(*other, movedOut);
    std::unique_ptr<Message> m;
    ASSERT_EQ(other->OpenMessage(changed, &m), S_OK);
    m->SetProp(PR_SUBJECT, PropValue::Unicode(L"changed!"));
    ASSERT_EQ(m->Save(), S_OK);
    const Bytes changeKey = *m->Props().GetBinary(PR_CHANGE_KEY);
    const ULONGLONG modified = *m->Props().GetInteger(PR_LAST_MODIFICATION_TIME);
    ASSERT_EQ(other->DeleteMessage(deleted), S_OK);
    ASSERT_EQ(other->OpenMessage(movedOut, &m), S_OK);
    ASSERT_EQ(m->MoveTo(DefaultFolderOf(*other, DefaultFolder::Inbox)), S_OK);
    const Bytes added = AddMessage(DefaultFolderOf(*other, DefaultFolder::Calendar), L"new");
    const Bytes addedKey = SourceKeyOf(*other, added);
    // Created and deleted between two scans: nothing to report.
    ASSERT_EQ(other->DeleteMessage(
                  AddMessage(DefaultFolderOf(*other, DefaultFolder::Calendar), L"short-lived")),
              S_OK);

    DifferingItems d = Differences(state);
    ASSERT_EQ(d.items.size(), 4u);
    EXPECT_EQ(d.items[0].kind, ChangeKind::NewOrChanged);
    EXPECT_FALSE(d.items[0].isNew);
    EXPECT_EQ(d.items[0].entryId, changed);
    EXPECT_EQ(d.items[0].changeKey, changeKey);
    EXPECT_EQ(d.items[0].lastModificationTime, modified);
    EXPECT_EQ(d.items[1].kind, ChangeKind::Deleted);
    EXPECT_EQ(d.items[1].sourceKey, deletedKey);
    EXPECT_TRUE(d.items[1].entryId.empty());
    EXPECT_EQ(d.items[2].kind, ChangeKind::Deleted);
    EXPECT_EQ(d.items[2].sourceKey, movedKey);
    EXPECT_EQ(d.items[3].kind, ChangeKind::NewOrChanged);
    EXPECT_TRUE(d.items[3].isNew);
    EXPECT_EQ(d.items[3].sourceKey, addedKey);
    // The differing item's message opens.
    std::unique_ptr<Message> opened;
    ASSERT_EQ(session->OpenMessage(d.items[3].entryId, &opened), S_OK);
    EXPECT_EQ(opened->Props().GetText(PR_SUBJECT), L"new");

    EXPECT_TRUE(Differences(d.newState).items.empty());
    // The old state still works: it reports the same again.
    EXPECT_EQ(Differences(state).items.size(), 4u);
    (void)kept;
}

TEST_F(SynchronizerTest, UnusableStatesAreInvalidArguments) {
    AddMessage(folder, L"x");
    const std::string good = Differences("").newState;
    std::string otherFolderState;
    {
        std::unique_ptr<Synchronizer> inboxSync;
        ASSERT_EQ(DefaultFolderOf(*session, DefaultFolder::Inbox).GetSynchronizer(&inboxSync),
                  S_OK);
        DifferingItems d;
        ASSERT_EQ(inboxSync->GetDifferingItems("", &d), S_OK);
        otherFolderState = d.newState;
    }
    std::string future = good;
    future.back() = 'F';
    future[future.size() - 2] = 'F';
    std::string badDigit = good;
    badDigit[8] = 'x';
    const std::vector<std::string> unusable = {
        "garbage", good.substr(0, good.size() - 1), good + "0", badDigit, otherFolderState,
        future,    "QMS0" + good.substr(4),
    };
    for (const auto& state : unusable) {
        DifferingItems d;
        EXPECT_EQ(sync->GetDifferingItems(state, &d), E_INVALIDARG) << state;
        EXPECT_TRUE(d.items.empty());
    }
    // A state of another store with the same folder number.
    TempDir otherDir;
    auto otherStore = MakeStore(otherDir.File("other.qms"), StoreKind::ExchangeMailbox,
                                ChangeTracking::Incremental);
    std::unique_ptr<Synchronizer> otherSync;
    ASSERT_EQ(DefaultFolderOf(*otherStore, DefaultFolder::Calendar).GetSynchronizer(&otherSync),
              S_OK);
    DifferingItems d;
    ASSERT_EQ(otherSync->GetDifferingItems("", &d), S_OK);
    EXPECT_EQ(sync->GetDifferingItems(d.newState, &d), E_INVALIDARG);
}

TEST_F(SynchronizerTest, FaultsAreReportedPerStoreAndPerProcess) {
    DifferingItems d;
    SetFault(FaultSite::Synchronize, MAPI_E_NETWORK_ERROR, &session->Info().storeGuid);
    EXPECT_EQ(sync->GetDifferingItems("", &d), MAPI_E_NETWORK_ERROR);
    SetFault(FaultSite::Synchronize, S_OK, &session->Info().storeGuid);
    EXPECT_EQ(sync->GetDifferingItems("", &d), S_OK);
    SetFault(FaultSite::Synchronize, MAPI_E_NETWORK_ERROR);
    EXPECT_EQ(sync->GetDifferingItems("", &d), MAPI_E_NETWORK_ERROR);
    ClearFaults();
    SetFault(FaultSite::OpenObject, MAPI_E_FAILONEPROVIDER);
    Folder f;
    EXPECT_EQ(session->OpenFolder(folder.EntryId(), &f), MAPI_E_FAILONEPROVIDER);
    ClearFaults();
    SetFault(FaultSite::Logon, MAPI_E_TIMEOUT);
    std::unique_ptr<Session> s;
    EXPECT_EQ(Session::Open(dir.File("mailbox.qms"), &s), MAPI_E_TIMEOUT);
    EXPECT_EQ(s, nullptr);
}

TEST(SynchronizerSupport, PersonalStoresHaveNoSynchronizer) {
    TempDir dir;
    for (auto tracking : {ChangeTracking::ChangeKeys, ChangeTracking::ModificationTime}) {
        auto s = MakeStore(dir.File("p" + std::to_string(static_cast<int>(tracking))),
                           StoreKind::PersonalUnicode, tracking);
        ASSERT_TRUE(s);
        std::unique_ptr<Synchronizer> sync;
        EXPECT_EQ(DefaultFolderOf(*s, DefaultFolder::Inbox).GetSynchronizer(&sync),
                  MAPI_E_NO_SUPPORT);
        EXPECT_EQ(sync, nullptr);
        // Even a synchronizer made by hand refuses.
        Synchronizer direct(DefaultFolderOf(*s, DefaultFolder::Inbox));
        DifferingItems d;
        EXPECT_EQ(direct.GetDifferingItems("", &d), MAPI_E_NO_SUPPORT);
    }
}

}  // namespace
}  // namespace store
