// ombrel-list, run as a separate program against sockets this test holds.
#include <algorithm>
#include <arpa/inet.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

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

// The reader's side of ombrel-list's escapes: \xHH is one byte, \uHHHH one
// character.
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
        } else if (field[at] == 'u' && at + 4 < field.size()) {
            unsigned code = static_cast<unsigned>(std::stoi(field.substr(at + 1, 4), nullptr, 16));
            if (code < 0x800) {
                text += static_cast<char>(0xC0 | code >> 6);
            } else {
                text += static_cast<char>(0xE0 | code >> 12);
                text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            }
            text += static_cast<char>(0x80 | (code & 0x3F));
            at += 4;
        } else {
            text += field[at];
        }
    }
    return text;
}

// Where text first fails to be strict UTF-8 free of control characters
// other than the tab and the newline that separate fields and lines, or
// npos. What a terminal or a strict reader sees of the output.
size_t FirstUnsafeByte(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        auto byte = [&](size_t i) {
            return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
        };
        unsigned lead = byte(0), code = 0;
        size_t length = lead < 0x80                    ? 1
                        : lead >= 0xC2 && lead <= 0xDF ? 2
                        : lead >= 0xE0 && lead <= 0xEF ? 3
                        : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                       : 0;
        if (length == 0)
            return at;
        code = length == 1 ? lead : lead & (0x7Fu >> length);
        for (size_t i = 1; i < length; ++i) {
            if ((byte(i) & 0xC0) != 0x80)
                return at;
            code = code << 6 | (byte(i) & 0x3F);
        }
        const unsigned least[] = {0, 0, 0x80, 0x800, 0x10000};
        if (code < least[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)
            return at;
        if ((code < 0x20 && code != '\t' && code != '\n') || (code >= 0x7F && code <= 0x9F))
            return at;
        at += length;
    }
    return std::string::npos;
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
    // A port number is the protocol's own: another process's TCP listener
    // may have our UDP socket's.
    auto ours = [&](const std::vector<std::string>& fields) {
        return fields.size() > 3 &&
               (fields[1] == "TCP" ? (fields[2] == local &&
                                      (fields[3] == "0.0.0.0:0" || fields[3] == clientLocal)) ||
                                         (fields[2] == clientLocal && fields[3] == local)
                                   : fields[2] == udpLocal || fields[2] == udp6Local);
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

namespace {

// The socket holder copied to program and run from there (so its process's
// name is the copy's file name), holding a listener until it is stopped.
class Holder {
public:
    // launcher: a program that runs the holder (unshare -n: in a network
    // namespace of its own); none: the holder itself.
    explicit Holder(const std::string& program, const char* launcher = nullptr) {
        {
            std::ifstream in(OMBREL_SOCKET_HOLDER, std::ios::binary);
            std::ofstream out(program, std::ios::binary);
            out << in.rdbuf();
        }
        ::chmod(program.c_str(), 0755);
        int toHolder[2], fromHolder[2];
        if (::pipe2(toHolder, O_CLOEXEC) != 0)
            return;
        if (::pipe2(fromHolder, O_CLOEXEC) != 0) {
            ::close(toHolder[0]);
            ::close(toHolder[1]);
            return;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, toHolder[0], 0);
        posix_spawn_file_actions_adddup2(&actions, fromHolder[1], 1);
        char* argv[] = {const_cast<char*>(launcher), const_cast<char*>("-n"),
                        const_cast<char*>(program.c_str()), nullptr};
        char** args = launcher != nullptr ? argv : argv + 2;
        if (posix_spawn(&pid_, args[0], &actions, nullptr, args, environ) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(toHolder[0]);
        ::close(fromHolder[1]);
        input_ = toHolder[1];
        char portLine[16] = {};
        if (pid_ > 0 && ::read(fromHolder[0], portLine, sizeof portLine - 1) > 0)
            local_ = "127.0.0.1:" + std::to_string(std::atoi(portLine));
        ::close(fromHolder[0]);
    }
    ~Holder() { Stop(); }
    // Ends the holder: it ends when its input does.
    void Stop() {
        if (input_ >= 0)
            ::close(input_);
        input_ = -1;
        if (pid_ > 0)
            ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    pid_t pid() const { return pid_; }
    // Its listener's address as ombrel-list writes it; empty if it did not start.
    const std::string& local() const { return local_; }

private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::string local_;
};

// The program field of the row of local, or "<no row>".
std::string ProgramOf(const ListRun& run, const std::string& local) {
    for (const auto& fields : Lines(run.out))
        if (fields.size() == 7 && fields[2] == local)
            return fields[6];
    return "<no row>";
}

} // namespace

// A program whose path holds a tab, a newline, a backslash, control bytes
// and a byte that is not UTF-8: its row still has seven fields and the path
// reads back whole.
TEST(OmbrelList, EscapedPathReadsBackWhole) {
    TempDir dir;
    const std::string program = dir.path() + "/odd\tname\nwith\\slash\x01\x7f\xff";
    Holder holder(program);
    ASSERT_FALSE(holder.local().empty()) << "the socket holder did not start";
    ListRun run = List({"--tcp"});
    const pid_t pid = holder.pid();
    holder.Stop();

    int rows = 0;
    for (const auto& fields : Lines(run.out)) {
        if (fields.size() < 3 || fields[2] != holder.local())
            continue;
        ++rows;
        ASSERT_EQ(fields.size(), 7u);
        EXPECT_EQ(fields[5], std::to_string(pid));
        EXPECT_EQ(fields[6], dir.path() + "/odd\\tname\\nwith\\\\slash\\x01\\x7f\\xff");
        EXPECT_EQ(Unescape(fields[6]), program);
    }
    EXPECT_EQ(rows, 1);
}

// A path, and a process's name where the path cannot be read, that hold an
// 8-bit CSI (the byte 0x9b and the character U+009B), a byte that is not
// UTF-8, a right-to-left override and a newline: the whole output is still
// strict UTF-8 with no control character but the separators, the path reads
// back whole and the name shows in brackets, where no path can begin.
TEST(OmbrelList, HostileBytesNeitherActOnATerminalNorBreakUtf8) {
    TempDir dir;
    const std::string name = "\x9bK\xc2\x9bK\xff\xe2\x80\xae\n"; // CSI K: erase the line
    const std::string escaped = "\\x9bK\\u009bK\\xff\\u202e\\n";
    const std::string program = dir.path() + "/" + name;
    Holder holder(program);
    ASSERT_FALSE(holder.local().empty()) << "the socket holder did not start";

    ListRun own = List({});
    EXPECT_EQ(own.exitCode, 0);
    EXPECT_EQ(FirstUnsafeByte(own.out), std::string::npos);
    EXPECT_EQ(ProgramOf(own, holder.local()), dir.path() + "/" + escaped);
    EXPECT_EQ(Unescape(ProgramOf(own, holder.local())), program);
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to read the listing of another user";

    // Run by another user beside the owner helper, which names the holder.
    TempDir helperDir;
    std::string list = CapableCopy(helperDir, OMBREL_LIST, "ombrel-list", false, false);
    if (CapableCopy(helperDir, OMBREL_OWNERS, "ombrel-owners", true, true).empty())
        GTEST_SKIP() << "this file system holds no file capabilities";
    ListRun other = List({}, list.c_str(), 65534);
    EXPECT_EQ(other.exitCode, 0) << other.err;
    EXPECT_EQ(FirstUnsafeByte(other.out), std::string::npos);
    EXPECT_EQ(ProgramOf(other, holder.local()), "[" + escaped + "]");
}

// --json: one document, valid JSON whatever a program's path holds, whose
// rows are the text output's: the same fields, the path read back the
// same, and each row's namespace, another one's named as the text names it.
TEST(OmbrelList, JsonCarriesTheTextRowsWithTheirNamespaces) {
    TempDir dir;
    const std::string program = dir.path() + "/q\"uote\\slash\t\x01\xff\xe2\x80\xae";
    Holder holder(program);
    ASSERT_FALSE(holder.local().empty()) << "the socket holder did not start";
    std::unique_ptr<Holder> apart;
    if (::geteuid() == 0 && ::access("/usr/bin/unshare", X_OK) == 0)
        apart = std::make_unique<Holder>(program, "/usr/bin/unshare");
    std::string apartNamespace;
    struct stat apartInfo {};
    if (apart && !apart->local().empty() &&
        ::stat(("/proc/" + std::to_string(apart->pid()) + "/ns/net").c_str(), &apartInfo) == 0)
        apartNamespace = std::to_string(apartInfo.st_ino);
    ListRun text = List({});
    ListRun json = List({"--json"});

    EXPECT_EQ(json.exitCode, 0) << json.err;
    EXPECT_EQ(FirstUnsafeByte(json.out), std::string::npos);
    QJsonParseError error{};
    QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(json.out), &error);
    ASSERT_EQ(error.error, QJsonParseError::NoError) << error.errorString().toStdString();
    EXPECT_EQ(document.object().value("schema").toInt(), 1);
    const QJsonArray endpoints = document.object().value("endpoints").toArray();
    ASSERT_FALSE(endpoints.isEmpty());

    struct stat file {};
    ASSERT_EQ(::stat(program.c_str(), &file), 0);
    auto endpointText = [](const QJsonObject& side) {
        std::string address = side.value("address").toString().toStdString();
        std::string scope = side.value("scope").toString().toStdString();
        if (!scope.empty())
            address += "%" + scope;
        if (address.find(':') != std::string::npos)
            address = "[" + address + "]";
        return address + ":" + std::to_string(side.value("port").toInt());
    };
    int own = 0, other = 0;
    for (const QJsonValue& value : endpoints) {
        QJsonObject row = value.toObject();
        for (const char* key : {"key", "protocol", "family", "local", "remote", "state", "pid",
                                "start", "program", "namespace"})
            ASSERT_TRUE(row.contains(key)) << key;
        QJsonObject ns = row.value("namespace").toObject();
        std::string kind = ns.value("kind").toString().toStdString();
        std::string local = endpointText(row.value("local").toObject());
        bool mine = kind == "own" && local == holder.local();
        bool theirs = kind == "inode" && apart && local == apart->local() &&
                      std::to_string(ns.value("inode").toInteger()) == apartNamespace;
        if (!mine && !theirs)
            continue;
        // The text output's row of the same endpoint, its namespace after it.
        std::string shown = local;
        if (theirs)
            shown += " @" + ns.value("name").toString().toStdString();
        std::vector<std::string> fields;
        for (const auto& line : Lines(text.out))
            if (line.size() == 7 && line[2] == shown)
                fields = line;
        ASSERT_EQ(fields.size(), 7u) << shown;
        EXPECT_EQ(row.value("protocol").toString().toStdString(), fields[1]);
        EXPECT_EQ(endpointText(row.value("remote").toObject()), fields[3]);
        EXPECT_EQ(row.value("state").toString().toStdString(), fields[4]);
        EXPECT_EQ(std::to_string(row.value("pid").toInteger()), fields[5]);
        QJsonObject ran = row.value("program").toObject();
        EXPECT_EQ(ran.value("path").toString().toStdString(), fields[6]);
        EXPECT_EQ(Unescape(ran.value("path").toString().toStdString()), program);
        EXPECT_EQ(ran.value("inode").toInteger(), static_cast<qint64>(file.st_ino));
        EXPECT_EQ(ran.value("device").toInteger(), static_cast<qint64>(file.st_dev));
        EXPECT_NE(row.value("start").toInteger(), 0);
        EXPECT_EQ(row.value("pid").toInteger(), theirs ? apart->pid() : holder.pid());
        if (theirs) {
            EXPECT_EQ(ns.value("name").toString().toStdString(),
                      "net-" + std::to_string(apartInfo.st_ino - 4026531840u));
        }
        (theirs ? other : own) += 1;
    }
    EXPECT_EQ(own, 1);
    if (apart) {
        EXPECT_EQ(other, 1) << "the holder in a namespace of its own";
    }
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

// A set-id start never runs the helper beside it: a link to the program in
// a user's folder would otherwise have it run hers. A plain copy there does.
TEST(OmbrelList, ASetIdStartNeverRunsTheHelperBesideIt) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make a set-gid program and a file capability";
    const uid_t nobody = 65534;
    sockaddr_in addr{};
    std::string local;
    int listener = LoopbackListener(addr, local);
    ASSERT_GE(listener, 0);
    TempDir dir;
    std::string setId = CopyOfList(dir, "ombrel-list-setgid", false);
    std::string plain = CopyOfList(dir, "ombrel-list", false);
    ASSERT_EQ(::chown(setId.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(setId.c_str(), 02755), 0);
    if (CopyOfList(dir, "ombrel-owners", true, OMBREL_OWNERS, true).empty())
        GTEST_SKIP() << "this file system holds no file capabilities";
    ScopedEnv ask;
    ask.Set("OMBREL_OWNER_SOURCE", "1");
    auto ownerOf = [&](const std::string& program, std::string& told) {
        ListRun run = List({"--tcp"}, program.c_str(), nobody);
#ifdef OMBREL_SANITIZED
        // The sanitizer's leak check cannot look into a set-id process,
        // and says so as it exits; the list was written before.
        if (program != setId)
#endif
            EXPECT_EQ(run.exitCode, 0) << run.err;
        told = run.err;
        for (const auto& fields : Lines(run.out))
            if (fields.size() == 7 && fields[2] == local)
                return fields[5];
        return std::string("<no row>");
    };
    std::string told;
    EXPECT_EQ(ownerOf(plain, told), std::to_string(::getpid()));
    EXPECT_NE(told.find(dir.path() + "/ombrel-owners"), std::string::npos) << told;
    EXPECT_EQ(ownerOf(setId, told), "0");
    EXPECT_EQ(told.find(dir.path()), std::string::npos) << told;
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
    // Its last line names the source; more may come first (other users'
    // namespaces read from their held sockets alone).
    ASSERT_FALSE(asked.err.empty());
    ASSERT_EQ(asked.err.back(), '\n');
    const size_t last = asked.err.rfind('\n', asked.err.size() - 2);
    const size_t start = last == std::string::npos ? 0 : last + 1;
    EXPECT_EQ(asked.err.compare(start, 21, "ombrel-list: owners: "), 0) << asked.err;
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
    EXPECT_EQ(
        user.err,
        "ombrel-list: no owner helper beside the program or installed; owners: a scan of /proc "
        "(the kernel's walk: the caller holds neither CAP_BPF with CAP_PERFMON "
        "nor CAP_SYS_ADMIN)\n");
}
