// The owners the administrator's collector named in one answer: what the
// window's user may not read of another user's process, read by root
// through that very process.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace ombrel::platform {

struct CollectedOwner {
    uint32_t pid = 0;
    bool pathRead = false;
    uint64_t startTime = 0;
    uint64_t device = 0; // the program file's, through the process; 0 and 0 unknown
    uint64_t inode = 0;
    uint32_t claimant = 0; // who may have chosen the program link (ProgramIdentity's)
    std::string name;      // as the process list gives it
    std::string path;      // the exe link's text, when pathRead
};

// Ascending by pid, one per pid a row names.
using CollectedOwners = std::vector<CollectedOwner>;

// The record of pid; null when the answer named no such owner.
inline const CollectedOwner* CollectedOwnerOf(const CollectedOwners& owners, uint32_t pid) {
    auto found =
        std::lower_bound(owners.begin(), owners.end(), pid,
                         [](const CollectedOwner& owner, uint32_t id) { return owner.pid < id; });
    return found != owners.end() && found->pid == pid ? &*found : nullptr;
}

// The same, for a process the caller holds open by its /proc entry, with
// the start time read through it (0 where it could not be): the record is
// taken only when that start time is the record's, so a new process under a
// reused id never gets it.
inline const CollectedOwner* CollectedOwnerOfStart(const CollectedOwners& owners, uint32_t pid,
                                                   uint64_t startTime) {
    const CollectedOwner* owner = CollectedOwnerOf(owners, pid);
    return owner == nullptr || startTime == 0 || startTime == owner->startTime ? owner : nullptr;
}

} // namespace ombrel::platform
