#include <cerrno>

#include <windows.h>

#include "win32_error.h"

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
}

DWORD WINAPI GetLastError() {
    return lastError;
}
void WINAPI SetLastError(DWORD error) {
    lastError = error;
}

namespace ombrel::platform {

DWORD Win32ErrorOf(int error, DWORD otherwise) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:      // a folder of the path is a file
    case ENAMETOOLONG: // a path longer than the platform takes
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return otherwise;
    }
}

} // namespace ombrel::platform
