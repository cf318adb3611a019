#include "engine/storage/storage_library.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/storage/engine_error.h"
#include "engine/storage/file_handler.h"
#include "engine/storage/file_registry.h"
#include "engine/storage/language_char_maps.h"
#include "platform/nls/nls.h"
#include "platform/os/thread.h"

namespace strata {
namespace {

namespace fs = std::filesystem;

class TempNames : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "strata-temp-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    fs::path dir_;
};

TEST_F(TempNames, FirstNameIsThreadIdZeroAndExtension) {
    const std::string stem = std::to_string(platform::os::CurrentThreadId());
    const std::string name = MakeTempFileName(dir_.string(), ".TMP", false);
    EXPECT_EQ(name, (dir_ / (stem + "0.TMP")).string());
    // Reserved on disk at once, empty, private.
    struct stat info {};
    ASSERT_EQ(::lstat(name.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    // The next one moves on; a trailing separator of either kind is fine.
    EXPECT_EQ(MakeTempFileName(dir_.string() + "\\", ".TMP", false),
              (dir_ / (stem + "1.TMP")).string());
}

TEST_F(TempNames, SkipsNamesTakenOnDiskInTheRegistryOrByALink) {
    const std::string stem = std::to_string(platform::os::CurrentThreadId());
    // A link planted at the first name must not be followed or replaced.
    const fs::path target = dir_ / "victim";
    std::ofstream(target) << "keep";
    fs::create_symlink(target, dir_ / (stem + "0.TMP"));
    // The second name is held only by the registry (an in-memory-kind check
    // does not count for a file on disk).
    TFileHandler registered;
    registered.SetName((dir_ / (stem + "1.TMP")).string());
    registered.CreateFile();
    // The third differs only in case on disk.
    std::ofstream(dir_ / (stem + "2.tmp")) << "x";
    const std::string name = MakeTempFileName(dir_.string(), ".TMP", false);
    EXPECT_EQ(name, (dir_ / (stem + "3.TMP")).string());
    std::ifstream in(target);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "keep");
}

TEST_F(TempNames, MemoryNamesAskOnlyTheRegistry) {
    const std::string stem = std::to_string(platform::os::CurrentThreadId());
    std::ofstream(dir_ / (stem + "0.TMP")) << "disk";
    const std::string first = MakeTempFileName(dir_.string(), ".TMP", true);
    EXPECT_EQ(first, (dir_ / (stem + "0.TMP")).string());
    TFileHandler memory;
    memory.SetInMemory(true);
    memory.SetName(first);
    memory.CreateFile();
    EXPECT_EQ(MakeTempFileName(dir_.string(), ".TMP", true), (dir_ / (stem + "1.TMP")).string());
}

TEST_F(TempNames, ThreadsNeverGetTheSameName) {
    std::vector<std::thread> threads;
    std::vector<std::vector<std::string>> names(4);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i) {
                names[t].push_back(MakeTempFileName(dir_.string(), ".TMP", false));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::set<std::string> unique;
    for (const auto& list : names) {
        unique.insert(list.begin(), list.end());
    }
    EXPECT_EQ(unique.size(), 100u);
}

TEST_F(TempNames, AnUnusableFolderIsReported) {
    try {
        MakeTempFileName((dir_ / "no" / "such").string(), ".TMP", false);
        FAIL();
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrInvalidPath);
    }
    const std::string private_name = MakeTempFileName("", ".TMP", false);
    EXPECT_TRUE(fs::exists(private_name));
    fs::remove(private_name);
}

TEST_F(TempNames, NamesWithANulAreRefusedAndCreateNothing) {
    using namespace std::string_literals;
    // The system would stop at the NUL and create "cut" beside the folder's files.
    const std::string cut = (dir_ / "cut").string();
    const std::pair<std::string, std::string> cases[] = {{cut + "\0/sub"s, ".TMP"},
                                                         {dir_.string(), ".TMP\0/../../x"s}};
    for (const auto& [directory, extension] : cases) {
        for (const bool in_memory : {false, true}) {
            try {
                MakeTempFileName(directory, extension, in_memory);
                ADD_FAILURE() << "accepted, in memory " << in_memory;
            } catch (const EStrataEngineError& e) {
                EXPECT_EQ(e.ErrorCode(), kErrInvalidPath);
            }
        }
    }
    EXPECT_TRUE(fs::is_empty(dir_));
}

TEST(StorageLibrary, TableVersionTexts) {
    const std::pair<int, const char*> cases[] = {{0, "1.00"}, {1, "1.02"}, {2, "1.04"}, {3, "1.08"},
                                                 {4, "2.00"}, {5, ""},     {-1, ""}};
    for (const auto& [index, text] : cases) {
        EXPECT_EQ(TableVersionText(index), text) << index;
    }
}

TEST(StorageLibrary, UniversalPathIsTheCanonicalPath) {
    const std::string dir = fs::temp_directory_path().string();
    EXPECT_EQ(GetUniversalPath(dir + "/."), fs::canonical(dir).string());
    EXPECT_EQ(GetUniversalPath(" " + dir + "\\ "), fs::canonical(dir).string() + "/");
    EXPECT_EQ(GetUniversalPath("/no/such/folder/at/all"), "");
    // A NUL would make the system resolve only the text before it: another folder.
    EXPECT_EQ(GetUniversalPath(dir + std::string(1, '\0') + "/elsewhere"), "");
}

TEST(StorageLibrary, FinalizeFreesTheRegistryAndStartsAfresh) {
    InitializeStorageLibrary();
    TFileHandler memory;
    memory.SetInMemory(true);
    memory.SetName("MEMORY\\finalize.dat");
    memory.CreateFile();
    memory.Close();
    EXPECT_TRUE(EngineFileExists("MEMORY\\finalize.dat", true));
    FinalizeStorageLibrary();
    InitializeStorageLibrary();
    EXPECT_FALSE(EngineFileExists("MEMORY\\finalize.dat", true));
    EXPECT_EQ(GlobalFileList().Count(), 0u);
}

TEST(CollationMaps, LanguageZeroIsTheIdentity) {
    const CollationMap map = TLanguageCharMapsList::BuildMap(0, 0);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(map[i], i);
    }
}

TEST(CollationMaps, MapsSortEveryCharacterAndKeepTrueEnds) {
    for (const auto& [language, sort] : {std::pair<std::uint16_t, std::uint16_t>{0x0409, 0},
                                         {0x0407, 1},
                                         {0x0419, 0},
                                         {0x040C, 0}}) {
        SCOPED_TRACE(language);
        const CollationMap map = TLanguageCharMapsList::BuildMap(language, sort);
        const auto locale = platform::nls::MakeLocaleId(language, sort);
        std::set<int> seen(map.begin(), map.end());
        EXPECT_EQ(seen.size(), 256u);
        auto one = [](std::uint8_t c) {
            return c == 0 ? std::string() : std::string(1, static_cast<char>(c));
        };
        for (int i = 0; i + 1 < 256; ++i) {
            EXPECT_LE(platform::nls::CompareString(locale, platform::nls::SORT_STRINGSORT,
                                                   one(map[i]), one(map[i + 1])),
                      platform::nls::CSTR_EQUAL)
                << i;
        }
        // The partial-key fills: nothing sorts below map[0] or above map[255].
        for (int c = 0; c < 256; ++c) {
            const auto byte = static_cast<std::uint8_t>(c);
            EXPECT_LE(platform::nls::CompareString(locale, platform::nls::SORT_STRINGSORT,
                                                   one(map[0]), one(byte)),
                      platform::nls::CSTR_EQUAL);
            EXPECT_GE(platform::nls::CompareString(locale, platform::nls::SORT_STRINGSORT,
                                                   one(map[255]), one(byte)),
                      platform::nls::CSTR_EQUAL);
        }
    }
}

TEST(CollationMaps, TheCacheBuildsEachMapOnce) {
    TLanguageCharMapsList cache;
    const CollationMap first = cache.GetMap(0x0409, 0);
    EXPECT_EQ(cache.Count(), 1u);
    EXPECT_EQ(cache.GetMap(0x0409, 0), first);
    EXPECT_EQ(cache.Count(), 1u);
    cache.GetMap(0, 0);
    EXPECT_EQ(cache.Count(), 2u);
    EXPECT_EQ(GetLanguageCharMap(0x0409, 0), first);
}

TEST(CollationMaps, UnknownLocalesAreLanguageErrors) {
    TLanguageCharMapsList cache;
    try {
        cache.GetMap(0x0409, 1);
        FAIL();
    } catch (const EStrataEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kErrLanguageNotAvailable);
    }
    EXPECT_EQ(cache.Count(), 0u);
}

}  // namespace
}  // namespace strata
