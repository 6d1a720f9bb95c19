// The machine's network namespaces: each one's sockets live apart, so "the
// machine's endpoints" are those of all of them. Found by what keeps them:
// a task's namespace link, an nsfs mount; read from inside each.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/fd.h"
#include "sockets/inet_sockets.h"

namespace ombrel::platform {

// A namespace as rows show it: its identity (the nsfs inode, which `lsns`
// and `ip netns identify` show too), what named it and the name. The
// caller's own has an empty kind and name.
struct NetworkNamespace {
    uint32_t inode = 0;
    std::string kind; // "netns", "machine", "docker", "podman", "lxc", "flatpak" or "inode"
    std::string name;
    bool operator==(const NetworkNamespace&) const = default;
};

// The inode of the caller's own network namespace; 0 where it cannot be
// read (no namespace links: a kernel without them).
uint32_t OwnNetworkNamespace();

// A namespace other than the caller's, open: the way into it, and what the
// name is found by.
struct FoundNamespace {
    uint32_t inode = 0;
    UniqueFd fd;       // its nsfs file
    uint32_t pid = 0;  // the lowest id of a process with a task in it; 0 for none
    std::string mount; // an nsfs mount point that keeps it; empty for none
};

// Every other network namespace the caller may open: those of every task
// of every process of the live /proc, and those the mount table's nsfs
// mounts keep. A namespace is opened only when the file opened is that
// namespace (a task that moves on, or an id reused, is not taken for it).
// Ordered by inode.
std::vector<FoundNamespace> FindNetworkNamespaces(uint32_t own);

// Adds a namespace a descriptor names (a socket's, from SIOCGSKNS) when it
// is a network namespace not yet in found; false otherwise. fd is taken.
bool AddNetworkNamespace(std::vector<FoundNamespace>& found, UniqueFd fd, uint32_t own);

// The four tables (machine_tables.h's order) of one namespace.
struct NamespaceSockets {
    std::array<std::vector<InetSocket>, 4> sockets;
    std::array<bool, 4> read{};
    bool entered = false; // false: the namespace could not be entered, nothing was read
};

// Reads each namespace's tables from inside it, on threads of our own that
// enter it (the caller's threads stay where they are); every socket is
// tagged with its namespace. One result per namespace, in found's order.
std::vector<NamespaceSockets> ReadNamespaceSockets(const std::vector<FoundNamespace>& found);

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

// What the machine calls a namespace: the `ip netns` name of its mount, the
// systemd machine's name, the container's name in its engine's own state
// (Docker, Podman, LXC; found by the control group of a process in it), the
// Flatpak application's id, else a short form of its inode ("net-" and its
// inode less 4026531840, the first the kernel gives).
NetworkNamespace NameNetworkNamespace(const NamingRoots& roots, uint32_t inode,
                                      std::string_view mount, uint32_t pid,
                                      const std::vector<MachineName>& machines);

} // namespace ombrel::platform
