#include <cerrno>
#include <cstring>
#include <glob.h>
#include <string>
#include <sys/stat.h>

#include "../core/handles.h"
#include "../core/provisions.h"
#include <ombrel/text.h>

namespace ombrel::platform {
namespace {

class FindObject : public KernelObject {};

FILETIME ToFileTime(const timespec& time) {
    // 100-nanosecond intervals since 1601-01-01.
    uint64_t ticks = (static_cast<uint64_t>(time.tv_sec) + 11644473600ull) * 10000000ull +
                     static_cast<uint64_t>(time.tv_nsec) / 100u;
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

DWORD StatError(int error) {
    switch (error) {
    case ENOTDIR:
    case ENAMETOOLONG:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_FILE_NOT_FOUND;
    }
}

// The directory of the platform's system programs.
constexpr std::string_view systemDirectory = "/usr/bin";

} // namespace

namespace lx {

HANDLE FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findData) {
    if (fileName == nullptr || findData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (fileName[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string path = fileName;
    if (path.find_first_of("*?") != std::string::npos) {
        // A pattern is decided by its first match.
        glob_t matches{};
        int found = ::glob(fileName, GLOB_NOESCAPE, nullptr, &matches);
        if (found != 0 || matches.gl_pathc == 0) {
            ::globfree(&matches);
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        path = matches.gl_pathv[0];
        ::globfree(&matches);
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        SetLastError(StatError(errno));
        return INVALID_HANDLE_VALUE;
    }
    std::memset(findData, 0, sizeof *findData);
    DWORD attributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
    if (!(info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)))
        attributes |= FILE_ATTRIBUTE_READONLY;
    findData->dwFileAttributes = attributes;
    findData->ftCreationTime = ToFileTime(info.st_ctim);
    findData->ftLastAccessTime = ToFileTime(info.st_atim);
    findData->ftLastWriteTime = ToFileTime(info.st_mtim);
    uint64_t size = S_ISDIR(info.st_mode) ? 0 : static_cast<uint64_t>(info.st_size);
    findData->nFileSizeHigh = static_cast<DWORD>(size >> 32);
    findData->nFileSizeLow = static_cast<DWORD>(size);
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    std::string_view name = slash == std::string::npos || path.size() == 1
                                ? std::string_view(path)
                                : std::string_view(path).substr(slash + 1);
    CopyText(findData->cFileName, sizeof findData->cFileName, name);
    return InsertHandle(std::make_unique<FindObject>());
}

BOOL FindClose(HANDLE findFile) {
    if (LookupHandle<FindObject>(findFile) == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RemoveHandle(findFile);
    return TRUE;
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    if (buffer == nullptr || systemDirectory.size() + 1 > size)
        return static_cast<UINT>(systemDirectory.size() + 1); // the size it needs
    CopyText(buffer, size, systemDirectory);
    return static_cast<UINT>(systemDirectory.size());
}

} // namespace lx
} // namespace ombrel::platform
