// ombrel-list, run as a separate program against sockets this test holds.
#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <map>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "capable_copy.h"
#include "run_program.h"
#include "scoped_env.h"
#include "temp_dir.h"

extern char** environ;

namespace {

using ListRun = ProgramRun;

// Runs program (ombrel-list by default); with a user id, as that user.
ListRun List(std::vector<std::string> args, const char* program = OMBREL_LIST,
             uid_t asUser = static_cast<uid_t>(-1)) {
    args.insert(args.begin(), program);
    return RunProgram(std::move(args), environ,
                      [&] { return asUser == static_cast<uid_t>(-1) || BecomeUser(asUser); });
}

std::vector<std::vector<std::string>> Lines(const std::string& text) {
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
            fields.push_back(line.substr(start, tab - start));
        fields.push_back(line.substr(start));
        lines.push_back(fields);
    }
    return lines;
}

// The reader's side of ombrel-list's escapes.
std::string Unescape(const std::string& field) {
    std::string text;
    for (size_t at = 0; at < field.size(); ++at) {
        if (field[at] != '\\' || at + 1 == field.size()) {
            text += field[at];
        } else if (field[++at] == 't') {
            text += '\t';
        } else if (field[at] == 'n') {
            text += '\n';
        } else if (field[at] == 'x' && at + 2 < field.size()) {
            text += static_cast<char>(std::stoi(field.substr(at + 1, 2), nullptr, 16));
            at += 2;
        } else {
            text += field[at];
        }
    }
    return text;
}

// A listener on 127.0.0.1 (its descriptor, or -1), and its address as
// ombrel-list writes it.
int LoopbackListener(sockaddr_in& addr, std::string& local) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener, 2) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length) != 0) {
        ::close(listener);
        return -1;
    }
    local = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    return listener;
}

} // namespace

// Every assertion looks at the rows of the sockets the test holds: what other
// processes of the machine hold is not the test's to judge.
TEST(OmbrelList, PrintsOurSocketsWithTheSameFactsAsTheTable) {
    sockaddr_in addr{};
    std::string local;
    int listener = LoopbackListener(addr, local);
    ASSERT_GE(listener, 0);
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    // Until accepted, no process holds it; without CLOEXEC ombrel-list would
    // inherit it and, started last, own it.
    int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    sockaddr_in clientAddr{};
    socklen_t clientLength = sizeof clientAddr;
    ::getsockname(client, reinterpret_cast<sockaddr*>(&clientAddr), &clientLength);
    const std::string clientLocal = "127.0.0.1:" + std::to_string(ntohs(clientAddr.sin_port));
    int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    addr.sin_port = 0;
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t length = sizeof addr;
    ::getsockname(udp, reinterpret_cast<sockaddr*>(&addr), &length);
    const std::string udpLocal = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    int udp6 = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 addr6{};
    addr6.sin6_family = AF_INET6;
    addr6.sin6_addr = in6addr_loopback;
    ASSERT_EQ(::bind(udp6, reinterpret_cast<sockaddr*>(&addr6), sizeof addr6), 0);
    length = sizeof addr6;
    ::getsockname(udp6, reinterpret_cast<sockaddr*>(&addr6), &length);
    const std::string udp6Local = "[::1]:" + std::to_string(ntohs(addr6.sin6_port));

    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string self = std::to_string(::getpid());

    // The connection's two ends by both addresses: another process's
    // socket (one in TIME_WAIT, say) may have had our listener's port.
    auto ours = [&](const std::vector<std::string>& fields) {
        return fields.size() > 3 &&
               ((fields[2] == local && (fields[3] == "0.0.0.0:0" || fields[3] == clientLocal)) ||
                (fields[2] == clientLocal && fields[3] == local) || fields[2] == udpLocal ||
                fields[2] == udp6Local);
    };
    ListRun all = List({});
    EXPECT_EQ(all.exitCode, 0);
    int listening = 0, pairs = 0, udpRows = 0, lastKey = -1;
    for (const auto& fields : Lines(all.out)) {
        if (!ours(fields))
            continue;
        ASSERT_EQ(fields.size(), 7u);
        int key = std::stoi(fields[0]);
        EXPECT_GT(key, lastKey); // table order: TCP before UDP, each sorted
        lastKey = key;
        if (fields[1] == "TCP" && fields[2] == local && fields[4] == "监听") {
            ++listening;
            EXPECT_EQ(fields[3], "0.0.0.0:0");
            EXPECT_EQ(fields[5], self);
            EXPECT_EQ(fields[6], exe);
        } else if (fields[1] == "TCP") {
            ++pairs;
            EXPECT_EQ(fields[4], "连接");
            EXPECT_EQ(fields[5], self);
        } else {
            ++udpRows;
            EXPECT_EQ(fields[1], "UDP");
            EXPECT_EQ(fields[3], fields[2] == udp6Local ? "[::]:0" : "0.0.0.0:0");
            EXPECT_EQ(fields[4], "");
            EXPECT_EQ(fields[5], self);
        }
    }
    EXPECT_EQ(listening, 1);
    EXPECT_EQ(pairs, 2);
    EXPECT_EQ(udpRows, 2); // IPv4, then IPv6

    // A protocol option keeps exactly that protocol's rows of ours.
    std::map<std::string, int> seen;
    for (const char* option : {"--tcp", "--udp"})
        for (const auto& fields : Lines(List({option}).out))
            if (ours(fields))
                ++seen[std::string(option) + " " + fields[1]];
    EXPECT_EQ(seen, (std::map<std::string, int>{{"--tcp TCP", 3}, {"--udp UDP", 2}}));
    ::close(udp6);
    ::close(listener);
    ::close(client);
    ::close(server);
    ::close(udp);
}

// A program whose path holds a tab, a newline, a backslash, control bytes
// and a byte that is not UTF-8: its row still has seven fields and the path
// reads back whole.
TEST(OmbrelList, EscapedPathReadsBackWhole) {
    TempDir dir;
    const std::string name = "odd\tname\nwith\\slash\x01\x7f\xff";
    const std::string program = dir.path() + "/" + name;
    {
        std::ifstream in(OMBREL_SOCKET_HOLDER, std::ios::binary);
        std::ofstream out(program, std::ios::binary);
        out << in.rdbuf();
    }
    ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

    int toHolder[2], fromHolder[2];
    ASSERT_EQ(::pipe2(toHolder, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(fromHolder, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toHolder[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromHolder[1], 1);
    char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
    pid_t holder = 0;
    int spawned = posix_spawn(&holder, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(toHolder[0]);
    ::close(fromHolder[1]);
    ASSERT_EQ(spawned, 0);
    char portLine[16] = {};
    ssize_t got = ::read(fromHolder[0], portLine, sizeof portLine - 1);
    ::close(fromHolder[0]);
    const std::string local = "127.0.0.1:" + std::to_string(got > 0 ? std::atoi(portLine) : 0);

    ListRun run = List({"--tcp"});
    ::close(toHolder[1]); // the holder ends when its input does
    int status = 0;
    ::waitpid(holder, &status, 0);
    ASSERT_GT(got, 0) << "the socket holder did not start";

    int rows = 0;
    for (const auto& fields : Lines(run.out)) {
        if (fields.size() < 3 || fields[2] != local)
            continue;
        ++rows;
        ASSERT_EQ(fields.size(), 7u);
        EXPECT_EQ(fields[5], std::to_string(holder));
        EXPECT_EQ(fields[6], dir.path() + "/odd\\tname\\nwith\\\\slash\\x01\\x7f\xff");
        EXPECT_EQ(Unescape(fields[6]), program);
    }
    EXPECT_EQ(rows, 1);
}

TEST(OmbrelList, HelpAndUsageErrors) {
    ListRun help = List({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("--tcp"), std::string::npos);
    EXPECT_NE(help.out.find("--udp"), std::string::npos);

    ListRun bad = List({"--tcp", "-x"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_EQ(bad.out, "");
    EXPECT_EQ(std::count(bad.err.begin(), bad.err.end(), '\n'), 1);
    EXPECT_NE(bad.err.find("usage"), std::string::npos);
}

namespace {

// A copy of ombrel-list (or program) every user can run; see CapableCopy.
std::string CopyOfList(const TempDir& dir, const char* name, bool capabilities,
                       const char* program = OMBREL_LIST, bool effective = false) {
    return CapableCopy(dir, program, name, capabilities, effective);
}

} // namespace

// As a user given the debug capabilities, another user's listener shows its
// process id and path; without them, no owner.
TEST(OmbrelList, TheDebugCapabilitiesShowOtherUsersOwners) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make another user's listener and a file capability";
    const uid_t nobody = 65534;
    sockaddr_in addr{};
    std::string local;
    int listener = LoopbackListener(addr, local);
    ASSERT_GE(listener, 0);
    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);

    TempDir dir;
    std::string capable = CopyOfList(dir, "ombrel-list-capable", true);
    std::string plain = CopyOfList(dir, "ombrel-list-plain", false);
    if (capable.empty())
        GTEST_SKIP() << "this file system holds no file capabilities";
    auto ownerOf = [&](const std::string& program) {
        ListRun run = List({"--tcp"}, program.c_str(), nobody);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        for (const auto& fields : Lines(run.out))
            if (fields.size() == 7 && fields[2] == local)
                return fields[5] + " " + Unescape(fields[6]);
        return std::string("<no row>");
    };
    EXPECT_EQ(ownerOf(capable), std::to_string(::getpid()) + " " + exe);
    EXPECT_EQ(ownerOf(plain), "0 ");
    ::close(listener);
}

// An ordinary user's run with the owner helper beside the program: given
// its capabilities, root's listener shows root's pid and the process's name
// in brackets, never its path; without them, no owner.
TEST(OmbrelList, TheOwnerHelperNamesEveryOwnerButNoPath) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make another user's listener and a file capability";
    const uid_t nobody = 65534;
    sockaddr_in addr{};
    std::string local;
    int listener = LoopbackListener(addr, local);
    ASSERT_GE(listener, 0);
    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    auto ownerOf = [&](bool capabilities) {
        TempDir dir;
        std::string list = CopyOfList(dir, "ombrel-list", false);
        if (CopyOfList(dir, "ombrel-owners", capabilities, OMBREL_OWNERS, true).empty())
            return std::string("<no capabilities here>");
        ListRun run = List({"--tcp"}, list.c_str(), nobody);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        for (const auto& fields : Lines(run.out))
            if (fields.size() == 7 && fields[2] == local)
                return fields[5] + " " + Unescape(fields[6]);
        return std::string("<no row>");
    };
    std::string withHelper = ownerOf(true);
    if (withHelper == "<no capabilities here>")
        GTEST_SKIP() << "this file system holds no file capabilities";
    std::string name = std::string(exe).substr(std::string(exe).rfind('/') + 1).substr(0, 15);
    EXPECT_EQ(withHelper, std::to_string(::getpid()) + " [" + name + "]");
    EXPECT_EQ(ownerOf(false), "0 ");
    ::close(listener);
}

// Asked through OMBREL_OWNER_SOURCE, standard error names the source of the
// owners and why a faster one did not answer; unasked, it says nothing.
TEST(OmbrelList, SaysWhichSourceNamedTheOwnersWhenAsked) {
    ListRun asked, unasked;
    {
        ScopedEnv ask;
        ask.Set("OMBREL_OWNER_SOURCE", "1");
        asked = List({"--tcp"});
        ask.Set("OMBREL_OWNER_SOURCE", nullptr);
        unasked = List({"--tcp"});
    }
    EXPECT_EQ(unasked.err, "");
    ASSERT_EQ(asked.exitCode, 0);
    EXPECT_EQ(asked.err.rfind("ombrel-list: owners: ", 0), 0u) << asked.err;
    if (::geteuid() != 0)
        return;
    // An ordinary user with no helper beside the program: the scan, and why
    // not the kernel's walk.
    TempDir dir;
    std::string alone = CopyOfList(dir, "ombrel-list-alone", false);
    ScopedEnv ask;
    ask.Set("OMBREL_OWNER_SOURCE", "1");
    ListRun user = List({"--tcp"}, alone.c_str(), 65534);
    EXPECT_EQ(user.exitCode, 0) << user.err;
    EXPECT_EQ(user.err, "ombrel-list: no owner helper beside the program; owners: a scan of /proc "
                        "(the kernel's walk: the caller holds neither CAP_BPF with CAP_PERFMON "
                        "nor CAP_SYS_ADMIN)\n");
}
