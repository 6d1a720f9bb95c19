#include <cstring>
#include <vector>

#include "current_refresh.h"
#include "handles.h"
#include "provisions.h"
#include "refresh/process_list.h"
#include <ombrel/text.h>

namespace ombrel::platform {
namespace {

class ProcessSnapshot : public KernelObject {
public:
    std::vector<ProcessRecord> records;
    size_t next = 0;
};

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
    snapshot->records = ListRefreshProcesses(CurrentRefreshContext());
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
