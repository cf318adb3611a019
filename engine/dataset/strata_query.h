#pragma once

// TStrataQuery: the dataset over the result of one SQL statement, with its
// parameters (TStrataParams), a data source for unbound parameters, and the
// stored "Data" block of its parameter values.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dataset/strata_dataset.h"
#include "engine/dataset/strata_params.h"
#include "engine/dataset/strata_session.h"
#include "platform/db/data_link.h"
#include "platform/db/string_list.h"

namespace strata {

class TQueryStatement;
class TStrataQuery;

// Reopens the query when the record of its data source changes.
class TStrataQueryDataLink : public db::TDataLink {
  public:
    explicit TStrataQueryDataLink(TStrataQuery& query) : query_(query) {}

  protected:
    void ActiveChanged() override;
    void RecordChanged(db::TField* field) override;
    void CheckBrowseMode() override;

  private:
    TStrataQuery& query_;
};

class TStrataQuery : public TStrataDBDataSet {
  public:
    using TQueryProgressEvent = std::function<void(TStrataQuery* sender, std::int32_t current,
                                                   std::uint16_t percent, bool& abort)>;
    using TSaveProgressEvent =
        std::function<void(TStrataQuery* sender, std::int32_t current, std::uint16_t percent)>;
    using TScriptErrorEvent =
        std::function<void(TStrataQuery* sender, const std::exception& error, bool& abort)>;

    explicit TStrataQuery(db::TComponent* owner);
    ~TStrataQuery() override;

    std::string_view EngineVersion() const { return kStrataEngineVersion; }
    db::TStringList& SQL() { return sql_; }
    // A different text disconnects the query first.
    void SetSQL(const db::TStrings& lines);
    db::TStringList& SQLScript() { return sql_script_; }
    void SetSQLScript(const db::TStrings& lines);
    TStrataParams& Params() { return params_; }
    // Assigns values by name.
    void SetParams(const TStrataParams& params) { params_.AssignValues(params); }
    bool ParamCheck() const { return param_check_; }
    void SetParamCheck(bool value) { param_check_ = value; }
    bool RequestLive() const { return request_live_; }
    void SetRequestLive(bool value) { request_live_ = value; }
    std::int32_t MaxRowCount() const { return max_row_count_; }
    void SetMaxRowCount(std::int32_t value);
    db::TDataSource* DataSource() const { return link_.DataSource(); }
    // Raises "Circular datalinks are not allowed" for a source over this query.
    void SetDataSource(db::TDataSource* source);
    db::TDataSource* GetDataSource() const override { return DataSource(); }
    // The SQL text with "?" in place of each parameter marker.
    const std::string& ProcessedSQL() const { return processed_; }
    std::int32_t ResultCount() const { return result_count_; }
    double ExecutionTime() const { return execution_time_; }

    bool Prepared() const { return statement_ != nullptr; }
    void Prepare();
    void Unprepare();
    void Disconnect() override;
    // A prepared query lets go of its statement and database first.
    void SetDatabaseName(std::string_view name) override;
    void SetDBFlag(std::uint8_t flag, bool value) override;

    // The stored binary block "Data": kept whole, with the size it was read with.
    const std::vector<std::uint8_t>& DataBlock() const { return data_; }
    void ReadDataBlock(std::span<const std::uint8_t> block) {
        data_.assign(block.begin(), block.end());
    }

    std::unique_ptr<db::TStream> CreateBlobStream(db::TField* field,
                                                  db::TBlobStreamMode mode) override;

    TQueryProgressEvent OnQueryProgress;
    // Stored for the form resources; nothing in the engine saves or runs scripts.
    TSaveProgressEvent OnSaveProgress;
    TScriptErrorEvent OnScriptError;

  protected:
    TDataCursor* CreateHandle() override;
    void InternalInitFieldDefs() override;

  private:
    friend class TStrataQueryDataLink;

    void SQLChanged();
    void RefreshParams();
    void Run();

    std::unique_ptr<TQueryStatement> statement_;
    db::TStringList sql_;
    db::TStringList sql_script_;
    TStrataParams params_;
    // The buffer and blobs the statement's parameters point into.
    StatementParams statement_params_;
    std::string processed_;
    TStrataQueryDataLink link_;
    bool request_live_ = false;
    std::int32_t max_row_count_ = -1;
    std::int32_t result_count_ = 0;
    double execution_time_ = 0;
    std::vector<std::uint8_t> data_;
    bool param_check_ = true;
};

}  // namespace strata
