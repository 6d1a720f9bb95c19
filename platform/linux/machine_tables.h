// The machine's four socket tables with the owner of every row, read in
// one go: what one snapshot of a refresh, or one answer of the
// administrator collector, is made of.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "inet_sockets.h"

namespace ombrel::platform {

// In the order a refresh reads them.
enum MachineTable : size_t { kTcp4, kUdp4, kTcp6, kUdp6, kTableCount };

InetProtocol ProtocolOf(size_t table);
InetFamily FamilyOf(size_t table);

struct MachineTables {
    std::array<std::vector<InetSocket>, kTableCount> sockets;
    std::array<std::vector<uint32_t>, kTableCount> owners; // one per socket
    std::array<bool, kTableCount> read{};                  // a table not read is empty
};

// Every table of the root (the live /proc, or a fixture tree), with the
// owners the caller can find: its own scan or the kernel's walk, or the
// owner helper where the caller cannot read other users' descriptors.
void ReadMachineTables(const std::string& root, MachineTables& tables);

// What OwnerSourceReport gives, as the collector's answer sets it.
void SetOwnerSourceReport(std::string report);

// One table alone, with its owners found the same way; false when the table
// cannot be read.
bool ReadMachineTable(size_t table, const std::string& root, std::vector<InetSocket>& sockets,
                      std::vector<uint32_t>& owners);

} // namespace ombrel::platform
