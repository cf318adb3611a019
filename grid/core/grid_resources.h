#pragma once

// Process-wide resources of the tree list, made once on first use and released when the
// last user is gone: the grid cursors (drawn in code), the customizing form's captions and
// the column kinds registered for streaming.

#include <QCursor>

#include <string>

namespace grid {

inline constexpr int crDelete = -1124;
inline constexpr int crFullScroll = -1131;
inline constexpr int crHorScroll = -1132;
inline constexpr int crVerScroll = -1133;
inline constexpr int crUpScroll = -1134;
inline constexpr int crRightScroll = -1135;
inline constexpr int crDownScroll = -1136;
inline constexpr int crLeftScroll = -1137;

// Counted set-up and shut-down; the first set-up makes the cursors, the last shut-down
// destroys them. A shut-down without a set-up does nothing.
void InitTreeListUnit();
void DoneTreeListUnit();
// How often the cursors have been made since the program started.
int TreeListCursorLoads();
// One of the cursors above; the arrow for an unknown id. Outside any set-up the cursor is
// made for this call alone, so nothing outlives the last user.
QCursor GridCursor(int id);

// Holds the unit set up for as long as it lives: every tree list has one, so the cursors
// exist while a tree list does and are released with the last one.
class TreeListUnitUser {
  public:
    TreeListUnitUser() { InitTreeListUnit(); }
    ~TreeListUnitUser() { DoneTreeListUnit(); }
    TreeListUnitUser(const TreeListUnitUser&) = delete;
    TreeListUnitUser& operator=(const TreeListUnitUser&) = delete;
};

// Captions of the customizing form.
std::string CustomizeCaption();
std::string BandsPageCaption();
std::string HeadersPageCaption();

}  // namespace grid
