#include "engine/dataset/blob_stream.h"

#include <limits>
#include <string>

#include "engine/core/data_cursor.h"
#include "engine/dataset/strata_dataset.h"
#include "engine/storage/engine_error_codes.h"
#include "platform/db/exception.h"
#include "platform/db/fields_blob.h"

namespace strata {

namespace {

constexpr std::int64_t kMaxBlobPosition = std::numeric_limits<std::int32_t>::max();

}  // namespace

TStrataBlobStream::TStrataBlobStream(db::TBlobField& field, db::TBlobStreamMode mode,
                                     TStrataDataSet& dataset, std::span<std::uint8_t> record)
    : field_(field),
      dataset_(dataset),
      record_(record),
      field_no_(static_cast<std::uint16_t>(field.FieldNo())),
      writable_(mode != db::bmRead) {
    TDataCursor* cursor = dataset_.Handle();
    if (record_.empty() || cursor == nullptr)
        return;
    // Checked even when a reader left the blob open: the engine would take the write into
    // that blob all the same, and the record shown would differ from the record stored.
    if (mode != db::bmRead) {
        if (field_.ReadOnly())
            throw db::EDatabaseError("Field '" + field_.FieldName() + "' cannot be modified");
        if (dataset_.State() != db::dsEdit && dataset_.State() != db::dsInsert)
            throw db::EDatabaseError("Dataset not in edit or insert mode");
    }
    if (cursor->FindBlob(field_no_, record_) == nullptr) {
        const EngineErrorCode code = cursor->OpenBlob(
            field_no_, record_, mode == db::bmRead ? kBlobOpenRead : kBlobOpenReadWrite);
        if (code != kErrNone)
            Raise(code);
        opened_here_ = true;
    }
    opened_ = true;
    if (mode == db::bmWrite)
        Truncate();
}

TStrataBlobStream::~TStrataBlobStream() {
    if (!opened_)
        return;
    try {
        if (modified_) {
            field_.SetModified(true);
            db::TDataEventInfo info;
            info.field = &field_;
            dataset_.DataEvent(db::deFieldChange, info);
        } else if (opened_here_) {
            // A changed blob stays open until the record is posted or cancelled; a reader
            // of a blob another stream left open must not close it and lose the change.
            dataset_.Handle()->CloseBlob(field_no_, record_);
        }
    } catch (...) {
    }
}

void TStrataBlobStream::Raise(int code) const {
    RaiseEngineError(static_cast<EngineErrorCode>(code),
                     dataset_.Handle() != nullptr ? dataset_.Handle()->TableName() : std::string(),
                     field_.FieldName());
}

std::int64_t TStrataBlobStream::Read(std::span<std::byte> buffer) {
    if (!opened_ || buffer.empty())
        return 0;
    const auto count = static_cast<std::uint32_t>(
        std::min<std::size_t>(buffer.size(), static_cast<std::size_t>(kMaxBlobPosition)));
    std::uint32_t got = 0;
    const EngineErrorCode code = dataset_.Handle()->ReadBlob(
        field_no_, record_, got, count, reinterpret_cast<std::uint8_t*>(buffer.data()),
        static_cast<std::uint32_t>(position_));
    // An offset beyond the blob reads nothing; it is no failure.
    if (code == kErrInvalidBlobOffset)
        return 0;
    if (code != kErrNone && code != kErrEndOfBlob)
        Raise(code);
    position_ += got;
    return got;
}

void TStrataBlobStream::CheckWritable() const {
    // A reader's blob is the record shown: changing it would slip past edit and post.
    if (!writable_)
        throw db::EDatabaseError("Field '" + field_.FieldName() + "' cannot be modified");
}

std::int64_t TStrataBlobStream::Write(std::span<const std::byte> data) {
    CheckWritable();
    if (!opened_ || data.empty())
        return 0;
    if (position_ + static_cast<std::int64_t>(data.size()) > kMaxBlobPosition)
        Raise(kErrInvalidBlobLength);
    const EngineErrorCode code = dataset_.Handle()->WriteBlob(
        field_no_, record_, static_cast<std::uint32_t>(data.size()),
        reinterpret_cast<const std::uint8_t*>(data.data()), static_cast<std::uint32_t>(position_));
    if (code != kErrNone)
        Raise(code);
    position_ += static_cast<std::int64_t>(data.size());
    modified_ = true;
    return static_cast<std::int64_t>(data.size());
}

std::int64_t TStrataBlobStream::Seek(std::int64_t offset, db::TSeekOrigin origin) {
    std::int64_t base = 0;
    if (origin == db::soCurrent)
        base = position_;
    else if (origin == db::soEnd)
        base = Size();
    const std::int64_t target = base + offset;
    if (target < 0 || target > kMaxBlobPosition)
        throw db::EDatabaseError("Invalid position in BLOB field '" + field_.FieldName() + "'");
    position_ = target;
    return position_;
}

std::int64_t TStrataBlobStream::Size() {
    if (!opened_)
        return 0;
    std::uint32_t size = 0;
    const EngineErrorCode code = dataset_.Handle()->GetBlobSize(field_no_, record_, size);
    if (code != kErrNone)
        Raise(code);
    return size;
}

void TStrataBlobStream::SetSize(std::int64_t size) {
    Seek(size, db::soBeginning);
    Truncate();
}

void TStrataBlobStream::Truncate() {
    CheckWritable();
    if (!opened_)
        return;
    const EngineErrorCode code =
        dataset_.Handle()->TruncateBlob(field_no_, record_, static_cast<std::uint32_t>(position_));
    if (code != kErrNone)
        Raise(code);
    modified_ = true;
}

}  // namespace strata
