#pragma once

// At start: a mail-out that a killed program left unfinished is offered to be
// sent to the members it had not reached, or dropped.

#include "app/forms/main_window.h"
#include "app/mail/mail_context.h"

namespace app {

void OfferUnfinishedMailOut(Tfrmmain& main, ListServices services, MailContext& context);

}  // namespace app
