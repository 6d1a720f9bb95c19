#include "handles.h"

#include <mutex>
#include <vector>

namespace ombrel::platform {
namespace {

// Slots indexed by handle value / 4 - 1, with a free list: a handle costs
// no allocation of the table's own and a look-up no hashing, which counts
// when a refresh opens a process and makes an icon per endpoint.
struct HandleTable {
    std::mutex mutex;
    std::vector<std::unique_ptr<KernelObject>> slots;
    std::vector<size_t> free;
    size_t live = 0;
};

HandleTable& Table() {
    static HandleTable table;
    return table;
}

bool SlotOf(HANDLE handle, size_t& slot) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value < 4 || value % 4 != 0)
        return false;
    slot = value / 4 - 1;
    return true;
}

} // namespace

HANDLE InsertHandle(std::unique_ptr<KernelObject> object) {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    size_t slot;
    if (!table.free.empty()) {
        slot = table.free.back();
        table.free.pop_back();
        table.slots[slot] = std::move(object);
    } else {
        slot = table.slots.size();
        table.slots.push_back(std::move(object));
    }
    ++table.live;
    return reinterpret_cast<HANDLE>((slot + 1) * 4);
}

KernelObject* LookupObject(HANDLE handle) {
    HandleTable& table = Table();
    size_t slot;
    std::lock_guard lock(table.mutex);
    if (!SlotOf(handle, slot) || slot >= table.slots.size())
        return nullptr;
    return table.slots[slot].get();
}

bool RemoveHandle(HANDLE handle) {
    std::unique_ptr<KernelObject> doomed;
    {
        HandleTable& table = Table();
        size_t slot;
        std::lock_guard lock(table.mutex);
        if (!SlotOf(handle, slot) || slot >= table.slots.size() || !table.slots[slot])
            return false;
        doomed = std::move(table.slots[slot]);
        table.free.push_back(slot);
        --table.live;
    }
    return true; // destroyed outside the lock: a destructor may close descriptors
}

size_t HandleCount() {
    HandleTable& table = Table();
    std::lock_guard lock(table.mutex);
    return table.live;
}

} // namespace ombrel::platform
