// Which paths lie on file systems that may never answer: network file
// systems and user-space (FUSE) ones, from the mount table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel::platform {

// Whether path, taken as it is written (the kernel's program paths are
// already free of links and dot components), lies on a network or user-space
// file system. Nothing under such a mount is touched to find out.
bool IsOnRemoteFileSystem(std::string_view path);

// A mount point, its mount id and whether its file system may stop
// answering.
struct MountPoint {
    std::string point;
    bool remote;
    uint64_t id = 0;
};

// Whether the mount with this id (statx's STATX_MNT_ID) in this process's
// mount table may stop answering; nullopt when the table has no such mount.
std::optional<bool> IsRemoteMount(uint64_t mountId);

// The same in a table already read.
std::optional<bool> IsRemoteMount(const std::vector<MountPoint>& mounts, uint64_t mountId);

// The mount points of /proc/self/mountinfo text, longest first (the first
// one that holds a path is the mount it lies on). Lines that do not parse
// are skipped.
std::vector<MountPoint> ParseMountInfo(std::string_view text);

// Whether a file system type is one whose server may stop answering (an
// automount point counts: what it mounts may be such a one).
bool IsRemoteFileSystemType(std::string_view type);

// Reads the mount table from another file in mountinfo's format for the
// life of the object (tests).
class MountTableOverride {
public:
    explicit MountTableOverride(std::string mountinfoPath);
    ~MountTableOverride();
    MountTableOverride(const MountTableOverride&) = delete;
    MountTableOverride& operator=(const MountTableOverride&) = delete;

private:
    std::string saved_;
};

} // namespace ombrel::platform
