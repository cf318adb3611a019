// Planning of a SELECT: its source tables are opened, its result columns resolved and typed,
// GROUP BY and ORDER BY bound to result columns, and its result table created.

#include <algorithm>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/sql/data_query.h"
#include "engine/sql/query_statement.h"
#include "engine/sql/result_names.h"
#include "engine/sql/result_table.h"
#include "engine/sql/statement_tables.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/engine_heap.h"
#include "engine/storage/expression_types.h"
#include "engine/storage/storage_utils.h"
#include "platform/nls/nls.h"

namespace strata {

namespace {

constexpr std::string_view kSourceColumnsContext = "source columns";

db::TFormatSettings SessionFormats(const TQueryStatement& statement) {
    FormatSettingsLock lock;
    db::TFormatSettings formats;
    LoadLocaleFormats(statement.SessionLanguageID(), statement.SessionSortID(), formats);
    return formats;
}

// A result field descriptor for a typed expression.
FieldDescriptor ExpressionDescriptor(const TExpToken& node, std::uint16_t number,
                                     std::string_view name) {
    EngineDataType type = node.DataType;
    std::uint8_t length = 0;
    std::uint8_t decimals = 0;
    switch (type) {
        case kTypeNone:
            // A bare NULL: a one-character string column that holds the null.
            type = kTypeString;
            length = 1;
            break;
        case kTypeString:
            length = static_cast<std::uint8_t>(std::max<std::uint32_t>(node.DataSize, 2) - 1);
            break;
        case kTypeBytes:
            length = static_cast<std::uint8_t>(std::clamp<std::uint32_t>(node.DataSize, 1, 250));
            break;
        case kTypeBCD:
            decimals = node.Scale;
            break;
        default:
            break;
    }
    return MakeFieldDescriptor(number, name, type, node.SubType, length, decimals);
}

}  // namespace

TDataCursor* TDataQuery::ResultCursor() const {
    if (LiveResult) {
        return SourceTables.front()->Table->cursor.get();
    }
    return result_ ? result_->cursor.get() : nullptr;
}

void TDataQuery::OpenSourceTables() {
    const TDataQuery* main = statement_->MainQuery();
    for (auto& source : SourceTables) {
        source->Table = std::make_unique<StatementTable>(*statement_, source->DatabaseName,
                                                         source->TableName, source->InMemory);
        TDataCursor& cursor = *source->Table->cursor;
        cursor.SetReadOnly(!RequestLive);
        cursor.SetExclusive(false);
        cursor.SetStatementOwned(true);
        cursor.SetPhysicalOrder(true);
        // Only the main query carries the dataset's password handler.
        if (main == this && OnPassword) {
            cursor.SetPasswordHandler(OnPassword);
        }
        cursor.Open();
        cursor.SetPasswordHandler({});
        source->Record.assign(cursor.GetRecordSize(), 0);
    }
}

bool TDataQuery::ResolveSourceColumn(TExpToken& column) const {
    for (const auto& source : SourceTables) {
        if (!column.TableName.empty() &&
            !platform::nls::SameTextAnsi(column.TableName, source->CorrelationName)) {
            continue;
        }
        FieldDescriptor d{};
        if (!source->Table || !source->Table->cursor->FindFieldDesc(column.ColumnName, d)) {
            continue;
        }
        column.FieldNumber = FieldNumber(d);
        column.DataType = FieldType(d);
        column.SubType = FieldSubtype(d);
        column.SetDataSize(FieldDataSize(d));
        column.Scale = d[fd::kScale];
        column.SourceTable = source.get();
        return true;
    }
    return false;
}

void TDataQuery::PlanResultColumns() {
    const db::TFormatSettings formats = SessionFormats(*statement_);
    const ExpressionErrorInfo errors{kErrSql, {}, std::string(kSourceColumnsContext)};
    const ColumnResolver resolver = [this](TExpToken& column) {
        return ResolveSourceColumn(column);
    };
    std::vector<ResultColumnPlan> plan;
    std::vector<std::string> names;
    bool any_aggregate = false;
    bool any_plain = false;
    auto add_plain = [&](TResultField& field, TSourceTable& source, std::uint16_t number,
                         bool star) {
        ResultColumnPlan column;
        column.field = &field;
        column.source = &source;
        column.source_field = number;
        column.descriptor = source.Table->cursor->GetTableFieldDesc(number);
        names.push_back(star ? FieldName(column.descriptor) : DefaultResultName(field));
        plan.push_back(column);
        any_plain = true;
    };

    for (const auto& item : ResultFields) {
        TResultField& field = *item;
        if (field.Aggregate == kAggregateNone && field.ColumnName() == "*") {
            if (!field.AliasNotGiven) {
                Fail("Invalid use of column correlation name '" + field.ResultName +
                     "' for '*' specified in source columns");
            }
            bool found = false;
            for (const auto& source : SourceTables) {
                if (!field.TableName.empty() &&
                    !platform::nls::SameTextAnsi(field.TableName, source->CorrelationName)) {
                    continue;
                }
                found = true;
                for (std::uint32_t n = 1; n <= source->Table->cursor->GetFieldCount(); ++n) {
                    add_plain(field, *source, static_cast<std::uint16_t>(n), true);
                }
            }
            if (!found) {
                Fail("Invalid column name '*' or table correlation name '" + field.TableName +
                     "' specified in source columns");
            }
            continue;
        }
        if (field.Aggregate == kAggregateNone && !field.IsExpression) {
            TExpToken& column = *field.Expression;
            if (!ResolveSourceColumn(column)) {
                Fail("Invalid column name '" + field.ColumnName() +
                     "' or table correlation name '" + field.TableName +
                     "' specified in source columns");
            }
            add_plain(field, *static_cast<TSourceTable*>(column.SourceTable), column.FieldNumber,
                      false);
            continue;
        }
        ResultColumnPlan column;
        column.field = &field;
        column.aggregate = field.Aggregate;
        column.count_star = field.CountStar;
        if (field.CountStar) {
            // COUNT(*) is named after the first field of its table.
            const auto& first = SourceTables.front()->Table->cursor;
            if (first->GetFieldCount() > 0) {
                field.SetColumnName(FieldName(first->GetTableFieldDesc(1)));
            }
            ExpTokenPtr count = NewExpToken();
            count->DataType = kTypeInteger;
            count->SetDataSize(4);
            names.push_back(DefaultResultName(field));
            column.descriptor = ExpressionDescriptor(*count, 0, names.back());
        } else {
            CheckExpressionTypes(errors, false, resolver, nullptr, *field.Expression, formats);
            if (field.Expression->DataType == kTypeString &&
                field.Expression->DataSize > kMaxStringLength + 1) {
                Fail("Column expression '" + field.ExpressionText +
                     "' exceeds the maximum allowable field size");
            }
            column.expression = field.Aggregate == kAggregateNone ? field.Expression.get()
                                                                  : field.Expression->First.get();
            names.push_back(DefaultResultName(field));
            column.descriptor = ExpressionDescriptor(*field.Expression, 0, names.back());
        }
        if (field.Aggregate != kAggregateNone) {
            any_aggregate = true;
        } else {
            any_plain = true;
        }
        plan.push_back(column);
    }
    if (plan.size() > kMaxQueryColumns) {
        Fail("Maximum number of columns (" + std::to_string(kMaxQueryColumns) +
             ") in result set exceeded");
    }
    if (any_aggregate && any_plain && !HasGroupBy) {
        Fail("Invalid use of aggregate function(s), the necessary GROUP BY clause is missing");
    }
    MakeResultNamesUnique(names);
    for (std::size_t i = 0; i < plan.size(); ++i) {
        PutU16(plan[i].descriptor, fd::kNumber, i + 1);
        PutShortString(plan[i].descriptor, fd::kName, fd::kNameLength, names[i]);
        // The result holds values, not the source's rules.
        for (const std::size_t at : {fd::kRequired, fd::kNotStored}) {
            plan[i].descriptor[at] = 0;
        }
        PutShortString(plan[i].descriptor, fd::kMinimum, fd::kTextLength, "");
        PutShortString(plan[i].descriptor, fd::kMaximum, fd::kTextLength, "");
        PutShortString(plan[i].descriptor, fd::kDefault, fd::kTextLength, "");
        if (FieldIsAutoInc(plan[i].descriptor)) {
            plan[i].descriptor[fd::kSubtype] = 0;
        }
    }
    std::uint16_t next = static_cast<std::uint16_t>(plan.size());
    for (ResultColumnPlan& column : plan) {
        if (column.aggregate == kAggregateAvg) {
            column.avg_count_field = ++next;
        }
    }
    ImplicitGroup = any_aggregate && !HasGroupBy;
    result_plan_ = std::move(plan);
}

std::vector<std::size_t> TDataQuery::ResolveItems(bool order_by) const {
    const std::string clause = order_by ? "ORDER BY" : "GROUP BY";
    std::vector<std::size_t> columns;
    auto resolve = [&](const std::string& column, const std::string& correlation,
                       std::uint16_t number) -> std::size_t {
        if (number != 0) {
            if (number > result_plan_.size()) {
                Fail("Invalid column number '" + std::to_string(number) + "' specified in " +
                     clause + " clause");
            }
            return number - 1u;
        }
        for (std::size_t i = 0; i < result_plan_.size(); ++i) {
            const ResultColumnPlan& plan = result_plan_[i];
            const std::string source_name =
                plan.source != nullptr
                    ? FieldName(plan.source->Table->cursor->GetTableFieldDesc(plan.source_field))
                    : plan.field->ColumnName();
            if (!correlation.empty()) {
                if (plan.source != nullptr &&
                    platform::nls::SameTextAnsi(plan.source->CorrelationName, correlation) &&
                    platform::nls::SameTextAnsi(source_name, column)) {
                    return i;
                }
            } else if ((plan.aggregate == kAggregateNone &&
                        platform::nls::SameTextAnsi(source_name, column)) ||
                       platform::nls::SameTextAnsi(FieldName(plan.descriptor), column)) {
                return i;
            }
        }
        Fail("Invalid column name '" + column + "' or table correlation name '" + correlation +
             "' specified in " + clause + " clause");
    };
    const std::size_t count = order_by ? OrderByFields.size() : GroupByFields.size();
    if (count > kMaxQueryColumns) {
        Fail("Maximum number of columns (" + std::to_string(kMaxQueryColumns) + ") in " + clause +
             " clause exceeded");
    }
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at =
            order_by ? resolve(OrderByFields[i]->ColumnName, OrderByFields[i]->TableName,
                               OrderByFields[i]->ColumnNumber)
                     : resolve(GroupByFields[i]->ColumnName, GroupByFields[i]->TableName,
                               GroupByFields[i]->ColumnNumber);
        if (!order_by && FieldType(result_plan_[at].descriptor) == kTypeBlob) {
            Fail("Invalid BLOB column '" + GroupByFields[i]->ColumnName +
                 "' specified in GROUP BY clause");
        }
        columns.push_back(at);
    }
    return columns;
}

void TDataQuery::CreateResultTable(bool on_disk) {
    TableDefinition definition;
    for (const ResultColumnPlan& column : result_plan_) {
        definition.fields.push_back(column.descriptor);
    }
    for (const ResultColumnPlan& column : result_plan_) {
        if (column.avg_count_field != 0) {
            definition.fields.push_back(MakeFieldDescriptor(
                column.avg_count_field, "Sys__Avg__Count" + std::to_string(column.avg_count_field),
                kTypeInteger));
        }
    }
    definition.indexes = {IndexDescriptor{}};
    definition.allow_no_primary = true;
    definition.language = TableLanguageID();
    definition.sort = TableSortID();
    definition.blob_block_size = BlobBlockSize;
    definition.description = Description;
    definition.encrypted = Encrypted;
    definition.password = Encrypted ? Password : std::string();
    definition.user_major = UserMajorVersion;
    definition.user_minor = UserMinorVersion;
    definition.last_auto_inc = -1;

    TDataDirectory* own = statement_->Directory();
    TDataSession& session = own->Session();
    std::string database;
    std::string table;
    const bool named = !TableName.empty();
    if (named) {
        SplitTableName(TableName, InMemory, database, table);
        if (database.empty()) {
            database = session.GetPrivateDir();
        }
    } else {
        database = session.GetPrivateDir();
    }
    // A result without a name starts in memory, where creating and filling it costs no file
    // work, and moves to the private directory once it grows large (SpillResult). BLOB values
    // would need their own copy on the way, so such results stay on disk.
    const bool held = !named && !InMemory && !on_disk &&
                      std::none_of(result_plan_.begin(), result_plan_.end(), [](const auto& c) {
                          return FieldType(c.descriptor) == kTypeBlob;
                      });
    const bool memory = InMemory || held;
    result_ = std::make_unique<StatementTable>(*statement_, database, "", memory);
    result_held_ = held;
    TDataCursor& cursor = *result_->cursor;
    if (!named) {
        table = result_->directory.Get().MakeTempTableName(memory);
    }
    cursor.SetTableName(table);
    cursor.SetExclusive(true);
    cursor.SetTemporary(!named);
    cursor.SetStatementOwned(true);
    const bool add_password = Encrypted && !session.HasPassword(Password);
    if (add_password) {
        session.AddPassword(Password);
    }
    try {
        cursor.CreateTable(std::move(definition), true);
        cursor.Open();
    } catch (...) {
        if (add_password) {
            session.RemovePassword(Password);
        }
        throw;
    }
    if (add_password) {
        session.RemovePassword(Password);
    }
    // The AVG counts are the processor's own: the cursor's copies of their descriptors carry
    // the hidden mark, so that a dataset over the result shows only the result columns.
    if (cursor.GetFieldCount() > result_plan_.size()) {
        std::vector<FieldDescriptor> layout;
        for (std::uint32_t n = 1; n <= cursor.GetFieldCount(); ++n) {
            layout.push_back(cursor.GetFieldDesc(n));
            layout.back()[fd::kHidden] = n > result_plan_.size() ? 1 : 0;
        }
        cursor.SetFieldDescriptors(std::move(layout));
    }
}

bool TDataQuery::LiveResultPossible() {
    if (!RequestLive || !TableName.empty() || Distinct || SourceTables.size() != 1 || HasGroupBy ||
        ImplicitGroup || Having) {
        return false;
    }
    if (statement_->MainQuery() == this) {
        if (statement_->Queries().size() > 1) {
            return false;
        }
    } else {
        if (HasExpressionColumn) {
            return false;
        }
        // An INSERT that reads its own target must read a copy: a live source would meet the
        // rows the INSERT adds and never end.
        const TDataQuery* main = statement_->MainQuery();
        if (main != nullptr && main->InsertSource == this && !main->SourceTables.empty() &&
            platform::nls::SameTextAnsi(RemoveFileExt(main->SourceTables.front()->TableName),
                                        RemoveFileExt(SourceTables.front()->TableName))) {
            return false;
        }
    }
    if (!LiveConditionFits()) {
        return false;
    }
    TDataCursor& cursor = *SourceTables.front()->Table->cursor;
    // A filter reads a blob only through the record it evaluates; row checks read it whole.
    if (Condition) {
        ExpTokenPtr condition = CopyTokenTree(Condition.get());
        std::vector<TExpToken*> stack{condition.get()};
        while (!stack.empty()) {
            TExpToken* node = stack.back();
            stack.pop_back();
            if (node->Kind == kTokenColumn && ResolveSourceColumn(*node) &&
                node->DataType == kTypeBlob) {
                return false;
            }
            for (TExpToken* child : {node->First.get(), node->Second.get(), node->Third.get()}) {
                if (child != nullptr) {
                    stack.push_back(child);
                }
            }
        }
    }
    std::vector<std::uint16_t> blob_fields;
    for (const ResultColumnPlan& column : result_plan_) {
        if (column.source != nullptr) {
            // The record holds one reference per blob; two columns over it would write it twice.
            if (FieldType(column.descriptor) == kTypeBlob) {
                if (std::find(blob_fields.begin(), blob_fields.end(), column.source_field) !=
                    blob_fields.end()) {
                    return false;
                }
                blob_fields.push_back(column.source_field);
            }
            continue;
        }
        // A computed field holds a value the engine can store in the record.
        const EngineDataType type = column.expression->DataType;
        if (type == kTypeNone || type == kTypeBlob) {
            return false;
        }
        std::vector<const TExpToken*> stack{column.expression};
        while (!stack.empty()) {
            const TExpToken* node = stack.back();
            stack.pop_back();
            if (node->Kind == kTokenSubSelect || node->SubSelect != nullptr ||
                (node->Kind == kTokenColumn && node->DataType == kTypeBlob)) {
                return false;
            }
            for (const TExpToken* child :
                 {node->First.get(), node->Second.get(), node->Third.get()}) {
                if (child != nullptr) {
                    stack.push_back(child);
                }
            }
        }
    }
    if (OrderByFields.empty()) {
        ResultIndex = kNoResultIndex;
        return true;
    }
    // The first index whose leading fields are the ORDER BY columns, in their directions and
    // with NOCASE where they are strings, gives the order.
    const std::vector<std::size_t> items = ResolveItems(true);
    for (int slot = cursor.HasNoPrimaryIndex() ? 1 : 0; slot <= cursor.GetIndexCount(); ++slot) {
        const IndexDescriptor index = cursor.GetIndexDesc(static_cast<std::uint32_t>(slot));
        if (IndexFieldCount(index) < items.size()) {
            continue;
        }
        bool matches = true;
        for (std::size_t k = 0; k < items.size() && matches; ++k) {
            const ResultColumnPlan& column = result_plan_[items[k]];
            const bool descending =
                (index[ixd::kDescending] != 0) != (index[ixd::kFieldDescending + k] != 0);
            matches = column.source != nullptr &&
                      IndexFieldNumber(index, k) == column.source_field &&
                      descending == OrderByFields[k]->Descending &&
                      (FieldType(column.descriptor) != kTypeString ||
                       (index[ixd::kCaseInsensitive] != 0) == OrderByNoCase);
        }
        if (matches) {
            ResultIndex = static_cast<std::uint8_t>(slot);
            OrderByUsesIndex = true;
            return true;
        }
    }
    return false;
}

void TDataQuery::InstallLiveLayout() {
    TDataCursor& cursor = *SourceTables.front()->Table->cursor;
    const std::uint32_t table_fields = cursor.GetFieldCount();
    live_positions_.assign(table_fields + 1, 0);
    std::vector<FieldDescriptor> layout;
    bool computed = false;
    for (std::size_t i = 0; i < result_plan_.size(); ++i) {
        const ResultColumnPlan& column = result_plan_[i];
        FieldDescriptor d{};
        if (column.source != nullptr) {
            // The source field's own descriptor, so that writes keep its place and its rules.
            d = cursor.GetTableFieldDesc(column.source_field);
            if (live_positions_[column.source_field] == 0) {
                live_positions_[column.source_field] = static_cast<std::uint16_t>(i + 1);
            }
        } else {
            d = column.descriptor;
            d[fd::kNotStored] = 1;
            computed = true;
        }
        PutU16(d, fd::kNumber, i + 1);
        PutShortString(d, fd::kName, fd::kNameLength, FieldName(column.descriptor));
        layout.push_back(d);
    }
    // Every other field of the table follows, hidden: conditions read them, and a record
    // written through the result still gets their defaults and meets their checks.
    for (std::uint32_t n = 1; n <= table_fields; ++n) {
        if (live_positions_[n] != 0) {
            continue;
        }
        FieldDescriptor d = cursor.GetTableFieldDesc(n);
        const std::string name = FieldName(d);
        const bool taken = std::any_of(layout.begin(), layout.end(), [&](const auto& other) {
            return platform::nls::SameTextAnsi(FieldName(other), name);
        });
        if (taken) {
            PutShortString(d, fd::kName, fd::kNameLength, "Sys__Field" + std::to_string(n));
        }
        live_positions_[n] = static_cast<std::uint16_t>(layout.size() + 1);
        PutU16(d, fd::kNumber, live_positions_[n]);
        d[fd::kHidden] = 1;
        layout.push_back(d);
    }
    cursor.SetComputedFields(computed);
    cursor.SetFieldDescriptors(std::move(layout));
    for (std::size_t i = 0; i < result_plan_.size(); ++i) {
        if (result_plan_[i].source == nullptr) {
            cursor.SetFieldExpression(static_cast<std::uint32_t>(i + 1),
                                      LiveTree(*result_plan_[i].expression));
        }
    }
}

void TDataQuery::PlanSelect() {
    if (statement_->Directory() == nullptr) {
        Fail("Statement has no database");
    }
    if (RightJoinOfSeveralTables) {
        Fail("RIGHT JOIN is supported only between two tables");
    }
    if (Distinct && HasGroupBy) {
        Distinct = false;
    }
    CheckIntoNotSource(*this);
    OpenSourceTables();
    PlanResultColumns();
    if (!HasGroupBy && Having) {
        Fail("A GROUP BY clause must exist in order to use the HAVING clause");
    }
    CountStarShortcut = SourceTables.size() == 1 && result_plan_.size() == 1 &&
                        result_plan_[0].count_star && !Condition;
    LiveResult = LiveResultPossible();
    if (LiveResult) {
        InstallLiveLayout();
        return;
    }
    ResultIndex = kNoResultIndex;
    OrderByUsesIndex = false;
    if (Having) {
        CheckHaving();
    }
    // ORDER BY is bound before GROUP BY: with both wrong, ORDER BY's error is the one told.
    order_columns_ = ResolveItems(true);
    group_columns_ = ResolveItems(false);
    if (Distinct) {
        for (const ResultColumnPlan& column : result_plan_) {
            if (FieldType(column.descriptor) == kTypeBlob) {
                Fail("Invalid BLOB column '" + FieldName(column.descriptor) +
                     "' specified in DISTINCT clause");
            }
        }
    }
    // A table named by INTO is made anew only once the statement runs and its conditions have
    // passed their checks: a statement that fails them leaves the old table as it was.
    into_pending_ = !TableName.empty();
    if (!into_pending_) {
        CreateResultTable();
    }
}

}  // namespace strata
