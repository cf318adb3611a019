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

std::optional<int> ChoosePrintCopies(std::string_view title, int copies) {
    PrintRequest request{std::string(title), copies};
    return Prompts().ChoosePrint(request);
}

void SetPrintToFile(std::string_view pdf_path) {
    PrintFile() = pdf_path;
}

void PrintLines(std::string_view title, std::span<const std::string> lines) {
    QPrinter printer(QPrinter::HighResolution);
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
