// The owner helper as the layer uses it: where it lies, whether it is
// needed, running it within a bound, and reading what it wrote.
#pragma once

#include <string>
#include <vector>

#include "inet_sockets.h"
#include "owners/owner_records.h"

namespace ombrel::platform {

// The caller may read every process's descriptors: root, or both
// CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE effective.
bool SeesEveryDescriptor();
// The caller reads every process's descriptors itself rather than asking
// the owner helper: it sees them all, and no test has set a helper.
bool ReadsEveryDescriptor();

// A program of ours beside this one: the installed copy in
// ../libexec/ombrel/ from the program's folder, else the build folder's copy
// in the program's own folder; empty when neither is a regular file.
std::string CompanionProgramPath(const std::string& name);

// The installed helper beside the program (../libexec/ombrel/ from its
// folder), else the build folder's copy in the program's own folder; empty
// when neither is a regular file. A test names its own.
std::string OwnerHelperPath();

// The records, when the output is whole: the header and exactly the
// records it counts. Nothing is read past size.
bool ParseOwnerRecords(const char* data, size_t size, std::vector<OwnerRecord>& records);

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
