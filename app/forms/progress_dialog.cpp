#include "app/forms/progress_dialog.h"

#include <QVBoxLayout>

#include "app/list/cancel_flag.h"
#include "app/routines/text_routines.h"
#include "platform/ui/keys.h"
#include "platform/ui/prompt.h"

namespace app {

TdlgProgress::TdlgProgress(QWidget* owner)
    : ui::TForm(owner),
      lblMessage(new ui::TLabel(Client())),
      Gauge1(new ui::TProgressBar(Client())),
      btnCancel(new ui::TButton(Client(), "Cancel")) {
    SetCaption("Progress");
    SetPosition(ui::poMainFormCenter);
    setMinimumWidth(ScaleToScreen(360));
    ClientLayout()->addWidget(lblMessage);
    ClientLayout()->addWidget(Gauge1);
    ClientLayout()->addWidget(btnCancel, 0, Qt::AlignHCenter);
    btnCancel->SetVisible(false);
    btnCancel->OnClick = [this] { btnCancelClick(); };
}

void TdlgProgress::btnCancelClick() {
    ui::MessageBeep();
    SetCancelled(ui::MessageDlg("Are you sure you want to cancel processing?", ui::mtConfirmation,
                                ui::mbYesNo) == ui::mrYes);
}

void TdlgProgress::SetCancellable(bool cancellable) {
    btnCancel->SetVisible(cancellable);
    adjustSize();
}

}  // namespace app
