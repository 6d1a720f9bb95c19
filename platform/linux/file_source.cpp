#include "file_source.h"

#include <climits>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "directory.h"
#include "mounts.h"
#include "regular_file.h"
#include "search_path.h"

namespace ombrel::platform {
namespace {

class Host final : public FileSource {
public:
    std::optional<std::string> Read(const std::string& path, size_t limit) const override {
        return ReadRegularFile(path, limit);
    }
    void
    ForEachEntry(const std::string& dir,
                 const std::function<void(std::string_view, unsigned char)>& visit) const override {
        ForEachDirectoryEntry(dir, visit);
    }
    std::string Stamp(const std::vector<std::string>& paths) const override {
        return ModificationStamp(paths);
    }
    // A path on a network or user-space file system is taken as written,
    // since resolving it could wait for good.
    std::string RealPath(const std::string& path) const override {
        if (IsOnRemoteFileSystem(path))
            return path;
        char resolved[PATH_MAX];
        return ::realpath(path.c_str(), resolved) ? resolved : "";
    }
    bool IsExecutable(const std::string& path) const override {
        return !IsOnRemoteFileSystem(path) && IsExecutableFile(path);
    }
    bool IsReadable(const std::string& path) const override {
        return !IsOnRemoteFileSystem(path) && ::access(path.c_str(), R_OK) == 0;
    }
    bool IsDirectory(const std::string& path) const override {
        struct stat info {};
        return !IsOnRemoteFileSystem(path) && ::stat(path.c_str(), &info) == 0 &&
               S_ISDIR(info.st_mode);
    }
    std::string Environment(const char* name) const override {
        const char* value = std::getenv(name);
        return value ? value : "";
    }
};

} // namespace

const FileSource& HostFiles() {
    static const Host host;
    return host;
}

} // namespace ombrel::platform
