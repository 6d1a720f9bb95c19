#include <cstring>
#include <sys/utsname.h>

#include "provisions.h"
#include <ombrel/text.h>

namespace ombrel::platform::lx {

// The layer implements the services of platform version 5.1 (NT family);
// the kernel release stands where the service-pack text would.
BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    if (info == nullptr || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
                            info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) + 8)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = 5;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 2600;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
    utsname names{};
    if (::uname(&names) == 0)
        CopyText(info->szCSDVersion, sizeof info->szCSDVersion, names.release);
    return TRUE;
}

} // namespace ombrel::platform::lx
