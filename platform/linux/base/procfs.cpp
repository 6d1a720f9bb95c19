#include "base/procfs.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/nsfs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "base/directory.h"
#include "base/fd.h"

namespace ombrel::platform {

std::vector<uint32_t> ListProcessIds(const std::string& root) {
    std::vector<uint32_t> pids;
    ForEachDirectoryEntry(root, [&](std::string_view name, unsigned char) {
        if (std::optional<uint32_t> pid = ParseProcessId(name))
            pids.push_back(*pid);
    });
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd ? ReadToEnd(fd.get(), limit) : std::nullopt;
}

std::optional<TaskStat> ReadTaskStat(const std::string& root, uint32_t pid) {
    auto text = ReadSmallFile(root + "/" + std::to_string(pid) + "/stat");
    if (!text)
        return std::nullopt;
    return ParseTaskStat(*text);
}

std::optional<std::string> ReadLinkAt(int dirFd, const char* name) {
    char buffer[4096];
    ssize_t length = ::readlinkat(dirFd, name, buffer, sizeof buffer);
    if (length >= 0 && static_cast<size_t>(length) >= sizeof buffer)
        errno = ENAMETOOLONG; // a cut target could name another file
    if (length < 0 || static_cast<size_t>(length) >= sizeof buffer)
        return std::nullopt;
    return std::string(buffer, static_cast<size_t>(length));
}

std::optional<TaskStat> ReadTaskStatAt(int procDirFd) {
    UniqueFd stat(::openat(procDirFd, "stat", O_RDONLY | O_CLOEXEC));
    std::optional<std::string> line = stat ? ReadToEnd(stat.get(), 4096) : std::nullopt;
    return line ? ParseTaskStat(*line) : std::nullopt;
}

std::optional<std::string> ReadProgramLink(int procDirFd, std::string* link) {
    if (link != nullptr)
        *link = "exe";
    std::optional<std::string> target = ReadLinkAt(procDirFd, "exe");
    if (target || errno != ENOENT)
        return target;
    // The leader has exited: its link names nothing, a live thread's does.
    int saved = errno;
    UniqueFd tasks(::openat(procDirFd, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::optional<std::string> found;
    std::string used;
    if (tasks)
        ForEachDirectoryEntryAt(tasks.get(), [&](std::string_view name, unsigned char) {
            if (found || name.empty() || name[0] < '0' || name[0] > '9')
                return;
            std::string candidate = "task/" + std::string(name) + "/exe";
            if ((found = ReadLinkAt(procDirFd, candidate.c_str())))
                used = candidate;
        });
    if (!found) {
        errno = saved;
        return std::nullopt;
    }
    if (link != nullptr)
        *link = used;
    return found;
}

FileIdentity ReadLinkedFileIdentity(int procDirFd, const std::string& link) {
    struct statx file {};
    if (procDirFd < 0 || link.empty() ||
        ::statx(procDirFd, link.c_str(), AT_STATX_DONT_SYNC, STATX_INO, &file) != 0 ||
        !(file.stx_mask & STATX_INO))
        return {};
    return {makedev(file.stx_dev_major, file.stx_dev_minor), file.stx_ino};
}

std::optional<uint32_t> ReadNamespaceClaimant(int procDirFd) {
    UniqueFd ns(::openat(procDirFd, "ns/user", O_RDONLY | O_CLOEXEC));
    if (!ns) {
        // No namespace links at all: not a kernel's tree. The kernel's own
        // says the same of a process reaped meanwhile, which is not root's.
        struct statfs system {};
        if (errno == ENOENT && ::faccessat(procDirFd, "ns", F_OK, AT_SYMLINK_NOFOLLOW) != 0 &&
            errno == ENOENT && ::fstatfs(procDirFd, &system) == 0 &&
            system.f_type != PROC_SUPER_MAGIC)
            return 0;
        return std::nullopt;
    }
    // Ids as this process's namespace maps them: a namespace root made is
    // owned by 0 (the owner of the initial one is 0 too).
    uid_t owner = 0;
    if (::ioctl(ns.get(), NS_GET_OWNER_UID, &owner) != 0)
        return std::nullopt;
    return static_cast<uint32_t>(owner);
}

std::string ProcessImageName(std::string_view comm, std::string_view exeTarget) {
    constexpr std::string_view deleted = " (deleted)";
    if (exeTarget.size() >= deleted.size() &&
        exeTarget.substr(exeTarget.size() - deleted.size()) == deleted)
        exeTarget.remove_suffix(deleted.size());
    size_t slash = exeTarget.rfind('/');
    std::string_view file =
        slash == std::string_view::npos ? exeTarget : exeTarget.substr(slash + 1);
    if (!comm.empty() && file.size() > comm.size() && file.substr(0, comm.size()) == comm)
        return std::string(file);
    return std::string(comm);
}

const HolderOrder::Known& HolderOrder::Facts(uint32_t pid) {
    auto [it, fresh] = known_.try_emplace(pid);
    if (fresh)
        if (std::optional<TaskStat> stat = ReadTaskStat(root_, pid))
            it->second = {stat->startTime, stat->ppid};
    return it->second;
}

bool HolderOrder::IsAncestor(uint32_t ancestor, uint32_t pid) {
    // A chain of parents is short; a bound keeps a forged tree finite.
    for (int step = 0; step < 4096 && pid > 1; ++step) {
        pid = Facts(pid).parent;
        if (pid == ancestor)
            return true;
    }
    return false;
}

bool HolderOrder::Before(uint32_t a, uint64_t startA, uint32_t b, uint64_t startB) {
    if (startA != startB)
        return startA < startB;
    if (IsAncestor(a, b))
        return true;
    if (IsAncestor(b, a))
        return false;
    return a < b;
}

} // namespace ombrel::platform
