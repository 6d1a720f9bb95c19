#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>

#include <ombrel/services.h>

#include "../core/current_refresh.h"
#include "../core/provisions.h"
#include "../core/win32_error.h"
#include "base/child_reaper.h"
#include "base/proc_root.h"
#include "base/procfs.h"
#include "command_line.h"
#include "process_object.h"
#include "refresh/refresh_context.h"

namespace ombrel::platform {
namespace {

struct ChildState {
    bool exited = false;
};

struct Children {
    std::unordered_map<pid_t, ChildState> byPid;
};

Children& AllChildren() {
    static Children children;
    return children;
}

DWORD ErrnoToWin32(int error) {
    return Win32ErrorOf(error, ERROR_INVALID_PARAMETER);
}

} // namespace

void ForgetChild(pid_t pid) {
    Children& children = AllChildren();
    children.byPid.erase(pid);
}

void RememberChild(pid_t pid) {
    Children& children = AllChildren();
    children.byPid[pid] = ChildState{};
}

void ReapExitedChildren() {
    Children& children = AllChildren();
    for (auto it = children.byPid.begin(); it != children.byPid.end();) {
        pid_t got = it->second.exited ? 0 : ::waitpid(it->first, nullptr, WNOHANG);
        if (got == it->first) {
            it->second.exited = true;
        } else if (got < 0 && errno == ECHILD) {
            it = children.byPid.erase(it); // reaped by someone else
            continue;
        }
        ++it;
    }
}

namespace {

// Reaps a child of ours that has exited; true when it is done with (or was
// never ours), false while it runs.
bool ReapChild(pid_t pid) {
    Children& children = AllChildren();
    auto it = children.byPid.find(pid);
    if (it == children.byPid.end())
        return true;
    if (!it->second.exited) {
        pid_t got;
        do
            got = ::waitpid(pid, nullptr, WNOHANG);
        while (got < 0 && errno == EINTR);
        // ECHILD: reaped by someone else, nothing left to hand on.
        it->second.exited = got == pid || (got < 0 && errno == ECHILD);
    }
    return it->second.exited;
}

} // namespace

ProcessObject::~ProcessObject() {
    if (!child)
        return;
    // The last word on a child we started: reap it if it is done, else
    // have it reaped the moment it exits; either way stop tracking it.
    if (!ReapChild(static_cast<pid_t>(pid)) && !ReleaseChild(static_cast<pid_t>(pid)))
        return;
    Children& children = AllChildren();
    children.byPid.erase(static_cast<pid_t>(pid));
}

namespace lx {

HANDLE OpenProcess(DWORD, BOOL, DWORD processId) {
    if (processId == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    int error = 0;
    std::shared_ptr<ProcDir> dir = OpenRefreshProcess(CurrentRefreshContext(), processId, error);
    if (!dir) {
        SetLastError(error == ENOENT ? ERROR_INVALID_PARAMETER : ErrnoToWin32(error));
        return nullptr;
    }
    return InsertHandle(std::make_unique<ProcessObject>(processId, std::move(dir), false));
}

BOOL CloseHandle(HANDLE object) {
    if (object == CurrentProcessPseudoHandle())
        return TRUE;
    if (!RemoveHandle(object)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD, LPVOID environment, LPCSTR currentDirectory,
                    LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation) {
    if (startupInfo == nullptr || processInformation == nullptr ||
        (applicationName == nullptr && commandLine == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<std::string> argv;
    if (commandLine != nullptr)
        argv = SplitCommandLine(commandLine);
    std::string program;
    if (applicationName != nullptr) {
        // The application name is a path, never searched for.
        program = applicationName;
        if (program.find('/') == std::string::npos)
            program = "./" + program;
        if (argv.empty())
            argv.push_back(applicationName);
    } else if (!argv.empty()) {
        program = argv[0];
    }
    if (program.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }

    std::vector<std::string> env;
    if (environment != nullptr)
        for (const char* entry = static_cast<const char*>(environment); *entry != '\0';
             entry += std::char_traits<char>::length(entry) + 1)
            env.emplace_back(entry);

    pid_t pid = 0;
    int error = SpawnProgram(program, argv, currentDirectory, environment ? &env : nullptr, pid);
    if (error != 0) {
        // A program named by its path may lack its folder; one searched for
        // is only not found.
        SetLastError(program.find('/') != std::string::npos
                         ? Win32FileErrorOf(error, program.c_str(), ERROR_INVALID_PARAMETER)
                         : ErrnoToWin32(error));
        return FALSE;
    }
    std::string path = ProcRoot() + "/" + std::to_string(pid);
    auto dir = std::make_shared<ProcDir>(::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    processInformation->hProcess = InsertHandle(
        std::make_unique<ProcessObject>(static_cast<DWORD>(pid), std::move(dir), true));
    processInformation->hThread = InsertHandle(std::make_unique<ThreadObject>(pid));
    processInformation->dwProcessId = static_cast<DWORD>(pid);
    processInformation->dwThreadId = static_cast<DWORD>(pid); // the main thread's id is the pid
    return TRUE;
}

BOOL GetProgramFile(HANDLE process, ProgramFile* file) {
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *file = ProgramFile{};
    auto* object = LookupHandle<ProcessObject>(process);
    if (object == nullptr || !object->procDir) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    RefreshContext* refresh = CurrentRefreshContext();
    ProcessProgram program = ReadProcessProgram(*object->procDir, object->pid,
                                                refresh ? &refresh->collectedOwners : nullptr);
    if (!program.identity.Known()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *file = {program.identity.device, program.identity.inode, program.startTime, object->pid,
             program.claimant};
    return TRUE;
}

HANDLE GetCurrentProcess() {
    return CurrentProcessPseudoHandle();
}

} // namespace lx
} // namespace ombrel::platform
