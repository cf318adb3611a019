#pragma once

// The engine heap: zero-filled blocks whose exhaustion is engine error 11016,
// the engine's growable pointer list, and the process-wide format lock.
//
// Every allocation failure of the engine is turned into 11016 here and only
// here (EngineAlloc, EngineRealloc, EngineNew, RaiseOutOfMemory).

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace strata {

// Raises engine error 11016 with empty names. Never returns.
[[noreturn]] void RaiseOutOfMemory();

// A zero-filled block of `size` bytes; nullptr for size 0. Raises 11016 when
// memory runs out. The block is released with EngineFree.
void* EngineAlloc(std::size_t size);

// Resizes `block` (which holds `old_size` bytes) to `new_size` bytes; bytes
// beyond the old size are zero (left uncleared without `zero_new`). On failure
// raises 11016 and leaves `block` untouched and valid. A new size of 0 frees
// the block. Counts toward compaction.
void EngineRealloc(void*& block, std::size_t old_size, std::size_t new_size, bool zero_new = true);

// Frees `block` when it is not null, sets it to null and counts toward
// compaction; a null block is left alone and not counted.
void EngineFree(void*& block) noexcept;

// Reallocations and frees since the last compaction; at 1020 the heap is
// compacted (through the hook) and the count starts again.
inline constexpr std::uint32_t kHeapCompactInterval = 1020;
std::uint32_t EngineHeapCounter() noexcept;
// Replaces the compaction routine (malloc_trim by default); an empty function
// restores the default. For tests.
void SetHeapCompactHook(std::function<void()> hook);

// Runs `make` and turns std::bad_alloc into engine error 11016.
template <class F>
decltype(auto) WithEngineMemory(F&& make) {
    try {
        return std::forward<F>(make)();
    } catch (const std::bad_alloc&) {
        RaiseOutOfMemory();
    }
}

// For tests: requests of more than `bytes` (engine heap blocks, vectors grown by
// ResizeEngineVector) fail as if memory
// had run out, so a failure near the 2 GB limits can be met without taking that memory from the
// machine; 0 lifts the limit.
void SetEngineRequestLimit(std::size_t bytes) noexcept;
// Raises 11016 for a request beyond the test limit; otherwise does nothing.
void CheckEngineRequest(std::size_t bytes);

// Resizes `bytes` to `size` (new bytes zero); memory running out is 11016 and leaves `bytes` as
// it was.
template <class Vector>
void ResizeEngineVector(Vector& bytes, std::size_t size) {
    if (size > bytes.size()) {
        CheckEngineRequest(size * sizeof(typename Vector::value_type));
    }
    WithEngineMemory([&] { bytes.resize(size); });
}

// `std::make_unique` whose allocation failure is engine error 11016.
template <class T, class... Args>
std::unique_ptr<T> EngineNew(Args&&... args) {
    return WithEngineMemory([&] { return std::make_unique<T>(std::forward<Args>(args)...); });
}

// An owned buffer on the engine heap, zero-filled unless grown by Grow, whose capacity only
// changes through ResizeBlockBuffer, Grow (or Reset).
class EngineBuffer {
  public:
    EngineBuffer() noexcept = default;
    EngineBuffer(const EngineBuffer&) = delete;
    EngineBuffer& operator=(const EngineBuffer&) = delete;
    EngineBuffer(EngineBuffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    EngineBuffer& operator=(EngineBuffer&& other) noexcept;
    ~EngineBuffer() { Reset(); }

    std::byte* data() noexcept { return static_cast<std::byte*>(data_); }
    const std::byte* data() const noexcept { return static_cast<const std::byte*>(data_); }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return capacity_ == 0; }

    // Exactly `new_capacity` bytes; new bytes are zero, kept bytes unchanged.
    void Resize(std::size_t new_capacity);
    // At least `new_capacity` bytes, kept bytes unchanged; the new bytes are not cleared, for
    // an owner that writes them before it reads them (a large buffer is then touched once).
    void Grow(std::size_t new_capacity);
    // Frees the buffer.
    void Reset() noexcept;

  private:
    void* data_ = nullptr;
    std::size_t capacity_ = 0;
};

// Buffers given up for another owner to take again: one taken back brings the pages its
// last owner touched, where a fresh one would fault them in one by one (a statement's result
// held in memory, its gathered rows). A few are kept, 48 MiB in all; a buffer beyond that
// room is freed, or takes the place of a smaller one.
void KeepBuffer(EngineBuffer&& buffer) noexcept;
// The smallest kept buffer of at least `bytes`; an empty one when none is.
EngineBuffer TakeKeptBuffer(std::size_t bytes);

// A working buffer for one task, taken from the kept ones where one fits and given back when
// the task ends. Its bytes are not cleared: the owner writes before it reads.
class KeptWorkBuffer {
  public:
    KeptWorkBuffer() noexcept = default;
    explicit KeptWorkBuffer(std::size_t bytes) { Reserve(bytes); }
    ~KeptWorkBuffer() { KeepBuffer(std::move(buffer_)); }
    KeptWorkBuffer(const KeptWorkBuffer&) = delete;
    KeptWorkBuffer& operator=(const KeptWorkBuffer&) = delete;

    // At least `bytes`, the bytes held so far unchanged.
    void Reserve(std::size_t bytes) {
        if (buffer_.capacity() >= bytes) {
            return;
        }
        if (buffer_.empty()) {
            buffer_ = TakeKeptBuffer(bytes);
        }
        buffer_.Grow(bytes);
    }
    std::uint8_t* data() noexcept { return reinterpret_cast<std::uint8_t*>(buffer_.data()); }
    std::size_t capacity() const noexcept { return buffer_.capacity(); }

  private:
    EngineBuffer buffer_;
};

// Keeps `buffer`'s capacity a multiple of `block_size` that holds `size`
// bytes, growing it when needed and never shrinking it; a size of 0 or less
// frees it. Requires: block_size > 0.
void ResizeBlockBuffer(std::int64_t size, std::int64_t block_size, EngineBuffer& buffer);

// The process-wide lock around the format settings that value conversions
// swap in. Re-entrant for the thread that holds it.
void LockFormatSettings();
void UnlockFormatSettings();

class FormatSettingsLock {
  public:
    FormatSettingsLock() { LockFormatSettings(); }
    ~FormatSettingsLock() { UnlockFormatSettings(); }
    FormatSettingsLock(const FormatSettingsLock&) = delete;
    FormatSettingsLock& operator=(const FormatSettingsLock&) = delete;
};

// Quicksort with the middle element as pivot, as the engine sorts everywhere.
// Unlike std::sort it stays within the range even when `compare` is not a
// consistent ordering (locale comparisons may not be).
template <class T, class Compare>
void QuickSortItems(T* items, std::int64_t low, std::int64_t high, Compare&& compare) {
    while (low < high) {
        std::int64_t i = low;
        std::int64_t j = high;
        T pivot = items[low + (high - low) / 2];
        do {
            while (i < high && compare(items[i], pivot) < 0) {
                ++i;
            }
            while (j > low && compare(items[j], pivot) > 0) {
                --j;
            }
            if (i <= j) {
                std::swap(items[i], items[j]);
                ++i;
                --j;
            }
        } while (i <= j);
        if (low < j) {
            QuickSortItems(items, low, j, compare);
        }
        low = i;
    }
}

// The engine's list: items in slots, count <= capacity, and the engine's own
// growth steps (4 while small, 16 up to 64 slots, then a quarter) so the many
// small lists stay small. The list never owns what its items point to.
template <class T = void*>
class TSystemList {
  public:
    using Compare = std::function<int(const T&, const T&)>;

    TSystemList() = default;
    virtual ~TSystemList() = default;
    TSystemList(const TSystemList&) = delete;
    TSystemList& operator=(const TSystemList&) = delete;

    std::int64_t Count() const noexcept { return count_; }
    std::int64_t Capacity() const noexcept { return static_cast<std::int64_t>(slots_.size()); }

    // Returns the index of the new item.
    std::int64_t Add(T item) {
        if (count_ == Capacity()) {
            Grow();
        }
        slots_[static_cast<std::size_t>(count_)] = std::move(item);
        return count_++;
    }

    // Requires: 0 <= index <= Count().
    void Insert(std::int64_t index, T item) {
        if (count_ == Capacity()) {
            Grow();
        }
        for (std::int64_t i = count_; i > index; --i) {
            slots_[static_cast<std::size_t>(i)] =
                std::move(slots_[static_cast<std::size_t>(i - 1)]);
        }
        slots_[static_cast<std::size_t>(index)] = std::move(item);
        ++count_;
    }

    // Requires: 0 <= index < Count().
    void Delete(std::int64_t index) {
        for (std::int64_t i = index; i + 1 < count_; ++i) {
            slots_[static_cast<std::size_t>(i)] =
                std::move(slots_[static_cast<std::size_t>(i + 1)]);
        }
        --count_;
        slots_[static_cast<std::size_t>(count_)] = T{};
    }

    void Exchange(std::int64_t a, std::int64_t b) {
        std::swap(slots_[static_cast<std::size_t>(a)], slots_[static_cast<std::size_t>(b)]);
    }
    const T& First() const { return slots_[0]; }
    const T& Last() const { return slots_[static_cast<std::size_t>(count_ - 1)]; }
    // Requires: 0 <= index < Count().
    const T& Get(std::int64_t index) const { return slots_[static_cast<std::size_t>(index)]; }
    T& operator[](std::int64_t index) { return slots_[static_cast<std::size_t>(index)]; }
    const T& operator[](std::int64_t index) const { return Get(index); }

    std::int64_t IndexOf(const T& item) const {
        for (std::int64_t i = 0; i < count_; ++i) {
            if (slots_[static_cast<std::size_t>(i)] == item) {
                return i;
            }
        }
        return -1;
    }

    // A capacity below the count cuts the list.
    void SetCapacity(std::int64_t n) {
        if (n < 0) {
            n = 0;
        }
        if (n == Capacity()) {
            return;
        }
        WithEngineMemory([&] {
            if (n == 0) {
                std::vector<T>().swap(slots_);
            } else {
                slots_.resize(static_cast<std::size_t>(n));
            }
        });
        if (count_ > n) {
            count_ = n;
        }
    }

    // New slots between the old and the new count are empty.
    void SetCount(std::int64_t n) {
        if (n < 0) {
            n = 0;
        }
        if (n > Capacity()) {
            SetCapacity(n);
        }
        for (std::int64_t i = count_; i < n; ++i) {
            slots_[static_cast<std::size_t>(i)] = T{};
        }
        for (std::int64_t i = n; i < count_; ++i) {
            slots_[static_cast<std::size_t>(i)] = T{};
        }
        count_ = n;
    }

    void Clear() {
        count_ = 0;
        SetCapacity(0);
    }

    void Assign(const TSystemList& source) {
        if (&source == this) {
            return;
        }
        if (source.Capacity() > Capacity()) {
            SetCapacity(source.Capacity());
        }
        std::copy(source.slots_.begin(), source.slots_.end(), slots_.begin());
        count_ = source.count_;
    }

    void Sort(const Compare& compare) {
        if (count_ > 1) {
            QuickSortItems(slots_.data(), 0, count_ - 1, compare);
        }
    }

    auto begin() { return slots_.begin(); }
    auto end() { return slots_.begin() + static_cast<std::ptrdiff_t>(count_); }
    auto begin() const { return slots_.begin(); }
    auto end() const { return slots_.begin() + static_cast<std::ptrdiff_t>(count_); }

  protected:
    // Called only when the list is full.
    virtual void Grow() {
        const std::int64_t capacity = Capacity();
        std::int64_t delta = 16;
        if (capacity > 64) {
            delta = capacity / 4;
        } else if (capacity < 9) {
            delta = 4;
        }
        SetCapacity(capacity + delta);
    }

  private:
    std::vector<T> slots_;  // size() is the capacity
    std::int64_t count_ = 0;
};

}  // namespace strata
