#pragma once

// Delimited text as the import, export and back-up files hold it: a line per entry,
// values joined by a separator. A value that holds the separator, a double quote or a
// line break is written in double quotes (quotes doubled), and reading honours them, so a
// back-up reads back as it was written. Other values are written exactly as they are.

#include <array>
#include <cstddef>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

namespace app {

// The text of an import file: UTF-8 (a leading byte-order mark dropped), UTF-16 when the
// file starts with its byte-order mark, or, when the bytes are neither, Windows-1252.
std::string DecodeImportText(std::string_view bytes);

// The activity log as UTF-8, decided line by line: the log grows over years and a line
// written from an 8-bit mail header is read as Windows-1252, so no letter turns into a
// replacement mark while the UTF-8 lines around it stay as they are.
std::string DecodeLogText(std::string_view bytes);
// DecodeLogText, with every control character and line separator inside a line as a blank.
std::string ReadableLogText(std::string_view bytes);

// value, quoted when it holds the separator, a double quote, CR or LF.
std::string QuoteDelimitedValue(std::string_view value, std::string_view separator);

// The list fields in the order an export line holds them.
enum ExportField {
    kExportEmail,
    kExportCategory,
    kExportFullName,
    kExportFirstName,
    kExportComments,
    kExportBounces,
    kExportFieldCount
};
using ExportValues = std::array<std::string, kExportFieldCount>;
using ExportChoice = std::array<bool, kExportFieldCount>;

// The chosen values in field order with the separator between them. With quote,
// values that would split are quoted for reading back; a printed list is written as is.
std::string ExportLine(const ExportValues& values, const ExportChoice& chosen,
                       std::string_view separator, bool quote = true);

// Splits text into records of values. Records end at line breaks outside quotes; values
// end at the separator outside quotes. A value is trimmed of blanks outside its quotes
// and loses its surrounding quotes; "" inside quotes is one quote. Empty values are kept;
// an empty line gives an empty record. A quote that never closes, or whose closing quote
// is followed by more text, is an ordinary character, so the lines after it stay records
// of their own. An empty separator means ",". Reading stops after max_records records.
std::vector<std::vector<std::string>> SplitDelimitedRecords(
    std::string_view text, std::string_view separator,
    std::size_t max_records = std::numeric_limits<std::size_t>::max());

}  // namespace app
