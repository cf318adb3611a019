// Execution of a planned SELECT: the combined rows of the source tables (nested loops, LEFT
// joins yielding a null row where nothing matches), the WHERE and ON conditions per row,
// grouping with aggregates, HAVING, DISTINCT and ORDER BY on the result table.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/key_builder.h"
#include "engine/sql/aggregate_accumulator.h"
#include "engine/sql/column_value.h"
#include "engine/sql/condition_parts.h"
#include "engine/sql/data_query.h"
#include "engine/sql/distinct_keys.h"
#include "engine/sql/query_statement.h"
#include "engine/sql/statement_tables.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/engine_heap.h"
#include "engine/storage/expression_eval.h"
#include "engine/storage/expression_types.h"
#include "engine/storage/text_compare.h"
#include "platform/nls/nls.h"

namespace strata {

namespace {

db::TFormatSettings SessionFormats(const TQueryStatement& statement) {
    FormatSettingsLock lock;
    db::TFormatSettings formats;
    LoadLocaleFormats(statement.SessionLanguageID(), statement.SessionSortID(), formats);
    return formats;
}

// Two trees written alike: the same operators, columns (names without regard to case) and
// constants, whatever types a type check has given either.
bool WrittenAlike(const TExpToken* a, const TExpToken* b) {
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    if (a->Kind != b->Kind || a->Code != b->Code) {
        return false;
    }
    if (a->Kind == kTokenColumn) {
        if (!platform::nls::SameTextAnsi(a->ColumnName, b->ColumnName) ||
            (!a->TableName.empty() && !b->TableName.empty() &&
             !platform::nls::SameTextAnsi(a->TableName, b->TableName))) {
            return false;
        }
    } else if (a->Kind == kTokenConstant &&
               (a->Text != b->Text || a->IsParameter || b->IsParameter)) {
        return false;
    }
    return WrittenAlike(a->First.get(), b->First.get()) &&
           WrittenAlike(a->Second.get(), b->Second.get()) &&
           WrittenAlike(a->Third.get(), b->Third.get());
}

bool IsTrue(const TExpToken& value) {
    return !value.IsNull && LoadUInt16(value.Value()) != 0;
}

}  // namespace

// What one execution carries through its loops.
// Orders the keys of groups (a null mark per grouping column and, for a value, its bytes): as
// bytes, or where the result table has a language, its texts by that language's comparison,
// with case, so that texts the result's sort takes as equal fall in one group.
struct GroupKeyLess {
    struct Column {
        std::size_t size = 0;
        bool text = false;
    };
    std::vector<Column> columns;  // none: the keys compare as bytes
    LanguageId language = 0;
    SortId sort = 0;

    bool operator()(const std::string& a, const std::string& b) const {
        if (columns.empty()) {
            return a < b;
        }
        std::size_t at = 0;
        for (const Column& column : columns) {
            if (at >= a.size() || at >= b.size()) {
                break;
            }
            if (a[at] != b[at]) {
                return a[at] < b[at];
            }
            const bool null = a[at] == '\0';
            ++at;
            if (null) {
                continue;
            }
            const std::string_view x = std::string_view(a).substr(at, column.size);
            const std::string_view y = std::string_view(b).substr(at, column.size);
            at += column.size;
            const int order = column.text
                                  ? CompareStrings(language, sort, x.substr(0, x.find('\0')), false,
                                                   0, y.substr(0, y.find('\0')))
                                  : x.compare(y);
            if (order != 0) {
                return order < 0;
            }
        }
        return false;
    }
};

struct SelectRun {
    db::TFormatSettings formats;
    std::vector<const TExpToken*> final_checks;
    std::vector<std::uint8_t> record;
    LanguageId language = 0;
    SortId sort = 0;
    std::int64_t driving_count = 0;
    // Rows produced so far, before grouping and DISTINCT reduce them.
    std::int64_t produced = 0;
    std::int64_t driving_row = 0;
    bool stopped = false;
    bool grouped = false;
    // A memo's text per result column (none for NULL). A grouped row keeps its memos here, not
    // as blobs open on the result: writing one group frees every open blob of the result.
    using MemoValues = std::vector<std::optional<std::vector<std::uint8_t>>>;
    MemoValues row_memos;
    struct Group {
        std::vector<std::uint8_t> record;
        std::vector<AggregateAccumulator> accumulators;
        MemoValues memos;
    };
    std::map<std::string, Group, GroupKeyLess> groups;
    // DISTINCT without grouping: the rows already written, by their column bytes. Rows with
    // the same bytes are duplicates under any comparison, so the final sort has few left.
    bool drop_duplicates = false;
    // Whether duplicates are found by the source columns' bytes (every column a plain one).
    bool duplicates_by_source = false;
    DistinctKeys distinct_rows;
    // DISTINCT of one text column: its null and its values of up to seven bytes, each one word.
    DistinctWords distinct_words;
    // Per result column, where a DISTINCT key finds its source value; set up at the first row.
    struct KeyColumn {
        const TSourceTable* source = nullptr;
        const TDataCursor* cursor = nullptr;
        std::uint32_t field = 0;
        std::size_t at = 0;
        std::size_t size = 0;
        // A stored text, taken up to its end straight from the record.
        bool text = false;
        // A float, whose two zeros are one value with two byte patterns.
        bool real = false;
    };
    std::vector<KeyColumn> key_columns;
    // Grouping whose key columns are all plain source columns, with no other plain column:
    // the groups by their source values' bytes, so that a row of a group met before only adds
    // to its aggregates, without its row built.
    bool groups_by_source = false;
    std::vector<KeyColumn> group_key_columns;
    DistinctKeys group_keys;
    // Per number of a key in group_keys, its group.
    std::vector<Group*> groups_by_key;
    std::string source_key;
    // Per result column, an aggregate's argument that is a plain source column, read into one
    // value reused from row to row.
    std::vector<ExpTokenPtr> aggregate_arguments;
    // The current row's source values were found new before its row was built.
    bool row_known_new = false;
    // Exact checks of the driving table's records whose filter is a case-insensitive index's
    // wider view: each candidate is checked as it is read, instead of the filter reading every
    // candidate before the rows are read again.
    std::vector<ExpTokenPtr> driving_checks;
    // A result held in memory and ordered by ORDER BY alone gathers its rows here and writes
    // them sorted, instead of writing and then sorting its table (on disk once it has grown
    // large). Rows go into blocks that statements before gave up where there are any, whose
    // pages are touched already, where fresh memory would fault in page by page every time.
    bool sort_pending = false;
    std::vector<std::uint8_t*> pending;
    std::vector<EngineBuffer> pending_blocks;
    std::size_t pending_block_used = 0;
    std::int64_t pending_bytes = 0;
    void Pend(std::span<const std::uint8_t> record) {
        constexpr std::size_t kPendingBlockBytes = std::size_t{1} << 20;
        if (pending_blocks.empty() ||
            pending_block_used + record.size() > pending_blocks.back().capacity()) {
            const std::size_t bytes = std::max(kPendingBlockBytes, record.size());
            EngineBuffer block = TakeKeptBuffer(bytes);
            block.Grow(bytes);
            pending_blocks.push_back(std::move(block));
            pending_block_used = 0;
        }
        std::uint8_t* row =
            reinterpret_cast<std::uint8_t*>(pending_blocks.back().data()) + pending_block_used;
        std::copy(record.begin(), record.end(), row);
        pending_block_used += record.size();
        pending.push_back(row);
    }
    // Per result column, its plain copy from its source column where one serves.
    std::vector<std::optional<TDataCursor::FieldCopy>> copies;
    // Buffers reused from row to row: a row's key and a column's value.
    std::string key;
    std::vector<std::uint8_t> value =
        std::vector<std::uint8_t>(std::max<std::size_t>(kValueBufferSize, 256));
    // The tables in loop order, outermost first.
    std::vector<TSourceTable*> order;
    // Per loop level: an equality between a column of that level's table and a value of the
    // outer rows, which narrows the table through an index for every outer row.
    // The rows of an inner table read once and found by the probe column's value, so that
    // every outer row visits its candidates only instead of reading the table again.
    struct HeldRows {
        // Of each row only the bytes from `lead` on, `stride` of them, are held: every field
        // the statement reads of the table lies there. A row is viewed as a whole record
        // starting `lead` bytes before its held bytes; the bytes around them are never read.
        std::size_t size = 0;
        std::size_t lead = 0;
        std::size_t stride = 0;
        // The rows of one value in read order, in stretches of rows one after another, so
        // that an outer row reads its candidates as a few stretches of memory.
        struct Stretch {
            std::uint8_t* bytes = nullptr;
            std::size_t count = 0;
            std::size_t capacity = 0;
        };
        std::vector<std::vector<Stretch>> groups;
        // The group of each value: by bytes, or under a language's collation for strings,
        // where values written differently may be equal. Null values have a group apart.
        std::unordered_map<std::string, std::size_t> by_bytes;
        std::map<std::string, std::size_t,
                 std::function<bool(const std::string&, const std::string&)>>
            collated;
        std::size_t null_group = SIZE_MAX;
        bool use_collation = false;
        // Every row in read order, as its record is viewed.
        std::vector<const std::uint8_t*> all;
        // The stretches' memory, taken from buffers statements before gave up where there are
        // any (their pages are touched already) and given back at the end. Each block keeps
        // `lead` bytes before its first stretch and the rest of a record after its last, so
        // that every row's record view lies inside it.
        std::vector<EngineBuffer> blocks;
        std::size_t block_used = 0;

        HeldRows() = default;
        HeldRows(const HeldRows&) = delete;
        HeldRows& operator=(const HeldRows&) = delete;
        ~HeldRows() {
            for (EngineBuffer& block : blocks) {
                KeepBuffer(std::move(block));
            }
        }
        const std::uint8_t* View(const Stretch& stretch, std::size_t row) const {
            return stretch.bytes + row * stride - lead;
        }
        // Where the held bytes of a new row of `group` go.
        std::uint8_t* Add(std::size_t group) {
            std::vector<Stretch>& stretches = groups[group];
            if (stretches.empty() || stretches.back().count == stretches.back().capacity) {
                constexpr std::size_t kLongestStretchBytes = std::size_t{256} << 10;
                const std::size_t longest = std::max<std::size_t>(kLongestStretchBytes / stride, 1);
                const std::size_t capacity =
                    stretches.empty() ? 1 : std::min(stretches.back().capacity * 2, longest);
                stretches.push_back({Reserve(capacity * stride), 0, capacity});
            }
            Stretch& stretch = stretches.back();
            std::uint8_t* const at = stretch.bytes + stretch.count * stride;
            ++stretch.count;
            all.push_back(at - lead);
            return at;
        }
        std::uint8_t* Reserve(std::size_t bytes) {
            constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
            const std::size_t tail = size - lead - stride;
            if (blocks.empty() || block_used + bytes + tail > blocks.back().capacity()) {
                const std::size_t want = std::max(kBlockBytes, lead + bytes + tail);
                EngineBuffer block = TakeKeptBuffer(want);
                block.Grow(want);
                blocks.push_back(std::move(block));
                block_used = lead;
            }
            std::uint8_t* const at =
                reinterpret_cast<std::uint8_t*>(blocks.back().data()) + block_used;
            block_used += bytes;
            return at;
        }
    };
    struct Probe {
        const TExpToken* column = nullptr;
        const TExpToken* outer = nullptr;
        TFilter* filter = nullptr;
        // The row check the equality came from (none for a LEFT join's ON part).
        const TExpToken* part = nullptr;
        bool active = false;
        bool usable = true;
        bool hold_decided = false;
        std::unique_ptr<HeldRows> held;
    };
    std::vector<Probe> probes;
    // Row checks the current rows are known to pass: held rows found under a key that only
    // equal values share.
    std::vector<const TExpToken*> answered;
};

namespace {

// Writes a BLOB result column: the bytes into the field's blob, or NULL for none.
void PutBlobValue(TDataCursor& result, std::uint32_t number, RecordBuffer record,
                  std::span<const std::uint8_t> bytes, std::string_view table_name) {
    if (bytes.empty()) {
        result.PutField(number, record, nullptr);
        return;
    }
    if (result.OpenBlob(number, record, kBlobOpenRead) != kErrNone ||
        result.WriteBlob(number, record, static_cast<std::uint32_t>(bytes.size()), bytes.data(),
                         0) != kErrNone) {
        RaiseEngineError(kErrInvalidBlobHandle, table_name);
    }
}

// A memo result column of the row being built: written into the result's blob straight away,
// or for a grouped row kept with the row until its group is written.
void PutMemo(SelectRun& run, TDataCursor& result, std::uint32_t number, RecordBuffer record,
             std::span<const std::uint8_t> bytes, std::string_view table_name) {
    if (!run.grouped) {
        PutBlobValue(result, number, record, bytes, table_name);
        return;
    }
    result.PutField(number, record, nullptr);
    if (run.row_memos.size() < number) {
        run.row_memos.resize(number);
    }
    if (bytes.empty()) {
        run.row_memos[number - 1].reset();
    } else {
        run.row_memos[number - 1].emplace(bytes.begin(), bytes.end());
    }
}

// The bytes of a BLOB field of `row` (none for NULL), read through a copy of the row: opening
// puts a handle where the record keeps the blob's reference, and the row is still read after.
std::vector<std::uint8_t> ReadBlobBytes(TDataCursor& cursor, std::uint32_t field,
                                        std::span<const std::uint8_t> row,
                                        std::string_view table_name) {
    std::vector<std::uint8_t> opened(row.begin(), row.end());
    bool is_null = true;
    cursor.GetField(field, opened, is_null, {});
    std::vector<std::uint8_t> bytes;
    if (is_null) {
        return bytes;
    }
    std::uint32_t size = 0;
    if (cursor.OpenBlob(field, opened, kBlobOpenRead) != kErrNone ||
        cursor.GetBlobSize(field, opened, size) != kErrNone) {
        RaiseEngineError(kErrInvalidBlobHandle, table_name);
    }
    bytes.resize(size);
    std::uint32_t read = 0;
    const EngineErrorCode code =
        size == 0 ? kErrNone : cursor.ReadBlob(field, opened, read, size, bytes.data(), 0);
    cursor.CloseBlob(field, opened);
    if (code != kErrNone) {
        RaiseEngineError(code, table_name);
    }
    return bytes;
}

ColumnReader SourceReader() {
    return [](const std::byte* /*record*/, TExpToken& column) {
        auto* source = static_cast<TSourceTable*>(column.SourceTable);
        if (source == nullptr || source->NullRow || column.FieldNumber == 0) {
            column.IsNull = true;
            return;
        }
        ReadColumnValue(*source->Table->cursor, column.FieldNumber, source->Row(), column,
                        source->TableName);
    };
}

// The tables a tree reads; false when it holds anything but plain reads of them.
bool TablesRead(const TExpToken& node, std::vector<const TSourceTable*>& tables) {
    if (node.Kind == kTokenSubSelect || node.SubSelect != nullptr) {
        return false;
    }
    if (node.Kind == kTokenColumn) {
        const auto* table = static_cast<const TSourceTable*>(node.SourceTable);
        if (table == nullptr || node.FieldNumber == 0) {
            return false;
        }
        if (std::find(tables.begin(), tables.end(), table) == tables.end()) {
            tables.push_back(table);
        }
    }
    for (const TExpToken* child : {node.First.get(), node.Second.get(), node.Third.get()}) {
        if (child != nullptr && !TablesRead(*child, tables)) {
            return false;
        }
    }
    return true;
}

// A record a scan gives becomes the table's current record where it spans the record buffer,
// else is copied into it, as GetNextRecord fills it.
void ViewScanned(ConstRecordBuffer record, TSourceTable& table) {
    if (record.size() >= table.Record.size()) {
        table.ViewRow(record.data());
        return;
    }
    std::vector<std::uint8_t>& into = table.Record;
    std::copy(record.begin(), record.end(), into.begin());
    std::fill(into.begin() + static_cast<std::ptrdiff_t>(record.size()), into.end(), 0);
    table.ViewRow(nullptr);
}

ExpTokenPtr EvaluateOnSources(const TExpToken& node, const SelectRun& run) {
    return EvaluateExpression(node, nullptr, run.sort, run.language, SourceReader(), &run.formats);
}

// Whether a cursor's filters compare texts as the statement's rows do: under the first source
// table's language and sort. A table of another language answers its filters under its own, so
// a filter there could keep or drop other rows than the row check, and then an index would
// decide the result.
bool ComparesAsRun(TDataCursor& cursor, const SelectRun& run) {
    return cursor.GetLanguageID() == run.language && cursor.GetSortID() == run.sort;
}

// Types whose equal values the held rows can find by a key: their equality is that of the
// key's bytes (strings without a language) or of the collation (strings under one).
bool HoldableType(EngineDataType type) {
    switch (type) {
        case kTypeString:
        case kTypeSmallInt:
        case kTypeInteger:
        case kTypeWord:
        case kTypeDate:
        case kTypeTime:
        case kTypeBoolean:
        case kTypeFloat:
            return true;
        default:
            return false;
    }
}

// Makes a float's negative zero the positive one, so that keys built from bytes keep the two
// zeros, which compare equal, together.
void PositiveZero(std::span<std::uint8_t> bytes) {
    if (bytes.size() >= sizeof(double) &&
        LoadDouble(reinterpret_cast<const std::byte*>(bytes.data())) == 0.0) {
        StoreDouble(reinterpret_cast<std::byte*>(bytes.data()), 0.0);
    }
}

// The key of a non-null value of a holdable type, from its bytes (at most `limit` of a
// string); equal values give equal keys (the two zeros of a float, any true boolean).
std::string ProbeKey(EngineDataType type, const std::byte* bytes, std::size_t limit) {
    std::int64_t number = 0;
    switch (type) {
        case kTypeString: {
            const auto* chars = reinterpret_cast<const char*>(bytes);
            return chars == nullptr ? std::string() : std::string(chars, strnlen(chars, limit));
        }
        case kTypeSmallInt:
            number = LoadInt16(bytes);
            break;
        case kTypeWord:
            number = LoadUInt16(bytes);
            break;
        case kTypeBoolean:
            number = LoadUInt16(bytes) != 0 ? 1 : 0;
            break;
        case kTypeFloat: {
            double real = LoadDouble(bytes);
            if (real == 0.0) {
                real = 0.0;
            }
            std::string key(sizeof real, '\0');
            std::memcpy(key.data(), &real, sizeof real);
            return key;
        }
        default:
            number = LoadInt32(bytes);
            break;
    }
    std::string key(sizeof number, '\0');
    std::memcpy(key.data(), &number, sizeof number);
    return key;
}

std::string ProbeKey(const TExpToken& value) {
    return ProbeKey(value.DataType, value.Value(),
                    std::min<std::size_t>(value.DataSize, value.ValueCapacity()));
}

// The bytes of `table`'s records that `trees` and the plain result columns read, as the first
// byte and the end; the whole record where a tree reads more than plain fields.
std::pair<std::size_t, std::size_t> BytesRead(const TSourceTable& table,
                                              const std::vector<ResultColumnPlan>& plan,
                                              const std::vector<const TExpToken*>& trees) {
    const TDataCursor& cursor = *table.Table->cursor;
    const std::pair<std::size_t, std::size_t> whole{0, table.Record.size()};
    std::size_t first = whole.second;
    std::size_t end = 0;
    const auto field = [&](std::uint32_t number) {
        if (number == 0 || number > cursor.GetFieldCount()) {
            return false;
        }
        const FieldDescriptor& d = cursor.GetFieldDesc(number);
        // An auto-increment value is the record's ID in its header.
        const std::size_t at = FieldIsAutoInc(d) ? 0 : FieldOffset(d);
        const std::size_t after = FieldIsAutoInc(d) ? kRecordHeaderSize : at + 1 + FieldDataSize(d);
        if (after > whole.second) {
            return false;
        }
        first = std::min(first, at);
        end = std::max(end, after);
        return true;
    };
    for (const ResultColumnPlan& column : plan) {
        if (column.source == &table && !field(column.source_field)) {
            return whole;
        }
    }
    std::vector<const TExpToken*> stack(trees);
    for (const ResultColumnPlan& column : plan) {
        if (column.expression != nullptr) {
            stack.push_back(column.expression);
        }
    }
    while (!stack.empty()) {
        const TExpToken* node = stack.back();
        stack.pop_back();
        if (node == nullptr) {
            continue;
        }
        if (node->Kind == kTokenSubSelect || node->SubSelect != nullptr) {
            return whole;
        }
        if (node->Kind == kTokenColumn && node->SourceTable == &table && node->FieldNumber != 0 &&
            !field(node->FieldNumber)) {
            return whole;
        }
        stack.push_back(node->First.get());
        stack.push_back(node->Second.get());
        stack.push_back(node->Third.get());
    }
    return first < end ? std::pair{first, end} : std::pair{std::size_t{0}, std::size_t{1}};
}

// The filter "column = value" for one outer row's value.
ExpTokenPtr ProbeFilter(const TExpToken& column, ExpTokenPtr value, TDataCursor& cursor,
                        const SelectRun& run) {
    ExpTokenPtr equal = NewExpToken();
    equal->Kind = kTokenBinary;
    equal->Code = kOpEqual;
    equal->Text = "=";
    equal->DataType = kTypeBoolean;
    equal->SetDataSize(2);
    equal->First = CopyTokenTree(&column);
    equal->First->Parent = equal.get();
    value->Kind = kTokenConstant;
    value->Parent = equal.get();
    equal->Second = std::move(value);
    return PrepareFilterTree(*equal, NoColumns(), true, false, cursor.GetSortID(),
                             cursor.GetLanguageID(), &run.formats);
}

// Bytes of rows gathered before they go into the result together: one write of the data and
// one walk down the hidden index for many rows, in a block that stays in the processor's cache.
constexpr std::size_t kResultBlockBytes = std::size_t{256} << 10;

// Bytes of rows an ordered result gathers to sort in memory before they are written. Past it
// the table takes them and sorts itself on disk; a sort in memory is many times faster, so this
// allows more than a held result, bounded to stay well inside a desktop's memory.
constexpr std::int64_t kPendingSortBytes = std::int64_t{256} << 20;
constexpr std::size_t kPendingRowOverhead = sizeof(std::vector<std::uint8_t>) + 32;

// Memory the rows of one inner table may take when held.
constexpr std::int64_t kHeldRowsBudget = std::int64_t{64} << 20;

// The one table a condition part reads, and whether a cursor filter answers it exactly as the
// per-row evaluation does. Filters answer a comparison with NULL by "unknown" where the row
// evaluation says false, which differs once negated, so negations stay per row; so do
// sub-selects and BLOB columns, which a filter cannot read on its own.
struct PartTables {
    TSourceTable* table = nullptr;
    bool several = false;
    bool filterable = true;
};

void CollectPartTables(const TExpToken& node, PartTables& out) {
    if (FilterAnswersOtherwise(node)) {
        out.filterable = false;
    }
    if (node.Kind == kTokenColumn) {
        auto* table = static_cast<TSourceTable*>(node.SourceTable);
        if (table == nullptr || node.FieldNumber == 0 || node.DataType == kTypeBlob) {
            out.filterable = false;
        } else if (out.table == nullptr) {
            out.table = table;
        } else if (out.table != table) {
            out.several = true;
        }
    }
    for (const TExpToken* child : {node.First.get(), node.Second.get(), node.Third.get()}) {
        if (child != nullptr) {
            CollectPartTables(*child, out);
        }
    }
}

// Orders `order` (row positions 0, 1, ...) by keys that compare as plain bytes, equal keys in
// row order, as a stable sort by the keys gives them. Each row sorts by the eight bytes after
// the bytes every key shares, held beside its position, so that most comparisons read neither
// key; rows equal there compare the rest of their keys.
void SortPlainKeys(std::span<const std::uint8_t> keys, std::size_t key_size,
                   std::vector<std::size_t>& order) {
    const std::size_t rows = order.size();
    if (rows < 2 || key_size == 0) {
        return;
    }
    std::size_t shared = key_size;
    for (std::size_t i = 1; i < rows && shared > 0; ++i) {
        const std::uint8_t* a = keys.data();
        const std::uint8_t* b = keys.data() + i * key_size;
        shared = static_cast<std::size_t>(std::mismatch(a, a + shared, b).first - a);
    }
    const std::size_t lead = std::min<std::size_t>(8, key_size - shared);
    const std::size_t rest_at = shared + lead;
    struct Entry {
        std::uint64_t lead;
        std::size_t row;
    };
    std::vector<Entry> entries(rows);
    for (std::size_t i = 0; i < rows; ++i) {
        std::uint64_t value = 0;
        const std::uint8_t* key = keys.data() + order[i] * key_size + shared;
        for (std::size_t b = 0; b < 8; ++b) {
            value = (value << 8) | (b < lead ? key[b] : 0u);
        }
        entries[i] = {value, order[i]};
    }
    const std::size_t rest = key_size - rest_at;
    const auto before = [&](const Entry& a, const Entry& b) {
        if (a.lead != b.lead) {
            return a.lead < b.lead;
        }
        if (rest != 0) {
            const int c = std::memcmp(keys.data() + a.row * key_size + rest_at,
                                      keys.data() + b.row * key_size + rest_at, rest);
            if (c != 0) {
                return c < 0;
            }
        }
        return a.row < b.row;
    };
    // Many rows go by their leads' bytes, a byte at a time from the last (each pass keeps the
    // order of the one before), where a comparison sort mispredicts a branch at nearly every
    // other step; rows with equal leads are then ordered among themselves as the comparison
    // orders them.
    constexpr std::size_t kRadixRows = 256;
    if (rows < kRadixRows) {
        std::sort(entries.begin(), entries.end(), before);
    } else {
        std::array<std::array<std::size_t, 256>, 8> counts{};
        for (const Entry& entry : entries) {
            for (std::size_t b = 0; b < 8; ++b) {
                ++counts[b][(entry.lead >> (8 * b)) & 0xFF];
            }
        }
        std::vector<Entry> spare(rows);
        Entry* from = entries.data();
        Entry* to = spare.data();
        for (std::size_t b = 0; b < 8; ++b) {
            std::array<std::size_t, 256>& at = counts[b];
            // A byte every lead shares leaves the order as it is.
            if (at[(from[0].lead >> (8 * b)) & 0xFF] == rows) {
                continue;
            }
            std::size_t sum = 0;
            for (std::size_t& count : at) {
                const std::size_t n = count;
                count = sum;
                sum += n;
            }
            for (std::size_t i = 0; i < rows; ++i) {
                to[at[(from[i].lead >> (8 * b)) & 0xFF]++] = from[i];
            }
            std::swap(from, to);
        }
        for (std::size_t i = 0; i < rows;) {
            std::size_t j = i + 1;
            while (j < rows && from[j].lead == from[i].lead) {
                ++j;
            }
            if (j - i > 1) {
                std::sort(from + i, from + j, before);
            }
            i = j;
        }
        for (std::size_t i = 0; i < rows; ++i) {
            order[i] = from[i].row;
        }
        return;
    }
    for (std::size_t i = 0; i < rows; ++i) {
        order[i] = entries[i].row;
    }
}

}  // namespace

bool TDataQuery::LiveConditionFits() const {
    // A live result is restricted by cursor filters alone, so its rows are those a canned
    // result would hold only when filters answer every part alike.
    if (!Condition) {
        return true;
    }
    std::vector<const TExpToken*> stack{Condition.get()};
    while (!stack.empty()) {
        const TExpToken* node = stack.back();
        stack.pop_back();
        if (FilterAnswersOtherwise(*node)) {
            return false;
        }
        for (const TExpToken* child : {node->First.get(), node->Second.get(), node->Third.get()}) {
            if (child != nullptr) {
                stack.push_back(child);
            }
        }
    }
    return true;
}

ExpTokenPtr TDataQuery::LiveTree(const TExpToken& tree) const {
    ExpTokenPtr copy = CopyTokenTree(&tree);
    std::vector<TExpToken*> stack{copy.get()};
    while (!stack.empty()) {
        TExpToken* node = stack.back();
        stack.pop_back();
        node->IsParameter = false;
        if (node->Kind == kTokenColumn && node->FieldNumber != 0) {
            if (node->FieldNumber >= live_positions_.size()) {
                Fail("Internal table filter error");
            }
            node->FieldNumber = live_positions_[node->FieldNumber];
        }
        for (TExpToken* child : {node->First.get(), node->Second.get(), node->Third.get()}) {
            if (child != nullptr) {
                stack.push_back(child);
            }
        }
    }
    return copy;
}

TDataCursor& TDataQuery::ExecuteLive(SelectRun& run) {
    TDataCursor& cursor = *SourceTables.front()->Table->cursor;
    cursor.SetIndex(ResultIndex);
    if (Condition) {
        const ExpTokenPtr bound = LiveTree(*Condition);
        ExpTokenPtr prepared =
            PrepareFilterTree(*bound, NoColumns(), true, false, cursor.GetSortID(),
                              cursor.GetLanguageID(), &run.formats);
        // Nothing else restricts the rows: a condition that gives no filter is an error, not
        // every row.
        if (!prepared) {
            Fail("Internal table filter error");
        }
        TDataCursor::FilterOptions options;
        options.no_partial_compare = true;
        TFilter* filter = cursor.AddFilter(std::move(prepared), options);
        if (filter == nullptr) {
            Fail("Internal table filter error");
        }
        cursor.ActivateFilter(filter);
    }
    cursor.First();
    return cursor;
}

bool TDataQuery::PlaceConditionParts(SelectRun& run, bool all_parts) {
    // A part a table's cursor answers through its indexes restricts that table before the
    // loops; all_parts places every one-table part, whatever its index support.
    const ColumnReader no_columns = [](const std::byte* /*record*/, TExpToken& column) {
        column.IsNull = true;
    };
    std::vector<std::pair<TSourceTable*, ExpTokenPtr>> filters;
    auto place = [&](TSourceTable& table, const TExpToken& part) {
        TDataCursor& cursor = *table.Table->cursor;
        if (!ComparesAsRun(cursor, run)) {
            return false;
        }
        ExpTokenPtr prepared = FilterCopy(part, cursor, run.formats);
        if (!prepared) {
            return false;
        }
        // A part the indexes answer at least in part (class 0 or 1, or narrowed by an index)
        // restricts its table now, so that the record counts that choose the loop order see it.
        // With the estimate, a comparison that selects over 90 % of the records counts as
        // unanswered: scanning its keys costs more than reading the rows.
        if (!all_parts && !cursor.FilterNodeUsesIndex(*prepared, true)) {
            // UPPER(c) or LOWER(c) compared with a text: an index on c that ignores case
            // narrows the rows, which are then checked exactly, as they are read when the table
            // stands alone, by the filter itself otherwise.
            ExpTokenPtr wider = cursor.CaseInsensitiveSuperset(*prepared);
            if (!wider) {
                return false;
            }
            if (SourceTables.size() == 1) {
                run.driving_checks.push_back(std::move(prepared));
                prepared = std::move(wider);
            } else {
                prepared = AndJoin(std::move(wider), std::move(prepared));
            }
        } else if (!all_parts && SourceTables.size() == 1) {
            // A lone table's rows are read once anyway: a case-sensitive comparison that a
            // case-insensitive index only narrows takes the index's answer as its filter and is
            // checked exactly as the rows are read. A count alone reads no rows, so there the
            // filter checks.
            if (ExpTokenPtr wider = cursor.CaseInsensitiveSuperset(*prepared)) {
                run.driving_checks.push_back(std::move(prepared));
                prepared = std::move(wider);
            }
        }
        auto found = std::find_if(filters.begin(), filters.end(),
                                  [&](const auto& entry) { return entry.first == &table; });
        if (found == filters.end()) {
            filters.emplace_back(&table, std::move(prepared));
        } else {
            found->second = AndJoin(std::move(found->second), std::move(prepared));
        }
        return true;
    };
    auto null_extended = [&](const TSourceTable& table) {
        return SourceTables.size() > 1 && table.JoinKind == kJoinLeft &&
               table.JoinCondition != nullptr;
    };

    // The WHERE parts and the inner ON parts restrict the combined rows alike.
    std::vector<const TExpToken*> parts;
    bool any_join = false;
    if (WhereCondition != nullptr) {
        SplitConjuncts(WhereCondition, parts);
    }
    for (const auto& source : SourceTables) {
        if (source->JoinCondition != nullptr) {
            any_join = true;
            if (source->JoinKind == kJoinInner) {
                SplitConjuncts(source->JoinCondition, parts);
            }
        }
    }
    if (!any_join && WhereCondition == nullptr && Condition) {
        SplitConjuncts(Condition.get(), parts);
    }
    bool all_placed = true;
    for (const TExpToken* part : parts) {
        PartTables tables;
        CollectPartTables(*part, tables);
        bool placed = false;
        if (tables.table != nullptr && !tables.several && tables.filterable) {
            TSourceTable& table = *tables.table;
            if (!null_extended(table)) {
                placed = place(table, *part);
            } else if (!IsTrue(*EvaluateExpression(*part, nullptr, run.sort, run.language,
                                                   no_columns, &run.formats))) {
                // Only a part that rejects the null row may narrow a LEFT join's inner side;
                // the row check stays, for the outer rows that then meet no inner row.
                place(table, *part);
            }
        }
        if (!placed) {
            run.final_checks.push_back(part);
            all_placed = false;
        }
    }
    // A LEFT join's ON parts about its inner table only choose which inner rows join; the ON
    // condition is still checked per row.
    for (const auto& source : SourceTables) {
        if (source->JoinKind != kJoinLeft || source->JoinCondition == nullptr) {
            continue;
        }
        std::vector<const TExpToken*> on_parts;
        SplitConjuncts(source->JoinCondition, on_parts);
        for (const TExpToken* part : on_parts) {
            PartTables tables;
            CollectPartTables(*part, tables);
            if (tables.table == source.get() && !tables.several && tables.filterable) {
                place(*source, *part);
            }
        }
    }
    for (auto& [table, tree] : filters) {
        TDataCursor& cursor = *table->Table->cursor;
        TDataCursor::FilterOptions options;
        options.no_partial_compare = true;
        TFilter* filter = cursor.AddFilter(std::move(tree), options);
        if (filter != nullptr) {
            cursor.ActivateFilter(filter);
        }
    }
    return all_placed;
}

void TDataQuery::PlaceDrivingParts(SelectRun& run) {
    // The driving table is read once: a part about it alone that no index answers costs one
    // pass as a filter, where as a row check it would wait for every row joined to it.
    TSourceTable& driving = *run.order.front();
    if (SourceTables.size() < 2 || (driving.JoinKind == kJoinLeft && driving.JoinCondition) ||
        !ComparesAsRun(*driving.Table->cursor, run)) {
        return;
    }
    ExpTokenPtr tree;
    std::vector<const TExpToken*> rest;
    for (const TExpToken* part : run.final_checks) {
        PartTables tables;
        CollectPartTables(*part, tables);
        ExpTokenPtr prepared;
        if (tables.table == &driving && !tables.several && tables.filterable) {
            prepared = FilterCopy(*part, *driving.Table->cursor, run.formats);
        }
        if (!prepared) {
            rest.push_back(part);
            continue;
        }
        tree = AndJoin(std::move(tree), std::move(prepared));
    }
    if (!tree) {
        return;
    }
    TDataCursor::FilterOptions options;
    options.no_partial_compare = true;
    TFilter* filter = driving.Table->cursor->AddFilter(std::move(tree), options);
    if (filter == nullptr) {
        return;
    }
    driving.Table->cursor->ActivateFilter(filter);
    run.final_checks = std::move(rest);
}

void TDataQuery::DropSourceFilters() noexcept {
    for (const auto& source : SourceTables) {
        try {
            if (source->Table && source->Table->cursor->FilterCount() != 0) {
                source->Table->cursor->DropFilter(nullptr);
            }
        } catch (...) {
            // The cursor goes with the query; a failed drop leaves nothing to restore.
        }
    }
}

void TDataQuery::PlanLoops(SelectRun& run) {
    run.order.clear();
    for (const auto& source : SourceTables) {
        run.order.push_back(source.get());
    }
    auto null_extended = [&](const TSourceTable& table) {
        return SourceTables.size() > 1 && table.JoinKind == kJoinLeft &&
               table.JoinCondition != nullptr;
    };
    // Inner joins only: through a LEFT join the order is part of the meaning. The table with
    // the fewest visible records, after its filters, drives; the others keep their order.
    const bool any_left = std::any_of(SourceTables.begin(), SourceTables.end(),
                                      [&](const auto& source) { return null_extended(*source); });
    if (!NoJoinOptimize && !any_left && run.order.size() > 1) {
        std::size_t best = 0;
        std::int64_t fewest = run.order[0]->Table->cursor->GetRecordCount();
        for (std::size_t i = 1; i < run.order.size(); ++i) {
            const std::int64_t count = run.order[i]->Table->cursor->GetRecordCount();
            if (count < fewest) {
                best = i;
                fewest = count;
            }
        }
        std::rotate(run.order.begin(), run.order.begin() + static_cast<std::ptrdiff_t>(best),
                    run.order.begin() + static_cast<std::ptrdiff_t>(best) + 1);
    }
    run.probes.clear();
    run.probes.resize(run.order.size());
    for (std::size_t level = 1; level < run.order.size(); ++level) {
        const TSourceTable* table = run.order[level];
        // A LEFT join's inner rows are chosen by its ON condition alone; the WHERE parts and
        // inner ON parts restrict any other table.
        std::vector<const TExpToken*> parts;
        if (null_extended(*table)) {
            SplitConjuncts(table->JoinCondition, parts);
        } else {
            parts = run.final_checks;
        }
        for (const TExpToken* part : parts) {
            if (run.probes[level].column != nullptr) {
                break;
            }
            if (part->Kind != kTokenBinary || part->Code != kOpEqual || !part->First ||
                !part->Second) {
                continue;
            }
            for (const auto& [column, outer] : {std::pair{part->First.get(), part->Second.get()},
                                                std::pair{part->Second.get(), part->First.get()}}) {
                if (column->Kind != kTokenColumn || column->SourceTable != table ||
                    column->FieldNumber == 0 || column->DataType == kTypeBlob ||
                    outer->DataType != column->DataType) {
                    continue;
                }
                std::vector<const TSourceTable*> read;
                if (!TablesRead(*outer, read) || read.empty()) {
                    continue;
                }
                const bool outer_only = std::all_of(read.begin(), read.end(), [&](auto* t) {
                    return std::find(run.order.begin(),
                                     run.order.begin() + static_cast<std::ptrdiff_t>(level),
                                     t) != run.order.begin() + static_cast<std::ptrdiff_t>(level);
                });
                if (outer_only) {
                    run.probes[level].column = column;
                    run.probes[level].outer = outer;
                    if (!null_extended(*table)) {
                        run.probes[level].part = part;
                    }
                    break;
                }
            }
        }
    }
}

void TDataQuery::NarrowByProbe(std::size_t level, SelectRun& run) {
    SelectRun::Probe& probe = run.probes[level];
    if (probe.column == nullptr || !probe.usable) {
        return;
    }
    TDataCursor& cursor = *run.order[level]->Table->cursor;
    if (!ComparesAsRun(cursor, run)) {
        probe.usable = false;
        return;
    }
    ExpTokenPtr value = EvaluateOnSources(*probe.outer, run);
    if (value->IsNull) {
        // This engine's NULL = NULL holds, which an index lookup does not answer: the row
        // check decides over every record.
        if (probe.active) {
            cursor.DeactivateFilter(probe.filter);
            probe.active = false;
        }
        return;
    }
    ExpTokenPtr prepared = ProbeFilter(*probe.column, std::move(value), cursor, run);
    if (probe.filter == nullptr) {
        if (!prepared || cursor.ClassifyFilterNode(*prepared, 0, false) > 1) {
            // No index answers it: a filter would read every record for every outer row.
            probe.usable = false;
            return;
        }
        TDataCursor::FilterOptions options;
        options.no_partial_compare = true;
        probe.filter = cursor.AddFilter(std::move(prepared), options);
        cursor.ActivateFilter(probe.filter);
        probe.active = true;
        return;
    }
    if (!probe.active) {
        cursor.ActivateFilter(probe.filter);
        probe.active = true;
    }
    cursor.SetFilterExpression(std::move(prepared), probe.filter);
}

bool TDataQuery::HoldRows(std::size_t level, SelectRun& run) {
    SelectRun::Probe& probe = run.probes[level];
    if (probe.hold_decided) {
        return probe.held != nullptr;
    }
    if (probe.column == nullptr || !HoldableType(probe.column->DataType)) {
        probe.hold_decided = true;
        return false;
    }
    TSourceTable& table = *run.order[level];
    TDataCursor& cursor = *table.Table->cursor;
    // An index that answers the probe exactly reads only the matching records; anything less
    // reads records for every outer row, where holding them reads each once. A null outer
    // value tells nothing about the index: the next row decides.
    ExpTokenPtr value = EvaluateOnSources(*probe.outer, run);
    if (value->IsNull) {
        return false;
    }
    probe.hold_decided = true;
    const ExpTokenPtr prepared = ProbeFilter(*probe.column, std::move(value), cursor, run);
    if (prepared && ComparesAsRun(cursor, run) &&
        cursor.ClassifyFilterNode(*prepared, 0, false) == 0) {
        return false;
    }
    // BLOB values are read through the cursor's position, which held rows do not keep.
    for (std::uint32_t n = 1; n <= cursor.GetFieldCount(); ++n) {
        if (FieldType(cursor.GetTableFieldDesc(n)) == kTypeBlob) {
            return false;
        }
    }
    const std::int64_t count = cursor.GetRecordCount();
    // Every tree a held row is read through: the conditions and the row checks.
    std::vector<const TExpToken*> trees{Condition.get(), Remainder.get(), RowCondition.get()};
    trees.insert(trees.end(), run.final_checks.begin(), run.final_checks.end());
    for (const auto& source : SourceTables) {
        trees.push_back(source->JoinCondition);
    }
    const auto [first, end] = BytesRead(table, result_plan_, trees);
    if (count * static_cast<std::int64_t>(end - first + 64) > kHeldRowsBudget) {
        return false;
    }
    auto held = std::make_unique<SelectRun::HeldRows>();
    held->use_collation = probe.column->DataType == kTypeString && run.language != 0;
    if (held->use_collation) {
        held->collated = decltype(held->collated)(
            [language = run.language, sort = run.sort](const std::string& a, const std::string& b) {
                return CompareStrings(language, sort, a, false, 0, b) < 0;
            });
    }
    held->size = table.Record.size();
    held->lead = first;
    held->stride = end - first;
    held->all.reserve(static_cast<std::size_t>(count));
    std::vector<std::uint8_t> saved = table.Record;
    table.NullRow = false;
    // Each row's probe value is read into one copy of the column's node, reused row by row.
    ExpTokenPtr held_value = NewExpToken();
    held_value->Assign(*probe.column);
    held_value->Parent = nullptr;
    const bool read_directly = held_value->ValueCapacity() >= held_value->DataSize;
    const ColumnReader read_value = SourceReader();
    // A stored field of the probe's type gives its key from the record's bytes, as reading
    // its value would.
    const FieldDescriptor& probe_field = cursor.GetFieldDesc(probe.column->FieldNumber);
    const std::size_t probe_at = FieldOffset(probe_field);
    const std::size_t probe_size = FieldDataSize(probe_field);
    const bool key_from_bytes = !FieldIsAutoInc(probe_field) &&
                                FieldType(probe_field) == probe.column->DataType &&
                                probe_at + 1 + probe_size <= table.Record.size();
    std::string key;
    const auto hold = [&] {
        bool is_null = true;
        if (key_from_bytes) {
            const std::uint8_t* field = table.Row().data() + probe_at;
            is_null = field[0] == 0;
            if (!is_null) {
                key = ProbeKey(probe.column->DataType,
                               reinterpret_cast<const std::byte*>(field + 1), probe_size);
            }
        } else {
            if (read_directly) {
                read_value(nullptr, *held_value);
            } else {
                held_value = EvaluateOnSources(*probe.column, run);
            }
            is_null = held_value->IsNull;
            if (!is_null) {
                key = ProbeKey(*held_value);
            }
        }
        const std::size_t next = held->groups.size();
        std::size_t group = next;
        if (is_null) {
            if (held->null_group == SIZE_MAX) {
                held->null_group = next;
            }
            group = held->null_group;
        } else if (held->use_collation) {
            group = held->collated.try_emplace(key, next).first->second;
        } else {
            group = held->by_bytes.try_emplace(key, next).first->second;
        }
        if (group == next) {
            held->groups.emplace_back();
        }
        std::copy_n(table.Row().data() + held->lead, held->stride, held->Add(group));
    };
    const bool scanned = cursor.ScanRecords([&](ConstRecordBuffer record) {
        ViewScanned(record, table);
        hold();
        return true;
    });
    table.ViewRow(nullptr);
    if (!scanned) {
        cursor.First();
        while (cursor.GetNextRecord(table.Record) == kErrNone) {
            hold();
        }
    }
    table.Record = std::move(saved);
    probe.held = std::move(held);
    return true;
}

void TDataQuery::ProduceHeldRows(std::size_t level, SelectRun& run) {
    SelectRun::Probe& probe = run.probes[level];
    const SelectRun::HeldRows& held = *probe.held;
    TSourceTable& table = *run.order[level];
    const ExpTokenPtr value = EvaluateOnSources(*probe.outer, run);
    // Equal keys mean equal values, so the equality holds for every row found where the
    // value's bytes decide it: strings outside a collation and whole numbers (not floats,
    // where NaN equals nothing, nor booleans, whose key stands for any true value).
    const auto type = value->DataType;
    const bool answered = !value->IsNull && probe.part != nullptr && !held.use_collation &&
                          (type == kTypeString || type == kTypeSmallInt || type == kTypeInteger ||
                           type == kTypeWord || type == kTypeDate || type == kTypeTime);
    if (answered) {
        run.answered.push_back(probe.part);
    }
    struct Answered {
        SelectRun& run;
        bool pushed;
        ~Answered() {
            if (pushed) {
                run.answered.pop_back();
            }
        }
    } answered_scope{run, answered};
    const bool left = table.JoinKind == kJoinLeft && table.JoinCondition != nullptr;
    bool matched = false;
    table.NullRow = false;
    const auto visit = [&](const std::uint8_t* row) {
        table.ViewRow(row);
        if (left && !IsTrue(*EvaluateOnSources(*table.JoinCondition, run))) {
            return;
        }
        matched = true;
        ProduceRows(level + 1, run);
    };
    if (value->IsNull) {
        // A null outer value may still meet rows (NULL = NULL holds): the row check decides
        // over every row then.
        for (const std::uint8_t* row : held.all) {
            if (run.stopped) {
                return;
            }
            visit(row);
        }
    } else {
        const std::string key = ProbeKey(*value);
        std::size_t group = SIZE_MAX;
        if (held.use_collation) {
            if (const auto found = held.collated.find(key); found != held.collated.end()) {
                group = found->second;
            }
        } else if (const auto found = held.by_bytes.find(key); found != held.by_bytes.end()) {
            group = found->second;
        }
        if (group != SIZE_MAX) {
            for (const SelectRun::HeldRows::Stretch& stretch : held.groups[group]) {
                for (std::size_t row = 0; row < stretch.count; ++row) {
                    if (run.stopped) {
                        return;
                    }
                    visit(held.View(stretch, row));
                }
            }
        }
    }
    if (left && !matched && !run.stopped) {
        table.NullRow = true;
        ProduceRows(level + 1, run);
        table.NullRow = false;
    }
}

namespace {

// Whether a record's text at `column` was met before, where the text is short enough to be
// its own word (up to seven bytes) or null: 1 for a repeat, 0 for a new value (remembered from
// then on), -1 where the value is longer or the record cannot be read so. The keys of longer
// values never hold the same value as a word.
int ShortTextRepeat(DistinctWords& words, const SelectRun::KeyColumn& column,
                    std::span<const std::uint8_t> record) {
    if constexpr (std::endian::native == std::endian::little) {
        if (!column.text || column.at + 9 > record.size() ||
            column.at + 1 + column.size > record.size()) {
            return -1;
        }
        constexpr std::uint64_t kNullWord = std::uint64_t{0xFE} << 56;
        if (record[column.at] == 0) {
            return words.Insert(kNullWord) ? 0 : 1;
        }
        std::uint64_t word = 0;
        std::memcpy(&word, record.data() + column.at + 1, 8);
        // The lowest zero byte is found exactly; a false mark can only lie above it.
        const std::uint64_t zeros = (word - 0x0101010101010101ull) & ~word & 0x8080808080808080ull;
        const std::size_t length = std::min<std::size_t>(
            zeros == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(zeros)) / 8, column.size);
        if (length >= 8) {
            return -1;
        }
        word = length == 0 ? 0 : word & (~std::uint64_t{0} >> (64 - 8 * length));
        return words.Insert(word) ? 0 : 1;
    }
    return -1;
}

}  // namespace

void TDataQuery::ProduceRows(std::size_t level, SelectRun& run) {
    if (run.stopped) {
        return;
    }
    if (level == run.order.size()) {
        for (const TExpToken* check : run.final_checks) {
            if (std::find(run.answered.begin(), run.answered.end(), check) != run.answered.end()) {
                continue;
            }
            if (!IsTrue(*EvaluateOnSources(*check, run))) {
                return;
            }
        }
        EmitRow(run);
        return;
    }
    if (level > 0 && HoldRows(level, run)) {
        ProduceHeldRows(level, run);
        return;
    }
    TSourceTable& table = *run.order[level];
    TDataCursor& cursor = *table.Table->cursor;
    NarrowByProbe(level, run);
    const bool left = table.JoinKind == kJoinLeft && table.JoinCondition != nullptr;
    bool matched = false;
    table.NullRow = false;
    const auto visit = [&] {
        if (left && !IsTrue(*EvaluateOnSources(*table.JoinCondition, run))) {
            return;
        }
        matched = true;
        ProduceRows(level + 1, run);
    };
    // What the driving table's records are checked for before they become its current row:
    // the exact checks of filters that only narrowed, and, for DISTINCT over this table alone,
    // whether the values were met before.
    const bool distinct_early = level == 0 && run.order.size() == 1 && run.duplicates_by_source &&
                                run.final_checks.empty() && !left;
    std::vector<std::function<bool(ConstRecordBuffer)>> checks;
    if (level == 0) {
        for (const ExpTokenPtr& check : run.driving_checks) {
            checks.push_back(cursor.RecordMatcher(*check, run.formats));
        }
    }
    const auto driving = [&](ConstRecordBuffer record) {
        if (!CountDrivingRow(run)) {
            return false;
        }
        for (const auto& check : checks) {
            if (!check(record)) {
                return true;
            }
        }
        if (distinct_early && RepeatedSourceRow(run, record)) {
            // The row counts as produced, as EmitRow counts a repeat it drops.
            if (!ImplicitGroup && MaxRowCount >= 0 && run.produced >= MaxRowCount) {
                run.stopped = true;
                return false;
            }
            ++run.produced;
            return true;
        }
        // Read where it lies: the scan's block, or the record buffer itself.
        if (record.data() != table.Record.data()) {
            ViewScanned(record, table);
        } else {
            table.ViewRow(nullptr);
        }
        run.row_known_new = distinct_early;
        visit();
        run.row_known_new = false;
        return !run.stopped;
    };
    table.ViewRow(nullptr);
    // DISTINCT of one column of one table, with nothing to check and no row limit (which
    // counts repeats): an index holding the values gives one record per value.
    const bool by_values = distinct_early && result_plan_.size() == 1 && checks.empty() &&
                           MaxRowCount < 0 && !ImplicitGroup;
    if (by_values && cursor.ScanDistinct(result_plan_.front().source_field, driving)) {
        table.ViewRow(nullptr);
        if (OnProgress && !run.stopped) {
            OnProgress(run.driving_count, 100);
        }
        return;
    }
    // The same DISTINCT without an index: read a block at a time, each record's value looked up
    // straight from the block, since most are repeats.
    if (by_values && cursor.ScanRecordBlocks([&](const TDataCursor::ScannedBlock& block) {
            const SelectRun::KeyColumn* column =
                run.key_columns.size() == 1 && run.key_columns.front().source == &table
                    ? &run.key_columns.front()
                    : nullptr;
            for (const std::uint32_t number : block.numbers) {
                const ConstRecordBuffer record = block.Record(number);
                if (!CountDrivingRow(run)) {
                    return false;
                }
                const int repeat =
                    column != nullptr ? ShortTextRepeat(run.distinct_words, *column, record) : -1;
                if (repeat == 1 || (repeat < 0 && RepeatedSourceRow(run, record))) {
                    ++run.produced;
                    continue;
                }
                if (column == nullptr && run.key_columns.size() == 1 &&
                    run.key_columns.front().source == &table) {
                    column = &run.key_columns.front();
                }
                ViewScanned(record, table);
                run.row_known_new = true;
                visit();
                run.row_known_new = false;
                if (run.stopped) {
                    return false;
                }
            }
            return true;
        })) {
        table.ViewRow(nullptr);
        return;
    }
    // The driving table is read once, start to end: in large blocks where its cursor can.
    const bool scanned = level == 0 && cursor.ScanRecords(driving);
    table.ViewRow(nullptr);
    if (!scanned) {
        cursor.First();
        while (!run.stopped && cursor.GetNextRecord(table.Record) == kErrNone) {
            if (level == 0) {
                driving(table.Record);
            } else {
                visit();
            }
        }
    }
    if (left && !matched && !run.stopped) {
        table.NullRow = true;
        ProduceRows(level + 1, run);
        table.NullRow = false;
    }
}

bool TDataQuery::CountDrivingRow(SelectRun& run) {
    ++run.driving_row;
    if (OnProgress) {
        const int percent = run.driving_count > 0
                                ? static_cast<int>(std::min<std::int64_t>(
                                      run.driving_row * 100 / run.driving_count, 100))
                                : 100;
        if (!OnProgress(run.driving_row, percent)) {
            run.stopped = true;
            return false;
        }
    }
    return true;
}

namespace {

// Where each of `columns` (result column positions) finds its source value.
std::vector<SelectRun::KeyColumn> KeyColumnsOf(const std::vector<ResultColumnPlan>& plan,
                                               const std::vector<std::size_t>& columns) {
    std::vector<SelectRun::KeyColumn> keys;
    for (const std::size_t i : columns) {
        const ResultColumnPlan& column = plan[i];
        const TDataCursor& cursor = *column.source->Table->cursor;
        const FieldDescriptor& field = cursor.GetFieldDesc(column.source_field);
        keys.push_back(
            {column.source, &cursor, column.source_field, FieldOffset(field), FieldDataSize(field),
             FieldType(field) == kTypeString && !FieldIsAutoInc(field) && !FieldNotStored(field),
             FieldType(field) == kTypeFloat});
    }
    return keys;
}

// The bytes of the current rows' source values at `columns` into `key`, with the driving
// table's record given as `driving` (or its own buffer when empty). Equal bytes mean equal
// values; a text is its bytes up to its end, so what a field holds past that end makes no
// difference.
std::string_view SourceKey(const SelectRun& run, const std::vector<SelectRun::KeyColumn>& columns,
                           std::span<const std::uint8_t> driving, std::vector<std::uint8_t>& value,
                           std::string& key) {
    // Written through a pointer into a buffer sized once for the longest key: a mark and each
    // value with its end.
    std::size_t longest = 0;
    for (const SelectRun::KeyColumn& column : columns) {
        longest += column.size + 3;
    }
    if (key.size() < longest) {
        key.resize(longest);
    }
    char* const start = key.data();
    char* out = start;
    for (const SelectRun::KeyColumn& column : columns) {
        const TSourceTable& source = *column.source;
        if (source.NullRow) {
            *out++ = '\0';
            continue;
        }
        const std::span<const std::uint8_t> record =
            !driving.empty() && &source == run.order.front() ? driving : source.Row();
        if (column.text && column.at + 1 + column.size <= record.size()) {
            if (record[column.at] == 0) {
                *out++ = '\1';
                continue;
            }
            const auto* text = reinterpret_cast<const char*>(record.data() + column.at + 1);
            const std::size_t length = strnlen(text, column.size);
            if constexpr (std::endian::native == std::endian::little) {
                // A short text goes in with its mark and end as one word: the lookup then reads
                // the key as the word it was written as, without waiting for byte writes.
                if (length <= 6 && column.at + 9 <= record.size() &&
                    out + 8 <= start + key.size()) {
                    std::uint64_t word = 0;
                    std::memcpy(&word, text, 8);
                    word = length == 0 ? 0 : word & (~std::uint64_t{0} >> (64 - 8 * length));
                    word = (word << 8) | 2u;
                    std::memcpy(out, &word, 8);
                    out += length + 2;
                    continue;
                }
            }
            *out++ = '\2';
            std::memcpy(out, text, length);
            out += length;
            *out++ = '\0';
            continue;
        }
        const std::span<std::uint8_t> bytes =
            std::span(value).first(std::min(value.size(), column.size + 1));
        bool is_null = true;
        column.cursor->GetField(column.field, record, is_null, bytes);
        *out++ = is_null ? '\1' : '\2';
        if (!is_null) {
            if (column.real) {
                PositiveZero(bytes);
            }
            std::memcpy(out, bytes.data(), bytes.size());
            out += bytes.size();
        }
    }
    return {start, static_cast<std::size_t>(out - start)};
}

}  // namespace

bool TDataQuery::RepeatedSourceRow(SelectRun& run, std::span<const std::uint8_t> driving) {
    // Rows whose source values have the same bytes give the same result row: a repeat is
    // dropped before its row is built. Different bytes may still give equal rows, which the
    // final sort by every column removes.
    if (run.key_columns.empty()) {
        std::vector<std::size_t> all(result_plan_.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            all[i] = i;
        }
        run.key_columns = KeyColumnsOf(result_plan_, all);
    }
    if (run.key_columns.size() == 1) {
        const SelectRun::KeyColumn& column = run.key_columns.front();
        const TSourceTable& source = *column.source;
        if (!source.NullRow) {
            const int repeat = ShortTextRepeat(
                run.distinct_words, column,
                !driving.empty() && &source == run.order.front() ? driving : source.Row());
            if (repeat >= 0) {
                return repeat != 0;
            }
        }
    }
    return !run.distinct_rows.Insert(SourceKey(run, run.key_columns, driving, run.value, run.key));
}

const TExpToken& TDataQuery::AggregateArgument(SelectRun& run, std::size_t column,
                                               ExpTokenPtr& evaluated) {
    const TExpToken& expression = *result_plan_[column].expression;
    if (run.aggregate_arguments.empty()) {
        run.aggregate_arguments.resize(result_plan_.size());
    }
    ExpTokenPtr& argument = run.aggregate_arguments[column];
    // A plain column evaluates to its value read into a copy of its node: the copy is kept and
    // read again for every row.
    if (!argument && expression.Kind == kTokenColumn && expression.SourceTable != nullptr &&
        expression.FieldNumber != 0 && expression.ColumnName != "*") {
        argument = NewExpToken();
        argument->Assign(expression);
        argument->Parent = nullptr;
    }
    if (!argument) {
        evaluated = EvaluateOnSources(expression, run);
        return *evaluated;
    }
    SourceReader()(nullptr, *argument);
    argument->Kind = kTokenConstant;
    return *argument;
}

void TDataQuery::EmitRow(SelectRun& run) {
    TDataCursor& result = *result_->cursor;
    // MaxRowCount counts produced rows; the single implicit group is never limited.
    if (!ImplicitGroup && MaxRowCount >= 0 && run.produced >= MaxRowCount) {
        run.stopped = true;
        return;
    }
    ++run.produced;
    if (run.duplicates_by_source && !run.row_known_new && RepeatedSourceRow(run, {})) {
        return;
    }
    if (run.groups_by_source) {
        const auto [number, added] = run.group_keys.Add(
            SourceKey(run, run.group_key_columns, {}, run.value, run.source_key));
        if (!added) {
            AddToAggregates(run, run.groups_by_key[number]->accumulators);
            return;
        }
    }
    std::vector<std::uint8_t>& record = run.record;
    run.row_memos.clear();
    result.InitNewRecord(record);
    for (std::size_t i = 0; i < result_plan_.size(); ++i) {
        const ResultColumnPlan& column = result_plan_[i];
        const auto number = static_cast<std::uint32_t>(i + 1);
        if (column.aggregate != kAggregateNone) {
            continue;
        }
        if (column.source != nullptr) {
            if (column.source->NullRow) {
                result.PutField(number, record, nullptr);
                continue;
            }
            TDataCursor& source = *column.source->Table->cursor;
            if (FieldType(column.descriptor) == kTypeBlob) {
                const std::vector<std::uint8_t> bytes = ReadBlobBytes(
                    source, column.source_field, column.source->Row(), column.source->TableName);
                PutMemo(run, result, number, record, bytes, TableName);
                continue;
            }
            if (const auto& copy = run.copies[i]) {
                result.CopyField(*copy, record, column.source->Row());
                continue;
            }
            // The field's bytes and a terminating zero: no more is cleared per row.
            std::vector<std::uint8_t>& value = run.value;
            const std::span<std::uint8_t> bytes(
                value.data(),
                std::min(value.size(),
                         std::max<std::size_t>(FieldDataSize(column.descriptor) + 1, 16)));
            bool is_null = true;
            source.GetField(column.source_field, column.source->Row(), is_null, bytes);
            result.PutField(number, record, is_null ? nullptr : value.data());
            continue;
        }
        const ExpTokenPtr value = EvaluateOnSources(*column.expression, run);
        if (FieldType(column.descriptor) == kTypeBlob) {
            // A memo expression's text goes into the result's blob as a memo column's does; the
            // field itself holds only the blob's reference.
            std::size_t size = 0;
            if (!value->IsNull) {
                size = value->DataType == kTypeString
                           ? value->ValueText().size()
                           : std::min<std::size_t>(value->DataSize, value->ValueCapacity());
            }
            PutMemo(run, result, number, record,
                    {reinterpret_cast<const std::uint8_t*>(value->Value()), size}, TableName);
            continue;
        }
        // Cleared only for a row that has an expression column.
        ColumnValueBuffer buffer{};
        const auto bytes = PrepareColumnValue(*value, column.descriptor, buffer, run.formats,
                                              column.field->ExpressionText, "SELECT");
        result.PutField(
            number, record,
            value->IsNull ? nullptr : reinterpret_cast<const std::uint8_t*>(bytes.data()));
    }
    if (!run.grouped) {
        if (run.drop_duplicates && !run.duplicates_by_source) {
            RowKey(record, run.key);
            if (!run.distinct_rows.Insert(run.key)) {
                return;
            }
        }
        if (run.sort_pending) {
            run.Pend(record);
            // A row's own bytes, its buffer's bookkeeping and its place in the sort.
            run.pending_bytes += static_cast<std::int64_t>(record.size() + kPendingRowOverhead);
            if (run.pending_bytes > kPendingSortBytes) {
                // Too many to sort in memory: the table takes them and sorts itself.
                InsertPendingRows(run, false);
            }
            return;
        }
        InsertResultRow(record);
        return;
    }
    RowKey(record, run.key, &group_columns_);
    auto found = run.groups.find(run.key);
    const bool inserted = found == run.groups.end();
    if (inserted) {
        found = run.groups.try_emplace(run.key).first;
    }
    SelectRun::Group& group = found->second;
    if (inserted) {
        group.record = record;
        group.memos = std::move(run.row_memos);
        run.row_memos.clear();
        for (const ResultColumnPlan& column : result_plan_) {
            group.accumulators.emplace_back(
                column.aggregate,
                column.expression != nullptr ? column.expression->DataType : kTypeInteger,
                column.count_star);
        }
    } else {
        // A plain column of a group keeps the last non-null value met. A grouping column's
        // bytes are the group's key, the same in every row of it.
        for (std::size_t i = 0; i < result_plan_.size(); ++i) {
            if (result_plan_[i].aggregate != kAggregateNone ||
                std::find(group_columns_.begin(), group_columns_.end(), i) !=
                    group_columns_.end()) {
                continue;
            }
            if (FieldType(result_plan_[i].descriptor) == kTypeBlob) {
                if (i < run.row_memos.size() && run.row_memos[i]) {
                    group.memos.resize(result_plan_.size());
                    group.memos[i] = std::move(run.row_memos[i]);
                }
                continue;
            }
            const std::span<std::uint8_t> value = std::span(run.value).first(256);
            bool is_null = true;
            const auto number = static_cast<std::uint32_t>(i + 1);
            result.GetField(number, record, is_null, value);
            if (!is_null) {
                result.PutField(number, group.record, value.data());
            }
        }
    }
    if (run.groups_by_source) {
        run.groups_by_key.push_back(&group);
    }
    AddToAggregates(run, group.accumulators);
}

void TDataQuery::AddToAggregates(SelectRun& run, std::vector<AggregateAccumulator>& accumulators) {
    for (std::size_t i = 0; i < result_plan_.size(); ++i) {
        const ResultColumnPlan& column = result_plan_[i];
        if (column.aggregate == kAggregateNone) {
            continue;
        }
        if (column.count_star) {
            accumulators[i].AddRow();
        } else {
            ExpTokenPtr evaluated;
            accumulators[i].Add(AggregateArgument(run, i, evaluated));
        }
    }
}

void TDataQuery::RowKey(std::span<const std::uint8_t> record, std::string& key,
                        const std::vector<std::size_t>* columns) const {
    TDataCursor& result = *result_->cursor;
    key.clear();
    std::vector<std::uint8_t>& value = key_value_;
    const std::size_t count = columns != nullptr ? columns->size() : result_plan_.size();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = columns != nullptr ? (*columns)[i] : i;
        const std::size_t size = FieldDataSize(result_plan_[at].descriptor);
        if (value.size() < size + 1) {
            value.resize(size + 1);
        }
        bool is_null = true;
        result.GetField(static_cast<std::uint32_t>(at + 1), record, is_null,
                        std::span(value).first(size + 1));
        key.push_back(is_null ? '\0' : '\1');
        if (!is_null) {
            if (FieldType(result_plan_[at].descriptor) == kTypeFloat) {
                PositiveZero(value);
            }
            key.append(reinterpret_cast<const char*>(value.data()), size);
        }
    }
}

void TDataQuery::InsertResultRow(RecordBuffer record) {
    TDataCursor& result = *result_->cursor;
    if (gather_rows_) {
        const std::size_t size = result.GetRecordSize();
        result_rows_.Reserve(std::max(kResultBlockBytes + size, result_rows_size_ + size));
        std::copy_n(record.begin(), size, result_rows_.data() + result_rows_size_);
        result_rows_size_ += size;
        if (result_rows_size_ >= kResultBlockBytes) {
            WriteResultRows();
        }
        return;
    }
    result.InsertRecord(record, false);
    result.FreeBlobs();
    if (result_held_) {
        held_bytes_ += static_cast<std::int64_t>(record.size());
        if (held_bytes_ > held_result_limit_) {
            SpillResult();
        }
    }
}

void TDataQuery::WriteResultRows() {
    if (result_rows_size_ == 0) {
        return;
    }
    const auto bytes = static_cast<std::int64_t>(result_rows_size_);
    const RecordBuffer rows(result_rows_.data(), result_rows_size_);
    if (result_held_ && held_bytes_ + bytes > held_result_limit_) {
        SpillResult();
    }
    TDataCursor& result = *result_->cursor;
    if (!result.AppendRecords(rows)) {
        const std::size_t size = result.GetRecordSize();
        std::vector<std::uint8_t> record(size);
        for (std::size_t at = 0; at < rows.size(); at += size) {
            std::copy_n(rows.begin() + static_cast<std::ptrdiff_t>(at), size, record.begin());
            result.InsertRecord(record, false);
        }
    }
    if (result_held_) {
        held_bytes_ += bytes;
    }
    result_rows_size_ = 0;
}

void TDataQuery::InsertPendingRows(SelectRun& run, bool sorted) {
    std::vector<std::size_t> order(run.pending.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    if (sorted) {
        // The keys and comparison the table's own sort uses; rows with equal keys keep the
        // order they were produced in, as the sort keeps them in the order of their IDs.
        TDataCursor& result = *result_->cursor;
        std::vector<FieldDescriptor> fields;
        std::size_t key_size = 0;
        for (std::size_t i = 0; i < order_columns_.size(); ++i) {
            FieldDescriptor d =
                result.GetTableFieldDesc(static_cast<std::uint32_t>(order_columns_[i] + 1));
            d[fd::kDescending] = OrderByFields[i]->Descending ? 1 : 0;
            key_size += FieldDataSize(d) + 1u;
            fields.push_back(d);
        }
        const TKeyComparer comparer(KeySegmentsOf(fields, false), result.GetLanguageID(),
                                    result.GetSortID(), key_size);
        const std::size_t size = result.GetRecordSize();
        // Every key is built whole, so its buffer needs no clearing.
        EngineBuffer key_buffer = TakeKeptBuffer(key_size * run.pending.size());
        key_buffer.Grow(key_size * run.pending.size());
        const std::span<std::uint8_t> keys(reinterpret_cast<std::uint8_t*>(key_buffer.data()),
                                           key_size * run.pending.size());
        for (std::size_t i = 0; i < run.pending.size(); ++i) {
            BuildRecordKey(fields, std::span(run.pending[i], size),
                           keys.subspan(i * key_size, key_size), OrderByNoCase, false,
                           result.GetLanguageID(), result.GetSortID(), false);
        }
        if (comparer.PlainBytes()) {
            SortPlainKeys(keys, key_size, order);
        } else {
            std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                return comparer.Compare(keys.data() + a * key_size, keys.data() + b * key_size,
                                        false) < 0;
            });
        }
        KeepBuffer(std::move(key_buffer));
    }
    // Rows that will not fit a result held in memory go to disk straight away, not by way of it.
    if (result_held_ &&
        held_bytes_ + static_cast<std::int64_t>(result_rows_size_) +
                static_cast<std::int64_t>(run.pending.size()) * result_->cursor->GetRecordSize() >
            held_result_limit_) {
        WriteResultRows();
        SpillResult();
    }
    std::vector<std::uint8_t*> rows = std::move(run.pending);
    std::vector<EngineBuffer> blocks = std::move(run.pending_blocks);
    run.pending.clear();
    run.pending_blocks.clear();
    run.pending_block_used = 0;
    run.pending_bytes = 0;
    run.sort_pending = false;
    const std::size_t size = result_->cursor->GetRecordSize();
    // Sorted rows are read all over their blocks: each row's lines are asked for some rows
    // ahead, so that the copies do not wait for memory one row at a time.
    constexpr std::size_t kRowsAhead = 8;
    constexpr std::size_t kLine = 64;
    const std::size_t lines = std::min<std::size_t>((size + kLine - 1) / kLine, 8);
    for (std::size_t i = 0; i < order.size(); ++i) {
        if (i + kRowsAhead < order.size()) {
            const std::uint8_t* ahead = rows[order[i + kRowsAhead]];
            for (std::size_t line = 0; line < lines; ++line) {
                __builtin_prefetch(ahead + line * kLine);
            }
        }
        InsertResultRow(std::span(rows[order[i]], size));
    }
    for (EngineBuffer& block : blocks) {
        KeepBuffer(std::move(block));
    }
}

void TDataQuery::SpillResult() {
    std::unique_ptr<StatementTable> held = std::move(result_);
    CreateResultTable(true);
    TDataCursor& from = *held->cursor;
    TDataCursor& to = *result_->cursor;
    const std::size_t size = from.GetRecordSize();
    // The held rows go over in blocks, in their order.
    std::vector<std::uint8_t> block;
    block.reserve(kResultBlockBytes + size);
    const auto write = [&] {
        if (!to.AppendRecords(block)) {
            std::vector<std::uint8_t> record(size);
            for (std::size_t at = 0; at < block.size(); at += size) {
                std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(at), size, record.begin());
                to.InsertRecord(record, false);
            }
        }
        block.clear();
    };
    const auto take = [&](ConstRecordBuffer record) {
        block.insert(block.end(), record.begin(),
                     record.begin() + static_cast<std::ptrdiff_t>(size));
        if (block.size() >= kResultBlockBytes) {
            write();
        }
        return true;
    };
    if (!from.ScanRecords(take)) {
        std::vector<std::uint8_t> record(size);
        from.First();
        while (from.GetNextRecord(record) == kErrNone) {
            take(record);
        }
    }
    write();
    result_held_ = false;
    held_bytes_ = 0;
}

void TDataQuery::FinishGroups(SelectRun& run) {
    TDataCursor& result = *result_->cursor;
    if (ImplicitGroup && run.groups.empty()) {
        SelectRun::Group& group = run.groups[std::string()];
        group.record.assign(result.GetRecordSize(), 0);
        result.InitNewRecord(group.record);
        for (const ResultColumnPlan& column : result_plan_) {
            group.accumulators.emplace_back(
                column.aggregate,
                column.expression != nullptr ? column.expression->DataType : kTypeInteger,
                column.count_star);
        }
    }
    for (auto& [key, group] : run.groups) {
        TDataCursor& target = *result_->cursor;
        for (std::size_t i = 0; i < result_plan_.size(); ++i) {
            const ResultColumnPlan& column = result_plan_[i];
            if (column.aggregate == kAggregateNone) {
                continue;
            }
            std::array<std::byte, kValueBufferSize> value{};
            const auto number = static_cast<std::uint32_t>(i + 1);
            const bool present = group.accumulators[i].Finish(
                FieldType(column.descriptor), FieldDataSize(column.descriptor),
                column.descriptor[fd::kScale], value, FieldName(column.descriptor));
            target.PutField(
                number, group.record,
                present ? reinterpret_cast<const std::uint8_t*>(value.data()) : nullptr);
            if (column.avg_count_field != 0) {
                std::array<std::byte, 4> count{};
                StoreInt32(count.data(), static_cast<std::int32_t>(std::min<std::int64_t>(
                                             group.accumulators[i].Count(), INT32_MAX)));
                target.PutField(column.avg_count_field, group.record,
                                reinterpret_cast<const std::uint8_t*>(count.data()));
            }
        }
        for (std::size_t i = 0; i < group.memos.size(); ++i) {
            if (group.memos[i]) {
                PutBlobValue(target, static_cast<std::uint32_t>(i + 1), group.record,
                             *group.memos[i], TableName);
            }
        }
        InsertResultRow(group.record);
    }
    run.groups.clear();
}

ExpTokenPtr TDataQuery::HavingOverResult(const db::TFormatSettings& formats) const {
    // HAVING is read against the result: each aggregate stands for the result column that
    // computes it, each column for the result column of that name.
    ExpTokenPtr having = CopyTokenTree(Having.get());
    std::vector<TExpToken*> stack{having.get()};
    while (!stack.empty()) {
        TExpToken* node = stack.back();
        stack.pop_back();
        if (node->Kind == kTokenFunction && AggregateKindOf(node->Code) != kAggregateNone) {
            std::size_t at = result_plan_.size();
            for (std::size_t i = 0; i < result_plan_.size(); ++i) {
                const TResultField& field = *result_plan_[i].field;
                if (result_plan_[i].aggregate == AggregateKindOf(node->Code) &&
                    (field.CountStar ? (node->First && node->First->ColumnName == "*")
                                     : WrittenAlike(field.Expression.get(), node))) {
                    at = i;
                    break;
                }
            }
            if (at == result_plan_.size()) {
                Fail("Expression in HAVING clause not found in source columns");
            }
            node->First.reset();
            node->Second.reset();
            node->Kind = kTokenColumn;
            node->Code = 0;
            node->TableName.clear();
            node->ColumnName = FieldName(result_plan_[at].descriptor);
            continue;
        }
        if (node->Kind == kTokenColumn) {
            node->TableName.clear();
            continue;
        }
        for (TExpToken* child : {node->First.get(), node->Second.get(), node->Third.get()}) {
            if (child != nullptr) {
                stack.push_back(child);
            }
        }
    }
    const ExpressionErrorInfo errors{kErrSql, {}, "HAVING clause"};
    const ColumnResolver resolver = [this](TExpToken& column) {
        for (std::size_t i = 0; i < result_plan_.size(); ++i) {
            const FieldDescriptor& d = result_plan_[i].descriptor;
            const std::string source_name =
                result_plan_[i].source != nullptr
                    ? FieldName(result_plan_[i].source->Table->cursor->GetTableFieldDesc(
                          result_plan_[i].source_field))
                    : std::string();
            if (platform::nls::SameTextAnsi(FieldName(d), column.ColumnName) ||
                (result_plan_[i].aggregate == kAggregateNone &&
                 platform::nls::SameTextAnsi(source_name, column.ColumnName))) {
                column.FieldNumber = static_cast<std::uint16_t>(i + 1);
                column.DataType = FieldType(d);
                column.SubType = FieldSubtype(d);
                column.SetDataSize(FieldDataSize(d));
                column.Scale = d[fd::kScale];
                column.SourceTable = nullptr;
                return true;
            }
        }
        return false;
    };
    CheckExpressionTypes(errors, true, resolver, nullptr, *having, formats);
    return having;
}

void TDataQuery::CheckHaving() const {
    const ExpTokenPtr having = HavingOverResult(SessionFormats(*statement_));
    // A parameter has its type only once its value is set; execution checks it again then.
    if (having->DataType != kTypeBoolean && having->DataType != kTypeNone) {
        Fail("HAVING clause must be a boolean expression");
    }
}

void TDataQuery::ApplyHaving() {
    TDataCursor& result = *result_->cursor;
    const db::TFormatSettings formats = SessionFormats(*statement_);
    const ExpTokenPtr having = HavingOverResult(formats);
    if (having->DataType != kTypeBoolean) {
        Fail("HAVING clause must be a boolean expression");
    }
    std::vector<std::uint8_t> record(result.GetRecordSize());
    const ColumnReader reader = [&](const std::byte* /*row*/, TExpToken& column) {
        ReadColumnValue(result, column.FieldNumber, record, column, TableName);
    };
    std::vector<std::vector<std::uint8_t>> rejected;
    result.First();
    while (result.GetNextRecord(record) == kErrNone) {
        if (!IsTrue(*EvaluateExpression(*having, nullptr, 0, 0, reader, &formats))) {
            rejected.push_back(result.GetBookmark());
        }
    }
    for (const auto& bookmark : rejected) {
        if (result.GotoBookmark(bookmark, false) &&
            result.GetCurrentRecord(record, false) == kErrNone) {
            result.DeleteRecord(record, false);
        }
    }
}

void TDataQuery::SortResult(const std::vector<std::size_t>& columns,
                            const std::vector<bool>& descending, bool case_insensitive,
                            bool unique) {
    TDataCursor& result = *result_->cursor;
    std::vector<FieldDescriptor> keys;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        FieldDescriptor d = result.GetTableFieldDesc(static_cast<std::uint32_t>(columns[i] + 1));
        d[fd::kDescending] = descending[i] ? 1 : 0;
        keys.push_back(d);
    }
    result.SortRecords(keys, false, case_insensitive, unique, false, {}, false, {}, false, {});
}

void TDataQuery::SortResultByText(const std::vector<bool>& descending) {
    TDataCursor& result = *result_->cursor;
    const std::uint16_t language = result.GetLanguageID();
    const std::uint16_t sort = result.GetSortID();
    const std::size_t size = result.GetRecordSize();
    // Per ORDER BY column, a memo's place among the row's texts or the comparison of the key
    // segment every other column has, built as the table's own sort builds it.
    struct Column {
        bool memo = false;
        std::size_t text = 0;
        FieldDescriptor field{};
        std::unique_ptr<TKeyComparer> comparer;
        std::size_t key_at = 0;
    };
    std::vector<std::uint32_t> blobs;
    for (std::uint32_t n = 1; n <= result.GetFieldCount(); ++n) {
        if (FieldType(result.GetTableFieldDesc(n)) == kTypeBlob) {
            blobs.push_back(n);
        }
    }
    std::vector<Column> columns(order_columns_.size());
    std::size_t key_size = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const auto number = static_cast<std::uint32_t>(order_columns_[i] + 1);
        Column& column = columns[i];
        column.field = result.GetTableFieldDesc(number);
        column.field[fd::kDescending] = descending[i] ? 1 : 0;
        column.memo = FieldType(column.field) == kTypeBlob;
        if (column.memo) {
            column.text = static_cast<std::size_t>(std::find(blobs.begin(), blobs.end(), number) -
                                                   blobs.begin());
            continue;
        }
        const std::size_t segment = FieldDataSize(column.field) + 1u;
        column.comparer = std::make_unique<TKeyComparer>(
            KeySegmentsOf(std::span(&column.field, 1), false), language, sort, segment);
        column.key_at = key_size;
        key_size += segment;
    }
    // Every row with its texts: emptying the table frees the blobs they were read from.
    struct Row {
        std::vector<std::uint8_t> record;
        std::vector<std::vector<std::uint8_t>> texts;
        std::vector<std::uint8_t> key;
        // The memos as compared: upper-cased under NOCASE.
        std::vector<std::string> compared;
    };
    std::vector<Row> rows;
    std::vector<std::uint8_t> record(size);
    result.First();
    while (result.GetNextRecord(record) == kErrNone) {
        Row& row = rows.emplace_back();
        row.record = record;
        for (const std::uint32_t n : blobs) {
            row.texts.push_back(ReadBlobBytes(result, n, record, TableName));
        }
        row.key.resize(key_size);
        for (const Column& column : columns) {
            if (column.memo) {
                const std::vector<std::uint8_t>& text = row.texts[column.text];
                std::string compared(text.begin(), text.end());
                if (OrderByNoCase) {
                    compared = UpperCaseLang(language, sort, compared);
                }
                row.compared.push_back(std::move(compared));
                continue;
            }
            BuildRecordKey(std::span(&column.field, 1), record,
                           std::span(row.key).subspan(column.key_at, column.comparer->KeySize()),
                           OrderByNoCase, false, language, sort, false);
        }
    }
    result.FreeBlobs();
    const std::uint32_t locale = platform::nls::MakeLocaleId(language, sort);
    constexpr std::uint32_t kStringCompareFlags = 4098;
    const auto less = [&](const Row& a, const Row& b) {
        std::size_t memo = 0;
        for (std::size_t i = 0; i < columns.size(); ++i) {
            const Column& column = columns[i];
            int order = 0;
            if (column.memo) {
                // A memo without text sorts where an empty text would: before every text.
                const std::string& x = a.compared[memo];
                const std::string& y = b.compared[memo];
                ++memo;
                if (x.empty() || y.empty()) {
                    order = x.empty() == y.empty() ? 0 : (x.empty() ? -1 : 1);
                } else if (language == 0) {
                    order = x.compare(y);
                } else {
                    order = platform::nls::CompareString(locale, kStringCompareFlags, x, y) - 2;
                }
                if (descending[i]) {
                    order = -order;
                }
            } else {
                order = column.comparer->Compare(a.key.data() + column.key_at,
                                                 b.key.data() + column.key_at, false);
            }
            if (order != 0) {
                return order < 0;
            }
        }
        return false;
    };
    // Rows of equal keys stay in the order they were produced, as in the table's own sort.
    std::stable_sort(rows.begin(), rows.end(), less);
    result.EmptyTable();
    for (Row& row : rows) {
        for (std::size_t i = 0; i < blobs.size(); ++i) {
            result.PutField(blobs[i], row.record, nullptr);
            PutBlobValue(result, blobs[i], row.record, row.texts[i], TableName);
        }
        result.InsertRecord(row.record, false);
        result.FreeBlobs();
    }
}

void TDataQuery::CheckSelectCondition(SelectRun& run) {
    if (!Condition) {
        return;
    }
    const ExpressionErrorInfo errors{kErrSql, {}, "WHERE or JOIN clause"};
    const ColumnResolver resolver = [this](TExpToken& column) {
        return ResolveSourceColumn(column);
    };
    // A bare boolean column or function stands for "= TRUE".
    CheckExpressionTypes(errors, true, resolver, nullptr, *Condition, run.formats);
    if (Condition->DataType != kTypeBoolean) {
        Fail("WHERE or JOIN clause must be a boolean expression");
    }
}

// The sources' locks are taken before an INTO table is made anew: a lock refused leaves an
// existing table as it was, and none of the locks already taken held.
void TDataQuery::LockSelectSources() {
    std::size_t locked = 0;
    try {
        for (; WithLocks && locked < SourceTables.size(); ++locked) {
            SourceTables[locked]->Table->cursor->HoldReadLock();
        }
        if (into_pending_) {
            CreateResultTable();
            into_pending_ = false;
        }
    } catch (...) {
        FirstFailure failure;
        failure.Keep(std::current_exception());
        for (std::size_t i = 0; i < locked; ++i) {
            failure.Run([&] { SourceTables[i]->Table->cursor->ReleaseReadLock(); });
        }
        failure.Rethrow();
    }
}

void TDataQuery::PlanSelectRun(TDataCursor& result, SelectRun& run) {
    result.EmptyTable();
    held_bytes_ = 0;
    result_rows_size_ = 0;
    gather_rows_ = std::none_of(result_plan_.begin(), result_plan_.end(), [](const auto& column) {
        return FieldType(column.descriptor) == kTypeBlob;
    });
    run.record.assign(result.GetRecordSize(), 0);
    run.grouped = HasGroupBy || ImplicitGroup;
    // Under the result's language the groups are those of its sort: texts it takes as
    // equal, accents aside say, make one group, whatever their bytes.
    GroupKeyLess group_order;
    if (run.grouped && result.GetLanguageID() != 0) {
        for (const std::size_t i : group_columns_) {
            const FieldDescriptor& d = result_plan_[i].descriptor;
            group_order.columns.push_back({FieldDataSize(d), FieldType(d) == kTypeString});
        }
        if (std::none_of(group_order.columns.begin(), group_order.columns.end(),
                         [](const auto& column) { return column.text; })) {
            group_order.columns.clear();
        }
        group_order.language = result.GetLanguageID();
        group_order.sort = result.GetSortID();
    }
    const bool collated_groups = !group_order.columns.empty();
    run.groups = decltype(run.groups)(std::move(group_order));
    run.drop_duplicates =
        Distinct && !run.grouped &&
        std::none_of(result_plan_.begin(), result_plan_.end(),
                     [](const auto& column) { return FieldType(column.descriptor) == kTypeBlob; });
    run.duplicates_by_source =
        run.drop_duplicates &&
        std::all_of(result_plan_.begin(), result_plan_.end(), [](const auto& column) {
            return column.source != nullptr && column.aggregate == kAggregateNone;
        });
    // Every column of a grouping is an aggregate or a grouping column read from a source,
    // so that rows with the same source bytes fall in the same group.
    run.groups_by_source =
        run.grouped && !collated_groups &&
        std::all_of(group_columns_.begin(), group_columns_.end(), [&](std::size_t i) {
            return result_plan_[i].source != nullptr && result_plan_[i].aggregate == kAggregateNone;
        });
    for (std::size_t i = 0; run.groups_by_source && i < result_plan_.size(); ++i) {
        run.groups_by_source =
            result_plan_[i].aggregate != kAggregateNone ||
            std::find(group_columns_.begin(), group_columns_.end(), i) != group_columns_.end();
    }
    if (run.groups_by_source) {
        run.group_key_columns = KeyColumnsOf(result_plan_, group_columns_);
    }
    PlanLoops(run);
    PlaceDrivingParts(run);
    run.copies.assign(result_plan_.size(), std::nullopt);
    for (std::size_t i = 0; i < result_plan_.size(); ++i) {
        const ResultColumnPlan& column = result_plan_[i];
        if (column.source != nullptr && column.aggregate == kAggregateNone) {
            run.copies[i] =
                result.PlanFieldCopy(static_cast<std::uint32_t>(i + 1),
                                     *column.source->Table->cursor, column.source_field);
        }
    }
    run.driving_count = run.order.front()->Table->cursor->GetRecordCount();
}

bool TDataQuery::FillSelectResult(TDataCursor& result, SelectRun& run, bool count_only,
                                  bool all_placed) {
    if (CountStarShortcut || (count_only && all_placed)) {
        const std::int64_t count = run.driving_count;
        if (OnProgress) {
            OnProgress(count, 100);
        }
        result.InitNewRecord(run.record);
        std::array<std::byte, 4> value{};
        StoreInt32(value.data(),
                   static_cast<std::int32_t>(std::min<std::int64_t>(count, INT32_MAX)));
        result.PutField(1, run.record, reinterpret_cast<const std::uint8_t*>(value.data()));
        result.InsertRecord(run.record, false);
        return false;
    }
    bool presorted = false;
    run.sort_pending = result_held_ && !run.grouped && !Distinct && !order_columns_.empty() &&
                       OrderByFields.size() == order_columns_.size();
    ProduceRows(0, run);
    if (run.sort_pending) {
        InsertPendingRows(run, true);
        presorted = true;
    }
    WriteResultRows();
    if (run.grouped) {
        FinishGroups(run);
        WriteResultRows();
        if (HasGroupBy) {
            SortResult(group_columns_, std::vector<bool>(group_columns_.size(), false), false,
                       false);
        }
        if (Having) {
            ApplyHaving();
        }
    }
    return presorted;
}

void TDataQuery::OrderSelectResult(bool presorted) {
    if (Distinct) {
        std::vector<std::size_t> all(result_plan_.size());
        for (std::size_t i = 0; i < all.size(); ++i) {
            all[i] = i;
        }
        SortResult(all, std::vector<bool>(all.size(), false), false, true);
    }
    if (order_columns_.empty()) {
        return;
    }
    std::vector<bool> descending;
    for (const auto& item : OrderByFields) {
        descending.push_back(item->Descending);
    }
    // The grouping sort, or DISTINCT's sort by every column, already left the rows in
    // an ascending, case-sensitive order by the same columns.
    std::vector<std::size_t> all(result_plan_.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = i;
    }
    const bool ascending =
        std::none_of(descending.begin(), descending.end(), [](bool d) { return d; }) &&
        !OrderByNoCase;
    const bool in_order = ascending && ((HasGroupBy && order_columns_ == group_columns_) ||
                                        (!HasGroupBy && Distinct && order_columns_ == all));
    const bool by_text = std::any_of(
        order_columns_.begin(), order_columns_.end(),
        [&](std::size_t i) { return FieldType(result_plan_[i].descriptor) == kTypeBlob; });
    if (by_text) {
        SortResultByText(descending);
    } else if (!in_order && !presorted) {
        SortResult(order_columns_, descending, OrderByNoCase, false);
    }
}

// Every source's lock goes, whatever the others do; the first failure is told after.
void TDataQuery::ReleaseSelectLocks() {
    if (!WithLocks) {
        return;
    }
    FirstFailure failure;
    for (const auto& source : SourceTables) {
        failure.Run([&] { source->Table->cursor->ReleaseReadLock(); });
    }
    failure.Rethrow();
}

TDataCursor& TDataQuery::ExecuteSelect() {
    const std::uint64_t start = StatementTicks();
    if (!result_ && !LiveResult && !into_pending_) {
        PlanSelect();
    }
    SelectRun run;
    run.formats = SessionFormats(*statement_);
    // Values compare under the driving table's language and sort.
    run.language = SourceTables.front()->Table->cursor->GetLanguageID();
    run.sort = SourceTables.front()->Table->cursor->GetSortID();
    CheckSelectCondition(run);
    // Each execution starts from the bare source tables: the filters of the last one held the
    // parameter values of then.
    DropSourceFilters();
    if (LiveResult) {
        TDataCursor& live = ExecuteLive(run);
        ResultCount =
            static_cast<std::int32_t>(std::min<std::int64_t>(live.GetRecordCount(), INT32_MAX));
        Produced = true;
        ExecutionTime = SecondsSince(start);
        return live;
    }
    // Rows pass the WHERE part and every inner ON condition; a LEFT join's ON condition only
    // decides which inner rows join.
    const bool count_only =
        SourceTables.size() == 1 && result_plan_.size() == 1 && result_plan_[0].count_star;
    const bool all_placed = PlaceConditionParts(run, count_only);
    LockSelectSources();
    TDataCursor& result = *result_->cursor;
    try {
        PlanSelectRun(result, run);
        const bool presorted = FillSelectResult(result, run, count_only, all_placed);
        OrderSelectResult(presorted);
    } catch (...) {
        result_rows_size_ = 0;
        FirstFailure failure;
        failure.Keep(std::current_exception());
        if (WithLocks) {
            for (const auto& source : SourceTables) {
                failure.Run([&] { source->Table->cursor->ReleaseReadLock(); });
            }
        }
        failure.Rethrow();
    }
    ReleaseSelectLocks();
    // Rows may have moved the result to disk on the way.
    TDataCursor& filled = *result_->cursor;
    filled.First();
    filled.Refresh();
    const std::int64_t count = filled.GetRecordCount();
    ResultCount = static_cast<std::int32_t>(std::min<std::int64_t>(count, INT32_MAX));
    Produced = true;
    ExecutionTime = SecondsSince(start);
    return filled;
}

}  // namespace strata
