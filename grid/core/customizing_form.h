#pragma once

// The customizing form's list boxes: owner-drawn lists of the hidden bands and headers of
// a tree list. An item dragged out of a list onto the grid shows it again; the grid hands
// a dragged band or header over to the form to hide it.

#include <QListWidget>
#include <QPointer>

#include "grid/core/tree_list.h"

namespace grid {

class TgxCustomizingListBox : public QListWidget {
  public:
    explicit TgxCustomizingListBox(QWidget* parent = nullptr);
    ~TgxCustomizingListBox() override;

    bool DragPending() const { return drag_pending_; }
    int DragItem() const { return drag_item_; }
    bool Flat() const { return flat_; }
    void SetFlat(bool flat);
    TCustomgxTreeList* TreeList() const { return tree_; }
    void SetTreeList(TCustomgxTreeList* tree);
    // The band or column index an item stands for.
    int ItemObject(int row) const;

    virtual void StartDrag(int) {}
    virtual void CancelDrag();
    virtual void DragMove(QPoint) {}
    virtual void EndDrag(bool) {}
    virtual void Fill() {}
    // Refills the items, keeping the current and top items where they can stay.
    void Refresh();
    int ItemHeight() const;

  protected:
    void AddItem(const std::string& caption, int object);
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    bool event(QEvent* e) override;
    // Client coordinates of the tree list for a screen point.
    ui::Point TreePoint(QPoint global) const;

  private:
    void SortByCaption();

    bool drag_pending_ = false;
    int drag_item_ = -1;
    bool flat_ = false;
    QPoint press_;
    QPointer<TCustomgxTreeList> tree_;
};

class TgxBandsListBox : public TgxCustomizingListBox {
  public:
    using TgxCustomizingListBox::TgxCustomizingListBox;
    void Fill() override;
    void StartDrag(int item) override;
    void DragMove(QPoint global) override;
    void EndDrag(bool dropped) override;
};

class TgxHeadersListBox : public TgxCustomizingListBox {
  public:
    using TgxCustomizingListBox::TgxCustomizingListBox;
    void Fill() override;
    void StartDrag(int item) override;
    void DragMove(QPoint global) override;
    void EndDrag(bool dropped) override;
};

}  // namespace grid
