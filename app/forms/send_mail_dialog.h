#pragma once

// "Send message to your mailing list": the recipient choice, the message and
// its attachments, and the buttons that start a mail-out or a test send. The
// run itself is the mail-out's; this form only shows it.

#include <chrono>
#include <memory>
#include <string>

#include "app/forms/main_window.h"
#include "app/forms/send_dialogs.h"
#include "app/mail/mail_out.h"
#include "app/mail/message_editor.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "platform/ui/page_control.h"

class QMenu;

namespace support {
class TFormPlacement;
class TShowHTML;
}  // namespace support

namespace app {

// The help pages of the send dialog, the recipient choice and the merge fields.
inline constexpr int kSendHelp = 305;
inline constexpr int kCustomisationHelp = 3001;
inline constexpr int kRecipientHelp = 3002;

class TdlgSendMail : public ui::TForm {
  public:
    TdlgSendMail(Tfrmmain& main, ListServices services, MailContext& context,
                 TdlgAddRecip& add_recip);
    ~TdlgSendMail() override;

    void FormShow();
    void FormClose();
    void rdballClick();
    void btnrecalcClick();
    void ProcessManual();
    void Button2Click();
    void SendTestClick();
    void btnAddRecipClick();
    void chkvalidityClick();
    void btnAttachClick();
    void btnRemoveAttachClick();
    // Esc asks whether to close the dialog.
    void FormKeyPress(char32_t key);
    // The address book of "T&o..." and "&CC..." in the extra-recipients dialog.
    void ToButtonClick();
    void btnfieldClick();
    // Hands the message to the external editor and reads it back after OK.
    void btnEditorClick();

    MailOut& Run() { return *run_; }

    ui::TRadioButton* rdball;
    ui::TRadioButton* rdbfilter;
    ui::TRadioButton* rdbnotfilter;
    ui::TRadioButton* rdbManual;
    ui::TEdit* edtfilter;
    ui::TEdit* edtnotfilter;
    ui::TLabel* lblcount;
    ui::TButton* btnrecalc;
    ui::TGroupBox* grpManual;
    ui::TMemo* memCustom;
    ui::TCheckBox* chkvalidity;
    ui::TLabel* lblrejects;
    ui::TMemo* memrejects;
    ui::TEdit* edtMessageSubject;
    ui::TPageControl* pgcMessage;
    ui::TTabSheet* tabBody;
    ui::TTabSheet* tabPreview;
    ui::TMemo* edtMessageText;
    support::TShowHTML* ShowHTML;
    ui::TCheckBox* chkHTML;
    ui::TCheckBox* chkDoAddSalutation;
    ui::TLabel* lblAttach;
    ui::TListBox* lbAttach;
    ui::TListBox* lbBCC;
    ui::TButton* btnEditor;
    ui::TButton* btnfield;
    ui::TButton* Label2;
    QMenu* popField;
    ui::TButton* btnAddRecip;
    ui::TButton* btnsendbulk;
    ui::TButton* btnsendtest;
    ui::TButton* btnCancel;
    ui::TButton* BitBtn3;  // "&Help"

    // Shows the editor text on the preview page when that page is open.
    void ShowPreview();
    void chkHTMLClick();
    void btnLoadEmailClick(std::string_view path);
    void SpeedButton1Click();
    // Inserts a merge field at the caret after the personalisation check.
    void InsertSalutationClick(std::string_view field);
    const PreviewFile& Preview() const { return preview_; }
    const EditorFile& EditorCopy() const { return editor_file_; }
    // Keeps the dialog's place, size and state from one opening to the next.
    std::unique_ptr<support::TFormPlacement> FormPlacement1;

  private:
    // The constructor's steps: the controls of each area, then their events.
    void BuildRecipientChoice();
    void BuildManualEntry();
    void BuildMessagePages();
    void BuildFieldMenu();
    void BuildEditorMenu();
    void BuildOptionsRow();
    void BuildAttachments();
    void BuildButtons();
    void WireEvents();
    void WireRun();
    void TakeMessage();
    // The batch as the run left it, back into the hidden list.
    void GiveBackBatch();

    Tfrmmain& main_;
    ListServices services_;
    TdlgAddRecip& add_recip_;
    std::unique_ptr<MailOut> run_;
    PreviewFile preview_;
    EditorFile editor_file_;
    // The caption the progress display shows, and when it is next brought up to date.
    std::string progress_caption_;
    std::chrono::steady_clock::time_point progress_due_;
};

// The main window's send command: the two dialogs, shown and freed.
void SendEmailToList(Tfrmmain& main, ListServices services, MailContext& context);

}  // namespace app
