#pragma once

// The dataset over one engine cursor (TStrataDataSet), its link to a database of a session
// (TStrataDBDataSet) and the link from a detail dataset to its master (TStrataMasterDataLink).
// The table and the query derive from TStrataDBDataSet and supply the cursor.
//
// Record buffer of the framework's ring (zero-filled when made):
//   [0, record size)             the engine record: status, record number, record ID, fields
//   [record size, +calc size)    per calculated field a flag byte (1 = has a value) and data
//   [info, +8)                   i32 record number (-1 for a new record), u8 bookmark flag
//   [bookmark, +key size)        the cursor's bookmark of the record
//
// Source files by concern: strata_dataset.cpp (life cycle, buffers, fields, editing),
// strata_dataset_search.cpp (filters, Locate/Lookup, key buffers and ranges).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/storage/exp_token_ptr.h"
#include "platform/db/data_link.h"
#include "platform/db/dataset.h"

namespace strata {

class TDataCursor;
class TFilter;
class TStrataDatabase;
class TStrataSession;

// Engine type and subtype of a framework field type; (0, 0) for types the engine lacks.
std::pair<std::uint8_t, std::uint8_t> EngineTypeOf(db::TFieldType type);
// The framework type of an engine field; ftUnknown when no field definition stands for it.
db::TFieldType FieldTypeOfEngine(std::uint8_t type, std::uint8_t subtype);

// The values a search looks for: a Variant as Locate takes them, or one text that is made
// a Variant only where a search needs one.
class SearchKeys {
  public:
    explicit SearchKeys(const db::Variant& values) : values_(&values) {}
    explicit SearchKeys(std::string_view text) : text_(text), is_text_(true) {}
    SearchKeys(const SearchKeys&) = delete;
    SearchKeys& operator=(const SearchKeys&) = delete;
    bool IsText() const { return is_text_; }
    std::string_view Text() const { return text_; }
    const db::Variant& Values() const {
        if (values_ == nullptr) {
            held_ = db::Variant(text_);
            values_ = &held_;
        }
        return *values_;
    }

  private:
    mutable const db::Variant* values_ = nullptr;
    mutable db::Variant held_;
    std::string_view text_;
    bool is_text_ = false;
};

class TStrataDataSet : public db::TDataSet {
  public:
    explicit TStrataDataSet(db::TComponent* owner);
    ~TStrataDataSet() override;

    using db::TDataSet::GetFieldData;
    using db::TDataSet::SetFieldData;

    // nullptr while closed.
    TDataCursor* Handle() const { return cursor_; }
    bool AutoDisplayLabels() const { return auto_display_labels_; }
    void SetAutoDisplayLabels(bool value);
    bool CopyOnAppend() const { return copy_on_append_; }
    void SetCopyOnAppend(bool value) { copy_on_append_ = value; }
    platform::nls::CodePage TextCodePage() const override;

    // Requires: an open dataset. Writes cached records and headers and flushes the files.
    void FlushBuffers();

    bool GetFieldData(db::TField* field, std::span<std::byte> buffer) override;
    void SetFieldData(db::TField* field, std::span<const std::byte> buffer) override;
    void DataConvert(db::TField* field, std::span<const std::byte> source,
                     std::span<std::byte> dest, bool to_native) override;
    db::Variant GetStateFieldValue(db::TDataSetState state, db::TField* field) override;
    void SetStateFieldValue(db::TDataSetState state, db::TField* field,
                            const db::Variant& value) override;
    bool GetIsIndexField(const db::TField* field) const override;
    void CloseBlob(db::TField* field) override;
    void SetRecNo(std::int64_t value) override;
    bool IsSequenced() const override;
    bool BookmarkValid(const db::TBookmark& bookmark) override;
    int CompareBookmarks(const db::TBookmark& a, const db::TBookmark& b) const override;
    bool GetCurrentRecord(db::TRecordBuffer buffer) override;
    std::int64_t Translate(std::string_view source, std::string& dest, bool to_oem) override;
    bool Locate(std::string_view key_fields, const db::Variant& key_values,
                db::TLocateOptions options) override;
    // Locate of one text value, as Locate(key_fields, Variant(text), options) finds it; the
    // text is read in place, where the search by the index needs no Variant of it.
    bool LocateText(std::string_view key_fields, std::string_view text, db::TLocateOptions options);
    db::Variant Lookup(std::string_view key_fields, const db::Variant& key_values,
                       std::string_view result_fields) override;
    void SetFiltered(bool value) override;
    void SetFilterOptions(db::TFilterOptions options) override;
    void SetOnFilterRecord(db::TFilterRecordEvent handler) override;
    void Post() override;
    void Cancel() override;

    // Key buffers and ranges (the table builds master-detail and its key searches on them)
    enum KeyIndex : std::uint8_t {
        kiLookup,
        kiRangeStart,
        kiRangeEnd,
        kiCurRangeStart,
        kiCurRangeEnd,
        kiSave
    };
    // Puts the dataset into the key-editing state on one key buffer; Post keeps the edited
    // key, Cancel restores it.
    void SetKeyBuffer(KeyIndex index, bool clear);
    // Range start = the values on the first index fields, range end the same.
    void SetLinkRanges(const std::vector<db::TField*>& master_fields);
    // True when the range changed.
    bool ApplyRange();
    // True when a range was active.
    bool ResetRange();
    bool RangeActive() const;
    // Switches the cursor to another index ("" = the primary, or physical order when none).
    void SwitchToIndex(std::string_view index_name);
    std::int32_t IndexFieldCount() const { return index_field_count_; }
    // Raises "Field index out of range" / "Cannot access index field '%s'".
    db::TField* IndexField(std::int32_t position) const;

  protected:
    virtual TDataCursor* CreateHandle() { return nullptr; }
    // Closes and frees the cursor unless an SQL statement owns it.
    virtual void DestroyHandle();
    virtual void FreeLookupCursor() {}
    virtual TDataCursor* GetLookupCursor(std::string_view /*key_fields*/,
                                         bool /*case_insensitive*/) {
        return nullptr;
    }
    virtual void AfterOpenHook() {}

    // Hands an owned cursor to the dataset and answers it (for CreateHandle).
    TDataCursor* AdoptCursor(std::unique_ptr<TDataCursor> cursor);

    db::TRecordBuffer AllocRecordBuffer() override;
    void FreeRecordBuffer(db::TRecordBuffer& buffer) override;
    void GetBookmarkData(db::TRecordBuffer buffer, db::TBookmark& data) const override;
    void SetBookmarkData(db::TRecordBuffer buffer, const db::TBookmark& data) override;
    db::TBookmarkFlag GetBookmarkFlag(db::TRecordBuffer buffer) const override;
    void SetBookmarkFlag(db::TRecordBuffer buffer, db::TBookmarkFlag flag) override;
    db::TGetResult GetRecord(db::TRecordBuffer buffer, db::TGetMode mode, bool check) override;
    std::int32_t GetRecordSize() const override { return record_size_; }
    void InternalAddRecord(db::TRecordBuffer buffer, bool append) override;
    void InternalClose() override;
    void InternalDelete() override;
    void InternalFirst() override;
    void InternalLast() override;
    void InternalGotoBookmark(const db::TBookmark& bookmark) override;
    void InternalHandleException() override;
    void InternalInitFieldDefs() override;
    void InternalInitRecord(db::TRecordBuffer buffer) override;
    void InternalOpen() override;
    void InternalPost() override;
    void InternalSetToRecord(db::TRecordBuffer buffer) override;
    bool IsCursorOpen() const override { return cursor_ != nullptr; }
    void InternalCancel() override;
    void InternalEdit() override;
    void InternalRefresh() override;
    void ClearCalcFields(db::TRecordBuffer buffer) override;
    void InitRecord(db::TRecordBuffer buffer) override;
    void DoOnNewRecord() override;
    bool FindRecord(bool restart, bool go_forward) override;
    bool GetCanModify() const override { return can_modify_; }
    std::int64_t GetRecordCount() const override;
    std::int64_t GetRecNo() const override;
    void SetFilterText(std::string_view text) override;
    void OpenCursor(bool info_query) override;
    void CloseCursor() override;
    std::int32_t CalcFieldsOffset() const override { return record_size_; }

    // The engine record the current state reads and writes; empty when there is none.
    std::span<std::uint8_t> StateRecord();
    std::span<std::uint8_t> EngineRecord(db::TRecordBuffer buffer) const;
    // Reads the current index's description (field numbers, case, key size).
    void GetIndexInfo();
    // Re-lays the record buffers out after the bookmark size changed.
    void LayoutBuffers();

  private:
    struct KeyBuffer {
        bool modified = false;
        std::int32_t field_count = 0;
        std::vector<std::uint8_t> record;
    };

    std::int32_t InfoOffset() const { return record_size_ + CalcFieldsSize(); }
    std::int32_t BookmarkOffset() const { return InfoOffset() + 8; }
    void AllocKeyBuffers();
    void ClearKeyBuffer(KeyBuffer& key);
    TFilter* MakeExpressionFilter(std::string_view text, db::TFilterOptions options);
    TFilter* MakeCallbackFilter();
    void ReplaceFilter(TFilter*& handle, TFilter* replacement);
    bool FilterCallback(std::span<const std::uint8_t> record);
    void ApplyDisplayLabels();
    void MarkComputedFieldsReadOnly();
    // Whether a key text is the same bytes in the table's code page (ASCII, as most keys are).
    bool KeyTextKept(std::string_view text) const;
    // A key text's length in the table's code page.
    std::size_t KeyTextBytes(std::string_view text) const;
    // The fields of a Locate's names, worked out once while the names and the fields stay.
    const std::vector<db::TField*>& LocateFields(std::string_view key_fields);
    bool LocateWith(std::string_view key_fields, const SearchKeys& keys,
                    db::TLocateOptions options);
    // The search of Locate and Lookup; leaves the dataset's cursor on the match when `follow`.
    bool LocateRecord(std::string_view key_fields, const SearchKeys& keys,
                      db::TLocateOptions options, bool follow);
    bool IndexFits(const std::vector<db::TField*>& fields, bool case_insensitive) const;
    bool KeySearch(TDataCursor& cursor, const std::vector<db::TField*>& fields,
                   const SearchKeys& keys, db::TLocateOptions options);
    bool FilterSearch(const std::vector<db::TField*>& fields, const db::Variant& key_values,
                      db::TLocateOptions options);
    ExpTokenPtr BuildLocateExpression(const std::vector<db::TField*>& fields,
                                      const db::Variant& key_values,
                                      db::TLocateOptions options) const;
    bool IsIndexFieldNumber(std::int32_t number) const;
    db::TRecordBuffer CalcRecord() const {
        return lookup_buffer_ != nullptr ? lookup_buffer_ : CalcBuffer();
    }

    TDataCursor* cursor_ = nullptr;
    std::unique_ptr<TDataCursor> owned_cursor_;
    TFilter* expr_filter_ = nullptr;
    TFilter* callback_filter_ = nullptr;
    std::vector<std::uint8_t> filter_record_;
    std::array<std::uint16_t, 16> index_fields_{};
    bool case_insensitive_index_ = false;
    bool can_modify_ = false;
    std::uint16_t key_size_ = 0;
    std::vector<std::uint8_t> work_record_;
    std::array<KeyBuffer, 6> keys_;
    KeyBuffer* edited_key_ = nullptr;
    // The record the edit under way locked (0: none); Cancel gives back this one lock,
    // wherever the cursor stands by then.
    std::uint32_t edit_locked_ = 0;
    std::int32_t index_field_count_ = 0;
    std::int32_t record_size_ = 0;
    std::int32_t buffer_size_ = 0;
    bool auto_display_labels_ = true;
    bool copy_on_append_ = false;
    // The move to the end that an insert's post asks for first is put off, since the insert
    // places the cursor on the new record anyway: made only where the insert fails.
    enum class PostLast : std::uint8_t { kNone, kMayDefer, kDeferred };
    PostLast post_last_ = PostLast::kNone;
    std::vector<std::unique_ptr<std::byte[]>> record_buffers_;
    // The record Lookup reads its results from, in place of the calculation buffer.
    db::TRecordBuffer lookup_buffer_ = nullptr;
    // The code page of the language and sort order it was worked out for.
    struct CodePageOfTable {
        bool known = false;
        std::uint16_t language = 0;
        std::uint16_t sort = 0;
        platform::nls::CodePage page = platform::nls::CodePage::Western;
    };
    mutable CodePageOfTable code_page_;
    // The last Locate's field names and their fields, under the field list's version.
    struct LocateFieldList {
        std::string names;
        std::uint64_t version = 0;
        std::vector<db::TField*> fields;
        bool known = false;
    };
    LocateFieldList locate_fields_;
    // Set while a search reads the list above: a search started from inside it (by a
    // field's OnValidate) works out its own.
    bool locate_fields_busy_ = false;
};

class TStrataDBDataSet : public TStrataDataSet {
  public:
    explicit TStrataDBDataSet(db::TComponent* owner);
    ~TStrataDBDataSet() override;

    const std::string& DatabaseName() const { return database_name_; }
    virtual void SetDatabaseName(std::string_view name);
    const std::string& SessionName() const { return session_name_; }
    void SetSessionName(std::string_view name);
    // nullptr while no database-use flag is set.
    TStrataDatabase* Database() const { return database_; }
    // The session named by SessionName (the default one for an empty name).
    TStrataSession& DBSession() const;
    // Whether the dataset stands for an in-memory table; such a dataset always names
    // "Memory".
    virtual bool IsInMemory() const { return false; }

    // Closes the dataset; its database is disconnecting.
    virtual void Disconnect();
    // Sets or clears one of 16 database-use flags: the first set opens the database, clearing
    // the last closes it.
    virtual void SetDBFlag(std::uint8_t flag, bool value);
    bool DBFlag(std::uint8_t flag) const { return (db_flags_ & (1u << flag)) != 0; }

  protected:
    void OpenCursor(bool info_query) override;
    void CloseCursor() override;

  private:
    friend class TStrataDatabase;
    // The database was freed under the dataset.
    void ForgetDatabase();

    std::uint16_t db_flags_ = 0;
    TStrataDatabase* database_ = nullptr;
    std::string database_name_;
    std::string session_name_;
};

// Keeps a detail dataset on the records of its master's current record.
class TStrataMasterDataLink : public db::TDataLink {
  public:
    explicit TStrataMasterDataLink(TStrataDataSet& detail) : detail_(detail) {}

    const std::string& FieldNames() const { return field_names_; }
    void SetFieldNames(std::string_view names);
    const std::vector<db::TField*>& Fields() const { return fields_; }

    std::function<void()> OnMasterChange;
    std::function<void()> OnMasterDisable;

  protected:
    void ActiveChanged() override;
    void CheckBrowseMode() override;
    void LayoutChanged() override;
    void RecordChanged(db::TField* field) override;

  private:
    TStrataDataSet& detail_;
    std::string field_names_;
    std::vector<db::TField*> fields_;
};

}  // namespace strata
