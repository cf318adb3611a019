#include "engine/sql/data_query.h"

#include <chrono>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/sql/column_value.h"
#include "engine/sql/query_statement.h"
#include "engine/sql/statement_tables.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/expression_eval.h"
#include "engine/storage/expression_parser.h"

namespace strata {

std::uint64_t StatementTicks() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

double SecondsSince(std::uint64_t start) {
    const std::uint64_t now = StatementTicks();
    return now > start ? static_cast<double>(now - start) / 1000.0 : 0.0;
}

TDataQuery::TDataQuery(TQueryStatement& statement) : statement_(&statement) {}

TDataQuery::~TDataQuery() = default;

void TDataQuery::Reset() {
    // What the dataset set (request-live, MaxRowCount, callbacks) belongs to the statement's use,
    // not to its text, and survives a new parse.
    Produced = false;
    SubSelect = false;
    Kind = kStatementNone;
    ExecutionTime = 0.0;
    ResultCount = 0;
    Distinct = HasAvg = HasExpressionColumn = MultipleTables = NoJoinOptimize = false;
    HasCondition = HasHaving = HasOrderBy = OrderByUsesIndex = false;
    ResultIndex = kNoResultIndex;
    OrderByExpression = OrderByNoCase = HasGroupBy = ImplicitGroup = false;
    CountStarShortcut = HavingGiven = LiveResult = InMemory = InsertSelect = false;
    TableName.clear();
    IndexName.clear();
    SourceTables.clear();
    ResultFields.clear();
    UpdateFields.clear();
    UpdateValues.clear();
    CreateFields.clear();
    CreateIndexes.clear();
    OrderByFields.clear();
    GroupByFields.clear();
    Condition.reset();
    Having.reset();
    Remainder.reset();
    RemainderPresent = false;
    RowCondition.reset();
    RowConditionPresent = false;
    WithLocks = false;
    LanguageID = 0;
    SortID = 0;
    BlobBlockSize = 512;
    Encrypted = false;
    Password.clear();
    Description.clear();
    NoAutoInc = NoBackup = false;
    CommitInterval = 0;
    CommitIntervalGiven = false;
    UserMajorVersion = 1;
    UserMinorVersion = 0;
    LastAutoInc = -1;
    EncryptedGiven = LanguageGiven = SortGiven = BlobBlockSizeGiven = false;
    DescriptionGiven = MajorVersionGiven = MinorVersionGiven = false;
    InsertSource = nullptr;
    WhereCondition = nullptr;
    RightJoinOfSeveralTables = false;
    result_plan_.clear();
    group_columns_.clear();
    order_columns_.clear();
    result_.reset();
    into_pending_ = false;
    live_positions_.clear();
    result_filter_.reset();
}

bool TDataQuery::BindResultColumn(TExpToken& column) {
    // The result's first column, known once the sub-select is planned.
    if (result_plan_.empty()) {
        return false;
    }
    const FieldDescriptor& d = result_plan_.front().descriptor;
    column.FieldNumber = 1;
    column.DataType = FieldType(d);
    column.SubType = FieldSubtype(d);
    column.SetDataSize(FieldDataSize(d));
    column.Scale = d[fd::kScale];
    return true;
}

void TDataQuery::SetResultFilter(const TExpToken& condition) {
    result_filter_ = CopyTokenTree(&condition);
    // The sub-select's side reads the result's first column, row by row.
    std::vector<TExpToken*> stack{result_filter_.get()};
    while (!stack.empty()) {
        TExpToken* node = stack.back();
        stack.pop_back();
        if (node->Kind == kTokenSubSelect) {
            node->Kind = kTokenColumn;
            node->ColumnName = "Sys__SubSelect";
            node->FieldNumber = 1;
        }
        for (TExpToken* child : {node->First.get(), node->Second.get(), node->Third.get()}) {
            if (child != nullptr) {
                stack.push_back(child);
            }
        }
    }
}

std::uint16_t TDataQuery::TableLanguageID() const {
    return LanguageID != 0 ? LanguageID : statement_->SessionLanguageID();
}

std::uint16_t TDataQuery::TableSortID() const {
    return LanguageID != 0 ? SortID : statement_->SessionSortID();
}

std::int64_t TDataQuery::ResultRecordCount() {
    return CountResultRecords(std::numeric_limits<std::int64_t>::max());
}

bool TDataQuery::ResultHasRecord() {
    return CountResultRecords(1) > 0;
}

std::int64_t TDataQuery::CountResultRecords(std::int64_t limit) {
    TDataCursor* result = ResultCursor();
    if (result == nullptr || !Produced) {
        RaiseEngineError(kErrSql, {}, {}, {}, "Sub-select query has not been executed");
    }
    if (!result_filter_) {
        return result->GetRecordCount();
    }
    std::vector<std::uint8_t> record(result->GetRecordSize());
    const auto* self = static_cast<const SubSelectQuery*>(this);
    const ColumnReader reader = [&](const std::byte* /*row*/, TExpToken& column) {
        if (column.SubSelect != self) {
            column.IsNull = true;
            return;
        }
        ReadColumnValue(*result, 1, record, column, TableName);
    };
    std::int64_t count = 0;
    result->First();
    while (count < limit && result->GetNextRecord(record) == kErrNone) {
        const ExpTokenPtr answer = EvaluateExpression(*result_filter_, nullptr, result->GetSortID(),
                                                      result->GetLanguageID(), reader);
        if (!answer->IsNull && LoadUInt16(answer->Value()) != 0) {
            ++count;
        }
    }
    return count;
}

namespace {

// Functions whose operands are written in another order than their children hold them: the
// second child (search value, trim character) stands before the first in the text.
bool SecondChildWrittenFirst(const TExpToken& node) {
    if (node.Kind != kTokenFunction) {
        return false;
    }
    switch (node.Code) {
        case kOpReplace:
        case kOpPos:
        case kOpOccurs:
        case kOpTrimLeading:
        case kOpTrimTrailing:
        case kOpTrimBoth:
            return true;
        default:
            return false;
    }
}

// Visits the parameters of one tree in written order, entering sub-selects where they stand.
// The walk keeps its own stack: AND chains and IN lists can be far longer than the call stack.
void VisitTreeParameters(const TExpToken* root, const std::function<void(TExpToken&)>& visit) {
    if (root == nullptr) {
        return;
    }
    std::vector<TExpToken*> stack{const_cast<TExpToken*>(root)};
    while (!stack.empty()) {
        TExpToken* node = stack.back();
        stack.pop_back();
        if (node->Kind == kTokenConstant && node->IsParameter) {
            visit(*node);
        }
        if (node->Kind == kTokenSubSelect && node->SubSelect != nullptr) {
            auto* query = dynamic_cast<TDataQuery*>(node->SubSelect);
            if (query != nullptr) {
                query->ForEachParameter(visit);
            }
        }
        // Pushed in reverse of the visiting order.
        if (node->Third) {
            stack.push_back(node->Third.get());
        }
        if (SecondChildWrittenFirst(*node)) {
            if (node->First) {
                stack.push_back(node->First.get());
            }
            if (node->Second) {
                stack.push_back(node->Second.get());
            }
        } else {
            if (node->Second) {
                stack.push_back(node->Second.get());
            }
            if (node->First) {
                stack.push_back(node->First.get());
            }
        }
    }
}

}  // namespace

void TDataQuery::ForEachParameter(const std::function<void(TExpToken&)>& visit) const {
    switch (Kind) {
        case kStatementSelect:
            for (const auto& field : ResultFields) {
                VisitTreeParameters(field->Expression.get(), visit);
            }
            VisitTreeParameters(Condition.get(), visit);
            VisitTreeParameters(Having.get(), visit);
            break;
        case kStatementInsert:
            if (InsertSource != nullptr) {
                InsertSource->ForEachParameter(visit);
            }
            for (const auto& value : UpdateValues) {
                VisitTreeParameters(value->Value.get(), visit);
            }
            break;
        case kStatementUpdate:
            for (const auto& value : UpdateValues) {
                VisitTreeParameters(value->Value.get(), visit);
            }
            VisitTreeParameters(Condition.get(), visit);
            break;
        case kStatementDelete:
            VisitTreeParameters(Condition.get(), visit);
            break;
        default:
            break;
    }
}

TExpressionParser& TDataQuery::Lexer() const {
    return statement_->Lexer();
}

void TDataQuery::Fail(std::string_view message) const {
    RaiseEngineError(kErrSql, {}, {}, {}, message);
}

void TDataQuery::FailExpected(std::string_view message) const {
    std::string text(message);
    text += Lexer().TokenText();
    text += '\'';
    Fail(text);
}

}  // namespace strata
