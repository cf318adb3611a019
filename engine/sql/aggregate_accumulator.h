#pragma once

// The running value of one aggregate result column within a group: SUM, MIN, MAX, AVG or COUNT
// over the non-null values of its argument (COUNT(*) over rows).
//
// Sums never wrap: integer-like values (smallint, integer, word, date, time) add in 64 bits,
// floats and timestamps as doubles, BCD values in the engine's currency units with overflow
// checks; a total that does not fit the result column raises an engine error. AVG over no values,
// like every aggregate over no values but COUNT, is NULL.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "engine/storage/data_types.h"
#include "engine/storage/exp_token.h"

namespace strata {

class AggregateAccumulator {
  public:
    // `kind` is an aggregate kind (kAggregateSum ...); `argument_type` the type of the values
    // that Add receives.
    AggregateAccumulator(std::uint8_t kind, EngineDataType argument_type, bool count_star);

    // Adds one value; a NULL value is skipped (COUNT(*) counts it).
    void Add(const TExpToken& value);
    // COUNT(*): one more row.
    void AddRow() { ++count_; }
    void Clear();

    // Values (or rows) met so far.
    std::int64_t Count() const { return count_; }

    // Writes the result into `out` in the result column's type, size and scale; false for NULL.
    // A result that does not fit the column raises an engine error naming `column`.
    // Requires: out holds at least result_size bytes (a value buffer, 251 bytes).
    bool Finish(EngineDataType result_type, std::uint32_t result_size, std::uint8_t result_scale,
                std::span<std::byte> out, std::string_view column) const;

  private:
    enum class Domain { Integer, Float, Currency };

    [[noreturn]] void RaiseOverflow(std::string_view column) const;
    bool StoreInteger(std::int64_t value, EngineDataType type, std::uint32_t size,
                      std::uint8_t scale, std::span<std::byte> out, std::string_view column) const;
    bool StoreFloat(double value, EngineDataType type, std::uint32_t size, std::uint8_t scale,
                    std::span<std::byte> out, std::string_view column) const;

    std::uint8_t kind_;
    EngineDataType type_;
    Domain domain_;
    bool count_star_;
    std::int64_t count_ = 0;
    bool overflow_ = false;
    std::int64_t integer_ = 0;
    double float_ = 0.0;
};

}  // namespace strata
