#pragma once

// "Outlook Objects": the window of one check of a mail folder, with its
// gauge and its cancel button; the check itself runs in ExtractEntries.

#include <QTimer>

#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace app {

class ExtractEntries;
class ListDatabase;

class TfrmExtractentries : public ui::TForm {
  public:
    TfrmExtractentries(QWidget* owner, ExtractEntries& run, ListDatabase& database);

    void FormShow();
    void OpenBtnClick();
    void SpeedButton1Click();

    ui::TLabel* lblStatus;
    ui::TProgressBar* ProgressBar1;
    ui::TButton* SpeedButton1;
    ui::TButton* OpenBtn;
    QTimer* Timer1;

  private:
    ExtractEntries& run_;
    ListDatabase& database_;
};

}  // namespace app
