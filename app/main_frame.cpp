#include "main_frame.h"

#include <QGuiApplication>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>

#include <ombrel/framework.h>

#include "class_view.h"
#include "ombrel_doc.h"
#include "port_entry.h"
#include "port_view.h"

namespace {
constexpr UINT kAppTitle = 57344; // AFX_IDS_APP_TITLE
}

CMainFrame::CMainFrame(COmbrelDoc* document)
    : m_pDocument(document), m_pSplitter(new QSplitter(Qt::Horizontal, this)) {
    auto* tree = new CClassView();
    tree->Create(m_pSplitter);
    auto* list = new CPortView();
    list->Create(m_pSplitter);
    m_pSplitter->addWidget(tree);
    m_pSplitter->addWidget(list);
    m_pSplitter->setSizes({180, 620});
    m_pSplitter->setStretchFactor(1, 1);
    setCentralWidget(m_pSplitter);
    statusBar();

    setWindowTitle(
        QString::fromStdString(ombrel::platform::LoadResourceString(kAppTitle) + " V2.01"));
    resize(800, 560);
    // Centred on the screen it opens on.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

CMainFrame::~CMainFrame() = default;

CClassView* CMainFrame::GetClassView() const {
    return qobject_cast<CClassView*>(m_pSplitter->widget(0));
}

CPortView* CMainFrame::GetPortView() const {
    return qobject_cast<CPortView*>(m_pSplitter->widget(1));
}

void CMainFrame::OnInitialUpdate() {
    if (CClassView* tree = GetClassView())
        tree->OnInitialUpdate();
    if (CPortView* list = GetPortView())
        list->OnInitialUpdate();
}

QString CMainFrame::GetStatusText() const {
    return statusBar()->currentMessage();
}

void CMainFrame::ShowEntry(const PortEntry* entry) {
    statusBar()->showMessage(entry ? QString::fromUtf8(entry->processPath) : QString());
    statusBar()->repaint();
}

void CMainFrame::SetFilter(int filter) {
    m_nFilter = filter;
    ShowEntry(nullptr);
    if (CPortView* list = GetPortView())
        list->FillList(filter);
}
