#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/db/persistent.h"

namespace db {

class TStream;

// A list of text lines, each with an optional object it does not own. `TStrings` holds the
// behaviour every list shares (text forms, names and values, files); `TStringList` stores the
// lines and adds sorting. Controls that show lines (list boxes, memos) derive from `TStrings`.
//
// Text is UTF-8 bytes. Line breaks read from text or files may be CRLF, LF or a lone CR; the
// list writes `LineBreak` ("\r\n" unless set otherwise).
class TStrings : public TPersistent {
  public:
    TStrings() = default;
    TStrings(const TStrings&) = delete;
    TStrings& operator=(const TStrings&) = delete;
    ~TStrings() override = default;

    // Storage, supplied by the concrete list. Indexes run 0..Count()-1; an index outside
    // raises EListError "List index out of bounds (<index>)".
    virtual std::int64_t Count() const = 0;
    virtual std::string Get(std::int64_t index) const = 0;
    virtual void Put(std::int64_t index, std::string_view text);
    virtual TObject* GetObject(std::int64_t index) const;
    virtual void PutObject(std::int64_t index, TObject* object);
    virtual void Insert(std::int64_t index, std::string_view text) = 0;
    virtual void Delete(std::int64_t index) = 0;
    virtual void Clear() = 0;

    std::string Strings(std::int64_t index) const { return Get(index); }
    void SetStrings(std::int64_t index, std::string_view text) { Put(index, text); }
    TObject* Objects(std::int64_t index) const { return GetObject(index); }
    void SetObjects(std::int64_t index, TObject* object) { PutObject(index, object); }

    // Adds at the end (or, for a sorted list, at its place); answers the line's index.
    virtual std::int64_t Add(std::string_view text);
    virtual std::int64_t AddObject(std::string_view text, TObject* object);
    void Append(std::string_view text) { Add(text); }
    virtual void InsertObject(std::int64_t index, std::string_view text, TObject* object);
    // Adds every line (with its object) of another list, in one update.
    virtual void AddStrings(const TStrings& strings);
    virtual void Exchange(std::int64_t index1, std::int64_t index2);
    virtual void Move(std::int64_t current_index, std::int64_t new_index);

    // Answers the first index of an equal line (by `CompareStrings`), -1 when none.
    virtual std::int64_t IndexOf(std::string_view text) const;
    std::int64_t IndexOfObject(const TObject* object) const;
    // Answers the index of the first "name=value" line with this name, -1 when none.
    std::int64_t IndexOfName(std::string_view name) const;

    // Same count and the same lines in order (objects are not compared).
    bool Equals(const TStrings& other) const;

    // Copies lines and objects from another list (and its text settings); other sources as
    // `TPersistent`.
    void Assign(const TPersistent& source) override;

    // Every line followed by `LineBreak`; setting it replaces the lines.
    std::string Text() const;
    void SetText(std::string_view text);

    // Lines joined by `Delimiter`; a line holding a blank, a control character, the delimiter
    // or the quote character is quoted with `QuoteChar` (quote characters doubled). A single
    // empty line reads as two quote characters, so the empty list and the list with one empty
    // line stay apart. Setting splits at the delimiter and also at blanks outside quotes; a
    // trailing delimiter adds an empty line.
    std::string DelimitedText() const;
    void SetDelimitedText(std::string_view text);
    // As `DelimitedText` with ',' and '"' whatever the settings.
    std::string CommaText() const;
    void SetCommaText(std::string_view text);
    char Delimiter() const { return delimiter_; }
    void SetDelimiter(char delimiter) { delimiter_ = delimiter; }
    char QuoteChar() const { return quote_char_; }
    void SetQuoteChar(char quote_char) { quote_char_ = quote_char; }

    // "name=value" lines. `Names` of a line without the separator is empty. Setting a value
    // to empty deletes the line; setting a new name adds a line.
    std::string Names(std::int64_t index) const;
    std::string Values(std::string_view name) const;
    void SetValues(std::string_view name, std::string_view value);
    std::string ValueFromIndex(std::int64_t index) const;
    char NameValueSeparator() const { return name_value_separator_; }
    void SetNameValueSeparator(char separator) { name_value_separator_ = separator; }

    const std::string& LineBreak() const { return line_break_; }
    void SetLineBreak(std::string_view line_break) { line_break_ = line_break; }

    // Nested update brackets: the list reports changes once, when the outermost ends.
    void BeginUpdate();
    void EndUpdate();
    std::int64_t UpdateCount() const { return update_count_; }

    // File names find an existing file without regard to case, as the program's files are
    // named on Windows.
    // Reads the whole file (a leading UTF-8 byte-order mark is dropped). A file that cannot
    // be read raises EFOpenError and leaves the list as it was.
    void LoadFromFile(std::string_view file_name);
    // Writes `Text` to a new file beside the target and moves it into place, so the target
    // holds either the old or the whole new contents. Failure raises EFCreateError.
    void SaveToFile(std::string_view file_name) const;

    // Reads the rest of a stream as text, as `LoadFromFile` reads a file.
    void LoadFromStream(TStream& stream);
    void SaveToStream(TStream& stream) const;

    // All lines, for range loops and algorithms.
    std::vector<std::string> ToVector() const;

    // Compares two lines as this list's searches and sorting do. The base ignores case.
    virtual int CompareStrings(std::string_view a, std::string_view b) const;

  protected:
    using Line = std::pair<std::string, TObject*>;

    // Called when the outermost update bracket opens (true) and closes (false).
    virtual void SetUpdateState(bool /*updating*/) {}
    // Replaces every line at once; when a line is refused the list keeps its old lines.
    virtual void ReplaceAll(std::vector<Line> lines);
    // Rewrites line `index` (for `SetValues`); a sorted list moves it to its place.
    virtual void ReplaceLine(std::int64_t index, std::string_view text);
    [[noreturn]] static void ListIndexError(std::int64_t index);
    void CheckIndex(std::int64_t index, std::int64_t count) const;

  private:
    std::string JoinDelimited(char delimiter, char quote) const;
    void SplitDelimited(std::string_view text, char delimiter, char quote);

    char delimiter_ = ',';
    char quote_char_ = '"';
    char name_value_separator_ = '=';
    std::string line_break_ = "\r\n";
    std::int64_t update_count_ = 0;
};

enum TDuplicates : std::uint8_t { dupIgnore, dupAccept, dupError };

class TStringList;
// Answers <0, 0 or >0 for the lines at two indexes of the list.
using TStringListSortCompare =
    std::function<int(const TStringList& list, std::int64_t index1, std::int64_t index2)>;

class TStringList : public TStrings {
  public:
    TStringList() = default;
    ~TStringList() override = default;

    std::int64_t Count() const override { return static_cast<std::int64_t>(items_.size()); }
    std::string Get(std::int64_t index) const override;
    // The line itself, without a copy.
    const std::string& operator[](std::int64_t index) const;
    void Put(std::int64_t index, std::string_view text) override;
    TObject* GetObject(std::int64_t index) const override;
    void PutObject(std::int64_t index, TObject* object) override;
    void Insert(std::int64_t index, std::string_view text) override;
    void InsertObject(std::int64_t index, std::string_view text, TObject* object) override;
    void Delete(std::int64_t index) override;
    void Clear() override;

    // A sorted list puts each line at its place: an equal line already present is ignored
    // (dupIgnore, answering its index), raises EStringListError "String list does not allow
    // duplicates" (dupError), or is added after the equal lines (dupAccept).
    std::int64_t AddObject(std::string_view text, TObject* object) override;
    void Exchange(std::int64_t index1, std::int64_t index2) override;
    void Move(std::int64_t current_index, std::int64_t new_index) override;

    std::int64_t IndexOf(std::string_view text) const override;
    // Binary search of a sorted list: true when an equal line exists, with `index` at the
    // first of them; else false with `index` where the line would go.
    bool Find(std::string_view text, std::int64_t& index) const;

    bool Sorted() const { return sorted_; }
    // Switching on sorts the list (lines already equal stay as they are).
    void SetSorted(bool sorted);
    TDuplicates Duplicates() const { return duplicates_; }
    void SetDuplicates(TDuplicates duplicates) { duplicates_ = duplicates; }
    bool CaseSensitive() const { return case_sensitive_; }
    // A sorted list sorts again under the new rule.
    void SetCaseSensitive(bool case_sensitive);

    // Stable sorts: lines that compare equal keep their order.
    virtual void Sort();
    virtual void CustomSort(const TStringListSortCompare& compare);

    int CompareStrings(std::string_view a, std::string_view b) const override;

  private:
    struct Item;

  public:
    // Range loops over the lines (objects aside).
    class ConstIterator {
      public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string;
        using difference_type = std::ptrdiff_t;
        using pointer = const std::string*;
        using reference = const std::string&;

        ConstIterator() = default;
        reference operator*() const;
        pointer operator->() const { return &**this; }
        ConstIterator& operator++() {
            ++item_;
            return *this;
        }
        ConstIterator operator++(int) {
            ConstIterator old = *this;
            ++item_;
            return old;
        }
        friend bool operator==(const ConstIterator&, const ConstIterator&) = default;

      private:
        friend class TStringList;
        explicit ConstIterator(const Item* item) : item_(item) {}
        const Item* item_ = nullptr;
    };
    ConstIterator begin() const;
    ConstIterator end() const;

    TNotifyEvent OnChange;
    TNotifyEvent OnChanging;

  protected:
    void SetUpdateState(bool updating) override;
    void ReplaceAll(std::vector<Line> lines) override;
    void ReplaceLine(std::int64_t index, std::string_view text) override;
    virtual void Changed();
    virtual void Changing();

  private:
    struct Item {
        std::string text;
        TObject* object = nullptr;
    };
    // Where `text` goes in `items` under the sorted and duplicates rules; -1 when an equal
    // line makes dupIgnore drop it (`existing` then holds that line's index).
    std::int64_t SortedPlace(const std::vector<Item>& items, std::string_view text,
                             std::int64_t& existing) const;
    bool FindIn(const std::vector<Item>& items, std::string_view text, std::int64_t& index) const;
    void InsertItem(std::int64_t index, std::string_view text, TObject* object);
    void CheckNotSorted() const;
    void SortItems(const TStringListSortCompare& compare);

    std::vector<Item> items_;
    bool sorted_ = false;
    bool case_sensitive_ = false;
    TDuplicates duplicates_ = dupIgnore;
};

}  // namespace db
