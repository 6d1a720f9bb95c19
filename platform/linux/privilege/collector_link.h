// The administrator collector as the window's layer starts and asks it.
#pragma once

#include <string>
#include <sys/types.h>

#include "privilege/collector_answer.h"
#include "sockets/machine_tables.h"

namespace ombrel::platform {

// In administrator mode: the collector's snapshot, the owners it named
// and its own account of how it named them. False, where there is no
// collector or it answers late or wrong (the mode then says so and the
// caller reads what its user can see).
bool AskCollector(MachineTables& tables, CollectedOwners& owners, std::string& report);

// The collector's program as it was named when started (empty for one
// attached by a test): a window that has become its user may no longer
// reach the folder it was found in.
const std::string& RunningCollectorPath();

// The root part of a start as root for a user: the collector, with root's
// rights and no environment, its hello awaited; the mode says how it went.
void StartCollectorAsRoot();

// A collector already running, with its input and output (tests, and the
// start as root for a user).
void AttachCollector(int requestFd, int answerFd, pid_t pid);

} // namespace ombrel::platform
