#include "data_view.h"

#include "create_context.h"
#include "detail_view.h"
#include "port_view.h"

CDataView::CDataView(QWidget* parent) : QWidget(parent) {}

BOOL CDataView::Create(QWidget* parent, CCreateContext* context) {
    if (parent != nullptr)
        setParent(parent);
    return OnCreateClient(context);
}

BOOL CDataView::OnCreateClient(CCreateContext* context) {
    if (!m_wndSplitter.CreateStatic(this, 2, 1))
        return FALSE;
    m_wndSplitter.setGeometry(rect());
    int w = width();
    int h = height();
    if (!m_wndSplitter.CreateView(0, 0, RuntimeClassOf<CPortView>(), QSize(w, h - kDetailHeight),
                                  context) ||
        !m_wndSplitter.CreateView(1, 0, RuntimeClassOf<CDetailView>(), QSize(w, kDetailHeight),
                                  context)) {
        m_wndSplitter.DestroyWindow();
        return FALSE;
    }
    if (auto* detail = qobject_cast<CDetailView*>(m_wndSplitter.GetPane(1, 0)))
        detail->OnSize(SIZE_RESTORED, 0, 0);
    m_bSplitterReady = TRUE;
    return TRUE;
}

void CDataView::OnSize(UINT, int, int) {
    m_wndSplitter.setGeometry(rect());
    if (!m_bSplitterReady)
        return;
    // The frame's outer height (it has no edge of its own): the detail pane
    // gets its fixed share back on every resize, the list the rest.
    int outer = frameGeometry().height();
    m_wndSplitter.SetRowInfo(0, outer - kDetailHeight, 10);
    m_wndSplitter.SetRowInfo(1, kDetailHeight, 10);
    m_wndSplitter.RecalcLayout();
}

void CDataView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    OnSize(SIZE_RESTORED, width(), height());
}
