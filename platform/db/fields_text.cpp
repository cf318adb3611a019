#include "platform/db/fields_text.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "platform/db/code_page_text.h"
#include "platform/db/conversions.h"
#include "platform/db/dataset.h"
#include "platform/db/exception.h"
#include "platform/db/format_settings.h"

namespace db {

namespace {

platform::nls::CodePage CodePageOf(const TField& field) {
    return field.DataSet() != nullptr ? field.DataSet()->TextCodePage()
                                      : platform::nls::CodePage::Western;
}

}  // namespace

TStringField::TStringField(TComponent* owner) : TField(owner) {
    SetDataType(ftString);
    SetSize(20);
}

bool TStringField::GetValue(std::string& bytes) const {
    FieldBuffer storage(static_cast<std::size_t>(DataSize()));
    const std::span<std::byte> buffer = storage.bytes();
    if (!GetData(buffer)) {
        bytes.clear();
        return false;
    }
    const auto* begin = reinterpret_cast<const char*>(buffer.data());
    const auto end = std::find(begin, begin + buffer.size(), '\0');
    bytes.assign(begin, end);
    return true;
}

std::string TStringField::GetAsString() const {
    std::string bytes;
    GetValue(bytes);
    return CodePageToUtf8(CodePageOf(*this), bytes);
}

void TStringField::SetAsStringValue(std::string_view value) {
    // Imports set fields by the million: the field's name is only spelled for an error, and
    // plain ASCII goes into the record as it is, without a converted copy.
    std::string converted;
    std::string_view bytes = value;
    if (!SameInCodePageOf([this] { return CodePageOf(*this); }, value)) {
        const platform::nls::CodePage code_page = CodePageOf(*this);
        if (!TryUtf8ToCodePage(code_page, value, converted)) {
            converted = Utf8ToCodePage(code_page, value, "field '" + DisplayName() + "'");
        }
        bytes = converted;
    }
    if (bytes.find('\0') != std::string_view::npos) {
        throw EConvertError("Text for field '" + DisplayName() + "' holds a NUL character");
    }
    if (static_cast<std::int64_t>(bytes.size()) > Size()) {
        throw EDatabaseError("Value of field '" + DisplayName() +
                             "' is too long: " + std::to_string(bytes.size()) +
                             " characters for a size of " + std::to_string(Size()));
    }
    // The rest of the field stays zeros.
    FieldBuffer storage(static_cast<std::size_t>(DataSize()));
    const std::span<std::byte> buffer = storage.bytes();
    std::copy_n(reinterpret_cast<const std::byte*>(bytes.data()), bytes.size(), buffer.begin());
    SetData(buffer);
}

std::int32_t TStringField::GetAsInteger() const {
    return StrToInt(GetAsString());
}
void TStringField::SetAsIntegerValue(std::int32_t value) {
    SetAsStringValue(IntToStr(value));
}
std::int64_t TStringField::GetAsLargeInt() const {
    return StrToInt64(GetAsString());
}
void TStringField::SetAsLargeIntValue(std::int64_t value) {
    SetAsStringValue(IntToStr(value));
}
double TStringField::GetAsFloat() const {
    return StrToFloat(GetAsString(), FormatSettings());
}
void TStringField::SetAsFloatValue(double value) {
    SetAsStringValue(FloatToStr(value, FormatSettings()));
}

bool TStringField::GetAsBoolean() const {
    const std::string text = GetAsString();
    return !text.empty() && (text[0] == 'T' || text[0] == 't' || text[0] == 'Y' || text[0] == 'y');
}
void TStringField::SetAsBooleanValue(bool value) {
    SetAsStringValue(value ? "T" : "F");
}
TDateTime TStringField::GetAsDateTime() const {
    return StrToDateTime(GetAsString(), FormatSettings());
}
void TStringField::SetAsDateTimeValue(TDateTime value) {
    SetAsStringValue(DateTimeToStr(value, FormatSettings()));
}

Variant TStringField::GetAsVariant() const {
    std::string bytes;
    if (!GetValue(bytes)) {
        return Variant::Null();
    }
    return Variant(CodePageToUtf8(CodePageOf(*this), bytes));
}

void TStringField::SetVarValue(const Variant& value) {
    // A key search sets its text this way for every entry of an import: read, not copied.
    if (value.IsString()) {
        SetAsStringValue(value.StringText());
        return;
    }
    SetAsStringValue(value.AsString());
}

void TStringField::GetText(std::string& text, bool /*display_text*/) const {
    text = GetAsString();
}

}  // namespace db
