#include "app/list/program_state.h"

#include <exception>
#include <vector>

#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "platform/os/file_system.h"

namespace app {

void LoadProgramState(Settings& settings, ErrorsList& errors, const std::string& program_dir) {
    Loadentries(settings, program_dir);
    errors.LoadFromFile(program_dir + std::string(kErrorsFile));
}

std::string ProgramFolderProblem(const std::string& program_dir) {
    const auto probe = platform::os::CreateUniqueFile(program_dir, ".corvane-write-check", "");
    if (probe) {
        (void)platform::os::DeleteFile(*probe);
        return {};
    }
    return "Corvane cannot write to its program folder, " + program_dir + ": " +
           platform::os::FailureReason(probe.status()) +
           ".  Nothing kept there can be saved until it can be written to.";
}

std::string SaveProgramState(const Settings& settings, const ErrorsList& errors,
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
    step([&] { SaveEntries(settings, program_dir, &failures); });
    step([&] { database.SaveRecentList(); });
    // A full or read-only disk fails every save in turn: the user hears of them together.
    if (failures.size() <= 1)
        return failures.empty() ? std::string() : failures.front();
    std::string text = "These could not be saved while closing:";
    for (const std::string& failure : failures)
        text += "\r\n" + failure;
    return text;
}

}  // namespace app
