#include "collector_answer.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>

#include "collector/collector_answer.h"
#include "fd.h"
#include "procfs.h"

namespace ombrel::platform {
namespace {

template <typename T> void Append(std::string& out, const T& value) {
    out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T> T At(const char* data, size_t offset) {
    T value;
    std::memcpy(&value, data + offset, sizeof value);
    return value;
}

// named: the start time the owner pass read as it named pid.
CollectedOwner ReadOwner(const std::string& root, uint32_t pid, uint64_t named) {
    CollectedOwner owner;
    owner.pid = pid;
    owner.startTime = named;
    std::string folder = root + "/" + std::to_string(pid);
    UniqueFd dir(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::optional<TaskStat> stat = dir ? ReadTaskStatAt(dir.get()) : std::nullopt;
    // Gone since its socket was seen, or a later process under its id:
    // nothing of that one is the owner's.
    if (!stat || stat->startTime != named)
        return owner;
    std::string link;
    std::optional<std::string> exe = ReadProgramLink(dir.get(), &link);
    if (exe && exe->size() <= kCollectorMaxPath && exe->find('\0') == std::string::npos) {
        owner.pathRead = true;
        owner.path = std::move(*exe);
    }
    // Every fact through the one entry, so all are of the same process.
    owner.name = ProcessImageName(stat->comm, owner.path);
    if (owner.name.size() > kCollectorMaxName || owner.name.find('\0') != std::string::npos)
        owner.name.clear();
    if (owner.pathRead) {
        FileIdentity file = ReadLinkedFileIdentity(dir.get(), link);
        owner.device = file.device;
        owner.inode = file.inode;
        owner.claimant = ReadNamespaceClaimant(dir.get()).value_or(kUnknownClaimant);
    }
    return owner;
}

} // namespace

std::string ComposeCollectorAnswer(const std::string& root) {
    MachineTables tables;
    ReadMachineTables(root, tables);
    // An answer with holes would say that nobody holds what the scan could
    // not read: no answer, and the window sees for itself.
    if (!tables.ownersWhole)
        return {};
    size_t rows = 0;
    std::vector<std::pair<uint32_t, uint64_t>> named; // pid, start as named
    for (size_t table = 0; table < kTableCount; ++table) {
        rows += tables.sockets[table].size();
        const std::vector<uint32_t>& pids = tables.owners[table];
        for (size_t i = 0; i < pids.size(); ++i)
            if (pids[i] != 0)
                named.emplace_back(pids[i], tables.ownerStarts[table][i]);
    }
    std::sort(named.begin(), named.end());
    // One pass names one process per id.
    named.erase(std::unique(named.begin(), named.end(),
                            [](const auto& a, const auto& b) { return a.first == b.first; }),
                named.end());
    if (rows > kCollectorMaxRows || named.size() > kCollectorMaxOwners)
        return {};

    std::vector<CollectedOwner> owners;
    owners.reserve(named.size());
    for (const auto& [pid, start] : named)
        owners.push_back(ReadOwner(root, pid, start));
    std::string text;
    for (const CollectedOwner& owner : owners)
        text += owner.name + owner.path;

    CollectorAnswerHeader header{};
    std::memcpy(header.magic, kCollectorAnswerMagic, sizeof header.magic);
    header.size = sizeof header + rows * sizeof(CollectorRow) +
                  owners.size() * sizeof(CollectorOwner) + text.size();
    for (size_t table = 0; table < kTableCount; ++table) {
        header.rows[table] = static_cast<uint32_t>(tables.sockets[table].size());
        if (tables.read[table])
            header.tablesRead |= 1u << table;
    }
    header.owners = static_cast<uint32_t>(owners.size());
    header.textSize = static_cast<uint32_t>(text.size());

    std::string out;
    out.reserve(header.size);
    Append(out, header);
    for (size_t table = 0; table < kTableCount; ++table) {
        for (size_t i = 0; i < tables.sockets[table].size(); ++i) {
            const InetSocket& socket = tables.sockets[table][i];
            CollectorRow row{};
            row.localAddr = socket.localAddr;
            row.remoteAddr = socket.remoteAddr;
            row.localPort = socket.localPort;
            row.remotePort = socket.remotePort;
            row.state = socket.state;
            row.interface = socket.interface;
            row.pid = tables.owners[table][i];
            std::memcpy(row.local6, socket.local6.data(), 16);
            std::memcpy(row.remote6, socket.remote6.data(), 16);
            Append(out, row);
        }
    }
    uint32_t offset = 0;
    for (const CollectedOwner& owner : owners) {
        CollectorOwner record{};
        record.pid = owner.pid;
        record.pathRead = owner.pathRead ? 1 : 0;
        record.startTime = owner.startTime;
        record.device = owner.device;
        record.inode = owner.inode;
        record.claimant = owner.claimant;
        record.nameOffset = offset;
        record.nameSize = static_cast<uint32_t>(owner.name.size());
        offset += record.nameSize;
        record.pathOffset = offset;
        record.pathSize = static_cast<uint32_t>(owner.path.size());
        offset += record.pathSize;
        Append(out, record);
    }
    out += text;
    return out.size() <= kCollectorMaxAnswer ? out : std::string();
}

uint64_t CollectorAnswerSize(const char* data, size_t size) {
    if (size < sizeof(CollectorAnswerHeader))
        return 0;
    auto header = At<CollectorAnswerHeader>(data, 0);
    if (std::memcmp(header.magic, kCollectorAnswerMagic, sizeof header.magic) != 0 ||
        header.reserved != 0 || (header.tablesRead & ~0xFu) != 0 ||
        header.owners > kCollectorMaxOwners ||
        header.textSize > uint64_t{header.owners} * (kCollectorMaxName + kCollectorMaxPath))
        return 0;
    uint64_t rows = 0;
    for (size_t table = 0; table < kTableCount; ++table) {
        if (header.rows[table] != 0 && !(header.tablesRead & (1u << table)))
            return 0;
        rows += header.rows[table];
    }
    if (rows > kCollectorMaxRows)
        return 0;
    uint64_t expected = sizeof header + rows * sizeof(CollectorRow) +
                        uint64_t{header.owners} * sizeof(CollectorOwner) + header.textSize;
    return header.size == expected && expected <= kCollectorMaxAnswer ? expected : 0;
}

bool ParseCollectorAnswer(const char* data, size_t size, CollectorAnswer& answer) {
    answer = {};
    uint64_t whole = CollectorAnswerSize(data, size);
    if (whole == 0 || whole != size)
        return false;
    auto header = At<CollectorAnswerHeader>(data, 0);
    size_t at = sizeof header;
    CollectorAnswer parsed;
    std::vector<uint32_t> rowOwners;
    for (size_t table = 0; table < kTableCount; ++table) {
        parsed.tables.read[table] = (header.tablesRead & (1u << table)) != 0;
        bool v6 = FamilyOf(table) == InetFamily::V6;
        auto& sockets = parsed.tables.sockets[table];
        auto& owners = parsed.tables.owners[table];
        sockets.reserve(header.rows[table]);
        owners.reserve(header.rows[table]);
        for (uint32_t i = 0; i < header.rows[table]; ++i, at += sizeof(CollectorRow)) {
            auto row = At<CollectorRow>(data, at);
            if (row.reserved[0] != 0 || row.reserved[1] != 0 || row.reserved[2] != 0)
                return false;
            InetSocket socket;
            socket.state = row.state;
            socket.v6 = v6;
            socket.localAddr = row.localAddr;
            socket.remoteAddr = row.remoteAddr;
            socket.localPort = row.localPort;
            socket.remotePort = row.remotePort;
            socket.interface = row.interface;
            std::memcpy(socket.local6.data(), row.local6, 16);
            std::memcpy(socket.remote6.data(), row.remote6, 16);
            sockets.push_back(socket);
            owners.push_back(row.pid);
            if (row.pid != 0)
                rowOwners.push_back(row.pid);
        }
    }
    const char* text = data + at + size_t{header.owners} * sizeof(CollectorOwner);
    auto inText = [&](uint32_t offset, uint32_t length, uint32_t limit) {
        return length <= limit && uint64_t{offset} + length <= header.textSize &&
               std::memchr(text + offset, '\0', length) == nullptr;
    };
    parsed.owners.reserve(header.owners);
    for (uint32_t i = 0; i < header.owners; ++i, at += sizeof(CollectorOwner)) {
        auto record = At<CollectorOwner>(data, at);
        if (record.pid == 0 || (!parsed.owners.empty() && record.pid <= parsed.owners.back().pid) ||
            record.pathRead > 1 || record.reserved != 0 ||
            !inText(record.nameOffset, record.nameSize, kCollectorMaxName) ||
            !inText(record.pathOffset, record.pathSize, kCollectorMaxPath) ||
            (record.pathRead == 1 && (record.pathSize == 0 || text[record.pathOffset] != '/')) ||
            (record.pathRead == 0 && record.pathSize != 0))
            return false;
        CollectedOwner owner;
        owner.pid = record.pid;
        owner.pathRead = record.pathRead == 1;
        owner.startTime = record.startTime;
        owner.device = record.device;
        owner.inode = record.inode;
        owner.claimant = record.claimant;
        owner.name.assign(text + record.nameOffset, record.nameSize);
        owner.path.assign(text + record.pathOffset, record.pathSize);
        parsed.owners.push_back(std::move(owner));
    }
    // Every row's owner has its record, and every record a row: an answer
    // that names processes it has no row for is not this collector's.
    std::sort(rowOwners.begin(), rowOwners.end());
    rowOwners.erase(std::unique(rowOwners.begin(), rowOwners.end()), rowOwners.end());
    if (rowOwners.size() != parsed.owners.size())
        return false;
    for (size_t i = 0; i < rowOwners.size(); ++i)
        if (rowOwners[i] != parsed.owners[i].pid)
            return false;
    // Each row's owner as the collector's pass named it.
    for (size_t table = 0; table < kTableCount; ++table) {
        std::vector<uint64_t>& starts = parsed.tables.ownerStarts[table];
        starts.reserve(parsed.tables.owners[table].size());
        for (uint32_t pid : parsed.tables.owners[table]) {
            auto record = std::lower_bound(rowOwners.begin(), rowOwners.end(),
                                           pid); // rowOwners[i] is owners[i]'s pid
            starts.push_back(
                pid != 0 ? parsed.owners[static_cast<size_t>(record - rowOwners.begin())].startTime
                         : 0);
        }
    }
    answer = std::move(parsed);
    return true;
}

} // namespace ombrel::platform
