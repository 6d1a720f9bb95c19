#include <ombrel/process_setup.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "base/capabilities.h"

extern char** environ;

namespace ombrel::platform {

bool RunsPrivileged() {
    if (::getuid() != ::geteuid() || ::getgid() != ::getegid())
        return true;
    for (const char* name : {"PKEXEC_UID", "SUDO_UID"})
        if (const char* value = std::getenv(name); value != nullptr && *value != '\0')
            return true;
    // A permitted capability counts too: it can be raised later.
    CapabilitySets caps;
    if (!ReadCapabilities(caps))
        return true; // unknown: assume the worst
    return caps.effective != 0 || caps.permitted != 0;
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void DropUnsafeEnvironment() {
    if (RunsPrivileged())
        DropFrameworkVariables();
}

void DropFrameworkVariables() {
    // Every Qt variable goes, but the offscreen platform and the ones that
    // only scale or log: plug-in paths, platform, platform theme, style,
    // input method, GL and Wayland integrations all load code or redirect
    // the display.
    static const char* const harmless[] = {"QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS",
                                           "QT_ENABLE_HIGHDPI_SCALING", "QT_FONT_DPI",
                                           "QT_LOGGING_RULES"};
    std::vector<std::string> unsafe;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string name(*entry, std::strcspn(*entry, "="));
        if (name.rfind("QT_", 0) != 0 && name.rfind("QML", 0) != 0)
            continue;
        bool keep = false;
        for (const char* allowed : harmless)
            keep = keep || name == allowed;
        if (name == "QT_QPA_PLATFORM")
            keep = std::strcmp(std::getenv("QT_QPA_PLATFORM"), "offscreen") == 0;
        if (!keep)
            unsafe.push_back(std::move(name));
    }
    for (const std::string& name : unsafe)
        ::unsetenv(name.c_str());
}

} // namespace ombrel::platform
