#include "programs/process_entry.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include "privilege/collector_link.h"

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

ProcessProgram ReadProcessProgram(ProcDir& dir, uint32_t pid) {
    ProcessProgram program;
    program.identity = dir.ReadExeIdentity(program.startTime, program.claimant);
    if (program.identity.Known())
        return program;
    // The start time is read once per entry: a refresh asks once per
    // endpoint.
    if (const CollectedOwner* collected = CollectedOwnerOfStart(pid, dir.StartTime())) {
        program.identity = {collected->device, collected->inode};
        program.startTime = collected->startTime;
        program.claimant = collected->claimant;
    }
    return program;
}

} // namespace ombrel::platform
