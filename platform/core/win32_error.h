// The one translation of the C library's error numbers into the platform's
// error codes.
#pragma once

#include <windows.h>

namespace ombrel::platform {

// The code for error; a number the platform has no code for gives
// otherwise, the call's own word for a failure of its kind.
DWORD Win32ErrorOf(int error, DWORD otherwise);

// The same for a call on a path: a missing file whose folder is missing too
// (or an empty path) is a missing path, as the platform reports it.
DWORD Win32FileErrorOf(int error, const char* path, DWORD otherwise);

} // namespace ombrel::platform
