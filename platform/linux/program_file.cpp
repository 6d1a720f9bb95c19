#include "program_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <unordered_map>

#include <ombrel/services.h>

#include "../core/provisions.h"
#include "../core/scope_memo.h"
#include "../kernel32/process_object.h"
#include "collector_link.h"
#include "mounts.h"
#include "regular_file.h"

namespace ombrel::platform {
namespace {

thread_local const ProgramFileScope::Binding* t_binding = nullptr;

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
};

// What name below dirFd is (or dirFd itself, for an empty name), from
// cached attributes: no server is asked, no link followed, no automount
// triggered.
std::optional<Looked> Look(int dirFd, const char* name) {
    struct statx status {};
    int flags = AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC |
                (name[0] == '\0' ? AT_EMPTY_PATH : 0);
    if (::statx(dirFd, name, flags, STATX_TYPE | STATX_INO | STATX_MNT_ID, &status) != 0)
        return std::nullopt;
    if (!(status.stx_mask & STATX_MNT_ID)) {
        errno = EREMOTE; // a kernel before 5.8: the mount cannot be told safely
        return std::nullopt;
    }
    return Looked{status.stx_mnt_id,
                  status.stx_mode,
                  {makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino}};
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

// The file at path inside a live process's own root, when that process is
// still the one the identity was read through.
UniqueFd OpenInProcessRoot(const ProgramFile& file, std::string_view path) {
    errno = ESRCH;
    if (file.processId == 0)
        return UniqueFd();
    std::string entry = ProcRoot() + "/" + std::to_string(file.processId);
    UniqueFd dir(::open(entry.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::optional<TaskStat> stat = dir ? ReadTaskStatAt(dir.get()) : std::nullopt;
    if (!stat || stat->startTime != file.processStart) {
        errno = ESRCH;
        return UniqueFd();
    }
    // Its mount table names its mounts by the same ids as statx does.
    UniqueFd table(::openat(dir.get(), "mountinfo", O_RDONLY | O_CLOEXEC));
    std::optional<std::string> text =
        table ? ReadToEnd(table.get(), size_t{16} << 20) : std::nullopt;
    if (!text) {
        errno = EACCES;
        return UniqueFd();
    }
    std::vector<MountPoint> mounts = ParseMountInfo(*text);
    // The root link is the one link followed: it is the kernel's own.
    UniqueFd root(::openat(dir.get(), "root", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root)
        return UniqueFd();
    return WalkProgramPath(root.get(), path,
                           [&](uint64_t id) { return IsRemoteMount(mounts, id); });
}

UniqueFd OpenByIdentity(const ProgramFile& file, std::string_view path, ProgramFilePlace& place,
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
    if (found && IdentityOf(found) == wanted) {
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

// Places found within a refresh scope, by identity and the process read
// through (whose program path is one text within a refresh).
struct PlaceKey {
    uint64_t device, inode, start;
    uint32_t pid;
    bool operator==(const PlaceKey&) const = default;
};

struct PlaceKeyHash {
    size_t operator()(const PlaceKey& key) const {
        uint64_t h = key.device * 0x9E3779B97F4A7C15ull ^ key.inode;
        h = (h ^ (h >> 29)) * 0xBF58476D1CE4E5B9ull ^ key.start ^ key.pid;
        return static_cast<size_t>(h ^ (h >> 32));
    }
};

struct KnownPlace {
    std::string path;
    ProgramFilePlace place;
};

std::unordered_map<PlaceKey, KnownPlace, PlaceKeyHash>& KnownPlaces() {
    static std::unordered_map<PlaceKey, KnownPlace, PlaceKeyHash> known;
    return known;
}

void ForgetKnownPlaces() {
    KnownPlaces().clear();
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

const ProgramFileScope::Binding* BoundProgramFile(std::string_view path) {
    const ProgramFileScope::Binding* binding = t_binding;
    return binding != nullptr && binding->path == path ? binding : nullptr;
}

const UniqueFd& OpenBoundFile(const ProgramFileScope::Binding& binding, ProgramFilePlace* place) {
    if (!binding.opened) {
        binding.fd = OpenByIdentity(binding.file, binding.path, binding.place, binding.error);
        binding.opened = true;
    }
    if (place != nullptr)
        *place = binding.place;
    return binding.fd;
}

ProgramFilePlace PlaceOf(const ProgramFileScope::Binding& binding) {
    const ProgramFile& file = binding.file;
    if (binding.opened || !InRefreshScope()) {
        ProgramFilePlace place;
        OpenBoundFile(binding, &place);
        return place;
    }
    PlaceKey key{file.device, file.inode, file.processStart, file.processId};
    auto& known = KnownPlaces();
    if (auto found = known.find(key); found != known.end() && found->second.path == binding.path)
        return found->second.place;
    ProgramFilePlace place;
    OpenBoundFile(binding, &place);
    binding.fd.reset(); // a large refresh would hold one per program otherwise
    binding.opened = false;
    known.insert_or_assign(key, KnownPlace{binding.path, place});
    ForgetAtScopeEnd(ForgetKnownPlaces);
    return place;
}

ProgramFileScope::ProgramFileScope(const char* path, const ProgramFile& file)
    : binding_(std::make_shared<Binding>()), saved_(t_binding) {
    auto* binding = const_cast<Binding*>(binding_.get());
    binding->path = path != nullptr ? path : "";
    binding->file = file;
    t_binding = binding_.get();
}

ProgramFileScope::~ProgramFileScope() {
    t_binding = saved_;
}

namespace lx {

BOOL GetProgramFile(HANDLE process, ProgramFile* file) {
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *file = ProgramFile{};
    auto* object = LookupHandle<ProcessObject>(process);
    if (object == nullptr || !object->procDir) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ProcDir& dir = *object->procDir;
    uint64_t start = 0;
    FileIdentity identity = dir.ReadExeIdentity(start);
    if (!identity.Known()) {
        // Another user's process: in administrator mode, what the collector
        // read through this very process in this refresh.
        const CollectedOwner* collected = CollectedOwnerOfEntry(object->pid, dir.fd.get());
        if (collected != nullptr) {
            identity = {collected->device, collected->inode};
            start = collected->startTime;
        }
    }
    if (!identity.Known()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *file = {identity.device, identity.inode, start, object->pid, 0};
    return TRUE;
}

} // namespace lx

} // namespace ombrel::platform
