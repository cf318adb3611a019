#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/db/field.h"

namespace db {

// Single-byte text in the dataset's code page, NUL-terminated in Size + 1 bytes. On this
// side the value is UTF-8: a character the code page lacks is stored as "?", and a text whose
// stored form is longer than Size is refused rather than cut.
class TStringField : public TField {
  public:
    explicit TStringField(TComponent* owner);

    std::int32_t DataSize() const override { return Size() + 1; }
    // The stored bytes, without conversion; false when null.
    bool GetValue(std::string& bytes) const;

  protected:
    std::string GetAsString() const override;
    void SetAsStringValue(std::string_view value) override;
    std::int32_t GetAsInteger() const override;
    void SetAsIntegerValue(std::int32_t value) override;
    std::int64_t GetAsLargeInt() const override;
    void SetAsLargeIntValue(std::int64_t value) override;
    double GetAsFloat() const override;
    void SetAsFloatValue(double value) override;
    bool GetAsBoolean() const override;
    void SetAsBooleanValue(bool value) override;
    TDateTime GetAsDateTime() const override;
    void SetAsDateTimeValue(TDateTime value) override;
    Variant GetAsVariant() const override;
    void SetVarValue(const Variant& value) override;
    void GetText(std::string& text, bool display_text) const override;
    std::int32_t DefaultDisplayWidth() const override { return Size(); }
};

}  // namespace db
