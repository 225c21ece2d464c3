// The item-event sink as Outlook calls it: its IUnknown / IDispatch answers,
// the flags each event sets per folder kind and store, events that come
// before the engine's start or while it is stopped, the heartbeat that an
// alternate inbox's ItemAdd brings closer, and the try-only takers.
#include "Quillmere/core/ItemsEvents.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "Quillmere/core/FolderTestSupport_test.h"
#include "Quillmere/core/HiddenWindow.h"
#include "platform/win/MessageLoop.h"

namespace {

using foldertest::FolderTest;

class ItemsEventsTest : public FolderTest {
protected:
    static HRESULT Fire(CItemsEvents& sink, DISPID id) {
        DISPPARAMS none;
        CComVariant result;
        return sink.Invoke(id, IID_NULL, 0x400, DISPATCH_METHOD, &none, &result, nullptr, nullptr);
    }
    // A sink of that kind and store, outside any folder object.
    static std::unique_ptr<CItemsEvents> MakeSink(LONG kind, bool exchange) {
        auto sink = std::make_unique<CItemsEvents>(nullptr, kind);
        sink->m_isExchange = exchange;
        sink->m_shareName = L"team";
        return sink;
    }
};

TEST_F(ItemsEventsTest, QueryInterfaceAnswersUnknownAndDispatchOnly) {
    CItemsEvents sink(nullptr, CFolderObj::kSharedFolder);
    const struct {
        const char* name;
        IID iid;
        HRESULT expected;
    } cases[] = {{"IUnknown", IID_IUnknown, S_OK},
                 {"IDispatch", IID_IDispatch, S_OK},
                 {"ItemsEvents", IID_ItemsEvents, E_NOINTERFACE},
                 {"IConnectionPoint", IID_IConnectionPoint, E_NOINTERFACE},
                 {"MAPIFolder", IID_MAPIFolder, E_NOINTERFACE}};
    ULONG references = 0;
    for (const auto& c : cases) {
        void* out = reinterpret_cast<void*>(0x1);
        EXPECT_EQ(sink.QueryInterface(c.iid, &out), c.expected) << c.name;
        if (c.expected == S_OK) {
            EXPECT_EQ(out, static_cast<IDispatch*>(&sink)) << c.name;
            ++references;
        } else {
            EXPECT_EQ(out, nullptr) << c.name;
        }
    }
    EXPECT_EQ(sink.AddRef(), references + 1) << "each successful answer added a reference";
    EXPECT_EQ(sink.QueryInterface(IID_IUnknown, nullptr), E_POINTER);
}

TEST_F(ItemsEventsTest, ReleaseCountsDownButNeverFreesTheSink) {
    auto sink = MakeSink(CFolderObj::kSharedFolder, false);
    EXPECT_EQ(sink->AddRef(), 1u);
    EXPECT_EQ(sink->AddRef(), 2u);
    EXPECT_EQ(sink->Release(), 1u);
    EXPECT_EQ(sink->Release(), 0u);
    EXPECT_EQ(sink->Release(), 0u) << "a count at 0 stays there";
    sink->SetDirtyFlag();  // still alive: the owner frees it
    EXPECT_TRUE(sink->TakeDirtyFlag());
}

TEST_F(ItemsEventsTest, NoTypeInformationIsOffered) {
    CItemsEvents sink(nullptr, CFolderObj::kSharedFolder);
    UINT count = 7;
    EXPECT_EQ(sink.GetTypeInfoCount(&count), E_NOTIMPL);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(sink.GetTypeInfoCount(nullptr), E_NOTIMPL);
    ITypeInfo* info = reinterpret_cast<ITypeInfo*>(0x1);
    EXPECT_EQ(sink.GetTypeInfo(0, 0, &info), E_NOTIMPL);
    EXPECT_EQ(info, nullptr);
    OLECHAR name[] = L"ItemAdd";
    OLECHAR* names[] = {name};
    DISPID id = 0;
    EXPECT_EQ(sink.GetIDsOfNames(IID_NULL, names, 1, 0, &id), E_NOTIMPL);
}

TEST_F(ItemsEventsTest, EachEventMarksTheFolderAsItsKindAndStoreSay) {
    StartEngine();
    const struct {
        const char* name;
        LONG kind;
        bool exchange;
        DISPID id;
        bool dirty;
        bool deleted;
        bool alternateRequest;
        const char* logLine;  // null: nothing logged
    } cases[] = {
        {"add", 0, false, 0xF001, true, false, false, "Add Evt team"},
        {"change", 0, false, 0xF002, true, false, false, "Change Evt team"},
        {"remove", 0, false, 0xF003, false, true, false, "Delete Evt team"},
        {"Exchange add", 0, true, 0xF001, true, false, false, "Add Evt team"},
        {"Exchange remove", 0, true, 0xF003, true, false, false, "Delete Evt team"},
        {"other DISPID", 0, false, 0xF004, false, false, false, nullptr},
        {"alternate add", 2, false, 0xF001, false, false, true, "alternate mailbox evt"},
        {"alternate change", 2, false, 0xF002, false, false, false, nullptr},
        {"alternate remove", 2, false, 0xF003, false, false, false, nullptr},
    };
    for (const auto& c : cases) {
        m_engine->m_alternateInboxRequest = false;
        auto sink = MakeSink(c.kind, c.exchange);
        std::size_t before = DebugLog().size();
        EXPECT_EQ(Fire(*sink, c.id), S_OK) << c.name;
        std::string added = DebugLog().substr(before);
        EXPECT_EQ(sink->TakeDirtyFlag(), c.dirty) << c.name;
        EXPECT_EQ(sink->TakeDeletedFlag(), c.deleted) << c.name;
        EXPECT_EQ(m_engine->m_alternateInboxRequest.load(), c.alternateRequest) << c.name;
        if (c.logLine)
            EXPECT_NE(added.find(c.logLine), std::string::npos) << c.name << ": " << added;
        else
            EXPECT_EQ(added, "") << c.name;
    }
}

TEST_F(ItemsEventsTest, EventsWithoutAStartedRunningEngineChangeNothing) {
    const struct {
        const char* name;
        std::function<void()> arrange;
    } cases[] = {
        {"no engine", [] { g_pEngine = nullptr; }},
        {"not started", [] {}},
        {"stopped",
         [this] {
             StartEngine();
             m_engine->m_alternateInboxRequest = false;  // the start asks for a pass
             m_engine->m_stopped = true;
         }},
    };
    for (const auto& c : cases) {
        c.arrange();
        for (LONG kind : {CFolderObj::kSharedFolder, CFolderObj::kAlternateInbox}) {
            auto sink = MakeSink(kind, false);
            for (DISPID id : {0xF001, 0xF002, 0xF003})
                EXPECT_EQ(Fire(*sink, id), S_OK) << c.name;
            EXPECT_FALSE(sink->TakeDirtyFlag()) << c.name;
            EXPECT_FALSE(sink->TakeDeletedFlag()) << c.name;
        }
        EXPECT_FALSE(m_engine->m_alternateInboxRequest.load()) << c.name;
        g_pEngine = m_engine.get();
    }
}

TEST_F(ItemsEventsTest, AlternateInboxAddRearmsTheHeartbeatAtFiveSeconds) {
    StartEngine();
    CHiddenWindow heartbeat;
    ASSERT_TRUE(heartbeat.Create());
    m_engine->SetHeartbeatWindow(heartbeat.Handle());
    heartbeat.Arm(USER_TIMER_MAXIMUM);  // would not fall due during the test
    auto sink = MakeSink(CFolderObj::kAlternateInbox, false);
    DWORD fired = GetTickCount();
    ASSERT_EQ(Fire(*sink, 0xF001), S_OK);
    // The fixture runs on the virtual clock: the wait ends when timer 1
    // falls due. Taken without dispatching: the heartbeat's own work is not
    // under test.
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 60000, QS_ALLINPUT), WAIT_OBJECT_0);
    MSG msg{};
    ASSERT_TRUE(PeekMessageW(&msg, heartbeat.Handle(), WM_TIMER, WM_TIMER, PM_REMOVE));
    EXPECT_EQ(msg.wParam, kHeartbeatTimerId) << "timer 1 was re-armed";
    EXPECT_EQ(GetTickCount() - fired, kHeartbeatNewMailPeriod);
    EXPECT_TRUE(m_engine->m_alternateInboxRequest.load());
    m_engine->SetHeartbeatWindow(nullptr);
    heartbeat.Destroy();
}

TEST_F(ItemsEventsTest, TakingAFlagWhoseLockIsHeldElsewhereTakesNothing) {
    for (bool deleted : {false, true}) {
        auto sink = MakeSink(CFolderObj::kSharedFolder, false);
        auto set = [&] { deleted ? sink->SetDeletedFlag() : sink->SetDirtyFlag(); };
        auto take = [&] { return deleted ? sink->TakeDeletedFlag() : sink->TakeDirtyFlag(); };
        set();
        std::atomic<bool> held{false}, release{false};
        std::thread holder([&] {
            CriticalSectionLock lock(sink->FlagLockForTesting(deleted));
            held = true;
            while (!release.load())
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        while (!held.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_FALSE(take()) << deleted;
        set();  // already set: returns without waiting for the lock
        release = true;
        holder.join();
        EXPECT_TRUE(take()) << "the flag stayed set: " << deleted;
        EXPECT_FALSE(take()) << "and taking cleared it: " << deleted;
    }
}

}  // namespace
