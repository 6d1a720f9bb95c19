// Process and thread objects behind process handles.
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

#include "../core/handles.h"
#include "base/fd.h"
#include "base/procfs.h"

namespace ombrel::platform {

// A process's own /proc entry: it names that process even after its id
// is reused. Its exe link is read once and kept with it.
struct ProcDir {
    explicit ProcDir(int descriptor) : fd(descriptor) {}
    // The target of the exe link, or -1 with the errno value of the read.
    ssize_t ReadExe(char* buffer, size_t size);
    // The identity of that same file, through the process; not known when
    // the link could not be read. startTime gets the process's start time
    // (0 when unknown), and claimedBy who may have chosen the link (see
    // ProgramFile's claimant).
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

class ProcessObject : public KernelObject {
public:
    ProcessObject(DWORD id, std::shared_ptr<ProcDir> dir, bool isChild)
        : pid(id), procDir(std::move(dir)), child(isChild) {}
    ~ProcessObject() override;

    DWORD pid;
    std::shared_ptr<ProcDir> procDir;
    bool child; // started by CreateProcessA, so ours to reap
};

class ThreadObject : public KernelObject {
public:
    explicit ThreadObject(DWORD id) : tid(id) {}
    DWORD tid;
};

// The pseudo handle GetCurrentProcess returns.
inline HANDLE CurrentProcessPseudoHandle() {
    return INVALID_HANDLE_VALUE;
}

// Children we started are reaped once they exit, so none stays a zombie.
void RememberChild(pid_t pid);
// Lets go of the process entries a refresh scope kept open.
void ForgetProcessEntries();
// Stops tracking a child (one handed to the reaper).
void ForgetChild(pid_t pid);
void ReapExitedChildren();

} // namespace ombrel::platform
