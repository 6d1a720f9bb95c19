#include <cstdint>
#include <cstdlib>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include "provisions.h"

namespace ombrel::platform::lx {
namespace {
char processHeapTag; // its address is the process heap's handle

// A large snapshot is a hundred thousand small blocks, each touched once as
// it is zero-filled: a page fault per 4 KiB is much of what a fresh process
// spends on them. So the heap grows in large steps, and each step is
// offered to the kernel for huge pages as it is taken.
constexpr size_t kGrowth = size_t{32} << 20;
constexpr uintptr_t kHugePage = uintptr_t{2} << 20;

void OfferHugePages() {
    static bool padded = mallopt(M_TOP_PAD, static_cast<int>(kGrowth)) == 1;
    static uintptr_t offered = 0;
    if (!padded)
        return;
    auto now = reinterpret_cast<uintptr_t>(::sbrk(0));
    if (offered == 0 || now < offered) {
        offered = now; // the first call, or a heap that shrank: from here on
        return;
    }
    uintptr_t first = (offered + kHugePage - 1) & ~(kHugePage - 1);
    uintptr_t last = now & ~(kHugePage - 1);
    if (last > first) {
        ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
        offered = last;
    }
}
} // namespace

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
    OfferHugePages();
    void* memory = (flags & HEAP_ZERO_MEMORY) ? std::calloc(1, bytes) : std::malloc(bytes);
    if (memory == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    OfferHugePages();
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
