#include "platform/db/stream.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>

#include "platform/db/exception.h"
#include "platform/db/file_stream.h"
#include "platform/db/string_list.h"

namespace db {
namespace {

TEST(MemoryStream, WritesGrowReadsStopAtTheEnd) {
    TMemoryStream stream;
    stream.WriteText("hello");
    EXPECT_EQ(stream.Size(), 5);
    EXPECT_EQ(stream.Position(), 5);
    stream.SetPosition(8);
    stream.WriteText("!");
    EXPECT_EQ(stream.Size(), 9);
    stream.SetPosition(0);
    EXPECT_EQ(stream.ReadText(100), std::string("hello\0\0\0!", 9));
    EXPECT_EQ(stream.ReadText(1), "");

    EXPECT_EQ(stream.Seek(-2, soEnd), 7);
    EXPECT_EQ(stream.Seek(-20, soCurrent), -13);
    EXPECT_EQ(stream.ReadText(4), "");  // outside the block: nothing, no crash
    std::byte one{};
    EXPECT_EQ(stream.Write(std::span<const std::byte>(&one, 1)), 0);

    stream.SetPosition(0);
    std::array<std::byte, 20> buffer{};
    try {
        stream.ReadBuffer(buffer);
        FAIL();
    } catch (const EReadError& e) {
        EXPECT_STREQ(e.what(), "Stream read error");
    }
    stream.SetSize(2);
    EXPECT_EQ(stream.Position(), 2);
    stream.SetPosition(0);
    EXPECT_EQ(stream.ReadText(10), "he");
    stream.Clear();
    EXPECT_EQ(stream.Size(), 0);
}

TEST(MemoryStream, CopyFromTakesWholeSourceOrCount) {
    TMemoryStream source;
    source.WriteText("0123456789");
    TMemoryStream target;
    EXPECT_EQ(target.CopyFrom(source, 0), 10);
    source.SetPosition(2);
    EXPECT_EQ(target.CopyFrom(source, 3), 3);
    target.SetPosition(0);
    EXPECT_EQ(target.ReadText(20), "0123456789234");
    source.SetPosition(8);
    EXPECT_THROW(target.CopyFrom(source, 5), EReadError);
}

// A stream that accepts only a few bytes, as a full disk would.
class ShortStream : public TMemoryStream {
  public:
    std::int64_t Write(std::span<const std::byte> data) override {
        return TMemoryStream::Write(data.first(std::min<std::size_t>(data.size(), 3)));
    }
};

TEST(MemoryStream, ShortWriteRaises) {
    ShortStream stream;
    try {
        stream.WriteText("abcdef");
        FAIL();
    } catch (const EWriteError& e) {
        EXPECT_STREQ(e.what(), "Stream write error");
    }
}

class FileStreamTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/file_stream_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Path(const char* name) const { return (dir_ / name).string(); }

    std::filesystem::path dir_;
};

TEST_F(FileStreamTest, CreateWriteReopenRead) {
    {
        TFileStream stream(Path("data.bin"), fmCreate);
        stream.WriteText("abc");
        stream.SetPosition(10);
        stream.WriteText("z");
        EXPECT_EQ(stream.Size(), 11);
        stream.Close();
        EXPECT_NO_THROW(stream.Close());
        EXPECT_THROW(stream.WriteText("x"), EStreamError);
    }
    TFileStream reader(Path("DATA.bin"), fmOpenRead | fmShareDenyNone);
    EXPECT_EQ(reader.ReadText(3), "abc");
    EXPECT_EQ(reader.Seek(-1, soEnd), 10);
    EXPECT_EQ(reader.ReadText(5), "z");
    EXPECT_THROW(reader.WriteText("no"), EWriteError);
}

TEST_F(FileStreamTest, FailuresNameTheFile) {
    try {
        TFileStream stream(Path("missing.bin"), fmOpenRead);
        FAIL();
    } catch (const EFOpenError& e) {
        EXPECT_NE(std::string(e.what()).find("Cannot open file \"" + Path("missing.bin") + "\""),
                  std::string::npos);
    }
    EXPECT_THROW(TFileStream(Path("no/dir/x.bin"), fmCreate), EFCreateError);
}

TEST_F(FileStreamTest, ExclusiveOpenRefusesASecondUser) {
    TFileStream first(Path("held.bin"), fmCreate);
    EXPECT_THROW(TFileStream(Path("held.bin"), fmOpenReadWrite | fmShareExclusive), EFOpenError);
    EXPECT_THROW(TFileStream(Path("held.bin"), fmOpenRead | fmShareDenyNone), EFOpenError);
    first.Close();
    TFileStream shared1(Path("held.bin"), fmOpenRead | fmShareDenyNone);
    EXPECT_NO_THROW(TFileStream(Path("held.bin"), fmOpenRead | fmShareDenyNone));
}

TEST_F(FileStreamTest, StringListThroughStreams) {
    TStringList list;
    list.SetText("one\ntwo");
    TMemoryStream memory;
    memory.WriteText(
        "\xEF\xBB\xBF"
        "x\r\ny");
    memory.SetPosition(0);
    list.LoadFromStream(memory);
    EXPECT_EQ(list.ToVector(), (std::vector<std::string>{"x", "y"}));

    TFileStream file(Path("list.txt"), fmCreate);
    list.SaveToStream(file);
    file.Close();
    TMemoryStream back;
    back.LoadFromFile(Path("list.txt"));
    EXPECT_EQ(back.Size(), 6);
    back.SaveToFile(Path("copy.txt"));
    TStringList copy;
    copy.LoadFromFile(Path("copy.txt"));
    EXPECT_TRUE(copy.Equals(list));
}

}  // namespace
}  // namespace db
