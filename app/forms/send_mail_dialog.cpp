#include "app/forms/send_mail_dialog.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QMenu>
#include <QTextBrowser>

#include "app/forms/progress_dialog.h"
#include "app/list/cancel_flag.h"
#include "app/list/category_filter.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/mail/acknowledgement.h"
#include "app/routines/text_routines.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/cursor.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/keys.h"
#include "platform/ui/prompt.h"
#include "support/show_html.h"

namespace app {
namespace {

std::vector<std::string> Items(const ui::TListBox& list) {
    std::vector<std::string> items;
    for (std::int64_t i = 0; i < list.Items().Count(); ++i)
        items.push_back(list.Items().Get(i));
    return items;
}

std::vector<std::string> Lines(const ui::TMemo& memo) {
    std::vector<std::string> lines;
    for (std::int64_t i = 0; i < memo.Lines().Count(); ++i)
        lines.push_back(memo.Lines().Get(i));
    return lines;
}

}  // namespace

TdlgSendMail::TdlgSendMail(Tfrmmain& main, ListServices services, MailContext& context,
                           TdlgAddRecip& add_recip)
    : ui::TForm(&main), main_(main), services_(services), add_recip_(add_recip) {
    SetCaption("Send message to your mailing list");
    SetPosition(ui::poMainFormCenter);
    SetHelpContext(305);
    run_ =
        std::make_unique<MailOut>(services.settings, services.database, context, &services.entries);
    run_->debug = main.DebugMode();

    auto* choice = new ui::TGroupBox(Client(), "Recipients");
    auto* grid = new QGridLayout;
    rdball = new ui::TRadioButton(choice, "Send to all mailing list entries");
    rdbfilter =
        new ui::TRadioButton(choice, "Only send to users of the following List Category(s):");
    edtfilter = new ui::TEdit(choice);
    rdbnotfilter =
        new ui::TRadioButton(choice, "Only send to users NOT of the following List Category(s):");
    edtnotfilter = new ui::TEdit(choice);
    rdbManual = new ui::TRadioButton(choice, "Manually enter e-mail Addresses to send to");
    lblcount = new ui::TLabel(choice);
    btnrecalc = new ui::TButton(choice, "Calculate Unique Recipient Count");
    grid->addWidget(rdball, 0, 0, 1, 2);
    grid->addWidget(rdbfilter, 1, 0);
    grid->addWidget(edtfilter, 1, 1);
    grid->addWidget(rdbnotfilter, 2, 0);
    grid->addWidget(edtnotfilter, 2, 1);
    grid->addWidget(rdbManual, 3, 0, 1, 2);
    grid->addWidget(lblcount, 4, 0);
    grid->addWidget(btnrecalc, 4, 1);
    choice->Layout()->addLayout(grid);
    ClientLayout()->addWidget(choice);

    grpManual = new ui::TGroupBox(Client(), "Enter Recipients");
    memCustom = new ui::TMemo(grpManual);
    chkvalidity = new ui::TCheckBox(grpManual, "Ignore Invalid addresses");
    lblrejects = new ui::TLabel(grpManual, "Rejects:");
    memrejects = new ui::TMemo(grpManual);
    lblrejects->setEnabled(false);
    memrejects->setEnabled(false);
    auto* paste = new ui::TButton(grpManual, "Paste");
    auto* load = new ui::TButton(grpManual, "Load..");
    auto* manual_row = new QHBoxLayout;
    manual_row->addWidget(memCustom, 2);
    auto* manual_side = new QVBoxLayout;
    manual_side->addWidget(chkvalidity);
    manual_side->addWidget(lblrejects);
    manual_side->addWidget(memrejects);
    manual_side->addWidget(paste);
    manual_side->addWidget(load);
    manual_row->addLayout(manual_side, 1);
    grpManual->Layout()->addLayout(manual_row);
    ClientLayout()->addWidget(grpManual);
    grpManual->hide();

    auto* subject_row = new QHBoxLayout;
    subject_row->addWidget(new ui::TLabel(Client(), "Subject:"));
    edtMessageSubject = new ui::TEdit(Client());
    subject_row->addWidget(edtMessageSubject, 1);
    ClientLayout()->addLayout(subject_row);
    pgcMessage = new ui::TPageControl(Client());
    tabBody = new ui::TTabSheet(*pgcMessage, "Message");
    edtMessageText = new ui::TMemo(tabBody);
    tabBody->Layout()->addWidget(edtMessageText);
    tabPreview = new ui::TTabSheet(*pgcMessage, "Preview");
    ShowHTML = new support::TShowHTML(tabPreview);
    tabPreview->Layout()->addWidget(ShowHTML);
    ClientLayout()->addWidget(pgcMessage, 1);

    auto* options_row = new QHBoxLayout;
    chkHTML = new ui::TCheckBox(Client(), "Message is in HTML format");
    chkDoAddSalutation =
        new ui::TCheckBox(Client(), "Message contains name, date or salutation fields");
    chkDoAddSalutation->hide();
    options_row->addWidget(chkHTML);
    options_row->addStretch(1);
    btnAddRecip = new ui::TButton(Client(), "Add Extra Recipients to all Sent Messages..");
    options_row->addWidget(btnAddRecip);
    ClientLayout()->addLayout(options_row);

    auto* editor_buttons = new QHBoxLayout;
    auto* load_message = new ui::TButton(Client(), "Load..");
    auto* paste_message = new ui::TButton(Client(), "Paste");
    auto* field = new ui::TButton(Client(), "Field...");
    auto* field_menu = new QMenu(field);
    for (const FieldMenuItem& item : kFieldMenu) {
        QAction* action = field_menu->addAction(
            QString::fromUtf8(item.caption.data(), static_cast<int>(item.caption.size())));
        const std::string text(item.field);
        QObject::connect(action, &QAction::triggered, this,
                         [this, text] { InsertSalutationClick(text); });
    }
    field->setMenu(field_menu);
    load_message->OnClick = [this] { btnLoadEmailClick({}); };
    paste_message->OnClick = [this] { SpeedButton1Click(); };
    editor_buttons->addWidget(load_message);
    editor_buttons->addWidget(paste_message);
    editor_buttons->addWidget(field);
    editor_buttons->addStretch(1);
    ClientLayout()->addLayout(editor_buttons);

    auto* attach_row = new QHBoxLayout;
    lbAttach = new ui::TListBox(Client());
    lbAttach->setMaximumHeight(ScaleToScreen(60));
    attach_row->addWidget(lbAttach, 1);
    auto* attach_buttons = new QVBoxLayout;
    auto* attach = new ui::TButton(Client(), "&Attach File..");
    auto* remove = new ui::TButton(Client(), "Remove File..");
    attach_buttons->addWidget(attach);
    attach_buttons->addWidget(remove);
    attach_row->addLayout(attach_buttons);
    ClientLayout()->addLayout(attach_row);

    auto* buttons = new QHBoxLayout;
    btnsendbulk = new ui::TButton(Client(), "Send Message!");
    btnsendbulk->SetDefault(true);
    btnsendtest = new ui::TButton(Client(), "Send Test Message");
    btnCancel = new ui::TButton(Client(), "Cancel");
    btnCancel->SetModalResult(ui::mrCancel);
    auto* help = new ui::TButton(Client(), "&Help");
    buttons->addWidget(btnsendbulk);
    buttons->addWidget(btnsendtest);
    buttons->addStretch(1);
    buttons->addWidget(btnCancel);
    buttons->addWidget(help);
    ClientLayout()->addLayout(buttons);

    for (ui::TRadioButton* r : {rdball, rdbfilter, rdbnotfilter, rdbManual})
        r->OnClick = [this] { rdballClick(); };
    edtfilter->OnChange = [this] {
        rdbfilter->SetChecked(true);
        rdballClick();
    };
    edtnotfilter->OnChange = [this] {
        rdbnotfilter->SetChecked(true);
        rdballClick();
    };
    chkDoAddSalutation->OnClick = [this] {
        run_->recipients_valid = false;
        btnrecalc->SetEnabled(true);
    };
    btnrecalc->OnClick = [this] { btnrecalcClick(); };
    chkvalidity->OnClick = [this] { chkvalidityClick(); };
    paste->OnClick = [this] { memCustom->PasteFromClipboard(); };
    load->OnClick = [this] {
        ui::TOpenDialog dialog;
        dialog.SetFilter("Text Files (*.csv,*.txt)|*.csv;*.txt");
        if (dialog.Execute())
            memCustom->Lines().LoadFromFile(dialog.FileName());
    };
    attach->OnClick = [this] { btnAttachClick(); };
    remove->OnClick = [this] { btnRemoveAttachClick(); };
    btnAddRecip->OnClick = [this] { btnAddRecipClick(); };
    btnsendbulk->OnClick = [this] { Button2Click(); };
    btnsendtest->OnClick = [this] { SendTestClick(); };
    btnCancel->OnClick = [] {
        SetCancelled(true);
        ui::MessageBeep();
    };
    chkHTML->OnClick = [this] { chkHTMLClick(); };
    pgcMessage->OnChange = [this] { ShowPreview(); };

    run_->OnProgress = [this](std::string_view caption, std::int64_t position,
                              std::int64_t maximum) {
        main_.showprogress(true, position, true, caption, maximum);
    };
    run_->OnSendError = [this](std::string_view text) {
        run_->hide_send_errors = app::ShowSendError(this, text, run_->hide_send_errors);
    };
    run_->OnStagger = [this] {
        TdlgStagger stagger(this, services_.settings.spnStaggerDelay);
        const ui::TModalResult result = stagger.ShowModal();
        if (result == ui::mrAll)
            return StaggerAnswer::kSkipAll;
        if (result == ui::mrCancel)
            return StaggerAnswer::kCancel;
        return StaggerAnswer::kContinue;
    };
    run_->idle = [] { QCoreApplication::processEvents(); };
    add_recip_.ApplyAddressRule = [this](std::vector<std::string>& list, std::string_view typed) {
        run_->AddAddress(list, typed);
    };
    OnShow = [this] { FormShow(); };
    OnClose = [this] { FormClose(); };

    services.database.CreateTemporaryTables();
    resize(ScaleToScreen(640), ScaleToScreen(600));
}

TdlgSendMail::~TdlgSendMail() {
    add_recip_.ApplyAddressRule = nullptr;
    try {
        services_.database.DestroyTemporaryTables();
        if (run_->relay() != nullptr)
            run_->FreeSMTPServerDLL();
    } catch (const std::exception&) {
        // Nothing is lost when the in-memory table cannot be dropped.
    }
}

void TdlgSendMail::FormShow() {
    Settings& s = services_.settings;
    if (s.EmailMethod == kMethodRelay) {
        try {
            run_->OpenSMTPServerDLL();
        } catch (const std::exception& e) {
            ui::MessageDlg(e.what(), ui::mtError, {ui::mbOK});
        }
        if (s.SendCount != 1) {
            ui::MessageDlg(
                "Using the CVN SMTP Server requires the server to send out messages "
                "individually.  CVN will switch to the individual sending method (i.e. "
                "The server will send out one e-mail per recipient).",
                ui::mtInformation, {ui::mbOK});
            s.SendCount = 1;
        }
    }
    edtfilter->SetText(main_.edtfilter->Text());
    rdbfilter->SetChecked(main_.rdbfilter->Checked());
    if (!rdbfilter->Checked())
        rdball->SetChecked(true);
    if (s.AddSignaturePrior && !s.Memsignature.empty())
        edtMessageText->SetText("\r\n" + s.Memsignature);
    chkHTML->SetChecked(s.chkhtmlchecked);
    chkHTMLClick();
    rdballClick();
}

void TdlgSendMail::FormClose() {
    preview_.DeletePreviewFile();
    db::TDataSet& list = services_.database.tblCV();
    try {
        list.SetFiltered(false);
    } catch (const std::exception&) {
    }
    services_.settings.chkhtmlchecked = chkHTML->Checked();
}

void TdlgSendMail::rdballClick() {
    grpManual->hide();
    if (rdbManual->Checked()) {
        grpManual->show();
    } else {
        SetFilter(services_.database.tblCV(), rdbfilter->Checked(), edtfilter->Text(),
                  edtnotfilter->Text(), rdbnotfilter->Checked());
    }
    lblcount->SetCaption("  " + std::to_string(services_.database.tblCV().RecordCount()) +
                         " Records");
    btnrecalc->SetEnabled(true);
    run_->recipients_valid = false;
}

void TdlgSendMail::chkvalidityClick() {
    lblrejects->setEnabled(chkvalidity->Checked());
    memrejects->setEnabled(chkvalidity->Checked());
}

void TdlgSendMail::btnrecalcClick() {
    if (rdbManual->Checked()) {
        ProcessManual();
        return;
    }
    ui::THourglass hourglass;
    run_->personalise = chkDoAddSalutation->Checked();
    if (run_->BuildRecipients()) {
        lblcount->SetCaption(std::to_string(run_->RecipientCount()) + " Unique Recipients");
        btnrecalc->SetEnabled(false);
    }
    main_.hideprogress();
}

void TdlgSendMail::ProcessManual() {
    ui::THourglass hourglass;
    std::vector<std::string> rejects;
    const bool done = run_->ProcessManual(Lines(*memCustom), chkvalidity->Checked(), rejects);
    for (const std::string& r : rejects)
        memrejects->Lines().Add(r);
    main_.hideprogress();
    if (done) {
        lblcount->SetCaption(std::to_string(run_->RecipientCount()) + " Unique Recipients");
        btnrecalc->SetEnabled(false);
    }
}

void TdlgSendMail::TakeMessage() {
    run_->subject = edtMessageSubject->Text();
    run_->text = edtMessageText->Text();
    run_->html = chkHTML->Checked();
    run_->attachments = Items(*lbAttach);
    run_->to_list = add_recip_.ToList();
    run_->cc_list = add_recip_.CCList();
}

void TdlgSendMail::Button2Click() {
    TakeMessage();
    // The build below copies names only when the fields ask for them; a
    // change of the flag makes the list stale.
    chkDoAddSalutation->SetChecked(ContainsMergeField(run_->text));
    if (!run_->recipients_valid) {
        if (rdbManual->Checked())
            ProcessManual();
        else
            btnrecalcClick();
    }
    setEnabled(false);
    const std::int64_t processed = run_->Button2Click(false);
    setEnabled(true);
    main_.hideprogress();
    chkDoAddSalutation->SetChecked(run_->personalise);
    if (processed >= 0)
        SetModalResult(ui::mrOk);
}

void TdlgSendMail::SendTestClick() {
    TakeMessage();
    std::string address;
    const int method = services_.settings.EmailMethod;
    if (method == kMethodSmtp || method == kMethodRelay) {
        if (!ui::InputQuery("Test Message Recipient", "Enter an e-mail address to send a test to",
                            address) ||
            address.empty())
            return;
    }
    ui::THourglass hourglass;
    run_->SendTestClick(address);
}

void TdlgSendMail::btnAddRecipClick() {
    if (services_.settings.EmailMethod == kMethodRelay) {
        ui::MessageDlg("This function is not available with the SMTP server sending option.",
                       ui::mtWarning, {ui::mbOK});
        return;
    }
    add_recip_.ShowModal();
}

void TdlgSendMail::btnAttachClick() {
    ui::TOpenDialog dialog;
    if (!dialog.Execute())
        return;
    if (dialog.FileName().size() > kMaxAddressLength) {
        ui::MessageDlg(
            "The path of this file is longer than 255 characters and cannot be attached.",
            ui::mtWarning, {ui::mbOK});
        return;
    }
    lbAttach->Items().Add(dialog.FileName());
}

void TdlgSendMail::btnRemoveAttachClick() {
    if (lbAttach->ItemIndex() >= 0)
        lbAttach->Items().Delete(lbAttach->ItemIndex());
}

void TdlgSendMail::ShowPreview() {
    if (pgcMessage->ActivePage() != tabPreview)
        return;
    ui::THourglass hourglass;
    if (!ShowHTML->EnsureBrowser()) {
        ui::MessageDlg(
            "HTML Preview is not supported on this system.  Please reinstall Internet "
            "Explorer!",
            ui::mtWarning, {ui::mbOK});
        return;
    }
    try {
        const std::string& file = preview_.Create(edtMessageText->Text());
        if (!ShowHTML->Navigate(file))
            throw std::runtime_error("navigate");
    } catch (const std::exception&) {
        ui::MessageDlg("Error encountered displaying your preview!", ui::mtWarning, {ui::mbOK});
    }
}

void TdlgSendMail::chkHTMLClick() {
    tabPreview->SetTabVisible(chkHTML->Checked());
    if (chkHTML->Checked()) {
        tabBody->SetCaption("HTML Source");
        pgcMessage->SetActivePage(tabPreview);
        ShowPreview();
    } else {
        tabBody->SetCaption("Message Body");
        pgcMessage->SetActivePage(tabBody);
    }
}

void TdlgSendMail::btnLoadEmailClick(std::string_view path) {
    if (!edtMessageText->Text().empty() &&
        ui::MessageDlg("Opening a file will erase all of the current text in your message "
                       "editing area.  Are you sure you want to continue?",
                       ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
        return;
    std::string file(path);
    if (file.empty()) {
        ui::TOpenDialog dialog;
        dialog.SetFilter(
            "Text and HTML Files|*.htm;*.html;*.txt|Text Files (*.txt)|*.txt|HTML "
            "Files (*.htm;*.html)|*.htm;*.html|All Files|*.*");
        if (!dialog.Execute())
            return;
        file = dialog.FileName();
    }
    edtMessageText->Lines().LoadFromFile(file);
    if (IsHtmlFileName(file)) {
        chkHTML->SetChecked(true);
        pgcMessage->SetActivePage(tabPreview);
        ShowPreview();
    }
}

void TdlgSendMail::SpeedButton1Click() {
    if (!edtMessageText->Text().empty() &&
        ui::MessageDlg("Pasting a message in preview mode will erase all of the current text in "
                       "your message editing area.  Are you sure you want to continue?",
                       ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
        return;
    edtMessageText->SetText(ui::ClipboardText());
    if (edtMessageText->Text().find("<HTML>") != std::string::npos) {
        chkHTML->SetChecked(true);
        pgcMessage->SetActivePage(tabPreview);
    }
    ShowPreview();
}

void TdlgSendMail::InsertSalutationClick(std::string_view field) {
    chkDoAddSalutation->SetChecked(true);
    run_->personalise = true;
    if (!run_->GetSalutationCheck(false))
        return;
    // The clipboard keeps the field afterwards, as the editor's paste leaves it.
    ui::SetClipboardText(field);
    edtMessageText->insertPlainText(QString::fromStdString(std::string(field)));
}

void SendEmailToList(Tfrmmain& main, ListServices services, MailContext& context) {
    auto add_recip = std::make_unique<TdlgAddRecip>(&main);
    if (!services.settings.DefaultToAddress.empty() &&
        services.settings.EmailMethod != kMethodRelay) {
        add_recip->Recipient->SetText(services.settings.DefaultToAddress);
        add_recip->btnToAddClick(false);
    }
    TdlgSendMail dialog(main, services, context, *add_recip);
    dialog.ShowModal();
}

}  // namespace app
