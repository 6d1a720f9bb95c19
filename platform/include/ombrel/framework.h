// The few window-framework pieces Qt does not give: resources by number and
// the GUI thread's main window.
#pragma once

#include <string>

#include <windows.h>

class QIcon;
class QWidget;

namespace ombrel::platform {

// The string table entry, or empty text when there is none.
std::string LoadResourceString(UINT id);

// From now on MessageBoxA shows a window while a QApplication exists (the
// window part of the layer; without it messages go to standard error).
void UseWindowMessageBoxes();

} // namespace ombrel::platform

// The GUI thread and its main window, as views reach the main frame.
class CWinThread {
public:
    QWidget* GetMainWnd() const { return m_pMainWnd; }
    QWidget* m_pMainWnd = nullptr;
};

// The GUI thread's object when called on the GUI thread, else none.
CWinThread* AfxGetThread();
