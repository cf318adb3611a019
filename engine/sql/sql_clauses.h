#pragma once

// The clause objects a parsed SQL statement is made of: result columns, ORDER BY and GROUP BY
// items, the columns and values of INSERT and UPDATE, and the column and index definitions of
// CREATE and ALTER. Each belongs to one TDataQuery, which owns it.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/table_descriptors.h"
#include "engine/storage/exp_token.h"

namespace strata {

class TDataQuery;

// Aggregate kinds of a result column.
inline constexpr std::uint8_t kAggregateNone = 0;
inline constexpr std::uint8_t kAggregateSum = 1;
inline constexpr std::uint8_t kAggregateMin = 2;
inline constexpr std::uint8_t kAggregateMax = 3;
inline constexpr std::uint8_t kAggregateAvg = 4;
inline constexpr std::uint8_t kAggregateCount = 5;

// The aggregate kind of an expression operator code (kOpSum ...); kAggregateNone for others.
std::uint8_t AggregateKindOf(std::uint8_t op_code);

// Character case of a column definition.
inline constexpr std::uint8_t kCharCaseNoChange = 0;
inline constexpr std::uint8_t kCharCaseLower = 1;
inline constexpr std::uint8_t kCharCaseUpper = 2;

// Index compression.
inline constexpr std::uint8_t kCompressNone = 0;
inline constexpr std::uint8_t kCompressDupByte = 1;
inline constexpr std::uint8_t kCompressTrailByte = 2;
inline constexpr std::uint8_t kCompressFull = 3;

class TResultField {
  public:
    explicit TResultField(TDataQuery& owner) : owner_(&owner) {}

    TDataQuery& Owner() const { return *owner_; }

    const std::string& ColumnName() const { return column_name_; }
    // Also names the result column while it has no name, unless the column is "*".
    void SetColumnName(std::string_view name);

    // The table correlation name.
    std::string TableName;
    std::string ResultName;
    bool AliasNotGiven = true;
    bool IsExpression = false;
    std::uint8_t Aggregate = kAggregateNone;
    bool CountStar = false;
    std::string ExpressionText;
    ExpTokenPtr Expression;

  private:
    TDataQuery* owner_;
    std::string column_name_;
};

class TOrderByField {
  public:
    explicit TOrderByField(TDataQuery& owner) : owner_(&owner) {}
    TDataQuery& Owner() const { return *owner_; }

    std::string ColumnName;
    std::string TableName;
    // 1-based result column; 0 = by name.
    std::uint16_t ColumnNumber = 0;
    bool Descending = false;

  private:
    TDataQuery* owner_;
};

class TGroupByField {
  public:
    explicit TGroupByField(TDataQuery& owner) : owner_(&owner) {}
    TDataQuery& Owner() const { return *owner_; }

    std::string ColumnName;
    std::string TableName;
    std::uint16_t ColumnNumber = 0;

  private:
    TDataQuery* owner_;
};

class TUpdateField {
  public:
    explicit TUpdateField(TDataQuery& owner) : owner_(&owner) {}
    TDataQuery& Owner() const { return *owner_; }

    // "*" when an INSERT lists no columns.
    std::string ColumnName;
    std::string TableName;
    // Filled when the column is resolved against the target table.
    std::uint16_t FieldNumber = 0;
    FieldDescriptor Descriptor{};

  private:
    TDataQuery* owner_;
};

class TUpdateValue {
  public:
    explicit TUpdateValue(TDataQuery& owner) : owner_(&owner) {}
    TDataQuery& Owner() const { return *owner_; }

    ExpTokenPtr Value;
    // The value as written, for messages.
    std::string Text;

  private:
    TDataQuery* owner_;
};

class TCreateField {
  public:
    explicit TCreateField(TDataQuery& owner) : owner_(&owner) {}
    TDataQuery& Owner() const { return *owner_; }

    // Name (ColumnName), data type, subtype, size and scale; the type arguments hang below it.
    ExpTokenPtr Column;
    // Whether a data type was written (optional for REDEFINE and DROP).
    bool TypeGiven = false;
    // The column's name before a REDEFINE renames it; empty otherwise.
    std::string PreviousName;
    std::string Description;
    bool Required = false;
    std::uint8_t CharCase = kCharCaseNoChange;
    std::string Minimum;
    std::string Maximum;
    std::string Default;

    bool Add = false;
    bool Redefine = false;
    bool Drop = false;
    bool DescriptionGiven = false;
    bool RequiredGiven = false;
    bool CharCaseGiven = false;
    bool DefaultGiven = false;
    bool MinimumGiven = false;
    bool MaximumGiven = false;
    // The 1-based AT position as written; only meaningful with AtGiven.
    std::int64_t AtPosition = 0;
    bool AtGiven = false;

    const std::string& Name() const { return Column->ColumnName; }

  private:
    TDataQuery* owner_;
};

class TCreateIndex {
  public:
    explicit TCreateIndex(TDataQuery& owner) : owner_(&owner) {}
    TDataQuery& Owner() const { return *owner_; }

    std::string Name;
    bool Descending = false;
    bool Unique = false;
    bool NoCase = false;
    std::uint8_t Compression = kCompressNone;
    // Column names in key order.
    std::vector<std::string> Columns;
    bool Add = false;
    bool Redefine = false;
    bool Drop = false;

  private:
    TDataQuery* owner_;
};

}  // namespace strata
