#include "engine/storage/engine_heap.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "engine/storage/engine_error_codes.h"

namespace strata {
namespace {

// Counts without a lock on purpose: a lost count only shifts the moment of
// compaction.
std::atomic<std::uint32_t> g_heap_counter{0};

std::mutex& CompactHookLock() {
    static std::mutex lock;
    return lock;
}

std::function<void()>& CompactHook() {
    static std::function<void()> hook;
    return hook;
}

void CountReallocOrFree() {
    if (g_heap_counter.fetch_add(1, std::memory_order_relaxed) + 1 < kHeapCompactInterval) {
        return;
    }
    g_heap_counter.store(0, std::memory_order_relaxed);
    std::function<void()> hook;
    {
        std::lock_guard guard(CompactHookLock());
        hook = CompactHook();
    }
    if (hook) {
        hook();
    } else {
        malloc_trim(0);
    }
}

std::recursive_mutex& FormatLock() {
    static std::recursive_mutex lock;
    return lock;
}

}  // namespace

void RaiseOutOfMemory() {
    RaiseEngineError(kErrOutOfMemory);
}

namespace {
std::atomic<std::size_t> request_limit{0};
}  // namespace

void SetEngineRequestLimit(std::size_t bytes) noexcept {
    request_limit.store(bytes, std::memory_order_relaxed);
}

void CheckEngineRequest(std::size_t bytes) {
    const std::size_t limit = request_limit.load(std::memory_order_relaxed);
    if (limit != 0 && bytes > limit) {
        RaiseOutOfMemory();
    }
}

void* EngineAlloc(std::size_t size) {
    if (size == 0) {
        return nullptr;
    }
    CheckEngineRequest(size);
    void* block = std::calloc(1, size);
    if (block == nullptr) {
        RaiseOutOfMemory();
    }
    return block;
}

void EngineRealloc(void*& block, std::size_t old_size, std::size_t new_size, bool zero_new) {
    if (new_size == 0) {
        EngineFree(block);
        return;
    }
    CheckEngineRequest(new_size);
    if (block == nullptr) {
        block = zero_new ? EngineAlloc(new_size) : std::malloc(new_size);
        if (block == nullptr) {
            RaiseOutOfMemory();
        }
        CountReallocOrFree();
        return;
    }
    void* grown = std::realloc(block, new_size);
    if (grown == nullptr) {
        RaiseOutOfMemory();
    }
    if (zero_new && new_size > old_size) {
        std::memset(static_cast<std::byte*>(grown) + old_size, 0, new_size - old_size);
    }
    block = grown;
    CountReallocOrFree();
}

void EngineFree(void*& block) noexcept {
    if (block == nullptr) {
        return;
    }
    std::free(block);
    block = nullptr;
    CountReallocOrFree();
}

std::uint32_t EngineHeapCounter() noexcept {
    return g_heap_counter.load(std::memory_order_relaxed);
}

void SetHeapCompactHook(std::function<void()> hook) {
    std::lock_guard guard(CompactHookLock());
    CompactHook() = std::move(hook);
}

EngineBuffer& EngineBuffer::operator=(EngineBuffer&& other) noexcept {
    if (this != &other) {
        Reset();
        data_ = std::exchange(other.data_, nullptr);
        capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
}

void EngineBuffer::Resize(std::size_t new_capacity) {
    if (new_capacity == capacity_) {
        return;
    }
    EngineRealloc(data_, capacity_, new_capacity);
    capacity_ = new_capacity;
}

void EngineBuffer::Grow(std::size_t new_capacity) {
    if (new_capacity <= capacity_) {
        return;
    }
    EngineRealloc(data_, capacity_, new_capacity, false);
    capacity_ = new_capacity;
}

void EngineBuffer::Reset() noexcept {
    EngineFree(data_);
    capacity_ = 0;
}

namespace {

struct KeptBuffers {
    std::mutex lock;
    std::vector<EngineBuffer> buffers;
};
constexpr std::size_t kKeptBufferCount = 64;
constexpr std::size_t kKeptTotalBytes = std::size_t{48} << 20;

// Never freed, so that the kept buffers outlive every owner.
KeptBuffers& Kept() {
    static KeptBuffers* const kept = new KeptBuffers;
    return *kept;
}

}  // namespace

void KeepBuffer(EngineBuffer&& buffer) noexcept {
    EngineBuffer given = std::move(buffer);
    if (given.empty() || given.capacity() > kKeptTotalBytes) {
        return;
    }
    KeptBuffers& kept = Kept();
    std::lock_guard guard(kept.lock);
    try {
        std::size_t total = 0;
        for (const EngineBuffer& each : kept.buffers) {
            total += each.capacity();
        }
        if (kept.buffers.size() < kKeptBufferCount && total + given.capacity() <= kKeptTotalBytes) {
            kept.buffers.push_back(std::move(given));
        } else if (!kept.buffers.empty()) {
            auto smallest = std::min_element(
                kept.buffers.begin(), kept.buffers.end(),
                [](const auto& a, const auto& b) { return a.capacity() < b.capacity(); });
            if (smallest->capacity() < given.capacity() &&
                total - smallest->capacity() + given.capacity() <= kKeptTotalBytes) {
                std::swap(*smallest, given);
            }
        }
    } catch (...) {
        // Kept or not, the buffer goes.
    }
}

EngineBuffer TakeKeptBuffer(std::size_t bytes) {
    KeptBuffers& kept = Kept();
    std::lock_guard guard(kept.lock);
    auto best = kept.buffers.end();
    for (auto it = kept.buffers.begin(); it != kept.buffers.end(); ++it) {
        if (it->capacity() >= bytes &&
            (best == kept.buffers.end() || it->capacity() < best->capacity())) {
            best = it;
        }
    }
    if (best == kept.buffers.end()) {
        return {};
    }
    EngineBuffer taken = std::move(*best);
    kept.buffers.erase(best);
    return taken;
}

void ResizeBlockBuffer(std::int64_t size, std::int64_t block_size, EngineBuffer& buffer) {
    if (size <= 0) {
        buffer.Reset();
        return;
    }
    if (block_size <= 0) {
        block_size = 1;
    }
    const std::int64_t blocks = size / block_size + (size % block_size != 0 ? 1 : 0);
    const auto needed = static_cast<std::size_t>(blocks) * static_cast<std::size_t>(block_size);
    if (needed > buffer.capacity()) {
        buffer.Resize(needed);
    }
}

void LockFormatSettings() {
    FormatLock().lock();
}

void UnlockFormatSettings() {
    FormatLock().unlock();
}

}  // namespace strata
