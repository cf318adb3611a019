#include "engine/core/compact_entries.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <map>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "engine/core/index_file.h"
#include "engine/core/index_tree.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/engine_error.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {

class TPageTestAccess {
  public:
    static std::size_t MemoryBytes(const TPage& page) { return page.MemoryBytes(); }
    // The page read by the form of the reader for every option.
    // False when the bytes the entries take differ from the header's.
    static bool ReadAnyOption(TPage& page, std::span<const std::uint8_t> bytes) {
        page.ReadPage(bytes, true);
        const std::int64_t count = page.count_;
        page.count_ = 0;
        page.used_ = 0;
        page.ReadCompressedAnyOption(bytes, count);
        page.changed_ = false;
        return page.used_ == GetU16(bytes, 11);
    }
    // The page's image with its entries packed by the writer for every option.
    static std::array<std::uint8_t, kIndexPageSize> ImageAnyOption(TPage& page) {
        const bool changed = page.Changed();
        std::array<std::uint8_t, kIndexPageSize> image{};
        page.WritePage(image);
        std::fill(image.begin() + kPageHeaderSize, image.end(), 0);
        std::size_t at = kPageHeaderSize;
        page.WriteCompressedAnyOption(image, at);
        if (changed)
            page.SetChanged(true);
        return image;
    }
};

namespace {

using testing_support::TempDir;
// A key orders by its bytes. It spells the comparison out because GCC 12 at -O2 warns
// wrongly (-Wstringop-overread) inside std::vector's own ordering of bytes.
struct Key : std::vector<std::uint8_t> {
    using std::vector<std::uint8_t>::vector;
    friend bool operator<(const Key& a, const Key& b) {
        return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), std::less<>());
    }
};

int Sign(int c) {
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

// Keys as the list tables make them, and worse: long shared stems (with
// zero bytes inside), a few varied bytes (blanks, 0x00, 0xFF), zero padding
// to the end of the body, then (not unique) a record ID that may hold zeros.
class KeyMaker {
  public:
    KeyMaker(std::size_t key_size, bool unique, unsigned seed)
        : k_(key_size), body_(unique ? key_size : key_size - 4), unique_(unique), random_(seed) {
        for (std::size_t i = 0; i < body_; ++i)
            stem_.push_back(i % 37 == 5 ? 0 : static_cast<std::uint8_t>('A' + i % 23));
    }
    Key Next() {
        Key key(k_, 0);
        const std::size_t stems[] = {0, 3, body_ / 2, body_ > 6 ? body_ - 6 : 0, body_};
        std::size_t at = std::min(stems[random_() % 5], body_);
        std::copy_n(stem_.begin(), at, key.begin());
        static const std::uint8_t varied[] = {0x00, 0x01, 0x20, 'a', 'q', 0xFF};
        for (std::size_t n = random_() % 4; n > 0 && at < body_; --n)
            key[at++] = varied[random_() % 6];
        if (random_() % 5 == 0 && at < body_)
            key[at] = ' ';  // a trailing blank before the padding
        if (!unique_) {
            const std::uint32_t id = random_() % 3 == 0 ? random_() % 300 : random_();
            PutU32BigEndian(key, body_, id);
        }
        return key;
    }

  private:
    static void PutU32BigEndian(Key& key, std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            key[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
    }
    std::size_t k_;
    std::size_t body_;
    bool unique_;
    std::mt19937 random_;
    Key stem_;
};

// The compact form answers every question about its keys as the full keys
// would, through inserts, erasures, replacements and moves that leave gaps
// and force compactions.
TEST(CompactEntries, AnswersAsTheFullKeysWould) {
    struct Case {
        std::size_t key_size;
        bool unique;
    };
    for (const Case c : {Case{5, false}, Case{16, false}, Case{84, false}, Case{24, true},
                         Case{300, false}, Case{9, true}}) {
        SCOPED_TRACE(testing::Message() << c.key_size << (c.unique ? " unique" : ""));
        KeyMaker maker(c.key_size, c.unique, static_cast<unsigned>(c.key_size));
        std::mt19937 random(7);
        CompactEntries entries;
        CompactEntries other;
        entries.Setup(c.key_size, c.unique);
        other.Setup(c.key_size, c.unique);
        std::vector<std::pair<Key, std::uint32_t>> model;
        std::vector<std::pair<Key, std::uint32_t>> other_model;
        for (int step = 0; step < 3000; ++step) {
            const unsigned what = random() % 10;
            if (what < 5 || model.empty()) {
                const Key key = maker.Next();
                const std::size_t at = random() % (model.size() + 1);
                entries.Insert(at, key.data(), static_cast<std::uint32_t>(step));
                model.insert(model.begin() + static_cast<long>(at),
                             {key, static_cast<std::uint32_t>(step)});
            } else if (what < 8) {
                const std::size_t at = random() % model.size();
                entries.Erase(at);
                model.erase(model.begin() + static_cast<long>(at));
            } else if (what < 9) {
                const std::size_t at = random() % model.size();
                const Key key = maker.Next();
                entries.Replace(at, key.data());
                model[at].first = key;
            } else {
                const std::size_t from = random() % model.size();
                const std::size_t n = random() % (model.size() - from + 1);
                const std::size_t before = random() % (other_model.size() + 1);
                entries.MoveTo(other, from, n, before);
                other_model.insert(other_model.begin() + static_cast<long>(before),
                                   model.begin() + static_cast<long>(from),
                                   model.begin() + static_cast<long>(from + n));
                model.erase(model.begin() + static_cast<long>(from),
                            model.begin() + static_cast<long>(from + n));
                std::swap(entries, other);
                std::swap(model, other_model);
            }
            entries.CheckInvariants();
            ASSERT_EQ(entries.Size(), model.size());
            if (model.empty())
                continue;
            const std::size_t i = random() % model.size();
            const std::size_t j = random() % model.size();
            const Key& a = model[i].first;
            const Key& b = model[j].first;
            ASSERT_TRUE(std::equal(a.begin(), a.end(), entries.Key(i)));
            ASSERT_EQ(entries.At(i).pointer, model[i].second);
            std::size_t prefix = 0;
            while (prefix < c.key_size && a[prefix] == b[prefix])
                ++prefix;
            ASSERT_EQ(entries.CommonPrefix(i, j), prefix);
            const std::size_t body = c.unique ? c.key_size : c.key_size - 4;
            std::size_t zeros = 0;
            while (zeros < body && a[body - 1 - zeros] == 0)
                ++zeros;
            ASSERT_EQ(entries.TrailingZeros(i), zeros);
            const Key probe = random() % 2 == 0 ? b : maker.Next();
            ASSERT_EQ(entries.Compare(entries.MakeProbe(probe.data()), i),
                      Sign(std::memcmp(probe.data(), a.data(), c.key_size)));
            // A part of the key, as a page writes it.
            const std::size_t from = random() % (c.key_size + 1);
            const std::size_t to = from + random() % (c.key_size - from + 1);
            Key part(to - from + 1, 0xEE);
            entries.CopyKey(i, from, to, part.data());
            ASSERT_TRUE(std::equal(a.begin() + static_cast<long>(from),
                                   a.begin() + static_cast<long>(to), part.begin()));
            ASSERT_EQ(part.back(), 0xEE);  // nothing written past the range
        }
        // Held memory stays near what is held.
        std::size_t held = 0;
        for (std::size_t i = 0; i < entries.Size(); ++i)
            held += c.key_size - entries.TrailingZeros(i);
        EXPECT_LE(entries.MemoryBytes(),
                  3 * (held + entries.Size() * sizeof(CompactEntries::Slot)) + c.key_size + 2048);
    }
}

// Entries that take the memory others released (stale keys and slots of
// other settings in it) hold exactly their own keys, whether filled one by
// one or at once; memory far beyond a page's is never handed on.
TEST(CompactEntries, MemoryReleasedByOthersHoldsOnlyTheNewKeys) {
    struct Case {
        std::size_t key_size;
        bool unique;
    };
    const Case cases[] = {{84, false}, {9, true}, {300, false}, {5, false}, {24, true}};
    for (std::size_t n = 0; n < std::size(cases); ++n) {
        const Case was = cases[n];
        const Case c = cases[(n + 1) % std::size(cases)];
        SCOPED_TRACE(testing::Message() << was.key_size << " then " << c.key_size);
        // Several released areas of the earlier settings, full of their keys.
        std::vector<CompactEntries> released(3);
        KeyMaker old_keys(was.key_size, was.unique, 3);
        for (CompactEntries& entries : released) {
            entries.Setup(was.key_size, was.unique);
            for (std::uint32_t i = 0; i < 120; ++i) {
                const Key key = old_keys.Next();
                entries.Insert(entries.Size() / 2, key.data(), 0xABCD0000u + i);
            }
        }
        for (CompactEntries& entries : released)
            entries.Release();
        KeyMaker maker(c.key_size, c.unique, 5);
        std::vector<Key> keys;
        for (int i = 0; i < 90; ++i)
            keys.push_back(maker.Next());
        std::sort(keys.begin(), keys.end());
        // One by one.
        CompactEntries inserted;
        inserted.Setup(c.key_size, c.unique);
        for (std::size_t i = 0; i < keys.size(); ++i)
            inserted.Insert(i, keys[i].data(), static_cast<std::uint32_t>(i + 1));
        inserted.CheckInvariants();
        // At once, from the slots and bytes of the first.
        std::vector<CompactEntries::Slot> slots;
        std::vector<std::uint8_t> bytes;
        for (std::size_t i = 0; i < inserted.Size(); ++i) {
            CompactEntries::Slot slot = inserted.At(i);
            slot.at = static_cast<std::uint32_t>(bytes.size());
            const std::size_t stored = slot.length + (c.unique ? 0 : 4);
            bytes.insert(bytes.end(), inserted.KeptBytes(i), inserted.KeptBytes(i) + stored);
            slots.push_back(slot);
        }
        CompactEntries assigned;
        assigned.Setup(c.key_size, c.unique);
        assigned.Assign(slots, bytes);
        for (const CompactEntries* entries : {&inserted, &assigned}) {
            ASSERT_EQ(entries->Size(), keys.size());
            for (std::size_t i = 0; i < keys.size(); ++i) {
                ASSERT_TRUE(std::equal(keys[i].begin(), keys[i].end(), entries->Key(i)));
                ASSERT_EQ(entries->At(i).pointer, i + 1);
                ASSERT_EQ(entries->CountBelow(entries->MakeProbe(keys[i].data())),
                          static_cast<std::size_t>(
                              std::lower_bound(keys.begin(), keys.end(), keys[i]) - keys.begin()));
            }
        }
    }
    // A large area is not kept for the next entries.
    {
        CompactEntries large;
        large.Setup(300, false);
        KeyMaker maker(300, false, 9);
        for (int i = 0; i < 2000; ++i) {
            const Key key = maker.Next();
            large.Insert(large.Size(), key.data(), 1);
        }
        ASSERT_GT(large.MemoryBytes(), 64 * kIndexPageSize);
        large.Release();
        for (int i = 0; i < 20; ++i) {
            CompactEntries small;
            small.Setup(16, true);
            const Key key(16, 0x41);
            small.Insert(0, key.data(), 1);
            EXPECT_LE(small.MemoryBytes(), 4 * kIndexPageSize + 1024);
        }
    }
}

// Pages of one repeated value (a category, a flag, a zero) share their whole body and part
// of the record ID: every slot's word is still the four full-key bytes after the shared ones,
// zero past the key, whichever record ID byte the entries first differ in, and searches by
// those words find every key. Entries are put in one by one, read in whole and moved.
TEST(CompactEntries, WordsOfRepeatedValuesAreTheFullKeyBytesAfterTheSharedOnes) {
    struct Case {
        std::size_t key_size;
        bool unique;
        std::size_t kept;  // nonzero body bytes of the repeated value
    };
    for (const Case c : {Case{5, false, 1}, Case{8, false, 4}, Case{8, false, 0},
                         Case{84, false, 4}, Case{84, false, 80}, Case{6, true, 2}}) {
        const std::size_t body = c.unique ? c.key_size : c.key_size - 4;
        for (std::size_t differ = 0; differ < 4; ++differ) {
            SCOPED_TRACE(testing::Message() << c.key_size << (c.unique ? " unique" : "") << " kept "
                                            << c.kept << " differ at " << differ);
            std::vector<Key> keys;
            for (std::uint32_t n = 0; n < 40; ++n) {
                Key key(c.key_size, 0);
                for (std::size_t j = 0; j < c.kept; ++j)
                    key[j] = static_cast<std::uint8_t>('C' + j % 7);
                if (c.unique) {
                    // Unique keys differ in the body's last bytes instead.
                    key[body - 1] = static_cast<std::uint8_t>(n + 1);
                } else {
                    const std::uint8_t id[4] = {0x11, 0x22, 0x33, 0x44};
                    std::copy_n(id, 4, key.begin() + static_cast<long>(body));
                    key[body + differ] = static_cast<std::uint8_t>(0x50 + 3 * n);
                }
                keys.push_back(key);
            }
            std::sort(keys.begin(), keys.end());
            const auto check = [&](const CompactEntries& page, std::size_t first, std::size_t n) {
                ASSERT_EQ(page.Size(), n);
                for (std::size_t i = 0; i < n; ++i) {
                    std::uint32_t word = 0;
                    for (std::size_t j = page.Shared(); j < page.Shared() + 4; ++j)
                        word = word << 8 | (j < c.key_size ? keys[first + i][j] : 0u);
                    ASSERT_EQ(page.At(i).word, word) << i;
                    ASSERT_EQ(std::memcmp(page.Key(i), keys[first + i].data(), c.key_size), 0);
                    const CompactEntries::Probe probe = page.MakeProbe(keys[first + i].data());
                    ASSERT_EQ(page.CountBelow(probe), i);
                    ASSERT_EQ(page.CountNotAbove(probe), i + 1);
                }
            };
            CompactEntries one_by_one;
            one_by_one.Setup(c.key_size, c.unique);
            // Middle first, then either end: the shared bytes shrink as the keys spread.
            std::vector<std::size_t> order(keys.size());
            for (std::size_t i = 0; i < order.size(); ++i)
                order[i] = (i % 2 == 0 ? keys.size() / 2 + i / 2 : keys.size() / 2 - 1 - i / 2);
            std::vector<Key> in;
            for (const std::size_t i : order) {
                const auto at = static_cast<std::size_t>(
                    std::lower_bound(in.begin(), in.end(), keys[i]) - in.begin());
                one_by_one.Insert(at, keys[i].data(), static_cast<std::uint32_t>(i));
                in.insert(in.begin() + static_cast<long>(at), keys[i]);
            }
            one_by_one.CheckInvariants();
            check(one_by_one, 0, keys.size());

            // Read in whole, as a page read from the file is: bodies kept up to their last
            // nonzero byte, each followed by its record ID.
            std::vector<CompactEntries::Slot> slots(keys.size());
            std::vector<std::uint8_t> area;
            for (std::size_t i = 0; i < keys.size(); ++i) {
                std::size_t length = body;
                while (length > 0 && keys[i][length - 1] == 0)
                    --length;
                slots[i].at = static_cast<std::uint32_t>(area.size());
                slots[i].pointer = static_cast<std::uint32_t>(i);
                slots[i].SetLength(length);
                area.insert(area.end(), keys[i].begin(),
                            keys[i].begin() + static_cast<long>(length));
                area.insert(area.end(), keys[i].begin() + static_cast<long>(body), keys[i].end());
            }
            CompactEntries read;
            read.Setup(c.key_size, c.unique);
            read.Assign(slots, area);
            check(read, 0, keys.size());

            // The last half moved to another page, emptied down to its last entry, then
            // refilled from the front.
            CompactEntries right;
            right.Setup(c.key_size, c.unique);
            read.MoveTo(right, keys.size() / 2, keys.size() - keys.size() / 2, 0);
            check(read, 0, keys.size() / 2);
            check(right, keys.size() / 2, keys.size() - keys.size() / 2);
            while (right.Size() > 1)
                right.Erase(0);
            check(right, keys.size() - 1, 1);
            for (std::size_t i = keys.size() - 1; i-- > keys.size() / 2;)
                right.Insert(0, keys[i].data(), static_cast<std::uint32_t>(i));
            right.CheckInvariants();
            check(right, keys.size() / 2, keys.size() - keys.size() / 2);
        }
    }
}

// Keys that differ in one byte, at any position of any length of kept body
// and in the record ID, compare as memcmp orders them and share the bytes
// before it: each stretch of a word, half a word and single bytes decides
// where it should.
TEST(CompactEntries, KeysDifferingInAnyOneByteCompareAsMemcmp) {
    for (const bool unique : {false, true}) {
        for (std::size_t k = unique ? 1 : 5; k <= 26; ++k) {
            SCOPED_TRACE(testing::Message() << k << (unique ? " unique" : ""));
            const std::size_t body = unique ? k : k - 4;
            CompactEntries entries;
            entries.Setup(k, unique);
            for (std::size_t length = 0; length <= body; ++length) {
                Key base(k, 0);
                for (std::size_t i = 0; i < length; ++i)
                    base[i] = static_cast<std::uint8_t>(0x41 + i);
                for (std::size_t i = body; i < k; ++i)
                    base[i] = static_cast<std::uint8_t>(0x80 + i);
                entries.Clear();
                entries.Insert(0, base.data(), 1);
                for (std::size_t at = 0; at < k; ++at) {
                    for (const std::uint8_t value : {std::uint8_t{0}, std::uint8_t{0x40},
                                                     std::uint8_t{0x42}, std::uint8_t{0xFF}}) {
                        Key probe = base;
                        probe[at] = value;
                        ASSERT_EQ(entries.Compare(entries.MakeProbe(probe.data()), 0),
                                  Sign(std::memcmp(probe.data(), base.data(), k)))
                            << "length " << length << " byte " << at << " " << int(value);
                        // And share the bytes before it.
                        entries.Insert(1, probe.data(), 2);
                        ASSERT_EQ(entries.CommonPrefix(0, 1), probe[at] == base[at] ? k : at)
                            << "length " << length << " byte " << at << " " << int(value);
                        entries.Erase(1);
                    }
                }
            }
        }
    }
}

// Sorted runs searched through the compact form find what a search over the
// full keys finds.
TEST(CompactEntries, SearchesAsABinarySearchOverFullKeys) {
    for (const bool unique : {false, true}) {
        const std::size_t k = 40;
        KeyMaker maker(k, unique, 3);
        std::vector<Key> keys;
        for (int i = 0; i < 600; ++i)
            keys.push_back(maker.Next());
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        CompactEntries entries;
        entries.Setup(k, unique);
        for (std::size_t i = 0; i < keys.size(); ++i)
            entries.Insert(i, keys[i].data(), static_cast<std::uint32_t>(i));
        for (int i = 0; i < 400; ++i) {
            const Key probe =
                i % 2 == 0 ? keys[static_cast<std::size_t>(i) % keys.size()] : maker.Next();
            const auto below = std::lower_bound(keys.begin(), keys.end(), probe) - keys.begin();
            const auto not_above = std::upper_bound(keys.begin(), keys.end(), probe) - keys.begin();
            const CompactEntries::Probe p = entries.MakeProbe(probe.data());
            ASSERT_EQ(entries.CountBelow(p), static_cast<std::size_t>(below));
            ASSERT_EQ(entries.CountNotAbove(p), static_cast<std::size_t>(not_above));
        }
    }
}

// Pages kept in byte order through every kind of edit (new first and last
// keys that share fewer bytes, erasures, replacements in place, splits and
// merges) answer every count, from any hint, with the bound's equality, as
// a search over the full keys does; and every key starts with the bytes
// the page says all its keys share. The keys run in families with long
// common stems, as the list tables' are: one value repeated with record IDs,
// numbers, addresses, blanks and zeros before the padding.
TEST(CompactEntries, SortedPagesCountAsTheFullKeysFromAnyHint) {
    struct Case {
        std::size_t key_size;
        bool unique;
    };
    for (const Case c : {Case{8, false}, Case{84, false}, Case{84, true}, Case{6, true},
                         Case{5, false}, Case{300, false}}) {
        SCOPED_TRACE(testing::Message() << c.key_size << (c.unique ? " unique" : ""));
        const std::size_t body = c.unique ? c.key_size : c.key_size - 4;
        std::mt19937 random(static_cast<unsigned>(c.key_size * 2 + (c.unique ? 1 : 0)));
        const auto make_key = [&] {
            Key key(c.key_size, 0);
            static const std::uint8_t stems[][6] = {{'C', 'A', 'T', '5', 0, 0},
                                                    {'M', 'E', 'M', 'B', 'E', 'R'},
                                                    {0, 0, 0, 0, 0, 3},
                                                    {'M', 'E', 'M', 0, ' ', 'A'}};
            const auto& stem = stems[random() % 4];
            std::size_t at = 0;
            for (; at < std::min<std::size_t>(body, 6); ++at)
                key[at] = stem[at];
            static const std::uint8_t varied[] = {0x00, 0x01, ' ', '1', '7', 'A', 0xFF};
            for (std::size_t n = random() % 6; n > 0 && at < body; --n)
                key[at++] = varied[random() % 7];
            if (!c.unique) {
                const std::uint32_t id =
                    random() % 4 == 0 ? 0x10000 + random() % 3 : random() % 5000;
                for (int i = 0; i < 4; ++i)
                    key[body + static_cast<std::size_t>(i)] =
                        static_cast<std::uint8_t>(id >> (24 - 8 * i));
            }
            return key;
        };
        CompactEntries entries;
        CompactEntries right;
        entries.Setup(c.key_size, c.unique);
        right.Setup(c.key_size, c.unique);
        std::vector<Key> model;
        const auto check = [&](const std::vector<Key>& keys, const CompactEntries& page) {
            ASSERT_EQ(page.Size(), keys.size());
            page.CheckInvariants();
            for (const Key& key : keys) {
                ASSERT_TRUE(std::equal(
                    keys.front().begin(),
                    keys.front().begin() + static_cast<long>(std::min(page.Shared(), c.key_size)),
                    key.begin()));
            }
            for (int n = 0; n < 12; ++n) {
                Key probe = !keys.empty() && n % 3 == 0 ? keys[random() % keys.size()] : make_key();
                if (n % 4 == 1 && !keys.empty()) {
                    // A neighbour of a key, in its last or its first byte.
                    probe = keys[random() % keys.size()];
                    std::uint8_t& byte = probe[n % 8 == 1 ? c.key_size - 1 : 0];
                    byte = static_cast<std::uint8_t>(byte + (random() % 2 == 0 ? 1 : 255));
                }
                const auto below = static_cast<std::size_t>(
                    std::lower_bound(keys.begin(), keys.end(), probe) - keys.begin());
                const auto not_above = static_cast<std::size_t>(
                    std::upper_bound(keys.begin(), keys.end(), probe) - keys.begin());
                const CompactEntries::Probe p = page.MakeProbe(probe.data());
                const std::size_t hints[] = {CompactEntries::kNoHint,
                                             0,
                                             keys.size(),
                                             random() % (keys.size() + 1),
                                             below,
                                             not_above,
                                             keys.size() + 1};
                for (const std::size_t hint : hints) {
                    bool equal = true;
                    ASSERT_EQ(page.CountUpTo<false>(p, hint, &equal), below) << hint;
                    ASSERT_EQ(equal, below < keys.size() && keys[below] == probe) << hint;
                    ASSERT_EQ(page.CountUpTo<true>(p, hint, &equal), not_above) << hint;
                    ASSERT_EQ(equal, not_above > 0 && keys[not_above - 1] == probe) << hint;
                }
            }
        };
        for (int step = 0; step < 1500; ++step) {
            const unsigned what = random() % 10;
            if (what < 5 || model.empty()) {
                const Key key = make_key();
                const auto at = std::lower_bound(model.begin(), model.end(), key);
                if (at != model.end() && *at == key)
                    continue;
                const auto i = static_cast<std::size_t>(at - model.begin());
                entries.Insert(i, key.data(), static_cast<std::uint32_t>(step));
                model.insert(at, key);
            } else if (what < 7) {
                const std::size_t at = random() % model.size();
                entries.Erase(at);
                model.erase(model.begin() + static_cast<long>(at));
            } else if (what < 8) {
                // A replacement that keeps the order: a key between the neighbours.
                const std::size_t at = random() % model.size();
                const Key key = make_key();
                if ((at > 0 && !(model[at - 1] < key)) ||
                    (at + 1 < model.size() && !(key < model[at + 1]))) {
                    continue;
                }
                entries.Replace(at, key.data());
                model[at] = key;
            } else {
                // A split, and the two halves merged back now and then.
                const std::size_t from = random() % model.size();
                entries.MoveTo(right, from, model.size() - from, 0);
                std::vector<Key> moved(model.begin() + static_cast<long>(from), model.end());
                model.resize(from);
                ASSERT_NO_FATAL_FAILURE(check(moved, right));
                if (random() % 2 == 0) {
                    right.MoveTo(entries, 0, right.Size(), entries.Size());
                    model.insert(model.end(), moved.begin(), moved.end());
                } else {
                    right.Clear();
                }
            }
            ASSERT_NO_FATAL_FAILURE(check(model, entries));
        }
    }
}

// The packing rule and the entry layout of a compressed leaf, written out
// independently of the page code.
struct PackRule {
    std::uint8_t option;
    bool unique;
    std::size_t k;
    std::size_t Body() const { return unique ? k : k - 4; }
};

struct PackedEntry {
    Key key;
    std::uint32_t pointer;
    std::size_t p;
    std::size_t t;
};

PackedEntry ByRule(const PackRule& r, const Key* previous, const Key& key, std::uint32_t pointer) {
    const std::size_t body = r.Body();
    std::size_t p = 0;
    std::size_t t = 0;
    if ((r.option == 1 || r.option == 3) && previous != nullptr) {
        while (p < r.k && (*previous)[p] == key[p])
            ++p;
    }
    if (r.option == 2 || r.option == 3) {
        while (t < body && key[body - 1 - t] == 0)
            ++t;
    }
    if (r.option == 3) {
        p = std::min<std::size_t>(p, 255);
        t = std::min<std::size_t>(t, 255);
        if (!r.unique) {
            p = std::min(p, body);
            if (r.k - p < 5)
                t = 0;
            t = std::min(t, body - p);
        } else {
            t = std::min(t, r.k - p);
        }
    }
    return {key, pointer, p, t};
}

std::array<std::uint8_t, kIndexPageSize> ReferenceLeaf(const PackRule& r, PageKind kind,
                                                       std::uint32_t previous, std::uint32_t next,
                                                       const std::vector<PackedEntry>& entries) {
    std::array<std::uint8_t, kIndexPageSize> page{};
    page[0] = static_cast<std::uint8_t>(kind);
    PutU16(page, 1, entries.size());
    PutU32(page, 3, previous);
    PutU32(page, 7, next);
    std::size_t at = kPageHeaderSize;
    const std::size_t body = r.Body();
    auto copy = [&](const Key& key, std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            page.at(at++) = key[i];
    };
    for (const PackedEntry& e : entries) {
        if (r.option == 3) {
            page.at(at++) = static_cast<std::uint8_t>(e.p);
            page.at(at++) = static_cast<std::uint8_t>(e.t);
        } else {
            PutU16(page, at, r.option == 1 ? e.p : e.t);
            at += 2;
        }
        if (r.option == 1) {
            copy(e.key, e.p, r.k);
        } else {
            copy(e.key, e.p, body - e.t);
            if (!r.unique)
                copy(e.key, body, r.k);
        }
        PutU32(page, at, e.pointer);
        at += 4;
    }
    PutU16(page, 11, at - kPageHeaderSize);
    return page;
}

std::vector<PackedEntry> ByRule(const PackRule& r,
                                const std::vector<std::pair<Key, std::uint32_t>>& keys) {
    std::vector<PackedEntry> entries;
    for (std::size_t i = 0; i < keys.size(); ++i)
        entries.push_back(
            ByRule(r, i > 0 ? &keys[i - 1].first : nullptr, keys[i].first, keys[i].second));
    return entries;
}

IndexDescriptor Descriptor(std::uint16_t key_size, bool unique, std::uint8_t option) {
    IndexDescriptor d{};
    PutShortString(d, ixd::kName, ixd::kNameLength, "Packed");
    PutU16(d, ixd::kKeySize, key_size);
    d[ixd::kUnique] = unique ? 1 : 0;
    d[ixd::kCompression] = option;
    d[ixd::kFieldCount] = 1;
    PutU16(d, ixd::kFieldNumbers, 1);
    return d;
}

// The page's bytes as a write would give them, leaving it as changed as it was.
std::array<std::uint8_t, kIndexPageSize> Image(TPage& page) {
    const bool changed = page.Changed();
    std::array<std::uint8_t, kIndexPageSize> image{};
    page.WritePage(image);
    if (changed)
        page.SetChanged(true);
    return image;
}

// Walks the leaves left to right: every leaf's bytes are those the rule
// gives for its share of the model's keys, in order.
void ExpectLeavesPackByRule(TIndexFile& file, const PackRule& r,
                            const std::map<Key, std::uint32_t>& model) {
    std::vector<std::pair<Key, std::uint32_t>> keys(model.begin(), model.end());
    std::uint32_t offset = file.GetRoot(1);
    if (offset == 0) {
        ASSERT_TRUE(keys.empty());
        return;
    }
    for (PinnedPage page(file, file.GetPage(1, offset)); page->IsInterior();
         page = PinnedPage(file, file.GetPage(1, offset))) {
        offset = page->PointerAt(1);
    }
    std::size_t taken = 0;
    std::uint32_t previous = 0;
    while (offset != 0) {
        PinnedPage leaf(file, file.GetPage(1, offset));
        ASSERT_TRUE(leaf->IsLeaf());
        ASSERT_EQ(leaf->Previous(), previous);
        const auto n = static_cast<std::size_t>(leaf->EntryCount());
        ASSERT_GE(n, 1u);
        ASSERT_LE(taken + n, keys.size());
        const std::vector<std::pair<Key, std::uint32_t>> share(
            keys.begin() + static_cast<long>(taken), keys.begin() + static_cast<long>(taken + n));
        const auto expected =
            ReferenceLeaf(r, leaf->Kind(), leaf->Previous(), leaf->Next(), ByRule(r, share));
        ASSERT_TRUE(Image(*leaf) == expected) << "leaf at " << offset << " after " << taken;
        ASSERT_EQ(leaf->UsedBytes(), GetU16(expected, 11));
        taken += n;
        previous = offset;
        offset = leaf->Next();
    }
    ASSERT_EQ(taken, keys.size());
}

struct LeafCase {
    std::uint8_t option;
    bool unique;
    std::uint16_t key_size;
    bool plain_compare;
};

class CompressedLeaves : public ::testing::TestWithParam<LeafCase> {
  protected:
    TempDir dir_;
};

// Random inserts and deletes through the tree leave every compressed leaf
// with the bytes the packing rule gives, before and after the file is
// written and read back, with keys compared as plain bytes (searched in the
// compact form) or by a function (put together for it).
TEST_P(CompressedLeaves, PackExactlyAsTheRuleSaysThroughInsertsAndDeletes) {
    const LeafCase c = GetParam();
    const PackRule rule{c.option, c.unique, c.key_size};
    const std::string name = dir_.File("p.IDX");
    auto file = std::make_unique<TIndexFile>();
    file->SetName(name);
    file->CreateFile();
    file->AddIndex(Descriptor(c.key_size, c.unique, c.option));
    const KeyCompare compare =
        c.plain_compare
            ? KeyCompare::Bytes(c.key_size)
            : KeyCompare([k = c.key_size](const std::uint8_t* a, const std::uint8_t* b) {
                  return Sign(std::memcmp(a, b, k));
              });
    KeyMaker maker(c.key_size, c.unique, 99);
    std::mt19937 random(5);
    std::map<Key, std::uint32_t> model;
    std::uint32_t next_id = 1;
    auto run = [&](int operations) {
        TIndexTree tree(*file, 1, compare);
        for (int op = 0; op < operations; ++op) {
            if (model.size() < 300 || random() % 100 < 55) {
                const Key key = maker.Next();
                const bool fresh = !model.contains(key);
                ASSERT_EQ(tree.Insert(key.data(), next_id), fresh);
                if (fresh)
                    model.emplace(key, next_id);
                ++next_id;
            } else {
                auto it = model.lower_bound(maker.Next());
                if (it == model.end())
                    it = model.begin();
                ASSERT_TRUE(tree.Delete(it->first.data()));
                ASSERT_FALSE(tree.Find(it->first.data()).has_value());
                model.erase(it);
            }
            if ((op + 1) % (operations / 4) == 0)
                ExpectLeavesPackByRule(*file, rule, model);
        }
        for (int i = 0; i < 50 && !model.empty(); ++i) {
            auto it = model.begin();
            std::advance(it, static_cast<long>(random() % model.size()));
            ASSERT_EQ(tree.Find(it->first.data()), it->second);
        }
    };
    run(4000);
    file->FlushPages();
    file->WriteHeader(false);
    file->Close();
    file = std::make_unique<TIndexFile>();
    file->SetName(name);
    file->Open();
    ExpectLeavesPackByRule(*file, rule, model);
    run(1000);
    ExpectLeavesPackByRule(*file, rule, model);
}

INSTANTIATE_TEST_SUITE_P(
    Options, CompressedLeaves,
    ::testing::Values(LeafCase{3, false, 84, true}, LeafCase{3, false, 84, false},
                      LeafCase{3, true, 24, true}, LeafCase{3, false, 300, true},
                      LeafCase{3, false, 8, true}, LeafCase{1, false, 40, true},
                      LeafCase{2, false, 40, true}, LeafCase{2, true, 40, false}),
    [](const auto& test_param) {
        return "Option" + std::to_string(test_param.param.option) +
               (test_param.param.unique ? "Unique" : "NotUnique") +
               std::to_string(test_param.param.key_size) +
               (test_param.param.plain_compare ? "Bytes" : "Function");
    });

class CompressedLeafFixture : public ::testing::Test {
  protected:
    std::unique_ptr<TIndexFile> NewFile(std::uint16_t key_size, bool unique, std::uint8_t option) {
        auto file = std::make_unique<TIndexFile>();
        file->SetName(dir_.File("b.IDX"));
        file->CreateFile();
        file->AddIndex(Descriptor(key_size, unique, option));
        return file;
    }
    TempDir dir_;
};

// A leaf packed to its last byte stays one page; the next key splits it,
// and emptying the new right leaf frees it and leaves the left as the root:
// at each step every leaf has the rule's bytes.
TEST_F(CompressedLeafFixture, LeafFilledToTheLastByteSplitsOnlyOnTheNextKey) {
    const PackRule rule{3, true, 24};
    auto file = NewFile(24, true, 3);
    TIndexTree tree(*file, 1, KeyCompare::Bytes(24));
    auto make = [](int j, std::size_t extra) {
        Key key(24, 0);
        key[0] = 1;
        key[1] = static_cast<std::uint8_t>(j / 200 + 1);
        key[2] = static_cast<std::uint8_t>(j % 200 + 1);
        std::fill_n(key.begin() + 3, extra, 'x');
        return key;
    };
    std::map<Key, std::uint32_t> model;
    std::size_t used = 0;
    const Key* last = nullptr;
    for (int j = 0;; ++j) {
        const std::size_t room = kPageEntryBytes - used;
        auto size_of = [&](const Key& key) {
            const PackedEntry e = ByRule(rule, last, key, 0);
            return 2 + (24 - e.p - e.t) + 4;
        };
        std::size_t extra = 0;
        const std::size_t plain = size_of(make(j, 0));
        ASSERT_GE(room, plain);
        // The last key takes up all that is left.
        const bool final = room - plain < 7;
        if (final)
            extra = room - plain;
        const Key key = make(j, extra);
        ASSERT_TRUE(tree.Insert(key.data(), static_cast<std::uint32_t>(j + 1)));
        used += size_of(key);
        last = &model.emplace(key, j + 1).first->first;
        if (final)
            break;
    }
    const std::uint32_t left = file->GetRoot(1);
    {
        PinnedPage root(*file, file->GetPage(1, left));
        ASSERT_EQ(root->Kind(), PageKind::kRootLeaf);
        EXPECT_EQ(root->UsedBytes(), kPageEntryBytes);
    }
    ExpectLeavesPackByRule(*file, rule, model);

    const Key over = make(1000, 0);
    ASSERT_TRUE(tree.Insert(over.data(), 5000));
    model.emplace(over, 5000);
    std::uint32_t right = 0;
    {
        PinnedPage root(*file, file->GetPage(1, file->GetRoot(1)));
        ASSERT_EQ(root->Kind(), PageKind::kRoot);
        ASSERT_EQ(root->EntryCount(), 2);
        right = root->PointerAt(2);
    }
    ExpectLeavesPackByRule(*file, rule, model);

    std::vector<Key> right_keys;
    {
        PinnedPage leaf(*file, file->GetPage(1, right));
        for (std::int64_t i = 1; i <= leaf->EntryCount(); ++i)
            right_keys.emplace_back(leaf->KeyAt(i), leaf->KeyAt(i) + 24);
    }
    // From the front, so each delete moves the separator.
    for (const Key& key : right_keys) {
        ASSERT_TRUE(tree.Delete(key.data()));
        model.erase(key);
        ExpectLeavesPackByRule(*file, rule, model);
    }
    ASSERT_EQ(file->GetRoot(1), left);
    PinnedPage root(*file, file->GetPage(1, left));
    EXPECT_EQ(root->Kind(), PageKind::kRootLeaf);
    EXPECT_EQ(root->EntryCount(), static_cast<std::int64_t>(model.size()));
}

// A leaf whose stored counts are not the rule's (another writer packed less)
// reads and writes back byte for byte; an edit gives the rule's counts to
// the entries it touches (the new or following entry) and to no other.
TEST_F(CompressedLeafFixture, StoredCountsOutsideTheRuleAreKeptUntilAnEditTouchesThem) {
    for (const std::uint8_t option : {std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{3}}) {
        SCOPED_TRACE(int(option));
        const PackRule rule{option, false, 12};
        auto file = NewFile(12, false, option);
        std::vector<PackedEntry> entries;
        for (std::uint8_t i = 0; i < 10; ++i) {
            Key key = {'k', 'e', 'y', static_cast<std::uint8_t>('a' + i), 0, 0, 0, 0,
                       0,   0,   0,   static_cast<std::uint8_t>(i + 1)};
            // Every entry stored whole, but one packed by the rule.
            entries.push_back(i == 4 ? ByRule(rule, &entries.back().key, key, i + 100u)
                                     : PackedEntry{key, i + 100u, 0, 0});
        }
        auto bytes = ReferenceLeaf(rule, PageKind::kRootLeaf, 0, 0, entries);
        TPage page(file.get());
        page.Setup(1, 12, false, false, option, 8192);
        page.ReadPage(bytes, false);
        ASSERT_EQ(page.EntryCount(), 10);
        EXPECT_TRUE(Image(page) == bytes);

        // After the seventh entry: it and the one after are packed anew.
        const Key inserted = {'k', 'e', 'y', 'g', 'g', 0, 0, 0, 0, 0, 0, 1};
        page.SetEditPosition(7);
        page.InsertEntry(inserted.data(), 77, 1);
        entries.insert(entries.begin() + 7, ByRule(rule, &entries[6].key, inserted, 77));
        entries[8] = ByRule(rule, &entries[7].key, entries[8].key, entries[8].pointer);
        EXPECT_TRUE(Image(page) == ReferenceLeaf(rule, PageKind::kRootLeaf, 0, 0, entries));

        // Deleting the third entry packs the one that takes its place.
        page.SetEditPosition(3);
        page.DeleteEntry();
        entries.erase(entries.begin() + 2);
        entries[2] = ByRule(rule, &entries[1].key, entries[2].key, entries[2].pointer);
        EXPECT_TRUE(Image(page) == ReferenceLeaf(rule, PageKind::kRootLeaf, 0, 0, entries));

        // Deleting the first one leaves the new first with no leading count.
        page.SetEditPosition(1);
        page.DeleteEntry();
        entries.erase(entries.begin());
        entries[0] = ByRule(rule, nullptr, entries[0].key, entries[0].pointer);
        const auto expected = ReferenceLeaf(rule, PageKind::kRootLeaf, 0, 0, entries);
        EXPECT_TRUE(Image(page) == expected);
        EXPECT_EQ(page.UsedBytes(), GetU16(expected, 11));
    }
}

// A page object serves plain and compressed pages in turn (the cache reuses
// them); it holds the memory of one form at a time, since the cache counts
// all it holds and a page carrying both took twice its share.
TEST_F(CompressedLeafFixture, APageObjectHoldsTheMemoryOfOneFormAtATime) {
    // Page objects take spare entry buffers kept per thread: a fresh thread
    // keeps what earlier tests left there out of the measure.
    std::thread([&] {
        const std::uint16_t k = 84;
        auto file = NewFile(k, false, 3);
        const PackRule rule{3, false, k};
        KeyMaker maker(k, false, 8);
        std::map<Key, std::uint32_t> keys;
        while (keys.size() < 150)
            keys.emplace(maker.Next(), static_cast<std::uint32_t>(keys.size() + 1));
        const auto compressed =
            ReferenceLeaf(rule, PageKind::kLeaf, 0, 0, ByRule(rule, {keys.begin(), keys.end()}));
        std::array<std::uint8_t, kIndexPageSize> plain{};
        plain[0] = static_cast<std::uint8_t>(PageKind::kLeaf);
        PutU16(plain, 1, 40);
        auto it = keys.begin();
        for (std::size_t i = 0; i < 40; ++i, ++it) {
            std::copy(it->first.begin(), it->first.end(), plain.begin() + 13 + i * (k + 4u));
            PutU32(plain, 13 + i * (k + 4u) + k, it->second);
        }

        std::size_t held = 0;
        for (const auto& [key, record] : keys) {
            std::size_t kept = k - 4;
            while (kept > 0 && key[kept - 1] == 0)
                --kept;
            held += kept + 4 + sizeof(CompactEntries::Slot);
        }
        TPage page(file.get());
        std::size_t compact_bytes = 0;
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(round);
            page.Setup(1, k, false, false, 3, 8192);
            page.ReadPage(compressed, false);
            ASSERT_EQ(page.EntryCount(), 150);
            const std::size_t bytes = TPageTestAccess::MemoryBytes(page);
            if (round == 0)
                compact_bytes = bytes;
            // About the kept keys and their slots, and nothing of the plain form.
            EXPECT_EQ(bytes, compact_bytes);
            EXPECT_LT(bytes, held + held / 4 + 1024);
            EXPECT_TRUE(Image(page) == compressed);

            page.Setup(1, k, false, false, 0, 8192);
            page.ReadPage(plain, false);
            ASSERT_EQ(page.EntryCount(), 40);
            const std::size_t full = static_cast<std::size_t>(page.Capacity() + 1) * (k + 12u);
            EXPECT_LE(TPageTestAccess::MemoryBytes(page), full);
            EXPECT_TRUE(Image(page) == plain);
        }
    }).join();
}

// The entries of two pages, position by position, as callers see them.
void ExpectSameEntries(const TPage& a, const TPage& b) {
    ASSERT_EQ(a.EntryCount(), b.EntryCount());
    ASSERT_EQ(a.UsedBytes(), b.UsedBytes());
    const std::size_t k = a.KeySize();
    for (std::int64_t i = 1; i <= a.EntryCount(); ++i) {
        const Key key(a.KeyAt(i), a.KeyAt(i) + k);
        ASSERT_TRUE(std::equal(key.begin(), key.end(), b.KeyAt(i))) << "entry " << i;
        ASSERT_EQ(a.PointerAt(i), b.PointerAt(i)) << "entry " << i;
        ASSERT_EQ(a.LeadingCount(i), b.LeadingCount(i)) << "entry " << i;
        ASSERT_EQ(a.TrailingCount(i), b.TrailingCount(i)) << "entry " << i;
    }
}

// An image read by both readers gives the same entries, and each page writes
// it back as it was by both writers; an image one reader refuses, the other
// refuses too.
void ExpectReadersAgree(TIndexFile* file, std::uint16_t k, bool unique, std::uint8_t option,
                        const std::array<std::uint8_t, kIndexPageSize>& bytes, bool valid) {
    TPage fast(file);
    TPage slow(file);
    fast.Setup(1, k, false, unique, option, 8192);
    slow.Setup(1, k, false, unique, option, 8192);
    int refused = 0;
    for (const bool general : {false, true}) {
        try {
            if (!general)
                fast.ReadPage(bytes, false);
            else if (!TPageTestAccess::ReadAnyOption(slow, bytes))
                ++refused;
        } catch (const EStrataEngineError& e) {
            ASSERT_EQ(e.ErrorCode(), kErrIndexPageCorrupt);
            ++refused;
        }
    }
    if (valid) {
        ASSERT_EQ(refused, 0);
    }
    ASSERT_TRUE(refused == 0 || refused == 2) << "one reader alone refused the page";
    if (refused == 2)
        return;
    ExpectSameEntries(fast, slow);
    for (TPage* page : {&fast, &slow}) {
        ASSERT_TRUE(Image(*page) == TPageTestAccess::ImageAnyOption(*page));
        if (valid) {
            ASSERT_TRUE(Image(*page) == bytes);
        }
    }
}

// The key right after (or before) `key` in byte order; empty when none is.
Key Neighbour(Key key, bool after) {
    const std::uint8_t edge = after ? 0xFF : 0x00;
    std::size_t j = key.size();
    while (j > 0 && key[j - 1] == edge)
        --j;
    if (j == 0)
        return {};
    key[j - 1] = static_cast<std::uint8_t>(after ? key[j - 1] + 1 : key[j - 1] - 1);
    std::fill(key.begin() + static_cast<long>(j), key.end(), after ? 0x00 : 0xFF);
    return key;
}

struct FormCase {
    std::uint8_t option;
    bool unique;
    std::uint16_t key_size;
};

// A compressed leaf edited at its first, last and middle entries, from empty
// to the last bytes it holds and back, packs to the bytes of the writer for
// every option after each edit, and its image reads by either reader to the
// same entries. The key sizes reach counts capped at 255 and entries with no
// stored bytes (repeated values).
TEST_F(CompressedLeafFixture, Option3FormsAgreeWithTheFormsForEveryOption) {
    for (const FormCase c : {FormCase{3, false, 5}, FormCase{3, false, 8}, FormCase{3, true, 9},
                             FormCase{3, false, 12}, FormCase{3, true, 24}, FormCase{3, false, 84},
                             FormCase{3, false, 300}, FormCase{3, true, 528},
                             FormCase{1, false, 40}, FormCase{2, true, 40}}) {
        SCOPED_TRACE(testing::Message()
                     << int(c.option) << " " << c.key_size << (c.unique ? " unique" : ""));
        const PackRule rule{c.option, c.unique, c.key_size};
        auto file = NewFile(c.key_size, c.unique, c.option);
        TPage page(file.get());
        page.Setup(1, c.key_size, false, c.unique, c.option, 8192);
        page.ReadPage(ReferenceLeaf(rule, PageKind::kLeaf, 0, 0, {}), false);
        KeyMaker maker(c.key_size, c.unique, c.key_size * 3u + c.option);
        std::mt19937 random(c.key_size);
        std::map<Key, std::uint32_t> model;
        // Repeated values: a few bodies that many keys share.
        std::vector<Key> repeated;
        for (int i = 0; i < 3; ++i)
            repeated.push_back(maker.Next());
        bool filling = true;
        int turns = 0;
        for (int step = 0; step < 2000; ++step) {
            const std::size_t room = kPageEntryBytes - page.UsedBytes();
            if (filling && room < c.key_size + 6u) {
                filling = false;
                ++turns;
            } else if (!filling && model.empty()) {
                filling = true;
                ++turns;
            }
            const unsigned where = random() % 3;
            if (filling) {
                Key key = maker.Next();
                if (!c.unique && random() % 3 == 0) {
                    const Key& stem = repeated[random() % repeated.size()];
                    std::copy(stem.begin(), stem.end() - 4, key.begin());
                }
                // In front of the first key or after the last one, sharing
                // all but its last bytes, or anywhere.
                if (where == 0 && !model.empty())
                    key = Neighbour(model.begin()->first, false);
                else if (where == 1 && !model.empty())
                    key = Neighbour(model.rbegin()->first, true);
                if (key.empty() || model.contains(key))
                    continue;
                const auto at = std::distance(model.begin(), model.lower_bound(key));
                page.SetEditPosition(at);
                page.InsertEntry(key.data(), static_cast<std::uint32_t>(step), 1);
                model.emplace(key, static_cast<std::uint32_t>(step));
            } else {
                const auto n = static_cast<std::int64_t>(model.size());
                const std::int64_t pos = where == 0 ? 1 : where == 1 ? n : 1 + random() % n;
                auto it = model.begin();
                std::advance(it, pos - 1);
                page.SetEditPosition(pos);
                page.DeleteEntry();
                model.erase(it);
            }
            ASSERT_EQ(page.EntryCount(), static_cast<std::int64_t>(model.size()));
            const auto image = Image(page);
            ASSERT_TRUE(image == TPageTestAccess::ImageAnyOption(page)) << "step " << step;
            ASSERT_TRUE(image == ReferenceLeaf(rule, PageKind::kLeaf, 0, 0,
                                               ByRule(rule, {model.begin(), model.end()})))
                << "step " << step;
            if (step % 25 == 0 || page.UsedBytes() + c.key_size + 6u > kPageEntryBytes)
                ExpectReadersAgree(file.get(), c.key_size, c.unique, c.option, image, true);
        }
        // The page went from empty to full and back at least once.
        EXPECT_GE(turns, 2);
    }
}

// Entries packed with counts other than the rule's (all stored whole, or
// sharing less than they could) and damaged images: both readers take the
// same entries from what they accept, and refuse the same images.
TEST_F(CompressedLeafFixture, Option3ReaderTakesAndRefusesWhatTheGeneralReaderDoes) {
    for (const FormCase c : {FormCase{3, false, 12}, FormCase{3, true, 24}, FormCase{3, false, 84},
                             FormCase{3, false, 300}}) {
        SCOPED_TRACE(testing::Message() << c.key_size << (c.unique ? " unique" : ""));
        const PackRule rule{c.option, c.unique, c.key_size};
        auto file = NewFile(c.key_size, c.unique, c.option);
        KeyMaker maker(c.key_size, c.unique, c.key_size + 17u);
        std::mt19937 random(3);
        std::map<Key, std::uint32_t> keys;
        while (keys.size() < 40)
            keys.emplace(maker.Next(), static_cast<std::uint32_t>(keys.size() * 7 + 1));
        std::vector<PackedEntry> entries = ByRule(rule, {keys.begin(), keys.end()});
        std::vector<PackedEntry> loose = entries;
        for (std::size_t i = 0; i < loose.size(); ++i) {
            if (i % 3 == 0) {
                loose[i].p = 0;
                loose[i].t = 0;
            } else if (i % 3 == 1) {
                loose[i].p /= 2;
                loose[i].t /= 2;
            }
        }
        for (auto* set : {&entries, &loose}) {
            // As many entries as the page holds.
            std::size_t fits = 0;
            for (std::size_t bytes = 0; fits < set->size(); ++fits) {
                bytes += c.key_size - (*set)[fits].p - (*set)[fits].t + 6u;
                if (bytes > kPageEntryBytes)
                    break;
            }
            set->resize(fits);
            const auto bytes = ReferenceLeaf(rule, PageKind::kLeaf, 0, 0, *set);
            ExpectReadersAgree(file.get(), c.key_size, c.unique, c.option, bytes, true);
            const std::size_t used = GetU16(bytes, 11);
            for (int round = 0; round < 400; ++round) {
                auto damaged = bytes;
                const unsigned what = random() % 4;
                if (what == 0) {
                    // A count byte, or any byte of an entry, changed.
                    damaged[kPageHeaderSize + random() % used] =
                        static_cast<std::uint8_t>(random());
                } else if (what == 1) {
                    // More entries than the page holds.
                    PutU16(damaged, 1, GetU16(damaged, 1) + 1 + random() % 300);
                } else if (what == 2) {
                    // The first entry claims bytes of one before it.
                    damaged[kPageHeaderSize] = static_cast<std::uint8_t>(1 + random() % 255);
                } else {
                    // Entries that run to the page's end.
                    std::fill(damaged.begin() + kPageHeaderSize + used, damaged.end(),
                              static_cast<std::uint8_t>(random() % 3));
                    PutU16(damaged, 1, GetU16(damaged, 1) + 1 + random() % 40);
                }
                ExpectReadersAgree(file.get(), c.key_size, c.unique, c.option, damaged, false);
                if (HasFatalFailure())
                    return;
            }
        }
    }
}

}  // namespace
}  // namespace strata
