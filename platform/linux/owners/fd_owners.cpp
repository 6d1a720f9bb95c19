#include <algorithm>
#include <fcntl.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

#include "base/proc_root.h"

#include "base/fd.h"
#include "base/procfs.h"
#include "owners/proc_descriptors.h"
#include "owners/socket_holders.h"
#include "owners/socket_walk.h"

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
        if (Replaces(owners_[row], starts_[row], pid, start)) {
            owners_[row] = pid;
            starts_[row] = start;
        }
    }

    // A process holds an io_uring instance (by its inode), and so every
    // socket among its fixed files. The ring's first holder by the rule
    // holds them all: one pass over them, however many hold the ring.
    void HoldRing(uint32_t pid, uint64_t start, uint64_t ring) {
        Ring& held = rings_[ring];
        if (Replaces(held.pid, held.start, pid, start)) {
            held.pid = pid;
            held.start = start;
        }
    }
    void RingHolds(uint64_t ring, std::vector<uint64_t> sockets) {
        rings_[ring].sockets = std::move(sockets);
    }

    // Gives the rings' sockets to their holders and every row of a shared
    // socket its owner, and hands over each owner's start time, where asked
    // for.
    void Finish(std::vector<uint64_t>* starts) {
        for (const auto& [ring, held] : rings_)
            for (uint64_t socket : held.sockets)
                Hold(held.pid, held.start, socket);
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
    // A holder gone before its start was read (0) is no process to name:
    // any living holder owns the socket before it.
    bool Replaces(uint32_t owner, uint64_t ownerStart, uint32_t pid, uint64_t start) {
        return owner == 0 ||
               (start != 0 && (ownerStart == 0 ||
                               (owner != pid && order_.Before(pid, start, owner, ownerStart))));
    }

    struct Ring {
        uint32_t pid = 0;
        uint64_t start = 0;
        std::vector<uint64_t> sockets;
    };

    HolderOrder order_;
    InodeIndex index_;
    std::unordered_map<uint64_t, Ring> rings_;
    std::vector<uint32_t>& owners_;
    std::vector<uint64_t> starts_;
};

// Every process's descriptor folder, each link read: hold(pid, start, fd,
// inode) for each socket descriptor, with the start time read through the
// process's own entry as its first socket is seen, and ring(rootFd, pid,
// start, fd, inode, folder) for each io_uring descriptor (the ring's inode,
// and the folder that listed it). False where
// the tree could not be read whole (LeavesScanWhole): what was read was
// still told.
template <typename Hold, typename Ring>
bool ScanDescriptors(const std::string& root, Hold&& hold, Ring&& ring) {
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
        auto startTime = [&] {
            if (!start) {
                std::optional<TaskStat> stat = ReadTaskStatAt(entry.get());
                start = stat ? stat->startTime : 0;
            }
            return *start;
        };
        whole =
            ForEachSocketDescriptor(
                rootFd.get(), pid, live,
                [&](uint32_t fd, uint64_t inode) { hold(pid, startTime(), fd, inode); }, &budget,
                [&](uint32_t fd, uint64_t inode, const std::string& folder) {
                    ring(rootFd.get(), pid, startTime(), fd, inode, folder);
                }) &&
            whole;
    }
    return whole;
}

} // namespace

void ScanSocketHolders(const std::string& root, std::vector<SocketHolder>& holders) {
    holders.clear();
    ScanDescriptors(
        root,
        [&](uint32_t pid, uint64_t start, uint32_t fd, uint64_t inode) {
            holders.push_back(SocketHolder{inode, pid, fd, start});
        },
        [&](int, uint32_t pid, uint64_t start, uint32_t fd, uint64_t ring, const std::string&) {
            holders.push_back(SocketHolder{ring, pid, fd, start, true});
        });
}

bool FindSocketOwners(const std::string& root, const std::vector<uint64_t>& inodes,
                      std::vector<uint32_t>& owners, OwnerSource source, SocketWalk& walk,
                      std::vector<uint64_t>* starts, bool* whole,
                      const std::vector<uint32_t>* known, std::vector<SocketHolder>* strays,
                      const std::vector<SocketHolder>* walked) {
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
        std::vector<SocketHolder> read;
        if (walked == nullptr)
            read.reserve(inodes.size() + 4096); // a descriptor per socket, and other kinds
        if (walked != nullptr || walk.Read(read)) {
            const std::vector<SocketHolder>& holders = walked != nullptr ? *walked : read;
            UniqueFd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            RingReader rings;
            // A few holders of each: one may be gone by the time it is asked.
            constexpr int kHoldersEach = 4;
            std::unordered_map<uint32_t, int> strayNamespaces;
            for (const SocketHolder& holder : holders) {
                if (!holder.ring) {
                    join.Hold(holder.pid, holder.start, holder.inode);
                    // One holder to each namespace no one knew of.
                    if (strays != nullptr && known != nullptr && holder.netns != 0 &&
                        !std::binary_search(known->begin(), known->end(), holder.netns) &&
                        ++strayNamespaces[holder.netns] <= kHoldersEach)
                        strays->push_back(holder);
                    continue;
                }
                join.HoldRing(holder.pid, holder.start, holder.inode);
                std::string folder =
                    std::to_string(holder.pid) + "/task/" + std::to_string(holder.tid) + "/fd";
                if (!rootFd)
                    continue;
                if (auto sockets = rings.Offer(rootFd.get(), folder, holder.fd, holder.inode))
                    join.RingHolds(holder.inode, std::move(*sockets));
            }
            if (whole != nullptr)
                *whole = rootFd && rings.Whole();
            join.Finish(starts);
            return true;
        }
    }
    RingReader rings;
    bool read = ScanDescriptors(
        root,
        [&](uint32_t pid, uint64_t start, uint32_t, uint64_t inode) {
            join.Hold(pid, start, inode);
        },
        [&](int rootFd, uint32_t pid, uint64_t start, uint32_t fd, uint64_t ring,
            const std::string& folder) {
            join.HoldRing(pid, start, ring);
            if (auto sockets = rings.Offer(rootFd, folder, fd, ring))
                join.RingHolds(ring, std::move(*sockets));
        });
    if (whole != nullptr)
        *whole = read && rings.Whole();
    join.Finish(starts);
    return false;
}

} // namespace ombrel::platform
