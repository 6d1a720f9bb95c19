// The list and the tree as their users drive them: presses, moves and
// releases of the mouse, keys, and what the controls then show.
#include <QApplication>
#include <QHBoxLayout>
#include <QProxyStyle>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "list_ctrl.h"
#include "tree_ctrl.h"

namespace {

void AddRows(CListCtrl& list, int count) {
    for (int i = 0; i < count; ++i) {
        std::string text = "row " + std::to_string(i);
        LVITEMA item{};
        item.mask = LVIF_TEXT;
        item.iItem = i;
        item.pszText = text.data();
        list.InsertItem(&item);
        list.SetItemText(i, 1, "second");
    }
}

// A list of six columns' worth of width in a window of its own, shown and
// focused, as the window's list is.
struct ShownList {
    ShownList() {
        list.ApplyStyles(static_cast<LONG>(LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS), 0);
        list.InsertColumn(0, "first", LVCFMT_LEFT, 120);
        list.InsertColumn(1, "second", LVCFMT_LEFT, 160);
        list.SetExtendedStyle(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
        list.resize(400, 200);
    }
    void Show() {
        list.show();
        list.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&list));
        list.setFocus(Qt::OtherFocusReason);
    }
    QPoint RowCentre(int row) const {
        return list.visualRect(list.model()->index(row, 1)).center();
    }
    int TopRow() const { return list.rowAt(0); }
    CListCtrl list;
};

void SendMouse(QWidget* target, QEvent::Type type, QPoint at, Qt::MouseButtons held) {
    const Qt::MouseButton button =
        type == QEvent::MouseMove ? Qt::NoButton : Qt::MouseButton::LeftButton;
    QMouseEvent event(type, at, target->mapToGlobal(at), button, held, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// Press at one point, move through the others with the button held, release
// at the last.
void Drag(QWidget* viewport, const std::vector<QPoint>& path) {
    SendMouse(viewport, QEvent::MouseButtonPress, path.front(), Qt::LeftButton);
    for (size_t i = 1; i < path.size(); ++i)
        SendMouse(viewport, QEvent::MouseMove, path[i], Qt::LeftButton);
    SendMouse(viewport, QEvent::MouseButtonRelease, path.back(), Qt::NoButton);
}

int SelectedRow(const CListCtrl& list) {
    const QModelIndexList rows = list.selectionModel()->selectedRows();
    return rows.size() == 1 ? rows.front().row() : -1;
}

// A fill deletes every row and inserts them again: the new rows show from
// the first, whether the fill was batched or not, and the list scrolls by
// whole rows, so the top row is never cut.
TEST(ListControl, AFillShowsTheFirstRowAndScrollingKeepsRowsWhole) {
    ShownList shown;
    AddRows(shown.list, 200);
    shown.Show();
    QTest::keyClick(&shown.list, Qt::Key_End);
    ASSERT_GT(shown.TopRow(), 100);
    EXPECT_EQ(shown.list.rowViewportPosition(shown.TopRow()), 0) << "the top row is cut";

    for (bool batched : {true, false}) {
        QTest::keyClick(&shown.list, Qt::Key_End);
        ASSERT_GT(shown.TopRow(), 100);
        if (batched)
            shown.list.SetRedraw(FALSE);
        shown.list.DeleteAllItems();
        AddRows(shown.list, 200);
        if (batched)
            shown.list.SetRedraw(TRUE);
        QApplication::processEvents();
        EXPECT_EQ(shown.TopRow(), 0) << (batched ? "batched" : "unbatched");
        EXPECT_EQ(shown.list.rowViewportPosition(0), 0);
    }
}

// The row goes where the button goes down: a drag over other rows chooses
// none of them, not even the one where it ends.
TEST(ListControl, ARowIsChosenOnThePressAndNotAlongADrag) {
    ShownList shown;
    AddRows(shown.list, 10);
    shown.Show();
    QSignalSpy changes(shown.list.selectionModel(), &QItemSelectionModel::selectionChanged);
    Drag(shown.list.viewport(), {shown.RowCentre(1), shown.RowCentre(3), shown.RowCentre(5)});
    EXPECT_EQ(SelectedRow(shown.list), 1);
    EXPECT_EQ(shown.list.currentIndex().row(), 1);
    EXPECT_EQ(changes.count(), 1);

    // Pressing on the chosen row and letting go over another leaves it.
    Drag(shown.list.viewport(), {shown.RowCentre(1), shown.RowCentre(4)});
    EXPECT_EQ(SelectedRow(shown.list), 1);
    // A plain click still chooses.
    QTest::mouseClick(shown.list.viewport(), Qt::LeftButton, {}, shown.RowCentre(6));
    EXPECT_EQ(SelectedRow(shown.list), 6);
}

// Records where the focus rectangle is drawn.
class FocusRecorder : public QProxyStyle {
public:
    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        if (element == PE_FrameFocusRect)
            drawn.push_back(option->rect);
        QProxyStyle::drawPrimitive(element, option, painter, widget);
    }
    mutable std::vector<QRect> drawn;
};

// With rows chosen whole, the focus rectangle surrounds the row across
// every column, once.
TEST(ListControl, TheFocusRectangleSurroundsTheWholeRow) {
    ShownList shown;
    auto* recorder = new FocusRecorder();
    recorder->setParent(&shown.list);
    shown.list.setStyle(recorder);
    AddRows(shown.list, 5);
    shown.Show();
    QTest::mouseClick(shown.list.viewport(), Qt::LeftButton, {}, shown.RowCentre(2));
    ASSERT_TRUE(shown.list.hasFocus());
    recorder->drawn.clear();
    shown.list.viewport()->repaint();
    ASSERT_EQ(recorder->drawn.size(), 1u);
    const QRect row(0, shown.list.rowViewportPosition(2), 120 + 160, shown.list.rowHeight(2));
    EXPECT_EQ(recorder->drawn.front(), row);
}

// The tree of the window: a root and two children.
struct ShownTree {
    ShownTree() {
        tree.ApplyStyles(static_cast<LONG>(TVS_HASBUTTONS | TVS_HASLINES | TVS_DISABLEDRAGDROP |
                                           TVS_SHOWSELALWAYS),
                         0);
        root = Insert(TVI_ROOT, "All");
        first = Insert(root, "TCP");
        second = Insert(root, "UDP");
        tree.Expand(root, TVE_EXPAND);
        tree.SelectItem(root);
        tree.resize(200, 300);
    }
    HTREEITEM Insert(HTREEITEM parent, const char* text) {
        TVINSERTSTRUCTA insert{};
        insert.hParent = parent;
        insert.hInsertAfter = TVI_LAST;
        insert.item.mask = TVIF_TEXT;
        insert.item.pszText = const_cast<char*>(text);
        return tree.InsertItem(&insert);
    }
    QPoint Centre(HTREEITEM item) const {
        return tree.visualItemRect(CTreeCtrl::ItemOf(item)).center();
    }
    CTreeCtrl tree;
    HTREEITEM root, first, second;
};

// Pressing on one item and letting go on another chooses the pressed one
// alone, and a drag out of the items leaves it chosen.
TEST(TreeControl, AnItemIsChosenOnThePressAndNotAlongADrag) {
    ShownTree shown;
    shown.tree.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&shown.tree));
    QSignalSpy changes(&shown.tree, &QTreeWidget::currentItemChanged);
    const QPoint below(shown.Centre(shown.second).x(), shown.tree.viewport()->height() - 2);
    Drag(shown.tree.viewport(),
         {shown.Centre(shown.first), shown.Centre(shown.second), below, shown.Centre(shown.root)});
    EXPECT_EQ(shown.tree.GetSelectedItem(), shown.first);
    EXPECT_EQ(changes.count(), 1);
    ASSERT_EQ(shown.tree.selectedItems().size(), 1);
    EXPECT_EQ(shown.tree.selectedItems().front(), CTreeCtrl::ItemOf(shown.first));
}

// Tab and Shift+Tab leave the focus where it is, in the tree and in the
// list alike; their parent never sees the key.
TEST(Controls, TabNeverMovesTheFocus) {
    QWidget window; // first, so that the controls leave it before it goes
    ShownTree tree;
    ShownList list;
    AddRows(list.list, 3);
    auto* layout = new QHBoxLayout(&window);
    layout->addWidget(&tree.tree);
    layout->addWidget(&list.list);
    window.show();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    for (QWidget* control : std::initializer_list<QWidget*>{&tree.tree, &list.list}) {
        control->setFocus(Qt::OtherFocusReason);
        QTest::keyClick(control, Qt::Key_Tab);
        EXPECT_TRUE(control->hasFocus());
        QTest::keyClick(control, Qt::Key_Tab, Qt::ShiftModifier);
        EXPECT_TRUE(control->hasFocus());
    }
    EXPECT_EQ(tree.tree.GetSelectedItem(), tree.root);
    EXPECT_EQ(SelectedRow(list.list), -1);
}

} // namespace
