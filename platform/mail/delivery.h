#pragma once

// Sending one message the way the settings say.

#include <functional>

#include "platform/mail/mail_settings.h"
#include "platform/mail/outgoing_message.h"

namespace mail {

class MailStore;

// Through settings.smtp_host with the settings' deadlines, or, when no SMTP
// host is set, into the "Outbox" folder of `outbox_store` (created when
// missing). Throws EMailError when the message cannot go out, and its
// EMailMayHaveArrived when the server took all of it but the connection broke
// before the server answered.
void DeliverMessage(const MailSettings& settings, const OutgoingMessage& message,
                    MailStore* outbox_store, const std::function<void()>& idle = {});

}  // namespace mail
