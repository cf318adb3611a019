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

    bool operator==(const Value& other) const { return Compare(*this, other, false) == 0; }

    // Total order: null first, then booleans, then numbers (compared by value across
    // integer and float), then texts; case_insensitive folds ASCII case for texts.
    static int Compare(const Value& a, const Value& b, bool case_insensitive);

  private:
    int Rank() const;
    std::variant<std::monostate, bool, std::int64_t, double, std::string> v_;
};

}  // namespace grid
