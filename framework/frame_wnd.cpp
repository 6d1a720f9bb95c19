#include "frame_wnd.h"

#include <QAction>

#include "view.h"

void CCmdUI::Enable(BOOL on) {
    if (m_pAction != nullptr)
        m_pAction->setEnabled(on != FALSE);
}

BOOL CFrameWnd::LoadFrame(CCreateContext* context) {
    CREATESTRUCT cs{};
    cs.style = static_cast<LONG>(WS_VISIBLE);
    if (!PreCreateWindow(cs))
        return FALSE;
    return OnCreate(context) == 0;
}

void CFrameWnd::InitialUpdateFrame() {
    for (QWidget* child : findChildren<QWidget*>())
        if (auto* view = dynamic_cast<CView*>(child))
            view->OnInitialUpdate();
}
