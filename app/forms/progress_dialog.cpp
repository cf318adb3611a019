#include "app/forms/progress_dialog.h"

#include <QVBoxLayout>

#include "app/list/cancel_flag.h"
#include "app/routines/text_routines.h"

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
    btnCancel->OnClick = [] { SetCancelled(true); };
}

void TdlgProgress::SetCancellable(bool cancellable) {
    btnCancel->SetVisible(cancellable);
    adjustSize();
}

}  // namespace app
