#include "doc_template.h"

#include <string>

#include <ombrel/framework.h>

namespace {
constexpr UINT kAppTitle = 57344;
constexpr const char* kFailedToOpen = "打开文档失败。";
} // namespace

CSingleDocTemplate::CSingleDocTemplate(UINT resourceId, DocumentClass documentClass,
                                       FrameClass frameClass)
    : m_resourceId(resourceId), m_documentClass(std::move(documentClass)),
      m_frameClass(std::move(frameClass)) {}

// The frame goes before the document its views show.
CSingleDocTemplate::~CSingleDocTemplate() {
    m_frame.reset();
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
