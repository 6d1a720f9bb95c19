// The main frame as the document template drives it, and the enabling of
// its commands.
#pragma once

#include <QMainWindow>

#include <windows.h>

#include "create_context.h"

class QAction;

class CFrameWnd : public QMainWindow {
    Q_OBJECT
public:
    using QMainWindow::QMainWindow;

    // Creates the frame's window and its panes for the context's document.
    virtual BOOL LoadFrame(CCreateContext* context) = 0;
    // The framework's initial update of every view, in pane order.
    virtual void InitialUpdateFrame() = 0;
};

// The enabling of one command, as its update handler sets it.
struct CCmdUI {
    QAction* m_pAction;
    void Enable(BOOL on);
};
