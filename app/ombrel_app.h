// The application object: where the program's own start-up begins.
#pragma once

#include <memory>

#include <windows.h>

#include "doc_template.h"

class CMainFrame;

class COmbrelApp {
public:
    COmbrelApp(int argc, const char* const* argv) : m_argc(argc), m_argv(argv) {}
    virtual ~COmbrelApp();

    // FALSE ends the program.
    virtual BOOL InitInstance();

    // 1 only on platform versions 5.1 and 5.2.
    static int IsSupportedVersion();
    // The result of the privilege adjustment; 0 when the token cannot be opened.
    static int EnableDebugPrivilege();

    CMainFrame* MainFrame() const;

private:
    int m_argc;
    const char* const* m_argv;
    std::unique_ptr<CSingleDocTemplate> m_pDocTemplate;
};
