// Opening files that anyone may have put in the program's way: a program's
// own file, icons, desktop entries.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

#include "base/fd.h"

namespace ombrel::platform {

// Whether path is the kernel's text for a program deleted since it started
// (its path with " (deleted)" added). No file is opened by such a text: a
// file planted under that name is not the program.
bool NamesDeletedFile(std::string_view path);

// Opens path for reading only when it is a regular file on a file system
// that always answers, without blocking and without becoming its
// controlling terminal; the file's status goes to info. A device, FIFO or
// socket is never opened (opening some devices acts: a watchdog arms), and
// a file on a network or user-space file system is not even looked up.
// Otherwise an empty descriptor with errno set.
UniqueFd OpenRegularFile(const std::string& path, struct stat* info = nullptr);

// Opens the file that pathFd (an O_PATH descriptor) names with flags, only
// when it is a regular file, and never blocking or as a terminal.
UniqueFd ReopenRegular(const UniqueFd& pathFd, int flags, struct stat* info = nullptr);

// A whole regular file of at most limit bytes, read as above.
std::optional<std::string> ReadRegularFile(const std::string& path, size_t limit);

// Files and folders as one text that changes when any of them changes,
// appears or goes: which file each path leads to now (device and inode,
// links followed), its size, and when its content and its status last
// changed (a file kept with its old time, or made readable by chmod, has a
// new status time).
std::string ModificationStamp(const std::vector<std::string>& paths);

} // namespace ombrel::platform
