// shell32: file icons and program starts.
#include <gtest/gtest.h>

#include <shellapi.h>

#include "sentinel.h"

namespace {

TEST(Shell32, IconOfAMissingFileWritesNothing) {
    SHFILEINFOA info;
    Fill(info);
    EXPECT_EQ(
        SHGetFileInfoA("/nonexistent/ombrel", 0, &info, sizeof info, SHGFI_ICON | SHGFI_SMALLICON),
        0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(info.hIcon) & 0xFFFFFFFFu, 0xEFEFEFEFu);
    EXPECT_EQ(SHGetFileInfoA("/usr/bin", 0, &info, sizeof info - 1, SHGFI_ICON), 0u);
    EXPECT_EQ(SHGetFileInfoA("", 0, &info, sizeof info, SHGFI_ICON), 0u);
    SetLastError(kSentinel);
    EXPECT_FALSE(DestroyIcon(reinterpret_cast<HICON>(0x999990)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Shell32, StartsThatCannotHappenSayWhyInTheResult) {
    auto result = [](LPCSTR verb, LPCSTR file) {
        return reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, verb, file, nullptr, nullptr, 5));
    };
    EXPECT_EQ(result("open", "/nonexistent/ombrel"), SE_ERR_FNF);
    EXPECT_EQ(result("open", ""), SE_ERR_FNF);
    EXPECT_EQ(result("print", "/usr/bin/true"), SE_ERR_NOASSOC);
}

} // namespace
