#pragma once

// The options dialog: every setting and option list on ten pages. Showing it puts the
// live settings into its controls; OK checks them, takes them back and saves them all;
// Cancel reloads the saved settings.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/forms/main_window.h"
#include "app/list/option_lists.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "platform/ui/page_control.h"
#include "support/ext_page_control.h"

namespace app {

// The option-list editor: one entry a line.
class Tdlgeditentries : public ui::TForm {
  public:
    explicit Tdlgeditentries(QWidget* owner);
    ui::TMemo* memEntries;
    ui::TButton* btnOK;
    ui::TButton* btnCancel;
};

class Tdlgoptions : public ui::TForm {
  public:
    Tdlgoptions(QWidget* owner, ListServices services);

    void FormShow();
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn3Click();
    // Edits one option list in the editor; true when it was changed.
    bool EditEntries(ui::TListBox& list, const OptionListRules& rules);
    void UpdateCategoryListBoxes();
    void btnneverjoinClick();
    // "Advanced Options..": the sending and mail-store settings.
    void BitBtn4Click();
    // Applies the record-cache option to the main window's grid, after OK and after Cancel
    // has loaded the settings again.
    std::function<void()> OnApplyRecordCache;
    // After Cancel has loaded the settings again: the main window applies the ones it
    // keeps itself (in-line editing).
    std::function<void()> OnSettingsReloaded;
    // The main window's use-Outlook flag, which the advanced settings show and change.
    std::function<bool()> UseOutlook;
    std::function<void(bool)> OnSetUseOutlook;
    void UpdateEnabling();
    // The mail store's folder names for the two folder pick lists.
    std::function<std::vector<std::string>()> OnListFolders;
    void Timer1Timer();

    support::TExtPageControl* pgcoptions;
    // The pages in their order, and the one shown.
    ui::TTabSheet* Pages(int index) const;
    ui::TTabSheet* ActivePage() const;
    // General
    ui::TButton* BitBtn4;
    ui::TCheckBox* chkUpdateCommentsWhenEntryExists;
    ui::TCheckBox* chkallowfromaddressasentry;
    ui::TCheckBox* chkGuessSalutation;
    ui::TCheckBox* chkDBNotexclusive;
    ui::TCheckBox* chkStrictChangeDetection;
    ui::TCheckBox* chkLimitDBCache;
    ui::TSpinEdit* spncachesize;
    ui::TCheckBox* chkMaintainLog;
    ui::TEdit* edtBackUpFile;
    ui::TButton* BitBtn5;
    ui::TCheckBox* chknewBUfilename;
    ui::TCheckBox* chkBUOnEXit;
    // Scanning
    ui::TComboBox* edtrosterlygroup;
    ui::TCheckBox* chkautoscan_startup;
    ui::TCheckBox* chkautoscan_timed;
    ui::TSpinEdit* spnAutoScanDelay;
    ui::TRadioButton* rdbMarkAsRead;
    ui::TRadioButton* rdbDelete;
    ui::TRadioButton* rdbScanSubject;
    ui::TRadioButton* rdbScanAllEmailLines;
    // List Categories
    ui::TRadioButton* rdballcats;
    ui::TRadioButton* rdbrestrictcategories;
    ui::TListBox* lbxcategories;
    ui::TButton* edtcategories;
    ui::TRadioButton* rdbWrongCategoryIsError;
    ui::TRadioButton* rdbWrongCategoryDoChange;
    ui::TComboBox* edtAlternativeCategory;
    ui::TComboBox* edtdefaultcategory;
    ui::TRadioGroup* rgpMultipleCategorySupport;
    // Sending Mail
    ui::TRadioButton* rdbsingleemail;
    ui::TRadioButton* rdbmultiemail;
    ui::TSpinEdit* spnmaxsendcount;
    ui::TEdit* defaulttoaddress;
    ui::TCheckBox* AcknowledgeCheck;
    ui::TCheckBox* chkSendLog;
    ui::TCheckBox* chkStaggerSending;
    ui::TSpinEdit* spnStaggerDelay;
    // Acknowledge
    ui::TCheckBox* chkSendAcknowledgement;
    ui::TEdit* edtSubject;
    ui::TMemo* memHeader;
    ui::TMemo* memFooter;
    // User Sending
    ui::TCheckBox* chkUserSending;
    ui::TComboBox* edtUserSendingFolder;
    ui::TRadioButton* rdbForwardAll;
    ui::TRadioButton* rdbForwardSubject;
    ui::TRadioButton* rdbCVInSubject;
    ui::TRadioButton* rdbCVInEmail;
    ui::TRadioButton* rdbCVAll;
    ui::TRadioButton* rdbCVSenderGroup;
    ui::TCheckBox* chkCheckUser;
    ui::TCheckBox* chkDefaultNoUserSend;
    ui::TCheckBox* chkMustBelongToGroup;
    // Delivery Failure
    ui::TCheckBox* chkfailedmail;
    ui::TListBox* lbxfailure;
    ui::TButton* btndeliveryfailure;
    ui::TCheckBox* chkbouncemax;
    ui::TSpinEdit* spnbouncemax;
    ui::TCheckBox* chkRemoveOutofOffice;
    // Exceptions
    ui::TCheckBox* chkExcept;
    ui::TListBox* lbxexceptions;
    ui::TButton* btninvalidentries;
    ui::TListBox* lbxneversubscribe;
    ui::TButton* btnneverjoin;
    ui::TCheckBox* chkAddUnsubscribers;
    // Synonyms
    ui::TListBox* lbxAddStrings;
    ui::TButton* btnsubsynonyms;
    ui::TListBox* lbxRemovalStrings;
    ui::TButton* btnunsubsynonyms;
    ui::TListBox* lbxModifyStrings;
    ui::TButton* BitBtn6;
    // Signature
    ui::TRadioButton* rdbAddSignaturePrior;
    ui::TRadioButton* rdbAddSignatureAfter;
    ui::TCheckBox* chkSigOnForward;
    ui::TMemo* Memsignature;
    ui::TButton* btnPaste;
    ui::TButton* btnLoad;

    ui::TButton* BitBtn1;
    ui::TButton* BitBtn2;
    ui::TButton* BitBtn3;
    ui::TTimer Timer1;

  private:
    // One builder per page, in the tabs' order; then the pages' events.
    void BuildPages();
    ui::TTabSheet& AddPage(std::string_view caption);
    void BuildGeneralPage();
    void BuildScanningPage();
    void BuildCategoriesPage();
    void BuildSendingPage();
    void BuildAcknowledgePage();
    void BuildUserSendingPage();
    void BuildFailurePage();
    void BuildExceptionsPage();
    void BuildSynonymsPage();
    void BuildSignaturePage();
    void WirePages();
    void LoadControls();
    void StoreControls();

    ListServices services_;
    std::vector<ui::TTabSheet*> pages_;
};

}  // namespace app
