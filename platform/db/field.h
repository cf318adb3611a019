#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/component.h"
#include "platform/db/currency.h"
#include "platform/db/date_time.h"
#include "platform/db/field_type.h"
#include "platform/db/variant.h"

namespace db {

// A field's record bytes, zeroed: a grid reads and an import sets fields by the million, and
// most fit a buffer on the stack.
class FieldBuffer {
  public:
    explicit FieldBuffer(std::size_t size) {
        if (size > small_.size()) {
            large_.resize(size);
            bytes_ = large_;
        } else {
            bytes_ = std::span<std::byte>(small_.data(), size);
            std::fill(bytes_.begin(), bytes_.end(), std::byte{0});
        }
    }
    FieldBuffer(const FieldBuffer&) = delete;
    FieldBuffer& operator=(const FieldBuffer&) = delete;

    std::span<std::byte> bytes() { return bytes_; }

  private:
    std::array<std::byte, 512> small_;
    std::vector<std::byte> large_;
    std::span<std::byte> bytes_;
};

class TDataSet;
class TField;

enum TFieldKind : std::uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc };
enum TAlignment : std::uint8_t { taLeftJustify, taRightJustify, taCenter };

using TFieldNotifyEvent = std::function<void(TField* sender)>;
// `display_text` is true for the text shown in a cell, false for the text an editor starts
// from.
using TFieldGetTextEvent =
    std::function<void(TField* sender, std::string& text, bool display_text)>;
using TFieldSetTextEvent = std::function<void(TField* sender, std::string_view text)>;

// One column of a dataset's current record. A field reads and writes its value through its
// dataset (`GetFieldData`/`SetFieldData`) in the dataset's native format, which equals the
// engine's encoding, so reads and writes are plain copies. Text is UTF-8 on this side.
//
// Fields are components: persistent fields are made by the program with an owner of its
// choice and `SetDataSet`; default fields are made and owned by the dataset when it opens
// without persistent fields, and are freed when it closes.
class TField : public TComponent {
  public:
    explicit TField(TComponent* owner);
    ~TField() override;

    TDataSet* DataSet() const { return dataset_; }
    // Moves the field into another dataset's field list (nullptr takes it out). Refused while
    // either dataset is open.
    void SetDataSet(TDataSet* dataset);

    const std::string& FieldName() const { return field_name_; }
    void SetFieldName(std::string_view name);
    // The field's number in the record from 1; 0 for fields that are not stored.
    std::int32_t FieldNo() const { return field_no_; }
    TFieldType DataType() const { return data_type_; }
    TFieldKind FieldKind() const { return field_kind_; }
    void SetFieldKind(TFieldKind kind);
    bool Calculated() const { return field_kind_ == fkCalculated; }
    bool Lookup() const { return field_kind_ == fkLookup; }
    // Characters of a string, bytes of a byte field, decimals of a BCD field; else 0.
    std::int32_t Size() const { return size_; }
    void SetSize(std::int32_t size);
    // Bytes of the native value in a record buffer.
    virtual std::int32_t DataSize() const { return 0; }
    // Where a calculated or lookup field keeps its flag byte and value in the calculated part
    // of a record buffer (set when the dataset binds its fields).
    std::int32_t Offset() const { return offset_; }
    // Position in the dataset's field list.
    std::int64_t Index() const;
    void SetIndex(std::int64_t index);

    bool ReadOnly() const { return read_only_; }
    void SetReadOnly(bool read_only);
    bool Required() const { return required_; }
    void SetRequired(bool required);
    bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    // The label shown in headers; the field name while none is set.
    const std::string& DisplayLabel() const;
    void SetDisplayLabel(std::string_view label);
    std::string DisplayName() const { return DisplayLabel(); }
    std::int32_t DisplayWidth() const;
    void SetDisplayWidth(std::int32_t width);
    TAlignment Alignment() const { return alignment_; }
    void SetAlignment(TAlignment alignment);
    const std::string& EditMask() const { return edit_mask_; }
    void SetEditMask(std::string_view mask);
    // Whether a typed character can belong to the field's text.
    virtual bool IsValidChar(char32_t ch) const;
    // Whether the field's value may be set now (not read-only, the dataset can modify it).
    bool CanModify() const;
    bool IsIndexField() const;
    virtual bool IsBlob() const { return false; }

    // Lookup fields: the value of `LookupResultField` in the record of `LookupDataSet` whose
    // `LookupKeyFields` equal this dataset's `KeyFields` (names joined by ';').
    const std::string& KeyFields() const { return key_fields_; }
    void SetKeyFields(std::string_view fields);
    TDataSet* LookupDataSet() const { return lookup_dataset_; }
    void SetLookupDataSet(TDataSet* dataset);
    const std::string& LookupKeyFields() const { return lookup_key_fields_; }
    void SetLookupKeyFields(std::string_view fields);
    const std::string& LookupResultField() const { return lookup_result_field_; }
    void SetLookupResultField(std::string_view field);

    virtual bool IsNull() const;
    virtual void Clear();

    std::string AsString() const { return GetAsString(); }
    void SetAsString(std::string_view value) { SetAsStringValue(value); }
    std::int32_t AsInteger() const { return GetAsInteger(); }
    void SetAsInteger(std::int32_t value) { SetAsIntegerValue(value); }
    std::int64_t AsLargeInt() const { return GetAsLargeInt(); }
    void SetAsLargeInt(std::int64_t value) { SetAsLargeIntValue(value); }
    double AsFloat() const { return GetAsFloat(); }
    void SetAsFloat(double value) { SetAsFloatValue(value); }
    Currency AsCurrency() const { return GetAsCurrency(); }
    void SetAsCurrency(Currency value) { SetAsCurrencyValue(value); }
    bool AsBoolean() const { return GetAsBoolean(); }
    void SetAsBoolean(bool value) { SetAsBooleanValue(value); }
    TDateTime AsDateTime() const { return GetAsDateTime(); }
    void SetAsDateTime(TDateTime value) { SetAsDateTimeValue(value); }
    // Null when the field has no value.
    Variant Value() const;
    // Null or Unassigned clears the field.
    void SetValue(const Variant& value);
    Variant AsVariant() const { return Value(); }
    // The value as it was before the current edit (the dataset's old-value state).
    Variant OldValue() const;

    // The text an editor starts from, and the text a cell shows; both go through OnGetText.
    std::string Text() const;
    // Through OnSetText when assigned; raises on text the field cannot take.
    void SetText(std::string_view text);
    std::string DisplayText() const;

    // Copies the native value into `buffer` (DataSize bytes); false when the field is null.
    // A non-native read asks the dataset to convert (`DataConvert`).
    bool GetData(std::span<std::byte> buffer, bool native_format = true) const;
    // Writes a native value; an empty span clears the field.
    void SetData(std::span<const std::byte> buffer, bool native_format = true);
    // Runs OnValidate with `buffer` as the field's value for its duration (the dataset calls
    // this before it stores a value).
    void Validate(std::span<const std::byte> buffer) {
        if (OnValidate) {
            RunOnValidate(buffer);
        }
    }
    // Asks the controls to put the input focus on this field.
    void FocusControl();

    // The dataset reports that this field's value changed.
    virtual void Change();

    TFieldNotifyEvent OnChange;
    TFieldNotifyEvent OnValidate;
    TFieldGetTextEvent OnGetText;
    TFieldSetTextEvent OnSetText;

  protected:
    void SetDataType(TFieldType type) { data_type_ = type; }
    void Notification(TComponent* component, TOperation operation) override;

    virtual std::string GetAsString() const;
    virtual void SetAsStringValue(std::string_view value);
    virtual std::int32_t GetAsInteger() const;
    virtual void SetAsIntegerValue(std::int32_t value);
    virtual std::int64_t GetAsLargeInt() const;
    virtual void SetAsLargeIntValue(std::int64_t value);
    virtual double GetAsFloat() const;
    virtual void SetAsFloatValue(double value);
    virtual Currency GetAsCurrency() const;
    virtual void SetAsCurrencyValue(Currency value);
    virtual bool GetAsBoolean() const;
    virtual void SetAsBooleanValue(bool value);
    virtual TDateTime GetAsDateTime() const;
    virtual void SetAsDateTimeValue(TDateTime value);
    virtual Variant GetAsVariant() const;
    virtual void SetVarValue(const Variant& value);
    virtual void GetText(std::string& text, bool display_text) const;
    virtual void SetTextValue(std::string_view text);
    virtual std::int32_t DefaultDisplayWidth() const { return 10; }

    // EDatabaseError "Cannot access field 'x' as type y".
    [[noreturn]] void AccessError(std::string_view type_name) const;
    // EDatabaseError "v is not a valid value for field 'x'. The allowed range is a to b".
    [[noreturn]] void RangeError(std::string_view value, std::string_view low,
                                 std::string_view high) const;
    // Reads a fixed-size native value; false when null.
    template <class T>
    bool ReadNative(T& value) const;
    template <class T>
    void WriteNative(const T& value);

  private:
    friend class TDataSet;
    friend class TFields;
    void RunOnValidate(std::span<const std::byte> buffer);

    TDataSet* dataset_ = nullptr;
    std::string field_name_;
    std::int32_t field_no_ = 0;
    TFieldType data_type_ = ftUnknown;
    TFieldKind field_kind_ = fkData;
    std::int32_t size_ = 0;
    std::int32_t offset_ = 0;
    bool read_only_ = false;
    bool required_ = false;
    bool visible_ = true;
    std::string display_label_;
    std::int32_t display_width_ = 0;
    TAlignment alignment_ = taLeftJustify;
    std::string edit_mask_;
    std::string key_fields_;
    TDataSet* lookup_dataset_ = nullptr;
    std::string lookup_key_fields_;
    std::string lookup_result_field_;
    // The value being validated, read in place of the record's while OnValidate runs.
    const std::span<const std::byte>* validating_ = nullptr;
};

template <class T>
bool TField::ReadNative(T& value) const {
    std::byte buffer[sizeof(T)] = {};
    if (!GetData(buffer)) {
        return false;
    }
    std::memcpy(&value, buffer, sizeof(T));
    return true;
}

template <class T>
void TField::WriteNative(const T& value) {
    std::byte buffer[sizeof(T)];
    std::memcpy(buffer, &value, sizeof(T));
    SetData(buffer);
}

// The ordered list of a dataset's fields; it refers to the fields and owns none.
class TFields {
  public:
    std::int64_t Count() const { return static_cast<std::int64_t>(fields_.size()); }
    // Raises EListError for an index outside the list.
    TField* Fields(std::int64_t index) const;
    TField* operator[](std::int64_t index) const { return Fields(index); }
    // By name, case aside; nullptr when none.
    TField* FindField(std::string_view name) const;
    // Raises EDatabaseError "Field 'x' not found".
    TField* FieldByName(std::string_view name) const;
    TField* FieldByNumber(std::int32_t field_no) const;
    std::int64_t IndexOf(const TField* field) const;
    // Changes whenever a field is added, removed, moved or renamed: what was worked out from
    // names holds while it stays the same. No two lists ever share a value, so a cache that
    // outlives a dataset's fields never takes another list's for its own.
    std::uint64_t Version() const { return version_; }

    auto begin() const { return fields_.begin(); }
    auto end() const { return fields_.end(); }

  private:
    friend class TDataSet;
    friend class TField;
    void Add(TField& field);
    void Remove(TField& field);
    void Move(TField& field, std::int64_t index);
    void Clear();
    // A field was added, removed, moved or renamed: the name index is made again when next
    // asked.
    void Changed() {
        by_name_.clear();
        version_ = NewVersion();
    }
    static std::uint64_t NewVersion();
    void BuildNameIndex() const;

    std::vector<TField*> fields_;
    // Open-addressed by the case-folded hash of the name; the first field of a name in list
    // order wins, as the list's own scan finds it. Empty while out of date.
    struct NameSlot {
        std::uint64_t hash = 0;
        TField* field = nullptr;
    };
    mutable std::vector<NameSlot> by_name_;
    std::uint64_t version_ = NewVersion();
};

}  // namespace db
