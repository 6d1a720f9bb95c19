// The machine's network namespaces: namespaces the test makes, each kept
// its own way, read whole; and the names fixture trees give them.
#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <memory>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <sched.h>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "platform/linux/metadata/json_value.h"
#include "platform/linux/owners/socket_walk.h"
#include "platform/linux/sockets/machine_tables.h"
#include "platform/linux/sockets/network_namespaces.h"
#include "temp_dir.h"

using namespace ombrel::platform;

namespace {

uint32_t NamespaceInode(const char* link) {
    struct stat info {};
    return ::stat(link, &info) == 0 ? static_cast<uint32_t>(info.st_ino) : 0;
}

// Brings up the loopback of the calling thread's namespace.
bool LoopbackUp() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ::ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    if (fd >= 0)
        ::close(fd);
    return up;
}

// A socket of the calling thread's namespace on its loopback, port chosen
// by the kernel: a listener for TCP.
int LoopbackSocket(int family, int type, uint16_t& port) {
    int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (family == AF_INET) {
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        in->sin_family = AF_INET;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *in;
    } else {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
        in6->sin6_family = AF_INET6;
        in6->sin6_addr = in6addr_loopback;
        length = sizeof *in6;
    }
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        (type == SOCK_STREAM && ::listen(fd, 4) != 0) ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                   : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return fd;
}

// What a child reports once its sockets are in place: the namespace they
// live in and their ports; inode 0 when it could not make them.
struct Report {
    uint32_t inode = 0;
    uint16_t tcp = 0;
    uint16_t tcp6 = 0;
    uint16_t udp = 0;
};

// A child that makes sockets in a namespace of its own and holds them until
// the test closes its pipe: how, make says (it runs in the child); what it
// does when poked, then says.
class NamespaceChild {
public:
    template <typename Make> explicit NamespaceChild(Make make) : NamespaceChild(make, [] {}) {}
    template <typename Make, typename Then> NamespaceChild(Make make, Then then) {
        // The hold end a socket, so that a poke at a child gone fails
        // rather than raise SIGPIPE.
        int ready[2], hold[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 ||
            ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, hold) != 0)
            return;
        pid_ = ::fork();
        if (pid_ == 0) {
            // Another child's pipes, inherited, would keep it from hearing
            // that its test is done.
            const unsigned low = static_cast<unsigned>(std::min(ready[1], hold[0]));
            const unsigned high = static_cast<unsigned>(std::max(ready[1], hold[0]));
            ::close_range(3, low - 1, 0);
            ::close_range(low + 1, high - 1, 0);
            ::close_range(high + 1, ~0u, 0);
            Report report = make();
            (void)!::write(ready[1], &report, sizeof report);
            char byte;
            while (::read(hold[0], &byte, 1) == 1) { // until the test is done
                then();
                (void)!::write(ready[1], &byte, 1);
            }
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(hold[0]);
        hold_ = hold[1];
        ready_ = ready[0];
        answered_ = pid_ > 0 && ReadWithin(ready_, &report_, sizeof report_);
        if (!answered_)
            report_ = {};
    }
    ~NamespaceChild() {
        if (hold_ >= 0)
            ::close(hold_);
        // One that never answered may be stuck for good: it is ended, not
        // waited for without end.
        if (pid_ > 0 && !answered_)
            ::kill(pid_, SIGKILL);
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
        if (ready_ >= 0)
            ::close(ready_);
    }
    // Has the child do its then, and waits until it has.
    bool Poke() {
        char byte = 'x';
        return ::send(hold_, &byte, 1, MSG_NOSIGNAL) == 1 && ReadWithin(ready_, &byte, 1);
    }
    pid_t pid() const { return pid_; }
    const Report& report() const { return report_; }

private:
    // A child another process stopped or traced is given up on, not waited
    // for without end.
    static bool ReadWithin(int fd, void* into, size_t size) {
        pollfd ready{fd, POLLIN, 0};
        return ::poll(&ready, 1, 60000) == 1 &&
               ::read(fd, into, size) == static_cast<ssize_t>(size);
    }

    pid_t pid_ = -1;
    int hold_ = -1;
    int ready_ = -1;
    bool answered_ = false;
    Report report_;
};

// The rows of table with this local port, as (namespace, owner) pairs.
std::vector<std::pair<uint32_t, uint32_t>> RowsOnPort(const MachineTables& tables, size_t table,
                                                      uint16_t port) {
    std::vector<std::pair<uint32_t, uint32_t>> rows;
    for (size_t i = 0; i < tables.sockets[table].size(); ++i)
        if (ntohs(tables.sockets[table][i].localPort) == port)
            rows.emplace_back(tables.sockets[table][i].netns, tables.owners[table][i]);
    return rows;
}

} // namespace

// As root: a namespace a thread alone entered, one kept by a mount alone
// whose socket a process in this namespace holds, one its socket alone
// keeps, and this namespace, each socket listed once, in its namespace,
// with its owner.
TEST(Namespaces, EveryNamespacesSocketsOnceWithTheirOwners) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "entering namespaces takes root";
    const uint32_t own = NamespaceInode("/proc/self/ns/net");
    ASSERT_NE(own, 0u);
    ASSERT_EQ(OwnNetworkNamespace(), own);

    // A thread of a process whose main thread stays here; it lives on in
    // its namespace while the child does.
    NamespaceChild threaded([] {
        Report report;
        int made[2];
        if (::pipe2(made, O_CLOEXEC) != 0)
            return report;
        std::thread([&report, done = made[1]] {
            if (::unshare(CLONE_NEWNET) == 0 && LoopbackUp() &&
                LoopbackSocket(AF_INET, SOCK_STREAM, report.tcp) >= 0 &&
                LoopbackSocket(AF_INET6, SOCK_STREAM, report.tcp6) >= 0)
                report.inode = NamespaceInode("/proc/thread-self/ns/net");
            (void)!::write(done, "x", 1);
            ::pause();
        }).detach();
        char byte;
        (void)!::read(made[0], &byte, 1);
        return report;
    });
    ASSERT_GT(threaded.pid(), 0);
    if (threaded.report().inode == 0)
        GTEST_SKIP() << "no network namespace to be made here";

    // A namespace kept by a bind mount, its process back in this one.
    TempDir dir;
    std::string keep = dir.Write("keep", "");
    NamespaceChild mounted([&] {
        Report report;
        int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (home < 0 || ::unshare(CLONE_NEWNET) != 0 || !LoopbackUp())
            return report;
        int udp = LoopbackSocket(AF_INET, SOCK_DGRAM, report.udp);
        int tcp = LoopbackSocket(AF_INET, SOCK_STREAM, report.tcp);
        uint32_t inode = NamespaceInode("/proc/self/ns/net");
        if (udp >= 0 && tcp >= 0 &&
            ::mount("/proc/self/ns/net", keep.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
            ::setns(home, CLONE_NEWNET) == 0)
            report.inode = inode;
        return report;
    });
    ASSERT_NE(mounted.report().inode, 0u);
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{keep};
    ASSERT_EQ(NamespaceInode(("/proc/" + std::to_string(mounted.pid()) + "/ns/net").c_str()), own);

    // A namespace its socket alone keeps: its maker came back here.
    NamespaceChild socketOnly([&] {
        Report report;
        int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        if (home < 0 || ::unshare(CLONE_NEWNET) != 0 || !LoopbackUp())
            return report;
        uint32_t inode = NamespaceInode("/proc/self/ns/net");
        if (LoopbackSocket(AF_INET6, SOCK_STREAM, report.tcp6) >= 0 &&
            ::setns(home, CLONE_NEWNET) == 0)
            report.inode = inode;
        return report;
    });
    ASSERT_NE(socketOnly.report().inode, 0u);

    uint16_t ownPort = 0;
    int ownListener = LoopbackSocket(AF_INET, SOCK_STREAM, ownPort);
    ASSERT_GE(ownListener, 0);

    MachineTables tables;
    ReadMachineTables("/proc", tables);
    ::close(ownListener);

    ASSERT_FALSE(tables.namespaces.empty());
    EXPECT_EQ(tables.namespaces.front(), (NetworkNamespace{own, "", ""}));
    auto listed = [&](uint32_t inode) {
        return std::count_if(tables.namespaces.begin(), tables.namespaces.end(),
                             [&](const NetworkNamespace& ns) { return ns.inode == inode; });
    };
    EXPECT_EQ(listed(threaded.report().inode), 1);
    EXPECT_EQ(listed(mounted.report().inode), 1);
    EXPECT_EQ(listed(own), 1);

    using Rows = std::vector<std::pair<uint32_t, uint32_t>>;
    auto ownerOf = [](const NamespaceChild& child) { return static_cast<uint32_t>(child.pid()); };
    EXPECT_EQ(RowsOnPort(tables, kTcp4, ownPort), (Rows{{own, static_cast<uint32_t>(::getpid())}}));
    EXPECT_EQ(RowsOnPort(tables, kTcp4, threaded.report().tcp),
              (Rows{{threaded.report().inode, ownerOf(threaded)}}));
    EXPECT_EQ(RowsOnPort(tables, kTcp6, threaded.report().tcp6),
              (Rows{{threaded.report().inode, ownerOf(threaded)}}));
    EXPECT_EQ(RowsOnPort(tables, kTcp4, mounted.report().tcp),
              (Rows{{mounted.report().inode, ownerOf(mounted)}}));
    EXPECT_EQ(RowsOnPort(tables, kUdp4, mounted.report().udp),
              (Rows{{mounted.report().inode, ownerOf(mounted)}}));
    // Found through the socket, where the kernel's walk tells a socket's
    // namespace (as root it does).
    if (tables.ownerSource.find("the kernel's walk") != std::string::npos) {
        EXPECT_EQ(listed(socketOnly.report().inode), 1);
        EXPECT_EQ(RowsOnPort(tables, kTcp6, socketOnly.report().tcp6),
                  (Rows{{socketOnly.report().inode, ownerOf(socketOnly)}}));
    }

    // Every socket's namespace is one the list names.
    for (size_t table = 0; table < kTableCount; ++table)
        for (const InetSocket& socket : tables.sockets[table])
            EXPECT_EQ(listed(socket.netns), 1) << socket.netns;
}

// What the machine calls a namespace: its mount, a fixture tree of systemd's
// machines, and the control group of a process in it.
TEST(Namespaces, NamesComeFromWhatTheMachineCallsThem) {
    TempDir dir;
    NamingRoots roots{dir.path() + "/proc", dir.path() + "/run", dir.path() + "/var/lib"};
    const std::string id(64, 'a');

    // A systemd machine's leader, by its namespace link.
    dir.Write("run/systemd/machines/vm1", "NAME=vm1\nLEADER=120\nCLASS=container\n");
    dir.Link("run/systemd/machines/unit:machine-vm1.scope", "vm1");
    ::mkdir((dir.path() + "/proc/120").c_str(), 0755);
    dir.Link("proc/120/ns/net", "net:[4026532300]");
    std::vector<MachineName> machines = ReadMachineNames(roots);
    ASSERT_EQ(machines.size(), 1u);
    EXPECT_EQ(machines[0].inode, 4026532300u);
    EXPECT_EQ(machines[0].name, "vm1");

    auto name = [&](std::string_view mount, std::string_view group, uint32_t inode = 4026532245u) {
        NetworkNamespace ns = NameNetworkNamespace(roots, inode, mount, group, machines);
        EXPECT_EQ(ns.inode, inode);
        return ns.kind + ":" + ns.name;
    };
    const std::string docker = "/system.slice/docker-" + id + ".scope";
    EXPECT_EQ(name(roots.run + "/netns/db", docker), "netns:db"); // the mount's name first
    EXPECT_EQ(name(roots.run + "/netns/a/b", ""), "inode:net-405");
    EXPECT_EQ(name(roots.run + "/docker/netns/1f2e", ""), "inode:net-405");
    EXPECT_EQ(name({}, "", 4026532300u), "machine:vm1");
    EXPECT_EQ(name({}, docker), "docker:aaaaaaaaaaaa");
    EXPECT_EQ(name(roots.run + "/docker/netns/1f2e", "/docker/" + id), "docker:aaaaaaaaaaaa");
    EXPECT_EQ(name({}, "/machine.slice/libpod-" + id + ".scope/container"), "podman:aaaaaaaaaaaa");
    EXPECT_EQ(name({}, "/lxc.payload.web/init.scope"), "lxc:web");
    EXPECT_EQ(name({}, "/machine.slice/systemd-nspawn@box.service/payload"), "machine:box");
    const std::string apps = "/user.slice/user-1000.slice/user@1000.service/app.slice/";
    EXPECT_EQ(name({}, apps + "app-flatpak-org.example.App-12345.scope"),
              "flatpak:org.example.App");
    // A user's own groups: any name she likes, none of an engine's, nor an
    // application id that could pass for another name.
    for (const std::string& group : std::vector<std::string>{
             "/user.slice/user-1000.slice/user@1000.service/docker-" + id + ".scope",
             std::string("/user.slice/user-1000.slice/user@1000.service/lxc.payload.web"),
             apps + "app-flatpak-prod-1.scope", apps + "app-flatpak-net-5-1.scope",
             apps + "app-flatpak-org..App-1.scope", apps + "app-flatpak-org.example.App-.scope",
             "/system.slice/docker-" + id.substr(1) + "g.scope", std::string("/init.scope")})
        EXPECT_EQ(name({}, group), "inode:net-405") << group;
    EXPECT_EQ(name({}, "", 4026531840u), "inode:net-0");
    // A name longer than a row holds is the inode's.
    EXPECT_EQ(name({}, "/lxc.payload." + std::string(64, 'x')), "inode:net-405");
    EXPECT_EQ(name({}, "/lxc.payload." + std::string(63, 'x')), "lxc:" + std::string(63, 'x'));

    // The engines' own state names their containers, where root keeps it.
    if (::geteuid() == 0) {
        const std::string other(64, 'b'), third(64, 'c');
        dir.Write("var/lib/docker/containers/" + id + "/config.v2.json",
                  R"({"State":{"Running":true},"Config":{"Hostname":"x"},"MountPoints":{},)"
                  R"("Name":"/web-1","Driver":"overlay2"})");
        dir.Write("var/lib/docker/containers/" + other + "/config.v2.json",
                  R"({"Name":"/bad name"})");
        dir.Write("var/lib/containers/storage/overlay-containers/containers.json",
                  R"([{"id":")" + other + R"(","names":["other"]},)" + R"({"id":")" + id +
                      R"(","names":["db-main","alias"],"image":"x"}])");
        EngineNames engines;
        auto engine = [&](const std::string& group) {
            NetworkNamespace ns =
                NameNetworkNamespace(roots, 4026532245u, {}, group, machines, &engines);
            return ns.kind + ":" + ns.name;
        };
        EXPECT_EQ(engine(docker), "docker:web-1");
        EXPECT_EQ(engine("/system.slice/docker-" + other + ".scope"), "docker:bbbbbbbbbbbb");
        EXPECT_EQ(engine("/system.slice/docker-" + third + ".scope"), "docker:cccccccccccc");
        EXPECT_EQ(engine("/machine.slice/libpod-" + id + ".scope"), "podman:db-main");
        EXPECT_EQ(engine("/machine.slice/libpod-" + third + ".scope"), "podman:cccccccccccc");
        // A state file another user may write names nothing.
        ::chmod((dir.path() + "/var/lib/docker/containers/" + id + "/config.v2.json").c_str(),
                0666);
        EXPECT_EQ(engine(docker), "docker:aaaaaaaaaaaa");
    }

    EXPECT_EQ(UnifiedControlGroup("1:name=systemd:/lxc.payload.old\n0::/init.scope\n"),
              "/init.scope");
    EXPECT_EQ(UnifiedControlGroup("1:name=systemd:/lxc.payload.old\n"), "");
}

// An ordinary user sees the namespace of her own rootless container, read
// from inside it as she may, with its owner; none of another user's.
TEST(Namespaces, AUserSeesHerOwnContainersNamespaceAndNoneOfAnothers) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the test takes on another user from root";
    // A user the machine gives no name, so that no id is hers by chance.
    constexpr uid_t kUser = 43210;
    auto become = [] {
        return ::setgroups(0, nullptr) == 0 && ::setgid(kUser) == 0 && ::setuid(kUser) == 0 &&
               ::prctl(PR_SET_DUMPABLE, 1) == 0;
    };
    // Hers: a user namespace of her own and a network namespace in it.
    NamespaceChild hers([&] {
        Report report;
        // Root inside is she outside, as a rootless engine maps her.
        std::string map = "0 " + std::to_string(kUser) + " 1";
        if (become() && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
            int fd = ::open("/proc/self/uid_map", O_WRONLY | O_CLOEXEC);
            bool mapped =
                fd >= 0 && ::write(fd, map.data(), map.size()) == static_cast<ssize_t>(map.size());
            if (fd >= 0)
                ::close(fd);
            if (mapped && LoopbackSocket(AF_INET, SOCK_STREAM, report.tcp) >= 0)
                report.inode = NamespaceInode("/proc/self/ns/net");
        }
        return report;
    });
    if (hers.report().inode == 0)
        GTEST_SKIP() << "no user namespace for an ordinary user here";
    // Root's, its listener on the same port where it can have it.
    NamespaceChild roots([&] {
        Report report;
        if (::unshare(CLONE_NEWNET) == 0 && LoopbackSocket(AF_INET, SOCK_STREAM, report.tcp) >= 0)
            report.inode = NamespaceInode("/proc/self/ns/net");
        return report;
    });
    ASSERT_NE(roots.report().inode, 0u);

    // What she reads, as (listed hers, listed root's, rows on her port, the
    // owner and namespace of the first).
    struct Seen {
        uint32_t hersListed = 0, rootsListed = 0, rows = 0, owner = 0, netns = 0, rootsRows = 0;
    };
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    pid_t viewer = ::fork();
    if (viewer == 0) {
        Seen seen;
        if (become()) {
            MachineTables tables;
            ReadMachineTables("/proc", tables);
            for (const NetworkNamespace& ns : tables.namespaces) {
                seen.hersListed += ns.inode == hers.report().inode;
                seen.rootsListed += ns.inode == roots.report().inode;
            }
            for (auto [netns, owner] : RowsOnPort(tables, kTcp4, hers.report().tcp)) {
                if (netns == roots.report().inode)
                    ++seen.rootsRows;
                if (netns != hers.report().inode)
                    continue;
                if (seen.rows++ == 0) {
                    seen.owner = owner;
                    seen.netns = netns;
                }
            }
            for (auto [netns, owner] : RowsOnPort(tables, kTcp4, roots.report().tcp))
                seen.rootsRows += netns == roots.report().inode;
        }
        (void)!::write(pipe[1], &seen, sizeof seen);
        ::_exit(0);
    }
    ::close(pipe[1]);
    Seen seen;
    ASSERT_EQ(::read(pipe[0], &seen, sizeof seen), static_cast<ssize_t>(sizeof seen));
    ::close(pipe[0]);
    ::waitpid(viewer, nullptr, 0);

    EXPECT_EQ(seen.hersListed, 1u);
    EXPECT_EQ(seen.rows, 1u);
    EXPECT_EQ(seen.netns, hers.report().inode);
    EXPECT_EQ(seen.owner, static_cast<uint32_t>(hers.pid()));
    EXPECT_EQ(seen.rootsListed, 0u);
    EXPECT_EQ(seen.rootsRows, 0u);
}

// The engines' state as JSON: whole documents only, escapes decoded,
// nesting bounded.
TEST(Namespaces, JsonIsReadWholeOrNotAtAll) {
    std::optional<JsonValue> value =
        ParseJson(R"( {"a":[1,-2.5e3,true,null,{"b":"\u00e9\ud83d\ude00\n"}],"a":2} )");
    ASSERT_TRUE(value);
    const JsonValue* a = value->Find("a");
    ASSERT_NE(a, nullptr);
    ASSERT_EQ(a->items.size(), 5u); // the first of two equal keys
    EXPECT_EQ(a->items[1].text, "-2.5e3");
    EXPECT_EQ(a->items[4].Find("b")->text, "\xc3\xa9\xf0\x9f\x98\x80\n");
    for (const char* bad : {"", "{", "[1,]", "{\"a\":1,}", "\"\\ud800\"", "\"a\nb\"", "01x",
                            "[1] [2]", "{\"a\" 1}", "tru", "\"\\x\""})
        EXPECT_FALSE(ParseJson(bad)) << bad;
    std::string deep(100, '[');
    deep += std::string(100, ']');
    EXPECT_FALSE(ParseJson(deep));
    EXPECT_TRUE(ParseJson(deep, 128));
}

namespace {

// A connection to listener (a TCP socket of the calling thread's namespace)
// from a new socket of the family; the client's descriptor, -1 on failure.
int ConnectTo(int listener, int family) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    if (family == AF_INET && address.ss_family == AF_INET6) {
        // A dual-stack listener, reached over IPv4.
        uint16_t port = reinterpret_cast<sockaddr_in6*>(&address)->sin6_port;
        auto* in = reinterpret_cast<sockaddr_in*>(&address);
        *in = {};
        in->sin_family = AF_INET;
        in->sin_port = port;
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof *in;
    }
    return ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 ? fd : -1;
}

// A number of the namespace's own sockstat: after the text given.
int Sockstat(const char* after) {
    char text[512] = {};
    int fd = ::open("/proc/thread-self/net/sockstat", O_RDONLY | O_CLOEXEC);
    ssize_t got = fd >= 0 ? ::read(fd, text, sizeof text - 1) : -1;
    if (fd >= 0)
        ::close(fd);
    const char* at = got > 0 ? std::strstr(text, after) : nullptr;
    return at != nullptr ? std::atoi(at + std::strlen(after)) : -1;
}

int TimeWaits() {
    return Sockstat(" tw ");
}

// Segments cross the loopback as the kernel gets to them: what they do is
// waited for by the counts, never by the clock.
template <typename Done> bool WaitFor(Done done) {
    for (int round = 0; round < 1000000 && !done(); ++round)
        ::sched_yield();
    return done();
}

// A message of size data bytes with room for one descriptor.
struct RightsMessage {
    RightsMessage(void* data, size_t size) : part{data, size} {
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
    }
    RightsMessage(const RightsMessage&) = delete;
    iovec part;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
};

// Sends fd over a unix socket, in a message of data bytes; true when sent.
bool SendDescriptor(int via, int fd, const void* data = "x", size_t size = 1) {
    RightsMessage sent(const_cast<void*>(data), size);
    cmsghdr* rights = CMSG_FIRSTHDR(&sent.message);
    rights->cmsg_level = SOL_SOCKET;
    rights->cmsg_type = SCM_RIGHTS;
    rights->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(rights), &fd, sizeof fd);
    return ::sendmsg(via, &sent.message, 0) == static_cast<ssize_t>(size);
}

// The descriptor a message on via carries, its data into data; -1 for none.
int ReceiveDescriptor(int via, void* data, size_t size) {
    RightsMessage got(data, size);
    int fd = -1;
    if (::recvmsg(via, &got.message, MSG_CMSG_CLOEXEC) == static_cast<ssize_t>(size) &&
        CMSG_FIRSTHDR(&got.message) != nullptr)
        std::memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&got.message)), sizeof fd);
    return fd;
}

// A namespace of the child's own with a listener of each family, a
// dual-stack one reached over IPv4, a pair over ::1, UDP sockets bound (one
// to the loopback device and connected) and two sockets no table lists;
// then what more.
template <typename More> Report MakeNamespace(More more) {
    Report report;
    if (::unshare(CLONE_NEWNET) != 0 || !LoopbackUp())
        return report;
    uint16_t port = 0;
    int tcp = LoopbackSocket(AF_INET, SOCK_STREAM, report.tcp);
    int dual = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    bool made = tcp >= 0 && dual >= 0 &&
                ::bind(dual, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0 &&
                ::listen(dual, 4) == 0 && ConnectTo(dual, AF_INET) >= 0 &&
                ::accept4(dual, nullptr, nullptr, SOCK_CLOEXEC) >= 0;
    int six = LoopbackSocket(AF_INET6, SOCK_STREAM, report.tcp6);
    made = made && six >= 0 && ConnectTo(six, AF_INET6) >= 0 &&
           ::accept4(six, nullptr, nullptr, SOCK_CLOEXEC) >= 0;
    int udp = LoopbackSocket(AF_INET, SOCK_DGRAM, report.udp);
    int bound = LoopbackSocket(AF_INET6, SOCK_DGRAM, port);
    sockaddr_in6 peer{};
    peer.sin6_family = AF_INET6;
    peer.sin6_addr = in6addr_loopback;
    peer.sin6_port = htons(report.tcp6);
    made = made && udp >= 0 && bound >= 0 &&
           ::setsockopt(bound, SOL_SOCKET, SO_BINDTODEVICE, "lo", 3) == 0 &&
           ::connect(bound, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
    // Neither a UDP socket never bound nor a TCP one only bound is listed.
    made = made && ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) >= 0;
    int onlyBound = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in loopback{};
    loopback.sin_family = AF_INET;
    loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    made = made && onlyBound >= 0 &&
           ::bind(onlyBound, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0;
    if (made && more(tcp))
        report.inode = NamespaceInode("/proc/thread-self/ns/net");
    return report;
}

// A TIME_WAIT on the namespace's loopback: a connection to listener closed.
bool LeaveTimeWait(int listener) {
    int client = ConnectTo(listener, AF_INET);
    int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    return client >= 0 && server >= 0 && ::close(client) == 0 && ::close(server) == 0 &&
           WaitFor([] { return TimeWaits() >= 1; });
}

// A listener of the namespace sent to nowhere that reads: the message alone
// holds it.
bool ParkListener() {
    int pair[2];
    uint16_t port = 0;
    int parked = LoopbackSocket(AF_INET, SOCK_STREAM, port);
    return parked >= 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0 &&
           SendDescriptor(pair[0], parked) && ::close(parked) == 0;
}

bool SameSocket(const InetSocket& a, const InetSocket& b) {
    return a.state == b.state && a.v6 == b.v6 && a.localAddr == b.localAddr &&
           a.localPort == b.localPort && a.remoteAddr == b.remoteAddr &&
           a.remotePort == b.remotePort && a.interface == b.interface && a.inode == b.inode &&
           a.uid == b.uid && a.netns == b.netns && a.local6 == b.local6 && a.remote6 == b.remote6;
}

} // namespace

// As root, with the kernel's walk: a namespace whose sockets files hold all
// is read from them, row for row what its dumps give; one that also has a
// socket no file holds (TIME_WAIT, a connection not yet accepted, a
// handshake under way, a listener only a message in flight holds, hidden by
// a held one closed after the walk or by a connection a peer began and
// reset around the walk) is dumped, and that socket listed; so is one whose
// sockets a user holds.
TEST(Namespaces, HeldSocketsStandForTheDumpsOnlyWhereTheyAreAll) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "entering namespaces takes root";
    const uint32_t own = OwnNetworkNamespace();
    NamespaceChild held([] { return MakeNamespace([](int) { return true; }); });
    if (held.report().inode == 0)
        GTEST_SKIP() << "no network namespace to be made here";
    NamespaceChild timeWait([] { return MakeNamespace(LeaveTimeWait); });
    NamespaceChild unaccepted([] {
        return MakeNamespace([](int listener) { return ConnectTo(listener, AF_INET) >= 0; });
    });
    NamespaceChild handshake([] {
        return MakeNamespace([](int listener) {
            // The handshake's last segment carries no data: the listener
            // keeps it a request socket until data comes.
            int seconds = 60;
            return ::setsockopt(listener, IPPROTO_TCP, TCP_DEFER_ACCEPT, &seconds,
                                sizeof seconds) == 0 &&
                   ConnectTo(listener, AF_INET) >= 0;
        });
    });
    int decoy = -1;
    NamespaceChild inFlight(
        [&] {
            return MakeNamespace([&](int) {
                uint16_t port = 0;
                decoy = LoopbackSocket(AF_INET, SOCK_STREAM, port);
                return decoy >= 0 && ParkListener();
            });
        },
        [&] { ::close(decoy); });
    // A connection begun after the counts before the walk and reset after
    // it, its client in flight meanwhile: the held count is right at every
    // reading, beside a listener parked as above.
    int listener = -1, carrier[2] = {-1, -1}, poked = 0;
    NamespaceChild peerReset(
        [&] {
            return MakeNamespace([&](int tcp) {
                listener = tcp;
                return ParkListener() &&
                       ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, carrier) == 0;
            });
        },
        [&] {
            if (poked++ == 0) {
                int client = ConnectTo(listener, AF_INET);
                if (client >= 0 && ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) >= 0)
                    SendDescriptor(carrier[0], client) && ::close(client) == 0;
                return;
            }
            char byte;
            int client = ReceiveDescriptor(carrier[1], &byte, 1);
            linger reset{1, 0};
            const int before = Sockstat("TCP: inuse ");
            if (client >= 0 &&
                ::setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset) == 0 &&
                ::close(client) == 0)
                WaitFor([&] { return Sockstat("TCP: inuse ") == before - 2; });
        });
    // Namespaces whose sockets files hold all, but not root alone: a user
    // could have hashed one just for the walk. One of the machine's user
    // namespace, its sockets handed to a user; one of a user namespace
    // root made, its root another user outside.
    NamespaceChild userHeld([] {
        Report report = MakeNamespace([](int) { return true; });
        return ::setgroups(0, nullptr) == 0 && ::setgid(43210) == 0 && ::setuid(43210) == 0
                   ? report
                   : Report{};
    });
    NamespaceChild mapped([] {
        // Root maps it from outside: a process may map only itself from in.
        int told[2];
        if (::pipe2(told, O_CLOEXEC) != 0)
            return Report{};
        const pid_t inside = ::getpid();
        pid_t mapper = ::fork();
        if (mapper == 0) {
            // Its own copy of the write end closed, the read ends when
            // the parent's does, whether it wrote or not.
            ::close(told[1]);
            char byte;
            const std::string map = "0 300000 1";
            const std::string file = "/proc/" + std::to_string(inside) + "/uid_map";
            int fd =
                ::read(told[0], &byte, 1) == 1 ? ::open(file.c_str(), O_WRONLY | O_CLOEXEC) : -1;
            ::_exit(fd >= 0 &&
                            ::write(fd, map.data(), map.size()) == static_cast<ssize_t>(map.size())
                        ? 0
                        : 1);
        }
        int status = 1;
        bool done = mapper > 0 && ::unshare(CLONE_NEWUSER) == 0 && ::write(told[1], "x", 1) == 1;
        ::close(told[1]);
        done = mapper > 0 && ::waitpid(mapper, &status, 0) == mapper && done && status == 0;
        return done && ::setresuid(0, 0, 0) == 0 ? MakeNamespace([](int) { return true; })
                                                 : Report{};
    });
    for (const NamespaceChild* child :
         {&timeWait, &unaccepted, &handshake, &inFlight, &peerReset, &userHeld})
        ASSERT_NE(child->report().inode, 0u);
    // Where no user namespace can be made (a chrooted process may not),
    // the mapped one is left out.
    const size_t expected = 7 + (mapped.report().inode != 0);

    std::vector<FoundNamespace> found;
    for (FoundNamespace& ns : FindNetworkNamespaces(own))
        for (const NamespaceChild* child :
             {&held, &timeWait, &unaccepted, &handshake, &inFlight, &peerReset, &userHeld, &mapped})
            if (ns.inode == child->report().inode)
                found.push_back(std::move(ns));
    ASSERT_EQ(found.size(), expected);
    std::vector<NamespaceCounts> before = CountNamespaceSockets(found);
    ASSERT_TRUE(peerReset.Poke());
    std::vector<SocketHolder> holders;
    std::vector<WalkedSocket> told;
    if (!MachineSocketWalk().Read(holders, &told, own))
        GTEST_SKIP() << "no kernel walk here: " << MachineSocketWalk().Refusal();
    // The decoy goes after the walk: the counts after it match the held.
    ASSERT_TRUE(inFlight.Poke());
    ASSERT_TRUE(peerReset.Poke());
    // The peer's doing shows in its namespace's traffic alone: every count
    // but that is as it was before the walk.
    {
        const size_t peer =
            static_cast<size_t>(std::find_if(found.begin(), found.end(),
                                             [&](const FoundNamespace& ns) {
                                                 return ns.inode == peerReset.report().inode;
                                             }) -
                                found.begin());
        NamespaceCounts after = CountNamespaceSockets(found)[peer];
        ASSERT_TRUE(after.activity && before[peer].activity);
        EXPECT_NE(after.activity, before[peer].activity);
        after.activity = before[peer].activity;
        EXPECT_EQ(after, before[peer]);
    }
    HeldByNamespace grouped = GroupHeldSockets(told);
    std::vector<NamespaceSockets> fromHeld = ReadNamespaceSockets(found, &grouped, &before);
    std::vector<NamespaceSockets> dumped = ReadNamespaceSockets(found);

    auto at = [&](const NamespaceChild& child) {
        return static_cast<size_t>(std::find_if(found.begin(), found.end(),
                                                [&](const FoundNamespace& ns) {
                                                    return ns.inode == child.report().inode;
                                                }) -
                                   found.begin());
    };
    for (size_t i = 0; i < found.size(); ++i) {
        const bool all = i == at(held);
        EXPECT_EQ(fromHeld[i].dumped, !all) << i;
        for (size_t table = 0; table < kTableCount; ++table) {
            EXPECT_TRUE(fromHeld[i].read[table]);
            std::vector<InetSocket> got = fromHeld[i].sockets[table];
            std::vector<InetSocket> want = dumped[i].sockets[table];
            auto byInode = [](const InetSocket& a, const InetSocket& b) {
                return std::tie(a.inode, a.state, a.localPort) <
                       std::tie(b.inode, b.state, b.localPort);
            };
            std::sort(got.begin(), got.end(), byInode);
            std::sort(want.begin(), want.end(), byInode);
            EXPECT_TRUE(std::equal(got.begin(), got.end(), want.begin(), want.end(), SameSocket))
                << "namespace " << i << ", table " << table;
            // What every namespace made: a listener and a client over
            // IPv4; two listeners and three connected ends over IPv6 (a
            // dual-stack listener's accepted end is IPv6); a bound UDP
            // socket of each family.
            if (all) {
                const size_t made[kTableCount] = {2, 1, 5, 1};
                EXPECT_EQ(got.size(), made[table]) << table;
            }
        }
    }
    auto rowIn = [&](size_t i, uint8_t state) {
        return std::any_of(fromHeld[i].sockets[kTcp4].begin(), fromHeld[i].sockets[kTcp4].end(),
                           [&](const InetSocket& s) { return s.inode == 0 && s.state == state; });
    };
    EXPECT_TRUE(rowIn(at(timeWait), 6)) << "TIME_WAIT";
    EXPECT_TRUE(rowIn(at(unaccepted), 1)) << "ESTABLISHED, not accepted";
    EXPECT_TRUE(rowIn(at(handshake), 3)) << "SYN_RECV";
    // Each parked listener, whose inode no walk told.
    for (const NamespaceChild* child : {&inFlight, &peerReset}) {
        const std::vector<InetSocket>& tcp = fromHeld[at(*child)].sockets[kTcp4];
        EXPECT_EQ(std::count_if(tcp.begin(), tcp.end(),
                                [&](const InetSocket& s) {
                                    return s.state == 10 &&
                                           std::none_of(told.begin(), told.end(),
                                                        [&](const WalkedSocket& w) {
                                                            return w.inode == s.inode;
                                                        });
                                }),
                  1)
            << at(*child);
    }
}

// As root, with the kernel's walk: a user whose namespaces each hold a
// socket no file holds, some kept by a socket alone, some root made and
// handed to her or holds for a process of hers, gets a bounded number of
// dumps, the rest read from what
// files hold and marked; root's own namespaces get every dump they ask
// for.
TEST(Namespaces, AUsersNamespacesGetABoundedNumberOfDumps) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "the test takes on another user from root";
    // A user no other test run beside this one takes on (their namespaces
    // would spend her dumps, and a pid may repeat in another container):
    // one drawn from a billion ids.
    const uid_t herUid = (uid_t{1} << 30) + std::random_device{}() % (uid_t{1} << 30);
    SCOPED_TRACE(herUid);
    // Hers: a user namespace of her own, a network namespace in it.
    auto herNamespace = [=] {
        std::string map = "0 " + std::to_string(herUid) + " 1";
        if (::unshare(CLONE_NEWUSER) != 0)
            return Report{};
        int fd = ::open("/proc/self/uid_map", O_WRONLY | O_CLOEXEC);
        bool mapped =
            fd >= 0 && ::write(fd, map.data(), map.size()) == static_cast<ssize_t>(map.size());
        if (fd >= 0)
            ::close(fd);
        return mapped ? MakeNamespace(LeaveTimeWait) : Report{};
    };
    auto become = [=] {
        return ::setgroups(0, nullptr) == 0 && ::setgid(herUid) == 0 && ::setuid(herUid) == 0 &&
               ::prctl(PR_SET_DUMPABLE, 1) == 0;
    };
    std::vector<std::unique_ptr<NamespaceChild>> hers, roots;
    for (size_t i = 0; i <= kDumpsPerUser; ++i) {
        hers.push_back(
            std::make_unique<NamespaceChild>([&] { return become() ? herNamespace() : Report{}; }));
        if (hers.back()->report().inode == 0)
            GTEST_SKIP() << "no user namespace for an ordinary user here";
        roots.push_back(
            std::make_unique<NamespaceChild>([] { return MakeNamespace(LeaveTimeWait); }));
        ASSERT_NE(roots.back()->report().inode, 0u);
    }
    // Two that root made and handed to her (as a set-user-id sandbox does):
    // hers by their holder, they spend her dumps.
    for (int i = 0; i < 2; ++i) {
        hers.push_back(std::make_unique<NamespaceChild>([&] {
            Report made = MakeNamespace(LeaveTimeWait);
            return become() ? made : Report{};
        }));
        ASSERT_NE(hers.back()->report().inode, 0u);
    }
    // One root made and holds every socket of, where a process of hers
    // lives (a set-user-id program's: her real id, root's effective one).
    hers.push_back(std::make_unique<NamespaceChild>([&] {
        Report made = MakeNamespace(LeaveTimeWait);
        pid_t resident = ::fork();
        if (resident == 0) {
            ::close_range(3, ~0u, 0);
            if (::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::setresuid(herUid, 0, 0) == 0)
                ::pause();
            ::_exit(1);
        }
        return resident > 0 ? made : Report{};
    }));
    ASSERT_NE(hers.back()->report().inode, 0u);
    // Two of hers that a socket alone keeps: made by a child of hers that
    // hands its socket back and ends.
    for (int i = 0; i < 2; ++i) {
        hers.push_back(std::make_unique<NamespaceChild>([&] {
            int pair[2];
            if (!become() || ::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, pair) != 0)
                return Report{};
            pid_t maker = ::fork();
            if (maker == 0) {
                Report made = herNamespace();
                uint16_t port = 0;
                int kept = LoopbackSocket(AF_INET, SOCK_DGRAM, port);
                ::_exit(kept >= 0 && SendDescriptor(pair[1], kept, &made, sizeof made) ? 0 : 1);
            }
            Report made;
            int status = 0;
            bool got = maker > 0 && ReceiveDescriptor(pair[0], &made, sizeof made) >= 0 &&
                       ::waitpid(maker, &status, 0) == maker && status == 0;
            return got ? made : Report{};
        }));
        ASSERT_NE(hers.back()->report().inode, 0u);
    }
    auto whose = [&](uint32_t inode) {
        for (const auto& child : hers)
            if (child->report().inode == inode)
                return 1;
        for (const auto& child : roots)
            if (child->report().inode == inode)
                return 2;
        return 0;
    };

    MachineTables tables;
    ReadMachineTables("/proc", tables);
    if (tables.ownerSource.find("the kernel's walk") == std::string::npos)
        GTEST_SKIP() << "no kernel walk here";
    size_t hersListed = 0, hersMarked = 0, rootsListed = 0;
    uint64_t lastDumped = 0, firstMarked = UINT64_MAX;
    for (const NetworkNamespace& ns : tables.namespaces) {
        const bool marked = !ns.name.empty() && ns.name.back() == '*';
        switch (whose(ns.inode)) {
        case 1:
            ++hersListed;
            if (marked) {
                ++hersMarked;
                firstMarked = std::min<uint64_t>(firstMarked, ns.inode);
                EXPECT_NE(tables.ownerSource.find(ns.name), std::string::npos) << ns.name;
            } else {
                lastDumped = std::max<uint64_t>(lastDumped, ns.inode);
            }
            break;
        case 2:
            ++rootsListed;
            EXPECT_FALSE(marked) << ns.name;
            break;
        }
    }
    EXPECT_EQ(hersListed, hers.size());
    EXPECT_EQ(hersMarked, hers.size() - kDumpsPerUser);
    EXPECT_EQ(rootsListed, roots.size());
    // Her dumps go to her namespaces by inode, so that a refresh marks the
    // same ones as the one before.
    EXPECT_LT(lastDumped, firstMarked);
    // A marked namespace's rows are those files hold: no TIME_WAIT.
    for (size_t table = 0; table < kTableCount; ++table) {
        for (const InetSocket& socket : tables.sockets[table]) {
            for (const NetworkNamespace& ns : tables.namespaces) {
                if (ns.inode == socket.netns && !ns.name.empty() && ns.name.back() == '*') {
                    EXPECT_NE(socket.inode, 0u) << ns.name;
                }
            }
        }
    }
}
