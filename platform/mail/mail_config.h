#pragma once

// The mail settings as the program keeps them in the registry.
//
// The SMTP and relay values are the application's own (key
// "SOFTWARE\Brovik\Corvane": "SMTPHost", "SMTPPort", "SMTPID", "SMTPName",
// "SMTPEmail", "DNSHost", "DNSTimeOut"). What only the mail layer needs lives
// in a key of its own, "SOFTWARE\Brovik\Corvane\Mail": "StoreURL" (empty for
// the embedded store), "SMTPTLS" (0 plain with opportunistic STARTTLS,
// 1 STARTTLS required, 2 TLS), "SMTPPassword" (the AUTH password for SMTPID),
// "VerifyCertificates" (default true), and "StorePassword" (the mail store's
// password, kept apart from "StoreURL"). The passwords are there only when no
// keyring runs; otherwise the keyring holds them (accounts "smtp", "store").

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/mail/mail_settings.h"
#include "platform/mail/password_store.h"

namespace mail {

inline constexpr std::string_view kApplicationKey = "SOFTWARE\\Brovik\\Corvane";
inline constexpr std::string_view kMailKey = "SOFTWARE\\Brovik\\Corvane\\Mail";

// Reads the current user's settings; missing values take their defaults.
// Throws EMailError naming the value when one cannot be used (a port outside
// 1-65535, a number that is not one).
MailSettings LoadMailSettings();

// The mail accounts as the settings dialogs edit them: the SMTP server's
// security and password, and the mail store (the embedded "Personal Folders",
// or an IMAP account).
struct MailAccount {
    SmtpSecurity smtp_security = SmtpSecurity::kNone;
    std::string smtp_password;
    bool imap = false;
    std::string imap_host;
    std::uint16_t imap_port = 993;
    bool imap_tls = true;  // imaps; otherwise plain imap
    std::string imap_user;
    std::string imap_password;
    // Why a password could not be read (see MailSettings). A password left
    // unread and empty is kept as stored when the account is saved; the
    // dialogs clear the reason once the user edits the field.
    std::string smtp_password_unread;
    std::string imap_password_unread;
};

// Reads them; a stored address that is no IMAP address reads as the embedded store.
MailAccount LoadMailAccount();
// Writes them, the passwords to the keyring when one runs (where it says); a
// password the keyring gave no answer for stays as stored.
// Throws EMailError for a host or user no address can carry.
PasswordPlace SaveMailAccount(const MailAccount& account);
// What the settings dialogs show when a keyring that ran at start could not
// give the account's passwords (locked or gone); empty otherwise.
std::string UnreadPasswordsText(const MailAccount& account);
// Moves passwords the settings file holds (kept there while no keyring ran)
// into the keyring, each removed from the file only once the keyring gives it
// back; does nothing while the keyring is locked or gone.
void MovePasswordsToKeyring();
// The store address of an IMAP account, its password included.
std::string ImapStoreUrl(const MailAccount& account, bool with_password);

// The embedded store's folder: "Mail/" in the program directory.
std::filesystem::path DefaultMailRoot();

// Whether Simple MAPI is registered: the machine-wide value "MAPI" of
// "SOFTWARE\Microsoft\Windows Messaging Subsystem" is exactly "1" (the
// installer of libmapi32.so writes it).
bool SimpleMapiRegistered();

// The current user's default Simple-MAPI profile ("DefaultProfile" under
// "Software\Microsoft\Windows NT\CurrentVersion\Windows Messaging
// Subsystem\Profiles", else under "Software\Microsoft\Windows Messaging
// Subsystem\Profiles"); nullopt when neither key exists.
std::optional<std::string> DefaultMapiProfile();

}  // namespace mail
