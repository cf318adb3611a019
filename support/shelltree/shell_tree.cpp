#include "support/shelltree/shell_tree.h"

#include <QContextMenuEvent>
#include <QFileIconProvider>
#include <QHeaderView>
#include <QMenu>
#include <QPainter>
#include <QPersistentModelIndex>
#include <QScrollBar>
#include <QStandardPaths>
#include <QWheelEvent>

#include <algorithm>

#include "platform/config/value_text.h"
#include "platform/nls/text.h"
#include "platform/os/file_system.h"
#include "platform/ui/application.h"
#include "platform/ui/cursor.h"
#include "platform/ui/prompt.h"
#include "support/shelltree/item_prop.h"

namespace support {

namespace fs = std::filesystem;

namespace {

QFileIconProvider& Icons() {
    static QFileIconProvider provider;
    return provider;
}

// A small arrow in the lower left corner, as shortcuts show.
QIcon WithLinkOverlay(const QIcon& icon) {
    QPixmap pixmap = icon.pixmap(16, 16);
    QPainter painter(&pixmap);
    painter.fillRect(0, 9, 7, 7, Qt::white);
    painter.setPen(Qt::black);
    painter.drawRect(0, 9, 6, 6);
    painter.drawLine(2, 13, 5, 10);
    painter.drawLine(3, 10, 5, 10);
    painter.drawLine(5, 10, 5, 12);
    return QIcon(pixmap);
}

std::string StandardFolder(QStandardPaths::StandardLocation location) {
    return QStandardPaths::writableLocation(location).toStdString();
}

bool IsUnder(const fs::path& path, const fs::path& folder) {
    auto p = path.begin();
    for (auto f = folder.begin(); f != folder.end(); ++f, ++p) {
        if (f->empty())
            continue;  // a trailing separator
        if (p == path.end() || *p != *f)
            return false;
    }
    return true;
}

}  // namespace

TShellnode::TShellnode(ShellItem item) : item_(std::move(item)) {}

TShellnode::~TShellnode() {
    monitor_.reset();
}

bool TShellnode::operator<(const QTreeWidgetItem& other) const {
    const TShellTree* tree = Tree();
    return tree != nullptr && tree->CompareNodes(this, static_cast<const TShellnode*>(&other)) < 0;
}

TShellnode* TShellnode::ParentNode() const {
    return static_cast<TShellnode*>(parent());
}

TShellnode* TShellnode::ChildNode(int index) const {
    return static_cast<TShellnode*>(child(index));
}

TShellTree* TShellnode::Tree() const {
    return static_cast<TShellTree*>(treeWidget());
}

std::string TShellnode::GetDisplayText() const {
    if (parent() != nullptr)
        return item_.display;
    if (item_.path.empty())
        return item_.display;
    std::string text = item_.path.string();
    while (text.size() > 1 && (text.back() == '/' || text.back() == '\\'))
        text.pop_back();
    if (platform::config::NamesEqual(fs::path(text).filename().string(), "DESKTOP"))
        return "Desktop";
    return text;
}

void TShellnode::SetImages() {
    TShellTree* tree = Tree();
    if (tree == nullptr || !tree->ShowIcons()) {
        setIcon(0, QIcon());
        return;
    }
    QIcon icon;
    if (item_.path.empty())
        icon = Icons().icon(QFileIconProvider::Desktop);
    else if (parent() != nullptr && ParentNode()->Path().empty() && item_.path != "/" &&
             item_.display != "Home")
        icon = Icons().icon(QFileIconProvider::Drive);
    else if (item_.attributes & SFGAO_FOLDER)
        icon = Icons().icon(QFileIconProvider::Folder);
    else
        icon = Icons().icon(QFileInfo(QString::fromStdString(item_.path.string())));
    // No share attribute exists here; a shortcut is a symbolic link.
    if (tree->ShowLinkOverlay() && (item_.attributes & SFGAO_LINK))
        icon = WithLinkOverlay(icon);
    setIcon(0, icon);
}

TShellTree::TShellTree(QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::SelectedClicked);
    setUniformRowHeights(true);
    monitor_ = std::make_unique<TDiscMonitor>(this);
    monitor_->SetOnMountsChanged([this] { MountsChanged(); });
    connect(this, &QTreeWidget::itemExpanded, this,
            [this](QTreeWidgetItem* item) { ui::Guarded([&] { Expanded(item); }); });
    connect(this, &QTreeWidget::itemChanged, this,
            [this](QTreeWidgetItem* item, int) { ui::Guarded([&] { ItemEdited(item); }); });
    connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
        if (OnChange)
            ui::Guarded([&] { OnChange(this, static_cast<TShellnode*>(current)); });
    });
    connect(this, &QTreeWidget::itemClicked, this, [this] {
        if (OnClick)
            ui::Guarded([&] { OnClick(this); });
    });
}

TShellTree::~TShellTree() {
    // A tree going away reports no change of its own: the handlers belong to
    // a form that may be partly gone already.
    OnChange = nullptr;
    OnClick = nullptr;
    OnEditingOver = nullptr;
    // The nodes' watches go before the monitor that holds them.
    ++editing_guard_;
    clear();
    monitor_.reset();
}

TShellnode* TShellTree::RootNode() const {
    return static_cast<TShellnode*>(topLevelItem(0));
}

TShellnode* TShellTree::Selected() const {
    return static_cast<TShellnode*>(currentItem());
}

std::uint32_t TShellTree::NotifyFilter() const {
    std::uint32_t filter = FILE_NOTIFY_CHANGE_ATTRIBUTES;
    if (options_.Contains(TF_FOLDERS))
        filter |= FILE_NOTIFY_CHANGE_DIR_NAME;
    if (options_.Contains(TF_NONFOLDERS))
        filter |= FILE_NOTIFY_CHANGE_FILE_NAME;
    return filter;
}

void TShellTree::RebuildIfShown() {
    if (root_built_)
        BuildRoot();
}

void TShellTree::SetShowVirtualFolders(bool value) {
    show_virtual_folders_ = value;
    RebuildIfShown();
}

void TShellTree::SetShowSharedOverlay(bool value) {
    show_shared_overlay_ = value;
    for (QTreeWidgetItemIterator it(this); *it != nullptr; ++it)
        static_cast<TShellnode*>(*it)->SetImages();
}

void TShellTree::SetShowLinkOverlay(bool value) {
    show_link_overlay_ = value;
    for (QTreeWidgetItemIterator it(this); *it != nullptr; ++it)
        static_cast<TShellnode*>(*it)->SetImages();
}

void TShellTree::SetRootUsePIDL(bool value) {
    root_use_pidl_ = value;
    RebuildIfShown();
}

void TShellTree::SetRootPIDL(TPidls value) {
    root_pidl_ = value;
    if (root_use_pidl_)
        RebuildIfShown();
}

void TShellTree::SetUserDefinedRoot(fs::path folder) {
    user_defined_root_ = std::move(folder);
    if (root_use_pidl_ && root_pidl_ == TPidls::PIDL_USERDEFINED)
        RebuildIfShown();
}

void TShellTree::SetRootDir(std::string_view value) {
    root_dir_ = value;
    if (!root_use_pidl_)
        RebuildIfShown();
}

void TShellTree::SetOptions(TVisOptions value) {
    options_ = value;
    RebuildIfShown();
}

void TShellTree::SetShowIcons(bool value) {
    show_icons_ = value;
    for (QTreeWidgetItemIterator it(this); *it != nullptr; ++it)
        static_cast<TShellnode*>(*it)->SetImages();
}

std::string TShellTree::FileMask() const {
    std::string text;
    for (const std::string& mask : masks_) {
        if (!text.empty())
            text += ';';
        text += mask;
    }
    return text;
}

void TShellTree::SetFileMask(std::string_view value) {
    std::string text(platform::nls::Trim(value));
    if (text.empty())
        text = "*.*";
    masks_.clear();
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(';', start), text.size());
        std::string part(platform::nls::Trim(std::string_view(text).substr(start, end - start)));
        if (!part.empty())
            masks_.push_back(std::move(part));
        start = end + 1;
    }
    if (options_.Contains(TF_NONFOLDERS))
        RebuildIfShown();
}

void TShellTree::SetFileMaskUse(bool value) {
    file_mask_use_ = value;
    if (options_.Contains(TF_NONFOLDERS))
        RebuildIfShown();
}

void TShellTree::SetFileSortType(TFileSortType value) {
    file_sort_type_ = value;
    ResortAll();
}

void TShellTree::SetFileSortOrder(TFileSortOrder value) {
    file_sort_order_ = value;
    ResortAll();
}

fs::path TShellTree::RootFolder(bool& desktop) const {
    desktop = false;
    if (!root_use_pidl_) {
        const std::string folder = NormalizeFolderPath(root_dir_);
        return folder.empty() ? fs::path("/") : fs::path(folder);
    }
    std::string folder;
    switch (root_pidl_) {
        case TPidls::PIDL_DESKTOP:
            break;
        case TPidls::PIDL_USERDEFINED:
            folder = user_defined_root_.string();
            break;
        case TPidls::PIDL_PERSONAL:
            folder = StandardFolder(QStandardPaths::DocumentsLocation);
            break;
        case TPidls::PIDL_DESKTOPDIRECTORY:
            folder = StandardFolder(QStandardPaths::DesktopLocation);
            break;
        case TPidls::PIDL_DRIVES:
            folder = "/";
            break;
        case TPidls::PIDL_FONTS:
            folder = StandardFolder(QStandardPaths::FontsLocation);
            break;
        case TPidls::PIDL_PROGRAMS:
        case TPidls::PIDL_STARTMENU:
            folder = StandardFolder(QStandardPaths::ApplicationsLocation);
            break;
        case TPidls::PIDL_TEMPLATES:
            folder = StandardFolder(QStandardPaths::HomeLocation) + "/Templates";
            break;
        case TPidls::PIDL_BITBUCKET:
            folder = StandardFolder(QStandardPaths::GenericDataLocation) + "/Trash/files";
            break;
        default:
            break;  // no such folder here: the desktop stands in
    }
    std::error_code error;
    if (folder.empty() || !fs::is_directory(folder, error)) {
        desktop = true;
        return {};
    }
    return folder;
}

void TShellTree::BuildRoot() {
    ++editing_guard_;
    clear();
    --editing_guard_;
    bool desktop = false;
    const fs::path folder = RootFolder(desktop);
    ShellItem item;
    if (desktop) {
        item.display = "Desktop";
        item.attributes = SFGAO_FOLDER | SFGAO_HASSUBFOLDER | SFGAO_FILESYSANCESTOR;
    } else {
        item = MakeItem(folder);
        root_dir_ = folder.string();
    }
    auto* root = new TShellnode(std::move(item));
    ++editing_guard_;
    addTopLevelItem(root);
    root->setText(0, QString::fromStdString(root->GetDisplayText()));
    root->SetImages();
    --editing_guard_;
    root->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    root_built_ = true;
    root->setExpanded(true);
    setCurrentItem(root);
    if (!pending_path_.empty()) {
        const std::string path = std::exchange(pending_path_, {});
        SetPath(path);
    }
}

void TShellTree::showEvent(QShowEvent* event) {
    QTreeWidget::showEvent(event);
    if (!root_built_)
        ui::Guarded([this] { BuildRoot(); });
}

void TShellTree::changeEvent(QEvent* event) {
    QTreeWidget::changeEvent(event);
    if (event->type() != QEvent::StyleChange && event->type() != QEvent::PaletteChange)
        return;
    ui::Guarded([this] {
        for (QTreeWidgetItemIterator it(this); *it != nullptr; ++it)
            static_cast<TShellnode*>(*it)->SetImages();
        if (TShellnode* root = RootNode(); root != nullptr && root_built_)
            RefreshNode(root, true);
    });
}

void TShellTree::Expanded(QTreeWidgetItem* item) {
    auto* node = static_cast<TShellnode*>(item);
    if (!root_built_) {
        item->setExpanded(false);
        return;
    }
    if (OnExpanding) {
        bool allow = true;
        OnExpanding(this, node, allow);
        if (!allow) {
            item->setExpanded(false);
            return;
        }
    }
    if (upd_auto_ || !node->filled_)
        RefreshNode(node, upd_auto_rec_);
    node->filled_ = true;
}

void TShellTree::RefreshNode(TShellnode* node, bool recursive) {
    if (node == nullptr)
        return;
    FillNode(node, false);
    if (!recursive)
        return;
    for (int i = 0; i < node->childCount(); ++i) {
        TShellnode* child = node->ChildNode(i);
        if (child->isExpanded()) {
            RefreshNode(child, true);
            child->filled_ = true;
        } else {
            child->filled_ = false;
        }
    }
}

void TShellTree::FillNode(TShellnode* node, bool check_only) {
    const bool desktop = node->Path().empty();
    if (desktop && node->parent() != nullptr)
        return;  // a virtual item holds nothing
    std::uint32_t flags = 0;
    if (options_.Contains(TF_FOLDERS) || desktop)
        flags |= SHCONTF_FOLDERS;
    if (options_.Contains(TF_NONFOLDERS))
        flags |= SHCONTF_NONFOLDERS;
    if (options_.Contains(TF_HIDDEN))
        flags |= SHCONTF_INCLUDEHIDDEN;
    // Reading a large folder is the long part: the hourglass shows while it is listed.
    const ui::THourglass hourglass;
    std::optional<std::vector<ShellItem>> items = ListFolder(node->Path(), flags);
    if (!items)
        return;  // the folder cannot be read (or is gone)
    // A folder that has been read is watched, even while it is empty.
    if (!check_only) {
        if (node->monitor_ && node->monitor_->Error())
            ForgetFolder(node);
        StartMonitor(node);
    }
    const bool updates = updatesEnabled();
    setUpdatesEnabled(false);
    ++editing_guard_;
    for (int i = 0; i < node->childCount(); ++i)
        node->ChildNode(i)->found_ = false;
    for (ShellItem& item : *items) {
        if (AddOrUpdate(node, std::move(item), check_only) && check_only)
            break;
    }
    for (int i = node->childCount() - 1; i >= 0; --i) {
        if (!node->ChildNode(i)->found_)
            DeleteChild(node, i);
    }
    node->setChildIndicatorPolicy(node->childCount() > 0
                                      ? QTreeWidgetItem::ShowIndicator
                                      : QTreeWidgetItem::DontShowIndicatorWhenChildless);
    if (!check_only && node->monitor_) {
        std::vector<std::string> links;
        for (int i = 0; i < node->childCount(); ++i) {
            const ShellItem& child = node->ChildNode(i)->Item();
            if ((child.attributes & SFGAO_LINK) && (child.attributes & SFGAO_FOLDER))
                links.push_back(child.name);
        }
        node->monitor_->SetFolderLinks(std::move(links));
    }
    SortChildren(node);
    --editing_guard_;
    setUpdatesEnabled(updates);
}

std::optional<std::vector<ShellItem>> TShellTree::ListFolder(const std::filesystem::path& folder,
                                                             std::uint32_t flags) {
    return EnumerateFolder(folder, flags);
}

bool TShellTree::AddOrUpdate(TShellnode* parent, ShellItem item, bool check_only) {
    TShellnode* existing = nullptr;
    for (int i = 0; i < parent->childCount(); ++i) {
        if (parent->ChildNode(i)->Item().name == item.name) {
            existing = parent->ChildNode(i);
            break;
        }
    }
    const std::uint32_t attributes = item.attributes;
    bool accept = true;
    if (!show_virtual_folders_ && !(attributes & (SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR)))
        accept = false;
    const bool file =
        (attributes & (SFGAO_FILESYSTEM | SFGAO_FILESYSANCESTOR)) && !(attributes & SFGAO_FOLDER);
    if (accept && options_.Contains(TF_NONFOLDERS) && file) {
        if (file_mask_use_) {
            accept = std::any_of(masks_.begin(), masks_.end(), [&](const std::string& mask) {
                return MaskMatches(mask, item.name);
            });
        }
        if (accept && OnFileAdd)
            OnFileAdd(item.path.string(), attributes, accept);
    }
    if (!accept) {
        if (existing != nullptr)
            existing->found_ = false;
        return false;
    }
    TShellnode* node = existing;
    if (node == nullptr) {
        const bool first_child = parent->childCount() == 0;
        node = new TShellnode(std::move(item));
        parent->addChild(node);
        if (first_child && (parent->Attributes() & SFGAO_FOLDER))
            StartMonitor(parent);
    } else {
        node->item_ = std::move(item);
        // An open folder whose watch was lost, or that never got read and
        // watched (it went away while it was being opened), may be another
        // folder under the same name now: it is read afresh.
        if ((node->monitor_ && node->monitor_->Error()) ||
            (!node->monitor_ && node->isExpanded() && !check_only)) {
            ForgetFolder(node);
            if (node->isExpanded() && !check_only) {
                FillNode(node, false);
                node->filled_ = true;
            } else {
                StartMonitor(node);
            }
        }
    }
    node->found_ = true;
    node->setText(0, QString::fromStdString(node->GetDisplayText()));
    if (node->Attributes() & SFGAO_CANRENAME)
        node->setFlags(node->flags() | Qt::ItemIsEditable);
    bool has_children = (node->Attributes() & SFGAO_HASSUBFOLDER) != 0;
    if (!has_children && !check_only && options_.Contains(TF_NONFOLDERS) &&
        (node->Attributes() & SFGAO_FOLDER)) {
        FillNode(node, true);
        has_children = node->childCount() > 0;
    }
    if (has_children) {
        node->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
    } else {
        node->filled_ = false;
        for (int i = node->childCount() - 1; i >= 0; --i)
            DeleteChild(node, i);
        node->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicatorWhenChildless);
        StartMonitor(node);
    }
    node->SetImages();
    return true;
}

void TShellTree::ForgetFolder(TShellnode* node) {
    // The nodes below watch the folders that stood there: those may be
    // anywhere now, so they go, and a new read builds them from what is there.
    node->monitor_.reset();
    node->monitor_started_ = false;
    node->filled_ = false;
    for (int i = node->childCount() - 1; i >= 0; --i)
        DeleteChild(node, i);
}

void TShellTree::DeleteChild(TShellnode* node, int index) {
    // A selection inside a folder that went away moves up to the folder that
    // held it, the deepest one still there, and the change is reported.
    for (QTreeWidgetItem* at = currentItem(); at != nullptr; at = at->parent()) {
        if (at == node->child(index)) {
            setCurrentItem(node);
            break;
        }
    }
    delete node->takeChild(index);
}

void TShellTree::StartMonitor(TShellnode* node) {
    if (node->monitor_started_ || node->Path().empty() || !(node->Attributes() & SFGAO_FOLDER))
        return;
    node->monitor_started_ = true;
    node->monitor_ =
        std::make_unique<TDiscMonitorThread>(*monitor_, node->Path(), NotifyFilter(), [this, node] {
            if (!upd_auto_thread_)
                return;
            if (editing_.isValid()) {
                refresh_after_edit_ = true;
                return;
            }
            ui::Guarded([&] {
                const bool quiet = quiet_;
                quiet_ = true;
                FillNode(node, false);
                quiet_ = quiet;
            });
        });
}

int TShellTree::CompareNodes(const TShellnode* a, const TShellnode* b) const {
    const auto is_file = [](const TShellnode* n) {
        return (n->Attributes() & SFGAO_FILESYSTEM) && !(n->Attributes() & SFGAO_FOLDER);
    };
    const bool files = is_file(a) && is_file(b);
    const int column = files ? static_cast<int>(file_sort_type_) : 0;
    int result = CompareItems(a->Item(), b->Item(), column);
    result = result == 0 ? 0 : result == 1 ? 1 : -1;
    // Files follow the chosen order; folders always stand in name order.
    if (files && file_sort_order_ == TFileSortOrder::so_Descending)
        result = -result;
    return result;
}

void TShellTree::SortChildren(TShellnode* node) {
    const int count = node->childCount();
    bool sorted = true;
    for (int i = 1; i < count && sorted; ++i)
        sorted = CompareNodes(node->ChildNode(i - 1), node->ChildNode(i)) <= 0;
    if (sorted)
        return;
    // Moved in place by the model, so the selection, the current node and the
    // open folders stay where they are.
    node->sortChildren(0, Qt::AscendingOrder);
}

void TShellTree::SortAll(TShellnode* node) {
    SortChildren(node);
    for (int i = 0; i < node->childCount(); ++i)
        SortAll(node->ChildNode(i));
}

void TShellTree::ResortAll() {
    if (TShellnode* root = RootNode())
        SortAll(root);
}

std::string TShellTree::Path() const {
    const TShellnode* node = Selected();
    return node != nullptr ? node->Path().string() : std::string();
}

void TShellTree::SetPath(std::string_view value) {
    const std::string folder = NormalizeFolderPath(value);
    if (folder.empty()) {
        if (RootNode() != nullptr)
            setCurrentItem(RootNode());
        return;
    }
    if (folder == Path())
        return;
    if (!root_built_) {
        pending_path_ = folder;
        return;
    }
    if (TShellnode* node = FindNode(folder, true, false)) {
        setCurrentItem(node);
        scrollToItem(node);
    }
}

TShellnode* TShellTree::FindNode(const fs::path& folder, bool expand, bool exact) {
    TShellnode* node = RootNode();
    if (node == nullptr)
        return nullptr;
    if (node->Path() == folder)
        return node;
    if (node->Path().empty()) {
        // The desktop: go through the item holding the folder most closely.
        if (expand && !node->filled_)
            node->setExpanded(true);
        TShellnode* best = nullptr;
        for (int i = 0; i < node->childCount(); ++i) {
            TShellnode* child = node->ChildNode(i);
            if (IsUnder(folder, child->Path()) &&
                (best == nullptr || std::distance(child->Path().begin(), child->Path().end()) >
                                        std::distance(best->Path().begin(), best->Path().end())))
                best = child;
        }
        if (best == nullptr)
            return exact ? nullptr : node;
        node = best;
    } else if (!IsUnder(folder, node->Path())) {
        return exact ? nullptr : node;
    }
    while (node->Path() != folder) {
        if (expand && !node->isExpanded())
            node->setExpanded(true);
        const fs::path relative = folder.lexically_relative(node->Path());
        const std::string next = relative.begin()->string();
        TShellnode* found = nullptr;
        for (int i = 0; i < node->childCount(); ++i) {
            if (node->ChildNode(i)->Item().name == next) {
                found = node->ChildNode(i);
                break;
            }
        }
        if (found == nullptr)
            return exact ? nullptr : node;
        node = found;
    }
    return node;
}

void TShellTree::MountsChanged() {
    TShellnode* root = RootNode();
    if (root == nullptr)
        return;
    // A drive coming or going waits for a rename in progress, as a folder change does.
    if (editing_.isValid()) {
        refresh_after_edit_ = true;
        return;
    }
    quiet_ = true;
    if (root->Path().empty() && root->filled_)
        FillNode(root, false);
    if (TShellnode* selected = Selected(); selected != nullptr && !selected->Path().empty())
        RefreshNode(selected);
    quiet_ = false;
}

void TShellTree::StartRename(TShellnode* node) {
    if (node != nullptr && (node->Attributes() & SFGAO_CANRENAME) && node->parent() != nullptr)
        editItem(node, 0);
}

bool TShellTree::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    const bool started = QTreeWidget::edit(index, trigger, event);
    if (started)
        editing_ = QPersistentModelIndex(index);
    return started;
}

void TShellTree::closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) {
    QTreeWidget::closeEditor(editor, hint);
    // A committed edit has been handled already.
    if (editing_.isValid()) {
        editing_ = QPersistentModelIndex();
        if (OnEditingOver)
            ui::Guarded([this] { OnEditingOver(this); });
    }
    if (refresh_after_edit_ && root_built_) {
        refresh_after_edit_ = false;
        ui::Guarded([this] {
            const bool quiet = quiet_;
            quiet_ = true;
            RefreshNode(RootNode(), true);
            quiet_ = quiet;
        });
    }
}

void TShellTree::ItemEdited(QTreeWidgetItem* item) {
    // Only the text of an edit in progress is a new name; icons and texts set
    // by the tree itself are not.
    if (editing_guard_ > 0 || !editing_.isValid() || itemFromIndex(editing_) != item)
        return;
    editing_ = QPersistentModelIndex();
    auto* node = static_cast<TShellnode*>(item);
    const std::string text = item->text(0).toStdString();
    if (text == node->GetDisplayText()) {
        if (OnEditingOver)
            OnEditingOver(this);
        return;
    }
    RenameDone(node, text);
}

void TShellTree::RenameDone(TShellnode* node, const std::string& edited) {
    std::string text = edited;
    if (OnEdited)
        OnEdited(this, node, text);
    const fs::path from = node->Path();
    // The file layer takes a backslash for a separator as it takes "/", so a
    // name holding either would move the folder elsewhere, not rename it.
    const bool valid = !text.empty() && text != "." && text != ".." &&
                       text.find_first_of("/\\") == std::string::npos && !from.empty();
    const fs::path to = from.parent_path() / text;
    const platform::os::Status status = valid ? platform::os::MoveFile(from.string(), to.string())
                                              : platform::os::Status::FromCode(11047);
    ++editing_guard_;
    if (status.ok()) {
        ReplacePaths(node, from, to);
        node->item_.name = text;
        node->item_.display = text;
        node->setText(0, QString::fromStdString(text));
        if (TShellnode* parent = node->ParentNode())
            SortChildren(parent);
        if (OnChange)
            OnChange(this, node);
    } else {
        node->setText(0, QString::fromStdString(node->GetDisplayText()));
    }
    --editing_guard_;
    if (!status.ok() && show_messages_ && !quiet_)
        ui::MessageDlg("Cannot rename " + from.filename().string() + " to " + text + ".",
                       ui::mtError, {ui::mbOK});
    if (OnEditingOver)
        OnEditingOver(this);
}

void TShellTree::ReplacePaths(TShellnode* node, const fs::path& from, const fs::path& to) {
    const fs::path relative = node->item_.path.lexically_relative(from);
    node->item_.path = relative == "." ? to : to / relative;
    if (node->monitor_) {
        // The watch follows the folder itself; its record of the path is renewed.
        node->monitor_.reset();
        node->monitor_started_ = false;
        StartMonitor(node);
    }
    for (int i = 0; i < node->childCount(); ++i)
        ReplacePaths(node->ChildNode(i), from, to);
}

void TShellTree::ShowContextMenu(TShellnode* node, QPoint global) {
    if (node == nullptr)
        return;
    if (OnPopupMenu) {
        bool allow = true;
        OnPopupMenu(node, allow);
        if (!allow)
            return;
    }
    QPersistentModelIndex previous(currentIndex());
    setCurrentItem(node);
    if (popup_menu_mode_ == TPopupMenuMode::pmm_PopupMenu) {
        if (popup_menu_ != nullptr)
            TrackPopupMenu(*popup_menu_, global);
    } else {
        ShellItemRequestInfo request;
        request.items = {node->Item()};
        request.action = iaMenu;
        request.point = global;
        request.owner = window();
        const QPersistentModelIndex target(indexFromItem(node));
        request.rename = [this, target](const ShellItem&) {
            // Editing starts once the menu and the selection are back.
            QMetaObject::invokeMethod(
                this,
                [this, target] {
                    if (target.isValid())
                        StartRename(static_cast<TShellnode*>(itemFromIndex(target)));
                },
                Qt::QueuedConnection);
        };
        ShellItemRequest(request);
    }
    if (previous.isValid())
        setCurrentIndex(previous);
}

void TShellTree::contextMenuEvent(QContextMenuEvent* event) {
    ui::Guarded([&] {
        if (event->reason() == QContextMenuEvent::Keyboard) {
            TShellnode* node = Selected();
            if (node != nullptr)
                ShowContextMenu(node, viewport()->mapToGlobal(visualItemRect(node).center()));
        } else {
            ShowContextMenu(static_cast<TShellnode*>(itemAt(event->pos())), event->globalPos());
        }
    });
}

void TShellTree::wheelEvent(QWheelEvent* event) {
    const int delta = event->angleDelta().y();
    if (delta == 120 || delta == -120) {
        verticalScrollBar()->triggerAction(delta > 0 ? QAbstractSlider::SliderPageStepSub
                                                     : QAbstractSlider::SliderPageStepAdd);
        event->accept();
        return;
    }
    QTreeWidget::wheelEvent(event);
}

}  // namespace support
