// The folder thread of an ordinary store over the object model stand-in and
// the real helper library, on the virtual platform clock: its schedule
// (dirty flag, removal first, the 2-minute check), FolderCheckLock only ever
// tried, the stopped engine, the run flag, its own session attached to the
// engine's; the inspector guard and LastFolderSyncTime.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "Quillmere/core/FolderObj.h"
#include "Quillmere/core/FolderTestSupport_test.h"
#include "Quillmere/core/HelperObjects.h"
#include "Quillmere/core/Settings.h"
#include "platform/win/Registry.h"

namespace {

using foldertest::FolderTest;

// The thread's turns of 1 s and its lock polls of 2 s put each check at an
// exact platform moment, counted from the moment StartFolder returns (the
// thread's "running" line, right before its first turn).
class FolderCheckThreadTest : public FolderTest {
protected:
    // Returns once this folder's thread logged its start (a line of an
    // earlier thread of the same share does not count).
    std::unique_ptr<CFolderObj> StartFolder(OlDefaultFolders which, const std::wstring& share) {
        auto folder = MakeFolder(DefaultFolder(which), share);
        const std::size_t before = DebugLog().size();
        folder->Start();
        EXPECT_NE(TickWhenLogged("Thread is running for " + win::PathToUtf8(share), before), 0u);
        return folder;
    }
    // The platform tick at which text is first in the debug log after the
    // log had `from` bytes; 0 when it did not come.
    DWORD TickWhenLogged(const std::string& text, std::size_t from = 0) {
        DWORD tick = 0;
        WaitFor([&] {
            std::string log = DebugLog();
            if (log.size() > from && log.find(text, from) != std::string::npos)
                tick = GetTickCount();
            return tick != 0;
        });
        return tick;
    }
};

TEST_F(FolderCheckThreadTest, DirtyFolderIsCheckedAtTheNextTurn) {
    StartEngine();
    auto folder = StartFolder(olFolderCalendar, L"team");
    std::size_t before = DebugLog().size();
    DWORD marked = GetTickCount();
    folder->Sink()->SetDirtyFlag();
    DWORD checked = TickWhenLogged("CheckFolder team (dirty)", before);
    ASSERT_NE(checked, 0u);
    EXPECT_EQ(checked - marked, 1000u) << "served at the next turn";
    EXPECT_FALSE(folder->Sink()->TakeDirtyFlag()) << "the thread took the flag";
}

TEST_F(FolderCheckThreadTest, ItemAddedThroughTheClientLeadsToACheck) {
    StartEngine();
    CComPtr<MAPIFolder> calendar = DefaultFolder(olFolderCalendar);
    auto folder = MakeFolder(calendar, L"team");
    folder->Start();
    ASSERT_TRUE(WaitForLog("Thread is running for team"));
    std::size_t before = DebugLog().size();
    AddItem(calendar, L"Meeting");
    DeliverEvents();
    EXPECT_NE(TickWhenLogged("CheckFolder team (dirty)", before), 0u);
}

TEST_F(FolderCheckThreadTest, WithoutEventsTheFolderIsComparedEveryTwoMinutes) {
    StartEngine();
    auto folder = StartFolder(olFolderCalendar, L"team");
    const DWORD running = GetTickCount();
    DWORD first = TickWhenLogged("CheckFolder team (2Min)");
    ASSERT_NE(first, 0u);
    std::size_t after = DebugLog().find("CheckFolder team (2Min)") + 1;
    DWORD second = TickWhenLogged("CheckFolder team (2Min)", after);
    ASSERT_NE(second, 0u);
    // The first turn more than 120 s after the last check: the 121st.
    EXPECT_EQ(first - running, 121000u);
    EXPECT_EQ(second - first, 121000u);
    EXPECT_EQ(Count(DebugLog(), "(dirty)"), 0u);
}

TEST_F(FolderCheckThreadTest, RemovalIsServedBeforeTheChangeOneTurnLater) {
    StartEngine();
    auto folder = StartFolder(olFolderCalendar, L"team");
    std::size_t before;
    {
        // While the lock is held elsewhere no check can start: both flags
        // wait for the same turn.
        EnterCriticalSection(&FolderCheckLock);
        before = DebugLog().size();
        folder->Sink()->SetDirtyFlag();
        folder->Sink()->SetDeletedFlag();
        Sleep(10000);  // the thread polls the lock every 2 s, at odd seconds
        EXPECT_EQ(DebugLog().substr(before).find("CheckFolder"), std::string::npos);
        LeaveCriticalSection(&FolderCheckLock);
    }
    const DWORD released = GetTickCount();
    const DWORD deletionAt = TickWhenLogged("CheckFolder4DeletedItems team", before);
    const DWORD changeAt = TickWhenLogged("CheckFolder team (dirty)", before);
    EXPECT_EQ(deletionAt - released, 1000u) << "at the next lock poll";
    EXPECT_EQ(changeAt - deletionAt, 1000u) << "one turn later";
    std::string log = DebugLog().substr(before);
    auto deletion = log.find("CheckFolder4DeletedItems team");
    ASSERT_NE(deletion, std::string::npos);
    EXPECT_LT(deletion, log.find("CheckFolder team (dirty)"));
    EXPECT_EQ(Count(log, "CheckFolder4DeletedItems team"), 1u);
}

TEST_F(FolderCheckThreadTest, TwoDirtyFoldersWaitForTheLockAndAreBothChecked) {
    StartEngine();
    auto first = StartFolder(olFolderCalendar, L"cal");
    auto second = StartFolder(olFolderContacts, L"con");
    EnterCriticalSection(&FolderCheckLock);
    std::size_t before = DebugLog().size();
    first->Sink()->SetDirtyFlag();
    second->Sink()->SetDirtyFlag();
    Sleep(10500);
    EXPECT_EQ(DebugLog().substr(before).find("CheckFolder"), std::string::npos);
    LeaveCriticalSection(&FolderCheckLock);
    EXPECT_NE(TickWhenLogged("CheckFolder cal (dirty)", before), 0u);
    EXPECT_NE(TickWhenLogged("CheckFolder con (dirty)", before), 0u);
}

TEST_F(FolderCheckThreadTest, LockWaitIsReportedOnlyWhileTheEngineRuns) {
    StartEngine();
    const struct {
        const char* name;
        bool stopped;
        bool reported;
    } cases[] = {{"running", false, true}, {"stopped", true, false}};
    for (const auto& c : cases) {
        auto folder = StartFolder(olFolderCalendar, L"team");
        m_engine->m_stopped = c.stopped;
        // The turn under way when the engine stopped still takes the lock,
        // at the turn's end 1 s on.
        Sleep(1500);
        std::size_t before = DebugLog().size();
        EnterCriticalSection(&FolderCheckLock);
        folder->Sink()->SetDirtyFlag();
        // More than 30 polls of 2 s, and a 2-minute tick on the way.
        Sleep(130000);
        std::string log = DebugLog().substr(before);
        EXPECT_EQ(log.find("wait4folder 1 Min.!!! team") != std::string::npos, c.reported)
            << c.name << ": " << log;
        LeaveCriticalSection(&FolderCheckLock);
        if (c.stopped) {
            Sleep(10500);
            EXPECT_EQ(DebugLog().substr(before).find("CheckFolder"), std::string::npos) << c.name;
            EXPECT_TRUE(folder->Sink()->TakeDirtyFlag()) << "the flag waits: " << c.name;
        }
        m_engine->m_stopped = false;
        folder.reset();
    }
}

TEST_F(FolderCheckThreadTest, ClearedRunFlagEndsTheThreadWithinATurn) {
    StartEngine();
    for (bool lockHeld : {false, true}) {
        auto folder = StartFolder(olFolderCalendar, L"team");
        std::size_t before = DebugLog().size();
        auto stopAndWait = [&] {
            DWORD stopped = GetTickCount();
            folder->Stop();
            EXPECT_TRUE(WaitFor([&] { return !folder->IsThreadAlive(); })) << lockHeld;
            // The turn under way ends; with the lock held, its first lock
            // poll (2 s later) sees the flag down.
            EXPECT_EQ(GetTickCount() - stopped, lockHeld ? 3000u : 1000u) << lockHeld;
        };
        if (lockHeld) {
            EnterCriticalSection(&FolderCheckLock);
            stopAndWait();
            LeaveCriticalSection(&FolderCheckLock);
        } else {
            stopAndWait();
        }
        EXPECT_NE(TickWhenLogged("Thread team ended", before), 0u) << lockHeld;
    }
}

TEST_F(FolderCheckThreadTest, DestructionWaitsForTheThreadToEnd) {
    StartEngine();
    auto folder = StartFolder(olFolderCalendar, L"team");
    folder->Sink()->SetDirtyFlag();
    folder.reset();
    // The thread's last line follows its last access to the object.
    EXPECT_TRUE(WaitForLog("Thread team ended"));
}

TEST_F(FolderCheckThreadTest, EmptyFolderListIsLoadedTwiceAndReported) {
    StartEngine();
    auto folder = StartFolder(olFolderNotes, L"notes");
    EXPECT_TRUE(WaitFor([&] {
        return ErrorLog().find("Folder is empty, or cacheload failed") != std::string::npos;
    })) << ErrorLog();
}

TEST_F(FolderCheckThreadTest, MissingUtilitiesEndTheThreadWithoutAMessageBox) {
    StartEngine();
    SetHelperObjectCreatorForTesting(
        [](const wchar_t*, REFIID, void**) -> HRESULT { return REGDB_E_CLASSNOTREG; });
    auto folder = MakeFolder(DefaultFolder(olFolderCalendar), L"team");
    folder->Start();
    EXPECT_TRUE(WaitFor([&] { return !folder->IsThreadAlive(); }));
    SetHelperObjectCreatorForTesting(nullptr);
    std::string errors = ErrorLog();
    EXPECT_NE(errors.find("ERROR: no mutils Interface..: 0x80040154"), std::string::npos) << errors;
    EXPECT_LT(errors.find("no mutils Interface.."), errors.find("thread is not running"));
    EXPECT_TRUE(win::MessageBoxCalls().empty());
    EXPECT_FALSE(DebugLogHas("Thread is running for team"));
}

TEST_F(FolderCheckThreadTest, ThreadSessionIsAttachedToTheEnginesSession) {
    StartEngine();
    auto started = MakeFolder(DefaultFolder(olFolderCalendar), L"team");
    started->Start();
    auto unstarted = MakeFolder(DefaultFolder(olFolderContacts), L"other");
    HRESULT startedResult = E_FAIL, unstartedResult = S_OK;
    std::wstring profile;
    std::thread worker([&] {
        CoInitialize(nullptr);
        {
            CComPtr<QMRRDOSession> session;
            startedResult = started->CreateThreadSession(&session);
            CComBSTR name;
            if (session && SUCCEEDED(session->GetProfileName(&name)))
                profile = name.View();
            CComPtr<QMRRDOSession> none;
            unstartedResult = unstarted->CreateThreadSession(&none);
            EXPECT_EQ(none.p, nullptr);
        }
        CoUninitialize();
    });
    worker.join();
    EXPECT_EQ(startedResult, S_OK);
    EXPECT_EQ(profile, L"Outlook");
    EXPECT_TRUE(FAILED(unstartedResult)) << "no engine session was taken without Start";
    EXPECT_NE(ErrorLog().find("ERROR: no session"), std::string::npos);
}

class InspectorGuardTest : public FolderCheckThreadTest {
protected:
    void TearDown() override {
        m_app->CloseInspector();
        FolderCheckThreadTest::TearDown();
    }
};

TEST_F(InspectorGuardTest, OpenItemPutsChecksOffAndLetsOneThroughEveryTenMinutes) {
    CComPtr<MAPIFolder> calendar = DefaultFolder(olFolderCalendar);
    auto folder = MakeFolder(calendar, L"team");
    CComPtr<QMRMAPIUtils> utils;
    ASSERT_EQ(CreateMAPIUtils(m_engine.get(), &utils), S_OK);
    EXPECT_FALSE(folder->IsItemOpenInInspector(utils)) << "no inspector";

    CComPtr<IDispatch> other = AddItem(DefaultFolder(olFolderContacts), L"Somebody");
    ASSERT_EQ(m_app->OpenInspector(other, L"Somebody"), S_OK);
    EXPECT_FALSE(folder->IsItemOpenInInspector(utils)) << "an item of another folder";

    CComPtr<IDispatch> item = AddItem(calendar, L"Meeting");
    ASSERT_EQ(m_app->OpenInspector(item, L"Meeting"), S_OK);
    // The clock (virtual) moves only as the test sets it.
    const ULONGLONG start = 1000000;
    // Fifteen minutes of checks, one a second: exactly one comes through,
    // the first one past 600 s of putting off.
    int through = 0;
    ULONGLONG throughAt = 0;
    for (ULONGLONG second = 0; second <= 15 * 60; ++second) {
        win::SetTickCountForTesting(start + second * 1000);
        if (!folder->IsItemOpenInInspector(utils)) {
            ++through;
            throughAt = second;
        }
    }
    EXPECT_EQ(through, 1);
    EXPECT_EQ(throughAt, 601u) << "the first second past 600 s";
    EXPECT_TRUE(DebugLogHas("Inspector open"));
    EXPECT_EQ(Count(DebugLog(), "Inspector timeout"), 1u);

    m_app->CloseInspector();
    EXPECT_FALSE(folder->IsItemOpenInInspector(utils));
}

class LastFolderSyncTimeTest : public FolderCheckThreadTest {
protected:
    std::wstring KeyPath(const CFolderObj& folder) {
        return std::wstring(kFoldersKeyPath) + L"\\" + folder.Sink()->m_entryId;
    }
    void CreateKey(const CFolderObj& folder) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, KeyPath(folder).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void SetValue(const CFolderObj& folder, DWORD type, const BYTE* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(
            RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(folder).c_str(), 0, KEY_ALL_ACCESS, &key),
            ERROR_SUCCESS);
        RegSetValueExW(key, L"LastFolderSyncTime", 0, type, data, size);
        RegCloseKey(key);
    }
    static DATE Now() {
        SYSTEMTIME now;
        GetLocalTime(&now);
        DATE date = 0;
        SystemTimeToVariantTime(&now, &date);
        return date;
    }
};

// 46000.5 (2025-12-09 12:00) as the registry holds it: little-endian double.
const BYTE kStoredDate[8] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x76, 0xE6, 0x40};

TEST_F(LastFolderSyncTimeTest, MissingOrUnusableValuesReadAsSixDaysAgo) {
    const DWORD four = 4;
    const struct {
        const char* name;
        bool key;
        DWORD type;  // 0: no value
        const BYTE* data;
        DWORD size;
        const char* logLine;
        double expected;  // < 0: six days before now
    } cases[] = {
        {"no key", false, 0, nullptr, 0, "gFT::no key::reset2:", -1},
        {"no value", true, 0, nullptr, 0, "gFT::no value::reset2:", -1},
        {"a number", true, REG_DWORD, reinterpret_cast<const BYTE*>(&four), 4,
         "gFT::no value::reset2:", -1},
        {"too short", true, REG_BINARY, kStoredDate, 4, "gFT::no value::reset2:", -1},
        {"a date", true, REG_BINARY, kStoredDate, 8, "gFT::last: 09122025-120000", 46000.5},
    };
    int n = 0;
    for (const auto& c : cases) {
        auto folder = std::make_unique<CFolderObj>(nullptr, CFolderObj::kSharedFolder, false,
                                                   L"00AB" + std::to_wstring(n++), L"AA");
        if (c.key)
            CreateKey(*folder);
        if (c.type != 0)
            SetValue(*folder, c.type, c.data, c.size);
        std::size_t before = DebugLog().size();
        DATE time = 0;
        EXPECT_TRUE(folder->GetLastFolderSyncTime(&time)) << c.name;
        if (c.expected < 0)
            EXPECT_NEAR(time, Now() - 6.0, 0.01) << c.name;
        else
            EXPECT_EQ(time, c.expected) << c.name;
        EXPECT_NE(DebugLog().substr(before).find(c.logLine), std::string::npos)
            << c.name << ": " << DebugLog().substr(before);
    }
    CFolderObj folder(nullptr, CFolderObj::kSharedFolder, false, L"00CD", L"AA");
    EXPECT_FALSE(folder.GetLastFolderSyncTime(nullptr));
}

TEST_F(LastFolderSyncTimeTest, SavedTimeIsEightLittleEndianBytesReadBack) {
    auto folder =
        std::make_unique<CFolderObj>(nullptr, CFolderObj::kSharedFolder, false, L"00EF", L"AA");
    CreateKey(*folder);
    folder->SaveLastFolderSyncTime(46000.5);
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(*folder).c_str(), 0, KEY_READ, &key),
              ERROR_SUCCESS);
    BYTE bytes[16] = {};
    DWORD type = 0, size = sizeof bytes;
    ASSERT_EQ(RegQueryValueExW(key, L"LastFolderSyncTime", nullptr, &type, bytes, &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, REG_BINARY);
    ASSERT_EQ(size, 8u);
    EXPECT_EQ(std::memcmp(bytes, kStoredDate, 8), 0);
    DATE time = 0;
    EXPECT_TRUE(folder->GetLastFolderSyncTime(&time));
    EXPECT_EQ(time, 46000.5);
}

TEST_F(LastFolderSyncTimeTest, SaveNeitherCreatesTheKeyNorWritesForAnAlternateInbox) {
    CFolderObj shared(nullptr, CFolderObj::kSharedFolder, false, L"0A0A", L"AA");
    shared.SaveLastFolderSyncTime(46000.5);
    EXPECT_NE(ErrorLog().find("LastFolderSyncTime"), std::string::npos);
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(shared).c_str(), 0, KEY_READ, &key),
              ERROR_SUCCESS);

    CFolderObj inbox(nullptr, CFolderObj::kAlternateInbox, false, L"0B0B", L"AA");
    CreateKey(inbox);
    inbox.SaveLastFolderSyncTime(46000.5);
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, KeyPath(inbox).c_str(), 0, KEY_READ, &key),
              ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    EXPECT_NE(RegQueryValueExW(key, L"LastFolderSyncTime", nullptr, &type, nullptr, &size),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

}  // namespace
