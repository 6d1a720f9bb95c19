#include "metadata/xdg.h"

#include "base/mounts.h"
#include "base/search_path.h"
#include "metadata/key_file.h"

namespace ombrel::platform {
namespace {

// A folder on a network or user-space file system (a home on NFS, say) is
// left out: a refresh must never wait on its server. A process's own root
// is walked mount by mount as it is read, and its environment is its own.
std::vector<std::string> BaseDirs(const FileSource& files, const char* homeVariable,
                                  const char* homeDefault, const char* listVariable,
                                  const char* listDefault) {
    bool host = &files == &HostFiles();
    auto answers = [&](const std::string& dir) { return !host || !IsOnRemoteFileSystem(dir); };
    std::vector<std::string> dirs;
    std::string home = files.Environment(homeVariable);
    if (home.empty() && !files.Environment("HOME").empty())
        home = files.Environment("HOME") + homeDefault;
    if (!home.empty() && answers(home))
        dirs.push_back(home);
    std::string list = files.Environment(listVariable);
    if (list.empty())
        list = listDefault;
    for (std::string& dir : SplitList(list))
        if (answers(dir))
            dirs.push_back(std::move(dir));
    return dirs;
}

// The Exec key's words: blanks separate them; a double-quoted part may hold
// blanks, and in it a backslash escapes '"', '`', '$' and '\\' (the desktop
// entry rules; the shell is never involved).
std::vector<std::string> SplitExec(std::string_view exec) {
    std::vector<std::string> words;
    std::string word;
    bool inWord = false, quoted = false;
    for (size_t i = 0; i < exec.size(); ++i) {
        char c = exec[i];
        if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord)
                words.push_back(std::move(word));
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '"') {
            quoted = !quoted;
        } else if (quoted && c == '\\' && i + 1 < exec.size() &&
                   std::string_view("\"`$\\").find(exec[i + 1]) != std::string_view::npos) {
            word += exec[++i];
        } else {
            word += c;
        }
    }
    if (inWord)
        words.push_back(std::move(word));
    return words;
}

} // namespace

std::vector<std::string> XdgDataDirs(const FileSource& files) {
    return BaseDirs(files, "XDG_DATA_HOME", "/.local/share", "XDG_DATA_DIRS",
                    "/usr/local/share:/usr/share");
}

std::vector<std::string> XdgConfigDirs() {
    return BaseDirs(HostFiles(), "XDG_CONFIG_HOME", "/.config", "XDG_CONFIG_DIRS", "/etc/xdg");
}

DesktopEntry ParseDesktopEntry(std::string_view text) {
    DesktopEntry entry;
    ForEachKeyFileEntry(text,
                        [&](std::string_view group, std::string_view key, std::string_view value) {
                            if (group != "Desktop Entry")
                                return;
                            if (key == "Exec")
                                entry.exec = value;
                            else if (key == "TryExec")
                                entry.tryExec = value;
                            else if (key == "Icon")
                                entry.icon = value;
                        });
    return entry;
}

std::string ExecProgram(std::string_view exec) {
    std::vector<std::string> words = SplitExec(exec);
    size_t i = 0;
    if (i < words.size() && (words[i] == "env" || words[i] == "/usr/bin/env")) {
        ++i;
        while (i < words.size() && (words[i].find('=') != std::string::npos || words[i][0] == '-'))
            ++i;
    }
    return i < words.size() ? words[i] : "";
}

} // namespace ombrel::platform
