// A process's socket descriptors through a /proc tree: the one scan of the
// descriptor folders, for the layer and the owner helper alike. Uses no
// more than libc and the /proc text parsers.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <linux/io_uring.h>
#include <linux/kcmp.h>
#include <optional>
#include <sched.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/fd.h"
#include "base/proc_text.h"

namespace ombrel::platform {

// How two tasks' descriptor tables compare: kcmp orders the kernel's
// objects (through a per-boot bijection of their addresses), so tables can
// be sorted. Unknown where the kernel will not say (no ptrace rights over
// one of them, a task gone, no kcmp).
enum class TableOrder { Same, Less, Greater, Unknown };

// Every kcmp of two tables this process made: what the tests hold the
// threads' dedupe to, rather than its time.
inline std::atomic<uint64_t> descriptorTableComparisons{0};

inline TableOrder CompareDescriptorTables(long a, long b) {
    descriptorTableComparisons.fetch_add(1, std::memory_order_relaxed);
    long result = ::syscall(SYS_kcmp, a, b, KCMP_FILES, 0, 0);
    return result == 0   ? TableOrder::Same
           : result == 1 ? TableOrder::Less
           : result == 2 ? TableOrder::Greater
                         : TableOrder::Unknown;
}

// One task of each table among tasks, by compare(a, b) (a TableOrder): a
// merge sort by table, then neighbours that share one dropped, so at most
// n log2 n + n comparisons for n tasks (another user may start thousands
// of threads, each with a table of its own). Empty when any comparison was
// Unknown, with failedA and failedB its two tasks; the sort ends whatever
// compare answers.
template <typename Compare>
std::optional<std::vector<long>> OnePerTable(std::vector<long> tasks, Compare&& compare,
                                             long* failedA = nullptr, long* failedB = nullptr) {
    bool failed = false;
    // Once a comparison has failed, no other is made and the result is
    // dropped.
    auto order = [&](long a, long b) {
        if (failed)
            return TableOrder::Unknown;
        TableOrder answer = compare(a, b);
        if (answer == TableOrder::Unknown) {
            failed = true;
            if (failedA != nullptr)
                *failedA = a;
            if (failedB != nullptr)
                *failedB = b;
        }
        return answer;
    };
    auto less = [&](long a, long b) { return order(a, b) == TableOrder::Less; };
    std::vector<long> merged(tasks.size());
    for (size_t width = 1; width < tasks.size() && !failed; width *= 2) {
        for (size_t left = 0; left < tasks.size(); left += 2 * width) {
            size_t middle = std::min(left + width, tasks.size());
            size_t right = std::min(left + 2 * width, tasks.size());
            size_t i = left, j = middle, out = left;
            while (i < middle && j < right)
                merged[out++] = less(tasks[j], tasks[i]) ? tasks[j++] : tasks[i++];
            while (i < middle)
                merged[out++] = tasks[i++];
            while (j < right)
                merged[out++] = tasks[j++];
        }
        tasks.swap(merged);
    }
    std::vector<long> distinct;
    for (size_t i = 0; i < tasks.size() && !failed; ++i)
        if (i == 0 || order(distinct.back(), tasks[i]) != TableOrder::Same)
            distinct.push_back(tasks[i]);
    if (failed)
        return std::nullopt;
    return distinct;
}

// Whether a scan that met this error still tells all the caller may know:
// a process that ended meanwhile (ENOENT, ESRCH) is no longer there to
// tell of, and one the kernel withholds from this caller (EACCES, EPERM:
// without the debug capabilities, under a security module's policy, or
// while it executes a program of other rights) is not the caller's to
// know; an entry of a descriptor folder that is no link (EINVAL: a tree
// that is not the kernel's) is no descriptor. Any other (no descriptor or
// memory left, a listing that failed) leaves a hole in what it could have
// read.
inline bool LeavesScanWhole(int error) {
    return error == ENOENT || error == ESRCH || error == EACCES || error == EPERM ||
           error == EINVAL;
}

// Calls visit(name) for every entry of an open directory but "." and "..",
// many entries to a system call; returns how many there were, or -1 (errno
// set) where the listing failed, after visiting what it had.
template <typename Visit> long ForEachEntry(int dirFd, Visit&& visit) {
    struct Dirent64 {
        uint64_t d_ino;
        int64_t d_off;
        unsigned short d_reclen;
        unsigned char d_type;
        char d_name[1];
    };
    alignas(8) char buffer[32768];
    long count = 0;
    for (;;) {
        long got = ::syscall(SYS_getdents64, dirFd, buffer, sizeof buffer);
        if (got < 0)
            return -1;
        if (got == 0)
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

// Whether kcmp, which names tasks by this process's pid namespace, names
// the tree's: its "self" is this process. In a child pid namespace over an
// ancestor's /proc (unshare --pid without a /proc of its own) the tree's ids
// are not this namespace's: kcmp fails on them (ESRCH), or over another
// namespace's tree compares other tasks than the ones it names.
inline bool KcmpNamesTreeTasks(int rootFd) {
    char link[16];
    ssize_t length = ::readlinkat(rootFd, "self", link, sizeof link);
    if (length <= 0 || static_cast<size_t>(length) >= sizeof link)
        return false;
    std::optional<uint32_t> self =
        ParseProcessId(std::string_view(link, static_cast<size_t>(length)));
    return self && *self == static_cast<uint32_t>(::getpid());
}

// Threads that hold descriptors their process's leader does not: one that
// unshared its table (unshare(CLONE_FILES), or clone without CLONE_FILES),
// or all of them once the leader has exited.
//
// The names in pid's task folder of the threads to read besides the leader:
// one per descriptor table that is not the leader's. rootFd is the /proc
// tree's folder; live says it is the running kernel's, where kcmp tells the
// tables apart. Where kcmp cannot name the tree's tasks, every other thread
// goes to unsorted, where given: each table may be the thread's own, and
// only reading it tells. Otherwise the old rule: when the leader's own
// folder listed nothing, the first other thread's table. An error that
// leaves a hole (LeavesScanWhole) clears whole, where given.
inline std::vector<std::string>
ThreadsWithTheirOwnTables(int rootFd, uint32_t pid, bool live, bool leaderListedAny,
                          bool* whole = nullptr, std::vector<std::string>* unsorted = nullptr) {
    std::vector<std::string> threads;
    auto failed = [&] {
        if (whole != nullptr && !LeavesScanWhole(errno))
            *whole = false;
        return threads;
    };
    std::string tasks = std::to_string(pid) + "/task";
    struct stat folder {};
    // A folder's link count is its entries that are folders, plus two: a
    // process of one thread has no other table to read.
    if (::fstatat(rootFd, tasks.c_str(), &folder, AT_SYMLINK_NOFOLLOW) != 0)
        return failed();
    if (folder.st_nlink == 3 && leaderListedAny)
        return threads;
    UniqueFd tasksFd(::openat(rootFd, tasks.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!tasksFd)
        return failed();
    const long leader = static_cast<long>(pid);
    auto oldRule = [&](long tid) {
        if (!leaderListedAny && threads.empty())
            threads.push_back(std::to_string(tid));
    };
    const bool sortable = live && KcmpNamesTreeTasks(rootFd);
    std::vector<long> others; // threads whose table is not the leader's
    long listed = ForEachEntry(tasksFd.get(), [&](const char* name) {
        if (name[0] < '0' || name[0] > '9')
            return;
        long tid = std::strtol(name, nullptr, 10);
        if (tid == leader)
            return;
        if (live && !sortable && unsorted != nullptr) {
            unsorted->push_back(name);
            return;
        }
        TableOrder order = sortable ? CompareDescriptorTables(leader, tid) : TableOrder::Unknown;
        if (order == TableOrder::Unknown)
            oldRule(tid);
        else if (order != TableOrder::Same)
            others.push_back(tid);
    });
    if (listed < 0)
        return failed();

    // A thread that ends during the sort fails the comparisons it is in:
    // it is dropped (its table, if its own, went with it) and the sort made
    // again, a few times at most; after that, the old rule.
    for (int attempt = 0; attempt < 4 && !others.empty(); ++attempt) {
        long a = 0, b = 0;
        if (std::optional<std::vector<long>> distinct =
                OnePerTable(others, CompareDescriptorTables, &a, &b)) {
            for (long tid : *distinct)
                threads.push_back(std::to_string(tid));
            return threads;
        }
        size_t before = others.size();
        std::erase_if(others, [&](long tid) {
            return (tid == a || tid == b) &&
                   CompareDescriptorTables(leader, tid) == TableOrder::Unknown;
        });
        if (others.size() == before)
            break;
    }
    if (!others.empty()) {
        // Threads that keep ending can stop every sort: tables may be left
        // unread, which the caller must hear of.
        oldRule(others.front());
        if (whole != nullptr)
            *whole = false;
    }
    return threads;
}

// Whether this kernel's io_uring fdinfo names each fixed file by its path,
// escaped and one to a line: asked once, of a ring of this process's own
// holding one socket. Where it prints a file's bare name instead (a
// socket's is empty, and another user's file name may hold a line break
// and a made-up socket line), or no ring can be made, no list is believed.
inline bool KernelListsRingSockets() {
    static const bool lists = [] {
        io_uring_params params{};
        UniqueFd ring(static_cast<int>(::syscall(SYS_io_uring_setup, 1, &params)));
        UniqueFd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        struct stat held {};
        int files[1] = {socket.get()};
        if (!ring || !socket || ::fstat(socket.get(), &held) != 0 ||
            ::syscall(SYS_io_uring_register, ring.get(), IORING_REGISTER_FILES, files, 1) != 0)
            return false;
        std::string path = "/proc/self/fdinfo/" + std::to_string(ring.get());
        UniqueFd info(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        std::optional<std::string> text = info ? ReadToEnd(info.get(), 1 << 20) : std::nullopt;
        std::optional<RingFiles> parsed = text ? ParseRingFiles(*text) : std::nullopt;
        return parsed && parsed->sockets == std::vector<uint64_t>{held.st_ino};
    }();
    return lists;
}

// Each io_uring instance's sockets, read once per pass from the fdinfo of
// one of its descriptors, however many processes hold it. What a ring's
// text costs is another user's choice (its slots, the length of their
// paths): a pass reads at most 64 MiB of such text. A ring none of whose
// descriptors could be read (its lock always taken, its descriptors moved,
// the budget spent) is taken as holding none: only its holder can make it
// so, and only sockets it alone holds lose their owner. Were the pass not
// whole instead, one user's ring would cost every user the owner helper's
// and the collector's answers.
class RingReader {
public:
    // Offers a descriptor fd of the ring (its inode) listed in fdFolder
    // ("PID/fd" or "PID/task/TID/fd" under rootFd); the ring's sockets the
    // first time they are read, else nullopt.
    std::optional<std::vector<uint64_t>> Offer(int rootFd, const std::string& fdFolder, uint32_t fd,
                                               uint64_t ring) {
        if (!KernelListsRingSockets())
            return std::nullopt;
        State& state = rings_[ring];
        // Once the budget is spent no ring is asked: the kernel makes a
        // ring's whole text for the first byte read of it.
        if (state != State::Unread || bytesLeft_ == 0)
            return std::nullopt;
        std::string path = fdFolder.substr(0, fdFolder.size() - 2) + "fdinfo/" + std::to_string(fd);
        // The kernel shows the slots only when it takes the ring's lock at
        // once: a ring in use is asked again, a few times.
        for (int attempt = 0; attempt < 8; ++attempt) {
            if (attempt != 0)
                ::sched_yield();
            std::optional<RingFiles> files = Read(rootFd, path);
            if (!files || files->ring != ring)
                return std::nullopt; // gone, moved, or over budget; another may tell
            if (files->shown && (files->listed != 0 || files->slots == 0)) {
                state = State::Read;
                return std::move(files->sockets);
            }
        }
        return std::nullopt;
    }

    // No read met a hole (LeavesScanWhole).
    bool Whole() const { return whole_; }

private:
    enum class State { Unread, Read, TooLarge };

    std::optional<RingFiles> Read(int rootFd, const std::string& path) {
        UniqueFd info(::openat(rootFd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
        if (!info) {
            whole_ = whole_ && LeavesScanWhole(errno);
            return std::nullopt;
        }
        RingFilesReader reader;
        char chunk[1 << 16];
        for (;;) {
            ssize_t got = ::read(info.get(), chunk, sizeof chunk);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                whole_ = whole_ && LeavesScanWhole(errno);
                return std::nullopt;
            }
            if (got == 0)
                break;
            if (static_cast<uint64_t>(got) > bytesLeft_) {
                bytesLeft_ = 0;
                std::optional<RingFiles> seen = reader.Finish();
                if (seen)
                    rings_[seen->ring] = State::TooLarge;
                return std::nullopt;
            }
            bytesLeft_ -= static_cast<uint64_t>(got);
            reader.Feed(std::string_view(chunk, static_cast<size_t>(got)));
        }
        return reader.Finish();
    }

    std::unordered_map<uint64_t, State> rings_;
    uint64_t bytesLeft_ = uint64_t{64} << 20;
    bool whole_ = true;
};

// A descriptor's link names an io_uring instance.
inline bool IsRingLink(std::string_view link) {
    return link == "anon_inode:[io_uring]";
}

// The inode of the io_uring instance descriptor name in the open descriptor
// folder dirFd refers to, or 0 where it is not one (any more). The link is
// opened as a path (no file system is asked) and checked as this process's
// own descriptor before it is looked at: a descriptor swapped meanwhile for
// a file on a mount that never answers costs nothing. Such a look, opened
// for neither reading nor writing, keeps no ring alive: the kernel shows its
// link with no permission, where a ring's own descriptors have both, and a
// scan beside this one must not take this process for the ring's holder.
inline uint64_t RingInode(int dirFd, const char* name) {
    struct stat entry {};
    if (::fstatat(dirFd, name, &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
        (entry.st_mode & (S_IRUSR | S_IWUSR)) == 0)
        return 0;
    UniqueFd held(::openat(dirFd, name, O_PATH | O_CLOEXEC));
    if (!held)
        return 0;
    char link[64];
    std::string own = "/proc/self/fd/" + std::to_string(held.get());
    ssize_t length = ::readlink(own.c_str(), link, sizeof link);
    struct stat file {};
    if (length <= 0 || static_cast<size_t>(length) >= sizeof link ||
        !IsRingLink(std::string_view(link, static_cast<size_t>(length))) ||
        ::fstat(held.get(), &file) != 0)
        return 0;
    return static_cast<uint64_t>(file.st_ino);
}

// The default for callers that look at sockets alone.
struct IgnoreRings {
    void operator()(uint32_t, uint64_t, const std::string&) const {}
};

// Reading the tables of threads that kcmp cannot tell apart costs their
// number times a table's size, and another user chooses both: a scan reads
// such tables only while its budget lasts, which starts at a million
// entries and grows by every leader's table; past it the scan is not whole.
struct UnsortedTableBudget {
    uint64_t entries = uint64_t{1} << 20;
};

// Calls hold(fd, inode) for every socket descriptor of process pid in the
// /proc tree open as rootFd: its leader's table, then every other table its
// threads hold (an ordinary user may not even open the leader's folder once
// the leader has exited). Each link's own text is read; none is followed.
// live says the tree is the running kernel's. Where kcmp cannot tell the
// threads' tables apart, each is read within budget (none without one), and
// only the sockets it adds are told. ring(fd, inode, folder) is called for
// each io_uring descriptor, with its ring's inode and the descriptor folder
// it was listed in. False where an error left a hole (LeavesScanWhole) or
// the budget ran out; the descriptors read were still told.
template <typename Hold, typename Ring = IgnoreRings>
bool ForEachSocketDescriptor(int rootFd, uint32_t pid, bool live, Hold&& hold,
                             UnsortedTableBudget* budget = nullptr, Ring&& ring = Ring{}) {
    bool whole = true;
    auto note = [&] { whole = whole && LeavesScanWhole(errno); };
    auto scan = [&](const std::string& folder, auto&& tell) -> long {
        UniqueFd dir(
            ::openat(rootFd, folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
        if (!dir) {
            note();
            return 0;
        }
        long listed = ForEachEntry(dir.get(), [&](const char* name) {
            char link[64];
            ssize_t length = ::readlinkat(dir.get(), name, link, sizeof link);
            // A link too long for the kernel to name is a file's, never a
            // socket's or a ring's: no hole (another user may hold one).
            if (length < 0 && errno != ENAMETOOLONG)
                note();
            if (length <= 0 || static_cast<size_t>(length) >= sizeof link)
                return;
            std::string_view text(link, static_cast<size_t>(length));
            std::optional<uint64_t> inode = ParseSocketLink(text);
            if (!inode && IsRingLink(text)) {
                std::optional<uint32_t> fd = ParseDescriptor(name);
                if (uint64_t key = fd ? RingInode(dir.get(), name) : 0; key != 0)
                    ring(*fd, key, folder);
                return;
            }
            std::optional<uint32_t> fd = inode ? ParseDescriptor(name) : std::nullopt;
            if (fd)
                tell(*fd, *inode);
        });
        if (listed < 0)
            note();
        return listed;
    };
    std::string process = std::to_string(pid);
    std::vector<uint64_t> leaders; // the leader's sockets, for unsorted tables to add to
    long listed = scan(process + "/fd", [&](uint32_t fd, uint64_t inode) {
        if (budget != nullptr)
            leaders.push_back(inode);
        hold(fd, inode);
    });
    std::vector<std::string> unsorted;
    for (const std::string& tid : ThreadsWithTheirOwnTables(rootFd, pid, live, listed > 0, &whole,
                                                            budget ? &unsorted : nullptr))
        scan(process + "/task/" + tid + "/fd", hold);
    if (unsorted.empty())
        return whole;
    // Threads that share the leader's table repeat it: each socket is told
    // once for the process, so the answer grows with what it holds.
    budget->entries += listed > 0 ? static_cast<uint64_t>(listed) : 0;
    std::unordered_set<uint64_t> told(leaders.begin(), leaders.end());
    for (const std::string& tid : unsorted) {
        if (budget->entries == 0)
            return false;
        long read = scan(process + "/task/" + tid + "/fd", [&](uint32_t fd, uint64_t inode) {
            if (told.insert(inode).second)
                hold(fd, inode);
        });
        budget->entries -= std::min(budget->entries, read > 0 ? static_cast<uint64_t>(read) : 0);
    }
    return whole;
}

} // namespace ombrel::platform
