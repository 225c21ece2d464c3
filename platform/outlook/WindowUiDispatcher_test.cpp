#include "platform/outlook/WindowUiDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/win/MessageLoop.h"

namespace {

// Serves the calling thread's messages until done() holds (or about 5 s of
// real time pass).
template <class Done>
bool PumpUntil(Done done, int rounds = 5000) {
    for (int i = 0; i < rounds && !done(); ++i) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        if (!done())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

TEST(WindowUiDispatcher, TasksFromOtherThreadsRunInOrderOnTheCreatingThread) {
    auto dispatcher = outlook::WindowUiDispatcher::Create();
    ASSERT_TRUE(dispatcher);
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    std::thread poster([&] {
        for (int i = 0; i < 100; ++i) {
            dispatcher->Post([&, i] {
                order.push_back(i);
                threads.push_back(std::this_thread::get_id());
            });
        }
    });
    poster.join();
    EXPECT_TRUE(order.empty()) << "nothing runs before the loop serves it";
    ASSERT_TRUE(PumpUntil([&] { return order.size() == 100; }));
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(order[i], i);
        EXPECT_EQ(threads[i], std::this_thread::get_id());
    }
    // A task may post another; it runs too.
    bool inner = false;
    dispatcher->Post([&] { dispatcher->Post([&] { inner = true; }); });
    EXPECT_TRUE(PumpUntil([&] { return inner; }));
}

TEST(WindowUiDispatcher, TasksLeftWhenItIsDestroyedAreDropped) {
    auto dispatcher = outlook::WindowUiDispatcher::Create();
    ASSERT_TRUE(dispatcher);
    std::atomic<int> ran{0};
    dispatcher->Post([&] { ++ran; });
    dispatcher.reset();
    PumpUntil([] { return false; }, 20);
    EXPECT_EQ(ran, 0);
}

}  // namespace
