// Reading the kernel's process tree (/proc, or a fixture tree in its shape).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/proc_text.h"

namespace ombrel::platform {

// Numeric entries of the root, ascending.
std::vector<uint32_t> ListProcessIds(const std::string& root);

std::optional<TaskStat> ReadTaskStat(const std::string& root, uint32_t pid);
// The same through a process's /proc entry held open: the facts of that very
// process, whatever has since taken its id.
std::optional<TaskStat> ReadTaskStatAt(int procDirFd);

// The name the process list shows: the task name, widened to the program's
// file name when the exe link is readable and that name begins with the task
// name (the kernel cuts task names at 15 bytes).
std::string ProcessImageName(std::string_view comm, std::string_view exeTarget);

// Reads a whole file of at most limit bytes; nullopt when it cannot be read.
std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit = 1u << 20);

// Target of a symbolic link relative to a directory descriptor.
std::optional<std::string> ReadLinkAt(int dirFd, const char* name);

// The program a process runs, through its /proc entry: its exe link, or a
// live thread's once the main thread has exited (the leader's link then
// names nothing). link gets the link read, relative to the entry; nullopt,
// with errno of the leader's link, when none names a program.
std::optional<std::string> ReadProgramLink(int procDirFd, std::string* link = nullptr);

// A file by identity: its device (makedev of the kernel's major and minor)
// and inode. All 0: not known.
struct FileIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    bool Known() const { return device != 0 || inode != 0; }
    bool operator==(const FileIdentity&) const = default;
};

// The identity of the file a link of a process's /proc entry names (its exe
// link, or a thread's), through the process: the link is the kernel's, not a
// path looked up again, and cached attributes are enough, so no server of a
// network or user-space file system is asked. Not known when it cannot be
// read.
FileIdentity ReadLinkedFileIdentity(int procDirFd, const std::string& link);

// Who may have chosen the process's program link: the owner of its user
// namespace where an ordinary user owns it (in her own namespace she holds
// the checkpoint/restore right that sets the link to any file she can
// open), 0 for root's (the initial namespace, or one root made); nullopt
// when it cannot be read. A tree without namespace links (a fixture's) is
// root's.
std::optional<uint32_t> ReadNamespaceClaimant(int procDirFd);
// The claimant of a process whose namespace owner could not be read: no
// viewer is that user.
inline constexpr uint32_t kUnknownClaimant = 0xffffffffu;

// Which of two holders of a socket owns it: the one started first (the
// creator, when a child inherited it or a descriptor leaked); in the same
// clock tick, an ancestor before its descendants, whatever their ids; then
// the lower id. Start times and parents are read from the root once each.
class HolderOrder {
public:
    explicit HolderOrder(std::string root) : root_(std::move(root)) {}
    uint64_t StartTime(uint32_t pid) { return Facts(pid).start; }
    bool Before(uint32_t a, uint64_t startA, uint32_t b, uint64_t startB);
    bool Before(uint32_t a, uint32_t b) { return Before(a, StartTime(a), b, StartTime(b)); }

private:
    struct Known {
        uint64_t start = 0;
        uint32_t parent = 0;
    };
    const Known& Facts(uint32_t pid);
    bool IsAncestor(uint32_t ancestor, uint32_t pid);

    std::string root_;
    std::unordered_map<uint32_t, Known> known_;
};

} // namespace ombrel::platform
