#include "process_object.h"

#include <cerrno>
#include <sys/wait.h>
#include <unordered_map>

#include "base/child_reaper.h"

namespace ombrel::platform {
namespace {

struct ChildState {
    bool exited = false;
};

struct Children {
    std::unordered_map<pid_t, ChildState> byPid;
};

Children& AllChildren() {
    static Children children;
    return children;
}

} // namespace

void ForgetChild(pid_t pid) {
    Children& children = AllChildren();
    children.byPid.erase(pid);
}

void RememberChild(pid_t pid) {
    Children& children = AllChildren();
    children.byPid[pid] = ChildState{};
}

void ReapExitedChildren() {
    Children& children = AllChildren();
    for (auto it = children.byPid.begin(); it != children.byPid.end();) {
        pid_t got = it->second.exited ? 0 : ::waitpid(it->first, nullptr, WNOHANG);
        if (got == it->first) {
            it->second.exited = true;
        } else if (got < 0 && errno == ECHILD) {
            it = children.byPid.erase(it); // reaped by someone else
            continue;
        }
        ++it;
    }
}

namespace {

// Reaps a child of ours that has exited; true when it is done with (or was
// never ours), false while it runs.
bool ReapChild(pid_t pid) {
    Children& children = AllChildren();
    auto it = children.byPid.find(pid);
    if (it == children.byPid.end())
        return true;
    if (!it->second.exited) {
        pid_t got;
        do
            got = ::waitpid(pid, nullptr, WNOHANG);
        while (got < 0 && errno == EINTR);
        // ECHILD: reaped by someone else, nothing left to hand on.
        it->second.exited = got == pid || (got < 0 && errno == ECHILD);
    }
    return it->second.exited;
}

} // namespace

ProcessObject::~ProcessObject() {
    if (!child)
        return;
    // The last word on a child we started: reap it if it is done, else
    // have it reaped the moment it exits; either way stop tracking it.
    if (!ReapChild(static_cast<pid_t>(pid)) && !ReleaseChild(static_cast<pid_t>(pid)))
        return;
    Children& children = AllChildren();
    children.byPid.erase(static_cast<pid_t>(pid));
}

} // namespace ombrel::platform
