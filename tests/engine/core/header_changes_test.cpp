#include "engine/core/header_changes.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "engine/core/pinned.h"
#include "engine/storage/byte_order.h"

namespace strata {
namespace {

constexpr std::size_t kCounterAt = 4;
constexpr std::size_t kFlagAt = 9;
using Image = std::array<std::uint8_t, 16>;

TEST(HeaderChanges, WriteCountsTheChangeAndFlagsOnlyPendingHeaderChanges) {
    struct Case {
        const char* what;
        bool pending;
        bool force;
        bool written;
        std::uint8_t flag_on_disk;
    };
    const Case cases[] = {
        {"nothing to write", false, false, false, 0},
        {"forced write of an unchanged header", false, true, true, 0},
        {"pending header change", true, false, true, 1},
        {"pending and forced", true, true, true, 1},
    };
    for (const Case& c : cases) {
        HeaderChanges changes(kCounterAt, kFlagAt);
        Image header{};
        PutU32(header, kCounterAt, 41);
        if (c.pending)
            changes.SetPending();
        std::vector<Image> disk;
        if (changes.WriteDue(c.force))
            changes.Write(header, [&] { disk.push_back(header); });
        ASSERT_EQ(disk.size(), c.written ? 1u : 0u) << c.what;
        if (c.written) {
            EXPECT_EQ(GetU32(disk[0], kCounterAt), 42u) << c.what;
            EXPECT_EQ(disk[0][kFlagAt], c.flag_on_disk) << c.what;
        }
        EXPECT_EQ(header[kFlagAt], 0) << c.what;
        EXPECT_EQ(changes.Pending(), c.pending && !c.written) << c.what;
    }
}

TEST(HeaderChanges, FailedWriteKeepsTheChangePendingAndTheFlagClear) {
    HeaderChanges changes(kCounterAt, kFlagAt);
    Image header{};
    changes.SetPending();
    EXPECT_THROW(changes.Write(header, [] { throw std::runtime_error("disk full"); }),
                 std::runtime_error);
    EXPECT_TRUE(changes.Pending());
    EXPECT_EQ(header[kFlagAt], 0);
}

TEST(HeaderChanges, AdoptsOnlyAnotherProgramsChange) {
    HeaderChanges changes(kCounterAt, kFlagAt);
    Image header{};
    PutU32(header, kCounterAt, 7);
    header[0] = 'm';

    Image same = header;
    same[0] = 'x';
    EXPECT_FALSE(changes.Adopt(header, same));
    EXPECT_EQ(header[0], 'm');

    Image other{};
    PutU32(other, kCounterAt, 8);
    other[0] = 'o';
    other[kFlagAt] = 1;
    changes.SetPending();
    EXPECT_TRUE(changes.Adopt(header, other));
    EXPECT_EQ(header[0], 'o');
    EXPECT_EQ(header[kFlagAt], 0) << "the flag byte is never kept in memory";
    EXPECT_FALSE(changes.Pending());

    // The counter wraps rather than refusing a change.
    PutU32(header, kCounterAt, 0xFFFFFFFFu);
    changes.CountChange(header);
    EXPECT_EQ(GetU32(header, kCounterAt), 0u);
}

struct FakeCache {
    std::vector<int*> released;
    void Unpin(int* item) { released.push_back(item); }
};

TEST(Pinned, GivesThePinBackOnceWhereverTheGuardEnds) {
    FakeCache cache;
    int a = 1, b = 2;
    using Pin = Pinned<FakeCache, int, &FakeCache::Unpin>;
    {
        Pin first(cache, &a);
        Pin moved(std::move(first));
        EXPECT_FALSE(first);
        EXPECT_EQ(*moved, 1);
        Pin other(cache, &b);
        other = std::move(moved);  // b is given back here, a at the end of the scope
        EXPECT_EQ(cache.released, std::vector<int*>{&b});
        Pin empty;
        empty.Release();
    }
    EXPECT_EQ(cache.released, (std::vector<int*>{&b, &a}));
}

}  // namespace
}  // namespace strata
