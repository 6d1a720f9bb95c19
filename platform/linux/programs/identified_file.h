// Reaching a program's own file by its identity: by the path in this
// namespace, or by the same path inside the process's own root; never
// through a link, and never by asking a server that may not answer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/fd.h"
#include "base/mounts.h"
#include "base/procfs.h"
#include "programs/file_source.h"

namespace ombrel::platform {

// Whether a mount, by id, may stop answering; nullopt for one the table
// does not know, which counts as one that may.
using RemoteMountTest = std::function<std::optional<bool>(uint64_t mountId)>;

// Opens the absolute path below the directory root one component at a time
// as a path descriptor: no symbolic link is followed, "." and ".." and empty
// components are refused (the kernel's program paths hold none), and no
// name is looked up in a directory of a mount that may not answer: each
// step's mount is read from cached attributes, by id, before anything is
// looked up in it, and an automount point is not triggered. Fails with
// errno: EINVAL (not such a path), ELOOP (a link), EREMOTE, ENOENT, ...
UniqueFd WalkProgramPath(int rootFd, std::string_view path, const RemoteMountTest& remote);

enum class ProgramFilePlace {
    None,        // no file with the identity can be had
    Here,        // at the path in this namespace: what is keyed by path
                 // (packages, desktop entries) speaks of it
    ProcessRoot, // at the path inside the process's own root only
    Offline,     // on a mount that may not answer: taken as there, not
                 // looked at, so nothing of it is known
    Claimed,     // chosen, perhaps, by another user than the caller (see
                 // ProgramIdentity's claimant): taken as there, not looked at
};

// The file a process ran, as the refresh read it through the process: its
// device and inode, and the process it was read through (its id and start
// time), by which it may be reached through that process's own root.
// claimant: who may have chosen it, where the process runs in a user
// namespace an ordinary user owns (see ReadNamespaceClaimant). All 0: not
// known.
struct ProgramIdentity {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t processStart = 0;
    uint32_t processId = 0;
    uint32_t claimant = 0;
};

// A program's path bound to the identity of the file it named: what is
// read of the path is read of that file (see OpenBoundFile).
struct BoundProgram {
    std::string path;
    ProgramIdentity file;
    mutable bool opened = false;
    mutable UniqueFd fd; // a path descriptor of the very file
    mutable ProgramFilePlace place = ProgramFilePlace::None;
    mutable int error = 0; // why the path here is not the file, when none is found
};

// The places a refresh found, by identity and the process read through
// (whose program path is one text within a refresh), so that many
// endpoints of one process walk its path once.
struct ProgramPlaceKey {
    uint64_t device, inode, start;
    uint32_t pid;
    bool operator==(const ProgramPlaceKey&) const = default;
};
struct ProgramPlaceKeyHash {
    size_t operator()(const ProgramPlaceKey& key) const;
};
struct KnownProgramPlace {
    std::string path;
    ProgramFilePlace place;
};
using ProgramPlaces = std::unordered_map<ProgramPlaceKey, KnownProgramPlace, ProgramPlaceKeyHash>;

// Where the bound file is; remembered in known where given.
ProgramFilePlace PlaceOf(const BoundProgram& binding, ProgramPlaces* known);

// The bound file as a path descriptor (empty when there is none, or it is
// offline); its place goes to place.
const UniqueFd& OpenBoundFile(const BoundProgram& binding, ProgramFilePlace* place);

// What the absolute path names below the directory root, its links
// followed as in that root (an absolute target from it, ".." never above
// it, at most 40 links), each step as in WalkProgramPath: no name is looked
// up on a mount that may not answer, and a name swapped between its look
// and its open is not followed. A path descriptor of it, and its path with
// the links resolved in resolved; else empty with errno: EREMOTE where such
// a mount was met, resolved then holding what was resolved and the rest as
// written; ELOOP, ENOENT, ...
UniqueFd FollowPath(int rootFd, std::string_view path, const RemoteMountTest& remote,
                    std::string* resolved = nullptr);

// The same in this namespace, by its mount table.
UniqueFd OpenHostPath(std::string_view path, std::string* resolved = nullptr);

// The path the bound file's details (package, desktop entry, icon) are
// looked up by: the path as walked, which holds no link, while the file
// opened is still there by that path with its identity; empty when it is
// not, or the file is neither here nor in the process's own root. A path
// never resolved again, so a file swapped for a link lends nothing.
std::string OwnPathOf(const BoundProgram& binding, ProgramPlaces* known);

// The files of a live process's own root, as it sees them. Links are
// followed as in that root (an absolute target from it, ".." never above
// it), each step as in WalkProgramPath. What is read of it speaks of its
// program, and so is given out, only when no user but root could have
// written it: a regular file owned by root, not writable by its group or
// others, on the very mount the program file lies on. A user in her own
// namespaces can make no such file, nor bring one beside her program
// (a file mounted over another is a mount of its own).
class ProcessRootFiles final : public FileSource {
public:
    std::optional<std::string> Read(const std::string& path, size_t limit) const override;
    void
    ForEachEntry(const std::string& dir,
                 const std::function<void(std::string_view, unsigned char)>& visit) const override;
    std::string Stamp(const std::vector<std::string>& paths) const override;
    std::string RealPath(const std::string& path) const override;
    bool IsExecutable(const std::string& path) const override;
    bool IsReadable(const std::string& path) const override;
    bool IsDirectory(const std::string& path) const override;
    std::string Environment(const char* name) const override;

    // Names the root (its directory and mount), for what is kept of it.
    const std::string& Key() const { return key_; }

private:
    friend std::unique_ptr<ProcessRootFiles> OpenProcessRoot(const ProgramIdentity& file,
                                                             std::string_view path);
    struct Found;
    std::optional<Found> Open(const std::string& path, std::string* resolved = nullptr) const;
    bool Vouched(const Found& found) const;

    UniqueFd procDir_;
    UniqueFd root_;
    std::vector<MountPoint> mounts_;
    uint64_t programMount_ = 0;
    std::string key_;
    mutable std::optional<std::string> environment_;
};

// The root of the process the identity was read through, while it lives
// and its file with the identity is at path in that root, and only when
// that file is itself root's as above; nullptr otherwise.
std::unique_ptr<ProcessRootFiles> OpenProcessRoot(const ProgramIdentity& file,
                                                  std::string_view path);

} // namespace ombrel::platform
