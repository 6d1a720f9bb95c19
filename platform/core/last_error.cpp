#include <cerrno>
#include <string>
#include <sys/stat.h>

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

DWORD Win32FileErrorOf(int error, const char* path, DWORD otherwise) {
    if (path == nullptr || path[0] == '\0')
        return ERROR_PATH_NOT_FOUND;
    if (error != ENOENT)
        return Win32ErrorOf(error, otherwise);
    std::string folder = path;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? "." : folder.substr(0, slash == 0 ? 1 : slash);
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return ERROR_PATH_NOT_FOUND;
    return ERROR_FILE_NOT_FOUND;
}

} // namespace ombrel::platform
