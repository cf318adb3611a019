#pragma once

// The progress display every long loop shares: a message, a gauge and, for loops that
// can stop, a Cancel button that sets the program's cancel flag.

#include <string_view>

#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace app {

class TdlgProgress : public ui::TForm {
  public:
    explicit TdlgProgress(QWidget* owner);
    void SetCancellable(bool cancellable);
    void SetMessage(std::string_view text) { lblMessage->SetCaption(text); }
    void SetPercent(int percent) { Gauge1->SetPosition(percent); }
    // Beeps and asks; the cancel flag takes the answer (No clears it again).
    void btnCancelClick();

    ui::TLabel* lblMessage;
    ui::TProgressBar* Gauge1;
    ui::TButton* btnCancel;
};

}  // namespace app
