#include "app/mail/mail_out_journal.h"

#include <gtest/gtest.h>

#include "platform/os/whole_file.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using testing_support::ProgramDir;

// Written as a run writes it, cut by a kill in the middle of a line, read back
// as the next start reads it.
TEST(MailOutJournal, ReadsBackTheRunAndTheMembersDoneUpToTheLastWholeLine) {
    ProgramDir program;
    MailOutJournal run;
    run.subject = "News\tof the month";
    run.text = "Dear %FULL_NAME%,\r\nback\\slash\r\n";
    run.members = {
        {"a@example.org", "Ann\tA", "Ann"}, {"b@example.org", "", ""}, {"c@example.org", "Cy", ""}};
    {
        JournalWriter writer;
        writer.Begin(program.Dir(), run);
        writer.Done({"a@example.org"});
    }
    ASSERT_FALSE(platform::os::AppendToFile(program.File("SendJournal.txt"), "done c@exam"));
    const auto read = ReadMailOutJournal(program.Dir());
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->subject, run.subject);
    EXPECT_EQ(read->text, run.text);
    EXPECT_EQ(read->DoneCount(), 1);
    const auto remaining = read->Remaining();
    ASSERT_EQ(remaining.size(), 2u);
    EXPECT_EQ(remaining[1].email, "c@example.org");
    EXPECT_EQ(read->members[0].name, "Ann\tA");

    // Anything that is not a journal is no unfinished mail-out.
    ASSERT_FALSE(platform::os::ReplaceFileContents(program.File("SendJournal.txt"), "junk\n"));
    EXPECT_FALSE(ReadMailOutJournal(program.Dir()).has_value());
}

}  // namespace
}  // namespace app
