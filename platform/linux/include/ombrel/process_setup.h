// What the program does about its own process before any window exists.
#pragma once

namespace ombrel::platform {

// Whether the process holds rights that the user who started it may lack:
// a set-id start, a start through pkexec or sudo, or any capability.
bool RunsPrivileged();

// In a privileged process, removes the environment variables through which
// the user who started it could make the window framework load code or
// show the window elsewhere (plug-in paths, platform, theme, style, input
// method). The offscreen platform of the tests stays allowed.
void DropUnsafeEnvironment();
// The same, whoever runs: for a process that was privileged when it started
// and now runs as the user it was started for.
void DropFrameworkVariables();

// Whether a window can be opened: a display server answers, or Qt was told
// to draw without one (offscreen and the like).
bool CanOpenDisplay();

// Raises the soft limit on open descriptors to the hard limit: a snapshot
// of a busy machine opens many /proc entries at once.
void RaiseDescriptorLimit();

} // namespace ombrel::platform
