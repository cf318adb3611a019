#pragma once

// The find dialog: up to three field conditions located on the list table.

#include <array>
#include <functional>

#include "app/list/find_entry.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace db {
class TDataSet;
}

namespace app {

class TdlgFind : public ui::TForm {
  public:
    TdlgFind(QWidget* owner, db::TDataSet& table);

    void FormShow();
    void chkpartialMatchesClick();
    void edtField1Change(int row);
    void BitBtn2Click();

    std::array<ui::TCheckBox*, 3> chkField;
    std::array<ui::TComboBox*, 3> cmbField;
    std::array<ui::TEdit*, 3> edtField;
    std::array<ui::TLabel*, 3> lblRelation;
    ui::TCheckBox* chkCaseInsensitive;
    ui::TCheckBox* chkpartialMatches;
    ui::TButton* BitBtn2;
    ui::TButton* btnCancel;
    // Selects the grid's focused row once the table stands on the entry found.
    std::function<void()> OnFound;
    // Makes the search in the grid's view of the table, so that the grid keeps its rows.
    LocateEntry Locate;

  private:
    db::TDataSet& table_;
};

}  // namespace app
