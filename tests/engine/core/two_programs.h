#pragma once

// Two programs on one table: the second program is a forked process that
// works on the same files with its own engine session.

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/data_cursor.h"
#include "engine/core/data_directory.h"
#include "engine/core/data_session.h"
#include "tests/engine/core/cursor_test_support.h"

namespace strata::testing_support {

// A forked program that runs `body` and exits with its result. The body
// and the test hand over control through two pipes.
class SecondProgram {
  public:
    explicit SecondProgram(const std::function<int(SecondProgram&)>& body) {
        if (::pipe(to_parent_) != 0 || ::pipe(to_child_) != 0)
            ADD_FAILURE() << "pipe";
        pid_ = ::fork();
        if (pid_ == 0) {
            int code = 99;
            try {
                code = body(*this);
            } catch (...) {
                code = 98;
            }
            ::_exit(code);
        }
    }
    ~SecondProgram() {
        if (pid_ > 0 && !waited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        for (int fd : {to_parent_[0], to_parent_[1], to_child_[0], to_child_[1]})
            ::close(fd);
    }
    // In the child: tell the test, then wait for its go.
    void Signal(char what = 'r') { (void)!::write(to_parent_[1], &what, 1); }
    void AwaitGo() {
        char c = 0;
        (void)!::read(to_child_[0], &c, 1);
    }
    // In the child: whether the test has said go, without waiting for it.
    bool GoArrived() {
        pollfd ready{to_child_[0], POLLIN, 0};
        if (::poll(&ready, 1, 0) != 1)
            return false;
        AwaitGo();
        return true;
    }
    // In the test.
    bool AwaitSignal() {
        char c = 0;
        return ::read(to_parent_[0], &c, 1) == 1;
    }
    // In the test: the next signal's byte, 0 when none can come.
    char NextSignal() {
        char c = 0;
        return ::read(to_parent_[0], &c, 1) == 1 ? c : 0;
    }
    void Go() { (void)!::write(to_child_[1], "g", 1); }
    int Wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        waited_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    pid_t pid_ = -1;
    int to_parent_[2] = {-1, -1};
    int to_child_[2] = {-1, -1};
    bool waited_ = false;
};

class TwoPrograms : public CursorTest {
  protected:
    void MakeTable(int entries) {
        TDataCursor& c = CreateAndOpen(ListTableDefinition());
        for (int i = 0; i < entries; ++i)
            InsertEntry(c, "u" + std::to_string(i) + "@x", "A", i);
        c.Close();
    }

    // A table of `entries` rows and this program's shared cursor on it, its first row read into
    // `buffer`.
    TDataCursor& OpenOnFirstRow(int entries, std::vector<std::uint8_t>& buffer) {
        MakeTable(entries);
        TDataCursor& c = NewCursor("mailist", false);
        c.Open();
        buffer.resize(c.GetRecordSize());
        c.First();
        EXPECT_EQ(c.GetNextRecord(buffer), 0);
        return c;
    }

    // A cursor of the second program, on its own session.
    struct Program {
        TDataSession session;
        TDataDirectory* directory = nullptr;
        std::unique_ptr<TDataCursor> cursor;
        Program(const std::string& path, bool exclusive) {
            directory = session.OpenDirectory("DB", path);
            cursor = std::make_unique<TDataCursor>(*directory);
            cursor->SetTableName("mailist");
            cursor->SetExclusive(exclusive);
        }
        // Opens the cursor and locks its first row, as the holder of a row in another
        // program does. False when either step fails.
        bool OpenAndLockFirstRow() {
            cursor->Open();
            std::vector<std::uint8_t> buffer(cursor->GetRecordSize());
            cursor->First();
            return cursor->GetNextRecord(buffer) == 0 &&
                   cursor->GetCurrentRecord(buffer, true) == 0;
        }
    };
};

}  // namespace strata::testing_support
