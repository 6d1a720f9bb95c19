// iphlpapi: the two extended tables, as the program binds them by name.
#include <gtest/gtest.h>

#include <iphlpapi.h>

#include "sentinel.h"

namespace {

using TableFunction = DWORD(WINAPI*)(PVOID*, BOOL, HANDLE, DWORD, DWORD);

TableFunction Bind(HMODULE module, const char* name) {
    return reinterpret_cast<TableFunction>(
        reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

TEST(Iphlpapi, TablesReportErrorsByResultAndWriteNothingOnFailure) {
    HMODULE module = LoadLibraryA("iphlpapi.dll");
    ASSERT_NE(module, nullptr);
    for (const char* name :
         {"AllocateAndGetTcpExTableFromStack", "AllocateAndGetUdpExTableFromStack"}) {
        TableFunction get = Bind(module, name);
        ASSERT_NE(get, nullptr) << name;
        PVOID table = reinterpret_cast<PVOID>(0x1234);
        SetLastError(kSentinel);
        EXPECT_EQ(get(nullptr, TRUE, GetProcessHeap(), 0, 2), ERROR_INVALID_PARAMETER) << name;
        EXPECT_EQ(get(&table, TRUE, GetProcessHeap(), 0, 23), ERROR_INVALID_PARAMETER) << name;
        EXPECT_EQ(table, reinterpret_cast<PVOID>(0x1234)) << name;
        int notAHeap = 0;
        EXPECT_EQ(get(&table, TRUE, &notAHeap, 0, 2), ERROR_NOT_ENOUGH_MEMORY) << name;
        EXPECT_EQ(table, reinterpret_cast<PVOID>(0x1234)) << name;

        ASSERT_EQ(get(&table, TRUE, GetProcessHeap(), 0, 2), static_cast<DWORD>(ERROR_SUCCESS))
            << name;
        ASSERT_NE(table, nullptr);
        EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, table));
    }
    FreeLibrary(module);
}

} // namespace
