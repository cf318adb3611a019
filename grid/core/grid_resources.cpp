#include "grid/core/grid_resources.h"

#include <QBitmap>
#include <QPainter>
#include <QPixmap>
#include <QPolygon>

#include <functional>
#include <map>

namespace grid {
namespace {

struct UnitState {
    int users = 0;
    int loads = 0;
    std::map<int, QCursor> cursors;
};

UnitState& State() {
    static UnitState state;
    return state;
}

// A 32 x 32 cursor: black shapes with a white outline on a transparent ground.
QCursor DrawCursor(const std::function<void(QPainter&)>& draw, int hot_x, int hot_y) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(Qt::black);
    draw(p);
    p.end();
    return QCursor(pixmap, hot_x, hot_y);
}

// A small arrow head pointing away from the centre (16, 16) in direction (dx, dy).
void Arrow(QPainter& p, int dx, int dy) {
    int cx = 16 + dx * 9;
    int cy = 16 + dy * 9;
    QPolygon head;
    if (dx != 0)
        head << QPoint(cx + dx * 4, cy) << QPoint(cx, cy - 4) << QPoint(cx, cy + 4);
    else
        head << QPoint(cx, cy + dy * 4) << QPoint(cx - 4, cy) << QPoint(cx + 4, cy);
    p.drawPolygon(head);
}

void MakeCursors(UnitState& s) {
    ++s.loads;
    s.cursors[crDelete] = DrawCursor(
        [](QPainter& p) {
            // An arrow with a cross beside it: the header goes away when dropped here.
            QPolygon arrow;
            arrow << QPoint(1, 1) << QPoint(1, 16) << QPoint(5, 12) << QPoint(8, 18)
                  << QPoint(10, 17) << QPoint(7, 11) << QPoint(12, 11);
            p.drawPolygon(arrow);
            p.setPen(QPen(Qt::black, 3));
            p.drawLine(16, 16, 26, 26);
            p.drawLine(26, 16, 16, 26);
        },
        1, 1);
    auto dot = [](QPainter& p) { p.drawEllipse(QPoint(16, 16), 2, 2); };
    s.cursors[crFullScroll] = DrawCursor(
        [&](QPainter& p) {
            dot(p);
            Arrow(p, -1, 0);
            Arrow(p, 1, 0);
            Arrow(p, 0, -1);
            Arrow(p, 0, 1);
        },
        16, 16);
    s.cursors[crHorScroll] = DrawCursor(
        [&](QPainter& p) {
            dot(p);
            Arrow(p, -1, 0);
            Arrow(p, 1, 0);
        },
        16, 16);
    s.cursors[crVerScroll] = DrawCursor(
        [&](QPainter& p) {
            dot(p);
            Arrow(p, 0, -1);
            Arrow(p, 0, 1);
        },
        16, 16);
    s.cursors[crUpScroll] = DrawCursor(
        [&](QPainter& p) {
            dot(p);
            Arrow(p, 0, -1);
        },
        16, 16);
    s.cursors[crRightScroll] = DrawCursor(
        [&](QPainter& p) {
            dot(p);
            Arrow(p, 1, 0);
        },
        16, 16);
    s.cursors[crDownScroll] = DrawCursor(
        [&](QPainter& p) {
            dot(p);
            Arrow(p, 0, 1);
        },
        16, 16);
    s.cursors[crLeftScroll] = DrawCursor(
        [&](QPainter& p) {
            dot(p);
            Arrow(p, -1, 0);
        },
        16, 16);
}

}  // namespace

void InitTreeListUnit() {
    UnitState& s = State();
    if (s.users++ == 0)
        MakeCursors(s);
}

void DoneTreeListUnit() {
    UnitState& s = State();
    if (s.users == 0)
        return;
    if (--s.users == 0)
        s.cursors.clear();
}

int TreeListCursorLoads() {
    return State().loads;
}

QCursor GridCursor(int id) {
    UnitState& s = State();
    UnitState one_off;
    UnitState& from = s.users > 0 ? s : one_off;
    if (from.cursors.empty())
        MakeCursors(from);
    auto it = from.cursors.find(id);
    return it != from.cursors.end() ? it->second : QCursor(Qt::ArrowCursor);
}

std::string CustomizeCaption() {
    return "Customize";
}
std::string BandsPageCaption() {
    return "    Bands    ";
}
std::string HeadersPageCaption() {
    return "   Headers   ";
}

}  // namespace grid
