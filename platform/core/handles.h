// The layer's kernel-object handles: process, token, snapshot, search and
// icon objects live in one table under small integer handle values, so a
// stale or forged handle is refused instead of dereferenced.
#pragma once

#include <memory>

#include <windows.h>

namespace ombrel::platform {

class KernelObject {
public:
    virtual ~KernelObject() = default;
};

HANDLE InsertHandle(std::unique_ptr<KernelObject> object);
KernelObject* LookupObject(HANDLE handle);
// Destroys the object; false when the handle names none.
bool RemoveHandle(HANDLE handle);
// Live handles of any kind, for leak checks.
size_t HandleCount();

template <typename T> T* LookupHandle(HANDLE handle) {
    return dynamic_cast<T*>(LookupObject(handle));
}

} // namespace ombrel::platform
