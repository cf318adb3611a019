#pragma once

// Gathering of e-mail addresses: the extractor that finds every address in
// free text, and the scan of a mail folder's messages or contacts.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mail {
class Folder;
class MailItem;
class MailStore;
}  // namespace mail

namespace app {

class EntryProcessor;

using AddressCheck = std::function<bool(std::string_view address)>;

// Appends every address of one line that passes `valid` and is shorter than
// 60 characters.
void ExtractAddressesFromLine(std::string_view line, std::vector<std::string>& list,
                              const AddressCheck& valid);
// Clears list, then extracts from every line.
void extractemailaddresses(const std::vector<std::string>& lines, std::vector<std::string>& list,
                           const AddressCheck& valid);
// Extracts from every line of a text whose lines end in CR, LF or CR LF.
void ExtractAddressesFromText(std::string_view text, std::vector<std::string>& list,
                              const AddressCheck& valid);
// Adds the pieces of a ";"-separated text (or the text itself), unchecked.
void addemailaddresses(std::string_view text, std::vector<std::string>& list);
// The addresses of files, each read as import files are: sorted, each once whatever its
// letter case. `progress` (file number, file count) comes before each file. A file that
// cannot be read asks whether to go on; No, or `cancelled` turning true, stops the
// gathering and gives nothing.
std::optional<std::vector<std::string>> GatherAddressesFromFiles(
    const std::vector<std::string>& files, const AddressCheck& valid,
    const std::function<void(std::int64_t position, std::int64_t count)>& progress,
    const std::function<bool()>& cancelled);
// "Name <address>" with the name given name first, or the bare address.
std::string NamedAddress(std::string_view name, std::string_view address);
// The warning of a scan that cannot reach the mail store or its root folder, followed by
// the cause; both go to the activity log as well.
void ShowScanRootFolderError(EntryProcessor& entries, std::string_view cause);
// "The folder, <name>, could not be opened" (warning).
void ShowFolderOpenError(std::string_view name);

// The folder name without a trailing contacts marker '*'.
std::string StripContactMarker(std::string_view text);

// One node of the folder tree: the name, '*' appended for a contacts folder.
struct FolderNode {
    std::string text;
    std::vector<FolderNode> children;
};

// What the scan reads of each message.
struct ScanOptions {
    bool chkfrom = true;
    bool CHKRECIPIENTS = false;
    bool chkbody = false;
    bool chkto = false;
    bool chkcc = false;
};

class AddressGatherer {
  public:
    AddressGatherer(EntryProcessor& entries, mail::MailStore& store);

    // The folder tree below the root folder of the settings, sorted by name;
    // the first top-level contacts folder's name goes to contacts_folder.
    // Answers false (after its box) when the root cannot be opened.
    bool LoadFolders(std::vector<FolderNode>& tree, std::string& contacts_folder);

    // Scans the folder at path (top-level name first) into result, sorted
    // ignoring case without duplicates. Answers false when the folder could
    // not be opened or the scan was cancelled; result is then untouched.
    bool ProcessSelectedFolder(const std::vector<std::string>& path, bool contacts,
                               const ScanOptions& options, std::vector<std::string>& result);

    std::function<void(std::int64_t position, std::int64_t maximum, std::string_view caption)>
        OnProgress;
    std::function<bool()> Cancelled;
    // Asked on a failure to read a sender, as the request extraction asks;
    // the answer may switch the settings' sender method. Unset: never asked.
    std::function<bool(std::string_view text, bool& always_show)> OnPromptSenderMethodChange;

  private:
    mail::Folder* Root();
    // The sender of a message by the settings' sender method; a failure to
    // read it asks the sender-method question and gives nothing.
    void AddSender(mail::MailItem& item, std::vector<std::string>& list);
    void AddNamedAddress(std::string_view name, std::string_view address,
                         std::vector<std::string>& list) const;

    EntryProcessor& entries_;
    mail::MailStore& store_;
};

}  // namespace app

namespace app {

// The choices of the scan dialog and the rules between them.
struct GatheringChoice {
    ScanOptions options;
    std::string chosen_node;  // the text of the chosen tree node, empty when none
    bool contacts = false;    // the node is a contacts folder

    // Choosing a node: a text ending in '*' is a contacts folder, whose only
    // option is the contact's address.
    void ChooseNode(std::string_view text);
    // OK needs an option and a node.
    bool OkEnabled() const;
    // "From Address", or "Contact E-mail Address" for contacts.
    std::string_view FromCaption() const;
};

// The reason an address is refused, as the reprocess dialog shows it: "None"
// when it passes.
std::string RefusalReason(EntryProcessor& entries, std::string_view address);

}  // namespace app
