#include "programs/identified_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <unordered_map>

#include "base/proc_root.h"

#include "base/directory.h"
#include "base/mounts.h"
#include "base/regular_file.h"

namespace ombrel::platform {
namespace {

constexpr size_t kMaxPath = 4095;
constexpr size_t kMaxName = 255;

// Absolute, no empty, "." or ".." component, not the text of a deleted
// program, within the kernel's limits.
bool IsPlainProgramPath(std::string_view path) {
    if (path.size() < 2 || path.size() > kMaxPath || path[0] != '/' || NamesDeletedFile(path) ||
        path.find('\0') != std::string_view::npos)
        return false;
    for (size_t at = 1; at <= path.size();) {
        size_t end = std::min(path.find('/', at), path.size());
        std::string_view name = path.substr(at, end - at);
        if (name.empty() || name == "." || name == ".." || name.size() > kMaxName)
            return false;
        at = end + 1;
    }
    return true;
}

struct Looked {
    uint64_t mount = 0;
    mode_t mode = 0;
    FileIdentity identity;
    uid_t owner = 0;
    struct statx_timestamp modified {};
};

// What name below dirFd is (or dirFd itself, for an empty name), from
// cached attributes: no server is asked, no link followed, no automount
// triggered.
std::optional<Looked> Look(int dirFd, const char* name) {
    struct statx status {};
    int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC |
                (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    unsigned mask = STATX_TYPE | STATX_MODE | STATX_INO | STATX_UID | STATX_MTIME | STATX_MNT_ID;
    if (::statx(dirFd, name, flags, mask, &status) != 0)
        return std::nullopt;
    if (!(status.stx_mask & STATX_MNT_ID)) {
        errno = EREMOTE; // a kernel before 5.8: the mount cannot be told safely
        return std::nullopt;
    }
    return Looked{status.stx_mnt_id,
                  status.stx_mode,
                  {makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino},
                  status.stx_uid,
                  status.stx_mtime};
}

bool OnAnsweringMount(const Looked& looked, const RemoteMountTest& remote) {
    std::optional<bool> isRemote = remote(looked.mount);
    if (isRemote.value_or(true)) {
        errno = EREMOTE;
        return false;
    }
    return true;
}

FileIdentity IdentityOf(const UniqueFd& fd) {
    std::optional<Looked> looked = fd ? Look(fd.get(), "") : std::nullopt;
    return looked ? looked->identity : FileIdentity{};
}

// Whether the path descriptor still names the file by path in this
// namespace: not moved, nor unlinked, since it was opened.
bool StillAt(const UniqueFd& fd, std::string_view path) {
    std::string self = "/proc/self/fd/" + std::to_string(fd.get());
    std::optional<std::string> now = ReadLinkAt(AT_FDCWD, self.c_str());
    return now && *now == path;
}

struct RootOfProcess {
    UniqueFd dir; // its /proc entry
    std::vector<MountPoint> mounts;
    UniqueFd root;
};

// The root of a live process, when that process is still the one the
// identity was read through.
std::optional<RootOfProcess> ProcessRootOf(const ProgramIdentity& file) {
    errno = ESRCH;
    if (file.processId == 0)
        return std::nullopt;
    RootOfProcess process;
    std::string entry = ProcRoot() + "/" + std::to_string(file.processId);
    process.dir = UniqueFd(::open(entry.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::optional<TaskStat> stat = process.dir ? ReadTaskStatAt(process.dir.get()) : std::nullopt;
    if (!stat || stat->startTime != file.processStart) {
        errno = ESRCH;
        return std::nullopt;
    }
    // Its mount table names its mounts by the same ids as statx does.
    UniqueFd table(::openat(process.dir.get(), "mountinfo", O_RDONLY | O_CLOEXEC));
    std::optional<std::string> text =
        table ? ReadToEnd(table.get(), size_t{16} << 20) : std::nullopt;
    if (!text) {
        errno = EACCES;
        return std::nullopt;
    }
    process.mounts = ParseMountInfo(*text);
    // The root link is the one link followed: it is the kernel's own.
    process.root = UniqueFd(::openat(process.dir.get(), "root", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!process.root)
        return std::nullopt;
    return process;
}

// A mount by id in a process's table; mount ids are the machine's, so one
// that table leaves out (the mount a chrooted process's root lies on) is
// looked up in this namespace's.
std::optional<bool> RemoteInProcess(const std::vector<MountPoint>& mounts, uint64_t id) {
    std::optional<bool> listed = IsRemoteMount(mounts, id);
    return listed ? listed : IsRemoteMount(id);
}

// The file at path inside a live process's own root.
UniqueFd OpenInProcessRoot(const ProgramIdentity& file, std::string_view path) {
    std::optional<RootOfProcess> process = ProcessRootOf(file);
    if (!process)
        return UniqueFd();
    const std::vector<MountPoint>& mounts = process->mounts;
    return WalkProgramPath(process->root.get(), path,
                           [&](uint64_t id) { return RemoteInProcess(mounts, id); });
}

// Only root could have written it: its own, writable by no one else.
bool IsRootsOwn(const Looked& looked) {
    return looked.owner == 0 && (looked.mode & (S_IWGRP | S_IWOTH)) == 0;
}

std::string StampOf(const struct statx_timestamp& time) {
    return std::to_string(time.tv_sec) + "." + std::to_string(time.tv_nsec);
}

UniqueFd FindByIdentity(const ProgramIdentity& file, std::string_view path, ProgramFilePlace& place,
                        int& error) {
    place = ProgramFilePlace::None;
    error = ENOENT;
    FileIdentity wanted{file.device, file.inode};
    if (!wanted.Known())
        return UniqueFd();
    UniqueFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    UniqueFd found =
        root ? WalkProgramPath(root.get(), path, [](uint64_t id) { return IsRemoteMount(id); })
             : UniqueFd();
    if (found && IdentityOf(found) == wanted && StillAt(found, path)) {
        place = ProgramFilePlace::Here;
        return found;
    }
    int hereError = found ? ENOENT : errno; // another file there is none
    found = OpenInProcessRoot(file, path);
    if (found && IdentityOf(found) == wanted) {
        place = ProgramFilePlace::ProcessRoot;
        return found;
    }
    int rootError = found ? ENOENT : errno;
    if (hereError == EACCES) {
        // A folder closed to the viewer hides what is there, which is not
        // the same as nothing being there.
        error = EACCES;
    } else if (hereError == EREMOTE || rootError == EREMOTE) {
        // There, on a mount that may not answer: not looked at.
        error = EREMOTE;
        place = ProgramFilePlace::Offline;
    }
    return UniqueFd();
}

UniqueFd OpenByIdentity(const ProgramIdentity& file, std::string_view path, ProgramFilePlace& place,
                        int& error) {
    UniqueFd found = FindByIdentity(file, path, place, error);
    if (found && file.claimant != 0 && file.claimant != ::getuid()) {
        // Her own namespace lets a user point her process's program link
        // at any file she can open, a packaged daemon's or this program's:
        // the file is there, but its details would be her choice shown to
        // someone else.
        error = EACCES;
        place = ProgramFilePlace::Claimed;
        return UniqueFd();
    }
    return found;
}

struct Followed {
    UniqueFd fd; // a path descriptor
    Looked looked;
};

// What path names below rootFd, its links followed as in that root (an
// absolute target from it, ".." never above it), each step as in
// WalkProgramPath. Its path with the links resolved goes to resolved; where
// a mount that may not answer stops the walk (EREMOTE), what was resolved
// and the rest as written go to asWritten.
std::optional<Followed> FollowIn(int rootFd, std::string_view path, const RemoteMountTest& remote,
                                 std::string* resolved = nullptr,
                                 std::string* asWritten = nullptr) {
    constexpr int kMaxLinks = 40; // as the kernel's own lookups
    if (path.empty() || path[0] != '/' || path.size() > kMaxPath) {
        errno = EINVAL;
        return std::nullopt;
    }
    // Names still to take, the last first; and the names taken.
    std::vector<std::string> todo;
    std::vector<std::string> taken;
    auto push = [&](std::string_view text) {
        std::vector<std::string> names;
        for (size_t at = 0; at <= text.size();) {
            size_t end = std::min(text.find('/', at), text.size());
            if (end > at)
                names.emplace_back(text.substr(at, end - at));
            at = end + 1;
        }
        todo.insert(todo.end(), names.rbegin(), names.rend());
    };
    auto joined = [&](const std::vector<std::string>& names, bool reversed) {
        std::string text;
        if (reversed)
            for (auto name = names.rbegin(); name != names.rend(); ++name)
                text += "/" + *name;
        else
            for (const std::string& name : names)
                text += "/" + name;
        return text;
    };
    auto offline = [&] {
        if (asWritten != nullptr) {
            *asWritten = joined(taken, false) + joined(todo, true);
            if (asWritten->empty())
                *asWritten = "/";
        }
        errno = EREMOTE;
        return std::nullopt;
    };
    push(path);
    std::optional<Looked> looked = Look(rootFd, "");
    if (!looked)
        return std::nullopt;
    if (!OnAnsweringMount(*looked, remote))
        return offline();
    UniqueFd dir(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    int links = 0;
    while (dir && !todo.empty()) {
        std::string name = std::move(todo.back());
        todo.pop_back();
        if (name == ".")
            continue;
        if (name == "..") {
            // Never above the root; the folder is walked to again from it.
            if (!taken.empty())
                taken.pop_back();
            std::string parent = joined(taken, false);
            dir = parent.empty() ? UniqueFd(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0))
                                 : WalkProgramPath(rootFd, parent, remote);
            looked = dir ? Look(dir.get(), "") : std::nullopt;
            continue;
        }
        std::optional<Looked> next = Look(dir.get(), name.c_str());
        if (!next)
            return std::nullopt;
        if (S_ISLNK(next->mode)) {
            // The link lies in a folder of a mount that answers.
            std::optional<std::string> target = ReadLinkAt(dir.get(), name.c_str());
            if (++links > kMaxLinks || !target || target->empty()) {
                errno = ELOOP;
                return std::nullopt;
            }
            if ((*target)[0] == '/') {
                taken.clear();
                dir = UniqueFd(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
            }
            push(*target);
            continue;
        }
        if (!todo.empty() && !S_ISDIR(next->mode)) {
            errno = ENOTDIR;
            return std::nullopt;
        }
        if (!OnAnsweringMount(*next, remote)) {
            todo.push_back(std::move(name));
            return offline();
        }
        UniqueFd opened(::openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        std::optional<Looked> now = opened ? Look(opened.get(), "") : std::nullopt;
        if (!now || now->identity != next->identity || now->mount != next->mount) {
            errno = EAGAIN; // swapped between the look and the open
            return std::nullopt;
        }
        taken.push_back(std::move(name));
        dir = std::move(opened);
        looked = now;
    }
    if (!dir || !looked)
        return std::nullopt;
    if (resolved != nullptr) {
        *resolved = joined(taken, false);
        if (resolved->empty())
            *resolved = "/";
    }
    return Followed{std::move(dir), *looked};
}

} // namespace

UniqueFd WalkProgramPath(int rootFd, std::string_view path, const RemoteMountTest& remote) {
    if (!IsPlainProgramPath(path)) {
        errno = EINVAL;
        return UniqueFd();
    }
    std::optional<Looked> here = Look(rootFd, "");
    if (!here || !OnAnsweringMount(*here, remote))
        return UniqueFd();
    UniqueFd dir(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    for (size_t at = 1; dir && at <= path.size();) {
        size_t end = std::min(path.find('/', at), path.size());
        bool last = end == path.size();
        std::string name(path.substr(at, end - at));
        at = end + 1;
        // Looked at before it is opened: the directory it lies in is on a
        // mount that answers; what it is, and the mount it lands on, are
        // read without asking that mount's server.
        std::optional<Looked> looked = Look(dir.get(), name.c_str());
        if (!looked)
            return UniqueFd();
        if (S_ISLNK(looked->mode)) {
            errno = ELOOP;
            return UniqueFd();
        }
        if (!last && !S_ISDIR(looked->mode)) {
            errno = ENOTDIR;
            return UniqueFd();
        }
        if (!OnAnsweringMount(*looked, remote))
            return UniqueFd();
        UniqueFd next(::openat(dir.get(), name.c_str(),
                               O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY)));
        // A name swapped between the look and the open is not followed.
        std::optional<Looked> opened = next ? Look(next.get(), "") : std::nullopt;
        if (!opened || opened->identity != looked->identity || opened->mount != looked->mount) {
            errno = next ? EAGAIN : errno;
            return UniqueFd();
        }
        dir = std::move(next);
    }
    return dir;
}

const UniqueFd& OpenBoundFile(const BoundProgram& binding, ProgramFilePlace* place) {
    if (!binding.opened) {
        binding.fd = OpenByIdentity(binding.file, binding.path, binding.place, binding.error);
        binding.opened = true;
    }
    if (place != nullptr)
        *place = binding.place;
    return binding.fd;
}

size_t ProgramPlaceKeyHash::operator()(const ProgramPlaceKey& key) const {
    uint64_t h = key.device * 0x9E3779B97F4A7C15ull ^ key.inode;
    h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull ^ key.start ^ key.pid;
    return static_cast<size_t>(h ^ (h >> 32));
}

ProgramFilePlace PlaceOf(const BoundProgram& binding, ProgramPlaces* known) {
    const ProgramIdentity& file = binding.file;
    if (binding.opened || known == nullptr) {
        ProgramFilePlace place;
        OpenBoundFile(binding, &place);
        return place;
    }
    ProgramPlaceKey key{file.device, file.inode, file.processStart, file.processId};
    if (auto found = known->find(key); found != known->end() && found->second.path == binding.path)
        return found->second.place;
    ProgramFilePlace place;
    OpenBoundFile(binding, &place);
    binding.fd.reset(); // a large refresh would hold one per program otherwise
    binding.opened = false;
    known->insert_or_assign(key, KnownProgramPlace{binding.path, place});
    return place;
}

std::string OwnPathOf(const BoundProgram& binding, ProgramPlaces* known) {
    ProgramFilePlace place = PlaceOf(binding, known);
    if (place == ProgramFilePlace::ProcessRoot)
        return binding.path; // walked in that root, and walked there again to be read
    if (place != ProgramFilePlace::Here)
        return "";
    // Within a refresh the place may be remembered, its descriptor
    // closed: it was checked as it was walked.
    if (binding.fd &&
        (IdentityOf(binding.fd) != FileIdentity{binding.file.device, binding.file.inode} ||
         !StillAt(binding.fd, binding.path)))
        return "";
    return binding.path;
}

UniqueFd FollowPath(int rootFd, std::string_view path, const RemoteMountTest& remote,
                    std::string* resolved) {
    std::string asWritten;
    std::optional<Followed> followed = FollowIn(rootFd, path, remote, resolved, &asWritten);
    if (!followed) {
        if (errno == EREMOTE && resolved != nullptr)
            *resolved = std::move(asWritten);
        return UniqueFd();
    }
    return std::move(followed->fd);
}

UniqueFd OpenHostPath(std::string_view path, std::string* resolved) {
    // As written, a path on such a mount is not even begun on.
    if (IsOnRemoteFileSystem(path)) {
        if (resolved != nullptr)
            *resolved = path;
        errno = EREMOTE;
        return UniqueFd();
    }
    UniqueFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root)
        return UniqueFd();
    return FollowPath(
        root.get(), path, [](uint64_t id) { return IsRemoteMount(id); }, resolved);
}

struct ProcessRootFiles::Found {
    UniqueFd fd; // a path descriptor
    Looked looked;
};

std::optional<ProcessRootFiles::Found> ProcessRootFiles::Open(const std::string& path,
                                                              std::string* resolved) const {
    std::optional<Followed> followed = FollowIn(
        root_.get(), path, [&](uint64_t id) { return RemoteInProcess(mounts_, id); }, resolved);
    if (!followed)
        return std::nullopt;
    return Found{std::move(followed->fd), followed->looked};
}

bool ProcessRootFiles::Vouched(const Found& found) const {
    return S_ISREG(found.looked.mode) && IsRootsOwn(found.looked) &&
           found.looked.mount == programMount_;
}

std::optional<std::string> ProcessRootFiles::Read(const std::string& path, size_t limit) const {
    std::optional<Found> found = Open(path);
    if (!found || !Vouched(*found))
        return std::nullopt;
    struct stat info {};
    UniqueFd file = ReopenRegular(found->fd, O_RDONLY, &info);
    if (!file || static_cast<uint64_t>(info.st_size) > limit)
        return std::nullopt;
    return ReadToEnd(file.get(), limit);
}

void ProcessRootFiles::ForEachEntry(
    const std::string& dir,
    const std::function<void(std::string_view, unsigned char)>& visit) const {
    std::optional<Found> found = Open(dir);
    if (!found || !S_ISDIR(found->looked.mode))
        return;
    UniqueFd listing(::openat(found->fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (listing)
        ForEachDirectoryEntryAt(listing.get(), visit);
}

std::string ProcessRootFiles::Stamp(const std::vector<std::string>& paths) const {
    std::string stamp;
    for (const std::string& path : paths)
        if (std::optional<Found> found = Open(path))
            stamp += path + "@" + std::to_string(found->looked.identity.inode) + ":" +
                     StampOf(found->looked.modified) + ";";
    return stamp;
}

std::string ProcessRootFiles::RealPath(const std::string& path) const {
    std::string resolved;
    return Open(path, &resolved) ? resolved : "";
}

bool ProcessRootFiles::IsExecutable(const std::string& path) const {
    std::optional<Found> found = Open(path);
    return found && S_ISREG(found->looked.mode) && (found->looked.mode & 0111) != 0;
}

bool ProcessRootFiles::IsReadable(const std::string& path) const {
    std::optional<Found> found = Open(path);
    return found && Vouched(*found);
}

bool ProcessRootFiles::IsDirectory(const std::string& path) const {
    std::optional<Found> found = Open(path);
    return found && S_ISDIR(found->looked.mode);
}

std::string ProcessRootFiles::Environment(const char* name) const {
    if (!environment_) {
        UniqueFd file(::openat(procDir_.get(), "environ", O_RDONLY | O_CLOEXEC));
        environment_ = file ? ReadToEnd(file.get(), size_t{1} << 20).value_or("") : "";
    }
    std::string_view all = *environment_;
    std::string prefix = std::string(name) + "=";
    for (size_t at = 0; at < all.size();) {
        size_t end = std::min(all.find('\0', at), all.size());
        std::string_view entry = all.substr(at, end - at);
        if (entry.substr(0, prefix.size()) == prefix)
            return std::string(entry.substr(prefix.size()));
        at = end + 1;
    }
    return "";
}

std::unique_ptr<ProcessRootFiles> OpenProcessRoot(const ProgramIdentity& file,
                                                  std::string_view path) {
    std::optional<RootOfProcess> process = ProcessRootOf(file);
    if (!process)
        return nullptr;
    auto files = std::unique_ptr<ProcessRootFiles>(new ProcessRootFiles);
    files->procDir_ = std::move(process->dir);
    files->root_ = std::move(process->root);
    files->mounts_ = std::move(process->mounts);
    std::optional<Looked> root = Look(files->root_.get(), "");
    if (!root)
        return nullptr;
    files->key_ = std::to_string(root->identity.device) + ":" +
                  std::to_string(root->identity.inode) + "@" + std::to_string(root->mount);
    UniqueFd program = WalkProgramPath(
        files->root_.get(), path, [&](uint64_t id) { return RemoteInProcess(files->mounts_, id); });
    std::optional<Looked> looked = program ? Look(program.get(), "") : std::nullopt;
    if (!looked || looked->identity != FileIdentity{file.device, file.inode} ||
        !IsRootsOwn(*looked))
        return nullptr;
    files->programMount_ = looked->mount;
    return files;
}

} // namespace ombrel::platform
