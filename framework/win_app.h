// The GUI thread and the application object, as views and frames reach
// them without knowing the program's own classes.
#pragma once

#include <string>

#include <windows.h>

class QWidget;

// The GUI thread and its main window.
class CWinThread {
public:
    QWidget* GetMainWnd() const { return m_pMainWnd; }
    QWidget* m_pMainWnd = nullptr;
};

// The GUI thread's object when called on the GUI thread, else none.
CWinThread* AfxGetThread();

// The application object: the last stop of a command nothing else handles.
class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Handles the application's own commands; the framework's object knows
    // none.
    virtual void OnCommand(UINT) {}
    // Asks the user for a file to open or a name to save under, proposing
    // fileName; false when the user cancels. The framework's object asks
    // nobody.
    virtual bool DoPromptFileName(std::string& /*fileName*/, bool /*open*/) { return false; }
};

// The one application object, while it lives.
CWinApp* AfxGetApp();
