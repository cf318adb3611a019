#pragma once

// The grid as one BIFF4 worksheet. Every record is a 16-bit number, a 16-bit length and
// that many bytes, all little-endian:
//
//   BOF         09 04 06 00  version 0, worksheet 0x0010, 0
//   CODEPAGE    42 00 02 00  the text's code page, that of the table shown (1252, E4 04,
//               for Western text), so readers need no hint
//   GUTS        80 00 08 00  eight zero bytes
//   PALETTE     92 00 36 00  count 13, colours 8-20 as R G B 0 (clNone as 0 0 0 0):
//               8 header font, 9 header, 10 group text, 11 group, 12 grid font, 13 grid,
//               14 window frame, 15 window, 16 band font, 17 band, 18 row-footer text,
//               19 row footer, 20 grid lines
//   FONT x4     31 02 0C 00  C8 00 00 00 FF 7F 05 "Arial"   (index 4 does not exist)
//   FONT        31 02 7+n    height in twips, style bits, colour index, n, name:
//               5 grid font (12), 6 header font (8), 7 grid font (10), 8 band font (16),
//               9 grid font (18), 10 + k font of exported column k (12)
//   XF          43 04 0C 00  29 fixed cell formats, then 29 + k per exported column
//   COLINFO     7D 00 0C 00  first, last, width (1/256 character), XF 15, 0, 0 per column
//   DIMENSIONS  00 02 0A 00  rows 0..FFFF, columns 0..FF, 0 (fixed, not the used range)
//   cells       LABEL 04 02, BLANK 01 02, NUMBER 03 02, RK 7E 02, FORMULA 06 04:
//               row, column, XF, then the value
//   EOF         0A 00 00 00
//
// Sheet columns 0 .. G-1 are the group indent columns of a grid grouped by G columns;
// exported column k lies in sheet column G + k. Rows are the driver's RowIndex.

#include <array>
#include <cstdint>
#include <string_view>

#include "grid/export/grid_export.h"
#include "platform/nls/nls.h"

namespace grid {

class TgxDBGridExportExcel : public TgxDBGridExport {
  public:
    // Grid column indexes of the exported columns, in sheet order.
    std::array<std::int32_t, 256> Columns{};
    std::int32_t ColumnCount = 0;

    void WriteHeader() override;
    void WriteFooter() override;
    void WriteHeaders() override;
    void WriteSummaryFooter() override;
    void WriteNode(TgxTreeListNode* node) override;

  private:
    void Record(std::uint16_t number, std::string_view data);
    void Blank(std::int64_t row, std::int64_t column, std::uint16_t xf);
    // Raises EgxExportError for a text the record cannot hold; max_characters cuts it first.
    void Label(std::int64_t row, std::int64_t column, std::uint16_t xf, std::string_view utf8,
               std::size_t max_characters = std::string_view::npos);
    void Number(std::int64_t row, std::int64_t column, std::uint16_t xf, double value);
    // An RK cell, or a NUMBER cell for an integer the RK form cannot hold.
    void Integer(std::int64_t row, std::int64_t column, std::uint16_t xf, std::int64_t value);
    std::string CellHead(std::int64_t row, std::int64_t column, std::uint16_t xf) const;
    int GroupCount() const;

    // The first sheet row of the data, which the footer formulas start at.
    std::int32_t first_data_row_ = 0;
    // The code page of every text in the sheet.
    platform::nls::CodePage code_page_ = platform::nls::CodePage::Western;
};

}  // namespace grid
