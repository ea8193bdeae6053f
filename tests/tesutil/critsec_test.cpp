#include "tesutil/critsec.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

TEST(CriticalSection, RecursiveEntryBySameThread) {
    Nul::CriticalSectionLock lock;
    int depth = 0;
    {
        Nul::CriticalSection outer(lock);
        ++depth;
        {
            Nul::CriticalSection inner(lock);
            ++depth;
        }
    }
    EXPECT_EQ(depth, 2);
    // Released on every path, exceptions included: another thread can take it afterwards.
    try {
        Nul::CriticalSection g(lock);
        throw 1;
    } catch (int) {
    }
    std::thread t([&] {
        Nul::CriticalSection g(lock);
        ++depth;
    });
    t.join();
    EXPECT_EQ(depth, 3);
}

TEST(CriticalSection, ExcludesOtherThreads) {
    Nul::CriticalSectionLock lock;
    long counter = 0;
    std::atomic<int> inside{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&] {
            for (int j = 0; j < 20000; ++j) {
                Nul::CriticalSection g(lock);
                if (inside.fetch_add(1) != 0) overlap = true;
                ++counter;
                inside.fetch_sub(1);
            }
        });
    for (auto &t : threads) t.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(counter, 80000);
}
