#include "document.h"

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
