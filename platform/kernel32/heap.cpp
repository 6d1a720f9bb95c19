#include <cstdlib>

#include "../core/provisions.h"

namespace ombrel::platform::lx {
namespace {
char processHeapTag; // its address is the process heap's handle
}

HANDLE GetProcessHeap() {
    return &processHeapTag;
}

LPVOID HeapAlloc(HANDLE heap, DWORD flags, SIZE_T bytes) {
    if (heap != GetProcessHeap()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (bytes == 0)
        bytes = 1;
    void* memory = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes) : std::malloc(bytes);
    if (memory == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return memory;
}

BOOL HeapFree(HANDLE heap, DWORD, LPVOID memory) {
    if (heap != GetProcessHeap()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::free(memory);
    return TRUE;
}

} // namespace ombrel::platform::lx
