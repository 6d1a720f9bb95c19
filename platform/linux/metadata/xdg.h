// The desktop's base folders and application entries (XDG).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "programs/file_source.h"

namespace ombrel::platform {

// The data folders, most important first ($XDG_DATA_HOME, then
// $XDG_DATA_DIRS, with their documented defaults); folders on network or
// user-space file systems are left out. Read for files' environment: this
// program's, or a process's own.
std::vector<std::string> XdgDataDirs(const FileSource& files = HostFiles());

// The configuration folders, most important first ($XDG_CONFIG_HOME, then
// $XDG_CONFIG_DIRS, with their documented defaults), left out likewise.
std::vector<std::string> XdgConfigDirs();

struct DesktopEntry {
    std::string exec;    // Exec's program, as written
    std::string tryExec; // TryExec, as written
    std::string icon;    // Icon, a theme name or an absolute path
};

// The [Desktop Entry] group of a .desktop file; empty icon when it has none.
DesktopEntry ParseDesktopEntry(std::string_view text);

// The program an Exec line starts: its first word, quotes removed, after
// any "env" and VAR=value words.
std::string ExecProgram(std::string_view exec);

} // namespace ombrel::platform
