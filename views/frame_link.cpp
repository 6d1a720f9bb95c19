#include "frame_link.h"

#include <QWidget>

#include "win_app.h"

CMainFrameLink* GetMainFrameLink() {
    CWinThread* thread = AfxGetThread();
    if (thread == nullptr)
        return nullptr;
    QWidget* mainWindow = thread->GetMainWnd();
    if (mainWindow == nullptr)
        return nullptr;
    return dynamic_cast<CMainFrameLink*>(mainWindow);
}
