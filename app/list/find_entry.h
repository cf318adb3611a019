#pragma once

// Finding an entry of the list by up to three field conditions.

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "platform/db/dataset.h"

namespace app {

// One row of the find dialog: whether it counts, the field as the user picks it
// ("E-mail", "Category", "Name", "Salutation", "Comments") and the value.
struct FindCondition {
    bool checked = false;
    std::string field;
    std::string value;
};

enum class FindOutcome { kNothingToFind, kFound, kNotFound };

// The list table's field for a field as the user picks it ("E-mail" is "Item").
std::string FindFieldName(std::string_view shown);

// How the search is made: the table's own Locate unless a view of the table (the grid)
// moves it there itself.
using LocateEntry = std::function<bool(std::string_view fields, const db::Variant& values,
                                       db::TLocateOptions options)>;

// Locates the first entry that meets every checked condition with a value; the table
// then stands on it. Partial matching compares the start of each field only. Failures of
// the search propagate.
FindOutcome FindEntry(db::TDataSet& table, const std::array<FindCondition, 3>& conditions,
                      bool case_insensitive, bool partial, const LocateEntry& locate = {});

}  // namespace app
