#include "engine/core/packed_slab.h"

#include <cassert>
#include <cstring>
#include <mutex>
#include <new>

namespace strata {

// Lives in the first granule of its block's memory.
struct PackedSlab::Block {
    Block* partial_prev = nullptr;
    Block* partial_next = nullptr;
    std::size_t index = 0;  // in blocks_
    std::uint32_t slot_size = 0;
    std::uint16_t capacity = 0;
    std::uint16_t used = 0;
    std::uint16_t carved = 0;     // slots handed out at least once
    std::uint16_t free_head = 0;  // 1-based index of a freed slot, 0 for none
    std::uint8_t* SlotAt(std::size_t i) {
        return reinterpret_cast<std::uint8_t*>(this) + kGranule + i * slot_size;
    }
};

void PackedSlab::BlockDelete::operator()(Block* block) const noexcept {
    block->~Block();
    ::operator delete(block);
}

// Set once the reserve is destroyed at exit: slabs cleared later (held by
// static sessions) free their blocks themselves.
namespace {
bool reserve_gone = false;
}  // namespace

struct PackedSlab::Reserve {
    Reserve() = default;
    Reserve(const Reserve&) = delete;
    Reserve& operator=(const Reserve&) = delete;
    ~Reserve() { reserve_gone = true; }
    std::mutex lock;
    std::vector<BlockPointer> blocks;
};

PackedSlab::Reserve* PackedSlab::TheReserve() {
    static Reserve reserve;
    return reserve_gone ? nullptr : &reserve;
}

void PackedSlab::Clear() noexcept {
    partial_.fill(nullptr);
    if (Reserve* reserve = TheReserve(); reserve != nullptr && !blocks_.empty()) {
        try {
            const std::lock_guard guard(reserve->lock);
            while (!blocks_.empty() && reserve->blocks.size() < kReserveLimit) {
                reserve->blocks.push_back(std::move(blocks_.back()));
                blocks_.pop_back();
            }
        } catch (...) {
            // Without room in the reserve the blocks are simply freed.
        }
    }
    blocks_.clear();
}

std::size_t PackedSlab::ReservedBlocks() {
    Reserve* reserve = TheReserve();
    if (reserve == nullptr)
        return 0;
    const std::lock_guard guard(reserve->lock);
    return reserve->blocks.size();
}

void PackedSlab::ReleaseReserve() {
    std::vector<BlockPointer> blocks;
    if (Reserve* reserve = TheReserve(); reserve != nullptr) {
        const std::lock_guard guard(reserve->lock);
        blocks.swap(reserve->blocks);
    }
}

void* PackedSlab::Allocate(std::size_t bytes) {
    static_assert(sizeof(Block) <= kGranule && alignof(Block) <= kGranule);
    assert(bytes >= 1 && bytes <= kLargestSlot);
    const std::size_t size = SlotSize(bytes);
    const std::size_t size_class = size / kGranule - 1;
    Block* block = partial_[size_class];
    if (block == nullptr) {
        BlockPointer reserved;
        if (Reserve* reserve = TheReserve(); reserve != nullptr) {
            const std::lock_guard guard(reserve->lock);
            if (!reserve->blocks.empty()) {
                reserved = std::move(reserve->blocks.back());
                reserve->blocks.pop_back();
            }
        }
        if (reserved) {
            block = reserved.release();
            block->~Block();
        } else {
            block = static_cast<Block*>(::operator new(kBlockBytes));
        }
        block = new (block) Block;
        block->slot_size = static_cast<std::uint32_t>(size);
        block->capacity = static_cast<std::uint16_t>((kBlockBytes - kGranule) / size);
        block->index = blocks_.size();
        BlockPointer owned(block);
        blocks_.push_back(std::move(owned));
        partial_[size_class] = block;
    }
    std::uint8_t* slot = nullptr;
    if (block->free_head != 0) {
        slot = block->SlotAt(block->free_head - 1u);
        std::memcpy(&block->free_head, slot, sizeof block->free_head);
    } else {
        assert(block->carved < block->capacity);
        slot = block->SlotAt(block->carved++);
    }
    ++block->used;
    if (block->used == block->capacity)
        Unlist(block);
    std::memcpy(slot, &block, sizeof block);
    return slot + kSlotHeader;
}

void PackedSlab::Free(void* user) {
    std::uint8_t* slot = static_cast<std::uint8_t*>(user) - kSlotHeader;
    Block* block = nullptr;
    std::memcpy(&block, slot, sizeof block);
    assert(block != nullptr && block->used > 0);
    const auto offset =
        static_cast<std::size_t>(static_cast<std::uint8_t*>(slot) - block->SlotAt(0));
    assert(offset % block->slot_size == 0);
    const auto number = static_cast<std::uint16_t>(offset / block->slot_size + 1);
    const bool was_full = block->used == block->capacity;
    std::memcpy(slot, &block->free_head, sizeof block->free_head);
    block->free_head = number;
    --block->used;
    const std::size_t size_class = block->slot_size / kGranule - 1;
    if (block->used == 0) {
        if (!was_full)
            Unlist(block);
        Release(block);
        return;
    }
    if (was_full) {
        block->partial_prev = nullptr;
        block->partial_next = partial_[size_class];
        if (partial_[size_class] != nullptr)
            partial_[size_class]->partial_prev = block;
        partial_[size_class] = block;
    }
}

void PackedSlab::Unlist(Block* block) {
    const std::size_t size_class = block->slot_size / kGranule - 1;
    if (block->partial_prev != nullptr)
        block->partial_prev->partial_next = block->partial_next;
    else
        partial_[size_class] = block->partial_next;
    if (block->partial_next != nullptr)
        block->partial_next->partial_prev = block->partial_prev;
    block->partial_prev = block->partial_next = nullptr;
}

void PackedSlab::Release(Block* block) {
    const std::size_t index = block->index;
    assert(index < blocks_.size() && blocks_[index].get() == block);
    if (index + 1 != blocks_.size()) {
        std::swap(blocks_[index], blocks_.back());
        blocks_[index]->index = index;
    }
    blocks_.pop_back();
}

}  // namespace strata
