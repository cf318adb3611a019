#include "support/show_html.h"

#include <QAbstractTextDocumentLayout>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextFrame>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>

#include "platform/nls/text.h"
#include "platform/ui/application.h"

namespace support {

namespace {

using platform::nls::AsciiLower;
using platform::nls::IsAsciiDigit;
using platform::nls::IsAsciiLetter;

bool IsWordByte(char c) {
    return IsAsciiLetter(c) || IsAsciiDigit(c) || c == '_';
}

bool StartsWithNoCase(std::string_view text, std::size_t at, std::string_view prefix) {
    return platform::nls::StartsWithAscii(text.substr(at), prefix);
}

// Attributes whose values are lengths or counts.
bool IsNumericAttribute(std::string_view name) {
    static constexpr std::string_view kNames[] = {
        "width",   "height",  "border", "cellpadding", "cellspacing",
        "colspan", "rowspan", "size",   "hspace",      "vspace",
        "start",   "value",   "span",   "marginwidth", "marginheight"};
    for (std::string_view known : kNames) {
        if (name.size() == known.size() && StartsWithNoCase(name, 0, known))
            return true;
    }
    return false;
}

std::size_t FindNoCase(std::string_view text, std::size_t from, std::string_view needle) {
    for (std::size_t at = from; at + needle.size() <= text.size(); ++at) {
        if (StartsWithNoCase(text, at, needle))
            return at;
    }
    return std::string_view::npos;
}

std::string ClampNumbers(std::string_view css, long max_value);

// Appends one tag, from its "<" to its ">", with its numeric and style
// attributes clamped; answers where the tag ends.
std::size_t CopyTag(std::string_view html, std::size_t at, std::string& out) {
    const std::size_t start = at;
    ++at;  // "<"
    while (at < html.size() && html[at] != '>' &&
           !std::isspace(static_cast<unsigned char>(html[at])))
        ++at;
    out.append(html.substr(start, at - start));
    while (at < html.size() && html[at] != '>') {
        if (!IsWordByte(html[at]) && html[at] != '-') {
            out += html[at++];
            continue;
        }
        const std::size_t name_start = at;
        while (at < html.size() && (IsWordByte(html[at]) || html[at] == '-'))
            ++at;
        const std::string_view name = html.substr(name_start, at - name_start);
        out.append(name);
        std::size_t probe = at;
        while (probe < html.size() && std::isspace(static_cast<unsigned char>(html[probe])))
            ++probe;
        if (probe >= html.size() || html[probe] != '=')
            continue;
        ++probe;
        while (probe < html.size() && std::isspace(static_cast<unsigned char>(html[probe])))
            ++probe;
        out.append(html.substr(at, probe - at));
        at = probe;
        std::size_t value_start = at, value_end = at;
        if (at < html.size() && (html[at] == '"' || html[at] == '\'')) {
            const char quote = html[at];
            value_start = at + 1;
            value_end = html.find(quote, value_start);
            if (value_end == std::string_view::npos)
                value_end = html.size();
        } else {
            while (value_end < html.size() && html[value_end] != '>' &&
                   !std::isspace(static_cast<unsigned char>(html[value_end])))
                ++value_end;
        }
        out.append(html.substr(at, value_start - at));
        const std::string_view value = html.substr(value_start, value_end - value_start);
        if (name.size() == 7 && StartsWithNoCase(name, 0, "colspan"))
            out += ClampNumbers(value, kMaxPreviewColumnSpan);
        else if (IsNumericAttribute(name) ||
                 (name.size() == 5 && StartsWithNoCase(name, 0, "style")))
            out += ClampCssLengths(value);
        else
            out.append(value);
        at = value_end;
    }
    if (at < html.size())
        out += html[at++];  // ">"
    return at;
}

// The lower-case name of the tag at "<", after a "/" for a closing tag.
std::string TagName(std::string_view html, std::size_t lt, bool& closing) {
    std::size_t at = lt + 1;
    closing = at < html.size() && html[at] == '/';
    if (closing)
        ++at;
    std::string name;
    while (at < html.size() && (IsAsciiLetter(html[at]) || IsAsciiDigit(html[at])) &&
           name.size() < 16)
        name += AsciiLower(html[at++]);
    return name;
}

// Which nesting a tag belongs to (0 tables, 1 lists, 2 quotes; -1 none), and
// whether it opens or closes a level of it (`outer`) or is a part inside one.
int NestingFamily(std::string_view name, bool& outer) {
    static constexpr std::string_view kTableParts[] = {
        "tr", "td", "th", "tbody", "thead", "tfoot", "col", "colgroup", "caption"};
    static constexpr std::string_view kLists[] = {"ul", "ol", "dl", "menu", "dir"};
    static constexpr std::string_view kListParts[] = {"li", "dd", "dt"};
    const auto in = [name](const auto& names) {
        return std::find(std::begin(names), std::end(names), name) != std::end(names);
    };
    outer = name == "table" || in(kLists) || name == "blockquote";
    if (name == "table" || in(kTableParts))
        return 0;
    if (in(kLists) || in(kListParts))
        return 1;
    return name == "blockquote" ? 2 : -1;
}

}  // namespace

namespace {

// Every number of css above `max_value` cut down to it.
std::string ClampNumbers(std::string_view css, long max_value) {
    std::string out;
    out.reserve(css.size());
    std::size_t at = 0;
    while (at < css.size()) {
        if (!IsAsciiDigit(css[at])) {
            out += css[at++];
            continue;
        }
        const std::size_t start = at;
        while (at < css.size() && IsAsciiDigit(css[at]))
            ++at;
        const std::string_view digits = css.substr(start, at - start);
        // Part of a name, an address or a colour ("col-2", "a123", "#1000000",
        // "x.2000000"): not a number of its own.
        bool number = true;
        if (start > 0) {
            const char before = css[start - 1];
            if (IsWordByte(before) || before == '.' || before == '#' || before == '/' ||
                before == '%' || before == '\\')
                number = false;
            if (before == '-' && start > 1 && (IsWordByte(css[start - 2]) || css[start - 2] == '-'))
                number = false;
        }
        std::size_t end = at;
        if (end + 1 < css.size() && css[end] == '.' && IsAsciiDigit(css[end + 1])) {
            ++end;
            while (end < css.size() && IsAsciiDigit(css[end]))
                ++end;
        }
        std::size_t unit_end = end;
        while (unit_end < css.size() && IsAsciiLetter(css[unit_end]))
            ++unit_end;
        if (unit_end < css.size() && css[unit_end] == '%')
            ++unit_end;
        if (unit_end < css.size() && (IsWordByte(css[unit_end]) || css[unit_end] == '.' ||
                                      css[unit_end] == '/' || css[unit_end] == '-'))
            number = false;
        std::size_t significant = 0;
        while (significant < digits.size() && digits[significant] == '0')
            ++significant;
        const std::string_view value = digits.substr(significant);
        const std::string limit = std::to_string(max_value);
        if (number &&
            (value.size() > limit.size() || (value.size() == limit.size() && value > limit))) {
            out += limit;
            at = end;  // the fraction goes with the cut number
        } else {
            out.append(digits);
        }
    }
    return out;
}

}  // namespace

std::string ClampCssLengths(std::string_view css) {
    return ClampNumbers(css, kMaxPreviewLength);
}

std::string ClampHtmlLengths(std::string_view html) {
    std::string out;
    out.reserve(html.size());
    std::size_t at = 0;
    // Nesting open here, kept or dropped: tables, lists, quotes.
    int depth[3] = {0, 0, 0};
    while (at < html.size()) {
        const std::size_t lt = html.find('<', at);
        if (lt == std::string_view::npos) {
            out.append(html.substr(at));
            break;
        }
        out.append(html.substr(at, lt - at));
        if (html.compare(lt, 4, "<!--") == 0) {
            const std::size_t close = html.find("-->", lt + 4);
            const std::size_t end = close == std::string_view::npos ? html.size() : close + 3;
            out.append(html.substr(lt, end - lt));
            at = end;
            continue;
        }
        bool closing = false;
        const std::string name = TagName(html, lt, closing);
        bool outer = false;
        if (const int family = NestingFamily(name, outer); family >= 0) {
            int& level = depth[family];
            const int limit = family == 0 ? kMaxPreviewTableNesting : kMaxPreviewListNesting;
            const bool drop = level > limit || (outer && !closing && level == limit);
            if (outer)
                level = closing ? std::max(0, level - 1) : level + 1;
            if (drop) {
                // The text of a table or list nested too deeply stays, as lines
                // and words.
                out += closing && (name == "tr" || outer) ? "<br>" : " ";
                const std::size_t gt = html.find('>', lt);
                at = gt == std::string_view::npos ? html.size() : gt + 1;
                continue;
            }
        }
        if (lt + 1 >= html.size() || !IsAsciiLetter(html[lt + 1])) {
            out += '<';
            at = lt + 1;
            continue;
        }
        const bool style = StartsWithNoCase(html, lt + 1, "style") &&
                           (lt + 6 >= html.size() || !IsWordByte(html[lt + 6]));
        at = CopyTag(html, lt, out);
        if (style) {
            const std::size_t close = FindNoCase(html, at, "</style");
            const std::size_t end = close == std::string_view::npos ? html.size() : close;
            out += ClampCssLengths(html.substr(at, end - at));
            at = end;
        }
    }
    return out;
}

std::optional<QString> PreviewWithinHeight(QTextDocument& document, const QString& text) {
    // A page of finite height ends the measuring layout where the preview's
    // endless one would not.
    constexpr double kMeasurePage = 1000000;
    if (Qt::mightBeRichText(text))
        document.setHtml(text);
    else
        document.setPlainText(text);
    document.setPageSize(QSizeF(kPreviewMeasureWidth, kMeasurePage));
    QAbstractTextDocumentLayout* layout = document.documentLayout();
    int cut = -1;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QRectF box = layout->blockBoundingRect(block);
        // Far below, the layout's own numbers run over and come back negative.
        if (box.top() < 0 || box.bottom() > kMaxPreviewHeight) {
            cut = block.position();
            break;
        }
    }
    if (cut < 0)
        return std::nullopt;
    QTextCursor cursor(&document);
    cursor.setPosition(cut);
    // A table cut inside would keep its rows, and with them its height.
    QTextFrame* frame = cursor.currentFrame();
    while (frame != nullptr && frame->parentFrame() != nullptr &&
           frame->parentFrame() != document.rootFrame())
        frame = frame->parentFrame();
    if (frame != nullptr && frame != document.rootFrame())
        cut = std::max(0, frame->firstPosition() - 1);
    cursor.setPosition(cut);
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    cursor.insertBlock();
    cursor.insertText(QStringLiteral("\u2026"));
    return document.toHtml();
}

// A document whose images and style sheets load only through a loader that
// checks them, never straight from the file (a device would be read forever).
class LoadingDocument : public QTextDocument {
  public:
    explicit LoadingDocument(std::function<QVariant(int, const QUrl&)> load)
        : load_(std::move(load)) {}

  protected:
    QVariant loadResource(int type, const QUrl& name) override { return load_(type, name); }

  private:
    std::function<QVariant(int, const QUrl&)> load_;
};

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
        // While a page is measured, its resources are found beside it.
        const QUrl resolved = (measuring_ ? *measuring_ : source()).resolved(name);
        if (!resolved.isLocalFile() && !resolved.scheme().isEmpty() &&
            resolved.scheme() != QLatin1String("data") && resolved.scheme() != QLatin1String("qrc"))
            return {};  // nothing from the network
        QVariant data;
        if (resolved.isLocalFile()) {
            // A device or a pipe would be read without end (or block the open),
            // and a file far beyond any page's size would fill the memory.
            const QFileInfo file(resolved.toLocalFile());
            if (!file.isFile() || file.size() > kMaxResourceBytes)
                return {};
            // No further than the size the file reports: the kernel's own files
            // report none, and some of them (a process's page map) run on for
            // gigabytes.
            QFile in(file.filePath());
            if (!in.open(QIODevice::ReadOnly))
                return {};
            data = in.read(file.size());
        } else {
            data = QTextBrowser::loadResource(type, resolved);
        }
        if (type != QTextDocument::HtmlResource && type != QTextDocument::StyleSheetResource &&
            type != QTextDocument::MarkdownResource)
            return data;
        // Sizes beyond any screen go no further than the layout can reckon with.
        const bool css = type == QTextDocument::StyleSheetResource;
        if (data.userType() == QMetaType::QByteArray) {
            const QByteArray bytes = data.toByteArray();
            const std::string_view text(bytes.constData(), static_cast<std::size_t>(bytes.size()));
            const std::string clamped = css ? ClampCssLengths(text) : ClampHtmlLengths(text);
            QByteArray page(clamped.data(), static_cast<qsizetype>(clamped.size()));
            if (type != QTextDocument::HtmlResource || measuring_)
                return page;
            // Decoded as the browser decodes a page: by its own charset, else UTF-8.
            QStringDecoder decoder = QStringDecoder::decoderForHtml(page);
            if (!decoder.isValid())
                decoder = QStringDecoder(QStringDecoder::Utf8);
            const QString decoded = decoder.decode(page);
            if (std::optional<QString> shortened = WithinHeight(decoded, resolved))
                return *shortened;
            return page;
        }
        if (data.userType() == QMetaType::QString) {
            const std::string text = data.toString().toStdString();
            const std::string clamped = css ? ClampCssLengths(text) : ClampHtmlLengths(text);
            const QString page = QString::fromStdString(clamped);
            if (type == QTextDocument::HtmlResource && !measuring_) {
                if (std::optional<QString> shortened = WithinHeight(page, resolved))
                    return *shortened;
            }
            return page;
        }
        return data;
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
    std::optional<QString> WithinHeight(const QString& page, const QUrl& address) {
        LoadingDocument measure(
            [this](int type, const QUrl& name) { return loadResource(type, name); });
        measure.setDefaultFont(document()->defaultFont());
        measure.setDefaultStyleSheet(document()->defaultStyleSheet());
        measuring_ = address;
        std::optional<QString> shortened;
        try {
            shortened = PreviewWithinHeight(measure, page);
        } catch (...) {
            measuring_.reset();
            throw;
        }
        measuring_.reset();
        return shortened;
    }

    TShowHTML* owner_;
    std::optional<QUrl> measuring_;
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
    name = platform::nls::AsciiUpper(name);
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
