#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QUrl>
#include <QWheelEvent>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/inotify.h>

#include "platform/ui/prompt.h"
#include "support/shelltree/disc_monitor.h"
#include "support/shelltree/item_prop.h"
#include "support/shelltree/shell_tree.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using support::TShellnode;
using support::TShellTree;

// Runs the event loop until the condition holds or the time is up.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 1000ms) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (condition())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    QApplication::processEvents();
    return condition();
}

std::vector<std::string> ChildNames(const TShellnode* node) {
    std::vector<std::string> names;
    for (int i = 0; node != nullptr && i < node->childCount(); ++i)
        names.push_back(node->ChildNode(i)->Item().name);
    return names;
}

TShellnode* Child(const TShellnode* node, const std::string& name) {
    for (int i = 0; node != nullptr && i < node->childCount(); ++i) {
        if (node->ChildNode(i)->Item().name == name)
            return node->ChildNode(i);
    }
    return nullptr;
}

// Edits a node's name as a user would and ends the edit with a key.
// Starts the in-place rename of node and gives its editor, or null.
QLineEdit* StartEdit(TShellTree& tree, TShellnode* node) {
    tree.StartRename(node);
    // A loaded machine may show the editor only after a few more turns of the event loop.
    QLineEdit* editor = nullptr;
    WaitFor([&] {
        for (QLineEdit* candidate : tree.viewport()->findChildren<QLineEdit*>()) {
            if (candidate->isVisible())
                editor = candidate;
        }
        return editor != nullptr;
    });
    return editor;
}

void EditTo(TShellTree& tree, TShellnode* node, const QString& text, int key = Qt::Key_Return) {
    QLineEdit* editor = StartEdit(tree, node);
    ASSERT_NE(editor, nullptr);
    editor->setText(text);
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(editor, &press);
    QApplication::processEvents();
}

class ShellTreeTest : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/corvane-tree-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        support::SetMenuTracker(nullptr);
        support::SetShellOpener(nullptr);
        tree_.reset();
        fs::remove_all(dir_);
    }

    TShellTree& Tree(support::TVisOptions options = {support::TF_FOLDERS}) {
        tree_ = std::make_unique<TShellTree>();
        tree_->SetRootUsePIDL(false);
        tree_->SetRootDir(dir_.string());
        tree_->SetOptions(options);
        tree_->resize(300, 400);
        tree_->show();
        QApplication::processEvents();
        return *tree_;
    }

    fs::path dir_;
    std::unique_ptr<TShellTree> tree_;
};

TEST_F(ShellTreeTest, FollowsFolderChangesOnDisk) {
    fs::create_directory(dir_ / "keep");
    TShellTree& tree = Tree();
    TShellnode* root = tree.RootNode();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->Path(), dir_);
    EXPECT_EQ(ChildNames(root), std::vector<std::string>{"keep"});

    fs::create_directory(dir_ / "made");
    EXPECT_TRUE(WaitFor([&] { return Child(root, "made") != nullptr; }));

    fs::rename(dir_ / "made", dir_ / "renamed");
    EXPECT_TRUE(WaitFor([&] { return Child(root, "renamed") && !Child(root, "made"); }));

    // A watched, expanded folder with a child of its own goes away whole.
    fs::create_directories(dir_ / "renamed" / "inner");
    TShellnode* renamed = Child(root, "renamed");
    ASSERT_NE(renamed, nullptr);
    // The leaf folder was watched too: it learns of its new child.
    EXPECT_TRUE(WaitFor([&] { return Child(root, "renamed")->childCount() > 0; }));
    Child(root, "renamed")->setExpanded(true);
    EXPECT_EQ(ChildNames(Child(root, "renamed")), std::vector<std::string>{"inner"});
    fs::remove_all(dir_ / "renamed");
    EXPECT_TRUE(WaitFor([&] { return Child(root, "renamed") == nullptr; }));

    // The tree keeps following after that.
    fs::create_directory(dir_ / "after");
    EXPECT_TRUE(WaitFor([&] { return Child(root, "after") != nullptr; }));
    fs::remove(dir_ / "keep");
    EXPECT_TRUE(WaitFor([&] { return Child(root, "keep") == nullptr; }));
}

// What the dialogs read is the selected folder: it stays selected, and open,
// while other folders come beside it and reorder the level, and when it goes
// away the selection moves up to the folder that held it, with OnChange.
// A folder moved away and replaced by a new one of the same name: the node of
// that name follows the new folder, not the one that moved.
TEST_F(ShellTreeTest, FolderReplacedUnderItsNameIsFollowedThere) {
    fs::create_directories(dir_ / "a" / "old");
    TShellTree& tree = Tree();
    TShellnode* root = tree.RootNode();
    ASSERT_NE(Child(root, "a"), nullptr);
    Child(root, "a")->setExpanded(true);
    ASSERT_EQ(ChildNames(Child(root, "a")), std::vector<std::string>{"old"});

    fs::rename(dir_ / "a", dir_ / "b");
    fs::create_directory(dir_ / "a");
    ASSERT_TRUE(WaitFor([&] { return Child(root, "b") != nullptr; }));
    ASSERT_TRUE(WaitFor([&] { return Child(root, "a") && Child(root, "a")->childCount() == 0; }));

    fs::create_directory(dir_ / "a" / "new");
    EXPECT_TRUE(WaitFor([&] {
        return ChildNames(Child(root, "a")) == std::vector<std::string>{"new"};
    })) << "the node still follows the folder that moved";
    // What happens in the folder that moved is no news for the node "a".
    fs::create_directory(dir_ / "b" / "later");
    WaitFor([] { return false; }, 300ms);
    EXPECT_EQ(ChildNames(Child(root, "a")), std::vector<std::string>{"new"});
}

// A folder moved in over the name of an open one brings sub-folders of its
// own: the nodes below were watching the old sub-folders, wherever those went,
// and were kept when a sub-folder of the same name stood in the new one.
TEST_F(ShellTreeTest, FolderMovedInOverAnOpenOneShowsItsOwnSubFolders) {
    fs::create_directories(dir_ / "p" / "b" / "c");
    fs::create_directories(dir_ / "q" / "b" / "c" / "inner");
    TShellTree& tree = Tree();
    TShellnode* root = tree.RootNode();
    const auto node = [&](std::initializer_list<const char*> names) {
        TShellnode* at = root;
        for (const char* name : names)
            at = Child(at, name);
        return at;
    };
    node({"p"})->setExpanded(true);
    node({"p", "b"})->setExpanded(true);
    ASSERT_NE(node({"p", "b", "c"}), nullptr);
    node({"p", "b", "c"})->setExpanded(true);
    ASSERT_TRUE(ChildNames(node({"p", "b", "c"})).empty());

    fs::rename(dir_ / "p" / "b", dir_ / "gone");
    fs::rename(dir_ / "q" / "b", dir_ / "p" / "b");
    // What the tree shows below p/b is what stands there: c with "inner".
    EXPECT_TRUE(WaitFor([&] {
        TShellnode* c = node({"p", "b", "c"});
        if (c != nullptr && !c->isExpanded())
            c->setExpanded(true);
        return c != nullptr && ChildNames(c) == std::vector<std::string>{"inner"};
    }));
    fs::create_directory(dir_ / "p" / "b" / "c" / "later");
    EXPECT_TRUE(WaitFor([&] {
        return ChildNames(node({"p", "b", "c"})) == std::vector<std::string>{"inner", "later"};
    }));
    // The old sub-folder's changes are no news for p/b/c.
    fs::create_directory(dir_ / "gone" / "c" / "elsewhere");
    WaitFor([] { return false; }, 300ms);
    EXPECT_EQ(ChildNames(node({"p", "b", "c"})), (std::vector<std::string>{"inner", "later"}));
}

TEST_F(ShellTreeTest, SelectionStaysWhileFoldersComeAndMovesUpWhenItsFolderGoes) {
    fs::create_directories(dir_ / "m" / "deep" / "x" / "y");
    fs::create_directories(dir_ / "m" / "deep" / "w");
    TShellTree& tree = Tree();
    std::vector<std::string> changes;
    tree.OnChange = [&](TShellTree* sender, TShellnode*) { changes.push_back(sender->Path()); };
    const std::string deep = (dir_ / "m" / "deep").string();
    tree.SetPath(deep);
    ASSERT_EQ(tree.Path(), deep);
    changes.clear();

    for (const char* name : {"a", "0", "l"}) {
        fs::create_directory(dir_ / name);
        ASSERT_TRUE(WaitFor([&] { return Child(tree.RootNode(), name) != nullptr; }, 3000ms));
        EXPECT_EQ(tree.Path(), deep) << name;
        EXPECT_TRUE(Child(tree.RootNode(), "m")->isExpanded()) << name;
    }
    EXPECT_EQ(ChildNames(tree.RootNode()), (std::vector<std::string>{"0", "a", "l", "m"}));
    EXPECT_TRUE(changes.empty());

    // The selected folder goes: its parent is selected, not a sibling.
    fs::remove(dir_ / "m" / "deep" / "x" / "y");
    tree.SetPath((dir_ / "m" / "deep" / "x").string());
    changes.clear();
    fs::remove(dir_ / "m" / "deep" / "x");
    ASSERT_TRUE(WaitFor([&] { return tree.Path() != (dir_ / "m" / "deep" / "x").string(); }));
    EXPECT_EQ(tree.Path(), deep);
    EXPECT_EQ(changes, std::vector<std::string>{deep});

    // A folder further up goes: the selection deep inside it moves up too.
    fs::create_directories(dir_ / "m" / "deep" / "p" / "q");
    tree.SetPath((dir_ / "m" / "deep" / "p" / "q").string());
    changes.clear();
    fs::rename(dir_ / "m", dir_ / "n");
    ASSERT_TRUE(WaitFor([&] { return Child(tree.RootNode(), "n") != nullptr; }));
    EXPECT_EQ(tree.Path(), dir_.string());
    EXPECT_EQ(changes, std::vector<std::string>{dir_.string()});

    // Nor does the tree report a change as it goes away.
    changes.clear();
    tree_.reset();
    EXPECT_TRUE(changes.empty());
}

// A link to a folder stands in the tree as a folder, and comes and goes like
// one; a link to a file stays out of a tree of folders.
TEST_F(ShellTreeTest, LinksToFoldersComeAndGoLikeFolders) {
    fs::create_directories(dir_ / "lists" / "target");
    std::ofstream(dir_ / "lists" / "file.txt") << "x";
    TShellTree& tree = Tree();
    TShellnode* lists = Child(tree.RootNode(), "lists");
    ASSERT_NE(lists, nullptr);
    lists->setExpanded(true);
    fs::create_directory_symlink(dir_ / "lists" / "target", dir_ / "lists" / "shortcut");
    ASSERT_TRUE(WaitFor([&] { return Child(lists, "shortcut") != nullptr; }, 3000ms));
    EXPECT_TRUE(Child(lists, "shortcut")->Attributes() & support::SFGAO_LINK);
    fs::remove(dir_ / "lists" / "shortcut");
    EXPECT_TRUE(WaitFor([&] { return Child(lists, "shortcut") == nullptr; }, 3000ms));
    fs::create_symlink(dir_ / "lists" / "file.txt", dir_ / "lists" / "file-link");
    fs::create_directory_symlink(dir_ / "lists" / "target", dir_ / "lists" / "again");
    ASSERT_TRUE(WaitFor([&] { return Child(lists, "again") != nullptr; }, 3000ms));
    EXPECT_EQ(ChildNames(lists), (std::vector<std::string>{"again", "target"}));
    fs::rename(dir_ / "lists" / "again", dir_ / "lists" / "renamed");
    EXPECT_TRUE(WaitFor(
        [&] {
            return ChildNames(lists) == std::vector<std::string>{"renamed", "target"};
        },
        3000ms));
}

// With the monitors silent, what an expansion reads follows UpdAuto and
// UpdAutoRec, and OnExpanding may refuse it.
TEST_F(ShellTreeTest, ExpandingRereadsAsTheSettingsSay) {
    fs::create_directories(dir_ / "a" / "b" / "x");
    fs::create_directories(dir_ / "a" / "c" / "x");
    TShellTree& tree = Tree();
    EXPECT_EQ(tree.NotifyFilter(), 0x6u);
    tree.SetUpdAutoThread(false);
    tree.SetUpdAuto(false);
    TShellnode* a = Child(tree.RootNode(), "a");
    ASSERT_NE(a, nullptr);
    a->setExpanded(true);
    Child(a, "b")->setExpanded(true);
    const auto reopen = [&](TShellnode* node) {
        node->setExpanded(false);
        node->setExpanded(true);
    };

    // Read once: a folder made since shows only when an expansion re-reads.
    fs::create_directory(dir_ / "a" / "new");
    fs::create_directory(dir_ / "a" / "b" / "y");
    fs::create_directory(dir_ / "a" / "c" / "y");
    reopen(a);
    EXPECT_EQ(ChildNames(a), (std::vector<std::string>{"b", "c"}));
    tree.SetUpdAuto(true);
    reopen(a);
    EXPECT_EQ(ChildNames(a), (std::vector<std::string>{"b", "c", "new"}));
    EXPECT_EQ(ChildNames(Child(a, "b")), std::vector<std::string>{"x"});

    // Recursively: the open folder below is re-read, the closed one is marked
    // unread and read when it opens, even without UpdAuto.
    tree.SetUpdAutoRec(true);
    reopen(a);
    EXPECT_EQ(ChildNames(Child(a, "b")), (std::vector<std::string>{"x", "y"}));
    EXPECT_FALSE(Child(a, "c")->Filled());
    tree.SetUpdAuto(false);
    tree.SetUpdAutoRec(false);
    Child(a, "c")->setExpanded(true);
    EXPECT_EQ(ChildNames(Child(a, "c")), (std::vector<std::string>{"x", "y"}));
    EXPECT_TRUE(Child(a, "c")->Filled());

    std::vector<std::string> asked;
    tree.OnExpanding = [&](TShellTree*, TShellnode* node, bool& allow) {
        asked.push_back(node->Item().name);
        allow = false;
    };
    TShellnode* x = Child(Child(a, "b"), "x");
    x->setExpanded(true);
    EXPECT_FALSE(x->isExpanded());
    EXPECT_EQ(asked, std::vector<std::string>{"x"});
    tree.OnExpanding = nullptr;

    tree.SetOptions({support::TF_FOLDERS, support::TF_NONFOLDERS});
    EXPECT_EQ(tree.NotifyFilter(), 0x7u);
    tree.SetOptions({support::TF_NONFOLDERS});
    EXPECT_EQ(tree.NotifyFilter(), 0x5u);
}

TEST_F(ShellTreeTest, RootTextAndLinkOverlay) {
    fs::create_directories(dir_ / "DeskTop" / "inner");
    fs::create_directory_symlink(dir_ / "DeskTop" / "inner", dir_ / "DeskTop" / "link");
    TShellTree tree;
    tree.SetRootUsePIDL(false);
    tree.SetRootDir((dir_ / "DeskTop").string() + "/");
    tree.show();
    QApplication::processEvents();
    EXPECT_EQ(tree.RootNode()->text(0).toStdString(), "Desktop");
    EXPECT_EQ(tree.RootDir(), (dir_ / "DeskTop").string());
    tree.SetRootDir((dir_ / "DeskTop" / "inner").string() + "//");
    EXPECT_EQ(tree.RootNode()->text(0).toStdString(), (dir_ / "DeskTop" / "inner").string());

    tree.SetRootDir((dir_ / "DeskTop").string());
    const auto image = [&](const char* name) {
        return Child(tree.RootNode(), name)->icon(0).pixmap(16, 16).toImage();
    };
    EXPECT_NE(image("link"), image("inner"));
    tree.SetShowLinkOverlay(false);
    EXPECT_EQ(image("link"), image("inner"));
    tree.SetShowLinkOverlay(true);
    EXPECT_NE(image("link"), image("inner"));
}

TEST_F(ShellTreeTest, EmptyRootFolderIsFollowed) {
    TShellTree& tree = Tree();
    EXPECT_EQ(tree.RootNode()->childCount(), 0);
    fs::create_directory(dir_ / "first");
    EXPECT_TRUE(WaitFor([&] { return Child(tree.RootNode(), "first") != nullptr; }, 3000ms));
}

TEST_F(ShellTreeTest, WithoutAutoThreadMonitorsRefreshNothing) {
    fs::create_directory(dir_ / "first");
    TShellTree& tree = Tree();
    tree.SetUpdAutoThread(false);
    TShellnode* root = tree.RootNode();
    ASSERT_NE(root->Monitor(), nullptr);
    EXPECT_FALSE(root->Monitor()->Error());
    fs::create_directory(dir_ / "second");
    EXPECT_FALSE(WaitFor([&] { return Child(root, "second") != nullptr; }, 400ms));
    // A change of the desktop's colours re-reads the whole tree.
    QPalette palette = tree.palette();
    palette.setColor(QPalette::Base, Qt::yellow);
    tree.setPalette(palette);
    EXPECT_NE(Child(root, "second"), nullptr);
    tree.SetUpdAutoThread(true);
    fs::create_directory(dir_ / "third");
    EXPECT_TRUE(WaitFor([&] { return Child(root, "third") != nullptr; }, 3000ms));
}

TEST_F(ShellTreeTest, PathSelectsTheDeepestExistingFolder) {
    fs::create_directories(dir_ / "a" / "b");
    std::ofstream(dir_ / "a" / "b" / "list.db") << "x";
    TShellTree& tree = Tree();
    struct Case {
        std::string in;
        fs::path selected;
    };
    const Case cases[] = {
        {(dir_ / "a" / "b" / "list.db").string(), dir_ / "a" / "b"},
        {(dir_ / "a" / "missing" / "deeper").string(), dir_ / "a"},
        {(dir_ / "a").string() + "/", dir_ / "a"},
        {"", dir_},
    };
    for (const Case& c : cases) {
        tree.SetPath(c.in);
        EXPECT_EQ(tree.Path(), c.selected.string()) << c.in;
    }

    // A path set before the tree is shown is applied once it is.
    TShellTree later;
    later.SetRootUsePIDL(false);
    later.SetRootDir(dir_.string());
    later.SetPath((dir_ / "a" / "b").string());
    later.show();
    QApplication::processEvents();
    EXPECT_EQ(later.Path(), (dir_ / "a" / "b").string());

    // A root that cannot be read falls back to the file system's root.
    TShellTree fallback;
    fallback.SetRootUsePIDL(false);
    fallback.SetRootDir("");
    fallback.show();
    QApplication::processEvents();
    EXPECT_EQ(fallback.RootNode()->Path(), fs::path("/"));
    EXPECT_EQ(fallback.RootDir(), "/");
}

TEST_F(ShellTreeTest, FilesSortAsAskedAndFoldersByName) {
    fs::create_directory(dir_ / "Zeta");
    fs::create_directory(dir_ / "alpha");
    std::ofstream(dir_ / "b.txt") << "bb";
    std::ofstream(dir_ / "a.txt") << "aaaa";
    std::ofstream(dir_ / "c.doc") << "c";
    TShellTree& tree = Tree({support::TF_FOLDERS, support::TF_NONFOLDERS});
    TShellnode* root = tree.RootNode();
    using support::TFileSortOrder;
    using support::TFileSortType;
    struct Case {
        TFileSortType type;
        TFileSortOrder order;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {TFileSortType::so_Name,
         TFileSortOrder::so_Ascending,
         {"alpha", "Zeta", "a.txt", "b.txt", "c.doc"}},
        {TFileSortType::so_Name,
         TFileSortOrder::so_Descending,
         {"alpha", "Zeta", "c.doc", "b.txt", "a.txt"}},
        {TFileSortType::so_Size,
         TFileSortOrder::so_Ascending,
         {"alpha", "Zeta", "c.doc", "b.txt", "a.txt"}},
        {TFileSortType::so_Type,
         TFileSortOrder::so_Ascending,
         {"alpha", "Zeta", "c.doc", "a.txt", "b.txt"}},
    };
    for (const Case& c : cases) {
        tree.SetFileSortType(c.type);
        tree.SetFileSortOrder(c.order);
        EXPECT_EQ(ChildNames(root), c.expected);
    }
}

TEST_F(ShellTreeTest, FileMasksAndTheAddEvent) {
    std::ofstream(dir_ / "list.db") << "x";
    std::ofstream(dir_ / "notes.txt") << "x";
    std::ofstream(dir_ / "notes.txt.bak") << "x";
    TShellTree& tree = Tree({support::TF_FOLDERS, support::TF_NONFOLDERS});
    tree.SetFileMask("  *.db ; ;*.TXT  ");
    EXPECT_EQ(tree.FileMask(), "*.db;*.TXT");
    tree.SetFileMaskUse(true);
    EXPECT_EQ(ChildNames(tree.RootNode()), (std::vector<std::string>{"list.db", "notes.txt"}));
    tree.OnFileAdd = [](const std::string& name, std::uint32_t, bool& allow) {
        allow = name.find("list") == std::string::npos;
    };
    tree.BuildRoot();
    EXPECT_EQ(ChildNames(tree.RootNode()), (std::vector<std::string>{"notes.txt"}));
    tree.SetFileMask("");
    EXPECT_EQ(tree.FileMask(), "*.*");
}

TEST_F(ShellTreeTest, RenameInPlaceRenamesOnDisk) {
    fs::create_directories(dir_ / "old" / "deep");
    fs::create_directory(dir_ / "taken");
    TShellTree& tree = Tree();
    int over = 0;
    tree.OnEditingOver = [&](TShellTree*) { ++over; };
    TShellnode* node = Child(tree.RootNode(), "old");
    ASSERT_NE(node, nullptr);
    node->setExpanded(true);
    tree.setCurrentItem(node);
    // Texts and icons the tree sets itself rename nothing.
    tree.SetShowIcons(false);
    EXPECT_EQ(over, 0);
    EditTo(tree, node, "new");
    EXPECT_TRUE(fs::is_directory(dir_ / "new" / "deep"));
    EXPECT_EQ(node->Path(), dir_ / "new");
    EXPECT_EQ(Child(node, "deep")->Path(), dir_ / "new" / "deep");
    EXPECT_EQ(over, 1);

    auto scripted = std::make_unique<ui::ScriptedPromptService>();
    auto* prompts = scripted.get();
    ui::ScopedPromptService scope(std::move(scripted));
    EditTo(tree, node, "taken");  // refused: the name exists
    EXPECT_EQ(node->text(0).toStdString(), "new");
    EXPECT_TRUE(fs::is_directory(dir_ / "new"));
    EXPECT_EQ(over, 2);
    ASSERT_EQ(prompts->Asked().size(), 1u);
    EXPECT_EQ(prompts->Asked()[0].type, ui::mtError);
    // A name holding a separator would move the folder into another one.
    for (const QString& name : {QString("taken\\inside"), QString("taken/inside")}) {
        EditTo(tree, node, name);
        EXPECT_EQ(node->text(0).toStdString(), "new");
        EXPECT_TRUE(fs::is_directory(dir_ / "new" / "deep"));
        EXPECT_FALSE(fs::exists(dir_ / "taken" / "inside"));
    }
    EXPECT_EQ(prompts->Asked().size(), 3u);
    over -= 2;

    // An edit given up ends the edit as well.
    EditTo(tree, node, "dropped", Qt::Key_Escape);
    EXPECT_EQ(over, 3);
    EXPECT_TRUE(fs::is_directory(dir_ / "new"));
}

TEST_F(ShellTreeTest, AFolderChangeDuringARenameWaitsForTheEditToEnd) {
    fs::create_directory(dir_ / "old");
    fs::create_directory(dir_ / "taken");
    TShellTree& tree = Tree();
    TShellnode* root = tree.RootNode();
    TShellnode* node = Child(root, "old");
    ASSERT_NE(node, nullptr);
    auto scripted = std::make_unique<ui::ScriptedPromptService>();
    auto* prompts = scripted.get();
    ui::ScopedPromptService scope(std::move(scripted));

    QLineEdit* editor = StartEdit(tree, node);
    ASSERT_NE(editor, nullptr);
    fs::create_directory(dir_ / "arrived");
    EXPECT_FALSE(WaitFor([&] { return Child(root, "arrived") != nullptr; }, 500ms))
        << "the tree changed under the user's edit";
    ASSERT_TRUE(editor->isVisible()) << "the change ended the edit";

    editor->setText("taken");
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(editor, &press);
    QApplication::processEvents();
    ASSERT_EQ(prompts->Asked().size(), 1u) << "the refused name is told";
    EXPECT_EQ(prompts->Asked()[0].text, "Cannot rename old to taken.");
    EXPECT_TRUE(fs::is_directory(dir_ / "old"));
    EXPECT_TRUE(WaitFor([&] { return Child(root, "arrived") != nullptr; }))
        << "the change shows once the edit is over";
}

TEST_F(ShellTreeTest, ContextMenuCommands) {
    fs::create_directory(dir_ / "folder");
    std::ofstream(dir_ / "folder" / "a.txt") << "x";
    TShellTree& tree = Tree();
    TShellnode* folder = Child(tree.RootNode(), "folder");
    ASSERT_NE(folder, nullptr);

    std::vector<std::string> shown;
    int choice = 0;
    support::SetMenuTracker([&](QMenu& menu, QPoint) {
        shown.clear();
        for (QAction* action : menu.actions()) {
            if (!action->isSeparator())
                shown.push_back(action->text().toStdString());
        }
        return choice;
    });
    std::vector<std::string> opened;
    support::SetShellOpener([&](const QUrl& url) {
        opened.push_back(url.toLocalFile().toStdString());
        return true;
    });

    support::ShellItemRequestInfo request;
    request.items = {folder->Item()};
    EXPECT_FALSE(support::ShellItemRequest(request));  // dismissed: nothing runs
    EXPECT_EQ(shown,
              (std::vector<std::string>{"&Open", "New &Folder", "Move to &Trash", "P&roperties"}));
    EXPECT_TRUE(opened.empty());

    choice = 2;  // New Folder
    EXPECT_TRUE(support::ShellItemRequest(request));
    EXPECT_TRUE(fs::is_directory(dir_ / "folder" / "New Folder"));
    EXPECT_TRUE(support::ShellItemRequest(request));
    EXPECT_TRUE(fs::is_directory(dir_ / "folder" / "New Folder (2)"));

    request.action = support::iaDefault;
    EXPECT_TRUE(support::ShellItemRequest(request));
    EXPECT_EQ(opened, std::vector<std::string>{(dir_ / "folder").string()});

    // The desktop has no property sheet: properties are ignored.
    support::ShellItemRequestInfo virtual_item;
    virtual_item.items = {support::ShellItem{}};
    virtual_item.action = support::iaProperties;
    EXPECT_FALSE(support::ShellItemRequest(virtual_item));

    // Items by path with a wildcard file part.
    std::ofstream(dir_ / "folder" / "b.txt") << "x";
    std::ofstream(dir_ / "folder" / "c.doc") << "x";
    EXPECT_EQ(support::ItemsOfPath((dir_ / "folder" / "*.txt").string()).size(), 2u);
    opened.clear();
    EXPECT_TRUE(support::ShellItemRequest((dir_ / "folder" / "?.doc").string(), support::iaVerb, {},
                                          nullptr, "open"));
    EXPECT_EQ(opened, std::vector<std::string>{(dir_ / "folder" / "c.doc").string()});
    EXPECT_FALSE(support::ShellItemRequest((dir_ / "folder" / "x.none").string(), support::iaVerb,
                                           {}, nullptr, "open"));

    // The tree's menu offers a rename, which starts editing the node.
    choice = 2;
    bool asked = false;
    tree.OnPopupMenu = [&](TShellnode*, bool& allow) { asked = allow = true; };
    tree.ShowContextMenu(folder, {});
    EXPECT_TRUE(asked);
    EXPECT_EQ(shown[1], "Rena&me");
    QApplication::processEvents();
    QLineEdit* editor = tree.viewport()->findChild<QLineEdit*>();
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->text().toStdString(), "folder");
}

// A name that is no valid UTF-8 reached the trash and the desktop's handler
// with its bad bytes replaced: another folder of that replaced name went to the
// trash in its place. Such an item is refused, and nothing else is touched.
TEST_F(ShellTreeTest, NamesBeyondUtf8AreNeverTakenForAnotherItem) {
    const fs::path bad = dir_ / "bad\xff";
    const fs::path lookalike = dir_ / "bad\xEF\xBF\xBD";  // the replacement character
    fs::create_directory(bad);
    fs::create_directory(lookalike);
    const char* old_data = std::getenv("XDG_DATA_HOME");
    const std::string saved = old_data != nullptr ? old_data : "";
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
    std::vector<std::string> opened;
    support::SetShellOpener([&](const QUrl& url) {
        opened.push_back(url.toLocalFile().toStdString());
        return true;
    });

    support::ShellItemRequestInfo request;
    request.items = {support::MakeItem(bad)};
    request.action = support::iaVerb;
    request.verb = "delete";
    EXPECT_FALSE(support::ShellItemRequest(request));
    request.verb = "open";
    EXPECT_FALSE(support::ShellItemRequest(request));
    EXPECT_TRUE(fs::is_directory(bad));
    EXPECT_TRUE(fs::is_directory(lookalike));
    EXPECT_TRUE(opened.empty());

    // A name Qt can spell is opened and trashed as before.
    request.items = {support::MakeItem(lookalike)};
    EXPECT_TRUE(support::ShellItemRequest(request));
    EXPECT_EQ(opened, std::vector<std::string>{lookalike.string()});
    request.verb = "delete";
    EXPECT_TRUE(support::ShellItemRequest(request));
    EXPECT_FALSE(fs::exists(lookalike));
    EXPECT_TRUE(fs::is_directory(bad));
    if (old_data != nullptr)
        setenv("XDG_DATA_HOME", saved.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
}

// Notes the cursor each time a folder is listed.
class CursorNotingTree : public TShellTree {
  public:
    std::vector<std::optional<Qt::CursorShape>> seen;

  protected:
    std::optional<std::vector<support::ShellItem>> ListFolder(const fs::path& folder,
                                                              std::uint32_t flags) override {
        const QCursor* cursor = QApplication::overrideCursor();
        seen.push_back(cursor != nullptr ? std::optional(cursor->shape()) : std::nullopt);
        return TShellTree::ListFolder(folder, flags);
    }
};

// Listing a large folder takes long: the hourglass shows while it is read, and the
// cursor comes back after.
TEST_F(ShellTreeTest, ReadingAFolderShowsTheHourglass) {
    fs::create_directories(dir_ / "big" / "inner");
    for (int i = 0; i < 50; ++i)
        std::ofstream(dir_ / "big" / ("f" + std::to_string(i) + ".txt")) << i;
    CursorNotingTree tree;
    tree.SetRootUsePIDL(false);
    tree.SetRootDir(dir_.string());
    tree.SetOptions({support::TF_FOLDERS, support::TF_NONFOLDERS});
    tree.resize(300, 400);
    tree.show();
    QApplication::processEvents();
    const auto all_waiting = [&tree] {
        return !tree.seen.empty() &&
               std::ranges::all_of(tree.seen, [](auto shape) { return shape == Qt::WaitCursor; });
    };
    EXPECT_TRUE(all_waiting()) << tree.seen.size() << " folders read";
    TShellnode* big = Child(tree.RootNode(), "big");
    ASSERT_NE(big, nullptr);
    tree.seen.clear();
    big->setExpanded(true);
    EXPECT_EQ(ChildNames(big).size(), 51u);
    EXPECT_TRUE(all_waiting()) << tree.seen.size() << " folders read";
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(ShellTreeTest, ManyChangesWhileNodesGoAwayNeverHang) {
    TShellTree& tree = Tree();
    TShellnode* root = tree.RootNode();
    std::atomic<bool> done{false};
    std::thread churn([&] {
        for (int i = 0; i < 400; ++i) {
            const fs::path p = dir_ / ("d" + std::to_string(i % 20));
            std::error_code error;
            fs::create_directory(p, error);
            fs::create_directory(p / "x", error);
            fs::remove_all(p, error);
        }
        done = true;
    });
    for (int round = 0; !done || round < 20; ++round) {
        QApplication::processEvents();
        tree.RefreshNode(root);
        if (round % 5 == 0)
            tree.BuildRoot();  // every node and its watch goes
        root = tree.RootNode();
    }
    churn.join();
    fs::create_directory(dir_ / "last");
    EXPECT_TRUE(WaitFor([&] { return Child(tree.RootNode(), "last") != nullptr; }, 3000ms));
}

// The kernel drops events when its queue overflows: what changed is unknown then, so every
// watched folder is read again instead of the tree going stale.
TEST_F(ShellTreeTest, LostChangesReadEveryWatchedFolderAgain) {
    fs::create_directory(dir_ / "a");
    fs::create_directory(dir_ / "b");
    QObject receiver;
    support::TDiscMonitor monitor(&receiver);
    int a_read = 0;
    int b_read = 0;
    const std::uint32_t filter = support::FILE_NOTIFY_CHANGE_DIR_NAME;
    support::TDiscMonitorThread a(monitor, dir_ / "a", filter, [&] { ++a_read; });
    support::TDiscMonitorThread b(monitor, dir_ / "b", filter, [&] { ++b_read; });
    support::TDiscMonitorThread b_again(monitor, dir_ / "b", filter, [&] { ++b_read; });
    ASSERT_FALSE(a.Error());
    inotify_event overflow{};
    overflow.wd = -1;
    overflow.mask = IN_Q_OVERFLOW;
    monitor.Dispatch(reinterpret_cast<const char*>(&overflow), sizeof overflow);
    EXPECT_TRUE(WaitFor([&] { return a_read == 1 && b_read == 2; })) << a_read << " " << b_read;
    // Nothing else is posted.
    QApplication::processEvents();
    EXPECT_EQ(a_read, 1);
    EXPECT_EQ(b_read, 2);
}

TEST_F(ShellTreeTest, OneWheelStepScrollsAPage) {
    for (int i = 0; i < 60; ++i)
        fs::create_directory(dir_ / ("folder" + std::to_string(100 + i)));
    TShellTree& tree = Tree();
    QScrollBar* bar = tree.verticalScrollBar();
    ASSERT_GT(bar->maximum(), bar->pageStep());
    const QPointF at(20, 20);
    auto wheel = [&](int delta) {
        QWheelEvent event(at, tree.viewport()->mapToGlobal(at), QPoint(), QPoint(0, delta),
                          Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(tree.viewport(), &event);
    };
    const int step = bar->pageStep();
    wheel(-120);
    EXPECT_EQ(bar->value(), step);
    wheel(-120);
    const int down = std::min(2 * step, bar->maximum());
    EXPECT_EQ(bar->value(), down);
    wheel(120);
    EXPECT_EQ(bar->value(), down - step);
    wheel(60);  // a smaller step scrolls as usual, by lines
    EXPECT_LT(bar->value(), down - step);
    EXPECT_GT(bar->value(), down - 2 * step);
}

TEST_F(ShellTreeTest, TreePicture) {
    fs::create_directories(dir_ / "Lists" / "Members");
    fs::create_directories(dir_ / "Lists" / "Archive 2025");
    fs::create_directory(dir_ / "Mail");
    std::ofstream(dir_ / "Lists" / "members.db") << "x";
    std::ofstream(dir_ / "readme.txt") << "x";
    fs::create_symlink(dir_ / "readme.txt", dir_ / "shortcut.txt");
    TShellTree& tree = Tree({support::TF_FOLDERS, support::TF_NONFOLDERS});
    tree.SetPath((dir_ / "Lists" / "Members").string());
    QApplication::processEvents();
    const QImage image = tree.grab().toImage();
    QDir().mkpath(CORVANE_PNG_DIR);
    ASSERT_TRUE(image.save(CORVANE_PNG_DIR "/shell_tree.png"));
    const QRect selected = tree.visualItemRect(tree.currentItem());
    ASSERT_FALSE(selected.isEmpty());
    EXPECT_EQ(tree.currentItem()->text(0).toStdString(), "Members");
    EXPECT_EQ(ChildNames(Child(tree.RootNode(), "Lists")),
              (std::vector<std::string>{"Archive 2025", "Members", "members.db"}));
}

TEST_F(ShellTreeTest, DesktopRootHoldsHomeAndTheFileSystem) {
    tree_ = std::make_unique<TShellTree>();
    tree_->show();
    QApplication::processEvents();
    TShellnode* root = tree_->RootNode();
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->text(0).toStdString(), "Desktop");
    std::vector<std::string> shown;
    for (int i = 0; i < root->childCount(); ++i)
        shown.push_back(root->ChildNode(i)->text(0).toStdString());
    EXPECT_NE(std::find(shown.begin(), shown.end(), "File System"), shown.end());
    tree_->SetPath(dir_.string());
    EXPECT_EQ(tree_->Path(), dir_.string());
    tree_->MountsChanged();
    EXPECT_EQ(tree_->Path(), dir_.string());
}

}  // namespace
