// Filters, record search, Locate/Lookup, key buffers and ranges of TStrataDataSet.

#include <algorithm>
#include <cassert>
#include <cstring>
#include <span>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/dataset/strata_dataset.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error_codes.h"
#include "platform/db/code_page_text.h"
#include "platform/db/exception.h"
#include "platform/db/fields_text.h"
#include "platform/nls/nls.h"

namespace strata {

namespace {

// Engine strings hold at most this many bytes; a longer value has no engine form.
constexpr std::size_t kMaxEngineString = 250;

[[noreturn]] void Refuse(std::string message) {
    throw db::EDatabaseError(std::move(message));
}

bool IsStringType(db::TFieldType type) {
    return type == db::ftString || type == db::ftFixedChar || type == db::ftWideString ||
           type == db::ftGuid;
}

bool IsBlobFieldType(db::TFieldType type) {
    return type == db::ftBlob || type == db::ftMemo || type == db::ftGraphic ||
           type == db::ftFmtMemo || type == db::ftTypedBinary || type == db::ftParadoxOle ||
           type == db::ftDBaseOle || type == db::ftOraBlob || type == db::ftOraClob;
}

// Runs `undo` when the scope ends early; `Finish` runs it on the normal path, where its
// failure may propagate.
template <class Undo>
class UndoGuard {
  public:
    explicit UndoGuard(Undo undo) : undo_(std::move(undo)) {}
    ~UndoGuard() {
        if (armed_) {
            try {
                undo_();
            } catch (...) {
                // Already unwinding from the failure that matters.
            }
        }
    }
    UndoGuard(const UndoGuard&) = delete;
    UndoGuard& operator=(const UndoGuard&) = delete;
    void Finish() {
        armed_ = false;
        undo_();
    }

  private:
    Undo undo_;
    bool armed_ = true;
};

// Puts the dataset's state back when the scope ends. The callables are kept as they are:
// a key search per imported entry pays for no type-erased wrapper.
template <class Set, class Restore>
class TempState {
  public:
    TempState(Set set, Restore restore, db::TDataSetState state)
        : restore_(std::move(restore)), saved_(set(state)) {}
    ~TempState() { restore_(saved_); }
    TempState(const TempState&) = delete;
    TempState& operator=(const TempState&) = delete;

  private:
    Restore restore_;
    db::TDataSetState saved_;
};

db::Variant KeyValueAt(const db::Variant& values, std::size_t index, std::size_t count) {
    if (count == 1 && !values.IsArray()) {
        return values;
    }
    return values.Element(static_cast<std::int64_t>(index));
}

// The key value of one field, read in place where the values are that one value.
class KeyValue {
  public:
    KeyValue(const SearchKeys& keys, std::size_t index, std::size_t count) : keys_(keys) {
        if (keys.IsText()) {
            // One text is one field's value: more fields were refused before.
            assert(count == 1);
            return;
        }
        const db::Variant& values = keys.Values();
        if (count == 1 && !values.IsArray()) {
            value_ = &values;
        } else {
            element_ = values.Element(static_cast<std::int64_t>(index));
            value_ = &element_;
        }
    }
    KeyValue(const KeyValue&) = delete;
    KeyValue& operator=(const KeyValue&) = delete;
    bool IsClear() const { return value_ != nullptr && value_->IsClear(); }
    const db::Variant& Value() const { return value_ != nullptr ? *value_ : keys_.Values(); }
    // A string's own text, read in place; another value's converted into `holder`.
    std::string_view Text(std::string& holder) const;

  private:
    const SearchKeys& keys_;
    db::Variant element_;
    const db::Variant* value_ = nullptr;
};

std::string_view KeyValue::Text(std::string& holder) const {
    if (value_ == nullptr) {
        return keys_.Text();
    }
    if (value_->IsString()) {
        return value_->StringText();
    }
    holder = value_->AsString();
    return holder;
}

}  // namespace

TFilter* TStrataDataSet::MakeExpressionFilter(std::string_view text, db::TFilterOptions options) {
    if (text.empty()) {
        return nullptr;
    }
    TDataCursor::FilterOptions engine_options;
    engine_options.case_insensitive = options.Contains(db::foCaseInsensitive);
    engine_options.no_partial_compare = options.Contains(db::foNoPartialCompare);
    const std::string bytes = db::Utf8ToCodePage(TextCodePage(), text, "the filter");
    return cursor_->AddFilter(bytes, engine_options);
}

TFilter* TStrataDataSet::MakeCallbackFilter() {
    return cursor_->AddFilter({}, TDataCursor::FilterOptions{},
                              [this](ConstRecordBuffer record, std::uint32_t /*number*/) {
                                  return FilterCallback(record);
                              });
}

bool TStrataDataSet::FilterCallback(std::span<const std::uint8_t> record) {
    if (!OnFilterRecord()) {
        return true;
    }
    filter_record_.assign(record.begin(), record.end());
    filter_record_.resize(static_cast<std::size_t>(record_size_), 0);
    TempState state([this](db::TDataSetState s) { return SetTempState(s); },
                    [this](db::TDataSetState s) { RestoreState(s); }, db::dsFilter);
    bool accept = true;
    OnFilterRecord()(this, accept);
    return accept;
}

void TStrataDataSet::ReplaceFilter(TFilter*& handle, TFilter* replacement) {
    if (Filtered()) {
        CursorPosChanged();
        FreeLookupCursor();
        if (handle != nullptr) {
            cursor_->DropFilter(handle);
        }
        handle = replacement;
        if (handle != nullptr) {
            cursor_->ActivateFilter(handle);
        }
        return;
    }
    if (handle != nullptr) {
        cursor_->DropFilter(handle);
    }
    handle = replacement;
}

void TStrataDataSet::SetFilterText(std::string_view text) {
    const bool open = Active() && cursor_ != nullptr;
    if (open) {
        CheckBrowseMode();
        if (text != Filter()) {
            // The new filter is made first: a text the engine refuses changes nothing.
            TFilter* replacement = MakeExpressionFilter(text, FilterOptions());
            ReplaceFilter(expr_filter_, replacement);
        }
    }
    db::TDataSet::SetFilterText(text);
    if (open && Filtered()) {
        First();
    }
}

void TStrataDataSet::SetFilterOptions(db::TFilterOptions options) {
    const bool open = Active() && cursor_ != nullptr;
    if (open) {
        CheckBrowseMode();
        if (options != FilterOptions() && !Filter().empty()) {
            TFilter* replacement = MakeExpressionFilter(Filter(), options);
            ReplaceFilter(expr_filter_, replacement);
        }
    }
    db::TDataSet::SetFilterOptions(options);
    if (open && Filtered()) {
        First();
    }
}

void TStrataDataSet::SetFiltered(bool value) {
    const bool open = Active() && cursor_ != nullptr;
    if (open) {
        CheckBrowseMode();
        if (value != Filtered()) {
            FreeLookupCursor();
            CursorPosChanged();
            for (TFilter* filter : {expr_filter_, callback_filter_}) {
                if (filter == nullptr) {
                    continue;
                }
                if (value) {
                    cursor_->ActivateFilter(filter);
                } else {
                    cursor_->DeactivateFilter(filter);
                }
            }
        }
    }
    db::TDataSet::SetFiltered(value);
    if (open) {
        First();
    }
}

void TStrataDataSet::SetOnFilterRecord(db::TFilterRecordEvent handler) {
    const bool open = Active() && cursor_ != nullptr;
    if (open) {
        CheckBrowseMode();
    }
    const bool assigned = static_cast<bool>(handler);
    db::TDataSet::SetOnFilterRecord(std::move(handler));
    if (open) {
        ReplaceFilter(callback_filter_, assigned ? MakeCallbackFilter() : nullptr);
        if (Filtered()) {
            First();
        }
    }
}

bool TStrataDataSet::FindRecord(bool restart, bool go_forward) {
    CheckBrowseMode();
    DoBeforeScroll();
    UpdateCursorPos();
    CursorPosChanged();
    std::vector<TFilter*> switched;
    if (!Filtered()) {
        for (TFilter* filter : {expr_filter_, callback_filter_}) {
            if (filter != nullptr) {
                switched.push_back(filter);
            }
        }
    }
    // The filters this search switched on go off again on every way out.
    UndoGuard undo([this, &switched] {
        for (TFilter* filter : switched) {
            cursor_->DeactivateFilter(filter);
        }
    });
    for (TFilter* filter : switched) {
        cursor_->ActivateFilter(filter);
    }
    if (restart) {
        if (go_forward) {
            cursor_->First();
        } else {
            cursor_->Last();
        }
    }
    const EngineErrorCode code =
        go_forward ? cursor_->GetNextRecord(work_record_) : cursor_->GetPriorRecord(work_record_);
    undo.Finish();
    if (code != kErrNone) {
        return false;
    }
    Resync({db::rmExact, db::rmCenter});
    DoAfterScroll();
    return true;
}

bool TStrataDataSet::IndexFits(const std::vector<db::TField*>& fields,
                               bool case_insensitive) const {
    if (cursor_->PhysicalOrder() || case_insensitive_index_ != case_insensitive ||
        index_field_count_ < static_cast<std::int32_t>(fields.size())) {
        return false;
    }
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (fields[i]->FieldNo() != index_fields_[i]) {
            return false;
        }
    }
    return true;
}

bool TStrataDataSet::KeySearch(TDataCursor& cursor, const std::vector<db::TField*>& fields,
                               const SearchKeys& keys, db::TLocateOptions options) {
    const std::size_t count = fields.size();
    TempState state([this](db::TDataSetState s) { return SetTempState(s); },
                    [this](db::TDataSetState s) { RestoreState(s); }, db::dsFilter);
    // Sized at open: only cleared here.
    filter_record_.resize(static_cast<std::size_t>(record_size_));
    cursor.ClearRecordBuffer(filter_record_);
    std::size_t partial_length = 0;
    std::string holder;
    std::string converted;
    for (std::size_t i = 0; i < count; ++i) {
        db::TField* field = fields[i];
        const KeyValue value(keys, i, count);
        const bool partial =
            i + 1 == count && options.Contains(db::loPartialKey) && IsStringType(field->DataType());
        if (!IsStringType(field->DataType()) || value.IsClear()) {
            field->SetValue(value.Value());
            continue;
        }
        std::string_view text = value.Text(holder);
        if (partial && !text.empty() && text.back() == '*') {
            text.remove_suffix(1);
        }
        std::string_view bytes = text;
        if (!KeyTextKept(text)) {
            converted = db::Utf8ToCodePage(TextCodePage(), text, "a key value");
            bytes = converted;
        }
        // A value longer than the field matches nothing; the key could not even hold it.
        if (static_cast<std::int64_t>(bytes.size()) > field->Size()) {
            return false;
        }
        if (partial) {
            partial_length = bytes.size();
        }
        // A plain text field takes the bytes made above, as its own conversion would make
        // them, without converting the value again.
        if (typeid(*field) == typeid(db::TStringField) &&
            bytes.find('\0') == std::string_view::npos) {
            // On the stack: an OnValidate handler that searches again has buffers of its own.
            db::FieldBuffer data(static_cast<std::size_t>(field->DataSize()));
            assert(bytes.size() <= data.bytes().size());
            std::memcpy(data.bytes().data(), bytes.data(), bytes.size());
            field->SetData(data.bytes());
            continue;
        }
        field->SetValue(db::Variant(std::string(text)));
    }
    const bool use_partial = partial_length > 0;
    const int field_count = static_cast<int>(use_partial ? count - 1 : count);
    return cursor.FindKey(false, filter_record_, EngineRecord(TempBuffer()), partial_length, false,
                          field_count);
}

ExpTokenPtr TStrataDataSet::BuildLocateExpression(const std::vector<db::TField*>& fields,
                                                  const db::Variant& key_values,
                                                  db::TLocateOptions options) const {
    auto* self = const_cast<TStrataDataSet*>(this);
    const std::size_t count = fields.size();
    const bool case_insensitive = options.Contains(db::loCaseInsensitive);
    ExpTokenPtr root;
    for (std::size_t i = 0; i < count; ++i) {
        db::TField* field = fields[i];
        const auto number = static_cast<std::uint32_t>(field->FieldNo());
        const FieldDescriptor& desc = cursor_->GetFieldDesc(number);
        const db::Variant value = KeyValueAt(key_values, i, count);

        ExpTokenPtr column = NewExpToken();
        column->Kind = kTokenColumn;
        column->Text = FieldName(desc);
        column->ColumnName = FieldName(desc);
        column->FieldNumber = static_cast<std::uint16_t>(number);
        column->DataType = FieldType(desc);
        column->SubType = FieldSubtype(desc);
        column->Scale = FieldType(desc) == kTypeBCD ? FieldDecimals(desc) : 0;
        column->SetDataSize(FieldType(desc) == kTypeBCD ? 8 : FieldDataSize(desc));

        ExpTokenPtr constant = NewExpToken();
        constant->Kind = kTokenConstant;
        constant->DataType = column->DataType;
        constant->SubType = column->SubType;
        constant->Scale = column->Scale;
        std::uint16_t partial_length = 0;
        if (value.IsClear()) {
            constant->Text = "NULL";
            constant->IsNull = true;
            constant->SetDataSize(column->DataSize);
        } else if (IsStringType(field->DataType()) || IsBlobFieldType(field->DataType())) {
            std::string text = value.AsString();
            const bool partial = i + 1 == count && options.Contains(db::loPartialKey) &&
                                 IsStringType(field->DataType());
            if (partial && !text.empty() && text.back() == '*') {
                text.pop_back();
            }
            const bool raw = IsBlobFieldType(field->DataType()) &&
                             field->DataType() != db::ftMemo && field->DataType() != db::ftFmtMemo;
            const std::string bytes =
                raw ? text : db::Utf8ToCodePage(TextCodePage(), text, "a key value");
            constant->Text = bytes;
            if (IsStringType(field->DataType())) {
                constant->SetValueText(bytes);
                if (partial) {
                    // Never more characters than the field can hold.
                    partial_length = static_cast<std::uint16_t>(std::min<std::size_t>(
                        bytes.size(), static_cast<std::size_t>(field->Size())));
                }
            } else {
                constant->SetDataSize(static_cast<std::uint32_t>(bytes.size()));
                std::memcpy(constant->Value(), bytes.data(), bytes.size());
            }
        } else {
            // The field's own setter does the conversions; its native bytes become the constant.
            TempState state([self](db::TDataSetState s) { return self->SetTempState(s); },
                            [self](db::TDataSetState s) { self->RestoreState(s); }, db::dsFilter);
            self->filter_record_.assign(static_cast<std::size_t>(record_size_), 0);
            cursor_->ClearRecordBuffer(self->filter_record_);
            field->SetValue(value);
            constant->SetDataSize(column->DataSize);
            bool blank = true;
            cursor_->GetField(
                number, self->filter_record_, blank,
                std::span(reinterpret_cast<std::uint8_t*>(constant->Value()), column->DataSize));
            constant->IsNull = blank;
        }

        ExpTokenPtr compare = NewExpToken();
        const bool text_compare = IsStringType(field->DataType());
        compare->Kind = text_compare ? kTokenStringCompare : kTokenBinary;
        compare->Code = kOpEqual;
        compare->Text = "=";
        compare->NoCase = text_compare && case_insensitive;
        compare->PartialLength = partial_length;
        compare->DataType = kTypeBoolean;
        compare->SetDataSize(2);
        compare->First = std::move(column);
        compare->Second = std::move(constant);
        if (!root) {
            root = std::move(compare);
            continue;
        }
        ExpTokenPtr both = NewExpToken();
        both->Kind = kTokenBinary;
        both->Code = kOpAnd;
        both->Text = "AND";
        both->DataType = kTypeBoolean;
        both->SetDataSize(2);
        both->First = std::move(root);
        both->Second = std::move(compare);
        root = std::move(both);
    }
    return root;
}

bool TStrataDataSet::FilterSearch(const std::vector<db::TField*>& fields,
                                  const db::Variant& key_values, db::TLocateOptions options) {
    ExpTokenPtr tree = BuildLocateExpression(fields, key_values, options);
    if (!tree) {
        return false;
    }
    TDataCursor::FilterOptions engine_options;
    engine_options.case_insensitive = options.Contains(db::loCaseInsensitive);
    engine_options.no_partial_compare = !options.Contains(db::loPartialKey);
    TFilter* filter = cursor_->AddFilter(std::move(tree), engine_options);
    // The search's filter is dropped on every way out, the failures included.
    UndoGuard undo([this, filter] { cursor_->DropFilter(filter); });
    const EngineErrorCode code = cursor_->ActivateAndReadFirst(filter, EngineRecord(TempBuffer()));
    undo.Finish();
    return code == kErrNone;
}

bool TStrataDataSet::KeyTextKept(std::string_view text) const {
    return db::SameInCodePageOf([this] { return TextCodePage(); }, text);
}

std::size_t TStrataDataSet::KeyTextBytes(std::string_view text) const {
    // ASCII, as most keys are, keeps its length in the table's code page: a search per entry
    // of an import need not convert its key twice to learn it.
    if (KeyTextKept(text))
        return text.size();
    return db::Utf8ToCodePage(TextCodePage(), text, "a key value").size();
}

const std::vector<db::TField*>& TStrataDataSet::LocateFields(std::string_view key_fields) {
    const std::uint64_t version = Fields().Version();
    if (!locate_fields_.known || locate_fields_.version != version ||
        locate_fields_.names != key_fields) {
        locate_fields_.known = false;
        locate_fields_.fields = GetFieldList(key_fields);
        locate_fields_.names = key_fields;
        locate_fields_.version = version;
        locate_fields_.known = true;
    }
    return locate_fields_.fields;
}

bool TStrataDataSet::LocateRecord(std::string_view key_fields, const SearchKeys& keys,
                                  db::TLocateOptions options, bool follow) {
    CheckBrowseMode();
    CursorPosChanged();
    // Imports locate every entry by the same names: the list is worked out once.
    std::vector<db::TField*> own_list;
    const std::vector<db::TField*>* list = &own_list;
    if (locate_fields_busy_) {
        own_list = GetFieldList(key_fields);
    } else {
        list = &LocateFields(key_fields);
    }
    const bool was_busy = std::exchange(locate_fields_busy_, true);
    UndoGuard free_list([this, was_busy] { locate_fields_busy_ = was_busy; });
    const std::vector<db::TField*>& fields = *list;
    if (fields.empty()) {
        return false;
    }
    if (fields.size() > 1 &&
        (keys.IsText() || !keys.Values().IsArray() ||
         keys.Values().ArrayCount() < static_cast<std::int64_t>(fields.size()))) {
        Refuse("Too few key values for the fields " + std::string(key_fields));
    }
    std::string holder;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        db::TField* field = fields[i];
        if (field->FieldNo() < 1) {
            Refuse("Field '" + field->DisplayName() + "' is not indexed and cannot be modified");
        }
        const KeyValue value(keys, i, fields.size());
        if (IsStringType(field->DataType()) && !value.IsClear() &&
            KeyTextBytes(value.Text(holder)) >
                kMaxEngineString + (options.Contains(db::loPartialKey) ? 1 : 0)) {
            // The engine's strings stop at 250 bytes; nothing longer is handed on, by copy
            // or by pointer.
            Refuse("Field '" + field->DisplayName() + "' is of an unsupported type");
        }
    }
    // A partial key with no text compares nothing and so matches every record: the search
    // runs on the other fields alone, each a full key.
    if (options.Contains(db::loPartialKey) && IsStringType(fields.back()->DataType())) {
        const db::Variant& key_values = keys.Values();
        const db::Variant last = KeyValueAt(key_values, fields.size() - 1, fields.size());
        std::string text = last.IsClear() ? std::string("-") : last.AsString();
        if (!text.empty() && text.back() == '*') {
            text.pop_back();
        }
        if (text.empty()) {
            if (fields.size() == 1) {
                cursor_->First();
                return cursor_->GetNextRecord(EngineRecord(TempBuffer())) == kErrNone;
            }
            std::string names;
            std::vector<db::Variant> values;
            for (std::size_t i = 0; i + 1 < fields.size(); ++i) {
                names += (i == 0 ? "" : ";") + fields[i]->FieldName();
                values.push_back(KeyValueAt(key_values, i, fields.size()));
            }
            const db::Variant rest =
                values.size() == 1 ? values.front() : db::Variant::FromArray(std::move(values));
            free_list.Finish();
            return LocateRecord(names, SearchKeys(rest),
                                db::TLocateOptions(options).Exclude(db::loPartialKey), follow);
        }
    }
    const bool case_insensitive = options.Contains(db::loCaseInsensitive);
    TDataCursor* search = IndexFits(fields, case_insensitive) ? cursor_ : nullptr;
    if (search == nullptr) {
        search = GetLookupCursor(key_fields, case_insensitive);
    }
    if (search == nullptr) {
        return FilterSearch(fields, keys.Values(), options);
    }
    if (!KeySearch(*search, fields, keys, options)) {
        return false;
    }
    if (search != cursor_ && follow) {
        const int code = cursor_->GotoCursorPosition(*search);
        if (code != 0) {
            RaiseEngineError(static_cast<EngineErrorCode>(code), cursor_->TableName());
        }
    }
    return true;
}

bool TStrataDataSet::Locate(std::string_view key_fields, const db::Variant& key_values,
                            db::TLocateOptions options) {
    return LocateWith(key_fields, SearchKeys(key_values), options);
}

bool TStrataDataSet::LocateText(std::string_view key_fields, std::string_view text,
                                db::TLocateOptions options) {
    return LocateWith(key_fields, SearchKeys(text), options);
}

bool TStrataDataSet::LocateWith(std::string_view key_fields, const SearchKeys& keys,
                                db::TLocateOptions options) {
    CheckBrowseMode();
    DoBeforeScroll();
    const bool found = LocateRecord(key_fields, keys, options, true);
    if (found) {
        Resync({db::rmExact, db::rmCenter});
        DoAfterScroll();
    }
    return found;
}

db::Variant TStrataDataSet::Lookup(std::string_view key_fields, const db::Variant& key_values,
                                   std::string_view result_fields) {
    CheckBrowseMode();
    if (!LocateRecord(key_fields, SearchKeys(key_values), {}, false)) {
        return db::Variant::Null();
    }
    const db::TRecordBuffer buffer = TempBuffer();
    if (CalcFieldsSize() > 0) {
        CalculateFields(buffer);
    }
    lookup_buffer_ = buffer;
    TempState state([this](db::TDataSetState s) { return SetTempState(s); },
                    [this](db::TDataSetState s) {
                        RestoreState(s);
                        lookup_buffer_ = nullptr;
                    },
                    db::dsCalcFields);
    return FieldValues(result_fields);
}

void TStrataDataSet::AllocKeyBuffers() {
    for (KeyBuffer& key : keys_) {
        key.record.assign(static_cast<std::size_t>(record_size_), 0);
        ClearKeyBuffer(key);
    }
    edited_key_ = nullptr;
}

void TStrataDataSet::ClearKeyBuffer(KeyBuffer& key) {
    key.modified = false;
    key.field_count = 0;
    std::fill(key.record.begin(), key.record.end(), std::uint8_t{0});
    cursor_->ClearRecordBuffer(key.record);
}

void TStrataDataSet::SetKeyBuffer(KeyIndex index, bool clear) {
    CheckBrowseMode();
    edited_key_ = &keys_[index];
    if (clear) {
        ClearKeyBuffer(*edited_key_);
    }
    keys_[kiSave] = *edited_key_;
    SetState(db::dsSetKey);
    SetModified(edited_key_->modified);
    DataEvent(db::deDataSetChange);
}

void TStrataDataSet::Post() {
    // A BeforePost handler might move the cursor and read where it stands: then nothing waits.
    post_last_ = State() == db::dsInsert && !BeforePost ? PostLast::kMayDefer : PostLast::kNone;
    try {
        db::TDataSet::Post();
    } catch (...) {
        post_last_ = PostLast::kNone;
        throw;
    }
    post_last_ = PostLast::kNone;
    if (State() == db::dsSetKey) {
        DataEvent(db::deCheckBrowseMode);
        edited_key_->modified = Modified();
        SetState(db::dsBrowse);
        DataEvent(db::deDataSetChange);
    }
}

void TStrataDataSet::Cancel() {
    db::TDataSet::Cancel();
    if (State() == db::dsSetKey) {
        *edited_key_ = keys_[kiSave];
        SetState(db::dsBrowse);
        DataEvent(db::deDataSetChange);
    }
}

db::TField* TStrataDataSet::IndexField(std::int32_t position) const {
    if (position < 0 || position >= index_field_count_) {
        Refuse("Field index out of range");
    }
    const std::uint16_t number = index_fields_[static_cast<std::size_t>(position)];
    db::TField* field = FieldByNumber(number);
    if (field == nullptr) {
        Refuse("Cannot access index field '" + FieldName(cursor_->GetFieldDesc(number)) + "'");
    }
    return field;
}

void TStrataDataSet::SetLinkRanges(const std::vector<db::TField*>& master_fields) {
    const std::int32_t count =
        std::min<std::int32_t>(static_cast<std::int32_t>(master_fields.size()), 16);
    KeyBuffer* saved_key = edited_key_;
    edited_key_ = &keys_[kiRangeStart];
    ClearKeyBuffer(*edited_key_);
    edited_key_->modified = true;
    {
        TempState state([this](db::TDataSetState s) { return SetTempState(s); },
                        [this](db::TDataSetState s) { RestoreState(s); }, db::dsSetKey);
        try {
            for (std::int32_t i = 0; i < count; ++i) {
                IndexField(i)->SetValue(master_fields[static_cast<std::size_t>(i)]->Value());
            }
        } catch (...) {
            edited_key_ = saved_key;
            throw;
        }
    }
    edited_key_->field_count = count;
    edited_key_ = saved_key;
    keys_[kiRangeEnd] = keys_[kiRangeStart];
}

bool TStrataDataSet::ApplyRange() {
    const auto same = [](const KeyBuffer& a, const KeyBuffer& b) {
        return a.modified == b.modified && a.field_count == b.field_count && a.record == b.record;
    };
    if (same(keys_[kiRangeStart], keys_[kiCurRangeStart]) &&
        same(keys_[kiRangeEnd], keys_[kiCurRangeEnd])) {
        return false;
    }
    const KeyBuffer& start = keys_[kiRangeStart];
    const KeyBuffer& end = keys_[kiRangeEnd];
    cursor_->SetRangeKeys(
        false, start.modified ? ConstRecordBuffer(start.record) : ConstRecordBuffer(),
        start.field_count, end.modified ? ConstRecordBuffer(end.record) : ConstRecordBuffer(),
        end.field_count);
    keys_[kiCurRangeStart] = start;
    keys_[kiCurRangeEnd] = end;
    FreeLookupCursor();
    return true;
}

bool TStrataDataSet::RangeActive() const {
    return keys_[kiCurRangeStart].modified || keys_[kiCurRangeEnd].modified;
}

bool TStrataDataSet::ResetRange() {
    if (!RangeActive() && (cursor_ == nullptr || !cursor_->RangeActive())) {
        return false;
    }
    cursor_->CancelRange();
    ClearKeyBuffer(keys_[kiCurRangeStart]);
    ClearKeyBuffer(keys_[kiCurRangeEnd]);
    FreeLookupCursor();
    return true;
}

void TStrataDataSet::SwitchToIndex(std::string_view index_name) {
    ResetRange();
    UpdateCursorPos();
    const std::string name(index_name.substr(0, std::min<std::size_t>(index_name.size(), 255)));
    cursor_->SetIndexByName(db::Utf8ToCodePage(TextCodePage(), name, "the index name"));
    for (std::size_t i = kiLookup; i <= kiRangeEnd; ++i) {
        ClearKeyBuffer(keys_[i]);
    }
    LayoutBuffers();
    GetIndexInfo();
    if (State() == db::dsBrowse) {
        Resync({});
    }
}

}  // namespace strata
