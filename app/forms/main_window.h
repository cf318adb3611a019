#pragma once

// The main window: the list, the filter bar, the menus and buttons of every command, the
// automatic check timer and the shared progress display.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/list/list_commands.h"
#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "platform/ui/menus.h"
#include "platform/ui/timer.h"

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
    // The shut-down's last step: the database path and the recent databases.
    void FormDestroy();

    // Category filter, count label and caption.
    void UpdateDisplay();
    void UpdateCaption();
    void rdballClick() { UpdateDisplay(); }
    // The idle work: a changed filter text is applied once typing pauses.
    void DoIdle();
    bool RefilterPending() const { return refilter_; }

    // The automatic check for new entries.
    void CommenceTimer();
    void tmrGetEntriesTimer();
    void btngetoutlookClick();
    void ProcessFolder(bool for_requests, bool for_members);
    // Runs the check of one folder (the program sets the mail run; tests count passes).
    std::function<void(bool for_requests, bool for_members)> OnProcessFolder;

    // Around a dialog that works on the list: unfilter and suspend before, resume and
    // filter again after.
    void newformpreparation(bool preparing);

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
    // The list grid's place.
    ui::TPanel* pnlList;
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

    std::string program_dir_;
    bool debug_ = false;
    bool refilter_ = false;
    ListServices services_;
    std::unique_ptr<TdlgProgress> progress_;
    std::unique_ptr<Tdlgoptions> options_;
    std::vector<std::string> running_;
};

}  // namespace app
