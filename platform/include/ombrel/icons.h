// What stands behind an icon handle of the shell service.
#pragma once

#include <string>

#include <windows.h>

namespace ombrel::platform {

// The image file an icon handle was made from; empty for the layer's own
// generic program icon, which the caller draws from its resources.
std::string IconSourceFile(HICON icon);

// Live icon handles, for leak checks.
size_t IconCount();

// Forgets the index of desktop entries and icon themes, the one the current
// refresh scope keeps and the one kept between refreshes, so that the next
// query reads XDG_DATA_HOME and XDG_DATA_DIRS afresh.
void ResetShellIconIndex();

} // namespace ombrel::platform
