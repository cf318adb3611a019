#include "engine/core/record_pool.h"

#include <algorithm>
#include <cstring>

#include "engine/core/data_file.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/scramble.h"

namespace strata {

namespace {
constexpr std::size_t kBufferStep = 510;
constexpr std::size_t kWorkStep = 127;

std::size_t RoundUp(std::size_t size, std::size_t step) {
    return (size + step - 1) / step * step;
}
}  // namespace

TRecord::TRecord(TDataFile* owner) : owner_(owner) {
    EnsureSize(owner ? owner->GetRecordSize() : kRecordHeaderSize);
}

void TRecord::EnsureSize(std::size_t size) {
    if (size > buffer_.size())
        buffer_.resize(RoundUp(size, kBufferStep), 0);
    if (size > record_size_)
        record_size_ = size;
}

std::span<std::uint8_t> TRecord::EnsureWorkSize(std::size_t size) {
    if (size > work_.size())
        work_.resize(RoundUp(size, kWorkStep), 0);
    work_size_ = size;
    return WorkBuffer();
}

void TRecord::WriteNumberIntoActive() {
    if (record_size_ >= kRecordHeaderSize && buffer_[0] == 0) {
        PutU32(buffer_, 1, record_number_);
    }
}

void TRecord::Reset(bool new_id) {
    std::fill(buffer_.begin(), buffer_.end(), 0);
    if (new_id && owner_ != nullptr)
        SetRecordId(owner_->NextAutoIncrement());
    WriteNumberIntoActive();
    modified_ = false;
}

void TRecord::LoadFrom(std::span<std::uint8_t> bytes) {
    const std::size_t n = std::min(bytes.size(), record_size_);
    if (owner_ != nullptr && owner_->GetEncrypted()) {
        UnscrambleBuffer(bytes.first(n), kTableDataKeyLow, kTableDataKeyHigh);
    }
    std::memcpy(buffer_.data(), bytes.data(), n);
    WriteNumberIntoActive();
    modified_ = false;
}

void TRecord::LoadAs(std::uint32_t number, std::span<std::uint8_t> bytes) {
    record_number_ = number;
    LoadFrom(bytes);
}

void TRecord::SaveTo(std::span<std::uint8_t> bytes) {
    const std::size_t n = std::min(bytes.size(), record_size_);
    std::memcpy(bytes.data(), buffer_.data(), n);
    if (owner_ != nullptr && owner_->GetEncrypted()) {
        ScrambleBuffer(bytes.first(n), kTableDataKeyLow, kTableDataKeyHigh);
    }
    modified_ = false;
}

void TRecord::SetStatus(std::uint8_t status) {
    buffer_[0] = status;
    modified_ = true;
}

std::uint32_t TRecord::NextFree() const {
    return buffer_[0] == 0 ? 0 : GetU32(buffer_, 1);
}

void TRecord::SetNextFree(std::uint32_t link) {
    PutU32(buffer_, 1, link);
    modified_ = true;
}

std::uint32_t TRecord::RecordId() const {
    return GetU32(buffer_, 5);
}

void TRecord::SetRecordId(std::uint32_t id) {
    PutU32(buffer_, 5, id);
    modified_ = true;
}

void TRecord::SetRecordNumber(std::uint32_t number) {
    record_number_ = number;
    WriteNumberIntoActive();
}

bool TRecord::Equals(std::span<const std::uint8_t> bytes) const {
    return bytes.size() >= record_size_ &&
           std::memcmp(buffer_.data(), bytes.data(), record_size_) == 0;
}

void TRecord::CopyFields(std::span<const std::uint8_t> bytes) {
    if (record_size_ <= kRecordHeaderSize)
        return;
    const std::size_t n =
        std::min(bytes.size(), record_size_) - std::min(bytes.size(), kRecordHeaderSize);
    std::memcpy(buffer_.data() + kRecordHeaderSize, bytes.data() + kRecordHeaderSize,
                std::min(n, record_size_ - kRecordHeaderSize));
    modified_ = true;
}

void TRecord::Assign(const TRecord& other) {
    owner_ = other.owner_;
    modified_ = other.modified_;
    record_number_ = other.record_number_;
    std::memcpy(buffer_.data(), other.buffer_.data(), std::min(record_size_, other.record_size_));
}

TRecordStack::TRecordStack(TDataFile* owner) : owner_(owner) {
    records_.reserve(16383);
}

std::unique_ptr<TRecord> TRecordStack::Pop(bool clear) {
    if (records_.empty())
        return std::make_unique<TRecord>(owner_);
    std::unique_ptr<TRecord> record = std::move(records_.back());
    records_.pop_back();
    // The next one is taken a row's work later.
    if (!records_.empty())
        __builtin_prefetch(records_.back().get(), 1);
    if (clear || owner_ == nullptr || record->RecordSize() != owner_->GetRecordSize())
        record->Reset(false);
    else
        record->SetModified(false);
    record->ResetPins();
    record->lru_prev = record->lru_next = nullptr;
    record->lru_held = false;
    return record;
}

void TRecordStack::Push(std::unique_ptr<TRecord> record) {
    if (record)
        records_.push_back(std::move(record));
}

void TRecordStack::Clear() {
    while (!records_.empty())
        records_.pop_back();
}

}  // namespace strata
