#include "engine/dataset/strata_query.h"

#include "engine/core/data_cursor.h"
#include "engine/dataset/blob_stream.h"
#include "engine/sql/query_statement.h"
#include "platform/db/code_page_text.h"
#include "platform/db/data_source.h"
#include "platform/db/exception.h"
#include "platform/db/fields_blob.h"

namespace strata {

static_assert(kBlobParamSlotSize == kBlobParameterSize,
              "the query and the statement must agree on a blob parameter's slot");

namespace {

[[noreturn]] void Fail(const std::string& text) {
    throw db::EDatabaseError(text);
}

constexpr std::uint8_t kPreparedFlag = 1;
// The statement names tables of any language; its own text, literals and
// parameters are in the page of language 0.
constexpr platform::nls::CodePage kStatementCodePage = platform::nls::CodePage::Western;

}  // namespace

void TStrataQueryDataLink::ActiveChanged() {
    if (query_.Active())
        query_.RefreshParams();
}

void TStrataQueryDataLink::RecordChanged(db::TField* field) {
    if (field == nullptr && query_.Active())
        query_.RefreshParams();
}

void TStrataQueryDataLink::CheckBrowseMode() {
    if (query_.Active())
        query_.CheckBrowseMode();
}

TStrataQuery::TStrataQuery(db::TComponent* owner) : TStrataDBDataSet(owner), link_(*this) {
    sql_.OnChange = [this](db::TObject*) { SQLChanged(); };
}

TStrataQuery::~TStrataQuery() {
    Destroying();
    try {
        Disconnect();
    } catch (...) {
    }
}

void TStrataQuery::SetSQL(const db::TStrings& lines) {
    if (sql_.Text() == lines.Text())
        return;
    Disconnect();
    sql_.Assign(lines);
}

void TStrataQuery::SetSQLScript(const db::TStrings& lines) {
    if (sql_script_.Text() != lines.Text())
        sql_script_.Assign(lines);
}

void TStrataQuery::SQLChanged() {
    if (ComponentState().Contains(db::csLoading)) {
        processed_ = ParseSQLParams(sql_.Text(), nullptr);
        return;
    }
    Disconnect();
    data_.clear();
    if (param_check_ || ComponentState().Contains(db::csDesigning)) {
        TStrataParams fresh;
        processed_ = ParseSQLParams(sql_.Text(), &fresh);
        fresh.AssignValues(params_);
        params_.Assign(fresh);
    } else {
        processed_ = ParseSQLParams(sql_.Text(), nullptr);
    }
    DataEvent(db::dePropertyChange);
}

void TStrataQuery::SetMaxRowCount(std::int32_t value) {
    max_row_count_ = value;
    if (statement_ != nullptr)
        statement_->SetMaxRowCount(value);
}

void TStrataQuery::SetDataSource(db::TDataSource* source) {
    if (source != nullptr && source->DataSet() == this)
        Fail("Circular datalinks are not allowed");
    link_.SetDataSource(source);
}

void TStrataQuery::Prepare() {
    if (Active())
        Fail("Cannot perform this operation on an open dataset");
    if (statement_ != nullptr)
        return;
    if (processed_.size() < 2)
        Fail("No SQL statement available");
    SetDBFlag(kPreparedFlag, true);
    try {
        auto statement = std::make_unique<TQueryStatement>(Database()->Handle());
        statement->SetRequestLive(request_live_);
        statement->SetMaxRowCount(max_row_count_);
        statement->SetPasswordCallback([this] { return DBSession().GetPassword(); });
        std::size_t running = 0;
        statement->Prepare(db::Utf8ToCodePage(kStatementCodePage, processed_, "the SQL text"),
                           running);
        statement_ = std::move(statement);
    } catch (...) {
        SetDBFlag(kPreparedFlag, false);
        throw;
    }
}

void TStrataQuery::Unprepare() {
    // The result cursor belongs to the statement: an open query lets go of it first.
    if (Handle() != nullptr)
        Close();
    statement_.reset();
    statement_params_ = {};
    // The database was held for the statement only.
    TStrataDBDataSet::SetDBFlag(kPreparedFlag, false);
}

void TStrataQuery::SetDatabaseName(std::string_view name) {
    if (!IsInMemory() && name != DatabaseName()) {
        CheckInactive();
        Unprepare();
    }
    TStrataDBDataSet::SetDatabaseName(name);
}

void TStrataQuery::Disconnect() {
    Close();
    Unprepare();
    TStrataDBDataSet::SetDBFlag(kPreparedFlag, false);
}

void TStrataQuery::SetDBFlag(std::uint8_t flag, bool value) {
    // The statement works in the database: it goes with the last use of it.
    if (!value && DBFlag(flag)) {
        bool last = true;
        for (std::uint8_t other = 0; other < 16 && last; ++other)
            last = other == flag || !DBFlag(other);
        if (last)
            Unprepare();
    }
    TStrataDBDataSet::SetDBFlag(flag, value);
}

void TStrataQuery::RefreshParams() {
    db::TDataSet* source = link_.DataSource() != nullptr ? link_.DataSource()->DataSet() : nullptr;
    if (source == nullptr || !source->Active() || source->State() == db::dsSetKey)
        return;
    // Controls see one change of data, not a close and an open.
    DisableControls();
    try {
        Close();
        Open();
    } catch (...) {
        EnableControls();
        throw;
    }
    EnableControls();
}

void TStrataQuery::Run() {
    if (params_.Count() > 0) {
        statement_params_ = BuildStatementParams(params_, kStatementCodePage);
        statement_->SetParams(params_.Count(), statement_params_.descriptors,
                              std::as_bytes(std::span(statement_params_.buffer)));
    }
    statement_->SetProgressCallback([this](std::int64_t row, int percent) {
        bool abort = false;
        if (OnQueryProgress)
            OnQueryProgress(this, static_cast<std::int32_t>(row),
                            static_cast<std::uint16_t>(percent), abort);
        return !abort;
    });
}

TDataCursor* TStrataQuery::CreateHandle() {
    if (sql_.Text().find_first_not_of(" \t\r\n") == std::string::npos)
        Fail("No SQL statement available");
    Prepare();
    db::TDataSet* source = link_.DataSource() != nullptr ? link_.DataSource()->DataSet() : nullptr;
    if (source != nullptr) {
        for (std::size_t i = 0; i < params_.Count(); ++i) {
            TStrataParam& param = params_.Items(i);
            if (param.Bound())
                continue;
            if (const db::TField* field = source->FindField(param.Name()); field != nullptr) {
                const std::string name = param.Name();
                param.AssignField(*field);
                param.SetName(name);
                // The value is the source's current record's, not the caller's: it stays
                // unbound, so that the next open, after the source moved, takes the new one.
                param.SetBound(false);
            }
        }
    }
    Run();
    TDataCursor* result = statement_->Execute();
    result_count_ = statement_->GetResultCount();
    execution_time_ = statement_->GetExecutionTime();
    return result;
}

void TStrataQuery::InternalInitFieldDefs() {
    TStrataDBDataSet::InternalInitFieldDefs();
    NamesToUtf8(*FieldDefs(), TextCodePage());
}

std::unique_ptr<db::TStream> TStrataQuery::CreateBlobStream(db::TField* field,
                                                            db::TBlobStreamMode mode) {
    auto* blob = dynamic_cast<db::TBlobField*>(field);
    if (blob == nullptr)
        return TStrataDBDataSet::CreateBlobStream(field, mode);
    return std::make_unique<TStrataBlobStream>(*blob, mode, *this, StateRecord());
}

}  // namespace strata
