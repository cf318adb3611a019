// Four programs increment a few counters of one shared table with the default
// lock settings: no increment is lost, and none waits out its lock.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <random>

#include "tests/engine/core/cursor_test_support.h"

namespace strata {
namespace {

using namespace testing_support;

constexpr int kPrograms = 4;
constexpr int kIncrements = 150;
constexpr int kCounters = 3;

// One increment under the counter's record lock: 0, or the engine error. A
// record another program changed since it was read (8708) is read again, as
// a dataset does.
EngineErrorCode Increment(TDataCursor& c, int counter) {
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    for (;;) {
        c.InitNewRecord(buffer);
        PutText(c, buffer, 2, "counter" + std::to_string(counter));
        const EngineErrorCode code = CodeOf([&] {
            if (!c.FindKey(false, buffer, buffer, 0, false, 1))
                throw std::runtime_error("counter missing");
            if (c.GetCurrentRecord(buffer, true) != 0)
                throw std::runtime_error("counter unreadable");
            PutInt(c, buffer, 4, GetInt(c, buffer, 4).value_or(0) + 1);
            c.ModifyRecord(buffer, true, false);
        });
        if (code != kErrRecordChanged)
            return code;
    }
}

TEST_F(CursorTest, FourProgramsLoseNoIncrement) {
    {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        for (int i = 0; i < kCounters; ++i)
            InsertEntry(c, "counter" + std::to_string(i), "count", 0);
        c.Close();
    }
    const std::string path = dir.Path().string();
    std::vector<pid_t> programs;
    for (int p = 0; p < kPrograms; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int code = 0;
            try {
                TDataSession own;
                own.SetLockRetryCount(15);
                own.SetLockWaitTime(100);
                TDataDirectory* home = own.OpenDirectory("DB", path);
                TDataCursor c(*home);
                c.SetTableName("mailist");
                c.SetExclusive(false);
                c.Open();
                c.SetIndexByName("ByItem");
                std::mt19937 rng(static_cast<std::uint32_t>(p));
                for (int i = 0; i < kIncrements && code == 0; ++i) {
                    const EngineErrorCode error = Increment(c, static_cast<int>(rng() % kCounters));
                    if (error != 0) {
                        std::fprintf(stderr, "program %d: engine error %d\n", p, int{error});
                        code = 2;
                    }
                }
                c.Close();
            } catch (...) {
                code = 3;
            }
            ::_exit(code);
        }
        programs.push_back(pid);
    }
    for (const pid_t pid : programs) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    TDataCursor& c = NewCursor();
    c.Open();
    c.SetIndexByName("ByItem");
    std::int64_t total = 0;
    std::vector<std::uint8_t> buffer(c.GetRecordSize());
    c.First();
    while (c.GetNextRecord(buffer) == 0)
        total += GetInt(c, buffer, 4).value_or(0);
    EXPECT_EQ(total, kPrograms * kIncrements);
}

}  // namespace
}  // namespace strata
