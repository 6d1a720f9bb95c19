#include "frame_wnd.h"

#include <QAction>

void CCmdUI::Enable(BOOL on) {
    if (m_pAction != nullptr)
        m_pAction->setEnabled(on != FALSE);
}
