#pragma once

// Small grids to export, and the records of a worksheet split apart so that tests can
// compare them with bytes written out by hand.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "grid/export/grid_export.h"
#include "platform/db/stream.h"
#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {

// Bytes from hex pairs separated by blanks: "09 04 06 00".
inline std::string Hex(std::string_view pairs) {
    std::string out;
    for (std::size_t i = 0; i < pairs.size();) {
        if (pairs[i] == ' ') {
            ++i;
            continue;
        }
        out.push_back(static_cast<char>(std::stoi(std::string(pairs.substr(i, 2)), nullptr, 16)));
        i += 2;
    }
    return out;
}

inline std::string Le16(unsigned v) {
    return {static_cast<char>(v & 0xFF), static_cast<char>((v >> 8) & 0xFF)};
}

inline std::string Le32(std::uint32_t v) {
    return Le16(v & 0xFFFF) + Le16(v >> 16);
}

// Worksheet cell records as a spreadsheet program reads them.
inline std::string LabelRec(unsigned row, unsigned col, unsigned xf, std::string_view text) {
    return Hex("04 02") + Le16(8 + static_cast<unsigned>(text.size())) + Le16(row) + Le16(col) +
           Le16(xf) + Le16(static_cast<unsigned>(text.size())) + std::string(text);
}
inline std::string BlankRec(unsigned row, unsigned col, unsigned xf) {
    return Hex("01 02 06 00") + Le16(row) + Le16(col) + Le16(xf);
}
inline std::string RkRec(unsigned row, unsigned col, unsigned xf, std::int32_t value) {
    return Hex("7E 02 0A 00") + Le16(row) + Le16(col) + Le16(xf) +
           Le32(static_cast<std::uint32_t>(value) * 4 + 2);
}
inline std::string NumberRec(unsigned row, unsigned col, unsigned xf, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return Hex("03 02 0E 00") + Le16(row) + Le16(col) + Le16(xf) +
           Le32(static_cast<std::uint32_t>(bits)) + Le32(static_cast<std::uint32_t>(bits >> 32));
}
// first/last data rows, sheet column, function bytes.
inline std::string FormulaRec(unsigned row, unsigned col, unsigned first, unsigned last,
                              unsigned source, std::string_view function) {
    return Hex("06 04 1D 00") + Le16(row) + Le16(col) + Le16(24) + std::string(8, '\0') +
           Hex("03 00 0B 00 25") + Le16(first | 0xC000) + Le16(last | 0xC000) +
           std::string(1, static_cast<char>(source)) + std::string(1, static_cast<char>(source)) +
           Hex(function);
}

struct Record {
    unsigned number = 0;
    std::string data;
    std::string bytes;  // the whole record, header included
};

inline std::vector<Record> SplitRecords(std::string_view file) {
    std::vector<Record> out;
    std::size_t pos = 0;
    while (pos + 4 <= file.size()) {
        const unsigned number = static_cast<unsigned char>(file[pos]) |
                                (static_cast<unsigned char>(file[pos + 1]) << 8);
        const unsigned length = static_cast<unsigned char>(file[pos + 2]) |
                                (static_cast<unsigned char>(file[pos + 3]) << 8);
        EXPECT_LE(pos + 4 + length, file.size()) << "record runs past the end";
        out.push_back({number, std::string(file.substr(pos + 4, length)),
                       std::string(file.substr(pos, 4 + length))});
        pos += 4 + length;
    }
    EXPECT_EQ(pos, file.size());
    return out;
}

// The cell records: everything after DIMENSIONS and before EOF.
inline std::vector<std::string> Cells(std::string_view file) {
    std::vector<std::string> cells;
    bool in_cells = false;
    for (const Record& r : SplitRecords(file)) {
        if (r.number == 0x0200) {
            in_cells = true;
        } else if (r.number == 0x000A) {
            break;
        } else if (in_cells) {
            cells.push_back(r.bytes);
        }
    }
    return cells;
}

// Everything an exporter wrote, without a file.
inline std::string ExportToMemory(TgxDBGridExport& exporter, TCustomgxDBGrid* grid,
                                  bool save_all = true) {
    db::TMemoryStream stream;
    exporter.Grid = grid;
    exporter.SaveAll = save_all;
    exporter.Stream = &stream;
    exporter.WriteToStream();
    exporter.Stream = nullptr;
    return std::string(reinterpret_cast<const char*>(stream.Memory()),
                       static_cast<std::size_t>(stream.Size()));
}

// The list table in memory with two or more columns, fonts and colours fixed so that the
// exported palette and fonts are known.
struct ExportGrid : GridHarness {
    MemList list;
    explicit ExportGrid(int rows, bool load_all = true) : GridHarness(600, 300), list(rows) {
        grid->Font().SetName("Tahoma");
        grid->Font().SetSize(8);
        grid->Font().SetColor(ui::clBlack);
        grid->HeaderFont().SetName("Verdana");
        grid->HeaderFont().SetSize(9);
        grid->HeaderFont().SetStyle(static_cast<unsigned>(ui::fsBold));
        grid->HeaderFont().SetColor(ui::clNavy);
        grid->BandFont().SetName("Arial");
        grid->BandFont().SetSize(8);
        grid->BandFont().SetStyle(static_cast<unsigned>(ui::fsItalic));
        grid->BandFont().SetColor(ui::clMaroon);
        grid->HeaderColor = ui::clSilver;
        grid->GroupNodeColor = ui::clGray;
        grid->SetColor(ui::clWhite);
        grid->BandColor = ui::clTeal;
        grid->RowFooterTextColor = ui::clPurple;
        grid->RowFooterColor = ui::clYellow;
        grid->GridLineColor = ui::clRed;
        grid->SetShowGrid(true);
        grid->SetShowBands(false);
        grid->SetShowHeader(true);
        if (load_all)
            grid->SetOptions(grid->Options() | egoLoadAllRecords);
    }
    TgxDBTreeListColumn* Add(std::string_view field, std::string_view caption, int width,
                             TAlignment alignment) {
        TgxDBTreeListColumn* c = Column(field);
        c->SetCaption(caption);
        c->SetWidth(width);
        c->SetAlignment(alignment);
        return c;
    }
    // The caption of the first band, which holds every column.
    void BandCaption(std::string_view caption) {
        if (grid->Bands().Count() == 0)
            grid->Bands().Add();
        grid->Bands().Items(0)->SetCaption(caption);
    }
    void Bind() {
        grid->SetKeyField("Index");
        grid->SetDataSource(list.source.get());
    }
};

}  // namespace grid::testing
