#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "platform/db/currency.h"
#include "platform/db/date_time.h"
#include "platform/db/format_settings.h"

namespace db {

// The class library's variant type codes; an array is varArray or'ed with its element type.
using TVarType = std::uint16_t;
inline constexpr TVarType varEmpty = 0x0000;
inline constexpr TVarType varNull = 0x0001;
inline constexpr TVarType varSmallint = 0x0002;
inline constexpr TVarType varInteger = 0x0003;
inline constexpr TVarType varSingle = 0x0004;
inline constexpr TVarType varDouble = 0x0005;
inline constexpr TVarType varCurrency = 0x0006;
inline constexpr TVarType varDate = 0x0007;
inline constexpr TVarType varOleStr = 0x0008;
inline constexpr TVarType varDispatch = 0x0009;
inline constexpr TVarType varError = 0x000A;
inline constexpr TVarType varBoolean = 0x000B;
inline constexpr TVarType varVariant = 0x000C;
inline constexpr TVarType varUnknown = 0x000D;
inline constexpr TVarType varShortInt = 0x0010;
inline constexpr TVarType varByte = 0x0011;
inline constexpr TVarType varWord = 0x0012;
inline constexpr TVarType varLongWord = 0x0013;
inline constexpr TVarType varInt64 = 0x0014;
inline constexpr TVarType varString = 0x0100;
inline constexpr TVarType varAny = 0x0101;
inline constexpr TVarType varTypeMask = 0x0FFF;
inline constexpr TVarType varArray = 0x2000;
inline constexpr TVarType varByRef = 0x4000;

// Compares two texts: <0, 0 or >0.
using VariantStringCompare = std::function<int(std::string_view, std::string_view)>;

// A value of one of the class library's variant types: Unassigned (varEmpty), Null, the
// integer kinds, Single, Double, Currency, Date, Boolean, a string (UTF-8), an array of
// variants (varArray | varVariant, as multi-field keys use) or a byte array
// (varArray | varByte, as byte fields use).
//
// Conversions follow the class library: Unassigned reads as 0, "" or false; Null converts to
// nothing (VarToStr aside) and raises EVariantError "Could not convert variant of type (Null)
// into type (Integer)"; a Boolean True is -1 as a number; a float becomes an integer by
// rounding half to even; a value outside the target's range raises "Variant overflow".
// Texts convert with the given format settings (the process-wide ones by default).
class Variant {
  public:
    Variant() = default;
    Variant(bool value);
    Variant(int value);
    Variant(unsigned value);
    Variant(long value);
    Variant(long long value);
    Variant(double value);
    Variant(Currency value);
    Variant(TDateTime value);
    Variant(const char* value);
    Variant(std::string_view value);
    Variant(std::string value);

    static Variant Null();
    static Variant Unassigned() { return {}; }
    static Variant FromShortInt(std::int8_t value);
    static Variant FromSmallint(std::int16_t value);
    static Variant FromByte(std::uint8_t value);
    static Variant FromWord(std::uint16_t value);
    static Variant FromLongWord(std::uint32_t value);
    static Variant FromSingle(float value);
    static Variant FromOleStr(std::string_view value);
    static Variant FromBytes(std::span<const std::uint8_t> bytes);
    static Variant FromArray(std::vector<Variant> elements);

    TVarType VarType() const { return type_; }
    bool IsEmpty() const { return type_ == varEmpty; }
    bool IsNull() const { return type_ == varNull; }
    // Empty or Null.
    bool IsClear() const { return type_ == varEmpty || type_ == varNull; }
    bool IsArray() const { return (type_ & varArray) != 0; }
    bool IsString() const { return type_ == varString || type_ == varOleStr; }
    // The integer kinds (Boolean excluded), Single, Double and Currency.
    bool IsNumeric() const;
    void Clear() { *this = Variant(); }

    // Arrays count from 0. Element access outside the bounds raises EVariantError "Variant or
    // safe array index out of bounds"; on a value that is no array, "Variant is not an array".
    std::int64_t ArrayCount() const;
    Variant Element(std::int64_t index) const;
    void SetElement(std::int64_t index, const Variant& value);

    std::int32_t AsInteger() const;
    std::int64_t AsInt64() const;
    double AsDouble() const;
    Currency AsCurrency() const;
    bool AsBoolean() const;
    TDateTime AsDateTime() const;
    TDateTime AsDateTime(const TFormatSettings& format) const;
    std::string AsString() const;
    std::string AsString(const TFormatSettings& format) const;
    // The text of a string value, read in place. Requires: IsString().
    std::string_view StringText() const { return Str(); }
    // A byte array's bytes, or a string's bytes.
    std::vector<std::uint8_t> AsBytes() const;

    std::int64_t AsInt64(const TFormatSettings& format) const;
    double AsDouble(const TFormatSettings& format) const;
    Currency AsCurrency(const TFormatSettings& format) const;
    bool AsBoolean(const TFormatSettings& format) const;

    // The value converted to another simple type (VarAsType).
    Variant AsType(TVarType type) const;
    Variant AsType(TVarType type, const TFormatSettings& format) const;

    // Equal under VarCompare with texts compared byte by byte.
    friend bool operator==(const Variant& a, const Variant& b);

  private:
    friend int VarCompare(const Variant& a, const Variant& b, const VariantStringCompare& compare);
    using Elements = std::vector<Variant>;
    // Integer kinds, Boolean (0 or 1) and Currency (raw ten-thousandths) in the integer;
    // Single, Double and Date in the double; strings and byte arrays in the string.
    using Storage = std::variant<std::monostate, std::int64_t, double, std::string,
                                 std::shared_ptr<const Elements>>;

    Variant(TVarType type, Storage storage) : type_(type), storage_(std::move(storage)) {}
    [[noreturn]] void ConvertError(TVarType target) const;
    // The value as a whole number; failures name `target`.
    std::int64_t IntegerValue(const TFormatSettings& format, TVarType target) const;
    std::int64_t Int() const { return std::get<std::int64_t>(storage_); }
    double Real() const { return std::get<double>(storage_); }
    const std::string& Str() const { return std::get<std::string>(storage_); }
    const Elements& Items() const { return *std::get<std::shared_ptr<const Elements>>(storage_); }

    TVarType type_ = varEmpty;
    Storage storage_;
};

// A variant array of the given values (multi-field keys).
Variant VarArrayOf(std::initializer_list<Variant> values);
Variant VarArrayOf(std::vector<Variant> values);

inline TVarType VarType(const Variant& value) {
    return value.VarType();
}
inline bool VarIsNull(const Variant& value) {
    return value.IsNull();
}
inline bool VarIsEmpty(const Variant& value) {
    return value.IsEmpty();
}
inline bool VarIsArray(const Variant& value) {
    return value.IsArray();
}
// The text of a value; Null and Unassigned give "".
std::string VarToStr(const Variant& value);
std::string VarToStr(const Variant& value, const TFormatSettings& format);
// "Integer", "String", "Null", "Array Variant", ... as the class library names the types.
std::string VarTypeAsText(TVarType type);

// One total order over all variants, for sorting and grouping: Unassigned, then Null, then
// Booleans (False first), numbers of every kind compared by exact value (NaN first among
// them), dates, strings (by `compare`, bytes by default), arrays element by element (a
// shorter array first when it is a prefix). Answers -1, 0 or 1.
int VarCompare(const Variant& a, const Variant& b);
int VarCompare(const Variant& a, const Variant& b, const VariantStringCompare& compare);

}  // namespace db
