// Exported files read back by real programs: xlrd and LibreOffice Calc for the worksheet,
// html5lib and Chromium for the page. CI installs them; a machine without one skips.

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include "grid/editors/default_columns.h"
#include "grid/editors/memo_edit.h"
#include "grid/export/grid_export.h"
#include "platform/db/date_time.h"
#include "tests/grid/export/export_fixture.h"

namespace grid::testing {
namespace {

namespace fs = std::filesystem;

const char* const kPython = "/usr/bin/python3";

struct Output {
    int status = -1;
    std::string out;
};

Output Shell(const std::string& command) {
    Output run;
    FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (pipe == nullptr)
        return run;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.out.append(buffer, n);
    const int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

bool Has(const std::string& probe) {
    return Shell(probe + " >/dev/null").status == 0;
}

// Runs a Python reader on a written file; the script finds the file in sys.argv[1].
Output Python(const std::string& script, const fs::path& file) {
    return Shell(std::string(kPython) + " -c " + Quote(script) + " " + Quote(file.string()));
}

// Calc writes the CSV in UTF-8 (76), into dir, under the file's own name.
Output CalcToCsv(const fs::path& profile, const fs::path& dir, const fs::path& file) {
    return Shell("timeout 180 soffice -env:UserInstallation=file://" + profile.string() +
                 " --headless --convert-to 'csv:Text - txt - csv (StarCalc):44,34,76' "
                 "--outdir " +
                 Quote(dir.string()) + " " + Quote(file.string()));
}

// The text's lines without their ends, a CR before the LF included.
std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line.ends_with('\r'))
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

fs::path OutputDir() {
    fs::path dir = fs::path(CORVANE_TEST_OUTPUT_DIR) / "export";
    fs::create_directories(dir);
    return dir;
}

std::string FileText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Five records with numbers, floats, texts and names from hostile mail.
struct ReaderGrid : ExportGrid {
    ReaderGrid() : ExportGrid(0) {
        list.ds->AddColumn("Amount", db::ftFloat);
        list.ds->Close();
        list.ds->Open();
        const std::vector<std::string> items = {"ann@example.org", "<script>alert(1)</script>",
                                                "Tom \"T\" & Jerry", "Ωμέγα Łódź café", "plain"};
        for (int i = 0; i < 5; ++i) {
            list.Append(i + 1, items[static_cast<std::size_t>(i)], "news", i * 10 - 15);
            list.ds->Edit();
            list.ds->FieldByName("Amount")->SetAsFloat(i * 1.25);
            list.ds->Post();
        }
        list.ds->First();
        Add("Index", "No.", 50, taRightJustify)->SetSummaryFooterType(cstCount);
        Add("Item", "Address", 200, taLeftJustify);
        Add("Bounces", "Bounces", 70, taRightJustify);
        TgxDBTreeListColumn* amount = Add("Amount", "Amount", 70, taRightJustify);
        amount->SetSummaryFooterType(cstSum);
        amount->SetSummaryFooterField("Amount");
        grid->SetShowSummaryFooter(true);
        grid->SetShowBands(true);
        BandCaption("Members");
        Bind();
    }
};

TEST(ExportReaders, XlrdReadsTheWorksheet) {
    if (!Has(std::string(kPython) + " -c 'import xlrd'"))
        GTEST_SKIP() << "python3-xlrd is not installed";
    ReaderGrid g;
    const fs::path file = OutputDir() / "readers.xls";
    g.grid->SaveToXLS(file.string(), true);
    const std::string script =
        "import sys, xlrd\n"
        "b = xlrd.open_workbook(sys.argv[1], encoding_override='cp1252')\n"
        "s = b.sheet_by_index(0)\n"
        "def kind(c): return 'blank' if c.ctype in (0, 6) else type(c.value).__name__\n"
        "for r in range(s.nrows):\n"
        "  print('|'.join('%s:%s' % (kind(c), repr(c.value)) for c in s.row(r)))\n";
    const Output run = Python(script, file);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::vector<std::string> rows = Lines(run.out);
    ASSERT_EQ(rows.size(), 8u) << run.out;
    const std::vector<std::string> want = {
        "str:'Members'|blank:''|blank:''|blank:''",
        "str:'No.'|str:'Address'|str:'Bounces'|str:'Amount'",
        "float:1.0|str:'ann@example.org'|float:-15.0|float:0.0",
        "float:2.0|str:'<script>alert(1)</script>'|float:-5.0|float:1.25",
        "float:3.0|str:'Tom \"T\" & Jerry'|float:5.0|float:2.5",
        "float:4.0|str:'????? L\xC3\xB3"
        "dz caf\xC3\xA9'|float:15.0|float:3.75",
        "float:5.0|str:'plain'|float:25.0|float:5.0",
        // The footer formulas, whose stored results are 0 until a spreadsheet computes them.
        "float:0.0|blank:''|blank:''|float:0.0",
    };
    EXPECT_EQ(rows, want);
}

TEST(ExportReaders, LibreOfficeComputesTheFooter) {
    if (!Has("command -v soffice"))
        GTEST_SKIP() << "libreoffice-calc-nogui is not installed";
    ReaderGrid g;
    TempFolder profile;
    const fs::path dir = OutputDir() / "calc";
    fs::create_directories(dir);
    const fs::path file = dir / "readers.xls";
    g.grid->SaveToXLS(file.string(), true);
    fs::remove(dir / "readers.csv");
    const Output run = CalcToCsv(profile.path, dir, file);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string csv = FileText(dir / "readers.csv");
    const std::vector<std::string> rows = Lines(csv);
    ASSERT_EQ(rows.size(), 8u) << csv;
    EXPECT_EQ(rows[0], "Members,,,");
    EXPECT_EQ(rows[1], "No.,Address,Bounces,Amount");
    EXPECT_EQ(rows[2], "1,ann@example.org,-15,0");
    EXPECT_EQ(rows[3], "2,<script>alert(1)</script>,-5,1.25");
    EXPECT_EQ(rows[4], "3,\"Tom \"\"T\"\" & Jerry\",5,2.5");
    EXPECT_EQ(rows[5],
              "4,????? L\xC3\xB3"
              "dz caf\xC3\xA9,15,3.75");
    EXPECT_EQ(rows[6], "5,plain,25,5");
    // COUNTA over the numbers, SUM of the amounts.
    EXPECT_EQ(rows[7], "5,,,12.5");
}

TEST(ExportReaders, Html5libAndChromiumShowHostileNamesAsText) {
    if (!Has(std::string(kPython) + " -c 'import html5lib'"))
        GTEST_SKIP() << "python3-html5lib is not installed";
    ReaderGrid g;
    const fs::path page = OutputDir() / "hostile.html";
    g.grid->SaveToHTML(page.string(), true);
    const std::string script =
        "import sys, html5lib\n"
        "doc = html5lib.parse(open(sys.argv[1], 'rb').read(), namespaceHTMLElements=False)\n"
        "assert not doc.findall('.//script'), 'a script element'\n"
        "for tr in doc.iter('tr'):\n"
        "  cells = [''.join(td.itertext()) for td in tr.findall('td')]\n"
        "  if len(cells) == 4: print('|'.join(cells))\n";
    const Output run = Python(script, page);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::vector<std::string> rows = Lines(run.out);
    ASSERT_EQ(rows.size(), 7u) << run.out;
    EXPECT_EQ(rows[0], "No.|Address|Bounces|Amount");
    EXPECT_EQ(rows[2], "2|<script>alert(1)</script>|-5|1.25");
    EXPECT_EQ(rows[3], "3|Tom \"T\" & Jerry|5|2.5");
    EXPECT_EQ(rows[4], "4|????? Lódz café|15|3.75");

    if (!Has("command -v chromium"))
        GTEST_SKIP() << "chromium is not installed";
    TempFolder profile;
    for (const std::string name : {"hostile"}) {
        const fs::path png = OutputDir() / (name + ".png");
        fs::remove(png);
        const Output shot = Shell(
            "timeout 120 chromium --headless --no-sandbox --disable-gpu "
            "--user-data-dir=" +
            Quote(profile.path.string()) + " --screenshot=" + Quote(png.string()) +
            " --window-size=1024,768 " + Quote("file://" + page.string()));
        ASSERT_EQ(shot.status, 0);
        ASSERT_TRUE(fs::exists(png));
        EXPECT_EQ(FileText(png).substr(1, 3), "PNG");
    }
}

// Names that need the code page's upper half, among them the characters where Windows-1252
// and Latin-1 part ways (euro sign, S with caron, curly quotes, dash).
struct AccentedGrid : ExportGrid {
    static std::vector<std::string> Names() {
        return {"Zo\u00EB Bront\u00EB", "Ren\u00E9e Fleming", "\u00C6theling",
                "\u0160koda \u20AC5 \u201CFirst\u201D \u2013 \u0152uvre"};
    }
    AccentedGrid() : ExportGrid(0) {
        const std::vector<std::string> names = Names();
        for (std::size_t i = 0; i < names.size(); ++i)
            list.Append(static_cast<int>(i) + 1, names[i], "news", 0);
        list.ds->First();
        Add("Item", "Name", 250, taLeftJustify);
        Bind();
    }
};

// Saves the grid's worksheet as <stem>.xls in its own folder and checks that xlrd and
// LibreOffice Calc read the first column of the rows below the header as `expected`.
template <class Grid>
void ExpectReadersSeeFirstColumn(Grid& grid, const std::string& stem,
                                 const std::vector<std::string>& expected) {
    const fs::path dir = OutputDir() / stem;
    fs::create_directories(dir);
    const fs::path file = dir / (stem + ".xls");
    grid.SaveToXLS(file.string(), true);
    const std::string script =
        "import sys, xlrd\n"
        "s = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)\n"
        "for r in range(1, s.nrows): sys.stdout.buffer.write(s.cell_value(r, 0).encode() + "
        "b'\\n')\n";
    const Output run = Python(script, file);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(Lines(run.out), expected);

    if (!Has("command -v soffice"))
        GTEST_SKIP() << "libreoffice-calc-nogui is not installed";
    TempFolder profile;
    const fs::path csv = dir / (stem + ".csv");
    fs::remove(csv);
    const Output convert = CalcToCsv(profile.path, dir, file);
    ASSERT_EQ(convert.status, 0) << convert.out;
    std::vector<std::string> lines = Lines(FileText(csv));
    for (std::string& line : lines) {
        if (line.size() >= 2 && line.front() == '"' && line.back() == '"')
            line = line.substr(1, line.size() - 2);
    }
    ASSERT_FALSE(lines.empty());
    lines.erase(lines.begin());
    EXPECT_EQ(lines, expected);
}

TEST(ExportReaders, XlrdAndCalcReadTheWorksheetsTextsWithoutAHint) {
    if (!Has(std::string(kPython) + " -c 'import xlrd'"))
        GTEST_SKIP() << "python3-xlrd is not installed";
    AccentedGrid g;
    ExpectReadersSeeFirstColumn(*g.grid, "accented", AccentedGrid::Names());
}

// A table of another script: its names reach the sheet in the table's own code page.
TEST(ExportReaders, XlrdAndCalcReadACyrillicTablesNames) {
    if (!Has(std::string(kPython) + " -c 'import xlrd'"))
        GTEST_SKIP() << "python3-xlrd is not installed";
    const std::vector<std::string> names = {
        "\u0418\u0432\u0430\u043D \u041F\u0435\u0442\u0440\u043E\u0432",
        "\u0401\u043B\u043A\u0430 \u2116 5 \u00AB\u0445\u043E\u0440\u043E\u0448\u043E\u00BB",
        "plain"};
    ExportGrid g(0);
    g.list.ds->code_page = platform::nls::CodePage::Cyrillic;
    for (std::size_t i = 0; i < names.size(); ++i)
        g.list.Append(static_cast<int>(i) + 1, names[i], "news", 0);
    g.list.ds->First();
    g.Add("Item", "Name", 250, taLeftJustify);
    g.Bind();
    ExpectReadersSeeFirstColumn(*g.grid, "cyrillic", names);
}

TEST(ExportReaders, Html5libAndChromiumReadThePagesTextsAsWritten) {
    if (!Has(std::string(kPython) + " -c 'import html5lib'"))
        GTEST_SKIP() << "python3-html5lib is not installed";
    AccentedGrid g;
    const fs::path page = OutputDir() / "accented.html";
    g.grid->SaveToHTML(page.string(), true);
    // A reader whose own default is UTF-8 still reads the page as what it is.
    const std::string script =
        "import sys, html5lib\n"
        "p = html5lib.HTMLParser(namespaceHTMLElements=False)\n"
        "doc = p.parse(open(sys.argv[1], 'rb'), default_encoding='utf-8')\n"
        "for td in doc.iter('td'): sys.stdout.buffer.write(''.join(td.itertext()).encode() + "
        "b'\\n')\n";
    const Output run = Python(script, page);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), AccentedGrid::Names());

    if (!Has("command -v chromium"))
        GTEST_SKIP() << "chromium is not installed";
    TempFolder profile;
    // Left to guess, Chromium took these names for Baltic text.
    const Output dom =
        Shell("timeout 120 chromium --headless --no-sandbox --disable-gpu --user-data-dir=" +
              Quote(profile.path.string()) + " --dump-dom " + Quote("file://" + page.string()));
    ASSERT_EQ(dom.status, 0);
    for (const std::string& name : AccentedGrid::Names())
        EXPECT_NE(dom.out.find(">" + name + "<"), std::string::npos) << name << "\n" << dom.out;
}

// Texts past 255 characters, which both readers take whole.
TEST(ExportReaders, XlrdAndCalcReadLongTextsWhole) {
    if (!Has(std::string(kPython) + " -c 'import xlrd'"))
        GTEST_SKIP() << "python3-xlrd is not installed";
    ExportGrid g(0);
    g.list.ds->AddColumn("Long", db::ftString, 1000);
    g.list.ds->Close();
    g.list.ds->Open();
    const std::vector<std::size_t> lengths = {255, 256, 600};
    std::vector<std::string> texts;
    for (std::size_t n : lengths) {
        std::string text;
        for (std::size_t i = 0; text.size() < n; ++i)
            text += "word" + std::to_string(i) + " ";
        texts.push_back(text.substr(0, n - 1) + "Z");
        g.list.ds->Append();
        g.list.ds->FieldByName("Long")->SetAsString(texts.back());
        g.list.ds->Post();
    }
    g.list.ds->First();
    g.Add("Long", "Notes", 300, taLeftJustify);
    g.Bind();
    ExpectReadersSeeFirstColumn(*g.grid, "long", texts);
}

// A BIFF4 sheet holds 16,384 rows: xlrd refuses the whole file when a cell lies below them.
// A list that fills the sheet is read to its last row; one more record fails the export and
// leaves the file written before.
TEST(ExportReaders, XlrdReadsAFullSheetAndALongerListIsRefused) {
    if (!Has(std::string(kPython) + " -c 'import xlrd'"))
        GTEST_SKIP() << "python3-xlrd is not installed";
    const fs::path dir = OutputDir() / "full";
    fs::create_directories(dir);
    const fs::path file = dir / "full.xls";
    ExportGrid g(16383, false);
    g.Add("Index", "No.", 60, taRightJustify);
    g.Add("Item", "Address", 200, taLeftJustify);
    g.Bind();
    g.grid->SaveToXLS(file.string(), true);
    const std::string script =
        "import sys, xlrd\n"
        "s = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)\n"
        "print(s.nrows, s.cell_value(s.nrows - 1, 0), s.cell_value(s.nrows - 1, 1))\n";
    const Output run = Python(script, file);
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out, "16384 16383.0 user16383@example.org\n");

    const std::string before = FileText(file);
    g.list.Append(16384, "one@too.many", "news", 0);
    EXPECT_THROW(g.grid->SaveToXLS(file.string(), true), EgxExportError);
    EXPECT_EQ(FileText(file), before);
    EXPECT_FALSE(g.list.ds->ControlsDisabled());
}

// A table with a column of every kind the engine stores, values at their limits, in the
// list grid's own buffer mode. Numbers reach both readers as numbers with every digit,
// everything else as the text the grid shows.
struct KindsGrid : GridHarness {
    StrataList db{0};
    db::ComponentPtr<db::TDataSource> source;
    KindsGrid() : GridHarness(900, 300) {
        strata::TStrataTable& t = db.NewTable();
        t.SetTableName("kinds.dat");
        db::TFieldDefs& f = *t.FieldDefs();
        f.Add("Id", db::ftAutoInc);
        f.Add("Name", db::ftString, 120);
        f.Add("Small", db::ftSmallint);
        f.Add("Int", db::ftInteger);
        f.Add("Word", db::ftWord);
        f.Add("Amount", db::ftFloat);
        f.Add("Price", db::ftCurrency);
        f.Add("Born", db::ftDate);
        f.Add("At", db::ftTime);
        f.Add("Stamp", db::ftDateTime);
        f.Add("Flag", db::ftBoolean);
        f.Add("Notes", db::ftMemo);
        f.Add("Picture", db::ftGraphic);
        t.CreateTable();
        t.Open();
        t.Append();
        t.FieldByName("Name")->SetAsString("Tom \"T\" & <b>Jerry</b>\tx\r\ny caf\u00E9");
        t.FieldByName("Small")->SetAsInteger(-32768);
        t.FieldByName("Int")->SetAsInteger(-2147483647 - 1);
        t.FieldByName("Word")->SetAsInteger(65535);
        t.FieldByName("Amount")->SetAsFloat(1.7976931348623157e308);
        t.FieldByName("Price")->SetAsFloat(-922337203685477.0);
        t.FieldByName("Born")->SetAsDateTime(db::TDateTime(0.0));
        t.FieldByName("At")->SetAsDateTime(db::EncodeTime(23, 59, 59, 0));
        t.FieldByName("Stamp")->SetAsDateTime(db::EncodeDate(9999, 12, 31));
        t.FieldByName("Flag")->SetAsBoolean(true);
        t.FieldByName("Notes")->SetAsString(std::string(300, 'n'));
        t.FieldByName("Picture")->SetAsString(std::string("GIF89a\0\1<&>", 11));
        t.Post();
        t.Append();
        t.FieldByName("Name")->SetAsString("=1+1");
        t.FieldByName("Small")->SetAsInteger(32767);
        t.FieldByName("Int")->SetAsInteger(2147483647);
        t.FieldByName("Word")->SetAsInteger(0);
        t.FieldByName("Amount")->SetAsFloat(0.1 + 0.2);
        t.FieldByName("Price")->SetAsFloat(1234.5678);
        t.FieldByName("Born")->SetAsDateTime(db::EncodeDate(2000, 2, 29));
        t.FieldByName("At")->SetAsDateTime(db::TDateTime(0.0));
        t.FieldByName("Stamp")->SetAsDateTime(db::TDateTime(-0.5));
        t.FieldByName("Flag")->SetAsBoolean(false);
        t.FieldByName("Notes")->SetAsString("short");
        t.Post();
        t.First();
        source = db::MakeComponent<db::TDataSource>(nullptr);
        source->SetDataSet(&t);
        RegisterTypedColumns();
        grid->SetKeyField("Id");
        grid->SetShowHeader(false);
        grid->SetDefaultFields(true);
        grid->SetDataSource(source.get());
        if (auto* notes = dynamic_cast<TgxDBGridMemoColumn*>(grid->ColumnByFieldName("Notes")))
            notes->SetMaxDisplayLength(1000);
    }
    ~KindsGrid() { grid->SetDataSource(nullptr); }
};

TEST(ExportReaders, XlrdAndCalcReadEveryKindOfColumn) {
    if (!Has(std::string(kPython) + " -c 'import xlrd'"))
        GTEST_SKIP() << "python3-xlrd is not installed";
    KindsGrid g;
    ASSERT_TRUE(g.grid->IsBufferMode());
    const fs::path dir = OutputDir() / "kinds";
    fs::create_directories(dir);
    const fs::path file = dir / "kinds.xls";
    g.grid->SaveToXLS(file.string(), true);
    const std::string script =
        "import sys, xlrd\n"
        "s = xlrd.open_workbook(sys.argv[1]).sheet_by_index(0)\n"
        "for r in range(s.nrows):\n"
        "  for c in s.row(r):\n"
        "    if isinstance(c.value, float): print('number', repr(c.value))\n"
        "    else: print('text', c.value.encode('unicode_escape').decode())\n";
    const Output run = Python(script, file);
    ASSERT_EQ(run.status, 0) << run.out;
    const std::string n300(300, 'n');
    const std::vector<std::string> want = {
        "number 1.0", "text Tom \"T\" & <b>Jerry</b>\\tx\\r\\ny caf\\xe9", "number -32768.0",
        "number -2147483648.0", "number 65535.0", "number 1.7976931348623157e+308",
        "number -922337203685477.0", "text 12/30/1899", "text 11:59:59 PM", "text 12/31/9999",
        "text True", "text " + n300.substr(0, 255), "text (GRAPHIC)",
        //
        "number 2.0", "text =1+1", "number 32767.0", "number 2147483647.0", "number 0.0",
        "number 0.30000000000000004", "number 1234.5678", "text 2/29/2000", "text 12:00:00 AM",
        "text 12/30/1899 12:00:00 PM", "text False", "text short", "text (graphic)"};
    EXPECT_EQ(Lines(run.out), want);

    if (!Has("command -v soffice"))
        GTEST_SKIP() << "libreoffice-calc-nogui is not installed";
    TempFolder profile;
    fs::remove(dir / "kinds.ods");
    const Output convert = Shell("timeout 180 soffice -env:UserInstallation=file://" +
                                 profile.path.string() + " --headless --convert-to ods --outdir " +
                                 Quote(dir.string()) + " " + Quote(file.string()));
    ASSERT_EQ(convert.status, 0) << convert.out;
    // Each cell's type, and a number's value or a text's length (tabs and line breaks are
    // elements of their own in Calc's file), as Calc holds them.
    const std::string ods =
        "import sys, zipfile\n"
        "from xml.etree import ElementTree as ET\n"
        "T = '{urn:oasis:names:tc:opendocument:xmlns:table:1.0}'\n"
        "O = '{urn:oasis:names:tc:opendocument:xmlns:office:1.0}'\n"
        "root = ET.fromstring(zipfile.ZipFile(sys.argv[1]).read('content.xml'))\n"
        "for row in root.iter(T + 'table-row'):\n"
        "  cells = row.findall(T + 'table-cell')\n"
        "  if not any(c.get(O + 'value-type') for c in cells): continue\n"
        "  for c in cells:\n"
        "    if c.get(O + 'value-type') == 'float': print('number', c.get(O + 'value'))\n"
        "    elif c.get(O + 'value-type'): print('text', len(''.join(c.itertext())))\n";
    const Output cells = Python(ods, dir / "kinds.ods");
    ASSERT_EQ(cells.status, 0) << cells.out;
    const std::vector<std::string> calc = {
        "number 1", "text 29", "number -32768", "number -2147483648", "number 65535",
        "number 1.7976931348623157E+308", "number -922337203685477", "text 10", "text 11",
        "text 10", "text 4", "text 255", "text 9",
        //
        "number 2", "text 4", "number 32767", "number 2147483647", "number 0",
        // Calc writes a value in its file at 15 digits when that reads back the same to it.
        "number 0.3", "number 1234.5678", "text 9", "text 11", "text 22", "text 5", "text 5",
        "text 9"};
    EXPECT_EQ(Lines(cells.out), calc);
}

// A normal grouped export, rendered for a person to look at.
TEST(ExportReaders, ChromiumRendersAGroupedList) {
    if (!Has("command -v chromium"))
        GTEST_SKIP() << "chromium is not installed";
    ExportGrid g(12);
    g.Add("Category", "Category", 80, taLeftJustify);
    g.Add("Index", "No.", 60, taRightJustify)->SetSummaryFooterType(cstCount);
    g.Add("Item", "Address", 200, taLeftJustify);
    g.Add("Bounces", "Bounces", 70, taRightJustify);
    g.grid->SetShowSummaryFooter(true);
    g.grid->SetBorderStyle(bsSingle);
    g.Bind();
    g.grid->ColumnByFieldName("Category")->SetGroupIndex(0);
    const fs::path page = OutputDir() / "grouped.html";
    g.grid->SaveToHTML(page.string(), true);
    g.grid->SaveToXLS((OutputDir() / "grouped.xls").string(), true);
    TempFolder profile;
    const fs::path png = OutputDir() / "grouped.png";
    fs::remove(png);
    const Output shot = Shell(
        "timeout 120 chromium --headless --no-sandbox --disable-gpu "
        "--user-data-dir=" +
        Quote(profile.path.string()) + " --screenshot=" + Quote(png.string()) +
        " --window-size=1024,768 " + Quote("file://" + page.string()));
    ASSERT_EQ(shot.status, 0);
    EXPECT_TRUE(fs::exists(png));
}

}  // namespace
}  // namespace grid::testing
