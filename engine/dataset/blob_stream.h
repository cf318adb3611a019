#pragma once

// TStrataBlobStream: a stream over one blob field of the active record of a
// Strata dataset, reading and writing through the cursor's open blob.

#include <cstdint>
#include <span>

#include "platform/db/dataset.h"
#include "platform/db/stream.h"

namespace db {
class TBlobField;
}

namespace strata {

class TStrataDataSet;

class TStrataBlobStream : public db::TStream {
  public:
    // `record` is the engine record of the dataset's active buffer (empty
    // when there is none). Write and read-write modes need an editable field
    // in the edit or insert state; write empties the blob first.
    TStrataBlobStream(db::TBlobField& field, db::TBlobStreamMode mode, TStrataDataSet& dataset,
                      std::span<std::uint8_t> record);
    ~TStrataBlobStream() override;

    std::int64_t Read(std::span<std::byte> buffer) override;
    std::int64_t Write(std::span<const std::byte> data) override;
    // Refuses a position below 0 or beyond the 32-bit range of blob offsets.
    std::int64_t Seek(std::int64_t offset, db::TSeekOrigin origin) override;
    std::int64_t Size() override;
    void SetSize(std::int64_t size) override;
    // Cuts the blob at the position.
    void Truncate();

  private:
    [[noreturn]] void Raise(int code) const;
    // Raises "Field '%s' cannot be modified" for a stream opened for reading.
    void CheckWritable() const;

    db::TBlobField& field_;
    TStrataDataSet& dataset_;
    std::span<std::uint8_t> record_;
    std::uint16_t field_no_;
    bool writable_ = false;  // opened for write or read-write
    bool opened_ = false;
    bool opened_here_ = false;  // this stream opened the blob (and closes it)
    bool modified_ = false;
    std::int64_t position_ = 0;
};

}  // namespace strata
