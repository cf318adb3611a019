#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/db/collection.h"
#include "platform/db/currency.h"
#include "platform/db/date_time.h"
#include "platform/db/field_type.h"
#include "platform/db/variant.h"

namespace db {

enum TParamType : std::uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

// One parameter of a statement: a name, a field type, a direction and a value. Each typed
// setter sets the type, the value and `Bound`; `Clear` makes the value Null.
class TParam : public TCollectionItem {
  public:
    const std::string& Name() const { return name_; }
    void SetName(std::string_view name) { name_ = name; }
    std::string DisplayName() const override { return name_; }
    TFieldType DataType() const { return data_type_; }
    void SetDataType(TFieldType data_type) { data_type_ = data_type; }
    TParamType ParamType() const { return param_type_; }
    void SetParamType(TParamType param_type) { param_type_ = param_type; }
    bool Bound() const { return bound_; }
    void SetBound(bool bound) { bound_ = bound; }
    bool IsNull() const { return value_.IsClear(); }

    const Variant& Value() const { return value_; }
    // Sets the value and `Bound`; a parameter of unknown type takes the value's type
    // (Smallint, Integer, Float, BCD for Currency, DateTime, Boolean, String).
    void SetValue(const Variant& value);
    void Clear();

    void SetAsString(std::string_view value);
    void SetAsMemo(std::string_view value);
    void SetAsBlob(std::string_view bytes);
    void SetAsSmallInt(std::int16_t value);
    void SetAsWord(std::uint16_t value);
    void SetAsInteger(std::int32_t value);
    void SetAsLargeInt(std::int64_t value);
    void SetAsBoolean(bool value);
    void SetAsFloat(double value);
    void SetAsCurrency(Currency value);
    void SetAsBCD(Currency value);
    void SetAsDate(TDateTime value);
    void SetAsTime(TDateTime value);
    void SetAsDateTime(TDateTime value);

    // The value converted; a Null value reads as "", 0 or false.
    std::string AsString() const;
    std::int32_t AsInteger() const;
    double AsFloat() const;
    Currency AsCurrency() const;
    bool AsBoolean() const;
    TDateTime AsDateTime() const;

    // From another parameter: type, value, bound flag and name, and the direction when this
    // one has none.
    void Assign(const TPersistent& source) override;
    bool IsEqual(const TParam& other) const;

  private:
    void Set(TFieldType data_type, Variant value);

    std::string name_;
    TFieldType data_type_ = ftUnknown;
    TParamType param_type_ = ptUnknown;
    bool bound_ = false;
    Variant value_;
};

class TParams : public TOwnedCollection {
  public:
    explicit TParams(TPersistent* owner = nullptr);

    TParam* Items(std::int64_t index) const {
        return static_cast<TParam*>(TCollection::Items(index));
    }
    TParam* CreateParam(TFieldType data_type, std::string_view name, TParamType param_type);
    // The parameter of that name (case aside); nullptr when none.
    TParam* FindParam(std::string_view name) const;
    // Raises EDatabaseError "Parameter 'x' not found" when none has the name.
    TParam* ParamByName(std::string_view name) const;
    // Each parameter takes the value of the same-named parameter of `source`, when it has one.
    void AssignValues(const TParams& source);
    // Same count and every parameter equal, in order.
    bool IsEqual(const TParams& other) const;
};

}  // namespace db
