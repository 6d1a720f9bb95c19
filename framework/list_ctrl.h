// A report-style list control: columns, rows with text, an image and item
// data, and a notification for every row whose state changes.
#pragma once

#include <QTableView>
#include <string>

#include <commctrl.h>

#include "list_ctrl_model.h"

class CImageList;

class CListCtrl : public QTableView {
    Q_OBJECT
public:
    explicit CListCtrl(QWidget* parent = nullptr);
    ~CListCtrl() override;

    // Window styles (LVS_*, WS_BORDER) and extended window styles.
    void ApplyStyles(LONG style, DWORD exStyle);

    int InsertColumn(int column, const char* heading, int format, int width);
    int GetColumnCount() const;
    // Sets exactly these extended list styles (LVS_EX_*); returns the old ones.
    DWORD SetExtendedStyle(DWORD style);
    DWORD GetExtendedStyle() const { return m_extendedStyle; }
    CImageList* SetImageList(CImageList* list, int type);
    CImageList* GetImageList(int type) const;

    BOOL DeleteAllItems();
    // Inserts a row (LVIF_TEXT, LVIF_IMAGE, LVIF_PARAM); its index, or -1.
    int InsertItem(const LVITEMA* item);
    BOOL SetItemText(int item, int subItem, const char* text);
    BOOL GetItem(LVITEMA* item) const;
    int GetItemCount() const;
    std::string GetItemText(int item, int subItem) const;

    // WM_SETREDRAW: while off, rows change without the view repainting.
    void SetRedraw(BOOL redraw);

    // Bringing a row into view scrolls up or down only: a click in a column
    // that is partly hidden leaves the columns where they are.
    void scrollTo(const QModelIndex& index, ScrollHint hint = EnsureVisible) override;

protected:
    // The list scrolls by whole rows and its top row is always whole, at
    // the end of the range too, where Qt would line the last row up with
    // the bottom instead.
    void scrollContentsBy(int dx, int dy) override;
    void updateGeometries() override;

protected:
    // The control's notifications, reflected to the view that owns it.
    virtual void OnReflectedNotify(NMHDR* header, LRESULT* result);
    // Gaining the focus changes no row's state: the row Qt makes current
    // for the keyboard is told to nobody.
    void focusInEvent(QFocusEvent* event) override;
    // Home and End choose the first and the last row; Left and Right scroll
    // the columns, since rows are chosen whole.
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;
    // Grid lines cover the whole client area, below the last row too; the
    // focus rectangle surrounds the focused row, not one of its cells.
    void paintEvent(QPaintEvent* event) override;
    // A row is chosen where the button goes down: moving with it held
    // chooses nothing on the way, and releasing over another row does not
    // choose that one.
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override;
    // Tab is no key of the list's: it neither moves the focus on nor
    // chooses a row.
    bool event(QEvent* event) override;

private:
    void NotifyItemChanged(int row, UINT newState, UINT oldState);
    void PaintRowFocus();
    void KeepTopRowWhole();
    void OnSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void OnCurrentChanged(const QModelIndex& current, const QModelIndex& previous);

    CListCtrlModel m_model;
    CImageList* m_smallImages = nullptr;
    DWORD m_extendedStyle = 0;
    bool m_focusArriving = false;
    QPersistentModelIndex m_pressed;
};
