#include "app/forms/main_window.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QVBoxLayout>

#include "app/forms/about_dialogs.h"
#include "app/forms/progress_dialog.h"
#include "app/list/cancel_flag.h"
#include "app/list/category_filter.h"
#include "app/list/progress.h"
#include "app/routines/text_routines.h"
#include "platform/db/dataset.h"
#include "platform/ui/application.h"
#include "platform/ui/shell.h"

namespace app {
namespace {

constexpr int kStartupCheckDelayMs = 250;
constexpr int kMsPerMinute = 60'000;

}  // namespace

Tfrmmain::Tfrmmain(std::string program_dir, const std::vector<std::string>& args)
    : ui::TForm(nullptr, false), program_dir_(std::move(program_dir)) {
    setObjectName("frmmain");
    resize(ScaleToScreen(820), ScaleToScreen(560));
    BuildMenus();
    BuildToolBar();
    BuildFilterBar();
    pnlList = new ui::TPanel(Client());
    pnlList->SetName("pnlList");
    pnlList->setFrameShape(QFrame::StyledPanel);
    ClientLayout()->addWidget(pnlList, 1);
    edtCachedGroup = new ui::TEdit(Client());
    edtCachedGroup->SetName("edtCachedGroup");
    edtCachedGroup->SetVisible(false);

    ui::SetOnIdle([this] { DoIdle(); });
    // Long hints wrap instead of running across the screen.
    qApp->setStyleSheet(qApp->styleSheet() + " QToolTip { max-width: 370px; }");
    debug_ = !args.empty() && UpperCase(args.front()) == "/DEBUG";

    tmrGetEntries.SetInterval(350);
    tmrGetEntries.OnTimer = [this] { tmrGetEntriesTimer(); };
    OnShow = [this] { FormShow(); };
    OnClose = [this] { FormClose(); };
    UpdateCaption();
}

Tfrmmain::~Tfrmmain() {
    tmrGetEntries.Stop();
    ui::SetOnIdle(nullptr);
}

void Tfrmmain::BuildMenus() {
    auto add = [](ui::TMenuItem& menu, std::string_view caption, std::string_view name,
                  std::function<void()> on_click = {}) -> ui::TMenuItem* {
        ui::TMenuItem& item = menu.Add(caption, name, std::move(on_click));
        // Until its work is given to the window, a command is shown but cannot run.
        item.SetEnabled(static_cast<bool>(item.OnClick));
        return &item;
    };
    ui::TMenuItem& file = MainMenu1.Add("&File", "File1");
    mkOpenDB = add(file, "Create/Open Mailing List DB...", "mkOpenDB");
    mkReopen = &file.Add("Reopen", "mkReopen");
    mkReopen->SetEnabled(false);
    file.AddSeparator();
    add(file, "Import Mailing List Entries...", "ImportMailingListEntries1");
    add(file, "Export Mailing List Entries...", "ExportMailingListEntries1");
    add(file, "Save Back Up File...", "SaveBackUpFile1");
    add(file, "Print Mailing List", "mkPrint");
    file.AddSeparator();
    add(file, "Options...", "Options1");
    file.AddSeparator();
    add(file, "Exit", "Exit1", [this] { Exit1Click(); });

    ui::TMenuItem& edit = MainMenu1.Add("&Edit", "Record1");
    add(edit, "Find Record..", "mkFindRecord");
    edit.AddSeparator();
    add(edit, "Delete Record", "DeleteRecord1");
    add(edit, "Move to Blocked Addresses", "mkaddtonever");
    add(edit, "Change List Category to...", "mkChangeCategory");
    add(edit, "Update E-mail Address...", "mkUpdateEmail");
    add(edit, "Reset Bounce Count ", "ResetBounceCount1");
    add(edit, "User can send messages", "Usercansendmessages1");
    add(edit, "User cannot send messages", "Usercannotsendmessages1");
    edit.AddSeparator();
    mkAllowEditing = add(edit, "Allow In-line Editing", "mkAllowEditing");

    ui::TMenuItem& view = MainMenu1.Add("&View", "View1");
    mkShowGroupPanel = add(view, "Show Grouping Panel", "mkShowGroupPanel");
    ui::TMenuItem& sorting = view.Add("Sorting", "mkSorting");
    add(sorting, "E-mail Address", "mksortEmail");
    add(sorting, "List Category", "mksortList");
    add(sorting, "Bounces", "mksortbounce");

    ui::TMenuItem& tools = MainMenu1.Add("&Tools", "Tools1");
    mkCheckOutlook = add(tools, "Check Outlook for New Entries", "mkCheckOutlook");
    SendEmailtoMailingList1 =
        add(tools, "Send E-mail to Mailing List...", "SendEmailtoMailingList1");
    add(tools, "Manually Enter Entries...", "mkAddMore");
    tools.AddSeparator();
    mkScanFolders = add(tools, "Scan Outlook Folders for Addresses...", "mkScanFolders");
    mkScanContacts = add(tools, "Scan Outlook Contacts for Addresses...", "mkScanContacts");
    add(tools, "Scan File Folders for Addresses...", "ScanFileFoldersforAddresses1");
    tools.AddSeparator();
    add(tools, "Display Errors...", "DisplayErrors1");
    add(tools, "Display Log...", "mkDisplayLog");
    add(tools, "Display Statistics...", "mkDisplayStats");

    ui::TMenuItem& database = MainMenu1.Add("&Database", "Database1");
    add(database, "Delete All Entries...", "DeleteAllEntries1");
    add(database, "Reset Bounce Count for all Entries", "ResetBounceCountforallEntries1");
    add(database, "Merge All Categories/Remove All Duplicates...", "MergeAllCategories1");
    add(database, "Optimize Database...", "OptimizeDatabase1");

    ui::TMenuItem& help = MainMenu1.Add("&Help", "Help1");
    add(help, "Help...", "mkHelp", [this] { btnHelpClick(); });
    add(help, "Support Options...", "mkFAQ", [this] { mkFAQClick(); });
    add(help, "Corvane on the Web...", "BrovikWebsite1", [this] { BrovikWebsite1Click(); });
    help.AddSeparator();
    add(help, "About Corvane...", "About1", [this] { About1Click(); });

    MainMenu1.AttachTo(*menuBar());
}

void Tfrmmain::BuildToolBar() {
    auto* bar = new QWidget(Client());
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    auto button = [&](std::string_view caption, std::string_view name) {
        auto* b = new ui::TButton(bar, caption);
        b->SetName(name);
        b->SetEnabled(false);
        row->addWidget(b);
        return b;
    };
    btngetoutlook = button("Check for New Entries", "btngetoutlook");
    btnsend = button("Send E-Mail to List", "btnsend");
    btnAddMore = button("Manually Enter Entries...", "btnAddMore");
    btnScanOutlook = button("Scan Outlook Folders", "btnScanOutlook");
    row->addStretch(1);
    btnHelp = button("Help...", "btnHelp");
    btnHelp->SetEnabled(true);
    btnHelp->OnClick = [this] { btnHelpClick(); };
    ClientLayout()->addWidget(bar);
}

void Tfrmmain::BuildFilterBar() {
    auto* bar = new QWidget(Client());
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    rdball = new ui::TRadioButton(bar, "All Entries");
    rdball->SetName("rdball");
    rdbfilter = new ui::TRadioButton(bar, "Only Categories:");
    rdbfilter->SetName("rdbfilter");
    edtfilter = new ui::TEdit(bar);
    edtfilter->SetName("edtfilter");
    rdbnotfilter = new ui::TRadioButton(bar, "All but Categories:");
    rdbnotfilter->SetName("rdbnotfilter");
    edtnotfilter = new ui::TEdit(bar);
    edtnotfilter->SetName("edtnotfilter");
    lblcount = new ui::TLabel(bar);
    lblcount->SetName("lblcount");
    lblcount->setMinimumWidth(ScaleToScreen(160));
    row->addWidget(rdball);
    row->addWidget(rdbfilter);
    row->addWidget(edtfilter, 1);
    row->addWidget(rdbnotfilter);
    row->addWidget(edtnotfilter, 1);
    row->addWidget(lblcount);
    rdball->SetChecked(true);
    rdball->OnClick = [this] { rdballClick(); };
    rdbfilter->OnClick = [this] { rdballClick(); };
    rdbnotfilter->OnClick = [this] { rdballClick(); };
    edtfilter->OnChange = [this] { edtfilterChange(); };
    edtnotfilter->OnChange = [this] { edtnotfilterChange(); };
    ClientLayout()->addWidget(bar);
}

void Tfrmmain::EnableCommand(std::string_view name, bool enabled) {
    if (ui::TMenuItem* item = MainMenu1.Items().Find(name))
        item->SetEnabled(enabled);
}

void Tfrmmain::FormShow() {
    UpdateDisplay();
    if (check_options_.at_startup)
        tmrGetEntries.Start(kStartupCheckDelayMs);
    else
        CommenceTimer();
}

void Tfrmmain::FormClose() {
    tmrGetEntries.Stop();
    hideprogress();
}

void Tfrmmain::UpdateDisplay() {
    refilter_ = false;
    bool chosen = rdbfilter->Checked() || rdbnotfilter->Checked();
    std::int64_t count = 0;
    if (list_table_ != nullptr && list_table_->Active()) {
        SetFilter(*list_table_, rdbfilter->Checked(), edtfilter->Text(), edtnotfilter->Text(),
                  rdbnotfilter->Checked());
        count = list_table_->RecordCount();
    }
    lblcount->SetCaption(CountLabel(count, chosen));
    UpdateCaption();
}

void Tfrmmain::UpdateCaption() {
    SetCaption(MainCaption(debug_, db_path_, program_dir_));
}

void Tfrmmain::edtfilterChange() {
    rdbfilter->SetChecked(true);
    refilter_ = true;
}

void Tfrmmain::edtnotfilterChange() {
    rdbnotfilter->SetChecked(true);
    refilter_ = true;
}

void Tfrmmain::DoIdle() {
    if (refilter_) {
        refilter_ = false;
        rdballClick();
    }
}

void Tfrmmain::CommenceTimer() {
    // Switching the timed check off stops a timer that is still armed.
    if (check_options_.timed)
        tmrGetEntries.Start(check_options_.delay_minutes * kMsPerMinute);
    else
        tmrGetEntries.Stop();
}

void Tfrmmain::tmrGetEntriesTimer() {
    if (ui::ActiveForm() == this) {
        btngetoutlookClick();
        return;
    }
    // Another window of the program is in use: try again after a full interval.
    tmrGetEntries.SetEnabled(false);
    tmrGetEntries.SetEnabled(true);
}

void Tfrmmain::btngetoutlookClick() {
    tmrGetEntries.SetEnabled(false);
    if (user_sending && list_folder == members_folder) {
        ProcessFolder(true, true);
    } else {
        ProcessFolder(true, false);
        if (user_sending)
            ProcessFolder(false, true);
    }
    CommenceTimer();
}

void Tfrmmain::ProcessFolder(bool for_requests, bool for_members) {
    newformpreparation(true);
    if (OnProcessFolder)
        OnProcessFolder(for_requests, for_members);
    newformpreparation(false);
}

void Tfrmmain::newformpreparation(bool preparing) {
    if (list_table_ == nullptr || !list_table_->Active())
        return;
    if (preparing) {
        list_table_->SetFiltered(false);
        list_table_->DisableControls();
        return;
    }
    list_table_->EnableControls();
    rdballClick();
}

void Tfrmmain::showprogress(bool show, std::int64_t position, bool cancellable,
                            std::string_view caption, std::int64_t maximum) {
    if (!show) {
        progress_.reset();
        return;
    }
    std::optional<int> percent = ProgressPercent(position, maximum);
    if (!percent)
        return;
    if (!isVisible())
        this->show();
    if (!progress_) {
        progress_ = std::make_unique<TdlgProgress>(this);
        progress_->SetCancellable(cancellable);
        progress_->Show();
        SetCancelled(false);
    }
    progress_->SetMessage(caption);
    progress_->SetPercent(*percent);
    progress_->repaint();
    if (cancellable)
        ui::ProcessMessages();
}

void Tfrmmain::btnHelpClick() {
    ui::OpenHelp(0);
}

void Tfrmmain::About1Click() {
    TAboutBox about(this);
    about.OnWebsite = [this] { BrovikWebsite1Click(); };
    about.ShowModal();
}

void Tfrmmain::mkFAQClick() {
    TdlgSupport support(this, program_dir_);
    support.ShowModal();
}

void Tfrmmain::BrovikWebsite1Click() {
    TdlgBrovikWebsite website(this);
    website.ShowModal();
}

}  // namespace app
