// The export as a real process killed at random moments, and on a real full disk: the file
// named is always the earlier export whole or the new one whole, and no temporary is left.

#include <random>
#include <regex>

#include "app/list/export_list.h"
#include "engine/dataset/strata_table.h"
#include "platform/db/field.h"
#include "platform/os/whole_file.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

using std::chrono::microseconds;
using testing_support::ProgramDir;

class ExportProcessTest : public testing_support::ListTest {
  protected:
    // The earlier export holds the addresses alone, the new one every field.
    void Export(const std::string& file) {
        for (const bool every : {false, true}) {
            request[every] = {file, "", false, {}};
            request[every].chosen.fill(every);
            request[every].chosen[kExportEmail] = true;
            ASSERT_TRUE(exportlist(database->tblCV(), request[every], {}));
            version[every] = ProgramDir::Read(file);
        }
    }
    void SetUp() override {
        OpenNew();
        for (int i = 0; i < 3000; ++i) {
            database->tblCV().Append();
            database->tblCV().FieldByName("Item")->SetAsString("m" + std::to_string(i) + "@x.org");
            database->tblCV().Post();
        }
        Export(program.File("CVNExport.csv"));
    }
    ExportRequest request[2];
    std::string version[2];
};

TEST_F(ExportProcessTest, AKilledExportLeavesTheEarlierFileOrTheNewOneWhole) {
    const auto begun = std::chrono::steady_clock::now();
    ASSERT_TRUE(exportlist(database->tblCV(), request[0], {}));
    std::uniform_int_distribution<long> moment(
        0,
        std::chrono::duration_cast<microseconds>(std::chrono::steady_clock::now() - begun).count());
    std::mt19937 random(20261211);
    int kills = 0;
    std::string now = version[0];
    for (int round = 0; round < 8; ++round) {
        kills += testing_support::InChild(
            [&] { exportlist(database->tblCV(), request[now == version[0]], {}); },
            microseconds(moment(random)));
        now = ProgramDir::Read(request[0].file_name);
        EXPECT_TRUE(now == version[0] || now == version[1]) << round << ": " << now.size();
    }
    EXPECT_GE(kills, 6);
    ASSERT_TRUE(exportlist(database->tblCV(), request[1], {}));
    EXPECT_EQ(platform::os::LeftByEndedPrograms(program.Dir(), ".CVNExport.csv.tmp").size(), 0u);
}

TEST_F(ExportProcessTest, AFullDiskSaysWhyAndKeepsTheEarlierFileWhole) {
    const testing_support::SmallDisk disk(program.File("small"));
    if (!disk.mounted)
        GTEST_SKIP() << "a full disk needs a file system of its own, which only root can mount";
    Export(disk.dir + "/CVNExport.csv");
    ASSERT_TRUE(exportlist(database->tblCV(), request[0], {}));
    disk.FillLeaving(16 * 1024);
    prompts->Answer(ui::mrNo);
    EXPECT_FALSE(exportlist(database->tblCV(), request[1], {}));
    EXPECT_TRUE(std::regex_match(prompts->Asked().back().text,
                                 std::regex("An error was encountered with line [0-9]+: No space "
                                            "left on device\\.  Do you want to continue\\?")));
    EXPECT_TRUE(ProgramDir::Read(request[0].file_name) == version[0]);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(disk.dir), {}), 2);
}

}  // namespace
}  // namespace app
