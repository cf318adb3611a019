#include "engine/core/table_upgrade.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "engine/core/blob_file.h"
#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "engine/core/index_file.h"
#include "engine/core/table_repair.h"
#include "engine/core/table_swap.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/file_handler.h"
#include "engine/storage/scramble.h"
#include "engine/storage/storage_library.h"
#include "engine/storage/storage_utils.h"
#include "platform/db/date_time.h"
#include "platform/nls/nls.h"
#include "platform/os/clock.h"

namespace strata {

namespace {

constexpr std::uint8_t kBlobType = 3;
constexpr std::size_t kRecordHeaderBytes = 9;
constexpr std::uint8_t kVersion108 = 3;

// One field on its way from the old layout to the current one.
struct FieldMove {
    FieldDescriptor current{};
    std::uint32_t old_offset = 0;
    std::uint32_t copy_size = 0;
    std::uint32_t blob_position = 0;  // 1-based among the blob fields, 0 for others
    bool auto_inc = false;
};

void ReadAt(TFileHandler& file, std::int64_t offset, std::span<std::uint8_t> out) {
    file.LockFileObject();
    try {
        file.SeekFile(offset, SeekOrigin::kBegin);
        file.Read(out.data(), out.size());
    } catch (...) {
        file.UnlockFileObject();
        throw;
    }
    file.UnlockFileObject();
}

void Append(TFileHandler& file, std::span<const std::uint8_t> bytes) {
    file.Write(bytes.data(), bytes.size());
}

class Upgrade {
  public:
    Upgrade(TDataCursor& cursor, TDataCursor::StageProgressHandler progress,
            TDataCursor::LogHandler log, TDataCursor::PasswordHandler password)
        : cursor_(cursor),
          progress_(std::move(progress)),
          log_(std::move(log)),
          password_(std::move(password)),
          memory_(cursor.InMemory() || cursor.Directory().InMemory()),
          name_(cursor.TableName()),
          latest_(TableVersionText(kTableFileVersion)) {}

    void Run() {
        if (!memory_)
            FinishTableReplacement(SwapJournalPath(Path("")));
        // An upgrade cut short between moving the old data file away and
        // putting the new one in place: the old file is whole, start over.
        if (!Exists(Path(".DAT")) && Exists(Path(".DUP")))
            Rename(Path(".DUP"), Path(".DAT"));

        DataHeader header{};
        {
            TFileHandler data;
            OpenFile(data, Path(".DAT"));
            if (data.GetFileSize() < static_cast<std::int64_t>(kDataHeaderSize))
                RaiseEngineError(kErrHeaderCorrupt, name_);
            ReadAt(data, 0, header);
        }
        const std::uint8_t version = header[dh::kVersion];
        if (version > kTableFileVersion)
            RaiseEngineError(kErrWrongVersion, name_);
        encrypted_ = header[dh::kEncrypted] != 0;
        blob_fields_ = GetU16(header, dh::kBlobFieldCount);
        if (encrypted_)
            CheckPassword(header);

        if (version == kTableFileVersion) {
            // The data file is current; an earlier run may have stopped
            // before the index or blob file or the closing repair.
            const std::uint8_t index_version = IndexVersion();
            if (index_version != kTableFileVersion && index_version > kVersion108 &&
                index_version != kIndexRepairPending)
                RaiseEngineError(kErrWrongVersion, name_);
            const bool blob_pending = blob_fields_ > 0 && BlobVersion() != kTableFileVersion;
            // A converted data file carries the in-progress flag until the
            // closing repair has rebuilt the indexes.
            const bool repair_pending = header[dh::kHeaderChanged] == kWriteInProgressFlag;
            if (index_version == kTableFileVersion && !blob_pending && !repair_pending) {
                Log(name_ + " is already at the highest table version of " + latest_ +
                    ", upgrade aborted");
                return;
            }
            Log("Upgrade of table " + name_ + " to version " + latest_ + " started at " +
                MaintenanceTimeStamp());
            Finish(index_version, {});
            return;
        }
        CheckRepairable(header);
        const std::uint8_t index_version = IndexVersion();
        CheckIndexHeader(index_version);
        Log("Upgrade of table " + name_ + " to version " + latest_ + " started at " +
            MaintenanceTimeStamp());
        const std::string data_temp = ConvertData(header, version);
        Finish(index_version, data_temp);
    }

  private:
    std::string Path(std::string_view extension) const { return TableFilePath(cursor_, extension); }
    void Log(std::string_view text) const {
        if (log_)
            log_(ShortString(text));
    }
    void Progress(const std::string& stage, int percent) const {
        if (progress_)
            progress_(stage, percent);
    }
    bool Exists(const std::string& path) const {
        TFileHandler file;
        file.SetName(path);
        file.SetInMemory(memory_);
        return file.FileExists();
    }
    void OpenFile(TFileHandler& file, const std::string& path) const {
        file.SetName(path);
        file.SetInMemory(memory_);
        file.SetExclusive(true);
        file.Open();
    }
    void Rename(const std::string& from, const std::string& to) const {
        TFileHandler file;
        file.SetName(from);
        file.SetInMemory(memory_);
        file.RenameFile(to);
    }
    void Delete(const std::string& path) const {
        TFileHandler file;
        file.SetName(path);
        file.SetInMemory(memory_);
        if (file.FileExists())
            file.DeleteFile();
    }
    // A name beside the table's files for a file being built.
    std::string TempPath(std::string_view extension) const {
        std::string name = cursor_.Directory().MakeTempTableName(memory_);
        name.resize(name.size() - 4);
        name += extension;
        return memory_ ? name : cursor_.Directory().Path() + name;
    }

    // The version byte of a header that may be scrambled as a whole: the
    // scrambling depends only on the position, so the first bytes tell the
    // version whatever the header's size in that version.
    std::uint8_t VersionOf(const std::string& path) const {
        TFileHandler file;
        OpenFile(file, path);
        std::array<std::uint8_t, 9> prefix{};
        if (file.GetFileSize() < static_cast<std::int64_t>(prefix.size()))
            RaiseEngineError(kErrHeaderCorrupt, name_);
        ReadAt(file, 0, prefix);
        if (encrypted_)
            UnscrambleBuffer(prefix, kTableDataKeyLow, kTableDataKeyHigh);
        return prefix[8];
    }

    // Current when there is no index file (an opened table makes a new one).
    std::uint8_t IndexVersion() const {
        return Exists(Path(".IDX")) ? VersionOf(Path(".IDX")) : kTableFileVersion;
    }

    // 0 when the blob file is missing.
    std::uint8_t BlobVersion() const { return Exists(Path(".BLB")) ? VersionOf(Path(".BLB")) : 0; }

    void CheckPassword(const DataHeader& header) const {
        DataHeader copy = header;
        const std::size_t length = std::min<std::size_t>(copy[dh::kPassword], dh::kPasswordLength);
        UnscrambleBuffer(std::span(copy).subspan(dh::kPassword + 1, length), kHeaderTextKeyLow,
                         kHeaderTextKeyHigh);
        const std::string password = GetShortString(copy, dh::kPassword, dh::kPasswordLength);
        TDataSession& session = cursor_.Directory().Session();
        while (!session.HasPassword(password)) {
            const std::size_t before = session.PasswordCount();
            if (!password_ || !password_() || session.PasswordCount() == before)
                RaiseEngineError(kErrPasswordRequired, name_);
        }
    }

    // The closing repair opens the converted table by these values; refused
    // there, they would leave a table half upgraded with its files swapped.
    void CheckRepairable(const DataHeader& header) const {
        const std::uint16_t language = GetU16(header, dh::kLanguage);
        if (language != 0 && !platform::nls::IsValidLocale(platform::nls::MakeLocaleId(
                                 language, GetU16(header, dh::kSort)))) {
            RaiseEngineError(kErrLanguageNotAvailable, name_);
        }
        const std::uint32_t block_size = GetU32(header, dh::kBlobBlockSize) & 0xFFFFu;
        if (blob_fields_ > 0 && block_size != 0 && block_size <= kBlockHeadSize)
            RaiseEngineError(kErrBlobLimit, name_);
    }

    // A 1.08 index header is kept, with its version raised in place: one the index file's
    // open refuses (cut short, or more indexes than a file holds) would stop the closing
    // repair with the files already swapped. No repair can read it, so it is refused first.
    void CheckIndexHeader(std::uint8_t index_version) const {
        if (index_version != kVersion108 || !Exists(Path(".IDX")))
            return;
        TFileHandler file;
        OpenFile(file, Path(".IDX"));
        if (file.GetFileSize() < static_cast<std::int64_t>(kIndexHeaderSize))
            RaiseEngineError(kErrHeaderCorrupt, name_);
        std::vector<std::uint8_t> header(kIndexHeaderSize);
        ReadAt(file, 0, header);
        if (encrypted_)
            UnscrambleBuffer(header, kTableDataKeyLow, kTableDataKeyHigh);
        if (header[ih::kIndexCount] > kMaxSecondaryIndexes)
            RaiseEngineError(kErrHeaderCorrupt, name_);
    }

    std::vector<FieldMove> ConvertDescriptors(std::span<const std::uint8_t> block, std::size_t size,
                                              std::uint32_t count, std::uint32_t old_record_size,
                                              std::uint32_t& new_record_size) const {
        std::vector<FieldMove> moves(count);
        std::uint64_t running = kRecordHeaderBytes;
        std::uint32_t blob_position = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto old = block.subspan(std::size_t{i} * size, size);
            const bool wide = size == kFieldDescriptorSize;
            const std::uint8_t type = old[wide ? fd::kType : ofd::kType];
            const std::uint8_t subtype = old[wide ? fd::kSubtype : ofd::kSubtype];
            const std::uint8_t length = old[wide ? fd::kLength : ofd::kLength];
            const std::uint8_t decimals = old[wide ? fd::kDecimals : ofd::kDecimals];
            const std::string name = GetShortString(old, ofd::kName, fd::kNameLength);
            const bool sized = type == 1 || type == 9;
            if (type < 1 || type > 12 || (sized && (length < 1 || length > 250)))
                RaiseEngineError(kErrHeaderCorrupt, name_, name);
            FieldMove& move = moves[i];
            move.current = MakeFieldDescriptor(GetU16(old, ofd::kNumber), name, type, subtype,
                                               length, decimals);
            FieldDescriptor& d = move.current;
            const auto copy_text = [&](std::size_t from, std::size_t to, std::size_t n) {
                std::copy_n(old.begin() + static_cast<std::ptrdiff_t>(from), n + 1,
                            d.begin() + static_cast<std::ptrdiff_t>(to));
            };
            copy_text(wide ? fd::kDescription : ofd::kDescription, fd::kDescription,
                      fd::kTextLength);
            copy_text(wide ? fd::kMinimum : ofd::kMinimum, fd::kMinimum, fd::kTextLength);
            copy_text(wide ? fd::kMaximum : ofd::kMaximum, fd::kMaximum, fd::kTextLength);
            copy_text(wide ? fd::kDefault : ofd::kDefault, fd::kDefault, fd::kTextLength);
            d[fd::kRequired] = old[wide ? fd::kRequired : ofd::kRequired] != 0 ? 1 : 0;
            d[fd::kCharCase] = 0;
            move.old_offset = GetU16(old, wide ? fd::kOffset : ofd::kOffset);
            move.auto_inc = FieldIsAutoInc(d);
            if (move.auto_inc) {
                PutU16(d, fd::kOffset, 5);
                continue;
            }
            move.copy_size = type == kBlobType ? 5u : 1u + FieldDataSize(d);
            if (type == kBlobType)
                move.blob_position = ++blob_position;
            if (move.old_offset < kRecordHeaderBytes ||
                std::uint64_t{move.old_offset} + move.copy_size > old_record_size)
                RaiseEngineError(kErrHeaderCorrupt, name_, name);
            PutU16(d, fd::kOffset, running);
            running += 1u + FieldDataSize(d);
            if (running > 0xFFFF)
                RaiseEngineError(kErrMaxRecordSize, name_);
        }
        new_record_size = static_cast<std::uint32_t>(running);
        return moves;
    }

    // Steps 5 and 6: the new data file beside the old one; its name.
    std::string ConvertData(const DataHeader& old_header, std::uint8_t version) {
        const std::size_t size =
            version == kVersion108 ? kFieldDescriptorSize : kOldFieldDescriptorSize;
        const std::uint32_t count = GetU16(old_header, dh::kFieldCount);
        const std::uint32_t old_record_size = GetU16(old_header, dh::kRecordSize);
        if (count == 0 || count > kMaxFieldCount || old_record_size < kRecordHeaderBytes)
            RaiseEngineError(kErrHeaderCorrupt, name_);

        TFileHandler old;
        OpenFile(old, Path(".DAT"));
        const std::int64_t file_size = old.GetFileSize();
        const std::int64_t records_start =
            static_cast<std::int64_t>(kDataHeaderSize) + std::int64_t{count} * std::int64_t(size);
        if (file_size < records_start)
            RaiseEngineError(kErrHeaderCorrupt, name_);
        std::vector<std::uint8_t> block(std::size_t{count} * size);
        ReadAt(old, kDataHeaderSize, block);
        if (encrypted_)
            UnscrambleBuffer(block, kTableDataKeyLow, kTableDataKeyHigh);

        Progress("Upgrading field definitions for " + name_, 0);
        std::uint32_t record_size = 0;
        const std::vector<FieldMove> moves =
            ConvertDescriptors(block, size, count, old_record_size, record_size);
        const std::uint32_t blob_fields = static_cast<std::uint32_t>(
            std::count_if(moves.begin(), moves.end(),
                          [](const FieldMove& m) { return FieldType(m.current) == kBlobType; }));
        // Every whole record the file holds is carried over; a torn last
        // record is no record.
        const std::int64_t whole = (file_size - records_start) / old_record_size;
        if (whole > kMaxRecordSlot)
            RaiseEngineError(kErrHeaderCorrupt, name_);
        const auto records = static_cast<std::uint32_t>(whole);
        const std::uint64_t last_blob = std::uint64_t{records} * blob_fields;
        if (last_blob > 0xFFFFFFFFu)
            RaiseEngineError(kErrBlobLimit, name_);

        DataHeader header{};
        PutU32(header, dh::kChangeCounter, platform::os::GetTickCount());
        PutU32(header, dh::kBlobBlockSize, GetU32(old_header, dh::kBlobBlockSize));
        header[dh::kVersion] = kTableFileVersion;
        PutU32(header, dh::kFirstFree, GetU32(old_header, dh::kFirstFree));
        PutU32(header, dh::kNextSlot, std::uint64_t{records} + 1);
        PutU32(header, dh::kLastAutoInc, GetU32(old_header, dh::kLastAutoInc));
        PutU16(header, dh::kRecordSize, record_size);
        PutU16(header, dh::kFieldCount, count);
        PutU16(header, dh::kBlobFieldCount, blob_fields);
        PutF64(header, dh::kTime, db::Now().Value);
        // Description, encrypted flag and password keep their stored bytes.
        std::copy(old_header.begin() + dh::kDescription, old_header.begin() + dh::kLanguage,
                  header.begin() + dh::kDescription);
        PutU16(header, dh::kLanguage, GetU16(old_header, dh::kLanguage));
        PutU16(header, dh::kSort, GetU16(old_header, dh::kSort));
        PutU16(header, dh::kUserWord1, GetU16(old_header, dh::kUserWord1));
        PutU16(header, dh::kUserWord2, GetU16(old_header, dh::kUserWord2));
        PutU32(header, dh::kLastBlobNumber, last_blob);
        PutU32(header, dh::kVersionStamp, kEngineVersionStamp);
        header[dh::kHeaderChanged] = kWriteInProgressFlag;
        blob_fields_ = blob_fields;

        const std::string temp = TempPath(".DAT");
        try {
            TFileHandler out;
            out.SetName(temp);
            out.SetInMemory(memory_);
            out.CreateFile();
            Append(out, header);
            std::vector<std::uint8_t> descriptors(std::size_t{count} * kFieldDescriptorSize);
            for (std::size_t i = 0; i < moves.size(); ++i) {
                std::copy(
                    moves[i].current.begin(), moves[i].current.end(),
                    descriptors.begin() + static_cast<std::ptrdiff_t>(i * kFieldDescriptorSize));
            }
            if (encrypted_)
                ScrambleBuffer(descriptors, kTableDataKeyLow, kTableDataKeyHigh);
            Append(out, descriptors);
            Log("Field definitions of " + name_ + " upgraded to latest table version " + latest_);

            const std::string stage = "Upgrading records for " + name_;
            std::vector<std::uint8_t> source(old_record_size);
            std::vector<std::uint8_t> target(record_size);
            std::vector<std::uint8_t> pending;
            pending.reserve(std::size_t{65536} + record_size);
            for (std::uint32_t r = 1; r <= records; ++r) {
                Progress(stage, static_cast<int>(std::uint64_t{r} * 100 / records));
                ReadAt(old, records_start + std::int64_t{r - 1} * old_record_size, source);
                if (encrypted_)
                    UnscrambleBuffer(source, kTableDataKeyLow, kTableDataKeyHigh);
                std::fill(target.begin(), target.end(), 0);
                std::copy_n(source.begin(), kRecordHeaderBytes, target.begin());
                for (const FieldMove& m : moves) {
                    if (m.auto_inc)
                        continue;
                    const std::size_t to = FieldOffset(m.current);
                    std::copy_n(source.begin() + m.old_offset, m.copy_size,
                                target.begin() + static_cast<std::ptrdiff_t>(to));
                    if (m.blob_position != 0) {
                        PutU32(target, to + 5,
                               std::uint64_t{r - 1} * blob_fields + m.blob_position);
                    }
                }
                if (encrypted_)
                    ScrambleBuffer(target, kTableDataKeyLow, kTableDataKeyHigh);
                pending.insert(pending.end(), target.begin(), target.end());
                if (pending.size() >= 65536) {
                    Append(out, pending);
                    pending.clear();
                }
            }
            Append(out, pending);
            out.Flush();
            out.Close();
        } catch (...) {
            old.Close();
            try {
                Delete(temp);
            } catch (...) {
            }
            throw;
        }
        old.Close();
        Log(std::to_string(records) + " records of " + name_ +
            " upgraded to latest table version " + latest_);
        return temp;
    }

    // Steps 7 to 11, each done only when still needed. The new data and index
    // files take their places together, through one journal, so that the
    // table's name never stands for a mix of old and new files.
    void Finish(std::uint8_t index_version, const std::string& data_temp) {
        std::vector<FileReplacement> swaps;
        if (!data_temp.empty())
            swaps.push_back({Path(".DAT"), data_temp, Path(".DUP")});
        try {
            if (Exists(Path(".IDX"))) {
                if (index_version == kVersion108) {
                    // The old data file cannot be opened either way, so the
                    // header may change ahead of the swap.
                    TFileHandler index;
                    OpenFile(index, Path(".IDX"));
                    WriteHeaderVersion(index, kIndexHeaderSize, encrypted_, kTableFileVersion);
                    Log("Index header of " + name_ + " upgraded to latest table version " +
                        latest_);
                } else if (index_version < kVersion108) {
                    swaps.push_back({Path(".IDX"), ReplaceOldIndex(index_version), Path(".IUP")});
                }
            }
            if (blob_fields_ > 0)
                FinishBlobFile();
            ReplaceTableFiles(SwapJournalPath(Path("")), swaps, memory_);
        } catch (...) {
            if (memory_ || !Exists(SwapJournalPath(Path("")))) {
                for (const FileReplacement& swap : swaps) {
                    try {
                        Delete(swap.staged);
                    } catch (...) {
                    }
                }
            }
            throw;
        }
        const std::string stage = "Repairing table " + name_;
        RepairTable(
            cursor_, false, 1, [&](std::uint32_t, int percent) { Progress(stage, percent); },
            [this](std::string_view line) { Log(line); });
        Log("Upgrade of table " + name_ + " to version " + latest_ + " completed at " +
            MaintenanceTimeStamp());
    }

    // The new index file beside the old one; its name.
    std::string ReplaceOldIndex(std::uint8_t index_version) {
        Progress("Upgrading index definitions for " + name_, 0);
        const std::string temp = TempPath(".IDX");
        try {
            TIndexFile index(nullptr);
            index.SetName(temp);
            index.SetInMemory(memory_);
            index.SetEncrypted(encrypted_);
            index.CreateFile();
            index.WriteHeader(true);
            index.Flush();
            index.Close();
        } catch (...) {
            try {
                Delete(temp);
            } catch (...) {
            }
            throw;
        }
        Log("Index definitions of " + name_ + " could not be carried over from table version " +
            TableVersionText(index_version) + " and must be defined again");
        return temp;
    }

    void FinishBlobFile() {
        if (!Exists(Path(".BLB"))) {
            // The references into a blob file that is gone are cleared by the
            // repair that follows; the table itself stays usable.
            DataHeader header{};
            {
                TFileHandler data;
                OpenFile(data, Path(".DAT"));
                ReadAt(data, 0, header);
            }
            TBlobFile blob(nullptr);
            blob.SetName(Path(".BLB"));
            blob.SetInMemory(memory_);
            const std::uint32_t block = GetU32(header, dh::kBlobBlockSize);
            blob.SetBlockSize(block == 0 ? kDefaultBlobBlockSize : block);
            blob.SetEncrypted(encrypted_);
            blob.CreateFile();
            blob.WriteHeader(true);
            blob.Flush();
            blob.Close();
            Log("BLOB file of " + name_ + " was missing and has been created empty");
            return;
        }
        if (BlobVersion() == kTableFileVersion)
            return;
        TFileHandler blob;
        OpenFile(blob, Path(".BLB"));
        WriteHeaderVersion(blob, kBlobHeaderSize, encrypted_, kTableFileVersion);
        Log("BLOB header of " + name_ + " upgraded to latest table version " + latest_);
    }

    TDataCursor& cursor_;
    TDataCursor::StageProgressHandler progress_;
    TDataCursor::LogHandler log_;
    TDataCursor::PasswordHandler password_;
    bool memory_;
    std::string name_;
    std::string latest_;
    bool encrypted_ = false;
    std::uint32_t blob_fields_ = 0;
};

}  // namespace

void UpgradeTable(TDataCursor& cursor, TDataCursor::StageProgressHandler progress,
                  TDataCursor::LogHandler log, TDataCursor::PasswordHandler password) {
    cursor.CheckClosed();
    cursor.CheckExclusive();
    cursor.CheckWritable();
    if (cursor.TableName().empty())
        RaiseEngineError(kErrInvalidPath);
    Upgrade(cursor, std::move(progress), std::move(log), std::move(password)).Run();
}

}  // namespace strata
