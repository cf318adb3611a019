#pragma once

// Manual entry: addresses typed, pasted or loaded, one a line, added to a category,
// removed, or counted as undeliverable.

#include "app/forms/main_window.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace app {

class TdlgEnterMore : public ui::TForm {
  public:
    TdlgEnterMore(QWidget* owner, ListServices services, ProgressReport progress);

    void FormShow();
    void meminChange();
    void rdbremoveallClick();
    void btnProcessAllClick();
    void btnLoadClick();
    void btnPasteClick() { memin->PasteFromClipboard(); }

    ui::TLabel* lblHeading;
    ui::TMemo* memin;
    ui::TLabel* Label1;
    ui::TRadioButton* rdbadd;
    ui::TLabel* lblcategory;
    ui::TComboBox* edtcategory;
    ui::TRadioButton* rdbremove;
    ui::TRadioButton* rdbremoveall;
    ui::TRadioButton* rdbremovecat;
    ui::TComboBox* edtremovecat;
    ui::TRadioButton* rdbbounce;
    ui::TButton* btnProcessAll;
    ui::TButton* btnCancel;
    ui::TButton* BitBtn2;
    ui::TButton* btnLoad;
    ui::TButton* btnPaste;

  private:
    ListServices services_;
    ProgressReport progress_;
};

}  // namespace app
