// The folder sync object over the object model stand-in: construction
// advises the sink on the folder's Items, so that changes made through the
// client (or by anyone else) mark the folder; an alternate inbox only wakes
// the importer; folders without Items or events are kept without events;
// Start and destruction keep the counts, start the thread and wait for it.
#include "Quillmere/core/FolderObj.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Quillmere/core/FakeHelperLibrary_test.h"
#include "Quillmere/core/FolderTestSupport_test.h"
#include "platform/win/VirtualClockTestSupport.h"

namespace {

using foldertest::FolderTest;

class FolderObjTest : public FolderTest {};

TEST_F(FolderObjTest, ConstructionTakesTheIdsFromTheFolderAndAdvises) {
    CComPtr<MAPIFolder> calendar = DefaultFolder(olFolderCalendar);
    auto folder = std::make_unique<CFolderObj>(calendar, CFolderObj::kSharedFolder, false,
                                               L"given entry id", L"given store id");
    EXPECT_EQ(folder->Sink()->m_entryId, EntryIdOf(calendar));
    EXPECT_EQ(folder->Sink()->m_storeId, StoreIdOf(calendar));
    EXPECT_TRUE(folder->Sink()->IsAdvised());
    EXPECT_EQ(folder->Folder(), static_cast<IDispatch*>(calendar.p));
    std::string log = DebugLog();
    EXPECT_LT(log.find("create FObj"), log.find("create FObj ready"));
    EXPECT_LT(log.find("create FObj ready"), log.find("::no Exchange"));
}

TEST_F(FolderObjTest, ChangesThroughTheClientMarkTheFolder) {
    StartEngine();
    CComPtr<MAPIFolder> calendar = DefaultFolder(olFolderCalendar);
    auto folder = MakeFolder(calendar, L"team");
    CItemsEvents* sink = folder->Sink();

    CComPtr<IDispatch> item = AddItem(calendar, L"Meeting");
    EXPECT_FALSE(sink->TakeDirtyFlag()) << "events arrive on the UI thread only";
    DeliverEvents();
    EXPECT_TRUE(sink->TakeDirtyFlag()) << "ItemAdd";
    EXPECT_FALSE(sink->TakeDeletedFlag());
    EXPECT_TRUE(DebugLogHas("Add Evt team"));

    ChangeItem(item, L"Meeting moved");
    DeliverEvents();
    EXPECT_TRUE(sink->TakeDirtyFlag()) << "ItemChange";
    EXPECT_TRUE(DebugLogHas("Change Evt team"));

    DeleteItem(item);
    DeliverEvents();
    EXPECT_TRUE(sink->TakeDeletedFlag()) << "ItemRemove";
    EXPECT_FALSE(sink->TakeDirtyFlag());
    EXPECT_TRUE(DebugLogHas("Delete Evt team"));

    // A write through the helper library reaches the sink as well.
    CComPtr<QMRMAPIFolder> helperCalendar;
    ASSERT_EQ(m_engine->Session()->GetDefaultFolder(9, &helperCalendar), S_OK);
    CComPtr<QMRItems> items;
    ASSERT_EQ(helperCalendar->GetItems(&items), S_OK);
    CComPtr<QMRMessage> message;
    ASSERT_EQ(items->Add(CComVariant(L"IPM.Appointment"), &message), S_OK);
    ASSERT_EQ(message->Save(), S_OK);
    DeliverEvents();
    EXPECT_TRUE(sink->TakeDirtyFlag()) << "a write by the helper library";
}

TEST_F(FolderObjTest, OtherFoldersEventsLeaveTheFolderAlone) {
    StartEngine();
    auto folder = MakeFolder(DefaultFolder(olFolderCalendar), L"team");
    AddItem(DefaultFolder(olFolderContacts), L"Somebody");
    DeliverEvents();
    EXPECT_FALSE(folder->Sink()->TakeDirtyFlag());
}

TEST_F(FolderObjTest, AlternateInboxArrivalWakesTheImporterOnly) {
    StartEngine();
    CComPtr<MAPIFolder> inbox = DefaultFolder(olFolderInbox);
    auto folder = MakeFolder(inbox, L"", CFolderObj::kAlternateInbox);
    EXPECT_TRUE(DebugLogHas("create special FObj ready"));
    CComPtr<IDispatch> mail = AddItem(inbox, L">-Quillmere-< 1");
    DeliverEvents();
    EXPECT_TRUE(m_engine->m_alternateInboxRequest.load());
    EXPECT_TRUE(DebugLogHas("alternate mailbox evt"));
    EXPECT_FALSE(folder->Sink()->TakeDirtyFlag());

    m_engine->m_alternateInboxRequest = false;
    ChangeItem(mail, L"changed");
    DeleteItem(mail);
    DeliverEvents();
    EXPECT_FALSE(m_engine->m_alternateInboxRequest.load());
    EXPECT_FALSE(folder->Sink()->TakeDirtyFlag());
    EXPECT_FALSE(folder->Sink()->TakeDeletedFlag());
}

TEST_F(FolderObjTest, EventsBeforeTheStartOrWhileStoppedAreIgnored) {
    CComPtr<MAPIFolder> calendar = DefaultFolder(olFolderCalendar);
    auto folder = MakeFolder(calendar, L"team");
    AddItem(calendar, L"before the start");
    DeliverEvents();
    EXPECT_FALSE(folder->Sink()->TakeDirtyFlag()) << "not started";

    StartEngine();
    m_engine->m_stopped = true;
    AddItem(calendar, L"while stopped");
    DeliverEvents();
    EXPECT_FALSE(folder->Sink()->TakeDirtyFlag()) << "stopped";

    m_engine->m_stopped = false;
    AddItem(calendar, L"running");
    DeliverEvents();
    EXPECT_TRUE(folder->Sink()->TakeDirtyFlag());
}

// An Outlook folder that answers only the DISPIDs it is given.
class PartialFolder final : public fakes::FakeDispatch<PartialFolder, IDispatch> {
public:
    CComPtr<IDispatch> items;  // null: Items fails
    HRESULT Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                   UINT*) override {
        if (id == outlook::dispid::kItems && items)
            return CComVariant(items.p).Detach(result);
        return DISP_E_MEMBERNOTFOUND;
    }
};
class PlainDispatch final : public fakes::FakeDispatch<PlainDispatch, IDispatch> {};

TEST_F(FolderObjTest, FolderWithoutItemsOrEventsIsKeptWithoutEvents) {
    const struct {
        const char* name;
        bool items;
        bool reported;
    } cases[] = {{"no Items", false, true}, {"Items without events", true, false}};
    for (const auto& c : cases) {
        auto outlookFolder = com::Make<PartialFolder>();
        if (c.items)
            outlookFolder->items = com::Make<PlainDispatch>();
        std::size_t before = ErrorLog().size();
        auto folder = std::make_unique<CFolderObj>(outlookFolder, CFolderObj::kSharedFolder, false,
                                                   L"0011", L"AA22");
        EXPECT_FALSE(folder->Sink()->IsAdvised()) << c.name;
        EXPECT_EQ(folder->Sink()->m_entryId, L"0011") << c.name << ": the given ids serve";
        EXPECT_EQ(folder->Sink()->m_storeId, L"AA22") << c.name;
        bool reported =
            ErrorLog().substr(before).find("create FObj::no Items") != std::string::npos;
        EXPECT_EQ(reported, c.reported) << c.name;
    }
}

TEST_F(FolderObjTest, DestroyedFolderHearsNoMoreEvents) {
    StartEngine();
    CComPtr<MAPIFolder> calendar = DefaultFolder(olFolderCalendar);
    auto folder = MakeFolder(calendar, L"team");
    AddItem(calendar, L"queued before the destruction");
    folder.reset();  // unadvised: the queued event must not reach the freed sink
    std::size_t before = DebugLog().size();
    DeliverEvents();
    AddItem(calendar, L"after");
    DeliverEvents();
    EXPECT_EQ(DebugLog().substr(before).find("Add Evt"), std::string::npos);
}

TEST_F(FolderObjTest, StartResetsTheCountsWhichTheDestructionReports) {
    auto folder = MakeFolder(DefaultFolder(olFolderInbox), L"mails", CFolderObj::kAlternateInbox);
    folder->IncrementSentCount();
    folder->Start();
    EXPECT_TRUE(folder->IsRunning());
    EXPECT_FALSE(folder->IsThreadAlive()) << "an alternate inbox has no thread";
    EXPECT_TRUE(DebugLogHas("FObj started mails"));
    for (int i = 0; i < 3; ++i)
        folder->IncrementSentCount();
    folder.reset();
    // Only the Exchange scan counts a folder's items.
    EXPECT_TRUE(
        DebugLogHas("Folder mails has sent 3 elems (no del's incl.)/ we have 0 elems in fldr"));
}

TEST_F(FolderObjTest, LongShareNameIsCutInTheStartLine) {
    std::wstring share(300, L'x');
    auto folder = MakeFolder(DefaultFolder(olFolderInbox), share, CFolderObj::kAlternateInbox);
    folder->Start();
    std::string expected = "FObj started " + std::string(199 - 13, 'x');
    std::string log = DebugLog();
    auto at = log.find(expected);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(log[at + expected.size()], '\r') << "199 characters in all";
}

TEST_F(FolderObjTest, DestructionWaitsForAStuckThreadAndSaysSoEveryMinute) {
    auto folder = MakeFolder(DefaultFolder(olFolderInbox), L"stuck", CFolderObj::kAlternateInbox);
    folder->SetThreadAlive(true);  // a thread that does not end
    CFolderObj* raw = folder.release();
    std::atomic<bool> destroyed{false};
    DWORD started = GetTickCount();
    win::testing::PlatformThread destroyer([&] {
        delete raw;
        destroyed = true;
    });
    EXPECT_TRUE(WaitFor([&] { return Count(DebugLog(), "Thread stops since 2 Min") >= 2; }));
    EXPECT_FALSE(destroyed.load());
    EXPECT_EQ(GetTickCount() - started, 2u * 121u * 500u) << "one line per 121 polls of 500 ms";
    EXPECT_EQ(Count(DebugLog(), "Thread stops since 2 Min"), 2u);
    raw->SetThreadAlive(false);
    destroyer.Join();
    EXPECT_TRUE(destroyed.load());
    EXPECT_EQ(GetTickCount() - started, 2u * 121u * 500u + 500u) << "seen at the next poll";
}

TEST_F(FolderObjTest, DestructionRightAfterStartWaitsForTheNewThread) {
    // The thread may not have begun when the object is destroyed; the
    // destruction must still wait for it (ASan sees a use after free).
    for (int i = 0; i < 20; ++i) {
        auto folder = MakeFolder(DefaultFolder(olFolderCalendar), L"quick");
        folder->Start();
        folder.reset();
    }
    EXPECT_TRUE(WaitFor([&] { return Count(DebugLog(), "Thread quick ended") == 20; }));
}

}  // namespace
