// advapi32: the process token and its privileges.
#include <gtest/gtest.h>

#include "sentinel.h"

namespace {

TEST(Advapi32, TokenCallsRefuseBadHandlesAndUnknownNames) {
    HANDLE token = reinterpret_cast<HANDLE>(0x1234);
    SetLastError(kSentinel);
    EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x999990), TOKEN_QUERY, &token));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(token, reinterpret_cast<HANDLE>(0x1234));

    LUID luid{kSentinel, static_cast<LONG>(kSentinel)};
    SetLastError(kSentinel);
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeNoSuchPrivilege", &luid));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
    EXPECT_EQ(luid.LowPart, kSentinel);

    TOKEN_PRIVILEGES privileges{};
    SetLastError(kSentinel);
    EXPECT_FALSE(AdjustTokenPrivileges(reinterpret_cast<HANDLE>(0x999990), FALSE, &privileges, 0,
                                       nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// Success still sets the last error: all assigned, or not all.
TEST(Advapi32, AdjustingSaysWhetherAllWereAssigned) {
    HANDLE token = nullptr;
    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    TOKEN_PRIVILEGES privileges{};
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, SE_DEBUG_NAME, &privileges.Privileges[0].Luid));
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    SetLastError(kSentinel);
    EXPECT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    DWORD error = GetLastError();
    EXPECT_TRUE(error == ERROR_SUCCESS || error == ERROR_NOT_ALL_ASSIGNED) << error;
    EXPECT_TRUE(CloseHandle(token));
}

} // namespace
