// ombrel-list, run as a separate program against sockets this test holds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

struct ListRun {
    int exitCode = -1;
    std::string out, err;
};

std::string Slurp(int fd) {
    std::string text;
    ::lseek(fd, 0, SEEK_SET);
    char chunk[4096];
    ssize_t got;
    while ((got = ::read(fd, chunk, sizeof chunk)) > 0)
        text.append(chunk, static_cast<size_t>(got));
    return text;
}

ListRun List(std::vector<std::string> args) {
    args.insert(args.begin(), OMBREL_LIST);
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fileno(out), 1);
    posix_spawn_file_actions_adddup2(&actions, fileno(err), 2);
    pid_t pid = 0;
    ListRun run;
    if (posix_spawn(&pid, OMBREL_LIST, &actions, nullptr, argv.data(), environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    run.out = Slurp(fileno(out));
    run.err = Slurp(fileno(err));
    std::fclose(out);
    std::fclose(err);
    return run;
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

} // namespace

TEST(OmbrelList, PrintsOurSocketsWithTheSameFactsAsTheTable) {
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 2), 0);
    socklen_t length = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    const std::string local = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));
    int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    // Until accepted, no process holds it; without CLOEXEC ombrel-list would
    // inherit it and, started last, own it.
    int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    int udp = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    addr.sin_port = 0;
    ASSERT_EQ(::bind(udp, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    length = sizeof addr;
    ::getsockname(udp, reinterpret_cast<sockaddr*>(&addr), &length);
    const std::string udpLocal = "127.0.0.1:" + std::to_string(ntohs(addr.sin_port));

    char exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
    const std::string self = std::to_string(::getpid());

    ListRun all = List({});
    EXPECT_EQ(all.exitCode, 0);
    int key = 0, listening = 0, pairs = 0;
    bool sawUdp = false;
    for (const auto& fields : Lines(all.out)) {
        ASSERT_EQ(fields.size(), 7u);
        EXPECT_EQ(fields[0], std::to_string(key++)); // table order
        if (fields[1] == "TCP" && fields[2] == local && fields[4] == "监听") {
            ++listening;
            EXPECT_EQ(fields[3], "0.0.0.0:0");
            EXPECT_EQ(fields[5], self);
            EXPECT_EQ(fields[6], exe);
        } else if (fields[1] == "TCP" && (fields[2] == local || fields[3] == local)) {
            ++pairs;
            EXPECT_EQ(fields[4], "连接");
            EXPECT_EQ(fields[5], self);
        } else if (fields[1] == "UDP" && fields[2] == udpLocal) {
            sawUdp = true;
            EXPECT_EQ(fields[3], "0.0.0.0:0");
            EXPECT_EQ(fields[4], "");
            EXPECT_EQ(fields[5], self);
        }
    }
    EXPECT_EQ(listening, 1);
    EXPECT_EQ(pairs, 2);
    EXPECT_TRUE(sawUdp);

    for (const auto& fields : Lines(List({"--udp"}).out))
        EXPECT_EQ(fields[1], "UDP");
    for (const auto& fields : Lines(List({"--tcp"}).out))
        EXPECT_EQ(fields[1], "TCP");
    ::close(listener);
    ::close(client);
    ::close(server);
    ::close(udp);
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
