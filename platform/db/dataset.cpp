#include "platform/db/dataset.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>

#include "platform/db/data_link.h"
#include "platform/db/data_source.h"
#include "platform/db/exception.h"
#include "platform/db/fields_blob.h"
#include "platform/db/fields_date_time.h"
#include "platform/db/fields_numeric.h"
#include "platform/db/fields_text.h"
#include "platform/db/names.h"

namespace db {

namespace {

// The field class the dataset makes for a definition; nullptr for types no field stands for.
TField* MakeDefaultField(TComponent& owner, TFieldType type) {
    switch (type) {
        case ftString:
        case ftFixedChar:
        case ftWideString:
        case ftGuid:
            return MakeOwned<TStringField>(owner);
        case ftSmallint:
            return MakeOwned<TSmallintField>(owner);
        case ftInteger:
            return MakeOwned<TIntegerField>(owner);
        case ftWord:
            return MakeOwned<TWordField>(owner);
        case ftAutoInc:
            return MakeOwned<TAutoIncField>(owner);
        case ftLargeint:
            return MakeOwned<TLargeintField>(owner);
        case ftBoolean:
            return MakeOwned<TBooleanField>(owner);
        case ftFloat:
            return MakeOwned<TFloatField>(owner);
        case ftCurrency:
            return MakeOwned<TCurrencyField>(owner);
        case ftBCD:
            return MakeOwned<TBCDField>(owner);
        case ftDate:
            return MakeOwned<TDateField>(owner);
        case ftTime:
            return MakeOwned<TTimeField>(owner);
        case ftDateTime:
            return MakeOwned<TDateTimeField>(owner);
        case ftBytes:
            return MakeOwned<TBytesField>(owner);
        case ftVarBytes:
            return MakeOwned<TVarBytesField>(owner);
        case ftMemo:
        case ftFmtMemo:
            return MakeOwned<TMemoField>(owner);
        case ftGraphic:
            return MakeOwned<TGraphicField>(owner);
        case ftBlob:
        case ftParadoxOle:
        case ftDBaseOle:
        case ftTypedBinary:
        case ftOraBlob:
        case ftOraClob:
            return MakeOwned<TBlobField>(owner);
        default:
            return nullptr;
    }
}

// Field and definition types that store the same native value.
TFieldType StorageType(TFieldType type) {
    switch (type) {
        case ftFixedChar:
        case ftWideString:
        case ftGuid:
            return ftString;
        case ftAutoInc:
            return ftInteger;
        case ftFmtMemo:
            return ftMemo;
        case ftParadoxOle:
        case ftDBaseOle:
        case ftTypedBinary:
        case ftOraBlob:
        case ftOraClob:
            return ftBlob;
        default:
            return type;
    }
}

bool HasSize(TFieldType type) {
    return type == ftString || type == ftBytes || type == ftVarBytes || type == ftBCD;
}

}  // namespace

void TDataSet::BufferDeleter::operator()(std::byte* buffer) const {
    TRecordBuffer owned = buffer;
    dataset->FreeRecordBuffer(owned);
}

TDataSet::TDataSet(TComponent* owner)
    : TComponent(owner), field_defs_(std::make_unique<TFieldDefs>(this)) {
    field_defs_->SetUpdater([this] { InitFieldDefs(); });
    field_defs_->OnUpdate = [this](TObject* sender) { DefChanged(sender); };
}

TDataSet::~TDataSet() {
    // A derived destructor has closed the dataset; only what is left of the base remains.
    assert(buffers_.empty());
    for (TDataSource* source : std::vector<TDataSource*>(data_sources_)) {
        source->DetachDataSet();
    }
    data_sources_.clear();
    for (TField* field : std::vector<TField*>(fields_.fields_)) {
        field->dataset_ = nullptr;
    }
    fields_.Clear();
}

void TDataSet::Loaded() {
    TComponent::Loaded();
    if (streamed_active_) {
        streamed_active_ = false;
        SetActive(true);
    }
}

void TDataSet::CheckActive() const {
    if (state_ == dsInactive) {
        throw EDatabaseError("Cannot perform this operation on a closed dataset");
    }
}

void TDataSet::CheckInactive() const {
    if (state_ != dsInactive) {
        throw EDatabaseError("Cannot perform this operation on an open dataset");
    }
}

void TDataSet::CheckCanModify() const {
    if (!CanModify()) {
        throw EDatabaseError("Cannot modify a read-only dataset");
    }
}

bool TDataSet::IsEmpty() const {
    return Active() && record_count_ == 0 && state_ != dsInsert;
}

void TDataSet::SetActive(bool active) {
    if (ComponentState().Contains(csLoading)) {
        streamed_active_ = active;
        return;
    }
    if (active == Active()) {
        return;
    }
    if (active) {
        FireEvent(BeforeOpen);
        try {
            OpenCursor(false);
        } catch (...) {
            CloseCursor();
            throw;
        }
        SetState(dsBrowse);
        FireEvent(AfterOpen);
        if (record_count_ > 0) {
            DoAfterScroll();
        }
    } else {
        if (!ComponentState().Contains(csDestroying)) {
            FireEvent(BeforeClose);
        }
        SetState(dsInactive);
        CloseCursor();
        if (!ComponentState().Contains(csDestroying)) {
            FireEvent(AfterClose);
        }
    }
}

void TDataSet::OpenCursor(bool info_query) {
    if (info_query) {
        InternalInitFieldDefs();
        field_defs_->SetUpdated(true);
        return;
    }
    DoInternalOpen();
}

void TDataSet::DoInternalOpen() {
    default_fields_ = fields_.Count() == 0;
    try {
        InternalOpen();
    } catch (...) {
        // Fields made for this open would otherwise pass for declared ones next time.
        if (default_fields_) {
            DestroyFields();
        }
        throw;
    }
    internal_open_complete_ = true;
    field_defs_->SetUpdated(true);
    UpdateBufferCount();
    bof_ = true;
    eof_ = true;
    // The ring starts at the first record; the state change that follows tells the links.
    ClearBuffers();
    InternalFirst();
    GetNextRecords();
    bof_ = true;
    eof_ = record_count_ == 0;
}

void TDataSet::CloseCursor() {
    SetBufListSize(0);
    buffer_count_ = 0;
    record_count_ = 0;
    active_record_ = 0;
    current_record_ = -1;
    if (internal_open_complete_) {
        internal_open_complete_ = false;
        InternalClose();
    }
    bof_ = true;
    eof_ = true;
    modified_ = false;
}

void TDataSet::InitFieldDefs() {
    if (IsCursorOpen()) {
        InternalInitFieldDefs();
        field_defs_->SetUpdated(true);
        return;
    }
    try {
        OpenCursor(true);
    } catch (...) {
        CloseCursor();
        throw;
    }
    CloseCursor();
}

void TDataSet::SetState(TDataSetState state) {
    if (state == state_) {
        return;
    }
    state_ = state;
    modified_ = false;
    DataEvent(deUpdateState);
}

TDataSetState TDataSet::SetTempState(TDataSetState state) {
    const TDataSetState old = state_;
    state_ = state;
    return old;
}

void TDataSet::RestoreState(TDataSetState state) {
    state_ = state;
}

void TDataSet::AddField(TField& field) {
    fields_.Add(field);
    field.dataset_ = this;
    DataEvent(deFieldListChange);
}

void TDataSet::RemoveField(TField& field) {
    fields_.Remove(field);
    field.dataset_ = nullptr;
    if (!ComponentState().Contains(csDestroying)) {
        DataEvent(deFieldListChange);
    }
}

void TDataSet::CreateFields() {
    for (std::int64_t i = 0; i < field_defs_->Count(); ++i) {
        const TFieldDef* def = field_defs_->Items(i);
        TField* field = MakeDefaultField(*this, def->DataType());
        if (field == nullptr) {
            continue;
        }
        try {
            field->SetFieldName(def->Name());
            if (HasSize(def->DataType())) {
                field->SetSize(def->Size());
            }
            field->SetRequired(def->Required());
            if (auto* bcd = dynamic_cast<TBCDField*>(field); bcd != nullptr) {
                bcd->SetPrecision(def->Precision());
            }
            field->SetDataSet(this);
        } catch (...) {
            field->Free();
            throw;
        }
    }
}

void TDataSet::DestroyFields() {
    for (TField* field : std::vector<TField*>(fields_.fields_)) {
        if (field->Owner() == this) {
            field->Free();
        } else {
            RemoveField(*field);
        }
    }
}

void TDataSet::BindFields(bool binding) {
    calc_fields_size_ = 0;
    for (TField* field : fields_) {
        if (!binding) {
            if (field->field_kind_ == fkData) {
                field->field_no_ = 0;
            }
            continue;
        }
        if (field->field_kind_ == fkData) {
            const std::int64_t index = field_defs_->IndexOf(field->FieldName());
            if (index < 0) {
                throw EDatabaseError("Field '" + field->DisplayName() + "' not found");
            }
            const TFieldDef* def = field_defs_->Items(index);
            if (StorageType(def->DataType()) != StorageType(field->DataType())) {
                throw EDatabaseError(
                    "Type mismatch for field '" + field->DisplayName() +
                    "', expecting: " + std::string(FieldTypeName(field->DataType())) +
                    " actual: " + std::string(FieldTypeName(def->DataType())));
            }
            // The stored size decides what a record holds; a declared field that says
            // otherwise takes it over, so it never writes past the stored value.
            if (HasSize(def->DataType())) {
                field->size_ = def->Size();
            }
            field->field_no_ = def->FieldNo();
        } else {
            field->field_no_ = 0;
            field->offset_ = calc_fields_size_;
            calc_fields_size_ += field->DataSize() + 1;
        }
    }
}

std::vector<TField*> TDataSet::GetFieldList(std::string_view field_names) const {
    std::vector<TField*> list;
    // Most lists name a field or two: one allocation holds them.
    list.reserve(4);
    std::size_t pos = 0;
    while (pos <= field_names.size()) {
        const std::size_t end = std::min(field_names.find(';', pos), field_names.size());
        std::string_view name = field_names.substr(pos, end - pos);
        while (!name.empty() && name.front() == ' ') {
            name.remove_prefix(1);
        }
        while (!name.empty() && name.back() == ' ') {
            name.remove_suffix(1);
        }
        if (!name.empty()) {
            list.push_back(FieldByName(name));
        }
        pos = end + 1;
    }
    return list;
}

void TDataSet::GetFieldNames(std::vector<std::string>& names) const {
    names.clear();
    if (fields_.Count() > 0) {
        for (TField* field : fields_) {
            names.push_back(field->FieldName());
        }
        return;
    }
    field_defs_->Update();
    for (std::int64_t i = 0; i < field_defs_->Count(); ++i) {
        names.push_back(field_defs_->Items(i)->Name());
    }
}

Variant TDataSet::FieldValues(std::string_view field_names) const {
    const std::vector<TField*> list = GetFieldList(field_names);
    if (list.size() == 1) {
        return list[0]->Value();
    }
    std::vector<Variant> values;
    values.reserve(list.size());
    for (TField* field : list) {
        values.push_back(field->Value());
    }
    return VarArrayOf(std::move(values));
}

void TDataSet::SetFieldValues(std::string_view field_names, const Variant& values) {
    const std::vector<TField*> list = GetFieldList(field_names);
    if (list.size() == 1 && !values.IsArray()) {
        list[0]->SetValue(values);
        return;
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        list[i]->SetValue(values.Element(static_cast<std::int64_t>(i)));
    }
}

void TDataSet::SetFields(std::span<const Variant> values) {
    const std::size_t count = std::min(values.size(), static_cast<std::size_t>(fields_.Count()));
    for (std::size_t i = 0; i < count; ++i) {
        if (!values[i].IsEmpty()) {
            fields_[static_cast<std::int64_t>(i)]->SetValue(values[i]);
        }
    }
}

bool TDataSet::GetFieldData(TField* field, std::span<std::byte> buffer, bool native_format) {
    const TFieldType type = field->DataType();
    const bool converts = type == ftDate || type == ftTime || type == ftDateTime || type == ftBCD;
    if (native_format || !converts) {
        return GetFieldData(field, buffer);
    }
    std::vector<std::byte> native(static_cast<std::size_t>(std::max(field->DataSize(), 8)));
    if (!GetFieldData(field, native)) {
        return false;
    }
    DataConvert(field, native, buffer, false);
    return true;
}

void TDataSet::SetFieldData(TField* field, std::span<const std::byte> buffer, bool native_format) {
    const TFieldType type = field->DataType();
    const bool converts = type == ftDate || type == ftTime || type == ftDateTime || type == ftBCD;
    if (native_format || !converts || buffer.empty()) {
        SetFieldData(field, buffer);
        return;
    }
    std::vector<std::byte> native(static_cast<std::size_t>(std::max(field->DataSize(), 8)));
    DataConvert(field, buffer, native, true);
    SetFieldData(field, std::span<const std::byte>(native).first(
                            static_cast<std::size_t>(field->DataSize())));
}

void TDataSet::DataConvert(TField* field, std::span<const std::byte> source,
                           std::span<std::byte> dest, bool to_native) {
    auto read = [&source](auto& value) {
        std::memcpy(&value, source.data(), std::min(sizeof value, source.size()));
    };
    auto write = [&dest](const auto& value) {
        std::memcpy(dest.data(), &value, std::min(sizeof value, dest.size()));
    };
    const TFieldType type = field->DataType();
    if (type == ftDate || type == ftTime || type == ftDateTime) {
        if (to_native) {
            double value = 0;
            read(value);
            const TTimeStamp stamp = DateTimeToTimeStamp(TDateTime(value));
            if (type == ftDate) {
                write(stamp.Date);
            } else if (type == ftTime) {
                write(stamp.Time);
            } else {
                write(static_cast<double>(stamp.Date) * static_cast<double>(MSecsPerDay) +
                      stamp.Time);
            }
            return;
        }
        TTimeStamp stamp;
        if (type == ftDate) {
            read(stamp.Date);
        } else if (type == ftTime) {
            std::int32_t ms = 0;
            read(ms);
            write(static_cast<double>(ms) / static_cast<double>(MSecsPerDay));
            return;
        } else {
            double ms = 0;
            read(ms);
            if (!std::isfinite(ms)) {
                throw EConvertError("Invalid date-time value of field '" + field->DisplayName() +
                                    "'");
            }
            const double days = std::floor(ms / static_cast<double>(MSecsPerDay));
            if (days < 1 || days > 4e6) {
                throw EConvertError("Invalid date-time value of field '" + field->DisplayName() +
                                    "'");
            }
            stamp.Date = static_cast<std::int32_t>(days);
            stamp.Time = static_cast<std::int32_t>(
                std::llround(ms - days * static_cast<double>(MSecsPerDay)));
            if (stamp.Time >= MSecsPerDay) {
                ++stamp.Date;
                stamp.Time -= static_cast<std::int32_t>(MSecsPerDay);
            }
        }
        write(TimeStampToDateTime(stamp).Value);
        return;
    }
    std::memcpy(dest.data(), source.data(), std::min(source.size(), dest.size()));
}

Variant TDataSet::GetStateFieldValue(TDataSetState state, TField* field) {
    const TDataSetState saved = SetTempState(state);
    try {
        Variant value = field->IsNull() ? Variant::Null() : field->Value();
        RestoreState(saved);
        return value;
    } catch (...) {
        RestoreState(saved);
        throw;
    }
}

void TDataSet::SetStateFieldValue(TDataSetState state, TField* field, const Variant& value) {
    const TDataSetState saved = SetTempState(state);
    try {
        field->SetValue(value);
    } catch (...) {
        RestoreState(saved);
        throw;
    }
    RestoreState(saved);
}

bool TDataSet::GetIsIndexField(const TField* /*field*/) const {
    return false;
}

void TDataSet::CloseBlob(TField* /*field*/) {}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField* field, TBlobStreamMode /*mode*/) {
    throw EDatabaseError("Field '" + field->DisplayName() + "' is not a blob field");
}

std::int64_t TDataSet::Translate(std::string_view source, std::string& dest, bool /*to_oem*/) {
    dest.assign(source);
    return static_cast<std::int64_t>(dest.size());
}

bool TDataSet::GetCurrentRecord(TRecordBuffer /*buffer*/) {
    return false;
}

std::byte* TDataSet::CalcFieldData(TRecordBuffer buffer, const TField& field) const {
    return buffer + CalcFieldsOffset() + field.Offset();
}

bool TDataSet::GetCalcFieldData(TRecordBuffer buffer, const TField& field,
                                std::span<std::byte> dest) const {
    if (buffer == nullptr) {
        return false;
    }
    const std::byte* slot = CalcFieldData(buffer, field);
    if (slot[0] == std::byte{0}) {
        return false;
    }
    const std::size_t size = std::min(dest.size(), static_cast<std::size_t>(field.DataSize()));
    if (size > 0) {
        std::memcpy(dest.data(), slot + 1, size);
    }
    return true;
}

void TDataSet::SetCalcFieldData(TRecordBuffer buffer, const TField& field,
                                std::span<const std::byte> source) {
    std::byte* slot = CalcFieldData(buffer, field);
    const auto size = static_cast<std::size_t>(field.DataSize());
    slot[0] = source.empty() ? std::byte{0} : std::byte{1};
    std::memset(slot + 1, 0, size);
    if (!source.empty()) {
        std::memcpy(slot + 1, source.data(), std::min(size, source.size()));
    }
}

void TDataSet::ClearCalcFields(TRecordBuffer buffer) {
    if (calc_fields_size_ > 0) {
        std::memset(buffer + CalcFieldsOffset(), 0, static_cast<std::size_t>(calc_fields_size_));
    }
}

void TDataSet::GetCalcFields(TRecordBuffer buffer) {
    if (calc_fields_size_ > 0) {
        CalculateFields(buffer);
    }
}

void TDataSet::CalculateFields(TRecordBuffer buffer) {
    const TRecordBuffer saved_buffer = calc_buffer_;
    calc_buffer_ = buffer;
    const TDataSetState saved_state = SetTempState(dsCalcFields);
    try {
        ClearCalcFields(buffer);
        for (TField* field : fields_) {
            if (field->FieldKind() == fkLookup) {
                CalcLookupValue(*field);
            }
        }
        DoOnCalcFields();
    } catch (...) {
        RestoreState(saved_state);
        calc_buffer_ = saved_buffer;
        throw;
    }
    RestoreState(saved_state);
    calc_buffer_ = saved_buffer;
}

void TDataSet::CalcLookupValue(TField& field) {
    TDataSet* lookup = field.LookupDataSet();
    if (lookup == nullptr || !lookup->Active() || field.KeyFields().empty() ||
        field.LookupKeyFields().empty() || field.LookupResultField().empty()) {
        return;
    }
    const Variant key = FieldValues(field.KeyFields());
    if (key.IsNull() || (key.IsArray() && key.ArrayCount() == 0)) {
        return;
    }
    field.SetValue(lookup->Lookup(field.LookupKeyFields(), key, field.LookupResultField()));
}

void TDataSet::DoOnCalcFields() {
    FireEvent(OnCalcFields);
}

void TDataSet::DoBeforeScroll() {
    FireEvent(BeforeScroll);
}

void TDataSet::DoAfterScroll() {
    FireEvent(AfterScroll);
}

void TDataSet::DoOnNewRecord() {
    FireEvent(OnNewRecord);
}

void TDataSet::SetFilterText(std::string_view text) {
    filter_text_ = text;
}

void TDataSet::SetFiltered(bool value) {
    filtered_ = value;
}

void TDataSet::SetFilterOptions(TFilterOptions options) {
    filter_options_ = options;
}

void TDataSet::SetOnFilterRecord(TFilterRecordEvent handler) {
    on_filter_record_ = std::move(handler);
}

void TDataSet::DataEvent(TDataEvent event, const TDataEventInfo& info) {
    switch (event) {
        case deFieldChange:
            if (info.field != nullptr) {
                if (state_ != dsSetKey && info.field->FieldKind() == fkData) {
                    if (calc_fields_size_ > 0 && auto_calc_fields_ &&
                        (state_ == dsEdit || state_ == dsInsert)) {
                        CalculateFields(ActiveBuffer());
                    }
                    modified_ = true;
                }
                info.field->Change();
            }
            break;
        case dePropertyChange:
            field_defs_->SetUpdated(false);
            break;
        default:
            break;
    }
    if (disable_count_ == 0) {
        // Most datasets of an import have no data source: no call to tell none.
        if (!data_sources_.empty()) {
            SendDataEvent(event, info);
        }
        return;
    }
    if (event == deLayoutChange || event == deFieldListChange) {
        disabled_layout_change_ = true;
    }
}

void TDataSet::SendDataEvent(TDataEvent event, const TDataEventInfo& info) {
    // Most datasets of an import have no data source: nothing to copy the list for.
    if (data_sources_.empty()) {
        return;
    }
    for (TDataSource* source : std::vector<TDataSource*>(data_sources_)) {
        source->DataEvent(event, info);
    }
}

void TDataSet::DisableControls() {
    if (disable_count_ == 0) {
        disable_state_ = state_;
        disabled_layout_change_ = false;
    }
    ++disable_count_;
}

void TDataSet::EnableControls() {
    if (disable_count_ == 0) {
        return;
    }
    if (--disable_count_ != 0) {
        return;
    }
    if (state_ != disable_state_) {
        SendDataEvent(deUpdateState, {});
    }
    if (!Active()) {
        return;
    }
    if (disabled_layout_change_) {
        disabled_layout_change_ = false;
        SendDataEvent(deLayoutChange, {});
    }
    SendDataEvent(deDataSetChange, {});
}

void TDataSet::AddDataSource(TDataSource& source) {
    data_sources_.push_back(&source);
    UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource& source) {
    std::erase(data_sources_, &source);
    UpdateBufferCount();
}

bool TDataSet::IsLinkedTo(const TDataSource* source) const {
    // A chain of masters ends within as many steps as there are sources; the bound guards a
    // cycle made before the check existed.
    std::int64_t guard = 0;
    for (const TDataSource* step = GetDataSource(); step != nullptr && guard < 1024; ++guard) {
        if (step == source) {
            return true;
        }
        const TDataSet* dataset = step->DataSet();
        if (dataset == nullptr) {
            break;
        }
        if (dataset == this) {
            return true;
        }
        step = dataset->GetDataSource();
    }
    return false;
}

}  // namespace db
