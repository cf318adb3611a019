#pragma once

// Where a SELECT's result table goes, and the rule that it never replaces a table the statement
// reads: SELECT ... INTO recreates its target at planning, which would destroy a source that is
// open at that moment.

#include <string>

namespace strata {

class TDataQuery;

// A table's place: its directory ("" for the in-memory directory) and its file name.
struct TableLocation {
    std::string directory;
    std::string file;
    bool in_memory = false;
};

// Whether two locations name one table: the same directory (compared as canonical paths) and the
// same file name without regard to case, ".DAT" forced.
bool SameTable(const TableLocation& a, const TableLocation& b);

// The result table of a SELECT with INTO: in the in-memory directory, in the directory its name
// carries, else in the session's private directory.
// Requires: the query has an INTO name and its statement a database.
TableLocation IntoLocation(const TDataQuery& query);

// Raises when the INTO table of `query` is a source table of any query of its statement.
void CheckIntoNotSource(const TDataQuery& query);

}  // namespace strata
