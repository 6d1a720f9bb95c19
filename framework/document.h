// The document of the single-document model: what the template makes,
// opens and saves.
#pragma once

#include <windows.h>

class CDocument {
public:
    virtual ~CDocument() = default;
    virtual BOOL OnNewDocument() { return TRUE; }
    virtual BOOL OnOpenDocument(const char* path) = 0;
    virtual BOOL OnSaveDocument(const char* path) = 0;
};
