// ombrel-owners: for every TCP and UDP socket any process holds, its inode
// and the holder's pid and start time, in the binary form of owner_records.h on
// standard output. Installed with CAP_DAC_READ_SEARCH and CAP_SYS_PTRACE,
// so that an ordinary user's snapshot knows every owner, and with CAP_BPF
// and CAP_PERFMON, so that it takes the kernel's walk of the descriptor
// tables (the program built into it) where it can, and scans /proc where
// it cannot. It reveals no path, reads no input, takes no argument and no
// variable, never follows a link out of /proc, and holds no capability by
// the time it writes.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <unistd.h>
#include <unordered_set>
#include <vector>

#include "base/capabilities.h"
#include "base/fd.h"
#include "base/proc_text.h"
#include "owners/owner_records.h"
#include "owners/proc_descriptors.h"
#include "owners/socket_holders.h"
#include "owners/socket_walk.h"
#include "sockets/inet_sockets.h"

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

// A process's start time, in clock ticks after boot (0 where its stat line
// does not parse): the process's age is what tells the caller which holder
// made a socket. None where the process has ended; false where /proc could
// not be read whole (LeavesScanWhole).
bool ReadStartTime(int procFd, uint32_t pid, std::optional<uint64_t>& start) {
    start.reset();
    std::string path = std::to_string(pid) + "/stat";
    ombrel::platform::UniqueFd statFd(
        ::openat(procFd, path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    std::optional<std::string> text;
    if (statFd)
        text = ombrel::platform::ReadToEnd(statFd.get(), 4096);
    if (!text)
        return ombrel::platform::LeavesScanWhole(errno);
    std::optional<ombrel::platform::TaskStat> stat = ombrel::platform::ParseTaskStat(*text);
    start = stat ? stat->startTime : 0;
    return true;
}

// Every socket descriptor of one process, with its start time. False where
// /proc could not be read whole.
using ombrel::platform::RingReader;

// Tells that pid holds the ring, and the ring's sockets the first time
// they are read.
void HoldRing(int procFd, uint32_t pid, uint64_t start, uint32_t fd, uint64_t ring,
              const std::string& folder, std::vector<OwnerRecord>& records, RingReader& rings) {
    records.push_back({ring, start, pid, ombrel::platform::kHoldsRing});
    if (auto sockets = rings.Offer(procFd, folder, fd, ring))
        for (uint64_t socket : *sockets)
            records.push_back({socket, ring, 0, ombrel::platform::kInRing});
}

bool ScanProcess(int procFd, uint32_t pid, std::vector<OwnerRecord>& records,
                 ombrel::platform::UnsortedTableBudget& budget, RingReader& rings) {
    std::optional<uint64_t> start;
    if (!ReadStartTime(procFd, pid, start))
        return false;
    if (!start)
        return true;
    return ombrel::platform::ForEachSocketDescriptor(
        procFd, pid, true,
        [&](uint32_t, uint64_t inode) {
            records.push_back({inode, *start, pid, ombrel::platform::kHoldsSocket});
        },
        &budget,
        [&](uint32_t fd, uint64_t ring, const std::string& folder) {
            HoldRing(procFd, pid, *start, fd, ring, folder, records, rings);
        });
}

// Every socket descriptor of every process, by one scan of /proc. False
// where it could not be read whole: an answer with holes would tell the
// caller that nobody holds what the helper failed to read.
bool ScanOwners(int procFd, std::vector<OwnerRecord>& records) {
    bool whole = true;
    ombrel::platform::UnsortedTableBudget budget;
    RingReader rings;
    long listed = ombrel::platform::ForEachEntry(procFd, [&](const char* name) {
        if (std::optional<uint32_t> pid = ombrel::platform::ParseProcessId(name))
            whole = whole && ScanProcess(procFd, *pid, records, budget, rings);
    });
    return listed >= 0 && whole && rings.Whole();
}

enum class Walked { Whole, Refused };

// The wanted sockets' holders from the kernel's walk of every descriptor
// table, where the helper may load it (CAP_BPF and CAP_PERFMON, the
// machine's own pid namespace, a kernel with BTF): one pass, where the scan
// pays a readlink for every descriptor. Each holder's start time is the one
// the walk read with it, so a later process under a reused id is never
// given for it.
Walked WalkOwners(int procFd, const std::vector<uint64_t>& wanted,
                  std::vector<OwnerRecord>& records) {
    std::vector<ombrel::platform::SocketHolder> holders;
    holders.reserve(wanted.size() + 4096); // a descriptor per socket, and other kinds
    if (!ombrel::platform::ReadSocketHolders(holders))
        return Walked::Refused;
    RingReader rings;
    for (const ombrel::platform::SocketHolder& holder : holders) {
        if (holder.ring)
            HoldRing(procFd, holder.pid, holder.start, holder.fd, holder.inode,
                     std::to_string(holder.pid) + "/task/" + std::to_string(holder.tid) + "/fd",
                     records, rings);
        else if (std::binary_search(wanted.begin(), wanted.end(), holder.inode))
            records.push_back(
                {holder.inode, holder.start, holder.pid, ombrel::platform::kHoldsSocket});
    }
    // A ring it could not read for a hole: the scan asks again.
    return rings.Whole() ? Walked::Whole : Walked::Refused;
}

// Keeps what tells of the tables' sockets: their holders, the sockets rings
// hold among them, and the holders of those rings.
void KeepWanted(const std::vector<uint64_t>& wanted, std::vector<OwnerRecord>& records) {
    auto isWanted = [&](uint64_t inode) {
        return std::binary_search(wanted.begin(), wanted.end(), inode);
    };
    std::unordered_set<uint64_t> rings;
    for (const OwnerRecord& record : records)
        if (record.kind == ombrel::platform::kInRing && isWanted(record.inode))
            rings.insert(record.startTime);
    std::erase_if(records, [&](const OwnerRecord& record) {
        return record.kind == ombrel::platform::kHoldsRing ? rings.count(record.inode) == 0
                                                           : !isWanted(record.inode);
    });
}

// The inodes of the four tables' sockets, ascending: the helper tells of
// these alone, not of the unix, netlink or packet sockets a process holds.
// Without IPv6 its two tables are none; false when IPv4's cannot be read.
bool TableInodes(std::vector<uint64_t>& inodes) {
    using ombrel::platform::InetFamily;
    using ombrel::platform::InetProtocol;
    std::vector<ombrel::platform::InetSocket> sockets;
    // TCP's tables of both families in one walk where the kernel allows it,
    // as the caller reads them: half the kernel's work of a dump per family.
    if (!ombrel::platform::DumpTcpBothFamilies(sockets)) {
        sockets.clear();
        if (!ombrel::platform::DumpSockDiag(InetProtocol::Tcp, InetFamily::V4, sockets))
            return false;
        ombrel::platform::DumpSockDiag(InetProtocol::Tcp, InetFamily::V6, sockets);
    }
    if (!ombrel::platform::DumpSockDiag(InetProtocol::Udp, InetFamily::V4, sockets))
        return false;
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
    // Whole or not at all: where /proc cannot be read whole the caller
    // scans what it can itself.
    std::vector<OwnerRecord> records;
    Walked walked = WalkOwners(procFd, wanted, records);
    if (walked == Walked::Refused) {
        records.clear();
        if (!ScanOwners(procFd, records))
            return kRefused;
    }
    KeepWanted(wanted, records);
    ::close(procFd);

    if (!DropCapabilities())
        return kRefused;
#ifdef OMBREL_OWNERS_REPORT_CAPABILITIES
    // The tests' build says what it holds as it writes, and which way
    // named the owners.
    std::fprintf(stderr, "Source: %s\n",
                 walked == Walked::Whole ? "the kernel's walk" : "a scan of /proc");
    if (walked == Walked::Refused)
        std::fprintf(stderr, "Walk refused: %s\n",
                     ombrel::platform::SocketHoldersRefusal().c_str());
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
