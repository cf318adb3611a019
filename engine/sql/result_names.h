#pragma once

// Names of result columns: an alias as given (its last 30 characters), else the column name or
// a name from the aggregate kind ("Sum Of a", "Count Of Expr"), made unique without regard to
// case by "_1", "_2", ... suffixes that never push a name past the 30 characters a field name
// holds.

#include <string>
#include <vector>

#include "engine/sql/sql_clauses.h"

namespace strata {

inline constexpr std::size_t kResultNameLength = 30;

// The name a result column takes before duplicates are resolved.
std::string DefaultResultName(const TResultField& field);

// Appends "_<n>" (the smallest n that makes it unique) to every name equal to an earlier one,
// dropping characters from the front of the name when name and suffix exceed 30 characters.
void MakeResultNamesUnique(std::vector<std::string>& names);

}  // namespace strata
