#include "kitbase/core/locks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;
constexpr int kRounds = 5000;

TEST(CriticalSectionTest, IsReEnterableByItsOwnerAndExcludesOthers) {
    CriticalSection section;
    section.Enter();
    section.Enter();  // the owner enters again without blocking
    std::atomic<bool> entered{false};
    std::thread other([&] {
        AutoCriticalSection guard(section);
        entered = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(entered.load());
    section.Leave();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());  // still held once
    section.Leave();
    other.join();
    EXPECT_TRUE(entered.load());
}

TEST(AutoCriticalSectionTest, SerialisesAPlainCounter) {
    CriticalSection section;
    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                AutoCriticalSection guard(section);
                ++counter;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}

TEST(MTProtectedTypeTest, StartsAtItsValueOrTheDefault) {
    MTProtectedType<unsigned int, 0> zero;
    MTProtectedType<int, 5> five;
    MTProtectedType<unsigned int, 0> given(42);
    EXPECT_EQ(zero.data(), 0u);
    EXPECT_EQ(five.data(), 5);
    EXPECT_EQ(given.data(), 42u);
    EXPECT_EQ(given = 7u, 7u);
    EXPECT_EQ(--given, 6u);
    EXPECT_EQ(++given, 7u);
}

TEST(MTProtectedTypeTest, EveryIncrementUnderSeveralThreadsGivesItsOwnNewValue) {
    // Each ++ hands back the value it produced, so across all threads every value
    // from 1 to the total appears exactly once.
    MTProtectedType<unsigned int, 0> counter;
    std::vector<std::future<std::vector<unsigned>>> workers;
    for (int t = 0; t < kThreads; ++t)
        workers.push_back(std::async(std::launch::async, [&] {
            std::vector<unsigned> seen;
            for (int i = 0; i < kRounds; ++i) {
                seen.push_back(++counter);
                (void)counter.data();
            }
            return seen;
        }));
    std::vector<unsigned> all;
    for (auto& w : workers) {
        auto part = w.get();
        all.insert(all.end(), part.begin(), part.end());
    }
    std::sort(all.begin(), all.end());
    ASSERT_EQ(all.size(), size_t{kThreads} * kRounds);
    for (size_t i = 0; i < all.size(); ++i)
        ASSERT_EQ(all[i], i + 1);
    EXPECT_EQ(counter.data(), unsigned{kThreads} * kRounds);
}

TEST(MTProtectedTypeTest, IncrementsAndDecrementsBalanceOut) {
    MTProtectedType<unsigned int, 0> counter(1000);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if (t % 2)
                    ++counter;
                else
                    --counter;
            }
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(counter.data(), 1000u);
}

}  // namespace
