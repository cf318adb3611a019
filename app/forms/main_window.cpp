#include "app/forms/main_window.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QVBoxLayout>

#include <algorithm>

#include "app/forms/about_dialogs.h"
#include "app/forms/enter_more_dialog.h"
#include "app/forms/export_dialog.h"
#include "app/forms/find_dialog.h"
#include "app/forms/import_dialog.h"
#include "app/forms/list_change_dialogs.h"
#include "app/forms/log_dialog.h"
#include "app/forms/open_db_dialog.h"
#include "app/forms/options_dialog.h"
#include "app/forms/progress_dialog.h"
#include "app/list/cancel_flag.h"
#include "app/list/category_filter.h"
#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/list_database.h"
#include "app/list/program_state.h"
#include "app/list/progress.h"
#include "app/list/settings.h"
#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"
#include "engine/dataset/strata_table.h"
#include "platform/os/file_system.h"
#include "platform/ui/application.h"
#include "platform/ui/cursor.h"
#include "platform/ui/prompt.h"
#include "platform/ui/shell.h"

namespace app {
namespace {

constexpr int kStartupCheckDelayMs = 250;
constexpr int kMsPerMinute = 60'000;

}  // namespace

Tfrmmain::Tfrmmain(std::string program_dir, const std::vector<std::string>& args,
                   ListServices services)
    : ui::TForm(nullptr, false),
      program_dir_(AppendPathDelimiter(program_dir)),
      services_(services) {
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
    OnCloseQuery = [this](bool& can_close) { FormCloseQuery(can_close); };
    OnClose = [this] { FormClose(); };
    services_.database.OnRecentChanged = [this](const std::vector<std::string>& paths) {
        UpdateRecentList(paths);
    };
    services_.database.OnProgress = [this](int position, std::string_view caption, int maximum) {
        showprogress(maximum > 0, position, false, caption, maximum);
    };
    services_.database.OnListChanged = [this] { edtCachedGroup->SetText(""); };
    UpdateRecentList(services_.database.RecentPaths());
    UpdateCaption();
    options_ = std::make_unique<Tdlgoptions>(this, services_);
}

Tfrmmain::~Tfrmmain() {
    options_.reset();
    tmrGetEntries.Stop();
    ui::SetOnIdle(nullptr);
    services_.database.OnRecentChanged = nullptr;
    services_.database.OnProgress = nullptr;
    services_.database.OnListChanged = nullptr;
}

void Tfrmmain::BuildMenus() {
    auto add = [](ui::TMenuItem& menu, std::string_view caption, std::string_view name,
                  std::function<void()> on_click = {}) -> ui::TMenuItem* {
        ui::TMenuItem& item = menu.Add(caption, name, std::move(on_click));
        // A command whose work the window is not given yet is shown but cannot run.
        item.SetEnabled(static_cast<bool>(item.OnClick));
        return &item;
    };
    ui::TMenuItem& file = MainMenu1.Add("&File", "File1");
    mkOpenDB = add(file, "Create/Open Mailing List DB...", "mkOpenDB", [this] { mkOpenDBClick(); });
    mkReopen = &file.Add("Reopen", "mkReopen");
    mkReopen->SetEnabled(false);
    file.AddSeparator();
    add(file, "Import Mailing List Entries...", "ImportMailingListEntries1", [this] {
        RunOnce("ImportMailingListEntries1", [this] { ImportMailingListEntries1Click(); });
    });
    add(file, "Export Mailing List Entries...", "ExportMailingListEntries1", [this] {
        RunOnce("ExportMailingListEntries1", [this] { ExportMailingListEntries1Click(); });
    });
    add(file, "Save Back Up File...", "SaveBackUpFile1",
        [this] { RunOnce("SaveBackUpFile1", [this] { SaveBackUpFile1Click(); }); });
    add(file, "Print Mailing List", "mkPrint",
        [this] { RunOnce("mkPrint", [this] { mkPrintClick(); }); });
    file.AddSeparator();
    add(file, "Options...", "Options1", [this] { Options1Click(); });
    file.AddSeparator();
    add(file, "E&xit", "Exit1", [this] { Exit1Click(); });

    ui::TMenuItem& edit = MainMenu1.Add("&Edit", "Record1");
    add(edit, "Find Record..", "mkFindRecord", [this] { mkFindRecordClick(); });
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
    mkCheckOutlook = add(tools, "Check Outlook for New Entries", "mkCheckOutlook",
                         [this] { btngetoutlookClick(); });
    SendEmailtoMailingList1 =
        add(tools, "Send E-mail to Mailing List...", "SendEmailtoMailingList1");
    add(tools, "Manually Enter Entries...", "mkAddMore", [this] { btnAddMoreClick(); });
    tools.AddSeparator();
    mkScanFolders = add(tools, "Scan Outlook Folders for Addresses...", "mkScanFolders");
    mkScanContacts = add(tools, "Scan Outlook Contacts for Addresses...", "mkScanContacts");
    add(tools, "Scan File Folders for Addresses...", "ScanFileFoldersforAddresses1");
    tools.AddSeparator();
    add(tools, "Display Errors...", "DisplayErrors1", [this] {
        newformpreparation(true);
        Tdlgerrors dialog(this, services_.entries, services_.errors);
        dialog.ShowModal();
        newformpreparation(false);
    });
    add(tools, "Display Log...", "mkDisplayLog", [this] { mkDisplayLogClick(); });
    add(tools, "Display Statistics...", "mkDisplayStats");

    ui::TMenuItem& database = MainMenu1.Add("&Database", "Database1");
    add(database, "Delete All Entries...", "DeleteAllEntries1",
        [this] { DeleteAllEntries1Click(); });
    add(database, "Reset Bounce Count for all Entries", "ResetBounceCountforallEntries1",
        [this] { ResetBounceCountforallEntries1Click(); });
    add(database, "Merge All Categories/Remove All Duplicates...", "MergeAllCategories1",
        [this] { RunOnce("MergeAllCategories1", [this] { MergeAllCategories1Click(); }); });
    add(database, "Optimize Database...", "OptimizeDatabase1",
        [this] { RunOnce("OptimizeDatabase1", [this] { OptimizeDatabase1Click(); }); });

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
    auto button = [&](std::string_view caption, std::string_view name,
                      std::function<void()> on_click = {}) {
        auto* b = new ui::TButton(bar, caption);
        b->SetName(name);
        b->SetEnabled(static_cast<bool>(on_click));
        b->OnClick = std::move(on_click);
        row->addWidget(b);
        return b;
    };
    btngetoutlook =
        button("Check for New Entries", "btngetoutlook", [this] { btngetoutlookClick(); });
    btnsend = button("Send E-Mail to List", "btnsend");
    btnAddMore = button("Manually Enter Entries...", "btnAddMore", [this] { btnAddMoreClick(); });
    btnScanOutlook = button("Scan Outlook Folders", "btnScanOutlook");
    row->addStretch(1);
    btnHelp = button("Help...", "btnHelp", [this] { btnHelpClick(); });
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

void Tfrmmain::RunOnce(std::string_view name, const std::function<void()>& command) {
    if (std::find(running_.begin(), running_.end(), name) != running_.end())
        return;
    running_.emplace_back(name);
    EnableCommand(name, false);
    struct Done {
        Tfrmmain& window;
        std::string name;
        ~Done() {
            window.running_.erase(std::find(window.running_.begin(), window.running_.end(), name));
            window.EnableCommand(name, true);
        }
    } done{*this, std::string(name)};
    command();
}

bool Tfrmmain::DatabaseOpen() const {
    return services_.database.DatabaseOpen() && services_.database.tblCV().Active();
}

void Tfrmmain::FormShow() {
    Settings& settings = services_.settings;
    Loadentries(settings, program_dir_);
    UpdateDisplay();
    std::string errors_file = program_dir_ + kErrorsFileName;
    if (platform::os::FileExists(errors_file))
        services_.errors.LoadFromFile(errors_file);
    if (settings.AutoScanStartUp)
        tmrGetEntries.Start(kStartupCheckDelayMs);
    else
        CommenceTimer();
}

void Tfrmmain::FormCloseQuery(bool& can_close) {
    can_close = true;
    if (services_.settings.BackUpOnExit && !SaveBackUpFile(false))
        can_close = ui::MessageDlg(
                        "An error was encountered saving your back up file.  Do you still want "
                        "to close?",
                        ui::mtWarning, ui::mbYesNo) == ui::mrYes;
}

void Tfrmmain::FormClose() {
    tmrGetEntries.Stop();
    hideprogress();
    // Each save runs on its own: one that fails (or no database open) never
    // keeps the others from saving.
    ui::THourglass hourglass;
    for (const std::string& failure :
         SaveProgramState(services_.settings, services_.errors, services_.database, program_dir_))
        ui::MessageDlg(failure, ui::mtWarning, {ui::mbOK});
}

void Tfrmmain::FormDestroy() {
    SaveEntries(services_.settings, program_dir_);
    services_.database.SaveRecentList();
}

void Tfrmmain::SaveDatabase() {
    ui::THourglass hourglass;
    services_.database.SaveDatabase();
}

void Tfrmmain::UpdateDisplay() {
    refilter_ = false;
    bool chosen = rdbfilter->Checked() || rdbnotfilter->Checked();
    std::int64_t count = 0;
    if (DatabaseOpen()) {
        strata::TStrataTable& table = services_.database.tblCV();
        SetFilter(table, rdbfilter->Checked(), edtfilter->Text(), edtnotfilter->Text(),
                  rdbnotfilter->Checked());
        count = table.RecordCount();
    }
    lblcount->SetCaption(CountLabel(count, chosen));
    UpdateCaption();
}

void Tfrmmain::UpdateCaption() {
    SetCaption(MainCaption(debug_, services_.settings.DBPath, program_dir_));
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
    const Settings& settings = services_.settings;
    // Switching the timed check off stops a timer that is still armed.
    if (settings.AutoScanDelayed)
        tmrGetEntries.Start(settings.AutoScanDelayedTime * kMsPerMinute);
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
    const Settings& settings = services_.settings;
    tmrGetEntries.SetEnabled(false);
    if (settings.UserSending && settings.ListFolder() == settings.UserSendingFolder) {
        ProcessFolder(true, true);
    } else {
        ProcessFolder(true, false);
        if (settings.UserSending)
            ProcessFolder(false, true);
    }
    CommenceTimer();
}

void Tfrmmain::ProcessFolder(bool for_requests, bool for_members) {
    newformpreparation(true);
    if (OnProcessFolder)
        ui::Guarded([&] { OnProcessFolder(for_requests, for_members); });
    newformpreparation(false);
    UpdateDisplay();
}

void Tfrmmain::newformpreparation(bool preparing) {
    if (!DatabaseOpen())
        return;
    strata::TStrataTable& table = services_.database.tblCV();
    if (preparing) {
        table.SetFiltered(false);
        table.DisableControls();
        return;
    }
    table.EnableControls();
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

ProgressReport Tfrmmain::Progress(bool cancellable) {
    return
        [this, cancellable](std::int64_t position, std::string_view caption, std::int64_t maximum) {
            showprogress(maximum > 0, position, cancellable, caption, maximum);
        };
}

void Tfrmmain::UpdateRecentList(const std::vector<std::string>& paths) {
    mkReopen->Clear();
    for (const std::string& path : paths)
        mkReopen->Add(path, "", [this, path] { mkreopenonclick(path); });
    mkReopen->SetEnabled(paths.size() >= 2);
}

void Tfrmmain::mkreopenonclick(const std::string& path) {
    if (!path.empty() && databaseexistsindirectory(AppendPathDelimiter(path))) {
        services_.database.OpenDatabase(path);
        UpdateDisplay();
        return;
    }
    ui::MessageDlg(
        "Corvane cannot locate this database.  Please use File|Open Database to load it.",
        ui::mtInformation, {ui::mbOK});
}

bool Tfrmmain::PromptToLoadDB() {
    TdlgOpenDB dialog(this);
    if (dialog.ShowModal() != ui::mrOk || dialog.edtpath->Text().empty())
        return false;
    // The open answers whether a database is open at all, which may still be the one
    // open before; success is the folder asked for being the one open now.
    const std::string before = services_.database.Directory();
    const std::string wanted = AppendPathDelimiter(dialog.edtpath->Text());
    if (!services_.database.OpenDatabase(dialog.edtpath->Text()))
        return false;
    return services_.database.Directory() != before || services_.database.Directory() == wanted;
}

void Tfrmmain::Options1Click() {
    newformpreparation(true);
    options_->ShowModal();
    newformpreparation(false);
    CommenceTimer();
}

void Tfrmmain::mkOpenDBClick() {
    PromptToLoadDB();
    UpdateDisplay();
}

void Tfrmmain::mkDisplayLogClick() {
    if (!services_.settings.MaintainLog) {
        if (ui::MessageDlg(
                "You do not currently have logging enabled.  Do you want to enable it now?",
                ui::mtConfirmation, ui::mbYesNo) == ui::mrYes)
            services_.settings.MaintainLog = true;
        return;
    }
    Tdlglog log(this, program_dir_);
    log.ShowModal();
}

bool Tfrmmain::SaveBackUpFile(bool confirm) {
    if (!DatabaseOpen())
        return false;
    const Settings& settings = services_.settings;
    newformpreparation(true);
    ExportRequest request;
    request.file_name =
        BackUpFileName(settings.BackUpFilename, program_dir_, settings.newbackupfilename);
    request.for_backup = true;
    request.chosen.fill(true);
    bool saved = exportlist(services_.database.tblCV(), request, Progress(true));
    if (confirm && saved)
        ui::MessageDlg("Your backup file has been saved as " + request.file_name +
                           ".  You can view it with Excel or Notepad",
                       ui::mtInformation, {ui::mbOK});
    newformpreparation(false);
    return saved;
}

void Tfrmmain::ImportMailingListEntries1Click() {
    if (!DatabaseOpen())
        return;
    newformpreparation(true);
    {
        TdlgImport import(this, services_, Progress(false));
        import.ShowModal();
    }
    newformpreparation(false);
}

void Tfrmmain::ExportMailingListEntries1Click() {
    if (!DatabaseOpen())
        return;
    TdlgExportOption option(this);
    if (option.ShowModal() != ui::mrOk || !option.rdbCSV->Checked())
        return;
    newformpreparation(true);
    {
        TdlgExport dialog(this, services_.database.tblCV(), Progress(true));
        dialog.ShowModal();
    }
    newformpreparation(false);
}

void Tfrmmain::mkPrintClick() {
    if (!DatabaseOpen())
        return;
    newformpreparation(true);
    {
        TdlgExport dialog(this, services_.database.tblCV(), Progress(true));
        dialog.chkPrint->SetChecked(true);
        dialog.ShowModal();
    }
    newformpreparation(false);
}

void Tfrmmain::btnAddMoreClick() {
    if (!DatabaseOpen())
        return;
    newformpreparation(true);
    {
        TdlgEnterMore dialog(this, services_, Progress(false));
        dialog.ShowModal();
    }
    newformpreparation(false);
}

void Tfrmmain::mkFindRecordClick() {
    if (!DatabaseOpen())
        return;
    TdlgFind find(this, services_.database.tblCV());
    find.ShowModal();
}

void Tfrmmain::DeleteAllEntries1Click() {
    if (!DatabaseOpen() ||
        ui::MessageDlg(
            "This will delete all the entries in mailing list!  Are you sure you want to "
            "continue?",
            ui::mtWarning, ui::mbYesNo) != ui::mrYes)
        return;
    newformpreparation(true);
    DeleteAllEntries(services_.database, services_.settings.DBExclusive);
    newformpreparation(false);
}

void Tfrmmain::ResetBounceCountforallEntries1Click() {
    if (!DatabaseOpen())
        return;
    newformpreparation(true);
    ResetAllBounces(services_.database.tblCV());
    newformpreparation(false);
}

void Tfrmmain::MergeAllCategories1Click() {
    if (!DatabaseOpen())
        return;
    if (ui::MessageDlg(
            "This process will convert all of your categories to the 'Default' list category "
            "and remove all duplicate e-mail addresses.  It is recommended that you perform a "
            "back-up before using this feature!",
            ui::mtConfirmation, ui::mbOKCancel) != ui::mrOk)
        return;
    if (ui::MessageDlg("Are you sure you have backed up and are ready to continue?",
                       ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
        return;
    MergeAllCategories(services_.database.tblCV(), Progress(false));
    rdballClick();
    SaveDatabase();
    UpdateDisplay();
}

void Tfrmmain::OptimizeDatabase1Click() {
    OptimiseDatabase(true);
}

void Tfrmmain::OptimiseDatabase(bool interactive) {
    if (!DatabaseOpen())
        return;
    if (interactive &&
        ui::MessageDlg("Your database will now be optimized to reclaim unused disk space!",
                       ui::mtInformation, ui::mbOKCancel) != ui::mrOk)
        return;
    app::OptimiseDatabase(services_.database, services_.settings.DBExclusive);
    hideprogress();
    UpdateDisplay();
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
