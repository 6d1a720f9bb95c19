#include "machine_tables.h"

#include <system_error>
#include <thread>

#include <ombrel/services.h>

#include "owner_helper.h"

namespace ombrel::platform {
namespace {

// Where the caller cannot read other users' descriptors, the owner
// helper's scan names every owner; without the helper, or when it fails,
// the caller's own scan names those it can see.
void FindOwners(const std::string& root, const std::vector<uint64_t>& inodes,
                std::vector<uint32_t>& owners) {
    if (ProcRootIsLive() && root == ProcRoot() && !ReadsEveryDescriptor()) {
        std::vector<OwnerRecord> records;
        std::string helper = OwnerHelperPath();
        if (!helper.empty() && RunOwnerHelper(helper, OwnerHelperTimeoutMs(), records)) {
            JoinOwnerRecords(records, inodes, owners);
            return;
        }
    }
    FindSocketOwners(root, inodes, owners);
}

std::vector<uint64_t>& AppendInodes(const std::vector<InetSocket>& sockets,
                                    std::vector<uint64_t>& inodes) {
    for (const InetSocket& socket : sockets)
        inodes.push_back(socket.inode);
    return inodes;
}

// The live kernel's tables only for the live /proc; a fixture tree's own.
bool ReadTable(size_t table, const std::string& root, std::vector<InetSocket>& sockets) {
    bool live = ProcRootIsLive() && root == ProcRoot();
    return ReadInetSockets(root, live, ProtocolOf(table), FamilyOf(table), sockets);
}

} // namespace

InetProtocol ProtocolOf(size_t table) {
    return table == kTcp4 || table == kTcp6 ? InetProtocol::Tcp : InetProtocol::Udp;
}

InetFamily FamilyOf(size_t table) {
    return table == kTcp6 || table == kUdp6 ? InetFamily::V6 : InetFamily::V4;
}

bool ReadMachineTable(size_t table, const std::string& root, std::vector<InetSocket>& sockets,
                      std::vector<uint32_t>& owners) {
    if (!ReadTable(table, root, sockets))
        return false;
    std::vector<uint64_t> inodes;
    FindOwners(root, AppendInodes(sockets, inodes), owners);
    return true;
}

void ReadMachineTables(const std::string& root, MachineTables& tables) {
    tables = {};
    // Each dump is its own request to the kernel, and the kernel's work on
    // them is most of a refresh: the UDP pair is read beside the TCP pair,
    // on a second core where the machine has one.
    auto& parts = tables.sockets;
    auto& read = tables.read;
    auto readPair = [&](size_t first, size_t second) {
        read[first] = ReadTable(first, root, parts[first]);
        read[second] = ReadTable(second, root, parts[second]);
    };
    bool live = ProcRootIsLive() && root == ProcRoot();
    auto readUdp = [&] {
        readPair(kUdp4, kUdp6);
        // The shorter half of the dumps has time to spare for what the
        // owners' walk reads ahead; the walk itself comes after every dump.
        if (live)
            PrepareSocketHolders();
    };
    std::thread udp;
    try {
        udp = std::thread(readUdp);
    } catch (const std::system_error&) {
        // no thread to be had: the same reads, one after another
    }
    // The live kernel walks its TCP tables once for both families.
    bool bothRead = live && ReadLiveTcpBothFamilies(parts[kTcp4], parts[kTcp6], read[kTcp6]);
    if (bothRead)
        read[kTcp4] = true;
    else
        readPair(kTcp4, kTcp6);
    if (udp.joinable())
        udp.join();
    else
        readUdp();

    // The owners are found by inode alone, for all four in one pass.
    std::vector<uint64_t> inodes;
    size_t total = 0;
    for (const std::vector<InetSocket>& part : parts)
        total += part.size();
    inodes.reserve(total);
    for (const std::vector<InetSocket>& part : parts)
        AppendInodes(part, inodes);
    std::vector<uint32_t> owners;
    FindOwners(root, inodes, owners);
    size_t first = 0;
    for (size_t table = 0; table < kTableCount; ++table) {
        size_t count = parts[table].size();
        tables.owners[table].assign(owners.begin() + static_cast<ptrdiff_t>(first),
                                    owners.begin() + static_cast<ptrdiff_t>(first + count));
        first += count;
    }
}

} // namespace ombrel::platform
