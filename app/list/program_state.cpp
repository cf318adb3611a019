#include "app/list/program_state.h"

#include <exception>

#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"

namespace app {

void LoadProgramState(Settings& settings, ErrorsList& errors, const std::string& program_dir) {
    Loadentries(settings, program_dir);
    errors.LoadFromFile(program_dir + std::string(kErrorsFile));
}

std::vector<std::string> SaveProgramState(const Settings& settings, const ErrorsList& errors,
                                          ListDatabase& database, const std::string& program_dir) {
    std::vector<std::string> failures;
    auto step = [&](auto&& action) {
        try {
            action();
        } catch (const std::exception& e) {
            failures.emplace_back(e.what());
        }
    };
    step([&] { errors.SaveToFile(program_dir + std::string(kErrorsFile)); });
    step([&] {
        if (database.DatabaseOpen())
            database.SaveDatabase();
    });
    step([&] { SaveEntries(settings, program_dir); });
    step([&] { database.SaveRecentList(); });
    return failures;
}

}  // namespace app
