#include "engine/sql/distinct_keys.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

namespace strata {
namespace {

// Keys of every length up to past two words, differing from each other in a single byte at
// every position (where the hash reads overlapping words), and keys holding zero bytes: each
// is new once and a repeat after, through the table's growth.
TEST(DistinctKeys, EachKeyIsNewOnceWhateverItsLengthAndBytes) {
    DistinctKeys keys;
    std::set<std::string> expected;
    const auto insert = [&](const std::string& key) {
        const bool is_new = expected.insert(key).second;
        EXPECT_EQ(keys.Insert(key), is_new) << key.size();
    };
    for (std::size_t length = 0; length <= 20; ++length) {
        const std::string base(length, 'a');
        insert(base);
        for (std::size_t at = 0; at < length; ++at) {
            std::string changed = base;
            changed[at] = 'b';
            insert(changed);
            changed[at] = '\0';
            insert(changed);
        }
    }
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 5000; ++i) {
            insert("\2Cat" + std::to_string(i) + std::string(1, '\0'));
        }
    }
    for (const std::string& key : expected) {
        EXPECT_FALSE(keys.Insert(key)) << key.size();
    }
    EXPECT_EQ(keys.Size(), expected.size());
}

// Words that collide in the table's home slots (multiples of a large power of two) and words
// spread wide, through several growths: each is new once and a repeat after.
TEST(DistinctWords, EachWordIsNewOnceThroughGrowth) {
    DistinctWords words;
    std::set<std::uint64_t> expected;
    for (int round = 0; round < 2; ++round) {
        for (std::uint64_t i = 0; i < 3000; ++i) {
            for (const std::uint64_t word : {i << 40, i * std::uint64_t{0x0101010101}, i}) {
                EXPECT_EQ(words.Insert(word), expected.insert(word).second) << word;
            }
        }
    }
    EXPECT_EQ(words.Size(), expected.size());
}

}  // namespace
}  // namespace strata
