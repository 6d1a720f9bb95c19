#include "base/mounts.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>
#include <vector>

#include "base/fd.h"
#include "base/proc_text.h"
#include "base/procfs.h"

namespace ombrel::platform {
namespace {

constexpr const char* kLiveTable = "/proc/self/mountinfo";

// File systems that may stop answering, by statfs's type.
bool IsRemoteMagic(unsigned long type) {
    for (unsigned long remote :
         {0x6969ul /* nfs */, 0x517Bul /* smb */, 0xFE534D42ul /* smb2 */, 0xFF534D42ul /* cifs */,
          0x65735546ul /* fuse */, 0x0187ul /* autofs */, 0x00C36400ul /* ceph */,
          0x5346414Ful /* afs */, 0x6B414653ul /* kafs */, 0x73757245ul /* coda */,
          0x01021997ul /* 9p */, 0x564Cul /* ncp */, 0x7461636Ful /* ocfs2 */,
          0x01161970ul /* gfs2 */, 0x0BD00BD0ul /* lustre */, 0x13661366ul /* orangefs */})
        if (type == remote)
            return true;
    return false;
}

// The table lists only the mounts reachable from this process's root, so a
// chroot's table leaves out the mount the root lies on: that one is known
// by its file system's type. (The program runs from it: were it a server
// that does not answer, nothing here would run.)
std::optional<bool> UnlistedRootIsRemote(uint64_t id) {
    struct statx root {};
    if (::statx(AT_FDCWD, "/", AT_STATX_DONT_SYNC, STATX_MNT_ID, &root) != 0 ||
        !(root.stx_mask & STATX_MNT_ID) || root.stx_mnt_id != id)
        return std::nullopt;
    struct statfs fs {};
    if (::statfs("/", &fs) != 0)
        return std::nullopt;
    return IsRemoteMagic(static_cast<unsigned long>(fs.f_type));
}

} // namespace

// Every mount point counts, not only remote ones: a local mount inside a
// remote one makes its subtree local again.
std::vector<MountPoint> ParseMountInfo(std::string_view text) {
    std::vector<MountPoint> mounts;
    ForEachMountInfoLine(text, [&](MountInfoLine& line) {
        if (line.described)
            mounts.push_back({std::move(line.point), IsRemoteFileSystemType(line.type), line.id});
    });
    // Longest mount point first: the first that contains a path is its own.
    std::stable_sort(mounts.begin(), mounts.end(), [](const MountPoint& a, const MountPoint& b) {
        return a.point.size() > b.point.size();
    });
    return mounts;
}

namespace {

// The mount table, read again only when the kernel says it changed: an open
// mountinfo reports a priority event after every mount and unmount.
class MountTable {
public:
    bool IsRemote(std::string_view path) {
        Update();
        for (const MountPoint& mount : mounts_) {
            std::string_view point = mount.point;
            if (path.size() >= point.size() && path.compare(0, point.size(), point) == 0 &&
                (path.size() == point.size() || point == "/" || path[point.size()] == '/'))
                return mount.remote;
        }
        return false;
    }

    std::optional<bool> IsRemoteMount(uint64_t id) {
        Update();
        std::optional<bool> listed = platform::IsRemoteMount(mounts_, id);
        return listed ? listed : UnlistedRootIsRemote(id);
    }

    std::string SetSource(std::string source) {
        std::string saved = std::move(source_);
        source_ = std::move(source);
        fd_.reset();
        return saved;
    }

private:
    void Update() {
        if (fd_) {
            pollfd changed{fd_.get(), POLLPRI, 0};
            if (::poll(&changed, 1, 0) == 0)
                return;
        } else {
            fd_.reset(::open(source_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        }
        std::optional<std::string> text;
        if (fd_ && ::lseek(fd_.get(), 0, SEEK_SET) == 0)
            text = ReadToEnd(fd_.get(), size_t{16} << 20);
        mounts_ = ParseMountInfo(text.value_or(""));
        if (source_ != kLiveTable)
            fd_.reset(); // a file stands in: read it afresh every time
    }

    std::string source_ = kLiveTable;
    UniqueFd fd_;
    std::vector<MountPoint> mounts_;
};

MountTable& Table() {
    static MountTable table;
    return table;
}

} // namespace

std::optional<bool> IsRemoteMount(const std::vector<MountPoint>& mounts, uint64_t mountId) {
    for (const MountPoint& mount : mounts)
        if (mount.id == mountId && mountId != 0)
            return mount.remote;
    return std::nullopt;
}

std::optional<bool> IsRemoteMount(uint64_t mountId) {
    return Table().IsRemoteMount(mountId);
}

bool IsRemoteFileSystemType(std::string_view type) {
    if (type.rfind("fuse", 0) == 0) // fuse, fuseblk, fuse.sshfs, ...
        return true;
    for (std::string_view remote :
         {"autofs", "nfs", "nfs4", "cifs", "smb3", "smbfs", "ncpfs", "9p", "afs", "ceph",
          "glusterfs", "lustre", "davfs", "coda", "orangefs", "beegfs", "gpfs", "ocfs2", "gfs2"})
        if (type == remote)
            return true;
    return false;
}

bool IsOnRemoteFileSystem(std::string_view path) {
    if (!path.empty() && path[0] == '/')
        return Table().IsRemote(path);
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr)
        return false;
    return Table().IsRemote(std::string(cwd) + "/" + std::string(path));
}

MountTableOverride::MountTableOverride(std::string mountinfoPath)
    : saved_(Table().SetSource(std::move(mountinfoPath))) {}

MountTableOverride::~MountTableOverride() {
    Table().SetSource(std::move(saved_));
}

} // namespace ombrel::platform
