#include "programs/file_source.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "base/directory.h"
#include "base/mounts.h"
#include "base/regular_file.h"
#include "programs/identified_file.h"

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
    // From where a mount that may not answer begins, the path is taken as
    // written, since resolving it could wait for good.
    std::string RealPath(const std::string& path) const override {
        std::string resolved;
        UniqueFd found = OpenHostPath(path, &resolved);
        return found || errno == EREMOTE ? resolved : "";
    }
    bool IsExecutable(const std::string& path) const override {
        struct stat info {};
        UniqueFd found = OpenHostPath(path);
        if (!found || ::fstat(found.get(), &info) != 0 || !S_ISREG(info.st_mode))
            return false;
        std::string self = "/proc/self/fd/" + std::to_string(found.get());
        return ::access(self.c_str(), X_OK) == 0;
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
