#pragma once

// Printing plain lines of text: the class library's printer object, as the application
// uses it (a title, the lines, a number of copies). The print dialog asks through the
// prompt service; tests send the pages to a PDF file instead of a printer.

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

class QPrinter;

namespace ui {

// One print job's printer: the print dialog chooses it, then the lines go to it.
class TPrinter {
  public:
    TPrinter();
    ~TPrinter();
    TPrinter(const TPrinter&) = delete;
    TPrinter& operator=(const TPrinter&) = delete;

    // Asks for the printer and the copies to print; nullopt when the user
    // cancels. The caller prints each copy itself.
    std::optional<int> ChooseCopies(std::string_view title, int copies = 1);

    // Prints the lines as one document titled title, laid out in pages, on
    // the printer chosen (or the PDF file of SetPrintToFile). Throws
    // std::runtime_error when the printer cannot be started.
    void PrintLines(std::string_view title, std::span<const std::string> lines);

  private:
    std::unique_ptr<QPrinter> printer_;
};

// Sends every print job to this PDF file (empty: the system's printer).
void SetPrintToFile(std::string_view pdf_path);

}  // namespace ui
