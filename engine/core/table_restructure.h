#pragma once

// Restructure: changes an existing table to a new definition by the
// cheapest of three ways: rewriting header information only, rebuilding the
// changed indexes, or building a new table and copying every record into it
// with value conversion.

#include <cstdint>

#include "engine/core/cursor_handlers.h"

namespace strata {

struct TableDefinition;

// Causes passed to the data-lost callback.
enum class DataLostCause : int {
    InsertFailed = 0,
    KeyViolation = 1,
    ValidityViolation = 2,
    FieldDropped = 3,
    ConversionFailed = 4,
};

struct RestructureOptions {
    // Old files are deleted instead of kept as ".DBK", ".IBK" and ".BBK".
    bool no_backup = false;
    // Handed on to the validation with the definition.
    std::uint32_t max_secondary_indexes = 30;
    std::uint32_t max_fields = 1023;
};

// Which way a restructure took.
enum class RestructureWay { HeaderUpdate, IndexRebuild, FullRebuild };

// Requires: the cursor is closed, exclusive and writable, with its table
// name set. Each field descriptor carries in its number the number of the
// existing field it continues, or a number no existing field has for a new
// field; index descriptors name fields by those numbers. The definition's
// first index is the primary one (without fields: none); last_auto_inc -1
// keeps the table's value. An abort through `data_lost` (proceed set to
// false) leaves the table as it was.
RestructureWay RestructureTable(TDataCursor& cursor, TableDefinition definition,
                                const RestructureOptions& options, ProgressHandler progress = {},
                                DataLostHandler data_lost = {});

}  // namespace strata
