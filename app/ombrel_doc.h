// The document the single-document model requires; it holds no data.
#pragma once

#include "document.h"

class COmbrelDoc : public CDocument {
public:
    // Accepts any file that can be read and reads nothing from it.
    BOOL OnOpenDocument(const char* path) override;
    // Writes the document, which is empty, under path.
    BOOL OnSaveDocument(const char* path) override;
};
