#include <charconv>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/syscall.h>
#include <unistd.h>

#include <ombrel/services.h>

#include "fd.h"
#include "inet_sockets.h"
#include "owners/thread_tables.h"
#include "procfs.h"
#include "socket_walk.h"

namespace ombrel::platform {
namespace {

// Open addressing over socket inodes: one probe sequence per descriptor seen,
// no allocation per entry, so the join stays linear at any socket count.
class InodeIndex {
public:
    explicit InodeIndex(const std::vector<uint64_t>& inodes) {
        size_t capacity = 16;
        while (capacity < inodes.size() * 2)
            capacity <<= 1;
        mask_ = capacity - 1;
        slots_.assign(capacity, Slot{});
        for (size_t i = 0; i < inodes.size(); ++i) {
            uint64_t inode = inodes[i];
            if (inode == 0)
                continue;
            size_t at = Hash(inode) & mask_;
            while (slots_[at].inode != 0 && slots_[at].inode != inode)
                at = (at + 1) & mask_;
            if (slots_[at].inode == 0)
                slots_[at] = Slot{inode, i};
        }
    }

    // Index of the socket with that inode, or -1.
    ptrdiff_t Find(uint64_t inode) const {
        for (size_t at = Hash(inode) & mask_; slots_[at].inode != 0; at = (at + 1) & mask_)
            if (slots_[at].inode == inode)
                return static_cast<ptrdiff_t>(slots_[at].index);
        return -1;
    }

private:
    struct Slot {
        uint64_t inode = 0;
        size_t index = 0;
    };
    static size_t Hash(uint64_t inode) {
        return static_cast<size_t>(inode * 0x9E3779B97F4A7C15ull >> 17);
    }

    std::vector<Slot> slots_;
    size_t mask_ = 0;
};

// "socket:[12345]" -> 12345
bool SocketInode(std::string_view link, uint64_t& inode) {
    constexpr std::string_view prefix = "socket:[";
    if (link.size() <= prefix.size() + 1 || link.substr(0, prefix.size()) != prefix ||
        link.back() != ']')
        return false;
    std::string_view digits = link.substr(prefix.size(), link.size() - prefix.size() - 1);
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), inode);
    return ec == std::errc() && end == digits.data() + digits.size() && inode != 0;
}

// A descriptor folder's entry name, "17" -> 17.
uint32_t Descriptor(const char* name) {
    uint32_t fd = 0;
    std::from_chars(name, name + std::strlen(name), fd);
    return fd;
}

struct Dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[1];
};

// Calls visit(name) for every entry of an open directory but "." and "..";
// returns how many there were.
template <typename Visit> size_t ForEachEntry(int dirFd, Visit&& visit) {
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

// The owner rule over every holding seen: the process started first holds
// the socket it handed on or leaked; it made it.
class OwnerJoin {
public:
    OwnerJoin(const std::string& root, const std::vector<uint64_t>& inodes,
              std::vector<uint32_t>& owners)
        : order_(root), index_(inodes), owners_(owners) {}

    void Hold(uint32_t pid, uint64_t inode) {
        ptrdiff_t at = index_.Find(inode);
        if (at < 0)
            return;
        uint32_t& owner = owners_[static_cast<size_t>(at)];
        if (owner == 0 || owner == pid || order_.Before(pid, owner))
            owner = pid;
    }

private:
    HolderOrder order_;
    InodeIndex index_;
    std::vector<uint32_t>& owners_;
};

// Every process's descriptor folder, each link read: hold(pid, fd, inode)
// for each socket descriptor.
template <typename Hold> void ScanDescriptors(const std::string& root, Hold&& hold) {
    UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd)
        return;
    bool live = IsLiveProc(root);
    for (uint32_t pid : ListProcessIds(root)) {
        std::string fdDir = std::to_string(pid) + "/fd";
        UniqueFd dirFd(::openat(rootFd.get(), fdDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        auto visit = [&](int fdDirFd, const char* name) {
            char link[64];
            ssize_t length = ::readlinkat(fdDirFd, name, link, sizeof link);
            uint64_t inode = 0;
            if (length > 0 && static_cast<size_t>(length) < sizeof link &&
                SocketInode(std::string_view(link, static_cast<size_t>(length)), inode))
                hold(pid, Descriptor(name), inode);
        };
        // Its leader's table, then every other table its threads hold: a
        // thread that unshared its table, or all of them once the leader
        // has exited (an ordinary user may not even open the leader's
        // folder then).
        size_t listed =
            dirFd ? ForEachEntry(dirFd.get(), [&](const char* name) { visit(dirFd.get(), name); })
                  : 0;
        for (const std::string& tid :
             ThreadsWithTheirOwnTables(rootFd.get(), pid, live, listed != 0)) {
            std::string threadFds = std::to_string(pid) + "/task/" + tid + "/fd";
            UniqueFd threadFd(
                ::openat(rootFd.get(), threadFds.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (threadFd)
                ForEachEntry(threadFd.get(),
                             [&](const char* name) { visit(threadFd.get(), name); });
        }
    }
}

} // namespace

void ScanSocketHolders(const std::string& root, std::vector<SocketHolder>& holders) {
    holders.clear();
    ScanDescriptors(root, [&](uint32_t pid, uint32_t fd, uint64_t inode) {
        holders.push_back(SocketHolder{inode, pid, fd});
    });
}

bool FindSocketOwners(const std::string& root, const std::vector<uint64_t>& inodes,
                      std::vector<uint32_t>& owners, OwnerSource source, SocketWalk& walk) {
    owners.assign(inodes.size(), 0);
    if (inodes.empty())
        return false;
    OwnerJoin join(root, inodes, owners);
    // The kernel's own walk of the descriptor tables answers the live tree
    // in one pass where it is allowed; it sees what the scan sees.
    if (source == OwnerSource::Any && IsLiveProc(root)) {
        std::vector<SocketHolder> holders;
        holders.reserve(inodes.size() + 4096); // a descriptor per socket, and other kinds
        if (walk.Read(holders)) {
            for (const SocketHolder& holder : holders)
                join.Hold(holder.pid, holder.inode);
            return true;
        }
    }
    ScanDescriptors(root, [&](uint32_t pid, uint32_t, uint64_t inode) { join.Hold(pid, inode); });
    return false;
}

} // namespace ombrel::platform
