#pragma once

// The dialogs of list changes: the change of an address, the question of the
// sender method, the errors list and the reprocessing of one of its lines.

#include <string>
#include <string_view>

#include "platform/ui/controls.h"
#include "platform/ui/form.h"

namespace app {

class EntryProcessor;
class ErrorsList;

class TdlgChangeAddress : public ui::TForm {
  public:
    explicit TdlgChangeAddress(QWidget* owner);

    ui::TLabel* Label1;
    ui::TEdit* edtOldAddress;
    ui::TEdit* edtNewAddress;
    ui::TCheckBox* chkIgnoreRules;
    ui::TButton* btnOK;
    ui::TButton* btnCancel;
};

// Shows the change dialog with both addresses; on OK changes every row of the
// edited old address (the ignore-rules box is the exception-list check) and
// answers true.
bool PromptToModifyAddress(QWidget* owner, EntryProcessor& entries, std::string_view old_address,
                           std::string_view new_address, bool show_ignore_rules);

class TdlgSenderMethod : public ui::TForm {
  public:
    TdlgSenderMethod(QWidget* owner, std::string_view message, bool always_show);

    ui::TLabel* lblMessage;
    ui::TCheckBox* chkAlwaysShow;
    ui::TButton* btnYes;
    ui::TButton* btnNo;
};

// The sender-method question; Yes answers true; always_show gets the box.
bool PromptSenderMethodChange(QWidget* owner, std::string_view message, bool& always_show);

class Tdlgreprocess : public ui::TForm {
  public:
    Tdlgreprocess(QWidget* owner, EntryProcessor& entries);

    void FormShow();
    void edtemailChange();

    ui::TRadioButton* rdbadd;
    ui::TRadioButton* rdbremove;
    ui::TEdit* edtemail;
    ui::TComboBox* edtcategory;
    ui::TCheckBox* chkIgnoreRules;
    ui::TMemo* memReason;
    ui::TButton* btnOK;
    ui::TButton* btnCancel;

  private:
    EntryProcessor& entries_;
};

class Tdlgerrors : public ui::TForm {
  public:
    Tdlgerrors(QWidget* owner, EntryProcessor& entries, ErrorsList& errors);

    void FormShow();
    void lbxerrorsClick();
    void btndeleteentryClick();
    void btnreprocessClick();
    // Puts the errors list into the list box (and back).
    void LoadLines();
    void StoreLines();

    ui::TListBox* lbxerrors;
    // Why the current line was refused; every line also tells it as its tool tip.
    ui::TMemo* memReason;
    ui::TButton* btnreprocess;
    ui::TButton* btndeleteentry;
    ui::TButton* btnClose;

  private:
    std::string LineReason(const std::string& line);

    EntryProcessor& entries_;
    ErrorsList& errors_;
};

}  // namespace app
