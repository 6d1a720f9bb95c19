#include "document.h"

#include "win_app.h"

// The framework's file opens: only a regular file, never a device or a
// FIFO, and a save never through a symbolic link (the layer's rules).
BOOL CDocument::OnOpenDocument(const char* path) {
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    CloseHandle(file);
    return TRUE;
}

BOOL CDocument::OnSaveDocument(const char* path) {
    HANDLE file =
        CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    return CloseHandle(file);
}

BOOL CDocument::DoFileSave() {
    return DoSave(m_pathName.empty() ? nullptr : m_pathName.c_str());
}

BOOL CDocument::DoSave(const char* path) {
    std::string name = path != nullptr ? path : m_title;
    if (path == nullptr) {
        CWinApp* app = AfxGetApp();
        if (app == nullptr || !app->DoPromptFileName(name, false))
            return FALSE;
    }
    if (!OnSaveDocument(name.c_str()))
        return FALSE;
    SetPathName(name);
    return TRUE;
}

void CDocument::SetPathName(const std::string& path) {
    m_pathName = path;
    m_title = FileTitleOf(path);
}

std::string FileTitleOf(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}
