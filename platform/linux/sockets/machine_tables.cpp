#include "sockets/machine_tables.h"

#include <algorithm>
#include <exception>
#include <linux/sockios.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <system_error>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "base/proc_root.h"

#include "owners/owner_helper.h"
#include "owners/socket_holders.h"
#include "owners/socket_walk.h"

namespace ombrel::platform {
namespace {

// Without a view of other users' descriptors, a socket another user made
// may have its owner (the holder started first, as a rule the maker) among
// the processes hidden from the caller: the holder the caller sees would be
// a guess, so the socket shows no owner, as every socket held only out of
// sight does.
void DropHiddenOwners(const std::vector<uint32_t>& makers, std::vector<uint32_t>& owners,
                      std::vector<uint64_t>* starts) {
    const uid_t self = ::geteuid();
    for (size_t row = 0; row < owners.size() && row < makers.size(); ++row)
        if (makers[row] != self) {
            owners[row] = 0;
            if (starts != nullptr)
                (*starts)[row] = 0;
        }
}

// Where the caller cannot read other users' descriptors, the owner
// helper's scan names every owner (asked only where helped is given, and
// told there); without the helper, or when it fails, the caller's own scan
// names those it can see. makers: each socket's maker's user id; report:
// which source named them, and why not a faster; known, strays and walked
// as FindSocketOwners takes them.
void FindOwners(const std::string& root, const std::vector<uint64_t>& inodes,
                const std::vector<uint32_t>& makers, std::vector<uint32_t>& owners,
                std::string& report, std::vector<uint64_t>* starts = nullptr, bool* whole = nullptr,
                bool* helped = nullptr, const std::vector<uint32_t>* known = nullptr,
                std::vector<SocketHolder>* strays = nullptr,
                const std::vector<SocketHolder>* walked = nullptr) {
    report.clear();
    if (helped != nullptr)
        *helped = false;
    if (IsLiveProc(root) && !ReadsEveryDescriptor() && helped != nullptr) {
        std::vector<OwnerRecord> records;
        std::string helper = OwnerHelperPath();
        if (!helper.empty() && RunOwnerHelper(helper, OwnerHelperTimeoutMs(), records)) {
            JoinOwnerRecords(records, inodes, owners, starts);
            report = "owners: the owner helper " + helper +
                     " (this user may not read other users' descriptors)";
            *helped = true;
            return;
        }
        report = helper.empty() ? "no owner helper beside the program or installed; "
                                : "the owner helper " + helper + " failed or fell silent; ";
    }
    const bool partial = IsLiveProc(root) && !SeesEveryDescriptor();
    bool byWalk = FindSocketOwners(root, inodes, owners, OwnerSource::Any, MachineSocketWalk(),
                                   starts, whole, known, strays, walked);
    if (partial)
        DropHiddenOwners(makers, owners, starts);
    if (byWalk) {
        report += "owners: the kernel's walk";
    } else if (root != "/proc") {
        report += "owners: a scan of " + root;
    } else {
        report += "owners: a scan of /proc";
        if (!inodes.empty())
            report += " (the kernel's walk: " + SocketHoldersRefusal() + ")";
    }
}

void AppendInodes(const std::vector<InetSocket>& sockets, std::vector<uint64_t>& inodes,
                  std::vector<uint32_t>& makers) {
    for (const InetSocket& socket : sockets) {
        inodes.push_back(socket.inode);
        makers.push_back(socket.uid);
    }
}

// The live kernel's tables only for the live /proc; a fixture tree's own.
bool ReadTable(size_t table, const std::string& root, std::vector<InetSocket>& sockets) {
    bool live = IsLiveProc(root);
    return ReadInetSockets(root, live, ProtocolOf(table), FamilyOf(table), sockets);
}

// A namespace read apart joins the tables: its sockets where both it and
// the caller's own read the table, the others marked unread for it.
void AppendNamespace(NetworkNamespace named, const NamespaceSockets& read, MachineTables& tables) {
    for (size_t table = 0; table < kTableCount; ++table) {
        if (!read.read[table] || !tables.read[table]) {
            named.unread |= 1u << table;
            continue;
        }
        tables.sockets[table].insert(tables.sockets[table].end(), read.sockets[table].begin(),
                                     read.sockets[table].end());
    }
    tables.namespaces.push_back(std::move(named));
}

// The caller's own first, the others by name, then inode.
void SortOtherNamespaces(MachineTables& tables) {
    std::sort(tables.namespaces.begin() + 1, tables.namespaces.end(),
              [](const NetworkNamespace& a, const NetworkNamespace& b) {
                  return std::tie(a.name, a.inode) < std::tie(b.name, b.inode);
              });
}

// A copy of another process's socket may be the last of it: a close that
// would wait out a linger time is left to a thread of its own.
void CloseCopy(UniqueFd copy) {
    linger lingering{};
    socklen_t size = sizeof lingering;
    if (::getsockopt(copy.get(), SOL_SOCKET, SO_LINGER, &lingering, &size) == 0 &&
        lingering.l_onoff != 0 && lingering.l_linger > 0) {
        try {
            std::thread([fd = copy.release()] { ::close(fd); }).detach();
        } catch (const std::system_error&) {
            // no thread to be had: closed here, as any close
        }
    }
}

// The namespace of the socket a holder the walk saw holds, through a copy
// of its descriptor: only when the copy is an IPv4 or IPv6 socket (asked of
// the socket layer, which no file system answers) and that very socket.
UniqueFd NamespaceOfSocket(const SocketHolder& holder) {
    UniqueFd process(static_cast<int>(::syscall(SYS_pidfd_open, holder.pid, 0)));
    UniqueFd socket(
        process ? static_cast<int>(::syscall(SYS_pidfd_getfd, process.get(), holder.fd, 0)) : -1);
    int domain = 0;
    socklen_t size = sizeof domain;
    struct stat info {};
    UniqueFd ns;
    if (socket && ::getsockopt(socket.get(), SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 &&
        (domain == AF_INET || domain == AF_INET6) && ::fstat(socket.get(), &info) == 0 &&
        info.st_ino == holder.inode)
        ns.reset(::ioctl(socket.get(), SIOCGSKNS));
    if (socket)
        CloseCopy(std::move(socket));
    return ns;
}

// Adds to found the namespaces a socket alone keeps (no process lives in
// them, no mount keeps them), through a copy of the socket of one of their
// holders: none of reached, which gets them.
void FindStrayNamespaces(uint32_t own, const std::vector<SocketHolder>& strays,
                         std::unordered_set<uint32_t>& reached,
                         std::vector<FoundNamespace>& found) {
    // A holder may be gone or its descriptor another file by now: the next
    // holder of the same namespace is tried.
    for (const SocketHolder& stray : strays)
        if (!reached.contains(stray.netns))
            if (uint32_t inode = AddNetworkNamespace(found, NamespaceOfSocket(stray), own);
                inode != 0 && !reached.insert(inode).second)
                found.pop_back(); // the socket had moved on to a namespace known already
}

// The namespaces a socket alone keeps, where the owner pass's walk found
// them: entered through the socket, read as the others, named by inode,
// their sockets' owners found in a pass of their own.
void AddStrayNamespaces(const std::string& root, uint32_t own,
                        const std::vector<SocketHolder>& strays, MachineTables& tables) {
    std::unordered_set<uint32_t> reached;
    for (const NetworkNamespace& ns : tables.namespaces)
        reached.insert(ns.inode);
    std::vector<FoundNamespace> found;
    FindStrayNamespaces(own, strays, reached, found);
    if (found.empty())
        return;
    std::vector<NamespaceSockets> read = ReadNamespaceSockets(found);
    std::vector<uint64_t> inodes;
    std::vector<uint32_t> makers;
    std::array<size_t, kTableCount> firsts{};
    for (size_t table = 0; table < kTableCount; ++table)
        firsts[table] = tables.sockets[table].size();
    for (size_t i = 0; i < found.size(); ++i)
        if (read[i].entered)
            AppendNamespace(NameNetworkNamespace({}, found[i].inode, {}, {}, {}), read[i], tables);
    SortOtherNamespaces(tables);
    for (size_t table = 0; table < kTableCount; ++table)
        for (size_t row = firsts[table]; row < tables.sockets[table].size(); ++row) {
            inodes.push_back(tables.sockets[table][row].inode);
            makers.push_back(tables.sockets[table][row].uid);
        }
    std::vector<uint32_t> owners;
    std::vector<uint64_t> starts;
    std::string unused;
    FindOwners(root, inodes, makers, owners, unused, &starts);
    size_t at = 0;
    for (size_t table = 0; table < kTableCount; ++table)
        for (size_t row = firsts[table]; row < tables.sockets[table].size(); ++row, ++at) {
            tables.owners[table].push_back(at < owners.size() ? owners[at] : 0);
            tables.ownerStarts[table].push_back(at < starts.size() ? starts[at] : 0);
        }
}

// The owner helper names the owners of its own namespace's sockets alone
// (it lends no other namespace's); the caller's own scan names those of the
// other namespaces she could read, her own containers', in their rows.
void OwnOtherNamespaces(const std::string& root, uint32_t own,
                        const std::array<std::vector<InetSocket>, kTableCount>& parts,
                        std::vector<uint32_t>& owners, std::vector<uint64_t>& starts) {
    std::vector<size_t> rows;
    std::vector<uint64_t> inodes;
    std::vector<uint32_t> makers;
    size_t row = 0;
    for (const std::vector<InetSocket>& part : parts)
        for (const InetSocket& socket : part) {
            if (socket.netns != own && owners[row] == 0) {
                rows.push_back(row);
                inodes.push_back(socket.inode);
                makers.push_back(socket.uid);
            }
            ++row;
        }
    if (rows.empty())
        return;
    std::vector<uint32_t> found;
    std::vector<uint64_t> foundStarts;
    std::string unused;
    FindOwners(root, inodes, makers, found, unused, &foundStarts);
    for (size_t i = 0; i < rows.size(); ++i) {
        owners[rows[i]] = i < found.size() ? found[i] : 0;
        starts[rows[i]] = i < foundStarts.size() ? foundStarts[i] : 0;
    }
}

// A namespace read from its held sockets alone shows so in its name:
// "net-405*".
void MarkHeldOnly(NetworkNamespace& named) {
    if (named.name.size() >= kMaxNamespaceName)
        named.name = NameNetworkNamespace({}, named.inode, {}, {}, {}).name;
    named.name += '*';
}

// The other namespaces' tables after the caller's own, the namespaces by
// name. Where the caller may run the kernel's walk of every descriptor, it
// runs once here, after the caller's own tables and every namespace's
// counts were read: it tells every other namespace's sockets that files
// hold, and the namespaces a socket alone keeps (read with the others, so
// that they spend the same dumps); a namespace whose counts say its held
// sockets are all it has, which only root holds, is not dumped (its dump
// would walk the tables all namespaces share, every socket of the machine,
// for its own few). When no namespace needed a dump after it, that walk
// stands for the owner pass's: walked gets its holders, and reused is set.
// heldOnly gets the names of namespaces read from their held sockets
// alone, past their dumps. True where that walk ran.
bool AddOtherNamespaces(uint32_t own, MachineTables& tables, std::vector<SocketHolder>& walked,
                        bool& reused, std::string& heldOnly) {
    reused = false;
    std::vector<FoundNamespace> found = FindNetworkNamespaces(own);
    std::optional<HeldByNamespace> held;
    std::vector<NamespaceCounts> before;
    if (ReadsEveryDescriptor()) {
        before = CountNamespaceSockets(found);
        std::vector<WalkedSocket> told;
        if (MachineSocketWalk().Read(walked, &told, own)) {
            held = GroupHeldSockets(std::move(told));
            std::unordered_set<uint32_t> reached{own};
            for (const FoundNamespace& ns : found)
                reached.insert(ns.inode);
            // A few holders of each: one may be gone by the time it is asked.
            constexpr int kHoldersEach = 4;
            std::unordered_map<uint32_t, int> asked;
            std::vector<SocketHolder> strays;
            for (const SocketHolder& holder : walked)
                if (holder.netns != 0 && !reached.contains(holder.netns) &&
                    ++asked[holder.netns] <= kHoldersEach)
                    strays.push_back(holder);
            FindStrayNamespaces(own, strays, reached, found);
        }
    }
    if (found.empty()) {
        reused = held.has_value();
        return reused;
    }
    std::vector<NamespaceSockets> read =
        ReadNamespaceSockets(found, held ? &*held : nullptr, &before);
    reused = held && std::none_of(read.begin(), read.end(),
                                  [](const NamespaceSockets& one) { return one.dumped; });
    const NamingRoots roots;
    const std::vector<MachineName> machines = ReadMachineNames(roots);
    // The report names a few; a user's thousands would crowd out the rest.
    constexpr size_t kNamed = 16;
    size_t marked = 0;
    for (size_t i = 0; i < found.size(); ++i) {
        if (!read[i].entered)
            continue;
        NetworkNamespace named =
            NameNetworkNamespace(roots, found[i].inode, found[i].mount, found[i].group, machines);
        if (read[i].heldOnly) {
            MarkHeldOnly(named);
            if (++marked <= kNamed)
                heldOnly += (heldOnly.empty() ? "" : " ") + named.name;
        }
        AppendNamespace(std::move(named), read[i], tables);
    }
    if (marked > kNamed)
        heldOnly += " and " + std::to_string(marked - kNamed) + " more";
    SortOtherNamespaces(tables);
    return held.has_value();
}

} // namespace

InetProtocol ProtocolOf(size_t table) {
    return table == kTcp4 || table == kTcp6 ? InetProtocol::Tcp : InetProtocol::Udp;
}

InetFamily FamilyOf(size_t table) {
    return table == kTcp6 || table == kUdp6 ? InetFamily::V6 : InetFamily::V4;
}

void NameOwners(const MachineTables& tables, NamedOwners& named) {
    for (size_t table = 0; table < kTableCount; ++table)
        for (size_t i = 0; i < tables.owners[table].size(); ++i)
            if (uint32_t pid = tables.owners[table][i]; pid != 0)
                named.insert_or_assign(
                    pid, i < tables.ownerStarts[table].size() ? tables.ownerStarts[table][i] : 0);
}

bool ReadMachineTable(size_t table, const std::string& root, std::vector<InetSocket>& sockets,
                      std::vector<uint32_t>& owners, std::string* report) {
    if (!ReadTable(table, root, sockets))
        return false;
    std::vector<uint64_t> inodes;
    std::vector<uint32_t> makers;
    AppendInodes(sockets, inodes, makers);
    std::string source;
    bool helped = false;
    FindOwners(root, inodes, makers, owners, report != nullptr ? *report : source, nullptr, nullptr,
               &helped);
    return true;
}

void ReadMachineTables(const std::string& root, MachineTables& tables) {
    tables = {};
    // Each dump is its own request to the kernel, and the kernel's work on
    // them is most of a refresh: the UDP pair is read beside the TCP pair,
    // on a second core where the machine has one.
    auto& parts = tables.sockets;
    auto& read = tables.read;
    auto readPair = [&](size_t first, size_t second) {
        read[first] = ReadTable(first, root, parts[first]);
        read[second] = ReadTable(second, root, parts[second]);
    };
    bool live = IsLiveProc(root);
    // The second thread's contract: it reads root and the live flag, writes
    // only the UDP pair's own vectors and read flags, and calls no service
    // of the layer (no last error, no refresh scope, no layer heap); the
    // walk's loader it may call locks for itself. What it throws (want of
    // memory) is handed back and thrown here, after the join, as the same
    // reads on this thread would throw it.
    auto readUdp = [&] {
        readPair(kUdp4, kUdp6);
        // The shorter half of the dumps has time to spare for loading the
        // owners' walk; the walk itself comes after every dump.
        if (live)
            PrepareSocketHolders();
    };
    std::exception_ptr udpFailure;
    std::jthread udp;
    try {
        udp = std::jthread([&] {
            try {
                readUdp();
            } catch (...) {
                udpFailure = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        // no thread to be had: the same reads, one after another
    }
    // The live kernel walks its TCP tables once for both families. A throw
    // here leaves through the jthread's join, never past a running thread.
    bool bothRead = live && ReadLiveTcpBothFamilies(parts[kTcp4], parts[kTcp6], read[kTcp6]);
    if (bothRead)
        read[kTcp4] = true;
    else
        readPair(kTcp4, kTcp6);
    if (udp.joinable())
        udp.join();
    else
        readUdp();
    if (udpFailure)
        std::rethrow_exception(udpFailure);

    const uint32_t own = live ? OwnNetworkNamespace() : 0;
    tables.namespaces.push_back({own, {}, {}});
    for (std::vector<InetSocket>& part : parts)
        for (InetSocket& socket : part)
            socket.netns = own;
    std::vector<SocketHolder> walked;
    bool reused = false;
    std::string heldOnly;
    const bool walkedEarly = live && AddOtherNamespaces(own, tables, walked, reused, heldOnly);

    // The owners are found by inode alone, for all four in one pass.
    std::vector<uint64_t> inodes;
    std::vector<uint32_t> makers;
    size_t total = 0;
    for (const std::vector<InetSocket>& part : parts)
        total += part.size();
    inodes.reserve(total);
    makers.reserve(total);
    for (const std::vector<InetSocket>& part : parts)
        AppendInodes(part, inodes, makers);
    std::vector<uint32_t> owners;
    std::vector<uint64_t> starts;
    bool helped = false;
    std::vector<uint32_t> known;
    for (const NetworkNamespace& ns : tables.namespaces)
        known.push_back(ns.inode);
    std::sort(known.begin(), known.end());
    std::vector<SocketHolder> strays;
    FindOwners(root, inodes, makers, owners, tables.ownerSource, &starts, &tables.ownersWhole,
               &helped, live && !walkedEarly && !ReadsEveryDescriptor() ? &known : nullptr, &strays,
               reused ? &walked : nullptr);
    walked = {};
    if (!heldOnly.empty())
        tables.ownerSource.insert(0, "read from the sockets files hold alone, past the "
                                     "user's " +
                                         std::to_string(kDumpsPerUser) +
                                         " dumps (TIME_WAIT and handshakes unseen): " + heldOnly +
                                         "\n");
    if (helped && tables.namespaces.size() > 1)
        OwnOtherNamespaces(root, own, parts, owners, starts);
    size_t first = 0;
    for (size_t table = 0; table < kTableCount; ++table) {
        auto from = static_cast<ptrdiff_t>(first);
        auto to = static_cast<ptrdiff_t>(first + parts[table].size());
        tables.owners[table].assign(owners.begin() + from, owners.begin() + to);
        tables.ownerStarts[table].assign(starts.begin() + from, starts.begin() + to);
        first += parts[table].size();
    }
    if (!strays.empty())
        AddStrayNamespaces(root, own, strays, tables);
}

} // namespace ombrel::platform
