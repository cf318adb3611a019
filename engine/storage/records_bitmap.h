#pragma once

// TRecordsBitmap: a set of 1-based record numbers of one table, one bit per
// record, and the process-wide pool that recycles bitmaps.
//
// Record r is bit (r - 1) mod 32 (from the least significant bit) of 32-bit
// word (r - 1) div 32. The buffer grows in 1024-byte blocks and never
// shrinks while the bitmap lives. Bits past the record count in the last
// word may be set (SetAll, Invert); every count and search stops at the
// record count, and bit access outside 1..count is ignored.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/storage/engine_heap.h"

namespace strata {

inline constexpr std::int64_t kBitmapBlockSize = 1024;

class TRecordsBitmap {
  public:
    TRecordsBitmap() = default;
    TRecordsBitmap(const TRecordsBitmap&) = delete;
    TRecordsBitmap& operator=(const TRecordsBitmap&) = delete;

    // Grows the buffer to hold `bytes` in whole blocks; 0 frees it.
    void SetBufferSize(std::int64_t bytes);
    // Sizes the bitmap for n records; the bits are left as they are.
    void SetRecordCount(std::int64_t n);

    bool IsSet(std::int64_t r) const;
    void SetBit(std::int64_t r);
    void ClearBit(std::int64_t r);

    std::int64_t CountSet() const;
    // Set records among 1 .. r - 1.
    std::int64_t CountSetBefore(std::int64_t r) const;
    // Walk from r - 1 down (FindPrior) or r + 1 up (FindNext) to the n-th set
    // record: r becomes each set record met and position moves by one per
    // record met. True when n were found; otherwise r is the last set record
    // met (unchanged when none).
    bool FindPrior(std::int64_t& r, std::int64_t n, std::int64_t& position) const;
    bool FindNext(std::int64_t& r, std::int64_t n, std::int64_t& position) const;
    // Appends the set records from `first` up to (not including) `end`, in order: a word at a
    // time, where FindNext goes a record at a time. Stops before a set record lying more than
    // `max_gap` past the one appended before it by this call.
    void CollectSet(std::int64_t first, std::int64_t end, std::vector<std::uint32_t>& out,
                    std::int64_t max_gap = std::numeric_limits<std::int64_t>::max()) const;

    // Word by word over this bitmap's words; words the other bitmap lacks
    // count as 0.
    void AndWith(const TRecordsBitmap& other);
    void OrWith(const TRecordsBitmap& other);
    void Invert();
    void ClearAll();
    void SetAll();
    void Assign(const TRecordsBitmap& other);

    std::int64_t RecordCount() const noexcept { return record_count_; }
    std::int64_t RoundedCount() const noexcept { return rounded_count_; }
    std::int64_t WordCount() const noexcept { return word_count_; }
    std::size_t Capacity() const noexcept { return bits_.capacity(); }

  private:
    std::uint32_t* Words() noexcept { return reinterpret_cast<std::uint32_t*>(bits_.data()); }
    const std::uint32_t* Words() const noexcept {
        return reinterpret_cast<const std::uint32_t*>(bits_.data());
    }
    std::int64_t BufferWords() const noexcept {
        return static_cast<std::int64_t>(bits_.capacity() / sizeof(std::uint32_t));
    }
    // Word i with the bits past the record count masked off.
    std::uint32_t CountedWord(std::int64_t i) const;

    EngineBuffer bits_;
    std::int64_t record_count_ = 0;
    std::int64_t rounded_count_ = 0;
    std::int64_t word_count_ = 0;
};

// The pool of spare bitmaps.
class TRecordsBitmapStack {
  public:
    TRecordsBitmapStack();

    // A spare bitmap with all bits clear (its size kept), or a new one.
    std::unique_ptr<TRecordsBitmap> Get();
    // Takes the bitmap back; a null one is ignored.
    void Put(std::unique_ptr<TRecordsBitmap>& bitmap);

    std::size_t Count();

  private:
    std::recursive_mutex lock_;
    std::vector<std::unique_ptr<TRecordsBitmap>> free_;
};

TRecordsBitmapStack& GlobalRecordsBitmapStack();
std::unique_ptr<TRecordsBitmap> AcquireRecordsBitmap();
void ReleaseRecordsBitmap(std::unique_ptr<TRecordsBitmap>& bitmap);

}  // namespace strata
