#pragma once

// The mail settings as the program keeps them in the registry.
//
// The SMTP and relay values are the application's own (key
// "SOFTWARE\Brovik\Corvane": "SMTPHost", "SMTPPort", "SMTPID", "SMTPName",
// "SMTPEmail", "DNSHost", "DNSTimeOut"). What only the mail layer needs lives
// in a key of its own, "SOFTWARE\Brovik\Corvane\Mail": "StoreURL" (empty for
// the embedded store), "SMTPTLS" (0 plain with opportunistic STARTTLS,
// 1 STARTTLS required, 2 TLS), "SMTPPassword" (the AUTH password for SMTPID),
// "VerifyCertificates" (default true).

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/mail/mail_settings.h"

namespace mail {

inline constexpr std::string_view kApplicationKey = "SOFTWARE\\Brovik\\Corvane";
inline constexpr std::string_view kMailKey = "SOFTWARE\\Brovik\\Corvane\\Mail";

// Reads the current user's settings; missing values take their defaults.
// Throws EMailError naming the value when one cannot be used (a port outside
// 1-65535, a number that is not one).
MailSettings LoadMailSettings();

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
