#include "platform/win/Threads.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/win/Clock.h"
#include "platform/win/Errors.h"
#include "platform/win/Event.h"
#include "platform/win/VirtualClockTestSupport.h"

namespace {

HANDLE AsHandle(std::uintptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

struct GateArgs {
    HANDLE go;
    DWORD seenId = 0;
};

unsigned WaitForGateThenReturn42(void* p) {
    auto* args = static_cast<GateArgs*>(p);
    args->seenId = GetCurrentThreadId();
    WaitForSingleObject(args->go, INFINITE);
    return 42;
}

TEST(ThreadsTest, StartWaitAndExitCode) {
    GateArgs args{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    unsigned id = 0;
    HANDLE h = AsHandle(_beginthreadex(nullptr, 0, &WaitForGateThenReturn42, &args, 0, &id));
    ASSERT_NE(h, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());

    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    SetEvent(args.go);
    EXPECT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(args.seenId, id) << "the id given to the creator is the thread's own";
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0) << "stays signalled";
    EXPECT_TRUE(CloseHandle(h));
    CloseHandle(args.go);
}

// Set by the destructor of a thread_local object of the thread under test.
std::atomic<bool> g_threadLocalDestroyed{false};
std::atomic<bool> g_afterEndReached{false};
std::atomic<bool> g_localDestroyed{false};

struct MarksThreadLocalDestroyed {
    ~MarksThreadLocalDestroyed() {
        // Gives a wrong ordering (handle signalled first) a chance to show.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        g_threadLocalDestroyed = true;
    }
};
thread_local MarksThreadLocalDestroyed t_marker;

struct MarksLocalDestroyed {
    ~MarksLocalDestroyed() { g_localDestroyed = true; }
};

[[noreturn]] void Nested(int depth) {
    MarksLocalDestroyed local;
    if (depth == 0)
        _endthreadex(7);
    Nested(depth - 1);
}

unsigned EndsFromANestedCall(void*) {
    (void)&t_marker;  // constructs this thread's marker
    Nested(3);
    g_afterEndReached = true;
    return 1;
}

TEST(ThreadsTest, EndthreadexFromANestedCallEndsTheThread) {
    g_threadLocalDestroyed = false;
    g_afterEndReached = false;
    g_localDestroyed = false;
    HANDLE h = AsHandle(_beginthreadex(nullptr, 0, &EndsFromANestedCall, nullptr, 0, nullptr));
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(g_threadLocalDestroyed.load()) << "signalled only after thread_local cleanup";
    EXPECT_FALSE(g_afterEndReached.load());
    EXPECT_TRUE(g_localDestroyed.load()) << "the stack is unwound";
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(h, &code));
    EXPECT_EQ(code, 7u);
    CloseHandle(h);
}

unsigned ReturnsNormallyWithAThreadLocal(void*) {
    (void)&t_marker;
    return 3;
}

TEST(ThreadsTest, ThreadLocalsAreDestroyedBeforeTheHandleIsSignalled) {
    g_threadLocalDestroyed = false;
    HANDLE h =
        AsHandle(_beginthreadex(nullptr, 0, &ReturnsNormallyWithAThreadLocal, nullptr, 0, nullptr));
    ASSERT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(g_threadLocalDestroyed.load());
    CloseHandle(h);
}

TEST(ThreadsTest, SuspendedThreadRunsOnlyAfterResume) {
    // On the virtual clock a suspended thread lets time pass: a platform
    // minute goes by with the thread still suspended.
    win::testing::VirtualClock clock;
    std::atomic<bool> ran{false};
    DWORD id = 0;
    HANDLE h = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            static_cast<std::atomic<bool>*>(p)->store(true);
            return 5;
        },
        &ran, CREATE_SUSPENDED, &id);
    ASSERT_NE(h, nullptr);
    EXPECT_NE(id, 0u);
    const ULONGLONG start = win::NowPlatformMs();
    Sleep(60000);
    EXPECT_EQ(win::NowPlatformMs() - start, 60000u);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
    EXPECT_EQ(ResumeThread(h), 1u);
    ASSERT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(ran.load());
    DWORD code = 0;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 5u);
    EXPECT_EQ(ResumeThread(h), 0u);
    CloseHandle(h);
}

TEST(ThreadsTest, BeginthreadHandleClosesItselfAtTheEnd) {
    win::testing::VirtualClock clock;
    const ULONGLONG start = win::NowPlatformMs();
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const std::uintptr_t value = _beginthread(
        [](void* p) {
            SetEvent(static_cast<HANDLE>(p));
            _endthread();
        },
        0, done);
    ASSERT_NE(value, static_cast<std::uintptr_t>(-1));
    ASSERT_EQ(WaitForSingleObject(done, 5000), WAIT_OBJECT_0);
    // The handle goes at the thread's end, before the clock stops counting
    // it: by the first moment every counted thread waits, it is gone.
    EXPECT_TRUE(
        win::WaitForCondition([&] { return win::LookupHandle(AsHandle(value)) == nullptr; }, 1000));
    EXPECT_EQ(win::NowPlatformMs(), start) << "no time passed";
    EXPECT_FALSE(CloseHandle(AsHandle(value)));
    CloseHandle(done);
}

TEST(ThreadsTest, WaitTimeoutRunsOnThePlatformClock) {
    win::testing::VirtualClock clock;
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE h = AsHandle(_beginthreadex(
        nullptr, 0,
        [](void* p) -> unsigned {
            WaitForSingleObject(static_cast<HANDLE>(p), INFINITE);
            return 0;
        },
        go, 0, nullptr));
    const ULONGLONG start = win::NowPlatformMs();
    EXPECT_EQ(WaitForSingleObject(h, 120000), WAIT_TIMEOUT);  // two platform minutes
    EXPECT_EQ(win::NowPlatformMs() - start, 120000u);
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(h, 120000), WAIT_OBJECT_0);
    EXPECT_EQ(win::NowPlatformMs() - start, 120000u) << "the end is seen at once";
    CloseHandle(h);
    CloseHandle(go);
}

TEST(ThreadsTest, BadArgumentsAndHandles) {
    EXPECT_EQ(_beginthreadex(nullptr, 0, nullptr, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(_beginthread(nullptr, 0, nullptr), static_cast<std::uintptr_t>(-1));
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(event, &code));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(ResumeThread(event), static_cast<DWORD>(-1));
    CloseHandle(event);
}

TEST(ThreadsTest, SmallStackSizeIsHonouredOrRaisedToTheMinimum) {
    HANDLE h = AsHandle(_beginthreadex(
        nullptr, 1024, [](void*) -> unsigned { return 9; }, nullptr, 0, nullptr));
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(WaitForSingleObject(h, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(h, &code);
    EXPECT_EQ(code, 9u);
    CloseHandle(h);
}

TEST(ThreadsTest, CurrentThreadIdIsTheHostThreadId) {
    EXPECT_EQ(GetCurrentThreadId(), static_cast<DWORD>(syscall(SYS_gettid)));
    DWORD other = 0;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(other, GetCurrentThreadId());
    EXPECT_EQ(GetCurrentProcessId(), static_cast<DWORD>(getpid()));
}

TEST(TlsTest, SlotsArePerThread) {
    const DWORD slot = TlsAlloc();
    ASSERT_NE(slot, TLS_OUT_OF_INDEXES);
    int mine = 1, theirs = 2;
    SetLastError(123);
    EXPECT_EQ(TlsGetValue(slot), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "a null value is not a failure";
    ASSERT_TRUE(TlsSetValue(slot, &mine));
    void* seenBefore = &theirs;
    void* seenAfter = nullptr;
    std::thread([&] {
        seenBefore = TlsGetValue(slot);
        TlsSetValue(slot, &theirs);
        seenAfter = TlsGetValue(slot);
    }).join();
    EXPECT_EQ(seenBefore, nullptr);
    EXPECT_EQ(seenAfter, &theirs);
    EXPECT_EQ(TlsGetValue(slot), &mine);
    ASSERT_TRUE(TlsFree(slot));
}

TEST(TlsTest, FreedSlotsFailAndStartNullWhenReallocated) {
    const DWORD slot = TlsAlloc();
    int value = 1;
    ASSERT_TRUE(TlsSetValue(slot, &value));
    ASSERT_TRUE(TlsFree(slot));
    SetLastError(0);
    EXPECT_EQ(TlsGetValue(slot), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(TlsSetValue(slot, &value));
    EXPECT_FALSE(TlsFree(slot));
    const DWORD again = TlsAlloc();
    EXPECT_EQ(again, slot) << "the lowest free slot is reused";
    EXPECT_EQ(TlsGetValue(again), nullptr) << "no value of the earlier allocation leaks";
    TlsFree(again);
    EXPECT_FALSE(TlsSetValue(TLS_OUT_OF_INDEXES, &value));
}

TEST(TlsTest, RunsOutOfSlots) {
    std::vector<DWORD> slots;
    for (;;) {
        const DWORD s = TlsAlloc();
        if (s == TLS_OUT_OF_INDEXES)
            break;
        slots.push_back(s);
        ASSERT_LT(slots.size(), 100000u);
    }
    EXPECT_GE(slots.size(), 64u);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    for (DWORD s : slots)
        TlsFree(s);
}

}  // namespace
