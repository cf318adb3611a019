#include <algorithm>

#include "engine/storage/expression_parser.h"
#include "engine/storage/storage_utils.h"
#include "platform/nls/nls.h"

namespace strata {
namespace {

bool IsBlank(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 1 && u <= 32;
}

bool IsExponent(char c) {
    return c == 'E' || c == 'e';
}

}  // namespace

TExpressionParser::TExpressionParser(SubSelectOwner* owner) : owner_(owner) {}

TExpressionParser::~TExpressionParser() = default;

void TExpressionParser::SetObjectName(std::string_view name) {
    object_name_ = ShortString(name);
}

void TExpressionParser::SetContext(std::string_view context) {
    context_ = ShortString(context);
}

const db::TFormatSettings& TExpressionParser::Formats() const {
    return format_ ? *format_ : db::FormatSettings();
}

char TExpressionParser::DecimalSeparator() const {
    return Formats().DecimalSeparator;
}

void TExpressionParser::SetText(std::string_view text) {
    // The text ends at its first NUL, as the lexer reads it.
    text_.assign(text.substr(0, std::min(text.size(), text.find('\0'))));
    position_ = 0;
    token_start_ = 0;
    token_end_ = 0;
    mark_ = 0;
    previous_position_ = 0;
    token_class_ = kClassEnd;
}

// The character at position + offset; NUL at and beyond the end (std::string keeps one there).
char TExpressionParser::Peek(std::size_t offset) const {
    const std::size_t at = position_ + offset;
    return at < text_.size() ? text_[at] : '\0';
}

std::uint8_t TExpressionParser::NextToken() {
    previous_position_ = position_;
    while (IsBlank(Peek())) {
        ++position_;
    }
    if (Peek() == '/' && Peek(1) == '*') {
        const std::size_t close = text_.find("*/", position_ + 2);
        if (close == std::string::npos) {
            RaiseError("Missing ending comment slash and asterisk in ");
        }
        position_ = close + 2;
        while (IsBlank(Peek())) {
            ++position_;
        }
    }
    token_start_ = position_;
    token_end_ = position_;
    const char c = Peek();
    const auto u = static_cast<unsigned char>(c);
    if (c == '\0') {
        token_class_ = kClassEnd;
    } else if (IsIdentStartChar(u)) {
        while (IsIdentChar(static_cast<unsigned char>(Peek()))) {
            ++position_;
        }
        token_class_ = kClassSymbol;
    } else if (c == '#') {
        ++position_;
        while (IsDigitChar(static_cast<unsigned char>(Peek()))) {
            ++position_;
        }
        token_class_ = kClassCharacter;
    } else if (c == '\'' || c == '"') {
        ++position_;
        for (;;) {
            const char d = Peek();
            if (d == '\0') {
                RaiseError(std::string(c == '\'' ? "Missing single quote after '"
                                                 : "Missing double quote after '") +
                           ShortString(std::string_view(text_).substr(token_start_ + 1)) + "' in ");
            }
            ++position_;
            if (d == c) {
                if (Peek() != c) {
                    break;
                }
                ++position_;
            }
        }
        token_end_ = position_;
        token_class_ = kClassString;
    } else if (c == '[') {
        const std::size_t close = text_.find(']', position_ + 1);
        if (close == std::string::npos) {
            RaiseError("Missing right bracket after '" +
                       ShortString(std::string_view(text_).substr(token_start_ + 1)) + "' in ");
        }
        position_ = close + 1;
        token_end_ = position_;
        token_class_ = kClassBracketed;
    } else if (IsDigitChar(u)) {
        token_class_ = kClassInteger;
        while (IsDigitChar(static_cast<unsigned char>(Peek()))) {
            ++position_;
        }
        const char separator = DecimalSeparator();
        for (;;) {
            const char d = Peek();
            const bool sign_after_exponent = (d == '+' || d == '-') && position_ > token_start_ &&
                                             IsExponent(text_[position_ - 1]);
            if (IsDigitChar(static_cast<unsigned char>(d)) || IsExponent(d) || d == separator ||
                sign_after_exponent) {
                ++position_;
                token_class_ = kClassFloat;
            } else {
                break;
            }
        }
    } else if (c == DecimalSeparator() && IsDigitChar(static_cast<unsigned char>(Peek(1)))) {
        token_class_ = kClassFloat;
        ++position_;
        for (;;) {
            const char d = Peek();
            const bool sign_after_exponent =
                (d == '+' || d == '-') && IsExponent(text_[position_ - 1]);
            if (IsDigitChar(static_cast<unsigned char>(d)) || IsExponent(d) ||
                sign_after_exponent) {
                ++position_;
            } else {
                break;
            }
        }
    } else {
        ++position_;
        token_class_ = u;
    }
    return token_class_;
}

std::string TExpressionParser::TokenText() const {
    return ShortString(WholeTokenText());
}

std::string TExpressionParser::WholeTokenText() const {
    std::string_view raw;
    if (token_class_ == kClassString || token_class_ == kClassBracketed) {
        const std::size_t begin = token_start_ + 1;
        const std::size_t end = token_end_ > begin ? token_end_ - 1 : begin;
        raw = std::string_view(text_).substr(begin, end - begin);
    } else {
        raw = std::string_view(text_).substr(std::min(token_start_, text_.size()),
                                             position_ - std::min(token_start_, position_));
    }
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        out.push_back(raw[i]);
        if ((raw[i] == '\'' || raw[i] == '"') && i + 1 < raw.size() && raw[i + 1] == raw[i]) {
            ++i;
        }
    }
    return out;
}

bool TExpressionParser::IsKeyword(std::string_view word) const {
    if (token_class_ != kClassSymbol) {
        return false;
    }
    const std::string_view raw =
        std::string_view(text_).substr(token_start_, position_ - token_start_);
    return platform::nls::SameTextAnsi(raw, word);
}

std::string TExpressionParser::TextSinceMark() const {
    if (previous_position_ <= mark_) {
        return {};
    }
    return ShortString(
        StripLineBreaks(std::string_view(text_).substr(mark_, previous_position_ - mark_)));
}

void TExpressionParser::RaiseError(std::string_view text) const {
    std::string message(text);
    message += context_;
    RaiseEngineError(error_code_, object_name_, {}, {}, message);
}

void TExpressionParser::RaiseExpected(std::string_view text) const {
    std::string message(text);
    message += TokenText();
    message += "' in ";
    RaiseError(message);
}

}  // namespace strata
