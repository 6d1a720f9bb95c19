// psapi: the program path of a process, through a handle.
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

#include <psapi.h>

#include "sentinel.h"

namespace {

TEST(Psapi, ModulePathOfABadHandleWritesNothing) {
    char path[64];
    std::memset(path, 'x', sizeof path);
    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleFileNameExA(reinterpret_cast<HANDLE>(0x999990), nullptr, path, sizeof path),
              0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(path[0], 'x');
}

// The original platform cuts a path to the buffer; a cut path can name
// another file, so here a buffer too small fails and holds nothing.
TEST(Psapi, ModulePathTooLongForTheBufferFailsByChoice) {
    HANDLE self = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE,
                              static_cast<DWORD>(::getpid()));
    ASSERT_NE(self, nullptr);
    char path[4096];
    SetLastError(kSentinel);
    DWORD length = GetModuleFileNameExA(self, nullptr, path, sizeof path);
    ASSERT_GT(length, 1u);
    EXPECT_EQ(GetLastError(), kSentinel);
    EXPECT_EQ(std::strlen(path), length);

    std::memset(path, 'x', sizeof path);
    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleFileNameExA(self, nullptr, path, length), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(GetModuleFileNameExA(self, nullptr, path, 0), 0u);
    CloseHandle(self);
}

} // namespace
