// The list control's model as its view sees it, across batched changes.
#include <QAbstractItemModelTester>
#include <QSignalSpy>
#include <gtest/gtest.h>

#include "list_ctrl.h"

namespace {

int InsertRow(CListCtrl& list, int at, const char* text) {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = at;
    item.pszText = const_cast<char*>(text);
    return list.InsertItem(&item);
}

// With redraw off, rows inserted before the shown ones are one reset of the
// model, which ends when redraw comes back on; Qt's model tester sees every
// step of it kept consistent.
TEST(ListModel, RowCountStaysValidWhileRedrawIsOff) {
    CListCtrl list;
    QAbstractItemModelTester tester(list.model(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_EQ(list.InsertColumn(0, "a", LVCFMT_LEFT, 50), 0);
    InsertRow(list, 0, "first");
    InsertRow(list, 1, "last");

    list.SetRedraw(FALSE);
    QSignalSpy resets(list.model(), &QAbstractItemModel::modelReset);
    EXPECT_EQ(InsertRow(list, 1, "middle"), 1);
    EXPECT_EQ(InsertRow(list, 3, "after"), 3);
    EXPECT_EQ(list.GetItemCount(), 4);
    EXPECT_EQ(resets.count(), 0) << "the view is told at the batch's end";
    list.SetRedraw(TRUE);

    EXPECT_EQ(resets.count(), 1);
    ASSERT_EQ(list.model()->rowCount(), 4);
    EXPECT_EQ(list.model()->index(1, 0).data().toString(), "middle");
    EXPECT_EQ(list.model()->index(2, 0).data().toString(), "last");
    EXPECT_EQ(list.model()->index(3, 0).data().toString(), "after");
}

} // namespace
