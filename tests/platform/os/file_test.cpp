#include "platform/os/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/os/file_system.h"
#include "tests/platform/os/scratch_dir.h"

namespace platform::os {
namespace {

using testing::ReadText;
using testing::ScratchDir;
using testing::WriteText;

std::span<const std::byte> bytes(std::string_view text) {
    return std::as_bytes(std::span(text.data(), text.size()));
}

std::string read_all(const File& file, std::uint64_t offset, std::size_t length) {
    std::string text(length, '\0');
    auto n = file.ReadAt(offset, std::as_writable_bytes(std::span(text)));
    EXPECT_TRUE(n.ok());
    text.resize(n.ok() ? *n : 0);
    return text;
}

OpenOptions shared() {
    OpenOptions options;
    options.share = ShareMode::kShared;
    return options;
}

TEST(OsFile, OpenOfMissingFileIsInvalidPathAndCreatesNothing) {
    ScratchDir dir;
    auto opened = File::Open(dir / "mailist.DAT");
    EXPECT_EQ(opened.code(), kInvalidPath);
    EXPECT_FALSE(std::filesystem::exists(dir / "mailist.DAT"));
    EXPECT_EQ(File::Open(dir / "missing/mailist.DAT").code(), kInvalidPath);
}

TEST(OsFile, PositionedReadsAndWritesSizeAndTruncate) {
    ScratchDir dir;
    auto created = File::Create(dir / "t.dat");
    ASSERT_TRUE(created.ok());
    File& file = *created;
    EXPECT_EQ(*file.WriteAt(0, bytes("hello world")), 11u);
    EXPECT_EQ(*file.WriteAt(6, bytes("WORLD")), 5u);
    EXPECT_EQ(*file.Size(), 11u);
    EXPECT_EQ(read_all(file, 0, 64), "hello WORLD");  // short only at the end
    EXPECT_EQ(read_all(file, 11, 4), "");
    EXPECT_EQ(read_all(file, 1000, 4), "");

    // A write past the end leaves a hole of zeros.
    EXPECT_TRUE(file.WriteAt(14, bytes("!")).ok());
    EXPECT_EQ(read_all(file, 11, 4), std::string("\0\0\0!", 4));

    EXPECT_TRUE(file.Truncate(5).ok());
    EXPECT_EQ(*file.Size(), 5u);
    // Starting the device early, or asking for bytes ahead of a read (inside the file, past
    // its end, without a length, at the largest offsets), changes nothing the file reads back.
    EXPECT_TRUE(file.StartWriteback().ok());
    file.WillNeed(1, 3);
    file.WillNeed(0, 1 << 20);
    file.WillNeed(1 << 20, 10);
    file.WillNeed(2, 0);
    file.WillNeed(~std::uint64_t{0}, ~std::uint64_t{0});
    EXPECT_EQ(read_all(file, 0, 64), "hello");
    EXPECT_TRUE(file.Flush().ok());
    EXPECT_TRUE(file.Flush(FlushKind::kDataOnly).ok());
    EXPECT_TRUE(file.Close().ok());
    EXPECT_EQ(ReadText(dir / "t.dat"), "hello");
}

TEST(OsFile, OffsetsBeyondFourGigabytesWork) {
    ScratchDir dir;
    auto file = File::Create(dir / "big.dat");
    ASSERT_TRUE(file.ok());
    const std::uint64_t far = (std::uint64_t{1} << 32) + 7;
    ASSERT_TRUE(file->WriteAt(far, bytes("x")).ok());
    EXPECT_EQ(*file->Size(), far + 1);
    EXPECT_EQ(read_all(*file, far, 1), "x");
}

// A mapping gives the bytes at any offset, not only a page's start, and shows later writes
// of the bytes it covers; a moved range keeps them; nothing maps without a length or a file.
TEST(OsFile, MappedRangeGivesTheBytesAndLaterWrites) {
    ScratchDir dir;
    auto created = File::Create(dir / "m.dat");
    ASSERT_TRUE(created.ok());
    File& file = *created;
    std::string text(10000, '.');
    for (std::size_t i = 0; i < text.size(); i += 7)
        text[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(file.WriteAt(0, bytes(text)).ok());
    auto mapped = file.MapForReading(4093, 5000);
    ASSERT_TRUE(mapped.ok());
    const auto view = [&](const MappedRange& range) {
        return std::string(reinterpret_cast<const char*>(range.data()), range.size());
    };
    EXPECT_EQ(mapped->size(), 5000u);
    EXPECT_EQ(view(*mapped), text.substr(4093, 5000));
    ASSERT_TRUE(file.WriteAt(4100, bytes("CHANGED")).ok());
    EXPECT_EQ(view(*mapped).substr(7, 7), "CHANGED");
    MappedRange moved = std::move(*mapped);
    EXPECT_EQ(mapped->data(), nullptr);
    EXPECT_EQ(view(moved).substr(0, 3), text.substr(4093, 3));
    EXPECT_FALSE(file.MapForReading(0, 0).ok());
    File closed;
    EXPECT_EQ(closed.MapForReading(0, 1).code(), kInvalidHandle);
}

TEST(OsFile, ClosedFileReportsInvalidHandle) {
    File file;
    std::byte b{};
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.ReadAt(0, std::span(&b, 1)).code(), kInvalidHandle);
    EXPECT_EQ(file.WriteAt(0, std::span<const std::byte>(&b, 1)).code(), kInvalidHandle);
    EXPECT_EQ(file.Size().code(), kInvalidHandle);
    EXPECT_EQ(file.Truncate(0).code(), kInvalidHandle);
    EXPECT_EQ(file.Flush().code(), kInvalidHandle);
    // Nothing to start on a closed file is no failure of the device.
    EXPECT_TRUE(file.StartWriteback().ok());
    file.DropCachedPages();
    file.WillNeed(0, 1);
    EXPECT_EQ(file.LockRegion(0, 1).code(), kInvalidHandle);
    EXPECT_FALSE(file.UnlockRegion(0, 1));
    EXPECT_TRUE(file.Close().ok());
}

TEST(OsFile, CreateReplacesContentsAndKeepsAnExistingCaseVariant) {
    ScratchDir dir;
    WriteText(dir / "mailist.dat", "old contents");
    auto created = File::Create(dir / "MAILIST.DAT");
    ASSERT_TRUE(created.ok());
    EXPECT_EQ(created->Path(), dir / "mailist.dat");
    EXPECT_EQ(*created->Size(), 0u);
    ASSERT_TRUE(created->WriteAt(0, bytes("new")).ok());
    created->Close().ok();
    EXPECT_EQ(ReadText(dir / "mailist.dat"), "new");
    EXPECT_FALSE(std::filesystem::exists(dir / "MAILIST.DAT"));
}

TEST(OsFile, OpenResolvesCaseAndPrefersTheExactSpelling) {
    ScratchDir dir;
    WriteText(dir / "mailist.DAT", "upper");
    WriteText(dir / "Mailist.dat", "mixed");
    WriteText(dir / "mailist.dat", "exact");
    struct Case {
        std::string asked;
        std::string contents;
    };
    const std::vector<Case> cases = {
        {"mailist.dat", "exact"},
        {"mailist.DAT", "upper"},
        {"MAILIST.dat", "mixed"},  // first in byte order: "Mailist.dat" < "mailist.*"
    };
    for (const auto& c : cases) {
        auto opened = File::Open(dir / c.asked, shared());
        ASSERT_TRUE(opened.ok()) << c.asked;
        EXPECT_EQ(read_all(*opened, 0, 16), c.contents) << c.asked;
    }
}

TEST(OsFile, BackslashesAreSeparators) {
    ScratchDir dir;
    std::filesystem::create_directory(dir / "db");
    WriteText(dir / "db/x.dat", "data");
    std::string windows_path = dir.path() + "\\db\\X.DAT";
    auto opened = File::Open(windows_path);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(opened->Path(), dir / "db/x.dat");
}

TEST(OsFile, ReadOnlyModeBitsOpenForReadingOnly) {
    ScratchDir dir;
    WriteText(dir / "ro.dat", "keep");
    ::chmod((dir / "ro.dat").c_str(), 0444);
    auto opened = File::Open(dir / "ro.dat");
    ASSERT_TRUE(opened.ok());
    EXPECT_TRUE(opened->ReadOnly());
    EXPECT_TRUE(opened->ReadOnlyAttribute());
    EXPECT_EQ(read_all(*opened, 0, 4), "keep");
    EXPECT_EQ(opened->WriteAt(0, bytes("x")).code(), kAccessDenied);
    EXPECT_EQ(opened->Truncate(0).code(), kAccessDenied);
    EXPECT_TRUE(opened->Flush().ok());
    EXPECT_TRUE(opened->StartWriteback().ok());
    // Exclusive still means exclusive for a file without write access.
    EXPECT_EQ(File::Open(dir / "ro.dat").code(), kAccessDenied);
    opened->Close().ok();
    EXPECT_EQ(ReadText(dir / "ro.dat"), "keep");
}

TEST(OsFile, ReadOnlyRequestOnWritableFile) {
    ScratchDir dir;
    WriteText(dir / "a.dat", "abc");
    OpenOptions options;
    options.read_only = true;
    auto opened = File::Open(dir / "a.dat", options);
    ASSERT_TRUE(opened.ok());
    EXPECT_TRUE(opened->ReadOnly());
    EXPECT_FALSE(opened->ReadOnlyAttribute());
    EXPECT_EQ(opened->WriteAt(0, bytes("x")).code(), kAccessDenied);
}

// A file another user owns and only that user may write: whether the open asks for writing
// or only for reading, the file reports itself read-only, so that a table opened again over
// it knows it can take no changes. Needs a second user, so only root runs it.
TEST(OsFile, AFileThisUserMayNotWriteIsReadOnlyHoweverItIsOpened) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to act as another user";
    ScratchDir dir(std::filesystem::temp_directory_path().string());
    ::chmod(dir.path().c_str(), 0755);
    WriteText(dir / "theirs.dat", "keep");
    ::chmod((dir / "theirs.dat").c_str(), 0644);
    const pid_t child = ::fork();
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        int failures = 0;
        for (const bool reading_only : {false, true}) {
            OpenOptions options;
            options.read_only = reading_only;
            auto opened = File::Open(dir / "theirs.dat", options);
            if (!opened.ok())
                ::_exit(20);
            failures += !opened->ReadOnly() + !opened->ReadOnlyAttribute();
            failures += opened->WriteAt(0, bytes("x")).code() != kAccessDenied;
        }
        ::_exit(failures);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(ReadText(dir / "theirs.dat"), "keep");
    // Its owner may still write it.
    auto mine = File::Open(dir / "theirs.dat");
    ASSERT_TRUE(mine.ok());
    EXPECT_FALSE(mine->ReadOnlyAttribute());
}

TEST(OsFile, CreateRefusesAFileWithoutWritePermissionAndKeepsIt) {
    ScratchDir dir;
    WriteText(dir / "ro.dat", "keep");
    ::chmod((dir / "ro.dat").c_str(), 0444);
    EXPECT_EQ(File::Create(dir / "RO.dat").code(), kAccessDenied);
    EXPECT_EQ(ReadText(dir / "ro.dat"), "keep");
}

TEST(OsFile, OpeningADirectoryOrSpecialFileIsRefused) {
    ScratchDir dir;
    EXPECT_EQ(File::Open(dir.path()).code(), kAccessDenied);
    EXPECT_EQ(File::Create(dir.path()).code(), kAccessDenied);
    // Nor are pipes and devices table files: opening one must not block or truncate it.
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
    EXPECT_EQ(File::Open(dir / "pipe").code(), kAccessDenied);
    EXPECT_EQ(File::Create(dir / "pipe").code(), kAccessDenied);
    EXPECT_EQ(File::Open("/dev/null").code(), kAccessDenied);
}

TEST(OsFile, ShareModesBetweenTwoOpensOfOneProcess) {
    ScratchDir dir;
    WriteText(dir / "s.dat", "shared data");
    struct Case {
        ShareMode first;
        ShareMode second;
        int expected;
    };
    const std::vector<Case> cases = {
        {ShareMode::kExclusive, ShareMode::kExclusive, kAccessDenied},
        {ShareMode::kExclusive, ShareMode::kShared, kAccessDenied},
        {ShareMode::kShared, ShareMode::kExclusive, kAccessDenied},
        {ShareMode::kShared, ShareMode::kShared, kOk},
    };
    for (const auto& c : cases) {
        OpenOptions first;
        first.share = c.first;
        OpenOptions second;
        second.share = c.second;
        auto holder = File::Open(dir / "s.dat", first);
        ASSERT_TRUE(holder.ok());
        EXPECT_EQ(File::Open(dir / "s.dat", second).code(), c.expected);
        EXPECT_EQ(File::Create(dir / "s.dat").code(), kAccessDenied);
        EXPECT_EQ(read_all(*holder, 0, 64), "shared data");  // the holder is unaffected
    }
    // Once the holder is gone the file is free again.
    EXPECT_TRUE(File::Open(dir / "s.dat").ok());
}

TEST(OsFile, MovedFileKeepsItsShareLock) {
    ScratchDir dir;
    WriteText(dir / "a.dat", "x");
    auto holder = File::Open(dir / "a.dat");
    ASSERT_TRUE(holder.ok());
    File moved = std::move(*holder);
    EXPECT_FALSE(holder->IsOpen());
    EXPECT_EQ(File::Open(dir / "a.dat").code(), kAccessDenied);
    moved = File();
    EXPECT_TRUE(File::Open(dir / "a.dat").ok());
}

TEST(OsFile, RegionLockOverlapRulesOnOneFile) {
    ScratchDir dir;
    WriteText(dir / "l.dat", "");
    auto file = File::Open(dir / "l.dat");
    ASSERT_TRUE(file.ok());
    ASSERT_TRUE(file->LockRegion(100, 10).ok());  // [100, 109]
    struct Case {
        std::uint64_t start;
        std::uint64_t length;
        LockKind kind;
        int expected;
    };
    const std::vector<Case> cases = {
        {105, 10, LockKind::kWrite, kAccessDenied},  // starts inside
        {95, 10, LockKind::kWrite, kAccessDenied},   // covers the start
        {100, 10, LockKind::kWrite, kAccessDenied},  // the same range again
        {109, 1, LockKind::kRead, kAccessDenied},    // read locks overlap too
        {90, 30, LockKind::kRead, kAccessDenied},    // encloses
        {110, 10, LockKind::kWrite, kOk},            // adjacent after
        {90, 10, LockKind::kRead, kOk},              // adjacent before
    };
    for (const auto& c : cases) {
        EXPECT_EQ(file->LockRegion(c.start, c.length, c.kind).code(), c.expected)
            << c.start << "+" << c.length;
    }
    EXPECT_EQ(file->LockedRegionCount(), 3u);
}

TEST(OsFile, UnlockReleasesOnlyTheExactRange) {
    ScratchDir dir;
    WriteText(dir / "l.dat", "");
    auto file = File::Open(dir / "l.dat", shared());
    auto other = File::Open(dir / "l.dat", shared());
    ASSERT_TRUE(file.ok() && other.ok());
    ASSERT_TRUE(file->LockRegion(100, 10).ok());
    ASSERT_TRUE(file->LockRegion(110, 10).ok());  // the kernel merges these two
    EXPECT_FALSE(file->UnlockRegion(100, 20));
    EXPECT_FALSE(file->UnlockRegion(100, 5));
    EXPECT_FALSE(file->UnlockRegion(105, 5));
    EXPECT_EQ(other->LockRegion(100, 1).code(), kAccessDenied);  // nothing was released
    EXPECT_TRUE(file->UnlockRegion(100, 10));
    EXPECT_FALSE(file->UnlockRegion(100, 10));  // once only
    EXPECT_EQ(file->LockedRegionCount(), 1u);
    EXPECT_EQ(other->LockRegion(110, 1).code(), kAccessDenied);  // the neighbour stays held
    EXPECT_TRUE(other->LockRegion(100, 10).ok());
}

TEST(OsFile, RegionLocksBetweenTwoOpensOfOneProcess) {
    ScratchDir dir;
    WriteText(dir / "l.dat", "");
    auto a = File::Open(dir / "l.dat", shared());
    auto b = File::Open(dir / "l.dat", shared());
    ASSERT_TRUE(a.ok() && b.ok());

    ASSERT_TRUE(a->LockRegion(100, 10).ok());
    ASSERT_TRUE(a->LockRegion(110, 10).ok());
    EXPECT_EQ(b->LockRegion(105, 1, LockKind::kRead).code(), kAccessDenied);
    EXPECT_EQ(b->LockRegion(119, 5).code(), kAccessDenied);
    EXPECT_TRUE(a->UnlockRegion(100, 10));
    EXPECT_TRUE(b->LockRegion(100, 10).ok());                // freed exactly
    EXPECT_EQ(b->LockRegion(110, 1).code(), kAccessDenied);  // the neighbour stays held

    // Read locks of two opens share a byte; a write lock excludes them.
    EXPECT_TRUE(a->LockRegion(500, 1, LockKind::kRead).ok());
    EXPECT_TRUE(b->LockRegion(500, 1, LockKind::kRead).ok());
    EXPECT_EQ(b->LockRegion(400, 200).code(), kAccessDenied);

    // Closing one open drops all of its locks and none of the other's.
    a->Close().ok();
    EXPECT_TRUE(b->UnlockRegion(500, 1));
    auto c = File::Open(dir / "l.dat", shared());
    ASSERT_TRUE(c.ok());
    EXPECT_TRUE(c->LockRegion(110, 10).ok());
    EXPECT_EQ(c->LockRegion(100, 10).code(), kAccessDenied);
}

// A range given back but for some of its bytes: those stay locked against every other open, in
// the range's own kind, each as a range of its own; the rest is free. A range not held, or a
// kept byte outside it, changes nothing.
TEST(OsFile, UnlockingARangeKeepingSomeBytesLeavesExactlyThoseHeld) {
    ScratchDir dir;
    WriteText(dir / "l.dat", "");
    auto a = File::Open(dir / "l.dat", shared());
    auto b = File::Open(dir / "l.dat", shared());
    ASSERT_TRUE(a.ok() && b.ok());
    ASSERT_TRUE(a->LockRegion(100, 50).ok());

    std::vector<std::uint64_t> outside = {120, 150};
    EXPECT_FALSE(a->UnlockRegionKeeping(100, 50, outside));
    std::vector<std::uint64_t> none_held = {120};
    EXPECT_FALSE(a->UnlockRegionKeeping(100, 40, none_held));
    EXPECT_EQ(b->LockRegion(100, 1).code(), kAccessDenied);  // nothing was released

    // Unordered, repeated, and at both ends of the range.
    std::vector<std::uint64_t> kept = {149, 120, 100, 120};
    ASSERT_TRUE(a->UnlockRegionKeeping(100, 50, kept));
    EXPECT_EQ(kept, (std::vector<std::uint64_t>{100, 120, 149}));
    EXPECT_EQ(a->LockedRegionCount(), 3u);
    for (const std::uint64_t byte : {100u, 120u, 149u})
        EXPECT_EQ(b->LockRegion(byte, 1, LockKind::kRead).code(), kAccessDenied) << byte;
    EXPECT_TRUE(b->LockRegion(101, 19).ok());
    EXPECT_TRUE(b->LockRegion(121, 28).ok());
    EXPECT_FALSE(a->UnlockRegion(100, 50));  // the range itself is gone
    EXPECT_TRUE(a->UnlockRegion(120, 1));    // each kept byte goes on its own
    EXPECT_TRUE(b->LockRegion(120, 1).ok());
    EXPECT_EQ(b->LockRegion(100, 1).code(), kAccessDenied);

    // A read range keeps read locks: another reader shares the kept byte, a writer does not.
    ASSERT_TRUE(a->LockRegion(300, 10, LockKind::kRead).ok());
    std::vector<std::uint64_t> read_kept = {305};
    ASSERT_TRUE(a->UnlockRegionKeeping(300, 10, read_kept));
    auto c = File::Open(dir / "l.dat", shared());
    ASSERT_TRUE(c.ok());
    EXPECT_TRUE(c->LockRegion(305, 1, LockKind::kRead).ok());
    EXPECT_EQ(b->LockRegion(305, 1).code(), kAccessDenied);
    EXPECT_TRUE(b->LockRegion(300, 5).ok());
}

// Two ranges given back together free exactly those two, whether or not another range of the
// same open lies between them; a pair of which one is not held frees the other alone.
TEST(OsFile, UnlockingAPairFreesExactlyThoseTwoRanges) {
    ScratchDir dir;
    WriteText(dir / "l.dat", "");
    auto a = File::Open(dir / "l.dat", shared());
    auto b = File::Open(dir / "l.dat", shared());
    ASSERT_TRUE(a.ok() && b.ok());
    for (const bool between : {false, true}) {
        ASSERT_TRUE(a->LockRegion(100, 1).ok());
        ASSERT_TRUE(a->LockRegion(110, 2).ok());
        ASSERT_TRUE(!between || a->LockRegion(105, 1).ok());
        EXPECT_TRUE(a->UnlockRegionPair(110, 2, 100, 1)) << between;
        EXPECT_EQ(a->LockedRegionCount(), between ? 1u : 0u);
        EXPECT_TRUE(b->LockRegion(100, 1).ok());
        EXPECT_TRUE(b->LockRegion(110, 2).ok());
        EXPECT_EQ(b->LockRegion(105, 1).code() == kAccessDenied, between);
        EXPECT_TRUE(b->UnlockRegion(100, 1) && b->UnlockRegion(110, 2));
        EXPECT_TRUE(between ? a->UnlockRegion(105, 1) : b->UnlockRegion(105, 1));
    }
    ASSERT_TRUE(a->LockRegion(100, 1).ok());
    EXPECT_FALSE(a->UnlockRegionPair(100, 1, 200, 1));
    EXPECT_EQ(a->LockedRegionCount(), 0u);
}

TEST(OsFile, LockRangesNearTwoGigabytesAndInvalidRanges) {
    ScratchDir dir;
    WriteText(dir / "l.dat", "");
    auto a = File::Open(dir / "l.dat", shared());
    auto b = File::Open(dir / "l.dat", shared());
    ASSERT_TRUE(a.ok() && b.ok());
    // The engine's write range and a read byte inside it.
    EXPECT_TRUE(a->LockRegion(2147418112, 65535).ok());
    EXPECT_EQ(b->LockRegion(2147483647 - 300, 1, LockKind::kRead).code(), kAccessDenied);
    EXPECT_TRUE(b->LockRegion(2147483647, 1).ok());

    EXPECT_EQ(a->LockRegion(10, 0).code(), kUnknownOsError);
    EXPECT_EQ(a->LockRegion(kShareLockOffset, 1).code(), kUnknownOsError);
    EXPECT_EQ(a->LockRegion(kShareLockOffset - 1, 2).code(), kUnknownOsError);
    EXPECT_EQ(a->LockRegion(UINT64_MAX, 1).code(), kUnknownOsError);
    EXPECT_TRUE(a->LockRegion(kShareLockOffset - 1, 1).ok());
    // The share lock is untouched by all of this.
    EXPECT_TRUE(a->UnlockRegion(kShareLockOffset - 1, 1));
    EXPECT_EQ(File::Open(dir / "l.dat").code(), kAccessDenied);
}

TEST(OsFile, ReadOnlyFileTakesWriteLocksAsCheckedReadLocks) {
    ScratchDir dir;
    WriteText(dir / "ro.dat", "data");
    ::chmod((dir / "ro.dat").c_str(), 0444);
    auto a = File::Open(dir / "ro.dat", shared());
    auto b = File::Open(dir / "ro.dat", shared());
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_TRUE(a->LockRegion(0, 10).ok());
    EXPECT_TRUE(b->LockRegion(20, 1, LockKind::kRead).ok());
    EXPECT_EQ(a->LockRegion(20, 1).code(), kAccessDenied);  // b reads there
    EXPECT_TRUE(a->UnlockRegion(0, 10));
}

TEST(OsFile, DeleteOnCloseRemovesTheFileAtClose) {
    ScratchDir dir;
    WriteText(dir / "tmp.dat", "scratch");
    OpenOptions options;
    options.delete_on_close = true;
    {
        auto opened = File::Open(dir / "tmp.dat", options);
        ASSERT_TRUE(opened.ok());
        EXPECT_TRUE(opened->DeleteOnClose());
        EXPECT_TRUE(std::filesystem::exists(dir / "tmp.dat"));
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "tmp.dat"));

    CreateOptions create;
    create.delete_on_close = true;
    auto created = File::Create(dir / "made.dat", create);
    ASSERT_TRUE(created.ok());
    // A scratch file's removal needs no durability: no folder is synced for it,
    // while an ordinary delete is made durable.
    const std::uint64_t syncs = DirectorySyncCount();
    EXPECT_TRUE(created->Close().ok());
    EXPECT_FALSE(std::filesystem::exists(dir / "made.dat"));
    EXPECT_EQ(DirectorySyncCount(), syncs);
    WriteText(dir / "kept.dat", "kept");
    EXPECT_TRUE(DeleteFile(dir / "kept.dat").ok());
    EXPECT_EQ(DirectorySyncCount(), syncs + 1);
}

TEST(OsFile, DeleteOnCloseSparesAFileThatTookTheNameMeanwhile) {
    ScratchDir dir;
    WriteText(dir / "tmp.dat", "scratch");
    OpenOptions options;
    options.delete_on_close = true;
    options.share = ShareMode::kShared;
    auto opened = File::Open(dir / "tmp.dat", options);
    ASSERT_TRUE(opened.ok());
    std::filesystem::remove(dir / "tmp.dat");
    WriteText(dir / "tmp.dat", "someone else's");
    EXPECT_TRUE(opened->Close().ok());
    EXPECT_EQ(ReadText(dir / "tmp.dat"), "someone else's");
}

}  // namespace
}  // namespace platform::os
