// The whole window on the offscreen platform: panes and their sizes, the
// coordination between them, the commands and their resources.
#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <arpa/inet.h>
#include <csignal>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <ombrel/administrator.h>
#include <ombrel/framework.h>

#include "about_dlg.h"
#include "class_view.h"
#include "data_view.h"
#include "detail_view.h"
#include "main_frame.h"
#include "ombrel_app.h"
#include "port_view.h"
#include "scoped_env.h"
#include "snapshot_doubles.h"
#include "temp_dir.h"

using namespace testing_doubles;

namespace {

class TestApp : public COmbrelApp {
public:
    TestApp() : COmbrelApp(1, argv) {}
    bool DoPromptFileName(std::string& fileName, bool open) override {
        prompts.push_back(open);
        proposed.push_back(fileName);
        fileName = answer;
        return !answer.empty();
    }
    std::string answer;
    std::vector<bool> prompts;
    std::vector<std::string> proposed;
    const char* argv[2] = {"ombrel", nullptr};
};

struct Started {
    std::string program;
    std::string verb;
    std::string parameters;
};

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        fake.tcp = {{2, Address("0.0.0.0"), Port(22), 0, 0, 900},
                    {5, Address("127.0.0.1"), Port(22), Address("127.0.0.1"), Port(40000), 900}};
        fake.udp = {{Address("127.0.0.1"), Port(53), 901}};
        fake.paths = {{900, "/usr/sbin/sshd"}, {901, ""}};
        fake.processes = {{901, "resolver"}};
    }
    CMainFrame* Start() {
        app = std::make_unique<TestApp>();
        EXPECT_TRUE(app->InitInstance());
        return app->MainFrame();
    }
    int TableCalls() const { return snapshots.calls; }

    FakeSystem fake;
    Doubles doubles{fake};
    TableCallCounter snapshots;
    std::vector<Started> started;
    ServiceOverride<HINSTANCE(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, int)> shell{
        &Services::ShellExecuteA,
        [this](HWND, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR, int) {
            started.push_back({file ? file : "", verb ? verb : "", parameters ? parameters : ""});
            return reinterpret_cast<HINSTANCE>(42);
        }};
    ServiceOverride<BOOL(LPCSTR, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                         LPVOID, LPCSTR, LPSTARTUPINFOA, LPPROCESS_INFORMATION)>
        spawn{&Services::CreateProcessA,
              [this](LPCSTR program, LPSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                     DWORD, LPVOID, LPCSTR, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION) -> BOOL {
                  started.push_back(
                      {program ? program : "", "create", std::to_string(startup->wShowWindow)});
                  return FALSE; // nothing is there to start
              }};
    std::unique_ptr<TestApp> app;
};

void ClickRow(CPortView* list, int row) {
    QRect cell = list->visualRect(list->model()->index(row, 1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
}

void ClickItem(CClassView* tree, unsigned slot) {
    QRect rect = tree->visualItemRect(CTreeCtrl::ItemOf(tree->GetSlotItem(slot)));
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, rect.center());
}

} // namespace

TEST_F(Window, PanePathsAndTheirSizesThroughResizes) {
    CMainFrame* frame = Start();
    ASSERT_NE(frame, nullptr);
    EXPECT_EQ(frame->GetSplitter().GetPane(0, 0), frame->GetClassView());
    EXPECT_EQ(frame->GetSplitter().GetPane(0, 1), frame->GetDataView());
    ASSERT_NE(frame->GetDataView(), nullptr);
    EXPECT_EQ(frame->GetDataView()->m_wndSplitter.GetPane(0, 0), frame->GetPortView());
    EXPECT_EQ(frame->GetDataView()->m_wndSplitter.GetPane(1, 0), frame->GetDetailView());

    int detailHeight = -1;
    for (QSize size : {QSize(1000, 700), QSize(640, 480), QSize(1200, 900)}) {
        frame->resize(size);
        QApplication::processEvents();
        EXPECT_EQ(frame->GetClassView()->width(), 180) << size.width();
        // The detail pane's row is the 120 pixels the data frame gives it,
        // less the splitter's border and bar.
        int height = frame->GetDetailView()->height();
        EXPECT_EQ(height, 120 - CSplitterWnd::kGap - 2 * CSplitterWnd::kBorder);
        if (detailHeight >= 0) {
            EXPECT_EQ(height, detailHeight);
        }
        detailHeight = height;
        EXPECT_TRUE(frame->GetPortView()->isVisible());
    }

    // A dragged bar between list and pane lasts until the next resize.
    CSplitterWndEx& data = frame->GetDataView()->m_wndSplitter;
    QPoint bar(data.width() / 2, frame->GetPortView()->geometry().bottom() + 4);
    QTest::mousePress(&data, Qt::LeftButton, {}, bar);
    QTest::mouseMove(&data, bar - QPoint(0, 100));
    QTest::mouseRelease(&data, Qt::LeftButton, {}, bar - QPoint(0, 100));
    EXPECT_GT(frame->GetDetailView()->height(), detailHeight + 50);
    frame->resize(1000, 701);
    QApplication::processEvents();
    EXPECT_EQ(frame->GetDetailView()->height(), detailHeight);

    // Under 130 pixels the list's ideal height is below its minimum.
    int bars = frame->height() - frame->GetDataView()->height();
    frame->resize(1000, bars + 125);
    QApplication::processEvents();
    EXPECT_LT(frame->GetDataView()->height(), 130);
    EXPECT_FALSE(frame->GetPortView()->isVisible());
    EXPECT_TRUE(frame->GetDetailView()->isVisible());
    frame->resize(1000, bars + 135);
    QApplication::processEvents();
    EXPECT_TRUE(frame->GetPortView()->isVisible());
}

TEST_F(Window, TreeFiltersListSelectionFillsStatusAndPane) {
    CMainFrame* frame = Start();
    CPortView* list = frame->GetPortView();
    ASSERT_EQ(list->GetItemCount(), 3);
    EXPECT_EQ(frame->GetStatusText(), "就绪");
    int calls = TableCalls();

    ClickRow(list, 1);
    EXPECT_EQ(frame->GetStatusText(), "/usr/sbin/sshd");
    ASSERT_NE(frame->GetDetailView()->GetEntry(), nullptr);
    EXPECT_EQ(frame->GetDetailView()->GetEntry()->key, 1);

    ClickItem(frame->GetClassView(), 1); // TCP: entry 1 passes, still cleared
    EXPECT_EQ(frame->GetFilter(), 0);
    EXPECT_EQ(list->GetItemCount(), 2);
    EXPECT_EQ(frame->GetStatusText(), "");
    EXPECT_EQ(frame->GetDetailView()->GetEntry(), nullptr);
    ClickItem(frame->GetClassView(), 2);
    EXPECT_EQ(list->GetItemCount(), 1);
    EXPECT_EQ(list->GetItemText(0, 5), "[resolver]");
    EXPECT_EQ(TableCalls(), calls); // no new snapshot

    ClickRow(list, 0);
    EXPECT_EQ(frame->GetStatusText(), "[resolver]"); // the name, as the list shows it
    frame->SetFilter(1); // the value already current clears and refills too
    EXPECT_EQ(frame->GetStatusText(), "");
    EXPECT_EQ(frame->GetDetailView()->GetEntry(), nullptr);
    EXPECT_EQ(list->GetItemCount(), 1);
}

// A dragged split lasts through every kind of status text (the idle text,
// a path, a toolbar prompt) until the main window is resized.
TEST_F(Window, ADraggedSplitSurvivesStatusTexts) {
    CMainFrame* frame = Start();
    frame->resize(1000, 700);
    QApplication::processEvents();
    int detailHeight = frame->GetDetailView()->height();
    CSplitterWndEx& data = frame->GetDataView()->m_wndSplitter;
    QPoint bar(data.width() / 2, frame->GetPortView()->geometry().bottom() + 4);
    QTest::mousePress(&data, Qt::LeftButton, {}, bar);
    QTest::mouseMove(&data, bar - QPoint(0, 100));
    QTest::mouseRelease(&data, Qt::LeftButton, {}, bar - QPoint(0, 100));
    const int dragged = frame->GetDetailView()->height();
    ASSERT_GT(dragged, detailHeight + 50);

    ClickRow(frame->GetPortView(), 1); // a path
    QApplication::processEvents();
    EXPECT_EQ(frame->GetDetailView()->height(), dragged);
    QStatusTipEvent prompt(QStringLiteral("刷新")); // a toolbar prompt
    QApplication::sendEvent(frame, &prompt);
    QApplication::processEvents();
    EXPECT_EQ(frame->GetDetailView()->height(), dragged);
    QStatusTipEvent over(QString{}); // the idle text
    QApplication::sendEvent(frame, &over);
    QApplication::processEvents();
    EXPECT_EQ(frame->GetDetailView()->height(), dragged);
    frame->ShowEntry(nullptr); // no text
    QApplication::processEvents();
    EXPECT_EQ(frame->GetDetailView()->height(), dragged);

    frame->resize(1000, 701);
    QApplication::processEvents();
    EXPECT_EQ(frame->GetDetailView()->height(), detailHeight);
}

// A new or opened document starts over from "All": the tree, the frame's
// filter and the rows agree, and the next refresh keeps to them.
TEST_F(Window, ANewDocumentShowsEveryEntryUnderAll) {
    CMainFrame* frame = Start();
    CPortView* list = frame->GetPortView();
    CClassView* tree = frame->GetClassView();
    ClickItem(tree, 2); // UDP
    ASSERT_EQ(list->GetItemCount(), 1);
    app->OnCommand(ID_FILE_NEW);
    EXPECT_EQ(tree->GetSelectedItem(), tree->GetSlotItem(0));
    EXPECT_EQ(frame->GetFilter(), -1);
    EXPECT_EQ(list->GetItemCount(), 3);
    frame->OnRefresh();
    EXPECT_EQ(list->GetItemCount(), 3);
}

// The frame carries the program's icon; the menu shows no images.
TEST_F(Window, FrameIconAndAMenuWithoutImages) {
    CMainFrame* frame = Start();
    QList<QSize> sizes = frame->windowIcon().availableSizes();
    EXPECT_TRUE(sizes.contains(QSize(16, 16)));
    EXPECT_TRUE(sizes.contains(QSize(48, 48)));
    QAction* about = frame->GetCommand(ID_APP_ABOUT);
    ASSERT_NE(about, nullptr);
    EXPECT_FALSE(about->icon().isNull()); // the toolbar's button keeps it
    EXPECT_FALSE(about->isIconVisibleInMenu());
}

// Focus reaching the list after a fill chooses no row: the status bar and
// the pane stay as the fill left them, until a row is really chosen.
TEST_F(Window, FocusReachingTheListShowsNoRow) {
    CMainFrame* frame = Start();
    frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame));
    CPortView* list = frame->GetPortView();
    ASSERT_EQ(list->GetItemCount(), 3);
    frame->GetClassView()->setFocus(Qt::OtherFocusReason);
    QString left = frame->GetStatusText(); // what the fill left
    auto cleared = [&] {
        EXPECT_EQ(frame->GetStatusText(), left);
        EXPECT_EQ(frame->GetDetailView()->GetEntry(), nullptr);
    };
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab); // no key of the panes'
    EXPECT_TRUE(frame->GetClassView()->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F6);
    EXPECT_TRUE(list->hasFocus());
    cleared();
    frame->OnRefresh(); // a new fill, the focus in the list
    left = frame->GetStatusText();
    frame->GetClassView()->setFocus(Qt::OtherFocusReason);
    list->setFocus(Qt::ActiveWindowFocusReason); // as when a modal dialog closes
    cleared();

    ClickRow(list, 1);
    EXPECT_EQ(frame->GetStatusText(), "/usr/sbin/sshd");
}

// A program's path is anyone's text: markup in it is shown as characters,
// and an image it names is never read (a FIFO there would hang the window).
TEST_F(Window, MarkupInAPathIsShownAsText) {
    TempDir dir;
    QImage big(200, 200, QImage::Format_RGB32);
    big.fill(Qt::red);
    std::string png = dir.path() + "/big.png";
    ASSERT_TRUE(big.save(QString::fromStdString(png)));
    std::string path = dir.path() + "/<img src=\"" + png + "\"><font size=6>x</font>";
    fake.paths[900] = path;
    CMainFrame* frame = Start();
    ClickRow(frame->GetPortView(), 1);
    EXPECT_EQ(frame->GetStatusText(), QString::fromStdString(path));
    auto* pane = frame->findChild<QLabel*>("pane0");
    ASSERT_NE(pane, nullptr);
    EXPECT_EQ(pane->textFormat(), Qt::PlainText);
    EXPECT_LT(pane->sizeHint().height(), 100); // one line of text, no picture
}

// A path with control characters is one line wherever it shows, in the
// same escapes: the status bar keeps its height and the pane's first line
// reads as the status bar does.
TEST_F(Window, ControlCharactersInAPathShowAsEscapesOnOneLine) {
    const std::string path = "/tmp/a\nb\tc\x1b"
                             "\xe2\x80\xae"
                             "d"; // newline, tab, ESC, U+202E
    fake.paths[900] = path;
    CMainFrame* frame = Start();
    frame->resize(900, 600);
    frame->show();
    QApplication::processEvents();
    const int barHeight = frame->statusBar()->height();
    const int detailTop = frame->GetDetailView()->mapTo(frame, QPoint()).y();
    ClickRow(frame->GetPortView(), 1);
    for (int i = 0; i < 3; ++i) // the bar's layout, then the frame's
        QApplication::processEvents();
    const QString shown = QStringLiteral("/tmp/a\\nb\\tc\\x1b\\u202ed");
    EXPECT_EQ(frame->GetStatusText(), shown);
    EXPECT_EQ(frame->statusBar()->height(), barHeight);
    EXPECT_EQ(frame->GetDetailView()->mapTo(frame, QPoint()).y(), detailTop);
    std::vector<CDetailView::TextLine> lines = frame->GetDetailView()->TextLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(QString::fromStdString(lines[0].text), QStringLiteral("文件 : ") + shown);
    EXPECT_EQ(frame->GetPortView()->model()->index(1, 5).data().toString(), shown);
    EXPECT_EQ(frame->GetPortView()->GetItemText(1, 5), path); // the entry's text stays as read
}

// The frame's default size and centring keep it on a small screen at any
// scale: its top-left corner on the work area, the window inside it.
TEST_F(Window, TheFrameFitsTheWorkArea) {
    CMainFrame* frame = Start();
    QScreen* screen = QGuiApplication::primaryScreen();
    ASSERT_NE(screen, nullptr);
    const QRect area = screen->availableGeometry();
    EXPECT_TRUE(area.contains(frame->frameGeometry()))
        << "frame " << frame->frameGeometry().x() << "," << frame->frameGeometry().y() << " "
        << frame->frameGeometry().width() << "x" << frame->frameGeometry().height() << " on "
        << area.width() << "x" << area.height() << " min " << frame->minimumSizeHint().width()
        << "x" << frame->minimumSizeHint().height() << " size " << frame->width() << "x"
        << frame->height();
    if (area.width() >= 900 + 40 && area.height() >= 600 + 80) { // room for the default size
        EXPECT_EQ(frame->size(), QSize(900, 600));
    }
}

TEST_F(Window, RefreshUnderTheTcpFilterTakesANewSnapshot) {
    CMainFrame* frame = Start();
    ClickItem(frame->GetClassView(), 1);
    ClickRow(frame->GetPortView(), 0);
    fake.tcp.push_back(
        {5, Address("127.0.0.1"), Port(443), Address("127.0.0.1"), Port(50000), 900});
    int calls = TableCalls();
    frame->GetCommand(ID_VIEW_REFRESH)->trigger();
    EXPECT_EQ(TableCalls(), calls + 1);
    CPortView* list = frame->GetPortView();
    ASSERT_EQ(list->GetItemCount(), 3);
    for (int row = 0; row < 3; ++row)
        EXPECT_EQ(list->GetItemText(row, 0), "TCP");
    EXPECT_EQ(frame->GetStatusText(), "");
    EXPECT_EQ(frame->GetDetailView()->GetEntry(), nullptr);
}

TEST_F(Window, FirewallButtonFollowsTheAppletFoundAtConstruction) {
    TempDir system;
    ServiceOverride<UINT(LPSTR, UINT)> directory(
        &Services::GetSystemDirectoryA, [&](LPSTR buffer, UINT size) {
            return static_cast<UINT>(ombrel::platform::CopyText(buffer, size, system.path()));
        });
    CMainFrame* frame = Start();
    EXPECT_FALSE(frame->GetCommand(ID_TOOLS_FIREWALL)->isEnabled());
    system.Write("firewall-config");
    EXPECT_FALSE(frame->GetCommand(ID_TOOLS_FIREWALL)->isEnabled()); // not before the next start
    app.reset();
    frame = Start();
    EXPECT_TRUE(frame->GetCommand(ID_TOOLS_FIREWALL)->isEnabled());
    frame->GetCommand(ID_TOOLS_FIREWALL)->trigger();
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].program, system.path() + "/firewall-config");
    EXPECT_EQ(started[0].verb, "Open");
}

TEST_F(Window, FirewallPathThatCannotFitFindsNoApplet) {
    std::string longDirectory(MAX_PATH - 5, 'd');
    ServiceOverride<UINT(LPSTR, UINT)> directory(
        &Services::GetSystemDirectoryA, [&](LPSTR buffer, UINT size) {
            return static_cast<UINT>(ombrel::platform::CopyText(buffer, size, longDirectory));
        });
    EXPECT_FALSE(CMainFrame::HasFirewallApplet());
}

TEST_F(Window, ProcessManagerAndWebSiteStartWhatTheyShould) {
    CMainFrame* frame = Start();
    frame->GetCommand(ID_TOOLS_PROCESS_MANAGER)->trigger();
    frame->GetCommand(ID_HELP_WEBSITE)->trigger();
    ASSERT_EQ(started.size(), 2u);
    std::string exe = QCoreApplication::applicationFilePath().toStdString();
    EXPECT_EQ(started[0].program, exe.substr(0, exe.rfind('/') + 1) + "Morvik");
    EXPECT_EQ(started[0].verb, "create"); // started directly on the NT family
    EXPECT_EQ(started[0].parameters, "5");
    EXPECT_EQ(started[1].program, "https://ombrel.example.org/");
    EXPECT_EQ(started[1].verb, "Open");

    // Elsewhere the shell opens it.
    started.clear();
    {
        ServiceOverride<BOOL(LPOSVERSIONINFOA)> windows95(&Services::GetVersionExA,
                                                          [](LPOSVERSIONINFOA info) {
                                                              info->dwPlatformId = 1;
                                                              return TRUE;
                                                          });
        frame->GetCommand(ID_TOOLS_PROCESS_MANAGER)->trigger();
    }
    ASSERT_EQ(started.size(), 1u);
    EXPECT_EQ(started[0].verb, "open");

    // A directory too long for the path buffer: nothing is started.
    started.clear();
    ServiceOverride<DWORD(HMODULE, LPSTR, DWORD)> deep(
        &Services::GetModuleFileNameA, [](HMODULE, LPSTR buffer, DWORD size) {
            std::string path = "/" + std::string(254, 'p') + "/ombrel";
            return static_cast<DWORD>(ombrel::platform::CopyText(buffer, size, path));
        });
    ServiceOverride<DWORD(LPCSTR, LPSTR, DWORD)> asItIs(
        &Services::GetShortPathNameA, [](LPCSTR, LPSTR, DWORD) { return DWORD{0}; });
    frame->GetCommand(ID_TOOLS_PROCESS_MANAGER)->trigger();
    EXPECT_TRUE(started.empty());
}

TEST_F(Window, AboutBoxIsModalAndClosesOnOkAndEscape) {
    CMainFrame* frame = Start();
    for (bool escape : {false, true}) {
        bool wasModal = false;
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<CAboutDlg*>(QApplication::activeModalWidget());
            wasModal = dialog != nullptr && dialog->isModal();
            if (dialog == nullptr)
                return;
            if (escape) {
                QTest::keyClick(dialog, Qt::Key_Escape);
            } else {
                auto* ok = dialog->findChild<QPushButton*>();
                ASSERT_NE(ok, nullptr);
                EXPECT_EQ(ok->text(), "确定");
                EXPECT_TRUE(ok->isDefault());
                ok->click();
            }
        });
        frame->GetCommand(ID_APP_ABOUT)->trigger();
        EXPECT_TRUE(wasModal);
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
}

// Waits until the window system has given a shown window its edges; on a
// display without a window manager there are none to wait for.
void WaitForEdges(QWidget* window, bool expected) {
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window));
    if (expected) {
        EXPECT_TRUE(QTest::qWaitFor(
            [&] { return !window->windowHandle()->frameMargins().isNull(); }, 10000));
    }
}

// The box is centred on the main window, title bars and edges included.
// The suite runs this once more under a window manager, which gives both
// windows their edges (ctest app.window-manager).
TEST_F(Window, AboutBoxIsCentredOnTheWindow) {
    CMainFrame* frame = Start();
    const bool managed = std::getenv("OMBREL_WINDOW_MANAGER") != nullptr;
    WaitForEdges(frame, managed);
    QPoint box, owner;
    bool shown = false;
    QTimer::singleShot(0, [&] {
        QWidget* dialog = QApplication::activeModalWidget();
        if (dialog == nullptr)
            return;
        shown = true;
        WaitForEdges(dialog, managed);
        owner = frame->frameGeometry().center();
        // The box may be placed anew once it has its own edges.
        auto centred = [&] {
            const QPoint off = dialog->frameGeometry().center() - owner;
            return std::abs(off.x()) <= 1 && std::abs(off.y()) <= 1;
        };
        if (managed)
            (void)QTest::qWaitFor(centred, 5000);
        box = dialog->frameGeometry().center();
        dialog->close();
    });
    frame->GetCommand(ID_APP_ABOUT)->trigger();
    ASSERT_TRUE(shown);
    EXPECT_LE(std::abs(box.x() - owner.x()), 1) << box.x() << " against " << owner.x();
    EXPECT_LE(std::abs(box.y() - owner.y()), 1) << box.y() << " against " << owner.y();
}

TEST_F(Window, AboutBoxLayoutInDialogUnits) {
    CAboutDlg about;
    DialogUnits units = DialogUnitsOf(about.font());
    EXPECT_EQ(about.windowTitle(), "关于我们...");
    EXPECT_EQ(about.size(), QSize(units.X(187), units.Y(179)));
    auto* ok = about.findChild<QPushButton*>();
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->geometry(), QRect(units.X(128), units.Y(156), units.X(50), units.Y(18)));
    auto* product = about.findChild<QLabel*>("control2");
    ASSERT_NE(product, nullptr);
    EXPECT_TRUE(product->text().contains("Ombrel"));
    // Run under a Chinese locale too (ctest app.zh-locale).
    auto* credits = about.findChild<QLabel*>("control5");
    ASSERT_NE(credits, nullptr);
    EXPECT_EQ(credits->text().count('\n'), 5);
    EXPECT_LE(credits->heightForWidth(credits->width()), credits->height()) << "a line is cut";
    auto* banner = about.findChild<QLabel*>("control6");
    ASSERT_NE(banner, nullptr);
    // A bitmap control takes its bitmap's own size, not the template's.
    const QRect place(0, 0, 280, 59);
    EXPECT_EQ(banner->geometry(), place);
    EXPECT_EQ(banner->pixmap().deviceIndependentSize().toSize(), place.size());
    EXPECT_EQ(banner->pixmap().size(), place.size() * about.devicePixelRatio());
}

TEST_F(Window, TitleToolbarStatusBarMenuAndAccelerators) {
    CMainFrame* frame = Start();
    EXPECT_EQ(frame->windowTitle(), "Ombrel V2.01");
    QToolBar* toolbar = frame->GetToolBar();
    EXPECT_FALSE(toolbar->isMovable());
    EXPECT_FALSE(toolbar->isFloatable());
    EXPECT_EQ(toolbar->iconSize(), QSize(24, 24));
    std::vector<UINT> buttons;
    for (QAction* action : toolbar->actions())
        buttons.push_back(action->isSeparator() ? 0 : action->data().toUInt());
    EXPECT_EQ(buttons,
              (std::vector<UINT>{ID_VIEW_REFRESH, 0, ID_TOOLS_FIREWALL, 0, ID_TOOLS_PROCESS_MANAGER,
                                 0, ID_APP_ABOUT, ID_HELP_WEBSITE}));
    for (QAction* action : toolbar->actions())
        if (!action->isSeparator()) {
            EXPECT_FALSE(action->icon().isNull());
        }
    EXPECT_EQ(frame->GetCommand(ID_VIEW_REFRESH)->toolTip(), "刷新");
    EXPECT_EQ(frame->GetCommand(ID_TOOLS_FIREWALL)->statusTip(), "打开Windows XP SP2 防火墙设置");
    EXPECT_EQ(frame->GetCommand(ID_TOOLS_PROCESS_MANAGER)->toolTip(), "Morvik");

    EXPECT_EQ(frame->statusBar()->findChildren<QLabel*>().size(), 1);
    QStatusTipEvent prompt(QStringLiteral("刷新"));
    QApplication::sendEvent(frame, &prompt);
    EXPECT_EQ(frame->GetStatusText(), "刷新");
    QStatusTipEvent over(QString{});
    QApplication::sendEvent(frame, &over);
    EXPECT_EQ(frame->GetStatusText(), "就绪");

    QList<QAction*> menus = frame->menuBar()->actions();
    ASSERT_EQ(menus.size(), 1);
    EXPECT_EQ(menus[0]->text(), "菜单");
    QList<QAction*> entries = menus[0]->menu()->actions();
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0]->text(), "关于...");
    EXPECT_TRUE(entries[1]->isSeparator());
    EXPECT_EQ(entries[2]->text(), "退出(&X)");

    auto keys = [&](UINT id) { return frame->GetCommand(id)->shortcuts(); };
    EXPECT_EQ(keys(ID_FILE_NEW), QList<QKeySequence>{QKeySequence("Ctrl+N")});
    EXPECT_EQ(keys(ID_FILE_OPEN), QList<QKeySequence>{QKeySequence("Ctrl+O")});
    EXPECT_EQ(keys(ID_FILE_SAVE), QList<QKeySequence>{QKeySequence("Ctrl+S")});
    EXPECT_EQ(keys(ID_EDIT_UNDO),
              (QList<QKeySequence>{QKeySequence("Ctrl+Z"), QKeySequence("Alt+Backspace")}));
    EXPECT_EQ(keys(ID_EDIT_COPY),
              (QList<QKeySequence>{QKeySequence("Ctrl+C"), QKeySequence("Ctrl+Ins")}));
    EXPECT_EQ(keys(ID_NEXT_PANE), QList<QKeySequence>{QKeySequence("F6")});
    EXPECT_EQ(keys(ID_PREV_PANE), QList<QKeySequence>{QKeySequence("Shift+F6")});
}

TEST_F(Window, NewOpenAndSaveCommands) {
    CMainFrame* frame = Start();
    int calls = TableCalls();
    frame->GetCommand(ID_FILE_NEW)->trigger();
    EXPECT_EQ(TableCalls(), calls + 1); // the views' initial update again: a new snapshot
    EXPECT_EQ(frame->GetPortView()->GetColumnCount(), 6);
    EXPECT_EQ(frame->windowTitle(), "Ombrel V2.01");

    TempDir dir;
    app->answer = dir.Write("anything.txt", "ignored");
    frame->GetCommand(ID_FILE_OPEN)->trigger();
    EXPECT_EQ(TableCalls(), calls + 2);
    EXPECT_EQ(frame->windowTitle(), "Ombrel V2.01");

    app->answer = dir.path() + "/saved.ombrel";
    frame->GetCommand(ID_FILE_SAVE)->trigger();
    struct stat info {};
    ASSERT_EQ(::stat(app->answer.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0);
    EXPECT_EQ(app->prompts, (std::vector<bool>{true, false}));
}

// Ctrl+S asks for a name once, proposing the document's title, and then
// saves to that file without asking; a new document asks again. A file
// that was opened is only the title's source: its data is never emptied
// by a save nobody asked a name for.
TEST_F(Window, SaveAsksOnceThenSavesToItsFile) {
    CMainFrame* frame = Start();
    frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame));
    auto save = [&] { QTest::keyClick(frame, Qt::Key_S, Qt::ControlModifier); };
    TempDir dir;
    const std::string saved = dir.path() + "/saved.ombrel";
    app->answer = saved;
    save();
    ASSERT_EQ(app->proposed, std::vector<std::string>{"无标题"});
    EXPECT_EQ(app->prompts, std::vector<bool>{false});

    const std::string written = dir.Write("saved.ombrel", "filled since");
    ASSERT_EQ(written, saved);
    app->answer.clear(); // a prompt now would cancel
    save();
    EXPECT_EQ(app->prompts.size(), 1u) << "the second save asked again";
    struct stat info {};
    ASSERT_EQ(::stat(saved.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0) << "the second save did not write";

    const std::string opened = dir.Write("notes.txt", "keep me");
    app->answer = opened;
    QTest::keyClick(frame, Qt::Key_O, Qt::ControlModifier);
    app->answer.clear();
    save();
    EXPECT_EQ(app->proposed.back(), "notes.txt");
    ASSERT_EQ(::stat(opened.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 7);

    QTest::keyClick(frame, Qt::Key_N, Qt::ControlModifier);
    save();
    EXPECT_EQ(app->proposed.back(), "无标题");
    EXPECT_EQ(app->prompts, (std::vector<bool>{false, true, false, false}));
}

// A save never writes through a symbolic link nor creates a file through
// one, wherever the link sits in the path: run as root, a link planted by
// another user must not turn the save into a write elsewhere.
TEST_F(Window, SaveNeverFollowsALink) {
    CMainFrame* frame = Start();
    TempDir dir;
    std::string kept = dir.Write("real/kept.txt", "keep");
    std::string dangling = dir.Link("dangling", dir.path() + "/real/created.txt");
    std::string toFile = dir.Link("to-file", kept);
    std::string toDir = dir.Link("to-dir", dir.path() + "/real");
    for (const std::string& path : {dangling, toFile, toDir + "/new.txt"}) {
        app->answer = path;
        frame->GetCommand(ID_FILE_SAVE)->trigger();
    }
    struct stat info {};
    EXPECT_NE(::lstat((dir.path() + "/real/created.txt").c_str(), &info), 0);
    EXPECT_NE(::lstat((dir.path() + "/real/new.txt").c_str(), &info), 0);
    ASSERT_EQ(::lstat(kept.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 4); // not truncated
    ASSERT_EQ(::lstat(dangling.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));

    // A FIFO offered to open fails at once instead of waiting for a writer.
    std::string fifo = dir.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int calls = TableCalls();
    ServiceOverride box(&Services::MessageBoxA, [](HWND, LPCSTR, LPCSTR, UINT) { return IDOK; });
    app->answer = fifo;
    frame->GetCommand(ID_FILE_OPEN)->trigger();
    EXPECT_EQ(TableCalls(), calls); // not opened: no new snapshot
}

TEST_F(Window, PaneBordersAreBlueGreyWithAWhiteLineInside) {
    CMainFrame* frame = Start();
    frame->resize(900, 600);
    QApplication::processEvents();
    QImage image = frame->GetSplitter().grab().toImage().convertToFormat(QImage::Format_RGB32);
    QRect tree = frame->GetClassView()->geometry();
    QPoint outer(tree.left() - 2, tree.top() + 20);
    QPoint inner(tree.left() - 1, tree.top() + 20);
    EXPECT_EQ(image.pixel(outer), qRgb(127, 152, 192));
    EXPECT_EQ(image.pixel(inner), qRgb(255, 255, 255));
    EXPECT_EQ(image.pixel(tree.right() + 2, tree.top() + 20), qRgb(127, 152, 192));

    // Inside the white line the tree's own pixels begin: no frame of its
    // own on any side, with the focus or without.
    frame->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(frame));
    for (bool focused : {false, true}) {
        if (focused)
            frame->GetClassView()->setFocus(Qt::OtherFocusReason);
        image = frame->GetSplitter().grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QRgb base = frame->GetClassView()->palette().color(QPalette::Base).rgb();
        const QPoint centre = tree.center();
        for (QPoint edge : {QPoint(tree.left(), centre.y()), QPoint(tree.right(), centre.y()),
                            QPoint(centre.x(), tree.top()), QPoint(centre.x(), tree.bottom())})
            EXPECT_EQ(image.pixel(edge), base)
                << "at " << edge.x() << "," << edge.y() << (focused ? " with focus" : "");
    }
}
// Icons come from their artwork at the screen's pixel ratio: at a ratio of
// 2 (the suite runs this test once more so) they have twice the pixels.
TEST_F(Window, IconsAtTheDevicePixelRatio) {
    CMainFrame* frame = Start();
    const qreal ratio = qApp->devicePixelRatio();
    if (const char* expected = std::getenv("OMBREL_EXPECT_RATIO")) {
        EXPECT_EQ(ratio, std::atof(expected));
    }
    const int list = qRound(16 * ratio), button = qRound(24 * ratio);
    const CImageList& images = frame->GetPortView()->GetImageList();
    ASSERT_GT(images.GetImageCount(), 0);
    for (int i = 0; i < images.GetImageCount(); ++i) {
        EXPECT_EQ(images.GetImage(i).size(), QSize(list, list));
        EXPECT_EQ(images.GetImage(i).deviceIndependentSize(), QSizeF(16, 16));
    }
    EXPECT_TRUE(frame->GetCommand(ID_VIEW_REFRESH)
                    ->icon()
                    .availableSizes()
                    .contains(QSize(button, button)));
}

// Every button of the toolbar has a name a screen reader can read, the
// overflow button included.
TEST_F(Window, TheToolbarsItemsAreNamed) {
    CMainFrame* frame = Start();
    QAccessibleInterface* bar = QAccessible::queryAccessibleInterface(frame->GetToolBar());
    ASSERT_NE(bar, nullptr);
    int named = 0;
    for (int i = 0; i < bar->childCount(); ++i) {
        QAccessibleInterface* item = bar->child(i);
        if (item == nullptr || qobject_cast<QAbstractButton*>(item->object()) == nullptr)
            continue; // a separator
        EXPECT_FALSE(item->text(QAccessible::Name).isEmpty())
            << item->object()->metaObject()->className();
        ++named;
    }
    EXPECT_EQ(named, 6); // five buttons and the overflow button
}

namespace {

// Our own listener on loopback, for the live machine's snapshot.
struct Listening {
    Listening() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd, 1) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
    }
    ~Listening() { ::close(fd); }
    int fd = -1;
    int port = 0;
};

bool ListsOurListener(CMainFrame* frame, int port) {
    int index = 0;
    PortEntry* entry = nullptr;
    CPortTable& table = frame->GetPortView()->GetTable();
    for (int more = table.GetFirst(index, entry); more; more = table.GetNext(index, entry))
        if (entry != nullptr && entry->protocol == 0 && entry->localPort == port &&
            entry->processId == ::getpid())
            return true;
    return false;
}

} // namespace

// In administrator mode a second pane says whether the collector answered;
// when it has gone, the next refresh shows what the user can see, and the
// pane says so, with no message box. A click on the pane asks pkexec again
// while the window goes on, and the mode is back.
TEST(AdministratorPane, SaysWhetherTheCollectorAnswersAndFailsQuietly) {
    TempDir dir;
    std::string pkexec = dir.Write("pkexec", "#!/bin/sh\nexec \"$@\"\n");
    ::chmod(pkexec.c_str(), 0755);
    ScopedEnv path;
    path.Set("PATH", (dir.path() + ":/usr/bin:/bin").c_str());
    ombrel::platform::CollectorPathOverride collector(OMBREL_COLLECTOR);
    int boxes = 0;
    ServiceOverride box(&Services::MessageBoxA, [&](HWND, LPCSTR, LPCSTR, UINT) {
        ++boxes;
        return IDOK;
    });
    Listening listening;
    ASSERT_NE(listening.port, 0);

    {
        TestApp plain;
        ASSERT_TRUE(plain.InitInstance());
        EXPECT_EQ(plain.MainFrame()->GetAdministratorText(), ""); // no such pane
    }
    ASSERT_TRUE(ombrel::platform::StartCollectorThroughPkexec());
    std::vector<pid_t> children;
    {
        std::ifstream list("/proc/self/task/" + std::to_string(::getpid()) + "/children");
        for (pid_t pid; list >> pid;)
            children.push_back(pid);
    }
    ASSERT_EQ(children.size(), 1u);

    TestApp app;
    ASSERT_TRUE(app.InitInstance());
    CMainFrame* frame = app.MainFrame();
    EXPECT_EQ(frame->GetAdministratorText(), QString::fromUtf8("管理员"));
    EXPECT_TRUE(ListsOurListener(frame, listening.port));
    auto* pane = frame->findChild<QLabel*>(QStringLiteral("administrator"));
    ASSERT_NE(pane, nullptr);
    EXPECT_TRUE(pane->toolTip().contains(QStringLiteral("ombrel-collector")));

    ::kill(children[0], SIGKILL); // ours: the stand-in ran it in its place
    frame->OnRefresh();
    EXPECT_EQ(frame->GetAdministratorText(), QString::fromUtf8("管理员模式不可用"));
    EXPECT_TRUE(pane->toolTip().contains(QString::fromUtf8("已退出")))
        << pane->toolTip().toStdString();
    EXPECT_TRUE(ListsOurListener(frame, listening.port)); // root's own view now
    EXPECT_TRUE(pane->toolTip().contains(QString::fromUtf8("单击此处可再次请求管理员权限")));

    QTest::mouseClick(pane, Qt::LeftButton);
    EXPECT_EQ(frame->GetAdministratorText(), QString::fromUtf8("正在请求管理员权限"));
    EXPECT_TRUE(QTest::qWaitFor(
        [] {
            return ombrel::platform::CurrentAdministratorMode() !=
                   ombrel::platform::AdministratorMode::Starting;
        },
        30000));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return frame->GetAdministratorText() == QString::fromUtf8("管理员"); }, 1000));
    EXPECT_TRUE(ListsOurListener(frame, listening.port));
    QTest::mouseClick(pane, Qt::LeftButton); // answering: nothing to ask
    EXPECT_EQ(frame->GetAdministratorText(), QString::fromUtf8("管理员"));
    ombrel::platform::StopCollector();
    EXPECT_EQ(boxes, 0);
}
