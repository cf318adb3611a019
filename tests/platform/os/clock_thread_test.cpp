#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "platform/os/clock.h"
#include "platform/os/thread.h"

namespace platform::os {
namespace {

TEST(OsClock, TickCountFollowsRealTime) {
    const std::uint32_t before = GetTickCount();
    Sleep(30);
    const std::uint32_t elapsed = GetTickCount() - before;  // unsigned: safe across the wrap
    EXPECT_GE(elapsed, 30u);
    EXPECT_LT(elapsed, 5000u);
    Sleep(0);  // yields, returns
}

TEST(OsClock, FakeClockMovesOnlyWhenSlept) {
    FakeClock clock(0xFFFFFFF0u);  // just before the 32-bit wrap
    {
        ScopedClockHooks hooks(clock.Hooks());
        const std::uint32_t start = GetTickCount();
        EXPECT_EQ(start, 0xFFFFFFF0u);
        const auto real_start = std::chrono::steady_clock::now();
        for (int i = 0; i < 16; ++i) {
            Sleep(100);  // a lock retry loop with the default settings
        }
        EXPECT_LT(std::chrono::steady_clock::now() - real_start, std::chrono::seconds(1));
        EXPECT_EQ(GetTickCount() - start, 1600u);
        EXPECT_EQ(clock.SleepCount(), 16u);
        EXPECT_EQ(clock.SleptMilliseconds(), 1600u);
        clock.Advance(5);
        EXPECT_EQ(GetTickCount() - start, 1605u);
    }
    // Restored: real ticks again, and they do not stand still.
    const std::uint32_t a = GetTickCount();
    Sleep(5);
    EXPECT_NE(GetTickCount(), a);
}

TEST(OsClock, HookScopesNestAndRestore) {
    FakeClock outer(100);
    FakeClock inner(200);
    ScopedClockHooks outer_hooks(outer.Hooks());
    {
        ScopedClockHooks inner_hooks(inner.Hooks());
        EXPECT_EQ(GetTickCount(), 200u);
        Sleep(7);
        EXPECT_EQ(inner.Now(), 207u);
    }
    EXPECT_EQ(GetTickCount(), 100u);
    // A hook set with only one member keeps the real other one.
    ClockHooks only_sleep;
    int slept = 0;
    only_sleep.sleep = [&](std::uint32_t) { ++slept; };
    ScopedClockHooks partial(only_sleep);
    Sleep(50);
    EXPECT_EQ(slept, 1);
    EXPECT_NE(GetTickCount(), 100u);
}

TEST(OsThread, IdsAreDistinctPerThreadAndMainIsTheProcessId) {
    EXPECT_EQ(CurrentThreadId(), static_cast<std::uint32_t>(::getpid()));
    std::vector<std::uint32_t> ids(4);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        threads.emplace_back([&ids, i] { ids[i] = CurrentThreadId(); });
    }
    for (auto& t : threads) {
        t.join();
    }
    std::set<std::uint32_t> distinct(ids.begin(), ids.end());
    distinct.insert(CurrentThreadId());
    EXPECT_EQ(distinct.size(), 5u);
}

TEST(OsThread, RandomStaysInRangeAndRepeatsWithASeed) {
    EXPECT_EQ(Random(0), 0u);
    EXPECT_EQ(Random(1), 0u);
    std::set<std::uint32_t> seen;
    for (int i = 0; i < 2000; ++i) {
        const std::uint32_t r = Random(65534);
        ASSERT_LT(r, 65534u);
        seen.insert(r);
    }
    EXPECT_GT(seen.size(), 1900u);
    SeedRandom(42);
    std::vector<std::uint32_t> first;
    for (int i = 0; i < 8; ++i) {
        first.push_back(Random(1000));
    }
    SeedRandom(42);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(Random(1000), first[static_cast<std::size_t>(i)]);
    }
}

}  // namespace
}  // namespace platform::os
