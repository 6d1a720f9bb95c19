#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "../core/handles.h"
#include "../core/provisions.h"
#include "base/fd.h"
#include "base/proc_root.h"
#include "base/procfs.h"
#include "privilege/collector_link.h"
#include "sockets/machine_tables.h"
#include <ombrel/text.h>

namespace ombrel::platform {
namespace {

struct ProcessRecord {
    DWORD pid;
    DWORD ppid;
    DWORD threads;
    std::string name;
    uint64_t startTime;
};

class ProcessSnapshot : public KernelObject {
public:
    std::vector<ProcessRecord> records;
    size_t next = 0;
};

std::vector<ProcessRecord> TakeProcessList(const std::string& root) {
    std::vector<ProcessRecord> records;
    for (uint32_t pid : ListProcessIds(root)) {
        std::string base = root + "/" + std::to_string(pid);
        auto stat = ReadTaskStat(root, pid);
        if (!stat)
            continue; // gone since the directory was read
        // A later process under the id of an owner the refresh named is not
        // that owner: its name would pass for the owner's.
        if (std::optional<uint64_t> named = NamedOwnerStart(pid);
            named && *named != stat->startTime)
            continue;
        char target[4096];
        ssize_t length = ::readlink((base + "/exe").c_str(), target, sizeof target);
        std::string_view exe;
        std::optional<std::string> thread;
        if (length > 0 && static_cast<size_t>(length) < sizeof target) {
            exe = std::string_view(target, static_cast<size_t>(length));
        } else if (length < 0 && errno == ENOENT && stat->threads > 1) {
            // The main thread has exited: a live thread names the program.
            UniqueFd dir(::open(base.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (dir && (thread = ReadProgramLink(dir.get())))
                exe = *thread;
        }
        records.push_back(
            {pid, stat->ppid, stat->threads, ProcessImageName(stat->comm, exe), stat->startTime});
    }
    // In administrator mode the owners the collector named come by their
    // whole names (another user's exe link is not the user's to read), and
    // those hidden from the user (hidepid) are listed all the same.
    for (const CollectedOwner& owner : CollectedOwners()) {
        auto at =
            std::lower_bound(records.begin(), records.end(), owner.pid,
                             [](const ProcessRecord& r, uint32_t pid) { return r.pid < pid; });
        if (at != records.end() && at->pid == owner.pid) {
            if (at->startTime == owner.startTime && !owner.name.empty())
                at->name = owner.name;
        } else if (!owner.name.empty()) {
            records.insert(at, {owner.pid, 0, 1, owner.name, owner.startTime});
        }
    }
    return records;
}

BOOL FillEntry(HANDLE snapshot, LPPROCESSENTRY32 entry, bool first) {
    auto* list = LookupHandle<ProcessSnapshot>(snapshot);
    if (list == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (entry == nullptr || entry->dwSize < sizeof(PROCESSENTRY32)) {
        SetLastError(ERROR_BAD_LENGTH);
        return FALSE;
    }
    if (first)
        list->next = 0;
    if (list->next >= list->records.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    const ProcessRecord& record = list->records[list->next++];
    DWORD size = entry->dwSize;
    std::memset(entry, 0, sizeof(PROCESSENTRY32));
    entry->dwSize = size;
    entry->th32ProcessID = record.pid;
    entry->cntThreads = record.threads;
    entry->th32ParentProcessID = record.ppid;
    entry->pcPriClassBase = 8; // normal priority class
    CopyText(entry->szExeFile, sizeof entry->szExeFile, record.name);
    return TRUE;
}

} // namespace

namespace lx {

HANDLE CreateToolhelp32Snapshot(DWORD flags, DWORD) {
    if (!(flags & TH32CS_SNAPPROCESS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto snapshot = std::make_unique<ProcessSnapshot>();
    snapshot->records = TakeProcessList(ProcRoot());
    if (snapshot->records.empty()) {
        SetLastError(ERROR_ACCESS_DENIED); // no process tree to read
        return INVALID_HANDLE_VALUE;
    }
    return InsertHandle(std::move(snapshot));
}

BOOL Process32First(HANDLE snapshot, LPPROCESSENTRY32 entry) {
    return FillEntry(snapshot, entry, true);
}

BOOL Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry) {
    return FillEntry(snapshot, entry, false);
}

} // namespace lx
} // namespace ombrel::platform
