#pragma once

// The short mail that tells the sender of a request what became of it: the
// acknowledgement header, the result sentence and the footer, sent by the
// chosen sending method. It never fails the request that caused it.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "app/mail/mail_context.h"
#include "platform/db/component.h"

namespace support {
class TEmail;
}

namespace app {

class EntryProcessor;
struct Settings;

class Acknowledger {
  public:
    Acknowledger(EntryProcessor& entries, MailContext& context);

    // Sends the acknowledgement when the option is on and the address passes
    // the syntax check.
    void SendAcknowledgement(std::string_view address, std::string_view sentence);

    // The body: header, empty line, sentence, empty line, footer.
    std::string ComposeBody(std::string_view sentence) const;

    void SMTPSendAcknowledgement(std::string_view address, std::string_view sentence);
    void OLESendAcknowledgement(std::string_view address, std::string_view sentence);
    void MapiSendAcknowledgement(std::string_view address, std::string_view sentence);

    // Makes the Simple-MAPI component of the third route (tests hand in one
    // over a recording provider).
    std::function<db::ComponentPtr<support::TEmail>()> MakeEmail;

  private:
    void LogResult(bool ok, std::string_view address);

    EntryProcessor& entries_;
    MailContext& context_;
};

}  // namespace app
