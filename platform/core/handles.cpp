#include "handles.h"

#include <mutex>
#include <unordered_map>

namespace ombrel::platform {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::unique_ptr<KernelObject>> objects;
    uintptr_t next = 4; // multiples of 4 from 4, as the platform hands them out
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

uintptr_t Key(HANDLE handle) {
    return reinterpret_cast<uintptr_t>(handle);
}

} // namespace

HANDLE InsertHandle(std::unique_ptr<KernelObject> object) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    uintptr_t value = table.next;
    table.next += 4;
    table.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

KernelObject* LookupObject(HANDLE handle) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(Key(handle));
    return it == table.objects.end() ? nullptr : it->second.get();
}

bool RemoveHandle(HANDLE handle) {
    std::unique_ptr<KernelObject> doomed;
    {
        HandleTable& table = Table();
        std::lock_guard lock(table.mutex);
        auto it = table.objects.find(Key(handle));
        if (it == table.objects.end())
            return false;
        doomed = std::move(it->second);
        table.objects.erase(it);
    }
    return true; // destroyed outside the lock: a destructor may close descriptors
}

size_t HandleCount() {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    return table.objects.size();
}

} // namespace ombrel::platform
