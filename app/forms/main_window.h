#pragma once

// The main window: the list, the filter bar, the menus and buttons of every command, the
// automatic check timer and the shared progress display.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/ui/controls.h"
#include "platform/ui/form.h"
#include "platform/ui/menus.h"
#include "platform/ui/timer.h"

namespace db {
class TDataSet;
}

namespace app {

class TdlgProgress;

// How the automatic check runs (the options of the "Scanning" page).
struct CheckTimerOptions {
    bool at_startup = false;  // one check shortly after the window is shown
    bool timed = false;       // a check every delay_minutes
    int delay_minutes = 60;
};

class Tfrmmain : public ui::TForm {
  public:
    // args are the command-line arguments after the program's name.
    Tfrmmain(std::string program_dir, const std::vector<std::string>& args);
    ~Tfrmmain() override;

    bool DebugMode() const { return debug_; }
    const std::string& ProgramDir() const { return program_dir_; }

    // The list table the window shows and filters (none until a database is open).
    void SetListTable(db::TDataSet* table) { list_table_ = table; }
    // The database path as stored ("%" for the program directory).
    void SetDBPath(std::string_view path) { db_path_ = path; }
    void SetCheckTimerOptions(const CheckTimerOptions& options) { check_options_ = options; }

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
    // Runs the extraction of one folder; the window runs nothing while none is set.
    std::function<void(bool for_requests, bool for_members)> OnProcessFolder;
    // The members'-messages options that decide how many passes a check makes.
    bool user_sending = false;
    std::string list_folder;
    std::string members_folder;

    // Around a dialog that works on the list: unfilter and suspend before, resume and
    // filter again after.
    void newformpreparation(bool preparing);

    // The shared progress display; a maximum of 1 or less shows nothing.
    void showprogress(bool show, std::int64_t position, bool cancellable, std::string_view caption,
                      std::int64_t maximum);
    void hideprogress() { showprogress(false, 0, false, "", 0); }
    TdlgProgress* ProgressDialog() const { return progress_.get(); }

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

    // Commands whose work other parts of the program carry; their menu items and
    // buttons stay visible and are enabled once the window is given the work.
    void EnableCommand(std::string_view name, bool enabled);

    void btnHelpClick();
    void About1Click();
    void mkFAQClick();
    void BrovikWebsite1Click();

  private:
    void BuildMenus();
    void BuildToolBar();
    void BuildFilterBar();
    void FormShow();
    void FormClose();
    void edtfilterChange();
    void edtnotfilterChange();
    void Exit1Click() { Close(); }

    std::string program_dir_;
    std::string db_path_;
    bool debug_ = false;
    bool refilter_ = false;
    db::TDataSet* list_table_ = nullptr;
    CheckTimerOptions check_options_;
    std::unique_ptr<TdlgProgress> progress_;
};

}  // namespace app
