#include "engine/core/table_sort.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "engine/core/index_file.h"
#include "engine/core/index_tree.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/key_encoding.h"
#include "engine/storage/storage_library.h"

namespace strata {

namespace {
std::mutex& RunNamesLock() {
    static std::mutex lock;
    return lock;
}
std::vector<std::string>& RunNames() {
    static std::vector<std::string> names;
    return names;
}
}  // namespace

struct TTableSort::RunFile {
    TFileHandler handle;
    std::uint32_t count = 0;
    std::uint32_t next = 0;
    std::vector<std::uint8_t> buffer;
    std::uint32_t buffered_first = 0;
    std::uint32_t buffered_count = 0;

    ~RunFile() {
        try {
            if (handle.IsOpen())
                handle.Close();
            handle.DeleteFile();
        } catch (...) {
        }
    }
};

// Collects output records in the write buffer and writes them to the data
// file from the end of the field descriptors, renumbered from 1.
class TTableSort::Output {
  public:
    Output(TDataFile& file, std::uint32_t capacity)
        : file_(file), rs_(file.GetRecordSize()), capacity_(std::max<std::uint32_t>(capacity, 1)) {
        buffer_.resize(std::size_t{capacity_} * rs_);
    }

    void Add(TRecord& record) {
        ++count_;
        record.SetStatus(0);
        record.SetRecordNumber(count_);
        record.SaveTo(std::span(buffer_.data() + std::size_t{buffered_} * rs_, rs_));
        if (++buffered_ == capacity_)
            Write();
    }

    void Write() {
        if (buffered_ == 0)
            return;
        const std::uint32_t first = count_ - buffered_ + 1;
        file_.LockFileObject();
        try {
            file_.SeekFile(file_.RecordOffset(first), SeekOrigin::kBegin);
            file_.TFileHandler::Write(buffer_.data(), std::size_t{buffered_} * rs_);
        } catch (...) {
            file_.UnlockFileObject();
            throw;
        }
        file_.UnlockFileObject();
        buffered_ = 0;
    }

    std::uint32_t Count() const { return count_; }

  private:
    TDataFile& file_;
    std::size_t rs_;
    std::uint32_t capacity_;
    std::uint32_t buffered_ = 0;
    std::uint32_t count_ = 0;
    std::vector<std::uint8_t> buffer_;
};

TTableSort::TTableSort(TDataFile& file, std::span<const FieldDescriptor> key_fields,
                       Options options)
    : file_(file), key_fields_(key_fields.begin(), key_fields.end()), options_(options) {
    if (key_fields_.empty() || key_fields_.size() > 1024) {
        RaiseEngineError(kErrIndexLimit, file.Name());
    }
    for (const FieldDescriptor& f : key_fields_)
        key_size_ += FieldDataSize(f) + 1u;
    key_size_ += 4;
    comparer_ = TKeyComparer(KeySegmentsOf(key_fields_, options_.descending), file.GetLanguage(),
                             file.GetSort(), key_size_);
}

TTableSort::~TTableSort() {
    runs_.clear();
}

std::uint32_t TTableSort::RunSize(std::uint32_t record_size) {
    if (record_size == 0)
        return 8191;
    return std::max<std::uint32_t>(1, std::min<std::uint32_t>(2097120 / record_size, 8191));
}

std::vector<std::string> TTableSort::LastRunNames() {
    std::lock_guard guard(RunNamesLock());
    return RunNames();
}

void TTableSort::BuildKey(TRecord& record) {
    std::span<std::uint8_t> key = record.EnsureWorkSize(key_size_);
    BuildRecordKey(key_fields_, record.Buffer(), key, options_.case_insensitive,
                   options_.descending, file_.GetLanguage(), file_.GetSort(), true);
}

int TTableSort::CompareRecords(const TRecord& a, const TRecord& b, bool with_tail) const {
    return comparer_.Compare(a.WorkBuffer().data(), b.WorkBuffer().data(), with_tail);
}

void TTableSort::ReadLive(std::uint32_t first, std::uint32_t count,
                          std::vector<std::unique_ptr<TRecord>>& out) {
    const std::size_t rs = file_.GetRecordSize();
    std::vector<std::uint8_t> bytes(std::size_t{count} * rs);
    file_.LockFileObject();
    try {
        file_.SeekFile(file_.RecordOffset(first), SeekOrigin::kBegin);
        file_.TFileHandler::Read(bytes.data(), bytes.size());
    } catch (...) {
        file_.UnlockFileObject();
        throw;
    }
    file_.UnlockFileObject();
    for (std::uint32_t i = 0; i < count; ++i) {
        std::unique_ptr<TRecord> r = file_.pool_->Pop();
        r->EnsureSize(rs);
        r->SetRecordNumber(first + i);
        r->LoadFrom(std::span(bytes.data() + std::size_t{i} * rs, rs));
        // Free records are not part of the table's contents.
        if (r->Status() != 0) {
            file_.pool_->Push(std::move(r));
            continue;
        }
        BuildKey(*r);
        out.push_back(std::move(r));
    }
}

void TTableSort::SortRun(std::vector<std::unique_ptr<TRecord>>& run) const {
    std::stable_sort(run.begin(), run.end(),
                     [this](const std::unique_ptr<TRecord>& a, const std::unique_ptr<TRecord>& b) {
                         return CompareRecords(*a, *b, true) < 0;
                     });
}

void TTableSort::WriteRunFile(std::vector<std::unique_ptr<TRecord>>& run) {
    const std::size_t rs = file_.GetRecordSize();
    auto file = std::make_unique<RunFile>();
    const std::string name = MakeTempFileName("", ".TMP", file_.InMemory());
    file->handle.SetName(name);
    file->handle.SetInMemory(file_.InMemory());
    runs_.push_back(std::move(file));
    RunFile& out = *runs_.back();
    out.handle.CreateFile();
    {
        std::lock_guard guard(RunNamesLock());
        RunNames().push_back(name);
    }
    std::vector<std::uint8_t> bytes(run.size() * rs);
    for (std::size_t i = 0; i < run.size(); ++i) {
        run[i]->SaveTo(std::span(bytes.data() + i * rs, rs));
    }
    out.handle.SeekFile(0, SeekOrigin::kBegin);
    if (!bytes.empty())
        out.handle.Write(bytes.data(), bytes.size());
    out.count = static_cast<std::uint32_t>(run.size());
    for (auto& r : run)
        file_.pool_->Push(std::move(r));
}

void TTableSort::Run() {
    file_.FlushRecords();
    file_.ClearRecordCache();
    {
        std::lock_guard guard(RunNamesLock());
        RunNames().clear();
    }
    const std::uint32_t slots = file_.GetRecordSlots();
    const std::uint32_t run_size = RunSize(file_.GetRecordSize());
    const std::size_t rs = file_.GetRecordSize();

    // Each source of records in key order: either the one in-memory run or
    // the heads of the run files.
    std::vector<std::unique_ptr<TRecord>> memory_run;
    if (slots <= run_size) {
        if (slots > 0)
            ReadLive(1, slots, memory_run);
        SortRun(memory_run);
    } else {
        for (std::uint32_t first = 1; first <= slots; first += run_size) {
            const std::uint32_t count = std::min(run_size, slots - first + 1);
            std::vector<std::unique_ptr<TRecord>> run;
            ReadLive(first, count, run);
            SortRun(run);
            WriteRunFile(run);
        }
    }

    // Next record in key order (null at the end).
    std::size_t memory_next = 0;
    std::vector<std::unique_ptr<TRecord>> heads(runs_.size());
    const auto chunk =
        static_cast<std::uint32_t>(std::max<std::size_t>(1, 65535 / std::max<std::size_t>(rs, 1)));
    auto load_head = [&](std::size_t i) {
        RunFile& run = *runs_[i];
        if (run.next >= run.count) {
            if (heads[i])
                file_.pool_->Push(std::move(heads[i]));
            return;
        }
        if (run.next >= run.buffered_first + run.buffered_count || run.next < run.buffered_first) {
            run.buffered_first = run.next;
            run.buffered_count = std::min(chunk, run.count - run.next);
            run.buffer.resize(std::size_t{run.buffered_count} * rs);
            run.handle.SeekFile(static_cast<std::int64_t>(run.next) * static_cast<std::int64_t>(rs),
                                SeekOrigin::kBegin);
            run.handle.Read(run.buffer.data(), run.buffer.size());
        }
        if (!heads[i]) {
            heads[i] = file_.pool_->Pop();
            heads[i]->EnsureSize(rs);
        }
        heads[i]->LoadFrom(
            std::span(run.buffer.data() + std::size_t{run.next - run.buffered_first} * rs, rs));
        BuildKey(*heads[i]);
        ++run.next;
    };
    for (std::size_t i = 0; i < runs_.size(); ++i)
        load_head(i);

    // Takes the smallest head (or the next in-memory record) into `into`.
    std::unique_ptr<TRecord> current = file_.pool_->Pop();
    current->EnsureSize(rs);
    auto next_record = [&]() -> bool {
        if (runs_.empty()) {
            if (memory_next >= memory_run.size())
                return false;
            current->EnsureWorkSize(key_size_);
            current->Assign(*memory_run[memory_next]);
            std::memcpy(current->WorkBuffer().data(), memory_run[memory_next]->WorkBuffer().data(),
                        key_size_);
            ++memory_next;
            return true;
        }
        std::size_t best = heads.size();
        for (std::size_t i = 0; i < heads.size(); ++i) {
            if (!heads[i])
                continue;
            if (best == heads.size() || CompareRecords(*heads[i], *heads[best], true) < 0)
                best = i;
        }
        if (best == heads.size())
            return false;
        current->EnsureWorkSize(key_size_);
        current->Assign(*heads[best]);
        std::memcpy(current->WorkBuffer().data(), heads[best]->WorkBuffer().data(), key_size_);
        load_head(best);
        return true;
    };

    // No more records come out than there are slots: a small table's sort clears no more
    // buffer than its records take.
    Output output(file_, std::min(run_size, std::max<std::uint32_t>(slots, 1)));
    // The previous output record waits until its group is complete.
    std::unique_ptr<TRecord> pending = file_.pool_->Pop();
    pending->EnsureSize(rs);
    pending->EnsureWorkSize(key_size_);
    bool have_pending = false;
    auto complete_pending = [&]() {
        if (!have_pending)
            return;
        have_pending = false;
        if (options_.finish && options_.on_finish && *options_.on_finish) {
            (*options_.on_finish)(*pending);
        }
        if (options_.accept && options_.on_accept && *options_.on_accept &&
            !(*options_.on_accept)(*pending)) {
            return;
        }
        output.Add(*pending);
    };
    const bool merging = options_.group && options_.merge && *options_.merge;
    while (next_record()) {
        if (have_pending && (options_.unique || options_.group) &&
            CompareRecords(*current, *pending, false) == 0) {
            if (merging)
                (*options_.merge)(*pending, *current);
            continue;
        }
        complete_pending();
        pending->Assign(*current);
        std::memcpy(pending->WorkBuffer().data(), current->WorkBuffer().data(), key_size_);
        if (merging)
            (*options_.merge)(*pending, *pending);
        have_pending = true;
    }
    complete_pending();
    output.Write();
    file_.pool_->Push(std::move(current));
    file_.pool_->Push(std::move(pending));
    for (auto& r : memory_run)
        file_.pool_->Push(std::move(r));
    for (auto& r : heads)
        file_.pool_->Push(std::move(r));
    runs_.clear();
    Finish(output.Count());
}

void TTableSort::Finish(std::uint32_t output_count) {
    if (output_count < file_.GetRecordSlots()) {
        file_.LockFileObject();
        try {
            file_.SeekFile(file_.RecordOffset(output_count + 1), SeekOrigin::kBegin);
            file_.TFileHandler::Write(std::span<const std::byte>{});
        } catch (...) {
            file_.UnlockFileObject();
            throw;
        }
        file_.UnlockFileObject();
    }
    // Free records were left out, so the chain no longer names anything.
    PutU32(file_.header_, dh::kNextSlot, std::uint64_t{output_count} + 1);
    PutU32(file_.header_, dh::kFirstFree, 0);
    file_.SetHeaderChanged();
    file_.ClearRecordCache();
    if (TIndexFile* index = file_.IndexFile()) {
        index->SetRecordCount(output_count);
        RebuildHiddenIndex();
        RebuildIndexes();
    }
}

// Every record moved, so every index entry would name the wrong record.
void TTableSort::RebuildIndexes() {
    TIndexFile& index = *file_.IndexFile();
    for (int slot = 0; slot <= index.GetIndexCount(); ++slot) {
        if (slot == 0 && index.GetNoPrimaryIndex())
            continue;
        const IndexDescriptor d = index.GetIndexDescriptor(slot);
        std::vector<FieldDescriptor> fields;
        for (std::size_t i = 0; i < std::min<std::size_t>(IndexFieldCount(d), ixd::kMaxFields);
             ++i) {
            const auto field = file_.FindFieldDescriptor(IndexFieldNumber(d, i));
            if (!field)
                RaiseEngineError(kErrIndexPageCorrupt, index.Name());
            fields.push_back(*field);
            fields.back()[fd::kDescending] = d[ixd::kFieldDescending + i];
        }
        if (fields.empty())
            continue;
        const bool unique = IndexUnique(d);
        const std::size_t key_size = IndexKeySize(d);
        TKeyComparer comparer(KeySegmentsOf(fields, false), file_.GetLanguage(), file_.GetSort(),
                              key_size);
        TIndexTree tree(index, slot, [&comparer](const std::uint8_t* a, const std::uint8_t* b) {
            return comparer.Compare(a, b, true);
        });
        tree.Clear();
        std::vector<std::uint8_t> key(key_size);
        for (std::uint32_t n = 1; n <= file_.GetRecordSlots(); ++n) {
            TRecord* r = file_.GetRecord(n);
            try {
                BuildRecordKey(fields, r->Buffer(), key, d[ixd::kCaseInsensitive] != 0, false,
                               file_.GetLanguage(), file_.GetSort(), !unique);
            } catch (...) {
                file_.ReleaseRecord(r);
                throw;
            }
            file_.ReleaseRecord(r);
            tree.Insert(key.data(), n);
        }
        file_.ClearRecordCache();
    }
}

void TTableSort::RebuildHiddenIndex() {
    TIndexFile& index = *file_.IndexFile();
    TIndexTree tree(index, kHiddenIndexSlot, [](const std::uint8_t* a, const std::uint8_t* b) {
        const int c = std::memcmp(a, b, 5);
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    });
    tree.Clear();
    const std::uint32_t slots = file_.GetRecordSlots();
    for (std::uint32_t n = 1; n <= slots; ++n) {
        TRecord* r = file_.GetRecord(n);
        std::array<std::uint8_t, 5> key{};
        key[0] = r->Status();
        const auto id = EncodeIntegerKey(static_cast<std::int32_t>(r->RecordId()));
        std::copy(id.begin(), id.end(), key.begin() + 1);
        file_.ReleaseRecord(r);
        tree.Insert(key.data(), n);
    }
    file_.ClearRecordCache();
}

void TDataFile::SortRecords(std::span<const FieldDescriptor> key_fields, bool descending,
                            bool case_insensitive, bool unique, bool group,
                            const MergeCallback& merge, bool finish,
                            const RecordCallback& on_finish, bool accept,
                            const AcceptCallback& on_accept) {
    TTableSort::Options options;
    options.descending = descending;
    options.case_insensitive = case_insensitive;
    options.unique = unique;
    options.group = group;
    options.merge = &merge;
    options.finish = finish;
    options.on_finish = &on_finish;
    options.accept = accept;
    options.on_accept = &on_accept;
    TTableSort sort(*this, key_fields, options);
    sort.Run();
}

}  // namespace strata
