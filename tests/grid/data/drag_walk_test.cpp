// A user rearranging the list grid with the mouse: headers and bands dragged between bands,
// onto the customizing form and back, dropped on edges, cancelled with Escape, sized to
// their limits; after every step the layout holds each column once and saves and loads
// back as it is.

#include <gtest/gtest.h>

#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QTabWidget>
#include <QTest>

#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "tests/grid/data/db_grid_fixture.h"

namespace grid::testing {
namespace {

struct WalkGrid : GridHarness {
    MemList list{8};
    std::vector<TgxDBTreeListColumn*> columns;

    WalkGrid() : GridHarness(640, 260) {
        grid->move(0, 0);
        grid->SetShowBands(true);
        grid->Bands().Add();
        grid->Bands().Add();
        grid->Bands().Items(0)->SetCaption("Who");
        grid->Bands().Items(1)->SetCaption("Where");
        grid->Bands().Items(2)->SetCaption("Stats");
        int n = 0;
        for (const char* field : {"Index", "Item", "Category", "Comments", "Bounces", ""}) {
            TgxDBTreeListColumn* c = Column(field);
            c->SetName("col" + std::to_string(n));
            c->SetCaption(*field != 0 ? field : "Note");
            c->SetWidth(70);
            c->SetBandIndex(n / 2);
            columns.push_back(c);
            ++n;
        }
        grid->SetKeyField("Index");
        grid->SetDataSource(list.source.get());
    }

    QWidget* vp() { return grid->viewport(); }
    TDrawInfo Info() const {
        TDrawInfo info;
        grid->CalcDrawInfo(info);
        return info;
    }

    // "band:row:position=column" for every header place, bands in order.
    std::string Layout() const {
        std::ostringstream out;
        for (int b = 0; b < grid->GetBandCount(); ++b) {
            out << grid->GetBandText(b) << "[";
            for (int r = 0; r < grid->GetHeaderRowCount(b); ++r) {
                for (int p = 0; p < grid->GetHeaderColCount(b, r); ++p)
                    out << grid->GetHeaderText(grid->GetHeaderAbsoluteIndex(b, r, p)) << ",";
                out << ";";
            }
            out << "]";
        }
        return out.str();
    }

    // Each column once in the layout when it is shown, never when it is hidden; the form's
    // list holds the hidden ones.
    void ExpectWhole(const std::string& step) {
        std::map<int, int> seen;
        for (int b = 0; b < grid->GetBandCount(); ++b)
            for (int r = 0; r < grid->GetHeaderRowCount(b); ++r)
                for (int p = 0; p < grid->GetHeaderColCount(b, r); ++p)
                    ++seen[grid->GetHeaderAbsoluteIndex(b, r, p)];
        for (TgxDBTreeListColumn* c : columns) {
            const int i = c->GetIndex();
            const bool shown = grid->IsColumnVisible(i);
            EXPECT_EQ(seen[i], shown ? 1 : 0) << step << " " << c->Caption() << " " << Layout();
        }
        EXPECT_EQ(grid->State(), tsNormal) << step;
        for (TgxDBTreeListColumn* c : columns) {
            EXPECT_GE(c->Width(), c->MinWidth()) << step << " " << c->Caption();
            EXPECT_LE(c->Width(), 32767) << step << " " << c->Caption();
        }
        for (int b = 0; b < grid->Bands().Count(); ++b) {
            EXPECT_GE(grid->Bands().Items(b)->Width(), 0) << step;
            EXPECT_LE(grid->Bands().Items(b)->Width(), 32767) << step;
        }
        if (QWidget* image = grid->DragImageWindow()) {
            EXPECT_FALSE(image->isVisible()) << step;
        }
        if (QWidget* arrows = grid->DragArrowsWindow()) {
            EXPECT_FALSE(arrows->isVisible()) << step;
        }
        if (QListWidget* headers = grid->CustomizingHeadersList()) {
            std::set<std::string> listed;
            for (int i = 0; i < headers->count(); ++i)
                listed.insert(headers->item(i)->text().toStdString());
            for (TgxDBTreeListColumn* c : columns) {
                if (grid->IsColumnVisible(c->GetIndex())) {
                    EXPECT_EQ(listed.count(c->Caption()), 0u) << step << " " << c->Caption();
                }
            }
        }
    }

    void Send(QWidget* w, QEvent::Type type, QPoint global, Qt::MouseButton button,
              Qt::MouseButtons buttons) {
        QMouseEvent e(type, w->mapFromGlobal(global), global, button, buttons, Qt::NoModifier);
        QCoreApplication::sendEvent(w, &e);
    }
    // Press in `from`'s widget, move in steps to a screen point, then release or Escape.
    void Drag(QWidget* w, QPoint from_global, QPoint to_global, bool escape) {
        Send(w, QEvent::MouseButtonPress, from_global, Qt::LeftButton, Qt::LeftButton);
        for (int i = 1; i <= 6; ++i)
            Send(w, QEvent::MouseMove, from_global + (to_global - from_global) * i / 6,
                 Qt::NoButton, Qt::LeftButton);
        if (escape) {
            QTest::keyClick(w, Qt::Key_Escape);
            QTest::keyClick(grid.get(), Qt::Key_Escape);
        }
        Send(w, QEvent::MouseButtonRelease, to_global, Qt::LeftButton, Qt::NoButton);
    }
    QPoint G(QPoint client) { return vp()->mapToGlobal(client); }
};

// Places a drag may end at: headers' halves, bands' halves, the empty panel, the form, the
// grid's edges and beyond them.
QPoint Target(WalkGrid& g, std::mt19937& rnd, std::string& what) {
    const TDrawInfo info = g.Info();
    const int kind = static_cast<int>(rnd() % 7);
    auto pick = [&](int n) { return static_cast<int>(rnd() % static_cast<unsigned>(n)); };
    if (kind == 0 && !info.header_cells.empty()) {
        const THeaderCellInfo& hc =
            info.header_cells[pick(static_cast<int>(info.header_cells.size()))];
        const bool left = pick(2) == 0;
        what = "header " + std::to_string(hc.column) + (left ? " left" : " right");
        return g.G(
            {left ? hc.rect.left + 3 : hc.rect.right - 3, (hc.rect.top + hc.rect.bottom) / 2});
    }
    if (kind == 1 && !info.band_cells.empty()) {
        const TBandCellInfo& bc = info.band_cells[pick(static_cast<int>(info.band_cells.size()))];
        const bool left = pick(2) == 0;
        what = "band " + std::to_string(bc.band_index) + (left ? " left" : " right");
        return g.G(
            {left ? bc.rect.left + 3 : bc.rect.right - 3, (bc.rect.top + bc.rect.bottom) / 2});
    }
    if (kind == 2 && g.grid->CustomizingForm() != nullptr) {
        what = "form";
        QWidget* form = g.grid->CustomizingForm();
        return form->mapToGlobal(form->rect().center());
    }
    if (kind == 3) {
        what = "header panel right";
        return g.G({g.vp()->width() - 2, (info.header_panel.top + info.header_panel.bottom) / 2});
    }
    if (kind == 4) {
        what = "left edge";
        return g.G({0, pick(2) == 0 ? info.header_panel.top + 1 : info.band_panel.top + 1});
    }
    if (kind == 5) {
        what = "outside";
        return g.G({g.vp()->width() + 40, -30});
    }
    what = "rows";
    return g.G({pick(g.vp()->width()), g.vp()->height() - 5});
}

TEST(DragWalk, EveryColumnStaysOnceThroughDragsDropsAndCancels) {
    std::vector<unsigned> seeds = {1u, 2u, 3u, 4u};
    if (const char* many = std::getenv("DRAG_WALK_SEEDS")) {
        seeds.clear();
        for (unsigned s = 1; s <= static_cast<unsigned>(std::atoi(many)); ++s)
            seeds.push_back(s);
    }
    for (unsigned seed : seeds) {
        SCOPED_TRACE(seed);
        WalkGrid g;
        std::mt19937 rnd(seed);
        std::vector<std::string> steps;
        const auto failures = [] {
            return ::testing::UnitTest::GetInstance()
                ->current_test_info()
                ->result()
                ->total_part_count();
        };
        const int failures_before = failures();
        for (int step = 0; step < 120; ++step) {
            const int op = static_cast<int>(rnd() % 10);
            const bool escape = rnd() % 5 == 0;
            std::string what;
            const TDrawInfo info = g.Info();
            std::string done;
            if (op == 0) {
                if (g.grid->IsCustomizing())
                    g.grid->CloseColumnsCustomizing();
                else
                    g.grid->ShowColumnsCustomizing();
                done = "toggle form";
            } else if (op <= 3 && !info.header_cells.empty()) {
                const THeaderCellInfo& hc = info.header_cells[rnd() % info.header_cells.size()];
                QPoint from =
                    g.G({(hc.rect.left + hc.rect.right) / 2, (hc.rect.top + hc.rect.bottom) / 2});
                QPoint to = Target(g, rnd, what);
                g.Drag(g.vp(), from, to, escape);
                done = "header " + std::to_string(hc.column) + " to " + what;
            } else if (op <= 5 && !info.band_cells.empty()) {
                const TBandCellInfo& bc = info.band_cells[rnd() % info.band_cells.size()];
                QPoint from =
                    g.G({(bc.rect.left + bc.rect.right) / 2, (bc.rect.top + bc.rect.bottom) / 2});
                QPoint to = Target(g, rnd, what);
                g.Drag(g.vp(), from, to, escape);
                done = "band " + std::to_string(bc.band_index) + " to " + what;
            } else if (op <= 7 && g.grid->CustomizingForm() != nullptr) {
                QListWidget* list = rnd() % 2 == 0 ? g.grid->CustomizingHeadersList()
                                                   : g.grid->CustomizingBandsList();
                if (list == nullptr || list->count() == 0 || !list->isVisible())
                    continue;
                const int row = static_cast<int>(rnd() % static_cast<unsigned>(list->count()));
                list->setCurrentRow(row);
                QPoint from =
                    list->viewport()->mapToGlobal(list->visualItemRect(list->item(row)).center());
                const std::string text = list->item(row)->text().toStdString();
                QPoint to = Target(g, rnd, what);
                g.Drag(list->viewport(), from, to, escape);
                done = "list item " + text + " to " + what;
            } else if (op == 8 && !info.band_cells.empty()) {
                const TBandCellInfo& bc = info.band_cells[rnd() % info.band_cells.size()];
                const int y = bc.rect.top + 4;
                const int x = rnd() % 2 == 0 ? -50 : g.vp()->width() + 5000;
                g.Drag(g.vp(), g.G({bc.rect.right - 1, y}), g.G({x, y}), escape);
                done = "size band " + std::to_string(bc.band_index) + " to " + std::to_string(x);
            } else if (!info.header_cells.empty()) {
                const THeaderCellInfo& hc = info.header_cells[rnd() % info.header_cells.size()];
                const int y = (hc.rect.top + hc.rect.bottom) / 2;
                const int x = rnd() % 2 == 0 ? -50 : g.vp()->width() + 200;
                g.Drag(g.vp(), g.G({hc.rect.right - 1, y}), g.G({x, y}), escape);
                done = "size header " + std::to_string(hc.column) + " to " + std::to_string(x);
            } else {
                continue;
            }
            if (escape)
                done += " (Escape)";
            steps.push_back(done);

            if (std::getenv("DRAG_WALK_TRACE")) {
                std::string w;
                for (auto* c : g.columns)
                    w += std::to_string(c->Width()) + (c->Visible() ? "" : "h") + " ";
                for (int b = 0; b < 3; ++b)
                    w += "B" + std::to_string(g.grid->Bands().Items(b)->Width()) +
                         (g.grid->Bands().Items(b)->Visible() ? "" : "h") + " ";
                std::printf("%d %s => %s | %s\n", step, done.c_str(), g.Layout().c_str(),
                            w.c_str());
            }
            g.ExpectWhole(std::to_string(step) + ": " + done);
            if (failures() != failures_before) {
                for (const std::string& s : steps)
                    ADD_FAILURE() << s;
                return;
            }
        }
        // What the user arranged loads back into a new grid as it was saved.
        TempFolder folder;
        const std::string ini = (folder.path / "layout.ini").string();
        g.grid->CloseColumnsCustomizing();
        g.grid->SaveToIniFile(ini);
        WalkGrid again;
        again.grid->LoadFromIniFile(ini);
        // A layout that shows no column loads with the bands and places it came from.
        if (g.grid->GetVisibleColumnCount() > 0) {
            EXPECT_EQ(again.Layout(), g.Layout());
        }
        for (std::size_t i = 0; i < g.columns.size(); ++i) {
            EXPECT_EQ(again.columns[i]->Visible(), g.columns[i]->Visible()) << i;
            EXPECT_EQ(again.columns[i]->Width(), g.columns[i]->Width()) << i;
        }
        again.ExpectWhole("loaded");
    }
}

// Dragging the last shown band onto the form hides every column; the band panel keeps its
// height without any width, and a band dragged from the list back across it shows again.
TEST(DragWalk, ABandDroppedOnTheEmptyBandPanelShowsAgain) {
    WalkGrid g;
    g.grid->ShowColumnsCustomizing();
    QWidget* form = g.grid->CustomizingForm();
    const QPoint on_form = form->mapToGlobal(form->rect().center());
    while (g.grid->GetBandCount() > 0) {
        const TBandCellInfo bc = g.Info().band_cells.front();
        g.Drag(g.vp(), g.G({(bc.rect.left + bc.rect.right) / 2, bc.rect.top + 4}), on_form, false);
    }
    EXPECT_EQ(g.Layout(), "");
    g.grid->grab().save(QString(CORVANE_TEST_OUTPUT_DIR) + "/drag_walk_no_band.png");
    QListWidget* bands = g.grid->CustomizingBandsList();
    ASSERT_NE(bands, nullptr);
    form->findChild<QTabWidget*>("PageControl")->setCurrentIndex(0);
    ASSERT_EQ(bands->count(), 3);
    const TDrawInfo info = g.Info();
    const QPoint panel = g.G({g.vp()->width() / 2, info.band_panel.top + 4});
    for (int i = 0; i < bands->count(); ++i) {
        if (bands->item(i)->text() != "Where")
            continue;
        bands->setCurrentRow(i);
        const QPoint item =
            bands->viewport()->mapToGlobal(bands->visualItemRect(bands->item(i)).center());
        g.Send(bands->viewport(), QEvent::MouseButtonPress, item, Qt::LeftButton, Qt::LeftButton);
        for (int step = 1; step <= 6; ++step)
            g.Send(bands->viewport(), QEvent::MouseMove, item + (panel - item) * step / 6,
                   Qt::NoButton, Qt::LeftButton);
        ASSERT_EQ(g.grid->State(), tsBandDragging);
        // Over the panel the drop is taken: not the cursor that says the band will be lost.
        EXPECT_FALSE(g.grid->DragDeleteCursor());
        g.Send(bands->viewport(), QEvent::MouseButtonRelease, panel, Qt::LeftButton, Qt::NoButton);
        break;
    }
    EXPECT_EQ(g.Layout(), "Where[Category,Comments,;]");
    EXPECT_EQ(bands->count(), 2);
    g.ExpectWhole("shown again");
    g.grid->grab().save(QString(CORVANE_TEST_OUTPUT_DIR) + "/drag_walk_band_shown_again.png");
}

// What a drag paints comes off again when Escape cancels it: the grid looks as before the
// press. Pictures of the grid with the floating drag image and arrows laid over it are
// saved for a person to look at.
TEST(DragWalk, EscapeLeavesNothingOfADragPainted) {
    struct Drag {
        const char* name;
        std::function<QPoint(WalkGrid&)> from;
        std::function<QPoint(WalkGrid&)> to;
    };
    const auto header = [](int index, int dx, int dy = 0) {
        return [index, dx, dy](WalkGrid& g) {
            const THeaderCellInfo hc = g.Info().header_cells[static_cast<std::size_t>(index)];
            return QPoint((hc.rect.left + hc.rect.right) / 2 + dx,
                          (hc.rect.top + hc.rect.bottom) / 2 + dy);
        };
    };
    const auto header_edge = [](int index, int dx) {
        return [index, dx](WalkGrid& g) {
            const THeaderCellInfo hc = g.Info().header_cells[static_cast<std::size_t>(index)];
            return QPoint(hc.rect.right - 1 + dx, (hc.rect.top + hc.rect.bottom) / 2);
        };
    };
    const auto band = [](int index, int dx) {
        return [index, dx](WalkGrid& g) {
            const TBandCellInfo bc = g.Info().band_cells[static_cast<std::size_t>(index)];
            return QPoint((bc.rect.left + bc.rect.right) / 2 + dx, bc.rect.top + 4);
        };
    };
    const auto band_edge = [](int index, int dx) {
        return [index, dx](WalkGrid& g) {
            const TBandCellInfo bc = g.Info().band_cells[static_cast<std::size_t>(index)];
            return QPoint(bc.rect.right - 1 + dx, bc.rect.top + 4);
        };
    };
    const std::vector<Drag> drags = {
        {"header_onto_header", header(0, 0), header(3, 20)},
        {"header_off_the_panel", header(1, 0), header(2, 0, 120)},
        {"header_to_the_left_edge", header(4, 0),
         [](WalkGrid& g) {
             return QPoint(1, (g.Info().header_panel.top + g.Info().header_panel.bottom) / 2);
         }},
        {"band_onto_band", band(0, 0), band(2, 30)},
        {"band_past_the_right_edge", band(1, 0), band(2, 600)},
        {"column_sizing", header_edge(1, 0), header_edge(1, 90)},
        {"column_sizing_below_zero", header_edge(2, 0), header_edge(2, -500)},
        {"band_sizing", band_edge(0, 0), band_edge(0, 120)},
    };
    for (const Drag& d : drags) {
        SCOPED_TRACE(d.name);
        WalkGrid g;
        g.grid->SetOptions(g.grid->Options() & ~egoRowSelect);
        const QImage before = g.grid->grab().toImage();
        const std::string layout = g.Layout();
        const QPoint from = d.from(g), to = d.to(g);
        g.Send(g.vp(), QEvent::MouseButtonPress, g.G(from), Qt::LeftButton, Qt::LeftButton);
        for (int step = 1; step <= 6; ++step)
            g.Send(g.vp(), QEvent::MouseMove, g.G(from + (to - from) * step / 6), Qt::NoButton,
                   Qt::LeftButton);
        EXPECT_NE(g.grid->State(), tsNormal);
        QImage during = g.grid->grab().toImage().convertToFormat(QImage::Format_ARGB32);
        {
            QPainter p(&during);
            for (QWidget* w : {g.grid->DragImageWindow(), g.grid->DragArrowsWindow()}) {
                if (w != nullptr && w->isVisible())
                    p.drawPixmap(g.grid->mapFromGlobal(w->pos()), w->grab());
            }
        }
        during.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/drag_walk_" + d.name + ".png");
        QTest::keyClick(g.grid.get(), Qt::Key_Escape);
        EXPECT_EQ(g.grid->State(), tsNormal);
        g.Send(g.vp(), QEvent::MouseButtonRelease, g.G(to), Qt::LeftButton, Qt::NoButton);
        EXPECT_EQ(g.Layout(), layout);
        g.ExpectWhole(d.name);
        const QImage after = g.grid->grab().toImage();
        EXPECT_TRUE(after == before) << "the grid looks other than before the drag";
        if (after != before)
            after.save(QString(CORVANE_TEST_OUTPUT_DIR) + "/drag_walk_" + d.name + "_after.png");
    }
}

// Widening a band rescales its hidden columns with it; a wide column hidden in a narrow
// band grew with every widening (to 55,187 pixels in one walk), past what a stored layout
// loads back. A hidden column now grows no wider than its band.
TEST(DragWalk, WideningABandKeepsItsHiddenColumnsWithinIt) {
    WalkGrid g;
    g.columns[1]->SetWidth(600);
    g.columns[1]->SetVisible(false);
    ASSERT_EQ(g.grid->GetBandDisplayWidth(0), 70);
    for (int round = 0; round < 3; ++round) {
        for (const int x : {g.vp()->width() + 5000, -50}) {
            const TBandCellInfo bc = g.Info().band_cells.front();
            g.Drag(g.vp(), g.G({bc.rect.right - 1, bc.rect.top + 4}), g.G({x, bc.rect.top + 4}),
                   false);
            const int band = g.grid->Bands().Items(0)->Width();
            EXPECT_LE(g.columns[1]->Width(), std::max(band, g.columns[1]->MinWidth()))
                << round << " " << x;
        }
    }
    const TBandCellInfo bc = g.Info().band_cells.front();
    g.Drag(g.vp(), g.G({bc.rect.right - 1, bc.rect.top + 4}),
           g.G({g.vp()->width() + 5000, bc.rect.top + 4}), false);
    EXPECT_GT(g.grid->Bands().Items(0)->Width(), 600);
    EXPECT_LE(g.columns[1]->Width(), g.grid->Bands().Items(0)->Width());
    TempFolder folder;
    const std::string ini = (folder.path / "layout.ini").string();
    g.grid->SaveToIniFile(ini);
    WalkGrid again;
    again.grid->LoadFromIniFile(ini);
    EXPECT_EQ(again.columns[1]->Width(), g.columns[1]->Width());
    EXPECT_EQ(again.Layout(), g.Layout());
}

}  // namespace
}  // namespace grid::testing
