#pragma once

// How an edited option list is cleaned before it is kept: sorted, free of repeated
// entries (letter case ignored), converted to the list's letter case, and without commas
// or blanks where the list does not allow them.

#include <string>
#include <vector>

namespace app {

struct OptionListRules {
    bool lower_case = false;
    bool no_commas = false;
    bool no_blanks = false;
    bool upper_case = false;
};

// The cleaned list. A line with a forbidden comma or blank asks (OK/Cancel) whether to
// put "_" in its place; Cancel drops the line. Empty lines are dropped.
std::vector<std::string> CleanOptionList(const std::vector<std::string>& lines,
                                         const OptionListRules& rules);

}  // namespace app
