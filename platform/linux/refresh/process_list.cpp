#include "refresh/process_list.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

#include "base/fd.h"
#include "base/proc_root.h"
#include "base/procfs.h"

namespace ombrel::platform {

std::vector<ProcessRecord> ListRefreshProcesses(const RefreshContext* context) {
    const std::string root = ProcRoot();
    std::vector<ProcessRecord> records;
    for (uint32_t pid : ListProcessIds(root)) {
        std::string base = root + "/" + std::to_string(pid);
        auto stat = ReadTaskStat(root, pid);
        if (!stat)
            continue; // gone since the directory was read
        // A later process under the id of an owner the refresh named is not
        // that owner: its name would pass for the owner's.
        if (context != nullptr)
            if (auto named = context->namedOwners.find(pid);
                named != context->namedOwners.end() && named->second != stat->startTime)
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
    static const CollectedOwners none;
    for (const CollectedOwner& owner : context != nullptr ? context->collectedOwners : none) {
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

} // namespace ombrel::platform
