// The single-document template: one document in one main frame.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include <windows.h>

#include "document.h"
#include "frame_wnd.h"

class CSingleDocTemplate {
public:
    using DocumentClass = std::function<std::unique_ptr<CDocument>()>;
    using FrameClass = std::function<std::unique_ptr<CFrameWnd>()>;

    CSingleDocTemplate(UINT resourceId, DocumentClass documentClass, FrameClass frameClass);
    ~CSingleDocTemplate();

    // A new document when path is none, else that file opened (the document
    // reads nothing from it). The first call makes the frame and its views;
    // every call ends with the views' initial update. False when the
    // document or frame cannot be made.
    bool OpenDocumentFile(const char* path);

    UINT ResourceId() const { return m_resourceId; }
    // The title of a new document.
    std::string DefaultTitle() const;
    CFrameWnd* Frame() const { return m_frame.get(); }
    CDocument* Document() const { return m_document.get(); }

private:
    UINT m_resourceId;
    DocumentClass m_documentClass;
    FrameClass m_frameClass;
    std::unique_ptr<CDocument> m_document;
    std::unique_ptr<CFrameWnd> m_frame;
};

template <typename Class> std::unique_ptr<Class> MakeObject() {
    return std::make_unique<Class>();
}
