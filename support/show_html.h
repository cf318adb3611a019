#pragma once

// `TShowHTML`: a panel that shows a local file or address in an embedded
// browser (Qt WebEngine), with a history of visited addresses in an attached
// combo box. A mail is shown as its readers' mail programs show it: scripts
// never run, and images and style sheets from the network load only after the
// user asks for them on the bar above the page.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <QFrame>
#include <QPointer>
#include <QUrl>

class QComboBox;
class QLabel;
class QPushButton;
class QWebEngineProfile;
class QWebEngineView;

namespace support {

// The largest local file a page or its images and style sheets are read from.
inline constexpr qint64 kMaxPreviewFileBytes = qint64{64} << 20;

// The deepest tables nest in the preview. The engine's layout time grows
// steeply beyond a thousand levels (three thousand kept it busy for minutes);
// mail seldom nests more than a handful.
inline constexpr int kMaxPreviewTableNesting = 500;

// HTML with the table tags nested deeper than the limit dropped (their text
// stays, a row's end as a line break), or nothing when none nest that deep.
std::optional<std::string> LimitTableNesting(std::string_view html, int max_depth);

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
    // Shows a file name or address; false when there is no browser. The page
    // loads after the call returns; OnChangePage reports it shown.
    bool Navigate(std::string_view address);

    QWebEngineView* Browser() const;
    // The upper-cased file-name part of the last address navigated to.
    const std::string& LastFileName() const { return last_file_name_; }

    // The bar offering the network content the page asked for; visible only
    // while some of it was held back.
    QWidget* RemoteContentBar() const { return bar_; }
    // What the bar's button does: loads the page again, this time with its
    // images and style sheets from the network.
    void LoadRemoteContent();

    // An address as the browser takes it: a path becomes a file address.
    static QUrl AddressUrl(std::string_view address);

  private:
    class Guard;
    class Page;
    friend class Guard;
    friend class Page;
    void MakeBrowser();
    void WatchButton(bool forward);
    void RemoteContentHeld();
    // A local page whose tables nest too deeply, with them cut.
    static std::optional<QString> LimitedPage(const QUrl& url);
    void LoadFinished(bool ok);
    void DocumentComplete(const std::string& address);

    std::int32_t max_history_count_ = 30;
    bool no_caching_ = false;
    QPointer<QComboBox> combo_;
    bool created_ = false;
    bool available_ = false;
    std::string last_file_name_;
    // The user asked for network content; it stays allowed while the panel
    // lives (the send dialog's message, shown afresh after each edit).
    bool remote_allowed_ = false;
    // The last page refused, while the empty page shown for it loads.
    QUrl refused_;
    // Child widgets and objects, owned by Qt's parent chain; the view (and its
    // page) goes before the profile it uses.
    QWidget* bar_ = nullptr;
    QLabel* bar_text_ = nullptr;
    QPushButton* bar_button_ = nullptr;
    QWebEngineView* browser_ = nullptr;
    QWebEngineProfile* profile_ = nullptr;
    Guard* guard_ = nullptr;
};

}  // namespace support
