#include "engine/core/record_cache_table.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace strata {

std::size_t TRecordCacheTable::HomeSlot(std::uint32_t n) const noexcept {
    // Fibonacci hashing spreads runs and strides of record numbers alike.
    return shift_ >= 32 ? 0 : static_cast<std::uint32_t>(n * 2654435769u) >> shift_;
}

void TRecordCacheTable::Reserve(std::size_t records) {
    if (slots_.size() < 2 * records)
        Rehash(records);
}

void TRecordCacheTable::ShrinkTo(std::size_t records) {
    Rehash(std::max(records, size_));
}

void TRecordCacheTable::Release() {
    assert(size_ == 0);
    std::vector<Slot>().swap(slots_);
    shift_ = 32;
}

void TRecordCacheTable::Rehash(std::size_t records) {
    // At most half full, so probe runs stay short.
    std::size_t size = 16;
    unsigned bits = 4;
    while (size < 2 * std::max(records, size_)) {
        size *= 2;
        ++bits;
    }
    if (size == slots_.size())
        return;
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(size));
    shift_ = 32 - bits;
    const std::size_t mask = size - 1;
    for (Slot& slot : old) {
        if (!slot.record)
            continue;
        std::size_t i = HomeSlot(slot.number);
        while (slots_[i].record)
            i = (i + 1) & mask;
        slots_[i] = std::move(slot);
    }
    CheckInvariants();
}

TRecord* TRecordCacheTable::Find(std::uint32_t n) const {
    if (size_ == 0)
        return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = HomeSlot(n); slots_[i].record; i = (i + 1) & mask) {
        if (slots_[i].number == n)
            return slots_[i].record.get();
    }
    return nullptr;
}

TRecord* TRecordCacheTable::Insert(std::unique_ptr<TRecord> record) {
    assert(record && record->RecordNumber() != 0 && Find(record->RecordNumber()) == nullptr);
    Reserve(size_ + 1);
    TRecord* raw = record.get();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = HomeSlot(raw->RecordNumber());
    while (slots_[i].record)
        i = (i + 1) & mask;
    slots_[i].number = raw->RecordNumber();
    slots_[i].record = std::move(record);
    ++size_;
    return raw;
}

std::unique_ptr<TRecord> TRecordCacheTable::Remove(std::uint32_t n) {
    if (size_ == 0)
        return nullptr;
    const std::size_t mask = slots_.size() - 1;
    std::size_t hole = HomeSlot(n);
    while (slots_[hole].record && slots_[hole].number != n)
        hole = (hole + 1) & mask;
    if (!slots_[hole].record)
        return nullptr;
    std::unique_ptr<TRecord> taken = std::move(slots_[hole].record);
    slots_[hole].number = 0;
    --size_;
    // Backward shift: later members of the probe run move into the hole when
    // their home lies at or before it, so no lookup ever stops short.
    for (std::size_t j = (hole + 1) & mask; slots_[j].record; j = (j + 1) & mask) {
        const std::size_t home = HomeSlot(slots_[j].number);
        if (((j - home) & mask) >= ((j - hole) & mask)) {
            slots_[hole] = std::move(slots_[j]);
            slots_[j].number = 0;
            hole = j;
        }
    }
    return taken;
}

void TRecordCacheTable::CheckInvariants() const {
#ifndef NDEBUG
    std::size_t held = 0;
    const std::size_t mask = slots_.empty() ? 0 : slots_.size() - 1;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const Slot& slot = slots_[i];
        assert((slot.number == 0) == !slot.record);
        if (!slot.record)
            continue;
        ++held;
        assert(slot.record->RecordNumber() == slot.number);
        for (std::size_t k = HomeSlot(slot.number); k != i; k = (k + 1) & mask)
            assert(slots_[k].record);
    }
    assert(held == size_);
    assert(slots_.empty() || 2 * size_ <= slots_.size());
#endif
}

}  // namespace strata
