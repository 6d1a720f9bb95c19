// A whole refresh: through doubles for every failure path, against the
// fixture /proc tree, and against live sockets of this process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ombrel/icons.h>

#include "platform/core/handles.h"
#include "port_table.h"
#include "snapshot_doubles.h"
#include "table_entries.h"

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
    EXPECT_STREQ(entries[3].processPath, "System");
    EXPECT_EQ(entries[3].smallIcon, nullptr);
    EXPECT_EQ(fake.opens.count(4), 1u);
    EXPECT_EQ(fake.opens.count(0), 0u);

    // An unreadable path becomes the process's name, after the icons.
    EXPECT_STREQ(entries[4].processPath, "resolver");
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
    ASSERT_EQ(entries.size(), 17u); // 14 TCP, 3 UDP
    auto at = [&](int protocol, int port) -> const PortEntry& {
        for (const PortEntry& e : entries)
            if (e.protocol == protocol && e.localPort == port)
                return e;
        static PortEntry none{};
        ADD_FAILURE() << "no entry for port " << port;
        return none;
    };
    EXPECT_STREQ(at(0, 80).processPath, "/usr/bin/launcher"); // it made the socket
    EXPECT_STREQ(at(0, 2006).processPath, "secretd");         // exe link unreadable
    EXPECT_STREQ(at(0, 2006).state, "CLOSE_WAIT");
    EXPECT_STREQ(at(0, 2001).processPath, "/usr/lib/systemd/systemd"); // init is a program
    for (const PortEntry& e : entries)
        EXPECT_NE(e.localPort, 2005) << "a socket only bound is no endpoint";
    EXPECT_STREQ(at(0, 50001).processPath, "/opt/tool/oldtool (deleted)");
    EXPECT_STREQ(at(0, 50001).state, "同步发送");
    EXPECT_STREQ(at(0, 2009).state, "同步接收");
    EXPECT_STREQ(at(0, 2004).processPath, "");
    EXPECT_STREQ(at(1, 53).processPath, "/usr/sbin/sshd");
    EXPECT_EQ(entries[14].key, 14);
    EXPECT_EQ(entries[14].protocol, 1);
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
        // and the mount table the layer watches for changes.
        int open = 0;
        for (int fd = 0; fd < 64; ++fd)
            open += ::fcntl(fd, F_GETFD) != -1;
        counts += std::to_string(open);
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
    EXPECT_EQ(std::string(text), "100 100 5");
}
