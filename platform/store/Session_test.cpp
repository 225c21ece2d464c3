#include "platform/store/Session.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>

#include "platform/store/StoreDatabase.h"
#include "platform/store/StoreTestSupport.h"
#include "platform/store/Synchronizer.h"
#include "platform/win/TestChildProcess.h"

namespace store {
namespace {

using namespace mapi;
using testing::AddMessage;
using testing::DefaultFolderOf;
using testing::MakeStore;
using testing::OpenStore;
using testing::OptionsFor;
using testing::TempDir;

TEST(Session, KindsTrackingAndIdentitySurviveReopening) {
    TempDir dir;
    struct Case {
        StoreKind kind;
        ChangeTracking tracking;
    };
    const std::vector<Case> cases = {
        {StoreKind::PersonalAnsi, ChangeTracking::ModificationTime},
        {StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys},
        {StoreKind::ExchangeMailbox, ChangeTracking::Incremental},
        {StoreKind::ExchangeDelegate, ChangeTracking::Incremental},
        {StoreKind::ExchangePublic, ChangeTracking::Incremental},
        {StoreKind::Other, ChangeTracking::ChangeKeys},
    };
    for (const auto& c : cases) {
        const std::string path = dir.File("kind" + std::to_string(static_cast<int>(c.kind)));
        StoreOptions o = OptionsFor(c.kind, c.tracking);
        o.displayName = L"Store \u00E9 " + std::to_wstring(static_cast<int>(c.kind));
        o.providerId = Bytes(16, static_cast<std::uint8_t>(c.kind));
        std::unique_ptr<Session> created;
        ASSERT_EQ(Session::Create(path, o, &created), S_OK);
        auto s = OpenStore(path);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->Info().kind, c.kind);
        EXPECT_EQ(s->Info().tracking, c.tracking);
        EXPECT_EQ(s->Info().displayName, o.displayName);
        EXPECT_EQ(s->Info().providerId, o.providerId);
        EXPECT_EQ(s->Info().storeGuid, created->Info().storeGuid);
        EXPECT_EQ(s->Info().entryId, created->Info().entryId);
        PropertyBag props = s->StoreProps();
        EXPECT_EQ(props.GetBinary(PR_MDB_PROVIDER), o.providerId);
        EXPECT_EQ(props.GetBinary(PR_ENTRYID), s->Info().entryId);
        EXPECT_EQ(props.GetText(PR_DISPLAY_NAME), o.displayName);
        GUID peeked{};
        ASSERT_EQ(Session::PeekStoreGuid(path, &peeked), S_OK);
        EXPECT_EQ(peeked, s->Info().storeGuid);
        EXPECT_EQ(IsExchangeKind(c.kind), c.tracking == ChangeTracking::Incremental);
    }
}

TEST(Session, PeekedGuidFollowsAFileReplacedUnderItsName) {
    TempDir dir;
    const std::string path = dir.File("replaced.qms");
    GUID first{}, second{};
    {
        auto s = MakeStore(path, StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
        ASSERT_EQ(Session::PeekStoreGuid(path, &first), S_OK);
        EXPECT_EQ(first, s->Info().storeGuid);
    }
    // Another store takes the name: the new file, a new GUID. It is made
    // elsewhere and renamed in, as another process would replace it.
    const std::string elsewhere = dir.File("new.qms");
    auto replacement = MakeStore(elsewhere, StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    const GUID expected = replacement->Info().storeGuid;
    replacement.reset();
    std::filesystem::remove(path);
    std::filesystem::rename(elsewhere, path);
    ASSERT_EQ(Session::PeekStoreGuid(path, &second), S_OK);
    EXPECT_EQ(second, expected);
    EXPECT_NE(second, first);
}

TEST(Session, InconsistentOptionsAndExistingFilesAreRefused) {
    TempDir dir;
    std::unique_ptr<Session> s;
    EXPECT_EQ(
        Session::Create(dir.File("a"),
                        OptionsFor(StoreKind::PersonalUnicode, ChangeTracking::Incremental), &s),
        E_INVALIDARG);
    EXPECT_EQ(
        Session::Create(dir.File("b"),
                        OptionsFor(StoreKind::ExchangeMailbox, ChangeTracking::ChangeKeys), &s),
        E_INVALIDARG);
    StoreOptions shortProvider = OptionsFor(StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    shortProvider.providerId = Bytes(15, 0);
    EXPECT_EQ(Session::Create(dir.File("c"), shortProvider, &s), E_INVALIDARG);
    StoreOptions badKind = OptionsFor(StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    badKind.kind = static_cast<StoreKind>(7);
    EXPECT_EQ(Session::Create(dir.File("d"), badKind, &s), E_INVALIDARG);
    ASSERT_TRUE(MakeStore(dir.File("e"), StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys));
    EXPECT_EQ(
        Session::Create(dir.File("e"),
                        OptionsFor(StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys), &s),
        MAPI_E_COLLISION);
    EXPECT_EQ(Session::Open(dir.File("missing"), &s), MAPI_E_NOT_FOUND);
    {
        std::ofstream junk(dir.File("junk"));
        junk << "this is not a database at all, just some text that is long enough";
    }
    EXPECT_EQ(Session::Open(dir.File("junk"), &s), MAPI_E_CORRUPT_STORE);
    EXPECT_EQ(s, nullptr);
    // A store of a later layout version.
    {
        auto later =
            MakeStore(dir.File("later"), StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
        ASSERT_EQ(later->Batch([&]() -> HRESULT {
            sqlite3* db = later->GetImpl().db;
            return sqlite3_exec(db, "UPDATE meta SET value = 2 WHERE key = 'format'", nullptr,
                                nullptr, nullptr) == SQLITE_OK
                       ? S_OK
                       : E_FAIL;
        }),
                  S_OK);
    }
    EXPECT_EQ(Session::Open(dir.File("later"), &s), MAPI_E_VERSION);
}

TEST(Session, DefaultFoldersHaveRolesNamesAndClasses) {
    TempDir dir;
    auto s = MakeStore(dir.File("s"), StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    Folder root;
    ASSERT_EQ(s->GetRootFolder(&root), S_OK);
    std::vector<Folder> children;
    ASSERT_EQ(root.GetSubfolders(&children), S_OK);
    EXPECT_EQ(children.size(), AllDefaultFolders().size());
    const std::vector<std::tuple<DefaultFolder, LONG, std::wstring, std::wstring>> expected = {
        {DefaultFolder::Inbox, 6, L"Inbox", L"IPF.Note"},
        {DefaultFolder::Outbox, 4, L"Outbox", L"IPF.Note"},
        {DefaultFolder::SentMail, 5, L"Sent Items", L"IPF.Note"},
        {DefaultFolder::DeletedItems, 3, L"Deleted Items", L"IPF.Note"},
        {DefaultFolder::Drafts, 16, L"Drafts", L"IPF.Note"},
        {DefaultFolder::Calendar, 9, L"Calendar", L"IPF.Appointment"},
        {DefaultFolder::Contacts, 10, L"Contacts", L"IPF.Contact"},
        {DefaultFolder::Journal, 11, L"Journal", L"IPF.Journal"},
        {DefaultFolder::Notes, 12, L"Notes", L"IPF.StickyNote"},
        {DefaultFolder::Tasks, 13, L"Tasks", L"IPF.Task"},
    };
    for (const auto& [role, number, name, cls] : expected) {
        EXPECT_EQ(static_cast<LONG>(role), number);
        Folder f = DefaultFolderOf(*s, role);
        std::wstring got;
        ASSERT_EQ(f.GetName(&got), S_OK);
        EXPECT_EQ(got, name);
        ASSERT_EQ(f.GetContainerClass(&got), S_OK);
        EXPECT_EQ(got, cls);
        std::optional<DefaultFolder> r;
        ASSERT_EQ(f.GetRole(&r), S_OK);
        EXPECT_EQ(r, role);
        Folder parent;
        ASSERT_EQ(f.GetParent(&parent), S_OK);
        EXPECT_EQ(parent, root);
        PropertyBag props;
        ASSERT_EQ(f.GetProps(&props), S_OK);
        EXPECT_EQ(props.GetInteger(PR_FOLDER_TYPE), FOLDER_GENERIC);
        EXPECT_EQ(props.GetBinary(PR_ENTRYID), f.EntryId());
    }
    // An internet calendar has only its calendar.
    auto other = MakeStore(dir.File("ical"), StoreKind::Other, ChangeTracking::ChangeKeys);
    Folder f;
    EXPECT_EQ(other->GetDefaultFolder(DefaultFolder::Calendar, &f), S_OK);
    EXPECT_EQ(other->GetDefaultFolder(DefaultFolder::Inbox, &f), MAPI_E_NOT_FOUND);
}

TEST(Session, FolderTreeOperations) {
    TempDir dir;
    auto s = MakeStore(dir.File("tree"), StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    Folder root;
    ASSERT_EQ(s->GetRootFolder(&root), S_OK);
    Folder shared, sub;
    ASSERT_EQ(root.CreateSubfolder(L"Shared", L"IPF.Appointment", &shared), S_OK);
    ASSERT_EQ(shared.CreateSubfolder(L"Sub", L"IPF.Note", &sub), S_OK);
    Folder dup;
    EXPECT_EQ(root.CreateSubfolder(L"shared", L"IPF.Note", &dup), MAPI_E_COLLISION);
    EXPECT_EQ(root.CreateSubfolder(L"", L"IPF.Note", &dup), E_INVALIDARG);
    EXPECT_EQ(shared.Rename(L"INBOX"), MAPI_E_COLLISION);
    ASSERT_EQ(shared.Rename(L"Team"), S_OK);
    Folder found;
    ASSERT_EQ(root.FindSubfolder(L"team", &found), S_OK);
    EXPECT_EQ(found, shared);
    EXPECT_EQ(shared.MoveTo(sub), E_INVALIDARG);  // into its own subtree
    EXPECT_EQ(shared.MoveTo(shared), E_INVALIDARG);
    ASSERT_EQ(sub.MoveTo(root), S_OK);
    Folder parent;
    ASSERT_EQ(sub.GetParent(&parent), S_OK);
    EXPECT_EQ(parent, root);
    PropertyBag flags;
    flags.Set(PR_EXTENDED_FOLDER_FLAGS, PropValue::Binary({1, 2, 3}));
    ASSERT_EQ(shared.SetProps(flags), S_OK);
    PropertyBag props;
    ASSERT_EQ(shared.GetProps(&props), S_OK);
    EXPECT_EQ(props.GetBinary(PR_EXTENDED_FOLDER_FLAGS), (Bytes{1, 2, 3}));

    // A message in a deleted folder vanishes with it; both ids are then not found.
    Bytes item = AddMessage(shared, L"inside");
    const Bytes folderId = shared.EntryId();
    auto other = OpenStore(dir.File("tree"));
    Folder viaOther;
    ASSERT_EQ(other->OpenFolder(folderId, &viaOther), S_OK);
    ASSERT_EQ(viaOther.Delete(), S_OK);
    Folder gone;
    EXPECT_EQ(s->OpenFolder(folderId, &gone), MAPI_E_NOT_FOUND);
    std::unique_ptr<Message> m;
    EXPECT_EQ(s->OpenMessage(item, &m), MAPI_E_NOT_FOUND);
    std::wstring name;
    EXPECT_EQ(shared.GetName(&name), MAPI_E_NOT_FOUND);
    EXPECT_EQ(shared.CreateMessage(false, &m), MAPI_E_NOT_FOUND);
    EXPECT_EQ(root.Delete(), MAPI_E_NO_ACCESS);
    EXPECT_EQ(s->OpenFolder(item, &gone), MAPI_E_INVALID_ENTRYID);
}

// The store file read by SQLite's own shell, an independent reader: an
// intact database in WAL mode holding exactly the rows written.
TEST(SessionOracle, SqliteShellReadsTheStoreIntact) {
    if (::access("/usr/bin/sqlite3", X_OK) != 0) {
        GTEST_SKIP() << "sqlite3 shell not installed (tools/install-deps.sh)";
    }
    TempDir dir;
    const std::string path = dir.File("oracle.qms");
    {
        auto s = MakeStore(path, StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
        Folder inbox = DefaultFolderOf(*s, DefaultFolder::Inbox);
        for (int i = 0; i < 25; ++i) {
            AddMessage(inbox, L"oracle " + std::to_wstring(i));
        }
        ASSERT_EQ(s->DeleteMessage(AddMessage(inbox, L"deleted")), S_OK);
    }
    const std::string command = "/usr/bin/sqlite3 -readonly '" + path +
                                "' 'PRAGMA integrity_check; PRAGMA journal_mode; "
                                "SELECT COUNT(*) FROM messages; "
                                "SELECT normal_count FROM folders WHERE role = 6;' 2>&1";
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    ASSERT_EQ(::pclose(pipe), 0) << output;
    EXPECT_EQ(output, "ok\nwal\n25\n25\n");
}

// Named ids: the parent maps some names, a child process maps them again
// (in another order, plus a new one) and must get the same ids; the parent
// then finds the child's new name with the child's id.
TEST(SessionNamedIds, StableAcrossSessionsAndProcesses) {
    if (win::testing::IsChildRun()) {
        GTEST_SKIP();
    }
    TempDir dir;
    const std::string path = dir.File("named.qms");
    auto s = MakeStore(path, StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    const std::vector<NamedProperty> names = {
        KeywordsProperty(), NamedProperty::ById(PSETID_Common, kLidReminderSet),
        NamedProperty::ByName(PS_PUBLIC_STRINGS, L"QuillmereSyncVersion"),
        NamedProperty::ByName(PS_PUBLIC_STRINGS, L"quillmeresyncversion"),  // case matters
    };
    std::vector<USHORT> ids;
    ASSERT_EQ(s->GetIDsFromNames(names, true, &ids), S_OK);
    std::set<USHORT> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), names.size());
    for (USHORT id : ids) {
        EXPECT_TRUE(IsNamedId(id));
    }
    // Another session of this process.
    auto second = OpenStore(path);
    std::vector<USHORT> again;
    EXPECT_EQ(second->GetIDsFromNames(names, false, &again), S_OK);
    EXPECT_EQ(again, ids);
    std::vector<std::optional<NamedProperty>> back;
    ASSERT_EQ(second->GetNamesFromIDs(ids, &back), S_OK);
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(back[i], names[i]);
    }
    // Unmapped without create: 0 and a warning.
    std::vector<USHORT> none;
    EXPECT_EQ(second->GetIDsFromNames({NamedProperty::ByName(PS_MAPI, L"x")}, false, &none),
              MAPI_W_ERRORS_RETURNED);
    EXPECT_EQ(none, std::vector<USHORT>{0});

    std::string expected;
    for (USHORT id : ids) {
        expected += std::to_string(id) + ",";
    }
    const std::string out = dir.File("child.out");
    int status = win::testing::RunChildTest(
        "SessionNamedIdsChild.MapsTheSameIds",
        {"QM_STORE_PATH=" + path, "QM_STORE_IDS=" + expected, "QM_STORE_OUT=" + out});
    ASSERT_EQ(status, 0);
    std::ifstream in(out);
    int childId = 0;
    in >> childId;
    ASSERT_GT(childId, 0);
    EXPECT_EQ(s->IdOfName(NamedProperty::ByName(PSETID_Appointment, L"FromChild"), false), childId);
}

TEST(SessionNamedIdsChild, MapsTheSameIds) {
    if (!win::testing::IsChildRun()) {
        GTEST_SKIP();
    }
    auto s = OpenStore(std::getenv("QM_STORE_PATH"));
    ASSERT_TRUE(s);
    const std::vector<NamedProperty> reversed = {
        NamedProperty::ByName(PS_PUBLIC_STRINGS, L"quillmeresyncversion"),
        NamedProperty::ByName(PS_PUBLIC_STRINGS, L"QuillmereSyncVersion"),
        NamedProperty::ById(PSETID_Common, kLidReminderSet),
        KeywordsProperty(),
    };
    std::vector<USHORT> ids;
    ASSERT_EQ(s->GetIDsFromNames(reversed, true, &ids), S_OK);
    std::string got;
    for (auto it = ids.rbegin(); it != ids.rend(); ++it) {
        got += std::to_string(*it) + ",";
    }
    EXPECT_EQ(got, std::getenv("QM_STORE_IDS"));
    USHORT fresh = s->IdOfName(NamedProperty::ByName(PSETID_Appointment, L"FromChild"), true);
    EXPECT_NE(fresh, 0);
    std::ofstream out(std::getenv("QM_STORE_OUT"));
    out << fresh;
}

// Two threads, each with its own session, write one store at once: every
// message and every named id arrives, none twice.
TEST(SessionConcurrency, TwoWritersLoseNothing) {
    TempDir dir;
    const std::string path = dir.File("busy.qms");
    auto s = MakeStore(path, StoreKind::ExchangeMailbox, ChangeTracking::Incremental);
    ASSERT_TRUE(s);
    constexpr int kPerThread = 150;
    std::vector<std::vector<USHORT>> namedIds(2);
    auto writer = [&](int t) {
        auto own = OpenStore(path);
        ASSERT_TRUE(own);
        Folder inbox = DefaultFolderOf(*own, DefaultFolder::Inbox);
        for (int i = 0; i < kPerThread; ++i) {
            std::unique_ptr<Message> m;
            ASSERT_EQ(inbox.CreateMessage(false, &m), S_OK);
            m->SetProp(PR_SUBJECT,
                       PropValue::Unicode(L"t" + std::to_wstring(t) + L"-" + std::to_wstring(i)));
            ASSERT_EQ(m->Save(), S_OK);
            if (i % 10 == 0) {
                // Both threads map the same new names at about the same time.
                namedIds[t].push_back(own->IdOfName(
                    NamedProperty::ByName(PS_PUBLIC_STRINGS, L"n" + std::to_wstring(i)), true));
            }
        }
    };
    std::thread a(writer, 0);
    std::thread b(writer, 1);
    a.join();
    b.join();

    Folder inbox = DefaultFolderOf(*s, DefaultFolder::Inbox);
    ULONG count = 0;
    ASSERT_EQ(inbox.GetContentCount(false, &count), S_OK);
    EXPECT_EQ(count, 2u * kPerThread);
    std::vector<Bytes> found;
    std::set<std::wstring> subjects;
    std::set<Bytes> changeKeys;
    std::unique_ptr<Synchronizer> sync;
    ASSERT_EQ(inbox.GetSynchronizer(&sync), S_OK);
    DifferingItems d;
    ASSERT_EQ(sync->GetDifferingItems("", &d), S_OK);
    for (const auto& item : d.items) {
        std::unique_ptr<Message> m;
        ASSERT_EQ(s->OpenMessage(item.entryId, &m), S_OK);
        subjects.insert(*m->Props().GetText(PR_SUBJECT));
        changeKeys.insert(item.changeKey);
    }
    EXPECT_EQ(subjects.size(), 2u * kPerThread);
    EXPECT_EQ(changeKeys.size(), 2u * kPerThread);
    EXPECT_EQ(namedIds[0], namedIds[1]);
}

}  // namespace
}  // namespace store
