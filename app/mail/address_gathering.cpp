#include "app/mail/address_gathering.h"

#include <algorithm>
#include <exception>

#include "app/list/entry_processing.h"
#include "app/list/import_file.h"
#include "app/list/name_routines.h"
#include "app/list/settings.h"
#include "app/list/word_split.h"
#include "app/mail/request_extraction.h"
#include "app/routines/text_routines.h"
#include "platform/db/string_list.h"
#include "platform/mail/mail_store.h"
#include "platform/nls/text.h"
#include "platform/ui/prompt.h"

namespace app {
namespace {

constexpr std::size_t kMaxCandidateLength = 60;

bool IsDelimiter(unsigned char c) {
    switch (c) {
        case 1:
        case ' ':
        case '!':
        case '"':
        case '#':
        case '%':
        case '&':
        case '\'':
        case '(':
        case ')':
        case '*':
        case ',':
        case '/':
        case ':':
        case ';':
        case '<':
        case '=':
        case '>':
        case '?':
        case '[':
        case ']':
        case '\\':
        case '^':
        case '`':
        case '{':
        case '}':
        case '|':
        case 0xB4:
            return true;
        default:
            return false;
    }
}

// Whether the byte at i ends an address. The acute accent (code 180) is a delimiter
// alone and as the two bytes UTF-8 gives it, where the address ends before the first;
// the byte 0xB4 that follows any other lead or continuation byte belongs to another
// letter (the "ô" of "Jérôme" is C3 B4) and cuts nothing.
bool IsDelimiterAt(std::string_view text, std::size_t i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == 0xB4 && i > 0) {
        const auto before = static_cast<unsigned char>(text[i - 1]);
        return before < 0x80 || before == 0xC2;
    }
    if (c == 0xC2)
        return i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xB4;
    return IsDelimiter(c);
}

// A result list sorted ignoring case, without duplicates.
class ResultList {
  public:
    ResultList() {
        list_.SetSorted(true);
        list_.SetDuplicates(db::dupIgnore);
        list_.SetCaseSensitive(false);
    }
    void Add(std::string_view entry) { list_.Add(entry); }
    std::vector<std::string> Lines() const { return list_.ToVector(); }

  private:
    db::TStringList list_;
};

}  // namespace

void ExtractAddressesFromLine(std::string_view line, std::vector<std::string>& list,
                              const AddressCheck& valid) {
    // The rest of the line is kept as an offset, not a copy: a huge line with many
    // addresses is walked once.
    std::size_t pos = 0;
    while (pos < line.size()) {
        const std::size_t a = line.find('@', pos);
        if (a == std::string_view::npos || a == pos)
            return;
        std::size_t start = pos;
        for (std::size_t i = a; i-- > pos;) {
            if (line[i] == '\t' || IsDelimiterAt(line, i)) {
                start = i + 1;
                break;
            }
        }
        std::size_t end = line.size();
        for (std::size_t i = a + 1; i < line.size(); ++i) {
            if (line[i] == '_' || IsDelimiterAt(line, i)) {
                end = i;
                break;
            }
        }
        std::string candidate(line.substr(start, end - start));
        pos = end;
        if (candidate.starts_with("___"))
            candidate.erase(0, candidate.find_first_not_of('_'));
        if (!candidate.empty() && candidate.size() < kMaxCandidateLength &&
            (!valid || valid(candidate)))
            list.push_back(candidate);
    }
}

void extractemailaddresses(const std::vector<std::string>& lines, std::vector<std::string>& list,
                           const AddressCheck& valid) {
    list.clear();
    for (const std::string& line : lines)
        ExtractAddressesFromLine(line, list, valid);
}

void ExtractAddressesFromText(std::string_view text, std::vector<std::string>& list,
                              const AddressCheck& valid) {
    for (const std::string& line : ImportLines(text))
        ExtractAddressesFromLine(line, list, valid);
}

void addemailaddresses(std::string_view text, std::vector<std::string>& list) {
    if (text.empty())
        return;
    if (text.find(';') == std::string_view::npos) {
        list.emplace_back(text);
        return;
    }
    for (const std::string& piece : OLCStrToStringlist(text, ";", false, false, false))
        list.push_back(Trim(piece));
}

std::optional<std::vector<std::string>> GatherAddressesFromFiles(
    const std::vector<std::string>& files, const AddressCheck& valid,
    const std::function<void(std::int64_t position, std::int64_t count)>& progress,
    const std::function<bool()>& cancelled) {
    std::vector<std::string> found;
    const auto count = static_cast<std::int64_t>(files.size());
    for (std::int64_t i = 0; i < count; ++i) {
        if (progress)
            progress(i, count);
        if (cancelled && cancelled())
            return std::nullopt;
        const std::string& file = files[static_cast<std::size_t>(i)];
        try {
            // Read as import files are, so a file saved as UTF-16 or with bare CR line
            // ends gives up its addresses too.
            ExtractAddressesFromText(ReadImportFile(file), found, valid);
        } catch (const std::exception&) {
            if (ui::MessageDlg("An error was encountered processing the file, " + file +
                                   ".  Do you want to continue processing?",
                               ui::mtConfirmation, ui::mbYesNo) != ui::mrYes)
                return std::nullopt;
        }
    }
    std::sort(found.begin(), found.end(), [](const std::string& a, const std::string& b) {
        return UpperCase(a) < UpperCase(b);
    });
    found.erase(
        std::unique(found.begin(), found.end(),
                    [](const std::string& a, const std::string& b) { return SameText(a, b); }),
        found.end());
    return found;
}

std::string NamedAddress(std::string_view name, std::string_view address) {
    if (address.empty())
        return {};
    if (name.empty() || name.find('@') != std::string_view::npos)
        return std::string(address);
    return RemoveCommaFromName(name) + " <" + std::string(address) + ">";
}

std::string StripContactMarker(std::string_view text) {
    if (!text.empty() && text.back() == '*')
        text.remove_suffix(1);
    return std::string(text);
}

AddressGatherer::AddressGatherer(EntryProcessor& entries, mail::MailStore& store)
    : entries_(entries), store_(store) {}

void AddressGatherer::AddNamedAddress(std::string_view name, std::string_view address,
                                      std::vector<std::string>& list) const {
    const std::string entry = NamedAddress(name, address);
    if (!entry.empty())
        list.push_back(entry);
}

void ShowScanRootFolderError(EntryProcessor& entries, std::string_view cause) {
    ShowMailStoreFailure(
        entries,
        "Error accessing your Outlook Root Folder.  You may need to amend your settings under "
        "'File|Options, Advanced..'",
        cause);
}

void ShowFolderOpenError(std::string_view name) {
    ui::MessageDlg("The folder, " + std::string(name) + ", could not be opened", ui::mtWarning,
                   {ui::mbOK});
}

mail::Folder* AddressGatherer::Root() {
    const Settings& s = entries_.settings();
    try {
        return s.RootFolder == "<Root>" ? &store_.Root(1) : &store_.Root(s.RootFolder);
    } catch (const std::exception& e) {
        ShowScanRootFolderError(entries_, e.what());
        return nullptr;
    }
}

namespace {

// A folder whose sub-folders cannot be listed stays in the tree without them; the first
// such folder is named in failed, so one damaged folder neither ends the load nor goes
// unreported.
FolderNode LoadSubFolders(mail::Folder& folder, std::string& failed) {
    FolderNode node;
    node.text = folder.Name();
    try {
        if (folder.DefaultItemType() == 2)
            node.text += "*";
        for (std::size_t i = 1; i <= folder.FolderCount(); ++i)
            node.children.push_back(LoadSubFolders(folder.SubFolder(i), failed));
    } catch (const std::exception&) {
        if (failed.empty())
            failed = folder.Name();
    }
    return node;
}

void SortTree(std::vector<FolderNode>& nodes) {
    std::sort(nodes.begin(), nodes.end(), [](const FolderNode& a, const FolderNode& b) {
        return UpperCase(a.text) < UpperCase(b.text);
    });
    for (FolderNode& node : nodes)
        SortTree(node.children);
}

}  // namespace

bool AddressGatherer::LoadFolders(std::vector<FolderNode>& tree, std::string& contacts_folder) {
    tree.clear();
    mail::Folder* root = Root();
    if (root == nullptr)
        return false;
    std::string failed;
    std::size_t count = 0;
    try {
        count = root->FolderCount();
    } catch (const std::exception& e) {
        ShowScanRootFolderError(entries_, e.what());
        return false;
    }
    for (std::size_t i = 1; i <= count; ++i) {
        if (OnProgress)
            OnProgress(static_cast<std::int64_t>(i), static_cast<std::int64_t>(count),
                       "Retrieving Outlook Folders");
        mail::Folder& folder = root->SubFolder(i);
        try {
            if (contacts_folder.empty() && folder.DefaultItemType() == 2)
                contacts_folder = folder.Name();
        } catch (const std::exception&) {
            // Its kind unknown, it is no contacts folder; the listing below names it.
        }
        tree.push_back(LoadSubFolders(folder, failed));
    }
    SortTree(tree);
    if (!failed.empty())
        ShowFolderOpenError(failed);
    return true;
}

void AddressGatherer::AddSender(mail::MailItem& item, std::vector<std::string>& list) {
    Settings& settings = entries_.settings();
    const RetrievedSender sender =
        RetrieveSender(item, store_, settings.GetSenderMethod,
                       [&](std::string_view method_name, std::string_view suggested_name,
                           int new_method, bool unstable) {
                           AskSenderMethodChange(settings, OnPromptSenderMethodChange, method_name,
                                                 suggested_name, new_method, unstable);
                       });
    // A reply recipient counts only with a local part before its "@".
    if (sender.from_reply_list) {
        const std::size_t at = sender.address.find('@');
        if (at == std::string::npos || at == 0)
            return;
    }
    AddNamedAddress(sender.name, sender.address, list);
}

bool AddressGatherer::ProcessSelectedFolder(const std::vector<std::string>& path, bool contacts,
                                            const ScanOptions& options,
                                            std::vector<std::string>& result) {
    if (path.empty())
        return false;
    mail::Folder* folder = Root();
    if (folder == nullptr)
        return false;
    for (const std::string& name : path) {
        try {
            folder = &folder->SubFolder(StripContactMarker(name));
        } catch (const std::exception&) {
            ShowFolderOpenError(name);
            return false;
        }
    }
    folder->Refresh();
    std::size_t item_count = 0;
    try {
        item_count = contacts ? folder->ContactCount() : folder->ItemCount();
    } catch (const std::exception&) {
        // Found by name but its messages cannot be listed: opening it failed all the same.
        ShowFolderOpenError(folder->Name());
        return false;
    }
    ResultList found;
    const AddressCheck valid = [this](std::string_view address) {
        int code = 0;
        return entries_.validemailaddress(address, true, code);
    };
    std::vector<std::string> entries;
    const auto n = static_cast<std::int64_t>(item_count);
    for (std::int64_t i = n; i >= 1; --i) {
        if (OnProgress)
            OnProgress(n - i, n, "Scanning Entries from " + folder->Name());
        if (Cancelled && Cancelled())
            return false;
        entries.clear();
        try {
            if (contacts) {
                const mail::ContactItem contact = folder->Contact(static_cast<std::size_t>(i));
                if (contact.email1.find(';') != std::string::npos)
                    addemailaddresses(contact.email1, entries);
                else
                    AddNamedAddress(contact.full_name, contact.email1, entries);
            } else {
                mail::MailItem& item = folder->Item(static_cast<std::size_t>(i));
                if (item.Removed())
                    continue;
                if (options.chkfrom)
                    AddSender(item, entries);
                if (options.CHKRECIPIENTS) {
                    const std::vector<mail::Mailbox> recipients = item.Recipients();
                    for (auto it = recipients.rbegin(); it != recipients.rend(); ++it) {
                        if (it->address.find('@') != std::string::npos)
                            AddNamedAddress(it->name, it->address, entries);
                    }
                }
                if (options.chkcc) {
                    const std::string cc = item.CcText();
                    if (cc.find('@') != std::string::npos)
                        addemailaddresses(cc, entries);
                }
                if (options.chkbody)
                    ExtractAddressesFromText(item.PlainBody(), entries, valid);
                if (options.chkto) {
                    const std::string to = item.ToText();
                    if (to.find('@') != std::string::npos)
                        addemailaddresses(to, entries);
                }
            }
        } catch (const std::exception&) {
            // One unreadable item is skipped; what it gave so far still counts.
        }
        // Each entry is one line of the manual-entry memo, whatever a name held.
        for (const std::string& entry : entries)
            found.Add(platform::nls::OneLineText(entry));
    }
    result = found.Lines();
    return true;
}

}  // namespace app

namespace app {

void GatheringChoice::ChooseNode(std::string_view text) {
    chosen_node = std::string(text);
    contacts = !text.empty() && text.back() == '*';
    if (contacts) {
        options.chkfrom = true;
        options.CHKRECIPIENTS = false;
        options.chkbody = false;
    }
}

bool GatheringChoice::OkEnabled() const {
    const bool any = options.chkfrom || options.CHKRECIPIENTS || options.chkbody || options.chkto ||
                     options.chkcc;
    return any && !chosen_node.empty();
}

std::string_view GatheringChoice::FromCaption() const {
    return contacts ? "Contact E-mail Address" : "From Address";
}

std::string RefusalReason(EntryProcessor& entries, std::string_view address) {
    int code = 0;
    if (entries.validemailaddress(address, true, code))
        return "None";
    return EntryProcessor::GetEmailErrorCode(code);
}

}  // namespace app
