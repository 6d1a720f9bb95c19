// Threads that hold descriptors their process's leader does not: one that
// unshared its table (unshare(CLONE_FILES), or clone without CLONE_FILES),
// or all of them once the leader has exited. Shared by the layer's scan and
// the owner helper, which links nothing of ours; uses no more than libc.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace ombrel::platform {

// 1: the two tasks share one descriptor table; 0: they do not; -1: the
// kernel will not say (no ptrace rights over one of them, no kcmp).
inline int SameDescriptorTable(long a, long b) {
    long result = ::syscall(SYS_kcmp, a, b, KCMP_FILES, 0, 0);
    return result == 0 ? 1 : result > 0 ? 0 : -1;
}

// The names in pid's task folder of the threads to read besides the leader:
// one per descriptor table that is not the leader's. rootFd is the /proc
// tree's folder; live says it is the running kernel's, where kcmp tells the
// tables apart. Where it cannot, the old rule: when the leader's own folder
// listed nothing, the first other thread's table.
inline std::vector<std::string> ThreadsWithTheirOwnTables(int rootFd, uint32_t pid, bool live,
                                                          bool leaderListedAny) {
    std::vector<std::string> threads;
    std::string tasks = std::to_string(pid) + "/task";
    struct stat folder {};
    // A folder's link count is its entries that are folders, plus two: a
    // process of one thread has no other table to read.
    if (::fstatat(rootFd, tasks.c_str(), &folder, AT_SYMLINK_NOFOLLOW) != 0 ||
        (folder.st_nlink == 3 && leaderListedAny))
        return threads;
    int tasksFd = ::openat(rootFd, tasks.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (tasksFd < 0)
        return threads;
    DIR* dir = ::fdopendir(tasksFd);
    if (dir == nullptr) {
        ::close(tasksFd);
        return threads;
    }
    std::vector<long> tables; // a thread of each table taken
    std::string self = std::to_string(pid);
    while (dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (name[0] < '0' || name[0] > '9' || self == name)
            continue;
        long tid = std::strtol(name, nullptr, 10);
        int same = live ? SameDescriptorTable(static_cast<long>(pid), tid) : -1;
        if (same == -1) {
            if (!leaderListedAny && threads.empty())
                threads.emplace_back(name);
            continue;
        }
        if (same == 1)
            continue;
        bool known = false;
        for (long other : tables)
            known = known || SameDescriptorTable(other, tid) == 1;
        if (!known) {
            tables.push_back(tid);
            threads.emplace_back(name);
        }
    }
    ::closedir(dir);
    return threads;
}

} // namespace ombrel::platform
