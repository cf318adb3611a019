#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/db/component.h"
#include "platform/db/field.h"
#include "platform/db/field_defs.h"
#include "platform/db/set_of.h"
#include "platform/db/stream.h"
#include "platform/db/variant.h"
#include "platform/nls/nls.h"

namespace db {

class TDataSource;

enum TDataSetState : std::uint8_t {
    dsInactive,
    dsBrowse,
    dsEdit,
    dsInsert,
    dsSetKey,
    dsCalcFields,
    dsFilter,
    dsNewValue,
    dsOldValue,
    dsInternalCalc,
};

enum TGetMode : std::uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : std::uint8_t { grOK, grBOF, grEOF, grError };
enum TBookmarkFlag : std::uint8_t { bfCurrent, bfBOF, bfEOF, bfInserted };

enum TLocateOption : std::uint8_t { loCaseInsensitive, loPartialKey };
using TLocateOptions = SetOf<TLocateOption>;
enum TFilterOption : std::uint8_t { foCaseInsensitive, foNoPartialCompare };
using TFilterOptions = SetOf<TFilterOption>;
enum TResyncMode : std::uint8_t { rmExact, rmCenter };
using TResyncModes = SetOf<TResyncMode>;
enum TBlobStreamMode : std::uint8_t { bmRead, bmWrite, bmReadWrite };

// What a dataset tells its data sources and, through them, the data links.
enum TDataEvent : std::uint8_t {
    deFieldChange,
    deRecordChange,
    deDataSetChange,
    deDataSetScroll,
    deLayoutChange,
    deUpdateRecord,
    deUpdateState,
    deCheckBrowseMode,
    dePropertyChange,
    deFieldListChange,
    deFocusControl,
    deParentScroll,
    deConnectChange,
    deDisabledStateChange,
};

// The argument of a data event: the field of deFieldChange and deFocusControl (the latter
// through `focus`, which a control clears once it took the focus), the distance of
// deDataSetScroll (rows the buffer window moved, positive towards the end).
struct TDataEventInfo {
    TField* field = nullptr;
    std::int64_t distance = 0;
    TField** focus = nullptr;
};

// A record's position as the dataset's cursor knows it; opaque bytes.
using TBookmark = std::string;
// Record buffers are laid out by the derived dataset; the framework only moves them.
using TRecordBuffer = std::byte*;

using TDataSetNotifyEvent = std::function<void(TDataSet* dataset)>;
using TFilterRecordEvent = std::function<void(TDataSet* dataset, bool& accept)>;

// The class library's abstract dataset: states, a ring of record buffers around the current
// record, navigation, editing, bookmarks, filters, calculated and lookup fields, and the data
// events that keep data sources and their links in step. A derived dataset supplies the
// cursor through the `Internal...` operations and lays out its record buffers.
//
// The ring holds up to BufferCount records (the largest buffer count any data link asks for,
// at least 1) plus one spare; `ActiveRecord` indexes the current one.
//
// Derived destructors must close the dataset (`Destroying(); Close();`): buffers are freed
// through the derived `FreeRecordBuffer`, which no longer exists in this destructor.
class TDataSet : public TComponent {
  public:
    explicit TDataSet(TComponent* owner);
    ~TDataSet() override;

    bool Active() const { return state_ != dsInactive; }
    void SetActive(bool active);
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    TDataSetState State() const { return state_; }
    bool Modified() const { return modified_; }
    bool CanModify() const { return GetCanModify(); }
    bool IsEmpty() const;
    bool Bof() const { return bof_; }
    bool Eof() const { return eof_; }
    bool Found() const { return found_; }
    // "Cannot perform this operation on a closed dataset" / "... on an open dataset".
    void CheckActive() const;
    void CheckInactive() const;
    void Loaded() override;

    TFieldDefs* FieldDefs() const { return field_defs_.get(); }
    const TFields& Fields() const { return fields_; }
    std::int64_t FieldCount() const { return fields_.Count(); }
    TField* FindField(std::string_view name) const { return fields_.FindField(name); }
    // Raises EDatabaseError "Field 'x' not found".
    TField* FieldByName(std::string_view name) const { return fields_.FieldByName(name); }
    TField* FieldByNumber(std::int32_t field_no) const { return fields_.FieldByNumber(field_no); }
    // The fields of a ';'-separated list of names, in list order; a missing name raises.
    std::vector<TField*> GetFieldList(std::string_view field_names) const;
    void GetFieldNames(std::vector<std::string>& names) const;
    // The values of the named fields: one value, or an array for several names.
    Variant FieldValues(std::string_view field_names) const;
    void SetFieldValues(std::string_view field_names, const Variant& values);
    // Assigns values to the fields in field order; Unassigned entries are left alone.
    void SetFields(std::span<const Variant> values);
    // True while the dataset made its own fields at open (none were declared).
    bool DefaultFields() const { return default_fields_; }
    // Reloads `FieldDefs` from the dataset's structure, opening the cursor briefly if needed.
    virtual void InitFieldDefs();
    bool AutoCalcFields() const { return auto_calc_fields_; }
    void SetAutoCalcFields(bool value) { auto_calc_fields_ = value; }
    // The code page of the dataset's single-byte text; string fields convert through it.
    virtual platform::nls::CodePage TextCodePage() const {
        return platform::nls::CodePage::Western;
    }

    void First();
    void Last();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    // Answers how many records it moved.
    std::int64_t MoveBy(std::int64_t distance);
    void Refresh();
    bool FindFirst() { return FindRecordScrolled(true, true); }
    bool FindLast() { return FindRecordScrolled(true, false); }
    bool FindNext() { return FindRecordScrolled(false, true); }
    bool FindPrior() { return FindRecordScrolled(false, false); }
    std::int64_t RecordCount() const { return GetRecordCount(); }
    // The current record's sequence number from 1; -1 when the dataset does not know it.
    std::int64_t RecNo() const { return GetRecNo(); }
    // Moves to the record with that sequence number; ignored by datasets without numbers.
    virtual void SetRecNo(std::int64_t /*value*/) {}
    virtual bool IsSequenced() const { return false; }

    // Empty while no record is current.
    TBookmark Bookmark() const;
    void SetBookmark(const TBookmark& bookmark) { GotoBookmark(bookmark); }
    TBookmark GetBookmark() const { return Bookmark(); }
    void GotoBookmark(const TBookmark& bookmark);
    virtual bool BookmarkValid(const TBookmark& bookmark);
    // <0, 0 or >0; an empty bookmark sorts after any other.
    virtual int CompareBookmarks(const TBookmark& a, const TBookmark& b) const;

    // The base reads the records in order from the first and compares: strings exactly, case
    // aside with loCaseInsensitive, the last key field by prefix with loPartialKey; other
    // types by value; a Null key matches a null field. Several fields take an array of as
    // many values. A dataset with indexes overrides both.
    virtual bool Locate(std::string_view key_fields, const Variant& key_values,
                        TLocateOptions options);
    virtual Variant Lookup(std::string_view key_fields, const Variant& key_values,
                           std::string_view result_fields);

    void Edit();
    void Insert();
    void Append();
    virtual void Post();
    virtual void Cancel();
    void Delete();
    void InsertRecord(std::span<const Variant> values);
    void AppendRecord(std::span<const Variant> values);
    void CheckBrowseMode();
    // Asks the data links to write pending control values into the record.
    void UpdateRecord();
    void ClearFields();
    void CheckRequiredFields();
    // Reads the current record into `buffer` without moving; false when there is none.
    virtual bool GetCurrentRecord(TRecordBuffer buffer);
    virtual std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode);
    // The engine's text form of a string; answers the length.
    virtual std::int64_t Translate(std::string_view source, std::string& dest, bool to_oem);

    // The filter text is the derived dataset's to interpret (the engine parses it as an
    // expression); the framework keeps it, `Filtered`, the options and the record handler.
    const std::string& Filter() const { return filter_text_; }
    void SetFilter(std::string_view text) { SetFilterText(text); }
    bool Filtered() const { return filtered_; }
    virtual void SetFiltered(bool value);
    TFilterOptions FilterOptions() const { return filter_options_; }
    virtual void SetFilterOptions(TFilterOptions options);
    const TFilterRecordEvent& OnFilterRecord() const { return on_filter_record_; }
    virtual void SetOnFilterRecord(TFilterRecordEvent handler);

    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return disable_count_ != 0; }
    // The data source this dataset follows (a master); none by default.
    virtual TDataSource* GetDataSource() const { return nullptr; }
    // Whether `source` (or a data source it leads to through masters) depends on this one.
    bool IsLinkedTo(const TDataSource* source) const;

    std::int64_t BufferCount() const { return buffer_count_; }
    // Records now held in the ring.
    std::int64_t BufferedRecordCount() const { return record_count_; }
    std::int64_t ActiveRecord() const { return active_record_; }
    // Switches the active record among the buffered ones without moving the cursor; the grid
    // reads other rows this way and switches back.
    void SetActiveRecord(std::int64_t index);
    TRecordBuffer ActiveBuffer() const;
    TRecordBuffer CalcBuffer() const { return calc_buffer_; }
    TRecordBuffer TempBuffer() const;
    std::int32_t CalcFieldsSize() const { return calc_fields_size_; }
    std::int32_t BookmarkSize() const { return bookmark_size_; }

    // Field data, in the native format (the engine's encodings). A derived dataset that
    // overrides the two-argument forms adds `using TDataSet::GetFieldData;` (and SetFieldData)
    // to keep the converting forms visible.
    virtual bool GetFieldData(TField* field, std::span<std::byte> buffer) = 0;
    virtual void SetFieldData(TField* field, std::span<const std::byte> buffer) = 0;
    // A non-native request converts through `DataConvert`.
    bool GetFieldData(TField* field, std::span<std::byte> buffer, bool native_format);
    void SetFieldData(TField* field, std::span<const std::byte> buffer, bool native_format);
    // Converts between the native format and the framework's: dates, times and date-times
    // between the engine's day, millisecond and timestamp counts and TDateTime; BCD between the
    // native value and Currency (the same here; the engine stores a scaled decimal).
    virtual void DataConvert(TField* field, std::span<const std::byte> source,
                             std::span<std::byte> dest, bool to_native);
    virtual Variant GetStateFieldValue(TDataSetState state, TField* field);
    virtual void SetStateFieldValue(TDataSetState state, TField* field, const Variant& value);
    virtual bool GetIsIndexField(const TField* field) const;
    virtual void CloseBlob(TField* field);

    // Sends an event to the data sources (unless controls are disabled) after the dataset's
    // own handling of field changes.
    virtual void DataEvent(TDataEvent event, const TDataEventInfo& info = {});

    TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
    TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
    TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
    TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
    TDataSetNotifyEvent OnNewRecord, OnCalcFields;

  protected:
    virtual TRecordBuffer AllocRecordBuffer() = 0;
    virtual void FreeRecordBuffer(TRecordBuffer& buffer) = 0;
    virtual void GetBookmarkData(TRecordBuffer buffer, TBookmark& data) const = 0;
    virtual void SetBookmarkData(TRecordBuffer buffer, const TBookmark& data) = 0;
    virtual TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) const = 0;
    virtual void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) = 0;
    // Reads the current, next or prior record into `buffer`; with `check` a failure other
    // than BOF/EOF raises, else it answers grError.
    virtual TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool check) = 0;
    virtual std::int32_t GetRecordSize() const = 0;
    virtual void InternalAddRecord(TRecordBuffer buffer, bool append) = 0;
    virtual void InternalClose() = 0;
    virtual void InternalDelete() = 0;
    virtual void InternalFirst() = 0;
    virtual void InternalLast() = 0;
    virtual void InternalGotoBookmark(const TBookmark& bookmark) = 0;
    virtual void InternalHandleException() {}
    virtual void InternalInitFieldDefs() = 0;
    virtual void InternalInitRecord(TRecordBuffer buffer) = 0;
    virtual void InternalOpen() = 0;
    virtual void InternalPost() = 0;
    virtual void InternalSetToRecord(TRecordBuffer buffer) = 0;
    virtual bool IsCursorOpen() const = 0;
    virtual void InternalCancel() {}
    virtual void InternalEdit() {}
    virtual void InternalInsert() {}
    virtual void InternalRefresh() {}
    virtual void ClearCalcFields(TRecordBuffer buffer);
    virtual void InitRecord(TRecordBuffer buffer);
    virtual void DoOnNewRecord();
    virtual bool FindRecord(bool restart, bool go_forward);
    virtual bool GetCanModify() const { return true; }
    virtual std::int64_t GetRecordCount() const { return -1; }
    virtual std::int64_t GetRecNo() const { return -1; }
    virtual void SetFilterText(std::string_view text);
    // Opens the cursor (`InternalOpen`), or with `info_query` only reads the structure
    // (`InternalInitFieldDefs`).
    virtual void OpenCursor(bool info_query);
    virtual void CloseCursor();
    // Told when the field or index definitions were changed by someone other than a reload.
    virtual void DefChanged(TObject* /*sender*/) {}

    virtual void DoBeforeScroll();
    virtual void DoAfterScroll();
    virtual void DoOnCalcFields();

    void SetState(TDataSetState state);
    // Switches the state without telling anyone; `RestoreState` puts the old one back.
    TDataSetState SetTempState(TDataSetState state);
    void RestoreState(TDataSetState state);
    void SetModified(bool modified) { modified_ = modified; }
    void SetBookmarkSize(std::int32_t size) { bookmark_size_ = size; }
    void CheckCanModify() const;
    // Puts the cursor on the active record when the ring knows it is elsewhere.
    void UpdateCursorPos();
    // Forgets where the cursor is, so the next move first puts it back.
    void CursorPosChanged() { current_record_ = -1; }
    // Refills the ring around the cursor's record (centred with rmCenter; rmExact raises
    // "Record not found" when the record is gone) and sends DataSetChanged.
    void Resync(TResyncModes mode);
    void ClearBuffers();
    // Computes the calculated and lookup fields of `buffer` (OnCalcFields).
    void CalculateFields(TRecordBuffer buffer);
    // A derived GetRecord calls this for each record read.
    void GetCalcFields(TRecordBuffer buffer);
    // Makes one field per definition (the dataset owns them), and binds or unbinds all
    // fields to the definitions.
    void CreateFields();
    void DestroyFields();
    void BindFields(bool binding);
    // Whether the value of a calculated field has been set in `buffer`, and where it is.
    std::byte* CalcFieldData(TRecordBuffer buffer, const TField& field) const;
    bool GetCalcFieldData(TRecordBuffer buffer, const TField& field,
                          std::span<std::byte> dest) const;
    void SetCalcFieldData(TRecordBuffer buffer, const TField& field,
                          std::span<const std::byte> source);
    // Where the calculated part begins inside a record buffer (the derived layout decides).
    virtual std::int32_t CalcFieldsOffset() const { return GetRecordSize(); }
    // Recomputes the ring size from the data links.
    void UpdateBufferCount();
    // Allocates or frees record buffers until `count` exist. A derived dataset whose buffer
    // layout changed (a new bookmark size) frees them all (0), allocates BufferCount() + 1
    // anew and then refills the ring (`Resync`).
    void SetBufListSize(std::int64_t count);

  private:
    friend class TField;
    friend class TDataSource;
    friend class TDataLink;

    struct BufferDeleter {
        TDataSet* dataset;
        void operator()(std::byte* buffer) const;
    };
    using BufferPtr = std::unique_ptr<std::byte, BufferDeleter>;

    void SetCurrentRecord(std::int64_t index);
    void ActivateBuffers();
    bool GetNextRecord();
    bool GetPriorRecord();
    std::int64_t GetNextRecords();
    std::int64_t GetPriorRecords();
    // Moves the buffer at `from` to `to`, shifting the ones between.
    void MoveBuffer(std::int64_t from, std::int64_t to);
    void BeginInsertAppend();
    void EndInsertAppend();
    void InsertAppendRecord(std::span<const Variant> values, bool append);
    void FreeFieldBuffers();
    bool FindRecordScrolled(bool restart, bool go_forward);
    // Leaves the cursor on the first record whose key fields match; false when none does.
    bool LocateRecord(std::string_view key_fields, const Variant& key_values,
                      TLocateOptions options);
    bool RecordMatches(const std::vector<TField*>& fields, const Variant& key_values,
                       TLocateOptions options) const;
    void CalcLookupValue(TField& field);
    void DoInternalOpen();
    void SendDataEvent(TDataEvent event, const TDataEventInfo& info);
    void AddDataSource(TDataSource& source);
    void RemoveDataSource(TDataSource& source);
    void AddField(TField& field);
    void RemoveField(TField& field);
    void FireEvent(const TDataSetNotifyEvent& event) {
        if (event) {
            event(this);
        }
    }

    TDataSetState state_ = dsInactive;
    bool modified_ = false;
    bool bof_ = true;
    bool eof_ = true;
    bool found_ = false;
    bool default_fields_ = false;
    bool auto_calc_fields_ = true;
    bool internal_open_complete_ = false;
    bool streamed_active_ = false;
    std::unique_ptr<TFieldDefs> field_defs_;
    TFields fields_;
    std::vector<TDataSource*> data_sources_;

    std::vector<BufferPtr> buffers_;
    std::int64_t buffer_count_ = 0;
    std::int64_t record_count_ = 0;
    std::int64_t active_record_ = 0;
    std::int64_t current_record_ = -1;
    TRecordBuffer calc_buffer_ = nullptr;
    std::int32_t calc_fields_size_ = 0;
    std::int32_t bookmark_size_ = 0;

    std::string filter_text_;
    bool filtered_ = false;
    TFilterOptions filter_options_;
    TFilterRecordEvent on_filter_record_;

    // Whether the field list held a blob field when last looked at, and its version then.
    struct BlobScan {
        bool valid = false;
        bool any = false;
        std::uint64_t version = 0;
    };
    BlobScan blob_scan_;
    std::int64_t disable_count_ = 0;
    TDataSetState disable_state_ = dsInactive;
    bool disabled_layout_change_ = false;
};

}  // namespace db
