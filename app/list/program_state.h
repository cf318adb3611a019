#pragma once

// What the program loads when its window is shown and saves when it closes:
// the settings, the errors list ("errors.txt") and the recent databases, and
// the flush of the tables. Each step runs on its own, so one failure (or no
// database open) never skips the others.

#include <string>
#include <vector>

namespace app {

class ErrorsList;
class ListDatabase;
struct Settings;

// Loads the settings and, when "errors.txt" exists, the errors list.
void LoadProgramState(Settings& settings, ErrorsList& errors, const std::string& program_dir);

// Saves the errors list, the settings (flushing the tables first when a
// database is open) and the recent databases. Answers the failures' texts,
// empty when every step succeeded.
std::vector<std::string> SaveProgramState(const Settings& settings, const ErrorsList& errors,
                                          ListDatabase& database, const std::string& program_dir);

}  // namespace app
