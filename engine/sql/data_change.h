#pragma once

// Execution of INSERT ... VALUES, UPDATE and DELETE on their target table. Values are checked
// against the target's columns, rows are changed through the engine cursor inside an update
// batch with the statement's commit interval, and a failing row stops the statement with every
// row changed before it kept and flushed.

#include "engine/sql/data_query.h"

namespace strata {

// Runs `query` (an INSERT with VALUES, an UPDATE or a DELETE) and sets its result count to the
// rows changed. Requires: the statement has a database and its parameter values are set.
void ExecuteDataChange(TDataQuery& query);

// For an INSERT ... SELECT, checks the target's columns against the sub-select's result columns
// (which must be planned), so that a wrong column list fails before the sub-select runs.
void CheckInsertSelect(TDataQuery& query);

}  // namespace strata
