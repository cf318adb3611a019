#pragma once

// The context menu of shell items: shows it and runs the chosen command, or
// runs one of its commands without a menu.
//
// Commands by verb: "open" (the default: the desktop's handler of the item),
// "rename" (only when the caller can rename in place), "newfolder" (a new
// folder inside a folder item), "delete" (to the trash) and "properties" (a
// sheet with the item's name, place, size and date, for items that have one).
// Command numbers count from 1 in menu order.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include <QPoint>

#include "support/shelltree/shell_items.h"

class QMenu;
class QUrl;
class QWidget;

namespace support {

enum TItemAction : int { iaMenu = 0, iaProperties = 1, iaDefault = 2, iaVerb = 3 };

struct ShellMenuCommand {
    int id = 0;
    std::string verb;
    std::string caption;
    bool is_default = false;
};

struct ShellItemRequestInfo {
    std::vector<ShellItem> items;
    int action = iaMenu;
    QPoint point;
    QWidget* owner = nullptr;
    std::string verb;  // for iaVerb
    // Starts an in-place rename; without it the menu offers none.
    std::function<void(const ShellItem&)> rename;
};

// The menu's commands for these items.
std::vector<ShellMenuCommand> ShellMenuCommands(const ShellItemRequestInfo& request);
// Runs a request; true when a command ran and succeeded.
bool ShellItemRequest(const ShellItemRequestInfo& request);
// The same for the items named by a path: a folder and a file part, where a
// file part with "*" or "?" names every matching entry.
bool ShellItemRequest(std::string_view path, int action, QPoint point, QWidget* owner,
                      std::string_view verb = {});
// The items a path names (see above).
std::vector<ShellItem> ItemsOfPath(std::string_view path);

// How the menu is tracked: returns the chosen command number, 0 for none.
using MenuTracker = std::function<int(QMenu& menu, QPoint point)>;
void SetMenuTracker(MenuTracker tracker);
// Tracks an application menu at a point and runs the chosen action; with a
// tracker set, the tracker's number picks the action (1 for the first).
void TrackPopupMenu(QMenu& menu, QPoint point);
// How an item is opened with the desktop's handler.
using ShellOpener = std::function<bool(const QUrl& url)>;
void SetShellOpener(ShellOpener opener);

}  // namespace support
