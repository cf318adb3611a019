#include "platform/ui/printer.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>
#include <QPrinter>

#include <stdexcept>

#include "platform/ui/prompt.h"
#include "platform/ui/qt_text.h"

namespace ui {
namespace {

std::string& PrintFile() {
    static std::string file;
    return file;
}

}  // namespace

TPrinter::TPrinter() : printer_(std::make_unique<QPrinter>(QPrinter::HighResolution)) {}

TPrinter::~TPrinter() = default;

std::optional<int> TPrinter::ChooseCopies(std::string_view title, int copies) {
    PrintRequest request{std::string(title), copies, printer_.get()};
    std::optional<int> chosen = Prompts().ChoosePrint(request);
    // Copies are printed one job each, so the printer itself makes one.
    printer_->setCopyCount(1);
    return chosen;
}

void SetPrintToFile(std::string_view pdf_path) {
    PrintFile() = pdf_path;
}

void TPrinter::PrintLines(std::string_view title, std::span<const std::string> lines) {
    QPrinter& printer = *printer_;
    printer.setDocName(ToQ(title));
    if (!PrintFile().empty()) {
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(ToQ(PrintFile()));
    }
    QPainter painter;
    if (!painter.begin(&printer))
        throw std::runtime_error("The printer could not be started");
    QFont font("DejaVu Sans", 10);
    painter.setFont(font);
    QFontMetrics metrics(font, &printer);
    const int line_height = metrics.lineSpacing();
    const QRect page = painter.viewport();
    int y = line_height;
    for (const std::string& line : lines) {
        if (y + line_height > page.height()) {
            printer.newPage();
            y = line_height;
        }
        painter.drawText(0, y, ToQ(line));
        y += line_height;
    }
    painter.end();
}

}  // namespace ui
