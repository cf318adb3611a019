#pragma once

// Edit masks of the in-place mask editor, with no dependency on a widget toolkit so that
// every editor kind can share them. Texts are sequences of code points.
//
// A mask has up to three fields separated by ";": the pattern, the save flag and the
// blank character, recognised only in the mask's last four characters:
//   pattern   0 9 # A a C c L l   input positions (upper case: required)
//             ! < > \             directives ("!" fills from the right, "<" lower case,
//                                 ">" upper case, "<>" no conversion, "\" takes the next
//                                 character as a literal)
//             / :                 the date and time separators
//             anything else       a literal
//   save flag "0" keeps the literals out of the value; anything else keeps them in
//   blank     the character shown in an empty input position ("_" by default)

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace grid {

// Which display positions hold input (typed, pasted or formatted in) as opposed to an empty
// input position showing the blank. The blank may be a character that is also valid input
// ("0" in a time mask), so the shown text alone cannot tell the two apart.
using TMaskFill = std::vector<bool>;

enum class TMaskCharType {
    mcNone,
    mcLiteral,
    mcIntlLiteral,
    mcDirective,
    mcMask,
    mcMaskOpt,
    mcFieldSeparator,
    mcField
};

inline constexpr char32_t kMaskFieldSeparator = U';';
inline constexpr char32_t kMaskNoSave = U'0';
inline constexpr char32_t kDefaultMaskBlank = U'_';

class TEditMask {
  public:
    TEditMask() = default;
    explicit TEditMask(std::u32string_view mask, char32_t date_separator = U'/',
                       char32_t time_separator = U':');

    bool Empty() const { return cells_.empty(); }
    // The class of the mask character at an offset of the mask text.
    TMaskCharType CharType(int offset) const;
    bool SaveLiterals() const { return save_; }
    char32_t Blank() const { return blank_; }
    bool RightToLeft() const { return right_to_left_; }
    // Display positions: the mask without directives and fields.
    int MaxChars() const { return static_cast<int>(cells_.size()); }
    bool IsEditPos(int pos) const;
    bool IsRequired(int pos) const;
    // The literal shown at a position that is not an input position.
    char32_t LiteralAt(int pos) const;
    // The first input position at or after pos (MaxChars when none), and the last one
    // before pos (-1 when none).
    int NextEditPos(int pos) const;
    int PrevEditPos(int pos) const;

    // Whether ch may stand at an input position, and how it is stored there (case
    // conversion applied).
    bool Accepts(int pos, char32_t ch, char32_t& stored) const;
    // The text of an empty field: literals and blanks.
    std::u32string BlankText() const;
    // A value formatted into the mask for display; filled, when given, receives which
    // positions the value filled.
    std::u32string Format(std::u32string_view value, TMaskFill* filled = nullptr) const;
    // The fill of a display text whose history is unknown: every input position that does
    // not show the blank.
    TMaskFill FillOf(std::u32string_view display) const;
    // The value a display text stands for; unfilled input positions are blanks.
    std::u32string Extract(std::u32string_view display, const TMaskFill& filled) const;
    // The first required position that is not filled, or -1. With raw, a position showing
    // the blank counts as filled (the editor keeps the raw masked text).
    int Validate(std::u32string_view display, const TMaskFill& filled, bool raw) const;
    // Whether no input position is filled.
    bool AllBlank(const TMaskFill& filled) const;
    // Blanks the positions [from, to); literals stay.
    std::u32string Clear(std::u32string_view display, int from, int to,
                         TMaskFill* filled = nullptr) const;
    // Types text from pos on through the input rules; characters that fit nowhere are
    // skipped. Returns the position after the last one written.
    int Type(std::u32string& display, int pos, std::u32string_view text,
             TMaskFill* filled = nullptr) const;

  private:
    enum class Kind { Literal, Required, Optional };
    struct Cell {
        Kind kind;
        char32_t ch;    // the pattern character, or the literal shown
        int case_mode;  // 0 none, 1 upper, 2 lower
    };
    bool Fits(const Cell& cell, char32_t ch, char32_t& stored) const;
    bool IsFilled(const TMaskFill& filled, std::size_t pos) const {
        return pos < filled.size() && filled[pos];
    }
    std::u32string mask_;
    int field_start_ = -1;  // offset of the first field separator, -1 none
    std::vector<Cell> cells_;
    bool save_ = true;
    char32_t blank_ = kDefaultMaskBlank;
    bool right_to_left_ = false;
    char32_t date_separator_ = U'/';
    char32_t time_separator_ = U':';
};

// A date typed as text, read in the short date format (dots count as blanks); nothing when
// it cannot be read.
std::optional<double> StrToDateVariant(std::string_view text);

}  // namespace grid
