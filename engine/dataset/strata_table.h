#pragma once

// TStrataTable: the dataset of one table of a database, with the table
// maintenance the application needs (exists, create, delete, empty, lock,
// optimize, repair, upgrade, restructure). A restructure takes its new
// definition from TRestructureFieldDefs and TRestructureIndexDefs.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/descriptor_types.h"
#include "engine/dataset/strata_dataset.h"
#include "engine/dataset/strata_session.h"
#include "platform/db/index_defs.h"

namespace strata {

class TStrataTable;

class TRestructureFieldDef {
  public:
    std::string Name;
    db::TFieldType DataType = db::ftUnknown;
    bool Required = false;
    std::uint16_t Size = 0;
    // The number of the existing field this definition continues, or one no
    // existing field has for a new field.
    std::int32_t FieldNo = 0;
    std::string DefaultValue;
    std::string MinValue;
    std::string MaxValue;
    std::string Description;
    std::uint8_t CharCase = 0;
};

class TRestructureFieldDefs {
  public:
    explicit TRestructureFieldDefs(TStrataTable& table) : table_(table) {}

    // Raises "Field name missing", "Duplicate field name '%s'" and "Invalid field size".
    TRestructureFieldDef& Add(std::string_view name, db::TFieldType type, std::int32_t field_no,
                              std::uint8_t char_case, std::string_view description,
                              std::string_view max_value, std::string_view min_value,
                              std::string_view default_value, bool required, std::uint16_t size);
    TRestructureFieldDef& Insert(std::size_t position, std::string_view name, db::TFieldType type,
                                 std::int32_t field_no, std::uint8_t char_case,
                                 std::string_view description, std::string_view max_value,
                                 std::string_view min_value, std::string_view default_value,
                                 bool required, std::uint16_t size);
    void Clear();
    // Loads the table's current fields once.
    void Update();
    bool Loaded() const { return loaded_; }
    void SetLoaded(bool value) { loaded_ = value; }
    std::size_t Count() const { return items_.size(); }
    TRestructureFieldDef& Items(std::size_t index) const { return *items_.at(index); }
    // Raises "Field '%s' not found".
    TRestructureFieldDef& Find(std::string_view name) const;

  private:
    TRestructureFieldDef& Make(std::size_t position, std::string_view name, db::TFieldType type,
                               std::int32_t field_no, std::uint8_t char_case,
                               std::string_view description, std::string_view max_value,
                               std::string_view min_value, std::string_view default_value,
                               bool required, std::uint16_t size);

    TStrataTable& table_;
    std::vector<std::unique_ptr<TRestructureFieldDef>> items_;
    bool loaded_ = false;
};

class TRestructureIndexDef {
  public:
    std::string Name;
    std::string Fields;
    db::TIndexOptions Options = 0;
    std::uint8_t Compression = 0;
};

class TRestructureIndexDefs {
  public:
    explicit TRestructureIndexDefs(TStrataTable& table) : table_(table) {}

    // Raises "Duplicate index name '%s'".
    TRestructureIndexDef& Add(std::string_view name, std::string_view fields,
                              db::TIndexOptions options, std::uint8_t compression);
    void Clear();
    void Update();
    bool Loaded() const { return loaded_; }
    void SetLoaded(bool value) { loaded_ = value; }
    std::size_t Count() const { return items_.size(); }
    TRestructureIndexDef& Items(std::size_t index) const { return *items_.at(index); }

  private:
    TStrataTable& table_;
    std::vector<std::unique_ptr<TRestructureIndexDef>> items_;
    bool loaded_ = false;
};

class TStrataTable : public TStrataDBDataSet {
  public:
    using TProgressEvent =
        std::function<void(TStrataTable* sender, std::int32_t record, std::uint16_t percent)>;
    using TLogEvent = std::function<void(TStrataTable* sender, std::string_view text)>;
    using TStageEvent =
        std::function<void(TStrataTable* sender, std::string_view stage, std::uint16_t percent)>;
    using TDataLostEvent =
        std::function<void(TStrataTable* sender, int cause, std::string_view context,
                           bool& continue_restructure, bool& stop_asking)>;

    explicit TStrataTable(db::TComponent* owner);
    ~TStrataTable() override;

    std::string_view EngineVersion() const { return kStrataEngineVersion; }
    const std::string& TableName() const { return table_name_; }
    // Requires a closed table; a name with a directory sets DatabaseName (unless in memory).
    void SetTableName(std::string_view name);
    bool Exclusive() const { return exclusive_; }
    void SetExclusive(bool value);
    bool ReadOnly() const { return read_only_; }
    void SetReadOnly(bool value);
    bool InMemory() const { return in_memory_; }
    void SetInMemory(bool value);
    bool IsInMemory() const override { return in_memory_; }
    bool StoreDefs() const { return store_defs_; }
    void SetStoreDefs(bool value) { store_defs_ = value; }
    std::string IndexName() const { return by_fields_ ? std::string() : index_; }
    void SetIndexName(std::string_view name);
    std::string IndexFieldNames() const { return by_fields_ ? index_ : std::string(); }
    void SetIndexFieldNames(std::string_view names);
    db::TIndexDefs& IndexDefs() { return index_defs_; }
    void UpdateIndexDefs();
    db::TDataSource* MasterSource() const;
    // Raises "Circular datalinks are not allowed" for a source over this table.
    void SetMasterSource(db::TDataSource* source);
    const std::string& MasterFields() const;
    void SetMasterFields(std::string_view fields);
    TRestructureFieldDefs& RestructureFieldDefs() { return restructure_fields_; }
    TRestructureIndexDefs& RestructureIndexDefs() { return restructure_indexes_; }

    // Table maintenance.
    bool Exists();
    void CreateTable();
    void DeleteTable();
    void EmptyTable();
    void LockTable();
    void UnlockTable();
    void OptimizeTable(std::string_view index_name, bool backup);
    // With `template_directory`, a folder holding a sound table of this name
    // and structure (an empty one made by the table's own definition): headers
    // too damaged to read are rebuilt from it.
    void RepairTable(std::string_view template_directory = {});
    void UpgradeTable();
    // Moves the table's files to dated names beside them ("<name>-damaged-
    // <yyyymmdd-hhnnss>.DAT", ...), for a table whose files hold nothing to
    // save; returns the names given.
    std::vector<std::string> MoveFilesAside();
    void RestructureTable(std::uint16_t language, std::uint16_t sort, std::uint16_t user_major,
                          std::uint16_t user_minor, bool encrypted, std::string_view password,
                          std::string_view description, std::uint16_t blob_block_size,
                          std::int32_t last_auto_inc, bool no_backup);

    db::TDataSource* GetDataSource() const override;
    std::unique_ptr<db::TStream> CreateBlobStream(db::TField* field,
                                                  db::TBlobStreamMode mode) override;
    void DataEvent(db::TDataEvent event, const db::TDataEventInfo& info = {}) override;

    TProgressEvent OnRepairProgress;
    TLogEvent OnRepairLog;
    TStageEvent OnUpgradeProgress;
    TLogEvent OnUpgradeLog;
    // Stored for the form resources: no engine operation reports index-building or copy
    // progress of its own (repair, optimize and restructure report through the events above).
    TProgressEvent OnIndexProgress;
    TProgressEvent OnCopyProgress;
    TProgressEvent OnOptimizeProgress;
    TProgressEvent OnRestructureProgress;
    TDataLostEvent OnDataLost;

    // The engine's descriptors of the table's current fields and indexes
    // (through the open cursor or a private one).
    std::vector<FieldDescriptor> EngineFieldDescriptors();
    std::vector<IndexDescriptor> EngineIndexDescriptors();

  protected:
    TDataCursor* CreateHandle() override;
    void DestroyHandle() override;
    void AfterOpenHook() override;
    void FreeLookupCursor() override;
    TDataCursor* GetLookupCursor(std::string_view key_fields, bool case_insensitive) override;
    void InternalInitFieldDefs() override;
    bool GetCanModify() const override;
    void DefChanged(db::TObject* sender) override;
    void DoOnNewRecord() override;

  private:
    friend class TRestructureFieldDefs;
    friend class TRestructureIndexDefs;

    // A cursor on the table for one maintenance call, database-use flag 3 held.
    std::unique_ptr<TDataCursor> PrivateCursor(bool exclusive, bool read_only);
    template <typename Action>
    void Maintain(bool exclusive, Action action);
    // As Maintain, on a cursor that may write whatever ReadOnly says.
    template <typename Action>
    void MaintainWritable(Action action);
    std::string ResolveIndexName();
    // Sets the index property and switches an open table to it; `switched` tells whether the
    // cursor got there.
    void ChangeIndex(std::string_view index, bool by_fields);
    void SwitchIndex(bool& switched);
    void MasterChanged();
    void MasterDisabled();
    IndexDescriptor MakeIndexDescriptor(
        platform::nls::CodePage page, std::string_view name, std::string_view fields,
        db::TIndexOptions options, std::uint8_t compression,
        const std::vector<std::pair<std::string, int>>& numbers) const;
    // Reads through the open cursor or a private one, and notes the table's code page in
    // descriptor_page_ for turning the names read into UTF-8.
    void WithDescriptors(const std::function<void(TDataCursor&)>& read);
    // TableName in the engine's code page, as the cursor and the file names take it.
    std::string EngineTableName() const;

    db::TIndexDefs index_defs_;
    TStrataMasterDataLink master_link_;
    bool store_defs_ = false;
    bool exclusive_ = false;
    bool read_only_ = false;
    bool in_memory_ = false;
    bool by_fields_ = false;
    std::string table_name_;
    std::string index_;
    std::unique_ptr<TDataCursor> lookup_cursor_;
    std::string lookup_fields_;
    bool lookup_case_insensitive_ = false;
    platform::nls::CodePage descriptor_page_ = platform::nls::CodePage::Western;
    TRestructureFieldDefs restructure_fields_;
    TRestructureIndexDefs restructure_indexes_;
};

}  // namespace strata
