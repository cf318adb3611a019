#include "platform/db/fields_numeric.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "platform/db/conversions.h"
#include "platform/db/dataset.h"
#include "platform/db/exception.h"
#include "platform/db/format_settings.h"
#include "platform/db/names.h"
#include "platform/nls/text.h"

namespace db {

namespace {

bool IsDigitOrSign(char32_t ch) {
    return (ch >= '0' && ch <= '9') || ch == '+' || ch == '-';
}

// Rounds `value` half away from zero to `decimals` places (0..4).
Currency RoundCurrency(Currency value, std::int32_t decimals) {
    if (decimals >= 4 || decimals < 0) {
        return value;
    }
    std::int64_t unit = 1;
    for (std::int32_t i = decimals; i < 4; ++i) {
        unit *= 10;
    }
    const std::int64_t raw = value.Raw();
    std::int64_t whole = raw / unit;
    const std::int64_t rest = raw % unit;
    if (rest * 2 >= unit) {
        ++whole;
    } else if (rest * 2 <= -unit) {
        --whole;
    }
    return Currency::FromRaw(whole * unit);
}

}  // namespace

TNumericField::TNumericField(TComponent* owner) : TField(owner) {
    SetAlignment(taRightJustify);
}

void TNumericField::SetDisplayFormat(std::string_view format) {
    display_format_ = format;
    if (DataSet() != nullptr) {
        DataSet()->DataEvent(deLayoutChange);
    }
}

void TNumericField::SetEditFormat(std::string_view format) {
    edit_format_ = format;
}

bool TNumericField::IsValidChar(char32_t ch) const {
    return IsDigitOrSign(ch);
}

const std::string& TNumericField::TextFormat(bool display_text) const {
    return display_text || EditFormat().empty() ? DisplayFormat() : EditFormat();
}

std::string TNumericField::WholeNumberText(std::int64_t value, bool display_text) const {
    const std::string& format = TextFormat(display_text);
    return format.empty() ? IntToStr(value)
                          : FormatFloat(format, static_cast<double>(value), FormatSettings());
}

TIntegerField::TIntegerField(TComponent* owner)
    : TIntegerField(owner, ftInteger, std::numeric_limits<std::int32_t>::min(),
                    std::numeric_limits<std::int32_t>::max()) {}

TIntegerField::TIntegerField(TComponent* owner, TFieldType type, std::int64_t low,
                             std::int64_t high)
    : TNumericField(owner), type_low_(low), type_high_(high) {
    SetDataType(type);
}

TSmallintField::TSmallintField(TComponent* owner)
    : TIntegerField(owner, ftSmallint, std::numeric_limits<std::int16_t>::min(),
                    std::numeric_limits<std::int16_t>::max()) {}

TWordField::TWordField(TComponent* owner)
    : TIntegerField(owner, ftWord, 0, std::numeric_limits<std::uint16_t>::max()) {}

TAutoIncField::TAutoIncField(TComponent* owner)
    : TIntegerField(owner, ftAutoInc, std::numeric_limits<std::int32_t>::min(),
                    std::numeric_limits<std::int32_t>::max()) {}

std::int32_t TIntegerField::DataSize() const {
    return DataType() == ftSmallint || DataType() == ftWord ? 2 : 4;
}

bool TIntegerField::GetValue(std::int64_t& value) const {
    switch (DataType()) {
        case ftSmallint: {
            std::int16_t v = 0;
            if (!ReadNative(v)) {
                return false;
            }
            value = v;
            return true;
        }
        case ftWord: {
            std::uint16_t v = 0;
            if (!ReadNative(v)) {
                return false;
            }
            value = v;
            return true;
        }
        default: {
            std::int32_t v = 0;
            if (!ReadNative(v)) {
                return false;
            }
            value = v;
            return true;
        }
    }
}

std::string TIntegerField::GetAsString() const {
    std::int64_t value = 0;
    return GetValue(value) ? IntToStr(value) : std::string();
}

void TIntegerField::SetAsStringValue(std::string_view value) {
    const std::string text = std::string(platform::nls::TrimOf(value, " "));
    if (text.empty()) {
        Clear();
        return;
    }
    std::int64_t number = 0;
    if (!TryStrToInt64(text, number)) {
        throw EConvertError("'" + std::string(value) + "' is not a valid integer value");
    }
    SetAsLargeIntValue(number);
}

std::int32_t TIntegerField::GetAsInteger() const {
    std::int64_t value = 0;
    GetValue(value);
    return static_cast<std::int32_t>(value);
}

void TIntegerField::SetAsIntegerValue(std::int32_t value) {
    SetAsLargeIntValue(value);
}

std::int64_t TIntegerField::GetAsLargeInt() const {
    std::int64_t value = 0;
    GetValue(value);
    return value;
}

void TIntegerField::SetAsLargeIntValue(std::int64_t value) {
    const bool limited = min_value_ != 0 || max_value_ != 0;
    const std::int64_t low = limited ? std::max(min_value_, type_low_) : type_low_;
    const std::int64_t high = limited ? std::min(max_value_, type_high_) : type_high_;
    if (value < low || value > high) {
        RangeError(IntToStr(value), IntToStr(low), IntToStr(high));
    }
    switch (DataType()) {
        case ftSmallint:
            WriteNative(static_cast<std::int16_t>(value));
            break;
        case ftWord:
            WriteNative(static_cast<std::uint16_t>(value));
            break;
        default:
            WriteNative(static_cast<std::int32_t>(value));
            break;
    }
}

double TIntegerField::GetAsFloat() const {
    return static_cast<double>(GetAsLargeInt());
}

void TIntegerField::SetAsFloatValue(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 9.0e18) {
        RangeError(FloatToStr(value, FormatSettings()), IntToStr(type_low_), IntToStr(type_high_));
    }
    SetAsLargeIntValue(std::llround(value));
}

Variant TIntegerField::GetAsVariant() const {
    std::int64_t value = 0;
    if (!GetValue(value)) {
        return Variant::Null();
    }
    if (DataType() == ftSmallint) {
        return Variant::FromSmallint(static_cast<std::int16_t>(value));
    }
    return Variant(static_cast<int>(value));
}

void TIntegerField::SetVarValue(const Variant& value) {
    if (value.IsString()) {
        SetAsStringValue(value.AsString());
        return;
    }
    SetAsLargeIntValue(value.AsInt64());
}

void TIntegerField::GetText(std::string& text, bool display_text) const {
    std::int64_t value = 0;
    text = GetValue(value) ? WholeNumberText(value, display_text) : std::string();
}

TLargeintField::TLargeintField(TComponent* owner) : TNumericField(owner) {
    SetDataType(ftLargeint);
}

std::string TLargeintField::GetAsString() const {
    std::int64_t value = 0;
    return ReadNative(value) ? IntToStr(value) : std::string();
}

void TLargeintField::SetAsStringValue(std::string_view value) {
    const std::string text = std::string(platform::nls::TrimOf(value, " "));
    if (text.empty()) {
        Clear();
        return;
    }
    std::int64_t number = 0;
    if (!TryStrToInt64(text, number)) {
        throw EConvertError("'" + std::string(value) + "' is not a valid integer value");
    }
    SetAsLargeIntValue(number);
}

std::int32_t TLargeintField::GetAsInteger() const {
    const std::int64_t value = GetAsLargeInt();
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
        throw EDatabaseError("Value of field '" + DisplayName() + "' is out of range");
    }
    return static_cast<std::int32_t>(value);
}

std::int64_t TLargeintField::GetAsLargeInt() const {
    std::int64_t value = 0;
    ReadNative(value);
    return value;
}

void TLargeintField::SetAsLargeIntValue(std::int64_t value) {
    if ((min_value_ != 0 || max_value_ != 0) && (value < min_value_ || value > max_value_)) {
        RangeError(IntToStr(value), IntToStr(min_value_), IntToStr(max_value_));
    }
    WriteNative(value);
}

void TLargeintField::SetAsFloatValue(double value) {
    // 2^63 is exact as a double; values at or beyond it do not fit.
    if (!std::isfinite(value) || value >= 9223372036854775808.0 || value < -9223372036854775808.0) {
        RangeError(FloatToStr(value, FormatSettings()),
                   IntToStr(std::numeric_limits<std::int64_t>::min()),
                   IntToStr(std::numeric_limits<std::int64_t>::max()));
    }
    SetAsLargeIntValue(std::llround(value));
}

Variant TLargeintField::GetAsVariant() const {
    std::int64_t value = 0;
    if (!ReadNative(value)) {
        return Variant::Null();
    }
    return Variant(static_cast<long long>(value));
}

void TLargeintField::SetVarValue(const Variant& value) {
    if (value.IsString()) {
        SetAsStringValue(value.AsString());
        return;
    }
    SetAsLargeIntValue(value.AsInt64());
}

void TLargeintField::GetText(std::string& text, bool display_text) const {
    std::int64_t value = 0;
    text = ReadNative(value) ? WholeNumberText(value, display_text) : std::string();
}

TFloatField::TFloatField(TComponent* owner) : TNumericField(owner) {
    SetDataType(ftFloat);
}

TCurrencyField::TCurrencyField(TComponent* owner) : TFloatField(owner) {
    SetDataType(ftCurrency);
    SetCurrency(true);
}

void TFloatField::SetCurrency(bool value) {
    currency_ = value;
    if (DataSet() != nullptr) {
        DataSet()->DataEvent(deLayoutChange);
    }
}

void TFloatField::SetPrecision(std::int32_t value) {
    precision_ = value < 2 ? 2 : (value > 15 ? 15 : value);
}

bool TFloatField::IsValidChar(char32_t ch) const {
    return IsDigitOrSign(ch) ||
           ch == static_cast<unsigned char>(FormatSettings().DecimalSeparator) || ch == 'E' ||
           ch == 'e';
}

std::string TFloatField::GetAsString() const {
    double value = 0;
    return ReadNative(value) ? FloatToStr(value, FormatSettings()) : std::string();
}

void TFloatField::SetAsStringValue(std::string_view value) {
    const std::string text = std::string(platform::nls::TrimOf(value, " "));
    if (text.empty()) {
        Clear();
        return;
    }
    double number = 0;
    if (!TryStrToFloat(text, number, FormatSettings())) {
        throw EConvertError("'" + std::string(value) + "' is not a valid floating point value");
    }
    SetAsFloatValue(number);
}

std::int32_t TFloatField::GetAsInteger() const {
    const double value = GetAsFloat();
    const double rounded = std::round(value);
    if (!(rounded >= std::numeric_limits<std::int32_t>::min() &&
          rounded <= std::numeric_limits<std::int32_t>::max())) {
        throw EDatabaseError("Value of field '" + DisplayName() + "' is out of range");
    }
    return static_cast<std::int32_t>(rounded);
}

// Whole numbers past 32 bits are read and written here rather than refused as integers.
std::int64_t TFloatField::GetAsLargeInt() const {
    const double rounded = std::round(GetAsFloat());
    // 2^63 is exact as a double; values at or beyond it do not fit.
    if (!(rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0)) {
        throw EDatabaseError("Value of field '" + DisplayName() + "' is out of range");
    }
    return static_cast<std::int64_t>(rounded);
}

void TFloatField::SetAsLargeIntValue(std::int64_t value) {
    SetAsFloatValue(static_cast<double>(value));
}

double TFloatField::GetAsFloat() const {
    double value = 0;
    ReadNative(value);
    return value;
}

void TFloatField::SetAsFloatValue(double value) {
    const TFormatSettings& format = FormatSettings();
    if (!std::isfinite(value)) {
        throw EDatabaseError("Invalid value for field '" + DisplayName() + "'");
    }
    if ((min_value_ != 0 || max_value_ != 0) && (value < min_value_ || value > max_value_)) {
        RangeError(FloatToStr(value, format), FloatToStr(min_value_, format),
                   FloatToStr(max_value_, format));
    }
    WriteNative(value);
}

Variant TFloatField::GetAsVariant() const {
    double value = 0;
    if (!ReadNative(value)) {
        return Variant::Null();
    }
    return Variant(value);
}

void TFloatField::SetVarValue(const Variant& value) {
    if (value.IsString()) {
        SetAsStringValue(value.AsString());
        return;
    }
    SetAsFloatValue(value.AsDouble());
}

void TFloatField::GetText(std::string& text, bool display_text) const {
    double value = 0;
    if (!ReadNative(value)) {
        text.clear();
        return;
    }
    const TFormatSettings& settings = FormatSettings();
    const std::string& format = TextFormat(display_text);
    if (!format.empty()) {
        text = FormatFloat(format, value, settings);
    } else if (currency_) {
        text = display_text ? FloatToStrF(value, TFloatFormat::ffCurrency, precision_,
                                          settings.CurrencyDecimals, settings)
                            : FloatToStrF(value, TFloatFormat::ffFixed, precision_,
                                          settings.CurrencyDecimals, settings);
    } else {
        text = FloatToStrF(value, TFloatFormat::ffGeneral, precision_, 0, settings);
    }
}

TBCDField::TBCDField(TComponent* owner) : TNumericField(owner) {
    SetDataType(ftBCD);
    SetSize(4);
}

void TBCDField::SetCurrency(bool value) {
    currency_ = value;
    if (DataSet() != nullptr) {
        DataSet()->DataEvent(deLayoutChange);
    }
}

void TBCDField::SetPrecision(std::int32_t value) {
    if (DataSet() != nullptr) {
        DataSet()->CheckInactive();
    }
    precision_ = value < 0 ? 0 : value;
}

bool TBCDField::IsValidChar(char32_t ch) const {
    return IsDigitOrSign(ch) || ch == static_cast<unsigned char>(FormatSettings().DecimalSeparator);
}

bool TBCDField::GetValue(db::Currency& value) const {
    std::byte buffer[8] = {};
    if (!GetData(buffer, false)) {
        return false;
    }
    std::int64_t raw = 0;
    std::memcpy(&raw, buffer, sizeof raw);
    value = db::Currency::FromRaw(raw);
    return true;
}

std::string TBCDField::GetAsString() const {
    db::Currency value;
    return GetValue(value) ? CurrToStr(value, FormatSettings()) : std::string();
}

void TBCDField::SetAsStringValue(std::string_view value) {
    const std::string text = std::string(platform::nls::TrimOf(value, " "));
    if (text.empty()) {
        Clear();
        return;
    }
    db::Currency number;
    if (!TryStrToCurr(text, number, FormatSettings())) {
        throw EConvertError("'" + std::string(value) + "' is not a valid floating point value");
    }
    SetAsCurrencyValue(number);
}

std::int32_t TBCDField::GetAsInteger() const {
    const double value = std::round(GetAsFloat());
    if (!(value >= std::numeric_limits<std::int32_t>::min() &&
          value <= std::numeric_limits<std::int32_t>::max())) {
        throw EDatabaseError("Value of field '" + DisplayName() + "' is out of range");
    }
    return static_cast<std::int32_t>(value);
}

void TBCDField::SetAsIntegerValue(std::int32_t value) {
    SetAsCurrencyValue(*db::Currency::FromUnits(value));
}

// Exact in whole units, beyond the 53 bits a double keeps; halves round away from zero.
std::int64_t TBCDField::GetAsLargeInt() const {
    const std::int64_t raw = GetAsCurrency().Raw();
    const std::int64_t units = raw / db::Currency::Scale;
    const std::int64_t rest = raw % db::Currency::Scale;
    if (rest * 2 >= db::Currency::Scale) {
        return units + 1;
    }
    if (rest * 2 <= -db::Currency::Scale) {
        return units - 1;
    }
    return units;
}

void TBCDField::SetAsLargeIntValue(std::int64_t value) {
    const std::optional<db::Currency> amount = db::Currency::FromUnits(value);
    if (!amount) {
        throw EDatabaseError("Value of field '" + DisplayName() + "' is out of range");
    }
    SetAsCurrencyValue(*amount);
}

double TBCDField::GetAsFloat() const {
    return GetAsCurrency().ToDouble();
}

void TBCDField::SetAsFloatValue(double value) {
    const std::optional<db::Currency> amount = db::Currency::FromDouble(value);
    if (!amount) {
        throw EDatabaseError("Value of field '" + DisplayName() + "' is out of range");
    }
    SetAsCurrencyValue(*amount);
}

db::Currency TBCDField::GetAsCurrency() const {
    db::Currency value;
    GetValue(value);
    return value;
}

void TBCDField::SetAsCurrencyValue(db::Currency value) {
    value = RoundCurrency(value, Size());
    if ((min_value_.Raw() != 0 || max_value_.Raw() != 0) &&
        (value < min_value_ || value > max_value_)) {
        const TFormatSettings& format = FormatSettings();
        RangeError(CurrToStr(value, format), CurrToStr(min_value_, format),
                   CurrToStr(max_value_, format));
    }
    const std::int64_t raw = value.Raw();
    std::byte buffer[8];
    std::memcpy(buffer, &raw, sizeof raw);
    SetData(buffer, false);
}

Variant TBCDField::GetAsVariant() const {
    db::Currency value;
    if (!GetValue(value)) {
        return Variant::Null();
    }
    return Variant(value);
}

void TBCDField::SetVarValue(const Variant& value) {
    if (value.IsString()) {
        SetAsStringValue(value.AsString());
        return;
    }
    SetAsCurrencyValue(value.AsCurrency());
}

void TBCDField::GetText(std::string& text, bool display_text) const {
    db::Currency value;
    if (!GetValue(value)) {
        text.clear();
        return;
    }
    const TFormatSettings& settings = FormatSettings();
    const std::string& format = TextFormat(display_text);
    if (!format.empty()) {
        text = FormatCurr(format, value, settings);
    } else if (currency_) {
        text = CurrToStrF(value, display_text ? TFloatFormat::ffCurrency : TFloatFormat::ffFixed,
                          settings.CurrencyDecimals, settings);
    } else {
        text = CurrToStr(value, settings);
    }
}

TBooleanField::TBooleanField(TComponent* owner) : TField(owner) {
    SetDataType(ftBoolean);
}

void TBooleanField::SetDisplayValues(std::string_view values) {
    const auto separator = values.find(';');
    std::string true_text(values.substr(0, separator));
    std::string false_text(separator == std::string_view::npos ? std::string_view()
                                                               : values.substr(separator + 1));
    if (true_text.empty() && false_text.empty()) {
        throw EDatabaseError("Invalid format");
    }
    display_values_ = values;
    true_text_ = std::move(true_text);
    false_text_ = std::move(false_text);
    if (DataSet() != nullptr) {
        DataSet()->DataEvent(deLayoutChange);
    }
}

std::int32_t TBooleanField::DefaultDisplayWidth() const {
    return static_cast<std::int32_t>(std::max(true_text_.size(), false_text_.size()));
}

std::string TBooleanField::GetAsString() const {
    std::uint16_t value = 0;
    if (!ReadNative(value)) {
        return {};
    }
    return value != 0 ? true_text_ : false_text_;
}

void TBooleanField::SetAsStringValue(std::string_view value) {
    const std::string text = std::string(platform::nls::TrimOf(value, " "));
    if (text.empty()) {
        Clear();
        return;
    }
    if (!true_text_.empty() && SameName(text, true_text_)) {
        SetAsBooleanValue(true);
    } else if (!false_text_.empty() && SameName(text, false_text_)) {
        SetAsBooleanValue(false);
    } else {
        throw EDatabaseError("'" + std::string(value) +
                             "' is not a valid boolean value for field '" + DisplayName() + "'");
    }
}

bool TBooleanField::GetAsBoolean() const {
    std::uint16_t value = 0;
    return ReadNative(value) && value != 0;
}

void TBooleanField::SetAsBooleanValue(bool value) {
    WriteNative(static_cast<std::uint16_t>(value ? 1 : 0));
}

Variant TBooleanField::GetAsVariant() const {
    std::uint16_t value = 0;
    if (!ReadNative(value)) {
        return Variant::Null();
    }
    return Variant(value != 0);
}

void TBooleanField::SetVarValue(const Variant& value) {
    if (value.IsString()) {
        SetAsStringValue(value.AsString());
    } else {
        SetAsBooleanValue(value.AsBoolean());
    }
}

void TBooleanField::GetText(std::string& text, bool /*display_text*/) const {
    text = GetAsString();
}

}  // namespace db
