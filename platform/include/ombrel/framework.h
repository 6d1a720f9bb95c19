// Resources by number and message windows: what the window framework takes
// from the layer.
#pragma once

#include <cstddef>
#include <string>

#include <windows.h>

namespace ombrel::platform {

// One entry of the program's numbered string table.
struct ResourceString {
    unsigned id;
    const char* text; // UTF-8
};

// The program's resources register their string table as it starts; until
// then, and for an id it lacks, every string is empty.
void RegisterStringTable(const ResourceString* table, size_t count);

// The string table entry, or empty text when there is none.
std::string LoadResourceString(UINT id);

// From now on MessageBoxA shows a window while a QApplication exists (the
// window part of the layer; without it messages go to standard error).
void UseWindowMessageBoxes();

} // namespace ombrel::platform
