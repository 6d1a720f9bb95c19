// The list control's model as its view sees it, across batched changes.
#include <QAbstractItemModelTester>
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

// With redraw off, rows inserted before the shown ones leave the view's row
// count as it was until redraw comes back on, and never a negative one.
TEST(ListModel, RowCountStaysValidWhileRedrawIsOff) {
    CListCtrl list;
    QAbstractItemModelTester tester(list.model(),
                                    QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_EQ(list.InsertColumn(0, "a", LVCFMT_LEFT, 50), 0);
    InsertRow(list, 0, "first");
    InsertRow(list, 1, "last");

    list.SetRedraw(FALSE);
    EXPECT_EQ(InsertRow(list, 1, "middle"), 1);
    EXPECT_EQ(list.model()->rowCount(), 2);
    EXPECT_EQ(list.GetItemCount(), 3);
    list.SetRedraw(TRUE);

    ASSERT_EQ(list.model()->rowCount(), 3);
    EXPECT_EQ(list.model()->index(1, 0).data().toString(), "middle");
    EXPECT_EQ(list.model()->index(2, 0).data().toString(), "last");
}

} // namespace
