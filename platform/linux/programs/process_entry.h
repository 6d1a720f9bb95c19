// A process's own /proc entry, and the program it runs as read through it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <unordered_map>

#include "base/fd.h"
#include "base/procfs.h"
#include "owners/collected_owners.h"

namespace ombrel::platform {

// A process's /proc entry: it names that process even after its id is
// reused. Its exe link is read once and kept with it.
struct ProcDir {
    explicit ProcDir(int descriptor) : fd(descriptor) {}
    // The target of the exe link, or -1 with the errno value of the read.
    ssize_t ReadExe(char* buffer, size_t size);
    // The identity of that same file, through the process; not known when
    // the link could not be read. startTime gets the process's start time
    // (0 when unknown), and claimedBy who may have chosen the link (see
    // ProgramIdentity's claimant).
    FileIdentity ReadExeIdentity(uint64_t& startTime, uint32_t& claimedBy);
    // The process's start time, read once; 0 when it cannot be read.
    uint64_t StartTime();

    UniqueFd fd;
    bool read = false;
    std::string exe;
    std::string exeLink; // the link read, relative to the entry
    int error = 0;
    bool identityRead = false;
    bool startRead = false;
    FileIdentity identity;
    uint64_t start = 0;
    uint32_t claimant = 0;
};

// The file the process pid (whose entry dir is) ran, its start time and
// who may have chosen the file. Where the caller cannot read the link (another
// user's process), what the administrator's collector read through this very
// process in this refresh (collected, when it answered): the start times
// must agree. Identity not known: neither could tell.
struct ProcessProgram {
    FileIdentity identity;
    uint64_t startTime = 0;
    uint32_t claimant = 0;
};
ProcessProgram ReadProcessProgram(ProcDir& dir, uint32_t pid,
                                  const CollectedOwners* collected = nullptr);

// The entry of pid below root (the live /proc or a fixture tree); null with
// the errno value in error when it cannot be opened.
std::shared_ptr<ProcDir> OpenProcDir(const std::string& root, uint32_t pid, int& error);

// A refresh opens the owner of every endpoint and reads its program path,
// many times the same process, and each of those system calls costs more
// than everything else done per endpoint. So a refresh keeps the entries it
// opened and hands them out again, with the path read through them: an
// entry still names the process it named, so a new process under a reused
// id is never taken for it. Each kept entry holds a descriptor, so at most
// half the descriptor limit are kept, and when descriptors run short the
// kept ones are let go first.
class ProcessEntries {
public:
    std::shared_ptr<ProcDir> Open(const std::string& root, uint32_t pid, int& error);

private:
    static size_t MaxEntries();
    static constexpr size_t kMaxEntries = 4096;
    std::string root_;
    std::unordered_map<uint32_t, std::shared_ptr<ProcDir>> entries_;
};

} // namespace ombrel::platform
