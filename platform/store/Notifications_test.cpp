#include "platform/store/Notifications.h"

#include <gtest/gtest.h>

#include <mutex>

#include "platform/store/StoreTestSupport.h"

namespace store {
namespace {

using namespace mapi;
using testing::DefaultFolderOf;
using testing::MakeStore;
using testing::OpenStore;
using testing::TempDir;

class Recorder {
public:
    Recorder() {
        m_cookie = AdviseChanges([this](const ChangeNotification& n) {
            std::lock_guard<std::mutex> guard(m_lock);
            m_seen.push_back(n);
        });
    }
    ~Recorder() { UnadviseChanges(m_cookie); }
    std::vector<ChangeNotification> Take() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::vector<ChangeNotification> out;
        out.swap(m_seen);
        return out;
    }
    // Only message notifications of one kind of object.
    std::vector<ChangeNotification> TakeMessages() {
        std::vector<ChangeNotification> out;
        for (auto& n : Take()) {
            if (n.objectType == ObjectType::Message) {
                out.push_back(n);
            }
        }
        return out;
    }

private:
    ULONG m_cookie = 0;
    std::mutex m_lock;
    std::vector<ChangeNotification> m_seen;
};

TEST(Notifications, EachCommitNotifiesOnceAfterItIsVisible) {
    TempDir dir;
    auto s = MakeStore(dir.File("n.qms"), StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    auto reader = OpenStore(dir.File("n.qms"));
    Folder inbox = DefaultFolderOf(*s, DefaultFolder::Inbox);
    Folder drafts = DefaultFolderOf(*s, DefaultFolder::Drafts);

    // The observer reads the object through another session: it must see
    // the committed state.
    std::vector<std::wstring> subjectsSeen;
    ULONG cookie = AdviseChanges([&](const ChangeNotification& n) {
        if (n.objectType != ObjectType::Message || n.event == ChangeEvent::Removed) {
            return;
        }
        std::unique_ptr<Message> m;
        if (reader->OpenMessage(n.entryId, &m) == S_OK) {
            subjectsSeen.push_back(m->Props().GetText(PR_SUBJECT).value_or(L"?"));
        } else {
            subjectsSeen.push_back(L"<not visible>");
        }
    });
    Recorder recorder;
    std::unique_ptr<Message> m;
    ASSERT_EQ(inbox.CreateMessage(false, &m), S_OK);
    EXPECT_TRUE(recorder.Take().empty());  // nothing before a save
    m->SetProp(PR_SUBJECT, PropValue::Unicode(L"one"));
    ASSERT_EQ(m->Save(), S_OK);
    auto seen = recorder.TakeMessages();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].event, ChangeEvent::Added);
    EXPECT_EQ(seen[0].entryId, m->EntryId());
    EXPECT_EQ(seen[0].folderEntryId, inbox.EntryId());
    EXPECT_EQ(seen[0].storeGuid, s->Info().storeGuid);

    m->SetProp(PR_SUBJECT, PropValue::Unicode(L"two"));
    ASSERT_EQ(m->Save(), S_OK);
    seen = recorder.TakeMessages();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].event, ChangeEvent::Modified);

    ASSERT_EQ(m->MoveTo(drafts), S_OK);
    seen = recorder.TakeMessages();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].event, ChangeEvent::Removed);
    EXPECT_EQ(seen[0].folderEntryId, inbox.EntryId());
    EXPECT_EQ(seen[1].event, ChangeEvent::Added);
    EXPECT_EQ(seen[1].folderEntryId, drafts.EntryId());

    ASSERT_EQ(m->Delete(), S_OK);
    seen = recorder.TakeMessages();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].event, ChangeEvent::Removed);

    // A failed write notifies nothing.
    EXPECT_EQ(m->Save(), MAPI_E_NOT_FOUND);
    EXPECT_TRUE(recorder.Take().empty());

    UnadviseChanges(cookie);
    EXPECT_EQ(subjectsSeen, (std::vector<std::wstring>{L"one", L"two", L"two"}));
}

TEST(Notifications, SaveNamesTheFolderTheMessageIsInNow) {
    TempDir dir;
    auto s = MakeStore(dir.File("m.qms"), StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    auto other = OpenStore(dir.File("m.qms"));
    Folder inbox = DefaultFolderOf(*s, DefaultFolder::Inbox);
    std::unique_ptr<Message> m;
    ASSERT_EQ(inbox.CreateMessage(false, &m), S_OK);
    ASSERT_EQ(m->Save(), S_OK);
    // Another session moves it; this one still holds it as loaded.
    std::unique_ptr<Message> there;
    ASSERT_EQ(other->OpenMessage(m->EntryId(), &there), S_OK);
    Folder tasks = DefaultFolderOf(*other, DefaultFolder::Tasks);
    ASSERT_EQ(there->MoveTo(tasks), S_OK);
    Recorder recorder;
    m->SetProp(PR_SUBJECT, PropValue::Unicode(L"edited after the move"));
    ASSERT_EQ(m->Save(), S_OK);
    auto seen = recorder.TakeMessages();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].folderEntryId, tasks.EntryId());
    EXPECT_EQ(m->FolderId(), tasks.Id());
}

TEST(Notifications, FolderChangesAndUnadvise) {
    TempDir dir;
    auto s = MakeStore(dir.File("f.qms"), StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    Folder root;
    ASSERT_EQ(s->GetRootFolder(&root), S_OK);
    int calls = 0;
    ULONG cookie = AdviseChanges([&calls](const ChangeNotification&) { ++calls; });
    Recorder recorder;
    Folder child;
    ASSERT_EQ(root.CreateSubfolder(L"Shared", L"IPF.Note", &child), S_OK);
    ASSERT_EQ(child.Rename(L"Shared 2"), S_OK);
    ASSERT_EQ(child.Delete(), S_OK);
    auto seen = recorder.Take();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].event, ChangeEvent::Added);
    EXPECT_EQ(seen[1].event, ChangeEvent::Modified);
    EXPECT_EQ(seen[2].event, ChangeEvent::Removed);
    for (const auto& n : seen) {
        EXPECT_EQ(n.objectType, ObjectType::Folder);
        EXPECT_EQ(n.entryId, child.EntryId());
        EXPECT_EQ(n.folderEntryId, root.EntryId());
    }
    EXPECT_EQ(calls, 3);
    UnadviseChanges(cookie);
    testing::AddMessage(DefaultFolderOf(*s, DefaultFolder::Inbox), L"after");
    EXPECT_EQ(calls, 3);
}

TEST(Notifications, ABatchNotifiesAfterItsOneCommitAndAFailedOneNotAtAll) {
    TempDir dir;
    auto s = MakeStore(dir.File("b.qms"), StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    auto reader = OpenStore(dir.File("b.qms"));
    Folder inbox = DefaultFolderOf(*s, DefaultFolder::Inbox);
    Folder readerInbox = DefaultFolderOf(*reader, DefaultFolder::Inbox);
    Recorder recorder;
    ULONG visibleInside = 99;
    ASSERT_EQ(s->Batch([&]() -> HRESULT {
        for (int i = 0; i < 3; ++i) {
            testing::AddMessage(inbox, L"batch");
        }
        EXPECT_TRUE(recorder.Take().empty());  // nothing before the commit
        readerInbox.GetContentCount(false, &visibleInside);
        return S_OK;
    }),
              S_OK);
    EXPECT_EQ(visibleInside, 0u);  // other sessions saw nothing before the commit
    EXPECT_EQ(recorder.TakeMessages().size(), 3u);
    EXPECT_EQ(s->Batch([&]() -> HRESULT {
        testing::AddMessage(inbox, L"undone");
        return E_ABORT;
    }),
              E_ABORT);
    EXPECT_TRUE(recorder.Take().empty());
    ULONG count = 0;
    ASSERT_EQ(readerInbox.GetContentCount(false, &count), S_OK);
    EXPECT_EQ(count, 3u);
}

TEST(Notifications, ObserverMayUnadviseItselfWhileCalled) {
    TempDir dir;
    auto s = MakeStore(dir.File("u.qms"), StoreKind::PersonalUnicode, ChangeTracking::ChangeKeys);
    ULONG cookie = 0;
    int calls = 0;
    cookie = AdviseChanges([&](const ChangeNotification&) {
        ++calls;
        UnadviseChanges(cookie);
    });
    Folder inbox = DefaultFolderOf(*s, DefaultFolder::Inbox);
    testing::AddMessage(inbox, L"1");
    testing::AddMessage(inbox, L"2");
    EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace store
