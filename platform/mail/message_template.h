#pragma once

// A mail-out's message composed once. Each member's message is the template
// with its To, text, date and Message-Id filled in: the bytes a whole
// composition of that message gives, at a fraction of the work, since sender,
// copies, subject and attachments are the same for every member.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mail/outgoing_message.h"

namespace mail {

class MessageTemplate {
  public:
    // The prototype's sender, copies, subject, HTML flag, attachments and read
    // receipt stay fixed; its To and body are only a first example. Throws
    // EMailError as ComposeMimeText does.
    explicit MessageTemplate(OutgoingMessage prototype);
    ~MessageTemplate();
    MessageTemplate(const MessageTemplate&) = delete;
    MessageTemplate& operator=(const MessageTemplate&) = delete;

    // The message for these To recipients and this text. Throws EMailError for
    // a bad address, as ComposeMimeText does.
    MimeText Compose(const std::vector<Mailbox>& to, std::string_view body) const;

    // False when the message is composed whole each time (an HTML message,
    // whose text part is made from each member's page).
    bool Prepared() const { return !segments_.empty(); }

  private:
    struct Segment;
    void Prepare();
    MimeText ComposeWhole(const std::vector<Mailbox>& to, std::string_view body) const;

    OutgoingMessage prototype_;
    std::vector<Segment> segments_;
    std::string boundary_;  // of a multipart message
    std::string id_domain_;
};

}  // namespace mail
