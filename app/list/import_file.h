#pragma once

// Importing addresses: line by line into one category (also the road of manual entry and
// of the blocked-address rescan), or mapped columns of a delimited file. Every line goes
// through the entry routine.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/list/export_list.h"

namespace app {

class EntryProcessor;

struct ImportRequest {
    bool is_add = true;
    bool show_done = false;
    // The start of each entry's comment; the date and time follow after a blank.
    std::string caption;
    std::string separator;
    // Split each line: the first value is the address, the second (when there is one)
    // the category.
    bool split_columns = false;
    std::string category;
    bool as_bounces = false;
};

// What an import did with its lines.
struct ImportTally {
    std::int64_t added = 0;
    std::int64_t updated = 0;
    std::int64_t removed = 0;
    std::int64_t unchanged = 0;
    std::int64_t refused = 0;
    // One "typed" -> "stored" line per name the list could not store as given.
    std::vector<std::string> changed_names;
    // The import stopped at a write the system refused; its own box has said so.
    bool stopped = false;

    // The counts, the changed names and, when nothing could be used, a word on that:
    // the text that follows a closing box's own sentence.
    std::string Summary() const;
};

// Runs every non-empty line through the entry routine (or the bounce routine) and
// answers the number of lines processed; tally (when given) receives what they did.
// The list is saved as the lines go and before the closing box; at the first write the
// system refuses the import stops with a box naming the cause, and answers the number of
// lines saved.
std::int64_t Importfile(EntryProcessor& entries, const std::vector<std::string>& lines,
                        const ImportRequest& request, const ProgressReport& progress,
                        ImportTally* tally = nullptr);

// The list fields a file column can be mapped to, and the mapping rows' starting order:
// row i takes the file's column i.
inline constexpr std::size_t kMappingRows = 11;
inline constexpr const char* kIgnoreField = "(ignore field)";
std::array<std::string, kMappingRows> DefaultImportMapping();

// The trimmed value of the column mapped to field ("" when the line has fewer columns).
std::string GetMappedField(const std::vector<std::string>& parts,
                           const std::array<std::string, kMappingRows>& mapping,
                           std::string_view field);

struct MultiColumnImport {
    std::string text;  // the file's text
    std::string separator;
    bool header_row = false;
    std::array<std::string, kMappingRows> mapping = DefaultImportMapping();
    // The comment of an entry whose comment column is empty (the date and time follow).
    std::string caption;
};

// Adds an entry for every non-empty record of a mapped file; answers the count. Saved and
// stopped as Importfile is.
std::int64_t ImportMultiColumnFile(EntryProcessor& entries, const MultiColumnImport& import,
                                   const ProgressReport& progress, ImportTally* tally = nullptr);

// The text of an import file (UTF-8, else Windows-1252); raises when it cannot be read.
std::string ReadImportFile(std::string_view path);
// The text's lines, without their line breaks.
std::vector<std::string> ImportLines(std::string_view text);

// "Import of entries from file "<name>" at ".
std::string ImportCaption(std::string_view file_name);

}  // namespace app
