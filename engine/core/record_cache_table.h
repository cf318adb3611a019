#pragma once

// TRecordCacheTable: the record cache's index, an open-addressing hash table
// from record number to cached record that owns its records. Linear probing
// at most half full, deletion by backward shift (no tombstones), so a lookup
// or a removal costs a short probe whatever the cache's size; callers that
// need number order sort what they collect.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/core/record_pool.h"

namespace strata {

class TRecordCacheTable {
  public:
    // The cached record numbered n, or null.
    TRecord* Find(std::uint32_t n) const;
    // Requires: no record with the same number is held; numbers start at 1.
    TRecord* Insert(std::unique_ptr<TRecord> record);
    // The record numbered n, given back to the caller; null when none.
    std::unique_ptr<TRecord> Remove(std::uint32_t n);
    // Hands every record to `take` and empties the table.
    template <typename Take>
    void RemoveAll(Take&& take) {
        for (Slot& slot : slots_) {
            if (slot.record) {
                slot.number = 0;
                take(std::move(slot.record));
            }
        }
        size_ = 0;
    }
    template <typename Visit>
    void ForEach(Visit&& visit) const {
        for (const Slot& slot : slots_) {
            if (slot.record)
                visit(*slot.record);
        }
    }
    // Visits every record with its number, which the table keeps beside it, so that callers
    // picking records by number need not read the record to learn it.
    template <typename Visit>
    void ForEachNumbered(Visit&& visit) const {
        for (const Slot& slot : slots_) {
            if (slot.record)
                visit(slot.number, *slot.record);
        }
    }
    // Starts fetching the home slot of n, for a lookup or removal a little later.
    void PrefetchSlot(std::uint32_t n) const noexcept {
        if (!slots_.empty())
            __builtin_prefetch(&slots_[HomeSlot(n)]);
    }
    std::size_t Size() const noexcept { return size_; }
    // Makes room for `records` without growing again; smaller tables shrink
    // to what the records held need.
    void Reserve(std::size_t records);
    void ShrinkTo(std::size_t records);
    // Frees the table's memory. Requires: the table is empty.
    void Release();
    std::size_t SlotCount() const noexcept { return slots_.size(); }

    // Debug builds: every record is reachable from its home slot without an
    // empty slot on the way, the count is right and the load at most half.
    void CheckInvariants() const;

  private:
    struct Slot {
        std::uint32_t number = 0;  // 0: empty
        std::unique_ptr<TRecord> record;
    };

    std::size_t HomeSlot(std::uint32_t n) const noexcept;
    void Rehash(std::size_t records);

    std::vector<Slot> slots_;
    unsigned shift_ = 32;
    std::size_t size_ = 0;
};

}  // namespace strata
