#include "ombrel_doc.h"

#include <cstdio>

BOOL COmbrelDoc::OnOpenDocument(const char* path) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr)
        return FALSE;
    std::fclose(file);
    return TRUE;
}

BOOL COmbrelDoc::OnSaveDocument(const char* path) {
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
        return FALSE;
    return std::fclose(file) == 0 ? TRUE : FALSE;
}
