// The protocol tree, driven by clicks on the offscreen platform.
#include <QAccessible>
#include <QTest>
#include <gtest/gtest.h>

#include <ombrel/framework.h>

#include "class_view.h"
#include "frame_link.h"
#include "win_app.h"

namespace {

class RecordingFrame : public QWidget, public CMainFrameLink {
public:
    RecordingFrame() { AfxGetThread()->m_pMainWnd = this; }
    ~RecordingFrame() override { AfxGetThread()->m_pMainWnd = nullptr; }
    void ShowEntry(const PortEntry*) override {}
    void SetFilter(int filter) override { filters.push_back(filter); }
    std::vector<int> filters;
};

void Click(CClassView& tree, HTREEITEM item) {
    QRect rect = tree.visualItemRect(CTreeCtrl::ItemOf(item));
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, {}, rect.center());
}

} // namespace

TEST(ProtocolTree, StartsWithAllSelectedAndExpandedWithoutAFilterCall) {
    RecordingFrame frame;
    CClassView tree;
    ASSERT_TRUE(tree.Create(nullptr));
    EXPECT_EQ(tree.GetStyle() & 0x3F,
              TVS_HASBUTTONS | TVS_HASLINES | TVS_DISABLEDRAGDROP | TVS_SHOWSELALWAYS);
    EXPECT_FALSE(tree.rootIsDecorated()); // no button on the root
    tree.OnInitialUpdate();
    EXPECT_TRUE(frame.filters.empty());
    EXPECT_TRUE(tree.IsReady());

    HTREEITEM all = tree.GetRootItem();
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(tree.GetSelectedItem(), all);
    QTreeWidgetItem* root = CTreeCtrl::ItemOf(all);
    EXPECT_EQ(root->text(0), "All");
    EXPECT_TRUE(root->isExpanded());
    ASSERT_EQ(root->childCount(), 2);
    EXPECT_EQ(root->child(0)->text(0), "TCP");
    EXPECT_EQ(root->child(1)->text(0), "UDP");
    EXPECT_EQ(tree.topLevelItemCount(), 1);
    EXPECT_EQ(tree.GetImageList().GetImageCount(), 2);
    EXPECT_EQ(tree.GetSlotItem(0), all);
    EXPECT_EQ(tree.GetSlotFilter(0), -1);
    EXPECT_EQ(tree.GetSlotFilter(1), 0);
    EXPECT_EQ(tree.GetSlotFilter(2), 1);
    // "TCP" and "UDP" share the plain folder; "All" has its own.
    EXPECT_EQ(root->child(0)->icon(0).pixmap(16).toImage(),
              root->child(1)->icon(0).pixmap(16).toImage());
    EXPECT_NE(root->icon(0).pixmap(16).toImage(), root->child(0)->icon(0).pixmap(16).toImage());
}

TEST(ProtocolTree, EverySelectionSendsItsFilterValue) {
    RecordingFrame frame;
    CClassView tree;
    tree.Create(nullptr);
    tree.resize(200, 200);
    tree.show();
    tree.OnInitialUpdate();
    HTREEITEM all = tree.GetSlotItem(0);
    Click(tree, tree.GetSlotItem(1));
    Click(tree, tree.GetSlotItem(2));
    Click(tree, all);
    Click(tree, tree.GetSlotItem(1));
    EXPECT_EQ(frame.filters, (std::vector<int>{0, 1, -1, 0}));

    frame.filters.clear();
    QTest::keyClick(tree.viewport(), Qt::Key_Down); // the keyboard moves it too
    EXPECT_EQ(frame.filters, (std::vector<int>{1}));
}

// The selection never goes away: Ctrl on the selected item keeps it, and
// the filter with it.
TEST(ProtocolTree, CtrlClickOnTheSelectedItemKeepsIt) {
    RecordingFrame frame;
    CClassView tree;
    tree.Create(nullptr);
    tree.resize(200, 200);
    tree.show();
    tree.OnInitialUpdate();
    HTREEITEM udp = tree.GetSlotItem(2);
    Click(tree, udp);
    QRect rect = tree.visualItemRect(CTreeCtrl::ItemOf(udp));
    QTest::mouseClick(tree.viewport(), Qt::LeftButton, Qt::ControlModifier, rect.center());
    EXPECT_EQ(tree.GetSelectedItem(), udp);
    EXPECT_TRUE(CTreeCtrl::ItemOf(udp)->isSelected());
    EXPECT_EQ(frame.filters, (std::vector<int>{1}));
}

// Only the label of the selected item is highlighted: not its icon, not the
// row beside the label, not the lines and buttons before it.
TEST(ProtocolTree, TheSelectionHighlightsTheLabelOnly) {
    CClassView tree;
    tree.Create(nullptr);
    tree.resize(200, 200);
    tree.show();
    tree.OnInitialUpdate();
    QTreeWidgetItem* tcp = CTreeCtrl::ItemOf(tree.GetSlotItem(1));
    const QRect row = tree.visualItemRect(tcp);
    const QColor highlight = tree.palette().color(QPalette::Active, QPalette::Highlight);
    auto rendered = [&] {
        QImage image = tree.viewport()->grab().toImage();
        return image.copy(
            QRect(row.topLeft() * image.devicePixelRatio(), row.size() * image.devicePixelRatio()));
    };
    auto highlighted = [&](const QImage& image, int fromX, int toX) {
        int count = 0;
        for (int x = fromX; x < toX; ++x)
            for (int y = 0; y < image.height(); ++y)
                count += image.pixelColor(x, y) == highlight;
        return count;
    };
    const QImage plain = rendered();
    tree.SelectItem(tree.GetSlotItem(1));
    const QImage chosen = rendered();
    const qreal ratio = chosen.devicePixelRatio();
    const int iconEnd = qRound((tree.iconSize().width() + 4) * ratio);
    const int labelEnd = qRound(
        (tree.iconSize().width() + 4 + tree.fontMetrics().horizontalAdvance("TCP") + 12) * ratio);
    EXPECT_EQ(highlighted(plain, 0, plain.width()), 0);
    EXPECT_GT(highlighted(chosen, iconEnd, labelEnd), 0); // the label
    // The icon looks as it does unselected, and nothing right of the label is lit.
    EXPECT_EQ(chosen.copy(0, 0, iconEnd - qRound(4 * ratio), chosen.height()),
              plain.copy(0, 0, iconEnd - qRound(4 * ratio), plain.height()));
    EXPECT_EQ(highlighted(chosen, labelEnd, chosen.width()), 0);
    // Left of the item (its lines): unlit too.
    QImage whole = tree.viewport()->grab().toImage();
    for (int x = 0; x < row.left() * ratio; ++x)
        EXPECT_NE(whole.pixelColor(x, qRound(row.center().y() * ratio)), highlight) << x;
}

// The hidden header reads as nothing to a screen reader, not as Qt's
// default column number.
TEST(ProtocolTree, AScreenReaderFindsNoStrayHeader) {
    CClassView tree;
    tree.Create(nullptr);
    tree.OnInitialUpdate();
    tree.show();
    QAccessibleInterface* reader = QAccessible::queryAccessibleInterface(&tree);
    ASSERT_NE(reader, nullptr);
    QStringList names;
    for (int i = 0; i < reader->childCount(); ++i)
        if (QAccessibleInterface* child = reader->child(i))
            names.push_back(child->text(QAccessible::Name));
    EXPECT_FALSE(names.contains("1")) << names.join(", ").toStdString();
    EXPECT_TRUE(names.contains("All")) << names.join(", ").toStdString();
}

TEST(ProtocolTree, SlotsPastTheThirdAreIgnored) {
    CClassView tree;
    tree.Create(nullptr);
    tree.OnInitialUpdate();
    HTREEITEM tcp = tree.GetSlotItem(1);
    tree.SetItemSlot(3, nullptr, 5);
    tree.SetItemSlot(static_cast<unsigned>(-1), nullptr, 5);
    EXPECT_EQ(tree.GetSlotItem(1), tcp);
    EXPECT_EQ(tree.GetSlotFilter(2), 1);
    // A repeated initial update keeps the items and selects "All" again,
    // as the list shows every entry again.
    tree.SelectItem(tcp);
    tree.OnInitialUpdate();
    EXPECT_EQ(tree.topLevelItemCount(), 1);
    EXPECT_EQ(tree.GetSlotItem(1), tcp);
    EXPECT_EQ(tree.GetSelectedItem(), tree.GetSlotItem(0));
}
