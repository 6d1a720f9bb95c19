#include "refresh/refresh_context.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <ombrel/administrator.h>

#include "base/proc_root.h"
#include "privilege/collector_link.h"

namespace ombrel::platform {
namespace {

// Finding the owners costs as much as the socket dumps or more, and a
// refresh reads its tables one right after another: so all four are read
// at once, with the owners of all. In administrator mode they come from the
// collector's answer, with its own account of how it named them.
void ReadEveryTable(RefreshContext& context) {
    context.tables = {};
    context.held = {};
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
    for (size_t table = 0; table < kTableCount; ++table) {
        if (!tables.read[table])
            continue;
        context.tables[table].sockets = std::move(tables.sockets[table]);
        context.tables[table].owners = std::move(tables.owners[table]);
        context.held[table] = true;
    }
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

bool ReadRefreshTable(RefreshContext* context, size_t table, bool keep, OwnedSockets& out) {
    context = Refreshing(context);
    if (context != nullptr) {
        if (!context->tablesRead || context->tablesRoot != ProcRoot())
            ReadEveryTable(*context);
        if (context->held[table]) {
            out = keep ? context->tables[table] : std::move(context->tables[table]);
            if (!keep)
                ReleaseRefreshTable(context, table);
            return true;
        }
    }
    std::string* report = context != nullptr ? &context->ownerSource : nullptr;
    return ReadMachineTable(table, ProcRoot(), out.sockets, out.owners, report);
}

void ReleaseRefreshTable(RefreshContext* context, size_t table) {
    context = Refreshing(context);
    if (context == nullptr)
        return;
    context->tables[table] = {};
    context->held[table] = false;
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
