#include "engine/core/data_file.h"

#include <algorithm>
#include <cassert>
#include <cctype>
#include <cstring>
#include <utility>

#include "engine/core/index_file.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/scramble.h"
#include "platform/db/date_time.h"
#include "platform/nls/nls.h"
#include "platform/os/clock.h"

namespace strata {

namespace {
constexpr std::size_t kBatchGrowth = 255;
// The longest run of cached, unchanged records a flush writes along to join
// two changed ones in one write.
constexpr std::uint32_t kMaxFlushGap = 31;
// The most bytes of unchanged records a flush reads from the file to join two
// changed records in one write: a couple of pages, so that changes spread
// thinly over a stretch reach the disk as one sequential write instead of a
// write per page.
constexpr std::size_t kMaxReadGapBytes = 8192;

void ScrambleText(std::span<std::uint8_t> header, std::size_t at, std::size_t n) {
    const std::size_t length = std::min<std::size_t>(header[at], n);
    ScrambleBuffer(header.subspan(at + 1, length), kHeaderTextKeyLow, kHeaderTextKeyHigh);
}

std::string UnscrambledText(const DataHeader& header, std::size_t at, std::size_t n) {
    DataHeader copy = header;
    const std::size_t length = std::min<std::size_t>(copy[at], n);
    UnscrambleBuffer(std::span(copy).subspan(at + 1, length), kHeaderTextKeyLow,
                     kHeaderTextKeyHigh);
    return GetShortString(copy, at, n);
}

}  // namespace

TDataFile::TDataFile(TTableFileOwner* owner)
    : owner_(owner), pool_(std::make_unique<TRecordStack>(this)) {
    // The read window and the write buffer grow when first used.
}

TDataFile::~TDataFile() {
    try {
        Close();
    } catch (...) {
    }
    cache_.RemoveAll([](std::unique_ptr<TRecord>) {});
    pool_->Clear();
}

void TDataFile::Open() {
    if (IsOpen())
        return;
    TFileHandler::Open();
    try {
        ReadHeader();
        if (GetFieldCount() > kMaxFieldCount)
            RaiseEngineError(kErrHeaderCorrupt, Name());
        ReadDescriptors();
    } catch (...) {
        TFileHandler::Close();
        throw;
    }
    stats_ = {};
    last_miss_ = ascending_misses_ = 0;
    pool_->Clear();
    SizeRecordCache();
}

void TDataFile::PrepareWrite() {
    if (owner_ != nullptr)
        owner_->BeforeWrite();
}

void TDataFile::Write(std::span<const std::byte> data) {
    PrepareWrite();
    TFileHandler::Write(data);
}

void TDataFile::Close() {
    progress_mark_ = false;
    ClearRecordCache();
    cache_.Release();
    descriptors_.clear();
    if (IsOpen())
        TFileHandler::Close();
}

void TDataFile::SizeRecordCache() {
    DropWindow();
    const std::uint32_t rs = GetRecordSize();
    records_per_buffer_ = rs == 0 ? 1 : std::max<std::uint32_t>(1, 65535 / rs);
    normal_cache_capacity_ =
        rs == 0 ? 8191 : std::max<std::size_t>(1, std::min<std::size_t>(131070 / rs, 8191));
    cache_capacity_ = normal_cache_capacity_;
    flush_at_held_ = HeldFlushThreshold();
}

void TDataFile::ReadDescriptors() {
    const std::uint32_t count = GetFieldCount();
    std::vector<std::uint8_t> bytes(std::size_t{count} * kFieldDescriptorSize);
    {
        const FileObjectLock lock(*this);
        SeekFile(kDataHeaderSize, SeekOrigin::kBegin);
        Read(std::span<std::byte>(reinterpret_cast<std::byte*>(bytes.data()), bytes.size()));
    }
    if (GetEncrypted()) {
        // Files written before the version stamp scrambled a 16-bit length.
        std::size_t length = bytes.size();
        if (GetU64(header_, dh::kVersionStamp) == 0)
            length %= 65536;
        UnscrambleBuffer(std::span(bytes).first(length), kTableDataKeyLow, kTableDataKeyHigh);
    }
    descriptors_.assign(count, FieldDescriptor{});
    for (std::uint32_t i = 0; i < count; ++i) {
        std::memcpy(descriptors_[i].data(), bytes.data() + i * kFieldDescriptorSize,
                    kFieldDescriptorSize);
    }
    descriptors_changed_ = false;
}

void TDataFile::CreateDataFile(std::uint16_t language, std::uint16_t sort,
                               std::span<const FieldDescriptor> descriptors,
                               std::uint32_t blob_block_size, std::string_view description,
                               std::string_view password, bool encrypted,
                               std::uint16_t first_user_word, std::uint16_t second_user_word) {
    if (descriptors.empty() || descriptors.size() > kMaxFieldCount) {
        RaiseEngineError(kErrFieldLimit, Name());
    }
    DataHeader h{};
    PutU16(h, dh::kLanguage, language);
    PutU16(h, dh::kSort, sort);
    PutU16(h, dh::kUserWord1, first_user_word);
    PutU16(h, dh::kUserWord2, second_user_word);
    h[dh::kEncrypted] = encrypted ? 1 : 0;
    PutShortString(h, dh::kDescription, dh::kDescriptionLength, description);
    if (encrypted) {
        PutShortString(h, dh::kPassword, dh::kPasswordLength, password);
        ScrambleText(h, dh::kPassword, dh::kPasswordLength);
        ScrambleText(h, dh::kDescription, dh::kDescriptionLength);
    }
    PutU16(h, dh::kFieldCount, descriptors.size());
    // Only the low 16 bits of the block size are used; a size the blob file
    // cannot lay out is refused here rather than cut.
    if (blob_block_size > 0xFFFF || (blob_block_size != 0 && blob_block_size <= 18)) {
        RaiseEngineError(kErrBlobLimit, Name());
    }
    PutU32(h, dh::kBlobBlockSize, blob_block_size);
    std::uint32_t blob_fields = 0;
    std::uint64_t record_size = kRecordHeaderSize;
    for (const FieldDescriptor& d : descriptors) {
        if (FieldType(d) == 3 && ++blob_fields > kMaxBlobFields) {
            RaiseEngineError(kErrBlobLimit, Name());
        }
        if (!FieldIsAutoInc(d) && !FieldNotStored(d))
            record_size += FieldDataSize(d) + 1u;
    }
    if (record_size > 0xFFFF)
        RaiseEngineError(kErrMaxRecordSize, Name());
    // A descriptor out of place would make every record unreadable, so the
    // layout is checked before the file exists.
    std::uint64_t running = kRecordHeaderSize;
    std::uint32_t position = 0;
    for (const FieldDescriptor& d : descriptors) {
        const bool placed = FieldIsAutoInc(d)   ? FieldOffset(d) == 5
                            : FieldNotStored(d) ? true
                                                : FieldOffset(d) == running;
        if (FieldNumber(d) != ++position || !placed) {
            RaiseEngineError(kErrInvalidFieldDefinition, Name(), FieldName(d));
        }
        if (!FieldIsAutoInc(d) && !FieldNotStored(d))
            running += FieldDataSize(d) + 1u;
    }
    PutU16(h, dh::kBlobFieldCount, blob_fields);
    h[dh::kVersion] = kTableFileVersion;
    PutU32(h, dh::kNextSlot, 1);
    PutU16(h, dh::kRecordSize, record_size);

    TFileHandler::CreateFile();
    header_ = h;
    descriptors_.assign(descriptors.begin(), descriptors.end());
    for (FieldDescriptor& d : descriptors_)
        d[fd::kDescending] = 0;
    // The new file starts with change counter 0: the creating write is not a
    // change others must notice.
    descriptors_changed_ = true;
    PutU32(header_, dh::kChangeCounter, 0);
    header_[dh::kHeaderChanged] = 1;
    PutU32(header_, dh::kVersionStamp, kEngineVersionStamp);
    PutU32(header_, dh::kStampZero, 0);
    PutF64(header_, dh::kTime, static_cast<double>(db::Now()) - kHeaderTimeBias);
    {
        const FileObjectWriteLock lock(*this);
        SeekFile(0, SeekOrigin::kBegin);
        Write(header_.data(), header_.size());
    }
    progress_mark_ = false;
    NoteFlagOnDisk(1);
    changes_.Clear();
    header_[dh::kHeaderChanged] = 0;
    WriteFieldDescriptors();
    stats_ = {};
    last_miss_ = ascending_misses_ = 0;
    pool_->Clear();
    SizeRecordCache();
}

void TDataFile::ReadHeader() {
    DataHeader h{};
    {
        const FileObjectLock lock(*this);
        SeekFile(0, SeekOrigin::kBegin);
        Read(h.data(), h.size());
    }
    NoteFlagOnDisk(h[dh::kHeaderChanged]);
    h[dh::kHeaderChanged] = 0;
    header_ = h;
    changes_.Clear();
}

bool TDataFile::HeaderChanged() {
    DataHeader h{};
    {
        const FileObjectLock lock(*this);
        SeekFile(0, SeekOrigin::kBegin);
        Read(h.data(), h.size());
    }
    NoteFlagOnDisk(h[dh::kHeaderChanged]);
    return changes_.Adopt(header_, h);
}

bool TDataFile::WriteHeader(bool force, bool takes_mark_off) {
    if (!changes_.WriteDue(force))
        return false;
    PutU32(header_, dh::kVersionStamp, kEngineVersionStamp);
    PutU32(header_, dh::kStampZero, 0);
    PutF64(header_, dh::kTime, static_cast<double>(db::Now()) - kHeaderTimeBias);
    changes_.Write(header_, [&] {
        // Taking the lock may put the mark on first (the header can be a change's first
        // write): the image must carry it then, or this write would take it off again.
        const FileObjectWriteLock lock(*this);
        // The in-progress flag stays on disk through every header write
        // until the table takes it off.
        settled_flag_ = header_[dh::kHeaderChanged];
        if (progress_mark_ && !takes_mark_off)
            header_[dh::kHeaderChanged] = kWriteInProgressFlag;
        SeekFile(0, SeekOrigin::kBegin);
        Write(header_.data(), header_.size());
        flag_on_disk_ = header_[dh::kHeaderChanged];
    });
    if (takes_mark_off)
        progress_mark_ = false;
    return true;
}

void TDataFile::WriteProgressMark(bool set) {
    const std::uint8_t flag = set ? kWriteInProgressFlag : settled_flag_;
    {
        // Called between a caller's seek and its write: the position stays.
        const FileObjectLock lock(*this);
        const std::int64_t position = SeekFile(0, SeekOrigin::kCurrent);
        SeekFile(dh::kHeaderChanged, SeekOrigin::kBegin);
        TFileHandler::Write(std::as_bytes(std::span(&flag, 1)));
        SeekFile(position, SeekOrigin::kBegin);
    }
    progress_mark_ = set;
    NoteFlagOnDisk(flag);
}

bool TDataFile::WriteSettledFlagAt(std::uint8_t flag) {
    return WriteAt(dh::kHeaderChanged, std::as_bytes(std::span(&flag, 1)));
}

std::uint32_t TDataFile::WholeRecordSlots() {
    const std::int64_t rs = GetRecordSize();
    const std::int64_t bytes = GetFileSize() - DescriptorEnd();
    if (rs == 0 || bytes <= 0)
        return 0;
    return static_cast<std::uint32_t>(std::min<std::int64_t>(bytes / rs, kMaxRecordSlot));
}

void TDataFile::LimitRecordSlotsToFile() {
    const std::uint32_t whole = WholeRecordSlots();
    if (GetRecordSlots() > whole) {
        ClearRecordCache();
        PutU32(header_, dh::kNextSlot, std::uint64_t{whole} + 1);
    }
}

void TDataFile::CheckSizes() {
    const std::int64_t size = GetFileSize();
    const std::uint32_t next_slot = GetU32(header_, dh::kNextSlot);
    if (size < DescriptorEnd() || GetRecordSize() < kRecordHeaderSize || next_slot == 0 ||
        next_slot - 1u > kMaxRecordSlot || next_slot - 1u > WholeRecordSlots() ||
        GetU32(header_, dh::kFirstFree) >= next_slot) {
        RaiseEngineError(kErrHeaderCorrupt, Name());
    }
}

void TDataFile::MarkChanged() {
    changes_.CountChange(header_);
    MarkWrittenByOwner();
}

void TDataFile::WriteFieldDescriptors() {
    if (!descriptors_changed_)
        return;
    std::vector<std::uint8_t> bytes(descriptors_.size() * kFieldDescriptorSize);
    for (std::size_t i = 0; i < descriptors_.size(); ++i) {
        std::memcpy(bytes.data() + i * kFieldDescriptorSize, descriptors_[i].data(),
                    kFieldDescriptorSize);
        // The sort's descending flag lives in memory only.
        bytes[i * kFieldDescriptorSize + fd::kDescending] = 0;
    }
    if (GetEncrypted())
        ScrambleBuffer(bytes, kTableDataKeyLow, kTableDataKeyHigh);
    {
        const FileObjectWriteLock lock(*this);
        SeekFile(kDataHeaderSize, SeekOrigin::kBegin);
        Write(bytes.data(), bytes.size());
    }
    descriptors_changed_ = false;
}

void TDataFile::EmptyFile() {
    ClearRecordCache();
    {
        const FileObjectWriteLock lock(*this);
        SeekFile(DescriptorEnd(), SeekOrigin::kBegin);
        Write(std::span<const std::byte>{});
    }
    PutU32(header_, dh::kChangeCounter, 0);
    PutU32(header_, dh::kFirstFree, 0);
    PutU32(header_, dh::kNextSlot, 1);
    PutU32(header_, dh::kLastAutoInc, 0);
    SetHeaderChanged();
}

FieldDescriptor TDataFile::GetFieldDescriptor(std::uint32_t n) const {
    if (n < 1 || n > descriptors_.size())
        RaiseEngineError(kErrHeaderCorrupt, Name());
    return descriptors_[n - 1];
}

std::optional<FieldDescriptor> TDataFile::FindFieldDescriptor(std::uint16_t field_number) const {
    for (const FieldDescriptor& d : descriptors_) {
        if (FieldNumber(d) == field_number)
            return d;
    }
    return std::nullopt;
}

std::optional<FieldDescriptor> TDataFile::FindFieldDescriptorByName(std::string_view name) const {
    for (const FieldDescriptor& d : descriptors_) {
        if (platform::nls::SameTextAnsi(FieldName(d), name))
            return d;
    }
    return std::nullopt;
}

void TDataFile::SetFieldDescriptor(std::uint32_t n, const FieldDescriptor& descriptor) {
    if (n < 1 || n > descriptors_.size())
        RaiseEngineError(kErrHeaderCorrupt, Name());
    FieldDescriptor& d = descriptors_[n - 1];
    std::memcpy(&d[fd::kNumber], &descriptor[fd::kNumber], 2);
    std::memcpy(&d[fd::kName], &descriptor[fd::kName], fd::kNameLength + 1);
    d[fd::kSubtype] = descriptor[fd::kSubtype];
    std::memcpy(&d[fd::kDescription], &descriptor[fd::kDescription], fd::kTextLength + 1);
    d[fd::kRequired] = descriptor[fd::kRequired];
    for (std::size_t at : {fd::kMinimum, fd::kMaximum, fd::kDefault}) {
        std::memcpy(&d[at], &descriptor[at], fd::kTextLength + 1);
    }
    descriptors_changed_ = true;
}

std::uint32_t TDataFile::GetBlobBlockSize() const {
    const std::uint32_t size = GetU32(header_, dh::kBlobBlockSize) & 0xFFFFu;
    return size == 0 ? 512 : size;
}

std::uint32_t TDataFile::GetRecordSlots() const {
    const std::uint32_t next = GetNextRecordSlot();
    return next == 0 ? 0 : next - 1;
}

std::string TDataFile::GetDescription() const {
    if (!GetEncrypted())
        return GetShortString(header_, dh::kDescription, dh::kDescriptionLength);
    return UnscrambledText(header_, dh::kDescription, dh::kDescriptionLength);
}

std::string TDataFile::GetPassword() const {
    if (!GetEncrypted())
        return {};
    return UnscrambledText(header_, dh::kPassword, dh::kPasswordLength);
}

void TDataFile::SetDescriptionAndPassword(std::string_view password, std::string_view description,
                                          std::uint16_t second_user_word,
                                          std::uint16_t first_user_word,
                                          std::uint32_t last_auto_increment) {
    PutShortString(header_, dh::kDescription, dh::kDescriptionLength, description);
    PutShortString(header_, dh::kPassword, dh::kPasswordLength, GetEncrypted() ? password : "");
    if (GetEncrypted()) {
        ScrambleText(header_, dh::kPassword, dh::kPasswordLength);
        ScrambleText(header_, dh::kDescription, dh::kDescriptionLength);
    }
    PutU16(header_, dh::kUserWord1, first_user_word);
    PutU16(header_, dh::kUserWord2, second_user_word);
    PutU32(header_, dh::kLastAutoInc, last_auto_increment);
    SetHeaderChanged();
}

std::uint32_t TDataFile::NextAutoIncrement() {
    std::uint32_t last = GetLastAutoIncrement();
    if (last >= kMaxAutoIncrement)
        last = 0;
    PutU32(header_, dh::kLastAutoInc, last + 1);
    SetHeaderChanged();
    return last + 1;
}

void TDataFile::SetAutoIncrement(std::uint32_t value) {
    PutU32(header_, dh::kLastAutoInc, value);
    SetHeaderChanged();
}

std::uint32_t TDataFile::NextBlobNumber() {
    std::uint32_t last = GetU32(header_, dh::kLastBlobNumber);
    if (last >= kMaxAutoIncrement)
        last = 0;
    PutU32(header_, dh::kLastBlobNumber, last + 1);
    SetHeaderChanged();
    return last + 1;
}

TRecord* TDataFile::FindCached(std::uint32_t n) const {
    return cache_.Find(n);
}

TRecord* TDataFile::InsertCached(std::unique_ptr<TRecord> record) {
    TRecord* raw = cache_.Insert(std::move(record));
    LruPushFront(raw);
    return raw;
}

std::unique_ptr<TRecord> TDataFile::RemoveCached(std::uint32_t n) {
    std::unique_ptr<TRecord> taken = cache_.Remove(n);
    if (taken)
        LruUnlink(taken.get());
    return taken;
}

bool TDataFile::UnpinnedInOrder(bool changed, std::vector<NumberedRecord>& out) const {
    out.clear();
    bool pinned_changes = false;
    cache_.ForEachNumbered([&](std::uint32_t number, TRecord& record) {
        if (record.PinCount() > 0)
            pinned_changes = pinned_changes || record.Modified();
        else if (record.Modified() == changed)
            out.push_back({number, 0, &record});
    });
    // The numbers sit beside the records, so ordering them reads no record. Those of a
    // stretch of numbers (the records an import appended) are put in place in one pass rather
    // than sorted: each number is held once.
    if (out.size() >= 64) {
        const auto [low, high] = std::minmax_element(
            out.begin(), out.end(),
            [](const NumberedRecord& a, const NumberedRecord& b) { return a.number < b.number; });
        const std::uint32_t first = low->number;
        const std::size_t span = std::size_t{high->number} - first + 1;
        if (span <= 2 * out.size()) {
            std::vector<TRecord*> by_number(span, nullptr);
            for (const NumberedRecord& entry : out) {
                assert(by_number[entry.number - first] == nullptr);
                by_number[entry.number - first] = entry.record;
            }
            std::size_t k = 0;
            for (std::size_t i = 0; i < span; ++i) {
                if (by_number[i] != nullptr)
                    out[k++] = {static_cast<std::uint32_t>(first + i), 0, by_number[i]};
            }
            assert(k == out.size());
            return pinned_changes;
        }
    }
    std::sort(out.begin(), out.end(),
              [](const NumberedRecord& a, const NumberedRecord& b) { return a.number < b.number; });
    return pinned_changes;
}

void TDataFile::LruUnlink(TRecord* r) {
    RecordChain& chain = ChainOf(r);
    if (r->lru_prev)
        r->lru_prev->lru_next = r->lru_next;
    if (r->lru_next)
        r->lru_next->lru_prev = r->lru_prev;
    if (chain.head == r)
        chain.head = r->lru_next;
    if (chain.tail == r)
        chain.tail = r->lru_prev;
    r->lru_prev = r->lru_next = nullptr;
    if (r->lru_held)
        --held_count_;
    r->lru_held = false;
}

void TDataFile::LruPushFront(TRecord* r) {
    r->lru_prev = nullptr;
    r->lru_next = lru_.head;
    if (lru_.head)
        lru_.head->lru_prev = r;
    lru_.head = r;
    if (!lru_.tail)
        lru_.tail = r;
}

void TDataFile::Hold(TRecord* r) {
    LruUnlink(r);
    r->lru_held = true;
    ++held_count_;
    r->lru_prev = nullptr;
    r->lru_next = held_.head;
    if (held_.head)
        held_.head->lru_prev = r;
    held_.head = r;
    if (!held_.tail)
        held_.tail = r;
}

bool TDataFile::ReturnHeldRecords() {
    bool any = false;
    // From the most recently held to the oldest, each to the LRU tail, so
    // the oldest is evicted first.
    for (TRecord* r = held_.head; r != nullptr;) {
        TRecord* next = r->lru_next;
        if (r->PinCount() == 0 && !r->Modified()) {
            LruUnlink(r);
            r->lru_prev = lru_.tail;
            if (lru_.tail)
                lru_.tail->lru_next = r;
            lru_.tail = r;
            if (!lru_.head)
                lru_.head = r;
            any = true;
        }
        r = next;
    }
    return any;
}

void TDataFile::PrefetchNextTake() const noexcept {
    // The next record to go is reached for a row's work after this one, long enough for what
    // its taking touches to arrive: its neighbour on the chain, its slot and its bytes, which
    // the loader overwrites.
    const TRecord* next = lru_.tail;
    if (next == nullptr)
        return;
    if (next->lru_prev != nullptr)
        __builtin_prefetch(next->lru_prev, 1);
    cache_.PrefetchSlot(next->RecordNumber());
    const auto bytes = next->Buffer();
    for (std::size_t at = 0; at < bytes.size(); at += 64)
        __builtin_prefetch(bytes.data() + at, 1);
}

std::unique_ptr<TRecord> TDataFile::TakeCacheRecord() {
    if (cache_.Size() < cache_capacity_) {
        // Not cleared: every taker fills or clears it.
        std::unique_ptr<TRecord> r = pool_->Pop(false);
        r->EnsureSize(GetRecordSize());
        return r;
    }
    if (held_count_ >= flush_at_held_ && !InBatch()) {
        FlushRecords();
        flush_at_held_ = std::max(HeldFlushThreshold(), held_count_ + cache_capacity_ / 4);
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (;;) {
            while (lru_.tail != nullptr) {
                TRecord* r = lru_.tail;
                if (r->PinCount() == 0 && !r->Modified()) {
                    // Not cleared here: every taker fills or clears it.
                    std::unique_ptr<TRecord> taken = RemoveCached(r->RecordNumber());
                    taken->EnsureSize(GetRecordSize());
                    PrefetchNextTake();
                    return taken;
                }
                Hold(r);
            }
            // Held records released or written since they were parked.
            if (!ReturnHeldRecords())
                break;
        }
        if (attempt == 0) {
            if (InBatch())
                break;
            FlushRecords();
        }
    }
    if (InBatch()) {
        cache_capacity_ += kBatchGrowth;
        std::unique_ptr<TRecord> r = pool_->Pop(false);
        r->EnsureSize(GetRecordSize());
        return r;
    }
    RaiseEngineError(kErrDataRecordCorrupt, Name());
}

TRecord* TDataFile::AppendRecord() {
    const std::uint64_t next = GetNextRecordSlot();
    if (next + 1 > kMaxRecordSlot ||
        static_cast<std::int64_t>(next) * GetRecordSize() > kMaxTableFileSize) {
        RaiseEngineError(kErrTableFull, Name());
    }
    std::unique_ptr<TRecord> r = TakeCacheRecord();
    r->Reset(false);
    r->SetRecordNumber(static_cast<std::uint32_t>(next));
    // A new slot must reach the file even if nobody fills it.
    r->SetModified(true);
    r->Pin();
    TRecord* raw = InsertCached(std::move(r));
    PutU32(header_, dh::kNextSlot, next + 1);
    SetHeaderChanged();
    return raw;
}

bool TDataFile::CanAppendDirect() const {
    return InMemory() && Exclusive() && !GetEncrypted() && !InBatch() &&
           GetRecordSize() >= kRecordHeaderSize && cache_.Size() >= cache_capacity_;
}

void TDataFile::AppendDirect(std::span<const std::uint8_t> image) {
    assert(CanAppendDirect());
    const std::uint64_t next = GetNextRecordSlot();
    if (next + 1 > kMaxRecordSlot ||
        static_cast<std::int64_t>(next) * GetRecordSize() > kMaxTableFileSize) {
        RaiseEngineError(kErrTableFull, Name());
    }
    const std::size_t rs = GetRecordSize();
    if (image.size() < rs || FindCached(static_cast<std::uint32_t>(next)) != nullptr)
        RaiseEngineError(kErrDataRecordCorrupt, Name());
    {
        const FileObjectWriteLock lock(*this);
        SeekFile(RecordOffset(static_cast<std::uint32_t>(next)), SeekOrigin::kBegin);
        Write(image.data(), rs);
    }
    PatchWindow(static_cast<std::uint32_t>(next), image.first(rs));
    ++stats_.writes;
    MarkWrittenByOwner();
    PutU32(header_, dh::kNextSlot, next + 1);
    SetHeaderChanged();
}

void TDataFile::AppendRecords(std::span<const std::uint8_t> images) {
    assert(!GetEncrypted() && !InBatch());
    const std::size_t rs = GetRecordSize();
    if (rs < kRecordHeaderSize || images.size() % rs != 0)
        RaiseEngineError(kErrDataRecordCorrupt, Name());
    const std::uint64_t count = images.size() / rs;
    if (count == 0)
        return;
    const std::uint64_t next = GetNextRecordSlot();
    const std::uint64_t last = next + count - 1;
    if (last + 1 > kMaxRecordSlot ||
        static_cast<std::int64_t>(last) * static_cast<std::int64_t>(rs) > kMaxTableFileSize) {
        RaiseEngineError(kErrTableFull, Name());
    }
    {
        const FileObjectWriteLock lock(*this);
        SeekFile(RecordOffset(static_cast<std::uint32_t>(next)), SeekOrigin::kBegin);
        Write(images.data(), images.size());
    }
    PatchWindow(static_cast<std::uint32_t>(next), images);
    stats_.writes += count;
    MarkWrittenByOwner();
    PutU32(header_, dh::kNextSlot, last + 1);
    SetHeaderChanged();
}

std::uint32_t TDataFile::ReadRecords(TFileCursor* cursor, std::uint32_t n, bool forward,
                                     bool index_order, bool read_ahead) {
    const std::uint32_t slots = GetRecordSlots();
    std::uint32_t count = 1;
    if (read_ahead) {
        if (index_order) {
            count = cursor != nullptr
                        ? cursor->ConsecutiveIndexRecords(records_per_buffer_, forward) + 1
                        : 1;
        } else {
            count = forward ? std::min<std::uint32_t>(records_per_buffer_, slots - n + 1)
                            : std::min<std::uint32_t>(records_per_buffer_, n);
        }
        // Never more than half the cache, so a batch read cannot evict itself.
        count = static_cast<std::uint32_t>(
            std::clamp<std::size_t>(count, 1, std::max<std::size_t>(1, cache_capacity_ / 2)));
        count = std::min(count, records_per_buffer_);
    }
    std::uint32_t first = n;
    if (forward) {
        count = std::min(count, slots - n + 1);
    } else {
        count = std::min(count, n);
        first = n - count + 1;
    }
    if (count > 1 && !InBatch()) {
        // The read-ahead is about to replace the window: changed records go
        // first, while the window lets a flush join them into few writes.
        FlushRecords();
    }
    const std::size_t rs = GetRecordSize();
    if (count == 1) {
        // Read beside the window, which goes on serving its records.
        record_scratch_.resize(rs);
        {
            const FileObjectLock lock(*this);
            SeekFile(RecordOffset(n), SeekOrigin::kBegin);
            Read(record_scratch_.data(), rs);
        }
        ++stats_.reads;
        stats_.read_bytes += rs;
        LoadCached(n, record_scratch_);
        return n;
    }
    const std::size_t bytes = std::size_t{count} * rs;
    DropWindow();
    ReserveReadWindow((bytes + 32766) / 32767 * 32767);
    std::uint32_t held = 0;
    {
        const FileObjectLock lock(*this);
        held = ReadWholeRecords(first, count, ReadBuffer());
    }
    window_first_ = first;
    window_count_ = held;
    ++stats_.reads;
    ++stats_.batched_reads;
    // The records after n may be new ones the file does not hold yet; n itself it must hold.
    if (FillFromWindow(n) == nullptr)
        RaiseEngineError(kErrRead, Name());
    return first + held - 1;
}

void TDataFile::HintRecords(std::uint32_t first, std::uint32_t last) {
    const std::uint32_t slots = GetRecordSlots();
    if (first == 0 || first > last || first > slots)
        return;
    const std::uint32_t end = std::min(last, slots);
    WillNeed(RecordOffset(first),
             static_cast<std::int64_t>(std::size_t{end - first + 1} * GetRecordSize()));
}

void TDataFile::ReadWindow(std::uint32_t first, std::uint32_t last, std::uint32_t room_last) {
    if (first == 0 || first > last || last > GetRecordSlots() ||
        (InWindow(first) && InWindow(last))) {
        return;
    }
    const std::size_t rs = GetRecordSize();
    const std::uint64_t window_end = std::uint64_t{window_first_} + window_count_;
    // Records that follow on from the window join it while the whole fits, so that a statement
    // walking forward through a stretch ends up holding all of it. A gap before them is read
    // along when it is no longer than they are.
    if (window_count_ > 0 && first >= window_first_ &&
        (first <= window_end || first - window_end <= std::uint64_t{last - first + 1}) &&
        std::size_t{last - window_first_ + 1} * rs <= kChangeWindowBytes) {
        const auto from = static_cast<std::uint32_t>(window_end);
        const std::size_t at = std::size_t{from - window_first_} * rs;
        const std::size_t bytes = std::size_t{last - from + 1} * rs;
        read_buffer_.Grow(at + bytes);
        std::uint32_t held = 0;
        {
            const FileObjectLock lock(*this);
            held = ReadWholeRecords(from, last - from + 1, ReadBuffer() + at);
        }
        window_count_ = from - window_first_ + held;
        ++stats_.reads;
        ++stats_.batched_reads;
        return;
    }
    const std::size_t bytes = std::size_t{last - first + 1} * rs;
    const std::size_t room =
        room_last > last ? std::min(std::size_t{room_last - first + 1} * rs, kChangeWindowBytes)
                         : 0;
    DropWindow();
    ReserveReadWindow(std::max(bytes, room));
    std::uint32_t held = 0;
    {
        const FileObjectLock lock(*this);
        held = ReadWholeRecords(first, last - first + 1, ReadBuffer());
    }
    window_first_ = first;
    window_count_ = held;
    ++stats_.reads;
    ++stats_.batched_reads;
}

void TDataFile::ReserveReadWindow(std::size_t bytes) {
    if (read_buffer_.capacity() >= bytes)
        return;
    DropWindow();
    EngineBuffer kept = TakeKeptBuffer(bytes);
    if (!kept.empty()) {
        read_buffer_ = std::move(kept);
        return;
    }
    // Every byte of a window is read from the file before it is used.
    read_buffer_.Grow(bytes);
}

std::uint32_t TDataFile::ReadWholeRecords(std::uint32_t first, std::uint32_t count,
                                          std::uint8_t* out) {
    const std::size_t rs = GetRecordSize();
    SeekFile(RecordOffset(first), SeekOrigin::kBegin);
    const std::int64_t got = Read(out, std::size_t{count} * rs, true);
    const auto held = static_cast<std::uint32_t>(static_cast<std::size_t>(got) / rs);
    stats_.read_bytes += std::uint64_t{held} * rs;
    return held;
}

std::uint32_t TDataFile::ReadRunSpan(std::uint32_t first, std::uint32_t count, std::uint8_t* out) {
    const std::uint64_t last = std::uint64_t{first} + count - 1;
    const std::uint64_t window_last = std::uint64_t{window_first_} + window_count_ - 1;
    if (window_count_ == 0 || last < window_first_ || first > window_last)
        return ReadWholeRecords(first, count, out);
    // The window holds the file's bytes: only the records on either side of it are read.
    const std::size_t rs = GetRecordSize();
    const std::uint32_t from = std::max(first, window_first_);
    const auto to = static_cast<std::uint32_t>(std::min(last, window_last));
    if (from > first && ReadWholeRecords(first, from - first, out) != from - first)
        RaiseEngineError(kErrRead, Name());
    std::memcpy(out + std::size_t{from - first} * rs, WindowImage(from).data(),
                std::size_t{to - from + 1} * rs);
    const std::uint32_t held = to - first + 1;
    if (to == last)
        return held;
    return held + ReadWholeRecords(to + 1, static_cast<std::uint32_t>(last - to),
                                   out + std::size_t{held} * rs);
}

TRecord* TDataFile::FillFromWindow(std::uint32_t n) {
    if (!InWindow(n))
        return nullptr;
    const std::size_t rs = GetRecordSize();
    const std::span<std::uint8_t> image(ReadBuffer() + std::size_t{n - window_first_} * rs, rs);
    if (!GetEncrypted())
        return LoadCached(n, image);
    // Unscrambling works in place, and the window keeps the file's bytes.
    record_scratch_.assign(image.begin(), image.end());
    return LoadCached(n, record_scratch_);
}

TRecord* TDataFile::LoadCached(std::uint32_t n, std::span<std::uint8_t> image) {
    assert(FindCached(n) == nullptr);
    // Taking a record may flush, which may update the window, never the
    // bytes of n: an uncached record has no changes to write.
    std::unique_ptr<TRecord> r = TakeCacheRecord();
    r->LoadAs(n, image);
    if (!pending_frees_.empty()) {
        // A record freed outside the cache comes back freed; the cache holds the change now.
        if (const NumberedRecord* freed = FindPendingFree(n)) {
            r->SetStatus(1);
            r->SetNextFree(freed->link);
            ErasePendingFrees(static_cast<std::size_t>(freed - pending_frees_.data()), 1);
        }
    }
    return InsertCached(std::move(r));
}

const TDataFile::NumberedRecord* TDataFile::FindPendingFree(std::uint32_t n) const {
    // Frees come in record order as a rule: a record past the last is not among them.
    if (pending_frees_.empty() || pending_frees_.back().number < n)
        return nullptr;
    const auto at = std::lower_bound(
        pending_frees_.begin(), pending_frees_.end(), n,
        [](const NumberedRecord& e, std::uint32_t number) { return e.number < number; });
    return at != pending_frees_.end() && at->number == n ? &*at : nullptr;
}

void TDataFile::ErasePendingFrees(std::size_t first, std::size_t count) {
    const std::size_t rs = GetRecordSize();
    pending_frees_.erase(pending_frees_.begin() + static_cast<std::ptrdiff_t>(first),
                         pending_frees_.begin() + static_cast<std::ptrdiff_t>(first + count));
    pending_images_.erase(
        pending_images_.begin() + static_cast<std::ptrdiff_t>(first * rs),
        pending_images_.begin() + static_cast<std::ptrdiff_t>((first + count) * rs));
}

void TDataFile::PutFreed(std::span<std::uint8_t> image, std::uint32_t link) {
    image[0] = 1;
    PutU32(image, 1, link);
}

void TDataFile::PatchWindow(std::uint32_t first, std::span<const std::uint8_t> bytes) {
    const std::size_t rs = GetRecordSize();
    if (window_count_ == 0 || rs == 0)
        return;
    const std::uint64_t count = bytes.size() / rs;
    const std::uint64_t from = std::max<std::uint64_t>(first, window_first_);
    const std::uint64_t to =
        std::min<std::uint64_t>(first + count, std::uint64_t{window_first_} + window_count_);
    if (from >= to)
        return;
    std::memcpy(ReadBuffer() + (from - window_first_) * rs, bytes.data() + (from - first) * rs,
                (to - from) * rs);
}

bool TDataFile::GetRecord(TFileCursor* cursor, std::uint32_t n, bool forward, bool index_order,
                          bool read_ahead, TRecord*& record) {
    record = nullptr;
    if (n == 0 || GetRecordSize() < kRecordHeaderSize) {
        RaiseEngineError(kErrDataRecordCorrupt, Name());
    }
    if (n == GetNextRecordSlot()) {
        record = AppendRecord();
        return true;
    }
    TRecord* r = FindCached(n);
    if (r != nullptr) {
        ++stats_.hits;
    } else {
        if (n > GetRecordSlots()) {
            // Beyond the records as this program last saw them: others may have added it.
            if (cursor != nullptr && cursor->RecheckTableChanged())
                return false;
            RaiseEngineError(kErrDataRecordCorrupt, Name());
        }
        // The window holds bytes read with the cached records, and goes with them.
        r = FillFromWindow(n);
        if (r != nullptr) {
            ++stats_.hits;
        } else {
            if (cursor != nullptr && cursor->RecheckTableChanged())
                return false;
            if (!read_ahead && NoticeAscendingMiss(n)) {
                // Misses walking forward in small steps: the next ones lie in
                // the same buffer, so one read brings them all, and the walk
                // goes on from its end.
                last_miss_ = ReadRecords(cursor, n, true, false, true);
            } else {
                ReadRecords(cursor, n, forward, index_order, read_ahead);
            }
            r = FindCached(n);
        }
    }
    if (r == nullptr || r->RecordNumber() != n)
        RaiseEngineError(kErrDataRecordCorrupt, Name());
    // The most recently used record stays where it is.
    if (r != lru_.head) {
        LruUnlink(r);
        LruPushFront(r);
    }
    r->Pin();
    record = r;
    return true;
}

bool TDataFile::NoticeAscendingMiss(std::uint32_t n) {
    // A step of at most a quarter of a buffer, so a read-ahead serves at least four of the
    // coming misses; records farther apart are read alone. With the file in the system's cache
    // a record read alone costs about what a quarter of a buffer's read does, and without it
    // far more: so a walk that takes every twentieth record (an index on a field of few
    // values) reads buffers.
    const auto window = std::max<std::uint32_t>(1, records_per_buffer_ / 4);
    if (n > last_miss_ && n - last_miss_ <= window)
        ascending_misses_ = std::min<std::uint32_t>(ascending_misses_ + 1, 2);
    else
        ascending_misses_ = 0;
    last_miss_ = n;
    return ascending_misses_ >= 2 && records_per_buffer_ > 8;
}

TRecord* TDataFile::GetRecord(std::uint32_t n) {
    TRecord* record = nullptr;
    if (!GetRecord(Reader(), n, true, false, false, record))
        throw TableChangedUnder();
    return record;
}

void TDataFile::CopyRecord(std::uint32_t n, std::span<std::uint8_t> out) {
    const std::size_t rs = GetRecordSize();
    if (n != 0 && rs >= kRecordHeaderSize && out.size() >= rs && n < GetNextRecordSlot() &&
        InWindow(n) && FindCached(n) == nullptr && FindPendingFree(n) == nullptr) {
        const std::span<std::uint8_t> image = out.first(rs);
        const std::span<const std::uint8_t> bytes = WindowImage(n);
        std::copy(bytes.begin(), bytes.end(), image.begin());
        if (GetEncrypted())
            UnscrambleBuffer(image, kTableDataKeyLow, kTableDataKeyHigh);
        // The active number a cached copy carries.
        if (image[0] == 0)
            PutU32(image, 1, n);
        ++stats_.hits;
        return;
    }
    TRecord* record = GetRecord(n);
    const auto bytes = record->Buffer();
    std::copy_n(bytes.begin(), std::min(bytes.size(), out.size()), out.begin());
    ReleaseRecord(record);
}

void TDataFile::ReleaseRecord(TRecord* record) {
    if (record != nullptr)
        record->Unpin();
}

std::uint32_t TDataFile::GetFreeRecord() const {
    const std::uint32_t first = GetFirstFreeRecord();
    if (first == 0)
        return GetNextRecordSlot();
    if (index_file_ != nullptr && index_file_->GetNoPrimaryIndex())
        return GetNextRecordSlot();
    return first;
}

TRecord* TDataFile::AllocateRecord() {
    const std::uint32_t n = GetFreeRecord();
    const bool from_chain = n != GetNextRecordSlot();
    TRecord* r = GetRecord(n);
    if (from_chain) {
        // Only a record that is really free may be reused, so a damaged link
        // never overwrites a live record.
        if (r->Status() == 0) {
            ReleaseRecord(r);
            RaiseEngineError(kErrDataRecordCorrupt, Name());
        }
        PutU32(header_, dh::kFirstFree, r->NextFree());
        SetHeaderChanged();
        r->Reset(false);
    }
    // An appended record comes cleared already.
    r->SetModified(true);
    return r;
}

void TDataFile::FreeStoredRecord(std::uint32_t n) {
    // Only unscrambled bytes can take the freed header over the window's, and outside a batch
    // nothing holds the flush back long enough to matter.
    if (InBatch() && !GetEncrypted() && GetRecordSize() >= kRecordHeaderSize && n != 0 &&
        InWindow(n) && FindCached(n) == nullptr && FindPendingFree(n) == nullptr) {
        const NumberedRecord freed{n, GetFirstFreeRecord(), nullptr};
        const std::span<const std::uint8_t> image = WindowImage(n);
        const auto at = pending_frees_.empty() || pending_frees_.back().number < n
                            ? pending_frees_.end()
                            : std::lower_bound(pending_frees_.begin(), pending_frees_.end(), n,
                                               [](const NumberedRecord& e, std::uint32_t number) {
                                                   return e.number < number;
                                               });
        const auto place = static_cast<std::ptrdiff_t>(at - pending_frees_.begin()) *
                           static_cast<std::ptrdiff_t>(image.size());
        pending_images_.insert(pending_images_.begin() + place, image.begin(), image.end());
        try {
            pending_frees_.insert(at, freed);
        } catch (...) {
            pending_images_.erase(
                pending_images_.begin() + place,
                pending_images_.begin() + place + static_cast<std::ptrdiff_t>(image.size()));
            throw;
        }
        PutU32(header_, dh::kFirstFree, n);
        SetHeaderChanged();
        return;
    }
    TRecord* record = GetRecord(n);
    FreeRecord(*record);
    record->SetModified(true);
    ReleaseRecord(record);
}

void TDataFile::FreeRecord(TRecord& record) {
    record.SetStatus(1);
    record.SetNextFree(GetFirstFreeRecord());
    PutU32(header_, dh::kFirstFree, record.RecordNumber());
    SetHeaderChanged();
}

// Extends the run that starts with dirty[i] over the changed records that follow, bridging the
// gaps the rules allow; the index of the first record left for the next run.
std::size_t TDataFile::GatherFlushRun(std::span<const NumberedRecord> dirty, std::size_t i,
                                      FlushRun& run) const {
    const std::size_t rs = GetRecordSize();
    const std::size_t limit = std::max<std::size_t>(rs, 1u << 22);
    run.records.assign(1, FlushRun::Entry{0, dirty[i].record, dirty[i].link});
    const std::uint32_t first = dirty[i].number;
    run.first = first;
    run.last = first;
    run.read_span = false;
    run.window_gaps = false;
    std::size_t j = i + 1;
    for (; j < dirty.size(); ++j) {
        const std::uint32_t previous = dirty[j - 1].number;
        const std::uint32_t next = dirty[j].number;
        if (std::size_t{next - first + 1} * rs > limit)
            break;
        if (next != previous + 1) {
            const std::size_t before = run.records.size();
            bool joined = false;
            bool in_window = false;
            if (run.bridge && next - previous - 1 <= kMaxFlushGap) {
                joined = true;
                for (std::uint32_t k = previous + 1; k < next; ++k) {
                    // The window's bytes go along. They are the file's bytes even for a cached
                    // record, so writing them leaves its contents as they are whatever its state.
                    if (InWindow(k)) {
                        in_window = true;
                        continue;
                    }
                    TRecord* gap = FindCached(k);
                    if (gap == nullptr || gap->PinCount() > 0 || gap->Modified()) {
                        joined = false;
                        break;
                    }
                    run.records.push_back({k - first, gap});
                }
            }
            if (joined) {
                run.window_gaps = run.window_gaps || in_window;
            } else {
                run.records.resize(before);
                // The bytes the file holds go along. A changed record in the gap (pinned, so not
                // in this flush) keeps the run apart: it may not be in the file yet.
                if (!run.read_gaps || std::size_t{next - previous - 1} * rs > kMaxReadGapBytes)
                    break;
                bool clean = true;
                for (std::uint32_t k = previous + 1; run.pinned_changes && clean && k < next; ++k) {
                    const TRecord* gap = FindCached(k);
                    clean = gap == nullptr || !gap->Modified();
                }
                if (!clean)
                    break;
                run.read_span = true;
            }
        }
        run.records.push_back({next - first, dirty[j].record, dirty[j].link});
        run.last = next;
    }
    return j;
}

// Lays the run's image out in `out`: the gaps as the file or the window holds them, each
// changed record at its place. The caller holds the file object's lock.
void TDataFile::FillFlushRun(const FlushRun& run, bool from_window, std::uint8_t* out) {
    const std::size_t rs = GetRecordSize();
    const std::uint32_t first = run.first;
    const std::uint32_t last = run.last;
    if (run.read_span && !from_window) {
        // New records at the run's end are not in the file yet: the read stops where the file
        // does, and the cached records of the run must cover the rest.
        const std::uint32_t count = last - first + 1;
        const std::uint32_t held = ReadRunSpan(first, count, out);
        const auto beyond = std::count_if(run.records.begin(), run.records.end(),
                                          [&](const FlushRun::Entry& e) { return e.at >= held; });
        if (static_cast<std::uint64_t>(beyond) != count - held)
            RaiseEngineError(kErrRead, Name());
    }
    if (!from_window && !run.read_span && run.window_gaps) {
        // The window's part of the run first; the cached records go over it.
        const std::uint32_t from = std::max(first, window_first_);
        const std::uint32_t to = std::min(last, window_first_ + window_count_ - 1);
        std::memcpy(out + std::size_t{from - first} * rs, WindowImage(from).data(),
                    std::size_t{to - from + 1} * rs);
    }
    for (const FlushRun::Entry& entry : run.records) {
        const std::span<std::uint8_t> image(out + std::size_t{entry.at} * rs, rs);
        if (entry.record == nullptr) {
            // A record freed outside the cache: the file's bytes under a freed header.
            if (!from_window)
                std::memcpy(image.data(), pending_images_.data() + entry.link * rs, rs);
            PutFreed(image, pending_frees_[entry.link].link);
        } else if (entry.record->Modified() || !from_window) {
            entry.record->SaveTo(image);
        }
    }
}

bool TDataFile::FlushRecords() {
    // The list lives on between flushes, so that a flush allocates nothing; it is taken out
    // while in use, should anything the flush calls flush again.
    std::vector<NumberedRecord> dirty = std::move(flush_list_);
    FlushRun run;
    // A changed record a gap could hold is one still pinned, since every unpinned one is in
    // `dirty`: without any, gaps need no look into the cache record by record.
    run.pinned_changes = UnpinnedInOrder(true, dirty);
    if (!pending_frees_.empty()) {
        // Both lists are in order already, and no record is in both.
        const auto cached = static_cast<std::ptrdiff_t>(dirty.size());
        dirty.insert(dirty.end(), pending_frees_.begin(), pending_frees_.end());
        for (std::size_t k = 0; k < pending_frees_.size(); ++k)
            dirty[static_cast<std::size_t>(cached) + k].link = static_cast<std::uint32_t>(k);
        std::inplace_merge(
            dirty.begin(), dirty.begin() + cached, dirty.end(),
            [](const NumberedRecord& a, const NumberedRecord& b) { return a.number < b.number; });
    }
    struct GiveBack {
        std::vector<NumberedRecord>& list;
        std::vector<NumberedRecord>& home;
        ~GiveBack() {
            list.clear();
            home = std::move(list);
        }
    } give_back{dirty, flush_list_};
    if (dirty.empty())
        return false;
    const std::size_t rs = GetRecordSize();
    // Only a table held exclusively may bridge a short gap between changed records with the
    // cached, unchanged records in it: their bytes are those on disk, as nobody else writes
    // the file.
    run.bridge = Exclusive();
    // While the writer holds the table's write or header lock nobody else writes the file, so
    // unchanged records between changed ones may be read from it and written back as they are.
    run.read_gaps = owner_ != nullptr && owner_->WritesAlone();
    // The frees written, the first of pending_frees_.
    std::size_t frees_written = 0;
    std::size_t i = 0;
    while (i < dirty.size()) {
        const std::size_t j = GatherFlushRun(dirty, i, run);
        const std::uint32_t first = run.first;
        const std::uint32_t last = run.last;
        const std::size_t bytes = std::size_t{last - first + 1} * rs;
        // A run inside the window is written from it: its changed records are saved into their
        // places there, the rest is what the file holds.
        const bool from_window = InWindow(first) && InWindow(last);
        std::uint8_t* out = nullptr;
        if (from_window) {
            out = ReadBuffer() + std::size_t{first - window_first_} * rs;
        } else {
            if (write_buffer_.size() < bytes)
                write_buffer_.resize((bytes + 32766) / 32767 * 32767);
            out = write_buffer_.data();
        }
        PrepareWrite();
        LockFileObject();
        try {
            FillFlushRun(run, from_window, out);
            SeekFile(RecordOffset(first), SeekOrigin::kBegin);
            Write(out, bytes);
        } catch (...) {
            UnlockFileObject();
            // The window may hold bytes the file does not.
            if (from_window)
                DropWindow();
            for (std::size_t k = i; k < j; ++k) {
                if (dirty[k].record != nullptr)
                    dirty[k].record->SetModified(true);
            }
            // The frees written so far are in the file; the rest wait for the next flush.
            ErasePendingFrees(0, frees_written);
            throw;
        }
        UnlockFileObject();
        if (!from_window)
            PatchWindow(first, std::span(out, bytes));
        ++stats_.writes;
        MarkWrittenByOwner();
        frees_written += static_cast<std::size_t>(
            std::count_if(dirty.begin() + static_cast<std::ptrdiff_t>(i),
                          dirty.begin() + static_cast<std::ptrdiff_t>(j),
                          [](const NumberedRecord& e) { return e.record == nullptr; }));
        i = j;
    }
    pending_frees_.clear();
    pending_images_.clear();
    ReturnHeldRecords();
    cache_.CheckInvariants();
    CheckWindow();
    return true;
}

void TDataFile::CheckWindow() {
#ifndef NDEBUG
    // Only a file nobody else writes must match the window at every moment.
    if (window_count_ == 0 || !Exclusive())
        return;
    assert(window_first_ >= 1 && window_first_ + window_count_ - 1 <= GetRecordSlots());
    const std::size_t bytes = std::size_t{window_count_} * GetRecordSize();
    std::vector<std::uint8_t> on_disk(bytes);
    {
        const FileObjectLock lock(*this);
        SeekFile(RecordOffset(window_first_), SeekOrigin::kBegin);
        Read(on_disk.data(), bytes);
    }
    assert(std::equal(on_disk.begin(), on_disk.end(), ReadBuffer()));
#endif
}

void TDataFile::ClearRecordCache() {
    DropWindow();
    pending_frees_.clear();
    pending_images_.clear();
    lru_ = {};
    held_ = {};
    held_count_ = 0;
    cache_.RemoveAll([&](std::unique_ptr<TRecord> record) {
        record->lru_prev = record->lru_next = nullptr;
        record->lru_held = false;
        pool_->Push(std::move(record));
    });
}

void TDataFile::ClearRecordCacheKeeping(std::uint32_t n) {
    std::unique_ptr<TRecord> kept;
    if (const TRecord* record = FindCached(n);
        record != nullptr && record->PinCount() == 0 && !record->Modified()) {
        kept = RemoveCached(n);
    }
    ClearRecordCache();
    if (kept)
        InsertCached(std::move(kept));
}

void TDataFile::TrimRecordCache() {
    // A window larger than any read for a statement's changes gives its memory back.
    if (read_buffer_.capacity() > kChangeWindowBytes) {
        DropWindow();
        KeepBuffer(std::move(read_buffer_));
    }
    if (cache_.Size() > normal_cache_capacity_) {
        // The highest-numbered clean records go: only which ones matters, not their order.
        std::vector<NumberedRecord> clean = std::move(flush_list_);
        clean.clear();
        cache_.ForEachNumbered([&](std::uint32_t number, TRecord& record) {
            if (record.PinCount() == 0 && !record.Modified())
                clean.push_back({number, 0, &record});
        });
        const std::size_t excess = std::min(clean.size(), cache_.Size() - normal_cache_capacity_);
        const auto higher = [](const NumberedRecord& a, const NumberedRecord& b) {
            return a.number > b.number;
        };
        if (excess < clean.size()) {
            std::nth_element(clean.begin(), clean.begin() + static_cast<std::ptrdiff_t>(excess),
                             clean.end(), higher);
        }
        for (std::size_t k = 0; k < excess; ++k)
            pool_->Push(RemoveCached(clean[k].number));
        clean.clear();
        flush_list_ = std::move(clean);
    }
    cache_capacity_ = std::max(normal_cache_capacity_, cache_.Size());
    // A batch may have grown the table far beyond the usual capacity.
    if (cache_.SlotCount() > 4 * cache_capacity_)
        cache_.ShrinkTo(cache_capacity_);
}

bool TDataFile::LockRecord(std::uint32_t n) {
    return n != 0 && LockRegion(kRecordLockBase - n, 1, true);
}

bool TDataFile::UnlockRecord(std::uint32_t n) {
    ++record_lock_releases_;
    return n != 0 && LockRegion(kRecordLockBase - n, 1, false);
}

bool TDataFile::LockTable() {
    return LockRegion(kTableLockStart, kTableLockLength, true);
}

bool TDataFile::UnlockTable() {
    ++record_lock_releases_;
    return LockRegion(kTableLockStart, kTableLockLength, false);
}

bool TDataFile::UnlockTableKeeping(std::vector<std::uint32_t>& records) {
    ++record_lock_releases_;
    std::vector<std::int64_t> bytes;
    bytes.reserve(records.size());
    for (const std::uint32_t n : records) {
        if (n != 0)
            bytes.push_back(kRecordLockBase - n);
    }
    if (!UnlockRegionKeeping(kTableLockStart, kTableLockLength, bytes))
        return false;
    records.clear();
    for (const std::int64_t byte : bytes)
        records.push_back(static_cast<std::uint32_t>(kRecordLockBase - byte));
    return true;
}

bool TDataFile::LockHeader() {
    return RetryFileLock([&] { return LockRegion(kHeaderLockByte, 1, true); }, kHeaderLockTries,
                         kLockRetrySleepMs);
}

bool TDataFile::TryLockHeader() {
    return LockRegion(kHeaderLockByte, 1, true);
}

bool TDataFile::UnlockHeader() {
    return LockRegion(kHeaderLockByte, 1, false);
}

std::pair<bool, bool> TDataFile::UnlockRecordAndHeader(std::uint32_t n) {
    ++record_lock_releases_;
    if (n == 0)
        return {false, UnlockHeader()};
    return UnlockRegionPair(kRecordLockBase - n, 1, kHeaderLockByte, 1);
}

}  // namespace strata
