#include "support/show_html.h"

#include <QComboBox>
#include <QFileInfo>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

#include "platform/ui/application.h"

namespace support {

// The browser: every navigation, by code, by a link or through the history,
// runs through doSetSource and reports its events; only local resources load.
class TShowHTML::Browser : public QTextBrowser {
  public:
    static constexpr qint64 kMaxResourceBytes = qint64{64} << 20;

    explicit Browser(TShowHTML* owner) : QTextBrowser(owner), owner_(owner) {
        setOpenExternalLinks(false);
        setOpenLinks(true);
    }

    QVariant loadResource(int type, const QUrl& name) override {
        const QUrl resolved = source().resolved(name);
        if (!resolved.isLocalFile() && !resolved.scheme().isEmpty() &&
            resolved.scheme() != QLatin1String("data") && resolved.scheme() != QLatin1String("qrc"))
            return {};  // nothing from the network
        if (resolved.isLocalFile()) {
            // A device or a pipe would be read without end (or block the open),
            // and a file far beyond any page's size would fill the memory.
            const QFileInfo file(resolved.toLocalFile());
            if (!file.isFile() || file.size() > kMaxResourceBytes)
                return {};
        }
        return QTextBrowser::loadResource(type, name);
    }

    // Moves through the history do not pass doSetSource.
    void backward() override {
        owner_->Navigating();
        QTextBrowser::backward();
        owner_->Navigated(source());
    }
    void forward() override {
        owner_->Navigating();
        QTextBrowser::forward();
        owner_->Navigated(source());
    }

  protected:
    void doSetSource(const QUrl& name, QTextDocument::ResourceType type) override {
        if (!name.isLocalFile() && !name.isRelative() && name.scheme() != QLatin1String("qrc")) {
            // A remote address is not fetched; the page stays empty.
            owner_->Navigating();
            clear();
            owner_->Navigated(name);
            return;
        }
        owner_->Navigating();
        QTextBrowser::doSetSource(name, type);
        owner_->Navigated(name);
    }

  private:
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
}

TShowHTML::~TShowHTML() = default;

QTextBrowser* TShowHTML::Browser() const {
    return browser_;
}

bool TShowHTML::EnsureBrowser() {
    if (created_)
        return available_;
    created_ = true;
    available_ = true;
    try {
        browser_ = new class Browser(this);
        layout()->addWidget(browser_);
        connect(browser_, &QTextBrowser::forwardAvailable, this, [this](bool enabled) {
            if (OnUpdateButtons)
                ui::Guarded([&] { OnUpdateButtons(browser_, true, enabled); });
        });
        connect(browser_, &QTextBrowser::backwardAvailable, this, [this](bool enabled) {
            if (OnUpdateButtons)
                ui::Guarded([&] { OnUpdateButtons(browser_, false, enabled); });
        });
    } catch (...) {
        available_ = false;
    }
    return available_;
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
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    last_file_name_ = name;
    if (combo_)
        combo_->setEditText(
            QString::fromUtf8(address.data(), static_cast<qsizetype>(address.size())));
    const QUrl url = AddressUrl(address);
    // Without the cache, images and style sheets of the last page are read afresh.
    if (no_caching_)
        browser_->document()->clear();
    if (url == browser_->source())
        browser_->reload();  // the same page again is read afresh
    else
        browser_->setSource(url);
    return true;
}

void TShowHTML::Navigating() {
    ui::Guarded([&] {
        if (OnDownloadBegin)
            OnDownloadBegin(this);
        if (OnDownloadProgress)
            OnDownloadProgress(this, 0, 100);
    });
}

void TShowHTML::Navigated(const QUrl& url) {
    ui::Guarded([&] {
        if (OnDownloadSuccess)
            OnDownloadSuccess(this);
    });
    const std::string address =
        (url.isLocalFile() ? url.toLocalFile() : url.toString()).toStdString();
    DocumentComplete(address);
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
