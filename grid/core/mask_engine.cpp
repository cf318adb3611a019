#include "grid/core/mask_engine.h"

#include <algorithm>
#include <cwctype>

#include "platform/db/conversions.h"
#include "platform/db/format_settings.h"

namespace grid {
namespace {

bool IsDigit(char32_t c) {
    return c >= U'0' && c <= U'9';
}

bool IsLetter(char32_t c) {
    if ((c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z'))
        return true;
    if (c < 0x80)
        return false;
    return std::iswalpha(static_cast<wint_t>(c)) != 0;
}

char32_t ToUpper(char32_t c) {
    if (c >= U'a' && c <= U'z')
        return c - 32;
    return c < 0x80 ? c : static_cast<char32_t>(std::towupper(static_cast<wint_t>(c)));
}

char32_t ToLower(char32_t c) {
    if (c >= U'A' && c <= U'Z')
        return c + 32;
    return c < 0x80 ? c : static_cast<char32_t>(std::towlower(static_cast<wint_t>(c)));
}

}  // namespace

TEditMask::TEditMask(std::u32string_view mask, char32_t date_separator, char32_t time_separator)
    : mask_(mask), date_separator_(date_separator), time_separator_(time_separator) {
    const int len = static_cast<int>(mask_.size());
    auto escaped = [&](int i) {
        int backslashes = 0;
        for (int k = i - 1; k >= 0 && mask_[static_cast<std::size_t>(k)] == U'\\'; --k)
            ++backslashes;
        return backslashes % 2 == 1;
    };
    for (int i = std::max(0, len - 4); i < len; ++i)
        if (mask_[static_cast<std::size_t>(i)] == kMaskFieldSeparator && !escaped(i)) {
            field_start_ = i;
            break;
        }
    if (field_start_ >= 0) {
        std::u32string_view fields(mask_);
        fields.remove_prefix(static_cast<std::size_t>(field_start_) + 1);
        if (!fields.empty())
            save_ = fields.front() != kMaskNoSave;
        std::size_t second = fields.find(kMaskFieldSeparator);
        if (second != std::u32string_view::npos && second + 1 < fields.size())
            blank_ = fields[second + 1];
    }
    const int end = field_start_ >= 0 ? field_start_ : len;
    int case_mode = 0;
    for (int i = 0; i < end; ++i) {
        char32_t c = mask_[static_cast<std::size_t>(i)];
        switch (CharType(i)) {
            case TMaskCharType::mcDirective:
                if (c == U'!') {
                    right_to_left_ = true;
                } else if (c == U'<') {
                    if (i + 1 < end && mask_[static_cast<std::size_t>(i) + 1] == U'>' &&
                        CharType(i + 1) == TMaskCharType::mcDirective) {
                        case_mode = 0;
                        ++i;
                    } else {
                        case_mode = 2;
                    }
                } else if (c == U'>') {
                    case_mode = 1;
                }
                break;
            case TMaskCharType::mcLiteral:
                cells_.push_back({Kind::Literal, c, 0});
                break;
            case TMaskCharType::mcIntlLiteral:
                cells_.push_back({Kind::Literal, c == U'/' ? date_separator_ : time_separator_, 0});
                break;
            case TMaskCharType::mcMask:
                cells_.push_back({Kind::Required, c, case_mode});
                break;
            case TMaskCharType::mcMaskOpt:
                cells_.push_back({Kind::Optional, c, case_mode});
                break;
            default:
                break;
        }
    }
}

TMaskCharType TEditMask::CharType(int offset) const {
    const int len = static_cast<int>(mask_.size());
    if (offset < 0 || offset >= len)
        return TMaskCharType::mcNone;
    int backslashes = 0;
    for (int k = offset - 1; k >= 0 && mask_[static_cast<std::size_t>(k)] == U'\\'; --k)
        ++backslashes;
    if (backslashes % 2 == 1)
        return TMaskCharType::mcLiteral;
    char32_t c = mask_[static_cast<std::size_t>(offset)];
    if (field_start_ >= 0 && offset >= field_start_)
        return c == kMaskFieldSeparator ? TMaskCharType::mcFieldSeparator : TMaskCharType::mcField;
    switch (c) {
        case U'/':
        case U':':
            return TMaskCharType::mcIntlLiteral;
        case U'!':
        case U'<':
        case U'>':
        case U'\\':
            return TMaskCharType::mcDirective;
        case U'#':
        case U'9':
        case U'a':
        case U'c':
        case U'l':
            return TMaskCharType::mcMaskOpt;
        case U'0':
        case U'A':
        case U'C':
        case U'L':
            return TMaskCharType::mcMask;
        default:
            return TMaskCharType::mcLiteral;
    }
}

bool TEditMask::IsEditPos(int pos) const {
    return pos >= 0 && pos < MaxChars() &&
           cells_[static_cast<std::size_t>(pos)].kind != Kind::Literal;
}

bool TEditMask::IsRequired(int pos) const {
    return pos >= 0 && pos < MaxChars() &&
           cells_[static_cast<std::size_t>(pos)].kind == Kind::Required;
}

char32_t TEditMask::LiteralAt(int pos) const {
    if (pos < 0 || pos >= MaxChars() || IsEditPos(pos))
        return 0;
    return cells_[static_cast<std::size_t>(pos)].ch;
}

int TEditMask::NextEditPos(int pos) const {
    pos = std::max(0, pos);
    while (pos < MaxChars() && !IsEditPos(pos))
        ++pos;
    return pos;
}

int TEditMask::PrevEditPos(int pos) const {
    pos = std::min(pos, MaxChars()) - 1;
    while (pos >= 0 && !IsEditPos(pos))
        --pos;
    return pos;
}

bool TEditMask::Fits(const Cell& cell, char32_t ch, char32_t& stored) const {
    stored = ch;
    bool ok = false;
    switch (cell.ch) {
        case U'0':
        case U'9':
            ok = IsDigit(ch);
            break;
        case U'#':
            ok = IsDigit(ch) || ch == U' ' || ch == U'+' || ch == U'-';
            break;
        case U'C':
        case U'c':
            ok = ch >= 32;
            break;
        case U'L':
        case U'l':
            ok = IsLetter(ch);
            break;
        case U'A':
        case U'a':
            ok = IsLetter(ch) || IsDigit(ch);
            break;
        default:
            ok = false;
            break;
    }
    if (ok && cell.case_mode == 1)
        stored = ToUpper(ch);
    else if (ok && cell.case_mode == 2)
        stored = ToLower(ch);
    return ok;
}

bool TEditMask::Accepts(int pos, char32_t ch, char32_t& stored) const {
    if (!IsEditPos(pos))
        return false;
    return Fits(cells_[static_cast<std::size_t>(pos)], ch, stored);
}

std::u32string TEditMask::BlankText() const {
    std::u32string out;
    out.reserve(cells_.size());
    for (const Cell& c : cells_)
        out += c.kind == Kind::Literal ? c.ch : blank_;
    return out;
}

std::u32string TEditMask::Format(std::u32string_view value, TMaskFill* filled) const {
    const std::size_t n = cells_.size();
    std::u32string out;
    out.reserve(n);
    TMaskFill fill;
    fill.reserve(n);
    if (save_) {
        std::size_t vi = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const Cell& cell = cells_[i];
            if (cell.kind == Kind::Literal) {
                if (vi < value.size() && value[vi] == cell.ch)
                    ++vi;
                out += cell.ch;
                fill.push_back(false);
                continue;
            }
            std::size_t j = i;
            while (j < n && cells_[j].kind != Kind::Literal)
                ++j;
            std::size_t stop = value.size();
            if (j < n) {
                std::size_t at = value.find(cells_[j].ch, vi);
                if (at != std::u32string_view::npos)
                    stop = at;
            }
            std::u32string_view segment =
                value.substr(std::min(vi, value.size()), stop - std::min(vi, stop));
            vi = stop;
            const std::size_t run = j - i;
            if (segment.size() >= run) {
                out +=
                    right_to_left_ ? segment.substr(segment.size() - run) : segment.substr(0, run);
                fill.insert(fill.end(), run, true);
            } else {
                const std::size_t pad = run - segment.size();
                if (!right_to_left_) {
                    out += segment;
                    fill.insert(fill.end(), segment.size(), true);
                }
                out.append(pad, blank_);
                fill.insert(fill.end(), pad, false);
                if (right_to_left_) {
                    out += segment;
                    fill.insert(fill.end(), segment.size(), true);
                }
            }
            i = j - 1;
        }
    } else {
        std::size_t edits = 0;
        for (const Cell& c : cells_)
            if (c.kind != Kind::Literal)
                ++edits;
        std::u32string_view chars = value;
        std::size_t lead = 0;  // blank input positions before the value's characters
        if (right_to_left_) {
            if (chars.size() > edits)
                chars = chars.substr(chars.size() - edits);
            lead = edits - chars.size();
        } else {
            chars = chars.substr(0, std::min(chars.size(), edits));
        }
        std::size_t k = 0;
        for (const Cell& c : cells_) {
            if (c.kind == Kind::Literal) {
                out += c.ch;
                fill.push_back(false);
                continue;
            }
            const bool held = k >= lead && k - lead < chars.size();
            out += held ? chars[k - lead] : blank_;
            fill.push_back(held);
            ++k;
        }
    }
    if (filled != nullptr)
        *filled = std::move(fill);
    return out;
}

TMaskFill TEditMask::FillOf(std::u32string_view display) const {
    TMaskFill fill(cells_.size(), false);
    for (std::size_t i = 0; i < std::min(cells_.size(), display.size()); ++i)
        fill[i] = cells_[i].kind != Kind::Literal && display[i] != blank_;
    return fill;
}

std::u32string TEditMask::Extract(std::u32string_view display, const TMaskFill& filled) const {
    const std::size_t n = std::min(cells_.size(), display.size());
    auto input = [&](std::size_t i) { return cells_[i].kind != Kind::Literal; };
    // What an input position stands for: its character when filled, else a space.
    auto at = [&](std::size_t i) { return IsFilled(filled, i) ? display[i] : U' '; };
    if (!save_) {
        std::size_t first = n, last = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (input(i) && IsFilled(filled, i)) {
                first = std::min(first, i);
                last = i;
            }
        }
        if (first == n)
            return {};
        std::u32string raw;
        const std::size_t from = right_to_left_ ? first : 0;
        const std::size_t to = right_to_left_ ? n : last + 1;
        for (std::size_t i = from; i < to; ++i)
            if (input(i))
                raw += at(i);
        return raw;
    }
    // Literals stay as they are, whatever character they are.
    std::u32string out;
    std::size_t first_edit = n, last_edit = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const bool edit = input(i);
        const char32_t c = edit ? at(i) : display[i];
        if (edit && c != U' ') {
            first_edit = std::min(first_edit, i);
            last_edit = i;
        }
        out += c;
    }
    if (first_edit == n)
        return {};
    // The blanks after the last filled position go (before the first in a right-to-left
    // mask), with any literals among them.
    if (right_to_left_) {
        std::size_t start = 0;
        while (start < first_edit && cells_[start].kind != Kind::Literal)
            ++start;
        return out.substr(std::min(start, first_edit));
    }
    std::size_t end = last_edit + 1;
    while (end < n && cells_[end].kind == Kind::Literal)
        ++end;
    return out.substr(0, end);
}

int TEditMask::Validate(std::u32string_view display, const TMaskFill& filled, bool raw) const {
    for (std::size_t i = 0; i < cells_.size(); ++i) {
        const Cell& cell = cells_[i];
        if (cell.kind != Kind::Required)
            continue;
        if (i >= display.size())
            return static_cast<int>(i);
        const char32_t c = display[i];
        const bool held = IsFilled(filled, i) || (raw && c == blank_);
        if (!held || (c == U' ' && cell.ch != U'C'))
            return static_cast<int>(i);
    }
    return -1;
}

bool TEditMask::AllBlank(const TMaskFill& filled) const {
    for (std::size_t i = 0; i < cells_.size(); ++i)
        if (cells_[i].kind != Kind::Literal && IsFilled(filled, i))
            return false;
    return true;
}

std::u32string TEditMask::Clear(std::u32string_view display, int from, int to,
                                TMaskFill* filled) const {
    std::u32string out(display);
    if (out.size() < cells_.size())
        out.resize(cells_.size(), blank_);
    if (filled != nullptr && filled->size() < cells_.size())
        filled->resize(cells_.size(), false);
    for (int i = std::max(0, from); i < std::min(to, MaxChars()); ++i) {
        if (!IsEditPos(i))
            continue;
        out[static_cast<std::size_t>(i)] = blank_;
        if (filled != nullptr)
            (*filled)[static_cast<std::size_t>(i)] = false;
    }
    return out;
}

int TEditMask::Type(std::u32string& display, int pos, std::u32string_view text,
                    TMaskFill* filled) const {
    if (display.size() < cells_.size())
        display.resize(cells_.size(), blank_);
    if (filled != nullptr && filled->size() < cells_.size())
        filled->resize(cells_.size(), false);
    for (char32_t ch : text) {
        if (pos >= MaxChars())
            break;
        // The next literal typed as it is moves past it.
        int literal = pos;
        while (literal < MaxChars() && IsEditPos(literal))
            ++literal;
        if (literal < MaxChars() && ch == LiteralAt(literal)) {
            pos = literal + 1;
            continue;
        }
        pos = NextEditPos(pos);
        if (pos >= MaxChars())
            break;
        char32_t stored = ch;
        if (Fits(cells_[static_cast<std::size_t>(pos)], ch, stored)) {
            display[static_cast<std::size_t>(pos)] = stored;
            if (filled != nullptr)
                (*filled)[static_cast<std::size_t>(pos)] = true;
            ++pos;
        }
    }
    return pos;
}

std::optional<double> StrToDateVariant(std::string_view text) {
    std::string s(text);
    std::replace(s.begin(), s.end(), '.', ' ');
    auto trim = [](std::string& t) {
        std::size_t a = t.find_first_not_of(' ');
        std::size_t b = t.find_last_not_of(' ');
        t = a == std::string::npos ? std::string() : t.substr(a, b - a + 1);
    };
    trim(s);
    if (s.empty())
        return std::nullopt;
    const db::TFormatSettings& format = db::FormatSettings();
    db::TDateTime value;
    if (db::TryStrToDateTime(s, value, format))
        return value.Value;
    // Parts separated by blanks read as the parts of a date.
    std::string joined;
    bool gap = false;
    for (char c : s) {
        if (c == ' ') {
            gap = true;
            continue;
        }
        if (gap && !joined.empty())
            joined += format.DateSeparator;
        gap = false;
        joined += c;
    }
    if (db::TryStrToDate(joined, value, format))
        return value.Value;
    return std::nullopt;
}

}  // namespace grid
