#include "app/mail/message_editor.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "app/routines/file_routines.h"

namespace app {
namespace {

namespace fs = std::filesystem;

TEST(MessageEditor, HtmlFileNamesInAnyCase) {
    for (const char* name : {"a.htm", "b.HTML", "c.Htm", "/x/y.html"})
        EXPECT_TRUE(IsHtmlFileName(name)) << name;
    for (const char* name : {"a.txt", "html", "b.htmx", "c.html.txt", ""})
        EXPECT_FALSE(IsHtmlFileName(name)) << name;
}

TEST(MessageEditor, OnlyTheNewestPreviewFileExists) {
    std::vector<std::uint32_t> numbers{7, 20000042};
    std::size_t next = 0;
    std::string first, second;
    {
        PreviewFile preview([&] { return numbers[next++]; });
        first = preview.Create("<p>one</p>");
        EXPECT_EQ(first, GetTempDir() + "~message7.html");
        EXPECT_TRUE(fs::exists(first));
        second = preview.Create("<p>two</p>");
        EXPECT_FALSE(fs::exists(first)) << "the previous preview is deleted";
        EXPECT_EQ(second, GetTempDir() + "~message42.html") << "numbers stay below 20000000";
        std::ifstream in(second);
        std::string text;
        std::getline(in, text);
        EXPECT_EQ(text, "<p>two</p>");
    }
    EXPECT_FALSE(fs::exists(second)) << "deleted at close";
}

TEST(MessageEditor, ExistingFileIsNeverOverwritten) {
    const std::string taken = GetTempDir() + "~message5.html";
    std::ofstream(taken) << "someone else's";
    std::vector<std::uint32_t> numbers{5, 6};
    std::size_t next = 0;
    {
        PreviewFile preview([&] { return numbers[next++]; });
        EXPECT_EQ(preview.Create("mine"), GetTempDir() + "~message6.html");
    }
    std::ifstream in(taken);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "someone else's");
    fs::remove(taken);
}

}  // namespace
}  // namespace app
