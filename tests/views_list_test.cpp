// The port list, driven through the widget on the offscreen platform, over
// a snapshot from the test doubles.
#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QTest>
#include <gtest/gtest.h>

#include <ombrel/framework.h>
#include <ombrel/icon_pixmap.h>

#include "frame_link.h"
#include "port_view.h"
#include "snapshot_doubles.h"
#include "win_app.h"

using namespace testing_doubles;

namespace {

// Stands in for the main frame: records what the views hand it.
class RecordingFrame : public QWidget, public CMainFrameLink {
public:
    RecordingFrame() { AfxGetThread()->m_pMainWnd = this; }
    ~RecordingFrame() override { AfxGetThread()->m_pMainWnd = nullptr; }
    void ShowEntry(const PortEntry* entry) override { shown.push_back(entry ? entry->key : -100); }
    void SetFilter(int filter) override { filters.push_back(filter); }
    std::vector<int> shown;
    std::vector<int> filters;
};

class PortList : public ::testing::Test {
protected:
    void SetUp() override {
        exe = QCoreApplication::applicationFilePath().toStdString();
        fake.tcp = {{2, Address("0.0.0.0"), Port(135), 0, 0, 900},
                    {5, Address("127.0.0.1"), Port(8080), Address("127.0.0.1"), Port(50000), 900},
                    {11, Address("127.0.0.1"), Port(8081), Address("10.1.2.3"), Port(443), 0}};
        fake.udp = {{Address("0.0.0.0"), Port(137), 4}, {Address("127.0.0.1"), Port(53), 901}};
        fake.paths = {{900, exe}, {901, ""}};
        fake.processes = {{4, "System"}, {901, "resolver"}};
        ASSERT_TRUE(view.Create(nullptr));
        view.resize(900, 300);
        tester = std::make_unique<QAbstractItemModelTester>(
            view.model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    }
    int TableCalls() const { return snapshots.calls; }

    FakeSystem fake;
    Doubles doubles{fake};
    TableCallCounter snapshots;
    std::string exe;
    RecordingFrame frame;
    CPortView view;
    std::unique_ptr<QAbstractItemModelTester> tester;
};

std::string Text(CPortView& view, int row, int column) {
    return view.GetItemText(row, column);
}

LPARAM KeyOf(CPortView& view, int row) {
    LVITEMA item{};
    item.mask = LVIF_PARAM;
    item.iItem = row;
    EXPECT_TRUE(view.GetItem(&item));
    return item.lParam;
}

int ImageOf(CPortView& view, int row) {
    LVITEMA item{};
    item.mask = LVIF_IMAGE;
    item.iItem = row;
    EXPECT_TRUE(view.GetItem(&item));
    return item.iImage;
}

void ClickRow(CPortView& view, int row) {
    QRect cell = view.visualRect(view.model()->index(row, 1));
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {}, cell.center());
}

} // namespace

TEST_F(PortList, ColumnsHeadersWidthsAndAlignments) {
    view.OnInitialUpdate();
    ASSERT_EQ(view.GetColumnCount(), 6);
    const char* headers[] = {"TCP/UDP", "本机IP:端口", "远程IP:端口", "状态", "PID", "进程"};
    const int widths[] = {60, 140, 140, 80, 80, 300};
    for (int c = 0; c < 6; ++c) {
        EXPECT_EQ(view.model()->headerData(c, Qt::Horizontal).toString(),
                  QString::fromUtf8(headers[c]));
        EXPECT_EQ(view.columnWidth(c), widths[c]);
        auto alignment =
            view.model()->index(0, c).data(Qt::TextAlignmentRole).value<Qt::Alignment>();
        // Only columns 3 and 4 show centred: the first column is always left.
        EXPECT_EQ(bool(alignment & Qt::AlignHCenter), c == 3 || c == 4) << c;
    }
    EXPECT_TRUE(view.showGrid());
    EXPECT_EQ(view.GetExtendedStyle(), LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT);
    EXPECT_EQ(view.selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(view.selectionBehavior(), QAbstractItemView::SelectRows);
    EXPECT_EQ(view.frameShape(), QFrame::NoFrame);
    EXPECT_FALSE(view.horizontalHeader()->isHidden());
    EXPECT_TRUE(view.IsReady());
}

TEST_F(PortList, RowsInTableOrderWithKeysTextsAndOneImageEach) {
    view.OnInitialUpdate();
    ASSERT_EQ(view.GetItemCount(), 5);
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(KeyOf(view, row), row);
        EXPECT_EQ(ImageOf(view, row), row);
    }
    EXPECT_EQ(view.GetImageList().GetImageCount(), 5);
    EXPECT_EQ(Text(view, 0, 0), "TCP");
    EXPECT_EQ(Text(view, 0, 1), "0.0.0.0:135");
    EXPECT_EQ(Text(view, 0, 2), "0.0.0.0:0");
    EXPECT_EQ(Text(view, 0, 3), "监听");
    EXPECT_EQ(Text(view, 0, 4), "900");
    EXPECT_EQ(Text(view, 0, 5), exe);
    EXPECT_EQ(Text(view, 1, 2), "127.0.0.1:50000");
    EXPECT_EQ(Text(view, 3, 0), "UDP");
    EXPECT_EQ(Text(view, 3, 2), "0.0.0.0:0");
    EXPECT_EQ(Text(view, 3, 3), "");
    EXPECT_EQ(Text(view, 3, 5), "[System]"); // a name, in the form no path takes

    // Entries without an icon of their own show the standard one.
    QPixmap standard = ombrel::platform::IconPixmap(LoadIconA(nullptr, IDI_APPLICATION), 16);
    EXPECT_EQ(view.GetImageList().GetImage(2).cacheKey(), standard.cacheKey());
    EXPECT_EQ(view.GetImageList().GetImage(4).cacheKey(), standard.cacheKey());
    EXPECT_NE(view.GetImageList().GetImage(0).cacheKey(), 0);
    EXPECT_FALSE(view.model()->index(2, 0).data(Qt::DecorationRole).value<QIcon>().isNull());
}

TEST_F(PortList, FilterKeepsKeysNotRowNumbersAndTakesNoSnapshot) {
    view.OnInitialUpdate();
    int calls = TableCalls();
    view.FillList(1);
    EXPECT_EQ(TableCalls(), calls);
    ASSERT_EQ(view.GetItemCount(), 2);
    EXPECT_EQ(KeyOf(view, 0), 3); // after three TCP entries
    EXPECT_EQ(ImageOf(view, 0), 0);
    EXPECT_EQ(ImageOf(view, 1), 1);
    EXPECT_EQ(view.GetImageList().GetImageCount(), 2);
    view.FillList(0);
    ASSERT_EQ(view.GetItemCount(), 3);
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(Text(view, row, 0), "TCP");
    view.RefreshList(0);
    EXPECT_EQ(TableCalls(), calls + 1);
    view.FillList(7); // no entry has that protocol
    EXPECT_EQ(view.GetItemCount(), 0);
    EXPECT_TRUE(view.IsReady());
}

TEST_F(PortList, EmptySnapshotLeavesColumnsAndNoRows) {
    fake.tcp.clear();
    fake.udp.clear();
    view.OnInitialUpdate();
    EXPECT_EQ(view.GetColumnCount(), 6);
    EXPECT_EQ(view.GetItemCount(), 0);
    EXPECT_EQ(view.GetImageList().GetImageCount(), 0);
    EXPECT_TRUE(view.IsReady());
}

TEST_F(PortList, EveryChangedRowReachesTheFrameLastOneStays) {
    NMLISTVIEW notification{};
    notification.hdr.code = LVN_ITEMCHANGED;
    notification.iItem = 0;
    LRESULT result = 99;
    view.OnItemchanged(&notification.hdr, &result); // before the first fill: not ready
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(frame.shown.empty());

    view.OnInitialUpdate();
    view.show();
    ClickRow(view, 1);
    ASSERT_FALSE(frame.shown.empty());
    EXPECT_EQ(frame.shown.back(), 1);
    frame.shown.clear();
    ClickRow(view, 3);
    // The row that lost the selection is shown too, then the new one.
    ASSERT_GE(frame.shown.size(), 2u);
    EXPECT_EQ(frame.shown.front(), 1);
    EXPECT_EQ(frame.shown.back(), 3);

    frame.shown.clear();
    notification.iItem = -1;
    view.OnItemchanged(&notification.hdr, &result);
    notification.iItem = 42; // no such row
    view.OnItemchanged(&notification.hdr, &result);
    EXPECT_TRUE(frame.shown.empty());

    // A fill selects nothing and tells nobody.
    view.FillList(-1);
    EXPECT_TRUE(frame.shown.empty());
    EXPECT_FALSE(view.selectionModel()->hasSelection());
}

// Choosing a row brings it into view up and down only: a click in the
// partly hidden last column leaves the columns where they were. Home and End
// choose the first and the last row, and every choice reaches the frame.
TEST_F(PortList, ChoosingRowsScrollsOnlyUpAndDown) {
    view.OnInitialUpdate();
    view.resize(600, 300);
    view.show();
    ASSERT_GT(view.horizontalScrollBar()->maximum(), 0);
    ASSERT_EQ(view.horizontalScrollBar()->value(), 0);
    QRect last = view.visualRect(view.model()->index(2, 5));
    ASSERT_LT(last.left(), view.viewport()->width());
    ASSERT_GT(last.right(), view.viewport()->width()); // partly hidden
    QTest::mouseClick(view.viewport(), Qt::LeftButton, {},
                      QPoint(last.left() + 5, last.center().y()));
    ASSERT_FALSE(frame.shown.empty());
    EXPECT_EQ(frame.shown.back(), 2);
    // Qt brings the clicked cell into view a moment after the click, as it
    // does at once for a row chosen from the keyboard.
    view.scrollTo(view.currentIndex());
    EXPECT_EQ(view.horizontalScrollBar()->value(), 0);
    QTest::keyClick(&view, Qt::Key_Down);
    EXPECT_EQ(frame.shown.back(), 3);
    EXPECT_EQ(view.horizontalScrollBar()->value(), 0);

    QTest::keyClick(&view, Qt::Key_End);
    EXPECT_EQ(frame.shown.back(), 4);
    EXPECT_TRUE(view.selectionModel()->isRowSelected(4, {}));
    EXPECT_EQ(view.horizontalScrollBar()->value(), 0);
    QTest::keyClick(&view, Qt::Key_Home);
    EXPECT_EQ(frame.shown.back(), 0);
    EXPECT_TRUE(view.selectionModel()->isRowSelected(0, {}));
    EXPECT_EQ(view.horizontalScrollBar()->value(), 0);

    // Right and Left scroll the columns and keep the row.
    QTest::keyClick(&view, Qt::Key_Right);
    EXPECT_GT(view.horizontalScrollBar()->value(), 0);
    EXPECT_TRUE(view.selectionModel()->isRowSelected(0, {}));
    QTest::keyClick(&view, Qt::Key_Left);
    EXPECT_EQ(view.horizontalScrollBar()->value(), 0);
    EXPECT_EQ(frame.shown.back(), 0);

    // In a tall list, End brings the last row into view.
    auto many = fake.udp;
    many.clear();
    for (int i = 0; i < 200; ++i)
        many.push_back({Address("127.0.0.1"), Port(1000 + i), 901});
    fake.udp = many;
    view.RefreshList(-1);
    QCoreApplication::processEvents(); // the new rows' layout, as before any key
    view.setFocus();
    QTest::keyClick(&view, Qt::Key_End);
    const int lastRow = view.GetItemCount() - 1;
    EXPECT_EQ(frame.shown.back(), lastRow);
    EXPECT_TRUE(view.viewport()->rect().contains(
        view.visualRect(view.model()->index(lastRow, 0)).center()));
}

// The grid covers the whole client area, as the platform's list draws it:
// below the last row, and in an empty list too.
TEST_F(PortList, GridLinesFillTheWholeList) {
    QStyleOptionViewItem option;
    option.initFrom(&view);
    const QColor grid = QColor::fromRgba(
        static_cast<QRgb>(view.style()->styleHint(QStyle::SH_Table_GridLineColor, &option, &view)));
    const int step = view.verticalHeader()->defaultSectionSize();
    auto check = [&](int firstEmptyRow) {
        QImage image = view.viewport()->grab().toImage();
        const qreal ratio = image.devicePixelRatio();
        auto at = [&](int x, int y) {
            return image.pixelColor(qRound(x * ratio), qRound(y * ratio));
        };
        const int top = firstEmptyRow * step;
        const int columnEdge = view.columnWidth(0) - 1; // the first column's line
        for (int y = top + 2; y < view.viewport()->height(); y += step / 2)
            EXPECT_EQ(at(columnEdge, y), grid) << "at y " << y;
        const int rowLine = top + 2 * step - 1; // the second empty row's line
        ASSERT_LT(rowLine, view.viewport()->height());
        EXPECT_EQ(at(columnEdge / 2, rowLine), grid);
        EXPECT_NE(at(columnEdge / 2, rowLine - step / 2), grid); // inside a row: no line
    };
    fake.tcp.clear();
    fake.udp.clear();
    view.OnInitialUpdate();
    view.show();
    ASSERT_EQ(view.GetItemCount(), 0);
    check(0);
    fake.udp = {{Address("127.0.0.1"), Port(53), 901}};
    view.RefreshList(-1);
    ASSERT_EQ(view.GetItemCount(), 1);
    check(1);
}

TEST_F(PortList, RepeatedInitialUpdateRefillsWithTheSameColumns) {
    view.OnInitialUpdate();
    int calls = TableCalls();
    view.OnInitialUpdate();
    EXPECT_EQ(view.GetColumnCount(), 6);
    EXPECT_EQ(view.GetItemCount(), 5);
    EXPECT_EQ(TableCalls(), calls + 1);
}

// IPv6 rows in brackets, the longest texts whole: eight full groups and a
// scope that no interface has, shown as its number.
TEST_F(PortList, IPv6RowsShowBracketedAddressesWhole) {
    MIB_TCP6ROW_OWNER_PID row{};
    std::memset(row.ucLocalAddr, 0xFF, 16);
    std::memset(row.ucRemoteAddr, 0xFF, 16);
    row.ucLocalAddr[0] = row.ucRemoteAddr[0] = 0xFE;
    row.ucLocalAddr[1] = row.ucRemoteAddr[1] = 0x80;
    row.dwLocalScopeId = row.dwRemoteScopeId = 4294967294u;
    row.dwLocalPort = row.dwRemotePort = Port(65535);
    row.dwState = MIB_TCP_STATE_ESTAB;
    row.dwOwningPid = 900;
    fake.tcp6 = {row};
    MIB_UDP6ROW_OWNER_PID udp{};
    udp.dwLocalPort = Port(5353);
    fake.udp6 = {udp};
    view.OnInitialUpdate();
    ASSERT_EQ(view.GetItemCount(), 7);
    const std::string longest = "[fe80:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967294]:65535";
    EXPECT_EQ(Text(view, 3, 0), "TCP");
    EXPECT_EQ(Text(view, 3, 1), longest);
    EXPECT_EQ(Text(view, 3, 2), longest);
    EXPECT_EQ(Text(view, 3, 3), "连接");
    EXPECT_EQ(Text(view, 3, 5), exe);
    EXPECT_EQ(Text(view, 6, 0), "UDP");
    EXPECT_EQ(Text(view, 6, 1), "[::]:5353");
    EXPECT_EQ(Text(view, 6, 2), "[::]:0");
    EXPECT_EQ(Text(view, 6, 3), "");
}

TEST(EndpointTexts, CutToTheBufferAndAlwaysEnded) {
    char address[64];
    std::memset(address, 'f', sizeof address - 1);
    address[63] = '\0';
    char text[80];
    EXPECT_EQ(std::string(EndpointText(text, sizeof text, address, 65535, 23)),
              "[" + std::string(63, 'f') + "]:65535");
    char small[8];
    std::memset(small, '#', sizeof small);
    EXPECT_STREQ(EndpointText(small, sizeof small, "::1", 8080, 23), "[::1]:8");
    EXPECT_STREQ(EndpointText(small, sizeof small, "10.0.0.1", 80, 2), "10.0.0.");
    EXPECT_STREQ(EndpointText(text, sizeof text, "127.0.0.1", 0, 2), "127.0.0.1:0");
}
