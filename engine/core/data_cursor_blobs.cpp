#include <algorithm>
#include <cstring>

#include "engine/core/blob_file.h"
#include "engine/core/cursor_operation.h"
#include "engine/core/data_cursor.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"

namespace strata {

namespace {

constexpr std::int32_t kMaxBlobHandle = 2147483647;

std::int32_t ReferenceAt(ConstRecordBuffer buffer, std::size_t at) {
    return static_cast<std::int32_t>(GetU32(buffer, at + 1));
}

}  // namespace

std::optional<std::int32_t> TDataCursor::NewBlobHandle() const {
    // Small ids, never pointers: they must fit the field's four bytes.
    for (std::int32_t handle = 1; handle < kMaxBlobHandle; ++handle) {
        if (!IsOpenBlob(handle))
            return handle;
    }
    return std::nullopt;
}

bool TDataCursor::IsOpenBlob(std::int32_t handle) const {
    return handle > 0 && std::any_of(blobs_.begin(), blobs_.end(),
                                     [&](const OpenBlobEntry& e) { return e.handle == handle; });
}

void TDataCursor::RemoveBlob(std::int32_t handle) {
    const auto it = std::find_if(blobs_.begin(), blobs_.end(),
                                 [&](const OpenBlobEntry& e) { return e.handle == handle; });
    if (it != blobs_.end())
        blobs_.erase(it);
}

TDataCursor::OpenBlobEntry* TDataCursor::FindOpenBlob(std::uint32_t field, ConstRecordBuffer buffer,
                                                      EngineErrorCode& code) const {
    code = kErrNone;
    if (field == 0 || field > fields_.size()) {
        code = kErrInvalidBlobField;
        return nullptr;
    }
    const FieldDescriptor& d = DescriptorFor(field);
    const std::size_t at = FieldOffset(d);
    if (FieldType(d) != kTypeBlob || at + 9 > buffer.size()) {
        code = kErrInvalidBlobField;
        return nullptr;
    }
    const std::int32_t reference = ReferenceAt(buffer, at);
    if (reference >= 0) {
        code = kErrInvalidBlobHandle;
        return nullptr;
    }
    for (const OpenBlobEntry& entry : blobs_) {
        if (entry.handle == OpenBlobHandleOf(reference))
            return const_cast<OpenBlobEntry*>(&entry);
    }
    code = kErrInvalidBlobHandle;
    return nullptr;
}

TBlobBuffer* TDataCursor::FindBlob(std::uint32_t field, ConstRecordBuffer buffer) const {
    EngineErrorCode code = kErrNone;
    OpenBlobEntry* entry = FindOpenBlob(field, buffer, code);
    return entry == nullptr ? nullptr : entry->blob.get();
}

EngineErrorCode TDataCursor::OpenBlob(std::uint32_t field, RecordBuffer buffer, std::uint8_t mode) {
    CheckOpen();
    return CursorOperation::Run(*this, [&]() -> EngineErrorCode {
        if (field == 0 || field > fields_.size())
            return kErrInvalidBlobField;
        const FieldDescriptor& d = DescriptorFor(field);
        const std::size_t at = FieldOffset(d);
        if (FieldType(d) != kTypeBlob || at + 9 > buffer.size())
            return kErrInvalidBlobField;
        const std::int32_t reference = ReferenceAt(buffer, at);
        if (reference < 0)
            return IsOpenBlob(OpenBlobHandleOf(reference)) ? kErrNone : kErrInvalidBlobOffset;
        if (blobs_.size() >= kMaxOpenBlobs)
            return kErrTooManyBlobs;
        if (!table_->BlobFile().IsOpen())
            return kErrInvalidBlobField;
        const std::optional<std::int32_t> handle = NewBlobHandle();
        if (!handle)
            return kErrTooManyBlobs;
        OpenBlobEntry entry;
        entry.handle = *handle;
        entry.field = field;
        entry.mode = mode;
        entry.original_offset = buffer[at] != 0 ? GetU32(buffer, at + 1) : 0;
        entry.original_number = buffer[at] != 0 ? GetU32(buffer, at + 5) : 0;
        entry.blob = std::make_unique<TBlobBuffer>(table_->BlobFile(), this);
        entry.blob->field_number = static_cast<std::uint16_t>(field);
        entry.blob->record_number = RecordNumberOf(buffer);
        if (entry.original_offset != 0) {
            try {
                entry.blob->ReadBlob(entry.original_offset, entry.original_number);
            } catch (const EStrataEngineError& error) {
                return error.ErrorCode();
            }
        }
        PutU32(buffer, at + 1, static_cast<std::uint32_t>(-*handle));
        buffer[at] = 1;
        blobs_.push_back(std::move(entry));
        return kErrNone;
    });
}

EngineErrorCode TDataCursor::CloseBlob(std::uint32_t field, RecordBuffer buffer) {
    EngineErrorCode code = kErrNone;
    OpenBlobEntry* entry = FindOpenBlob(field, buffer, code);
    if (entry == nullptr)
        return code;
    const std::size_t at = FieldOffset(DescriptorFor(field));
    PutU32(buffer, at + 1, entry->original_offset);
    PutU32(buffer, at + 5, entry->original_number);
    buffer[at] = entry->original_offset != 0 ? 1 : 0;
    RemoveBlob(entry->handle);
    return kErrNone;
}

EngineErrorCode TDataCursor::ReadBlob(std::uint32_t field, ConstRecordBuffer buffer,
                                      std::uint32_t& out_count, std::uint32_t count,
                                      std::uint8_t* dest, std::uint32_t offset) {
    out_count = 0;
    EngineErrorCode code = kErrNone;
    OpenBlobEntry* entry = FindOpenBlob(field, buffer, code);
    if (entry == nullptr)
        return code;
    const std::uint64_t size = static_cast<std::uint64_t>(entry->blob->Size());
    const std::uint64_t end = std::uint64_t{offset} + count;
    const auto data = entry->blob->GetData();
    if (end <= size) {
        if (count > 0)
            std::memcpy(dest, data.data() + offset, count);
        out_count = count;
        return kErrNone;
    }
    if (offset < size) {
        out_count = static_cast<std::uint32_t>(size - offset);
        std::memcpy(dest, data.data() + offset, out_count);
    }
    return kErrEndOfBlob;
}

EngineErrorCode TDataCursor::WriteBlob(std::uint32_t field, ConstRecordBuffer buffer,
                                       std::uint32_t count, const std::uint8_t* source,
                                       std::uint32_t offset) {
    EngineErrorCode code = kErrNone;
    OpenBlobEntry* entry = FindOpenBlob(field, buffer, code);
    if (entry == nullptr)
        return code;
    const std::uint64_t end = std::uint64_t{offset} + count;
    if (end > static_cast<std::uint64_t>(kMaxBlobSize))
        return kErrInvalidBlobLength;
    TBlobBuffer& blob = *entry->blob;
    if (end > static_cast<std::uint64_t>(blob.Size())) {
        try {
            blob.SetSize(static_cast<std::int64_t>(end));
        } catch (const EStrataEngineError& error) {
            return error.ErrorCode();
        }
    }
    if (count > 0)
        std::memcpy(blob.GetData().data() + offset, source, count);
    blob.SetChanged(true);
    return kErrNone;
}

EngineErrorCode TDataCursor::TruncateBlob(std::uint32_t field, ConstRecordBuffer buffer,
                                          std::uint32_t new_size) {
    EngineErrorCode code = kErrNone;
    OpenBlobEntry* entry = FindOpenBlob(field, buffer, code);
    if (entry == nullptr)
        return code;
    if (new_size > static_cast<std::uint64_t>(kMaxBlobSize))
        return kErrInvalidBlobLength;
    try {
        entry->blob->SetSize(new_size);
    } catch (const EStrataEngineError& error) {
        return error.ErrorCode();
    }
    return kErrNone;
}

EngineErrorCode TDataCursor::GetBlobSize(std::uint32_t field, ConstRecordBuffer buffer,
                                         std::uint32_t& size) {
    size = 0;
    EngineErrorCode code = kErrNone;
    OpenBlobEntry* entry = FindOpenBlob(field, buffer, code);
    if (entry == nullptr)
        return code;
    size = static_cast<std::uint32_t>(entry->blob->Size());
    return kErrNone;
}

void TDataCursor::EmptyBlobs(RecordBuffer record) {
    for (std::uint32_t n = 1; n <= fields_.size(); ++n) {
        if (FieldType(fields_[n - 1]) != kTypeBlob || FieldNotStored(fields_[n - 1]))
            continue;
        EngineErrorCode code = OpenBlob(n, record, kBlobOpenReadWrite);
        if (code == kErrNone)
            code = TruncateBlob(n, record, 0);
        if (code != kErrNone)
            Raise(code, FieldName(fields_[n - 1]));
    }
}

void TDataCursor::PutBlobHandles(RecordBuffer record) {
    for (std::uint32_t n = 1; n <= fields_.size(); ++n) {
        if (FieldType(fields_[n - 1]) != kTypeBlob)
            continue;
        EngineErrorCode code = kErrNone;
        OpenBlobEntry* entry = FindOpenBlob(n, record, code);
        if (entry == nullptr)
            continue;
        const std::size_t at = FieldOffset(fields_[n - 1]);
        PutU32(record, at + 1, entry->blob->FirstBlock());
        PutU32(record, at + 5, entry->blob->BlobNumber());
        record[at] = entry->blob->FirstBlock() != 0 ? 1 : 0;
    }
}

void TDataCursor::FreeBlobs() {
    while (!blobs_.empty())
        blobs_.pop_back();
}

void TDataCursor::WriteBufferBlobs(RecordBuffer buffer,
                                   std::vector<std::pair<std::uint32_t, std::uint32_t>>& written) {
    for (std::uint32_t n = 1; n <= fields_.size(); ++n) {
        const FieldDescriptor& field = fields_[n - 1];
        if (FieldType(field) != kTypeBlob || FieldNotStored(field))
            continue;
        const std::size_t at = FieldOffset(field);
        const std::int32_t reference = ReferenceAt(buffer, at);
        if (reference >= 0)
            continue;
        EngineErrorCode code = kErrNone;
        OpenBlobEntry* entry = FindOpenBlob(n, buffer, code);
        if (entry == nullptr)
            Raise(code, FieldName(field));
        TBlobBuffer& blob = *entry->blob;
        if (!blob.Changed()) {
            PutU32(buffer, at + 1, entry->original_offset);
            PutU32(buffer, at + 5, entry->original_number);
            buffer[at] = entry->original_offset != 0 ? 1 : 0;
            continue;
        }
        if (blob.Size() == 0) {
            std::fill_n(buffer.begin() + static_cast<std::ptrdiff_t>(at), 9, 0);
            continue;
        }
        // A new chain: the stored record keeps its old blob until it is
        // rewritten.
        blob.SetReference(0, 0);
        blob.record_number = RecordNumberOf(buffer);
        const std::uint32_t number = table_->DataFile().NextBlobNumber();
        const std::uint32_t first = blob.WriteBlob(number);
        written.emplace_back(first, number);
        PutU32(buffer, at + 1, first);
        PutU32(buffer, at + 5, number);
        buffer[at] = 1;
    }
}

void TDataCursor::FreeWrittenChains(
    const std::vector<std::pair<std::uint32_t, std::uint32_t>>& chains) noexcept {
    for (const auto& [first, number] : chains) {
        try {
            table_->BlobFile().FreeChain(this, first, number);
        } catch (...) {
        }
    }
}

void TDataCursor::CollectBlobChains(
    ConstRecordBuffer record, std::vector<std::pair<std::uint32_t, std::uint32_t>>& chains) const {
    for (const FieldDescriptor& field : fields_) {
        if (FieldType(field) != kTypeBlob || FieldNotStored(field))
            continue;
        const std::size_t at = FieldOffset(field);
        if (record[at] != 0 && GetU32(record, at + 1) != 0 && ReferenceAt(record, at) > 0)
            chains.emplace_back(GetU32(record, at + 1), GetU32(record, at + 5));
    }
}

}  // namespace strata
