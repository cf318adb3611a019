#pragma once

// Forwarding of members' messages to the list: the target category is found
// by the chosen rule, the sender's right to send is checked, and the message
// goes to every address of the category, one forward per recipient or in
// blind-copy batches.

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace mail {
class MailItem;
}

namespace app {

class EntryProcessor;
class RecipientCache;

class Forwarder {
  public:
    Forwarder(EntryProcessor& entries, RecipientCache& cache);

    // Whether a message of the members' folder is to be forwarded.
    bool IsUserEmail(std::string_view subject) const;
    // The target category; false when none can be found.
    bool GetRecipientGroup(mail::MailItem& item, std::string_view subject, std::string_view sender,
                           std::string& category);
    // Forwards one message; true when every forward went out.
    bool forwardmailmessage(mail::MailItem& item, std::string_view subject,
                            std::string_view sender);
    // Sends one forward from the cache entry at start; answers the index after
    // its batch (start itself for one per recipient), or -1 on failure.
    std::int64_t Doforwardmailmessage(mail::MailItem& item, std::string_view subject,
                                      std::int64_t start);

    // Forgets the cached recipients, so a run starts from the list as it is.
    void ClearCache();
    // The message has left the members' folder: who it reached need no longer be kept.
    void Released(mail::MailItem& item);
    // False once the user chose to switch forwarding off during this run.
    bool Enabled() const { return enabled_; }
    // Recipients of the last batch.
    std::int64_t LastBatchCount() const { return batch_count_; }

    // Who a message already reached is kept in this file of the program
    // directory until the message leaves the folder, so that a forward that
    // failed part-way, or a run that was killed, goes on where it stopped and
    // reaches nobody twice.
    static constexpr std::string_view kForwardedFile = "forwarded.txt";

  private:
    std::string JournalPath() const;
    std::string JournalKey(mail::MailItem& item);
    void LoadReached(mail::MailItem& item);
    void RecordReached(const std::vector<std::string>& addresses);

    EntryProcessor& entries_;
    RecipientCache& cache_;
    bool enabled_ = true;
    std::int64_t batch_count_ = 0;
    std::string key_;                // the message being forwarded
    std::set<std::string> reached_;  // lower-case addresses it already went to
};

}  // namespace app
