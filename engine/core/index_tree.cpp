#include "engine/core/index_tree.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/storage/engine_error_codes.h"

namespace strata {

namespace {
// A slot whose edits went elsewhere than its trail twice in a row keeps and tries the trail only
// once in this many edits, so that edits scattered over the index pay next to nothing for it.
constexpr std::uint32_t kTrailProbe = 32;

std::atomic<std::uint64_t> key_searches{0};
std::atomic<std::uint64_t> ordinal_descents{0};

void CountKeySearch() noexcept {
    key_searches.fetch_add(1, std::memory_order_relaxed);
}

void CountOrdinalDescent() noexcept {
    ordinal_descents.fetch_add(1, std::memory_order_relaxed);
}

// A remembered path's pages pinned, each linked to its parent and counted as used in the order
// a descent would, and unpinned together when the path goes. Only the pages pinned are held:
// an edit of a shallow tree pays for its own depth only.
class PinnedPath {
  public:
    static constexpr std::size_t kMost = TIndexFile::RemovalTrail::kMaxDepth + 1;
    PinnedPath(TIndexFile& file, const std::array<TPage*, kMost>& pages, std::size_t depth)
        : file_(file) {
        assert(depth < kMost);
        std::uint32_t parent = 0;
        for (; count_ <= depth; ++count_) {
            TPage* page = file.CountHit(pages[count_]);
            page->SetParent(parent);
            parent = page->Offset();
            held_[count_] = page;
        }
    }
    PinnedPath(const PinnedPath&) = delete;
    PinnedPath& operator=(const PinnedPath&) = delete;
    ~PinnedPath() {
        for (std::size_t i = 0; i < count_; ++i)
            file_.ReleasePage(held_[i]);
    }
    // The pin of the last page (the leaf), handed to the caller.
    PinnedPage TakeLast() {
        assert(count_ > 0);
        --count_;
        return PinnedPage(file_, held_[count_]);
    }

  private:
    TIndexFile& file_;
    // Only the first count_ are ever read.
    std::array<TPage*, kMost> held_;
    std::size_t count_ = 0;
};

// The cached page a remembered path names at `offset`, or nullptr when the path no longer
// holds there: not the page the step before points to, not in memory, freed, or not of the
// kind (interior or leaf) the path has there.
TPage* CachedOnTrail(const TIndexFile& file, int slot, std::uint32_t offset, std::uint32_t expected,
                     bool interior) {
    if (offset != expected)
        return nullptr;
    TPage* page = file.CachedPeek(slot, offset);
    if (page == nullptr || page->Free() || page->IsInterior() != interior)
        return nullptr;
    return page;
}

// Asks the processor for what the check of a remembered path reads, every page at once: the
// pages' objects, then the interior entries it compares and the leaf's last entry, where keys
// in order go. Checked one step after the other, each step would wait for its own misses.
void PrefetchPath(const TIndexFile& file,
                  std::span<const std::pair<std::uint32_t, std::int64_t>> path,
                  std::uint32_t leaf) {
    std::array<const TPage*, TIndexFile::RemovalTrail::kMaxDepth + 1> ahead{};
    const std::size_t depth = std::min(path.size(), TIndexFile::RemovalTrail::kMaxDepth);
    for (std::size_t i = 0; i <= depth; ++i) {
        ahead[i] = file.PrefetchCachedPage(i < depth ? path[i].first : leaf);
        if (ahead[i] != nullptr)
            ahead[i]->PrefetchObject();
    }
    for (std::size_t i = 0; i < depth; ++i) {
        if (ahead[i] != nullptr)
            ahead[i]->PrefetchEntriesAt(path[i].second, 2);
    }
    if (ahead[depth] != nullptr)
        ahead[depth]->PrefetchEntriesAt(ahead[depth]->EntryCount(), 1);
}

// The order of two keys checked against a remembered path's bounds. Those mostly run alike
// for most of their length (a repeated value, then the record ID), where the library's
// compare, many bytes a step, takes a fraction of the steps of the search's compare in line.
int CompareNear(const KeyCompare& compare, const std::uint8_t* a, const std::uint8_t* b) {
    if (const std::size_t n = compare.PlainLength(); n != 0) {
        const int c = std::memcmp(a, b, n);
        return (c > 0) - (c < 0);
    }
    return compare(a, b);
}

struct PathStep {
    PinnedPage page;
    std::int64_t position = 0;
};

// The interior pages a descent passed, pinned. Every edit descends, so the
// depths of all but the tallest trees (a few hundred million keys of a
// hundred bytes) are held in place, without an allocation per edit.
class DescentPath {
  public:
    void push_back(PathStep step) {
        if (size_ < held_.size())
            held_[size_] = std::move(step);
        else
            deeper_.push_back(std::move(step));
        ++size_;
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    PathStep& operator[](std::size_t i) {
        return i < held_.size() ? held_[i] : deeper_[i - held_.size()];
    }
    PathStep& back() { return (*this)[size_ - 1]; }
    // Unpins every step.
    void clear() {
        for (std::size_t i = 0; i < std::min(size_, held_.size()); ++i)
            held_[i] = PathStep{};
        deeper_.clear();
        size_ = 0;
    }

  private:
    std::array<PathStep, 4> held_;
    std::vector<PathStep> deeper_;
    std::size_t size_ = 0;
};

// Every interior page on the way down counts one key more or less below the
// entry the descent took.
// A count that would leave its field (a damaged page said 0 below an entry that still
// leads to a key) is refused rather than wrapped.
void AdjustCounts(TIndexFile& file, DescentPath& path, int delta) {
    for (std::size_t i = 0; i < path.size(); ++i) {
        PathStep& step = path[i];
        assert(step.page->IsInterior());
        assert(step.position >= 1 && step.position <= step.page->EntryCount());
        if (!step.page->AddToCount(step.position, delta))
            RaiseEngineError(kErrIndexPageCorrupt, file.Name());
    }
}

// Pins the interior pages of a remembered descent again, linking each to its
// parent; `parent` ends as the offset of the leaf's parent.
void PinRememberedPath(TIndexFile& file, int slot, const TIndexFile::Descent& memo,
                       DescentPath& path, std::uint32_t& parent) {
    parent = 0;
    for (const auto& [offset, position] : memo.path) {
        PinnedPage page(file, file.GetPage(slot, offset));
        // Nothing changed since the descent was remembered, so it still passes through
        // interior pages at entries they have.
        assert(page->IsInterior() && position >= 1 && position <= page->EntryCount());
        page->SetParent(parent);
        parent = offset;
        path.push_back({std::move(page), position});
    }
}

// The path of a removal about to be made, for the next removal of the slot.
void KeepTrail(TIndexFile::RemovalTrail& trail, std::uint32_t root, DescentPath& path,
               std::uint32_t leaf) {
    if (path.size() > trail.path.size())
        return;
    trail.root = root;
    trail.depth = path.size();
    for (std::size_t i = 0; i < path.size(); ++i)
        trail.path[i] = {path[i].page->Offset(), path[i].position};
    trail.leaf = leaf;
}

// A leaf that only loses an entry is changed where it stands packed: unpacking it would push
// another page out of the unpacked tier to make room. Its parents, on the path, take its new
// first key where its first went.
bool RemoveFromPackedLeafOnPath(TIndexFile& file, int slot, const KeyCompare& compare,
                                DescentPath& path, std::uint32_t leaf, const std::uint8_t* key) {
    return file.RemoveFromPackedLeaf(slot, leaf, key, compare, [&](const std::uint8_t* first) {
        AdjustCounts(file, path, -1);
        if (first != nullptr) {
            TPage& parent = *path.back().page;
            parent.SetEditPosition(path.back().position);
            parent.SetKey(first);
        }
    });
}

// A lookup answered from a plain leaf standing packed left it there: the key it found goes
// where the leaf stands when nothing else changes with it, along the lookup's descent, which
// stays pinned in `path` for the caller either way. Pinning the parents may make room by
// taking the leaf out of the packed tier; the removal sees that and leaves the key to the
// caller. Apart from the unpacked way, as RemoveWherePacked.
[[gnu::noinline]] bool RemoveWherePackedAlong(TIndexFile& file, int slot, const KeyCompare& compare,
                                              const TIndexFile::Descent& memo, DescentPath& path,
                                              std::uint32_t& parent, const std::uint8_t* key) {
    PinRememberedPath(file, slot, memo, path, parent);
    assert(path.back().page->PointerAt(path.back().position) == memo.leaf);
    return RemoveFromPackedLeafOnPath(file, slot, compare, path, memo.leaf, key);
}

// RemoveFromPackedLeafOnPath, and a leaf that falls below half shares its entries with its
// neighbour where both stand packed, when they hold too many to merge. Apart from the
// descent, which most removals pass through without meeting a packed page.
[[gnu::noinline]] bool RemoveWherePacked(TIndexFile& file, int slot, const KeyCompare& compare,
                                         DescentPath& path, std::uint32_t leaf,
                                         const std::uint8_t* key) {
    if (RemoveFromPackedLeafOnPath(file, slot, compare, path, leaf, key))
        return true;
    return file.RedistributePackedLeaf(slot, *path.back().page, path.back().position, key, compare,
                                       [&] { AdjustCounts(file, path, -1); });
}
}  // namespace

void TIndexTree::PrefetchInsertion(TIndexFile& file, int slot) {
    const TIndexFile::RemovalTrail& trail = file.LastInsertion(slot);
    if (trail.leaf != 0 && trail.depth <= TIndexFile::RemovalTrail::kMaxDepth)
        PrefetchPath(file, std::span(trail.path).first(trail.depth), trail.leaf);
}

bool TIndexTree::Insert(const std::uint8_t* key, std::uint32_t record_number) {
    const std::uint32_t root = file_.GetRoot(slot_);
    if (root == 0) {
        PinnedPage page(file_, file_.NewPage(nullptr, slot_));
        page->SetKind(PageKind::kRootLeaf);
        page->SetEditPosition(0);
        file_.SetRoot(slot_, page->Offset());
        page->InsertEntry(key, record_number, 1);
        return true;
    }
    if (InsertAlongRememberedDescent(key, record_number))
        return true;
    // A search of this slot just before (a check that the key's value is not there yet) most
    // likely passed where the key goes.
    if (const std::optional<bool> inserted = InsertAlongLookup(key, record_number))
        return *inserted;
    TIndexFile::RemovalTrail& trail = file_.LastInsertion(slot_);
    const bool trying = trail.misses < 2 || ++trail.skipped % kTrailProbe == 0;
    if (trying && trail.leaf != 0) {
        if (const std::optional<bool> inserted = InsertAlongTrail(key, record_number)) {
            trail.misses = 0;
            return *inserted;
        }
        ++trail.misses;
    }
    const std::uint32_t left = std::exchange(trail.leaf, 0);
    const bool keep = trying || (trail.skipped + 1) % kTrailProbe == 0;
    DescentPath path;
    PinnedPage page(file_, file_.GetPage(slot_, root));
    page->SetParent(0);
    std::size_t depth = 0;
    while (page->IsInterior()) {
        if (page->EntryCount() == 0 || ++depth > 64) {
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
        }
        page->FindForInsert(key, compare_);
        const std::int64_t pos = page->EditPosition();
        PinnedPage child(file_, file_.GetPage(slot_, page->PointerAt(pos)));
        child->SetParent(page->Offset());
        path.push_back({std::move(page), pos});
        page = std::move(child);
    }
    if (page->FindForInsert(key, compare_))
        return false;
    if (keep) {
        file_.NotePassedLeaf(left, *page);
        KeepTrail(trail, root, path, page->Offset());
    }
    AdjustCounts(file_, path, 1);
    page->InsertEntry(key, record_number, 1);
    return true;
}

std::size_t TIndexTree::Append(std::span<const std::uint8_t> keys,
                               std::span<const std::uint32_t> record_numbers) {
    std::size_t done = 0;
    DescentPath path;
    PinnedPage leaf;
    while (done < record_numbers.size()) {
        if (!leaf) {
            const std::uint32_t root = file_.GetRoot(slot_);
            if (root == 0) {
                // Only an empty index has no root, so this is the first key.
                assert(done == 0);
                if (keys.empty() || !Insert(keys.data(), record_numbers[done]))
                    return done;
                ++done;
                continue;
            }
            // Down the last entry of every level: where Insert's search takes a key above all.
            path.clear();
            PinnedPage page(file_, file_.GetPage(slot_, root));
            page->SetParent(0);
            std::size_t depth = 0;
            while (page->IsInterior()) {
                if (page->EntryCount() == 0 || ++depth > 64)
                    RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
                const std::int64_t pos = page->EntryCount();
                page->SetEditPosition(pos);
                PinnedPage child(file_, file_.GetPage(slot_, page->PointerAt(pos)));
                child->SetParent(page->Offset());
                path.push_back({std::move(page), pos});
                page = std::move(child);
            }
            if (page->EntryCount() == 0 || page->Next() != 0)
                RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
            leaf = std::move(page);
        }
        const std::size_t key_size = leaf->KeySize();
        if (keys.size() < (done + 1) * key_size)
            break;
        const std::uint8_t* key = keys.data() + done * key_size;
        if (compare_(key, leaf->KeyAt(leaf->EntryCount())) <= 0)
            break;
        if (!leaf->Compressed()) {
            // The keys in ascending order that the leaf takes without a split, in one step.
            const std::size_t limit = std::min(record_numbers.size(), keys.size() / key_size);
            std::size_t run = done + 1;
            const auto room = static_cast<std::size_t>(
                std::max<std::int64_t>(leaf->Capacity() - leaf->EntryCount(), 0));
            while (run < limit && run - done < room &&
                   compare_(keys.data() + run * key_size, keys.data() + (run - 1) * key_size) > 0) {
                ++run;
            }
            const std::size_t added =
                leaf->AppendEntries(key, record_numbers.data() + done, run - done);
            if (added != 0) {
                AdjustCounts(file_, path, static_cast<int>(added));
                done += added;
                continue;
            }
        }
        AdjustCounts(file_, path, 1);
        leaf->SetEditPosition(leaf->EntryCount());
        leaf->InsertEntry(key, record_numbers[done], 1);
        ++done;
        // A split gave the leaf a right neighbour and changed the pages above: descend again.
        if (leaf->Next() != 0) {
            path.clear();
            leaf = PinnedPage();
        }
    }
    return done;
}

// A search that just failed for this key left its path; while no page and
// no root changed since, the key still belongs exactly there.
bool TIndexTree::InsertAlongRememberedDescent(const std::uint8_t* key,
                                              std::uint32_t record_number) {
    TIndexFile::Descent& memo = file_.RememberedDescent();
    if (!memo.missed || !RememberedDescentHolds() ||
        std::memcmp(memo.key.data(), key, memo.key.size()) != 0) {
        return false;
    }
    memo.slot = -1;
    std::uint32_t parent = 0;
    DescentPath path;
    PinRememberedPath(file_, slot_, memo, path, parent);
    PinnedPage leaf(file_, file_.GetPage(slot_, memo.leaf));
    // The failed search left the position of the first key above this one.
    assert(leaf->IsLeaf());
    assert(memo.leaf_position >= 1 && memo.leaf_position <= leaf->EntryCount() + 1);
    assert(path.empty() || path.back().page->PointerAt(path.back().position) == memo.leaf);
    leaf->SetParent(parent);
    AdjustCounts(file_, path, 1);
    leaf->SetEditPosition(memo.leaf_position - 1);
    leaf->InsertEntry(key, record_number, 1);
    return true;
}

std::optional<bool> TIndexTree::InsertAlongTrail(const std::uint8_t* key,
                                                 std::uint32_t record_number) {
    const TIndexFile::RemovalTrail& trail = file_.LastInsertion(slot_);
    if (trail.root != file_.GetRoot(slot_) || trail.depth > TIndexFile::RemovalTrail::kMaxDepth)
        return std::nullopt;
    return InsertAlongPath(std::span(trail.path).first(trail.depth), trail.leaf, key, record_number,
                           false);
}

std::optional<bool> TIndexTree::InsertAlongLookup(const std::uint8_t* key,
                                                  std::uint32_t record_number) {
    TIndexFile::Descent& memo = file_.RememberedDescent();
    if (memo.slot != slot_)
        return std::nullopt;
    // Tried once: the inserts after it go along their own trail.
    memo.slot = -1;
    if (memo.root != file_.GetRoot(slot_) || memo.leaf == 0 ||
        memo.path.size() > TIndexFile::RemovalTrail::kMaxDepth) {
        return std::nullopt;
    }
    return InsertAlongPath(memo.path, memo.leaf, key, record_number, true);
}

std::optional<bool> TIndexTree::InsertAlongPath(
    std::span<const std::pair<std::uint32_t, std::int64_t>> path, std::uint32_t leaf_offset,
    const std::uint8_t* key, std::uint32_t record_number, bool keep) {
    using Trail = TIndexFile::RemovalTrail;
    assert(path.size() <= Trail::kMaxDepth);
    PrefetchPath(file_, path, leaf_offset);
    // Checked on the cached pages as they stand, before anything is pinned or counted as used.
    // Each interior page takes the key at the last entry whose key is not above it (the first
    // entry when all are): where a descent's search goes, so the leaf is the descent's leaf.
    std::array<TPage*, Trail::kMaxDepth + 1> pages{};
    std::uint32_t expected = file_.GetRoot(slot_);
    const std::size_t depth = path.size();
    for (std::size_t i = 0; i < depth; ++i) {
        const auto [offset, position] = path[i];
        TPage* page = CachedOnTrail(file_, slot_, offset, expected, true);
        if (page == nullptr || position < 1 || position > page->EntryCount()) {
            return std::nullopt;
        }
        if ((position > 1 && CompareNear(compare_, page->KeyAt(position), key) > 0) ||
            (position < page->EntryCount() &&
             CompareNear(compare_, page->KeyAt(position + 1), key) <= 0)) {
            return std::nullopt;
        }
        expected = page->PointerAt(position);
        pages[i] = page;
    }
    TPage* leaf = CachedOnTrail(file_, slot_, leaf_offset, expected, false);
    if (leaf == nullptr)
        return std::nullopt;
    pages[depth] = leaf;
    const PinnedPath pinned(file_, pages, depth);
    for (std::size_t i = 0; i < depth; ++i)
        pages[i]->SetEditPosition(path[i].second);
    if (leaf->FindForInsert(key, compare_))
        return false;
    if (keep) {
        // As a descent keeps its path for the inserts after it.
        Trail& trail = file_.LastInsertion(slot_);
        if (trail.leaf != leaf_offset)
            file_.NotePassedLeaf(trail.leaf, *leaf);
        trail.root = file_.GetRoot(slot_);
        trail.depth = depth;
        std::copy(path.begin(), path.end(), trail.path.begin());
        trail.leaf = leaf_offset;
        trail.misses = 0;
    }
    for (std::size_t i = 0; i < depth; ++i) {
        if (!pages[i]->AddToCount(path[i].second, 1))
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
    }
    leaf->InsertEntry(key, record_number, 1);
    return true;
}

bool TIndexTree::RememberedDescentHolds() const {
    const TIndexFile::Descent& memo = file_.RememberedDescent();
    return memo.slot == slot_ && memo.edits == file_.EditCount(slot_) &&
           memo.root == file_.GetRoot(slot_) && !memo.key.empty();
}

void TIndexTree::Remember(const TPage& leaf, const std::uint8_t* key, bool missed) {
    Remember(leaf.Offset(), leaf.ReadPosition(), leaf.KeySize(), key, missed);
}

void TIndexTree::Remember(std::uint32_t leaf, std::int64_t position, std::size_t key_size,
                          const std::uint8_t* key, bool missed) {
    TIndexFile::Descent& memo = file_.RememberedDescent();
    memo.slot = slot_;
    memo.missed = missed;
    memo.root = file_.GetRoot(slot_);
    memo.edits = file_.EditCount(slot_);
    memo.key.assign(key, key + key_size);
    memo.leaf = leaf;
    memo.leaf_position = position;
}

// The key at the remembered position of the leaf, while nothing changed,
// is the one to delete, and the remembered path leads to it.
bool TIndexTree::DeleteAlongRememberedDescent(const std::uint8_t* key) {
    TIndexFile::Descent& memo = file_.RememberedDescent();
    if (!RememberedDescentHolds())
        return false;
    std::uint32_t parent = 0;
    DescentPath path;
    if (!memo.path.empty() && file_.StandsPackedOnly(memo.leaf) &&
        RemoveWherePackedAlong(file_, slot_, compare_, memo, path, parent, key)) {
        memo.slot = -1;
        return true;
    }
    PinnedPage leaf(file_, file_.GetPage(slot_, memo.leaf));
    const std::int64_t pos = memo.leaf_position;
    if (!leaf->IsLeaf() || pos < 1 || pos > leaf->EntryCount() ||
        std::memcmp(leaf->KeyAt(pos), key, leaf->KeySize()) != 0) {
        return false;
    }
    memo.slot = -1;
    if (path.empty())
        PinRememberedPath(file_, slot_, memo, path, parent);
    assert(path.empty() || path.back().page->PointerAt(path.back().position) == memo.leaf);
    leaf->SetParent(parent);
    AdjustCounts(file_, path, -1);
    leaf->SetEditPosition(pos);
    leaf->DeleteEntry();
    return true;
}

bool TIndexTree::Delete(const std::uint8_t* key) {
    // Removals take keys out wherever the leaves stand (packed or not): a run of inserts
    // starts anew after them.
    file_.ForgetInsertRuns(slot_);
    const std::uint32_t root = file_.GetRoot(slot_);
    if (root == 0)
        return false;
    // Most removals follow no search of their own slot.
    if (file_.RememberedDescent().slot == slot_ && DeleteAlongRememberedDescent(key))
        return true;
    // A slot whose keys went elsewhere twice in a row keeps and tries its trail only now and
    // then, so that removals scattered over the index pay next to nothing for it.
    TIndexFile::RemovalTrail& trail = file_.LastRemoval(slot_);
    const bool trying = trail.misses < 2 || ++trail.skipped % kTrailProbe == 0;
    if (trying && trail.leaf != 0) {
        if (DeleteAlongTrail(key)) {
            trail.misses = 0;
            return true;
        }
        ++trail.misses;
    }
    const std::uint32_t left = std::exchange(trail.leaf, 0);
    const bool keep = trying || (trail.skipped + 1) % kTrailProbe == 0;
    DescentPath path;
    PinnedPage page(file_, file_.GetPage(slot_, root));
    page->SetParent(0);
    std::size_t depth = 0;
    while (page->IsInterior()) {
        if (page->EntryCount() == 0 || ++depth > 64) {
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
        }
        page->SeekNearest(key, compare_);
        const std::int64_t pos = page->ReadPosition();
        const std::uint32_t child_offset = page->PointerAt(pos);
        path.push_back({std::move(page), pos});
        if (file_.StandsPacked(child_offset) &&
            RemoveWherePacked(file_, slot_, compare_, path, child_offset, key)) {
            return true;
        }
        PinnedPage child(file_, file_.GetPage(slot_, child_offset));
        child->SetParent(path.back().page->Offset());
        page = std::move(child);
    }
    if (!page->SeekExact(key, compare_))
        return false;
    if (keep) {
        file_.NotePassedLeaf(left, *page);
        KeepTrail(trail, root, path, page->Offset());
    }
    AdjustCounts(file_, path, -1);
    page->SyncEditPosition();
    page->DeleteEntry();
    return true;
}

bool TIndexTree::DeleteAlongTrail(const std::uint8_t* key) {
    using Trail = TIndexFile::RemovalTrail;
    const Trail& trail = file_.LastRemoval(slot_);
    if (trail.root != file_.GetRoot(slot_) || trail.depth > Trail::kMaxDepth)
        return false;
    // Checked on the cached pages as they stand, before anything is pinned or counted as
    // used, so a trail that no longer holds leaves the cache as the descent that follows
    // finds it. A chain of pointers from the root to a leaf that holds the key is the one
    // path to it.
    std::array<TPage*, Trail::kMaxDepth + 1> pages{};
    std::uint32_t expected = trail.root;
    for (std::size_t i = 0; i < trail.depth; ++i) {
        const auto [offset, position] = trail.path[i];
        TPage* page = CachedOnTrail(file_, slot_, offset, expected, true);
        if (page == nullptr || position < 1 || position > page->EntryCount()) {
            return false;
        }
        expected = page->PointerAt(position);
        // A page of the path standing packed takes the descent's own way.
        if (file_.StandsPacked(expected))
            return false;
        pages[i] = page;
    }
    TPage* leaf = CachedOnTrail(file_, slot_, trail.leaf, expected, false);
    if (leaf == nullptr)
        return false;
    // A leaf that does not hold the key keeps the position its own searches start from.
    const std::int64_t hint = leaf->ReadPosition();
    if (!leaf->SeekExact(key, compare_)) {
        leaf->SetReadPosition(hint);
        return false;
    }
    pages[trail.depth] = leaf;
    const PinnedPath pinned(file_, pages, trail.depth);
    for (std::size_t i = 0; i < trail.depth; ++i) {
        const std::int64_t position = trail.path[i].second;
        // Where the descent's search would have left it.
        pages[i]->SetReadPosition(position);
        if (!pages[i]->AddToCount(position, -1))
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
    }
    leaf->SyncEditPosition();
    leaf->DeleteEntry();
    return true;
}

template <typename Stop>
PinnedPage TIndexTree::DescendRemembering(const std::uint8_t* key, Stop stop) {
    const std::uint32_t root = file_.GetRoot(slot_);
    if (root == 0)
        return {};
    CountKeySearch();
    TIndexFile::Descent& memo = file_.RememberedDescent();
    memo.slot = -1;
    memo.path.clear();
    PinnedPage page(file_, file_.GetPage(slot_, root));
    std::size_t depth = 0;
    while (page->IsInterior()) {
        if (page->EntryCount() == 0 || ++depth > 64) {
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
        }
        page->SeekNearest(key, compare_);
        memo.path.emplace_back(page->Offset(), page->ReadPosition());
        const std::uint32_t child = page->PointerAt(page->ReadPosition());
        if (stop(*page, child))
            return {};
        page = PinnedPage(file_, file_.GetPage(slot_, child));
    }
    return page;
}

std::optional<std::uint32_t> TIndexTree::Find(const std::uint8_t* key) {
    PinnedPage page = DescendRemembering(key, [](const TPage&, std::uint32_t) { return false; });
    if (!page)
        return std::nullopt;
    if (page->SeekExact(key, compare_))
        return page->PointerAt(page->ReadPosition());
    Remember(*page, key, true);
    return std::nullopt;
}

std::uint64_t TIndexTree::Ordinal(const std::uint8_t* key) {
    const std::uint32_t root = file_.GetRoot(slot_);
    if (root == 0)
        return 0;
    CountKeySearch();
    PinnedPage page(file_, file_.GetPage(slot_, root));
    std::uint64_t running = 0;
    std::size_t depth = 0;
    while (page->IsInterior()) {
        if (page->EntryCount() == 0 || ++depth > 64) {
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
        }
        page->FindNearest(key, compare_, running);
        page = PinnedPage(file_, file_.GetPage(slot_, page->PointerAt(page->ReadPosition())));
    }
    page->FindNearest(key, compare_, running);
    return running;
}

TIndexTree::Position TIndexTree::LowerBound(const std::uint8_t* key, bool with_ordinal) {
    Position at;
    const std::uint32_t root = file_.GetRoot(slot_);
    if (root == 0)
        return at;
    CountKeySearch();
    TIndexFile::Descent& memo = file_.RememberedDescent();
    memo.slot = -1;
    memo.path.clear();
    PinnedPage page(file_, file_.GetPage(slot_, root));
    std::uint64_t running = 0;
    std::size_t depth = 0;
    while (page->IsInterior()) {
        if (page->EntryCount() == 0 || ++depth > 64) {
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
        }
        if (with_ordinal)
            page->FindNearest(key, compare_, running);
        else
            page->SeekNearest(key, compare_);
        memo.path.emplace_back(page->Offset(), page->ReadPosition());
        page = PinnedPage(file_, file_.GetPage(slot_, page->PointerAt(page->ReadPosition())));
    }
    if (with_ordinal)
        page->FindNearest(key, compare_, running);
    else
        page->SeekNearest(key, compare_);
    Remember(*page, key, false);
    at.position = page->ReadPosition();
    at.ordinal = running;
    at.page = std::move(page);
    return at;
}

PinnedPage TIndexTree::DescendAlongTrail(const std::uint8_t* key) {
    using Trail = TIndexFile::RemovalTrail;
    const Trail& trail = file_.LastInsertion(slot_);
    if (trail.leaf == 0 || trail.root != file_.GetRoot(slot_) || trail.depth > Trail::kMaxDepth)
        return {};
    PrefetchPath(file_, std::span(trail.path).first(trail.depth), trail.leaf);
    // Checked as an insert along the trail checks it: each interior page takes the key where
    // the descent's search would.
    std::array<TPage*, Trail::kMaxDepth + 1> pages{};
    std::uint32_t expected = trail.root;
    for (std::size_t i = 0; i < trail.depth; ++i) {
        const auto [offset, position] = trail.path[i];
        TPage* page = CachedOnTrail(file_, slot_, offset, expected, true);
        if (page == nullptr || position < 1 || position > page->EntryCount() ||
            (position > 1 && CompareNear(compare_, page->KeyAt(position), key) > 0) ||
            (position < page->EntryCount() &&
             CompareNear(compare_, page->KeyAt(position + 1), key) <= 0)) {
            return {};
        }
        expected = page->PointerAt(position);
        pages[i] = page;
    }
    // A leaf in the unpacked tier is searched there by the descent too.
    TPage* leaf = CachedOnTrail(file_, slot_, trail.leaf, expected, false);
    if (leaf == nullptr)
        return {};
    pages[trail.depth] = leaf;
    CountKeySearch();
    TIndexFile::Descent& memo = file_.RememberedDescent();
    memo.slot = -1;
    memo.path.assign(trail.path.begin(),
                     trail.path.begin() + static_cast<std::ptrdiff_t>(trail.depth));
    PinnedPath pinned(file_, pages, trail.depth);
    // Where the descent's searches would have left them.
    for (std::size_t i = 0; i < trail.depth; ++i)
        pages[i]->SetReadPosition(trail.path[i].second);
    return pinned.TakeLast();
}

bool TIndexTree::LookUp(const std::uint8_t* key, Entry& entry, Position& at) {
    at = Position{};
    // Searches for keys beside the slot's last insert (a check for a duplicate before the
    // next insert of keys in order) go along its trail.
    // The leaf reached, searched and remembered.
    const auto searched = [&](PinnedPage page) {
        page->SeekNearest(key, compare_);
        file_.NoteLookupLeaf(page->Offset());
        Remember(*page, key, false);
        at.position = page->ReadPosition();
        at.page = std::move(page);
        return false;
    };
    if (PinnedPage page = DescendAlongTrail(key))
        return searched(std::move(page));
    // A leaf standing only in the packed tier is searched there, without unpacking it.
    bool found_packed = false;
    PinnedPage page = DescendRemembering(key, [&](const TPage& parent, std::uint32_t child) {
        entry.key.resize(parent.KeySize());
        std::int64_t position = 0;
        if (file_.SeekPackedLeaf(slot_, child, key, compare_, position, entry.record,
                                 entry.key.data()) != TIndexFile::PackedSeek::kFound) {
            return false;
        }
        file_.NoteLookupLeaf(child);
        Remember(child, position, parent.KeySize(), key, false);
        found_packed = true;
        return true;
    });
    if (!page)
        return found_packed;
    return searched(std::move(page));
}

std::int64_t TIndexTree::ChildAtOrdinal(TIndexFile& file, const TPage& page, std::size_t depth,
                                        std::uint64_t& remaining) {
    if (depth > 64 || page.EntryCount() == 0)
        RaiseEngineError(kErrIndexPageCorrupt, file.Name());
    for (std::int64_t pos = 1; pos <= page.EntryCount(); ++pos) {
        const std::uint32_t under = page.CountAt(pos);
        if (remaining < under)
            return pos;
        remaining -= under;
    }
    return 0;
}

TIndexTree::Position TIndexTree::AtOrdinal(std::uint64_t ordinal) {
    Position at;
    const std::uint32_t root = file_.GetRoot(slot_);
    if (root == 0)
        return at;
    CountOrdinalDescent();
    PinnedPage page(file_, file_.GetPage(slot_, root));
    std::uint64_t remaining = ordinal;
    for (std::size_t depth = 0; page->IsInterior(); ++depth) {
        const std::int64_t pos = ChildAtOrdinal(file_, *page, depth, remaining);
        if (pos == 0)
            return at;
        page = PinnedPage(file_, file_.GetPage(slot_, page->PointerAt(pos)));
    }
    if (remaining >= static_cast<std::uint64_t>(page->EntryCount()))
        return at;
    at.position = static_cast<std::int64_t>(remaining) + 1;
    at.ordinal = ordinal;
    at.page = std::move(page);
    return at;
}

std::uint64_t TIndexTree::KeysNotAbove(const std::uint8_t* key) {
    const std::uint32_t root = file_.GetRoot(slot_);
    if (root == 0)
        return 0;
    CountKeySearch();
    PinnedPage page(file_, file_.GetPage(slot_, root));
    std::uint64_t running = 0;
    std::size_t depth = 0;
    while (page->IsInterior()) {
        if (page->EntryCount() == 0 || ++depth > 64) {
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
        }
        page->FindNearest(key, compare_, running);
        page = PinnedPage(file_, file_.GetPage(slot_, page->PointerAt(page->ReadPosition())));
    }
    page->FindForInsert(key, compare_);
    return running + static_cast<std::uint64_t>(page->EditPosition());
}

std::uint64_t TIndexTree::CountRange(const std::uint8_t* low, const std::uint8_t* high) {
    if (compare_(low, high) > 0)
        return 0;
    return KeysNotAbove(high) - Ordinal(low);
}

std::uint64_t TIndexTree::KeyCount() {
    const std::uint32_t root = file_.GetRoot(slot_);
    if (root == 0)
        return 0;
    PinnedPage page(file_, file_.GetPage(slot_, root));
    return page->KeyCount();
}

std::optional<std::uint32_t> TIndexTree::RecordAt(std::uint64_t ordinal) {
    const std::uint32_t root = file_.GetRoot(slot_);
    if (root == 0)
        return std::nullopt;
    CountOrdinalDescent();
    PinnedPage page(file_, file_.GetPage(slot_, root));
    std::size_t depth = 0;
    while (page->IsInterior()) {
        if (++depth > 64)
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
        std::int64_t pos = 1;
        for (; pos <= page->EntryCount(); ++pos) {
            const std::uint32_t under = page->CountAt(pos);
            if (ordinal < under)
                break;
            ordinal -= under;
        }
        if (pos > page->EntryCount())
            return std::nullopt;
        page = PinnedPage(file_, file_.GetPage(slot_, page->PointerAt(pos)));
    }
    if (ordinal >= static_cast<std::uint64_t>(page->EntryCount()))
        return std::nullopt;
    return page->PointerAt(static_cast<std::int64_t>(ordinal) + 1);
}

std::uint64_t TIndexTree::KeySearches() noexcept {
    return key_searches.load(std::memory_order_relaxed);
}

std::uint64_t TIndexTree::OrdinalDescents() noexcept {
    return ordinal_descents.load(std::memory_order_relaxed);
}

void TIndexTree::ForEach(const std::function<void(std::span<const std::uint8_t> key,
                                                  std::uint32_t record_number)>& visit) {
    std::uint32_t offset = file_.GetRoot(slot_);
    if (offset == 0)
        return;
    PinnedPage page(file_, file_.GetPage(slot_, offset));
    std::size_t depth = 0;
    while (page->IsInterior()) {
        if (page->EntryCount() == 0 || ++depth > 64) {
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
        }
        page = PinnedPage(file_, file_.GetPage(slot_, page->PointerAt(1)));
    }
    const std::uint64_t limit = file_.GetNextPageOffset() / kIndexPageSize;
    std::uint64_t visited = 0;
    while (true) {
        for (std::int64_t i = 1; i <= page->EntryCount(); ++i) {
            visit(std::span(page->KeyAt(i), page->KeySize()), page->PointerAt(i));
        }
        const std::uint32_t next = page->Next();
        if (next == 0)
            break;
        if (++visited > limit)
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
        page = PinnedPage(file_, file_.GetPage(slot_, next));
    }
}

void TIndexTree::Clear() {
    file_.ForgetInsertRuns(slot_);
    const std::uint32_t root = file_.GetRoot(slot_);
    if (root == 0)
        return;
    std::vector<std::uint32_t> pending{root};
    std::uint64_t visited = 0;
    const std::uint64_t limit = file_.GetNextPageOffset() / kIndexPageSize;
    while (!pending.empty()) {
        const std::uint32_t offset = pending.back();
        pending.pop_back();
        if (++visited > limit)
            RaiseEngineError(kErrIndexPageCorrupt, file_.Name());
        PinnedPage page(file_, file_.GetPage(slot_, offset));
        if (page->IsInterior()) {
            for (std::int64_t i = 1; i <= page->EntryCount(); ++i) {
                pending.push_back(page->PointerAt(i));
            }
        }
        file_.FreePage(*page);
    }
    file_.SetRoot(slot_, 0);
}

}  // namespace strata
