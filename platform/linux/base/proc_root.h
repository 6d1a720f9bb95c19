// Where the process readers read the kernel's process tree: "/proc", or a
// fixture tree in its shape that a test puts in its place.
#pragma once

#include <string>

namespace ombrel::platform {

const std::string& ProcRoot();
// The one test of a root being the live kernel's: its path is "/proc".
bool IsLiveProc(const std::string& root);
bool ProcRootIsLive(); // IsLiveProc(ProcRoot())
// Puts root in place ("/proc" for an empty one) and gives back the one it
// replaces.
std::string ReplaceProcRoot(std::string root);

} // namespace ombrel::platform
