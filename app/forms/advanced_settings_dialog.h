#pragma once

// "Advanced Settings" (the sending method, name resolution, Outlook use, root
// folder and sender retrieval) and "SMTP Settings" (the SMTP server or the
// relay's DNS server).

#include <functional>

#include "app/mail/sending_settings.h"
#include "platform/mail/mail_config.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "platform/ui/page_control.h"

namespace app {

struct Settings;

class TdlgSMTPSettings : public ui::TForm {
  public:
    TdlgSMTPSettings(QWidget* owner, const SmtpSettingsFields& fields);

    SmtpSettingsFields Fields() const;
    // OK: refuses a port or time-out out of range and keeps the dialog open.
    void BitBtn1Click();
    // Tries the account as the fields say and shows the server's answer.
    void btnTestClick();

    ui::TLabel* lblHeading;
    ui::TLabel* lblSMTPHost;
    ui::TEdit* edtSMTPHost;
    ui::TLabel* lblSMTPPort;
    ui::TEdit* edtSMTPPort;
    ui::TLabel* lblSMTPID;
    ui::TEdit* edtSMTPID;
    ui::TEdit* edtSMTPPassword;
    ui::TComboBox* cmbSecurity;
    ui::TLabel* lblPasswordPlace;
    ui::TButton* btnTest;
    ui::TEdit* edtSMTPName;
    ui::TEdit* edtSMTPEmail;
    ui::TCheckBox* chkRemoveBadAddresses;
    ui::TButton* btnOK;

  private:
    bool relay_;
    // Why the password field is empty: the keyring could not be read. Kept
    // until the user edits the field.
    std::string password_unread_;
};

// The help page of the advanced settings.
inline constexpr int kAdvancedSettingsHelp = 312;

class TdlgAdvancedSettings : public ui::TForm {
  public:
    // use_outlook: the main window's use-Outlook flag, which OK hands back
    // through OnSetUseOutlook (the main window shows or hides its Outlook
    // commands there); it is not a stored setting.
    TdlgAdvancedSettings(QWidget* owner, Settings& settings, bool use_outlook = true);

    void FormShow();
    void cmbEmailMethodChange();
    void btnSMTPSettingsClick();
    void rdbOutlookClick();
    void rdbrootdefaultClick();
    void BitBtn1Click();
    // The link label: the maker's support page.
    void lblSupportClick();

    std::function<void(bool use_outlook)> OnSetUseOutlook;

    ui::TPageControl* pgcAdv;
    ui::TTabSheet* tabGeneral;
    ui::TTabSheet* tabOutlook;
    ui::TTabSheet* tabStore;
    ui::TComboBox* cmbEmailMethod;
    ui::TButton* btnSMTPSettings;
    ui::TCheckBox* chkAlwaysResolveAddresses;
    ui::TRadioButton* rdbOutlook;
    ui::TRadioButton* rdbOther;
    ui::TRadioButton* rdbPersonalFolders;
    ui::TRadioButton* rdbrootdefault;
    ui::TRadioButton* rdbRootOther;
    ui::TEdit* edtrootother;
    ui::TComboBox* cmbGetSenderMethod;
    ui::TCheckBox* chkAlwaysShowSenderError;
    ui::TButton* lblSupport;
    ui::TButton* btnOK;
    // The mail store: the embedded "Personal Folders" or an IMAP account.
    ui::TRadioButton* rdbStoreLocal;
    ui::TRadioButton* rdbStoreImap;
    ui::TEdit* edtImapHost;
    ui::TSpinEdit* spnImapPort;
    ui::TComboBox* cmbImapSecurity;
    ui::TEdit* edtImapUser;
    ui::TEdit* edtImapPassword;
    ui::TButton* btnTestStore;
    void rdbStoreClick();
    void btnTestStoreClick();
    mail::MailAccount StoreAccount() const;

  private:
    void BuildGeneralPage();
    void BuildStorePage();
    // The stored account fills the store page; a damaged one is reported once.
    void LoadStoreAccount();
    void BuildOutlookPage();
    void BuildButtons();
    void ConnectEvents();

    Settings& settings_;
    mail::MailAccount account_;
    bool use_outlook_;
};

}  // namespace app
