#pragma once

// PackedSlab: the memory of the index cache's packed tier. Slots come in
// sizes of 64-byte steps, carved from 16 KiB blocks that each serve one
// size; each slot begins with its block's address. A block goes back to the heap as soon as its
// last slot is freed, so as the packed sizes of pages drift (pages fill up), the memory follows
// what is in use instead of keeping free slots of sizes no longer asked
// for; and a packed page costs no heap call of its own.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace strata {

class PackedSlab {
  public:
    static constexpr std::size_t kGranule = 64;
    static constexpr std::size_t kBlockBytes = 16 * 1024;
    static constexpr std::size_t kSlotHeader = sizeof(void*);
    // The block's own bookkeeping takes its first granule.
    static constexpr std::size_t kLargestSlot = kBlockBytes - kGranule - kSlotHeader;

    PackedSlab() = default;
    PackedSlab(const PackedSlab&) = delete;
    PackedSlab& operator=(const PackedSlab&) = delete;

    // Requires: 1 <= bytes <= kLargestSlot. The slot is 8-byte aligned and
    // holds `bytes`; it costs SlotSize(bytes).
    void* Allocate(std::size_t bytes);
    // Requires: `slot` came from Allocate and is not yet freed.
    void Free(void* slot);
    // Asks the processor for the bookkeeping a Free of `slot` touches, so a
    // caller that knows early which slot it will free need not wait for it.
    // Requires: as Free.
    static void PrefetchFree(const void* slot) {
        const void* block = nullptr;
        std::memcpy(&block, static_cast<const std::uint8_t*>(slot) - kSlotHeader, sizeof block);
        __builtin_prefetch(block, 1);
    }
    static constexpr std::size_t SlotSize(std::size_t bytes) {
        return (bytes + kSlotHeader + kGranule - 1) / kGranule * kGranule;
    }
    // Memory held in blocks, used or not.
    std::size_t HeldBytes() const noexcept { return blocks_.size() * kBlockBytes; }
    std::size_t BlockCount() const noexcept { return blocks_.size(); }
    // Gives every block up at once; every slot becomes invalid. The blocks
    // go to the process's reserve (up to kReserveLimit), where the next
    // slab to need one takes it: closing a large cache then costs no
    // return of its memory to the system, and opening the next no faults.
    void Clear() noexcept;
    ~PackedSlab() { Clear(); }

    static constexpr std::size_t kReserveLimit = 4096;
    static std::size_t ReservedBlocks();
    // Frees the reserve; the engine's shutdown calls it.
    static void ReleaseReserve();

  private:
    struct Block;
    struct BlockDelete {
        void operator()(Block* block) const noexcept;
    };
    static constexpr std::size_t kClasses = (kBlockBytes - kGranule) / kGranule;
    using BlockPointer = std::unique_ptr<Block, BlockDelete>;
    struct Reserve;
    static Reserve* TheReserve();

    void Unlist(Block* block);
    void Release(Block* block);

    std::vector<BlockPointer> blocks_;
    // Per slot size, the blocks with a free slot (a chain through them).
    std::array<Block*, kClasses> partial_{};
};

}  // namespace strata
