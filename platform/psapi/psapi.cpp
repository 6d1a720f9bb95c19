#include <cerrno>
#include <unistd.h>

#include "current_refresh.h"
#include "process_object.h"
#include "provisions.h"
#include "refresh/refresh_context.h"
#include <ombrel/text.h>

namespace ombrel::platform::lx {

// The main module's path is the process's exe link. A program deleted since
// it started keeps the kernel's " (deleted)" suffix, which the file services
// know not to open. A path that does not fit is a failure, not a cut path.
DWORD GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR fileName, DWORD size) {
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (module != nullptr) {
        SetLastError(ERROR_INVALID_HANDLE); // only the main module is known
        return 0;
    }
    char path[4096];
    ssize_t length = -1;
    if (process == CurrentProcessPseudoHandle()) {
        length = ::readlink("/proc/self/exe", path, sizeof path);
    } else if (auto* object = LookupHandle<ProcessObject>(process); object && object->procDir) {
        length = object->procDir->ReadExe(path, sizeof path);
        // Another user's process: in administrator mode, the path the
        // collector read for this very process in this refresh.
        int error = errno;
        RefreshContext* refresh = CurrentRefreshContext();
        const CollectedOwner* collected =
            refresh != nullptr && length < 0 &&
                    (error == EACCES || error == EPERM || error == ESRCH)
                ? CollectedOwnerOfStart(refresh->collectedOwners, object->pid,
                                        object->procDir->StartTime())
                : nullptr;
        if (collected != nullptr && collected->pathRead && collected->path.size() < sizeof path)
            length = static_cast<ssize_t>(collected->path.copy(path, sizeof path));
        else
            errno = error;
    } else {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (length <= 0 || static_cast<size_t>(length) >= sizeof path) {
        // EACCES/EPERM: another user's process without the debug privilege;
        // ENOENT: a kernel thread or a process that is exiting.
        SetLastError(errno == EACCES || errno == EPERM ? ERROR_ACCESS_DENIED : ERROR_PARTIAL_COPY);
        return 0;
    }
    if (static_cast<size_t>(length) >= size) {
        // A cut path could name another file: none is better.
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<DWORD>(
        CopyText(fileName, size, std::string_view(path, static_cast<size_t>(length))));
}

} // namespace ombrel::platform::lx
