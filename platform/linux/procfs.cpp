#include "procfs.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "directory.h"
#include "fd.h"

namespace ombrel::platform {
namespace {

bool ParseUnsigned(std::string_view text, uint64_t& value) {
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

} // namespace

std::optional<TaskStat> ParseTaskStat(std::string_view line) {
    size_t open = line.find('(');
    size_t close = line.rfind(')');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open)
        return std::nullopt;
    TaskStat stat;
    stat.comm = std::string(line.substr(open + 1, close - open - 1));

    // Fields after the name, from field 3 (state) on.
    std::vector<std::string_view> fields;
    std::string_view rest = line.substr(close + 1);
    size_t pos = 0;
    while (pos < rest.size() && fields.size() < 20) {
        while (pos < rest.size() && (rest[pos] == ' ' || rest[pos] == '\n'))
            ++pos;
        size_t end = rest.find_first_of(" \n", pos);
        if (end == std::string_view::npos)
            end = rest.size();
        if (end > pos)
            fields.push_back(rest.substr(pos, end - pos));
        pos = end;
    }
    // ppid is field 4, num_threads field 20, starttime field 22 (proc(5)).
    uint64_t ppid = 0, threads = 0, start = 0;
    if (fields.size() < 20 || !ParseUnsigned(fields[1], ppid) ||
        !ParseUnsigned(fields[17], threads) || !ParseUnsigned(fields[19], start))
        return std::nullopt;
    stat.ppid = static_cast<uint32_t>(ppid);
    stat.threads = static_cast<uint32_t>(threads);
    stat.startTime = start;
    return stat;
}

std::vector<uint32_t> ListProcessIds(const std::string& root) {
    std::vector<uint32_t> pids;
    ForEachDirectoryEntry(root, [&](std::string_view name, unsigned char) {
        uint64_t pid = 0;
        if (!name.empty() && name[0] != '0' && ParseUnsigned(name, pid) && pid <= UINT32_MAX)
            pids.push_back(static_cast<uint32_t>(pid));
    });
    std::sort(pids.begin(), pids.end());
    return pids;
}

std::optional<std::string> ReadSmallFile(const std::string& path, size_t limit) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return fd ? ReadToEnd(fd.get(), limit) : std::nullopt;
}

std::optional<std::string> ReadToEnd(int fd, size_t limit) {
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (got == 0)
            break;
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > limit)
            return std::nullopt;
    }
    return text;
}

std::optional<TaskStat> ReadTaskStat(const std::string& root, uint32_t pid) {
    auto text = ReadSmallFile(root + "/" + std::to_string(pid) + "/stat");
    if (!text)
        return std::nullopt;
    return ParseTaskStat(*text);
}

std::optional<std::string> ReadLinkAt(int dirFd, const char* name) {
    char buffer[4096];
    ssize_t length = ::readlinkat(dirFd, name, buffer, sizeof buffer);
    if (length >= 0 && static_cast<size_t>(length) >= sizeof buffer)
        errno = ENAMETOOLONG; // a cut target could name another file
    if (length < 0 || static_cast<size_t>(length) >= sizeof buffer)
        return std::nullopt;
    return std::string(buffer, static_cast<size_t>(length));
}

std::optional<TaskStat> ReadTaskStatAt(int procDirFd) {
    UniqueFd stat(::openat(procDirFd, "stat", O_RDONLY | O_CLOEXEC));
    std::optional<std::string> line = stat ? ReadToEnd(stat.get(), 4096) : std::nullopt;
    return line ? ParseTaskStat(*line) : std::nullopt;
}

std::optional<std::string> ReadProgramLink(int procDirFd, std::string* link) {
    if (link != nullptr)
        *link = "exe";
    std::optional<std::string> target = ReadLinkAt(procDirFd, "exe");
    if (target || errno != ENOENT)
        return target;
    // The leader has exited: its link names nothing, a live thread's does.
    int saved = errno;
    UniqueFd tasks(::openat(procDirFd, "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::optional<std::string> found;
    std::string used;
    if (tasks)
        ForEachDirectoryEntryAt(tasks.get(), [&](std::string_view name, unsigned char) {
            if (found || name.empty() || name[0] < '0' || name[0] > '9')
                return;
            std::string candidate = "task/" + std::string(name) + "/exe";
            if ((found = ReadLinkAt(procDirFd, candidate.c_str())))
                used = candidate;
        });
    if (!found) {
        errno = saved;
        return std::nullopt;
    }
    if (link != nullptr)
        *link = used;
    return found;
}

FileIdentity ReadLinkedFileIdentity(int procDirFd, const std::string& link) {
    struct statx file {};
    if (procDirFd < 0 || link.empty() ||
        ::statx(procDirFd, link.c_str(), AT_STATX_DONT_SYNC, STATX_INO, &file) != 0 ||
        !(file.stx_mask & STATX_INO))
        return {};
    return {makedev(file.stx_dev_major, file.stx_dev_minor), file.stx_ino};
}

std::string ProcessImageName(std::string_view comm, std::string_view exeTarget) {
    constexpr std::string_view deleted = " (deleted)";
    if (exeTarget.size() >= deleted.size() &&
        exeTarget.substr(exeTarget.size() - deleted.size()) == deleted)
        exeTarget.remove_suffix(deleted.size());
    size_t slash = exeTarget.rfind('/');
    std::string_view file =
        slash == std::string_view::npos ? exeTarget : exeTarget.substr(slash + 1);
    if (!comm.empty() && file.size() > comm.size() && file.substr(0, comm.size()) == comm)
        return std::string(file);
    return std::string(comm);
}

const HolderOrder::Known& HolderOrder::Facts(uint32_t pid) {
    auto [it, fresh] = known_.try_emplace(pid);
    if (fresh)
        if (std::optional<TaskStat> stat = ReadTaskStat(root_, pid))
            it->second = {stat->startTime, stat->ppid};
    return it->second;
}

bool HolderOrder::IsAncestor(uint32_t ancestor, uint32_t pid) {
    // A chain of parents is short; a bound keeps a forged tree finite.
    for (int step = 0; step < 4096 && pid > 1; ++step) {
        pid = Facts(pid).parent;
        if (pid == ancestor)
            return true;
    }
    return false;
}

bool HolderOrder::Before(uint32_t a, uint64_t startA, uint32_t b, uint64_t startB) {
    if (startA != startB)
        return startA < startB;
    if (IsAncestor(a, b))
        return true;
    if (IsAncestor(b, a))
        return false;
    return a < b;
}

} // namespace ombrel::platform
