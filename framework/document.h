// The document of the single-document model: what the template makes,
// opens and saves.
#pragma once

#include <windows.h>

class CDocument {
public:
    virtual ~CDocument() = default;
    virtual BOOL OnNewDocument() { return TRUE; }
    // Accepts any file that can be read; a document with data reads it here.
    virtual BOOL OnOpenDocument(const char* path);
    // Writes the document under path; one without data writes an empty file.
    virtual BOOL OnSaveDocument(const char* path);
};
