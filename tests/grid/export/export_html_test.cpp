// The HTML page writer: the page line by line, escaping, grouping and buffer mode.

#include "grid/export/export_html.h"

#include <gtest/gtest.h>

#include "tests/grid/export/export_fixture.h"

namespace grid::testing {
namespace {

std::vector<std::string> Lines(const std::string& page) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = page.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(page.substr(start, end - start));
    EXPECT_EQ(start, page.size()) << "the page ends in a line end";
    return lines;
}

const std::string kCellFont =
    "<FONT STYLE=\"font-family: Tahoma; font-size: 8pt; color: #000000\">";

TEST(ExportHtml, SmallPageLineByLine) {
    ExportGrid g(2);
    g.Add("Index", "No.", 100, taRightJustify)->SetSummaryFooterType(cstCount);
    g.Add("Item", "Address", 150, taLeftJustify);
    g.grid->SetShowSummaryFooter(true);
    g.grid->SetBorderStyle(bsSingle);
    g.Bind();
    const std::string count = g.grid->GetFooterText(0);
    ASSERT_FALSE(count.empty());

    TgxDBGridExportHTML exporter;
    const std::vector<std::string> want = {
        "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 3.2//EN\">",
        "<HTML>",
        "<HEAD>",
        "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=windows-1252\">",
        "<TITLE>grdList</TITLE> ",
        "<STYLE>",
        "<!--",
        ".Band{font-family: Arial; font-size: 8pt; color: #800000}",
        ".Header{font-family: Verdana; font-size: 9pt; color: #000080}",
        ".Footer{font-family: Tahoma; font-size: 8pt; color: #000000}",
        ".RowFooter{font-family: Tahoma; font-size: 8pt; color: #800080}",
        ".Group{font-family: Tahoma; font-size: 8pt; color: #000000}",
        "-->",
        "</STYLE>",
        "</HEAD> ",
        "<BODY BGCOLOR=#C0C0C0>",
        "<TABLE BORDER=1 CELLSPACING=0 CELLPADDING=1 BGCOLOR=#C0C0C0><TR><TD>",
        "<TABLE BORDER=1 CELLSPACING=0 CELLPADDING=1 BGCOLOR=#C0C0C0>",
        "<TR VALIGN=\"TOP\" class=\"Header\" BGCOLOR=#C0C0C0><TD NOWRAP WIDTH=100 "
        "ALIGN=\"LEFT\"><B>No.</B></TD><TD NOWRAP WIDTH=150 "
        "ALIGN=\"LEFT\"><B>Address</B></TD></TR>",
        "<TR><TD NOWRAP ALIGN=\"RIGHT\" BGCOLOR=#FFFFFF>" + kCellFont +
            "1</FONT></TD><TD NOWRAP ALIGN=\"LEFT\" BGCOLOR=#FFFFFF>" + kCellFont +
            "user1@example.org</FONT></TD></TR>",
        "<TR><TD NOWRAP ALIGN=\"RIGHT\" BGCOLOR=#FFFFFF>" + kCellFont +
            "2</FONT></TD><TD NOWRAP ALIGN=\"LEFT\" BGCOLOR=#FFFFFF>" + kCellFont +
            "user2@example.org</FONT></TD></TR>",
        "<TR class=\"Footer\" BGCOLOR=#C0C0C0><TD NOWRAP ALIGN=\"RIGHT\">" + count +
            "</TD><TD NOWRAP ALIGN=\"LEFT\"></TD></TR>",
        "</TABLE>",
        "</TD></TR></TABLE>",
        "</BODY>",
        "</HTML>",
    };
    EXPECT_EQ(Lines(ExportToMemory(exporter, g.grid.get())), want);
}

// Names from incoming mail arrive as text, whatever they hold.
TEST(ExportHtml, HostileTextsAreEscaped) {
    ExportGrid g(0);
    g.grid->Font().SetName("Ta\"homa");
    g.Add("Item", "<i>Address & co Ω", 150, taLeftJustify);
    // Named only now: a column's name is made from the grid's.
    g.grid->setObjectName("<b>grid");
    g.grid->SetShowBands(true);
    g.BandCaption("A \"band\"");
    g.list.Append(1, "<script>alert(1)</script>", "news", 0);
    g.list.Append(2, "Tom \"T\" & Jerry <tj@x.org>", "news", 0);
    g.list.Append(3, "Ωμέγα Łódź café", "news", 0);
    g.list.ds->First();
    g.Bind();
    TgxDBGridExportHTML exporter;
    const std::string page = ExportToMemory(exporter, g.grid.get());
    EXPECT_EQ(page.find("<script"), std::string::npos);
    EXPECT_EQ(page.find("<i>"), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    for (const std::string& text :
         {std::string("<TITLE>&lt;b&gt;grid</TITLE> "),
          std::string("&lt;i&gt;Address &amp; co &#937;"), std::string("A &quot;band&quot;"),
          std::string("&lt;script&gt;alert(1)&lt;/script&gt;"),
          std::string("Tom &quot;T&quot; &amp; Jerry &lt;tj@x.org&gt;"),
          // The table stores what Windows-1252 can hold, spelled plainly where it can.
          std::string("????? L\xF3"
                      "dz caf\xE9"),
          std::string("font-family: Ta&quot;homa;")})
        EXPECT_NE(page.find(text), std::string::npos) << text;
}

TEST(ExportHtml, GroupRowsSpanTheWidth) {
    ExportGrid g(3);
    g.Add("Category", "Category", 80, taLeftJustify);
    g.Add("Index", "No.", 60, taRightJustify);
    g.grid->SetShowHeader(false);
    g.grid->GroupNodeColor = ui::clRed;
    g.grid->Font().SetStyle(ui::fsBold | ui::fsUnderline);
    g.Bind();
    g.grid->ColumnByFieldName("Category")->SetGroupIndex(0);
    TgxDBGridExportHTML exporter;
    const std::vector<std::string> lines = Lines(ExportToMemory(exporter, g.grid.get()));
    const int span = g.grid->GetVisibleColumnCount() + 1;
    std::vector<std::string> rows;
    for (const std::string& line : lines)
        if (line.starts_with("<TR"))
            rows.push_back(line);
    ASSERT_EQ(rows.size(), 6u);
    EXPECT_EQ(rows[0], "<TR class=\"Group\" BGCOLOR=#FF0000><TD NOWRAP ALIGN=\"LEFT\" COLSPAN=" +
                           std::to_string(span) + "><B><U>music</U></B></TD></TR>");
    EXPECT_TRUE(rows[1].starts_with("<TR><TD NOWRAP BGCOLOR=#FF0000 WIDTH=10></TD><TD NOWRAP"))
        << rows[1];
}

TEST(ExportHtml, BufferModeWritesNoFooterRow) {
    ExportGrid g(3, false);
    g.Add("Index", "No.", 60, taRightJustify)->SetSummaryFooterType(cstSum);
    g.grid->SetShowSummaryFooter(true);
    g.Bind();
    ASSERT_TRUE(g.grid->IsBufferMode());
    TgxDBGridExportHTML exporter;
    const std::string page = ExportToMemory(exporter, g.grid.get());
    EXPECT_EQ(page.find("class=\"Footer\""), std::string::npos);
    EXPECT_NE(page.find(">3</FONT>"), std::string::npos);
}

// Partial loading keeps some rows; the export writes every record, which the grid's footer
// texts do not sum up, so the page has no footer row either.
TEST(ExportHtml, PartialLoadWritesNoFooterRowUnderAllRecords) {
    ExportGrid g(300, false);
    g.grid->SetPartialLoad(true);
    g.grid->SetPartialLoadBufferCount(50);
    TgxDBTreeListColumn* index = g.Add("Index", "No.", 60, taRightJustify);
    index->SetSummaryFooterType(cstSum);
    index->SetSummaryFooterField("Index");
    g.grid->SetShowSummaryFooter(true);
    g.Bind();
    ASSERT_TRUE(g.grid->IsPartialLoadMode());
    ASSERT_LT(g.grid->Count(), 300);
    TgxDBGridExportHTML exporter;
    const std::string page = ExportToMemory(exporter, g.grid.get());
    EXPECT_EQ(page.find("class=\"Footer\""), std::string::npos);
    EXPECT_NE(page.find(">300</FONT>"), std::string::npos);
}

}  // namespace
}  // namespace grid::testing
