#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QPushButton>
#include <QWebEngineView>

#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/show_html.h"
#include "tests/common/web_view.h"

#if defined(__SANITIZE_ADDRESS__)
// Chromium frees some of its objects through a type of another size (see app/main.cpp).
extern "C" const char* __asan_default_options() {
    return "new_delete_type_mismatch=0";
}
#endif
// Chromium keeps some of its own objects (and fontconfig's, which it asks for
// fonts) to the end of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libQt6WebEngineCore.so\nleak:libfontconfig.so\n";
}

namespace {

namespace fs = std::filesystem;
using web_testing::AwaitLoad;

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

    // Navigates and waits until the page is shown.
    static bool Show(support::TShowHTML& view, const std::string& address) {
        return view.EnsureBrowser() &&
               AwaitLoad(*view.Browser(), [&] { EXPECT_TRUE(view.Navigate(address)); });
    }

    static std::string Text(support::TShowHTML& view) {
        return web_testing::PageText(*view.Browser()).toStdString();
    }

    static int Count(const QImage& image, QRgb color) {
        int n = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                n += image.pixel(x, y) == (color | 0xff000000u);
        return n;
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
        ASSERT_TRUE(Show(view, pages[static_cast<std::size_t>(i)]));
    EXPECT_EQ(combo.count(), 30);
    EXPECT_EQ(Items(combo).back(), "p1.html");

    // A revisit moves nothing.
    Show(view, pages[4]);
    EXPECT_EQ(Items(combo).front(), "p30.html");
    EXPECT_EQ(Items(combo)[25], "p5.html");
    EXPECT_EQ(combo.currentText().toStdString(), pages[4]);

    Show(view, pages[30]);
    EXPECT_EQ(combo.count(), 30);
    EXPECT_EQ(Items(combo).front(), "p31.html");
    EXPECT_EQ(Items(combo).back(), "p2.html");

    view.SetMaxHistoryCount(0);  // no limit
    Show(view, pages[0]);
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
    ASSERT_TRUE(Show(view, a));
    // The engine may report steps between, each short of the whole.
    std::erase_if(events, [](const std::string& e) {
        return e.ends_with(" off") || (e.starts_with("progress ") && e != "progress 0/100" &&
                                       std::stoi(e.substr(9)) < 100);
    });
    EXPECT_EQ(events,
              (std::vector<std::string>{"begin", "progress 0/100", "success", "change", "end"}));
    EXPECT_EQ(view.LastFileName(), "A.HTML");
    events.clear();
    ASSERT_TRUE(Show(view, b));
    EXPECT_EQ(view.LastFileName(), "MESSAGE.HTML");
    EXPECT_NE(std::find(events.begin(), events.end(), "back on"), events.end());
    events.clear();
    ASSERT_TRUE(AwaitLoad(*view.Browser(), [&] { view.Browser()->back(); }));
    EXPECT_NE(std::find(events.begin(), events.end(), "forward on"), events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), "change"), events.end());
    EXPECT_EQ(Text(view), "A");
}

// Without its helper program the engine would end the program; the panel
// reports no browser instead.
TEST_F(ShowHtmlTest, WithoutTheEnginesHelperThereIsNoBrowser) {
    qputenv("QTWEBENGINEPROCESS_PATH", (dir_ / "QtWebEngineProcess").c_str());
    support::TShowHTML view;
    EXPECT_FALSE(view.EnsureBrowser());
    EXPECT_FALSE(view.Navigate(Page("a.html", "A")));
    qunsetenv("QTWEBENGINEPROCESS_PATH");
}

// A newsletter as its readers see it: style block, table and local image at
// once, its image and style sheet from a loopback server only once asked for,
// its scripts never.
TEST_F(ShowHtmlTest, RemoteContentLoadsOnlyWhenTheUserAsks) {
    alarm(120);
    fs::create_directory(dir_ / "site");
    std::ofstream(dir_ / "site/remote.css") << "p { background: #ff00ff }";
    for (const auto& [file, color] : {std::pair{"site/banner.png", 0x00a000}, {"logo.png", 0xff}}) {
        QImage image(120, 40, QImage::Format_RGB32);
        image.fill(QColor::fromRgb(static_cast<QRgb>(color)));
        ASSERT_TRUE(image.save(QString::fromStdString((dir_ / file).string())));
    }
    QProcess server;
    server.setProcessChannelMode(QProcess::MergedChannels);
    server.start("python3", {"-u", "-m", "http.server", "0", "--bind", "127.0.0.1", "-d",
                             QString::fromStdString((dir_ / "site").string())});
    QString log;
    while (!log.contains(") ...") && server.waitForReadyRead(10000))
        log += server.readAll();
    const QString port = log.section(" port ", 1).section(' ', 0, 0);
    ASSERT_FALSE(port.isEmpty()) << log.toStdString();
    const std::string remote = "http://127.0.0.1:" + port.toStdString();
    support::TShowHTML view;
    view.resize(560, 420);
    view.show();
    ASSERT_TRUE(Show(view, Page("newsletter.html",
                                "<style>h1 { color: #1a4f8b } td { border: 3px solid #c00000 }"
                                "</style><link rel=stylesheet href='" +
                                    remote +
                                    "/remote.css'>"
                                    "<h1>Autumn letter</h1><img src=logo.png><img src='cid:a@b'>"
                                    "<p>We meet on Friday.</p><table><tr><th>When</th><th>What</th>"
                                    "</tr><tr><td>19:30</td><td>Talk</td></tr></table><img src='" +
                                    remote +
                                    "/banner.png'><img src=none onerror=\"document.title="
                                    "'ran'\"><script>document.body.innerHTML = 'ran'</script>")));
    QImage image = web_testing::Painted(view, [](const QImage& i) { return Count(i, 0xff) > 0; });
    QDir().mkpath(CORVANE_PNG_DIR);
    ASSERT_TRUE(image.save(CORVANE_PNG_DIR "/show_html_remote_held.png"));
    server.waitForReadyRead(300);
    EXPECT_FALSE(server.readAll().contains("GET /"));
    EXPECT_TRUE(view.RemoteContentBar()->isVisible());
    const std::string text = Text(view);
    EXPECT_NE(text.find("We meet on Friday."), std::string::npos) << text;
    EXPECT_EQ(text.find("ran"), std::string::npos);
    EXPECT_NE(view.Browser()->title(), "ran");
    EXPECT_GE(Count(image, 0xff), 120 * 40);
    EXPECT_GT(Count(image, 0xc00000), 0);
    EXPECT_EQ(Count(image, 0x00a000) + Count(image, 0xff00ff), 0);

    ASSERT_TRUE(AwaitLoad(*view.Browser(),
                          [&] { view.RemoteContentBar()->findChild<QPushButton*>()->click(); }));
    image = web_testing::Painted(view, [](const QImage& i) { return Count(i, 0x00a000) > 0; });
    ASSERT_TRUE(image.save(CORVANE_PNG_DIR "/show_html_newsletter.png"));
    server.waitForReadyRead(300);
    log = server.readAll();
    EXPECT_TRUE(log.contains("GET /banner.png") && log.contains("GET /remote.css"));
    EXPECT_FALSE(view.RemoteContentBar()->isVisible());
    EXPECT_GE(Count(image, 0x00a000), 120 * 40);
    EXPECT_GT(Count(image, 0xff00ff), 0);
    // A network address is never shown as a page of its own.
    ASSERT_TRUE(Show(view, remote + "/remote.css"));
    EXPECT_EQ(Text(view), "");
    EXPECT_FALSE(server.waitForReadyRead(300));
    server.kill();
    server.waitForFinished();
    alarm(0);
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
    ASSERT_TRUE(Show(view, Page("devices.html",
                                "<p>text</p><img src=\"pipe.png\"><img src=\"/dev/zero\">"
                                "<link rel=stylesheet href=\"huge.png\">")));
    EXPECT_EQ(Text(view), "text");
    // Navigating to such a file shows nothing rather than hanging.
    for (const fs::path& file : {pipe, fs::path("/dev/zero"), huge}) {
        ASSERT_TRUE(Show(view, file.string())) << file;
        EXPECT_EQ(Text(view), "") << file;
    }
    alarm(0);
}

// The kernel's own files call themselves regular and empty, yet a process's
// page map reads on for gigabytes: read to its end it filled the memory.
TEST_F(ShowHtmlTest, FilesAreReadNoFurtherThanTheSizeTheyReport) {
    alarm(60);
    const char* pagemap = "/proc/self/pagemap";
    support::TShowHTML view;
    view.show();
    ASSERT_TRUE(
        Show(view, Page("proc.html", std::string("<p>text</p><img src=\"") + pagemap +
                                         "\"><link rel=stylesheet href=\"" + pagemap + "\">")));
    EXPECT_EQ(Text(view), "text");
    ASSERT_TRUE(Show(view, pagemap));
    EXPECT_EQ(Text(view), "");
    // A file of the size it reports is read whole.
    std::string words;
    for (int i = 0; i < 5000; ++i)
        words += "word" + std::to_string(i) + " ";
    words += "end";
    ASSERT_TRUE(Show(view, Page("whole.html", words)));
    EXPECT_EQ(Text(view), words);
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
    ASSERT_TRUE(Show(view, page));
    view.show();
    const QImage image =
        web_testing::Painted(view, [](const QImage& i) { return Count(i, 0x1a4f8b) > 0; });
    QDir().mkpath(CORVANE_PNG_DIR);
    ASSERT_TRUE(image.save(CORVANE_PNG_DIR "/show_html_message.png"));
    // The heading's blue is drawn somewhere on the white page.
    bool blue = false;
    for (int y = 0; y < image.height() && !blue; ++y)
        for (int x = 0; x < image.width() && !blue; ++x)
            blue = image.pixelColor(x, y).blue() > 100 && image.pixelColor(x, y).red() < 80;
    EXPECT_TRUE(blue);
}

// Sizes far beyond any screen, nesting thousands of levels deep and pages
// millions of pixels tall stopped or hung the preview's earlier text layout;
// they neither hang nor lose text.
TEST_F(ShowHtmlTest, HugeSizesInAPageNeitherHangNorReachTheLayout) {
    alarm(120);
    std::ofstream(dir_ / "wide.css") << "td { padding: 2000000000px }";
    const auto many = [](const std::string& part, int count) {
        std::string text;
        for (int i = 0; i < count; ++i)
            text += part;
        return text;
    };
    const std::string bodies[] = {
        "<table cellpadding='2000000000'><tr><td>cell</td></tr></table>",
        "<table cellspacing=2000000000><tr><td>cell</td></tr></table>",
        "<table><tr><td style='padding:2000000000px'>cell</td></tr></table>",
        "<table style=\"margin: 0 2000000000.5px\"><tr><td>cell</td></tr></table>",
        "<style>td { padding: 2000000000px }</style><table><tr><td>cell</td></tr></table>",
        many("<table border=1><tr><td>", 40) + "cell" + many("</td></tr></table>", 40),
        many("<table border=1><tr><td>", 3000) + "cell" + many("</td></tr></table>", 3000),
        many("<ul><li><blockquote>", 15000) + "cell",
        "<p>cell</p>" + many("<p style='line-height:100000px'>line</p>", 300),
        "<p>cell</p>" + many("<table><tr><td style='padding:100000px'>x</td></tr></table>", 300),
        "<p>cell</p>" + many("<p style='font-size:1000px'>big</p>", 8000),
        "<table><tr><td>cell</td></tr></table>",
    };
    support::TShowHTML view;
    view.resize(300, 200);
    view.show();
    int n = 0;
    for (const std::string& body : bodies) {
        std::string page = Page("wide" + std::to_string(n++) + ".html", body + "<p>after</p>");
        if (n == static_cast<int>(std::size(bodies))) {
            // A linked style sheet counts only in the head.
            std::ofstream(page) << "<html><head><link rel=stylesheet href='wide.css'></head><body>"
                                << body << "<p>after</p></body></html>";
        }
        ASSERT_TRUE(Show(view, page)) << n;
        EXPECT_FALSE(view.grab().toImage().isNull()) << n;
        const std::string text = Text(view);
        EXPECT_NE(text.find("cell"), std::string::npos) << n;
        EXPECT_NE(text.find("after"), std::string::npos) << n;
    }
    // Back through the history to a tall page.
    ASSERT_TRUE(AwaitLoad(*view.Browser(), [&] { view.Browser()->back(); }));
    EXPECT_NE(Text(view).find("after"), std::string::npos);
    alarm(0);
}

}  // namespace
