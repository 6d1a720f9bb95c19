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

    // Creates the frame's window: PreCreateWindow, then OnCreate, which
    // makes the panes for the context's document.
    virtual BOOL LoadFrame(CCreateContext* context);
    virtual BOOL PreCreateWindow(CREATESTRUCT&) { return TRUE; }
    virtual int OnCreate(CCreateContext* context) { return OnCreateClient(context) ? 0 : -1; }
    virtual BOOL OnCreateClient(CCreateContext*) { return TRUE; }
    // The initial update of every view the frame holds, in the order they
    // were made.
    virtual void InitialUpdateFrame();
};

// The enabling of one command, as its update handler sets it.
struct CCmdUI {
    QAction* m_pAction;
    void Enable(BOOL on);
};
