#include "app/list/delimited_text.h"

#include <algorithm>
#include <optional>

#include "platform/db/code_page_text.h"
#include "platform/nls/nls.h"
#include "platform/nls/text.h"

namespace app {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string TrimBlanks(std::string_view text) {
    std::size_t begin = 0, end = text.size();
    while (begin < end && IsBlank(text[begin]))
        ++begin;
    while (end > begin && IsBlank(text[end - 1]))
        --end;
    return std::string(text.substr(begin, end - begin));
}

// Windows editors save "Unicode text" as UTF-16 behind a byte-order mark; read as
// single bytes, every other byte would be a NUL. An unpaired surrogate becomes U+FFFD.
std::optional<std::string> DecodeUtf16(std::string_view bytes) {
    bool little;
    if (bytes.starts_with("\xFF\xFE"))
        little = true;
    else if (bytes.starts_with("\xFE\xFF"))
        little = false;
    else
        return std::nullopt;
    auto unit = [&](std::size_t i) -> char16_t {
        const auto a = static_cast<unsigned char>(bytes[i]);
        const auto b = static_cast<unsigned char>(bytes[i + 1]);
        return static_cast<char16_t>(little ? a | (b << 8) : (a << 8) | b);
    };
    std::string out;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2) {
        char32_t c = unit(i);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 &&
            unit(i + 2) < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (unit(i + 2) - 0xDC00);
            i += 2;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        platform::nls::AppendUtf8(out, c);
    }
    if (bytes.size() % 2 != 0)
        platform::nls::AppendUtf8(out, 0xFFFD);  // a file cut off halfway through a character
    return out;
}

}  // namespace

std::string DecodeImportText(std::string_view bytes) {
    if (std::optional<std::string> text = DecodeUtf16(bytes))
        return *text;
    // The mark goes whichever way the rest is read: a file that names itself UTF-8 yet holds
    // a Windows-1252 letter would otherwise start its first address with "ï»¿".
    if (bytes.starts_with(kByteOrderMark))
        bytes.remove_prefix(kByteOrderMark.size());
    if (platform::nls::IsValidUtf8(bytes))
        return std::string(bytes);
    return db::CodePageToUtf8(platform::nls::CodePage::Western, bytes);
}

std::string DecodeLogText(std::string_view bytes) {
    if (bytes.starts_with(kByteOrderMark))
        bytes.remove_prefix(kByteOrderMark.size());
    if (platform::nls::IsValidUtf8(bytes))
        return std::string(bytes);
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        const std::size_t length = end == std::string_view::npos ? bytes.size() : end + 1;
        const std::string_view line = bytes.substr(0, length);
        if (platform::nls::IsValidUtf8(line))
            text += line;
        else
            text += db::CodePageToUtf8(platform::nls::CodePage::Western, line);
        bytes.remove_prefix(length);
    }
    return text;
}

// A log written before its lines were kept to one line each may hold control
// characters and line separators taken from mails: each shows as a blank, so every
// line of the file is one line on the screen.
std::string ReadableLogText(std::string_view bytes) {
    const std::string text = DecodeLogText(bytes);
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
        out += platform::nls::OneLineText(std::string_view(text).substr(start, end - start));
        if (end < text.size())
            out += text[end];
        start = end + 1;
    }
    return out;
}

std::string QuoteDelimitedValue(std::string_view value, std::string_view separator) {
    bool quote = value.find_first_of("\"\r\n") != std::string_view::npos ||
                 (!separator.empty() && value.find(separator) != std::string_view::npos);
    if (!quote)
        return std::string(value);
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string ExportLine(const ExportValues& values, const ExportChoice& chosen,
                       std::string_view separator, bool quote) {
    // The whole separator stands between values and none after the last, whatever its
    // length, so the reader splits the line back into the values written.
    std::string line;
    bool first = true;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!chosen[i])
            continue;
        if (!first)
            line += separator;
        first = false;
        line += quote ? QuoteDelimitedValue(values[i], separator) : values[i];
    }
    return line;
}

std::vector<std::vector<std::string>> SplitDelimitedRecords(std::string_view text,
                                                            std::string_view separator,
                                                            std::size_t max_records) {
    if (separator.empty())
        separator = ",";
    std::vector<std::vector<std::string>> records;
    if (max_records == 0)
        return records;
    std::vector<std::string> record;
    std::string value;    // the value so far, blanks outside quotes included
    bool quoted = false;  // the value began with a quote
    bool in_quotes = false;
    bool record_open = false;
    // Where the open quote began, to read on from there when it never closes: a stray
    // quote must not swallow every line after it into one value. No value or record ends
    // between a quote's opening and the moment it proves stray, so the records so far need
    // no copy (a copy per quote made a long line of quoted values take quadratic time).
    struct QuoteStart {
        std::size_t at = 0;
        std::string value;
        bool record_open = false;
    } quote_start;
    std::optional<std::size_t> literal_quote;
    auto end_value = [&] {
        record.push_back(quoted ? value : TrimBlanks(value));
        value.clear();
        quoted = false;
    };
    auto end_record = [&] {
        if (record_open || !value.empty())
            end_value();
        records.push_back(std::move(record));
        record.clear();
        record_open = false;
    };
    auto read_quote_as_literal = [&](std::size_t& i) {
        value = std::move(quote_start.value);
        record_open = quote_start.record_open;
        quoted = false;
        in_quotes = false;
        literal_quote = quote_start.at;
        i = quote_start.at;
    };
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size()) {
            if (!in_quotes)
                break;
            read_quote_as_literal(i);
        } else if (quoted && !in_quotes && !IsBlank(text[i]) && text[i] != '\r' &&
                   text[i] != '\n' && !text.substr(i).starts_with(separator)) {
            // Text after a closing quote: the quotes did not enclose a value but were stray
            // ones, one closing another on a later line; joining those lines into one value
            // would lose every entry on them.
            read_quote_as_literal(i);
        }
        char c = text[i];
        if (in_quotes) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                value += '"';
                ++i;
            } else if (c == '"') {
                in_quotes = false;
            } else {
                value += c;
            }
            continue;
        }
        if (c == '"' && !quoted && TrimBlanks(value).empty() && literal_quote != i) {
            quote_start = {i, value, record_open};
            value.clear();
            quoted = true;
            in_quotes = true;
            record_open = true;
        } else if (text.substr(i).starts_with(separator)) {
            end_value();
            record_open = true;
            i += separator.size() - 1;
        } else if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            end_record();
            if (records.size() >= max_records)
                return records;
        } else if (quoted) {
            // Blanks after a closing quote are not part of the value.
        } else {
            value += c;
            record_open = true;
        }
    }
    if (record_open || !value.empty())
        end_record();
    return records;
}

}  // namespace app
