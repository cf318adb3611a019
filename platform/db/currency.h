#pragma once

#include <cmath>
#include <compare>
#include <cstdint>
#include <limits>
#include <optional>

namespace db {

// A fixed-point amount in ten-thousandths, held in 64 bits: 1.5 is stored as 15000.
// A distinct type, so an amount is never mistaken for a plain integer or a float.
class Currency {
  public:
    static constexpr std::int64_t Scale = 10000;

    constexpr Currency() = default;

    static constexpr Currency FromRaw(std::int64_t raw) {
        Currency c;
        c.raw_ = raw;
        return c;
    }

    // Whole units; nullopt when units * 10000 does not fit.
    static constexpr std::optional<Currency> FromUnits(std::int64_t units) {
        std::int64_t raw = 0;
        if (__builtin_mul_overflow(units, Scale, &raw)) {
            return std::nullopt;
        }
        return FromRaw(raw);
    }

    // Rounded half away from zero to the nearest ten-thousandth; nullopt for NaN, infinities
    // and values outside the range.
    static std::optional<Currency> FromDouble(double value) {
        if (!std::isfinite(value)) {
            return std::nullopt;
        }
        const double scaled = std::round(value * static_cast<double>(Scale));
        // 2^63 is exactly representable; anything at or above it does not fit.
        constexpr double limit = 9223372036854775808.0;
        if (scaled >= limit || scaled < -limit) {
            return std::nullopt;
        }
        return FromRaw(static_cast<std::int64_t>(scaled));
    }

    constexpr std::int64_t Raw() const { return raw_; }
    constexpr double ToDouble() const {
        return static_cast<double>(raw_) / static_cast<double>(Scale);
    }

    friend constexpr bool operator==(Currency, Currency) = default;
    friend constexpr std::strong_ordering operator<=>(Currency a, Currency b) {
        return a.raw_ <=> b.raw_;
    }

  private:
    std::int64_t raw_ = 0;
};

}  // namespace db
