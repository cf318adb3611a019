// libmapi32.so: Simple MAPI for the program's mail components, over the mail
// layer. The program loads it at run time and hands it the mail settings.

#include <cstddef>

#include <QApplication>

#include "platform/mail/address_book_dialog.h"
#include "platform/mail/simple_mapi.h"
#include "platform/mail/simple_mapi_provider.h"

#define MAPI_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

mail::MapiProvider& Provider() {
    static mail::MapiProvider provider;
    // The address book is a window: only in a program that shows windows.
    static const bool with_window = [] {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr)
            provider.SetAddressBookUi(&mail::ShowAddressBook);
        return true;
    }();
    (void)with_window;
    return provider;
}

std::string Text(const char* text) {
    return text ? std::string(text) : std::string();
}

}  // namespace

MAPI_EXPORT void MAPIConfigure(const CorvaneMapiSettings* c) {
    // A caller built before the certificate setting existed leaves it at its default.
    if (!c || c->cbSize < offsetof(CorvaneMapiSettings, verifyCertificates))
        return;
    mail::MailSettings settings;
    settings.smtp_host = Text(c->smtpHost);
    settings.smtp_port = c->smtpPort ? c->smtpPort : 25;
    settings.smtp_security = c->smtpSecurity == 1   ? mail::SmtpSecurity::kStartTls
                             : c->smtpSecurity == 2 ? mail::SmtpSecurity::kTls
                                                    : mail::SmtpSecurity::kNone;
    settings.smtp_user = Text(c->smtpUser);
    settings.smtp_password = Text(c->smtpPassword);
    settings.from_address = Text(c->fromAddress);
    settings.from_name = Text(c->fromName);
    settings.store_url = Text(c->storeUrl);
    if (c->connectTimeoutMs)
        settings.connect_timeout = std::chrono::milliseconds(c->connectTimeoutMs);
    if (c->deliverTimeoutMs)
        settings.deliver_timeout = std::chrono::milliseconds(c->deliverTimeoutMs);
    if (c->composeCommand && *c->composeCommand)
        settings.compose_command = c->composeCommand;
    settings.verify_certificates =
        c->cbSize < sizeof(CorvaneMapiSettings) || c->verifyCertificates != 0;
    Provider().Configure(std::move(settings), Text(c->mailRoot));
}

MAPI_EXPORT ULONG MAPILogon(ULONG_PTR ui, const char* profile, const char* password, FLAGS flags,
                            ULONG reserved, LHANDLE* session) {
    return Provider().Logon(ui, profile, password, flags, reserved, session);
}

MAPI_EXPORT ULONG MAPILogoff(LHANDLE session, ULONG_PTR ui, FLAGS flags, ULONG reserved) {
    return Provider().Logoff(session, ui, flags, reserved);
}

MAPI_EXPORT ULONG MAPISendMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message,
                               FLAGS flags, ULONG reserved) {
    return Provider().SendMail(session, ui, message, flags, reserved);
}

MAPI_EXPORT ULONG MAPIResolveName(LHANDLE session, ULONG_PTR ui, const char* name, FLAGS flags,
                                  ULONG reserved, MapiRecipDesc** recip) {
    return Provider().ResolveName(session, ui, name, flags, reserved, recip);
}

MAPI_EXPORT ULONG MAPIFreeBuffer(void* buffer) {
    return Provider().FreeBuffer(buffer);
}

MAPI_EXPORT ULONG MAPIAddress(LHANDLE session, ULONG_PTR ui, const char* caption, ULONG edit_fields,
                              const char* labels, ULONG recip_count, MapiRecipDesc* recips,
                              FLAGS flags, ULONG reserved, ULONG* new_count,
                              MapiRecipDesc** new_recips) {
    return Provider().Address(session, ui, caption, edit_fields, labels, recip_count, recips, flags,
                              reserved, new_count, new_recips);
}

MAPI_EXPORT ULONG MAPIFindNext(LHANDLE session, ULONG_PTR ui, const char* message_type,
                               const char* seed_id, FLAGS flags, ULONG reserved, char* message_id) {
    return Provider().FindNext(session, ui, message_type, seed_id, flags, reserved, message_id);
}

MAPI_EXPORT ULONG MAPIReadMail(LHANDLE session, ULONG_PTR ui, const char* message_id, FLAGS flags,
                               ULONG reserved, MapiMessage** message) {
    return Provider().ReadMail(session, ui, message_id, flags, reserved, message);
}

MAPI_EXPORT ULONG MAPIDeleteMail(LHANDLE session, ULONG_PTR ui, const char* message_id, FLAGS flags,
                                 ULONG reserved) {
    return Provider().DeleteMail(session, ui, message_id, flags, reserved);
}

MAPI_EXPORT ULONG MAPISaveMail(LHANDLE session, ULONG_PTR ui, const MapiMessage* message,
                               FLAGS flags, ULONG reserved, char* message_id) {
    return Provider().SaveMail(session, ui, message, flags, reserved, message_id);
}
