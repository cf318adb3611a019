#pragma once

// The main window's commands on the list table, apart from the window: the batch commands
// on chosen rows, the commands on the whole table and the category check. The rows of a
// batch are a snapshot of their `Index` keys, taken before anything changes, so a row that
// moves or goes while the batch runs never lets another row take its turn.

#include <cstdint>
#include <string_view>
#include <vector>

#include "app/list/export_list.h"

namespace strata {
class TStrataTable;
}

namespace app {

class ListDatabase;
struct Settings;

using EntryKeys = std::vector<std::int32_t>;

// Makes the row with this `Index` current; raises when there is none.
void PositionDBAtIndex(strata::TStrataTable& table, std::int32_t key);

// Kind 1 resets the bounce count, 2 gives and 3 takes the sending right. A row that
// fails is reported and the batch goes on.
void BatchProcess(strata::TStrataTable& table, const EntryKeys& keys, int kind,
                  const ProgressReport& progress);

// Adds each row's address (lower case) to the blocked addresses and deletes the row.
void MoveToBlocked(strata::TStrataTable& table, const EntryKeys& keys, Settings& settings,
                   const ProgressReport& progress);

// Sets each row's category; a row whose address already stands in that category is
// deleted instead, so no duplicate is made.
void ChangeCategory(strata::TStrataTable& table, const EntryKeys& keys, std::string_view category,
                    const ProgressReport& progress);

// Deletes each row.
void DeleteEntries(strata::TStrataTable& table, const EntryKeys& keys);

// Every row gets a bounce count of 0; false (after its box) when a row failed.
bool ResetAllBounces(strata::TStrataTable& table);

// Empties the list table (opened exclusively for it) and reopens it in the configured
// sharing mode, whatever happened; false (after its box) on failure.
bool DeleteAllEntries(ListDatabase& database, bool exclusive);

// Puts every address once into the category "Default": the first of its rows in primary
// order is kept, unless a later row of it is already in "Default". Rows that fail keep
// their category. Returns false when the user stopped it.
bool MergeAllCategories(strata::TStrataTable& table, const ProgressReport& progress);

// Optimizes both tables and always reopens them; false (after its box) on failure.
bool OptimiseDatabase(ListDatabase& database, bool exclusive);

// Whether a typed category may be used: a comma anywhere is refused, a blank needs the
// user's consent.
bool CheckCategory(std::string_view category);

}  // namespace app
