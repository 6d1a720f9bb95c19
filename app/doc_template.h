// The single-document template: one document in one main frame.
#pragma once

#include <memory>
#include <string>

#include <windows.h>

class CMainFrame;
class COmbrelDoc;

class CSingleDocTemplate {
public:
    explicit CSingleDocTemplate(UINT resourceId);
    ~CSingleDocTemplate();

    // A new document when path is none, else that file opened (the document
    // reads nothing from it). The first call makes the frame and its views;
    // every call ends with the views' initial update. False when the
    // document or frame cannot be made.
    bool OpenDocumentFile(const char* path);

    UINT ResourceId() const { return m_resourceId; }
    CMainFrame* Frame() const { return m_frame.get(); }
    COmbrelDoc* Document() const { return m_document.get(); }

private:
    UINT m_resourceId;
    std::unique_ptr<COmbrelDoc> m_document;
    std::unique_ptr<CMainFrame> m_frame;
};

// The framework's standard command line: no argument is a new document, a
// file name opens that file.
struct CCommandLineInfo {
    enum Command { FileNew, FileOpen } m_nShellCommand = FileNew;
    std::string m_strFileName;

    void ParseCommandLine(int argc, const char* const* argv);
};
