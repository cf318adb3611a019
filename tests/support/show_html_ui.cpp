#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QScrollBar>
#include <QTcpServer>
#include <QTextBrowser>

#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/show_html.h"

namespace {

namespace fs = std::filesystem;

class ShowHtmlTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvane-html-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Page(const std::string& name, const std::string& body) {
        const fs::path path = dir_ / name;
        std::ofstream(path) << "<html><body>" << body << "</body></html>";
        return path.string();
    }

    static std::vector<std::string> Items(const QComboBox& combo) {
        std::vector<std::string> items;
        for (int i = 0; i < combo.count(); ++i)
            items.push_back(fs::path(combo.itemText(i).toStdString()).filename().string());
        return items;
    }

    fs::path dir_;
};

TEST_F(ShowHtmlTest, HistoryKeepsTheNewestOnTopAndDropsTheOldest) {
    support::TShowHTML view;
    QComboBox combo;
    combo.setEditable(true);
    view.SetAttachedComboBox(&combo);
    std::vector<std::string> pages;
    for (int i = 1; i <= 31; ++i)
        pages.push_back(Page("p" + std::to_string(i) + ".html", "page " + std::to_string(i)));
    for (int i = 0; i < 30; ++i)
        ASSERT_TRUE(view.Navigate(pages[static_cast<std::size_t>(i)]));
    EXPECT_EQ(combo.count(), 30);
    EXPECT_EQ(Items(combo).back(), "p1.html");

    // A revisit moves nothing.
    view.Navigate(pages[4]);
    EXPECT_EQ(Items(combo).front(), "p30.html");
    EXPECT_EQ(Items(combo)[25], "p5.html");
    EXPECT_EQ(combo.currentText().toStdString(), pages[4]);

    view.Navigate(pages[30]);
    EXPECT_EQ(combo.count(), 30);
    EXPECT_EQ(Items(combo).front(), "p31.html");
    EXPECT_EQ(Items(combo).back(), "p2.html");

    view.SetMaxHistoryCount(0);  // no limit
    view.Navigate(pages[0]);
    EXPECT_EQ(combo.count(), 31);
}

TEST_F(ShowHtmlTest, NavigationReportsItsEventsInOrder) {
    support::TShowHTML view;
    std::vector<std::string> events;
    view.OnDownloadBegin = [&](QObject*) { events.push_back("begin"); };
    view.OnDownloadProgress = [&](QObject*, std::int32_t p, std::int32_t max) {
        events.push_back("progress " + std::to_string(p) + "/" + std::to_string(max));
    };
    view.OnDownloadSuccess = [&](QObject*) { events.push_back("success"); };
    view.OnChangePage = [&](QObject*) { events.push_back("change"); };
    view.OnDownloadEnd = [&](QObject*) { events.push_back("end"); };
    view.OnUpdateButtons = [&](QObject* sender, bool forward, bool enabled) {
        EXPECT_EQ(sender, view.Browser());
        events.push_back(std::string(forward ? "forward " : "back ") + (enabled ? "on" : "off"));
    };
    ASSERT_TRUE(view.EnsureBrowser());
    const std::string a = Page("a.html", "A");
    const std::string b = Page("Message.Html", "B");
    view.Navigate(a);
    std::erase_if(events, [](const std::string& e) { return e.ends_with(" off"); });
    EXPECT_EQ(events,
              (std::vector<std::string>{"begin", "progress 0/100", "success", "change", "end"}));
    EXPECT_EQ(view.LastFileName(), "A.HTML");
    events.clear();
    view.Navigate(b);
    EXPECT_EQ(view.LastFileName(), "MESSAGE.HTML");
    EXPECT_NE(std::find(events.begin(), events.end(), "back on"), events.end());
    events.clear();
    view.Browser()->backward();
    EXPECT_NE(std::find(events.begin(), events.end(), "forward on"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "change"), events.end());
    EXPECT_EQ(view.Browser()->toPlainText().toStdString(), "A");
}

TEST_F(ShowHtmlTest, NothingIsFetchedFromTheNetwork) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const std::string remote = "http://127.0.0.1:" + std::to_string(server.serverPort());
    support::TShowHTML view;
    const std::string page =
        Page("remote.html", "<p>text</p><img src=\"" + remote +
                                "/pixel.png\"><link rel=stylesheet href=\"" + remote + "/s.css\">");
    view.Navigate(page);
    view.Navigate(remote + "/page.html");
    QApplication::processEvents();
    EXPECT_FALSE(server.waitForNewConnection(200));
    EXPECT_TRUE(view.Browser()->toPlainText().isEmpty());
    EXPECT_FALSE(
        view.Browser()
            ->loadResource(QTextDocument::ImageResource, QUrl(QString::fromStdString(remote)))
            .isValid());
    std::ofstream(dir_ / "local.css") << "p { color: red }";
    EXPECT_TRUE(view.Browser()
                    ->loadResource(
                        QTextDocument::StyleSheetResource,
                        QUrl::fromLocalFile(QString::fromStdString((dir_ / "local.css").string())))
                    .isValid());
}

TEST_F(ShowHtmlTest, DevicesPipesAndHugeFilesAreNotRead) {
    // Without the check the pipe's open blocks for good; the alarm ends the run.
    alarm(60);
    const fs::path pipe = dir_ / "pipe.png";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const fs::path huge = dir_ / "huge.png";
    std::ofstream(huge).close();
    fs::resize_file(huge, std::uintmax_t{1} << 31);  // sparse: no disk used
    support::TShowHTML view;
    view.Navigate(Page("devices.html",
                       "<p>text</p><img src=\"pipe.png\"><img src=\"/dev/zero\">"
                       "<link rel=stylesheet href=\"huge.png\">"));
    QApplication::processEvents();
    EXPECT_EQ(view.Browser()->toPlainText().remove(QChar::ObjectReplacementCharacter).toStdString(),
              "text");
    for (const fs::path& file : {pipe, fs::path("/dev/zero"), huge}) {
        EXPECT_FALSE(view.Browser()
                         ->loadResource(QTextDocument::ImageResource,
                                        QUrl::fromLocalFile(QString::fromStdString(file.string())))
                         .isValid())
            << file;
    }
    // Navigating to such a file shows nothing rather than hanging.
    view.Navigate(pipe.string());
    EXPECT_TRUE(view.Browser()->toPlainText().isEmpty());
    alarm(0);
}

// The kernel's own files call themselves regular and empty, yet a process's
// page map reads on for gigabytes: read to its end it filled the memory.
TEST_F(ShowHtmlTest, FilesAreReadNoFurtherThanTheSizeTheyReport) {
    alarm(60);
    const char* pagemap = "/proc/self/pagemap";
    support::TShowHTML view;
    view.Navigate(Page("proc.html", std::string("<p>text</p><img src=\"") + pagemap +
                                        "\"><link rel=stylesheet href=\"" + pagemap + "\">"));
    view.show();
    QApplication::processEvents();
    EXPECT_EQ(view.Browser()->toPlainText().remove(QChar::ObjectReplacementCharacter).toStdString(),
              "text");
    EXPECT_TRUE(view.Browser()
                    ->loadResource(QTextDocument::ImageResource, QUrl::fromLocalFile(pagemap))
                    .toByteArray()
                    .isEmpty());
    view.Navigate(pagemap);
    QApplication::processEvents();
    EXPECT_TRUE(view.Browser()->toPlainText().isEmpty());
    // A file of the size it reports is read whole.
    std::string words;
    for (int i = 0; i < 5000; ++i)
        words += "word" + std::to_string(i) + " ";
    words += "end";
    view.Navigate(Page("whole.html", words));
    EXPECT_EQ(view.Browser()->toPlainText().toStdString(), words);
    alarm(0);
}

TEST_F(ShowHtmlTest, PreviewOfAnHtmlMessagePicture) {
    support::TShowHTML view;
    view.resize(520, 360);
    const std::string page =
        Page("message.html",
             "<h2 style='color:#1a4f8b'>Spring newsletter</h2>"
             "<p>Dear <b>member</b>,</p>"
             "<p>our next meeting is on <i>Thursday</i> at 19:30 in the town hall. "
             "Please bring the <a href='agenda.html'>agenda</a> with you.</p>"
             "<table border=1 cellpadding=4><tr><th>Item</th><th>Speaker</th></tr>"
             "<tr><td>Welcome</td><td>Anna</td></tr><tr><td>Budget</td><td>Jonas</td></tr></table>"
             "<p style='color:gray'>You receive this mail because you joined the list.</p>");
    ASSERT_TRUE(view.Navigate(page));
    view.show();
    QApplication::processEvents();
    const QImage image = view.grab().toImage();
    QDir().mkpath(CORVANE_PNG_DIR);
    ASSERT_TRUE(image.save(CORVANE_PNG_DIR "/show_html_message.png"));
    // The heading's blue is drawn somewhere on the white page.
    bool blue = false;
    for (int y = 0; y < image.height() && !blue; ++y)
        for (int x = 0; x < image.width() && !blue; ++x)
            blue = image.pixelColor(x, y).blue() > 100 && image.pixelColor(x, y).red() < 80;
    EXPECT_TRUE(blue);
}

// Sizes far beyond any screen overflow the text layout's fixed-point numbers
// and, without the cut, the preview never comes back.
TEST_F(ShowHtmlTest, HugeSizesInAPageNeitherHangNorReachTheLayout) {
    alarm(60);
    std::ofstream(dir_ / "wide.css") << "td { padding: 2000000000px }";
    const char* bodies[] = {
        "<table cellpadding='2000000000'><tr><td>cell</td></tr></table>",
        "<table cellspacing=2000000000><tr><td>cell</td></tr></table>",
        "<table><tr><td style='padding:2000000000px'>cell</td></tr></table>",
        "<table style=\"margin: 0 2000000000.5px\"><tr><td>cell</td></tr></table>",
        "<style>td { padding: 2000000000px }</style><table><tr><td>cell</td></tr></table>",
        "<table><tr><td>cell</td></tr></table>",
    };
    int n = 0;
    for (const char* body : bodies) {
        support::TShowHTML view;
        view.resize(300, 200);
        std::string page = Page("wide" + std::to_string(n++) + ".html", body);
        if (n == static_cast<int>(std::size(bodies))) {
            // A linked style sheet counts only in the head.
            std::ofstream(page) << "<html><head><link rel=stylesheet href='wide.css'></head><body>"
                                << body << "</body></html>";
        }
        ASSERT_TRUE(view.Navigate(page));
        view.show();
        QApplication::processEvents();
        EXPECT_FALSE(view.grab().toImage().isNull()) << body;
        EXPECT_NE(view.Browser()->toPlainText().toStdString().find("cell"), std::string::npos)
            << body;
    }
    alarm(0);
}

// Deeply nested tables took the layout ever longer (seconds at 16 levels, no
// end at 24) and thousands of levels overflowed its stack.
TEST_F(ShowHtmlTest, DeeplyNestedTablesShowTheirTextAtOnce) {
    alarm(60);
    for (const int depth : {40, 3000}) {
        std::string body;
        for (int i = 0; i < depth; ++i)
            body += "<table border=1><tr><td>";
        body += "deep";
        for (int i = 0; i < depth; ++i)
            body += "</td></tr></table>";
        body += "<p>after</p>";
        support::TShowHTML view;
        view.resize(400, 300);
        ASSERT_TRUE(view.Navigate(Page("nested" + std::to_string(depth) + ".html", body)));
        view.show();
        QApplication::processEvents();
        EXPECT_FALSE(view.grab().toImage().isNull());
        const std::string text = view.Browser()->toPlainText().toStdString();
        EXPECT_NE(text.find("deep"), std::string::npos) << depth;
        EXPECT_NE(text.find("after"), std::string::npos) << depth;
    }
    // Lists and quotes nested ever deeper grew the layout's time by the square.
    std::string lists;
    for (int i = 0; i < 30000; ++i)
        lists += i % 2 == 0 ? "<ul><li>" : "<blockquote>";
    support::TShowHTML view;
    view.resize(400, 300);
    ASSERT_TRUE(view.Navigate(Page("lists.html", lists + "deep list")));
    view.show();
    QApplication::processEvents();
    EXPECT_FALSE(view.grab().toImage().isNull());
    EXPECT_NE(view.Browser()->toPlainText().toStdString().find("deep list"), std::string::npos);
    alarm(0);
}

// The layout never places a line that reaches its endless page's break at
// 8,388,607 pixels: a page that tall kept the preview busy for good, however it
// came there (tall lines, padded cells, a long text), also when it came back
// through the history.
TEST_F(ShowHtmlTest, PagesTallerThanTheLayoutCanPlaceAreCutAndShown) {
    alarm(120);
    const auto many = [](const std::string& part, int count) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += part;
        return text;
    };
    const std::string pages[] = {
        "<p>first</p>" + many("<p style='line-height:100000px'>line</p>", 300) + "<p>last</p>",
        "<p>first</p>" + many("<table><tr><td style='padding:100000px'>x</td></tr></table>", 300) +
            "<p>last</p>",
        "<p>first</p>" + many("<p style='font-size:1000px'>big</p>", 8000) + "<p>last</p>",
    };
    support::TShowHTML view;
    view.resize(400, 300);
    view.show();
    const auto settle = [&view] {
        QScrollBar* bar = view.Browser()->verticalScrollBar();
        for (int i = 0; i < 50; ++i) {
            QApplication::processEvents(QEventLoop::AllEvents, 10);
            bar->setValue(bar->maximum());
        }
        return view.Browser()->document()->size().height();
    };
    int n = 0;
    for (const std::string& body : pages) {
        const std::string page = Page("tall" + std::to_string(n++) + ".html", body);
        ASSERT_TRUE(view.Navigate(page));
        EXPECT_LT(settle(), 8388607.0) << n;
        const std::string text = view.Browser()->toPlainText().toStdString();
        EXPECT_EQ(text.rfind("first", 0), 0u) << n;
        EXPECT_EQ(text.find("last"), std::string::npos) << n;
        EXPECT_NE(text.find("\u2026"), std::string::npos) << n;
        EXPECT_FALSE(view.grab().toImage().isNull());
    }
    // Back through the history to a tall page, and a page that fits stays whole.
    ASSERT_TRUE(view.Navigate(Page("short.html", "<p>first</p><p>last</p>")));
    EXPECT_EQ(view.Browser()->toPlainText().toStdString(), "first\nlast");
    view.Browser()->backward();
    EXPECT_LT(settle(), 8388607.0);
    EXPECT_EQ(view.Browser()->toPlainText().toStdString().find("last"), std::string::npos);
    alarm(0);
}

TEST(PreviewLengths, TablesBeyondTheNestingLimitLoseOnlyTheirTableTags) {
    std::string kept;
    for (int i = 0; i < support::kMaxPreviewTableNesting; ++i)
        kept += "<table><tr><td>";
    EXPECT_EQ(support::ClampHtmlLengths(kept + "<TABLE width=5><TR><TD>x</TD></TR></TABLE>"),
              kept + "   x <br><br>");
    // Once a kept table has closed, a table is kept again.
    std::string open;
    for (int i = 0; i < support::kMaxPreviewTableNesting; ++i)
        open += "<table>";
    EXPECT_EQ(support::ClampHtmlLengths(open + "<table></table></table><table>"),
              open + " <br></table><table>");
    std::string lists;
    for (int i = 0; i < support::kMaxPreviewListNesting; ++i)
        lists += "<ol><li>";
    EXPECT_EQ(support::ClampHtmlLengths(lists + "<ul><li>a</li></ul><blockquote>q</blockquote>"),
              lists + "  a <br><blockquote>q</blockquote>");
}

TEST(PreviewLengths, OnlyNumbersBeyondTheLimitAreCut) {
    struct Case {
        const char* css;
        const char* expected;
    };
    for (const Case c : {
             Case{"padding: 2000000000px", "padding: 100000px"},
             Case{"margin:-2000000000.75em 5px", "margin:-100000em 5px"},
             Case{"width: 100000px; height: 100001px", "width: 100000px; height: 100000px"},
             Case{"width: 000000000000012px", "width: 000000000000012px"},
             Case{"line-height: 250%", "line-height: 250%"},
             Case{"z-index: 99999999", "z-index: 100000"},
             Case{"color: #1000000; x: a123456789", "color: #1000000; x: a123456789"},
             Case{"background: url(img_20241209123456.png)",
                  "background: url(img_20241209123456.png)"},
             Case{"background: url(20241209123456.png)", "background: url(20241209123456.png)"},
             Case{".col-2000000 { }", ".col-2000000 { }"},
         }) {
        EXPECT_EQ(support::ClampCssLengths(c.css), c.expected) << c.css;
    }
    struct HtmlCase {
        const char* html;
        const char* expected;
    };
    for (const HtmlCase c : {
             HtmlCase{"<td colspan=9999999 width='2000000000'>Call 0123456789012</td>",
                      "<td colspan=1000 width='100000'>Call 0123456789012</td>"},
             HtmlCase{"<img src=\"photo_2000000000.png\" alt='2000000000' height=\"5\">",
                      "<img src=\"photo_2000000000.png\" alt='2000000000' height=\"5\">"},
             HtmlCase{"<P STYLE='PADDING:2000000000PX'>x</P>", "<P STYLE='PADDING:100000PX'>x</P>"},
             HtmlCase{"<!-- <td width=2000000000> --><style>p{margin:3000000px}</style>"
                      "<p>3000000px</p>",
                      "<!-- <td width=2000000000> --><style>p{margin:100000px}</style>"
                      "<p>3000000px</p>"},
             HtmlCase{"a < 2000000000 and <b>b</b> <td width=",
                      "a < 2000000000 and <b>b</b> <td width="},
             HtmlCase{"<td width='2000000000", "<td width='100000"},
         }) {
        EXPECT_EQ(support::ClampHtmlLengths(c.html), c.expected) << c.html;
    }
}

}  // namespace
