// Threads with descriptor tables of their own: one table of each is read,
// found in n log n comparisons however many threads another user starts.
#include <arpa/inet.h>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <netinet/in.h>
#include <sched.h>
#include <set>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "platform/linux/base/fd.h"
#include "platform/linux/owners/proc_descriptors.h"
#include "run_program.h"

using namespace ombrel::platform;

namespace {

constexpr uid_t kNobody = 65534;

// Tasks 0..n-1 in a scrambled order, task t in table t % tables; the
// comparator orders tables as kcmp does and counts its calls.
struct FakeTables {
    FakeTables(long n, long count) : tables(count) {
        for (long t = 0; t < n; ++t)
            tasks.push_back(t * 7919 % n); // 7919 is prime: a permutation
    }
    TableOrder operator()(long a, long b) {
        ++calls;
        long x = a % tables, y = b % tables;
        return x == y ? TableOrder::Same : x < y ? TableOrder::Less : TableOrder::Greater;
    }
    long tables;
    std::vector<long> tasks;
    uint64_t calls = 0;
};

} // namespace

TEST(DescriptorTables, OneTaskOfEachTableInNLogNComparisons) {
    for (auto [n, tables] : {std::pair{1L, 1L}, {2L, 2L}, {1000L, 37L}, {4096L, 4096L}}) {
        FakeTables fake(n, tables);
        std::optional<std::vector<long>> distinct = OnePerTable(fake.tasks, std::ref(fake));
        ASSERT_TRUE(distinct);
        std::set<long> seen;
        for (long task : *distinct)
            EXPECT_TRUE(seen.insert(task % tables).second) << "table " << task % tables << " twice";
        EXPECT_EQ(seen.size(), static_cast<size_t>(tables));
        double bound = static_cast<double>(n) * std::ceil(std::log2(static_cast<double>(n))) +
                       static_cast<double>(n);
        EXPECT_LE(static_cast<double>(fake.calls), bound) << n << " tasks";
    }
}

// A task that ends mid-sort fails its comparisons: the sort stops there,
// names the two tasks, and never reads past its vector, even when the
// comparator's answers are no order at all.
TEST(DescriptorTables, AFailedOrInconsistentComparisonEndsTheSortSafely) {
    FakeTables fake(1000, 1000);
    uint64_t calls = 0;
    long a = -1, b = -1;
    auto failing = [&](long x, long y) {
        return ++calls == 500 ? TableOrder::Unknown : fake(x, y);
    };
    EXPECT_FALSE(OnePerTable(fake.tasks, failing, &a, &b));
    EXPECT_EQ(calls, 500u) << "no comparison after the failure";
    EXPECT_NE(a, -1);
    EXPECT_NE(b, -1);

    uint32_t state = 12345;
    auto random = [&](long, long) {
        constexpr TableOrder kAnswers[] = {TableOrder::Same, TableOrder::Less, TableOrder::Greater,
                                           TableOrder::Less};
        state = state * 1103515245u + 12345u;
        return kAnswers[state >> 16 & 3];
    };
    std::optional<std::vector<long>> some = OnePerTable(fake.tasks, random);
    ASSERT_TRUE(some);
    std::set<long> seen;
    for (long task : *some)
        EXPECT_TRUE(task >= 0 && task < 1000 && seen.insert(task).second);
}

// Another user's process of ten thousand threads, each cloned without
// CLONE_FILES and so holding a table of its own (a few share the leader's);
// one of them alone holds a listener. Its owner is found, every own table
// is read once, and the comparisons stay within 2 n log2 n.
TEST(DescriptorTables, TenThousandOwnTablesOfAnotherUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to start another user's process";
    constexpr int kThreads = 10000;
    constexpr int kSharing = 100;             // every hundredth shares the leader's table
    constexpr size_t kStack = 2048;           // a thread that only waits needs little
    constexpr int kHolder = kThreads / 2 + 1; // not one that shares
    struct Report {
        int made = 0;       // threads started
        int error = 0;      // why no more were
        uint64_t inode = 0; // the listener's
    };
    int report[2];
    ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
    pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::close(report[0]);
        Report told;
        auto tell = [&] {
            told.error = errno;
            (void)!::write(report[1], &told, sizeof told);
            for (;;)
                ::pause();
        };
        if (!BecomeUser(kNobody))
            tell();
        void* stacks = ::mmap(nullptr, kThreads * kStack, PROT_READ | PROT_WRITE,
                              MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (stacks == MAP_FAILED)
            tell();
        // Bound here, on a stack of its own size: the dynamic loader's
        // first-call binding would not fit a waiting thread's stack.
        ::syscall(SYS_getpid);
        for (int i = 0; i < kThreads; ++i) {
            // Open while thread kHolder is cloned alone: its copy of the
            // table is the only one that keeps the listener.
            int held = -1;
            if (i == kHolder) {
                held = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                struct stat info {};
                if (held < 0 ||
                    ::bind(held, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
                    ::listen(held, 1) != 0 || ::fstat(held, &info) != 0)
                    tell();
                told.inode = info.st_ino;
            }
            int flags = CLONE_VM | CLONE_THREAD | CLONE_SIGHAND | CLONE_SYSVSEM |
                        (i % kSharing == 0 ? CLONE_FILES : 0);
            char* top = static_cast<char*>(stacks) + (i + 1) * kStack;
            auto wait = [](void*) -> int {
                for (;;)
                    ::syscall(SYS_pause);
            };
            if (::clone(wait, top, flags, nullptr) < 0)
                tell();
            ++told.made;
            if (held >= 0)
                ::close(held);
        }
        tell();
    }
    ::close(report[1]);
    Report told;
    bool heard = ::read(report[0], &told, sizeof told) == static_cast<ssize_t>(sizeof told);
    ::close(report[0]);
    auto stop = [&] {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
    };
    if (!heard || told.made < kThreads) {
        stop();
        GTEST_SKIP() << "the machine would not start " << kThreads << " threads of another user ("
                     << told.made << " started: " << std::strerror(told.error) << ")";
    }

    UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    descriptorTableComparisons = 0;
    std::vector<std::string> own =
        ThreadsWithTheirOwnTables(proc.get(), static_cast<uint32_t>(child), true, true);
    uint64_t comparisons = descriptorTableComparisons;
    bool found = false;
    ForEachSocketDescriptor(
        proc.get(), static_cast<uint32_t>(child), true,
        [&](uint32_t, uint64_t inode) { found = found || inode == told.inode; });
    stop();

    EXPECT_TRUE(found) << "the listener one thread's own table holds";
    EXPECT_EQ(own.size(), static_cast<size_t>(kThreads - kThreads / kSharing));
    double n = kThreads;
    EXPECT_LE(static_cast<double>(comparisons), 2 * n * std::log2(n)) << comparisons;
}

// A descriptor whose path is too long for the kernel to name (any user may
// hold one) is no hole in the scan: it is never a socket.
TEST(DescriptorTables, AFileTooLongToNameLeavesTheScanWhole) {
    char folder[] = "/tmp/ombrel-long-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    UniqueFd at(::open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC));
    const std::string part(200, 'd');
    int depth = 0;
    for (; depth < 24 && at; ++depth) { // 24 x 201 bytes: past a page
        ASSERT_EQ(::mkdirat(at.get(), part.c_str(), 0700), 0);
        at.reset(::openat(at.get(), part.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    }
    ASSERT_TRUE(at);
    UniqueFd file(::openat(at.get(), "f", O_CREAT | O_RDWR | O_CLOEXEC, 0600));
    ASSERT_TRUE(file);
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    struct stat socketFile {};
    ASSERT_EQ(::fstat(listener, &socketFile), 0);

    UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    bool found = false;
    bool whole = ForEachSocketDescriptor(
        proc.get(), static_cast<uint32_t>(::getpid()), true,
        [&](uint32_t, uint64_t inode) { found = found || inode == socketFile.st_ino; });
    EXPECT_TRUE(whole);
    EXPECT_TRUE(found);
    ::close(listener);
    file.reset();
    at.reset();
    EXPECT_EQ(RunProgram({"/bin/rm", "-rf", folder}, environ, [] { return true; }).exitCode, 0);
}
