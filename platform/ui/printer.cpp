#include "platform/ui/printer.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>
#include <QPrinter>
#include <QRegularExpression>
#include <QStringList>
#include <QTextLayout>
#include <QTextOption>

#include <algorithm>
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
    QTextOption wrap;
    wrap.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    // A value holding a line break (a name typed over two lines) prints as two lines; the
    // text layout would run them together.
    QStringList printed;
    static const QRegularExpression kLineBreak("\\r\\n|\\r|\\n");
    for (const std::string& line : lines)
        printed += ToQ(line).split(kLineBreak);
    int y = line_height;
    for (const QString& text : printed) {
        // A line wider than the page goes on over further lines instead of off the paper.
        QTextLayout layout(text, font, &printer);
        layout.setTextOption(wrap);
        layout.beginLayout();
        for (QTextLine part = layout.createLine(); part.isValid(); part = layout.createLine())
            part.setLineWidth(page.width());
        layout.endLayout();
        for (int i = 0; i < std::max(layout.lineCount(), 1); ++i) {
            if (y + line_height > page.height()) {
                printer.newPage();
                y = line_height;
            }
            if (i < layout.lineCount())
                painter.drawText(
                    0, y, text.mid(layout.lineAt(i).textStart(), layout.lineAt(i).textLength()));
            y += line_height;
        }
    }
    painter.end();
}

}  // namespace ui
