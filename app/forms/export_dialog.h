#pragma once

// The export choice, and the export dialog that writes the list as delimited text or
// prints it.

#include "app/list/export_list.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace strata {
class TStrataTable;
}

namespace app {

class TdlgExportOption : public ui::TForm {
  public:
    explicit TdlgExportOption(QWidget* owner);
    ui::TRadioButton* rdbCSV;
    ui::TRadioButton* rdbXLS;
    ui::TRadioButton* rdbHTML;
    ui::TButton* btnOK;
    ui::TButton* btnCancel;
};

class TdlgExport : public ui::TForm {
  public:
    TdlgExport(QWidget* owner, strata::TStrataTable& table, ProgressReport progress);

    void FormShow();
    void saveClick();
    void btnokClick();
    // What OK asks for, from the dialog's controls.
    ExportRequest Request() const;
    // The result of the last export or print.
    bool Succeeded() const { return succeeded_; }

    ui::TLabel* lblFile;
    ui::TEdit* edtfile;
    ui::TButton* btnSave;
    ui::TLabel* lblDelimit;
    ui::TEdit* edtdelimit;
    ui::TLabel* lblFields;
    ui::TCheckListBox* cbxFields;
    ui::TCheckBox* chkPrint;
    ui::TButton* btnok;
    ui::TButton* btnCancel;
    ui::TButton* BitBtn2;

  private:
    strata::TStrataTable& table_;
    ProgressReport progress_;
    bool succeeded_ = false;
};

}  // namespace app
