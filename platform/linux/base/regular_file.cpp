#include "base/regular_file.h"

#include <cerrno>
#include <fcntl.h>

#include "base/mounts.h"
#include "base/procfs.h"

namespace ombrel::platform {

bool NamesDeletedFile(std::string_view path) {
    return path.ends_with(" (deleted)");
}

UniqueFd OpenRegularFile(const std::string& path, struct stat* info) {
    if (NamesDeletedFile(path)) {
        errno = ENOENT;
        return UniqueFd();
    }
    if (IsOnRemoteFileSystem(path)) {
        errno = EREMOTE;
        return UniqueFd();
    }
    // A path descriptor opens nothing; its status says what the file is, and
    // reopening it through /proc reaches that very file, not one swapped in.
    return ReopenRegular(UniqueFd(::open(path.c_str(), O_PATH | O_CLOEXEC)), O_RDONLY, info);
}

UniqueFd ReopenRegular(const UniqueFd& pathFd, int flags, struct stat* info) {
    struct stat status {};
    if (!pathFd || ::fstat(pathFd.get(), &status) != 0)
        return UniqueFd();
    if (!S_ISREG(status.st_mode)) {
        errno = S_ISDIR(status.st_mode) ? EISDIR : EACCES;
        return UniqueFd();
    }
    std::string self = "/proc/self/fd/" + std::to_string(pathFd.get());
    UniqueFd fd(::open(self.c_str(), flags | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd && info != nullptr)
        *info = status;
    return fd;
}

std::optional<std::string> ReadRegularFile(const std::string& path, size_t limit) {
    struct stat info {};
    UniqueFd fd = OpenRegularFile(path, &info);
    if (!fd || static_cast<uint64_t>(info.st_size) > limit)
        return std::nullopt;
    return ReadToEnd(fd.get(), limit);
}

std::string ModificationStamp(const std::vector<std::string>& paths) {
    std::string stamp;
    auto time = [](const timespec& at) {
        return std::to_string(at.tv_sec) + "." + std::to_string(at.tv_nsec);
    };
    for (const std::string& path : paths) {
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0)
            stamp += path + "@" + std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) +
                     ":" + std::to_string(info.st_size) + ":" + time(info.st_mtim) + ":" +
                     time(info.st_ctim) + ";";
    }
    return stamp;
}

} // namespace ombrel::platform
