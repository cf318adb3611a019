#include "app/forms/send_mail_dialog.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeySequence>
#include <QMenu>
#include <QShortcut>

#include "app/forms/progress_dialog.h"
#include "app/list/cancel_flag.h"
#include "app/list/category_filter.h"
#include "app/list/import_file.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/mail/acknowledgement.h"
#include "app/mail/sending_settings.h"
#include "app/routines/text_routines.h"
#include "platform/ui/application.h"
#include "platform/ui/clipboard.h"
#include "platform/ui/cursor.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/keys.h"
#include "platform/ui/prompt.h"
#include "platform/ui/qt_text.h"
#include "platform/ui/shell.h"
#include "support/form_placement.h"
#include "support/show_html.h"

namespace app {
namespace {

std::vector<std::string> Items(const ui::TListBox& list) {
    std::vector<std::string> items;
    for (std::int64_t i = 0; i < list.Items().Count(); ++i)
        items.push_back(list.Items().Get(i));
    return items;
}

void SetItems(ui::TListBox& list, const std::vector<std::string>& items) {
    list.Items().Clear();
    for (const std::string& item : items)
        list.Items().Add(item);
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

    BuildRecipientChoice();
    BuildManualEntry();
    BuildMessagePages();
    BuildFieldMenu();
    BuildEditorMenu();
    BuildOptionsRow();
    BuildAttachments();
    BuildButtons();
    WireEvents();
    WireRun();
    services.database.CreateTemporaryTables();
    run_->EmailLogon();
    resize(ScaleToScreen(640), ScaleToScreen(600));
    // Centred over the main window now rather than when shown, so that a place kept from
    // an earlier opening, applied as the dialog is shown, is not centred away.
    SetPosition(ui::poDesigned);
    QRect frame = frameGeometry();
    frame.moveCenter(main.frameGeometry().center());
    move(frame.topLeft());
    FormPlacement1 = std::make_unique<support::TFormPlacement>(nullptr, this);
    FormPlacement1->SetUseRegistry(true);
    FormPlacement1->Loaded();
}

void TdlgSendMail::BuildRecipientChoice() {
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
    grid->addWidget(rdbManual, 3, 0);
    Label2 = new ui::TButton(choice, "Help with choosing recipients");
    Label2->setFlat(true);
    Label2->setCursor(Qt::PointingHandCursor);
    Label2->setStyleSheet(kLinkStyle);
    Label2->OnClick = [] { ui::OpenHelp(kRecipientHelp); };
    grid->addWidget(Label2, 3, 1, Qt::AlignRight);
    grid->addWidget(lblcount, 4, 0);
    grid->addWidget(btnrecalc, 4, 1);
    choice->Layout()->addLayout(grid);
    ClientLayout()->addWidget(choice);
}

void TdlgSendMail::BuildManualEntry() {
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

    paste->OnClick = [this] { memCustom->PasteFromClipboard(); };
    load->OnClick = [this] {
        ui::TOpenDialog dialog;
        dialog.SetFilter("Text Files (*.csv,*.txt)|*.csv;*.txt");
        if (dialog.Execute())
            memCustom->Lines().SetText(ReadImportFile(dialog.FileName()));
    };
}

void TdlgSendMail::BuildMessagePages() {
    auto* subject_row = new QHBoxLayout;
    subject_row->addWidget(new ui::TLabel(Client(), "Subject:"));
    edtMessageSubject = new ui::TEdit(Client());
    subject_row->addWidget(edtMessageSubject, 1);
    ClientLayout()->addLayout(subject_row);
    pgcMessage = new ui::TPageControl(Client());
    tabBody = new ui::TTabSheet(*pgcMessage, "Message Body");
    auto* body_row = new QHBoxLayout;
    edtMessageText = new ui::TMemo(tabBody);
    body_row->addWidget(edtMessageText, 1);
    auto* body_side = new QVBoxLayout;
    auto* load_message = new ui::TButton(tabBody, "Load..");
    auto* cut = new ui::TButton(tabBody, "Cut");
    auto* copy = new ui::TButton(tabBody, "Copy");
    auto* paste_text = new ui::TButton(tabBody, "Paste");
    btnfield = new ui::TButton(tabBody, "Field...");
    for (QWidget* w :
         std::initializer_list<QWidget*>{load_message, cut, copy, paste_text, btnfield})
        body_side->addWidget(w);
    body_side->addStretch(1);
    body_row->addLayout(body_side);
    tabBody->Layout()->addLayout(body_row);
    tabPreview = new ui::TTabSheet(*pgcMessage, "Preview");
    auto* preview_row = new QHBoxLayout;
    ShowHTML = new support::TShowHTML(tabPreview);
    preview_row->addWidget(ShowHTML, 1);
    auto* preview_side = new QVBoxLayout;
    btnEditor = new ui::TButton(tabPreview, "Editor..");
    auto* load_preview = new ui::TButton(tabPreview, "Load..");
    auto* paste_preview = new ui::TButton(tabPreview, "Paste");
    for (QWidget* w : std::initializer_list<QWidget*>{btnEditor, load_preview, paste_preview})
        preview_side->addWidget(w);
    preview_side->addStretch(1);
    preview_row->addLayout(preview_side);
    tabPreview->Layout()->addLayout(preview_row);
    ClientLayout()->addWidget(pgcMessage, 1);

    load_message->OnClick = [this] { btnLoadEmailClick({}); };
    load_preview->OnClick = [this] { btnLoadEmailClick({}); };
    cut->OnClick = [this] { edtMessageText->cut(); };
    copy->OnClick = [this] { edtMessageText->copy(); };
    paste_text->OnClick = [this] { edtMessageText->PasteFromClipboard(); };
    paste_preview->OnClick = [this] { SpeedButton1Click(); };
    // The side buttons work on the editor and leave the caret in it, so what the user
    // types next, Enter included, goes on into the message.
    for (QWidget* w : std::initializer_list<QWidget*>{load_message, cut, copy, paste_text, btnfield,
                                                      btnEditor, load_preview, paste_preview})
        w->setFocusPolicy(Qt::NoFocus);
    btnEditor->OnClick = [this] { btnEditorClick(); };
    btnfield->OnClick = [this] { btnfieldClick(); };
}

void TdlgSendMail::BuildFieldMenu() {
    popField = new QMenu(this);
    for (const FieldMenuItem& item : kFieldMenu) {
        QAction* action = popField->addAction(ui::ToQ(item.caption));
        action->setToolTip(ui::ToQ(item.field));
        const std::string text(item.field);
        // Menu items reach no button's guard: a failure must not leave through the event loop.
        QObject::connect(action, &QAction::triggered, this, [this, text] {
            ui::Guarded([this, &text] { InsertSalutationClick(text); });
        });
    }
    popField->addSeparator();
    QObject::connect(popField->addAction("Help with customisation of messages..."),
                     &QAction::triggered, this, [] { ui::OpenHelp(kCustomisationHelp); });
}

void TdlgSendMail::BuildEditorMenu() {
    // The editor's own pop-up menu, with loading a file added.
    edtMessageText->setContextMenuPolicy(Qt::CustomContextMenu);
    auto* editor_menu = new QMenu(this);
    QObject::connect(editor_menu->addAction("Undo"), &QAction::triggered, edtMessageText,
                     &QPlainTextEdit::undo);
    editor_menu->addSeparator();
    QObject::connect(editor_menu->addAction("Cut"), &QAction::triggered, edtMessageText,
                     &QPlainTextEdit::cut);
    QObject::connect(editor_menu->addAction("Copy"), &QAction::triggered, edtMessageText,
                     &QPlainTextEdit::copy);
    QObject::connect(editor_menu->addAction("Paste"), &QAction::triggered, edtMessageText,
                     &QPlainTextEdit::paste);
    editor_menu->addSeparator();
    QObject::connect(editor_menu->addAction("Load from File..."), &QAction::triggered, this,
                     [this] { ui::Guarded([this] { btnLoadEmailClick({}); }); });
    QObject::connect(edtMessageText, &QWidget::customContextMenuRequested, this,
                     [this, editor_menu](const QPoint& at) {
                         editor_menu->popup(edtMessageText->mapToGlobal(at));
                     });
}

void TdlgSendMail::BuildOptionsRow() {
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
}

void TdlgSendMail::BuildAttachments() {
    auto* attach_row = new QHBoxLayout;
    auto* attach_list = new QVBoxLayout;
    lblAttach = new ui::TLabel(Client(), "Attached files:");
    lbAttach = new ui::TListBox(Client());
    lbAttach->setMaximumHeight(ScaleToScreen(60));
    // Screen readers name the list after its label.
    lblAttach->setBuddy(lbAttach);
    lbAttach->setAccessibleName("Attached files");
    attach_list->addWidget(lblAttach);
    attach_list->addWidget(lbAttach);
    attach_row->addLayout(attach_list, 1);
    auto* attach_buttons = new QVBoxLayout;
    auto* attach = new ui::TButton(Client(), "&Attach File..");
    auto* remove = new ui::TButton(Client(), "Remove File..");
    attach_buttons->addWidget(attach);
    attach_buttons->addWidget(remove);
    attach_row->addLayout(attach_buttons);
    ClientLayout()->addLayout(attach_row);

    // The current blind-copy batch; hidden, as the address book is the only
    // thing besides a mail-out that fills it.
    lbBCC = new ui::TListBox(Client());
    lbBCC->hide();
    OnDeleteKey(*lbBCC, [this] { DeleteCurrentTListboxItem(*lbBCC); });

    attach->OnClick = [this] { btnAttachClick(); };
    remove->OnClick = [this] { btnRemoveAttachClick(); };
}

void TdlgSendMail::BuildButtons() {
    auto* buttons = new QHBoxLayout;
    btnsendbulk = new ui::TButton(Client(), "Send Message!");
    btnsendbulk->SetDefault(true);
    btnsendtest = new ui::TButton(Client(), "Send Test Message");
    btnCancel = new ui::TButton(Client(), "Cancel");
    btnCancel->SetModalResult(ui::mrCancel);
    BitBtn3 = new ui::TButton(Client(), "&Help");
    buttons->addWidget(btnsendbulk);
    buttons->addWidget(btnsendtest);
    buttons->addStretch(1);
    buttons->addWidget(btnCancel);
    buttons->addWidget(BitBtn3);
    ClientLayout()->addLayout(buttons);
    BitBtn3->OnClick = [] { ui::OpenHelp(kSendHelp); };
    // Esc asks before the dialog closes, wherever the focus is.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    QObject::connect(escape, &QShortcut::activated, this, [this] { FormKeyPress(ui::VK_ESCAPE); });
}

void TdlgSendMail::WireEvents() {
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
    btnAddRecip->OnClick = [this] { btnAddRecipClick(); };
    btnsendbulk->OnClick = [this] { Button2Click(); };
    btnsendtest->OnClick = [this] { SendTestClick(); };
    btnCancel->OnClick = [this] {
        SetCancelled(true);
        ui::MessageBeep();
        Close();
    };
    chkHTML->OnClick = [this] { chkHTMLClick(); };
    pgcMessage->OnChange = [this] { ShowPreview(); };
}

void TdlgSendMail::WireRun() {
    run_->OnProgress = [this](std::string_view caption, std::int64_t position,
                              std::int64_t maximum) {
        // A repaint for each of a thousand rows would cost more than the rows: the display
        // follows a few times a second, and at once when its caption changes.
        const auto now = std::chrono::steady_clock::now();
        if (caption == progress_caption_ && now < progress_due_)
            return;
        progress_caption_ = caption;
        progress_due_ = now + std::chrono::milliseconds(100);
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
        if (result == ui::mrCancel) {
            // The cancel question of the progress display, which beeps first.
            ui::MessageBeep();
            return StaggerAnswer::kCancel;
        }
        return StaggerAnswer::kContinue;
    };
    run_->idle = [] { QCoreApplication::processEvents(); };
    // The run builds a stale list only once its questions are answered and the
    // server is connected, so a refused send never waits for a long build.
    run_->OnBuildRecipients = [this] {
        if (rdbManual->Checked())
            ProcessManual();
        else
            btnrecalcClick();
    };
    run_->OnAskTestAddress = [](std::string& address) {
        return ui::InputQuery("Test Message Recipient", "Enter an e-mail address to send a test to",
                              address);
    };
    add_recip_.ApplyAddressRule = [this](std::vector<std::string>& list, std::string_view typed) {
        run_->AddAddress(list, typed);
    };
    add_recip_.OnAddressBook = [this] { ToButtonClick(); };
    OnShow = [this] { FormShow(); };
    OnClose = [this] { FormClose(); };
}

TdlgSendMail::~TdlgSendMail() {
    add_recip_.ApplyAddressRule = nullptr;
    add_recip_.OnAddressBook = nullptr;
    try {
        services_.database.DestroyTemporaryTables();
    } catch (const std::exception&) {
        // Nothing is lost when the in-memory table cannot be dropped.
    }
    run_->EmailLogoff();
    try {
        if (run_->relay() != nullptr)
            run_->FreeSMTPServerDLL();
    } catch (const std::exception&) {
        // The relay module goes with the process anyway.
    }
}

void TdlgSendMail::FormShow() {
    Settings& s = services_.settings;
    bool relay_missing = false;
    if (s.EmailMethod == kMethodRelay) {
        try {
            run_->OpenSMTPServerDLL();
        } catch (const std::exception& e) {
            ui::MessageDlg(e.what(), ui::mtError, {ui::mbOK});
            relay_missing = true;
        }
        if (!relay_missing && s.SendCount != 1) {
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
    if (relay_missing) {
        // Without the relay module every message would fail: the dialog does not open.
        SetModalResult(ui::mrCancel);
        // The modal loop waits for an event before it looks at the result.
        QMetaObject::invokeMethod(
            this, [] {}, Qt::QueuedConnection);
    }
}

void TdlgSendMail::FormClose() {
    preview_.DeletePreviewFile();
    editor_file_.Delete();
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
    run_->bcc = Items(*lbBCC);
}

void TdlgSendMail::GiveBackBatch() {
    SetItems(*lbBCC, run_->bcc);
}

void TdlgSendMail::Button2Click() {
    TakeMessage();
    // The build below copies names only when the fields ask for them; a
    // change of the flag makes the list stale.
    chkDoAddSalutation->SetChecked(ContainsMergeField(run_->text));
    setEnabled(false);
    const std::int64_t processed = run_->Button2Click();
    setEnabled(true);
    GiveBackBatch();
    main_.hideprogress();
    chkDoAddSalutation->SetChecked(run_->personalise);
    if (processed >= 0)
        SetModalResult(ui::mrOk);
}

void TdlgSendMail::SendTestClick() {
    TakeMessage();
    ui::THourglass hourglass;
    // The wait for the server lets the queue run: a second click must not start
    // a send inside this one, which would pull its connection away.
    setEnabled(false);
    struct Enable {
        QWidget& dialog;
        ~Enable() { dialog.setEnabled(true); }
    } enable{*this};
    run_->SendTestClick({});
    GiveBackBatch();
}

void TdlgSendMail::FormKeyPress(char32_t key) {
    if (key != ui::VK_ESCAPE)
        return;
    QGuiApplication::setOverrideCursor(Qt::ArrowCursor);
    const ui::TModalResult answer =
        ui::MessageDlg("Are you sure that you want to close and leave this form?",
                       ui::mtConfirmation, ui::mbYesNo);
    QGuiApplication::restoreOverrideCursor();
    if (answer == ui::mrYes) {
        SetModalResult(ui::mrCancel);
        Close();
    }
}

void TdlgSendMail::ToButtonClick() {
    std::vector<std::string> to = add_recip_.ToList();
    std::vector<std::string> cc = add_recip_.CCList();
    std::vector<std::string> blind = Items(*lbBCC);
    if (!run_->AddressBook(to, cc, blind))
        return;
    add_recip_.SetToList(to);
    add_recip_.SetCCList(cc);
    SetItems(*lbBCC, blind);
}

void TdlgSendMail::btnfieldClick() {
    popField->popup(btnfield->mapToGlobal(QPoint(0, btnfield->height())));
}

void TdlgSendMail::btnEditorClick() {
    std::string file;
    try {
        file = editor_file_.Create(edtMessageText->Text());
    } catch (const std::exception& e) {
        ui::MessageDlg(e.what(), ui::mtWarning, {ui::mbOK});
        return;
    }
    if (!ui::ShellEdit(file)) {
        ui::MessageDlg("No editor could be started for " + file +
                           ".  Set VISUAL or EDITOR to the editor you want to use.",
                       ui::mtWarning, {ui::mbOK});
        return;
    }
    if (ui::MessageDlg("Your message has been opened in your HTML Editor.  When you have "
                       "completed editing of your message:\r\n\r\n1. Click 'Save' in your HTML "
                       "editor\r\n2. Close your HTML Editor\r\n3. Click OK to load your changes",
                       ui::mtInformation, ui::mbOKCancel) == ui::mrCancel)
        return;
    edtMessageText->Lines().SetText(ReadImportFile(file));
    ShowPreview();
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
    dialog.SetTitle("Attach File");
    dialog.SetFilter("All Files|*.*");
    if (!dialog.Execute())
        return;
    std::vector<std::string> kept;
    run_->AddAttachment(kept, dialog.FileName());
    for (const std::string& path : kept)
        lbAttach->Items().Add(path);
}

void TdlgSendMail::btnRemoveAttachClick() {
    const bool had_selection = lbAttach->ItemIndex() >= 0;
    DeleteCurrentTListboxItem(*lbAttach);
    if (!had_selection)
        lbAttach->setFocus();
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
    // Read as import files are: a message saved in Windows-1252 keeps its accented letters.
    edtMessageText->Lines().SetText(ReadImportFile(file));
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
    {
        auto add_recip = std::make_unique<TdlgAddRecip>(&main);
        if (!services.settings.DefaultToAddress.empty() &&
            services.settings.EmailMethod != kMethodRelay) {
            add_recip->Recipient->SetText(services.settings.DefaultToAddress);
            add_recip->btnToAddClick(false);
        }
        TdlgSendMail dialog(main, services, context, *add_recip);
        dialog.ShowModal();
    }
}

}  // namespace app
