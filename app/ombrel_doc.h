// The document the single-document model requires; it holds no data.
#pragma once

#include <string>

#include <windows.h>

class COmbrelDoc {
public:
    virtual ~COmbrelDoc() = default;
    virtual BOOL OnNewDocument() { return TRUE; }
    // Accepts any file that can be read and reads nothing from it.
    virtual BOOL OnOpenDocument(const char* path);
    // Writes the document, which is empty, under path.
    virtual BOOL OnSaveDocument(const char* path);
};
