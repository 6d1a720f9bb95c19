#include "collector_link.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/capability.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <pwd.h>
#include <spawn.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ombrel/administrator.h>
#include <ombrel/refresh_scope.h>
#include <ombrel/startup.h>

#include "../core/scope_memo.h"
#include "child_reaper.h"
#include "collector/collector_answer.h"
#include "fd.h"
#include "owner_helper.h"
#include "procfs.h"
#include "spawn_attributes.h"

extern char** environ;

namespace ombrel::platform {
namespace {

// A collector that says nothing for this long while an answer is due is
// taken for gone: its work on a large machine is a few seconds.
constexpr int kSilenceMs = 30000;

struct Link {
    UniqueFd request; // the collector's standard input
    UniqueFd answer;  // its standard output
    pid_t pid = -1;
    AdministratorMode mode = AdministratorMode::Off;
    CollectorFailure failure = CollectorFailure::None;
    std::vector<CollectedOwner> owners; // this scope's answer
};

Link& TheLink() {
    static Link link;
    return link;
}

struct PathSetting {
    std::string path;
    bool overridden = false;
};

PathSetting& Setting() {
    static PathSetting setting;
    return setting;
}

void ForgetOwners() {
    TheLink().owners.clear();
}

// Lets the collector go: its input closes, so it ends, and it is reaped.
void Disconnect(bool wait) {
    Link& link = TheLink();
    link.request.reset();
    link.answer.reset();
    if (link.pid > 0) {
        int status = 0;
        pid_t got;
        do
            got = ::waitpid(link.pid, &status, wait ? 0 : WNOHANG);
        while (got < 0 && errno == EINTR);
        if (got == 0)
            ReleaseChild(link.pid);
    }
    link.pid = -1;
}

bool Fail(CollectorFailure why) {
    Disconnect(false);
    TheLink().mode = AdministratorMode::Unavailable;
    TheLink().failure = why;
    return false;
}

enum class Got { Whole, Ended, Silent };

// Exactly size bytes, each within the silence bound of the last (none when
// silenceMs is negative).
Got ReadExactly(int fd, char* buffer, size_t size, int silenceMs) {
    for (size_t have = 0; have < size;) {
        pollfd wait{fd, POLLIN, 0};
        int ready = ::poll(&wait, 1, silenceMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            return Got::Silent;
        if (ready < 0)
            return Got::Ended;
        ssize_t got = ::read(fd, buffer + have, size - have);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return Got::Ended;
        have += static_cast<size_t>(got);
    }
    return Got::Whole;
}

// One request byte. A collector that has gone makes the write fail with
// EPIPE; the signal that comes with it is taken here, not by the program.
bool WriteRequest(int fd) {
    sigset_t brokenPipe, saved;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &brokenPipe, &saved);
    ssize_t wrote;
    do
        wrote = ::write(fd, &kCollectorRequest, 1);
    while (wrote < 0 && errno == EINTR);
    if (wrote < 0 && errno == EPIPE) {
        timespec now{};
        ::sigtimedwait(&brokenPipe, nullptr, &now);
    }
    ::pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return wrote == 1;
}

// The hello that tells the collector runs; for a start through pkexec it
// comes once the password is in, so there is no bound but pkexec's end.
bool AwaitHello(int silenceMs) {
    char hello[sizeof kCollectorHello];
    switch (ReadExactly(TheLink().answer.get(), hello, sizeof hello, silenceMs)) {
    case Got::Whole:
        break;
    case Got::Ended:
        return Fail(CollectorFailure::NotAuthorised);
    case Got::Silent:
        return Fail(CollectorFailure::Silent);
    }
    if (std::memcmp(hello, kCollectorHello, sizeof hello) != 0)
        return Fail(CollectorFailure::WrongAnswer);
    TheLink().mode = AdministratorMode::Collecting;
    TheLink().failure = CollectorFailure::None;
    return true;
}

// Starts program with argv, its input and output on two new pipes, its
// error output as given; false when it could not be started.
bool Spawn(bool search, const char* program, char* const argv[], char* const envp[],
           bool quietErrors) {
    int toCollector[2], fromCollector[2];
    if (::pipe2(toCollector, O_CLOEXEC) != 0)
        return false;
    UniqueFd requestRead(toCollector[0]), requestWrite(toCollector[1]);
    if (::pipe2(fromCollector, O_CLOEXEC) != 0)
        return false;
    UniqueFd answerRead(fromCollector[0]), answerWrite(fromCollector[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, requestRead.get(), STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, answerWrite.get(), STDOUT_FILENO);
    if (quietErrors)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    InitChildAttributes(attributes);
    pid_t pid = 0;
    int error = search ? ::posix_spawnp(&pid, program, &actions, &attributes, argv, envp)
                       : ::posix_spawn(&pid, program, &actions, &attributes, argv, envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0)
        return false;
    AttachCollector(requestWrite.release(), answerRead.release(), pid);
    return true;
}

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

bool HoldsNoCapability() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    for (const auto& word : data)
        if (word.effective != 0 || word.permitted != 0 || word.inheritable != 0)
            return false;
    return true; // the ambient set lies within the permitted one
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

// The root part: the collector, with root's rights and no environment.
void StartCollectorAsRoot() {
    std::string path = CollectorPath();
    if (path.empty()) {
        Fail(CollectorFailure::NotFound);
        return;
    }
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    char* envp[] = {nullptr};
    if (!Spawn(false, path.c_str(), argv, envp, true)) {
        Fail(CollectorFailure::NotFound);
        return;
    }
    AwaitHello(kSilenceMs);
}

} // namespace

AdministratorMode CurrentAdministratorMode() {
    return TheLink().mode;
}

CollectorFailure LastCollectorFailure() {
    return TheLink().failure;
}

std::string CollectorPath() {
    std::string path =
        Setting().overridden ? Setting().path : CompanionProgramPath("ombrel-collector");
    char real[PATH_MAX];
    if (path.empty() || ::realpath(path.c_str(), real) == nullptr)
        return {};
    struct stat info {};
    return ::stat(real, &info) == 0 && S_ISREG(info.st_mode) ? std::string(real) : std::string();
}

CollectorPathOverride::CollectorPathOverride(std::string path)
    : saved_(Setting().path), saved_overridden_(Setting().overridden) {
    Setting() = {std::move(path), true};
}

CollectorPathOverride::~CollectorPathOverride() {
    Setting() = {std::move(saved_), saved_overridden_};
}

void AttachCollector(int requestFd, int answerFd, pid_t pid) {
    Disconnect(false);
    Link& link = TheLink();
    link.request.reset(requestFd);
    link.answer.reset(answerFd);
    link.pid = pid;
    link.mode = AdministratorMode::Collecting;
    link.failure = CollectorFailure::None;
}

bool StartCollectorThroughPkexec() {
    if (TheLink().answer)
        return true; // one collector per window
    std::string path = CollectorPath();
    if (path.empty())
        return Fail(CollectorFailure::NotFound);
    // pkexec asks for the password through the session's agent, or on the
    // terminal; its own messages go where the window's do.
    char* argv[] = {const_cast<char*>("pkexec"), const_cast<char*>(path.c_str()), nullptr};
    if (!Spawn(true, "pkexec", argv, environ, false))
        return Fail(CollectorFailure::NotFound);
    return AwaitHello(-1);
}

void StopCollector() {
    Disconnect(true);
    if (TheLink().mode == AdministratorMode::Collecting)
        TheLink().mode = AdministratorMode::Off;
}

bool AskCollector(MachineTables& tables) {
    Link& link = TheLink();
    if (!link.answer || !InRefreshScope())
        return false;
    // Nothing is due before the request: a byte now is a stray one, and an
    // end means the collector has gone.
    pollfd pending{link.answer.get(), POLLIN, 0};
    if (::poll(&pending, 1, 0) > 0) {
        char stray;
        return Fail(::read(link.answer.get(), &stray, 1) > 0 ? CollectorFailure::WrongAnswer
                                                             : CollectorFailure::Gone);
    }
    if (!WriteRequest(link.request.get()))
        return Fail(CollectorFailure::Gone);
    std::string data(sizeof(CollectorAnswerHeader), '\0');
    Got got = ReadExactly(link.answer.get(), data.data(), data.size(), kSilenceMs);
    if (got != Got::Whole)
        return Fail(got == Got::Silent ? CollectorFailure::Silent : CollectorFailure::Gone);
    uint64_t size = CollectorAnswerSize(data.data(), data.size());
    if (size == 0)
        return Fail(CollectorFailure::WrongAnswer);
    data.resize(size);
    got = ReadExactly(link.answer.get(), data.data() + sizeof(CollectorAnswerHeader),
                      size - sizeof(CollectorAnswerHeader), kSilenceMs);
    if (got != Got::Whole)
        return Fail(got == Got::Silent ? CollectorFailure::Silent : CollectorFailure::Gone);
    CollectorAnswer answer;
    if (!ParseCollectorAnswer(data.data(), data.size(), answer))
        return Fail(CollectorFailure::WrongAnswer);
    tables = std::move(answer.tables);
    link.owners = std::move(answer.owners);
    ForgetAtScopeEnd(ForgetOwners);
    link.mode = AdministratorMode::Collecting;
    return true;
}

const CollectedOwner* CollectedOwnerOf(uint32_t pid) {
    const std::vector<CollectedOwner>& owners = TheLink().owners;
    auto found =
        std::lower_bound(owners.begin(), owners.end(), pid,
                         [](const CollectedOwner& owner, uint32_t id) { return owner.pid < id; });
    return found != owners.end() && found->pid == pid && InRefreshScope() ? &*found : nullptr;
}

const CollectedOwner* CollectedOwnerOfEntry(uint32_t pid, int procDirFd) {
    const CollectedOwner* owner = CollectedOwnerOf(pid);
    if (owner == nullptr || procDirFd < 0)
        return owner; // hidden from the user: the answer of this refresh is all there is
    UniqueFd stat(::openat(procDirFd, "stat", O_RDONLY | O_CLOEXEC));
    std::optional<std::string> line = stat ? ReadToEnd(stat.get(), 4096) : std::nullopt;
    std::optional<TaskStat> parsed = line ? ParseTaskStat(*line) : std::nullopt;
    if (!parsed)
        return owner;
    return parsed->startTime == owner->startTime ? owner : nullptr;
}

const std::vector<CollectedOwner>& CollectedOwners() {
    static const std::vector<CollectedOwner> none;
    return InRefreshScope() ? TheLink().owners : none;
}

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
