#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <limits>

#include "engine/core/cursor_operation.h"
#include "engine/core/data_cursor.h"
#include "engine/core/index_tree.h"
#include "engine/core/mapped_records.h"
#include "engine/storage/data_types.h"
#include "engine/storage/engine_heap.h"
#include "engine/storage/key_encoding.h"
#include "engine/storage/scramble.h"
#include "platform/nls/nls.h"
#include "platform/nls/text.h"

namespace strata {

namespace {

// A scan reads the data file this many bytes at a time.
constexpr std::size_t kScanBlockBytes = 1024 * 1024;
// Records a scan passes over between two it visits, in bytes, before it reads apart: a gap
// costs more to copy than another read.
constexpr std::size_t kScanGapBytes = 32 * 1024;

// What one operation of a scan leaves for the loop around it.
enum class ScanStep { kGoOn, kEnd, kGiveUp };

}  // namespace

namespace {}  // namespace

int TDataCursor::SlotOf(std::uint8_t number) const {
    return number == kNoIndex ? -1 : static_cast<int>(number);
}

TDataCursor::IndexState TDataCursor::MakeIndexState(int slot) const {
    IndexState state;
    if (slot == kHiddenIndexSlot) {
        state.key_size = 5;
        state.unique = true;
        return state;
    }
    const IndexDescriptor d = table_->IndexFile().GetIndexDescriptor(slot);
    state.key_size = IndexKeySize(d);
    state.descending = d[ixd::kDescending] != 0;
    state.case_insensitive = d[ixd::kCaseInsensitive] != 0;
    state.unique = IndexUnique(d);
    for (std::size_t i = 0; i < IndexFieldsHeld(d); ++i) {
        const auto field = table_->DataFile().FindFieldDescriptor(IndexFieldNumber(d, i));
        if (!field)
            Raise(kErrIndexPageCorrupt, {}, IndexName(d));
        FieldDescriptor f = *field;
        f[fd::kDescending] = d[ixd::kFieldDescending + i];
        state.fields.push_back(f);
    }
    state.comparer = TKeyComparer(KeySegmentsOf(state.fields, state.descending), language_, sort_,
                                  state.key_size);
    return state;
}

const TDataCursor::IndexState& TDataCursor::CachedIndexState(int slot) const {
    // Every key built and every edit asks: the index file's stamp tells in one comparison
    // whether any descriptor may have changed since the state was built.
    const std::uint64_t stamp = table_->IndexFile().DescriptorStamp();
    std::optional<CachedState>& entry = state_cache_.at(static_cast<std::size_t>(slot));
    if (!entry || entry->stamp != stamp || slot == kHiddenIndexSlot) {
        entry.reset();
        entry = CachedState{stamp, MakeIndexState(slot)};
    }
    return entry->state;
}

KeyCompare TDataCursor::SlotCompare(int slot) const {
    if (slot == kHiddenIndexSlot)
        return KeyCompare::Bytes(5);
    const TKeyComparer* comparer = (slot == CurrentSlot() && !physical_)
                                       ? &index_state_.comparer
                                       : &CachedIndexState(slot).comparer;
    if (comparer->PlainBytes() && comparer->KeySize() > 0)
        return KeyCompare::Bytes(comparer->KeySize());
    return [comparer](const std::uint8_t* a, const std::uint8_t* b) {
        return comparer->Compare(a, b, true);
    };
}

KeyCompare TDataCursor::CurrentCompare() const {
    return SlotCompare(CurrentSlot());
}

bool TDataCursor::HasNoPrimaryIndex() const {
    return table_ == nullptr || table_->IndexFile().GetNoPrimaryIndex() ||
           IndexFieldCount(table_->IndexFile().GetIndexDescriptor(0)) == 0;
}

void TDataCursor::SelectIndex(std::uint8_t number) {
    SelectIndexState(number);
    UpdateBitmapsInUse();
}

void TDataCursor::SelectIndexState(std::uint8_t number) {
    index_ = number;
    if (number == kNoIndex || (number == 0 && HasNoPrimaryIndex())) {
        physical_ = true;
        key_size_ = 4;
        index_name_.clear();
        index_state_ = IndexState{};
    } else {
        index_state_ = CachedIndexState(number);
        index_stamp_ = table_->IndexFile().DescriptorStamp();
        key_size_ = index_state_.key_size;
        index_name_ = number == kHiddenIndex
                          ? std::string(kHiddenIndexName)
                          : IndexName(table_->IndexFile().GetIndexDescriptor(number));
        physical_ = false;
    }
}

void TDataCursor::FollowCurrentIndex() {
    index_stamp_ = table_->IndexFile().DescriptorStamp();
    // The primary and the hidden index keep their slots.
    if (index_ == kNoIndex || index_ == kHiddenIndex || index_ == 0)
        return;
    // Another cursor of the table added or dropped an index: the current one may stand in
    // another slot now. Its keys are as they were, so the position stays.
    const std::string_view name = platform::nls::TrimOf(index_name_, " ");
    const int count = table_->IndexFile().GetIndexCount();
    for (int slot = 1; slot <= count; ++slot) {
        const IndexDescriptor d = table_->IndexFile().GetIndexDescriptor(slot);
        if (platform::nls::SameTextAnsi(name, platform::nls::TrimOf(IndexName(d), " "))) {
            SelectIndexState(static_cast<std::uint8_t>(slot));
            return;
        }
    }
    // A dropped index stays the cursor's until it is told another; using it says it is gone.
}

void TDataCursor::SetIndex(std::uint8_t number) {
    CheckOpen();
    if (number == index_)
        return;
    if (number != kNoIndex && number != kHiddenIndex &&
        (number > table_->IndexFile().GetIndexCount())) {
        Raise(kErrInvalidIndexName, {}, std::to_string(number));
    }
    CursorOperation::Run(*this, [&] {
        const bool had_record = !bof_ && !eof_;
        std::vector<std::uint8_t> record;
        if (had_record)
            ReadStoredRecord(record_no_, record);
        range_active_ = false;
        range_start_.clear();
        range_end_.clear();
        // A place kept in the old order means nothing in the new one.
        ForgetVanishedPlace();
        SelectIndex(number);
        Resync();
        if (!had_record || record.empty()) {
            First();
            return;
        }
        if (physical_) {
            std::array<std::uint8_t, 4> bookmark{};
            PutU32(bookmark, 0, record_no_);
            GotoBookmark(bookmark, true, true);
        } else {
            GotoKey(BuildKeyFor(CurrentSlot(), record), true, true);
        }
        FetchCurrent();
    });
}

void TDataCursor::SetIndexByName(std::string_view name) {
    CheckOpen();
    const std::string_view wanted = platform::nls::TrimOf(name, " ");
    if (index_ != kNoIndex && platform::nls::SameTextAnsi(wanted, index_name_))
        return;
    const int count = table_->IndexFile().GetIndexCount();
    // The primary index's name is empty, also where the table has none: that name selects
    // record order then.
    for (int slot = 0; slot <= count; ++slot) {
        const std::string slot_name =
            slot == 0 ? std::string() : IndexName(table_->IndexFile().GetIndexDescriptor(slot));
        if (platform::nls::SameTextAnsi(wanted, platform::nls::TrimOf(slot_name, " "))) {
            SetIndex(static_cast<std::uint8_t>(slot));
            return;
        }
    }
    Raise(kErrInvalidIndexName, {}, std::string(wanted));
}

int TDataCursor::GetIndexCount() const {
    return table_ == nullptr ? 0 : table_->IndexFile().GetIndexCount();
}

IndexDescriptor TDataCursor::GetIndexDesc(std::uint32_t number) const {
    if (table_ == nullptr || number >= kNoIndex || number >= kIndexSlotCount)
        return IndexDescriptor{};
    return table_->IndexFile().GetIndexDescriptor(static_cast<int>(number));
}

std::vector<std::uint16_t> TDataCursor::GetIndexFieldNumbers(std::uint32_t number) const {
    if (table_ == nullptr || number >= kIndexSlotCount)
        return {};
    return table_->IndexFile().GetIndexFields(static_cast<int>(number));
}

std::array<std::uint8_t, 5> TDataCursor::HiddenKey(std::uint8_t status, std::uint32_t id) const {
    std::array<std::uint8_t, 5> key{};
    key[0] = status;
    const auto encoded = EncodeIntegerKey(static_cast<std::int32_t>(id));
    std::copy(encoded.begin(), encoded.end(), key.begin() + 1);
    return key;
}

std::vector<std::uint8_t> TDataCursor::BuildKeyFor(int slot, ConstRecordBuffer record) const {
    if (slot == kHiddenIndexSlot) {
        const auto key = HiddenKey(record[0], RecordIdOf(record));
        return {key.begin(), key.end()};
    }
    if (slot < 0) {
        std::vector<std::uint8_t> key(4);
        PutU32(key, 0, record_no_);
        return key;
    }
    const IndexState& state =
        slot == CurrentSlot() && !physical_ ? index_state_ : CachedIndexState(slot);
    std::vector<std::uint8_t> key(state.key_size);
    BuildRecordKey(
        state.fields,
        record.first(std::min<std::size_t>(record.size(), table_->DataFile().GetRecordSize())), key,
        state.case_insensitive, state.descending, language_, sort_, !state.unique);
    return key;
}

std::vector<std::uint8_t> TDataCursor::BuildKey(ConstRecordBuffer record) const {
    return BuildKeyFor(CurrentSlot(), record);
}

bool TDataCursor::KeyExists(std::span<const std::uint8_t> key) {
    if (physical_ || !index_state_.unique)
        return false;
    TIndexTree tree(table_->IndexFile(), CurrentSlot(), CurrentCompare());
    return tree.Find(key.data()).has_value();
}

std::size_t TDataCursor::ComparedLength(int field_count, std::size_t partial_length) const {
    std::size_t length = 0;
    for (int i = 0; i < field_count && i < static_cast<int>(index_state_.fields.size()); ++i)
        length += FieldDataSize(index_state_.fields[static_cast<std::size_t>(i)]) + 1u;
    if (partial_length > 0)
        length += 1 + partial_length;
    return std::min<std::size_t>(length, index_state_.key_size);
}

// Fills the key from `from` on with the lowest (or highest) bytes in the
// index's order, segment by segment, so a prefix becomes the first (or
// last) key that starts with it.
void TDataCursor::FillKeyTail(std::vector<std::uint8_t>& key, std::size_t from, bool high) const {
    std::size_t p = 0;
    for (const FieldDescriptor& f : index_state_.fields) {
        const std::size_t length = FieldDataSize(f) + 1u;
        const bool descending = (f[fd::kDescending] != 0) != index_state_.descending;
        // Language-0 keys are already inverted and compare as bytes; under a
        // language the comparison reverses descending segments itself.
        const bool tree_high = (language_ != 0 && descending) ? !high : high;
        for (std::size_t b = std::max(p, from); b < p + length && b < key.size(); ++b) {
            if (language_ != 0 && FieldType(f) == 1 && b > p)
                key[b] = tree_high ? collation_[255] : 0;
            else
                key[b] = tree_high ? 0xFF : 0x00;
        }
        p += length;
    }
    for (std::size_t b = std::max(p, from); b < key.size(); ++b)
        key[b] = high ? 0xFF : 0x00;
}

std::vector<std::uint8_t> TDataCursor::MakeSearchKey(bool source_is_key, ConstRecordBuffer source,
                                                     int field_count, std::size_t partial_length,
                                                     bool high, bool& partial) const {
    std::vector<std::uint8_t> key;
    if (!MakeSearchKeyInto(key, source_is_key, source, field_count, partial_length, high, partial))
        return {};
    return key;
}

bool TDataCursor::MakeSearchKeyInto(std::vector<std::uint8_t>& key, bool source_is_key,
                                    ConstRecordBuffer source, int field_count,
                                    std::size_t partial_length, bool high, bool& partial) const {
    const int fields = static_cast<int>(index_state_.fields.size());
    partial = (field_count >= 1 && field_count < fields) || !index_state_.unique ||
              (field_count == 0 && partial_length > 0);
    if (source_is_key) {
        key.assign(index_state_.key_size, 0);
        std::copy_n(source.begin(), std::min(source.size(), key.size()), key.begin());
    } else {
        BuildKeyInto(CurrentSlot(), source, key);
    }
    if (!partial)
        return true;
    int counted = field_count;
    if (field_count <= 0 || field_count > fields)
        counted = (partial_length > 0 && field_count == 0) ? 0 : fields;
    if (partial_length > 0) {
        if (counted >= fields)
            return false;
        const FieldDescriptor& next = index_state_.fields[static_cast<std::size_t>(counted)];
        // A value longer than the field cannot match anything stored in it.
        if (FieldType(next) != 1 || partial_length + 1 > FieldDataSize(next))
            return false;
    }
    FillKeyTail(key, ComparedLength(counted, partial_length), high);
    return true;
}

std::uint64_t TDataCursor::KeyCountOf(int slot) {
    TIndexTree tree(table_->IndexFile(), slot, SlotCompare(slot));
    return tree.KeyCount();
}

std::uint64_t TDataCursor::KeysBelow(int slot, std::span<const std::uint8_t> key) {
    TIndexTree tree(table_->IndexFile(), slot, SlotCompare(slot));
    return tree.Ordinal(key.data());
}

std::uint64_t TDataCursor::KeysNotAbove(int slot, std::span<const std::uint8_t> key) {
    TIndexTree tree(table_->IndexFile(), slot, SlotCompare(slot));
    return tree.KeysNotAbove(key.data());
}

bool TDataCursor::WalkEntries(
    int slot, std::uint64_t ordinal, bool forward,
    const std::function<bool(std::uint64_t, std::span<const std::uint8_t>, std::uint32_t)>& visit) {
    TIndexFile& file = table_->IndexFile();
    EntryOrdinal& place = entry_ordinal_;
    TIndexTree::Position start;
    if (place.leaf_slot == slot && place.leaf != 0 && place.leaf_edits == file.EditCount(slot) &&
        ordinal + 1 >= place.leaf_ordinal && ordinal <= place.leaf_ordinal + 1) {
        // Beside the entry the last walk found: its leaf instead of a descent by ordinal. One
        // past the leaf's end in the walk's direction leads the walk on to the next leaf.
        start.page = PinnedPage(file, file.GetPage(slot, place.leaf));
        start.position = place.position + static_cast<std::int64_t>(ordinal) -
                         static_cast<std::int64_t>(place.leaf_ordinal);
        start.ordinal = ordinal;
        const std::int64_t count = start.page->EntryCount();
        const bool on_page = start.position >= 1 && start.position <= count;
        const bool past_end = forward ? start.position == count + 1 : start.position == 0;
        if (start.page->IsInterior() || place.position > count || (!on_page && !past_end) ||
            start.page->KeySize() != place.leaf_key.size() ||
            !std::equal(place.leaf_key.begin(), place.leaf_key.end(),
                        start.page->KeyAt(place.position)))
            start = TIndexTree::Position{};
    }
    if (!start.page) {
        TIndexTree tree(file, slot, KeyCompare());
        start = tree.AtOrdinal(ordinal);
    }
    return TIndexTree::WalkLeaves(
        file, slot, std::move(start), forward,
        [&](std::uint64_t at, const TPage& page, std::int64_t pos) {
            if (!visit(at, std::span(page.KeyAt(pos), page.KeySize()), page.PointerAt(pos)))
                return false;
            place.leaf_slot = slot;
            place.leaf = page.Offset();
            place.position = pos;
            place.leaf_ordinal = at;
            place.leaf_edits = file.EditCount(slot);
            const std::uint8_t* key = page.KeyAt(pos);
            place.leaf_key.assign(key, key + page.KeySize());
            return true;
        });
}

void TDataCursor::ScanRange(int slot, std::span<const std::uint8_t> low,
                            std::span<const std::uint8_t> high, TRecordsBitmap& bitmap) {
    bitmap.ClearAll();
    const KeyCompare compare = SlotCompare(slot);
    if (compare(low.data(), high.data()) > 0)
        return;
    TIndexTree tree(table_->IndexFile(), slot, compare);
    const std::uint64_t end = tree.KeysNotAbove(high.data());
    const std::uint64_t first = tree.Ordinal(low.data());
    if (first >= end)
        return;
    MarkRecordsUpTo(table_->IndexFile(), slot, first, end, bitmap);
}

void TDataCursor::RangeBounds(std::uint64_t& low, std::uint64_t& high) {
    const int slot = CurrentSlot();
    CountedBounds& bounds = counted_bounds_;
    const std::uint64_t edits = table_->IndexFile().EditCount(slot);
    if (bounds.slot != slot || bounds.index_edits != edits ||
        bounds.range_active != range_active_ ||
        (range_active_ && (bounds.start != range_start_ || bounds.end != range_end_))) {
        bounds.slot = -1;
        bounds.low = range_active_ ? KeysBelow(slot, range_start_) : 0;
        bounds.high = range_active_ ? KeysNotAbove(slot, range_end_) : KeyCountOf(slot);
        if (bounds.high < bounds.low)
            bounds.high = bounds.low;
        bounds.range_active = range_active_;
        bounds.start.assign(range_start_.begin(), range_start_.end());
        bounds.end.assign(range_end_.begin(), range_end_.end());
        bounds.index_edits = edits;
        bounds.slot = slot;
    }
    low = bounds.low;
    high = bounds.high;
}

bool TDataCursor::Visible(std::uint32_t record) const {
    return !bitmaps_in_use_ || view_.IsSet(record);
}

void TDataCursor::SetNoRecord() {
    ForgetVanishedPlace();
    bof_ = eof_ = true;
    record_no_ = 0;
    current_key_.clear();
}

void TDataCursor::PositionOnEntry(std::span<const std::uint8_t> key, std::uint32_t record) {
    ForgetVanishedPlace();
    current_key_.assign(key.begin(), key.end());
    record_no_ = record;
    bof_ = eof_ = false;
}

bool TDataCursor::StepPhysical(bool forward) {
    std::int64_t r = 0;
    std::int64_t position = 0;
    if (forward) {
        if (eof_ && !bof_)
            return false;
        r = bof_ ? 0 : record_no_;
        if (view_.FindNext(r, 1, position)) {
            record_no_ = static_cast<std::uint32_t>(r);
            current_key_.assign(4, 0);
            PutU32(current_key_, 0, record_no_);
            bof_ = eof_ = false;
            return true;
        }
        bof_ = false;
        eof_ = true;
        return false;
    }
    if (bof_ && !eof_)
        return false;
    r = eof_ ? view_.RecordCount() + 1 : record_no_;
    if (view_.FindPrior(r, 1, position)) {
        record_no_ = static_cast<std::uint32_t>(r);
        current_key_.assign(4, 0);
        PutU32(current_key_, 0, record_no_);
        bof_ = eof_ = false;
        return true;
    }
    bof_ = true;
    eof_ = false;
    return false;
}

bool TDataCursor::StepIndex(bool forward) {
    const int slot = CurrentSlot();
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    RangeBounds(low, high);
    std::uint64_t start = 0;
    if (forward) {
        if (eof_ && !bof_)
            return false;
        if (bof_) {
            start = low;
        } else if (KnownOrdinal(start)) {
            start = std::max(start + 1, low);
        } else {
            TIndexTree tree(table_->IndexFile(), slot, CurrentCompare());
            start = tree.Ordinal(current_key_.data());
            if (tree.Find(current_key_.data()))
                ++start;
            start = std::max(start, low);
        }
        std::vector<std::uint8_t> key;
        std::uint32_t record = 0;
        std::uint64_t ordinal = 0;
        const bool found =
            start < high &&
            WalkEntries(slot, start, true, [&](std::uint64_t at, auto k, std::uint32_t r) {
                if (at >= high)
                    return true;
                if (!Visible(r))
                    return false;
                key.assign(k.begin(), k.end());
                record = r;
                ordinal = at;
                return true;
            });
        if (!found || key.empty()) {
            bof_ = false;
            eof_ = true;
            return false;
        }
        if (!bof_)
            CheckStepLeftKey(key, true);
        PositionOnEntry(key, record);
        NoteOrdinal(ordinal);
        return true;
    }
    if (bof_ && !eof_)
        return false;
    if (eof_) {
        if (high == 0) {
            bof_ = true;
            eof_ = false;
            return false;
        }
        start = high - 1;
    } else {
        std::uint64_t below = 0;
        if (!KnownOrdinal(below))
            below = KeysBelow(slot, current_key_);
        if (below == 0 || below - 1 < low) {
            bof_ = true;
            eof_ = false;
            return false;
        }
        start = std::min(below - 1, high == 0 ? 0 : high - 1);
    }
    std::vector<std::uint8_t> key;
    std::uint32_t record = 0;
    std::uint64_t ordinal = 0;
    const bool found =
        high > low && start >= low &&
        WalkEntries(slot, start, false, [&](std::uint64_t at, auto k, std::uint32_t r) {
            if (at < low)
                return true;
            if (!Visible(r))
                return false;
            key.assign(k.begin(), k.end());
            record = r;
            ordinal = at;
            return true;
        });
    if (!found || key.empty()) {
        bof_ = true;
        eof_ = false;
        return false;
    }
    if (!eof_)
        CheckStepLeftKey(key, false);
    PositionOnEntry(key, record);
    NoteOrdinal(ordinal);
    return true;
}

void TDataCursor::NoteOrdinal(std::uint64_t ordinal) {
    entry_ordinal_.slot = CurrentSlot();
    entry_ordinal_.index_edits = table_->IndexFile().EditCount(entry_ordinal_.slot);
    entry_ordinal_.ordinal = ordinal;
    entry_ordinal_.key.assign(current_key_.begin(), current_key_.end());
}

bool TDataCursor::KnownOrdinal(std::uint64_t& ordinal) const {
    if (physical_ || bof_ || eof_ || entry_ordinal_.slot != CurrentSlot() ||
        entry_ordinal_.index_edits != table_->IndexFile().EditCount(entry_ordinal_.slot) ||
        entry_ordinal_.key != current_key_)
        return false;
    ordinal = entry_ordinal_.ordinal;
    return true;
}

void TDataCursor::CheckStepLeftKey(std::span<const std::uint8_t> key, bool forward) {
    // A step finds its place by searching for the key it stands on. In a page whose keys are out
    // of order the search leads back to that key, or before it, and a read would never end.
    if (key.size() != current_key_.size())
        return;
    const int order = CurrentCompare()(key.data(), current_key_.data());
    if (forward ? order <= 0 : order >= 0)
        Raise(kErrIndexPageCorrupt, {}, index_name_);
}

bool TDataCursor::OnVanishedRowsNeighbour() const {
    return vanished_.set && bof_ == vanished_.landed_bof && eof_ == vanished_.landed_eof &&
           record_no_ == vanished_.landed_record_no && current_key_ == vanished_.landed_key;
}

void TDataCursor::TakeVanishedPlace() {
    const bool counts = OnVanishedRowsNeighbour();
    vanished_.set = false;
    if (!counts)
        return;
    bof_ = vanished_.bof;
    eof_ = vanished_.eof;
    record_no_ = vanished_.record_no;
    current_key_.swap(vanished_.key);
}

bool TDataCursor::StepOnce(bool forward) {
    if (vanished_.set)
        TakeVanishedPlace();
    return physical_ ? StepPhysical(forward) : StepIndex(forward);
}

void TDataCursor::FetchCurrent() {
    TDataFile& data = table_->DataFile();
    if (bof_ || eof_ || record_no_ == 0 || record_no_ > data.GetRecordSlots()) {
        std::fill(current_.begin(), current_.end(), 0);
        return;
    }
    // Straight from the cache or the read window, without a copy of its own per fetch. The
    // copy fills the record's bytes; only a buffer longer than the record is cleared first.
    if (current_.size() != data.GetRecordSize())
        std::fill(current_.begin(), current_.end(), 0);
    data.CopyRecord(record_no_, current_);
    EvaluateComputedFields(current_);
}

bool TDataCursor::ReadScanBlocks(const std::function<bool(ScannedBlock&)>& visit) {
    CheckOpen();
    TDataFile& data = table_->DataFile();
    const std::size_t size = data.GetRecordSize();
    // BLOB values are read through the cursor's position, which a scan does not keep.
    if (!physical_ || table_->InUpdateBatch() || data.GetBlobFieldCount() > 0 ||
        size < kRecordHeaderSize) {
        return false;
    }
    const std::uint32_t per_read =
        std::max<std::uint32_t>(1, static_cast<std::uint32_t>(kScanBlockBytes / size));
    const std::uint32_t gap_limit =
        std::max<std::uint32_t>(1, static_cast<std::uint32_t>(kScanGapBytes / size));
    // Taken once for the scan, from the buffers earlier scans gave up, whose pages are in
    // place already.
    KeptWorkBuffer block(std::size_t{per_read} * size);
    MappedRecords mapped(data);
    const bool encrypted = data.GetEncrypted();
    std::vector<std::uint32_t> numbers;
    std::int64_t r = 0;
    for (;;) {
        std::uint32_t first = 0;
        // Each block is one cursor operation: changes by others are noticed between blocks
        // as between the records of a GetNextRecord loop. With the changed records written
        // first, the file holds what the record cache would give.
        const ScanStep step = CursorOperation::Run(*this, [&]() -> ScanStep {
            if (table_->InUpdateBatch())
                return ScanStep::kGiveUp;
            data.FlushRecords();
            const std::uint32_t slots = data.GetRecordSlots();
            std::int64_t from = r;
            std::int64_t position = 0;
            numbers.clear();
            if (!view_.FindNext(from, 1, position) || from > std::int64_t{slots})
                return ScanStep::kEnd;
            first = static_cast<std::uint32_t>(from);
            const std::uint32_t count = std::min(per_read, slots - first + 1);
            // A block read from the file ends early where more than the gap limit of records
            // lies between two it visits: reading apart costs less than copying the gap. One
            // copied from the mapping copies no gap, and spans the whole block, so that a
            // filter's scattered runs take few operations (each may take the read lock).
            view_.CollectSet(first, std::int64_t{first} + count, numbers,
                             mapped.MayMap() ? std::int64_t{count} : std::int64_t{gap_limit});
            const std::uint32_t end = numbers.back() + 1;
            // The block is read past the caches, a miss for each record in it.
            if (RecheckTableChanged())
                throw TableChangedUnder();
            const TFileHandler::FileObjectLock lock(data);
            // The visit works on a copy taken inside the operation, as a read gives it, so
            // that another program's flush does not change records under it; from the mapping
            // only the runs of records it visits are copied, not the gaps between.
            if (const std::uint8_t* images = mapped.Find(first, end - 1)) {
                for (std::size_t i = 0; i < numbers.size();) {
                    std::size_t j = i + 1;
                    while (j < numbers.size() && numbers[j] == numbers[j - 1] + 1)
                        ++j;
                    const std::size_t at = std::size_t{numbers[i] - first} * size;
                    std::memcpy(block.data() + at, images + at, (j - i) * size);
                    i = j;
                }
            } else {
                data.SeekFile(data.RecordOffset(first), SeekOrigin::kBegin);
                data.Read(block.data(), std::size_t{end - first} * size);
            }
            r = numbers.back();
            return ScanStep::kGoOn;
        });
        if (step == ScanStep::kGiveUp)
            return false;
        if (step == ScanStep::kEnd)
            break;
        std::size_t kept = 0;
        for (const std::uint32_t number : numbers) {
            const std::span<std::uint8_t> image(block.data() + std::size_t{number - first} * size,
                                                size);
            if (encrypted)
                UnscrambleBuffer(image, kTableDataKeyLow, kTableDataKeyHigh);
            if (image[0] != 0)
                continue;
            // The active number a cached copy carries.
            PutU32(image, 1, number);
            numbers[kept++] = number;
        }
        if (kept == 0)
            continue;
        ScannedBlock scanned{block.data(), first, size, std::span(numbers).first(kept)};
        if (!visit(scanned))
            return true;
    }
    bof_ = false;
    eof_ = true;
    return true;
}

bool TDataCursor::ScanRecords(const std::function<bool(ConstRecordBuffer)>& visit) {
    CheckOpen();
    std::vector<std::uint8_t> current;
    const bool extended = has_computed_ || current_.size() > table_->DataFile().GetRecordSize();
    return ReadScanBlocks([&](const ScannedBlock& block) {
        for (const std::uint32_t number : block.numbers) {
            // A record that needs nothing added is given from the block itself.
            ConstRecordBuffer given = block.Record(number);
            if (extended) {
                current.resize(std::max(current_.size(), block.size));
                std::copy(given.begin(), given.end(), current.begin());
                std::fill(current.begin() + static_cast<std::ptrdiff_t>(block.size), current.end(),
                          0);
                EvaluateComputedFields(current);
                given = current;
            }
            PlaceOnScanned(number);
            if (!visit(given))
                return false;
        }
        return true;
    });
}

bool TDataCursor::ScanRecordBlocks(const std::function<bool(const ScannedBlock&)>& visit) {
    CheckOpen();
    if (has_computed_ || current_.size() > table_->DataFile().GetRecordSize())
        return false;
    return ReadScanBlocks([&](const ScannedBlock& block) {
        PlaceOnScanned(block.numbers.back());
        return visit(block);
    });
}

void TDataCursor::PlaceOnScanned(std::uint32_t number) {
    ForgetVanishedPlace();
    record_no_ = number;
    if (current_key_.size() != 4)
        current_key_.assign(4, 0);
    PutU32(current_key_, 0, record_no_);
    bof_ = eof_ = false;
}

bool TDataCursor::ScanDistinct(std::uint32_t field,
                               const std::function<bool(ConstRecordBuffer)>& visit) {
    CheckOpen();
    ForgetVanishedPlace();
    TDataFile& data = table_->DataFile();
    if (!physical_ || range_active_ || !filters_.empty() || language_ != 0 || has_computed_ ||
        computed_fields_ || table_->InUpdateBatch() || data.GetBlobFieldCount() > 0 || field == 0 ||
        field > fields_.size() || FieldNotStored(fields_[field - 1])) {
        return false;
    }
    // Types whose equal keys are equal bytes: texts (where a case-insensitive index keeps them
    // upper-cased, and is not taken) and whole numbers; not floats, BCD or booleans, whose
    // keys stand for values written in more than one way.
    const std::uint8_t type = FieldType(fields_[field - 1]);
    if (type != kTypeString && type != kTypeSmallInt && type != kTypeInteger && type != kTypeWord &&
        type != kTypeDate && type != kTypeTime) {
        return false;
    }
    const bool text = type == kTypeString;
    const int slot = IndexForColumn(static_cast<std::uint16_t>(field), text ? 2 : 0);
    if (slot < 0 || slot == kHiddenIndexSlot || !CachedIndexState(slot).comparer.PlainBytes())
        return false;
    const std::size_t segment = FieldDataSize(fields_[field - 1]) + 1u;
    std::vector<std::uint8_t> group;
    std::vector<std::uint8_t> record(std::max<std::size_t>(current_.size(), data.GetRecordSize()));
    std::uint64_t ordinal = 0;
    for (;;) {
        bool found = false;
        // Each value is one cursor operation, as each block of a scan is.
        const ScanStep step = CursorOperation::Run(*this, [&]() -> ScanStep {
            found = false;
            if (table_->InUpdateBatch() || !filters_.empty())
                return ScanStep::kGiveUp;
            if (ordinal >= KeyCountOf(slot))
                return ScanStep::kEnd;
            group.clear();
            std::uint64_t next = ordinal + 1;
            WalkEntries(
                slot, ordinal, true,
                [&](std::uint64_t at, std::span<const std::uint8_t> key, std::uint32_t number) {
                    if (key.size() < segment)
                        RaiseEngineError(kErrInvalidKeySize, data.Name());
                    if (group.empty())
                        group.assign(key.begin(), key.end());
                    else if (!std::ranges::equal(key.first(segment),
                                                 std::span(group).first(segment)))
                        return true;
                    next = at + 1;
                    // The records a scan would give: visible, stored and not deleted.
                    if (!Visible(number) || number == 0 || number > data.GetRecordSlots())
                        return false;
                    data.CopyRecord(number, record);
                    if (record[0] != 0)
                        return false;
                    PutU32(record, 1, number);
                    record_no_ = number;
                    found = true;
                    return true;
                });
            if (group.empty())
                return ScanStep::kEnd;
            if (found) {
                // Past every key of this value: the value's bytes, then the highest of all.
                std::fill(group.begin() + static_cast<std::ptrdiff_t>(segment), group.end(),
                          std::uint8_t{0xFF});
                next = std::max(next, KeysNotAbove(slot, group));
            }
            ordinal = next;
            return ScanStep::kGoOn;
        });
        if (step == ScanStep::kGiveUp)
            return false;
        if (step == ScanStep::kEnd)
            break;
        if (found) {
            current_key_.assign(4, 0);
            PutU32(current_key_, 0, record_no_);
            bof_ = eof_ = false;
            if (!visit(record))
                return true;
        }
    }
    bof_ = false;
    eof_ = true;
    return true;
}

bool TDataCursor::VisibleRecordNumbers(std::vector<std::uint32_t>& numbers) {
    CheckOpen();
    numbers.clear();
    if (!physical_)
        return false;
    // One cursor operation: changes by others are noticed first, as by a walk's first step.
    return CursorOperation::Run(*this, [&]() -> bool {
        const std::uint32_t slots = table_->DataFile().GetRecordSlots();
        std::int64_t r = 0;
        std::int64_t position = 0;
        while (view_.FindNext(r, 1, position) && r <= std::int64_t{slots})
            numbers.push_back(static_cast<std::uint32_t>(r));
        bof_ = false;
        eof_ = true;
        return true;
    });
}

void TDataCursor::First() {
    CheckOpen();
    CursorOperation::Run(*this, [&] {
        bof_ = true;
        eof_ = false;
        if (!StepOnce(true)) {
            SetNoRecord();
            return;
        }
        bof_ = true;
        eof_ = false;
    });
}

void TDataCursor::Last() {
    CheckOpen();
    CursorOperation::Run(*this, [&] {
        bof_ = false;
        eof_ = true;
        if (!StepOnce(false)) {
            SetNoRecord();
            return;
        }
        bof_ = false;
        eof_ = true;
    });
}

void TDataCursor::Move(std::int64_t n) {
    CheckOpen();
    CursorOperation::Run(*this, [&] {
        const bool forward = n > 0;
        for (std::int64_t i = 0; i < (n < 0 ? -n : n); ++i) {
            if (!StepOnce(forward))
                break;
        }
        FetchCurrent();
    });
}

void TDataCursor::GotoSequenceNumber(std::int64_t n) {
    CheckOpen();
    CursorOperation::Run(*this, [&] {
        if (n < 1) {
            First();
            return;
        }
        if (physical_) {
            std::int64_t r = 0;
            std::int64_t position = 0;
            if (view_.FindNext(r, n, position)) {
                ForgetVanishedPlace();
                record_no_ = static_cast<std::uint32_t>(r);
                current_key_.assign(4, 0);
                PutU32(current_key_, 0, record_no_);
                bof_ = eof_ = false;
            } else {
                Last();
            }
            return;
        }
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        RangeBounds(low, high);
        std::int64_t seen = 0;
        std::vector<std::uint8_t> key;
        std::uint32_t record = 0;
        std::uint64_t ordinal = 0;
        const std::uint64_t start = bitmaps_in_use_ ? low : low + static_cast<std::uint64_t>(n - 1);
        const bool found =
            start < high &&
            WalkEntries(CurrentSlot(), start, true, [&](std::uint64_t at, auto k, std::uint32_t r) {
                if (at >= high)
                    return true;
                if (!Visible(r) || ++seen < (bitmaps_in_use_ ? n : 1))
                    return false;
                key.assign(k.begin(), k.end());
                record = r;
                ordinal = at;
                return true;
            });
        if (!found || key.empty()) {
            Last();
            return;
        }
        PositionOnEntry(key, record);
        NoteOrdinal(ordinal);
    });
}

void TDataCursor::GotoRecord(std::int64_t n) {
    CheckOpen();
    CursorOperation::Run(*this, [&] {
        GotoSequenceNumber(n);
        FetchCurrent();
    });
}

std::int64_t TDataCursor::GetRecordCount() {
    CheckOpen();
    return CursorOperation::Run(*this, [&]() -> std::int64_t {
        if (bitmaps_in_use_)
            return view_count_;
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        RangeBounds(low, high);
        return static_cast<std::int64_t>(high - low);
    });
}

std::int64_t TDataCursor::GetRecordNumber() {
    CheckOpen();
    return CursorOperation::Run(*this, [&]() -> std::int64_t {
        if (bof_ || eof_)
            return 0;
        if (physical_)
            return view_.CountSetBefore(record_no_) + 1;
        std::uint64_t low = 0;
        std::uint64_t high = 0;
        RangeBounds(low, high);
        std::uint64_t at = 0;
        if (!KnownOrdinal(at))
            at = KeysBelow(CurrentSlot(), current_key_);
        if (!bitmaps_in_use_)
            return static_cast<std::int64_t>(at - std::min(at, low)) + 1;
        const int slot = CurrentSlot();
        const std::uint64_t edits = table_->IndexFile().EditCount(slot);
        std::uint64_t from = low;
        std::int64_t seen = 0;
        if (counted_ && counted_->slot == slot && counted_->index_edits == edits &&
            counted_->view_edits == view_edits_ && counted_->low == low &&
            counted_->ordinal <= at) {
            from = counted_->ordinal + 1;
            seen = counted_->visible;
        }
        if (from <= at) {
            WalkEntries(slot, from, true, [&](std::uint64_t ordinal, auto, std::uint32_t r) {
                if (ordinal > at)
                    return true;
                if (Visible(r))
                    ++seen;
                return false;
            });
        }
        counted_ =
            CountedEntries{slot, table_->IndexFile().EditCount(slot), view_edits_, low, at, seen};
        return seen;
    });
}

std::int64_t TDataCursor::GetTableRecordCount() {
    CheckOpen();
    return CursorOperation::Run(
        *this, [&]() -> std::int64_t { return table_->IndexFile().GetRecordCount(); });
}

std::uint32_t TDataCursor::GetCurrentRecordNo() const {
    return (bof_ || eof_) ? 0 : record_no_;
}

bool TDataCursor::GotoKey(std::span<const std::uint8_t> key, bool nearest, bool adjust) {
    (void)nearest;
    if (physical_)
        return false;
    const int slot = CurrentSlot();
    const KeyCompare compare = CurrentCompare();
    // A whole key is searched as it is, unless it is the one the cursor's moves overwrite.
    std::vector<std::uint8_t> padded;
    std::span<const std::uint8_t> wanted = key;
    if (key.size() != key_size_ || key.data() == current_key_.data()) {
        padded.assign(key.begin(), key.end());
        padded.resize(key_size_, 0);
        wanted = padded;
    }
    TIndexFile& file = table_->IndexFile();
    TIndexTree tree(file, slot, compare);
    // Without a range every entry qualifies, so no ordinals are counted.
    std::uint64_t low = 0;
    std::uint64_t high = std::numeric_limits<std::uint64_t>::max();
    if (range_active_) {
        RangeBounds(low, high);
    } else if (file.GetRoot(slot) == 0) {
        high = 0;
    }
    if (low >= high) {
        SetNoRecord();
        return false;
    }
    // One descent by key finds the start and its ordinal; a key before the
    // range starts at the range instead.
    TIndexTree::Position start;
    if (!range_active_) {
        // Most lookups read the entry they find and nothing else.
        TIndexTree::Entry entry;
        if (tree.LookUp(wanted.data(), entry, start)) {
            if (Visible(entry.record)) {
                PositionOnEntry(entry.key, entry.record);
                return compare(current_key_.data(), wanted.data()) == 0;
            }
            start = tree.LowerBound(wanted.data(), false);
        }
    } else if (compare(wanted.data(), range_start_.data()) >= 0) {
        start = tree.LowerBound(wanted.data(), true);
    }
    if (!start.page || start.ordinal < low)
        start = tree.AtOrdinal(low);
    bool positioned = false;
    if (start.page && start.ordinal < high) {
        TIndexTree::WalkLeaves(file, slot, std::move(start), true,
                               [&](std::uint64_t at, const TPage& page, std::int64_t pos) {
                                   if (at >= high)
                                       return true;
                                   const std::uint32_t record = page.PointerAt(pos);
                                   if (!Visible(record))
                                       return false;
                                   PositionOnEntry(std::span(page.KeyAt(pos), page.KeySize()),
                                                   record);
                                   positioned = true;
                                   return true;
                               });
    }
    if (!positioned) {
        bof_ = false;
        eof_ = true;
        // With adjust the position turns into the last record instead.
        if (adjust)
            StepIndex(false);
        return false;
    }
    return compare(current_key_.data(), wanted.data()) == 0;
}

bool TDataCursor::FindKey(bool source_is_key, ConstRecordBuffer source, RecordBuffer out_record,
                          std::size_t partial_length, bool nearest, int field_count) {
    CheckOpen();
    return CursorOperation::Run(*this, [&]() -> bool {
        if (physical_)
            return false;
        bool partial = false;
        // The cursor's own buffer: a search per imported entry allocates no key.
        std::vector<std::uint8_t>& key = search_key_;
        if (!MakeSearchKeyInto(key, source_is_key, source, field_count, partial_length, false,
                               partial) ||
            key.empty())
            return false;
        bool found = false;
        if (partial) {
            int counted = field_count;
            const int fields = static_cast<int>(index_state_.fields.size());
            if (field_count <= 0 || field_count > fields)
                counted = (partial_length > 0 && field_count == 0) ? 0 : fields;
            const std::size_t length = ComparedLength(counted, partial_length);
            GotoKey(key, true, false);
            found = !bof_ && !eof_ &&
                    std::equal(key.begin(), key.begin() + static_cast<std::ptrdiff_t>(length),
                               current_key_.begin());
        } else {
            found = GotoKey(key, nearest, false);
        }
        FetchCurrent();
        if (!out_record.empty() && !bof_ && !eof_)
            std::copy_n(current_.begin(), std::min(current_.size(), out_record.size()),
                        out_record.begin());
        return found;
    });
}

void TDataCursor::SetRangeKeys(bool source_is_key, ConstRecordBuffer start, int start_field_count,
                               ConstRecordBuffer end, int end_field_count) {
    CheckOpen();
    CursorOperation::Run(*this, [&] {
        if (physical_)
            return;
        bool partial = false;
        std::vector<std::uint8_t> low;
        if (start.empty()) {
            low.assign(key_size_, 0);
            FillKeyTail(low, 0, false);
        } else {
            low = MakeSearchKey(source_is_key, start, start_field_count, 0, false, partial);
        }
        std::vector<std::uint8_t> high;
        if (end.empty()) {
            // Without an end the range runs to the last key (not to a key of
            // zeros, which would leave it empty).
            high.assign(key_size_, 0);
            FillKeyTail(high, 0, true);
        } else {
            high = MakeSearchKey(source_is_key, end, end_field_count, 0, true, partial);
        }
        range_start_ = std::move(low);
        range_end_ = std::move(high);
        range_active_ = true;
        Resync();
        Reposition();
    });
}

void TDataCursor::CancelRange() {
    CheckOpen();
    CursorOperation::Run(*this, [&] {
        range_active_ = false;
        range_start_.clear();
        range_end_.clear();
        Resync();
        Reposition();
    });
}

void TDataCursor::Resync() {
    if (!open_)
        return;
    RefreshFilters();
}

void TDataCursor::Reposition() {
    ForgetVanishedPlace();
    if (bof_ || eof_) {
        First();
        return;
    }
    if (physical_) {
        if (!Visible(record_no_)) {
            std::int64_t r = record_no_;
            std::int64_t position = 0;
            if (view_.FindNext(r, 1, position) ||
                (r = record_no_, view_.FindPrior(r, 1, position))) {
                record_no_ = static_cast<std::uint32_t>(r);
                PutU32(current_key_, 0, record_no_);
            } else {
                SetNoRecord();
            }
        }
    } else {
        const std::vector<std::uint8_t> key = current_key_;
        GotoKey(key, true, true);
    }
    FetchCurrent();
}

std::vector<std::uint8_t> TDataCursor::GetBookmark() const {
    std::vector<std::uint8_t> bookmark(GetKeySize(), 0);
    GetBookmarkInto(bookmark);
    return bookmark;
}

void TDataCursor::GetBookmarkInto(std::span<std::uint8_t> out) const {
    std::fill(out.begin(), out.end(), 0);
    if (bof_ || eof_)
        return;
    const std::size_t size = std::min<std::size_t>(GetKeySize(), out.size());
    if (physical_) {
        std::array<std::uint8_t, 4> number{};
        PutU32(number, 0, record_no_);
        std::copy_n(number.begin(), std::min(size, number.size()), out.begin());
    } else {
        std::copy_n(current_key_.begin(), std::min(current_key_.size(), size), out.begin());
    }
}

bool TDataCursor::GotoBookmark(std::span<const std::uint8_t> bookmark, bool adjust,
                               bool skip_sync) {
    CheckOpen();
    const auto go = [&]() -> bool {
        ForgetVanishedPlace();
        if (physical_) {
            if (bookmark.size() < 4) {
                SetNoRecord();
                return false;
            }
            const std::uint32_t wanted = GetU32(bookmark, 0);
            if (wanted >= 1 && Visible(wanted) && wanted <= table_->DataFile().GetRecordSlots() &&
                (!bitmaps_in_use_ || view_.IsSet(wanted))) {
                record_no_ = wanted;
                current_key_.assign(bookmark.begin(), bookmark.begin() + 4);
                bof_ = eof_ = false;
            } else {
                std::int64_t r = wanted;
                std::int64_t position = 0;
                if (view_.FindNext(r, 1, position)) {
                    record_no_ = static_cast<std::uint32_t>(r);
                    current_key_.assign(4, 0);
                    PutU32(current_key_, 0, record_no_);
                    bof_ = eof_ = false;
                } else {
                    bof_ = false;
                    eof_ = true;
                    if (adjust)
                        StepPhysical(false);
                }
            }
        } else {
            GotoKey(bookmark, true, adjust);
        }
        FetchCurrent();
        if (adjust)
            return true;
        // Whether GetBookmark() would now give `bookmark`, without building it.
        const std::size_t size = GetKeySize();
        if (bookmark.size() != size)
            return false;
        std::size_t held = 0;
        if (!bof_ && !eof_) {
            if (physical_) {
                held = std::min<std::size_t>(4, size);
                std::array<std::uint8_t, 4> number{};
                PutU32(number, 0, record_no_);
                if (!std::equal(number.begin(), number.begin() + static_cast<std::ptrdiff_t>(held),
                                bookmark.begin()))
                    return false;
            } else {
                held = std::min(current_key_.size(), size);
                if (!std::equal(current_key_.begin(),
                                current_key_.begin() + static_cast<std::ptrdiff_t>(held),
                                bookmark.begin()))
                    return false;
            }
        }
        return std::all_of(bookmark.begin() + static_cast<std::ptrdiff_t>(held), bookmark.end(),
                           [](std::uint8_t b) { return b == 0; });
    };
    return skip_sync ? go() : CursorOperation::Run(*this, go);
}

int TDataCursor::CompareBookmarks(std::span<const std::uint8_t> a,
                                  std::span<const std::uint8_t> b) const {
    if (physical_) {
        const std::uint32_t x = a.size() >= 4 ? GetU32(a, 0) : 0;
        const std::uint32_t y = b.size() >= 4 ? GetU32(b, 0) : 0;
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    if (a.size() < key_size_ || b.size() < key_size_)
        return a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
    return index_state_.comparer.Compare(a.data(), b.data(), true);
}

int TDataCursor::GotoCursorPosition(TDataCursor& other) {
    CheckOpen();
    return CursorOperation::Run(*this, [&]() -> int {
        if (other.bof_ || other.eof_) {
            First();
            return kErrRecordNotFound;
        }
        bool found = false;
        if (physical_) {
            std::array<std::uint8_t, 4> bookmark{};
            PutU32(bookmark, 0, other.record_no_);
            found = GotoBookmark(bookmark, false, true);
        } else {
            std::vector<std::uint8_t> record;
            if (!other.ReadStoredRecord(other.record_no_, record))
                return kErrRecordNotFound;
            found = GotoKey(BuildKeyFor(CurrentSlot(), record), false, false);
            FetchCurrent();
        }
        return found ? 0 : kErrRecordNotFound;
    });
}

// The table's kept live records follow every key change made here: a hidden key's status
// byte says whether its record is live, and a change of another index leaves them as they
// are, though it may move the hidden index's edit count (a new root counts for every index).
void TDataCursor::InsertKey(int slot, std::span<const std::uint8_t> key, std::uint32_t record) {
    TIndexFile& file = table_->IndexFile();
    const bool follow = table_->LiveRecordsStand(file.EditCount(kHiddenIndexSlot));
    TIndexTree tree(file, slot, SlotCompare(slot));
    if (!tree.Insert(key.data(), record)) {
        Raise(kErrDuplicateKey, {}, IndexName(file.GetIndexDescriptor(slot)));
    }
    if (!follow)
        return;
    if (slot == kHiddenIndexSlot)
        table_->NoteLiveRecord(file.EditCount(kHiddenIndexSlot), record, key[0] == 0);
    else
        table_->NoteLiveRecordsUnchanged(file.EditCount(kHiddenIndexSlot));
}

void TDataCursor::DeleteKey(int slot, std::span<const std::uint8_t> key, std::uint32_t record) {
    TIndexFile& file = table_->IndexFile();
    const bool follow = table_->LiveRecordsStand(file.EditCount(kHiddenIndexSlot));
    TIndexTree tree(file, slot, SlotCompare(slot));
    if (!tree.Delete(key.data()))
        Raise(kErrIndexPageCorrupt);
    if (!follow)
        return;
    // A freed record's key leaves the live records as they were.
    if (slot == kHiddenIndexSlot && key[0] == 0)
        table_->NoteLiveRecord(file.EditCount(kHiddenIndexSlot), record, false);
    else
        table_->NoteLiveRecordsUnchanged(file.EditCount(kHiddenIndexSlot));
}

void TDataCursor::AddIndex(IndexDescriptor descriptor) {
    CheckOpen();
    CheckExclusive();
    CheckWritable();
    const std::string name(platform::nls::TrimOf(IndexName(descriptor), " "));
    std::uint32_t key_size = 0;
    std::size_t count = 0;
    for (; count < ixd::kMaxFields; ++count) {
        const std::uint16_t number = IndexFieldNumber(descriptor, count);
        if (number == 0)
            break;
        const auto field = table_->DataFile().FindFieldDescriptor(number);
        if (!field)
            Raise(kErrInvalidIndexField, std::to_string(number), name);
        if (FieldType(*field) == kTypeBlob)
            Raise(kErrInvalidIndexFieldType, {}, name);
        key_size += FieldDataSize(*field) + 1u;
    }
    if (key_size == 0 || key_size > kMaxKeyFieldBytes)
        Raise(kErrInvalidKeySize, {}, name);
    if (!IndexUnique(descriptor))
        key_size += 4;
    descriptor[ixd::kFieldCount] = static_cast<std::uint8_t>(count);
    PutU16(descriptor, ixd::kKeySize, key_size);
    TIndexFile& file = table_->IndexFile();
    int slot = 0;
    if (name.empty()) {
        file.SetPrimaryIndex(descriptor);
    } else {
        PutShortString(descriptor, ixd::kName, ixd::kNameLength, name);
        file.AddIndex(descriptor);
        slot = file.GetIndexCount();
    }
    const std::uint8_t previous = index_;
    try {
        SelectIndex(static_cast<std::uint8_t>(slot));
        const std::uint32_t slots = table_->DataFile().GetRecordSlots();
        std::vector<std::uint8_t> record;
        for (std::uint32_t n = 1; n <= slots; ++n) {
            if (ReadStoredRecord(n, record) && record[0] == 0)
                InsertKey(slot, BuildKeyFor(slot, record), n);
            if (on_index_progress_)
                on_index_progress_(n, static_cast<int>(std::uint64_t{n} * 100 / slots));
        }
    } catch (...) {
        // A key violation leaves no half-built index behind.
        try {
            TIndexTree(file, slot, SlotCompare(slot)).Clear();
            if (slot == 0)
                file.SetPrimaryIndex(IndexDescriptor{});
            else
                file.DeleteIndex(slot);
        } catch (...) {
        }
        SelectIndex(previous);
        throw;
    }
    SelectIndex(previous == 0 && slot == 0 ? 0 : previous);
    table_->FlushBuffers(false, true, true);
    SaveTableCounters();
    Resync();
    First();
}

void TDataCursor::EmptyIndex(std::uint8_t number, bool remove) {
    CheckOpen();
    CheckExclusive();
    CheckWritable();
    TIndexFile& file = table_->IndexFile();
    TIndexTree(file, number, SlotCompare(number)).Clear();
    if (number == 0)
        file.SetPrimaryIndex(IndexDescriptor{});
    else if (remove)
        file.DeleteIndex(number);
    SelectIndex(0);
}

void TDataCursor::DeleteIndex(std::string_view name, bool remove) {
    CheckOpen();
    CheckExclusive();
    CheckWritable();
    const std::string_view wanted = platform::nls::TrimOf(name, " ");
    TIndexFile& file = table_->IndexFile();
    for (int slot = 0; slot <= file.GetIndexCount(); ++slot) {
        if (slot == 0 && HasNoPrimaryIndex())
            continue;
        if (platform::nls::SameTextAnsi(
                wanted, platform::nls::TrimOf(IndexName(file.GetIndexDescriptor(slot)), " "))) {
            EmptyIndex(static_cast<std::uint8_t>(slot), remove);
            table_->FlushBuffers(false, true, true);
            SaveTableCounters();
            Resync();
            First();
            return;
        }
    }
    Raise(kErrInvalidIndexName, {}, std::string(wanted));
}

void TDataCursor::RebuildRecordIndex() {
    table_->WriteLock();
    try {
        TIndexFile& file = table_->IndexFile();
        file.SetPrimaryIndex(IndexDescriptor{});
        TIndexTree tree(file, kHiddenIndexSlot, KeyCompare::Bytes(5));
        tree.Clear();
        file.SetRecordCount(0);
        const std::uint32_t slots = table_->DataFile().GetRecordSlots();
        std::vector<std::uint8_t> record;
        for (std::uint32_t n = 1; n <= slots; ++n) {
            if (!ReadStoredRecord(n, record))
                continue;
            if (record[0] == 0)
                file.IncRecordCount();
            const auto key = HiddenKey(record[0], RecordIdOf(record));
            tree.Insert(key.data(), n);
        }
        table_->FlushBuffers(false, true, true);
    } catch (...) {
        table_->WriteUnlock();
        throw;
    }
    table_->WriteUnlock();
    SaveTableCounters();
}

}  // namespace strata
