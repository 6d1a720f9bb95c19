#include "main_frame.h"

#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QMouseEvent>
#include <QScreen>
#include <QShowEvent>
#include <QStatusBar>
#include <QStatusTipEvent>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <shellapi.h>

#include <ombrel/administrator.h>
#include <ombrel/conventions.h>
#include <ombrel/framework.h>
#include <ombrel/icon_pixmap.h>

#include "class_view.h"
#include "commands.h"
#include "data_view.h"
#include "detail_view.h"
#include "port_entry.h"
#include "port_view.h"
#include "shown_text.h"
#include "win_app.h"

namespace {

constexpr UINT kAppTitle = 57344;    // AFX_IDS_APP_TITLE
constexpr UINT kIdleMessage = 57345; // AFX_IDS_IDLEMESSAGE
constexpr UINT kWebSite = 61465;
constexpr UINT kAdministratorOn = 61471;
constexpr UINT kAdministratorUnavailable = 61472;
constexpr UINT kCollectorAnswering = 61473;
constexpr UINT kCollectorNotFound = 61474;
constexpr UINT kCollectorNotAuthorised = 61475;
constexpr UINT kCollectorGone = 61476;
constexpr UINT kCollectorWrongAnswer = 61477;
constexpr UINT kCollectorSilent = 61478;
constexpr UINT kCollectorIncomplete = 61479;
constexpr UINT kAdministratorStarting = 61480;
constexpr UINT kAdministratorAgain = 61481;
constexpr int kStartPollMs = 100;
constexpr WORD kFrameIcon = 128;
constexpr int kTreeWidth = 180;
constexpr int kButtonSize = 24;
constexpr const char* kSiblingProgram = "Morvik";

// Toolbar 128: 0 is a separator.
constexpr UINT kToolbar[] = {ID_VIEW_REFRESH,          0, ID_TOOLS_FIREWALL, 0,
                             ID_TOOLS_PROCESS_MANAGER, 0, ID_APP_ABOUT,      ID_HELP_WEBSITE};
constexpr WORD kToolbarIcons[] = {132, 136, 138, 133, 134};

std::string Resource(UINT id) {
    return ombrel::platform::LoadResourceString(id);
}

// A command's string: the fly-by prompt, a line break, the tooltip.
QString PromptOf(UINT id) {
    std::string text = Resource(id);
    return QString::fromStdString(text.substr(0, text.find('\n')));
}

QString TooltipOf(UINT id) {
    std::string text = Resource(id);
    size_t cut = text.find('\n');
    return QString::fromStdString(cut == std::string::npos ? text : text.substr(cut + 1));
}

// Appends text to the path in a buffer of MAX_PATH bytes; false, with the
// buffer as it was, when it would not fit.
bool AppendPath(char* buffer, const char* text) {
    size_t used = std::strlen(buffer);
    size_t more = std::strlen(text);
    if (used + more + 1 > MAX_PATH)
        return false;
    std::memcpy(buffer + used, text, more + 1);
    return true;
}

} // namespace

CMainFrame::CMainFrame() {
    m_bSplitterReady = FALSE;
    m_bFirewallApplet = HasFirewallApplet(m_szFirewallApplet);
    m_nFilter = -1;
}

CMainFrame::~CMainFrame() = default;

BOOL CMainFrame::HasFirewallApplet(char* program) {
    for (const char* name : ombrel::platform::FirewallSettingsPrograms()) {
        char path[MAX_PATH];
        std::memset(path, 0, sizeof path);
        GetSystemDirectoryA(path, MAX_PATH);
        // A system directory too long for the buffer finds no applet.
        if (path[0] == '\0' || !AppendPath(path, ombrel::platform::kPathSeparatorText) ||
            !AppendPath(path, name))
            continue;
        if (IsExistingFile(path)) {
            if (program != nullptr)
                std::memcpy(program, path, MAX_PATH);
            return TRUE;
        }
    }
    return FALSE;
}

// The title is the frame's own: no document name is ever added to it.
BOOL CMainFrame::PreCreateWindow(CREATESTRUCT&) {
    return TRUE;
}

int CMainFrame::OnCreate(CCreateContext* context) {
    if (!OnCreateClient(context))
        return -1;

    m_wndToolBar = new QToolBar(this);
    m_wndToolBar->setObjectName(QStringLiteral("toolbar"));
    m_wndToolBar->setMovable(false); // no gripper, no docking: fixed along the top
    m_wndToolBar->setFloatable(false);
    m_wndToolBar->setIconSize(QSize(kButtonSize, kButtonSize));
    m_wndToolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    m_wndToolBar->toggleViewAction()->setVisible(false);
    setContextMenuPolicy(Qt::NoContextMenu);
    addToolBar(Qt::TopToolBarArea, m_wndToolBar);
    AddCommand(ID_APP_ABOUT, QStringLiteral("关于..."));
    for (UINT id : kToolbar) {
        if (id == 0)
            m_wndToolBar->addSeparator();
        else
            m_wndToolBar->addAction(AddCommand(id));
    }

    // The overflow button Qt adds reads as an unnamed check box otherwise.
    if (auto* more = m_wndToolBar->findChild<QToolButton*>(QStringLiteral("qt_toolbar_ext_button")))
        more->setAccessibleName(QStringLiteral("更多"));

    m_pStatusPane = new QLabel(QString::fromStdString(Resource(kIdleMessage)));
    m_pStatusPane->setObjectName(QStringLiteral("pane0"));
    // Paths are anyone's text: never markup, never a picture to load.
    m_pStatusPane->setTextFormat(Qt::PlainText);
    // One height whatever the pane shows: Chinese text takes its glyphs from
    // a taller face than a path does, and a bar that changed height by a
    // pixel would resize the data frame and undo a dragged split. "Xy"
    // stands for a path: Latin, with a capital's height and a descender.
    const QString idle = m_pStatusPane->text();
    int tallest = 0;
    for (const QString& sample : {idle, QStringLiteral("Xy"), QString()}) {
        m_pStatusPane->setText(sample);
        tallest = std::max(tallest, m_pStatusPane->sizeHint().height());
    }
    m_pStatusPane->setText(idle);
    m_pStatusPane->setMinimumHeight(tallest);
    statusBar()->addWidget(m_pStatusPane, 1);
    statusBar()->setSizeGripEnabled(true);

    // Menu 128 and the accelerators 128.
    QMenu* menu = menuBar()->addMenu(QStringLiteral("菜单"));
    menu->addAction(AddCommand(ID_APP_ABOUT));
    menu->addSeparator();
    menu->addAction(AddCommand(ID_APP_EXIT, QStringLiteral("退出(&X)")));
    const std::pair<UINT, QList<QKeySequence>> accelerators[] = {
        {ID_FILE_NEW, {QKeySequence(Qt::CTRL | Qt::Key_N)}},
        {ID_FILE_OPEN, {QKeySequence(Qt::CTRL | Qt::Key_O)}},
        {ID_FILE_SAVE, {QKeySequence(Qt::CTRL | Qt::Key_S)}},
        {ID_EDIT_UNDO,
         {QKeySequence(Qt::CTRL | Qt::Key_Z), QKeySequence(Qt::ALT | Qt::Key_Backspace)}},
        {ID_EDIT_CUT,
         {QKeySequence(Qt::CTRL | Qt::Key_X), QKeySequence(Qt::SHIFT | Qt::Key_Delete)}},
        {ID_EDIT_COPY,
         {QKeySequence(Qt::CTRL | Qt::Key_C), QKeySequence(Qt::CTRL | Qt::Key_Insert)}},
        {ID_EDIT_PASTE,
         {QKeySequence(Qt::CTRL | Qt::Key_V), QKeySequence(Qt::SHIFT | Qt::Key_Insert)}},
        {ID_NEXT_PANE, {QKeySequence(Qt::Key_F6)}},
        {ID_PREV_PANE, {QKeySequence(Qt::SHIFT | Qt::Key_F6)}},
    };
    for (const auto& [id, keys] : accelerators) {
        QAction* action = AddCommand(id);
        action->setShortcuts(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        addAction(action);
    }

    resize(900, 600);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        CentreOnWorkArea(screen->availableGeometry());

    m_imageList.Create(kButtonSize, kButtonSize, ILC_COLOR32 | ILC_MASK, 5, 5);
    for (WORD icon : kToolbarIcons)
        if (HICON handle = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(icon)))
            m_imageList.Add(handle);
    // The buttons take the images in order; a missing icon moves the rest up.
    int image = 0;
    for (UINT id : kToolbar)
        if (id != 0) {
            GetCommand(id)->setIcon(QIcon(m_imageList.GetImage(image++)));
            GetCommand(id)->setIconVisibleInMenu(false); // the menu has no images
        }

    // The frame's icon is the program's (resource 128), at the sizes task
    // bars and window lists ask for.
    QIcon frameIcon;
    if (HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kFrameIcon)))
        for (int size : {16, 24, 32, 48, 64, 128, 256})
            frameIcon.addPixmap(ombrel::platform::IconPixmap(icon, size));
    setWindowIcon(frameIcon);

    CCmdUI update{GetCommand(ID_TOOLS_FIREWALL)};
    OnUpdateFirewallSettings(&update);
    setWindowTitle(QString::fromStdString(Resource(kAppTitle) + " V2.01"));
    return 0;
}

// As the framework centres a frame: on the work area, never with its
// top-left corner off it. A default size larger than the work area (a small
// screen, a large scale) is cut to fit it with the title bar and edges that
// the window system adds outside this size: their real sizes once the window
// has them, an estimate from the style before.
void CMainFrame::CentreOnWorkArea(const QRect& area) {
    QMargins edges;
    if (QWindow* window = windowHandle())
        edges = window->frameMargins();
    if (edges.isNull()) {
        const int edge = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) + 1;
        const int title = style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, this);
        edges = QMargins(edge, title + edge, edge, edge);
    }
    const QSize outside(edges.left() + edges.right(), edges.top() + edges.bottom());
    resize(size().boundedTo(area.size() - outside));
    const QSize whole = size() + outside;
    QPoint at = area.topLeft() +
                QPoint((area.width() - whole.width()) / 2, (area.height() - whole.height()) / 2);
    move(std::max(at.x(), area.left()), std::max(at.y(), area.top()));
}

void CMainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    // The first showing tells the window's real edges; a frame they push
    // off the work area is fitted again.
    if (m_bPlaced || event->spontaneous())
        return;
    m_bPlaced = true;
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen != nullptr && !screen->availableGeometry().contains(frameGeometry()))
        CentreOnWorkArea(screen->availableGeometry());
}

BOOL CMainFrame::OnCreateClient(CCreateContext* context) {
    if (!m_wndSplitter.CreateStatic(this, 1, 2))
        return FALSE;
    setCentralWidget(&m_wndSplitter);
    QSize client = size();
    CRuntimeClass dataView = [](QWidget* parent, DWORD, CCreateContext* ctx) -> QWidget* {
        auto* frame = new CDataView();
        frame->resize(parent->size());
        if (!frame->Create(parent, ctx)) {
            delete frame;
            return nullptr;
        }
        return frame;
    };
    if (!m_wndSplitter.CreateView(0, 0, RuntimeClassOf<CClassView>(),
                                  QSize(kTreeWidth, client.height()), context) ||
        !m_wndSplitter.CreateView(0, 1, dataView,
                                  QSize(client.width() - kTreeWidth, client.height()), context)) {
        m_wndSplitter.DestroyWindow();
        return FALSE;
    }
    m_bSplitterReady = TRUE;
    return TRUE;
}

void CMainFrame::OnSize(UINT, int, int) {
    if (!m_bSplitterReady)
        return;
    // The one row fills the splitter; the tree keeps its width.
    m_wndSplitter.SetRowInfo(0, height(), 100);
    m_wndSplitter.RecalcLayout();
}

void CMainFrame::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    OnSize(SIZE_RESTORED, width(), height());
}

void CMainFrame::InitialUpdateFrame() {
    if (CClassView* tree = GetClassView())
        tree->OnInitialUpdate();
    if (CPortView* list = GetPortView())
        list->OnInitialUpdate();
    if (CDetailView* detail = GetDetailView())
        detail->OnInitialUpdate();
    UpdateAdministratorPane();
    TellOwnerSource();
}

// For an administrator who wonders where the owners came from: with
// OMBREL_OWNER_SOURCE set, each refresh's source goes to standard error.
void CMainFrame::TellOwnerSource() {
    const char* ask = std::getenv("OMBREL_OWNER_SOURCE");
    if (ask == nullptr || *ask == '\0')
        return;
    CPortView* list = GetPortView();
    if (list == nullptr)
        return;
    const std::string& report = list->GetTable().OwnerSource();
    for (size_t start = 0; start < report.size();) {
        size_t end = std::min(report.find('\n', start), report.size());
        std::fprintf(stderr, "ombrel: %s\n", ShownText(report.substr(start, end - start)).c_str());
        start = end + 1;
    }
}

// In administrator mode only, a second pane at the status bar's right end
// says whether the collector answered the last refresh, and its tooltip
// why not; failures stay there, never in a message box.
void CMainFrame::UpdateAdministratorPane() {
    using ombrel::platform::AdministratorMode;
    using ombrel::platform::CollectorFailure;
    AdministratorMode mode = ombrel::platform::CurrentAdministratorMode();
    if (mode == AdministratorMode::Off && m_pAdministratorPane == nullptr)
        return;
    if (m_pAdministratorPane == nullptr) {
        m_pAdministratorPane = new QLabel;
        m_pAdministratorPane->setObjectName(QStringLiteral("administrator"));
        m_pAdministratorPane->setTextFormat(Qt::PlainText);
        m_pAdministratorPane->installEventFilter(this);
        statusBar()->addPermanentWidget(m_pAdministratorPane);
    }
    UINT tip = kCollectorAnswering;
    switch (ombrel::platform::LastCollectorFailure()) {
    case CollectorFailure::None:
        break;
    case CollectorFailure::NotFound:
        tip = kCollectorNotFound;
        break;
    case CollectorFailure::NotAuthorised:
        tip = kCollectorNotAuthorised;
        break;
    case CollectorFailure::Gone:
        tip = kCollectorGone;
        break;
    case CollectorFailure::WrongAnswer:
        tip = kCollectorWrongAnswer;
        break;
    case CollectorFailure::Silent:
        tip = kCollectorSilent;
        break;
    case CollectorFailure::Incomplete:
        tip = kCollectorIncomplete;
        break;
    }
    QString text, toolTip;
    switch (mode) {
    case AdministratorMode::Off:
    case AdministratorMode::Unavailable:
        // The way back: a click on this pane asks for the rights again.
        text = QString::fromStdString(Resource(kAdministratorUnavailable));
        toolTip = QString::fromStdString(Resource(tip) + "\n" + Resource(kAdministratorAgain));
        break;
    case AdministratorMode::Starting:
        text = toolTip = QString::fromStdString(Resource(kAdministratorStarting));
        break;
    case AdministratorMode::Collecting:
        text = QString::fromStdString(Resource(kAdministratorOn));
        toolTip = QString::fromStdString(Resource(kCollectorAnswering));
        break;
    }
    m_pAdministratorPane->setText(text);
    m_pAdministratorPane->setToolTip(toolTip);
    m_pAdministratorPane->setCursor(mode == AdministratorMode::Unavailable ||
                                            mode == AdministratorMode::Off
                                        ? Qt::PointingHandCursor
                                        : Qt::ArrowCursor);
}

void CMainFrame::AskForAdministrator() {
    using ombrel::platform::AdministratorMode;
    AdministratorMode mode = ombrel::platform::CurrentAdministratorMode();
    if (m_pAdministratorPane == nullptr || mode == AdministratorMode::Starting ||
        mode == AdministratorMode::Collecting)
        return;
    // pkexec asks through the session's agent while the window goes on; a
    // collector that is still there (it only missed one answer) is kept.
    ombrel::platform::BeginCollectorStart();
    if (ombrel::platform::CurrentAdministratorMode() != AdministratorMode::Starting) {
        OnRefresh();
        return;
    }
    UpdateAdministratorPane();
    if (m_pCollectorStart == nullptr) {
        m_pCollectorStart = new QTimer(this);
        m_pCollectorStart->setInterval(kStartPollMs);
        QObject::connect(m_pCollectorStart, &QTimer::timeout, this, [this] {
            if (ombrel::platform::PollCollectorStart() == AdministratorMode::Starting)
                return;
            m_pCollectorStart->stop();
            OnRefresh();
        });
    }
    m_pCollectorStart->start();
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_pAdministratorPane && event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        AskForAdministrator();
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}

QString CMainFrame::GetAdministratorText() const {
    return m_pAdministratorPane ? m_pAdministratorPane->text() : QString();
}

QAction* CMainFrame::AddCommand(UINT id, const QString& text) {
    if (QAction* existing = GetCommand(id))
        return existing;
    auto* action = new QAction(text.isEmpty() ? TooltipOf(id) : text, this);
    action->setToolTip(TooltipOf(id));
    action->setStatusTip(PromptOf(id));
    action->setData(id);
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    m_commands.emplace(id, action);
    return action;
}

QAction* CMainFrame::GetCommand(UINT id) const {
    auto found = m_commands.find(id);
    return found == m_commands.end() ? nullptr : found->second;
}

void CMainFrame::OnCommand(UINT id) {
    switch (id) {
    case ID_VIEW_REFRESH:
        OnRefresh();
        break;
    case ID_HELP_WEBSITE:
        OnVisitWebSite();
        break;
    case ID_TOOLS_FIREWALL:
        OnFirewallSettings();
        break;
    case ID_TOOLS_PROCESS_MANAGER:
        OnProcessManager();
        break;
    case ID_APP_EXIT:
        close();
        break;
    case ID_NEXT_PANE:
        MovePaneFocus(1);
        break;
    case ID_PREV_PANE:
        MovePaneFocus(-1);
        break;
    default:
        // The rest is the application's (about, new, open, save) or nobody's.
        if (CWinApp* app = AfxGetApp())
            app->OnCommand(id);
        break;
    }
}

void CMainFrame::MovePaneFocus(int step) {
    QWidget* panes[] = {GetClassView(), GetPortView(), GetDetailView()};
    int current = 0;
    for (int i = 0; i < 3; ++i)
        if (panes[i] != nullptr && panes[i]->hasFocus())
            current = i;
    for (int tried = 1; tried <= 3; ++tried) {
        QWidget* next = panes[(current + 3 + step * tried) % 3];
        if (next != nullptr && next->isVisible()) {
            next->setFocus(Qt::OtherFocusReason);
            return;
        }
    }
}

bool CMainFrame::event(QEvent* event) {
    // The one pane shows a command's prompt while the pointer rests on it,
    // and the idle text after it.
    if (event->type() == QEvent::StatusTip && m_pStatusPane != nullptr) {
        QString tip = static_cast<QStatusTipEvent*>(event)->tip();
        m_pStatusPane->setText(tip.isEmpty() ? QString::fromStdString(Resource(kIdleMessage))
                                             : tip);
        return true;
    }
    return QMainWindow::event(event);
}

CClassView* CMainFrame::GetClassView() const {
    return qobject_cast<CClassView*>(m_wndSplitter.GetPane(0, 0));
}

CDataView* CMainFrame::GetDataView() const {
    return qobject_cast<CDataView*>(m_wndSplitter.GetPane(0, 1));
}

CPortView* CMainFrame::GetPortView() const {
    CDataView* frame = GetDataView();
    return frame ? qobject_cast<CPortView*>(frame->m_wndSplitter.GetPane(0, 0)) : nullptr;
}

CDetailView* CMainFrame::GetDetailView() const {
    CDataView* frame = GetDataView();
    return frame ? qobject_cast<CDetailView*>(frame->m_wndSplitter.GetPane(1, 0)) : nullptr;
}

QString CMainFrame::GetStatusText() const {
    return m_pStatusPane ? m_pStatusPane->text() : QString();
}

void CMainFrame::ShowEntry(const PortEntry* entry) {
    if (m_pStatusPane != nullptr) {
        m_pStatusPane->setText(entry ? QString::fromStdString(ShownText(entry->processPath +
                                                                        CompartmentSuffix(*entry)))
                                     : QString());
        m_pStatusPane->repaint();
    }
    if (CDetailView* detail = GetDetailView())
        detail->SetEntry(entry);
}

void CMainFrame::SetFilter(int filter) {
    m_nFilter = filter;
    ShowEntry(nullptr);
    if (CPortView* list = GetPortView())
        list->FillList(filter);
}

void CMainFrame::OnRefresh() {
    ShowEntry(nullptr);
    if (CPortView* list = GetPortView())
        list->RefreshList(m_nFilter);
    UpdateAdministratorPane();
    TellOwnerSource();
}

void CMainFrame::OnVisitWebSite() {
    std::string address = Resource(kWebSite);
    ShellExecuteA(nullptr, "Open", address.c_str(), nullptr, nullptr, SW_SHOW);
}

// Starts the settings program found when the frame was made; the command's
// enabling, not this handler, looks at whether there was one.
void CMainFrame::OnFirewallSettings() {
    ShellExecuteA(nullptr, "Open", m_szFirewallApplet, nullptr, nullptr, SW_SHOW);
}

void CMainFrame::OnUpdateFirewallSettings(CCmdUI* cmdUI) {
    cmdUI->Enable(m_bFirewallApplet);
}

void CMainFrame::OnProcessManager() {
    char path[MAX_PATH];
    std::memset(path, 0, sizeof path);
    GetModuleDirectory(reinterpret_cast<HINSTANCE>(GetModuleHandleA(nullptr)), path, MAX_PATH);
    // A directory too long for the buffer leaves the button without effect.
    if (!AppendPath(path, kSiblingProgram) ||
        !AppendPath(path, ombrel::platform::kExecutableSuffix))
        return;
    RunProgram(path, nullptr, SW_SHOW);
}
