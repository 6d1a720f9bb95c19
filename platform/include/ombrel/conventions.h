// How this platform names things: what the program's own paths and the
// programs it starts are built from.
#pragma once

#include <cstdint>
#include <span>

namespace ombrel::platform {

// Between a folder and what it holds.
inline constexpr char kPathSeparator = '/';
inline constexpr char kPathSeparatorText[] = "/";
// What a program's file name ends with; programs here have none.
inline constexpr char kExecutableSuffix[] = "";

// Below this process id the refresh reads no program path: ids of the
// platform's own idle and system processes (20 on the original platform).
// Here only 0 is no process; init and a container's low ids are ordinary
// programs whose paths can be read.
inline constexpr uint32_t kLowestOrdinaryProcessId = 1;

// An IPv6 address's scope id where the address has one (link-local, say)
// and the kernel's table that gave it does not say which: no interface has
// this number.
inline constexpr uint32_t kUnknownScopeId = UINT32_MAX;

// The firewall settings programs this platform may have, by file name in the
// system directory, in order of preference.
inline std::span<const char* const> FirewallSettingsPrograms() {
    static constexpr const char* kPrograms[] = {"firewall-config", "gufw"};
    return kPrograms;
}

} // namespace ombrel::platform
