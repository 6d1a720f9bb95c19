// The machine's network namespaces: each one's sockets live apart, so "the
// machine's endpoints" are those of all of them. Found by what keeps them:
// a task's namespace link, an nsfs mount; read from inside each.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/fd.h"
#include "owners/socket_holders.h"
#include "sockets/inet_sockets.h"

namespace ombrel::platform {

// A namespace as rows show it: its identity (the nsfs inode, which `lsns`
// and `ip netns identify` show too), what named it and the name. The
// caller's own has an empty kind and name.
struct NetworkNamespace {
    uint32_t inode = 0;
    std::string kind;    // "netns", "machine", "docker", "podman", "lxc", "flatpak" or "inode"
    std::string name;    // at most kMaxNamespaceName bytes
    uint32_t unread = 0; // bit n: table n could not be read in it
    bool operator==(const NetworkNamespace&) const = default;
};

// Longer names are shown as the inode's: a row holds a name this long whole,
// so no two namespaces' names are cut to one.
inline constexpr size_t kMaxNamespaceName = 63;

// The inode of the caller's own network namespace; 0 where it cannot be
// read (no namespace links: a kernel without them).
uint32_t OwnNetworkNamespace();

// A namespace other than the caller's: the way into it, and what the name
// is found by. Nothing stays open: a machine's many namespaces cost no
// descriptor each until each is read.
struct FoundNamespace {
    uint32_t inode = 0;
    std::string path;  // opens it: a task's namespace link or an nsfs mount point
    UniqueFd fd;       // or this, where it was found by a descriptor
    std::string group; // the control group of the first process found in it, as
                       // read through that very process; empty for none
    std::string mount; // an nsfs mount point that keeps it, an `ip netns` one
                       // before others; empty for none
    uint32_t user = 0; // a user but root with a process in it; 0 for none
};

// Every other network namespace the caller may open: those of every task
// of every process of the live /proc, and those the mount table's nsfs
// mounts keep. A namespace is taken only when the file opened is that
// namespace (a task that moves on, or an id reused, is not taken for it).
// Ordered by inode.
std::vector<FoundNamespace> FindNetworkNamespaces(uint32_t own);

// The unified hierarchy's group in a /proc/PID/cgroup text ("0::/…"); empty
// where it has none.
std::string UnifiedControlGroup(std::string_view cgroupText);

// Adds the namespace a descriptor names (a socket's, from SIOCGSKNS) to
// found when it is a network namespace other than own, and gives its
// inode; else 0. fd is taken; the caller adds none twice.
uint32_t AddNetworkNamespace(std::vector<FoundNamespace>& found, UniqueFd fd, uint32_t own);

// The four tables (machine_tables.h's order) of one namespace.
struct NamespaceSockets {
    std::array<std::vector<InetSocket>, 4> sockets;
    std::array<bool, 4> read{};
    bool entered = false; // false: the namespace could not be entered, nothing was read
    bool dumped = false;  // read by dumps, not from the sockets files hold
    // Read from the sockets files hold alone, its owner's dumps spent: any
    // it has that no file holds (a TIME_WAIT, a handshake under way) unseen.
    bool heldOnly = false;
};

// The dumps a refresh gives the namespaces of each user's user namespaces
// (and of each tree of them root made); the machine's own user namespace's
// are dumped whenever what files hold may not be all they have.
inline constexpr size_t kDumpsPerUser = 8;

// What the kernel's descriptor walk told of one namespace's sockets: those
// files hold, each once, in the four tables as a dump lists them (TCP ones
// not closed, UDP ones bound), ordered by inode.
struct HeldSockets {
    std::array<std::vector<InetSocket>, 4> sockets;
    uint32_t requests = 0; // its listeners' handshakes under way
    uint32_t user = 0;     // a user but root whose thread holds one of them; 0 for none
};
using HeldByNamespace = std::unordered_map<uint32_t, HeldSockets>;
HeldByNamespace GroupHeldSockets(std::vector<WalkedSocket> walked);

// A namespace's own counts (/proc/net/sockstat and sockstat6): TCP and UDP
// sockets hashed, by family, and TCP's in TIME_WAIT; and (/proc/net/snmp,
// snmp6) its TCP connections begun, taken or reset and packets taken in so
// far, summed. Each unread where its file or field is missing.
struct NamespaceCounts {
    std::optional<uint64_t> tcp4, tcp6, timeWait, udp4, udp6, activity;
    bool operator==(const NamespaceCounts&) const = default;
};

// Each namespace's counts, read from inside it twice; unread where it
// could not be entered or the readings differed. One per namespace, in
// found's order.
std::vector<NamespaceCounts> CountNamespaceSockets(const std::vector<FoundNamespace>& found);

// Reads each namespace's tables from inside it, on threads of our own that
// enter it (the caller's threads stay where they are), each opened as its
// turn comes and only when it is still that namespace; every socket is
// tagged with its namespace. With held (what the kernel's walk told), a
// namespace of the machine's user namespace whose sockets root alone holds
// and whose counts before the walk (before, in found's order) and after it
// say those are all it has takes them for its tables, and no dump walks the
// kernel's tables for it. The namespaces of a user namespace tree below,
// and those a user holds a socket or lives in, are dumped up to
// kDumpsPerUser for each user (each tree root made), the others held only.
// One result per namespace, in found's order.
std::vector<NamespaceSockets>
ReadNamespaceSockets(const std::vector<FoundNamespace>& found,
                     const HeldByNamespace* held = nullptr,
                     const std::vector<NamespaceCounts>* before = nullptr);

// Where names are looked for: the live system's folders, or fixture trees
// in their shape.
struct NamingRoots {
    std::string proc = "/proc";
    std::string run = "/run";
    std::string varLib = "/var/lib";
};

// The systemd machines registered on the machine, by the inode of their
// leader's network namespace.
struct MachineName {
    uint32_t inode;
    std::string name;
};
std::vector<MachineName> ReadMachineNames(const NamingRoots& roots);

// Podman's containers' names by id, from its root-owned state, read at the
// first namespace that needs them.
struct EngineNames {
    bool podmanRead = false;
    std::vector<std::pair<std::string, std::string>> podman;
};

// What the machine calls a namespace: the `ip netns` name of its mount, the
// systemd machine's name, the container's (found by the control group of a
// process in it) as its engine's own state names it (Docker, Podman; else
// its short id) or LXC's, the Flatpak application's id, else a short form
// of its inode ("net-" and its inode less 4026531840, the first the kernel
// gives). engines, where given, keeps what is read for the next call.
NetworkNamespace NameNetworkNamespace(const NamingRoots& roots, uint32_t inode,
                                      std::string_view mount, std::string_view group,
                                      const std::vector<MachineName>& machines,
                                      EngineNames* engines = nullptr);

} // namespace ombrel::platform
