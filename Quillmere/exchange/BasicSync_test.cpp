// The basic synchronisation over the object model stand-in, the real helper
// library and a profile made for the test: the question decides, the
// exchange threads are stopped and started again, every item is queued once
// (or marked, in an Exchange folder), the progress window can end the
// transfer, and the hidden form items follow.
#include "Quillmere/exchange/BasicSync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Quillmere/core/AddinGlobals.h"
#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/SyncEngine.h"
#include "Quillmere/exchange/ExchangeProfileFixture_test.h"
#include "Quillmere/tracking/SyncId.h"
#include "Quillmere/ui/BasicSyncQuestion.h"
#include "Quillmere/ui/Progress.h"
#include "platform/win/Clock.h"
#include "platform/win/Dialog.h"
#include "platform/win/UserInput.h"
#include "platform/win/Window.h"

namespace {

using namespace exchangetest;

constexpr wchar_t kAppointmentSet[] = L"{00062002-0000-0000-C000-000000000046}";
constexpr LONG kAppointmentEndId = 0x820E;
constexpr ULONG kPropTypeSysTime = 0x0040;

struct Queued {
    std::wstring syncId;
    bool form = false;
    LONG runningThreads = -1;
};
std::vector<Queued> g_queued;
std::function<void()> g_onQueue;
std::atomic<int> g_threadStarts{0};

std::wstring HexOf(const VARIANT& binary) {
    std::wstring text;
    if (binary.vt != (VT_ARRAY | VT_UI1) || !binary.parray)
        return text;
    const unsigned char* data = static_cast<const unsigned char*>(binary.parray->pvData);
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    for (ULONG i = 0; i < binary.parray->rgsabound[0].cElements; ++i) {
        text += kDigits[data[i] >> 4];
        text += kDigits[data[i] & 15];
    }
    return text;
}

HRESULT RecordQueued(CSyncEngine*, QMRRDOSession*, QMRMAPIUtils*, VARIANT* syncId, CFolderObj*,
                     bool formFlag) {
    g_queued.push_back({HexOf(*syncId), formFlag, GetRunningThreadCount()});
    VariantClear(syncId);
    if (g_onQueue)
        g_onQueue();
    return S_OK;
}

// Stands in for an exchange thread: counted (by StartThreads) while it runs,
// until StopFlag.
unsigned FakeExchangeThread(void*) {
    ++g_threadStarts;
    while (!StopFlag.load())
        Sleep(10);
    DecrementRunningThreadCount();
    return 0;
}

// An exchange thread that is in the middle of a long step when the stop
// comes: still counted for a platform minute after StopFlag.
unsigned SlowToStopExchangeThread(void*) {
    ++g_threadStarts;
    while (!StopFlag.load())
        Sleep(10);
    Sleep(60000);
    DecrementRunningThreadCount();
    return 0;
}

HWND FindProgressWindow() {
    HWND found = nullptr;
    EnumChildWindows(
        nullptr,
        [](HWND hwnd, LPARAM out) -> BOOL {
            if (GetParent(hwnd) == nullptr || GetAncestor(hwnd, GA_PARENT) == GetDesktopWindow()) {
                if (GetDlgItem(hwnd, ui::kProgressBar) && IsWindowVisible(hwnd)) {
                    *reinterpret_cast<HWND*>(out) = hwnd;
                    return FALSE;
                }
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    return found;
}

class BasicSyncTest : public ExchangeProfileTest {
protected:
    void SetUp() override {
        ExchangeProfileTest::SetUp();
        g_queued.clear();
        g_onQueue = nullptr;
        g_threadStarts = 0;
        SetQueueSyncMessageForTesting(&RecordQueued);
        ExchangeThreadProcs procs;
        procs.delMailSendThread = &FakeExchangeThread;
        procs.mailSendThread = &FakeExchangeThread;
        procs.importFromInboxThread = &FakeExchangeThread;
        SetExchangeThreadProcs(procs);
        // Outlook's main window, which owns the question.
        m_explorer = CreateWindowExW(0, L"STATIC", L"Inbox - Microsoft Outlook", WS_POPUP, 0, 0,
                                     400, 300, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(m_explorer, nullptr);
    }
    void TearDown() override {
        SetQueueSyncMessageForTesting(nullptr);
        g_onQueue = nullptr;
        m_folders.clear();
        if (m_explorer)
            DestroyWindow(m_explorer);
        ExchangeProfileTest::TearDown();
    }

    // A new folder beside the Inbox.
    CComPtr<QMRMAPIFolder> NewFolder(const wchar_t* name) {
        CComPtr<QMRMAPIFolder> inbox = DefaultFolder(kInbox), parent, folder;
        CComPtr<QMRFolders> folders;
        EXPECT_EQ(inbox->GetParent(&parent), S_OK);
        EXPECT_EQ(parent->GetFolders(&folders), S_OK);
        EXPECT_EQ(folders->Add(CComBSTR(name), &folder), S_OK);
        return folder;
    }

    // The configuration loading's object for folder.
    CFolderObj* FolderObject(QMRMAPIFolder* folder, bool exchange) {
        CComBSTR entryId, storeId;
        EXPECT_EQ(folder->GetEntryID(&entryId), S_OK);
        EXPECT_EQ(folder->GetStoreID(&storeId), S_OK);
        CComPtr<MAPIFolder> outlookFolder;
        EXPECT_EQ(
            m_app->NameSpace()->GetFolderFromID(entryId, CComVariant(storeId), &outlookFolder),
            S_OK);
        m_folders.push_back(std::make_unique<CFolderObj>(outlookFolder, CFolderObj::kSharedFolder,
                                                         exchange, std::wstring(entryId),
                                                         std::wstring(storeId)));
        m_folders.back()->m_shareName = L"Team";
        return m_folders.back().get();
    }

    std::wstring SearchKey(QMRMessage* message) {
        CComVariant key;
        EXPECT_EQ(message->GetFields(CComVariant(static_cast<LONG>(kTagSearchKey), VT_I4), &key),
                  S_OK);
        return HexOf(key);
    }

    void RunThreads() {
        StartThreads(m_engine.get());
        ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 3; }));
    }

    struct Answer {
        int button = IDOK;
        bool tick = false;
    };
    struct Asked {
        std::wstring caption;
        HWND owner = nullptr;
        bool checkEnabled = false;
        int times = 0;
    };
    void AnswerWith(Answer answer) {
        win::SetModalDialogHandler([this, answer](const win::ModalDialogCall& call) {
            ++m_asked.times;
            m_asked.caption = call.caption;
            m_asked.owner = call.owner;
            HWND check = GetDlgItem(call.dialog, ui::kOnlyNewItemsCheck);
            m_asked.checkEnabled = IsWindowEnabled(check) != FALSE;
            if (answer.tick)
                win::ClickButton(check);
            win::ClickButton(GetDlgItem(call.dialog, answer.button));
        });
    }

    std::vector<std::wstring> QueuedIds(bool form) {
        std::vector<std::wstring> ids;
        for (const Queued& q : g_queued) {
            EXPECT_EQ(q.form, form);
            ids.push_back(q.syncId);
        }
        return ids;
    }

    LONG BasicId(QMRMessage* message) {
        ULONG tag = 0;
        EXPECT_EQ(GetNamedPropertyTag(Utils(), message, kQuillmerePropertySet, kBasicIdName,
                                      kPropTypeLong, true, tag),
                  S_OK);
        CComVariant value;
        Utils()->HrGetOneProp(message, tag, &value);
        return value.vt == VT_I4 ? value.lVal : 0;
    }

    void SetAppointmentEnd(QMRMessage* message, double daysFromNow) {
        ULONG tag = 0;
        ASSERT_EQ(
            Utils()->GetIDsFromNames(message, CComBSTR(kAppointmentSet),
                                     CComVariant(kAppointmentEndId, VT_I4), VARIANT_TRUE, &tag),
            S_OK);
        SYSTEMTIME now{};
        GetSystemTime(&now);
        DATE date = 0;
        SystemTimeToVariantTime(&now, &date);
        CComVariant value;
        value.vt = VT_DATE;
        value.date = date + daysFromNow;
        ASSERT_EQ(Utils()->HrSetOneProp(message, (tag & 0xFFFF0000) | kPropTypeSysTime, value,
                                        VARIANT_TRUE),
                  S_OK);
    }

    HWND m_explorer = nullptr;
    Asked m_asked;
    std::vector<std::unique_ptr<CFolderObj>> m_folders;
};

TEST_F(BasicSyncTest, YesQueuesEveryItemOnceWhileTheThreadsStandAndRestartsThem) {
    CComPtr<QMRMAPIFolder> shared = NewFolder(L"Shared");
    std::vector<std::wstring> keys;
    for (const wchar_t* subject : {L"a", L"b", L"c"})
        keys.push_back(SearchKey(AddMessage(shared, subject, L"x")));
    CFolderObj* folder = FolderObject(shared, false);
    RunThreads();
    AnswerWith({IDOK, false});

    BasicSync(m_engine.get(), folder);
    EXPECT_EQ(m_asked.times, 1);
    EXPECT_EQ(m_asked.caption, L"Basic synchronization:Shared");
    EXPECT_EQ(m_asked.owner, m_explorer);
    EXPECT_FALSE(m_asked.checkEnabled);  // not an appointment folder
    EXPECT_EQ(QueuedIds(false), keys);
    for (const Queued& q : g_queued)
        EXPECT_EQ(q.runningThreads, 0);
    EXPECT_FALSE(StopFlag.load());
    EXPECT_TRUE(WaitFor([] { return GetRunningThreadCount() == 3 && g_threadStarts == 6; }));
    EXPECT_EQ(FindProgressWindow(), nullptr);
    std::string log = DebugLog();
    EXPECT_NE(log.find("BS:onlyFutureItems"), std::string::npos);
    EXPECT_NE(log.find("BS:CheckIfBS"), std::string::npos);
    EXPECT_NE(log.find("BS:End"), std::string::npos);
}

TEST_F(BasicSyncTest, ItemsAreQueuedOnlyOnceEveryExchangeThreadHasEnded) {
    CComPtr<QMRMAPIFolder> shared = NewFolder(L"Shared");
    for (const wchar_t* subject : {L"a", L"b"})
        AddMessage(shared, subject, L"x");
    CFolderObj* folder = FolderObject(shared, false);
    ExchangeThreadProcs procs;
    procs.delMailSendThread = &FakeExchangeThread;
    procs.mailSendThread = &SlowToStopExchangeThread;
    procs.importFromInboxThread = &FakeExchangeThread;
    SetExchangeThreadProcs(procs);
    RunThreads();
    AnswerWith({IDOK, false});
    BasicSync(m_engine.get(), folder);
    ASSERT_EQ(g_queued.size(), 2u);
    for (const Queued& q : g_queued)
        EXPECT_EQ(q.runningThreads, 0) << "queued while an exchange thread still ran";
}

TEST_F(BasicSyncTest, NoLeavesTheThreadsRunningAndQueuesNothing) {
    CComPtr<QMRMAPIFolder> shared = NewFolder(L"Shared");
    AddMessage(shared, L"a", L"x");
    CFolderObj* folder = FolderObject(shared, false);
    RunThreads();
    AnswerWith({IDCANCEL, true});
    BasicSync(m_engine.get(), folder);
    EXPECT_EQ(m_asked.times, 1);
    EXPECT_TRUE(g_queued.empty());
    EXPECT_FALSE(StopFlag.load());
    EXPECT_EQ(GetRunningThreadCount(), 3);
    EXPECT_EQ(g_threadStarts.load(), 3);
    EXPECT_NE(DebugLog().find("BS:cancel"), std::string::npos);
}

TEST_F(BasicSyncTest, ClosingTheProgressWindowEndsTheTransferAfterTheCurrentItem) {
    CComPtr<QMRMAPIFolder> shared = NewFolder(L"Shared");
    for (const wchar_t* subject : {L"a", L"b", L"c", L"d"})
        AddMessage(shared, subject, L"x");
    CFolderObj* folder = FolderObject(shared, false);
    RunThreads();
    AnswerWith({IDOK, false});
    g_onQueue = [] {
        if (g_queued.size() == 1) {
            HWND progress = FindProgressWindow();
            ASSERT_NE(progress, nullptr);
            SendMessageW(progress, WM_CLOSE, 0, 0);  // the close box
        }
    };
    BasicSync(m_engine.get(), folder);
    EXPECT_EQ(g_queued.size(), 1u);
    EXPECT_TRUE(WaitFor([] { return GetRunningThreadCount() == 3 && g_threadStarts == 6; }));
}

TEST_F(BasicSyncTest, ExchangeItemsGainTheBasicSyncMarkOnEachRun) {
    CComPtr<QMRMAPIFolder> shared = NewFolder(L"Shared");
    CComPtr<QMRMessage> first = AddMessage(shared, L"a", L"x");
    CComPtr<QMRMessage> second = AddMessage(shared, L"b", L"x");
    CFolderObj* folder = FolderObject(shared, true);
    AnswerWith({IDOK, false});
    for (LONG run = 1; run <= 2; ++run) {
        SCOPED_TRACE(run);
        BasicSync(m_engine.get(), folder);
        for (QMRMessage* message : {first.p, second.p}) {
            CComBSTR entryId;
            ASSERT_EQ(message->GetEntryID(&entryId), S_OK);
            CComPtr<QMRMessage> fresh;
            ASSERT_EQ(Session()->GetMessageFromID(entryId, nullptr, CComVariant(), &fresh), S_OK);
            EXPECT_EQ(BasicId(fresh), run);
        }
        ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 3; }));
    }
    EXPECT_TRUE(g_queued.empty());  // the Exchange change scan queues them
    EXPECT_NE(DebugLog().find("BS:ExchangeMarkAsBS::OK"), std::string::npos);
}

TEST_F(BasicSyncTest, EmptyFolderStillQueuesItsHiddenFormItemsAndRestartsTheThreads) {
    CComPtr<QMRMAPIFolder> shared = NewFolder(L"Shared");
    CComPtr<QMRItems> hidden;
    ASSERT_EQ(shared->GetHiddenItems(&hidden), S_OK);
    std::vector<std::wstring> forms;
    for (const wchar_t* cls :
         {L"IPM.Microsoft.FolderDesign.FormsDescription", L"IPM.Configuration.Something",
          L"IPM.MICROSOFT.FOLDERDESIGN.FORMSDESCRIPTION"}) {
        CComPtr<QMRMessage> item;
        ASSERT_EQ(hidden->Add(CComVariant(cls), &item), S_OK);
        ASSERT_EQ(item->PutSubject(CComBSTR(cls)), S_OK);
        ASSERT_EQ(item->Save(), S_OK);
        if (std::wstring(cls).find(L"Configuration") == std::wstring::npos)
            forms.push_back(SearchKey(item));
    }
    ASSERT_EQ(CountOf(shared), 0);
    CFolderObj* folder = FolderObject(shared, false);
    RunThreads();
    AnswerWith({IDOK, false});
    BasicSync(m_engine.get(), folder);
    EXPECT_EQ(QueuedIds(true), forms);
    EXPECT_TRUE(WaitFor([] { return GetRunningThreadCount() == 3 && g_threadStarts == 6; }));
    EXPECT_NE(DebugLog().find("ProcessHiddenItem: IPM.Configuration.Something"), std::string::npos);
}

TEST_F(BasicSyncTest, OnlyNewItemsIsOfferedForAppointmentFoldersAndSkipsPastOnes) {
    struct Case {
        bool calendar;
        bool tick;
        bool checkEnabled;
        std::vector<int> queued;  // indexes of the items: 0 past, 1 future
    };
    const Case cases[] = {
        {true, true, true, {1}},
        {true, false, true, {0, 1}},
        {false, true, false, {0, 1}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(n);
        g_queued.clear();
        CComPtr<QMRMAPIFolder> target = c.calendar
                                            ? DefaultFolder(kCalendar)
                                            : NewFolder((L"Mails" + std::to_wstring(n)).c_str());
        while (CountOf(target) > 0)
            ASSERT_EQ(ItemOf(target, 1)->Delete(0), S_OK);
        ++n;
        std::vector<std::wstring> keys;
        for (double days : {-2.0, 2.0}) {
            CComPtr<QMRMessage> item =
                AddMessage(target, L"item", L"x", c.calendar ? L"IPM.Appointment" : L"IPM.Note");
            SetAppointmentEnd(item, days);
            keys.push_back(SearchKey(item));
        }
        CFolderObj* folder = FolderObject(target, false);
        AnswerWith({IDOK, c.tick});
        BasicSync(m_engine.get(), folder);
        EXPECT_EQ(m_asked.checkEnabled, c.checkEnabled);
        std::vector<std::wstring> expected;
        for (int i : c.queued)
            expected.push_back(keys[i]);
        EXPECT_EQ(QueuedIds(false), expected);
        ASSERT_TRUE(WaitFor([] { return GetRunningThreadCount() == 3; }));
    }
}

TEST_F(BasicSyncTest, UnreachableFolderEndsBeforeTheQuestion) {
    CFolderObj folder(nullptr, CFolderObj::kSharedFolder, false, L"00FF00FF", L"");
    AnswerWith({IDOK, false});
    BasicSync(m_engine.get(), &folder);
    EXPECT_EQ(m_asked.times, 0);
    EXPECT_FALSE(StopFlag.load());
    EXPECT_EQ(g_threadStarts.load(), 0);
    EXPECT_NE(ErrorLog().find("BasicSync:no folder 2 basicsync"), std::string::npos);
}

TEST_F(BasicSyncTest, AlternateInboxIsLeftAlone) {
    CComPtr<QMRMAPIFolder> shared = NewFolder(L"Shared");
    AddMessage(shared, L"a", L"x");
    CComBSTR entryId, storeId;
    shared->GetEntryID(&entryId);
    shared->GetStoreID(&storeId);
    CFolderObj folder(nullptr, CFolderObj::kAlternateInbox, false, std::wstring(entryId),
                      std::wstring(storeId));
    AnswerWith({IDOK, false});
    BasicSync(m_engine.get(), &folder);
    EXPECT_EQ(m_asked.times, 0);
    EXPECT_TRUE(g_queued.empty());
}

}  // namespace
