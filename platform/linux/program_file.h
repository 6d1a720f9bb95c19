// Reaching a program's own file by its identity: by the path in this
// namespace, or by the same path inside the process's own root; never
// through a link, and never by asking a server that may not answer.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <ombrel/program_file.h>

#include "fd.h"
#include "procfs.h"

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
};

struct ProgramFileScope::Binding {
    std::string path;
    ProgramFile file{};
    mutable bool opened = false;
    mutable UniqueFd fd; // a path descriptor of the very file
    mutable ProgramFilePlace place = ProgramFilePlace::None;
    mutable int error = 0; // why the path here is not the file, when none is found
};

// The binding of this thread's innermost scope when it is for path, else
// nullptr: path is then read as it stands.
const ProgramFileScope::Binding* BoundProgramFile(std::string_view path);

// Where the bound file is; remembered within a refresh scope, so many
// endpoints of one process walk its path once.
ProgramFilePlace PlaceOf(const ProgramFileScope::Binding& binding);

// The bound file as a path descriptor (empty when there is none, or it is
// offline); its place goes to place.
const UniqueFd& OpenBoundFile(const ProgramFileScope::Binding& binding, ProgramFilePlace* place);

} // namespace ombrel::platform
