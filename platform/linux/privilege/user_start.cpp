// A start as root on a user's behalf: the collector keeps root's rights,
// everything else becomes that user for good before any window exists.
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <grp.h>
#include <linux/capability.h>
#include <optional>
#include <pwd.h>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ombrel/administrator.h>
#include <ombrel/process_setup.h>

#include "base/capabilities.h"
#include "base/procfs.h"
#include "privilege/collector_link.h"

namespace ombrel::platform {
namespace {

bool ParseId(const char* text, uid_t& id) {
    if (text == nullptr || *text == '\0')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || text[0] == '-' || text[0] == '+' || value >= UINT_MAX)
        return false;
    id = static_cast<uid_t>(value);
    return true;
}

// The folder is the user's own: a directory they own that nobody else
// may enter.
bool OwnPrivateFolder(const std::string& path, uid_t uid) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == uid &&
           (info.st_mode & 077) == 0;
}

// The variables of the user's session, as a login gives them; nothing of
// root's or of the start's own stays.
void UseTheUsersEnvironment(const passwd& user) {
    ::setenv("HOME", user.pw_dir, 1);
    ::setenv("USER", user.pw_name, 1);
    ::setenv("LOGNAME", user.pw_name, 1);
    for (const char* name : {"PKEXEC_UID", "SUDO_UID", "SUDO_GID", "SUDO_USER", "SUDO_COMMAND",
                             "MAIL", "XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS"})
        ::unsetenv(name);
    std::string runtime = "/run/user/" + std::to_string(user.pw_uid);
    if (OwnPrivateFolder(runtime, user.pw_uid)) {
        ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        struct stat bus {};
        std::string busPath = runtime + "/bus";
        if (::lstat(busPath.c_str(), &bus) == 0 && S_ISSOCK(bus.st_mode) &&
            bus.st_uid == user.pw_uid)
            ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + busPath).c_str(), 1);
    }
}

// pkexec passes no display to a program its action does not let open
// windows, and sudo resets the environment: the window, now the user's,
// takes the display of the user's own process that started it (the first
// ancestor that is the user's, a few steps up at most), read as the user.
void AdoptTheCallersDisplay(uid_t uid) {
    if (std::getenv("DISPLAY") != nullptr || std::getenv("WAYLAND_DISPLAY") != nullptr)
        return;
    pid_t pid = ::getppid();
    for (int step = 0; step < 4 && pid > 1; ++step) {
        std::string folder = "/proc/" + std::to_string(pid);
        std::optional<std::string> status = ReadSmallFile(folder + "/status", 1 << 16);
        if (!status)
            return;
        size_t uidLine = status->find("\nUid:");
        size_t ppidLine = status->find("\nPPid:");
        if (uidLine == std::string::npos || ppidLine == std::string::npos)
            return;
        std::istringstream ids(status->substr(uidLine + 5, 64));
        uid_t real = 0, effective = 0;
        ids >> real >> effective;
        if (real == uid && effective == uid) {
            std::optional<std::string> environment = ReadSmallFile(folder + "/environ", 1 << 20);
            if (!environment)
                return;
            for (size_t at = 0; at < environment->size();) {
                size_t end = environment->find('\0', at);
                if (end == std::string::npos)
                    end = environment->size();
                std::string entry = environment->substr(at, end - at);
                at = end + 1;
                size_t equals = entry.find('=');
                std::string name = entry.substr(0, equals);
                if (equals != std::string::npos &&
                    (name == "DISPLAY" || name == "WAYLAND_DISPLAY" || name == "XAUTHORITY"))
                    ::setenv(name.c_str(), entry.c_str() + equals + 1, 1);
            }
            return;
        }
        pid = std::atoi(status->c_str() + ppidLine + 6);
    }
}

} // namespace

StartRights LeaveRootForTheUser(std::string& message) {
    uid_t ruid = 0, euid = 0, suid = 0;
    gid_t rgid = 0, egid = 0, sgid = 0;
    ::getresuid(&ruid, &euid, &suid);
    ::getresgid(&rgid, &egid, &sgid);
    bool setId = ruid != euid || rgid != egid;
    uid_t target = 0;
    if (euid == 0 && ruid != 0) {
        target = ruid; // a set-id start: the user who ran it
    } else if (euid == 0) {
        for (const char* name : {"PKEXEC_UID", "SUDO_UID"}) {
            const char* value = std::getenv(name);
            if (value == nullptr || *value == '\0')
                continue;
            if (!ParseId(value, target)) {
                message = std::string("ombrel: ") + name + " is not a user id; not opening a " +
                          "window as root for it";
                return StartRights::Refused;
            }
            break;
        }
        if (target == 0)
            return StartRights::Own; // root's own session
    } else if (setId) {
        target = ruid; // a set-group-id start without root: back to the user's own ids
    } else {
        return StartRights::Own;
    }

    passwd entry{};
    passwd* user = nullptr;
    char names[16384];
    if (::getpwuid_r(target, &entry, names, sizeof names, &user) != 0 || user == nullptr) {
        message = "ombrel: user " + std::to_string(target) +
                  " has no account entry; not opening a window as root for it";
        return StartRights::Refused;
    }

    if (euid == 0) {
        // Fully root for the collector's start (a set-id start keeps the
        // user's real ids otherwise), with no supplementary group of anyone.
        if (::setresgid(0, 0, 0) != 0 || ::setgroups(0, nullptr) != 0 ||
            ::setresuid(0, 0, 0) != 0) {
            message = "ombrel: cannot take root's own ids for the collector";
            return StartRights::Refused;
        }
        StartCollectorAsRoot();
    }

    // From root, the user's own groups; a set-group-id start without root
    // only goes back to the ids it was started with.
    gid_t group = euid == 0 ? user->pw_gid : rgid;
    bool dropped = (euid != 0 || ::initgroups(user->pw_name, user->pw_gid) == 0) &&
                   ::setresgid(group, group, group) == 0 &&
                   ::setresuid(target, target, target) == 0;
    uid_t r = 0, e = 0, s = 0;
    ::getresuid(&r, &e, &s);
    // For good: no id of root's left, none to be had again.
    dropped = dropped && r == target && e == target && s == target &&
              (::setuid(0) != 0 || target == 0) && HoldsNoCapability();
    if (!dropped) {
        StopCollector();
        message = "ombrel: cannot run the window as user " + std::to_string(target);
        return StartRights::Refused;
    }
    // The user's own process again: a change of ids made it undumpable,
    // which would hide its own descriptors from the user's tools.
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
    UseTheUsersEnvironment(*user);
    AdoptTheCallersDisplay(target);
    // What came through the privileged start is not the user's choice.
    DropFrameworkVariables();
    return StartRights::ForUser;
}

} // namespace ombrel::platform
