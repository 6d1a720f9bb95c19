#include "doc_template.h"

#include <string>

#include <ombrel/framework.h>

namespace {
constexpr UINT kAppTitle = 57344;
constexpr const char* kFailedToOpen = "打开文档失败。";
// The title of a document with no name of its own, where the template's
// string names none.
constexpr const char* kUntitled = "无标题";
} // namespace

CSingleDocTemplate::CSingleDocTemplate(UINT resourceId, DocumentClass documentClass,
                                       FrameClass frameClass)
    : m_resourceId(resourceId), m_documentClass(std::move(documentClass)),
      m_frameClass(std::move(frameClass)) {}

// The frame goes before the document its views show.
CSingleDocTemplate::~CSingleDocTemplate() {
    m_frame.reset();
}

// The document name of the template's string (its second field), else the
// framework's own.
std::string CSingleDocTemplate::DefaultTitle() const {
    std::string fields = ombrel::platform::LoadResourceString(m_resourceId);
    const size_t first = fields.find('\n');
    std::string name;
    if (first != std::string::npos)
        name = fields.substr(first + 1, fields.find('\n', first + 1) - first - 1);
    return name.empty() ? kUntitled : name;
}

bool CSingleDocTemplate::OpenDocumentFile(const char* path) {
    if (!m_document)
        m_document = m_documentClass();
    if (!m_document)
        return false;
    if (path != nullptr && !m_document->OnOpenDocument(path)) {
        // The framework's own word on a document it cannot open.
        std::string caption = ombrel::platform::LoadResourceString(kAppTitle);
        MessageBoxA(nullptr, kFailedToOpen, caption.c_str(), MB_ICONEXCLAMATION | MB_OK);
        return false;
    }
    if (path == nullptr && !m_document->OnNewDocument())
        return false;
    // An opened file lends the document its title but is no place to save:
    // the document holds none of the file's data, so a save there would
    // empty the file without asking.
    m_document->SetPathName("");
    m_document->SetTitle(path != nullptr ? FileTitleOf(path) : DefaultTitle());
    if (!m_frame) {
        std::unique_ptr<CFrameWnd> frame = m_frameClass();
        CCreateContext context{m_document.get()};
        if (!frame || !frame->LoadFrame(&context))
            return false;
        m_frame = std::move(frame);
    }
    // Every new or opened document sends the views their initial update.
    m_frame->InitialUpdateFrame();
    return true;
}
