#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>

#include <ombrel/services.h>

#include "base/child_reaper.h"
#include "base/proc_root.h"
#include "base/procfs.h"
#include "command_line.h"
#include "current_refresh.h"
#include "process_object.h"
#include "provisions.h"
#include "refresh/refresh_context.h"
#include "win32_error.h"

namespace ombrel::platform {
namespace {

DWORD ErrnoToWin32(int error) {
    return Win32ErrorOf(error, ERROR_INVALID_PARAMETER);
}

} // namespace

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
