// Children of ours that nobody waits for: reaped the moment they exit.
#pragma once

#include <sys/types.h>

namespace ombrel::platform {

// Hands a child nobody will wait for to the reaper, which reaps it as soon
// as it exits; false when the reaper has no room (the next launch reaps it).
bool ReleaseChild(pid_t pid);

} // namespace ombrel::platform
