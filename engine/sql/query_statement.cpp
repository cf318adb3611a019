#include "engine/sql/query_statement.h"

#include <cstring>
#include <string>
#include <utility>

#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/sql/data_change.h"
#include "engine/sql/data_definition.h"
#include "engine/sql/result_table.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_error_codes.h"

namespace strata {

namespace {

[[noreturn]] void ParameterError() {
    RaiseEngineError(kErrSql, {}, {}, {}, "Internal parameter error");
}

}  // namespace

TQueryStatement::TQueryStatement(TDataDirectory* directory)
    : directory_(directory),
      language_(directory != nullptr ? directory->Session().LanguageID() : 0),
      sort_(directory != nullptr ? directory->Session().SortID() : 0),
      lexer_(this) {
    lexer_.SetErrorCode(kErrSql);
    AddDataQuery(std::make_unique<TDataQuery>(*this));
    if (directory != nullptr) {
        session_ = &directory->Session();
        end_listener_ = session_->AddEndListener([this] { LetGoOfSession(); });
    }
}

TQueryStatement::~TQueryStatement() {
    if (session_ != nullptr) {
        session_->RemoveEndListener(end_listener_);
    }
    // Sub-selects go before the queries whose trees point at them.
    parameters_.clear();
    while (!queries_.empty()) {
        queries_.pop_back();
    }
}

void TQueryStatement::LetGoOfSession() {
    session_ = nullptr;
    directory_ = nullptr;
    parameters_.clear();
    while (!queries_.empty()) {
        queries_.pop_back();
    }
    AddDataQuery(std::make_unique<TDataQuery>(*this));
}

void TQueryStatement::SetRequestLive(bool live) {
    if (TDataQuery* main = MainQuery()) {
        main->RequestLive = live;
    }
}

void TQueryStatement::SetMaxRowCount(std::int32_t count) {
    if (TDataQuery* main = MainQuery()) {
        main->MaxRowCount = count;
    }
}

void TQueryStatement::SetPasswordCallback(PasswordCallback callback) {
    if (TDataQuery* main = MainQuery()) {
        main->OnPassword = std::move(callback);
    }
}

void TQueryStatement::SetProgressCallback(ProgressCallback callback) {
    if (TDataQuery* main = MainQuery()) {
        main->OnProgress = std::move(callback);
    }
}

TDataQuery& TQueryStatement::AddDataQuery(std::unique_ptr<TDataQuery> query) {
    queries_.push_back(std::move(query));
    return *queries_.back();
}

std::size_t TQueryStatement::Prepare(std::string_view sql, std::size_t& running_offset) {
    // Until this text is parsed and planned whole, nothing of it or of an earlier one may run.
    prepared_ = false;
    parameters_.clear();
    // A statement prepared again starts from its main query alone.
    while (queries_.size() > 1) {
        queries_.pop_back();
    }
    lexer_.SetText(sql);
    lexer_.NextToken();
    MainQuery()->ParseStatement(false);
    if (lexer_.TokenClass() == ';') {
        lexer_.NextToken();
    }
    const std::size_t end = lexer_.GetPosition();
    CollectParameters();
    // SELECTs are planned from the last query to the first, so that a sub-select's result
    // columns are known when the query around it is planned.
    if (directory_ != nullptr) {
        // Before anything is opened: no INTO may replace a table the statement reads.
        for (const auto& query : queries_) {
            if (query->Kind == kStatementSelect) {
                CheckIntoNotSource(*query);
            }
        }
        for (auto query = queries_.rbegin(); query != queries_.rend(); ++query) {
            if ((*query)->Kind == kStatementSelect) {
                (*query)->PlanSelect();
            }
        }
        CheckInsertSelect(*MainQuery());
    }
    prepared_ = true;
    running_offset += end;
    return end;
}

void TQueryStatement::CollectParameters() {
    parameters_.clear();
    // A marker is NULL until a value is set, as one SetParams leaves without a value is.
    MainQuery()->ForEachParameter([this](TExpToken& token) {
        token.IsNull = true;
        parameters_.push_back(&token);
    });
}

SubSelectQuery& TQueryStatement::ParseSubSelect(TExpressionParser& parser) {
    if (sub_select_depth_ >= kMaxSubSelectNesting) {
        parser.RaiseError("Sub-select queries nested more than " +
                          std::to_string(kMaxSubSelectNesting) +
                          " levels deep are not allowed in ");
    }
    TDataQuery& query = AddDataQuery(std::make_unique<TDataQuery>(*this));
    // The sub-select sets its own clause contexts; the enclosing clause's messages keep theirs.
    const std::string context = parser.Context();
    ++sub_select_depth_;
    try {
        query.ParseStatement(true);
    } catch (...) {
        --sub_select_depth_;
        throw;
    }
    --sub_select_depth_;
    parser.SetContext(context);
    return query;
}

int TQueryStatement::SetParams(std::size_t count, std::span<const FieldDescriptor> descriptors,
                               std::span<const std::byte> record) {
    for (std::size_t i = 0; i < count; ++i) {
        if (i >= parameters_.size() || i >= descriptors.size()) {
            ParameterError();
        }
        const FieldDescriptor& descriptor = descriptors[i];
        TExpToken& token = *parameters_[i];
        const std::size_t offset = FieldOffset(descriptor);
        const EngineDataType type = FieldType(descriptor);
        const std::size_t data_size =
            type == kTypeBlob ? kBlobParameterSize : FieldDataSize(descriptor);
        if (offset >= record.size() || record.size() - offset - 1 < data_size) {
            ParameterError();
        }
        const bool present = record[offset] == std::byte{1};
        const std::byte* data = record.data() + offset + 1;
        token.DataType = type;
        token.SubType = FieldSubtype(descriptor);
        token.IsNull = !present;
        if (type == kTypeBlob) {
            const auto size = static_cast<std::uint32_t>(LoadInt32(data));
            const std::byte* bytes = nullptr;
            std::memcpy(&bytes, data + 4, sizeof bytes);
            token.Scale = 0;
            if (!present) {
                token.SetDataSize(0);
                continue;
            }
            if (size != 0 && bytes == nullptr) {
                ParameterError();
            }
            token.SetDataSize(size);
            if (size != 0) {
                std::memcpy(token.Value(), bytes, size);
            }
        } else {
            token.SetDataSize(static_cast<std::uint32_t>(data_size));
            token.Scale = descriptor[fd::kScale];
            std::memcpy(token.Value(), data, data_size);
            // A string value always ends within its data, whatever the caller's bytes hold.
            if (type == kTypeString && data_size != 0) {
                token.Value()[data_size - 1] = std::byte{0};
            }
        }
    }
    // Markers without a value are NULL rather than keeping an earlier execution's value.
    for (std::size_t i = count; i < parameters_.size(); ++i) {
        parameters_[i]->IsNull = true;
    }
    return 0;
}

TDataCursor* TQueryStatement::Execute() {
    if (directory_ == nullptr && end_listener_ != 0) {
        RaiseEngineError(kErrSql, {}, {}, {}, "Statement has no database");
    }
    if (!prepared_) {
        RaiseEngineError(kErrSql, {}, {}, {}, "Internal statement error");
    }
    for (std::size_t i = queries_.size(); i-- > 1;) {
        if (queries_[i]->Kind == kStatementSelect) {
            queries_[i]->ExecuteSelect();
        }
    }
    TDataQuery& main = *MainQuery();
    switch (main.Kind) {
        case kStatementSelect:
            return &main.ExecuteSelect();
        case kStatementInsert:
        case kStatementUpdate:
        case kStatementDelete:
            ExecuteDataChange(main);
            return nullptr;
        case kStatementCreateTable:
        case kStatementAlterTable:
        case kStatementCreateIndex:
        case kStatementDropTable:
        case kStatementDropIndex: {
            const std::uint64_t start = StatementTicks();
            ExecuteDefinition(main);
            main.ExecutionTime = SecondsSince(start);
            return nullptr;
        }
        default:
            RaiseEngineError(kErrSql, {}, {}, {}, "Internal statement error");
    }
}

std::int32_t TQueryStatement::GetResultCount() const {
    const TDataQuery* main = MainQuery();
    return main != nullptr ? main->ResultCount : 0;
}

double TQueryStatement::GetExecutionTime() const {
    const TDataQuery* main = MainQuery();
    return main != nullptr ? main->ExecutionTime : 0.0;
}

}  // namespace strata
