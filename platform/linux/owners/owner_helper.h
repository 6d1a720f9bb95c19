// The owner helper as the layer uses it: where it lies, whether it is
// needed, running it within a bound, and reading what it wrote.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

#include "owners/owner_records.h"

namespace ombrel::platform {

// The caller may read every process's descriptors: root, or both
// CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE effective.
bool SeesEveryDescriptor();
// The caller reads every process's descriptors itself rather than asking
// the owner helper: it sees them all, and no test has set a helper.
bool ReadsEveryDescriptor();

// A program of ours that works for this one: the copy beside this program,
// when it is not the installed one and was not started set-id; else the
// installed copy at the place the package puts it, compiled in, when
// HeldByRootAlone holds for it. Empty for neither.
std::string CompanionProgramPath(const std::string& name);

// An absolute path whose every folder and the regular file it names are
// root's and writable by nobody else, none of them a link: what it names
// now, it will name when root runs it.
bool HeldByRootAlone(const std::string& path);

// The owner helper, as CompanionProgramPath finds it. A test names its own.
std::string OwnerHelperPath();

// The helper a test runs in the layer's place (asked even where the caller
// could read every descriptor), and its bound on silence in milliseconds (0:
// the layer's own). Not overridden: the layer's own choice.
struct OwnerHelperSetting {
    std::string path;
    int timeoutMs = 0;
    bool overridden = false;
};
// Puts setting in place and gives back the one it replaces.
OwnerHelperSetting ReplaceOwnerHelperSetting(OwnerHelperSetting setting);

// The records, when the output is whole: the header and exactly the
// records it counts. Nothing is read past size.
bool ParseOwnerRecords(const char* data, size_t size, std::vector<OwnerRecord>& records);

// What a process has done so far: the nanoseconds it ran and waited to run
// and its user and system ticks, as anyone may read them; it stands still
// while the process is stuck (asleep on a file system that never answers).
std::string ProcessActivity(pid_t pid);

// The bound on the helper's silence: no output and no processor time.
int OwnerHelperTimeoutMs();

// Runs the helper with no argument, input or environment, and reads its
// output; false when it cannot start, exits other than 0, stays silent for
// the bound (neither writing nor working; it is then killed) or writes
// anything but whole records.
bool RunOwnerHelper(const std::string& path, int timeoutMs, std::vector<OwnerRecord>& records);

// owners[i] for the socket with inodes[i] from the records, by the scan's
// rule (HolderOrder: started first, an ancestor before its descendants in
// the same tick, then the lower id); 0 where none holds it. starts, when
// given, gets each owner's start time as its record gives it.
void JoinOwnerRecords(const std::vector<OwnerRecord>& records, const std::vector<uint64_t>& inodes,
                      std::vector<uint32_t>& owners, std::vector<uint64_t>* starts = nullptr);

} // namespace ombrel::platform
