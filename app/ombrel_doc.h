// The document the single-document model requires; it holds no data.
#pragma once

#include <windows.h>

class COmbrelDoc {
public:
    virtual ~COmbrelDoc() = default;
    virtual BOOL OnNewDocument() { return TRUE; }
};
