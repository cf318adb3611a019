#include "platform/db/field.h"

#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/db/dataset.h"
#include "platform/db/exception.h"
#include "platform/db/names.h"
#include "platform/nls/text.h"

namespace db {

namespace {

std::string Quoted(std::string_view name) {
    return "'" + std::string(name) + "'";
}

// Equal for names that SameName takes for one (ASCII case folded): the length and three
// letters tell a dataset's field names apart well enough, at the cost of no loop.
std::uint64_t FoldedNameHash(std::string_view name) {
    if (name.empty()) {
        return 0;
    }
    const auto fold = [](char c) {
        return static_cast<std::uint64_t>(static_cast<unsigned char>(platform::nls::AsciiUpper(c)));
    };
    const std::uint64_t mixed = (name.size() << 24) ^ (fold(name.front()) << 16) ^
                                (fold(name[name.size() / 2]) << 8) ^ fold(name.back());
    return (mixed * 0x9E3779B97F4A7C15ull) >> 32;
}

// SameName, with the common exact spelling answered without folding.
bool SameFieldName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && (a == b || CompareNames(a, b) == 0);
}

}  // namespace

TField::TField(TComponent* owner) : TComponent(owner) {}

TField::~TField() {
    if (lookup_dataset_ != nullptr) {
        lookup_dataset_->RemoveFreeNotification(*this);
    }
    if (dataset_ != nullptr) {
        dataset_->RemoveField(*this);
    }
}

void TField::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove && component != nullptr && component == lookup_dataset_) {
        lookup_dataset_ = nullptr;
    }
}

void TField::SetDataSet(TDataSet* dataset) {
    if (dataset == dataset_) {
        return;
    }
    if (dataset_ != nullptr) {
        dataset_->CheckInactive();
    }
    if (dataset != nullptr) {
        dataset->CheckInactive();
        if (!field_name_.empty() && dataset->FindField(field_name_) != nullptr) {
            throw EDatabaseError("Duplicate field name " + Quoted(field_name_));
        }
    }
    if (dataset_ != nullptr) {
        dataset_->RemoveField(*this);
    }
    if (dataset != nullptr) {
        dataset->AddField(*this);
    }
}

void TField::SetFieldName(std::string_view name) {
    if (dataset_ != nullptr && !SameName(name, field_name_)) {
        dataset_->CheckInactive();
        if (dataset_->FindField(name) != nullptr) {
            throw EDatabaseError("Duplicate field name " + Quoted(name));
        }
    }
    field_name_ = name;
    if (dataset_ != nullptr) {
        dataset_->fields_.Changed();
        dataset_->DataEvent(deFieldListChange);
    }
}

void TField::SetFieldKind(TFieldKind kind) {
    if (kind == field_kind_) {
        return;
    }
    if (dataset_ != nullptr) {
        dataset_->CheckInactive();
    }
    field_kind_ = kind;
}

void TField::SetSize(std::int32_t size) {
    if (dataset_ != nullptr) {
        dataset_->CheckInactive();
    }
    if (size < 0) {
        throw EDatabaseError("Invalid field size");
    }
    size_ = size;
}

std::int64_t TField::Index() const {
    return dataset_ == nullptr ? -1 : dataset_->Fields().IndexOf(this);
}

void TField::SetIndex(std::int64_t index) {
    if (dataset_ == nullptr) {
        return;
    }
    const std::int64_t count = dataset_->FieldCount();
    index = std::clamp<std::int64_t>(index, 0, count - 1);
    if (index == Index()) {
        return;
    }
    dataset_->fields_.Move(*this, index);
    dataset_->DataEvent(deFieldListChange);
    dataset_->DataEvent(deLayoutChange);
}

void TField::SetReadOnly(bool read_only) {
    if (read_only != read_only_) {
        read_only_ = read_only;
        if (dataset_ != nullptr) {
            dataset_->DataEvent(deLayoutChange);
        }
    }
}

void TField::SetRequired(bool required) {
    required_ = required;
}

void TField::SetVisible(bool visible) {
    if (visible != visible_) {
        visible_ = visible;
        if (dataset_ != nullptr) {
            dataset_->DataEvent(deLayoutChange);
        }
    }
}

const std::string& TField::DisplayLabel() const {
    return display_label_.empty() ? field_name_ : display_label_;
}

void TField::SetDisplayLabel(std::string_view label) {
    display_label_ = label == field_name_ ? std::string() : std::string(label);
    if (dataset_ != nullptr) {
        dataset_->DataEvent(deLayoutChange);
    }
}

std::int32_t TField::DisplayWidth() const {
    return display_width_ > 0 ? display_width_ : DefaultDisplayWidth();
}

void TField::SetDisplayWidth(std::int32_t width) {
    display_width_ = std::max(width, 0);
    if (dataset_ != nullptr) {
        dataset_->DataEvent(deLayoutChange);
    }
}

void TField::SetAlignment(TAlignment alignment) {
    if (alignment != alignment_) {
        alignment_ = alignment;
        if (dataset_ != nullptr) {
            dataset_->DataEvent(deLayoutChange);
        }
    }
}

void TField::SetEditMask(std::string_view mask) {
    edit_mask_ = mask;
}

bool TField::IsValidChar(char32_t ch) const {
    return ch != 0;
}

bool TField::CanModify() const {
    if (read_only_ || dataset_ == nullptr) {
        return false;
    }
    if (field_kind_ != fkData && field_kind_ != fkInternalCalc) {
        return false;
    }
    return dataset_->CanModify();
}

bool TField::IsIndexField() const {
    return dataset_ != nullptr && field_kind_ == fkData && dataset_->GetIsIndexField(this);
}

void TField::SetKeyFields(std::string_view fields) {
    if (dataset_ != nullptr) {
        dataset_->CheckInactive();
    }
    key_fields_ = fields;
}

void TField::SetLookupDataSet(TDataSet* dataset) {
    if (dataset_ != nullptr) {
        dataset_->CheckInactive();
    }
    if (dataset != nullptr && dataset == dataset_) {
        throw EDatabaseError("Circular datalinks are not allowed");
    }
    if (lookup_dataset_ != nullptr) {
        lookup_dataset_->RemoveFreeNotification(*this);
    }
    lookup_dataset_ = dataset;
    if (lookup_dataset_ != nullptr) {
        lookup_dataset_->FreeNotification(*this);
    }
}

void TField::SetLookupKeyFields(std::string_view fields) {
    if (dataset_ != nullptr) {
        dataset_->CheckInactive();
    }
    lookup_key_fields_ = fields;
}

void TField::SetLookupResultField(std::string_view field) {
    if (dataset_ != nullptr) {
        dataset_->CheckInactive();
    }
    lookup_result_field_ = field;
}

bool TField::GetData(std::span<std::byte> buffer, bool native_format) const {
    if (validating_ != nullptr) {
        if (validating_->empty()) {
            return false;
        }
        std::copy_n(validating_->begin(), std::min(buffer.size(), validating_->size()),
                    buffer.begin());
        return true;
    }
    if (dataset_ == nullptr) {
        throw EDatabaseError("Field " + Quoted(DisplayName()) + " has no dataset");
    }
    return dataset_->GetFieldData(const_cast<TField*>(this), buffer, native_format);
}

void TField::SetData(std::span<const std::byte> buffer, bool native_format) {
    if (dataset_ == nullptr) {
        throw EDatabaseError("Field " + Quoted(DisplayName()) + " has no dataset");
    }
    dataset_->SetFieldData(this, buffer, native_format);
}

void TField::RunOnValidate(std::span<const std::byte> buffer) {
    const std::span<const std::byte>* saved = validating_;
    validating_ = &buffer;
    try {
        OnValidate(this);
    } catch (...) {
        validating_ = saved;
        throw;
    }
    validating_ = saved;
}

void TField::FocusControl() {
    if (dataset_ == nullptr || !dataset_->Active()) {
        return;
    }
    TField* field = this;
    TDataEventInfo info;
    info.field = this;
    info.focus = &field;
    dataset_->DataEvent(deFocusControl, info);
}

void TField::Change() {
    if (OnChange) {
        OnChange(this);
    }
}

bool TField::IsNull() const {
    // Asked per field of every posted record with required fields: most values fit the stack.
    FieldBuffer buffer(static_cast<std::size_t>(std::max(DataSize(), 0)));
    return !GetData(buffer.bytes());
}

void TField::Clear() {
    SetData({});
}

void TField::AccessError(std::string_view type_name) const {
    throw EDatabaseError("Cannot access field " + Quoted(DisplayName()) + " as type " +
                         std::string(type_name));
}

void TField::RangeError(std::string_view value, std::string_view low, std::string_view high) const {
    throw EDatabaseError(std::string(value) + " is not a valid value for field " +
                         Quoted(DisplayName()) + ". The allowed range is " + std::string(low) +
                         " to " + std::string(high));
}

std::string TField::GetAsString() const {
    std::string text;
    GetText(text, false);
    return text;
}

void TField::SetAsStringValue(std::string_view /*value*/) {
    AccessError("String");
}
std::int32_t TField::GetAsInteger() const {
    AccessError("Integer");
}
void TField::SetAsIntegerValue(std::int32_t /*value*/) {
    AccessError("Integer");
}
std::int64_t TField::GetAsLargeInt() const {
    return GetAsInteger();
}
void TField::SetAsLargeIntValue(std::int64_t value) {
    if (value < INT32_MIN || value > INT32_MAX) {
        RangeError(std::to_string(value), std::to_string(INT32_MIN), std::to_string(INT32_MAX));
    }
    SetAsIntegerValue(static_cast<std::int32_t>(value));
}
double TField::GetAsFloat() const {
    AccessError("Float");
}
void TField::SetAsFloatValue(double /*value*/) {
    AccessError("Float");
}
Currency TField::GetAsCurrency() const {
    const std::optional<Currency> value = Currency::FromDouble(GetAsFloat());
    if (!value) {
        AccessError("Currency");
    }
    return *value;
}
void TField::SetAsCurrencyValue(Currency value) {
    SetAsFloatValue(value.ToDouble());
}
bool TField::GetAsBoolean() const {
    AccessError("Boolean");
}
void TField::SetAsBooleanValue(bool /*value*/) {
    AccessError("Boolean");
}
TDateTime TField::GetAsDateTime() const {
    AccessError("DateTime");
}
void TField::SetAsDateTimeValue(TDateTime /*value*/) {
    AccessError("DateTime");
}
Variant TField::GetAsVariant() const {
    AccessError("Variant");
}

void TField::SetVarValue(const Variant& /*value*/) {
    AccessError("Variant");
}

void TField::GetText(std::string& text, bool /*display_text*/) const {
    text = GetAsString();
}

void TField::SetTextValue(std::string_view text) {
    SetAsStringValue(text);
}

Variant TField::Value() const {
    return GetAsVariant();
}

void TField::SetValue(const Variant& value) {
    if (value.IsClear()) {
        Clear();
        return;
    }
    SetVarValue(value);
}

Variant TField::OldValue() const {
    if (dataset_ == nullptr) {
        return Variant::Null();
    }
    return dataset_->GetStateFieldValue(dsOldValue, const_cast<TField*>(this));
}

std::string TField::Text() const {
    std::string text;
    if (OnGetText) {
        OnGetText(const_cast<TField*>(this), text, false);
    } else {
        GetText(text, false);
    }
    return text;
}

void TField::SetText(std::string_view text) {
    if (OnSetText) {
        OnSetText(this, text);
    } else {
        SetTextValue(text);
    }
}

std::string TField::DisplayText() const {
    std::string text;
    if (OnGetText) {
        OnGetText(const_cast<TField*>(this), text, true);
    } else {
        GetText(text, true);
    }
    return text;
}

TField* TFields::Fields(std::int64_t index) const {
    if (index < 0 || index >= Count()) {
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    }
    return fields_[static_cast<std::size_t>(index)];
}

std::uint64_t TFields::NewVersion() {
    static std::atomic<std::uint64_t> last{0};
    return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

TField* TFields::FindField(std::string_view name) const {
    // Callers look fields up by name per row (an import sets seven per entry): a hashed index
    // answers without comparing the names of the fields before.
    if (by_name_.empty()) {
        if (fields_.empty()) {
            return nullptr;
        }
        BuildNameIndex();
    }
    const std::size_t mask = by_name_.size() - 1;
    const std::uint64_t hash = FoldedNameHash(name);
    for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
        const NameSlot& slot = by_name_[i];
        if (slot.field == nullptr) {
            return nullptr;
        }
        if (slot.hash == hash && SameFieldName(slot.field->FieldName(), name)) {
            return slot.field;
        }
    }
}

void TFields::BuildNameIndex() const {
    std::size_t size = 8;
    // At most half full, so that a probe for a missing name soon meets an empty slot.
    while (size < fields_.size() * 2) {
        size *= 2;
    }
    by_name_.assign(size, NameSlot{});
    const std::size_t mask = size - 1;
    for (TField* field : fields_) {
        const std::uint64_t hash = FoldedNameHash(field->FieldName());
        std::size_t i = static_cast<std::size_t>(hash) & mask;
        for (; by_name_[i].field != nullptr; i = (i + 1) & mask) {
            if (by_name_[i].hash == hash &&
                SameName(by_name_[i].field->FieldName(), field->FieldName())) {
                break;
            }
        }
        if (by_name_[i].field == nullptr) {
            by_name_[i] = NameSlot{hash, field};
        }
    }
}

TField* TFields::FieldByName(std::string_view name) const {
    TField* field = FindField(name);
    if (field == nullptr) {
        throw EDatabaseError("Field " + Quoted(name) + " not found");
    }
    return field;
}

TField* TFields::FieldByNumber(std::int32_t field_no) const {
    for (TField* field : fields_) {
        if (field->FieldNo() == field_no) {
            return field;
        }
    }
    return nullptr;
}

std::int64_t TFields::IndexOf(const TField* field) const {
    const auto found = std::find(fields_.begin(), fields_.end(), field);
    return found == fields_.end() ? -1 : found - fields_.begin();
}

void TFields::Add(TField& field) {
    fields_.push_back(&field);
    Changed();
}

void TFields::Remove(TField& field) {
    std::erase(fields_, &field);
    Changed();
}

void TFields::Move(TField& field, std::int64_t index) {
    Remove(field);
    fields_.insert(fields_.begin() + index, &field);
    Changed();
}

void TFields::Clear() {
    fields_.clear();
    Changed();
}

}  // namespace db
