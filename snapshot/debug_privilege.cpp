#include "debug_privilege.h"

#include <windows.h>

#include <ombrel/owned.h>

int EnableSnapshotPrivilege() {
    ombrel::UniqueHandle token;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                          token.receive()))
        return 0;
    TOKEN_PRIVILEGES privileges{};
    LookupPrivilegeValueA(nullptr, SE_DEBUG_NAME, &privileges.Privileges[0].Luid);
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    return AdjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
}
