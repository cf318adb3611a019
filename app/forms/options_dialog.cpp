#include "app/forms/options_dialog.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>

#include "app/forms/advanced_settings_dialog.h"
#include "app/list/entry_processing.h"
#include "app/list/import_file.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/routines/text_routines.h"
#include "platform/db/whole_file.h"
#include "platform/ui/application.h"
#include "platform/ui/cursor.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/shell.h"

namespace app {
namespace {

constexpr int kOptionsHelpContext = 302;

// One titled box of a page; radio buttons in it form a group of their own.
ui::TGroupBox* Box(ui::TTabSheet& page, std::string_view caption) {
    auto* box = new ui::TGroupBox(&page, caption);
    page.Layout()->addWidget(box);
    return box;
}

template <class Control, class... Args>
Control* In(ui::TGroupBox& box, Args&&... args) {
    auto* control = new Control(&box, std::forward<Args>(args)...);
    box.Layout()->addWidget(control);
    return control;
}

ui::TSpinEdit* Spin(ui::TGroupBox& box, SpinRange range, int step) {
    auto* spin = In<ui::TSpinEdit>(box);
    spin->SetRange(range.first, range.second);
    spin->SetIncrement(step);
    return spin;
}

// A list with its "Edit.." button beside it.
std::pair<ui::TListBox*, ui::TButton*> EditableList(ui::TGroupBox& box) {
    auto* row = new QHBoxLayout;
    auto* list = new ui::TListBox(&box);
    auto* button = new ui::TButton(&box, "Edit..");
    row->addWidget(list, 1);
    row->addWidget(button, 0, Qt::AlignTop);
    box.Layout()->addLayout(row);
    return {list, button};
}

void SetLines(ui::TListBox& list, const OptionList& lines) {
    list.Items().Clear();
    for (const std::string& line : lines)
        list.Items().Add(line);
}

void SetItems(ui::TComboBox& box, const std::vector<std::string>& items) {
    std::string text = box.Text();
    box.Items().Clear();
    for (const std::string& item : items)
        box.Items().Add(item);
    box.SetText(text);
}

std::string WithoutTrailingLineBreak(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

}  // namespace

Tdlgeditentries::Tdlgeditentries(QWidget* owner) : ui::TForm(owner) {
    SetCaption("Edit Entries");
    SetPosition(ui::poMainFormCenter);
    memEntries = new ui::TMemo(Client());
    memEntries->SetWordWrap(false);
    // Tab moves on to the buttons, as in the other dialogs' text boxes, and so never ends
    // up inside an entry.
    memEntries->setTabChangesFocus(true);
    ClientLayout()->addWidget(memEntries, 1);
    auto* row = new QHBoxLayout;
    btnOK = new ui::TButton(Client(), "OK");
    btnOK->SetModalResult(ui::mrOk);
    btnCancel = new ui::TButton(Client(), "Cancel");
    btnCancel->SetModalResult(ui::mrCancel);
    btnCancel->SetCancel(true);
    row->addStretch(1);
    row->addWidget(btnOK);
    row->addWidget(btnCancel);
    ClientLayout()->addLayout(row);
    resize(ScaleToScreen(320), ScaleToScreen(360));
}

Tdlgoptions::Tdlgoptions(QWidget* owner, ListServices services)
    : ui::TForm(owner), services_(services) {
    SetCaption("Options");
    SetPosition(ui::poMainFormCenter);
    pgcoptions = new support::TExtPageControl(Client());
    // All ten tabs in view: a clipped tab behind scroll arrows is easily missed.
    pgcoptions->setUsesScrollButtons(false);
    ClientLayout()->addWidget(pgcoptions, 1);
    BuildPages();
    auto* buttons = new QHBoxLayout;
    BitBtn3 = new ui::TButton(Client(), "Help");
    BitBtn1 = new ui::TButton(Client(), "OK");
    BitBtn1->SetModalResult(ui::mrOk);
    BitBtn2 = new ui::TButton(Client(), "Cancel");
    BitBtn2->SetModalResult(ui::mrCancel);
    BitBtn2->SetCancel(true);
    buttons->addWidget(BitBtn3);
    buttons->addStretch(1);
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    ClientLayout()->addLayout(buttons);
    BitBtn1->OnClick = [this] { BitBtn1Click(); };
    BitBtn2->OnClick = [this] { BitBtn2Click(); };
    BitBtn3->OnClick = [this] { BitBtn3Click(); };
    Timer1.SetInterval(100);
    Timer1.OnTimer = [this] { Timer1Timer(); };
    pgcoptions->OnChange = [this](support::TExtPageControl*) {
        ui::TTabSheet* page = ActivePage();
        if (page != nullptr &&
            (page->Caption() == "Scanning" || page->Caption() == "User Sending") &&
            edtrosterlygroup->Items().Count() == 0)
            Timer1.SetEnabled(true);
    };
    OnShow = [this] { FormShow(); };
    resize(ScaleToScreen(700), ScaleToScreen(540));
}

void Tdlgoptions::BuildPages() {
    BuildGeneralPage();
    BuildScanningPage();
    BuildCategoriesPage();
    BuildSendingPage();
    BuildAcknowledgePage();
    BuildUserSendingPage();
    BuildFailurePage();
    BuildExceptionsPage();
    BuildSynonymsPage();
    BuildSignaturePage();
    WirePages();
}

ui::TTabSheet& Tdlgoptions::AddPage(std::string_view caption) {
    pages_.push_back(new ui::TTabSheet(*pgcoptions, caption));
    return *pages_.back();
}

void Tdlgoptions::BuildGeneralPage() {
    ui::TTabSheet& general = AddPage("General");
    BitBtn4 = new ui::TButton(&general, "Advanced Options..");
    BitBtn4->OnClick = [this] { BitBtn4Click(); };
    general.Layout()->addWidget(BitBtn4, 0, Qt::AlignLeft);
    ui::TGroupBox& insertion = *Box(general, "Database Insertion Options");
    chkUpdateCommentsWhenEntryExists =
        In<ui::TCheckBox>(insertion, "Update the comments of an entry that already exists");
    chkallowfromaddressasentry =
        In<ui::TCheckBox>(insertion, "Allow the sender's address to be used as the entry");
    chkGuessSalutation = In<ui::TCheckBox>(insertion, "Guess first names from full names");
    ui::TGroupBox& database = *Box(general, "Database Setting");
    chkDBNotexclusive =
        In<ui::TCheckBox>(database, "Allow database to be shared (lower performance)");
    chkStrictChangeDetection = In<ui::TCheckBox>(database, "Strict change detection");
    chkLimitDBCache = In<ui::TCheckBox>(database, "Limit the number of entries kept loaded:");
    spncachesize = Spin(database, kCacheSizeRange, 500);
    chkMaintainLog = In<ui::TCheckBox>(database, "Maintain a log of all activity");
    ui::TGroupBox& backup = *Box(general, "Back Up Options");
    auto* backup_row = new QHBoxLayout;
    edtBackUpFile = new ui::TEdit(&backup);
    BitBtn5 = new ui::TButton(&backup, "Browse..");
    backup_row->addWidget(edtBackUpFile, 1);
    backup_row->addWidget(BitBtn5);
    backup.Layout()->addLayout(backup_row);
    chknewBUfilename = In<ui::TCheckBox>(backup, "Create a new back up file name each time");
    chkBUOnEXit = In<ui::TCheckBox>(backup, "Back up on exit");
    general.Layout()->addStretch(1);
}

void Tdlgoptions::BuildScanningPage() {
    ui::TTabSheet& scanning = AddPage("Scanning");
    ui::TGroupBox& folder = *Box(scanning, "Mail folder to scan for list changes");
    edtrosterlygroup = In<ui::TComboBox>(folder);
    ui::TGroupBox& automatic = *Box(scanning, "Automatic checking");
    chkautoscan_startup = In<ui::TCheckBox>(automatic, "Check for new entries at start-up");
    chkautoscan_timed = In<ui::TCheckBox>(automatic, "Check for new entries every (minutes):");
    spnAutoScanDelay = Spin(automatic, kAutoScanDelayRange, 30);
    ui::TGroupBox& after_processing = *Box(scanning, "After processing a message");
    rdbMarkAsRead = In<ui::TRadioButton>(after_processing, "Mark messages as read");
    rdbDelete = In<ui::TRadioButton>(after_processing, "Delete messages");
    ui::TGroupBox& location = *Box(scanning, "Look for commands in");
    rdbScanSubject =
        In<ui::TRadioButton>(location, "The subject and the first line of the message");
    rdbScanAllEmailLines = In<ui::TRadioButton>(location, "The subject and every line");
    scanning.Layout()->addStretch(1);
}

void Tdlgoptions::BuildCategoriesPage() {
    ui::TTabSheet& categories = AddPage("List Categories");
    ui::TGroupBox& allowed = *Box(categories, "Allowed categories");
    rdballcats = In<ui::TRadioButton>(allowed, "Allow all categories");
    rdbrestrictcategories = In<ui::TRadioButton>(allowed, "Only allow these categories:");
    std::tie(lbxcategories, edtcategories) = EditableList(allowed);
    ui::TGroupBox& wrong = *Box(categories, "For a category that is not allowed");
    rdbWrongCategoryIsError = In<ui::TRadioButton>(wrong, "Treat it as an error");
    rdbWrongCategoryDoChange = In<ui::TRadioButton>(wrong, "Use this category instead:");
    edtAlternativeCategory = In<ui::TComboBox>(wrong);
    ui::TGroupBox& fallback = *Box(categories, "Default category");
    edtdefaultcategory = In<ui::TComboBox>(fallback);
    rgpMultipleCategorySupport = new ui::TRadioGroup(&categories, "Multiple categories");
    rgpMultipleCategorySupport->Items().Add(
        "E-mail addresses can only occur once within the database");
    rgpMultipleCategorySupport->Items().Add(
        "E-mail addresses can belong to multiple categories within the database");
    categories.Layout()->addWidget(rgpMultipleCategorySupport);
}

void Tdlgoptions::BuildSendingPage() {
    ui::TTabSheet& sending = AddPage("Sending Mail");
    ui::TGroupBox& per_message = *Box(sending, "Recipients per message");
    rdbsingleemail = In<ui::TRadioButton>(per_message, "One message for each recipient");
    rdbmultiemail = In<ui::TRadioButton>(per_message, "Several recipients in each message:");
    spnmaxsendcount = Spin(per_message, kSendCountRange, 25);
    // A list sent one message each shows this count when the user switches to several
    // recipients per message; at the range's minimum of 1 the switch would change nothing.
    spnmaxsendcount->SetValue(500);
    ui::TGroupBox& to = *Box(sending, "Default To: address");
    defaulttoaddress = In<ui::TEdit>(to);
    ui::TGroupBox& sending_options = *Box(sending, "Options");
    AcknowledgeCheck = In<ui::TCheckBox>(sending_options, "Request Read Receipts");
    chkSendLog = In<ui::TCheckBox>(sending_options, "Keep a log of messages sent");
    chkStaggerSending = In<ui::TCheckBox>(sending_options, "Wait between messages (seconds):");
    spnStaggerDelay = Spin(sending_options, kStaggerDelayRange, 1);
    sending.Layout()->addStretch(1);
}

void Tdlgoptions::BuildAcknowledgePage() {
    ui::TTabSheet& acknowledge = AddPage("Acknowledge");
    ui::TGroupBox& ack = *Box(acknowledge, "Acknowledgements");
    chkSendAcknowledgement =
        In<ui::TCheckBox>(ack, "Send an acknowledgement to people who subscribe or unsubscribe");
    In<ui::TLabel>(ack, "Subject:");
    edtSubject = In<ui::TEdit>(ack);
    In<ui::TLabel>(ack, "Header:");
    memHeader = In<ui::TMemo>(ack);
    In<ui::TLabel>(ack, "Footer:");
    memFooter = In<ui::TMemo>(ack);
    for (ui::TMemo* memo : {memHeader, memFooter})
        memo->setTabChangesFocus(true);
}

void Tdlgoptions::BuildUserSendingPage() {
    ui::TTabSheet& users = AddPage("User Sending");
    ui::TGroupBox& members = *Box(users, "Members' messages");
    chkUserSending = In<ui::TCheckBox>(members, "Allow users to send messages to the list");
    In<ui::TLabel>(members, "Folder to scan for users' messages:");
    edtUserSendingFolder = In<ui::TComboBox>(members);
    ui::TGroupBox& which = *Box(users, "Forward");
    rdbForwardAll = In<ui::TRadioButton>(which, "All messages in the folder");
    rdbForwardSubject = In<ui::TRadioButton>(which, "Only messages with the list's subject");
    ui::TGroupBox& whom = *Box(users, "Forward to the members of");
    rdbCVInSubject = In<ui::TRadioButton>(whom, "The category named in the subject");
    rdbCVInEmail = In<ui::TRadioButton>(whom, "The category named in the message");
    rdbCVAll = In<ui::TRadioButton>(whom, "All categories");
    rdbCVSenderGroup = In<ui::TRadioButton>(whom, "The sender's category");
    ui::TGroupBox& checks = *Box(users, "Checks");
    chkCheckUser = In<ui::TCheckBox>(checks, "Check that the sender may send");
    chkDefaultNoUserSend = In<ui::TCheckBox>(checks, "New members may not send");
    chkMustBelongToGroup = In<ui::TCheckBox>(checks, "The sender must belong to the category");
}

void Tdlgoptions::BuildFailurePage() {
    ui::TTabSheet& failure = AddPage("Delivery Failure");
    ui::TGroupBox& failed = *Box(failure, "Undeliverable mail");
    chkfailedmail = In<ui::TCheckBox>(failed, "Recognise undeliverable mail by these words:");
    std::tie(lbxfailure, btndeliveryfailure) = EditableList(failed);
    chkbouncemax = In<ui::TCheckBox>(failed, "Remove an address after this many bounces:");
    spnbouncemax = Spin(failed, kBounceMaxRange, 1);
    chkRemoveOutofOffice = In<ui::TCheckBox>(failed, "Remove out of office replies");
}

void Tdlgoptions::BuildExceptionsPage() {
    ui::TTabSheet& exceptions = AddPage("Exceptions");
    ui::TGroupBox& refused = *Box(exceptions, "Invalid addresses");
    chkExcept = In<ui::TCheckBox>(refused, "Refuse addresses that contain:");
    std::tie(lbxexceptions, btninvalidentries) = EditableList(refused);
    ui::TGroupBox& blocked = *Box(exceptions, "Blocked addresses");
    std::tie(lbxneversubscribe, btnneverjoin) = EditableList(blocked);
    chkAddUnsubscribers =
        In<ui::TCheckBox>(blocked, "Add people who unsubscribe to the blocked addresses");
}

void Tdlgoptions::BuildSynonymsPage() {
    ui::TTabSheet& synonyms = AddPage("Synonyms");
    ui::TGroupBox& add_words = *Box(synonyms, "Subscribe");
    std::tie(lbxAddStrings, btnsubsynonyms) = EditableList(add_words);
    ui::TGroupBox& remove_words = *Box(synonyms, "Unsubscribe");
    std::tie(lbxRemovalStrings, btnunsubsynonyms) = EditableList(remove_words);
    ui::TGroupBox& modify_words = *Box(synonyms, "Change address");
    std::tie(lbxModifyStrings, BitBtn6) = EditableList(modify_words);
}

void Tdlgoptions::BuildSignaturePage() {
    ui::TTabSheet& signature = AddPage("Signature");
    ui::TGroupBox& place = *Box(signature, "Signature");
    rdbAddSignaturePrior = In<ui::TRadioButton>(place, "Display Signature in message editor");
    rdbAddSignatureAfter =
        In<ui::TRadioButton>(place, "Add Signature to each message as it is sent");
    chkSigOnForward = In<ui::TCheckBox>(place, "Add the signature to forwarded messages");
    Memsignature = In<ui::TMemo>(place);
    Memsignature->setTabChangesFocus(true);
    auto* signature_row = new QHBoxLayout;
    btnPaste = new ui::TButton(&place, "Paste");
    btnLoad = new ui::TButton(&place, "Load..");
    signature_row->addWidget(btnPaste);
    signature_row->addWidget(btnLoad);
    signature_row->addStretch(1);
    place.Layout()->addLayout(signature_row);
}

void Tdlgoptions::WirePages() {
    auto edit = [this](ui::TButton* button, ui::TListBox* list, OptionListRules rules,
                       std::function<void()> after = {}) {
        button->OnClick = [this, list, rules, after] {
            if (EditEntries(*list, rules) && after)
                after();
        };
    };
    edit(btnsubsynonyms, lbxAddStrings, {false, false, false, true});
    edit(btnunsubsynonyms, lbxRemovalStrings, {false, false, false, true});
    edit(BitBtn6, lbxModifyStrings, {false, false, false, true});
    edit(btninvalidentries, lbxexceptions, {true, false, false, false});
    edit(btndeliveryfailure, lbxfailure, {});
    edit(edtcategories, lbxcategories, {true, true, false, false},
         [this] { UpdateCategoryListBoxes(); });
    btnneverjoin->OnClick = [this] { btnneverjoinClick(); };
    BitBtn5->OnClick = [this] {
        ui::TSaveDialog save;
        save.SetFileName(edtBackUpFile->Text());
        save.SetFilter("Comma Seperated Value (*.csv)|*.csv|Text File (*.txt)|*.txt");
        if (save.Execute())
            edtBackUpFile->SetText(save.FileName());
    };
    btnPaste->OnClick = [this] { Memsignature->PasteFromClipboard(); };
    btnLoad->OnClick = [this] {
        ui::TOpenDialog open;
        open.SetFilter("Text Files (*.txt)|*.txt");
        if (open.Execute())
            Memsignature->SetText(ReadImportFile(open.FileName()));
    };
    defaulttoaddress->OnExit = [this] {
        std::string address = defaulttoaddress->Text();
        int code = 0;
        if (!address.empty() && !services_.entries.validemailaddress(address, false, code) &&
            ui::MessageDlg("The To: address that you specified, " + address +
                               ", does not appear to be valid.  Are you sure you want to use it?",
                           ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
            defaulttoaddress->SetText("");
    };
    for (ui::TCheckBox* check :
         {chkExcept, chkfailedmail, chkbouncemax, chkLimitDBCache, chkautoscan_timed,
          chkStaggerSending, chkSendAcknowledgement, chkUserSending})
        check->OnClick = [this] { UpdateEnabling(); };
    for (ui::TRadioButton* radio :
         {rdbsingleemail, rdbmultiemail, rdballcats, rdbrestrictcategories, rdbWrongCategoryIsError,
          rdbWrongCategoryDoChange})
        radio->OnClick = [this] { UpdateEnabling(); };
}

void Tdlgoptions::LoadControls() {
    const Settings& s = services_.settings;
    chkUpdateCommentsWhenEntryExists->SetChecked(s.UpdateCommentsWhenEntryExists);
    chkallowfromaddressasentry->SetChecked(s.allowfromaddressasentry);
    chkGuessSalutation->SetChecked(s.GuessSalutation);
    chkLimitDBCache->SetChecked(s.LimitDBCache);
    spncachesize->SetValue(s.DBCacheSize);
    chkMaintainLog->SetChecked(s.MaintainLog);
    edtBackUpFile->SetText(s.BackUpFilename);
    chknewBUfilename->SetChecked(s.newbackupfilename);
    chkBUOnEXit->SetChecked(s.BackUpOnExit);
    chkautoscan_startup->SetChecked(s.AutoScanStartUp);
    chkautoscan_timed->SetChecked(s.AutoScanDelayed);
    spnAutoScanDelay->SetValue(s.AutoScanDelayedTime);
    rdbMarkAsRead->SetChecked(s.ProcessAsUnread);
    rdbDelete->SetChecked(!s.ProcessAsUnread);
    rdbScanAllEmailLines->SetChecked(s.ScanAllEmailLines);
    rdbScanSubject->SetChecked(!s.ScanAllEmailLines);
    SetLines(*lbxcategories, s.lbxcategories);
    UpdateCategoryListBoxes();
    rdbWrongCategoryIsError->SetChecked(s.WrongCategoryIsError);
    rdbWrongCategoryDoChange->SetChecked(!s.WrongCategoryIsError);
    edtAlternativeCategory->SetText(s.AlternativeCategory);
    edtdefaultcategory->SetText(s.defaultcategory);
    defaulttoaddress->SetText(s.DefaultToAddress);
    AcknowledgeCheck->SetChecked(s.Acknowledge);
    chkSendLog->SetChecked(s.SendLog);
    chkStaggerSending->SetChecked(s.chkStaggerSending);
    spnStaggerDelay->SetValue(s.spnStaggerDelay);
    chkSendAcknowledgement->SetChecked(s.SendAcknowledgement);
    edtSubject->SetText(s.AcknowledgementSubject);
    memHeader->SetText(s.memHeader);
    memFooter->SetText(s.memFooter);
    chkUserSending->SetChecked(s.UserSending);
    edtUserSendingFolder->SetText(s.UserSendingFolder);
    rdbForwardAll->SetChecked(s.ForwardAll);
    rdbForwardSubject->SetChecked(!s.ForwardAll);
    rdbCVSenderGroup->SetChecked(s.ForwardToWhom == ForwardTarget::kSenderGroup);
    rdbCVAll->SetChecked(s.ForwardToWhom == ForwardTarget::kAll);
    rdbCVInEmail->SetChecked(s.ForwardToWhom == ForwardTarget::kInEmail);
    rdbCVInSubject->SetChecked(s.ForwardToWhom == ForwardTarget::kInSubject);
    chkCheckUser->SetChecked(s.CheckUser);
    chkDefaultNoUserSend->SetChecked(s.DefaultNoUserSend);
    chkMustBelongToGroup->SetChecked(s.MustBelongToGroup);
    chkfailedmail->SetChecked(s.FailedMail);
    SetLines(*lbxfailure, s.lbxfailure);
    chkbouncemax->SetChecked(s.chkbouncemax);
    spnbouncemax->SetValue(s.spnbouncemax);
    chkRemoveOutofOffice->SetChecked(s.RemoveOutofOffice);
    chkExcept->SetChecked(s.Except);
    SetLines(*lbxexceptions, s.lbxexceptions);
    SetLines(*lbxneversubscribe, s.lbxneversubscribe);
    chkAddUnsubscribers->SetChecked(s.AddUnsubscribers);
    SetLines(*lbxAddStrings, s.lbxAddStrings);
    SetLines(*lbxRemovalStrings, s.lbxRemovalStrings);
    SetLines(*lbxModifyStrings, s.lbxModifyStrings);
    rdbAddSignaturePrior->SetChecked(s.AddSignaturePrior);
    rdbAddSignatureAfter->SetChecked(!s.AddSignaturePrior);
    chkSigOnForward->SetChecked(s.SigOnForward);
    Memsignature->SetText(s.Memsignature);
    // What the dialog shows itself.
    chkDBNotexclusive->SetChecked(!s.DBExclusive);
    chkStrictChangeDetection->SetChecked(s.StrictChangeDetection);
    rgpMultipleCategorySupport->SetItemIndex(s.MultipleCategorySupport ? 1 : 0);
    const bool restrict_categories = s.RestrictCategories && !s.lbxcategories.empty();
    rdbrestrictcategories->SetChecked(restrict_categories);
    rdballcats->SetChecked(!restrict_categories);
    edtrosterlygroup->SetText(s.ListFolder());
    rdbsingleemail->SetChecked(s.rdbsingleemail());
    rdbmultiemail->SetChecked(!s.rdbsingleemail());
    if (!s.rdbsingleemail())
        spnmaxsendcount->SetValue(s.SendCount);
    UpdateEnabling();
}

void Tdlgoptions::StoreControls() {
    Settings& s = services_.settings;
    s.UpdateCommentsWhenEntryExists = chkUpdateCommentsWhenEntryExists->Checked();
    s.allowfromaddressasentry = chkallowfromaddressasentry->Checked();
    s.GuessSalutation = chkGuessSalutation->Checked();
    s.LimitDBCache = chkLimitDBCache->Checked();
    s.DBCacheSize = spncachesize->Value();
    s.MaintainLog = chkMaintainLog->Checked();
    s.BackUpFilename = edtBackUpFile->Text();
    s.newbackupfilename = chknewBUfilename->Checked();
    s.BackUpOnExit = chkBUOnEXit->Checked();
    s.AutoScanStartUp = chkautoscan_startup->Checked();
    s.AutoScanDelayed = chkautoscan_timed->Checked();
    s.AutoScanDelayedTime = spnAutoScanDelay->Value();
    s.ProcessAsUnread = rdbMarkAsRead->Checked();
    s.ScanAllEmailLines = rdbScanAllEmailLines->Checked();
    s.lbxcategories = lbxcategories->Items().ToVector();
    s.WrongCategoryIsError = rdbWrongCategoryIsError->Checked();
    s.AlternativeCategory = edtAlternativeCategory->Text();
    s.defaultcategory = edtdefaultcategory->Text();
    s.DefaultToAddress = defaulttoaddress->Text();
    s.Acknowledge = AcknowledgeCheck->Checked();
    s.SendLog = chkSendLog->Checked();
    s.chkStaggerSending = chkStaggerSending->Checked();
    s.spnStaggerDelay = spnStaggerDelay->Value();
    s.SendAcknowledgement = chkSendAcknowledgement->Checked();
    s.AcknowledgementSubject = edtSubject->Text();
    s.memHeader = WithoutTrailingLineBreak(memHeader->Text());
    s.memFooter = WithoutTrailingLineBreak(memFooter->Text());
    s.UserSending = chkUserSending->Checked();
    s.UserSendingFolder = edtUserSendingFolder->Text();
    s.ForwardAll = rdbForwardAll->Checked();
    s.ForwardToWhom = rdbCVSenderGroup->Checked() ? ForwardTarget::kSenderGroup
                      : rdbCVAll->Checked()       ? ForwardTarget::kAll
                      : rdbCVInEmail->Checked()   ? ForwardTarget::kInEmail
                                                  : ForwardTarget::kInSubject;
    s.CheckUser = chkCheckUser->Checked();
    s.DefaultNoUserSend = chkDefaultNoUserSend->Checked();
    s.MustBelongToGroup = chkMustBelongToGroup->Checked();
    s.FailedMail = chkfailedmail->Checked();
    s.lbxfailure = lbxfailure->Items().ToVector();
    s.chkbouncemax = chkbouncemax->Checked();
    s.spnbouncemax = spnbouncemax->Value();
    s.RemoveOutofOffice = chkRemoveOutofOffice->Checked();
    s.Except = chkExcept->Checked();
    s.lbxexceptions = lbxexceptions->Items().ToVector();
    s.lbxneversubscribe = lbxneversubscribe->Items().ToVector();
    s.AddUnsubscribers = chkAddUnsubscribers->Checked();
    s.lbxAddStrings = lbxAddStrings->Items().ToVector();
    s.lbxRemovalStrings = lbxRemovalStrings->Items().ToVector();
    s.lbxModifyStrings = lbxModifyStrings->Items().ToVector();
    s.AddSignaturePrior = rdbAddSignaturePrior->Checked();
    s.SigOnForward = chkSigOnForward->Checked();
    s.Memsignature = WithoutTrailingLineBreak(Memsignature->Text());
}

void Tdlgoptions::FormShow() {
    LoadControls();
    pgcoptions->SetActivePage(Pages(0));
}

ui::TTabSheet* Tdlgoptions::Pages(int index) const {
    return index >= 0 && index < static_cast<int>(pages_.size())
               ? pages_[static_cast<std::size_t>(index)]
               : nullptr;
}

ui::TTabSheet* Tdlgoptions::ActivePage() const {
    return dynamic_cast<ui::TTabSheet*>(pgcoptions->ActivePage());
}

void Tdlgoptions::BitBtn4Click() {
    TdlgAdvancedSettings dialog(this, services_.settings, !UseOutlook || UseOutlook());
    dialog.OnSetUseOutlook = OnSetUseOutlook;
    dialog.ShowModal();
}

void Tdlgoptions::UpdateEnabling() {
    lbxexceptions->SetEnabled(chkExcept->Checked());
    btninvalidentries->SetEnabled(chkExcept->Checked());
    lbxfailure->SetEnabled(chkfailedmail->Checked());
    btndeliveryfailure->SetEnabled(chkfailedmail->Checked());
    spnbouncemax->SetEnabled(chkbouncemax->Checked());
    spncachesize->SetEnabled(chkLimitDBCache->Checked());
    spnAutoScanDelay->SetEnabled(chkautoscan_timed->Checked());
    spnmaxsendcount->SetEnabled(!rdbsingleemail->Checked());
    for (QWidget* w : std::initializer_list<QWidget*>{edtSubject, memHeader, memFooter})
        w->setEnabled(chkSendAcknowledgement->Checked());
    const bool restrict_categories = rdbrestrictcategories->Checked();
    lbxcategories->SetEnabled(restrict_categories);
    edtcategories->SetEnabled(restrict_categories);
    rdbWrongCategoryIsError->SetEnabled(restrict_categories);
    rdbWrongCategoryDoChange->SetEnabled(restrict_categories);
    edtAlternativeCategory->SetEnabled(restrict_categories && rdbWrongCategoryDoChange->Checked());
    const bool users = chkUserSending->Checked();
    for (QWidget* w : std::initializer_list<QWidget*>{
             edtUserSendingFolder, rdbForwardAll, rdbForwardSubject, rdbCVInSubject, rdbCVInEmail,
             rdbCVAll, rdbCVSenderGroup, chkCheckUser, chkDefaultNoUserSend, chkMustBelongToGroup,
             chkSigOnForward, chkStaggerSending})
        w->setEnabled(users);
    spnStaggerDelay->SetEnabled(users && chkStaggerSending->Checked());
}

void Tdlgoptions::BitBtn1Click() {
    ui::TTabSheet* users_page = Pages(5);
    if (chkUserSending->Checked() && edtUserSendingFolder->Text().empty()) {
        pgcoptions->SetActivePage(users_page);
        ui::MessageDlg(
            "You have set the option to allow users to send messages to your list, but have not "
            "specified which folder to scan!",
            ui::mtInformation, {ui::mbOK});
        SetModalResult(ui::mrNone);
    }
    if (chkUserSending->Checked() && rdbForwardAll->Checked() &&
        SameText(edtUserSendingFolder->Text(), edtrosterlygroup->Text())) {
        pgcoptions->SetActivePage(users_page);
        ui::MessageDlg("You have set the option to forward all user messages in the folder '" +
                           edtUserSendingFolder->Text() +
                           "'.  However this is the same folder that you have selected to scan "
                           "for Subscribe/Unsuscribe messages.  This would cause all "
                           "Subscribe/Unsubscribe messages to be forwarded to your mailing "
                           "list.  Please select a new folder!",
                       ui::mtInformation, {ui::mbOK});
        SetModalResult(ui::mrNone);
    }
    Settings& s = services_.settings;
    if (chkDBNotexclusive->Checked() == s.DBExclusive ||
        chkStrictChangeDetection->Checked() != s.StrictChangeDetection) {
        ui::MessageDlg(
            "The changes to the database settings you have made will not take effect until you "
            "restart the application!",
            ui::mtInformation, {ui::mbOK});
        s.DBExclusive = !chkDBNotexclusive->Checked();
        s.StrictChangeDetection = chkStrictChangeDetection->Checked();
    }
    StoreControls();
    if (OnApplyRecordCache)
        OnApplyRecordCache();
    s.SendCount = rdbsingleemail->Checked() ? 1 : spnmaxsendcount->Value();
    if (Trim(s.defaultcategory).empty())
        s.defaultcategory = "Default";
    if (Trim(s.AlternativeCategory).empty())
        s.AlternativeCategory = s.defaultcategory;
    edtdefaultcategory->SetText(s.defaultcategory);
    edtAlternativeCategory->SetText(s.AlternativeCategory);
    s.MultipleCategorySupport = rgpMultipleCategorySupport->ItemIndex() == 1;
    s.RestrictCategories = rdbrestrictcategories->Checked() && !s.lbxcategories.empty();
    s.MailingListGroup = edtrosterlygroup->Text();
    SaveEntries(s, services_.database.ProgramDir());
}

void Tdlgoptions::BitBtn2Click() {
    Loadentries(services_.settings, services_.database.ProgramDir());
    LoadControls();
    if (OnApplyRecordCache)
        OnApplyRecordCache();
    if (OnSettingsReloaded)
        OnSettingsReloaded();
}

void Tdlgoptions::BitBtn3Click() {
    const ui::TTabSheet* page = ActivePage();
    ui::OpenHelp(kOptionsHelpContext + (page != nullptr ? page->PageIndex() : 0));
}

bool Tdlgoptions::EditEntries(ui::TListBox& list, const OptionListRules& rules) {
    Tdlgeditentries editor(this);
    editor.memEntries->Lines().Assign(list.Items());
    if (editor.ShowModal() != ui::mrOk)
        return false;
    auto cleaned = CleanOptionList(editor.memEntries->Lines().ToVector(), rules);
    SetLines(list, cleaned);
    return true;
}

void Tdlgoptions::UpdateCategoryListBoxes() {
    std::vector<std::string> categories = lbxcategories->Items().ToVector();
    SetItems(*edtAlternativeCategory, categories);
    SetItems(*edtdefaultcategory, categories);
}

void Tdlgoptions::btnneverjoinClick() {
    if (!EditEntries(*lbxneversubscribe, {true, false, false, false}) ||
        lbxneversubscribe->Items().Count() == 0)
        return;
    if (ui::MessageDlg(
            "You have changed your blocked addresses list.  Do you want to scan your list now to "
            "ensure these addresses do not exist?",
            ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
        return;
    ImportRequest request;
    request.is_add = false;
    request.caption = "Removal of Blocked addresses at ";
    Importfile(services_.entries, lbxneversubscribe->Items().ToVector(), request, {});
}

void Tdlgoptions::Timer1Timer() {
    Timer1.SetEnabled(false);
    if (!OnListFolders)
        return;
    ui::THourglass hourglass;
    std::vector<std::string> folders = OnListFolders();
    SetItems(*edtrosterlygroup, folders);
    SetItems(*edtUserSendingFolder, folders);
}

}  // namespace app
