#include "base/child_reaper.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <sys/wait.h>

namespace ombrel::platform {
namespace {

// Children nobody holds a handle to any more (a launch whose handle was
// closed, a program the shell started) are reaped the moment they exit, by
// the SIGCHLD handler, so none lingers as a zombie. Slots are plain atomics:
// the handler may touch nothing else.
constexpr size_t kOrphanSlots = 64;
std::atomic<pid_t> orphans[kOrphanSlots];
struct sigaction previousChildAction {};

void ReapOrphans() {
    for (std::atomic<pid_t>& slot : orphans) {
        pid_t pid = slot.load();
        if (pid > 0 && ::waitpid(pid, nullptr, WNOHANG) != 0)
            slot.compare_exchange_strong(pid, 0); // reaped, or not ours after all
    }
}

void OnChildExit(int signal, siginfo_t* info, void* context) {
    int savedErrno = errno;
    ReapOrphans();
    errno = savedErrno;
    // Whoever else waits for children keeps being told.
    if (previousChildAction.sa_flags & SA_SIGINFO) {
        if (previousChildAction.sa_sigaction != nullptr)
            previousChildAction.sa_sigaction(signal, info, context);
    } else if (previousChildAction.sa_handler != SIG_DFL &&
               previousChildAction.sa_handler != SIG_IGN) {
        previousChildAction.sa_handler(signal);
    }
}

void InstallChildHandler() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction action {};
    action.sa_sigaction = OnChildExit;
    action.sa_flags = SA_SIGINFO | SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGCHLD, &action, &previousChildAction);
}

} // namespace

bool ReleaseChild(pid_t pid) {
    InstallChildHandler();
    for (std::atomic<pid_t>& slot : orphans) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid)) {
            // It may have exited before it had a slot; its signal came then.
            if (::waitpid(pid, nullptr, WNOHANG) != 0) {
                pid_t self = pid;
                slot.compare_exchange_strong(self, 0);
            }
            return true;
        }
    }
    return false; // every slot taken: the next launch reaps it
}

} // namespace ombrel::platform
