#include "support/show_html.h"

#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLibraryInfo>
#include <QPushButton>
#include <QStringDecoder>
#include <QUrl>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineView>

#include <unistd.h>
#include <algorithm>
#include <stdexcept>
#include <string>

#include "platform/nls/text.h"
#include "platform/ui/application.h"

namespace support {

namespace {

bool IsRemote(const QUrl& url) {
    return url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
}

// A local file a page may read: a regular one within the size limit that
// reports a size. A device or a pipe would be read without end (or block the
// open), and the kernel's own files report none yet some of them (a process's
// page map) read on for gigabytes.
bool IsReadableFile(const QUrl& url) {
    const QFileInfo file(url.toLocalFile());
    return file.isFile() && file.size() > 0 && file.size() <= kMaxPreviewFileBytes;
}

bool IsTablePart(std::string_view name) {
    static constexpr std::string_view kParts[] = {"table", "tr",    "td",  "th",       "tbody",
                                                  "thead", "tfoot", "col", "colgroup", "caption"};
    return std::find(std::begin(kParts), std::end(kParts), name) != std::end(kParts);
}

// The lower-case name of the tag at "<", after a "/" for a closing tag.
std::string TagName(std::string_view html, std::size_t lt, bool& closing) {
    std::size_t at = lt + 1;
    closing = at < html.size() && html[at] == '/';
    if (closing)
        ++at;
    std::string name;
    while (at < html.size() &&
           (platform::nls::IsAsciiLetter(html[at]) || platform::nls::IsAsciiDigit(html[at])) &&
           name.size() < 16)
        name += platform::nls::AsciiLower(html[at++]);
    return name;
}

// Chromium does not start its sandbox for root (a build machine, a container);
// the user's own flags stay.
void AllowRunningAsRoot() {
    if (::geteuid() != 0)
        return;
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (flags.split(' ').contains("--no-sandbox"))
        return;
    if (!flags.isEmpty())
        flags += ' ';
    flags += "--no-sandbox";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
}

// Whether the engine's helper program is there: without it the engine stops
// the whole program as it starts, where a missing browser only costs the
// preview.
bool HasEngineHelper() {
    const QString named = qEnvironmentVariable("QTWEBENGINEPROCESS_PATH");
    if (!named.isEmpty())
        return QFileInfo(named).isExecutable();
    const QString name = QStringLiteral("/QtWebEngineProcess");
    return QFileInfo(QLibraryInfo::path(QLibraryInfo::LibraryExecutablesPath) + name)
               .isExecutable() ||
           QFileInfo(QCoreApplication::applicationDirPath() + name).isExecutable();
}

}  // namespace

std::optional<std::string> LimitTableNesting(std::string_view html, int max_depth) {
    std::string out;
    bool cut = false;
    int depth = 0;
    std::size_t at = 0;
    while (at < html.size()) {
        const std::size_t lt = html.find('<', at);
        if (lt == std::string_view::npos)
            break;
        if (html.compare(lt, 4, "<!--") == 0) {
            const std::size_t close = html.find("-->", lt + 4);
            const std::size_t end = close == std::string_view::npos ? html.size() : close + 3;
            out.append(html.substr(at, end - at));
            at = end;
            continue;
        }
        bool closing = false;
        const std::string name = TagName(html, lt, closing);
        const std::size_t gt = html.find('>', lt);
        const std::size_t end = gt == std::string_view::npos ? html.size() : gt + 1;
        out.append(html.substr(at, lt - at));
        at = lt;
        if (!IsTablePart(name)) {
            out.append(html.substr(at, end - at));
            at = end;
            continue;
        }
        const bool outer = name == "table";
        const bool drop = depth > max_depth || (outer && !closing && depth == max_depth);
        if (outer)
            depth = closing ? std::max(0, depth - 1) : depth + 1;
        if (drop) {
            out += closing && (name == "tr" || outer) ? "<br>" : " ";
            cut = true;
        } else {
            out.append(html.substr(at, end - at));
        }
        at = end;
    }
    if (!cut)
        return std::nullopt;
    out.append(html.substr(at));
    return out;
}

// Decides every request of the panel's pages: local files only when they are
// safe to read, nothing from the network for a page itself, and a page's
// network images and style sheets only once the user has asked for them.
class TShowHTML::Guard : public QWebEngineUrlRequestInterceptor {
  public:
    explicit Guard(TShowHTML* owner) : QWebEngineUrlRequestInterceptor(owner), owner_(owner) {}

    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        const QUrl url = info.requestUrl();
        if (url.isLocalFile()) {
            info.block(!IsReadableFile(url));
            return;
        }
        const QString scheme = url.scheme();
        if (scheme == QLatin1String("data") || scheme == QLatin1String("about") ||
            scheme == QLatin1String("blob") || scheme == QLatin1String("qrc"))
            return;
        const bool page = info.resourceType() == QWebEngineUrlRequestInfo::ResourceTypeMainFrame;
        if (IsRemote(url) && !page) {
            if (owner_->remote_allowed_)
                return;
            owner_->RemoteContentHeld();
        }
        info.block(true);
    }

  private:
    TShowHTML* owner_;
};

// Refuses to show a page the guard would block, and shows an empty one
// instead: the engine would keep the last page on view.
class TShowHTML::Page : public QWebEnginePage {
  public:
    Page(QWebEngineProfile* profile, TShowHTML* owner)
        : QWebEnginePage(profile, owner->browser_), owner_(owner) {}

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType, bool main_frame) override {
        if (!main_frame || IsShownPage(url))
            return true;
        owner_->refused_ = url;
        QMetaObject::invokeMethod(
            this, [this] { setHtml(QString()); }, Qt::QueuedConnection);
        return false;
    }

  private:
    static bool IsShownPage(const QUrl& url) {
        if (url.isLocalFile())
            return IsReadableFile(url);
        return url.scheme() == QLatin1String("data") || url.scheme() == QLatin1String("about") ||
               url.scheme() == QLatin1String("qrc");
    }

    TShowHTML* owner_;
};

TShowHTML::TShowHTML(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, Qt::white);
    setPalette(p);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(1, 1, 1, 1);
    layout->setSpacing(0);
}

TShowHTML::~TShowHTML() {
    // A page must not outlive the profile it was made with.
    delete browser_;
}

QWebEngineView* TShowHTML::Browser() const {
    return browser_;
}

bool TShowHTML::EnsureBrowser() {
    if (created_)
        return available_;
    created_ = true;
    available_ = true;
    try {
        MakeBrowser();
    } catch (...) {
        available_ = false;
    }
    return available_;
}

void TShowHTML::MakeBrowser() {
    if (!HasEngineHelper())
        throw std::runtime_error("the browser engine's helper program is missing");
    AllowRunningAsRoot();
    // Off the record: nothing a page leaves (cookies, cache) is kept on disk.
    profile_ = new QWebEngineProfile(this);
    QWebEngineSettings* settings = profile_->settings();
    settings->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    settings->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    settings->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    // Else a mail file's network images never reach the guard, which is the
    // one to decide; with scripts off nothing else of a page reads them.
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
    settings->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
    settings->setAttribute(QWebEngineSettings::DnsPrefetchEnabled, false);
    settings->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
    // A page refused (a network address, a device) stays empty.
    settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    guard_ = new Guard(this);
    profile_->setUrlRequestInterceptor(guard_);

    bar_ = new QFrame(this);
    auto* bar_layout = new QHBoxLayout(bar_);
    bar_layout->setContentsMargins(6, 3, 3, 3);
    bar_text_ = new QLabel(QStringLiteral("Images and style sheets from the Internet are not "
                                          "shown, so that no one learns when this message "
                                          "is opened."),
                           bar_);
    bar_text_->setWordWrap(true);
    bar_button_ = new QPushButton(QStringLiteral("Load Remote Content"), bar_);
    bar_layout->addWidget(bar_text_, 1);
    bar_layout->addWidget(bar_button_);
    bar_->setAutoFillBackground(true);
    QPalette bar_palette = bar_->palette();
    bar_palette.setColor(QPalette::Window, QColor(0xff, 0xf4, 0xc8));
    bar_->setPalette(bar_palette);
    bar_->hide();
    connect(bar_button_, &QPushButton::clicked, this, [this] { LoadRemoteContent(); });

    browser_ = new QWebEngineView(this);
    browser_->setPage(new Page(profile_, this));
    bar_->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    layout()->addWidget(bar_);
    static_cast<QVBoxLayout*>(layout())->addWidget(browser_, 1);
    connect(browser_, &QWebEngineView::loadStarted, this, [this] {
        // A new page shows the bar again only if it too asks for the network.
        bar_->hide();
        ui::Guarded([&] {
            if (OnDownloadBegin)
                OnDownloadBegin(this);
        });
    });
    connect(browser_, &QWebEngineView::loadProgress, this, [this](int progress) {
        if (OnDownloadProgress && progress != -1 && progress < 100)
            ui::Guarded([&] { OnDownloadProgress(this, progress, 100); });
    });
    connect(browser_, &QWebEngineView::loadFinished, this, [this](bool ok) { LoadFinished(ok); });
    WatchButton(false);
    WatchButton(true);
}

void TShowHTML::WatchButton(bool forward) {
    QAction* action =
        browser_->pageAction(forward ? QWebEnginePage::Forward : QWebEnginePage::Back);
    connect(action, &QAction::changed, this,
            [this, action, forward, enabled = action->isEnabled()]() mutable {
                if (action->isEnabled() == enabled)
                    return;
                enabled = action->isEnabled();
                if (OnUpdateButtons)
                    ui::Guarded([&] { OnUpdateButtons(browser_, forward, enabled); });
            });
}

void TShowHTML::RemoteContentHeld() {
    if (bar_ != nullptr && bar_->isHidden())
        bar_->show();
}

void TShowHTML::LoadRemoteContent() {
    if (browser_ == nullptr)
        return;
    remote_allowed_ = true;
    bar_->hide();
    browser_->triggerPageAction(QWebEnginePage::ReloadAndBypassCache);
}

QUrl TShowHTML::AddressUrl(std::string_view address) {
    const QString text = QString::fromUtf8(address.data(), static_cast<qsizetype>(address.size()));
    const QUrl url(text);
    if (url.scheme().size() > 1)  // "c:" is a drive, not a scheme
        return url;
    return QUrl::fromLocalFile(QFileInfo(text).absoluteFilePath());
}

bool TShowHTML::Navigate(std::string_view address) {
    if (!EnsureBrowser())
        return false;
    std::string name(address);
    if (const auto slash = name.find_last_of("/\\"); slash != std::string::npos)
        name.erase(0, slash + 1);
    last_file_name_ = platform::nls::AsciiUpper(name);
    if (combo_)
        combo_->setEditText(
            QString::fromUtf8(address.data(), static_cast<qsizetype>(address.size())));
    const QUrl url = AddressUrl(address);
    profile_->setHttpCacheType(no_caching_ ? QWebEngineProfile::NoCache
                                           : QWebEngineProfile::MemoryHttpCache);
    if (std::optional<QString> limited = LimitedPage(url))
        browser_->setHtml(*limited, url);
    else if (url == browser_->url())  // the same page again is read afresh
        browser_->triggerPageAction(no_caching_ ? QWebEnginePage::ReloadAndBypassCache
                                                : QWebEnginePage::Reload);
    else
        browser_->load(url);
    return true;
}

std::optional<QString> TShowHTML::LimitedPage(const QUrl& url) {
    // The engine takes a page handed over whole up to 2 MB.
    constexpr qint64 kMaxHandedOver = qint64{2} << 20;
    if (!url.isLocalFile() || !IsReadableFile(url))
        return std::nullopt;
    QFile file(url.toLocalFile());
    if (file.size() > kMaxHandedOver || !file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(file.size());
    const std::optional<std::string> limited = LimitTableNesting(
        std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
        kMaxPreviewTableNesting);
    if (!limited)
        return std::nullopt;
    const QByteArray page(limited->data(), static_cast<qsizetype>(limited->size()));
    // Decoded as the engine decodes a page: by its own charset, else UTF-8.
    QStringDecoder decoder = QStringDecoder::decoderForHtml(page);
    if (!decoder.isValid())
        decoder = QStringDecoder(QStringDecoder::Utf8);
    return decoder.decode(page);
}

void TShowHTML::LoadFinished(bool ok) {
    if (ok) {
        ui::Guarded([&] {
            if (OnDownloadSuccess)
                OnDownloadSuccess(this);
        });
    }
    // The empty page shown for a refused one stands for it.
    QUrl url = browser_->url();
    if (url.scheme() == QLatin1String("data") && refused_.isValid())
        url = refused_;
    refused_.clear();
    DocumentComplete((url.isLocalFile() ? url.toLocalFile() : url.toString()).toStdString());
    ui::Guarded([&] {
        if (OnDownloadEnd)
            OnDownloadEnd(this);
    });
}

void TShowHTML::DocumentComplete(const std::string& address) {
    if (combo_) {
        const QString text = QString::fromStdString(address);
        combo_->setEditText(text);
        if (!text.isEmpty() && combo_->findText(text, Qt::MatchExactly) < 0) {
            combo_->insertItem(0, text);
            combo_->setEditText(text);
        }
        while (max_history_count_ > 0 && combo_->count() > max_history_count_)
            combo_->removeItem(combo_->count() - 1);
    }
    ui::Guarded([&] {
        if (OnChangePage)
            OnChangePage(this);
    });
}

}  // namespace support
