#pragma once

// `TShellTree`: a tree view of the desktop, its volumes and folders (and,
// optionally, files). Folders are read when they are first expanded, kept
// sorted, renamed in place, offered a context menu, and followed as they change
// on disk: every filled folder node is watched (disc_monitor.h) and re-read on
// the user interface thread after a change; mounting and unmounting a volume
// refreshes the desktop's volumes.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QPersistentModelIndex>
#include <QTreeWidget>

#include "platform/db/set_of.h"
#include "support/shelltree/disc_monitor.h"
#include "support/shelltree/shell_items.h"

class QMenu;

namespace support {

class TShellTree;

enum class TPidls {
    PIDL_DESKTOP,
    PIDL_PROGRAMS,
    PIDL_CONTROLS,
    PIDL_PRINTERS,
    PIDL_PERSONAL,
    PIDL_FAVORITES,
    PIDL_STARTUP,
    PIDL_RECENT,
    PIDL_SENDTO,
    PIDL_BITBUCKET,
    PIDL_STARTMENU,
    PIDL_DESKTOPDIRECTORY,
    PIDL_DRIVES,
    PIDL_NETWORK,
    PIDL_NETHOOD,
    PIDL_FONTS,
    PIDL_TEMPLATES,
    PIDL_USERDEFINED,
};
enum TVisOption : std::uint8_t { TF_FOLDERS, TF_NONFOLDERS, TF_HIDDEN };
using TVisOptions = db::SetOf<TVisOption>;
enum class TFileSortType { so_Name, so_Size, so_Type, so_Date };
enum class TFileSortOrder { so_Ascending, so_Descending };
enum class TPopupMenuMode { pmm_System, pmm_PopupMenu };

// One item of the tree.
class TShellnode : public QTreeWidgetItem {
  public:
    explicit TShellnode(ShellItem item);
    // Stops the node's monitor (which never waits for the user interface).
    ~TShellnode() override;

    const ShellItem& Item() const { return item_; }
    const std::filesystem::path& Path() const { return item_.path; }
    std::uint32_t Attributes() const { return item_.attributes; }
    bool Filled() const { return filled_; }
    bool MonitorStarted() const { return monitor_started_; }
    const TDiscMonitorThread* Monitor() const { return monitor_.get(); }
    TShellnode* ParentNode() const;
    TShellnode* ChildNode(int index) const;
    TShellTree* Tree() const;

    virtual void SetImages();
    virtual std::string GetDisplayText() const;
    // The tree's order of its nodes.
    bool operator<(const QTreeWidgetItem& other) const override;

  private:
    friend class TShellTree;
    ShellItem item_;
    bool filled_ = false;
    bool found_ = false;
    bool monitor_started_ = false;
    std::unique_ptr<TDiscMonitorThread> monitor_;
};

using TOnFileAddEvent =
    std::function<void(const std::string& filename, std::uint32_t attributes, bool& allow)>;
using TOnPopupMenuEvent = std::function<void(TShellnode* node, bool& allow)>;
using TSysCMenuPopupEvent = std::function<void(TShellnode* node, QMenu* menu)>;
using TNotifyEditingOver = std::function<void(TShellTree* sender)>;

class TShellTree : public QTreeWidget {
  public:
    explicit TShellTree(QWidget* parent = nullptr);
    ~TShellTree() override;

    bool ShowVirtualFolders() const { return show_virtual_folders_; }
    void SetShowVirtualFolders(bool value);
    bool ShowSharedOverlay() const { return show_shared_overlay_; }
    void SetShowSharedOverlay(bool value);
    bool ShowLinkOverlay() const { return show_link_overlay_; }
    void SetShowLinkOverlay(bool value);
    bool RootUsePIDL() const { return root_use_pidl_; }
    void SetRootUsePIDL(bool value);
    TPidls RootPIDL() const { return root_pidl_; }
    void SetRootPIDL(TPidls value);
    // The folder of a user-defined root (`PIDL_USERDEFINED`).
    void SetUserDefinedRoot(std::filesystem::path folder);
    // The root folder when `RootUsePIDL` is false; "/" by default, and the
    // fallback for a root that cannot be read.
    const std::string& RootDir() const { return root_dir_; }
    void SetRootDir(std::string_view value);
    TVisOptions Options() const { return options_; }
    void SetOptions(TVisOptions value);
    // The folder of the selected node; empty without one.
    std::string Path() const;
    // Selects the deepest existing folder of a path (the root for an empty one).
    void SetPath(std::string_view value);
    bool UpdAutoThread() const { return upd_auto_thread_; }
    void SetUpdAutoThread(bool value) { upd_auto_thread_ = value; }
    bool UpdAuto() const { return upd_auto_; }
    void SetUpdAuto(bool value) { upd_auto_ = value; }
    bool UpdAutoRec() const { return upd_auto_rec_; }
    void SetUpdAutoRec(bool value) { upd_auto_rec_ = value; }
    bool ShowIcons() const { return show_icons_; }
    void SetShowIcons(bool value);
    std::string FileMask() const;
    void SetFileMask(std::string_view value);
    bool FileMaskUse() const { return file_mask_use_; }
    void SetFileMaskUse(bool value);
    TFileSortType FileSortType() const { return file_sort_type_; }
    void SetFileSortType(TFileSortType value);
    TFileSortOrder FileSortOrder() const { return file_sort_order_; }
    void SetFileSortOrder(TFileSortOrder value);
    TPopupMenuMode PopupMenuMode() const { return popup_menu_mode_; }
    void SetPopupMenuMode(TPopupMenuMode value) { popup_menu_mode_ = value; }
    QMenu* PopupMenu() const { return popup_menu_; }
    void SetPopupMenu(QMenu* menu) { popup_menu_ = menu; }
    bool ShowMessages() const { return show_messages_; }
    void SetShowMessages(bool value) { show_messages_ = value; }

    TOnFileAddEvent OnFileAdd;
    TOnPopupMenuEvent OnPopupMenu;
    TSysCMenuPopupEvent OnSystemContextMenu;
    TNotifyEditingOver OnEditingOver;
    std::function<void(TShellTree* sender, TShellnode* node)> OnChange;
    std::function<void(TShellTree* sender)> OnClick;
    std::function<void(TShellTree* sender, TShellnode* node, bool& allow)> OnExpanding;
    // Runs after an in-place edit, before the rename; may change the new name.
    std::function<void(TShellTree* sender, TShellnode* node, std::string& text)> OnEdited;

    TShellnode* RootNode() const;
    TShellnode* Selected() const;
    // The change-notification filter of the options.
    std::uint32_t NotifyFilter() const;

    // Builds the tree anew from its root.
    void BuildRoot();
    // Re-reads a folder node's children; with `recursive` the expanded folders
    // below it too (those collapsed are marked unread).
    void RefreshNode(TShellnode* node, bool recursive = false);
    // The node of a folder, expanding the way to it when asked; nullptr when
    // there is none (with `exact`, only the folder itself will do).
    TShellnode* FindNode(const std::filesystem::path& folder, bool expand, bool exact);
    // Re-sorts every level from the root.
    void ResortAll();
    // Volumes came or went: the desktop's volumes and the selected node are
    // read anew.
    void MountsChanged();
    // Starts editing a node's name in place.
    void StartRename(TShellnode* node);
    // Runs the context menu for a node at a point (global coordinates).
    void ShowContextMenu(TShellnode* node, QPoint global);

  protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void showEvent(QShowEvent* event) override;
    // A change of the desktop's colours or style reloads the icons and
    // re-reads the tree.
    void changeEvent(QEvent* event) override;
    // An in-place edit starts and ends here, so that only an edit renames and
    // every edit ends with OnEditingOver.
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    void closeEditor(QWidget* editor, QAbstractItemDelegate::EndEditHint hint) override;
    // The items of a folder being filled (nothing when it cannot be read), listed under the
    // hourglass.
    virtual std::optional<std::vector<ShellItem>> ListFolder(const std::filesystem::path& folder,
                                                             std::uint32_t flags);

  private:
    friend class TShellnode;
    void FillNode(TShellnode* node, bool check_only);
    bool AddOrUpdate(TShellnode* parent, ShellItem item, bool check_only);
    void SortChildren(TShellnode* node);
    // Drops a folder node's watch and children after its watch was lost, so
    // the next read rebuilds them from the folder now standing there.
    void ForgetFolder(TShellnode* node);
    // Deletes a child; a selection inside it moves to `node`.
    void DeleteChild(TShellnode* node, int index);
    void SortAll(TShellnode* node);
    void StartMonitor(TShellnode* node);
    void Expanded(QTreeWidgetItem* item);
    void ItemEdited(QTreeWidgetItem* item);
    void RenameDone(TShellnode* node, const std::string& text);
    void ReplacePaths(TShellnode* node, const std::filesystem::path& from,
                      const std::filesystem::path& to);
    void RebuildIfShown();
    std::filesystem::path RootFolder(bool& desktop) const;
    int CompareNodes(const TShellnode* a, const TShellnode* b) const;

    bool show_virtual_folders_ = true;
    bool show_shared_overlay_ = true;
    bool show_link_overlay_ = true;
    bool root_use_pidl_ = true;
    TPidls root_pidl_ = TPidls::PIDL_DESKTOP;
    std::filesystem::path user_defined_root_;
    std::string root_dir_ = "/";
    TVisOptions options_{TF_FOLDERS};
    bool upd_auto_thread_ = true;
    bool upd_auto_ = true;
    bool upd_auto_rec_ = false;
    bool show_icons_ = true;
    std::vector<std::string> masks_{"*.*"};
    bool file_mask_use_ = false;
    TFileSortType file_sort_type_ = TFileSortType::so_Name;
    TFileSortOrder file_sort_order_ = TFileSortOrder::so_Ascending;
    TPopupMenuMode popup_menu_mode_ = TPopupMenuMode::pmm_System;
    QMenu* popup_menu_ = nullptr;
    bool show_messages_ = true;
    std::string pending_path_;
    bool root_built_ = false;
    bool quiet_ = false;  // shell dialogs suppressed
    int editing_guard_ = 0;
    QPersistentModelIndex editing_;
    // A folder changed while the user was typing a new name: refreshed when the
    // edit ends, so a refresh never ends or silences the edit.
    bool refresh_after_edit_ = false;
    std::unique_ptr<TDiscMonitor> monitor_;
};

}  // namespace support
