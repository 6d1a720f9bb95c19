#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>

#include <ombrel/refresh_scope.h>
#include <ombrel/services.h>

#include "../core/provisions.h"
#include "../core/scope_memo.h"
#include "../core/win32_error.h"
#include "base/child_reaper.h"
#include "base/proc_root.h"
#include "base/procfs.h"
#include "command_line.h"
#include "privilege/collector_link.h"
#include "process_object.h"
#include "sockets/machine_tables.h"

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

// A refresh opens the owner of every endpoint and reads its program path,
// many times the same process, and each of those system calls costs more
// than everything else done per endpoint. Within a refresh scope, an entry
// already opened is handed out again, with the path read through it: it
// still names the process it named, so a new process under a reused id is
// never taken for it. Outside a scope nothing is kept. Each kept entry holds
// a descriptor, so at most half the descriptor limit are kept, and when
// descriptors run short the kept ones are let go first.
class ProcDirCache {
public:
    std::shared_ptr<ProcDir> Open(const std::string& root, DWORD pid, int& error) {
        bool keep = InRefreshScope();
        if (!keep || root != root_) {
            entries_.clear();
            root_ = root;
        }
        if (auto found = entries_.find(pid); found != entries_.end())
            return found->second;
        std::string path = root + "/" + std::to_string(pid);
        int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0 && (errno == EMFILE || errno == ENFILE) && !entries_.empty()) {
            entries_.clear();
            fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        }
        if (fd < 0) {
            error = errno;
            return nullptr;
        }
        auto dir = std::make_shared<ProcDir>(fd);
        if (keep && entries_.size() < MaxEntries()) {
            entries_.emplace(pid, dir);
            ForgetAtScopeEnd(ForgetProcessEntries);
        }
        return dir;
    }

    void Clear() { entries_.clear(); }

private:
    static size_t MaxEntries() {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
            return kMaxEntries;
        return std::min<size_t>(kMaxEntries, limit.rlim_cur / 2);
    }

    static constexpr size_t kMaxEntries = 4096;
    std::string root_;
    std::unordered_map<DWORD, std::shared_ptr<ProcDir>> entries_;
};

ProcDirCache& ProcDirs() {
    static ProcDirCache cache;
    return cache;
}

} // namespace

void ForgetProcessEntries() {
    ProcDirs().Clear();
}

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
    std::shared_ptr<ProcDir> dir = ProcDirs().Open(ProcRoot(), processId, error);
    // The owner a refresh's tables named is the process that held the
    // socket then: a later one under its reused id is not opened for it.
    if (dir && dir->fd) {
        std::optional<uint64_t> named = NamedOwnerStart(processId);
        if (named && dir->StartTime() != *named) {
            dir = nullptr;
            error = ENOENT;
        }
    }
    // In administrator mode, a process hidden from the user (hidepid) is
    // still the owner this refresh's collector named.
    if (!dir && CollectedOwnerOf(processId) != nullptr)
        dir = std::make_shared<ProcDir>(-1);
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
    ProcessProgram program = ReadProcessProgram(*object->procDir, object->pid);
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
