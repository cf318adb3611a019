#include "engine/core/index_page.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <span>
#include <thread>
#include <utility>
#include <vector>

#include "engine/core/index_file.h"
#include "engine/core/index_tree.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/key_encoding.h"
#include "tests/engine/core/table_files_support.h"

namespace strata {

// What the page keeps in memory, which no member shows.
class TPageTestAccess {
  public:
    static std::size_t BufferCapacity(const TPage& page) { return page.entries_.capacity(); }
    // What the cache counts for a page, and what the page holds.
    static std::size_t Charge(const TPage& page) { return page.cache_charge_; }
    static std::size_t Held(const TPage& page) { return kPageObjectCharge + page.MemoryBytes(); }
    static void ReleaseMemory(TPage& page) { page.ReleaseMemory(); }
    // The unpacked entries as they stand, padding included.
    static std::vector<std::uint8_t> EntryBytes(const TPage& page) {
        return {page.entries_.begin() + static_cast<std::ptrdiff_t>(page.front_),
                page.entries_.end()};
    }
    // Whether a search by plain bytes made the heads, and whether they match the entries.
    static bool HeadsMade(const TPage& page) { return page.heads_valid_; }
    static bool HeadsHold(const TPage& page) { return page.HeadsHold(); }
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

IndexDescriptor Descriptor(std::string_view name, std::uint16_t key_size, bool unique,
                           std::uint8_t option) {
    IndexDescriptor d{};
    PutShortString(d, ixd::kName, ixd::kNameLength, name);
    PutU16(d, ixd::kKeySize, key_size);
    d[ixd::kUnique] = unique ? 1 : 0;
    d[ixd::kCompression] = option;
    d[ixd::kFieldCount] = 1;
    PutU16(d, ixd::kFieldNumbers, 1);
    return d;
}

KeyCompare BytesCompare(std::size_t k) {
    return [k](const std::uint8_t* a, const std::uint8_t* b) {
        const int c = std::memcmp(a, b, k);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    };
}

// A key of the 5-byte status index: the status byte, then the record ID.
Key StatusKey(std::uint8_t status, std::uint32_t id) {
    Key key(5, status);
    const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
    std::memcpy(key.data() + 1, encoded.data(), 4);
    return key;
}

// A key shaped like a string field: flag byte, text with shared prefixes and
// trailing zeros, then (not unique) the record ID.
Key MakeKey(std::uint32_t value, std::uint32_t id, std::size_t k, bool unique) {
    Key key(k, 0);
    key[0] = 1;
    const std::string text = "user" + std::to_string(value % 3000) + (value % 7 == 0 ? "@x" : "");
    const std::size_t body = unique ? k : k - 4;
    std::memcpy(&key[1], text.data(), std::min(text.size(), body - 1));
    if (unique) {
        // Unique keys must differ: the value itself at the end of the field.
        const auto v = EncodeIntegerKey(static_cast<std::int32_t>(value));
        std::memcpy(&key[k - 4], v.data(), 4);
    } else {
        const auto v = EncodeIntegerKey(static_cast<std::int32_t>(id));
        std::memcpy(&key[k - 4], v.data(), 4);
    }
    return key;
}

// Inserts keys of `count` ids with values drawn below `spread` into a non-unique tree of
// `k`-byte keys, and into its model; a repeated key goes into neither.
void InsertAtRandom(TIndexTree& tree, std::map<Key, std::uint32_t>& model, std::mt19937& rng,
                    std::uint32_t count, std::uint32_t spread, std::size_t k) {
    for (std::uint32_t id = 1; id <= count; ++id) {
        const Key key = MakeKey(rng() % spread, id, k, false);
        if (model.emplace(key, id).second) {
            EXPECT_TRUE(tree.Insert(key.data(), id));
        }
    }
}

class IndexFileFixture : public ::testing::Test {
  protected:
    std::unique_ptr<TIndexFile> NewFile(bool encrypted = false) {
        auto file = std::make_unique<TIndexFile>();
        file->SetEncrypted(encrypted);
        file->SetName(dir_.File("t.IDX"));
        file->CreateFile();
        return file;
    }
    std::unique_ptr<TIndexFile> Reopen(std::unique_ptr<TIndexFile> file, bool encrypted = false) {
        file->FlushPages();
        file->WriteHeader(false);
        file->Close();
        file = std::make_unique<TIndexFile>();
        file->SetEncrypted(encrypted);
        file->SetName(dir_.File("t.IDX"));
        file->Open();
        return file;
    }
    TempDir dir_;
};

void CheckAgainstModel(TIndexFile& file, int slot, std::size_t k,
                       const std::map<Key, std::uint32_t>& model, std::mt19937& rng,
                       KeyCompare compare = {}) {
    TIndexTree tree(file, slot, compare.PlainLength() != 0 ? compare : BytesCompare(k));
    ASSERT_EQ(tree.KeyCount(), model.size());
    std::vector<std::pair<Key, std::uint32_t>> sorted(model.begin(), model.end());
    std::size_t i = 0;
    tree.ForEach([&](std::span<const std::uint8_t> key, std::uint32_t record) {
        ASSERT_LT(i, sorted.size());
        ASSERT_TRUE(std::equal(key.begin(), key.end(), sorted[i].first.begin())) << i;
        ASSERT_EQ(record, sorted[i].second);
        ++i;
    });
    ASSERT_EQ(i, sorted.size());
    if (sorted.empty())
        return;
    std::uniform_int_distribution<std::size_t> pick(0, sorted.size() - 1);
    for (int s = 0; s < 40; ++s) {
        const std::size_t a = pick(rng);
        const std::size_t b = pick(rng);
        ASSERT_EQ(tree.Ordinal(sorted[a].first.data()), a);
        ASSERT_EQ(tree.RecordAt(a), sorted[a].second);
        ASSERT_EQ(tree.Find(sorted[a].first.data()), sorted[a].second);
        const std::size_t lo = std::min(a, b);
        const std::size_t hi = std::max(a, b);
        ASSERT_EQ(tree.CountRange(sorted[lo].first.data(), sorted[hi].first.data()), hi - lo + 1);
        // A key just above or below an entry (its last byte moved by one) is found nowhere
        // and counts the entries on its side.
        for (const int step : {-1, 1}) {
            Key near = sorted[a].first;
            ASSERT_FALSE(near.empty());
            const int last = near.back() + step;
            if (last < 0 || last > 0xFF)
                continue;
            near.back() = static_cast<std::uint8_t>(last);
            if (model.contains(near))
                continue;
            const auto below =
                static_cast<std::size_t>(std::distance(model.begin(), model.lower_bound(near)));
            ASSERT_EQ(tree.Find(near.data()), std::nullopt);
            ASSERT_EQ(tree.Ordinal(near.data()), below);
            ASSERT_EQ(tree.KeysNotAbove(near.data()), below);
        }
    }
}

struct TreeCase {
    std::uint8_t option;
    bool unique;
    std::uint16_t key_size;
    int operations;
    bool encrypted;
    // Keys compared by KeyCompare::Bytes, as the cursor orders keys built without a language,
    // rather than through a function.
    bool in_line = false;
    // Inserts mostly go a step or two past the one before (runs that pass older keys of the
    // same values), as an import in key order does, instead of landing anywhere.
    bool runs = false;
};

KeyCompare CompareOf(const TreeCase& c) {
    return c.in_line ? KeyCompare::Bytes(c.key_size) : BytesCompare(c.key_size);
}

class RandomizedTree : public IndexFileFixture, public ::testing::WithParamInterface<TreeCase> {};

TEST_P(RandomizedTree, MatchesAnOrderedMapThroughInsertsDeletesAndReopen) {
    const TreeCase c = GetParam();
    auto file = NewFile(c.encrypted);
    file->AddIndex(Descriptor("ByItem", c.key_size, c.unique, c.option));
    std::map<Key, std::uint32_t> model;
    std::mt19937 rng(1234 + c.option);
    std::uniform_int_distribution<std::uint32_t> values(0, 60000);
    std::uint32_t next_id = 1;
    std::uint32_t last_value = 0;
    auto next_value = [&] {
        last_value =
            c.runs && rng() % 100 < 95 ? (last_value + 1 + rng() % 2) % 60001 : values(rng);
        return last_value;
    };
    auto run = [&](int operations) {
        TIndexTree tree(*file, 1, CompareOf(c));
        for (int op = 0; op < operations; ++op) {
            const bool insert = model.size() < 200 || rng() % 100 < 55;
            if (insert) {
                const std::uint32_t id = next_id++;
                const Key key = MakeKey(next_value(), id, c.key_size, c.unique);
                const bool fresh = !model.contains(key);
                ASSERT_EQ(tree.Insert(key.data(), id), fresh);
                if (fresh)
                    model.emplace(key, id);
            } else {
                auto it = model.begin();
                std::advance(it, rng() % std::min<std::size_t>(model.size(), 64));
                if (rng() % 2 == 0)
                    it = model.lower_bound(MakeKey(values(rng), 0, c.key_size, c.unique));
                if (it == model.end())
                    continue;
                ASSERT_TRUE(tree.Delete(it->first.data()));
                model.erase(it);
            }
            if ((op + 1) % (operations / 4) == 0)
                CheckAgainstModel(*file, 1, c.key_size, model, rng, CompareOf(c));
        }
    };
    run(c.operations);
    file = Reopen(std::move(file), c.encrypted);
    CheckAgainstModel(*file, 1, c.key_size, model, rng, CompareOf(c));
    run(c.operations / 10);
    // Empty it completely: the root goes back to 0.
    {
        TIndexTree tree(*file, 1, CompareOf(c));
        for (const auto& [key, id] : model)
            ASSERT_TRUE(tree.Delete(key.data()));
        model.clear();
    }
    EXPECT_EQ(file->GetRoot(1), 0u);
    file = Reopen(std::move(file), c.encrypted);
    CheckAgainstModel(*file, 1, c.key_size, model, rng, CompareOf(c));
}

INSTANTIATE_TEST_SUITE_P(
    AllEncodings, RandomizedTree,
    ::testing::Values(
        TreeCase{0, false, 16, 100000, false}, TreeCase{1, false, 16, 100000, false},
        TreeCase{2, false, 16, 100000, false}, TreeCase{3, false, 16, 100000, true},
        TreeCase{0, true, 24, 20000, false}, TreeCase{3, true, 24, 20000, false},
        TreeCase{3, false, 300, 20000, false}, TreeCase{0, false, 16, 40000, false, true},
        TreeCase{0, true, 5, 20000, false, true}, TreeCase{0, false, 300, 20000, true, true},
        TreeCase{3, false, 16, 40000, false, true}, TreeCase{3, true, 24, 20000, false, true},
        TreeCase{3, false, 84, 20000, true, true}, TreeCase{3, false, 8, 40000, false, true},
        TreeCase{0, false, 84, 20000, false, true}, TreeCase{0, true, 84, 20000, true, true},
        TreeCase{0, false, 16, 100000, false, true, true},
        TreeCase{3, false, 84, 40000, false, true, true},
        TreeCase{0, true, 24, 40000, false, false, true}),
    [](const auto& test_param) {
        return "Option" + std::to_string(test_param.param.option) +
               (test_param.param.unique ? "Unique" : "NotUnique") +
               std::to_string(test_param.param.key_size) +
               (test_param.param.in_line ? "InLine" : "") + (test_param.param.runs ? "Runs" : "");
    });

TEST_F(IndexFileFixture, CapacitiesFollowTheKeySize) {
    auto file = NewFile();
    file->AddIndex(Descriptor("K", 20, true, 0));
    PinnedPage page(*file, file->NewPage(nullptr, 1));
    page->SetKind(PageKind::kLeaf);
    EXPECT_EQ(page->Capacity(), 157);
    page->SetKind(PageKind::kInterior);
    EXPECT_EQ(page->Capacity(), 136);
}

// A damaged interior page that counts no key below an entry still leading to one: a delete
// there is refused as a damaged page instead of wrapping the count to four billion.
TEST_F(IndexFileFixture, DeleteBelowAZeroCountIsRefusedAsDamaged) {
    auto file = NewFile();
    file->AddIndex(Descriptor("Wide", 500, true, 0));
    TIndexTree tree(*file, 1, BytesCompare(500));
    Key key(500, 0);
    for (std::uint32_t i = 1; i <= 9; ++i) {
        key[0] = static_cast<std::uint8_t>(i);
        ASSERT_TRUE(tree.Insert(key.data(), i));
    }
    {
        PinnedPage root(*file, file->GetPage(1, file->GetRoot(1)));
        ASSERT_EQ(root->Kind(), PageKind::kRoot);
        root->SetEditPosition(1);
        root->SetCount(0);
    }
    key[0] = 1;
    try {
        tree.Delete(key.data());
        ADD_FAILURE() << "the delete went through";
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrIndexPageCorrupt);
    }
    PinnedPage root(*file, file->GetPage(1, file->GetRoot(1)));
    EXPECT_EQ(root->CountAt(1), 0u);
}

// Two leaves whose links on disk do not name each other, though their parent
// holds them side by side: the delete that would merge or even them out is
// refused as a damaged page, before either page changes.
TEST_F(IndexFileFixture, UnderflowBetweenLeavesWhoseLinksDisagreeIsRefusedAsDamaged) {
    struct Case {
        const char* what;
        bool left_next;  // else the right leaf's previous link
        std::uint32_t link;
    };
    for (const Case& c : {Case{"left leaf's next link cut", true, 0},
                          Case{"right leaf's previous link cut", false, 0},
                          Case{"left leaf's next link on itself", true, 1}}) {
        auto file = NewFile();
        file->AddIndex(Descriptor("Wide", 500, true, 0));  // 8 per leaf
        TIndexTree tree(*file, 1, BytesCompare(500));
        Key key(500, 0);
        // Descending, so the split is in the middle (see SplittingNineEntriesLeavesFiveAndFour).
        for (std::uint32_t i = 9; i >= 1; --i) {
            key[0] = static_cast<std::uint8_t>(i);
            ASSERT_TRUE(tree.Insert(key.data(), i));
        }
        std::uint32_t left_offset = 0;
        {
            PinnedPage root(*file, file->GetPage(1, file->GetRoot(1)));
            left_offset = root->PointerAt(1);
            PinnedPage damaged(*file, file->GetPage(1, root->PointerAt(c.left_next ? 1 : 2)));
            const std::uint32_t link = c.link == 1 ? damaged->Offset() : c.link;
            if (c.left_next)
                damaged->SetNext(link);
            else
                damaged->SetPrevious(link);
        }
        // The right leaf keeps 4 of 8: one delete leaves it below half.
        key[0] = 9;
        try {
            tree.Delete(key.data());
            ADD_FAILURE() << c.what << ": the delete went through";
        } catch (const EStrataEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), kErrIndexPageCorrupt) << c.what;
        }
        PinnedPage left(*file, file->GetPage(1, left_offset));
        EXPECT_EQ(left->EntryCount(), 5) << c.what;
    }
}

// A leaf below the root whose kind byte says it is the root leaf: the split or
// the emptying that would make it the index's root (or end the index) is
// refused as a damaged page, and the root still leads to every other key.
TEST_F(IndexFileFixture, LeafCallingItselfTheRootIsRefusedBelowTheRoot) {
    for (const bool grow : {true, false}) {
        auto file = NewFile();
        file->AddIndex(Descriptor("Wide", 500, true, 0));  // 8 per leaf
        TIndexTree tree(*file, 1, BytesCompare(500));
        Key key(500, 0);
        for (std::uint32_t i = 9; i >= 1; --i) {
            key[0] = static_cast<std::uint8_t>(2 * i);
            ASSERT_TRUE(tree.Insert(key.data(), i));
        }
        const std::uint32_t root = file->GetRoot(1);
        {
            PinnedPage page(*file, file->GetPage(1, root));
            PinnedPage right(*file, file->GetPage(1, page->PointerAt(2)));
            ASSERT_EQ(right->EntryCount(), 4);
            right->SetKind(PageKind::kRootLeaf);
        }
        try {
            for (std::uint32_t i = 0; i < 5; ++i) {
                // Keys 12 to 18 stand in the right leaf.
                key[0] = static_cast<std::uint8_t>(grow ? 13 + 2 * i : 12 + 2 * i);
                if (grow)
                    tree.Insert(key.data(), 100 + i);
                else
                    tree.Delete(key.data());
            }
            ADD_FAILURE() << (grow ? "split" : "emptied") << " as the root";
        } catch (const EStrataEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), kErrIndexPageCorrupt);
        }
        EXPECT_EQ(file->GetRoot(1), root) << grow;
        key[0] = 2;
        EXPECT_EQ(tree.Find(key.data()), std::optional<std::uint32_t>(1)) << grow;
    }
}

// A leaf whose next link names the page the index hands out next (the end of
// the file here): splitting it would link the new half to itself, so the
// split is refused as a damaged page.
TEST_F(IndexFileFixture, SplitOfALeafLinkedToTheNextNewPageIsRefusedAsDamaged) {
    auto file = NewFile();
    file->AddIndex(Descriptor("Wide", 500, true, 0));  // 8 per leaf
    TIndexTree tree(*file, 1, BytesCompare(500));
    Key key(500, 0);
    for (std::uint32_t i = 9; i >= 1; --i) {
        key[0] = static_cast<std::uint8_t>(2 * i);
        ASSERT_TRUE(tree.Insert(key.data(), i));
    }
    {
        PinnedPage root(*file, file->GetPage(1, file->GetRoot(1)));
        PinnedPage left(*file, file->GetPage(1, root->PointerAt(1)));
        ASSERT_EQ(left->EntryCount(), 5);
        left->SetNext(file->GetNextPageOffset());
    }
    try {
        // Keys 3, 5, 7 and 9 go to the left leaf; the fourth overflows it.
        for (std::uint8_t k = 3; k <= 9; k += 2) {
            key[0] = k;
            tree.Insert(key.data(), 100u + k);
        }
        ADD_FAILURE() << "the split went through";
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrIndexPageCorrupt);
    }
}

TEST_F(IndexFileFixture, SplittingNineEntriesLeavesFiveAndFour) {
    auto file = NewFile();
    file->AddIndex(Descriptor("Wide", 500, true, 0));  // 4083 div 506 = 8 per leaf
    TIndexTree tree(*file, 1, BytesCompare(500));
    // Keys not in order: those in order split where they go (see the next test).
    for (std::uint32_t i = 9; i >= 1; --i) {
        Key key(500, 0);
        key[0] = static_cast<std::uint8_t>(i);
        ASSERT_TRUE(tree.Insert(key.data(), i));
    }
    PinnedPage root(*file, file->GetPage(1, file->GetRoot(1)));
    EXPECT_EQ(root->Kind(), PageKind::kRoot);
    ASSERT_EQ(root->EntryCount(), 2);
    PinnedPage left(*file, file->GetPage(1, root->PointerAt(1)));
    PinnedPage right(*file, file->GetPage(1, root->PointerAt(2)));
    EXPECT_EQ(left->EntryCount(), 5);
    EXPECT_EQ(right->EntryCount(), 4);
    EXPECT_EQ(root->CountAt(1), 5u);
    EXPECT_EQ(root->CountAt(2), 4u);
    EXPECT_EQ(left->Kind(), PageKind::kLeaf);
    EXPECT_EQ(left->Next(), right->Offset());
    EXPECT_EQ(right->Previous(), left->Offset());
    EXPECT_EQ(root->KeyAt(2)[0], 6);
}

// Keys in order leave full leaves behind, above every other key or in a run that ends
// before older keys in the middle of the tree.
TEST_F(IndexFileFixture, KeysInOrderLeaveFullLeaves) {
    for (const int older : {0, 20}) {
        auto file = NewFile();
        file->AddIndex(Descriptor("Wide", 500, true, 0));  // 8 per leaf
        TIndexTree tree(*file, 1, BytesCompare(500));
        for (int i = 0; i < older + 80; ++i) {
            Key key(500, 0);
            key[0] = i < older ? 2 : 1;
            key[1] = static_cast<std::uint8_t>(i < older ? i : i - older);
            ASSERT_TRUE(tree.Insert(key.data(), static_cast<std::uint32_t>(i + 1)));
        }
        std::uint32_t offset = file->GetRoot(1);
        for (PinnedPage page(*file, file->GetPage(1, offset)); page->IsInterior();
             page = PinnedPage(*file, file->GetPage(1, offset))) {
            offset = page->PointerAt(1);
        }
        for (int run = 0; run < 80; run += 8) {
            PinnedPage leaf(*file, file->GetPage(1, offset));
            EXPECT_EQ(leaf->EntryCount(), 8) << older << " " << run;
            offset = leaf->Next();
        }
    }
}

TEST_F(IndexFileFixture, SmallestKeyUpdatesSeparatorsUpToTheRoot) {
    auto file = NewFile();
    file->AddIndex(Descriptor("Wide", 500, true, 0));
    TIndexTree tree(*file, 1, BytesCompare(500));
    for (std::uint32_t i = 0; i < 200; ++i) {
        Key key(500, 0);
        key[0] = 10 + static_cast<std::uint8_t>(i % 200);
        key[1] = static_cast<std::uint8_t>(i);
        ASSERT_TRUE(tree.Insert(key.data(), i + 1));
    }
    Key smallest(500, 0);
    smallest[0] = 1;
    ASSERT_TRUE(tree.Insert(smallest.data(), 999));
    std::uint32_t offset = file->GetRoot(1);
    int levels = 0;
    while (true) {
        PinnedPage page(*file, file->GetPage(1, offset));
        EXPECT_EQ(page->KeyAt(1)[0], 1) << "level " << levels;
        if (page->IsLeaf())
            break;
        offset = page->PointerAt(1);
        ++levels;
    }
    EXPECT_GE(levels, 2);
}

TEST_F(IndexFileFixture, DeletingTheLastKeyEmptiesTheIndex) {
    auto file = NewFile();
    file->AddIndex(Descriptor("K", 8, true, 1));
    TIndexTree tree(*file, 1, BytesCompare(8));
    Key key(8, 7);
    ASSERT_TRUE(tree.Insert(key.data(), 1));
    const std::uint32_t first_root = file->GetRoot(1);
    ASSERT_TRUE(tree.Delete(key.data()));
    EXPECT_EQ(file->GetRoot(1), 0u);
    EXPECT_EQ(file->GetFreePage(1), first_root);
    ASSERT_TRUE(tree.Insert(key.data(), 2));
    PinnedPage root(*file, file->GetPage(1, file->GetRoot(1)));
    EXPECT_EQ(root->Kind(), PageKind::kRootLeaf);
    EXPECT_EQ(root->Offset(), first_root);  // reused from the free chain
}

// Entry bytes of a packed leaf, per option, for a key that is not unique.
TEST_F(IndexFileFixture, PackedEntriesKeepTheRecordIdWhole) {
    struct Case {
        std::uint8_t option;
        std::vector<std::size_t> sizes;  // entry sizes of the two entries
    };
    // k = 10: 1 flag + 5 text bytes, the last two 0, + 4 ID bytes.
    const Key a = {1, 'a', 'b', 'c', 0, 0, 0x80, 0, 0, 1};
    const Key b = {1, 'a', 'b', 'c', 0, 0, 0x80, 0, 0, 2};
    for (const Case& c :
         {Case{0, {14, 14}}, Case{1, {16, 7}}, Case{2, {14, 14}}, Case{3, {14, 10}}}) {
        auto file = NewFile();
        file->AddIndex(Descriptor("K", 10, false, c.option));
        TIndexTree tree(*file, 1, BytesCompare(10));
        ASSERT_TRUE(tree.Insert(a.data(), 5));
        ASSERT_TRUE(tree.Insert(b.data(), 6));
        PinnedPage page(*file, file->GetPage(1, file->GetRoot(1)));
        std::array<std::uint8_t, kIndexPageSize> bytes{};
        page->WritePage(bytes);
        page->SetChanged(true);
        const std::size_t used = c.sizes[0] + c.sizes[1];
        EXPECT_EQ(GetU16(bytes, 1), 2) << int(c.option);
        EXPECT_EQ(GetU16(bytes, 11), c.option == 0 ? 0u : used) << int(c.option);
        if (c.option == 3) {
            // Second entry: p = 6 (clamped to k - 4), t = 0, the whole ID.
            const std::size_t at = 13 + c.sizes[0];
            EXPECT_EQ(bytes[at], 6);
            EXPECT_EQ(bytes[at + 1], 0);
            EXPECT_EQ(bytes[at + 2], 0x80);
            EXPECT_EQ(bytes[at + 5], 2);
            EXPECT_EQ(GetU32(bytes, at + 6), 6u);
        }
        if (c.option == 2) {
            EXPECT_EQ(GetU16(bytes, 13), 2);     // two zeros before the ID
            EXPECT_EQ(bytes[13 + 2 + 4], 0x80);  // the ID follows the text at once
        }
        TPage copy(file.get());
        copy.Setup(1, 10, false, false, c.option, page->Offset());
        copy.ReadPage(bytes, false);
        ASSERT_EQ(copy.EntryCount(), 2);
        EXPECT_TRUE(std::equal(a.begin(), a.end(), copy.KeyAt(1)));
        EXPECT_TRUE(std::equal(b.begin(), b.end(), copy.KeyAt(2)));
        EXPECT_EQ(copy.PointerAt(2), 6u);
    }
}

TEST_F(IndexFileFixture, DamagedPageRaisesInsteadOfReadingPastItsEnd) {
    auto file = NewFile();
    file->AddIndex(Descriptor("K", 10, false, 3));
    std::array<std::uint8_t, kIndexPageSize> bytes{};
    bytes[0] = 3;
    PutU16(bytes, 1, 900);  // more entries than the page can hold
    TPage page(file.get());
    page.Setup(1, 10, false, false, 3, 4096);
    EXPECT_THROW(page.ReadPage(bytes, false), EStrataEngineError);
    bytes.fill(0);
    bytes[0] = 3;
    PutU16(bytes, 1, 1);
    bytes[13] = 9;  // p + t beyond the key
    bytes[14] = 9;
    std::vector<std::uint32_t> records;
    EXPECT_THROW(page.ReadPage(bytes, false), EStrataEngineError);
    EXPECT_THROW(page.ReadLeafRecords(bytes, records), EStrataEngineError);
    bytes[14] = 0;  // the entry now fits, but the page's byte count says 0
    EXPECT_THROW(page.ReadPage(bytes, false), EStrataEngineError);
    EXPECT_THROW(page.ReadLeafRecords(bytes, records), EStrataEngineError);
    PutU16(bytes, 11, 2 + 1 + 4 + 4);  // counts, one key byte, ID, record number
    bytes[13] = 0;
    bytes[14] = 10 - 4 - 1;
    PutU32(bytes, 13 + 2 + 1 + 4, 77);
    page.ReadPage(bytes, false);
    EXPECT_EQ(page.PointerAt(1), 77u);
    page.ReadLeafRecords(bytes, records);
    EXPECT_EQ(records, std::vector<std::uint32_t>{77});
    bytes[0] = 7;  // no such kind
    EXPECT_THROW(page.ReadPage(bytes, false), EStrataEngineError);
    EXPECT_THROW(page.ReadLeafRecords(bytes, records), EStrataEngineError);
}

// A damaged page whose entry count cannot fit its page is refused from its
// header alone, whatever its kind and packing.
TEST_F(IndexFileFixture, EntryCountsBeyondThePageAreRefused) {
    struct Case {
        PageKind kind;
        std::uint8_t option;
        std::uint16_t key_size;
        bool unique;
        std::uint16_t count;
    };
    const Case cases[] = {
        {PageKind::kRootLeaf, 0, 20, true, 158},   // 4083 / 26 = 157 fit
        {PageKind::kLeaf, 0, 86, false, 0xFFFF},   //
        {PageKind::kInterior, 0, 20, true, 137},   // 4083 / 30 = 136 fit
        {PageKind::kRoot, 3, 86, false, 0xFFFF},   // interior pages never pack
        {PageKind::kLeaf, 1, 10, true, 681},       // 4083 / 6 = 680 fit
        {PageKind::kLeaf, 2, 10, false, 0xFFFF},   //
        {PageKind::kRootLeaf, 3, 528, true, 681},  //
    };
    auto file = NewFile();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << int(c.kind) << " option " << int(c.option) << " count " << c.count);
        std::array<std::uint8_t, kIndexPageSize> bytes{};
        bytes[0] = static_cast<std::uint8_t>(c.kind);
        PutU16(bytes, 1, c.count);
        TPage page(file.get());
        page.Setup(1, c.key_size, false, c.unique, c.option, 4096);
        try {
            page.ReadPage(bytes, false);
            ADD_FAILURE() << "the page was read";
        } catch (const EStrataEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), kErrIndexPageCorrupt);
        }
        EXPECT_EQ(page.EntryCount(), 0);
        // A scan reading only the record numbers refuses it as well.
        std::vector<std::uint32_t> records;
        try {
            page.ReadLeafRecords(bytes, records);
            ADD_FAILURE() << "the records were read";
        } catch (const EStrataEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), kErrIndexPageCorrupt);
        }
    }
}

Key WideKey(std::uint32_t value) {
    Key key(500, 0);
    key[0] = static_cast<std::uint8_t>(value >> 8);
    key[1] = static_cast<std::uint8_t>(value & 0xFF);
    return key;
}

// WideKey's order with no zero runs after the value: pages of these keys
// hardly pack, so a small cache must write them out.
Key NoisyWideKey(std::uint32_t value) {
    Key key = WideKey(value);
    std::mt19937 noise(value);
    for (std::size_t i = 2; i < key.size(); ++i)
        key[i] = static_cast<std::uint8_t>(noise() % 255 + 1);
    return key;
}

// Every key in order with its record, and the interior counts agree with
// the leaves (ordinal lookups land on the same records).
void ExpectTreeHolds(TIndexTree& tree, const std::map<Key, std::uint32_t>& expected) {
    std::vector<std::pair<Key, std::uint32_t>> seen;
    tree.ForEach([&](std::span<const std::uint8_t> key, std::uint32_t record) {
        seen.emplace_back(Key(key.begin(), key.end()), record);
    });
    ASSERT_EQ(seen, (std::vector<std::pair<Key, std::uint32_t>>(expected.begin(), expected.end())));
    ASSERT_EQ(tree.KeyCount(), expected.size());
    std::uint64_t ordinal = 0;
    for (const auto& [key, record] : expected) {
        ASSERT_EQ(tree.RecordAt(ordinal), record) << ordinal;
        ASSERT_EQ(tree.Ordinal(key.data()), ordinal);
        ++ordinal;
    }
}

// A new index file, without indexes yet, whose cache holds `capacity` pages.
std::unique_ptr<TIndexFile> NewIndexFile(const std::string& name, bool encrypted,
                                         std::size_t capacity) {
    auto file = std::make_unique<TIndexFile>();
    file->SetEncrypted(encrypted);
    file->SetName(name);
    file->CreateFile();
    file->SetPageCacheCapacity(capacity);
    return file;
}

// A new file of one 40-byte text index whose cache holds `capacity` pages.
std::unique_ptr<TIndexFile> NewTextIndexFile(const std::string& name, bool encrypted,
                                             std::size_t capacity, std::uint8_t option) {
    auto file = NewIndexFile(name, encrypted, capacity);
    file->AddIndex(Descriptor("Text", 40, false, option));
    return file;
}

// Inserts key `i` of a random text (record i + 1), then, on every `delete_every`th key, deletes
// a random key; `model` follows the tree.
void InsertWithSomeDeletes(TIndexTree& tree, std::map<Key, std::uint32_t>& model,
                           std::mt19937& random, std::uint32_t i, std::uint32_t delete_every) {
    const Key key = MakeKey(random() % 50000, i, 40, false);
    ASSERT_TRUE(tree.Insert(key.data(), i + 1));
    model[key] = i + 1;
    if (i % delete_every == 0) {
        auto victim = model.begin();
        std::advance(victim, static_cast<long>(random() % model.size()));
        ASSERT_TRUE(tree.Delete(victim->first.data()));
        model.erase(victim);
    }
}

// Writes and closes `file`, checks the tree read back from the file against `model`, and
// gives the file's bytes.
std::vector<std::uint8_t> CloseAndReadBack(TIndexFile& file, const std::string& name,
                                           bool encrypted, bool final_header,
                                           const std::map<Key, std::uint32_t>& model) {
    file.FlushPages();
    file.WriteHeader(final_header);
    file.Close();
    std::vector<std::uint8_t> bytes = testing_support::ReadBytes(name);
    file.SetEncrypted(encrypted);
    file.Open();
    TIndexTree reread(file, 1, BytesCompare(40));
    ExpectTreeHolds(reread, model);
    return bytes;
}

// Plain-byte keys order exactly as memcmp does, whatever their length and
// wherever the first difference lies (bytes above 0x7F included).
TEST(KeyCompareBytes, OrdersAsMemcmp) {
    std::mt19937 random(4);
    for (std::size_t n = 1; n <= 40; ++n) {
        for (std::size_t at = 0; at <= n; ++at) {
            Key a(n);
            for (auto& byte : a)
                byte = static_cast<std::uint8_t>(random());
            Key b = a;
            if (at < n)
                b[at] = static_cast<std::uint8_t>(b[at] ^ (1u << (random() % 8)));
            const int c = std::memcmp(a.data(), b.data(), n);
            const int expected = (c > 0) - (c < 0);
            ASSERT_EQ(KeyCompare::Bytes(n)(a.data(), b.data()), expected) << n << " " << at;
            ASSERT_EQ(KeyCompare::Bytes(n)(b.data(), a.data()), -expected) << n << " " << at;
            // Started anywhere within the bytes known equal, the order is the same and the
            // common prefix ends at the difference.
            for (std::size_t from = 0; from <= at && from <= n; ++from) {
                std::size_t common = n + 1;
                ASSERT_EQ(KeyCompare::CompareBytesFrom(a.data(), b.data(), n, from, common),
                          expected)
                    << n << " " << at << " " << from;
                ASSERT_EQ(common, at) << n << " " << at << " " << from;
            }
        }
    }
    // Keys that differ in several bytes after a shared prefix, where a key's last word overlaps
    // the one before it, with bytes of either sign bit.
    for (int round = 0; round < 20000; ++round) {
        const std::size_t n = 1 + random() % 20;
        const std::size_t shared = random() % (n + 1);
        const auto any_byte = [&] {
            return static_cast<std::uint8_t>(random() % 4 == 0 ? 0x80 | random() : random() % 3);
        };
        Key a(n);
        Key b(n);
        for (std::size_t i = 0; i < n; ++i) {
            a[i] = any_byte();
            b[i] = i < shared ? a[i] : any_byte();
        }
        const int c = std::memcmp(a.data(), b.data(), n);
        const int expected = (c > 0) - (c < 0);
        const auto first_difference = static_cast<std::size_t>(
            std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin());
        ASSERT_EQ(KeyCompare::Bytes(n)(a.data(), b.data()), expected) << n << " " << round;
        for (std::size_t from = 0; from <= first_difference; ++from) {
            std::size_t common = n + 1;
            ASSERT_EQ(KeyCompare::CompareBytesFrom(a.data(), b.data(), n, from, common), expected)
                << n << " " << round << " " << from;
            ASSERT_EQ(common, first_difference) << n << " " << round << " " << from;
        }
    }
}

// The packed tier gives back exactly the image it was given: zero runs of
// every length at every alignment, at both ends, and none at all.
TEST(PackedPageImage, GivesBackEveryImageExactly) {
    using Image = std::array<std::uint8_t, kIndexPageSize>;
    std::vector<Image> images;
    images.emplace_back().fill(0);
    images.emplace_back().fill(0xA5);
    for (std::size_t run = 1; run <= 19; ++run) {
        for (std::size_t at = 0; at < 9; ++at) {
            Image& image = images.emplace_back();
            image.fill(7);
            std::fill_n(image.begin() + static_cast<std::ptrdiff_t>(at * 37 + run), run, 0);
            std::fill_n(image.end() - static_cast<std::ptrdiff_t>(run + at), run + at, 0);
            std::fill_n(image.begin(), at, 0);
        }
    }
    std::mt19937 random(11);
    for (const unsigned sparse : {2u, 5u, 50u}) {
        Image& image = images.emplace_back();
        for (auto& byte : image)
            byte = random() % sparse == 0 ? static_cast<std::uint8_t>(random() % 255 + 1) : 0;
    }
    Image& alternating = images.emplace_back();
    for (std::size_t i = 0; i < alternating.size(); ++i)
        alternating[i] = i % 2 == 0 ? 0 : 1;
    std::vector<std::uint8_t> packed;
    for (std::size_t n = 0; n < images.size(); ++n) {
        PackPageImage(images[n], packed);
        Image back;
        back.fill(0xEE);
        UnpackPageImage(packed, back);
        EXPECT_EQ(back, images[n]) << "image " << n;
        // Unpacked only so far, the image holds its first bytes exactly.
        for (const std::size_t limit : {std::size_t{1}, std::size_t{13}, std::size_t{100},
                                        std::size_t{2049}, kIndexPageSize - 1}) {
            back.fill(0xEE);
            UnpackPageImage(packed, back, limit);
            EXPECT_TRUE(std::equal(back.begin(), back.begin() + static_cast<std::ptrdiff_t>(limit),
                                   images[n].begin()))
                << "image " << n << " limit " << limit;
        }
    }
}

// Pages packed straight from their entries unpack to exactly the image a
// write makes, for every kind of page: plain and compressed leaves, unique
// or not, interior pages, pages emptied to the free chain, and scrambled
// files; and the packing takes about the room packing that image takes.
// Pages of entries at full width read back from their runs alone, and
// damaged runs are refused.
TEST_F(IndexFileFixture, PagesPackedFromTheirEntriesUnpackToTheirWrittenImage) {
    struct Case {
        std::uint8_t option;
        bool unique;
        std::uint16_t key_size;
        bool encrypted;
    };
    const Case cases[] = {{0, false, 86, false}, {0, true, 40, false}, {0, false, 9, false},
                          {1, false, 60, false}, {2, true, 60, false}, {3, false, 86, false},
                          {3, true, 20, false},  {0, false, 86, true}, {3, false, 40, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "option " << int(c.option) << " unique " << c.unique
                                        << " key " << c.key_size << " scrambled " << c.encrypted);
        auto file = std::make_unique<TIndexFile>();
        file->SetEncrypted(c.encrypted);
        file->SetName(dir_.File("p" + std::to_string(&c - cases) + ".IDX"));
        file->CreateFile();
        file->AddIndex(Descriptor("ByItem", c.key_size, c.unique, c.option));
        std::vector<Key> keys;
        {
            TIndexTree tree(*file, 1, BytesCompare(c.key_size));
            std::mt19937 random(17);
            for (std::uint32_t i = 0; i < 3000; ++i) {
                Key key = MakeKey(c.unique ? i : random() % 5000, i, c.key_size, c.unique);
                if (c.key_size >= 40 && i % 5 == 0)
                    key[c.key_size / 2] = 0x7F;  // a run of zeros amid the padding
                if (tree.Insert(key.data(), i + 1))
                    keys.push_back(key);
            }
            // Emptied pages stand on the free chain.
            for (std::size_t i = 0; i < keys.size() / 2; ++i)
                ASSERT_TRUE(tree.Delete(keys[i].data()));
        }
        std::size_t pages = 0;
        std::size_t interior = 0;
        for (std::uint32_t offset = kIndexPageSize; offset < file->GetNextPageOffset();
             offset += kIndexPageSize) {
            TPage* page = file->FindCachedPage(1, offset);
            if (page == nullptr)
                continue;
            std::array<std::uint8_t, kIndexPageSize> image;
            image.fill(0xEE);
            const std::size_t zeros_from = page->WritePage(image);
            std::vector<std::uint8_t> from_image(kMaxPackedImage);
            from_image.resize(PackPageImage(image, from_image, zeros_from));
            page->SetChanged(true);
            std::vector<std::uint8_t> packed(kMaxPackedImage);
            packed.resize(TIndexFile::PackPageEntries(*page, packed));
            EXPECT_FALSE(page->Changed());
            page->SetChanged(true);
            std::array<std::uint8_t, kIndexPageSize> back;
            back.fill(0xEE);
            UnpackPageImage(packed, back);
            ASSERT_EQ(back, image) << "page at " << offset;
            if (!c.encrypted && !page->Free() && (c.option == 0 || page->IsInterior())) {
                // Read back straight from the runs, it is the page read from its image.
                TPage read(file.get());
                read.Setup(1, c.key_size, false, c.unique, c.option, offset);
                file->ReadPlainPacked(packed, read);
                std::array<std::uint8_t, kIndexPageSize> again;
                again.fill(0xEE);
                read.WritePage(again);
                ASSERT_EQ(again, image) << "page at " << offset;
                ASSERT_EQ(read.EntryCount(), page->EntryCount());
                for (std::int64_t i = 1; i <= read.EntryCount(); ++i)
                    ASSERT_EQ(read.CountAt(i), page->CountAt(i)) << i;
            }
            EXPECT_LE(packed.size(), from_image.size() * 17 / 16 + 16) << "page at " << offset;
            ++pages;
            interior += page->IsInterior() ? 1 : 0;
        }
        EXPECT_GT(pages, 10u);
        EXPECT_GT(interior, 0u);
    }
    // Damaged packed images are refused: a header not whole in the first
    // run, a kind above 3, more entries than a page holds.
    const auto packed_page = [](std::uint8_t kind, std::uint16_t count) {
        // One run of 13 bytes (the header, then zeros), then the zeros to the page's end.
        std::vector<std::uint8_t> packed(2 + 13 + 2, 0);
        packed[0] = 13;
        packed[2] = kind;
        StoreLittle(packed.data() + 3, count);
        StoreLittle(packed.data() + 2 + 13, static_cast<std::uint16_t>(kIndexPageSize - 13));
        return packed;
    };
    auto file = NewFile();
    file->AddIndex(Descriptor("K", 40, false, 0));
    TPage page(file.get());
    page.Setup(1, 40, false, false, 0, kIndexPageSize);
    file->ReadPlainPacked(packed_page(2, 0), page);
    EXPECT_EQ(page.EntryCount(), 0);
    const std::vector<std::uint8_t> headless = {0, 0, 0x00, 0x10};
    EXPECT_THROW(file->ReadPlainPacked(headless, page), EStrataEngineError);
    EXPECT_THROW(file->ReadPlainPacked(packed_page(7, 0), page), EStrataEngineError);
    EXPECT_THROW(file->ReadPlainPacked(packed_page(2, 900), page), EStrataEngineError);
}

// The packing of full-width entries, a byte at a time: each entry apart, a run of
// zeros wherever one covers a word from the entry's start, widened byte by byte.
std::vector<std::uint8_t> PackEntriesByteByByte(std::span<const std::uint8_t> image,
                                                std::size_t count, std::size_t size) {
    std::vector<std::uint8_t> packed;
    std::vector<std::uint8_t> literal(image.begin(), image.begin() + kPageHeaderSize);
    const auto put = [&packed](std::size_t n) {
        packed.push_back(static_cast<std::uint8_t>(n & 0xFF));
        packed.push_back(static_cast<std::uint8_t>(n >> 8));
    };
    const auto zeros = [&](std::size_t n) {
        put(literal.size());
        packed.insert(packed.end(), literal.begin(), literal.end());
        put(n);
        literal.clear();
    };
    for (std::size_t e = 0; e < count; ++e) {
        const std::uint8_t* entry = image.data() + kPageHeaderSize + e * size;
        std::size_t from_literal = 0;
        std::size_t i = 0;
        while (i + 8 <= size) {
            if (!std::all_of(entry + i, entry + i + 8, [](std::uint8_t b) { return b == 0; })) {
                i += 8;
                continue;
            }
            std::size_t from = i;
            while (from > from_literal && entry[from - 1] == 0)
                --from;
            std::size_t to = i;
            while (to < size && entry[to] == 0)
                ++to;
            literal.insert(literal.end(), entry + from_literal, entry + from);
            zeros(to - from);
            from_literal = i = to;
        }
        literal.insert(literal.end(), entry + from_literal, entry + size);
    }
    zeros(kIndexPageSize - kPageHeaderSize - size * count);
    return packed;
}

// Full-width entries whose zeros fall anywhere (at either end of a word, across words,
// whole words at an entry's start or end) pack to the same runs as a byte-by-byte packing.
TEST_F(IndexFileFixture, PlainEntriesPackAsAByteByBytePackingDoes) {
    for (const std::uint16_t k : {std::uint16_t{9}, std::uint16_t{20}, std::uint16_t{43}}) {
        SCOPED_TRACE(k);
        auto file = NewFile();
        file->AddIndex(Descriptor("Z", k, false, 0));
        std::mt19937 random(k);
        {
            TIndexTree tree(*file, 1, BytesCompare(k));
            for (std::uint32_t i = 0; i < 1500; ++i) {
                Key key(k, 0);
                for (std::size_t at = 0; at < k - 4u;) {
                    const std::size_t n = 1 + random() % 11;
                    const bool zero = random() % 2 == 0;
                    for (std::size_t j = at; j < std::min<std::size_t>(at + n, k - 4u); ++j)
                        key[j] = zero ? 0 : static_cast<std::uint8_t>(1 + random() % 255);
                    at += n;
                }
                // The record ID (and so the pointer after it) may hold zero bytes too.
                for (std::size_t j = k - 4u; j < k; ++j)
                    key[j] = random() % 3 == 0 ? 0 : static_cast<std::uint8_t>(random());
                tree.Insert(key.data(), random() % 4 == 0 ? i << 16 : i + 1);
            }
        }
        std::size_t pages = 0;
        for (std::uint32_t offset = kIndexPageSize; offset < file->GetNextPageOffset();
             offset += kIndexPageSize) {
            TPage* page = file->FindCachedPage(1, offset);
            if (page == nullptr || page->Free())
                continue;
            std::array<std::uint8_t, kIndexPageSize> image;
            page->WritePage(image);
            page->SetChanged(true);
            const std::size_t size = k + (page->IsInterior() ? 8u : 4u);
            std::vector<std::uint8_t> packed(kMaxPackedImage);
            packed.resize(TIndexFile::PackPageEntries(*page, packed));
            page->SetChanged(true);
            ASSERT_EQ(packed, PackEntriesByteByByte(
                                  image, static_cast<std::size_t>(page->EntryCount()), size))
                << "page at " << offset;
            ++pages;
        }
        EXPECT_GT(pages, 5u);
    }
}

// A page of padded keys (a text field and its zeros) packs to a fraction of
// its size, which is what lets the cache hold more of a tree.
TEST_F(IndexFileFixture, PaddedKeysPackSmall) {
    auto file = NewFile();
    file->AddIndex(Descriptor("ByItem", 86, false, 0));
    TIndexTree tree(*file, 1, BytesCompare(86));
    for (std::uint32_t i = 0; i < 40; ++i)  // 44 fit in one leaf
        ASSERT_TRUE(tree.Insert(MakeKey(i * 61, i, 86, false).data(), i + 1));
    PinnedPage page(*file, file->GetPage(1, file->GetRoot(1)));
    ASSERT_EQ(page->EntryCount(), 40);
    std::array<std::uint8_t, kIndexPageSize> image{};
    page->WritePage(image);
    page->SetChanged(true);
    std::vector<std::uint8_t> packed;
    PackPageImage(image, packed);
    EXPECT_LT(packed.size(), kIndexPageSize / 3);
}

// Pages of plain keys cost the cache about their size, whatever order the
// keys came in, so the budget's count of pages is what it holds.
TEST_F(IndexFileFixture, PlainPagesCostTheCacheAboutTheirSize) {
    // Page objects take spare entry buffers kept per thread, and the page
    // objects of files closed before (with the entries they grew) from the
    // process's reserve: a fresh thread and an emptied reserve keep what
    // earlier tests left out of the measure.
    std::thread([&] {
        ReleasePageReserve();
        auto file = NewFile();
        file->AddIndex(Descriptor("ByItem", 86, false, 0));
        TIndexTree tree(*file, 1, BytesCompare(86));
        std::mt19937 random(8);
        for (std::uint32_t i = 0; i < 5000; ++i)
            ASSERT_TRUE(tree.Insert(MakeKey(random() % 100000, i, 86, false).data(), i + 1));
        ASSERT_GT(file->CachedPageTotal(), 100u);
        EXPECT_LT(file->CachedPageBytes(), file->CachedPageTotal() * kIndexPageSize * 5 / 4);
    }).join();
}

// The same edits through a cache of a few pages (most pages moving through
// the packed tier, written when they leave it) and through a cache holding
// everything leave byte-identical files, plain and scrambled.
TEST(PackedPageTier, SmallAndLargeCachesWriteTheSameFile) {
    for (const std::uint8_t option : {std::uint8_t{0}, std::uint8_t{3}}) {
        for (const bool encrypted : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "option " << int(option) << " encrypted " << encrypted);
            TempDir dir;
            std::vector<std::vector<std::uint8_t>> files;
            for (const std::size_t capacity : {std::size_t{2}, std::size_t{kPageCacheCapacity}}) {
                const std::string name = dir.File("c" + std::to_string(capacity) + ".IDX");
                auto file = NewTextIndexFile(name, encrypted, capacity, option);
                std::map<Key, std::uint32_t> model;
                std::mt19937 random(3);
                {
                    TIndexTree tree(*file, 1, BytesCompare(40));
                    for (std::uint32_t i = 0; i < 4000; ++i) {
                        ASSERT_NO_FATAL_FAILURE(InsertWithSomeDeletes(tree, model, random, i, 4));
                    }
                    ExpectTreeHolds(tree, model);
                }
                if (capacity == 2) {
                    EXPECT_GT(file->GetStatistics().packed_hits, 0u);
                    EXPECT_GT(file->PackedPageTotal(), 0u);
                    EXPECT_GT(file->GetStatistics().writes, 0u);  // changed pages left it
                }
                files.push_back(CloseAndReadBack(*file, name, encrypted, false, model));
            }
            EXPECT_GT(files[0].size(), 8 * kIndexPageSize);  // more than the small cache holds
            EXPECT_TRUE(files[0] == files[1]);
        }
    }
}

// Flushes between bursts of edits, some when most of the packed tier is
// changed (its pages found through the tier's map) and some when only a
// few of its pages are (found along the chain of changed pages), write
// what a cache holding everything writes: after each flush the file on
// disk matches it byte for byte, and nothing stays changed.
TEST(PackedPageTier, FlushesOfFewOrMostPackedPagesWriteWhatALargeCacheWrites) {
    TempDir dir;
    const std::string small_name = dir.File("small.IDX");
    const std::string large_name = dir.File("large.IDX");
    auto small = NewTextIndexFile(small_name, false, 2, 0);
    auto large = NewTextIndexFile(large_name, false, kPageCacheCapacity, 0);
    std::map<Key, std::uint32_t> small_model;
    std::map<Key, std::uint32_t> large_model;
    std::mt19937 small_random(31);
    std::mt19937 large_random(31);
    std::uint32_t i = 0;
    for (const std::uint32_t burst : {3000u, 5u, 1u, 2000u, 40u, 3u}) {
        SCOPED_TRACE(testing::Message() << "burst of " << burst);
        {
            TIndexTree small_tree(*small, 1, BytesCompare(40));
            TIndexTree large_tree(*large, 1, BytesCompare(40));
            for (std::uint32_t n = 0; n < burst; ++n, ++i) {
                ASSERT_NO_FATAL_FAILURE(
                    InsertWithSomeDeletes(small_tree, small_model, small_random, i, 3));
                ASSERT_NO_FATAL_FAILURE(
                    InsertWithSomeDeletes(large_tree, large_model, large_random, i, 3));
            }
        }
        EXPECT_GT(small->PackedPageTotal(), small->CachedPageTotal());
        small->FlushPages();
        small->WriteHeader(false);
        large->FlushPages();
        large->WriteHeader(false);
        EXPECT_FALSE(small->FlushPages());  // nothing left to write
        EXPECT_TRUE(testing_support::ReadBytes(small_name) ==
                    testing_support::ReadBytes(large_name));
    }
    EXPECT_GT(small->GetStatistics().packed_hits, 0u);
    EXPECT_EQ(small_model, large_model);
    CloseAndReadBack(*small, small_name, false, false, small_model);
}

// Plain files give most of a tight budget to the packed tier, files with a
// compressed index keep more pages unpacked. Either way, pages changed in
// part, packed, brought back and changed again (each index of the file in
// turn, the plain one beside the compressed one) reach the file exactly as
// through a cache that holds everything.
TEST(PackedPageTier, PlainAndMixedFilesWriteTheSameFileThroughAnyCache) {
    for (const std::uint8_t second : {std::uint8_t{0}, std::uint8_t{3}}) {
        SCOPED_TRACE(testing::Message() << "second index option " << int(second));
        TempDir dir;
        std::vector<std::vector<std::uint8_t>> files;
        for (const std::size_t capacity : {std::size_t{3}, std::size_t{kPageCacheCapacity}}) {
            const std::string name = dir.File("m" + std::to_string(capacity) + ".IDX");
            auto file = NewIndexFile(name, false, capacity);
            file->AddIndex(Descriptor("Plain", 60, false, 0));
            file->AddIndex(Descriptor("Other", 30, false, second));
            std::array<std::map<Key, std::uint32_t>, 2> models;
            std::mt19937 random(21);
            {
                TIndexTree plain(*file, 1, BytesCompare(60));
                TIndexTree other(*file, 2, BytesCompare(30));
                for (std::uint32_t i = 0; i < 3000; ++i) {
                    const Key a = MakeKey(random() % 40000, i, 60, false);
                    const Key b = MakeKey(random() % 400, i, 30, false);
                    ASSERT_TRUE(plain.Insert(a.data(), i + 1));
                    ASSERT_TRUE(other.Insert(b.data(), i + 1));
                    models[0][a] = i + 1;
                    models[1][b] = i + 1;
                    if (i % 3 == 0) {
                        for (std::size_t t = 0; t < 2; ++t) {
                            auto victim = models[t].begin();
                            std::advance(victim, static_cast<long>(random() % models[t].size()));
                            TIndexTree& tree = t == 0 ? plain : other;
                            ASSERT_TRUE(tree.Delete(victim->first.data()));
                            models[t].erase(victim);
                        }
                    }
                }
                ExpectTreeHolds(plain, models[0]);
                ExpectTreeHolds(other, models[1]);
            }
            if (capacity == 3) {
                EXPECT_GT(file->GetStatistics().packed_hits, 0u);
                EXPECT_GT(file->PackedPageTotal(), file->CachedPageTotal());
                EXPECT_EQ(file->AnyCompressedIndex(), second != 0);
            }
            file->FlushPages();
            file->WriteHeader(false);
            file->Close();
            files.push_back(testing_support::ReadBytes(name));
            file->Open();
            TIndexTree plain(*file, 1, BytesCompare(60));
            TIndexTree other(*file, 2, BytesCompare(30));
            ExpectTreeHolds(plain, models[0]);
            ExpectTreeHolds(other, models[1]);
        }
        EXPECT_GT(files[0].size(), 16 * kIndexPageSize);
        EXPECT_TRUE(files[0] == files[1]);
    }
}

// Flushes handed to a helper thread: right after each one the caches are emptied (or left
// tiny), so the tree is read back while its pages may still be on their way to the file; it
// must read as the model says, later flushes must see the earlier ones' pages, and the file
// must end byte for byte as flushes written in place leave it (header included), plain,
// compressed and scrambled.
TEST(WriteBehind, PagesReadBackOnTheirWayAndTheFileMatchesWritingInPlace) {
    for (const std::uint8_t option : {std::uint8_t{0}, std::uint8_t{3}}) {
        for (const bool encrypted : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "option " << int(option) << " encrypted " << encrypted);
            TempDir dir;
            std::vector<std::vector<std::uint8_t>> files;
            for (const bool behind : {false, true}) {
                const std::string name = dir.File(behind ? "b.IDX" : "p.IDX");
                auto file =
                    NewTextIndexFile(name, encrypted, behind ? 3 : kPageCacheCapacity, option);
                std::map<Key, std::uint32_t> model;
                std::mt19937 random(5);
                {
                    TIndexTree tree(*file, 1, BytesCompare(40));
                    for (std::uint32_t i = 0; i < 4000; ++i) {
                        ASSERT_NO_FATAL_FAILURE(InsertWithSomeDeletes(tree, model, random, i, 3));
                        if (i % 500 != 499)
                            continue;
                        const bool kept = behind && file->BeginWriteBehind();
                        ASSERT_EQ(kept, behind);
                        file->FlushPages();
                        file->WriteHeader(true);
                        if (kept) {
                            file->HandOffKeptPages(false);
                            file->ClearPageCaches(true);
                            // A range walk reads leaves straight from the file, several at a
                            // time: the kept images must win over bytes not yet written.
                            std::vector<std::uint32_t> walked;
                            TIndexTree::WalkRecords(
                                *file, 1, 0, model.size(),
                                [&](std::uint32_t record) { walked.push_back(record); });
                            std::vector<std::uint32_t> wanted;
                            for (const auto& [key, record] : model)
                                wanted.push_back(record);
                            std::sort(walked.begin(), walked.end());
                            std::sort(wanted.begin(), wanted.end());
                            EXPECT_EQ(walked, wanted);
                            ExpectTreeHolds(tree, model);
                        }
                    }
                    ExpectTreeHolds(tree, model);
                }
                files.push_back(CloseAndReadBack(*file, name, encrypted, true, model));
            }
            EXPECT_GT(files[0].size(), 8 * kIndexPageSize);  // more than the small cache holds
            EXPECT_TRUE(files[0] == files[1]);
        }
    }
}

// Fails every write made off the test's thread (a write-behind's helper) while set.
std::atomic<bool> fail_helper_writes{false};
std::atomic<bool> fail_every_write{false};
std::atomic<int> writes_failed{0};
std::thread::id test_thread;
void FailWrites() {
    if (fail_every_write || (fail_helper_writes && std::this_thread::get_id() != test_thread)) {
        ++writes_failed;
        RaiseEngineError(kErrWrite, "write");
    }
}

// Hooks FailWrites for this thread's test and leaves every switch off and the count at zero
// at the end, whatever the test left.
struct FailingWritesHook {
    FailingWritesHook() {
        test_thread = std::this_thread::get_id();
        SetFileStepHook(FailWrites);
    }
    ~FailingWritesHook() {
        SetFileStepHook(nullptr);
        fail_helper_writes = false;
        fail_every_write = false;
        writes_failed = 0;
    }
    FailingWritesHook(const FailingWritesHook&) = delete;
    FailingWritesHook& operator=(const FailingWritesHook&) = delete;
};

// Flushes of hundreds of pages at a time (the helper writes the first runs while the later
// ones are put together, and the kept images fill many blocks, reused flush after flush)
// leave the file that writing in place leaves; so do flushes whose helper writes fail, whose
// bytes the next use of the file writes again, and a flush whose retry fails too, which is
// raised and written by the one after. Between flushes the tree reads back as the model says,
// from the file or from the kept images.
TEST(WriteBehind, LargeAndFailingFlushesEndAsWritingInPlace) {
    TempDir dir;
    const FailingWritesHook failing_writes;
    std::vector<std::vector<std::uint8_t>> files;
    for (const bool behind : {false, true}) {
        SCOPED_TRACE(behind);
        const std::string name = dir.File(behind ? "b.IDX" : "p.IDX");
        auto file = NewTextIndexFile(name, false, kPageCacheCapacity, 0);
        std::map<Key, std::uint32_t> model;
        std::mt19937 random(9);
        TIndexTree tree(*file, 1, BytesCompare(40));
        for (int round = 0; round < 6; ++round) {
            // The first round fills the file, the later ones change scattered pages.
            const std::uint32_t n = round == 0 ? 12000 : 600;
            for (std::uint32_t i = 0; i < n; ++i) {
                const std::uint32_t id = static_cast<std::uint32_t>(round) * 20000 + i;
                ASSERT_NO_FATAL_FAILURE(
                    InsertWithSomeDeletes(tree, model, random, id, round == 0 ? 4 : 2));
            }
            fail_helper_writes = behind && (round == 2 || round == 4);
            const bool kept = behind && file->BeginWriteBehind();
            ASSERT_EQ(kept, behind);
            file->FlushPages();
            file->WriteHeader(true);
            if (!kept)
                continue;
            file->HandOffKeptPages(false);
            file->ClearPageCaches(true);
            ExpectTreeHolds(tree, model);
            if (round == 4) {
                // The statement's own retry fails as well: raised, and kept for the next.
                fail_every_write = true;
                try {
                    file->FinishWriteBehind();
                    ADD_FAILURE() << "no error";
                } catch (const EStrataEngineError& e) {
                    EXPECT_EQ(e.ErrorCode(), kErrWrite);
                }
                fail_every_write = false;
                ExpectTreeHolds(tree, model);
            }
            fail_helper_writes = false;
        }
        ASSERT_GT(file->GetNextPageOffset(), 130 * kIndexPageSize);
        files.push_back(CloseAndReadBack(*file, name, false, true, model));
    }
    EXPECT_EQ(writes_failed, 3);
    EXPECT_TRUE(files[0] == files[1]);
}

// Threads of this process.
std::size_t ThreadCount() {
    const std::filesystem::directory_iterator tasks("/proc/self/task");
    return static_cast<std::size_t>(std::distance(begin(tasks), end(tasks)));
}

// One write-behind flush of `file`: kept, handed off and, when `settle`, waited for.
void FlushBehind(TIndexFile& file, bool settle) {
    ASSERT_TRUE(file.BeginWriteBehind());
    file.FlushPages();
    file.WriteHeader(true);
    file.HandOffKeptPages(false);
    if (settle)
        file.FinishWriteBehind();
}

// A write-behind builds each flush's images in places that earlier flushes' images took:
// flushes of leaves that fill and then empty again (merges and redistributions among them),
// the header's image in between, must leave after every flush the bytes that writing in place
// leaves, whatever an earlier image left in the place of a shorter one.
TEST(WriteBehind, EveryFlushOfShrinkingPagesWritesWhatWritingInPlaceWrites) {
    for (const std::uint8_t option : {std::uint8_t{0}, std::uint8_t{3}}) {
        for (const bool encrypted : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "option " << int(option) << " encrypted " << encrypted);
            TempDir dir;
            const std::string in_place = dir.File("p.IDX");
            const std::string behind = dir.File("b.IDX");
            std::array<std::unique_ptr<TIndexFile>, 2> files = {
                NewTextIndexFile(in_place, encrypted, kPageCacheCapacity, option),
                NewTextIndexFile(behind, encrypted, kPageCacheCapacity, option)};
            std::array<std::map<Key, std::uint32_t>, 2> models;
            std::array<std::mt19937, 2> randoms = {std::mt19937(23), std::mt19937(23)};
            for (std::uint32_t round = 0; round < 8; ++round) {
                SCOPED_TRACE(testing::Message() << "round " << round);
                for (std::size_t s = 0; s < 2; ++s) {
                    TIndexTree tree(*files[s], 1, BytesCompare(40));
                    // Even rounds fill the leaves, odd ones take most keys out again.
                    const std::uint32_t inserts = round % 2 == 0 ? 1500 : 100;
                    for (std::uint32_t i = 0; i < inserts; ++i) {
                        ASSERT_NO_FATAL_FAILURE(InsertWithSomeDeletes(
                            tree, models[s], randoms[s], round * 2000 + i, round % 2 == 0 ? 5 : 1));
                    }
                    if (round % 2 == 1) {
                        for (auto it = models[s].begin(); it != models[s].end();) {
                            if (randoms[s]() % 4 == 0) {
                                ++it;
                                continue;
                            }
                            ASSERT_TRUE(tree.Delete(it->first.data()));
                            it = models[s].erase(it);
                        }
                    }
                }
                files[0]->FlushPages();
                files[0]->WriteHeader(true);
                ASSERT_NO_FATAL_FAILURE(FlushBehind(*files[1], true));
                const std::vector<std::uint8_t> bytes = testing_support::ReadBytes(in_place);
                EXPECT_GT(bytes.size(), 4 * kIndexPageSize);
                ASSERT_TRUE(bytes == testing_support::ReadBytes(behind));
            }
            EXPECT_EQ(models[0], models[1]);
            for (std::size_t s = 0; s < 2; ++s) {
                TIndexTree tree(*files[s], 1, BytesCompare(40));
                ExpectTreeHolds(tree, models[s]);
            }
        }
    }
}

// The helper thread serves every flush of a file, whether the caller waits for it or goes on
// (its next flush then waits), through failed helper writes the caller writes again, and ends
// when the file closes or goes away: the tree reads back whole after each flush and from the
// reopened file, and no thread is left behind.
TEST(WriteBehind, OneHelperServesEveryFlushAndEndsWithTheFile) {
    TempDir dir;
    const FailingWritesHook failing_writes;
    const std::string name = dir.File("h.IDX");
    const std::size_t before = ThreadCount();
    std::map<Key, std::uint32_t> model;
    std::mt19937 random(11);
    auto file = NewTextIndexFile(name, false, 4, 3);
    {
        TIndexTree tree(*file, 1, BytesCompare(40));
        for (std::uint32_t round = 0; round < 8; ++round) {
            for (std::uint32_t i = 0; i < 400; ++i)
                ASSERT_NO_FATAL_FAILURE(
                    InsertWithSomeDeletes(tree, model, random, round * 400 + i, 3));
            fail_helper_writes = round == 5;
            ASSERT_NO_FATAL_FAILURE(FlushBehind(*file, round % 2 == 1));
            EXPECT_EQ(ThreadCount(), before + 1) << round;
            file->ClearPageCaches(true);
            ExpectTreeHolds(tree, model);
            fail_helper_writes = false;
        }
        EXPECT_GT(writes_failed, 0);
    }
    {
        const std::vector<std::uint8_t> bytes = CloseAndReadBack(*file, name, false, true, model);
        EXPECT_GT(bytes.size(), 8 * kIndexPageSize);
    }
    EXPECT_EQ(ThreadCount(), before);
    // The reopened file starts a helper of its own, which goes with the file object.
    {
        TIndexTree tree(*file, 1, BytesCompare(40));
        for (std::uint32_t i = 0; i < 200; ++i)
            ASSERT_NO_FATAL_FAILURE(InsertWithSomeDeletes(tree, model, random, 9000 + i, 3));
    }
    ASSERT_NO_FATAL_FAILURE(FlushBehind(*file, false));
    EXPECT_EQ(ThreadCount(), before + 1);
    file.reset();
    EXPECT_EQ(ThreadCount(), before);
    TIndexFile reread;
    reread.SetName(name);
    reread.Open();
    TIndexTree tree(reread, 1, BytesCompare(40));
    ExpectTreeHolds(tree, model);
}

// A process forked while a file's helper waits for the next flush has no helper: its own
// write-behind flushes start one and finish (a wait for the parent's thread would never end),
// and the parent's helper still ends with the parent's file.
TEST(WriteBehind, AForkedProcessFlushesWithoutTheParentsHelper) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer starts no thread in a process forked with threads";
#endif
    TempDir dir;
    auto file = NewTextIndexFile(dir.File("f.IDX"), false, 4, 0);
    std::map<Key, std::uint32_t> model;
    std::mt19937 random(12);
    TIndexTree tree(*file, 1, BytesCompare(40));
    for (std::uint32_t i = 0; i < 600; ++i)
        ASSERT_NO_FATAL_FAILURE(InsertWithSomeDeletes(tree, model, random, i, 3));
    ASSERT_NO_FATAL_FAILURE(FlushBehind(*file, true));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        alarm(60);
        int code = 0;
        try {
            for (std::uint32_t round = 0; round < 2 && code == 0; ++round) {
                for (std::uint32_t i = 0; i < 300; ++i) {
                    const Key key = MakeKey(random() % 50000, 1000 + round * 300 + i, 40, false);
                    if (!tree.Insert(key.data(), 1000 + round * 300 + i + 1))
                        code = 2;
                    model[key] = 1000 + round * 300 + i + 1;
                }
                if (!file->BeginWriteBehind())
                    code = 3;
                file->FlushPages();
                file->WriteHeader(true);
                file->HandOffKeptPages(false);
                file->FinishWriteBehind();
                file->ClearPageCaches(true);
                std::map<Key, std::uint32_t> seen;
                tree.ForEach([&](std::span<const std::uint8_t> key, std::uint32_t record) {
                    seen.emplace(Key(key.begin(), key.end()), record);
                });
                if (seen != model)
                    code = 4;
            }
        } catch (...) {
            code = 5;
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    file->Close();
}

// Fails the write `writes_to_failure` steps from when it is set (0: none fails).
std::atomic<int> writes_to_failure{0};
void FailCountedWrite() {
    if (writes_to_failure > 0 && --writes_to_failure == 0)
        RaiseEngineError(kErrWrite, "write");
}

// Flushes between edits whose changed pages overlap from one flush to the next, in runs of
// adjacent pages (keys appended to one index grow the file page after page) beside single pages
// scattered over it (random keys of the other), with a page held pinned across one flush and a
// flush whose third write fails. After each flush a reader of the file's bytes, with a cache
// of its own, finds both indexes as the models say, and the file is byte for byte what a cache too
// small for the changed pages (they leave through the packed tier) writes at the same points;
// the pinned page goes with the next flush, and the flush after the failed one writes the
// pages that one did not.
TEST(IndexFlush, EveryFlushLeavesTheWholeTreesInTheFileWhateverTheCache) {
    SetFileStepHook(FailCountedWrite);
    struct Unhook {
        ~Unhook() {
            SetFileStepHook(nullptr);
            writes_to_failure = 0;
        }
    } unhook;
    const auto ascending = [](std::uint32_t value) {
        Key key(40, 0);
        key[0] = 1;
        const std::string text = "member" + std::to_string(10000000 + value);
        std::memcpy(&key[1], text.data(), text.size());
        return key;
    };
    for (const std::uint8_t option : {std::uint8_t{0}, std::uint8_t{3}}) {
        SCOPED_TRACE(testing::Message() << "option " << int(option));
        TempDir dir;
        struct Side {
            std::unique_ptr<TIndexFile> file;
            std::string name;
            std::array<std::map<Key, std::uint32_t>, 2> models;
            std::mt19937 random{17};
        };
        std::array<Side, 2> sides;
        for (std::size_t s = 0; s < 2; ++s) {
            sides[s].name = dir.File(s == 0 ? "large.IDX" : "small.IDX");
            sides[s].file =
                NewTextIndexFile(sides[s].name, false, s == 0 ? kPageCacheCapacity : 3, option);
            sides[s].file->AddIndex(Descriptor("Appended", 40, false, 0));
        }
        std::uint32_t next = 0;
        for (int round = 0; round < 9; ++round) {
            SCOPED_TRACE(testing::Message() << "round " << round);
            const std::uint32_t first = next;
            const std::uint32_t n =
                round == 0 ? 2500 : 150 + 40 * static_cast<std::uint32_t>(round);
            for (Side& side : sides) {
                TIndexTree text(*side.file, 1, BytesCompare(40));
                TIndexTree appended(*side.file, 2, BytesCompare(40));
                for (std::uint32_t i = first; i < first + n; ++i) {
                    ASSERT_NO_FATAL_FAILURE(
                        InsertWithSomeDeletes(text, side.models[0], side.random, i, 3));
                    const Key key = ascending(i);
                    ASSERT_TRUE(appended.Insert(key.data(), i + 1));
                    side.models[1][key] = i + 1;
                    if (i % 4 == 0) {
                        auto victim = side.models[1].begin();
                        std::advance(victim,
                                     static_cast<long>(side.random() % side.models[1].size()));
                        ASSERT_TRUE(appended.Delete(victim->first.data()));
                        side.models[1].erase(victim);
                    }
                }
            }
            next = first + n;
            TIndexFile& large = *sides[0].file;
            const bool pinned_round = round == 3;
            if (pinned_round) {
                // The root, changed by every edit above, stays out of this flush.
                PinnedPage root(large, large.GetPage(1, large.GetRoot(1)));
                ASSERT_TRUE(root->Changed());
                EXPECT_TRUE(large.FlushPages());
                EXPECT_TRUE(root->Changed());
            }
            if (round == 5) {
                writes_to_failure = 3;
                try {
                    large.FlushPages();
                    ADD_FAILURE() << "no error";
                } catch (const EStrataEngineError& e) {
                    EXPECT_EQ(e.ErrorCode(), kErrWrite);
                }
                ASSERT_EQ(writes_to_failure, 0);
            }
            for (Side& side : sides) {
                side.file->FlushPages();
                side.file->WriteHeader(true);
                EXPECT_FALSE(side.file->FlushPages());  // nothing left to write
            }
            const std::vector<std::uint8_t> bytes = testing_support::ReadBytes(sides[0].name);
            ASSERT_TRUE(bytes == testing_support::ReadBytes(sides[1].name));
            // The writer holds its file for itself: the reader gets the bytes another program
            // would read.
            const std::string view = dir.File("view" + std::to_string(round) + ".IDX");
            testing_support::WriteBytes(view, bytes);
            TIndexFile reader;
            reader.SetName(view);
            reader.Open();
            for (int slot = 1; slot <= 2; ++slot) {
                TIndexTree tree(reader, slot, BytesCompare(40));
                ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(tree, sides[0].models[slot - 1]));
            }
            reader.Close();
        }
        EXPECT_EQ(sides[0].models, sides[1].models);
        EXPECT_GT(sides[0].file->GetNextPageOffset(), 60 * kIndexPageSize);
        EXPECT_GT(sides[1].file->GetStatistics().packed_hits, 0u);
    }
}

// A failed search leaves its path for an insert of the same key; whatever
// happens between the two (an insert into the same leaf, a delete, the
// caches emptied after a flush) must send the insert down the tree again.
TEST_F(IndexFileFixture, InsertAfterAFailedSearchLandsInOrderWhateverChangedBetween) {
    auto file = NewFile();
    file->AddIndex(Descriptor("Wide", 500, true, 0));  // 8 per leaf: frequent splits
    TIndexTree tree(*file, 1, BytesCompare(500));
    std::map<Key, std::uint32_t> expected;
    std::mt19937 random(11);
    for (int round = 0; round < 600; ++round) {
        const std::uint32_t value = random() % 3000;
        const Key key = WideKey(value);
        const bool present = expected.count(key) != 0;
        ASSERT_EQ(tree.Find(key.data()).has_value(), present);
        switch (round % 4) {
            case 1: {
                // A neighbour, likely in the remembered leaf, possibly splitting it.
                const Key near = WideKey(value ^ 1);
                if (near != key && expected.count(near) == 0) {
                    ASSERT_TRUE(tree.Insert(near.data(), 100000 + value));
                    expected[near] = 100000 + value;
                }
                break;
            }
            case 2:
                if (!expected.empty() && expected.begin()->first != key) {
                    ASSERT_TRUE(tree.Delete(expected.begin()->first.data()));
                    expected.erase(expected.begin());
                }
                break;
            case 3:
                file->FlushPages();
                file->ClearPageCaches(true);
                break;
            default:
                break;
        }
        if (!present) {
            ASSERT_TRUE(tree.Insert(key.data(), value + 1));
            expected[key] = value + 1;
        } else {
            EXPECT_FALSE(tree.Insert(key.data(), value + 1));
        }
    }
    ExpectTreeHolds(tree, expected);
}

// Keys appended at the end of the last leaf give the file that inserting them one by one
// gives, byte for byte, under every compression; an append stops at the first key that is not
// above the one before it, and the caller inserts the rest.
TEST_F(IndexFileFixture, AppendedKeysGiveTheFileInsertsGive) {
    constexpr std::size_t kKeySize = 20;
    const auto ascending = [](std::uint32_t value) {
        Key key(kKeySize, 0);
        key[0] = 1;
        const std::string text = "user" + std::to_string(10000000 + value * 3);
        std::memcpy(&key[1], text.data(), text.size());
        return key;
    };
    for (const std::uint8_t option : {0, 1, 2, 3}) {
        SCOPED_TRACE(int{option});
        std::vector<std::vector<std::uint8_t>> images;
        for (const bool append : {false, true}) {
            auto file = std::make_unique<TIndexFile>();
            file->SetName(dir_.File(append ? "appended.IDX" : "inserted.IDX"));
            file->CreateFile();
            file->AddIndex(Descriptor("K", kKeySize, true, option));
            TIndexTree tree(*file, 1, BytesCompare(kKeySize));
            // Keys already there, then a long run above them.
            for (std::uint32_t v = 0; v < 40; ++v)
                ASSERT_TRUE(tree.Insert(ascending(v * 2).data(), v + 1));
            std::vector<std::uint8_t> keys;
            std::vector<std::uint32_t> records;
            for (std::uint32_t v = 100; v < 6000; ++v) {
                const Key key = ascending(v);
                keys.insert(keys.end(), key.begin(), key.end());
                records.push_back(v + 1);
            }
            if (append) {
                ASSERT_EQ(tree.Append(keys, records), records.size());
            } else {
                for (std::size_t i = 0; i < records.size(); ++i)
                    ASSERT_TRUE(tree.Insert(keys.data() + i * kKeySize, records[i]));
            }
            std::map<Key, std::uint32_t> expected;
            for (std::uint32_t v = 0; v < 40; ++v)
                expected[ascending(v * 2)] = v + 1;
            for (std::uint32_t v = 100; v < 6000; ++v)
                expected[ascending(v)] = v + 1;
            ExpectTreeHolds(tree, expected);
            file->FlushPages();
            file->WriteHeader(false);
            file->Close();
            images.push_back(
                testing_support::ReadBytes(dir_.File(append ? "appended.IDX" : "inserted.IDX")));
        }
        EXPECT_EQ(images[0], images[1]);
    }
    // Stops: at once below the last key, at an equal key, after a run that turns back.
    auto file = NewFile();
    file->AddIndex(Descriptor("K", kKeySize, true, 0));
    TIndexTree tree(*file, 1, BytesCompare(kKeySize));
    const struct {
        std::vector<std::uint32_t> values;
        std::size_t appended;
    } cases[] = {{{10}, 1}, {{5, 20}, 0}, {{10}, 0}, {{11, 12, 12, 13}, 2}, {{13, 14, 3}, 2}};
    std::map<Key, std::uint32_t> expected;
    for (const auto& c : cases) {
        std::vector<std::uint8_t> keys;
        std::vector<std::uint32_t> records;
        for (const std::uint32_t v : c.values) {
            const Key key = ascending(v);
            keys.insert(keys.end(), key.begin(), key.end());
            records.push_back(v);
        }
        EXPECT_EQ(tree.Append(keys, records), c.appended);
        for (std::size_t i = 0; i < c.appended; ++i)
            expected[ascending(c.values[i])] = c.values[i];
    }
    ExpectTreeHolds(tree, expected);
}

// With a cache far smaller than the tree, pages are evicted and written
// back while keys go in and out; nothing is lost, in memory or in the file.
// The keys hardly pack, so the packed tier cannot hold the tree either.
// Compressed pages hold many more keys than plain ones, and their memory,
// not their number, is what the budget bounds.
TEST_F(IndexFileFixture, SmallCacheEvictsAndWritesBackWithoutLosingKeys) {
    for (const std::uint8_t compression : {0, 3}) {
        SCOPED_TRACE(int{compression});
        auto file = NewFile();
        file->AddIndex(Descriptor("Wide", 500, true, compression));
        file->SetPageCacheCapacity(8);
        std::map<Key, std::uint32_t> expected;
        {
            TIndexTree tree(*file, 1, BytesCompare(500));
            std::mt19937 random(5);
            for (int i = 0; i < 1500; ++i) {
                const std::uint32_t value = random() % 20000;
                const Key key = NoisyWideKey(value);
                if (expected.count(key) != 0)
                    continue;
                ASSERT_TRUE(tree.Insert(key.data(), value + 1));
                expected[key] = value + 1;
                if (i % 3 == 0) {
                    auto victim = expected.begin();
                    std::advance(victim, static_cast<long>(random() % expected.size()));
                    ASSERT_TRUE(tree.Delete(victim->first.data()));
                    expected.erase(victim);
                }
            }
            EXPECT_GT(file->GetStatistics().writes, 0u);  // evictions had to write
            ExpectTreeHolds(tree, expected);
            file->FlushPages();
            // Primary, "Wide" and the hidden index share 3 x 8 pages' memory;
            // pages that grew since they were counted go when trimming.
            EXPECT_LE(file->CachedPageTotal(), 24u);
            file->TrimPageCaches(true);
            EXPECT_LE(file->CachedPageBytes(), 24u * kIndexPageSize);
        }
        file = Reopen(std::move(file));
        TIndexTree reread(*file, 1, BytesCompare(500));
        ExpectTreeHolds(reread, expected);
    }
}

// Lookups scattered over a plain tree larger than the unpacked tier find the
// interior pages on their way unpacked, however many leaves passed through
// the unpacked tier since a path was last used: only the leaf may have to
// come back from the packed tier or the file.
TEST_F(IndexFileFixture, ScatteredLookupsFindTheirPathUnpacked) {
    // Page objects take spare entry buffers kept per thread, and the page
    // objects of files closed before (with the entries they grew) from the
    // process's reserve: a fresh thread and an emptied reserve keep what
    // earlier tests left out of the measure.
    std::thread([&] {
        ReleasePageReserve();
        constexpr std::uint16_t kKeySize = 100;
        auto file = NewFile();
        file->AddIndex(Descriptor("ByItem", kKeySize, true, 0));
        file->SetPageCacheCapacity(200);
        TIndexTree tree(*file, 1, BytesCompare(kKeySize));
        std::mt19937 random(17);
        std::vector<Key> keys;
        // Keys without padding, so that the packed tier cannot hold the leaves
        // either and the unpacked tier keeps no more than its share.
        for (std::uint32_t i = 0; i < 30000; ++i) {
            Key& key = keys.emplace_back(kKeySize);
            for (auto& byte : key)
                byte = static_cast<std::uint8_t>(random() % 255 + 1);
            ASSERT_TRUE(tree.Insert(key.data(), i + 1));
        }
        file->FlushPages();
        const auto& stats = file->GetStatistics();
        const auto misses = [&] { return stats.packed_hits + stats.reads; };
        const auto before = misses();
        constexpr int kLookups = 6000;
        for (int i = 0; i < kLookups; ++i)
            ASSERT_TRUE(tree.Find(keys[random() % keys.size()].data()).has_value());
        ASSERT_GT(misses() - before, kLookups / 2) << "the leaves should not fit unpacked";
        // About one leaf a lookup; an interior page missed on a third of the
        // ways down would pass the bound.
        EXPECT_LT(misses() - before, kLookups * 13 / 10);
    }).join();
}

// Closing gives the page objects to the process's reserve; files opened
// after take them back, and stale state of their former life must not leak
// into the new cache (dirty lists, marks, entries).
TEST_F(IndexFileFixture, PagesTakenFromTheReserveServeTheReopenedFile) {
    auto file = NewFile();
    file->AddIndex(Descriptor("Wide", 500, true, 0));
    std::map<Key, std::uint32_t> expected;
    {
        TIndexTree tree(*file, 1, BytesCompare(500));
        for (std::uint32_t value = 0; value < 400; ++value) {
            ASSERT_TRUE(tree.Insert(WideKey(value * 7 % 4001).data(), value + 1));
            expected[WideKey(value * 7 % 4001)] = value + 1;
        }
    }
    file = Reopen(std::move(file));
    EXPECT_GT(ReservedPageCount(), 0u);
    EXPECT_LE(ReservedPageCount(), kPageReserveLimit);
    {
        TIndexTree tree(*file, 1, BytesCompare(500));
        ExpectTreeHolds(tree, expected);
        for (std::uint32_t value = 0; value < 400; value += 2) {
            ASSERT_TRUE(tree.Delete(WideKey(value * 7 % 4001).data()));
            expected.erase(WideKey(value * 7 % 4001));
        }
        ExpectTreeHolds(tree, expected);
    }
    file = Reopen(std::move(file));
    {
        TIndexTree tree(*file, 1, BytesCompare(500));
        ExpectTreeHolds(tree, expected);
    }
    // Once the reserve is given back, files allocate afresh.
    file = Reopen(std::move(file));
    ReleasePageReserve();
    EXPECT_EQ(ReservedPageCount(), 0u);
    TIndexTree tree(*file, 1, BytesCompare(500));
    ExpectTreeHolds(tree, expected);
}

// A delete right after a search takes the search's path when the leaf
// still holds the key there; edits of the same index in between (which may
// move or split the leaf) must send it down the tree again, edits of
// another index need not.
TEST_F(IndexFileFixture, DeleteAfterASearchRemovesThatKeyWhateverChangedBetween) {
    auto file = NewFile();
    file->AddIndex(Descriptor("Wide", 500, true, 0));
    file->AddIndex(Descriptor("Other", 500, true, 0));
    TIndexTree tree(*file, 1, BytesCompare(500));
    TIndexTree other(*file, 2, BytesCompare(500));
    std::map<Key, std::uint32_t> expected;
    std::map<Key, std::uint32_t> expected_other;
    for (std::uint32_t value = 0; value < 900; ++value) {
        const Key key = WideKey(value * 13 % 2999);
        ASSERT_TRUE(tree.Insert(key.data(), value + 1));
        expected[key] = value + 1;
    }
    std::mt19937 random(3);
    for (int round = 0; round < 500 && expected.size() > 2; ++round) {
        auto it = expected.begin();
        std::advance(it, static_cast<long>(random() % expected.size()));
        const Key key = it->first;
        {
            const TIndexTree::Position at = tree.LowerBound(key.data(), round % 2 == 0);
            ASSERT_TRUE(at.page);
            ASSERT_TRUE(std::equal(key.begin(), key.end(), at.page->KeyAt(at.position)));
        }
        Key target = key;
        switch (round % 6) {
            case 1: {
                const Key near = WideKey((key[0] << 8 | key[1]) ^ 1);
                if (expected.count(near) == 0) {
                    ASSERT_TRUE(tree.Insert(near.data(), 7000 + round));
                    expected[near] = 7000 + round;
                }
                break;
            }
            case 2: {
                const auto first = expected.begin()->first;
                if (first != key) {
                    ASSERT_TRUE(tree.Delete(first.data()));
                    expected.erase(first);
                }
                break;
            }
            case 3: {
                const Key elsewhere = WideKey(3000 + static_cast<std::uint32_t>(round));
                ASSERT_TRUE(other.Insert(elsewhere.data(), 1));
                expected_other[elsewhere] = 1;
                break;
            }
            case 4:
                file->FlushPages();
                file->ClearPageCaches(true);
                break;
            case 5:
                // Another key than the one searched goes.
                target = std::next(it) != expected.end() ? std::next(it)->first
                                                         : expected.begin()->first;
                break;
            default:
                break;
        }
        ASSERT_TRUE(tree.Delete(target.data())) << round;
        expected.erase(target);
        EXPECT_FALSE(tree.Delete(target.data()));
    }
    ExpectTreeHolds(tree, expected);
    ExpectTreeHolds(other, expected_other);
}

// A damaged header can make two indexes name the same page; caching it
// twice would let one copy overwrite the other's changes at the next flush,
// so the second index is refused the page instead.
// A range walk takes each leaf from wherever it stands (unpacked, packed, or
// only in the file) and caches none it reads from the file; it gives the
// records of the same ordinals, while inserts and deletes
// between walks move keys across leaves and some changed pages wait in the
// cache unwritten. A walk that meets a leaf of another index is refused.
TEST_F(IndexFileFixture, RangeWalksGiveTheRecordsOfTheirOrdinalsWhereverTheLeavesStand) {
    struct Case {
        std::uint8_t option;
        bool unique;
        bool encrypted;
    };
    for (const Case c : {Case{0, false, false}, Case{1, false, false}, Case{2, true, false},
                         Case{3, false, true}, Case{0, true, true}}) {
        SCOPED_TRACE(testing::Message() << "option " << int(c.option) << " unique " << c.unique);
        constexpr std::size_t k = 120;
        auto file = NewFile(c.encrypted);
        file->AddIndex(Descriptor("ByItem", k, c.unique, c.option));
        file->SetPageCacheCapacity(4);
        std::map<Key, std::uint32_t> model;
        std::mt19937 rng(77 + c.option);
        std::uint32_t next_id = 1;
        std::uint64_t leaves_read = 0;
        std::uint64_t packed_read = 0;
        for (int round = 0; round < 8; ++round) {
            {
                TIndexTree tree(*file, 1, BytesCompare(k));
                for (int op = 0; op < 1000; ++op) {
                    if (model.size() < 3000 || rng() % 3 != 0) {
                        const std::uint32_t id = next_id++;
                        const Key key = MakeKey(rng() % 60000, id, k, c.unique);
                        if (model.emplace(key, id).second) {
                            ASSERT_TRUE(tree.Insert(key.data(), id));
                        }
                    } else {
                        auto it = model.lower_bound(MakeKey(rng() % 60000, 0, k, c.unique));
                        if (it == model.end())
                            continue;
                        ASSERT_TRUE(tree.Delete(it->first.data()));
                        model.erase(it);
                    }
                }
            }
            if (round % 3 == 1)
                file->FlushPages();
            if (round == 4)
                file = Reopen(std::move(file), c.encrypted);
            std::vector<std::uint32_t> records;
            for (const auto& entry : model)
                records.push_back(entry.second);
            for (int walk = 0; walk < 6; ++walk) {
                const std::uint64_t a = rng() % records.size();
                const std::uint64_t b =
                    walk == 0 ? records.size() : a + rng() % (records.size() - a);
                const TIndexFile::Statistics before = file->GetStatistics();
                std::vector<std::uint32_t> seen;
                TIndexTree::WalkRecords(*file, 1, a, b,
                                        [&](std::uint32_t record) { seen.push_back(record); });
                // Leaves come in the order they stand in the file; the records are distinct.
                std::vector<std::uint32_t> wanted(records.begin() + a, records.begin() + b);
                std::sort(seen.begin(), seen.end());
                std::sort(wanted.begin(), wanted.end());
                ASSERT_EQ(seen, wanted)
                    << "round " << round << " walk " << walk << " [" << a << ", " << b << ")";
                const std::uint64_t from_file =
                    file->GetStatistics().scan_reads - before.scan_reads;
                leaves_read += from_file;
                packed_read += file->GetStatistics().packed_hits - before.packed_hits;
                // Only the pages above the leaves are read into the cache: the descent and
                // the leaves' parents, each holding at least a dozen leaves.
                EXPECT_LE(file->GetStatistics().reads - before.reads, 4 + from_file / 12);
            }
        }
        EXPECT_GT(leaves_read, 0u);
        EXPECT_GT(packed_read, 0u);
        // Pages that are no leaf of the index are refused: another index's
        // cached leaf, and an interior page read from the file.
        file->AddIndex(Descriptor("Other", k, c.unique, c.option));
        {
            TIndexTree other(*file, 2, BytesCompare(k));
            const Key key = MakeKey(1, 1, k, c.unique);
            ASSERT_TRUE(other.Insert(key.data(), 1));
        }
        std::vector<std::uint32_t> records;
        EXPECT_THROW(file->ReadLeafRecords(1, file->GetRoot(2), records), EStrataEngineError);
        file->FlushPages();
        file->ClearPageCaches(true);
        EXPECT_THROW(file->ReadLeafRecords(1, file->GetRoot(1), records), EStrataEngineError);
        // A leaf holding another count than its parent gives is refused, cached or read
        // from the file (where a plain leaf's read takes only the entries it should hold).
        TIndexTree tree(*file, 1, BytesCompare(k));
        std::uint32_t leaf = 0;
        std::int64_t count = 0;
        {
            const TIndexTree::Position at = tree.AtOrdinal(model.size() / 2);
            leaf = at.page->Offset();
            count = at.page->EntryCount();
        }
        EXPECT_THROW(file->ReadLeafRecords(1, leaf, records, count + 1), EStrataEngineError);
        for (const std::int64_t wrong : {count - 1, count + 1}) {
            file->ClearPageCaches(true);
            EXPECT_THROW(file->ReadLeafRecords(1, leaf, records, wrong), EStrataEngineError);
        }
        file->ReadLeafRecords(1, leaf, records, count);
        EXPECT_EQ(records.size(), static_cast<std::size_t>(count));
        ExpectTreeHolds(tree, model);
    }
}

// Leaves filled in key order stand mostly one after another in the file, and
// a range walk reads such neighbours with one call; a leaf that waits changed
// in the cache, or stands in either tier, is taken from memory even in the
// middle of such a run. A leaf in a run whose count differs from its
// parent's is refused.
TEST_F(IndexFileFixture, RangeWalksReadLeavesThatFollowEachOtherInTheFileTogether) {
    constexpr std::size_t k = 120;
    for (const std::uint8_t option : {0, 3}) {
        SCOPED_TRACE(testing::Message() << "option " << int(option));
        auto file = NewFile();
        file->AddIndex(Descriptor("ByItem", k, false, option));
        file->SetPageCacheCapacity(8);
        std::map<Key, std::uint32_t> model;
        for (std::uint32_t id = 1; id <= 12000; ++id)
            model.emplace(MakeKey(id * 7919 % 12007, id, k, false), id);
        {
            TIndexTree tree(*file, 1, BytesCompare(k));
            for (const auto& [key, id] : model)
                ASSERT_TRUE(tree.Insert(key.data(), id));
        }
        file->FlushPages();
        file->ClearPageCaches(true);
        std::uint32_t leaf = 0;
        {
            TIndexTree tree(*file, 1, BytesCompare(k));
            auto it = std::next(model.begin(), 5000);
            ASSERT_TRUE(tree.Delete(it->first.data()));
            model.erase(it);
            ASSERT_TRUE(tree.Find(std::next(model.begin(), 9000)->first.data()));
            // A leaf from 7000 on whose leaf before it stands just in front of it in the file
            // (an interior page made by a split may stand between two).
            std::uint64_t ordinal = 7000;
            for (int tries = 0; tries < 4; ++tries) {
                const TIndexTree::Position at = tree.AtOrdinal(ordinal);
                leaf = at.page->Offset();
                const TIndexTree::Position before = tree.AtOrdinal(ordinal - at.position);
                if (before.page->Offset() + kIndexPageSize == leaf)
                    break;
                ordinal += static_cast<std::uint64_t>(at.page->EntryCount());
            }
            ASSERT_EQ(tree.AtOrdinal(ordinal - tree.AtOrdinal(ordinal).position).page->Offset() +
                          kIndexPageSize,
                      leaf);
        }
        std::vector<std::uint32_t> records;
        for (const auto& entry : model)
            records.push_back(entry.second);
        for (const auto& [a, b] : {std::pair<std::size_t, std::size_t>{0, records.size()},
                                   {4990, 5010},
                                   {20, records.size() - 20}}) {
            const TIndexFile::Statistics before = file->GetStatistics();
            std::vector<std::uint32_t> seen;
            TIndexTree::WalkRecords(*file, 1, a, b,
                                    [&](std::uint32_t record) { seen.push_back(record); });
            std::vector<std::uint32_t> wanted(records.begin() + static_cast<std::ptrdiff_t>(a),
                                              records.begin() + static_cast<std::ptrdiff_t>(b));
            std::sort(seen.begin(), seen.end());
            std::sort(wanted.begin(), wanted.end());
            ASSERT_EQ(seen, wanted) << a << " " << b;
            const TIndexFile::Statistics after = file->GetStatistics();
            const std::uint64_t leaves = after.scan_reads - before.scan_reads;
            if (b - a > 1000) {
                EXPECT_GT(leaves, 10u);
                EXPECT_LE(4 * (after.scan_calls - before.scan_calls), leaves);
            }
        }
        if (option != 0)
            continue;
        file->FlushPages();
        file->ClearPageCaches(true);
        {
            std::fstream raw(file->Name(), std::ios::in | std::ios::out | std::ios::binary);
            raw.seekp(leaf + 1);
            const char wrong[2] = {1, 0};
            raw.write(wrong, 2);
        }
        EXPECT_THROW(TIndexTree::WalkRecords(*file, 1, 0, records.size(), [](std::uint32_t) {}),
                     EStrataEngineError);
    }
}

// The leaves a short range walk reads from the file a second time stay cached: the same walk
// again reads none, and after edits in its range gives what the model holds. A long range's leaves
// are read from the file every time. Either way the walk gives the range's records.
TEST_F(IndexFileFixture, ShortRangeWalksKeepTheirLeavesCached) {
    constexpr std::size_t k = 120;
    for (const std::uint8_t option : {0, 3}) {
        SCOPED_TRACE(testing::Message() << "option " << int(option));
        auto file = NewFile();
        file->AddIndex(Descriptor("ByItem", k, false, option));
        std::map<Key, std::uint32_t> model;
        for (std::uint32_t id = 1; id <= 30000; ++id)
            model.emplace(MakeKey(id * 7919 % 30011, id, k, false), id);
        {
            TIndexTree tree(*file, 1, BytesCompare(k));
            for (const auto& [key, id] : model)
                ASSERT_TRUE(tree.Insert(key.data(), id));
        }
        file->FlushPages();
        file->ClearPageCaches(true);
        // The leaves it read from the file; the records must be the model's [a, b).
        const auto walk = [&](std::size_t a, std::size_t b) {
            std::vector<std::uint32_t> wanted;
            auto it = std::next(model.begin(), static_cast<std::ptrdiff_t>(a));
            for (std::size_t n = a; n < b; ++n, ++it)
                wanted.push_back(it->second);
            const std::uint64_t before = file->GetStatistics().scan_reads;
            std::vector<std::uint32_t> seen;
            TIndexTree::WalkRecords(*file, 1, a, b,
                                    [&](std::uint32_t record) { seen.push_back(record); });
            std::sort(seen.begin(), seen.end());
            std::sort(wanted.begin(), wanted.end());
            EXPECT_EQ(seen, wanted) << a << " " << b;
            return file->GetStatistics().scan_reads - before;
        };
        // A walk run once leaves its leaves out of the cache; run again, it keeps them.
        const std::uint64_t leaves = walk(4000, 5200);
        EXPECT_GT(leaves, 1u);
        EXPECT_EQ(walk(4000, 5200), leaves);
        EXPECT_EQ(walk(4000, 5200), 0u);
        {
            TIndexTree tree(*file, 1, BytesCompare(k));
            for (int i = 0; i < 60; ++i) {
                auto it = std::next(model.begin(), 4100 + 3 * i);
                ASSERT_TRUE(tree.Delete(it->first.data()));
                model.erase(it);
            }
            for (std::uint32_t id = 20001; id <= 20080; ++id) {
                const Key key = MakeKey(id % 80 * 5 + 4100, id, k, false);
                ASSERT_TRUE(tree.Insert(key.data(), id));
                model.emplace(key, id);
            }
        }
        walk(4000, 4400);
        file->FlushPages();
        walk(3990, 4410);
        file->ClearPageCaches(true);
        EXPECT_GT(walk(0, model.size()), kKeptScanLeaves);
        EXPECT_GT(walk(0, model.size()), kKeptScanLeaves);
    }
}

// A lookup whose leaf stands only in the packed tier is answered from the
// packed image without unpacking the leaf into the cache; it finds the
// entry LowerBound finds, under every key encoding and whether keys compare
// as plain bytes or through a function, for keys present, absent, below the
// first and above the last.
TEST_F(IndexFileFixture, LookupsInPackedLeavesFindTheEntriesLowerBoundFinds) {
    struct Case {
        std::uint8_t option;
        bool unique;
        std::size_t k;
    };
    for (const Case c : {Case{0, false, 40}, Case{1, false, 40}, Case{2, true, 40},
                         Case{3, false, 40}, Case{3, true, 24}, Case{3, false, 300}}) {
        for (const bool plain : {true, false}) {
            SCOPED_TRACE(testing::Message() << "option " << int(c.option) << " unique " << c.unique
                                            << " k " << c.k << " plain " << plain);
            auto file = NewFile();
            file->AddIndex(
                Descriptor("ByItem", static_cast<std::uint16_t>(c.k), c.unique, c.option));
            file->SetPageCacheCapacity(3);
            const KeyCompare compare = plain ? KeyCompare::Bytes(c.k) : BytesCompare(c.k);
            std::map<Key, std::uint32_t> model;
            std::mt19937 rng(5 + c.option);
            {
                TIndexTree tree(*file, 1, compare);
                for (std::uint32_t id = 1; id <= 3000; ++id) {
                    const Key key = MakeKey(rng() % 5000 * 2, id, c.k, c.unique);
                    if (model.emplace(key, id).second) {
                        ASSERT_TRUE(tree.Insert(key.data(), id));
                    }
                }
            }
            std::uint64_t from_packed = 0;
            TIndexTree tree(*file, 1, compare);
            for (int probe = 0; probe < 400; ++probe) {
                // Odd values are never stored; record IDs 0 and above every one.
                Key key = MakeKey(rng() % 10000, probe % 3 == 0 ? 0 : 4000, c.k, c.unique);
                if (probe % 5 == 0)
                    key = std::next(model.begin(), static_cast<long>(rng() % model.size()))->first;
                if (probe == 1)
                    key.assign(c.k, 0);
                if (probe == 2)
                    key.assign(c.k, 0xFF);
                const auto wanted = model.lower_bound(key);
                const std::uint64_t seeks = file->GetStatistics().packed_seeks;
                TIndexTree::Entry entry;
                TIndexTree::Position at;
                if (tree.LookUp(key.data(), entry, at)) {
                    ++from_packed;
                    ASSERT_NE(wanted, model.end()) << probe;
                    EXPECT_EQ(entry.key, wanted->first) << probe;
                    EXPECT_EQ(entry.record, wanted->second) << probe;
                    EXPECT_EQ(file->GetStatistics().packed_seeks, seeks + 1);
                    // The leaf stays packed only.
                    EXPECT_EQ(file->FindCachedPage(1, file->RememberedDescent().leaf), nullptr);
                    continue;
                }
                ASSERT_TRUE(at.page);
                if (at.position <= at.page->EntryCount()) {
                    ASSERT_NE(wanted, model.end()) << probe;
                    EXPECT_TRUE(std::equal(wanted->first.begin(), wanted->first.end(),
                                           at.page->KeyAt(at.position)))
                        << probe;
                } else if (wanted != model.end()) {
                    // Past this leaf's last key: the next leaf begins with it.
                    ASSERT_NE(at.page->Next(), 0u);
                    PinnedPage next(*file, file->GetPage(1, at.page->Next()));
                    EXPECT_TRUE(
                        std::equal(wanted->first.begin(), wanted->first.end(), next->KeyAt(1)))
                        << probe;
                }
            }
            EXPECT_GT(from_packed, 100u);
        }
    }
}

// Lookups each followed by the delete of the key found (as a cursor deletes
// the record it found): in a compressed index they soon stop answering from
// packed leaves, since the delete unpacks the leaf anyway, and lookups alone go
// back to them; a plain leaf loses the key where it stands packed, so there
// lookups keep answering from packed leaves. A delete right after an answer
// from a packed leaf takes the leaf as that lookup left it, and the tree keeps
// every other key.
TEST_F(IndexFileFixture, LookupsWhoseLeavesChangeNextUnpackThemAtOnce) {
    constexpr std::size_t k = 40;
    for (const std::uint8_t option : {0, 3}) {
        SCOPED_TRACE(testing::Message() << "option " << int(option));
        auto file = NewFile();
        file->AddIndex(Descriptor("ByItem", k, false, option));
        file->SetPageCacheCapacity(3);
        std::map<Key, std::uint32_t> model;
        TIndexTree tree(*file, 1, KeyCompare::Bytes(k));
        std::mt19937 rng(11);
        InsertAtRandom(tree, model, rng, 4000, 20000, k);
        const auto seeks = [&] { return file->GetStatistics().packed_seeks; };
        const auto look_up = [&](const Key& key) {
            TIndexTree::Entry entry;
            TIndexTree::Position at;
            if (tree.LookUp(key.data(), entry, at)) {
                EXPECT_EQ(entry.key, key);
            } else {
                EXPECT_TRUE(std::equal(key.begin(), key.end(), at.page->KeyAt(at.position)));
            }
        };
        const auto removals = [&] { return file->GetStatistics().packed_removals; };
        std::uint64_t before = seeks();
        std::uint64_t removals_before = removals();
        for (int round = 0; round < 400; ++round) {
            const auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
            look_up(it->first);
            ASSERT_TRUE(tree.Delete(it->first.data()));
            model.erase(it);
            if (round == 39) {
                before = seeks();
                removals_before = removals();
            }
        }
        if (option == 0) {
            EXPECT_GT(seeks() - before, 250u);
            EXPECT_GT(removals() - removals_before, 250u);
        } else {
            EXPECT_LE(seeks() - before, 10u);
        }
        before = seeks();
        for (int round = 0; round < 200; ++round)
            look_up(std::next(model.begin(), static_cast<long>(rng() % model.size()))->first);
        EXPECT_GT(seeks() - before, 20u);
        ExpectTreeHolds(tree, model);
    }
}

// Lookups alone over a tree of compressed leaves far larger than the cache: a leaf in neither
// tier is read into the packed tier and answered there, without being unpacked into the cache
// (and another page packed to make room for it).
TEST_F(IndexFileFixture, LookupsReadMissedCompressedLeavesIntoThePackedTier) {
    constexpr std::size_t k = 40;
    auto file = NewFile();
    file->AddIndex(Descriptor("ByItem", k, false, 3));
    file->SetPageCacheCapacity(3);
    std::map<Key, std::uint32_t> model;
    TIndexTree tree(*file, 1, KeyCompare::Bytes(k));
    std::mt19937 rng(5);
    InsertAtRandom(tree, model, rng, 6000, 30000, k);
    file->FlushPages();
    const std::uint64_t reads = file->GetStatistics().reads;
    int answered_packed = 0;
    for (int round = 0; round < 200; ++round) {
        const auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
        TIndexTree::Entry entry;
        TIndexTree::Position at;
        if (tree.LookUp(it->first.data(), entry, at)) {
            ++answered_packed;
            EXPECT_EQ(entry.key, it->first);
            EXPECT_EQ(entry.record, it->second);
        } else {
            EXPECT_EQ(at.page->PointerAt(at.position), it->second);
        }
    }
    EXPECT_GT(file->GetStatistics().reads - reads, 100u);
    EXPECT_GT(answered_packed, 180);
    ExpectTreeHolds(tree, model);
}

// With the cache full, a compressed leaf a lookup reads for the first time answers from the
// bytes read and stays in neither tier; the delete of the key found right after takes those
// bytes rather than reading the page again; a leaf read that way before joins the packed tier.
TEST_F(IndexFileFixture, LeavesLookedUpOnceStayOutOfTheCacheAndServeTheDeleteAfter) {
    constexpr std::size_t k = 40;
    auto file = NewFile();
    file->AddIndex(Descriptor("ByItem", k, false, 3));
    file->SetPageCacheCapacity(3);
    std::map<Key, std::uint32_t> model;
    TIndexTree tree(*file, 1, KeyCompare::Bytes(k));
    std::mt19937 rng(7);
    InsertAtRandom(tree, model, rng, 6000, 30000, k);
    file->FlushPages();
    const auto reads = [&] { return file->GetStatistics().reads; };
    int deletes = 0;
    int deletes_reading_nothing = 0;
    int kept_again = 0;
    for (int round = 0; round < 80; ++round) {
        const auto it = std::next(model.begin(), static_cast<long>(rng() % model.size()));
        TIndexTree::Entry entry;
        TIndexTree::Position at;
        const std::uint64_t before = reads();
        if (!tree.LookUp(it->first.data(), entry, at) || reads() != before + 1)
            continue;
        const std::uint32_t leaf = file->RememberedDescent().leaf;
        if (file->StandsPacked(leaf) || file->FindCachedPage(1, leaf) != nullptr)
            continue;
        EXPECT_EQ(entry.record, it->second);
        if (round % 2 == 0) {
            ++deletes;
            ASSERT_TRUE(tree.Delete(it->first.data()));
            model.erase(it);
            deletes_reading_nothing += reads() == before + 1 ? 1 : 0;
        } else {
            EXPECT_TRUE(tree.LookUp(it->first.data(), entry, at));
            kept_again += file->StandsPacked(leaf) ? 1 : 0;
        }
    }
    EXPECT_GT(deletes, 10);
    EXPECT_GT(deletes_reading_nothing, deletes / 2);
    EXPECT_GT(kept_again, 5);
    ExpectTreeHolds(tree, model);
}

// Deletes of keys found by lookups in random order, beside an index whose
// keys are inserted and deleted in order, in a cache far smaller than the
// trees: the changed lookup leaves that lookups left go first when room is
// needed (in files of plain indexes, where most keys go where their leaves
// stand packed and only the leaves that fall below half are unpacked), never
// one still pinned, and both trees keep every other key, in the cache and
// after a flush and reopen.
TEST_F(IndexFileFixture, LeavesLeftByLookupsAndDeletesGoFirstAndLoseNothing) {
    constexpr std::size_t k = 40;
    for (const std::uint8_t option : {0, 3}) {
        SCOPED_TRACE(testing::Message() << "option " << int(option));
        auto file = NewFile();
        file->AddIndex(Descriptor("ByItem", k, false, option));
        file->AddIndex(Descriptor("ByOrder", k, true, option));
        file->SetPageCacheCapacity(16);
        std::map<Key, std::uint32_t> random_model;
        std::map<Key, std::uint32_t> ordered_model;
        std::mt19937 rng(23 + option);
        {
            TIndexTree random_tree(*file, 1, KeyCompare::Bytes(k));
            TIndexTree ordered_tree(*file, 2, KeyCompare::Bytes(k));
            for (std::uint32_t id = 1; id <= 5000; ++id) {
                const Key key = MakeKey(rng() % 50000, id, k, false);
                if (random_model.emplace(key, id).second) {
                    ASSERT_TRUE(random_tree.Insert(key.data(), id));
                }
                const Key ordered = MakeKey(id, id, k, true);
                ordered_model.emplace(ordered, id);
                ASSERT_TRUE(ordered_tree.Insert(ordered.data(), id));
            }
            const std::uint64_t settled = file->GetStatistics().settled_victims;
            std::uint32_t next_ordered = 1;
            std::uint32_t pinned_leaf = 0;
            PinnedPage pinned;
            for (int round = 0; round < 1500; ++round) {
                const auto it =
                    std::next(random_model.begin(), static_cast<long>(rng() % random_model.size()));
                TIndexTree::Entry entry;
                TIndexTree::Position at;
                if (!random_tree.LookUp(it->first.data(), entry, at)) {
                    ASSERT_TRUE(at.page);
                    ASSERT_TRUE(std::equal(it->first.begin(), it->first.end(),
                                           at.page->KeyAt(at.position)));
                }
                at = TIndexTree::Position{};
                const std::uint32_t leaf = file->RememberedDescent().leaf;
                ASSERT_TRUE(random_tree.Delete(it->first.data()));
                random_model.erase(it);
                if (round == 500) {
                    // The leaf just changed stays while pinned, whatever comes after.
                    pinned_leaf = leaf;
                    ASSERT_NE(pinned_leaf, 0u);
                    pinned = PinnedPage(*file, file->GetPage(1, pinned_leaf));
                }
                if (pinned_leaf != 0) {
                    ASSERT_EQ(file->FindCachedPage(1, pinned_leaf), pinned.get()) << round;
                }
                if (round % 3 == 0) {
                    const Key ordered = MakeKey(next_ordered, next_ordered, k, true);
                    ASSERT_TRUE(ordered_tree.Delete(ordered.data()));
                    ordered_model.erase(ordered);
                    ++next_ordered;
                }
            }
            pinned = PinnedPage{};
            // Files of compressed indexes keep choosing by the clock alone.
            if (option == 0) {
                EXPECT_GT(file->GetStatistics().settled_victims, settled + 40);
                EXPECT_GT(file->GetStatistics().packed_removals, 1000u);
            } else {
                EXPECT_EQ(file->GetStatistics().settled_victims, settled);
            }
            EXPECT_GT(file->PackedPageTotal(), 0u);
            ExpectTreeHolds(random_tree, random_model);
            ExpectTreeHolds(ordered_tree, ordered_model);
        }
        file = Reopen(std::move(file));
        TIndexTree random_tree(*file, 1, KeyCompare::Bytes(k));
        TIndexTree ordered_tree(*file, 2, KeyCompare::Bytes(k));
        ExpectTreeHolds(random_tree, random_model);
        ExpectTreeHolds(ordered_tree, ordered_model);
    }
}

// Every tenth key removed in key order from an index many times the cache: the leaves the run
// has left go first, written instead of packed, so it reads no page twice and loses nothing.
TEST_F(IndexFileFixture, LeavesARunOfRemovalsLeftGoFirstAndAreReadOnce) {
    constexpr std::size_t k = 40;
    auto file = NewFile();
    file->AddIndex(Descriptor("ByOrder", k, true, 3));
    file->SetPageCacheCapacity(16);
    std::map<Key, std::uint32_t> model;
    for (std::uint32_t id = 1; id <= 20000; ++id)
        model.emplace(MakeKey(id, id, k, true), id);
    {
        TIndexTree tree(*file, 1, KeyCompare::Bytes(k));
        for (const auto& [key, id] : model)
            ASSERT_TRUE(tree.Insert(key.data(), id));
        const TIndexFile::Statistics before = file->GetStatistics();
        std::size_t n = 0;
        std::erase_if(model,
                      [&](const auto& e) { return n++ % 10 == 0 && tree.Delete(e.first.data()); });
        EXPECT_EQ(model.size(), 18000u);
        EXPECT_GT(file->GetStatistics().passed_victims, before.passed_victims + 50);
        EXPECT_LE(file->GetStatistics().reads - before.reads,
                  file->GetNextPageOffset() / kIndexPageSize);
    }
    file = Reopen(std::move(file));
    TIndexTree tree(*file, 1, KeyCompare::Bytes(k));
    ExpectTreeHolds(tree, model);
}

TEST_F(IndexFileFixture, PageReachedFromTwoIndexesIsRefused) {
    auto file = NewFile();
    file->AddIndex(Descriptor("Wide", 500, true, 0));
    file->AddIndex(Descriptor("Other", 500, true, 0));
    TIndexTree tree(*file, 1, BytesCompare(500));
    for (std::uint32_t value = 0; value < 20; ++value)
        ASSERT_TRUE(tree.Insert(WideKey(value).data(), value + 1));
    file->SetRoot(2, file->GetRoot(1));
    TIndexTree other(*file, 2, BytesCompare(500));
    EXPECT_THROW(other.Find(WideKey(3).data()), EStrataEngineError);
    EXPECT_THROW(other.Insert(WideKey(99).data(), 1), EStrataEngineError);
    // The first index is untouched.
    std::map<Key, std::uint32_t> expected;
    for (std::uint32_t value = 0; value < 20; ++value)
        expected[WideKey(value)] = value + 1;
    ExpectTreeHolds(tree, expected);
}

// Wide keys leave few entries to a page, so the tree grows taller than most
// descents hold in place: inserts and deletes along such paths keep every
// count right down to an empty index.
TEST_F(IndexFileFixture, TallTreesKeepTheirCountsThroughInsertsAndDeletes) {
    constexpr std::size_t k = 500;  // 8 entries a page at every level
    auto file = NewFile();
    file->AddIndex(Descriptor("Wide", k, true, 0));
    const auto depth = [&] {
        int levels = 1;
        PinnedPage page(*file, file->GetPage(1, file->GetRoot(1)));
        while (page->IsInterior()) {
            page = PinnedPage(*file, file->GetPage(1, page->PointerAt(1)));
            ++levels;
        }
        return levels;
    };
    std::vector<std::uint32_t> order(40000);
    for (std::uint32_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::mt19937 rng(77);
    std::shuffle(order.begin(), order.end(), rng);
    const auto key_of = [&](std::uint32_t v) {
        Key key(k, 0);
        const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(v));
        std::memcpy(key.data(), encoded.data(), 4);
        return key;
    };
    std::map<Key, std::uint32_t> model;
    {
        TIndexTree tree(*file, 1, BytesCompare(k));
        for (const std::uint32_t v : order) {
            ASSERT_TRUE(tree.Insert(key_of(v).data(), v + 1));
            model.emplace(key_of(v), v + 1);
            if (model.size() % 1000 == 0 && depth() >= 6)
                break;
        }
    }
    ASSERT_GE(depth(), 6);
    CheckAgainstModel(*file, 1, k, model, rng);
    std::vector<Key> keys;
    for (const auto& [key, id] : model)
        keys.push_back(key);
    std::shuffle(keys.begin(), keys.end(), rng);
    TIndexTree tree(*file, 1, BytesCompare(k));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        ASSERT_TRUE(tree.Delete(keys[i].data()));
        model.erase(keys[i]);
        if (i % 2000 == 0)
            CheckAgainstModel(*file, 1, k, model, rng);
    }
    EXPECT_EQ(file->GetRoot(1), 0u);
}

// Edits at either end of a page move the entries on the shorter side: the
// page must still write the image of a page given the same keys in order,
// and a plain page's buffer stay sized to the entries it holds.
TEST(IndexPageEdits, EditsAtEitherEndKeepTheImageOfAPageBuiltInOrder) {
    // Page objects take spare entry buffers kept per thread: a fresh thread
    // keeps what earlier tests left there out of the capacities compared.
    std::thread([&] {
        constexpr std::size_t k = 16;
        std::vector<Key> pool;
        for (std::uint32_t i = 0; i < 2000; ++i)
            pool.push_back(MakeKey(i * 37 % 2000, i + 1, k, false));
        std::sort(pool.begin(), pool.end());
        const KeyCompare compare = BytesCompare(k);
        for (const std::uint8_t option : {0, 1, 2, 3}) {
            SCOPED_TRACE(static_cast<int>(option));
            TPage page;
            page.Setup(1, k, false, false, option, 4096);
            page.SetKind(PageKind::kRootLeaf);
            std::set<std::size_t> held;
            const auto insert = [&](std::size_t i) {
                ASSERT_FALSE(page.FindForInsert(pool[i].data(), compare));
                page.InsertEntry(pool[i].data(), static_cast<std::uint32_t>(i + 1), 1);
                held.insert(i);
            };
            const auto erase = [&](std::set<std::size_t>::iterator at) {
                page.SetEditPosition(std::distance(held.begin(), at) + 1);
                page.DeleteEntry();
                held.erase(at);
            };
            for (std::size_t i = 1000; i < 1040; ++i)
                insert(i);
            std::mt19937 rng(option + 5);
            for (int step = 0; step < 600; ++step) {
                const unsigned choice = rng() % 100;
                if (held.size() > 80 || (held.size() > 2 && choice < 40)) {
                    erase(held.begin());
                } else if (held.size() > 2 && choice < 50) {
                    erase(std::prev(held.end()));
                } else if (held.size() > 2 && choice < 60) {
                    erase(std::next(held.begin(), static_cast<long>(rng() % held.size())));
                } else if (choice < 75 && *held.begin() > 0) {
                    insert(*held.begin() - 1);
                } else if (choice < 90 && *held.rbegin() + 1 < pool.size()) {
                    insert(*held.rbegin() + 1);
                } else {
                    const std::size_t i = rng() % pool.size();
                    if (!held.contains(i))
                        insert(i);
                }
                ASSERT_EQ(page.EntryCount(), static_cast<std::int64_t>(held.size()));
                TPage fresh;
                fresh.Setup(1, k, false, false, option, 4096);
                fresh.SetKind(PageKind::kRootLeaf);
                for (const std::size_t i : held) {
                    fresh.SetEditPosition(fresh.EntryCount());
                    fresh.InsertEntry(pool[i].data(), static_cast<std::uint32_t>(i + 1), 1);
                }
                std::vector<std::uint8_t> a(kIndexPageSize);
                std::vector<std::uint8_t> b(kIndexPageSize);
                page.WritePage(a);
                fresh.WritePage(b);
                ASSERT_EQ(a, b) << "step " << step;
                if (option == 0) {
                    // Sized to the entries held, whatever the edits that led there; one that
                    // lost entries keeps no more than a full page's room.
                    const std::size_t bound = 2 * (held.size() + 1) * (k + 12);
                    const std::size_t full =
                        static_cast<std::size_t>(page.Capacity() + 1) * (k + 12);
                    ASSERT_LE(TPageTestAccess::BufferCapacity(page), std::max(bound, full));
                    ASSERT_LE(TPageTestAccess::BufferCapacity(fresh), bound);
                }
            }
        }
    }).join();
}

// Searches of a plain page from every position a previous search may have left behind, on
// pages of every fill and kind, with keys sharing long prefixes: the search answers what a
// lower or upper bound over the sorted keys answers, whatever it started from.
TEST(IndexPageSearch, PlainPagesFindTheBoundsFromAnyStartingPosition) {
    constexpr std::size_t k = 40;
    const KeyCompare compare = KeyCompare::Bytes(k);
    std::vector<Key> pool;
    for (std::uint32_t i = 0; i < 400; ++i)
        pool.push_back(MakeKey(i * 2, 7, k, false));
    std::sort(pool.begin(), pool.end());
    pool.erase(std::unique(pool.begin(), pool.end()), pool.end());
    std::mt19937 rng(11);
    for (const PageKind kind : {PageKind::kRootLeaf, PageKind::kInterior}) {
        TPage shape;
        shape.Setup(1, k, false, false, 0, 4096);
        shape.SetKind(kind);
        const auto capacity = static_cast<std::size_t>(shape.Capacity());
        for (const std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                                    std::size_t{7}, capacity / 2, capacity}) {
            SCOPED_TRACE(testing::Message() << "kind " << int(kind) << " entries " << n);
            std::vector<Key> held;
            for (std::size_t i = 0; i < n; ++i)
                held.push_back(pool[(i * pool.size()) / std::max<std::size_t>(n, 1)]);
            TPage page;
            page.Setup(1, k, false, false, 0, 4096);
            page.SetKind(kind);
            for (std::size_t i = 0; i < n; ++i) {
                page.SetEditPosition(static_cast<std::int64_t>(i));
                page.InsertEntry(held[i].data(), static_cast<std::uint32_t>(i + 1), 1);
            }
            ASSERT_EQ(page.EntryCount(), static_cast<std::int64_t>(n));
            std::vector<Key> probes = held;
            for (int i = 0; i < 30; ++i)
                probes.push_back(MakeKey(static_cast<std::uint32_t>(rng() % 900), 7, k, false));
            probes.push_back(Key(k, 0));
            probes.push_back(Key(k, 0xFF));
            for (const Key& key : probes) {
                const auto below = static_cast<std::int64_t>(
                    std::lower_bound(held.begin(), held.end(), key) - held.begin());
                const auto not_above = static_cast<std::int64_t>(
                    std::upper_bound(held.begin(), held.end(), key) - held.begin());
                const bool present = below != not_above;
                for (std::int64_t start = -1; start <= static_cast<std::int64_t>(n) + 2; ++start) {
                    page.SetReadPosition(start);
                    const bool equal = page.SeekExact(key.data(), compare);
                    if (page.IsLeaf()) {
                        ASSERT_EQ(page.ReadPosition(), below + 1) << start;
                        ASSERT_EQ(equal, present) << start;
                    } else {
                        ASSERT_EQ(page.ReadPosition(), std::max<std::int64_t>(not_above, 1))
                            << start;
                    }
                    page.SetEditPosition(start);
                    const bool found = page.FindForInsert(key.data(), compare);
                    if (page.IsLeaf()) {
                        ASSERT_EQ(page.EditPosition(), not_above) << start;
                        ASSERT_EQ(found, present) << start;
                    } else if (n > 0) {
                        ASSERT_EQ(page.EditPosition(), std::max<std::int64_t>(not_above, 1))
                            << start;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace strata

namespace strata {
namespace {

// Deletes in record order (one index's keys passed once, in order) with a lookup of a text key
// before each, under a small cache whose packed tier runs short of room, so changed pages of
// both indexes are packed, written as they age and read again. Writes that fail while room is
// made lose nothing, and after a second pass of scattered edits over both indexes the file
// matches a cache that holds everything byte for byte and reads back as the models say.
TEST(PackedPageTier, DeletesInRecordOrderWriteTheSameFileThroughAnyCache) {
    constexpr std::size_t k = 48;
    const auto ordered_key = [](std::uint32_t id) {
        Key key(40, 0);
        const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
        std::memcpy(key.data() + 1, encoded.data(), 4);
        key[0] = 1;
        return key;
    };
    TempDir dir;
    const FailingWritesHook failing_writes;
    std::vector<std::vector<std::uint8_t>> files;
    for (const std::size_t capacity : {std::size_t{16}, std::size_t{kPageCacheCapacity}}) {
        SCOPED_TRACE(testing::Message() << "cache of " << capacity << " pages");
        const std::string name = dir.File("w" + std::to_string(capacity) + ".IDX");
        auto file = NewIndexFile(name, false, capacity);
        file->AddIndex(Descriptor("Ordered", 40, true, 0));
        file->AddIndex(Descriptor("Text", k, false, 0));
        std::map<Key, std::uint32_t> ordered_model;
        std::map<Key, std::uint32_t> text_model;
        std::map<std::uint32_t, Key> text_of;
        std::mt19937 random(17);
        TIndexTree ordered(*file, 1, KeyCompare::Bytes(40));
        TIndexTree text(*file, 2, KeyCompare::Bytes(k));
        const auto add = [&](std::uint32_t id) {
            // Text that hardly packs, so the packed tier runs short of room.
            Key key = MakeKey(random() % 30000, id, k, false);
            for (std::size_t i = 16; i < k - 4; ++i)
                key[i] = static_cast<std::uint8_t>(random() % 255 + 1);
            ASSERT_TRUE(ordered.Insert(ordered_key(id).data(), id));
            ASSERT_TRUE(text.Insert(key.data(), id));
            ordered_model[ordered_key(id)] = id;
            text_model[key] = id;
            text_of[id] = key;
        };
        const auto remove = [&](std::uint32_t id) {
            const Key key = text_of.at(id);
            ASSERT_EQ(text.Find(key.data()), id);
            ASSERT_TRUE(text.Delete(key.data()));
            ASSERT_TRUE(ordered.Delete(ordered_key(id).data()));
            text_model.erase(key);
            ordered_model.erase(ordered_key(id));
            text_of.erase(id);
        };
        std::uint32_t next_id = 1;
        for (; next_id <= 9000; ++next_id)
            ASSERT_NO_FATAL_FAILURE(add(next_id));
        file->FlushPages();
        int failures = 0;
        std::mt19937 probes(5);
        for (std::uint32_t id = 1; id <= 9000; id += 2) {
            ASSERT_NO_FATAL_FAILURE(remove(id));
            if (id % 1500 == 1 && id > 1 && capacity == 16) {
                // Lookups that make room while every write fails: each is refused and the
                // pages it would have pushed out stay as they were.
                fail_every_write = true;
                for (int probe = 0; probe < 400 && failures < 3; ++probe) {
                    const auto at =
                        std::next(text_of.begin(), static_cast<long>(probes() % text_of.size()));
                    try {
                        ASSERT_EQ(text.Find(at->second.data()), at->first);
                    } catch (const EStrataEngineError& e) {
                        EXPECT_EQ(e.ErrorCode(), kErrWrite);
                        ++failures;
                    }
                }
                fail_every_write = false;
            }
        }
        if (capacity == 16) {
            EXPECT_GT(file->GetStatistics().writes, 1000u);
            EXPECT_GT(file->GetStatistics().packed_hits, 500u);
            EXPECT_GT(failures, 0);
        }
        ExpectTreeHolds(ordered, ordered_model);
        ExpectTreeHolds(text, text_model);
        // Scattered edits over both: pages written as they left are read and changed again.
        for (int edit = 0; edit < 3000; ++edit) {
            if (edit % 3 == 0) {
                ASSERT_NO_FATAL_FAILURE(add(next_id++));
            } else {
                const auto at =
                    std::next(text_of.begin(), static_cast<long>(random() % text_of.size()));
                ASSERT_NO_FATAL_FAILURE(remove(at->first));
            }
        }
        file->FlushPages();
        file->WriteHeader(false);
        file->Close();
        files.push_back(testing_support::ReadBytes(name));
        file->Open();
        TIndexTree ordered_again(*file, 1, KeyCompare::Bytes(40));
        TIndexTree text_again(*file, 2, KeyCompare::Bytes(k));
        ExpectTreeHolds(ordered_again, ordered_model);
        ExpectTreeHolds(text_again, text_model);
    }
    EXPECT_GT(files[0].size(), 100 * kIndexPageSize);
    EXPECT_TRUE(files[0] == files[1]);
}

// Deletes over three option-3 indexes (text keys, one-byte status keys repeated by thousands,
// unique keys) with a flush after every few dozen, as a batch change flushes at its commit
// interval, and inserts between: leaves written at one flush lose entries before the next. A
// cache holding everything and a cache of a few pages (where leaves are packed and read again),
// plain and scrambled, leave byte-identical files that read back as the models say.
TEST(CompressedIndexEdits, DeletesBetweenFlushesWriteTheSameFileThroughAnyCache) {
    constexpr std::size_t k = 40;
    TempDir dir;
    std::vector<std::vector<std::uint8_t>> files;
    struct Run {
        std::size_t capacity;
        bool encrypted;
    };
    for (const Run run : {Run{kPageCacheCapacity, false}, Run{16, false},
                          Run{kPageCacheCapacity, true}, Run{16, true}}) {
        SCOPED_TRACE(testing::Message() << "cache of " << run.capacity << " pages"
                                        << (run.encrypted ? ", scrambled" : ""));
        const std::string name =
            dir.File("c" + std::to_string(run.capacity) + (run.encrypted ? "e" : "") + ".IDX");
        auto file = NewIndexFile(name, run.encrypted, run.capacity);
        file->AddIndex(Descriptor("Text", k, false, 3));
        file->AddIndex(Descriptor("Status", 5, false, 3));
        file->AddIndex(Descriptor("Id", 6, true, 3));
        std::array<std::map<Key, std::uint32_t>, 3> models;
        std::map<std::uint32_t, std::array<Key, 3>> keys_of;
        std::mt19937 random(23);
        TIndexTree text(*file, 1, KeyCompare::Bytes(k));
        TIndexTree status(*file, 2, KeyCompare::Bytes(5));
        TIndexTree id_tree(*file, 3, KeyCompare::Bytes(6));
        const std::array<TIndexTree*, 3> trees{&text, &status, &id_tree};
        const auto add = [&](std::uint32_t id) {
            std::array<Key, 3> keys{MakeKey(random() % 20000, id, k, false), Key(5, 0), Key(6, 0)};
            keys[1][0] = static_cast<std::uint8_t>(1 + random() % 3);
            const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
            std::memcpy(keys[1].data() + 1, encoded.data(), 4);
            keys[2][0] = 1;
            std::memcpy(keys[2].data() + 2, encoded.data(), 4);
            for (std::size_t t = 0; t < 3; ++t) {
                ASSERT_TRUE(trees[t]->Insert(keys[t].data(), id));
                models[t][keys[t]] = id;
            }
            keys_of[id] = keys;
        };
        const auto remove = [&](std::uint32_t id) {
            const std::array<Key, 3> keys = keys_of.at(id);
            for (std::size_t t = 0; t < 3; ++t) {
                ASSERT_TRUE(trees[t]->Delete(keys[t].data()));
                models[t].erase(keys[t]);
            }
            keys_of.erase(id);
        };
        std::uint32_t next_id = 1;
        for (; next_id <= 6000; ++next_id)
            ASSERT_NO_FATAL_FAILURE(add(next_id));
        file->FlushPages();
        // Every third record in record order, then scattered ones with inserts between.
        int done = 0;
        for (std::uint32_t id = 3; id <= 6000; id += 3) {
            ASSERT_NO_FATAL_FAILURE(remove(id));
            if (++done % 40 == 0)
                file->FlushPages();
        }
        for (int edit = 0; edit < 2500; ++edit) {
            if (edit % 5 == 0) {
                ASSERT_NO_FATAL_FAILURE(add(next_id++));
            } else {
                const auto at =
                    std::next(keys_of.begin(), static_cast<long>(random() % keys_of.size()));
                ASSERT_NO_FATAL_FAILURE(remove(at->first));
            }
            if (edit % 60 == 0)
                file->FlushPages();
        }
        for (std::size_t t = 0; t < 3; ++t)
            ExpectTreeHolds(*trees[t], models[t]);
        file->FlushPages();
        file->WriteHeader(false);
        file->Close();
        files.push_back(testing_support::ReadBytes(name));
        file->Open();
        TIndexTree text_again(*file, 1, KeyCompare::Bytes(k));
        TIndexTree status_again(*file, 2, KeyCompare::Bytes(5));
        TIndexTree id_again(*file, 3, KeyCompare::Bytes(6));
        ExpectTreeHolds(text_again, models[0]);
        ExpectTreeHolds(status_again, models[1]);
        ExpectTreeHolds(id_again, models[2]);
    }
    EXPECT_GT(files[0].size(), 40 * kIndexPageSize);
    EXPECT_TRUE(files[0] == files[1]);
    EXPECT_TRUE(files[2] == files[3]);
}

// Deletes of most keys, each found first about half the time (as a cursor deletes the record
// it stands on), with inserts between, over two plain indexes (text keys and five-byte
// status keys): a cache of a few pages, where most pages come through the full read path, and a
// cache holding everything, where every page is a cached hit, leave the same trees and
// byte-identical files, which read back as the models say.
TEST(PlainIndexEdits, DeleteHeavyEditsWriteTheSameFileThroughAnyCache) {
    constexpr std::size_t k = 48;
    TempDir dir;
    std::vector<std::vector<std::uint8_t>> files;
    for (const std::size_t capacity : {std::size_t{4}, std::size_t{kPageCacheCapacity}}) {
        SCOPED_TRACE(testing::Message() << "cache of " << capacity << " pages");
        const std::string name = dir.File("d" + std::to_string(capacity) + ".IDX");
        auto file = NewIndexFile(name, false, capacity);
        file->AddIndex(Descriptor("Text", k, false, 0));
        file->AddIndex(Descriptor("Status", 5, true, 0));
        std::map<Key, std::uint32_t> text_model;
        std::map<Key, std::uint32_t> status_model;
        std::mt19937 random(41);
        {
            TIndexTree text(*file, 1, KeyCompare::Bytes(k));
            TIndexTree status(*file, 2, KeyCompare::Bytes(5));
            std::vector<std::uint32_t> live;
            std::map<std::uint32_t, Key> text_of;
            const auto add = [&](std::uint32_t id) {
                const Key key = MakeKey(random() % 20000, id, k, false);
                ASSERT_TRUE(text.Insert(key.data(), id));
                ASSERT_TRUE(status.Insert(StatusKey(0, id).data(), id));
                text_model[key] = id;
                status_model[StatusKey(0, id)] = id;
                text_of[id] = key;
                live.push_back(id);
            };
            std::uint32_t next_id = 1;
            for (; next_id <= 4000; ++next_id)
                ASSERT_NO_FATAL_FAILURE(add(next_id));
            for (int edit = 0; edit < 3600; ++edit) {
                const std::size_t at = random() % live.size();
                const std::uint32_t id = live[at];
                live[at] = live.back();
                live.pop_back();
                const Key& key = text_of[id];
                if (edit % 2 == 0) {
                    ASSERT_EQ(text.Find(key.data()), id);
                }
                ASSERT_TRUE(text.Delete(key.data()));
                ASSERT_FALSE(text.Delete(key.data()));
                // The record's status key turns from live to freed, as a delete leaves it.
                ASSERT_TRUE(status.Delete(StatusKey(0, id).data()));
                ASSERT_TRUE(status.Insert(StatusKey(1, id).data(), id));
                text_model.erase(key);
                status_model.erase(StatusKey(0, id));
                status_model[StatusKey(1, id)] = id;
                if (edit % 9 == 0) {
                    ASSERT_NO_FATAL_FAILURE(add(next_id++));
                }
                if (edit % 900 == 899) {
                    ExpectTreeHolds(text, text_model);
                    ExpectTreeHolds(status, status_model);
                }
            }
        }
        if (capacity == 4) {
            EXPECT_GT(file->GetStatistics().packed_hits + file->GetStatistics().reads, 1000u);
        }
        file->FlushPages();
        file->WriteHeader(false);
        file->Close();
        files.push_back(testing_support::ReadBytes(name));
        file->Open();
        TIndexTree text(*file, 1, KeyCompare::Bytes(k));
        TIndexTree status(*file, 2, KeyCompare::Bytes(5));
        ExpectTreeHolds(text, text_model);
        ExpectTreeHolds(status, status_model);
    }
    EXPECT_GT(files[0].size(), 32 * kIndexPageSize);
    EXPECT_TRUE(files[0] == files[1]);
}

// A child pointer naming the header, a place inside a page or a page past the end of the
// file is refused as damage while every page of the tree stands in the cache, and the
// refused edits change nothing.
TEST_F(IndexFileFixture, ChildPointersOutsideThePagesAreRefusedFromACachedTree) {
    auto file = NewFile();
    file->AddIndex(Descriptor("Wide", 500, true, 0));
    TIndexTree tree(*file, 1, KeyCompare::Bytes(500));
    std::map<Key, std::uint32_t> model;
    for (std::uint32_t value = 0; value < 60; ++value) {
        ASSERT_TRUE(tree.Insert(WideKey(value).data(), value + 1));
        model[WideKey(value)] = value + 1;
    }
    PinnedPage root(*file, file->GetPage(1, file->GetRoot(1)));
    ASSERT_TRUE(root->IsInterior());
    ASSERT_GE(root->EntryCount(), 2);
    const std::uint32_t kept = root->PointerAt(2);
    // The first key below the root's second entry.
    const Key under(root->KeyAt(2), root->KeyAt(2) + 500);
    const std::uint32_t end = file->GetNextPageOffset();
    for (const std::uint32_t bad : {0u, kept + 1, end + std::uint32_t{kIndexPageSize}}) {
        SCOPED_TRACE(testing::Message() << "child " << bad);
        root->SetEditPosition(2);
        root->SetPointer(bad);
        for (int attempt = 0; attempt < 3; ++attempt) {
            try {
                if (attempt == 0)
                    tree.Find(under.data());
                else if (attempt == 1)
                    tree.Delete(under.data());
                else
                    tree.Insert(under.data(), 99);
                ADD_FAILURE() << "attempt " << attempt << " went through";
            } catch (const EStrataEngineError& e) {
                EXPECT_EQ(e.ErrorCode(), kErrIndexPageCorrupt);
            }
        }
        root->SetEditPosition(2);
        root->SetPointer(kept);
        EXPECT_EQ(file->GetNextPageOffset(), end);
        ExpectTreeHolds(tree, model);
    }
}

// Capacities follow the key settings of the slot a page serves, also when the page object
// served a slot of other settings before (a cache of one page hands the same objects from
// slot to slot), and a compressed leaf counts by its smallest entries.
TEST_F(IndexFileFixture, CapacitiesFollowTheSlotAPageObjectServes) {
    auto file = NewFile();
    file->SetPageCacheCapacity(1);
    file->AddIndex(Descriptor("Small", 20, true, 0));
    file->AddIndex(Descriptor("Wide", 500, false, 0));
    file->AddIndex(Descriptor("Packed", 40, false, 3));
    struct Expected {
        int slot;
        std::int64_t leaf;
        std::int64_t interior;
    };
    for (int round = 0; round < 3; ++round) {
        for (const Expected e : {Expected{1, 157, 136}, Expected{2, 8, 8}, Expected{3, 680, 81}}) {
            SCOPED_TRACE(testing::Message() << "slot " << e.slot << " round " << round);
            PinnedPage page(*file, file->NewPage(nullptr, e.slot));
            page->SetKind(PageKind::kLeaf);
            EXPECT_EQ(page->Capacity(), e.leaf);
            page->SetKind(PageKind::kInterior);
            EXPECT_EQ(page->Capacity(), e.interior);
            page->SetKind(PageKind::kLeaf);
            file->FreePage(*page);
        }
    }
}

// A page object's buffer is reused from page to page and not cleared: every page of a file
// whose pages were filled and then shrank by deletes, read into an object that last held a
// fuller page, gives the entries a fresh object reads and writes back the very bytes it was
// read from, whatever the buffer it is written into held; so does the file after edits
// through a cache of two pages, reopened.
TEST_F(IndexFileFixture, ReusedPageObjectsReadAndWriteExactlyWhatFreshOnesDo) {
    struct Case {
        std::uint8_t option;
        bool unique;
        std::uint16_t key_size;
        bool encrypted;
    };
    const Case cases[] = {{0, false, 40, false}, {0, true, 20, false},  {0, false, 9, false},
                          {1, false, 60, false}, {3, false, 40, false}, {0, false, 40, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "option " << int(c.option) << " unique " << c.unique
                                        << " key " << c.key_size << " scrambled " << c.encrypted);
        const std::string name = dir_.File("r" + std::to_string(&c - cases) + ".IDX");
        auto file = NewIndexFile(name, c.encrypted, 2);
        file->AddIndex(Descriptor("ByItem", c.key_size, c.unique, c.option));
        std::map<Key, std::uint32_t> model;
        {
            TIndexTree tree(*file, 1, BytesCompare(c.key_size));
            std::mt19937 random(11);
            for (std::uint32_t i = 0; i < 3000; ++i) {
                const Key key = MakeKey(c.unique ? i : random() % 5000, i, c.key_size, c.unique);
                if (tree.Insert(key.data(), i + 1))
                    model[key] = i + 1;
            }
            // Most keys go again, so pages shrink and some empty to the free chain.
            std::vector<Key> keys;
            for (const auto& entry : model)
                keys.push_back(entry.first);
            std::shuffle(keys.begin(), keys.end(), random);
            for (std::size_t i = 0; i < keys.size() * 3 / 4; ++i) {
                ASSERT_TRUE(tree.Delete(keys[i].data()));
                model.erase(keys[i]);
            }
        }
        file->FlushPages();
        file->WriteHeader(true);
        file->Close();
        const std::vector<std::uint8_t> bytes = testing_support::ReadBytes(name);
        ASSERT_GT(bytes.size(), 8 * kIndexPageSize);
        const auto image_at = [&](std::size_t offset) {
            return std::span<const std::uint8_t>(bytes).subspan(offset, kIndexPageSize);
        };
        const auto read_page = [&](TPage& page, std::size_t offset) {
            page.Clear();
            page.Setup(1, c.key_size, false, c.unique, c.option,
                       static_cast<std::uint32_t>(offset));
            page.ReadPage(image_at(offset), false);
        };
        // The fullest page first, so the reused object's buffer holds more than any other.
        std::size_t fullest = kIndexPageSize;
        std::int64_t most = -1;
        for (std::size_t offset = kIndexPageSize; offset < bytes.size(); offset += kIndexPageSize) {
            TPage page(file.get());
            read_page(page, offset);
            if (page.EntryCount() > most) {
                most = page.EntryCount();
                fullest = offset;
            }
        }
        // Pages of a scrambled file are read and written through its setting.
        TPage reused(file.get());
        read_page(reused, fullest);
        std::size_t shorter = 0;
        for (std::size_t offset = kIndexPageSize; offset < bytes.size(); offset += kIndexPageSize) {
            SCOPED_TRACE(testing::Message() << "page at " << offset);
            TPage fresh(file.get());
            read_page(fresh, offset);
            read_page(reused, offset);
            shorter += reused.EntryCount() < most ? 1 : 0;
            ASSERT_EQ(reused.EntryCount(), fresh.EntryCount());
            if (c.option == 0 || reused.IsInterior()) {
                ASSERT_EQ(TPageTestAccess::EntryBytes(reused), TPageTestAccess::EntryBytes(fresh));
            }
            for (const std::uint8_t noise : {std::uint8_t{0}, std::uint8_t{0xEE}}) {
                std::array<std::uint8_t, kIndexPageSize> image;
                image.fill(noise);
                reused.WritePage(image);
                ASSERT_TRUE(std::equal(image.begin(), image.end(), image_at(offset).begin()));
            }
        }
        EXPECT_GT(shorter, 3u);
        // Read back and edited through the small cache once more, the file holds the model.
        file->SetEncrypted(c.encrypted);
        file->Open();
        file->SetPageCacheCapacity(2);
        {
            TIndexTree tree(*file, 1, BytesCompare(c.key_size));
            std::vector<std::pair<Key, std::uint32_t>> seen;
            tree.ForEach([&](std::span<const std::uint8_t> key, std::uint32_t record) {
                seen.emplace_back(Key(key.begin(), key.end()), record);
            });
            ASSERT_EQ(seen,
                      (std::vector<std::pair<Key, std::uint32_t>>(model.begin(), model.end())));
        }
        file->Close();
    }
}

// Page objects that give their buffers back and take those others gave (stale entries of
// other forms, options and key sizes in them) read every page of plain and compressed files
// to the entries and the image a fresh object reads.
TEST_F(IndexFileFixture, PagesReadIntoBuffersOthersGaveBackMatchFreshReads) {
    struct Case {
        std::uint8_t option;
        bool unique;
        std::uint16_t key_size;
    };
    const Case cases[] = {{3, false, 40}, {0, false, 20}, {3, true, 84}, {0, true, 9}};
    std::vector<std::vector<std::uint8_t>> files;
    for (const Case& c : cases) {
        const std::string name = dir_.File("g" + std::to_string(&c - cases) + ".IDX");
        auto file = NewIndexFile(name, false, 2);
        file->AddIndex(Descriptor("ByItem", c.key_size, c.unique, c.option));
        {
            TIndexTree tree(*file, 1, BytesCompare(c.key_size));
            std::mt19937 random(5);
            for (std::uint32_t i = 0; i < 2500; ++i) {
                const Key key = MakeKey(c.unique ? i : random() % 4000, i, c.key_size, c.unique);
                tree.Insert(key.data(), i + 1);
            }
        }
        file->FlushPages();
        file->WriteHeader(true);
        file->Close();
        files.push_back(testing_support::ReadBytes(name));
        ASSERT_GT(files.back().size(), 8 * kIndexPageSize);
    }
    TPage objects[3];
    std::size_t used = 0;
    std::size_t pages = 0;
    // Pages of every file in turn, so each object meets other settings than its last.
    for (std::size_t offset = kIndexPageSize;; offset += kIndexPageSize) {
        bool any = false;
        for (std::size_t f = 0; f < files.size(); ++f) {
            if (offset + kIndexPageSize > files[f].size())
                continue;
            any = true;
            const Case& c = cases[f];
            SCOPED_TRACE(testing::Message() << "file " << f << " page at " << offset);
            const std::span<const std::uint8_t> image(files[f].data() + offset, kIndexPageSize);
            TPage fresh;
            fresh.Setup(1, c.key_size, false, c.unique, c.option,
                        static_cast<std::uint32_t>(offset));
            fresh.ReadPage(image, false);
            TPage& page = objects[used++ % std::size(objects)];
            page.Clear();
            page.Setup(1, c.key_size, false, c.unique, c.option,
                       static_cast<std::uint32_t>(offset));
            page.ReadPage(image, false);
            ASSERT_EQ(page.EntryCount(), fresh.EntryCount());
            for (std::int64_t i = 1; i <= page.EntryCount(); ++i) {
                ASSERT_TRUE(std::equal(page.KeyAt(i), page.KeyAt(i) + c.key_size, fresh.KeyAt(i)));
                ASSERT_EQ(page.PointerAt(i), fresh.PointerAt(i));
                ASSERT_EQ(page.CountAt(i), fresh.CountAt(i));
            }
            std::array<std::uint8_t, kIndexPageSize> written;
            written.fill(0xEE);
            page.WritePage(written);
            ASSERT_TRUE(std::equal(written.begin(), written.end(), image.begin()));
            ++pages;
            // Every other object gives its buffers back, as a page leaving the cache does.
            if (used % 2 == 0)
                TPageTestAccess::ReleaseMemory(page);
        }
        if (!any)
            break;
    }
    EXPECT_GT(pages, 40u);
}

// A reader keeps what it built from the descriptors while the stamp stays: every change of
// what defines an index or its key gives the file a stamp no file of the process had, and
// edits of the trees, counts and flushes keep it.
TEST_F(IndexFileFixture, EveryChangeOfTheIndexDefinitionsGivesANewStamp) {
    auto file = NewFile();
    std::set<std::uint64_t> stamps;
    const auto expect_new = [&](std::string_view what) {
        EXPECT_TRUE(stamps.insert(file->DescriptorStamp()).second) << what;
    };
    const auto expect_kept = [&](std::string_view what) {
        EXPECT_EQ(file->DescriptorStamp(), *stamps.rbegin()) << what;
    };
    expect_new("created");
    file->SetPrimaryIndex(Descriptor("", 8, true, 0));
    expect_new("primary set");
    file->AddIndex(Descriptor("First", 20, false, 0));
    expect_new("index added");
    file->AddIndex(Descriptor("Second", 20, false, 3));
    expect_new("another added");
    {
        TIndexTree tree(*file, 1, BytesCompare(20));
        for (std::uint32_t i = 0; i < 600; ++i) {
            const Key key = MakeKey(i, i + 1, 20, false);
            ASSERT_TRUE(tree.Insert(key.data(), i + 1));
        }
    }
    file->SetRecordCount(600);
    file->FlushPages();
    file->WriteHeader(true);
    EXPECT_FALSE(file->HeaderChanged());
    expect_kept("keys, counts and writes");
    file->SetIndexDescriptor(2, Descriptor("Second", 24, false, 1));
    expect_new("descriptor set");
    const std::uint16_t fields[] = {1, 1};
    file->SetIndexFields(2, "Second", fields);
    expect_new("fields set");
    file->DeleteIndex(1);
    expect_new("secondary dropped");
    file->DeleteIndex(0);
    expect_new("primary dropped");
    file->ReplacePrimaryIndex(Descriptor("", 12, true, 0));
    expect_new("primary replaced");
    testing_support::RecordingCursor cursor;
    file->RepairHeader(&cursor, true);
    expect_new("header checked");
    file->RepairHeader(&cursor, false);
    expect_new("header repaired");
    file->FlushPages();
    file->WriteHeader(true);
    // Another program's header, with other indexes in it, taken in when its change counter
    // moves.
    {
        TIndexFile other;
        other.SetName(dir_.File("u.IDX"));
        other.CreateFile();
        EXPECT_GT(other.DescriptorStamp(), *stamps.rbegin());
        other.SetPrimaryIndex(Descriptor("", 8, true, 0));
        for (const char* name : {"One", "Two", "Three"})
            other.AddIndex(Descriptor(name, 16, true, 0));
        other.WriteHeader(true);
        other.Close();
        std::vector<std::uint8_t> header = testing_support::ReadBytes(dir_.File("u.IDX"));
        header.resize(kIndexHeaderSize);
        PutU32(header, ih::kChangeCounter, file->GetChangeCounter() + 5);
        std::fstream out(dir_.File("t.IDX"), std::ios::in | std::ios::out | std::ios::binary);
        out.write(reinterpret_cast<const char*>(header.data()),
                  static_cast<std::streamsize>(header.size()));
    }
    ASSERT_TRUE(file->HeaderChanged());
    expect_new("another program's header");
    EXPECT_EQ(file->GetIndexCount(), 3);
    EXPECT_FALSE(file->HeaderChanged());
    expect_kept("nothing changed since");
    file->ReadHeader();
    expect_new("header read again");
    file->Close();
    file->CreateFile();
    expect_new("created again");
}

}  // namespace
}  // namespace strata

namespace strata {
namespace {

// Keys of the shapes plain pages hold: a long run alike (a repeated category padded with
// zeros or blanks) and then the record ID, keys all zeros or all 0xFF, keys that differ only
// in their last byte or right at the edges of the four bytes after a shared stem, and the
// same shapes complemented, as a descending index stores them. Case-insensitive keys are
// built upper-cased, so their bytes are of the same kinds.
std::vector<Key> StemmedKeys(std::size_t k, std::mt19937& random) {
    std::vector<Key> keys;
    const auto id_key = [&](const std::string& text, std::uint8_t pad, std::uint32_t id) {
        Key key(k, pad);
        key[0] = 1;
        std::memcpy(&key[1], text.data(), std::min(text.size(), k - 5));
        const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
        std::memcpy(&key[k - 4], encoded.data(), 4);
        return key;
    };
    for (int i = 0; i < 60; ++i) {
        const std::uint32_t id = random() % 5000;
        keys.push_back(id_key("CAT" + std::to_string(random() % 3), 0, id));
        keys.push_back(id_key("CAT1", ' ', id));
        keys.push_back(id_key("MEMBER" + std::to_string(random() % 40) + "@EXAMPLE.ORG", 0, id));
    }
    keys.push_back(Key(k, 0));
    keys.push_back(Key(k, 0xFF));
    Key last(k, 0);
    last.back() = 1;
    keys.push_back(last);
    // Neighbours of one key at every byte of its end: each of the last eight bytes moved up
    // and down by one.
    const Key base = id_key("CAT1", 0, 300);
    for (std::size_t at = k - 8; at < k; ++at) {
        for (const int step : {-1, 1}) {
            Key near = base;
            near[at] = static_cast<std::uint8_t>(near[at] + step);
            keys.push_back(near);
        }
    }
    const std::size_t plain = keys.size();
    for (std::size_t i = 0; i < plain; i += 3) {
        Key descending = keys[i];
        for (std::uint8_t& byte : descending)
            byte = static_cast<std::uint8_t>(~byte);
        keys.push_back(descending);
    }
    return keys;
}

// Searches of plain pages by bytes go through the heads of their entries; a search through a
// comparing function does not. Both find the same positions from every starting position,
// and pages edited by both hold the same bytes, through inserts at any place, removals,
// replaced keys, equal keys and keys outside the page's shared stem.
TEST(IndexPageSearch, HeadsFindWhatTheSearchByFunctionFinds) {
    std::mt19937 random(77);
    for (const std::size_t k : {std::size_t{16}, std::size_t{21}, std::size_t{84}}) {
        const KeyCompare in_line = KeyCompare::Bytes(k);
        const KeyCompare by_function = BytesCompare(k);
        const std::vector<Key> pool = StemmedKeys(k, random);
        for (const PageKind kind : {PageKind::kRootLeaf, PageKind::kInterior}) {
            SCOPED_TRACE(testing::Message() << "key size " << k << " kind " << int(kind));
            TPage fast;
            TPage slow;
            for (TPage* page : {&fast, &slow}) {
                page->Setup(1, static_cast<std::uint16_t>(k), false, false, 0, 4096);
                page->SetKind(kind);
            }
            const auto capacity = static_cast<std::size_t>(fast.Capacity());
            std::vector<Key> held;
            // Settles where the key goes in both pages and checks that every search agrees.
            const auto agree = [&](const Key& key) {
                const auto n = static_cast<std::int64_t>(held.size());
                for (const std::int64_t start :
                     {std::int64_t{-1}, std::int64_t{0}, std::int64_t{1}, n / 2, n - 1, n, n + 1,
                      static_cast<std::int64_t>(random() % (n + 2))}) {
                    fast.SetReadPosition(start);
                    slow.SetReadPosition(start);
                    ASSERT_EQ(fast.SeekExact(key.data(), in_line),
                              slow.SeekExact(key.data(), by_function))
                        << start;
                    ASSERT_EQ(fast.ReadPosition(), slow.ReadPosition()) << start;
                    fast.SetReadPosition(start);
                    slow.SetReadPosition(start);
                    fast.SeekNearest(key.data(), in_line);
                    slow.SeekNearest(key.data(), by_function);
                    ASSERT_EQ(fast.ReadPosition(), slow.ReadPosition()) << start;
                    fast.SetEditPosition(start);
                    slow.SetEditPosition(start);
                    ASSERT_EQ(fast.FindForInsert(key.data(), in_line),
                              slow.FindForInsert(key.data(), by_function))
                        << start;
                    ASSERT_EQ(fast.EditPosition(), slow.EditPosition()) << start;
                }
                ASSERT_TRUE(TPageTestAccess::HeadsMade(fast) || held.empty());
                ASSERT_TRUE(TPageTestAccess::HeadsHold(fast));
                ASSERT_FALSE(TPageTestAccess::HeadsMade(slow));
            };
            // The pages' images, which is all the file ever holds of them.
            const auto same_bytes = [&] {
                std::array<std::uint8_t, kIndexPageSize> a;
                std::array<std::uint8_t, kIndexPageSize> b;
                fast.WritePage(a);
                slow.WritePage(b);
                ASSERT_TRUE(a == b);
                ASSERT_TRUE(TPageTestAccess::HeadsHold(fast));
            };
            for (int edit = 0; edit < 400; ++edit) {
                const int what = static_cast<int>(random() % 10);
                if (held.size() < 2 || (what < 5 && held.size() < capacity)) {
                    // Insert in order, after any equal key.
                    const Key& key = what == 0 && !held.empty() ? held[random() % held.size()]
                                                                : pool[random() % pool.size()];
                    ASSERT_NO_FATAL_FAILURE(agree(key));
                    const auto after = static_cast<std::int64_t>(
                        std::upper_bound(held.begin(), held.end(), key) - held.begin());
                    fast.SetEditPosition(after);
                    slow.SetEditPosition(after);
                    fast.InsertEntry(key.data(), 7, 1);
                    slow.InsertEntry(key.data(), 7, 1);
                    held.insert(held.begin() + after, key);
                } else if (what < 8) {
                    const auto pos = static_cast<std::int64_t>(random() % held.size()) + 1;
                    fast.SetEditPosition(pos);
                    slow.SetEditPosition(pos);
                    fast.DeleteEntry();
                    slow.DeleteEntry();
                    held.erase(held.begin() + (pos - 1));
                } else {
                    // A key replaced by one that keeps the order, inside or outside the stem.
                    const auto pos = static_cast<std::int64_t>(random() % held.size()) + 1;
                    const Key& key = pool[random() % pool.size()];
                    const std::size_t i = static_cast<std::size_t>(pos - 1);
                    if ((i > 0 && key < held[i - 1]) || (i + 1 < held.size() && held[i + 1] < key))
                        continue;
                    fast.SetEditPosition(pos);
                    slow.SetEditPosition(pos);
                    fast.SetKey(key.data());
                    slow.SetKey(key.data());
                    held[i] = key;
                }
                ASSERT_NO_FATAL_FAILURE(same_bytes());
                ASSERT_EQ(fast.EntryCount(), static_cast<std::int64_t>(held.size()));
                if (edit % 8 == 0) {
                    for (std::size_t p = 0; p < pool.size(); p += 5)
                        ASSERT_NO_FATAL_FAILURE(agree(pool[p]));
                    for (const Key& key : held)
                        ASSERT_NO_FATAL_FAILURE(agree(key));
                }
            }
        }
    }
}

// FNV-1a over a file's bytes, to pin what a scripted workload writes.
std::uint64_t Fingerprint(const std::vector<std::uint8_t>& bytes) {
    std::uint64_t hash = 14695981039346656037ull;
    for (const std::uint8_t byte : bytes) {
        hash ^= byte;
        hash *= 1099511628211ull;
    }
    return hash;
}

// A delete-heavy workload over plain indexes of long keys that share most of their bytes (a
// category repeated over thousands of keys, then the record ID) merges and redistributes
// pages; searched by bytes (through the heads) or through a comparing function, through a
// small cache or one that holds everything, it writes one file, the one it always wrote.
TEST(PlainIndexEdits, RemovalsWriteTheSameFileWhateverTheSearch) {
    constexpr std::size_t k = 84;
    const auto category_key = [](std::uint32_t id) {
        Key key(k, 0);
        key[0] = 1;
        const std::string text = "CAT" + std::to_string(id % 20);
        std::memcpy(&key[1], text.data(), text.size());
        const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
        std::memcpy(&key[k - 4], encoded.data(), 4);
        return key;
    };
    TempDir dir;
    std::vector<std::vector<std::uint8_t>> files;
    for (const bool in_line : {true, false}) {
        for (const std::size_t capacity : {std::size_t{6}, std::size_t{kPageCacheCapacity}}) {
            SCOPED_TRACE(testing::Message() << (in_line ? "in line" : "by function")
                                            << ", cache of " << capacity << " pages");
            const std::string name =
                dir.File("r" + std::to_string(in_line) + std::to_string(capacity) + ".IDX");
            auto file = NewIndexFile(name, false, capacity);
            file->AddIndex(Descriptor("ByCategory", k, false, 0));
            file->AddIndex(Descriptor("ByItem", k, false, 0));
            const auto compare = in_line ? KeyCompare::Bytes(k) : BytesCompare(k);
            std::map<Key, std::uint32_t> categories;
            std::map<Key, std::uint32_t> items;
            {
                TIndexTree by_category(*file, 1, compare);
                TIndexTree by_item(*file, 2, compare);
                std::mt19937 random(5);
                const auto item_key = [&](std::uint32_t id) {
                    return MakeKey(id * 7919 % 100003, id, k, false);
                };
                for (std::uint32_t id = 1; id <= 6000; ++id) {
                    ASSERT_TRUE(by_category.Insert(category_key(id).data(), id));
                    ASSERT_TRUE(by_item.Insert(item_key(id).data(), id));
                    categories[category_key(id)] = id;
                    items[item_key(id)] = id;
                }
                // Runs of neighbours go, as a statement removing one value's rows takes
                // them, then scattered ones, then nearly all.
                for (int round = 0; round < 3; ++round) {
                    for (std::uint32_t id = 1; id <= 6000; ++id) {
                        const bool go = round == 0   ? (id / 20) % 10 == 3
                                        : round == 1 ? random() % 3 == 0
                                                     : random() % 10 != 0;
                        if (!go || !categories.contains(category_key(id)))
                            continue;
                        ASSERT_TRUE(by_category.Delete(category_key(id).data()));
                        ASSERT_TRUE(by_item.Delete(item_key(id).data()));
                        categories.erase(category_key(id));
                        items.erase(item_key(id));
                    }
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_category, categories));
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_item, items));
                }
            }
            file->FlushPages();
            file->WriteHeader(false);
            file->Close();
            files.push_back(testing_support::ReadBytes(name));
        }
    }
    ASSERT_GT(files[0].size(), 200 * kIndexPageSize);
    for (const auto& bytes : files)
        EXPECT_TRUE(bytes == files[0]);
    // What the engine wrote for this workload since its splits followed keys in order (the
    // searches through the heads left it as it was).
    EXPECT_EQ(Fingerprint(files[0]), 9387796408313083164ull);
}

// Keys of the trail tests: one of seven categories, then the row's number.
constexpr std::size_t kTrailKeySize = 44;

Key TrailCategoryKey(std::uint32_t id) {
    Key key(kTrailKeySize, 0);
    key[0] = 1;
    const std::string text = "CAT" + std::to_string(id % 7);
    std::memcpy(&key[1], text.data(), text.size());
    const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
    std::memcpy(&key[kTrailKeySize - 4], encoded.data(), 4);
    return key;
}

// The index layouts and cache sizes the trail tests go through.
struct TrailCase {
    std::uint8_t option;
    bool in_line;
    std::size_t capacity;
};

// A run with trails and one without left the same file at every flush.
void ExpectSameFlushes(const std::vector<std::vector<std::vector<std::uint8_t>>>& flushes) {
    ASSERT_EQ(flushes.size(), 2u);
    ASSERT_EQ(flushes[0].size(), flushes[1].size());
    ASSERT_FALSE(flushes[0].empty());
    for (std::size_t i = 0; i < flushes[0].size(); ++i)
        EXPECT_TRUE(flushes[0][i] == flushes[1][i]) << "flush " << i;
}

// Removals in key order, as a statement makes them in the indexes its rows' order follows,
// go along the slot's last removal where it still leads to the key. They leave the bytes
// removals that always descend leave, at every flush: through runs that empty leaves (merges,
// redistributions, separators replaced), the hidden index's live keys going while its freed
// keys come in behind them, absent keys, caches dropped under a trail, pages the cache packed,
// and a tree emptied to its root; option 0 and 3, searched by bytes and by a function.
TEST(IndexRemovalTrail, RemovalsInKeyOrderWriteWhatDescentsWrite) {
    constexpr std::size_t k = kTrailKeySize;
    constexpr std::uint32_t kRows = 2500;
    const TrailCase cases[] = {{0, true, kPageCacheCapacity},
                               {0, false, 7},
                               {3, true, 7},
                               {3, false, kPageCacheCapacity},
                               {0, true, 7}};
    TempDir dir;
    int n = 0;
    for (const TrailCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "option " << int{c.option} << ", "
                                        << (c.in_line ? "in line" : "by function") << ", cache of "
                                        << c.capacity << " pages");
        std::vector<std::vector<std::vector<std::uint8_t>>> flushes;
        for (const bool trails : {true, false}) {
            const std::string name = dir.File("t" + std::to_string(n++) + ".IDX");
            auto file = NewIndexFile(name, false, c.capacity);
            file->AddIndex(Descriptor("ByCategory", k, false, c.option));
            file->AddIndex(Descriptor("Status", 5, true, c.option));
            std::vector<std::vector<std::uint8_t>>& images = flushes.emplace_back();
            const auto flush = [&] {
                file->FlushPages();
                file->WriteHeader(false);
                images.push_back(testing_support::ReadBytes(name));
            };
            std::map<Key, std::uint32_t> categories;
            std::map<Key, std::uint32_t> statuses;
            {
                TIndexTree by_category(*file, 1,
                                       c.in_line ? KeyCompare::Bytes(k) : BytesCompare(k));
                TIndexTree by_status(*file, 2, c.in_line ? KeyCompare::Bytes(5) : BytesCompare(5));
                // Without trails every removal descends.
                const auto remove = [&](TIndexTree& tree, int slot, const Key& key) {
                    if (!trails)
                        file->LastRemoval(slot) = {};
                    return tree.Delete(key.data());
                };
                for (std::uint32_t id = 1; id <= kRows; ++id) {
                    ASSERT_TRUE(by_category.Insert(TrailCategoryKey(id).data(), id));
                    ASSERT_TRUE(by_status.Insert(StatusKey(0, id).data(), id));
                    categories[TrailCategoryKey(id)] = id;
                    statuses[StatusKey(0, id)] = id;
                }
                flush();
                int removed = 0;
                for (int round = 0; round < 4; ++round) {
                    for (std::uint32_t id = 1; id <= kRows; ++id) {
                        const bool go = round == 0   ? (id / 20) % 10 == 4
                                        : round == 1 ? (id / 50) % 3 != 0
                                        : round == 2 ? id % 5 != 0
                                                     : true;
                        if (!go || !categories.contains(TrailCategoryKey(id)))
                            continue;
                        ASSERT_TRUE(remove(by_category, 1, TrailCategoryKey(id))) << id;
                        ASSERT_TRUE(remove(by_status, 2, StatusKey(0, id))) << id;
                        ASSERT_TRUE(by_status.Insert(StatusKey(1, id).data(), id));
                        categories.erase(TrailCategoryKey(id));
                        statuses.erase(StatusKey(0, id));
                        statuses[StatusKey(1, id)] = id;
                        // A key that is not there, inside the run.
                        if (id % 97 == 0) {
                            EXPECT_FALSE(remove(by_status, 2, StatusKey(0, id)));
                        }
                        if (++removed % 250 == 0)
                            flush();
                        if (removed % 700 == 0) {
                            flush();
                            file->ClearPageCaches(true);
                        }
                    }
                    flush();
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_category, categories));
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_status, statuses));
                }
                // The freed keys go too, in order, down to an empty index.
                for (std::uint32_t id = 1; id <= kRows; ++id) {
                    ASSERT_TRUE(remove(by_status, 2, StatusKey(1, id))) << id;
                    statuses.erase(StatusKey(1, id));
                }
                flush();
                EXPECT_EQ(file->GetRoot(2), 0u);
                EXPECT_TRUE(categories.empty());
                EXPECT_EQ(file->GetRoot(1), 0u);
            }
            file->Close();
        }
        ASSERT_NO_FATAL_FAILURE(ExpectSameFlushes(flushes));
        EXPECT_GT(flushes[0].front().size(), 16 * kIndexPageSize);
    }
}

// Inserts go along the slot's last insert where every page of it still takes the key there.
// They leave the bytes inserts that always descend leave, at every flush, and give the same
// answers: keys appended in order through splits, the hidden index's freed keys coming in
// between those of earlier deletes, keys going back into the middle of a tree, keys scattered
// over seven categories (trails that mostly miss), keys already there, caches dropped under a
// trail, small caches; option 0 and 3, searched by bytes and by a function.
TEST(IndexInsertionTrail, InsertsInKeyOrderWriteWhatDescentsWrite) {
    constexpr std::size_t k = kTrailKeySize;
    constexpr std::uint32_t kRows = 1500;
    const TrailCase cases[] = {{0, true, kPageCacheCapacity},
                               {0, false, 7},
                               {3, true, 7},
                               {3, false, kPageCacheCapacity},
                               {0, true, 5}};
    TempDir dir;
    int n = 0;
    for (const TrailCase& c : cases) {
        SCOPED_TRACE(testing::Message() << "option " << int{c.option} << ", "
                                        << (c.in_line ? "in line" : "by function") << ", cache of "
                                        << c.capacity << " pages");
        std::vector<std::vector<std::vector<std::uint8_t>>> flushes;
        for (const bool trails : {true, false}) {
            const std::string name = dir.File("i" + std::to_string(n++) + ".IDX");
            auto file = NewIndexFile(name, false, c.capacity);
            file->AddIndex(Descriptor("ByCategory", k, false, c.option));
            file->AddIndex(Descriptor("Status", 5, true, c.option));
            std::vector<std::vector<std::uint8_t>>& images = flushes.emplace_back();
            int edits = 0;
            const auto flush = [&] {
                file->FlushPages();
                file->WriteHeader(false);
                images.push_back(testing_support::ReadBytes(name));
            };
            const auto edited = [&] {
                if (++edits % 250 == 0)
                    flush();
                if (edits % 700 == 0) {
                    flush();
                    file->ClearPageCaches(true);
                }
            };
            std::map<Key, std::uint32_t> categories;
            std::map<Key, std::uint32_t> statuses;
            TIndexTree by_category(*file, 1, c.in_line ? KeyCompare::Bytes(k) : BytesCompare(k));
            TIndexTree by_status(*file, 2, c.in_line ? KeyCompare::Bytes(5) : BytesCompare(5));
            // Without trails every insert descends.
            const auto insert = [&](TIndexTree& tree, int slot, const Key& key, std::uint32_t id) {
                if (!trails)
                    file->LastInsertion(slot) = {};
                return tree.Insert(key.data(), id);
            };
            for (std::uint32_t id = 1; id <= kRows; ++id) {
                ASSERT_TRUE(insert(by_category, 1, TrailCategoryKey(id), id));
                ASSERT_TRUE(insert(by_status, 2, StatusKey(0, id), id));
                categories[TrailCategoryKey(id)] = id;
                statuses[StatusKey(0, id)] = id;
                // A key already there, inside a run of appends.
                if (id % 101 == 0) {
                    EXPECT_FALSE(insert(by_status, 2, StatusKey(0, id - 1), id));
                }
                edited();
            }
            flush();
            // Rows go as a statement deletes them, each freed key going in behind the live
            // ones, between the freed keys of the rounds before; then some come back, their
            // keys going into the middle of the trees.
            for (int round = 0; round < 4; ++round) {
                for (std::uint32_t id = 1; id <= kRows; ++id) {
                    const bool go = round == 0   ? (id / 20) % 10 == 4
                                    : round == 1 ? (id / 50) % 3 == 1
                                    : round == 2 ? id % 5 == 2
                                                 : id % 3 != 0;
                    if (!go || !categories.contains(TrailCategoryKey(id)))
                        continue;
                    ASSERT_TRUE(by_category.Delete(TrailCategoryKey(id).data())) << id;
                    ASSERT_TRUE(by_status.Delete(StatusKey(0, id).data())) << id;
                    ASSERT_TRUE(insert(by_status, 2, StatusKey(1, id), id)) << id;
                    if (id % 89 == 0) {
                        EXPECT_FALSE(insert(by_status, 2, StatusKey(1, id), id));
                    }
                    categories.erase(TrailCategoryKey(id));
                    statuses.erase(StatusKey(0, id));
                    statuses[StatusKey(1, id)] = id;
                    edited();
                }
                flush();
                for (std::uint32_t id = round + 1; id <= kRows; id += 4) {
                    if (categories.contains(TrailCategoryKey(id)))
                        continue;
                    ASSERT_TRUE(by_status.Delete(StatusKey(1, id).data())) << id;
                    ASSERT_TRUE(insert(by_status, 2, StatusKey(0, id), id)) << id;
                    ASSERT_TRUE(insert(by_category, 1, TrailCategoryKey(id), id)) << id;
                    statuses.erase(StatusKey(1, id));
                    statuses[StatusKey(0, id)] = id;
                    categories[TrailCategoryKey(id)] = id;
                    edited();
                }
                flush();
                ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_category, categories));
                ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_status, statuses));
            }
            file->Close();
        }
        ASSERT_NO_FATAL_FAILURE(ExpectSameFlushes(flushes));
        EXPECT_GT(flushes[0].back().size(), 12 * kIndexPageSize);
    }
}

// A duplicate check before each insert (a lookup of the key's value, record ID 0) sends the
// lookup along the slot's last insert and the insert along the lookup: keys in order and
// scattered, through small caches dropped now and then, answer as the model says and write,
// at every flush, what inserts without lookups write.
TEST(IndexInsertionTrail, InsertsAfterTheirLookupsWriteWhatInsertsAloneWrite) {
    constexpr std::size_t k = kTrailKeySize;
    const TrailCase cases[] = {{0, true, 6}, {3, false, 6}, {0, false, kPageCacheCapacity}};
    TempDir dir;
    int n = 0;
    for (const TrailCase& c : cases) {
        std::vector<std::vector<std::vector<std::uint8_t>>> flushes;
        for (const bool lookups : {true, false}) {
            const std::string name = dir.File("l" + std::to_string(n++) + ".IDX");
            auto file = NewIndexFile(name, false, c.capacity);
            file->AddIndex(Descriptor("ByItem", k, false, c.option));
            TIndexTree tree(*file, 1, c.in_line ? KeyCompare::Bytes(k) : BytesCompare(k));
            std::map<Key, std::uint32_t> model;
            std::vector<std::vector<std::uint8_t>>& images = flushes.emplace_back();
            for (std::uint32_t id = 1; id <= 3000; ++id) {
                const std::uint32_t value = id <= 1500 ? id : id * 7919 % 100003;
                if (lookups) {
                    TIndexTree::Entry entry;
                    TIndexTree::Position at;
                    const Key probe = MakeKey(value, 0, k, false);
                    const auto wanted = model.lower_bound(probe);
                    if (!tree.LookUp(probe.data(), entry, at) && at.page &&
                        at.position <= at.page->EntryCount()) {
                        ASSERT_NE(wanted, model.end()) << id;
                        ASSERT_TRUE(std::equal(wanted->first.begin(), wanted->first.end(),
                                               at.page->KeyAt(at.position)));
                    }
                }
                const Key key = MakeKey(value, id, k, false);
                ASSERT_TRUE(tree.Insert(key.data(), id)) << id;
                model[key] = id;
                if (id % 400 == 0) {
                    file->FlushPages();
                    images.push_back(testing_support::ReadBytes(name));
                    file->ClearPageCaches(id % 800 == 0);
                }
            }
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(tree, model));
            file->Close();
        }
        ASSERT_NO_FATAL_FAILURE(ExpectSameFlushes(flushes));
    }
}

// Pages searched through their heads still cost the cache about their size.
TEST_F(IndexFileFixture, PlainPagesWithHeadsCostTheCacheAboutTheirSize) {
    auto file = NewFile();
    file->AddIndex(Descriptor("ByItem", 86, false, 0));
    TIndexTree tree(*file, 1, KeyCompare::Bytes(86));
    std::mt19937 random(8);
    std::vector<Key> keys;
    for (std::uint32_t i = 0; i < 5000; ++i) {
        keys.push_back(MakeKey(random() % 100000, i, 86, false));
        ASSERT_TRUE(tree.Insert(keys.back().data(), i + 1));
    }
    for (std::uint32_t i = 0; i < 5000; i += 3)
        ASSERT_EQ(tree.Find(keys[i].data()), i + 1);
    ASSERT_GT(file->CachedPageTotal(), 100u);
    EXPECT_LT(file->CachedPageBytes(), file->CachedPageTotal() * kIndexPageSize * 5 / 4);
}

// A statement's removals as a batch change makes them: the rows go in record order, so one
// index's leaves are visited in a scattered order and the others' in runs, with a flush at
// every commit interval. Between the flushes the changed pages outgrow the clean ones, so a
// small cache takes its victims from both, packing each as it goes. Plain and option-3 files
// through a cache of a few pages hold the same bytes at every flush as through a cache that
// keeps everything, and read back as the models say.
TEST(IndexEvictions, BatchRemovalsWriteTheSameBytesAtEveryFlushThroughAnyCache) {
    constexpr std::size_t k = 44;
    const auto item_key = [](std::uint32_t id) {
        return MakeKey(id * 7919 % 100003, id, k, false);
    };
    TempDir dir;
    for (const std::uint8_t option : {std::uint8_t{0}, std::uint8_t{3}}) {
        SCOPED_TRACE(testing::Message() << "option " << int{option});
        std::vector<std::vector<std::vector<std::uint8_t>>> flushes;
        for (const std::size_t capacity : {std::size_t{5}, std::size_t{kPageCacheCapacity}}) {
            SCOPED_TRACE(testing::Message() << "cache of " << capacity << " pages");
            const std::string name =
                dir.File("e" + std::to_string(option) + "_" + std::to_string(capacity) + ".IDX");
            auto file = NewIndexFile(name, false, capacity);
            file->AddIndex(Descriptor("ByItem", k, false, option));
            file->AddIndex(Descriptor("Status", 5, true, option));
            std::map<Key, std::uint32_t> items;
            std::map<Key, std::uint32_t> statuses;
            std::vector<std::vector<std::uint8_t>>& images = flushes.emplace_back();
            const auto flush = [&] {
                file->FlushPages();
                file->WriteHeader(false);
                images.push_back(testing_support::ReadBytes(name));
            };
            {
                TIndexTree by_item(*file, 1, KeyCompare::Bytes(k));
                TIndexTree by_status(*file, 2, KeyCompare::Bytes(5));
                for (std::uint32_t id = 1; id <= 5000; ++id) {
                    ASSERT_TRUE(by_item.Insert(item_key(id).data(), id));
                    ASSERT_TRUE(by_status.Insert(StatusKey(0, id).data(), id));
                    items[item_key(id)] = id;
                    statuses[StatusKey(0, id)] = id;
                }
                flush();
                int removed = 0;
                for (int round = 0; round < 2; ++round) {
                    for (std::uint32_t id = 1; id <= 5000; ++id) {
                        const bool go = round == 0 ? (id / 20) % 10 == 9 : id % 3 != 0;
                        if (!go || !items.contains(item_key(id)))
                            continue;
                        ASSERT_TRUE(by_item.Delete(item_key(id).data()));
                        ASSERT_TRUE(by_status.Delete(StatusKey(0, id).data()));
                        ASSERT_TRUE(by_status.Insert(StatusKey(1, id).data(), id));
                        items.erase(item_key(id));
                        statuses.erase(StatusKey(0, id));
                        statuses[StatusKey(1, id)] = id;
                        if (++removed % 300 == 0)
                            flush();
                    }
                    flush();
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_item, items));
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_status, statuses));
                }
            }
            if (capacity == 5) {
                EXPECT_GT(file->GetStatistics().packed_hits + file->GetStatistics().reads, 1500u);
            }
            file->Close();
            file->Open();
            TIndexTree by_item(*file, 1, KeyCompare::Bytes(k));
            TIndexTree by_status(*file, 2, KeyCompare::Bytes(5));
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_item, items));
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_status, statuses));
        }
        ASSERT_EQ(flushes.size(), 2u);
        ASSERT_EQ(flushes[0].size(), flushes[1].size());
        EXPECT_GT(flushes[0].front().size(), 24 * kIndexPageSize);
        for (std::size_t i = 0; i < flushes[0].size(); ++i)
            EXPECT_TRUE(flushes[0][i] == flushes[1][i]) << "flush " << i;
    }
}

// The list table's layout: a compressed primary index whose leaves the rows' order visits in
// runs, beside plain indexes visited scattered. A compressed leaf unpacks to several times
// what a plain page gives back when it is packed, so room for one takes many plain victims.
// Removals as a cursor makes them (every tenth row, found by its plain key, one flush at the
// end) and as a statement makes them (a scattered third, a flush every thousand) hold the
// same bytes at every flush through caches of a few pages, of some more and of everything,
// and read back as the models say.
TEST(IndexEvictions, MixedLayoutRemovalsWriteTheSameBytesAtEveryFlushThroughAnyCache) {
    constexpr std::size_t kItem = 80;
    constexpr std::size_t kPrimary = 4 + kItem;
    constexpr std::uint32_t kRows = 5000;
    // Addresses that fill their field, so a plain leaf packs to about its size.
    const auto item_key = [](std::uint32_t id) {
        Key key(kItem, 0);
        std::mt19937 bytes(id * 7919 % 100003);
        for (std::size_t i = 0; i + 4 < kItem; ++i)
            key[i] = static_cast<std::uint8_t>('a' + bytes() % 26);
        const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
        std::memcpy(&key[kItem - 4], encoded.data(), 4);
        return key;
    };
    // The record's number first, as an automatic one leads the list's primary key.
    const auto primary_key = [](std::uint32_t id) {
        Key key(kPrimary, 0);
        const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
        std::memcpy(key.data(), encoded.data(), 4);
        const std::string text = "member" + std::to_string(id % 977);
        std::memcpy(&key[4], text.data(), text.size());
        return key;
    };
    TempDir dir;
    std::vector<std::vector<std::vector<std::uint8_t>>> flushes;
    for (const std::size_t capacity :
         {std::size_t{8}, std::size_t{32}, std::size_t{kPageCacheCapacity}}) {
        SCOPED_TRACE(testing::Message() << "cache of " << capacity << " pages");
        const std::string name = dir.File("m" + std::to_string(capacity) + ".IDX");
        auto file = NewIndexFile(name, false, capacity);
        file->AddIndex(Descriptor("Primary", kPrimary, true, 3));
        file->AddIndex(Descriptor("ByItem", kItem, false, 0));
        file->AddIndex(Descriptor("Status", 5, true, 0));
        std::map<Key, std::uint32_t> primary;
        std::map<Key, std::uint32_t> items;
        std::map<Key, std::uint32_t> statuses;
        std::vector<std::vector<std::uint8_t>>& images = flushes.emplace_back();
        const auto flush = [&] {
            file->FlushPages();
            file->WriteHeader(false);
            images.push_back(testing_support::ReadBytes(name));
        };
        {
            TIndexTree by_primary(*file, 1, KeyCompare::Bytes(kPrimary));
            TIndexTree by_item(*file, 2, KeyCompare::Bytes(kItem));
            TIndexTree by_status(*file, 3, KeyCompare::Bytes(5));
            for (std::uint32_t id = 1; id <= kRows; ++id) {
                ASSERT_TRUE(by_primary.Insert(primary_key(id).data(), id));
                ASSERT_TRUE(by_item.Insert(item_key(id).data(), id));
                ASSERT_TRUE(by_status.Insert(StatusKey(0, id).data(), id));
                primary[primary_key(id)] = id;
                items[item_key(id)] = id;
                statuses[StatusKey(0, id)] = id;
            }
            flush();
            std::mt19937 random(11);
            int removed = 0;
            for (int round = 0; round < 2; ++round) {
                for (std::uint32_t id = 1; id <= kRows; ++id) {
                    const bool go = round == 0 ? id % 10 == 0 : random() % 3 == 0;
                    if (!go || !items.contains(item_key(id)))
                        continue;
                    ASSERT_EQ(by_item.Find(item_key(id).data()), id);
                    ASSERT_TRUE(by_item.Delete(item_key(id).data()));
                    ASSERT_TRUE(by_primary.Delete(primary_key(id).data()));
                    ASSERT_TRUE(by_status.Delete(StatusKey(0, id).data()));
                    items.erase(item_key(id));
                    primary.erase(primary_key(id));
                    statuses.erase(StatusKey(0, id));
                    if (++removed % 1000 == 0 && round == 1)
                        flush();
                }
                flush();
                ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_primary, primary));
                ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_item, items));
                ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_status, statuses));
            }
        }
        if (capacity == 8) {
            EXPECT_GT(file->GetStatistics().packed_hits + file->GetStatistics().reads, 1000u);
        }
        file->Close();
        file->Open();
        TIndexTree by_primary(*file, 1, KeyCompare::Bytes(kPrimary));
        TIndexTree by_item(*file, 2, KeyCompare::Bytes(kItem));
        TIndexTree by_status(*file, 3, KeyCompare::Bytes(5));
        ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_primary, primary));
        ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_item, items));
        ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_status, statuses));
    }
    ASSERT_EQ(flushes.size(), 3u);
    EXPECT_GT(flushes[0].front().size(), 64 * kIndexPageSize);
    for (std::size_t c = 1; c < flushes.size(); ++c) {
        ASSERT_EQ(flushes[c].size(), flushes[0].size());
        for (std::size_t i = 0; i < flushes[0].size(); ++i)
            EXPECT_TRUE(flushes[c][i] == flushes[0][i]) << "cache " << c << ", flush " << i;
    }
}

// A key removed from a plain leaf that stands packed changes that leaf where it stands (and,
// for the leaf's first key, the parents that hold it), unless the leaf falls below half full
// (it merges or takes entries from a neighbour), and never in a scrambled file. Scattered removals,
// each leaf's first keys, removals that empty leaves, and removals of keys already gone, searched
// by bytes and through a comparing function, over keys padded with zeros and keys without any,
// through a cache of a few pages hold the same bytes at every flush as through a cache that keeps
// every page unpacked, and read back as the models say.
TEST(IndexEvictions, RemovalsFromPackedLeavesWriteWhatUnpackedLeavesWrite) {
    constexpr std::size_t k = 44;
    constexpr std::uint32_t kRows = 4000;
    const auto item_key = [](std::uint32_t id) {
        return MakeKey(id * 7919 % 100003, id, k, false);
    };
    // Keys without a run of zeros, so that a leaf packs to one run of bytes.
    const auto dense_key = [](std::uint32_t id) {
        Key key(k, 0);
        std::mt19937 bytes(id * 7919 % 100003);
        for (std::size_t i = 0; i + 4 < k; ++i)
            key[i] = static_cast<std::uint8_t>('a' + bytes() % 26);
        const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
        std::memcpy(&key[k - 4], encoded.data(), 4);
        return key;
    };
    TempDir dir;
    for (const bool encrypted : {false, true}) {
        SCOPED_TRACE(encrypted ? "scrambled" : "plain");
        std::vector<std::vector<std::vector<std::uint8_t>>> flushes;
        for (const std::size_t capacity : {std::size_t{6}, std::size_t{kPageCacheCapacity}}) {
            SCOPED_TRACE(testing::Message() << "cache of " << capacity << " pages");
            const std::string name =
                dir.File("p" + std::to_string(encrypted) + "_" + std::to_string(capacity) + ".IDX");
            auto file = NewIndexFile(name, encrypted, capacity);
            file->AddIndex(Descriptor("ByBytes", k, false, 0));
            file->AddIndex(Descriptor("ByFunction", k, false, 0));
            file->AddIndex(Descriptor("Dense", k, false, 0));
            std::map<Key, std::uint32_t> keys;
            std::map<Key, std::uint32_t> dense;
            std::vector<std::vector<std::uint8_t>>& images = flushes.emplace_back();
            const auto flush = [&] {
                file->FlushPages();
                file->WriteHeader(false);
                images.push_back(testing_support::ReadBytes(name));
            };
            {
                TIndexTree by_bytes(*file, 1, KeyCompare::Bytes(k));
                TIndexTree by_function(*file, 2, BytesCompare(k));
                TIndexTree by_dense(*file, 3, KeyCompare::Bytes(k));
                for (std::uint32_t id = 1; id <= kRows; ++id) {
                    ASSERT_TRUE(by_bytes.Insert(item_key(id).data(), id));
                    ASSERT_TRUE(by_function.Insert(item_key(id).data(), id));
                    ASSERT_TRUE(by_dense.Insert(dense_key(id).data(), id));
                    keys[item_key(id)] = id;
                    dense[dense_key(id)] = id;
                }
                flush();
                int removed = 0;
                const auto remove = [&](const Key& key) {
                    const std::uint32_t id = keys.at(key);
                    ASSERT_TRUE(by_bytes.Delete(key.data()));
                    ASSERT_TRUE(by_function.Delete(key.data()));
                    ASSERT_TRUE(by_dense.Delete(dense_key(id).data()));
                    keys.erase(key);
                    dense.erase(dense_key(id));
                    if (++removed % 40 == 0) {
                        // A key already gone is not found, and changes nothing.
                        ASSERT_FALSE(by_bytes.Delete(key.data()));
                        ASSERT_FALSE(by_function.Delete(key.data()));
                    }
                    if (removed % 250 == 0)
                        flush();
                };
                std::mt19937 random(17);
                for (int round = 0; round < 3; ++round) {
                    if (round == 1) {
                        // The lowest keys in turn: each the first of its leaf.
                        for (int n = 0; n < 300; ++n) {
                            ASSERT_NO_FATAL_FAILURE(remove(Key(keys.begin()->first)));
                        }
                    } else {
                        for (std::uint32_t id = 1; id <= kRows; ++id) {
                            const bool go = round == 0 ? id % 7 == 3 : random() % 5 != 0;
                            if (go && keys.contains(item_key(id))) {
                                ASSERT_NO_FATAL_FAILURE(remove(item_key(id)));
                            }
                        }
                    }
                    flush();
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_bytes, keys));
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_function, keys));
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_dense, dense));
                }
            }
            const std::uint64_t packed_removals = file->GetStatistics().packed_removals;
            if (capacity == 6 && !encrypted) {
                EXPECT_GT(packed_removals, 500u);
            } else {
                EXPECT_EQ(packed_removals, 0u);
            }
            file->Close();
            file->Open();
            TIndexTree by_bytes(*file, 1, KeyCompare::Bytes(k));
            TIndexTree by_function(*file, 2, BytesCompare(k));
            TIndexTree by_dense(*file, 3, KeyCompare::Bytes(k));
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_bytes, keys));
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_function, keys));
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_dense, dense));
        }
        ASSERT_EQ(flushes.size(), 2u);
        ASSERT_EQ(flushes[0].size(), flushes[1].size());
        EXPECT_GT(flushes[0].front().size(), 64 * kIndexPageSize);
        for (std::size_t i = 0; i < flushes[0].size(); ++i)
            EXPECT_TRUE(flushes[0][i] == flushes[1][i]) << "flush " << i;
    }
}

// A leaf standing packed that loses its first key is changed where it stands when it stays at
// least half full, and its parents take its new first key, up to the root for the leftmost
// leaf. Every leaf's first key removed in scattered order, pass after pass until leaves fall
// below half and merge, through a cache of a few pages holds the same bytes at every flush as
// through a cache that keeps every page unpacked, and reads back as the model says.
TEST(IndexEvictions, FirstKeysRemovedFromPackedLeavesWriteWhatUnpackedLeavesWrite) {
    constexpr std::size_t k = 44;
    constexpr std::uint32_t kRows = 4000;
    const auto item_key = [](std::uint32_t id) {
        return MakeKey(id * 7919 % 100003, id, k, false);
    };
    // The first key of every leaf, left to right.
    const auto first_keys = [](TIndexFile& file) {
        std::vector<Key> firsts;
        std::uint32_t offset = file.GetRoot(1);
        while (true) {
            PinnedPage page(file, file.GetPage(1, offset));
            if (page->IsLeaf())
                break;
            offset = page->PointerAt(1);
        }
        while (offset != 0) {
            PinnedPage page(file, file.GetPage(1, offset));
            firsts.emplace_back(page->KeyAt(1), page->KeyAt(1) + k);
            offset = page->Next();
        }
        return firsts;
    };
    TempDir dir;
    std::vector<std::vector<std::vector<std::uint8_t>>> flushes;
    for (const std::size_t capacity : {std::size_t{6}, std::size_t{kPageCacheCapacity}}) {
        SCOPED_TRACE(testing::Message() << "cache of " << capacity << " pages");
        const std::string name = dir.File("f" + std::to_string(capacity) + ".IDX");
        auto file = NewIndexFile(name, false, capacity);
        file->AddIndex(Descriptor("ByBytes", k, false, 0));
        file->AddIndex(Descriptor("ByFunction", k, false, 0));
        std::map<Key, std::uint32_t> keys;
        std::vector<std::vector<std::uint8_t>>& images = flushes.emplace_back();
        const auto flush = [&] {
            file->FlushPages();
            file->WriteHeader(false);
            images.push_back(testing_support::ReadBytes(name));
        };
        std::size_t leaves = 0;
        {
            TIndexTree by_bytes(*file, 1, KeyCompare::Bytes(k));
            TIndexTree by_function(*file, 2, BytesCompare(k));
            for (std::uint32_t id = 1; id <= kRows; ++id) {
                ASSERT_TRUE(by_bytes.Insert(item_key(id).data(), id));
                ASSERT_TRUE(by_function.Insert(item_key(id).data(), id));
                keys[item_key(id)] = id;
            }
            flush();
            std::mt19937 random(23);
            int removed = 0;
            for (int pass = 0; pass < 12; ++pass) {
                std::vector<Key> firsts = first_keys(*file);
                if (pass == 0)
                    leaves = firsts.size();
                std::shuffle(firsts.begin(), firsts.end(), random);
                for (const Key& key : firsts) {
                    ASSERT_TRUE(by_bytes.Delete(key.data()));
                    ASSERT_TRUE(by_function.Delete(key.data()));
                    keys.erase(key);
                    if (++removed % 50 == 0)
                        flush();
                }
                flush();
                ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_bytes, keys));
                ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_function, keys));
            }
        }
        // Most removals went where the leaves stood packed, until leaves fell below half.
        const std::uint64_t packed_removals = file->GetStatistics().packed_removals;
        if (capacity == 6) {
            EXPECT_GT(packed_removals, 4 * leaves);
        } else {
            EXPECT_EQ(packed_removals, 0u);
        }
        file->Close();
        file->Open();
        TIndexTree by_bytes(*file, 1, KeyCompare::Bytes(k));
        TIndexTree by_function(*file, 2, BytesCompare(k));
        ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_bytes, keys));
        ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_function, keys));
    }
    ASSERT_EQ(flushes.size(), 2u);
    ASSERT_EQ(flushes[0].size(), flushes[1].size());
    EXPECT_GT(flushes[0].front().size(), 64 * kIndexPageSize);
    for (std::size_t i = 0; i < flushes[0].size(); ++i)
        EXPECT_TRUE(flushes[0][i] == flushes[1][i]) << "flush " << i;
}

// Records found by a lookup and then deleted, as a cursor deletes by a key: the lookup answers
// from a plain leaf standing packed, and the removal that follows along its descent changes the
// leaf where it stands (its first key too, then its parent's separator). Some removals follow a
// lookup of the next key instead, which may stand in the same leaf or another. Through a cache
// of a few pages the file holds at every flush the bytes a cache that keeps every page unpacked
// writes, searched by bytes and through a comparing function, and the trees read back as the
// model says after reopening.
TEST(IndexEvictions, KeysDeletedAfterLookupsInPackedLeavesWriteWhatUnpackedLeavesWrite) {
    constexpr std::uint32_t kRows = 4000;
    constexpr std::size_t k = 84;
    TempDir dir;
    std::vector<std::vector<std::vector<std::uint8_t>>> flushes;
    for (const std::size_t capacity : {std::size_t{6}, std::size_t{kPageCacheCapacity}}) {
        SCOPED_TRACE(testing::Message() << "cache of " << capacity << " pages");
        const std::string name = dir.File("l" + std::to_string(capacity) + ".IDX");
        auto file = NewIndexFile(name, false, capacity);
        file->AddIndex(Descriptor("ByBytes", static_cast<std::uint16_t>(k), false, 0));
        file->AddIndex(Descriptor("ByFunction", static_cast<std::uint16_t>(k), false, 0));
        std::map<Key, std::uint32_t> model;
        std::vector<std::vector<std::uint8_t>>& images = flushes.emplace_back();
        const auto flush = [&] {
            file->FlushPages();
            file->WriteHeader(false);
            images.push_back(testing_support::ReadBytes(name));
        };
        std::uint64_t from_packed = 0;
        {
            TIndexTree by_bytes(*file, 1, KeyCompare::Bytes(k));
            TIndexTree by_function(*file, 2, BytesCompare(k));
            std::vector<Key> keys;
            for (std::uint32_t id = 1; id <= kRows; ++id) {
                keys.push_back(MakeKey(id * 7919 % 10007, id, k, false));
                ASSERT_TRUE(by_bytes.Insert(keys.back().data(), id));
                ASSERT_TRUE(by_function.Insert(keys.back().data(), id));
                model[keys.back()] = id;
            }
            flush();
            // Two of three keys go in scattered order: leaves lose their first keys, fall
            // below half and merge.
            int removed = 0;
            for (std::uint32_t j = 0; j < kRows; ++j) {
                if (j % 3 == 0)
                    continue;
                const Key key = keys[j * 1237 % kRows];
                auto next = std::next(model.find(key));
                const Key& looked_up = j % 5 == 0 && next != model.end() ? next->first : key;
                for (TIndexTree* tree : {&by_bytes, &by_function}) {
                    TIndexTree::Entry entry;
                    TIndexTree::Position at;
                    if (tree->LookUp(looked_up.data(), entry, at)) {
                        ++from_packed;
                        EXPECT_EQ(entry.key, looked_up);
                    }
                    at = TIndexTree::Position{};
                    ASSERT_TRUE(tree->Delete(key.data()));
                }
                model.erase(key);
                if (++removed % 250 == 0)
                    flush();
            }
            flush();
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_bytes, model));
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_function, model));
        }
        if (capacity == 6) {
            EXPECT_GT(from_packed, 2000u);
            EXPECT_GT(file->GetStatistics().packed_removals, 2000u);
        } else {
            EXPECT_EQ(file->GetStatistics().packed_removals, 0u);
        }
        file->Close();
        file->Open();
        TIndexTree by_bytes(*file, 1, KeyCompare::Bytes(k));
        TIndexTree by_function(*file, 2, BytesCompare(k));
        ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_bytes, model));
        ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_function, model));
    }
    ASSERT_EQ(flushes.size(), 2u);
    ASSERT_EQ(flushes[0].size(), flushes[1].size());
    for (std::size_t i = 0; i < flushes[0].size(); ++i)
        EXPECT_TRUE(flushes[0][i] == flushes[1][i]) << "flush " << i;
}

// A plain leaf that falls below half full while it and the neighbour its parent names stand
// packed takes entries from that neighbour where both stand, unless the two merge. Keys of
// random values in random order leave leaves of every fill; random removals (first keys of
// leaves among them, leaves on either side of their neighbour), of keys padded with zeros and
// of keys without a run of zeros, searched by bytes and through a comparing function, through
// a cache of a few pages hold the same bytes at every flush as through a cache that keeps
// every page unpacked, for several seeds, and read back as the models say.
TEST(IndexEvictions, RedistributionsBetweenPackedLeavesWriteWhatUnpackedLeavesWrite) {
    constexpr std::size_t k = 60;
    constexpr std::uint32_t kRows = 2400;
    const auto padded_key = [](std::uint32_t value, std::uint32_t id) {
        return MakeKey(value, id, k, false);
    };
    const auto dense_key = [](std::uint32_t value, std::uint32_t id) {
        Key key(k, 0);
        std::mt19937 bytes(value);
        for (std::size_t i = 0; i + 4 < k; ++i)
            key[i] = static_cast<std::uint8_t>('a' + bytes() % 26);
        const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
        std::memcpy(&key[k - 4], encoded.data(), 4);
        return key;
    };
    TempDir dir;
    for (const std::uint32_t seed : {3u, 977u}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed);
        std::vector<std::vector<std::vector<std::uint8_t>>> flushes;
        std::vector<std::uint64_t> redistributions;
        for (const std::size_t capacity : {std::size_t{6}, std::size_t{kPageCacheCapacity}}) {
            SCOPED_TRACE(testing::Message() << "cache of " << capacity << " pages");
            const std::string name =
                dir.File("s" + std::to_string(seed) + "_" + std::to_string(capacity) + ".IDX");
            auto file = NewIndexFile(name, false, capacity);
            file->AddIndex(Descriptor("ByBytes", k, false, 0));
            file->AddIndex(Descriptor("ByFunction", k, false, 0));
            file->AddIndex(Descriptor("Dense", k, false, 0));
            std::map<Key, std::uint32_t> padded;
            std::map<Key, std::uint32_t> dense;
            std::map<std::uint32_t, std::uint32_t> values;
            std::vector<std::vector<std::uint8_t>>& images = flushes.emplace_back();
            const auto flush = [&] {
                file->FlushPages();
                file->WriteHeader(false);
                images.push_back(testing_support::ReadBytes(name));
            };
            {
                TIndexTree by_bytes(*file, 1, KeyCompare::Bytes(k));
                TIndexTree by_function(*file, 2, BytesCompare(k));
                TIndexTree by_dense(*file, 3, KeyCompare::Bytes(k));
                std::mt19937 random(seed);
                std::vector<std::uint32_t> ids(kRows);
                for (std::uint32_t i = 0; i < kRows; ++i)
                    ids[i] = i + 1;
                std::shuffle(ids.begin(), ids.end(), random);
                for (const std::uint32_t id : ids) {
                    const std::uint32_t value = random() % 100000;
                    ASSERT_TRUE(by_bytes.Insert(padded_key(value, id).data(), id));
                    ASSERT_TRUE(by_function.Insert(padded_key(value, id).data(), id));
                    ASSERT_TRUE(by_dense.Insert(dense_key(value, id).data(), id));
                    padded[padded_key(value, id)] = id;
                    dense[dense_key(value, id)] = id;
                    values[id] = value;
                }
                flush();
                int removed = 0;
                const auto remove = [&](std::uint32_t id) {
                    const std::uint32_t value = values.at(id);
                    ASSERT_TRUE(by_bytes.Delete(padded_key(value, id).data()));
                    ASSERT_TRUE(by_function.Delete(padded_key(value, id).data()));
                    ASSERT_TRUE(by_dense.Delete(dense_key(value, id).data()));
                    padded.erase(padded_key(value, id));
                    dense.erase(dense_key(value, id));
                    values.erase(id);
                    if (++removed % 97 == 0)
                        flush();
                };
                for (int round = 0; round < 4; ++round) {
                    if (round == 2) {
                        // The lowest keys in turn, each the first of its leaf.
                        for (int n = 0; n < 150 && !padded.empty(); ++n) {
                            ASSERT_NO_FATAL_FAILURE(remove(padded.begin()->second));
                        }
                    } else {
                        std::vector<std::uint32_t> left;
                        for (const auto& [id, value] : values)
                            left.push_back(id);
                        std::shuffle(left.begin(), left.end(), random);
                        left.resize(left.size() / 4);
                        for (const std::uint32_t id : left) {
                            ASSERT_NO_FATAL_FAILURE(remove(id));
                        }
                    }
                    flush();
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_bytes, padded));
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_function, padded));
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_dense, dense));
                }
            }
            redistributions.push_back(file->GetStatistics().packed_redistributions);
            file->Close();
            file->Open();
            TIndexTree by_bytes(*file, 1, KeyCompare::Bytes(k));
            TIndexTree by_function(*file, 2, BytesCompare(k));
            TIndexTree by_dense(*file, 3, KeyCompare::Bytes(k));
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_bytes, padded));
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_function, padded));
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(by_dense, dense));
        }
        ASSERT_EQ(redistributions.size(), 2u);
        EXPECT_GT(redistributions[0], 30u);
        EXPECT_EQ(redistributions[1], 0u);
        ASSERT_EQ(flushes.size(), 2u);
        ASSERT_EQ(flushes[0].size(), flushes[1].size());
        EXPECT_GT(flushes[0].front().size(), 64 * kIndexPageSize);
        for (std::size_t i = 0; i < flushes[0].size(); ++i)
            EXPECT_TRUE(flushes[0][i] == flushes[1][i]) << "flush " << i;
    }
}

// A key of `k` bytes that orders as `value` does, then the record ID.
Key OrderedKey(std::uint32_t value, std::uint32_t id, std::size_t k) {
    Key key(k, 0);
    const std::string text =
        "k" + std::string(8 - std::min<std::size_t>(8, std::to_string(value).size()), '0') +
        std::to_string(value);
    std::memcpy(key.data(), text.data(), std::min(text.size(), k - 4));
    const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
    std::memcpy(&key[k - 4], encoded.data(), 4);
    return key;
}

// The cached pages of slot 1: each counted by the cache for the memory it holds, its buffer
// within twice its entries, or a full page's where pages were read back through a small
// cache (a page read keeps a buffer that fits it) or lost entries; gives the bytes of their buffers
// and of their entries.
struct BufferTotals {
    std::size_t pages = 0;
    std::size_t buffers = 0;
    std::size_t entries = 0;
};
BufferTotals CheckCachedBuffers(TIndexFile& file, std::size_t k, bool read_back = false) {
    BufferTotals totals;
    const std::size_t stride = k + 12;
    for (std::uint32_t offset = kIndexPageSize; offset < file.GetNextPageOffset();
         offset += kIndexPageSize) {
        const TPage* page = file.FindCachedPage(1, offset);
        if (page == nullptr)
            continue;
        const std::size_t entries = static_cast<std::size_t>(page->EntryCount()) * stride;
        const std::size_t buffer = TPageTestAccess::BufferCapacity(*page);
        EXPECT_EQ(TPageTestAccess::Charge(*page), TPageTestAccess::Held(*page)) << offset;
        const std::size_t full =
            read_back ? static_cast<std::size_t>(page->Capacity() + 1) * stride : 0;
        EXPECT_LE(buffer, std::max(2 * (entries + stride), full)) << offset;
        ++totals.pages;
        totals.buffers += buffer;
        totals.entries += entries;
    }
    return totals;
}

// Plain pages keep buffers sized to their entries through every edit: splits of keys that
// come in order either way or scattered, merges and redistributions after removals, pages
// packed and read back through a small cache. The cache counts the bytes the pages hold,
// and the file is byte for byte the one written through a cache that keeps everything.
TEST(PageBuffers, FollowTheirEntriesThroughSplitsMergesAndASmallCache) {
    // Page objects take spare buffers kept per thread, and those the process's reserve hands
    // out go there too.
    std::thread([] {
        ReleasePageReserve();
        constexpr std::uint32_t kKeys = 3000;
        for (const std::size_t k : {std::size_t{16}, std::size_t{84}}) {
            for (const int order : {0, 1, 2}) {
                SCOPED_TRACE(testing::Message() << "key size " << k << " order " << order);
                const auto value_of = [&](std::uint32_t i) {
                    return order == 0 ? i : order == 1 ? kKeys - i : i * 7919 % 10007;
                };
                std::vector<std::vector<std::uint8_t>> files;
                for (const std::size_t capacity :
                     {std::size_t{3}, std::size_t{kPageCacheCapacity}}) {
                    SCOPED_TRACE(capacity);
                    TempDir dir;
                    const std::string name = dir.File("b.IDX");
                    auto file = NewIndexFile(name, false, capacity);
                    file->AddIndex(Descriptor("Buffers", static_cast<std::uint16_t>(k), false, 0));
                    std::map<Key, std::uint32_t> model;
                    TIndexTree tree(*file, 1, KeyCompare::Bytes(k));
                    for (std::uint32_t i = 0; i < kKeys; ++i) {
                        const Key key = OrderedKey(value_of(i), i + 1, k);
                        ASSERT_TRUE(tree.Insert(key.data(), i + 1));
                        model[key] = i + 1;
                    }
                    BufferTotals totals =
                        CheckCachedBuffers(*file, k, capacity != kPageCacheCapacity);
                    if (capacity == kPageCacheCapacity) {
                        // Every page is cached, half full or more: sized for a full page, the
                        // buffers would take up to twice the entries (a page that grows keeps
                        // the room it has, up to a full page's).
                        ASSERT_GT(totals.pages, 10u);
                        EXPECT_LE(totals.buffers, totals.entries + totals.entries / 3 +
                                                      2 * totals.pages * (k + 12));
                    }
                    // Two of three keys go, scattered: pages merge and share their entries.
                    for (std::uint32_t j = 0; j < kKeys; ++j) {
                        const std::uint32_t i = j * 1237 % kKeys;
                        if (i % 3 == 0)
                            continue;
                        const Key key = OrderedKey(value_of(i), i + 1, k);
                        ASSERT_TRUE(tree.Delete(key.data()));
                        model.erase(key);
                    }
                    // Pages that lost entries keep up to a full page's room.
                    CheckCachedBuffers(*file, k, true);
                    for (std::uint32_t i = 1; i < kKeys; i += 3) {
                        const Key key = OrderedKey(value_of(i), i + 1, k);
                        ASSERT_TRUE(tree.Insert(key.data(), i + 1));
                        model[key] = i + 1;
                    }
                    CheckCachedBuffers(*file, k, true);
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(tree, model));
                    file->FlushPages();
                    file->WriteHeader(true);
                    file->Close();
                    files.push_back(testing_support::ReadBytes(name));
                    file->Open();
                    TIndexTree reread(*file, 1, KeyCompare::Bytes(k));
                    ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(reread, model));
                }
                ASSERT_EQ(files.size(), 2u);
                EXPECT_TRUE(files[0] == files[1]);
            }
        }
    }).join();
}

// Page objects handed out again by the process's reserve keep the buffers their former
// pages grew; a page read into one holds what its own entries need, and the cache counts
// that, so a reopened file's cache holds as many pages as a fresh one.
TEST(PageBuffers, PagesFromTheReserveHoldWhatTheirNewPagesNeed) {
    std::thread([] {
        TempDir dir;
        const auto fill = [&](const std::string& name, std::size_t k, bool in_order) {
            auto file = NewIndexFile(name, false, kPageCacheCapacity);
            file->AddIndex(Descriptor("Reused", static_cast<std::uint16_t>(k), false, 0));
            std::map<Key, std::uint32_t> model;
            TIndexTree tree(*file, 1, KeyCompare::Bytes(k));
            for (std::uint32_t i = 0; i < 6000; ++i) {
                const Key key = OrderedKey(in_order ? i : i * 7919 % 10007, i + 1, k);
                EXPECT_TRUE(tree.Insert(key.data(), i + 1));
                model[key] = i + 1;
            }
            file->FlushPages();
            file->WriteHeader(true);
            file->Close();
            return model;
        };
        // Half-full leaves of wide keys (keys in order), to be read through the reserve.
        const std::string reused_name = dir.File("half.IDX");
        const auto model = fill(reused_name, 84, true);
        const auto read_all = [&](TIndexFile& file) {
            TIndexTree tree(file, 1, KeyCompare::Bytes(84));
            ExpectTreeHolds(tree, model);
            const BufferTotals totals = CheckCachedBuffers(file, 84, true);
            EXPECT_GT(totals.pages, 100u);
            return file.CachedPageBytes();
        };
        // A fresh process's reserve: nothing kept.
        ReleasePageReserve();
        auto fresh = std::make_unique<TIndexFile>();
        fresh->SetName(reused_name);
        fresh->Open();
        const std::size_t fresh_bytes = read_all(*fresh);
        fresh->Close();
        // The reserve then holds page objects whose buffers full pages of short keys grew.
        ReleasePageReserve();
        fill(dir.File("full.IDX"), 16, false);
        ASSERT_GT(ReservedPageCount(), 0u);
        auto reopened = std::make_unique<TIndexFile>();
        reopened->SetName(reused_name);
        reopened->Open();
        const std::size_t reused_bytes = read_all(*reopened);
        EXPECT_LE(reused_bytes, fresh_bytes + fresh_bytes / 8);
        reopened->Close();
        ReleasePageReserve();
    }).join();
}

// Through a cache far smaller than the index, page objects serve page after page. A page read
// keeps the buffer its object holds when that fits it and is not unusually large, and a buffer
// taken for a read holds a full page; the cache counts what the pages hold, and the tree reads
// back whole after scattered lookups, removals and inserts.
TEST(PageBuffers, PagesReadThroughASmallCacheKeepBuffersForAFullPage) {
    std::thread([] {
        ReleasePageReserve();
        for (const std::size_t k : {std::size_t{16}, std::size_t{84}}) {
            SCOPED_TRACE(testing::Message() << "key size " << k);
            TempDir dir;
            const std::string name = dir.File("r.IDX");
            std::map<Key, std::uint32_t> model;
            {
                auto file = NewIndexFile(name, false, kPageCacheCapacity);
                file->AddIndex(Descriptor("Read", static_cast<std::uint16_t>(k), false, 0));
                TIndexTree tree(*file, 1, KeyCompare::Bytes(k));
                // Keys in order leave half-full leaves, scattered ones leaves of any fill.
                for (std::uint32_t i = 0; i < 4000; ++i) {
                    const std::uint32_t value = i < 2000 ? i : i * 7919 % 10007 + 3000;
                    const Key key = OrderedKey(value, i + 1, k);
                    ASSERT_TRUE(tree.Insert(key.data(), i + 1));
                    model[key] = i + 1;
                }
                file->FlushPages();
                file->WriteHeader(true);
                file->Close();
            }
            auto file = std::make_unique<TIndexFile>();
            file->SetName(name);
            file->Open();
            file->SetPageCacheCapacity(4);
            TIndexTree tree(*file, 1, KeyCompare::Bytes(k));
            const auto check = [&] {
                std::size_t pages = 0;
                for (std::uint32_t offset = kIndexPageSize; offset < file->GetNextPageOffset();
                     offset += kIndexPageSize) {
                    const TPage* page = file->FindCachedPage(1, offset);
                    if (page == nullptr)
                        continue;
                    ++pages;
                    const std::size_t full =
                        static_cast<std::size_t>(page->Capacity() + 1) * (k + 12);
                    EXPECT_EQ(TPageTestAccess::Charge(*page), TPageTestAccess::Held(*page))
                        << offset;
                    EXPECT_GE(TPageTestAccess::BufferCapacity(*page),
                              static_cast<std::size_t>(page->EntryCount()) * (k + 12))
                        << offset;
                    EXPECT_LE(TPageTestAccess::BufferCapacity(*page),
                              2 * std::max(full, kIndexPageSize))
                        << offset;
                }
                EXPECT_GT(pages, 0u);
            };
            std::vector<Key> keys;
            for (const auto& entry : model)
                keys.push_back(entry.first);
            for (std::size_t j = 0; j < keys.size(); ++j) {
                const Key& key = keys[j * 1237 % keys.size()];
                const auto found = tree.Find(key.data());
                ASSERT_TRUE(found.has_value());
                EXPECT_EQ(*found, model[key]);
                if (j % 500 == 0)
                    check();
            }
            // A scattered tenth of the keys goes and comes back: pages read grow again
            // without being refitted.
            for (std::size_t j = 0; j < keys.size(); j += 10) {
                const Key& key = keys[j * 1237 % keys.size()];
                ASSERT_TRUE(tree.Delete(key.data()));
                ASSERT_TRUE(tree.Insert(key.data(), model[key]));
                if (j % 500 == 0)
                    check();
            }
            ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(tree, model));
            file->Close();
        }
        ReleasePageReserve();
    }).join();
}

// Compressed leaves split by keys that come in order (an auto-increment primary index) keep
// the half that stays behind as it is: it is counted for what it holds, not for the full leaf
// it was before the split, so a tree built in order costs the cache about what the same pages
// cost read back from the file. The tree stays whole through it.
TEST(PageBuffers, CompressedLeavesOfKeysInOrderAreCountedForWhatTheyHold) {
    constexpr std::size_t kKeySize = 40;
    constexpr std::uint32_t kKeys = 20000;
    // The memory the cache counts for the cached leaves of slot 1, and how many there are.
    const auto leaf_memory = [](TIndexFile& file) {
        std::pair<std::size_t, std::size_t> total{0, 0};
        for (std::uint32_t offset = kIndexPageSize; offset < file.GetNextPageOffset();
             offset += kIndexPageSize) {
            const TPage* page = file.FindCachedPage(1, offset);
            if (page == nullptr || !page->IsLeaf())
                continue;
            total.first += TPageTestAccess::Held(*page);
            ++total.second;
        }
        return total;
    };
    for (const std::uint8_t option : {1, 2, 3}) {
        for (const bool unique : {false, true}) {
            SCOPED_TRACE(testing::Message() << "option " << int{option} << " unique " << unique);
            TempDir dir;
            const std::string name = dir.File("o.IDX");
            std::map<Key, std::uint32_t> model;
            std::pair<std::size_t, std::size_t> built;
            // Each part in a fresh thread: page objects take spare areas kept per thread.
            std::thread([&] {
                ReleasePageReserve();
                auto file = NewIndexFile(name, false, kPageCacheCapacity);
                file->AddIndex(Descriptor("Ordered", kKeySize, unique, option));
                TIndexTree tree(*file, 1, KeyCompare::Bytes(kKeySize));
                for (std::uint32_t i = 0; i < kKeys; ++i) {
                    const Key key = OrderedKey(i, i + 1, kKeySize);
                    ASSERT_TRUE(tree.Insert(key.data(), i + 1));
                    model[key] = i + 1;
                }
                built = leaf_memory(*file);
                ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(tree, model));
                file->FlushPages();
                file->WriteHeader(true);
                file->Close();
                ReleasePageReserve();
            }).join();
            std::thread([&] {
                ReleasePageReserve();
                auto file = std::make_unique<TIndexFile>();
                file->SetName(name);
                file->Open();
                file->SetPageCacheCapacity(kPageCacheCapacity);
                TIndexTree tree(*file, 1, KeyCompare::Bytes(kKeySize));
                for (const auto& [key, record] : model) {
                    const auto found = tree.Find(key.data());
                    ASSERT_TRUE(found.has_value());
                    EXPECT_EQ(*found, record);
                }
                const auto read_back = leaf_memory(*file);
                EXPECT_EQ(read_back.second, built.second);
                EXPECT_GT(built.second, 20u);
                EXPECT_LE(built.first, read_back.first + read_back.first / 4);
                ASSERT_NO_FATAL_FAILURE(ExpectTreeHolds(tree, model));
                file->Close();
                ReleasePageReserve();
            }).join();
        }
    }
}

}  // namespace
}  // namespace strata
