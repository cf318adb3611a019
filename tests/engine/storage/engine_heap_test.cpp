#include "engine/storage/engine_heap.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <optional>
#include <thread>
#include <vector>

#include "engine/storage/engine_error.h"

namespace strata {
namespace {

TEST(EngineHeap, AllocZeroFillsAndSizeZeroGivesNothing) {
    EXPECT_EQ(EngineAlloc(0), nullptr);
    void* block = EngineAlloc(100);
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(static_cast<unsigned char*>(block)[i], 0);
    }
    EngineFree(block);
    EXPECT_EQ(block, nullptr);
}

TEST(EngineHeap, ReallocZeroesOnlyTheNewTail) {
    void* block = EngineAlloc(8);
    std::memset(block, 0xAB, 8);
    EngineRealloc(block, 8, 4);
    EngineRealloc(block, 4, 64);
    const auto* bytes = static_cast<unsigned char*>(block);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(bytes[i], 0xAB);
    }
    // The bytes cut off by the shrink come back as zero, not as old data.
    for (int i = 4; i < 64; ++i) {
        EXPECT_EQ(bytes[i], 0) << i;
    }
    EngineFree(block);
}

TEST(EngineHeap, ExhaustedMemoryIsError11016) {
    try {
        WithEngineMemory([]() -> int { throw std::bad_alloc(); });
        FAIL();
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrOutOfMemory);
        EXPECT_EQ(e.Message(),
                  "Strata Engine Error # 11016 There is insufficient operating system memory "
                  "available for the current operation");
    }
    EXPECT_EQ(GetLastEngineErrorCode(), kErrOutOfMemory);
#if !defined(__SANITIZE_ADDRESS__)
    // AddressSanitizer aborts on such requests instead of failing them.
    const std::size_t huge = std::numeric_limits<std::size_t>::max() / 2;
    EXPECT_THROW((void)EngineAlloc(huge), EStrataEngineError);
    void* block = EngineAlloc(16);
    void* const before = block;
    EXPECT_THROW(EngineRealloc(block, 16, huge), EStrataEngineError);
    EXPECT_EQ(block, before);
    EngineFree(block);
#endif
    // Requests refused under the test limit fail the same way and leave what they would grow.
    SetEngineRequestLimit(4096);
    EXPECT_THROW((void)EngineAlloc(4097), EStrataEngineError);
    void* kept = EngineAlloc(64);
    static_cast<std::uint8_t*>(kept)[0] = 7;
    EXPECT_THROW(EngineRealloc(kept, 64, 8192), EStrataEngineError);
    EXPECT_EQ(static_cast<std::uint8_t*>(kept)[0], 7);
    std::vector<std::uint8_t> bytes(10, 3);
    EXPECT_THROW(ResizeEngineVector(bytes, 5000), EStrataEngineError);
    EXPECT_EQ(bytes, std::vector<std::uint8_t>(10, 3));
    ResizeEngineVector(bytes, 2);  // shrinking asks for nothing
    EXPECT_EQ(bytes.size(), 2u);
    SetEngineRequestLimit(0);
    EngineRealloc(kept, 64, 8192);
    EngineFree(kept);
}

TEST(EngineHeap, EveryThousandTwentiethReallocOrFreeCompacts) {
    int compactions = 0;
    SetHeapCompactHook([&] { ++compactions; });
    // Start from a fresh count.
    while (EngineHeapCounter() != 0) {
        void* block = EngineAlloc(1);
        EngineFree(block);
    }
    compactions = 0;
    void* nothing = nullptr;
    EngineFree(nothing);  // a nil block is not counted
    EXPECT_EQ(EngineHeapCounter(), 0u);
    void* block = EngineAlloc(4);
    for (std::uint32_t i = 1; i < kHeapCompactInterval; ++i) {
        EngineRealloc(block, 4, 4 + (i % 2));
    }
    EXPECT_EQ(EngineHeapCounter(), kHeapCompactInterval - 1);
    EXPECT_EQ(compactions, 0);
    EngineFree(block);  // the 1020th
    EXPECT_EQ(compactions, 1);
    EXPECT_EQ(EngineHeapCounter(), 0u);
    block = EngineAlloc(4);
    EngineFree(block);  // the 1021st starts a new count
    EXPECT_EQ(EngineHeapCounter(), 1u);
    SetHeapCompactHook({});
}

TEST(EngineHeap, ResizeBlockBufferGrowsInWholeBlocksAndNeverShrinks) {
    EngineBuffer buffer;
    ResizeBlockBuffer(1, 65535, buffer);
    EXPECT_EQ(buffer.capacity(), 65535u);
    const std::byte* first = buffer.data();
    ResizeBlockBuffer(65535, 65535, buffer);
    EXPECT_EQ(buffer.capacity(), 65535u);
    EXPECT_EQ(buffer.data(), first);
    buffer.data()[65534] = std::byte{7};
    ResizeBlockBuffer(65536, 65535, buffer);
    EXPECT_EQ(buffer.capacity(), 131070u);
    EXPECT_EQ(buffer.data()[65534], std::byte{7});
    EXPECT_EQ(buffer.data()[131069], std::byte{0});
    ResizeBlockBuffer(10, 65535, buffer);
    EXPECT_EQ(buffer.capacity(), 131070u);
    ResizeBlockBuffer(0, 65535, buffer);
    EXPECT_EQ(buffer.capacity(), 0u);
    EXPECT_EQ(buffer.data(), nullptr);
    ResizeBlockBuffer(-5, 65535, buffer);
    EXPECT_EQ(buffer.capacity(), 0u);
}

// A buffer given up comes back, bytes and all, to the next owner asking for no more than it
// holds; one asking for more than any holds gets none, and one too large is not kept.
TEST(EngineHeap, GivenUpBuffersComeBackToTheNextOwnerTheyFit) {
    constexpr std::size_t kOdd = 3000001;
    EngineBuffer buffer;
    buffer.Grow(kOdd);
    ASSERT_GE(buffer.capacity(), kOdd);
    const std::size_t capacity = buffer.capacity();
    buffer.data()[kOdd - 1] = std::byte{42};
    const std::byte* where = buffer.data();
    KeepBuffer(std::move(buffer));
    EXPECT_TRUE(buffer.empty());
    EXPECT_TRUE(TakeKeptBuffer(std::size_t{1} << 30).empty());
    EngineBuffer taken = TakeKeptBuffer(capacity);
    ASSERT_EQ(taken.capacity(), capacity);
    EXPECT_EQ(taken.data(), where);
    EXPECT_EQ(taken.data()[kOdd - 1], std::byte{42});

    EngineBuffer huge;
    huge.Grow(std::size_t{64} << 20);
    KeepBuffer(std::move(huge));
    EXPECT_TRUE(TakeKeptBuffer(std::size_t{64} << 20).empty());
}

TEST(SystemList, GrowsByTheEngineSteps) {
    TSystemList<int*> list;
    std::vector<std::int64_t> capacities;
    int value = 0;
    for (int i = 0; i < 77; ++i) {
        const std::int64_t before = list.Capacity();
        list.Add(&value);
        if (list.Capacity() != before) {
            capacities.push_back(list.Capacity());
        }
    }
    EXPECT_EQ(capacities, (std::vector<std::int64_t>{4, 8, 12, 28, 44, 60, 76, 95}));
    EXPECT_EQ(list.Count(), 77);
}

TEST(SystemList, InsertDeleteExchangeAndSearch) {
    int a = 1, b = 2, c = 3, d = 4;
    TSystemList<int*> list;
    list.Add(&a);
    list.Add(&c);
    list.Insert(1, &b);
    list.Insert(3, &d);
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list.First(), &a);
    EXPECT_EQ(list.Last(), &d);
    EXPECT_EQ(list.IndexOf(&c), 2);
    list.Exchange(0, 3);
    EXPECT_EQ(list.Get(0), &d);
    list.Delete(1);
    EXPECT_EQ(list.Count(), 3);
    EXPECT_EQ(list.Get(1), &c);
    EXPECT_EQ(list.IndexOf(&b), -1);
}

TEST(SystemList, SetCountLeavesNewSlotsEmptyAndAssignCopies) {
    int a = 1;
    TSystemList<int*> list;
    list.Add(&a);
    list.Add(&a);
    list.SetCount(1);
    list.SetCount(10);
    EXPECT_EQ(list.Capacity(), 10);
    for (std::int64_t i = 1; i < 10; ++i) {
        EXPECT_EQ(list.Get(i), nullptr);
    }
    TSystemList<int*> copy;
    copy.Assign(list);
    EXPECT_EQ(copy.Count(), 10);
    EXPECT_EQ(copy.Get(0), &a);
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Capacity(), 0);
    list.SetCapacity(3);
    EXPECT_EQ(list.Capacity(), 3);
}

TEST(SystemList, SortsWithThreeWayComparisonEvenWhenInconsistent) {
    TSystemList<int> list;
    for (int v : {5, 3, 9, 1, 5, 7, 2, 8, 0, 6}) {
        list.Add(v);
    }
    list.Sort([](const int& x, const int& y) { return x < y ? -1 : (x > y ? 1 : 0); });
    std::vector<int> sorted(list.begin(), list.end());
    EXPECT_EQ(sorted, (std::vector<int>{0, 1, 2, 3, 5, 5, 6, 7, 8, 9}));
    // A comparison that is no ordering at all must still stay inside the list.
    TSystemList<int> noisy;
    for (int i = 0; i < 200; ++i) {
        noisy.Add(i);
    }
    int calls = 0;
    noisy.Sort([&](const int&, const int&) { return (++calls % 3) - 1; });
    EXPECT_EQ(noisy.Count(), 200);
    TSystemList<int> empty;
    empty.Sort([](const int&, const int&) { return 0; });
    EXPECT_EQ(empty.Count(), 0);
}

// The thread that holds the lock may take it again (a conversion inside a locale scope), and
// another thread gets it only when every hold is given back.
TEST(FormatLock, IsReentrantAndExcludesOtherThreadsUntilFullyReleased) {
    std::optional<FormatSettingsLock> outer(std::in_place);
    std::optional<FormatSettingsLock> inner(std::in_place);
    std::atomic<bool> taken{false};
    std::thread other([&] {
        FormatSettingsLock lock;
        taken = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(taken);
    inner.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(taken) << "one hold is still there";
    outer.reset();
    other.join();
    EXPECT_TRUE(taken);
}

}  // namespace
}  // namespace strata
