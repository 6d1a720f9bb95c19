// kernel32: each call's result, last error and out-records, for success and
// for each failure it can meet.
#include <gtest/gtest.h>
#include <string>

#include <tlhelp32.h>

#include "sentinel.h"
#include "temp_dir.h"

namespace {

class Kernel32Files : public ::testing::Test {
protected:
    void SetUp() override { file = dir.Write("file"); }
    std::string In(const char* relative) const { return dir.path() + "/" + relative; }

    TempDir dir;
    std::string file;
};

TEST_F(Kernel32Files, FindFirstFileTellsAMissingFileFromAMissingFolder) {
    WIN32_FIND_DATAA data;
    struct Case {
        std::string path;
        DWORD error;
    };
    const Case cases[] = {
        {In("missing"), ERROR_FILE_NOT_FOUND},      {In("*.none"), ERROR_FILE_NOT_FOUND},
        {In("missing/file"), ERROR_PATH_NOT_FOUND}, {In("missing/*"), ERROR_PATH_NOT_FOUND},
        {In("file/below"), ERROR_PATH_NOT_FOUND}, // a file used as a folder
    };
    for (const Case& c : cases) {
        Fill(data);
        EXPECT_EQ(FindFirstFileA(c.path.c_str(), &data), INVALID_HANDLE_VALUE) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
        EXPECT_EQ(data.dwFileAttributes, 0xEFEFEFEFu) << c.path; // nothing written
    }
    Fill(data);
    HANDLE found = FindFirstFileA(file.c_str(), &data);
    ASSERT_NE(found, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "file");
    EXPECT_TRUE(FindClose(found));
    SetLastError(kSentinel);
    EXPECT_FALSE(FindClose(found));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Kernel32Files, FindFirstFileOfAnEmptyPathIsAMissingPathByChoice) {
    WIN32_FIND_DATAA data;
    Fill(data);
    EXPECT_EQ(FindFirstFileA("", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(Kernel32Files, CreateFileTellsMissingFilesFoldersAndDirectories) {
    struct Case {
        std::string path;
        DWORD error;
    };
    const Case cases[] = {
        {In("missing"), ERROR_FILE_NOT_FOUND},
        {In("missing/file"), ERROR_PATH_NOT_FOUND},
        {dir.path(), ERROR_ACCESS_DENIED},
        {"", ERROR_PATH_NOT_FOUND},
    };
    for (const Case& c : cases) {
        SetLastError(kSentinel);
        EXPECT_EQ(CreateFileA(c.path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr),
                  INVALID_HANDLE_VALUE)
            << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
}

TEST(Kernel32, ModulesAndExportsByName) {
    SetLastError(kSentinel);
    EXPECT_EQ(LoadLibraryA("missing.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    SetLastError(kSentinel);
    EXPECT_EQ(GetModuleHandleA("missing.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);

    HMODULE psapi = LoadLibraryA("PSAPI.DLL"); // names compare without case
    ASSERT_NE(psapi, nullptr);
    SetLastError(kSentinel);
    EXPECT_EQ(GetProcAddress(psapi, "NoSuchExport"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(psapi));
    int notAModule = 0;
    SetLastError(kSentinel);
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&notAModule)));
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(Kernel32, ProcessHandlesRefuseWhatIsNotAProcess) {
    SetLastError(kSentinel);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    SetLastError(kSentinel);
    EXPECT_EQ(OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, 0x7ffffff0), nullptr); // no such pid
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    HANDLE bogus = reinterpret_cast<HANDLE>(0x999990);
    SetLastError(kSentinel);
    EXPECT_FALSE(CloseHandle(bogus));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Kernel32, ProcessSnapshotWalksToNoMoreFiles) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32 entry;
    Fill(entry);
    entry.dwSize = sizeof entry - 1;
    EXPECT_FALSE(Process32First(snapshot, &entry));
    EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
    entry.dwSize = sizeof entry;
    ASSERT_TRUE(Process32First(snapshot, &entry));
    while (Process32Next(snapshot, &entry))
        entry.dwSize = sizeof entry;
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(CloseHandle(snapshot));
    SetLastError(kSentinel);
    EXPECT_FALSE(Process32First(snapshot, &entry));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(Kernel32, BuffersTooSmallSayWhatTheyNeed) {
    char buffer[4];
    std::memset(buffer, 'x', sizeof buffer);
    UINT needed = GetSystemDirectoryA(buffer, 1);
    EXPECT_EQ(needed, std::strlen("/usr/bin") + 1);
    char full[64];
    EXPECT_EQ(GetSystemDirectoryA(full, needed), needed - 1);

    EXPECT_EQ(GetShortPathNameA("/usr/bin", buffer, sizeof buffer), std::strlen("/usr/bin") + 1);
}

TEST(Kernel32, ShortPathOfAMissingFolderIsAMissingFileByChoice) {
    char buffer[64];
    SetLastError(kSentinel);
    EXPECT_EQ(GetShortPathNameA("/nonexistent/ombrel", buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    SetLastError(kSentinel);
    EXPECT_EQ(GetShortPathNameA("/etc/passwd/below", buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(Kernel32, CreateProcessOfAMissingProgramWritesNothing) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION information;
    Fill(information);
    EXPECT_FALSE(CreateProcessA("/nonexistent/ombrel-program", nullptr, nullptr, nullptr, FALSE, 0,
                                nullptr, nullptr, &startup, &information));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(information.dwProcessId, 0xEFEFEFEFu);
}

TEST(Kernel32, HeapFreeOfNoBlockSucceeds) {
    SetLastError(kSentinel);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, nullptr));
    EXPECT_EQ(GetLastError(), kSentinel);
    int notAHeap = 0;
    EXPECT_EQ(HeapAlloc(&notAHeap, 0, 8), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

} // namespace
