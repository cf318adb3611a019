#include "grid/export/export_excel.h"

#include <algorithm>
#include <cassert>
#include <string>

#include "grid/data/db_grid.h"
#include "grid/export/export_text.h"
#include "platform/db/field.h"
#include "platform/db/names.h"
#include "platform/os/byte_order.h"

namespace grid {
namespace {

using platform::os::AppendDouble;
using platform::os::AppendLittle;

constexpr std::uint16_t kBof = 0x0409, kCodePage = 0x0042, kGuts = 0x0080, kPalette = 0x0092,
                        kFont = 0x0231, kXf = 0x0443, kColInfo = 0x007D, kDimensions = 0x0200,
                        kLabel = 0x0204, kBlank = 0x0201, kNumber = 0x0203, kRk = 0x027E,
                        kFormula = 0x0406, kEof = 0x000A;

// Fixed cell formats by index.
constexpr std::uint16_t kXfDefault = 15, kXfHeader = 22, kXfGroup = 23, kXfFormula = 24,
                        kXfFooterBlank = 25, kXfBand = 26, kXfRowFooter = 27,
                        kXfRowFooterBlank = 28, kXfFirstColumn = 29;
constexpr int kFirstColumnFont = 10;
// A BIFF4 worksheet holds 16,384 rows (readers refuse a file with more, although a cell
// record's row field could name 65,536) and 256 columns.
constexpr std::int64_t kLastRow = 0x3FFF, kLastColumn = 0xFF;
// The range an RK integer holds: 30 bits, signed.
constexpr std::int64_t kRkMin = -(std::int64_t{1} << 29), kRkMax = (std::int64_t{1} << 29) - 1;
// A LABEL record's 16-bit length also counts the cell's place, format and text length.
constexpr std::size_t kMaxLabelBytes = 0xFFFF - 8;
// Memo texts are cut here; every other text goes whole.
constexpr std::size_t kMaxMemoCharacters = 255;

void PutBytes(std::string& out, std::initializer_list<unsigned> bytes) {
    for (unsigned b : bytes)
        AppendLittle<std::uint8_t>(out, b);
}

void PutColour(std::string& out, ui::Color colour) {
    if (colour.IsNone()) {
        PutBytes(out, {0, 0, 0, 0});
        return;
    }
    PutBytes(out, {static_cast<unsigned>(colour.Red()), static_cast<unsigned>(colour.Green()),
                   static_cast<unsigned>(colour.Blue()), 0});
}

bool IsIntegerField(db::TFieldType type) {
    return type == db::ftSmallint || type == db::ftInteger || type == db::ftWord ||
           type == db::ftAutoInc;
}
bool IsFloatField(db::TFieldType type) {
    return type == db::ftFloat || type == db::ftCurrency || type == db::ftBCD;
}

}  // namespace

int TgxDBGridExportExcel::GroupCount() const {
    return Grid->GetGroupColumnCount();
}

void TgxDBGridExportExcel::Record(std::uint16_t number, std::string_view data) {
    assert(data.size() <= 0xFFFF);
    std::string record;
    record.reserve(4 + data.size());
    AppendLittle<std::uint16_t>(record, number);
    AppendLittle<std::uint16_t>(record, static_cast<unsigned>(data.size()));
    record += data;
    Write(record);
}

std::string TgxDBGridExportExcel::CellHead(std::int64_t row, std::int64_t column,
                                           std::uint16_t xf) const {
    if (row < 0 || row > kLastRow)
        throw EgxExportError("The worksheet cannot hold more than 16384 rows.");
    if (column < 0 || column > kLastColumn)
        throw EgxExportError("The worksheet cannot hold more than 256 columns.");
    std::string data;
    data.reserve(32);
    AppendLittle<std::uint16_t>(data, static_cast<unsigned>(row));
    AppendLittle<std::uint16_t>(data, static_cast<unsigned>(column));
    AppendLittle<std::uint16_t>(data, xf);
    return data;
}

void TgxDBGridExportExcel::Blank(std::int64_t row, std::int64_t column, std::uint16_t xf) {
    Record(kBlank, CellHead(row, column, xf));
}

void TgxDBGridExportExcel::Label(std::int64_t row, std::int64_t column, std::uint16_t xf,
                                 std::string_view utf8, std::size_t max_characters) {
    std::string text = ToWorksheetText(utf8, code_page_);
    // One byte a character in the worksheet's code page.
    if (text.size() > max_characters)
        text.resize(max_characters);
    if (text.size() > kMaxLabelBytes)
        throw EgxExportError(
            "A text of more than 65527 characters does not fit in a worksheet "
            "cell.");
    std::string data = CellHead(row, column, xf);
    AppendLittle<std::uint16_t>(data, static_cast<unsigned>(text.size()));
    data += text;
    Record(kLabel, data);
}

void TgxDBGridExportExcel::Number(std::int64_t row, std::int64_t column, std::uint16_t xf,
                                  double value) {
    std::string data = CellHead(row, column, xf);
    AppendDouble(data, value);
    Record(kNumber, data);
}

void TgxDBGridExportExcel::Integer(std::int64_t row, std::int64_t column, std::uint16_t xf,
                                   std::int64_t value) {
    if (value < kRkMin || value > kRkMax) {
        Number(row, column, xf, static_cast<double>(value));
        return;
    }
    std::string data = CellHead(row, column, xf);
    AppendLittle<std::uint32_t>(data, static_cast<std::uint32_t>(value * 4 + 2));
    Record(kRk, data);
}

void TgxDBGridExportExcel::WriteHeader() {
    ColumnCount = 0;
    const int g = GroupCount();
    for (int b = 0; b < Grid->GetBandCount(); ++b)
        for (int r = 0; r < Grid->GetHeaderRowCount(b); ++r)
            for (int p = 0; p < Grid->GetHeaderColCount(b, r); ++p) {
                const int i = Grid->GetHeaderAbsoluteIndex(b, r, p);
                if (i < 0 || !Grid->IsColumnVisible(i))
                    continue;
                if (g + ColumnCount > kLastColumn)
                    throw EgxExportError("The worksheet cannot hold more than 256 columns.");
                Columns[static_cast<std::size_t>(ColumnCount++)] = i;
            }

    // The table's own code page holds every character of its texts; a reader told nothing
    // takes them as Latin-1, which turns Cyrillic names, the euro sign and curly quotes into
    // other letters and control characters.
    code_page_ = platform::nls::CodePage::Western;
    if (Grid->DataSource() != nullptr && Grid->DataSource()->DataSet() != nullptr)
        code_page_ = Grid->DataSource()->DataSet()->TextCodePage();
    std::string data;
    PutBytes(data, {0x00, 0x00, 0x10, 0x00, 0x00, 0x00});
    Record(kBof, data);
    data.clear();
    AppendLittle<std::uint16_t>(data, static_cast<unsigned>(code_page_));
    Record(kCodePage, data);
    Record(kGuts, std::string(8, '\0'));

    data.clear();
    AppendLittle<std::uint16_t>(data, 13);
    for (ui::Color colour :
         {Grid->HeaderFont().GetColor(), Grid->HeaderColor, Grid->GroupNodeTextColor,
          Grid->GroupNodeColor, Grid->Font().GetColor(), Grid->GetColor(), ui::clWindowFrame,
          ui::clWindow, Grid->BandFont().GetColor(), Grid->BandColor, Grid->RowFooterTextColor,
          Grid->RowFooterColor, Grid->GridLineColor})
        PutColour(data, colour);
    Record(kPalette, data);

    for (int i = 0; i < 4; ++i) {
        data.clear();
        PutBytes(data, {0xC8, 0x00, 0x00, 0x00, 0xFF, 0x7F, 0x05});
        data += "Arial";
        Record(kFont, data);
    }
    const auto font = [&](const ui::TFont& f, unsigned colour_index) {
        std::string name = ToWorksheetText(f.Name(), code_page_);
        if (name.size() > 0xFF)
            name.resize(0xFF);
        std::string d;
        AppendLittle<std::uint16_t>(d, static_cast<unsigned>(std::clamp(f.Size() * 20, 0, 0xFFFF)));
        AppendLittle<std::uint16_t>(d, f.Style() & 0x0F);
        AppendLittle<std::uint16_t>(d, colour_index);
        AppendLittle<std::uint8_t>(d, static_cast<unsigned>(name.size()));
        d += name;
        Record(kFont, d);
    };
    font(Grid->Font(), 12);
    font(Grid->HeaderFont(), 8);
    font(Grid->Font(), 10);
    font(Grid->BandFont(), 16);
    font(Grid->Font(), 18);
    // A cell format names its font in one byte: columns past that share the grid font.
    const int own_fonts = std::min<int>(ColumnCount, 0xFF - kFirstColumnFont + 1);
    for (int k = 0; k < own_fonts; ++k)
        font(Grid->GetColumnFont(Columns[static_cast<std::size_t>(k)]), 12);

    const unsigned b = Grid->ShowGrid() ? 0xA1 : 0x00;
    const auto xf = [&](std::initializer_list<unsigned> bytes) {
        std::string d;
        PutBytes(d, bytes);
        Record(kXf, d);
    };
    xf({0x00, 0x00, 0xF5, 0xFF, 0x20, 0x00, 0x00, 0xCE, 0x00, 0x00, 0x00, 0x00});
    for (int i = 0; i < 2; ++i)
        xf({0x01, 0x00, 0xF5, 0xFF, 0x20, 0xF4, 0x00, 0xCE, 0x00, 0x00, 0x00, 0x00});
    for (int i = 0; i < 2; ++i)
        xf({0x02, 0x00, 0xF5, 0xFF, 0x20, 0xF4, 0x00, 0xCE, 0x00, 0x00, 0x00, 0x00});
    for (int i = 0; i < 10; ++i)
        xf({0x00, 0x00, 0xF5, 0xFF, 0x20, 0xF4, 0x00, 0xCE, 0x00, 0x00, 0x00, 0x00});
    xf({0x00, 0x00, 0x01, 0x00, 0x20, 0x00, 0x00, 0xCE, 0x00, 0x00, 0x00, 0x00});
    for (unsigned format : {0x21u, 0x1Fu, 0x20u, 0x1Eu, 0x0Du})
        xf({0x01, format, 0xF5, 0xFF, 0x20, 0xF8, 0x00, 0xCE, 0x00, 0x00, 0x00, 0x00});
    xf({0x05, 0x00, 0x01, 0x00, 0x21, 0x78, 0x41, 0x03, b, b, b, b});
    xf({0x06, 0x00, 0x01, 0x00, 0x22, 0x78, 0x41, 0x02, 0x71, 0x71, 0x71, 0x71});
    xf({0x07, 0x00, 0x01, 0x00, 0x21, 0x78, 0xC1, 0x02, 0x00, 0x00, 0x00, 0x00});
    xf({0x05, 0x00, 0x01, 0x00, 0x22, 0x78, 0xC1, 0x02, 0xB9, 0xB9, 0xB9, 0xB9});
    xf({0x05, 0x00, 0x01, 0x00, 0x22, 0x78, 0xC1, 0x02, 0xB9, 0x00, 0xB9, 0x00});
    xf({0x08, 0x00, 0x01, 0x00, 0x22, 0x78, 0x41, 0x02, 0x71, 0x71, 0x71, 0x00});
    xf({0x09, 0x00, 0x01, 0x00, 0x21, 0x78, 0xC1, 0x02, 0xB9, 0xB9, 0xB9, 0xB9});
    xf({0x09, 0x00, 0x01, 0x00, 0x21, 0x78, 0xC1, 0x02, 0xB9, 0x00, 0xB9, 0x00});
    for (int k = 0; k < ColumnCount; ++k) {
        const TgxDBTreeListColumn* column = Grid->GetColumn(Columns[static_cast<std::size_t>(k)]);
        const TAlignment alignment = column != nullptr ? column->Alignment() : taLeftJustify;
        const unsigned a = alignment == taRightJustify ? 0x23 : alignment == taCenter ? 0x22 : 0x21;
        const unsigned font_index = k < own_fonts ? static_cast<unsigned>(kFirstColumnFont + k) : 5;
        xf({font_index, 0x00, 0x01, 0x00, a, 0x78, 0x41, 0x03, b, b, b, b});
    }

    const auto colinfo = [&](int column, int width) {
        std::string d;
        AppendLittle<std::uint16_t>(d, static_cast<unsigned>(column));
        AppendLittle<std::uint16_t>(d, static_cast<unsigned>(column));
        AppendLittle<std::uint16_t>(d, static_cast<unsigned>(std::clamp(width, 0, 0xFFFF)));
        AppendLittle<std::uint16_t>(d, kXfDefault);
        AppendLittle<std::uint16_t>(d, 0);
        AppendLittle<std::uint16_t>(d, 0);
        Record(kColInfo, d);
    };
    for (int c = 0; c < g; ++c)
        colinfo(c, 400);
    for (int k = 0; k < ColumnCount; ++k)
        colinfo(g + k, Grid->GetHeaderWidth(Columns[static_cast<std::size_t>(k)]) * 36);

    data.clear();
    PutBytes(data, {0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0x00, 0x00, 0x00});
    Record(kDimensions, data);
}

void TgxDBGridExportExcel::WriteHeaders() {
    const int g = GroupCount();
    first_data_row_ = (Grid->ShowBands() ? 1 : 0) + (Grid->ShowHeader() ? 1 : 0);
    if (Grid->ShowBands()) {
        for (int c = 0; c < g + ColumnCount; ++c)
            Blank(RowIndex, c, kXfGroup);
        int offset = 0;
        for (int b = 0; b < Grid->GetBandCount(); ++b) {
            Label(RowIndex, g + offset, kXfBand, Grid->GetBandText(b));
            for (int r = 0; r < Grid->GetHeaderRowCount(b); ++r)
                offset += Grid->GetHeaderColCount(b, r);
        }
        ++RowIndex;
    }
    if (Grid->ShowHeader()) {
        for (int c = 0; c < g; ++c)
            Blank(RowIndex, c, kXfGroup);
        for (int k = 0; k < ColumnCount; ++k)
            Label(RowIndex, g + k, kXfHeader,
                  Grid->GetHeaderText(Columns[static_cast<std::size_t>(k)]));
        ++RowIndex;
    }
}

void TgxDBGridExportExcel::WriteNode(TgxTreeListNode* node) {
    const int g = GroupCount();
    const std::int64_t row = RowIndex;
    const bool group_row = node != nullptr && node->HasChildren();
    if (g > 0 && node != nullptr) {
        const int level = node->Level();
        for (int c = 0; c < g; ++c) {
            TgxDBTreeListColumn* group_column = c == level ? Grid->GetGroupColumn(level) : nullptr;
            if (group_column != nullptr)
                Label(row, c, kXfGroup, node->Strings(group_column->GetIndex()));
            else
                Blank(row, c, kXfGroup);
        }
    }
    for (int k = 0; k < ColumnCount; ++k) {
        const int index = Columns[static_cast<std::size_t>(k)];
        const auto xf = static_cast<std::uint16_t>(kXfFirstColumn + k);
        const std::int64_t column = g + k;
        if (group_row) {
            Blank(row, column, kXfGroup);
            continue;
        }
        TgxDBTreeListColumn* c = Grid->GetColumn(index);
        db::TField* field = c != nullptr && !c->FieldName().empty() ? c->Field() : nullptr;
        if (field == nullptr) {
            Label(row, column, xf, {});
        } else if (IsIntegerField(field->DataType())) {
            if (node == nullptr) {
                Integer(row, column, xf, field->IsNull() ? 0 : field->AsInteger());
            } else {
                const db::Variant value = Grid->GetNodeVariant(node, index);
                Integer(row, column, xf, value.IsClear() ? 0 : value.AsInt64());
            }
        } else if (IsFloatField(field->DataType())) {
            if (node == nullptr) {
                Number(row, column, xf, field->IsNull() ? 0.0 : field->AsFloat());
            } else {
                const db::Variant value = Grid->GetNodeVariant(node, index);
                Number(row, column, xf, value.IsClear() ? 0.0 : value.AsDouble());
            }
        } else {
            Label(row, column, xf,
                  node == nullptr ? Grid->GetRecordText(index) : node->Strings(index),
                  field->DataType() == db::ftMemo ? kMaxMemoCharacters : kMaxLabelBytes);
        }
    }
    if (group_row || node == nullptr)
        return;
    for (int f = 0, n = Grid->GetNodeFooterCount(node); f < n; ++f) {
        ++RowIndex;
        const std::int64_t r = RowIndex;
        const int level = Grid->GetNodeFooterLevel(node, f);
        for (int c = 0; c <= level; ++c)
            Blank(r, c, kXfGroup);
        for (int k = 0; k < ColumnCount; ++k) {
            const int index = Columns[static_cast<std::size_t>(k)];
            if (Grid->IsExistRowFooterCell(node, index, level))
                Label(r, k == 0 ? level + 1 : g + k, kXfRowFooter,
                      Grid->GetRowFooterText(node, index, level));
            else
                Blank(r, g + k, kXfRowFooterBlank);
        }
        for (int c = g; c >= level + 2; --c)
            Blank(r, c, kXfRowFooterBlank);
    }
}

void TgxDBGridExportExcel::WriteSummaryFooter() {
    if (!Grid->ShowSummaryFooter())
        return;
    const int g = GroupCount();
    const std::int64_t row = RowIndex;
    for (int c = 0; c < g; ++c)
        Blank(row, c, kXfFooterBlank);
    const std::int64_t first = first_data_row_, last = row - 1;
    for (int k = 0; k < ColumnCount; ++k) {
        const TgxDBTreeListColumn* c = Grid->GetColumn(Columns[static_cast<std::size_t>(k)]);
        const TgxSummaryType type = c != nullptr ? c->SummaryFooterType() : cstNone;
        int source = -1;
        if (type == cstCount) {
            source = k;
        } else if (type != cstNone) {
            for (int j = 0; j < ColumnCount && source < 0; ++j) {
                const TgxDBTreeListColumn* other =
                    Grid->GetColumn(Columns[static_cast<std::size_t>(j)]);
                if (other != nullptr && db::SameName(other->FieldName(), c->SummaryFooterField()))
                    source = j;
            }
        }
        // No rows to refer to. Every row the sheet holds fits a formula's 14-bit row fields.
        if (type == cstNone || source < 0 || last < first) {
            Blank(row, g + k, kXfFooterBlank);
            continue;
        }
        std::string data = CellHead(row, g + k, kXfFormula);
        data.append(8, '\0');
        AppendLittle<std::uint16_t>(data, 0x0003);
        AppendLittle<std::uint16_t>(data, 0x000B);
        AppendLittle<std::uint8_t>(data, 0x25);
        AppendLittle<std::uint8_t>(data, static_cast<unsigned>(first));
        AppendLittle<std::uint8_t>(data, 0xC0);
        AppendLittle<std::uint8_t>(data, static_cast<unsigned>(last & 0xFF));
        AppendLittle<std::uint8_t>(data, static_cast<unsigned>((last >> 8) | 0xC0));
        AppendLittle<std::uint8_t>(data, static_cast<unsigned>(g + source));
        AppendLittle<std::uint8_t>(data, static_cast<unsigned>(g + source));
        switch (type) {
            case cstSum:
                PutBytes(data, {0x19, 0x10, 0x00, 0x00});
                break;
            case cstMin:
                PutBytes(data, {0x42, 0x01, 0x06, 0x00});
                break;
            case cstMax:
                PutBytes(data, {0x42, 0x01, 0x07, 0x00});
                break;
            case cstCount:
                PutBytes(data, {0x42, 0x01, 0xA9, 0x00});
                break;
            default:
                PutBytes(data, {0x42, 0x01, 0x05, 0x00});
                break;
        }
        Record(kFormula, data);
    }
}

void TgxDBGridExportExcel::WriteFooter() {
    Record(kEof, {});
}

}  // namespace grid
