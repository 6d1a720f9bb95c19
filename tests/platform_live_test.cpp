// The services against this machine's own kernel, with sockets the test opens.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/io_uring.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <ombrel/refresh_scope.h>
#include <ombrel/services.h>

#include "platform/linux/owners/owner_helper.h"
#include "platform/linux/owners/proc_descriptors.h"
#include "platform/linux/owners/socket_holders.h"
#include "platform/linux/owners/socket_walk.h"
#include "platform/linux/sockets/inet_sockets.h"
#include "temp_dir.h"

namespace {

class Socket {
public:
    explicit Socket(int type) : fd_(::socket(AF_INET, type | SOCK_CLOEXEC, 0)) {}
    explicit Socket(int fd, bool) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int fd() const { return fd_; }
    uint16_t Port() const {
        sockaddr_in addr{};
        socklen_t length = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        return ntohs(addr.sin_port);
    }

private:
    int fd_;
};

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

bool Bind(const Socket& socket, uint16_t port = 0) {
    sockaddr_in addr = Loopback(port);
    return ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

uint16_t Port(DWORD value) {
    return ntohs(static_cast<uint16_t>(value));
}

} // namespace

TEST(LiveSockets, TablesShowOurSocketsWithOurProcessId) {
    Socket listener(SOCK_STREAM);
    ASSERT_TRUE(Bind(listener));
    ASSERT_EQ(::listen(listener.fd(), 4), 0);
    Socket client(SOCK_STREAM);
    sockaddr_in target = Loopback(listener.Port());
    ASSERT_EQ(::connect(client.fd(), reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
    Socket server(::accept(listener.fd(), nullptr, nullptr), true);
    ASSERT_GE(server.fd(), 0);
    Socket udp(SOCK_DGRAM);
    ASSERT_TRUE(Bind(udp));

    const DWORD self = static_cast<DWORD>(::getpid());
    const DWORD loopback = htonl(INADDR_LOOPBACK);
    PVOID raw = nullptr;
    ASSERT_EQ(AllocateAndGetTcpExTableFromStack(&raw, TRUE, GetProcessHeap(), 2, 2), 0u);
    auto* tcp = static_cast<PMIB_TCPEXTABLE>(raw);
    int listeners = 0, clientEnds = 0, serverEnds = 0;
    for (DWORD i = 0; i < tcp->dwNumEntries; ++i) {
        const MIB_TCPROW_EX& row = tcp->table[i];
        if (row.dwLocalAddr != loopback)
            continue;
        if (Port(row.dwLocalPort) == listener.Port() && row.dwState == MIB_TCP_STATE_LISTEN) {
            ++listeners;
            EXPECT_EQ(row.dwProcessId, self);
        } else if (Port(row.dwLocalPort) == client.Port() &&
                   Port(row.dwRemotePort) == listener.Port()) {
            ++clientEnds;
            EXPECT_EQ(row.dwState, MIB_TCP_STATE_ESTAB);
            EXPECT_EQ(row.dwRemoteAddr, loopback);
            EXPECT_EQ(row.dwProcessId, self);
        } else if (Port(row.dwLocalPort) == listener.Port() &&
                   Port(row.dwRemotePort) == client.Port()) {
            ++serverEnds;
            EXPECT_EQ(row.dwState, MIB_TCP_STATE_ESTAB);
            EXPECT_EQ(row.dwProcessId, self);
        }
    }
    EXPECT_EQ(listeners, 1);
    EXPECT_EQ(clientEnds, 1);
    EXPECT_EQ(serverEnds, 1);
    // Sorted by local address, then local port, as asked.
    for (DWORD i = 1; i < tcp->dwNumEntries; ++i) {
        auto key = [](const MIB_TCPROW_EX& r) {
            return std::pair(ntohl(r.dwLocalAddr), Port(r.dwLocalPort));
        };
        EXPECT_LE(key(tcp->table[i - 1]), key(tcp->table[i]));
    }
    HeapFree(GetProcessHeap(), 0, tcp);

    ASSERT_EQ(AllocateAndGetUdpExTableFromStack(&raw, TRUE, GetProcessHeap(), 2, 2), 0u);
    auto* udpTable = static_cast<PMIB_UDPEXTABLE>(raw);
    int udpFound = 0;
    for (DWORD i = 0; i < udpTable->dwNumEntries; ++i) {
        const MIB_UDPROW_EX& row = udpTable->table[i];
        if (row.dwLocalAddr == loopback && Port(row.dwLocalPort) == udp.Port()) {
            ++udpFound;
            EXPECT_EQ(row.dwProcessId, self);
        }
    }
    EXPECT_EQ(udpFound, 1);
    HeapFree(GetProcessHeap(), 0, udpTable);
}

// The IPv4 pair asked for IPv6: not its family, as the platform says it.
TEST(LiveSockets, OnlyTheIpv4FamilyIsAccepted) {
    PVOID raw = reinterpret_cast<PVOID>(0xdeadbeef);
    EXPECT_EQ(AllocateAndGetTcpExTableFromStack(&raw, TRUE, GetProcessHeap(), 0, 23),
              ERROR_NOT_SUPPORTED);
    EXPECT_EQ(AllocateAndGetUdpExTableFromStack(&raw, TRUE, GetProcessHeap(), 0, 23),
              ERROR_NOT_SUPPORTED);
    EXPECT_EQ(raw, reinterpret_cast<PVOID>(0xdeadbeef));
    EXPECT_EQ(AllocateAndGetTcpExTableFromStack(nullptr, TRUE, GetProcessHeap(), 0, 2),
              ERROR_INVALID_PARAMETER);
}

TEST(LiveProcess, ModulePathOfOurOwnIdIsThisTestBinary) {
    char expected[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(::getpid()));
    ASSERT_NE(process, nullptr);
    char path[260];
    std::memset(path, 'x', sizeof path);
    DWORD length = GetModuleFileNameExA(process, nullptr, path, sizeof path);
    EXPECT_EQ(length, std::strlen(expected));
    EXPECT_STREQ(path, expected);
    EXPECT_TRUE(CloseHandle(process));
}

TEST(LiveProcess, ProcessListHoldsThisProcess) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    bool found = false;
    DWORD previous = 0;
    for (BOOL more = Process32First(snapshot, &entry); more;
         more = Process32Next(snapshot, &entry)) {
        EXPECT_GT(entry.th32ProcessID, previous);
        previous = entry.th32ProcessID;
        if (entry.th32ProcessID == static_cast<DWORD>(::getpid())) {
            found = true;
            EXPECT_STREQ(entry.szExeFile, "platform_tests");
        }
    }
    EXPECT_TRUE(found);
    CloseHandle(snapshot);
}

namespace {

// The owners of our rows on a port in one table, as the layer reports them.
std::vector<DWORD> TcpOwners(uint16_t port) {
    std::vector<DWORD> owners;
    PVOID raw = nullptr;
    if (AllocateAndGetTcpExTableFromStack(&raw, TRUE, GetProcessHeap(), 0, 2) != 0)
        return owners;
    auto* tcp = static_cast<PMIB_TCPEXTABLE>(raw);
    for (DWORD i = 0; i < tcp->dwNumEntries; ++i)
        if (Port(tcp->table[i].dwLocalPort) == port)
            owners.push_back(tcp->table[i].dwProcessId);
    HeapFree(GetProcessHeap(), 0, raw);
    return owners;
}

bool UdpHas(uint16_t port) {
    PVOID raw = nullptr;
    if (AllocateAndGetUdpExTableFromStack(&raw, TRUE, GetProcessHeap(), 0, 2) != 0)
        return false;
    auto* udp = static_cast<PMIB_UDPEXTABLE>(raw);
    bool found = false;
    for (DWORD i = 0; i < udp->dwNumEntries; ++i)
        found = found || Port(udp->table[i].dwLocalPort) == port;
    HeapFree(GetProcessHeap(), 0, raw);
    return found;
}

// A child of this process that waits, holding every descriptor it
// inherited, until its pipe closes; then it runs program, if any.
class WaitingChild {
public:
    explicit WaitingChild(const char* program = nullptr) {
        int fds[2], execs[2];
        if (::pipe2(fds, 0) != 0)
            return;
        if (::pipe2(execs, O_CLOEXEC) != 0) {
            ::close(fds[0]);
            ::close(fds[1]);
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[1]);
            ::close(execs[0]);
            char byte;
            while (::read(fds[0], &byte, 1) > 0) {
            }
            if (program != nullptr)
                ::execl(program, program, "100", static_cast<char*>(nullptr));
            ::_exit(0);
        }
        ::close(fds[0]);
        ::close(execs[1]);
        write_ = fds[1];
        execs_ = execs[0];
    }
    ~WaitingChild() {
        Release();
        Reap();
        if (execs_ >= 0)
            ::close(execs_);
    }
    pid_t pid() const { return pid_; }
    void Release() {
        if (write_ >= 0)
            ::close(write_);
        write_ = -1;
    }
    // After Release: returns once the child has run its program (or ended);
    // its copy of the pipe closes with the exec.
    void WaitForExec() {
        char byte;
        for (ssize_t got; execs_ >= 0 && (got = ::read(execs_, &byte, 1)) != 0;)
            if (got < 0 && errno != EINTR)
                break;
    }
    void Reap() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int write_ = -1;
    int execs_ = -1;
};

uint64_t InodeOf(int fd) {
    struct stat info {};
    return ::fstat(fd, &info) == 0 ? info.st_ino : 0;
}

// A process as the kernel shows it, for a failure's message: its stat line
// (name, state, parent, ..., start time) and the inodes of the io_uring
// instances it holds, so an owner that was not the one expected can be told
// apart from the test's own processes.
std::string Described(uint32_t pid) {
    const std::string folder = "/proc/" + std::to_string(pid);
    std::string line;
    std::getline(std::ifstream(folder + "/stat"), line);
    // Up to the start time, the 22nd field: the rest says nothing here.
    size_t end = line.rfind(')');
    for (int field = 2; end != std::string::npos && field <= 22; ++field)
        end = line.find(' ', end + 1);
    std::string text =
        "\n  " + (line.empty() ? std::to_string(pid) + " (gone)" : line.substr(0, end));
    std::vector<uint64_t> rings;
    if (DIR* fds = ::opendir((folder + "/fd").c_str())) {
        while (dirent* entry = ::readdir(fds)) {
            char link[64] = {};
            std::string path = folder + "/fd/" + entry->d_name;
            struct stat held {};
            if (::readlink(path.c_str(), link, sizeof link - 1) > 0 &&
                std::string_view(link) == "anon_inode:[io_uring]" &&
                ::stat(path.c_str(), &held) == 0 &&
                std::find(rings.begin(), rings.end(), held.st_ino) == rings.end())
                rings.push_back(held.st_ino);
        }
        ::closedir(fds);
    }
    text += "\n    rings:";
    for (uint64_t ring : rings)
        text += " " + std::to_string(ring);
    return text;
}

// The owner of one socket as each source names it: the kernel's walk (where
// it is allowed) and the scan of /proc.
std::pair<uint32_t, uint32_t> OwnerBySource(uint64_t inode) {
    using namespace ombrel::platform;
    std::vector<uint64_t> inodes{inode};
    std::vector<uint32_t> any, scan;
    FindSocketOwners("/proc", inodes, any, OwnerSource::Any);
    FindSocketOwners("/proc", inodes, scan, OwnerSource::Scan);
    return {any.at(0), scan.at(0)};
}

std::string ModulePath(DWORD pid) {
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
    if (process == nullptr)
        return "<no process>";
    char path[4096];
    DWORD length = GetModuleFileNameExA(process, nullptr, path, sizeof path);
    CloseHandle(process);
    return length != 0 ? std::string(path, length) : "<no path>";
}

} // namespace

// Several processes hold the listener: the one started first owns it.
TEST(LiveOwners, AListenerAChildInheritedBelongsToTheParent) {
    Socket listener(SOCK_STREAM);
    ASSERT_TRUE(Bind(listener));
    ASSERT_EQ(::listen(listener.fd(), 4), 0);
    WaitingChild child;
    ASSERT_GT(child.pid(), 0);
    EXPECT_EQ(TcpOwners(listener.Port()), std::vector<DWORD>{static_cast<DWORD>(::getpid())});
    auto self = static_cast<uint32_t>(static_cast<DWORD>(::getpid()));
    EXPECT_EQ(OwnerBySource(InodeOf(listener.fd())), std::pair(self, self));
}

// Rows that share one socket (the subflows of a multipath connection share
// its inode) all get its owner, from either source; a row of another
// socket between them keeps its own.
TEST(LiveOwners, EveryRowOfASharedSocketGetsItsOwner) {
    using namespace ombrel::platform;
    Socket shared(SOCK_STREAM), other(SOCK_STREAM);
    ASSERT_TRUE(Bind(shared));
    ASSERT_TRUE(Bind(other));
    const uint64_t inode = InodeOf(shared.fd());
    const std::vector<uint64_t> inodes{inode, InodeOf(other.fd()), inode, inode};
    const auto self = static_cast<uint32_t>(::getpid());
    for (OwnerSource source : {OwnerSource::Any, OwnerSource::Scan}) {
        std::vector<uint32_t> owners;
        std::vector<uint64_t> starts;
        FindSocketOwners("/proc", inodes, owners, source, MachineSocketWalk(), &starts);
        EXPECT_EQ(owners, std::vector<uint32_t>(4, self));
        ASSERT_EQ(starts.size(), 4u);
        EXPECT_NE(starts[0], 0u);
        EXPECT_EQ(starts[2], starts[0]);
        EXPECT_EQ(starts[3], starts[0]);
    }
}

// A multicast address of interface or link scope means nothing without its
// interface, as a link-local one: the row names it. One of wider scope
// names none.
TEST(LiveAddresses, ScopedMulticastAddressesNameTheirInterface) {
    const DWORD loopback = ::if_nametoindex("lo");
    ASSERT_NE(loopback, 0u);
    struct Case {
        const char* address;
        DWORD scope;
    };
    std::vector<std::pair<std::unique_ptr<Socket>, DWORD>> bound;
    for (Case each : {Case{"ff02::1", loopback}, Case{"ff01::1", loopback},
                      Case{"ff12::1:2", loopback}, Case{"ff0e::1", 0}}) {
        auto udp6 =
            std::make_unique<Socket>(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0), true);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        ASSERT_EQ(::inet_pton(AF_INET6, each.address, &address.sin6_addr), 1);
        address.sin6_scope_id = loopback;
        ASSERT_EQ(::bind(udp6->fd(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << each.address << ": " << std::strerror(errno);
        bound.emplace_back(std::move(udp6), each.scope);
    }
    DWORD size = 0;
    GetExtendedUdpTable(nullptr, &size, TRUE, 23, UDP_TABLE_OWNER_PID,
                        0); // 23: the platform's IPv6
    std::vector<char> buffer(size + 64 * sizeof(MIB_UDP6ROW_OWNER_PID));
    size = static_cast<DWORD>(buffer.size());
    ASSERT_EQ(GetExtendedUdpTable(buffer.data(), &size, TRUE, 23, UDP_TABLE_OWNER_PID, 0),
              NO_ERROR);
    const auto* table = reinterpret_cast<const MIB_UDP6TABLE_OWNER_PID*>(buffer.data());
    for (const auto& [socket, scope] : bound) {
        sockaddr_in6 address{};
        socklen_t length = sizeof address;
        ASSERT_EQ(::getsockname(socket->fd(), reinterpret_cast<sockaddr*>(&address), &length), 0);
        const MIB_UDP6ROW_OWNER_PID* row = nullptr;
        for (DWORD i = 0; i < table->dwNumEntries; ++i)
            if (table->table[i].dwLocalPort == address.sin6_port &&
                std::memcmp(table->table[i].ucLocalAddr, &address.sin6_addr, 16) == 0)
                row = &table->table[i];
        ASSERT_NE(row, nullptr) << "port " << ntohs(address.sin6_port);
        EXPECT_EQ(row->dwLocalScopeId, scope) << "port " << ntohs(address.sin6_port);
    }
}

// Two listeners on fe80::1 and one port, each on an interface of its own,
// in a network namespace the test makes: netlink names each one's interface;
// the text tables, which name none, give two rows that say their scope is
// unknown rather than none.
TEST(LiveAddresses, TheTextTablesSayALinkLocalScopeIsUnknown) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace and its interfaces";
    pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0)
            ::_exit(10);
        if (std::system("ip link add ll0 type veth peer name ll1 2>/dev/null &&"
                        " ip link set ll0 up && ip link set ll1 up &&"
                        " ip -6 addr add fe80::1/64 dev ll0 nodad &&"
                        " ip -6 addr add fe80::1/64 dev ll1 nodad") != 0)
            ::_exit(11);
        const uint32_t interfaces[] = {::if_nametoindex("ll0"), ::if_nametoindex("ll1")};
        std::vector<std::unique_ptr<Socket>> listeners;
        uint16_t port = 0;
        for (uint32_t interface : interfaces) {
            auto listener =
                std::make_unique<Socket>(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0), true);
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_port = port;
            address.sin6_scope_id = interface;
            ::inet_pton(AF_INET6, "fe80::1", &address.sin6_addr);
            socklen_t length = sizeof address;
            if (::bind(listener->fd(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
                ::listen(listener->fd(), 4) != 0 ||
                ::getsockname(listener->fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
                ::_exit(12);
            port = address.sin6_port;
            listeners.push_back(std::move(listener));
        }
        using namespace ombrel::platform;
        auto interfacesOf = [&](bool netlink) {
            std::vector<InetSocket> all;
            std::vector<std::pair<uint32_t, uint64_t>> rows;
            if (ReadInetSockets("/proc", netlink, InetProtocol::Tcp, InetFamily::V6, all))
                for (const InetSocket& socket : all)
                    if (socket.localPort == port)
                        rows.emplace_back(socket.interface, socket.inode);
            std::sort(rows.begin(), rows.end());
            return rows;
        };
        const auto viaNetlink = interfacesOf(true), viaText = interfacesOf(false);
        if (viaNetlink.size() != 2 ||
            viaNetlink[0].first != std::min(interfaces[0], interfaces[1]) ||
            viaNetlink[1].first != std::max(interfaces[0], interfaces[1]))
            ::_exit(13);
        if (viaText.size() != 2 || viaText[0].second == viaText[1].second)
            ::_exit(14);
        ::_exit(viaText[0].first == kUnknownInterface && viaText[1].first == kUnknownInterface
                    ? 0
                    : 15);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    switch (WEXITSTATUS(status)) {
    case 10:
    case 11:
        GTEST_SKIP() << "no network namespace or no veth interfaces in this kernel";
    case 12:
        FAIL() << "the listeners could not be made";
    case 13:
        FAIL() << "netlink did not name each listener's interface";
    case 14:
        FAIL() << "the text table did not give two rows";
    default:
        EXPECT_EQ(WEXITSTATUS(status), 0) << "a text row's scope reads as none";
    }
}

// A multipath connection in a network namespace of its own, with a second
// subflow over 127.0.0.2: its subflows are rows of their own that share the
// connection's socket, and every one of them names this process.
TEST(LiveOwners, EverySubflowOfAMultipathConnectionNamesItsOwner) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace and its multipath limits";
    constexpr int kMultipath = 262; // IPPROTO_MPTCP
    pid_t child = ::fork();
    if (child == 0) {
        if (::unshare(CLONE_NEWNET) != 0)
            ::_exit(10);
        if (std::system("ip link set lo up && ip mptcp limits set subflow 2 add_addr_accepted 2 &&"
                        " ip mptcp endpoint add 127.0.0.2 dev lo subflow") != 0)
            ::_exit(11);
        Socket server(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, kMultipath), true);
        Socket client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, kMultipath), true);
        if (server.fd() < 0 || client.fd() < 0)
            ::_exit(12);
        if (!Bind(server) || ::listen(server.fd(), 4) != 0)
            ::_exit(13);
        const uint16_t port = server.Port();
        sockaddr_in to = Loopback(port);
        if (::connect(client.fd(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
            ::_exit(13);
        Socket accepted(::accept4(server.fd(), nullptr, nullptr, SOCK_CLOEXEC), true);
        char data[64] = {};
        // The second subflow joins once the first has carried data.
        if (accepted.fd() < 0 || ::send(client.fd(), data, sizeof data, 0) != sizeof data ||
            ::recv(accepted.fd(), data, sizeof data, MSG_WAITALL) != sizeof data)
            ::_exit(13);
        std::vector<DWORD> owners;
        auto rows = [&] {
            owners.clear();
            PVOID raw = nullptr;
            if (AllocateAndGetTcpExTableFromStack(&raw, TRUE, GetProcessHeap(), 0, 2) != 0)
                return size_t{0};
            auto* tcp = static_cast<PMIB_TCPEXTABLE>(raw);
            for (DWORD i = 0; i < tcp->dwNumEntries; ++i)
                if (Port(tcp->table[i].dwLocalPort) == port ||
                    Port(tcp->table[i].dwRemotePort) == port)
                    owners.push_back(tcp->table[i].dwProcessId);
            HeapFree(GetProcessHeap(), 0, raw);
            return owners.size();
        };
        // The listener and two subflows at each end; the join is the
        // kernel's to make, in its own time.
        for (int round = 0; round < 500 && rows() < 5; ++round)
            ::usleep(10000);
        if (owners.size() < 5)
            ::_exit(14);
        const auto self = static_cast<DWORD>(::getpid());
        ::_exit(std::all_of(owners.begin(), owners.end(), [&](DWORD pid) { return pid == self; })
                    ? 0
                    : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    switch (WEXITSTATUS(status)) {
    case 10:
    case 11:
    case 12:
        GTEST_SKIP() << "no network namespace, no ip mptcp or no multipath TCP in this kernel";
    case 13:
        FAIL() << "the multipath connection could not be made";
    case 14:
        GTEST_SKIP() << "the kernel made no second subflow";
    default:
        EXPECT_EQ(WEXITSTATUS(status), 0) << "a subflow's row has no owner, or another";
    }
}

// Under a partial view (an ordinary user without the helper), a socket
// another user made shows no owner even where her own process holds it:
// its owner by the rule may be one she cannot see (here root's, which made
// it and holds it). A socket she made keeps its owner.
TEST(LiveOwners, APartialViewNamesNoOwnerForASocketAnotherUserMade) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    Socket made(SOCK_STREAM);
    ASSERT_TRUE(Bind(made));
    ASSERT_EQ(::listen(made.fd(), 4), 0);
    auto becomeNobody = [] {
        return ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
    };
    int ready[2], release[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    pid_t holder = ::fork();
    if (holder == 0) {
        // Holds what root made, and a listener of her own; dumpable again
        // after the change of user, as a process she started is.
        ::close(ready[0]);
        ::close(release[1]);
        if (!becomeNobody() || ::prctl(PR_SET_DUMPABLE, 1) != 0)
            ::_exit(1);
        Socket mine(SOCK_STREAM);
        uint16_t port = Bind(mine) && ::listen(mine.fd(), 4) == 0 ? mine.Port() : 0;
        if (::write(ready[1], &port, sizeof port) != sizeof port)
            ::_exit(1);
        char byte;
        while (::read(release[0], &byte, 1) > 0) {
        }
        ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    uint16_t minePort = 0;
    ASSERT_EQ(::read(ready[0], &minePort, sizeof minePort), ssize_t(sizeof minePort));
    ::close(ready[0]);
    ASSERT_NE(minePort, 0);
    pid_t viewer = ::fork();
    if (viewer == 0) {
        if (!becomeNobody())
            ::_exit(1);
        if (TcpOwners(made.Port()) != std::vector<DWORD>{0})
            ::_exit(2);
        ::_exit(TcpOwners(minePort) == std::vector<DWORD>{static_cast<DWORD>(holder)} ? 0 : 3);
    }
    int status = 0;
    ::waitpid(viewer, &status, 0);
    ::close(release[1]);
    ::waitpid(holder, nullptr, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_NE(WEXITSTATUS(status), 2) << "the holder she sees was named for root's socket";
    EXPECT_NE(WEXITSTATUS(status), 3) << "her own socket lost its owner";
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Only listening and connected sockets are endpoints, from either source.
TEST(LiveOwners, ASocketOnlyBoundIsNoEndpoint) {
    Socket bound(SOCK_STREAM);
    ASSERT_TRUE(Bind(bound));
    EXPECT_TRUE(TcpOwners(bound.Port()).empty());
}

// Outside a refresh every call reads the system afresh.
TEST(LiveFreshness, EachCallSeesTheSystemAsItIsNow) {
    PVOID raw = nullptr;
    ASSERT_EQ(AllocateAndGetTcpExTableFromStack(&raw, TRUE, GetProcessHeap(), 0, 2), 0u);
    HeapFree(GetProcessHeap(), 0, raw);
    Socket udp(SOCK_DGRAM);
    ASSERT_TRUE(Bind(udp));
    EXPECT_TRUE(UdpHas(udp.Port())); // bound after the TCP call, before the UDP one

    // A program whose process exec()s another shows the new one next time.
    WaitingChild child("/bin/sleep");
    ASSERT_GT(child.pid(), 0);
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    {
        ombrel::platform::RefreshScope refresh;
        EXPECT_EQ(ModulePath(static_cast<DWORD>(child.pid())), self);
    }
    child.Release();
    child.WaitForExec();
    std::string exe = "/proc/" + std::to_string(child.pid()) + "/exe";
    char target[4096];
    ssize_t length = ::readlink(exe.c_str(), target, sizeof target);
    std::string now = length > 0 ? std::string(target, static_cast<size_t>(length)) : "";
    ASSERT_NE(now, self);
    {
        ombrel::platform::RefreshScope refresh;
        EXPECT_EQ(ModulePath(static_cast<DWORD>(child.pid())), now);
    }

    // A process that has ended and been reaped opens no more, and a handle
    // kept from before answers nothing.
    HANDLE kept = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(child.pid()));
    ASSERT_NE(kept, nullptr);
    DWORD pid = static_cast<DWORD>(child.pid());
    child.Reap();
    char path[4096];
    EXPECT_EQ(GetModuleFileNameExA(kept, nullptr, path, sizeof path), 0u);
    EXPECT_TRUE(CloseHandle(kept));
    EXPECT_EQ(ModulePath(pid), "<no process>");
}

namespace {

// A listener on 127.0.0.1, a client connected to it and not yet accepted,
// and a socket only bound.
struct ListenerClientBound {
    Socket listener{SOCK_STREAM}, client{SOCK_STREAM}, bound{SOCK_STREAM};
    bool Open() {
        if (!Bind(listener) || ::listen(listener.fd(), 4) != 0)
            return false;
        sockaddr_in target = Loopback(listener.Port());
        return ::connect(client.fd(), reinterpret_cast<sockaddr*>(&target), sizeof target) == 0 &&
               Bind(bound);
    }
};

} // namespace

// The two sources of the socket tables agree on our sockets: the netlink
// dump, and the text table read where netlink is refused.
TEST(LiveSources, NetlinkAndTheTextTableGiveTheSameRows) {
    ListenerClientBound sockets;
    ASSERT_TRUE(sockets.Open());
    const Socket &listener = sockets.listener, &client = sockets.client, &bound = sockets.bound;
    using ombrel::platform::InetSocket;
    auto ours = [&](bool netlink) {
        std::vector<InetSocket> all;
        EXPECT_TRUE(ombrel::platform::ReadInetSockets("/proc", netlink,
                                                      ombrel::platform::InetProtocol::Tcp,
                                                      ombrel::platform::InetFamily::V4, all));
        std::vector<std::tuple<uint8_t, uint16_t, uint16_t, uint64_t>> rows;
        // Ours by both ports: another process's socket may share a local port.
        const std::pair<uint16_t, uint16_t> pairs[] = {{listener.Port(), 0},
                                                       {client.Port(), listener.Port()},
                                                       {listener.Port(), client.Port()},
                                                       {bound.Port(), 0}};
        for (const InetSocket& s : all)
            if (std::find(std::begin(pairs), std::end(pairs),
                          std::pair(ntohs(s.localPort), ntohs(s.remotePort))) != std::end(pairs))
                rows.emplace_back(s.state, ntohs(s.localPort), ntohs(s.remotePort), s.inode);
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    auto viaNetlink = ours(true);
    EXPECT_EQ(viaNetlink.size(), 3u) // the listener and both ends; not the bound one
        << ::testing::PrintToString(viaNetlink);
    EXPECT_EQ(viaNetlink, ours(false));
}

// The one walk of both families' TCP tables splits them into the rows each
// family's own dump gives, the bound-only socket left out of both.
TEST(LiveSources, OneWalkOfBothFamiliesGivesEachItsOwnRows) {
    using namespace ombrel::platform;
    ListenerClientBound sockets;
    ASSERT_TRUE(sockets.Open());
    const Socket &listener = sockets.listener, &client = sockets.client, &bound = sockets.bound;
    Socket listener6(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0), true);
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::bind(listener6.fd(), reinterpret_cast<sockaddr*>(&any6), sizeof any6), 0);
    ASSERT_EQ(::listen(listener6.fd(), 4), 0);
    socklen_t length = sizeof any6;
    ASSERT_EQ(::getsockname(listener6.fd(), reinterpret_cast<sockaddr*>(&any6), &length), 0);
    const uint64_t inodes[] = {InodeOf(listener.fd()), InodeOf(client.fd()), InodeOf(bound.fd()),
                               InodeOf(listener6.fd())};

    auto ours = [&](const std::vector<InetSocket>& all) {
        std::vector<std::tuple<uint8_t, uint16_t, uint16_t, uint64_t>> rows;
        for (const InetSocket& s : all)
            if (std::find(std::begin(inodes), std::end(inodes), s.inode) != std::end(inodes))
                rows.emplace_back(s.state, ntohs(s.localPort), ntohs(s.remotePort), s.inode);
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    std::vector<InetSocket> v4, v6, each4, each6;
    bool v6Read = false;
    ASSERT_TRUE(ReadLiveTcpBothFamilies(v4, v6, v6Read));
    EXPECT_TRUE(v6Read);
    ASSERT_TRUE(ReadInetSockets("/proc", true, InetProtocol::Tcp, InetFamily::V4, each4));
    ASSERT_TRUE(ReadInetSockets("/proc", true, InetProtocol::Tcp, InetFamily::V6, each6));
    EXPECT_EQ(ours(v4), ours(each4));
    EXPECT_EQ(ours(v6), ours(each6));
    EXPECT_EQ(ours(v4).size(), 2u) << ::testing::PrintToString(ours(v4)); // listener, client
    EXPECT_EQ(ours(v6).size(), 1u) << ::testing::PrintToString(ours(v6));
    for (const InetSocket& s : v6)
        EXPECT_TRUE(s.v6);
    for (const InetSocket& s : v4)
        EXPECT_FALSE(s.v6);
}

// After its main thread has exited, a process whose other threads run on
// still owns its sockets and still runs its program.
TEST(LiveOwners, AProcessWhoseMainThreadEndedKeepsItsSockets) {
    uint16_t port = 0;
    int listening = -1;
    {
        Socket listener(SOCK_STREAM);
        ASSERT_TRUE(Bind(listener));
        ASSERT_EQ(::listen(listener.fd(), 4), 0);
        port = listener.Port();
        listening = ::dup(listener.fd());
    }
    ASSERT_GE(listening, 0);
    int fds[2], go[2];
    ASSERT_EQ(::pipe(fds), 0);
    ASSERT_EQ(::pipe(go), 0);
    // The main thread's end is told to its tracer, by a SIGCHLD sent once
    // it is a zombie: the one moment nothing else reports while its
    // process runs on.
    sigset_t childSignal, previous;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    ::pthread_sigmask(SIG_BLOCK, &childSignal, &previous);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[1]);
        ::close(go[1]);
        static int input;
        input = fds[0];
        pthread_t waiter;
        ::pthread_create(
            &waiter, nullptr,
            [](void*) -> void* {
                char byte;
                while (::read(input, &byte, 1) > 0) {
                }
                ::_exit(0);
            },
            nullptr);
        char byte;
        (void)!::read(go[0], &byte, 1); // once traced
        ::syscall(SYS_exit, 0);         // this thread only, and no unwinding through the test
        ::_exit(1);
    }
    ::close(fds[0]);
    ::close(go[0]);
    bool traced = ::ptrace(PTRACE_SEIZE, child, nullptr, nullptr) == 0;
    ::close(go[1]);
    uint64_t inode = InodeOf(listening);
    ::close(listening); // the child's copy alone holds it now
    std::string status = "/proc/" + std::to_string(child) + "/status";
    auto mainThreadEnded = [&] {
        std::ifstream in(status);
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("State:", 0) == 0)
                return line.find('Z') != std::string::npos;
        return false;
    };
    // Each SIGCHLD is a wake to look again (another child's may come, or be
    // merged with ours); the bound only keeps a failure from hanging.
    // Where tracing is refused (Yama), the status is looked at, bounded.
    timespec bound{60, 0};
    siginfo_t info{};
    if (traced)
        while (!mainThreadEnded() && ::sigtimedwait(&childSignal, &info, &bound) > 0) {
        }
    else
        for (int i = 0; i < 1000000 && !mainThreadEnded(); ++i)
            ::sched_yield();
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    EXPECT_TRUE(mainThreadEnded());
    EXPECT_EQ(TcpOwners(port), std::vector<DWORD>{static_cast<DWORD>(child)});
    auto owner = static_cast<uint32_t>(child);
    EXPECT_EQ(OwnerBySource(inode), std::pair(owner, owner));
    // And its program is still the one it runs, through a live thread.
    char self[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
    EXPECT_EQ(ModulePath(static_cast<DWORD>(child)), self);
    ::close(fds[1]);
    ::waitpid(child, nullptr, 0);
}

// A thread that unshared its descriptor table holds its sockets there
// alone; every source names its process, and the owner helper reports it.
TEST(LiveOwners, AThreadWithItsOwnDescriptorTableOwnsItsSockets) {
    int report[2], release[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe(release), 0);
    std::thread holder([&] {
        uint64_t inode = 0;
        uint16_t port = 0;
        if (::unshare(CLONE_FILES) == 0) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            socklen_t length = sizeof address;
            if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                ::listen(fd, 1) == 0 &&
                ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
                inode = InodeOf(fd);
                port = ntohs(address.sin_port);
            }
            (void)!::write(report[1], &inode, sizeof inode);
            (void)!::write(report[1], &port, sizeof port);
            char done;
            (void)!::read(release[0], &done, 1);
            ::close(fd);
        } else {
            (void)!::write(report[1], &inode, sizeof inode);
            (void)!::write(report[1], &port, sizeof port);
        }
    });
    uint64_t inode = 0;
    uint16_t port = 0;
    ASSERT_EQ(::read(report[0], &inode, sizeof inode), static_cast<ssize_t>(sizeof inode));
    ASSERT_EQ(::read(report[0], &port, sizeof port), static_cast<ssize_t>(sizeof port));
    auto self = static_cast<uint32_t>(::getpid());
    if (inode != 0) {
        EXPECT_EQ(TcpOwners(port), std::vector<DWORD>{self});
        EXPECT_EQ(OwnerBySource(inode), std::pair(self, self));
        std::vector<ombrel::platform::OwnerRecord> records;
        ASSERT_TRUE(ombrel::platform::RunOwnerHelper(OMBREL_OWNERS, 10000, records));
        EXPECT_TRUE(std::any_of(records.begin(), records.end(), [&](const auto& record) {
            return record.inode == inode && record.pid == self;
        }));
    }
    (void)!::write(release[1], "x", 1);
    holder.join();
    for (int fd : {report[0], report[1], release[0], release[1]})
        ::close(fd);
    if (inode == 0)
        GTEST_SKIP() << "no thread of its own descriptor table here";
}

// Run in a child pid namespace over this /proc (unshare --pid without a
// /proc of its own), kcmp cannot name the tree's tasks: a thread's own table
// is still read, by the scan and by the owner helper, each socket is told
// once however many threads share the leader's table, and a scan out of
// budget says it is not whole.
TEST(LiveOwners, AChildPidNamespaceStillReadsAThreadsOwnTable) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a pid namespace";
    Socket listener(SOCK_STREAM);
    ASSERT_TRUE(Bind(listener));
    ASSERT_EQ(::listen(listener.fd(), 4), 0);
    const auto self = static_cast<uint32_t>(::getpid());
    const uint64_t shared = InodeOf(listener.fd());
    // The child is forked before the threads start: a child of a process
    // of many threads may find the allocator's lock held for good.
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(go[1]);
        uint64_t own = 0;
        if (::read(go[0], &own, sizeof own) != sizeof own || own == 0)
            ::_exit(12);
        if (::unshare(CLONE_NEWPID) != 0)
            ::_exit(10);
        pid_t inside = ::fork();
        if (inside == 0) {
            using namespace ombrel::platform;
            for (OwnerSource source : {OwnerSource::Any, OwnerSource::Scan}) {
                std::vector<uint32_t> owners;
                FindSocketOwners("/proc", {own, shared}, owners, source);
                if (owners != std::vector<uint32_t>{self, self})
                    ::_exit(20);
            }
            // The helper's scan answers whole or not at all: while other
            // processes' threads end meanwhile it may refuse, and is asked
            // again.
            std::vector<OwnerRecord> records;
            bool answered = false;
            for (int attempt = 0; attempt < 5 && !answered; ++attempt)
                answered = RunOwnerHelper(OMBREL_OWNERS, 10000, records);
            if (!answered)
                ::_exit(13);
            if (std::none_of(records.begin(), records.end(), [&](const OwnerRecord& record) {
                    return record.inode == own && record.pid == self;
                }))
                ::_exit(22);
            UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            std::vector<uint64_t> told;
            auto tell = [&](uint32_t, uint64_t inode) { told.push_back(inode); };
            UnsortedTableBudget budget;
            if (!ForEachSocketDescriptor(proc.get(), self, true, tell, &budget))
                ::_exit(23);
            if (std::count(told.begin(), told.end(), own) != 1 ||
                std::count(told.begin(), told.end(), shared) != 1)
                ::_exit(24);
            UnsortedTableBudget spent{0};
            ::_exit(ForEachSocketDescriptor(proc.get(), self, true, tell, &spent) ? 25 : 0);
        }
        int status = 0;
        if (inside < 0 || ::waitpid(inside, &status, 0) != inside || !WIFEXITED(status))
            ::_exit(11);
        ::_exit(WEXITSTATUS(status));
    }
    ::close(go[0]);
    int report[2], release[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    std::vector<std::thread> threads;
    threads.emplace_back([&] {
        uint64_t inode = 0;
        const bool unshared = ::unshare(CLONE_FILES) == 0;
        if (unshared)
            ::close(release[1]); // its table's copy: the threads wait for ours alone
        int fd = unshared ? ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
        if (fd >= 0 && Bind(Socket(::dup(fd), true)))
            inode = InodeOf(fd);
        (void)!::write(report[1], &inode, sizeof inode);
        char done;
        (void)!::read(release[0], &done, 1);
    });
    for (int i = 0; i < 4; ++i) // threads of the leader's table
        threads.emplace_back([&] {
            char done;
            (void)!::read(release[0], &done, 1);
        });
    uint64_t own = 0;
    if (::read(report[0], &own, sizeof own) != sizeof own)
        own = 0;
    (void)!::write(go[1], &own, sizeof own); // 0: the child ends at once
    ::close(go[1]);
    int status = 0;
    bool waited = ::waitpid(child, &status, 0) == child;
    ::close(release[1]);
    for (std::thread& thread : threads)
        thread.join();
    for (int fd : {report[0], report[1], release[0]})
        ::close(fd);
    if (own == 0)
        GTEST_SKIP() << "no thread of its own descriptor table here";
    ASSERT_TRUE(waited && WIFEXITED(status));
    switch (WEXITSTATUS(status)) {
    case 10:
    case 11:
        GTEST_SKIP() << "no pid namespace here";
    case 20:
        FAIL() << "an owner read in the child namespace is missing";
    case 13:
        GTEST_SKIP() << "the helper's scan was never whole: threads kept ending beside it";
    case 22:
        FAIL() << "the owner helper did not name the thread's socket";
    case 23:
        FAIL() << "a scan within its budget was not whole";
    case 24:
        FAIL() << "a socket was told other than once";
    default:
        EXPECT_EQ(WEXITSTATUS(status), 0) << "a scan out of budget said it was whole";
    }
}

// A listener registered as a fixed file of an io_uring instance, its own
// descriptor closed: the ring holds it, and the ring's first holder (this
// process, before the child that inherited the ring) owns it, by the
// kernel's walk, the scan and the owner helper's walk and scan alike. The
// ring's fifty descriptors tell of its socket once.
TEST(LiveOwners, ASocketHeldOnlyThroughAnIoUringBelongsToTheRingsHolder) {
    using namespace ombrel::platform;
    if (!KernelListsRingSockets())
        GTEST_SKIP() << "no io_uring here, or its fdinfo names no fixed file's path";
    io_uring_params params{};
    UniqueFd ring(static_cast<int>(::syscall(SYS_io_uring_setup, 4, &params)));
    ASSERT_TRUE(ring);
    uint16_t port = 0;
    uint64_t inode = 0;
    {
        Socket listener(SOCK_STREAM);
        ASSERT_TRUE(Bind(listener));
        ASSERT_EQ(::listen(listener.fd(), 4), 0);
        port = listener.Port();
        inode = InodeOf(listener.fd());
        int files[1] = {listener.fd()};
        ASSERT_EQ(::syscall(SYS_io_uring_register, ring.get(), IORING_REGISTER_FILES, files, 1), 0);
    }
    std::vector<UniqueFd> copies;
    for (int i = 0; i < 49; ++i)
        copies.emplace_back(::fcntl(ring.get(), F_DUPFD_CLOEXEC, 0));
    int release[2];
    ASSERT_EQ(::pipe(release), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(release[1]);
        char byte;
        (void)!::read(release[0], &byte, 1);
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    ::close(release[0]);
    const auto self = static_cast<uint32_t>(::getpid());

    const std::vector<DWORD> named = TcpOwners(port);
    if (named != std::vector<DWORD>{self}) {
        std::string who = "ring " + std::to_string(InodeOf(ring.get())) + ", this process, " +
                          "its child" + Described(self) + Described(static_cast<uint32_t>(child));
        for (DWORD owner : named)
            who += "\n  named:" + Described(owner);
        ADD_FAILURE() << "the table named " << ::testing::PrintToString(named) << ", asked again "
                      << ::testing::PrintToString(TcpOwners(port)) << "\n"
                      << who;
    }
    EXPECT_EQ(OwnerBySource(inode), std::pair(self, self));
    auto helperSays = [&](const std::vector<OwnerRecord>& records) {
        size_t inRing = 0;
        for (const OwnerRecord& record : records)
            inRing += record.kind == kInRing && record.inode == inode;
        std::vector<OwnerRecord> none;
        std::vector<uint32_t> owners;
        JoinOwnerRecords(records, {inode}, owners);
        return std::pair(inRing, owners.at(0));
    };
    std::vector<OwnerRecord> records;
    ASSERT_TRUE(RunOwnerHelper(OMBREL_OWNERS, 10000, records));
    EXPECT_EQ(helperSays(records), std::pair(size_t{1}, self)) << "the helper's walk";

    // Outside the machine's pid namespace the helper scans.
    int result[2];
    ASSERT_EQ(::pipe(result), 0);
    pid_t scanner = ::fork();
    if (scanner == 0) {
        if (::unshare(CLONE_NEWPID) != 0)
            ::_exit(10);
        pid_t inside = ::fork();
        if (inside == 0) {
            // Whole or not at all, as above: asked again where it refused.
            std::vector<OwnerRecord> scanned;
            bool answered = false;
            for (int attempt = 0; attempt < 5 && !answered; ++attempt)
                answered = RunOwnerHelper(OMBREL_OWNERS, 10000, scanned);
            if (!answered)
                ::_exit(11);
            auto said = helperSays(scanned);
            (void)!::write(result[1], &said, sizeof said);
            ::_exit(0);
        }
        int status = 0;
        ::_exit(inside > 0 && ::waitpid(inside, &status, 0) == inside && WIFEXITED(status)
                    ? WEXITSTATUS(status)
                    : 12);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(scanner, &status, 0), scanner);
    std::pair<size_t, uint32_t> scanned{};
    bool told = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                ::read(result[0], &scanned, sizeof scanned) == sizeof scanned;
    ::close(result[0]);
    ::close(result[1]);
    ::close(release[1]);
    ::waitpid(child, nullptr, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 10)
        GTEST_SKIP() << "no pid namespace here for the helper's scan";
    if (WIFEXITED(status) && WEXITSTATUS(status) == 11)
        GTEST_SKIP() << "the helper's scan was never whole: threads kept ending beside it";
    ASSERT_TRUE(told) << "the helper failed in a child pid namespace";
    EXPECT_EQ(scanned, std::pair(size_t{1}, self)) << "the helper's scan";
}

// A process that only looks at another's ring, through a descriptor opened
// as a path (as a scan of /proc opens one to learn a ring's inode), holds
// nothing of it: the ring's maker owns what the ring alone holds though the
// looker started first, by the walk, the scan, the owner helper and the
// table alike.
TEST(LiveOwners, ALookAtARingOfAnotherProcessHoldsNothing) {
    using namespace ombrel::platform;
    if (!KernelListsRingSockets())
        GTEST_SKIP() << "no io_uring here, or its fdinfo names no fixed file's path";
    struct Made {
        int ring = -1;
        uint16_t port = 0;
        uint64_t inode = 0;
    };
    int told[2], release[2];
    ASSERT_EQ(::pipe2(told, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    pid_t maker = ::fork();
    if (maker == 0) {
        ::close(told[0]);
        ::close(release[1]);
        io_uring_params params{};
        UniqueFd ring(static_cast<int>(::syscall(SYS_io_uring_setup, 1, &params)));
        Made made;
        {
            Socket listener(SOCK_STREAM); // closed here: the ring holds it alone
            int files[1] = {listener.fd()};
            if (ring && Bind(listener) && ::listen(listener.fd(), 1) == 0 &&
                ::syscall(SYS_io_uring_register, ring.get(), IORING_REGISTER_FILES, files, 1) == 0)
                made = {ring.get(), listener.Port(), InodeOf(listener.fd())};
        }
        (void)!::write(told[1], &made, sizeof made);
        char byte;
        (void)!::read(release[0], &byte, 1);
        ::_exit(0);
    }
    ASSERT_GT(maker, 0);
    ::close(told[1]);
    ::close(release[0]);
    Made made;
    const bool heard = ::read(told[0], &made, sizeof made) == sizeof made && made.ring >= 0;
    ::close(told[0]);
    const std::string path = "/proc/" + std::to_string(maker) + "/fd/" + std::to_string(made.ring);
    UniqueFd look(heard ? ::open(path.c_str(), O_PATH | O_CLOEXEC) : -1);
    const auto owner = static_cast<uint32_t>(maker);
    if (look) {
        // Neither pass lists the look itself; then the owners.
        std::vector<SocketHolder> holders;
        const bool walked = MachineSocketWalk().Read(holders);
        RecordProperty("walked", walked);
        if (walked) {
            for (const SocketHolder& holder : holders)
                EXPECT_FALSE(holder.pid == static_cast<uint32_t>(::getpid()) &&
                             holder.fd == static_cast<uint32_t>(look.get()))
                    << "the walk";
        }
        ScanSocketHolders("/proc", holders);
        for (const SocketHolder& holder : holders)
            EXPECT_FALSE(holder.pid == static_cast<uint32_t>(::getpid()) &&
                         holder.fd == static_cast<uint32_t>(look.get()))
                << "the scan";
        for (OwnerSource source : {OwnerSource::Any, OwnerSource::Scan}) {
            std::vector<uint32_t> owners;
            FindSocketOwners("/proc", {made.inode}, owners, source, MachineSocketWalk());
            EXPECT_EQ(owners.at(0), owner) << (source == OwnerSource::Any ? "any" : "the scan");
        }
        std::vector<OwnerRecord> records;
        std::vector<uint32_t> joined;
        EXPECT_TRUE(RunOwnerHelper(OMBREL_OWNERS, 10000, records));
        JoinOwnerRecords(records, {made.inode}, joined);
        EXPECT_EQ(joined.at(0), owner) << "the owner helper";
        EXPECT_EQ(TcpOwners(made.port), std::vector<DWORD>{owner});
    }
    const bool looked = static_cast<bool>(look);
    look = UniqueFd();
    ::close(release[1]);
    ::waitpid(maker, nullptr, 0);
    ASSERT_TRUE(heard) << "the maker made no ring";
    ASSERT_TRUE(looked) << "no look at " << path;
}

// A ring whose lock another thread keeps taking (batches of no-op
// submissions) may not show its fixed files: that costs its holder the
// owner of what the ring alone holds, and nothing else: every pass names
// the owner of a socket held as a descriptor, and the walk's pass is still
// whole (the owner helper and the collector answer).
TEST(LiveOwners, ABusyRingCostsOnlyWhatItHolds) {
    using namespace ombrel::platform;
    if (!KernelListsRingSockets())
        GTEST_SKIP() << "no io_uring here, or its fdinfo names no fixed file's path";
    constexpr unsigned kEntries = 4096;
    io_uring_params params{};
    UniqueFd ring(static_cast<int>(::syscall(SYS_io_uring_setup, kEntries, &params)));
    ASSERT_TRUE(ring);
    const size_t ringSize = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    void* sq = ::mmap(nullptr, ringSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                      ring.get(), IORING_OFF_SQ_RING);
    const size_t sqesSize = params.sq_entries * sizeof(io_uring_sqe);
    void* sqes = ::mmap(nullptr, sqesSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE,
                        ring.get(), IORING_OFF_SQES);
    ASSERT_NE(sq, MAP_FAILED);
    ASSERT_NE(sqes, MAP_FAILED);
    auto* entries = static_cast<io_uring_sqe*>(sqes);
    auto* order = reinterpret_cast<unsigned*>(static_cast<char*>(sq) + params.sq_off.array);
    for (unsigned i = 0; i < params.sq_entries; ++i) {
        entries[i] = io_uring_sqe{};
        entries[i].opcode = IORING_OP_NOP;
        entries[i].flags = IOSQE_CQE_SKIP_SUCCESS;
        order[i] = i;
    }
    auto* tail = reinterpret_cast<unsigned*>(static_cast<char*>(sq) + params.sq_off.tail);
    uint64_t inode = 0;
    {
        Socket listener(SOCK_STREAM);
        ASSERT_TRUE(Bind(listener));
        ASSERT_EQ(::listen(listener.fd(), 4), 0);
        inode = InodeOf(listener.fd());
        int files[1] = {listener.fd()};
        ASSERT_EQ(::syscall(SYS_io_uring_register, ring.get(), IORING_REGISTER_FILES, files, 1), 0);
    }
    Socket held(SOCK_STREAM);
    ASSERT_TRUE(Bind(held));
    ASSERT_EQ(::listen(held.fd(), 4), 0);
    std::atomic<bool> stop{false};
    std::thread busy([&] {
        while (!stop.load()) {
            __atomic_store_n(tail, *tail + params.sq_entries, __ATOMIC_RELEASE);
            ::syscall(SYS_io_uring_enter, ring.get(), params.sq_entries, 0, 0, nullptr, 0);
        }
    });
    const auto self = static_cast<uint32_t>(::getpid());
    int owned = 0;
    for (int pass = 0; pass < 20; ++pass)
        for (OwnerSource source : {OwnerSource::Any, OwnerSource::Scan}) {
            std::vector<uint32_t> owners;
            bool whole = false;
            const bool walked = FindSocketOwners("/proc", {inode, InodeOf(held.fd())}, owners,
                                                 source, MachineSocketWalk(), nullptr, &whole);
            owned += owners.at(0) == self;
            EXPECT_TRUE(owners.at(0) == self || owners.at(0) == 0) << "pass " << pass;
            EXPECT_EQ(owners.at(1), self) << "pass " << pass;
            // The scan's wholeness also hangs on other processes' threads
            // ending meanwhile; the walk's on the rings alone.
            if (walked) {
                EXPECT_TRUE(whole) << "pass " << pass;
            }
        }
    stop = true;
    busy.join();
    ::munmap(sq, ringSize);
    ::munmap(sqes, sqesSize);
    RecordProperty("owned", owned);
}

// A creator and the child it forked at once, the child's pid below its own
// (ns_last_pid, in a pid namespace of the test's): the creator owns the
// socket the child inherited, by the scan and through the owner helper,
// whether or not the two started in the same clock tick; and as an ordinary
// user, by her own scan and in her table, for a socket held as a descriptor
// and one held through an io_uring ring alike.
TEST(LiveOwners, TheCreatorOwnsWhatALowerNumberedChildInherited) {
    using ombrel::platform::UniqueFd;
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for a pid namespace";
    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    auto lastPid = [](int pid) { std::ofstream("/proc/sys/kernel/ns_last_pid") << pid; };
    pid_t outer = ::fork();
    if (outer == 0) {
        ::close(report[0]);
        if (::unshare(CLONE_NEWPID | CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            ::_exit(77);
        pid_t init = ::fork();
        if (init == 0) {
            if (::mount("proc", "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr) != 0)
                ::_exit(77);
            lastPid(99);
            pid_t creator = ::fork();
            if (creator == 0) {
                Socket listener(SOCK_STREAM);
                if (!Bind(listener) || ::listen(listener.fd(), 1) != 0)
                    ::_exit(77);
                uint64_t inode = InodeOf(listener.fd());
                lastPid(1);
                WaitingChild holding; // the socket, meanwhile
                const pid_t child = holding.pid();
                if (child <= 0)
                    ::_exit(77);
                std::vector<uint64_t> inodes{inode};
                std::vector<uint32_t> scanned, joined;
                ombrel::platform::FindSocketOwners("/proc", inodes, scanned,
                                                   ombrel::platform::OwnerSource::Scan);
                std::vector<ombrel::platform::OwnerRecord> records;
                ombrel::platform::RunOwnerHelper(OMBREL_OWNERS, 10000, records);
                ombrel::platform::JoinOwnerRecords(records, inodes, joined);
                std::string text = "creator " + std::to_string(::getpid()) + " " +
                                   std::to_string(child) + " " + std::to_string(scanned.at(0)) +
                                   " " + std::to_string(joined.at(0)) + "\n";
                (void)!::write(report[1], text.data(), text.size());
                holding.Reap();
                ::_exit(0);
            }
            ::waitpid(creator, nullptr, 0);
            // The same for an ordinary user, whose owners come from her own
            // scan: a listener held as a descriptor, and one held only
            // through an io_uring ring the child inherited too. Only root
            // may move ns_last_pid, so this process does, between her
            // sockets and her fork.
            int ready[2], go[2];
            if (::pipe(ready) != 0 || ::pipe(go) != 0)
                ::_exit(0);
            lastPid(199);
            pid_t user = ::fork();
            if (user == 0) {
                ::close(ready[0]);
                ::close(go[1]);
                // Dumpable, as any program she runs is: else neither her
                // scan nor anyone's could read the child's descriptors.
                if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0 ||
                    ::prctl(PR_SET_DUMPABLE, 1) != 0) {
                    (void)!::write(report[1], "user 0\n", 7); // not to be had here
                    ::_exit(0);
                }
                Socket direct(SOCK_STREAM);
                if (!Bind(direct) || ::listen(direct.fd(), 1) != 0)
                    ::_exit(0);
                const uint64_t directInode = InodeOf(direct.fd());
                const uint16_t directPort = direct.Port();
                uint64_t ringedInode = 0;
                uint16_t ringedPort = 0;
                UniqueFd ring;
                // Where she may make no ring, the round goes on without one.
                if (ombrel::platform::KernelListsRingSockets()) {
                    io_uring_params params{};
                    ring = UniqueFd(static_cast<int>(::syscall(SYS_io_uring_setup, 1, &params)));
                    Socket ringed(SOCK_STREAM); // closed here: the ring holds it alone
                    int files[1] = {ringed.fd()};
                    if (ring && Bind(ringed) && ::listen(ringed.fd(), 1) == 0 &&
                        ::syscall(SYS_io_uring_register, ring.get(), IORING_REGISTER_FILES, files,
                                  1) == 0) {
                        ringedInode = InodeOf(ringed.fd());
                        ringedPort = ringed.Port();
                    }
                }
                char byte = 0;
                if (::write(ready[1], &byte, 1) != 1 || ::read(go[0], &byte, 1) != 1)
                    ::_exit(0);
                WaitingChild holding;
                const pid_t child = holding.pid();
                if (child <= 0)
                    ::_exit(0);
                // Her scan must read the child's descriptors too, or naming
                // her would prove nothing.
                std::vector<ombrel::platform::SocketHolder> holders;
                ombrel::platform::ScanSocketHolders("/proc", holders);
                const uint64_t ringInode = ringedInode != 0 ? InodeOf(ring.get()) : 0;
                bool childHolds = false, childRings = ringedInode == 0;
                for (const ombrel::platform::SocketHolder& holder : holders)
                    if (holder.pid == static_cast<uint32_t>(child)) {
                        childHolds = childHolds || (!holder.ring && holder.inode == directInode);
                        childRings = childRings || (holder.ring && holder.inode == ringInode);
                    }
                std::vector<uint32_t> scanned;
                ombrel::platform::FindSocketOwners("/proc", {directInode, ringedInode}, scanned,
                                                   ombrel::platform::OwnerSource::Any);
                auto only = [](const std::vector<DWORD>& owners) {
                    return owners.size() == 1 ? owners[0] : 0;
                };
                std::string text =
                    "user " + std::to_string(::getpid()) + " " + std::to_string(child) + " " +
                    std::to_string(childHolds && childRings) + " " + std::to_string(scanned.at(0)) +
                    " " + std::to_string(only(TcpOwners(directPort))) + " " +
                    std::to_string(ringedInode != 0) + " " + std::to_string(scanned.at(1)) + " " +
                    std::to_string(ringedInode != 0 ? only(TcpOwners(ringedPort)) : 0) + "\n";
                (void)!::write(report[1], text.data(), text.size());
                holding.Reap();
                ::_exit(0);
            }
            ::close(ready[1]);
            ::close(go[0]);
            char byte = 0;
            if (::read(ready[0], &byte, 1) == 1) {
                lastPid(1);
                (void)!::write(go[1], &byte, 1);
            }
            ::close(go[1]);
            ::close(ready[0]);
            ::waitpid(user, nullptr, 0);
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(init, &status, 0);
        ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    ::close(report[1]);
    std::string text;
    char chunk[256];
    for (ssize_t got; (got = ::read(report[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(got));
    ::close(report[0]);
    int status = 0;
    ::waitpid(outer, &status, 0);
    if (text.empty() && WIFEXITED(status) && WEXITSTATUS(status) == 77)
        GTEST_SKIP() << "no pid namespace of the test's own here";
    // A line from each round: the creator, its child, then the owners.
    uint32_t creator = 0, child = 0, scanned = 0, joined = 0;
    uint32_t user = 0, userChild = 0, seen = 0, direct = 0, directRow = 0, ringed = 0, inRing = 0,
             ringRow = 0;
    bool creatorTold = false, userTold = false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string round;
        fields >> round;
        if (round == "creator")
            creatorTold = static_cast<bool>(fields >> creator >> child >> scanned >> joined);
        else if (round == "user" && (fields >> user) && user == 0)
            userTold = true;
        else if (round == "user")
            userTold = static_cast<bool>(fields >> userChild >> seen >> direct >> directRow >>
                                         ringed >> inRing >> ringRow);
    }
    ASSERT_TRUE(creatorTold) << "the creator's round told nothing: " << text;
    EXPECT_LT(child, creator) << text;
    EXPECT_EQ(scanned, creator) << text;
    EXPECT_EQ(joined, creator) << text;
    ASSERT_TRUE(userTold) << "the ordinary user's round told nothing: " << text;
    if (user == 0)
        GTEST_SKIP() << "could not become user 65534 here";
    RecordProperty("ring", static_cast<int>(ringed));
    EXPECT_LT(userChild, user) << text;
    EXPECT_EQ(seen, 1u) << "her scan did not read her child's descriptors: " << text;
    EXPECT_EQ(direct, user) << text;
    EXPECT_EQ(directRow, user) << text;
    if (ringed != 0) {
        EXPECT_EQ(inRing, user) << text;
        EXPECT_EQ(ringRow, user) << text;
    }
}

namespace {

// What the scan would read for this process: each socket descriptor and its
// socket's inode.
std::vector<std::pair<uint32_t, uint64_t>> OurSocketLinks() {
    std::vector<std::pair<uint32_t, uint64_t>> links;
    DIR* folder = ::opendir("/proc/self/fd");
    while (dirent* entry = folder != nullptr ? ::readdir(folder) : nullptr) {
        char link[64] = {};
        std::string path = std::string("/proc/self/fd/") + entry->d_name;
        unsigned long long inode = 0;
        if (::readlink(path.c_str(), link, sizeof link - 1) > 0 &&
            std::sscanf(link, "socket:[%llu]", &inode) == 1)
            links.emplace_back(static_cast<uint32_t>(std::atoi(entry->d_name)), inode);
    }
    if (folder != nullptr)
        ::closedir(folder);
    std::sort(links.begin(), links.end());
    return links;
}

// The kernel's walk is there for a root in the machine's own pid namespace
// on a kernel with type information; elsewhere the scan alone answers.
bool KernelWalkExpected() {
    struct stat ns {};
    return ::geteuid() == 0 && ::access("/sys/kernel/btf/vmlinux", R_OK) == 0 &&
           ::stat("/proc/self/ns/pid", &ns) == 0 && ns.st_ino == 0xEFFFFFFCU;
}

} // namespace

// Every socket descriptor of ours and nothing else: not a pipe, not a file,
// and not a descriptor of a socket's file on disk, which has a socket's
// type but lives on another file system.
TEST(LiveHolders, TheKernelWalkListsExactlyOurSocketDescriptors) {
    if (!KernelWalkExpected())
        GTEST_SKIP() << "no kernel walk here: not root, another pid namespace or no BTF";
    Socket listener(SOCK_STREAM);
    ASSERT_TRUE(Bind(listener));
    ASSERT_EQ(::listen(listener.fd(), 4), 0);
    Socket udp6(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0), true);
    ASSERT_GE(udp6.fd(), 0);
    TempDir dir;
    sockaddr_un unixAddress{};
    unixAddress.sun_family = AF_UNIX;
    std::string unixPath = dir.path() + "/s";
    std::strncpy(unixAddress.sun_path, unixPath.c_str(), sizeof unixAddress.sun_path - 1);
    Socket unixSocket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0), true);
    ASSERT_EQ(
        ::bind(unixSocket.fd(), reinterpret_cast<sockaddr*>(&unixAddress), sizeof unixAddress), 0);
    Socket onDisk(::open(unixPath.c_str(), O_PATH | O_CLOEXEC), true);
    ASSERT_GE(onDisk.fd(), 0);
    int pipeFds[2];
    ASSERT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    Socket pipeRead(pipeFds[0], true), pipeWrite(pipeFds[1], true);

    std::vector<ombrel::platform::SocketHolder> holders;
    ASSERT_TRUE(ombrel::platform::ReadSocketHolders(holders));
    std::vector<std::pair<uint32_t, uint64_t>> ours;
    for (const auto& holder : holders)
        if (holder.pid == static_cast<uint32_t>(::getpid()))
            ours.emplace_back(holder.fd, holder.inode);
    std::sort(ours.begin(), ours.end());
    EXPECT_EQ(ours, OurSocketLinks());
    for (int fd : {listener.fd(), udp6.fd(), unixSocket.fd()})
        EXPECT_NE(
            std::find(ours.begin(), ours.end(), std::pair(static_cast<uint32_t>(fd), InodeOf(fd))),
            ours.end())
            << "descriptor " << fd;
    for (int fd : {onDisk.fd(), pipeRead.fd(), pipeWrite.fd()})
        EXPECT_TRUE(std::none_of(ours.begin(), ours.end(),
                                 [&](const auto& held) { return held.first == uint32_t(fd); }))
            << "descriptor " << fd;
}

// An ordinary user gets no answer from the kernel's walk, and nothing in
// place of one: the scan answers for it.
// Processes holding two million descriptors that are not sockets, then one
// that holds a socket: the kernel stops a read after a million objects
// without a record (EAGAIN), and the walk goes on past them to the socket.
TEST(LiveHolders, TheWalkGoesOnPastMillionsOfDescriptorsWithoutARecord) {
    if (!KernelWalkExpected())
        GTEST_SKIP() << "no kernel walk here: not root, another pid namespace or no BTF";
    constexpr long kDescriptors = 2100000;
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    long each = static_cast<long>(std::min<rlim_t>(limit.rlim_max, 1 << 20)) - 16;
    ASSERT_GT(each, 1000);
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    std::vector<pid_t> flood;
    for (long held = 0; held < kDescriptors + each; held += each) {
        bool last = held >= kDescriptors;
        pid_t pid = ::fork();
        if (pid == 0) {
            // Nothing of the test's: no socket but the last one's own.
            int up = ::fcntl(ready[1], F_DUPFD, 100), down = ::fcntl(release[0], F_DUPFD, 100);
            (void)!::dup2(up, 3);
            (void)!::dup2(down, 4);
            ::close_range(5, ~0U, 0);
            rlimit own{limit.rlim_max, limit.rlim_max};
            ::setrlimit(RLIMIT_NOFILE, &own);
            int null = ::open("/dev/null", O_RDONLY);
            bool ok = null >= 0;
            for (long i = 0; ok && i < each; ++i)
                ok = ::dup(null) >= 0;
            uint64_t report[2] = {static_cast<uint64_t>(::getpid()), ok ? 1u : 0u};
            if (last) {
                int socket = ok ? ::socket(AF_INET, SOCK_DGRAM, 0) : -1;
                report[1] = socket >= 0 ? InodeOf(socket) : 0;
            }
            (void)!::write(3, report, sizeof report); // one write: whole in the pipe
            char wait;
            (void)!::read(4, &wait, 1);
            ::_exit(0);
        }
        flood.push_back(pid);
    }
    ::close(ready[1]);
    ::close(release[0]);
    uint64_t holder = 0, inode = 0;
    bool all = true;
    for (size_t i = 0; i < flood.size(); ++i) {
        uint64_t report[2] = {};
        all = all && ::read(ready[0], report, sizeof report) == sizeof report && report[1] != 0;
        if (report[1] > 1) {
            holder = report[0];
            inode = report[1];
        }
    }
    std::vector<ombrel::platform::SocketHolder> holders;
    bool walked = ombrel::platform::ReadSocketHolders(holders);
    ::close(release[1]);
    for (pid_t pid : flood)
        ::waitpid(pid, nullptr, 0);
    ::close(ready[0]);
    ASSERT_TRUE(all && inode != 0) << "the descriptors were not to be had";
    ASSERT_TRUE(walked);
    EXPECT_TRUE(std::any_of(holders.begin(), holders.end(), [&](const auto& held) {
        return held.pid == holder && held.inode == inode;
    })) << "no record of the last process's socket";
    // The program counts every descriptor it passes in its globals, read
    // back after the walk.
    EXPECT_GE(ombrel::platform::MachineSocketWalk().Descriptors(),
              static_cast<uint64_t>(kDescriptors));
}

TEST(LiveHolders, AnOrdinaryUserIsRefusedTheKernelWalk) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to become another user";
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(2);
        std::vector<ombrel::platform::SocketHolder> holders(1);
        bool read = ombrel::platform::ReadSocketHolders(holders);
        ::_exit(read || !holders.empty() ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

namespace {

// One byte, with room beside it for one descriptor.
struct DescriptorMessage {
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    DescriptorMessage() {
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    DescriptorMessage(const DescriptorMessage&) = delete;
    DescriptorMessage& operator=(const DescriptorMessage&) = delete;
};

bool SendDescriptor(int channel, int fd) {
    DescriptorMessage sent;
    cmsghdr* header = CMSG_FIRSTHDR(&sent.message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    return ::sendmsg(channel, &sent.message, 0) == 1;
}

int ReceiveDescriptor(int channel) {
    DescriptorMessage received;
    if (::recvmsg(channel, &received.message, MSG_CMSG_CLOEXEC) != 1)
        return -1;
    cmsghdr* header = CMSG_FIRSTHDR(&received.message);
    if (header == nullptr || header->cmsg_type != SCM_RIGHTS)
        return -1;
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

// The holders of the given processes, in one order, with the start time
// each pass read for them.
std::vector<std::tuple<uint32_t, uint32_t, uint64_t, uint64_t>>
HoldersOf(const std::vector<ombrel::platform::SocketHolder>& holders,
          const std::vector<uint32_t>& pids) {
    std::vector<std::tuple<uint32_t, uint32_t, uint64_t, uint64_t>> of;
    for (const auto& holder : holders)
        if (std::find(pids.begin(), pids.end(), holder.pid) != pids.end())
            of.emplace_back(holder.pid, holder.fd, holder.inode, holder.start);
    std::sort(of.begin(), of.end());
    return of;
}

size_t LoadedPrograms() {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == "anon_inode:bpf-prog")
            ++count;
    }
    return count;
}

} // namespace

// One moment's holders, by the walk and by the scan: a child that inherited
// a listener, a process handed a socket it never made (SCM_RIGHTS), a thread
// of ours with a descriptor table of its own, both families.
TEST(LiveHolders, TheWalkAndTheScanFindTheSameHolders) {
    if (!KernelWalkExpected())
        GTEST_SKIP() << "no kernel walk here: not root, another pid namespace or no BTF";
    int ready[2], release[2], channel[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel), 0);
    auto holdUntilReleased = [&](bool ok) {
        ::close(release[1]);
        char byte = ok ? 1 : 0;
        (void)!::write(ready[1], &byte, 1);
        (void)!::read(release[0], &byte, 1);
        ::_exit(0);
    };
    pid_t handed = ::fork(); // before the socket it is handed exists
    if (handed == 0)
        holdUntilReleased(ReceiveDescriptor(channel[1]) >= 0);
    Socket listener(SOCK_STREAM);
    ASSERT_TRUE(Bind(listener));
    ASSERT_EQ(::listen(listener.fd(), 4), 0);
    pid_t forked = ::fork();
    if (forked == 0)
        holdUntilReleased(true);
    Socket udp4(SOCK_DGRAM);
    ASSERT_TRUE(Bind(udp4));
    Socket udp6(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0), true);
    ASSERT_TRUE(SendDescriptor(channel[0], udp6.fd()));
    uint64_t threadsOwn = 0;
    std::thread ownTable([&] {
        bool ok = ::unshare(CLONE_FILES) == 0;
        if (ok)
            ::close(release[1]); // its table's copy: the children wait for ours alone
        int fd = ok ? ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_loopback;
        if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd, 1) == 0)
            threadsOwn = InodeOf(fd);
        char byte = threadsOwn != 0 ? 1 : 0;
        (void)!::write(ready[1], &byte, 1);
        if (ok)
            (void)!::read(release[0], &byte, 1);
    });
    bool allReady = true;
    for (int i = 0; i < 3; ++i) {
        char byte = 0;
        allReady = ::read(ready[0], &byte, 1) == 1 && byte == 1 && allReady;
    }

    std::vector<ombrel::platform::SocketHolder> walked, scanned;
    bool walkedAll = ombrel::platform::ReadSocketHolders(walked);
    size_t programs = LoadedPrograms();
    std::vector<ombrel::platform::SocketHolder> again;
    bool walkedAgain = ombrel::platform::ReadSocketHolders(again);
    size_t programsAfter = LoadedPrograms();
    ombrel::platform::ScanSocketHolders("/proc", scanned);

    ::close(release[1]);
    ownTable.join();
    ::waitpid(handed, nullptr, 0);
    ::waitpid(forked, nullptr, 0);
    for (int fd : {ready[0], ready[1], release[0], channel[0], channel[1]})
        ::close(fd);
    ASSERT_TRUE(allReady) << "a holder could not be set up";
    ASSERT_TRUE(walkedAll) << ombrel::platform::SocketHoldersRefusal();
    ASSERT_TRUE(walkedAgain);

    const auto self = static_cast<uint32_t>(::getpid());
    const std::vector<uint32_t> pids = {self, static_cast<uint32_t>(forked),
                                        static_cast<uint32_t>(handed)};
    auto byWalk = HoldersOf(walked, pids);
    EXPECT_EQ(byWalk, HoldersOf(scanned, pids));
    EXPECT_EQ(HoldersOf(again, pids), byWalk);
    auto holds = [&](pid_t pid, uint64_t inode) {
        return std::any_of(byWalk.begin(), byWalk.end(), [&](const auto& holder) {
            return std::get<0>(holder) == static_cast<uint32_t>(pid) &&
                   std::get<2>(holder) == inode;
        });
    };
    EXPECT_TRUE(holds(forked, InodeOf(listener.fd())));
    EXPECT_TRUE(holds(handed, InodeOf(udp6.fd())));
    EXPECT_TRUE(holds(static_cast<pid_t>(self), InodeOf(udp4.fd())));
    EXPECT_TRUE(holds(static_cast<pid_t>(self), threadsOwn)) << "the thread's own table";
    // Both read the start that /proc/PID/stat gives, the thread's table's
    // holder being its process.
    std::ifstream statFile("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), {});
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    } // field 22 is the start time
    for (const auto& holder : byWalk) {
        if (std::get<0>(holder) == self) {
            EXPECT_EQ(std::to_string(std::get<3>(holder)), field);
        }
    }
    // The second walk loaded nothing anew: the program is verified once.
    EXPECT_EQ(programsAfter, programs);
    EXPECT_GE(programs, 1u);
}

// The start time the walk reads with each holder is the one /proc gives the
// reader, in the reader's time namespace too (where /proc adds its boot
// clock's offset): else every owner it names would look like a later
// process under a reused id.
TEST(LiveHolders, TheWalksStartTimesAreProcsInAnotherTimeNamespace) {
    if (!KernelWalkExpected())
        GTEST_SKIP() << "no kernel walk here: not root, another pid namespace or no BTF";
    int result[2];
    ASSERT_EQ(::pipe2(result, O_CLOEXEC), 0);
    pid_t child = ::fork();
    if (child == 0) {
        // The new namespace is its children's, its offsets set before any
        // enters it.
        char code = 2;
        int offsets = -1;
        if (::unshare(CLONE_NEWTIME) == 0 &&
            (offsets = ::open("/proc/self/timens_offsets", O_WRONLY | O_CLOEXEC)) >= 0 &&
            ::write(offsets, "boottime 86400 0\n", 17) == 17) {
            ::close(offsets);
            pid_t inside = ::fork();
            if (inside == 0) {
                Socket held(SOCK_DGRAM);
                std::vector<ombrel::platform::SocketHolder> holders;
                std::ifstream statFile("/proc/self/stat");
                std::string stat((std::istreambuf_iterator<char>(statFile)), {});
                std::istringstream fields(stat.substr(stat.rfind(')') + 2));
                std::string field;
                for (int i = 3; i <= 22 && fields >> field; ++i) {
                }
                bool same = ombrel::platform::ReadSocketHolders(holders);
                for (const auto& holder : holders)
                    if (holder.pid == static_cast<uint32_t>(::getpid()))
                        same = same && std::to_string(holder.start) == field;
                ::_exit(same ? 0 : 1);
            }
            int status = 0;
            ::waitpid(inside, &status, 0);
            code = WIFEXITED(status) ? static_cast<char>(WEXITSTATUS(status)) : 1;
        }
        (void)!::write(result[1], &code, 1);
        ::_exit(0);
    }
    ::close(result[1]);
    char code = 1;
    ssize_t got = ::read(result[0], &code, 1);
    ::close(result[0]);
    ::waitpid(child, nullptr, 0);
    if (got == 1 && code == 2)
        GTEST_SKIP() << "no time namespaces here";
    EXPECT_EQ(code, 0) << "the walk's start time differs from /proc's";
}

// A build of the walk that asks for a member the kernel lacks: the kernel
// refuses it, the scan answers in its place, and the refusal keeps what
// libbpf and the verifier said.
TEST(LiveHolders, AWalkTheKernelRefusesLeavesItsLogAndTheScanAnswers) {
    if (!KernelWalkExpected())
        GTEST_SKIP() << "no kernel walk here: not root, another pid namespace or no BTF";
    std::ifstream file(OMBREL_MISSING_MEMBER_WALK, std::ios::binary);
    std::string object((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(object.empty());
    ombrel::platform::SocketWalk walk(object);
    Socket listener(SOCK_STREAM);
    ASSERT_TRUE(Bind(listener));
    ASSERT_EQ(::listen(listener.fd(), 4), 0);
    std::vector<uint64_t> inodes = {InodeOf(listener.fd())};
    std::vector<uint32_t> owners;
    EXPECT_FALSE(ombrel::platform::FindSocketOwners("/proc", inodes, owners,
                                                    ombrel::platform::OwnerSource::Any, walk));
    EXPECT_EQ(owners, std::vector<uint32_t>{static_cast<uint32_t>(::getpid())});
    const std::string why = walk.Refusal();
    EXPECT_EQ(why.rfind("the kernel refused the program", 0), 0u) << why;
    EXPECT_NE(why.find("the verifier's log:\n"), std::string::npos) << why;
    EXPECT_NE(why.find("i_ombrel_missing"), std::string::npos) << why;

    std::vector<ombrel::platform::SocketHolder> holders(1);
    EXPECT_FALSE(walk.Read(holders));
    EXPECT_TRUE(holders.empty());
    EXPECT_EQ(walk.Refusal(), why) << "refused once, for the walk's life";
    EXPECT_TRUE(ombrel::platform::ReadSocketHolders(holders)) << "the process's own walk";
}
