// Editing: edit, insert, append, post, cancel, delete and the checks around them.

#include "platform/db/dataset.h"

#include <algorithm>

#include "platform/db/exception.h"
#include "platform/db/fields_blob.h"

namespace db {

void TDataSet::InitRecord(TRecordBuffer buffer) {
    InternalInitRecord(buffer);
    ClearCalcFields(buffer);
    SetBookmarkFlag(buffer, bfInserted);
}

void TDataSet::CheckBrowseMode() {
    CheckActive();
    DataEvent(deCheckBrowseMode);
    switch (state_) {
        case dsEdit:
        case dsInsert:
            UpdateRecord();
            if (modified_) {
                Post();
            } else {
                Cancel();
            }
            break;
        case dsSetKey:
            Post();
            break;
        default:
            break;
    }
}

void TDataSet::UpdateRecord() {
    if (state_ != dsEdit && state_ != dsInsert && state_ != dsSetKey) {
        throw EDatabaseError("Dataset not in edit or insert mode");
    }
    DataEvent(deUpdateRecord);
}

void TDataSet::Edit() {
    CheckActive();
    if (state_ == dsEdit || state_ == dsInsert) {
        return;
    }
    if (record_count_ == 0) {
        Insert();
        return;
    }
    CheckBrowseMode();
    CheckCanModify();
    FireEvent(BeforeEdit);
    UpdateCursorPos();
    InternalEdit();
    GetCalcFields(ActiveBuffer());
    SetState(dsEdit);
    DataEvent(deRecordChange);
    FireEvent(AfterEdit);
}

void TDataSet::BeginInsertAppend() {
    CheckBrowseMode();
    CheckCanModify();
    FireEvent(BeforeInsert);
    DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
    SetState(dsInsert);
    try {
        DoOnNewRecord();
    } catch (...) {
        // Leave no half-made record behind: back to the record the insert started from.
        CursorPosChanged();
        UpdateCursorPos();
        InternalCancel();
        FreeFieldBuffers();
        SetState(dsBrowse);
        Resync({});
        throw;
    }
    modified_ = false;
    DataEvent(deDataSetChange);
    FireEvent(AfterInsert);
    DoAfterScroll();
}

void TDataSet::Insert() {
    BeginInsertAppend();
    UpdateCursorPos();
    const TBookmark old_current = record_count_ > 0 ? Bookmark() : TBookmark();
    // The free slot after the buffered records becomes the new record's, at the active
    // position; a full ring lets its last record go.
    MoveBuffer(record_count_, active_record_);
    TRecordBuffer buffer = ActiveBuffer();
    InitRecord(buffer);
    if (record_count_ == 0) {
        SetBookmarkFlag(buffer, bfBOF);
    } else {
        SetBookmarkData(buffer, old_current);
    }
    if (record_count_ < buffer_count_) {
        ++record_count_;
    }
    CursorPosChanged();
    InternalInsert();
    EndInsertAppend();
}

void TDataSet::Append() {
    BeginInsertAppend();
    ClearBuffers();
    TRecordBuffer buffer = buffers_[0].get();
    InitRecord(buffer);
    SetBookmarkFlag(buffer, bfEOF);
    record_count_ = 1;
    active_record_ = 0;
    current_record_ = -1;
    bof_ = false;
    eof_ = false;
    GetPriorRecords();
    active_record_ = record_count_ - 1;
    // The new record stands after the last: the dataset is at its end until the insert ends.
    eof_ = true;
    InternalInsert();
    EndInsertAppend();
}

void TDataSet::InsertAppendRecord(std::span<const Variant> values, bool append) {
    if (append) {
        Append();
    } else {
        Insert();
    }
    try {
        SetFields(values);
        Post();
    } catch (...) {
        if (state_ == dsInsert) {
            Cancel();
        }
        throw;
    }
}

void TDataSet::InsertRecord(std::span<const Variant> values) {
    InsertAppendRecord(values, false);
}

void TDataSet::AppendRecord(std::span<const Variant> values) {
    InsertAppendRecord(values, true);
}

void TDataSet::CheckRequiredFields() {
    for (TField* field : fields_) {
        if (field->FieldKind() == fkData && field->Required() && !field->ReadOnly() &&
            field->DataType() != ftAutoInc && field->IsNull()) {
            field->FocusControl();
            throw EDatabaseError("Field '" + field->DisplayName() + "' must have a value");
        }
    }
}

void TDataSet::FreeFieldBuffers() {
    // Every post asks: a field list without blobs, known as such since it last changed, is
    // not walked.
    if (blob_scan_.valid && blob_scan_.version == fields_.Version() && !blob_scan_.any) {
        return;
    }
    blob_scan_.any = std::any_of(fields_.begin(), fields_.end(),
                                 [](const TField* field) { return field->IsBlob(); });
    blob_scan_.version = fields_.Version();
    blob_scan_.valid = true;
    for (TField* field : fields_) {
        // Asked before the cast: a post of a row without blobs pays no type lookup per field.
        if (!field->IsBlob()) {
            continue;
        }
        if (auto* blob = dynamic_cast<TBlobField*>(field); blob != nullptr && blob->Modified()) {
            CloseBlob(blob);
            blob->SetModified(false);
        }
    }
}

void TDataSet::Post() {
    if (state_ != dsEdit && state_ != dsInsert) {
        return;
    }
    UpdateRecord();
    DataEvent(deCheckBrowseMode);
    FireEvent(BeforePost);
    CheckRequiredFields();
    UpdateCursorPos();
    InternalPost();
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    FireEvent(AfterPost);
}

void TDataSet::Cancel() {
    if (state_ != dsEdit && state_ != dsInsert) {
        return;
    }
    DataEvent(deCheckBrowseMode);
    FireEvent(BeforeCancel);
    const bool scrolls = state_ == dsInsert;
    if (scrolls) {
        DoBeforeScroll();
    }
    UpdateCursorPos();
    InternalCancel();
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    FireEvent(AfterCancel);
    if (scrolls) {
        DoAfterScroll();
    }
}

void TDataSet::Delete() {
    CheckActive();
    if (state_ == dsInsert || state_ == dsSetKey) {
        Cancel();
        return;
    }
    if (record_count_ == 0) {
        throw EDatabaseError("Cannot perform this operation on an empty dataset");
    }
    DataEvent(deCheckBrowseMode);
    if (state_ == dsEdit) {
        Post();
    }
    CheckCanModify();
    FireEvent(BeforeDelete);
    DoBeforeScroll();
    UpdateCursorPos();
    InternalDelete();
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync({});
    FireEvent(AfterDelete);
    DoAfterScroll();
}

void TDataSet::ClearFields() {
    if (state_ != dsEdit && state_ != dsInsert && state_ != dsSetKey) {
        throw EDatabaseError("Dataset not in edit or insert mode");
    }
    DataEvent(deCheckBrowseMode);
    InternalInitRecord(ActiveBuffer());
    if (state_ != dsSetKey) {
        GetCalcFields(ActiveBuffer());
    }
    DataEvent(deRecordChange);
}

}  // namespace db
