#include "app/list/export_list.h"

#include <filesystem>

#include "app/list/cancel_flag.h"
#include "app/routines/file_routines.h"
#include "engine/dataset/strata_table.h"
#include "platform/db/field.h"
#include "platform/os/whole_file.h"
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

// Asks whether to go on after line `row` failed, naming why.
bool ContinueAfter(std::int64_t row, std::string_view reason) {
    return ui::MessageDlg("An error was encountered with line " + std::to_string(row) + ": " +
                              std::string(reason) + ".  Do you want to continue?",
                          ui::mtWarning, ui::mbYesNo) == ui::mrYes;
}

// Writes the lines gathered so far. A write the disk refuses is asked about: going on
// writes the same lines again, once the user has made room; stopping abandons the file.
bool WritePending(platform::os::FileReplacement& out, std::string& pending, std::int64_t row) {
    for (;;) {
        const std::error_code error = out.Write(pending);
        if (!error) {
            pending.clear();
            return true;
        }
        if (!ContinueAfter(row, error.message()))
            return false;
    }
}

}  // namespace

bool exportlist(strata::TStrataTable& table, const ExportRequest& request,
                const ProgressReport& progress, std::vector<std::string>* print_lines) {
    const std::string separator = request.separator.empty() ? "," : request.separator;
    const bool to_file = !request.file_name.empty();
    if (print_lines != nullptr)
        print_lines->clear();

    // The file is built beside its target and put in its place only whole: an earlier file
    // of that name stays as it was through a failure, a cancel or a kill.
    platform::os::FileReplacement out;
    if (to_file) {
        if (const std::error_code error = out.Open(request.file_name)) {
            ui::ShowMessage("Unable to write to the file, " + request.file_name + ": " +
                            error.message());
            return false;
        }
    }
    {
        ExportScope scope(table, progress);
        ui::THourglass hourglass;
        const std::int64_t total = table.RecordCount();
        const char* caption = request.for_backup ? "Backing Up Entries" : "Exporting Entries";
        std::string pending;
        std::int64_t row = 1;
        for (table.First(); !table.Eof(); table.Next(), ++row) {
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
                    continue;
                }
                pending += line;
                pending += "\r\n";
            } catch (const std::exception& e) {
                if (!ContinueAfter(row, e.what()))
                    return false;
            }
            if (to_file && row % kFlushEvery == 0 && !WritePending(out, pending, row))
                return false;
        }
        if (to_file && !WritePending(out, pending, row - 1))
            return false;
    }
    if (!to_file)
        return true;
    if (const std::error_code error = out.Commit()) {
        ui::MessageDlg("An error was encountered saving the file, " + request.file_name + ": " +
                           error.message() +
                           ", check you have sufficient disk space and try again.",
                       ui::mtWarning, {ui::mbOK});
        return false;
    }
    return true;
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
