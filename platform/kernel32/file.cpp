#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fnmatch.h>
#include <linux/openat2.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "base/directory.h"
#include "base/fd.h"
#include "base/mounts.h"
#include "base/regular_file.h"
#include "current_refresh.h"
#include "handles.h"
#include "provisions.h"
#include "refresh/refresh_context.h"
#include "win32_error.h"
#include <ombrel/text.h>

namespace ombrel::platform {
namespace {

class FindObject : public KernelObject {};

class FileObject : public KernelObject {
public:
    explicit FileObject(UniqueFd descriptor) : fd(std::move(descriptor)) {}
    UniqueFd fd;
};

// Opens path without following a symbolic link in any of its components
// (openat2, Linux 5.6), or, on an older kernel, in its last one.
int OpenWithoutLinks(const char* path, int flags, mode_t mode) {
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_NO_SYMLINKS;
    long fd = ::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how);
    if (fd < 0 && errno == ENOSYS)
        fd = ::open(path, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    return static_cast<int>(fd);
}

FILETIME ToFileTime(const timespec& time) {
    // 100-nanosecond intervals since 1601-01-01.
    uint64_t ticks = (static_cast<uint64_t>(time.tv_sec) + 11644473600ull) * 10000000ull +
                     static_cast<uint64_t>(time.tv_nsec) / 100u;
    return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

// The find data of a file whose status is info and whose path is path.
void FillFindData(const struct stat& info, std::string path, LPWIN32_FIND_DATAA findData) {
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
}

// A search that found a file taken as there but not looked at.
HANDLE OfflineFind(std::string_view path, LPWIN32_FIND_DATAA findData) {
    std::memset(findData, 0, sizeof *findData);
    findData->dwFileAttributes = FILE_ATTRIBUTE_OFFLINE;
    CopyText(findData->cFileName, sizeof findData->cFileName, path.substr(path.rfind('/') + 1));
    return InsertHandle(std::make_unique<FindObject>());
}

// The directory of the platform's system programs.
constexpr std::string_view systemDirectory = "/usr/bin";

} // namespace

namespace lx {

// The two uses the framework makes of it: a document read (OPEN_EXISTING)
// and a document written (CREATE_ALWAYS). Only regular files are opened; a
// write never goes through a symbolic link and never creates a file
// through one, so a link planted where a privileged user saves cannot send
// the write elsewhere.
HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD, HANDLE) {
    bool write = (desiredAccess & GENERIC_WRITE) != 0;
    if (fileName == nullptr ||
        (creationDisposition != OPEN_EXISTING && creationDisposition != CREATE_ALWAYS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (fileName[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int access = write ? ((desiredAccess & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    UniqueFd fd;
    int error = EEXIST;
    if (creationDisposition == CREATE_ALWAYS) {
        fd.reset(OpenWithoutLinks(fileName, access | O_CREAT | O_EXCL, 0666));
        error = errno;
    }
    if (!fd && error == EEXIST) {
        UniqueFd pathFd(write ? OpenWithoutLinks(fileName, O_PATH, 0)
                              : ::open(fileName, O_PATH | O_CLOEXEC));
        int truncate = creationDisposition == CREATE_ALWAYS ? O_TRUNC : 0;
        // Only a regular file: opening some devices acts (a watchdog arms, a
        // terminal becomes ours), and a FIFO can block for good.
        fd = ReopenRegular(pathFd, access | truncate);
    }
    if (!fd) {
        // ELOOP (a link refused), EISDIR, ...: the file cannot be had.
        SetLastError(Win32FileErrorOf(errno, fileName, ERROR_ACCESS_DENIED));
        return INVALID_HANDLE_VALUE;
    }
    return InsertHandle(std::make_unique<FileObject>(std::move(fd)));
}

HANDLE FindFirstFileA(LPCSTR fileName, LPWIN32_FIND_DATAA findData) {
    if (fileName == nullptr || findData == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (fileName[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (const BoundProgram* bound = BoundProgramFile(CurrentRefreshContext(), fileName)) {
        // A program's own file: the one with its identity, or none.
        ProgramFilePlace place = ProgramFilePlace::None;
        const UniqueFd& file = OpenBoundFile(*bound, &place);
        if (place == ProgramFilePlace::Offline || place == ProgramFilePlace::Claimed)
            return OfflineFind(fileName, findData);
        struct stat info {};
        if (!file || ::fstat(file.get(), &info) != 0) {
            SetLastError(bound->error == EACCES ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        FillFindData(info, fileName, findData);
        return InsertHandle(std::make_unique<FindObject>());
    }
    std::string path = fileName;
    size_t slash = path.rfind('/');
    size_t wildcard = path.find_first_of("*?");
    if (slash != std::string::npos && wildcard < slash) {
        // As on the original platform: wildcards in the last component only.
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    if (NamesDeletedFile(path)) {
        // The kernel's text for a deleted program: a file planted under
        // that name is not the program.
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    bool pattern = wildcard != std::string::npos;
    if (IsOnRemoteFileSystem(path)) {
        // A server that stops answering would hang the caller: the file is
        // taken as there but offline, unlooked-at; a pattern cannot be
        // decided without reading the directory.
        if (pattern) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return OfflineFind(path, findData);
    }
    if (pattern) {
        // Matched in that one directory; the first match decides.
        std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        std::string wanted = path.substr(slash == std::string::npos ? 0 : slash + 1);
        std::string match;
        ForEachDirectoryEntry(dir, [&](std::string_view name, unsigned char) {
            if (match.empty() &&
                ::fnmatch(wanted.c_str(), std::string(name).c_str(), FNM_NOESCAPE) == 0)
                match = name;
        });
        if (match.empty()) {
            SetLastError(Win32FileErrorOf(ENOENT, path.c_str(), ERROR_FILE_NOT_FOUND));
            return INVALID_HANDLE_VALUE;
        }
        path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + match;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        // A file that cannot be looked at is not found.
        SetLastError(Win32FileErrorOf(errno, path.c_str(), ERROR_FILE_NOT_FOUND));
        return INVALID_HANDLE_VALUE;
    }
    FillFindData(info, std::move(path), findData);
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
