#include "handles.h"

#include <vector>

namespace ombrel::platform {
namespace {

// Slots indexed by handle value / 4 - 1, with a free list: a handle costs
// no allocation of the table's own and a look-up no hashing, which counts
// when a refresh opens a process and makes an icon per endpoint.
struct HandleTable {
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
    if (!SlotOf(handle, slot) || slot >= table.slots.size())
        return nullptr;
    return table.slots[slot].get();
}

bool RemoveHandle(HANDLE handle) {
    HandleTable& table = Table();
    size_t slot;
    if (!SlotOf(handle, slot) || slot >= table.slots.size() || !table.slots[slot])
        return false;
    // Out of the table before it is destroyed: a destructor may call the
    // layer again (a process object reaps its child).
    std::unique_ptr<KernelObject> doomed = std::move(table.slots[slot]);
    table.free.push_back(slot);
    --table.live;
    return true;
}

size_t HandleCount() {
    HandleTable& table = Table();
    return table.live;
}

} // namespace ombrel::platform
