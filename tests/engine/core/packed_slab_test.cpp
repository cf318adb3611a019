#include "engine/core/packed_slab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

namespace strata {
namespace {

struct Held {
    std::uint8_t* at;
    std::size_t bytes;
    std::uint8_t fill;
};

bool Intact(const Held& h) {
    return std::all_of(h.at, h.at + h.bytes, [&](std::uint8_t b) { return b == h.fill; });
}

// Slots of mixed sizes keep their bytes while others come and go; a block
// goes back as soon as its last slot does, so a drift of sizes (as pages
// fill up and pack larger) does not pile up blocks of sizes no longer used.
TEST(PackedSlab, SlotsKeepTheirBytesAndEmptyBlocksGoBack) {
    PackedSlab slab;
    std::mt19937 random(17);
    std::vector<Held> held;
    for (int round = 0; round < 20000; ++round) {
        if (!held.empty() && random() % 3 == 0) {
            const std::size_t i = random() % held.size();
            ASSERT_TRUE(Intact(held[i])) << round;
            slab.Free(held[i].at);
            held[i] = held.back();
            held.pop_back();
            continue;
        }
        // Sizes drift upwards over the rounds, with the extremes mixed in.
        std::size_t bytes = 1 + (static_cast<std::size_t>(round) / 8 + random() % 300) % 4200;
        if (round % 97 == 0)
            bytes = PackedSlab::kLargestSlot;
        auto* at = static_cast<std::uint8_t*>(slab.Allocate(bytes));
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(at) % alignof(std::uint64_t), 0u);
        const auto fill = static_cast<std::uint8_t>(random());
        std::memset(at, fill, bytes);
        held.push_back({at, bytes, fill});
    }
    std::size_t in_use = 0;
    for (const Held& h : held) {
        ASSERT_TRUE(Intact(h));
        in_use += PackedSlab::SlotSize(h.bytes);
    }
    EXPECT_GE(slab.HeldBytes(), in_use);
    EXPECT_LE(slab.HeldBytes(), 2 * in_use + 80 * PackedSlab::kBlockBytes);
    for (const Held& h : held)
        slab.Free(h.at);
    EXPECT_EQ(slab.BlockCount(), 0u);
    void* again = slab.Allocate(100);
    EXPECT_EQ(slab.BlockCount(), 1u);
    slab.Free(again);
    EXPECT_EQ(slab.BlockCount(), 0u);
}

// A cleared slab's blocks wait in the process's reserve for the next slab,
// so closing a large cache and opening another neither frees nor faults in
// its memory; the engine's shutdown empties the reserve.
TEST(PackedSlab, ClearedBlocksServeTheNextSlab) {
    PackedSlab::ReleaseReserve();
    {
        PackedSlab first;
        for (int i = 0; i < 300; ++i)
            first.Allocate(1000);
        ASSERT_GT(first.BlockCount(), 10u);
        first.Clear();
        EXPECT_EQ(first.BlockCount(), 0u);
    }
    const std::size_t reserved = PackedSlab::ReservedBlocks();
    EXPECT_GT(reserved, 10u);
    EXPECT_LE(reserved, PackedSlab::kReserveLimit);
    PackedSlab second;
    auto* at = static_cast<std::uint8_t*>(second.Allocate(3000));
    std::memset(at, 0x5A, 3000);
    EXPECT_EQ(PackedSlab::ReservedBlocks(), reserved - 1);
    second.Free(at);
    PackedSlab::ReleaseReserve();
    EXPECT_EQ(PackedSlab::ReservedBlocks(), 0u);
}

}  // namespace
}  // namespace strata
