// The application object: where the program's own start-up begins.
#pragma once

#include <memory>
#include <string>

#include <windows.h>

#include "doc_template.h"
#include "win_app.h"

class CMainFrame;

class COmbrelApp : public CWinApp {
public:
    COmbrelApp(int argc, const char* const* argv);
    ~COmbrelApp() override;

    // FALSE ends the program.
    virtual BOOL InitInstance();

    // 1 only on platform versions 5.1 and 5.2.
    static int IsSupportedVersion();
    // The result of the privilege adjustment; 0 when the token cannot be opened.
    static int EnableDebugPrivilege();

    // The application's commands: the about box, new, open and save.
    void OnCommand(UINT id) override;
    void OnAppAbout();
    void OnFileNew();
    void OnFileOpen();
    void OnFileSave();
    // Asks the user for a file name, proposing fileName; false when the
    // user cancels.
    bool DoPromptFileName(std::string& fileName, bool open) override;
    // Shows the about box; its result is not looked at.
    virtual int RunAboutBox();

    CMainFrame* MainFrame() const;
    CSingleDocTemplate* DocTemplate() const { return m_pDocTemplate.get(); }

private:
    int m_argc;
    const char* const* m_argv;
    std::unique_ptr<CSingleDocTemplate> m_pDocTemplate;
};
