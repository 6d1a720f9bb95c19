// A program is the file it runs, not the text of its path: another mount
// namespace, a container or a bind mount can give the same text to another
// file. The refresh records the file's identity; the file services read a
// program's details only from a file with that identity. Nothing on the
// original platform, whose paths name one file for every process.
#pragma once

#include <cstdint>
#include <memory>

#include <windows.h>

namespace ombrel::platform {

struct BoundProgram; // the data library's own form of a binding
class RefreshScope;

// The file a process ran at the refresh: its device and inode as the kernel
// gives them through the process, and the process it was read through (its
// id and start time), by which it may be reached through that process's own
// root. All 0: not known.
//
// claimant: where the process runs in a user namespace that an ordinary
// user owns, that user's id. Inside her own namespace she holds the
// checkpoint/restore right, with which a process may point its program
// link at any file she can open: the identity is then her claim, not the
// kernel's record of an exec. 0: root's namespace, or one root made;
// 0xffffffff: the owner could not be read, and no viewer is that user.
struct ProgramFile {
    uint64_t device;
    uint64_t inode;
    uint64_t processStart;
    uint32_t processId;
    uint32_t claimant;
};

// For its life, FindFirstFileA, SHGetFileInfoA and the version services
// asked for exactly path (the text that named the program) answer for the
// file with that identity: the file at path in this namespace when it is
// that file, else the one at path inside the process's own root, reached
// without following a link or leaving that root; else none
// (ERROR_FILE_NOT_FOUND). A file claimed by a user other than the caller's
// is taken as there but not looked at: it lends that user's choice no icon
// or details. A path is never looked up on a network or user-space file
// system, however it is reached. Any other path is answered as ever. The
// binding is held by the refresh scope it is made in, which remembers what
// is found; outside one, by a scope of its own that remembers nothing.
class ProgramFileScope {
public:
    ProgramFileScope(const char* path, const ProgramFile& file);
    ~ProgramFileScope();
    ProgramFileScope(const ProgramFileScope&) = delete;
    ProgramFileScope& operator=(const ProgramFileScope&) = delete;

private:
    std::unique_ptr<RefreshScope> refresh_; // first: made before the binding, ended after it
    std::shared_ptr<const BoundProgram> binding_;
    const BoundProgram* saved_;
};

} // namespace ombrel::platform

// The program file of an opened process. FALSE, with file all 0, when it
// cannot be read (another user's process, a kernel thread, one gone). A
// service of the layer's own beside the platform's, in its table so that a
// test's processes can have files.
BOOL WINAPI GetProgramFile(HANDLE process, ombrel::platform::ProgramFile* file);
