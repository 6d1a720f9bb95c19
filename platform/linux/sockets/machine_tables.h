// The machine's four socket tables with the owner of every row, read in
// one go: what one snapshot of a refresh, or one answer of the
// administrator collector, is made of.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "sockets/inet_sockets.h"
#include "sockets/network_namespaces.h"

namespace ombrel::platform {

// In the order a refresh reads them.
enum MachineTable : size_t { kTcp4, kUdp4, kTcp6, kUdp6, kTableCount };

InetProtocol ProtocolOf(size_t table);
InetFamily FamilyOf(size_t table);

struct MachineTables {
    std::array<std::vector<InetSocket>, kTableCount> sockets;
    std::array<std::vector<uint32_t>, kTableCount> owners; // one per socket
    // Each owner's start time as the pass that named it read it (clock
    // ticks after boot; 0 where none owns, or it was gone by then).
    std::array<std::vector<uint64_t>, kTableCount> ownerStarts;
    std::array<bool, kTableCount> read{}; // a table not read is empty
    bool ownersWhole = true;              // false: the owner pass could not read /proc whole
    // Which source named the owners (the kernel's walk, a scan of /proc,
    // the owner helper, the administrator's collector) and why a faster one
    // did not (the verifier's log among it when the kernel refused the
    // walk): lines of text, the last one naming the source.
    std::string ownerSource;
    // The namespaces the tables hold sockets of, as rows show them: the
    // caller's own first (its kind and name empty), then the others by
    // name. Every socket's netns is one of them; a fixture tree's tables
    // are its own namespace's, numbered 0.
    std::vector<NetworkNamespace> namespaces;
};

// Every table of the root (the live /proc, or a fixture tree), with the
// owners the caller can find: its own scan or the kernel's walk, or the
// owner helper where the caller cannot read other users' descriptors. For
// the live /proc, the tables of every network namespace the caller may
// enter, the owners of all found in one pass.
void ReadMachineTables(const std::string& root, MachineTables& tables);

// The owners a refresh's tables named, by pid: the processes that held
// their sockets when the owner pass ran, each with its start time then, so
// that a process under a reused id is not taken for one of them.
using NamedOwners = std::unordered_map<uint32_t, uint64_t>;
void NameOwners(const MachineTables& tables, NamedOwners& named);

// One table alone, with its owners found the same way; false when the table
// cannot be read.
bool ReadMachineTable(size_t table, const std::string& root, std::vector<InetSocket>& sockets,
                      std::vector<uint32_t>& owners, std::string* report = nullptr);

} // namespace ombrel::platform
