// ombrel-owners: for every TCP and UDP socket any process holds, its inode
// and the holder's pid and start time, in the binary form of owner_records.h on
// standard output. Installed with CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE,
// so that an ordinary user's snapshot knows every owner; it reveals no path,
// reads no input, takes no argument and no variable, never follows a link
// out of /proc, and holds no capability by the time it writes.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

#include "../capabilities.h"
#include "../fd.h"
#include "../inet_sockets.h"
#include "owner_records.h"
#include "thread_tables.h"

namespace {

using ombrel::platform::OwnerRecord;

// Exit statuses: 0 written, 1 refused or failed, 2 called with arguments.
constexpr int kRefused = 1;
constexpr int kUsage = 2;

bool IsNumber(const char* name) {
    if (*name == '\0')
        return false;
    for (; *name != '\0'; ++name)
        if (*name < '0' || *name > '9')
            return false;
    return true;
}

// Whole small file through a descriptor relative to /proc.
std::string ReadAt(int dirFd, const char* path) {
    std::string text;
    int fd = ::openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        return text;
    char buffer[4096];
    for (ssize_t got; (got = ::read(fd, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > (size_t{1} << 20))
            break;
    }
    ::close(fd);
    return text;
}

// An administrator who mounted /proc with hidepid hides processes from
// users; the helper does not undo that. The super options of /proc's mount
// in /proc/self/mountinfo name it.
bool ProcessesHidden(int procFd) {
    std::string mounts = ReadAt(procFd, "self/mountinfo");
    if (mounts.empty())
        return true; // unknown: assume hidden
    size_t start = 0;
    while (start < mounts.size()) {
        size_t end = mounts.find('\n', start);
        if (end == std::string::npos)
            end = mounts.size();
        std::string_view line(mounts.data() + start, end - start);
        start = end + 1;
        // id parent major:minor root mount-point options [fields] - type source super
        size_t fields[5] = {};
        size_t at = 0;
        for (size_t& field : fields) {
            field = at;
            at = line.find(' ', at);
            if (at == std::string_view::npos)
                break;
            ++at;
        }
        if (at == std::string_view::npos)
            continue;
        std::string_view mountPoint = line.substr(fields[4], line.find(' ', fields[4]) - fields[4]);
        if (mountPoint != "/proc")
            continue;
        size_t dash = line.find(" - ");
        if (dash == std::string_view::npos)
            return true;
        std::string_view super = line.substr(dash + 3);
        size_t option = super.find("hidepid=");
        if (option == std::string_view::npos)
            continue; // a later mount over /proc may still hide
        std::string_view value = super.substr(option + 8);
        value = value.substr(0, value.find_first_of(", \n"));
        if (value != "0" && value != "off")
            return true;
    }
    return false;
}

uint64_t StartTime(int procFd, const char* pid) {
    std::string stat = ReadAt(procFd, (std::string(pid) + "/stat").c_str());
    size_t paren = stat.rfind(')');
    if (paren == std::string::npos)
        return 0;
    // Fields after the name: state is the third of the line; start time the
    // twenty-second.
    size_t at = paren + 2;
    for (int field = 3; field < 22 && at < stat.size(); ++field) {
        at = stat.find(' ', at);
        if (at == std::string::npos)
            return 0;
        ++at;
    }
    uint64_t value = 0;
    std::from_chars(stat.data() + at, stat.data() + stat.size(), value);
    return value;
}

// "socket:[12345]" -> 12345
bool SocketInode(const char* link, size_t length, uint64_t& inode) {
    std::string_view text(link, length);
    constexpr std::string_view prefix = "socket:[";
    if (text.size() <= prefix.size() + 1 || text.substr(0, prefix.size()) != prefix ||
        text.back() != ']')
        return false;
    const char* first = text.data() + prefix.size();
    const char* last = text.data() + text.size() - 1;
    auto [end, ec] = std::from_chars(first, last, inode);
    return ec == std::errc() && end == last && inode != 0;
}

// Appends a record for every socket in an open descriptor folder; false
// when it held no entry at all.
bool ScanFds(int fdDirFd, uint32_t pid, uint64_t start, std::vector<OwnerRecord>& records) {
    DIR* dir = ::fdopendir(fdDirFd);
    if (dir == nullptr) {
        ::close(fdDirFd);
        return false;
    }
    bool any = false;
    while (dirent* entry = ::readdir(dir)) {
        if (!IsNumber(entry->d_name))
            continue;
        any = true;
        char link[64];
        // The link's own text: nothing is followed.
        ssize_t length = ::readlinkat(::dirfd(dir), entry->d_name, link, sizeof link);
        uint64_t inode = 0;
        if (length > 0 && static_cast<size_t>(length) < sizeof link &&
            SocketInode(link, static_cast<size_t>(length), inode))
            records.push_back({inode, start, pid, 0});
    }
    ::closedir(dir);
    return any;
}

int OpenDir(int dirFd, const std::string& path) {
    return ::openat(dirFd, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
}

// The leader's table, then every other table the process's threads hold (a
// thread that unshared its table, or all of them once the leader exited).
void ScanProcess(int procFd, const char* pid, std::vector<OwnerRecord>& records) {
    uint32_t id = 0;
    std::from_chars(pid, pid + std::strlen(pid), id);
    uint64_t start = StartTime(procFd, pid);
    int fdDir = OpenDir(procFd, std::string(pid) + "/fd");
    bool listed = fdDir >= 0 && ScanFds(fdDir, id, start, records);
    for (const std::string& tid :
         ombrel::platform::ThreadsWithTheirOwnTables(procFd, id, true, listed)) {
        int threadFds = OpenDir(procFd, std::string(pid) + "/task/" + tid + "/fd");
        if (threadFds >= 0)
            ScanFds(threadFds, id, start, records);
    }
}

// The inodes of the four tables' sockets, ascending: the helper tells of
// these alone, not of the unix, netlink or packet sockets a process holds.
// Without IPv6 its two tables are none; false when IPv4's cannot be read.
bool TableInodes(std::vector<uint64_t>& inodes) {
    using ombrel::platform::InetFamily;
    using ombrel::platform::InetProtocol;
    std::vector<ombrel::platform::InetSocket> sockets;
    if (!ombrel::platform::DumpSockDiag(InetProtocol::Tcp, InetFamily::V4, sockets) ||
        !ombrel::platform::DumpSockDiag(InetProtocol::Udp, InetFamily::V4, sockets))
        return false;
    ombrel::platform::DumpSockDiag(InetProtocol::Tcp, InetFamily::V6, sockets);
    ombrel::platform::DumpSockDiag(InetProtocol::Udp, InetFamily::V6, sockets);
    for (const auto& socket : sockets)
        if (socket.inode != 0)
            inodes.push_back(socket.inode);
    std::sort(inodes.begin(), inodes.end());
    inodes.erase(std::unique(inodes.begin(), inodes.end()), inodes.end());
    return true;
}

// Every capability set emptied, none to be had again; false if any stays.
bool DropCapabilities() {
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    if (!ombrel::platform::WriteCapabilities({}))
        return false;
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    return ombrel::platform::HoldsNoCapability();
}

} // namespace

int main(int argc, char**) {
    if (argc != 1)
        return kUsage;
    ::clearenv(); // nothing of the caller's steers it
    int procFd = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW);
    if (procFd < 0 || ProcessesHidden(procFd))
        return kRefused;

    // The tables first: a socket the caller saw was made before they were
    // read, so none it asks about is missed.
    std::vector<uint64_t> wanted;
    if (!TableInodes(wanted))
        return kRefused;
    std::vector<OwnerRecord> records;
    if (DIR* dir = ::fdopendir(::dup(procFd))) {
        while (dirent* entry = ::readdir(dir))
            if (IsNumber(entry->d_name))
                ScanProcess(procFd, entry->d_name, records);
        ::closedir(dir);
    }
    ::close(procFd);
    records.erase(std::remove_if(records.begin(), records.end(),
                                 [&](const OwnerRecord& record) {
                                     return !std::binary_search(wanted.begin(), wanted.end(),
                                                                record.inode);
                                 }),
                  records.end());

    if (!DropCapabilities())
        return kRefused;
#ifdef OMBREL_OWNERS_REPORT_CAPABILITIES
    // The tests' build says what it holds as it writes.
    std::string status = ReadAt(AT_FDCWD, "/proc/self/status");
    for (const char* name : {"CapInh:", "CapPrm:", "CapEff:", "CapAmb:"}) {
        size_t at = status.find(name);
        if (at != std::string::npos)
            std::fprintf(stderr, "%s\n", status.substr(at, status.find('\n', at) - at).c_str());
    }
#endif
    ombrel::platform::OwnerRecordsHeader header{};
    std::memcpy(header.magic, ombrel::platform::kOwnerRecordsMagic, sizeof header.magic);
    header.count = records.size();
    if (!ombrel::platform::WriteAll(STDOUT_FILENO, &header, sizeof header) ||
        !ombrel::platform::WriteAll(STDOUT_FILENO, records.data(),
                                    records.size() * sizeof(OwnerRecord)))
        return kRefused;
    return 0;
}
