#include "ombrel_app.h"

#include <QFileDialog>

#include <ombrel/framework.h>
#include <ombrel/process_setup.h>

#include "command_line_info.h"
#include "debug_privilege.h"

#include "about_dlg.h"
#include "main_frame.h"
#include "ombrel_doc.h"

namespace {
constexpr UINT kUnsupportedPlatform = 61470;
constexpr UINT kAppTitle = 57344;
constexpr UINT kMainFrameResource = 128;

// The framework's message box by string id, captioned with the program's name.
void MessageBoxById(UINT id, UINT type) {
    std::string text = ombrel::platform::LoadResourceString(id);
    std::string caption = ombrel::platform::LoadResourceString(kAppTitle);
    MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
}
} // namespace

COmbrelApp::COmbrelApp(int argc, const char* const* argv) : m_argc(argc), m_argv(argv) {}

COmbrelApp::~COmbrelApp() {
    if (CWinThread* thread = AfxGetThread())
        thread->m_pMainWnd = nullptr;
    m_pDocTemplate.reset();
}

int COmbrelApp::IsSupportedVersion() {
    OSVERSIONINFOA version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(&version))
        return 0;
    return version.dwMajorVersion == 5 && version.dwMinorVersion >= 1 ? 1 : 0;
}

int COmbrelApp::EnableDebugPrivilege() {
    return EnableSnapshotPrivilege();
}

BOOL COmbrelApp::InitInstance() {
    if (!IsSupportedVersion()) {
        MessageBoxById(kUnsupportedPlatform, MB_ICONSTOP | MB_OK);
        return FALSE;
    }
    // Control containment and the three-dimensional look are what Qt's
    // widgets do anyway; nothing to enable.
    EnableDebugPrivilege();

    m_pDocTemplate = std::make_unique<CSingleDocTemplate>(
        kMainFrameResource, MakeObject<COmbrelDoc>, MakeObject<CMainFrame>);
    CCommandLineInfo commandLine;
    commandLine.ParseCommandLine(m_argc, m_argv);
    const char* file = commandLine.m_nShellCommand == CCommandLineInfo::FileOpen
                           ? commandLine.m_strFileName.c_str()
                           : nullptr;
    if (!m_pDocTemplate->OpenDocumentFile(file))
        return FALSE;

    CMainFrame* frame = MainFrame();
    if (CWinThread* thread = AfxGetThread())
        thread->m_pMainWnd = frame;
    frame->show();
    frame->repaint();
    return TRUE;
}

void COmbrelApp::OnCommand(UINT id) {
    switch (id) {
    case ID_APP_ABOUT:
        OnAppAbout();
        break;
    case ID_FILE_NEW:
        OnFileNew();
        break;
    case ID_FILE_OPEN:
        OnFileOpen();
        break;
    case ID_FILE_SAVE:
        OnFileSave();
        break;
    default:
        break; // undo, cut, copy, paste: nothing handles them
    }
}

void COmbrelApp::OnAppAbout() {
    RunAboutBox();
}

int COmbrelApp::RunAboutBox() {
    CAboutDlg about(MainFrame());
    return about.DoModal();
}

void COmbrelApp::OnFileNew() {
    if (m_pDocTemplate)
        m_pDocTemplate->OpenDocumentFile(nullptr);
}

void COmbrelApp::OnFileOpen() {
    std::string name;
    if (m_pDocTemplate && DoPromptFileName(name, true))
        m_pDocTemplate->OpenDocumentFile(name.c_str());
}

void COmbrelApp::OnFileSave() {
    if (m_pDocTemplate && m_pDocTemplate->Document())
        m_pDocTemplate->Document()->DoFileSave();
}

bool COmbrelApp::DoPromptFileName(std::string& fileName, bool open) {
    // With rights its user may lack, the dialog is Qt's own, whose folder
    // view can be made read-only: no delete, rename or new folder.
    QFileDialog::Options options;
    if (ombrel::platform::RunsPrivileged())
        options = QFileDialog::DontUseNativeDialog | QFileDialog::ReadOnly;
    const QString proposed = QString::fromStdString(fileName);
    QString chosen =
        open ? QFileDialog::getOpenFileName(MainFrame(), {}, proposed, {}, nullptr, options)
             : QFileDialog::getSaveFileName(MainFrame(), {}, proposed, {}, nullptr, options);
    if (chosen.isEmpty())
        return false;
    fileName = chosen.toStdString();
    return true;
}

CMainFrame* COmbrelApp::MainFrame() const {
    // The template makes no other kind of frame.
    return m_pDocTemplate ? static_cast<CMainFrame*>(m_pDocTemplate->Frame()) : nullptr;
}
