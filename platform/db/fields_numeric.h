#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/db/field.h"

namespace db {

// Numbers show right-aligned and may carry display and edit masks (FormatFloat masks).
class TNumericField : public TField {
  public:
    explicit TNumericField(TComponent* owner);

    const std::string& DisplayFormat() const { return display_format_; }
    void SetDisplayFormat(std::string_view format);
    const std::string& EditFormat() const { return edit_format_; }
    void SetEditFormat(std::string_view format);
    bool IsValidChar(char32_t ch) const override;

  protected:
    // The format a text is made with: the display format, or when editing the edit format
    // if one is set; empty for none.
    const std::string& TextFormat(bool display_text) const;
    // A whole number's text, in the text format when there is one.
    std::string WholeNumberText(std::int64_t value, bool display_text) const;

  private:
    std::string display_format_;
    std::string edit_format_;
};

// Whole numbers stored in 16 bits (Smallint, Word) or 32 bits (Integer, AutoInc). A value
// outside the type's range, or outside MinValue..MaxValue when either is set, is refused.
class TIntegerField : public TNumericField {
  public:
    explicit TIntegerField(TComponent* owner);

    std::int32_t DataSize() const override;
    std::int64_t MinValue() const { return min_value_; }
    void SetMinValue(std::int64_t value) { min_value_ = value; }
    std::int64_t MaxValue() const { return max_value_; }
    void SetMaxValue(std::int64_t value) { max_value_ = value; }
    // False when null.
    bool GetValue(std::int64_t& value) const;

  protected:
    TIntegerField(TComponent* owner, TFieldType type, std::int64_t low, std::int64_t high);
    std::string GetAsString() const override;
    void SetAsStringValue(std::string_view value) override;
    std::int32_t GetAsInteger() const override;
    void SetAsIntegerValue(std::int32_t value) override;
    std::int64_t GetAsLargeInt() const override;
    void SetAsLargeIntValue(std::int64_t value) override;
    double GetAsFloat() const override;
    void SetAsFloatValue(double value) override;
    Variant GetAsVariant() const override;
    void SetVarValue(const Variant& value) override;
    void GetText(std::string& text, bool display_text) const override;

  private:
    std::int64_t type_low_;
    std::int64_t type_high_;
    std::int64_t min_value_ = 0;
    std::int64_t max_value_ = 0;
};

class TSmallintField : public TIntegerField {
  public:
    explicit TSmallintField(TComponent* owner);
};

class TWordField : public TIntegerField {
  public:
    explicit TWordField(TComponent* owner);
};

class TAutoIncField : public TIntegerField {
  public:
    explicit TAutoIncField(TComponent* owner);
};

class TLargeintField : public TNumericField {
  public:
    explicit TLargeintField(TComponent* owner);

    std::int32_t DataSize() const override { return 8; }
    std::int64_t MinValue() const { return min_value_; }
    void SetMinValue(std::int64_t value) { min_value_ = value; }
    std::int64_t MaxValue() const { return max_value_; }
    void SetMaxValue(std::int64_t value) { max_value_ = value; }

  protected:
    std::string GetAsString() const override;
    void SetAsStringValue(std::string_view value) override;
    std::int32_t GetAsInteger() const override;
    void SetAsIntegerValue(std::int32_t value) override { SetAsLargeIntValue(value); }
    std::int64_t GetAsLargeInt() const override;
    void SetAsLargeIntValue(std::int64_t value) override;
    double GetAsFloat() const override { return static_cast<double>(GetAsLargeInt()); }
    void SetAsFloatValue(double value) override;
    Variant GetAsVariant() const override;
    void SetVarValue(const Variant& value) override;
    void GetText(std::string& text, bool display_text) const override;
    std::int32_t DefaultDisplayWidth() const override { return 15; }

  private:
    std::int64_t min_value_ = 0;
    std::int64_t max_value_ = 0;
};

// A double. `Currency` shows it as money; `Precision` is the significant digits of the
// general format (15 by default).
class TFloatField : public TNumericField {
  public:
    explicit TFloatField(TComponent* owner);

    std::int32_t DataSize() const override { return 8; }
    bool Currency() const { return currency_; }
    void SetCurrency(bool value);
    std::int32_t Precision() const { return precision_; }
    void SetPrecision(std::int32_t value);
    double MinValue() const { return min_value_; }
    void SetMinValue(double value) { min_value_ = value; }
    double MaxValue() const { return max_value_; }
    void SetMaxValue(double value) { max_value_ = value; }
    bool IsValidChar(char32_t ch) const override;

  protected:
    std::string GetAsString() const override;
    void SetAsStringValue(std::string_view value) override;
    std::int32_t GetAsInteger() const override;
    void SetAsIntegerValue(std::int32_t value) override { SetAsFloatValue(value); }
    std::int64_t GetAsLargeInt() const override;
    void SetAsLargeIntValue(std::int64_t value) override;
    double GetAsFloat() const override;
    void SetAsFloatValue(double value) override;
    Variant GetAsVariant() const override;
    void SetVarValue(const Variant& value) override;
    void GetText(std::string& text, bool display_text) const override;

  private:
    bool currency_ = false;
    std::int32_t precision_ = 15;
    double min_value_ = 0;
    double max_value_ = 0;
};

class TCurrencyField : public TFloatField {
  public:
    explicit TCurrencyField(TComponent* owner);
};

// A decimal held as Currency (ten-thousandths in 64 bits). `Size` holds the decimals (0 to
// 4) and `Precision` the total digits; values are rounded half away from zero to Size
// decimals when set.
class TBCDField : public TNumericField {
  public:
    explicit TBCDField(TComponent* owner);

    std::int32_t DataSize() const override { return 8; }
    bool Currency() const { return currency_; }
    void SetCurrency(bool value);
    std::int32_t Precision() const { return precision_; }
    void SetPrecision(std::int32_t value);
    db::Currency MinValue() const { return min_value_; }
    void SetMinValue(db::Currency value) { min_value_ = value; }
    db::Currency MaxValue() const { return max_value_; }
    void SetMaxValue(db::Currency value) { max_value_ = value; }
    bool IsValidChar(char32_t ch) const override;
    bool GetValue(db::Currency& value) const;

  protected:
    std::string GetAsString() const override;
    void SetAsStringValue(std::string_view value) override;
    std::int32_t GetAsInteger() const override;
    void SetAsIntegerValue(std::int32_t value) override;
    std::int64_t GetAsLargeInt() const override;
    void SetAsLargeIntValue(std::int64_t value) override;
    double GetAsFloat() const override;
    void SetAsFloatValue(double value) override;
    db::Currency GetAsCurrency() const override;
    void SetAsCurrencyValue(db::Currency value) override;
    Variant GetAsVariant() const override;
    void SetVarValue(const Variant& value) override;
    void GetText(std::string& text, bool display_text) const override;

  private:
    bool currency_ = false;
    std::int32_t precision_ = 0;
    db::Currency min_value_;
    db::Currency max_value_;
};

// Stored as 16 bits, 0 or 1. `DisplayValues` is "true text;false text".
class TBooleanField : public TField {
  public:
    explicit TBooleanField(TComponent* owner);

    std::int32_t DataSize() const override { return 2; }
    const std::string& DisplayValues() const { return display_values_; }
    // Refused with "Invalid format" when a text is empty and no ';' separates the two.
    void SetDisplayValues(std::string_view values);

  protected:
    std::string GetAsString() const override;
    void SetAsStringValue(std::string_view value) override;
    bool GetAsBoolean() const override;
    void SetAsBooleanValue(bool value) override;
    Variant GetAsVariant() const override;
    void SetVarValue(const Variant& value) override;
    void GetText(std::string& text, bool display_text) const override;
    std::int32_t DefaultDisplayWidth() const override;

  private:
    std::string display_values_ = "True;False";
    std::string true_text_ = "True";
    std::string false_text_ = "False";
};

}  // namespace db
