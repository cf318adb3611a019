#include "platform/db/variant.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/db/conversions.h"
#include "platform/db/exception.h"
#include "platform/nls/text.h"

namespace db {
namespace {

__extension__ typedef __int128 Int128;

constexpr double kTwoTo63 = 9223372036854775808.0;

[[noreturn]] void Overflow() {
    throw EVariantError("Variant overflow");
}

std::int64_t RoundToInt64(double value) {
    if (std::isnan(value)) {
        Overflow();
    }
    // Half to even, as the class library's variant casts round.
    const double rounded = std::nearbyint(value);
    if (rounded >= kTwoTo63 || rounded < -kTwoTo63) {
        Overflow();
    }
    return static_cast<std::int64_t>(rounded);
}

// Ten-thousandths to whole units, half to even.
std::int64_t CurrencyToInt64(std::int64_t raw) {
    std::int64_t units = raw / Currency::Scale;
    const std::int64_t rest = raw % Currency::Scale;
    const std::int64_t twice = 2 * (rest < 0 ? -rest : rest);
    if (twice > Currency::Scale || (twice == Currency::Scale && (units % 2) != 0)) {
        units += rest < 0 ? -1 : 1;
    }
    return units;
}

bool IsIntegerKind(TVarType type) {
    switch (type) {
        case varSmallint:
        case varInteger:
        case varShortInt:
        case varByte:
        case varWord:
        case varLongWord:
        case varInt64:
            return true;
        default:
            return false;
    }
}

bool IsFloatKind(TVarType type) {
    return type == varSingle || type == varDouble;
}

// The order's groups of types: values of different groups compare by group.
int Rank(TVarType type) {
    if (type == varEmpty) {
        return 0;
    }
    if (type == varNull) {
        return 1;
    }
    if (type == varBoolean) {
        return 2;
    }
    if (IsIntegerKind(type) || IsFloatKind(type) || type == varCurrency) {
        return 3;
    }
    if (type == varDate) {
        return 4;
    }
    if (type == varString || type == varOleStr) {
        return 5;
    }
    if ((type & varArray) != 0) {
        return 6;
    }
    return 7;
}

int Sign(Int128 a, Int128 b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

Int128 FloorDiv(Int128 a, Int128 b) {
    Int128 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

// Exact comparison of a number held as ten-thousandths with a double.
int CompareScaledWithDouble(Int128 scaled, double d) {
    if (std::isnan(d)) {
        return 1;
    }
    // For a negative double, d - floor(d) may need more bits than d has; mirror instead.
    if (d < 0) {
        return -CompareScaledWithDouble(-scaled, -d);
    }
    // Every scaled value lies well inside +-2^80.
    constexpr double kFar = 1208925819614629174706176.0;  // 2^80
    if (d >= kFar) {
        return -1;
    }
    const double whole = std::floor(d);
    const Int128 whole_int = static_cast<Int128>(whole);
    const Int128 scaled_whole = FloorDiv(scaled, Currency::Scale);
    if (whole_int != scaled_whole) {
        return Sign(scaled_whole, whole_int);
    }
    // Same whole part: compare the fractions rest/10000 and d - floor(d), exactly.
    const Int128 rest = scaled - scaled_whole * Currency::Scale;  // 0..9999
    const double fraction = d - whole;                            // exact for d >= 0; 0 <= f < 1
    if (fraction == 0.0) {
        return rest == 0 ? 0 : 1;
    }
    int exponent = 0;
    const double mantissa = std::frexp(fraction, &exponent);  // fraction = mantissa * 2^exponent
    const auto bits = static_cast<Int128>(std::ldexp(mantissa, 53));
    const int shift = 53 - exponent;  // fraction = bits / 2^shift, shift >= 53
    // rest/10000 against bits/2^shift  <=>  rest * 2^shift against bits * 10000.
    if (shift >= 110) {
        // The fraction is below 2^-57, far below one ten-thousandth.
        return rest == 0 ? -1 : 1;
    }
    return Sign(rest << shift, bits * Currency::Scale);
}

int CompareDoubles(double a, double b) {
    const bool a_nan = std::isnan(a);
    const bool b_nan = std::isnan(b);
    if (a_nan || b_nan) {
        return a_nan == b_nan ? 0 : (a_nan ? -1 : 1);
    }
    return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareBytes(std::string_view a, std::string_view b) {
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

const VariantStringCompare& ByteCompare() {
    static const VariantStringCompare compare = CompareBytes;
    return compare;
}

int Clamp(int c) {
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

Variant::Variant(bool value) : type_(varBoolean), storage_(std::int64_t{value ? 1 : 0}) {}
Variant::Variant(int value) : type_(varInteger), storage_(std::int64_t{value}) {}
Variant::Variant(unsigned value) : type_(varLongWord), storage_(std::int64_t{value}) {}
Variant::Variant(long value) : type_(varInt64), storage_(std::int64_t{value}) {}
Variant::Variant(long long value) : type_(varInt64), storage_(std::int64_t{value}) {}
Variant::Variant(double value) : type_(varDouble), storage_(value) {}
Variant::Variant(Currency value) : type_(varCurrency), storage_(value.Raw()) {}
Variant::Variant(TDateTime value) : type_(varDate), storage_(value.Value) {}
Variant::Variant(const char* value)
    : type_(varString), storage_(value == nullptr ? std::string() : std::string(value)) {}
Variant::Variant(std::string_view value) : type_(varString), storage_(std::string(value)) {}
Variant::Variant(std::string value) : type_(varString), storage_(std::move(value)) {}

Variant Variant::Null() {
    return Variant(varNull, std::monostate{});
}
Variant Variant::FromShortInt(std::int8_t value) {
    return Variant(varShortInt, std::int64_t{value});
}
Variant Variant::FromSmallint(std::int16_t value) {
    return Variant(varSmallint, std::int64_t{value});
}
Variant Variant::FromByte(std::uint8_t value) {
    return Variant(varByte, std::int64_t{value});
}
Variant Variant::FromWord(std::uint16_t value) {
    return Variant(varWord, std::int64_t{value});
}
Variant Variant::FromLongWord(std::uint32_t value) {
    return Variant(varLongWord, std::int64_t{value});
}
Variant Variant::FromSingle(float value) {
    return Variant(varSingle, double{value});
}
Variant Variant::FromOleStr(std::string_view value) {
    return Variant(varOleStr, std::string(value));
}
Variant Variant::FromBytes(std::span<const std::uint8_t> bytes) {
    return Variant(varArray | varByte, std::string(bytes.begin(), bytes.end()));
}
Variant Variant::FromArray(std::vector<Variant> elements) {
    return Variant(varArray | varVariant, std::make_shared<const Elements>(std::move(elements)));
}

Variant VarArrayOf(std::initializer_list<Variant> values) {
    return Variant::FromArray(std::vector<Variant>(values));
}
Variant VarArrayOf(std::vector<Variant> values) {
    return Variant::FromArray(std::move(values));
}

bool Variant::IsNumeric() const {
    return IsIntegerKind(type_) || IsFloatKind(type_) || type_ == varCurrency;
}

std::int64_t Variant::ArrayCount() const {
    if (type_ == (varArray | varByte)) {
        return static_cast<std::int64_t>(Str().size());
    }
    if (type_ == (varArray | varVariant)) {
        return static_cast<std::int64_t>(Items().size());
    }
    throw EVariantError("Variant is not an array");
}

Variant Variant::Element(std::int64_t index) const {
    if (index < 0 || index >= ArrayCount()) {
        throw EVariantError("Variant or safe array index out of bounds");
    }
    if (type_ == (varArray | varByte)) {
        return FromByte(static_cast<std::uint8_t>(Str()[static_cast<std::size_t>(index)]));
    }
    return Items()[static_cast<std::size_t>(index)];
}

void Variant::SetElement(std::int64_t index, const Variant& value) {
    if (index < 0 || index >= ArrayCount()) {
        throw EVariantError("Variant or safe array index out of bounds");
    }
    if (type_ == (varArray | varByte)) {
        const std::int64_t byte = value.AsInt64();
        if (byte < 0 || byte > 255) {
            Overflow();
        }
        std::get<std::string>(storage_)[static_cast<std::size_t>(index)] = static_cast<char>(byte);
        return;
    }
    // Arrays share their elements between copies; write to a copy of our own.
    auto elements = std::make_shared<Elements>(Items());
    (*elements)[static_cast<std::size_t>(index)] = value;
    storage_ = std::shared_ptr<const Elements>(std::move(elements));
}

std::string VarTypeAsText(TVarType type) {
    if ((type & varArray) != 0) {
        return "Array " + VarTypeAsText(type & varTypeMask);
    }
    switch (type) {
        case varEmpty:
            return "Empty";
        case varNull:
            return "Null";
        case varSmallint:
            return "Smallint";
        case varInteger:
            return "Integer";
        case varSingle:
            return "Single";
        case varDouble:
            return "Double";
        case varCurrency:
            return "Currency";
        case varDate:
            return "Date";
        case varOleStr:
            return "OleStr";
        case varDispatch:
            return "Dispatch";
        case varError:
            return "Error";
        case varBoolean:
            return "Boolean";
        case varVariant:
            return "Variant";
        case varUnknown:
            return "Unknown";
        case varShortInt:
            return "ShortInt";
        case varByte:
            return "Byte";
        case varWord:
            return "Word";
        case varLongWord:
            return "LongWord";
        case varInt64:
            return "Int64";
        case varString:
            return "String";
        case varAny:
            return "Any";
        default:
            break;
    }
    char text[8];
    std::snprintf(text, sizeof text, "$%04X", static_cast<unsigned>(type));
    return text;
}

void Variant::ConvertError(TVarType target) const {
    throw EVariantError("Could not convert variant of type (" + VarTypeAsText(type_) +
                        ") into type (" + VarTypeAsText(target) + ")");
}

std::int64_t Variant::AsInt64() const {
    return AsInt64(FormatSettings());
}

std::int64_t Variant::AsInt64(const TFormatSettings& format) const {
    return IntegerValue(format, varInt64);
}

std::int64_t Variant::IntegerValue(const TFormatSettings& format, TVarType target) const {
    if (type_ == varEmpty) {
        return 0;
    }
    if (IsIntegerKind(type_)) {
        return Int();
    }
    switch (type_) {
        case varBoolean:
            return Int() != 0 ? -1 : 0;
        case varSingle:
        case varDouble:
        case varDate:
            return RoundToInt64(Real());
        case varCurrency:
            return CurrencyToInt64(Int());
        case varString:
        case varOleStr: {
            std::int64_t value = 0;
            if (TryStrToInt64(Str(), value)) {
                return value;
            }
            double real = 0;
            if (TryStrToFloat(Str(), real, format)) {
                return RoundToInt64(real);
            }
            break;
        }
        default:
            break;
    }
    ConvertError(target);
}

std::int32_t Variant::AsInteger() const {
    const std::int64_t value = IntegerValue(FormatSettings(), varInteger);
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        Overflow();
    }
    return static_cast<std::int32_t>(value);
}

double Variant::AsDouble() const {
    return AsDouble(FormatSettings());
}

double Variant::AsDouble(const TFormatSettings& format) const {
    if (type_ == varEmpty) {
        return 0.0;
    }
    if (IsIntegerKind(type_)) {
        return static_cast<double>(Int());
    }
    switch (type_) {
        case varBoolean:
            return Int() != 0 ? -1.0 : 0.0;
        case varSingle:
        case varDouble:
        case varDate:
            return Real();
        case varCurrency:
            return Currency::FromRaw(Int()).ToDouble();
        case varString:
        case varOleStr: {
            double value = 0;
            if (TryStrToFloat(Str(), value, format)) {
                return value;
            }
            break;
        }
        default:
            break;
    }
    ConvertError(varDouble);
}

Currency Variant::AsCurrency() const {
    return AsCurrency(FormatSettings());
}

Currency Variant::AsCurrency(const TFormatSettings& format) const {
    if (type_ == varCurrency) {
        return Currency::FromRaw(Int());
    }
    if (type_ == varEmpty) {
        return Currency();
    }
    if (IsIntegerKind(type_) || type_ == varBoolean) {
        const auto value = Currency::FromUnits(AsInt64(format));
        if (!value) {
            Overflow();
        }
        return *value;
    }
    if (IsFloatKind(type_) || type_ == varDate) {
        const auto value = Currency::FromDouble(Real());
        if (!value) {
            Overflow();
        }
        return *value;
    }
    if (IsString()) {
        Currency value;
        if (TryStrToCurr(Str(), value, format)) {
            return value;
        }
    }
    ConvertError(varCurrency);
}

bool Variant::AsBoolean() const {
    return AsBoolean(FormatSettings());
}

bool Variant::AsBoolean(const TFormatSettings& format) const {
    if (type_ == varEmpty) {
        return false;
    }
    if (type_ == varBoolean || IsIntegerKind(type_) || type_ == varCurrency) {
        return Int() != 0;
    }
    if (IsFloatKind(type_) || type_ == varDate) {
        return Real() != 0.0;
    }
    if (IsString()) {
        if (platform::nls::SameTextAscii(Str(), "true")) {
            return true;
        }
        if (platform::nls::SameTextAscii(Str(), "false")) {
            return false;
        }
        double value = 0;
        if (TryStrToFloat(Str(), value, format)) {
            return value != 0.0;
        }
    }
    ConvertError(varBoolean);
}

TDateTime Variant::AsDateTime() const {
    return AsDateTime(FormatSettings());
}

TDateTime Variant::AsDateTime(const TFormatSettings& format) const {
    if (type_ == varDate) {
        return TDateTime(Real());
    }
    if (IsString()) {
        TDateTime value;
        if (TryStrToDateTime(Str(), value, format)) {
            return value;
        }
        ConvertError(varDate);
    }
    if (type_ == varNull || IsArray()) {
        ConvertError(varDate);
    }
    return TDateTime(AsDouble(format));
}

std::string Variant::AsString() const {
    return AsString(FormatSettings());
}

std::string Variant::AsString(const TFormatSettings& format) const {
    if (type_ == varEmpty) {
        return std::string();
    }
    if (IsIntegerKind(type_)) {
        return IntToStr(Int());
    }
    switch (type_) {
        case varBoolean:
            return Int() != 0 ? "True" : "False";
        case varSingle:
            // A Single shows the digits it holds, not those of its double widening.
            return FloatToStrF(Real(), TFloatFormat::ffGeneral, 7, 0, format);
        case varDouble:
            return FloatToStr(Real(), format);
        case varCurrency:
            return CurrToStr(Currency::FromRaw(Int()), format);
        case varDate:
            return DateTimeToStr(TDateTime(Real()), format);
        case varString:
        case varOleStr:
        case varArray | varByte:
            return Str();
        default:
            break;
    }
    ConvertError(varString);
}

std::vector<std::uint8_t> Variant::AsBytes() const {
    if (type_ == (varArray | varByte) || IsString()) {
        const std::string& bytes = Str();
        return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
    }
    if (type_ == varEmpty) {
        return {};
    }
    if (type_ == (varArray | varVariant)) {
        std::vector<std::uint8_t> bytes;
        for (const Variant& element : Items()) {
            const std::int64_t byte = element.AsInt64();
            if (byte < 0 || byte > 255) {
                Overflow();
            }
            bytes.push_back(static_cast<std::uint8_t>(byte));
        }
        return bytes;
    }
    ConvertError(varArray | varByte);
}

Variant Variant::AsType(TVarType type) const {
    return AsType(type, FormatSettings());
}

Variant Variant::AsType(TVarType type, const TFormatSettings& format) const {
    if (type == type_) {
        return *this;
    }
    if (type == varEmpty) {
        return Variant();
    }
    if (type == varNull) {
        return Null();
    }
    if (type_ == varNull) {
        ConvertError(type);
    }
    auto ranged = [&](std::int64_t low, std::int64_t high) {
        const std::int64_t value = AsInt64(format);
        if (value < low || value > high) {
            Overflow();
        }
        return value;
    };
    switch (type) {
        case varShortInt:
            return FromShortInt(static_cast<std::int8_t>(ranged(-128, 127)));
        case varSmallint:
            return FromSmallint(static_cast<std::int16_t>(ranged(-32768, 32767)));
        case varInteger:
            return Variant(static_cast<int>(ranged(std::numeric_limits<std::int32_t>::min(),
                                                   std::numeric_limits<std::int32_t>::max())));
        case varByte:
            return FromByte(static_cast<std::uint8_t>(ranged(0, 255)));
        case varWord:
            return FromWord(static_cast<std::uint16_t>(ranged(0, 65535)));
        case varLongWord:
            return FromLongWord(static_cast<std::uint32_t>(ranged(0, 4294967295LL)));
        case varInt64:
            return Variant(static_cast<long long>(AsInt64(format)));
        case varSingle: {
            const double value = AsDouble(format);
            if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()) {
                Overflow();
            }
            return FromSingle(static_cast<float>(value));
        }
        case varDouble:
            return Variant(AsDouble(format));
        case varCurrency:
            return Variant(AsCurrency(format));
        case varDate:
            return Variant(AsDateTime(format));
        case varBoolean:
            return Variant(AsBoolean(format));
        case varString:
            return Variant(AsString(format));
        case varOleStr:
            return FromOleStr(AsString(format));
        default:
            break;
    }
    ConvertError(type);
}

std::string VarToStr(const Variant& value) {
    return VarToStr(value, FormatSettings());
}

std::string VarToStr(const Variant& value, const TFormatSettings& format) {
    return value.IsClear() ? std::string() : value.AsString(format);
}

int VarCompare(const Variant& a, const Variant& b) {
    return VarCompare(a, b, ByteCompare());
}

int VarCompare(const Variant& a, const Variant& b, const VariantStringCompare& compare) {
    const int rank_a = Rank(a.type_);
    const int rank_b = Rank(b.type_);
    if (rank_a != rank_b) {
        return rank_a < rank_b ? -1 : 1;
    }
    switch (rank_a) {
        case 0:
        case 1:
            return 0;
        case 2:
            return Sign(a.Int(), b.Int());
        case 3: {
            const bool a_float = IsFloatKind(a.type_);
            const bool b_float = IsFloatKind(b.type_);
            auto scaled = [](const Variant& v) {
                return v.type_ == varCurrency ? Int128{v.Int()} : Int128{v.Int()} * Currency::Scale;
            };
            if (a_float && b_float) {
                return CompareDoubles(a.Real(), b.Real());
            }
            if (!a_float && !b_float) {
                return Sign(scaled(a), scaled(b));
            }
            if (a_float) {
                return -CompareScaledWithDouble(scaled(b), a.Real());
            }
            return CompareScaledWithDouble(scaled(a), b.Real());
        }
        case 4:
            return CompareDoubles(a.Real(), b.Real());
        case 5:
            return Clamp(compare ? compare(a.Str(), b.Str()) : CompareBytes(a.Str(), b.Str()));
        case 6: {
            const bool a_bytes = a.type_ == (varArray | varByte);
            const bool b_bytes = b.type_ == (varArray | varByte);
            if (a_bytes && b_bytes) {
                return CompareBytes(a.Str(), b.Str());
            }
            const std::int64_t count_a = a.ArrayCount();
            const std::int64_t count_b = b.ArrayCount();
            const std::int64_t common = std::min(count_a, count_b);
            for (std::int64_t i = 0; i < common; ++i) {
                const int c = VarCompare(a.Element(i), b.Element(i), compare);
                if (c != 0) {
                    return c;
                }
            }
            return Sign(count_a, count_b);
        }
        default:
            return Sign(a.type_, b.type_);
    }
}

bool operator==(const Variant& a, const Variant& b) {
    return VarCompare(a, b) == 0;
}

}  // namespace db
