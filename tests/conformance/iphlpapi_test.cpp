// iphlpapi: the extended tables, as a program binds them by name.
#include <arpa/inet.h>
#include <cstddef>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include <iphlpapi.h>

#include "sentinel.h"

namespace {

using TableFunction = DWORD(WINAPI*)(PVOID*, BOOL, HANDLE, DWORD, DWORD);

TableFunction Bind(HMODULE module, const char* name) {
    return reinterpret_cast<TableFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

TEST(Iphlpapi, TablesReportErrorsByResultAndWriteNothingOnFailure) {
    HMODULE module = LoadLibraryA("iphlpapi.dll");
    ASSERT_NE(module, nullptr);
    for (const char* name :
         {"AllocateAndGetTcpExTableFromStack", "AllocateAndGetUdpExTableFromStack"}) {
        TableFunction get = Bind(module, name);
        ASSERT_NE(get, nullptr) << name;
        PVOID table = reinterpret_cast<PVOID>(0x1234);
        SetLastError(kSentinel);
        EXPECT_EQ(get(nullptr, TRUE, GetProcessHeap(), 0, 2), ERROR_INVALID_PARAMETER) << name;
        EXPECT_EQ(get(&table, TRUE, GetProcessHeap(), 0, 99), ERROR_INVALID_PARAMETER) << name;
        EXPECT_EQ(table, reinterpret_cast<PVOID>(0x1234)) << name;
        // The IPv4 pair: asked for IPv6, it says the family is not its own.
        EXPECT_EQ(get(&table, TRUE, GetProcessHeap(), 0, AF_INET6_FAMILY), ERROR_NOT_SUPPORTED)
            << name;
        EXPECT_EQ(table, reinterpret_cast<PVOID>(0x1234)) << name;
        int notAHeap = 0;
        EXPECT_EQ(get(&table, TRUE, &notAHeap, 0, 2), ERROR_NOT_ENOUGH_MEMORY) << name;
        EXPECT_EQ(table, reinterpret_cast<PVOID>(0x1234)) << name;

        ASSERT_EQ(get(&table, TRUE, GetProcessHeap(), 0, 2), static_cast<DWORD>(ERROR_SUCCESS))
            << name;
        ASSERT_NE(table, nullptr);
        EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, table));
    }
    FreeLibrary(module);
}

// A socket of the test's on loopback, closed with the test.
class Endpoint {
public:
    Endpoint(int family, int type) : fd_(::socket(family, type | SOCK_CLOEXEC, 0)) {}
    ~Endpoint() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;
    explicit Endpoint(int fd) : fd_(fd) {}
    int fd() const { return fd_; }
    // Bound to loopback on a port of the kernel's choosing; the port in
    // network byte order, as the tables give it, or 0.
    DWORD Bind(int family) {
        sockaddr_storage address{};
        socklen_t length = 0;
        if (family == AF_INET) {
            auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
            v4->sin_family = AF_INET;
            v4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof *v4;
        } else {
            auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
            v6->sin6_family = AF_INET6;
            v6->sin6_addr = in6addr_loopback;
            length = sizeof *v6;
        }
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return 0;
        return family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                 : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port;
    }

private:
    int fd_;
};

using TcpFunction = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, TCP_TABLE_CLASS, ULONG);
using UdpFunction = DWORD(WINAPI*)(PVOID, PDWORD, BOOL, ULONG, UDP_TABLE_CLASS, ULONG);

template <typename Function> Function BindExtended(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(GetProcAddress(LoadLibraryA("iphlpapi.dll"), name)));
}

// The platform's protocol: no buffer gives ERROR_INSUFFICIENT_BUFFER and
// the size; a buffer of that size, the table (asked again should the table
// have grown in between). The rows, or nothing where a call failed.
template <typename Table, typename Row, typename Call>
::testing::AssertionResult ReadTable(Call call, std::vector<Row>& rows) {
    rows.clear();
    DWORD size = 0;
    DWORD result = call(nullptr, &size);
    if (result != ERROR_INSUFFICIENT_BUFFER)
        return ::testing::AssertionFailure() << "asked for its size: " << result;
    if (size < offsetof(Table, table) + sizeof(Row))
        return ::testing::AssertionFailure() << "a size below one row's table: " << size;
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::vector<unsigned char> buffer(size, 0xEF);
        result = call(buffer.data(), &size);
        if (result == ERROR_INSUFFICIENT_BUFFER)
            continue;
        if (result != NO_ERROR)
            return ::testing::AssertionFailure() << "asked for the table: " << result;
        const auto* table = reinterpret_cast<const Table*>(buffer.data());
        if (offsetof(Table, table) + table->dwNumEntries * sizeof(Row) > buffer.size())
            return ::testing::AssertionFailure() << table->dwNumEntries << " rows overrun";
        rows.assign(table->table, table->table + table->dwNumEntries);
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "the table kept growing";
}

template <typename Row> bool ModuleDataZero(const Row& row) {
    if constexpr (requires { row.OwningModuleInfo; }) {
        for (ULONGLONG word : row.OwningModuleInfo)
            if (word != 0)
                return false;
        return row.liCreateTimestamp.QuadPart == 0;
    }
    return true;
}

// Every class of the TCP table for one family: the listener only where the
// class takes listeners, the client's end only where it takes the others,
// with this process as owner in the classes that name one.
template <typename Table, typename Row>
void CheckTcpClasses(int first, ULONG family, DWORD listenerPort, DWORD clientPort) {
    auto get = BindExtended<TcpFunction>("GetExtendedTcpTable");
    ASSERT_NE(get, nullptr);
    for (int value = first; value < first + 3; ++value) {
        auto tableClass = static_cast<TCP_TABLE_CLASS>(value);
        std::vector<Row> rows;
        ASSERT_TRUE((ReadTable<Table, Row>(
            [&](PVOID table, PDWORD size) { return get(table, size, TRUE, family, tableClass, 0); },
            rows)))
            << "class " << value;
        int scope = value % 3; // listeners, the others, all
        bool listener = false, client = false;
        for (const Row& row : rows) {
            bool listening = row.dwState == MIB_TCP_STATE_LISTEN;
            EXPECT_TRUE(scope == 2 || listening == (scope == 0)) << "class " << value;
            EXPECT_TRUE(ModuleDataZero(row));
            bool ours = (listening && row.dwLocalPort == listenerPort) ||
                        (!listening && row.dwLocalPort == clientPort);
            if constexpr (requires { row.dwOwningPid; }) {
                if (ours) {
                    EXPECT_EQ(row.dwOwningPid, static_cast<DWORD>(::getpid())) << "class " << value;
                }
            }
            listener = listener || (listening && row.dwLocalPort == listenerPort);
            client =
                client || (!listening && row.dwLocalPort == clientPort &&
                           row.dwRemotePort == listenerPort && row.dwState == MIB_TCP_STATE_ESTAB);
        }
        EXPECT_EQ(listener, scope != 1) << "class " << value;
        EXPECT_EQ(client, scope != 0) << "class " << value;
    }
}

template <typename Table, typename Row>
void CheckUdpClass(UDP_TABLE_CLASS tableClass, ULONG family, DWORD port) {
    auto get = BindExtended<UdpFunction>("GetExtendedUdpTable");
    ASSERT_NE(get, nullptr);
    std::vector<Row> rows;
    ASSERT_TRUE((ReadTable<Table, Row>(
        [&](PVOID table, PDWORD size) { return get(table, size, FALSE, family, tableClass, 0); },
        rows)))
        << "class " << tableClass;
    int ours = 0;
    for (const Row& row : rows) {
        EXPECT_TRUE(ModuleDataZero(row));
        if (row.dwLocalPort != port)
            continue;
        ++ours;
        if constexpr (requires { row.dwOwningPid; }) {
            EXPECT_EQ(row.dwOwningPid, static_cast<DWORD>(::getpid()));
        }
    }
    EXPECT_EQ(ours, 1) << "class " << tableClass;
}

// A listener, a connection to it and a bound UDP socket of one family.
struct Endpoints {
    explicit Endpoints(int family)
        : listener(family, SOCK_STREAM), client(family, SOCK_STREAM), udp(family, SOCK_DGRAM) {
        listenerPort = listener.Bind(family);
        ::listen(listener.fd(), 4);
        clientPort = client.Bind(family);
        sockaddr_storage target{};
        socklen_t length = sizeof target;
        ::getsockname(listener.fd(), reinterpret_cast<sockaddr*>(&target), &length);
        connected = ::connect(client.fd(), reinterpret_cast<sockaddr*>(&target), length) == 0;
        udpPort = udp.Bind(family);
    }
    bool Ready() const { return listenerPort != 0 && clientPort != 0 && udpPort != 0 && connected; }

    Endpoint listener, client, udp;
    DWORD listenerPort = 0, clientPort = 0, udpPort = 0;
    bool connected = false;
};

} // namespace

TEST(Iphlpapi, ExtendedTablesGiveEveryIpv4Class) {
    Endpoints ours(AF_INET);
    ASSERT_TRUE(ours.Ready());
    Endpoint accepted(::accept(ours.listener.fd(), nullptr, nullptr));
    CheckTcpClasses<MIB_TCPTABLE, MIB_TCPROW>(TCP_TABLE_BASIC_LISTENER, AF_INET_FAMILY,
                                              ours.listenerPort, ours.clientPort);
    CheckTcpClasses<MIB_TCPTABLE_OWNER_PID, MIB_TCPROW_OWNER_PID>(
        TCP_TABLE_OWNER_PID_LISTENER, AF_INET_FAMILY, ours.listenerPort, ours.clientPort);
    CheckTcpClasses<MIB_TCPTABLE_OWNER_MODULE, MIB_TCPROW_OWNER_MODULE>(
        TCP_TABLE_OWNER_MODULE_LISTENER, AF_INET_FAMILY, ours.listenerPort, ours.clientPort);
    CheckUdpClass<MIB_UDPTABLE, MIB_UDPROW>(UDP_TABLE_BASIC, AF_INET_FAMILY, ours.udpPort);
    CheckUdpClass<MIB_UDPTABLE_OWNER_PID, MIB_UDPROW_OWNER_PID>(UDP_TABLE_OWNER_PID, AF_INET_FAMILY,
                                                                ours.udpPort);
    CheckUdpClass<MIB_UDPTABLE_OWNER_MODULE, MIB_UDPROW_OWNER_MODULE>(UDP_TABLE_OWNER_MODULE,
                                                                      AF_INET_FAMILY, ours.udpPort);
}

TEST(Iphlpapi, ExtendedTablesGiveTheIpv6OwnerClasses) {
    Endpoints ours(AF_INET6);
    if (ours.listener.fd() < 0)
        GTEST_SKIP() << "no IPv6 here";
    ASSERT_TRUE(ours.Ready());
    Endpoint accepted(::accept(ours.listener.fd(), nullptr, nullptr));
    CheckTcpClasses<MIB_TCP6TABLE_OWNER_PID, MIB_TCP6ROW_OWNER_PID>(
        TCP_TABLE_OWNER_PID_LISTENER, AF_INET6_FAMILY, ours.listenerPort, ours.clientPort);
    CheckTcpClasses<MIB_TCP6TABLE_OWNER_MODULE, MIB_TCP6ROW_OWNER_MODULE>(
        TCP_TABLE_OWNER_MODULE_LISTENER, AF_INET6_FAMILY, ours.listenerPort, ours.clientPort);
    CheckUdpClass<MIB_UDP6TABLE_OWNER_PID, MIB_UDP6ROW_OWNER_PID>(UDP_TABLE_OWNER_PID,
                                                                  AF_INET6_FAMILY, ours.udpPort);
    CheckUdpClass<MIB_UDP6TABLE_OWNER_MODULE, MIB_UDP6ROW_OWNER_MODULE>(
        UDP_TABLE_OWNER_MODULE, AF_INET6_FAMILY, ours.udpPort);
}

// What no class or family of the platform's is: refused, nothing written.
TEST(Iphlpapi, ExtendedTablesRefuseWhatIsNoClassOrFamily) {
    auto tcp = BindExtended<TcpFunction>("GetExtendedTcpTable");
    auto udp = BindExtended<UdpFunction>("GetExtendedUdpTable");
    ASSERT_NE(tcp, nullptr);
    ASSERT_NE(udp, nullptr);
    DWORD size = 7;
    EXPECT_EQ(tcp(nullptr, nullptr, TRUE, AF_INET_FAMILY, TCP_TABLE_OWNER_PID_ALL, 0),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(tcp(nullptr, &size, TRUE, AF_INET_FAMILY, static_cast<TCP_TABLE_CLASS>(9), 0),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(tcp(nullptr, &size, TRUE, 99, TCP_TABLE_OWNER_PID_ALL, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(tcp(nullptr, &size, TRUE, AF_INET_FAMILY, TCP_TABLE_OWNER_PID_ALL, 1),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(udp(nullptr, &size, TRUE, AF_INET_FAMILY, static_cast<UDP_TABLE_CLASS>(3), 0),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(udp(nullptr, &size, TRUE, 99, UDP_TABLE_OWNER_PID, 0), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(size, 7u);
}
