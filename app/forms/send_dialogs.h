#pragma once

// The small dialogs of a mail-out: the extra To and CC addresses every message
// carries, the countdown between staggered messages and the report of one
// failed message.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "platform/ui/timer.h"

namespace app {

// A flat button drawn as a link: the class library's clickable label.
inline constexpr const char* kLinkStyle =
    "QPushButton { color: palette(link); text-decoration: underline; border: none; "
    "text-align: left; padding: 2px; }";

// Removes the list's current line and selects the line now at its place (or
// the last one); with no current line it beeps and makes the first current.
void DeleteCurrentTListboxItem(ui::TListBox& list);
// Runs the action when Delete is pressed in the widget.
void OnDeleteKey(QWidget& widget, std::function<void()> action);

class TdlgAddRecip : public ui::TForm {
  public:
    explicit TdlgAddRecip(QWidget* owner);

    // Applies the address rule to the edit of the sender (To or CC).
    void btnToAddClick(bool cc);
    void btnToRemoveClick(bool cc);
    std::vector<std::string> ToList() const;
    std::vector<std::string> CCList() const;
    void SetToList(const std::vector<std::string>& list);
    void SetCCList(const std::vector<std::string>& list);
    // "T&o..." and "&CC...": the send dialog's address book.
    void ToButtonClick();

    std::function<void()> OnAddressBook;
    // The address rule (the mail-out's AddAddress); appends to the list.
    std::function<void(std::vector<std::string>&, std::string_view)> ApplyAddressRule;

    ui::TButton* ToButton;
    ui::TButton* CCButton;
    ui::TEdit* Recipient;
    ui::TEdit* CC;
    ui::TListBox* lbTo;
    ui::TListBox* lbCC;
    ui::TButton* btnToAdd;
    ui::TButton* btnToRemove;
    ui::TButton* btnCCAdd;
    ui::TButton* btnCCRemove;
};

class TdlgStagger : public ui::TForm {
  public:
    TdlgStagger(QWidget* owner, int delay_seconds);

    void FormShow();
    void Timer1Timer();

    ui::TSpinEdit* SpinEdit1;
    ui::TButton* btnSkip;
    ui::TButton* btnCancel;
    ui::TButton* btnSkipAll;
    ui::TTimer Timer1;

  private:
    int delay_;
};

class TdlgSendError : public ui::TForm {
  public:
    TdlgSendError(QWidget* owner, std::string_view text);

    ui::TLabel* lblError;
    ui::TCheckBox* chkHideErrors;
};

// Shows one report unless hidden; Abort asks whether to stop the run. Answers
// the new hide flag.
bool ShowSendError(QWidget* owner, std::string_view text, bool hidden);

}  // namespace app
