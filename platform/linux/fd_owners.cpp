#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

#include <ombrel/services.h>

#include "fd.h"
#include "inet_sockets.h"
#include "proc_descriptors.h"
#include "procfs.h"
#include "socket_walk.h"

namespace ombrel::platform {
namespace {

// Open addressing over socket inodes: one probe sequence per descriptor seen,
// no allocation per entry, so the join stays linear at any socket count.
// Several rows may share a socket (a multipath connection's subflows): the
// first of them stands for the others.
class InodeIndex {
public:
    explicit InodeIndex(const std::vector<uint64_t>& inodes) : first_(inodes.size()) {
        size_t capacity = 16;
        while (capacity < inodes.size() * 2)
            capacity <<= 1;
        mask_ = capacity - 1;
        slots_.assign(capacity, Slot{});
        for (size_t i = 0; i < inodes.size(); ++i) {
            first_[i] = i;
            uint64_t inode = inodes[i];
            if (inode == 0)
                continue;
            size_t at = Hash(inode) & mask_;
            while (slots_[at].inode != 0 && slots_[at].inode != inode)
                at = (at + 1) & mask_;
            if (slots_[at].inode == 0)
                slots_[at] = Slot{inode, i};
            else
                first_[i] = slots_[at].index;
        }
    }

    // The row that stands for this row's socket: itself or an earlier one.
    size_t FirstOf(size_t row) const { return first_[row]; }

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
    std::vector<size_t> first_;
    size_t mask_ = 0;
};

// The owner rule over every holding seen: the process started first holds
// the socket it handed on or leaked; it made it.
class OwnerJoin {
public:
    OwnerJoin(const std::string& root, const std::vector<uint64_t>& inodes,
              std::vector<uint32_t>& owners)
        : order_(root), index_(inodes), owners_(owners), starts_(inodes.size(), 0) {}

    // start: the holder's, as the pass that saw it hold the socket read it.
    void Hold(uint32_t pid, uint64_t start, uint64_t inode) {
        ptrdiff_t at = index_.Find(inode);
        if (at < 0)
            return;
        auto row = static_cast<size_t>(at);
        uint32_t& owner = owners_[row];
        // A holder gone before its start was read (0) is no process to
        // name: any living holder owns the socket before it.
        bool replaces =
            owner == 0 ||
            (start != 0 && (starts_[row] == 0 ||
                            (owner != pid && order_.Before(pid, start, owner, starts_[row]))));
        if (replaces) {
            owner = pid;
            starts_[row] = start;
        }
    }

    // Gives every row of a shared socket its owner, and hands over each
    // owner's start time, where asked for.
    void Finish(std::vector<uint64_t>* starts) {
        for (size_t row = 0; row < owners_.size(); ++row) {
            const size_t first = index_.FirstOf(row);
            if (first != row) {
                owners_[row] = owners_[first];
                starts_[row] = starts_[first];
            }
        }
        if (starts != nullptr)
            *starts = std::move(starts_);
    }

private:
    HolderOrder order_;
    InodeIndex index_;
    std::vector<uint32_t>& owners_;
    std::vector<uint64_t> starts_;
};

// Every process's descriptor folder, each link read: hold(pid, start, fd,
// inode) for each socket descriptor, with the start time read through the
// process's own entry as its first socket is seen. False where the tree
// could not be read whole (LeavesScanWhole): what was read was still told.
template <typename Hold> bool ScanDescriptors(const std::string& root, Hold&& hold) {
    UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd)
        return false;
    bool live = IsLiveProc(root);
    std::vector<uint32_t> pids;
    UniqueFd listing(::openat(rootFd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool whole = listing && ForEachEntry(listing.get(), [&](const char* name) {
                                if (std::optional<uint32_t> pid = ParseProcessId(name))
                                    pids.push_back(*pid);
                            }) >= 0;
    std::sort(pids.begin(), pids.end());
    UnsortedTableBudget budget;
    for (uint32_t pid : pids) {
        // The entry names this process even once its id is reused: a start
        // read through it is this process's or none (0, gone).
        UniqueFd entry(::openat(rootFd.get(), std::to_string(pid).c_str(),
                                O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!entry) {
            whole = whole && LeavesScanWhole(errno);
            continue;
        }
        std::optional<uint64_t> start;
        whole = ForEachSocketDescriptor(
                    rootFd.get(), pid, live,
                    [&](uint32_t fd, uint64_t inode) {
                        if (!start) {
                            std::optional<TaskStat> stat = ReadTaskStatAt(entry.get());
                            start = stat ? stat->startTime : 0;
                        }
                        hold(pid, *start, fd, inode);
                    },
                    &budget) &&
                whole;
    }
    return whole;
}

} // namespace

void ScanSocketHolders(const std::string& root, std::vector<SocketHolder>& holders) {
    holders.clear();
    ScanDescriptors(root, [&](uint32_t pid, uint64_t start, uint32_t fd, uint64_t inode) {
        holders.push_back(SocketHolder{inode, pid, fd, start});
    });
}

bool FindSocketOwners(const std::string& root, const std::vector<uint64_t>& inodes,
                      std::vector<uint32_t>& owners, OwnerSource source, SocketWalk& walk,
                      std::vector<uint64_t>* starts, bool* whole) {
    if (whole != nullptr)
        *whole = true;
    owners.assign(inodes.size(), 0);
    if (starts != nullptr)
        starts->assign(inodes.size(), 0);
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
                join.Hold(holder.pid, holder.start, holder.inode);
            join.Finish(starts);
            return true;
        }
    }
    bool read = ScanDescriptors(root, [&](uint32_t pid, uint64_t start, uint32_t, uint64_t inode) {
        join.Hold(pid, start, inode);
    });
    if (whole != nullptr)
        *whole = read;
    join.Finish(starts);
    return false;
}

} // namespace ombrel::platform
