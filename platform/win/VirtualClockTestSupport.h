// Test helpers for the virtual clock (Clock.h): a scope that puts the process
// on it, a thread started and joined through the platform, and a timeline of
// what happened at which platform moment. Test code only.
//
// A std::thread's join is not a platform wait: a counted test thread that
// joins one holds time still until it ends. Threads whose waits need time to
// pass are therefore PlatformThreads, joined by WaitForSingleObject.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/win/Clock.h"
#include "platform/win/Threads.h"

namespace win::testing {

// The process runs on the virtual clock for the scope's life; the calling
// thread is counted. Create it before the test starts threads and let it go
// after they have ended.
class VirtualClock {
public:
    VirtualClock() { SetVirtualClockForTesting(true); }
    ~VirtualClock() { SetVirtualClockForTesting(false); }
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;
};

// Runs body on a thread started by _beginthreadex (counted from its start);
// the destructor joins it with a platform wait.
class PlatformThread {
public:
    explicit PlatformThread(std::function<void()> body) : m_body(std::move(body)) {
        m_handle = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Run, this, 0, &m_id));
        EXPECT_NE(m_handle, nullptr);
    }
    ~PlatformThread() { Join(); }
    PlatformThread(const PlatformThread&) = delete;
    PlatformThread& operator=(const PlatformThread&) = delete;

    void Join() {
        if (!m_handle)
            return;
        WaitForSingleObject(m_handle, INFINITE);
        CloseHandle(m_handle);
        m_handle = nullptr;
    }
    HANDLE Handle() const { return m_handle; }
    DWORD Id() const { return m_id; }

private:
    static unsigned Run(void* self) {
        static_cast<PlatformThread*>(self)->m_body();
        return 0;
    }
    std::function<void()> m_body;
    HANDLE m_handle = nullptr;
    unsigned m_id = 0;
};

// What happened, in order, each with the platform ms (NowPlatformMs) at
// which it was noted, relative to the timeline's start. Any thread.
class Timeline {
public:
    using Entry = std::pair<ULONGLONG, std::string>;

    Timeline() : m_start(NowPlatformMs()) {}
    void Note(const std::string& what) {
        std::lock_guard lock(m_mutex);
        m_entries.emplace_back(NowPlatformMs() - m_start, what);
    }
    std::vector<Entry> Entries() {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }
    // Platform ms since the timeline started.
    ULONGLONG Elapsed() const { return NowPlatformMs() - m_start; }

private:
    const ULONGLONG m_start;
    std::mutex m_mutex;
    std::vector<Entry> m_entries;
};

}  // namespace win::testing
