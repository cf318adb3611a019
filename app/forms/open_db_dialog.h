#pragma once

// The open-database dialog: chooses, and if asked creates, the folder that holds or is to
// hold the list database. Opening it is the caller's.

#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace app {

class TdlgOpenDB : public ui::TForm {
  public:
    explicit TdlgOpenDB(QWidget* owner);

    void edtpathChange();
    void BitBtn1Click();

    ui::TLabel* lblExplanation;
    ui::TEdit* edtpath;
    // The folder tree's place.
    ui::TPanel* pnlTree;
    ui::TButton* BitBtn1;
    ui::TButton* btnCancel;
};

}  // namespace app
