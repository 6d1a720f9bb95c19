#include "refresh/refresh_context.h"

#include <algorithm>
#include <cerrno>
#include <unordered_map>
#include <utility>

#include <ombrel/administrator.h>

#include "base/proc_root.h"
#include "privilege/collector_link.h"

namespace ombrel::platform {
namespace {

// Each namespace's rows apart, for the calls that read one namespace each.
// A socket of a namespace the list does not name (an older collector names
// none) counts as the caller's own where it has no namespace, else as one
// known only by its inode.
void HoldByNamespace(MachineTables& tables, bool live, RefreshContext& context) {
    context.namespaces = std::move(tables.namespaces);
    if (context.namespaces.empty())
        context.namespaces.push_back({live ? OwnNetworkNamespace() : 0, {}, {}});
    const uint32_t own = context.namespaces.front().inode;
    std::unordered_map<uint32_t, HeldTables*> slots;
    for (const NetworkNamespace& ns : context.namespaces)
        slots[ns.inode] = &context.tables[ns.inode];
    auto slotOf = [&](uint32_t netns) {
        if (netns == 0)
            netns = own;
        auto found = slots.find(netns);
        if (found != slots.end())
            return found->second;
        context.namespaces.push_back(NameNetworkNamespace({}, netns, {}, {}, {}));
        return slots[netns] = &context.tables[netns];
    };
    for (size_t table = 0; table < kTableCount; ++table) {
        if (!tables.read[table])
            continue;
        std::vector<InetSocket>& sockets = tables.sockets[table];
        std::vector<uint32_t>& owners = tables.owners[table];
        if (context.namespaces.size() == 1) {
            // One namespace, as a rule: its rows as they were read.
            OwnedSockets& only = context.tables[own].tables[table];
            only.sockets = std::move(sockets);
            only.owners = std::move(owners);
        } else {
            for (size_t i = 0; i < sockets.size(); ++i) {
                OwnedSockets& its = slotOf(sockets[i].netns)->tables[table];
                its.sockets.push_back(sockets[i]);
                its.owners.push_back(i < owners.size() ? owners[i] : 0);
            }
        }
        // A namespace whose table could not be read holds none: its call
        // fails rather than give no rows.
        for (const NetworkNamespace& ns : context.namespaces)
            context.tables[ns.inode].held[table] = (ns.unread >> table & 1u) == 0;
    }
}

// Finding the owners costs as much as the socket dumps or more, and a
// refresh reads its tables one right after another: so all four are read
// at once, with the owners of all. In administrator mode they come from the
// collector's answer, with its own account of how it named them.
void ReadEveryTable(RefreshContext& context) {
    context.tables.clear();
    context.namespaces.clear();
    context.tablesRoot = ProcRoot();
    context.ownerSource.clear();
    context.collectedOwners.clear();
    MachineTables tables;
    std::string its;
    bool live = ProcRootIsLive(); // the root just read is ProcRoot()
    if (live && AskCollector(tables, context.collectedOwners, its)) {
        for (size_t start = 0; start < its.size();) {
            size_t end = std::min(its.find('\n', start), its.size());
            context.ownerSource += "the collector: " + its.substr(start, end - start) + "\n";
            start = end + 1;
        }
        context.ownerSource += "owners: the administrator's collector " + RunningCollectorPath();
    } else {
        ReadMachineTables(context.tablesRoot, tables);
        context.ownerSource = std::move(tables.ownerSource);
        if (live && CurrentAdministratorMode() == AdministratorMode::Unavailable)
            context.ownerSource =
                "the administrator's collector is unavailable; " + context.ownerSource;
    }
    NameOwners(tables, context.namedOwners);
    HoldByNamespace(tables, live, context);
    context.tablesRead = true;
}

} // namespace

const BoundProgram* BoundProgramFile(const RefreshContext* context, std::string_view path) {
    const BoundProgram* binding = context != nullptr ? context->binding : nullptr;
    return binding != nullptr && binding->path == path ? binding : nullptr;
}

// A context made for a binding alone shares nothing of a refresh.
RefreshContext* Refreshing(RefreshContext* context) {
    return context != nullptr && !context->bindingOnly ? context : nullptr;
}

bool ReadRefreshTable(RefreshContext* context, size_t table, uint32_t netns, bool keep,
                      OwnedSockets& out) {
    context = Refreshing(context);
    if (context != nullptr) {
        if (!context->tablesRead || context->tablesRoot != ProcRoot())
            ReadEveryTable(*context);
        auto found = context->tables.find(netns != 0 ? netns : context->namespaces.front().inode);
        if (found == context->tables.end())
            return false; // not a namespace this refresh could read
        if (found->second.held[table]) {
            OwnedSockets& held = found->second.tables[table];
            out = keep ? held : std::move(held);
            if (!keep)
                ReleaseRefreshTable(context, table, netns);
            return true;
        }
        // Another namespace's table is read with every namespace's: not
        // again for each call of the refresh.
        if (netns != 0 && netns != context->namespaces.front().inode)
            return false;
        netns = 0;
    }
    std::string* report = context != nullptr ? &context->ownerSource : nullptr;
    if (netns == 0)
        return ReadMachineTable(table, ProcRoot(), out.sockets, out.owners, report);
    // Another namespace alone is read with all: the owners are found for all
    // sockets at once.
    MachineTables all;
    ReadMachineTables(ProcRoot(), all);
    if (!all.read[table] ||
        std::none_of(all.namespaces.begin(), all.namespaces.end(),
                     [&](const NetworkNamespace& ns) { return ns.inode == netns; }))
        return false;
    out = {};
    for (size_t i = 0; i < all.sockets[table].size(); ++i)
        if (all.sockets[table][i].netns == netns) {
            out.sockets.push_back(all.sockets[table][i]);
            out.owners.push_back(all.owners[table][i]);
        }
    return true;
}

void ReleaseRefreshTable(RefreshContext* context, size_t table, uint32_t netns) {
    context = Refreshing(context);
    if (context == nullptr || context->namespaces.empty())
        return;
    auto found = context->tables.find(netns != 0 ? netns : context->namespaces.front().inode);
    if (found == context->tables.end())
        return;
    found->second.tables[table] = {};
    found->second.held[table] = false;
}

std::vector<NetworkNamespace> RefreshNamespaces(RefreshContext* context) {
    context = Refreshing(context);
    if (context != nullptr) {
        if (!context->tablesRead || context->tablesRoot != ProcRoot())
            ReadEveryTable(*context);
        return context->namespaces;
    }
    MachineTables all;
    ReadMachineTables(ProcRoot(), all);
    return all.namespaces;
}

std::shared_ptr<ProcDir> OpenRefreshProcess(RefreshContext* context, uint32_t pid, int& error) {
    context = Refreshing(context);
    std::shared_ptr<ProcDir> dir = context != nullptr
                                       ? context->processes.Open(ProcRoot(), pid, error)
                                       : OpenProcDir(ProcRoot(), pid, error);
    if (context == nullptr)
        return dir;
    // The owner a refresh's tables named is the process that held the
    // socket then: a later one under its reused id is not opened for it.
    if (dir && dir->fd) {
        auto named = context->namedOwners.find(pid);
        if (named != context->namedOwners.end() && dir->StartTime() != named->second) {
            dir = nullptr;
            error = ENOENT;
        }
    }
    // In administrator mode, a process hidden from the user (hidepid) is
    // still the owner this refresh's collector named.
    if (!dir && CollectedOwnerOf(context->collectedOwners, pid) != nullptr)
        dir = std::make_shared<ProcDir>(-1);
    return dir;
}

} // namespace ombrel::platform
