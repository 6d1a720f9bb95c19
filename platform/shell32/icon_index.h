// Finding the icon the desktop shows for a program file.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace ombrel::platform {

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

// The icon size a theme's directory name stands for: "16x16", "16x16@2" ->
// 16; "scalable" -> 0; anything else -> -1.
int IconDirectorySize(std::string_view name);

// The data directories, most important first ($XDG_DATA_HOME, then
// $XDG_DATA_DIRS, with their documented defaults).
std::vector<std::string> XdgDataDirs();

// The icon file for an existing program file: the one its desktop entry
// names, at 16 pixels from the icon theme, else the theme's generic program
// icon; empty when neither is installed.
const std::string& ProgramIconFile(std::string_view programPath);

// The icon theme's file for an icon name, at 16 pixels where it has one.
std::string ThemeIconFile(const std::string& name);

void ResetIconIndex();

// Hashing that looks strings up by views, without making a string.
struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
template <typename Value>
using StringMap = std::unordered_map<std::string, Value, StringHash, std::equal_to<>>;

} // namespace ombrel::platform
