#pragma once

// TIndexTree: the descent through one index's B+-tree on behalf of a caller
// (the cursor, the sort's rebuild of the hidden index, maintenance): it sets
// the in-memory parent links on the way down, keeps the key counts of the
// interior entries on the path in step with every insert and delete, and
// then lets the leaf page do the edit.

#include <algorithm>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "engine/core/index_file.h"
#include "engine/storage/engine_error_codes.h"

namespace strata {

class TIndexTree {
  public:
    TIndexTree(TIndexFile& file, int slot, KeyCompare compare)
        : file_(file), slot_(slot), compare_(std::move(compare)) {}

    // False, with nothing changed, when an equal key exists.
    bool Insert(const std::uint8_t* key, std::uint32_t record_number);
    // Inserts keys that each lie above every key before them at the end of the last leaf, as
    // Insert would place them (the same pages, splits and counts), without a search per key:
    // `keys` holds them one after another, each the page's key size. Stops at the first key
    // not above the last one and answers how many it inserted; the caller inserts the rest.
    std::size_t Append(std::span<const std::uint8_t> keys,
                       std::span<const std::uint32_t> record_numbers);
    // Asks the processor for the pages of the slot's last insert, which the slot's next
    // insert most likely passes, ahead of that insert.
    static void PrefetchInsertion(TIndexFile& file, int slot);
    // False when the key is not in the index.
    bool Delete(const std::uint8_t* key);
    std::optional<std::uint32_t> Find(const std::uint8_t* key);
    // Keys below `key` (the 0-based ordinal of the first key not below it).
    std::uint64_t Ordinal(const std::uint8_t* key);
    // Keys not above `key`.
    std::uint64_t KeysNotAbove(const std::uint8_t* key);

    // A leaf entry reached by one descent: the pinned leaf, the 1-based
    // position in it and the entry's 0-based ordinal in the index.
    struct Position {
        PinnedPage page;
        std::int64_t position = 0;
        std::uint64_t ordinal = 0;
    };
    // The first key not below `key`; its position is one past the leaf's
    // last entry when the key lies above all of that leaf's keys. No page
    // for an empty index. Without with_ordinal the ordinal is left 0.
    Position LowerBound(const std::uint8_t* key, bool with_ordinal = true);
    // A leaf entry for a lookup that wants nothing else: its full key and
    // record number.
    struct Entry {
        std::vector<std::uint8_t> key;
        std::uint32_t record = 0;
    };
    // LowerBound without the ordinal, for a lookup that reads the entry it
    // finds and nothing else: when the leaf stands in the packed tier only,
    // the entry comes from its packed image into `entry` (true) and no page
    // is unpacked into the cache for it; otherwise, and when the key lies
    // above every key of that leaf, as LowerBound into `at` (false).
    bool LookUp(const std::uint8_t* key, Entry& entry, Position& at);
    // The entry at a 0-based ordinal; no page when the index is shorter.
    Position AtOrdinal(std::uint64_t ordinal);
    // Visits entries from a position along the leaf links until the visitor
    // answers true (then true) or the entries end (false). The visitor gets
    // the ordinal, the leaf page and the position in it.
    template <class Visit>
    static bool WalkLeaves(TIndexFile& file, int slot, Position start, bool forward, Visit&& visit);
    // Visits the record number of every entry from ordinal `first` up to (not
    // including) ordinal `end`: the first leaf's in key order, the others
    // leaf by leaf in the order the leaves stand in the file. The leaves
    // after the first are read through TIndexFile::ReadLeavesRecords: none is
    // unpacked or cached for the walk.
    template <class Visit>
    static void WalkRecords(TIndexFile& file, int slot, std::uint64_t first, std::uint64_t end,
                            Visit&& visit);
    // Keys from `low` to `high`, both included.
    std::uint64_t CountRange(const std::uint8_t* low, const std::uint8_t* high);
    std::uint64_t KeyCount();
    // The key at a 0-based ordinal position, found through the interior counts.
    std::optional<std::uint32_t> RecordAt(std::uint64_t ordinal);
    // Every entry in key order, along the leaf links.
    void ForEach(const std::function<void(std::span<const std::uint8_t> key,
                                          std::uint32_t record_number)>& visit);
    // Frees every page of the index; the root becomes 0.
    void Clear();

    // Descents from a root taken by reads since the process started, over every index: by
    // key (Find, LookUp, Ordinal, LowerBound, KeysNotAbove) and by ordinal (AtOrdinal,
    // RecordAt). What a read costs in searches is the difference over it.
    static std::uint64_t KeySearches() noexcept;
    static std::uint64_t OrdinalDescents() noexcept;

  private:
    // The entry of an interior page `depth` levels down whose subtree holds the key
    // `remaining` keys on from the page's first, with `remaining` made relative to that
    // subtree; 0 when the page's counts end first. A page that cannot be on a sound path
    // raises 8965.
    static std::int64_t ChildAtOrdinal(TIndexFile& file, const TPage& page, std::size_t depth,
                                       std::uint64_t& remaining);
    bool InsertAlongRememberedDescent(const std::uint8_t* key, std::uint32_t record_number);
    // Insert along the slot's last insertion trail, when the cached pages show that every
    // interior page of it still takes the key at the entry the trail took: the pages, counts
    // and edits a descent makes, without its searches of the interior pages, and its answer.
    // Nothing, with nothing changed, otherwise.
    std::optional<bool> InsertAlongTrail(const std::uint8_t* key, std::uint32_t record_number);
    // The same along the slot's last remembered search (any search, found or not), which
    // becomes the slot's insertion trail when the key goes in along it.
    std::optional<bool> InsertAlongLookup(const std::uint8_t* key, std::uint32_t record_number);
    // Both: the interior pages (offset, entry position) from the root down, and the leaf;
    // with `keep` the path becomes the slot's insertion trail, as a descent's does.
    std::optional<bool> InsertAlongPath(
        std::span<const std::pair<std::uint32_t, std::int64_t>> path, std::uint32_t leaf,
        const std::uint8_t* key, std::uint32_t record_number, bool keep);
    // LookUp's descent along the slot's insertion trail, when the cached pages show it leads
    // where the descent's searches would: the leaf, pinned, the same pins, positions and
    // remembered path, without the searches of the interior pages. Null, with nothing
    // changed, otherwise.
    PinnedPage DescendAlongTrail(const std::uint8_t* key);
    bool DeleteAlongRememberedDescent(const std::uint8_t* key);
    // Delete along the slot's last removal trail, when the cached pages show it still leads
    // from the root to a leaf holding the key: the pages, counts and edits a descent makes,
    // without its searches of the interior pages. False, with nothing changed, otherwise.
    bool DeleteAlongTrail(const std::uint8_t* key);
    bool RememberedDescentHolds() const;
    // Descends to the leaf for `key`, remembering the path for an edit that follows; null for
    // an empty tree, or when `stop(parent, child)` ends the descent by answering true.
    template <typename Stop>
    PinnedPage DescendRemembering(const std::uint8_t* key, Stop stop);
    void Remember(const TPage& leaf, const std::uint8_t* key, bool missed);
    void Remember(std::uint32_t leaf, std::int64_t position, std::size_t key_size,
                  const std::uint8_t* key, bool missed);

    TIndexFile& file_;
    int slot_;
    KeyCompare compare_;
};

template <class Visit>
bool TIndexTree::WalkLeaves(TIndexFile& file, int slot, Position start, bool forward,
                            Visit&& visit) {
    if (!start.page)
        return false;
    PinnedPage page = std::move(start.page);
    std::int64_t pos = start.position;
    std::uint64_t at = start.ordinal;
    const std::uint64_t page_limit = file.GetNextPageOffset() / kIndexPageSize + 1;
    std::uint64_t pages = 0;
    while (true) {
        const std::int64_t count = page->EntryCount();
        // Once a walk crosses leaves it is a scan: the following leaf is
        // requested from memory while this one is visited.
        const TPage* following = nullptr;
        if (pages > 0)
            following = file.PrefetchCachedPage(forward ? page->Next() : page->Previous());
        const std::int64_t halfway = forward ? (pos + count) / 2 : pos / 2;
        while (pos >= 1 && pos <= count) {
            if (following != nullptr && pos == halfway)
                following->PrefetchEntries();
            if (visit(at, *page, pos))
                return true;
            if (forward) {
                ++pos;
                ++at;
            } else {
                if (at == 0)
                    return false;
                --pos;
                --at;
            }
        }
        const std::uint32_t next = forward ? page->Next() : page->Previous();
        if (next == 0)
            return false;
        if (++pages > page_limit)
            RaiseEngineError(kErrIndexPageCorrupt, file.Name());
        page = PinnedPage(file, file.GetScanPage(slot, next));
        pos = forward ? 1 : page->EntryCount();
    }
}

template <class Visit>
void TIndexTree::WalkRecords(TIndexFile& file, int slot, std::uint64_t first, std::uint64_t end,
                             Visit&& visit) {
    const std::uint32_t root = file.GetRoot(slot);
    if (first >= end || root == 0)
        return;
    // Down to the entry at `first`, keeping the leaf's parent and its position there.
    PinnedPage page(file, file.GetPage(slot, root));
    PinnedPage parent;
    std::int64_t parent_pos = 0;
    std::uint64_t remaining = first;
    for (std::size_t depth = 0; page->IsInterior(); ++depth) {
        const std::int64_t pos = ChildAtOrdinal(file, *page, depth, remaining);
        if (pos == 0)
            return;
        PinnedPage child(file, file.GetPage(slot, page->PointerAt(pos)));
        parent = std::move(page);
        parent_pos = pos;
        page = std::move(child);
    }
    std::uint64_t at = first;
    for (auto pos = static_cast<std::int64_t>(remaining) + 1; pos <= page->EntryCount() && at < end;
         ++pos, ++at) {
        visit(page->PointerAt(pos));
    }
    page.Release();
    if (!parent)
        return;
    // The following leaves come from their parents, one level up along its links: each
    // leaf's place and count are known before it is read, so the leaves of the whole range
    // are listed first and then read in the order they stand in the file.
    constexpr std::size_t kLeavesPerBatch = std::size_t{1} << 16;
    const std::uint64_t page_limit = file.GetNextPageOffset() / kIndexPageSize + 1;
    std::uint64_t pages = 0;
    std::vector<TIndexFile::ScanLeaf> leaves;
    const TIndexFile::LeafRecordsVisit visit_leaf = [&](std::span<const std::uint32_t> records) {
        for (const std::uint32_t record : records)
            visit(record);
    };
    while (true) {
        for (std::int64_t pos = parent_pos + 1; pos <= parent->EntryCount() && at < end; ++pos) {
            if (++pages > page_limit)
                RaiseEngineError(kErrIndexPageCorrupt, file.Name());
            const std::uint32_t count = parent->CountAt(pos);
            const auto take = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, end - at));
            leaves.push_back({parent->PointerAt(pos), count, take});
            at += take;
        }
        const std::uint32_t next_parent = parent->Next();
        parent.Release();
        const bool last = at >= end || next_parent == 0;
        if (last || leaves.size() >= kLeavesPerBatch) {
            file.ReadLeavesRecords(slot, leaves, visit_leaf);
            leaves.clear();
        }
        if (last)
            return;
        // Parents count too, so a damaged chain of empty ones cannot go round for ever.
        if (++pages > page_limit)
            RaiseEngineError(kErrIndexPageCorrupt, file.Name());
        parent = PinnedPage(file, file.GetPage(slot, next_parent));
        parent_pos = 0;
        if (!parent->IsInterior())
            RaiseEngineError(kErrIndexPageCorrupt, file.Name());
    }
}

}  // namespace strata
