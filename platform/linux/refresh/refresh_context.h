// What one refresh shares among its calls: read once, handed to every call
// of the refresh, and let go of, descriptors included, when the refresh
// ends. Its owner (the layer's refresh scope) passes it to what reads here;
// nothing here finds it for itself. A call given none reads the system
// afresh.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "metadata/icon_theme.h"
#include "owners/collected_owners.h"
#include "programs/identified_file.h"
#include "programs/process_entry.h"
#include "sockets/machine_tables.h"

namespace ombrel::platform {

// One table's rows, each with its owner's pid.
struct OwnedSockets {
    std::vector<InetSocket> sockets;
    std::vector<uint32_t> owners;
};

// One namespace's tables as a refresh holds them.
struct HeldTables {
    std::array<OwnedSockets, kTableCount> tables;
    std::array<bool, kTableCount> held{};
};

struct RefreshContext {
    // The four tables of every namespace, read together at the first table
    // asked for (the owners of all are found in one pass), each held for
    // its own call; a table whose dump failed is not held, and its call
    // reads it afresh. By namespace inode; namespaces lists them in their
    // rows' order, the caller's own first.
    std::map<uint32_t, HeldTables> tables;
    std::vector<NetworkNamespace> namespaces;
    std::string tablesRoot; // the proc root they were read from
    bool tablesRead = false;
    std::string ownerSource; // how their owners were named (see MachineTables)

    NamedOwners namedOwners;
    CollectedOwners collectedOwners; // in administrator mode, from the collector
    ProcessEntries processes;
    ProgramPlaces places;
    IconIndexes icons;
    // Icons of programs reached through their own roots, by identity, the
    // process read through and path.
    std::map<std::tuple<uint64_t, uint64_t, uint64_t, uint32_t, std::string>, std::string>
        rootedIcons;
    // The innermost program-file binding (see ProgramFileScope).
    const BoundProgram* binding = nullptr;
    // Made for a binding alone, outside any refresh: nothing found is
    // remembered, so each call looks at the file and the folders afresh.
    bool bindingOnly = false;
};

// context where it is a refresh's; null for one made for a binding alone,
// which shares nothing.
RefreshContext* Refreshing(RefreshContext* context);

// What context remembers of program places and icon indexes; null where it
// remembers nothing.
inline ProgramPlaces* KeptPlaces(RefreshContext* context) {
    context = Refreshing(context);
    return context != nullptr ? &context->places : nullptr;
}
inline IconIndexes* KeptIcons(RefreshContext* context) {
    context = Refreshing(context);
    return context != nullptr ? &context->icons : nullptr;
}

// The binding of context when it is for path, else nullptr: path is then
// read as it stands.
const BoundProgram* BoundProgramFile(const RefreshContext* context, std::string_view path);

// A table's rows and owners in the namespace netns (its inode; 0 for the
// caller's own), from context's held tables where it holds them (a kept
// copy stays for a later call; keep false lets it go), else read afresh.
// Within a context the first call reads all four of every namespace: from
// the administrator's collector in that mode, else as the caller can, with
// the owners named for OpenRefreshProcess. False when the table cannot be
// read, or the namespace is not one the caller can read.
bool ReadRefreshTable(RefreshContext* context, size_t table, uint32_t netns, bool keep,
                      OwnedSockets& out);

// The table's rows are the caller's now: the context holds it no longer.
void ReleaseRefreshTable(RefreshContext* context, size_t table, uint32_t netns);

// The namespaces whose tables a refresh reads (or, outside one, the machine
// has now), in their rows' order: the caller's own first.
std::vector<NetworkNamespace> RefreshNamespaces(RefreshContext* context);

// The /proc entry of pid, as a refresh opens its owners: the entry the
// context already opened; never a later process under the id of one the
// context's tables named; and in administrator mode, for a process hidden
// from the user (hidepid) the collector named, an entry without a
// descriptor. Null, with the errno value in error, when there is none.
std::shared_ptr<ProcDir> OpenRefreshProcess(RefreshContext* context, uint32_t pid, int& error);

} // namespace ombrel::platform
