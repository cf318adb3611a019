#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QPrintDialog>
#include <QPrinter>
#include <QPushButton>

#include <cstdio>

#include "platform/ui/prompt.h"

namespace ui {
namespace {

QMessageBox::StandardButton QtButton(TMsgDlgBtn b) {
    switch (b) {
        case mbYes:
            return QMessageBox::Yes;
        case mbNo:
            return QMessageBox::No;
        case mbOK:
            return QMessageBox::Ok;
        case mbCancel:
            return QMessageBox::Cancel;
        case mbAbort:
            return QMessageBox::Abort;
        case mbRetry:
            return QMessageBox::Retry;
        case mbIgnore:
            return QMessageBox::Ignore;
        case mbAll:
            return QMessageBox::YesAll;
        case mbNoToAll:
            return QMessageBox::NoToAll;
        case mbYesToAll:
            return QMessageBox::YesToAll;
        case mbHelp:
            return QMessageBox::Help;
    }
    return QMessageBox::NoButton;
}

QMessageBox::Icon QtIcon(TMsgDlgType type) {
    switch (type) {
        case mtWarning:
            return QMessageBox::Warning;
        case mtError:
            return QMessageBox::Critical;
        case mtInformation:
            return QMessageBox::Information;
        case mtConfirmation:
            return QMessageBox::Question;
        case mtCustom:
            return QMessageBox::NoIcon;
    }
    return QMessageBox::NoIcon;
}

QString Caption(const PromptRequest& request) {
    if (!request.caption.empty())
        return QString::fromStdString(request.caption);
    std::string_view fixed = DefaultCaption(request.type);
    if (!fixed.empty())
        return QString::fromUtf8(fixed.data(), static_cast<qsizetype>(fixed.size()));
    return QApplication::applicationName();
}

class QtPromptService final : public PromptService {
  public:
    TModalResult Ask(const PromptRequest& request) override {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
            std::fprintf(stderr, "%s\n", request.text.c_str());
            return DefaultAnswer(request);
        }
        QMessageBox box(QtIcon(request.type), Caption(request),
                        QString::fromStdString(request.text), QMessageBox::NoButton,
                        QApplication::activeWindow());
        std::vector<std::pair<QAbstractButton*, TModalResult>> results;
        QAbstractButton* escape = nullptr;
        for (TMsgDlgBtn b : request.buttons.Buttons()) {
            QPushButton* button = box.addButton(QtButton(b));
            results.emplace_back(button, ModalResultOf(b));
            if (b == mbCancel || (b == mbNo && escape == nullptr))
                escape = button;
            bool is_default =
                request.default_button ? *request.default_button == b : results.size() == 1;
            if (is_default)
                box.setDefaultButton(button);
        }
        if (results.empty())
            results.emplace_back(box.addButton(QMessageBox::Ok), mrOk);
        if (escape != nullptr)
            box.setEscapeButton(escape);
        box.exec();
        for (const auto& [button, result] : results)
            if (box.clickedButton() == button)
                return result;
        return results.size() == 1 ? results.front().second : mrCancel;
    }

    std::optional<std::string> Input(const InputRequest& request) override {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
            return std::nullopt;
        bool ok = false;
        QString text = QInputDialog::getText(
            QApplication::activeWindow(), QString::fromStdString(request.caption),
            QString::fromStdString(request.prompt), QLineEdit::Normal,
            QString::fromStdString(request.value), &ok);
        if (!ok)
            return std::nullopt;
        return text.toStdString();
    }

    std::optional<std::string> ChooseFile(const FileRequest& request) override {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
            return std::nullopt;
        QStringList filters;
        QString chosen_filter;
        for (const std::string& entry : QtNameFilters(request.filter)) {
            filters << QString::fromStdString(entry);
            if (filters.size() == request.filter_index)
                chosen_filter = filters.back();
        }
        QString start = QString::fromStdString(request.file_name);
        if (!request.initial_dir.empty())
            start = QString::fromStdString(request.initial_dir) + "/" + start;
        QString caption = QString::fromStdString(request.title);
        QString filter = filters.join(";;");
        QString path = request.save
                           ? QFileDialog::getSaveFileName(QApplication::activeWindow(), caption,
                                                          start, filter, &chosen_filter)
                           : QFileDialog::getOpenFileName(QApplication::activeWindow(), caption,
                                                          start, filter, &chosen_filter);
        if (path.isEmpty())
            return std::nullopt;
        return path.toStdString();
    }

    std::optional<int> ChoosePrint(const PrintRequest& request) override {
        if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
            return request.copies;
        QPrinter own;
        QPrinter& printer = request.printer != nullptr ? *request.printer : own;
        printer.setCopyCount(request.copies);
        QPrintDialog dialog(&printer, QApplication::activeWindow());
        dialog.setWindowTitle(QString::fromStdString(request.title));
        if (dialog.exec() != QDialog::Accepted)
            return std::nullopt;
        return printer.copyCount();
    }
};

}  // namespace

std::vector<std::string> QtNameFilters(std::string_view filter) {
    std::vector<std::string> filters;
    const QStringList parts = QString::fromStdString(std::string(filter)).split('|');
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QString description = parts[i].trimmed();
        const qsizetype open = description.lastIndexOf('(');
        if (open >= 0 && description.endsWith(')'))
            description = description.left(open).trimmed();
        QStringList patterns;
        for (const QString& part : parts[i + 1].split(';', Qt::SkipEmptyParts)) {
            const QString pattern = part.trimmed();
            if (!pattern.isEmpty())
                patterns << (pattern == "*.*" ? QString("*") : pattern);
        }
        if (patterns.isEmpty())
            patterns << "*";
        if (description.isEmpty())
            description = patterns.join(' ');
        filters.push_back((description + " (" + patterns.join(' ') + ")").toStdString());
    }
    return filters;
}

std::unique_ptr<PromptService> MakeDefaultPromptService() {
    return std::make_unique<QtPromptService>();
}

}  // namespace ui
