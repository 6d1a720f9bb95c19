// The administrator collector: its answer as composed and as read, the
// program's refusals, and the start as root for a user, which leaves the
// collector as the only root process.
#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
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
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <ombrel/administrator.h>
#include <ombrel/refresh_scope.h>
#include <ombrel/services.h>

#include "platform/linux/owners/owner_helper.h"
#include "platform/linux/privilege/collector_answer.h"
#include "platform/linux/privilege/collector_link.h"
#include "platform/linux/privilege/collector_wire.h"
#include "scoped_env.h"
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
    // One request, one whole answer: its parts up to the end or an error.
    std::string Ask() const {
        if (::write(request, &kCollectorRequest, 1) != 1)
            return {};
        std::string got;
        for (;;) {
            std::string head = Read(sizeof(CollectorPart));
            got += head;
            if (head.size() < sizeof(CollectorPart))
                return got;
            CollectorPart part;
            std::memcpy(&part, head.data(), sizeof part);
            if (part.size > kCollectorMaxPart)
                return got;
            got += Read(part.size);
            if (part.kind == kPartEnd || part.kind == kPartError)
                return got;
        }
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
// would be), the collector says it cannot answer rather than give one that
// says nobody holds what it could not read; the same tree whole answers.
TEST(CollectorAnswer, OwnersThatCouldNotBeReadWholeGiveNoAnswer) {
    TempDir dir;
    const std::string root = dir.path() + "/proc";
    std::filesystem::copy(FixtureRoot(), root,
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::copy_symlinks);
    CollectorAnswerReader reader;
    {
        ProcRootOverride whole(root);
        std::string answer = ComposeCollectorAnswer(root);
        EXPECT_EQ(reader.Feed(answer.data(), answer.size()), CollectorAnswerReader::State::Whole);
    }
    std::filesystem::remove_all(root + "/100/fd");
    dir.Write("proc/100/fd", "not a folder");
    ProcRootOverride holed(root);
    std::string answer = ComposeCollectorAnswer(root);
    reader = {};
    EXPECT_EQ(reader.Feed(answer.data(), answer.size()), CollectorAnswerReader::State::Error);
    EXPECT_EQ(reader.error(), kOwnersNotWhole);
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

namespace {

// An answer taken apart into its parts, and put together again.
struct Part {
    uint32_t kind;
    std::string bytes;
};

std::vector<Part> Parts(const std::string& answer) {
    std::vector<Part> parts;
    for (size_t at = 0; at + sizeof(CollectorPart) <= answer.size();) {
        CollectorPart head;
        std::memcpy(&head, answer.data() + at, sizeof head);
        parts.push_back({head.kind, answer.substr(at + sizeof head, head.size)});
        at += sizeof head + head.size;
    }
    return parts;
}

std::string Joined(const std::vector<Part>& parts) {
    std::string answer;
    for (const Part& part : parts) {
        CollectorPart head{part.kind, static_cast<uint32_t>(part.bytes.size())};
        answer.append(reinterpret_cast<const char*>(&head), sizeof head);
        answer += part.bytes;
    }
    return answer;
}

// The record of type T at offset at of bytes, changed through a copy that
// goes back when it ends: records in an answer need not be aligned.
template <typename T> class In {
public:
    explicit In(std::string& bytes, size_t at = 0) : bytes_(bytes), at_(at) {
        std::memcpy(&value_, bytes.data() + at, sizeof value_);
    }
    ~In() { std::memcpy(bytes_.data() + at_, &value_, sizeof value_); }
    In(const In&) = delete;
    In& operator=(const In&) = delete;
    T* operator->() { return &value_; }
    T& operator*() { return value_; }

private:
    std::string& bytes_;
    size_t at_;
    T value_;
};

size_t First(const std::vector<Part>& parts, uint32_t kind) {
    for (size_t i = 0; i < parts.size(); ++i)
        if (parts[i].kind == kind)
            return i;
    return SIZE_MAX;
}

} // namespace

// Anything but one whole, consistent answer is refused, leaving nothing;
// the reader never holds more than one part's bytes.
TEST(CollectorAnswer, RefusesTruncatedOversizedForgedAndInterleavedAnswers) {
    std::string good = ComposeCollectorAnswer(FixtureRoot());
    CollectorAnswer answer;
    ASSERT_TRUE(ParseCollectorAnswer(good.data(), good.size(), answer));
    ASSERT_FALSE(answer.owners.empty());
    const std::vector<Part> parts = Parts(good);
    ASSERT_EQ(Joined(parts), good);
    size_t rows = First(parts, kPartRows), owners = First(parts, kPartOwners),
           end = First(parts, kPartEnd);
    ASSERT_NE(rows, SIZE_MAX);
    ASSERT_NE(owners, SIZE_MAX);
    ASSERT_EQ(end, parts.size() - 1);

    auto refused = [&](const std::string& bytes) {
        CollectorAnswer out;
        out.owners.push_back({});
        bool parsed = ParseCollectorAnswer(bytes.data(), bytes.size(), out);
        return !parsed && out.owners.empty() && out.tables.sockets[kTcp4].empty();
    };
    auto changed = [&](size_t index, auto change) {
        std::vector<Part> copy = parts;
        change(copy[index].bytes);
        return Joined(copy);
    };
    // Byte by byte, every cut short answer stays due, never whole.
    CollectorAnswerReader reader;
    for (size_t i = 0; i + 1 < good.size(); ++i)
        ASSERT_EQ(reader.Feed(good.data() + i, 1), CollectorAnswerReader::State::Reading) << i;
    EXPECT_EQ(reader.Feed(good.data() + good.size() - 1, 1), CollectorAnswerReader::State::Whole);
    EXPECT_LE(reader.mostHeld(), sizeof(CollectorPart) + kCollectorMaxPart);
    for (size_t cut : {size_t{0}, size_t{7}, good.size() / 2, good.size() - 1})
        EXPECT_TRUE(refused(good.substr(0, cut))) << "cut at " << cut;
    EXPECT_TRUE(refused(good + "x"));
    EXPECT_TRUE(refused(good + good)); // two answers where one was asked for
    EXPECT_TRUE(refused(good.substr(0, 20) + good + good.substr(20)));

    // Parts of no known kind, too large, or out of their order.
    EXPECT_TRUE(refused(Joined({{kPartError + 1, ""}}) + good));
    {
        CollectorPart huge{kPartRows, kCollectorMaxPart + 1};
        std::string bytes(reinterpret_cast<const char*>(&huge), sizeof huge);
        reader = {};
        EXPECT_EQ(reader.Feed(bytes.data(), bytes.size()), CollectorAnswerReader::State::Refused);
        EXPECT_LE(reader.mostHeld(), sizeof huge); // nothing set aside for what it claims
    }
    {
        std::vector<Part> swapped = parts;
        std::swap(swapped[rows], swapped[owners]); // owners before the rows
        EXPECT_TRUE(refused(Joined(swapped)));
        std::vector<Part> twice = parts;
        twice.insert(twice.begin() + static_cast<long>(end), {kPartReport, "x"});
        twice.insert(twice.begin() + static_cast<long>(end), {kPartReport, "y"});
        EXPECT_TRUE(refused(Joined(twice)));
        std::vector<Part> working = parts; // working parts anywhere before the end are due
        working.insert(working.begin() + static_cast<long>(owners), {kPartWorking, ""});
        working.insert(working.begin(), {kPartWorking, ""});
        EXPECT_FALSE(refused(Joined(working)));
        working.push_back({kPartWorking, ""});
        EXPECT_TRUE(refused(Joined(working))); // but nothing after it
    }
    // The end's counts must be what came.
    EXPECT_TRUE(refused(changed(end, [](std::string& b) { In<CollectorEnd>(b)->rows[0] += 1; })));
    EXPECT_TRUE(refused(changed(end, [](std::string& b) { In<CollectorEnd>(b)->owners += 1; })));
    EXPECT_TRUE(refused(changed(end, [](std::string& b) { In<CollectorEnd>(b)->tablesRead = 0; })));
    EXPECT_TRUE(refused(changed(end, [](std::string& b) { In<CollectorEnd>(b)->reserved = 1; })));
    // Rows: a table out of order, an owner nobody has a record of.
    EXPECT_TRUE(
        refused(changed(rows, [](std::string& b) { In<CollectorRowsHead>(b)->table = 4; })));
    EXPECT_TRUE(refused(changed(rows, [](std::string& b) {
        In<CollectorRow>(b, sizeof(CollectorRowsHead))->pid = 999999;
    })));
    EXPECT_TRUE(refused(changed(rows, [](std::string& b) {
        In<CollectorRow>(b, sizeof(CollectorRowsHead))->reserved[1] = 1;
    })));
    EXPECT_TRUE(refused(changed(rows, [](std::string& b) { b.pop_back(); })));
    // A row of a namespace the answer does not name; the own namespace named,
    // or given twice.
    EXPECT_TRUE(refused(changed(rows, [](std::string& b) {
        In<CollectorRow>(b, sizeof(CollectorRowsHead))->netns = 4026532245u;
    })));
    size_t namespaces = First(parts, kPartNamespaces);
    ASSERT_NE(namespaces, SIZE_MAX);
    EXPECT_TRUE(refused(changed(namespaces, [](std::string& b) {
        In<CollectorNamespace>(b)->kindSize = 1;
        b.insert(sizeof(CollectorNamespace), "x");
    })));
    EXPECT_TRUE(refused(changed(namespaces, [](std::string& b) { b += b; })));
    // A namespace whose table went unread with rows in it.
    EXPECT_TRUE(refused(
        changed(namespaces, [](std::string& b) { In<CollectorNamespace>(b)->unread = 1; })));
    // Owners: a record no row names, out of order, or reaching past its part.
    auto owner = [&](auto change) {
        return changed(owners, [&](std::string& b) { change(*In<CollectorOwner>(b)); });
    };
    EXPECT_TRUE(refused(owner([](CollectorOwner& o) { o.pid = 0; })));
    EXPECT_TRUE(refused(owner([](CollectorOwner& o) { o.pid = 999999; })));
    EXPECT_TRUE(refused(owner([](CollectorOwner& o) { o.nameSize = 0xFFFFFFF0; })));
    EXPECT_TRUE(refused(owner([](CollectorOwner& o) { o.pathSize = kCollectorMaxPath + 1; })));
    EXPECT_TRUE(refused(owner([](CollectorOwner& o) { o.pathRead = 2; })));
    EXPECT_TRUE(refused(owner([](CollectorOwner& o) { o.reserved = 1; })));
    EXPECT_TRUE(refused(owner([](CollectorOwner& o) {
        o.pathRead = 0; // a path that was not read, yet given
        o.pathSize = o.pathSize == 0 ? 1 : o.pathSize;
    })));
    if (answer.owners.size() >= 2) {
        std::string twice = changed(owners, [](std::string& b) {
            In<CollectorOwner> first(b);
            size_t next = sizeof(CollectorOwner) + first->nameSize + first->pathSize;
            In<CollectorOwner>(b, next)->pid = first->pid;
        });
        EXPECT_TRUE(refused(twice)); // one pid twice
    }
    // An error part is the collector's own word: no answer, and no refusal.
    CollectorError error{kOwnersNotWhole, 0};
    std::string said =
        Joined({{kPartWorking, ""},
                {kPartError, std::string(reinterpret_cast<const char*>(&error), sizeof error)}});
    reader = {};
    EXPECT_EQ(reader.Feed(said.data(), said.size()), CollectorAnswerReader::State::Error);
    EXPECT_EQ(reader.error(), kOwnersNotWhole);
    EXPECT_TRUE(refused(said));
}

// Ten million rows, far past any bound an answer had, go through in parts
// of the bound, whole; neither side holds more than one part in bytes.
TEST(CollectorAnswer, TenMillionRowsPassWholeInBoundedParts) {
    constexpr size_t kRows = 10'000'000;
    MachineTables tables;
    // Every third row lives in another namespace, named.
    tables.namespaces = {{4026531840u, "", ""}, {4026532245u, "netns", "db"}};
    for (size_t table = 0; table < kTableCount; ++table) {
        tables.read[table] = true;
        size_t count = kRows / kTableCount;
        tables.sockets[table].resize(count);
        tables.owners[table].resize(count);
        tables.ownerStarts[table].resize(count);
        for (size_t i = 0; i < count; ++i) {
            InetSocket& socket = tables.sockets[table][i];
            socket.v6 = FamilyOf(table) == InetFamily::V6;
            socket.localAddr = static_cast<uint32_t>(i);
            socket.localPort = static_cast<uint16_t>(i);
            socket.local6[15] = static_cast<uint8_t>(i);
            socket.state = static_cast<uint8_t>(1 + i % 11);
            socket.netns = i % 3 == 1 ? 4026532245u : 4026531840u;
            uint32_t pid = static_cast<uint32_t>(1 + i % 100000);
            tables.owners[table][i] = i % 3 == 0 ? 0 : pid;
            tables.ownerStarts[table][i] = i % 3 == 0 ? 0 : pid * 7u;
        }
    }
    size_t largest = 0, owners = 0;
    CollectorAnswerReader reader;
    bool written = WriteCollectorAnswer(
        tables, "owners: a test",
        [&](uint32_t pid, uint64_t start) {
            ++owners;
            CollectedOwner owner;
            owner.pid = pid;
            owner.startTime = start;
            owner.name = "p" + std::to_string(pid);
            owner.pathRead = true;
            owner.path = "/usr/bin/" + owner.name;
            return owner;
        },
        [&](const char* data, size_t size) {
            largest = std::max(largest, size);
            return reader.Feed(data, size) != CollectorAnswerReader::State::Refused;
        });
    ASSERT_TRUE(written);
    ASSERT_EQ(reader.state(), CollectorAnswerReader::State::Whole);
    EXPECT_LE(largest, sizeof(CollectorPart) + kCollectorMaxPart);
    EXPECT_LE(reader.mostHeld(), sizeof(CollectorPart) + kCollectorMaxPart);
    CollectorAnswer answer = reader.Take();
    EXPECT_EQ(answer.report, "owners: a test");
    EXPECT_EQ(answer.owners.size(), owners);
    for (size_t table = 0; table < kTableCount; ++table) {
        ASSERT_EQ(answer.tables.sockets[table].size(), kRows / kTableCount);
        EXPECT_EQ(answer.tables.owners[table], tables.owners[table]);
        EXPECT_EQ(answer.tables.ownerStarts[table], tables.ownerStarts[table]);
        const InetSocket& last = answer.tables.sockets[table].back();
        EXPECT_EQ(last.localAddr, kRows / kTableCount - 1);
        for (size_t i = 0; i < 3; ++i)
            EXPECT_EQ(answer.tables.sockets[table][i].netns, tables.sockets[table][i].netns);
    }
    EXPECT_EQ(answer.tables.namespaces, tables.namespaces);
    const CollectedOwner& last = answer.owners.back();
    EXPECT_EQ(last.path, "/usr/bin/p" + std::to_string(last.pid));
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
// its starters' to keep from it: see
// NoLoaderVariableReachesEitherStartersCollector.)
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

// What the collector's working parts go by: the other threads' time alone,
// which stands still while they are stuck however often it is looked at,
// and moves while they work.
TEST(CollectorProgram, ItsWorkingPartsGoByTheOtherThreadsAlone) {
    int gate[2], spun[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(spun, O_CLOEXEC), 0);
    std::atomic<pid_t> tid{0};
    std::thread other([&] {
        tid = ::gettid();
        char go;
        (void)!::read(gate[0], &go, 1); // asleep, as on a file system that never answers
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
        while (std::chrono::steady_clock::now() < until) {
        }
        (void)!::write(spun[1], "s", 1);
        (void)!::read(gate[0], &go, 1);
    });
    auto stands = [] {
        uint64_t first = OtherThreadsProgress();
        for (int look = 0; look < 50; ++look)
            if (OtherThreadsProgress() != first)
                return false;
        return true;
    };
    // Until it sleeps in that read, it may still be waiting for a processor
    // on a busy machine, which counts as moving.
    auto asleepInRead = [&] {
        std::string task = "/proc/self/task/" + std::to_string(tid.load());
        std::ifstream stat(task + "/stat"), call(task + "/syscall");
        std::string statLine, callLine;
        std::getline(stat, statLine);
        std::getline(call, callLine);
        size_t close = statLine.rfind(')');
        char fd[32];
        std::snprintf(fd, sizeof fd, "%d 0x%x ", static_cast<int>(SYS_read), gate[0]);
        return close != std::string::npos && statLine.compare(close, 4, ") S ") == 0 &&
               callLine.rfind(fd, 0) == 0;
    };
    while (tid.load() == 0 || !asleepInRead())
        std::this_thread::yield();
    EXPECT_TRUE(stands());
    uint64_t before = OtherThreadsProgress();
    ASSERT_EQ(::write(gate[1], "g", 1), 1);
    char done;
    ASSERT_EQ(::read(spun[0], &done, 1), 1);
    EXPECT_GT(OtherThreadsProgress(), before);
    ASSERT_EQ(::write(gate[1], "g", 1), 1);
    other.join();
    for (int fd : {gate[0], gate[1], spun[0], spun[1]})
        ::close(fd);
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
                MachineTables tables;
                CollectedOwners owners;
                std::string source;
                bool asked = false;
                for (int attempt = 0; attempt < 5 && !asked; ++attempt)
                    if (!(asked = AskCollector(tables, owners, source)) &&
                        LastCollectorFailure() != CollectorFailure::Incomplete)
                        break;
                uint32_t owner = 0;
                for (size_t i = 0; i < tables.sockets[kTcp4].size(); ++i)
                    if (ntohs(tables.sockets[kTcp4][i].localPort) == port &&
                        tables.sockets[kTcp4][i].state == 10)
                        owner = tables.owners[kTcp4][i];
                const CollectedOwner* known = CollectedOwnerOf(owners, owner);
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
    CollectedOwners owners;
    std::string source;
    return AskCollector(tables, owners, source);
}

// The same of a real collector, which says it cannot answer while other
// users' processes come and go under its scan too fast to read /proc whole:
// asked again, as the next refresh would.
bool AskedWhole(MachineTables& tables) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (Asked(tables))
            return true;
        if (LastCollectorFailure() != CollectorFailure::Incomplete)
            return false;
    }
    return false;
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
    EXPECT_FALSE(Asked(tables)); // a second answer came right behind the first
    EXPECT_EQ(LastCollectorFailure(), CollectorFailure::WrongAnswer);

    AttachFake(answering(std::string(sizeof(CollectorPart), 'x'), false));
    EXPECT_FALSE(Asked(tables));
    EXPECT_EQ(LastCollectorFailure(), CollectorFailure::WrongAnswer);
    EXPECT_FALSE(Asked(tables)); // and it is not asked again
    StopCollector();
}

namespace {

// An answer that comes after the collector worked long, saying so as it
// went: a working part every half second for seconds, then the answer.
auto WorkingFor(std::string reply, int seconds) {
    return [reply, seconds](int in, int out) {
        char request;
        while (::read(in, &request, 1) == 1) {
            CollectorPart working{kPartWorking, 0};
            for (int i = 0; i < 2 * seconds; ++i) {
                if (::write(out, &working, sizeof working) != sizeof working)
                    return;
                ::poll(nullptr, 0, 500); // the stand-in's work
            }
            if (::write(out, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size()))
                return;
        }
    };
}

} // namespace

// A collector that works longer than any bound on its whole answer could
// allow is waited for: it says it works, and the mode holds.
TEST(CollectorLink, AWorkingCollectorIsWaitedForHoweverLong) {
    std::string good = ComposeCollectorAnswer(FixtureRoot());
    MachineTables tables;
    AttachFake(WorkingFor(good, 40));
    EXPECT_TRUE(Asked(tables));
    EXPECT_EQ(CurrentAdministratorMode(), AdministratorMode::Collecting);
    EXPECT_FALSE(tables.sockets[kTcp4].empty());
    StopCollector();
}

// One that neither writes nor works for 3 seconds is left after 2, and the
// user's own view is shown; pkexec then gives the mode back. One that says
// it cannot answer this time stays for the next refresh.
TEST(CollectorLink, ASilentCollectorIsLeftAndTheWayBackRestoresIt) {
    std::string good = ComposeCollectorAnswer(FixtureRoot());
    MachineTables tables;
    AttachFake([good](int in, int out) {
        char request;
        if (::read(in, &request, 1) == 1) {
            ::poll(nullptr, 0, 3000); // stuck, using no processor
            (void)!::write(out, good.data(), good.size());
        }
    });
    EXPECT_FALSE(Asked(tables)); // given up before the answer came
    EXPECT_EQ(LastCollectorFailure(), CollectorFailure::Silent);
    EXPECT_EQ(CurrentAdministratorMode(), AdministratorMode::Unavailable);

    TempDir dir;
    std::string pkexec = dir.Write("pkexec", "#!/bin/sh\nexec \"$@\"\n");
    ::chmod(pkexec.c_str(), 0755);
    ScopedEnv path;
    path.Set("PATH", (dir.path() + ":/usr/bin:/bin").c_str());
    CollectorPathOverride collector(OMBREL_COLLECTOR);
    ASSERT_TRUE(StartCollectorThroughPkexec());
    EXPECT_TRUE(AskedWhole(tables));
    EXPECT_EQ(CurrentAdministratorMode(), AdministratorMode::Collecting);
    StopCollector();

    CollectorError error{kOwnersNotWhole, 0};
    std::string cannot(sizeof(CollectorPart), '\0');
    CollectorPart head{kPartError, sizeof error};
    std::memcpy(cannot.data(), &head, sizeof head);
    cannot.append(reinterpret_cast<const char*>(&error), sizeof error);
    bool first = true;
    AttachFake([&](int in, int out) {
        char request;
        while (::read(in, &request, 1) == 1) {
            const std::string& reply = first ? cannot : good;
            first = false;
            (void)!::write(out, reply.data(), reply.size());
        }
    });
    EXPECT_FALSE(Asked(tables));
    EXPECT_EQ(LastCollectorFailure(), CollectorFailure::Incomplete);
    EXPECT_EQ(CurrentAdministratorMode(), AdministratorMode::Unavailable);
    EXPECT_TRUE(Asked(tables)); // the same collector, asked again
    EXPECT_EQ(CurrentAdministratorMode(), AdministratorMode::Collecting);
    StopCollector();
}

// Loader variables in the window's environment reach neither starter's
// collector, nor a pkexec that would pass them on: a preloaded library, or
// one found first through the library path, would leave its mark.
TEST(CollectorLink, NoLoaderVariableReachesEitherStartersCollector) {
    TempDir dir;
    std::string mark = dir.path() + "/preloaded";
    std::filesystem::copy_file(OMBREL_PRELOAD_MARKER, dir.path() + "/libbpf.so.1");
    std::filesystem::copy_file(OMBREL_PRELOAD_MARKER, dir.path() + "/libc.so.6");
    std::string pkexec = dir.Write("bin/pkexec", "#!/bin/sh\nexec \"$@\"\n");
    ::chmod(pkexec.c_str(), 0755);
    ScopedEnv env;
    env.Set("PATH", (dir.path() + "/bin:/usr/bin:/bin").c_str())
        .Set("LD_PRELOAD", OMBREL_PRELOAD_MARKER)
        .Set("LD_LIBRARY_PATH", dir.path())
        .Set("GLIBC_TUNABLES", "glibc.malloc.check=3")
        .Set("OMBREL_PRELOAD_MARK", mark);
    CollectorPathOverride collector(OMBREL_COLLECTOR);
    MachineTables tables;

    StartCollectorAsRoot(); // the start for a user, here without root's rights
    EXPECT_EQ(CurrentAdministratorMode(), AdministratorMode::Collecting);
    EXPECT_TRUE(AskedWhole(tables));
    StopCollector();
    EXPECT_NE(::access(mark.c_str(), F_OK), 0) << "the direct start loaded the caller's library";

    ASSERT_TRUE(StartCollectorThroughPkexec());
    EXPECT_TRUE(AskedWhole(tables));
    StopCollector();
    EXPECT_NE(::access(mark.c_str(), F_OK), 0) << "the start through pkexec loaded it";
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

// In administrator mode the source report begins with the collector's own
// account of how it named the owners, and names the program that was
// started, whatever the window can still reach once it is its user.
TEST(CollectorLink, TheSourceReportTellsTheCollectorsOwnAccount) {
    CollectorPathOverride collector(OMBREL_COLLECTOR);
    StartCollectorAsRoot();
    ASSERT_EQ(CurrentAdministratorMode(), AdministratorMode::Collecting);
    const std::string started = CollectorPath();
    std::string report;
    for (int attempt = 0; attempt < 5; ++attempt) { // see AskedWhole
        RefreshScope scope;
        ULONG size = 0;
        GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
        report = scope.OwnerSourceReport();
        if (CurrentAdministratorMode() == AdministratorMode::Collecting)
            break;
    }
    StopCollector();
    // Every line but the last is the collector's, the last of them its
    // source; it may say more first (other users' namespaces it read from
    // their held sockets alone).
    std::vector<std::string> lines;
    for (size_t start = 0; start <= report.size();) {
        size_t end = std::min(report.find('\n', start), report.size());
        lines.push_back(report.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_GE(lines.size(), 2u) << report;
    for (size_t i = 0; i + 1 < lines.size(); ++i)
        EXPECT_EQ(lines[i].rfind("the collector: ", 0), 0u) << report;
    EXPECT_EQ(lines[lines.size() - 2].rfind("the collector: owners: ", 0), 0u) << report;
    const std::string last = "\nowners: the administrator's collector " + started;
    EXPECT_EQ(report.substr(report.size() - std::min(report.size(), last.size())), last) << report;
}
