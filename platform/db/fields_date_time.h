#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/db/field.h"

namespace db {

// A date and time. The native value is the engine's: a timestamp double of milliseconds
// since 0001-01-01 (date fields: a 32-bit day number, 0001-01-01 = 1; time fields: 32-bit
// milliseconds since midnight); the dataset converts to TDateTime (`DataConvert`).
class TDateTimeField : public TField {
  public:
    explicit TDateTimeField(TComponent* owner);

    std::int32_t DataSize() const override { return DataType() == ftDateTime ? 8 : 4; }
    // A FormatDateTime mask; empty shows the short date, long time or both.
    const std::string& DisplayFormat() const { return display_format_; }
    void SetDisplayFormat(std::string_view format);
    // False when null.
    bool GetValue(TDateTime& value) const;

  protected:
    TDateTimeField(TComponent* owner, TFieldType type);
    std::string GetAsString() const override;
    void SetAsStringValue(std::string_view value) override;
    double GetAsFloat() const override;
    void SetAsFloatValue(double value) override;
    TDateTime GetAsDateTime() const override;
    void SetAsDateTimeValue(TDateTime value) override;
    Variant GetAsVariant() const override;
    void SetVarValue(const Variant& value) override;
    void GetText(std::string& text, bool display_text) const override;
    std::int32_t DefaultDisplayWidth() const override { return 18; }

  private:
    std::string display_format_;
};

class TDateField : public TDateTimeField {
  public:
    explicit TDateField(TComponent* owner);
};

class TTimeField : public TDateTimeField {
  public:
    explicit TTimeField(TComponent* owner);
};

}  // namespace db
