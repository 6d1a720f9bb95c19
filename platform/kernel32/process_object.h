// Process and thread objects behind process handles.
#pragma once

#include <sys/types.h>

#include "../core/handles.h"
#include "../linux/fd.h"

namespace ombrel::platform {

class ProcessObject : public KernelObject {
public:
    ProcessObject(DWORD id, UniqueFd dir, bool isChild)
        : pid(id), procDir(std::move(dir)), child(isChild) {}
    ~ProcessObject() override;

    DWORD pid;
    UniqueFd procDir; // the process's own /proc entry: it outlives a reuse of its id
    bool child;       // started by CreateProcessA, so ours to reap
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
void ReapExitedChildren();
// Waits for a child of ours; false when pid is not one. exitCode gets the
// exit status, or STILL_ACTIVE when wait is false and it runs still.
bool WaitChild(pid_t pid, bool wait, DWORD& exitCode);

} // namespace ombrel::platform
