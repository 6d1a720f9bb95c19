// Where the package database, desktop entries and icon themes are read
// from: this namespace's files, or a process's own root (see
// identified_file.h), whose files speak of its program only when no user but
// root could have written them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel::platform {

class FileSource {
public:
    // A whole regular file of at most limit bytes.
    virtual std::optional<std::string> Read(const std::string& path, size_t limit) const = 0;
    // visit(name, d_type) for every entry of dir but "." and "..".
    virtual void
    ForEachEntry(const std::string& dir,
                 const std::function<void(std::string_view, unsigned char)>& visit) const = 0;
    // One text that changes when any of the files changes, appears or goes.
    virtual std::string Stamp(const std::vector<std::string>& paths) const = 0;
    // The path with its links resolved; empty when it cannot be. For the
    // programs desktop entries start: a program file's own path is never
    // resolved again (see icon_theme.h).
    virtual std::string RealPath(const std::string& path) const = 0;
    virtual bool IsExecutable(const std::string& path) const = 0;
    // Whether Read could be given the file.
    virtual bool IsReadable(const std::string& path) const = 0;
    virtual bool IsDirectory(const std::string& path) const = 0;
    // A variable of the environment the files are read for; empty if unset.
    virtual std::string Environment(const char* name) const = 0;

protected:
    ~FileSource() = default;
};

// This namespace's files, read as anyone's: regular files only, and
// nothing on a mount that may not answer is looked at.
const FileSource& HostFiles();

} // namespace ombrel::platform
