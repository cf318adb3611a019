#include "engine/sql/data_change.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/data_table.h"
#include "engine/sql/column_value.h"
#include "engine/sql/condition_parts.h"
#include "engine/sql/query_statement.h"
#include "engine/sql/statement_tables.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error.h"
#include "engine/storage/engine_heap.h"
#include "engine/storage/expression_eval.h"
#include "engine/storage/expression_types.h"
#include "engine/storage/value_convert.h"
#include "platform/nls/nls.h"

namespace strata {

namespace {

constexpr std::string_view kUpdateValuesContext = "update values";
constexpr std::string_view kWhereContext = "WHERE or JOIN clause";
// From this many chosen rows on, an UPDATE or DELETE locks the table rather than each row.
constexpr std::size_t kTableLockRows = 64;
// The most bytes of records read at once ahead of the chosen rows being changed.
constexpr std::size_t kChangeReadBytes = std::size_t{8} << 20;
// The widest stretch of unchosen records a read ahead of the chosen ones takes along: rows
// farther apart are read on their own instead of copying every record between them. A flush
// joins changed records across no wider stretch, so each of its writes still lies in one read.
constexpr std::size_t kChangeReadGapBytes = 8192;
// Such reads each wait on the device where the system holds none of their records. In a data
// file larger than a statement's read window (whose pages are the likeliest to be out of
// memory) the stretches ahead are asked for before they are read, so that their reads wait on
// the device together: up to this many stretches and bytes ahead.
constexpr std::size_t kHintStretches = 64;
constexpr std::size_t kHintBytes = std::size_t{4} << 20;

[[noreturn]] void Fail(std::string_view message) {
    RaiseEngineError(kErrSql, {}, {}, {}, message);
}

// The session's formats, loaded once: the statement keeps its own copy instead of holding the
// process-wide format lock while it runs.
db::TFormatSettings SessionFormats(const TQueryStatement& statement) {
    FormatSettingsLock lock;
    db::TFormatSettings formats;
    LoadLocaleFormats(statement.SessionLanguageID(), statement.SessionSortID(), formats);
    return formats;
}

std::span<const std::uint8_t> AsBytes(const std::vector<std::uint8_t>& record) {
    return record;
}

// A whole-number column plus or minus a whole-number constant, worked out from the source
// row's bytes: what the evaluator gives for it, without building its value tokens per row.
struct ColumnStep {
    std::uint32_t source = 0;
    EngineDataType source_type = kTypeNone;
    std::uint32_t source_size = 0;
    std::int64_t addend = 0;
};

// One target column with its descriptor and the value written into it.
struct Assignment {
    FieldDescriptor column{};
    TUpdateValue* value = nullptr;
    std::optional<ColumnStep> step;
};

bool IsWholeNumberType(EngineDataType type) {
    return type == kTypeSmallInt || type == kTypeInteger || type == kTypeWord;
}

// The step `value` stands for when written into `column`: a column of the row and a constant
// joined by + or -, every part a whole number of at most 32 bits and the sum of the column's
// own type, so the evaluator's result needs no conversion on its way into the column.
std::optional<ColumnStep> PlanColumnStep(const TExpToken& value, const FieldDescriptor& column) {
    if (value.Kind != kTokenBinary || (value.Code != kOpAdd && value.Code != kOpSubtract) ||
        value.DataType != FieldType(column) || !IsWholeNumberType(value.DataType) ||
        value.First == nullptr || value.Second == nullptr) {
        return std::nullopt;
    }
    const TExpToken* field = value.First.get();
    const TExpToken* constant = value.Second.get();
    if (value.Code == kOpAdd && field->Kind == kTokenConstant) {
        std::swap(field, constant);
    }
    if (field->Kind != kTokenColumn || field->FieldNumber == 0 ||
        !IsWholeNumberType(field->DataType) || constant->Kind != kTokenConstant ||
        constant->IsNull || constant->IsParameter || !IsWholeNumberType(constant->DataType)) {
        return std::nullopt;
    }
    const std::optional<EngineNumber> number =
        ReadEngineNumber(constant->DataType, constant->Value());
    if (!number || number->kind != EngineNumber::Kind::Integer) {
        return std::nullopt;
    }
    ColumnStep step;
    step.source = field->FieldNumber;
    step.source_type = field->DataType;
    step.source_size = field->DataSize;
    step.addend = value.Code == kOpSubtract ? -number->integer : number->integer;
    return step;
}

// A whole-number column compared with a whole-number constant, answered from the row's bytes
// as the evaluator answers it: = and <> take a NULL column as unequal to the constant, an
// ordering comparison takes it as false.
struct NumberComparison {
    std::uint32_t field = 0;
    EngineDataType type = kTypeNone;
    std::uint32_t size = 0;
    std::uint8_t code = 0;
    std::int64_t constant = 0;
};

std::optional<NumberComparison> PlanNumberComparison(const TExpToken& node) {
    if (node.Kind != kTokenBinary || node.Code < kOpEqual || node.Code > kOpLessEqual ||
        node.First == nullptr || node.Second == nullptr) {
        return std::nullopt;
    }
    const TExpToken* column = node.First.get();
    const TExpToken* constant = node.Second.get();
    std::uint8_t code = node.Code;
    if (column->Kind == kTokenConstant && constant->Kind == kTokenColumn) {
        std::swap(column, constant);
        // The same comparison seen from the column's side.
        switch (code) {
            case kOpGreater:
                code = kOpLess;
                break;
            case kOpLess:
                code = kOpGreater;
                break;
            case kOpGreaterEqual:
                code = kOpLessEqual;
                break;
            case kOpLessEqual:
                code = kOpGreaterEqual;
                break;
            default:
                break;
        }
    }
    if (column->Kind != kTokenColumn || column->FieldNumber == 0 ||
        !IsWholeNumberType(column->DataType) || column->DataSize == 0 || column->DataSize > 8 ||
        constant->Kind != kTokenConstant || constant->IsNull || constant->IsParameter ||
        !IsWholeNumberType(constant->DataType)) {
        return std::nullopt;
    }
    const std::optional<EngineNumber> number =
        ReadEngineNumber(constant->DataType, constant->Value());
    if (!number || number->kind != EngineNumber::Kind::Integer) {
        return std::nullopt;
    }
    return NumberComparison{column->FieldNumber, column->DataType, column->DataSize, code,
                            number->integer};
}

class DataChange {
  public:
    explicit DataChange(TDataQuery& query)
        : query_(query),
          source_(*query.SourceTables.at(0)),
          target_(query.Statement(), source_.DatabaseName, source_.TableName, source_.InMemory),
          cursor_(*target_.cursor),
          formats_(SessionFormats(query.Statement())) {}

    void Run();
    void CheckInsertSelectColumns();

  private:
    void OpenTarget();
    bool ResolveColumn(TExpToken& column) const;
    void ResolveAssignments();
    void CheckConstant(const FieldDescriptor& column, TExpToken& value) const;
    void CheckCondition();
    void WriteColumn(const Assignment& assignment, std::vector<std::uint8_t>& record,
                     const std::vector<std::uint8_t>* source_row, bool truncate_blob);
    void WriteStep(const Assignment& assignment, std::vector<std::uint8_t>& record,
                   const std::vector<std::uint8_t>& source_row);
    void WriteValue(const FieldDescriptor& column, const TExpToken& value,
                    std::vector<std::uint8_t>& record, std::string_view value_text,
                    bool truncate_blob);
    ExpTokenPtr Evaluate(const TExpToken& node, const std::vector<std::uint8_t>* row) const;
    bool RowPasses(const std::vector<std::uint8_t>& row) const;
    bool NumberComparisonHolds(const NumberComparison& test,
                               const std::vector<std::uint8_t>& row) const;
    void PrepareRowCheck();
    void RunInsert();
    std::vector<FieldDescriptor> TargetColumns();
    void RunInsertSelect();
    template <class Change>
    void InBatch(Change&& change);
    TFilter* NarrowByIndexes(bool& whole);
    void RunUpdateOrDelete();
    void ChangeChosen(const std::vector<std::uint32_t>& chosen, bool update);
    void ReadAheadOf(std::span<const std::uint32_t> chosen, std::int64_t to_flush);
    void HintAhead(std::span<const std::uint32_t> chosen, std::size_t at);
    bool ReportProgress(std::int64_t row, std::int64_t total) const;

    TDataQuery& query_;
    TSourceTable& source_;
    StatementTable target_;
    TDataCursor& cursor_;
    const db::TFormatSettings formats_;
    std::vector<Assignment> assignments_;
    // A condition the cursor checks straight from a record's bytes, and that check.
    ExpTokenPtr row_check_tree_;
    std::function<bool(ConstRecordBuffer)> row_check_;
    std::optional<NumberComparison> number_check_;
    LanguageId table_language_ = 0;
    SortId table_sort_ = 0;
    // The stretches of chosen rows asked for ahead of the one being changed: for each, the
    // position after its last row in the chosen list and its bytes.
    std::deque<std::pair<std::size_t, std::size_t>> hinted_;
    std::size_t hinted_to_ = 0;
    std::size_t hinted_bytes_ = 0;
};

void DataChange::OpenTarget() {
    cursor_.SetReadOnly(false);
    cursor_.SetExclusive(false);
    cursor_.SetStatementOwned(true);
    cursor_.SetPhysicalOrder(true);
    const TDataQuery* main = query_.Statement().MainQuery();
    if (main != nullptr && main->OnPassword) {
        cursor_.SetPasswordHandler(main->OnPassword);
    }
    cursor_.Open();
    cursor_.SetPasswordHandler({});
    table_language_ = cursor_.GetLanguageID();
    table_sort_ = cursor_.GetSortID();
}

bool DataChange::ResolveColumn(TExpToken& column) const {
    if (!column.TableName.empty() &&
        !platform::nls::SameTextAnsi(column.TableName, source_.CorrelationName)) {
        return false;
    }
    FieldDescriptor d{};
    if (!cursor_.FindFieldDesc(column.ColumnName, d)) {
        return false;
    }
    column.FieldNumber = FieldNumber(d);
    column.DataType = FieldType(d);
    column.SubType = FieldSubtype(d);
    column.SetDataSize(FieldDataSize(d));
    column.Scale = d[fd::kScale];
    column.SourceTable = &source_;
    return true;
}

std::vector<FieldDescriptor> DataChange::TargetColumns() {
    std::vector<FieldDescriptor> columns;
    for (const auto& field : query_.UpdateFields) {
        if (field->ColumnName == "*") {
            for (std::uint32_t n = 1; n <= cursor_.GetFieldCount(); ++n) {
                columns.push_back(cursor_.GetTableFieldDesc(n));
            }
            continue;
        }
        FieldDescriptor d{};
        const bool other_table =
            !field->TableName.empty() &&
            !platform::nls::SameTextAnsi(field->TableName, source_.CorrelationName);
        if (other_table || !cursor_.FindFieldDesc(field->ColumnName, d)) {
            Fail("Invalid column name '" + field->ColumnName + "' or table correlation name '" +
                 field->TableName + "' specified in table columns");
        }
        field->FieldNumber = FieldNumber(d);
        field->Descriptor = d;
        columns.push_back(d);
    }
    return columns;
}

void DataChange::ResolveAssignments() {
    const std::vector<FieldDescriptor> columns = TargetColumns();
    if (columns.size() != query_.UpdateValues.size()) {
        Fail("The number of values must match the number of table columns");
    }
    const ExpressionErrorInfo errors{kErrSql, {}, std::string(kUpdateValuesContext)};
    const ColumnResolver resolver = [this](TExpToken& column) { return ResolveColumn(column); };
    for (std::size_t i = 0; i < columns.size(); ++i) {
        TUpdateValue& value = *query_.UpdateValues[i];
        CheckExpressionTypes(errors, false, resolver, nullptr, *value.Value, formats_);
        CheckConstant(columns[i], *value.Value);
        assignments_.push_back({columns[i], &value, PlanColumnStep(*value.Value, columns[i])});
    }
}

// A constant whose type differs from its column's must be one the column can take: a text for a
// date, time or timestamp column is read as one now, so that a bad text fails before any row.
void DataChange::CheckConstant(const FieldDescriptor& column, TExpToken& value) const {
    if (value.Kind != kTokenConstant || value.IsNull || value.IsParameter ||
        value.DataType == FieldType(column) || value.DataType == kTypeNone) {
        return;
    }
    const EngineDataType type = FieldType(column);
    const std::string text =
        value.DataType == kTypeString ? std::string(value.ValueText()) : value.Text;
    if (value.DataType == kTypeString && IsDateTimeType(type)) {
        std::array<std::byte, kValueBufferSize> converted{};
        if (!TextToDateTimeValue(text, type, converted, formats_)) {
            Fail("Date, time, or timestamp expression expected, instead found '" + text +
                 "' in update values");
        }
        value.DataType = type;
        value.SubType = FieldSubtype(column);
        value.SetDataSize(FieldDataSize(column));
        value.Scale = column[fd::kScale];
        std::memcpy(value.Value(), converted.data(), FieldDataSize(column));
        return;
    }
    if (!BinaryOperandTypesOK(kOpEqual, type, FieldSubtype(column), value.SubType,
                              value.DataType)) {
        Fail("Type mismatch between column '" + FieldName(column) + "' and constant '" + text +
             "' in update values");
    }
}

void DataChange::CheckCondition() {
    if (!query_.Condition) {
        return;
    }
    const ExpressionErrorInfo errors{kErrSql, {}, std::string(kWhereContext)};
    const ColumnResolver resolver = [this](TExpToken& column) { return ResolveColumn(column); };
    // A bare boolean column or function in WHERE stands for "= TRUE".
    CheckExpressionTypes(errors, true, resolver, nullptr, *query_.Condition, formats_);
    if (query_.Condition->DataType != kTypeBoolean) {
        Fail("WHERE or JOIN clause must be a boolean expression");
    }
}

ExpTokenPtr DataChange::Evaluate(const TExpToken& node,
                                 const std::vector<std::uint8_t>* row) const {
    const ColumnReader reader = [this, row](const std::byte* /*record*/, TExpToken& column) {
        if (row == nullptr) {
            column.IsNull = true;
            return;
        }
        ReadColumnValue(cursor_, column.FieldNumber, AsBytes(*row), column, source_.TableName);
    };
    const auto* record = row != nullptr ? reinterpret_cast<const std::byte*>(row->data()) : nullptr;
    return EvaluateExpression(node, record, table_sort_, table_language_, reader, &formats_);
}

bool DataChange::RowPasses(const std::vector<std::uint8_t>& row) const {
    if (!query_.Condition) {
        return true;
    }
    if (row_check_) {
        return row_check_(row);
    }
    if (number_check_) {
        return NumberComparisonHolds(*number_check_, row);
    }
    const ExpTokenPtr result = Evaluate(*query_.Condition, &row);
    return !result->IsNull && LoadUInt16(result->Value()) != 0;
}

bool DataChange::NumberComparisonHolds(const NumberComparison& test,
                                       const std::vector<std::uint8_t>& row) const {
    std::array<std::byte, 8> bytes{};
    bool is_null = true;
    cursor_.GetField(test.field, AsBytes(row), is_null,
                     std::span(reinterpret_cast<std::uint8_t*>(bytes.data()), test.size));
    const std::optional<EngineNumber> number =
        is_null ? std::nullopt : ReadEngineNumber(test.type, bytes.data());
    if (!number) {
        return test.code == kOpNotEqual;
    }
    const std::int64_t value = number->integer;
    switch (test.code) {
        case kOpEqual:
            return value == test.constant;
        case kOpNotEqual:
            return value != test.constant;
        case kOpGreater:
            return value > test.constant;
        case kOpLess:
            return value < test.constant;
        case kOpGreaterEqual:
            return value >= test.constant;
        default:
            return value <= test.constant;
    }
}

void DataChange::WriteColumn(const Assignment& assignment, std::vector<std::uint8_t>& record,
                             const std::vector<std::uint8_t>* source_row, bool truncate_blob) {
    if (assignment.step && source_row != nullptr) {
        WriteStep(assignment, record, *source_row);
        return;
    }
    const ExpTokenPtr value = Evaluate(*assignment.value->Value, source_row);
    WriteValue(assignment.column, *value, record, assignment.value->Text, truncate_blob);
}

// A NULL source or a result beyond the column's type gives NULL, as the evaluator does.
void DataChange::WriteStep(const Assignment& assignment, std::vector<std::uint8_t>& record,
                           const std::vector<std::uint8_t>& source_row) {
    const ColumnStep& step = *assignment.step;
    const std::uint32_t target = FieldNumber(assignment.column);
    std::array<std::byte, 8> bytes{};
    bool is_null = true;
    cursor_.GetField(step.source, AsBytes(source_row), is_null,
                     std::span(reinterpret_cast<std::uint8_t*>(bytes.data()),
                               std::min<std::size_t>(bytes.size(), step.source_size)));
    const std::optional<EngineNumber> number =
        is_null ? std::nullopt : ReadEngineNumber(step.source_type, bytes.data());
    if (!number) {
        cursor_.PutField(target, record, nullptr);
        return;
    }
    const std::int64_t sum = number->integer + step.addend;
    const EngineDataType type = FieldType(assignment.column);
    bytes.fill(std::byte{0});
    const auto store = [&](auto typed, auto put) {
        using T = decltype(typed);
        if (sum < std::numeric_limits<T>::min() || sum > std::numeric_limits<T>::max()) {
            cursor_.PutField(target, record, nullptr);
            return;
        }
        put(bytes.data(), static_cast<T>(sum));
        cursor_.PutField(target, record, reinterpret_cast<const std::uint8_t*>(bytes.data()));
    };
    switch (type) {
        case kTypeSmallInt:
            store(std::int16_t{}, StoreInt16);
            break;
        case kTypeWord:
            store(std::uint16_t{}, StoreUInt16);
            break;
        default:
            store(std::int32_t{}, StoreInt32);
            break;
    }
}

void DataChange::WriteValue(const FieldDescriptor& column, const TExpToken& value,
                            std::vector<std::uint8_t>& record, std::string_view value_text,
                            bool truncate_blob) {
    const std::uint32_t number = FieldNumber(column);
    if (value.IsNull) {
        cursor_.PutField(number, record, nullptr);
        return;
    }
    if (FieldType(column) == kTypeBlob) {
        auto check = [&](EngineErrorCode code) {
            if (code != kErrNone) {
                RaiseEngineError(code, source_.TableName, FieldName(column));
            }
        };
        check(cursor_.OpenBlob(number, record, kBlobOpenRead));
        if (truncate_blob) {
            check(cursor_.TruncateBlob(number, record, 0));
        }
        // A text goes into a memo without its terminating NUL.
        const std::uint32_t size = value.DataType == kTypeString
                                       ? static_cast<std::uint32_t>(value.ValueText().size())
                                       : std::min(value.DataSize, value.ValueCapacity());
        check(cursor_.WriteBlob(number, record, size,
                                reinterpret_cast<const std::uint8_t*>(value.Value()), 0));
        return;
    }
    ColumnValueBuffer buffer{};
    const std::string_view statement = query_.Kind == kStatementInsert ? "INSERT" : "UPDATE";
    const auto bytes = PrepareColumnValue(value, column, buffer, formats_, value_text, statement);
    cursor_.PutField(number, record, reinterpret_cast<const std::uint8_t*>(bytes.data()));
}

void DataChange::RunInsert() {
    cursor_.SetFetchOption(query_.NoAutoInc);
    std::vector<std::uint8_t> record(cursor_.GetRecordSize());
    cursor_.InitNewRecord(record);
    try {
        for (const Assignment& assignment : assignments_) {
            WriteColumn(assignment, record, nullptr, false);
        }
        cursor_.InsertRecord(record, false);
    } catch (...) {
        cursor_.FreeBlobs();
        throw;
    }
    cursor_.FreeBlobs();
    query_.ResultCount = 1;
}

// Runs `change(count_row)` inside the directory's update batch. count_row counts one changed
// row and flushes at the commit interval. A failure keeps the rows changed before it: the batch
// the statement began ends with a flush before the error goes on.
template <class Change>
void DataChange::InBatch(Change&& change) {
    TDataDirectory& directory = target_.directory.Get();
    const bool began = !directory.InBatch();
    const std::int64_t interval = query_.CommitIntervalGiven
                                      ? query_.CommitInterval
                                      : DefaultCommitInterval(cursor_.GetRecordSize());
    if (began) {
        directory.BeginUpdateBatch();
    }
    std::int64_t changed = 0;
    auto count_row = [&] {
        ++changed;
        query_.ResultCount = static_cast<std::int32_t>(
            std::min<std::int64_t>(changed, std::numeric_limits<std::int32_t>::max()));
        if ((began || query_.CommitIntervalGiven) && interval > 0 && changed % interval == 0) {
            directory.EndUpdateBatch(false);
            cursor_.SaveTableCounters();
        }
    };
    try {
        change(count_row);
    } catch (...) {
        // The batch ends, and gives back its locks, also when its end fails as well; the
        // change's own failure is the one told.
        FirstFailure failure;
        failure.Keep(std::current_exception());
        if (began) {
            failure.Run([&] { directory.EndUpdateBatch(true); });
        }
        failure.Rethrow();
    }
    if (began) {
        directory.EndUpdateBatch(true);
    }
}

void DataChange::RunInsertSelect() {
    const std::vector<FieldDescriptor> columns = TargetColumns();
    TDataQuery& select = *query_.InsertSource;
    TDataCursor* result = select.ResultCursor();
    const auto& plan = select.ResultPlan();
    if (result == nullptr || !select.Produced) {
        Fail("Sub-select query has not been executed");
    }
    if (columns.size() != plan.size()) {
        Fail("The number of values must match the number of table columns");
    }
    cursor_.SetFetchOption(query_.NoAutoInc);
    const std::int64_t total = result->GetRecordCount();
    std::vector<std::uint8_t> row(result->GetRecordSize());
    std::vector<std::uint8_t> record(cursor_.GetRecordSize());
    InBatch([&](auto&& count_row) {
        std::int64_t number = 0;
        result->First();
        while (result->GetNextRecord(row) == kErrNone) {
            if (!ReportProgress(++number, total)) {
                break;
            }
            cursor_.InitNewRecord(record);
            try {
                for (std::size_t i = 0; i < columns.size(); ++i) {
                    const FieldDescriptor& from = plan[i].descriptor;
                    ExpTokenPtr value = NewExpToken();
                    value->Kind = kTokenConstant;
                    value->DataType = FieldType(from);
                    value->SubType = FieldSubtype(from);
                    value->Scale = from[fd::kScale];
                    const auto field = static_cast<std::uint32_t>(i + 1);
                    if (FieldType(from) == kTypeBlob) {
                        std::uint32_t size = 0;
                        if (result->OpenBlob(field, row, 0) != kErrNone ||
                            result->GetBlobSize(field, row, size) != kErrNone) {
                            RaiseEngineError(kErrInvalidBlobHandle, select.TableName);
                        }
                        value->SetDataSize(size);
                        std::uint32_t read = 0;
                        if (size != 0 &&
                            result->ReadBlob(field, row, read, size,
                                             reinterpret_cast<std::uint8_t*>(value->Value()),
                                             0) != kErrNone) {
                            RaiseEngineError(kErrInvalidBlobHandle, select.TableName);
                        }
                        value->IsNull = size == 0;
                        result->FreeBlobs();
                    } else {
                        value->SetDataSize(FieldDataSize(from));
                        bool is_null = true;
                        std::span<std::uint8_t> bytes(
                            reinterpret_cast<std::uint8_t*>(value->Value()),
                            value->ValueCapacity());
                        result->GetField(field, row, is_null, bytes.first(FieldDataSize(from)));
                        value->IsNull = is_null;
                    }
                    WriteValue(columns[i], *value, record, FieldName(from), false);
                }
                cursor_.InsertRecord(record, false);
            } catch (...) {
                cursor_.FreeBlobs();
                throw;
            }
            cursor_.FreeBlobs();
            count_row();
        }
    });
}

bool DataChange::ReportProgress(std::int64_t row, std::int64_t total) const {
    const TDataQuery* main = query_.Statement().MainQuery();
    if (main == nullptr || !main->OnProgress) {
        return true;
    }
    const int percent =
        total > 0 ? static_cast<int>(std::min<std::int64_t>(row * 100 / total, 100)) : 100;
    return main->OnProgress(row, percent);
}

// A part a cursor filter answers as the row check does: none of its nodes is answered otherwise
// by a filter, and every column it reads is one of the table's own, no BLOB.
bool FilterDecidesAsRowCheck(const TExpToken& part) {
    std::vector<const TExpToken*> stack{&part};
    while (!stack.empty()) {
        const TExpToken* node = stack.back();
        stack.pop_back();
        if (FilterAnswersOtherwise(*node) ||
            (node->Kind == kTokenColumn &&
             (node->FieldNumber == 0 || node->DataType == kTypeBlob))) {
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

// A condition of one text comparison that the cursor checks from the record's bytes, or of one
// whole-number column against a constant, is checked so for every changed row instead of
// through the expression evaluator: the same answer, as a filter of the part answers as the row
// check does.
void DataChange::PrepareRowCheck() {
    if (!query_.Condition) {
        return;
    }
    number_check_ = PlanNumberComparison(*query_.Condition);
    if (number_check_) {
        return;
    }
    std::vector<const TExpToken*> parts;
    SplitConjuncts(query_.Condition.get(), parts);
    if (parts.size() != 1 || !FilterDecidesAsRowCheck(*parts[0])) {
        return;
    }
    ExpTokenPtr prepared = FilterCopy(*parts[0], cursor_, formats_);
    if (!prepared || !cursor_.MatchesFromBytes(*prepared)) {
        return;
    }
    row_check_tree_ = std::move(prepared);
    row_check_ = cursor_.RecordMatcher(*row_check_tree_, formats_);
}

TFilter* DataChange::NarrowByIndexes(bool& whole) {
    // The parts of the condition an index answers restrict the rows visited; every visited row
    // is still checked against the whole condition. Parts a filter would answer otherwise than
    // the row check (negations, sub-selects, BLOBs) stay out. `whole` tells that every part
    // went into the filter, as itself or as a wider comparison the row check narrows again.
    whole = false;
    if (!query_.Condition) {
        return nullptr;
    }
    std::vector<const TExpToken*> parts;
    SplitConjuncts(query_.Condition.get(), parts);
    ExpTokenPtr tree;
    std::size_t taken = 0;
    for (const TExpToken* part : parts) {
        if (!FilterDecidesAsRowCheck(*part)) {
            continue;
        }
        ExpTokenPtr prepared = FilterCopy(*part, cursor_, formats_);
        if (!prepared) {
            continue;
        }
        // A case-sensitive comparison that a case-insensitive index only narrows, UPPER(c) or
        // LOWER(c) against a text too, takes the index's answer alone: the change pass reads
        // and checks every row anyway, so the candidates' records are read once instead of
        // twice.
        const bool indexed = cursor_.FilterNodeUsesIndex(*prepared, true);
        if (ExpTokenPtr wider = cursor_.CaseInsensitiveSuperset(*prepared)) {
            prepared = std::move(wider);
        } else if (!indexed) {
            continue;
        }
        tree = AndJoin(std::move(tree), std::move(prepared));
        ++taken;
    }
    if (!tree) {
        return nullptr;
    }
    whole = taken == parts.size();
    TDataCursor::FilterOptions options;
    options.no_partial_compare = true;
    TFilter* filter = cursor_.AddFilter(std::move(tree), options);
    if (filter != nullptr) {
        cursor_.ActivateFilter(filter);
    }
    return filter;
}

void DataChange::RunUpdateOrDelete() {
    const bool update = query_.Kind == kStatementUpdate;
    if (update) {
        cursor_.SetFetchOption(query_.NoAutoInc);
    }
    cursor_.SetIndex(kNoIndex);
    // The qualifying rows are chosen before any is changed, so a row an UPDATE moves or
    // changes is never visited twice (and a DELETE never loses its place). In record order
    // a row is known by its number.
    std::vector<std::uint32_t> chosen;
    std::vector<std::uint8_t> row(cursor_.GetRecordSize());
    bool whole = false;
    TFilter* narrowing = NarrowByIndexes(whole);
    PrepareRowCheck();
    try {
        const std::int64_t total = cursor_.GetRecordCount();
        std::int64_t candidate = 0;
        const auto choose = [&] {
            ++candidate;
            if (!ReportProgress(candidate, total)) {
                return false;
            }
            if (RowPasses(row)) {
                chosen.push_back(cursor_.GetCurrentRecordNo());
            }
            return true;
        };
        // A filter that holds the whole condition (or a wider one) lets through every row that
        // qualifies, so its rows are taken without reading them; each is checked when it is
        // changed.
        std::vector<std::uint32_t> passing;
        const bool listed = narrowing != nullptr && whole && cursor_.VisibleRecordNumbers(passing);
        for (const std::uint32_t number : passing) {
            if (!ReportProgress(++candidate, total)) {
                break;
            }
            chosen.push_back(number);
        }
        const bool scanned = listed || cursor_.ScanRecords([&](ConstRecordBuffer record) {
            const std::size_t n = std::min(record.size(), row.size());
            std::copy_n(record.begin(), n, row.begin());
            std::fill(row.begin() + static_cast<std::ptrdiff_t>(n), row.end(), 0);
            return choose();
        });
        if (!scanned) {
            cursor_.First();
            while (cursor_.GetNextRecord(row) == kErrNone && choose()) {
            }
        }
    } catch (...) {
        if (narrowing != nullptr) {
            cursor_.DropFilter(narrowing);
        }
        throw;
    }
    // The changes themselves may move rows out of the filter.
    if (narrowing != nullptr) {
        cursor_.DropFilter(narrowing);
    }

    // Many rows changed in a batch of their own take one table lock instead of a lock per row,
    // held until the batch is written. The lock is taken only when it is free at once: where
    // anyone holds locks in the table the rows are locked one by one, as they always were,
    // with the same waits and errors.
    bool table_locked = false;
    if (chosen.size() >= kTableLockRows && !target_.directory.Get().InBatch()) {
        TDataSession& session = target_.directory.Get().Session();
        struct NoWait {
            TDataSession& session;
            const std::uint8_t retries;
            const std::uint16_t wait;
            ~NoWait() {
                session.SetLockRetryCount(retries);
                session.SetLockWaitTime(wait);
            }
        } no_wait{session, session.LockRetryCount(), session.LockWaitTime()};
        session.SetLockRetryCount(0);
        session.SetLockWaitTime(0);
        try {
            cursor_.LockTable();
            table_locked = true;
        } catch (const EStrataEngineError&) {
            // Whatever kept the lock from being taken, the rows are locked one by one.
            try {
                cursor_.UnlockTable();
            } catch (const EStrataEngineError&) {
                // Not held: nothing to give back.
            }
        }
    }
    try {
        ChangeChosen(chosen, update);
    } catch (...) {
        if (table_locked) {
            try {
                cursor_.UnlockTable();
            } catch (const EStrataEngineError&) {
                // The change's own failure is the one to report.
            }
        }
        throw;
    }
    if (table_locked) {
        cursor_.UnlockTable();
    }
}

// The chosen rows come in record order: the records of the next few are read in one read
// (the batch keeps other writers out), and the flushes write the changes among them from it.
// A read ends where the next flush does (or at kChangeReadBytes), so that each flush finds its
// changes in what was read, and the window keeps the reads before it while they fit: a
// statement over a stretch that fits ends up holding all of it. `to_flush` rows come before
// the next flush; 0 when the batch does not flush on the way.
void DataChange::ReadAheadOf(std::span<const std::uint32_t> chosen, std::int64_t to_flush) {
    TDataFile& data = cursor_.Table()->DataFile();
    const std::uint32_t first = chosen.front();
    if (data.InReadWindow(first) || data.GetRecordSize() == 0) {
        return;
    }
    const std::size_t most = std::max<std::size_t>(1, kChangeReadBytes / data.GetRecordSize());
    const std::size_t room = std::max<std::size_t>(1, kChangeWindowBytes / data.GetRecordSize());
    const std::size_t gap = kChangeReadGapBytes / data.GetRecordSize();
    std::uint32_t last = first;
    std::uint32_t room_last = first;
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        const std::uint32_t n = chosen[k];
        if (n < room_last || std::size_t{n - first} >= room ||
            std::size_t{n - room_last} > gap + 1) {
            break;
        }
        room_last = n;
        if (n == last || (std::size_t{n - first} < most &&
                          (to_flush <= 0 || static_cast<std::int64_t>(k) < to_flush))) {
            last = n;
        }
    }
    if (last != first) {
        data.ReadWindow(first, last, room_last);
    }
}

// Asks for the stretches of rows after chosen[at] that ReadAheadOf will read, each once, while
// fewer than kHintStretches (and kHintBytes) lie ahead unread.
void DataChange::HintAhead(std::span<const std::uint32_t> chosen, std::size_t at) {
    TDataFile& data = cursor_.Table()->DataFile();
    const std::size_t rs = data.GetRecordSize();
    if (rs == 0) {
        return;
    }
    while (!hinted_.empty() && hinted_.front().first <= at) {
        hinted_bytes_ -= hinted_.front().second;
        hinted_.pop_front();
    }
    const std::size_t gap = kChangeReadGapBytes / rs;
    const std::size_t most = std::max<std::size_t>(1, kChangeReadBytes / rs);
    std::size_t k = std::max(hinted_to_, at);
    while (k < chosen.size() && hinted_.size() < kHintStretches && hinted_bytes_ < kHintBytes) {
        const std::uint32_t first = chosen[k];
        std::uint32_t last = first;
        std::size_t end = k + 1;
        while (end < chosen.size() && chosen[end] >= last &&
               std::size_t{chosen[end] - last} <= gap + 1 &&
               std::size_t{chosen[end] - first} < most) {
            last = chosen[end++];
        }
        data.HintRecords(first, last);
        const std::size_t bytes = std::size_t{last - first + 1} * rs;
        hinted_.emplace_back(end, bytes);
        hinted_bytes_ += bytes;
        k = end;
    }
    hinted_to_ = k;
}

void DataChange::ChangeChosen(const std::vector<std::uint32_t>& chosen, bool update) {
    std::vector<std::uint8_t> row(cursor_.GetRecordSize());
    const TDataFile& data = cursor_.Table()->DataFile();
    const bool hint =
        !data.InMemory() &&
        std::uint64_t{data.GetRecordSlots()} * data.GetRecordSize() > kChangeWindowBytes;
    InBatch([&](auto&& count_row) {
        std::vector<std::uint8_t> record(cursor_.GetRecordSize());
        std::array<std::uint8_t, 4> bookmark{};
        const std::int64_t interval = query_.CommitIntervalGiven
                                          ? query_.CommitInterval
                                          : DefaultCommitInterval(cursor_.GetRecordSize());
        for (std::size_t i = 0; i < chosen.size(); ++i) {
            const std::int64_t to_flush =
                interval > 0 ? interval - query_.ResultCount % interval : 0;
            if (hint && !cursor_.Table()->DataFile().InReadWindow(chosen[i])) {
                HintAhead(chosen, i);
            }
            ReadAheadOf(std::span(chosen).subspan(i), to_flush);
            // The next row's record is on its way while this one is changed.
            if (i + 1 < chosen.size())
                cursor_.Table()->DataFile().PrefetchRecord(chosen[i + 1]);
            PutU32(bookmark, 0, chosen[i]);
            // Positioning fetched the record already.
            if (!cursor_.GotoBookmark(bookmark, false)) {
                continue;
            }
            const ConstRecordBuffer current = cursor_.ViewCurrentRecord();
            if (current.empty()) {
                continue;
            }
            const std::size_t n = std::min(current.size(), row.size());
            std::copy_n(current.begin(), n, row.begin());
            std::fill(row.begin() + static_cast<std::ptrdiff_t>(n), row.end(), 0);
            if (!RowPasses(row)) {
                continue;
            }
            if (update) {
                const std::uint32_t number = cursor_.GetCurrentRecordNo();
                cursor_.LockRecord(number);
                try {
                    record = row;
                    for (const Assignment& assignment : assignments_) {
                        WriteColumn(assignment, record, &row, true);
                    }
                    cursor_.ModifyRecord(record, true, false);
                } catch (...) {
                    cursor_.FreeBlobs();
                    try {
                        cursor_.UnlockRecord(number);
                    } catch (const EStrataEngineError&) {
                        // The modify's own failure is the one to report.
                    }
                    throw;
                }
                cursor_.FreeBlobs();
            } else {
                cursor_.DeleteRecord(row, false);
            }
            count_row();
        }
    });
}

// The target's columns against the sub-select's result columns, before the sub-select runs.
void DataChange::CheckInsertSelectColumns() {
    OpenTarget();
    const std::size_t columns = TargetColumns().size();
    if (query_.InsertSource == nullptr || columns != query_.InsertSource->ResultPlan().size()) {
        Fail("The number of values must match the number of table columns");
    }
}

void DataChange::Run() {
    OpenTarget();
    query_.ResultCount = 0;
    if (query_.InsertSelect) {
        RunInsertSelect();
        return;
    }
    if (query_.Kind == kStatementInsert || query_.Kind == kStatementUpdate) {
        ResolveAssignments();
    }
    CheckCondition();
    if (query_.Kind == kStatementInsert) {
        RunInsert();
    } else {
        RunUpdateOrDelete();
    }
}

}  // namespace

void CheckInsertSelect(TDataQuery& query) {
    if (query.Kind == kStatementInsert && query.InsertSelect) {
        DataChange(query).CheckInsertSelectColumns();
    }
}

void ExecuteDataChange(TDataQuery& query) {
    const std::uint64_t start = StatementTicks();
    if (query.Kind != kStatementInsert && query.Kind != kStatementUpdate &&
        query.Kind != kStatementDelete) {
        Fail("Internal statement error");
    }
    DataChange change(query);
    change.Run();
    query.ExecutionTime = SecondsSince(start);
}

}  // namespace strata
