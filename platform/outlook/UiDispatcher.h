// The client's UI thread as the object model sees it: every event is raised
// through Post, so sinks are always called on that thread, whichever thread
// made the change. The host implements it over its message loop; tests use
// QueuedUiDispatcher and pump it.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

namespace outlook {

class UiDispatcher {
public:
    virtual ~UiDispatcher() = default;
    // Queues task to run on the UI thread, after the tasks posted before it.
    // Any thread; never runs task inline. A dispatcher that is shutting down
    // may drop tasks.
    virtual void Post(std::function<void()> task) = 0;
};

// A queue that the owner drains by calling RunPending on the thread that
// stands for the UI thread.
class QueuedUiDispatcher final : public UiDispatcher {
public:
    void Post(std::function<void()> task) override {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    // Runs the queued tasks (including those they post) until none is left;
    // returns how many ran. Call from one thread only.
    int RunPending() {
        int ran = 0;
        for (;;) {
            std::function<void()> task;
            {
                std::lock_guard lock(m_mutex);
                if (m_tasks.empty())
                    return ran;
                task = std::move(m_tasks.front());
                m_tasks.pop_front();
            }
            task();
            ++ran;
        }
    }
    std::size_t PendingCount() const {
        std::lock_guard lock(m_mutex);
        return m_tasks.size();
    }

private:
    mutable std::mutex m_mutex;
    std::deque<std::function<void()>> m_tasks;
};

}  // namespace outlook
