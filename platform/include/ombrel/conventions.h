// How this platform names things: what the program's own paths and the
// programs it starts are built from.
#pragma once

#include <span>

namespace ombrel::platform {

// Between a folder and what it holds.
inline constexpr char kPathSeparator = '/';
inline constexpr char kPathSeparatorText[] = "/";
// What a program's file name ends with; programs here have none.
inline constexpr char kExecutableSuffix[] = "";

// The firewall settings programs this platform may have, by file name in the
// system directory, in order of preference.
inline std::span<const char* const> FirewallSettingsPrograms() {
    static constexpr const char* kPrograms[] = {"firewall-config", "gufw"};
    return kPrograms;
}

} // namespace ombrel::platform
