#pragma once

// The stored bytes of the records a scan or a filter visits, seen through the data file's
// mapping instead of read: only the records visited are touched or copied, where a read copies
// every byte of a stretch, and the mapping stays from one scan to the next, as a cache's pages
// would, so its pages are not mapped again. Encrypted files and memory files are read as
// before.

#include <cstdint>
#include <memory>

#include "engine/core/data_file.h"
#include "platform/os/file.h"

namespace strata {

class MappedRecords {
  public:
    explicit MappedRecords(TDataFile& data) : data_(data) {}

    // Whether Find may give records: false once mapping failed, and for encrypted and memory
    // files.
    bool MayMap() const { return !failed_ && !data_.GetEncrypted() && !data_.InMemory(); }

    // Records first..last as the file stores them, one after another, or null where they are
    // not mapped (the caller then reads them). Requires: the file object's lock is held and
    // the changed records are written.
    const std::uint8_t* Find(std::uint32_t first, std::uint32_t last) {
        if (failed_ || first == 0 || last < first)
            return nullptr;
        const std::int64_t end =
            data_.RecordOffset(last) + static_cast<std::int64_t>(data_.GetRecordSize());
        if (!view_ || static_cast<std::int64_t>(view_->size()) < end) {
            view_ = data_.GetEncrypted() ? nullptr : data_.MapForReading(end);
            if (!view_) {
                failed_ = true;
                return nullptr;
            }
        }
        return reinterpret_cast<const std::uint8_t*>(view_->data()) + data_.RecordOffset(first);
    }

  private:
    TDataFile& data_;
    std::shared_ptr<const platform::os::MappedRange> view_;
    bool failed_ = false;
};

}  // namespace strata
