#pragma once

// The check for new entries as the main window runs it: the mail store is opened on first
// use, and each pass reads the list folder (and the members' folder) in the check's own
// window ("Outlook Objects"), with acknowledgements and forwarding.

#include <memory>
#include <string>
#include <vector>

#include "app/forms/main_window.h"
#include "app/mail/mail_context.h"

namespace mail {
class MailStore;
}

namespace app {

class RecipientCache;

class MailCheck {
  public:
    MailCheck(Tfrmmain& window, ListServices services);
    ~MailCheck();
    MailCheck(const MailCheck&) = delete;
    MailCheck& operator=(const MailCheck&) = delete;

    // One pass over the folders chosen.
    void Run(bool for_requests, bool for_members);
    // The program's mail store, opened on first use with the current settings.
    mail::MailStore& Store();

    // The names of the folders of the store's root folder (the one the root-folder
    // setting names, "<Root>" for the first).
    std::vector<std::string> FolderNames();

  private:
    void OpenStore();

    Tfrmmain& window_;
    ListServices services_;
    MailContext context_;
    std::unique_ptr<mail::MailStore> store_;
    std::unique_ptr<RecipientCache> cache_;
};

}  // namespace app
