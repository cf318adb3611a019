#pragma once

// The application's settings: string values under the user's registry key
// "SOFTWARE\Brovik\Corvane" and ten option-list files in the program
// directory. The options dialog edits a Settings object; every rule reads the
// live values from it.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace app {

inline constexpr std::string_view kSettingsKey = "SOFTWARE\\Brovik\\Corvane";
inline constexpr std::string_view kDefaultListFolder = "MailingList";

// The ranges of the values the options dialog edits with spin controls (lowest, highest).
using SpinRange = std::pair<std::int32_t, std::int32_t>;
inline constexpr SpinRange kCacheSizeRange{100, 50000};
inline constexpr SpinRange kAutoScanDelayRange{1, 1000};  // minutes
inline constexpr SpinRange kSendCountRange{1, 99999};
inline constexpr SpinRange kStaggerDelayRange{1, 10000000};  // seconds
inline constexpr SpinRange kBounceMaxRange{0, 999};

// How the target category of a member's message is found.
enum class ForwardTarget { kSenderGroup, kAll, kInEmail, kInSubject };

using OptionList = std::vector<std::string>;

struct Settings {
    // The list folder's name as stored; empty means kDefaultListFolder.
    std::string MailingListGroup;
    std::string AcknowledgementSubject = "Mailing List Changes";
    std::string AlternativeCategory;
    bool FailedMail = false;
    bool LimitDBCache = false;
    std::int32_t DBCacheSize = 2000;
    bool ShowGroupPanel = true;
    bool AllowEditing = false;
    bool AddSignaturePrior = true;
    bool SigOnForward = false;
    bool chkhtmlchecked = false;
    // The bounce limit: chkbouncemax switches it on, spnbouncemax holds it.
    bool chkbouncemax = true;
    std::int32_t spnbouncemax = 10;
    std::string DefaultToAddress;
    bool RemoveOutofOffice = false;
    bool Acknowledge = false;
    bool SendLog = false;
    bool AddUnsubscribers = false;
    // Recipients per forwarded or sent message; 1 means one message each.
    std::int32_t SendCount = 500;
    bool MultipleCategorySupport = true;
    bool Except = true;
    bool RestrictCategories = false;
    std::int32_t GetSenderMethod = 1;
    std::int32_t ChokeDownload = 0;
    std::int32_t EmailMethod = -1;
    bool AlwaysShowSenderError = true;
    bool AlwaysResolveAddresses = true;
    bool WrongCategoryIsError = false;
    bool SendAcknowledgement = false;
    bool chkStaggerSending = false;
    std::int32_t spnStaggerDelay = 10;
    std::string SMTPHost;
    std::int32_t SMTPPort = 25;
    std::string SMTPID;
    std::string SMTPName;
    std::string SMTPEmail;
    std::string DNSHost;
    std::int32_t DNSTimeOut = 6000;
    bool DNSProcessBounce = true;
    bool UserSending = false;
    std::string UserSendingFolder;
    bool ForwardAll = false;
    ForwardTarget ForwardToWhom = ForwardTarget::kInSubject;
    bool MustBelongToGroup = true;
    bool CheckUser = false;
    bool DefaultNoUserSend = true;
    bool GuessSalutation = true;
    bool MaintainLog = true;
    std::int32_t AutoScanDelayedTime = 60;
    bool AutoScanDelayed = false;
    bool AutoScanStartUp = false;
    std::string defaultcategory = "Default";
    std::string RootFolder = "<Root>";
    bool BackUpOnExit = false;
    std::string BackUpFilename;
    bool newbackupfilename = false;
    bool allowfromaddressasentry = true;
    bool UpdateCommentsWhenEntryExists = true;
    bool ScanAllEmailLines = true;
    bool ProcessAsUnread = false;
    std::string DBPath;
    bool StrictChangeDetection = false;
    bool DBExclusive = true;

    // The option lists, one entry a line in their files.
    std::string memHeader;
    std::string memFooter;
    OptionList lbxexceptions{"__", "hotmial"};
    OptionList lbxRemovalStrings{"REMOVE", "UNJOIN", "UNSCRIBE", "UNSUBSCRIBE", "UNSUSCRIBE"};
    OptionList lbxModifyStrings{"CHANGE", "MODIFY", "UPDATE"};
    OptionList lbxAddStrings{"ADD", "JOIN", "SUBSCRIBE", "SUSCRIBE"};
    OptionList lbxcategories;
    std::string Memsignature;
    OptionList lbxneversubscribe{"someone@example.com"};
    OptionList lbxfailure{"Delivery failure",     "Delivery has failed",
                          "Error delivering",     "Failed mail",
                          "failure delivery",     "failure notice",
                          "Mail delivery failed", "mail failed",
                          "Mail System Error",    "No User",
                          "Nondeliverable mail",  "Non-delivery",
                          "Returned Mail",        "Undeliverable",
                          "Undelivered",          "Unzustellbar"};

    // Option-list files that exist but could not be read: saving leaves them as they are,
    // so what they hold is never replaced by the lists' defaults.
    std::vector<std::string> unreadable_files;

    // The list folder's name in use.
    std::string ListFolder() const {
        return MailingListGroup.empty() ? std::string(kDefaultListFolder) : MailingListGroup;
    }
    // Whether forwards go one per recipient.
    bool rdbsingleemail() const { return SendCount == 1; }
};

// One option-list file and the list it fills.
struct OptionFile {
    std::string_view file_name;
    OptionList Settings::*list;
};

// Loads every option-list file that exists and then the registry values,
// each missing or malformed value taking its default. A file that cannot be read is
// reported (a warning box), keeps its list as it was and is left alone when saving. Returns false
// (after a warning box) when the registry key cannot be opened; the values then stay as they were.
// A settings file that cannot be read is set aside as "<file>.damaged-<yyyymmdd-hhnnss>" (the
// local time of the start), which the box names, so that the settings are saved at exit.
// DBPath, StrictChangeDetection and DBExclusive are the database's and are left alone
// (LoadDatabaseSettings).
bool Loadentries(Settings& settings, std::string_view program_dir);

// Reads DBPath, StrictChangeDetection and DBExclusive, as the database does
// before it opens. Shows nothing: a registry that cannot be read leaves the
// values as they were, and the window's Loadentries reports it once.
bool LoadDatabaseSettings(Settings& settings);

// Writes DBPath alone (as the program's last step does). False, without a box,
// when the registry cannot be written; SaveEntries has reported that already.
bool SaveDatabasePath(const Settings& settings, std::string_view program_dir);

// Saves the ten option-list files and every registry value, each on its own: one
// that fails never keeps the others from being saved. Returns false when the registry
// cannot be written. Without `failures` that is a warning box and the first file
// error is raised at the end; with it, each failure's text is added there instead and
// nothing is shown or raised.
bool SaveEntries(const Settings& settings, std::string_view program_dir,
                 std::vector<std::string>* failures = nullptr);

// One pass of the check for new entries over a folder: for the list's requests, for the
// members' messages, or both when the two folders are one.
struct CheckPass {
    bool for_requests;
    bool for_members;
    bool operator==(const CheckPass&) const = default;
};
// The passes of one check for new entries, in order.
std::vector<CheckPass> CheckPasses(const Settings& settings);

// The timed check's interval in milliseconds: the delay's minutes, kept within their range.
int AutoScanIntervalMs(const Settings& settings);

// The stored form of DBPath: "%" for the program directory.
std::string StoredDBPath(std::string_view db_path, std::string_view program_dir);

}  // namespace app
