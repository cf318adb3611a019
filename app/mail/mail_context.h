#pragma once

// What the mail rules need from the mail layer: the store the list folders
// live in, the mail layer's settings derived from the application's, and the
// Simple-MAPI module when it is installed.

#include <functional>
#include <memory>

#include "platform/mail/mail_settings.h"
#include "platform/mail/mail_store.h"

namespace db {
class TComponent;
}

namespace app {

struct Settings;

// The mail layer's settings from the application's SMTP settings, on top of
// base (which holds what the application does not keep: store address,
// password, time-outs).
mail::MailSettings MailSettingsFrom(const Settings& settings, mail::MailSettings base = {});

// Whether a store opened with `opened` still reaches the mailbox and sends the way `now`
// says: drafts and forwards take their server and sender from their store, so a store
// opened before the settings changed has to be opened again.
bool SameDelivery(const mail::MailSettings& opened, const mail::MailSettings& now);

// The sending methods by their stored numbers (EmailMethod).
inline constexpr int kMethodMapiControl = 0;  // Simple MAPI, one call per message
inline constexpr int kMethodEmail = 1;        // Simple MAPI in a session
inline constexpr int kMethodOutlook = 2;      // the mail store's draft
inline constexpr int kMethodSmtp = 3;         // the SMTP client
inline constexpr int kMethodRelay = 4;        // the relay module

struct MailContext {
    mail::MailStore* store = nullptr;
    mail::MailSettings mail_settings;
};

}  // namespace app
