#include "platform/db/params.h"

#include "platform/db/exception.h"
#include "platform/db/names.h"

namespace db {
namespace {

TFieldType FieldTypeOfVariant(TVarType type) {
    switch (type) {
        case varSmallint:
        case varShortInt:
        case varByte:
            return ftSmallint;
        case varInteger:
        case varWord:
        case varLongWord:
            return ftInteger;
        case varInt64:
            return ftLargeint;
        case varSingle:
        case varDouble:
            return ftFloat;
        case varCurrency:
            return ftBCD;
        case varDate:
            return ftDateTime;
        case varBoolean:
            return ftBoolean;
        case varString:
        case varOleStr:
            return ftString;
        case varArray | varByte:
            return ftBlob;
        default:
            return ftUnknown;
    }
}

}  // namespace

void TParam::Set(TFieldType data_type, Variant value) {
    data_type_ = data_type;
    value_ = std::move(value);
    bound_ = true;
}

void TParam::SetValue(const Variant& value) {
    if (data_type_ == ftUnknown) {
        data_type_ = FieldTypeOfVariant(value.VarType());
    }
    value_ = value;
    bound_ = true;
}

void TParam::Clear() {
    value_ = Variant::Null();
}

void TParam::SetAsString(std::string_view value) {
    Set(ftString, Variant(value));
}
void TParam::SetAsMemo(std::string_view value) {
    Set(ftMemo, Variant(value));
}
void TParam::SetAsBlob(std::string_view bytes) {
    Set(ftBlob, Variant::FromBytes(
                    std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())));
}
void TParam::SetAsSmallInt(std::int16_t value) {
    Set(ftSmallint, Variant::FromSmallint(value));
}
void TParam::SetAsWord(std::uint16_t value) {
    Set(ftWord, Variant::FromWord(value));
}
void TParam::SetAsInteger(std::int32_t value) {
    Set(ftInteger, Variant(value));
}
void TParam::SetAsLargeInt(std::int64_t value) {
    Set(ftLargeint, Variant(value));
}
void TParam::SetAsBoolean(bool value) {
    Set(ftBoolean, Variant(value));
}
void TParam::SetAsFloat(double value) {
    Set(ftFloat, Variant(value));
}
void TParam::SetAsCurrency(Currency value) {
    Set(ftCurrency, Variant(value));
}
void TParam::SetAsBCD(Currency value) {
    Set(ftBCD, Variant(value));
}
void TParam::SetAsDate(TDateTime value) {
    Set(ftDate, Variant(value));
}
void TParam::SetAsTime(TDateTime value) {
    Set(ftTime, Variant(value));
}
void TParam::SetAsDateTime(TDateTime value) {
    Set(ftDateTime, Variant(value));
}

std::string TParam::AsString() const {
    return IsNull() ? std::string() : value_.AsString();
}
std::int32_t TParam::AsInteger() const {
    return IsNull() ? 0 : value_.AsInteger();
}
double TParam::AsFloat() const {
    return IsNull() ? 0.0 : value_.AsDouble();
}
Currency TParam::AsCurrency() const {
    return IsNull() ? Currency() : value_.AsCurrency();
}
bool TParam::AsBoolean() const {
    return IsNull() ? false : value_.AsBoolean();
}
TDateTime TParam::AsDateTime() const {
    return IsNull() ? TDateTime() : value_.AsDateTime();
}

void TParam::Assign(const TPersistent& source) {
    const auto* param = dynamic_cast<const TParam*>(&source);
    if (param == nullptr) {
        TCollectionItem::Assign(source);
        return;
    }
    if (param == this) {
        return;
    }
    data_type_ = param->data_type_;
    value_ = param->value_;
    bound_ = param->bound_;
    name_ = param->name_;
    if (param_type_ == ptUnknown) {
        param_type_ = param->param_type_;
    }
}

bool TParam::IsEqual(const TParam& other) const {
    return name_ == other.name_ && data_type_ == other.data_type_ &&
           param_type_ == other.param_type_ && bound_ == other.bound_ &&
           value_.VarType() == other.value_.VarType() && value_ == other.value_;
}

TParams::TParams(TPersistent* owner) : TOwnedCollection(owner, ItemClass<TParam>()) {}

TParam* TParams::CreateParam(TFieldType data_type, std::string_view name, TParamType param_type) {
    auto* param = static_cast<TParam*>(Add());
    param->SetName(name);
    param->SetDataType(data_type);
    param->SetParamType(param_type);
    return param;
}

TParam* TParams::FindParam(std::string_view name) const {
    for (std::int64_t i = 0; i < Count(); ++i) {
        if (SameName(Items(i)->Name(), name)) {
            return Items(i);
        }
    }
    return nullptr;
}

TParam* TParams::ParamByName(std::string_view name) const {
    TParam* param = FindParam(name);
    if (param == nullptr) {
        throw EDatabaseError("Parameter '" + std::string(name) + "' not found");
    }
    return param;
}

void TParams::AssignValues(const TParams& source) {
    for (std::int64_t i = 0; i < Count(); ++i) {
        if (const TParam* match = source.FindParam(Items(i)->Name())) {
            Items(i)->Assign(*match);
        }
    }
}

bool TParams::IsEqual(const TParams& other) const {
    if (Count() != other.Count()) {
        return false;
    }
    for (std::int64_t i = 0; i < Count(); ++i) {
        if (!Items(i)->IsEqual(*other.Items(i))) {
            return false;
        }
    }
    return true;
}

}  // namespace db
