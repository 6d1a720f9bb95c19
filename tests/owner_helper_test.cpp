// The owner helper as a program (its refusals, the capabilities it keeps),
// the layer's use of it and its fall-back to its own scan, and a root
// window's launches as the user it runs for.
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <shellapi.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <iphlpapi.h>
#include <ombrel/services.h>

#include "capable_copy.h"
#include "platform/linux/base/fd.h"
#include "platform/linux/base/procfs.h"
#include "platform/linux/owners/owner_helper.h"
#include "platform/linux/owners/socket_holders.h"
#include "run_program.h"
#include "scoped_env.h"
#include "temp_dir.h"

using namespace ombrel::platform;

namespace {

constexpr uid_t kNobody = 65534;

using Ran = ProgramRun;

// Runs a program with no environment; before it, the child may become a
// user or mount a /proc of its own.
template <typename Prepare>
Ran RunProgram(const std::string& program, const char* arg, Prepare prepare) {
    std::vector<std::string> args{program};
    if (arg != nullptr)
        args.emplace_back(arg);
    char* envp[] = {nullptr};
    return ::RunProgram(std::move(args), envp, prepare);
}

bool AsNobody() {
    return BecomeUser(kNobody);
}

// A listener on 127.0.0.1 held by this (root) process.
struct Listener {
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof addr;
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), length);
        ::listen(fd, 1);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
        port = ntohs(addr.sin_port);
        struct stat info {};
        ::fstat(fd, &info);
        inode = info.st_ino;
    }
    ~Listener() { ::close(fd); }
    int fd = -1;
    int port = 0;
    uint64_t inode = 0;
};

std::string Records(std::initializer_list<OwnerRecord> records) {
    OwnerRecordsHeader header{};
    std::memcpy(header.magic, kOwnerRecordsMagic, sizeof header.magic);
    header.count = records.size();
    std::string text(reinterpret_cast<const char*>(&header), sizeof header);
    for (const OwnerRecord& record : records)
        text.append(reinterpret_cast<const char*>(&record), sizeof record);
    return text;
}

// The owner the layer's TCP table gives the port.
DWORD OwnerOf(int port) {
    PVOID raw = nullptr;
    if (AllocateAndGetTcpExTableFromStack(&raw, TRUE, GetProcessHeap(), 0, 2) != 0)
        return 0xFFFFFFFFu;
    auto* table = static_cast<MIB_TCPEXTABLE*>(raw);
    DWORD owner = 0xFFFFFFFFu;
    for (DWORD i = 0; i < table->dwNumEntries; ++i)
        if (ntohs(static_cast<uint16_t>(table->table[i].dwLocalPort)) == port)
            owner = table->table[i].dwProcessId;
    HeapFree(GetProcessHeap(), 0, raw);
    return owner;
}

} // namespace

TEST(OwnerHelper, RefusesArgumentsAndAHiddenProcessTree) {
    Ran withArgument = RunProgram(OMBREL_OWNERS, "x", [] { return true; });
    EXPECT_EQ(withArgument.exitCode, 2);
    EXPECT_TRUE(withArgument.out.empty());

    // A /proc of its own, mounted with hidepid=2 in a private mount
    // namespace: the helper writes nothing.
    Ran hidden = RunProgram(OMBREL_OWNERS, nullptr, [] {
        return ::unshare(CLONE_NEWNS) == 0 &&
               ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
               ::mount("proc", "/proc", "proc", 0, "hidepid=2") == 0;
    });
    if (hidden.exitCode == 126)
        GTEST_SKIP() << "no mount namespace or /proc mount here";
    EXPECT_EQ(hidden.exitCode, 1);
    EXPECT_TRUE(hidden.out.empty());
}

// Given the two capabilities and run as nobody, the helper names root's
// listener, then writes holding no capability at all.
TEST(OwnerHelper, SeesEveryHolderAndWritesWithoutCapabilities) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for another user's listener and a file capability";
    Listener listener;
    TempDir dir;
    std::string helper = CapableCopy(dir, OMBREL_OWNERS_REPORT, "ombrel-owners", true, true);
    if (helper.empty())
        GTEST_SKIP() << "this file system holds no file capabilities";
    Ran run = RunProgram(helper, nullptr, AsNobody);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    std::vector<OwnerRecord> records;
    ASSERT_TRUE(ParseOwnerRecords(run.out.data(), run.out.size(), records));
    bool found = false;
    for (const OwnerRecord& record : records)
        found = found ||
                (record.inode == listener.inode && record.pid == static_cast<uint32_t>(::getpid()));
    EXPECT_TRUE(found);
    for (const char* set : {"CapInh:", "CapPrm:", "CapEff:", "CapAmb:"})
        EXPECT_NE(run.err.find(std::string(set) + "\t0000000000000000"), std::string::npos)
            << set << " in\n"
            << run.err;

    // Without the capabilities it sees only nobody's own processes.
    std::string plain = CapableCopy(dir, OMBREL_OWNERS, "ombrel-owners-plain", false, true);
    run = RunProgram(plain, nullptr, AsNobody);
    ASSERT_EQ(run.exitCode, 0);
    ASSERT_TRUE(ParseOwnerRecords(run.out.data(), run.out.size(), records));
    for (const OwnerRecord& record : records)
        EXPECT_NE(record.inode, listener.inode);
}

// Short of descriptors, the helper answers whole or not at all: it fails
// and writes nothing, never an answer that says nobody holds the sockets
// it could not read. With none to spare beside /proc it must fail; with
// one it can still scan, one folder at a time.
TEST(OwnerHelper, AnUnreadableProcessTreeIsAFailureNotAnEmptyAnswer) {
    Listener listener;
    for (rlim_t limit : {rlim_t{4}, rlim_t{5}, rlim_t{6}, rlim_t{8}, rlim_t{64}}) {
        Ran run = RunProgram(OMBREL_OWNERS, nullptr, [&] {
            ::close_range(3, ~0U, 0); // its limit counts from here
            rlimit few{limit, limit};
            return ::setrlimit(RLIMIT_NOFILE, &few) == 0;
        });
        if (limit == 4 || run.exitCode != 0) {
            EXPECT_EQ(run.exitCode, 1) << "limit " << limit;
            EXPECT_TRUE(run.out.empty()) << "limit " << limit;
            continue;
        }
        std::vector<OwnerRecord> records;
        ASSERT_TRUE(ParseOwnerRecords(run.out.data(), run.out.size(), records));
        EXPECT_TRUE(
            std::any_of(records.begin(), records.end(),
                        [&](const OwnerRecord& record) { return record.inode == listener.inode; }))
            << "limit " << limit;
    }
}

// With CAP_BPF and CAP_PERFMON beside its two, the helper run as nobody
// takes the kernel's walk, and names the holders of another user's sockets
// (root's: a listener, and one a child inherited) as its scan does, with
// their start times; with its two alone it scans.
TEST(OwnerHelper, TakesTheKernelsWalkWhereItMay) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root for another user's sockets and file capabilities";
    std::vector<SocketHolder> probe;
    if (!ReadSocketHolders(probe))
        GTEST_SKIP() << "no kernel walk here: " << SocketHoldersRefusal();
    Listener listener;
    int release[2];
    ASSERT_EQ(::pipe2(release, O_CLOEXEC), 0);
    pid_t child = ::fork(); // inherits the listener
    if (child == 0) {
        ::close(release[1]);
        char byte;
        (void)!::read(release[0], &byte, 1);
        ::_exit(0);
    }
    ::close(release[0]);
    TempDir dir;
    constexpr uint64_t kDebug = uint64_t{1} << CAP_DAC_READ_SEARCH | uint64_t{1} << CAP_SYS_PTRACE;
    constexpr uint64_t kWalk = uint64_t{1} << CAP_BPF | uint64_t{1} << CAP_PERFMON;
    std::string walker =
        CapableCopyWith(dir, OMBREL_OWNERS_REPORT, "ombrel-owners-walk", kDebug | kWalk, true);
    std::string scanner =
        CapableCopyWith(dir, OMBREL_OWNERS_REPORT, "ombrel-owners-scan", kDebug, true);
    Ran walked, scanned;
    if (!walker.empty()) {
        walked = RunProgram(walker, nullptr, AsNobody);
        // The scan answers whole or not at all: while other processes'
        // threads keep ending (another test's, another user's) it may
        // rightly refuse; a few tries find a quiet moment.
        for (int attempt = 0; attempt < 5; ++attempt) {
            scanned = RunProgram(scanner, nullptr, AsNobody);
            if (scanned.exitCode != 1 || !scanned.out.empty())
                break;
        }
    }
    ::close(release[1]);
    ::waitpid(child, nullptr, 0);
    if (walker.empty())
        GTEST_SKIP() << "this file system holds no file capabilities";

    ASSERT_EQ(walked.exitCode, 0) << walked.err;
    if (walked.err.find("has no libbpf") != std::string::npos)
        GTEST_SKIP() << "the helper is built without the walk here (no static libbpf)";
    EXPECT_NE(walked.err.find("Source: the kernel's walk"), std::string::npos) << walked.err;
    EXPECT_NE(walked.err.find("CapEff:\t0000000000000000"), std::string::npos) << walked.err;
    if (scanned.exitCode == 1 && scanned.out.empty())
        GTEST_SKIP() << "the scan could not be read whole five times over: threads kept ending";
    ASSERT_EQ(scanned.exitCode, 0) << scanned.err;
    EXPECT_NE(scanned.err.find("Source: a scan of /proc"), std::string::npos) << scanned.err;
    // Each way's holders of the listener: pid and start time.
    auto holders = [&](const Ran& run) {
        std::vector<OwnerRecord> records;
        EXPECT_TRUE(ParseOwnerRecords(run.out.data(), run.out.size(), records));
        std::set<std::pair<uint32_t, uint64_t>> found;
        for (const OwnerRecord& record : records)
            if (record.inode == listener.inode)
                found.emplace(record.pid, record.startTime);
        return found;
    };
    auto startOf = [](pid_t pid) {
        std::optional<TaskStat> stat = ReadTaskStat("/proc", static_cast<uint32_t>(pid));
        return stat ? stat->startTime : 0;
    };
    std::set<std::pair<uint32_t, uint64_t>> expected{
        {static_cast<uint32_t>(::getpid()), startOf(::getpid())}};
    std::set<std::pair<uint32_t, uint64_t>> byWalk = holders(walked);
    EXPECT_TRUE(byWalk.count(*expected.begin())) << "the listener's maker";
    EXPECT_TRUE(std::any_of(byWalk.begin(), byWalk.end(), [&](const auto& holder) {
        return holder.first == static_cast<uint32_t>(child);
    })) << "the child that inherited it";
    EXPECT_EQ(byWalk, holders(scanned));
}

// The helper tells of the four tables' sockets alone: a unix, netlink or
// packet socket a process holds is none of the caller's business.
TEST(OwnerHelper, ReportsOnlyTcpAndUdpSockets) {
    Listener listener;
    auto inodeOf = [](int fd) {
        struct stat info {};
        return fd >= 0 && ::fstat(fd, &info) == 0 ? static_cast<uint64_t>(info.st_ino) : 0;
    };
    int udp = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    int netlink = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    std::vector<OwnerRecord> records;
    ASSERT_TRUE(RunOwnerHelper(OMBREL_OWNERS, 10000, records));
    std::set<uint64_t> ours;
    for (const OwnerRecord& record : records)
        if (record.pid == static_cast<uint32_t>(::getpid()))
            ours.insert(record.inode);
    EXPECT_EQ(ours.count(listener.inode), 1u);
    EXPECT_EQ(ours.count(inodeOf(udp)), 1u);
    for (int other : {pair[0], pair[1], netlink})
        EXPECT_EQ(ours.count(inodeOf(other)), 0u);
    for (int fd : {udp, pair[0], pair[1], netlink})
        ::close(fd);
}

// The layer asks the helper, takes a whole answer, and falls back to its
// own scan on anything else: missing, failing, truncated or silent.
TEST(OwnerHelper, TheLayerFallsBackToItsOwnScan) {
    Listener listener;
    const DWORD self = static_cast<DWORD>(::getpid());
    TempDir dir;
    std::string answer =
        dir.Write("answer", Records({{listener.inode, 1, 4242, 0}, {listener.inode, 7, 4243, 0}}));
    std::string whole = Records({{listener.inode, 1, 4242, 0}});
    dir.Write("truncated", whole.substr(0, whole.size() - 3));
    auto script = [&](const char* name, const std::string& body) {
        std::string path = dir.Write(name, "#!/bin/sh\n" + body + "\n");
        ::chmod(path.c_str(), 0755);
        return path;
    };
    std::string gives = script("gives", "/bin/cat " + answer);
    std::string fails = script("fails", "/bin/cat " + answer + "; exit 3");
    std::string truncated = script("cuts", "/bin/cat " + dir.path() + "/truncated");
    // The real helper, five descriptors allowed: whole or not at all.
    std::string starved = script("starved", "exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 5; "
                                            "exec " OMBREL_OWNERS);
    // Stuck for good: opening a pipe nobody will ever write, it neither
    // runs nor waits to run, so any bound ends it.
    std::string never = dir.path() + "/never";
    ASSERT_EQ(::mkfifo(never.c_str(), 0600), 0);
    std::string hangs = script("hangs", "exec /bin/cat " + never);
    // Works three times the bound before it answers, counted in its own
    // processor time (fields 14 and 15 of its stat, in ticks of 10 ms), so
    // a loaded machine makes it later, never shorter.
    std::string works = script("works", "while :; do i=0; while [ $i -lt 2000 ]; do i=$((i+1)); "
                                        "done; read -r s </proc/$$/stat; set -- ${s##*') '}; "
                                        "[ $((${12} + ${13})) -ge 90 ] && break; done; /bin/cat " +
                                            answer);

    // Helpers that end by themselves are given a bound no run comes near,
    // so what they answer, not how fast, decides.
    constexpr int kNoBound = 600000;
    {
        OwnerHelperOverride helper(gives, kNoBound);
        EXPECT_EQ(OwnerOf(listener.port), 4242u) << "the holder started first";
    }
    for (const std::string& path : {dir.path() + "/missing", fails, truncated, starved}) {
        OwnerHelperOverride helper(path, kNoBound);
        EXPECT_EQ(OwnerOf(listener.port), self) << path;
    }
    {
        OwnerHelperOverride stuck(hangs, 20);
        EXPECT_EQ(OwnerOf(listener.port), self);
    }
    // A bound on silence, not work: a helper still working is waited for.
    OwnerHelperOverride working(works, 300);
    EXPECT_EQ(OwnerOf(listener.port), 4242u);
}

TEST(OwnerRecords, OnlyAWholeOutputIsRead) {
    std::vector<OwnerRecord> records;
    std::string two = Records({{5, 1, 10, 0}, {6, 2, 11, 0}});
    ASSERT_TRUE(ParseOwnerRecords(two.data(), two.size(), records));
    EXPECT_EQ(records.size(), 2u);
    EXPECT_EQ(records[1].pid, 11u);
    for (size_t cut : {size_t{0}, size_t{15}, size_t{16 + 24 + 1}, two.size() - 1})
        EXPECT_FALSE(ParseOwnerRecords(two.data(), cut, records)) << cut;
    std::string extra = two + std::string(24, '\0');
    EXPECT_FALSE(ParseOwnerRecords(extra.data(), extra.size(), records)); // count says 2
    std::string wrong = two;
    wrong[0] = 'X';
    EXPECT_FALSE(ParseOwnerRecords(wrong.data(), wrong.size(), records));
    EXPECT_TRUE(records.empty());
}

// A ring's sockets belong to its first holder, weighed with the sockets'
// own holders; a socket of a ring no one holds, or a record of a kind this
// build does not know, names no one.
TEST(OwnerRecords, ARingsSocketsGoToItsFirstHolder) {
    TempDir empty; // no process entries: holders are weighed by start alone
    ProcRootOverride root(empty.path());
    const std::vector<OwnerRecord> records = {
        {500, 300, 30, kHoldsRing}, {7, 500, 0, kInRing},         {500, 200, 20, kHoldsRing},
        {7, 250, 25, kHoldsSocket}, {8, 999, 0, kInRing},         {9, 100, 10, kHoldsSocket},
        {9, 500, 0, kInRing},       {11, 50, 5, kHoldsSocket + 7}};
    std::vector<uint32_t> owners;
    std::vector<uint64_t> starts;
    JoinOwnerRecords(records, {7, 8, 9, 11, 500}, owners, &starts);
    EXPECT_EQ(owners, (std::vector<uint32_t>{20, 0, 10, 0, 0}));
    EXPECT_EQ(starts, (std::vector<uint64_t>{200, 0, 100, 0, 0}));
}

// A root window run for a user (pkexec) hands an address to the desktop's
// handler as that user: uid, gid and home.
TEST(OwnerHelper, AnAddressOpensAsTheUserARootWindowRunsFor) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    TempDir dir;
    ::chmod(dir.path().c_str(), 0777);
    // The stand-in writes its line into a pipe the test reads: its end is
    // the writer's close, whenever it runs.
    std::string record = dir.path() + "/ran";
    ASSERT_EQ(::mkfifo(record.c_str(), 0600), 0);
    ASSERT_EQ(::chmod(record.c_str(), 0666), 0);
    ombrel::platform::UniqueFd reader(::open(record.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_TRUE(reader);
    std::string standIn = dir.Write("bin/xdg-open", "#!/bin/sh\necho \"$(/usr/bin/id -u) "
                                                    "$(/usr/bin/id -g) $HOME $1\" > " +
                                                        record + "\n");
    ::chmod((dir.path() + "/bin").c_str(), 0755);
    ::chmod(standIn.c_str(), 0755);
    ScopedEnv env;
    env.Set("PATH", (dir.path() + "/bin:/usr/bin:/bin").c_str()).Set("PKEXEC_UID", "65534");
    HINSTANCE result = ShellExecuteA(nullptr, "open", "https://ombrel.example.org/", nullptr,
                                     nullptr, SW_SHOWNORMAL);
    EXPECT_GT(reinterpret_cast<INT_PTR>(result), 32);
    // Until the writer has come and gone; the bound only keeps a stand-in
    // that never runs from hanging the suite.
    std::string text;
    for (;;) {
        pollfd ready{reader.get(), POLLIN, 0};
        if (::poll(&ready, 1, 60000) <= 0)
            break;
        char chunk[256];
        ssize_t got = ::read(reader.get(), chunk, sizeof chunk);
        if (got > 0)
            text.append(chunk, static_cast<size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    std::string line = text.substr(0, text.find('\n'));
    EXPECT_EQ(line, "65534 65534 /nonexistent https://ombrel.example.org/");

    // A user that is no user: nothing is started, as root least of all.
    env.Set("PKEXEC_UID", "0");
    result = ShellExecuteA(nullptr, "open", "https://ombrel.example.org/", nullptr, nullptr,
                           SW_SHOWNORMAL);
    EXPECT_EQ(reinterpret_cast<INT_PTR>(result), SE_ERR_ACCESSDENIED);
}
