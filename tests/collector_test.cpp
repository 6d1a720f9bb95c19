// The administrator collector: its answer as composed and as read, the
// program's refusals, and the start as root for a user, which leaves the
// collector as the only root process.
#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ombrel/administrator.h>
#include <ombrel/refresh_scope.h>
#include <ombrel/services.h>

#include "platform/linux/collector/collector_answer.h"
#include "platform/linux/collector_answer.h"
#include "platform/linux/collector_link.h"
#include "platform/linux/owner_helper.h"
#include "temp_dir.h"
#include "walk_objects.h"

using namespace ombrel::platform;

namespace {

constexpr uid_t kNobody = 65534;

std::string FixtureRoot() {
    return std::string(OMBREL_FIXTURES) + "/proc-basic";
}

// A running collector with its two pipes.
struct Collector {
    pid_t pid = -1;
    int request = -1; // its input
    int answer = -1;  // its output

    // Starts program with args and the environment given (nothing else).
    static Collector Start(std::vector<std::string> args, std::vector<std::string> env = {}) {
        int in[2], out[2];
        Collector c;
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
            return c;
        std::vector<char*> argv, envp;
        for (auto& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        for (auto& entry : env)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        c.pid = ::fork();
        if (c.pid == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        c.request = in[1];
        c.answer = out[0];
        return c;
    }
    // Everything it writes until it closes its output.
    std::string ReadAll() const {
        std::string text;
        char chunk[65536];
        for (ssize_t got; (got = ::read(answer, chunk, sizeof chunk)) > 0;)
            text.append(chunk, static_cast<size_t>(got));
        return text;
    }
    std::string Read(size_t size) const {
        std::string text(size, '\0');
        for (size_t have = 0; have < size;) {
            ssize_t got = ::read(answer, text.data() + have, size - have);
            if (got <= 0)
                return text.substr(0, have);
            have += static_cast<size_t>(got);
        }
        return text;
    }
    // One request, one whole answer (through its header's size).
    std::string Ask() const {
        if (::write(request, &kCollectorRequest, 1) != 1)
            return {};
        std::string header = Read(sizeof(CollectorAnswerHeader));
        uint64_t size = CollectorAnswerSize(header.data(), header.size());
        return size == 0 ? header : header + Read(size - header.size());
    }
    int Wait() {
        if (request >= 0)
            ::close(request);
        request = -1;
        int status = 0;
        ::waitpid(pid, &status, 0);
        ::close(answer);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
};

const std::string kHello(kCollectorHello, sizeof kCollectorHello);

// Descriptor targets of a process, as root reads them.
// What a process's descriptors point at, but for the kernel objects of the
// descriptor walk it keeps loaded (program, map, link, type information):
// those are nobody's files and reach nothing of the caller's.
std::vector<std::string> Descriptors(pid_t pid) {
    std::vector<std::string> targets;
    std::string folder = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            char target[256] = {};
            if (entry->d_name[0] != '.' &&
                ::readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1) > 0 &&
                !IsWalkObject(target))
                targets.emplace_back(target);
        }
        ::closedir(dir);
    }
    return targets;
}

std::string StatusField(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(name + ":", 0) == 0)
            return line.substr(name.size() + 1);
    return {};
}

// The children of a process, by their parent field.
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    if (DIR* dir = ::opendir("/proc")) {
        while (dirent* entry = ::readdir(dir)) {
            std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
            std::string line;
            if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
                continue;
            std::istringstream rest(line.substr(line.rfind(')') + 2));
            char state;
            pid_t ppid = 0;
            rest >> state >> ppid;
            if (ppid == parent)
                children.push_back(std::atoi(entry->d_name));
        }
        ::closedir(dir);
    }
    return children;
}

// A listener on loopback that only this process holds.
int Listener(uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return -1;
    port = ntohs(address.sin_port);
    return fd;
}

} // namespace

// Where the owner scan cannot list a process's descriptors (here a tree
// whose folder is no folder: ENOTDIR, as want of descriptors or memory
// would be), the collector gives no answer rather than one that says nobody
// holds what it could not read; the same tree whole answers.
TEST(CollectorAnswer, OwnersThatCouldNotBeReadWholeGiveNoAnswer) {
    TempDir dir;
    const std::string root = dir.path() + "/proc";
    std::filesystem::copy(FixtureRoot(), root,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::copy_symlinks);
    {
        ProcRootOverride whole(root);
        EXPECT_FALSE(ComposeCollectorAnswer(root).empty());
    }
    std::filesystem::remove_all(root + "/100/fd");
    dir.Write("proc/100/fd", "not a folder");
    ProcRootOverride holed(root);
    EXPECT_TRUE(ComposeCollectorAnswer(root).empty());
}

// What the collector writes, the window's layer reads back exactly.
TEST(CollectorAnswer, ReadsBackWhatWasComposed) {
    ProcRootOverride fixture(FixtureRoot());
    MachineTables expected;
    ReadMachineTables(FixtureRoot(), expected);
    std::string composed = ComposeCollectorAnswer(FixtureRoot());
    CollectorAnswer answer;
    ASSERT_TRUE(ParseCollectorAnswer(composed.data(), composed.size(), answer));
    size_t rows = 0;
    for (size_t table = 0; table < kTableCount; ++table) {
        EXPECT_EQ(answer.tables.read[table], expected.read[table]);
        ASSERT_EQ(answer.tables.sockets[table].size(), expected.sockets[table].size());
        EXPECT_EQ(answer.tables.owners[table], expected.owners[table]);
        EXPECT_EQ(answer.tables.ownerStarts[table], expected.ownerStarts[table]);
        for (size_t i = 0; i < expected.sockets[table].size(); ++i) {
            const InetSocket& a = answer.tables.sockets[table][i];
            const InetSocket& e = expected.sockets[table][i];
            EXPECT_EQ(std::tie(a.state, a.v6, a.localAddr, a.localPort, a.remoteAddr, a.remotePort,
                               a.local6, a.remote6),
                      std::tie(e.state, e.v6, e.localAddr, e.localPort, e.remoteAddr, e.remotePort,
                               e.local6, e.remote6));
        }
        rows += expected.sockets[table].size();
    }
    EXPECT_GT(rows, 0u);
    ASSERT_FALSE(answer.owners.empty());
    for (const CollectedOwner& owner : answer.owners)
        EXPECT_FALSE(owner.name.empty()) << owner.pid; // the fixture's comm files
}

// Anything but one whole, consistent answer is refused, leaving nothing.
TEST(CollectorAnswer, RefusesTruncatedOversizedForgedAndInterleavedAnswers) {
    std::string good = ComposeCollectorAnswer(FixtureRoot());
    CollectorAnswer answer;
    ASSERT_TRUE(ParseCollectorAnswer(good.data(), good.size(), answer));
    ASSERT_FALSE(answer.owners.empty());

    auto refused = [&](const std::string& bytes) {
        CollectorAnswer out;
        out.owners.push_back({});
        bool parsed = ParseCollectorAnswer(bytes.data(), bytes.size(), out);
        return !parsed && out.owners.empty() && out.tables.sockets[kTcp4].empty();
    };
    for (size_t cut : {size_t{0}, size_t{7}, sizeof(CollectorAnswerHeader) - 1,
                       sizeof(CollectorAnswerHeader) + 3, good.size() / 2, good.size() - 1})
        EXPECT_TRUE(refused(good.substr(0, cut))) << "cut at " << cut;
    EXPECT_TRUE(refused(good + "x"));
    EXPECT_TRUE(refused(good + good)); // two answers where one was asked for
    EXPECT_TRUE(refused(good.substr(0, 20) + good + good.substr(20)));

    auto header = [&](std::string bytes, auto change) {
        CollectorAnswerHeader h;
        std::memcpy(&h, bytes.data(), sizeof h);
        change(h);
        std::memcpy(bytes.data(), &h, sizeof h);
        return bytes;
    };
    EXPECT_TRUE(refused(header(good, [](auto& h) { h.magic[7] = '1'; })));
    EXPECT_TRUE(refused(header(good, [](auto& h) { h.rows[0] += 1; })));
    EXPECT_TRUE(refused(header(good, [](auto& h) { h.size += 56; })));
    EXPECT_TRUE(refused(header(good, [](auto& h) { h.tablesRead = 0; })));
    EXPECT_TRUE(refused(header(good, [](auto& h) { h.owners = 0xFFFFFFFF; })));
    EXPECT_TRUE(refused(header(good, [](auto& h) {
        h.rows[0] = kCollectorMaxRows;
        h.size = UINT64_MAX;
    })));
    // Counts that agree with the size but add up to more than an answer may
    // be: the reader never sets memory aside for them.
    std::string huge = header(good, [](auto& h) {
        h.rows[0] = kCollectorMaxRows;
        h.rows[1] = h.rows[2] = h.rows[3] = 0;
        h.owners = kCollectorMaxOwners;
        h.textSize = 500000000;
        h.size = sizeof h + uint64_t{h.rows[0]} * sizeof(CollectorRow) +
                 uint64_t{h.owners} * sizeof(CollectorOwner) + h.textSize;
    });
    EXPECT_EQ(CollectorAnswerSize(huge.data(), huge.size()), 0u);
    EXPECT_EQ(CollectorAnswerSize(header(good, [](auto& h) { h.textSize = 0xFFFFFFF0; }).data(),
                                  good.size()),
              0u);

    CollectorAnswerHeader h;
    std::memcpy(&h, good.data(), sizeof h);
    size_t rows = h.rows[0] + h.rows[1] + h.rows[2] + h.rows[3];
    size_t firstRow = sizeof h;
    size_t firstOwner = firstRow + rows * sizeof(CollectorRow);
    auto row = [&](auto change) {
        std::string bytes = good;
        CollectorRow r;
        std::memcpy(&r, bytes.data() + firstRow, sizeof r);
        change(r);
        std::memcpy(bytes.data() + firstRow, &r, sizeof r);
        return bytes;
    };
    auto owner = [&](auto change) {
        std::string bytes = good;
        CollectorOwner o;
        std::memcpy(&o, bytes.data() + firstOwner, sizeof o);
        change(o);
        std::memcpy(bytes.data() + firstOwner, &o, sizeof o);
        return bytes;
    };
    // A row owned by a process the answer has no record of, and a record
    // no row names.
    EXPECT_TRUE(refused(row([](auto& r) { r.pid = 999999; })));
    EXPECT_TRUE(refused(row([](auto& r) { r.reserved[1] = 1; })));
    EXPECT_TRUE(refused(owner([](auto& o) { o.pid = 0; })));
    EXPECT_TRUE(refused(owner([](auto& o) { o.nameOffset = 0xFFFFFFF0; })));
    EXPECT_TRUE(refused(owner([](auto& o) { o.pathSize = kCollectorMaxPath + 1; })));
    EXPECT_TRUE(refused(owner([](auto& o) { o.pathRead = 2; })));
    EXPECT_TRUE(refused(owner([](auto& o) { o.reserved = 1; })));
    EXPECT_TRUE(refused(owner([](auto& o) {
        o.pathRead = 1; // a path that is not absolute
        o.pathSize = o.nameSize;
        o.pathOffset = o.nameOffset;
    })));
    if (h.owners >= 2) {
        CollectorOwner first, second;
        std::memcpy(&first, good.data() + firstOwner, sizeof first);
        std::memcpy(&second, good.data() + firstOwner + sizeof first, sizeof second);
        std::string swapped = good;
        std::memcpy(swapped.data() + firstOwner, &second, sizeof second);
        std::memcpy(swapped.data() + firstOwner + sizeof second, &first, sizeof first);
        EXPECT_TRUE(refused(swapped)); // owners out of order (or twice)
    }
}

TEST(CollectorProgram, RefusesArgumentsAndEndsOnAStrayByteOrItsInputsEnd) {
    Collector withArgument = Collector::Start({OMBREL_COLLECTOR, "--help"});
    EXPECT_EQ(withArgument.ReadAll(), "");
    EXPECT_EQ(withArgument.Wait(), 2);

    Collector stray = Collector::Start({OMBREL_COLLECTOR});
    EXPECT_EQ(stray.Read(kHello.size()), kHello);
    ASSERT_EQ(::write(stray.request, "x", 1), 1);
    EXPECT_EQ(stray.ReadAll(), ""); // nothing more, and it ended
    EXPECT_EQ(stray.Wait(), 1);

    Collector asked = Collector::Start({OMBREL_COLLECTOR});
    EXPECT_EQ(asked.Read(kHello.size()), kHello);
    std::string first = asked.Ask();
    CollectorAnswer answer;
    EXPECT_TRUE(ParseCollectorAnswer(first.data(), first.size(), answer));
    EXPECT_EQ(asked.Wait(), 0); // its input closed
}

// The variables a display, a bus or Qt would take are handed to it: it
// answers all the same, opening no connection. (The loader's variables are
// its starters' to keep from it.)
TEST(CollectorProgram, IgnoresTheEnvironmentItIsHanded) {
    TempDir dir;
    std::string busPath = dir.path() + "/bus";
    int bus = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, busPath.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(bus, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(bus, 4), 0);
    std::string xauthority = dir.path() + "/xauthority";
    ASSERT_EQ(::mkfifo(xauthority.c_str(), 0600), 0); // an open would be seen

    Collector c = Collector::Start(
        {OMBREL_COLLECTOR},
        {"DBUS_SESSION_BUS_ADDRESS=unix:path=" + busPath, "DISPLAY=:0", "XAUTHORITY=" + xauthority,
         "QT_QPA_PLATFORM_PLUGIN_PATH=" + dir.path(), "QT_PLUGIN_PATH=" + dir.path()});
    EXPECT_EQ(c.Read(kHello.size()), kHello);
    std::string first = c.Ask();
    CollectorAnswer answer;
    EXPECT_TRUE(ParseCollectorAnswer(first.data(), first.size(), answer));
    // At rest it holds its two pipes and the error output, nothing else:
    // no socket, no file of the caller's.
    std::vector<std::string> held = Descriptors(c.pid);
    EXPECT_EQ(held.size(), 3u);
    for (const std::string& target : held)
        EXPECT_TRUE(target.rfind("pipe:", 0) == 0 || target == "/dev/null") << target;
    EXPECT_EQ(::accept(bus, nullptr, nullptr), -1);                   // nobody called the bus
    EXPECT_EQ(::open(xauthority.c_str(), O_WRONLY | O_NONBLOCK), -1); // nor opened the cookie
    EXPECT_EQ(errno, ENXIO);
    EXPECT_EQ(c.Wait(), 0);
    ::close(bus);
}

// sudo and pkexec starts for a user: the process becomes that user for good,
// and only the collector it started first stays root. Through it, the user's
// refresh knows the owner and program of a socket only root may see.
TEST(AdministratorStart, ForAUserOnlyTheCollectorStaysRoot) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to start as root for another user";
    for (std::vector<std::string> env :
         {std::vector<std::string>{"PKEXEC_UID=65534"},
          std::vector<std::string>{"SUDO_UID=65534", "SUDO_GID=65534", "DISPLAY=:0"}}) {
        uint16_t port = 0;
        int listener = Listener(port);
        ASSERT_GE(listener, 0);
        int report[2], go[2];
        ASSERT_EQ(::pipe(report), 0);
        ASSERT_EQ(::pipe(go), 0);
        pid_t parent = ::getpid();
        pid_t child = ::fork();
        if (child == 0) {
            ::close(listener); // the socket is the test's alone
            ::close(report[0]);
            ::close(go[1]);
            ::unsetenv("PKEXEC_UID");
            ::unsetenv("SUDO_UID");
            for (std::string& entry : env)
                ::putenv(entry.data());
            CollectorPathOverride collector(OMBREL_COLLECTOR);
            std::string message;
            StartRights rights = LeaveRootForTheUser(message);
            uid_t r, e, s;
            ::getresuid(&r, &e, &s);
            gid_t groups[8];
            int count = ::getgroups(8, groups);
            std::ostringstream out;
            out << (rights == StartRights::ForUser) << ' ' << r << ' ' << e << ' ' << s << ' '
                << count << ' ' << (count > 0 ? groups[0] : 0) << ' '
                << (CurrentAdministratorMode() == AdministratorMode::Collecting) << ' '
                << (std::getenv("PKEXEC_UID") == nullptr && std::getenv("SUDO_UID") == nullptr)
                << ' ' << std::getenv("HOME") << ' ';
            {
                RefreshScope scope;
                MachineTables tables;
                bool asked = AskCollector(tables);
                uint32_t owner = 0;
                for (size_t i = 0; i < tables.sockets[kTcp4].size(); ++i)
                    if (ntohs(tables.sockets[kTcp4][i].localPort) == port &&
                        tables.sockets[kTcp4][i].state == 10)
                        owner = tables.owners[kTcp4][i];
                const CollectedOwner* known = CollectedOwnerOf(owner);
                out << asked << ' ' << owner << ' ' << (known ? known->path : "-") << '\n';
            }
            std::string text = out.str();
            (void)!::write(report[1], text.data(), text.size());
            ::close(report[1]);
            char wait;
            (void)!::read(go[0], &wait, 1); // the test looks at the collector meanwhile
            StopCollector();
            ::_exit(0);
        }
        ::close(report[1]);
        ::close(go[0]);
        std::string text;
        char chunk[1024];
        for (ssize_t got; (got = ::read(report[0], chunk, sizeof chunk)) > 0;)
            text.append(chunk, static_cast<size_t>(got));
        ::close(report[0]);

        std::istringstream fields(text);
        int forUser = 0, collecting = 0, cleared = 0, asked = 0, groupCount = 0;
        uid_t r = 0, e = 0, s = 0, firstGroup = 0, owner = 0;
        std::string home, path;
        fields >> forUser >> r >> e >> s >> groupCount >> firstGroup >> collecting >> cleared >>
            home >> asked >> owner >> path;
        EXPECT_EQ(forUser, 1) << text;
        EXPECT_EQ(std::tie(r, e, s), std::tie(kNobody, kNobody, kNobody));
        EXPECT_EQ(groupCount, 1); // nobody's own group alone
        EXPECT_EQ(firstGroup, kNobody);
        EXPECT_EQ(collecting, 1);
        EXPECT_EQ(cleared, 1);
        EXPECT_EQ(home, "/nonexistent"); // nobody's home, not root's
        EXPECT_EQ(asked, 1);
        EXPECT_EQ(owner, static_cast<uid_t>(parent));
        char self[4096] = {};
        ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
        EXPECT_EQ(path, self);

        std::vector<pid_t> children = ChildrenOf(child);
        ASSERT_EQ(children.size(), 1u);
        pid_t collector = children[0];
        EXPECT_EQ(StatusField(collector, "Uid").substr(0, 2), "\t0");
        std::vector<std::string> held = Descriptors(collector);
        for (const std::string& target : held)
            EXPECT_TRUE(target.rfind("pipe:", 0) == 0 || target == "/dev/null") << target;
        EXPECT_EQ(StatusField(child, "Uid"), "\t65534\t65534\t65534\t65534");

        ::close(go[1]);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        EXPECT_NE(::kill(collector, 0), 0); // ended with the window
        ::close(listener);
    }
}

TEST(AdministratorStart, RootsOwnStartAndBadUsersAreNotTakenForAUsersStart) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to start as root for another user";
    pid_t child = ::fork();
    if (child == 0) {
        ::unsetenv("PKEXEC_UID");
        ::unsetenv("SUDO_UID");
        std::string message;
        bool own = LeaveRootForTheUser(message) == StartRights::Own && ::geteuid() == 0;
        ::setenv("SUDO_UID", "0", 1); // root sudo'ing itself: still root's own
        own = own && LeaveRootForTheUser(message) == StartRights::Own;
        ::setenv("PKEXEC_UID", "65534x", 1);
        bool refused = LeaveRootForTheUser(message) == StartRights::Refused && !message.empty() &&
                       message.find('\n') == std::string::npos;
        ::setenv("PKEXEC_UID", "4000000000", 1); // no such user
        refused = refused && LeaveRootForTheUser(message) == StartRights::Refused;
        ::_exit(own && refused && ::geteuid() == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// pkexec hands the program no display (its action lets no window open) and
// sudo resets the environment: the window, once the user's, takes the
// display of the user's own process that started it.
TEST(AdministratorStart, TheWindowTakesTheDisplayOfTheUsersOwnStarter) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to start as root for another user";
    int report[2], started[2], input[2];
    ASSERT_EQ(::pipe(report), 0);
    ASSERT_EQ(::pipe2(started, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe(input), 0);
    pid_t starter = ::fork();
    if (starter == 0) {
        ::close(report[0]);
        pid_t program = ::fork();
        if (program == 0) {
            // The program pkexec would start: root, without a display.
            ::close(started[1]);
            ::close(input[0]);
            ::close(input[1]);
            char done;
            (void)!::read(started[0], &done, 1); // the starter's shell runs
            ::unsetenv("DISPLAY");
            ::unsetenv("WAYLAND_DISPLAY");
            ::unsetenv("SUDO_UID");
            ::setenv("PKEXEC_UID", "65534", 1);
            CollectorPathOverride collector(OMBREL_COLLECTOR);
            std::string message;
            bool forUser = LeaveRootForTheUser(message) == StartRights::ForUser;
            const char* display = std::getenv("DISPLAY");
            std::string text = std::string(forUser ? "1 " : "0 ") + (display ? display : "-");
            (void)!::write(report[1], text.data(), text.size());
            StopCollector();
            ::_exit(0);
        }
        // The user's shell, with its display, waiting on its input.
        ::close(report[1]);
        ::dup2(input[0], 0);
        ::close(input[1]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)
            ::_exit(126);
        // The shell itself says it runs: the end of the exec is seen before
        // the new image's environment can be read. It stays the starter
        // (cat is its child), so no exec of its own races the reading.
        if (::dup2(started[1], 3) != 3)
            ::_exit(126);
        char sh[] = "/bin/sh", dash_c[] = "-c", script[] = "echo >&3; exec 3>&-; cat >/dev/null";
        char* argv[] = {sh, dash_c, script, nullptr};
        char display[] = "DISPLAY=:77", xauthority[] = "XAUTHORITY=/tmp/nobody-cookie";
        char* envp[] = {display, xauthority, nullptr};
        ::execve(sh, argv, envp);
        ::_exit(127);
    }
    ::close(report[1]);
    ::close(started[0]);
    ::close(started[1]);
    ::close(input[0]);
    std::string text;
    char chunk[256];
    for (ssize_t got; (got = ::read(report[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<size_t>(got));
    ::close(report[0]);
    ::close(input[1]); // the shell's input ends, and with it the shell
    int status = 0;
    ::waitpid(starter, &status, 0);
    EXPECT_EQ(text, "1 :77");
}

// A set-user-id-root start keeps the collector as root and the rest as the
// user who ran it; a set-group-id start without root only goes back to the
// ids it was started with.
TEST(AdministratorStart, SetIdStartsGoBackToTheUserWhoRanThem) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to start as root for another user";
    pid_t child = ::fork();
    if (child == 0) {
        ::unsetenv("PKEXEC_UID");
        ::unsetenv("SUDO_UID");
        // As the kernel starts a set-user-id-root program for nobody.
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
            ::setresuid(kNobody, 0, 0) != 0)
            ::_exit(126);
        CollectorPathOverride collector(OMBREL_COLLECTOR);
        std::string message;
        bool forUser = LeaveRootForTheUser(message) == StartRights::ForUser;
        uid_t r = 0, e = 0, s = 0;
        ::getresuid(&r, &e, &s);
        bool collecting = CurrentAdministratorMode() == AdministratorMode::Collecting;
        std::vector<pid_t> children = ChildrenOf(::getpid());
        StopCollector();
        ::_exit(forUser && r == kNobody && e == kNobody && s == kNobody && collecting &&
                        children.size() == 1
                    ? 0
                    : 1);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "set-user-id root";

    child = ::fork();
    if (child == 0) {
        ::unsetenv("PKEXEC_UID");
        ::unsetenv("SUDO_UID");
        constexpr gid_t kAdm = 4;
        if (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kAdm, kAdm) != 0 ||
            ::setresuid(kNobody, kNobody, kNobody) != 0)
            ::_exit(126);
        std::string message;
        bool forUser = LeaveRootForTheUser(message) == StartRights::ForUser;
        gid_t r = 0, e = 0, s = 0;
        ::getresgid(&r, &e, &s);
        ::_exit(forUser && r == kNobody && e == kNobody && s == kNobody &&
                        CurrentAdministratorMode() == AdministratorMode::Off
                    ? 0
                    : 1);
    }
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "set-group-id";
}

namespace {

// A stand-in collector in a child of the test, talking on two pipes the
// layer is attached to; behave gets its input and output.
template <typename Behave> pid_t AttachFake(Behave behave) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(in[1]);
        ::close(out[0]);
        behave(in[0], out[1]);
        ::_exit(0);
    }
    ::close(in[0]);
    ::close(out[1]);
    AttachCollector(in[1], out[0], pid);
    return pid;
}

bool Asked(MachineTables& tables) {
    RefreshScope scope;
    return AskCollector(tables);
}

} // namespace

// The window's side of the conversation: an answer cut short, one that came
// unasked or twice, or a header of another program's gives the user's own
// view and says why.
// pkexec is named the collector's file itself: its links followed, a
// relative path taken from the working folder, anything else refused.
TEST(CollectorLink, TheCollectorIsNamedByItsOwnPath) {
    using ombrel::platform::CollectorPath;
    using ombrel::platform::CollectorPathOverride;
    TempDir dir;
    std::string collector = dir.Write("libexec/ombrel/collector");
    dir.Link("bin/collector", "../libexec/ombrel/collector");
    dir.Link("via", dir.path() + "/bin");
    {
        CollectorPathOverride path(dir.path() + "/via/../via/collector");
        EXPECT_EQ(CollectorPath(), collector);
    }
    char saved[PATH_MAX];
    ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
    ASSERT_EQ(::chdir(dir.path().c_str()), 0);
    {
        CollectorPathOverride path("via/collector");
        EXPECT_EQ(CollectorPath(), collector);
    }
    ASSERT_EQ(::chdir(saved), 0);
    for (const std::string& path : {dir.path() + "/libexec", dir.path() + "/none", std::string()}) {
        CollectorPathOverride wrong(path);
        EXPECT_EQ(CollectorPath(), "") << path;
    }
}

TEST(CollectorLink, CutShortUnaskedAndForeignAnswersLeaveTheUsersView) {
    std::string good = ComposeCollectorAnswer(FixtureRoot());
    // Each request gets reply (twice, when asked to); once ends it after
    // the first.
    auto answering = [&](std::string reply, bool twice, bool once = false) {
        return [reply, twice, once](int in, int out) {
            char request;
            // Twice in one write, whole in the pipe before the reader looks.
            std::string bytes = twice ? reply + reply : reply;
            while (::read(in, &request, 1) == 1) {
                (void)!::write(out, bytes.data(), bytes.size());
                if (once)
                    return;
            }
        };
    };
    MachineTables tables;

    AttachFake(answering(good, false));
    EXPECT_TRUE(Asked(tables));
    EXPECT_TRUE(Asked(tables));
    EXPECT_EQ(CurrentAdministratorMode(), AdministratorMode::Collecting);
    StopCollector();

    AttachFake(answering(good.substr(0, good.size() - 9), false, true)); // then it ends
    EXPECT_FALSE(Asked(tables));
    EXPECT_EQ(LastCollectorFailure(), CollectorFailure::Gone);
    EXPECT_EQ(CurrentAdministratorMode(), AdministratorMode::Unavailable);

    ASSERT_LE(2 * good.size(), size_t{PIPE_BUF});
    AttachFake(answering(good, true));
    EXPECT_TRUE(Asked(tables));
    EXPECT_FALSE(Asked(tables)); // the second copy was there before the request
    EXPECT_EQ(LastCollectorFailure(), CollectorFailure::WrongAnswer);

    AttachFake(answering(std::string(sizeof(CollectorAnswerHeader), 'x'), false));
    EXPECT_FALSE(Asked(tables));
    EXPECT_EQ(LastCollectorFailure(), CollectorFailure::WrongAnswer);
    EXPECT_FALSE(Asked(tables)); // and it is not asked again
    StopCollector();
}

// The companions an installed program runs as root are trusted only on a
// path root alone holds: no link, no folder another may write, no file of
// another's.
TEST(CompanionPrograms, OnlyAPathRootAloneHoldsIsTrusted) {
    EXPECT_TRUE(HeldByRootAlone("/usr/bin/env"));
    EXPECT_FALSE(HeldByRootAlone("/usr/bin"));    // a folder
    EXPECT_FALSE(HeldByRootAlone("usr/bin/env")); // not absolute
    EXPECT_FALSE(HeldByRootAlone("/usr/bin/../bin/env"));
    EXPECT_FALSE(HeldByRootAlone("/usr/bin/no-such-program"));
    TempDir dir("/var/tmp"); // under a folder everyone may write
    std::string own = dir.Write("ombrel-collector");
    EXPECT_FALSE(HeldByRootAlone(own));
    // A hard link to root's file, in a folder of a user's, is the user's
    // choice, whoever owns the file.
    std::string linked = dir.path() + "/env";
    if (::link("/usr/bin/env", linked.c_str()) == 0) {
        EXPECT_FALSE(HeldByRootAlone(linked));
    }
    dir.Link("bin", "/usr/bin");
    EXPECT_FALSE(HeldByRootAlone(dir.path() + "/bin/env"));
    // Below root's folders, a link is refused even where it leads to root's.
    for (const char* folder : {"/bin", "/lib", "/sbin"}) {
        struct stat info {};
        if (::lstat(folder, &info) == 0 && S_ISLNK(info.st_mode)) {
            EXPECT_FALSE(HeldByRootAlone(std::string(folder) + "/sh")) << folder;
        }
    }
}
