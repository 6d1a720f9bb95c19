// ombrel-owners: for every TCP and UDP socket any process holds, its inode
// and the holder's pid and start time, in the binary form of owner_records.h on
// standard output. Installed with CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE,
// so that an ordinary user's snapshot knows every owner; it reveals no path,
// reads no input, takes no argument and no variable, never follows a link
// out of /proc, and holds no capability by the time it writes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <vector>

#include "../capabilities.h"
#include "../fd.h"
#include "../inet_sockets.h"
#include "../proc_descriptors.h"
#include "../proc_text.h"
#include "owner_records.h"

namespace {

using ombrel::platform::OwnerRecord;

// Exit statuses: 0 written, 1 refused or failed, 2 called with arguments.
constexpr int kRefused = 1;
constexpr int kUsage = 2;

// A whole small file through a descriptor relative to /proc; empty when
// it cannot be read.
std::string ReadAt(int dirFd, const char* path) {
    ombrel::platform::UniqueFd fd(::openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return fd ? ombrel::platform::ReadToEnd(fd.get(), size_t{16} << 20).value_or("") : "";
}

// Every socket descriptor of one process, with its start time: the
// process's age is what tells the caller which holder made a socket.
void ScanProcess(int procFd, uint32_t pid, std::vector<OwnerRecord>& records) {
    std::optional<ombrel::platform::TaskStat> stat =
        ombrel::platform::ParseTaskStat(ReadAt(procFd, (std::to_string(pid) + "/stat").c_str()));
    uint64_t start = stat ? stat->startTime : 0;
    ombrel::platform::ForEachSocketDescriptor(procFd, pid, true, [&](uint32_t, uint64_t inode) {
        records.push_back({inode, start, pid, 0});
    });
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
    // An administrator who mounted /proc with hidepid hides processes from
    // users; the helper does not undo that.
    if (procFd < 0 || ombrel::platform::HidesProcesses(ReadAt(procFd, "self/mountinfo")))
        return kRefused;

    // The tables first: a socket the caller saw was made before they were
    // read, so none it asks about is missed.
    std::vector<uint64_t> wanted;
    if (!TableInodes(wanted))
        return kRefused;
    std::vector<OwnerRecord> records;
    if (DIR* dir = ::fdopendir(::dup(procFd))) {
        while (dirent* entry = ::readdir(dir))
            if (std::optional<uint32_t> pid = ombrel::platform::ParseProcessId(entry->d_name))
                ScanProcess(procFd, *pid, records);
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
