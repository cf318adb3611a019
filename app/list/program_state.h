#pragma once

// What the program loads when its window is shown and saves when it closes:
// the settings, the errors list ("errors.txt") and the recent databases, and
// the flush of the tables. Each step runs on its own, so one failure (or no
// database open) never skips the others.

#include <string>

namespace app {

class ErrorsList;
class ListDatabase;
struct Settings;

// Loads the settings and, when "errors.txt" exists, the errors list.
void LoadProgramState(Settings& settings, ErrorsList& errors, const std::string& program_dir);

// The box that says the program folder cannot be written to, naming it and why; empty
// when it can. A file is made there and removed, since root passes every permission test.
std::string ProgramFolderProblem(const std::string& program_dir);

// Saves the errors list, the settings (flushing the tables first when a
// database is open) and the recent databases, each file on its own. Answers the
// text of the one box that names every failure with its reason (a failure's own
// text when there is one), empty when every step succeeded.
std::string SaveProgramState(const Settings& settings, const ErrorsList& errors,
                             ListDatabase& database, const std::string& program_dir);

}  // namespace app
