#pragma once

// TRecord: one record of a data file in memory, as its bytes stand on disk,
// with its record number and cache state. TRecordStack: the pool the record
// cache takes records from and gives them back to, so that they are reused.
//
// Record bytes: 0 u8 status (0 = in use), 1 u32 record number (in use) or
// next-free link (free), 5 u32 record ID, 9.. the fields.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace strata {

class TDataFile;

inline constexpr std::size_t kRecordHeaderSize = 9;

class TRecord {
  public:
    // Sized to the owner's record size (nothing without an owner).
    explicit TRecord(TDataFile* owner);
    TRecord(const TRecord&) = delete;
    TRecord& operator=(const TRecord&) = delete;

    // Zero-fills and writes the record number; with `new_id` the next record
    // ID of the owner is stored first.
    void Reset(bool new_id);
    // Takes record-size bytes of disk image; `bytes` is unscrambled in place
    // when the table is encrypted.
    void LoadFrom(std::span<std::uint8_t> bytes);
    // SetRecordNumber(number) and LoadFrom(bytes) in one, without reading the bytes the record
    // held before, which for a record just taken from the cache's cold end are rarely cached.
    void LoadAs(std::uint32_t number, std::span<std::uint8_t> bytes);
    // Writes the record-size bytes to `bytes`, scrambled when encrypted.
    void SaveTo(std::span<std::uint8_t> bytes);
    void EnsureSize(std::size_t size);

    std::uint8_t Status() const { return buffer_[0]; }
    void SetStatus(std::uint8_t status);
    // 0 for an active record.
    std::uint32_t NextFree() const;
    void SetNextFree(std::uint32_t link);
    std::uint32_t RecordId() const;
    void SetRecordId(std::uint32_t id);
    std::uint32_t RecordNumber() const noexcept { return record_number_; }
    void SetRecordNumber(std::uint32_t number);

    std::span<std::uint8_t> Buffer() noexcept { return {buffer_.data(), record_size_}; }
    std::span<const std::uint8_t> Buffer() const noexcept { return {buffer_.data(), record_size_}; }
    std::size_t RecordSize() const noexcept { return record_size_; }
    // The second buffer: the sort keeps the record's key there.
    std::span<std::uint8_t> EnsureWorkSize(std::size_t size);
    std::span<std::uint8_t> WorkBuffer() noexcept { return {work_.data(), work_size_}; }
    std::span<const std::uint8_t> WorkBuffer() const noexcept { return {work_.data(), work_size_}; }

    bool Equals(std::span<const std::uint8_t> bytes) const;
    // Everything after the 9-byte record header.
    void CopyFields(std::span<const std::uint8_t> bytes);
    void Assign(const TRecord& other);

    bool Modified() const noexcept { return modified_; }
    void SetModified(bool value) noexcept { modified_ = value; }
    std::uint16_t PinCount() const noexcept { return pin_count_; }
    void Pin() noexcept { ++pin_count_; }
    void Unpin() noexcept {
        if (pin_count_ > 0)
            --pin_count_;
    }
    void ResetPins() noexcept { pin_count_ = 0; }
    TDataFile* Owner() const noexcept { return owner_; }

    // The record cache's chains (not owning); `lru_held` tells which one.
    TRecord* lru_prev = nullptr;
    TRecord* lru_next = nullptr;
    bool lru_held = false;

  private:
    void WriteNumberIntoActive();

    TDataFile* owner_;
    bool modified_ = false;
    std::uint16_t pin_count_ = 0;
    std::uint32_t record_number_ = 0;
    std::vector<std::uint8_t> buffer_;
    std::size_t record_size_ = 0;
    std::vector<std::uint8_t> work_;
    std::size_t work_size_ = 0;
};

class TRecordStack {
  public:
    explicit TRecordStack(TDataFile* owner);

    // A pooled record, unpinned and off every chain, or a new one. With `clear` its bytes are
    // zeroed as Reset leaves them; without, they are left for a caller that fills every byte of
    // the owner's record size (a record of another size is cleared all the same).
    std::unique_ptr<TRecord> Pop(bool clear = true);
    // A null record is ignored.
    void Push(std::unique_ptr<TRecord> record);
    void Clear();
    std::size_t Count() const noexcept { return records_.size(); }

  private:
    TDataFile* owner_;
    std::vector<std::unique_ptr<TRecord>> records_;
};

}  // namespace strata
