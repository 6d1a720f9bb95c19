#include "main_frame.h"

#include <QGuiApplication>
#include <QScreen>

#include <ombrel/framework.h>

#include "ombrel_doc.h"

namespace {
constexpr UINT kAppTitle = 57344; // AFX_IDS_APP_TITLE
}

CMainFrame::CMainFrame(COmbrelDoc* document) : m_pDocument(document) {
    setWindowTitle(
        QString::fromStdString(ombrel::platform::LoadResourceString(kAppTitle) + " V2.01"));
    resize(800, 560);
    // Centred on the screen it opens on.
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

CMainFrame::~CMainFrame() = default;

void CMainFrame::OnInitialUpdate() {
    m_table.Refresh();
}
