// version: the size, copy and query of a version block, and what each
// failure sets.
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include <winver.h>

#include "pe_builder.h"
#include "sentinel.h"
#include "temp_dir.h"

using namespace pe_builder;

namespace {

class VersionBlock : public ::testing::Test {
protected:
    void SetUp() override {
        program = dir.path() + "/v.exe";
        Save(program, Image(Version(Fixed(0x00010002, 0x00030004, 0, 0), {0x04B00409u},
                                    {{"040904b0", {{"ProductName", u"Probe"}}}})));
        DWORD size = GetFileVersionInfoSizeA(program.c_str(), nullptr);
        ASSERT_GT(size, 0u);
        block.assign(size, 0);
        ASSERT_TRUE(GetFileVersionInfoA(program.c_str(), 0, size, block.data()));
    }

    TempDir dir;
    std::string program;
    std::vector<uint8_t> block;
};

TEST_F(VersionBlock, SizeOfAFileWithoutAVersionResource) {
    std::string plain = dir.Write("plain", "no resource here");
    DWORD handle = kSentinel;
    SetLastError(kSentinel);
    EXPECT_EQ(GetFileVersionInfoSizeA(plain.c_str(), &handle), 0u);
    EXPECT_EQ(GetLastError(), ERROR_RESOURCE_DATA_NOT_FOUND);
    EXPECT_EQ(handle, 0u); // always zeroed
}

TEST_F(VersionBlock, SizeOfMissingFilesAndFolders) {
    struct Case {
        std::string path;
        DWORD error;
    };
    const Case cases[] = {{dir.path() + "/missing", ERROR_FILE_NOT_FOUND},
                          {dir.path() + "/missing/v.exe", ERROR_PATH_NOT_FOUND},
                          {"", ERROR_FILE_NOT_FOUND}};
    for (const Case& c : cases) {
        DWORD handle = kSentinel;
        SetLastError(kSentinel);
        EXPECT_EQ(GetFileVersionInfoSizeA(c.path.c_str(), &handle), 0u) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
        EXPECT_EQ(handle, 0u) << c.path;
    }
    SetLastError(kSentinel);
    EXPECT_GT(GetFileVersionInfoSizeA(program.c_str(), nullptr), 0u); // the handle may be null
}

TEST_F(VersionBlock, QueriesThatFailSetTheLengthToZero) {
    for (const char* path : {"String", "\\StringFileInfo\\040904b0\\Produc",
                             "\\StringFileInfo\\040904b0\\Missing", "\\VarFileInfo\\None"}) {
        LPVOID value = reinterpret_cast<LPVOID>(0x1234);
        UINT length = kSentinel;
        EXPECT_FALSE(VerQueryValueA(block.data(), path, &value, &length)) << path;
        EXPECT_EQ(length, 0u) << path;
    }
    LPVOID value = nullptr;
    UINT length = kSentinel;
    ASSERT_TRUE(
        VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\ProductName", &value, &length));
    EXPECT_EQ(length, 6u); // characters with the terminating null
    EXPECT_STREQ(static_cast<const char*>(value), "Probe");
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", &value, &length));
    EXPECT_EQ(length, sizeof(VS_FIXEDFILEINFO));
}

TEST_F(VersionBlock, CopyIntoNoBufferIsRefusedByChoice) {
    SetLastError(kSentinel);
    EXPECT_FALSE(GetFileVersionInfoA(program.c_str(), 0, 0, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

} // namespace
