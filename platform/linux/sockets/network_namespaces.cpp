#include "sockets/network_namespaces.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <initializer_list>
#include <linux/netlink.h>
#include <linux/nsfs.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>

#include "base/directory.h"
#include "base/proc_text.h"
#include "base/procfs.h"
#include "base/regular_file.h"
#include "metadata/json_value.h"
#include "sockets/machine_tables.h"

namespace ombrel::platform {
namespace {

// A TCP socket bound and no more (include/net/tcp_states.h): no endpoint.
constexpr uint8_t kTcpClose = 7;

// The first inode the kernel gives a namespace (PROC_DYNAMIC_FIRST).
constexpr uint32_t kFirstNamespaceInode = 0xF0000000u;

// "net:[4026531840]", a namespace link's text.
std::optional<uint32_t> ParseNetLink(std::string_view link) {
    constexpr std::string_view prefix = "net:[";
    if (link.size() <= prefix.size() + 1 || link.substr(0, prefix.size()) != prefix ||
        link.back() != ']')
        return std::nullopt;
    uint64_t value = 0;
    if (!ParseDecimal(link.substr(prefix.size(), link.size() - prefix.size() - 1), value) ||
        value == 0 || value > UINT32_MAX)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

// fd's inode when it is a network namespace's nsfs file.
std::optional<uint32_t> NetworkNamespaceOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || info.st_ino == 0 || info.st_ino > UINT32_MAX ||
        ::ioctl(fd, NS_GET_NSTYPE) != CLONE_NEWNET)
        return std::nullopt;
    return static_cast<uint32_t>(info.st_ino);
}

bool IsHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

// The text between prefix and the first of ends, where path begins with
// prefix; empty otherwise.
std::string_view Between(std::string_view path, std::string_view prefix, std::string_view ends) {
    if (path.substr(0, prefix.size()) != prefix)
        return {};
    path.remove_prefix(prefix.size());
    return path.substr(0, path.find_first_of(ends));
}

// A container id of the engine's scope or folder: 64 hexadecimal digits
// between prefix and suffix, then the path's end or a deeper group.
std::string_view ContainerId(std::string_view path, std::string_view prefix,
                             std::string_view suffix) {
    if (path.substr(0, prefix.size()) != prefix)
        return {};
    path.remove_prefix(prefix.size());
    std::string_view id = path.substr(0, 64);
    path.remove_prefix(id.size());
    if (id.size() != 64 || !IsHex(id) || path.substr(0, suffix.size()) != suffix)
        return {};
    path.remove_prefix(suffix.size());
    return path.empty() || path.front() == '/' ? id : std::string_view{};
}

NetworkNamespace Named(uint32_t inode, std::string kind, std::string_view name) {
    if (name.size() > kMaxNamespaceName) {
        kind = "inode";
        name = {};
    }
    if (kind == "inode")
        return {inode, std::move(kind),
                "net-" + std::to_string(inode >= kFirstNamespaceInode ? inode - kFirstNamespaceInode
                                                                      : inode)};
    return {inode, std::move(kind), std::string(name)};
}

// A Flatpak application's id: three or more dot-separated elements of
// letters, digits, '_' and '-' (no engine's or `ip netns` name looks so).
bool IsApplicationId(std::string_view id) {
    size_t dots = 0;
    char last = '.';
    for (char c : id) {
        bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-';
        if (!word && (c != '.' || last == '.'))
            return false;
        dots += c == '.' ? 1 : 0;
        last = c;
    }
    return dots >= 2 && last != '.';
}

// A container's name as its engine shows it: a letter or digit, then
// letters, digits, '_', '.' and '-', short enough to show whole.
bool IsContainerName(std::string_view name) {
    if (name.empty() || name.size() > kMaxNamespaceName)
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && (i == 0 || (c != '_' && c != '.' && c != '-')))
            return false;
    }
    return true;
}

// An engine's state file, only as root keeps it: a regular file of root's.
std::optional<JsonValue> RootsJson(const std::string& path, size_t limit) {
    struct stat info {};
    UniqueFd file = OpenRegularFile(path, &info);
    if (!file || info.st_uid != 0 || (info.st_mode & 0022) != 0)
        return std::nullopt;
    std::optional<std::string> text = ReadToEnd(file.get(), limit);
    return text ? ParseJson(*text) : std::nullopt;
}

// Docker keeps each container's name ("/web") in its config.v2.json.
std::string DockerName(const NamingRoots& roots, std::string_view id) {
    std::optional<JsonValue> config = RootsJson(
        roots.varLib + "/docker/containers/" + std::string(id) + "/config.v2.json", 1 << 24);
    const JsonValue* name = config ? config->Find("Name") : nullptr;
    if (name == nullptr || name->kind != JsonValue::Kind::String)
        return {};
    std::string_view shown(name->text);
    if (!shown.empty() && shown.front() == '/')
        shown.remove_prefix(1);
    return IsContainerName(shown) ? std::string(shown) : std::string{};
}

// Podman keeps every container's id and names in one containers.json.
std::string PodmanName(const NamingRoots& roots, std::string_view id, EngineNames& engines) {
    if (!engines.podmanRead) {
        engines.podmanRead = true;
        std::optional<JsonValue> all = RootsJson(
            roots.varLib + "/containers/storage/overlay-containers/containers.json", 1 << 26);
        for (const JsonValue& container : all ? all->items : std::vector<JsonValue>{}) {
            const JsonValue* its = container.Find("id");
            const JsonValue* names = container.Find("names");
            if (its != nullptr && names != nullptr && !names->items.empty() &&
                names->items.front().kind == JsonValue::Kind::String)
                engines.podman.emplace_back(its->text, names->items.front().text);
        }
    }
    for (const auto& [its, name] : engines.podman)
        if (its == id)
            return IsContainerName(name) ? name : std::string{};
    return {};
}

// The process's group, read through its /proc entry (the very process,
// whatever has since taken its id).
std::string GroupAt(int processDir) {
    UniqueFd file(::openat(processDir, "cgroup", O_RDONLY | O_CLOEXEC));
    std::optional<std::string> text = file ? ReadToEnd(file.get(), 1 << 16) : std::nullopt;
    return text ? UnifiedControlGroup(*text) : std::string{};
}

// What the namespace's traffic has done since it was made: its TCP
// connections begun, taken and ended by a reset, and the packets it took
// in of either family (/proc/net/snmp and snmp6). A peer moves it by any
// packet it sends, so a socket a peer had made and dropped between two
// readings cannot stand for another.
std::optional<uint64_t> Activity(const std::string& here) {
    std::optional<std::string> text = ReadSmallFile(here + "/net/snmp", 1 << 16);
    if (!text)
        return std::nullopt;
    text->insert(0, "\n"); // so that every line, the first too, follows one
    // Each group a line of names, then one of their values: the sum of the
    // named, or none where one is missing.
    auto sum = [&](std::string_view group,
                   std::initializer_list<std::string_view> named) -> std::optional<uint64_t> {
        const std::string head = "\n" + std::string(group) + ": ";
        size_t names = text->find(head);
        size_t values = names != std::string::npos ? text->find(head, names + 1) : names;
        if (values == std::string::npos)
            return std::nullopt;
        auto fields = [&](size_t at) {
            std::string_view line(*text);
            line = line.substr(at + head.size());
            line = line.substr(0, line.find('\n'));
            std::vector<std::string_view> words;
            for (size_t start = 0; start <= line.size();) {
                size_t end = std::min(line.find(' ', start), line.size());
                words.push_back(line.substr(start, end - start));
                start = end + 1;
            }
            return words;
        };
        std::vector<std::string_view> keys = fields(names), counts = fields(values);
        uint64_t total = 0;
        size_t found = 0;
        for (size_t i = 0; i < keys.size() && i < counts.size(); ++i) {
            if (std::find(named.begin(), named.end(), keys[i]) == named.end())
                continue;
            uint64_t value = 0;
            if (!ParseDecimal(counts[i], value))
                return std::nullopt;
            total += value;
            ++found;
        }
        return found == named.size() ? std::optional(total) : std::nullopt;
    };
    std::optional<uint64_t> tcp =
        sum("Tcp", {"ActiveOpens", "PassiveOpens", "AttemptFails", "EstabResets"});
    std::optional<uint64_t> ip = sum("Ip", {"InReceives"});
    if (!tcp || !ip)
        return std::nullopt;
    uint64_t total = *tcp + *ip;
    // "Ip6InReceives   12": one name and value a line; absent without IPv6.
    if (std::optional<std::string> six = ReadSmallFile(here + "/net/snmp6", 1 << 16)) {
        size_t at = six->find("Ip6InReceives");
        if (at != 0 && (at == std::string::npos || (*six)[at - 1] != '\n'))
            return std::nullopt;
        std::string_view rest = std::string_view(*six).substr(at + 13);
        rest = rest.substr(0, rest.find('\n'));
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\t'))
            rest.remove_prefix(1);
        uint64_t value = 0;
        if (!ParseDecimal(rest, value))
            return std::nullopt;
        total += value;
    }
    return total;
}

NamespaceCounts CountSocketsOnce(const std::string& here) {
    std::optional<std::string> four = ReadSmallFile(here + "/net/sockstat", 1 << 16);
    std::optional<std::string> six = ReadSmallFile(here + "/net/sockstat6", 1 << 16);
    // "TCP: inuse 3 orphan 0 tw 1 alloc 5 mem 2": the named numbers.
    auto count = [](const std::optional<std::string>& text, std::string_view line,
                    std::string_view field) -> std::optional<uint64_t> {
        if (!text)
            return std::nullopt;
        size_t at = text->find(std::string(line) + ":");
        if (at != 0 && (at == std::string::npos || (*text)[at - 1] != '\n'))
            return std::nullopt;
        std::string_view rest(*text);
        rest = rest.substr(at + line.size() + 1);
        rest = rest.substr(0, rest.find('\n'));
        size_t name = rest.find(" " + std::string(field) + " ");
        if (name == std::string_view::npos)
            return std::nullopt;
        rest.remove_prefix(name + field.size() + 2);
        uint64_t value = 0;
        return ParseDecimal(rest.substr(0, rest.find(' ')), value) ? std::optional(value)
                                                                   : std::nullopt;
    };
    return {count(four, "TCP", "inuse"), count(six, "TCP6", "inuse"), count(four, "TCP", "tw"),
            count(four, "UDP", "inuse"), count(six, "UDP6", "inuse"), Activity(here)};
}

// A thread's user, as the walk takes a holder's: the first of its real and
// effective ids that is not root's (a set-user-id program's thread is its
// user's), 0 where both are root's or its status cannot be read.
uint32_t TaskUser(int tasks, std::string_view tid) {
    std::string name = std::string(tid) + "/status";
    UniqueFd fd(::openat(tasks, name.c_str(), O_RDONLY | O_CLOEXEC));
    std::optional<std::string> text = fd ? ReadToEnd(fd.get(), 1 << 16) : std::nullopt;
    size_t at = text ? text->find("\nUid:\t") : std::string::npos;
    if (at == std::string::npos)
        return 0;
    std::string_view line = std::string_view(*text).substr(at + 6);
    line = line.substr(0, line.find('\n'));
    for (int field = 0; field < 2; ++field) {
        size_t end = std::min(line.find('\t'), line.size());
        uint64_t id = 0;
        if (ParseDecimal(line.substr(0, end), id) && id != 0 && id <= UINT32_MAX)
            return static_cast<uint32_t>(id);
        line.remove_prefix(std::min(end + 1, line.size()));
    }
    return 0;
}

// Which of a namespace's tables may hold a socket: all but those its counts
// say are empty (a count that cannot be read may).
struct MayHold {
    bool tcp = true;
    bool udp4 = true;
    bool udp6 = true;
};

// The counts are sums over the processors read without a lock: a socket
// made on one while another is closed on a second can hide a third that
// stands. A table counts as empty only when two readings say so.
MayHold CountSockets(const std::string& here) {
    MayHold may;
    auto none = [](std::optional<uint64_t> value) { return value && *value == 0; };
    for (int reading = 0; reading < 2; ++reading) {
        NamespaceCounts counts = CountSocketsOnce(here);
        may.tcp = (reading == 1 && may.tcp) ||
                  !(none(counts.tcp4) && none(counts.timeWait) && none(counts.tcp6));
        may.udp4 = (reading == 1 && may.udp4) || !none(counts.udp4);
        may.udp6 = (reading == 1 && may.udp6) || !none(counts.udp6);
        if (may.tcp && may.udp4 && may.udp6)
            break;
    }
    return may;
}

// Whether the sockets files hold are all the namespace has: with nothing
// in TIME_WAIT and no handshake under way, its counts match them in two
// readings after the walk and in two before it (before: the caller's), so
// that a held socket gone by the counts' time cannot stand for one no file
// holds, and the namespace's traffic did nothing in between. Where the kernel has no IPv6, its
// tables are unread, as a dump finds them. Counts are no record of which sockets they count: a
// socket hashed just for the walk and unhashed for every reading around it would hide one no file
// holds; that is why only namespaces whose sockets root alone holds are read so.
bool HeldAreAll(const std::string& here, const HeldSockets& held, const NamespaceCounts& before,
                NamespaceSockets& result) {
    if (held.requests != 0)
        return false;
    auto size = [&](size_t table) { return std::optional<uint64_t>(held.sockets[table].size()); };
    // No connection begun or reset and no packet taken in between the
    // readings: nothing a peer did made or dropped a socket.
    NamespaceCounts expected{size(kTcp4), size(kTcp6), uint64_t{0},
                             size(kUdp4), size(kUdp6), before.activity};
    if (!before.activity)
        return false;
    const bool v6 = ::access((here + "/net/sockstat6").c_str(), F_OK) == 0;
    if (!v6 && held.sockets[kTcp6].empty() && held.sockets[kUdp6].empty())
        expected.tcp6 = expected.udp6 = std::nullopt;
    if (before != expected || CountSocketsOnce(here) != expected ||
        CountSocketsOnce(here) != expected)
        return false;
    result.sockets = held.sockets;
    result.read = {true, true, v6, v6};
    return true;
}

// Whose a namespace is, by its user namespace: the caller's own (the
// machine's), or else one below it, whose dumps are counted together with
// every namespace of the same user namespace tree top: by its creator where
// a user made it (so that her nested ones, under ids of her subordinate
// ranges, are still hers), by the top itself where root made it (a
// container's). A namespace the kernel says nothing of counts as a user's.
struct NamespaceTrust {
    bool machines = false;
    uint64_t budget = 0; // whose dumps it spends
};

NamespaceTrust TrustOf(int netns) {
    static const uint64_t own = [] {
        struct stat info {};
        return ::stat("/proc/self/ns/user", &info) == 0 ? info.st_ino : 0;
    }();
    auto inodeOf = [](int fd) {
        struct stat info {};
        return ::fstat(fd, &info) == 0 ? info.st_ino : 0;
    };
    NamespaceTrust trust{false, uint64_t{1} << 62}; // a budget no user's id makes
    UniqueFd userns(::ioctl(netns, NS_GET_USERNS));
    if (!userns)
        return trust;
    if (inodeOf(userns.get()) == own) {
        trust.machines = true;
        return trust;
    }
    // Up to the top below the caller's own (the kernel nests 32 at most).
    for (int depth = 0; depth < 33; ++depth) {
        UniqueFd parent(::ioctl(userns.get(), NS_GET_PARENT));
        if (!parent)
            return trust;
        if (inodeOf(parent.get()) == own)
            break;
        userns = std::move(parent);
    }
    uid_t creator = 0;
    if (::ioctl(userns.get(), NS_GET_OWNER_UID, &creator) != 0)
        return trust;
    trust.budget = creator != 0 ? creator : uint64_t{1} << 32 | inodeOf(userns.get());
    return trust;
}

// The dumps one namespace's tables take, each on a socket of its own (a
// dump cut short leaves its socket unfit for the next).
enum Dumps : size_t { kBothTcp, kTcp4Only, kTcp6Only, kUdp4Only, kUdp6Only, kDumpCount };

// How long a child that enters a user's namespace for her may take: it
// makes five sockets and ends.
constexpr int kChildTimeoutMs = 2000;

// In a child just forked: closes every descriptor but the three it keeps
// (a copy of another thread's pair end, or of the program's links, is not
// the child's to hold). System calls alone.
void CloseAllBut(int a, int b, int c) {
    int keep[3] = {a, b, c};
    for (int i = 0; i < 3; ++i)
        for (int j = i + 1; j < 3; ++j)
            if (keep[j] < keep[i])
                std::swap(keep[i], keep[j]);
    unsigned first = 0;
    for (int fd : keep) {
        if (static_cast<unsigned>(fd) > first)
            ::syscall(SYS_close_range, first, static_cast<unsigned>(fd) - 1, 0);
        first = static_cast<unsigned>(fd) + 1;
    }
    ::syscall(SYS_close_range, first, ~0u, 0);
}

// A namespace the caller may not enter on her own but owns through a user
// namespace of hers (a rootless container's): a child of ours enters both,
// makes the netlink sockets there and hands them back; the dumps run here.
// A child, since a process of more than one thread may not enter a user
// namespace; between fork and exit it makes system calls alone, and no one
// in the container may trace it or read its memory (it is not dumpable),
// nor hold the program up (a child that does not answer in time is
// killed). uidMap gets the user namespace's map as the child saw it.
bool DiagSocketsAsOwner(int netns, std::array<UniqueFd, kDumpCount>& diag, std::string& uidMap) {
    UniqueFd userns(::ioctl(netns, NS_GET_USERNS));
    uid_t owner = 0;
    if (!userns || ::ioctl(userns.get(), NS_GET_OWNER_UID, &owner) != 0 || owner != ::geteuid())
        return false;
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return false;
    UniqueFd ours(pair[0]), theirs(pair[1]);
    pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        ::prctl(PR_SET_DUMPABLE, 0);
        CloseAllBut(theirs.get(), userns.get(), netns);
        int made[kDumpCount];
        size_t count = 0;
        if (::setns(userns.get(), CLONE_NEWUSER) == 0 && ::setns(netns, CLONE_NEWNET) == 0)
            for (; count < kDumpCount; ++count)
                if ((made[count] =
                         ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)) < 0)
                    break;
        char byte = count == kDumpCount ? 1 : 0;
        iovec data{&byte, 1};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof made)] = {};
        msghdr message{};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        if (byte == 1) {
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            cmsghdr* rights = CMSG_FIRSTHDR(&message);
            rights->cmsg_level = SOL_SOCKET;
            rights->cmsg_type = SCM_RIGHTS;
            rights->cmsg_len = CMSG_LEN(sizeof made);
            std::memcpy(CMSG_DATA(rights), made, sizeof made);
        }
        ::sendmsg(theirs.get(), &message, MSG_NOSIGNAL);
        ::_exit(0);
    }
    theirs.reset();
    char byte = 0;
    iovec data{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kDumpCount)] = {};
    msghdr message{};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    pollfd ready{ours.get(), POLLIN, 0};
    ssize_t got = -1;
    if (::poll(&ready, 1, kChildTimeoutMs) == 1)
        got = ::recvmsg(ours.get(), &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    // Every descriptor that came is ours to close, whatever else came.
    std::vector<UniqueFd> received;
    for (cmsghdr* rights = got > 0 ? CMSG_FIRSTHDR(&message) : nullptr; rights != nullptr;
         rights = CMSG_NXTHDR(&message, rights)) {
        if (rights->cmsg_level != SOL_SOCKET || rights->cmsg_type != SCM_RIGHTS ||
            rights->cmsg_len < CMSG_LEN(0))
            continue;
        size_t count = (rights->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < count; ++i) {
            int fd = -1;
            std::memcpy(&fd, CMSG_DATA(rights) + i * sizeof(int), sizeof fd);
            received.emplace_back(fd);
        }
    }
    bool whole = got == 1 && byte == 1 && received.size() == kDumpCount &&
                 (message.msg_flags & MSG_CTRUNC) == 0;
    // The map is read while the child, in that user namespace, is not yet
    // reaped: its id is no one else's until then.
    if (whole) {
        UniqueFd map(
            ::open(("/proc/" + std::to_string(child) + "/uid_map").c_str(), O_RDONLY | O_CLOEXEC));
        std::optional<std::string> text = map ? ReadToEnd(map.get(), 1 << 16) : std::nullopt;
        whole = text.has_value();
        uidMap = text.value_or("");
    }
    ::kill(child, SIGKILL); // gone already, or stuck
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (!whole)
        return false;
    for (size_t i = 0; i < kDumpCount; ++i)
        diag[i] = std::move(received[i]);
    return true;
}

// The user ids of a namespace read from inside her user namespace are that
// namespace's: each goes back to the one it stands for here by the
// namespace's map; one the map does not hold (the kernel's overflow id for
// a user the namespace cannot name) is no one's.
void MapUsersBack(std::string_view uidMap, std::array<std::vector<InetSocket>, 4>& sockets) {
    struct Range {
        uint64_t inside, outside, count;
    };
    std::vector<Range> ranges;
    std::istringstream lines{std::string(uidMap)};
    for (Range range{}; lines >> range.inside >> range.outside >> range.count;)
        ranges.push_back(range);
    for (std::vector<InetSocket>& table : sockets)
        for (InetSocket& socket : table) {
            uint32_t mapped = kUnknownUser;
            for (const Range& range : ranges)
                if (socket.uid >= range.inside && socket.uid - range.inside < range.count) {
                    mapped = static_cast<uint32_t>(range.outside + (socket.uid - range.inside));
                    break;
                }
            socket.uid = mapped;
        }
}

} // namespace

std::string UnifiedControlGroup(std::string_view text) {
    while (!text.empty()) {
        std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(std::min(text.size(), line.size() + 1));
        if (line.substr(0, 3) == "0::")
            return std::string(line.substr(3));
    }
    return {};
}

uint32_t OwnNetworkNamespace() {
    struct stat info {};
    if (::stat("/proc/self/ns/net", &info) != 0 || info.st_ino > UINT32_MAX)
        return 0;
    return static_cast<uint32_t>(info.st_ino);
}

uint32_t AddNetworkNamespace(std::vector<FoundNamespace>& found, UniqueFd fd, uint32_t own) {
    std::optional<uint32_t> inode = fd ? NetworkNamespaceOf(fd.get()) : std::nullopt;
    if (!inode || *inode == own)
        return 0;
    FoundNamespace added;
    added.inode = *inode;
    added.fd = std::move(fd);
    found.push_back(std::move(added));
    return *inode;
}

std::vector<FoundNamespace> FindNetworkNamespaces(uint32_t own) {
    std::unordered_map<uint32_t, FoundNamespace> byInode;
    UniqueFd proc(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Every task: a thread may have entered a namespace of its own, and a
    // process whose main thread has exited lives on in its others.
    for (uint32_t pid : proc ? ListProcessIds("/proc") : std::vector<uint32_t>{}) {
        std::string name = std::to_string(pid);
        UniqueFd process(::openat(proc.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        UniqueFd tasks(process ? ::openat(process.get(), "task", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                               : -1);
        if (!tasks)
            continue;
        ForEachDirectoryEntryAt(tasks.get(), [&](std::string_view tid, unsigned char) {
            if (!ParseProcessId(tid))
                return;
            std::string link = std::string(tid) + "/ns/net";
            auto inodeNow = [&] {
                std::optional<std::string> text = ReadLinkAt(tasks.get(), link.c_str());
                return text ? ParseNetLink(*text) : std::nullopt;
            };
            std::optional<uint32_t> inode = inodeNow();
            if (!inode || *inode == own)
                return;
            const uint32_t user = TaskUser(tasks.get(), tid);
            if (auto known = byInode.find(*inode); known != byInode.end()) {
                if (known->second.user == 0)
                    known->second.user = user;
                return;
            }
            // The group of the process as it is in the namespace: read
            // through its entry, and kept only if the task is still there.
            std::string group = GroupAt(process.get());
            if (inodeNow() != inode)
                return;
            FoundNamespace& entry = byInode[*inode];
            entry.inode = *inode;
            entry.path = "/proc/" + name + "/task/" + link;
            entry.group = std::move(group);
            entry.user = user;
        });
    }
    // Namespaces kept by a mount alone (`ip netns add`, an engine's
    // sandboxes), and the mount that names those processes keep too.
    if (auto mountinfo = ReadSmallFile("/proc/self/mountinfo", size_t{1} << 26)) {
        ForEachMountInfoLine(*mountinfo, [&](const MountInfoLine& line) {
            if (!line.described || line.type != "nsfs")
                return;
            UniqueFd fd(::open(line.point.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
            std::optional<uint32_t> inode = fd ? NetworkNamespaceOf(fd.get()) : std::nullopt;
            if (!inode || *inode == own)
                return;
            FoundNamespace& entry = byInode[*inode];
            entry.inode = *inode;
            if (entry.path.empty())
                entry.path = line.point;
            bool named = line.point.substr(0, 11) == "/run/netns/";
            if (entry.mount.empty() || (named && entry.mount.substr(0, 11) != "/run/netns/"))
                entry.mount = line.point;
        });
    }
    std::vector<FoundNamespace> found;
    found.reserve(byInode.size());
    for (auto& [inode, entry] : byInode)
        found.push_back(std::move(entry));
    std::sort(found.begin(), found.end(),
              [](const FoundNamespace& a, const FoundNamespace& b) { return a.inode < b.inode; });
    return found;
}

namespace {

// Runs each(i, netns) for every namespace found, on two threads of our own
// (as the caller's own tables are read), netns the namespace opened as its
// turn comes and only while it is still that namespace (a task may have
// moved on since); a namespace that is not is skipped. A worker's thread
// ends with it, so no thread of the program stays in a namespace it
// entered; without a thread no namespace is entered. Those skip marks (if
// given) are not opened. What a worker throws is thrown here after both are joined.
template <typename Each>
void InEachNamespace(const std::vector<FoundNamespace>& found, const std::vector<char>* skip,
                     Each each) {
    std::atomic<size_t> next{0};
    std::exception_ptr failure;
    std::mutex failureLock;
    auto work = [&] {
        try {
            for (size_t i = next++; i < found.size(); i = next++) {
                if (skip != nullptr && (*skip)[i])
                    continue;
                UniqueFd opened =
                    found[i].fd ? UniqueFd(::fcntl(found[i].fd.get(), F_DUPFD_CLOEXEC, 0))
                                : UniqueFd(::open(found[i].path.c_str(), O_RDONLY | O_CLOEXEC));
                if (opened && NetworkNamespaceOf(opened.get()) == found[i].inode)
                    each(i, opened.get());
            }
        } catch (...) {
            std::lock_guard lock(failureLock);
            if (!failure)
                failure = std::current_exception();
            next = found.size();
        }
    };
    std::vector<std::jthread> workers;
    for (int i = 0; i < 2 && static_cast<size_t>(i) < found.size(); ++i) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            break; // fewer threads to be had: those there are do the work
        }
    }
    for (std::jthread& worker : workers)
        worker.join();
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace

std::vector<NamespaceCounts> CountNamespaceSockets(const std::vector<FoundNamespace>& found) {
    std::vector<NamespaceCounts> counts(found.size());
    InEachNamespace(found, nullptr, [&](size_t i, int netns) {
        if (::setns(netns, CLONE_NEWNET) != 0)
            return;
        NamespaceCounts first = CountSocketsOnce("/proc/thread-self");
        if (CountSocketsOnce("/proc/thread-self") == first)
            counts[i] = first;
    });
    return counts;
}

std::vector<NamespaceSockets> ReadNamespaceSockets(const std::vector<FoundNamespace>& found,
                                                   const HeldByNamespace* held,
                                                   const std::vector<NamespaceCounts>* before) {
    static const HeldSockets kNoneHeld;
    static const NamespaceCounts kUncounted;
    std::vector<NamespaceSockets> results(found.size());
    // Where the kernel's walk of the descriptors saw every socket one of
    // the machine's namespaces has, and only root holds them, those are its
    // tables, and it is not dumped (a dump walks the tables every namespace
    // shares).
    std::vector<char> settled(found.size(), 0);
    if (held != nullptr) {
        // Whose dumps each other one would spend: its user namespace
        // tree's, else those of a user who holds a socket or lives in it (a
        // set-user-id sandbox's namespaces are of the machine's, but hers).
        std::vector<std::optional<uint64_t>> spends(found.size());
        std::vector<char> seen(found.size(), 0);
        InEachNamespace(found, nullptr, [&](size_t i, int netns) {
            seen[i] = 1;
            const NamespaceTrust trust = TrustOf(netns);
            // Grants go only to namespaces a thread can enter, not to be
            // spent on one the second pass cannot read; the others are
            // read there as they can be, as they always were.
            if (::setns(netns, CLONE_NEWNET) != 0)
                return;
            auto told = held->find(found[i].inode);
            const HeldSockets& its = told != held->end() ? told->second : kNoneHeld;
            if (trust.machines && its.user == 0 &&
                HeldAreAll("/proc/thread-self", its,
                           before != nullptr && i < before->size() ? (*before)[i] : kUncounted,
                           results[i])) {
                results[i].entered = true;
                settled[i] = 1;
                return;
            }
            const uint32_t user = its.user != 0 ? its.user : found[i].user;
            if (!trust.machines || user != 0)
                spends[i] = !trust.machines ? trust.budget : user;
        });
        // Each dump costs a walk of every socket of the machine, and a user
        // may give each of her namespaces a socket no file holds (a
        // TIME_WAIT is a connect and a close away): past its budget a
        // namespace is read from what files hold, and marked so. The
        // budget goes by inode, so that a refresh reads the same ones in
        // full as the one before.
        std::vector<size_t> byInode(found.size());
        for (size_t i = 0; i < found.size(); ++i)
            byInode[i] = i;
        std::sort(byInode.begin(), byInode.end(),
                  [&](size_t a, size_t b) { return found[a].inode < found[b].inode; });
        std::unordered_map<uint64_t, size_t> dumpsOf;
        for (size_t i : byInode) {
            // One that was no longer itself when its turn came is skipped
            // here too: it was not counted.
            if (!seen[i])
                settled[i] = 1;
            if (settled[i] || !spends[i] || ++dumpsOf[*spends[i]] <= kDumpsPerUser)
                continue;
            auto told = held->find(found[i].inode);
            if (told != held->end())
                results[i].sockets = told->second.sockets;
            results[i].read.fill(true);
            results[i].entered = true;
            results[i].heldOnly = true;
            settled[i] = 1;
        }
    }
    // A worker reads each namespace as the caller's own is read; the text
    // tables, where netlink is refused, are the thread's own (/proc/net is
    // the process's).
    InEachNamespace(found, &settled, [&](size_t i, int netns) {
        NamespaceSockets& result = results[i];
        if (::setns(netns, CLONE_NEWNET) == 0) {
            result.entered = true;
            const std::string here = "/proc/thread-self";
            result.dumped = true;
            // One the namespace's own counts say is empty is not walked
            // for it.
            MayHold counts = CountSockets(here);
            bool v6 = false;
            if (!counts.tcp) {
                result.read[kTcp4] = result.read[kTcp6] = true;
            } else if (ReadLiveTcpBothFamilies(result.sockets[kTcp4], result.sockets[kTcp6], v6)) {
                result.read[kTcp4] = true;
                result.read[kTcp6] = v6;
            } else {
                for (size_t table : {kTcp4, kTcp6})
                    result.read[table] = ReadInetSockets(here, true, InetProtocol::Tcp,
                                                         FamilyOf(table), result.sockets[table]);
            }
            for (size_t table : {kUdp4, kUdp6})
                result.read[table] = !(table == kUdp4 ? counts.udp4 : counts.udp6) ||
                                     ReadInetSockets(here, true, InetProtocol::Udp, FamilyOf(table),
                                                     result.sockets[table]);
        } else {
            result.dumped = true;
            std::array<UniqueFd, kDumpCount> diag;
            std::string uidMap;
            if (errno != EPERM || !DiagSocketsAsOwner(netns, diag, uidMap))
                return;
            result.entered = true;
            std::vector<InetSocket> both;
            if (DumpTcpBothFamilies(both, diag[kBothTcp].get())) {
                for (InetSocket& socket : both)
                    result.sockets[socket.v6 ? kTcp6 : kTcp4].push_back(socket);
                result.read[kTcp4] = result.read[kTcp6] = true;
            } else {
                result.read[kTcp4] = DumpSockDiag(InetProtocol::Tcp, InetFamily::V4,
                                                  result.sockets[kTcp4], diag[kTcp4Only].get());
                result.read[kTcp6] = DumpSockDiag(InetProtocol::Tcp, InetFamily::V6,
                                                  result.sockets[kTcp6], diag[kTcp6Only].get());
            }
            result.read[kUdp4] = DumpSockDiag(InetProtocol::Udp, InetFamily::V4,
                                              result.sockets[kUdp4], diag[kUdp4Only].get());
            result.read[kUdp6] = DumpSockDiag(InetProtocol::Udp, InetFamily::V6,
                                              result.sockets[kUdp6], diag[kUdp6Only].get());
            // Bound-only TCP sockets are no endpoints, as everywhere.
            for (size_t table : {kTcp4, kTcp6})
                std::erase_if(result.sockets[table],
                              [](const InetSocket& socket) { return socket.state == kTcpClose; });
            MapUsersBack(uidMap, result.sockets);
        }
        for (std::vector<InetSocket>& sockets : result.sockets)
            for (InetSocket& socket : sockets)
                socket.netns = found[i].inode;
    });
    return results;
}

HeldByNamespace GroupHeldSockets(std::vector<WalkedSocket> walked) {
    // A socket several descriptors hold is told once for each.
    std::sort(walked.begin(), walked.end(), [](const WalkedSocket& a, const WalkedSocket& b) {
        return std::tie(a.netns, a.inode) < std::tie(b.netns, b.inode);
    });
    HeldByNamespace held;
    HeldSockets* into = nullptr;
    for (size_t i = 0; i < walked.size(); ++i) {
        const WalkedSocket& told = walked[i];
        if (into == nullptr || told.netns != walked[i - 1].netns)
            into = &held[told.netns];
        if (into->user == 0)
            into->user = told.holderUid;
        if (i > 0 && told.netns == walked[i - 1].netns && told.inode == walked[i - 1].inode)
            continue;
        into->requests += told.requests;
        // Neither a TCP socket only bound nor a UDP one not bound is in the
        // tables a dump walks.
        if (told.tcp ? told.state == kTcpClose : told.localPort == 0)
            continue;
        InetSocket socket;
        socket.state = told.state;
        socket.v6 = told.v6;
        socket.localPort = told.localPort;
        socket.remotePort = told.remotePort;
        socket.inode = told.inode;
        socket.uid = told.uid;
        socket.netns = told.netns;
        if (told.v6) {
            std::memcpy(socket.local6.data(), told.local, 16);
            std::memcpy(socket.remote6.data(), told.remote, 16);
            socket.interface = told.interface;
        } else {
            std::memcpy(&socket.localAddr, told.local, 4);
            std::memcpy(&socket.remoteAddr, told.remote, 4);
        }
        size_t table = told.tcp ? (told.v6 ? kTcp6 : kTcp4) : (told.v6 ? kUdp6 : kUdp4);
        into->sockets[table].push_back(socket);
    }
    return held;
}

std::vector<MachineName> ReadMachineNames(const NamingRoots& roots) {
    std::vector<MachineName> names;
    const std::string dir = roots.run + "/systemd/machines";
    ForEachDirectoryEntry(dir, [&](std::string_view name, unsigned char) {
        if (name.substr(0, 5) == "unit:" || name.front() == '.')
            return; // the units' links to their machines
        auto text = ReadRegularFile(dir + "/" + std::string(name), 1 << 16);
        if (!text)
            return;
        std::string_view rest(*text);
        while (!rest.empty()) {
            std::string_view line = rest.substr(0, rest.find('\n'));
            rest.remove_prefix(std::min(rest.size(), line.size() + 1));
            std::optional<uint32_t> leader =
                line.substr(0, 7) == "LEADER=" ? ParseProcessId(line.substr(7)) : std::nullopt;
            if (!leader)
                continue;
            std::string path = roots.proc + "/" + std::to_string(*leader) + "/ns/net";
            char target[64];
            ssize_t length = ::readlink(path.c_str(), target, sizeof target);
            std::optional<uint32_t> inode =
                length > 0 ? ParseNetLink(std::string_view(target, static_cast<size_t>(length)))
                           : std::nullopt;
            if (inode)
                names.push_back({*inode, std::string(name)});
        }
    });
    return names;
}

NetworkNamespace NameNetworkNamespace(const NamingRoots& roots, uint32_t inode,
                                      std::string_view mount, std::string_view group,
                                      const std::vector<MachineName>& machines,
                                      EngineNames* engines) {
    // `ip netns add` mounts the namespace at /run/netns/NAME.
    std::string_view netns = Between(mount, roots.run + "/netns/", "/");
    if (!netns.empty() && netns.size() == mount.size() - roots.run.size() - 7)
        return Named(inode, "netns", netns);
    for (const MachineName& machine : machines)
        if (machine.inode == inode)
            return Named(inode, "machine", machine.name);
    // A container's processes sit in its engine's group. Only root makes
    // groups at the top and in the system and machine slices; a user's own
    // groups lie under her user slice and name only her Flatpak sandboxes.
    std::string_view path = group;
    std::string_view docker = ContainerId(path, "/system.slice/docker-", ".scope");
    if (docker.empty())
        docker = ContainerId(path, "/docker/", "");
    if (!docker.empty()) {
        std::string name = DockerName(roots, docker);
        return Named(inode, "docker", name.empty() ? docker.substr(0, 12) : name);
    }
    if (std::string_view id = ContainerId(path, "/machine.slice/libpod-", ".scope"); !id.empty()) {
        EngineNames local;
        std::string name = PodmanName(roots, id, engines != nullptr ? *engines : local);
        return Named(inode, "podman", name.empty() ? id.substr(0, 12) : name);
    }
    for (std::string_view prefix : {"/lxc.payload.", "/lxc/"})
        if (std::string_view name = Between(path, prefix, "/"); !name.empty())
            return Named(inode, "lxc", name);
    if (std::string_view unit = Between(path, "/machine.slice/systemd-nspawn@", "/");
        unit.size() > 8 && unit.substr(unit.size() - 8) == ".service")
        return Named(inode, "machine", unit.substr(0, unit.size() - 8));
    if (path.substr(0, 11) == "/user.slice") {
        std::string_view leaf = path.substr(path.rfind('/') + 1);
        std::string_view app = Between(leaf, "app-flatpak-", "");
        size_t dash = app.rfind('-');
        if (dash != std::string_view::npos && app.size() > dash + 7 &&
            app.substr(app.size() - 6) == ".scope" && IsApplicationId(app.substr(0, dash)))
            return Named(inode, "flatpak", app.substr(0, dash));
    }
    return Named(inode, "inode", {});
}

} // namespace ombrel::platform
