#include "grid/export/export_html.h"

#include <cstdio>

#include "grid/data/db_grid.h"
#include "grid/export/export_text.h"
#include "platform/db/field.h"

namespace grid {
namespace {

std::string ColourText(ui::Color colour) {
    if (colour.IsNone())
        return "000000";
    char hex[8];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X", static_cast<unsigned>(colour.Red()),
                  static_cast<unsigned>(colour.Green()), static_cast<unsigned>(colour.Blue()));
    return hex;
}

std::string_view AlignmentWord(TAlignment alignment) {
    switch (alignment) {
        case taRightJustify:
            return "RIGHT";
        case taCenter:
            return "CENTER";
        default:
            return "LEFT";
    }
}

void OpeningTags(std::string& out, const ui::TFont& font) {
    const ui::TFontStyles style = font.Style();
    if (ui::HasStyle(style, ui::fsBold))
        out += "<B>";
    if (ui::HasStyle(style, ui::fsItalic))
        out += "<I>";
    if (ui::HasStyle(style, ui::fsUnderline))
        out += "<U>";
    if (ui::HasStyle(style, ui::fsStrikeOut))
        out += "<STRIKE>";
}

void ClosingTags(std::string& out, const ui::TFont& font) {
    const ui::TFontStyles style = font.Style();
    if (ui::HasStyle(style, ui::fsStrikeOut))
        out += "</STRIKE>";
    if (ui::HasStyle(style, ui::fsUnderline))
        out += "</U>";
    if (ui::HasStyle(style, ui::fsItalic))
        out += "</I>";
    if (ui::HasStyle(style, ui::fsBold))
        out += "</B>";
}

std::string StyleLine(std::string_view prefix, const ui::TFont& font, ui::Color colour) {
    return std::string(prefix) + ToHtmlText(font.Name()) +
           "; font-size: " + std::to_string(font.Size()) + "pt; color: #" + ColourText(colour) +
           "}";
}

std::string IndentCell(int group_count) {
    return "<TD NOWRAP WIDTH=10 COLSPAN=" + std::to_string(group_count) + "></TD>";
}

}  // namespace

template <class Visit>
void TgxDBGridExportHTML::ForEachVisibleColumn(Visit visit) const {
    for (int b = 0; b < Grid->GetBandCount(); ++b)
        for (int r = 0; r < Grid->GetHeaderRowCount(b); ++r)
            for (int p = 0; p < Grid->GetHeaderColCount(b, r); ++p) {
                const int i = Grid->GetHeaderAbsoluteIndex(b, r, p);
                if (i >= 0 && Grid->IsColumnVisible(i))
                    visit(i, b == 0 && r == 0 && p == 0);
            }
}

void TgxDBGridExportHTML::StyledText(std::string& out, const ui::TFont& font,
                                     std::string_view utf8) {
    OpeningTags(out, font);
    out += ToHtmlText(utf8);
    ClosingTags(out, font);
}

void TgxDBGridExportHTML::WriteLine(std::string_view text) {
    std::string line(text);
    line += "\r\n";
    Write(line);
}

void TgxDBGridExportHTML::WriteHeader() {
    WriteLine("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2//EN\">");
    WriteLine("<HTML>");
    WriteLine("<HEAD>");
    // The texts are Windows-1252; a browser left to guess may take a page of accented
    // names for another code page.
    WriteLine("<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=windows-1252\">");
    WriteLine("<TITLE>" + ToHtmlText(Grid->objectName().toStdString()) + "</TITLE> ");
    WriteLine("<STYLE>");
    WriteLine("<!--");
    WriteLine(StyleLine(".Band{font-family: ", Grid->BandFont(), Grid->BandFont().GetColor()));
    WriteLine(
        StyleLine(".Header{font-family: ", Grid->HeaderFont(), Grid->HeaderFont().GetColor()));
    WriteLine(StyleLine(".Footer{font-family: ", Grid->Font(), Grid->Font().GetColor()));
    WriteLine(StyleLine(".RowFooter{font-family: ", Grid->Font(), Grid->RowFooterTextColor));
    WriteLine(StyleLine(".Group{font-family: ", Grid->Font(), Grid->GroupNodeTextColor));
    WriteLine("-->");
    WriteLine("</STYLE>");
    WriteLine("</HEAD> ");
    WriteLine("<BODY BGCOLOR=#C0C0C0>");
    if (Grid->BorderStyle() == bsSingle)
        WriteLine("<TABLE BORDER=1 CELLSPACING=0 CELLPADDING=1 BGCOLOR=#C0C0C0><TR><TD>");
    std::string table = "<TABLE ";
    if (!Grid->ShowGrid())
        table += "BORDER=0 CELLSPACING=0 CELLPADDING=2";
    else if (Grid->Ctl3D())
        table += "BORDER=1 CELLSPACING=0 CELLPADDING=1";
    else
        table += "BORDER=0 CELLSPACING=1 CELLPADDING=2";
    table += " BGCOLOR=#C0C0C0>";
    WriteLine(table);
}

void TgxDBGridExportHTML::WriteHeaders() {
    const int g = Grid->GetGroupColumnCount();
    if (Grid->ShowBands()) {
        std::string row =
            "<TR VALIGN=\"TOP\" class=\"Band\" BGCOLOR=#" + ColourText(Grid->BandColor) + ">";
        if (g > 0)
            row += IndentCell(g);
        for (int b = 0; b < Grid->GetBandCount(); ++b) {
            int span = 0;
            for (int r = 0; r < Grid->GetHeaderRowCount(b); ++r)
                span += Grid->GetHeaderColCount(b, r);
            row += "<TD NOWRAP COLSPAN=" + std::to_string(span) + " ALIGN=\"";
            row += AlignmentWord(Grid->GetBandAlignment(b));
            row += "\" HEIGHT=" + std::to_string(Grid->BandPanelHeight()) + ">";
            const std::string text = Grid->GetBandText(b);
            if (text.empty())
                row += "&nbsp;";
            else
                StyledText(row, Grid->BandFont(), text);
            row += "</TD>";
        }
        row += "</TR>";
        WriteLine(row);
    }
    if (Grid->ShowHeader()) {
        std::string row =
            "<TR VALIGN=\"TOP\" class=\"Header\" BGCOLOR=#" + ColourText(Grid->HeaderColor) + ">";
        if (g > 0)
            row += IndentCell(g);
        ForEachVisibleColumn([&](int i, bool) {
            row += "<TD NOWRAP WIDTH=" + std::to_string(Grid->GetHeaderWidth(i)) + " ALIGN=\"";
            row += AlignmentWord(Grid->GetHeaderAlignment(i));
            row += "\">";
            const std::string text = Grid->GetHeaderText(i);
            if (text.empty())
                row += "&nbsp;";
            else
                StyledText(row, Grid->HeaderFont(), text);
            row += "</TD>";
        });
        row += "</TR>";
        WriteLine(row);
    }
}

void TgxDBGridExportHTML::WriteNode(TgxTreeListNode* node) {
    const int g = Grid->GetGroupColumnCount();
    const std::string group_colour = ColourText(Grid->GroupNodeColor);
    if (node != nullptr && node->HasChildren()) {
        const int level = node->Level();
        std::string row = "<TR class=\"Group\" BGCOLOR=#" + group_colour + ">";
        for (int i = 0; i < level; ++i)
            row += "<TD NOWRAP BGCOLOR=#" + group_colour + " WIDTH=10></TD>";
        row += "<TD NOWRAP ALIGN=\"LEFT\" COLSPAN=" +
               std::to_string(Grid->GetVisibleColumnCount() + g - level) + ">";
        const TgxDBTreeListColumn* column = Grid->GetGroupColumn(level);
        const std::string text = column != nullptr ? node->Strings(column->GetIndex()) : "";
        if (text.empty())
            row += "&nbsp;";
        else
            StyledText(row, Grid->Font(), text);
        row += "</TD></TR>";
        WriteLine(row);
        return;
    }

    std::string row = "<TR>";
    for (int i = 0; i < g; ++i)
        row += "<TD NOWRAP BGCOLOR=#" + group_colour + " WIDTH=10></TD>";
    ForEachVisibleColumn([&](int i, bool) {
        const TgxDBTreeListColumn* column = Grid->GetColumn(i);
        const ui::TFont& font = Grid->GetColumnFont(i);
        row += "<TD NOWRAP ALIGN=\"";
        row += AlignmentWord(column != nullptr ? column->Alignment() : taLeftJustify);
        row += "\" BGCOLOR=#" + ColourText(Grid->GetColumnColor(i)) + ">";
        row += "<FONT STYLE=\"font-family: " + ToHtmlText(font.Name()) +
               "; font-size: " + std::to_string(font.Size()) + "pt; color: #" +
               ColourText(font.GetColor()) + "\">";
        std::string text;
        if (node != nullptr) {
            text = node->Strings(i);
        } else {
            text = Grid->GetRecordText(i);
        }
        if (text.empty())
            row += "&nbsp;";
        else
            StyledText(row, font, text);
        row += "</FONT></TD>";
    });
    row += "</TR>";
    WriteLine(row);

    for (int f = 0, n = Grid->GetNodeFooterCount(node); f < n; ++f) {
        const int level = Grid->GetNodeFooterLevel(node, f);
        std::string footer =
            "<TR class=\"RowFooter\" BGCOLOR=#" + ColourText(Grid->RowFooterColor) + ">";
        for (int i = 0; i < level + 1; ++i)
            footer += "<TD NOWRAP BGCOLOR=" + group_colour + " WIDTH=10></TD>";
        ForEachVisibleColumn([&](int i, bool first) {
            const TgxDBTreeListColumn* column = Grid->GetColumn(i);
            footer += "<TD NOWRAP ALIGN=\"";
            footer += AlignmentWord(column != nullptr ? column->Alignment() : taLeftJustify);
            footer += "\"";
            if (first)
                footer += " COLSPAN=" + std::to_string(g - level);
            footer += ">";
            OpeningTags(footer, Grid->Font());
            const std::string text = Grid->IsExistRowFooterCell(node, i, level)
                                         ? Grid->GetRowFooterText(node, i, level)
                                         : std::string();
            footer += text.empty() ? "&nbsp;" : ToHtmlText(text);
            ClosingTags(footer, Grid->Font());
            footer += "</TD>";
        });
        footer += "</TR>";
        WriteLine(footer);
    }
}

void TgxDBGridExportHTML::WriteSummaryFooter() {
    // The footer texts sum up the loaded rows only: under a dataset walk they would stand
    // below rows they do not count.
    if (!Grid->ShowSummaryFooter() || Grid->IsBufferMode() || WalksDataset())
        return;
    const int g = Grid->GetGroupColumnCount();
    std::string row = "<TR class=\"Footer\" BGCOLOR=#" + ColourText(Grid->HeaderColor) + ">";
    if (g > 0)
        row += IndentCell(g);
    ForEachVisibleColumn([&](int i, bool) {
        const TgxDBTreeListColumn* column = Grid->GetColumn(i);
        row += "<TD NOWRAP ALIGN=\"";
        row += AlignmentWord(column != nullptr ? column->Alignment() : taLeftJustify);
        row += "\">";
        const std::string text = column != nullptr && column->SummaryFooterType() != cstNone
                                     ? Grid->GetFooterText(i)
                                     : std::string();
        if (!text.empty())
            StyledText(row, Grid->GetColumnFont(i), text);
        row += "</TD>";
    });
    row += "</TR>";
    WriteLine(row);
}

void TgxDBGridExportHTML::WriteFooter() {
    WriteLine("</TABLE>");
    if (Grid->BorderStyle() == bsSingle)
        WriteLine("</TD></TR></TABLE>");
    WriteLine("</BODY>");
    WriteLine("</HTML>");
}

}  // namespace grid
