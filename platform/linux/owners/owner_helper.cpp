#include "owners/owner_helper.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_map>
#include <utility>

#include "base/proc_root.h"

#include "base/capabilities.h"
#include "base/fd.h"
#include "base/procfs.h"
#include "base/spawn_attributes.h"

namespace ombrel::platform {
namespace {

OwnerHelperSetting& Setting() {
    static OwnerHelperSetting setting;
    return setting;
}

bool IsRegularFile(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::string RealFolder(const std::string& path) {
    char real[PATH_MAX];
    return ::realpath(path.c_str(), real) != nullptr ? std::string(real) : std::string();
}

std::string ProgramFolder() {
    std::string exe = RealFolder("/proc/self/exe");
    size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

// Root's, and only root may change it.
bool RootsAlone(const struct stat& info) {
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

// Its schedstat line, and its stat line for a kernel that keeps no
// schedstat; anyone may read both. One that only waits for a processor on a
// busy machine moves them too.
std::string ProcessActivity(pid_t pid) {
    std::string folder = "/proc/" + std::to_string(pid);
    std::optional<std::string> schedstat = ReadSmallFile(folder + "/schedstat", 256);
    std::istringstream sched(schedstat.value_or(""));
    unsigned long long ran = 0, waited = 0;
    sched >> ran >> waited;
    std::optional<TaskStat> stat = ReadTaskStat("/proc", static_cast<uint32_t>(pid));
    std::string user = stat ? std::to_string(stat->userTicks) : "";
    std::string system = stat ? std::to_string(stat->systemTicks) : "";
    return std::to_string(ran + waited) + " " + user + " " + system;
}

OwnerHelperSetting ReplaceOwnerHelperSetting(OwnerHelperSetting setting) {
    std::swap(setting, Setting());
    return setting;
}

int OwnerHelperTimeoutMs() {
    return Setting().overridden && Setting().timeoutMs > 0 ? Setting().timeoutMs : 2000;
}

bool SeesEveryDescriptor() {
    if (::geteuid() == 0)
        return true;
    EffectiveCapabilities effective;
    return effective.Has(CAP_DAC_READ_SEARCH) && effective.Has(CAP_SYS_PTRACE);
}

bool ReadsEveryDescriptor() {
    if (Setting().overridden)
        return false; // a test's helper is always asked
    return SeesEveryDescriptor();
}

bool HeldByRootAlone(const std::string& path) {
    if (path.size() < 2 || path[0] != '/')
        return false;
    UniqueFd at(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat info {};
    if (!at || ::fstat(at.get(), &info) != 0 || !RootsAlone(info))
        return false;
    for (size_t start = 1; start <= path.size();) {
        size_t end = std::min(path.find('/', start), path.size());
        std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        // A link is not followed: each step is the one the path names.
        UniqueFd next(::openat(at.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!next || ::fstat(next.get(), &info) != 0 || !RootsAlone(info))
            return false;
        bool last = end == path.size();
        if (last ? !S_ISREG(info.st_mode) : !S_ISDIR(info.st_mode))
            return false;
        at = std::move(next);
        start = end + 1;
    }
    return true;
}

std::string CompanionProgramPath(const std::string& name) {
    // A build that is not installed (the build folder, or a copy of it)
    // runs its own copies beside it; the installed program, and a set-id
    // start from wherever it was started, never do.
    if (::getauxval(AT_SECURE) == 0) {
        std::string folder = ProgramFolder();
        if (!folder.empty() && folder != RealFolder(OMBREL_INSTALLED_FOLDER) &&
            IsRegularFile(folder + "/" + name))
            return folder + "/" + name;
    }
    std::string folder = OMBREL_COMPANION_FOLDER;
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    std::string installed = folder + "/" + name;
    return HeldByRootAlone(installed) ? installed : std::string();
}

std::string OwnerHelperPath() {
    if (Setting().overridden)
        return Setting().path;
    return CompanionProgramPath("ombrel-owners");
}

bool ParseOwnerRecords(const char* data, size_t size, std::vector<OwnerRecord>& records) {
    records.clear();
    OwnerRecordsHeader header;
    if (size < sizeof header)
        return false;
    std::memcpy(&header, data, sizeof header);
    if (std::memcmp(header.magic, kOwnerRecordsMagic, sizeof header.magic) != 0)
        return false;
    size_t body = size - sizeof header;
    if (body % sizeof(OwnerRecord) != 0 || header.count != body / sizeof(OwnerRecord))
        return false;
    records.resize(static_cast<size_t>(header.count));
    if (body > 0)
        std::memcpy(records.data(), data + sizeof header, body);
    return true;
}

bool RunOwnerHelper(const std::string& path, int timeoutMs, std::vector<OwnerRecord>& records) {
    records.clear();
    if (!IsRegularFile(path))
        return false;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return false;
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attributes;
    InitChildAttributes(attributes);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = 0;
    int error = ::posix_spawn(&pid, path.c_str(), &actions, &attributes, argv, envp);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    writeEnd.reset();
    if (error != 0)
        return false;

    // Read until the helper closes its end. The bound is on its silence,
    // not its work: a helper that neither writes nor runs (nor waits to
    // run) for that long is stuck (on a file system that never answers,
    // say); one still scanning a large or flooded machine is let finish.
    std::string output;
    auto bound = std::chrono::milliseconds(timeoutMs);
    auto silentSince = std::chrono::steady_clock::now();
    std::string worked = ProcessActivity(pid);
    bool ended = false;
    char buffer[65536];
    for (;;) {
        auto now = std::chrono::steady_clock::now();
        if (now - silentSince >= bound) {
            // One more look before giving up: this caller may itself have
            // waited for a processor past the bound while the helper ran.
            std::string lastLook = ProcessActivity(pid);
            if (lastLook == worked)
                break;
            worked = std::move(lastLook);
            silentSince = now;
        }
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(bound - (now - silentSince));
        pollfd wait{readEnd.get(), POLLIN, 0};
        // Looked at a few times within each bound.
        long long slice = std::clamp<long long>(timeoutMs / 4, 10, 100);
        int ready = ::poll(&wait, 1, static_cast<int>(std::min<long long>(left.count(), slice)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        if (ready == 0) {
            if (std::string now_worked = ProcessActivity(pid); now_worked != worked) {
                worked = std::move(now_worked);
                silentSince = std::chrono::steady_clock::now();
            }
            continue;
        }
        ssize_t got = ::read(readEnd.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ended = got == 0;
            break;
        }
        output.append(buffer, static_cast<size_t>(got));
        silentSince = std::chrono::steady_clock::now();
    }
    if (!ended)
        ::kill(pid, SIGKILL); // ours, and late: its answer is not taken
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return false;
    return ParseOwnerRecords(output.data(), output.size(), records);
}

void JoinOwnerRecords(const std::vector<OwnerRecord>& records, const std::vector<uint64_t>& inodes,
                      std::vector<uint32_t>& owners, std::vector<uint64_t>* starts) {
    struct Holder {
        uint32_t pid;
        uint64_t start;
    };
    HolderOrder order(ProcRoot());
    // The first holder by the rule, of a socket or of a ring.
    auto hold = [&](std::unordered_map<uint64_t, Holder>& first, uint64_t inode, Holder holder) {
        auto [it, fresh] = first.try_emplace(inode, holder);
        Holder& held = it->second;
        if (!fresh && holder.pid != held.pid &&
            order.Before(holder.pid, holder.start, held.pid, held.start))
            held = holder;
    };
    std::unordered_map<uint64_t, Holder> first, rings;
    first.reserve(records.size());
    for (const OwnerRecord& record : records)
        if (record.kind == kHoldsSocket)
            hold(first, record.inode, Holder{record.pid, record.startTime});
        else if (record.kind == kHoldsRing)
            hold(rings, record.inode, Holder{record.pid, record.startTime});
    // A ring's sockets are held by its first holder.
    for (const OwnerRecord& record : records)
        if (record.kind == kInRing)
            if (auto ring = rings.find(record.startTime); ring != rings.end())
                hold(first, record.inode, ring->second);
    owners.assign(inodes.size(), 0);
    if (starts != nullptr)
        starts->assign(inodes.size(), 0);
    for (size_t i = 0; i < inodes.size(); ++i) {
        if (inodes[i] == 0)
            continue;
        auto found = first.find(inodes[i]);
        if (found == first.end())
            continue;
        owners[i] = found->second.pid;
        if (starts != nullptr)
            (*starts)[i] = found->second.start;
    }
}

} // namespace ombrel::platform
