#pragma once

// The table definitions that CREATE TABLE and ALTER TABLE hand to the engine core, built from a
// parsed statement. ALTER TABLE works on the table's current definition: every kept column keeps
// the field number it has in the table, so that restructuring carries its data over, and a new
// column gets a number no existing column has.

#include <cstdint>
#include <span>
#include <string_view>

#include "engine/core/data_table.h"
#include "engine/core/table_descriptors.h"
#include "engine/sql/data_query.h"

namespace strata {

// Longest column or index name and longest column description, default, minimum or maximum.
inline constexpr std::size_t kMaxSqlNameLength = fd::kNameLength;
inline constexpr std::size_t kMaxSqlOptionTextLength = fd::kTextLength;

// The descriptor of a column definition under `number`.
FieldDescriptor MakeColumnDescriptor(const TCreateField& field, std::uint16_t number);

// An index descriptor from a key clause or CREATE INDEX, its columns found by name (without
// regard to case) among `fields`; the field numbers are the descriptors' own. A column that
// matches nothing raises 9985 naming `table`.
IndexDescriptor MakeIndexDescriptor(const TCreateIndex& index,
                                    std::span<const FieldDescriptor> fields,
                                    std::string_view table);

// CREATE TABLE: the columns numbered 1, 2, ... in order, the primary index from the key clause
// (an empty descriptor without one) and the statement's table options.
TableDefinition MakeCreateTableDefinition(const TDataQuery& query);

// ALTER TABLE. `current` is the table as it stands: its fields with their numbers, its indexes
// (the primary first, empty when there is none) and its table options; `has_primary` whether a
// primary index is defined.
TableDefinition MakeAlterTableDefinition(const TDataQuery& query, const TableDefinition& current,
                                         bool has_primary);

}  // namespace strata

namespace strata {

// Runs a parsed CREATE TABLE, ALTER TABLE, CREATE INDEX, DROP TABLE or DROP INDEX on its table.
// Requires: query.Kind is one of those and the statement has a database.
void ExecuteDefinition(TDataQuery& query);

}  // namespace strata
