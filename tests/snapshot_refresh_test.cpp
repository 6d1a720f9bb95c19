// A whole refresh: through doubles for every failure path, against the
// fixture /proc tree, and against live sockets of this process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ombrel/icons.h>

#include "platform/core/handles.h"
#include "port_table.h"
#include "snapshot_doubles.h"
#include "table_entries.h"
#include "walk_objects.h"

using namespace testing_doubles;
using ombrel::platform::ServiceOverride;
using ombrel::platform::Services;

namespace {

std::string SelfExe() {
    char path[4096] = {};
    return ::readlink("/proc/self/exe", path, sizeof path - 1) > 0 ? path : "";
}

class RefreshDoubles : public ::testing::Test {
protected:
    void SetUp() override {
        exe = SelfExe();
        fake.tcp = {{2, Address("0.0.0.0"), Port(135), 0, 0, 700},
                    {5, Address("127.0.0.1"), Port(8080), Address("127.0.0.1"), Port(50000), 700},
                    {11, Address("127.0.0.1"), Port(8081), Address("10.1.2.3"), Port(443), 0}};
        fake.udp = {{Address("0.0.0.0"), Port(137), 4}, {Address("127.0.0.1"), Port(53), 800}};
        fake.paths = {{700, exe}, {800, ""}};
        fake.processes = {{4, "System"}, {700, "tests"}, {800, "resolver"}};
        socketStarts = ombrel::platform::SocketLayerStartCount();
    }
    void ExpectBalanced() {
        EXPECT_TRUE(fake.tablesOut.empty()) << "a table the platform allocated was not freed";
        EXPECT_EQ(ombrel::platform::SocketLayerStartCount(), socketStarts);
    }
    FakeSystem fake;
    Doubles doubles{fake};
    std::string exe;
    int socketStarts = 0;
};

} // namespace

TEST_F(RefreshDoubles, EntriesCarryEveryFieldKeysAndNames) {
    CPortTable table;
    table.Refresh();
    std::vector<PortEntry> entries = Entries(table);
    ASSERT_EQ(entries.size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(entries[i].key, i);

    EXPECT_EQ(entries[0].protocol, 0);
    EXPECT_STREQ(entries[0].localAddress, "0.0.0.0");
    EXPECT_EQ(entries[0].localPort, 135);
    EXPECT_STREQ(entries[0].state, "监听");
    EXPECT_EQ(entries[0].processId, 700);
    EXPECT_EQ(entries[0].processPath, exe);
    EXPECT_NE(entries[0].smallIcon, nullptr);

    EXPECT_STREQ(entries[1].remoteAddress, "127.0.0.1");
    EXPECT_EQ(entries[1].remotePort, 50000);
    EXPECT_STREQ(entries[1].state, "连接");
    EXPECT_EQ(entries[1].processPath, exe); // each from its own look-up

    EXPECT_STREQ(entries[2].state, "TIME_WAIT");
    EXPECT_STREQ(entries[2].processPath, ""); // no owner, no name
    EXPECT_EQ(entries[2].smallIcon, nullptr);

    // A process whose path cannot be read gets its name from the process
    // list and no icon; below the platform's lowest ordinary id (1 here:
    // only 0, as on the TIME_WAIT row) nothing is opened at all.
    EXPECT_EQ(entries[3].protocol, 1);
    EXPECT_STREQ(entries[3].remoteAddress, "0.0.0.0");
    EXPECT_EQ(entries[3].remotePort, 0);
    EXPECT_STREQ(entries[3].state, "");
    EXPECT_STREQ(entries[3].processPath, "[System]");
    EXPECT_EQ(entries[3].smallIcon, nullptr);
    EXPECT_EQ(fake.opens.count(4), 1u);
    EXPECT_EQ(fake.opens.count(0), 0u);

    // An unreadable path becomes the process's name, after the icons.
    EXPECT_STREQ(entries[4].processPath, "[resolver]");
    EXPECT_EQ(entries[4].smallIcon, nullptr);

    EXPECT_EQ(fake.opens[700], 2); // once per endpoint
    EXPECT_EQ(fake.closes, fake.opens[700] + fake.opens[800]);
    EXPECT_TRUE(fake.snapshotClosed);
    ExpectBalanced();
}

TEST_F(RefreshDoubles, EachFailingPreconditionLeavesTheSnapshotEmpty) {
    auto refreshCount = [] {
        CPortTable table;
        table.Refresh();
        return Entries(table).size();
    };
    ASSERT_EQ(refreshCount(), 5u);

    // One missing module or export at a time.
    const std::pair<const char*, const char*> missing[] = {
        {"psapi.dll", "GetModuleFileNameExA"},
        {"psapi.dll", nullptr},
        {"iphlpapi.dll", "AllocateAndGetTcpExTableFromStack"},
        {"iphlpapi.dll", "AllocateAndGetUdpExTableFromStack"},
        {"iphlpapi.dll", nullptr}};
    for (auto [module, exportName] : missing) {
        ombrel::platform::HiddenModule hidden(module, exportName);
        EXPECT_EQ(refreshCount(), 0u) << module << " " << (exportName ? exportName : "");
    }

    {
        ServiceOverride noSockets(&Services::WSAStartup,
                                  [](WORD, LPWSADATA) { return WSAVERNOTSUPPORTED; });
        EXPECT_EQ(refreshCount(), 0u);
    }
    fake.tcpResult = ERROR_NOT_ENOUGH_MEMORY;
    EXPECT_EQ(refreshCount(), 0u);
    fake.tcpResult = 0;
    fake.udpResult = ERROR_NOT_SUPPORTED; // TCP was read, yet nothing is kept
    EXPECT_EQ(refreshCount(), 0u);
    fake.udpResult = 0;
    ASSERT_EQ(refreshCount(), 5u);
    ExpectBalanced();
}

MIB_TCP6ROW_OWNER_PID Tcp6Row(std::initializer_list<UCHAR> local, DWORD scope, int port,
                              DWORD state, DWORD pid) {
    MIB_TCP6ROW_OWNER_PID row{};
    std::copy(local.begin(), local.end(), row.ucLocalAddr);
    row.dwLocalScopeId = scope;
    row.dwLocalPort = Port(port);
    row.dwState = state;
    row.dwOwningPid = pid;
    return row;
}

TEST_F(RefreshDoubles, IPv6EntriesFollowTheirIPv4GroupsOrNotAtAll) {
    // fe80::1 on interface 1 (the loopback of every network namespace);
    // ffff:...:ffff, the longest text; :: listening.
    fake.tcp6 = {Tcp6Row({0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 1, 22,
                         MIB_TCP_STATE_LISTEN, 700),
                 Tcp6Row({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                          0xFF, 0xFF, 0xFF, 0xFF},
                         0, 65535, MIB_TCP_STATE_ESTAB, 0),
                 Tcp6Row({}, 0, 8765, MIB_TCP_STATE_LISTEN, 700)};
    fake.tcp6[1].ucRemoteAddr[15] = 1;
    fake.tcp6[1].dwRemotePort = Port(1);
    MIB_UDP6ROW_OWNER_PID udp6{};
    udp6.ucLocalAddr[15] = 1;
    udp6.dwLocalPort = Port(5353);
    udp6.dwOwningPid = 800;
    fake.udp6 = {udp6};

    auto refresh = [] {
        auto table = std::make_unique<CPortTable>();
        table->Refresh();
        return Entries(*table);
    };
    std::vector<PortEntry> entries = refresh();
    ASSERT_EQ(entries.size(), 9u);
    const int protocols[] = {0, 0, 0, 0, 0, 0, 1, 1, 1};
    const int families[] = {2, 2, 2, 23, 23, 23, 2, 2, 23};
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(entries[i].key, i);
        EXPECT_EQ(entries[i].protocol, protocols[i]) << i;
        EXPECT_EQ(entries[i].family, families[i]) << i;
    }
    EXPECT_STREQ(entries[3].localAddress, "fe80::1%lo");
    EXPECT_STREQ(entries[3].state, "监听");
    EXPECT_EQ(entries[3].processPath, exe);
    EXPECT_STREQ(entries[4].localAddress, "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff");
    EXPECT_STREQ(entries[4].remoteAddress, "::1");
    EXPECT_EQ(entries[4].remotePort, 1);
    EXPECT_STREQ(entries[5].localAddress, "::");
    EXPECT_STREQ(entries[8].localAddress, "::1");
    EXPECT_STREQ(entries[8].remoteAddress, "::");
    EXPECT_EQ(entries[8].remotePort, 0);
    EXPECT_STREQ(entries[8].processPath, "[resolver]");
    ExpectBalanced();

    // Without either IPv6 function, or with either failing: the IPv4
    // entries alone, numbered as before.
    for (const char* name : {"GetExtendedTcpTable", "GetExtendedUdpTable"}) {
        ombrel::platform::HiddenModule hidden("iphlpapi.dll", name);
        EXPECT_EQ(refresh().size(), 5u) << name;
    }
    fake.tcp6Result = ERROR_NOT_SUPPORTED;
    EXPECT_EQ(refresh().size(), 5u);
    fake.tcp6Result = 0;
    fake.udp6Result = ERROR_NOT_SUPPORTED;
    entries = refresh();
    ASSERT_EQ(entries.size(), 5u);
    EXPECT_EQ(entries[4].key, 4);
    EXPECT_EQ(entries[4].family, 2);
    ExpectBalanced();
}

// Each compartment's entries after the program's own, in the order given,
// numbered on, each named; the thread is left in its own compartment.
TEST_F(RefreshDoubles, OtherCompartmentsFollowTheOwnEachEntryWithItsName) {
    FakeSystem::Compartment db{0xF0000195, "db", {}, {}, {}, 0};
    db.tcp = {{2, Address("127.0.0.1"), Port(5432), 0, 0, 700}};
    db.udp = {{Address("0.0.0.0"), Port(5353), 700}};
    // Interface 1 of another namespace is not this program's "lo".
    db.tcp6 = {Tcp6Row({0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 1, 22,
                       MIB_TCP_STATE_LISTEN, 700)};
    FakeSystem::Compartment bare{0xF0000200, "net-512", {}, {}, {}, 0};
    bare.udp = {{Address("127.0.0.1"), Port(53), 800}};
    fake.compartments = {db, bare};

    CPortTable table;
    table.Refresh();
    std::vector<PortEntry> entries = Entries(table);
    ASSERT_EQ(entries.size(), 9u);
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(entries[i].key, i);
        EXPECT_STREQ(entries[i].compartmentName, i < 5 ? "" : i < 8 ? "db" : "net-512") << i;
        EXPECT_EQ(entries[i].compartment, i < 5 ? kHomeCompartment : i < 8 ? db.id : bare.id);
    }
    EXPECT_EQ(entries[5].localPort, 5432);
    EXPECT_STREQ(entries[6].localAddress, "fe80::1%1");
    EXPECT_EQ(entries[7].localPort, 5353);
    EXPECT_EQ(entries[8].localPort, 53);
    EXPECT_STREQ(entries[8].processPath, "[resolver]");
    EXPECT_EQ(CompartmentSuffix(entries[5]), " @db");
    EXPECT_EQ(CompartmentSuffix(entries[0]), "");
    EXPECT_EQ(fake.current, kHomeCompartment);
    ASSERT_EQ(table.Compartments().size(), 3u);
    EXPECT_STREQ(table.Compartments()[2].name, "net-512");
    ExpectBalanced();

    // A thread left in another compartment reads the same, and is left there.
    fake.current = db.id;
    CPortTable moved;
    moved.Refresh();
    std::vector<PortEntry> same = Entries(moved);
    ASSERT_EQ(same.size(), entries.size());
    for (size_t i = 0; i < same.size(); ++i)
        EXPECT_STREQ(same[i].compartmentName, entries[i].compartmentName) << i;
    EXPECT_EQ(fake.current, db.id);
    fake.current = kHomeCompartment;

    // A compartment whose tables cannot be read adds nothing; the own's
    // failing empties the snapshot as before.
    fake.compartments.insert(fake.compartments.begin(), bare);
    fake.compartments.front().id = 0xF0000197;
    fake.compartments.front().result = ERROR_NOT_FOUND;
    CPortTable again;
    again.Refresh();
    EXPECT_EQ(Entries(again).size(), 9u);
    fake.tcpResult = ERROR_NOT_SUPPORTED;
    again.Refresh();
    EXPECT_TRUE(Entries(again).empty());
    ExpectBalanced();
}

// A table that grows between the size question and the read is asked again.
TEST_F(RefreshDoubles, AnIPv6TableThatGrowsIsAskedAgain) {
    int calls = 0;
    ServiceOverride growing(
        &Services::GetExtendedTcpTable,
        [&](PVOID out, PDWORD size, BOOL, ULONG, TCP_TABLE_CLASS, ULONG) -> DWORD {
            size_t rows = ++calls < 3 ? static_cast<size_t>(calls) : 2;
            size_t bytes =
                offsetof(MIB_TCP6TABLE_OWNER_PID, table) + rows * sizeof(MIB_TCP6ROW_OWNER_PID);
            if (out == nullptr || *size < bytes) {
                *size = static_cast<DWORD>(bytes);
                return ERROR_INSUFFICIENT_BUFFER;
            }
            std::memset(out, 0, bytes);
            static_cast<MIB_TCP6TABLE_OWNER_PID*>(out)->dwNumEntries = static_cast<DWORD>(rows);
            return NO_ERROR;
        });
    CPortTable table;
    table.Refresh();
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(Entries(table).size(), 7u);
}

TEST_F(RefreshDoubles, AFailedAllocationDropsExactlyThatEndpoint) {
    fake.failEntryAllocation = 1;
    CPortTable table;
    table.Refresh();
    std::vector<PortEntry> entries = Entries(table);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].localPort, 135);
    EXPECT_EQ(entries[1].localPort, 8081); // 8080 was the one dropped
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(entries[i].key, i);
    ExpectBalanced();
}

TEST_F(RefreshDoubles, OnlyUdpRowsStillNumberFromZero) {
    fake.tcp.clear();
    CPortTable table;
    table.Refresh();
    std::vector<PortEntry> entries = Entries(table);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].key, 0);
    EXPECT_EQ(entries[0].protocol, 1);
}

TEST_F(RefreshDoubles, NoProcessListLeavesPathsAsTheyAre) {
    fake.processListFails = true;
    CPortTable table;
    table.Refresh();
    std::vector<PortEntry> entries = Entries(table);
    EXPECT_STREQ(entries[3].processPath, "");
    EXPECT_EQ(entries[0].processPath, exe);
}

TEST_F(RefreshDoubles, RefreshAndDestructionReleaseEveryIconAndLibrary) {
    size_t icons = ombrel::platform::IconCount();
    int psapiLoads = ombrel::platform::ModuleLoadCount("psapi.dll");
    {
        CPortTable table;
        EXPECT_EQ(ombrel::platform::ModuleLoadCount("psapi.dll"), psapiLoads + 1);
        table.Refresh();
        EXPECT_EQ(ombrel::platform::IconCount(), icons + 2);
        table.Refresh();
        EXPECT_EQ(ombrel::platform::IconCount(), icons + 2);
    }
    EXPECT_EQ(ombrel::platform::IconCount(), icons);
    EXPECT_EQ(ombrel::platform::ModuleLoadCount("psapi.dll"), psapiLoads);
}

TEST(RefreshFixture, NamesComeFromTheProcessListWherePathsFail) {
    CPortTable table;
    {
        ombrel::platform::ProcRootOverride fixture(std::string(OMBREL_FIXTURES) + "/proc-basic");
        table.Refresh();
    }
    std::vector<PortEntry> entries = Entries(table);
    ASSERT_EQ(entries.size(), 21u); // 14 TCP, 3 TCP over IPv6, 3 UDP, 1 UDP over IPv6
    auto at = [&](int protocol, int port) -> const PortEntry& {
        for (const PortEntry& e : entries)
            if (e.protocol == protocol && e.localPort == port)
                return e;
        static PortEntry none{};
        ADD_FAILURE() << "no entry for port " << port;
        return none;
    };
    EXPECT_STREQ(at(0, 80).processPath, "/usr/bin/launcher"); // it made the socket
    EXPECT_STREQ(at(0, 2006).processPath, "[secretd]");       // exe link unreadable
    EXPECT_STREQ(at(0, 2006).state, "CLOSE_WAIT");
    EXPECT_STREQ(at(0, 2001).processPath, "/usr/lib/systemd/systemd"); // init is a program
    for (const PortEntry& e : entries)
        EXPECT_NE(e.localPort, 2005) << "a socket only bound is no endpoint";
    EXPECT_STREQ(at(0, 50001).processPath, "/opt/tool/oldtool (deleted)");
    EXPECT_STREQ(at(0, 50001).state, "同步发送");
    EXPECT_STREQ(at(0, 2009).state, "同步接收");
    EXPECT_STREQ(at(0, 2004).processPath, "");
    EXPECT_STREQ(at(1, 53).processPath, "/usr/sbin/sshd");
    // Every TCP entry comes first, IPv4 before IPv6, then UDP likewise.
    for (int i = 0; i < 21; ++i) {
        EXPECT_EQ(entries[i].key, i);
        EXPECT_EQ(entries[i].protocol, i < 17 ? 0 : 1) << i;
        EXPECT_EQ(entries[i].family, (i >= 14 && i < 17) || i == 20 ? 23 : 2) << i;
    }
    EXPECT_STREQ(entries[14].localAddress, "::1");
    EXPECT_STREQ(entries[14].remoteAddress, "::");
    EXPECT_STREQ(entries[14].state, "监听");
    EXPECT_STREQ(entries[14].processPath, "/usr/bin/launcher");
    EXPECT_STREQ(entries[15].localAddress, "::ffff:127.0.0.1");
    EXPECT_EQ(entries[15].remotePort, 0xC000);
    EXPECT_STREQ(entries[16].localAddress, "fe80::1%"); // the text table names no interface
    EXPECT_STREQ(entries[16].remoteAddress, "fe80::2%");
    EXPECT_STREQ(entries[16].state, "TIME_WAIT");
    EXPECT_STREQ(entries[20].localAddress, "::");
    EXPECT_EQ(entries[20].localPort, 5353);
    EXPECT_STREQ(entries[20].remoteAddress, "::");
    EXPECT_STREQ(entries[20].processPath, "/usr/bin/launcher");
}

// A listener on ::1, a dual-stack listener on :: with an IPv4 and an IPv6
// client, a UDP socket on ::: each an entry as the kernel holds it.
TEST(RefreshLive, IPv6AndDualStackSockets) {
    auto open6 = [](int type, const char* address, int v6only) {
        int fd = ::socket(AF_INET6, type | SOCK_CLOEXEC, 0);
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        ::inet_pton(AF_INET6, address, &addr.sin6_addr);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << address;
        if (type == SOCK_STREAM) {
            EXPECT_EQ(::listen(fd, 4), 0);
        }
        return fd;
    };
    auto portOf = [](int fd) {
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
        return ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                                : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    };
    int loopback6 = open6(SOCK_STREAM, "::1", 1);
    int dual = open6(SOCK_STREAM, "::", 0);
    int udp6 = open6(SOCK_DGRAM, "::", 0);
    int dualPort = portOf(dual);

    int client4 = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to4{};
    to4.sin_family = AF_INET;
    to4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to4.sin_port = htons(static_cast<uint16_t>(dualPort));
    ASSERT_EQ(::connect(client4, reinterpret_cast<sockaddr*>(&to4), sizeof to4), 0);
    int accepted4 = ::accept(dual, nullptr, nullptr);
    int client6 = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 to6{};
    to6.sin6_family = AF_INET6;
    to6.sin6_addr = in6addr_loopback;
    to6.sin6_port = htons(static_cast<uint16_t>(dualPort));
    ASSERT_EQ(::connect(client6, reinterpret_cast<sockaddr*>(&to6), sizeof to6), 0);
    int accepted6 = ::accept(dual, nullptr, nullptr);

    CPortTable table;
    table.Refresh();
    const int self = static_cast<int>(::getpid());
    const std::string exe = SelfExe();
    std::map<std::string, int> seen;
    bool udpSeen = false;
    for (const PortEntry& e : Entries(table)) {
        if (e.processId != self)
            continue;
        EXPECT_EQ(e.processPath, exe);
        char local[96], remote[96];
        EndpointText(local, sizeof local, e.localAddress, e.localPort, e.family);
        EndpointText(remote, sizeof remote, e.remoteAddress, e.remotePort, e.family);
        if (e.protocol == 1) {
            if (e.localPort == portOf(udp6)) {
                udpSeen = true;
                EXPECT_EQ(std::string(local), "[::]:" + std::to_string(portOf(udp6)));
                EXPECT_STREQ(remote, "[::]:0");
            }
            continue;
        }
        seen[std::string(local) + " " + remote + " " + e.state] = e.family;
    }
    const std::string d = std::to_string(dualPort);
    const std::string c4 = std::to_string(portOf(client4));
    const std::string c6 = std::to_string(portOf(client6));
    std::map<std::string, int> expected{
        {"[::1]:" + std::to_string(portOf(loopback6)) + " [::]:0 监听", 23},
        {"[::]:" + d + " [::]:0 监听", 23},
        {"[::ffff:127.0.0.1]:" + d + " [::ffff:127.0.0.1]:" + c4 + " 连接", 23},
        {"127.0.0.1:" + c4 + " 127.0.0.1:" + d + " 连接", 2}, // the IPv4 client's own end
        {"[::1]:" + d + " [::1]:" + c6 + " 连接", 23},
        {"[::1]:" + c6 + " [::1]:" + d + " 连接", 23},
    };
    for (const auto& [text, family] : expected) {
        auto found = seen.find(text);
        ASSERT_NE(found, seen.end()) << text;
        EXPECT_EQ(found->second, family) << text;
    }
    EXPECT_TRUE(udpSeen);
    for (int fd : {loopback6, dual, udp6, client4, accepted4, client6, accepted6})
        ::close(fd);
}

TEST(RefreshLive, OurSocketsWithOurPathAndStates) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 2), 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    int port = ntohs(addr.sin_port);
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    int server = ::accept(listener, nullptr, nullptr);
    int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    addr.sin_port = 0;
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    length = sizeof addr;
    ::getsockname(udp, reinterpret_cast<sockaddr*>(&addr), &length);
    int udpPort = ntohs(addr.sin_port);

    CPortTable table;
    table.Refresh();
    const int self = static_cast<int>(::getpid());
    const std::string exe = SelfExe();
    int listening = 0, connected = 0, udpSeen = 0;
    for (const PortEntry& e : Entries(table)) {
        if (e.processId != self)
            continue;
        if (e.protocol == 0 && e.localPort == port && std::string(e.state) == "监听") {
            ++listening;
            EXPECT_STREQ(e.localAddress, "127.0.0.1");
            EXPECT_EQ(e.processPath, exe);
        } else if (e.protocol == 0 && (e.localPort == port || e.remotePort == port)) {
            ++connected;
            EXPECT_STREQ(e.state, "连接");
        } else if (e.protocol == 1 && e.localPort == udpPort) {
            ++udpSeen;
            EXPECT_STREQ(e.remoteAddress, "0.0.0.0");
            EXPECT_EQ(e.remotePort, 0);
            EXPECT_STREQ(e.state, "");
        }
    }
    EXPECT_EQ(listening, 1);
    EXPECT_EQ(connected, 2);
    EXPECT_EQ(udpSeen, 1);
    for (int fd : {listener, client, server, udp})
        ::close(fd);
}

// A hundred processes each holding a listener, and a refresh with only 64
// descriptors to spend: twice in a row, every endpoint has its owner, and no
// descriptor outlives a refresh.
TEST(RefreshLive, EveryOwnerFoundWithSixtyFourDescriptors) {
    constexpr int kHolders = 100;
    int hold[2];
    ASSERT_EQ(::pipe(hold), 0);
    std::map<int, pid_t> ownerByPort;
    for (int i = 0; i < kHolders; ++i) {
        int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
        ASSERT_EQ(::listen(listener, 1), 0);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        pid_t holder = ::fork();
        if (holder == 0) {
            // Holds its listener until the test closes the pipe.
            ::close(hold[1]);
            char byte;
            while (::read(hold[0], &byte, 1) > 0) {
            }
            ::_exit(0);
        }
        ::close(listener);
        ownerByPort[ntohs(address.sin_port)] = holder;
    }
    ::close(hold[0]);

    int report[2];
    ASSERT_EQ(::pipe(report), 0);
    pid_t child = ::fork();
    if (child == 0) {
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != report[1])
                ::close(fd);
        rlimit limit{64, 64};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        std::string counts;
        for (int round = 0; round < 2; ++round) {
            CPortTable table;
            table.Refresh();
            int owned = 0;
            for (const PortEntry& entry : Entries(table)) {
                auto found = ownerByPort.find(entry.localPort);
                owned += found != ownerByPort.end() && entry.protocol == 0 &&
                         entry.processId == found->second;
            }
            counts += std::to_string(owned) + " ";
        }
        // Descriptors left open after both refreshes: 0, 1, 2, the report
        // and the mount table the layer watches for changes (which a
        // refresh of this test program before the fork opened already, and
        // the closing loop above took); and, where the kernel's walk is
        // had, the walk's kernel objects, kept from the first refresh on.
        int open = 0, walk = 0;
        for (int fd = 0; fd < 64; ++fd) {
            char target[64] = {};
            std::string link = "/proc/self/fd/" + std::to_string(fd);
            if (::readlink(link.c_str(), target, sizeof target - 1) > 0 && IsWalkObject(target))
                ++walk;
            else
                open += ::fcntl(fd, F_GETFD) != -1;
        }
        counts +=
            open <= 5 && walk <= 4 ? "few" : std::to_string(open) + "+" + std::to_string(walk);
        ssize_t written = ::write(report[1], counts.data(), counts.size());
        ::_exit(written > 0 ? 0 : 1);
    }
    ::close(report[1]);
    char text[64] = {};
    ssize_t got = ::read(report[0], text, sizeof text - 1);
    ::close(report[0]);
    ::waitpid(child, nullptr, 0);
    ::close(hold[1]); // the holders end
    for (const auto& [port, holder] : ownerByPort)
        ::waitpid(holder, nullptr, 0);
    ASSERT_GT(got, 0);
    EXPECT_EQ(std::string(text), "100 100 few");
}
