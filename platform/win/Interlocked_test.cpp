#include "platform/win/Interlocked.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(InterlockedTest, ReturnValuesFollowThePlatform) {
    volatile LONG v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchangeAdd(&v, 10), 5);
    EXPECT_EQ(v, 15);
    EXPECT_EQ(InterlockedExchange(&v, 1), 15);
    EXPECT_EQ(InterlockedCompareExchange(&v, 9, 2), 1) << "no match: unchanged";
    EXPECT_EQ(v, 1);
    EXPECT_EQ(InterlockedCompareExchange(&v, 9, 1), 1);
    EXPECT_EQ(v, 9);
    volatile LONGLONG w = 0x100000000LL;
    EXPECT_EQ(InterlockedIncrement64(&w), 0x100000001LL);
    EXPECT_EQ(InterlockedCompareExchange64(&w, 3, 0x100000001LL), 0x100000001LL);
    EXPECT_EQ(w, 3);
    int a = 0, b = 0;
    void* volatile p = &a;
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, &b, &a), &a);
    EXPECT_EQ(p, &b);
    EXPECT_EQ(InterlockedExchangePointer(&p, nullptr), &b);
}

TEST(InterlockedTest, IncrementsFromManyThreadsAreNotLost) {
    volatile LONG counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 50000; ++i)
                InterlockedIncrement(&counter);
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, 200000);
}

}  // namespace
