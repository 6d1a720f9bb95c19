#include "programs/process_entry.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/resource.h>

namespace ombrel::platform {

ssize_t ProcDir::ReadExe(char* buffer, size_t size) {
    if (!read) {
        std::optional<std::string> target =
            fd ? ReadProgramLink(fd.get(), &exeLink) : (errno = ESRCH, std::nullopt);
        if (target)
            exe = std::move(*target);
        else
            error = errno != 0 ? errno : ENAMETOOLONG;
        read = true;
    }
    if (error != 0) {
        errno = error;
        return -1;
    }
    size_t length = std::min(exe.size(), size);
    exe.copy(buffer, length);
    return static_cast<ssize_t>(length);
}

FileIdentity ProcDir::ReadExeIdentity(uint64_t& startTime, uint32_t& claimedBy) {
    if (!identityRead) {
        char unused[1];
        if (ReadExe(unused, sizeof unused) >= 0)
            identity = ReadLinkedFileIdentity(fd.get(), exeLink);
        StartTime();
        if (identity.Known())
            claimant = ReadNamespaceClaimant(fd.get()).value_or(kUnknownClaimant);
        identityRead = true;
    }
    startTime = start;
    claimedBy = claimant;
    return identity;
}

uint64_t ProcDir::StartTime() {
    if (!startRead) {
        if (std::optional<TaskStat> stat = fd ? ReadTaskStatAt(fd.get()) : std::nullopt)
            start = stat->startTime;
        startRead = true;
    }
    return start;
}

ProcessProgram ReadProcessProgram(ProcDir& dir, uint32_t pid, const CollectedOwners* collected) {
    ProcessProgram program;
    program.identity = dir.ReadExeIdentity(program.startTime, program.claimant);
    if (program.identity.Known())
        return program;
    // The start time is read once per entry: a refresh asks once per
    // endpoint.
    const CollectedOwner* owner =
        collected != nullptr ? CollectedOwnerOfStart(*collected, pid, dir.StartTime()) : nullptr;
    if (owner != nullptr) {
        program.identity = {owner->device, owner->inode};
        program.startTime = owner->startTime;
        program.claimant = owner->claimant;
    }
    return program;
}

std::shared_ptr<ProcDir> OpenProcDir(const std::string& root, uint32_t pid, int& error) {
    std::string path = root + "/" + std::to_string(pid);
    int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = errno;
        return nullptr;
    }
    return std::make_shared<ProcDir>(fd);
}

size_t ProcessEntries::MaxEntries() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return kMaxEntries;
    return std::min<size_t>(kMaxEntries, limit.rlim_cur / 2);
}

std::shared_ptr<ProcDir> ProcessEntries::Open(const std::string& root, uint32_t pid, int& error) {
    if (root != root_) {
        entries_.clear();
        root_ = root;
    }
    if (auto found = entries_.find(pid); found != entries_.end())
        return found->second;
    std::shared_ptr<ProcDir> dir = OpenProcDir(root, pid, error);
    if (!dir && (error == EMFILE || error == ENFILE) && !entries_.empty()) {
        entries_.clear();
        dir = OpenProcDir(root, pid, error);
    }
    if (dir && entries_.size() < MaxEntries())
        entries_.emplace(pid, dir);
    return dir;
}

} // namespace ombrel::platform
