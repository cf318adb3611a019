#pragma once

// The open-database dialog: chooses, and if asked creates, the folder that holds or is to
// hold the list database. Opening it is the caller's.

#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace support {
class TShellTree;
}

namespace app {

class TdlgOpenDB : public ui::TForm {
  public:
    explicit TdlgOpenDB(QWidget* owner);
    ~TdlgOpenDB() override;

    void edtpathChange();
    void BitBtn1Click();
    void ShellTree1Change();

    ui::TLabel* lblExplanation;
    ui::TEdit* edtpath;
    support::TShellTree* ShellTree1;
    ui::TButton* BitBtn1;
    ui::TButton* btnCancel;
};

}  // namespace app
