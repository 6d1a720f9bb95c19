// The administrator collector as the window's layer asks it, within one
// refresh scope.
#pragma once

#include <cstdint>
#include <vector>

#include "privilege/collector_answer.h"
#include "sockets/machine_tables.h"

namespace ombrel::platform {

// In administrator mode, in a refresh scope: the collector's snapshot, once
// per scope; its owners stay known until the scope ends. False, where there
// is no collector or it answers late or wrong (the mode then says so and the
// caller reads what its user can see).
bool AskCollector(MachineTables& tables);

// The collector's record of a process in this scope's answer; null outside
// a scope, or when the answer named no such owner.
const CollectedOwner* CollectedOwnerOf(uint32_t pid);
const std::vector<CollectedOwner>& CollectedOwners();

// The source report of the collector's last answer: how it named owners.
const std::string& CollectorReport();
// The collector's program as it was named when started (empty for one
// attached by a test): a window that has become its user may no longer
// reach the folder it was found in.
const std::string& RunningCollectorPath();

// The same, for a process the caller holds open by its /proc entry, with
// the start time read through it (0 where it could not be): the record is
// taken only when that start time is the record's, so a new process under a
// reused id never gets it.
const CollectedOwner* CollectedOwnerOfStart(uint32_t pid, uint64_t startTime);

// The root part of a start as root for a user: the collector, with root's
// rights and no environment, its hello awaited; the mode says how it went.
void StartCollectorAsRoot();

// A collector already running, with its input and output (tests, and the
// start as root for a user).
void AttachCollector(int requestFd, int answerFd, pid_t pid);

} // namespace ombrel::platform
