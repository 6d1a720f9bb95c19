// Conformance of each service: results, error codes and what is written to
// the caller's records, filled with a sentinel first.
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <ftw.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ombrel/icons.h>
#include <ombrel/refresh_scope.h>
#include <ombrel/services.h>

#include "platform/core/current_refresh.h"
#include "platform/linux/base/procfs.h"
#include "platform/linux/metadata/icon_theme.h"
#include "platform/linux/metadata/xdg.h"
#include "platform/linux/refresh/refresh_context.h"
#include "scoped_env.h"
#include "temp_dir.h"

using namespace ombrel::platform;

namespace {

std::string SelfExe() {
    char path[4096] = {};
    return ::readlink("/proc/self/exe", path, sizeof path - 1) > 0 ? path : "";
}

template <typename F> F Bind(HMODULE module, const char* name) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

TEST(VersionService, ReportsFiveOneOnTheNtFamily) {
    OSVERSIONINFOA info;
    std::memset(&info, 0xEF, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(info.dwMajorVersion, 5u);
    EXPECT_EQ(info.dwMinorVersion, 1u);
    EXPECT_EQ(info.dwPlatformId, VER_PLATFORM_WIN32_NT);
    EXPECT_LT(std::strlen(info.szCSDVersion), sizeof info.szCSDVersion);
    EXPECT_GT(std::strlen(info.szCSDVersion), 0u); // the kernel release

    std::memset(&info, 0xEF, sizeof info);
    info.dwOSVersionInfoSize = 100;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(info.dwMajorVersion, 0xEFEFEFEFu);
}

TEST(HeapService, ZeroesOnRequestAndRefusesForeignHeaps) {
    auto* bytes = static_cast<unsigned char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, 64));
    ASSERT_NE(bytes, nullptr);
    for (int i = 0; i < 64; ++i)
        ASSERT_EQ(bytes[i], 0);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, bytes));
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, nullptr));
    int other = 0;
    EXPECT_EQ(HeapAlloc(&other, 0, 8), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(ModuleRegistry, BindsTheProgramsFunctionsByName) {
    HMODULE psapi = LoadLibraryA("PSAPI.DLL");
    ASSERT_NE(psapi, nullptr);
    EXPECT_EQ(LoadLibraryA("psapi"), psapi);
    EXPECT_EQ(ModuleLoadCount("psapi.dll"), 2);
    EXPECT_NE(GetProcAddress(psapi, "GetModuleFileNameExA"), nullptr);
    EXPECT_EQ(GetProcAddress(psapi, "getmodulefilenameexa"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_EQ(GetProcAddress(psapi, "EnumProcesses"), nullptr);
    EXPECT_TRUE(FreeLibrary(psapi));
    EXPECT_TRUE(FreeLibrary(psapi));
    EXPECT_FALSE(FreeLibrary(psapi));
    EXPECT_EQ(ModuleLoadCount("psapi.dll"), 0);

    EXPECT_EQ(LoadLibraryA("kernel33.dll"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
    int junk = 0;
    EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(&junk), "x"), nullptr);
    EXPECT_FALSE(FreeLibrary(reinterpret_cast<HMODULE>(&junk)));
}

TEST(ModuleRegistry, TestsCanHideAModuleOrAnExport) {
    {
        HiddenModule hidden("iphlpapi.dll");
        EXPECT_EQ(LoadLibraryA("iphlpapi.dll"), nullptr);
    }
    HMODULE iphlpapi = LoadLibraryA("iphlpapi.dll");
    ASSERT_NE(iphlpapi, nullptr);
    {
        HiddenModule hidden("iphlpapi.dll", "AllocateAndGetUdpExTableFromStack");
        EXPECT_EQ(GetProcAddress(iphlpapi, "AllocateAndGetUdpExTableFromStack"), nullptr);
        EXPECT_NE(GetProcAddress(iphlpapi, "AllocateAndGetTcpExTableFromStack"), nullptr);
    }
    EXPECT_NE(GetProcAddress(iphlpapi, "AllocateAndGetUdpExTableFromStack"), nullptr);
    FreeLibrary(iphlpapi);
}

TEST(ServiceDoubles, BoundFunctionsGoThroughTheDouble) {
    HMODULE iphlpapi = LoadLibraryA("iphlpapi.dll");
    auto tcp =
        Bind<PFNALLOCATEANDGETTCPEXTABLEFROMSTACK>(iphlpapi, "AllocateAndGetTcpExTableFromStack");
    ASSERT_NE(tcp, nullptr);
    PVOID table = nullptr;
    {
        ServiceOverride fail(&Services::AllocateAndGetTcpExTableFromStack,
                             [](PVOID*, BOOL, HANDLE, DWORD, DWORD) -> DWORD { return 31; });
        EXPECT_EQ(tcp(&table, TRUE, GetProcessHeap(), 2, 2), 31u);
    }
    {
        // The table comes from the heap handed in, so a failing heap fails it.
        ServiceOverride noMemory(&Services::HeapAlloc,
                                 [](HANDLE, DWORD, SIZE_T) -> LPVOID { return nullptr; });
        EXPECT_EQ(tcp(&table, TRUE, GetProcessHeap(), 2, 2), ERROR_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(table, nullptr);
    }
    ASSERT_EQ(tcp(&table, TRUE, GetProcessHeap(), 2, 2), 0u);
    EXPECT_TRUE(HeapFree(GetProcessHeap(), 0, table));
    FreeLibrary(iphlpapi);
}

TEST(SocketLayer, StartUpsAreCountedAndBalanced) {
    int before = SocketLayerStartCount();
    WSADATA data;
    std::memset(&data, 0xEF, sizeof data);
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    EXPECT_EQ(data.wHighVersion, 0x0202);
    EXPECT_EQ(SocketLayerStartCount(), before + 1);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(SocketLayerStartCount(), before);
    EXPECT_EQ(WSAStartup(0x0001, &data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(SocketLayerStartCount(), before);
    if (before == 0) {
        EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
        EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    }
    EXPECT_EQ(htonl(0x7F000001u), 0x0100007Fu);
}

TEST(ProcessService, HandlesAreCheckedBeforeUse) {
    EXPECT_EQ(OpenProcess(PROCESS_ALL_ACCESS, FALSE, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x1234567)));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE self = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(::getpid()));
    ASSERT_NE(self, nullptr);
    EXPECT_TRUE(CloseHandle(self));
    EXPECT_FALSE(CloseHandle(self));
    char path[16];
    EXPECT_EQ(GetModuleFileNameExA(self, nullptr, path, sizeof path), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(GetCurrentProcess())); // the pseudo handle
}

TEST(ProcessService, ModulePathFillsTheBufferExactlyOrFails) {
    const std::string exe = SelfExe();
    HANDLE self = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(::getpid()));
    std::vector<char> buffer(exe.size() + 8);

    std::fill(buffer.begin(), buffer.end(), 'x');
    EXPECT_EQ(GetModuleFileNameExA(self, nullptr, buffer.data(), DWORD(exe.size() + 1)),
              exe.size());
    EXPECT_EQ(std::string(buffer.data()), exe);
    EXPECT_EQ(buffer[exe.size() + 1], 'x');

    // One byte short: a cut path could name another file, so none is given.
    std::fill(buffer.begin(), buffer.end(), 'x');
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameExA(self, nullptr, buffer.data(), DWORD(exe.size())), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(buffer[0], 'x');

    EXPECT_EQ(GetModuleFileNameExA(self, nullptr, buffer.data(), 0), 0u);
    EXPECT_EQ(GetModuleFileNameExA(self, reinterpret_cast<HMODULE>(8), buffer.data(), 260), 0u);
    CloseHandle(self);

    std::fill(buffer.begin(), buffer.end(), 'x');
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer.data(), DWORD(exe.size() + 1)), exe.size());
    EXPECT_EQ(std::string(buffer.data()), exe);
    EXPECT_EQ(GetModuleFileNameA(GetModuleHandleA(nullptr), buffer.data(), 5), 5u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(buffer.data()), exe.substr(0, 4));
}

TEST(ProcessService, SnapshotRecordsAreChecked) {
    EXPECT_EQ(CreateToolhelp32Snapshot(0, 0), INVALID_HANDLE_VALUE);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    ASSERT_NE(snapshot, INVALID_HANDLE_VALUE);
    PROCESSENTRY32 entry{};
    entry.dwSize = 100;
    EXPECT_FALSE(Process32First(snapshot, &entry));
    EXPECT_EQ(GetLastError(), ERROR_BAD_LENGTH);
    EXPECT_FALSE(Process32First(reinterpret_cast<HANDLE>(0x999990), &entry));
    CloseHandle(snapshot);
    ProcRootOverride missing("/nonexistent-proc-root");
    EXPECT_EQ(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0), INVALID_HANDLE_VALUE);
}

TEST(PathServices, ShortPathIsThePathAndSystemDirectoryFits) {
    char buffer[64];
    std::strcpy(buffer, "/usr/bin/");
    EXPECT_EQ(GetShortPathNameA(buffer, buffer, sizeof buffer), 9u);
    EXPECT_STREQ(buffer, "/usr/bin/");
    EXPECT_EQ(GetShortPathNameA("/usr/bin/", buffer, 9), 10u); // needs 10, writes nothing
    EXPECT_EQ(GetShortPathNameA("/no/such/path", buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetSystemDirectoryA(buffer, sizeof buffer), 8u);
    EXPECT_STREQ(buffer, "/usr/bin");
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetSystemDirectoryA(buffer, 8), 9u);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(GetSystemDirectoryA(buffer, 9), 8u);
    EXPECT_STREQ(buffer, "/usr/bin");
}

TEST(FileSearch, TellsFilesFromDirectoriesAndFailsQuietly) {
    TempDir dir;
    std::string file = dir.Write("b-file.txt", "hello");
    dir.Write("a-first.txt");
    WIN32_FIND_DATAA data;
    std::memset(&data, 0xEF, sizeof data);
    HANDLE search = FindFirstFileA(file.c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(data.nFileSizeLow, 5u);
    EXPECT_STREQ(data.cFileName, "b-file.txt");
    EXPECT_TRUE(FindClose(search));
    EXPECT_FALSE(FindClose(search));

    search = FindFirstFileA(dir.path().c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    FindClose(search);

    search = FindFirstFileA((dir.path() + "/*.txt").c_str(), &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_STREQ(data.cFileName, "a-first.txt");
    FindClose(search);

    EXPECT_EQ(FindFirstFileA("", &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(FindFirstFileA((dir.path() + "/missing").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(FindFirstFileA((file + "/below").c_str(), &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(TokenService, DebugPrivilegeIsTheTracingCapability) {
    HANDLE token = nullptr;
    ASSERT_TRUE(
        OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
    LUID luid{0xdeadbeef, 0};
    ASSERT_TRUE(LookupPrivilegeValueA(nullptr, "sedebugprivilege", &luid));
    EXPECT_EQ(luid.LowPart, 20u);
    LUID other{0xdeadbeef, 7};
    EXPECT_FALSE(LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &other));
    EXPECT_EQ(GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
    EXPECT_EQ(other.LowPart, 0xdeadbeefu);

    TOKEN_PRIVILEGES privileges{1, {{luid, SE_PRIVILEGE_ENABLED}}};
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    // Root holds CAP_SYS_PTRACE in its permitted set; anyone else is told
    // that not every privilege was assigned.
    std::string status = ReadAll("/proc/self/status");
    size_t at = status.find("CapPrm:");
    bool permitted =
        at != std::string::npos && (std::stoull(status.substr(at + 7), nullptr, 16) >> 19 & 1);
    EXPECT_EQ(GetLastError(), permitted ? ERROR_SUCCESS : ERROR_NOT_ALL_ASSIGNED);
    if (permitted) {
        at = status.find("CapEff:");
        EXPECT_TRUE(std::stoull(status.substr(at + 7), nullptr, 16) >> 19 & 1);
    }
    EXPECT_TRUE(CloseHandle(token));

    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(token);
    EXPECT_FALSE(AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace {

// The processes whose parent is this one, zombies included.
std::vector<pid_t> OurChildren() {
    std::vector<pid_t> children;
    for (uint32_t pid : ombrel::platform::ListProcessIds("/proc")) {
        auto stat = ombrel::platform::ReadTaskStat("/proc", pid);
        if (stat && stat->ppid == static_cast<uint32_t>(::getpid()))
            children.push_back(static_cast<pid_t>(pid));
    }
    return children;
}

// Waits for every child of ours to end, then for the layer to reap it
// (nothing else here waits); false when one stays a zombie. The reaper runs
// in the SIGCHLD handler, so that signal is held back while we look and
// then awaited: each wake is a run of the handler, not a guess at its time.
bool ChildrenEndAndAreReaped() {
    sigset_t childSignal, previous;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    ::pthread_sigmask(SIG_BLOCK, &childSignal, &previous);
    sigset_t waiting = previous;
    sigdelset(&waiting, SIGCHLD);
    bool all = true;
    for (pid_t pid : OurChildren()) {
        int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
        if (pidfd < 0)
            continue; // reaped already
        pollfd ended{pidfd, POLLIN, 0};
        ::poll(&ended, 1, -1);
        auto reaped = [&] {
            siginfo_t info{};
            return ::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info,
                            WEXITED | WNOHANG | WNOWAIT) != 0 &&
                   errno == ECHILD;
        };
        // The bound only keeps a reaper that never runs from hanging the
        // suite (a signal taken by another thread is seen at its end).
        timespec bound{10, 0};
        while (!reaped() && ::ppoll(nullptr, 0, &bound, &waiting) != 0) {
        }
        all = reaped() && all;
        ::close(pidfd);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return all;
}

} // namespace

TEST(ProgramStart, CreateProcessPassesArgumentsWithoutAShell) {
    TempDir dir;
    std::string out = dir.path() + "/args";
    std::string line = "child \"" + out + "\" plain \"two words\" $HOME;echo";
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.wShowWindow = SW_SHOW;
    PROCESS_INFORMATION info;
    std::memset(&info, 0, sizeof info);
    ASSERT_TRUE(CreateProcessA(OMBREL_TEST_CHILD, commandLine.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, dir.path().c_str(), &startup, &info));
    EXPECT_GT(info.dwProcessId, 0u);
    // Its end, seen without reaping it: reaping stays the handle's.
    siginfo_t end{};
    ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(info.dwProcessId), &end, WEXITED | WNOWAIT), 0);
    EXPECT_EQ(end.si_code, CLD_EXITED);
    EXPECT_EQ(end.si_status, 7);
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
    // Closing the handle reaped it: no zombie is left behind.
    EXPECT_EQ(::waitpid(static_cast<pid_t>(info.dwProcessId), nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    EXPECT_EQ(ReadAll(out), dir.path() + std::string("\0plain\0two words\0$HOME;echo\0", 28));

    STARTUPINFOA again{};
    again.cb = sizeof again;
    EXPECT_FALSE(CreateProcessA((dir.path() + "/no-such-program").c_str(), nullptr, nullptr,
                                nullptr, FALSE, 0, nullptr, nullptr, &again, &info));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CreateProcessA(OMBREL_TEST_CHILD, nullptr, nullptr, nullptr, FALSE, 0, nullptr,
                                nullptr, nullptr, &info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(ProgramStart, AProgramWhoseHandlesAreClosedIsReapedWhenItExits) {
    TempDir dir;
    std::string line = "child \"" + dir.path() + "/args\"";
    std::vector<char> commandLine(line.begin(), line.end());
    commandLine.push_back('\0');
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(CreateProcessA(OMBREL_TEST_CHILD, commandLine.data(), nullptr, nullptr, FALSE, 0,
                               nullptr, nullptr, &startup, &info));
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
    EXPECT_TRUE(ChildrenEndAndAreReaped());
}

TEST(ProgramStart, ShellExecuteOpensProgramsAndRefusesTheUnknown) {
    TempDir dir;
    std::string out = dir.path() + "/args";
    std::string parameters = "\"" + out + "\" 'quoted' `x`";
    HINSTANCE result =
        ShellExecuteA(nullptr, "Open", OMBREL_TEST_CHILD, parameters.c_str(), nullptr, SW_SHOW);
    EXPECT_GT(reinterpret_cast<INT_PTR>(result), 32);
    // No handle to it: it is reaped the moment it exits, not at the next launch.
    EXPECT_TRUE(ChildrenEndAndAreReaped());
    EXPECT_EQ(ReadAll(out).substr(ReadAll(out).find('\0')), std::string("\0'quoted'\0`x`\0", 14));

    EXPECT_EQ(reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", "", nullptr, nullptr, 5)),
              SE_ERR_FNF);
    EXPECT_EQ(
        reinterpret_cast<INT_PTR>(ShellExecuteA(nullptr, "open", "rundll32.exe", "x", nullptr, 5)),
        SE_ERR_FNF);
    EXPECT_EQ(reinterpret_cast<INT_PTR>(
                  ShellExecuteA(nullptr, "print", OMBREL_TEST_CHILD, nullptr, nullptr, 5)),
              SE_ERR_NOASSOC);
}

namespace {

// A desktop whose data and settings are all in root: nothing of the
// machine's own desktop counts.
void DesktopOf(ScopedEnv& env, const std::string& root) {
    env.Set("XDG_DATA_HOME", root)
        .Set("XDG_DATA_DIRS", root + "/none")
        .Set("XDG_CONFIG_HOME", root + "/config")
        .Set("XDG_CONFIG_DIRS", root + "/none")
        .Set("XDG_CURRENT_DESKTOP", nullptr);
}

// The icon index forgets the test's desktop once the test ends.
struct IconIndexResetAtEnd {
    ~IconIndexResetAtEnd() { ResetShellIconIndex(); }
};

} // namespace

TEST(ShellIcons, DesktopEntryIconAtSixteenPixelsElseTheGenericOne) {
    TempDir data;
    std::string program = OMBREL_TEST_CHILD;
    data.Write("applications/child.desktop",
               "[Desktop Entry]\nType=Application\nName=Child\nExec=\"" + program +
                   "\" %U\nIcon=ombrel-child\n");
    std::string small = data.Write("icons/hicolor/16x16/apps/ombrel-child.png");
    data.Write("icons/hicolor/48x48/apps/ombrel-child.png");
    data.Write("icons/hicolor/scalable/apps/ombrel-child.svg");
    std::string generic = data.Write("icons/Adwaita/16x16/mimetypes/application-x-executable.png");
    std::string other = data.Write("bin/other");
    IconIndexResetAtEnd resetAtEnd;
    ScopedEnv env;
    DesktopOf(env, data.path());
    ResetShellIconIndex();

    size_t iconsBefore = IconCount();
    SHFILEINFOA info;
    std::memset(&info, 0, sizeof info);
    ASSERT_NE(SHGetFileInfoA(program.c_str(), 0, &info, sizeof info, SHGFI_ICON | SHGFI_SMALLICON),
              0u);
    EXPECT_EQ(IconSourceFile(info.hIcon), small);
    HICON first = info.hIcon;
    ASSERT_NE(SHGetFileInfoA(other.c_str(), 0, &info, sizeof info, SHGFI_ICON | SHGFI_SMALLICON),
              0u);
    EXPECT_EQ(IconSourceFile(info.hIcon), generic);
    EXPECT_NE(info.hIcon, first); // each query gives a new, owned icon
    EXPECT_EQ(IconCount(), iconsBefore + 2);
    EXPECT_TRUE(DestroyIcon(first));
    EXPECT_TRUE(DestroyIcon(info.hIcon));
    EXPECT_FALSE(DestroyIcon(info.hIcon));
    EXPECT_EQ(IconCount(), iconsBefore);

    info.hIcon = reinterpret_cast<HICON>(0x77);
    EXPECT_EQ(SHGetFileInfoA((data.path() + "/missing").c_str(), 0, &info, sizeof info, 0x101), 0u);
    EXPECT_EQ(info.hIcon, reinterpret_cast<HICON>(0x77));

    // No theme at all: the layer's own icon, drawn by the caller.
    env.Set("XDG_DATA_HOME", data.path() + "/none");
    ResetShellIconIndex();
    ASSERT_NE(SHGetFileInfoA(other.c_str(), 0, &info, sizeof info, 0x101), 0u);
    EXPECT_EQ(IconSourceFile(info.hIcon), "");
    DestroyIcon(info.hIcon);
}

TEST(ShellIcons, TheDesktopsThemeThenWhatItInheritsThenTheBaseTheme) {
    TempDir data;
    data.Write("icons/Mine/index.theme", "[Icon Theme]\nName=Mine\nInherits=Parent,hicolor\n");
    data.Write("icons/Parent/index.theme", "[Icon Theme]\nInherits=Mine\n"); // a loop
    data.Write("icons/Adwaita/index.theme", "[Icon Theme]\nInherits=hicolor\n");
    std::string mineA = data.Write("icons/Mine/16x16/apps/a.png");
    data.Write("icons/Parent/16x16/apps/a.png");
    std::string parentB = data.Write("icons/Parent/16x16/apps/b.png");
    data.Write("icons/Adwaita/16x16/apps/b.png");
    std::string baseC = data.Write("icons/hicolor/16x16/apps/c.png");
    data.Write("config/gtk-3.0/settings.ini", "[Settings]\ngtk-icon-theme-name = Mine\n");
    data.Write("config/kdeglobals", "[General]\nTheme=Mine\n[Icons]\nTheme=Parent\n");
    IconIndexResetAtEnd resetAtEnd;
    ScopedEnv env;
    DesktopOf(env, data.path());
    ResetShellIconIndex();

    using Themes = std::vector<std::string>;
    EXPECT_EQ(IconThemeChain(XdgDataDirs()), (Themes{"Mine", "Parent", "hicolor"}));
    EXPECT_EQ(ThemeIconFile("a"), mineA);
    EXPECT_EQ(ThemeIconFile("b"), parentB);
    EXPECT_EQ(ThemeIconFile("c"), baseC);

    // A KDE desktop goes by its own setting.
    env.Set("XDG_CURRENT_DESKTOP", "KDE");
    EXPECT_EQ(IconThemeChain(XdgDataDirs()), (Themes{"Parent", "Mine", "hicolor"}));

    // A theme that is not installed, or none named: the fallback theme.
    env.Set("XDG_CURRENT_DESKTOP", "GNOME");
    data.Write("config/gtk-3.0/settings.ini", "[Settings]\ngtk-icon-theme-name=Gone\n");
    EXPECT_EQ(IconThemeChain(XdgDataDirs()), (Themes{"Adwaita", "hicolor"}));
    env.Set("XDG_CONFIG_HOME", data.path() + "/none");
    EXPECT_EQ(IconThemeChain(XdgDataDirs()), (Themes{"Adwaita", "hicolor"}));
}

// A theme's index says which of its folders hold which sizes: a folder it
// does not list is not looked in, a scaled folder is no match for the
// unscaled size, a scalable one matches within its bounds, a Threshold one
// within its threshold; and no listed name leads out of the theme.
TEST(ShellIcons, AThemesIndexDecidesWhichFolderFitsTheSize) {
    TempDir data;
    const std::string index =
        "[Icon Theme]\nName=Hicolor\n"
        "Directories=22x22/apps,20x20/apps,16x16@2/apps,scalable/apps,../escape\n"
        "ScaledDirectories=16x16@2/apps\n"
        "[22x22/apps]\nSize=22\nType=Threshold\nThreshold=6\n"
        "[20x20/apps]\nSize=20\nType=Fixed\n"
        "[16x16@2/apps]\nSize=16\nScale=2\nType=Fixed\n"
        "[scalable/apps]\nSize=128\nMinSize=8\nMaxSize=512\nType=Scalable\n"
        "[../escape]\nSize=16\nType=Fixed\n";
    data.Write("icons/hicolor/index.theme", index);
    std::string listedA = data.Write("icons/hicolor/22x22/apps/a.png");
    data.Write("icons/hicolor/16x16/apps/a.png"); // not listed
    data.Write("icons/hicolor/16x16@2/apps/b.png");
    std::string scalableB = data.Write("icons/hicolor/scalable/apps/b.svg");
    std::string thresholdC = data.Write("icons/hicolor/22x22/apps/c.png");
    data.Write("icons/hicolor/20x20/apps/c.png");
    data.Write("icons/escape/e.png");
    IconIndexResetAtEnd resetAtEnd;
    ScopedEnv env;
    DesktopOf(env, data.path());
    ResetShellIconIndex();
    EXPECT_EQ(ThemeIconFile("a"), listedA);
    EXPECT_EQ(ThemeIconFile("b"), scalableB);
    EXPECT_EQ(ThemeIconFile("c"), thresholdC);
    EXPECT_EQ(ThemeIconFile("e"), "");

    std::vector<ThemeDirectory> listed = ThemeDirectories(index);
    ASSERT_EQ(listed.size(), 4u) << "each once, none climbing out";
    EXPECT_EQ(ThemeDirectoryRank(listed[2], 16, 2), 0);
    EXPECT_EQ(ThemeDirectoryRank(listed[2], 16, 1), 1 + 16);
    EXPECT_EQ(ThemeDirectoryRank(listed[3], 600, 1), 1 + 88);
}

// Every file and folder below root, root too, as last changed an hour ago.
static void AgeTree(const std::string& root) {
    nftw(
        root.c_str(),
        [](const char* path, const struct stat*, int, FTW*) {
            timespec old[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
            ::utimensat(AT_FDCWD, path, old, AT_SYMLINK_NOFOLLOW);
            return 0;
        },
        16, FTW_PHYS);
}

// The desktop's index lasts between look-ups only while what it was built
// from stands: an icon added to a listed folder, and a theme index edited
// in place, are seen by the next look-up.
TEST(ShellIcons, TheDesktopsIndexLastsOnlyWhileItsFilesStand) {
    TempDir data;
    std::string listing = "[Icon Theme]\nDirectories=22x22/apps,16x16/apps\n"
                          "[22x22/apps]\nSize=22\nType=Fixed\n"
                          "[16x16/apps]\nSize=16\nType=Fixed\n";
    data.Write("icons/hicolor/index.theme", listing);
    std::string large = data.Write("icons/hicolor/22x22/apps/a.png");
    data.Write("icons/hicolor/16x16/apps/other.png");
    IconIndexResetAtEnd resetAtEnd;
    ScopedEnv env;
    DesktopOf(env, data.path());
    ResetShellIconIndex();
    AgeTree(data.path());
    EXPECT_EQ(ThemeIconFile("a"), large);
    EXPECT_EQ(ThemeIconFile("a"), large);
    std::string small = data.Write("icons/hicolor/16x16/apps/a.png");
    EXPECT_EQ(ThemeIconFile("a"), small);

    AgeTree(data.path());
    EXPECT_EQ(ThemeIconFile("a"), small);
    std::ofstream(data.path() + "/icons/hicolor/index.theme", std::ios::trunc)
        << "[Icon Theme]\nDirectories=22x22/apps\n[22x22/apps]\nSize=22\nType=Fixed\n";
    EXPECT_EQ(ThemeIconFile("a"), large);

    // A desktop entry whose program is installed after it: the entry
    // speaks of it from then on.
    std::string program = data.path() + "/bin/late";
    data.Write("applications/late.desktop",
               "[Desktop Entry]\nType=Application\nName=Late\nExec=" + program + "\nIcon=a\n");
    data.Write("bin/other");
    AgeTree(data.path());
    EXPECT_EQ(ProgramIconFile(program), "");
    data.Write("bin/late");
    EXPECT_EQ(ProgramIconFile(program), large);
}

static size_t OpenDescriptorCount() {
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr)
            ++count;
        ::closedir(dir);
    }
    return count;
}

// Scopes may end in any order (an optional one, a program-file scope's
// own): what they share lives until the last of them ends, and only then
// is every later call outside a refresh.
TEST(RefreshScopes, WhatTheyShareLastsUntilTheLastEnds) {
    auto outer = std::make_unique<RefreshScope>();
    RefreshContext* context = CurrentRefreshContext();
    ASSERT_NE(context, nullptr);
    auto inner = std::make_unique<RefreshScope>();
    EXPECT_EQ(CurrentRefreshContext(), context);
    outer.reset();
    ASSERT_EQ(CurrentRefreshContext(), context);
    ULONG size = 0;
    EXPECT_EQ(GetExtendedTcpTable(nullptr, &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0),
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_TRUE(context->tablesRead);
    EXPECT_FALSE(inner->OwnerSourceReport().empty());
    {
        ProgramFile none{};
        ProgramFileScope file("/usr/bin/true", none);
        EXPECT_EQ(CurrentRefreshContext(), context);
        EXPECT_FALSE(context->bindingOnly);
    }
    inner.reset();
    EXPECT_EQ(CurrentRefreshContext(), nullptr);
    // A binding made outside any refresh has a context of its own that
    // remembers nothing, and goes with it.
    {
        ProgramFile none{};
        ProgramFileScope file("/usr/bin/true", none);
        ASSERT_NE(CurrentRefreshContext(), nullptr);
        EXPECT_TRUE(CurrentRefreshContext()->bindingOnly);
        EXPECT_EQ(KeptPlaces(CurrentRefreshContext()), nullptr);
        // Nor keeps a process entry open, or reads the tables for later.
        size_t before = OpenDescriptorCount();
        HANDLE self = OpenProcess(PROCESS_ALL_ACCESS, FALSE, static_cast<DWORD>(::getpid()));
        ASSERT_NE(self, nullptr);
        CloseHandle(self);
        EXPECT_EQ(OpenDescriptorCount(), before);
        ULONG asked = 0;
        GetExtendedTcpTable(nullptr, &asked, FALSE, AF_INET, TCP_TABLE_OWNER_PID_ALL, 0);
        EXPECT_FALSE(CurrentRefreshContext()->tablesRead);
        // A refresh begun within it makes it a refresh's.
        RefreshScope refresh;
        EXPECT_FALSE(CurrentRefreshContext()->bindingOnly);
    }
    EXPECT_EQ(CurrentRefreshContext(), nullptr);
}

// No look-up outlives its refresh: a file made after one is found by the
// next, and one removed is gone.
TEST(ShellIcons, AFileIsLookedUpAfreshOutsideARefresh) {
    TempDir dir;
    std::string path = dir.path() + "/program";
    SHFILEINFOA info{};
    EXPECT_EQ(SHGetFileInfoA(path.c_str(), 0, &info, sizeof info, SHGFI_ICON), 0u);
    dir.Write("program");
    ASSERT_NE(SHGetFileInfoA(path.c_str(), 0, &info, sizeof info, SHGFI_ICON), 0u);
    DestroyIcon(info.hIcon);
    {
        RefreshScope refresh;
        ASSERT_NE(SHGetFileInfoA(path.c_str(), 0, &info, sizeof info, SHGFI_ICON), 0u);
        DestroyIcon(info.hIcon);
    }
    ::unlink(path.c_str());
    EXPECT_EQ(SHGetFileInfoA(path.c_str(), 0, &info, sizeof info, SHGFI_ICON), 0u);
}
