// A plain (non-recursive) mutex annotated for Clang's thread-safety analysis,
// for the stand-ins' own state. libstdc++'s std::mutex carries no
// annotations, so guarded members could not name it.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/win/ThreadSafety.h"

namespace win {

class CAPABILITY("mutex") Mutex {
public:
    void Lock() ACQUIRE() { m_mutex.lock(); }
    void Unlock() RELEASE() { m_mutex.unlock(); }
    bool TryLock() TRY_ACQUIRE(true) { return m_mutex.try_lock(); }

    // For std::condition_variable waits by a thread that holds the mutex:
    // wrap it in std::unique_lock(Native(), std::adopt_lock) and release()
    // the unique_lock before the scope ends.
    std::mutex& Native() { return m_mutex; }

private:
    std::mutex m_mutex;
};

class SCOPED_CAPABILITY MutexLock {
public:
    explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : m_mutex(mutex) { m_mutex.Lock(); }
    ~MutexLock() RELEASE() { m_mutex.Unlock(); }
    MutexLock(const MutexLock&) = delete;
    MutexLock& operator=(const MutexLock&) = delete;

    // Waits on cv with the mutex held by this lock (released while waiting).
    template <class Predicate>
    void Wait(std::condition_variable& cv, Predicate done) {
        std::unique_lock lock(m_mutex.Native(), std::adopt_lock);
        cv.wait(lock, done);
        lock.release();
    }
    // As Wait, up to deadline; returns done() at the end.
    template <class TimePoint, class Predicate>
    bool WaitUntil(std::condition_variable& cv, const TimePoint& deadline, Predicate done) {
        std::unique_lock lock(m_mutex.Native(), std::adopt_lock);
        bool result = cv.wait_until(lock, deadline, done);
        lock.release();
        return result;
    }

    // As Wait, for at most a real duration; spurious wake-ups may end it early.
    template <class Duration>
    void WaitFor(std::condition_variable& cv, const Duration& duration) {
        std::unique_lock lock(m_mutex.Native(), std::adopt_lock);
        cv.wait_for(lock, duration);
        lock.release();
    }

private:
    Mutex& m_mutex;
};

}  // namespace win
