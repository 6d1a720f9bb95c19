#include "privilege/collector_link.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <string_view>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ombrel/administrator.h>

#include "base/child_reaper.h"
#include "base/fd.h"
#include "base/procfs.h"
#include "base/spawn_attributes.h"
#include "owners/owner_helper.h"
#include "privilege/collector_wire.h"
#include "programs/identified_file.h"

extern char** environ;

namespace ombrel::platform {
namespace {

// A collector that neither writes nor works for this long while an answer
// is due is taken for stuck; one still working on a large or flooded
// machine is let finish, however long that takes.
constexpr int kSilenceMs = 2000;
// The hello of a collector started directly, not through pkexec.
constexpr int kHelloMs = 10000;

struct Link {
    UniqueFd request; // the collector's standard input
    UniqueFd answer;  // its standard output
    pid_t pid = -1;
    bool hello = false; // the collector said it runs (pkexec let it)
    AdministratorMode mode = AdministratorMode::Off;
    CollectorFailure failure = CollectorFailure::None;
    std::string path; // the program started, as it was named
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
    link.hello = false;
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
    TheLink().hello = true;
    TheLink().mode = AdministratorMode::Collecting;
    TheLink().failure = CollectorFailure::None;
    return true;
}

// The answer to the request just made, read as it comes. Given up only
// when the collector has neither written nor worked (run, or waited to
// run) for the bound; Ended when it closed its output or could not be read.
Got AwaitAnswer(int fd, pid_t pid, CollectorAnswerReader& reader) {
    using Clock = std::chrono::steady_clock;
    const auto bound = std::chrono::milliseconds(kSilenceMs);
    auto silentSince = Clock::now();
    std::string worked = ProcessActivity(pid);
    std::vector<char> chunk(1 << 16);
    for (;;) {
        auto now = Clock::now();
        int waitMs = 0;
        if (now - silentSince < bound)
            waitMs = static_cast<int>(std::min<long long>(
                100,
                std::chrono::duration_cast<std::chrono::milliseconds>(bound - (now - silentSince))
                        .count() +
                    1));
        pollfd wait{fd, POLLIN, 0};
        int ready = ::poll(&wait, 1, waitMs);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return Got::Ended;
        if (ready == 0) {
            // Work is not silence: this window may itself have waited for a
            // processor past the bound while the collector ran.
            if (std::string look = ProcessActivity(pid); look != worked) {
                worked = std::move(look);
                silentSince = Clock::now();
            } else if (Clock::now() - silentSince >= bound) {
                return Got::Silent;
            }
            continue;
        }
        ssize_t got = ::read(fd, chunk.data(), chunk.size());
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got <= 0)
            return Got::Ended;
        silentSince = Clock::now();
        if (reader.Feed(chunk.data(), static_cast<size_t>(got)) !=
            CollectorAnswerReader::State::Reading)
            return Got::Whole;
    }
}

// The caller's environment for pkexec, without what steers the loader or
// the C library: pkexec clears it for the collector, and this keeps it so
// wherever pkexec is another program.
std::vector<std::string> LoaderSafeEnvironment() {
    static const char* const unsafe[] = {
        "GCONV_PATH", "GETCONF_DIR", "GLIBC_TUNABLES", "HOSTALIASES",      "LOCALDOMAIN", "LOCPATH",
        "NIS_PATH",   "NLSPATH",     "RES_OPTIONS",    "RESOLV_HOST_CONF", "TMPDIR",      "TZDIR"};
    std::vector<std::string> kept;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view variable(*entry);
        std::string_view name = variable.substr(0, variable.find('='));
        bool drop = name.rfind("LD_", 0) == 0 || name.rfind("MALLOC_", 0) == 0;
        for (const char* known : unsafe)
            drop = drop || name == known;
        if (!drop)
            kept.emplace_back(variable);
    }
    return kept;
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
    TheLink().hello = false; // until it says it runs
    return true;
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
    if (path.empty())
        return {};
    if (path[0] != '/') {
        char folder[PATH_MAX];
        if (::getcwd(folder, sizeof folder) == nullptr)
            return {};
        path = std::string(folder) + "/" + path;
    }
    // pkexec is named the file itself, its links followed. Every mount is
    // taken to answer: this is the program's own install folder, which it
    // runs from (or a test's).
    UniqueFd root(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string real;
    UniqueFd found =
        root ? FollowPath(
                   root.get(), path, [](uint64_t) { return std::optional<bool>(false); }, &real)
             : UniqueFd();
    struct stat info {};
    return found && ::fstat(found.get(), &info) == 0 && S_ISREG(info.st_mode) ? real
                                                                              : std::string();
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
    link.hello = true;
    link.path.clear();
    link.mode = AdministratorMode::Collecting;
    link.failure = CollectorFailure::None;
}

bool BeginCollectorStart() {
    if (TheLink().answer)
        return true; // one collector per window
    std::string path = CollectorPath();
    if (path.empty())
        return Fail(CollectorFailure::NotFound);
    // pkexec asks for the password through the session's agent, or on the
    // terminal; its own messages go where the window's do.
    char* argv[] = {const_cast<char*>("pkexec"), const_cast<char*>(path.c_str()), nullptr};
    std::vector<std::string> variables = LoaderSafeEnvironment();
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    if (!Spawn(true, "pkexec", argv, envp.data(), false))
        return Fail(CollectorFailure::NotFound);
    TheLink().path = path;
    TheLink().mode = AdministratorMode::Starting;
    return true;
}

AdministratorMode PollCollectorStart() {
    Link& link = TheLink();
    if (link.mode != AdministratorMode::Starting || !link.answer)
        return link.mode;
    pollfd hello{link.answer.get(), POLLIN, 0};
    if (::poll(&hello, 1, 0) > 0)
        AwaitHello(kSilenceMs); // the hello is whole in the pipe, or pkexec ended
    return link.mode;
}

bool StartCollectorThroughPkexec() {
    if (!BeginCollectorStart())
        return false;
    return TheLink().hello || AwaitHello(-1);
}

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
    TheLink().path = path;
    // It writes its hello first thing; only a machine that is very busy
    // makes it wait.
    AwaitHello(kHelloMs);
}

void StopCollector() {
    Disconnect(true);
    if (TheLink().mode == AdministratorMode::Collecting)
        TheLink().mode = AdministratorMode::Off;
}

bool AskCollector(MachineTables& tables, CollectedOwners& owners, std::string& report) {
    Link& link = TheLink();
    if (!link.answer || !link.hello)
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
    CollectorAnswerReader reader;
    Got got = AwaitAnswer(link.answer.get(), link.pid, reader);
    if (got != Got::Whole)
        return Fail(got == Got::Silent ? CollectorFailure::Silent : CollectorFailure::Gone);
    if (reader.state() == CollectorAnswerReader::State::Error) {
        // It could not answer this time, and says so: it stays for the
        // next refresh, and this one shows what the user can see.
        link.mode = AdministratorMode::Unavailable;
        link.failure = CollectorFailure::Incomplete;
        return false;
    }
    if (reader.state() != CollectorAnswerReader::State::Whole)
        return Fail(CollectorFailure::WrongAnswer);
    CollectorAnswer answer = reader.Take();
    report = std::move(answer.report);
    tables = std::move(answer.tables);
    owners = std::move(answer.owners);
    link.mode = AdministratorMode::Collecting;
    link.failure = CollectorFailure::None;
    return true;
}

const std::string& RunningCollectorPath() {
    return TheLink().path;
}

} // namespace ombrel::platform
