#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "base/capabilities.h"
#include "handles.h"
#include "process_object.h"
#include "provisions.h"

namespace ombrel::platform {
namespace {

// The token is the process's capability sets. "SeDebugPrivilege" is two
// capabilities: CAP_DAC_READ_SEARCH lists another user's /proc/PID/fd
// (mode 0500), and CAP_SYS_PTRACE reads its fd and exe links
// (ptrace_may_access with PTRACE_MODE_READ_FSCREDS).
constexpr DWORD debugPrivilegeLuid = 20; // SE_DEBUG_PRIVILEGE's value on the platform

class TokenObject : public KernelObject {
public:
    explicit TokenObject(DWORD rights) : access(rights) {}
    DWORD access;
};

constexpr int debugCapabilities[] = {CAP_DAC_READ_SEARCH, CAP_SYS_PTRACE};

// Raises or lowers the debug capabilities in the effective set of this
// thread, each where the permitted set holds it; the program asks from its
// one thread, which is the one that reads /proc. True when every one was
// set as asked; wasOn tells whether all were on before.
bool SetDebugEffective(bool on, bool& wasOn) {
    CapabilitySets caps;
    if (!ReadCapabilities(caps))
        return false;
    bool all = true;
    wasOn = true;
    for (int cap : debugCapabilities) {
        wasOn = wasOn && caps.Effective(cap);
        if (on && !caps.Permitted(cap)) {
            all = false;
            continue;
        }
        caps.SetEffective(cap, on);
    }
    return WriteCapabilities(caps) && all;
}

} // namespace

namespace lx {

BOOL OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token) {
    if (token == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    bool own = process == CurrentProcessPseudoHandle();
    if (auto* object = LookupHandle<ProcessObject>(process))
        own = object->pid == static_cast<DWORD>(::getpid());
    else if (!own) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!own) {
        SetLastError(ERROR_ACCESS_DENIED); // other processes' credentials are not ours to change
        return FALSE;
    }
    *token = InsertHandle(std::make_unique<TokenObject>(desiredAccess));
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR systemName, LPCSTR name, PLUID luid) {
    if (name == nullptr || luid == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (systemName != nullptr && systemName[0] != '\0') {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (::strcasecmp(name, SE_DEBUG_NAME) != 0) {
        SetLastError(ERROR_NO_SUCH_PRIVILEGE);
        return FALSE;
    }
    luid->LowPart = debugPrivilegeLuid;
    luid->HighPart = 0;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                           DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                           LPDWORD returnLength) {
    auto* object = LookupHandle<TokenObject>(token);
    if (object == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(object->access & TOKEN_ADJUST_PRIVILEGES)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!disableAll && newState == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (previousState != nullptr && bufferLength < sizeof(TOKEN_PRIVILEGES)) {
        if (returnLength != nullptr)
            *returnLength = sizeof(TOKEN_PRIVILEGES);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }

    bool allAssigned = true;
    bool wasOn = false;
    bool touched = false;
    if (disableAll) {
        touched = SetDebugEffective(false, wasOn);
    } else {
        for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
            const LUID_AND_ATTRIBUTES& entry = newState->Privileges[i];
            if (entry.Luid.LowPart != debugPrivilegeLuid || entry.Luid.HighPart != 0) {
                allAssigned = false;
                continue;
            }
            bool enable = (entry.Attributes & SE_PRIVILEGE_ENABLED) != 0;
            if (SetDebugEffective(enable, wasOn))
                touched = true;
            else
                allAssigned = false;
        }
    }
    if (previousState != nullptr) {
        previousState->PrivilegeCount = touched ? 1 : 0;
        previousState->Privileges[0].Luid = {debugPrivilegeLuid, 0};
        previousState->Privileges[0].Attributes = wasOn ? SE_PRIVILEGE_ENABLED : 0;
        if (returnLength != nullptr)
            *returnLength = sizeof(TOKEN_PRIVILEGES);
    }
    // As on the platform: success, with the last error telling whether every
    // privilege asked for was held.
    SetLastError(allAssigned ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

} // namespace lx
} // namespace ombrel::platform
