// The worksheet writer against bytes written out by hand from the record layouts.

#include "grid/export/export_excel.h"

#include <gtest/gtest.h>

#include "grid/editors/memo_edit.h"
#include "tests/grid/export/export_fixture.h"

namespace grid::testing {
namespace {

std::string FontRec(std::string_view name, unsigned twips, unsigned style, unsigned colour) {
    return Hex("31 02") + Le16(7 + static_cast<unsigned>(name.size())) + Le16(twips) + Le16(style) +
           Le16(colour) + std::string(1, static_cast<char>(name.size())) + std::string(name);
}

std::string XfRec(std::string_view data) {
    return Hex("43 04 0C 00") + Hex(data);
}

std::string ColInfoRec(unsigned column, unsigned width) {
    return Hex("7D 00 0C 00") + Le16(column) + Le16(column) + Le16(width) +
           Hex("0F 00 00 00 00 00");
}

// Two columns, two rows, a SUM footer: the whole file.
TEST(ExportExcel, SmallExportIsWrittenByteForByte) {
    ExportGrid g(2);
    g.Add("Index", "No.", 100, taRightJustify)->SetSummaryFooterType(cstSum);
    g.grid->ColumnByFieldName("Index")->SetSummaryFooterField("Index");
    g.Add("Item", "Address", 150, taLeftJustify);
    g.grid->SetShowSummaryFooter(true);
    g.Bind();
    ASSERT_EQ(g.grid->GetHeaderWidth(0), 100);
    ASSERT_EQ(g.grid->GetHeaderWidth(1), 150);

    std::string want;
    want += Hex("09 04 06 00 00 00 10 00 00 00");
    want += Hex("42 00 02 00 E4 04");
    want += Hex("80 00 08 00 00 00 00 00 00 00 00 00");
    want +=
        Hex("92 00 36 00 0D 00"
            " 00 00 80 00  C0 C0 C0 00  00 00 00 00  80 80 80 00"
            " 00 00 00 00  FF FF FF 00  00 00 00 00  FF FF FF 00"
            " 80 00 00 00  00 80 80 00  80 00 80 00  FF FF 00 00  FF 00 00 00");
    for (int i = 0; i < 4; ++i)
        want += Hex("31 02 0C 00 C8 00 00 00 FF 7F 05") + "Arial";
    want += FontRec("Tahoma", 160, 0, 12);
    want += FontRec("Verdana", 180, 1, 8);
    want += FontRec("Tahoma", 160, 0, 10);
    want += FontRec("Arial", 160, 2, 16);
    want += FontRec("Tahoma", 160, 0, 18);
    want += FontRec("Tahoma", 160, 0, 12);
    want += FontRec("Tahoma", 160, 0, 12);
    want += XfRec("00 00 F5 FF 20 00 00 CE 00 00 00 00");
    want += XfRec("01 00 F5 FF 20 F4 00 CE 00 00 00 00");
    want += XfRec("01 00 F5 FF 20 F4 00 CE 00 00 00 00");
    want += XfRec("02 00 F5 FF 20 F4 00 CE 00 00 00 00");
    want += XfRec("02 00 F5 FF 20 F4 00 CE 00 00 00 00");
    for (int i = 5; i <= 14; ++i)
        want += XfRec("00 00 F5 FF 20 F4 00 CE 00 00 00 00");
    want += XfRec("00 00 01 00 20 00 00 CE 00 00 00 00");
    want += XfRec("01 21 F5 FF 20 F8 00 CE 00 00 00 00");
    want += XfRec("01 1F F5 FF 20 F8 00 CE 00 00 00 00");
    want += XfRec("01 20 F5 FF 20 F8 00 CE 00 00 00 00");
    want += XfRec("01 1E F5 FF 20 F8 00 CE 00 00 00 00");
    want += XfRec("01 0D F5 FF 20 F8 00 CE 00 00 00 00");
    want += XfRec("05 00 01 00 21 78 41 03 A1 A1 A1 A1");
    want += XfRec("06 00 01 00 22 78 41 02 71 71 71 71");
    want += XfRec("07 00 01 00 21 78 C1 02 00 00 00 00");
    want += XfRec("05 00 01 00 22 78 C1 02 B9 B9 B9 B9");
    want += XfRec("05 00 01 00 22 78 C1 02 B9 00 B9 00");
    want += XfRec("08 00 01 00 22 78 41 02 71 71 71 00");
    want += XfRec("09 00 01 00 21 78 C1 02 B9 B9 B9 B9");
    want += XfRec("09 00 01 00 21 78 C1 02 B9 00 B9 00");
    want += XfRec("0A 00 01 00 23 78 41 03 A1 A1 A1 A1");
    want += XfRec("0B 00 01 00 21 78 41 03 A1 A1 A1 A1");
    want += ColInfoRec(0, 3600);
    want += ColInfoRec(1, 5400);
    want += Hex("00 02 0A 00 00 00 FF FF 00 00 FF 00 00 00");
    want += LabelRec(0, 0, 22, "No.") + LabelRec(0, 1, 22, "Address");
    want += RkRec(1, 0, 29, 1) + LabelRec(1, 1, 30, "user1@example.org");
    want += RkRec(2, 0, 29, 2) + LabelRec(2, 1, 30, "user2@example.org");
    want += FormulaRec(3, 0, 1, 2, 0, "19 10 00 00") + BlankRec(3, 1, 25);
    want += Hex("0A 00 00 00");

    TgxDBGridExportExcel exporter;
    const std::string got = ExportToMemory(exporter, g.grid.get());
    EXPECT_EQ(Cells(got), Cells(want));
    EXPECT_EQ(got, want);
}

// The header rows each switch writes and the first row the footer formula names.
TEST(ExportExcel, BandAndHeaderRowsMoveTheData) {
    struct Case {
        bool bands, header;
        std::vector<std::string> head;
        unsigned first;
    };
    const std::vector<Case> cases = {
        {false, false, {}, 0},
        {false, true, {LabelRec(0, 0, 22, "No."), LabelRec(0, 1, 22, "Address")}, 1},
        {true, false, {BlankRec(0, 0, 23), BlankRec(0, 1, 23), LabelRec(0, 0, 26, "List")}, 1},
        {true,
         true,
         {BlankRec(0, 0, 23), BlankRec(0, 1, 23), LabelRec(0, 0, 26, "List"),
          LabelRec(1, 0, 22, "No."), LabelRec(1, 1, 22, "Address")},
         2},
    };
    for (const Case& c : cases) {
        ExportGrid g(2);
        g.BandCaption("List");
        g.Add("Index", "No.", 100, taRightJustify)->SetSummaryFooterType(cstCount);
        g.Add("Item", "Address", 150, taLeftJustify);
        g.grid->SetShowSummaryFooter(true);
        g.grid->SetShowBands(c.bands);
        g.grid->SetShowHeader(c.header);
        g.Bind();
        std::vector<std::string> want = c.head;
        const unsigned r = c.first;
        want.push_back(RkRec(r, 0, 29, 1));
        want.push_back(LabelRec(r, 1, 30, "user1@example.org"));
        want.push_back(RkRec(r + 1, 0, 29, 2));
        want.push_back(LabelRec(r + 1, 1, 30, "user2@example.org"));
        want.push_back(FormulaRec(r + 2, 0, r, r + 1, 0, "42 01 A9 00"));
        want.push_back(BlankRec(r + 2, 1, 25));
        TgxDBGridExportExcel exporter;
        EXPECT_EQ(Cells(ExportToMemory(exporter, g.grid.get())), want)
            << "bands " << c.bands << " header " << c.header;
    }
}

// Each footer kind, a footer naming a field no exported column shows, and a footer over
// no rows at all.
TEST(ExportExcel, FooterFormulasOfEachKind) {
    struct Case {
        TgxSummaryType type;
        std::string field;
        int rows;
        std::string want;
    };
    const std::vector<Case> cases = {
        {cstSum, "bounces", 3, FormulaRec(4, 1, 1, 3, 0, "19 10 00 00")},
        {cstMin, "Bounces", 3, FormulaRec(4, 1, 1, 3, 0, "42 01 06 00")},
        {cstMax, "Bounces", 3, FormulaRec(4, 1, 1, 3, 0, "42 01 07 00")},
        {cstCount, "", 3, FormulaRec(4, 1, 1, 3, 1, "42 01 A9 00")},
        {cstAvg, "Bounces", 3, FormulaRec(4, 1, 1, 3, 0, "42 01 05 00")},
        {cstSum, "Index", 3, BlankRec(4, 1, 25)},
        {cstNone, "Bounces", 3, BlankRec(4, 1, 25)},
        {cstSum, "Bounces", 0, BlankRec(1, 1, 25)},
    };
    for (const Case& c : cases) {
        ExportGrid g(c.rows);
        g.Add("Bounces", "Bounces", 80, taRightJustify);
        TgxDBTreeListColumn* item = g.Add("Item", "Address", 150, taLeftJustify);
        item->SetSummaryFooterType(c.type);
        item->SetSummaryFooterField(c.field);
        g.grid->SetShowSummaryFooter(true);
        g.Bind();
        TgxDBGridExportExcel exporter;
        const std::vector<std::string> cells = Cells(ExportToMemory(exporter, g.grid.get()));
        ASSERT_FALSE(cells.empty());
        EXPECT_EQ(cells.back(), c.want) << static_cast<int>(c.type) << " " << c.field;
    }
}

// Integers, floats, dates and texts; nulls; values beyond the RK range; a column without a
// field; a long and a non-Latin text.
TEST(ExportExcel, CellsTakeTheFieldsTypes) {
    for (bool load_all : {true, false}) {
        ExportGrid g(0, load_all);
        g.list.ds->AddColumn("Amount", db::ftCurrency);
        g.list.ds->AddColumn("Big", db::ftInteger);
        g.list.ds->AddColumn("Long", db::ftString, 400);
        g.list.ds->Close();
        g.list.ds->Open();
        g.grid->SetShowHeader(false);
        g.Add("Index", "No.", 50, taRightJustify);
        g.Add("Amount", "Amount", 50, taRightJustify);
        g.Add("Long", "Long", 50, taLeftJustify);
        g.Add("", "Nothing", 50, taCenter);
        g.Add("Big", "Big", 50, taRightJustify);
        g.list.ds->Append();
        g.list.ds->FieldByName("Index")->SetAsInteger(-7);
        g.list.ds->FieldByName("Amount")->SetAsFloat(12.5);
        g.list.ds->FieldByName("Long")->SetAsString(std::string(300, 'x'));
        g.list.ds->FieldByName("Big")->SetAsInteger(536870912);
        g.list.ds->Post();
        g.list.ds->Append();
        g.list.ds->FieldByName("Long")->SetAsString("Łódź €5 ok");
        g.list.ds->FieldByName("Big")->SetAsInteger(-536870912);
        g.list.ds->Post();
        g.list.ds->First();
        g.Bind();
        TgxDBGridExportExcel exporter;
        const std::vector<std::string> want = {
            RkRec(0, 0, 29, -7),
            NumberRec(0, 1, 30, 12.5),
            LabelRec(0, 2, 31, std::string(300, 'x')),
            LabelRec(0, 3, 32, ""),
            NumberRec(0, 4, 33, 536870912.0),
            RkRec(1, 0, 29, 0),
            NumberRec(1, 1, 30, 0.0),
            LabelRec(1, 2, 31,
                     "L\xF3"
                     "dz \x80"
                     "5 ok"),
            LabelRec(1, 3, 32, ""),
            RkRec(1, 4, 33, -536870912),
        };
        EXPECT_EQ(Cells(ExportToMemory(exporter, g.grid.get())), want) << "load all " << load_all;
    }
}

// Texts go whole, whatever their length; only a memo's text is cut to its first 255
// characters. A text no record can hold fails the export instead of being cut short.
TEST(ExportExcel, LongTextsGoWholeAndMemosAreCut) {
    ExportGrid g(0);
    g.list.ds->AddColumn("Long", db::ftString, 3000);
    g.list.ds->AddColumn("Memo", db::ftMemo);
    g.list.ds->Close();
    g.list.ds->Open();
    g.grid->SetShowHeader(false);
    g.Add("Long", "Long", 50, taLeftJustify);
    auto* memo = static_cast<TgxDBGridMemoColumn*>(
        g.grid->CreateColumn(ColumnClassOf<TgxDBGridMemoColumn>()));
    memo->SetFieldName("Memo");
    memo->SetMaxDisplayLength(1000);
    const std::vector<std::size_t> lengths = {0, 254, 255, 256, 300, 2500};
    for (std::size_t n : lengths) {
        g.list.ds->Append();
        std::string text;
        for (std::size_t i = 0; i < n; ++i)
            text += static_cast<char>('a' + i % 26);
        g.list.ds->FieldByName("Long")->SetAsString(text);
        g.list.ds->FieldByName("Memo")->SetAsString("M" + text);
        g.list.ds->Post();
    }
    g.list.ds->First();
    g.Bind();
    TgxDBGridExportExcel exporter;
    const std::vector<std::string> cells = Cells(ExportToMemory(exporter, g.grid.get()));
    ASSERT_EQ(cells.size(), 2 * lengths.size());
    for (std::size_t r = 0; r < lengths.size(); ++r) {
        const std::size_t n = lengths[r];
        std::string text;
        for (std::size_t i = 0; i < n; ++i)
            text += static_cast<char>('a' + i % 26);
        EXPECT_EQ(cells[2 * r], LabelRec(static_cast<unsigned>(r), 0, 29, text)) << n;
        EXPECT_EQ(cells[2 * r + 1],
                  LabelRec(static_cast<unsigned>(r), 1, 30, ("M" + text).substr(0, 255)))
            << n;
    }

    g.BandCaption(std::string(70000, 'b'));
    g.grid->SetShowBands(true);
    TgxDBGridExportExcel too_long;
    EXPECT_THROW(ExportToMemory(too_long, g.grid.get()), EgxExportError);
    EXPECT_FALSE(g.list.ds->ControlsDisabled());
}

// Hidden columns and the columns of a hidden band are left out; each shown band's caption
// stands over its first shown column.
TEST(ExportExcel, HiddenColumnsAndBandsAreLeftOut) {
    ExportGrid g(1);
    g.grid->SetShowBands(true);
    // The grid starts with one band.
    g.grid->Bands().Items(0)->SetCaption("Left");
    for (const char* caption : {"Hidden", "Right"})
        g.grid->Bands().Add()->SetCaption(caption);
    g.Add("Index", "No.", 60, taRightJustify)->SetBandIndex(0);
    g.Add("Item", "Address", 60, taLeftJustify)->SetBandIndex(0);
    g.Add("Category", "Category", 60, taLeftJustify)->SetBandIndex(0);
    g.Add("Comments", "Comments", 60, taLeftJustify)->SetBandIndex(1);
    g.Add("Bounces", "Bounces", 60, taRightJustify)->SetBandIndex(2);
    g.grid->ColumnByFieldName("Item")->SetVisible(false);
    g.grid->Bands().Items(1)->SetVisible(false);
    g.Bind();
    TgxDBGridExportExcel exporter;
    const std::vector<std::string> want = {
        BlankRec(0, 0, 23),
        BlankRec(0, 1, 23),
        BlankRec(0, 2, 23),
        LabelRec(0, 0, 26, "Left"),
        LabelRec(0, 2, 26, "Right"),
        LabelRec(1, 0, 22, "No."),
        LabelRec(1, 1, 22, "Category"),
        LabelRec(1, 2, 22, "Bounces"),
        RkRec(2, 0, 29, 1),
        LabelRec(2, 1, 30, "sport"),
        RkRec(2, 2, 31, 1),
    };
    EXPECT_EQ(Cells(ExportToMemory(exporter, g.grid.get())), want);
}

// The sheet's texts are in the code page of the table shown, and the sheet says which.
TEST(ExportExcel, TextsTakeTheTablesCodePage) {
    struct Case {
        platform::nls::CodePage code_page;
        std::string name;
        std::string codepage_record, bytes;
    };
    const std::vector<Case> cases = {
        {platform::nls::CodePage::Western, "Zo\u00EB \u20AC5", "E4 04", "5A 6F EB 20 80 35"},
        {platform::nls::CodePage::Cyrillic, "\u0418\u0432\u0430\u043D \u20AC", "E3 04",
         "C8 E2 E0 ED 20 88"},
        {platform::nls::CodePage::Greek, "\u03A9\u03BC\u03AD\u03B3\u03B1", "E5 04",
         "D9 EC DD E3 E1"},
        {platform::nls::CodePage::CentralEuropean, "\u0141\u00F3d\u017A", "E2 04", "A3 F3 64 9F"},
    };
    for (const Case& c : cases) {
        ExportGrid g(0);
        g.list.ds->code_page = c.code_page;
        g.list.Append(1, c.name, "news", 0);
        g.list.ds->First();
        g.grid->SetShowHeader(false);
        g.Add("Item", "Name", 100, taLeftJustify);
        g.Bind();
        TgxDBGridExportExcel exporter;
        const std::string file = ExportToMemory(exporter, g.grid.get());
        const std::vector<Record> records = SplitRecords(file);
        ASSERT_GE(records.size(), 2u);
        EXPECT_EQ(records[1].bytes, Hex("42 00 02 00") + Hex(c.codepage_record)) << c.name;
        EXPECT_EQ(Cells(file), std::vector<std::string>{LabelRec(0, 0, 29, Hex(c.bytes))})
            << c.name;
    }
}

// A grid grouped by category: group rows carry their text in the indent column of their
// level and blanks elsewhere; record rows start with a blank indent cell.
TEST(ExportExcel, GroupRowsAndIndentColumns) {
    ExportGrid g(3);
    g.Add("Category", "Category", 80, taLeftJustify);
    g.Add("Index", "No.", 60, taRightJustify);
    g.grid->SetShowHeader(false);
    g.Bind();
    g.grid->ColumnByFieldName("Category")->SetGroupIndex(0);
    ASSERT_EQ(g.grid->GetGroupColumnCount(), 1);
    TgxDBGridExportExcel exporter;
    const std::string file = ExportToMemory(exporter, g.grid.get());
    // The grouped column leaves the layout; the groups come in value order.
    std::vector<std::string> want;
    unsigned r = 0;
    for (auto [name, key] :
         std::vector<std::pair<std::string, int>>{{"music", 2}, {"sport", 1}, {"travel", 3}}) {
        want.push_back(LabelRec(r, 0, 23, name));
        want.push_back(BlankRec(r, 1, 23));
        ++r;
        want.push_back(BlankRec(r, 0, 23));
        want.push_back(RkRec(r, 1, 29, key));
        ++r;
    }
    EXPECT_EQ(Cells(file), want);
    // The indent column is 400 wide; the exported columns follow it.
    std::vector<std::string> colinfo;
    for (const Record& rec : SplitRecords(file))
        if (rec.number == 0x007D)
            colinfo.push_back(rec.bytes);
    ASSERT_EQ(colinfo.size(), 2u);
    EXPECT_EQ(colinfo[0], ColInfoRec(0, 400));
}

// A group's summary items under its last record: a row of its own, the text of the first
// exported column moved next to the indent of its level.
TEST(ExportExcel, RowFootersFollowTheLastRecordOfAGroup) {
    ExportGrid g(3);
    g.Add("Category", "Category", 80, taLeftJustify);
    TgxDBTreeListColumn* index = g.Add("Index", "No.", 60, taRightJustify);
    g.Add("Item", "Address", 100, taLeftJustify);
    g.grid->SetShowHeader(false);
    TgxDBGridSummaryGroup* group = g.grid->SummaryGroups().Add();
    group->SetName("Totals");
    TgxDBGridSummaryItem* item = group->SummaryItems().Add();
    item->SetSummaryType(cstMax);
    item->SetSummaryField("Index");
    item->SetColumnName(index->Name());
    g.grid->SetShowRowFooter(true);
    g.Bind();
    TgxDBTreeListColumn* category = g.grid->ColumnByFieldName("Category");
    category->SetSummaryGroupName("Totals");
    category->SetGroupIndex(0);
    ASSERT_EQ(g.grid->Count(), 3);
    TgxDBGridExportExcel exporter;
    std::vector<std::string> want;
    unsigned r = 0;
    for (int i = 0; i < 3; ++i) {
        TgxTreeListNode* group_row = g.grid->Items(i);
        TgxTreeListNode* record = group_row->Items(0);
        const int key = static_cast<TgxDBGridNode*>(record)->Key.AsInteger();
        want.push_back(LabelRec(r, 0, 23, group_row->Strings(category->GetIndex())));
        want.push_back(BlankRec(r, 1, 23));
        want.push_back(BlankRec(r, 2, 23));
        ++r;
        want.push_back(BlankRec(r, 0, 23));
        want.push_back(RkRec(r, 1, 29, key));
        want.push_back(LabelRec(r, 2, 30, "user" + std::to_string(key) + "@example.org"));
        ++r;
        want.push_back(BlankRec(r, 0, 23));
        want.push_back(LabelRec(r, 1, 27, "MAX=" + std::to_string(key) + ".00"));
        want.push_back(BlankRec(r, 2, 28));
        ++r;
    }
    EXPECT_EQ(Cells(ExportToMemory(exporter, g.grid.get())), want);
}

// What the worksheet cannot hold raises instead of writing a damaged file.
TEST(ExportExcel, LimitsOfTheWorksheetRaise) {
    ExportGrid g(1);
    g.Add("Index", "No.", 60, taRightJustify)->SetSummaryFooterType(cstCount);
    g.grid->SetShowSummaryFooter(true);
    g.Bind();
    TgxDBGridExportExcel exporter;
    db::TMemoryStream stream;
    exporter.Grid = g.grid.get();
    exporter.Stream = &stream;
    exporter.WriteHeader();
    // A footer on the sheet's last row still names every row above it.
    exporter.RowIndex = 16383;
    const std::int64_t before = stream.Size();
    exporter.WriteSummaryFooter();
    const std::string footer(reinterpret_cast<const char*>(stream.Memory()) + before,
                             static_cast<std::size_t>(stream.Size() - before));
    EXPECT_EQ(footer, FormulaRec(16383, 0, 0, 16382, 0, "42 01 A9 00"));
    // Readers of the format refuse a sheet of more than 16,384 rows.
    for (std::int32_t row : {16384, 65535, 65536}) {
        exporter.RowIndex = row;
        EXPECT_THROW(exporter.WriteNode(g.grid->Items(0)), EgxExportError) << row;
        EXPECT_THROW(exporter.WriteSummaryFooter(), EgxExportError) << row;
    }

    ExportGrid wide(1);
    for (int i = 0; i < 257; ++i)
        wide.Add("", "c", 20, taLeftJustify);
    wide.Bind();
    TgxDBGridExportExcel too_wide;
    EXPECT_THROW(ExportToMemory(too_wide, wide.grid.get()), EgxExportError);
    // Refused before any row: the table's controls are enabled again all the same.
    EXPECT_FALSE(wide.list.ds->ControlsDisabled());
}

}  // namespace
}  // namespace grid::testing
