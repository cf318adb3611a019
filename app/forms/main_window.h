#pragma once

#include <QElapsedTimer>

// The main window: the list, the filter bar, the menus and buttons of every command, the
// automatic check timer and the shared progress display.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/list/list_commands.h"
#include "platform/db/component.h"
#include "platform/db/variant.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "platform/ui/menus.h"
#include "platform/ui/timer.h"

namespace mail {
class MailStore;
}

namespace db {
class TDataSet;
class TDataSource;
}  // namespace db

namespace grid {
class TgxDBGrid;
class TgxDBTreeListColumn;
class TCustomgxTreeList;
}  // namespace grid

namespace support {
class TFormPlacement;
}

namespace app {

class EntryProcessor;
class ErrorsList;
class ListDatabase;
struct Settings;
class Tdlgoptions;
class TdlgProgress;

// What the window works on; all of it lives for the whole run.
struct ListServices {
    Settings& settings;
    ListDatabase& database;
    ErrorsList& errors;
    EntryProcessor& entries;
};

inline constexpr const char* kErrorsFileName = "errors.txt";

class Tfrmmain : public ui::TForm {
  public:
    // args are the command-line arguments after the program's name.
    Tfrmmain(std::string program_dir, const std::vector<std::string>& args, ListServices services);
    ~Tfrmmain() override;

    bool DebugMode() const { return debug_; }
    const std::string& ProgramDir() const { return program_dir_; }

    // The open-database dialog, then the open; true when a database was opened.
    bool PromptToLoadDB();
    // Keeps the grid from reading a database opened before the window is first shown; it
    // reads the list once as it is shown.
    void HoldGridUntilShown();
    // The shut-down's last step: the database path and the recent databases.
    void FormDestroy();

    // Category filter, count label and caption.
    void UpdateDisplay();
    void UpdateCaption();
    // The count label and the caption for the table as it is filtered now.
    void UpdateCount();
    void rdballClick() { UpdateDisplay(); }
    // The idle work: a changed filter text is applied once typing pauses.
    void DoIdle();
    bool RefilterPending() const { return refilter_; }

    // The automatic check for new entries.
    void CommenceTimer();
    void tmrGetEntriesTimer();
    void btngetoutlookClick();
    void ProcessFolder(bool for_requests, bool for_members);
    // The send command: the program shows the send dialog with its mail context.
    std::function<void()> OnSendEmail;
    // Asks for a sending method when none was ever chosen, shows the send
    // dialog, then filters the list again and re-arms the check timer.
    void SendEmailtoMailingList1Click();
    // Runs the check of one folder (the program sets the mail run; tests count passes).
    std::function<void(bool for_requests, bool for_members)> OnProcessFolder;

    // Around a dialog that works on the list: unfilter and suspend before, resume and
    // filter again after.
    // With rows_kept, the dialog only filtered and walked the list: the grid keeps the rows
    // it holds rather than reading the list again.
    void newformpreparation(bool preparing, bool rows_kept = false);

    // The shared progress display; a maximum of 1 or less shows nothing.
    void showprogress(bool show, std::int64_t position, bool cancellable, std::string_view caption,
                      std::int64_t maximum);
    void hideprogress() { showprogress(false, 0, false, "", 0); }
    TdlgProgress* ProgressDialog() const { return progress_.get(); }
    // The progress display as the list rules report to it.
    ProgressReport Progress(bool cancellable);

    void SaveDatabase();
    // Writes the back-up file; with confirm the user is told where. True when written.
    bool SaveBackUpFile(bool confirm);

    // Whether mail is read from Outlook: without it the commands that read the mail
    // store (the check for new entries and the folder and contact scans) are hidden.
    bool UseOutlook() const { return use_outlook_; }
    void SetUseOutlook(bool use);

    // Commands.
    void Exit1Click() { Close(); }
    void Options1Click();
    // The options dialog, which lives as long as the window.
    Tdlgoptions& Options() const { return *options_; }
    void mkOpenDBClick();
    void mkreopenonclick(const std::string& path);
    void mkDisplayLogClick();
    void SaveBackUpFile1Click() { SaveBackUpFile(true); }
    void ImportMailingListEntries1Click();
    void ExportMailingListEntries1Click();
    void mkPrintClick();
    void btnAddMoreClick();
    void mkFindRecordClick();
    void DeleteAllEntries1Click();
    void ResetBounceCountforallEntries1Click();
    void MergeAllCategories1Click();
    void OptimizeDatabase1Click();
    void OptimiseDatabase(bool interactive);
    void btnHelpClick();
    void About1Click();
    void mkFAQClick();
    void BrovikWebsite1Click();
    void FormCloseQuery(bool& can_close);
    void mkDisplayStatsClick();
    // Gathers the addresses of the files of a disk folder for manual entry.
    void ScanFileFoldersforAddresses1Click();
    // Gathers addresses from a folder of the mail store (or its contacts) and offers them
    // in the manual-entry dialog.
    void GetAddressesFromOutlook(bool contacts);
    // The program's mail store, opened on first use (raises when it cannot be opened).
    std::function<mail::MailStore&()> OnMailStore;

    // Commands on the rows chosen in the grid.
    void DeleteRecord1Click();
    void mkaddtoneverClick();
    // Kind 1 resets the bounce count, 2 gives and 3 takes the sending right.
    void BatchProcess(int kind);
    void mkChangeCategoryClick();
    void mkUpdateEmailClick();

    // The grid's modes, sorting and columns.
    void mkAllowEditingClick();
    void mkShowGroupPanelClick();
    void View1Click();
    void mkSortingClick();
    // A sort menu entry: the column of that field toggles between descending and ascending.
    void SortMenuClick(std::string_view field);
    void gxDBGrid1ColumnClick(grid::TgxDBTreeListColumn* column);
    void SetLoadAllRecords();
    void pukSortDescendingClick();
    void pukRemoveThisColumnClick();
    void pukColumnSelectorClick();
    void pukBestFitClick();
    void pukFirstClick();
    void pukLastClick();
    void PopupMenu1Popup();
    void DBGrid1KeyUp(std::uint16_t key, bool ctrl);
    void gxDBGrid1MouseUp(bool right_button, int x, int y);
    // The column under the last right click in the header.
    grid::TgxDBTreeListColumn* RememberedColumn() const { return remembered_column_; }
    void SetRememberedColumn(grid::TgxDBTreeListColumn* column) { remembered_column_ = column; }
    bool ColumnSelectorOpen() const { return column_selector_; }

    // Writes a grid as a spreadsheet or an HTML page to a file the user picks.
    void SaveToFile(bool spreadsheet, grid::TgxDBGrid& grid);
    // The writers behind SaveToFile; a command stays disabled while none is given.
    std::function<void(grid::TgxDBGrid&, const std::string&)> OnExportExcel;
    std::function<void(grid::TgxDBGrid&, const std::string&)> OnExportHTML;

    // Menus and controls, named as the commands refer to them.
    ui::TMainMenu MainMenu1;
    ui::TMenuItem* mkOpenDB;
    ui::TMenuItem* mkReopen;
    ui::TMenuItem* mkCheckOutlook;
    ui::TMenuItem* SendEmailtoMailingList1;
    ui::TMenuItem* mkAllowEditing;
    ui::TMenuItem* mkShowGroupPanel;
    ui::TMenuItem* mkScanFolders;
    ui::TMenuItem* mkScanContacts;
    ui::TButton* btngetoutlook;
    ui::TButton* btnsend;
    ui::TButton* btnAddMore;
    ui::TButton* btnScanOutlook;
    ui::TButton* btnHelp;
    ui::TRadioButton* rdball;
    ui::TRadioButton* rdbfilter;
    ui::TRadioButton* rdbnotfilter;
    ui::TEdit* edtfilter;
    ui::TEdit* edtnotfilter;
    ui::TLabel* lblcount;
    ui::TEdit* edtCachedGroup;
    // The list grid over the list table.
    grid::TgxDBGrid* gxDBGrid1;
    ui::TPopupMenu PopupMenu1;
    ui::TPopupMenu pmHeader;
    ui::TMenuItem* pukSortDescending;
    ui::TMenuItem* pukEditing;
    ui::TTimer tmrGetEntries;

    // Shows a command's menu item (and its button) as runnable or not.
    void EnableCommand(std::string_view name, bool enabled);

  private:
    void BuildMenus();
    void BuildToolBar();
    void BuildFilterBar();
    void FormShow();
    void FormClose();
    void edtfilterChange();
    void edtnotfilterChange();
    void UpdateRecentList(const std::vector<std::string>& paths);
    // Runs a command that must not start again while it runs (an import inside an
    // import); the command's menu item is disabled meanwhile.
    void RunOnce(std::string_view name, const std::function<void()>& command);
    bool DatabaseOpen() const;
    // Writes an entry still being edited in the grid; false (the error shown) when the
    // table refuses it, so that the edit stays for the user to mend or abandon.
    bool PostPendingEdit();
    // Whether the user is typing a change to the list's current entry in the grid's editor.
    bool EntryBeingEdited() const;
    void BuildGrid();
    void BuildPopupMenus();
    // The grid's rows as `Index` keys, or none (with a beep).
    EntryKeys ChosenKeys();
    // Around a batch on the chosen rows: the grid's update lock, then filter and count.
    void RunBatch(const std::function<void()>& batch);
    void LoadGridLayout();
    bool SaveGridLayout();
    // The `Index` of the list table's current entry, none on an empty or closed table.
    static std::optional<db::Variant> CurrentEntry(db::TDataSet& table);

    std::string program_dir_;
    bool debug_ = false;
    bool refilter_ = false;
    // The entry that was current when a command unfiltered the list, current again after it.
    std::optional<db::Variant> kept_entry_;
    // Entries posted or deleted since the program started.
    std::int64_t list_changes_ = 0;
    ListServices services_;
    std::unique_ptr<TdlgProgress> progress_;
    // What the progress display last drew, and when: a run over 100,000 rows reports every
    // row, and drawing each one took longer than the work itself.
    int progress_percent_ = -1;
    QElapsedTimer progress_drawn_;
    std::unique_ptr<Tdlgoptions> options_;
    std::vector<std::string> running_;
    db::ComponentPtr<db::TDataSource> DscCV;
    // Where the window stood and how large it was, kept in the registry.
    std::unique_ptr<support::TFormPlacement> FormPlacement1;
    grid::TgxDBTreeListColumn* remembered_column_ = nullptr;
    bool column_selector_ = false;
    bool use_outlook_ = true;
};

}  // namespace app
