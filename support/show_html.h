#pragma once

// `TShowHTML`: a panel that shows a local file or address in an embedded
// browser (a QTextBrowser: no scripts, and nothing is loaded from the network),
// with a history of visited addresses in an attached combo box.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <QFrame>
#include <QPointer>

class QComboBox;
class QString;
class QTextDocument;
class QTextBrowser;
class QUrl;

namespace support {

// The largest length, in pixels or any other unit, that the preview passes on
// to the text layout; a larger one (a table padding of 2,000,000,000 pixels)
// overflows the layout's fixed-point arithmetic and stops the program.
inline constexpr long kMaxPreviewLength = 100000;

// Browsers take no column span above 1000; each spanned column is a cell of
// its own in the layout, so a larger span only costs time (fifty rows spanning
// 100,000 columns kept the preview busy for half a minute).
inline constexpr long kMaxPreviewColumnSpan = 1000;
// The tallest page the preview shows, in pixels at kPreviewMeasureWidth; the
// rest of a taller one is left out. The text layout breaks its one endless
// page at 8,388,607 pixels and never places a line that reaches that break,
// so the preview would never come back. Half of that, measured this narrow,
// leaves room for a preview down to half as wide, where lines wrap twice as often.
inline constexpr double kMaxPreviewHeight = 4000000;
inline constexpr double kPreviewMeasureWidth = 100;

// Style-sheet text with every number above kMaxPreviewLength cut down to it;
// numbers within names, addresses and colours stay as they are.
std::string ClampCssLengths(std::string_view css);
// The deepest tables nest in the preview. The layout's time grows about
// threefold with every two levels more (16 levels take seconds, a few more
// hang the program, a few thousand overflow its stack); mail seldom nests
// more than a handful.
inline constexpr int kMaxPreviewTableNesting = 8;
// The deepest lists, and quotes, nest in the preview; ten thousand levels
// take the layout many seconds, more take it minutes.
inline constexpr int kMaxPreviewListNesting = 64;

// HTML with the same cut applied to the numeric attributes of its tags (sizes,
// borders, spacing, spans), to their style attributes and to its style
// elements, and with the table, list and quote tags nested deeper than their
// limits dropped (their text stays). Text, comments and addresses stay as
// they are.
std::string ClampHtmlLengths(std::string_view html);

// The text of a page without what lies below kMaxPreviewHeight once laid out
// at kPreviewMeasureWidth (a table reaching below it goes as a whole), or
// nothing when all of it fits. `document` loads the page's images and style
// sheets; its default font and style sheet apply.
std::optional<QString> PreviewWithinHeight(QTextDocument& document, const QString& text);

class TShowHTML : public QFrame {
  public:
    using TNotifyEvent = std::function<void(QObject* sender)>;
    using TWebBrowserProgressChange =
        std::function<void(QObject* sender, std::int32_t progress, std::int32_t progress_max)>;
    using TNotifyUpdateButtons =
        std::function<void(QObject* sender, bool is_forward, bool is_enabled)>;

    explicit TShowHTML(QWidget* parent = nullptr);
    ~TShowHTML() override;

    std::int32_t MaxHistoryCount() const { return max_history_count_; }
    void SetMaxHistoryCount(std::int32_t value) { max_history_count_ = value; }
    bool NoCaching() const { return no_caching_; }
    void SetNoCaching(bool value) { no_caching_ = value; }
    QComboBox* AttachedComboBox() const { return combo_.data(); }
    void SetAttachedComboBox(QComboBox* combo) { combo_ = combo; }

    TNotifyEvent OnDownloadBegin;
    TNotifyEvent OnDownloadEnd;
    TNotifyEvent OnDownloadSuccess;
    TNotifyEvent OnChangePage;
    TWebBrowserProgressChange OnDownloadProgress;
    TNotifyUpdateButtons OnUpdateButtons;

    // Makes the browser on the first call; true when it is available.
    bool EnsureBrowser();
    // Shows a file name or address; false when there is no browser.
    bool Navigate(std::string_view address);

    QTextBrowser* Browser() const;
    // The upper-cased file-name part of the last address navigated to.
    const std::string& LastFileName() const { return last_file_name_; }

    // An address as the browser takes it: a path becomes a file address.
    static QUrl AddressUrl(std::string_view address);

  private:
    class Browser;
    friend class Browser;
    void Navigating();
    void Navigated(const QUrl& url);
    void DocumentComplete(const std::string& address);

    std::int32_t max_history_count_ = 30;
    bool no_caching_ = false;
    QPointer<QComboBox> combo_;
    bool created_ = false;
    bool available_ = false;
    std::string last_file_name_;
    class Browser* browser_ = nullptr;  // a child widget, owned by Qt's parent chain
};

}  // namespace support
