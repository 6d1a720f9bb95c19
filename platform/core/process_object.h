// Process and thread objects behind process handles.
#pragma once

#include <memory>
#include <string>
#include <sys/types.h>

#include "handles.h"
#include "programs/process_entry.h"

namespace ombrel::platform {

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
// Stops tracking a child (one handed to the reaper).
void ForgetChild(pid_t pid);
void ReapExitedChildren();

} // namespace ombrel::platform
