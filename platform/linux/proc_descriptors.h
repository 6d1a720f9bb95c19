// A process's socket descriptors through a /proc tree: the one scan of the
// descriptor folders, for the layer and the owner helper alike. Uses no
// more than libc and the /proc text parsers.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "fd.h"
#include "proc_text.h"

namespace ombrel::platform {

// 1: the two tasks share one descriptor table; 0: they do not; -1: the
// kernel will not say (no ptrace rights over one of them, no kcmp).
inline int SameDescriptorTable(long a, long b) {
    long result = ::syscall(SYS_kcmp, a, b, KCMP_FILES, 0, 0);
    return result == 0 ? 1 : result > 0 ? 0 : -1;
}

// Threads that hold descriptors their process's leader does not: one that
// unshared its table (unshare(CLONE_FILES), or clone without CLONE_FILES),
// or all of them once the leader has exited.
//
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

// Calls visit(name) for every entry of an open directory but "." and "..",
// many entries to a system call; returns how many there were.
template <typename Visit> size_t ForEachEntry(int dirFd, Visit&& visit) {
    struct Dirent64 {
        uint64_t d_ino;
        int64_t d_off;
        unsigned short d_reclen;
        unsigned char d_type;
        char d_name[1];
    };
    alignas(8) char buffer[32768];
    size_t count = 0;
    for (;;) {
        long got = ::syscall(SYS_getdents64, dirFd, buffer, sizeof buffer);
        if (got <= 0)
            return count;
        for (long pos = 0; pos < got;) {
            auto* entry = reinterpret_cast<Dirent64*>(buffer + pos);
            pos += entry->d_reclen;
            const char* name = entry->d_name;
            if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
                continue;
            ++count;
            visit(name);
        }
    }
}

// Calls hold(fd, inode) for every socket descriptor of process pid in the
// /proc tree open as rootFd: its leader's table, then every other table its
// threads hold (an ordinary user may not even open the leader's folder once
// the leader has exited). Each link's own text is read; none is followed.
// live says the tree is the running kernel's.
template <typename Hold>
void ForEachSocketDescriptor(int rootFd, uint32_t pid, bool live, Hold&& hold) {
    auto scan = [&](const std::string& folder) -> size_t {
        UniqueFd dir(
            ::openat(rootFd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
        if (!dir)
            return 0;
        return ForEachEntry(dir.get(), [&](const char* name) {
            char link[64];
            ssize_t length = ::readlinkat(dir.get(), name, link, sizeof link);
            if (length <= 0 || static_cast<size_t>(length) >= sizeof link)
                return;
            std::optional<uint64_t> inode =
                ParseSocketLink(std::string_view(link, static_cast<size_t>(length)));
            std::optional<uint32_t> fd = inode ? ParseDescriptor(name) : std::nullopt;
            if (fd)
                hold(*fd, *inode);
        });
    };
    std::string process = std::to_string(pid);
    size_t listed = scan(process + "/fd");
    for (const std::string& tid : ThreadsWithTheirOwnTables(rootFd, pid, live, listed != 0))
        scan(process + "/task/" + tid + "/fd");
}

} // namespace ombrel::platform
