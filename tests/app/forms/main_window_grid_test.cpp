// The main window's list grid over a real list table: the commands on the chosen rows,
// the column clicks, the stored layout, and the statistics dialog's grid.

#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QFontMetrics>
#include <QTest>

#include <QImage>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/forms/choose_category_dialog.h"
#include "app/forms/enter_more_dialog.h"
#include "app/forms/get_more_dialog.h"
#include "app/forms/list_grid.h"
#include "app/forms/main_window.h"
#include "app/forms/scan_folder_dialog.h"
#include "app/forms/stats_dialog.h"
#include "app/list/list_database.h"
#include "app/list/settings.h"
#include "app/routines/text_routines.h"
#include "engine/dataset/strata_table.h"
#include "grid/core/customizing_form.h"
#include "grid/core/draw_utils.h"
#include "grid/core/inplace_text_edit.h"
#include "grid/data/db_grid.h"
#include "platform/db/exception.h"
#include "platform/mail/mail_store.h"
#include "platform/ui/keys.h"
#include "support/shelltree/shell_tree.h"
#include "tests/app/list/list_test_support.h"

namespace app {
namespace {

// The folder the tests started in: opening a database changes the current one.
const std::filesystem::path kStartDir = std::filesystem::current_path();

void Save(QWidget& widget, const std::string& name) {
    EXPECT_TRUE(widget.grab().toImage().save(QString::fromStdString((kStartDir / name).string())));
}

// A click in the middle of a column's header, `delay` ms after the last event.
void ClickHeader(grid::TgxDBGrid& g, const grid::TgxDBTreeListColumn& column, int delay = -1) {
    grid::TDrawInfo info;
    g.CalcDrawInfo(info);
    for (const grid::THeaderCellInfo& hc : info.header_cells)
        if (hc.column == column.GetIndex())
            QTest::mouseClick(
                g.viewport(), Qt::LeftButton, Qt::NoModifier,
                QPoint((hc.rect.left + hc.rect.right) / 2, (hc.rect.top + hc.rect.bottom) / 2),
                delay);
}

class MainGridTest : public testing_support::ListTest {
  protected:
    void SetUp() override {
        OpenNew();
        for (auto [item, category] :
             std::vector<std::pair<const char*, const char*>>{{"ann@x.com", "news"},
                                                              {"bob@x.com", "news"},
                                                              {"cid@x.com", "sport"},
                                                              {"dee@x.com", "events"},
                                                              {"cid@x.com", "events"}})
            Add(item, category);
        Open();
    }
    void TearDown() override { window.reset(); }

    void Open() {
        window = std::make_unique<Tfrmmain>(program.Dir(), std::vector<std::string>{},
                                            ListServices{settings, *database, errors, *entries});
        window->Show();
    }
    void Add(const std::string& item, const std::string& category) {
        strata::TStrataTable& t = database->tblCV();
        t.Append();
        t.FieldByName("Item")->SetAsString(item);
        t.FieldByName("Category")->SetAsString(category);
        t.FieldByName("Bounces")->SetAsInteger(3);
        t.Post();
    }
    int KeyOf(const std::string& item, const std::string& category) {
        strata::TStrataTable& t = database->tblCV();
        for (t.First(); !t.Eof(); t.Next())
            if (t.FieldByName("Item")->AsString() == item &&
                t.FieldByName("Category")->AsString() == category)
                return t.FieldByName("Index")->AsInteger();
        ADD_FAILURE() << item << " " << category;
        return -1;
    }
    // Chooses exactly these rows in the grid, as the user's clicks would.
    void Choose(std::vector<std::pair<std::string, std::string>> rows) {
        std::vector<int> keys;
        for (auto& [item, category] : rows)
            keys.push_back(KeyOf(item, category));
        grid::TgxDBGrid& g = *window->gxDBGrid1;
        g.ClearSelection();
        for (int key : keys) {
            grid::TgxDBGridNode* row = g.FindNodeByKeyValue(db::Variant(key));
            ASSERT_NE(row, nullptr) << key;
            g.SelectNode(row, true);
        }
    }
    std::vector<std::string> Sorted() {
        auto rows = Rows();
        std::sort(rows.begin(), rows.end());
        return rows;
    }

    std::unique_ptr<Tfrmmain> window;
};

TEST(ListGrid, StoredSortValuesMapToTheGridMarksBothWays) {
    struct Case {
        int stored;
        grid::TgxTreeListColumnSort mark;
        int back;
    };
    for (Case c : {Case{0, grid::csNone, 0}, Case{1, grid::csUp, 1}, Case{2, grid::csDown, 2},
                   Case{3, grid::csNone, 0}, Case{-1, grid::csNone, 0}}) {
        EXPECT_EQ(SortMarkFromStored(c.stored), c.mark) << c.stored;
        EXPECT_EQ(StoredFromSortMark(SortMarkFromStored(c.stored)), c.back) << c.stored;
    }
}

TEST_F(MainGridTest, GridShowsEveryRowAndTheLayoutAndPlaceComeBackAfterARestart) {
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    EXPECT_TRUE(g.IsLoadAllMode());
    EXPECT_EQ(g.Count(), 5);
    Save(*window, "main_window_grid.png");
    grid::TgxDBTreeListColumn* category = g.ColumnByFieldName("Category");
    grid::TgxDBTreeListColumn* comments = g.ColumnByFieldName("Comments");
    ASSERT_NE(category, nullptr);
    EXPECT_EQ(category->Name(), "gxDBGrid1Category");
    category->SetSorted(grid::csDown);
    category->SetWidth(155);
    comments->SetVisible(false);
    window->resize(700, 480);
    window->Close();
    window.reset();

    Open();
    grid::TgxDBGrid& again = *window->gxDBGrid1;
    EXPECT_EQ(again.ColumnByFieldName("Category")->Sorted(), grid::csDown);
    EXPECT_EQ(again.ColumnByFieldName("Category")->Width(), 155);
    EXPECT_FALSE(again.ColumnByFieldName("Comments")->Visible());
    EXPECT_TRUE(again.ColumnByFieldName("Item")->Visible());
    // The window comes back at the size it was closed at.
    EXPECT_EQ(window->width(), 700);
    EXPECT_EQ(window->height(), 480);
}

TEST_F(MainGridTest, CategoryGroupsCountTheirEntriesAndTheGridKeepsItsOwnSwitches) {
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    const grid::TgxDBGridOptions own =
        grid::egoAutoWidth | grid::egoCaseInsensitive | grid::egoSmartReload;
    EXPECT_EQ(g.Options() & own, own);
    // Switching editing on and off keeps them.
    window->mkAllowEditingClick();
    window->mkAllowEditingClick();
    EXPECT_EQ(g.Options() & own, own);

    g.ColumnByFieldName("Category")->SetGroupIndex(0);
    std::vector<std::string> groups;
    const int column = g.ColumnByFieldName("Category")->GetIndex();
    for (int i = 0; i < g.Count(); ++i)
        groups.push_back(g.GetCellText(g.Items(i), column));
    std::sort(groups.begin(), groups.end());
    EXPECT_EQ(groups,
              (std::vector<std::string>{"events (COUNT=2)", "news (COUNT=2)", "sport (COUNT=1)"}));
    Save(*window, "main_window_grouped.png");
}

TEST_F(MainGridTest, CommandsOnChosenRowsTouchExactlyThoseRows) {
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    const int bob = KeyOf("bob@x.com", "news");
    g.FindNodeByKeyValue(db::Variant(bob))->SetFocused(true);
    Choose({{"bob@x.com", "news"}, {"cid@x.com", "sport"}});
    prompts->Answer(ui::mrYes);
    window->DeleteRecord1Click();
    // The focus lands once on a row that stays, and only that row is chosen (looked at
    // before the rows are read, since reading moves the table and the grid with it).
    auto* focused = dynamic_cast<grid::TgxDBGridNode*>(g.GetFocusedNode());
    ASSERT_NE(focused, nullptr);
    EXPECT_TRUE(focused->Selected());
    EXPECT_EQ(g.GetSelectedCount(), 1);
    EXPECT_NE(focused->Key.AsInteger(), bob);
    EXPECT_EQ(Sorted(),
              (std::vector<std::string>{"ann@x.com|news", "cid@x.com|events", "dee@x.com|events"}));
    EXPECT_EQ(prompts->Asked().back().text,
              "Are you sure you want to delete the 2 selected entries?");

    Choose({{"ann@x.com", "news"}});
    window->BatchProcess(1);
    strata::TStrataTable& t = database->tblCV();
    for (t.First(); !t.Eof(); t.Next())
        EXPECT_EQ(t.FieldByName("Bounces")->AsInteger(),
                  t.FieldByName("Item")->AsString() == "ann@x.com" ? 0 : 3);

    // Moving cid's events row to "news" keeps it; dee gets the category too.
    Choose({{"cid@x.com", "events"}, {"dee@x.com", "events"}});
    ui::ScopedModalHandler script([](ui::TForm& form) {
        auto* dialog = dynamic_cast<TdlgChooseCategory*>(&form);
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(dialog->lblPrompt->Caption(), "Please enter a List Category for these 2 entries");
        dialog->cmbCategory->SetText(" news ");
        dialog->btnOK->Click();
    });
    window->mkChangeCategoryClick();
    EXPECT_EQ(Sorted(),
              (std::vector<std::string>{"ann@x.com|news", "cid@x.com|news", "dee@x.com|news"}));

    Choose({{"dee@x.com", "news"}});
    prompts->Answer(ui::mrYes);
    window->mkaddtoneverClick();
    EXPECT_EQ(Sorted(), (std::vector<std::string>{"ann@x.com|news", "cid@x.com|news"}));
    EXPECT_NE(std::find(settings.lbxneversubscribe.begin(), settings.lbxneversubscribe.end(),
                        "dee@x.com"),
              settings.lbxneversubscribe.end());
}

TEST_F(MainGridTest, KeysAndPopUpMenuFollowTheSettings) {
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    Choose({{"dee@x.com", "events"}});
    prompts->Answer(ui::mrNo);
    window->DBGrid1KeyUp(ui::VK_DELETE, false);
    EXPECT_EQ(Rows().size(), 5u);
    Choose({{"dee@x.com", "events"}});
    prompts->Answer(ui::mrYes);
    window->DBGrid1KeyUp(ui::VK_DELETE, false);
    EXPECT_EQ(Rows().size(), 4u);

    window->DBGrid1KeyUp(ui::VK_END, true);
    EXPECT_EQ(database->tblCV().FieldByName("Item")->AsString(), "cid@x.com");
    window->DBGrid1KeyUp(ui::VK_HOME, true);
    EXPECT_EQ(database->tblCV().FieldByName("Item")->AsString(), "ann@x.com");
    EXPECT_EQ(static_cast<grid::TgxDBGridNode*>(g.GetFocusedNode())->Key.AsInteger(),
              KeyOf("ann@x.com", "news"));

    for (bool rights : {false, true}) {
        settings.UserSending = rights;
        window->PopupMenu1Popup();
        EXPECT_EQ(window->PopupMenu1.Items().Find("pukUsercansend")->Enabled(), rights);
        EXPECT_EQ(window->MainMenu1.Items().Find("Usercannotsendmessages1")->Enabled(), rights);
    }
}

TEST_F(MainGridTest, CacheLimitLoadsPartlyAndSortsByAddress) {
    window->Close();
    window.reset();
    settings.LimitDBCache = true;
    settings.DBCacheSize = 100;
    SaveEntries(settings, program.Dir());
    Open();
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    EXPECT_TRUE(g.IsPartialLoadMode());
    EXPECT_EQ(g.PartialLoadBufferCount(), 100);
    EXPECT_FALSE(g.ShowGroupPanel());
    EXPECT_EQ(g.ColumnByFieldName("Item")->Sorted(), grid::csUp);
    EXPECT_FALSE(window->mkShowGroupPanel->Visible());
    // The panel the limit hid is still the user's choice at the next start.
    window->Close();
    Settings reread;
    Loadentries(reread, program.Dir());
    EXPECT_TRUE(reread.ShowGroupPanel);
}

TEST_F(MainGridTest, CommandsWithoutAChosenRowBeepAndChangeNothing) {
    window->gxDBGrid1->ClearSelection();
    const int beeps = ui::BeepCount();
    const auto before = Sorted();
    window->DeleteRecord1Click();
    window->BatchProcess(2);
    window->mkChangeCategoryClick();
    EXPECT_EQ(ui::BeepCount(), beeps + 3);
    EXPECT_EQ(Sorted(), before);
    EXPECT_TRUE(prompts->Asked().size() <= 1u);
}

TEST_F(MainGridTest, TheSortMenuPutsTheMostBouncesFirstThenTheFewest) {
    strata::TStrataTable& t = database->tblCV();
    int bounces = 0;
    for (t.First(); !t.Eof(); t.Next()) {
        t.Edit();
        t.FieldByName("Bounces")->SetAsInteger(bounces++);
        t.Post();
    }
    window->rdballClick();
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    grid::TgxDBTreeListColumn* column = g.ColumnByFieldName("Bounces");
    ASSERT_NE(column, nullptr);
    auto first_and_last = [&] {
        return std::make_pair(g.GetCellText(g.Items(0), column->GetIndex()),
                              g.GetCellText(g.Items(g.Count() - 1), column->GetIndex()));
    };
    window->SortMenuClick("Bounces");
    EXPECT_EQ(column->Sorted(), grid::csDown);
    EXPECT_EQ(first_and_last(), std::make_pair(std::string("4"), std::string("0")));
    // The order holds when a command brackets a dialog, the list is filtered
    // again and the window goes idle.
    window->OnProcessFolder = [&](bool, bool) { database->SaveDatabase(); };
    window->btngetoutlookClick();
    window->rdballClick();
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(first_and_last(), std::make_pair(std::string("4"), std::string("0")));
    window->SortMenuClick("Bounces");
    EXPECT_EQ(column->Sorted(), grid::csUp);
    EXPECT_EQ(first_and_last(), std::make_pair(std::string("0"), std::string("4")));
}

TEST_F(MainGridTest, HeaderClicksSortUpThenDown) {
    strata::TStrataTable& t = database->tblCV();
    int bounces = 0;
    for (t.First(); !t.Eof(); t.Next()) {
        t.Edit();
        t.FieldByName("Bounces")->SetAsInteger(bounces++ % 3);
        t.Post();
    }
    window->rdballClick();
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    grid::TgxDBTreeListColumn* column = g.ColumnByFieldName("Bounces");
    auto header = [&] {
        grid::TDrawInfo info;
        g.CalcDrawInfo(info);
        for (const grid::THeaderCellInfo& hc : info.header_cells)
            if (hc.column == column->GetIndex())
                return QPoint((hc.rect.left + hc.rect.right) / 2,
                              (hc.rect.top + hc.rect.bottom) / 2);
        return QPoint();
    };
    auto order = [&] {
        std::string text;
        for (int i = 0; i < g.Count(); ++i)
            text += g.GetCellText(g.Items(i), column->GetIndex());
        return text;
    };
    QTest::mouseClick(g.viewport(), Qt::LeftButton, Qt::NoModifier, header());
    EXPECT_EQ(column->Sorted(), grid::csUp);
    EXPECT_EQ(order(), "00112");
    QTest::mouseClick(g.viewport(), Qt::LeftButton, Qt::NoModifier, header(), 600);
    EXPECT_EQ(column->Sorted(), grid::csDown);
    EXPECT_EQ(order(), "21100");
}

// A sorted column shows its whole caption beside the sort mark, which takes the header's
// rightmost pixels, at the window's first size and wider and after a stored layout made it
// narrow: "Bounces" is the narrow one that was cut to "Bou...". (Squeezed below its first
// size the window cuts its captions, as any grid does.)
TEST_F(MainGridTest, SortedHeadersShowTheirWholeCaptionBesideTheSortMark) {
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    const auto caption_room = [&g](const grid::TgxDBTreeListColumn& column) {
        grid::TDrawInfo info;
        g.CalcDrawInfo(info);
        for (const grid::THeaderCellInfo& hc : info.header_cells)
            if (hc.column == column.GetIndex())
                return hc.rect.Width() - grid::kSortMarkWidth - 4;
        return -1;
    };
    struct Case {
        int window_width;
        int stored_bounces_width;  // 0: as designed
    };
    for (const Case& c : {Case{820, 0}, Case{1200, 0}, Case{820, 40}}) {
        SCOPED_TRACE(std::to_string(c.window_width) + " " + std::to_string(c.stored_bounces_width));
        if (c.stored_bounces_width > 0)
            g.ColumnByFieldName("Bounces")->SetWidth(c.stored_bounces_width);
        window->resize(c.window_width, 480);
        QCoreApplication::processEvents();
        for (const char* field : {"Item", "Category", "Bounces"}) {
            grid::TgxDBTreeListColumn* column = g.ColumnByFieldName(field);
            column->SetSorted(grid::csDown);
            EXPECT_GE(caption_room(*column),
                      g.Metrics().TextWidth(g.GetHeaderFont(), column->Caption()))
                << field;
            column->SetSorted(grid::csNone);
        }
    }
    g.ColumnByFieldName("Bounces")->SetSorted(grid::csUp);
    Save(*window, "sorted_bounces_header.png");
}

// A long list takes the grid a while to sort: the hourglass shows while it does.
TEST_F(MainGridTest, HeaderClickSortsUnderTheHourglass) {
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    grid::TgxDBTreeListColumn* column = g.ColumnByFieldName("Item");
    std::vector<bool> waiting;
    g.OnCompare = [&](grid::TCustomgxTreeList*, grid::TgxTreeListNode* a, grid::TgxTreeListNode* b,
                      int& result) {
        const QCursor* cursor = QApplication::overrideCursor();
        waiting.push_back(cursor != nullptr && cursor->shape() == Qt::WaitCursor);
        result = g.GetCellText(a, column->GetIndex()).compare(g.GetCellText(b, column->GetIndex()));
    };
    ClickHeader(g, *column);
    g.OnCompare = nullptr;
    EXPECT_EQ(column->Sorted(), grid::csUp);
    ASSERT_FALSE(waiting.empty());
    EXPECT_TRUE(std::ranges::all_of(waiting, [](bool w) { return w; }));
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(MainGridTest, ADescendingListStaysWhereItWasThroughACheckForNewEntries) {
    // More entries than fit in the window, each with 0, 1 or 2 bounces; the five of the
    // fixture have 3.
    strata::TStrataTable& t = database->tblCV();
    auto add = [&](const std::string& item, int bounces) {
        t.Append();
        t.FieldByName("Item")->SetAsString(item);
        t.FieldByName("Category")->SetAsString("news");
        t.FieldByName("Bounces")->SetAsInteger(bounces);
        t.Post();
    };
    for (int i = 0; i < 295; ++i)
        add("m" + std::to_string(1000 + i) + "@x.com", i % 3);
    window->rdballClick();
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    window->grab();
    grid::TgxDBTreeListColumn* bounces = g.ColumnByFieldName("Bounces");
    grid::TgxDBTreeListColumn* item = g.ColumnByFieldName("Item");
    // Apart in time, so that no two clicks make a double click.
    auto click = [&](grid::TgxDBTreeListColumn* column) { ClickHeader(g, *column, 600); };
    auto on_screen = [&](grid::TgxDBTreeListColumn* column) {
        std::vector<std::string> texts;
        const int top = g.GetTopIndex();
        for (int i = top; i < top + g.GetVisibleRowCount() && i < g.GetAbsoluteCount(); ++i)
            texts.push_back(g.GetCellText(g.GetAbsoluteNode(i), column->GetIndex()));
        return texts;
    };
    auto focused_key = [&] {
        return static_cast<grid::TgxDBGridNode*>(g.GetFocusedNode())->Key.AsInteger();
    };
    click(item);
    click(bounces);
    click(bounces);
    ASSERT_EQ(bounces->Sorted(), grid::csDown);
    EXPECT_EQ(item->Sorted(), grid::csNone);
    // The user goes to the top of the list and picks the fourth entry.
    QTest::keyClick(&g, Qt::Key_Home, Qt::ControlModifier);
    g.SetFocusedNode(g.GetAbsoluteNode(3));
    ASSERT_EQ(g.GetTopIndex(), 0);
    const int picked = focused_key();
    const std::vector<std::string> shown = on_screen(item);
    ASSERT_EQ(on_screen(bounces).front(), "3");

    // A check for new entries that adds one: the rows, the sort and the entry the user
    // picked stay where they were, although the list is unfiltered and filtered again.
    window->OnProcessFolder = [&](bool, bool) {
        add("new@x.com", 0);
        database->SaveDatabase();
    };
    window->btngetoutlookClick();
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
    EXPECT_EQ(bounces->Sorted(), grid::csDown);
    EXPECT_EQ(g.GetAbsoluteCount(), 301);
    EXPECT_EQ(focused_key(), picked);
    EXPECT_EQ(g.GetTopIndex(), 0);
    EXPECT_EQ(g.GetFocusedAbsoluteIndex(), 3);
    EXPECT_EQ(on_screen(item), shown);
    EXPECT_EQ(on_screen(bounces).front(), "3");
    EXPECT_EQ(g.GetCellText(g.GetAbsoluteNode(300), bounces->GetIndex()), "0");
    Save(*window, "main_window_sorted_after_check.png");
}

TEST_F(MainGridTest, ColumnClicksSortTheTableOnlyWithTheCacheLimit) {
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    strata::TStrataTable& t = database->tblCV();
    grid::TgxDBTreeListColumn* category = g.ColumnByFieldName("Category");
    // Every row loaded: the table keeps its order, the grid sorts.
    window->gxDBGrid1ColumnClick(category);
    EXPECT_EQ(t.IndexFieldNames(), "Item");
    // The sort menu turns descending first, then back to ascending, and shows the mark.
    for (grid::TgxTreeListColumnSort expected : {grid::csDown, grid::csUp, grid::csDown}) {
        window->SortMenuClick("Category");
        EXPECT_EQ(category->Sorted(), expected);
    }
    EXPECT_EQ(g.GetCellText(g.Items(0), category->GetIndex()), "sport");
    window->mkSortingClick();
    EXPECT_TRUE(window->MainMenu1.Items().Find("mksortList")->Checked());
    EXPECT_EQ(t.IndexFieldNames(), "Item");

    settings.LimitDBCache = true;
    window->SetLoadAllRecords();
    EXPECT_FALSE(g.IsLoadAllMode());
    EXPECT_FALSE(g.ShowGroupPanel());
    window->gxDBGrid1ColumnClick(category);
    EXPECT_EQ(t.IndexFieldNames(), "Category");
    EXPECT_EQ(category->Sorted(), grid::csUp);
    window->gxDBGrid1ColumnClick(g.ColumnByFieldName("Bounces"));
    EXPECT_EQ(t.IndexFieldNames(), "Bounces");
    EXPECT_EQ(category->Sorted(), grid::csNone);
    window->gxDBGrid1ColumnClick(g.ColumnByFieldName("Bounces"));
    EXPECT_EQ(t.IndexFieldNames(), "");
    const int beeps = ui::BeepCount();
    window->gxDBGrid1ColumnClick(g.ColumnByFieldName("Comments"));
    EXPECT_EQ(ui::BeepCount(), beeps + 1);
    EXPECT_EQ(t.IndexFieldNames(), "");
}

TEST_F(MainGridTest, EditingSwitchesRowSelectOff) {
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    const bool was = window->mkAllowEditing->Checked();
    window->mkAllowEditingClick();
    EXPECT_EQ((g.Options() & grid::egoEditing) != 0, !was);
    EXPECT_EQ((g.Options() & grid::egoRowSelect) != 0, was);
    EXPECT_EQ(settings.AllowEditing, !was);
}

// The user types into a cell and closes the window through its menu without leaving the
// cell: the value is the user's change and is kept. When the table refuses it, the error
// is shown and the window stays open with the text still in the editor.
TEST_F(MainGridTest, ClosingWhileACellIsTypedIntoKeepsTheValueOrStaysOpen) {
    const int cid = KeyOf("cid@x.com", "sport");
    auto type_into = [this, cid](const std::string& text) {
        grid::TgxDBGrid& g = *window->gxDBGrid1;
        g.SetFocusedNode(g.FindNodeByKeyValue(db::Variant(cid)));
        g.SetFocusedColumn(g.ColumnByFieldName("Name")->GetIndex());
        QTest::keyClick(&g, Qt::Key_F2);
        auto* editor = dynamic_cast<grid::TgxInplaceTextEdit*>(g.InplaceEditor());
        ASSERT_NE(editor, nullptr);
        editor->LineEdit().selectAll();
        QTest::keyClicks(&editor->LineEdit(), QString::fromStdString(text));
    };
    auto stored_name = [this, cid] {
        strata::TStrataTable& t = database->tblCV();
        t.Locate("Index", db::Variant(cid), {});
        return t.FieldByName("Name")->AsString();
    };
    if (!settings.AllowEditing)
        window->mkAllowEditingClick();

    database->tblCV().BeforePost = [](db::TDataSet*) { throw db::EDatabaseError("Refused"); };
    type_into("Cid Refused");
    const std::size_t asked = prompts->Asked().size();
    window->Close();
    EXPECT_TRUE(window->isVisible());
    ASSERT_EQ(prompts->Asked().size(), asked + 1);
    EXPECT_EQ(prompts->Asked().back().text, "Refused");
    // Nothing typed is lost: the entry still holds it, unposted.
    EXPECT_EQ(database->tblCV().State(), db::dsEdit);
    EXPECT_EQ(database->tblCV().FieldByName("Name")->AsString(), "Cid Refused");

    database->tblCV().BeforePost = nullptr;
    type_into("Cid Typed");
    window->Close();
    EXPECT_FALSE(window->isVisible());
    window.reset();
    EXPECT_EQ(stored_name(), "Cid Typed");
}

TEST_F(MainGridTest, FileFolderScanOffersEachAddressOfTheChosenFilesOnce) {
    const std::filesystem::path folder = program.File("scan");
    const std::filesystem::path empty = program.File("empty");
    std::filesystem::create_directory(folder);
    std::filesystem::create_directory(empty);
    std::ofstream(folder / "a.txt") << "Mail ann@x.com and BOB@y.org\r\nagain Ann@X.com\n";
    std::ofstream(folder / "b.txt") << "zed@z.net";
    std::ofstream(folder / "c.dat") << "dat@x.com";
    std::vector<std::string> offered;
    std::string heading;
    int steps = 0;
    ui::ScopedModalHandler script([&](ui::TForm& form) {
        if (auto* scan = dynamic_cast<TdlgScanFolder*>(&form)) {
            // First a folder without text files, then the one with them.
            ++steps;
            scan->ScanDirectory->SetRootUsePIDL(false);
            scan->ScanDirectory->SetRootDir(program.Dir());
            scan->ScanDirectory->SetPath((steps == 1 ? empty : folder).string());
            ASSERT_TRUE(scan->btnNext1->Enabled());
            EXPECT_EQ(scan->Mask(), "*.txt");
            scan->btnNext1->Click();
        } else if (auto* more = dynamic_cast<TdlgEnterMore*>(&form)) {
            offered = more->memin->Lines().ToVector();
            heading = more->lblHeading->Caption();
            form.SetModalResult(ui::mrCancel);
        } else {
            ADD_FAILURE() << "another dialog came up";
        }
    });
    window->ScanFileFoldersforAddresses1Click();
    EXPECT_EQ(steps, 2);
    EXPECT_EQ(
        prompts->Asked().back().text,
        "No files of the specified type could be found in the folder, " + empty.string() + "!");
    EXPECT_EQ(offered, (std::vector<std::string>{"ann@x.com", "BOB@y.org", "zed@z.net"}));
    EXPECT_EQ(heading, "The following 3 addresses were retrieved from your file folder:");
    EXPECT_EQ(Rows().size(), 5u);
}

// Files are read as import files are: UTF-16 behind its byte-order mark, Windows-1252, and
// lines that end in a lone CR. A folder of many addresses hands every one to the dialog.
TEST_F(MainGridTest, FileFolderScanReadsEveryKindOfTextFile) {
    const std::filesystem::path folder = program.File("scan");
    std::filesystem::create_directory(folder);
    const std::u16string wide = u"wide ula@x.com\r\n";
    std::string utf16 = "\xFF\xFE";
    for (char16_t c : wide) {
        utf16 += static_cast<char>(c & 0xFF);
        utf16 += static_cast<char>(c >> 8);
    }
    std::ofstream(folder / "utf16.txt", std::ios::binary) << utf16;
    std::ofstream(folder / "mac.txt", std::ios::binary) << "cy@x.com\rdi@x.com\r";
    std::ofstream(folder / "ansi.txt", std::ios::binary) << "Caf\xE9 \xB4"
                                                            "ed@x.com\xB4\n";
    {
        std::ofstream many(folder / "many.txt");
        for (int i = 0; i < 20000; ++i)
            many << "m" << i << "@x.com\n";
    }
    std::vector<std::string> offered;
    ui::ScopedModalHandler script([&](ui::TForm& form) {
        if (auto* scan = dynamic_cast<TdlgScanFolder*>(&form)) {
            scan->ScanDirectory->SetRootUsePIDL(false);
            scan->ScanDirectory->SetRootDir(program.Dir());
            scan->ScanDirectory->SetPath(folder.string());
            scan->btnNext1->Click();
        } else if (auto* more = dynamic_cast<TdlgEnterMore*>(&form)) {
            offered = more->memin->Lines().ToVector();
            form.SetModalResult(ui::mrCancel);
        } else {
            ADD_FAILURE() << "another dialog came up";
        }
    });
    window->ScanFileFoldersforAddresses1Click();
    ASSERT_EQ(offered.size(), 20004u);
    for (const char* address : {"cy@x.com", "di@x.com", "ed@x.com", "ula@x.com", "m19999@x.com"})
        EXPECT_NE(std::find(offered.begin(), offered.end(), address), offered.end()) << address;
}

// The scan of a mail folder offers each sender once, whatever the letter case, in the
// manual-entry dialog; a scan that finds nothing says so and offers nothing.
TEST_F(MainGridTest, MailFolderScanOffersEachSenderOnce) {
    auto store = mail::MailStore::OpenMaildir({}, program.File("Mail"), "MailingList");
    mail::Folder& archive = store->Root(1).AddFolder("Archive");
    for (const char* from : {"Ann <ann@example.org>", "bob@example.org", "ANN <Ann@Example.org>"})
        archive.AppendMessage(std::string("From: ") + from +
                                  "\r\nTo: list@example.org\r\nSubject: hi\r\n\r\nbody\r\n",
                              true);
    window->OnMailStore = [&]() -> mail::MailStore& { return *store; };
    ASSERT_TRUE(window->mkScanFolders->Enabled());
    ASSERT_TRUE(window->btnScanOutlook->Enabled());
    std::vector<std::string> offered;
    std::string heading, caption;
    bool chose_folder = false;
    ui::ScopedModalHandler script([&](ui::TForm& form) {
        if (auto* folders = dynamic_cast<TdlgGetMore*>(&form)) {
            folders->tmrLoadFoldersTimer();
            const auto found = folders->trvFolders->findItems("Archive", Qt::MatchExactly);
            ASSERT_EQ(found.size(), 1);
            folders->trvFolders->setCurrentItem(found[0]);
            folders->trvFoldersClick();
            chose_folder = true;
            folders->btnOK->Click();
        } else if (auto* more = dynamic_cast<TdlgEnterMore*>(&form)) {
            offered = more->memin->Lines().ToVector();
            heading = more->lblHeading->Caption();
            caption = more->Caption();
            EXPECT_FALSE(more->btnLoad->isVisible());
            Save(*more, "scan_outlook_step2.png");
            form.SetModalResult(ui::mrCancel);
        } else {
            ADD_FAILURE() << "another dialog came up";
        }
    });
    window->mkScanFolders->Click();
    EXPECT_TRUE(chose_folder);
    ASSERT_EQ(offered.size(), 2u);
    EXPECT_TRUE(SameText(offered[0], "Ann <ann@example.org>")) << offered[0];
    EXPECT_EQ(offered[1], "bob@example.org");
    EXPECT_EQ(heading, "The following 2 addresses were retrieved from the specified folder:");
    EXPECT_EQ(caption, "Process Addresses (Step 2 of 2)");
    EXPECT_EQ(Rows().size(), 5u) << "nothing is applied until the user says so";

    // The contacts folder holds no one: no dialog, only the information box.
    offered.clear();
    window->mkScanContacts->Click();
    EXPECT_TRUE(offered.empty());
    EXPECT_EQ(prompts->Asked().back().text, "No e-mail addresses were found in specified folder");
}

TEST_F(MainGridTest, StatisticsGridSumsEachCountInItsFooter) {
    for (int day = 1; day <= 3; ++day)
        for (int i = 0; i < day; ++i)
            database->AddStatRecord(kStatSubscribe, db::EncodeDate(2026, 3, day));
    database->AddStatRecord(kStatBounce, db::EncodeDate(2026, 3, 2));
    TdlgStats stats(nullptr, database->tblStats());
    stats.Show();
    grid::TgxDBGrid& g = *stats.gxDBGrid1;
    EXPECT_EQ(g.Count(), 3);
    EXPECT_EQ(g.GetFooterText(g.ColumnByFieldName("Subscribes")->GetIndex()), "6");
    EXPECT_EQ(g.GetFooterText(g.ColumnByFieldName("Bounces")->GetIndex()), "1");
    EXPECT_EQ(g.GetFooterText(g.ColumnByFieldName("Unsubscribes")->GetIndex()), "0");
    Save(stats, "stats_dialog.png");
}

// The column selector opens while every column is shown too: an empty list of 28 "0"s by
// eleven rows, the form's frame in the main window's bottom-right corner, and the same
// command closes it again.
TEST_F(MainGridTest, ColumnSelectorOpensInTheWindowsCornerAlsoWithNothingHidden) {
    window->move(40, 30);
    window->resize(700, 480);
    grid::TgxDBGrid& g = *window->gxDBGrid1;
    window->pukColumnSelectorClick();
    QWidget* form = g.CustomizingForm();
    ASSERT_NE(form, nullptr);
    auto* list = dynamic_cast<grid::TgxHeadersListBox*>(g.CustomizingHeadersList());
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->count(), 0);
    EXPECT_EQ(list->viewport()->width(), 28 * QFontMetrics(list->font()).horizontalAdvance('0'));
    EXPECT_EQ(list->viewport()->height(), 11 * list->ItemHeight());
    EXPECT_TRUE(form->isVisible());
    const QRect owner = window->frameGeometry();
    const QRect frame = form->frameGeometry();
    const QSize margins = owner.size() - window->size();
    EXPECT_TRUE(owner.contains(frame))
        << frame.x() << "," << frame.y() << " in " << owner.x() << "," << owner.y();
    EXPECT_LE(owner.right() - frame.right(), margins.width());
    EXPECT_LE(owner.bottom() - frame.bottom(), margins.height());
    Save(*form, "main_window_column_selector.png");
    window->pukColumnSelectorClick();
    EXPECT_EQ(g.CustomizingForm(), nullptr);
    // Hidden columns are listed by their captions.
    g.ColumnByFieldName("Comments")->SetVisible(false);
    window->pukColumnSelectorClick();
    ASSERT_NE(g.CustomizingHeadersList(), nullptr);
    EXPECT_EQ(g.CustomizingHeadersList()->count(), 1);
    Save(*g.CustomizingForm(), "main_window_column_selector_hidden.png");
    window->pukColumnSelectorClick();
}

}  // namespace
}  // namespace app
