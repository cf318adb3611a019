#pragma once

#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/ui/clock.h"
#include "tests/grid/grid_fixture.h"

namespace grid::testing {

// A banded grid that keeps its selected rows itself, as the data-aware grid does.
class SelectingGrid : public TCustomgxTreeListControl {
  public:
    std::vector<TgxTreeListNode*> selected;
    std::vector<std::string> posted;  // "row:column:text" for each posted edit

    int GetSelectedCount() const override { return static_cast<int>(selected.size()); }
    TgxTreeListNode* GetSelectedItem(int i) const override {
        return selected[static_cast<std::size_t>(i)];
    }
    bool IsNodeRecordSelected(const TgxTreeListNode* n) const override {
        return std::find(selected.begin(), selected.end(), n) != selected.end();
    }
    void SelectNode(TgxTreeListNode* n, bool value) override {
        auto it = std::find(selected.begin(), selected.end(), n);
        if (value && it == selected.end() && DoCanNodeSelected(n))
            selected.push_back(n);
        else if (!value && it != selected.end())
            selected.erase(it);
        TCustomgxTreeListControl::SelectNode(n, value);
    }
    void ClearSelection() override {
        selected.clear();
        TCustomgxTreeListControl::ClearSelection();
    }
    TgxTreeListNode* GetSelectionAnchor() const override { return StoredSelectionAnchor(); }
    void DoEditedText(TgxTreeListNode* node, int column, const std::string& text) override {
        posted.push_back(std::to_string(GetAbsoluteIndex(node)) + ":" + std::to_string(column) +
                         ":" + text);
        SetNodeString(node, column, text);
        TCustomgxTreeListControl::DoEditedText(node, column, text);
    }
    // The editor starts with the cell's text, as the data-aware grid's does.
    void GetEditText(std::string& text) override {
        text = GetCellText(GetFocusedNode(), GetVisibleColumnIndex(GetFocusedColumn()));
    }
    // Display indexes of the selected rows, in display order.
    std::vector<int> SelectedRows() const {
        std::vector<int> rows;
        for (const TgxTreeListNode* n : selected)
            rows.push_back(GetAbsoluteIndex(n));
        std::sort(rows.begin(), rows.end());
        return rows;
    }
};

// A grid of flat rows in three columns, fixed metrics, no frame and no scroll bars.
struct InteractionGrid {
    ui::FixedTextMetrics metrics{7, 13};
    SelectingGrid grid;

    InteractionGrid(int rows, int width = 400, int height = 200) {
        ShowPlain(grid, metrics, width, height);
        for (const char* caption : {"Name", "Mail", "City"}) {
            TgxTreeListColumn* c = grid.CreateColumn();
            c->SetCaption(caption);
            c->SetWidth(100);
        }
        grid.SetOptions(static_cast<TLOptions>((grid.Options() & ~tloRowSelect) | tloEditing));
        grid.SetGridMode(true);
        grid.BeginUpdate();
        for (int i = 0; i < rows; ++i) {
            TgxTreeListNode* n = grid.Add();
            n->SetStrings(0, "Row " + std::to_string(i));
            n->SetStrings(1, "m" + std::to_string(i));
            n->SetStrings(2, "c" + std::to_string(i));
        }
        grid.EndUpdate();
        grid.SetFocusedNodeColumn(grid.Items(0), 0, true);
    }

    TDrawInfo Info() const {
        TDrawInfo info;
        grid.CalcDrawInfo(info);
        return info;
    }
    THeaderCellInfo Header(int column) const {
        TDrawInfo info = Info();
        for (const THeaderCellInfo& hc : info.header_cells)
            if (hc.column == column)
                return hc;
        return {};
    }
    // The middle of a cell of a displayed row.
    QPoint Cell(int screen_row, int column) const {
        THeaderCellInfo hc = Header(column);
        TDrawInfo info = Info();
        int h = grid.DefaultRowHeight();
        return {(hc.rect.left + hc.rect.right) / 2, info.node_area.top + screen_row * h + h / 2};
    }
    QPoint HeaderPoint(int column, int dx = 0) const {
        THeaderCellInfo hc = Header(column);
        return {(hc.rect.left + hc.rect.right) / 2 + dx, (hc.rect.top + hc.rect.bottom) / 2};
    }
    QWidget* vp() { return grid.viewport(); }
    int Focused() const { return grid.GetFocusedAbsoluteIndex(); }
    int Column() const { return grid.GetFocusedColumn(); }
    void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QTest::keyClick(&grid, key, mods);
    }
    // A press, a move in steps and a release with the left button.
    void Drag(QPoint from, QPoint to, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        QTest::mousePress(vp(), Qt::LeftButton, mods, from);
        Move(from, to, Qt::LeftButton);
        QTest::mouseRelease(vp(), Qt::LeftButton, mods, to);
    }
    void Move(QPoint from, QPoint to, Qt::MouseButtons buttons) {
        for (int i = 1; i <= 4; ++i) {
            QPoint p = from + (to - from) * i / 4;
            QMouseEvent move(QEvent::MouseMove, p, vp()->mapToGlobal(p), Qt::NoButton, buttons,
                             Qt::NoModifier);
            QCoreApplication::sendEvent(vp(), &move);
        }
    }
};

// Installs a manual clock for one test, so timers fire only when the test moves time.
struct ManualClock {
    ui::ManualUiClock* clock;
    std::unique_ptr<ui::UiClock> previous;
    ManualClock() {
        auto manual = std::make_unique<ui::ManualUiClock>();
        clock = manual.get();
        previous = ui::SetClock(std::move(manual));
    }
    ~ManualClock() { ui::SetClock(std::move(previous)); }
};

}  // namespace grid::testing
