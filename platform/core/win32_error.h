// The one translation of the C library's error numbers into the platform's
// error codes.
#pragma once

#include <windows.h>

namespace ombrel::platform {

// The code for error; a number the platform has no code for gives
// otherwise, the call's own word for a failure of its kind.
DWORD Win32ErrorOf(int error, DWORD otherwise);

} // namespace ombrel::platform
