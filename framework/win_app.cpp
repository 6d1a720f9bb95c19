#include "win_app.h"

#include <QCoreApplication>
#include <QThread>

namespace {
CWinApp* theApp = nullptr;
} // namespace

CWinThread* AfxGetThread() {
    static CWinThread guiThread;
    QCoreApplication* app = QCoreApplication::instance();
    if (app == nullptr || QThread::currentThread() != app->thread())
        return nullptr;
    return &guiThread;
}

CWinApp::CWinApp() {
    theApp = this;
}

CWinApp::~CWinApp() {
    if (theApp == this)
        theApp = nullptr;
}

CWinApp* AfxGetApp() {
    return theApp;
}
