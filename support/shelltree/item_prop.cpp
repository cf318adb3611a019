#include "support/shelltree/item_prop.h"

#include <QAction>
#include <QByteArray>
#include <QDateTime>
#include <QDesktopServices>
#include <QDialog>
#include <QFile>
#include <QFormLayout>
#include <QLabel>
#include <QMenu>
#include <QUrl>

#include <filesystem>
#include <optional>
#include <system_error>

#include "platform/os/file_system.h"
#include "platform/ui/cursor.h"

namespace support {

namespace fs = std::filesystem;

namespace {

MenuTracker& Tracker() {
    static MenuTracker tracker;
    return tracker;
}

ShellOpener& Opener() {
    static ShellOpener opener;
    return opener;
}

int TrackMenu(QMenu& menu, QPoint point) {
    if (Tracker())
        return Tracker()(menu, point);
    QAction* chosen = menu.exec(point);
    return chosen != nullptr ? chosen->data().toInt() : 0;
}

// A path as the desktop's services take it, when they can name it at all: a
// name that is no valid UTF-8 comes back from them as another name, perhaps
// another file's.
std::optional<QString> ServicePath(const fs::path& path) {
    const QString text = QFile::decodeName(QByteArray::fromStdString(path.string()));
    if (QFile::encodeName(text).toStdString() != path.string())
        return std::nullopt;
    return text;
}

bool OpenItem(const ShellItem& item) {
    const std::optional<QString> path = ServicePath(item.path);
    if (item.path.empty() || !path)
        return false;
    const QUrl url = QUrl::fromLocalFile(*path);
    return Opener() ? Opener()(url) : QDesktopServices::openUrl(url);
}

bool NewFolder(const ShellItem& item) {
    if (item.path.empty())
        return false;
    const fs::path folder = (item.attributes & SFGAO_FOLDER) ? item.path : item.path.parent_path();
    for (int n = 1; n < 1000; ++n) {
        const fs::path candidate = folder / (n == 1 ? std::string("New Folder")
                                                    : "New Folder (" + std::to_string(n) + ")");
        std::error_code error;
        if (fs::exists(candidate, error))
            continue;
        return fs::create_directory(candidate, error) && !error;
    }
    return false;
}

bool ShowProperties(const ShellItem& item, QWidget* owner) {
    if (!(item.attributes & SFGAO_HASPROPSHEET))
        return false;
    auto* sheet = new QDialog(owner);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowTitle(QString::fromStdString(item.display) + " Properties");
    auto* form = new QFormLayout(sheet);
    form->addRow("Name:", new QLabel(QString::fromStdString(item.display)));
    form->addRow("Location:", new QLabel(QString::fromStdString(item.path.parent_path().string())));
    if (!(item.attributes & SFGAO_FOLDER))
        form->addRow("Size:", new QLabel(QString::number(item.size) + " bytes"));
    form->addRow("Modified:",
                 new QLabel(QDateTime::fromSecsSinceEpoch(item.modified).toString(Qt::ISODate)));
    sheet->show();
    return true;
}

bool RunVerb(const ShellItemRequestInfo& request, std::string_view verb) {
    if (request.items.empty())
        return false;
    bool ok = true;
    if (verb == "open") {
        for (const ShellItem& item : request.items)
            ok = OpenItem(item) && ok;
    } else if (verb == "rename") {
        if (!request.rename || request.items.size() != 1)
            return false;
        request.rename(request.items.front());
    } else if (verb == "newfolder") {
        ok = NewFolder(request.items.front());
    } else if (verb == "delete") {
        for (const ShellItem& item : request.items) {
            if (item.path.empty() || !(item.attributes & SFGAO_CANRENAME)) {
                ok = false;
                continue;
            }
            const std::optional<QString> path = ServicePath(item.path);
            ok = path && QFile::moveToTrash(*path) && ok;
        }
    } else if (verb == "properties") {
        ok = ShowProperties(request.items.front(), request.owner);
    } else {
        return false;
    }
    return ok;
}

}  // namespace

void SetMenuTracker(MenuTracker tracker) {
    Tracker() = std::move(tracker);
}

void TrackPopupMenu(QMenu& menu, QPoint point) {
    if (!Tracker()) {
        menu.exec(point);
        return;
    }
    const int chosen = Tracker()(menu, point);
    const QList<QAction*> actions = menu.actions();
    if (chosen >= 1 && chosen <= actions.size())
        actions[chosen - 1]->trigger();
}

void SetShellOpener(ShellOpener opener) {
    Opener() = std::move(opener);
}

std::vector<ShellMenuCommand> ShellMenuCommands(const ShellItemRequestInfo& request) {
    std::vector<ShellMenuCommand> commands;
    if (request.items.empty())
        return commands;
    const ShellItem& first = request.items.front();
    const bool file_system = !first.path.empty();
    const auto add = [&](std::string verb, std::string caption, bool is_default = false) {
        commands.push_back({static_cast<int>(commands.size()) + 1, std::move(verb),
                            std::move(caption), is_default});
    };
    if (file_system)
        add("open", "&Open", true);
    if (request.rename && request.items.size() == 1 && (first.attributes & SFGAO_CANRENAME))
        add("rename", "Rena&me");
    if (file_system && request.items.size() == 1 && (first.attributes & SFGAO_FOLDER))
        add("newfolder", "New &Folder");
    if (file_system && (first.attributes & SFGAO_CANRENAME))
        add("delete", "Move to &Trash");
    if (first.attributes & SFGAO_HASPROPSHEET)
        add("properties", "P&roperties");
    return commands;
}

bool ShellItemRequest(const ShellItemRequestInfo& request) {
    switch (request.action) {
        case iaMenu: {
            const std::vector<ShellMenuCommand> commands = ShellMenuCommands(request);
            QMenu menu(request.owner);
            for (const ShellMenuCommand& command : commands) {
                if (command.verb == "properties" && !menu.isEmpty())
                    menu.addSeparator();
                QAction* action = menu.addAction(QString::fromStdString(command.caption));
                action->setData(command.id);
                if (command.is_default) {
                    QFont bold = action->font();
                    bold.setBold(true);
                    action->setFont(bold);
                    menu.setDefaultAction(action);
                }
            }
            const int chosen = TrackMenu(menu, request.point);
            for (const ShellMenuCommand& command : commands) {
                if (command.id == chosen)
                    return RunVerb(request, command.verb);
            }
            return false;
        }
        case iaProperties:
            if (request.items.empty() || !(request.items.front().attributes & SFGAO_HASPROPSHEET))
                return false;
            return RunVerb(request, "properties");
        case iaDefault:
            for (const ShellMenuCommand& command : ShellMenuCommands(request)) {
                if (command.is_default)
                    return RunVerb(request, command.verb);
            }
            return false;
        case iaVerb:
            return RunVerb(request, request.verb);
        default:
            return false;
    }
}

std::vector<ShellItem> ItemsOfPath(std::string_view text) {
    const ui::THourglass hourglass;
    const fs::path path(platform::os::NormalizeSeparators(text));
    const fs::path folder = path.parent_path();
    const std::string file = path.filename().string();
    std::vector<ShellItem> items;
    if (file.find_first_of("*?") == std::string::npos) {
        std::error_code error;
        if (fs::exists(path, error))
            items.push_back(MakeItem(path));
        return items;
    }
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (MaskMatches(file, it->path().filename().string()))
            items.push_back(MakeItem(it->path()));
    }
    return items;
}

bool ShellItemRequest(std::string_view path, int action, QPoint point, QWidget* owner,
                      std::string_view verb) {
    ShellItemRequestInfo request;
    request.items = ItemsOfPath(path);
    request.action = action;
    request.point = point;
    request.owner = owner;
    request.verb = verb;
    return ShellItemRequest(request);
}

}  // namespace support
