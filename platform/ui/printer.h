#pragma once

// Printing plain lines of text: the class library's printer object, as the application
// uses it (a title, the lines, a number of copies). The print dialog asks through the
// prompt service; tests send the pages to a PDF file instead of a printer.

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ui {

// Asks for the copies to print; nullopt when the user cancels.
std::optional<int> ChoosePrintCopies(std::string_view title, int copies = 1);

// Prints the lines as one document titled title, laid out in pages. Throws
// std::runtime_error when the printer cannot be started.
void PrintLines(std::string_view title, std::span<const std::string> lines);

// Sends every print job to this PDF file (empty: the system's printer).
void SetPrintToFile(std::string_view pdf_path);

}  // namespace ui
