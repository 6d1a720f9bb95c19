// The machine's processes as a refresh lists them, for the process names
// of owners whose program path could not be read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "refresh/refresh_context.h"

namespace ombrel::platform {

struct ProcessRecord {
    uint32_t pid;
    uint32_t ppid;
    uint32_t threads;
    std::string name;
    uint64_t startTime;
};

// Every process of the proc root, ascending by pid, with its name as the
// process list gives it (the program's file name, else its command name).
// Within a refresh (context given): never a later process under the id of
// an owner the refresh's tables named, whose name would pass for the
// owner's; and in administrator mode, the owners the collector named with
// their whole names, those hidden from the user (hidepid) among them.
std::vector<ProcessRecord> ListRefreshProcesses(const RefreshContext* context);

} // namespace ombrel::platform
