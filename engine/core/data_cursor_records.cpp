#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <exception>
#include <span>
#include <utility>

#include "engine/core/cursor_operation.h"
#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/index_tree.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/text_compare.h"
#include "engine/storage/value_convert.h"
#include "platform/db/date_time.h"
#include "platform/nls/nls.h"
#include "platform/nls/text.h"

namespace strata {

namespace {

template <class T>
int Sign(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

// One step that takes back part of a half-done write. Keys are referenced,
// not copied: they must outlive the log.
struct UndoStep {
    enum class Kind : std::uint8_t { kInsertKey, kDeleteKey, kFreeChains };
    Kind kind;
    int slot;
    std::uint32_t record;
    // A pointer and a length rather than a span, so that the log's array of
    // steps needs no construction.
    const std::uint8_t* key_data;
    std::size_t key_size;
    std::span<const std::uint8_t> Key() const { return {key_data, key_size}; }
};

// Runs its steps, last first, unless the scope was committed. The steps sit
// in the log itself for every usual write, so a write allocates nothing here.
template <class Apply>
class UndoLog {
  public:
    explicit UndoLog(Apply apply) : apply_(std::move(apply)) {}
    ~UndoLog() {
        while (!overflow_.empty()) {
            Run(overflow_.back());
            overflow_.pop_back();
        }
        while (count_ > 0)
            Run(steps_[--count_]);
    }
    UndoLog(const UndoLog&) = delete;
    UndoLog& operator=(const UndoLog&) = delete;

    void Add(UndoStep::Kind kind, int slot, std::span<const std::uint8_t> key,
             std::uint32_t record = 0) {
        const UndoStep step{kind, slot, record, key.data(), key.size()};
        if (count_ < steps_.size())
            steps_[count_++] = step;
        else
            overflow_.push_back(step);
    }
    void Commit() {
        count_ = 0;
        overflow_.clear();
    }

  private:
    void Run(const UndoStep& step) noexcept {
        try {
            apply_(step);
        } catch (...) {
            // Best effort: the remaining steps still run.
        }
    }

    Apply apply_;
    // Left unset: only the first count_ steps are ever read.
    std::array<UndoStep, 72> steps_;
    std::size_t count_ = 0;
    std::vector<UndoStep> overflow_;
};

// Releases the table's write lock at the end of a write.
class WriteLockScope {
  public:
    explicit WriteLockScope(TDataTable& table) : table_(table) { changed_ = table_.WriteLock(); }
    ~WriteLockScope() {
        if (finished_)
            return;
        try {
            table_.WriteUnlock();
        } catch (...) {
        }
    }
    // Ends the write now: a row lock that went with it (SetUnlocksWithWrite) and would not go
    // is reported as its own unlock would have been.
    void Finish() {
        finished_ = true;
        try {
            table_.WriteUnlock();
        } catch (const EStrataEngineError& error) {
            if (error.ErrorCode() == kErrUnlock)
                throw;
        } catch (...) {
        }
    }
    WriteLockScope(const WriteLockScope&) = delete;
    WriteLockScope& operator=(const WriteLockScope&) = delete;
    bool Changed() const { return changed_; }

  private:
    TDataTable& table_;
    bool changed_ = false;
    bool finished_ = false;
};

}  // namespace

std::uint32_t TDataCursor::RecordIdOf(ConstRecordBuffer buffer) {
    return buffer.size() >= kRecordHeaderSize ? GetU32(buffer, 5) : 0;
}

void TDataCursor::SetRecordIdOf(RecordBuffer buffer, std::uint32_t id) {
    if (buffer.size() >= kRecordHeaderSize)
        PutU32(buffer, 5, id);
}

std::uint32_t TDataCursor::RecordNumberOf(ConstRecordBuffer buffer) {
    return buffer.size() >= kRecordHeaderSize ? GetU32(buffer, 1) : 0;
}

bool TDataCursor::ReadStoredRecord(std::uint32_t number, std::vector<std::uint8_t>& out) {
    TDataFile& data = table_->DataFile();
    if (number == 0 || number > data.GetRecordSlots())
        return false;
    TRecord* record = data.GetRecord(number);
    const auto bytes = record->Buffer();
    out.assign(bytes.begin(), bytes.end());
    data.ReleaseRecord(record);
    return true;
}

void TDataCursor::BuildKeyInto(int slot, ConstRecordBuffer record,
                               std::vector<std::uint8_t>& key) const {
    if (slot == kHiddenIndexSlot || slot < 0) {
        key = BuildKeyFor(slot, record);
        return;
    }
    const IndexState& state = SlotState(slot);
    // Not cleared: the builder writes every byte.
    key.resize(state.key_size);
    BuildRecordKey(
        state.fields,
        record.first(std::min<std::size_t>(record.size(), table_->DataFile().GetRecordSize())), key,
        state.case_insensitive, state.descending, language_, sort_, !state.unique);
}

std::size_t TDataCursor::KeySlots(KeySlotList& slots) const {
    static_assert(std::tuple_size_v<KeySlotList> == kIndexSlotCount);
    std::size_t count = 0;
    if (!HasNoPrimaryIndex())
        slots[count++] = 0;
    const int last =
        std::min<int>(table_->IndexFile().GetIndexCount(), static_cast<int>(slots.size()) - 1);
    for (int slot = 1; slot <= last; ++slot)
        slots[count++] = slot;
    return count;
}

EngineErrorCode TDataCursor::GetCurrentRecord(RecordBuffer buffer, bool lock) {
    CheckOpen();
    return CursorOperation::Run(*this, [&]() -> EngineErrorCode {
        if (lock && !bof_ && !eof_) {
            // Taking the lock may bring in another program's change and move the cursor: the
            // lock is on this number, and only this one is given back.
            const std::uint32_t locked = GetCurrentRecordNo();
            LockRecord(locked);
            if (!exclusive_) {
                const std::size_t n =
                    std::min<std::size_t>(buffer.size(), table_->DataFile().GetRecordSize());
                FetchCurrent();
                if (bof_ || eof_ || record_no_ != locked ||
                    !std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n),
                                current_.begin())) {
                    UnlockRecord(locked);
                    Raise(kErrRecordChanged);
                }
            }
        }
        ClearRecordBuffer(buffer);
        // Where the view emptied nothing is handed out: the place kept before stays the one
        // to come back to.
        if (bof_ && eof_)
            return kErrNoCurrentRecord;
        // From here the row the cursor stands on is the caller's current one.
        ForgetVanishedPlace();
        if (bof_)
            return kErrBeginningOfFile;
        if (eof_)
            return kErrEndOfFile;
        FetchCurrent();
        std::copy_n(current_.begin(), std::min(current_.size(), buffer.size()), buffer.begin());
        return kErrNone;
    });
}

EngineErrorCode TDataCursor::GetNextRecord(RecordBuffer buffer) {
    CheckOpen();
    return CursorOperation::Run(*this, [&]() -> EngineErrorCode {
        if (!StepOnce(true)) {
            ClearRecordBuffer(buffer);
            return kErrEndOfFile;
        }
        return ReadCurrentInto(buffer);
    });
}

EngineErrorCode TDataCursor::ReadCurrentInto(RecordBuffer buffer) {
    FetchCurrent();
    // Each byte of the buffer written once: the record, then zeros past it.
    const std::size_t n = std::min(current_.size(), buffer.size());
    std::copy_n(current_.begin(), n, buffer.begin());
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(n), buffer.end(), 0);
    return kErrNone;
}

EngineErrorCode TDataCursor::GetPriorRecord(RecordBuffer buffer) {
    CheckOpen();
    return CursorOperation::Run(*this, [&]() -> EngineErrorCode {
        ClearRecordBuffer(buffer);
        if (!StepOnce(false))
            return kErrBeginningOfFile;
        FetchCurrent();
        std::copy_n(current_.begin(), std::min(current_.size(), buffer.size()), buffer.begin());
        return kErrNone;
    });
}

EngineErrorCode TDataCursor::CopyCurrentRecord(RecordBuffer buffer) {
    CheckOpen();
    return CursorOperation::Run(*this, [&]() -> EngineErrorCode {
        if (bof_ || eof_)
            return kErrNoCurrentRecord;
        FetchCurrent();
        ClearRecordBuffer(buffer);
        std::vector<std::uint8_t> source = current_;
        std::vector<std::uint8_t> value(256);
        for (std::uint32_t n = 1; n <= field_count_; ++n) {
            const FieldDescriptor& field = fields_[n - 1];
            if (FieldIsAutoInc(field) || FieldNotStored(field))
                continue;
            bool is_null = true;
            GetFieldWith(field, source, is_null, value);
            if (is_null)
                continue;
            if (FieldType(field) != kTypeBlob) {
                PutFieldWith(field, buffer, value.data());
                continue;
            }
            CopyBlobInto(n, source, *this, buffer);
        }
        if (fetch_option_)
            SetRecordIdOf(buffer, RecordIdOf(source));
        return kErrNone;
    });
}

void TDataCursor::CopyBlobInto(std::uint32_t field, RecordBuffer source, TDataCursor& target,
                               RecordBuffer into) {
    std::uint32_t size = 0;
    EngineErrorCode code = OpenBlob(field, source, kBlobOpenRead);
    if (code == kErrNone)
        code = GetBlobSize(field, source, size);
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t got = 0;
    if (code == kErrNone && size > 0)
        code = ReadBlob(field, source, got, size, bytes.data(), 0);
    if (code == kErrNone)
        code = target.OpenBlob(field, into, kBlobOpenReadWrite);
    if (code == kErrNone && size > 0)
        code = target.WriteBlob(field, into, size, bytes.data(), 0);
    CloseBlob(field, source);
    if (code != kErrNone)
        Raise(code, FieldName(fields_[field - 1]));
}

void TDataCursor::ClearRecordBuffer(RecordBuffer buffer) const {
    std::fill(buffer.begin(), buffer.end(), 0);
}

const FieldDescriptor& TDataCursor::FindDescriptor(std::uint32_t number) const {
    if (restructure_mode_) {
        for (const FieldDescriptor& f : fields_) {
            if (FieldNumber(f) == number)
                return f;
        }
    } else if (number >= 1 && number <= fields_.size()) {
        return fields_[number - 1];
    }
    Raise(kErrInvalidField, std::to_string(number));
}

const FieldDescriptor& TDataCursor::GetFieldDesc(std::uint32_t number) const {
    if (number == 0 || number > fields_.size())
        Raise(kErrInvalidField, std::to_string(number));
    return DescriptorFor(number);
}

FieldDescriptor TDataCursor::GetTableFieldDesc(std::uint32_t number) const {
    if (table_ == nullptr || number == 0 || number > table_->DataFile().GetFieldCount())
        Raise(kErrInvalidField, std::to_string(number));
    return table_->DataFile().GetFieldDescriptor(number);
}

bool TDataCursor::FindFieldDesc(std::string_view name, FieldDescriptor& out) const {
    if (table_ == nullptr)
        return false;
    for (std::uint32_t n = 1; n <= table_->DataFile().GetFieldCount(); ++n) {
        const FieldDescriptor d = table_->DataFile().GetFieldDescriptor(n);
        if (platform::nls::SameTextAnsi(FieldName(d), name)) {
            out = d;
            return true;
        }
    }
    return false;
}

void TDataCursor::SetFieldDesc(std::uint32_t number, const FieldDescriptor& descriptor) {
    FieldDescriptor d = GetTableFieldDesc(number);
    for (const auto& [at, length] : std::initializer_list<std::pair<std::size_t, std::size_t>>{
             {fd::kName, fd::kNameLength + 1},
             {fd::kDescription, fd::kTextLength + 1},
             {fd::kType, 2},
             {fd::kRequired, 1},
             {fd::kMinimum, fd::kTextLength + 1},
             {fd::kMaximum, fd::kTextLength + 1},
             {fd::kDefault, fd::kTextLength + 1}}) {
        std::copy_n(descriptor.begin() + static_cast<std::ptrdiff_t>(at), length,
                    d.begin() + static_cast<std::ptrdiff_t>(at));
    }
    table_->DataFile().SetFieldDescriptor(number, d);
    if (number <= fields_.size())
        fields_[number - 1] = d;
    // A default, a check or a type given here counts from the next record on.
    NoteFieldTraits();
    defaults_prepared_ = false;
}

std::uint32_t TDataCursor::GetBlobBlockCount(std::int64_t length) {
    const std::int64_t per_block = GetBlobDataPerBlock();
    return static_cast<std::uint32_t>((std::max<std::int64_t>(length, 0) + per_block - 1) /
                                      per_block);
}

void TDataCursor::GetFieldWith(const FieldDescriptor& field, ConstRecordBuffer buffer,
                               bool& is_null, std::span<std::uint8_t> value) const {
    // The value is cleared beyond the bytes copied into it, each byte written once.
    const std::size_t size = FieldDataSize(field);
    if (FieldIsAutoInc(field)) {
        std::fill(value.begin(), value.end(), 0);
        is_null = false;
        if (value.size() >= 4)
            PutU32(value, 0, RecordIdOf(buffer));
        return;
    }
    const std::size_t at = FieldOffset(field);
    if (at + 1 + size > buffer.size()) {
        std::fill(value.begin(), value.end(), 0);
        Raise(kErrInvalidField, FieldName(field));
    }
    is_null = buffer[at] == 0;
    if (FieldType(field) == kTypeBlob && !is_null) {
        const auto reference = static_cast<std::int32_t>(GetU32(buffer, at + 1));
        if (reference < 0 && IsOpenBlob(OpenBlobHandleOf(reference))) {
            EngineErrorCode code = kErrNone;
            const OpenBlobEntry* entry = FindOpenBlob(FieldNumber(field), buffer, code);
            is_null = entry == nullptr || entry->blob->Size() == 0;
        }
    }
    const std::size_t copied = std::min(size, value.size());
    std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(at) + 1, copied, value.begin());
    std::fill(value.begin() + static_cast<std::ptrdiff_t>(copied), value.end(), 0);
}

void TDataCursor::GetFieldRaw(std::uint32_t number, ConstRecordBuffer buffer, bool& is_null,
                              std::span<std::uint8_t> value) const {
    GetFieldWith(GetTableFieldDesc(number), buffer, is_null, value);
}

void TDataCursor::PutFieldWith(const FieldDescriptor& field, RecordBuffer buffer,
                               const std::uint8_t* value) {
    const std::size_t size = FieldDataSize(field);
    if (FieldIsAutoInc(field)) {
        if (value != nullptr)
            SetRecordIdOf(buffer, GetU32(std::span(value, 4), 0));
        return;
    }
    const std::size_t at = FieldOffset(field);
    if (at + 1 + size > buffer.size())
        Raise(kErrInvalidField, FieldName(field));
    std::span<std::uint8_t> data = buffer.subspan(at + 1, size);
    if (value == nullptr) {
        buffer[at] = 0;
        std::fill(data.begin(), data.end(), 0);
        return;
    }
    switch (FieldType(field)) {
        case kTypeString: {
            const std::size_t limit = size == 0 ? 0 : size - 1;
            std::size_t length = strnlen(reinterpret_cast<const char*>(value), limit);
            while (length > 0 && value[length - 1] == ' ')
                --length;
            if (field[fd::kCharCase] != 1 && field[fd::kCharCase] != 2) {
                // Written in place, without a copy per value; the value may be the field's own
                // bytes.
                if (length > 0)
                    std::memmove(data.data(), value, length);
                std::fill(data.begin() + static_cast<std::ptrdiff_t>(length), data.end(), 0);
                buffer[at] = length == 0 ? 0 : 1;
                break;
            }
            std::string text(reinterpret_cast<const char*>(value), length);
            if (field[fd::kCharCase] == 1)
                text = LowerCaseLang(language_, sort_, text);
            else if (field[fd::kCharCase] == 2)
                text = UpperCaseLang(language_, sort_, text);
            std::fill(data.begin(), data.end(), 0);
            std::copy(text.begin(), text.end(), data.begin());
            buffer[at] = text.empty() ? 0 : 1;
            break;
        }
        case kTypeBlob: {
            std::copy_n(value, size, data.begin());
            const auto reference = static_cast<std::int32_t>(GetU32(data, 0));
            bool set = reference > 0;
            if (reference < 0) {
                for (const OpenBlobEntry& entry : blobs_) {
                    if (entry.handle == OpenBlobHandleOf(reference))
                        set = entry.blob->Size() > 0;
                }
            }
            buffer[at] = set ? 1 : 0;
            break;
        }
        case kTypeBoolean:
            PutU16(data, 0, (value[0] != 0 || value[1] != 0) ? 1 : 0);
            buffer[at] = 1;
            break;
        default:
            std::copy_n(value, size, data.begin());
            buffer[at] = 1;
            break;
    }
}

void TDataCursor::PutField(std::uint32_t number, RecordBuffer buffer, const std::uint8_t* value,
                           bool computed_write) {
    const FieldDescriptor& field = DescriptorFor(number);
    if (FieldNotStored(field) && !computed_write)
        return;
    PutFieldWith(field, buffer, value);
    if (!FieldNotStored(field))
        EvaluateComputedFields(buffer);
}

void TDataCursor::PutFieldRaw(std::uint32_t number, RecordBuffer buffer,
                              const std::uint8_t* value) {
    PutFieldWith(GetTableFieldDesc(number), buffer, value);
}

std::optional<TDataCursor::FieldCopy> TDataCursor::PlanFieldCopy(
    std::uint32_t number, const TDataCursor& source, std::uint32_t source_number) const {
    const FieldDescriptor& field = DescriptorFor(number);
    const FieldDescriptor& from = source.DescriptorFor(source_number);
    const std::uint8_t type = FieldType(field);
    const std::size_t size = FieldDataSize(field);
    if (type != FieldType(from) || size != FieldDataSize(from) || type == kTypeBlob ||
        FieldIsAutoInc(field) || FieldIsAutoInc(from) || FieldNotStored(field) ||
        (type == kTypeString && (field[fd::kCharCase] == 1 || field[fd::kCharCase] == 2))) {
        return std::nullopt;
    }
    return FieldCopy{FieldOffset(from), FieldOffset(field), size, type};
}

void TDataCursor::CopyField(const FieldCopy& copy, RecordBuffer buffer,
                            ConstRecordBuffer source_record) {
    const std::size_t size = copy.size;
    if (copy.from_at + 1 + size > source_record.size() || copy.to_at + 1 + size > buffer.size())
        Raise(kErrInvalidField);
    const std::uint8_t* value = source_record.data() + copy.from_at + 1;
    const std::span<std::uint8_t> data = buffer.subspan(copy.to_at + 1, size);
    std::uint8_t& flag = buffer[copy.to_at];
    if (source_record[copy.from_at] == 0) {
        flag = 0;
        std::fill(data.begin(), data.end(), 0);
    } else if (copy.type == kTypeString) {
        // As PutField takes a text: up to its first zero, trailing blanks dropped.
        std::size_t length =
            strnlen(reinterpret_cast<const char*>(value), size == 0 ? 0 : size - 1);
        while (length > 0 && value[length - 1] == ' ')
            --length;
        std::copy_n(value, length, data.begin());
        std::fill(data.begin() + static_cast<std::ptrdiff_t>(length), data.end(), 0);
        flag = length == 0 ? 0 : 1;
    } else if (copy.type == kTypeBoolean) {
        PutU16(data, 0, (value[0] != 0 || value[1] != 0) ? 1 : 0);
        flag = 1;
    } else {
        std::copy_n(value, size, data.begin());
        flag = 1;
    }
    if (has_computed_)
        EvaluateComputedFields(buffer);
}

void TDataCursor::InitNewRecord(RecordBuffer buffer) {
    CheckOpen();
    ClearRecordBuffer(buffer);
    PutDefaults(buffer);
    // A new record shows its computed fields before any field is written.
    EvaluateComputedFields(buffer);
}

void TDataCursor::PutDefaults(RecordBuffer buffer) {
    if (!has_defaults_)
        return;
    // A default that is a constant is converted once: an import appends thousands of records.
    if (!defaults_prepared_)
        PrepareDefaults();
    for (const auto& [index, value] : constant_defaults_)
        PutFieldWith(fields_[index], buffer, value.data());
    for (const std::size_t index : clock_defaults_) {
        const FieldDescriptor& field = fields_[index];
        DefaultValue value{};
        if (ClockDefault(field, GetShortString(field, fd::kDefault, fd::kTextLength), value))
            PutFieldWith(field, buffer, value.data());
    }
}

void TDataCursor::PrepareDefaults() {
    constant_defaults_.clear();
    clock_defaults_.clear();
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        const FieldDescriptor& field = fields_[i];
        const std::string text = GetShortString(field, fd::kDefault, fd::kTextLength);
        if (text.empty() || FieldIsAutoInc(field) || FieldNotStored(field))
            continue;
        DefaultValue value{};
        if (ClockDefault(field, text, value)) {
            clock_defaults_.push_back(i);
            continue;
        }
        bool ok = true;
        if (FieldType(field) == kTypeString)
            std::copy_n(text.begin(), std::min<std::size_t>(text.size(), 255), value.begin());
        else
            ok = TextToFieldValue(field, text, std::span(value).first(FieldDataSize(field)));
        if (ok)
            constant_defaults_.emplace_back(i, value);
    }
    defaults_prepared_ = true;
}

bool TDataCursor::ClockDefault(const FieldDescriptor& field, std::string_view text,
                               DefaultValue& value) const {
    const std::uint8_t type = FieldType(field);
    auto is = [&](const char* word) { return platform::nls::SameTextAnsi(text, word); };
    if (type == kTypeDate && is("DATE")) {
        PutU32(value, 0, static_cast<std::uint32_t>(DateTimeToEngineDate(db::Date())));
    } else if (type == kTypeTime && is("TIME")) {
        PutU32(value, 0, static_cast<std::uint32_t>(DateTimeToEngineTime(db::Now())));
    } else if (type == kTypeTimestamp && is("NOW")) {
        PutF64(value, 0, DateTimeToEngineTimestamp(db::Now()));
    } else if (type == kTypeTimestamp && is("DATE")) {
        PutF64(value, 0, DateTimeToEngineTimestamp(db::Date()));
    } else if (type == kTypeTimestamp && is("TIME")) {
        const db::TDateTime now = db::Now();
        PutF64(value, 0,
               DateTimeToEngineTimestamp(db::TDateTime(now.Value - std::floor(now.Value))));
    } else {
        return false;
    }
    return true;
}

int TDataCursor::CompareFieldValue(const FieldDescriptor& field, const std::uint8_t* a,
                                   const std::uint8_t* b) const {
    const std::size_t size = FieldDataSize(field);
    const std::span<const std::uint8_t> x(a, size);
    const std::span<const std::uint8_t> y(b, size);
    switch (FieldType(field)) {
        case kTypeString:
            return CompareStrings(
                language_, sort_,
                std::string_view(reinterpret_cast<const char*>(a),
                                 strnlen(reinterpret_cast<const char*>(a), size)),
                false, 0,
                std::string_view(reinterpret_cast<const char*>(b),
                                 strnlen(reinterpret_cast<const char*>(b), size)));
        case kTypeDate:
        case kTypeInteger:
        case kTypeTime:
            return Sign(static_cast<std::int32_t>(GetU32(x, 0)),
                        static_cast<std::int32_t>(GetU32(y, 0)));
        case kTypeSmallInt:
            return Sign(static_cast<std::int16_t>(GetU16(x, 0)),
                        static_cast<std::int16_t>(GetU16(y, 0)));
        case kTypeWord:
            return Sign(GetU16(x, 0), GetU16(y, 0));
        case kTypeFloat:
        case kTypeTimestamp:
            return Sign(GetF64(x, 0), GetF64(y, 0));
        case kTypeBCD:
            return Sign(static_cast<std::int64_t>(GetU64(x, 0)),
                        static_cast<std::int64_t>(GetU64(y, 0)));
        default:
            return 0;
    }
}

void TDataCursor::ValidateRecord(ConstRecordBuffer buffer) {
    if (!has_validity_checks_)
        return;
    std::array<std::uint8_t, 256> value{};
    std::array<std::uint8_t, 256> limit{};
    for (const FieldDescriptor& field : fields_) {
        if (FieldNotStored(field))
            continue;
        bool is_null = true;
        GetFieldWith(field, buffer, is_null, value);
        if (is_null) {
            if (field[fd::kRequired] != 0)
                Raise(kErrRequiredValue, FieldName(field));
            continue;
        }
        const std::uint8_t type = FieldType(field);
        if (type == kTypeBlob || type == kTypeBoolean || type == kTypeBytes ||
            type == kTypeVarBytes) {
            continue;
        }
        const std::string minimum = GetShortString(field, fd::kMinimum, fd::kTextLength);
        if (!minimum.empty() &&
            TextToFieldValue(field, minimum, std::span(limit).first(FieldDataSize(field))) &&
            CompareFieldValue(field, value.data(), limit.data()) < 0) {
            Raise(kErrBelowMinimum, FieldName(field));
        }
        const std::string maximum = GetShortString(field, fd::kMaximum, fd::kTextLength);
        if (!maximum.empty() &&
            TextToFieldValue(field, maximum, std::span(limit).first(FieldDataSize(field))) &&
            CompareFieldValue(field, value.data(), limit.data()) > 0) {
            Raise(kErrAboveMaximum, FieldName(field));
        }
    }
}

void TDataCursor::LockIfNotHeld(std::uint32_t record, bool& locked_here) {
    locked_here = false;
    if (table_->RecordLocked(record))
        return;
    table_->LockRecord(record);
    locked_here = table_->RecordLocked(record);
}

void TDataCursor::LockRecord(std::uint32_t number) {
    CheckOpen();
    // The table takes its read lock with the record's. Called on its own, the call is the
    // operation and the read lock ends with it: held on, it would keep every writer of the
    // table out (another session's or program's batch fails its write lock) while the record
    // stays locked.
    struct ReadLockScope {
        TDataCursor& cursor;
        const bool outermost;
        ~ReadLockScope() {
            if (outermost)
                cursor.EndOperation();
        }
    } scope{*this, !in_operation_};
    in_operation_ = true;
    const std::uint32_t n = number != 0 ? number : GetCurrentRecordNo();
    if (n == 0)
        Raise(kErrNoCurrentRecord);
    // Another program may have added the row since this one last looked: the slot count is
    // read again before the number is refused.
    if (n > table_->DataFile().GetRecordSlots() && !exclusive_ &&
        (table_->ReadLock() || CountersDiffer())) {
        ResyncAndReturn();
    }
    // A number past the last slot names no record: nothing is locked for it, nor sized for it.
    if (n > table_->DataFile().GetRecordSlots())
        Raise(kErrRecordNotFound);
    TRecordsBitmap& locked = table_->CursorLockedRecords();
    if (locked.RecordCount() <= n)
        locked.SetRecordCount(std::int64_t{n} + 1);
    if (locked.IsSet(n))
        Raise(kErrRecordLocked);
    // Strict detection checks at every operation's start, and the lock is one.
    const bool changed = table_->LockRecord(n, directory_.Session().StrictChangeDetection());
    locked.SetBit(n);
    own_locks_.push_back(n);
    EngineErrorCode refused = kErrNone;
    try {
        if (changed || (!exclusive_ && CountersDiffer())) {
            // Taking the lock leaves the cursor where it was, or, where its row went or moved,
            // on a neighbour whose step goes from the row's place; a cursor at an end stays.
            ResyncAndReturn();
            // The current row the caller meant to lock is gone.
            if (number == 0 && (bof_ || eof_ || record_no_ != n))
                refused = kErrRecordChanged;
        }
        // Only a live row is locked: a lock on a free slot or past the last would be reported
        // as held while it guards nothing, and a row put there later would be held by it.
        if (refused == kErrNone)
            refused = RecordGone(n);
    } catch (...) {
        // A call that fails holds nothing it took.
        try {
            UnlockRecord(n);
        } catch (const EStrataEngineError&) {
        }
        throw;
    }
    if (refused != kErrNone) {
        UnlockRecord(n);
        Raise(refused);
    }
}

EngineErrorCode TDataCursor::RecordGone(std::uint32_t number) {
    TDataFile& data = table_->DataFile();
    if (number > data.GetRecordSlots())
        return kErrRecordNotFound;
    TRecord* record = data.GetRecord(number);
    const bool free = record->Buffer()[0] != 0;
    data.ReleaseRecord(record);
    return free ? kErrRecordChanged : kErrNone;
}

void TDataCursor::UnlockRecord(std::uint32_t number) {
    CheckOpen();
    const std::uint32_t n = number != 0 ? number : GetCurrentRecordNo();
    // Another cursor's explicit lock is that cursor's to give back: it still counts it as held.
    const bool own = OwnsLock(n);
    if (table_->CursorLockedRecords().IsSet(n) && !own)
        Raise(kErrUnlock);
    // A lock taken under the table lock holds no record lock of its own; where none could be
    // taken when the table lock went, only this cursor's note of it is left to give back.
    if (!own || table_->RecordLocked(n))
        table_->UnlockRecord(n);
    table_->CursorLockedRecords().ClearBit(n);
    const auto it = std::find(own_locks_.begin(), own_locks_.end(), n);
    if (it != own_locks_.end())
        own_locks_.erase(it);
}

void TDataCursor::KeepSharedHold(bool& holds, TDataTable::SharedHold kind, bool was_locked,
                                 bool changed, void (TDataTable::*release)()) {
    const bool was_holder = std::exchange(holds, true);
    if (!was_holder)
        table_->AddHolder(kind);
    try {
        if (changed || (!exclusive_ && CountersDiffer()))
            ResyncAndReturn();
    } catch (...) {
        // A call that fails holds nothing it took: its caller has nothing to release.
        if (!was_holder) {
            holds = false;
            table_->DropHolder(kind);
        }
        if (!was_locked) {
            try {
                (table_->*release)();
            } catch (...) {
            }
        }
        throw;
    }
}

void TDataCursor::LockTable() {
    CheckOpen();
    const bool was_locked = table_->TableLocked();
    const bool changed = table_->LockTable();
    KeepSharedHold(holds_table_lock_, TDataTable::SharedHold::kTable, was_locked, changed,
                   &TDataTable::UnlockTable);
}

void TDataCursor::UnlockTable() {
    CheckOpen();
    table_->UnlockTable();
    if (std::exchange(holds_table_lock_, false))
        table_->DropHolder(TDataTable::SharedHold::kTable);
}

void TDataCursor::HoldReadLock() {
    CheckOpen();
    const bool was_locked = table_->StatementReadLocked();
    const bool changed = table_->BeginReadLock();
    KeepSharedHold(holds_statement_lock_, TDataTable::SharedHold::kStatementRead, was_locked,
                   changed, &TDataTable::EndReadLock);
}

void TDataCursor::ReleaseReadLock() {
    CheckOpen();
    table_->EndReadLock();
    if (std::exchange(holds_statement_lock_, false))
        table_->DropHolder(TDataTable::SharedHold::kStatementRead);
}

void TDataCursor::ReleaseSharedLocksBeforeClose(FirstFailure& failure) noexcept {
    // The table object keeps its files, and its locks, while other cursors of this program use
    // it: a lock that only this cursor still wants would hold the table against every other
    // program until they close. One that will not go is left to the table's last close.
    if (std::exchange(holds_statement_lock_, false) &&
        table_->DropHolder(TDataTable::SharedHold::kStatementRead) == 0) {
        failure.Run([&] { table_->EndReadLock(); });
    }
    if (std::exchange(holds_table_lock_, false) &&
        table_->DropHolder(TDataTable::SharedHold::kTable) == 0) {
        failure.Run([&] { table_->UnlockTable(); });
    }
}

void TDataCursor::ReadLock() {
    CheckOpen();
    if (table_->ReadLock() || (!exclusive_ && CountersDiffer()))
        ResyncAndReturn();
}

void TDataCursor::ReadUnlock() {
    CheckOpen();
    table_->ReadUnlock();
}

void TDataCursor::WriteLock() {
    CheckOpen();
    if (table_->WriteLock() || (!exclusive_ && CountersDiffer()))
        ResyncAndReturn();
}

void TDataCursor::WriteUnlock() {
    CheckOpen();
    table_->WriteUnlock();
}

void TDataCursor::FlushBuffers(bool trim, bool force_data_header, bool force_index_header) {
    CheckOpen();
    // Others' changes are taken in first: the counters kept after the flush would hide them.
    CursorOperation operation(*this);
    table_->FlushBuffers(trim, force_data_header, force_index_header);
    SaveTableCounters();
}

void TDataCursor::FlushToDisk() {
    CheckOpen();
    table_->FlushFiles();
}

void TDataCursor::DiscardBuffers(bool trim, bool reread_headers) {
    CheckOpen();
    table_->DiscardBuffers(trim, reread_headers);
}

void TDataCursor::AfterWrite(std::uint32_t record, ConstRecordBuffer stored, bool reposition,
                             bool deleted, std::span<const std::uint8_t> current_key) {
    if (deleted) {
        FilterRecordDeleted(record);
        if (!reposition)
            return;
        ForgetVanishedPlace();
        if (physical_) {
            if (record_no_ == record && !bof_ && !eof_) {
                std::int64_t r = record;
                std::int64_t position = 0;
                if (view_.FindNext(r, 1, position)) {
                    record_no_ = static_cast<std::uint32_t>(r);
                    PutU32(current_key_, 0, record_no_);
                } else {
                    bof_ = false;
                    eof_ = true;
                }
            }
        } else if (!bof_ && !eof_) {
            const std::vector<std::uint8_t> key = current_key_;
            GotoKey(key, true, false);
        }
        FetchCurrent();
        return;
    }
    FilterRecordChanged(record, stored);
    if (!reposition) {
        // The cursor's own write brought a row into a view that had emptied under it: back to
        // the place it kept, as the next resync would have it.
        if (bof_ && eof_ && OnVanishedRowsNeighbour() && Visible(record))
            ReturnToPlace(false);
        return;
    }
    if (physical_) {
        // A written record the view leaves out leaves the cursor where it was, together with
        // a place a resync kept for its next step.
        if (Visible(record)) {
            ForgetVanishedPlace();
            record_no_ = record;
            current_key_.assign(4, 0);
            PutU32(current_key_, 0, record);
            bof_ = eof_ = false;
        }
    } else if (!current_key.empty() && !range_active_ && Visible(record)) {
        // The key was just inserted, so a search would land on this very entry.
        PositionOnEntry(current_key, record);
    } else {
        ForgetVanishedPlace();
        if (current_key.empty())
            GotoKey(BuildKeyFor(CurrentSlot(), stored), true, true);
        else
            GotoKey(current_key, true, true);
    }
    FetchCurrent();
}

void TDataCursor::Stepped(int& step) {
    ++step;
    if (write_step_hook_)
        write_step_hook_(step);
}

void TDataCursor::InsertRecord(RecordBuffer buffer, bool reposition) {
    CheckOpen();
    CheckWritable();
    CursorOperation operation(*this);
    WriteLockScope write_lock(*table_);
    if (write_lock.Changed()) {
        SaveTableCounters();
        Resync();
    }
    TDataFile& data = table_->DataFile();
    TIndexFile& index = table_->IndexFile();
    const std::size_t record_size = data.GetRecordSize();
    if (buffer.size() < record_size)
        Raise(kErrInvalidField);
    const std::uint32_t slot = data.GetFreeRecord();
    const bool reuse = slot != data.GetNextRecordSlot();
    if (!reuse &&
        (std::uint64_t{slot} + 1 > kMaxRecordSlot ||
         std::int64_t{slot} * static_cast<std::int64_t>(record_size) > kMaxTableFileSize)) {
        Raise(kErrTableFull);
    }
    bool locked_here = false;
    LockIfNotHeld(slot, locked_here);
    std::vector<std::uint8_t>& stored = write_scratch_.stored;
    stored.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(record_size));
    bool posted = false;
    std::span<const std::uint8_t> current_key;
    try {
        ValidateRecord(buffer);
        const std::uint32_t last = data.GetLastAutoIncrement();
        // The ID is computed once, so keys and record always agree (also at
        // the wrap from 2147483647 to 1).
        const std::uint32_t id =
            fetch_option_ ? RecordIdOf(buffer) : (last >= kMaxAutoIncrement ? 1 : last + 1);
        SetRecordIdOf(stored, id);
        stored[0] = 0;
        PutU32(stored, 1, slot);
        KeySlotList key_slots;
        const std::size_t key_count = KeySlots(key_slots);
        // The pages the keys go to arrive while the keys are built.
        for (std::size_t k = 0; k < key_count; ++k)
            TIndexTree::PrefetchInsertion(index, key_slots[k]);
        std::vector<std::vector<std::uint8_t>>& keys = write_scratch_.keys;
        if (keys.size() < key_count)
            keys.resize(key_count);
        const auto refuse_duplicate = [&](std::size_t k) {
            if (TIndexTree(index, key_slots[k], SlotCompare(key_slots[k])).Find(keys[k].data()))
                Raise(kErrDuplicateKey, {}, IndexName(index.GetIndexDescriptor(key_slots[k])));
        };
        // The first key goes in before anything else changes: while no other key is unique, its
        // own insert refuses a duplicate as this search would, and the search is left out.
        bool first_unchecked =
            !reuse && data.GetBlobFieldCount() == 0 && !write_step_hook_ && key_count > 0;
        for (std::size_t k = 0; k < key_count; ++k) {
            const int key_slot = key_slots[k];
            BuildKeyInto(key_slot, stored, keys[k]);
            if (key_slot == CurrentSlot() && !physical_)
                current_key = keys[k];
            if (!SlotState(key_slot).unique) {
                first_unchecked = first_unchecked && k != 0;
                continue;
            }
            if (k == 0 && first_unchecked)
                continue;
            if (std::exchange(first_unchecked, false))
                refuse_duplicate(0);
            refuse_duplicate(k);
        }
        std::array<std::uint8_t, 5> old_hidden{};
        if (reuse) {
            std::vector<std::uint8_t>& free_record = write_scratch_.old;
            if (!ReadStoredRecord(slot, free_record) || free_record[0] == 0)
                Raise(kErrDataRecordCorrupt);
            old_hidden = HiddenKey(free_record[0], RecordIdOf(free_record));
        }
        const auto new_hidden = HiddenKey(0, id);

        // Declared before the undo log, so the chains are still known when
        // the log unwinds.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> written;
        UndoLog undo([&](const UndoStep& step) {
            if (step.kind == UndoStep::Kind::kInsertKey)
                InsertKey(step.slot, step.Key(), step.record);
            else if (step.kind == UndoStep::Kind::kDeleteKey)
                DeleteKey(step.slot, step.Key());
            else
                FreeWrittenChains(written);
        });
        int step = 0;
        undo.Add(UndoStep::Kind::kFreeChains, 0, {});
        WriteBufferBlobs(stored, written);
        Stepped(step);
        for (std::size_t k = 0; k < key_count; ++k) {
            InsertKey(key_slots[k], keys[k], slot);
            undo.Add(UndoStep::Kind::kDeleteKey, key_slots[k], keys[k]);
            Stepped(step);
        }
        if (reuse) {
            DeleteKey(kHiddenIndexSlot, old_hidden);
            undo.Add(UndoStep::Kind::kInsertKey, kHiddenIndexSlot, old_hidden, slot);
            Stepped(step);
        }
        InsertKey(kHiddenIndexSlot, new_hidden, slot);
        undo.Add(UndoStep::Kind::kDeleteKey, kHiddenIndexSlot, new_hidden);
        Stepped(step);
        if (!reuse && data.CanAppendDirect()) {
            // The stored bytes are the record's image: status, slot and ID in its header.
            data.AppendDirect(stored);
        } else {
            TRecord* record = data.AllocateRecord();
            if (record->RecordNumber() != slot) {
                data.FreeRecord(*record);
                data.ReleaseRecord(record);
                Raise(kErrDataRecordCorrupt);
            }
            record->CopyFields(stored);
            record->SetRecordId(id);
            record->SetModified(true);
            data.ReleaseRecord(record);
        }
        undo.Commit();

        if (!fetch_option_ || id > last)
            data.SetAutoIncrement(id);
        index.IncRecordCount();
        table_->NoteRecordWrite();
        posted = true;
        // The posted blobs now live in the record.
        HandBackBlobReferences(buffer, stored);
        SetRecordIdOf(buffer, id);
        if (!exclusive_ && !media_read_only_)
            table_->FlushBuffers(false, true, true);
        SaveTableCounters();
    } catch (...) {
        if (locked_here) {
            try {
                table_->UnlockRecord(slot);
            } catch (...) {
            }
        }
        if (posted)
            AfterWrite(slot, stored, reposition, false);
        throw;
    }
    AfterWrite(slot, stored, reposition, false, current_key);
    if (locked_here)
        table_->UnlockRecord(slot);
}

bool TDataCursor::AppendRecords(RecordBuffer records) {
    CheckOpen();
    CheckWritable();
    TDataFile& data = table_->DataFile();
    TIndexFile& index = table_->IndexFile();
    const std::size_t record_size = data.GetRecordSize();
    if (record_size < kRecordHeaderSize || records.size() % record_size != 0)
        Raise(kErrInvalidField);
    KeySlotList key_slots;
    // Without another index, a record needs no key but its hidden one, which lies above every
    // record's key before it while IDs grow; without a primary index no free record is reused,
    // so every record takes the next slot.
    if (!exclusive_ || fetch_option_ || data.GetEncrypted() || table_->InBatch() ||
        data.GetBlobFieldCount() != 0 || KeySlots(key_slots) != 0 ||
        data.GetFreeRecord() != data.GetNextRecordSlot() || write_step_hook_) {
        return false;
    }
    std::size_t count = records.size() / record_size;
    const std::uint32_t last = data.GetLastAutoIncrement();
    if (last >= kMaxAutoIncrement || kMaxAutoIncrement - last < count)
        return false;
    // The records before the first invalid one go in, as one insert after another would leave
    // them, and then its error is raised.
    std::exception_ptr invalid;
    for (std::size_t i = 0; i < count && has_validity_checks_; ++i) {
        try {
            ValidateRecord(records.subspan(i * record_size, record_size));
        } catch (...) {
            invalid = std::current_exception();
            count = i;
        }
    }
    if (count != 0) {
        CursorOperation operation(*this);
        WriteLockScope write_lock(*table_);
        if (write_lock.Changed()) {
            SaveTableCounters();
            Resync();
        }
        const std::uint32_t first_slot = data.GetNextRecordSlot();
        std::vector<std::uint8_t>& keys = write_scratch_.hidden_keys;
        std::vector<std::uint32_t>& numbers = write_scratch_.numbers;
        keys.resize(count * 5);
        numbers.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const RecordBuffer image = records.subspan(i * record_size, record_size);
            const auto slot = static_cast<std::uint32_t>(first_slot + i);
            const auto id = static_cast<std::uint32_t>(last + 1 + i);
            image[0] = 0;
            PutU32(image, 1, slot);
            SetRecordIdOf(image, id);
            const auto key = HiddenKey(0, id);
            std::copy(key.begin(), key.end(), keys.begin() + static_cast<std::ptrdiff_t>(i * 5));
            numbers[i] = slot;
        }
        TIndexTree tree(index, kHiddenIndexSlot, SlotCompare(kHiddenIndexSlot));
        std::size_t keyed = 0;
        try {
            keyed = tree.Append(keys, numbers);
            // Keys of free records (status 1) lie above every record's: the rest go in their
            // place.
            for (; keyed < count; ++keyed) {
                if (!tree.Insert(keys.data() + keyed * 5, numbers[keyed])) {
                    Raise(kErrDuplicateKey, {},
                          IndexName(index.GetIndexDescriptor(kHiddenIndexSlot)));
                }
            }
            data.AppendRecords(records.first(count * record_size));
        } catch (...) {
            // No record reached the data file: their keys go again.
            for (std::size_t i = 0; i < keyed; ++i) {
                try {
                    tree.Delete(keys.data() + i * 5);
                } catch (...) {
                }
            }
            throw;
        }
        data.SetAutoIncrement(static_cast<std::uint32_t>(last + count));
        index.SetRecordCount(static_cast<std::uint32_t>(index.GetRecordCount() + count));
        table_->NoteRecordWrite();
        SaveTableCounters();
        FilterRecordsAppended(first_slot, records.first(count * record_size), record_size);
    }
    if (invalid)
        std::rethrow_exception(invalid);
    return true;
}

// A key whose fields keep their bytes (and its record ID, where the key holds it) stays as it
// is: an UPDATE of other columns builds none of its keys.
bool TDataCursor::KeyKept(int key_slot, ConstRecordBuffer old, ConstRecordBuffer stored,
                          std::uint32_t id) const {
    if (key_slot < 0 || key_slot == kHiddenIndexSlot)
        return false;
    const IndexState& state =
        key_slot == CurrentSlot() && !physical_ ? index_state_ : CachedIndexState(key_slot);
    if (!state.unique && id != RecordIdOf(old))
        return false;
    const std::size_t record_size = stored.size();
    for (const FieldDescriptor& field : state.fields) {
        const std::size_t at = FieldOffset(field);
        const std::size_t size = FieldDataSize(field) + 1u;
        if (FieldNotStored(field) || at + size > record_size ||
            !std::equal(old.begin() + static_cast<std::ptrdiff_t>(at),
                        old.begin() + static_cast<std::ptrdiff_t>(at + size),
                        stored.begin() + static_cast<std::ptrdiff_t>(at))) {
            return false;
        }
    }
    return true;
}

std::size_t TDataCursor::ChangedKeySlots(ConstRecordBuffer old, ConstRecordBuffer stored,
                                         std::uint32_t id, KeySlotList& changed_slots) {
    TIndexFile& index = table_->IndexFile();
    KeySlotList key_slots;
    const std::size_t key_count = KeySlots(key_slots);
    std::size_t change_count = 0;
    std::vector<std::vector<std::uint8_t>>& old_keys = write_scratch_.old_keys;
    std::vector<std::vector<std::uint8_t>>& new_keys = write_scratch_.new_keys;
    if (old_keys.size() < key_count) {
        old_keys.resize(key_count);
        new_keys.resize(key_count);
    }
    for (const int key_slot : std::span(key_slots).first(key_count)) {
        if (KeyKept(key_slot, old, stored, id))
            continue;
        std::vector<std::uint8_t>& old_key = old_keys[change_count];
        std::vector<std::uint8_t>& new_key = new_keys[change_count];
        BuildKeyInto(key_slot, old, old_key);
        BuildKeyInto(key_slot, stored, new_key);
        if (old_key == new_key)
            continue;
        TIndexTree tree(index, key_slot, SlotCompare(key_slot));
        if (IndexUnique(index.GetIndexDescriptor(key_slot)) && tree.Find(new_key.data())) {
            Raise(kErrDuplicateKey, {}, IndexName(index.GetIndexDescriptor(key_slot)));
        }
        changed_slots[change_count++] = key_slot;
    }
    return change_count;
}

// Changed blobs go to new chains, so the stored record keeps intact blobs until it is
// rewritten; the old chains are freed after.
void TDataCursor::ReplacedBlobChains(
    ConstRecordBuffer old, ConstRecordBuffer stored,
    std::vector<std::pair<std::uint32_t, std::uint32_t>>& old_chains) const {
    for (const FieldDescriptor& field : fields_) {
        if (FieldType(field) != kTypeBlob || FieldNotStored(field))
            continue;
        const std::size_t at = FieldOffset(field);
        const auto reference = static_cast<std::int32_t>(GetU32(stored, at + 1));
        EngineErrorCode code = kErrNone;
        const OpenBlobEntry* entry =
            reference < 0 ? FindOpenBlob(FieldNumber(field), stored, code) : nullptr;
        const bool replaced = entry != nullptr && entry->blob->Changed();
        const std::uint32_t old_offset = old[at] != 0 ? GetU32(old, at + 1) : 0;
        const bool dropped = reference >= 0 && stored[at] == 0 && old_offset != 0;
        if ((replaced || dropped) && old_offset != 0)
            old_chains.emplace_back(old_offset, GetU32(old, at + 5));
    }
}

// Writes the record's blobs, swaps the changed keys (the old and new keys in the write
// scratch, at the place of their slot in `changed_slots`) and rewrites the record; a failure
// on the way puts every key back and frees the chains it wrote.
void TDataCursor::RewriteRecord(std::uint32_t n, std::uint32_t old_id, RecordBuffer stored,
                                std::uint32_t id, std::span<const int> changed_slots) {
    const std::vector<std::vector<std::uint8_t>>& old_keys = write_scratch_.old_keys;
    const std::vector<std::vector<std::uint8_t>>& new_keys = write_scratch_.new_keys;
    // Declared before the undo log, so the chains and keys are still known when the log unwinds.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> written;
    const auto old_hidden = HiddenKey(0, old_id);
    const auto new_hidden = HiddenKey(0, id);
    UndoLog undo([&](const UndoStep& step) {
        if (step.kind == UndoStep::Kind::kInsertKey)
            InsertKey(step.slot, step.Key(), step.record);
        else if (step.kind == UndoStep::Kind::kDeleteKey)
            DeleteKey(step.slot, step.Key());
        else
            FreeWrittenChains(written);
    });
    undo.Add(UndoStep::Kind::kFreeChains, 0, {});
    int step = 0;
    WriteBufferBlobs(stored, written);
    Stepped(step);
    for (std::size_t c = 0; c < changed_slots.size(); ++c) {
        const int slot = changed_slots[c];
        DeleteKey(slot, old_keys[c]);
        undo.Add(UndoStep::Kind::kInsertKey, slot, old_keys[c], n);
        Stepped(step);
        InsertKey(slot, new_keys[c], n);
        undo.Add(UndoStep::Kind::kDeleteKey, slot, new_keys[c]);
        Stepped(step);
    }
    if (id != old_id) {
        DeleteKey(kHiddenIndexSlot, old_hidden, n);
        undo.Add(UndoStep::Kind::kInsertKey, kHiddenIndexSlot, old_hidden, n);
        InsertKey(kHiddenIndexSlot, new_hidden, n);
        undo.Add(UndoStep::Kind::kDeleteKey, kHiddenIndexSlot, new_hidden);
        Stepped(step);
    }
    TDataFile& data = table_->DataFile();
    TRecord* record = data.GetRecord(n);
    record->CopyFields(stored);
    record->SetRecordId(id);
    record->SetModified(true);
    data.ReleaseRecord(record);
    undo.Commit();
}

// The caller's buffer drops its open blobs and takes the references the record now holds.
void TDataCursor::HandBackBlobReferences(RecordBuffer buffer, ConstRecordBuffer stored) {
    for (const FieldDescriptor& field : fields_) {
        if (FieldType(field) != kTypeBlob || FieldNotStored(field))
            continue;
        const std::size_t at = FieldOffset(field);
        const auto reference = static_cast<std::int32_t>(GetU32(buffer, at + 1));
        if (reference < 0)
            RemoveBlob(OpenBlobHandleOf(reference));
        std::copy_n(stored.begin() + static_cast<std::ptrdiff_t>(at), FieldDataSize(field) + 1u,
                    buffer.begin() + static_cast<std::ptrdiff_t>(at));
    }
}

void TDataCursor::ModifyRecord(RecordBuffer buffer, bool unlock, bool reposition) {
    CheckOpen();
    CheckWritable();
    CursorOperation operation(*this);
    WriteLockScope write_lock(*table_);
    if (write_lock.Changed()) {
        SaveTableCounters();
        Resync();
    }
    if (bof_ || eof_)
        Raise(kErrNoCurrentRecord);
    // The caller's row went or moved: the cursor stands on a neighbour the buffer is not of.
    if (OnVanishedRowsNeighbour())
        Raise(kErrRecordChanged);
    TDataFile& data = table_->DataFile();
    const std::size_t record_size = data.GetRecordSize();
    if (buffer.size() < record_size)
        Raise(kErrInvalidField);
    const std::uint32_t n = record_no_;
    std::vector<std::uint8_t>& old = write_scratch_.old;
    if (!ReadStoredRecord(n, old) || old[0] != 0)
        Raise(kErrRecordChanged);
    // Another cursor's explicit lock holds the row for that cursor, as another program's does.
    if (table_->CursorLockedRecords().IsSet(n) && !OwnsLock(n))
        Raise(kErrRecordLocked);
    ValidateRecord(buffer);
    const std::uint32_t last = data.GetLastAutoIncrement();
    const std::uint32_t id = fetch_option_ ? RecordIdOf(buffer) : RecordIdOf(old);
    std::vector<std::uint8_t>& stored = write_scratch_.stored;
    stored.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(record_size));
    stored[0] = 0;
    PutU32(stored, 1, n);
    SetRecordIdOf(stored, id);

    KeySlotList changed_slots;
    const std::size_t change_count = ChangedKeySlots(old, stored, id, changed_slots);
    // A row changed without its lock is locked for the change, so that another program's lock
    // keeps the change out; that lock goes with the change.
    struct ChangeLock {
        TDataTable& table;
        std::uint32_t n;
        bool held = false;
        void Release() {
            if (std::exchange(held, false))
                table.UnlockRecord(n);
        }
        ~ChangeLock() {
            try {
                Release();
            } catch (...) {
            }
        }
    } change_lock{*table_, n};
    LockIfNotHeld(n, change_lock.held);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> old_chains;
    ReplacedBlobChains(old, stored, old_chains);
    RewriteRecord(n, RecordIdOf(old), stored, id, std::span(changed_slots).first(change_count));
    table_->NoteRecordWrite();
    if (fetch_option_ && id > last)
        data.SetAutoIncrement(id);
    for (const auto& [offset, number] : old_chains) {
        try {
            table_->BlobFile().FreeChain(this, offset, number, n);
        } catch (...) {
            // The record is already rewritten; a damaged old chain only
            // leaves blocks for the repair to reclaim.
        }
    }
    HandBackBlobReferences(buffer, stored);
    if (!exclusive_ && !media_read_only_)
        table_->FlushBuffers(false, true, change_count != 0);
    SaveTableCounters();
    {
        // The row's lock goes with the write lock, a moment from now.
        struct UnlocksWithWrite {
            TDataTable& table;
            ~UnlocksWithWrite() { table.SetUnlocksWithWrite(false); }
        } with_write{*table_};
        table_->SetUnlocksWithWrite(true);
        change_lock.Release();
        if (unlock && OwnsLock(n))
            UnlockRecord(n);
    }
    AfterWrite(n, stored, reposition, false);
    write_lock.Finish();
}

// A deleted record keeps only the blob references whose chains could not be
// given back: repair reclaims those, while a reference to blocks already free
// (or reused by another blob) would read as damage on a sound table.
void TDataCursor::ForgetFreedBlobs(std::uint32_t record_number,
                                   std::span<const std::uint32_t> freed_chains) {
    if (freed_chains.empty())
        return;
    TDataFile& data = table_->DataFile();
    try {
        TRecord* record = data.GetRecord(record_number);
        const std::span<std::uint8_t> bytes = record->Buffer();
        for (const FieldDescriptor& field : fields_) {
            if (FieldType(field) != kTypeBlob || FieldNotStored(field))
                continue;
            const std::size_t at = FieldOffset(field);
            if (at + 9 > bytes.size() || bytes[at] == 0 ||
                std::find(freed_chains.begin(), freed_chains.end(), GetU32(bytes, at + 1)) ==
                    freed_chains.end()) {
                continue;
            }
            std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at + 9), std::uint8_t{0});
        }
        record->SetModified(true);
        data.ReleaseRecord(record);
    } catch (...) {
        // The delete itself is done; a reference left behind is only
        // reported and cleared by the next repair.
    }
}

void TDataCursor::DeleteRecord(ConstRecordBuffer buffer, bool reposition) {
    CheckOpen();
    CheckWritable();
    CursorOperation operation(*this);
    WriteLockScope write_lock(*table_);
    if (write_lock.Changed()) {
        SaveTableCounters();
        Resync();
    }
    if (bof_ || eof_)
        Raise(kErrNoCurrentRecord);
    if (OnVanishedRowsNeighbour())
        Raise(kErrRecordChanged);
    TDataFile& data = table_->DataFile();
    TIndexFile& index = table_->IndexFile();
    const std::uint32_t n = record_no_;
    std::vector<std::uint8_t>& old = write_scratch_.old;
    // Copied past the cache: a record whose only change is its freeing need not enter it.
    if (n == 0 || n > data.GetRecordSlots())
        Raise(kErrRecordChanged);
    old.resize(data.GetRecordSize());
    data.CopyRecord(n, old);
    if (old.empty() || old[0] != 0)
        Raise(kErrRecordChanged);
    if (!exclusive_) {
        const std::size_t size = std::min(old.size(), buffer.size());
        if (buffer.size() < old.size() ||
            !std::equal(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(size),
                        buffer.begin()))
            Raise(kErrRecordChanged);
    }
    // The table's lock on the record may be another cursor's explicit one: that cursor holds
    // the row for itself, as a lock of another session or program would.
    if (table_->CursorLockedRecords().IsSet(n) && !OwnsLock(n))
        Raise(kErrRecordLocked);
    bool locked_here = false;
    LockIfNotHeld(n, locked_here);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> chains;
    try {
        CollectBlobChains(old, chains);
        // Declared before the undo log, so the keys are still known when the
        // log unwinds.
        KeySlotList key_slots;
        const std::size_t key_count = KeySlots(key_slots);
        std::vector<std::vector<std::uint8_t>>& keys = write_scratch_.keys;
        if (keys.size() < key_count)
            keys.resize(key_count);
        const auto live = HiddenKey(0, RecordIdOf(old));
        const auto freed = HiddenKey(1, RecordIdOf(old));
        UndoLog undo([&](const UndoStep& step) {
            if (step.kind == UndoStep::Kind::kInsertKey)
                InsertKey(step.slot, step.Key(), step.record);
            else if (step.kind == UndoStep::Kind::kDeleteKey)
                DeleteKey(step.slot, step.Key());
        });
        int step = 0;
        for (std::size_t k = 0; k < key_count; ++k) {
            BuildKeyInto(key_slots[k], old, keys[k]);
            DeleteKey(key_slots[k], keys[k]);
            undo.Add(UndoStep::Kind::kInsertKey, key_slots[k], keys[k], n);
            Stepped(step);
        }
        DeleteKey(kHiddenIndexSlot, live, n);
        undo.Add(UndoStep::Kind::kInsertKey, kHiddenIndexSlot, live, n);
        InsertKey(kHiddenIndexSlot, freed, n);
        undo.Add(UndoStep::Kind::kDeleteKey, kHiddenIndexSlot, freed);
        Stepped(step);
        // The keys come back unless the record is freed too: a failed read
        // of the record must not leave a live record without its keys.
        data.FreeStoredRecord(n);
        undo.Commit();
        index.DecRecordCount();
        table_->NoteRecordWrite();
    } catch (...) {
        if (locked_here) {
            try {
                table_->UnlockRecord(n);
            } catch (...) {
            }
        }
        throw;
    }
    std::vector<std::uint32_t> freed_chains;
    for (const auto& [offset, number] : chains) {
        try {
            table_->BlobFile().FreeChain(this, offset, number, n);
            freed_chains.push_back(offset);
        } catch (...) {
            // The record is gone already; a damaged chain only leaves blocks
            // for the repair to reclaim through the deleted record.
        }
    }
    ForgetFreedBlobs(n, freed_chains);
    try {
        if (!exclusive_ && !media_read_only_)
            table_->FlushBuffers(false, true, true);
    } catch (...) {
        // The flush's failure is the one told; the cursor still moves off the deleted row.
        if (locked_here) {
            try {
                table_->UnlockRecord(n);
            } catch (...) {
            }
        }
        AfterWrite(n, old, reposition, true);
        throw;
    }
    SaveTableCounters();
    AfterWrite(n, old, reposition, true);
    if (locked_here)
        table_->UnlockRecord(n);
    if (table_->CursorLockedRecords().IsSet(n) && OwnsLock(n))
        UnlockRecord(n);
}

}  // namespace strata
