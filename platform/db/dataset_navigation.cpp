// The record-buffer ring and everything that moves the cursor: first, last, relative moves,
// bookmarks, resynchronisation, record search and Locate/Lookup.

#include <algorithm>
#include <cassert>

#include "platform/db/code_page_text.h"
#include "platform/db/data_link.h"
#include "platform/db/data_source.h"
#include "platform/db/dataset.h"
#include "platform/db/exception.h"

namespace db {

void TDataSet::SetBufListSize(std::int64_t count) {
    const auto wanted = static_cast<std::size_t>(count);
    while (buffers_.size() > wanted) {
        buffers_.pop_back();
    }
    while (buffers_.size() < wanted) {
        buffers_.emplace_back(AllocRecordBuffer(), BufferDeleter{this});
    }
}

void TDataSet::UpdateBufferCount() {
    if (!IsCursorOpen() || !internal_open_complete_) {
        return;
    }
    std::int64_t wanted = 1;
    for (TDataSource* source : data_sources_) {
        for (TDataLink* link : source->links_) {
            wanted = std::max(wanted, link->BufferCount());
        }
    }
    if (wanted == buffer_count_) {
        return;
    }
    UpdateCursorPos();
    if (wanted < record_count_) {
        // Keep the active record inside the smaller window: drop records before it first.
        const std::int64_t drop_front =
            std::clamp<std::int64_t>(active_record_ - wanted + 1, 0, record_count_ - wanted);
        for (std::int64_t i = 0; i < drop_front; ++i) {
            MoveBuffer(0, record_count_ - 1);
        }
        active_record_ -= drop_front;
        record_count_ = wanted;
        current_record_ = -1;
    }
    buffer_count_ = wanted;
    SetBufListSize(buffer_count_ + 1);
    if (record_count_ > 0 && state_ != dsInsert) {
        GetNextRecords();
        active_record_ += GetPriorRecords();
    }
    for (TDataSource* source : data_sources_) {
        for (TDataLink* link : source->links_) {
            link->UpdateRange();
        }
    }
}

TRecordBuffer TDataSet::ActiveBuffer() const {
    if (buffers_.empty() || active_record_ < 0 ||
        active_record_ >= static_cast<std::int64_t>(buffers_.size())) {
        return nullptr;
    }
    return buffers_[static_cast<std::size_t>(active_record_)].get();
}

TRecordBuffer TDataSet::TempBuffer() const {
    // The slot after the buffered records is always free.
    if (buffers_.empty()) {
        return nullptr;
    }
    return buffers_[static_cast<std::size_t>(record_count_)].get();
}

void TDataSet::SetActiveRecord(std::int64_t index) {
    if (index < 0 || (index >= record_count_ && !(index == 0 && record_count_ == 0))) {
        throw EListError("List index out of bounds (" + std::to_string(index) + ")");
    }
    active_record_ = index;
}

void TDataSet::MoveBuffer(std::int64_t from, std::int64_t to) {
    if (from == to) {
        return;
    }
    auto first = buffers_.begin();
    if (from < to) {
        std::rotate(first + from, first + from + 1, first + to + 1);
    } else {
        std::rotate(first + to, first + from, first + from + 1);
    }
}

void TDataSet::SetCurrentRecord(std::int64_t index) {
    if (current_record_ == index) {
        return;
    }
    TRecordBuffer buffer = buffers_[static_cast<std::size_t>(index)].get();
    switch (GetBookmarkFlag(buffer)) {
        case bfCurrent:
        case bfInserted:
            InternalSetToRecord(buffer);
            break;
        case bfBOF:
            InternalFirst();
            break;
        case bfEOF:
            InternalLast();
            break;
    }
    current_record_ = index;
}

void TDataSet::UpdateCursorPos() {
    if (record_count_ > 0) {
        SetCurrentRecord(active_record_);
    }
}

void TDataSet::ActivateBuffers() {
    record_count_ = 1;
    active_record_ = 0;
    current_record_ = 0;
    bof_ = false;
    eof_ = false;
}

void TDataSet::ClearBuffers() {
    record_count_ = 0;
    active_record_ = 0;
    current_record_ = -1;
    bof_ = true;
    eof_ = true;
}

bool TDataSet::GetNextRecord() {
    TGetMode mode = gmNext;
    if (record_count_ > 0) {
        SetCurrentRecord(record_count_ - 1);
        // An insert that is not posted yet sits before the cursor's record: the record after
        // it is the cursor's own.
        if (state_ == dsInsert && current_record_ == active_record_ &&
            GetBookmarkFlag(ActiveBuffer()) == bfCurrent) {
            mode = gmCurrent;
        }
    }
    TRecordBuffer target = buffers_[static_cast<std::size_t>(record_count_)].get();
    if (GetRecord(target, mode, true) != grOK) {
        CursorPosChanged();
        return false;
    }
    if (record_count_ == 0) {
        ActivateBuffers();
    } else if (record_count_ < buffer_count_) {
        ++record_count_;
    } else {
        MoveBuffer(0, record_count_);
    }
    current_record_ = record_count_ - 1;
    return true;
}

bool TDataSet::GetPriorRecord() {
    if (record_count_ > 0) {
        SetCurrentRecord(0);
    }
    TRecordBuffer target = buffers_[static_cast<std::size_t>(record_count_)].get();
    if (GetRecord(target, gmPrior, true) != grOK) {
        CursorPosChanged();
        return false;
    }
    if (record_count_ == 0) {
        ActivateBuffers();
    } else {
        MoveBuffer(record_count_, 0);
        if (record_count_ < buffer_count_) {
            ++record_count_;
        }
    }
    current_record_ = 0;
    return true;
}

std::int64_t TDataSet::GetNextRecords() {
    std::int64_t count = 0;
    while (record_count_ < buffer_count_ && GetNextRecord()) {
        ++count;
    }
    return count;
}

std::int64_t TDataSet::GetPriorRecords() {
    std::int64_t count = 0;
    while (record_count_ < buffer_count_ && GetPriorRecord()) {
        ++count;
    }
    return count;
}

void TDataSet::Resync(TResyncModes mode) {
    TRecordBuffer first = buffers_[0].get();
    if (mode.Contains(rmExact)) {
        CursorPosChanged();
        if (GetRecord(first, gmCurrent, true) != grOK) {
            throw EDatabaseError("Record not found");
        }
    } else if (GetRecord(first, gmCurrent, false) != grOK &&
               GetRecord(first, gmNext, false) != grOK &&
               GetRecord(first, gmPrior, false) != grOK) {
        ClearBuffers();
        DataEvent(deDataSetChange);
        return;
    }
    const std::int64_t before = mode.Contains(rmCenter) ? (buffer_count_ - 1) / 2 : active_record_;
    ActivateBuffers();
    try {
        std::int64_t count = 0;
        while (count < before && GetPriorRecord()) {
            ++count;
        }
        active_record_ = count;
        GetNextRecords();
        active_record_ += GetPriorRecords();
    } catch (...) {
        DataEvent(deDataSetChange);
        throw;
    }
    DataEvent(deDataSetChange);
}

void TDataSet::First() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalFirst();
        GetNextRecords();
    } catch (...) {
        bof_ = true;
        DataEvent(deDataSetChange);
        throw;
    }
    bof_ = true;
    DataEvent(deDataSetChange);
    DoAfterScroll();
}

void TDataSet::Last() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalLast();
        GetPriorRecords();
        active_record_ = std::max<std::int64_t>(record_count_ - 1, 0);
    } catch (...) {
        eof_ = true;
        DataEvent(deDataSetChange);
        throw;
    }
    eof_ = true;
    DataEvent(deDataSetChange);
    DoAfterScroll();
}

std::int64_t TDataSet::MoveBy(std::int64_t distance) {
    CheckBrowseMode();
    if (distance == 0) {
        return 0;
    }
    if (record_count_ == 0) {
        bof_ = true;
        eof_ = true;
        return 0;
    }
    if ((distance > 0 && eof_) || (distance < 0 && bof_)) {
        return 0;
    }
    bof_ = false;
    eof_ = false;
    DoBeforeScroll();
    std::int64_t moved = 0;
    // How far the ring's window moved over the records, positive towards the end: records
    // that changed their slot by one count one step.
    std::int64_t shift = 0;
    try {
        while (distance > 0) {
            if (active_record_ < record_count_ - 1) {
                ++active_record_;
            } else {
                const bool full = record_count_ == buffer_count_;
                if (!GetNextRecord()) {
                    eof_ = true;
                    break;
                }
                if (full) {
                    ++shift;
                } else {
                    ++active_record_;
                }
            }
            --distance;
            ++moved;
        }
        while (distance < 0) {
            if (active_record_ > 0) {
                --active_record_;
            } else {
                if (!GetPriorRecord()) {
                    bof_ = true;
                    break;
                }
                --shift;
            }
            ++distance;
            --moved;
        }
    } catch (...) {
        DataEvent(deDataSetScroll, {.distance = shift});
        throw;
    }
    DataEvent(deDataSetScroll, {.distance = shift});
    DoAfterScroll();
    return moved;
}

void TDataSet::Refresh() {
    CheckBrowseMode();
    UpdateCursorPos();
    InternalRefresh();
    Resync({});
}

TBookmark TDataSet::Bookmark() const {
    TBookmark bookmark;
    if (!Active() || record_count_ == 0 || (state_ != dsBrowse && state_ != dsEdit)) {
        return bookmark;
    }
    TRecordBuffer buffer = ActiveBuffer();
    if (GetBookmarkFlag(buffer) != bfCurrent) {
        return bookmark;
    }
    GetBookmarkData(buffer, bookmark);
    return bookmark;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
    if (bookmark.empty()) {
        return;
    }
    CheckBrowseMode();
    DoBeforeScroll();
    InternalGotoBookmark(bookmark);
    Resync({rmExact, rmCenter});
    DoAfterScroll();
}

bool TDataSet::BookmarkValid(const TBookmark& /*bookmark*/) {
    return false;
}

int TDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) const {
    if (a.empty() || b.empty()) {
        return a.empty() == b.empty() ? 0 : (a.empty() ? 1 : -1);
    }
    return a < b ? -1 : (a == b ? 0 : 1);
}

bool TDataSet::FindRecord(bool /*restart*/, bool /*go_forward*/) {
    return false;
}

bool TDataSet::FindRecordScrolled(bool restart, bool go_forward) {
    CheckActive();
    found_ = FindRecord(restart, go_forward);
    return found_;
}

bool TDataSet::RecordMatches(const std::vector<TField*>& fields, const Variant& key_values,
                             TLocateOptions options) const {
    const bool case_insensitive = options.Contains(loCaseInsensitive);
    const bool partial = options.Contains(loPartialKey);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const Variant key = fields.size() == 1 && !key_values.IsArray()
                                ? key_values
                                : key_values.Element(static_cast<std::int64_t>(i));
        TField* field = fields[i];
        if (key.IsClear()) {
            if (!field->IsNull()) {
                return false;
            }
            continue;
        }
        if (field->IsNull()) {
            return false;
        }
        if (field->DataType() == ftString || field->DataType() == ftMemo ||
            field->DataType() == ftFixedChar || field->DataType() == ftWideString) {
            std::string value = field->AsString();
            std::string wanted = key.AsString();
            if (case_insensitive) {
                // Compare in the dataset's code page with its upper-case map, so letters
                // beyond ASCII match as the engine matches them.
                const auto locale = platform::nls::MakeLocaleId(platform::nls::kLanguageAnsi, 0);
                const platform::nls::CodePage page = TextCodePage();
                value = platform::nls::MapString(locale, platform::nls::LCMAP_UPPERCASE,
                                                 Utf8ToCodePage(page, value, "a key value"));
                wanted = platform::nls::MapString(locale, platform::nls::LCMAP_UPPERCASE,
                                                  Utf8ToCodePage(page, wanted, "a key value"));
            }
            const bool last = i + 1 == fields.size();
            if (partial && last) {
                if (value.compare(0, wanted.size(), wanted) != 0) {
                    return false;
                }
            } else if (value != wanted) {
                return false;
            }
            continue;
        }
        if (VarCompare(field->Value(), key) != 0) {
            return false;
        }
    }
    return true;
}

bool TDataSet::LocateRecord(std::string_view key_fields, const Variant& key_values,
                            TLocateOptions options) {
    UpdateCursorPos();
    CursorPosChanged();
    const std::vector<TField*> fields = GetFieldList(key_fields);
    if (fields.empty()) {
        return false;
    }
    if (fields.size() > 1 && (!key_values.IsArray() ||
                              key_values.ArrayCount() < static_cast<std::int64_t>(fields.size()))) {
        throw EDatabaseError("Too few key values for the fields " + std::string(key_fields));
    }
    TRecordBuffer buffer = TempBuffer();
    InternalFirst();
    // The record under test is read into the spare buffer and seen through the calculation
    // state, so calculated fields can be matched too.
    while (GetRecord(buffer, gmNext, true) == grOK) {
        const TRecordBuffer saved_buffer = calc_buffer_;
        calc_buffer_ = buffer;
        const TDataSetState saved_state = SetTempState(dsCalcFields);
        bool matches = false;
        try {
            matches = RecordMatches(fields, key_values, options);
        } catch (...) {
            RestoreState(saved_state);
            calc_buffer_ = saved_buffer;
            throw;
        }
        RestoreState(saved_state);
        calc_buffer_ = saved_buffer;
        if (matches) {
            return true;
        }
    }
    return false;
}

bool TDataSet::Locate(std::string_view key_fields, const Variant& key_values,
                      TLocateOptions options) {
    CheckBrowseMode();
    DoBeforeScroll();
    found_ = LocateRecord(key_fields, key_values, options);
    if (found_) {
        Resync({rmExact, rmCenter});
        DoAfterScroll();
    }
    return found_;
}

Variant TDataSet::Lookup(std::string_view key_fields, const Variant& key_values,
                         std::string_view result_fields) {
    CheckBrowseMode();
    if (!LocateRecord(key_fields, key_values, {})) {
        return Variant::Null();
    }
    const TRecordBuffer buffer = TempBuffer();
    const TRecordBuffer saved_buffer = calc_buffer_;
    calc_buffer_ = buffer;
    const TDataSetState saved_state = SetTempState(dsCalcFields);
    try {
        Variant result = FieldValues(result_fields);
        RestoreState(saved_state);
        calc_buffer_ = saved_buffer;
        return result;
    } catch (...) {
        RestoreState(saved_state);
        calc_buffer_ = saved_buffer;
        throw;
    }
}

}  // namespace db
