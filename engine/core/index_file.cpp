#include "engine/core/index_file.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>
#include <new>
#include <random>
#include <system_error>
#include <type_traits>

#include "engine/core/data_file.h"
#include "engine/core/header_image.h"
#include "engine/storage/byte_order.h"
#include "engine/storage/engine_error_codes.h"
#include "engine/storage/file_registry.h"
#include "engine/storage/scramble.h"
#include "engine/storage/storage_utils.h"
#include "platform/nls/nls.h"
#include "platform/nls/text.h"
#include "platform/os/clock.h"
#include "platform/os/thread.h"

namespace strata {

namespace {
constexpr std::size_t kPageCacheGrowth = 64;
constexpr int kMaxVictimsPerPage = 4;
// Moves between the tiers (a page packed, or a packed page dropped) that may make room for one
// page. A compressed page unpacks to several times what a plain page gives back when it is
// packed, so in a file that mixes compressed and plain indexes the room one compressed page
// took may need many plain victims to win back. Too few left the cache over its budget, and
// the way out of that (below) writes every changed page of both tiers at once.
constexpr int kMaxTierMovesPerPage = 16;
// The clock passes over a page used since it last came by as many times as
// TIndexFile::ChancesOf gives it before it may go. An interior page stays
// through more turns than a leaf, so that lookups scattered over a large
// tree find their path unpacked.
// The unpacked tier keeps at least this share (in sixteenths) of the budget
// before its pages move to the packed tier: enough for the interior pages
// and the pages in use, while the leaves of a large tree fit packed. Plain
// pages pack and come back cheaply, so a file of plain indexes gives the
// packed tier more room (fewer pages reread from the file); a compressed
// leaf unpacks to several times its size and costs more to rebuild. An
// eighth holds the interior pages of a million keys of a hundred bytes.
constexpr std::size_t kUnpackedSixteenthsPlain = 2;
constexpr std::size_t kUnpackedSixteenthsCompressed = 4;
// Changed packed pages written together when the oldest must go.
constexpr std::size_t kPackedWriteBatch = 64;
// A write of every changed packed page finds them through the map of the
// packed tier when they are at least this share of its length.
constexpr std::size_t kMapScanShare = 16;

// An intrusive chain of packed pages through one pair of their links.
template <class Page, class Chain>
void ChainPushNewest(Chain& chain, Page* p, Page* Page::*newer, Page* Page::*older) {
    p->*newer = nullptr;
    p->*older = chain.newest;
    if (chain.newest != nullptr)
        chain.newest->*newer = p;
    chain.newest = p;
    if (chain.oldest == nullptr)
        chain.oldest = p;
    ++chain.size;
}

template <class Page, class Chain>
void ChainRemove(Chain& chain, Page* p, Page* Page::*newer, Page* Page::*older) {
    assert(chain.size > 0);
    if (p->*newer != nullptr)
        (p->*newer)->*older = p->*older;
    else
        chain.newest = p->*older;
    if (p->*older != nullptr)
        (p->*older)->*newer = p->*newer;
    else
        chain.oldest = p->*newer;
    p->*newer = p->*older = nullptr;
    --chain.size;
}

std::size_t GetRun(const std::uint8_t* at) {
    return LoadLittle<std::uint16_t>(at);
}

// Page chunks of closed index files, shared by the process. A large cache
// is thousands of separately allocated entry buffers, and giving them back
// one by one made closing a table cost more than using it; kept here, they
// serve the next file that opens. Bounded: chunks beyond the limit are
// freed.
// Set once the reserve is destroyed at exit: index files that close later
// (held by static sessions) free their pages themselves.
bool reserve_gone = false;

struct PageReserve {
    PageReserve() = default;
    PageReserve(const PageReserve&) = delete;
    PageReserve& operator=(const PageReserve&) = delete;
    ~PageReserve() { reserve_gone = true; }
    std::mutex lock;
    std::vector<std::unique_ptr<TPage[]>> chunks;
};

PageReserve& Reserve() {
    static PageReserve reserve;
    return reserve;
}

std::mutex& RandomLock() {
    static std::mutex lock;
    return lock;
}

std::mt19937& RandomEngine() {
    static std::mt19937 engine(static_cast<std::mt19937::result_type>(
        std::chrono::steady_clock::now().time_since_epoch().count()));
    return engine;
}

bool SameIndexName(std::string_view a, std::string_view b) {
    return platform::nls::SameTextAnsi(platform::nls::Trim(a), platform::nls::Trim(b));
}
}  // namespace

std::unique_ptr<TPage[]> TakeReservedChunk() {
    if (reserve_gone)
        return nullptr;
    PageReserve& reserve = Reserve();
    const std::lock_guard guard(reserve.lock);
    if (reserve.chunks.empty())
        return nullptr;
    std::unique_ptr<TPage[]> chunk = std::move(reserve.chunks.back());
    reserve.chunks.pop_back();
    return chunk;
}

void ReserveChunks(std::vector<std::unique_ptr<TPage[]>>& chunks) {
    if (reserve_gone)
        return;
    PageReserve& reserve = Reserve();
    const std::lock_guard guard(reserve.lock);
    const std::size_t limit = kPageReserveLimit / kPagesPerReservedChunk;
    for (auto& chunk : chunks) {
        if (reserve.chunks.size() >= limit)
            break;
        reserve.chunks.push_back(std::move(chunk));
    }
}

void ReleasePageReserve() {
    PackedSlab::ReleaseReserve();
    if (reserve_gone)
        return;
    std::vector<std::unique_ptr<TPage[]>> chunks;
    {
        PageReserve& reserve = Reserve();
        const std::lock_guard guard(reserve.lock);
        chunks.swap(reserve.chunks);
    }
}

std::size_t ReservedPageCount() {
    if (reserve_gone)
        return 0;
    PageReserve& reserve = Reserve();
    const std::lock_guard guard(reserve.lock);
    return reserve.chunks.size() * kPagesPerReservedChunk;
}

// Zero runs are found a word at a time: a run covering at least one
// aligned 8-byte word, widened by the zero bytes of the words around it;
// shorter runs stay literal.
std::size_t PackPageImage(std::span<const std::uint8_t> image, std::span<std::uint8_t> packed,
                          std::size_t zeros_from) {
    assert(image.size() >= kIndexPageSize && packed.size() >= kMaxPackedImage);
    assert(zeros_from <= kIndexPageSize);
    static_assert(kIndexPageSize % 8 == 0);
    constexpr std::size_t kWords = kIndexPageSize / 8;
    const std::uint8_t* in = image.data();
    assert(
        std::all_of(in + zeros_from, in + kIndexPageSize, [](std::uint8_t b) { return b == 0; }));
    // Words from here on lie wholly among the known zeros.
    const std::size_t known = (zeros_from + 7) / 8;
    const auto word_at = [in](std::size_t w) {
        std::uint64_t word;
        std::memcpy(&word, in + 8 * w, 8);
        return word;
    };
    std::uint8_t* out = packed.data();
    const auto put_run = [&out](std::size_t n) {
        StoreLittle(out, static_cast<std::uint16_t>(n));
        out += 2;
    };
    const auto emit = [&](std::size_t literal_from, std::size_t zeros_start,
                          std::size_t zeros_end) {
        put_run(zeros_start - literal_from);
        std::memcpy(out, in + literal_from, zeros_start - literal_from);
        out += zeros_start - literal_from;
        put_run(zeros_end - zeros_start);
    };
    std::size_t literal = 0;
    std::size_t w = 0;
    while (w < kWords) {
        if (w < known && word_at(w) != 0) {
            ++w;
            continue;
        }
        // Byte order does not matter here: the zero bytes at the end of the
        // word before are counted one by one. The run of zeros after the
        // entries takes none of theirs, so the entries of a page without a
        // long run of zeros stay one run of bytes, readable where they stand.
        std::size_t from = 8 * w;
        const std::size_t floor = from >= zeros_from ? zeros_from : literal;
        while (from > literal && from > floor && in[from - 1] == 0)
            --from;
        std::size_t end = w + 1;
        while (end < known && word_at(end) == 0)
            ++end;
        if (end >= known)
            end = kWords;
        std::size_t to = 8 * end;
        while (to < kIndexPageSize && in[to] == 0)
            ++to;
        emit(literal, from, to);
        literal = to;
        w = (to + 7) / 8;
    }
    if (literal < kIndexPageSize)
        emit(literal, kIndexPageSize, kIndexPageSize);
    return static_cast<std::size_t>(out - packed.data());
}

void PackPageImage(std::span<const std::uint8_t> image, std::vector<std::uint8_t>& packed) {
    packed.resize(kMaxPackedImage);
    packed.resize(PackPageImage(image, packed, kIndexPageSize));
}

namespace {

// Unpacks the runs of `packed` into `image` until `limit` bytes are in place. With a
// `limit_of`, the limit becomes what it answers for the image once its header is in place.
template <typename LimitOf>
std::size_t UnpackRuns(std::span<const std::uint8_t> packed, std::span<std::uint8_t> image,
                       std::size_t limit, const LimitOf& limit_of) {
    assert(image.size() >= kIndexPageSize && limit <= kIndexPageSize);
    std::uint8_t* out = image.data();
    std::size_t at = 0;
    std::size_t written = 0;
    [[maybe_unused]] bool header = false;
    while (written < limit) {
        assert(at + 2 <= packed.size());
        const std::size_t literal = GetRun(packed.data() + at);
        at += 2;
        assert(at + literal + 2 <= packed.size() && written + literal <= kIndexPageSize);
        std::memcpy(out + written, packed.data() + at, literal);
        at += literal;
        written += literal;
        const std::size_t zeros = GetRun(packed.data() + at);
        at += 2;
        assert(written + zeros <= kIndexPageSize);
        if constexpr (!std::is_same_v<LimitOf, std::nullptr_t>) {
            if (!header && written + zeros >= kPageHeaderSize) {
                if (written < kPageHeaderSize)
                    std::memset(out + written, 0, kPageHeaderSize - written);
                header = true;
                limit = limit_of(image);
            }
        }
        std::memset(out + written, 0, std::min(zeros, limit > written ? limit - written : 0));
        written += zeros;
    }
    assert(at == packed.size() || limit < kIndexPageSize);
    return limit;
}

}  // namespace

void UnpackPageImage(std::span<const std::uint8_t> packed, std::span<std::uint8_t> image,
                     std::size_t limit) {
    UnpackRuns(packed, image, limit, nullptr);
}

std::uint32_t RandomLockOffset() {
    std::lock_guard guard(RandomLock());
    return std::uniform_int_distribution<std::uint32_t>(1, 65534)(RandomEngine());
}

bool TakeSharedFileWriteLock(TFileHandler& file) {
    // The write lock waits for other programs' read locks, most held only for the few calls
    // of a check for changes and a row's lock, while this writer holds the header lock and,
    // for a change, the row's: a whole step asleep here would keep every other writer, and
    // whoever wants the row, out for as long.
    return RetryFileLock([&] { return file.LockRegion(kWriteLockStart, kWriteLockLength, true); },
                         kLockTries, 3, kQuickWriteLockAttempts);
}

bool TakeSharedFileReadLock(TFileHandler& file, std::uint32_t& r) {
    // A new random byte for each attempt.
    return RetryFileLock(
        [&] {
            const std::uint32_t offset = RandomLockOffset();
            if (!file.LockRegion(kReadLockTop - offset, 1, true))
                return false;
            r = offset;
            return true;
        },
        kLockTries, 3);
}

namespace {
std::atomic<std::uint64_t> last_descriptor_stamp{0};
}  // namespace

TIndexFile::TIndexFile(TTableFileOwner* owner) : owner_(owner) {
    NoteDescriptorsChanged();
    write_buffer_.resize(4 * kIndexPageSize);
}

void TIndexFile::NoteDescriptorsChanged() noexcept {
    descriptor_stamp_ = last_descriptor_stamp.fetch_add(1, std::memory_order_relaxed) + 1;
}

TIndexFile::~TIndexFile() {
    try {
        Close();
    } catch (...) {
    }
}

std::size_t TIndexFile::SlotAt(int slot) const {
    return ih::kSlots + kIndexDescriptorSize * static_cast<std::size_t>(slot);
}

void TIndexFile::CheckSlot(int slot) const {
    if (slot < 0 || slot >= kIndexSlotCount)
        RaiseEngineError(kErrIndexPageCorrupt, Name());
}

void TIndexFile::Open() {
    if (IsOpen())
        return;
    TFileHandler::Open();
    try {
        ReadHeader();
        // Slot 31 is the hidden index, so more than 30 secondary indexes can
        // only come from a damaged header.
        if (GetIndexCount() > kMaxSecondaryIndexes)
            RaiseEngineError(kErrHeaderCorrupt, Name());
    } catch (...) {
        TFileHandler::Close();
        throw;
    }
    stats_ = {};
}

void TIndexFile::PrepareWrite() {
    unkept_offset_ = 0;
    FinishWriteBehind();
    if (owner_ != nullptr)
        owner_->BeforeWrite();
}

void TIndexFile::Write(std::span<const std::byte> data) {
    PrepareWrite();
    TFileHandler::Write(data);
}

void TIndexFile::Close() {
    try {
        FinishWriteBehind();
    } catch (...) {
        StopHelper();
        ReleaseAllPages();
        try {
            if (IsOpen())
                TFileHandler::Close();
        } catch (...) {
            // The helper's failure came first and is the one reported.
        }
        throw;
    }
    StopHelper();
    ReleaseAllPages();
    if (IsOpen())
        TFileHandler::Close();
}

bool TIndexFile::BeginWriteBehind() {
    FinishWriteBehind();
    if (!IsOpen() || !WritesAt())
        return false;
    behind_.keeping = true;
    behind_.handed_off = false;
    return true;
}

void TIndexFile::WriteImages(std::uint32_t offset, const std::uint8_t* data, std::size_t bytes) {
    unkept_offset_ = 0;
    if (!behind_.keeping) {
        const FileObjectWriteLock lock(*this);
        SeekFile(offset, SeekOrigin::kBegin);
        Write(data, bytes);
        return;
    }
    // The files' in-progress mark and the deferred file locks come before the bytes leave.
    if (owner_ != nullptr)
        owner_->BeforeWrite();
    // Images built in ImageSpace are in place already.
    std::uint8_t* space = ImageSpace(bytes);
    if (space != data)
        std::memcpy(space, data, bytes);
    behind_.block_used += bytes;
    behind_.pending.push_back({offset, space, bytes});
    behind_.pending_bytes += bytes;
    // Room for the pending runs is made here, where a failure may be raised, so that handing
    // them over never needs more.
    const std::size_t want = behind_.runs.size() + behind_.pending.size();
    if (behind_.runs.capacity() < want) {
        const std::lock_guard lock(behind_.mutex);
        behind_.runs.reserve(2 * want);
    }
    // The helper gets the runs a block's worth at a time, so that neither side waits for the
    // other's lock at every page.
    if (behind_.pending_bytes >= WriteBehind::kBlockBytes)
        PublishRuns(true);
}

void TIndexFile::PublishRuns(bool start) noexcept {
    WriteBehind& b = behind_;
    if (b.pending.empty())
        return;
    bool idle = false;
    {
        const std::lock_guard lock(b.mutex);
        b.runs.insert(b.runs.end(), b.pending.begin(), b.pending.end());
        idle = b.idle;
    }
    b.pending.clear();
    b.pending_bytes = 0;
    if (b.session)
        ForgetForkedHelper();
    if (b.session) {
        if (idle)
            b.helper->wake.notify_one();
    } else if (start) {
        (void)StartHelper(true);  // Without a thread the runs wait for the hand-off.
    }
}

std::uint8_t* TIndexFile::ImageSpace(std::size_t bytes) {
    if (!behind_.keeping) {
        if (write_buffer_.size() < bytes)
            write_buffer_.resize(bytes);
        return write_buffer_.data();
    }
    // The blocks stay from one flush to the next, so their bytes are not cleared again.
    WriteBehind& b = behind_;
    for (;; ++b.block, b.block_used = 0) {
        if (b.block == b.blocks.size())
            b.blocks.push_back({});
        WriteBehind::Block& block = b.blocks[b.block];
        if (block.size - b.block_used >= bytes)
            return block.data.get() + b.block_used;
        // No run of this flush stands in an unused block. Images fill every byte they are
        // given, so the block's bytes need no clearing.
        if (b.block_used == 0) {
            block.size = std::max(WriteBehind::kBlockBytes, bytes);
            block.data = std::make_unique_for_overwrite<std::uint8_t[]>(block.size);
            return block.data.get();
        }
    }
}

void TIndexFile::IndexKeptPages() {
    behind_.pages.clear();
    for (const WriteBehind::Run& run : behind_.runs) {
        if (run.offset < kIndexHeaderSize)
            continue;
        for (std::size_t b = 0; b < run.bytes; b += kIndexPageSize)
            behind_.pages.emplace_back(run.offset + static_cast<std::uint32_t>(b), run.data + b);
    }
    // A page kept twice has its later image found.
    std::stable_sort(behind_.pages.begin(), behind_.pages.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
}

void TIndexFile::ForgetWrittenRuns() noexcept {
    if (behind_.written < behind_.runs.size())
        return;
    behind_.block = 0;
    behind_.block_used = 0;
    behind_.runs.clear();
    behind_.pages.clear();
    behind_.written = 0;
}

void TIndexFile::ForgetForkedHelper() noexcept {
    WriteBehind& b = behind_;
    if (b.helper == nullptr || b.helper->process == platform::os::CurrentProcessId())
        return;
    // Neither joined nor destroyed: its thread is not in this process, and its condition
    // variables may count the parent's waiter. Whatever was handed to it is written by the
    // caller (FinishWriteBehind).
    (void)b.helper.release();  // NOLINT(bugprone-unused-return-value): left to the parent
    b.session = b.running = b.quit = false;
}

bool TIndexFile::StartHelper(bool more) {
    WriteBehind& b = behind_;
    ForgetForkedHelper();
    if (b.helper == nullptr) {
        try {
            auto helper = std::make_unique<WriteBehind::Helper>();
            helper->thread = std::thread([this, h = helper.get()] { HelperMain(*h); });
            helper->process = platform::os::CurrentProcessId();
            b.helper = std::move(helper);
        } catch (const std::system_error&) {
            return false;
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    {
        const std::lock_guard lock(b.mutex);
        b.more = more;
        b.running = true;
    }
    b.session = true;
    b.helper->wake.notify_one();
    return true;
}

void TIndexFile::HelperMain(WriteBehind::Helper& helper) noexcept {
    WriteBehind& b = behind_;
    std::unique_lock lock(b.mutex);
    for (;;) {
        helper.wake.wait(lock, [&] { return b.running || b.quit; });
        if (!b.running)
            return;
        WriteRunsBehind(helper, lock);
        b.running = false;
        helper.settled.notify_one();
    }
}

void TIndexFile::WriteRunsBehind(WriteBehind::Helper& helper,
                                 std::unique_lock<std::mutex>& lock) noexcept {
    WriteBehind& b = behind_;
    // The runs are taken as many at a time as there are, so the caller keeping them seldom
    // finds the lock held.
    std::vector<WriteBehind::Run> taken;
    for (;;) {
        b.idle = true;
        helper.wake.wait(lock, [&] { return b.written < b.runs.size() || !b.more; });
        b.idle = false;
        if (b.written == b.runs.size())
            break;
        taken.assign(b.runs.begin() + static_cast<std::ptrdiff_t>(b.written), b.runs.end());
        lock.unlock();
        std::size_t done = 0;
        std::exception_ptr failure;
        try {
            for (; done < taken.size(); ++done) {
                const WriteBehind::Run& run = taken[done];
                WriteAt(run.offset, std::as_bytes(std::span(run.data, run.bytes)));
            }
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        b.written += done;
        if (failure) {
            b.failure = failure;
            break;
        }
    }
    const bool handed = !b.failure && b.handed_off;
    const bool release = handed && b.release_lock;
    b.handed_off = false;
    lock.unlock();
    // Before the lock goes, so that a program that sees the flush whole sees the mark off.
    if (handed && owner_ != nullptr)
        owner_->KeptPagesWritten();
    if (release) {
        b.unlock_failed = !LockRegion(kWriteLockStart, kWriteLockLength, false);
        b.release_lock = false;
    }
    lock.lock();
}

void TIndexFile::JoinHelper() noexcept {
    PublishRuns(false);
    WriteBehind& b = behind_;
    if (!b.session)
        return;
    ForgetForkedHelper();
    if (!b.session)
        return;
    b.session = false;
    std::unique_lock lock(b.mutex);
    b.more = false;
    // A helper at work looks at `more` before it waits again, and one done with the flush
    // waits for the next: only one waiting for runs needs waking (a wake costs a switch).
    if (b.running && b.idle)
        b.helper->wake.notify_one();
    b.helper->settled.wait(lock, [&] { return !b.running; });
}

void TIndexFile::StopHelper() noexcept {
    JoinHelper();
    ForgetForkedHelper();
    WriteBehind& b = behind_;
    if (b.helper == nullptr)
        return;
    {
        const std::lock_guard lock(b.mutex);
        b.quit = true;
    }
    b.helper->wake.notify_one();
    b.helper->thread.join();
    b.helper.reset();
    b.quit = false;
}

void TIndexFile::HandOffKeptPages(bool release_write_lock) {
    PublishRuns(true);
    behind_.keeping = false;
    IndexKeptPages();
    if (behind_.session) {
        bool idle = false;
        {
            const std::lock_guard lock(behind_.mutex);
            behind_.release_lock = release_write_lock;
            behind_.handed_off = true;
            behind_.more = false;
            idle = behind_.idle;
        }
        if (idle)
            behind_.helper->wake.notify_one();
        return;
    }
    behind_.release_lock = release_write_lock;
    behind_.handed_off = true;
    if (behind_.written == behind_.runs.size() && !release_write_lock) {
        behind_.handed_off = false;
        if (owner_ != nullptr)
            owner_->KeptPagesWritten();
        return;
    }
    if (StartHelper(false))
        return;
    // No thread to be had: the writes happen here, the owner hears of them before the lock goes.
    behind_.handed_off = false;
    WriteRuns();
    if (!behind_.failure && owner_ != nullptr)
        owner_->KeptPagesWritten();
    FinishWriteBehind();
}

void TIndexFile::WriteRuns() noexcept {
    try {
        for (; behind_.written < behind_.runs.size(); ++behind_.written) {
            const WriteBehind::Run& run = behind_.runs[behind_.written];
            WriteAt(run.offset, std::as_bytes(std::span(run.data, run.bytes)));
        }
    } catch (...) {
        behind_.failure = std::current_exception();
    }
}

void TIndexFile::WriteKeptNow() noexcept {
    behind_.keeping = false;
    JoinHelper();
    try {
        IndexKeptPages();
    } catch (...) {
        // Without the index the bytes are still written below; only a failed write needs it.
    }
    WriteRuns();
    // A failed write is tried again by the next FinishWriteBehind.
    behind_.failure = nullptr;
    ForgetWrittenRuns();
}

void TIndexFile::SettleWriteBehind() noexcept {
    JoinHelper();
    // A failed write leaves the lock to be released here: the synchronous flush lets it go
    // after a failure too.
    if (behind_.release_lock) {
        behind_.release_lock = false;
        if (!LockRegion(kWriteLockStart, kWriteLockLength, false))
            behind_.unlock_failed = true;
    }
}

void TIndexFile::FinishWriteBehind() {
    SettleWriteBehind();
    // A helper's failed write is tried once more here: only a second failure is raised.
    behind_.failure = nullptr;
    std::exception_ptr failure;
    if (behind_.written < behind_.runs.size()) {
        WriteRuns();
        failure = std::exchange(behind_.failure, nullptr);
    }
    const bool unlock_failed = std::exchange(behind_.unlock_failed, false);
    ForgetWrittenRuns();
    if (failure)
        std::rethrow_exception(failure);
    if (unlock_failed)
        RaiseEngineError(kErrLockFailure, Name());
}

const std::uint8_t* TIndexFile::KeptImage(std::uint32_t offset) const {
    if (behind_.pages.empty())
        return nullptr;
    const auto found =
        std::upper_bound(behind_.pages.begin(), behind_.pages.end(), offset,
                         [](std::uint32_t value, const auto& page) { return value < page.first; });
    if (found == behind_.pages.begin() || std::prev(found)->first != offset)
        return nullptr;
    return std::prev(found)->second;
}

void TIndexFile::ReadPageBytes(std::uint32_t offset, std::span<std::uint8_t> bytes) {
    if (const std::uint8_t* kept = KeptImage(offset); kept != nullptr) {
        assert(bytes.size() <= kIndexPageSize);
        std::memcpy(bytes.data(), kept, bytes.size());
        return;
    }
    if (offset != 0 && offset == std::exchange(unkept_offset_, 0)) {
        assert(bytes.size() <= kIndexPageSize);
        std::memcpy(bytes.data(), unkept_image_.data(), bytes.size());
        return;
    }
    const FileObjectLock lock(*this);
    SeekFile(offset, SeekOrigin::kBegin);
    Read(bytes.data(), bytes.size());
}

void TIndexFile::CreateFile() {
    CountEdit();
    TFileHandler::CreateFile();
    header_.fill(0);
    header_[ih::kVersion] = kTableFileVersion;
    PutU32(header_, ih::kNextPage, kIndexPageSize);
    const std::size_t hidden = SlotAt(kHiddenIndexSlot);
    PutShortString(header_, hidden + ixd::kName, ixd::kNameLength, kHiddenIndexName);
    PutU16(header_, hidden + ixd::kKeySize, 5);
    NoteDescriptorsChanged();
    SetHeaderChanged();
    ClearPageCaches(true);
    stats_ = {};
}

void TIndexFile::ReadRawHeader(IndexHeader& header) {
    FinishWriteBehind();
    ReadHeaderImage(*this, header, encrypted_);
    header[ih::kHeaderChanged] = 0;
}

void TIndexFile::ReadHeader() {
    CountEdit();
    // Taken first, so that a read that fails part way leaves no state built before it good.
    NoteDescriptorsChanged();
    ReadRawHeader(header_);
    changes_.Clear();
}

bool TIndexFile::HeaderChanged() {
    // Most checks find the counter as it was, and its four bytes tell so: the whole page is
    // read only when it moved.
    FinishWriteBehind();
    std::array<std::uint8_t, 4> counter{};
    {
        const FileObjectLock lock(*this);
        SeekFile(ih::kChangeCounter, SeekOrigin::kBegin);
        Read(counter.data(), counter.size());
    }
    static_assert(ih::kChangeCounter == 0, "the scrambling runs from the header's start");
    if (encrypted_)
        UnscrambleBuffer(counter, kTableDataKeyLow, kTableDataKeyHigh);
    if (GetU32(counter, 0) == GetChangeCounter())
        return false;
    IndexHeader h{};
    ReadRawHeader(h);
    if (!changes_.Adopt(header_, h))
        return false;
    NoteDescriptorsChanged();
    CountEdit();
    return true;
}

void TIndexFile::WriteHeader(bool force) {
    if (!changes_.WriteDue(force))
        return;
    changes_.Write(header_, [&] {
        if (!behind_.keeping) {
            WriteHeaderImage(*this, header_, encrypted_);
            return;
        }
        IndexHeader image = header_;
        if (encrypted_)
            ScrambleBuffer(image, kTableDataKeyLow, kTableDataKeyHigh);
        WriteImages(0, image.data(), image.size());
    });
}

void TIndexFile::MarkChanged() {
    changes_.CountChange(header_);
    if (owner_ != nullptr)
        owner_->MarkWritten();
}

void TIndexFile::EmptyIndexFile() {
    CountEdit();
    ClearPageCaches(true);
    {
        const FileObjectWriteLock lock(*this);
        SeekFile(kIndexHeaderSize, SeekOrigin::kBegin);
        Write(std::span<const std::byte>{});
    }
    PutU32(header_, ih::kNextPage, kIndexPageSize);
    PutU32(header_, ih::kRecordCount, 0);
    for (int slot = 0; slot < kIndexSlotCount; ++slot) {
        PutU32(header_, SlotAt(slot) + ixd::kRoot, 0);
        PutU32(header_, SlotAt(slot) + ixd::kFreePage, 0);
    }
    SetHeaderChanged();
}

void TIndexFile::CheckIndexDefinition(const IndexDescriptor& d, std::string_view index_name) const {
    const std::size_t fields = IndexFieldCount(d);
    if (fields > ixd::kMaxFields)
        RaiseEngineError(kErrIndexLimit, Name(), {}, index_name);
    if (IndexKeySize(d) > kMaxIndexKeySize || d[ixd::kCompression] > 3) {
        RaiseEngineError(kErrInvalidKeySize, Name(), {}, index_name);
    }
    if (data_file_ == nullptr)
        return;
    for (std::size_t i = 0; i < fields; ++i) {
        const auto field = data_file_->FindFieldDescriptor(IndexFieldNumber(d, i));
        if (!field) {
            RaiseEngineError(kErrInvalidIndexField, Name(), std::to_string(IndexFieldNumber(d, i)),
                             index_name);
        }
        if (FieldType(*field) == 3) {
            RaiseEngineError(kErrInvalidIndexFieldType, Name(), {}, index_name);
        }
    }
}

void TIndexFile::SetPrimaryIndex(const IndexDescriptor& d) {
    const std::size_t at = SlotAt(0);
    if (IndexFieldCount(d) > 0 && !GetNoPrimaryIndex() && header_[at + ixd::kFieldCount] > 0) {
        RaiseEngineError(kErrPrimaryIndexExists, Name(), {}, "Primary");
    }
    CheckIndexDefinition(d, "Primary");
    StorePrimaryIndex(d);
}

void TIndexFile::ReplacePrimaryIndex(const IndexDescriptor& d) {
    CheckIndexDefinition(d, "Primary");
    // The pages the emptied tree gave back stay on the index's free chain.
    const std::uint32_t free_page = GetNoPrimaryIndex() ? 0 : GetFreePage(0);
    // Cached pages carry the old key settings.
    FlushPages();
    ClearPageCaches(true);
    StorePrimaryIndex(d);
    if (IndexFieldCount(d) > 0)
        PutU32(header_, SlotAt(0) + ixd::kFreePage, free_page);
}

void TIndexFile::StorePrimaryIndex(const IndexDescriptor& d) {
    const std::size_t at = SlotAt(0);
    std::fill(header_.begin() + at, header_.begin() + at + kIndexDescriptorSize, 0);
    if (IndexFieldCount(d) == 0) {
        header_[ih::kNoPrimary] = 1;
    } else {
        header_[ih::kNoPrimary] = 0;
        std::memcpy(&header_[at], d.data(), kIndexDescriptorSize);
        PutShortString(header_, at + ixd::kName, ixd::kNameLength, "");
        header_[at + ixd::kUnique] = 1;
        PutU32(header_, at + ixd::kRoot, 0);
        PutU32(header_, at + ixd::kFreePage, 0);
        header_[at + ixd::kRemovalMark] = 0;
    }
    NoteDescriptorsChanged();
    SetHeaderChanged();
}

void TIndexFile::AddIndex(const IndexDescriptor& d) {
    const std::string name = IndexName(d);
    if (GetIndexCount() >= kMaxSecondaryIndexes)
        RaiseEngineError(kErrIndexLimit, Name(), {}, name);
    if (IndexFieldCount(d) > ixd::kMaxFields)
        RaiseEngineError(kErrIndexLimit, Name(), {}, name);
    const std::string_view trimmed = platform::nls::Trim(name);
    if (trimmed.empty())
        RaiseEngineError(kErrIndexNameMissing, Name(), {}, name);
    if (!IsIdentStartChar(static_cast<unsigned char>(trimmed.front()))) {
        RaiseEngineError(kErrInvalidIndexName, Name(), {}, name);
    }
    for (int slot = 1; slot <= GetIndexCount(); ++slot) {
        if (SameIndexName(IndexName(GetIndexDescriptor(slot)), name)) {
            RaiseEngineError(kErrIndexExists, Name(), {}, name);
        }
    }
    CheckIndexDefinition(d, name);
    const int slot = GetIndexCount() + 1;
    std::memcpy(&header_[SlotAt(slot)], d.data(), kIndexDescriptorSize);
    PutU32(header_, SlotAt(slot) + ixd::kRoot, 0);
    PutU32(header_, SlotAt(slot) + ixd::kFreePage, 0);
    header_[SlotAt(slot) + ixd::kRemovalMark] = 0;
    header_[ih::kIndexCount] = static_cast<std::uint8_t>(slot);
    NoteDescriptorsChanged();
    SetHeaderChanged();
}

void TIndexFile::DeleteIndex(int slot) {
    CheckSlot(slot);
    if (slot == 0) {
        std::fill(header_.begin() + SlotAt(0), header_.begin() + SlotAt(1), 0);
        header_[ih::kNoPrimary] = 1;
        NoteDescriptorsChanged();
        SetHeaderChanged();
        return;
    }
    const int count = GetIndexCount();
    if (slot > count)
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    // Cached pages belong to slot numbers that are about to move.
    FlushPages();
    ClearPageCaches(true);
    IndexDescriptor removed = GetIndexDescriptor(slot);
    for (int s = slot; s < count; ++s) {
        std::memcpy(&header_[SlotAt(s)], &header_[SlotAt(s + 1)], kIndexDescriptorSize);
    }
    // The removed descriptor is kept just beyond the new last slot.
    std::memcpy(&header_[SlotAt(count)], removed.data(), kIndexDescriptorSize);
    header_[ih::kIndexCount] = static_cast<std::uint8_t>(count - 1);
    NoteDescriptorsChanged();
    SetHeaderChanged();
}

void TIndexFile::SetIndexDescriptor(int slot, const IndexDescriptor& d) {
    CheckSlot(slot);
    const std::size_t at = SlotAt(slot);
    std::memcpy(&header_[at + ixd::kName], &d[ixd::kName], ixd::kNameLength + 1);
    PutU16(header_, at + ixd::kKeySize, IndexKeySize(d));
    std::memcpy(&header_[at + ixd::kDescending], &d[ixd::kDescending], 5);
    std::memcpy(&header_[at + ixd::kFieldDescending], &d[ixd::kFieldDescending], 16);
    std::memcpy(&header_[at + ixd::kFieldNumbers], &d[ixd::kFieldNumbers], 32);
    PutU32(header_, at + ixd::kRoot, 0);
    NoteDescriptorsChanged();
    FlushPages();
    ClearPageCaches(true);
    SetHeaderChanged();
}

void TIndexFile::SetIndexFields(int slot, std::string_view name,
                                std::span<const std::uint16_t> fields) {
    CheckSlot(slot);
    if (fields.size() > ixd::kMaxFields)
        RaiseEngineError(kErrIndexLimit, Name(), {}, name);
    const std::size_t at = SlotAt(slot);
    PutShortString(header_, at + ixd::kName, ixd::kNameLength, name);
    for (std::size_t i = 0; i < ixd::kMaxFields; ++i) {
        PutU16(header_, at + ixd::kFieldNumbers + 2 * i, i < fields.size() ? fields[i] : 0);
    }
    NoteDescriptorsChanged();
    SetHeaderChanged();
}

IndexDescriptor TIndexFile::GetIndexDescriptor(int slot) const {
    CheckSlot(slot);
    IndexDescriptor d{};
    std::memcpy(d.data(), &header_[SlotAt(slot)], kIndexDescriptorSize);
    return d;
}

std::vector<std::uint16_t> TIndexFile::GetIndexFields(int slot) const {
    const IndexDescriptor d = GetIndexDescriptor(slot);
    std::vector<std::uint16_t> fields;
    for (std::size_t i = 0; i < std::min<std::size_t>(IndexFieldCount(d), ixd::kMaxFields); ++i) {
        fields.push_back(IndexFieldNumber(d, i));
    }
    return fields;
}

void TIndexFile::SetRoot(int slot, std::uint32_t page) {
    CountEdit();
    CheckSlot(slot);
    PutU32(header_, SlotAt(slot) + ixd::kRoot, page);
    SetHeaderChanged();
}

std::uint32_t TIndexFile::GetFreePage(int slot) const {
    CheckSlot(slot);
    return GetU32(header_, SlotAt(slot) + ixd::kFreePage);
}

void TIndexFile::SetFreePage(int slot, std::uint32_t page) {
    CheckSlot(slot);
    PutU32(header_, SlotAt(slot) + ixd::kFreePage, page);
    SetHeaderChanged();
}

void TIndexFile::SetRecordCount(std::uint32_t count) {
    PutU32(header_, ih::kRecordCount, count);
    SetHeaderChanged();
}

void TIndexFile::IncRecordCount() {
    SetRecordCount(GetRecordCount() + 1);
}

void TIndexFile::DecRecordCount() {
    if (GetRecordCount() > 0)
        SetRecordCount(GetRecordCount() - 1);
}

void TIndexFile::ChainUnlink(PageChain& chain, TPage* p) {
    assert(chain.size > 0);
    if (p->lru_prev_)
        p->lru_prev_->lru_next_ = p->lru_next_;
    else
        chain.head = p->lru_next_;
    if (p->lru_next_)
        p->lru_next_->lru_prev_ = p->lru_prev_;
    else
        chain.tail = p->lru_prev_;
    p->lru_prev_ = p->lru_next_ = nullptr;
    --chain.size;
}

void TIndexFile::ChainPushFront(PageChain& chain, TPage* p) {
    assert(p->lru_prev_ == nullptr && p->lru_next_ == nullptr && chain.head != p);
    p->lru_next_ = chain.head;
    if (chain.head)
        chain.head->lru_prev_ = p;
    chain.head = p;
    if (!chain.tail)
        chain.tail = p;
    ++chain.size;
}

TPage* TIndexFile::FindCachedPage(int slot, std::uint32_t offset) {
    CheckSlot(slot);
    TPage* p = CachedAt(offset);
    return p != nullptr && p->Slot() == slot ? p : nullptr;
}

void TIndexFile::NoteDirty(TPage& page) {
    // A page changed before it joins the cache (while it is read or set up)
    // takes its chain from its state when it joins.
    if (CachedAt(page.Offset()) != &page)
        return;
    ChainUnlink(clean_, &page);
    page.cache_listed_dirty_ = true;
    ChainPushFront(dirty_, &page);
    SetDirtyBit(page.Offset(), true);
    if (PackedPage* packed = PackedAt(page.Offset()); packed != nullptr) {
        assert(!packed->dirty);
        DropPacked(packed);
    }
}

TPage* TIndexFile::AllocatePage() {
    if (!free_pages_.empty()) {
        TPage* page = free_pages_.back();
        free_pages_.pop_back();
        page->Clear();
        page->ResetPins();
        page->lru_prev_ = page->lru_next_ = nullptr;
        page->cache_listed_dirty_ = false;
        return page;
    }
    if (chunk_used_ == kPagesPerChunk) {
        std::unique_ptr<TPage[]> chunk = TakeReservedChunk();
        page_chunks_.push_back(chunk ? std::move(chunk)
                                     : std::make_unique<TPage[]>(kPagesPerChunk));
        chunk_used_ = 0;
    }
    TPage* page = &page_chunks_.back()[chunk_used_++];
    page->Recycle(this);
    return page;
}

TPage* TIndexFile::InsertCached(int slot, TPage* page) {
    const std::size_t n = page->Offset() / kIndexPageSize;
    if (n >= page_map_.size()) {
        const std::size_t size = std::max<std::size_t>(n + 1, page_map_.size() * 3 / 2);
        // The bits first: they always cover the map.
        dirty_bits_.resize((size + 63) / 64, 0);
        page_map_.resize(size, nullptr);
    }
    if (page_map_[n] != nullptr) {
        free_pages_.push_back(page);
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    }
    assert(page->Slot() == slot && page->lru_prev_ == nullptr && page->lru_next_ == nullptr);
    assert(PackedAt(page->Offset()) == nullptr ||
           (!PackedAt(page->Offset())->dirty && !page->Changed()));
    page_map_[n] = page;
    // A page just appended has no kind yet; its first use gives it its
    // chances.
    page->cache_referenced_ = 1;
    page->cache_scanned_ = false;
    page->cache_listed_dirty_ = page->Changed();
    ChainPushFront(page->cache_listed_dirty_ ? dirty_ : clean_, page);
    SetDirtyBit(page->Offset(), page->cache_listed_dirty_);
    ++slot_sizes_[static_cast<std::size_t>(slot)];
    ++cached_total_;
    page->cache_charge_ = 0;
    Recharge(page);
    assert(clean_.size + dirty_.size == cached_total_);
    return page;
}

void TIndexFile::NoteMemoryChange(TPage& page) {
    // Only a page the cache counts has a charge; one being read or set up is counted when
    // it joins.
    if (page.cache_charge_ != 0)
        Recharge(&page);
}

bool TIndexFile::CacheHasRoom() const {
    return cached_bytes_ + packed_bytes_ + kIndexPageSize <= ByteBudget();
}

void TIndexFile::Recharge(TPage* page) {
    const std::size_t cost = kPageObjectCharge + page->MemoryBytes();
    cached_bytes_ = cached_bytes_ - page->cache_charge_ + cost;
    page->cache_charge_ = cost;
}

void TIndexFile::ReleaseToFreeList(TPage* page) {
    // Its entry buffer goes too, so the memory leaves with the page.
    page->ReleaseMemory();
    page->Clear();
    free_pages_.push_back(page);
}

void TIndexFile::DropCached(TPage* page) {
    assert(CachedAt(page->Offset()) == page);
    ChainUnlink(page->cache_listed_dirty_ ? dirty_ : clean_, page);
    page->cache_listed_dirty_ = false;
    SetDirtyBit(page->Offset(), false);
    page_map_[page->Offset() / kIndexPageSize] = nullptr;
    --slot_sizes_[static_cast<std::size_t>(page->Slot())];
    --cached_total_;
    assert(cached_bytes_ >= page->cache_charge_);
    cached_bytes_ -= page->cache_charge_;
    page->cache_charge_ = 0;
    assert(clean_.size + dirty_.size == cached_total_);
}

// Second chance over the clean chain: the tail is the oldest; a referenced
// or pinned page moves to the head with one chance fewer. Each page is
// looked at no more than kInteriorChances + 1 times, so a search costs the
// same whatever the share of changed pages, which never stand on this chain.
// With `skip_slot` set, that slot's pages are passed over.
TPage* TIndexFile::CleanVictim(int skip_slot) {
    for (std::size_t step = 0, limit = (kInteriorChances + 1) * clean_.size; step < limit; ++step) {
        TPage* p = clean_.tail;
        assert(p != nullptr && !p->cache_listed_dirty_);
        if (p->PinCount() == 0 && p->cache_referenced_ == 0 && p->Slot() != skip_slot) {
            DropCached(p);
            return p;
        }
        if (p->cache_referenced_ > 0)
            --p->cache_referenced_;
        ChainUnlink(clean_, p);
        ChainPushFront(clean_, p);
    }
    return nullptr;
}

// The same second chance over the changed pages, for the packed tier.
TPage* TIndexFile::DirtyVictim() {
    for (std::size_t step = 0, limit = (kInteriorChances + 1) * dirty_.size; step < limit; ++step) {
        TPage* p = dirty_.tail;
        assert(p != nullptr && p->cache_listed_dirty_);
        if (p->PinCount() == 0 && p->cache_referenced_ == 0) {
            DropCached(p);
            return p;
        }
        if (p->cache_referenced_ > 0)
            --p->cache_referenced_;
        ChainUnlink(dirty_, p);
        ChainPushFront(dirty_, p);
    }
    return nullptr;
}

TPage* TIndexFile::SettledVictim() {
    while (settled_count_ > 0) {
        settled_next_ = (settled_next_ + kSettledPages - 1) % kSettledPages;
        --settled_count_;
        const std::uint32_t offset = settled_[settled_next_];
        TPage* p = CachedAt(offset);
        if (p == nullptr || p->PinCount() != 0 || p->IsInterior() || p->Free() ||
            offset == lookup_leaf_ || offset == changed_lookup_leaf_) {
            continue;
        }
        DropCached(p);
        ++stats_.settled_victims;
        return p;
    }
    return nullptr;
}

TPage* TIndexFile::PassedVictim() {
    while (passed_count_ > 0) {
        const std::uint32_t offset = passed_[passed_first_];
        passed_first_ = (passed_first_ + 1) % kPassedPages;
        --passed_count_;
        TPage* p = CachedAt(offset);
        // A page freed and taken again since may be a run's leaf once more. Changed pages
        // wait for the flush inside an update batch.
        if (p == nullptr || p->PinCount() != 0 || p->IsInterior() || p->Free() ||
            offset == lookup_leaf_ || offset == changed_lookup_leaf_ ||
            offset == LastRemoval(p->Slot()).leaf || offset == LastInsertion(p->Slot()).leaf ||
            (p->Changed() && InBatch())) {
            continue;
        }
        if (p->Changed()) {
            if (!behind_.keeping)
                FinishWriteBehind();
            std::uint8_t* image = ImageSpace(kIndexPageSize);
            try {
                p->WritePage(std::span(image, kIndexPageSize));
                WriteImages(offset, image, kIndexPageSize);
            } catch (...) {
                p->SetChanged(true);
                throw;
            }
            ++stats_.writes;
            if (owner_ != nullptr)
                owner_->MarkWritten();
        }
        DropCached(p);
        // Its buffer grew with the run's edits; the page that takes the object next sizes its
        // own. A compressed leaf's entries serve the next one as they are.
        if (!p->Compressed())
            p->ReleaseMemory();
        ++stats_.passed_victims;
        return p;
    }
    return nullptr;
}

void TIndexFile::PackPage(TPage* page) {
    assert(page->PinCount() == 0 && CachedAt(page->Offset()) == nullptr);
    if (!page->Changed()) {
        if (PackedAt(page->Offset()) != nullptr || page->cache_scanned_)
            return;
    }
    assert(PackedAt(page->Offset()) == nullptr);
    // The image is what a write would put in the file, so a packed page
    // reads back exactly as if it had been written and read again. A victim
    // has mostly left the processor's cache: its entries are asked for at
    // once, rather than met line by line as they are packed.
    page->PrefetchEntries();
    const bool dirty = page->Changed();
    std::array<std::uint8_t, kMaxPackedImage> bytes;
    const std::size_t size = PackPageEntries(*page, bytes);
    PackedPage* packed = AllocatePacked(size);
    std::memcpy(packed->Data(), bytes.data(), size);
    packed->offset = page->Offset();
    packed->slot = page->Slot();
    packed->dirty = dirty;
    LinkPacked(packed);
}

std::size_t TIndexFile::PackPageEntries(TPage& page, std::span<std::uint8_t> packed) {
    assert(packed.size() >= kMaxPackedImage);
    // A compressed leaf's entries are mostly packed already, but may hold
    // zeros of their own (of a field amid the key): its image is packed.
    if ((page.owner_ != nullptr && page.owner_->Encrypted()) || page.free_ || page.Compressed()) {
        std::array<std::uint8_t, kIndexPageSize> image;
        const std::size_t zeros_from = page.WritePage(image);
        return PackPageImage(image, packed, zeros_from);
    }
    const auto put_run = [](std::uint8_t* at, std::size_t n) {
        StoreLittle(at, static_cast<std::uint16_t>(n));
    };
    // Entries at full width: their padding becomes runs of zeros and the
    // rest is copied once, with no image put together first.
    const std::size_t k = page.key_size_;
    const std::size_t size = k + (page.IsInterior() ? 8 : 4);
    const auto count = static_cast<std::size_t>(page.count_);
    if (kPageHeaderSize + size * count > kIndexPageSize)
        RaiseEngineError(kErrIndexPageCorrupt, page.owner_ != nullptr ? page.owner_->Name() : "");
    std::uint8_t* run = packed.data();
    std::uint8_t* out = run + 2;
    const auto zeros = [&](std::size_t n) {
        put_run(run, static_cast<std::size_t>(out - run - 2));
        put_run(out, n);
        run = out + 2;
        out = run + 2;
    };
    const std::span<std::uint8_t> header(out, kPageHeaderSize);
    std::fill(header.begin(), header.end(), 0);
    header[0] = static_cast<std::uint8_t>(page.kind_);
    PutU16(header, 1, count);
    PutU32(header, 3, page.previous_);
    PutU32(header, 7, page.next_);
    out += kPageHeaderSize;
    const auto word_at = [](const std::uint8_t* at) {
        std::uint64_t word;
        std::memcpy(&word, at, 8);
        return word;
    };
    // Zero bytes at the low and the high addresses of a nonzero word.
    const auto zero_bytes_at_start = [](std::uint64_t word) {
        return static_cast<std::size_t>(std::endian::native == std::endian::little
                                            ? std::countr_zero(word)
                                            : std::countl_zero(word)) /
               8;
    };
    const auto zero_bytes_at_end = [](std::uint64_t word) {
        return static_cast<std::size_t>(std::endian::native == std::endian::little
                                            ? std::countl_zero(word)
                                            : std::countr_zero(word)) /
               8;
    };
    for (std::size_t n = 1; n <= count; ++n) {
        const std::uint8_t* entry = page.EntryAt(static_cast<std::int64_t>(n));
        // As PackPageImage: a run of zeros covering a word found at a step,
        // widened by the zero bytes around it.
        std::size_t literal = 0;
        std::size_t i = 0;
        while (i + 8 <= size) {
            if (word_at(entry + i) != 0) {
                i += 8;
                continue;
            }
            // The zero bytes that end the nonzero word before (which lies
            // wholly after the last run) and begin the one after, counted in
            // the words rather than byte by byte.
            std::size_t from = i;
            if (i > literal)
                from -= zero_bytes_at_end(word_at(entry + i - 8));
            std::size_t to = i + 8;
            while (to + 8 <= size && word_at(entry + to) == 0)
                to += 8;
            if (to + 8 <= size) {
                to += zero_bytes_at_start(word_at(entry + to));
            } else {
                while (to < size && entry[to] == 0)
                    ++to;
            }
            CopyShort(out, entry + literal, from - literal);
            out += from - literal;
            zeros(to - from);
            literal = i = to;
        }
        CopyShort(out, entry + literal, size - literal);
        out += size - literal;
    }
    zeros(kIndexPageSize - kPageHeaderSize - size * count);
    page.changed_ = false;
    // The last run of literal bytes is empty.
    return static_cast<std::size_t>(run - packed.data());
}

bool TIndexFile::PlainPacked(const PackedPage& packed) const {
    // Only pages packed from their entries begin with their header whole.
    const std::span<const std::uint8_t> data = packed.Bytes();
    if (encrypted_ || data.size() < 2 + kPageHeaderSize || GetRun(data.data()) < kPageHeaderSize)
        return false;
    const std::uint8_t kind = data[2];
    return kind == static_cast<std::uint8_t>(PageKind::kRoot) ||
           kind == static_cast<std::uint8_t>(PageKind::kInterior) ||
           header_[SlotAt(packed.slot) + ixd::kCompression] == 0;
}

void TIndexFile::ReadPlainPacked(std::span<const std::uint8_t> packed, TPage& page) const {
    // As TPage::ReadPage, from the runs: the entries start zeroed, so only
    // the literal bytes are copied, each to its entry.
    if (packed.size() < 2 + kPageHeaderSize || GetRun(packed.data()) < kPageHeaderSize)
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    const std::span<const std::uint8_t> header = packed.subspan(2, kPageHeaderSize);
    if (header[0] > 3)
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    page.kind_ = static_cast<PageKind>(header[0]);
    const auto count = static_cast<std::size_t>(GetU16(header, 1));
    page.previous_ = GetU32(header, 3);
    page.next_ = GetU32(header, 7);
    page.free_ = false;
    page.changed_ = false;
    page.edit_ = page.read_ = 1;
    page.count_ = 0;
    page.used_ = 0;
    page.entries_.clear();
    page.front_ = 0;
    if (page.compact_)
        page.compact_->Clear();
    page.DropHeads();
    assert(!page.Compressed());
    const std::size_t k = page.key_size_;
    const std::size_t size = k + (page.IsInterior() ? 8 : 4);
    const std::size_t end = kPageHeaderSize + count * size;
    if (static_cast<std::int64_t>(count) > page.Capacity() || end > kIndexPageSize)
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    const std::size_t stride = page.Stride();
    page.FitEntries(count * stride, TPage::EntryFit::kRead);
    page.entries_.assign(count * stride, 0);
    std::uint8_t* entries = page.entries_.data();
    std::size_t at = 0;
    std::size_t x = 0;
    while (x < end) {
        assert(at + 2 <= packed.size());
        const std::size_t literal = GetRun(packed.data() + at);
        at += 2;
        assert(at + literal + 2 <= packed.size());
        std::size_t from = std::max(x, kPageHeaderSize);
        const std::size_t to = std::min(x + literal, end);
        const std::uint8_t* source = packed.data() + at + (from - x);
        while (from < to) {
            const std::size_t n = (from - kPageHeaderSize) / size;
            const std::size_t o = (from - kPageHeaderSize) % size;
            const std::size_t chunk = std::min(to - from, size - o);
            std::memcpy(entries + n * stride + o, source, chunk);
            source += chunk;
            from += chunk;
        }
        at += literal;
        x += literal + GetRun(packed.data() + at);
        at += 2;
    }
    if (page.IsLeaf()) {
        for (std::size_t n = 0; n < count; ++n)
            PutU32(std::span(entries + n * stride + k, 12), 4, 1);
    }
    page.count_ = static_cast<std::int64_t>(count);
    page.used_ = count * size;
    if (page.HeadsWanted())
        page.MakeHeads();
}

TIndexFile::PackedPage* TIndexFile::AllocatePacked(std::size_t bytes) {
    static_assert(sizeof(PackedPage) % alignof(PackedPage) == 0);
    assert(bytes <= PackedSlab::kLargestSlot - sizeof(PackedPage));
    auto* packed = new (packed_slab_.Allocate(sizeof(PackedPage) + bytes)) PackedPage;
    packed->size = static_cast<std::uint16_t>(bytes);
    return packed;
}

void TIndexFile::FreePacked(PackedPage* packed) {
    assert(packed->newer == nullptr && packed->older == nullptr);
    static_assert(std::is_trivially_destructible_v<PackedPage>);
    packed_slab_.Free(packed);
}

void TIndexFile::LinkPacked(PackedPage* p) {
    const std::size_t n = p->offset / kIndexPageSize;
    if (n >= packed_map_.size())
        packed_map_.resize(std::max<std::size_t>(n + 1, packed_map_.size() * 3 / 2), nullptr);
    assert(packed_map_[n] == nullptr);
    packed_map_[n] = p;
    ChainPushNewest(packed_, p, &PackedPage::newer, &PackedPage::older);
    if (p->dirty)
        ChainPushNewest(packed_changed_, p, &PackedPage::changed_newer, &PackedPage::changed_older);
    packed_bytes_ += PackedCharge(*p);
}

void TIndexFile::UnlinkPacked(PackedPage* p) {
    if (p->offset == seek_offset_)
        seek_offset_ = 0;
    const std::size_t n = p->offset / kIndexPageSize;
    assert(packed_map_[n] == p);
    packed_map_[n] = nullptr;
    ChainRemove(packed_, p, &PackedPage::newer, &PackedPage::older);
    if (p->dirty)
        ChainRemove(packed_changed_, p, &PackedPage::changed_newer, &PackedPage::changed_older);
    assert(packed_bytes_ >= PackedCharge(*p));
    packed_bytes_ -= PackedCharge(*p);
}

bool TIndexFile::WritePackedPages(std::size_t limit) {
    if (!behind_.keeping)
        FinishWriteBehind();
    std::vector<PackedPage*>& batch = packed_batch_;
    batch.clear();
    if (packed_changed_.size == 0)
        return false;
    if (limit == 0 && packed_changed_.size >= packed_map_.size() / kMapScanShare) {
        // Most of the tier to write: the map gives the pages in file order,
        // each looked at independently of the one before, where a walk along
        // the chain waits for every page in turn and the sort reads them all
        // again.
        batch.reserve(packed_changed_.size);
        constexpr std::size_t kAhead = 8;
        const std::size_t n = packed_map_.size();
        for (std::size_t i = 0; i < n; ++i) {
            if (i + kAhead < n && packed_map_[i + kAhead] != nullptr)
                __builtin_prefetch(packed_map_[i + kAhead]);
            PackedPage* p = packed_map_[i];
            if (p != nullptr && p->dirty)
                batch.push_back(p);
        }
        assert(batch.size() == packed_changed_.size);
    } else {
        // A few pages: the walk has just read each of them, so the sort finds
        // them in the processor's cache.
        for (PackedPage* p = packed_changed_.oldest;
             p != nullptr && (limit == 0 || batch.size() < limit); p = p->changed_newer) {
            assert(p->dirty);
            batch.push_back(p);
        }
        std::sort(batch.begin(), batch.end(),
                  [](const PackedPage* a, const PackedPage* b) { return a->offset < b->offset; });
    }
    // When every changed page goes, the chain is emptied at the end instead
    // of unlinking each page from neighbours standing anywhere in memory.
    const bool whole = batch.size() == packed_changed_.size;
    const auto unlink = [this](PackedPage* p) {
        ChainRemove(packed_changed_, p, &PackedPage::changed_newer, &PackedPage::changed_older);
    };
    std::size_t i = 0;
    try {
        while (i < batch.size()) {
            std::size_t j = i + 1;
            while (j < batch.size() && j - i < kMaxPagesPerWrite &&
                   batch[j]->offset == batch[j - 1]->offset + kIndexPageSize) {
                ++j;
            }
            const std::size_t bytes = (j - i) * kIndexPageSize;
            std::uint8_t* images = ImageSpace(bytes);
            // The next pages' bytes arrive while these are written.
            for (std::size_t k = j; k < std::min(batch.size(), j + 2); ++k)
                PrefetchPacked(*batch[k]);
            for (std::size_t k = i; k < j; ++k) {
                UnpackPageImage(batch[k]->Bytes(),
                                std::span(images + (k - i) * kIndexPageSize, kIndexPageSize));
            }
            WriteImages(batch[i]->offset, images, bytes);
            for (std::size_t k = i; k < j; ++k) {
                if (!whole)
                    unlink(batch[k]);
                batch[k]->dirty = false;
            }
            ++stats_.writes;
            if (owner_ != nullptr)
                owner_->MarkWritten();
            i = j;
        }
    } catch (...) {
        // The pages written so far leave the chain; the others stay changed.
        if (whole) {
            for (std::size_t k = 0; k < i; ++k)
                unlink(batch[k]);
        }
        throw;
    }
    if (whole)
        packed_changed_ = {};
    return true;
}

bool TIndexFile::DropOldestPacked() {
    PackedPage* oldest = packed_.oldest;
    if (oldest == nullptr)
        return false;
    if (oldest->dirty) {
        if (InBatch())
            return false;
        WritePackedPages(kPackedWriteBatch);
    }
    assert(!oldest->dirty);
    DropPacked(oldest);
    return true;
}

void TIndexFile::DropPackedPages(bool all) {
    for (PackedPage* p = packed_.oldest; p != nullptr;) {
        PackedPage* newer = p->newer;
        if (all || p->slot != kHiddenIndexSlot)
            DropPacked(p);
        p = newer;
    }
}

bool TIndexFile::AnyCompressedIndex() const {
    const auto compressed = [this](int slot) {
        return header_[SlotAt(slot) + ixd::kCompression] != 0;
    };
    if (!GetNoPrimaryIndex() && compressed(0))
        return true;
    const int count = std::min(GetIndexCount(), kMaxSecondaryIndexes);
    for (int slot = 1; slot <= count; ++slot) {
        if (compressed(slot))
            return true;
    }
    return false;
}

std::size_t TIndexFile::PageBudget() const {
    // Every index in use (with the primary and the hidden one) may keep
    // kPageCacheCapacity pages; they share the sum, so a large index can use
    // what the small ones leave.
    const auto slots =
        static_cast<std::size_t>(std::min(GetIndexCount(), kMaxSecondaryIndexes)) + 2;
    return slots * page_capacity_ + budget_growth_;
}

// The budget counts memory, not pages: a compressed page unpacks to more
// than its 4096 bytes, so fewer of those fit.
std::size_t TIndexFile::ByteBudget() const {
    return PageBudget() * kIndexPageSize;
}

TPage* TIndexFile::TakeCachePage() {
    const std::size_t budget = ByteBudget();
    if (cached_bytes_ + packed_bytes_ + kIndexPageSize <= budget)
        return AllocatePage();
    // Room comes first from moving unpacked pages beyond their share to the
    // packed tier, else from the oldest packed pages.
    {
        const bool compressed = AnyCompressedIndex();
        const std::size_t unpacked_sixteenths =
            compressed ? kUnpackedSixteenthsCompressed : kUnpackedSixteenthsPlain;
        // A leaf a run has left goes whole, with nothing packed for it.
        TPage* reused = PassedVictim();
        for (int taken = 0; taken < kMaxTierMovesPerPage &&
                            cached_bytes_ + packed_bytes_ + kIndexPageSize > budget;
             ++taken) {
            if (16 * cached_bytes_ > unpacked_sixteenths * budget) {
                // Then clean pages, while there are a fair number of them. A
                // compressed leaf is packed through its image, so packing it
                // early saves less than the unpacked leaf it spares is worth.
                TPage* victim = compressed ? nullptr : SettledVictim();
                if (victim == nullptr && 4 * clean_.size >= cached_total_)
                    victim = CleanVictim(-1);
                if (victim == nullptr)
                    victim = DirtyVictim();
                if (victim == nullptr)
                    victim = CleanVictim(-1);
                if (victim == nullptr)
                    break;
                const bool changed = victim->Changed();
                try {
                    PackPage(victim);
                } catch (...) {
                    // Nothing is lost: the page stays unpacked as it was.
                    victim->changed_ = changed;
                    InsertCached(victim->Slot(), victim);
                    if (reused != nullptr)
                        ReleaseToFreeList(reused);
                    throw;
                }
                if (reused != nullptr)
                    ReleaseToFreeList(reused);
                reused = victim;
            } else if (!DropOldestPacked()) {
                break;
            }
        }
        if (reused != nullptr) {
            PrefetchNextVictim();
            reused->Clear();
            reused->ResetPins();
            return reused;
        }
        if (cached_bytes_ + packed_bytes_ + kIndexPageSize <= budget)
            return AllocatePage();
    }
    // Write-behind: once changed pages fill a share of the cache, they go out
    // together (few, ordered writes) before reads find no clean page to reuse.
    if (4 * dirty_.size > kDirtyQuarters * cached_total_ && !InBatch())
        FlushPages();
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Pages that grew since they were counted may take a few victims to
        // make room (the last one is reused); a few, so that pages in use
        // beyond the budget never make one call sweep the whole cache.
        TPage* reused = nullptr;
        for (int taken = 0; taken < kMaxVictimsPerPage; ++taken) {
            TPage* victim = CleanVictim(-1);
            if (victim == nullptr)
                break;
            if (reused != nullptr)
                ReleaseToFreeList(reused);
            reused = victim;
            if (cached_bytes_ + kIndexPageSize <= budget)
                break;
        }
        if (reused != nullptr) {
            reused->Clear();
            reused->ResetPins();
            return reused;
        }
        if (attempt == 0) {
            if (InBatch() || !FlushPages())
                break;
        }
    }
    // The pages in use (pinned or unwritten) may fill the memory alone when
    // they hold many keys; the number of pages still bounds the cache.
    if (cached_total_ < PageBudget())
        return AllocatePage();
    if (InBatch()) {
        budget_growth_ += kPageCacheGrowth;
        return AllocatePage();
    }
    RaiseEngineError(kErrIndexPageCorrupt, Name());
}

void TIndexFile::SetupPage(TPage& page, int slot, std::uint32_t offset) const {
    const std::size_t at = SlotAt(slot);
    page.Setup(slot, GetU16(header_, at + ixd::kKeySize), header_[at + ixd::kDescending] != 0,
               header_[at + ixd::kUnique] != 0, header_[at + ixd::kCompression], offset);
}

bool TIndexFile::GetPage(TFileCursor* cursor, int slot, std::uint32_t offset, TPage*& page,
                         bool scan) {
    page = nullptr;
    CheckSlot(slot);
    const std::uint32_t next = GetNextPageOffset();
    if (offset == 0 || offset % kIndexPageSize != 0 || offset > next) {
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    }
    if (offset == next) {
        if (std::int64_t{next} + static_cast<std::int64_t>(kIndexPageSize) > kMaxTableFileSize) {
            RaiseEngineError(kErrTableFull, Name());
        }
        TPage* fresh = TakeCachePage();
        try {
            SetupPage(*fresh, slot, offset);
        } catch (...) {
            free_pages_.push_back(fresh);
            throw;
        }
        fresh->Clear();
        if (PackedAt(offset) != nullptr)
            DropPacked(PackedAt(offset));  // left over from a file cut short
        page = InsertCached(slot, fresh);
        fresh->SetChanged(true);
        fresh->Pin();
        PutU32(header_, ih::kNextPage, std::uint64_t{next} + kIndexPageSize);
        SetHeaderChanged();
        return true;
    }
    TPage* found = CachedAt(offset);
    bool read_by_scan = false;
    if (found != nullptr) {
        // A page reached from two indexes means a damaged tree.
        if (found->Slot() != slot)
            RaiseEngineError(kErrIndexPageCorrupt, Name());
        ++stats_.hits;
        Recharge(found);
    } else if (PackedPage* packed = PackedAt(offset); packed != nullptr) {
        if (packed->slot != slot)
            RaiseEngineError(kErrIndexPageCorrupt, Name());
        std::array<std::uint8_t, kIndexPageSize> bytes;
        std::span<const std::uint8_t> image = bytes;
        // A lookup may have just unpacked its entries (the key a delete is
        // about to remove). Else the page leaves the packed tier while room
        // is made for it, so that cannot write or drop it, and its bytes
        // arrive meanwhile; an unchanged page goes back as the newest.
        PackedPage* held = nullptr;
        if (offset == seek_offset_) {
            std::fill(seek_image_.begin() + static_cast<std::ptrdiff_t>(seek_size_),
                      seek_image_.end(), 0);
            image = seek_image_;
            seek_offset_ = 0;
            if (packed->dirty) {
                held = packed;
                UnlinkPacked(held);
            }
        } else {
            held = packed;
            PrefetchPacked(*held);
            UnlinkPacked(held);
        }
        if (held != nullptr && held->dirty)
            PackedSlab::PrefetchFree(held);
        const bool changed = packed->dirty;
        packed = nullptr;
        TPage* fresh = nullptr;
        try {
            fresh = TakeCachePage();
            SetupPage(*fresh, slot, offset);
            if (image.data() == seek_image_.data()) {
                fresh->ReadPage(image, false);
            } else if (PlainPacked(*held)) {
                // Entries at full width are unpacked straight into them.
                ReadPlainPacked(held->Bytes(), *fresh);
            } else {
                UnpackPageImage(held->Bytes(), bytes);
                fresh->ReadPage(image, false);
            }
        } catch (...) {
            if (fresh != nullptr)
                free_pages_.push_back(fresh);
            if (held != nullptr)
                LinkPacked(held);
            throw;
        }
        fresh->changed_ = changed;
        if (held != nullptr && changed)
            FreePacked(held);
        else if (held != nullptr)
            LinkPacked(held);
        ++stats_.packed_hits;
        found = InsertCached(slot, fresh);
    } else {
        if (cursor != nullptr && cursor->RecheckTableChanged())
            return false;
        std::array<std::uint8_t, kIndexPageSize> bytes;
        // The leaf a lookup just searched unkept comes from its bytes, with no read.
        const bool unkept = offset == unkept_offset_ && KeptImage(offset) == nullptr;
        ReadPageBytes(offset, bytes);
        stats_.reads += unkept ? 0 : 1;
        if (scan)
            RecycleOldScanRead();
        found = CacheReadPage(slot, offset, bytes);
        read_by_scan = scan;
        if (scan) {
            scan_reads_[scan_reads_next_] = offset;
            scan_reads_next_ = (scan_reads_next_ + 1) % scan_reads_.size();
        }
    }
    if (found->Offset() != offset)
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    if (read_by_scan) {
        found->cache_scanned_ = true;
        found->cache_referenced_ = 0;
    } else {
        if (!scan)
            found->cache_scanned_ = false;
        found->cache_referenced_ = ChancesOf(*found);
    }
    found->Pin();
    page = found;
    return true;
}

void TIndexFile::RecycleOldScanRead() {
    const std::uint32_t oldest = scan_reads_[scan_reads_next_];
    if (oldest == 0)
        return;
    TPage* page = CachedAt(oldest);
    // As any clean page no one holds, it can be read again when needed.
    if (page == nullptr || page->PinCount() != 0 || page->IsInterior() ||
        page->cache_listed_dirty_ || page->Changed())
        return;
    DropCached(page);
    ReleaseToFreeList(page);
}

TPage* TIndexFile::GetPageMissed(int slot, std::uint32_t offset) {
    TPage* page = nullptr;
    if (!GetPage(Reader(), slot, offset, page))
        throw TableChangedUnder();
    return page;
}

TPage* TIndexFile::GetScanPage(int slot, std::uint32_t offset) {
    TPage* page = nullptr;
    if (!GetPage(Reader(), slot, offset, page, true))
        throw TableChangedUnder();
    return page;
}

std::uint32_t TIndexFile::ReadLeafRecords(int slot, std::uint32_t offset,
                                          std::vector<std::uint32_t>& records, std::int64_t count) {
    CheckSlot(slot);
    if (offset == 0 || offset % kIndexPageSize != 0 || offset >= GetNextPageOffset())
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    std::uint32_t next = 0;
    if (TPage* page = CachedAt(offset); page != nullptr) {
        if (page->Slot() != slot || !page->IsLeaf())
            RaiseEngineError(kErrIndexPageCorrupt, Name());
        ++stats_.hits;
        page->cache_referenced_ = ChancesOf(*page);
        records.resize(static_cast<std::size_t>(page->EntryCount()));
        for (std::int64_t pos = 1; pos <= page->EntryCount(); ++pos)
            records[static_cast<std::size_t>(pos - 1)] = page->PointerAt(pos);
        next = page->Next();
    } else {
        SetupPage(leaf_reader_, slot, offset);
        std::array<std::uint8_t, kIndexPageSize> bytes;
        // The entries of a plain leaf of a known count fill just the front of its page, and
        // the parse never looks past its entries.
        const std::size_t size = LeafEntriesEnd(count);
        if (const PackedPage* packed = PackedAt(offset); packed != nullptr) {
            if (packed->slot != slot)
                RaiseEngineError(kErrIndexPageCorrupt, Name());
            UnpackPageImage(packed->Bytes(), bytes, size);
            ++stats_.packed_hits;
            if (size < kIndexPageSize && GetU16(bytes, 1) != count)
                RaiseEngineError(kErrIndexPageCorrupt, Name());
        } else {
            // Pages in neither tier are the same in the file (or kept for a write-behind).
            if (TFileCursor* reader = Reader(); reader != nullptr && reader->RecheckTableChanged())
                throw TableChangedUnder();
            ReadPageBytes(offset, std::span(bytes).first(size));
            ++stats_.scan_reads;
            ++stats_.scan_calls;
            if (size < kIndexPageSize && GetU16(bytes, 1) != count)
                RaiseEngineError(kErrIndexPageCorrupt, Name());
        }
        next = leaf_reader_.ReadLeafRecords(bytes, records);
    }
    if (count >= 0 && records.size() != static_cast<std::size_t>(count))
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    return next;
}

TIndexFile::PackedSeek TIndexFile::SeekPackedLeaf(int slot, std::uint32_t offset,
                                                  const std::uint8_t* key,
                                                  const KeyCompare& compare, std::int64_t& position,
                                                  std::uint32_t& record, std::uint8_t* found) {
    CheckSlot(slot);
    PackedPage* packed = PackedAt(offset);
    const bool compressed = header_[SlotAt(slot) + ixd::kCompression] != 0;
    // A scrambled image is unscrambled whole; such pages are unpacked as before.
    if (encrypted_ || CachedAt(offset) != nullptr ||
        (2 * lookups_changed_ > kLookupsWeighed && compressed)) {
        return PackedSeek::kNotPacked;
    }
    // A compressed leaf in neither tier of a full cache is read into the packed tier and
    // searched there: one read, and neither its entries taken apart nor another page's put
    // back together to make room for it.
    if (packed == nullptr && compressed &&
        cached_bytes_ + packed_bytes_ + kIndexPageSize > ByteBudget()) {
        const PackedSeek seek =
            SeekUncachedLeaf(slot, offset, key, compare, position, record, found, packed);
        if (seek != PackedSeek::kNotPacked)
            return seek;
    }
    if (packed == nullptr)
        return PackedSeek::kNotPacked;
    if (packed->slot != slot)
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    SetupPage(leaf_reader_, slot, offset);
    // A leaf's entries seldom hold a run of zeros long enough to be packed
    // apart: the packed bytes are searched where they stand when its first
    // run of literal bytes holds them all.
    const std::span<const std::uint8_t> data = packed->Bytes();
    std::span<const std::uint8_t> image;
    if (const std::size_t literal = GetRun(data.data()); literal >= kPageHeaderSize) {
        image = data.subspan(2, literal);
        if (LeafImageEnd(image) > literal)
            image = {};
    }
    seek_offset_ = 0;
    if (image.empty()) {
        seek_size_ = UnpackLeafEntries(data, seek_image_);
        seek_offset_ = offset;
        image = seek_image_;
    }
    // Pages above the leaves are read as pages.
    if (image[0] != static_cast<std::uint8_t>(PageKind::kLeaf) &&
        image[0] != static_cast<std::uint8_t>(PageKind::kRootLeaf)) {
        seek_offset_ = 0;
        return PackedSeek::kNotPacked;
    }
    ++stats_.packed_seeks;
    if (packed != packed_.newest) {
        ChainRemove(packed_, packed, &PackedPage::newer, &PackedPage::older);
        ChainPushNewest(packed_, packed, &PackedPage::newer, &PackedPage::older);
    }
    return leaf_reader_.SeekInLeafImage(image, key, compare, position, record, found)
               ? PackedSeek::kFound
               : PackedSeek::kAllBelow;
}

TIndexFile::PackedPage* TIndexFile::PackedLeafWithout(int slot, std::uint32_t offset,
                                                      const std::uint8_t* key,
                                                      const KeyCompare& compare,
                                                      const std::uint8_t*& new_first) {
    CheckSlot(slot);
    const PackedPage* packed = PackedAt(offset);
    // Scrambled images and compressed leaves go through their pages, and anything unexpected
    // is left to that path to report.
    if (packed == nullptr || encrypted_ || packed->slot != slot || CachedAt(offset) != nullptr ||
        header_[SlotAt(slot) + ixd::kCompression] != 0) {
        return nullptr;
    }
    // Pages above the leaves show their kind in their first byte.
    const std::span<const std::uint8_t> data = packed->Bytes();
    if (data.size() > 2 && GetRun(data.data()) > 0 &&
        data[2] != static_cast<std::uint8_t>(PageKind::kLeaf)) {
        return nullptr;
    }
    SetupPage(leaf_reader_, slot, offset);
    const auto capacity =
        static_cast<std::size_t>(TPage::Capacity(leaf_reader_.KeySize(), false, 0));
    // A leaf about to fall below half shows it in the count at the front of its first run,
    // before anything is unpacked.
    if (data.size() >= 5 && GetRun(data.data()) >= 3) {
        const std::size_t stored = GetU16(data, 3);
        if (stored == 0 || stored - 1 < capacity / 2)
            return nullptr;
    }
    // A lookup that just found the key unpacked the same entries: they serve again.
    const bool seen = offset == seek_offset_;
    std::span<std::uint8_t> image = seen ? std::span<std::uint8_t>(seek_image_) : removal_image_;
    const std::size_t unpacked = seen ? seek_size_ : UnpackLeafEntries(data, image);
    if (image[0] != static_cast<std::uint8_t>(PageKind::kLeaf))
        return nullptr;
    const std::size_t count = GetU16(image, 1);
    const std::size_t size = leaf_reader_.KeySize() + 4;
    const std::size_t end = kPageHeaderSize + count * size;
    // Below half full the leaf merges or takes entries from a neighbour.
    if (count == 0 || count > capacity || end > unpacked || count - 1 < capacity / 2)
        return nullptr;
    std::uint8_t* const entries = image.data() + kPageHeaderSize;
    const std::size_t low = LowerBoundEntry(entries, count, size, key, compare);
    if (low == count || compare(key, entries + low * size) != 0)
        return nullptr;
    // The first key stands in the parents as well: the caller puts the next one there.
    new_first = low == 0 ? entries + size : nullptr;
    // The image changes from here on: the lookup's no longer shows the packed page.
    if (seen)
        seek_offset_ = 0;
    // The new runs: the old ones without the removed entry's bytes, the header's count one
    // less and the zeros at the end longer by the entry. The runs wholly before the entry and
    // those wholly after it are copied as they are; the ones it touches are cut, and runs of
    // one kind that come to meet are joined.
    PutU16(image, 1, count - 1);
    const std::size_t cut = kPageHeaderSize + low * size;
    std::uint8_t* out = removal_packed_.data();
    std::size_t at = 0;
    std::size_t x = 0;
    // Whole runs before the entry, when the first run holds the header.
    if (GetRun(data.data()) >= kPageHeaderSize) {
        while (at + 4 <= data.size()) {
            const std::size_t run = GetRun(data.data() + at);
            if (at + 4 + run > data.size())
                return nullptr;
            const std::size_t run_zeros = GetRun(data.data() + at + 2 + run);
            if (x + run + run_zeros > cut)
                break;
            at += 4 + run;
            x += run + run_zeros;
        }
    }
    std::memcpy(out, data.data(), at);
    if (at > 0)
        std::memcpy(out + 2 + 1, image.data() + 1, 2);
    out += at;
    std::uint8_t* literal_at = out;
    std::size_t literal = 0;
    std::size_t zeros = 0;
    out += 2;
    const auto close_runs = [&] {
        StoreLittle(literal_at, static_cast<std::uint16_t>(literal));
        StoreLittle(out, static_cast<std::uint16_t>(zeros));
        out += 2;
    };
    const auto put_bytes = [&](const std::uint8_t* from, std::size_t n) {
        if (n == 0)
            return;
        if (zeros > 0) {
            close_runs();
            literal_at = out;
            out += 2;
            literal = zeros = 0;
        }
        std::memcpy(out, from, n);
        out += n;
        literal += n;
    };
    // The header comes from the image where the runs before the entry were not copied.
    const std::size_t first = at == 0 ? kPageHeaderSize : x;
    if (at == 0)
        put_bytes(image.data(), kPageHeaderSize);
    // What of [from, to) of the old image stays.
    const auto kept = [&](std::size_t from, std::size_t to, auto&& put) {
        if (std::max(from, first) < std::min(to, cut))
            put(std::max(from, first), std::min(to, cut));
        if (std::max(from, cut + size) < to)
            put(std::max(from, cut + size), to);
    };
    while (x < cut + size && at + 4 <= data.size()) {
        const std::size_t run = GetRun(data.data() + at);
        if (at + 4 + run > data.size())
            return nullptr;
        const std::uint8_t* bytes = data.data() + at + 2;
        kept(x, x + run,
             [&](std::size_t from, std::size_t to) { put_bytes(bytes + (from - x), to - from); });
        at += 2 + run;
        x += run;
        const std::size_t run_zeros = GetRun(data.data() + at);
        kept(x, x + run_zeros, [&](std::size_t from, std::size_t to) { zeros += to - from; });
        at += 2;
        x += run_zeros;
    }
    if (x < cut + size)
        return nullptr;
    if (at == data.size()) {
        if (x != kIndexPageSize)
            return nullptr;
        zeros += size;
        close_runs();
    } else {
        close_runs();
        // The runs after the entry, the zeros at their end longer by it.
        const std::size_t rest = data.size() - at;
        std::memcpy(out, data.data() + at, rest);
        out += rest;
        const std::size_t last = GetRun(out - 2) + size;
        if (last > kIndexPageSize)
            return nullptr;
        StoreLittle(out - 2, static_cast<std::uint16_t>(last));
    }
    const auto bytes = static_cast<std::size_t>(out - removal_packed_.data());
    if (bytes > PackedSlab::kLargestSlot - sizeof(PackedPage))
        return nullptr;
    PackedPage* fresh = AllocatePacked(bytes);
    std::memcpy(fresh->Data(), removal_packed_.data(), bytes);
    fresh->slot = slot;
    fresh->offset = offset;
    fresh->dirty = true;
    return fresh;
}

void TIndexFile::ReplacePacked(PackedPage* fresh) {
    PackedPage* old = PackedAt(fresh->offset);
    assert(old != nullptr && old->slot == fresh->slot);
    UnlinkPacked(old);
    FreePacked(old);
    LinkPacked(fresh);
    CountEdit(fresh->slot);
    NoteLeafChange(fresh->offset);
}

bool TIndexFile::SharePackedLeaves(int slot, const TPage& parent, std::int64_t position,
                                   const std::uint8_t* key, const KeyCompare& compare,
                                   PackedShare& share) {
    CheckSlot(slot);
    // A table's change outside an update batch (a cursor's delete, its next lookup elsewhere)
    // keeps to the pages: measured there, sharing packed leaves out did not pay.
    if (owner_ != nullptr && !owner_->InUpdateBatch())
        return false;
    // As TPage::Rebalance picks the neighbour: the right one for a first child, else the left.
    if (encrypted_ || header_[SlotAt(slot) + ixd::kCompression] != 0 || parent.IsLeaf() ||
        parent.EntryCount() < 2 || position < 1 || position > parent.EntryCount()) {
        return false;
    }
    const std::uint32_t leaf = parent.PointerAt(position);
    const std::uint32_t other = parent.PointerAt(position == 1 ? 2 : position - 1);
    const PackedPage* packed_leaf = PackedAt(leaf);
    const PackedPage* packed_other = PackedAt(other);
    if (packed_leaf == nullptr || packed_other == nullptr || leaf == other ||
        packed_leaf->slot != slot || packed_other->slot != slot || CachedAt(leaf) != nullptr ||
        CachedAt(other) != nullptr) {
        return false;
    }
    SetupPage(leaf_reader_, slot, leaf);
    const std::size_t k = leaf_reader_.KeySize();
    const std::size_t size = k + 4;
    const auto capacity =
        static_cast<std::size_t>(TPage::Capacity(leaf_reader_.KeySize(), false, 0));
    // The leaf's count shows at the front of its first run whether it falls below half; one
    // that stays at least half full is RemoveFromPackedLeaf's.
    const std::span<const std::uint8_t> leaf_data = packed_leaf->Bytes();
    if (leaf_data.size() > 2 && GetRun(leaf_data.data()) > 0 &&
        leaf_data[2] != static_cast<std::uint8_t>(PageKind::kLeaf)) {
        return false;
    }
    if (leaf_data.size() >= 5 && GetRun(leaf_data.data()) >= 3) {
        const std::size_t stored = GetU16(leaf_data, 3);
        if (stored == 0 || stored - 1 >= capacity / 2)
            return false;
    }
    if (!share_images_)
        share_images_ = std::make_unique<std::array<std::uint8_t, 4 * kIndexPageSize>>();
    const std::span<std::uint8_t> images(*share_images_);
    const std::span<std::uint8_t> leaf_image = images.subspan(0, kIndexPageSize);
    const std::span<std::uint8_t> other_image = images.subspan(kIndexPageSize, kIndexPageSize);
    const std::size_t leaf_unpacked = UnpackLeafEntries(leaf_data, leaf_image);
    const std::size_t other_unpacked = UnpackLeafEntries(packed_other->Bytes(), other_image);
    const auto leaf_kind = static_cast<std::uint8_t>(PageKind::kLeaf);
    if (leaf_image[0] != leaf_kind || other_image[0] != leaf_kind)
        return false;
    const std::size_t leaf_count = GetU16(leaf_image, 1);
    const std::size_t other_count = GetU16(other_image, 1);
    if (leaf_count == 0 || leaf_count > capacity || other_count > capacity ||
        kPageHeaderSize + leaf_count * size > leaf_unpacked ||
        kPageHeaderSize + other_count * size > other_unpacked || leaf_count - 1 >= capacity / 2) {
        return false;
    }
    // Fewer entries than a page holds merge into one page: that frees a page and relinks the
    // level, which the pages do unpacked.
    const std::size_t total = leaf_count - 1 + other_count;
    if (total < capacity)
        return false;
    const bool leaf_is_left = position == 1;
    const std::span<std::uint8_t> left_image = leaf_is_left ? leaf_image : other_image;
    const std::span<std::uint8_t> right_image = leaf_is_left ? other_image : leaf_image;
    // Neighbours in the parent that do not name each other are left to the pages, which
    // report the damage.
    if (GetU32(left_image, 7) != (leaf_is_left ? other : leaf) ||
        GetU32(right_image, 3) != (leaf_is_left ? leaf : other)) {
        return false;
    }
    const std::uint8_t* leaf_entries = leaf_image.data() + kPageHeaderSize;
    const std::size_t low = LowerBoundEntry(leaf_entries, leaf_count, size, key, compare);
    if (low == leaf_count || compare(key, leaf_entries + low * size) != 0)
        return false;
    // The entries of both in key order without the removed one, as runs of whole entries.
    struct Run {
        const std::uint8_t* from;
        std::size_t entries;
    };
    const std::uint8_t* other_entries = other_image.data() + kPageHeaderSize;
    const Run before_cut{leaf_entries, low};
    const Run after_cut{leaf_entries + (low + 1) * size, leaf_count - low - 1};
    const Run neighbour{other_entries, other_count};
    const std::array<Run, 3> runs = leaf_is_left
                                        ? std::array<Run, 3>{before_cut, after_cut, neighbour}
                                        : std::array<Run, 3>{neighbour, before_cut, after_cut};
    const std::size_t keep = (total + 1) / 2;
    const std::span<std::uint8_t> new_left = images.subspan(2 * kIndexPageSize, kIndexPageSize);
    const std::span<std::uint8_t> new_right = images.subspan(3 * kIndexPageSize, kIndexPageSize);
    // Headers as TPage::WritePage writes a plain leaf's: kind, count, links, no used bytes.
    const auto start = [&](std::span<std::uint8_t> to, std::span<const std::uint8_t> from,
                           std::size_t count) {
        std::memcpy(to.data(), from.data(), kPageHeaderSize);
        PutU16(to, 1, count);
        PutU16(to, 11, 0);
    };
    start(new_left, left_image, keep);
    start(new_right, right_image, total - keep);
    std::size_t placed = 0;
    for (const Run& run : runs) {
        for (std::size_t n = 0; n < run.entries;) {
            const bool to_left = placed < keep;
            const std::size_t at = to_left ? placed : placed - keep;
            const std::size_t take =
                std::min(run.entries - n, to_left ? keep - placed : run.entries);
            std::uint8_t* to =
                (to_left ? new_left : new_right).data() + kPageHeaderSize + at * size;
            std::memcpy(to, run.from + n * size, take * size);
            n += take;
            placed += take;
        }
    }
    const std::size_t left_end = kPageHeaderSize + keep * size;
    const std::size_t right_end = kPageHeaderSize + (total - keep) * size;
    std::memset(new_left.data() + left_end, 0, kIndexPageSize - left_end);
    std::memset(new_right.data() + right_end, 0, kIndexPageSize - right_end);
    share = PackedShare{};
    share.left = PackedOfImage(slot, leaf_is_left ? leaf : other, new_left, left_end);
    try {
        share.right = PackedOfImage(slot, leaf_is_left ? other : leaf, new_right, right_end);
    } catch (...) {
        FreePacked(share.left);
        throw;
    }
    share.left_count = static_cast<std::int64_t>(keep);
    share.right_count = static_cast<std::int64_t>(total - keep);
    // The leaf's first key, where it went, stands in the parents until the shares are set.
    if (low == 0 && leaf_count > 1)
        share.leaf_first = leaf_entries + size;
    if (leaf_is_left && leaf_count == 1)
        share.left_first = new_left.data() + kPageHeaderSize;
    share.right_first = new_right.data() + kPageHeaderSize;
    return true;
}

void TIndexFile::SharedToParent(TPage& parent, std::int64_t position, const PackedShare& share) {
    if (share.leaf_first != nullptr) {
        parent.SetEditPosition(position);
        parent.SetKey(share.leaf_first);
    }
    const std::int64_t right_position = position == 1 ? 2 : position;
    parent.SetEditPosition(right_position - 1);
    parent.SetCount(static_cast<std::uint32_t>(share.left_count));
    if (share.left_first != nullptr)
        parent.SetKey(share.left_first);
    parent.SetEditPosition(right_position);
    parent.SetCount(static_cast<std::uint32_t>(share.right_count));
    parent.SetKey(share.right_first);
}

TIndexFile::PackedPage* TIndexFile::PackedOfImage(int slot, std::uint32_t offset,
                                                  std::span<const std::uint8_t> image,
                                                  std::size_t zeros_from) {
    const std::size_t bytes = PackPageImage(image, removal_packed_, zeros_from);
    PackedPage* packed = AllocatePacked(bytes);
    std::memcpy(packed->Data(), removal_packed_.data(), bytes);
    packed->slot = slot;
    packed->offset = offset;
    packed->dirty = true;
    return packed;
}

std::size_t TIndexFile::LeafImageEnd(std::span<const std::uint8_t> header) const {
    assert(header.size() >= kPageHeaderSize);
    const std::size_t entries =
        leaf_reader_.CompressionOption() != 0
            ? GetU16(header, 11)
            : GetU16(header, 1) * (std::size_t{leaf_reader_.KeySize()} + 4u);
    return std::min(kIndexPageSize, kPageHeaderSize + entries);
}

// As UnpackPageImage, stopping once a leaf's entries are in place: where they
// end is read from the header as soon as it is unpacked.
std::size_t TIndexFile::UnpackLeafEntries(std::span<const std::uint8_t> packed,
                                          std::span<std::uint8_t> image) const {
    assert(!encrypted_);
    return UnpackRuns(packed, image, kIndexPageSize, [this](std::span<const std::uint8_t> header) {
        return LeafImageEnd(header);
    });
}

void TIndexFile::PrefetchLeaf(std::uint32_t offset) const {
    if (const TPage* page = CachedAt(offset); page != nullptr) {
        __builtin_prefetch(page);
    } else if (const PackedPage* packed = PackedAt(offset); packed != nullptr) {
        // Its size is not known before its first line comes: the lines of a
        // typical packed leaf are asked for.
        const auto* bytes = reinterpret_cast<const char*>(packed);
        for (std::size_t line = 0; line < 8; ++line)
            __builtin_prefetch(bytes + 64 * line);
    }
}

void TIndexFile::PrefetchCacheSlots(std::uint32_t offset) const {
    const std::size_t n = offset / kIndexPageSize;
    if (n < page_map_.size())
        __builtin_prefetch(&page_map_[n]);
    if (n < packed_map_.size())
        __builtin_prefetch(&packed_map_[n]);
}

std::size_t TIndexFile::LeafEntriesEnd(std::int64_t count) const {
    if (count < 0 || encrypted_ || leaf_reader_.CompressionOption() != 0)
        return kIndexPageSize;
    return std::min(kIndexPageSize, kPageHeaderSize + static_cast<std::size_t>(count) *
                                                          (leaf_reader_.KeySize() + 4u));
}

void TIndexFile::ReadLeavesRecords(int slot, std::vector<ScanLeaf>& leaves,
                                   const LeafRecordsVisit& visit) {
    CheckSlot(slot);
    std::sort(leaves.begin(), leaves.end(),
              [](const ScanLeaf& a, const ScanLeaf& b) { return a.offset < b.offset; });
    const std::uint32_t end_of_pages = GetNextPageOffset();
    // A page kept for a write-behind is newer than the file's bytes: it is read one by one.
    const auto in_file_only = [this](std::uint32_t offset) {
        return CachedAt(offset) == nullptr && PackedAt(offset) == nullptr &&
               KeptImage(offset) == nullptr;
    };
    std::vector<std::uint32_t>& records = scan_records_;
    // The leaves of a short range read from the file a second time stay in the cache as a
    // scan's pages (the first to go, kept once asked for again): statements that take the
    // same few leaves again find them there instead of reading them from the file under the
    // read lock each time. A long range's leaves are not unpacked for it.
    const bool keep = leaves.size() <= kKeptScanLeaves;
    // A leaf in memory is asked for a few leaves ahead of its read, so the
    // misses of its scattered bytes overlap with the work on the ones before.
    // In three steps, each loading what the one after it reads: the cache
    // slots eight leaves ahead, the page or packed bytes four ahead, the
    // entries of an unpacked page two ahead.
    constexpr std::size_t kAhead = 4;
    std::size_t prefetched = 0;
    std::size_t entries_prefetched = 0;
    std::size_t i = 0;
    while (i < leaves.size()) {
        for (; prefetched < std::min(leaves.size(), i + kAhead); ++prefetched) {
            if (prefetched + kAhead < leaves.size())
                PrefetchCacheSlots(leaves[prefetched + kAhead].offset);
            PrefetchLeaf(leaves[prefetched].offset);
        }
        for (; entries_prefetched < std::min(leaves.size(), i + kAhead / 2); ++entries_prefetched) {
            if (const TPage* page = CachedAt(leaves[entries_prefetched].offset); page != nullptr)
                page->PrefetchEntries();
        }
        const ScanLeaf& first = leaves[i];
        if (first.offset == 0 || first.offset % kIndexPageSize != 0 ||
            first.offset >= end_of_pages || first.take > first.count) {
            RaiseEngineError(kErrIndexPageCorrupt, Name());
        }
        if (!in_file_only(first.offset)) {
            ReadLeafRecords(slot, first.offset, records, first.count);
            visit(std::span<const std::uint32_t>(records).first(first.take));
            ++i;
            continue;
        }
        // The leaves after it that stand right behind each other in the file come with it.
        std::size_t j = i + 1;
        while (j < leaves.size() && j - i < kMaxPagesPerScanRead &&
               leaves[j].offset == leaves[j - 1].offset + kIndexPageSize &&
               leaves[j].offset < end_of_pages && in_file_only(leaves[j].offset)) {
            ++j;
        }
        SetupPage(leaf_reader_, slot, first.offset);
        // Leaves to keep are read whole.
        const std::size_t last_size = keep ? kIndexPageSize : LeafEntriesEnd(leaves[j - 1].count);
        const std::size_t bytes = (j - 1 - i) * kIndexPageSize + last_size;
        if (scan_buffer_.size() < kMaxPagesPerScanRead * kIndexPageSize)
            scan_buffer_.resize(kMaxPagesPerScanRead * kIndexPageSize);
        if (TFileCursor* reader = Reader(); reader != nullptr && reader->RecheckTableChanged())
            throw TableChangedUnder();
        {
            const FileObjectLock lock(*this);
            SeekFile(first.offset, SeekOrigin::kBegin);
            Read(scan_buffer_.data(), bytes);
        }
        stats_.scan_reads += j - i;
        ++stats_.scan_calls;
        for (std::size_t k = i; k < j; ++k) {
            const auto page = std::span<const std::uint8_t>(scan_buffer_)
                                  .subspan((k - i) * kIndexPageSize, kIndexPageSize);
            if (k + 1 == j && last_size < kIndexPageSize && GetU16(page, 1) != leaves[k].count)
                RaiseEngineError(kErrIndexPageCorrupt, Name());
            leaf_reader_.ReadLeafRecords(page, records);
            if (records.size() != leaves[k].count || leaves[k].take > leaves[k].count)
                RaiseEngineError(kErrIndexPageCorrupt, Name());
            if (keep)
                KeepScannedLeaf(slot, leaves[k].offset, page);
            visit(std::span<const std::uint32_t>(records).first(leaves[k].take));
        }
        i = j;
    }
}

void TIndexFile::ReadPageForPackedTier(std::uint32_t offset, std::span<std::uint8_t> bytes) {
    if (offset == 0 || offset % kIndexPageSize != 0 || offset >= GetNextPageOffset())
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    if (TFileCursor* reader = Reader(); reader != nullptr && reader->RecheckTableChanged())
        throw TableChangedUnder();
    ReadPageBytes(offset, bytes);
    ++stats_.reads;
}

// With the index far larger than the cache, most leaves a lookup reads are not met again
// before they would leave it: such a leaf is searched in the bytes read, with nothing packed
// for it and nothing dropped to make room. A leaf met a second time while its mark stands,
// or whose search goes on below it, joins the packed tier as before.
TIndexFile::PackedSeek TIndexFile::SeekUncachedLeaf(int slot, std::uint32_t offset,
                                                    const std::uint8_t* key,
                                                    const KeyCompare& compare,
                                                    std::int64_t& position, std::uint32_t& record,
                                                    std::uint8_t* found, PackedPage*& packed) {
    std::uint32_t& mark = missed_leaves_[(offset / kIndexPageSize) % missed_leaves_.size()];
    if (mark == offset) {
        packed = ReadIntoPackedTier(slot, offset);
        return PackedSeek::kNotPacked;
    }
    unkept_offset_ = 0;
    ReadPageForPackedTier(offset, unkept_image_);
    if (unkept_image_[0] != static_cast<std::uint8_t>(PageKind::kLeaf)) {
        // A page above the leaves joins the unpacked tier, where GetPage finds it next.
        CacheReadPage(slot, offset, unkept_image_);
        return PackedSeek::kNotPacked;
    }
    SetupPage(leaf_reader_, slot, offset);
    if (!leaf_reader_.SeekInLeafImage(unkept_image_, key, compare, position, record, found)) {
        packed = PackReadLeaf(slot, offset, unkept_image_);
        return PackedSeek::kNotPacked;
    }
    mark = offset;
    unkept_offset_ = offset;
    ++stats_.packed_seeks;
    return PackedSeek::kFound;
}

TIndexFile::PackedPage* TIndexFile::ReadIntoPackedTier(int slot, std::uint32_t offset) {
    std::array<std::uint8_t, kIndexPageSize> bytes;
    ReadPageForPackedTier(offset, bytes);
    if (bytes[0] != static_cast<std::uint8_t>(PageKind::kLeaf)) {
        // A page above the leaves joins the unpacked tier, where GetPage finds it next.
        CacheReadPage(slot, offset, bytes);
        return nullptr;
    }
    return PackReadLeaf(slot, offset, bytes);
}

TIndexFile::PackedPage* TIndexFile::PackReadLeaf(int slot, std::uint32_t offset,
                                                 std::span<const std::uint8_t> bytes) {
    std::array<std::uint8_t, kMaxPackedImage> packed_bytes;
    const std::size_t size = PackPageImage(bytes, packed_bytes, kIndexPageSize);
    PackedPage* packed = AllocatePacked(size);
    std::memcpy(packed->Data(), packed_bytes.data(), size);
    packed->offset = offset;
    packed->slot = slot;
    packed->dirty = false;
    LinkPacked(packed);
    // Room as the packed tier makes it for a page: its oldest pages go.
    while (cached_bytes_ + packed_bytes_ > ByteBudget() && packed_.oldest != packed &&
           DropOldestPacked()) {
    }
    return packed;
}

TPage* TIndexFile::CacheReadPage(int slot, std::uint32_t offset,
                                 std::span<const std::uint8_t> bytes) {
    TPage* fresh = TakeCachePage();
    try {
        SetupPage(*fresh, slot, offset);
        fresh->ReadPage(bytes, false);
    } catch (...) {
        free_pages_.push_back(fresh);
        throw;
    }
    return InsertCached(slot, fresh);
}

void TIndexFile::KeepScannedLeaf(int slot, std::uint32_t offset,
                                 std::span<const std::uint8_t> bytes) {
    if (CachedAt(offset) != nullptr || PackedAt(offset) != nullptr)
        return;
    if (std::find(scanned_leaves_.begin(), scanned_leaves_.end(), offset) ==
        scanned_leaves_.end()) {
        scanned_leaves_[scanned_leaves_next_] = offset;
        scanned_leaves_next_ = (scanned_leaves_next_ + 1) % scanned_leaves_.size();
        return;
    }
    TPage* page = CacheReadPage(slot, offset, bytes);
    // As GetScanPage leaves a page it read: the first to go unless asked for again.
    page->cache_scanned_ = true;
    page->cache_referenced_ = 0;
}

TPage* TIndexFile::NewPage(TFileCursor* cursor, int slot) {
    CheckSlot(slot);
    const std::uint32_t free_page = GetFreePage(slot);
    const std::uint32_t offset = free_page != 0 ? free_page : GetNextPageOffset();
    if (free_page != 0 && (free_page % kIndexPageSize != 0 || free_page >= GetNextPageOffset())) {
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    }
    TPage* page = nullptr;
    if (!GetPage(cursor, slot, offset, page) || page == nullptr) {
        RaiseEngineError(kErrIndexPageCorrupt, Name());
    }
    if (free_page != 0) {
        // A page of the free chain is empty; anything else means the chain
        // is damaged, and reusing the page would destroy live entries.
        if (page->EntryCount() != 0 && !page->Free()) {
            ReleasePage(page);
            RaiseEngineError(kErrIndexPageCorrupt, Name());
        }
        SetFreePage(slot, page->Next());
    }
    SetupPage(*page, slot, offset);
    page->Clear();
    page->SetChanged(true);
    return page;
}

void TIndexFile::FreePage(TPage& page) {
    page.ForgetInserts();
    page.SetNext(GetFreePage(page.Slot()));
    page.SetPrevious(0);
    page.SetFree(true);
    page.SetParent(0);
    SetFreePage(page.Slot(), page.Offset());
}

TPage* TIndexFile::GetRootPage(TFileCursor* cursor, int slot, PagePosition which) {
    const std::uint32_t root = GetRoot(slot);
    if (root == 0)
        return nullptr;
    TPage* page = nullptr;
    if (!GetPage(cursor, slot, root, page))
        return nullptr;
    page->SetParent(0);
    page->ToFirst(which);
    return page;
}

bool TIndexFile::FlushPages() {
    if (!behind_.keeping)
        FinishWriteBehind();
    const bool packed_written = WritePackedPages(0);
    std::vector<TPage*>& batch = flush_batch_;
    batch.clear();
    // The changed pages come in file order from their bits, each found on its own: a walk along
    // the dirty chain waits for every page in turn, and a sort reads them all again.
    batch.reserve(dirty_.size);
    for (std::size_t w = 0; w < dirty_bits_.size() && batch.size() < dirty_.size; ++w) {
        for (std::uint64_t bits = dirty_bits_[w]; bits != 0; bits &= bits - 1)
            batch.push_back(page_map_[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))]);
    }
    assert(batch.size() == dirty_.size);
    constexpr std::size_t kAhead = 8;
    // The offsets of the pages to write, read here while their objects are at hand: the
    // images the flush puts together push the objects out of the processor's caches.
    std::vector<std::uint32_t>& offsets = flush_offsets_;
    offsets.clear();
    offsets.reserve(batch.size());
    std::size_t kept = 0;
    for (std::size_t k = 0; k < batch.size(); ++k) {
        if (k + kAhead < batch.size()) {
            // What the flush reads of a page object: its entries' place and its offset, its
            // state, and its chain links.
            const TPage* ahead = batch[k + kAhead];
            __builtin_prefetch(&ahead->offset_);
            __builtin_prefetch(&ahead->changed_);
            __builtin_prefetch(&ahead->lru_next_);
        }
        TPage* p = batch[k];
        assert(p->cache_listed_dirty_ && CachedAt(p->Offset()) == p);
        if (!p->Changed()) {
            MakeClean(p);
        } else if (p->PinCount() == 0) {
            batch[kept++] = p;
            offsets.push_back(p->Offset());
        }
    }
    batch.resize(kept);
    if (batch.empty()) {
        CheckCacheInvariants();
        return packed_written;
    }
    constexpr std::size_t kObjectsAhead = 3;
    // The pages leave the dirty chain once all are written: a page whose write failed stays
    // changed, and one whose image was made but not written has to be written still.
    std::size_t i = 0;
    try {
        while (i < batch.size()) {
            std::size_t j = i + 1;
            while (j < batch.size() && j - i < kMaxPagesPerWrite &&
                   offsets[j] == offsets[j - 1] + kIndexPageSize) {
                ++j;
            }
            const std::size_t bytes = (j - i) * kIndexPageSize;
            try {
                std::uint8_t* images = ImageSpace(bytes);
                for (std::size_t k = i; k < j; ++k) {
                    // The next page's entries arrive while this one's image is put together,
                    // and the objects of the pages after it before their entries are asked
                    // for: a flush meets them cold, and otherwise waits for each in turn.
                    if (k + kObjectsAhead < batch.size()) {
                        __builtin_prefetch(&batch[k + kObjectsAhead]->offset_);
                        __builtin_prefetch(&batch[k + kObjectsAhead]->changed_);
                    }
                    if (k + 1 < batch.size())
                        batch[k + 1]->PrefetchEntries();
                    batch[k]->WritePage(
                        std::span(images + (k - i) * kIndexPageSize, kIndexPageSize));
                }
                WriteImages(offsets[i], images, bytes);
            } catch (...) {
                for (std::size_t k = i; k < j; ++k)
                    batch[k]->SetChanged(true);
                throw;
            }
            ++stats_.writes;
            if (owner_ != nullptr)
                owner_->MarkWritten();
            i = j;
        }
    } catch (...) {
        for (std::size_t k = 0; k < i; ++k)
            MakeClean(batch[k]);
        CheckCacheInvariants();
        throw;
    }
    if (batch.size() < dirty_.size) {
        for (TPage* p : batch)
            MakeClean(p);
    } else {
        // Every listed page was written: the chain is emptied as a whole instead of unlinking
        // each page from neighbours that stand anywhere in memory.
        dirty_ = {};
        std::fill(dirty_bits_.begin(), dirty_bits_.end(), 0);
        for (TPage* p : batch) {
            assert(!p->Changed());
            p->lru_prev_ = p->lru_next_ = nullptr;
            p->cache_listed_dirty_ = false;
            ChainPushFront(clean_, p);
            Recharge(p);
        }
    }
    CheckCacheInvariants();
    return true;
}

void TIndexFile::MakeClean(TPage* page) {
    assert(page->cache_listed_dirty_ && !page->Changed());
    ChainUnlink(dirty_, page);
    page->cache_listed_dirty_ = false;
    SetDirtyBit(page->Offset(), false);
    ChainPushFront(clean_, page);
    Recharge(page);
}

void TIndexFile::ClearPageCaches(bool all) {
    CountEdit();
    unkept_offset_ = 0;
    for (PageChain* chain : {&clean_, &dirty_}) {
        for (TPage* p = chain->head; p != nullptr;) {
            TPage* next = p->lru_next_;
            if (all || p->Slot() != kHiddenIndexSlot) {
                DropCached(p);
                free_pages_.push_back(p);
            }
            p = next;
        }
    }
    DropPackedPages(all);
    budget_growth_ = 0;
    CheckCacheInvariants();
}

// Closing hands the page chunks to the reserve as they are, without
// walking the caches: each page is reset only when it is handed out again.
void TIndexFile::ReleaseAllPages() {
    CountEdit();
    seek_offset_ = 0;
    changed_lookup_leaf_ = 0;
    settled_count_ = 0;
    clean_ = {};
    dirty_ = {};
    slot_sizes_.fill(0);
    cached_total_ = 0;
    cached_bytes_ = 0;
    budget_growth_ = 0;
    page_map_ = {};
    dirty_bits_ = {};
    packed_ = {};
    packed_map_ = {};
    packed_slab_.Clear();
    packed_bytes_ = 0;
    packed_changed_ = {};
    free_pages_ = {};
    flush_batch_ = {};
    flush_offsets_ = {};
    ReserveChunks(page_chunks_);
    page_chunks_.clear();
    chunk_used_ = kPagesPerChunk;
}

// Within the shared budget nothing goes; beyond it (after an update batch
// grew the cache) clean pages go, oldest first, until the budget holds.
void TIndexFile::TrimPageCaches(bool hidden_too) {
    budget_growth_ = 0;
    const std::size_t budget = ByteBudget();
    while (cached_bytes_ + packed_bytes_ > budget && DropOldestPacked()) {
    }
    while (cached_bytes_ + packed_bytes_ > budget) {
        TPage* victim = CleanVictim(hidden_too ? -1 : kHiddenIndexSlot);
        if (victim == nullptr)
            break;
        ReleaseToFreeList(victim);
    }
    // Pages that could not go (pinned or unwritten) stay over the budget
    // until they can.
    const std::size_t held = cached_bytes_ + packed_bytes_;
    if (held > budget)
        budget_growth_ = (held - budget + kIndexPageSize - 1) / kIndexPageSize;
    CheckCacheInvariants();
}

void TIndexFile::CheckCacheInvariants() const {
#ifndef NDEBUG
    std::array<std::size_t, kIndexSlotCount> per_slot{};
    std::size_t seen = 0;
    std::size_t bytes = 0;
    for (const PageChain* chain : {&clean_, &dirty_}) {
        const bool dirty = chain == &dirty_;
        std::size_t n = 0;
        const TPage* previous = nullptr;
        for (const TPage* p = chain->head; p != nullptr; p = p->lru_next_) {
            assert(p->lru_prev_ == previous);
            assert(p->cache_listed_dirty_ == dirty);
            // A changed page never waits on the clean chain to be evicted.
            assert(dirty || !p->Changed());
            assert(CachedAt(p->Offset()) == p);
            // A page at full width is counted for the memory it holds (a compressed leaf's
            // entries grow unseen until its next use).
            assert(p->Compressed() || p->compact_ ||
                   p->cache_charge_ == kPageObjectCharge + p->MemoryBytes());
            ++per_slot[static_cast<std::size_t>(p->Slot())];
            bytes += p->cache_charge_;
            ++n;
            previous = p;
        }
        assert(chain->tail == previous && chain->size == n);
        seen += n;
    }
    assert(seen == cached_total_ && per_slot == slot_sizes_ && bytes == cached_bytes_);
    // The bits name the dirty chain's pages, and no others.
    assert(dirty_bits_.size() * 64 >= page_map_.size());
    std::size_t bits = 0;
    for (const std::uint64_t word : dirty_bits_)
        bits += static_cast<std::size_t>(std::popcount(word));
    assert(bits == dirty_.size);
    for (const TPage* p = dirty_.head; p != nullptr; p = p->lru_next_)
        assert(DirtyBit(p->Offset()));
    // The packed tier: linked both ways, mapped, counted, and never holding
    // a page the unpacked tier holds.
    std::size_t packed = 0;
    std::size_t packed_bytes = 0;
    std::size_t packed_dirty = 0;
    const PackedPage* newer = nullptr;
    for (const PackedPage* p = packed_.newest; p != nullptr; p = p->older) {
        assert(p->newer == newer);
        // In both tiers only while unchanged in both.
        assert(PackedAt(p->offset) == p);
        assert(CachedAt(p->offset) == nullptr || (!p->dirty && !CachedAt(p->offset)->Changed()));
        assert(p->size > 0);
        packed_bytes += PackedCharge(*p);
        packed_dirty += p->dirty ? 1 : 0;
        ++packed;
        newer = p;
    }
    assert(packed_.oldest == newer && packed_.size == packed);
    assert(packed_bytes == packed_bytes_);
    // The changed ones, and only those, stand on their own chain too.
    std::size_t changed = 0;
    newer = nullptr;
    for (const PackedPage* p = packed_changed_.newest; p != nullptr; p = p->changed_older) {
        assert(p->changed_newer == newer && p->dirty && PackedAt(p->offset) == p);
        ++changed;
        newer = p;
    }
    assert(packed_changed_.oldest == newer && packed_changed_.size == changed);
    assert(changed == packed_dirty);
#endif
}

}  // namespace strata
