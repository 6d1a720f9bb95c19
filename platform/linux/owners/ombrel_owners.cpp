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

// Exit statuses: 0 written, 1 refused or failed (nothing written), 2 called
// with arguments.
constexpr int kRefused = 1;
constexpr int kUsage = 2;

// A whole small file through a descriptor relative to /proc; none when it
// cannot be read.
std::optional<std::string> ReadAt(int dirFd, const char* path) {
    ombrel::platform::UniqueFd fd(::openat(dirFd, path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    return fd ? ombrel::platform::ReadToEnd(fd.get(), size_t{16} << 20) : std::nullopt;
}

// Every socket descriptor of one process, with its start time: the
// process's age is what tells the caller which holder made a socket. False
// where /proc could not be read whole (LeavesScanWhole).
bool ScanProcess(int procFd, uint32_t pid, std::vector<OwnerRecord>& records) {
    std::string path = std::to_string(pid) + "/stat";
    ombrel::platform::UniqueFd statFd(
        ::openat(procFd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    std::optional<std::string> text;
    if (statFd)
        text = ombrel::platform::ReadToEnd(statFd.get(), 4096);
    if (!text)
        return ombrel::platform::LeavesScanWhole(errno);
    std::optional<ombrel::platform::TaskStat> stat = ombrel::platform::ParseTaskStat(*text);
    uint64_t start = stat ? stat->startTime : 0;
    return ombrel::platform::ForEachSocketDescriptor(procFd, pid, true,
                                                     [&](uint32_t, uint64_t inode) {
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
    // users; the helper does not undo that, nor guesses when it cannot tell.
    std::optional<std::string> mounts =
        procFd < 0 ? std::nullopt : ReadAt(procFd, "self/mountinfo");
    if (!mounts || ombrel::platform::HidesProcesses(*mounts))
        return kRefused;

    // The tables first: a socket the caller saw was made before they were
    // read, so none it asks about is missed.
    std::vector<uint64_t> wanted;
    if (!TableInodes(wanted))
        return kRefused;
    // An answer with holes would tell the caller that nobody holds what the
    // helper failed to read: it answers whole or not at all, and the caller
    // then scans what it can itself.
    std::vector<OwnerRecord> records;
    bool whole = true;
    long listed = ombrel::platform::ForEachEntry(procFd, [&](const char* name) {
        if (std::optional<uint32_t> pid = ombrel::platform::ParseProcessId(name))
            whole = whole && ScanProcess(procFd, *pid, records);
    });
    if (listed < 0 || !whole)
        return kRefused;
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
    std::string status = ReadAt(AT_FDCWD, "/proc/self/status").value_or("");
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
