#include "app/forms/advanced_settings_dialog.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>

#include <algorithm>

#include "app/forms/about_dialogs.h"
#include "app/forms/send_dialogs.h"
#include "app/list/settings.h"
#include "app/mail/mail_context.h"
#include "app/routines/text_routines.h"
#include "platform/ui/cursor.h"
#include "platform/ui/prompt.h"
#include "platform/ui/shell.h"

namespace app {

namespace {

// A Test button stays disabled while its test waits, so a second press cannot
// start a test inside the first.
class DisabledWhileTesting {
  public:
    explicit DisabledWhileTesting(QWidget* button) : button_(button) { button_->setEnabled(false); }
    ~DisabledWhileTesting() { button_->setEnabled(true); }
    DisabledWhileTesting(const DisabledWhileTesting&) = delete;
    DisabledWhileTesting& operator=(const DisabledWhileTesting&) = delete;

  private:
    QWidget* button_;
};

}  // namespace

TdlgSMTPSettings::TdlgSMTPSettings(QWidget* owner, const SmtpSettingsFields& fields)
    : ui::TForm(owner), relay_(fields.relay), password_unread_(fields.password_unread) {
    SetCaption("SMTP Settings");
    SetPosition(ui::poMainFormCenter);
    lblHeading = new ui::TLabel(Client(), "The following details are required for SMTP sending:");
    ClientLayout()->addWidget(lblHeading);
    auto* grid = new QGridLayout;
    int row = 0;
    auto field = [&](ui::TLabel*& label, std::string_view caption, ui::TEdit*& edit) {
        label = new ui::TLabel(Client(), caption);
        edit = new ui::TEdit(Client());
        grid->addWidget(label, row, 0);
        grid->addWidget(edit, row++, 1);
    };
    ui::TLabel* name_label = nullptr;
    ui::TLabel* email_label = nullptr;
    field(lblSMTPHost, "SMTP Host:", edtSMTPHost);
    field(lblSMTPPort, "Port (e.g. 25): ", edtSMTPPort);
    field(lblSMTPID, "User ID (often not required):", edtSMTPID);
    ui::TLabel* password_label = nullptr;
    field(password_label, "Password:", edtSMTPPassword);
    edtSMTPPassword->setEchoMode(QLineEdit::Password);
    auto* security_label = new ui::TLabel(Client(), "Security:");
    cmbSecurity = new ui::TComboBox(Client(), ui::csDropDownList);
    for (const char* item :
         {"None (STARTTLS when the server offers it)", "STARTTLS", "TLS from the start"})
        cmbSecurity->Items().Add(item);
    grid->addWidget(security_label, row, 0);
    grid->addWidget(cmbSecurity, row++, 1);
    field(name_label, "Sender Name:", edtSMTPName);
    field(email_label, "Sender E-Mail Address: ", edtSMTPEmail);
    // A number field is as wide as its numbers, not the dialog.
    edtSMTPPort->setMaximumWidth(ScaleToScreen(80));
    grid->setColumnStretch(1, 1);
    ClientLayout()->addLayout(grid);
    lblPasswordPlace =
        new ui::TLabel(Client(), mail::PasswordPlaceText(mail::PasswordPlaceAvailable()));
    lblPasswordPlace->setWordWrap(true);
    ClientLayout()->addWidget(lblPasswordPlace);
    chkRemoveBadAddresses = new ui::TCheckBox(Client(), "Process bounces as they are detected");
    ClientLayout()->addWidget(chkRemoveBadAddresses);
    chkRemoveBadAddresses->hide();
    auto* buttons = new QHBoxLayout;
    btnTest = new ui::TButton(Client(), "Test");
    buttons->addWidget(btnTest);
    buttons->addStretch(1);
    btnOK = new ui::TButton(Client(), "OK");
    btnOK->SetDefault(true);
    auto* cancel = new ui::TButton(Client(), "Cancel");
    cancel->SetModalResult(ui::mrCancel);
    cancel->SetCancel(true);
    buttons->addWidget(btnOK);
    buttons->addWidget(cancel);
    ClientLayout()->addLayout(buttons);
    btnOK->OnClick = [this] { BitBtn1Click(); };
    btnTest->OnClick = [this] { btnTestClick(); };

    edtSMTPPassword->SetText(fields.password);
    QObject::connect(edtSMTPPassword, &QLineEdit::textEdited, this,
                     [this] { password_unread_.clear(); });
    cmbSecurity->SetItemIndex(std::clamp(fields.security, 0, 2));
    edtSMTPHost->SetText(fields.host);
    edtSMTPPort->SetText(fields.port);
    edtSMTPID->SetText(fields.user);
    edtSMTPName->SetText(fields.name);
    edtSMTPEmail->SetText(fields.email);
    if (relay_) {
        lblHeading->SetCaption(
            "The following settings are required for using the CVN SMTP server relay");
        lblSMTPHost->SetCaption("DNS Server:");
        for (QWidget* w : std::initializer_list<QWidget*>{lblSMTPID, edtSMTPID, password_label,
                                                          edtSMTPPassword, security_label,
                                                          cmbSecurity, lblPasswordPlace, btnTest})
            w->hide();
        lblSMTPPort->SetCaption("DNS Time Out (sec):");
        chkRemoveBadAddresses->SetChecked(fields.process_bounce);
        chkRemoveBadAddresses->show();
    }
    resize(ScaleToScreen(420), sizeHint().height());
}

SmtpSettingsFields TdlgSMTPSettings::Fields() const {
    SmtpSettingsFields f;
    f.relay = relay_;
    f.host = edtSMTPHost->Text();
    f.port = edtSMTPPort->Text();
    f.user = edtSMTPID->Text();
    f.name = edtSMTPName->Text();
    f.email = edtSMTPEmail->Text();
    f.process_bounce = chkRemoveBadAddresses->Checked();
    f.security = cmbSecurity->ItemIndex();
    f.password = edtSMTPPassword->Text();
    f.password_unread = password_unread_;
    return f;
}

void TdlgSMTPSettings::btnTestClick() {
    const DisabledWhileTesting testing(btnTest);
    std::string answer;
    {
        const ui::THourglass hourglass;
        answer = TestSmtpAccount(Fields(), [] { QCoreApplication::processEvents(); });
    }
    ui::MessageDlg(answer, ui::mtInformation, {ui::mbOK});
}

void TdlgSMTPSettings::BitBtn1Click() {
    if (!ParsePortField(edtSMTPPort->Text(), relay_)) {
        ui::MessageDlg("You have not specified a valid SMTP port!", ui::mtWarning, {ui::mbOK});
        return;
    }
    SetModalResult(ui::mrOk);
}

TdlgAdvancedSettings::TdlgAdvancedSettings(QWidget* owner, Settings& settings, bool use_outlook)
    : ui::TForm(owner), settings_(settings), use_outlook_(use_outlook) {
    SetCaption("Advanced Settings");
    SetPosition(ui::poMainFormCenter);
    SetHelpContext(kAdvancedSettingsHelp);
    pgcAdv = new ui::TPageControl(Client());
    BuildGeneralPage();
    BuildStorePage();
    LoadStoreAccount();
    BuildOutlookPage();
    ClientLayout()->addWidget(pgcAdv, 1);
    BuildButtons();
    ConnectEvents();
    resize(ScaleToScreen(520), ScaleToScreen(380));
}

void TdlgAdvancedSettings::BuildGeneralPage() {
    tabGeneral = new ui::TTabSheet(*pgcAdv, "General");
    auto* sending = new ui::TGroupBox(tabGeneral, "Sending Options");
    sending->Layout()->addWidget(
        new ui::TLabel(sending, "What method do you want to use for sending of e-mail?"));
    auto* method_row = new QHBoxLayout;
    cmbEmailMethod = new ui::TComboBox(sending, ui::csDropDownList);
    for (const char* item : {"Use MAPI to send mail via your default E-mail Client",
                             "Use Alternative MAPI Method (Older Interface)",
                             "Use OLE to send mail via Microsoft Outlook",
                             "Use SMTP to send mail to your ISP's mail server",
                             "Use CVN's internal SMTP Server (direct sending)"})
        cmbEmailMethod->Items().Add(item);
    btnSMTPSettings = new ui::TButton(sending, "Settings...");
    btnSMTPSettings->SetEnabled(false);
    method_row->addWidget(cmbEmailMethod, 1);
    method_row->addWidget(btnSMTPSettings);
    sending->Layout()->addLayout(method_row);
    chkAlwaysResolveAddresses =
        new ui::TCheckBox(sending, "Always resolve outgoing e-mail addresses");
    sending->Layout()->addWidget(chkAlwaysResolveAddresses);
    tabGeneral->Layout()->addWidget(sending);
    auto* software = new ui::TGroupBox(tabGeneral, "E-mail Software");
    rdbOutlook = new ui::TRadioButton(software, "I will use Outlook with Corvane");
    rdbOther = new ui::TRadioButton(
        software, "I will be using a different e-mail program (e.g. Outlook Express, Eudora)");
    rdbOutlook->SetChecked(true);
    auto* outlook_note = new ui::TLabel(
        software,
        "Corvane reads subscription requests from Outlook folders and can scan Outlook for "
        "addresses.");
    auto* other_note = new ui::TLabel(
        software,
        "With a different e-mail program the Outlook commands are hidden; mail is sent by the "
        "method chosen above.");
    for (ui::TLabel* note : {outlook_note, other_note})
        note->setWordWrap(true);
    software->Layout()->addWidget(rdbOutlook);
    software->Layout()->addWidget(outlook_note);
    software->Layout()->addWidget(rdbOther);
    software->Layout()->addWidget(other_note);
    tabGeneral->Layout()->addWidget(software);
    tabGeneral->Layout()->addStretch(1);
}

void TdlgAdvancedSettings::BuildStorePage() {
    tabStore = new ui::TTabSheet(*pgcAdv, "Mail Store");
    auto* store = new ui::TGroupBox(tabStore, "Where Corvane reads and keeps mail");
    rdbStoreLocal = new ui::TRadioButton(store, "Personal Folders (kept in the program folder)");
    rdbStoreImap = new ui::TRadioButton(store, "An IMAP account:");
    rdbStoreLocal->SetChecked(true);
    store->Layout()->addWidget(rdbStoreLocal);
    store->Layout()->addWidget(rdbStoreImap);
    auto* imap = new QGridLayout;
    int imap_row = 0;
    const auto imap_field = [&](std::string_view caption, QWidget* w) {
        imap->addWidget(new ui::TLabel(store, caption), imap_row, 0);
        imap->addWidget(w, imap_row++, 1, Qt::AlignLeft);
    };
    edtImapHost = new ui::TEdit(store);
    edtImapHost->setMinimumWidth(ScaleToScreen(240));
    spnImapPort = new ui::TSpinEdit(store);
    spnImapPort->SetRange(1, 65535);
    spnImapPort->SetValue(993);
    cmbImapSecurity = new ui::TComboBox(store, ui::csDropDownList);
    cmbImapSecurity->Items().Add("None");
    cmbImapSecurity->Items().Add("TLS");
    cmbImapSecurity->SetItemIndex(1);
    edtImapUser = new ui::TEdit(store);
    edtImapUser->setMinimumWidth(ScaleToScreen(240));
    edtImapPassword = new ui::TEdit(store);
    edtImapPassword->setEchoMode(QLineEdit::Password);
    edtImapPassword->setMinimumWidth(ScaleToScreen(240));
    imap_field("Server:", edtImapHost);
    imap_field("Port:", spnImapPort);
    imap_field("Security:", cmbImapSecurity);
    imap_field("User:", edtImapUser);
    imap_field("Password:", edtImapPassword);
    imap->setColumnStretch(2, 1);
    store->Layout()->addLayout(imap);
    auto* place = new ui::TLabel(store, mail::PasswordPlaceText(mail::PasswordPlaceAvailable()));
    place->setWordWrap(true);
    store->Layout()->addWidget(place);
    btnTestStore = new ui::TButton(store, "Test");
    store->Layout()->addWidget(btnTestStore, 0, Qt::AlignLeft);
    tabStore->Layout()->addWidget(store);
    tabStore->Layout()->addStretch(1);
}

void TdlgAdvancedSettings::LoadStoreAccount() {
    try {
        account_ = mail::LoadMailAccount();
    } catch (const std::exception& e) {
        // A damaged value is shown once; the dialog starts from the defaults.
        ui::MessageDlg(e.what(), ui::mtWarning, {ui::mbOK});
    }
    (account_.imap ? rdbStoreImap : rdbStoreLocal)->SetChecked(true);
    if (account_.imap) {
        edtImapHost->SetText(account_.imap_host);
        spnImapPort->SetValue(account_.imap_port);
        cmbImapSecurity->SetItemIndex(account_.imap_tls ? 1 : 0);
        edtImapUser->SetText(account_.imap_user);
        edtImapPassword->SetText(account_.imap_password);
    }
    rdbStoreClick();
    const std::string unread = mail::UnreadPasswordsText(account_);
    if (!unread.empty())
        ui::MessageDlg(unread, ui::mtWarning, {ui::mbOK});
}

void TdlgAdvancedSettings::BuildOutlookPage() {
    tabOutlook = new ui::TTabSheet(*pgcAdv, "Outlook Integration");
    auto* intro = new ui::TLabel(
        tabOutlook,
        "These settings decide how Corvane finds your Outlook folders and the sender of each "
        "message it reads.  Further information is available on the Brovik support page at:");
    intro->setWordWrap(true);
    tabOutlook->Layout()->addWidget(intro);
    lblSupport = new ui::TButton(tabOutlook, kSupportPage);
    lblSupport->setFlat(true);
    lblSupport->setCursor(Qt::PointingHandCursor);
    lblSupport->setStyleSheet(kLinkStyle);
    lblSupport->OnClick = [this] { lblSupportClick(); };
    tabOutlook->Layout()->addWidget(lblSupport, 0, Qt::AlignLeft);
    auto* root = new ui::TGroupBox(tabOutlook, "Outlook Root (Top Level) Folder");
    rdbPersonalFolders = new ui::TRadioButton(root, "Access root folder as 'Personal Folders'");
    rdbrootdefault = new ui::TRadioButton(root, "Use Outlook Default root definition");
    rdbRootOther = new ui::TRadioButton(root, "Specify name of Outlook Root:");
    edtrootother = new ui::TEdit(root);
    edtrootother->SetEnabled(false);
    rdbPersonalFolders->SetChecked(true);
    for (QWidget* w : std::initializer_list<QWidget*>{rdbPersonalFolders, rdbrootdefault,
                                                      rdbRootOther, edtrootother})
        root->Layout()->addWidget(w);
    tabOutlook->Layout()->addWidget(root);
    auto* sender = new ui::TGroupBox(tabOutlook, "Sender E-mail Retrieval");
    auto* sender_question = new ui::TLabel(
        sender, "What method do you want to use for retrieving the sender address of an e-mail?");
    // Wrapped, or the dialog's width cuts it off.
    sender_question->setWordWrap(true);
    sender->Layout()->addWidget(sender_question);
    cmbGetSenderMethod = new ui::TComboBox(sender, ui::csDropDownList);
    for (const char* item :
         {"None: Only process if email found in Sender Name",
          "Dynamically select Reply or ReplyRecipients ", "Use Reply Object",
          "Use ReplyRecipients property", "Use MAPI to retrieve sender address (may be unstable)"})
        cmbGetSenderMethod->Items().Add(item);
    // Its design value is the settings' default: after a Cancel on the unset-method question
    // the controls keep their design values, and OK must not store a method of -1, under
    // which no sender of any message is ever found.
    cmbGetSenderMethod->SetItemIndex(Settings{}.GetSenderMethod);
    sender->Layout()->addWidget(cmbGetSenderMethod);
    chkAlwaysShowSenderError =
        new ui::TCheckBox(sender, "Always display error when cannot retrieve a sender address");
    sender->Layout()->addWidget(chkAlwaysShowSenderError);
    tabOutlook->Layout()->addWidget(sender);
    tabOutlook->Layout()->addStretch(1);
}

void TdlgAdvancedSettings::BuildButtons() {
    auto* buttons = new QHBoxLayout;
    auto* help = new ui::TButton(Client(), "&Help");
    help->OnClick = [] { ui::OpenHelp(kAdvancedSettingsHelp); };
    buttons->addWidget(help);
    buttons->addStretch(1);
    auto* cancel = new ui::TButton(Client(), "Cancel");
    cancel->SetModalResult(ui::mrCancel);
    cancel->SetCancel(true);
    btnOK = new ui::TButton(Client(), "OK");
    btnOK->SetDefault(true);
    buttons->addWidget(cancel);
    buttons->addWidget(btnOK);
    ClientLayout()->addLayout(buttons);
}

void TdlgAdvancedSettings::ConnectEvents() {
    cmbEmailMethod->OnChange = [this] { cmbEmailMethodChange(); };
    btnSMTPSettings->OnClick = [this] { btnSMTPSettingsClick(); };
    rdbOutlook->OnClick = [this] { rdbOutlookClick(); };
    rdbOther->OnClick = [this] { rdbOutlookClick(); };
    for (ui::TRadioButton* r : {rdbPersonalFolders, rdbrootdefault, rdbRootOther})
        r->OnClick = [this] { rdbrootdefaultClick(); };
    rdbStoreLocal->OnClick = [this] { rdbStoreClick(); };
    rdbStoreImap->OnClick = [this] { rdbStoreClick(); };
    btnTestStore->OnClick = [this] { btnTestStoreClick(); };
    QObject::connect(edtImapPassword, &QLineEdit::textEdited, this,
                     [this] { account_.imap_password_unread.clear(); });
    btnOK->OnClick = [this] { BitBtn1Click(); };
    OnShow = [this] { FormShow(); };
}

void TdlgAdvancedSettings::FormShow() {
    // The question is answered on the dialog's controls only, so Cancel leaves
    // the stored method as it was.
    int method = settings_.EmailMethod;
    if (method < 0) {
        if (ui::MessageDlg("Your preferred e-mail sending method has not been specified.  The "
                           "default, MAPI transport, will be used.  You can change this now, if "
                           "you prefer.",
                           ui::mtInformation, ui::mbOKCancel) != ui::mrOk)
            return;
        method = kMethodMapiControl;
    }
    cmbGetSenderMethod->SetItemIndex(settings_.GetSenderMethod);
    (use_outlook_ ? rdbOutlook : rdbOther)->SetChecked(true);
    rdbOutlookClick();
    cmbEmailMethod->SetItemIndex(method);
    cmbEmailMethodChange();
    chkAlwaysResolveAddresses->SetChecked(settings_.AlwaysResolveAddresses);
    chkAlwaysShowSenderError->SetChecked(settings_.AlwaysShowSenderError);
    switch (RootChoiceOf(settings_.RootFolder)) {
        case RootChoice::kDefault:
            rdbrootdefault->SetChecked(true);
            break;
        case RootChoice::kOther:
            rdbRootOther->SetChecked(true);
            edtrootother->SetText(settings_.RootFolder);
            break;
        case RootChoice::kPersonalFolders:
            rdbPersonalFolders->SetChecked(true);
            break;
    }
    rdbrootdefaultClick();
}

void TdlgAdvancedSettings::cmbEmailMethodChange() {
    const int item = cmbEmailMethod->ItemIndex();
    btnSMTPSettings->SetEnabled(item == kMethodSmtp || item == kMethodRelay);
    chkAlwaysResolveAddresses->SetEnabled(!btnSMTPSettings->isEnabled());
}

void TdlgAdvancedSettings::rdbStoreClick() {
    const bool imap = rdbStoreImap->Checked();
    for (QWidget* w : std::initializer_list<QWidget*>{edtImapHost, spnImapPort, cmbImapSecurity,
                                                      edtImapUser, edtImapPassword, btnTestStore})
        w->setEnabled(imap);
}

mail::MailAccount TdlgAdvancedSettings::StoreAccount() const {
    mail::MailAccount account = account_;
    account.imap = rdbStoreImap->Checked();
    account.imap_host = Trim(edtImapHost->Text());
    account.imap_port = static_cast<std::uint16_t>(spnImapPort->Value());
    account.imap_tls = cmbImapSecurity->ItemIndex() == 1;
    account.imap_user = Trim(edtImapUser->Text());
    account.imap_password = edtImapPassword->Text();
    return account;
}

void TdlgAdvancedSettings::btnTestStoreClick() {
    const DisabledWhileTesting testing(btnTestStore);
    std::string answer;
    {
        const ui::THourglass hourglass;
        answer = TestStoreAccount(StoreAccount());
    }
    ui::MessageDlg(answer, ui::mtInformation, {ui::mbOK});
}

void TdlgAdvancedSettings::rdbOutlookClick() {
    tabOutlook->SetTabVisible(rdbOutlook->Checked());
}

void TdlgAdvancedSettings::lblSupportClick() {
    ui::ShellOpen(kSupportPage);
}

void TdlgAdvancedSettings::rdbrootdefaultClick() {
    edtrootother->SetEnabled(rdbRootOther->Checked());
}

void TdlgAdvancedSettings::btnSMTPSettingsClick() {
    const bool relay = cmbEmailMethod->ItemIndex() != kMethodSmtp;
    SmtpSettingsFields fields = LoadSmtpSettingsFields(settings_, relay);
    fields.security = static_cast<int>(account_.smtp_security);
    fields.password = account_.smtp_password;
    fields.password_unread = account_.smtp_password_unread;
    TdlgSMTPSettings dialog(this, fields);
    if (dialog.ShowModal() != ui::mrOk)
        return;
    StoreSmtpSettingsFields(settings_, dialog.Fields());
    if (relay)
        return;
    account_.smtp_security = static_cast<mail::SmtpSecurity>(dialog.Fields().security);
    account_.smtp_password = dialog.Fields().password;
    account_.smtp_password_unread = dialog.Fields().password_unread;
    try {
        mail::SaveMailAccount(account_);
    } catch (const std::exception& e) {
        ui::MessageDlg(e.what(), ui::mtError, {ui::mbOK});
    }
}

void TdlgAdvancedSettings::BitBtn1Click() {
    const int item = cmbEmailMethod->ItemIndex();
    const std::string missing = MissingSettingsText(settings_, item);
    if (!missing.empty()) {
        ui::MessageDlg(missing, ui::mtInformation, {ui::mbOK});
        btnSMTPSettingsClick();
        return;
    }
    use_outlook_ = rdbOutlook->Checked();
    if (OnSetUseOutlook)
        OnSetUseOutlook(use_outlook_);
    settings_.GetSenderMethod = cmbGetSenderMethod->ItemIndex();
    settings_.EmailMethod = item;
    settings_.AlwaysShowSenderError = chkAlwaysShowSenderError->Checked();
    settings_.AlwaysResolveAddresses = chkAlwaysResolveAddresses->Checked();
    const RootChoice root = rdbrootdefault->Checked() ? RootChoice::kDefault
                            : rdbRootOther->Checked() ? RootChoice::kOther
                                                      : RootChoice::kPersonalFolders;
    settings_.RootFolder = RootFolderFor(root, edtrootother->Text());
    // A store address that cannot be written keeps the dialog open, nothing lost.
    const mail::MailAccount account = StoreAccount();
    if (account.imap != account_.imap || account.imap) {
        try {
            mail::SaveMailAccount(account);
            account_ = account;
        } catch (const std::exception& e) {
            ui::MessageDlg(e.what(), ui::mtError, {ui::mbOK});
            pgcAdv->SetActivePage(tabStore);
            return;
        }
    }
    SetModalResult(ui::mrOk);
}

}  // namespace app
