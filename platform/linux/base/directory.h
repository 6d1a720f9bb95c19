// Walking one directory's entries.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>

namespace ombrel::platform {

// Calls visit(name, type) for every entry of dir but "." and "..", type
// being the entry's d_type (DT_UNKNOWN where the file system does not say).
template <typename Visit> void ForEachDirectoryEntry(const std::string& dir, Visit&& visit) {
    std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(dir.c_str()), ::closedir);
    if (!handle)
        return;
    while (dirent* entry = ::readdir(handle.get())) {
        std::string_view name(entry->d_name);
        if (name != "." && name != "..")
            visit(name, entry->d_type);
    }
}

// The same for a directory open as fd, which stays open and the caller's.
template <typename Visit> void ForEachDirectoryEntryAt(int fd, Visit&& visit) {
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    std::unique_ptr<DIR, int (*)(DIR*)> handle(copy >= 0 ? ::fdopendir(copy) : nullptr, ::closedir);
    if (!handle) {
        if (copy >= 0)
            ::close(copy);
        return;
    }
    while (dirent* entry = ::readdir(handle.get())) {
        std::string_view name(entry->d_name);
        if (name != "." && name != "..")
            visit(name, entry->d_type);
    }
}

} // namespace ombrel::platform
