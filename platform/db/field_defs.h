#pragma once

#include <cstdint>
#include <string_view>

#include "platform/db/def_collection.h"
#include "platform/db/field_type.h"

namespace db {

// The definition of one field of a dataset's structure.
class TFieldDef : public TNamedItem {
  public:
    TFieldType DataType() const { return data_type_; }
    void SetDataType(TFieldType data_type);
    // Characters of a string, bytes of a byte field, decimals of a BCD field; 0 otherwise.
    std::int32_t Size() const { return size_; }
    // Raises EDatabaseError "Invalid field size" for a negative size.
    void SetSize(std::int32_t size);
    bool Required() const { return required_; }
    void SetRequired(bool required);
    // The field's number in the record, from 1.
    std::int32_t FieldNo() const { return field_no_; }
    void SetFieldNo(std::int32_t field_no) { field_no_ = field_no; }
    // Total digits of a BCD field.
    std::int32_t Precision() const { return precision_; }
    void SetPrecision(std::int32_t precision);

    void Assign(const TPersistent& source) override;

  private:
    TFieldType data_type_ = ftUnknown;
    std::int32_t size_ = 0;
    bool required_ = false;
    std::int32_t field_no_ = 0;
    std::int32_t precision_ = 0;
};

class TFieldDefs : public TDefCollection {
  public:
    explicit TFieldDefs(TPersistent* dataset = nullptr);

    TFieldDef* Items(std::int64_t index) const {
        return static_cast<TFieldDef*>(TCollection::Items(index));
    }
    // Adds a definition with the next field number. An empty name raises EDatabaseError
    // "Field name missing", a name already defined (case aside) "Duplicate name 'x' in
    // TFieldDefs"; nothing is added then.
    TFieldDef* Add(std::string_view name, TFieldType data_type, std::int32_t size = 0,
                   bool required = false);
    // Raises EDatabaseError "Field 'x' not found" when no definition has the name.
    TFieldDef* Find(std::string_view name) const;
};

}  // namespace db
