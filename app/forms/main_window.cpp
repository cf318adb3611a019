#include "app/forms/main_window.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>

#include "app/forms/about_dialogs.h"
#include "app/forms/choose_category_dialog.h"
#include "app/forms/enter_more_dialog.h"
#include "app/forms/export_dialog.h"
#include "app/forms/find_dialog.h"
#include "app/forms/get_more_dialog.h"
#include "app/forms/import_dialog.h"
#include "app/forms/list_change_dialogs.h"
#include "app/forms/list_grid.h"
#include "app/forms/log_dialog.h"
#include "app/forms/open_db_dialog.h"
#include "app/forms/options_dialog.h"
#include "app/forms/progress_dialog.h"
#include "app/forms/scan_folder_dialog.h"
#include "app/forms/stats_dialog.h"
#include "app/list/cancel_flag.h"
#include "app/list/category_filter.h"
#include "app/list/entry_processing.h"
#include "app/list/errors_list.h"
#include "app/list/import_file.h"
#include "app/list/list_database.h"
#include "app/list/program_state.h"
#include "app/list/progress.h"
#include "app/list/settings.h"
#include "app/mail/address_gathering.h"
#include "app/mail/sending_settings.h"
#include "app/routines/file_routines.h"
#include "app/routines/text_routines.h"
#include "engine/dataset/strata_table.h"
#include "grid/data/db_grid.h"
#include "platform/db/data_source.h"
#include "platform/db/string_list.h"
#include "platform/os/file_system.h"
#include "platform/ui/application.h"
#include "platform/ui/cursor.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/keys.h"
#include "platform/ui/prompt.h"
#include "platform/ui/shell.h"
#include "support/form_placement.h"
#include "support/shelltree/shell_tree.h"

namespace app {
namespace {

constexpr int kStartupCheckDelayMs = 250;

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
    BuildGrid();
    BuildPopupMenus();
    // The grid's own writers; tests may put recording ones in their place.
    OnExportExcel = [](grid::TgxDBGrid& grid, const std::string& file) {
        grid.SaveToXLS(file, true);
    };
    OnExportHTML = [](grid::TgxDBGrid& grid, const std::string& file) {
        grid.SaveToHTML(file, true);
    };
    // The window starts centred here rather than when it is shown: a placement stored by an
    // earlier run is applied as it is shown, and centring then would undo it.
    SetPosition(ui::TPosition::poDesigned);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = frameGeometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    FormPlacement1 = std::make_unique<support::TFormPlacement>(nullptr, this);
    FormPlacement1->SetUseRegistry(true);
    FormPlacement1->Loaded();
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
    services_.database.OnListChanged = [this] {
        ++list_changes_;
        edtCachedGroup->SetText("");
    };
    // A list started again because damage left nothing in it is filled from the back-up,
    // whose columns are the import's own starting order.
    services_.database.OnRestoreBackUp = [this](const std::string& file) {
        MultiColumnImport import;
        import.text = ReadImportFile(file);
        import.separator = ",";
        import.caption = ImportCaption(file);
        ImportMultiColumnFile(services_.entries, import, Progress(false));
    };
    // A repair or a restore of the back-up at the start shows the window through its
    // progress before the list is open: the count follows once it is.
    services_.database.OnOpened = [this] { UpdateCount(); };
    UpdateRecentList(services_.database.RecentPaths());
    UpdateCaption();
    options_ = std::make_unique<Tdlgoptions>(this, services_);
    options_->UseOutlook = [this] { return use_outlook_; };
    options_->OnSetUseOutlook = [this](bool use) { SetUseOutlook(use); };
    options_->OnApplyRecordCache = [this] { SetLoadAllRecords(); };
    options_->OnSettingsReloaded = [this] {
        // The menu item is set to the opposite and clicked, so the grid follows the value.
        mkAllowEditing->SetChecked(!services_.settings.AllowEditing);
        mkAllowEditingClick();
    };
}

Tfrmmain::~Tfrmmain() {
    options_.reset();
    tmrGetEntries.Stop();
    // The grid reads through the data source, so it lets go first.
    gxDBGrid1->SetDataSource(nullptr);
    ui::SetOnIdle(nullptr);
    services_.database.OnRecentChanged = nullptr;
    services_.database.OnProgress = nullptr;
    services_.database.OnListChanged = nullptr;
    services_.database.OnRestoreBackUp = nullptr;
    services_.database.OnOpened = nullptr;
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
    add(edit, "Delete Record", "DeleteRecord1", [this] { DeleteRecord1Click(); });
    add(edit, "Move to Blocked Addresses", "mkaddtonever", [this] { mkaddtoneverClick(); });
    add(edit, "Change List Category to...", "mkChangeCategory",
        [this] { mkChangeCategoryClick(); });
    add(edit, "Update E-mail Address...", "mkUpdateEmail", [this] { mkUpdateEmailClick(); });
    add(edit, "Reset Bounce Count ", "ResetBounceCount1", [this] { BatchProcess(1); });
    add(edit, "User can send messages", "Usercansendmessages1", [this] { BatchProcess(2); });
    add(edit, "User cannot send messages", "Usercannotsendmessages1", [this] { BatchProcess(3); });
    edit.AddSeparator();
    mkAllowEditing =
        add(edit, "Allow In-line Editing", "mkAllowEditing", [this] { mkAllowEditingClick(); });
    QObject::connect(edit.Menu(), &QMenu::aboutToShow, this, [this] { PopupMenu1Popup(); });

    ui::TMenuItem& view = MainMenu1.Add("&View", "View1");
    mkShowGroupPanel =
        add(view, "Show Grouping Panel", "mkShowGroupPanel", [this] { mkShowGroupPanelClick(); });
    ui::TMenuItem& sorting = view.Add("Sorting", "mkSorting");
    add(sorting, "E-mail Address", "mksortEmail", [this] { SortMenuClick("Item"); });
    add(sorting, "List Category", "mksortList", [this] { SortMenuClick("Category"); });
    add(sorting, "Bounces", "mksortbounce", [this] { SortMenuClick("Bounces"); });
    QObject::connect(view.Menu(), &QMenu::aboutToShow, this, [this] { View1Click(); });
    QObject::connect(sorting.Menu(), &QMenu::aboutToShow, this, [this] { mkSortingClick(); });

    ui::TMenuItem& tools = MainMenu1.Add("&Tools", "Tools1");
    mkCheckOutlook = add(tools, "Check Outlook for New Entries", "mkCheckOutlook",
                         [this] { btngetoutlookClick(); });
    SendEmailtoMailingList1 =
        add(tools, "Send E-mail to Mailing List...", "SendEmailtoMailingList1",
            [this] { SendEmailtoMailingList1Click(); });
    add(tools, "Manually Enter Entries...", "mkAddMore", [this] { btnAddMoreClick(); });
    tools.AddSeparator();
    mkScanFolders = add(tools, "Scan Outlook Folders for Addresses...", "mkScanFolders",
                        [this] { GetAddressesFromOutlook(false); });
    mkScanContacts = add(tools, "Scan Outlook Contacts for Addresses...", "mkScanContacts",
                         [this] { GetAddressesFromOutlook(true); });
    add(tools, "Scan File Folders for Addresses...", "ScanFileFoldersforAddresses1",
        [this] { ScanFileFoldersforAddresses1Click(); });
    tools.AddSeparator();
    add(tools, "Display Errors...", "DisplayErrors1", [this] {
        newformpreparation(true);
        Tdlgerrors dialog(this, services_.entries, services_.errors);
        dialog.ShowModal();
        newformpreparation(false);
    });
    add(tools, "Display Log...", "mkDisplayLog", [this] { mkDisplayLogClick(); });
    add(tools, "Display Statistics...", "mkDisplayStats", [this] { mkDisplayStatsClick(); });

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

void Tfrmmain::BuildGrid() {
    DscCV = db::MakeComponent<db::TDataSource>(nullptr);
    DscCV->SetDataSet(&services_.database.tblCV());
    gxDBGrid1 = new grid::TgxDBGrid(Client());
    gxDBGrid1->setObjectName("gxDBGrid1");
    // The window deletes the selection itself (Delete key and menu), never the grid alone.
    // Sorting or reloading a large list takes the grid a while: it shows the hourglass.
    gxDBGrid1->SetOptions((gxDBGrid1->Options() | grid::egoRowSelect | grid::egoMultiSelect |
                           grid::egoExtMultiSelect | grid::egoIndicator | grid::egoLoadAllRecords |
                           grid::egoShowHourGlass) &
                          ~(grid::egoEditing | grid::egoCanDelete | grid::egoConfirmDelete |
                            grid::egoCanInsert | grid::egoCanAppend));
    gxDBGrid1->SetLookAndFeel(grid::lfFlat);
    // A long list shows its first screens at once and reads the rest while the user works.
    gxDBGrid1->SetLoadInSlices(true);
    AddListColumns(*gxDBGrid1);
    gxDBGrid1->SetShowGroupPanel(true);
    gxDBGrid1->OnHeaderClick = [this](grid::TCustomgxTreeListControl*,
                                      grid::TgxTreeListColumn* column) {
        gxDBGrid1ColumnClick(dynamic_cast<grid::TgxDBTreeListColumn*>(column));
    };
    gxDBGrid1->OnMouseUp = [this](grid::TCustomgxTreeList*, Qt::MouseButton button, ui::TShiftState,
                                  int x,
                                  int y) { gxDBGrid1MouseUp(button == Qt::RightButton, x, y); };
    gxDBGrid1->OnKeyUp = [this](grid::TCustomgxContainer*, std::uint16_t& key,
                                ui::TShiftState shift) {
        DBGrid1KeyUp(key, (shift & ui::ssCtrl) != 0);
    };
    gxDBGrid1->OnEndColumnsCustomizing = [this](grid::TCustomgxTreeList*) {
        column_selector_ = false;
    };
    gxDBGrid1->SetDataSource(DscCV.get());
    ClientLayout()->addWidget(gxDBGrid1, 1);
}

void Tfrmmain::BuildPopupMenus() {
    ui::TMenuItem& rows = PopupMenu1.Items();
    rows.Add("Delete Entry", "pukDelete", [this] { DeleteRecord1Click(); });
    rows.Add("Move to Blocked Addresses", "pukaddtonever", [this] { mkaddtoneverClick(); });
    rows.Add("Change Category to..", "pukChangeCategory", [this] { mkChangeCategoryClick(); });
    rows.Add("Update E-mail Address...", "pukUpdateEmail", [this] { mkUpdateEmailClick(); });
    rows.Add("Reset Bounce Count ", "pukResetBounceCount", [this] { BatchProcess(1); });
    rows.Add("User can send messages", "pukUsercansend", [this] { BatchProcess(2); });
    rows.Add("User cannot send messages", "pukUsercannotsend", [this] { BatchProcess(3); });
    rows.AddSeparator();
    pukEditing =
        &rows.Add("Allow In-line Editing", "pukEditing", [this] { mkAllowEditingClick(); });
    rows.AddSeparator();
    rows.Add("Go to First Record", "pukFirst", [this] { pukFirstClick(); });
    rows.Add("Go to Last Record", "pukLast", [this] { pukLastClick(); });
    rows.Add("Find..", "pukFind", [this] { mkFindRecordClick(); });
    rows.Add("Print List..", "pukPrint", [this] { mkPrintClick(); });
    PopupMenu1.OnPopup = [this] { PopupMenu1Popup(); };

    ui::TMenuItem& header = pmHeader.Items();
    pukSortDescending = &header.Add("Sort by this field", "pukSortDescending",
                                    [this] { pukSortDescendingClick(); });
    header.Add("&Remove This Column", "pukRemoveThisColumn",
               [this] { pukRemoveThisColumnClick(); });
    header.Add("Column Selector...", "pukColumnSelector", [this] { pukColumnSelectorClick(); });
    header.Add("Best &Fit", "pukBestFit", [this] { pukBestFitClick(); });
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
    btnsend = button("Send E-Mail to List", "btnsend", [this] { SendEmailtoMailingList1Click(); });
    btnAddMore = button("Manually Enter Entries...", "btnAddMore", [this] { btnAddMoreClick(); });
    btnScanOutlook = button("Scan Outlook Folders", "btnScanOutlook",
                            [this] { GetAddressesFromOutlook(false); });
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
    // The grid reads the whole list before the window can paint: a large one takes seconds.
    const ui::THourglass hourglass;
    {
        // The load mode, the stored layout and the filter would each have the grid read the
        // whole list again; it reads it once, as they leave it, when the source is back.
        struct Held {
            db::TDataSource& source;
            ~Held() { source.SetEnabled(true); }
        } held{*DscCV};
        DscCV->SetEnabled(false);
        SetLoadAllRecords();
        if (!settings.LimitDBCache)
            gxDBGrid1->SetShowGroupPanel(settings.ShowGroupPanel);
        mkAllowEditing->SetChecked(!settings.AllowEditing);
        mkAllowEditingClick();
        LoadGridLayout();
        UpdateDisplay();
    }
    std::string errors_file = program_dir_ + kErrorsFileName;
    try {
        if (platform::os::FileExists(errors_file))
            services_.errors.LoadFromFile(errors_file);
    } catch (const std::exception& e) {
        // The rest of the start (the check timer above all) still runs.
        ui::MessageDlg(std::string(e.what()) +
                           "\r\n\r\nThe errors list starts empty, and the file is left as it is.",
                       ui::mtWarning, {ui::mbOK});
    }
    if (settings.AutoScanStartUp)
        tmrGetEntries.Start(kStartupCheckDelayMs);
    else
        CommenceTimer();
}

void Tfrmmain::HoldGridUntilShown() {
    DscCV->SetEnabled(false);
}

void Tfrmmain::FormCloseQuery(bool& can_close) {
    // A value still in the grid's editor is the user's change as much as a posted one; it
    // goes in before the back-up and the saves, or the window stays open while it cannot.
    can_close = PostPendingEdit();
    if (!can_close)
        return;
    if (services_.settings.BackUpOnExit && !SaveBackUpFile(false))
        can_close = ui::MessageDlg(
                        "An error was encountered saving your back up file.  Do you still want "
                        "to close?",
                        ui::mtWarning, ui::mbYesNo) == ui::mrYes;
}

bool Tfrmmain::EntryBeingEdited() const {
    if (!DatabaseOpen() || !gxDBGrid1->IsEditing())
        return false;
    const db::TDataSetState state = services_.database.tblCV().State();
    return state == db::dsEdit || state == db::dsInsert;
}

bool Tfrmmain::PostPendingEdit() {
    if (!DatabaseOpen())
        return true;
    try {
        services_.database.tblCV().CheckBrowseMode();
        return true;
    } catch (const std::exception& e) {
        ui::MessageDlg(e.what(), ui::mtError, {ui::mbOK});
        return false;
    }
}

void Tfrmmain::FormClose() {
    tmrGetEntries.Stop();
    hideprogress();
    // Each save runs on its own: one that fails (or no database open) never
    // keeps the others from saving.
    ui::THourglass hourglass;
    // The cache limit hides the panel without the user asking; that is not their choice.
    if (!services_.settings.LimitDBCache)
        services_.settings.ShowGroupPanel = gxDBGrid1->ShowGroupPanel();
    ui::Guarded([this] {
        // A registry that cannot be written (a damaged file is never written over) is
        // reported once, by the settings saved below; the window's placement would fail on
        // it a third time.
        if (!SaveGridLayout())
            FormPlacement1->SetActive(false);
    });
    const std::string failures =
        SaveProgramState(services_.settings, services_.errors, services_.database, program_dir_);
    if (!failures.empty())
        ui::MessageDlg(failures, ui::mtWarning, {ui::mbOK});
}

void Tfrmmain::FormDestroy() {
    // Closing has saved every setting (and reported a failure); only the database
    // folder, which may have changed since, is written again.
    SaveDatabasePath(services_.settings, program_dir_);
    try {
        services_.database.SaveRecentList();
    } catch (const std::exception&) {
        // Closing has tried it already and reported the failure; the program ends either way.
    }
}

void Tfrmmain::SaveDatabase() {
    services_.database.SaveDatabase();
}

void Tfrmmain::UpdateDisplay() {
    refilter_ = false;
    if (DatabaseOpen()) {
        strata::TStrataTable& table = services_.database.tblCV();
        // Filtering sends the table to its first record, and the grid would follow it there;
        // the entry the user was on stays current when it passes the filter, so the list
        // stays where it was.
        const std::optional<db::Variant> entry = kept_entry_ ? kept_entry_ : CurrentEntry(table);
        table.DisableControls();
        try {
            SetFilter(table, rdbfilter->Checked(), edtfilter->Text(), edtnotfilter->Text(),
                      rdbnotfilter->Checked());
            if (entry)
                table.Locate("Index", *entry, {});
        } catch (...) {
            table.EnableControls();
            throw;
        }
        table.EnableControls();
    }
    UpdateCount();
}

void Tfrmmain::UpdateCount() {
    const bool chosen = rdbfilter->Checked() || rdbnotfilter->Checked();
    const std::int64_t count = DatabaseOpen() ? services_.database.tblCV().RecordCount() : 0;
    lblcount->SetCaption(CountLabel(count, chosen));
    UpdateCaption();
}

void Tfrmmain::UpdateCaption() {
    SetCaption(MainCaption(debug_, DatabaseOpen(), services_.settings.DBPath, program_dir_));
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

void Tfrmmain::SetUseOutlook(bool use) {
    if (use == use_outlook_)
        return;
    use_outlook_ = use;
    for (ui::TButton* button : {btngetoutlook, btnScanOutlook})
        button->SetVisible(use);
    for (ui::TMenuItem* item : {mkCheckOutlook, mkScanContacts, mkScanFolders})
        item->SetVisible(use);
}

void Tfrmmain::SendEmailtoMailingList1Click() {
    if (!ConfirmSendingMethod(services_.settings))
        return;
    // The send dialog filters and walks the list table for its recipients: the grid waits
    // for it, as for every dialog over the list, instead of being read again at each
    // change, and the entry the user was on is current again afterwards.
    newformpreparation(true);
    const std::int64_t changes_before = list_changes_;
    try {
        if (OnSendEmail)
            OnSendEmail();
    } catch (...) {
        newformpreparation(false);
        throw;
    }
    // A bounce counted during the mail-out changes the list; only an unchanged list keeps
    // the grid's rows.
    newformpreparation(false, list_changes_ == changes_before);
    CommenceTimer();
}

void Tfrmmain::CommenceTimer() {
    const Settings& settings = services_.settings;
    // Switching the timed check off stops a timer that is still armed.
    if (settings.AutoScanDelayed)
        tmrGetEntries.Start(AutoScanIntervalMs(settings));
    else
        tmrGetEntries.Stop();
}

void Tfrmmain::tmrGetEntriesTimer() {
    if (ui::ActiveForm() == this && !EntryBeingEdited()) {
        btngetoutlookClick();
        return;
    }
    // Another window of the program is in use, or the user is typing into an entry (the
    // check would take the list from under the grid's editor and lose the typing): try
    // again after a full interval.
    tmrGetEntries.SetEnabled(false);
    tmrGetEntries.SetEnabled(true);
}

void Tfrmmain::btngetoutlookClick() {
    tmrGetEntries.SetEnabled(false);
    {
        // The grid reads the list again once after all passes of the check, not after
        // each: a reading of 100,000 entries holds the window for seconds.
        newformpreparation(true);
        struct Resume {
            Tfrmmain& window;
            ~Resume() {
                ui::Guarded([this] { window.newformpreparation(false); });
            }
        } resume{*this};
        for (const CheckPass& pass : CheckPasses(services_.settings))
            ProcessFolder(pass.for_requests, pass.for_members);
    }
    CommenceTimer();
}

void Tfrmmain::ProcessFolder(bool for_requests, bool for_members) {
    newformpreparation(true);
    if (OnProcessFolder)
        ui::Guarded([&] { OnProcessFolder(for_requests, for_members); });
    // This applies the filter again and refreshes the count label and the caption.
    newformpreparation(false);
}

void Tfrmmain::newformpreparation(bool preparing, bool rows_kept) {
    if (!DatabaseOpen()) {
        kept_entry_.reset();
        return;
    }
    strata::TStrataTable& table = services_.database.tblCV();
    if (preparing) {
        if (!kept_entry_)
            kept_entry_ = CurrentEntry(table);
        // Suspended first: unfiltering moves the table to its first record, and the grid
        // would be read again around that record before every dialog.
        table.DisableControls();
        table.SetFiltered(false);
        return;
    }
    // The filter comes back before the controls resume: the grid reads the list once, with
    // the entry the user was on current again.
    try {
        rdballClick();
    } catch (...) {
        kept_entry_.reset();
        table.EnableControls();
        throw;
    }
    kept_entry_.reset();
    if (rows_kept)
        gxDBGrid1->KeepRowsThrough([&table] { table.EnableControls(); });
    else
        table.EnableControls();
}

std::optional<db::Variant> Tfrmmain::CurrentEntry(db::TDataSet& table) {
    if (!table.Active() || table.IsEmpty())
        return std::nullopt;
    db::TField* index = table.FindField("Index");
    if (index == nullptr || index->IsNull())
        return std::nullopt;
    return index->Value();
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
        progress_percent_ = -1;
        progress_->SetCancellable(cancellable);
        // Work started from a modal dialog (the mail-out, its recipient list) would leave
        // the display behind that dialog's block, its Cancel out of the user's reach: it
        // takes the block over while it is shown.
        if (QApplication::activeModalWidget() != nullptr)
            progress_->setWindowModality(Qt::ApplicationModal);
        progress_->Show();
        SetCancelled(false);
        // A window reaches the screen through the event loop, which a task that cannot be
        // cancelled never runs; only drawing is let through here, no input.
        if (!cancellable) {
            QElapsedTimer waited;
            waited.start();
            do
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 50);
            while (!(progress_->windowHandle() && progress_->windowHandle()->isExposed()) &&
                   waited.elapsed() < 500);
        }
    }
    // A new percentage is drawn at once; a new caption alone at most every 50 ms, which is
    // still faster than anyone reads it.
    if (*percent != progress_percent_ || !progress_drawn_.isValid() ||
        progress_drawn_.hasExpired(50)) {
        progress_percent_ = *percent;
        progress_drawn_.start();
        progress_->SetMessage(caption);
        progress_->SetPercent(*percent);
        progress_->repaint();
    }
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
    for (const std::string& path : paths) {
        // The path is shown as it is: an "&" in it is no hot key.
        std::string caption;
        for (char c : path)
            caption += c == '&' ? std::string("&&") : std::string(1, c);
        mkReopen->Add(caption, "", [this, path] { mkreopenonclick(path); });
    }
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
    option.rdbXLS->SetEnabled(static_cast<bool>(OnExportExcel));
    option.rdbHTML->SetEnabled(static_cast<bool>(OnExportHTML));
    if (option.ShowModal() != ui::mrOk)
        return;
    if (option.rdbXLS->Checked() || option.rdbHTML->Checked()) {
        // The file holds every entry, also those a start still reads in the background.
        gxDBGrid1->LoadRemainingRows();
        SaveToFile(option.rdbXLS->Checked(), *gxDBGrid1);
        return;
    }
    if (!option.rdbCSV->Checked())
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
    // A list of 100,000 entries takes the grid seconds to read again; it keeps its rows.
    find.Locate = [this](std::string_view fields, const db::Variant& values,
                         db::TLocateOptions options) {
        return gxDBGrid1->LocateRecord(fields, values, options);
    };
    // The grid's commands work on the chosen rows, so the found row becomes the one chosen.
    find.OnFound = [this] {
        gxDBGrid1->ClearSelection();
        if (grid::TgxTreeListNode* focused = gxDBGrid1->GetFocusedNode())
            focused->SetSelected(true);
    };
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
    {
        // The grid lets go of the list's fields while the tables are closed: the progress
        // display repaints the window, and the fields are rebuilt when the tables reopen.
        struct Detached {
            db::TDataSource& source;
            ~Detached() { source.SetEnabled(true); }
        } detached{*DscCV};
        DscCV->SetEnabled(false);
        app::OptimiseDatabase(services_.database, services_.settings.DBExclusive);
    }
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

EntryKeys Tfrmmain::ChosenKeys() {
    EntryKeys keys;
    if (DatabaseOpen())
        keys = SelectedKeys(*gxDBGrid1);
    if (keys.empty())
        ui::MessageBeep();
    return keys;
}

void Tfrmmain::RunBatch(const std::function<void()>& batch) {
    struct Finish {
        Tfrmmain& window;
        ~Finish() {
            window.gxDBGrid1->EndUpdate();
            window.hideprogress();
            window.rdballClick();
        }
    };
    ui::THourglass hourglass;
    gxDBGrid1->BeginUpdate();
    Finish finish{*this};
    batch();
}

void Tfrmmain::DeleteRecord1Click() {
    const EntryKeys keys = ChosenKeys();
    if (keys.empty())
        return;
    if (ui::MessageDlg("Are you sure you want to delete the " + std::to_string(keys.size()) +
                           " selected entries?",
                       ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
        return;
    // The rows go one by one without the grid following; the focus then moves once.
    const std::optional<std::int32_t> next = KeyAfterDeletion(*gxDBGrid1, keys);
    const int top = gxDBGrid1->GetTopIndex();
    RunBatch([&] { DeleteEntries(services_.database.tblCV(), keys); });
    FocusKey(*gxDBGrid1, next, top);
}

void Tfrmmain::mkaddtoneverClick() {
    const EntryKeys keys = ChosenKeys();
    if (keys.empty())
        return;
    if (ui::MessageDlg("Are you sure you want to move the " + std::to_string(keys.size()) +
                           " selected entries to your never send list?",
                       ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
        return;
    RunBatch([&] {
        MoveToBlocked(services_.database.tblCV(), keys, services_.settings, Progress(false));
    });
    gxDBGrid1->ClearSelection();
}

void Tfrmmain::BatchProcess(int kind) {
    const EntryKeys keys = ChosenKeys();
    if (keys.empty())
        return;
    RunBatch([&] { app::BatchProcess(services_.database.tblCV(), keys, kind, Progress(false)); });
}

void Tfrmmain::mkChangeCategoryClick() {
    const EntryKeys keys = ChosenKeys();
    if (keys.empty())
        return;
    strata::TStrataTable& table = services_.database.tblCV();
    const std::string category = getcategory(
        this, "Please enter a List Category for these " + std::to_string(keys.size()) + " entries",
        services_.settings.lbxcategories, table.FieldByName("Category")->AsString());
    if (category.empty())
        return;
    RunBatch([&] { ChangeCategory(table, keys, category, Progress(false)); });
    gxDBGrid1->ClearSelection();
}

void Tfrmmain::mkUpdateEmailClick() {
    if (!DatabaseOpen() || services_.database.tblCV().IsEmpty())
        return;
    const std::string address = services_.database.tblCV().FieldByName("Item")->AsString();
    if (PromptToModifyAddress(this, services_.entries, address, "", false))
        UpdateDisplay();
}

void Tfrmmain::mkAllowEditingClick() {
    const bool editing = !mkAllowEditing->Checked();
    mkAllowEditing->SetChecked(editing);
    services_.settings.AllowEditing = editing;
    grid::TgxDBGridOptions options = gxDBGrid1->Options();
    if (editing)
        options = (options | grid::egoEditing) & ~grid::egoRowSelect;
    else
        options = (options | grid::egoRowSelect) & ~grid::egoEditing;
    gxDBGrid1->SetOptions(options);
}

void Tfrmmain::View1Click() {
    mkShowGroupPanel->SetChecked(gxDBGrid1->ShowGroupPanel());
}

void Tfrmmain::mkShowGroupPanelClick() {
    gxDBGrid1->SetShowGroupPanel(!gxDBGrid1->ShowGroupPanel());
    services_.settings.ShowGroupPanel = gxDBGrid1->ShowGroupPanel();
    View1Click();
}

void Tfrmmain::mkSortingClick() {
    for (auto [item, field] :
         {std::pair{"mksortEmail", "Item"}, std::pair{"mksortList", "Category"},
          std::pair{"mksortbounce", "Bounces"}}) {
        grid::TgxDBTreeListColumn* column = gxDBGrid1->ColumnByFieldName(field);
        if (ui::TMenuItem* entry = MainMenu1.Items().Find(item))
            entry->SetChecked(column != nullptr && column->Sorted() != grid::csNone);
    }
}

void Tfrmmain::SortMenuClick(std::string_view field) {
    grid::TgxDBTreeListColumn* column = gxDBGrid1->ColumnByFieldName(field);
    if (column == nullptr)
        return;
    if (services_.settings.LimitDBCache)
        gxDBGrid1ColumnClick(column);
    const bool descending = column->Sorted() != grid::csDown;
    column->SetSorted(descending ? grid::csDown : grid::csUp);
    gxDBGrid1->SortByColumn(column, descending);
}

void Tfrmmain::gxDBGrid1ColumnClick(grid::TgxDBTreeListColumn* column) {
    // Without the cache limit every row is loaded and the grid sorts them itself.
    if (!services_.settings.LimitDBCache || column == nullptr || !DatabaseOpen())
        return;
    if (!IsSortableListField(column->FieldName())) {
        ui::MessageBeep();
        return;
    }
    ui::THourglass hourglass;
    for (const char* field : {"Item", "Category", "Bounces"})
        if (grid::TgxDBTreeListColumn* other = gxDBGrid1->ColumnByFieldName(field);
            other != nullptr && other != column)
            other->SetSorted(grid::csNone);
    strata::TStrataTable& table = services_.database.tblCV();
    if (column->Sorted() == grid::csUp) {
        table.SetIndexFieldNames("");
        column->SetSorted(grid::csNone);
        return;
    }
    try {
        table.SetIndexFieldNames(column->FieldName());
    } catch (const std::exception&) {
        // The table keeps its order; the mark still shows the choice.
    }
    column->SetSorted(grid::csUp);
}

void Tfrmmain::SetLoadAllRecords() {
    const Settings& settings = services_.settings;
    grid::TgxDBGridOptions options = gxDBGrid1->Options();
    if (settings.LimitDBCache) {
        gxDBGrid1->SetShowGroupPanel(false);
        gxDBGrid1->ClearGrouping();
        gxDBGrid1->SetPartialLoad(true);
        gxDBGrid1->SetPartialLoadBufferCount(std::max(settings.DBCacheSize, 1));
        gxDBGrid1->SetOptions(options & ~grid::egoLoadAllRecords);
        mkShowGroupPanel->SetVisible(false);
    } else {
        gxDBGrid1->SetOptions(options | grid::egoLoadAllRecords);
        mkShowGroupPanel->SetVisible(true);
    }
    gxDBGrid1->SetDataSource(DscCV.get());
    if (DatabaseOpen())
        gxDBGrid1->ReloadNodes();
}

void Tfrmmain::pukSortDescendingClick() {
    if (remembered_column_ == nullptr)
        return;
    if (services_.settings.LimitDBCache) {
        gxDBGrid1ColumnClick(remembered_column_);
        return;
    }
    // Every row is loaded: the grid sorts them as a header click would.
    const bool descending = remembered_column_->Sorted() == grid::csUp;
    remembered_column_->SetSorted(descending ? grid::csDown : grid::csUp);
    gxDBGrid1->SortByColumn(remembered_column_, descending);
}

void Tfrmmain::pukRemoveThisColumnClick() {
    if (remembered_column_ != nullptr)
        remembered_column_->SetVisible(false);
}

void Tfrmmain::pukColumnSelectorClick() {
    column_selector_ = !column_selector_;
    if (column_selector_)
        gxDBGrid1->ShowColumnsCustomizing();
    else
        gxDBGrid1->CloseColumnsCustomizing();
}

void Tfrmmain::pukBestFitClick() {
    if (remembered_column_ != nullptr)
        gxDBGrid1->ApplyBestFit(remembered_column_);
}

void Tfrmmain::pukFirstClick() {
    if (!DatabaseOpen())
        return;
    ui::THourglass hourglass;
    services_.database.tblCV().First();
}

void Tfrmmain::pukLastClick() {
    if (!DatabaseOpen())
        return;
    ui::THourglass hourglass;
    services_.database.tblCV().Last();
}

void Tfrmmain::PopupMenu1Popup() {
    pukEditing->SetChecked(mkAllowEditing->Checked());
    const bool rights = services_.settings.UserSending;
    for (const char* name : {"Usercansendmessages1", "Usercannotsendmessages1"})
        EnableCommand(name, rights);
    for (const char* name : {"pukUsercansend", "pukUsercannotsend"})
        if (ui::TMenuItem* item = PopupMenu1.Items().Find(name))
            item->SetEnabled(rights);
}

void Tfrmmain::DBGrid1KeyUp(std::uint16_t key, bool ctrl) {
    if (key == ui::VK_DELETE && !mkAllowEditing->Checked())
        DeleteRecord1Click();
    else if (key == ui::VK_HOME && ctrl)
        pukFirstClick();
    else if (key == ui::VK_END && ctrl)
        pukLastClick();
}

void Tfrmmain::gxDBGrid1MouseUp(bool right_button, int x, int y) {
    if (!right_button)
        return;
    const QPoint at = gxDBGrid1->mapToGlobal(QPoint(x, y));
    const std::uint8_t hit = gxDBGrid1->GetHitTestAt(x, y);
    if (hit != grid::htColumn && hit != grid::htColumnEdge) {
        PopupMenu1.Popup(at.x(), at.y());
        return;
    }
    remembered_column_ = dynamic_cast<grid::TgxDBTreeListColumn*>(gxDBGrid1->GetColumnAt(x, y));
    pukSortDescending->SetChecked(remembered_column_ != nullptr &&
                                  remembered_column_->Sorted() == grid::csUp);
    pmHeader.Popup(at.x(), at.y());
}

void Tfrmmain::LoadGridLayout() {
    GridLayout layout = TakeGridLayout(*gxDBGrid1);
    app::LoadGridLayout(kGridLayoutKey, layout, services_.settings.LimitDBCache);
    ApplyGridLayout(*gxDBGrid1, layout);
}

bool Tfrmmain::SaveGridLayout() {
    return app::SaveGridLayout(kGridLayoutKey, TakeGridLayout(*gxDBGrid1));
}

void Tfrmmain::mkDisplayStatsClick() {
    if (!DatabaseOpen())
        return;
    TdlgStats stats(this, services_.database.tblStats());
    stats.btnXLS->SetEnabled(static_cast<bool>(OnExportExcel));
    stats.btnHTML->SetEnabled(static_cast<bool>(OnExportHTML));
    stats.OnSaveToFile = [this](bool spreadsheet, grid::TgxDBGrid& grid) {
        SaveToFile(spreadsheet, grid);
    };
    stats.ShowModal();
}

void Tfrmmain::SaveToFile(bool spreadsheet, grid::TgxDBGrid& grid) {
    const auto& writer = spreadsheet ? OnExportExcel : OnExportHTML;
    if (!writer)
        return;
    ui::TSaveDialog dialog;
    if (spreadsheet) {
        dialog.SetFilter("Excel Files (*.xls)|*.xls");
        dialog.SetDefaultExt("xls");
    } else {
        dialog.SetFilter("HTML Files (*.htm;*.html)|*.htm;*.html");
        dialog.SetDefaultExt("htm");
    }
    if (!dialog.Execute())
        return;
    ui::THourglass hourglass;
    try {
        writer(grid, dialog.FileName());
    } catch (const std::exception& e) {
        // The reason goes with it: a worksheet refuses a list longer than it can hold, and
        // the user must learn that the list, not the disk, is the cause.
        ui::MessageDlg(std::string("An error was encountered saving your file.\r\n\r\n") + e.what(),
                       ui::mtError, {ui::mbOK});
    }
}

void Tfrmmain::ScanFileFoldersforAddresses1Click() {
    if (!DatabaseOpen())
        return;
    SetCancelled(false);
    newformpreparation(true);
    struct End {
        Tfrmmain& window;
        ~End() {
            window.hideprogress();
            window.newformpreparation(false);
        }
    } end{*this};
    TdlgEnterMore more(this, services_, Progress(false));
    TdlgScanFolder scan(this);
    std::vector<std::string> found;
    std::string folder;
    const AddressCheck valid = [this](std::string_view address) {
        int code = 0;
        return services_.entries.validemailaddress(address, true, code);
    };
    for (;;) {
        if (scan.ShowModal() != ui::mrOk)
            return;
        folder = scan.ScanDirectory->Path();
        db::TStringList files;
        ScanFolderFiles(files, folder, scan.Mask(), true, false);
        if (files.Count() == 0) {
            ui::MessageDlg(
                "No files of the specified type could be found in the folder, " + folder + "!",
                ui::mtWarning, {ui::mbOK});
            continue;
        }
        std::optional<std::vector<std::string>> gathered = GatherAddressesFromFiles(
            files.ToVector(), valid,
            [this](std::int64_t position, std::int64_t count) {
                showprogress(true, position, true, "Processing Files", count);
            },
            [] { return Cancelled(); });
        if (!gathered)
            return;
        found = std::move(*gathered);
        break;
    }
    hideprogress();
    if (found.empty()) {
        ui::MessageDlg("No e-mail addresses were found in files of the folder, " + folder,
                       ui::mtInformation, {ui::mbOK});
        return;
    }
    more.memin->Lines().Clear();
    for (const std::string& address : found)
        more.memin->Lines().Add(address);
    more.btnLoad->SetVisible(false);
    more.btnPaste->SetVisible(false);
    more.lblHeading->SetCaption("The following " + std::to_string(found.size()) +
                                " addresses were retrieved from your file folder:");
    more.SetCaption("Process Addresses (Step 2 of 2)");
    more.ShowModal();
}

void Tfrmmain::GetAddressesFromOutlook(bool contacts) {
    if (!DatabaseOpen() || !OnMailStore)
        return;
    SetCancelled(false);
    newformpreparation(true);
    struct End {
        Tfrmmain& window;
        ~End() {
            window.hideprogress();
            window.newformpreparation(false);
        }
    } end{*this};
    ui::Guarded([&] {
        mail::MailStore* store = nullptr;
        try {
            store = &OnMailStore();
        } catch (const std::exception& e) {
            ShowScanRootFolderError(services_.entries, e.what());
            return;
        }
        AddressGatherer gatherer(services_.entries, *store);
        // Loading the folder tree cannot be cancelled; scanning a folder can. A
        // maximum of 0 ends the display.
        gatherer.OnProgress = [this](std::int64_t position, std::int64_t maximum,
                                     std::string_view caption) {
            showprogress(maximum > 0, position, caption.starts_with("Scanning Entries from"),
                         caption, maximum);
        };
        gatherer.Cancelled = [] { return Cancelled(); };
        gatherer.OnPromptSenderMethodChange = [this](std::string_view text, bool& always_show) {
            return PromptSenderMethodChange(this, text, always_show);
        };
        TdlgEnterMore more(this, services_, Progress(false));
        TdlgGetMore folders(this, gatherer);
        folders.memin = more.memin;
        folders.chkScanContacts->SetChecked(contacts);
        if (contacts) {
            ui::THourglass hourglass;
            folders.tmrLoadFoldersTimer();
        } else if (folders.ShowModal() == ui::mrOk && !Cancelled()) {
            folders.ProcessSelectedFolder();
        }
        hideprogress();
        const std::int64_t count = more.memin->Lines().Count();
        if (count == 0) {
            ui::MessageDlg("No e-mail addresses were found in specified folder", ui::mtInformation,
                           {ui::mbOK});
            return;
        }
        more.memin->setMinimumWidth(ScaleToScreen(420));
        more.btnLoad->SetVisible(false);
        more.btnPaste->SetVisible(false);
        more.lblHeading->SetCaption("The following " + std::to_string(count) +
                                    " addresses were retrieved from the specified folder:");
        more.SetCaption("Process Addresses (Step 2 of 2)");
        more.ShowModal();
    });
}

}  // namespace app
