#pragma once

// The daily statistics: a grid over the statistics table with the day's counts and notes,
// footers summing each count, and exports of the grid as a page or a spreadsheet.

#include <functional>

#include "platform/db/component.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace db {
class TDataSet;
class TDataSource;
}  // namespace db

namespace grid {
class TgxDBGrid;
}

namespace app {

class TdlgStats : public ui::TForm {
  public:
    TdlgStats(QWidget* owner, db::TDataSet& stats);
    ~TdlgStats() override;

    // The main window's grid export (spreadsheet or HTML page) run on this dialog's grid.
    std::function<void(bool spreadsheet, grid::TgxDBGrid& grid)> OnSaveToFile;

    grid::TgxDBGrid* gxDBGrid1;
    ui::TButton* btnClose;
    ui::TButton* btnHTML;
    ui::TButton* btnXLS;

  private:
    db::ComponentPtr<db::TDataSource> dscStats_;
};

}  // namespace app
