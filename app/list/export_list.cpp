#include "app/list/export_list.h"

#include <filesystem>
#include <fstream>

#include "app/list/cancel_flag.h"
#include "app/routines/file_routines.h"
#include "engine/dataset/strata_table.h"
#include "platform/config/atomic_file.h"
#include "platform/db/field.h"
#include "platform/ui/cursor.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

constexpr std::int64_t kFlushEvery = 20;
constexpr const char* kFieldNames[kExportFieldCount] = {"Item",       "Category", "Name",
                                                        "Salutation", "Comments", "Bounces"};

ExportValues RowValues(const strata::TStrataTable& table) {
    ExportValues values;
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = table.FieldByName(kFieldNames[i])->AsString();
    return values;
}

// Undoes what the export did to the table and the window, on every way out.
class ExportScope {
  public:
    ExportScope(strata::TStrataTable& table, const ProgressReport& progress)
        : table_(table), progress_(progress) {
        table_.LockTable();
        table_.DisableControls();
    }
    ~ExportScope() {
        try {
            table_.UnlockTable();
        } catch (const std::exception&) {
            // The table may have been closed under us; the export's result stands.
        }
        table_.EnableControls();
        if (progress_)
            progress_(0, "", 0);
    }
    ExportScope(const ExportScope&) = delete;
    ExportScope& operator=(const ExportScope&) = delete;

  private:
    strata::TStrataTable& table_;
    const ProgressReport& progress_;
};

}  // namespace

bool exportlist(strata::TStrataTable& table, const ExportRequest& request,
                const ProgressReport& progress, std::vector<std::string>* print_lines) {
    const std::string separator = request.separator.empty() ? "," : request.separator;
    const bool to_file = !request.file_name.empty();
    const std::string action = to_file ? "saving" : "printing";
    if (print_lines != nullptr)
        print_lines->clear();

    // An export writes its file as it goes; a back-up is built whole and then put in
    // place of the old one.
    std::ofstream out;
    std::string backup;
    if (to_file && !request.for_backup) {
        out.open(request.file_name, std::ios::binary | std::ios::trunc);
        if (!out) {
            ui::ShowMessage("Unable to write to the file, " + request.file_name);
            return false;
        }
    }

    bool result = true;
    {
        ExportScope scope(table, progress);
        ui::THourglass hourglass;
        const std::int64_t total = table.RecordCount();
        const char* caption = request.for_backup ? "Backing Up Entries" : "Exporting Entries";
        table.First();
        for (std::int64_t row = 1; !table.Eof(); ++row) {
            if (progress)
                progress(row, caption, total);
            if (Cancelled())
                return false;
            try {
                // Paper is read, never imported: a printed value keeps its own quotes.
                std::string line = ExportLine(RowValues(table), request.chosen, separator, to_file);
                if (!to_file) {
                    if (print_lines != nullptr)
                        print_lines->push_back(std::move(line));
                } else if (request.for_backup) {
                    backup += line;
                    backup += "\r\n";
                } else {
                    out << line << "\r\n";
                    if (row % kFlushEvery == 0)
                        out.flush();
                    if (!out)
                        throw std::runtime_error("write failed");
                }
            } catch (const std::exception&) {
                if (ui::MessageDlg("An error was encountered with line " + std::to_string(row) +
                                       ".  Do you want to continue?",
                                   ui::mtWarning, ui::mbYesNo) != ui::mrYes)
                    return false;
                // A file that refuses writes will refuse the rest as well.
                if (to_file && !request.for_backup && !out)
                    return false;
            }
            table.Next();
        }
    }

    try {
        if (request.for_backup && to_file) {
            platform::config::WriteFileAtomically(request.file_name, backup);
        } else if (to_file) {
            out.close();
            if (!out)
                throw std::runtime_error("close failed");
        }
    } catch (const std::exception&) {
        ui::MessageDlg("An error was encountered " + action + " the file, " + request.file_name +
                           ", check you have sufficient disk space and try again.",
                       ui::mtWarning, {ui::mbOK});
        result = false;
    }
    return result;
}

std::string BackUpFileName(std::string_view configured, std::string_view program_dir,
                           bool new_file_name) {
    std::string file;
    if (!configured.empty()) {
        std::filesystem::path folder = std::filesystem::path(configured).parent_path();
        if (folder.empty() || DirectoryExistsQuiet(folder.string()))
            file = configured;
    }
    if (file.empty())
        file = AppendPathDelimiter(program_dir) + "backup.csv";
    if (new_file_name)
        file = MakeUniqueFileName(file, "_");
    return file;
}

}  // namespace app
