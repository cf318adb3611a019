#include "platform/db/fields_date_time.h"

#include <cmath>
#include <cstring>

#include "platform/db/conversions.h"
#include "platform/db/dataset.h"
#include "platform/db/exception.h"
#include "platform/db/format_settings.h"

namespace db {

TDateTimeField::TDateTimeField(TComponent* owner) : TDateTimeField(owner, ftDateTime) {}

TDateTimeField::TDateTimeField(TComponent* owner, TFieldType type) : TField(owner) {
    SetDataType(type);
}

TDateField::TDateField(TComponent* owner) : TDateTimeField(owner, ftDate) {}

TTimeField::TTimeField(TComponent* owner) : TDateTimeField(owner, ftTime) {}

void TDateTimeField::SetDisplayFormat(std::string_view format) {
    display_format_ = format;
    if (DataSet() != nullptr) {
        DataSet()->DataEvent(deLayoutChange);
    }
}

bool TDateTimeField::GetValue(TDateTime& value) const {
    std::byte buffer[sizeof(double)] = {};
    if (!GetData(buffer, false)) {
        return false;
    }
    std::memcpy(&value.Value, buffer, sizeof(double));
    return true;
}

std::string TDateTimeField::GetAsString() const {
    std::string text;
    GetText(text, false);
    return text;
}

void TDateTimeField::SetAsStringValue(std::string_view value) {
    if (value.find_first_not_of(' ') == std::string_view::npos) {
        Clear();
        return;
    }
    const TFormatSettings& format = FormatSettings();
    switch (DataType()) {
        case ftDate:
            SetAsDateTimeValue(StrToDate(value, format));
            break;
        case ftTime:
            SetAsDateTimeValue(StrToTime(value, format));
            break;
        default:
            SetAsDateTimeValue(StrToDateTime(value, format));
            break;
    }
}

double TDateTimeField::GetAsFloat() const {
    return GetAsDateTime().Value;
}

void TDateTimeField::SetAsFloatValue(double value) {
    SetAsDateTimeValue(TDateTime(value));
}

TDateTime TDateTimeField::GetAsDateTime() const {
    TDateTime value;
    GetValue(value);
    return value;
}

void TDateTimeField::SetAsDateTimeValue(TDateTime value) {
    std::byte buffer[sizeof(double)];
    std::memcpy(buffer, &value.Value, sizeof(double));
    SetData(buffer, false);
}

Variant TDateTimeField::GetAsVariant() const {
    TDateTime value;
    if (!GetValue(value)) {
        return Variant::Null();
    }
    return Variant(value);
}

void TDateTimeField::SetVarValue(const Variant& value) {
    if (value.IsString()) {
        SetAsStringValue(value.AsString());
        return;
    }
    SetAsDateTimeValue(value.AsDateTime());
}

void TDateTimeField::GetText(std::string& text, bool display_text) const {
    TDateTime value;
    if (!GetValue(value)) {
        text.clear();
        return;
    }
    const TFormatSettings& format = FormatSettings();
    if (display_text && !display_format_.empty()) {
        text = FormatDateTime(display_format_, value, format);
        return;
    }
    switch (DataType()) {
        case ftDate:
            text = DateToStr(value, format);
            break;
        case ftTime:
            text = TimeToStr(value, format);
            break;
        default:
            text = DateTimeToStr(value, format);
            break;
    }
}

}  // namespace db
