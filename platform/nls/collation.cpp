#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "platform/nls/nls.h"
#include "platform/nls/tables.h"

namespace platform::nls {

namespace {

using detail::CollationEntry;
using detail::CollationWeight;

// Every comparison looks its family up, so the locales are searched sorted.
const detail::CollationFamily& FamilyOf(LocaleId locale) {
    static const std::vector<std::pair<LocaleId, std::uint16_t>> index = [] {
        std::vector<std::pair<LocaleId, std::uint16_t>> out;
        for (const auto& l : detail::LocaleCollations()) {
            out.emplace_back(MakeLocaleId(l.language, l.sort), l.family);
        }
        std::sort(out.begin(), out.end());
        return out;
    }();
    auto it =
        std::lower_bound(index.begin(), index.end(), std::make_pair(locale, std::uint16_t{0}));
    if (it == index.end() || it->first != locale) {
        throw std::invalid_argument("unsupported locale " + std::to_string(locale));
    }
    return detail::CollationFamilies()[it->second];
}

// Walks the collation elements of a string: one per byte, two for a byte
// that expands; optionally without the non-spacing marks.
class Elements {
  public:
    Elements(const std::array<CollationEntry, 256>& entries, std::string_view text, bool skip_marks)
        : entries_(entries), text_(text), skip_marks_(skip_marks) {}

    // The next element, or nullptr at the end.
    const CollationWeight* Next() {
        for (;;) {
            if (pos_ == text_.size())
                return nullptr;
            const CollationEntry& e = entries_[static_cast<std::uint8_t>(text_[pos_])];
            if (in_second_) {
                in_second_ = false;
                ++pos_;
                return &e.second;
            }
            if (e.second.primary != 0) {
                in_second_ = true;
                return &e.first;
            }
            ++pos_;
            if (!skip_marks_ || e.first.primary != 0)
                return &e.first;
        }
    }

  private:
    const std::array<CollationEntry, 256>& entries_;
    std::string_view text_;
    bool skip_marks_;
    std::size_t pos_ = 0;
    bool in_second_ = false;
};

template <typename Weight>
int CompareLevel(const std::array<CollationEntry, 256>& entries, std::string_view a,
                 std::string_view b, bool skip_marks, Weight weight) {
    Elements x(entries, a, skip_marks);
    Elements y(entries, b, skip_marks);
    for (;;) {
        const CollationWeight* p = x.Next();
        const CollationWeight* q = y.Next();
        if (p == nullptr || q == nullptr)
            return p == q ? 0 : p == nullptr ? -1 : 1;
        const int wp = weight(*p);
        const int wq = weight(*q);
        if (wp != wq)
            return wp < wq ? -1 : 1;
    }
}

int CompareBytes(std::string_view a, std::string_view b, const CaseMap* fold) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        int x = static_cast<std::uint8_t>(a[i]);
        int y = static_cast<std::uint8_t>(b[i]);
        if (fold != nullptr) {
            x = (*fold)[static_cast<std::size_t>(x)];
            y = (*fold)[static_cast<std::size_t>(y)];
        }
        if (x != y)
            return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

}  // namespace

int CompareString(LocaleId locale, std::uint32_t flags, std::string_view a, std::string_view b) {
    constexpr std::uint32_t kKnown = NORM_IGNORECASE | NORM_IGNORENONSPACE | SORT_STRINGSORT;
    if ((flags & ~kKnown) != 0) {
        throw std::invalid_argument("unsupported comparison flags " + std::to_string(flags));
    }
    a = a.substr(0, a.find('\0'));
    b = b.substr(0, b.find('\0'));

    int result = 0;
    if (LanguageOfLocale(locale) == kLanguageAnsi) {
        if (!IsValidLocale(locale)) {
            throw std::invalid_argument("unsupported locale " + std::to_string(locale));
        }
        result =
            CompareBytes(a, b, (flags & NORM_IGNORECASE) != 0 ? &UpperCaseMap(locale) : nullptr);
    } else {
        // Each level compares a sequence derived from the whole string, so the
        // order is lexicographic over fixed keys and therefore transitive.
        const auto& entries = FamilyOf(locale).entries;
        const bool ignore_marks = (flags & NORM_IGNORENONSPACE) != 0;
        result =
            CompareLevel(entries, a, b, true, [](const CollationWeight& w) { return w.primary; });
        if (result == 0 && !ignore_marks) {
            result = CompareLevel(entries, a, b, false,
                                  [](const CollationWeight& w) { return w.diacritic; });
        }
        if (result == 0 && (flags & NORM_IGNORECASE) == 0) {
            result = CompareLevel(entries, a, b, ignore_marks,
                                  [](const CollationWeight& w) { return w.case_weight; });
        }
    }
    return result + CSTR_EQUAL;
}

}  // namespace platform::nls
