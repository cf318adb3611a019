#pragma once

// A received message, read from its MIME form.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mail/outgoing_message.h"

namespace mail {

struct ReceivedMessage {
    std::string subject;  // decoded, UTF-8
    // The decoded text/plain part in UTF-8; for an HTML-only message its text
    // without tags; a delivery report adds its status and returned headers.
    std::string plain_body;
    // The body a forward carries: plain_body, except that the text of an
    // HTML-only message keeps its links' addresses (see HtmlToText).
    std::string forward_body;
    // The Date header; empty when missing or unparsable.
    std::optional<std::chrono::system_clock::time_point> sent_on;
    Mailbox from;
    std::vector<Mailbox> reply_to;
    std::vector<Mailbox> to, cc;
    std::vector<Attachment> attachments;  // with data
    // An automatic reply (out of office, vacation, "thank you for your mail"): its header
    // says so (Auto-Submitted: auto-replied, X-Autoreply, X-Autorespond, Precedence
    // auto_reply), and it is no delivery report (it holds no delivery status or
    // returned headers, and comes from no mailer daemon or postmaster).
    bool automatic_reply = false;
    // A read receipt or another disposition notification (a multipart/report of
    // report-type disposition-notification, or a message/disposition-notification
    // part): it tells what a reader did with a message, never a delivery failure.
    bool disposition_notification = false;
    // Bytes of the subject, or of the text body, did not decode in their declared
    // charset (nor, undeclared, as UTF-8); the text holds a guess at them.
    bool subject_undecodable = false;
    bool body_undecodable = false;
};

// Never throws for damaged input: what cannot be read stays empty.
ReceivedMessage ParseMessage(std::string_view raw);

// "Name <address>" or the bare address, the way a header shows a mailbox.
std::string FormatMailbox(const Mailbox& box);

}  // namespace mail
