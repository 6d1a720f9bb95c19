// A tree control: items with text and images, expansion, the caret item
// and a notification when the selection moves.
#pragma once

#include <QTreeWidget>

#include <commctrl.h>

class CImageList;

class CTreeCtrl : public QTreeWidget {
    Q_OBJECT
public:
    explicit CTreeCtrl(QWidget* parent = nullptr);

    // Window styles (TVS_*, WS_BORDER).
    void ApplyStyles(LONG style, DWORD exStyle);
    DWORD GetStyle() const { return m_style; }

    CImageList* SetImageList(CImageList* list, int type);
    HTREEITEM InsertItem(const TVINSERTSTRUCTA* insert);
    BOOL Expand(HTREEITEM item, UINT code);
    HTREEITEM GetNextItem(HTREEITEM item, UINT code) const;
    HTREEITEM GetSelectedItem() const { return GetNextItem(nullptr, TVGN_CARET); }
    HTREEITEM GetRootItem() const { return GetNextItem(nullptr, TVGN_ROOT); }
    BOOL SelectItem(HTREEITEM item);

    static QTreeWidgetItem* ItemOf(HTREEITEM item) {
        return reinterpret_cast<QTreeWidgetItem*>(item);
    }
    static HTREEITEM HandleOf(QTreeWidgetItem* item) { return reinterpret_cast<HTREEITEM>(item); }

protected:
    // A tree's selection moves from item to item but never goes away: a
    // click that would deselect (Ctrl on the selected item) keeps it.
    // An item is chosen where the button goes down, never on the way of a
    // move with it held nor where it comes up.
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    // Tab is no key of the tree's: it neither moves the focus on nor
    // chooses an item.
    bool event(QEvent* event) override;
    // The control's notifications, reflected to the view that owns it.
    virtual void OnReflectedNotify(NMHDR* header, LRESULT* result);
    void drawBranches(QPainter* painter, const QRect& rect,
                      const QModelIndex& index) const override;

private:
    void OnCurrentItemChanged(QTreeWidgetItem* current, QTreeWidgetItem* previous);

    CImageList* m_images = nullptr;
    DWORD m_style = 0;
    QPersistentModelIndex m_pressed;
};
