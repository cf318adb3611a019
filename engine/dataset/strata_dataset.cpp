#include "engine/dataset/strata_dataset.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>

#include "engine/core/data_cursor.h"
#include "engine/core/filter.h"
#include "engine/dataset/strata_session.h"
#include "engine/storage/decimal.h"
#include "engine/storage/engine_error_codes.h"
#include "platform/db/data_source.h"
#include "platform/db/exception.h"
#include "platform/db/fields_blob.h"
#include "platform/nls/nls.h"
#include "platform/os/byte_order.h"

namespace strata {

namespace {

constexpr std::size_t kLargestFieldData = 256;
// A fetched record's number, in its buffer, before anyone has asked for it.
constexpr std::int32_t kRecNoNotCounted = std::numeric_limits<std::int32_t>::min();

[[noreturn]] void Refuse(std::string message) {
    throw db::EDatabaseError(std::move(message));
}

std::string Quote(const db::TField& field) {
    return "'" + field.DisplayName() + "'";
}

std::int32_t ReadInt32(const std::byte* at) {
    std::int32_t value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void WriteInt32(std::byte* at, std::int32_t value) {
    std::memcpy(at, &value, sizeof value);
}

}  // namespace

std::pair<std::uint8_t, std::uint8_t> EngineTypeOf(db::TFieldType type) {
    using namespace db;
    switch (type) {
        case ftString:
        case ftGuid:
            return {1, 0};
        case ftFixedChar:
            return {1, 31};
        case ftWideString:
            return {1, 32};
        case ftSmallint:
            return {5, 0};
        case ftInteger:
            return {6, 0};
        case ftAutoInc:
            return {6, 29};
        case ftWord:
            return {12, 0};
        case ftBoolean:
            return {4, 0};
        case ftFloat:
            return {7, 0};
        case ftCurrency:
            return {7, 21};
        case ftBCD:
            return {8, 0};
        case ftDate:
            return {2, 0};
        case ftTime:
            return {10, 0};
        case ftDateTime:
            return {11, 0};
        case ftBytes:
            return {9, 0};
        case ftVarBytes:
            return {15, 0};
        case ftBlob:
        case ftParadoxOle:
        case ftDBaseOle:
        case ftOraBlob:
        case ftOraClob:
            return {3, 0};
        case ftMemo:
            return {3, 22};
        case ftFmtMemo:
            return {3, 24};
        case ftGraphic:
            return {3, 26};
        case ftTypedBinary:
            return {3, 28};
        case ftCursor:
            return {17, 0};
        case ftLargeint:
            return {18, 0};
        case ftADT:
            return {20, 0};
        case ftArray:
            return {21, 0};
        case ftReference:
            return {22, 0};
        case ftDataSet:
            return {23, 0};
        default:
            return {0, 0};
    }
}

db::TFieldType FieldTypeOfEngine(std::uint8_t type, std::uint8_t subtype) {
    using namespace db;
    switch (type) {
        case 1:
            return ftString;
        case 2:
            return ftDate;
        case 3:
            switch (subtype) {
                case 22:
                    return ftMemo;
                case 24:
                    return ftFmtMemo;
                case 26:
                    return ftGraphic;
                case 28:
                    return ftTypedBinary;
                default:
                    return ftBlob;
            }
        case 4:
            return ftBoolean;
        case 5:
            return ftSmallint;
        case 6:
            return subtype == 29 ? ftAutoInc : ftInteger;
        case 7:
            return subtype == 21 ? ftCurrency : ftFloat;
        case 8:
            return ftBCD;
        case 9:
            return ftBytes;
        case 10:
            return ftTime;
        case 11:
            return ftDateTime;
        case 12:
            return ftWord;
        case 13:
            return ftInteger;
        case 15:
            return ftVarBytes;
        case 18:
        case 19:
            return ftLargeint;
        case 20:
            return ftADT;
        case 21:
            return ftArray;
        case 22:
            return ftReference;
        case 23:
            return ftDataSet;
        default:
            return ftUnknown;
    }
}

TStrataDataSet::TStrataDataSet(db::TComponent* owner) : db::TDataSet(owner) {}

TStrataDataSet::~TStrataDataSet() {
    Destroying();
    try {
        Close();
    } catch (...) {
        // Nothing can be reported from here; the files are closed all the same.
    }
    // A cursor made by an info query or a failed open goes with the dataset.
    if (cursor_ != nullptr) {
        DestroyHandle();
    }
}

TDataCursor* TStrataDataSet::AdoptCursor(std::unique_ptr<TDataCursor> cursor) {
    owned_cursor_ = std::move(cursor);
    return owned_cursor_.get();
}

void TStrataDataSet::DestroyHandle() {
    if (cursor_ == nullptr) {
        return;
    }
    TDataCursor* cursor = cursor_;
    cursor_ = nullptr;
    if (cursor->StatementOwned() && cursor != owned_cursor_.get()) {
        return;
    }
    try {
        if (cursor->IsOpen()) {
            cursor->Close();
        }
    } catch (...) {
        owned_cursor_.reset();
        throw;
    }
    owned_cursor_.reset();
}

void TStrataDataSet::OpenCursor(bool info_query) {
    if (cursor_ == nullptr) {
        cursor_ = CreateHandle();
        if (cursor_ == nullptr) {
            Refuse("Error creating table handle.");
        }
    }
    db::TDataSet::OpenCursor(info_query);
}

void TStrataDataSet::CloseCursor() {
    db::TDataSet::CloseCursor();
    DestroyHandle();
    // The cursor's close gave back its locks.
    edit_locked_ = 0;
}

platform::nls::CodePage TStrataDataSet::TextCodePage() const {
    if (cursor_ == nullptr || !cursor_->IsOpen()) {
        return platform::nls::CodePage::Western;
    }
    // Every text field read and written asks: the page is worked out again only when the
    // table's language or sort order is not the one it was worked out for.
    const std::uint16_t language = cursor_->GetLanguageID();
    const std::uint16_t sort = cursor_->GetSortID();
    if (!code_page_.known || code_page_.language != language || code_page_.sort != sort) {
        const auto locale = platform::nls::MakeLocaleId(language, sort);
        code_page_.page = platform::nls::IsValidLocale(locale)
                              ? platform::nls::CodePageOfLocale(locale)
                              : platform::nls::CodePage::Western;
        code_page_.language = language;
        code_page_.sort = sort;
        code_page_.known = true;
    }
    return code_page_.page;
}

void TStrataDataSet::InternalInitFieldDefs() {
    db::TFieldDefs& defs = *FieldDefs();
    defs.Clear();
    const std::uint16_t count = cursor_->GetFieldCount();
    for (std::uint32_t number = 1; number <= count; ++number) {
        const FieldDescriptor& desc = cursor_->GetFieldDesc(number);
        const db::TFieldType type = FieldTypeOfEngine(FieldType(desc), FieldSubtype(desc));
        // Hidden fields are the engine's own, such as an AVG's count.
        if (type == db::ftUnknown || FieldHidden(desc)) {
            continue;
        }
        std::int32_t size = 0;
        if (type == db::ftString || type == db::ftBytes || type == db::ftVarBytes) {
            size = FieldLength(desc);
        } else if (type == db::ftBCD) {
            size = FieldDecimals(desc);
        }
        // A name met twice (case aside) takes the first free "name_n".
        const std::string base = FieldName(desc);
        std::string name = base;
        for (int n = 1; defs.IndexOf(name) >= 0; ++n) {
            name = base + "_" + std::to_string(n);
        }
        db::TFieldDef* def = defs.Add(name, type, size, desc[fd::kRequired] != 0);
        def->SetFieldNo(static_cast<std::int32_t>(number));
        if (type == db::ftBCD) {
            def->SetPrecision(20);
        }
    }
}

void TStrataDataSet::GetIndexInfo() {
    index_fields_.fill(0);
    index_field_count_ = 0;
    case_insensitive_index_ = false;
    key_size_ = 0;
    if (cursor_->StatementOwned()) {
        return;
    }
    const IndexDescriptor desc = cursor_->GetIndexDesc(cursor_->CurrentIndex());
    case_insensitive_index_ = desc[ixd::kCaseInsensitive] != 0;
    index_field_count_ = std::min<std::int32_t>(strata::IndexFieldCount(desc), 16);
    for (std::int32_t i = 0; i < index_field_count_; ++i) {
        index_fields_[static_cast<std::size_t>(i)] =
            IndexFieldNumber(desc, static_cast<std::size_t>(i));
    }
    key_size_ = IndexKeySize(desc);
}

void TStrataDataSet::ApplyDisplayLabels() {
    if (!auto_display_labels_ || cursor_ == nullptr || cursor_->StatementOwned()) {
        return;
    }
    for (db::TField* field : Fields()) {
        if (field->FieldKind() != db::fkData || field->FieldNo() < 1 ||
            field->FieldNo() > cursor_->GetFieldCount()) {
            continue;
        }
        const FieldDescriptor& desc =
            cursor_->GetFieldDesc(static_cast<std::uint32_t>(field->FieldNo()));
        const std::string description = GetShortString(desc, fd::kDescription, fd::kTextLength);
        if (!description.empty()) {
            field->SetDisplayLabel(description);
        }
    }
}

void TStrataDataSet::MarkComputedFieldsReadOnly() {
    // Only the engine writes a computed field, from its expression.
    for (db::TField* field : Fields()) {
        if (field->FieldKind() == db::fkData && field->FieldNo() >= 1 &&
            field->FieldNo() <= cursor_->GetFieldCount() &&
            FieldNotStored(cursor_->GetFieldDesc(static_cast<std::uint32_t>(field->FieldNo())))) {
            field->SetReadOnly(true);
        }
    }
}

void TStrataDataSet::SetAutoDisplayLabels(bool value) {
    auto_display_labels_ = value;
    if (value && cursor_ != nullptr && Active()) {
        ApplyDisplayLabels();
    }
}

void TStrataDataSet::InternalOpen() {
    record_size_ = static_cast<std::int32_t>(cursor_->GetRecordSize());
    SetBookmarkSize(cursor_->GetKeySize());
    can_modify_ = !cursor_->ReadOnly();
    InternalInitFieldDefs();
    GetIndexInfo();
    if (DefaultFields()) {
        CreateFields();
    }
    BindFields(true);
    MarkComputedFieldsReadOnly();
    ApplyDisplayLabels();
    buffer_size_ = BookmarkOffset() + BookmarkSize();
    work_record_.assign(static_cast<std::size_t>(record_size_), 0);
    cursor_->ClearRecordBuffer(work_record_);
    filter_record_.assign(static_cast<std::size_t>(record_size_), 0);
    AllocKeyBuffers();
    cursor_->First();
    AfterOpenHook();
    if (!Filter().empty()) {
        expr_filter_ = MakeExpressionFilter(Filter(), FilterOptions());
    }
    if (OnFilterRecord()) {
        callback_filter_ = MakeCallbackFilter();
    }
    if (Filtered()) {
        if (expr_filter_ != nullptr) {
            cursor_->ActivateFilter(expr_filter_);
        }
        if (callback_filter_ != nullptr) {
            cursor_->ActivateFilter(callback_filter_);
        }
    }
}

void TStrataDataSet::InternalClose() {
    expr_filter_ = nullptr;
    callback_filter_ = nullptr;
    for (KeyBuffer& key : keys_) {
        key = KeyBuffer{};
    }
    edited_key_ = nullptr;
    work_record_.clear();
    filter_record_.clear();
    BindFields(false);
    if (DefaultFields()) {
        DestroyFields();
    }
    index_field_count_ = 0;
    case_insensitive_index_ = false;
    can_modify_ = false;
    key_size_ = 0;
}

void TStrataDataSet::LayoutBuffers() {
    SetBookmarkSize(cursor_->GetKeySize());
    buffer_size_ = BookmarkOffset() + BookmarkSize();
    SetBufListSize(0);
    SetBufListSize(BufferCount() + 1);
}

db::TRecordBuffer TStrataDataSet::AllocRecordBuffer() {
    record_buffers_.push_back(
        std::make_unique<std::byte[]>(static_cast<std::size_t>(std::max(buffer_size_, 1))));
    return record_buffers_.back().get();
}

void TStrataDataSet::FreeRecordBuffer(db::TRecordBuffer& buffer) {
    std::erase_if(record_buffers_, [&](const auto& owned) { return owned.get() == buffer; });
    buffer = nullptr;
}

std::span<std::uint8_t> TStrataDataSet::EngineRecord(db::TRecordBuffer buffer) const {
    if (buffer == nullptr) {
        return {};
    }
    return {reinterpret_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(record_size_)};
}

void TStrataDataSet::GetBookmarkData(db::TRecordBuffer buffer, db::TBookmark& data) const {
    data.assign(reinterpret_cast<const char*>(buffer + BookmarkOffset()),
                static_cast<std::size_t>(BookmarkSize()));
}

void TStrataDataSet::SetBookmarkData(db::TRecordBuffer buffer, const db::TBookmark& data) {
    const auto size = static_cast<std::size_t>(BookmarkSize());
    std::memset(buffer + BookmarkOffset(), 0, size);
    std::memcpy(buffer + BookmarkOffset(), data.data(), std::min(size, data.size()));
}

db::TBookmarkFlag TStrataDataSet::GetBookmarkFlag(db::TRecordBuffer buffer) const {
    return static_cast<db::TBookmarkFlag>(buffer[InfoOffset() + 4]);
}

void TStrataDataSet::SetBookmarkFlag(db::TRecordBuffer buffer, db::TBookmarkFlag flag) {
    buffer[InfoOffset() + 4] = static_cast<std::byte>(flag);
}

void TStrataDataSet::ClearCalcFields(db::TRecordBuffer buffer) {
    if (CalcFieldsSize() > 0) {
        std::memset(buffer + record_size_, 0, static_cast<std::size_t>(CalcFieldsSize()));
    }
}

void TStrataDataSet::InitRecord(db::TRecordBuffer buffer) {
    db::TDataSet::InitRecord(buffer);
    WriteInt32(buffer + InfoOffset(), -1);
    SetBookmarkFlag(buffer, db::bfInserted);
}

db::TGetResult TStrataDataSet::GetRecord(db::TRecordBuffer buffer, db::TGetMode mode, bool check) {
    const std::span<std::uint8_t> record = EngineRecord(buffer);
    EngineErrorCode code = kErrNone;
    switch (mode) {
        case db::gmCurrent:
            code = cursor_->GetCurrentRecord(record, false);
            break;
        case db::gmNext:
            code = cursor_->GetNextRecord(record);
            break;
        case db::gmPrior:
            code = cursor_->GetPriorRecord(record);
            break;
    }
    switch (code) {
        case kErrNone: {
            // The record's number is counted in the index only when asked for (see
            // GetRecNo): a walk over every record asks for none.
            WriteInt32(buffer + InfoOffset(), kRecNoNotCounted);
            SetBookmarkFlag(buffer, db::bfCurrent);
            GetCalcFields(buffer);
            cursor_->GetBookmarkInto(
                std::span(reinterpret_cast<std::uint8_t*>(buffer + BookmarkOffset()),
                          static_cast<std::size_t>(BookmarkSize())));
            return db::grOK;
        }
        case kErrBeginningOfFile:
            return db::grBOF;
        case kErrEndOfFile:
            return db::grEOF;
        default:
            if (check) {
                RaiseEngineError(code, cursor_->TableName());
            }
            return db::grError;
    }
}

bool TStrataDataSet::GetCurrentRecord(db::TRecordBuffer buffer) {
    if (IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != db::bfCurrent) {
        return false;
    }
    UpdateCursorPos();
    return cursor_->GetCurrentRecord(EngineRecord(buffer), false) == kErrNone;
}

std::span<std::uint8_t> TStrataDataSet::StateRecord() {
    switch (State()) {
        case db::dsBrowse:
            return IsEmpty() ? std::span<std::uint8_t>() : EngineRecord(ActiveBuffer());
        case db::dsEdit:
        case db::dsInsert:
        case db::dsNewValue:
            return EngineRecord(ActiveBuffer());
        case db::dsSetKey:
            return edited_key_ != nullptr ? std::span<std::uint8_t>(edited_key_->record)
                                          : std::span<std::uint8_t>();
        case db::dsCalcFields:
        case db::dsInternalCalc:
            return EngineRecord(CalcRecord());
        case db::dsFilter:
            return filter_record_;
        case db::dsOldValue:
            cursor_->ClearRecordBuffer(work_record_);
            if (!IsEmpty() && GetBookmarkFlag(ActiveBuffer()) == db::bfCurrent) {
                UpdateCursorPos();
                if (cursor_->GetCurrentRecord(work_record_, false) != kErrNone) {
                    cursor_->ClearRecordBuffer(work_record_);
                }
            }
            return work_record_;
        default:
            return {};
    }
}

bool TStrataDataSet::GetFieldData(db::TField* field, std::span<std::byte> buffer) {
    if (cursor_ == nullptr) {
        return false;
    }
    if (field->FieldNo() < 1) {
        const db::TDataSetState state = State();
        if (state != db::dsBrowse && state != db::dsEdit && state != db::dsInsert &&
            state != db::dsCalcFields) {
            return false;
        }
        const db::TRecordBuffer record =
            state == db::dsCalcFields ? CalcRecord() : (IsEmpty() ? nullptr : ActiveBuffer());
        return GetCalcFieldData(record, *field, buffer);
    }
    const std::span<std::uint8_t> record = StateRecord();
    if (record.empty()) {
        return false;
    }
    const auto number = static_cast<std::uint32_t>(field->FieldNo());
    const std::size_t size = FieldDataSize(cursor_->GetFieldDesc(number));
    std::array<std::uint8_t, kLargestFieldData> value{};
    bool blank = true;
    cursor_->GetField(number, record, blank, std::span(value).first(std::min(size, value.size())));
    if (!buffer.empty()) {
        std::memcpy(buffer.data(), value.data(), std::min(buffer.size(), size));
    }
    return !blank;
}

bool TStrataDataSet::IsIndexFieldNumber(std::int32_t number) const {
    for (std::int32_t i = 0; i < index_field_count_; ++i) {
        if (index_fields_[static_cast<std::size_t>(i)] == number) {
            return true;
        }
    }
    return false;
}

bool TStrataDataSet::GetIsIndexField(const db::TField* field) const {
    return field->FieldNo() > 0 && IsIndexFieldNumber(field->FieldNo());
}

void TStrataDataSet::SetFieldData(db::TField* field, std::span<const std::byte> buffer) {
    const db::TDataSetState state = State();
    if (state != db::dsEdit && state != db::dsInsert && state != db::dsSetKey &&
        state != db::dsCalcFields && state != db::dsFilter && state != db::dsNewValue &&
        state != db::dsInternalCalc) {
        Refuse("Dataset not in edit or insert mode");
    }
    if (state == db::dsSetKey && index_field_count_ > 0 &&
        (field->FieldNo() < 1 || !IsIndexFieldNumber(field->FieldNo()))) {
        Refuse("Field " + Quote(*field) + " is not indexed and cannot be modified");
    }
    if (field->FieldNo() < 1) {
        const db::TRecordBuffer record = state == db::dsCalcFields ? CalcRecord() : ActiveBuffer();
        if (record != nullptr) {
            SetCalcFieldData(record, *field, buffer);
        }
    } else {
        if (state == db::dsCalcFields) {
            Refuse("Dataset not in edit or insert mode");
        }
        if (field->ReadOnly() && state != db::dsSetKey && state != db::dsFilter) {
            Refuse("Field " + Quote(*field) + " cannot be modified");
        }
        field->Validate(buffer);
        if (field->FieldKind() != db::fkInternalCalc) {
            const auto number = static_cast<std::uint32_t>(field->FieldNo());
            const std::size_t size = FieldDataSize(cursor_->GetFieldDesc(number));
            // A field without room in the record (a type the engine cannot store) would keep
            // nothing of a value and still read back as set.
            if (size == 0 && !buffer.empty()) {
                Refuse("Field " + Quote(*field) + " is of an unsupported type");
            }
            // Only what fits the record's data size is stored; a var-bytes value spends two
            // of the declared bytes on its length, so its longest values would lose their end.
            if (buffer.size() > size &&
                std::any_of(buffer.begin() + static_cast<std::ptrdiff_t>(size), buffer.end(),
                            [](std::byte b) { return b != std::byte{0}; })) {
                if (field->DataType() == db::ftVarBytes && size >= 2) {
                    const auto length = platform::os::LoadLittle<std::uint16_t>(buffer.data());
                    Refuse("Value of field " + Quote(*field) +
                           " is too long: " + std::to_string(length) + " bytes for a size of " +
                           std::to_string(size - 2));
                }
                Refuse("Value of field " + Quote(*field) + " is out of range");
            }
            // The engine reads a whole value; a shorter source is padded, never over-read. A
            // whole one, as fields hand over, is read in place.
            const std::uint8_t* data = nullptr;
            std::array<std::uint8_t, kLargestFieldData> padded;
            if (!buffer.empty() && buffer.size() >= size) {
                data = reinterpret_cast<const std::uint8_t*>(buffer.data());
            } else if (!buffer.empty()) {
                padded.fill(0);
                std::memcpy(padded.data(), buffer.data(), std::min(buffer.size(), padded.size()));
                data = padded.data();
            }
            cursor_->PutField(number, StateRecord(), data);
        }
        // The framework leaves a key's changes unmarked; Post hands this mark to the key
        // buffer, and an unmarked range end stays open.
        if (state == db::dsSetKey) {
            SetModified(true);
        }
    }
    if (state != db::dsCalcFields && state != db::dsFilter && state != db::dsNewValue) {
        DataEvent(db::deFieldChange, {.field = field});
    }
}

void TStrataDataSet::DataConvert(db::TField* field, std::span<const std::byte> source,
                                 std::span<std::byte> dest, bool to_native) {
    if (field->DataType() != db::ftBCD) {
        db::TDataSet::DataConvert(field, source, dest, to_native);
        return;
    }
    std::int64_t value = 0;
    std::memcpy(&value, source.data(), std::min(sizeof value, source.size()));
    std::int64_t result = 0;
    if (to_native) {
        const std::optional<std::int64_t> scaled =
            TryEncodeScaledCurrency(field->Size(), db::Currency::FromRaw(value));
        if (!scaled) {
            Refuse("Value of field " + Quote(*field) + " is out of range");
        }
        result = *scaled;
    } else {
        const std::optional<db::Currency> currency = TryDecodeScaledCurrency(value);
        if (!currency) {
            Refuse("Value of field " + Quote(*field) + " is out of range");
        }
        result = currency->Raw();
    }
    std::memcpy(dest.data(), &result, std::min(sizeof result, dest.size()));
}

db::Variant TStrataDataSet::GetStateFieldValue(db::TDataSetState state, db::TField* field) {
    return db::TDataSet::GetStateFieldValue(state, field);
}

void TStrataDataSet::SetStateFieldValue(db::TDataSetState state, db::TField* field,
                                        const db::Variant& value) {
    if (state == db::dsOldValue) {
        Refuse("Field " + Quote(*field) + " cannot be modified");
    }
    db::TDataSet::SetStateFieldValue(state, field, value);
}

void TStrataDataSet::CloseBlob(db::TField* field) {
    if (cursor_ != nullptr && field->FieldNo() > 0 && ActiveBuffer() != nullptr) {
        cursor_->CloseBlob(static_cast<std::uint32_t>(field->FieldNo()),
                           EngineRecord(ActiveBuffer()));
    }
}

void TStrataDataSet::InternalFirst() {
    cursor_->First();
}

void TStrataDataSet::InternalLast() {
    if (post_last_ == PostLast::kMayDefer && State() == db::dsInsert) {
        post_last_ = PostLast::kDeferred;
        return;
    }
    cursor_->Last();
}

void TStrataDataSet::InternalGotoBookmark(const db::TBookmark& bookmark) {
    const auto bytes =
        std::span(reinterpret_cast<const std::uint8_t*>(bookmark.data()), bookmark.size());
    // A bookmark of a record that is gone must not quietly land on its neighbour.
    if (!cursor_->GotoBookmark(bytes, false)) {
        Refuse("Record not found");
    }
}

void TStrataDataSet::InternalSetToRecord(db::TRecordBuffer buffer) {
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(buffer + BookmarkOffset()),
                                 static_cast<std::size_t>(BookmarkSize()));
    cursor_->GotoBookmark(bytes, true);
}

bool TStrataDataSet::BookmarkValid(const db::TBookmark& bookmark) {
    if (cursor_ == nullptr) {
        return false;
    }
    CursorPosChanged();
    return cursor_->GotoBookmark(
        std::span(reinterpret_cast<const std::uint8_t*>(bookmark.data()), bookmark.size()), false);
}

int TStrataDataSet::CompareBookmarks(const db::TBookmark& a, const db::TBookmark& b) const {
    if (a.empty() || b.empty()) {
        return a.empty() == b.empty() ? 0 : (a.empty() ? 1 : -1);
    }
    if (cursor_ == nullptr) {
        return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
    }
    return cursor_->CompareBookmarks(
        std::span(reinterpret_cast<const std::uint8_t*>(a.data()), a.size()),
        std::span(reinterpret_cast<const std::uint8_t*>(b.data()), b.size()));
}

std::int64_t TStrataDataSet::GetRecordCount() const {
    CheckActive();
    return cursor_->GetRecordCount();
}

std::int64_t TStrataDataSet::GetRecNo() const {
    CheckActive();
    const db::TRecordBuffer buffer = State() == db::dsCalcFields ? CalcRecord() : ActiveBuffer();
    if (buffer == nullptr || BufferedRecordCount() == 0) {
        return -1;
    }
    std::int32_t number = ReadInt32(buffer + InfoOffset());
    if (number == kRecNoNotCounted) {
        // A record being calculated is the cursor's own; another is found again first.
        if (State() != db::dsCalcFields)
            const_cast<TStrataDataSet*>(this)->UpdateCursorPos();
        number = static_cast<std::int32_t>(std::min<std::int64_t>(
            cursor_->GetRecordNumber(), std::numeric_limits<std::int32_t>::max()));
        WriteInt32(buffer + InfoOffset(), number);
    }
    return number;
}

void TStrataDataSet::SetRecNo(std::int64_t value) {
    CheckBrowseMode();
    if (value == RecNo()) {
        return;
    }
    DoBeforeScroll();
    cursor_->GotoRecord(value);
    Resync({db::rmCenter});
    DoAfterScroll();
}

bool TStrataDataSet::IsSequenced() const {
    return !Filtered();
}

void TStrataDataSet::InternalInitRecord(db::TRecordBuffer buffer) {
    cursor_->InitNewRecord(EngineRecord(buffer));
}

void TStrataDataSet::DoOnNewRecord() {
    if (copy_on_append_) {
        cursor_->CopyCurrentRecord(EngineRecord(ActiveBuffer()));
    }
    db::TDataSet::DoOnNewRecord();
}

void TStrataDataSet::InternalEdit() {
    const EngineErrorCode code = cursor_->GetCurrentRecord(EngineRecord(ActiveBuffer()), true);
    if (code != kErrNone) {
        RaiseEngineError(code, cursor_->TableName());
    }
    edit_locked_ = cursor_->GetCurrentRecordNo();
}

void TStrataDataSet::InternalCancel() {
    if (State() == db::dsEdit) {
        const std::uint32_t locked = std::exchange(edit_locked_, 0);
        // A lock that went meanwhile (given back through the cursor, or by a post that failed
        // after its write) leaves the cancel nothing to give back.
        if (locked != 0 && cursor_->HoldsRecordLock(locked)) {
            cursor_->UnlockRecord(locked);
        }
    }
}

void TStrataDataSet::InternalPost() {
    FreeLookupCursor();
    if (State() == db::dsEdit) {
        // The write goes to the row the cursor stands on: where that is no longer the edited
        // one, the edit would overwrite another row. Back to the edited row first; where it
        // cannot be found the post fails and keeps the lock for Cancel.
        if (edit_locked_ != 0 && cursor_->GetCurrentRecordNo() != edit_locked_) {
            InternalSetToRecord(ActiveBuffer());
            if (cursor_->GetCurrentRecordNo() != edit_locked_) {
                RaiseEngineError(kErrRecordChanged, cursor_->TableName());
            }
        }
        cursor_->ModifyRecord(EngineRecord(ActiveBuffer()), true, true);
        edit_locked_ = 0;
    } else {
        const bool last_deferred =
            std::exchange(post_last_, PostLast::kNone) == PostLast::kDeferred;
        try {
            cursor_->InsertRecord(EngineRecord(ActiveBuffer()), true);
        } catch (...) {
            // The insert stays under way: the cursor stands where the post left it.
            if (last_deferred)
                cursor_->Last();
            throw;
        }
    }
}

void TStrataDataSet::InternalAddRecord(db::TRecordBuffer buffer, bool /*append*/) {
    FreeLookupCursor();
    cursor_->InsertRecord(EngineRecord(buffer), true);
}

void TStrataDataSet::InternalDelete() {
    FreeLookupCursor();
    cursor_->DeleteRecord(EngineRecord(ActiveBuffer()), true);
}

void TStrataDataSet::InternalRefresh() {
    cursor_->Refresh();
}

void TStrataDataSet::InternalHandleException() {
    // The application's handler shows it; the engine has nothing to add.
}

void TStrataDataSet::FlushBuffers() {
    CheckActive();
    if (cursor_->Exclusive() && cursor_->Table() != nullptr && !cursor_->Table()->InBatch()) {
        cursor_->FlushBuffers(false, true, true);
    }
    cursor_->FlushToDisk();
}

std::int64_t TStrataDataSet::Translate(std::string_view source, std::string& dest,
                                       bool /*to_oem*/) {
    dest.assign(source);
    return static_cast<std::int64_t>(dest.size());
}

TStrataDBDataSet::TStrataDBDataSet(db::TComponent* owner) : TStrataDataSet(owner) {}

TStrataDBDataSet::~TStrataDBDataSet() {
    Destroying();
    try {
        Close();
    } catch (...) {
        // As in ~TStrataDataSet.
    }
    db_flags_ = 0;
    if (database_ != nullptr) {
        TStrataDatabase* database = database_;
        database_ = nullptr;
        std::erase(database->datasets_, this);
        if (database->Session() != nullptr) {
            try {
                database->Session()->CloseDatabase(*database);
            } catch (...) {
                // Destruction goes on.
            }
        }
    }
}

TStrataSession& TStrataDBDataSet::DBSession() const {
    return StrataSessions().GetSession(session_name_);
}

void TStrataDBDataSet::SetDatabaseName(std::string_view name) {
    if (IsInMemory()) {
        database_name_ = "Memory";
        return;
    }
    if (name == database_name_) {
        return;
    }
    CheckInactive();
    if (database_ != nullptr) {
        Refuse("Cannot perform this operation on an open database.");
    }
    database_name_ = name;
    DataEvent(db::dePropertyChange);
}

void TStrataDBDataSet::SetSessionName(std::string_view name) {
    if (name == session_name_) {
        return;
    }
    CheckInactive();
    session_name_ = name;
    DataEvent(db::dePropertyChange);
}

void TStrataDBDataSet::SetDBFlag(std::uint8_t flag, bool value) {
    const auto bit = static_cast<std::uint16_t>(1u << (flag & 15));
    if (value) {
        if (db_flags_ == 0) {
            TStrataSession& session = DBSession();
            // A database the application made in the default session for this owner moves
            // to the dataset's own named session.
            if (!session.IsDefault() && session.FindDatabase(database_name_) == nullptr) {
                TStrataDatabase* found = DefaultStrataSession().FindDatabase(database_name_);
                if (found != nullptr && !found->Temporary() && found->Owner() == Owner() &&
                    !found->Connected()) {
                    found->SetSessionName(session.SessionName());
                }
            }
            TStrataDatabase& database = session.OpenDatabase(database_name_, Owner());
            database_ = &database;
            database.datasets_.push_back(this);
        }
        db_flags_ |= bit;
        return;
    }
    if ((db_flags_ & bit) == 0) {
        return;
    }
    db_flags_ &= static_cast<std::uint16_t>(~bit);
    if (db_flags_ == 0 && database_ != nullptr) {
        TStrataDatabase* database = database_;
        database_ = nullptr;
        std::erase(database->datasets_, this);
        if (database->Session() != nullptr) {
            database->Session()->CloseDatabase(*database);
        }
    }
}

void TStrataDBDataSet::ForgetDatabase() {
    database_ = nullptr;
    db_flags_ = 0;
}

void TStrataDBDataSet::Disconnect() {
    Close();
}

void TStrataDBDataSet::OpenCursor(bool info_query) {
    SetDBFlag(0, true);
    TStrataDataSet::OpenCursor(info_query);
}

void TStrataDBDataSet::CloseCursor() {
    // A close that reports a failed sync has closed the table all the same: the database is
    // let go of too, so that it can close.
    std::exception_ptr failure;
    try {
        TStrataDataSet::CloseCursor();
    } catch (...) {
        failure = std::current_exception();
    }
    SetDBFlag(0, false);
    if (failure)
        std::rethrow_exception(failure);
}

void TStrataMasterDataLink::SetFieldNames(std::string_view names) {
    if (names == field_names_) {
        return;
    }
    field_names_ = names;
    ActiveChanged();
}

void TStrataMasterDataLink::ActiveChanged() {
    fields_.clear();
    if (Active() && DataSet() != nullptr) {
        try {
            fields_ = DataSet()->GetFieldList(field_names_);
        } catch (...) {
            fields_.clear();
            throw;
        }
    }
    if (!detail_.Active() || detail_.ComponentState().Contains(db::csDestroying)) {
        return;
    }
    if (!fields_.empty()) {
        if (OnMasterChange) {
            OnMasterChange();
        }
    } else if (OnMasterDisable) {
        OnMasterDisable();
    }
}

void TStrataMasterDataLink::CheckBrowseMode() {
    if (detail_.Active()) {
        detail_.CheckBrowseMode();
    }
}

void TStrataMasterDataLink::LayoutChanged() {
    ActiveChanged();
}

void TStrataMasterDataLink::RecordChanged(db::TField* field) {
    if (DataSet() == nullptr || DataSet()->State() == db::dsSetKey || !detail_.Active() ||
        fields_.empty()) {
        return;
    }
    if (field == nullptr || std::find(fields_.begin(), fields_.end(), field) != fields_.end()) {
        if (OnMasterChange) {
            OnMasterChange();
        }
    }
}

}  // namespace strata
