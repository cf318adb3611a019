#pragma once

// A small dataset over a vector of records, for testing the framework without the engine.
// Record buffers hold, per column, a flag byte (1 = has a value) and the native value, then the
// calculated part, then the bookmark flag and the record's id (the bookmark).

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/db/dataset.h"
#include "platform/db/exception.h"
#include "platform/db/fields_blob.h"
#include "platform/db/stream.h"

namespace db::testing {

class TMemDataSet : public TDataSet {
  public:
    struct Column {
        std::string name;
        TFieldType type;
        std::int32_t size;
        bool required;
    };
    struct Row {
        std::int64_t id;
        std::vector<std::byte> data;
        std::map<std::int32_t, std::string> blobs;
    };

    explicit TMemDataSet(TComponent* owner) : TDataSet(owner) {}
    ~TMemDataSet() override {
        Destroying();
        Close();
    }

    void AddColumn(std::string name, TFieldType type, std::int32_t size = 0,
                   bool required = false) {
        columns.push_back({std::move(name), type, size, required});
    }

    platform::nls::CodePage TextCodePage() const override { return code_page; }
    bool IsSequenced() const override { return !Filtered(); }

    std::vector<Column> columns;
    std::vector<Row> rows;
    std::int64_t next_id = 1;
    bool read_only = false;
    platform::nls::CodePage code_page = platform::nls::CodePage::Western;
    // Names of the cursor operations, in call order, for tests that check the framework's calls.
    std::vector<std::string> calls;

    void SetFiltered(bool value) override {
        if (value == Filtered()) {
            return;
        }
        if (Active()) {
            CheckBrowseMode();
        }
        TDataSet::SetFiltered(value);
        if (Active()) {
            First();
        }
    }

    // The stored bytes of a string column of row `row` (for code-page tests).
    std::string StoredText(std::size_t row, std::int32_t field_no) const {
        const std::byte* at = rows[row].data.data() + offsets_[field_no - 1] + 1;
        return std::string(reinterpret_cast<const char*>(at));
    }

  protected:
    TRecordBuffer AllocRecordBuffer() override {
        auto* buffer = new std::byte[BufferSize()];
        std::memset(buffer, 0, BufferSize());
        return buffer;
    }
    void FreeRecordBuffer(TRecordBuffer& buffer) override {
        delete[] buffer;
        buffer = nullptr;
    }
    void GetBookmarkData(TRecordBuffer buffer, TBookmark& data) const override {
        data.assign(reinterpret_cast<const char*>(buffer + InfoOffset() + 1), 8);
    }
    void SetBookmarkData(TRecordBuffer buffer, const TBookmark& data) override {
        std::memset(buffer + InfoOffset() + 1, 0, 8);
        std::memcpy(buffer + InfoOffset() + 1, data.data(), std::min<std::size_t>(8, data.size()));
    }
    TBookmarkFlag GetBookmarkFlag(TRecordBuffer buffer) const override {
        return static_cast<TBookmarkFlag>(buffer[InfoOffset()]);
    }
    void SetBookmarkFlag(TRecordBuffer buffer, TBookmarkFlag flag) override {
        buffer[InfoOffset()] = static_cast<std::byte>(flag);
    }

    TGetResult GetRecord(TRecordBuffer buffer, TGetMode mode, bool /*check*/) override {
        const auto count = static_cast<std::int64_t>(rows.size());
        for (;;) {
            switch (mode) {
                case gmCurrent:
                    if (cursor_ < 0 || cursor_ >= count) {
                        return cursor_ < 0 ? grBOF : grEOF;
                    }
                    break;
                case gmNext:
                    if (cursor_ >= count - 1) {
                        cursor_ = count;
                        return grEOF;
                    }
                    ++cursor_;
                    break;
                case gmPrior:
                    if (cursor_ <= 0) {
                        cursor_ = -1;
                        return grBOF;
                    }
                    --cursor_;
                    break;
            }
            Fill(buffer, rows[static_cast<std::size_t>(cursor_)]);
            if (Accepts(buffer)) {
                break;
            }
            if (mode == gmCurrent) {
                return grError;
            }
        }
        GetCalcFields(buffer);
        return grOK;
    }

    std::int32_t GetRecordSize() const override { return record_size_; }
    void InternalAddRecord(TRecordBuffer buffer, bool append) override {
        Row row{next_id++, std::vector<std::byte>(buffer, buffer + record_size_), {}};
        if (append) {
            rows.push_back(std::move(row));
            cursor_ = static_cast<std::int64_t>(rows.size()) - 1;
        } else {
            const std::int64_t at = std::max<std::int64_t>(cursor_, 0);
            rows.insert(rows.begin() + at, std::move(row));
            cursor_ = at;
        }
    }
    void InternalClose() override {
        calls.push_back("InternalClose");
        BindFields(false);
        if (DefaultFields()) {
            DestroyFields();
        }
        open_ = false;
    }
    void InternalDelete() override {
        calls.push_back("InternalDelete");
        const std::int64_t at = IndexOfId(IdOf(ActiveBuffer()));
        if (at < 0) {
            throw EDatabaseError("Record not found");
        }
        rows.erase(rows.begin() + at);
        cursor_ = at;
    }
    void InternalFirst() override { cursor_ = -1; }
    void InternalLast() override { cursor_ = static_cast<std::int64_t>(rows.size()); }
    void InternalGotoBookmark(const TBookmark& bookmark) override {
        std::int64_t id = 0;
        std::memcpy(&id, bookmark.data(), std::min<std::size_t>(8, bookmark.size()));
        const std::int64_t at = IndexOfId(id);
        if (at < 0) {
            throw EDatabaseError("Record not found");
        }
        cursor_ = at;
    }
    void InternalInitFieldDefs() override {
        FieldDefs()->Clear();
        for (const Column& column : columns) {
            FieldDefs()->Add(column.name, column.type, column.size, column.required);
        }
    }
    void InternalInitRecord(TRecordBuffer buffer) override {
        std::memset(buffer, 0, static_cast<std::size_t>(record_size_));
        pending_blobs_.clear();
    }
    void InternalOpen() override {
        calls.push_back("InternalOpen");
        InternalInitFieldDefs();
        if (DefaultFields()) {
            CreateFields();
        }
        BindFields(true);
        offsets_.clear();
        record_size_ = 0;
        for (const Column& column : columns) {
            offsets_.push_back(record_size_);
            record_size_ += 1 + NativeSize(column);
        }
        SetBookmarkSize(8);
        cursor_ = -1;
        open_ = true;
    }
    void InternalPost() override {
        calls.push_back("InternalPost");
        TRecordBuffer buffer = ActiveBuffer();
        if (State() == dsEdit) {
            const std::int64_t at = IndexOfId(IdOf(buffer));
            if (at < 0) {
                throw EDatabaseError("Record not found");
            }
            Row& row = rows[static_cast<std::size_t>(at)];
            row.data.assign(buffer, buffer + record_size_);
            for (auto& [field_no, bytes] : pending_blobs_) {
                row.blobs[field_no] = bytes;
            }
            cursor_ = at;
        } else {
            Row row{next_id++, std::vector<std::byte>(buffer, buffer + record_size_), {}};
            for (std::size_t i = 0; i < columns.size(); ++i) {
                if (columns[i].type == ftAutoInc && row.data[offsets_[i]] == std::byte{0}) {
                    const auto value = static_cast<std::int32_t>(row.id);
                    row.data[offsets_[i]] = std::byte{1};
                    std::memcpy(row.data.data() + offsets_[i] + 1, &value, 4);
                }
            }
            row.blobs = pending_blobs_;
            std::int64_t at = static_cast<std::int64_t>(rows.size());
            if (GetBookmarkFlag(buffer) == bfBOF) {
                at = 0;
            } else if (GetBookmarkFlag(buffer) == bfInserted) {
                const std::int64_t before = IndexOfId(IdOf(buffer));
                if (before >= 0) {
                    at = before;
                }
            }
            rows.insert(rows.begin() + at, std::move(row));
            cursor_ = at;
        }
        pending_blobs_.clear();
    }
    void InternalCancel() override {
        calls.push_back("InternalCancel");
        pending_blobs_.clear();
    }
    void InternalEdit() override {
        calls.push_back("InternalEdit");
        pending_blobs_.clear();
    }
    void InternalSetToRecord(TRecordBuffer buffer) override {
        const std::int64_t at = IndexOfId(IdOf(buffer));
        if (at >= 0) {
            cursor_ = at;
        }
    }
    bool IsCursorOpen() const override { return open_; }
    bool GetCanModify() const override { return !read_only; }
    std::int64_t GetRecordCount() const override {
        if (!Filtered()) {
            return static_cast<std::int64_t>(rows.size());
        }
        std::int64_t count = 0;
        std::vector<std::byte> buffer(BufferSize());
        auto* self = const_cast<TMemDataSet*>(this);
        for (const Row& row : rows) {
            self->Fill(buffer.data(), row);
            count += self->Accepts(buffer.data()) ? 1 : 0;
        }
        return count;
    }
    std::int64_t GetRecNo() const override {
        if (ActiveBuffer() == nullptr || IsEmpty()) {
            return -1;
        }
        const std::int64_t at = IndexOfId(IdOf(ActiveBuffer()));
        return at < 0 ? -1 : at + 1;
    }

  public:
    bool BookmarkValid(const TBookmark& bookmark) override {
        std::int64_t id = 0;
        std::memcpy(&id, bookmark.data(), std::min<std::size_t>(8, bookmark.size()));
        return !bookmark.empty() && IndexOfId(id) >= 0;
    }
    int CompareBookmarks(const TBookmark& a, const TBookmark& b) const override {
        if (a.empty() || b.empty()) {
            return TDataSet::CompareBookmarks(a, b);
        }
        std::int64_t ida = 0;
        std::int64_t idb = 0;
        std::memcpy(&ida, a.data(), 8);
        std::memcpy(&idb, b.data(), 8);
        const std::int64_t pa = IndexOfId(ida);
        const std::int64_t pb = IndexOfId(idb);
        return pa < pb ? -1 : (pa == pb ? 0 : 1);
    }

    bool GetFieldData(TField* field, std::span<std::byte> buffer) override {
        TRecordBuffer record = StateBuffer();
        if (record == nullptr) {
            return false;
        }
        if (field->FieldKind() != fkData) {
            return GetCalcFieldData(record, *field, buffer);
        }
        const std::int32_t column = field->FieldNo() - 1;
        const std::byte* slot = record + offsets_[column];
        if (slot[0] == std::byte{0}) {
            return false;
        }
        const std::size_t size = std::min<std::size_t>(buffer.size(), NativeSize(columns[column]));
        if (size > 0) {
            std::memcpy(buffer.data(), slot + 1, size);
        }
        return true;
    }

    void SetFieldData(TField* field, std::span<const std::byte> buffer) override {
        const TDataSetState state = State();
        if (state != dsEdit && state != dsInsert && state != dsCalcFields && state != dsFilter &&
            state != dsNewValue) {
            throw EDatabaseError("Dataset not in edit or insert mode");
        }
        TRecordBuffer record = StateBuffer();
        if (field->FieldKind() != fkData) {
            SetCalcFieldData(record, *field, buffer);
        } else {
            if (state == dsCalcFields) {
                throw EDatabaseError("Dataset not in edit or insert mode");
            }
            if (field->ReadOnly()) {
                throw EDatabaseError("Field '" + field->DisplayName() + "' cannot be modified");
            }
            field->Validate(buffer);
            const std::int32_t column = field->FieldNo() - 1;
            std::byte* slot = record + offsets_[column];
            const auto size = static_cast<std::size_t>(NativeSize(columns[column]));
            std::memset(slot + 1, 0, size);
            // An empty string is stored as null, as the engine does.
            const bool empty_text =
                columns[column].type == ftString && !buffer.empty() && buffer[0] == std::byte{0};
            slot[0] = buffer.empty() || empty_text ? std::byte{0} : std::byte{1};
            if (!buffer.empty()) {
                std::memcpy(slot + 1, buffer.data(), std::min(size, buffer.size()));
            }
        }
        if (state != dsCalcFields && state != dsFilter && state != dsNewValue) {
            DataEvent(deFieldChange, {.field = field});
        }
    }

    std::unique_ptr<TStream> CreateBlobStream(TField* field, TBlobStreamMode mode) override;

  private:
    friend class MemBlobStream;

    std::size_t BufferSize() const {
        return static_cast<std::size_t>(record_size_ + CalcFieldsSize() + 9);
    }
    std::int32_t InfoOffset() const { return record_size_ + CalcFieldsSize(); }
    static std::int32_t NativeSize(const Column& column) {
        switch (column.type) {
            case ftString:
                return column.size + 1;
            case ftBytes:
                return column.size;
            case ftVarBytes:
                return column.size + 2;
            case ftSmallint:
            case ftWord:
            case ftBoolean:
                return 2;
            case ftInteger:
            case ftAutoInc:
            case ftDate:
            case ftTime:
                return 4;
            case ftFloat:
            case ftCurrency:
            case ftBCD:
            case ftDateTime:
            case ftLargeint:
                return 8;
            default:
                return 0;
        }
    }
    std::int64_t IdOf(TRecordBuffer buffer) const {
        std::int64_t id = 0;
        std::memcpy(&id, buffer + InfoOffset() + 1, 8);
        return id;
    }
    std::int64_t IndexOfId(std::int64_t id) const {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].id == id) {
                return static_cast<std::int64_t>(i);
            }
        }
        return -1;
    }
    void Fill(TRecordBuffer buffer, const Row& row) {
        std::memcpy(buffer, row.data.data(), static_cast<std::size_t>(record_size_));
        SetBookmarkFlag(buffer, bfCurrent);
        std::memcpy(buffer + InfoOffset() + 1, &row.id, 8);
    }
    bool Accepts(TRecordBuffer buffer) {
        if (!Filtered() || !OnFilterRecord()) {
            return true;
        }
        const TRecordBuffer saved = filter_buffer_;
        filter_buffer_ = buffer;
        const TDataSetState state = SetTempState(dsFilter);
        bool accept = true;
        try {
            OnFilterRecord()(this, accept);
        } catch (...) {
            RestoreState(state);
            filter_buffer_ = saved;
            throw;
        }
        RestoreState(state);
        filter_buffer_ = saved;
        return accept;
    }
    TRecordBuffer StateBuffer() {
        switch (State()) {
            case dsBrowse:
                return IsEmpty() ? nullptr : ActiveBuffer();
            case dsEdit:
            case dsInsert:
            case dsNewValue:
                return ActiveBuffer();
            case dsCalcFields:
            case dsInternalCalc:
                return CalcBuffer();
            case dsFilter:
                return filter_buffer_;
            case dsOldValue: {
                old_buffer_.assign(BufferSize(), std::byte{0});
                const std::int64_t at = IndexOfId(IdOf(ActiveBuffer()));
                if (at >= 0) {
                    Fill(old_buffer_.data(), rows[static_cast<std::size_t>(at)]);
                }
                return old_buffer_.data();
            }
            default:
                return nullptr;
        }
    }
    std::string BlobOf(TRecordBuffer buffer, std::int32_t field_no) const {
        if (State() == dsEdit || State() == dsInsert) {
            if (auto pending = pending_blobs_.find(field_no); pending != pending_blobs_.end()) {
                return pending->second;
            }
            if (State() == dsInsert) {
                return {};
            }
        }
        const std::int64_t at = IndexOfId(IdOf(buffer));
        if (at < 0) {
            return {};
        }
        const auto& blobs = rows[static_cast<std::size_t>(at)].blobs;
        const auto found = blobs.find(field_no);
        return found == blobs.end() ? std::string() : found->second;
    }
    void WriteBlob(TField* field, std::string bytes) {
        const std::int32_t field_no = field->FieldNo();
        ActiveBuffer()[offsets_[field_no - 1]] = bytes.empty() ? std::byte{0} : std::byte{1};
        pending_blobs_[field_no] = std::move(bytes);
        if (auto* blob = dynamic_cast<TBlobField*>(field); blob != nullptr) {
            blob->SetModified(true);
        }
        DataEvent(deFieldChange, {.field = field});
    }

    bool open_ = false;
    std::int64_t cursor_ = -1;
    std::int32_t record_size_ = 0;
    std::vector<std::int32_t> offsets_;
    TRecordBuffer filter_buffer_ = nullptr;
    std::vector<std::byte> old_buffer_;
    std::map<std::int32_t, std::string> pending_blobs_;
};

// A blob stream over a copy of the value; each write stores the whole value back as the
// record's pending change.
class MemBlobStream : public TStream {
  public:
    MemBlobStream(TMemDataSet& dataset, TField& field, TBlobStreamMode mode, std::string bytes)
        : dataset_(dataset), field_(field), mode_(mode), bytes_(std::move(bytes)) {
        if (mode_ == bmWrite) {
            bytes_.clear();
            dataset_.WriteBlob(&field_, bytes_);
        }
    }
    std::int64_t Read(std::span<std::byte> buffer) override {
        const auto available = position_ < static_cast<std::int64_t>(bytes_.size())
                                   ? static_cast<std::int64_t>(bytes_.size()) - position_
                                   : 0;
        const std::int64_t count = std::min<std::int64_t>(available, buffer.size());
        std::memcpy(buffer.data(), bytes_.data() + position_, static_cast<std::size_t>(count));
        position_ += count;
        return count;
    }
    std::int64_t Write(std::span<const std::byte> data) override {
        if (mode_ == bmRead) {
            return 0;
        }
        if (static_cast<std::size_t>(position_) > bytes_.size()) {
            bytes_.resize(static_cast<std::size_t>(position_));
        }
        bytes_.replace(static_cast<std::size_t>(position_),
                       std::min(data.size(), bytes_.size() - position_),
                       reinterpret_cast<const char*>(data.data()), data.size());
        position_ += static_cast<std::int64_t>(data.size());
        dataset_.WriteBlob(&field_, bytes_);
        return static_cast<std::int64_t>(data.size());
    }
    std::int64_t Seek(std::int64_t offset, TSeekOrigin origin) override {
        switch (origin) {
            case soBeginning:
                position_ = offset;
                break;
            case soCurrent:
                position_ += offset;
                break;
            case soEnd:
                position_ = static_cast<std::int64_t>(bytes_.size()) + offset;
                break;
        }
        return position_;
    }

  private:
    TMemDataSet& dataset_;
    TField& field_;
    TBlobStreamMode mode_;
    std::string bytes_;
    std::int64_t position_ = 0;
};

inline std::unique_ptr<TStream> TMemDataSet::CreateBlobStream(TField* field, TBlobStreamMode mode) {
    if (mode != bmRead && State() != dsEdit && State() != dsInsert) {
        throw EDatabaseError("Dataset not in edit or insert mode");
    }
    TRecordBuffer record = StateBuffer();
    std::string bytes = record == nullptr ? std::string() : BlobOf(record, field->FieldNo());
    return std::make_unique<MemBlobStream>(*this, *field, mode, std::move(bytes));
}

}  // namespace db::testing
