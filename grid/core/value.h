#pragma once

// A cell value as the grid sees it: null, boolean, integer, floating point or text, with
// one total order so that sorting never depends on which value happens to come first.

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace grid {

class Value {
  public:
    Value() = default;
    Value(bool v) : v_(v) {}
    Value(int v) : v_(static_cast<std::int64_t>(v)) {}
    Value(std::int64_t v) : v_(v) {}
    Value(double v) : v_(v) {}
    Value(std::string v) : v_(std::move(v)) {}
    Value(const char* v) : v_(std::string(v)) {}
    Value(std::string_view v) : v_(std::string(v)) {}

    bool IsNull() const { return std::holds_alternative<std::monostate>(v_); }
    bool IsString() const { return std::holds_alternative<std::string>(v_); }
    bool IsNumber() const {
        return std::holds_alternative<std::int64_t>(v_) || std::holds_alternative<double>(v_);
    }
    bool IsBool() const { return std::holds_alternative<bool>(v_); }
    // The display text: empty for null, "True"/"False", numbers in C notation.
    std::string AsString() const;
    double AsDouble() const;

    bool operator==(const Value& other) const;

    // Total order: null first, then booleans, then numbers (compared by value across
    // integer and float), then texts in the user's order (CompareText).
    static int Compare(const Value& a, const Value& b, bool case_insensitive);

  private:
    int Rank() const;
    std::variant<std::monostate, bool, std::int64_t, double, std::string> v_;
};

// UTF-8 texts in the order of the user's language: by the collation of the user's locale,
// where letters weigh before accents and accents before case, so "altcat" comes before
// "Default" and "Émile" beside "Emil"; the C locale counts as English, as it does for the
// program's language. Without case_insensitive, texts the collation holds equal are told
// apart by their bytes, so that only equal texts compare equal. Answers -1, 0 or 1.
int CompareText(std::string_view a, std::string_view b, bool case_insensitive = false);

// Whether a UTF-8 text begins with the prefix, whole characters compared without regard to
// case, accented letters included ("Émile" begins with "ém", also where the text keeps its
// accent as a separate mark).
bool StartsWithText(std::string_view text, std::string_view prefix);

// The leading part of the text that StartsWithText matched with the prefix, as the text
// spells it; empty when the text does not begin with the prefix.
std::string MatchedTextPrefix(std::string_view text, std::string_view prefix);

}  // namespace grid
