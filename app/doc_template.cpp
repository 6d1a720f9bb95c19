#include "doc_template.h"

#include <strings.h>

#include <ombrel/framework.h>

#include "main_frame.h"
#include "ombrel_doc.h"

namespace {
constexpr UINT kAppTitle = 57344;
constexpr const char* kFailedToOpen = "打开文档失败。";

// The standard parser's flags, which a '/' may also begin; any other
// argument that begins with '/' is an absolute path.
bool IsSlashFlag(const char* arg) {
    for (const char* flag : {"dde", "p", "pt", "embedding", "automation", "register", "regserver",
                             "unregister", "unregserver"})
        if (::strcasecmp(arg + 1, flag) == 0)
            return true;
    return false;
}
} // namespace

CSingleDocTemplate::CSingleDocTemplate(UINT resourceId) : m_resourceId(resourceId) {}

// The frame goes before the document its views show.
CSingleDocTemplate::~CSingleDocTemplate() {
    m_frame.reset();
}

bool CSingleDocTemplate::OpenDocumentFile(const char* path) {
    if (!m_document)
        m_document = std::make_unique<COmbrelDoc>();
    if (path != nullptr && !m_document->OnOpenDocument(path)) {
        // The framework's own word on a document it cannot open.
        std::string caption = ombrel::platform::LoadResourceString(kAppTitle);
        MessageBoxA(nullptr, kFailedToOpen, caption.c_str(), MB_ICONEXCLAMATION | MB_OK);
        return false;
    }
    if (path == nullptr && !m_document->OnNewDocument())
        return false;
    if (!m_frame) {
        auto frame = std::make_unique<CMainFrame>();
        CCreateContext context{m_document.get()};
        if (!frame->LoadFrame(&context))
            return false;
        m_frame = std::move(frame);
    }
    // Every new or opened document sends the views their initial update.
    m_frame->InitialUpdateFrame();
    return true;
}

void CCommandLineInfo::ParseCommandLine(int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == nullptr || argv[i][0] == '-' || (argv[i][0] == '/' && IsSlashFlag(argv[i])))
            continue; // flags of the standard parser carry nothing this program uses
        m_nShellCommand = FileOpen;
        m_strFileName = argv[i];
        return;
    }
}
