#include "platform/db/string_list.h"

#include <algorithm>
#include <numeric>

#include "platform/db/exception.h"
#include "platform/db/stream.h"
#include "platform/db/whole_file.h"
#include "platform/nls/text.h"

namespace db {
namespace {

int CompareBytes(std::string_view a, std::string_view b) {
    const int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

unsigned char FoldAscii(unsigned char c) {
    return static_cast<unsigned char>(platform::nls::AsciiUpper(static_cast<char>(c)));
}

int CompareFolded(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char ca = FoldAscii(static_cast<unsigned char>(a[i]));
        const unsigned char cb = FoldAscii(static_cast<unsigned char>(b[i]));
        if (ca != cb) {
            return ca < cb ? -1 : 1;
        }
    }
    return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
}

// Characters that make a line need quotes in delimited text: blanks and control characters
// (which the splitter treats as separators), the delimiter and the quote itself.
bool NeedsQuotes(std::string_view line, char delimiter, char quote) {
    return std::any_of(line.begin(), line.end(), [&](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == delimiter || c == quote;
    });
}

bool IsBlank(char c) {
    const auto u = static_cast<unsigned char>(c);
    return u >= 1 && u <= ' ';
}

// A stable bottom-up merge sort that stays within bounds whatever `less` answers, so a
// comparer that is not a consistent order gives some order, never a crash.
template <class T, class Less>
void MergeSort(std::vector<T>& values, Less less) {
    const std::size_t n = values.size();
    std::vector<T> merged(n);
    for (std::size_t width = 1; width < n; width *= 2) {
        for (std::size_t left = 0; left < n; left += 2 * width) {
            const std::size_t middle = std::min(left + width, n);
            const std::size_t right = std::min(left + 2 * width, n);
            std::size_t i = left;
            std::size_t j = middle;
            std::size_t k = left;
            while (i < middle && j < right) {
                merged[k++] =
                    less(values[j], values[i]) ? std::move(values[j++]) : std::move(values[i++]);
            }
            while (i < middle) {
                merged[k++] = std::move(values[i++]);
            }
            while (j < right) {
                merged[k++] = std::move(values[j++]);
            }
        }
        values.swap(merged);
    }
}

// A UTF-8 byte-order mark would otherwise become part of the first line.
std::string_view WithoutByteOrderMark(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    return text;
}

class UpdateGuard {
  public:
    explicit UpdateGuard(TStrings& strings) : strings_(strings) { strings_.BeginUpdate(); }
    UpdateGuard(const UpdateGuard&) = delete;
    UpdateGuard& operator=(const UpdateGuard&) = delete;
    ~UpdateGuard() { strings_.EndUpdate(); }

  private:
    TStrings& strings_;
};

}  // namespace

void TStrings::ListIndexError(std::int64_t index) {
    throw EListError("List index out of bounds (" + std::to_string(index) + ")");
}

void TStrings::CheckIndex(std::int64_t index, std::int64_t count) const {
    if (index < 0 || index >= count) {
        ListIndexError(index);
    }
}

void TStrings::Put(std::int64_t index, std::string_view text) {
    TObject* object = GetObject(index);
    UpdateGuard update(*this);
    Delete(index);
    InsertObject(index, text, object);
}

TObject* TStrings::GetObject(std::int64_t index) const {
    CheckIndex(index, Count());
    return nullptr;
}

void TStrings::PutObject(std::int64_t index, TObject* /*object*/) {
    CheckIndex(index, Count());
}

std::int64_t TStrings::Add(std::string_view text) {
    return AddObject(text, nullptr);
}

std::int64_t TStrings::AddObject(std::string_view text, TObject* object) {
    const std::int64_t index = Count();
    InsertObject(index, text, object);
    return index;
}

void TStrings::InsertObject(std::int64_t index, std::string_view text, TObject* object) {
    UpdateGuard update(*this);
    Insert(index, text);
    PutObject(index, object);
}

void TStrings::AddStrings(const TStrings& strings) {
    // Taking the lines first lets a list add itself without chasing its own new lines.
    const std::int64_t count = strings.Count();
    std::vector<Line> lines;
    lines.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        lines.emplace_back(strings.Get(i), strings.GetObject(i));
    }
    UpdateGuard update(*this);
    for (const auto& [text, object] : lines) {
        AddObject(text, object);
    }
}

void TStrings::Exchange(std::int64_t index1, std::int64_t index2) {
    const std::int64_t count = Count();
    CheckIndex(index1, count);
    CheckIndex(index2, count);
    if (index1 == index2) {
        return;
    }
    UpdateGuard update(*this);
    const std::string text1 = Get(index1);
    TObject* object1 = GetObject(index1);
    Put(index1, Get(index2));
    PutObject(index1, GetObject(index2));
    Put(index2, text1);
    PutObject(index2, object1);
}

void TStrings::Move(std::int64_t current_index, std::int64_t new_index) {
    const std::int64_t count = Count();
    CheckIndex(current_index, count);
    CheckIndex(new_index, count);
    if (current_index == new_index) {
        return;
    }
    UpdateGuard update(*this);
    const std::string text = Get(current_index);
    TObject* object = GetObject(current_index);
    Delete(current_index);
    InsertObject(new_index, text, object);
}

std::int64_t TStrings::IndexOf(std::string_view text) const {
    const std::int64_t count = Count();
    for (std::int64_t i = 0; i < count; ++i) {
        if (CompareStrings(Get(i), text) == 0) {
            return i;
        }
    }
    return -1;
}

std::int64_t TStrings::IndexOfObject(const TObject* object) const {
    const std::int64_t count = Count();
    for (std::int64_t i = 0; i < count; ++i) {
        if (GetObject(i) == object) {
            return i;
        }
    }
    return -1;
}

std::int64_t TStrings::IndexOfName(std::string_view name) const {
    const std::int64_t count = Count();
    for (std::int64_t i = 0; i < count; ++i) {
        const std::string line = Get(i);
        const auto separator = line.find(name_value_separator_);
        if (separator != std::string::npos &&
            CompareStrings(std::string_view(line).substr(0, separator), name) == 0) {
            return i;
        }
    }
    return -1;
}

bool TStrings::Equals(const TStrings& other) const {
    const std::int64_t count = Count();
    if (count != other.Count()) {
        return false;
    }
    for (std::int64_t i = 0; i < count; ++i) {
        if (Get(i) != other.Get(i)) {
            return false;
        }
    }
    return true;
}

void TStrings::Assign(const TPersistent& source) {
    const auto* strings = dynamic_cast<const TStrings*>(&source);
    if (strings == nullptr) {
        TPersistent::Assign(source);
        return;
    }
    if (strings == this) {
        return;
    }
    std::vector<Line> lines;
    const std::int64_t count = strings->Count();
    lines.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        lines.emplace_back(strings->Get(i), strings->GetObject(i));
    }
    ReplaceAll(std::move(lines));
    delimiter_ = strings->delimiter_;
    quote_char_ = strings->quote_char_;
    name_value_separator_ = strings->name_value_separator_;
    line_break_ = strings->line_break_;
}

void TStrings::ReplaceAll(std::vector<Line> lines) {
    std::vector<Line> old_lines;
    const std::int64_t count = Count();
    old_lines.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        old_lines.emplace_back(Get(i), GetObject(i));
    }
    UpdateGuard update(*this);
    try {
        Clear();
        for (const auto& [text, object] : lines) {
            AddObject(text, object);
        }
    } catch (...) {
        Clear();
        for (const auto& [text, object] : old_lines) {
            InsertObject(Count(), text, object);
        }
        throw;
    }
}

void TStrings::ReplaceLine(std::int64_t index, std::string_view text) {
    Put(index, text);
}

std::string TStrings::Text() const {
    std::string text;
    const std::int64_t count = Count();
    for (std::int64_t i = 0; i < count; ++i) {
        text += Get(i);
        text += line_break_;
    }
    return text;
}

void TStrings::SetText(std::string_view text) {
    std::vector<Line> lines;
    std::size_t start = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char c = text[pos];
        if (c == '\r' || c == '\n') {
            lines.emplace_back(std::string(text.substr(start, pos - start)), nullptr);
            ++pos;
            if (c == '\r' && pos < text.size() && text[pos] == '\n') {
                ++pos;
            }
            start = pos;
        } else {
            ++pos;
        }
    }
    if (start < text.size()) {
        lines.emplace_back(std::string(text.substr(start)), nullptr);
    }
    ReplaceAll(std::move(lines));
}

std::string TStrings::JoinDelimited(char delimiter, char quote) const {
    const std::int64_t count = Count();
    if (count == 1 && Get(0).empty()) {
        return std::string(2, quote);
    }
    std::string result;
    for (std::int64_t i = 0; i < count; ++i) {
        if (i > 0) {
            result += delimiter;
        }
        const std::string line = Get(i);
        if (!NeedsQuotes(line, delimiter, quote)) {
            result += line;
            continue;
        }
        result += quote;
        for (char c : line) {
            if (c == quote) {
                result += quote;
            }
            result += c;
        }
        result += quote;
    }
    return result;
}

void TStrings::SplitDelimited(std::string_view text, char delimiter, char quote) {
    // The text ends at its first NUL, as the class library reads it.
    if (const auto nul = text.find('\0'); nul != std::string_view::npos) {
        text = text.substr(0, nul);
    }
    std::vector<Line> lines;
    std::size_t p = 0;
    const std::size_t n = text.size();
    auto skip_blanks = [&] {
        while (p < n && IsBlank(text[p])) {
            ++p;
        }
    };
    skip_blanks();
    while (p < n) {
        std::string item;
        if (text[p] == quote) {
            ++p;
            while (p < n) {
                if (text[p] == quote) {
                    if (p + 1 < n && text[p + 1] == quote) {
                        item += quote;
                        p += 2;
                        continue;
                    }
                    ++p;
                    break;
                }
                item += text[p++];
            }
        } else {
            const std::size_t start = p;
            while (p<n&& static_cast<unsigned char>(text[p])> ' ' && text[p] != delimiter) {
                ++p;
            }
            item.assign(text.substr(start, p - start));
        }
        lines.emplace_back(std::move(item), nullptr);
        skip_blanks();
        if (p < n && text[p] == delimiter) {
            if (p + 1 == n) {
                lines.emplace_back(std::string(), nullptr);
            }
            ++p;
            skip_blanks();
        }
    }
    ReplaceAll(std::move(lines));
}

std::string TStrings::DelimitedText() const {
    return JoinDelimited(delimiter_, quote_char_);
}

void TStrings::SetDelimitedText(std::string_view text) {
    SplitDelimited(text, delimiter_, quote_char_);
}

std::string TStrings::CommaText() const {
    return JoinDelimited(',', '"');
}

void TStrings::SetCommaText(std::string_view text) {
    SplitDelimited(text, ',', '"');
}

std::string TStrings::Names(std::int64_t index) const {
    const std::string line = Get(index);
    const auto separator = line.find(name_value_separator_);
    return separator == std::string::npos ? std::string() : line.substr(0, separator);
}

std::string TStrings::Values(std::string_view name) const {
    const std::int64_t index = IndexOfName(name);
    return index < 0 ? std::string() : ValueFromIndex(index);
}

std::string TStrings::ValueFromIndex(std::int64_t index) const {
    const std::string line = Get(index);
    const auto separator = line.find(name_value_separator_);
    return separator == std::string::npos ? std::string() : line.substr(separator + 1);
}

void TStrings::SetValues(std::string_view name, std::string_view value) {
    const std::int64_t index = IndexOfName(name);
    if (value.empty()) {
        if (index >= 0) {
            Delete(index);
        }
        return;
    }
    std::string line(name);
    line += name_value_separator_;
    line += value;
    if (index < 0) {
        Add(line);
    } else {
        ReplaceLine(index, line);
    }
}

void TStrings::BeginUpdate() {
    if (update_count_ == 0) {
        SetUpdateState(true);
    }
    ++update_count_;
}

void TStrings::EndUpdate() {
    if (update_count_ == 0) {
        return;
    }
    --update_count_;
    if (update_count_ == 0) {
        SetUpdateState(false);
    }
}

void TStrings::LoadFromFile(std::string_view file_name) {
    SetText(WithoutByteOrderMark(ReadWholeFile(file_name)));
}

void TStrings::SaveToFile(std::string_view file_name) const {
    ReplaceWholeFile(file_name, Text());
}

void TStrings::LoadFromStream(TStream& stream) {
    const std::int64_t rest = stream.Size() - stream.Position();
    SetText(WithoutByteOrderMark(stream.ReadText(rest)));
}

void TStrings::SaveToStream(TStream& stream) const {
    stream.WriteText(Text());
}

std::vector<std::string> TStrings::ToVector() const {
    std::vector<std::string> lines;
    const std::int64_t count = Count();
    lines.reserve(static_cast<std::size_t>(count));
    for (std::int64_t i = 0; i < count; ++i) {
        lines.push_back(Get(i));
    }
    return lines;
}

int TStrings::CompareStrings(std::string_view a, std::string_view b) const {
    return CompareFolded(a, b);
}

std::string TStringList::Get(std::int64_t index) const {
    return (*this)[index];
}

const std::string& TStringList::operator[](std::int64_t index) const {
    CheckIndex(index, Count());
    return items_[static_cast<std::size_t>(index)].text;
}

void TStringList::CheckNotSorted() const {
    if (sorted_) {
        throw EStringListError("Operation not allowed on sorted list");
    }
}

void TStringList::Put(std::int64_t index, std::string_view text) {
    CheckNotSorted();
    CheckIndex(index, Count());
    Changing();
    items_[static_cast<std::size_t>(index)].text = text;
    Changed();
}

TObject* TStringList::GetObject(std::int64_t index) const {
    CheckIndex(index, Count());
    return items_[static_cast<std::size_t>(index)].object;
}

void TStringList::PutObject(std::int64_t index, TObject* object) {
    CheckIndex(index, Count());
    Changing();
    items_[static_cast<std::size_t>(index)].object = object;
    Changed();
}

void TStringList::InsertItem(std::int64_t index, std::string_view text, TObject* object) {
    Changing();
    items_.insert(items_.begin() + index, Item{std::string(text), object});
    Changed();
}

void TStringList::Insert(std::int64_t index, std::string_view text) {
    InsertObject(index, text, nullptr);
}

void TStringList::InsertObject(std::int64_t index, std::string_view text, TObject* object) {
    CheckNotSorted();
    if (index < 0 || index > Count()) {
        ListIndexError(index);
    }
    InsertItem(index, text, object);
}

void TStringList::Delete(std::int64_t index) {
    CheckIndex(index, Count());
    Changing();
    items_.erase(items_.begin() + index);
    Changed();
}

void TStringList::Clear() {
    if (items_.empty()) {
        return;
    }
    Changing();
    items_.clear();
    Changed();
}

bool TStringList::FindIn(const std::vector<Item>& items, std::string_view text,
                         std::int64_t& index) const {
    std::int64_t low = 0;
    std::int64_t high = static_cast<std::int64_t>(items.size()) - 1;
    bool found = false;
    while (low <= high) {
        const std::int64_t middle = low + (high - low) / 2;
        const int c = CompareStrings(items[static_cast<std::size_t>(middle)].text, text);
        if (c < 0) {
            low = middle + 1;
        } else {
            high = middle - 1;
            if (c == 0) {
                found = true;
            }
        }
    }
    index = low;
    return found;
}

std::int64_t TStringList::SortedPlace(const std::vector<Item>& items, std::string_view text,
                                      std::int64_t& existing) const {
    std::int64_t index = 0;
    if (!FindIn(items, text, index)) {
        return index;
    }
    switch (duplicates_) {
        case dupIgnore:
            existing = index;
            return -1;
        case dupError:
            throw EStringListError("String list does not allow duplicates");
        case dupAccept:
            break;
    }
    const auto size = static_cast<std::int64_t>(items.size());
    while (index < size && CompareStrings(items[static_cast<std::size_t>(index)].text, text) == 0) {
        ++index;
    }
    return index;
}

std::int64_t TStringList::AddObject(std::string_view text, TObject* object) {
    std::int64_t index = Count();
    if (sorted_) {
        std::int64_t existing = -1;
        index = SortedPlace(items_, text, existing);
        if (index < 0) {
            return existing;
        }
    }
    InsertItem(index, text, object);
    return index;
}

void TStringList::Exchange(std::int64_t index1, std::int64_t index2) {
    CheckNotSorted();
    CheckIndex(index1, Count());
    CheckIndex(index2, Count());
    if (index1 == index2) {
        return;
    }
    Changing();
    std::swap(items_[static_cast<std::size_t>(index1)], items_[static_cast<std::size_t>(index2)]);
    Changed();
}

void TStringList::Move(std::int64_t current_index, std::int64_t new_index) {
    CheckNotSorted();
    CheckIndex(current_index, Count());
    CheckIndex(new_index, Count());
    if (current_index == new_index) {
        return;
    }
    Changing();
    const auto from = items_.begin() + current_index;
    const auto to = items_.begin() + new_index;
    if (current_index < new_index) {
        std::rotate(from, from + 1, to + 1);
    } else {
        std::rotate(to, from, from + 1);
    }
    Changed();
}

std::int64_t TStringList::IndexOf(std::string_view text) const {
    if (!sorted_) {
        return TStrings::IndexOf(text);
    }
    std::int64_t index = 0;
    return Find(text, index) ? index : -1;
}

bool TStringList::Find(std::string_view text, std::int64_t& index) const {
    return FindIn(items_, text, index);
}

void TStringList::SetSorted(bool sorted) {
    if (sorted == sorted_) {
        return;
    }
    if (sorted) {
        SortItems(nullptr);
    }
    sorted_ = sorted;
}

void TStringList::SetCaseSensitive(bool case_sensitive) {
    if (case_sensitive == case_sensitive_) {
        return;
    }
    case_sensitive_ = case_sensitive;
    if (sorted_) {
        SortItems(nullptr);
    }
}

void TStringList::SortItems(const TStringListSortCompare& compare) {
    if (items_.size() < 2) {
        return;
    }
    std::vector<std::int64_t> order(items_.size());
    std::iota(order.begin(), order.end(), std::int64_t{0});
    if (compare) {
        MergeSort(order, [&](std::int64_t a, std::int64_t b) { return compare(*this, a, b) < 0; });
    } else {
        MergeSort(order, [&](std::int64_t a, std::int64_t b) {
            return CompareStrings(items_[static_cast<std::size_t>(a)].text,
                                  items_[static_cast<std::size_t>(b)].text) < 0;
        });
    }
    Changing();
    std::vector<Item> sorted;
    sorted.reserve(items_.size());
    for (std::int64_t index : order) {
        sorted.push_back(std::move(items_[static_cast<std::size_t>(index)]));
    }
    items_ = std::move(sorted);
    Changed();
}

void TStringList::Sort() {
    if (!sorted_) {
        SortItems(nullptr);
    }
}

void TStringList::CustomSort(const TStringListSortCompare& compare) {
    if (!sorted_ && compare) {
        SortItems(compare);
    }
}

int TStringList::CompareStrings(std::string_view a, std::string_view b) const {
    return case_sensitive_ ? CompareBytes(a, b) : CompareFolded(a, b);
}

void TStringList::ReplaceAll(std::vector<Line> lines) {
    std::vector<Item> items;
    items.reserve(lines.size());
    for (auto& [text, object] : lines) {
        items.push_back(Item{std::move(text), object});
    }
    if (sorted_) {
        // A stable sort followed by the duplicates rule gives what adding one line at a time
        // gives, without the quadratic inserts.
        MergeSort(items,
                  [&](const Item& a, const Item& b) { return CompareStrings(a.text, b.text) < 0; });
        if (duplicates_ != dupAccept) {
            auto equal = [&](const Item& a, const Item& b) {
                return CompareStrings(a.text, b.text) == 0;
            };
            if (duplicates_ == dupError &&
                std::adjacent_find(items.begin(), items.end(), equal) != items.end()) {
                throw EStringListError("String list does not allow duplicates");
            }
            items.erase(std::unique(items.begin(), items.end(), equal), items.end());
        }
    }
    Changing();
    items_ = std::move(items);
    Changed();
}

void TStringList::ReplaceLine(std::int64_t index, std::string_view text) {
    if (!sorted_) {
        Put(index, text);
        return;
    }
    CheckIndex(index, Count());
    std::vector<Item> items = items_;
    TObject* object = items[static_cast<std::size_t>(index)].object;
    items.erase(items.begin() + index);
    std::int64_t existing = -1;
    const std::int64_t place = SortedPlace(items, text, existing);
    if (place >= 0) {
        items.insert(items.begin() + place, Item{std::string(text), object});
    }
    Changing();
    items_ = std::move(items);
    Changed();
}

const std::string& TStringList::ConstIterator::operator*() const {
    return item_->text;
}

TStringList::ConstIterator TStringList::begin() const {
    return ConstIterator(items_.data());
}

TStringList::ConstIterator TStringList::end() const {
    return ConstIterator(items_.data() + items_.size());
}

void TStringList::SetUpdateState(bool updating) {
    if (updating) {
        Changing();
    } else {
        Changed();
    }
}

void TStringList::Changed() {
    if (UpdateCount() == 0 && OnChange) {
        OnChange(this);
    }
}

void TStringList::Changing() {
    if (UpdateCount() == 0 && OnChanging) {
        OnChanging(this);
    }
}

}  // namespace db
