#include "app/forms/mail_check.h"

#include "app/forms/extract_entries_form.h"
#include "app/forms/list_change_dialogs.h"
#include "app/list/entry_processing.h"
#include "app/list/recipient_cache.h"
#include "app/list/settings.h"
#include "app/mail/acknowledgement.h"
#include "app/mail/forwarding.h"
#include "app/mail/request_extraction.h"
#include "platform/mail/mail_config.h"
#include "platform/mail/mail_store.h"
#include "platform/ui/prompt.h"

namespace app {

MailCheck::MailCheck(Tfrmmain& window, ListServices services)
    : window_(window), services_(services), cache_(std::make_unique<RecipientCache>()) {}

MailCheck::~MailCheck() = default;

void MailCheck::OpenStore() {
    context_.mail_settings = MailSettingsFrom(services_.settings, mail::LoadMailSettings());
    // Settings changed in the options since the store was opened: open it again, so that
    // forwards go to the server and from the sender the options now name.
    if (store_ && !SameDelivery(store_->Settings(), context_.mail_settings)) {
        context_.store = nullptr;
        store_.reset();
    }
    if (!store_)
        store_ = mail::MailStore::Open(context_.mail_settings, window_.ProgramDir() + "Mail",
                                       services_.settings.ListFolder());
    context_.store = store_.get();
}

mail::MailStore& MailCheck::Store() {
    OpenStore();
    return *store_;
}

std::vector<std::string> MailCheck::FolderNames() {
    OpenStore();
    mail::Folder& root = services_.settings.RootFolder == mail::kRootFolderDefault
                             ? store_->Root(1)
                             : store_->Root(services_.settings.RootFolder);
    std::vector<std::string> names;
    for (std::size_t i = 1; i <= root.FolderCount(); ++i)
        names.push_back(root.SubFolder(i).Name());
    return names;
}

void MailCheck::Run(bool for_requests, bool for_members) {
    // A store that cannot be reached (a server down, a refused login) is the root folder
    // the check cannot open.
    try {
        OpenStore();
    } catch (const std::exception& e) {
        ShowRootFolderError(services_.entries, e.what());
        return;
    }
    EntryProcessor& entries = services_.entries;
    Acknowledger acknowledger(entries, context_);
    Forwarder forwarder(entries, *cache_);
    entries.OnSendAcknowledgement = [&](std::string_view address, std::string_view sentence) {
        acknowledger.SendAcknowledgement(address, sentence);
    };
    ExtractEntries run(entries, *store_, &forwarder);
    run.chkScanListChanges = for_requests;
    run.chkScanUserEmails = for_members;
    run.OnPromptSenderMethodChange = [this](std::string_view text, bool& always_show) {
        return PromptSenderMethodChange(&window_, text, always_show);
    };
    struct Reset {
        EntryProcessor& entries;
        ~Reset() { entries.OnSendAcknowledgement = nullptr; }
    } reset{entries};
    // The check's own window ("Outlook Objects") shows its gauge and cancel button, runs
    // the pass shortly after it is shown and closes itself.
    TfrmExtractentries form(&window_, run, services_.database);
    form.ShowModal();
}

}  // namespace app
