#pragma once

// The grid as one HTML 3.2 page holding one table: a style sheet with five classes built
// from the grid's fonts (Band, Header, Footer, RowFooter, Group), then one line per table
// row (band, header, group, data, row-footer and footer rows), each ending in CR LF. The
// page is Windows-1252 and says so in its head. Every text is escaped: names and addresses
// come from incoming mail.

#include <string>
#include <string_view>

#include "grid/export/grid_export.h"

namespace ui {
class TFont;
}

namespace grid {

class TgxDBGridExportHTML : public TgxDBGridExport {
  public:
    void WriteHeader() override;
    void WriteFooter() override;
    void WriteHeaders() override;
    void WriteSummaryFooter() override;
    void WriteNode(TgxTreeListNode* node) override;

  private:
    void WriteLine(std::string_view text);
    // Visits the visible columns in layout order; first is set for band 0, row 0, place 0.
    template <class Visit>
    void ForEachVisibleColumn(Visit visit) const;
    static void StyledText(std::string& out, const ui::TFont& font, std::string_view utf8);
};

}  // namespace grid
