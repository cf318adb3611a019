#pragma once

// Writing the list table out as delimited text lines: the export, the back-up file and
// the lines of a printed list.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/list/delimited_text.h"

namespace strata {
class TStrataTable;
}

namespace app {

struct ExportRequest {
    // The file to write; empty collects the lines for printing instead.
    std::string file_name;
    // An empty separator means ",".
    std::string separator;
    bool for_backup = false;
    ExportChoice chosen{};
};

// The shared progress display: position of maximum under a caption.
using ProgressReport =
    std::function<void(std::int64_t position, std::string_view caption, std::int64_t maximum)>;

// Writes one line per row of the list table (locked meanwhile), showing progress and
// stopping when the cancel flag is set. The file goes to a temporary file that replaces
// the target only when every row was written and synced, so a failed, cancelled or killed
// export or back-up leaves the previous file as it was. A write the disk refuses asks
// whether to continue: yes writes the same lines again (room may have been made), no
// abandons the file. Without a file name the lines go to print_lines. Returns false when
// cancelled or failed; failures are reported in the program's words with their reason.
bool exportlist(strata::TStrataTable& table, const ExportRequest& request,
                const ProgressReport& progress, std::vector<std::string>* print_lines = nullptr);

// The back-up file: the configured name when it is set and its folder exists, else
// "backup.csv" in the program directory; with new_file_name the first free name
// ("backup_2.csv", ...).
std::string BackUpFileName(std::string_view configured, std::string_view program_dir,
                           bool new_file_name);

}  // namespace app
