// Resources by number and message windows: what the window framework takes
// from the layer.
#pragma once

#include <string>

#include <windows.h>

namespace ombrel::platform {

// The string table entry, or empty text when there is none.
std::string LoadResourceString(UINT id);

// From now on MessageBoxA shows a window while a QApplication exists (the
// window part of the layer; without it messages go to standard error).
void UseWindowMessageBoxes();

} // namespace ombrel::platform
