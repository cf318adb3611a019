#include "app/list/settings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <ctime>
#include <exception>
#include <filesystem>
#include <limits>

#include "app/list/delimited_text.h"
#include "app/routines/text_routines.h"
#include "platform/config/registry.h"
#include "platform/config/registry_store.h"
#include "platform/db/string_list.h"
#include "platform/db/whole_file.h"
#include "platform/nls/text.h"
#include "platform/os/file_system.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

constexpr std::array<OptionFile, 7> kListFiles{{
    {"except.txt", &Settings::lbxexceptions},
    {"remstr.txt", &Settings::lbxRemovalStrings},
    {"Modifystr.txt", &Settings::lbxModifyStrings},
    {"addstr.txt", &Settings::lbxAddStrings},
    {"cats.txt", &Settings::lbxcategories},
    {"never.txt", &Settings::lbxneversubscribe},
    {"failed.txt", &Settings::lbxfailure},
}};

struct TextFile {
    std::string_view file_name;
    std::string Settings::*text;
};
constexpr std::array<TextFile, 3> kTextFiles{{
    {"AckHeader.txt", &Settings::memHeader},
    {"AckFooter.txt", &Settings::memFooter},
    {"signature.txt", &Settings::Memsignature},
}};

bool FileExists(const std::string& path) {
    return platform::os::FileExists(platform::os::ResolvePath(path));
}

// A memo's text without the line break the file ends with.
std::string MemoText(const db::TStringList& list) {
    std::string text;
    for (std::int64_t i = 0; i < list.Count(); ++i) {
        if (i > 0)
            text += "\n";
        text += list[i];
    }
    return text;
}

class RegistryReader {
  public:
    explicit RegistryReader(platform::config::TRegistry& registry) : registry_(registry) {}
    // A value stored as another type (an integer written by another program) is malformed:
    // it takes its default like a missing one, and the other values still load.
    std::string Text(std::string_view name) {
        if (registry_.ValueExists(name) &&
            registry_.GetDataType(name) != platform::config::TRegDataType::rdString)
            return {};
        return registry_.ReadString(name);
    }
    bool Bool(std::string_view name, bool default_value) {
        return SettingStringToBool(Text(name), default_value);
    }
    std::int32_t Integer(std::string_view name, std::int32_t default_value) {
        const std::string text = Text(name);
        std::int32_t value = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (ec != std::errc() || end != text.data() + text.size() || text.empty())
            return default_value;
        return value;
    }
    // A value the options dialog edits with a spin control: one outside the control's range
    // reads as the nearest value the control allows, as the control itself would show it.
    std::int32_t Integer(std::string_view name, std::int32_t default_value, std::int32_t lowest,
                         std::int32_t highest) {
        return std::clamp(Integer(name, default_value), lowest, highest);
    }
    // A choice among numbered items: a number no item has is malformed and takes the
    // default.
    std::int32_t Choice(std::string_view name, std::int32_t default_value, std::int32_t lowest,
                        std::int32_t highest) {
        const std::int32_t value = Integer(name, default_value);
        return value < lowest || value > highest ? default_value : value;
    }

  private:
    platform::config::TRegistry& registry_;
};

std::string ForwardTargetText(ForwardTarget target) {
    switch (target) {
        case ForwardTarget::kSenderGroup:
            return "Sender";
        case ForwardTarget::kAll:
            return "All";
        case ForwardTarget::kInEmail:
            return "Email";
        case ForwardTarget::kInSubject:
            break;
    }
    return "Subject";
}

ForwardTarget ForwardTargetFromText(std::string text) {
    text = platform::nls::AsciiUpper(text);
    if (text == "SENDER")
        return ForwardTarget::kSenderGroup;
    if (text == "ALL")
        return ForwardTarget::kAll;
    if (text == "EMAIL")
        return ForwardTarget::kInEmail;
    return ForwardTarget::kInSubject;
}

void ReadValues(Settings& s, RegistryReader& r) {
    s.MailingListGroup = r.Text("MailingListGroup");
    if (const std::string subject = r.Text("AcknowledgementSubject"); !subject.empty())
        s.AcknowledgementSubject = subject;
    s.AlternativeCategory = r.Text("AlternativeCategory");
    s.FailedMail = r.Bool("FailedMail", false);
    s.LimitDBCache = r.Bool("LimitDBCache", false);
    s.DBCacheSize = r.Integer("DBCacheSize", 2000, kCacheSizeRange.first, kCacheSizeRange.second);
    if (!s.LimitDBCache)
        s.ShowGroupPanel = r.Bool("ShowGroupPanel", true);
    s.AllowEditing = r.Bool("AllowEditing", false);
    s.AddSignaturePrior = r.Bool("AddSignaturePrior", true);
    s.SigOnForward = r.Bool("SigOnForward", false);
    s.chkhtmlchecked = r.Bool("chkhtmlchecked", false);
    const std::int32_t bounce_max = r.Integer("BounceMax", 10);
    s.chkbouncemax = bounce_max >= 1;
    s.spnbouncemax = bounce_max >= 1 ? std::min(bounce_max, kBounceMaxRange.second) : 10;
    s.DefaultToAddress = r.Text("DefaultToAddress");
    s.RemoveOutofOffice = r.Bool("RemoveOutofOffice", false);
    s.Acknowledge = r.Bool("Acknowledge", false);
    s.SendLog = r.Bool("SendLog", false);
    s.AddUnsubscribers = r.Bool("AddUnsubscribers", false);
    s.SendCount = r.Integer("SendCount ", 500, kSendCountRange.first, kSendCountRange.second);
    s.MultipleCategorySupport = r.Bool("MultipleCategorySupport", true);
    s.Except = r.Bool("Except", true);
    s.RestrictCategories = r.Bool("RestrictCategories", false) && !s.lbxcategories.empty();
    s.GetSenderMethod = r.Choice("GetSenderMethod", 1, 0, 4);
    s.ChokeDownload = r.Choice("ChokeDownload", 0, 0, std::numeric_limits<std::int32_t>::max());
    s.EmailMethod = r.Choice("EmailMethod", -1, -1, 4);
    s.AlwaysShowSenderError = r.Bool("AlwaysShowSenderError", true);
    s.AlwaysResolveAddresses = r.Bool("AlwaysResolveAddresses", true);
    s.WrongCategoryIsError = r.Bool("WrongCategoryIsError", false);
    s.SendAcknowledgement = r.Bool("SendAcknowledgement", false);
    s.spnStaggerDelay = std::min(r.Integer("StaggerDelay", 0), kStaggerDelayRange.second);
    s.chkStaggerSending = s.spnStaggerDelay > 0;
    s.SMTPHost = r.Text("SMTPHost");
    s.SMTPPort = r.Integer("SMTPPort", 25);
    s.SMTPID = r.Text("SMTPID");
    s.SMTPName = r.Text("SMTPName");
    s.SMTPEmail = r.Text("SMTPEmail");
    s.DNSHost = r.Text("DNSHost");
    s.DNSTimeOut = r.Integer("DNSTimeOut", 6000);
    s.DNSProcessBounce = r.Bool("DNSProcessBounce", true);
    s.UserSending = r.Bool("UserSending", false);
    s.UserSendingFolder = r.Text("UserSendingFolder");
    s.ForwardAll = r.Bool("ForwardAll", false);
    s.ForwardToWhom = ForwardTargetFromText(r.Text("ForwardToWhom"));
    s.MustBelongToGroup = r.Bool("MustBelongToGroup", true);
    s.CheckUser = r.Bool("CheckUser", false);
    s.DefaultNoUserSend = r.Bool("DefaultNoUserSend", true);
    s.GuessSalutation = r.Bool("GuessSalutation", true);
    s.MaintainLog = r.Bool("MaintainLog", true);
    s.AutoScanDelayedTime =
        r.Integer("AutoScanDelayedTime", 60, kAutoScanDelayRange.first, kAutoScanDelayRange.second);
    s.AutoScanDelayed = r.Bool("AutoScanDelayed", false);
    s.AutoScanStartUp = r.Bool("AutoScanStartUp", false);
    const std::string category = r.Text("defaultcategory");
    s.defaultcategory = category.empty() ? "Default" : category;
    if (s.AlternativeCategory.empty())
        s.AlternativeCategory = s.defaultcategory;
    const std::string root = r.Text("RootFolder");
    s.RootFolder = root.empty() ? "<Root>" : root;
    s.BackUpOnExit = r.Bool("BackUpOnExit", false);
    s.BackUpFilename = r.Text("BackUpFilename");
    s.newbackupfilename = r.Bool("newbackupfilename", false);
    s.allowfromaddressasentry = r.Bool("allowfromaddressasentry", true);
    s.UpdateCommentsWhenEntryExists = r.Bool("UpdateCommentsWhenEntryExists", true);
    s.ScanAllEmailLines = r.Bool("ScanAllEmailLines", true);
    s.ProcessAsUnread = r.Bool("ProcessAsUnread", false);
}

// The database's own values: read when the database opens, never by Loadentries, so that
// a folder chosen since (at the start prompt or the open command) is not taken back.
void ReadDatabaseValues(Settings& s, RegistryReader& r) {
    s.DBPath = r.Text("DBPath");
    s.StrictChangeDetection = r.Bool("StrictChangeDetection", false);
    s.DBExclusive = r.Bool("DBExclusive", true);
}

void WriteValues(const Settings& s, platform::config::TRegistry& w, std::string_view program_dir) {
    auto text = [&](std::string_view name, std::string_view value) { w.WriteString(name, value); };
    auto flag = [&](std::string_view name, bool value) {
        w.WriteString(name, BoolToSettingString(value));
    };
    auto number = [&](std::string_view name, std::int64_t value) {
        w.WriteString(name, std::to_string(value));
    };
    text("MailingListGroup", s.MailingListGroup);
    text("AcknowledgementSubject", s.AcknowledgementSubject);
    text("AlternativeCategory", s.AlternativeCategory);
    flag("FailedMail", s.FailedMail);
    flag("LimitDBCache", s.LimitDBCache);
    number("DBCacheSize", s.DBCacheSize);
    flag("ShowGroupPanel", s.ShowGroupPanel);
    flag("AllowEditing", s.AllowEditing);
    flag("AddSignaturePrior", s.AddSignaturePrior);
    flag("SigOnForward", s.SigOnForward);
    flag("chkhtmlchecked", s.chkhtmlchecked);
    number("BounceMax", s.chkbouncemax ? s.spnbouncemax : 0);
    text("DefaultToAddress", s.DefaultToAddress);
    flag("RemoveOutofOffice", s.RemoveOutofOffice);
    flag("Acknowledge", s.Acknowledge);
    flag("SendLog", s.SendLog);
    flag("AddUnsubscribers", s.AddUnsubscribers);
    number("SendCount ", s.SendCount);
    flag("MultipleCategorySupport", s.MultipleCategorySupport);
    flag("Except", s.Except);
    flag("RestrictCategories", s.RestrictCategories);
    number("GetSenderMethod", s.GetSenderMethod);
    number("ChokeDownload", s.ChokeDownload);
    number("EmailMethod", s.EmailMethod);
    flag("AlwaysShowSenderError", s.AlwaysShowSenderError);
    flag("AlwaysResolveAddresses", s.AlwaysResolveAddresses);
    flag("WrongCategoryIsError", s.WrongCategoryIsError);
    flag("SendAcknowledgement", s.SendAcknowledgement);
    number("StaggerDelay", s.chkStaggerSending ? s.spnStaggerDelay : 0);
    text("SMTPHost", s.SMTPHost);
    number("SMTPPort", s.SMTPPort);
    text("SMTPID", s.SMTPID);
    text("SMTPName", s.SMTPName);
    text("SMTPEmail", s.SMTPEmail);
    text("DNSHost", s.DNSHost);
    number("DNSTimeOut", s.DNSTimeOut);
    flag("DNSProcessBounce", s.DNSProcessBounce);
    flag("UserSending", s.UserSending);
    text("UserSendingFolder", s.UserSendingFolder);
    flag("ForwardAll", s.ForwardAll);
    text("ForwardToWhom", ForwardTargetText(s.ForwardToWhom));
    flag("MustBelongToGroup", s.MustBelongToGroup);
    flag("CheckUser", s.CheckUser);
    flag("DefaultNoUserSend", s.DefaultNoUserSend);
    flag("GuessSalutation", s.GuessSalutation);
    flag("MaintainLog", s.MaintainLog);
    number("AutoScanDelayedTime", s.AutoScanDelayedTime);
    flag("AutoScanDelayed", s.AutoScanDelayed);
    flag("AutoScanStartUp", s.AutoScanStartUp);
    text("defaultcategory", s.defaultcategory);
    text("RootFolder", s.RootFolder);
    flag("BackUpOnExit", s.BackUpOnExit);
    text("BackUpFilename", s.BackUpFilename);
    flag("newbackupfilename", s.newbackupfilename);
    flag("allowfromaddressasentry", s.allowfromaddressasentry);
    flag("UpdateCommentsWhenEntryExists", s.UpdateCommentsWhenEntryExists);
    flag("ScanAllEmailLines", s.ScanAllEmailLines);
    flag("ProcessAsUnread", s.ProcessAsUnread);
    text("DBPath", StoredDBPath(s.DBPath, program_dir));
    flag("StrictChangeDetection", s.StrictChangeDetection);
    flag("DBExclusive", s.DBExclusive);
}

}  // namespace

std::vector<CheckPass> CheckPasses(const Settings& settings) {
    if (settings.UserSending && settings.ListFolder() == settings.UserSendingFolder)
        return {{true, true}};
    if (settings.UserSending)
        return {{true, false}, {false, true}};
    return {{true, false}};
}

int AutoScanIntervalMs(const Settings& settings) {
    constexpr int kMsPerMinute = 60'000;
    return std::clamp(settings.AutoScanDelayedTime, kAutoScanDelayRange.first,
                      kAutoScanDelayRange.second) *
           kMsPerMinute;
}

std::string StoredDBPath(std::string_view db_path, std::string_view program_dir) {
    auto strip = [](std::string_view p) {
        while (p.size() > 1 && (p.back() == '/' || p.back() == '\\'))
            p.remove_suffix(1);
        return p;
    };
    if (!db_path.empty() && strip(db_path) == strip(program_dir))
        return "%";
    return std::string(db_path);
}

namespace {

// Reads the settings key into a copy, so a key that fails halfway leaves every value as it
// was. Throws when the key cannot be opened or read.
void ReadSettingsKey(Settings& settings, void (*read)(Settings&, RegistryReader&)) {
    platform::config::TRegistry registry;
    if (!registry.OpenKey(kSettingsKey, true))
        throw std::runtime_error(registry.LastError());
    Settings loaded = settings;
    RegistryReader reader(registry);
    read(loaded, reader);
    registry.CloseKey();
    settings = std::move(loaded);
}

// Moves a settings file that cannot be read out of the way, named after the time of the
// start, so that this session's settings are saved at exit instead of being lost each
// time. Answers the sentence that says where the file went, or why it stayed.
std::string SetAsideDamagedRegistry() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char suffix[32];
    std::strftime(suffix, sizeof suffix, ".damaged-%Y%m%d-%H%M%S", &local);
    try {
        const std::filesystem::path aside =
            platform::config::RegistryHive::ForRoot(platform::config::HKEY_CURRENT_USER)
                ->SetAside(suffix);
        if (aside.empty())
            return {};
        return "\r\n\r\nIt has been set aside as " + aside.string() +
               ", and the defaults are used.";
    } catch (const std::exception& e) {
        return "\r\n\r\n" + std::string(e.what()) + ".";
    }
}

}  // namespace

bool Loadentries(Settings& settings, std::string_view program_dir) {
    const std::string dir(program_dir);
    // Lists written by hand or kept from a Windows copy of the program may be in
    // Windows-1252; read as UTF-8 their accented letters would be lost on the next save.
    auto& unreadable = settings.unreadable_files;
    auto load = [&](std::string_view file_name, auto&& apply) {
        const std::string path = dir + std::string(file_name);
        if (!FileExists(path))
            return;
        auto known = std::find(unreadable.begin(), unreadable.end(), file_name);
        try {
            db::TStringList list;
            list.SetText(DecodeImportText(db::ReadWholeFile(path)));
            apply(list);
            if (known != unreadable.end())
                unreadable.erase(known);
        } catch (const std::exception& e) {
            if (known == unreadable.end())
                unreadable.emplace_back(file_name);
            ui::MessageDlg(std::string(e.what()) +
                               "\r\n\r\nThe settings of this file keep their values, and the "
                               "file is left as it is.",
                           ui::mtWarning, {ui::mbOK});
        }
    };
    for (const TextFile& file : kTextFiles)
        load(file.file_name,
             [&](const db::TStringList& list) { settings.*file.text = MemoText(list); });
    for (const OptionFile& file : kListFiles)
        load(file.file_name,
             [&](const db::TStringList& list) { settings.*file.list = list.ToVector(); });
    try {
        ReadSettingsKey(settings, ReadValues);
        return true;
    } catch (const std::exception&) {
        ui::MessageDlg("Error encountered opening your registry file" + SetAsideDamagedRegistry(),
                       ui::mtWarning, {ui::mbOK});
        return false;
    }
}

bool LoadDatabaseSettings(Settings& settings) {
    try {
        ReadSettingsKey(settings, ReadDatabaseValues);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool SaveDatabasePath(const Settings& settings, std::string_view program_dir) {
    try {
        platform::config::TRegistry registry;
        if (!registry.OpenKey(kSettingsKey, true))
            return false;
        registry.WriteString("DBPath", StoredDBPath(settings.DBPath, program_dir));
        registry.CloseKey();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool SaveEntries(const Settings& settings, std::string_view program_dir,
                 std::vector<std::string>* failures) {
    const std::string dir(program_dir);
    std::exception_ptr file_error;
    auto save = [&](std::string_view file_name, const db::TStringList& list) {
        if (std::find(settings.unreadable_files.begin(), settings.unreadable_files.end(),
                      file_name) != settings.unreadable_files.end())
            return;
        try {
            list.SaveToFile(dir + std::string(file_name));
        } catch (const std::exception& e) {
            if (failures != nullptr)
                failures->emplace_back(e.what());
            else if (!file_error)
                file_error = std::current_exception();
        }
    };
    for (const TextFile& file : kTextFiles) {
        db::TStringList list;
        list.SetText(settings.*file.text);
        save(file.file_name, list);
    }
    for (const OptionFile& file : kListFiles) {
        db::TStringList list;
        for (const std::string& line : settings.*file.list)
            list.Add(line);
        save(file.file_name, list);
    }
    bool saved = true;
    try {
        platform::config::TRegistry registry;
        if (!registry.OpenKey(kSettingsKey, true))
            throw std::runtime_error(registry.LastError());
        WriteValues(settings, registry, program_dir);
        registry.CloseKey();
    } catch (const std::exception& e) {
        const std::string text = "Registry Update Failed, using defaults: " + std::string(e.what());
        if (failures != nullptr)
            failures->push_back(text);
        else
            ui::MessageDlg(text, ui::mtWarning, {ui::mbOK});
        saved = false;
    }
    if (file_error)
        std::rethrow_exception(file_error);
    return saved;
}

}  // namespace app
