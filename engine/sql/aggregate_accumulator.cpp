#include "engine/sql/aggregate_accumulator.h"

#include <cmath>
#include <limits>

#include "engine/sql/sql_clauses.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/decimal.h"
#include "engine/storage/engine_error_codes.h"

namespace strata {

namespace {

std::string_view AggregateName(std::uint8_t kind) {
    switch (kind) {
        case kAggregateSum:
            return "SUM";
        case kAggregateMin:
            return "MIN";
        case kAggregateMax:
            return "MAX";
        case kAggregateAvg:
            return "AVG";
        default:
            return "COUNT";
    }
}

std::int64_t LoadInteger(EngineDataType type, const std::byte* p) {
    switch (type) {
        case kTypeSmallInt:
            return LoadInt16(p);
        case kTypeWord:
            return LoadUInt16(p);
        default:
            return LoadInt32(p);
    }
}

}  // namespace

AggregateAccumulator::AggregateAccumulator(std::uint8_t kind, EngineDataType argument_type,
                                           bool count_star)
    : kind_(kind), type_(argument_type), count_star_(count_star) {
    switch (argument_type) {
        case kTypeFloat:
        case kTypeTimestamp:
            domain_ = Domain::Float;
            break;
        case kTypeBCD:
            domain_ = Domain::Currency;
            break;
        default:
            domain_ = Domain::Integer;
            break;
    }
}

void AggregateAccumulator::Clear() {
    count_ = 0;
    overflow_ = false;
    integer_ = 0;
    float_ = 0.0;
}

void AggregateAccumulator::Add(const TExpToken& value) {
    if (count_star_) {
        ++count_;
        return;
    }
    if (value.IsNull) {
        return;
    }
    const bool first = count_ == 0;
    ++count_;
    if (kind_ == kAggregateCount) {
        return;
    }
    std::int64_t integer = 0;
    double real = 0.0;
    switch (domain_) {
        case Domain::Integer:
            integer = LoadInteger(type_, value.Value());
            real = static_cast<double>(integer);
            break;
        case Domain::Float:
            real = LoadDouble(value.Value());
            break;
        case Domain::Currency: {
            const auto currency = TryDecodeScaledCurrency(LoadInt64(value.Value()));
            if (!currency) {
                overflow_ = true;
                return;
            }
            integer = currency->Raw();
            real = static_cast<double>(integer) / static_cast<double>(db::Currency::Scale);
            break;
        }
    }
    switch (kind_) {
        case kAggregateSum:
            if (domain_ == Domain::Float) {
                float_ += real;
            } else if (__builtin_add_overflow(integer_, integer, &integer_)) {
                overflow_ = true;
            }
            break;
        case kAggregateAvg:
            float_ += real;
            break;
        case kAggregateMin:
        case kAggregateMax: {
            const bool want_less = kind_ == kAggregateMin;
            if (domain_ == Domain::Float) {
                if (first || (want_less ? real < float_ : real > float_)) {
                    float_ = real;
                }
            } else if (first || (want_less ? integer < integer_ : integer > integer_)) {
                integer_ = integer;
            }
            break;
        }
        default:
            break;
    }
}

void AggregateAccumulator::RaiseOverflow(std::string_view column) const {
    RaiseEngineError(kErrSql, {}, {}, {},
                     "Result of " + std::string(AggregateName(kind_)) +
                         " aggregate function exceeds the range of column '" + std::string(column) +
                         "'");
}

bool AggregateAccumulator::StoreInteger(std::int64_t value, EngineDataType type, std::uint32_t size,
                                        std::uint8_t scale, std::span<std::byte> out,
                                        std::string_view column) const {
    auto in_range = [&](std::int64_t low, std::int64_t high) {
        if (value < low || value > high) {
            RaiseOverflow(column);
        }
    };
    switch (type) {
        case kTypeSmallInt:
            in_range(std::numeric_limits<std::int16_t>::min(),
                     std::numeric_limits<std::int16_t>::max());
            StoreInt16(out.data(), static_cast<std::int16_t>(value));
            return true;
        case kTypeWord:
            in_range(0, std::numeric_limits<std::uint16_t>::max());
            StoreUInt16(out.data(), static_cast<std::uint16_t>(value));
            return true;
        case kTypeInteger:
        case kTypeDate:
        case kTypeTime:
            in_range(std::numeric_limits<std::int32_t>::min(),
                     std::numeric_limits<std::int32_t>::max());
            StoreInt32(out.data(), static_cast<std::int32_t>(value));
            return true;
        case kTypeBCD: {
            std::int64_t raw = 0;
            if (__builtin_mul_overflow(value, db::Currency::Scale, &raw)) {
                RaiseOverflow(column);
            }
            const auto scaled = TryEncodeScaledCurrency(scale, db::Currency::FromRaw(raw));
            if (!scaled) {
                RaiseOverflow(column);
            }
            StoreInt64(out.data(), *scaled);
            return true;
        }
        default:
            return StoreFloat(static_cast<double>(value), type, size, scale, out, column);
    }
}

bool AggregateAccumulator::StoreFloat(double value, EngineDataType type, std::uint32_t size,
                                      std::uint8_t scale, std::span<std::byte> out,
                                      std::string_view column) const {
    if (!std::isfinite(value)) {
        RaiseOverflow(column);
    }
    switch (type) {
        case kTypeFloat:
        case kTypeTimestamp:
            StoreDouble(out.data(), value);
            return true;
        case kTypeBCD: {
            const auto scaled = TryEncodeScaledFloat(scale, value);
            if (!scaled) {
                RaiseOverflow(column);
            }
            StoreInt64(out.data(), *scaled);
            return true;
        }
        case kTypeSmallInt:
        case kTypeWord:
        case kTypeInteger:
        case kTypeDate:
        case kTypeTime: {
            const double rounded = std::round(value);
            // Beyond this every integer column is out of range anyway.
            if (std::fabs(rounded) > 9.0e15) {
                RaiseOverflow(column);
            }
            return StoreInteger(static_cast<std::int64_t>(rounded), type, size, scale, out, column);
        }
        default:
            RaiseOverflow(column);
    }
}

bool AggregateAccumulator::Finish(EngineDataType result_type, std::uint32_t result_size,
                                  std::uint8_t result_scale, std::span<std::byte> out,
                                  std::string_view column) const {
    if (kind_ == kAggregateCount) {
        return StoreInteger(count_, result_type, result_size, result_scale, out, column);
    }
    if (count_ == 0) {
        return false;
    }
    if (overflow_) {
        RaiseOverflow(column);
    }
    if (kind_ == kAggregateAvg) {
        return StoreFloat(float_ / static_cast<double>(count_), result_type, result_size,
                          result_scale, out, column);
    }
    switch (domain_) {
        case Domain::Float:
            return StoreFloat(float_, result_type, result_size, result_scale, out, column);
        case Domain::Currency: {
            if (result_type == kTypeBCD) {
                const auto scaled =
                    TryEncodeScaledCurrency(result_scale, db::Currency::FromRaw(integer_));
                if (!scaled) {
                    RaiseOverflow(column);
                }
                StoreInt64(out.data(), *scaled);
                return true;
            }
            return StoreFloat(
                static_cast<double>(integer_) / static_cast<double>(db::Currency::Scale),
                result_type, result_size, result_scale, out, column);
        }
        case Domain::Integer:
        default:
            return StoreInteger(integer_, result_type, result_size, result_scale, out, column);
    }
}

}  // namespace strata
