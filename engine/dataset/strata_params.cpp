#include "engine/dataset/strata_params.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include "engine/core/table_descriptors.h"
#include "engine/dataset/strata_dataset.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/decimal.h"
#include "platform/db/code_page_text.h"
#include "platform/db/exception.h"
#include "platform/nls/text.h"
#include "platform/os/byte_order.h"

namespace strata {

namespace {

[[noreturn]] void Fail(std::string text) {
    throw db::EDatabaseError(text);
}

std::string Quoted(std::string_view format_head, std::string_view name, std::string_view tail) {
    return std::string(format_head) + std::string(name) + std::string(tail);
}

bool IsBlobParamType(db::TFieldType type) {
    switch (type) {
        case db::ftBlob:
        case db::ftGraphic:
        case db::ftFmtMemo:
        case db::ftParadoxOle:
        case db::ftDBaseOle:
        case db::ftTypedBinary:
            return true;
        default:
            return false;
    }
}

bool IsStringType(db::TFieldType type) {
    return type == db::ftString || type == db::ftMemo;
}

// The fixed native size of a type; 0 for the sized ones (strings, blobs) and
// the types without a native value.
std::size_t FixedSize(db::TFieldType type) {
    switch (type) {
        case db::ftSmallint:
        case db::ftWord:
        case db::ftBoolean:
            return 2;
        case db::ftInteger:
        case db::ftAutoInc:
        case db::ftDate:
        case db::ftTime:
            return 4;
        case db::ftFloat:
        case db::ftCurrency:
        case db::ftBCD:
        case db::ftDateTime:
            return 8;
        default:
            return 0;
    }
}

bool HasNativeValue(db::TFieldType type) {
    return FixedSize(type) != 0 || IsStringType(type) || IsBlobParamType(type);
}

// Reads the stored form, refusing anything that runs past its end.
class DataReader {
  public:
    explicit DataReader(std::span<const std::uint8_t> data) : data_(data) {}
    std::uint64_t Unsigned(std::size_t width) {
        Need(width);
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < width; ++i)
            value |= std::uint64_t{data_[at_ + i]} << (8 * i);
        at_ += width;
        return value;
    }
    std::span<const std::uint8_t> Bytes(std::uint64_t count) {
        Need(count);
        auto bytes = data_.subspan(at_, static_cast<std::size_t>(count));
        at_ += static_cast<std::size_t>(count);
        return bytes;
    }
    bool AtEnd() const { return at_ == data_.size(); }

  private:
    void Need(std::uint64_t count) const {
        if (count > data_.size() - at_)
            Fail("Unable to load bind parameters");
    }
    std::span<const std::uint8_t> data_;
    std::size_t at_ = 0;
};

}  // namespace

void TStrataParam::Set(db::TFieldType type, db::Variant value) {
    data_type_ = type;
    value_ = std::move(value);
    bound_ = true;
    null_ = false;
}

void TStrataParam::SetAsString(std::string_view value) {
    Set(db::ftString, db::Variant(value));
}
void TStrataParam::SetAsMemo(std::string_view value) {
    Set(db::ftMemo, db::Variant(value));
}
void TStrataParam::SetAsSmallInt(std::int16_t value) {
    Set(db::ftSmallint, db::Variant::FromSmallint(value));
}
void TStrataParam::SetAsWord(std::uint16_t value) {
    Set(db::ftWord, db::Variant::FromWord(value));
}
void TStrataParam::SetAsInteger(std::int32_t value) {
    Set(db::ftInteger, db::Variant(value));
}
void TStrataParam::SetAsBoolean(bool value) {
    Set(db::ftBoolean, db::Variant(value));
}
void TStrataParam::SetAsFloat(double value) {
    Set(db::ftFloat, db::Variant(value));
}
void TStrataParam::SetAsCurrency(double value) {
    Set(db::ftCurrency, db::Variant(value));
}
void TStrataParam::SetAsBCD(db::Currency value) {
    Set(db::ftBCD, db::Variant(value));
}
void TStrataParam::SetAsDate(db::TDateTime value) {
    Set(db::ftDate, db::Variant(value));
}
void TStrataParam::SetAsTime(db::TDateTime value) {
    Set(db::ftTime, db::Variant(value));
}
void TStrataParam::SetAsDateTime(db::TDateTime value) {
    Set(db::ftDateTime, db::Variant(value));
}
void TStrataParam::SetAsBlob(std::span<const std::uint8_t> value, db::TFieldType type) {
    Set(IsBlobParamType(type) ? type : db::ftBlob, db::Variant::FromBytes(value));
}

void TStrataParam::Clear() {
    null_ = true;
    value_ = db::Variant();
}

void TStrataParam::Assign(const TStrataParam& source) {
    data_type_ = source.data_type_;
    value_ = source.value_;
    null_ = source.null_;
    bound_ = source.bound_;
    name_ = source.name_;
    if (param_type_ == db::ptUnknown)
        param_type_ = source.param_type_;
}

void TStrataParam::AssignField(const db::TField& field) {
    db::TFieldType type = field.DataType();
    if (type == db::ftMemo && field.Size() > 255)
        type = db::ftString;
    data_type_ = type;
    value_ = field.Value();
    null_ = value_.IsClear();
    bound_ = true;
    name_ = field.FieldName();
}

bool TStrataParam::operator==(const TStrataParam& other) const {
    if (name_ != other.name_ || data_type_ != other.data_type_ || null_ != other.null_ ||
        bound_ != other.bound_ || param_type_ != other.param_type_)
        return false;
    if (null_ || !HasNativeValue(data_type_))
        return true;
    return NativeValue() == other.NativeValue();
}

std::vector<std::uint8_t> TStrataParam::NativeValue() const {
    if (data_type_ == db::ftUnknown)
        Fail(Quoted("Field '", name_, "' is of unknown type"));
    if (!HasNativeValue(data_type_))
        Fail(Quoted("Field '", name_, "' is of an unsupported type"));
    if (IsStringType(data_type_)) {
        std::string text = null_ ? std::string() : value_.AsString();
        std::vector<std::uint8_t> out(text.begin(), text.end());
        out.push_back(0);
        return out;
    }
    if (IsBlobParamType(data_type_))
        return null_ ? std::vector<std::uint8_t>{} : value_.AsBytes();
    std::vector<std::uint8_t> out(FixedSize(data_type_), 0);
    if (null_)
        return out;
    switch (data_type_) {
        case db::ftSmallint:
        case db::ftWord:
            PutU16(out, 0, static_cast<std::uint16_t>(value_.AsInteger()));
            break;
        case db::ftBoolean:
            PutU16(out, 0, value_.AsBoolean() ? 1 : 0);
            break;
        case db::ftInteger:
        case db::ftAutoInc:
            PutU32(out, 0, static_cast<std::uint32_t>(value_.AsInteger()));
            break;
        case db::ftDate:
            PutU32(out, 0,
                   static_cast<std::uint32_t>(db::DateTimeToTimeStamp(value_.AsDateTime()).Date));
            break;
        case db::ftTime:
            PutU32(out, 0,
                   static_cast<std::uint32_t>(db::DateTimeToTimeStamp(value_.AsDateTime()).Time));
            break;
        case db::ftFloat:
        case db::ftCurrency:
            PutF64(out, 0, value_.AsDouble());
            break;
        case db::ftBCD: {
            // The engine's scaled decimal at four places, as a BCD field holds it.
            const std::optional<std::int64_t> scaled =
                TryEncodeScaledCurrency(4, value_.AsCurrency());
            if (!scaled)
                Fail(Quoted("Value of field '", name_, "' is out of range"));
            for (std::size_t i = 0; i < 8; ++i)
                out[i] = static_cast<std::uint8_t>(static_cast<std::uint64_t>(*scaled) >> (8 * i));
            break;
        }
        case db::ftDateTime: {
            const db::TTimeStamp stamp = db::DateTimeToTimeStamp(value_.AsDateTime());
            PutF64(out, 0,
                   static_cast<double>(stamp.Date) * static_cast<double>(db::MSecsPerDay) +
                       stamp.Time);
            break;
        }
        default:
            break;
    }
    return out;
}

bool TStrataParam::SetNativeValue(db::TFieldType type, std::span<const std::uint8_t> value) {
    if (IsStringType(type)) {
        const auto end = std::find(value.begin(), value.end(), std::uint8_t{0});
        if (value.empty() || end == value.end())
            return false;
        const std::string text(value.begin(), end);
        Set(type, db::Variant(text));
        return true;
    }
    if (IsBlobParamType(type)) {
        SetAsBlob(value, type);
        return true;
    }
    if (FixedSize(type) == 0 || value.size() != FixedSize(type))
        return false;
    try {
        switch (type) {
            case db::ftSmallint:
                SetAsSmallInt(static_cast<std::int16_t>(GetU16(value, 0)));
                break;
            case db::ftWord:
                SetAsWord(GetU16(value, 0));
                break;
            case db::ftBoolean:
                SetAsBoolean(GetU16(value, 0) != 0);
                break;
            case db::ftInteger:
            case db::ftAutoInc:
                Set(type, db::Variant(static_cast<std::int32_t>(GetU32(value, 0))));
                break;
            case db::ftDate:
                SetAsDate(
                    db::TimeStampToDateTime({0, static_cast<std::int32_t>(GetU32(value, 0))}));
                break;
            case db::ftTime: {
                const std::uint32_t ms = GetU32(value, 0);
                if (ms >= db::MSecsPerDay)
                    return false;
                SetAsTime(db::TDateTime(static_cast<double>(ms) / db::MSecsPerDay));
                break;
            }
            case db::ftFloat:
                SetAsFloat(GetF64(value, 0));
                break;
            case db::ftCurrency:
                SetAsCurrency(GetF64(value, 0));
                break;
            case db::ftBCD: {
                const std::optional<db::Currency> amount =
                    TryDecodeScaledCurrency(static_cast<std::int64_t>(GetU64(value, 0)));
                if (!amount)
                    return false;
                SetAsBCD(*amount);
                break;
            }
            case db::ftDateTime: {
                const double ms = GetF64(value, 0);
                if (!(ms >= 0 && ms < 1e15))
                    return false;
                const auto whole = static_cast<std::int64_t>(ms);
                SetAsDateTime(
                    db::TimeStampToDateTime({static_cast<std::int32_t>(whole % db::MSecsPerDay),
                                             static_cast<std::int32_t>(whole / db::MSecsPerDay)}));
                break;
            }
            default:
                return false;
        }
    } catch (const db::EConvertError&) {
        return false;
    }
    return true;
}

TStrataParam& TStrataParams::CreateParam(db::TFieldType type, std::string_view name,
                                         db::TParamType param_type) {
    auto param = std::make_unique<TStrataParam>(this);
    param->SetDataType(type);
    param->SetName(name);
    param->SetParamType(param_type);
    items_.push_back(std::move(param));
    return *items_.back();
}

TStrataParam* TStrataParams::FindParam(std::string_view name) const {
    for (const auto& param : items_) {
        if (platform::nls::SameTextAscii(param->Name(), name))
            return param.get();
    }
    return nullptr;
}

TStrataParam& TStrataParams::ParamByName(std::string_view name) const {
    TStrataParam* param = FindParam(name);
    if (param == nullptr)
        Fail(Quoted("Parameter '", name, "' not found"));
    return *param;
}

void TStrataParams::Assign(const TStrataParams& source) {
    if (&source == this)
        return;
    std::vector<std::unique_ptr<TStrataParam>> copies;
    for (const auto& param : source.items_) {
        auto copy = std::make_unique<TStrataParam>(this);
        copy->Assign(*param);
        copies.push_back(std::move(copy));
    }
    items_ = std::move(copies);
}

void TStrataParams::AssignValues(const TStrataParams& source) {
    for (const auto& own : items_) {
        for (const auto& other : source.items_) {
            if (other->Name() == own->Name()) {
                own->Assign(*other);
                break;
            }
        }
    }
}

bool TStrataParams::operator==(const TStrataParams& other) const {
    return std::equal(items_.begin(), items_.end(), other.items_.begin(), other.items_.end(),
                      [](const auto& a, const auto& b) { return *a == *b; });
}

std::vector<std::uint8_t> TStrataParams::WriteData() const {
    if (items_.size() > 0xFFFF)
        Fail("Unable to save bind parameters");
    std::vector<std::uint8_t> out;
    AppendLittle<std::uint16_t>(out, 1);
    AppendLittle<std::uint16_t>(out, items_.size());
    for (const auto& param : items_) {
        const std::string& name = param->Name();
        // The name's length is one byte wide.
        if (name.size() > 255)
            Fail(Quoted("Parameter '", name, "', cannot save a name longer than 255 bytes"));
        AppendLittle<std::uint8_t>(out, name.size());
        out.insert(out.end(), name.begin(), name.end());
        AppendLittle<std::uint8_t>(out, param->ParamType());
        const db::TFieldType type =
            HasNativeValue(param->DataType()) ? param->DataType() : db::ftUnknown;
        AppendLittle<std::uint8_t>(out, type);
        if (type != db::ftUnknown) {
            const std::vector<std::uint8_t> value = param->NativeValue();
            if (value.size() > kMaxStoredParamValue) {
                Fail(Quoted("Parameter '", name, "', cannot save data larger than ") +
                     std::to_string(kMaxStoredParamValue) + " bytes");
            }
            AppendLittle<std::uint16_t>(out, value.size());
            out.insert(out.end(), value.begin(), value.end());
        }
        AppendLittle<std::uint8_t>(out, param->IsNull() ? 1 : 0);
        AppendLittle<std::uint8_t>(out, param->Bound() ? 1 : 0);
    }
    return out;
}

void TStrataParams::ReadData(std::span<const std::uint8_t> data) {
    DataReader in(data);
    const auto version = in.Unsigned(2);
    if (version == 0 || version > 2)
        Fail("Unable to load bind parameters");
    const std::size_t wide = version == 2 ? 4 : 2;
    const std::uint64_t count = in.Unsigned(wide);
    std::vector<std::unique_ptr<TStrataParam>> loaded;
    for (std::uint64_t i = 0; i < count; ++i) {
        auto param = std::make_unique<TStrataParam>(this);
        const auto name = in.Bytes(in.Unsigned(version == 2 ? 4 : 1));
        param->SetName(std::string(name.begin(), name.end()));
        const auto param_type = in.Unsigned(1);
        if (param_type > db::ptResult)
            Fail("Unable to load bind parameters");
        param->SetParamType(static_cast<db::TParamType>(param_type));
        const auto type = static_cast<db::TFieldType>(in.Unsigned(1));
        std::span<const std::uint8_t> value;
        if (type != db::ftUnknown) {
            value = in.Bytes(in.Unsigned(wide));
            if (!HasNativeValue(type))
                Fail("Unable to load bind parameters");
        }
        const bool is_null = in.Unsigned(1) != 0;
        const bool bound = in.Unsigned(1) != 0;
        if (type != db::ftUnknown) {
            // A null value is stored as zeros, which are no date: only its size is checked.
            const bool fits = is_null ? FixedSize(type) == 0 || value.size() == FixedSize(type)
                                      : param->SetNativeValue(type, value);
            if (!fits)
                Fail("Unable to load bind parameters");
        }
        param->SetDataType(type);
        if (is_null)
            param->Clear();
        param->SetBound(bound);
        loaded.push_back(std::move(param));
    }
    if (!in.AtEnd())
        Fail("Unable to load bind parameters");
    items_ = std::move(loaded);
}

std::string ParseSQLParams(std::string_view sql, TStrataParams* params) {
    std::string out;
    out.reserve(sql.size());
    char literal = 0;
    for (std::size_t i = 0; i < sql.size();) {
        const char c = sql[i];
        if (literal != 0) {
            out += c;
            if (c == literal)
                literal = 0;
            ++i;
            continue;
        }
        if (c == '\'' || c == '"') {
            literal = c;
            out += c;
            ++i;
            continue;
        }
        if (c != ':' || i + 1 >= sql.size()) {
            out += c;
            ++i;
            continue;
        }
        if (sql[i + 1] == ':') {
            out += ':';
            i += 2;
            continue;
        }
        std::size_t j = i + 1;
        std::string name;
        if (sql[j] == '\'' || sql[j] == '"') {
            const char quote = sql[j++];
            while (j < sql.size() && sql[j] != quote)
                name += sql[j++];
            if (j < sql.size())
                ++j;
        } else {
            while (j < sql.size() &&
                   std::string_view("\n\r ),;").find(sql[j]) == std::string_view::npos)
                name += sql[j++];
        }
        out += '?';
        if (params != nullptr)
            params->CreateParam(db::ftUnknown, name, db::ptUnknown);
        i = j;
    }
    return out;
}

void NamesToUtf8(db::TFieldDefs& defs, platform::nls::CodePage page) {
    for (std::int64_t i = 0; i < defs.Count(); ++i) {
        db::TFieldDef* def = defs.Items(i);
        const std::string base = db::CodePageToUtf8(page, def->Name());
        // Names distinct as bytes may meet once case is folded in UTF-8: "name_n" as on reading.
        std::string name = base;
        for (int n = 1; defs.IndexOf(name) >= 0 && defs.IndexOf(name) != i; ++n)
            name = base + "_" + std::to_string(n);
        def->SetName(name);
    }
}

platform::nls::CodePage TableCodePage(std::uint16_t language, std::uint16_t sort) {
    const auto locale = platform::nls::MakeLocaleId(language, sort);
    if (language == 0 || !platform::nls::IsValidLocale(locale))
        return platform::nls::CodePage::Western;
    return platform::nls::CodePageOfLocale(locale);
}

StatementParams BuildStatementParams(const TStrataParams& params,
                                     platform::nls::CodePage code_page) {
    StatementParams result;
    for (std::size_t i = 0; i < params.Count(); ++i) {
        const TStrataParam& param = params.Items(i);
        const auto [type, subtype] = EngineTypeOf(param.DataType());
        if (type == 0)
            Fail(Quoted("No value for parameter '", param.Name(), "'"));
        std::vector<std::uint8_t> value = param.NativeValue();
        if (IsStringType(param.DataType()) && !param.IsNull() && !value.empty()) {
            // The engine compares and stores the table's single-byte text.
            const std::string utf8(value.begin(), value.end() - 1);
            const std::string bytes =
                db::Utf8ToCodePage(code_page, utf8, Quoted("parameter '", param.Name(), "'"));
            value.assign(bytes.begin(), bytes.end());
            value.push_back(0);
        }
        std::size_t size = value.size();
        if (type == 3) {
            // A 4-byte length and an 8-byte pointer to bytes held by the result;
            // a memo's text goes without its closing zero.
            if (IsStringType(param.DataType()) && !value.empty())
                value.pop_back();
            result.blobs.push_back(std::move(value));
            const auto& bytes = result.blobs.back();
            value.assign(kBlobParamSlotSize, 0);
            PutU32(value, 0, bytes.size());
            const auto address = reinterpret_cast<std::uintptr_t>(bytes.data());
            for (std::size_t b = 0; b < 8; ++b)
                value[4 + b] =
                    static_cast<std::uint8_t>(static_cast<std::uint64_t>(address) >> (8 * b));
            size = kBlobParamSlotSize;
        } else if (IsStringType(param.DataType()) && size > kMaxStatementString + 1) {
            // A string descriptor holds at most 250 characters inline.
            Fail(Quoted("Field '", param.Name(), "' is of an unsupported type"));
        }
        const std::size_t offset = result.buffer.size();
        if (offset + 1 + size > 0xFFFF)
            Fail(Quoted("Parameter '", param.Name(), "', cannot save data larger than ") +
                 std::to_string(0xFFFF) + " bytes");
        FieldDescriptor d{};
        PutU16(d, fd::kNumber, i + 1);
        const std::string name = db::Utf8ToCodePage(code_page, param.Name(), "a parameter name");
        PutShortString(d, fd::kName, fd::kNameLength,
                       std::string_view(name).substr(0, fd::kNameLength));
        d[fd::kType] = type;
        d[fd::kSubtype] = subtype;
        d[fd::kDataSize] = static_cast<std::uint8_t>(size);
        if (param.DataType() == db::ftString)
            d[fd::kLength] = static_cast<std::uint8_t>(size - 1);
        if (param.DataType() == db::ftBCD)
            d[fd::kScale] = d[fd::kDecimals] = 4;
        PutU16(d, fd::kOffset, offset);
        result.descriptors.push_back(d);
        result.buffer.push_back(param.IsNull() ? 0 : 1);
        result.buffer.insert(result.buffer.end(), value.begin(), value.end());
    }
    return result;
}

}  // namespace strata
