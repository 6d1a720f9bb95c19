// The services against this machine's own kernel, with sockets the test opens.
#include <algorithm>
#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include <ombrel/refresh_scope.h>
#include <ombrel/services.h>

#include "platform/linux/inet_sockets.h"

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

    const DWORD self = GetCurrentProcessId();
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

TEST(LiveSockets, OnlyTheIpv4FamilyIsAccepted) {
    PVOID raw = reinterpret_cast<PVOID>(0xdeadbeef);
    EXPECT_EQ(AllocateAndGetTcpExTableFromStack(&raw, TRUE, GetProcessHeap(), 0, 23),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(AllocateAndGetUdpExTableFromStack(&raw, TRUE, GetProcessHeap(), 0, 23),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(raw, reinterpret_cast<PVOID>(0xdeadbeef));
    EXPECT_EQ(AllocateAndGetTcpExTableFromStack(nullptr, TRUE, GetProcessHeap(), 0, 2),
              ERROR_INVALID_PARAMETER);
}

TEST(LiveProcess, ModulePathOfOurOwnIdIsThisTestBinary) {
    char expected[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
    HANDLE process = OpenProcess(PROCESS_ALL_ACCESS, FALSE, GetCurrentProcessId());
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
        if (entry.th32ProcessID == GetCurrentProcessId()) {
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
        int fds[2];
        if (::pipe2(fds, 0) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::close(fds[1]);
            char byte;
            while (::read(fds[0], &byte, 1) > 0) {
            }
            if (program != nullptr)
                ::execl(program, program, "100", static_cast<char*>(nullptr));
            ::_exit(0);
        }
        ::close(fds[0]);
        write_ = fds[1];
    }
    ~WaitingChild() {
        Release();
        Reap();
    }
    pid_t pid() const { return pid_; }
    void Release() {
        if (write_ >= 0)
            ::close(write_);
        write_ = -1;
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
};

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
    EXPECT_EQ(TcpOwners(listener.Port()), std::vector<DWORD>{GetCurrentProcessId()});
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
    std::string exe = "/proc/" + std::to_string(child.pid()) + "/exe";
    auto linkNow = [&] {
        char target[4096];
        ssize_t length = ::readlink(exe.c_str(), target, sizeof target);
        return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
    };
    std::string now = linkNow();
    for (int i = 0; i < 1000000 && now == self; ++i) { // until the exec is done, bounded
        ::sched_yield();
        now = linkNow();
    }
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

// The two sources of the socket tables agree on our sockets: the netlink
// dump, and the text table read where netlink is refused.
TEST(LiveSources, NetlinkAndTheTextTableGiveTheSameRows) {
    Socket listener(SOCK_STREAM);
    ASSERT_TRUE(Bind(listener));
    ASSERT_EQ(::listen(listener.fd(), 4), 0);
    Socket client(SOCK_STREAM);
    sockaddr_in target = Loopback(listener.Port());
    ASSERT_EQ(::connect(client.fd(), reinterpret_cast<sockaddr*>(&target), sizeof target), 0);
    Socket bound(SOCK_STREAM);
    ASSERT_TRUE(Bind(bound));
    using ombrel::platform::InetSocket;
    auto ours = [&](bool netlink) {
        std::vector<InetSocket> all;
        EXPECT_TRUE(ombrel::platform::ReadInetSockets("/proc", netlink,
                                                      ombrel::platform::InetProtocol::Tcp,
                                                      ombrel::platform::InetFamily::V4, all));
        std::vector<std::tuple<uint8_t, uint16_t, uint16_t, uint64_t>> rows;
        for (const InetSocket& s : all)
            for (uint16_t port : {listener.Port(), client.Port(), bound.Port()})
                if (ntohs(s.localPort) == port)
                    rows.emplace_back(s.state, ntohs(s.localPort), ntohs(s.remotePort), s.inode);
        std::sort(rows.begin(), rows.end());
        return rows;
    };
    auto viaNetlink = ours(true);
    EXPECT_EQ(viaNetlink.size(), 3u) // the listener and both ends; not the bound one
        << ::testing::PrintToString(viaNetlink);
    EXPECT_EQ(viaNetlink, ours(false));
}

// After its main thread has exited, a process whose other threads run on
// still owns its sockets.
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
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[1]);
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
        ::syscall(SYS_exit, 0); // this thread only, and no unwinding through the test
        ::_exit(1);
    }
    ::close(fds[0]);
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
    for (int i = 0; i < 1000000 && !mainThreadEnded(); ++i) // bounded
        ::sched_yield();
    EXPECT_TRUE(mainThreadEnded());
    EXPECT_EQ(TcpOwners(port), std::vector<DWORD>{static_cast<DWORD>(child)});
    ::close(fds[1]);
    ::waitpid(child, nullptr, 0);
}
