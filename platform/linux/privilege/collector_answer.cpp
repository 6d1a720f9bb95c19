#include "privilege/collector_answer.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include "base/fd.h"
#include "base/procfs.h"
#include "privilege/collector_wire.h"

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

// Gathers records into parts of one kind, each sent whole once it would
// grow past the bound.
class PartWriter {
public:
    PartWriter(const CollectorSink& sink, uint32_t kind) : sink_(sink), kind_(kind) {}

    // Room for size more bytes in this part, sending it first if need be.
    bool Make(size_t size, const std::string& head = {}) {
        if (!bytes_.empty() && bytes_.size() + size > sizeof(CollectorPart) + kCollectorMaxPart &&
            !Send())
            return false;
        if (bytes_.empty()) {
            bytes_.assign(sizeof(CollectorPart), '\0');
            bytes_ += head;
        }
        return true;
    }
    std::string& bytes() { return bytes_; }
    bool Send() {
        if (bytes_.empty())
            return true;
        CollectorPart part{kind_, static_cast<uint32_t>(bytes_.size() - sizeof(CollectorPart))};
        std::memcpy(bytes_.data(), &part, sizeof part);
        bool sent = sink_(bytes_.data(), bytes_.size());
        bytes_.clear();
        return sent;
    }

private:
    const CollectorSink& sink_;
    uint32_t kind_;
    std::string bytes_;
};

bool SendPart(const CollectorSink& sink, uint32_t kind, const void* data, size_t size) {
    std::string bytes(sizeof(CollectorPart), '\0');
    CollectorPart part{kind, static_cast<uint32_t>(size)};
    std::memcpy(bytes.data(), &part, sizeof part);
    bytes.append(static_cast<const char*>(data), size);
    return sink(bytes.data(), bytes.size());
}

} // namespace

uint64_t OtherThreadsProgress() {
    const std::string self = std::to_string(::gettid());
    uint64_t total = 0;
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr)
        return 0;
    while (const dirent* entry = ::readdir(tasks)) {
        if (entry->d_name[0] == '.' || self == entry->d_name)
            continue;
        uint64_t ran = 0, waited = 0;
        std::ifstream schedstat(std::string("/proc/self/task/") + entry->d_name + "/schedstat");
        schedstat >> ran >> waited;
        total += ran + waited;
    }
    ::closedir(tasks);
    return total;
}

bool WriteCollectorWorking(const CollectorSink& sink) {
    return SendPart(sink, kPartWorking, nullptr, 0);
}

bool WriteCollectorAnswer(const MachineTables& tables, const std::string& report,
                          const std::function<CollectedOwner(uint32_t, uint64_t)>& readOwner,
                          const CollectorSink& sink) {
    CollectorEnd end{};
    std::vector<std::pair<uint32_t, uint64_t>> named; // pid, start as named
    for (size_t table = 0; table < kTableCount; ++table) {
        const std::vector<InetSocket>& sockets = tables.sockets[table];
        if (tables.read[table])
            end.tablesRead |= 1u << table;
        end.rows[table] = sockets.size();
        PartWriter rows(sink, kPartRows);
        CollectorRowsHead head{static_cast<uint32_t>(table), 0};
        std::string headBytes(reinterpret_cast<const char*>(&head), sizeof head);
        for (size_t i = 0; i < sockets.size(); ++i) {
            const InetSocket& socket = sockets[i];
            CollectorRow row{};
            row.localAddr = socket.localAddr;
            row.remoteAddr = socket.remoteAddr;
            row.localPort = socket.localPort;
            row.remotePort = socket.remotePort;
            row.state = socket.state;
            row.interface = socket.interface;
            row.pid = i < tables.owners[table].size() ? tables.owners[table][i] : 0;
            std::memcpy(row.local6, socket.local6.data(), 16);
            std::memcpy(row.remote6, socket.remote6.data(), 16);
            row.netns = socket.netns;
            if (!rows.Make(sizeof row, headBytes))
                return false;
            Append(rows.bytes(), row);
            if (row.pid != 0)
                named.emplace_back(row.pid, i < tables.ownerStarts[table].size()
                                                ? tables.ownerStarts[table][i]
                                                : 0);
        }
        if (!rows.Send())
            return false;
    }
    // Tables read without a namespace list are one namespace's.
    PartWriter namespaces(sink, kPartNamespaces);
    const std::vector<NetworkNamespace> onlyOne{{}};
    for (const NetworkNamespace& ns : tables.namespaces.empty() ? onlyOne : tables.namespaces) {
        CollectorNamespace record{ns.inode, 0, 0, ns.unread & 0xFu};
        // A name too long for the record goes as the inode's.
        NetworkNamespace sent = ns.kind.size() <= kCollectorMaxKind &&
                                        ns.name.size() <= kCollectorMaxNamespaceName &&
                                        ns.kind.find('\0') == std::string::npos &&
                                        ns.name.find('\0') == std::string::npos
                                    ? ns
                                    : NameNetworkNamespace({}, ns.inode, {}, {}, {});
        record.kindSize = static_cast<uint32_t>(sent.kind.size());
        record.nameSize = static_cast<uint32_t>(sent.name.size());
        if (!namespaces.Make(sizeof record + sent.kind.size() + sent.name.size()))
            return false;
        Append(namespaces.bytes(), record);
        namespaces.bytes() += sent.kind;
        namespaces.bytes() += sent.name;
    }
    if (!namespaces.Send())
        return false;

    std::sort(named.begin(), named.end());
    // One pass names one process per id.
    named.erase(std::unique(named.begin(), named.end(),
                            [](const auto& a, const auto& b) { return a.first == b.first; }),
                named.end());
    end.owners = named.size();

    // Each owner is read as its turn comes, and goes out with its part.
    PartWriter owners(sink, kPartOwners);
    for (const auto& [pid, start] : named) {
        CollectedOwner owner = readOwner(pid, start);
        CollectorOwner record{};
        record.pid = pid;
        record.pathRead = owner.pathRead ? 1 : 0;
        record.startTime = start;
        record.device = owner.device;
        record.inode = owner.inode;
        record.claimant = owner.claimant;
        if (owner.name.size() > kCollectorMaxName)
            owner.name.clear();
        if (!owner.pathRead || owner.path.size() > kCollectorMaxPath || owner.path.empty() ||
            owner.path[0] != '/') {
            record.pathRead = 0;
            owner.path.clear();
        }
        record.nameSize = static_cast<uint32_t>(owner.name.size());
        record.pathSize = static_cast<uint32_t>(owner.path.size());
        if (!owners.Make(sizeof record + owner.name.size() + owner.path.size()))
            return false;
        Append(owners.bytes(), record);
        owners.bytes() += owner.name;
        owners.bytes() += owner.path;
    }
    if (!owners.Send())
        return false;
    if (!report.empty() && !SendPart(sink, kPartReport, report.data(),
                                     std::min<size_t>(report.size(), kCollectorMaxPart)))
        return false;
    return SendPart(sink, kPartEnd, &end, sizeof end);
}

bool AnswerFromRoot(const std::string& root, const CollectorSink& sink) {
    MachineTables tables;
    ReadMachineTables(root, tables);
    // An answer with holes would say that nobody holds what the scan could
    // not read: none, and the window sees for itself.
    if (!tables.ownersWhole) {
        CollectorError error{kOwnersNotWhole, 0};
        return SendPart(sink, kPartError, &error, sizeof error);
    }
    return WriteCollectorAnswer(
        tables, tables.ownerSource,
        [&](uint32_t pid, uint64_t start) { return ReadOwner(root, pid, start); }, sink);
}

std::string ComposeCollectorAnswer(const std::string& root) {
    std::string out;
    AnswerFromRoot(root, [&](const char* data, size_t size) {
        out.append(data, size);
        return true;
    });
    return out;
}

CollectorAnswerReader::State CollectorAnswerReader::Feed(const char* data, size_t size) {
    if (state_ != State::Reading)
        return size == 0 ? state_ : (state_ = State::Refused);
    while (size > 0) {
        size_t want = sizeof(CollectorPart);
        if (held_.size() >= want) {
            auto part = At<CollectorPart>(held_.data(), 0);
            want += part.size;
        }
        size_t take = std::min(want - held_.size(), size);
        held_.append(data, take);
        data += take;
        size -= take;
        most_held_ = std::max(most_held_, held_.size());
        if (held_.size() < want)
            continue;
        auto part = At<CollectorPart>(held_.data(), 0);
        if (held_.size() == sizeof part) {
            if (part.kind < kPartWorking || part.kind > kPartNamespaces ||
                part.size > kCollectorMaxPart)
                return state_ = State::Refused;
            if (part.size > 0) {
                held_.reserve(sizeof part + part.size);
                continue;
            }
        }
        State next = Part(part.kind, held_.data() + sizeof part, part.size);
        held_.clear();
        if (next != State::Reading) {
            if (next != State::Whole)
                answer_ = {};
            return state_ = size == 0 ? next : State::Refused;
        }
    }
    return state_;
}

CollectorAnswerReader::State CollectorAnswerReader::Part(uint32_t kind, const char* data,
                                                         size_t size) {
    switch (kind) {
    case kPartWorking:
        return size == 0 ? State::Reading : State::Refused;
    case kPartRows:
        return phase_ == Phase::Rows ? Rows(data, size) : State::Refused;
    case kPartNamespaces:
        if (phase_ != Phase::Rows && phase_ != Phase::Namespaces)
            return State::Refused;
        phase_ = Phase::Namespaces;
        return Namespaces(data, size);
    case kPartOwners:
        if (phase_ != Phase::Namespaces && phase_ != Phase::Owners)
            return State::Refused;
        phase_ = Phase::Owners;
        return Owners(data, size);
    case kPartReport:
        if (phase_ == Phase::Report || size == 0 || std::memchr(data, '\0', size) != nullptr)
            return State::Refused;
        phase_ = Phase::Report;
        answer_.report.assign(data, size);
        return State::Reading;
    case kPartEnd:
        return End(data, size);
    case kPartError: {
        if (size != sizeof(CollectorError))
            return State::Refused;
        auto error = At<CollectorError>(data, 0);
        if (error.reason == 0 || error.reserved != 0)
            return State::Refused;
        error_ = error.reason;
        return State::Error;
    }
    default:
        return State::Refused;
    }
}

CollectorAnswerReader::State CollectorAnswerReader::Rows(const char* data, size_t size) {
    if (size < sizeof(CollectorRowsHead) + sizeof(CollectorRow) ||
        (size - sizeof(CollectorRowsHead)) % sizeof(CollectorRow) != 0)
        return State::Refused;
    auto head = At<CollectorRowsHead>(data, 0);
    if (head.table >= kTableCount || head.table < table_ || head.reserved != 0)
        return State::Refused;
    table_ = head.table;
    bool v6 = FamilyOf(head.table) == InetFamily::V6;
    auto& sockets = answer_.tables.sockets[head.table];
    auto& owners = answer_.tables.owners[head.table];
    for (size_t at = sizeof head; at < size; at += sizeof(CollectorRow)) {
        auto row = At<CollectorRow>(data, at);
        if (row.reserved[0] != 0 || row.reserved[1] != 0 || row.reserved[2] != 0)
            return State::Refused;
        InetSocket socket;
        socket.state = row.state;
        socket.v6 = v6;
        socket.localAddr = row.localAddr;
        socket.remoteAddr = row.remoteAddr;
        socket.localPort = row.localPort;
        socket.remotePort = row.remotePort;
        socket.interface = row.interface;
        socket.netns = row.netns;
        std::memcpy(socket.local6.data(), row.local6, 16);
        std::memcpy(socket.remote6.data(), row.remote6, 16);
        sockets.push_back(socket);
        owners.push_back(row.pid);
    }
    return State::Reading;
}

CollectorAnswerReader::State CollectorAnswerReader::Namespaces(const char* data, size_t size) {
    if (size == 0)
        return State::Refused;
    std::vector<NetworkNamespace>& parsed = answer_.tables.namespaces;
    for (size_t at = 0; at < size;) {
        if (size - at < sizeof(CollectorNamespace))
            return State::Refused;
        auto record = At<CollectorNamespace>(data, at);
        at += sizeof record;
        if ((record.unread & ~0xFu) != 0 || record.kindSize > kCollectorMaxKind ||
            record.nameSize > kCollectorMaxNamespaceName ||
            size - at < size_t{record.kindSize} + record.nameSize)
            return State::Refused;
        const char* kind = data + at;
        at += size_t{record.kindSize} + record.nameSize;
        // The own first, unnamed; each other one named, and none twice.
        bool own = parsed.empty();
        if (std::memchr(kind, '\0', size_t{record.kindSize} + record.nameSize) != nullptr ||
            own != (record.kindSize == 0) || (record.kindSize == 0) != (record.nameSize == 0) ||
            parsed.size() >= kCollectorMaxOwners || !namespaceInodes_.insert(record.inode).second)
            return State::Refused;
        parsed.push_back({record.inode, std::string(kind, record.kindSize),
                          std::string(kind + record.kindSize, record.nameSize), record.unread});
    }
    return State::Reading;
}

CollectorAnswerReader::State CollectorAnswerReader::Owners(const char* data, size_t size) {
    if (size == 0)
        return State::Refused;
    std::vector<CollectedOwner>& parsed = answer_.owners;
    for (size_t at = 0; at < size;) {
        if (size - at < sizeof(CollectorOwner))
            return State::Refused;
        auto record = At<CollectorOwner>(data, at);
        at += sizeof record;
        if (record.pid == 0 || (!parsed.empty() && record.pid <= parsed.back().pid) ||
            parsed.size() >= kCollectorMaxOwners || record.pathRead > 1 || record.reserved != 0 ||
            record.nameSize > kCollectorMaxName || record.pathSize > kCollectorMaxPath ||
            size - at < size_t{record.nameSize} + record.pathSize)
            return State::Refused;
        const char* name = data + at;
        const char* path = name + record.nameSize;
        at += size_t{record.nameSize} + record.pathSize;
        if (std::memchr(name, '\0', size_t{record.nameSize} + record.pathSize) != nullptr ||
            (record.pathRead == 1 && (record.pathSize == 0 || path[0] != '/')) ||
            (record.pathRead == 0 && record.pathSize != 0))
            return State::Refused;
        CollectedOwner owner;
        owner.pid = record.pid;
        owner.pathRead = record.pathRead == 1;
        owner.startTime = record.startTime;
        owner.device = record.device;
        owner.inode = record.inode;
        owner.claimant = record.claimant;
        owner.name.assign(name, record.nameSize);
        owner.path.assign(path, record.pathSize);
        parsed.push_back(std::move(owner));
    }
    return State::Reading;
}

CollectorAnswerReader::State CollectorAnswerReader::End(const char* data, size_t size) {
    if (size != sizeof(CollectorEnd))
        return State::Refused;
    auto end = At<CollectorEnd>(data, 0);
    MachineTables& tables = answer_.tables;
    const std::vector<CollectedOwner>& owners = answer_.owners;
    if (end.reserved != 0 || (end.tablesRead & ~0xFu) != 0 || end.owners != owners.size())
        return State::Refused;
    for (size_t table = 0; table < kTableCount; ++table) {
        tables.read[table] = (end.tablesRead & (1u << table)) != 0;
        if (end.rows[table] != tables.sockets[table].size() ||
            (!tables.read[table] && !tables.sockets[table].empty()))
            return State::Refused;
    }
    // Every row's owner has its record, and every record a row: an answer
    // that names processes it has no row for is not this collector's. Each
    // row's owner is as the collector's pass named it.
    std::vector<bool> named(owners.size());
    for (size_t table = 0; table < kTableCount; ++table) {
        std::vector<uint64_t>& starts = tables.ownerStarts[table];
        starts.reserve(tables.owners[table].size());
        for (uint32_t pid : tables.owners[table]) {
            if (pid == 0) {
                starts.push_back(0);
                continue;
            }
            auto record = std::lower_bound(
                owners.begin(), owners.end(), pid,
                [](const CollectedOwner& owner, uint32_t id) { return owner.pid < id; });
            if (record == owners.end() || record->pid != pid)
                return State::Refused;
            named[static_cast<size_t>(record - owners.begin())] = true;
            starts.push_back(record->startTime);
        }
    }
    if (std::find(named.begin(), named.end(), false) != named.end())
        return State::Refused;
    // Every row lives in a namespace the answer names.
    if (tables.namespaces.empty())
        return State::Refused;
    // A namespace says which of its tables went unread: none of its rows is
    // in one, and the collector's own reads what the answer says was read.
    std::unordered_map<uint32_t, uint32_t> unread;
    for (const NetworkNamespace& ns : tables.namespaces)
        unread[ns.inode] = ns.unread;
    if ((tables.namespaces.front().unread & end.tablesRead) != 0)
        return State::Refused;
    for (size_t table = 0; table < kTableCount; ++table)
        for (const InetSocket& socket : tables.sockets[table]) {
            auto its = unread.find(socket.netns);
            if (its == unread.end() || (its->second >> table & 1u) != 0)
                return State::Refused;
        }
    phase_ = Phase::Done;
    return State::Whole;
}

CollectorAnswer CollectorAnswerReader::Take() {
    return state_ == State::Whole ? std::move(answer_) : CollectorAnswer();
}

bool ParseCollectorAnswer(const char* data, size_t size, CollectorAnswer& answer) {
    CollectorAnswerReader reader;
    answer = {};
    if (reader.Feed(data, size) != CollectorAnswerReader::State::Whole)
        return false;
    answer = reader.Take();
    return true;
}

} // namespace ombrel::platform
