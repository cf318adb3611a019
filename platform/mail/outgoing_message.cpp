#include "platform/mail/outgoing_message.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

#include "platform/mail/mail_error.h"
#include "platform/mail/vmime_support.h"

namespace mail {

namespace {

std::string Lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

vmime::mailbox ToVmime(const Mailbox& box) {
    if (box.name.empty())
        return vmime::mailbox(vmime::emailAddress(box.address));
    return vmime::mailbox(vmime::text(box.name, vmime::charsets::UTF_8),
                          vmime::emailAddress(box.address));
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw EMailError("The attachment \"" + path + "\" cannot be read");
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw EMailError("The attachment \"" + path + "\" cannot be read");
    return data;
}

void CheckMailbox(const Mailbox& box) {
    CheckEnvelopeAddress(box.address);
    CheckHeaderValue("display name", box.name);
}

// Text parts go out with CRLF line ends whatever the caller used.
std::string NormalizeLineEnds(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

void CheckEnvelopeAddress(std::string_view address) {
    if (address.empty())
        throw EMailError("An e-mail address is empty");
    for (unsigned char c : address) {
        if (c < 0x21 || c == 0x7F || c == '<' || c == '>') {
            throw EMailError("The e-mail address \"" + std::string(address) +
                             "\" holds a character that is not allowed");
        }
    }
    const auto at = address.rfind('@');
    if (at == std::string_view::npos || at == 0 || at + 1 == address.size()) {
        throw EMailError("\"" + std::string(address) + "\" is not an e-mail address");
    }
}

void CheckHeaderValue(std::string_view what, std::string_view value) {
    if (value.find_first_of("\r\n") != std::string_view::npos) {
        throw EMailError("The " + std::string(what) + " holds a line break");
    }
}

std::vector<std::string> EnvelopeRecipients(const OutgoingMessage& message) {
    std::vector<std::string> all;
    for (const auto* list : {&message.to, &message.cc, &message.bcc}) {
        for (const auto& box : *list)
            all.push_back(box.address);
    }
    return all;
}

std::string FileNamePart(std::string_view path) {
    const auto cut = path.find_last_of("/\\:");
    return std::string(cut == std::string_view::npos ? path : path.substr(cut + 1));
}

std::string GuessMediaType(std::string_view file_name) {
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 16> kTypes{{
        {"txt", "text/plain"},
        {"csv", "text/csv"},
        {"htm", "text/html"},
        {"html", "text/html"},
        {"pdf", "application/pdf"},
        {"zip", "application/zip"},
        {"doc", "application/msword"},
        {"xls", "application/vnd.ms-excel"},
        {"rtf", "application/rtf"},
        {"png", "image/png"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"gif", "image/gif"},
        {"eml", "message/rfc822"},
        {"vcf", "text/vcard"},
        {"xml", "application/xml"},
    }};
    const auto dot = file_name.rfind('.');
    if (dot != std::string_view::npos) {
        const auto ext = Lower(file_name.substr(dot + 1));
        for (const auto& [known, type] : kTypes) {
            if (ext == known)
                return std::string(type);
        }
    }
    return "application/octet-stream";
}

std::string HtmlToText(std::string_view html) {
    std::string out;
    std::size_t i = 0;
    auto starts_with_ci = [&](std::size_t at, std::string_view word) {
        if (html.size() - at < word.size())
            return false;
        return Lower(html.substr(at, word.size())) == word;
    };
    while (i < html.size()) {
        const char c = html[i];
        if (c == '<') {
            const auto close = html.find('>', i);
            if (close == std::string_view::npos)
                break;
            const std::string tag = Lower(html.substr(i + 1, close - i - 1));
            std::string name;
            for (char t : tag) {
                if (std::isalnum(static_cast<unsigned char>(t)) || (t == '/' && name.empty())) {
                    name += t;
                } else if (!name.empty()) {
                    break;
                }
            }
            i = close + 1;
            if (name == "script" || name == "style") {
                const std::string end = "</" + name;
                while (i < html.size() && !starts_with_ci(i, end))
                    ++i;
                const auto after = html.find('>', i);
                i = after == std::string_view::npos ? html.size() : after + 1;
            } else if (name == "br" || name == "/p" || name == "/div" || name == "/tr" ||
                       name == "/li" || name == "/h1" || name == "/h2" || name == "/h3" ||
                       name == "/title" || name == "/table") {
                out += '\n';
            } else if (name == "li") {
                out += "- ";
            } else if (name == "td" || name == "th") {
                out += '\t';
            }
            continue;
        }
        if (c == '&') {
            const auto semi = html.find(';', i);
            if (semi != std::string_view::npos && semi - i <= 8) {
                const std::string entity = Lower(html.substr(i + 1, semi - i - 1));
                std::string replacement;
                if (entity == "amp")
                    replacement = "&";
                else if (entity == "lt")
                    replacement = "<";
                else if (entity == "gt")
                    replacement = ">";
                else if (entity == "quot")
                    replacement = "\"";
                else if (entity == "apos")
                    replacement = "'";
                else if (entity == "nbsp")
                    replacement = " ";
                else if (!entity.empty() && entity[0] == '#') {
                    unsigned long code = 0;
                    try {
                        code = entity.size() > 1 && entity[1] == 'x'
                                   ? std::stoul(entity.substr(2), nullptr, 16)
                                   : std::stoul(entity.substr(1));
                    } catch (const std::exception&) {
                        code = 0;
                    }
                    if (code > 0 && code < 0x110000 && (code < 0xD800 || code > 0xDFFF)) {
                        if (code < 0x80) {
                            replacement += static_cast<char>(code);
                        } else if (code < 0x800) {
                            replacement += static_cast<char>(0xC0 | (code >> 6));
                            replacement += static_cast<char>(0x80 | (code & 0x3F));
                        } else if (code < 0x10000) {
                            replacement += static_cast<char>(0xE0 | (code >> 12));
                            replacement += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                            replacement += static_cast<char>(0x80 | (code & 0x3F));
                        } else {
                            replacement += static_cast<char>(0xF0 | (code >> 18));
                            replacement += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
                            replacement += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
                            replacement += static_cast<char>(0x80 | (code & 0x3F));
                        }
                    }
                }
                if (!replacement.empty()) {
                    out += replacement;
                    i = semi + 1;
                    continue;
                }
            }
        }
        // Source line breaks and runs of blanks are layout, not text.
        if (c == '\r' || c == '\n' || c == '\t' || c == ' ') {
            if (!out.empty() && out.back() != ' ' && out.back() != '\n')
                out += ' ';
        } else {
            out += c;
        }
        ++i;
    }
    // Trim blanks at line ends and blank lines at both ends.
    std::string cleaned;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        std::size_t lead = 0;
        while (lead < line.size() && line[lead] == ' ')
            ++lead;
        cleaned += line.substr(lead) + "\n";
    }
    while (!cleaned.empty() && cleaned.front() == '\n')
        cleaned.erase(0, 1);
    while (cleaned.size() > 1 && cleaned.back() == '\n' && cleaned[cleaned.size() - 2] == '\n') {
        cleaned.pop_back();
    }
    return cleaned;
}

std::string ComposeMime(const OutgoingMessage& message, bool keep_bcc) {
    detail::EnsureVmime();
    CheckMailbox(message.from);
    for (const auto* list : {&message.to, &message.cc, &message.bcc}) {
        for (const auto& box : *list)
            CheckMailbox(box);
    }
    CheckHeaderValue("subject", message.subject);
    for (const auto& attachment : message.attachments) {
        CheckHeaderValue("attachment name", attachment.display_name);
    }

    try {
        vmime::messageBuilder builder;
        builder.setExpeditor(ToVmime(message.from));
        for (const auto& box : message.to) {
            builder.getRecipients().appendAddress(vmime::make_shared<vmime::mailbox>(ToVmime(box)));
        }
        for (const auto& box : message.cc) {
            builder.getCopyRecipients().appendAddress(
                vmime::make_shared<vmime::mailbox>(ToVmime(box)));
        }
        for (const auto& box : message.bcc) {
            builder.getBlindCopyRecipients().appendAddress(
                vmime::make_shared<vmime::mailbox>(ToVmime(box)));
        }
        builder.setSubject(vmime::text(message.subject, vmime::charsets::UTF_8));

        const std::string body = NormalizeLineEnds(message.body);
        if (message.html) {
            builder.constructTextPart(
                vmime::mediaType(vmime::mediaTypes::TEXT, vmime::mediaTypes::TEXT_HTML));
            auto part = vmime::dynamicCast<vmime::htmlTextPart>(builder.getTextPart());
            part->setCharset(vmime::charsets::UTF_8);
            part->setText(vmime::make_shared<vmime::stringContentHandler>(body));
            part->setPlainText(vmime::make_shared<vmime::stringContentHandler>(
                NormalizeLineEnds(HtmlToText(body))));
        } else {
            builder.getTextPart()->setCharset(vmime::charsets::UTF_8);
            builder.getTextPart()->setText(vmime::make_shared<vmime::stringContentHandler>(body));
        }

        for (const auto& attachment : message.attachments) {
            std::string data = attachment.data ? *attachment.data : ReadWholeFile(attachment.path);
            std::string name = attachment.display_name.empty() ? FileNamePart(attachment.path)
                                                               : attachment.display_name;
            const std::string type =
                attachment.media_type.empty() ? GuessMediaType(name) : attachment.media_type;
            auto handler = vmime::make_shared<vmime::stringContentHandler>(data);
            builder.appendAttachment(vmime::make_shared<vmime::defaultAttachment>(
                handler, vmime::encoding("base64"), vmime::mediaType(type), vmime::text(),
                vmime::word(name, vmime::charsets::UTF_8)));
        }

        auto built = builder.construct();
        auto header = built->getHeader();
        if (!keep_bcc && header->hasField(vmime::fields::BCC)) {
            header->removeAllFields(vmime::fields::BCC);
        }
        if (message.to.empty() && message.cc.empty()) {
            // Blind copies only: say so rather than leave the message without a To.
            vmime::addressList undisclosed;
            undisclosed.appendAddress(
                vmime::make_shared<vmime::mailboxGroup>(vmime::text("undisclosed-recipients")));
            header->To()->setValue(undisclosed);
        }
        header->Date()->setValue(vmime::datetime::now());
        header->MessageId()->setValue(vmime::messageId::generateId());
        if (message.read_receipt) {
            vmime::mailboxList receipt_to;
            receipt_to.appendMailbox(vmime::make_shared<vmime::mailbox>(ToVmime(message.from)));
            header->DispositionNotificationTo()->setValue(receipt_to);
        }
        std::string out;
        vmime::utility::outputStreamStringAdapter stream(out);
        built->generate(stream);
        return out;
    } catch (const vmime::exception& e) {
        throw EMailError(std::string("The message cannot be composed: ") + e.what());
    }
}

}  // namespace mail
